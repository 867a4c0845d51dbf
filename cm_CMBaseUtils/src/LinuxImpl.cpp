#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "CLinuxImpl.h"
#include "CLogger.h"

namespace {
const std::size_t kPathBufferSize = 2048;

// true when the file can be opened for reading. Non-blocking, so that a FIFO in the
// working directory cannot hang the tool.
bool canOpenForReading(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

bool existsLogged(const std::string& fullName)
{
    bool exists = canOpenForReading(fullName);
    CLogger::GetInstance()->log(__FILE__, __LINE__,
                                "CLinuxImpl::IsFileExistsAbs() File name " + fullName +
                                    (exists ? " exist" : " doesnt exist"));
    return exists;
}
} // namespace

void* CLinuxImpl::LoadLibrary(std::string name)
{
    if (name.find('/') != std::string::npos && !IsFileExistsAbs(name))
        return nullptr;
    return ::dlopen(name.c_str(), RTLD_NOW);
}

void CLinuxImpl::FreeLibrary(void* handle)
{
    if (handle != nullptr)
        ::dlclose(handle);
}

void* CLinuxImpl::GetProcAddress(void* handle, std::string symbol)
{
    if (handle == nullptr)
        return nullptr;
    return ::dlsym(handle, symbol.c_str());
}

// status as system() gives it.
int CLinuxImpl::ExecuteCmd(std::string command, bool, const long&)
{
    return std::system(command.c_str());
}

// status as system() gives it for starting the command in the background.
int CLinuxImpl::ExecuteCmdNoWait(std::string command, bool, const long&)
{
    return std::system((command + " &").c_str());
}

void CLinuxImpl::Sleep(int seconds)
{
    if (seconds > 0)
        ::sleep(static_cast<unsigned int>(seconds));
}

std::string CLinuxImpl::getCurrentDirectory()
{
    char buf[kPathBufferSize];
    std::memset(buf, 0, sizeof(buf));
    if (::getcwd(buf, sizeof(buf) - 1) == nullptr)
        buf[0] = '\0';
    return std::string(buf) + "/";
}

std::string CLinuxImpl::getCurrentProcessDirectory()
{
    char buf[kPathBufferSize];
    std::memset(buf, 0, sizeof(buf));
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n > 0) {
        std::string path(buf, static_cast<std::size_t>(n));
        std::string::size_type slash = path.rfind('/');
        return (slash == std::string::npos ? std::string() : path.substr(0, slash)) + "/";
    }
    CLogger::GetInstance()->log(__FILE__, __LINE__, "CLinuxImpl::getCurrentProcessDirectory() failed via readlink");
    std::memset(buf, 0, sizeof(buf));
    if (::getcwd(buf, sizeof(buf) - 1) == nullptr)
        buf[0] = '\0';
    return std::string(buf) + "/";
}

// always true, whether or not chdir succeeded.
bool CLinuxImpl::setCurrentDirectory(std::string path)
{
    if (::chdir(path.c_str()) != 0) {
        // The caller is not told; the result stays true.
    }
    return true;
}

std::vector<std::string> CLinuxImpl::GetFileList(std::string& folder)
{
    std::vector<std::string> entries;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr)
        return entries;
    while (struct dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        entries.push_back(folder + "/" + entry->d_name);
    }
    ::closedir(dir);
    return entries;
}

bool CLinuxImpl::IsFileExits(std::string name)
{
    return existsLogged(getCurrentDirectory() + name);
}

bool CLinuxImpl::IsFileExistsAbs(std::string path)
{
    return existsLogged(path);
}
