#pragma once
// Operating-system services behind the CPlatformLayer facade. Slot order is fixed.

#include <string>
#include <vector>

class IPlatformImpl {
public:
    virtual bool isBRIXInstalled() = 0;
    virtual int InstallBrix() = 0;
    virtual bool UninstallBrix() = 0;
    virtual void* LoadLibrary(std::string name) = 0;
    virtual void FreeLibrary(void* handle) = 0;
    virtual void* GetProcAddress(void* handle, std::string symbol) = 0;
    virtual int ExecuteCmd(std::string command, bool wait, const long& timeout) = 0;
    virtual int ExecuteCmdNoWait(std::string command, bool wait, const long& timeout) = 0;
    virtual void Sleep(int seconds) = 0;
    virtual std::string getCurrentDirectory() = 0;
    virtual std::string getCurrentProcessDirectory() = 0;
    virtual bool setCurrentDirectory(std::string path) = 0;
    virtual std::vector<std::string> GetFileList(std::string& folder) = 0;
    virtual bool IsFileExits(std::string name) = 0;
    virtual bool IsFileExistsAbs(std::string path) = 0;
    virtual void* LoadBrixLibrary(std::string name) = 0;
    virtual bool isUSBblacklisted() = 0;
    virtual void unloadUSB() = 0;

protected:
    // The implementation object lives for the whole process and is never deleted through this type.
    ~IPlatformImpl() = default;
};
