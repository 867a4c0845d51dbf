#include "emu_firmware.hpp"

#include <algorithm>

#include "emu_structs.hpp"

namespace zev::emu {

namespace {

// IDENTIFY CONTROLLER reply offsets.
constexpr size_t kIdSize = 647;
constexpr size_t kIdFirmwareRev = 5;
constexpr size_t kIdEncryptionByte = 126;
constexpr size_t kIdSoftwareRaidWord = 184;
constexpr size_t kIdSlotOld = 189;
constexpr size_t kIdTotalLength = 196;
constexpr size_t kIdVendor = 200;
constexpr size_t kIdProduct = 208;
constexpr size_t kIdFixedLength = 240;
constexpr size_t kIdFeatureWord = 268;
constexpr size_t kIdEncryptionStatus = 282;
constexpr size_t kIdPciGeneration = 290;
constexpr size_t kIdPciLinkWidth = 291;
constexpr size_t kIdPciDevice = 365;
constexpr size_t kIdPciVendor = 367;
constexpr size_t kIdPciSubDevice = 369;
constexpr size_t kIdPciSubVendor = 371;
constexpr size_t kIdPciMaxLinkRate = 373;
constexpr size_t kIdPciMaxLinkWidth = 377;
constexpr size_t kIdFamily = 389;
constexpr size_t kIdSlotNew = 453;

constexpr size_t kCtrlParamsSize = 334;
constexpr size_t kCtrlParamsTotalLength = 188;
constexpr size_t kCacheSize = 512;
constexpr size_t kCacheTotalLength = 16;
constexpr size_t kFeatureSize = 240;

constexpr uint32_t kChunkSize = 16384;

// CSMI SAS SSP passthrough structure carried by BMIC 0x68.

constexpr uint8_t kGood = 0x00;
constexpr uint8_t kCheckCondition = 0x02;

ScsiResult Reject(uint8_t key, uint8_t asc, uint8_t ascq)
{
    ScsiResult r;
    r.scsi_status = kCheckCondition;
    r.sense = FixedSense(key, asc, ascq);
    return r;
}
ScsiResult IllegalOpcode() { return Reject(0x05, 0x20, 0x00); }

void ApplyPatches(Bytes& b, const std::vector<Patch>& patches)
{
    for (const Patch& p : patches) PutBytes(b, p.offset, p.bytes);
}

// The answer of a read: the built image cut or zero padded to what the CDB asked for.
Bytes Cut(Bytes b, uint32_t length)
{
    b.resize(length, 0);
    return b;
}

// A reply whose one field is its total length word, then the scenario's patches.
Bytes TotalLengthReply(size_t size, size_t offset, uint32_t total, const std::vector<Patch>& patches, uint32_t length)
{
    Bytes b(std::max<size_t>(size, length), 0);
    PutLE32(b, offset, total);
    ApplyPatches(b, patches);
    return Cut(std::move(b), length);
}

}  // namespace

const char* DirName(Dir d)
{
    switch (d) {
    case Dir::None:
        return "none";
    case Dir::Read:
        return "read";
    case Dir::Write:
        return "write";
    case Dir::Both:
        return "both";
    }
    return "none";
}

Bytes FixedSense(uint8_t key, uint8_t asc, uint8_t ascq)
{
    Bytes s(18, 0);
    s[0] = 0x70;
    s[2] = key & 0x0F;
    s[7] = 10;
    s[12] = asc;
    s[13] = ascq;
    return s;
}

BmicFields DecodeBmic(const Bytes& cdb)
{
    BmicFields b;
    if (cdb.size() < kBmicCdbSize || (cdb[0] != kOpBmicRead && cdb[0] != kOpBmicWrite)) return b;
    b.is_bmic = true;
    b.write = cdb[0] == kOpBmicWrite;
    b.index = static_cast<uint16_t>(cdb[1] | (cdb[9] << 8));
    b.address = GetBE32(cdb, 2);
    b.command = cdb[kBmicCommand];
    b.transfer_length = GetBE16(cdb, 7);
    return b;
}

void DecodeChunkPosition(uint32_t address, uint16_t* count, uint16_t* number)
{
    *count = static_cast<uint16_t>(((address >> 24) & 0xFF) << 8 | ((address >> 8) & 0xFF));
    *number = static_cast<uint16_t>(((address >> 16) & 0xFF) << 8 | (address & 0xFF));
}

ControllerFirmware::ControllerFirmware(const ControllerConfig& config)
    : config_(config), running_version_(config.firmware.identify.firmware_version)
{
}

void ControllerFirmware::Reconfigure(const ControllerConfig& config)
{
    if (config.firmware.identify.firmware_version != config_.firmware.identify.firmware_version)
        running_version_ = config.firmware.identify.firmware_version;
    config_ = config;
}

Bytes ControllerFirmware::IdentifyReply(uint32_t length) const
{
    const IdentifyConfig& id = config_.firmware.identify;
    Bytes b(std::max<size_t>(kIdSize, length), 0);
    PutText(b, kIdFirmwareRev, 4, running_version_, 0);
    if (id.encryption) b[kIdEncryptionByte] |= 0x02;
    if (id.software_raid) PutLE32(b, kIdSoftwareRaidWord, 1u << 26);
    b[kIdSlotOld] = id.slot && *id.slot < 0xFF ? static_cast<uint8_t>(*id.slot) : 0xFF;
    PutLE32(b, kIdTotalLength, id.total_length);
    PutText(b, kIdVendor, 8, id.vendor_id);
    PutText(b, kIdProduct, 16, id.product_id);
    PutLE32(b, kIdFixedLength, id.fixed_length);
    if (id.feature_pages) PutLE32(b, kIdFeatureWord, 1u << 31);
    PutLE32(b, kIdEncryptionStatus, id.encryption_status);
    b[kIdPciGeneration] = id.pci_generation;
    b[kIdPciLinkWidth] = id.pci_link_width;
    PutLE16(b, kIdPciDevice, config_.device);
    PutLE16(b, kIdPciVendor, config_.vendor);
    PutLE16(b, kIdPciSubDevice, config_.subsystem_device);
    PutLE16(b, kIdPciSubVendor, config_.subsystem_vendor);
    PutLE32(b, kIdPciMaxLinkRate, id.pci_max_link_rate);
    PutLE32(b, kIdPciMaxLinkWidth, id.pci_max_link_width);
    PutText(b, kIdFamily, 32, id.family_id);
    PutLE16(b, kIdSlotNew, id.slot ? *id.slot : 0xFFFF);
    ApplyPatches(b, id.patches);
    return Cut(std::move(b), length);
}

Bytes ControllerFirmware::ControllerParametersReply(uint32_t length) const
{
    return TotalLengthReply(kCtrlParamsSize, kCtrlParamsTotalLength,
                            config_.firmware.controller_parameters_total_length,
                            config_.firmware.controller_parameters_patches, length);
}

Bytes ControllerFirmware::SubsystemParametersReply(uint32_t length) const
{
    Bytes b(std::max<size_t>(kSubsysSize, length), 0);
    if (config_.firmware.serial_bytes) {
        Bytes s = *config_.firmware.serial_bytes;
        s.resize(32, 0);
        PutBytes(b, kSubsysSerial, s);
    } else {
        PutText(b, kSubsysSerial, kSubsysSerialLen, config_.firmware.serial, 0);
    }
    ApplyPatches(b, config_.firmware.subsystem_parameters_patches);
    return Cut(std::move(b), length);
}

Bytes ControllerFirmware::CacheStatusReply(uint32_t length) const
{
    return TotalLengthReply(kCacheSize, kCacheTotalLength, config_.firmware.cache_status_total_length,
                            config_.firmware.cache_status_patches, length);
}

Bytes ControllerFirmware::FeaturePagesReply(uint32_t length) const
{
    const IdentifyConfig& id = config_.firmware.identify;
    std::vector<FeaturePage> pages;
    if (config_.firmware.feature_pages) {
        pages = *config_.firmware.feature_pages;
    } else {
        pages.push_back({0x01, 0x01, Bytes{0x01}, -1});
        pages.push_back({0x07, 0x01, Bytes{static_cast<uint8_t>(id.encryption ? 1 : 0)}, -1});
        pages.push_back({0x0A, 0x01, Bytes{static_cast<uint8_t>(id.software_raid ? 1 : 0)}, -1});
        pages.push_back({0x0C, 0x01, Bytes{0, 0, 0, static_cast<uint8_t>(id.family_id_supported ? 0x02 : 0), 0}, -1});
    }
    Bytes b(4, 0);
    for (const FeaturePage& p : pages) {
        const size_t at = b.size();
        PutU8(b, at, p.page);
        PutU8(b, at + 1, p.subpage);
        PutLE16(b, at + 2, static_cast<uint16_t>(p.page_length >= 0 ? p.page_length : p.data.size()));
        PutBytes(b, at + 4, p.data);
    }
    const uint16_t total = config_.firmware.feature_total_length ? *config_.firmware.feature_total_length
                                                                 : static_cast<uint16_t>(b.size() - 4);
    PutLE16(b, 2, total);
    if (b.size() < kFeatureSize) b.resize(kFeatureSize, 0);
    return Cut(std::move(b), length);
}

const ReplyRule* ControllerFirmware::FindRule(const ScsiCommand& cmd, const BmicFields& b) const
{
    for (const ReplyRule& r : config_.firmware.replies) {
        if (r.bmic >= 0) {
            if (!b.is_bmic || b.command != r.bmic) continue;
            if (r.address >= 0 && static_cast<uint32_t>(r.address) != b.address) continue;
            if (r.index >= 0 && r.index != b.index) continue;
            return &r;
        }
        if (cmd.cdb.size() >= r.cdb_prefix.size() &&
            std::equal(r.cdb_prefix.begin(), r.cdb_prefix.end(), cmd.cdb.begin()))
            return &r;
    }
    return nullptr;
}

ScsiResult ControllerFirmware::ExecuteOnController(const ScsiCommand& cmd)
{
    const BmicFields b = DecodeBmic(cmd.cdb);
    if (cmd.dir == Dir::Read || cmd.dir == Dir::Both) {
        if (const ReplyRule* rule = FindRule(cmd, b)) {
            ScsiResult r;
            r.data_in = Cut(rule->data, cmd.data_in_length);
            return r;
        }
    }
    if (b.is_bmic) return Bmic(b, cmd);
    if (cmd.cdb.empty()) return IllegalOpcode();
    switch (cmd.cdb[0]) {
    case 0x00:
        return ScsiResult{};  // TEST UNIT READY
    case kOpInquiry: {
        std::string serial = config_.firmware.serial;
        return Inquiry(cmd, 0x0C, config_.firmware.identify.vendor_id, config_.firmware.identify.product_id,
                       running_version_, serial);
    }
    case 0xC2:
    case 0xC4:
        return LunReport(cmd, false);
    case 0xC3:
        return LunReport(cmd, true);
    default:
        return IllegalOpcode();
    }
}

ScsiResult ControllerFirmware::Bmic(const BmicFields& b, const ScsiCommand& cmd)
{
    // A read answers with the CDB's transfer length; the driver moves what fits into the host buffer.
    const uint32_t want = b.transfer_length ? b.transfer_length : cmd.data_in_length;
    ScsiResult r;
    if (!b.write) {
        switch (b.command) {
        case kBmicIdentifyController:
            r.data_in = IdentifyReply(want);
            break;
        case kBmicSenseControllerParameters:
            r.data_in = ControllerParametersReply(want);
            break;
        case kBmicSenseSubsystemParameters:
            r.data_in = SubsystemParametersReply(want);
            break;
        case kBmicSenseCacheStatus:
            if (!config_.firmware.cache_status_supported) return IllegalOpcode();
            r.data_in = CacheStatusReply(want);
            break;
        case kBmicSenseFeature:
            if (!config_.firmware.identify.feature_pages) return IllegalOpcode();
            r.data_in = FeaturePagesReply(want);
            break;
        case kBmicEncryptionRead: {
            auto it = config_.firmware.encryption.find(b.address);
            r.data_in = Cut(it != config_.firmware.encryption.end() ? it->second : Bytes{}, want);
            break;
        }
        case kBmicIdentifyPhysicalDevice: {
            const int disk = FindDiskByDeviceIndex(b.index);
            if (disk < 0 || !config_.disks[static_cast<size_t>(disk)].identify) return Reject(0x05, 0x24, 0x00);
            r.data_in = Cut(IdentifyPhysicalReply(static_cast<size_t>(disk)), want);
            break;
        }
        default:
            return IllegalOpcode();
        }
        return r;
    }
    switch (b.command) {
    case kBmicPauseBackgroundActivity:
        background_paused_ = true;
        return r;
    case kBmicResumeBackgroundActivity:
        background_paused_ = false;
        return r;
    case kBmicFreeCollectBuffer:
        collect_active_ = false;
        collect_count_ = 0;
        collect_next_ = 1;
        collect_.clear();
        return r;
    case kBmicWriteCollectBuffer:
        return WriteCollect(b, cmd);
    case kBmicFlashCollectedImage:
        return FlashCollected();
    case kBmicCsmiPassthrough:
        if (b.address == 0x18 && (cmd.dir == Dir::Both || cmd.dir == Dir::Write))
            return ExecuteSsp(cmd.data_out, false);
        return Reject(0x05, 0x24, 0x00);
    default:
        return r;  // other BMIC writes are accepted as they are
    }
}

ScsiResult ControllerFirmware::WriteCollect(const BmicFields& b, const ScsiCommand& cmd)
{
    uint16_t n = 0, i = 0;
    DecodeChunkPosition(b.address, &n, &i);
    const size_t len = cmd.data_out.size();
    const bool bad_length = cmd.dir != Dir::Write || len == 0 || len > kChunkSize || len != b.transfer_length ||
                            (i < n && len != kChunkSize);
    const bool bad_position =
        n == 0 || i == 0 || i > n || (collect_active_ ? (n != collect_count_ || i != collect_next_) : i != 1);
    if (bad_length || bad_position) return Reject(0x05, 0x24, 0x00);
    if (!collect_active_) {
        collect_active_ = true;
        collect_count_ = n;
        collect_next_ = 1;
        collect_.clear();
    }
    collect_.insert(collect_.end(), cmd.data_out.begin(), cmd.data_out.end());
    ++collect_next_;
    return ScsiResult{};
}

ScsiResult ControllerFirmware::FlashCollected()
{
    if (config_.firmware.flash_refuse) return Reject(0x05, 0x26, 0x00);
    if (!collect_active_ || collect_next_ != static_cast<uint32_t>(collect_count_) + 1) return Reject(0x05, 0x2C, 0x00);
    ProgrammedImage img;
    img.data = collect_;
    img.sha256 = Sha256Hex(collect_);
    img.chunks = collect_count_;
    images_.push_back(std::move(img));
    if (!config_.firmware.flash_new_version.empty()) running_version_ = config_.firmware.flash_new_version;
    return ScsiResult{};
}

ScsiResult ControllerFirmware::ExecuteSsp(const Bytes& in, bool by_sas)
{
    if (in.size() < kSspData || GetLE32(in, kSspHeaderLength) != kSspHeaderSize ||
        GetLE32(in, kSspControlCode) != kSspPassthruCode)
        return Reject(0x05, 0x26, 0x00);
    ScsiCommand inner;
    const size_t cdb_len = std::min<size_t>(GetU8(in, kSspCdbLength), 16);
    inner.cdb.assign(in.begin() + kSspCdb, in.begin() + kSspCdb + cdb_len);
    const uint32_t flags = GetLE32(in, kSspFlags);
    const uint32_t data_len =
        std::min<uint32_t>(GetLE32(in, kSspDataLength), static_cast<uint32_t>(in.size() - kSspData));
    inner.dir = flags == 1 ? Dir::Read : flags == 2 ? Dir::Write : flags == 3 ? Dir::Both : Dir::None;
    if (inner.dir == Dir::Write || inner.dir == Dir::Both)
        inner.data_out.assign(in.begin() + kSspData, in.begin() + kSspData + data_len);
    if (inner.dir == Dir::Read || inner.dir == Dir::Both) inner.data_in_length = data_len;
    const Bytes lun(in.begin() + kSspLun, in.begin() + kSspLun + 8);
    const Bytes sas(in.begin() + kSspSasAddress, in.begin() + kSspSasAddress + 8);
    const Bytes& addr = by_sas ? sas : lun;

    ScsiResult ir;
    const int disk = by_sas ? FindDiskBySas(sas) : FindDiskByLun(lun);
    Bytes out = in;
    if (disk >= 0) {
        ir = ExecuteOnDisk(static_cast<size_t>(disk), inner);
    } else if (std::all_of(addr.begin(), addr.end(), [](uint8_t v) { return v == 0; }) &&
               !DecodeBmic(inner.cdb).is_bmic) {
        ir = ExecuteOnController(inner);
    } else {
        PutLE32(out, kSspReturnCode, 1);  // no device at that address
        ScsiResult r;
        r.data_in = out;
        r.inner_cdb = inner.cdb;
        r.inner_lun = addr;
        return r;
    }
    ir.data_in.resize(std::min<size_t>(ir.data_in.size(), data_len));
    PutBytes(out, kSspData, ir.data_in);
    PutLE32(out, kSspDataBytes, static_cast<uint32_t>(ir.data_in.size()));
    out[kSspStatus] = ir.scsi_status;
    if (!ir.sense.empty()) {
        const size_t n = std::min(ir.sense.size(), kSspResponseMax);
        out[kSspDataPresent] = 2;
        PutBE16(out, kSspResponseLength, static_cast<uint16_t>(n));
        PutBytes(out, kSspResponse, Bytes(ir.sense.begin(), ir.sense.begin() + static_cast<long>(n)));
    }
    // The carrying command reports the inner status too, so a rejection is visible to the sender.
    ScsiResult r;
    r.data_in = std::move(out);
    r.scsi_status = ir.scsi_status;
    r.sense = ir.sense;
    r.inner_cdb = inner.cdb;
    r.inner_lun = addr;
    r.inner_status = ir.scsi_status;
    return r;
}

ScsiResult ControllerFirmware::LunReport(const ScsiCommand& cmd, bool physical)
{
    const bool extended = GetU8(cmd.cdb, 1) != 0;
    const size_t entry = extended ? 24 : 8;
    Bytes b(8, 0);
    if (physical) {
        for (const DiskConfig& d : config_.disks) {
            Bytes e(entry, 0);
            PutBytes(e, 0, d.ciss_lun);
            if (extended) {
                PutBytes(e, 8, d.sas_address);
                e[16] = d.report_type;
                e[17] = d.report_flags;
            }
            b.insert(b.end(), e.begin(), e.end());
        }
    } else {
        for (const LogicalConfig& l : config_.logical_drives) {
            Bytes e(entry, 0);
            PutLE16(e, 0, l.number);
            e[4] = l.kind;
            b.insert(b.end(), e.begin(), e.end());
        }
    }
    PutBE32(b, 0, static_cast<uint32_t>(b.size() - 8));
    b[4] = GetU8(cmd.cdb, 1);
    const uint32_t alloc = GetBE32(cmd.cdb, 6);
    ScsiResult r;
    r.data_in = b;
    r.data_in.resize(std::min<size_t>({b.size(), alloc, cmd.data_in_length}));
    return r;
}

ScsiResult ControllerFirmware::Inquiry(const ScsiCommand& cmd, uint8_t type, const std::string& vendor,
                                       const std::string& product, const std::string& rev, const std::string& serial)
{
    const uint16_t alloc = GetBE16(cmd.cdb, 3);
    Bytes b;
    if (GetU8(cmd.cdb, 1) & 1) {
        const uint8_t page = GetU8(cmd.cdb, 2);
        if (page == 0x00) {
            b = {type, 0x00, 0x00, 0x02, 0x00, kUnitSerialPage};
        } else if (page == kUnitSerialPage) {
            b = {type, kUnitSerialPage, 0x00, static_cast<uint8_t>(serial.size())};
            b.insert(b.end(), serial.begin(), serial.end());
        } else {
            return Reject(0x05, 0x24, 0x00);
        }
    } else {
        b.assign(36, 0);
        b[0] = type;
        b[2] = 0x05;
        b[3] = 0x02;
        b[4] = 31;
        PutText(b, 8, 8, vendor);
        PutText(b, 16, 16, product);
        PutText(b, 32, 4, rev);
    }
    ScsiResult r;
    b.resize(std::min<size_t>({b.size(), alloc, cmd.data_in_length}));
    r.data_in = std::move(b);
    return r;
}

ScsiResult ControllerFirmware::ExecuteOnDisk(size_t disk, const ScsiCommand& cmd)
{
    if (disk >= config_.disks.size()) {
        ScsiResult r;
        r.no_device = true;
        return r;
    }
    const DiskConfig& d = config_.disks[disk];
    if (cmd.cdb.empty()) return IllegalOpcode();
    switch (cmd.cdb[0]) {
    case 0x00:
        return ScsiResult{};
    case kOpInquiry:
        return Inquiry(cmd, d.type, d.vendor, d.model, d.rev, d.serial);
    case 0x25: {  // READ CAPACITY(10)
        ScsiResult r;
        r.data_in.assign(8, 0);
        PutBE32(r.data_in, 0, 0x0FFFFFFF);
        PutBE32(r.data_in, 4, 512);
        r.data_in.resize(std::min<size_t>(8, cmd.data_in_length));
        return r;
    }
    default:
        return IllegalOpcode();
    }
}

static uint16_t DeviceIndexOf(const DiskConfig& d)
{
    const Bytes& lun = d.ciss_lun;
    if (lun.size() != 8) return 0xFFFF;
    if (d.report_type == 7) return lun[0];
    if ((lun[3] & 0x3F) != 0) return 0;
    return static_cast<uint16_t>((((lun[7] & 0x3F) << 8) + lun[6] - 256) & 0xFFFF);
}

int ControllerFirmware::FindDiskByDeviceIndex(uint16_t index) const
{
    for (size_t i = 0; i < config_.disks.size(); ++i)
        if (DeviceIndexOf(config_.disks[i]) == index) return static_cast<int>(i);
    return -1;
}

Bytes ControllerFirmware::IdentifyPhysicalReply(size_t disk) const
{
    const DiskConfig& d = config_.disks.at(disk);
    const bool drive = d.report_type <= 4 || d.report_type == 9;
    Bytes b(kIdentifyPhysicalSize, 0);
    auto text = [&b](size_t off, size_t len, const std::string& t) {
        for (size_t i = 0; i < len; ++i) b[off + i] = i < t.size() ? static_cast<uint8_t>(t[i]) : ' ';
    };
    const uint16_t index = DeviceIndexOf(d);
    PutLE16(b, 0, index);
    b[2] = d.report_type;
    PutLE16(b, 4, static_cast<uint16_t>(d.box >= 0 ? d.box : (drive ? 1 : 0xFFFF)));
    b[6] = static_cast<uint8_t>(d.bay >= 0 ? d.bay : (drive ? (index + 1) & 0xFF : 0));
    text(8, 2, d.port);
    text(16, 8, d.vendor);
    text(24, 40, d.model);
    text(kPhysicalSerial, kPhysicalSerialLen, d.serial);
    text(84, 8, d.rev);
    PutLE32(b, 92, static_cast<uint32_t>(d.basic_info >= 0 ? d.basic_info : (drive ? 0x01 : 0)));
    return b;
}

int ControllerFirmware::FindDiskByLun(const Bytes& lun) const
{
    for (size_t i = 0; i < config_.disks.size(); ++i)
        if (config_.disks[i].ciss_lun == lun) return static_cast<int>(i);
    return -1;
}

int ControllerFirmware::FindDiskBySas(const Bytes& sas) const
{
    for (size_t i = 0; i < config_.disks.size(); ++i)
        if (config_.disks[i].sas_address == sas) return static_cast<int>(i);
    return -1;
}

int ControllerFirmware::FindDiskByAddress(int channel, int target, int lun) const
{
    for (size_t i = 0; i < config_.disks.size(); ++i) {
        const DiskConfig& d = config_.disks[i];
        if (d.channel == channel && d.target == target && d.lun == lun) return static_cast<int>(i);
    }
    return -1;
}

}  // namespace zev::emu
