// A controller that answers from the fuzz input. Fuzz targets that exercise the libraries through
// their transport link fuzz_controller.cpp with -Wl,--wrap=ioctl: every CISS passthrough (regular
// or big) and every SIS raw SRB the libraries send is answered here, in order, from the bytes given
// to begin(); all other requests go to the real ioctl. The device node is /dev/null, so opening and
// closing it are real and cheap. It also starts both cores for the target (LLVMFuzzerInitialize).
//
// Encoding of one answer, read from the input in order:
//   control byte c
//     c >= 0xF0   the ioctl fails (errno ENOTTY for 0xFF, EIO otherwise); nothing more is read
//     bit 3       SCSI status CHECK CONDITION with sense data (else GOOD)
//     bits 0-2    CISS command status
//     bit 4       SIS only: the SRB reply status is not 0
//     bit 5       SIS only: the SRB status is a selection timeout (else success): the command never ran
//   if bit 3:     one sense-length byte, then 32 sense bytes
//   u16 n (LE)    then n reply bytes; for data-in transfers min(n, buffer size) of them are copied
//                 to the start of the caller's buffer, the rest of the buffer keeps its contents
// An input that runs out makes every further ioctl fail with EIO.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "sysc.h"

namespace fuzz_controller {
// Answers the following commands from data (not copied: it must outlive the commands).
void begin(const uint8_t* data, size_t size);
// Commands answered (or failed) since begin().
unsigned commands();
// Largest list length, in 24-byte entries, that an answer to REPORT PHYSICAL/LOGICAL LUNS claims
// (longer claims are cut to it when the answer is copied). Lists of thousands of entries are slow to
// build; targets allow them only for some inputs. Default: no limit.
void setReportEntryLimit(uint32_t entries);
// A controller descriptor (tags 0, 1, 2, 3, 5, 6, 65) for /dev/null with the given protocol and SIS
// bus/target/LUN bytes; release with SC_DestroyDeviceDescriptor.
SC_DeviceDescriptor* makeController(uint16_t protocol, uint8_t bus, uint8_t target, uint8_t lun);
}  // namespace fuzz_controller
