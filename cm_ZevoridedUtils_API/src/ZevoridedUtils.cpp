#include "ZevoridedUtils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "CLogger.h"
#include "CStringUtils.h"
#include "SafeFiles.h"

FILE* sysCoreDebugFileHandle = nullptr;

namespace CM_ZEVORIDED_UTILS {

namespace {

constexpr const char* kSysCoreDebugFileName = "debug_syscore.log";
constexpr std::int64_t kMaxImageSize = std::int64_t{SA_FLASH_CHUNK_SIZE} * SA_FLASH_MAX_CHUNKS;

FlashProgressObserver g_progressObserver = nullptr;
void* g_progressContext = nullptr;
DiscoveryStopTest g_discoveryStop = nullptr;

std::string hexText(unsigned int value);

// A sysfs attribute holding one hexadecimal number ("0x9005\n"); false when it cannot be read.
bool readSysfsHex(const std::string& path, unsigned int& value)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    char text[32] = {};
    ssize_t n = ::read(fd, text, sizeof(text) - 1);
    ::close(fd);
    if (n <= 0) return false;
    char* end = nullptr;
    unsigned long v = std::strtoul(text, &end, 16);
    if (end == text || v > 0xFFFFu) return false;
    value = static_cast<unsigned int>(v);
    return true;
}

// A controller's system path and its PCI ids as sysfs has them, which the record of a controller
// that cannot be read carries (the identify reply they normally come from is what failed). False
// without a usable path or ids; the path is filled whenever the descriptor has one.
bool readSysfsIdentity(const SC_DeviceDescriptor* descriptor, controller_properties& record)
{
    std::memset(&record, 0, sizeof(record));
    if (SC_GetDeviceSystemProperty(descriptor, SC_PROPERTY_SYSTEM_PATH, record.szSystemPath,
                                   sizeof(record.szSystemPath) - 1) != 0 ||
        record.szSystemPath[0] == '\0')
        return false;
    const std::string path = record.szSystemPath;
    unsigned int vendor = 0, device = 0, subVendor = 0, subDevice = 0;
    if (!readSysfsHex(path + "/vendor", vendor) || !readSysfsHex(path + "/device", device) ||
        !readSysfsHex(path + "/subsystem_vendor", subVendor) || !readSysfsHex(path + "/subsystem_device", subDevice))
        return false;
    copyToField(record.szVendorID, hexText(vendor));
    copyToField(record.szDeviceID, hexText(device));
    copyToField(record.szSubVendorID, hexText(subVendor));
    copyToField(record.szSubDeviceID, hexText(subDevice));
    return true;
}

// Opens the cores' debug file for writing, emptied; it is a regular file or nothing (the working
// directory is not ours: a link, FIFO or device in its place leaves that log off). Null then.
FILE* openSysCoreDebugFile()
{
    int fd = SafeFiles::openRegularForWriting(kSysCoreDebugFileName, true, false);
    if (fd < 0) return nullptr;
    FILE* file = ::fdopen(fd, "w");
    if (file == nullptr) ::close(fd);
    return file;
}

std::string hexText(unsigned int value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "%x", value);
    return text;
}

}  // namespace

std::string describeUnusableController(const SC_UnusableController& controller)
{
    const std::string driver = controller.driver;
    std::string reason;
    switch (controller.reason) {
    case SC_UNUSABLE_NO_SCSI_GENERIC:
        reason = "no /sys/class/scsi_generic (load the sg module: modprobe sg)";
        break;
    case SC_UNUSABLE_NO_ACCESS:
        if (controller.error == EACCES) {
            reason = "permission denied on its device node (run as root)";
        } else if (driver == "aacraid") {
            reason = "operation not permitted (needs root with CAP_SYS_RAWIO, and CAP_SYS_ADMIN for SCSI requests)";
        } else {
            reason = "operation not permitted (needs root with CAP_SYS_RAWIO)";
        }
        break;
    default:
        reason = "no /dev/aac node reaches this adapter (checked by PCI bus and slot)";
        break;
    }
    return std::string("zevupdate: controller ") + controller.pciAddress + " (" + driver +
           ") cannot be used: " + reason;
}

PayloadSizeCheck checkPayloadSize(std::int64_t size)
{
    if (size <= 0) return PayloadSizeCheck::Empty;
    if (size >= (std::int64_t{1} << 32) || size > kMaxImageSize) return PayloadSizeCheck::TooLarge;
    return PayloadSizeCheck::Ok;
}

