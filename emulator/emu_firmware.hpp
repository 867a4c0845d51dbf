// The firmware model: what a controller (and the devices behind it) answers to one CDB. Pure logic on
// byte vectors; the driver model (emu_ioctl.cpp and one file per ioctl path) decodes the ioctls and calls
// into this.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "emu_bytes.hpp"
#include "emu_scenario.hpp"

namespace zev::emu {

enum class Dir { None, Read, Write, Both };
const char* DirName(Dir d);

struct ScsiCommand {
    Bytes cdb;
    Dir dir = Dir::None;
    Bytes data_out;               // bytes the host sent (write, both)
    uint32_t data_in_length = 0;  // room the host gave for the answer (read, both)
};

struct ScsiResult {
    Bytes data_in;  // bytes the device returns, at most data_in_length (fewer is an underrun)
    uint8_t scsi_status = 0;
    Bytes sense;
    bool no_device = false;  // nothing answers at that address
    // For the wrapped SSP passthrough: the command that travelled inside.
    Bytes inner_cdb;
    Bytes inner_lun;
    uint8_t inner_status = 0;
};

struct ProgrammedImage {
    Bytes data;
    std::string sha256;
    uint16_t chunks = 0;
};

// Fixed-format sense data (response code 0x70).
Bytes FixedSense(uint8_t key, uint8_t asc, uint8_t ascq);

// BMIC fields of a 10-byte BMIC CDB (0x26 read, 0x27 write).
struct BmicFields {
    bool is_bmic = false;
    bool write = false;
    uint8_t command = 0;
    uint32_t address = 0;
    uint16_t index = 0;
    uint16_t transfer_length = 0;
};
BmicFields DecodeBmic(const Bytes& cdb);

// Chunk position of BMIC_WRITE_COLLECT_BUFFER: N in bits 31-24 and 15-8, i in bits 23-16 and 7-0.
void DecodeChunkPosition(uint32_t address, uint16_t* count, uint16_t* number);

class ControllerFirmware {
public:
    explicit ControllerFirmware(const ControllerConfig& config);
    // New answers from now on; programmed images and the collect buffer stay.
    void Reconfigure(const ControllerConfig& config);

    // The controller itself (LUN address zero, or its own SCSI address).
    ScsiResult ExecuteOnController(const ScsiCommand& cmd);
    // A device behind it, by position in the scenario's disk list.
    ScsiResult ExecuteOnDisk(size_t disk, const ScsiCommand& cmd);

    // A CSMI SAS SSP passthrough structure (the 28-byte header form the wrapped request carries). The
    // device is picked by the LUN address at byte 40, or by the SAS address at byte 32 when `by_sas`.
    ScsiResult ExecuteSsp(const Bytes& structure, bool by_sas);

    int FindDiskByLun(const Bytes& lun) const;  // -1 when none
    // The disk whose LUN address encodes this device index (as the storage core computes it); -1 when none.
    int FindDiskByDeviceIndex(uint16_t index) const;
    // Identify physical device reply (BMIC 0x15) of a disk.
    Bytes IdentifyPhysicalReply(size_t disk) const;
    // Background activity paused by BMIC 0x98 and not yet resumed by 0x99.
    bool background_paused() const { return background_paused_; }
    int FindDiskBySas(const Bytes& sas) const;
    int FindDiskByAddress(int channel, int target, int lun) const;

    // Reply images as built from the scenario (the first `length` bytes).
    Bytes IdentifyReply(uint32_t length) const;
    Bytes ControllerParametersReply(uint32_t length) const;
    Bytes SubsystemParametersReply(uint32_t length) const;
    Bytes CacheStatusReply(uint32_t length) const;
    Bytes FeaturePagesReply(uint32_t length) const;

    const std::vector<ProgrammedImage>& images() const { return images_; }
    // Chunks collected since the last free-collect-buffer.
    size_t collected_chunks() const { return collect_active_ ? collect_next_ - 1u : 0u; }

private:
    ScsiResult Bmic(const BmicFields& b, const ScsiCommand& cmd);
    ScsiResult WriteCollect(const BmicFields& b, const ScsiCommand& cmd);
    ScsiResult FlashCollected();

    ScsiResult LunReport(const ScsiCommand& cmd, bool physical);
    ScsiResult Inquiry(const ScsiCommand& cmd, uint8_t type, const std::string& vendor, const std::string& product,
                       const std::string& rev, const std::string& serial);
    const ReplyRule* FindRule(const ScsiCommand& cmd, const BmicFields& b) const;

    ControllerConfig config_;
    std::string running_version_;
    std::vector<ProgrammedImage> images_;
    bool background_paused_ = false;
    bool collect_active_ = false;
    uint16_t collect_count_ = 0;
    uint16_t collect_next_ = 1;
    Bytes collect_;
};

}  // namespace zev::emu
