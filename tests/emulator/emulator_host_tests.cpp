// The emulated host in this process: the sysfs/dev/proc tree, every ioctl framing the drivers answer,
// fault injection, the /dev guard of the test preload, the report, and the zevsim runner.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/cciss_ioctl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <vector>
#include <string>

#include "TempDir.h"
#include "TestFiles.h"
#include "TestProcess.h"
#include "emu_host.hpp"

using namespace zev::emu;

namespace {

std::string ScenarioPath(const std::string& name) { return std::string(ZEV_EMU_SCENARIO_DIR) + "/" + name; }

std::string Real(const std::string& path)
{
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) ? std::string(buf) : std::string("(unresolved)");
}

int IoctlOn(const std::string& node, unsigned long req, void* arg, int* err)
{
    const int fd = open(node.c_str(), O_RDWR);
    if (fd < 0) {
        *err = errno;
        return -2;
    }
    const int rc = ioctl(fd, req, arg);
    *err = rc < 0 ? errno : 0;
    close(fd);
    return rc;
}

struct PassthruResult {
    int rc = 0;  // -2 when the node would not open
    int err = 0;
    IOCTL_Command_struct cmd{};
};

// A CISS passthrough request as the system core frames it.
IOCTL_Command_struct PassthruRequest(const Bytes& cdb, int xfer, uint8_t* buf, uint16_t len,
                                     const Bytes& lun = Bytes(8, 0))
{
    IOCTL_Command_struct cmd{};
    std::memcpy(&cmd.LUN_info, lun.data(), 8);
    cmd.Request.CDBLen = static_cast<uint8_t>(cdb.size());
    cmd.Request.Type.Type = 0;
    cmd.Request.Type.Attribute = 4;
    cmd.Request.Type.Direction = static_cast<uint8_t>(xfer);
    cmd.Request.Timeout = 30;
    std::memcpy(cmd.Request.CDB, cdb.data(), cdb.size());
    cmd.buf_size = len;
    cmd.buf = buf;
    return cmd;
}

PassthruResult Passthru(const std::string& node, const Bytes& cdb, int xfer, uint8_t* buf, uint16_t len,
                        const Bytes& lun = Bytes(8, 0))
{
    PassthruResult r;
    r.cmd = PassthruRequest(cdb, xfer, buf, len, lun);
    r.rc = IoctlOn(node, CCISS_PASSTHRU, &r.cmd, &r.err);
    return r;
}

const Bytes kIdentifyCdb{0x26, 0, 0, 0, 0, 0, 0x11, 0x02, 0x87, 0};

// A big passthrough reading the identify reply into len bytes at buf, in pieces of mallocSize.
BIG_IOCTL_Command_struct BigIdentify(uint8_t* buf, uint32_t len, uint32_t mallocSize)
{
    BIG_IOCTL_Command_struct b{};
    b.Request.CDBLen = 10;
    b.Request.Type.Attribute = 4;
    b.Request.Type.Direction = XFER_READ;
    std::memcpy(b.Request.CDB, kIdentifyCdb.data(), 10);
    b.malloc_size = mallocSize;
    b.buf_size = len;
    b.buf = buf;
    return b;
}

// An SG_IO request as the sg driver takes it.
sg_io_hdr_t SgIoRequest(uint8_t* cdb, uint8_t cdbLen, int direction, uint8_t* data = nullptr, unsigned len = 0)
{
    sg_io_hdr_t h{};
    h.interface_id = 'S';
    h.dxfer_direction = direction;
    h.cmd_len = cdbLen;
    h.cmdp = cdb;
    if (data != nullptr) {  // a request without data transfers nothing
        h.dxferp = data;
        h.dxfer_len = len;
    }
    return h;
}

// aacraid raw SRB with one 64-bit scatter-gather entry, followed by the 52-byte reply area.
Bytes MakeSrb(int ch, int id, int lun, uint32_t flags, const Bytes& cdb, void* buf, uint32_t len)
{
    Bytes s(68 + 52, 0);
    PutLE32(s, 4, ch);
    PutLE32(s, 8, id);
    PutLE32(s, 12, lun);
    PutLE32(s, 20, flags);
    PutLE32(s, 24, 68);
    PutLE32(s, 32, static_cast<uint32_t>(cdb.size()));
    PutBytes(s, 36, cdb);
    PutLE32(s, 52, 1);
    PutLE64(s, 56, reinterpret_cast<uintptr_t>(buf));
    PutLE32(s, 64, len);
    return s;
}

}  // namespace

TEST(EmuHost, PreloadIsActive) { ASSERT_TRUE(Host::PreloadActive()); }

TEST(EmuHost, TreeLooksLikeTheKernels)
{
    Host host(Scenario::FromFile(ScenarioPath("one-hpsa.json")));
    EXPECT_EQ(Real("/sys/bus/pci/drivers/hpsa/0000:03:00.0"), host.SystemPath(0));
    EXPECT_EQ(host.SystemPath(0).rfind("/sys/devices/", 0), 0u);
    EXPECT_EQ(Real("/sys/bus/pci/drivers/hpsa/module"), "/sys/module/hpsa");
    EXPECT_EQ(zevtest::readFile("/sys/class/scsi_generic/sg0/device/type"), "12\n");
    EXPECT_EQ(zevtest::readFile("/sys/class/scsi_generic/sg1/device/type"), "0\n");
    EXPECT_EQ(Real("/sys/class/scsi_generic/sg0/device/type").rfind(host.SystemPath(0), 0), 0u);
    EXPECT_EQ(zevtest::readFile("/sys/class/scsi_host/host0/proc_name"), "hpsa\n");
    EXPECT_EQ(zevtest::readFile(host.SystemPath(0) + "/vendor"), "0x1d5a\n");
    struct stat st {};
    ASSERT_EQ(lstat("/dev/sg0", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(major(st.st_rdev), 21u);
    EXPECT_EQ(minor(st.st_rdev), 0u);
    EXPECT_NE(zevtest::readFile("/proc/devices").find("250 aac\n"), std::string::npos);
    EXPECT_NE(access("/sys/bus/pci/drivers/smartpqi", F_OK), 0);
}

TEST(EmuHost, ControllerDeviceTypesAndSgNumbersAreTheScenarios)
{
    Host host(Scenario::FromFile(ScenarioPath("wrong-types.json")));
    const struct {
        const char* sg;
        const char* type;
        size_t ctrl;
    } want[] = {{"sg0", "0\n", 0}, {"sg1", "0\n", 0}, {"sg2", "0\n", 1}, {"sg3", "12\n", 1}};
    for (const auto& w : want) {
        const std::string base = std::string("/sys/class/scsi_generic/") + w.sg;
        EXPECT_EQ(zevtest::readFile(base + "/device/type"), w.type) << w.sg;
        EXPECT_EQ(Real(base + "/device/type").rfind(host.SystemPath(w.ctrl) + "/", 0), 0u) << w.sg;
        EXPECT_EQ(zevtest::readFile(base + "/dev"), std::string("21:") + (w.sg + 2) + "\n");
    }
}

TEST(EmuHost, EveryDriverRowGetsItsDirectoryAndNode)
{
    Host host(Scenario::FromFile(ScenarioPath("all-drivers.json")));
    ASSERT_EQ(host.controller_count(), 9u);
    for (size_t k = 0; k < host.controller_count(); ++k) {
        const ControllerConfig& c = host.scenario().controllers[k];
        EXPECT_EQ(Real("/sys/bus/pci/drivers/" + c.driver + "/" + c.bdf), host.SystemPath(k)) << c.driver;
        EXPECT_EQ(zevtest::readFile("/sys/class/scsi_host/host" + std::to_string(c.host) + "/proc_name"),
                  c.driver + "\n");
        struct stat st {};
        EXPECT_EQ(lstat(host.NodePath(k).c_str(), &st), 0) << host.NodePath(k);
    }
    EXPECT_EQ(host.NodePath(7), "/dev/aac0");
}

TEST(EmuHost, IdentifyThroughThePassthroughIsRecorded)
{
    Host host(Scenario::FromFile(ScenarioPath("one-hpsa.json")));
    uint8_t buf[647 + 8];
    std::memset(buf, 0xAA, sizeof buf);
    PassthruResult r = Passthru("/dev/sg0", kIdentifyCdb, XFER_READ, buf, 647);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.cmd.error_info.CommandStatus, 0);
    EXPECT_EQ(r.cmd.error_info.ScsiStatus, 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf) + 5, 4), "1.98");
    EXPECT_EQ(buf[647], 0xAA) << "nothing written past the buffer";
    // The request itself is left as it was.
    EXPECT_EQ(r.cmd.buf, buf);
    EXPECT_EQ(r.cmd.buf_size, 647);
    EXPECT_EQ(std::memcmp(r.cmd.Request.CDB, kIdentifyCdb.data(), 10), 0);
    const std::vector<CommandRecord> cmds = host.Commands(0);
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_EQ(cmds[0].ioctl, "passthru");
    EXPECT_EQ(ToHex(cmds[0].cdb), "26000000000011028700");
    EXPECT_EQ(cmds[0].bmic().command, 0x11);
    EXPECT_EQ(cmds[0].dir, Dir::Read);
    EXPECT_EQ(cmds[0].data_length, 647u);
    EXPECT_EQ(cmds[0].data_sha256, Sha256Hex(buf, 647));
    EXPECT_EQ(cmds[0].target, "controller");
    const nlohmann::json rep = host.Report();
    EXPECT_EQ(rep["controllers"][0]["commands"][0]["cdb"], "26000000000011028700");
    EXPECT_EQ(rep["controllers"][0]["commands"][0]["result"]["errno"], 0);
}

