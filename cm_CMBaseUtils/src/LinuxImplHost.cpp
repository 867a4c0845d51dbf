// Host surroundings of CLinuxImpl: hypervisor detection, the usb_storage kernel module and the BRIX
// hardware interface library with its install script.
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "CLinuxImpl.h"
#include "CLogger.h"
#include "CStringUtils.h"

int CLinuxImpl::nBRIXInstallRefCount = 0;
bool CLinuxImpl::bBRIXAlreadyInstalled = false;
bool CLinuxImpl::bUSBDriverNotLoaded = false;
bool CLinuxImpl::bUSBDriverLoadedByZEP = false;
bool CLinuxImpl::bUSBBlacklistCheckDone = false;

namespace {

// These lines belong to the platform layer's log source.
const char* const kSource = "cm_CMBaseUtils/src/LinuxImpl.cpp";

const char* const kVMwareReleaseFile = "/etc/vmware-release";
const std::size_t kReleaseLineSize = 1024;

const char* const kUSBLoadedCommand = "lsmod | grep usb_storage  > /dev/null 2>&1";
const char* const kUSBLoadCommand = "modprobe usb_storage  > /dev/null 2>&1";
const char* const kUSBUnloadCommand = "rmmod usb_storage  > /dev/null 2>&1";
const int kUSBUnloadAttempts = 59;

const char* const kBrixLibrary = "libkestrm.so";
const char* const kBrixLibrary64 = "libkestrm64.so";
const char* const kBrixFolder = "/opt/vorn/zep64/lib/";
const char* const kBrixFolderESXi = "/scratch/opt/vorn/zep/lib/";
const char* const kInstallScript = "/zepmarlowinstall.sh";

const long kNoTimeout = 0;

}  // namespace

// true when uname names the VMkernel (any case).
bool CLinuxImpl::isESXiSystem()
{
    struct utsname name;
    std::memset(&name, 0, sizeof(name));
    if (::uname(&name) != 0) return false;
    return CStringUtils::toLowerCase(name.sysname) == "vmkernel";
}

// true when the first line of /etc/vmware-release names ESX 3 or 4.
bool CLinuxImpl::isESXSystem()
{
    struct stat st;
    if (::stat(kVMwareReleaseFile, &st) != 0) return false;
    char line[kReleaseLineSize + 1];
    std::memset(line, 0, sizeof(line));
    std::FILE* file = std::fopen(kVMwareReleaseFile, "r");
    if (file != nullptr) {
        if (std::fgets(line, sizeof(line), file) == nullptr) line[0] = '\0';
        std::fclose(file);
    }
    const std::string release = CStringUtils::toLowerCase(line);
    if (release.find("vmware esx server 3") != std::string::npos) {
        ZEV_LOG_AS(kSource, "getLinuxOSVer: ESX 3 Found");
        return true;
    }
    if (release.find("vmware esx 4.1") != std::string::npos || release.find("vmware esx 4") != std::string::npos) {
        ZEV_LOG_AS(kSource, "getLinuxOSVer: ESX 4 Found");
        return true;
    }
    ZEV_LOG_AS(kSource, "getLinuxOSVer: Unrecognized VMWare Found");
    return false;
}

// true when the usb_storage module is absent and could not be loaded.
bool CLinuxImpl::isUSBblacklisted()
{
    ZEV_LOG_AS(kSource, " CLinuxImpl::isUSBblacklisted Start");
    if (isESXiSystem() || isESXSystem()) {
        ZEV_LOG_AS(kSource, " CLinuxImpl::Skipping USB blacklisting check for ESXi and ESX");
        return false;
    }
    if (bUSBBlacklistCheckDone) {
        ZEV_LOG_AS(kSource, " CLinuxImpl::isUSBblacklisted check has already been performed earlier.");
        ZEV_LOG_AS(kSource, " CLinuxImpl::isUSBblacklisted End");
        return bUSBDriverNotLoaded;
    }
    ZEV_LOG_AS(kSource, " CLinuxImpl::isUSBblacklisted check is being done for the first time.");
    if (ExecuteCmd(kUSBLoadedCommand, true, kNoTimeout) == 0) {
        ZEV_LOG_AS(kSource, "CLinuxImpl::isUSBblacklisted usb_storage module is already present.");
    } else if (ExecuteCmd(kUSBLoadCommand, true, kNoTimeout) == 0 &&
               ExecuteCmd(kUSBLoadedCommand, true, kNoTimeout) == 0) {
        ZEV_LOG_AS(kSource, "CLinuxImpl::isUSBblacklisted loading usb_storage module is successful.");
        bUSBDriverLoadedByZEP = true;
    } else {
        ZEV_LOG_AS(
            kSource,
            "CLinuxImpl::isUSBblacklisted usb_storage module is not loaded. Attempt to load it was unsuccessful.");
        bUSBDriverNotLoaded = true;
    }
    ZEV_LOG_AS(kSource, " CLinuxImpl::isUSBblacklisted End");
    bUSBBlacklistCheckDone = true;
    return bUSBDriverNotLoaded;
}

