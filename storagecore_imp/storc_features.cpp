// Feature pages, capability tests and the encryption status reads.
#include <cstring>

#include "storc_internal.h"

namespace {

void LogFeatureEvents(const char* function, const SA_FeatureWalkResult& walk)
{
    for (unsigned i = 0; i < walk.event_count; ++i) {
        const SA_FeatureEvent& e = walk.events[i];
        switch (e.kind) {
        case SA_FEATURE_TOTAL_TOO_LONG:
            SC_DebugLog(1,
                        "%s: Assertion `sizeof(page_buffer) >= "
                        "page_buffer.StartingHeader.wTotalLength+sizeof(SENSE_FEATURE_STARTING_HEADER)' failed: "
                        "Not enough memory for sense features command\n",
                        function);
            break;
        case SA_FEATURE_PAGE_TOO_LONG:
            SC_DebugLog(1,
                        "%s: Assertion `sizeof(cda->sense_feature.%s) - sizeof(SENSE_FEATURE_PAGE_HEADER) >= "
                        "page_header->wPageLength' failed: Wrong size (got %u B) for page 0x%02X/0x%02X\n",
                        function, saFeatureSlots()[e.slot].name, e.length, e.page, e.subpage);
            break;
        case SA_FEATURE_UNKNOWN_PAGE:
            SC_DebugLog(1, "Unknown page 0x%02X/0x%02X", e.page, e.subpage);
            break;
        }
    }
}

// Data byte of a feature slot, or -1 when the feature pages cannot be read.
int FeatureByte(SA_CDA* cda, unsigned slot, unsigned n)
{
    if (!SA_RequestFeaturePages(cda)) return -1;
    return saFeatureDataByte(cda->sense_feature, slot, n);
}

}  // namespace

uint8_t SA_ControllerFeaturePagesSupported(SA_CDA* cda)
{
    if (cda == nullptr) return 0;
    SA_CDALockGuard lock(cda);
    return SA_RequestIdentifyControllerBuffer(cda) && saIdentifyHasFeaturePages(cda->identify_controller_buffer);
}

uint8_t SA_RequestFeaturePages(SA_CDA* cda)
{
    if (cda == nullptr) return 0;
    SA_CDALockGuard lock(cda);
    if (!SA_ControllerFeaturePagesSupported(cda)) {
        std::memset(cda->sense_feature, 0, sizeof(cda->sense_feature));
        cda->valid_flags |= SA_VALID_SENSE_FEATURE;
        return 1;
    }
    if (saIsValid(cda, SA_VALID_SENSE_FEATURE)) return 1;

    uint8_t reply[SA_SENSE_FEATURE_REPLY_SIZE] = {};
    if (!__SA_HelperReadBuffer(cda->device_descriptor, BMIC_SENSE_FEATURE, SA_SENSE_FEATURE_ADDRESS, 0, reply,
                               sizeof(reply)))
        return 0;
    SA_FeatureWalkResult walk;
    saWalkFeaturePages(reply, cda->sense_feature, &walk);
    LogFeatureEvents(__func__, walk);
    cda->valid_flags |= SA_VALID_SENSE_FEATURE;
    return 1;
}

uint8_t SA_ControllerSupportsFamilyID(SA_CDA* cda)
{
    if (cda == nullptr) return 0;
    SA_CDALockGuard lock(cda);
    if (!SA_ControllerFeaturePagesSupported(cda)) return 0;
    const int b = FeatureByte(cda, SA_SLOT_MISCELLANEOUS, 3);
    return b >= 0 && (b & 0x02) != 0;
}

uint8_t SA_ControllerIsSoftwareRAID(SA_CDA* cda)
{
    if (cda == nullptr) return 0;
    SA_CDALockGuard lock(cda);
    if (SA_ControllerFeaturePagesSupported(cda)) {
        const int b = FeatureByte(cda, SA_SLOT_SOFTWARE_RAID, 0);
        return b >= 0 && (b & 0x01) != 0;
    }
    return saIsValid(cda, SA_VALID_IDENTIFY_CONTROLLER) && saIdentifyIsSoftwareRAID(cda->identify_controller_buffer);
}