TEST(EmuHost, PassthroughValidationAndBigRequests)
{
    Host host(Scenario::FromFile(ScenarioPath("one-hpsa.json")));
    uint8_t small[16];
    // A data direction without a buffer is refused by the driver.
    EXPECT_EQ(Passthru("/dev/sg0", kIdentifyCdb, XFER_READ, small, 0).err, EINVAL);
    // The CDB's transfer length beyond the buffer: the driver reports an overrun.
    PassthruResult over = Passthru("/dev/sg0", kIdentifyCdb, XFER_READ, small, 16);
    EXPECT_EQ(over.rc, 0);
    EXPECT_EQ(over.cmd.error_info.CommandStatus, 3);
    // A disk behind the controller by its LUN address, and an address with nothing behind it.
    uint8_t inq[36] = {};
    PassthruResult disk = Passthru("/dev/sg0", {0x12, 0, 0, 0, 36, 0}, XFER_READ, inq, 36, {0, 0, 0, 0, 0, 0, 0, 1});
    EXPECT_EQ(disk.cmd.error_info.CommandStatus, 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(inq) + 8, 7), "ZEVDISK");
    PassthruResult none = Passthru("/dev/sg0", {0x12, 0, 0, 0, 36, 0}, XFER_READ, inq, 36, {0, 0, 0, 0, 0, 0, 9, 9});
    EXPECT_EQ(none.cmd.error_info.CommandStatus, 4);

    // Big passthrough: 128,000 bytes in chunks of 5,120.
    std::vector<uint8_t> big(128000, 0x55);
    BIG_IOCTL_Command_struct b = BigIdentify(big.data(), 128000, 5120);
    b.Request.CDB[7] = 0xF4;  // 62,500 bytes asked (62500 = 0xF424)
    b.Request.CDB[8] = 0x24;
    int err = 0;
    ASSERT_EQ(IoctlOn("/dev/sg0", CCISS_BIG_PASSTHRU, &b, &err), 0);
    EXPECT_EQ(b.error_info.CommandStatus, 2);  // underrun: the reply is shorter than the buffer
    EXPECT_EQ(b.error_info.ResidualCnt, 128000u - 62500u);
    EXPECT_EQ(big[127999], 0) << "the driver zero fills what the controller did not send";
    EXPECT_EQ(std::string(reinterpret_cast<char*>(big.data()) + 5, 4), "1.98");
    b.malloc_size = 128001;
    EXPECT_EQ(IoctlOn("/dev/sg0", CCISS_BIG_PASSTHRU, &b, &err), -1);
    EXPECT_EQ(err, EINVAL);
    const std::vector<CommandRecord> cmds = host.Commands(0);
    ASSERT_GE(cmds.size(), 6u);
    EXPECT_EQ(cmds[4].ioctl, "big_passthru");
    EXPECT_EQ(cmds[4].data_length, 128000u);
}

TEST(EmuHost, SmartpqiAnswersLikeItsDriver)
{
    Host host(Scenario::FromFile(ScenarioPath("smartpqi.json")));
    uint8_t buf[647];
    PassthruResult r = Passthru("/dev/sg0", kIdentifyCdb, XFER_READ, buf, 647);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf) + 5, 4), "3.10");
    BIG_IOCTL_Command_struct b = BigIdentify(buf, 8, 8);
    int err = 0;
    EXPECT_EQ(IoctlOn("/dev/sg0", CCISS_BIG_PASSTHRU, &b, &err), -1);
    EXPECT_EQ(err, EINVAL);
    cciss_pci_info_struct pci{};
    ASSERT_EQ(IoctlOn("/dev/sg0", CCISS_GETPCIINFO, &pci, &err), 0);
    EXPECT_EQ(pci.bus, 0x41);
    EXPECT_EQ(pci.dev_fn, 0);
}

TEST(EmuHost, SgIoReachesTheDiskOfItsNode)
{
    Host host(Scenario::FromFile(ScenarioPath("smartpqi.json")));
    uint8_t cdb[6] = {0x12, 0, 0, 0, 36, 0}, inq[36] = {}, sense[32] = {};
    sg_io_hdr_t h = SgIoRequest(cdb, 6, SG_DXFER_FROM_DEV, inq, 36);
    h.sbp = sense;
    h.mx_sb_len = sizeof sense;
    int err = 0;
    ASSERT_EQ(IoctlOn("/dev/sg2", SG_IO, &h, &err), 0);
    EXPECT_EQ(h.status, 0);
    EXPECT_EQ(inq[0], 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(inq) + 8, 7), "ZEVDISK");
    cdb[0] = 0x5A;  // not supported by the disk
    ASSERT_EQ(IoctlOn("/dev/sg2", SG_IO, &h, &err), 0);
    EXPECT_EQ(h.status, 2);
    EXPECT_EQ(h.masked_status, 1);
    EXPECT_EQ(h.sb_len_wr, 18);
    EXPECT_EQ(sense[12], 0x20);
    EXPECT_EQ(host.Commands(0).back().target, "disk1");
}

