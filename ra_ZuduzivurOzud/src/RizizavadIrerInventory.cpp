#include "RizizavadIrerInventory.h"

#include <algorithm>
#include <memory>
#include <new>

#include "CInventoryXMLWriter.h"
#include "CLogger.h"
#include "IECommonUtils.h"
#include "ZevoridedUtils.h"

using CM_ZEVORIDED_UTILS::controller_properties;
using CM_ZEVORIDED_UTILS::ZevoridedUtils;

namespace {
// The controller's identity strings as the record keeps them.
SPCIInfo pciInfoOf(const controller_properties& controller)
{
    SPCIInfo pci;
    pci.strDeviceID = controller.szDeviceID;
    pci.strSubDeviceID = controller.szSubDeviceID;
    pci.strVendorID = controller.szVendorID;
    pci.strSubVendorID = controller.szSubVendorID;
    return pci;
}
}  // namespace

void keepDeviceRecords(const std::vector<CDeviceInfo*>& devices)
{
    static std::vector<CDeviceInfo*>* const live = new std::vector<CDeviceInfo*>();
    for (CDeviceInfo* device : devices) {
        if (std::find(live->begin(), live->end(), device) == live->end()) live->push_back(device);
    }
}

RizizavadIrerInventory::RizizavadIrerInventory(const std::string& outputFileName)
{
    ZEV_LOG("Entering RizizavadIrerInventory::RizizavadIrerInventory()");
    m_strOutputFileName = outputFileName;
    ZEV_LOG("Leaving RizizavadIrerInventory::RizizavadIrerInventory()");
}

RizizavadIrerInventory::~RizizavadIrerInventory()
{
    ZEV_LOG("RizizavadIrerInventory::~RizizavadIrerInventory() called");
}

std::vector<CDeviceInfo*> RizizavadIrerInventory::DiscoverDevices()
{
    ZEV_LOG("Entering RizizavadIrerInventory::DiscoverDevices()");

    ZevoridedUtils& bridge = ZevoridedUtils::getInstance();
    std::vector<controller_properties*> controllers;
    bridge.getControllerInventory(controllers);

    for (controller_properties* controller : controllers) {
        CDeviceInfo* device = new (std::nothrow) CDeviceInfo();
        if (device == nullptr) {
            ZEV_LOG("DiscoverDevices: Memory alloc failure");
            continue;
        }
        const std::string productText = controller->szProductID;
        const std::string serialNumber = controller->szSerialNumber;
        const std::string slotNumber = controller->szSlotNumber;

        ZEV_LOG(std::string("DiscoverDevices(): DeviceID      = ") + controller->szDeviceID);
        ZEV_LOG(std::string("DiscoverDevices(): SubDeviceID   = ") + controller->szSubDeviceID);
        ZEV_LOG(std::string("DiscoverDevices(): VendorID      = ") + controller->szVendorID);
        ZEV_LOG(std::string("DiscoverDevices(): SubvendorID   = ") + controller->szSubVendorID);
        ZEV_LOG("DiscoverDevices(): ProductID     = " + productText);
        ZEV_LOG("DiscoverDevices(): Serial Number = " + serialNumber);
        ZEV_LOG("DiscoverDevices(): Slot Number   = " + slotNumber);

        device->setEnumId("Serial Number: " + serialNumber);
        device->setVersion(controller->szFirmwareVersion);

        const SPCIInfo pciInfo = pciInfoOf(*controller);
        device->setPCIInfo(pciInfo);

        device->setDeviceIdentifier(productText);
        device->setStatus(0);
        setBasicDeviceInfo(device, productText, "FRMW");
        device->setDeviceName(device->getDeviceName() + " Controller Firmware");
        device->setDisplay(device->getDisplay() + " Controller Slot Number " + slotNumber);

        m_vecDevices.push_back(device);
        m_vecControllerIdentities.emplace_back(device, controller->szSystemPath);
    }

    bridge.freeControllerInfo(controllers);
    for (const SC_UnusableController& u : bridge.getUnusableControllers())
        ZEV_LOG(std::string("DiscoverDevices(): controller left out: ") +
                CM_ZEVORIDED_UTILS::describeUnusableController(u));
    keepDeviceRecords(m_vecDevices);
    ZEV_LOG("Leaving RizizavadIrerInventory::DiscoverDevices()");
    return m_vecDevices;
}

std::vector<CDeviceInfo*> RizizavadIrerInventory::WithUnreadableControllers(const std::string& message)
{
    ZevoridedUtils& bridge = ZevoridedUtils::getInstance();
    std::vector<controller_properties*> controllers;
    bridge.getUnreadableControllers(controllers);
    std::vector<CDeviceInfo*> unreadable;
    for (controller_properties* controller : controllers) {
        CDeviceInfo* device = new (std::nothrow) CDeviceInfo();
        if (device == nullptr) continue;
        const SPCIInfo pciInfo = pciInfoOf(*controller);
        device->setPCIInfo(pciInfo);
        const std::string path = controller->szSystemPath;
        setBasicDeviceInfo(device, "Controller " + path.substr(path.rfind('/') + 1), "FRMW");
        device->setStatus(1);
        device->setErrorMsg(message);
        ZEV_LOG("UnreadableControllers(): " + path + " vendor " + pciInfo.strVendorID + " device " +
                pciInfo.strDeviceID + " subvendor " + pciInfo.strSubVendorID + " subdevice " + pciInfo.strSubDeviceID);
        unreadable.push_back(device);
        m_vecControllerIdentities.emplace_back(device, path);
    }
    bridge.freeControllerInfo(controllers);
    keepDeviceRecords(unreadable);

    // Discovery order, unreadable records first among records of the same controller.
    std::vector<CDeviceInfo*> all = unreadable;
    for (CDeviceInfo* device : m_vecDevices) {
        const std::string identity = getControllerIdentity(device);
        bool replaced = false;
        for (CDeviceInfo* u : unreadable)
            replaced = replaced || (!identity.empty() && getControllerIdentity(u) == identity);
        if (!replaced) all.push_back(device);
    }
    const std::vector<std::string>& order = bridge.getDiscoveryOrder();
    auto rank = [&](CDeviceInfo* device) {
        auto it = std::find(order.begin(), order.end(), getControllerIdentity(device));
        return static_cast<std::size_t>(it - order.begin());
    };
    std::stable_sort(all.begin(), all.end(), [&](CDeviceInfo* a, CDeviceInfo* b) { return rank(a) < rank(b); });
    return all;
}

bool RizizavadIrerInventory::DiscoveryStopped() const { return ZevoridedUtils::getInstance().discoveryStopped(); }

std::string RizizavadIrerInventory::getControllerIdentity(const CDeviceInfo* device) const
{
    for (const auto& entry : m_vecControllerIdentities) {
        if (entry.first == device) return entry.second;
    }
    return std::string();
}

std::vector<CDeviceInfo*> RizizavadIrerInventory::GetInventory()
{
    ZEV_LOG("Entering RizizavadIrerInventory::GetInventory()");
    DiscoverDevices();
    {
        std::unique_ptr<IDeviceXMLWriter> writer(new (std::nothrow) CInventoryXMLWriter());
        generateXML(writer, m_vecDevices, m_strOutputFileName);
    }
    ZEV_LOG("Leaving RizizavadIrerInventory::GetInventory()");
    return m_vecDevices;
}
