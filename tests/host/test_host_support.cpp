// Hypervisor detection, the usb_storage load/unload cycle and the BRIX library operations of the
// platform layer. lsmod, modprobe and rmmod are stand-in scripts on PATH, the install script and the
// library are stand-ins built beside this executable, and the fixed host paths are redirected into
// a temporary folder, so nothing on the machine changes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "CLinuxImpl.h"
#include "CPlatformLayer.h"
#include "TempDir.h"
#include "TestProgramLog.h"
#include "host_seams.h"

namespace {

void writeText(const std::string& path, const std::string& text, bool executable = false)
{
    writeFile(path, text);
    if (executable) ::chmod(path.c_str(), 0755);
}

class HostSupport : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_log = zevtest::LogMark();
        ASSERT_TRUE(CLogger::GetInstance()->m_bInitialized);

        host_seams::reset();
        host_seams::setRoot(m_dir.file("root"));
        ::mkdir(m_dir.file("root").c_str(), 0755);
        ::mkdir(m_dir.file("bin").c_str(), 0755);
        ::mkdir(m_dir.file("state").c_str(), 0755);
        writeStubs();
        for (const char* f : {"state/usb_loaded", "state/rmmod_count", "commands.log"})
            std::remove(m_dir.file(f).c_str());
        m_oldPath = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
        ::setenv("PATH", (m_dir.file("bin") + ":" + m_oldPath).c_str(), 1);
        ::setenv("ZEV_HOST_LOG", commandLogPath().c_str(), 1);
        ::setenv("ZEV_HOST_STATE", m_dir.file("state").c_str(), 1);
        ::setenv("ZEV_FAKE_ROOT", m_dir.file("root").c_str(), 1);
        ::setenv("ZEV_BRIX_STANDIN", ZEV_BRIX_STANDIN, 1);
        for (const char* v : {"ZEV_MODPROBE", "ZEV_RMMOD_FAILS", "ZEV_INSTALL_STATUS"}) ::unsetenv(v);

        CLinuxImpl::nBRIXInstallRefCount = 0;
        CLinuxImpl::bBRIXAlreadyInstalled = false;
        CLinuxImpl::bUSBDriverNotLoaded = false;
        CLinuxImpl::bUSBDriverLoadedByZEP = false;
        CLinuxImpl::bUSBBlacklistCheckDone = false;
    }

    void TearDown() override
    {
        ::setenv("PATH", m_oldPath.c_str(), 1);
        host_seams::reset();
    }

    // lsmod lists usb_storage while state/usb_loaded exists; modprobe loads it (ZEV_MODPROBE=fail:
    // exit 1, =noload: exit 0 without loading); rmmod fails ZEV_RMMOD_FAILS times, then unloads.
    void writeStubs()
    {
        const std::string pre = "#!/bin/sh\necho \"$(basename \"$0\") $*\" >> \"$ZEV_HOST_LOG\"\n";
        writeText(m_dir.file("bin/lsmod"),
                  pre +
                      "echo 'Module Size Used by'\n[ -e \"$ZEV_HOST_STATE/usb_loaded\" ] && "
                      "echo 'usb_storage 81920 0'\nexit 0\n",
                  true);
        writeText(m_dir.file("bin/modprobe"),
                  pre +
                      "case \"$ZEV_MODPROBE\" in fail) exit 1 ;; noload) exit 0 ;; esac\n"
                      "touch \"$ZEV_HOST_STATE/usb_loaded\"\n",
                  true);
        writeText(m_dir.file("bin/rmmod"),
                  pre +
                      "n=$(cat \"$ZEV_HOST_STATE/rmmod_count\" 2>/dev/null || echo 0)\n"
                      "echo $((n + 1)) > \"$ZEV_HOST_STATE/rmmod_count\"\n"
                      "[ \"$n\" -lt \"${ZEV_RMMOD_FAILS:-0}\" ] && exit 1\n"
                      "rm -f \"$ZEV_HOST_STATE/usb_loaded\"\n",
                  true);
    }

    std::string commandLogPath() const { return m_dir.file("commands.log"); }
    std::vector<std::string> commands() const { return zevtest::splitLines(readFile(commandLogPath())); }
    void setModuleLoaded() { writeText(m_dir.file("state/usb_loaded"), ""); }
    bool moduleLoaded() const { return ::access(m_dir.file("state/usb_loaded").c_str(), F_OK) == 0; }

    // The platform layer's log messages since the test started (the text after the line prefix).
    std::vector<std::string> logMessages() const { return m_log.messages("LinuxImpl.cpp"); }
    bool logged(const std::string& message) const
    {
        const std::vector<std::string> all = logMessages();
        return std::find(all.begin(), all.end(), message) != all.end();
    }

    std::string privateLibrary(const std::string& folder, const std::string& name)
    {
        std::string dir = m_dir.file("root") + folder;
        std::string cmd = "mkdir -p '" + dir + "' && cp '" + ZEV_BRIX_STANDIN + "' '" + dir + name + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
        return dir + name;
    }

    // The library as a systems-management install puts it: in a folder on the library path.
    void libraryOnLibraryPath(const std::string& name)
    {
        const std::string veld = m_dir.file("veld");
        ::mkdir(veld.c_str(), 0755);
        ASSERT_EQ(std::system(("cp '" + std::string(ZEV_BRIX_STANDIN) + "' '" + veld + "/" + name + "'").c_str()), 0);
        host_seams::setLibraryPath(veld);
    }

    void forgetCommands() { std::remove(commandLogPath().c_str()); }

    CLinuxImpl m_impl;
    TempDir m_dir;
    std::string m_oldPath;
    zevtest::LogMark m_log;
};