bool loadPayloadImage(const char* path, PayloadImage& image)
{
    image = PayloadImage();
    ZEV_LOG("Entering loadPayloadImage()");
    int fd = path == nullptr ? -1 : ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    bool ok = fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (ok) {
        image.size = static_cast<std::int64_t>(st.st_size);
        if (checkPayloadSize(image.size) == PayloadSizeCheck::Ok) {
            image.bytes.resize(static_cast<std::size_t>(image.size));
            std::size_t got = 0;
            while (got < image.bytes.size()) {
                ssize_t n = ::read(fd, image.bytes.data() + got, image.bytes.size() - got);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                got += static_cast<std::size_t>(n);
            }
            // A file that shrank while being read is not the image the size promised.
            ok = got == image.bytes.size();
        }
    }
    if (fd >= 0) ::close(fd);
    if (!ok) {
        image = PayloadImage();
        ZEV_LOG("loadPayloadImage(): the payload is not a readable regular file");
    }
    image.readable = ok;
    ZEV_LOG("Leaving loadPayloadImage()");
    return ok;
}

bool controllerMatchesKey(const controller_properties& record, const controller_PCI_Info& key)
{
    if (CStringUtils::Hex2Dec(key.szDeviceID) != CStringUtils::Hex2Dec(record.szDeviceID)) return false;
    if (CStringUtils::Hex2Dec(key.szSubDeviceID) != CStringUtils::Hex2Dec(record.szSubDeviceID)) return false;
    if (CStringUtils::Hex2Dec(key.szVendorID) != CStringUtils::Hex2Dec(record.szVendorID)) return false;
    if (CStringUtils::Hex2Dec(key.szSubVendorID) != CStringUtils::Hex2Dec(record.szSubVendorID)) return false;
    if (key.szSystemPath[0] == '\0') return true;
    return std::strncmp(key.szSystemPath, record.szSystemPath, CONTROLLER_IDENTITY_SIZE) == 0;
}

void buildProductText(char (&destination)[102], const char* familyID, const char* productID)
{
    std::memset(destination, 0, sizeof(destination));
    std::strncpy(destination, familyID, sizeof(destination) - 1);
    std::strncat(destination, " ", sizeof(destination) - 1 - std::strlen(destination));
    std::strncat(destination, productID, sizeof(destination) - 1 - std::strlen(destination));
}

std::string formatFlashProgress(int percentage)
{
    char text[64];
    std::snprintf(text, sizeof(text), "Flash Progress: %d%%\n",
                  static_cast<int>(static_cast<unsigned char>(percentage)));
    return std::string("logControllerFlashprogress: ") + text;
}

ZevoridedUtils& ZevoridedUtils::getInstance()
{
    static ZevoridedUtils zevoridedUtils;
    return zevoridedUtils;
}

ZevoridedUtils::ZevoridedUtils() : m_bCDAInitialized(false), m_pControllerDescriptorList(nullptr)
{
    ZEV_LOG("Entering ZevoridedUtils::ZevoridedUtils()");
    ZEV_LOG("ZevoridedUtils() SC interface version " + std::to_string(SA_INTERFACE_VERSION));
    ZEV_LOG("ZevoridedUtils() SC major version " + std::to_string(SA_MAJOR_VERSION));
    ZEV_LOG("ZevoridedUtils() SC minor version " + std::to_string(SA_MINOR_VERSION));
    ZEV_LOG("ZevoridedUtils() SC build number " + std::to_string(SA_BUILD_NUMBER));
    ZEV_LOG(std::string("ZevoridedUtils() SC build date ") + SA_BUILD_DATE);

    InitializeSysCore(SC_HEADER_CHECKSUM);
    InitializeStorageCore(SA_HEADER_CHECKSUM);

    if (CLogger::enabled()) {
        sysCoreDebugFileHandle = openSysCoreDebugFile();
        SC_SetDebugCallback(&ZevoridedUtils::sysCoreDebugCallback);
        SC_SetDebugLogLevel(3);
    }

    m_bCDAInitialized = false;
    initializeControllerDataArea();

    if (m_vecControllerHandles.empty()) ZEV_LOG("ZevoridedUtils::ZevoridedUtils() zero controllers found");
    ZEV_LOG("Leaving ZevoridedUtils::ZevoridedUtils()");
}

