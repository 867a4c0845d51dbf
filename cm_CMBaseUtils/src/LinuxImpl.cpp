#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "CLinuxImpl.h"
#include "CLogger.h"

namespace {
// true when the file can be opened for reading. Non-blocking, so that a FIFO in the
// working directory cannot hang the tool.
bool canOpenForReading(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

bool existsLogged(const std::string& fullName)
{
    bool exists = canOpenForReading(fullName);
    ZEV_LOG("CLinuxImpl::IsFileExistsAbs() File name " + fullName + (exists ? " exist" : " doesnt exist"));
    return exists;
}
}  // namespace

void* CLinuxImpl::LoadLibrary(std::string name)
{
    if (name.find('/') != std::string::npos && !IsFileExistsAbs(name)) return nullptr;
    return ::dlopen(name.c_str(), RTLD_NOW);
}

void CLinuxImpl::FreeLibrary(void* handle)
{
    if (handle != nullptr) ::dlclose(handle);
}

void* CLinuxImpl::GetProcAddress(void* handle, std::string symbol)
{
    if (handle == nullptr) return nullptr;
    return ::dlsym(handle, symbol.c_str());
}

// status as system() gives it.
int CLinuxImpl::ExecuteCmd(std::string command, bool, const long&) { return std::system(command.c_str()); }

// status as system() gives it for starting the command in the background.
int CLinuxImpl::ExecuteCmdNoWait(std::string command, bool, const long&)
{
    return std::system((command + " &").c_str());
}

void CLinuxImpl::Sleep(int seconds)
{
    if (seconds > 0) ::sleep(static_cast<unsigned int>(seconds));
}

// The working directory with a trailing "/", at any length. When it cannot be had, "./": still the
// working directory for every name built on it, never another folder.
std::string CLinuxImpl::getCurrentDirectory()
{
    char* cwd = ::getcwd(nullptr, 0);
    if (cwd == nullptr) return "./";
    std::string path(cwd);
    std::free(cwd);
    return path + "/";
}

// The executable's folder with a trailing "/", at any length; empty when it cannot be had (the
// working directory is no stand-in: its payload would be another package's).
std::string CLinuxImpl::getCurrentProcessDirectory()
{
    std::vector<char> buf(4096);
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
        if (n <= 0) break;
        if (static_cast<std::size_t>(n) < buf.size()) {
            std::string path(buf.data(), static_cast<std::size_t>(n));
            std::string::size_type slash = path.rfind('/');
            if (slash == std::string::npos) break;
            return path.substr(0, slash) + "/";
        }
        buf.resize(buf.size() * 2);  // possibly cut: try again with room to spare
    }
    ZEV_LOG("CLinuxImpl::getCurrentProcessDirectory() failed via readlink");
    return std::string();
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
    if (dir == nullptr) return entries;
    while (struct dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        entries.push_back(folder + "/" + entry->d_name);
    }
    ::closedir(dir);
    return entries;
}

bool CLinuxImpl::IsFileExits(std::string name) { return existsLogged(getCurrentDirectory() + name); }

bool CLinuxImpl::IsFileExistsAbs(std::string path) { return existsLogged(path); }
