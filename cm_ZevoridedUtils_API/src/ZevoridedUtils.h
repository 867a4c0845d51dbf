#pragma once
// Controller access bridge: the one object through which the plug-ins reach the controllers.
// It starts the system and storage cores, gives every controller that answers a controller data
// area (CDA), answers property and lookup questions, and flashes firmware images.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "storc.h"
#include "sysc.h"

namespace CM_ZEVORIDED_UTILS {

// Largest system path a controller key carries (the kernel's PATH_MAX).
constexpr std::size_t CONTROLLER_IDENTITY_SIZE = 4096;

// Flat property record of one controller; every text is NUL-terminated.
struct controller_properties {
    char szPCILocation[20];
    char szFirmwareVersion[20];
    char szProductID[102];
    char szVendor[20];
    char szSlotNumber[20];
    char szSerialNumber[100];
    char szVendorID[10];
    char szSubVendorID[10];
    char szDeviceID[10];
    char szSubDeviceID[10];
    // The controller's system path from discovery: unique per controller, so two controllers with
    // the same PCI ids are still told apart. Empty when the descriptor does not carry one.
    char szSystemPath[CONTROLLER_IDENTITY_SIZE];
};

// The key by which the update names one controller: its four PCI ids (hexadecimal text) and the
// system path its inventory record carried. An empty system path matches on the PCI ids alone.
struct controller_PCI_Info {
    char szVendorID[10];
    char szSubVendorID[10];
    char szDeviceID[10];
    char szSubDeviceID[10];
    char szSystemPath[CONTROLLER_IDENTITY_SIZE];
};

// A device behind a controller, with a property record of its owner.
struct device_handle {
    controller_properties* pProperties;
    SC_DeviceDescriptor* pDescriptor;
};

// A physical device addressed through its controller's CDA.
struct physical_device_handle {
    SA_CDA* pCDA;
    std::uint16_t wDeviceIndex;
};

// dwDriveType of a drive whose basic-information word names no kind.
constexpr std::uint32_t kDriveTypeNone = 33;

// Basic identity of a drive.
struct hdd_basic_info {
    std::uint32_t dwDriveType;  // the lowest kind bit of the basic-information word, or kDriveTypeNone
    std::uint16_t wEnclosure;
    char szLocation[50];
    char szFirmwareVersion[20];
    char szModel[80];
    char szSerialNumber[80];
};

// Device kinds a caller selects. getDeviceHandles: 0, 1, 2 pick descriptor device types 2 (physical
// drive), 5 (expander), 4 (enclosure). getPhysicalDeviceHandles: 1, 2, 4 pick storage core physical
// device types 1 (expander), 2 (enclosure), 3; any other value selects nothing.
enum device_type {
    DEVICE_TYPE_PHYSICAL_DRIVE = 0,
    DEVICE_TYPE_EXPANDER = 1,
    DEVICE_TYPE_ENCLOSURE = 2,
    DEVICE_TYPE_FROM_BYTE7 = 4,  // storage core type 3 (identify device type byte 7)
};

// Outcome of the payload size check made before anything reaches a controller.
enum class PayloadSizeCheck { Ok, Empty, TooLarge };

// Ok for a size the flash sequence can carry: not 0, below 4 GiB (the storage core takes a 32-bit
// size) and at most 65,535 chunks of 16 KiB (the chunk count is 16 bits wide).
PayloadSizeCheck checkPayloadSize(std::int64_t size);

// A payload image read once at the start of an update run: every controller is flashed from these
// bytes, whatever happens to the file afterwards.
struct PayloadImage {
    bool readable = false;             // the file was a regular file and was read whole
    std::int64_t size = 0;             // its size when read; 0 when not readable
    std::vector<unsigned char> bytes;  // the whole image, only when checkPayloadSize(size) is Ok
};

// Reads the payload file once (a regular file only; a FIFO or device is never waited on). False
// when it could not be read; image then says not readable.
bool loadPayloadImage(const char* path, PayloadImage& image);

// The four PCI ids of the record equal those of the key as numbers (hexadecimal text, any case,
// optional 0x); the system paths must also be equal unless the key's is empty. True on a match.
bool controllerMatchesKey(const controller_properties& record, const controller_PCI_Info& key);

// The product text: family id (at most 101 characters), one blank, product id, cut to fit 102 bytes.
void buildProductText(char (&destination)[102], const char* familyID, const char* productID);

// The framework log text of one progress report ("logControllerFlashprogress: Flash Progress: N%\n"),
// the percentage taken as an unsigned byte.
std::string formatFlashProgress(int percentage);

// The one stderr line (without its newline) saying why a controller is out of reach: its PCI address,
// its driver and the reason in words an operator can act on.
std::string describeUnusableController(const SC_UnusableController& controller);

// Receives every flash progress report after its log line (context as given when set).
typedef void (*FlashProgressObserver)(void* context, int percentage);
// Sets the one observer of flash progress; null for none.
void setFlashProgressObserver(FlashProgressObserver observer, void* context);

// Asked between two controllers while the controllers are discovered; true stops discovery there
// (the controllers not reached yet are left out). Null for none.
typedef bool (*DiscoveryStopTest)();
void setDiscoveryStopTest(DiscoveryStopTest stop);

// Copies text into a fixed field, cut to fit with a terminating NUL and padded with NULs.
template <std::size_t N>
void copyToField(char (&field)[N], const std::string& text)
{
    std::size_t n = text.size() < N - 1 ? text.size() : N - 1;
    std::size_t i = 0;
    for (; i < n; ++i) field[i] = text[i];
    for (; i < N; ++i) field[i] = '\0';
}

class ZevoridedUtils {
public:
    struct controller_handle {
        SA_CDA* pCDA;
        SC_DeviceDescriptor* pDescriptor;
    };

