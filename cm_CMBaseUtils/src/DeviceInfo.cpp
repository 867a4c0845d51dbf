#include "CDeviceInfo.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "CLogger.h"

const char* const CDeviceInfo::DOWNLOAD_BASE_URL = "https://downloads.zevorided.com/";

CDeviceInfo::CDeviceInfo()
    : m_eParentDeviceType(static_cast<eDeviceType>(0)),
      m_eDeviceType(static_cast<eDeviceType>(0)),
      m_eDependencyType(HARD_DEPENDENCY),
      m_nMessageID(0),
      m_nStatus(-1),
      m_nUpdateStatus(0),
      m_bRebootRequired(false),
      m_BDFInfo{0, 0, 0}
{
}

static std::string toHexText(unsigned short value)
{
    char buf[8];
    std::snprintf(buf, sizeof(buf), "%x", static_cast<unsigned int>(value));
    return buf;
}

void CDeviceInfo::setPCIInfo(unsigned short deviceID, unsigned short subDeviceID, unsigned short vendorID,
                             unsigned short subVendorID)
{
    m_PCIInfo.strDeviceID = toHexText(deviceID);
    m_PCIInfo.strSubDeviceID = toHexText(subDeviceID);
    m_PCIInfo.strVendorID = toHexText(vendorID);
    m_PCIInfo.strSubVendorID = toHexText(subVendorID);
    m_PCIInfo.strComponentID.clear();
    m_PCIInfo.strDisplay.clear();
    ZEV_LOG("CDeviceInfo::setPCIInfo() Device id  " + m_PCIInfo.strDeviceID);
    ZEV_LOG("CDeviceInfo::setPCIInfo() SubDevice id  " + m_PCIInfo.strSubDeviceID);
    ZEV_LOG("CDeviceInfo::setPCIInfo() Vendor id  " + m_PCIInfo.strVendorID);
    ZEV_LOG("CDeviceInfo::setPCIInfo() SubVendor id  " + m_PCIInfo.strSubVendorID);
}

void CDeviceInfo::setBDFInfo(unsigned char bus, unsigned char device, unsigned char function)
{
    m_BDFInfo.nBus = bus;
    m_BDFInfo.nDevice = device;
    m_BDFInfo.nFunction = function;
    ZEV_LOG("CDeviceInfo::setBDFInfo() Bus Number is  " + std::to_string(bus));
    ZEV_LOG("CDeviceInfo::setBDFInfo() Device Number is  " + std::to_string(device));
    ZEV_LOG("CDeviceInfo::setBDFInfo() Function Number is  " + std::to_string(function));
}

std::string CDeviceInfo::getFilePath()
{
    std::replace(m_strFilePath.begin(), m_strFilePath.end(), '\\', '/');
    return std::string(DOWNLOAD_BASE_URL) + m_strFilePath;
}

bool CDeviceInfo::operator==(CDeviceInfo other)
{
    return m_strComponentType == other.m_strComponentType && m_strComponentID == other.m_strComponentID &&
           m_eDependencyType == other.m_eDependencyType && m_strVersion == other.m_strVersion &&
           m_strDisplay == other.m_strDisplay && m_strDetail == other.m_strDetail &&
           m_strFilePath == other.m_strFilePath && m_PCIInfo.strComponentID == other.m_PCIInfo.strComponentID &&
           m_PCIInfo.strDeviceID == other.m_PCIInfo.strDeviceID &&
           m_PCIInfo.strSubDeviceID == other.m_PCIInfo.strSubDeviceID &&
           m_PCIInfo.strVendorID == other.m_PCIInfo.strVendorID &&
           m_PCIInfo.strSubVendorID == other.m_PCIInfo.strSubVendorID;
}
