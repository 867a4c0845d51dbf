// The recording preload of `zevsim record`: it sits in front of the C library (and of any preload
// already in force, reached through dlsym(RTLD_NEXT)) and writes what the program learns about the
// host, one JSON line per event, to $ZEVSIM_RECORD_DIR/<pid>.jsonl:
//   start  {pid, ppid, ns}                    once per process, before its first other event
//   file   {path, hex}                        a regular file under /sys (or /proc/devices) opened for
//                                             reading, read whole by the recorder at its first open
//   link   {path, target}                     a symbolic link met while resolving a recorded path
//   dir    {path, entries: [{name, type}]}    a folder under /sys that the program listed
//   node   {path, major, minor}               a device node the program opened
//   ioctl  {node, request, arg, pointers, result, errno}
// Paths are the resolved ones (every link on the way recorded). Each line goes out in one append, so a
// killed program keeps what it did. Without ZEVSIM_RECORD_DIR the library only passes calls on.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>

#include "emu_bytes.hpp"
#include "emu_ioctl_layout.hpp"
#include "rec_paths.hpp"

namespace {

using zev::emu::Bytes;

template <typename F>
F Next(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}
// The next definition of the function this wrapper stands in for, with the declared type.
#define NEXT_OF(name) Next<decltype(&name)>(#name)

// Our own file work (reading a file to record it, the journal) goes through the same wrappers; this
// keeps it out of the recording.
__attribute__((tls_model("initial-exec"))) thread_local int t_busy = 0;
struct Busy {
    Busy() { ++t_busy; }
    ~Busy() { --t_busy; }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;
};

constexpr size_t kMaxFile = 1u << 20;
constexpr int kMaxLinks = 40;

struct State {
    std::mutex mu;
    bool on = false;
    std::string dir;
    int journal = -1;
    pid_t journal_pid = 0;
    dev_t journal_dev = 0;
    ino_t journal_ino = 0;
    long long start_ns = 0;
    std::set<std::string> files, links, dirs, nodes;
    std::map<int, std::string> fds;  // descriptors open on a device node
    // What each path component met so far is: a link's target, or kNotLink. /sys does not change under
    // one command, and paths share most of their components.
    std::unordered_map<std::string, std::string> components;
};

const char kNotLink[] = "\x01";

State& S()
{
    static State* s = new State;  // never destroyed: calls can arrive during exit
    return *s;
}

long long NowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

std::string Quote(const std::string& s)
{
    std::string o = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            o += '\\';
            o += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char b[8];
            std::snprintf(b, sizeof b, "\\u%04x", c);
            o += b;
        } else {
            o += static_cast<char>(c);
        }
    }
    return o + "\"";
}

// Caller memory read without trusting the address: a bad one fails instead of faulting here.
bool ReadCaller(uint64_t addr, size_t len, Bytes* out)
{
    out->assign(len, 0);
    if (len == 0) return true;
    if (addr == 0) return false;
    iovec local{out->data(), len};
    iovec remote{reinterpret_cast<void*>(static_cast<uintptr_t>(addr)), len};
    const ssize_t n = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
    if (n == static_cast<ssize_t>(len)) return true;
    if (n < 0 && (errno == ENOSYS || errno == EPERM)) {
        std::memcpy(out->data(), reinterpret_cast<const void*>(static_cast<uintptr_t>(addr)), len);
        return true;
    }
    return false;
}

// Appends one line to this process's journal (opened again after a fork or when the program closed it).
void Emit(State& s, const std::string& body)
{
    static auto next_open = Next<int (*)(const char*, int, ...)>("open");
    static auto next_fstat = Next<int (*)(int, struct stat*)>("fstat");
    const pid_t pid = getpid();
    struct stat st {};
    bool ours = s.journal >= 0 && s.journal_pid == pid && next_fstat(s.journal, &st) == 0 &&
                st.st_dev == s.journal_dev && st.st_ino == s.journal_ino;
    if (!ours) {
        if (s.journal_pid != pid) s.journal = -1;
        const std::string path = s.dir + "/" + std::to_string(pid) + ".jsonl";
        const int fd = next_open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd < 0) return;
        const bool fresh = s.journal_pid != pid;
        s.journal = fd;
        s.journal_pid = pid;
        if (next_fstat(fd, &st) == 0) {
            s.journal_dev = st.st_dev;
            s.journal_ino = st.st_ino;
        }
        if (fresh) {
            Emit(s, "{\"ev\":\"start\",\"pid\":" + std::to_string(pid) + ",\"ppid\":" + std::to_string(getppid()) +
                        ",\"ns\":" + std::to_string(s.start_ns) + "}");
        }
    }
    const std::string line = body + "\n";
    size_t off = 0;
    while (off < line.size()) {
        const ssize_t n = write(s.journal, line.data() + off, line.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        off += static_cast<size_t>(n);
    }
}

