// Test-only seams: the test executable defines the few C library entry points through which the
// platform layer reaches fixed host paths, and redirects those paths into a temporary folder.
// Every other call goes on to the C library unchanged.
#include "host_seams.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/stat.h>
#include <sys/utsname.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {
std::string g_root;     // fake root for the BRIX folders; empty: the folders hold nothing
std::string g_release;  // file standing for /etc/vmware-release; empty: there is none
std::string g_veld;     // folder standing for the library search path; empty: nothing found
std::string g_sysname;  // uname system name; empty: the real one
unsigned g_sleeps = 0;

const char* const kNowhere = "/nonexistent-zev-host-seam/none";

bool startsWith(const char* s, const char* prefix) { return std::strncmp(s, prefix, std::strlen(prefix)) == 0; }

// The path to use instead of path, or path itself. Returns storage valid until the next call on
// this thread.
const char* mapPath(const char* path)
{
    thread_local std::string mapped;
    if (path == nullptr) return path;
    if (std::strcmp(path, "/etc/vmware-release") == 0) {
        mapped = g_release.empty() ? kNowhere : g_release;
        return mapped.c_str();
    }
    if (startsWith(path, "/opt/vorn/") || startsWith(path, "/scratch/opt/vorn/")) {
        mapped = g_root.empty() ? kNowhere : g_root + path;
        return mapped.c_str();
    }
    return path;
}

// The mode argument is there only with O_CREAT or O_TMPFILE (which contains O_DIRECTORY's bit).
bool needsMode(int flags) { return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE; }

template <typename F>
F next(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}
}  // namespace

namespace host_seams {
void setRoot(const std::string& root) { g_root = root; }
void setReleaseFile(const std::string& path) { g_release = path; }
void setLibraryPath(const std::string& folder) { g_veld = folder; }
void setSystemName(const std::string& name) { g_sysname = name; }
unsigned sleeps() { return g_sleeps; }
void reset()
{
    g_root.clear();
    g_release.clear();
    g_veld.clear();
    g_sysname.clear();
    g_sleeps = 0;
}
}  // namespace host_seams

extern "C" {

// open and open64: the variadic mode argument is read only where the caller passed one.
#define SEAM_OPEN(name)                                                 \
    int name(const char* path, int flags, ...)                          \
    {                                                                   \
        mode_t mode = 0;                                                \
        if (needsMode(flags)) {                                         \
            va_list ap;                                                 \
            va_start(ap, flags);                                        \
            mode = static_cast<mode_t>(va_arg(ap, int));                \
            va_end(ap);                                                 \
        }                                                               \
        static auto real = next<int (*)(const char*, int, ...)>(#name); \
        return real(mapPath(path), flags, mode);                        \
    }
SEAM_OPEN(open)
SEAM_OPEN(open64)

int stat(const char* path, struct stat* st)
{
    static auto real = next<int (*)(const char*, struct stat*)>("stat");
    return real(mapPath(path), st);
}

FILE* fopen(const char* path, const char* mode)
{
    static auto real = next<FILE* (*)(const char*, const char*)>("fopen");
    return real(mapPath(path), mode);
}

void* dlopen(const char* name, int flags)
{
    static auto real = next<void* (*)(const char*, int)>("dlopen");
    if (name != nullptr && (std::strcmp(name, "libkestrm.so") == 0 || std::strcmp(name, "libkestrm64.so") == 0)) {
        // The library search path: only the test's folder.
        std::string path = g_veld.empty() ? std::string(kNowhere) : g_veld + "/" + name;
        return real(path.c_str(), flags);
    }
    return real(mapPath(name), flags);
}

int uname(struct utsname* name)
{
    static auto real = next<int (*)(struct utsname*)>("uname");
    int result = real(name);
    if (result == 0 && !g_sysname.empty()) {
        std::memset(name->sysname, 0, sizeof(name->sysname));
        std::strncpy(name->sysname, g_sysname.c_str(), sizeof(name->sysname) - 1);
    }
    return result;
}

unsigned int sleep(unsigned int)
{
    ++g_sleeps;  // counted, not slept
    return 0;
}

}  // extern "C"