// ---- Hypervisor detection ----

TEST_F(HostSupport, ESXReleaseFileFirstLine)
{
    struct Case {
        const char* content;  // nullptr: no release file
        bool esx;
        const char* line;  // expected log line, nullptr: none
    };
    const Case cases[] = {
        {nullptr, false, nullptr},
        {"VMware ESX Server 3 (Dali)\n", true, "getLinuxOSVer: ESX 3 Found"},
        {"vmware ESX 4.1 (Kandinsky) Update 2\nsecond line\n", true, "getLinuxOSVer: ESX 4 Found"},
        {"VMWARE ESX 4.0 build-123\n", true, "getLinuxOSVer: ESX 4 Found"},
        {"VMware ESXi 5.0\n", false, "getLinuxOSVer: Unrecognized VMWare Found"},
        {"\nVMware ESX 4.1\n", false, "getLinuxOSVer: Unrecognized VMWare Found"},  // only the first line counts
        {"", false, "getLinuxOSVer: Unrecognized VMWare Found"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content ? c.content : "(no file)");
        std::size_t before = logMessages().size();
        if (c.content != nullptr) {
            writeText(m_dir.file("vmware-release"), c.content);
            host_seams::setReleaseFile(m_dir.file("vmware-release"));
        } else {
            host_seams::setReleaseFile("");
        }
        EXPECT_EQ(m_impl.isESXSystem(), c.esx);
        std::vector<std::string> all = logMessages();
        std::vector<std::string> added(all.begin() + static_cast<long>(before), all.end());
        if (c.line == nullptr) {
            EXPECT_TRUE(added.empty());
        } else {
            ASSERT_EQ(added.size(), 1u);
            EXPECT_EQ(added[0], c.line);
        }
    }
}

TEST_F(HostSupport, ESXiBySystemNameInAnyCase)
{
    const std::pair<const char*, bool> cases[] = {
        {"VMkernel", true}, {"vmkernel", true}, {"VMKERNEL", true}, {"Linux", false}, {"VMkernel2", false}};
    for (const auto& c : cases) {
        host_seams::setSystemName(c.first);
        EXPECT_EQ(m_impl.isESXiSystem(), c.second) << c.first;
    }
}