TEST(EmuHost, AacraidNodesFibsSrbsAndReset)
{
    Host host(Scenario::FromFile(ScenarioPath("two-aacraid.json")));
    EXPECT_EQ(host.NodePath(0), "/dev/aac0");
    EXPECT_EQ(host.NodePath(2), "/dev/aac1");
    unsigned maj = 0, min = 0;
    EXPECT_FALSE(host.NodeDevice("/dev/aac0", &maj, &min));
    ASSERT_TRUE(host.NodeDevice("/dev/aac1", &maj, &min));
    EXPECT_EQ(maj, 251u) << "stale node";
    EXPECT_EQ(zevtest::readFile("/sys/class/scsi_host/host2/proc_name"), "ahci\n");
    // The node is created inside the test bed, never in the real /dev.
    ASSERT_EQ(mknod("/dev/aac0", S_IFCHR, makedev(250, 0)), 0);
    ASSERT_TRUE(host.NodeDevice("/dev/aac0", &maj, &min));
    EXPECT_EQ(maj, 250u);
    EXPECT_EQ(mknod("/dev/aac0", S_IFCHR, makedev(250, 0)), -1);
    EXPECT_EQ(errno, EEXIST);
    struct stat st {};
    ASSERT_EQ(lstat("/dev/aac0", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(major(st.st_rdev), 250u);
    ASSERT_EQ(unlink("/dev/aac1"), 0);
    EXPECT_NE(lstat("/dev/aac1", &st), 0);
    ASSERT_EQ(mknod("/dev/aac1", S_IFCHR, makedev(250, 1)), 0);

    uint8_t fib[2048];
    auto send_fib = [&](const std::string& node, uint16_t command) {
        std::memset(fib, 0, 512);
        fib[0] = 1;
        std::memcpy(fib + 4, &command, 2);
        fib[6] = 4;
        fib[8] = 4;
        fib[10] = 0x00;
        fib[11] = 0x02;  // 512 handed back
        int err = 0;
        return IoctlOn(node, 0x42008, fib, &err);
    };
    ASSERT_EQ(send_fib("/dev/aac1", 703), 0);
    EXPECT_EQ(fib[32 + 80 + 2] & 1, 1) << "supplement offered";
    ASSERT_EQ(send_fib("/dev/aac1", 706), 0);
    EXPECT_EQ(fib[32 + 200], 3);
    EXPECT_EQ(fib[32 + 202], 1);
    EXPECT_EQ(fib[32 + 204], 0);
    cciss_pci_info_struct pci{};
    int err = 0;
    EXPECT_EQ(IoctlOn("/dev/aac1", CCISS_GETPCIINFO, &pci, &err), -1);
    EXPECT_EQ(err, ENOTTY);

    // Raw SRB to the controller's own address carries BMIC.
    uint8_t buf[647] = {};
    Bytes s = MakeSrb(3, 1, 0, 0x40, kIdentifyCdb, buf, 647);
    std::fill(s.begin() + 68, s.end(), 0xAA);  // the driver copies its whole reply back, padding included
    ASSERT_EQ(IoctlOn("/dev/aac1", 0x4204C, s.data(), &err), 0);
    EXPECT_EQ(GetLE32(s, 68 + 48), 0u);
    EXPECT_EQ(GetLE32(s, 68 + 0), 0u);
    EXPECT_EQ(GetLE32(s, 68 + 4), 1u);
    EXPECT_EQ(GetLE32(s, 68 + 12), 647u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf) + 5, 4), "1.00");
    Bytes nobody = MakeSrb(2, 2, 2, 0x40, kIdentifyCdb, buf, 647);
    ASSERT_EQ(IoctlOn("/dev/aac1", 0x4204C, nobody.data(), &err), 0);
    EXPECT_EQ(GetLE32(nobody, 68 + 4), 0x0Au);
    Bytes bad = s;
    PutLE32(bad, 24, 60);
    EXPECT_EQ(IoctlOn("/dev/aac1", 0x4204C, bad.data(), &err), -1);
    EXPECT_EQ(err, EINVAL);
    uint8_t type = 1;
    ASSERT_EQ(IoctlOn("/dev/aac1", 0x42170, &type, &err), 0);
    const std::vector<CommandRecord> cmds = host.Commands(2);
    ASSERT_EQ(cmds.size(), 7u);
    EXPECT_EQ(cmds[0].fib_command, 703);
    EXPECT_EQ(cmds[2].err, ENOTTY);
    EXPECT_EQ(cmds[3].ioctl, "raw_srb");
    EXPECT_EQ(cmds[3].target, "controller");
    EXPECT_EQ(cmds[4].target, "none");
    EXPECT_EQ(cmds[6].reset_type, 1);
    EXPECT_TRUE(host.Commands(0).empty());
}

TEST(EmuHost, FaultsOnePerKind)
{
    Host host(Scenario::FromFile(ScenarioPath("one-hpsa.json")));
    uint8_t buf[647];
    Fault eio;
    eio.match.bmic = 0x11;
    eio.after = 1;
    eio.times = 1;
    eio.err = EIO;
    host.AddFault(0, eio);
    EXPECT_EQ(Passthru("/dev/sg0", kIdentifyCdb, XFER_READ, buf, 647).rc, 0);
    EXPECT_EQ(Passthru("/dev/sg0", kIdentifyCdb, XFER_READ, buf, 647).err, EIO);
    EXPECT_EQ(Passthru("/dev/sg0", kIdentifyCdb, XFER_READ, buf, 647).rc, 0) << "only the second one";
    host.ClearFaults(0);

    Fault reject;
    reject.scsi_status = 2;
    ParseHex("70000500000000 0a00000000 2400", &reject.sense);
    host.AddFault(0, reject);
    PassthruResult r = Passthru("/dev/sg0", kIdentifyCdb, XFER_READ, buf, 647);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.cmd.error_info.ScsiStatus, 2);
    EXPECT_EQ(r.cmd.error_info.CommandStatus, 1);
    EXPECT_EQ(r.cmd.error_info.SenseLen, 14);
    EXPECT_EQ(r.cmd.error_info.SenseInfo[12], 0x24);
    host.ClearFaults(0);

    Fault status;
    status.command_status = 4;
    status.data = "garbage";
    host.AddFault(0, status);
    r = Passthru("/dev/sg0", kIdentifyCdb, XFER_READ, buf, 647);
    EXPECT_EQ(r.cmd.error_info.CommandStatus, 4);
    EXPECT_NE(std::string(reinterpret_cast<char*>(buf) + 5, 4), "1.98");
    host.ClearFaults(0);

    Fault slow;
    slow.delay_ms = 120;
    host.AddFault(0, slow);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Passthru("/dev/sg0", kIdentifyCdb, XFER_READ, buf, 647).rc, 0);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(120));
    host.ClearFaults(0);

    Fault gone;
    gone.node_vanished = true;
    host.AddFault(0, gone);
    EXPECT_EQ(Passthru("/dev/sg0", kIdentifyCdb, XFER_READ, buf, 647).err, ENODEV);
    EXPECT_EQ(Passthru("/dev/sg0", kIdentifyCdb, XFER_READ, buf, 647).err, ENOENT) << "the node is gone";

    const std::vector<CommandRecord> cmds = host.Commands(0);
    ASSERT_EQ(cmds.size(), 7u);
    EXPECT_EQ(cmds[1].err, EIO);
    EXPECT_TRUE(cmds[1].faulted);
    EXPECT_FALSE(cmds[2].faulted);
    EXPECT_EQ(cmds[3].scsi_status, 2);
    EXPECT_EQ(cmds[6].err, ENODEV);
}