    // The single instance, built on the first call (starts the libraries and finds the controllers).
    static ZevoridedUtils& getInstance();

    // Builds the controller handles once; later calls do nothing.
    void initializeControllerDataArea();

    // Appends one malloc'ed, filled record per controller handle, in discovery order. The caller
    // releases them with freeControllerInfo.
    void getControllerInventory(std::vector<controller_properties*>& records);
    // Frees every record and empties the vector.
    void freeControllerInfo(std::vector<controller_properties*>& records);
    // Appends one malloc'ed record per controller that discovery found but could not read (left out
    // as unusable, its controller data area could not be set up, or its identify reply gave PCI ids
    // other than its own): only the PCI ids, read from sysfs, and the system path are filled. Release
    // with freeControllerInfo.
    void getUnreadableControllers(std::vector<controller_properties*>& records);
    // System paths of the controllers discovery reached, in its order.
    const std::vector<std::string>& getDiscoveryOrder() const { return m_vecDiscoveryOrder; }
    // True when discovery was stopped by the stop test before every controller was reached.
    bool discoveryStopped() const { return m_bDiscoveryStopped; }

    // Fills the record from the CDA; a null record or CDA leaves the record untouched.
    void getControllerProperties(controller_properties* record, SA_CDA*& cda);
    // The CDA of the controller the key names, or null when none matches.
    SA_CDA* getControllerDataAreaFromPCIInfo(controller_PCI_Info* key);

    // True when the controller was found, the payload size is acceptable and the storage core's
    // flash check gives 0 (written to status). A payload the flash sequence cannot carry sets status
    // to SA_FLASH_NO_IMAGE; other early refusals leave status untouched.
    bool canFlashControllerFirmware(controller_PCI_Info& key, const char* payloadPath, unsigned short& status);
    // Loads the payload with loadPayloadImage and flashes it twice (the second pass only after a
    // successful first one).
    // True when every pass succeeded; status = result of the last SA_FlashController (1 or 0).
    bool flashControllerFirmware(controller_PCI_Info& key, const char* payloadPath, unsigned short& status);
    // The same checks and flash sequence for an image read once with loadPayloadImage.
    bool canFlashControllerFirmware(controller_PCI_Info& key, const PayloadImage& image, unsigned short& status);
    bool flashControllerFirmware(controller_PCI_Info& key, const PayloadImage& image, unsigned short& status);
    // Size of the file in bytes; 0 when it cannot be examined.
    std::int64_t getFileSizeInBytes(const char* path);
    // True when exactly size bytes of the file were read into buffer.
    bool fillImageBuffer(unsigned char* buffer, const char* path, std::int64_t size);
    // Progress callback handed to the flash sequence: one framework log line per report.
    static void logControllerFlashprogress(int percentage);