// ---- usb_storage module ----

TEST_F(HostSupport, USBCheckOutcomes)
{
    struct Case {
        const char* name;
        bool loaded;           // module present before the check
        const char* modprobe;  // ZEV_MODPROBE
        bool blacklisted;
        bool loadedByUs;
        std::vector<std::string> commands;
        const char* line;
    };
    using Commands = std::vector<std::string>;
    const Case cases[] = {
        {"present", true, "", false, false, Commands{"lsmod "},
         "CLinuxImpl::isUSBblacklisted usb_storage module is already present."},
        {"loaded", false, "", false, true, Commands{"lsmod ", "modprobe usb_storage", "lsmod "},
         "CLinuxImpl::isUSBblacklisted loading usb_storage module is successful."},
        {"modprobe fails", false, "fail", true, false, Commands{"lsmod ", "modprobe usb_storage"},
         "CLinuxImpl::isUSBblacklisted usb_storage module is not loaded. Attempt to load it was unsuccessful."},
        {"still absent", false, "noload", true, false, Commands{"lsmod ", "modprobe usb_storage", "lsmod "},
         "CLinuxImpl::isUSBblacklisted usb_storage module is not loaded. Attempt to load it was unsuccessful."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        if (c.loaded) setModuleLoaded();
        ::setenv("ZEV_MODPROBE", c.modprobe, 1);
        EXPECT_EQ(m_impl.isUSBblacklisted(), c.blacklisted);
        EXPECT_EQ(commands(), c.commands);
        EXPECT_EQ(CLinuxImpl::bUSBDriverLoadedByZEP, c.loadedByUs);
        EXPECT_EQ(CLinuxImpl::bUSBDriverNotLoaded, c.blacklisted);
        EXPECT_TRUE(CLinuxImpl::bUSBBlacklistCheckDone);
        std::vector<std::string> log = logMessages();
        ASSERT_GE(log.size(), 4u);
        EXPECT_EQ(log.front(), " CLinuxImpl::isUSBblacklisted Start");
        EXPECT_EQ(log[1], " CLinuxImpl::isUSBblacklisted check is being done for the first time.");
        EXPECT_EQ(log[log.size() - 2], c.line);
        EXPECT_EQ(log.back(), " CLinuxImpl::isUSBblacklisted End");

        // A second check runs nothing and repeats the answer.
        forgetCommands();
        EXPECT_EQ(m_impl.isUSBblacklisted(), c.blacklisted);
        EXPECT_TRUE(commands().empty());
        EXPECT_TRUE(logged(" CLinuxImpl::isUSBblacklisted check has already been performed earlier."));
        TearDown();
        m_log = zevtest::LogMark();
    }
}

TEST_F(HostSupport, USBCheckSkippedOnHypervisors)
{
    host_seams::setSystemName("VMkernel");
    EXPECT_FALSE(m_impl.isUSBblacklisted());
    host_seams::setSystemName("");
    writeText(m_dir.file("vmware-release"), "VMware ESX 4.1\n");
    host_seams::setReleaseFile(m_dir.file("vmware-release"));
    EXPECT_FALSE(m_impl.isUSBblacklisted());
    EXPECT_TRUE(commands().empty());
    EXPECT_FALSE(CLinuxImpl::bUSBBlacklistCheckDone);
    EXPECT_TRUE(logged(" CLinuxImpl::Skipping USB blacklisting check for ESXi and ESX"));
}

TEST_F(HostSupport, UnloadOnlyWhatWeLoaded)
{
    setModuleLoaded();
    EXPECT_FALSE(m_impl.isUSBblacklisted());
    forgetCommands();
    m_impl.unloadUSB();
    EXPECT_TRUE(commands().empty());
    EXPECT_TRUE(moduleLoaded());
    EXPECT_TRUE(logged(" CLinuxImpl::unloadUSB is not required."));
    EXPECT_FALSE(CLinuxImpl::bUSBBlacklistCheckDone);

    // After the reset the check runs again.
    EXPECT_FALSE(m_impl.isUSBblacklisted());
    EXPECT_EQ(commands(), std::vector<std::string>{"lsmod "});
}

TEST_F(HostSupport, UnloadRetriesUntilRmmodSucceeds)
{
    EXPECT_FALSE(m_impl.isUSBblacklisted());
    ASSERT_TRUE(CLinuxImpl::bUSBDriverLoadedByZEP);
    ASSERT_TRUE(moduleLoaded());
    forgetCommands();
    ::setenv("ZEV_RMMOD_FAILS", "2", 1);
    m_impl.unloadUSB();
    EXPECT_EQ(commands(), (std::vector<std::string>(3, "rmmod usb_storage")));
    EXPECT_EQ(host_seams::sleeps(), 2u);
    EXPECT_FALSE(moduleLoaded());
    const std::vector<std::string> log = logMessages();
    ASSERT_GE(log.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(log.end() - 6, log.end()),
              (std::vector<std::string>{
                  " CLinuxImpl::unloadUSB Start", " CLinuxImpl::unloadUSB usb module need be unloaded",
                  "CLinuxImpl::unloadUSB unloading usb module is not successful.",
                  "CLinuxImpl::unloadUSB unloading usb module is not successful.",
                  "CLinuxImpl::unloadUSB unloading usb module is successful.", " CLinuxImpl::unloadUSB End"}));
    EXPECT_FALSE(CLinuxImpl::bUSBDriverLoadedByZEP);
    EXPECT_FALSE(CLinuxImpl::bUSBBlacklistCheckDone);
}

TEST_F(HostSupport, UnloadGivesUpAfter59Attempts)
{
    EXPECT_FALSE(m_impl.isUSBblacklisted());
    forgetCommands();
    ::setenv("ZEV_RMMOD_FAILS", "1000", 1);
    m_impl.unloadUSB();
    EXPECT_EQ(commands().size(), 59u);
    EXPECT_EQ(host_seams::sleeps(), 59u);
    EXPECT_TRUE(moduleLoaded());
    EXPECT_FALSE(CLinuxImpl::bUSBDriverLoadedByZEP);
}

// ---- BRIX library ----

TEST_F(HostSupport, InstallAndUninstallArePairedByCount)
{
    EXPECT_FALSE(m_impl.isBRIXInstalled());
    EXPECT_EQ(m_impl.InstallBrix(), 0);
    EXPECT_EQ(commands(), std::vector<std::string>{"install-script install"});
    EXPECT_TRUE(logged("InstallBrix: Custom Brix Not Already Present"));
    EXPECT_TRUE(
        logged("Executimg command: " + CPlatformLayer::getCurrentProcessDirectory() + "/zepmarlowinstall.sh install"));
    EXPECT_TRUE(logged("InstallBrix: Custome Brix Installed Successfully"));
    EXPECT_TRUE(m_impl.isBRIXInstalled());
    EXPECT_TRUE(logged("Load library using /opt/vorn/zep64/lib/libkestrm.so"));
    EXPECT_TRUE(logged("BRIX is installed in the system"));

    EXPECT_EQ(m_impl.InstallBrix(), 0);  // second install: nothing runs
    EXPECT_EQ(CLinuxImpl::nBRIXInstallRefCount, 2);
    EXPECT_FALSE(m_impl.UninstallBrix());  // count 2 -> 1: nothing runs
    EXPECT_EQ(commands().size(), 1u);
    EXPECT_TRUE(m_impl.UninstallBrix());  // last one runs the script, which succeeds
    EXPECT_EQ(commands(), (std::vector<std::string>{"install-script install", "install-script uninstall"}));
    EXPECT_FALSE(m_impl.isBRIXInstalled());
    EXPECT_TRUE(logged("UninstallBrix: Brix Uninstalled Successfully"));
}

TEST_F(HostSupport, LibraryPresentBeforeInstallIsNeverRemoved)
{
    privateLibrary("/opt/vorn/zep64/lib/", "libkestrm64.so");  // the 64-bit name alone counts too
    EXPECT_EQ(m_impl.InstallBrix(), 0);
    EXPECT_TRUE(CLinuxImpl::bBRIXAlreadyInstalled);
    EXPECT_FALSE(m_impl.UninstallBrix());
    EXPECT_TRUE(commands().empty());
    EXPECT_EQ(CLinuxImpl::nBRIXInstallRefCount, 0);
}

TEST_F(HostSupport, FailingInstallScriptFallsBackToVELD)
{
    ::setenv("ZEV_INSTALL_STATUS", "4", 1);
    EXPECT_EQ(m_impl.InstallBrix(), 1);
    EXPECT_TRUE(logged("InstallBrix: Brix Installation Failed"));
    EXPECT_TRUE(logged("InstallBrix: VELD Brix Not Present"));
    EXPECT_FALSE(m_impl.isBRIXInstalled());

    // With a systems-management copy on the library path the install counts as done.
    CLinuxImpl::nBRIXInstallRefCount = 0;
    ASSERT_NO_FATAL_FAILURE(libraryOnLibraryPath("libkestrm64.so"));
    EXPECT_TRUE(m_impl.isVELDBRIXInstalled());
    EXPECT_EQ(m_impl.InstallBrix(), 0);
    EXPECT_TRUE(logged("InstallBrix: Found VELD Brix"));

    // The uninstall script fails as well: reported as a failure.
    EXPECT_FALSE(m_impl.UninstallBrix());
    EXPECT_TRUE(logged("UninstallBrix: Brix Uninstallation Failed"));
    EXPECT_TRUE(logged("UninstallBrix: Brix Uninstalled Successfully"));
}

TEST_F(HostSupport, UninstallWithoutInstallDoesNothing)
{
    EXPECT_FALSE(m_impl.UninstallBrix());
    EXPECT_EQ(CLinuxImpl::nBRIXInstallRefCount, 0);
    EXPECT_TRUE(commands().empty());
    // A later install still installs.
    EXPECT_EQ(m_impl.InstallBrix(), 0);
    EXPECT_EQ(commands(), std::vector<std::string>{"install-script install"});
}

TEST_F(HostSupport, LoadBrixLibraryFolders)
{
    // Neither folder nor library path.
    EXPECT_EQ(m_impl.LoadBrixLibrary("libkestrm.so"), nullptr);
    EXPECT_TRUE(logged("LoadBrixLibrary: Unable to Load libkestrm.so from /opt/vorn/zep64/lib/"));
    EXPECT_TRUE(logged("LoadBrixLibrary: Unable to Load libkestrm.so from VELD"));

    // Library path only.
    ASSERT_NO_FATAL_FAILURE(libraryOnLibraryPath("libkestrm.so"));
    void* h = m_impl.LoadBrixLibrary("libkestrm.so");
    EXPECT_NE(h, nullptr);
    m_impl.FreeLibrary(h);

    // On ESXi the private folder is the scratch one (the log still names the usual folder).
    host_seams::setLibraryPath("");
    host_seams::setSystemName("VMkernel");
    privateLibrary("/opt/vorn/zep64/lib/", "libkestrm.so");
    EXPECT_EQ(m_impl.LoadBrixLibrary("libkestrm.so"), nullptr);
    EXPECT_FALSE(m_impl.isBRIXInstalled());
    privateLibrary("/scratch/opt/vorn/zep/lib/", "libkestrm.so");
    h = CPlatformLayer::LoadBrixLibrary("libkestrm.so");
    EXPECT_NE(h, nullptr);
    CPlatformLayer::FreeLibrary(h);
    EXPECT_TRUE(m_impl.isBRIXInstalled());
    EXPECT_TRUE(logged("Load library using /scratch/opt/vorn/zep/lib/libkestrm.so"));
}

}  // namespace
