// Offsets and sizes in the structures the driver paths pass through ioctl, as the kernel lays them
// out on a 64-bit host, then the controller commands and the reply fields that hold serial numbers.
// The driver model, the recorder's argument layout, the replay and the redactor all read requests
// through these; the driver model checks the structures against the Linux headers.
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
constexpr size_t kSrbReplySize = 52;  // what the driver copies back
static_assert(kSrbReplySense + kSrbReplySenseMax <= kSrbReplySize, "the reply's fields fit its size");
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

// What the controllers are asked: the model answers these, the redactor finds serial numbers in them.

// ---- SCSI operation codes and the unit serial number page ----------------------------------------
constexpr uint8_t kOpInquiry = 0x12;
constexpr uint8_t kOpBmicRead = 0x26;
constexpr uint8_t kOpBmicWrite = 0x27;
constexpr uint8_t kUnitSerialPage = 0x80;
constexpr size_t kPageLength = 3;
constexpr size_t kPageSerial = 4;

// ---- BMIC: a 10-byte CDB, the command in byte 6 ---------------------------------------------------
constexpr size_t kBmicCdbSize = 10;
constexpr size_t kBmicCommand = 6;
constexpr uint8_t kBmicIdentifyController = 0x11;
constexpr uint8_t kBmicIdentifyPhysicalDevice = 0x15;
constexpr uint8_t kBmicEncryptionRead = 0x1E;
constexpr uint8_t kBmicSenseFeature = 0x61;
constexpr uint8_t kBmicSenseControllerParameters = 0x64;
constexpr uint8_t kBmicSenseSubsystemParameters = 0x66;
constexpr uint8_t kBmicCsmiPassthrough = 0x68;
constexpr uint8_t kBmicPauseBackgroundActivity = 0x98;
constexpr uint8_t kBmicResumeBackgroundActivity = 0x99;
constexpr uint8_t kBmicSenseCacheStatus = 0xC1;
constexpr uint8_t kBmicWriteCollectBuffer = 0xD2;
constexpr uint8_t kBmicFreeCollectBuffer = 0xD3;
constexpr uint8_t kBmicFlashCollectedImage = 0xF7;

// ---- replies holding serial numbers ---------------------------------------------------------------
constexpr size_t kSubsysSize = 1744;
constexpr size_t kSubsysSerial = 44;
constexpr size_t kSubsysSerialLen = 32;
// Identify physical device reply: u16 index at 0, device type byte at 2, u16 box at 4, bay at 6,
// 2-character connector at 8, vendor (8) at 16, model (40) at 24, serial (20) at 64, firmware
// revision (8) at 84, u32 basic information word at 92. Texts are blank padded.
constexpr uint32_t kIdentifyPhysicalSize = 128;
constexpr size_t kPhysicalSerial = 64;
constexpr size_t kPhysicalSerialLen = 20;

}  // namespace zev::emu