ZevoridedUtils::~ZevoridedUtils()
{
    ZEV_LOG("Entering ZevoridedUtils::~ZevoridedUtils()");
    for (controller_handle& handle : m_vecControllerHandles) {
        SA_UnInitializeCDA(handle.pCDA);
        SA_FREE(handle.pCDA);
        ZEV_LOG("~ZevoridedUtils():: Controller CDA uninitialized");
    }
    m_vecControllerHandles.clear();

    SC_DestroyDeviceDescriptorList(m_pControllerDescriptorList);
    m_pControllerDescriptorList = nullptr;
    ZEV_LOG("~ZevoridedUtils():: Device descriptors destroyed");

    UnInitializeStorageCore();
    ZEV_LOG("~ZevoridedUtils():: StorageCore uninitialized");
    UnInitializeSysCore();
    ZEV_LOG("~ZevoridedUtils():: Syscore uninitialized");

    m_bCDAInitialized = false;

    if (CLogger::enabled() && sysCoreDebugFileHandle != nullptr) {
        // The cores may still log after this point (nothing of ours does); keep them off the closed file.
        SC_SetDebugCallback(nullptr);
        std::fclose(sysCoreDebugFileHandle);
        sysCoreDebugFileHandle = nullptr;
        ZEV_LOG("~ZevoridedUtils():: Syscore debug file handle closed");
    }
    ZEV_LOG("Leaving ZevoridedUtils::~ZevoridedUtils()");
}

void ZevoridedUtils::initializeControllerDataArea()
{
    ZEV_LOG("Entering ZevoridedUtils::initializeControllerDataArea()");
    if (m_bCDAInitialized) {
        ZEV_LOG("Leaving ZevoridedUtils::initializeControllerDataArea() already initialized");
        return;
    }

    SC_UnusableController* unusable = nullptr;
    m_pControllerDescriptorList = SC_CreateControllerDescriptorListReporting(&unusable);
    for (SC_UnusableController* u = unusable; u != nullptr; u = u->next) {
        m_vecUnusableControllers.push_back(*u);
        m_vecUnusableControllers.back().next = nullptr;
        // Present but out of reach is unreadable too: an update must report a listed one as failed.
        if (u->vendorId == 0 && u->deviceId == 0) continue;  // sysfs could not say who it is
        controller_properties record;
        std::memset(&record, 0, sizeof(record));
        copyToField(record.szSystemPath, std::string("/sys/bus/pci/devices/") + u->pciAddress);
        copyToField(record.szVendorID, hexText(u->vendorId));
        copyToField(record.szDeviceID, hexText(u->deviceId));
        copyToField(record.szSubVendorID, hexText(u->subsystemVendorId));
        copyToField(record.szSubDeviceID, hexText(u->subsystemDeviceId));
        m_vecUnreadableControllers.push_back(record);
    }
    SC_DestroyUnusableControllers(unusable);
    SC_DeviceListIterator* iterator = SC_CreateDeviceListIterator(m_pControllerDescriptorList);
    for (; iterator != nullptr && !SC_IsDeviceListIteratorEnd(iterator); SC_MoveDeviceListIteratorNext(iterator)) {
        if (g_discoveryStop != nullptr && g_discoveryStop()) {
            ZEV_LOG("initializeControllerDataArea(): stopped before every controller was reached");
            m_bDiscoveryStopped = true;
            break;
        }
        SC_DeviceDescriptor* descriptor = SC_GetDeviceListItemAt(iterator);
        SA_CDA* cda = static_cast<SA_CDA*>(SA_MALLOC(SA_GetCDASize()));
        if (cda == nullptr) {
            ZEV_LOG("initializeControllerDataArea(): Contoller data initialize failed");
            continue;
        }
        controller_properties fromSysfs;
        const bool inSysfs = readSysfsIdentity(descriptor, fromSysfs);
        if (fromSysfs.szSystemPath[0] != '\0') m_vecDiscoveryOrder.push_back(fromSysfs.szSystemPath);
        std::uint16_t status = SA_InitializeCDA(cda, descriptor);
        if (status == 1) {
            m_vecControllerHandles.push_back(controller_handle{cda, descriptor});
            // An identify reply whose PCI ids are not the controller's own (garbage, cut short) cannot
            // be trusted to name it: the update treats the controller as unreadable.
            const std::uint32_t vendorDevice = SA_GetControllerPCIValue(cda, PCI_VALUE_VENDOR_DEVICE);
            const std::uint32_t subsystem = SA_GetControllerPCIValue(cda, PCI_VALUE_SUBSYSTEM_VENDOR_DEVICE);
            if (inSysfs && (hexText(vendorDevice >> 16) != fromSysfs.szVendorID ||
                            hexText(vendorDevice & 0xFFFFu) != fromSysfs.szDeviceID ||
                            hexText(subsystem >> 16) != fromSysfs.szSubVendorID ||
                            hexText(subsystem & 0xFFFFu) != fromSysfs.szSubDeviceID)) {
                ZEV_LOG(std::string("initializeControllerDataArea(): identify does not match sysfs: ") +
                        fromSysfs.szSystemPath);
                m_vecUnreadableControllers.push_back(fromSysfs);
            }
            continue;
        }
        ZEV_LOG("initializeControllerDataArea(): Contoller data initialize failed");
        if (inSysfs) {
            ZEV_LOG(std::string("initializeControllerDataArea(): controller not readable: ") + fromSysfs.szSystemPath);
            m_vecUnreadableControllers.push_back(fromSysfs);
        }
        // A command refused for want of rights: the operator must hear why the controller is missing.
        const int error = SC_GetLastCommandError();
        SC_UnusableController record;
        if ((error == EACCES || error == EPERM) &&
            SC_DescribeUnusableController(descriptor, SC_UNUSABLE_NO_ACCESS, error, &record) == 1) {
            m_vecUnusableControllers.push_back(record);
        }
        // Every failure but a bad argument leaves a descriptor copy (and maybe locks) behind.
        if (status != SA_CDA_STATUS_BAD_ARGUMENT) SA_UnInitializeCDA(cda);
        SA_FREE(cda);
    }
    SC_DestroyDeviceListIterator(iterator);

    for (const SC_UnusableController& u : m_vecUnusableControllers) {
        const std::string line = describeUnusableController(u);
        std::fprintf(stderr, "%s\n", line.c_str());
        ZEV_LOG("initializeControllerDataArea(): " + line);
    }

    m_bCDAInitialized = true;
    ZEV_LOG("initializeControllerDataArea() Number of controller handles = " +
            std::to_string(m_vecControllerHandles.size()));
    ZEV_LOG("Leaving ZevoridedUtils::initializeControllerDataArea()");
}

