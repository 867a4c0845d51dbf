#pragma once
// The device record every framework module passes around.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct SPCIInfo {
    std::string strComponentID;
    std::string strDeviceID;
    std::string strSubDeviceID;
    std::string strVendorID;
    std::string strSubVendorID;
    std::string strDisplay;
};

struct SOSInfo {
    std::string strMajorVersion;
    std::string strMinorVersion;
    std::string strSPMajorVersion;
    std::string strSPMinorVersion;
    std::string strOSVendor;
    std::string strOSArch;
};

#pragma pack(push, 1)
struct _BDFInfo {
    std::uint8_t nBus;
    std::uint8_t nDevice;
    std::uint8_t nFunction;
};
#pragma pack(pop)
static_assert(sizeof(_BDFInfo) == 3, "_BDFInfo is three packed bytes");

// A stored value with its setter and getter, under the names the record has always had.
#define ZEV_RECORD_VALUE(Type, Name, member)          \
    void set##Name(Type v) { member = std::move(v); } \
    Type get##Name() { return member; }

class CDeviceInfo {
public:
    enum eDeviceType : std::int32_t { PCI_DEVICE = 1, NON_PCI_DEVICE = 2 };
    enum eDependencyType : std::int32_t { HARD_DEPENDENCY = 1, SOFT_DEPENDENCY = 2 };

    // Base of the download site that getFilePath puts before a package-relative path.
    static const char* const DOWNLOAD_BASE_URL;

    CDeviceInfo();

    ZEV_RECORD_VALUE(std::string, ReleaseID, m_strReleaseID)
    ZEV_RECORD_VALUE(std::string, ComponentID, m_strComponentID)
    ZEV_RECORD_VALUE(std::string, ParentComponentID, m_strParentComponentID)
    ZEV_RECORD_VALUE(eDeviceType, ParentDeviceType, m_eParentDeviceType)
    ZEV_RECORD_VALUE(std::string, ComponentType, m_strComponentType)
    ZEV_RECORD_VALUE(std::string, DeviceName, m_strDeviceName)
    ZEV_RECORD_VALUE(std::string, Version, m_strVersion)

    void setPCIInfo(SPCIInfo v) { m_PCIInfo = std::move(v); }
    // Stores the four numbers as lower-case hexadecimal text without padding; clears component id and display.
    void setPCIInfo(unsigned short deviceID, unsigned short subDeviceID, unsigned short vendorID,
                    unsigned short subVendorID);
    SPCIInfo getPCIInfo() { return m_PCIInfo; }

    ZEV_RECORD_VALUE(eDeviceType, DeviceType, m_eDeviceType)
    ZEV_RECORD_VALUE(eDependencyType, DependencyType, m_eDependencyType)
    ZEV_RECORD_VALUE(std::string, DependencyContext, m_strDependencyContext)
    void setDependencyPlatforms(std::vector<std::string>& v) { m_vecDependencyPlatforms = v; }
    std::vector<std::string> getDepenendencyPlatforms() { return m_vecDependencyPlatforms; }
    void setParentPCIInfo(std::vector<SPCIInfo>& v) { m_vecParentPCIInfo = v; }
    std::vector<SPCIInfo> getParentPCIInfo() { return m_vecParentPCIInfo; }
    ZEV_RECORD_VALUE(std::vector<SOSInfo>, DependencyOS, m_vecDependencyOS)
    ZEV_RECORD_VALUE(int, MessageID, m_nMessageID)
    ZEV_RECORD_VALUE(int, Status, m_nStatus)
    ZEV_RECORD_VALUE(std::string, ErrorMsg, m_strErrorMsg)
    ZEV_RECORD_VALUE(int, UpdateStatus, m_nUpdateStatus)
    ZEV_RECORD_VALUE(std::string, Display, m_strDisplay)
    ZEV_RECORD_VALUE(std::string, Detail, m_strDetail)
    void setFilePath(std::string v) { m_strFilePath = std::move(v); }
    // Turns backslashes of the stored path into '/' (in place) and returns DOWNLOAD_BASE_URL + path.
    std::string getFilePath();
    ZEV_RECORD_VALUE(std::string, CurrentVersion, m_strCurrentVersion)
    ZEV_RECORD_VALUE(std::string, EnumId, m_strEnumId)
    ZEV_RECORD_VALUE(bool, RebootRequired, m_bRebootRequired)
    void setBDFInfo(_BDFInfo v) { m_BDFInfo = v; }
    void setBDFInfo(unsigned char bus, unsigned char device, unsigned char function);
    _BDFInfo getBDFInfo() { return m_BDFInfo; }
    ZEV_RECORD_VALUE(std::string, DeviceIdentifier, m_strDeviceIdentifier)

    // Equal when component type, component id, dependency type, version, display, detail, file path
    // and the five PCI identity texts (not strDisplay) are equal, case-sensitively.
    bool operator==(CDeviceInfo other);

private:
    std::string m_strReleaseID;
    std::string m_strComponentID;
    std::string m_strParentComponentID;
    eDeviceType m_eParentDeviceType;
    std::string m_strComponentType;
    std::string m_strDeviceName;
    std::string m_strVersion;
    SPCIInfo m_PCIInfo;
    eDeviceType m_eDeviceType;
    eDependencyType m_eDependencyType;
    std::string m_strDependencyContext;
    std::vector<std::string> m_vecDependencyPlatforms;
    std::vector<SPCIInfo> m_vecParentPCIInfo;
    std::vector<SOSInfo> m_vecDependencyOS;
    int m_nMessageID;
    int m_nStatus;
    std::string m_strErrorMsg;
    int m_nUpdateStatus;
    std::string m_strDisplay;
    std::string m_strDetail;
    std::string m_strFilePath;
    std::string m_strCurrentVersion;
    std::string m_strEnumId;
    bool m_bRebootRequired;
    _BDFInfo m_BDFInfo;
    std::string m_strDeviceIdentifier;
};
#undef ZEV_RECORD_VALUE
