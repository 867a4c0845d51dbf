// The firmware model and the scenario reader on their own: replies, collect-buffer rules, LUN reports,
// the wrapped SSP passthrough and scenario validation.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "emu_bytes.hpp"
#include "emu_firmware.hpp"
#include "emu_scenario.hpp"

using namespace zev::emu;

namespace {

ControllerConfig OneController(const std::string& extra = "")
{
    return Scenario::FromText(R"({"controllers":[{"driver":"hpsa")" + extra + "}]}").controllers.at(0);
}

Bytes BmicCdb(bool write, uint8_t cmd, uint32_t address, uint16_t length, uint16_t index = 0)
{
    Bytes c(10, 0);
    c[0] = write ? 0x27 : 0x26;
    c[1] = static_cast<uint8_t>(index);
    PutBE32(c, 2, address);
    c[6] = cmd;
    PutBE16(c, 7, length);
    c[9] = static_cast<uint8_t>(index >> 8);
    return c;
}

ScsiCommand Read(uint8_t cmd, uint32_t address, uint16_t length)
{
    return ScsiCommand{BmicCdb(false, cmd, address, length), Dir::Read, {}, length};
}

ScsiCommand Chunk(uint16_t n, uint16_t i, const Bytes& data)
{
    const uint32_t pos = (uint32_t(n >> 8) << 24) | (uint32_t(i >> 8) << 16) | (uint32_t(n & 0xFF) << 8) | (i & 0xFF);
    return ScsiCommand{BmicCdb(true, 0xD2, pos, static_cast<uint16_t>(data.size())), Dir::Write, data, 0};
}
ScsiCommand NoData(uint8_t cmd) { return ScsiCommand{BmicCdb(true, cmd, 0, 0), Dir::None, {}, 0}; }

}  // namespace

