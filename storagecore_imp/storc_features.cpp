// Feature pages, capability tests and the encryption status reads.
#include <cstddef>
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

namespace {

// A capability: its feature-page bit when the controller has feature pages, else what the identify
// reply says (nothing, when from_identify is null).
uint8_t Capability(SA_CDA* cda, const SA_FeatureBit& bit, bool (*from_identify)(const uint8_t*))
{
    if (cda == nullptr) return 0;
    SA_CDALockGuard lock(cda);
    if (SA_ControllerFeaturePagesSupported(cda)) {
        const int b = FeatureByte(cda, bit.slot, bit.byte);
        return b >= 0 && (b & bit.mask) != 0;
    }
    return from_identify != nullptr && saIsValid(cda, SA_VALID_IDENTIFY_CONTROLLER) &&
           from_identify(cda->identify_controller_buffer);
}

}  // namespace

uint8_t SA_ControllerSupportsFamilyID(SA_CDA* cda) { return Capability(cda, SA_FEATURE_FAMILY_ID, nullptr); }

uint8_t SA_ControllerIsSoftwareRAID(SA_CDA* cda)
{
    return Capability(cda, SA_FEATURE_SOFTWARE_RAID, saIdentifyIsSoftwareRAID);
}

uint8_t SA_ControllerSupportsEncryption(SA_CDA* cda)
{
    return Capability(cda, SA_FEATURE_ENCRYPTION, saIdentifySupportsEncryption);
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

namespace {

// An encryption status reply: the subpage that fills it, its cache in the CDA and its valid flag.
struct EncryptionReply {
    uint8_t subpage;
    size_t offset;
    uint32_t length;
    uint32_t flag;
};
#define SA_ENCRYPTION_REPLY(subpage, member, flag)                      \
    {                                                                   \
        subpage, offsetof(SA_CDA, member), sizeof(SA_CDA::member), flag \
    }
const EncryptionReply kPasswordRecovery =
    SA_ENCRYPTION_REPLY(SA_ENCRYPTION_SUBPAGE_PASSWORD_RECOVERY, encryption_password_recovery_question,
                        SA_VALID_ENCRYPTION_PASSWORD_RECOVERY);
const EncryptionReply kBootPassword = SA_ENCRYPTION_REPLY(
    SA_ENCRYPTION_SUBPAGE_BOOT_PASSWORD, encryption_boot_password_status, SA_VALID_ENCRYPTION_BOOT_PASSWORD);
const EncryptionReply kIKek =
    SA_ENCRYPTION_REPLY(SA_ENCRYPTION_SUBPAGE_IKEK, encryption_ikek_status, SA_VALID_ENCRYPTION_IKEK);
const EncryptionReply kBoot =
    SA_ENCRYPTION_REPLY(SA_ENCRYPTION_SUBPAGE_BOOT, encryption_boot_status, SA_VALID_ENCRYPTION_BOOT);
const EncryptionReply kKeyManager = SA_ENCRYPTION_REPLY(SA_ENCRYPTION_SUBPAGE_KEY_MANAGER,
                                                        encryption_key_manager_status, SA_VALID_ENCRYPTION_KEY_MANAGER);
#undef SA_ENCRYPTION_REPLY

uint8_t RequestEncryptionReply(SA_CDA* cda, const EncryptionReply& reply)
{
    if (cda == nullptr) return 0;
    return SA_RequestEncryptionBuffer(cda, reply.subpage, reinterpret_cast<uint8_t*>(cda) + reply.offset, reply.length,
                                      reply.flag);
}

}  // namespace

uint8_t SA_RequestEncryptionPasswordRecoveryQuestion(SA_CDA* cda)
{
    return RequestEncryptionReply(cda, kPasswordRecovery);
}
uint8_t SA_RequestEncryptionBootPasswordStatus(SA_CDA* cda) { return RequestEncryptionReply(cda, kBootPassword); }
uint8_t SA_RequestEncryptionIKekStatus(SA_CDA* cda) { return RequestEncryptionReply(cda, kIKek); }
uint8_t SA_RequestEncryptionBootStatus(SA_CDA* cda) { return RequestEncryptionReply(cda, kBoot); }
uint8_t SA_RequestEncryptionKeyManagerStatus(SA_CDA* cda) { return RequestEncryptionReply(cda, kKeyManager); }

uint64_t SA_GetControllerEncryptionStatus(SA_CDA* cda)
{
    if (cda == nullptr) return 0;
    SA_CDALockGuard lock(cda);
    if (!SA_RequestIdentifyControllerBuffer(cda) || !SA_ControllerSupportsEncryption(cda)) return 0;
    const uint32_t word = saGetLE32(cda->identify_controller_buffer, SA_ID_OFF_ENCRYPTION_STATUS);
    // The detailed replies are fetched once each; the flash check needs only the identify bit.
    if (word & SA_ID_ENCRYPTION_STATUS_RECOVERY_QUESTION) SA_RequestEncryptionPasswordRecoveryQuestion(cda);
    SA_RequestEncryptionBootPasswordStatus(cda);
    SA_RequestEncryptionBootStatus(cda);
    SA_RequestEncryptionKeyManagerStatus(cda);
    SA_RequestEncryptionIKekStatus(cda);

    uint64_t status = 0;
    if (word & SA_ID_ENCRYPTION_STATUS_LOCKED) status |= SA_ENCRYPTION_STATUS_FLASH_BLOCKED;
    return status;
}