    // Devices behind the controllers (ZevoridedUtilsDevices.cpp).
    // Appends a handle (own descriptor copy, owner's property record) per device of the kind behind
    // every controller. Release with freeDeviceHandles.
    void getDeviceHandles(std::vector<device_handle*>& handles, device_type type);
    // Frees every handle with its record and descriptor, and empties the vector.
    void freeDeviceHandles(std::vector<device_handle*>& handles);
    // Appends one malloc'ed handle per physical drive of every controller.
    void getPhysicalDriveHandles(std::vector<physical_device_handle*>& handles);
    // Appends handles of the physical devices of the requested kind (virtual enclosure processors of
    // the controller left out).
    void getPhysicalDeviceHandles(std::vector<physical_device_handle*>& handles, device_type type);
    // Frees every handle and empties the vector.
    void freePhysicalDeviceHandles(std::vector<physical_device_handle*>& handles);
    // Standard INQUIRY of size bytes (allocation length = low byte of size); true when delivered.
    bool sendInquiryCommand(SA_CDA* cda, std::uint16_t deviceIndex, unsigned char* buffer, std::uint32_t size);
    // True when the device's product identification names a virtual enclosure processor.
    bool isPhysicalDeviceVSEPController(SA_CDA* cda, std::uint16_t deviceIndex);
    // Fills the drive's basic identity; failures leave it unfilled.
    void getHDDBasicInfo(physical_device_handle* handle, hdd_basic_info* info);
    // True when a SCSI command can be sent to the device.
    bool canExecuteSCSICommand(physical_device_handle* handle);
    bool canExecuteSCSICommand(device_handle* handle);
    // Sends the caller's request to the device; true when the transport delivered it.
    bool executeSCSICommand(physical_device_handle* handle, _SCSIRequest* request);
    bool executeSCSICommand(device_handle* handle, _SCSIRequest* request);
    // Pauses (true) or resumes (false) the controller's background activity; true when accepted.
    bool pauseControllerActivity(physical_device_handle* handle, bool pause);

    // Receives the cores' debug text and writes it to "debug_syscore.log".
    static void sysCoreDebugCallback(std::uint8_t level, const char* text);

    std::size_t getControllerCount() const { return m_vecControllerHandles.size(); }
    // Controllers bound to a supported driver that cannot be used (said on stderr when found), in
    // discovery order.
    const std::vector<SC_UnusableController>& getUnusableControllers() const { return m_vecUnusableControllers; }

    ~ZevoridedUtils();

private:
    ZevoridedUtils();
    ZevoridedUtils(const ZevoridedUtils&) = delete;
    ZevoridedUtils& operator=(const ZevoridedUtils&) = delete;

    // Logs the flash call's entry, then finds the controller it addresses; null (logged as
    // "<caller>():: ...") when none is.
    SA_CDA* flashTarget(controller_PCI_Info& key, const char* caller);

    bool m_bCDAInitialized;
    SC_DescriptorList* m_pControllerDescriptorList;
    std::vector<controller_handle> m_vecControllerHandles;
    std::vector<controller_properties> m_vecUnreadableControllers;
    std::vector<std::string> m_vecDiscoveryOrder;
    bool m_bDiscoveryStopped = false;
    std::vector<SC_UnusableController> m_vecUnusableControllers;
};

}  // namespace CM_ZEVORIDED_UTILS

// The open system core debug file, or null.
extern FILE* sysCoreDebugFileHandle;