TEST(EmuBytes, EndianHelpersAndHex)
{
    Bytes b;
    PutLE32(b, 2, 0x11223344);
    PutBE16(b, 6, 0xA1B2);
    EXPECT_EQ(ToHex(b), "000044332211a1b2");
    EXPECT_EQ(GetLE32(b, 2), 0x11223344u);
    EXPECT_EQ(GetBE16(b, 6), 0xA1B2);
    EXPECT_EQ(GetLE32(b, 100), 0u);  // past the end reads zero
    Bytes h;
    EXPECT_TRUE(ParseHex("26 00:0A-ff", &h));
    EXPECT_EQ(ToHex(h), "26000aff");
    EXPECT_FALSE(ParseHex("2", &h));
    EXPECT_FALSE(ParseHex("2 6", &h));
    EXPECT_FALSE(ParseHex("zz", &h));
    EXPECT_EQ(Sha256Hex(Bytes{}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(EmuFirmware, IdentifyFieldsAtTheirOffsets)
{
    ControllerConfig c = OneController(
        R"(,"pci":{"vendor":"0x1234","device":"0x5678","subsystem_vendor":"0x9abc","subsystem_device":"0xdef0"},
         "firmware":{"identify":{"firmware_version":"1.98","vendor_id":"AB","product_id":"CTRL 8i",
           "family_id":"FAM","fixed_length":317,"total_length":700,"encryption":true,"software_raid":true,
           "slot":3,"encryption_status":16384,"pci_generation":4,"pci_link_width":16,
           "patches":[{"offset":600,"hex":"ee"}]}})");
    ControllerFirmware fw(c);
    ScsiResult r = fw.ExecuteOnController(Read(0x11, 0, 647));
    ASSERT_EQ(r.scsi_status, 0);
    const Bytes& b = r.data_in;
    ASSERT_EQ(b.size(), 647u);
    EXPECT_EQ(std::string(b.begin() + 5, b.begin() + 9), "1.98");
    EXPECT_EQ(b[126] & 2, 2);
    EXPECT_EQ(GetLE32(b, 184), 1u << 26);
    EXPECT_EQ(b[189], 3);
    EXPECT_EQ(GetLE32(b, 196), 700u);
    EXPECT_EQ(std::string(b.begin() + 200, b.begin() + 208), "AB      ");
    EXPECT_EQ(std::string(b.begin() + 208, b.begin() + 224), "CTRL 8i         ");
    EXPECT_EQ(GetLE32(b, 240), 317u);
    EXPECT_EQ(GetLE32(b, 268), 1u << 31);
    EXPECT_EQ(GetLE32(b, 282), 16384u);
    EXPECT_EQ(b[290], 4);
    EXPECT_EQ(b[291], 16);
    EXPECT_EQ(GetLE16(b, 365), 0x5678);
    EXPECT_EQ(GetLE16(b, 367), 0x1234);
    EXPECT_EQ(GetLE16(b, 369), 0xdef0);
    EXPECT_EQ(GetLE16(b, 371), 0x9abc);
    EXPECT_EQ(std::string(b.begin() + 389, b.begin() + 392), "FAM");
    EXPECT_EQ(GetLE16(b, 453), 3);
    EXPECT_EQ(b[600], 0xEE);
    // A shorter transfer length gets a shorter reply.
    EXPECT_EQ(fw.ExecuteOnController(Read(0x11, 0, 16)).data_in.size(), 16u);
}

TEST(EmuFirmware, UnknownSlotAndOtherReads)
{
    ControllerConfig c = OneController(
        R"(,"firmware":{"identify":{"slot":null},"controller_parameters":{"total_length":206},
         "subsystem_parameters":{"serial_hex":"534e303030310000c3"},"cache_status":{"total_length":600},
         "encryption":{"6":"01020304"}})");
    ControllerFirmware fw(c);
    const Bytes id = fw.ExecuteOnController(Read(0x11, 0, 647)).data_in;
    EXPECT_EQ(id[189], 0xFF);
    EXPECT_EQ(GetLE16(id, 453), 0xFFFF);
    EXPECT_EQ(GetLE32(fw.ExecuteOnController(Read(0x64, 0, 334)).data_in, 188), 206u);
    const Bytes ss = fw.ExecuteOnController(Read(0x66, 0, 1744)).data_in;
    ASSERT_EQ(ss.size(), 1744u);
    EXPECT_EQ(ToHex(Bytes(ss.begin() + 44, ss.begin() + 53)), "534e303030310000c3");
    EXPECT_EQ(GetLE32(fw.ExecuteOnController(Read(0xC1, 0, 512)).data_in, 16), 600u);
    EXPECT_EQ(ToHex(fw.ExecuteOnController(Read(0x1E, 6, 4)).data_in), "01020304");
    EXPECT_EQ(ToHex(fw.ExecuteOnController(Read(0x1E, 7, 4)).data_in), "00000000");
    ScsiResult unknown = fw.ExecuteOnController(Read(0x99, 0, 16));
    EXPECT_EQ(unknown.scsi_status, 2);
    EXPECT_EQ(ToHex(unknown.sense), "700005000000000a00000000200000000000");
}

TEST(EmuFirmware, FeaturePages)
{
    struct Case {
        const char* firmware;
        const char* want_prefix;  // hex of the reply's first bytes
    } cases[] = {
        // defaults: 01/01, 07/01 encryption, 0A/01 software RAID, 0C/01 family id bit
        {R"({"identify":{"encryption":true}})",
         "00001800"
         "0101010001"
         "0701010001"
         "0a01010000"
         "0c0105000000000200"},
        {R"({"feature_pages":{"pages":[{"page":15,"subpage":1,"data":"aa"},{"page":7,"subpage":1,"data":"01","page_length":3}]}})",
         "00000a000f010100aa07010300"},
        {R"({"feature_pages":{"total_length":300,"pages":[]}})", "00002c01"},
    };
    for (const Case& c : cases) {
        ControllerFirmware fw(OneController(std::string(R"(,"firmware":)") + c.firmware));
        const ScsiResult r = fw.ExecuteOnController(Read(0x61, 0xFFFF0000, 240));
        ASSERT_EQ(r.data_in.size(), 240u) << c.firmware;
        EXPECT_EQ(ToHex(r.data_in).substr(0, std::string(c.want_prefix).size()), c.want_prefix) << c.firmware;
    }
    // No feature pages: the read is rejected.
    ControllerFirmware none(OneController(R"(,"firmware":{"identify":{"feature_pages":false}})"));
    EXPECT_EQ(none.ExecuteOnController(Read(0x61, 0xFFFF0000, 240)).scsi_status, 2);
    EXPECT_EQ(GetLE32(none.ExecuteOnController(Read(0x11, 0, 647)).data_in, 268), 0u);
}

TEST(EmuFirmware, CollectAndFlashAssemblesTheImage)
{
    ControllerFirmware fw(OneController(R"(,"firmware":{"flash":{"new_version":"2.00"}})"));
    Bytes image(16385);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7);
    EXPECT_EQ(fw.ExecuteOnController(NoData(0xD3)).scsi_status, 0);
    EXPECT_EQ(fw.ExecuteOnController(Chunk(2, 1, Bytes(image.begin(), image.begin() + 16384))).scsi_status, 0);
    EXPECT_EQ(fw.ExecuteOnController(Chunk(2, 2, Bytes(image.begin() + 16384, image.end()))).scsi_status, 0);
    EXPECT_EQ(fw.collected_chunks(), 2u);
    EXPECT_EQ(fw.ExecuteOnController(NoData(0xF7)).scsi_status, 0);
    ASSERT_EQ(fw.images().size(), 1u);
    EXPECT_EQ(fw.images()[0].data, image);
    EXPECT_EQ(fw.images()[0].sha256, Sha256Hex(image));
    EXPECT_EQ(fw.images()[0].chunks, 2);
    const Bytes id = fw.ExecuteOnController(Read(0x11, 0, 647)).data_in;
    EXPECT_EQ(std::string(id.begin() + 5, id.begin() + 9), "2.00");
    EXPECT_EQ(fw.ExecuteOnController(NoData(0xD3)).scsi_status, 0);
    EXPECT_EQ(fw.collected_chunks(), 0u);
}

TEST(EmuFirmware, InconsistentChunksAreRefused)
{
    const Bytes full(16384, 1), tail(10, 2);
    struct Case {
        const char* name;
        std::vector<ScsiCommand> before;
        ScsiCommand chunk;
    } cases[] = {
        {"first chunk not 1", {}, Chunk(3, 2, full)},
        {"number 0", {}, Chunk(3, 0, full)},
        {"count 0", {}, Chunk(0, 1, full)},
        {"number beyond count", {}, Chunk(1, 2, full)},
        {"short chunk before the last", {}, Chunk(3, 1, tail)},
        {"count changes", {Chunk(3, 1, full)}, Chunk(4, 2, full)},
        {"chunk repeated", {Chunk(3, 1, full)}, Chunk(3, 1, full)},
        {"chunk skipped", {Chunk(3, 1, full)}, Chunk(3, 3, tail)},
        {"more than 16 KiB", {}, Chunk(1, 1, Bytes(16385, 0))},
    };
    for (const Case& c : cases) {
        ControllerFirmware fw(OneController());
        for (const ScsiCommand& b : c.before) ASSERT_EQ(fw.ExecuteOnController(b).scsi_status, 0) << c.name;
        const ScsiResult r = fw.ExecuteOnController(c.chunk);
        EXPECT_EQ(r.scsi_status, 2) << c.name;
        EXPECT_EQ(GetU8(r.sense, 12), 0x24) << c.name;
    }
    // A transfer length that differs from the data is refused too.
    ControllerFirmware fw(OneController());
    ScsiCommand odd = Chunk(1, 1, tail);
    PutBE16(odd.cdb, 7, 11);
    EXPECT_EQ(fw.ExecuteOnController(odd).scsi_status, 2);
    // The flash command needs every chunk.
    EXPECT_EQ(fw.ExecuteOnController(NoData(0xF7)).scsi_status, 2);
    EXPECT_EQ(fw.ExecuteOnController(Chunk(2, 1, full)).scsi_status, 0);
    EXPECT_EQ(GetU8(fw.ExecuteOnController(NoData(0xF7)).sense, 12), 0x2C);
    EXPECT_TRUE(fw.images().empty());
    ControllerFirmware refusing(OneController(R"(,"firmware":{"flash":{"refuse":true}})"));
    EXPECT_EQ(refusing.ExecuteOnController(Chunk(1, 1, tail)).scsi_status, 0);
    EXPECT_EQ(refusing.ExecuteOnController(NoData(0xF7)).scsi_status, 2);
    EXPECT_TRUE(refusing.images().empty());
}

TEST(EmuFirmware, ChunkPositionOf300Chunks)
{
    uint16_t n = 0, i = 0;
    DecodeChunkPosition(0x01002C01, &n, &i);
    EXPECT_EQ(n, 300);
    EXPECT_EQ(i, 1);
    DecodeChunkPosition(0x01012C00, &n, &i);
    EXPECT_EQ(n, 300);
    EXPECT_EQ(i, 256);
}

TEST(EmuFirmware, LunReportsAndSecondRead)
{
    std::string logicals;
    for (int k = 0; k < 30; ++k) logicals += std::string(k ? "," : "") + R"({"number":)" + std::to_string(k) + "}";
    ControllerFirmware fw(OneController(R"(,"disks":[{"report_type":0,"report_flags":1},{"report_type":5}],)"
                                        R"("logical_drives":[)" +
                                        logicals + "]"));
    ScsiCommand phys{{0xC3, 0x02, 0, 0, 0, 0, 0, 0, 0x03, 0x08, 0, 0}, Dir::Read, {}, 776};
    ScsiResult r = fw.ExecuteOnController(phys);
    ASSERT_EQ(r.data_in.size(), 8u + 48u);
    EXPECT_EQ(GetBE32(r.data_in, 0), 48u);
    EXPECT_EQ(ToHex(Bytes(r.data_in.begin() + 8, r.data_in.begin() + 16)), "0000000000000001");  // index 0
    EXPECT_EQ(r.data_in[8 + 16], 0);
    EXPECT_EQ(r.data_in[8 + 17], 1);
    EXPECT_EQ(r.data_in[32 + 16], 5);
    ScsiCommand logical{{0xC2, 0x01, 0, 0, 0, 0, 0, 0, 0x02, 0x00, 0, 0}, Dir::Read, {}, 512};
    r = fw.ExecuteOnController(logical);
    EXPECT_EQ(r.data_in.size(), 512u);
    EXPECT_EQ(GetBE32(r.data_in, 0), 720u);  // 30 entries: the caller must read again with 728
    logical.cdb[8] = 0x02;
    logical.cdb[9] = 0xD8;
    logical.data_in_length = 728;
    r = fw.ExecuteOnController(logical);
    ASSERT_EQ(r.data_in.size(), 728u);
    EXPECT_EQ(GetLE16(r.data_in, 8 + 29 * 24), 29);
}

TEST(EmuFirmware, WrappedSspReachesTheDisk)
{
    ControllerFirmware fw(OneController(R"(,"disks":[{"vendor":"DISKV","model":"DM"}])"));
    const uint32_t len = 36;
    Bytes s(len + 372, 0);
    PutLE32(s, 0, 28);
    PutLE32(s, 12, 60);
    PutLE32(s, 16, 24);
    PutLE32(s, 24, static_cast<uint32_t>(s.size() - 28));
    PutBytes(s, 40, Bytes{0, 0, 0, 0, 0, 0, 0, 1});
    s[48] = 6;
    PutBytes(s, 52, Bytes{0x12, 0, 0, 0, 36, 0});
    PutLE32(s, 68, 1);
    PutLE32(s, 96, len);
    Bytes cdb{0x27, 0, 0, 0, 0, 0x18, 0x68, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    PutBE16(cdb, 7, static_cast<uint16_t>(s.size()));
    ScsiResult r = fw.ExecuteOnController(ScsiCommand{cdb, Dir::Both, s, static_cast<uint32_t>(s.size())});
    ASSERT_EQ(r.scsi_status, 0);
    EXPECT_EQ(ToHex(r.inner_cdb), "120000002400");
    EXPECT_EQ(std::string(r.data_in.begin() + 368 + 8, r.data_in.begin() + 368 + 13), "DISKV");
    EXPECT_EQ(GetLE32(r.data_in, 364), 36u);
    // An unsupported inner command reports CHECK CONDITION with its sense inside and outside.
    s[52] = 0x5A;
    r = fw.ExecuteOnController(ScsiCommand{cdb, Dir::Both, s, static_cast<uint32_t>(s.size())});
    EXPECT_EQ(r.scsi_status, 2);
    EXPECT_EQ(r.data_in[104], 2);
    EXPECT_EQ(r.data_in[105], 2);
    EXPECT_EQ(GetBE16(r.data_in, 106), 18);
    EXPECT_EQ(r.data_in[108 + 12], 0x20);
}

TEST(EmuScenario, RejectsBadInput)
{
    const char* bad[] = {
        R"({"controllers":[{"driver":"nosuch"}]})",
        R"({"controllers":[{"driver":"hpsa","typo":1}]})",
        R"({"controllers":[{"driver":"hpsa","pci":{"address":"03:00.0"}}]})",
        R"({"controllers":[{"driver":"hpsa","sg":1},{"driver":"hpsa","sg":1}]})",
        R"({"controllers":[{"driver":"hpsa","host":1}],"extra_hosts":[{"host":1}]})",
        R"({"controllers":[{"driver":"hpsa","node":"stale"}]})",
        R"({"controllers":[{"driver":"hpsa","faults":[{"nth":0}]}]})",
        R"({"controllers":[{"driver":"hpsa","faults":[{"match":{"ioctl":"nope"}}]}]})",
        R"({"controllers":[{"driver":"hpsa","firmware":{"identify":{"slot":70000}}}]})",
        R"({"extra_links":[{"path":"../etc/x","target":"y"}]})",
        R"({"extra_links":[{"path":"sys/x","target":"/sys/devices"}]})",
        R"({"extra_files":[{"path":"/etc/passwd","content":""}]})",
        R"({"controllers":[{"driver":"hpsa","firmware":{"subsystem_parameters":{"serial_hex":"zz"}}}]})",
        R"([1,2)",
    };
    for (const char* text : bad) EXPECT_THROW(Scenario::FromText(text), std::runtime_error) << text;
}

TEST(EmuScenario, DefaultsAreAssignedInOrder)
{
    Scenario s =
        Scenario::FromText(R"({"controllers":[{"driver":"hpsa","sg":0,"disks":[{}]},{"driver":"aacraid","host":5},
      {"driver":"smartpqi","disks":[{"index":300}]},{"driver":"aacraid","host":1}]})");
    ASSERT_EQ(s.controllers.size(), 4u);
    EXPECT_EQ(s.controllers[0].id, "c0");
    EXPECT_EQ(s.controllers[0].host, 0);
    EXPECT_EQ(s.controllers[0].disks[0].sg, 1);
    EXPECT_EQ(s.controllers[2].host, 2);
    EXPECT_EQ(s.controllers[2].sg, 2);
    EXPECT_EQ(s.controllers[2].channel, 2);
    EXPECT_EQ(ToHex(s.controllers[2].disks[0].ciss_lun), "0000000000002c02");
    EXPECT_EQ(s.controllers[1].aac_instance, 1);  // host 5 comes after host 1
    EXPECT_EQ(s.controllers[3].aac_instance, 0);
    EXPECT_EQ(s.controllers[0].bdf, "0000:03:00.0");
    EXPECT_EQ(s.controllers[1].bdf, "0000:04:00.0");
}