void ZevoridedUtils::getControllerProperties(controller_properties* record, SA_CDA*& cda)
{
    ZEV_LOG("Entering ZevoridedUtils::getControllerProperties()");
    if (record == nullptr || cda == nullptr) {
        ZEV_LOG("Leaving ZevoridedUtils::getControllerProperties() encountered NULL pointer");
        return;
    }

    SA_GetControllerPCILocation(cda, record->szPCILocation, sizeof(record->szPCILocation));

    std::uint32_t vendorDevice = SA_GetControllerPCIValue(cda, PCI_VALUE_VENDOR_DEVICE);
    std::uint32_t subsystem = SA_GetControllerPCIValue(cda, PCI_VALUE_SUBSYSTEM_VENDOR_DEVICE);
    copyToField(record->szVendorID, hexText(vendorDevice >> 16));
    copyToField(record->szDeviceID, hexText(vendorDevice & 0xFFFFu));
    copyToField(record->szSubVendorID, hexText(subsystem >> 16));
    copyToField(record->szSubDeviceID, hexText(subsystem & 0xFFFFu));

    char productID[40];
    char familyID[60];
    SA_GetControllerProductID(cda, productID, sizeof(productID));
    SA_GetControllerFamilyID(cda, familyID, sizeof(familyID));
    buildProductText(record->szProductID, familyID, productID);

    SA_GetControllerFirmwareVersion(cda, record->szFirmwareVersion, sizeof(record->szFirmwareVersion));
    SA_GetControllerVendorID(cda, record->szVendor, sizeof(record->szVendor));
    SA_GetControllerSlotNumber(cda, record->szSlotNumber, sizeof(record->szSlotNumber));
    SA_GetControllerSerialNumber(cda, record->szSerialNumber, sizeof(record->szSerialNumber));

    // The identity that tells identical controllers apart: the system path of the controller
    // this CDA was initialised from.
    std::memset(record->szSystemPath, 0, sizeof(record->szSystemPath));
    for (const controller_handle& handle : m_vecControllerHandles) {
        if (handle.pCDA != cda) continue;
        if (SC_GetDeviceSystemProperty(handle.pDescriptor, SC_PROPERTY_SYSTEM_PATH, record->szSystemPath,
                                       sizeof(record->szSystemPath) - 1) != 0) {
            std::memset(record->szSystemPath, 0, sizeof(record->szSystemPath));
        }
        break;
    }

    ZEV_LOG("Leaving ZevoridedUtils::getControllerProperties()");
}

