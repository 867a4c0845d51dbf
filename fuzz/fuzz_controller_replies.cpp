// A controller answering arbitrary bytes to the storage core: CDA start-up (identify, controller
// parameters, cache status), the property queries (subsystem parameters, feature pages, encryption
// reads), the flash check and, when asked, a flash of a three-chunk image and a re-initialisation.
// Every text query must return a terminated text no longer than its field allows.
//
// Input: one option byte (bits 0-1 protocol: CISS, SIS, PQI, CISS; bit 2 flash; bit 3 re-initialise;
// bit 4 query into destinations that are too small; bit 5 debug level 3 with the trace of every
// command, else level 1), then the answers (fuzz_controller.h).

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_controller.h"
#include "storc.h"

using fuzz_support::require;
using fuzz_support::terminatedWithin;

namespace {
void progress(int percent) { require(percent >= 0 && percent <= 100, "flash progress in 0..100"); }

// A text query result: terminated inside the destination and at most limit characters long.
void checkText(const char* text, size_t size, size_t limit, const char* what)
{
    require(terminatedWithin(text, size), what);
    require(std::strlen(text) <= limit, what);
}

bool isSlotText(const char* text)
{
    if (std::strcmp(text, "UNKNOWN") == 0 || std::strcmp(text, "0b") == 0) return true;
    if (*text == '\0') return false;
    for (const char* p = text; *p != '\0'; ++p)
        if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    return true;
}

void queryAll(SA_CDA* cda, bool small)
{
    char text[80];
    checkText(SA_GetControllerSerialNumber(cda, text, sizeof(text)), sizeof(text), 32, "serial number");
    checkText(SA_GetControllerVendorID(cda, text, sizeof(text)), sizeof(text), 8, "vendor id");
    checkText(SA_GetControllerProductID(cda, text, sizeof(text)), sizeof(text), 16, "product id");
    checkText(SA_GetControllerFirmwareVersion(cda, text, sizeof(text)), sizeof(text), 4, "firmware version");
    checkText(SA_GetControllerFamilyID(cda, text, sizeof(text)), sizeof(text), 32, "family id");
    checkText(SA_GetControllerPCILocation(cda, text, sizeof(text)), sizeof(text), 16, "PCI location");
    checkText(SA_GetControllerSlotNumber(cda, text, 8), 8, 7, "slot number");
    require(isSlotText(text), "slot number is decimal, 0b or UNKNOWN");
    for (uint8_t kind = 0; kind <= 7; ++kind) {
        uint32_t value = SA_GetControllerPCIValue(cda, kind);
        if (kind == 0 || kind == 7) require(value == 0, "unknown PCI value kind gives 0");
    }
    if (small) {
        // Destinations at the limit get an empty text, nothing past their size.
        std::vector<char> exact(32);
        require(SA_GetControllerSerialNumber(cda, exact.data(), 32)[0] == '\0', "short serial destination");
        exact.assign(8, 'x');
        require(SA_GetControllerVendorID(cda, exact.data(), 8)[0] == '\0', "short vendor destination");
        exact.assign(4, 'x');
        require(SA_GetControllerFirmwareVersion(cda, exact.data(), 4)[0] == '\0', "short firmware destination");
        exact.assign(7, 'x');
        require(SA_GetControllerSlotNumber(cda, exact.data(), 7)[0] == '\0', "short slot destination");
    }
    SA_ControllerFeaturePagesSupported(cda);
    SA_RequestFeaturePages(cda);
    SA_ControllerSupportsFamilyID(cda);
    SA_ControllerIsSoftwareRAID(cda);
    SA_ControllerSupportsEncryption(cda);
    uint64_t status = SA_GetControllerEncryptionStatus(cda);
    require((status & ~SA_ENCRYPTION_STATUS_FLASH_BLOCKED) == 0, "encryption summary bits");
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    const uint8_t options = data[0];
    static const uint16_t kProtocols[4] = {SC_PROTOCOL_CISS, SC_PROTOCOL_SIS, SC_PROTOCOL_PQI, SC_PROTOCOL_CISS};
    SC_DeviceDescriptor* controller = fuzz_controller::makeController(kProtocols[options & 3], 0, 1, 0);
    require(controller != nullptr, "controller descriptor");
    fuzz_controller::begin(data + 1, size - 1);
    SC_SetDebugLogLevel((options & 0x20) != 0 ? 3 : 1);

    SA_CDA* cda = static_cast<SA_CDA*>(std::malloc(SA_GetCDASize()));
    uint16_t status = SA_InitializeCDA(cda, controller);
    require(status == SA_CDA_STATUS_SUCCESS || status == SA_CDA_STATUS_IDENTIFY_FAILED ||
                status == SA_CDA_STATUS_CONTROLLER_UNSUPPORTED,
            "CDA start-up status");
    if (status == SA_CDA_STATUS_SUCCESS) {
        require(cda->identify_level >= 1 && cda->identify_level <= 5, "identify level 1..5");
        queryAll(cda, (options & 0x10) != 0);
        const uint32_t imageSize = 2 * SA_FLASH_CHUNK_SIZE + 100;
        uint16_t check = SA_CanFlashController(cda, imageSize);
        require((check & ~(SA_FLASH_NO_IMAGE | SA_FLASH_NO_BMIC | SA_FLASH_BLOCKED_BY_ENCRYPTION)) == 0,
                "flash check bits");
        if ((options & 0x04) != 0 && check == 0) {
            std::vector<uint8_t> image(imageSize, 0x5A);
            uint8_t result = SA_FlashController(cda, image.data(), imageSize, progress);
            require(result == 0 || result == 1, "flash result");
            require(std::all_of(image.begin(), image.end(), [](uint8_t b) { return b == 0x5A; }), "image only read");
        }
        if ((options & 0x08) != 0) {
            uint16_t again = SA_ReInitializeCDA(cda);
            require(again == SA_CDA_STATUS_SUCCESS || again == SA_CDA_STATUS_IDENTIFY_FAILED ||
                        again == SA_CDA_STATUS_CONTROLLER_UNSUPPORTED,
                    "re-initialisation status");
            if (again == SA_CDA_STATUS_SUCCESS) queryAll(cda, false);
        }
    }
    SA_UnInitializeCDA(cda);
    std::free(cda);
    SC_DestroyDeviceDescriptor(controller);
    return 0;
}