namespace {

ScsiCommand IdentifyPhysical(uint16_t index)
{
    return ScsiCommand{BmicCdb(false, 0x15, 0, 128, index), Dir::Read, {}, 128};
}

TEST(EmuFirmware, IdentifyPhysicalDeviceAndBackgroundActivity)
{
    ControllerFirmware fw(OneController(R"(,"disks":[
      {"index":0,"vendor":"V0","model":"M0","serial":"S0","rev":"R0"},
      {"index":300,"report_type":2,"box":7,"bay":9,"port":"2E","basic_info":"0x10"},
      {"index":4,"report_type":6,"vendor":"ENC"},
      {"report_type":7,"ciss_lun":"0900000000000000"},
      {"index":5,"identify":false}])"));
    ScsiResult r = fw.ExecuteOnController(IdentifyPhysical(0));
    ASSERT_EQ(r.scsi_status, 0);
    ASSERT_EQ(r.data_in.size(), 128u);
    EXPECT_EQ(GetLE16(r.data_in, 0), 0);
    EXPECT_EQ(r.data_in[2], 0);
    EXPECT_EQ(GetLE16(r.data_in, 4), 1);  // drives default to box 1, bay index + 1, a SAS hard drive
    EXPECT_EQ(r.data_in[6], 1);
    EXPECT_EQ(std::string(r.data_in.begin() + 8, r.data_in.begin() + 10), "1I");
    EXPECT_EQ(std::string(r.data_in.begin() + 16, r.data_in.begin() + 24), "V0      ");
    EXPECT_EQ(std::string(r.data_in.begin() + 24, r.data_in.begin() + 27), "M0 ");
    EXPECT_EQ(std::string(r.data_in.begin() + 64, r.data_in.begin() + 67), "S0 ");
    EXPECT_EQ(std::string(r.data_in.begin() + 84, r.data_in.begin() + 87), "R0 ");
    EXPECT_EQ(GetLE32(r.data_in, 92), 1u);

    r = fw.ExecuteOnController(IdentifyPhysical(300));
    ASSERT_EQ(r.scsi_status, 0);
    EXPECT_EQ(GetLE16(r.data_in, 0), 300);
    EXPECT_EQ(r.data_in[2], 2);
    EXPECT_EQ(GetLE16(r.data_in, 4), 7);
    EXPECT_EQ(r.data_in[6], 9);
    EXPECT_EQ(std::string(r.data_in.begin() + 8, r.data_in.begin() + 10), "2E");
    EXPECT_EQ(GetLE32(r.data_in, 92), 0x10u);

    r = fw.ExecuteOnController(IdentifyPhysical(4));  // not a drive: no enclosure, no kind
    EXPECT_EQ(r.data_in[2], 6);
    EXPECT_EQ(GetLE16(r.data_in, 4), 0xFFFF);
    EXPECT_EQ(GetLE32(r.data_in, 92), 0u);
    r = fw.ExecuteOnController(IdentifyPhysical(9));  // type 7: index from LUN byte 0
    EXPECT_EQ(r.scsi_status, 0);
    EXPECT_EQ(r.data_in[2], 7);

    for (uint16_t missing : {5, 6, 0x3FF}) {
        r = fw.ExecuteOnController(IdentifyPhysical(missing));
        EXPECT_EQ(r.scsi_status, 2) << missing;
        EXPECT_TRUE(r.data_in.empty());
    }

    EXPECT_FALSE(fw.background_paused());
    EXPECT_EQ(fw.ExecuteOnController(NoData(0x98)).scsi_status, 0);
    EXPECT_TRUE(fw.background_paused());
    EXPECT_EQ(fw.ExecuteOnController(NoData(0x99)).scsi_status, 0);
    EXPECT_FALSE(fw.background_paused());
}

TEST(EmuScenario, DiskIdentityKeys)
{
    for (const char* disk : {R"({"port":"ABC"})", R"({"bay":256})", R"({"identify":1})"})
        EXPECT_THROW(Scenario::FromText(std::string(R"({"controllers":[{"driver":"hpsa","disks":[)") + disk + "]}]}"),
                     std::runtime_error)
            << disk;
    Scenario s =
        Scenario::FromText(R"({"controllers":[{"driver":"hpsa","disks":[{"box":3,"basic_info":"0xffffffff"}]}]})");
    EXPECT_EQ(s.controllers[0].disks[0].box, 3);
    EXPECT_EQ(s.controllers[0].disks[0].basic_info, 0xFFFFFFFFll);
}

}  // namespace