bool Interesting(const std::string& p) { return p.rfind("/sys/", 0) == 0 || p == "/sys" || p == "/proc/devices"; }

std::string Absolute(int dirfd, const char* path)
{
    if (!path || !*path) return "";
    if (path[0] == '/') return path;
    char base[4096];
    if (dirfd == AT_FDCWD) {
        if (!getcwd(base, sizeof base)) return "";
    } else {
        static auto next_readlink = Next<ssize_t (*)(const char*, char*, size_t)>("readlink");
        const std::string l = "/proc/self/fd/" + std::to_string(dirfd);
        const ssize_t n = next_readlink(l.c_str(), base, sizeof base - 1);
        if (n <= 0) return "";
        base[n] = '\0';
    }
    return std::string(base) + "/" + path;
}

// Resolves `abs` component by component with the next lstat/readlink, recording each link met (and the
// last component's own link when `follow_last` is false). Returns the resolved path.
std::string Walk(State& s, const std::string& abs, bool follow_last)
{
    static auto next_lstat = Next<int (*)(const char*, struct stat*)>("lstat");
    static auto next_readlink = Next<ssize_t (*)(const char*, char*, size_t)>("readlink");
    std::string rest = abs, cur;
    int links = 0;
    while (!rest.empty()) {
        const size_t start = rest.find_first_not_of('/');
        if (start == std::string::npos) break;
        const size_t end = rest.find('/', start);
        const std::string comp = rest.substr(start, end == std::string::npos ? std::string::npos : end - start);
        rest = end == std::string::npos ? "" : rest.substr(end);
        if (comp == ".") continue;
        if (comp == "..") {
            const size_t slash = cur.rfind('/');
            cur = slash == std::string::npos ? "" : cur.substr(0, slash);
            continue;
        }
        const std::string cand = cur + "/" + comp;
        const bool last = rest.find_first_not_of('/') == std::string::npos;
        auto known = s.components.find(cand);
        if (known == s.components.end()) {
            std::string what = kNotLink;
            struct stat st {};
            char buf[4096];
            if (next_lstat(cand.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
                const ssize_t n = next_readlink(cand.c_str(), buf, sizeof buf - 1);
                if (n > 0) what.assign(buf, static_cast<size_t>(n));
            }
            known = s.components.emplace(cand, what).first;
        }
        if (known->second == kNotLink || ++links > kMaxLinks) {
            cur = cand;
            continue;
        }
        const std::string target = known->second;
        if (s.links.insert(cand).second)
            Emit(s, "{\"ev\":\"link\",\"path\":" + Quote(cand) +
                        ",\"target\":" + Quote(zev::emu::PortableTarget(cand, target)) + "}");
        if (last && !follow_last) {
            cur = cand;
            break;
        }
        rest = std::string(target) + rest;
        if (target[0] == '/') cur.clear();
    }
    return cur.empty() ? "/" : cur;
}

void RecordFile(State& s, const std::string& path)
{
    static auto next_open = Next<int (*)(const char*, int, ...)>("open");
    static auto next_stat = Next<int (*)(const char*, struct stat*)>("stat");
    if (s.files.count(path)) return;
    struct stat st {};
    if (next_stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    const int fd = next_open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    Bytes content;
    uint8_t buf[4096];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || content.size() + static_cast<size_t>(n) > kMaxFile) break;
        content.insert(content.end(), buf, buf + n);
    }
    close(fd);
    s.files.insert(path);
    Emit(s, "{\"ev\":\"file\",\"path\":" + Quote(path) + ",\"hex\":\"" + zev::emu::ToHex(content) + "\"}");
}

void RecordNode(State& s, const std::string& path, int fd)
{
    static auto next_stat = Next<int (*)(const char*, struct stat*)>("stat");
    struct stat st {};
    if (next_stat(path.c_str(), &st) != 0 || !(S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))) return;
    s.fds[fd] = path;
    if (s.nodes.insert(path).second)
        Emit(s, "{\"ev\":\"node\",\"path\":" + Quote(path) + ",\"major\":" + std::to_string(major(st.st_rdev)) +
                    ",\"minor\":" + std::to_string(minor(st.st_rdev)) + "}");
}