TEST(EmuHost, FaultCountsAndDataFaults)
{
    Host host(Scenario::FromText(R"({"controllers":[
      {"driver":"hpsa","faults":[{"match":{"bmic":17},"after":1,"times":2,"errno":5},
                                 {"match":{"bmic":100},"data":"truncate","truncate_to":4}]},
      {"driver":"aacraid","node":"present","address":"3:0:0",
       "faults":[{"match":{"ioctl":"raw_srb","target":"controller"},"reply_status":7},
                 {"match":{"fib":706},"errno":22}]}]})"));
    uint8_t buf[647];
    int got[5];
    for (int& g : got) g = Passthru("/dev/sg0", kIdentifyCdb, XFER_READ, buf, 647).err;
    EXPECT_EQ(std::vector<int>(got, got + 5), (std::vector<int>{0, EIO, EIO, 0, 0}));
    std::memset(buf, 0xFF, sizeof buf);
    Passthru("/dev/sg0", {0x26, 0, 0, 0, 0, 0, 0x64, 0x01, 0x4E, 0}, XFER_READ, buf, 334);
    EXPECT_EQ(buf[3], 0);
    EXPECT_EQ(buf[188], 0) << "zeroed after the first four bytes";

    Bytes s = MakeSrb(3, 0, 0, 0x40, kIdentifyCdb, buf, 647);
    int err = 0;
    ASSERT_EQ(IoctlOn("/dev/aac0", 0x4204C, s.data(), &err), 0);
    EXPECT_EQ(GetLE32(s, 68), 7u);
    uint8_t fib[2048] = {1, 0, 0, 0, 0xC2, 0x02, 4, 0, 4, 0, 0, 2};
    EXPECT_EQ(IoctlOn("/dev/aac0", 0x42008, fib, &err), -1);
    EXPECT_EQ(err, EINVAL);
    const std::vector<CommandRecord> aac = host.Commands(1);
    ASSERT_EQ(aac.size(), 2u);
    EXPECT_EQ(aac[0].reply_status, 7u);
    EXPECT_TRUE(aac[1].faulted);
    EXPECT_EQ(aac[1].fib_command, 706);
}

TEST(EmuHost, ScenarioFaultRejectsTheSecondChunkOnly)
{
    Host host(Scenario::FromFile(ScenarioPath("flash-reject.json")));
    std::vector<uint8_t> chunk(16384, 7);
    Bytes c1{0x27, 0, 0x00, 0x00, 0x03, 0x01, 0xD2, 0x40, 0x00, 0};
    EXPECT_EQ(Passthru("/dev/sg0", c1, XFER_WRITE, chunk.data(), 16384).cmd.error_info.ScsiStatus, 0);
    Bytes c2 = c1;
    c2[5] = 2;
    PassthruResult r = Passthru("/dev/sg0", c2, XFER_WRITE, chunk.data(), 16384);
    EXPECT_EQ(r.cmd.error_info.ScsiStatus, 2);
    EXPECT_EQ(r.cmd.error_info.CommandStatus, 1);
    // The rejected chunk was not collected: chunk 2 again is accepted.
    EXPECT_EQ(Passthru("/dev/sg0", c2, XFER_WRITE, chunk.data(), 16384).cmd.error_info.ScsiStatus, 0);
    const std::vector<CommandRecord> cmds = host.Commands(0);
    ASSERT_EQ(cmds.size(), 3u);
    EXPECT_EQ(cmds[1].bmic().address, 0x00000302u);
    EXPECT_EQ(cmds[1].data_sha256, Sha256Hex(chunk.data(), chunk.size()));
}

TEST(EmuHost, FlashOverTheDriverRecordsTheImage)
{
    Host host(Scenario::FromFile(ScenarioPath("identical-twins.json")));
    std::vector<uint8_t> image(16385);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i ^ (i >> 8));
    const std::string node = host.NodePath(1);
    uint8_t none = 0;
    Passthru(node, {0x27, 0, 0, 0, 0, 0, 0xD3, 0, 0, 0}, XFER_NONE, &none, 0);
    Passthru(node, {0x27, 0, 0, 0, 0x02, 0x01, 0xD2, 0x40, 0x00, 0}, XFER_WRITE, image.data(), 16384);
    Passthru(node, {0x27, 0, 0, 0, 0x02, 0x02, 0xD2, 0x00, 0x01, 0}, XFER_WRITE, image.data() + 16384, 1);
    PassthruResult f = Passthru(node, {0x27, 0, 0, 0, 0, 0, 0xF7, 0, 0, 0}, XFER_NONE, &none, 0);
    EXPECT_EQ(f.cmd.error_info.ScsiStatus, 0);
    host.UpdateController(1, [](ControllerConfig& c) { c.firmware.identify.product_id = "CHANGED"; });
    uint8_t id[647];
    Passthru(node, kIdentifyCdb, XFER_READ, id, 647);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(id) + 208, 7), "CHANGED");
    const std::vector<ImageRecord> imgs = host.Images(1);
    ASSERT_EQ(imgs.size(), 1u);
    EXPECT_EQ(imgs[0].size, 16385u);
    EXPECT_EQ(imgs[0].sha256, Sha256Hex(image.data(), image.size()));
    EXPECT_EQ(imgs[0].chunks, 2);
    EXPECT_TRUE(host.Images(0).empty());
    EXPECT_TRUE(host.Commands(0).empty()) << "each twin answers its own node";
    const nlohmann::json rep = host.Report();
    EXPECT_EQ(rep["controllers"][1]["images"][0]["size"], 16385);
}