void ZevoridedUtils::getControllerInventory(std::vector<controller_properties*>& records)
{
    ZEV_LOG("Entering ZevoridedUtils::getControllerInventory()");
    if (m_vecControllerHandles.empty()) {
        ZEV_LOG("getControllerInventory():: zero controller handles");
        return;
    }
    for (controller_handle& handle : m_vecControllerHandles) {
        auto* record = static_cast<controller_properties*>(std::calloc(1, sizeof(controller_properties)));
        if (record == nullptr) {
            ZEV_LOG("getControllerInventory():: Memory alloc failure");
            continue;
        }
        getControllerProperties(record, handle.pCDA);
        records.push_back(record);
    }
    ZEV_LOG("Leaving ZevoridedUtils::getControllerInventory()");
}

void ZevoridedUtils::getUnreadableControllers(std::vector<controller_properties*>& records)
{
    for (const controller_properties& unreadable : m_vecUnreadableControllers) {
        auto* record = static_cast<controller_properties*>(std::malloc(sizeof(controller_properties)));
        if (record == nullptr) {
            ZEV_LOG("getUnreadableControllers():: Memory alloc failure");
            continue;
        }
        *record = unreadable;
        records.push_back(record);
    }
}

void ZevoridedUtils::freeControllerInfo(std::vector<controller_properties*>& records)
{
    ZEV_LOG("Entering ZevoridedUtils::freeControllerInfo()");
    for (controller_properties* record : records) std::free(record);
    records.clear();
    ZEV_LOG("Leaving ZevoridedUtils::freeControllerInfo()");
}

SA_CDA* ZevoridedUtils::getControllerDataAreaFromPCIInfo(controller_PCI_Info* key)
{
    ZEV_LOG("Entering ZevoridedUtils::getControllerDataAreaFromPCIInfo()");
    if (key != nullptr) {
        for (controller_handle& handle : m_vecControllerHandles) {
            controller_properties record;
            std::memset(&record, 0, sizeof(record));
            getControllerProperties(&record, handle.pCDA);
            if (controllerMatchesKey(record, *key)) {
                ZEV_LOG(
                    "Leaving ZevoridedUtils::getControllerDataAreaFromPCIInfo() Found  matching controller PCDA with "
                    "the requested PCIInfo");
                return handle.pCDA;
            }
        }
    }
    ZEV_LOG(
        "Leaving ZevoridedUtils::getControllerDataAreaFromPCIInfo() Found no matching controller with the requested "
        "PCIInfo");
    return nullptr;
}

void ZevoridedUtils::sysCoreDebugCallback(std::uint8_t /*level*/, const char* text)
{
    if (sysCoreDebugFileHandle == nullptr) {
        ZEV_LOG("ZevoridedUtils::sysCoreDebugCallback Syscore debug file handle not initialized");
        return;
    }
    std::fputs(text != nullptr ? text : "", sysCoreDebugFileHandle);
    std::fputc('\n', sysCoreDebugFileHandle);
}

// ---- firmware flash ----

std::int64_t ZevoridedUtils::getFileSizeInBytes(const char* path)
{
    ZEV_LOG("Entering ZevoridedUtils::getFileSizeInBytes()");
    std::int64_t size = 0;
    struct stat st;
    if (path == nullptr || ::stat(path, &st) != 0) {
        ZEV_LOG("getFileSizeInBytes():: error on stat");
    } else {
        size = static_cast<std::int64_t>(st.st_size);
    }
    ZEV_LOG("Leaving ZevoridedUtils::getFileSizeInBytes()");
    return size;
}

bool ZevoridedUtils::fillImageBuffer(unsigned char* buffer, const char* path, std::int64_t size)
{
    ZEV_LOG("Entering ZevoridedUtils::fillImageBuffer()");
    if (buffer == nullptr) return false;
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        ZEV_LOG("fillImageBuffer():: fopen() returned null pointer");
        return false;
    }
    bool result = true;
    std::size_t wanted = static_cast<std::size_t>(size);
    if (std::fread(buffer, 1, wanted, file) != wanted) {
        ZEV_LOG("fillImageBuffer():: fread() encountered problem while reading file");
        result = false;
    }
    std::fclose(file);
    ZEV_LOG("Leaving ZevoridedUtils::fillImageBuffer()");
    return result;
}

void ZevoridedUtils::logControllerFlashprogress(int percentage)
{
    ZEV_LOG(formatFlashProgress(percentage));
    if (g_progressObserver != nullptr) g_progressObserver(g_progressContext, percentage);
}

