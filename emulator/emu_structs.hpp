// Offsets and sizes in the structures the driver paths pass through ioctl, as the kernel lays them
// out on a 64-bit host. The driver model, the recorder's argument layout, the replay and the
// redactor all read requests through these; the driver model checks them against the Linux headers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zev::emu {

// ---- CISS passthrough (regular and big): LUN, request block, error information, then the buffer --
constexpr size_t kCissLun = 0;
constexpr size_t kCissLunSize = 8;
constexpr size_t kCissCdbLength = 8;
constexpr size_t kCissType = 9;
constexpr size_t kCissCdb = 12;
constexpr size_t kCissCdbMax = 16;
// where the driver writes the answer back
constexpr size_t kCissErrorInfo = 28;
constexpr size_t kCissErrorInfoSize = 48;
constexpr size_t kCissScsiStatus = 28;
constexpr size_t kCissSenseLength = 29;
constexpr size_t kCissCommandStatus = 30;
constexpr size_t kCissResidual = 32;
constexpr size_t kCissSenseInfo = 44;
constexpr size_t kCissSenseMax = 32;
// u16 in the regular request
constexpr size_t kCissBufSize = 76;
constexpr size_t kCissBuf = 80;
constexpr size_t kCissSize = 88;
constexpr size_t kBigMallocSize = 76;
// u32 in the big request
constexpr size_t kBigBufSize = 80;
constexpr size_t kBigBuf = 88;
constexpr size_t kBigSize = 96;
// the driver's largest single allocation
constexpr uint32_t kBigMaxMalloc = 128000;
constexpr uint32_t kBigMaxEntries = 32;

// CISS command status values.
constexpr uint16_t kCmdSuccess = 0;
constexpr uint16_t kCmdTargetStatus = 1;
// still runs the command
constexpr uint16_t kCmdDataUnderrun = 2;
constexpr uint16_t kCmdDataOverrun = 3;
constexpr uint16_t kCmdInvalid = 4;

// CISS PCI information.
constexpr size_t kPciBus = 0;
constexpr size_t kPciDevFn = 1;
constexpr size_t kPciDomain = 2;
constexpr size_t kPciBoardId = 4;
constexpr size_t kPciInfoSize = 8;

// ---- sg_io_hdr ----------------------------------------------------------------------------------
constexpr size_t kSgInterfaceId = 0;
constexpr size_t kSgDirection = 4;
constexpr size_t kSgCmdLen = 8;
constexpr size_t kSgMxSbLen = 9;
constexpr size_t kSgIovecCount = 10;
constexpr size_t kSgDxferLen = 12;
constexpr size_t kSgDxferp = 16;
constexpr size_t kSgCmdp = 24;
constexpr size_t kSgSbp = 32;
constexpr size_t kSgStatus = 64;
constexpr size_t kSgMaskedStatus = 65;
constexpr size_t kSgSbLenWr = 67;
constexpr size_t kSgHostStatus = 68;
constexpr size_t kSgDriverStatus = 70;
constexpr size_t kSgResid = 72;
constexpr size_t kSgDuration = 76;
constexpr size_t kSgInfo = 80;
constexpr size_t kSgSize = 88;
// sg refuses shorter commands
constexpr size_t kSgCdbMin = 6;

// ---- aacraid FIB: the header says the size of the whole -----------------------------------------
constexpr size_t kFibHeader = 32;
constexpr size_t kFibCommand = 4;
constexpr size_t kFibSize = 8;
constexpr size_t kFibSenderSize = 10;
// the adapter's largest FIB
constexpr size_t kFibMax = 2048;