uint8_t SA_ControllerSupportsEncryption(SA_CDA* cda)
{
    if (cda == nullptr) return 0;
    SA_CDALockGuard lock(cda);
    if (SA_ControllerFeaturePagesSupported(cda)) {
        const int b = FeatureByte(cda, SA_SLOT_ENCRYPTION, 0);
        return b >= 0 && (b & 0x01) != 0;
    }
    return saIsValid(cda, SA_VALID_IDENTIFY_CONTROLLER) &&
           saIdentifySupportsEncryption(cda->identify_controller_buffer);
}

uint8_t SA_RequestEncryptionBuffer(SA_CDA* cda, uint8_t subpage, void* destination, uint32_t length, uint32_t flag)
{
    if (cda == nullptr || (destination == nullptr && length != 0)) return 0;
    SA_CDALockGuard lock(cda);
    if (SA_ControllerSupportsEncryption(cda) && !saIsValid(cda, flag)) {
        if (length != 0) std::memset(destination, 0, length);
        if (__SA_HelperReadBuffer(cda->device_descriptor, BMIC_SENSE_ENCRYPTION, subpage, 0, destination, length))
            cda->valid_flags |= flag;
    }
    return saIsValid(cda, flag);
}

uint8_t SA_RequestEncryptionPasswordRecoveryQuestion(SA_CDA* cda)
{
    if (cda == nullptr) return 0;
    return SA_RequestEncryptionBuffer(cda, 3, cda->encryption_password_recovery_question,
                                      sizeof(cda->encryption_password_recovery_question),
                                      SA_VALID_ENCRYPTION_PASSWORD_RECOVERY);
}

uint8_t SA_RequestEncryptionBootPasswordStatus(SA_CDA* cda)
{
    if (cda == nullptr) return 0;
    return SA_RequestEncryptionBuffer(cda, 6, cda->encryption_boot_password_status,
                                      sizeof(cda->encryption_boot_password_status), SA_VALID_ENCRYPTION_BOOT_PASSWORD);
}

uint8_t SA_RequestEncryptionIKekStatus(SA_CDA* cda)
{
    if (cda == nullptr) return 0;
    return SA_RequestEncryptionBuffer(cda, 7, cda->encryption_ikek_status, sizeof(cda->encryption_ikek_status),
                                      SA_VALID_ENCRYPTION_IKEK);
}

uint8_t SA_RequestEncryptionBootStatus(SA_CDA* cda)
{
    if (cda == nullptr) return 0;
    return SA_RequestEncryptionBuffer(cda, 8, cda->encryption_boot_status, sizeof(cda->encryption_boot_status),
                                      SA_VALID_ENCRYPTION_BOOT);
}

uint8_t SA_RequestEncryptionKeyManagerStatus(SA_CDA* cda)
{
    if (cda == nullptr) return 0;
    return SA_RequestEncryptionBuffer(cda, 10, cda->encryption_key_manager_status,
                                      sizeof(cda->encryption_key_manager_status), SA_VALID_ENCRYPTION_KEY_MANAGER);
}

uint64_t SA_GetControllerEncryptionStatus(SA_CDA* cda)
{
    if (cda == nullptr) return 0;
    SA_CDALockGuard lock(cda);
    if (!SA_RequestIdentifyControllerBuffer(cda) || !SA_ControllerSupportsEncryption(cda)) return 0;
    const uint32_t word = saGetLE32(cda->identify_controller_buffer, SA_ID_OFF_ENCRYPTION_STATUS);
    // The detailed replies are fetched once each; the flash check needs only the identify bit.
    if (word & (1u << 16)) SA_RequestEncryptionPasswordRecoveryQuestion(cda);
    SA_RequestEncryptionBootPasswordStatus(cda);
    SA_RequestEncryptionBootStatus(cda);
    SA_RequestEncryptionKeyManagerStatus(cda);
    SA_RequestEncryptionIKekStatus(cda);

    uint64_t status = 0;
    if (word & 0x4000u) status |= SA_ENCRYPTION_STATUS_FLASH_BLOCKED;
    return status;
}