const char* TypeOf(unsigned char t)
{
    static const std::pair<unsigned char, const char*> kTypes[] = {
        {DT_DIR, "dir"}, {DT_LNK, "link"}, {DT_CHR, "char"}, {DT_BLK, "block"}};
    for (const auto& [type, name] : kTypes)
        if (type == t) return name;
    return "file";
}

void RecordDir(State& s, const std::string& path)
{
    static auto next_opendir = Next<DIR* (*)(const char*)>("opendir");
    static auto next_lstat = Next<int (*)(const char*, struct stat*)>("lstat");
    if (s.dirs.count(path)) return;
    DIR* d = next_opendir(path.c_str());
    if (!d) return;
    s.dirs.insert(path);
    std::map<std::string, std::string> entries;  // sorted: the listing does not depend on the file system's order
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        unsigned char t = e->d_type;
        if (t == DT_UNKNOWN) {
            struct stat st {};
            if (next_lstat((path + "/" + name).c_str(), &st) == 0)
                t = S_ISDIR(st.st_mode)   ? DT_DIR
                    : S_ISLNK(st.st_mode) ? DT_LNK
                    : S_ISCHR(st.st_mode) ? DT_CHR
                    : S_ISBLK(st.st_mode) ? DT_BLK
                                          : DT_REG;
        }
        entries[name] = TypeOf(t);
    }
    closedir(d);
    std::string body = "{\"ev\":\"dir\",\"path\":" + Quote(path) + ",\"entries\":[";
    bool first = true;
    for (const auto& [name, type] : entries) {
        body += std::string(first ? "" : ",") + "{\"name\":" + Quote(name) + ",\"type\":\"" + type + "\"}";
        first = false;
    }
    Emit(s, body + "]}");
    for (const auto& [name, type] : entries)
        if (type == std::string("link")) Walk(s, path + "/" + name, false);
}

// Runs `fn(state)` for a call of the program (not of the recorder), with errno kept as the call left it.
template <typename Fn>
void Observe(Fn fn)
{
    if (t_busy) return;
    State& s = S();
    if (!s.on) return;
    const int saved = errno;
    {
        Busy busy;
        std::lock_guard<std::mutex> lock(s.mu);
        fn(s);
    }
    errno = saved;
}

void AfterOpen(int dirfd, const char* path, int flags, int fd)
{
    if (fd < 0) return;
    Observe([&](State& s) {
        const std::string abs = Absolute(dirfd, path);
        if (abs.empty()) return;
        s.fds.erase(fd);
        if (abs.rfind("/dev/", 0) == 0) {
            RecordNode(s, Walk(s, abs, true), fd);
        } else if (Interesting(abs) && (flags & O_ACCMODE) != O_WRONLY) {
            const std::string real = Walk(s, abs, true);
            if (Interesting(real)) RecordFile(s, real);
        }
    });
}

void AfterPath(const char* path, bool follow)
{
    Observe([&](State& s) {
        const std::string abs = Absolute(AT_FDCWD, path);
        if (Interesting(abs)) Walk(s, abs, follow);
    });
}

void AfterList(const char* path)
{
    Observe([&](State& s) {
        const std::string abs = Absolute(AT_FDCWD, path);
        if (!Interesting(abs)) return;
        const std::string real = Walk(s, abs, true);
        if (Interesting(real)) RecordDir(s, real);
    });
}

bool NeedsMode(int flags) { return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE; }

// ---- one ioctl -----------------------------------------------------------------------------------

struct Captured {
    bool readable = false;
    zev::emu::IoctlLayout layout;
    Bytes arg;
    std::vector<Bytes> buffers;
};

Captured Capture(unsigned long request, uint64_t argp)
{
    Captured c;
    c.layout = zev::emu::DescribeIoctl(request, Bytes{});
    for (int round = 0; c.layout.known && round < 4; ++round) {
        if (!ReadCaller(argp, c.layout.length, &c.arg)) return c;
        const zev::emu::IoctlLayout again = zev::emu::DescribeIoctl(request, c.arg);
        const bool settled = again.length <= c.arg.size();
        c.layout = again;
        if (settled) break;
    }
    if (!c.layout.known || c.arg.size() < c.layout.length) return c;
    c.arg.resize(c.layout.length);
    c.readable = true;
    for (const zev::emu::PointerField& p : c.layout.pointers) {
        Bytes b;
        if (!ReadCaller(zev::emu::PointerValue(c.arg, p), p.length, &b)) b.clear();
        c.buffers.push_back(std::move(b));
    }
    return c;
}