// Unloads usb_storage when this tool loaded it; resets the flags of the load/unload cycle.
void CLinuxImpl::unloadUSB()
{
    ZEV_LOG_AS(kSource, " CLinuxImpl::unloadUSB Start");
    if (bUSBDriverLoadedByZEP) {
        ZEV_LOG_AS(kSource, " CLinuxImpl::unloadUSB usb module need be unloaded");
        for (int attempt = 0; attempt < kUSBUnloadAttempts; ++attempt) {
            if (ExecuteCmd(kUSBUnloadCommand, true, kNoTimeout) == 0) {
                ZEV_LOG_AS(kSource, "CLinuxImpl::unloadUSB unloading usb module is successful.");
                break;
            }
            ::sleep(1);
            ZEV_LOG_AS(kSource, "CLinuxImpl::unloadUSB unloading usb module is not successful.");
        }
    } else {
        ZEV_LOG_AS(kSource, " CLinuxImpl::unloadUSB is not required.");
    }
    ZEV_LOG_AS(kSource, " CLinuxImpl::unloadUSB End");
    bUSBBlacklistCheckDone = false;
    bUSBDriverLoadedByZEP = false;
    bUSBDriverNotLoaded = false;
}

// true when the BRIX library loads from its private folder.
bool CLinuxImpl::isBRIXInstalled()
{
    const std::string folder = isESXiSystem() ? kBrixFolderESXi : kBrixFolder;
    ZEV_LOG_AS(kSource, "Load library using " + folder + kBrixLibrary);
    void* handle = LoadLibrary(folder + kBrixLibrary);
    if (handle == nullptr) handle = LoadLibrary(folder + kBrixLibrary64);
    if (handle == nullptr) return false;
    ZEV_LOG_AS(kSource, "BRIX is installed in the system");
    FreeLibrary(handle);
    return true;
}

// true when a systems-management installation provides the library on the library path.
bool CLinuxImpl::isVELDBRIXInstalled()
{
    void* handle = LoadLibrary(kBrixLibrary);
    if (handle == nullptr) handle = LoadLibrary(kBrixLibrary64);
    if (handle == nullptr) return false;
    FreeLibrary(handle);
    return true;
}

// 0 when a BRIX library is available afterwards, 1 when none is.
int CLinuxImpl::InstallBrix()
{
    if (nBRIXInstallRefCount++ != 0) return 0;
    bBRIXAlreadyInstalled = isBRIXInstalled();
    if (bBRIXAlreadyInstalled) return 0;
    ZEV_LOG_AS(kSource, "InstallBrix: Custom Brix Not Already Present");
    // Without the executable's folder the script would be looked for in "/", which is not ours.
    const std::string folder = getCurrentProcessDirectory();
    const std::string command = folder + kInstallScript + " install";
    ZEV_LOG_AS(kSource, "Executimg command: " + command);
    if (!folder.empty() && ExecuteCmd(command, true, kNoTimeout) == 0) {
        ZEV_LOG_AS(kSource, "InstallBrix: Custome Brix Installed Successfully");
        return 0;
    }
    ZEV_LOG_AS(kSource, "InstallBrix: Brix Installation Failed");
    if (isVELDBRIXInstalled()) {
        ZEV_LOG_AS(kSource, "InstallBrix: Found VELD Brix");
        return 0;
    }
    ZEV_LOG_AS(kSource, "InstallBrix: VELD Brix Not Present");
    return 1;
}

// true when the last uninstall ran the uninstall script and it succeeded; false when the script
// failed or nothing had to be removed.
bool CLinuxImpl::UninstallBrix()
{
    bool result = false;
    // A call without a matching install leaves the count at 0, so a later install still installs.
    if (nBRIXInstallRefCount > 0 && --nBRIXInstallRefCount == 0 && !bBRIXAlreadyInstalled) {
        const std::string folder = getCurrentProcessDirectory();
        const std::string command = folder + kInstallScript + " uninstall";
        result = !folder.empty() && ExecuteCmd(command, true, kNoTimeout) == 0;
        if (!result) ZEV_LOG_AS(kSource, "UninstallBrix: Brix Uninstallation Failed");
    }
    ZEV_LOG_AS(kSource, "UninstallBrix: Brix Uninstalled Successfully");
    return result;
}

// The library from the private folder, else from the library path; null when neither loads.
void* CLinuxImpl::LoadBrixLibrary(std::string name)
{
    const std::string folder = isESXiSystem() ? kBrixFolderESXi : kBrixFolder;
    void* handle = LoadLibrary(folder + name);
    if (handle != nullptr) return handle;
    ZEV_LOG_AS(kSource, "LoadBrixLibrary: Unable to Load " + name + " from " + kBrixFolder);
    handle = LoadLibrary(name);
    if (handle == nullptr) ZEV_LOG_AS(kSource, "LoadBrixLibrary: Unable to Load " + name + " from " + "VELD");
    return handle;
}