// ---- aacraid raw SRB: nine u32 fields, the CDB, the scatter-gather count and entries ------------
constexpr size_t kSrbChannel = 4;
constexpr size_t kSrbId = 8;
constexpr size_t kSrbLun = 12;
constexpr size_t kSrbFlags = 20;
// size of the SRB in bytes
constexpr size_t kSrbCount = 24;
// the driver reads up to the SRB's size field first
constexpr size_t kSrbCountEnd = 28;
constexpr size_t kSrbCdbSize = 32;
constexpr size_t kSrbCdb = 36;
// the nine u32 fields
constexpr size_t kSrbHeader = 36;
constexpr size_t kSrbCdbMax = 16;
constexpr size_t kSrbSgCount = 52;
constexpr size_t kSrbSgEntries = 56;
constexpr size_t kSrbMinSize = 56;
// u32 address, u32 count
constexpr size_t kSrbSgEntry32 = 8;
// u64 address, u32 count
constexpr size_t kSrbSgEntry64 = 12;
constexpr uint32_t kSrbSgCountMask = 0xFF;
// HBA_MAX_SG_EMBEDDED
constexpr uint32_t kSrbMaxEntries = 28;
// per entry, adapters without the new comm interface
constexpr uint32_t kSrbEntryMax = 65536;
constexpr uint32_t kSrbDataIn = 0x40;
constexpr uint32_t kSrbDataOut = 0x80;
constexpr uint32_t kSrbDataMask = kSrbDataIn | kSrbDataOut;
// The reply follows the SRB at the SRB's own size: status, SRB status, SCSI status, transfer length,
// sense size and 30 sense bytes, padded to a multiple of four.
constexpr size_t kSrbReplyStatus = 0;
constexpr size_t kSrbReplySrbStatus = 4;
constexpr size_t kSrbReplyScsiStatus = 8;
constexpr size_t kSrbReplyXfer = 12;
constexpr size_t kSrbReplySenseSize = 16;
constexpr size_t kSrbReplySense = 20;
constexpr size_t kSrbReplySenseMax = 30;
constexpr size_t kSrbReplyFields = kSrbReplySense + kSrbReplySenseMax;
constexpr size_t kSrbReplySize = 52;
// SRB status values.
constexpr uint32_t kSrbStatusSuccess = 0x01;
constexpr uint32_t kSrbStatusError = 0x04;
constexpr uint32_t kSrbStatusInvalidRequest = 0x06;
constexpr uint32_t kSrbStatusSelectionTimeout = 0x0A;
constexpr uint32_t kSrbStatusDataOverrun = 0x12;
constexpr uint32_t kSrbStatusMask = 0x3F;

// aacraid PCI information (FSACTL_GET_PCI_INFO).
constexpr size_t kAacPciInfoBus = 0;
constexpr size_t kAacPciInfoSlot = 4;
constexpr size_t kAacPciInfoSize = 8;

// The aacraid reset request carries one byte (the reset type).
constexpr size_t kResetSize = 1;

// ---- CSMI: a 20-byte header holding the length of what follows ----------------------------------
constexpr size_t kCsmiHeader = 20;
constexpr size_t kCsmiLength = 4;
constexpr size_t kCsmiReturnCode = 8;
// parameters and status before the data
constexpr uint32_t kCsmiMinLength = 340;
constexpr uint32_t kCsmiMaxLength = 1u << 20;

// The SAS SSP passthrough structure as the controller's firmware takes it (its own 28-byte header,
// then the parameters, the status and the data).
constexpr size_t kSspHeaderLength = 0;
constexpr uint32_t kSspHeaderSize = 28;
constexpr size_t kSspControlCode = 16;
constexpr size_t kSspReturnCode = 20;
constexpr size_t kSspLength = 24;
constexpr size_t kSspSasAddress = 32;
constexpr size_t kSspLun = 40;
constexpr size_t kSspCdbLength = 48;
constexpr size_t kSspCdb = 52;
constexpr size_t kSspFlags = 68;
constexpr size_t kSspDataLength = 96;
constexpr size_t kSspDataPresent = 104;
constexpr size_t kSspStatus = 105;
constexpr size_t kSspResponseLength = 106;
constexpr size_t kSspResponse = 108;
constexpr size_t kSspResponseMax = 256;
constexpr size_t kSspDataBytes = 364;
constexpr size_t kSspData = 368;
constexpr uint32_t kSspPassthruCode = 24;
static_assert(kSspHeaderSize + kCsmiMinLength == kSspData, "the CSMI length counts from the parameters");

}  // namespace zev::emu