// The same fields again after the call, at the addresses the request held before it.
void CaptureAfter(const Captured& before, uint64_t argp, Captured* after)
{
    after->readable = ReadCaller(argp, before.layout.length, &after->arg);
    for (size_t i = 0; i < before.layout.pointers.size(); ++i) {
        const zev::emu::PointerField& p = before.layout.pointers[i];
        Bytes b;
        if (before.buffers[i].size() != p.length || !ReadCaller(zev::emu::PointerValue(before.arg, p), p.length, &b))
            b.clear();
        after->buffers.push_back(std::move(b));
    }
}

std::string IoctlLine(const std::string& node, unsigned long request, const Captured& before, const Captured& after,
                      int result, int err)
{
    std::string body = "{\"ev\":\"ioctl\",\"node\":" + Quote(node) + ",\"request\":" + std::to_string(request);
    if (!before.readable || !after.readable) {
        body += ",\"arg\":null,\"pointers\":[]";
    } else {
        Bytes a = before.arg, b = after.arg;
        zev::emu::MaskPointers(a, before.layout);
        zev::emu::MaskPointers(b, before.layout);
        body += ",\"arg\":{\"length\":" + std::to_string(a.size()) + ",\"before\":\"" + zev::emu::ToHex(a) +
                "\",\"after\":\"" + zev::emu::ToHex(b) + "\"},\"pointers\":[";
        for (size_t i = 0; i < before.layout.pointers.size(); ++i) {
            const zev::emu::PointerField& p = before.layout.pointers[i];
            const bool ok = before.buffers[i].size() == p.length && after.buffers[i].size() == p.length;
            body += std::string(i ? "," : "") + "{\"offset\":" + std::to_string(p.offset) +
                    ",\"width\":" + std::to_string(p.width) + ",\"length\":" + std::to_string(ok ? p.length : 0) +
                    ",\"before\":\"" + (ok ? zev::emu::ToHex(before.buffers[i]) : "") + "\",\"after\":\"" +
                    (ok ? zev::emu::ToHex(after.buffers[i]) : "") + "\"}";
        }
        body += "]";
    }
    return body + ",\"result\":" + std::to_string(result) + ",\"errno\":" + std::to_string(result < 0 ? err : 0) + "}";
}

void Prepare() { S().mu.lock(); }
void Release() { S().mu.unlock(); }
// A child starts its own journal; its start time orders it among the others.
void ChildStarts()
{
    S().start_ns = NowNs();
    S().mu.unlock();
}

__attribute__((constructor)) void Init()
{
    State& s = S();
    const char* dir = std::getenv("ZEVSIM_RECORD_DIR");
    if (!dir || !*dir) return;
    s.dir = dir;
    s.start_ns = NowNs();
    s.on = true;
    pthread_atfork(Prepare, Release, ChildStarts);
}

}  // namespace

// ---- the wrapped entry points ----------------------------------------------------------------------

// The library is built with hidden symbols: only these entry points are seen by the program.
#define ZEV_EXPORT __attribute__((visibility("default")))

