#pragma once
#include "IPlatformImpl.h"

class CLinuxImpl : public IPlatformImpl {
public:
    // Host surroundings (hypervisor, usb_storage module, BRIX library): LinuxImplHost.cpp.
    bool isBRIXInstalled() override;
    int InstallBrix() override;
    bool UninstallBrix() override;
    void* LoadBrixLibrary(std::string name) override;
    bool isUSBblacklisted() override;
    void unloadUSB() override;
    bool isESXSystem();
    bool isESXiSystem();
    bool isVELDBRIXInstalled();

    // Files, directories, commands and libraries: LinuxImpl.cpp.
    void* LoadLibrary(std::string name) override;
    void FreeLibrary(void* handle) override;
    void* GetProcAddress(void* handle, std::string symbol) override;
    int ExecuteCmd(std::string command, bool wait, const long& timeout) override;
    int ExecuteCmdNoWait(std::string command, bool wait, const long& timeout) override;
    void Sleep(int seconds) override;
    std::string getCurrentDirectory() override;
    std::string getCurrentProcessDirectory() override;
    bool setCurrentDirectory(std::string path) override;
    std::vector<std::string> GetFileList(std::string& folder) override;
    bool IsFileExits(std::string name) override;
    bool IsFileExistsAbs(std::string path) override;

    static int nBRIXInstallRefCount;
    static bool bBRIXAlreadyInstalled;
    static bool bUSBDriverNotLoaded;
    static bool bUSBDriverLoadedByZEP;
    static bool bUSBBlacklistCheckDone;
};