SA_CDA* ZevoridedUtils::flashTarget(controller_PCI_Info& key, const char* caller)
{
    ZEV_LOG(std::string("Entering ZevoridedUtils::") + caller + "()");
    if (m_vecControllerHandles.empty()) {
        ZEV_LOG(std::string(caller) + "():: zero controller handles");
        return nullptr;
    }
    SA_CDA* cda = getControllerDataAreaFromPCIInfo(&key);
    if (cda == nullptr) ZEV_LOG(std::string(caller) + "():: Encountered null controller handle");
    return cda;
}

namespace {

// True when the flash sequence can carry a payload of size bytes; caller names the log lines.
bool payloadFits(std::int64_t size, const char* caller, unsigned short& status)
{
    switch (checkPayloadSize(size)) {
    case PayloadSizeCheck::Empty:
        ZEV_LOG(std::string(caller) + "():: error getting file size of payload");
        return false;
    case PayloadSizeCheck::TooLarge:
        // Its size would be cut to 32 bits or overflow the 16-bit chunk count: never send it.
        ZEV_LOG(std::string(caller) + "():: payload too large to be flashed");
        status = SA_FLASH_NO_IMAGE;
        return false;
    case PayloadSizeCheck::Ok:
        break;
    }
    return true;
}

bool canFlashChecked(SA_CDA* cda, std::int64_t size, unsigned short& status)
{
    status = SA_CanFlashController(cda, static_cast<std::uint32_t>(size));
    if (status != 0) ZEV_LOG("canFlashControllerFirmware():: SA_CanFlashController returned failure");
    ZEV_LOG("Leaving ZevoridedUtils::canFlashControllerFirmware()");
    return status == 0;
}

// Two passes, the second only after a successful first one.
bool flashTwice(SA_CDA* cda, const unsigned char* bytes, std::int64_t size, unsigned short& status)
{
    for (int pass = 1; pass <= 2; ++pass) {
        std::uint8_t flashed = SA_FlashController(cda, bytes, static_cast<std::uint32_t>(size),
                                                  &ZevoridedUtils::logControllerFlashprogress);
        status = flashed;
        if (flashed != 1) {
            ZEV_LOG("flashControllerFirmware():: SA_FlashController() returned failure");
            return false;
        }
    }
    return true;
}

const char* const kCanFlash = "canFlashControllerFirmware";
const char* const kFlash = "flashControllerFirmware";

}  // namespace

// The path-based entry points read the file with the run's own loader, so one sequence of checks
// and log lines serves both; an unreadable file is an image of no bytes.
bool ZevoridedUtils::canFlashControllerFirmware(controller_PCI_Info& key, const char* payloadPath,
                                                unsigned short& status)
{
    PayloadImage image;
    loadPayloadImage(payloadPath, image);
    return canFlashControllerFirmware(key, image, status);
}

bool ZevoridedUtils::flashControllerFirmware(controller_PCI_Info& key, const char* payloadPath, unsigned short& status)
{
    PayloadImage image;
    loadPayloadImage(payloadPath, image);
    return flashControllerFirmware(key, image, status);
}

bool ZevoridedUtils::canFlashControllerFirmware(controller_PCI_Info& key, const PayloadImage& image,
                                                unsigned short& status)
{
    SA_CDA* cda = flashTarget(key, kCanFlash);
    const std::int64_t size = image.readable ? image.size : 0;
    return cda != nullptr && payloadFits(size, kCanFlash, status) && canFlashChecked(cda, size, status);
}

bool ZevoridedUtils::flashControllerFirmware(controller_PCI_Info& key, const PayloadImage& image,
                                             unsigned short& status)
{
    SA_CDA* cda = flashTarget(key, kFlash);
    // Bytes that are not the whole image count as no image at all.
    const bool whole = image.readable && image.bytes.size() == static_cast<std::size_t>(image.size);
    if (cda == nullptr || !payloadFits(whole ? image.size : 0, kFlash, status)) return false;
    bool result = flashTwice(cda, image.bytes.data(), image.size, status);
    ZEV_LOG("Leaving ZevoridedUtils::flashControllerFirmware()");
    return result;
}

void setDiscoveryStopTest(DiscoveryStopTest stop) { g_discoveryStop = stop; }

void setFlashProgressObserver(FlashProgressObserver observer, void* context)
{
    g_progressObserver = observer;
    g_progressContext = context;
}

}  // namespace CM_ZEVORIDED_UTILS
