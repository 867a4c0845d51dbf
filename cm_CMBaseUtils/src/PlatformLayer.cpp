#include "CPlatformLayer.h"

#include <fcntl.h>
#include <unistd.h>

#include "CLinuxImpl.h"
#include "CLogger.h"
#include "SafeFiles.h"

IPlatformImpl* CPlatformLayer::m_pPlatformImpl = nullptr;

IPlatformImpl* CPlatformLayer::GetPlatform()
{
    if (m_pPlatformImpl == nullptr) m_pPlatformImpl = new CLinuxImpl();
    return m_pPlatformImpl;
}

// true when the marker file could be created or truncated.
bool CPlatformLayer::CreateEmptyZEPDebuLogFile()
{
    // The working directory is not ours: a link, FIFO or device in the marker's place is left alone.
    int fd = SafeFiles::openRegularForWriting(strEnableLogFileName, true, false);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

std::string CPlatformLayer::getCurrentDirectory() { return GetPlatform()->getCurrentDirectory(); }
std::string CPlatformLayer::getCurrentProcessDirectory() { return GetPlatform()->getCurrentProcessDirectory(); }
bool CPlatformLayer::setCurrentDirectory(std::string path) { return GetPlatform()->setCurrentDirectory(path); }
bool CPlatformLayer::IsFileExits(std::string name) { return GetPlatform()->IsFileExits(name); }
bool CPlatformLayer::IsFileExistsAbs(std::string path) { return GetPlatform()->IsFileExistsAbs(path); }
std::vector<std::string> CPlatformLayer::GetFileList(std::string& folder) { return GetPlatform()->GetFileList(folder); }
int CPlatformLayer::ExecuteCmd(std::string command, bool wait, const long& timeout)
{
    return GetPlatform()->ExecuteCmd(command, wait, timeout);
}
int CPlatformLayer::ExecuteCmdNoWait(std::string command, bool wait, const long& timeout)
{
    return GetPlatform()->ExecuteCmdNoWait(command, wait, timeout);
}
void CPlatformLayer::Sleep(int seconds) { GetPlatform()->Sleep(seconds); }
void* CPlatformLayer::Load_Library(std::string name) { return GetPlatform()->LoadLibrary(name); }
void* CPlatformLayer::GetProcAddress(void* handle, std::string symbol)
{
    return GetPlatform()->GetProcAddress(handle, symbol);
}
void CPlatformLayer::FreeLibrary(void* handle) { GetPlatform()->FreeLibrary(handle); }
bool CPlatformLayer::isBRIXInstalled() { return GetPlatform()->isBRIXInstalled(); }
int CPlatformLayer::InstallBrix() { return GetPlatform()->InstallBrix(); }
bool CPlatformLayer::UninstallBrix() { return GetPlatform()->UninstallBrix(); }
void* CPlatformLayer::LoadBrixLibrary(std::string name) { return GetPlatform()->LoadBrixLibrary(name); }
bool CPlatformLayer::isUSBblacklisted() { return GetPlatform()->isUSBblacklisted(); }
void CPlatformLayer::unloadUSB() { GetPlatform()->unloadUSB(); }