extern "C" {

// The open family: the call, then the node or file it opened recorded. The variadic forms read the
// mode only where the flags say one was passed.
#define OPEN_WRAPPER(name, params, dirfd, args)           \
    ZEV_EXPORT int name params                            \
    {                                                     \
        mode_t mode = 0;                                  \
        if (NeedsMode(flags)) {                           \
            va_list ap;                                   \
            va_start(ap, flags);                          \
            mode = va_arg(ap, mode_t);                    \
            va_end(ap);                                   \
        }                                                 \
        static auto next_fn = Next<int(*) params>(#name); \
        const int fd = next_fn args;                      \
        AfterOpen(dirfd, path, flags, fd);                \
        return fd;                                        \
    }
OPEN_WRAPPER(open, (const char* path, int flags, ...), AT_FDCWD, (path, flags, mode))
OPEN_WRAPPER(open64, (const char* path, int flags, ...), AT_FDCWD, (path, flags, mode))
OPEN_WRAPPER(openat, (int dirfd, const char* path, int flags, ...), dirfd, (dirfd, path, flags, mode))
OPEN_WRAPPER(openat64, (int dirfd, const char* path, int flags, ...), dirfd, (dirfd, path, flags, mode))

#define FORTIFIED_OPEN_WRAPPER(name, params, dirfd, args) \
    ZEV_EXPORT int name params                            \
    {                                                     \
        static auto next_fn = Next<int(*) params>(#name); \
        const int fd = next_fn args;                      \
        AfterOpen(dirfd, path, flags, fd);                \
        return fd;                                        \
    }
FORTIFIED_OPEN_WRAPPER(__open_2, (const char* path, int flags), AT_FDCWD, (path, flags))
FORTIFIED_OPEN_WRAPPER(__open64_2, (const char* path, int flags), AT_FDCWD, (path, flags))
FORTIFIED_OPEN_WRAPPER(__openat_2, (int dirfd, const char* path, int flags), dirfd, (dirfd, path, flags))
FORTIFIED_OPEN_WRAPPER(__openat64_2, (int dirfd, const char* path, int flags), dirfd, (dirfd, path, flags))

static int FopenFlags(const char* mode)
{
    if (!mode) return O_RDONLY;
    if (std::strchr(mode, '+')) return O_RDWR;
    return mode[0] == 'r' ? O_RDONLY : O_WRONLY;
}

static FILE* Opened(const char* path, const char* mode, FILE* f)
{
    if (f) AfterOpen(AT_FDCWD, path, FopenFlags(mode), fileno(f));
    return f;
}

ZEV_EXPORT FILE* fopen(const char* path, const char* mode)
{
    static auto next_fn = NEXT_OF(fopen);
    return Opened(path, mode, next_fn(path, mode));
}
ZEV_EXPORT FILE* fopen64(const char* path, const char* mode)
{
    static auto next_fn = NEXT_OF(fopen64);
    return Opened(path, mode, next_fn(path, mode));
}

// A folder listed: recorded once the listing succeeded (a stream, or a count of entries).
static DIR* ListedDir(const char* path, DIR* d)
{
    if (d) AfterList(path);
    return d;
}
static int ListedCount(const char* path, int n)
{
    if (n >= 0) AfterList(path);
    return n;
}

ZEV_EXPORT DIR* opendir(const char* path)
{
    static auto next_fn = NEXT_OF(opendir);
    return ListedDir(path, next_fn(path));
}

using DirFilter = int (*)(const struct dirent*);
using DirCompare = int (*)(const struct dirent**, const struct dirent**);
ZEV_EXPORT int scandir(const char* path, struct dirent*** list, DirFilter filter, DirCompare compare)
{
    static auto next_fn = NEXT_OF(scandir);
    return ListedCount(path, next_fn(path, list, filter, compare));
}
using DirFilter64 = int (*)(const struct dirent64*);
using DirCompare64 = int (*)(const struct dirent64**, const struct dirent64**);
ZEV_EXPORT int scandir64(const char* path, struct dirent64*** list, DirFilter64 filter, DirCompare64 compare)
{
    static auto next_fn = NEXT_OF(scandir64);
    return ListedCount(path, next_fn(path, list, filter, compare));
}

ZEV_EXPORT ssize_t readlink(const char* path, char* buf, size_t size) noexcept
{
    static auto next_fn = Next<ssize_t (*)(const char*, char*, size_t)>("readlink");
    const ssize_t n = next_fn(path, buf, size);
    if (n >= 0) AfterPath(path, false);
    return n;
}
ZEV_EXPORT ssize_t readlinkat(int dirfd, const char* path, char* buf, size_t size) noexcept
{
    static auto next_fn = Next<ssize_t (*)(int, const char*, char*, size_t)>("readlinkat");
    const ssize_t n = next_fn(dirfd, path, buf, size);
    if (n >= 0 && dirfd == AT_FDCWD) AfterPath(path, false);
    return n;
}

ZEV_EXPORT char* realpath(const char* path, char* resolved) noexcept
{
    static auto next_fn = Next<char* (*)(const char*, char*)>("realpath");
    char* r = next_fn(path, resolved);
    if (r) AfterPath(path, true);
    return r;
}

#define STAT_WRAPPER(name, type, follow)                                       \
    ZEV_EXPORT int name(const char* path, struct type* st) noexcept            \
    {                                                                          \
        static auto next_fn = Next<int (*)(const char*, struct type*)>(#name); \
        const int r = next_fn(path, st);                                       \
        if (r == 0) AfterPath(path, follow);                                   \
        return r;                                                              \
    }
STAT_WRAPPER(stat, stat, true)
STAT_WRAPPER(stat64, stat64, true)
STAT_WRAPPER(lstat, stat, false)
STAT_WRAPPER(lstat64, stat64, false)

#define FSTATAT_WRAPPER(name, type)                                                                               \
    ZEV_EXPORT int name(int dirfd, const char* path, struct type* st, int flags) noexcept                         \
    {                                                                                                             \
        static auto next_fn = Next<int (*)(int, const char*, struct type*, int)>(#name);                          \
        const int r = next_fn(dirfd, path, st, flags);                                                            \
        if (r == 0 && (dirfd == AT_FDCWD || path[0] == '/')) AfterPath(path, (flags & AT_SYMLINK_NOFOLLOW) == 0); \
        return r;                                                                                                 \
    }
FSTATAT_WRAPPER(fstatat, stat)
FSTATAT_WRAPPER(fstatat64, stat64)

ZEV_EXPORT int faccessat(int dirfd, const char* path, int mode, int flags) noexcept
{
    static auto next_fn = Next<int (*)(int, const char*, int, int)>("faccessat");
    const int r = next_fn(dirfd, path, mode, flags);
    if (r == 0 && (dirfd == AT_FDCWD || path[0] == '/')) AfterPath(path, (flags & AT_SYMLINK_NOFOLLOW) == 0);
    return r;
}

ZEV_EXPORT int access(const char* path, int mode) noexcept
{
    static auto next_fn = Next<int (*)(const char*, int)>("access");
    const int r = next_fn(path, mode);
    if (r == 0) AfterPath(path, true);
    return r;
}

ZEV_EXPORT int close(int fd)
{
    static auto next_fn = Next<int (*)(int)>("close");
    if (!t_busy && S().on) {
        State& s = S();
        std::lock_guard<std::mutex> lock(s.mu);
        s.fds.erase(fd);
    }
    return next_fn(fd);
}

static void CopyNode(int from, int to)
{
    if (to < 0 || from == to || t_busy || !S().on) return;
    State& s = S();
    const int saved = errno;
    std::lock_guard<std::mutex> lock(s.mu);
    const auto it = s.fds.find(from);
    if (it != s.fds.end())
        s.fds[to] = it->second;
    else
        s.fds.erase(to);
    errno = saved;
}

ZEV_EXPORT int dup(int fd) noexcept
{
    static auto next_fn = Next<int (*)(int)>("dup");
    const int r = next_fn(fd);
    CopyNode(fd, r);
    return r;
}
ZEV_EXPORT int dup2(int fd, int to) noexcept
{
    static auto next_fn = Next<int (*)(int, int)>("dup2");
    const int r = next_fn(fd, to);
    CopyNode(fd, r);
    return r;
}
ZEV_EXPORT int dup3(int fd, int to, int flags) noexcept
{
    static auto next_fn = Next<int (*)(int, int, int)>("dup3");
    const int r = next_fn(fd, to, flags);
    CopyNode(fd, r);
    return r;
}

ZEV_EXPORT int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void* argp = va_arg(ap, void*);
    va_end(ap);
    static auto next_fn = Next<int (*)(int, unsigned long, ...)>("ioctl");
    std::string node;
    if (!t_busy && S().on) {
        State& s = S();
        std::lock_guard<std::mutex> lock(s.mu);
        const auto it = s.fds.find(fd);
        if (it != s.fds.end()) node = it->second;
    }
    if (node.empty()) return next_fn(fd, request, argp);
    const uint64_t addr = reinterpret_cast<uintptr_t>(argp);
    Captured before, after;
    {
        Busy busy;
        const int saved = errno;
        before = Capture(request, addr);
        errno = saved;
    }
    const int result = next_fn(fd, request, argp);
    const int err = errno;
    {
        Busy busy;
        if (before.readable) CaptureAfter(before, addr, &after);
        const std::string line = IoctlLine(node, request, before, after, result, err);
        State& s = S();
        std::lock_guard<std::mutex> lock(s.mu);
        Emit(s, line);
    }
    errno = err;
    return result;
}

}  // extern "C"