TEST(EmuHost, RealDeviceNodesAreOutOfReach)
{
    Host host(Scenario::FromFile(ScenarioPath("one-hpsa.json")));
    errno = 0;
    EXPECT_LT(open("/dev/loop0", O_RDONLY), 0);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(fopen("/dev/sg7", "r"), nullptr);
    struct stat real {};
    EXPECT_NE(stat("/dev/loop0", &real), 0) << "nodes the test bed lacks do not exist";
    EXPECT_NE(access("/dev/kmsg", F_OK), 0);
    EXPECT_EQ(stat("/dev/null", &real), 0);
    const int null = open("/dev/null", O_WRONLY);
    EXPECT_GE(null, 0);
    close(null);
    EXPECT_EQ(rename("/dev/sg0", "/dev/sg9"), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(chmod("/dev/sg0", 0600), -1);
    // Relative paths are judged by where they lead.
    const int devdir = open("/dev", O_RDONLY | O_DIRECTORY);
    if (devdir >= 0) {
        EXPECT_LT(openat(devdir, "loop0", O_RDONLY), 0);
        close(devdir);
    }
    const char* sneaky[] = {"/tmp/../dev/loop0", "//dev//./loop0", "/dev/pts/../loop0"};
    for (const char* p : sneaky) EXPECT_LT(open(p, O_RDONLY), 0) << p;
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir("/dev"), 0);
    EXPECT_LT(open("loop0", O_RDONLY), 0);
    EXPECT_LT(open("./pts/../loop1", O_RDONLY), 0);
    ASSERT_EQ(chdir(cwd), 0);
    // Removing the emulated node removes it from the test bed only.
    ASSERT_EQ(unlink("/dev/sg0"), 0);
    EXPECT_NE(access(host.BedPath("/dev/sg0").c_str(), F_OK), 0);
    // Outside /dev nothing changes.
    const std::string fifo = host.root() + "/fifo";
    EXPECT_EQ(mknod(fifo.c_str(), S_IFIFO | 0600, 0), 0);
    struct stat st {};
    ASSERT_EQ(stat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST(EmuHost, CsmiPassthroughWhereEnabled)
{
    Host host(Scenario::FromText(
        R"({"controllers":[{"driver":"hpsa","csmi":true,"disks":[{"model":"SASDISK"}]},{"driver":"hpsa"}]})"));
    Bytes req(20 + 340 + 36, 0);  // header, SSP passthrough, the inquiry reply
    PutLE32(req, 4, 340 + 36);
    PutLE32(req, 12, 60);
    PutU8(req, 20 + 1, 0xFF);
    PutBytes(req, 20 + 4, Bytes{0x50, 0, 0, 0, 0, 0, 0, 0});  // SAS address
    PutU8(req, 20 + 20, 6);
    PutBytes(req, 20 + 24, Bytes{0x12, 0, 0, 0, 36, 0});
    PutLE32(req, 20 + 40, 1);
    PutLE32(req, 20 + 68, 36);
    int err = 0;
    ASSERT_EQ(IoctlOn("/dev/sg0", 0xCC770018, req.data(), &err), 0);
    EXPECT_EQ(GetLE32(req, 8), 0u);
    EXPECT_EQ(std::string(req.begin() + 20 + 340 + 16, req.begin() + 20 + 340 + 23), "SASDISK");
    req[20 + 11] = 9;  // nobody there
    ASSERT_EQ(IoctlOn("/dev/sg0", 0xCC770018, req.data(), &err), 0);
    EXPECT_NE(GetLE32(req, 8), 0u);
    EXPECT_EQ(IoctlOn(host.NodePath(1), 0xCC770018, req.data(), &err), -1);
    EXPECT_EQ(err, ENOTTY);
    EXPECT_EQ(ToHex(host.Commands(0)[0].cdb), "120000002400");
}

namespace {

// Runs zevsim from this process (which carries the preloads; zevsim sheds them itself); its exit
// status, -1 when it did not exit within 20 s.
int RunZevsim(const std::vector<std::string>& args, const std::string& out = "", const std::string& err = "/dev/null")
{
    zevtest::ChildProcess launch;
    launch.argv = {ZEVSIM_PATH};
    launch.argv.insert(launch.argv.end(), args.begin(), args.end());
    launch.stdoutPath = out;
    launch.stderrPath = err;
    const int status = zevtest::runProcess(launch, 20000).status;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(Zevsim, RunsTheCommandInsideAndWritesTheReport)
{
    const TempDir tmp;
    const std::string report = tmp.file("report.json");
    const int rc = RunZevsim({"run", ScenarioPath("two-aacraid.json"), "--report", report, "--", "/bin/sh", "-c",
                              "test -c /dev/aac1 && test -c /dev/sg1 && test ! -e /dev/aac0 && "
                              "grep -q hpsa /sys/class/scsi_host/host1/proc_name && exit 7"});
    EXPECT_EQ(rc, 7);
    std::ifstream in(report);
    ASSERT_TRUE(in.good());
    nlohmann::json j = nlohmann::json::parse(in);
    ASSERT_EQ(j["controllers"].size(), 3u);
    EXPECT_EQ(j["controllers"][0]["node"], "/dev/aac0");
    EXPECT_TRUE(j["controllers"][1]["commands"].empty());
}

TEST(Zevsim, BadUseAndBadScenarios)
{
    EXPECT_EQ(RunZevsim({"run"}), 2);
    EXPECT_EQ(RunZevsim({"run", ScenarioPath("one-hpsa.json"), "--bogus", "--", "true"}), 2);
    EXPECT_EQ(RunZevsim({"run", "/nonexistent.json", "--", "true"}), 125);
    EXPECT_EQ(RunZevsim({"run", ScenarioPath("one-hpsa.json"), "--", "/nonexistent/cmd"}), 127);
    EXPECT_EQ(RunZevsim({"check", ScenarioPath("all-drivers.json")}), 0);
    EXPECT_EQ(RunZevsim({"run", ScenarioPath("one-hpsa.json"), "--", "/bin/sh", "-c", "kill -TERM $$"}), 128 + 15);
}

// Each request a driver's own checks refuse: the kernel's errno, and the rule named in the report.
TEST(EmuHost, DriverChecksRefuseWithTheKernelsErrno)
{
    struct Row {
        const char* what;
        const char* scenario;
        std::function<int(int*)> send;  // returns the ioctl's result, errno in the argument
        int err;
        const char* rule;
    };
    uint8_t buf[128];
    std::vector<uint8_t> chunk(70000, 0);
    auto passthru = [&](const std::string& node, uint8_t cdbLen, uint16_t len, int type = 0) {
        return [=, &buf](int* err) {
            IOCTL_Command_struct c = PassthruRequest(kIdentifyCdb, XFER_READ, buf, len);
            c.Request.CDBLen = cdbLen;
            c.Request.Type.Type = static_cast<uint8_t>(type);
            return IoctlOn(node, CCISS_PASSTHRU, &c, err);
        };
    };
    auto big = [&](const std::string& node, uint32_t mallocSize, uint32_t length) {
        return [=, &chunk](int* err) {
            BIG_IOCTL_Command_struct b = BigIdentify(chunk.data(), length, mallocSize);
            return IoctlOn(node, CCISS_BIG_PASSTHRU, &b, err);
        };
    };
    auto srb = [&](std::function<void(Bytes&)> spoil) {
        return [=, &buf](int* err) {
            Bytes s = MakeSrb(3, 0, 0, 0x40, kIdentifyCdb, buf, sizeof(buf));
            spoil(s);
            return IoctlOn("/dev/aac0", 0x4204C, s.data(), err);
        };
    };
    auto sgio = [&](uint8_t cmdLen) {
        return [=, &buf](int* err) {
            uint8_t cdb[16] = {0x12, 0, 0, 0, 36, 0};
            sg_io_hdr_t h = SgIoRequest(cdb, cmdLen, SG_DXFER_FROM_DEV, buf, 36);
            return IoctlOn("/dev/sg0", SG_IO, &h, err);
        };
    };
    const char* hpsa = R"({"controllers": [{"driver": "hpsa"}]})";
    const char* pqi = R"({"controllers": [{"driver": "smartpqi"}]})";
    const char* aac = R"({"controllers": [{"driver": "aacraid"}]})";
    const Row rows[] = {
        {"hpsa: data phase without a buffer", hpsa, passthru("/dev/sg0", 10, 0), EINVAL,
         "hpsa_passthru_ioctl: data phase without a buffer"},
        {"hpsa: CDB of 17 bytes", hpsa, passthru("/dev/sg0", 17, 16), EINVAL,
         "hpsa_passthru_ioctl: CDB longer than 16 bytes"},
        {"hpsa: big piece above 128,000", hpsa, big("/dev/sg0", 128001, 70000), EINVAL,
         "hpsa_big_passthru_ioctl: malloc_size above 128000"},
        {"hpsa: big buffer above 32 pieces", hpsa, big("/dev/sg0", 2048, 70000), EINVAL,
         "hpsa_big_passthru_ioctl: buffer larger than 32 pieces of malloc_size"},
        {"hpsa: unprivileged", R"({"privileged": false, "controllers": [{"driver": "hpsa"}]})",
         passthru("/dev/sg0", 10, 16), EPERM, "hpsa_passthru_ioctl: caller lacks CAP_SYS_RAWIO"},
        {"smartpqi: no big request", pqi, big("/dev/sg0", 5120, 70000), EINVAL, "pqi_ioctl: unknown request"},
        {"smartpqi: not TYPE_CMD", pqi, passthru("/dev/sg0", 10, 16, 1), EINVAL,
         "pqi_passthru_ioctl: request type is not TYPE_CMD"},
        {"smartpqi: unprivileged", R"({"privileged": false, "controllers": [{"driver": "smartpqi"}]})",
         passthru("/dev/sg0", 10, 16), EPERM, "pqi_passthru_ioctl: caller lacks CAP_SYS_RAWIO"},
        {"sg: CDB of 4 bytes", hpsa, sgio(4), EMSGSIZE, "sg_new_write: CDB length outside 6 to 16 bytes"},
        {"aacraid: CISS PCI information", aac,
         [](int* err) {
             cciss_pci_info_struct p{};
             return IoctlOn("/dev/aac0", CCISS_GETPCIINFO, &p, err);
         },
         ENOTTY, "aac_do_ioctl: unknown request"},
        {"aacraid: size word of neither layout", aac, srb([](Bytes& s) { PutLE32(s, 24, 72); }), EINVAL,
         "aac_send_raw_srb: SRB size is neither the 32- nor the 64-bit layout of its entries"},
        {"aacraid: scatter-gather without direction", aac, srb([](Bytes& s) { PutLE32(s, 20, 0); }), EINVAL,
         "aac_send_raw_srb: scatter-gather list without a data direction"},
        {"aacraid: entry above 64 KiB", aac, srb([&chunk](Bytes& s) {
             PutLE64(s, 56, reinterpret_cast<uintptr_t>(chunk.data()));
             PutLE32(s, 64, 65537);
         }),
         EINVAL, "aac_send_raw_srb: scatter-gather entry above 65536 bytes"},
        {"aacraid: unprivileged", R"({"privileged": false, "controllers": [{"driver": "aacraid"}]})",
         srb([](Bytes&) {}), EPERM, "aac_cfg_ioctl: caller lacks CAP_SYS_RAWIO"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        Host host(Scenario::FromText(r.scenario));
        int err = 0;
        EXPECT_EQ(r.send(&err), -1);
        EXPECT_EQ(err, r.err);
        const nlohmann::json report = host.Report();
        ASSERT_EQ(report.at("refusals").size(), 1u) << report.at("refusals").dump();
        EXPECT_EQ(report.at("refusals")[0].at("rule"), r.rule);
        EXPECT_EQ(report.at("refusals")[0].at("errno"), r.err);
    }
    // What the drivers accept is no refusal: a 64 KiB entry, and the regular request on smartpqi.
    Host host(Scenario::FromText(aac));
    int err = 0;
    Bytes ok = MakeSrb(3, 0, 0, 0x40, kIdentifyCdb, chunk.data(), 65536);
    EXPECT_EQ(IoctlOn("/dev/aac0", 0x4204C, ok.data(), &err), 0);
    EXPECT_TRUE(host.Report().at("refusals").empty());
}

// FSACTL_GET_PCI_INFO answers the adapter's bus and slot; adapter ids decide which node reaches which.
TEST(EmuHost, AacraidPciInformationAndAdapterIds)
{
    Host host(Scenario::FromText(R"({"controllers": [
      {"id": "a", "driver": "aacraid", "host": 0, "adapter_id": 1, "pci": {"address": "0000:05:03.0"}},
      {"id": "b", "driver": "aacraid", "host": 1, "adapter_id": 0, "pci": {"address": "0000:06:00.0"},
       "aac_pci_info": {"bus": 200, "slot": 17}}]})"));
    EXPECT_EQ(host.NodePath(0), "/dev/aac1");
    EXPECT_EQ(host.NodePath(1), "/dev/aac0");
    struct Row {
        const char* node;
        uint32_t bus, slot;
    } rows[] = {{"/dev/aac1", 5, 3}, {"/dev/aac0", 200, 17}};
    for (const Row& r : rows) {
        uint32_t info[2] = {0xFFFFFFFF, 0xFFFFFFFF};
        int err = 0;
        ASSERT_EQ(IoctlOn(r.node, 0x4211C, info, &err), 0) << r.node;
        EXPECT_EQ(info[0], r.bus) << r.node;
        EXPECT_EQ(info[1], r.slot) << r.node;
    }
    for (const char* bad : {R"({"driver": "aacraid", "adapter_id": 0}, {"driver": "aacraid", "adapter_id": 0})",
                            R"({"driver": "hpsa", "adapter_id": 0})",
                            R"({"driver": "hpsa", "faults": [{"busy_attempts": 2, "errno": 5}]})"})
        EXPECT_THROW(Scenario::FromText(std::string(R"({"controllers": [)") + bad + "]}"), std::runtime_error) << bad;
}

// The one dispatch: each request number reaches the path of the driver that knows it, or the driver's
// own answer to an unknown request. A null argument stops every path at its first read of the caller's
// memory, so the record shows which path took the request.
TEST(EmuHost, DispatchRoutesEachRequestByDriver)
{
    struct Route {
        unsigned long request;
        const char* ioctl;  // the path that answered
        int err;
    };
    struct Row {
        const char* scenario;
        const char* node;
        std::vector<Route> routes;
    };
    const Row rows[] = {
        {R"({"controllers": [{"driver": "hpsa"}]})",
         "/dev/sg0",
         {{CCISS_PASSTHRU, "passthru", EFAULT},
          {CCISS_BIG_PASSTHRU, "big_passthru", EFAULT},
          {CCISS_GETPCIINFO, "pci_info", EFAULT},
          {SG_IO, "sg_io", EFAULT},
          {0x42008, "unknown", ENOTTY},
          {0xCC770018, "unknown", ENOTTY}}},
        {R"({"controllers": [{"driver": "hpsa", "pci_info": false}]})",
         "/dev/sg0",
         {{CCISS_GETPCIINFO, "unknown", ENOTTY}}},
        {R"({"controllers": [{"driver": "hpsa", "csmi": true}]})", "/dev/sg0", {{0xCC770018, "csmi", EFAULT}}},
        {R"({"controllers": [{"driver": "smartpqi"}]})",
         "/dev/sg0",
         {{CCISS_PASSTHRU, "passthru", EFAULT}, {CCISS_BIG_PASSTHRU, "unknown", EINVAL}, {SG_IO, "sg_io", EFAULT}}},
        {R"({"controllers": [{"driver": "aacraid"}]})",
         "/dev/aac0",
         {{0x42008, "send_fib", EFAULT},
          {0x4204C, "raw_srb", EFAULT},
          {0x4211C, "aac_pci_info", EFAULT},
          {CCISS_PASSTHRU, "unknown", ENOTTY},
          {SG_IO, "unknown", ENOTTY},
          {CCISS_GETPCIINFO, "unknown", ENOTTY}}},
        {R"({"controllers": [{"driver": "aacraid", "pci_info": true}]})",
         "/dev/aac0",
         {{CCISS_GETPCIINFO, "pci_info", EFAULT}}},
    };
    for (const Row& r : rows) {
        Host host(Scenario::FromText(r.scenario));
        for (const Route& route : r.routes) {
            SCOPED_TRACE(std::string(r.scenario) + " request " + std::to_string(route.request));
            host.ClearCommands();
            int err = 0;
            EXPECT_EQ(IoctlOn(r.node, route.request, nullptr, &err), -1);
            EXPECT_EQ(err, route.err);
            const std::vector<CommandRecord> commands = host.Commands(0);
            ASSERT_EQ(commands.size(), 1u);
            EXPECT_EQ(commands[0].ioctl, route.ioctl);
            EXPECT_EQ(commands[0].node, r.node);
            EXPECT_EQ(commands[0].request, route.request);
        }
    }
    // The reset takes its argument by value: no memory to read, so it completes.
    Host host(Scenario::FromText(rows[4].scenario));
    int err = 0;
    EXPECT_EQ(IoctlOn("/dev/aac0", 0x42170, nullptr, &err), 0);
    ASSERT_EQ(host.Commands(0).size(), 1u);
    EXPECT_EQ(host.Commands(0)[0].ioctl, "reset");
}

// The driver listens on a disk node only once a process has opened it; every node still answers as its
// own device, the same after any number of opens.
TEST(EmuHost, DiskNodesAreAttachedWhenFirstOpened)
{
    Host host(Scenario::FromText(
        R"({"controllers": [{"driver": "hpsa", "disks": [{"address": "0:1:0"}, {"address": "0:2:0"},
          {"address": "0:3:0", "node": false}]}]})"));
    const auto listening = [&](const std::string& node) {
        struct stat st;
        return stat((host.root() + "/ioctl" + node).c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
    };
    struct Row {
        const char* node;
        bool before;  // listened on before any open
        int open_err;
        const char* target;  // SG_IO answered as
    };
    const Row rows[] = {
        {"/dev/sg0", true, 0, "controller"},
        {"/dev/sg1", false, 0, "disk0"},
        {"/dev/sg2", false, 0, "disk1"},
        {"/dev/sg3", false, ENOENT, nullptr},  // no node: nothing to open or attach
    };
    for (const Row& r : rows) EXPECT_EQ(listening(r.node), r.before) << r.node;
    for (int round = 0; round < 2; ++round) {
        for (const Row& r : rows) {
            SCOPED_TRACE(std::string(r.node) + " round " + std::to_string(round));
            uint8_t cdb[6] = {0x00, 0, 0, 0, 0, 0};  // TEST UNIT READY
            sg_io_hdr_t h = SgIoRequest(cdb, 6, SG_DXFER_NONE);
            int err = 0;
            const int rc = IoctlOn(r.node, SG_IO, &h, &err);
            if (r.open_err) {
                EXPECT_EQ(rc, -2);
                EXPECT_EQ(err, r.open_err);
                EXPECT_FALSE(listening(r.node));
                continue;
            }
            ASSERT_EQ(rc, 0) << std::strerror(err);
            EXPECT_TRUE(listening(r.node));
            EXPECT_EQ(host.Commands(0).back().node, r.node);
            EXPECT_EQ(host.Commands(0).back().target, r.target);
        }
    }
    EXPECT_EQ(host.Commands(0).size(), 6u);
}

// ---- a recorded host, replayed ---------------------------------------------------------------------

namespace {

const Bytes kReadFourCdb{0x26, 0, 0, 0, 0, 0, 0x11, 0, 4, 0};
const Bytes kInquiryCdb{0x12, 0, 0, 0, 4, 0};

// The request bytes as a recording holds them: the buffer pointer zeroed.
Bytes PassthruArg(const Bytes& cdb, uint16_t len, uint16_t command_status = 0)
{
    IOCTL_Command_struct cmd = PassthruRequest(cdb, XFER_READ, nullptr, len);
    cmd.error_info.CommandStatus = command_status;
    const auto* p = reinterpret_cast<const uint8_t*>(&cmd);
    return Bytes(p, p + sizeof cmd);
}

nlohmann::json PassthruEntry(const Bytes& cdb, const std::string& data_after, uint16_t status_after, int result,
                             int err)
{
    return {{"node", "/dev/sg1"},
            {"request", CCISS_PASSTHRU},
            {"arg",
             {{"length", sizeof(IOCTL_Command_struct)},
              {"before", ToHex(PassthruArg(cdb, 4))},
              {"after", ToHex(PassthruArg(cdb, 4, status_after))}}},
            {"pointers",
             {{{"offset", offsetof(IOCTL_Command_struct, buf)},
               {"width", 8},
               {"length", 4},
               {"before", "00000000"},
               {"after", data_after}}}},
            {"result", result},
            {"errno", err}};
}

// One controller node answering two reads, its PCI information and a refused inquiry; a second node
// that was opened but asked nothing; the sysfs it was found by.
Recording SmallRecording()
{
    nlohmann::json j = {
        {"zevsim_recording", 1},
        {"command", {"zevupdate", "-i"}},
        {"redacted", false},
        {"files",
         {{{"path", "/sys/devices/pci0000:00/0000:00:04.0/0000:03:00.0/host2/sg1/dev"}, {"hex", "32313a310a"}},
          {{"path", "/proc/devices"}, {"hex", "32312073670a"}}}},
        {"links",
         {{{"path", "/sys/class/scsi_generic/sg1"},
           {"target", "../../devices/pci0000:00/0000:00:04.0/0000:03:00.0/host2/sg1"}}}},
        {"dirs",
         {{{"path", "/sys/class/scsi_generic"},
           {"entries", {{{"name", "sg1"}, {"type", "link"}}, {{"name", "version"}, {"type", "file"}}}}}}},
        {"nodes",
         {{{"path", "/dev/sg1"}, {"major", 21}, {"minor", 1}}, {{"path", "/dev/sg2"}, {"major", 21}, {"minor", 2}}}},
        {"ioctls",
         {PassthruEntry(kReadFourCdb, "11111111", 2, 0, 0),
          {{"node", "/dev/sg1"},
           {"request", CCISS_GETPCIINFO},
           {"arg", {{"length", 8}, {"before", "0000000000000000"}, {"after", "0320000011223344"}}},
           {"pointers", nlohmann::json::array()},
           {"result", 0},
           {"errno", 0}},
          PassthruEntry(kReadFourCdb, "22222222", 0, 0, 0),
          PassthruEntry(kInquiryCdb, "00000000", 0, -1, EBUSY)}}};
    return Recording::FromJson(j);
}

}  // namespace

TEST(EmuReplay, TheTreeIsTheRecordedOne)
{
    Host host(SmallRecording(), "small.json");
    struct stat st;
    ASSERT_EQ(stat("/dev/sg1", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(major(st.st_rdev), 21u);
    EXPECT_EQ(minor(st.st_rdev), 1u);
    struct Row {
        const char* path;
        const char* content;  // nullptr: only exists
    };
    const Row rows[] = {
        {"/sys/class/scsi_generic/sg1/dev", "21:1\n"},
        {"/proc/devices", "21 sg\n"},
        {"/sys/class/scsi_generic/version", ""},  // listed, never read: empty
        {"/dev/sg2", nullptr},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.path);
        EXPECT_EQ(access(r.path, F_OK), 0);
        if (r.content) {
            EXPECT_EQ(zevtest::readFile(r.path), r.content);
        }
    }
    EXPECT_EQ(Real("/sys/class/scsi_generic/sg1"), "/sys/devices/pci0000:00/0000:00:04.0/0000:03:00.0/host2/sg1");
}

// Each row: a run of requests against the recording above, what each got, and the report's counts.
TEST(EmuReplay, AnswersOnlyWhatWasRecordedInOrderPerNode)
{
    enum What { kRead4, kRead8, kReadPrefilled, kInquiry, kPciInfo };
    struct Step {
        What what;
        const char* node;
        int rc;
        int err;
        const char* data;  // the buffer after the call (hex); PCI information for kPciInfo
        uint16_t command_status;
    };
    struct Row {
        const char* name;
        std::vector<Step> steps;
        size_t served, unmatched, unused;  // every unmatched request is the first passthrough's again
    };
    const Row rows[] = {
        {"in the recorded order",
         {{kRead4, "/dev/sg1", 0, 0, "11111111", 2},
          {kPciInfo, "/dev/sg1", 0, 0, "0320000011223344", 0},
          {kRead4, "/dev/sg1", 0, 0, "22222222", 0},
          {kInquiry, "/dev/sg1", -1, EBUSY, "00000000", 0}},
         4,
         0,
         0},
        {"out of order: the first unused match",
         {{kPciInfo, "/dev/sg1", 0, 0, "0320000011223344", 0},
          {kInquiry, "/dev/sg1", -1, EBUSY, "00000000", 0},
          {kRead4, "/dev/sg1", 0, 0, "11111111", 2},
          {kRead4, "/dev/sg1", 0, 0, "22222222", 0}},
         4,
         0,
         0},
        {"asked once more than recorded",
         {{kRead4, "/dev/sg1", 0, 0, "11111111", 2},
          {kRead4, "/dev/sg1", 0, 0, "22222222", 0},
          {kRead4, "/dev/sg1", -1, EIO, "00000000", 0}},
         2,
         1,
         2},
        {"other bytes in the buffer sent", {{kReadPrefilled, "/dev/sg1", -1, EIO, "ffffffff", 0}}, 0, 1, 4},
        {"another buffer length", {{kRead8, "/dev/sg1", -1, EIO, "0000000000000000", 0}}, 0, 1, 4},
        {"a node asked nothing in the recording", {{kRead4, "/dev/sg2", -1, EIO, "00000000", 0}}, 0, 1, 4},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Host host(SmallRecording(), "small.json");
        for (size_t i = 0; i < row.steps.size(); ++i) {
            const Step& s = row.steps[i];
            SCOPED_TRACE("step " + std::to_string(i));
            if (s.what == kPciInfo) {
                cciss_pci_info_struct info{};
                int err = 0;
                EXPECT_EQ(IoctlOn(s.node, CCISS_GETPCIINFO, &info, &err), s.rc);
                EXPECT_EQ(err, s.err);
                Bytes got(8);
                PutU8(got, 0, info.bus);
                PutU8(got, 1, info.dev_fn);
                PutLE16(got, 2, info.domain);
                PutLE32(got, 4, info.board_id);
                EXPECT_EQ(ToHex(got), s.data);
                continue;
            }
            Bytes buf(s.what == kRead8 ? 8 : 4, s.what == kReadPrefilled ? 0xff : 0);
            const PassthruResult r = Passthru(s.node, s.what == kInquiry ? kInquiryCdb : kReadFourCdb, XFER_READ,
                                              buf.data(), static_cast<uint16_t>(buf.size()));
            EXPECT_EQ(r.rc, s.rc);
            EXPECT_EQ(r.err, s.err);
            EXPECT_EQ(ToHex(buf), s.data);
            EXPECT_EQ(r.cmd.error_info.CommandStatus, s.command_status);
            EXPECT_EQ(r.cmd.buf, buf.data());  // the caller's pointer is left as it was
        }
        const nlohmann::json report = host.Report();
        EXPECT_EQ(report["recording"], "small.json");
        EXPECT_EQ(report["served"], row.served);
        EXPECT_EQ(report["requests"], row.served + row.unmatched);
        ASSERT_EQ(report["unmatched"].size(), row.unmatched);
        EXPECT_EQ(report["unused"].size(), row.unused);
        if (row.unmatched) {
            EXPECT_EQ(report["unmatched"][0]["description"], "cdb 26000000000011000400");
            EXPECT_EQ(report["unmatched"][0]["request"], CCISS_PASSTHRU);
        }
        EXPECT_NE(host.ReplaySummary().find(std::to_string(row.served) + " request(s) served, " +
                                            std::to_string(row.unmatched) + " unmatched"),
                  std::string::npos)
            << host.ReplaySummary();
    }
}

// zevsim check on damaged recordings: one clear line, status 2, never a crash.
TEST(Zevsim, CheckTellsTheFaultOfABadRecording)
{
    const std::string good = SmallRecording().ToJson().dump();
    const auto edited = [&](const char* pointer, const char* value) {
        nlohmann::json j = nlohmann::json::parse(good);
        j[nlohmann::json::json_pointer(pointer)] = nlohmann::json::parse(value);
        return j.dump();
    };
    std::string corrupted = edited("/files/0/hex", "\"32313a31zz\"");
    struct Row {
        const char* name;
        std::string text;
        int status;
        const char* out;  // expected in the output (standard output for 0, else standard error)
    };
    const Row rows[] = {
        {"good", good, 0, "recording of 2 node(s), 4 ioctl(s)"},
        {"truncated", good.substr(0, good.size() * 2 / 3), 2, "ends early at byte"},
        {"corrupted hex", corrupted, 2, "files[0].hex: not hex at character 8"},
        {"unknown key", edited("/nodes/0/mode", "\"0600\""), 2, "nodes[0]: unknown key \"mode\""},
        {"version 2", edited("/zevsim_recording", "2"), 2, "version 2 is not supported"},
        {"pointer past its arg", edited("/ioctls/0/pointers/0/offset", "84"), 2, "runs past the arg"},
        {"path outside /sys", edited("/files/0/path", "\"/etc/shadow\""), 2, "\"/etc/shadow\" is outside"},
    };
    const TempDir tmp;
    const std::string& dir = tmp.path();
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const std::string file = dir + "/rec.json";
        zevtest::writeFile(file, r.text);
        EXPECT_EQ(RunZevsim({"check", file}, dir + "/out", dir + "/err"), r.status);
        const std::string out = zevtest::readFile(r.status == 0 ? dir + "/out" : dir + "/err");
        EXPECT_NE(out.find(r.out), std::string::npos) << out;
        EXPECT_EQ(zevtest::countOf(out, "\n"), 1) << out;
    }
}

// A request longer in the recording than the caller's own: only the part the driver reads first is
// taken from the caller before it is compared, so a caller whose memory ends right after its request
// gets EIO, not an abort.
TEST(EmuReplay, ReadsNoFurtherThanTheCallerProvedToHold)
{
    struct Row {
        const char* name;
        unsigned long request;
        size_t caller_length;    // the caller's request, ending at an unreadable page
        size_t length_at;        // where the request carries its own length (LE16 FIB size, LE32 SRB count)
        uint32_t caller_says;    // that length in the caller's request
        size_t recorded_length;  // the recorded entry's argument
        uint32_t recorded_says;
    };
    const Row rows[] = {
        {"FIB", 0x42008, 64, 8, 32, 256, 224},
        {"raw SRB", 0x4204C, 56 + 52, 24, 56, 68 + 52, 68},
    };
    const long page = sysconf(_SC_PAGESIZE);
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const auto withLength = [&r](size_t size, uint32_t says) {
            Bytes b(size, 0);
            if (r.request == 0x42008)
                PutLE16(b, r.length_at, static_cast<uint16_t>(says));
            else
                PutLE32(b, r.length_at, says);
            return b;
        };
        // The recording above with its host replaced: one aacraid node, one recorded request.
        const Bytes recorded = withLength(r.recorded_length, r.recorded_says);
        nlohmann::json j = SmallRecording().ToJson();
        j["files"] = j["links"] = j["dirs"] = nlohmann::json::array();
        j["nodes"] = {{{"path", "/dev/aac0"}, {"major", 250}, {"minor", 0}}};
        j["ioctls"] = {
            {{"node", "/dev/aac0"},
             {"request", r.request},
             {"arg", {{"length", r.recorded_length}, {"before", ToHex(recorded)}, {"after", ToHex(recorded)}}},
             {"pointers", nlohmann::json::array()},
             {"result", 0},
             {"errno", 0}}};
        Host host(Recording::FromJson(j), "guarded.json");
        auto* map =
            static_cast<uint8_t*>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        ASSERT_NE(map, MAP_FAILED);
        ASSERT_EQ(mprotect(map + page, page, PROT_NONE), 0);
        uint8_t* request = map + page - r.caller_length;
        std::memset(request, 0, r.caller_length);
        const Bytes head = withLength(r.length_at + 4, r.caller_says);
        std::memcpy(request, head.data(), head.size());
        int err = 0;
        EXPECT_EQ(IoctlOn("/dev/aac0", r.request, request, &err), -1);
        EXPECT_EQ(err, EIO);
        EXPECT_EQ(host.Report()["unmatched"].size(), 1u);
        munmap(map, 2 * page);
    }
}
