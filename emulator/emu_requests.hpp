// The ioctl request numbers of the driver paths the emulated host answers (and the recorder knows).
#pragma once

namespace zev::emu {

// ---- ioctl request numbers -------------------------------------------------------------------
inline constexpr unsigned long kReqPassthru = 0xC058420Bul;     // CCISS_PASSTHRU
inline constexpr unsigned long kReqBigPassthru = 0xC0604212ul;  // CCISS_BIG_PASSTHRU
inline constexpr unsigned long kReqPciInfo = 0x80084201ul;      // CCISS_GETPCIINFO
inline constexpr unsigned long kReqSgIo = 0x2285;               // SG_IO
inline constexpr unsigned long kReqSendFib = 0x42008;
inline constexpr unsigned long kReqRawSrb = 0x4204C;
inline constexpr unsigned long kReqReset = 0x42170;
inline constexpr unsigned long kReqCsmiSsp = 0xCC770018;
inline constexpr unsigned long kReqAacPciInfo = 0x4211C;  // FSACTL_GET_PCI_INFO

}  // namespace zev::emu
