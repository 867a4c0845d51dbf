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

class CDeviceInfo {
public:
    enum eDeviceType : std::int32_t { PCI_DEVICE = 1, NON_PCI_DEVICE = 2 };
    enum eDependencyType : std::int32_t { HARD_DEPENDENCY = 1, SOFT_DEPENDENCY = 2 };

    // Base of the download site that getFilePath puts before a package-relative path.
    static const char* const DOWNLOAD_BASE_URL;

    CDeviceInfo();

    void setReleaseID(std::string v) { m_strReleaseID = std::move(v); }
    std::string getReleaseID() { return m_strReleaseID; }
    void setComponentID(std::string v) { m_strComponentID = std::move(v); }
    std::string getComponentID() { return m_strComponentID; }
    void setParentComponentID(std::string v) { m_strParentComponentID = std::move(v); }
    std::string getParentComponentID() { return m_strParentComponentID; }
    void setParentDeviceType(eDeviceType v) { m_eParentDeviceType = v; }
    eDeviceType getParentDeviceType() { return m_eParentDeviceType; }
    void setComponentType(std::string v) { m_strComponentType = std::move(v); }
    std::string getComponentType() { return m_strComponentType; }
    void setDeviceName(std::string v) { m_strDeviceName = std::move(v); }
    std::string getDeviceName() { return m_strDeviceName; }
    void setVersion(std::string v) { m_strVersion = std::move(v); }
    std::string getVersion() { return m_strVersion; }

    void setPCIInfo(SPCIInfo v) { m_PCIInfo = std::move(v); }
    // Stores the four numbers as lower-case hexadecimal text without padding; clears component id and display.
    void setPCIInfo(unsigned short deviceID, unsigned short subDeviceID, unsigned short vendorID,
                    unsigned short subVendorID);
    SPCIInfo getPCIInfo() { return m_PCIInfo; }

    void setDeviceType(eDeviceType v) { m_eDeviceType = v; }
    eDeviceType getDeviceType() { return m_eDeviceType; }
    void setDependencyType(eDependencyType v) { m_eDependencyType = v; }
    eDependencyType getDependencyType() { return m_eDependencyType; }
    void setDependencyContext(std::string v) { m_strDependencyContext = std::move(v); }
    std::string getDependencyContext() { return m_strDependencyContext; }
    void setDependencyPlatforms(std::vector<std::string>& v) { m_vecDependencyPlatforms = v; }
    std::vector<std::string> getDepenendencyPlatforms() { return m_vecDependencyPlatforms; }
    void setParentPCIInfo(std::vector<SPCIInfo>& v) { m_vecParentPCIInfo = v; }
    std::vector<SPCIInfo> getParentPCIInfo() { return m_vecParentPCIInfo; }
    void setDependencyOS(std::vector<SOSInfo> v) { m_vecDependencyOS = std::move(v); }
    std::vector<SOSInfo> getDependencyOS() { return m_vecDependencyOS; }
    void setMessageID(int v) { m_nMessageID = v; }
    int getMessageID() { return m_nMessageID; }
    void setStatus(int v) { m_nStatus = v; }
    int getStatus() { return m_nStatus; }
    void setErrorMsg(std::string v) { m_strErrorMsg = std::move(v); }
    std::string getErrorMsg() { return m_strErrorMsg; }
    void setUpdateStatus(int v) { m_nUpdateStatus = v; }
    int getUpdateStatus() { return m_nUpdateStatus; }
    void setDisplay(std::string v) { m_strDisplay = std::move(v); }
    std::string getDisplay() { return m_strDisplay; }
    void setDetail(std::string v) { m_strDetail = std::move(v); }
    std::string getDetail() { return m_strDetail; }
    void setFilePath(std::string v) { m_strFilePath = std::move(v); }
    // Turns backslashes of the stored path into '/' (in place) and returns DOWNLOAD_BASE_URL + path.
    std::string getFilePath();
    void setCurrentVersion(std::string v) { m_strCurrentVersion = std::move(v); }
    std::string getCurrentVersion() { return m_strCurrentVersion; }
    void setEnumId(std::string v) { m_strEnumId = std::move(v); }
    std::string getEnumId() { return m_strEnumId; }
    void setRebootRequired(bool v) { m_bRebootRequired = v; }
    bool getRebootRequired() { return m_bRebootRequired; }
    void setBDFInfo(_BDFInfo v) { m_BDFInfo = v; }
    void setBDFInfo(unsigned char bus, unsigned char device, unsigned char function);
    _BDFInfo getBDFInfo() { return m_BDFInfo; }
    void setDeviceIdentifier(std::string v) { m_strDeviceIdentifier = std::move(v); }
    std::string getDeviceIdentifier() { return m_strDeviceIdentifier; }

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
