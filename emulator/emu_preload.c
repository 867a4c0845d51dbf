/* Test-only preload of the emulated host. umockdev redirects reads of /sys, /dev and /proc into the test
 * bed but lets mknod, unlink and friends act on the real /dev. This library sends them into the test bed
 * ($UMOCKDEV_DIR) instead, and refuses any access to a real device node under /dev: a test can never
 * reach real hardware, whether or not a test bed is active. Harmless device files (null, zero, random,
 * tty, pts, shm, fd) stay reachable. Load it before libumockdev-preload.so.0. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#define ATTACH_SOCKET "zevsim.attach" /* kAttachSocketName of the host */
#define NEXT(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

static const char* bed(void)
{
    const char* d = getenv("UMOCKDEV_DIR");
    return d && *d ? d : NULL;
}

static int umockdev_loaded(void)
{
    const char* p = getenv("LD_PRELOAD");
    return p && strstr(p, "libumockdev-preload") != NULL;
}

/* Lexically normalised absolute form of (dirfd, path); 0 when it cannot be formed. */
static int absolute(int dirfd, const char* path, char* out, size_t size)
{
    char raw[PATH_MAX * 2];
    if (!path) return 0;
    if (path[0] == '/') {
        snprintf(raw, sizeof raw, "%s", path);
    } else {
        char base[PATH_MAX];
        if (dirfd == AT_FDCWD) {
            if (!getcwd(base, sizeof base)) return 0;
        } else {
            char link[64];
            snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
            ssize_t n = readlink(link, base, sizeof base - 1);
            if (n <= 0) return 0;
            base[n] = '\0';
        }
        snprintf(raw, sizeof raw, "%s/%s", base, path);
    }
    /* collapse "//", "." and ".." */
    size_t len = 0;
    const char* p = raw;
    out[0] = '\0';
    while (*p) {
        while (*p == '/') ++p;
        if (!*p) break;
        const char* e = strchr(p, '/');
        size_t n = e ? (size_t)(e - p) : strlen(p);
        if (n == 1 && p[0] == '.') {
            /* nothing */
        } else if (n == 2 && p[0] == '.' && p[1] == '.') {
            while (len > 0 && out[len - 1] != '/') --len;
            if (len > 0) --len;
            out[len] = '\0';
        } else {
            if (len + n + 2 >= size) return 0;
            out[len++] = '/';
            memcpy(out + len, p, n);
            len += n;
            out[len] = '\0';
        }
        p += n;
    }
    if (len == 0) snprintf(out, size, "/");
    return 1;
}

static int under_dev(const char* abs) { return strncmp(abs, "/dev/", 5) == 0 || strcmp(abs, "/dev") == 0; }

static int harmless(const char* abs)
{
    static const char* const names[] = {"/dev/null",    "/dev/zero",   "/dev/full",    "/dev/random",
                                        "/dev/urandom", "/dev/tty",    "/dev/ptmx",    "/dev/stdin",
                                        "/dev/stdout",  "/dev/stderr", "/dev/console", NULL};
    static const char* const dirs[] = {"/dev/pts/", "/dev/shm/", "/dev/fd/", "/dev/mqueue/", NULL};
    for (int i = 0; names[i]; ++i)
        if (strcmp(abs, names[i]) == 0) return 1;
    for (int i = 0; dirs[i]; ++i)
        if (strncmp(abs, dirs[i], strlen(dirs[i])) == 0) return 1;
    return strcmp(abs, "/dev") == 0;
}

static int bed_lstat(const char* abs, struct stat* st)
{
    char full[PATH_MAX * 2];
    const char* b = bed();
    if (!b) return -1;
    snprintf(full, sizeof full, "%s%s", b, abs);
    return (int)syscall(SYS_newfstatat, AT_FDCWD, full, st, AT_SYMLINK_NOFOLLOW);
}

/* An open of a device node is allowed only when it is harmless or umockdev will redirect it into the
 * test bed (the bed has it and umockdev is loaded). */
static int open_denied(int dirfd, const char* path)
{
    char abs[PATH_MAX];
    if (!absolute(dirfd, path, abs, sizeof abs) || !under_dev(abs) || harmless(abs)) return 0;
    struct stat st;
    return !(bed() && umockdev_loaded() && bed_lstat(abs, &st) == 0);
}

static void node_link_name(const char* abs, char* out, size_t size)
{
    snprintf(out, size, "%s", abs + 5);
    for (char* c = out; *c; ++c)
        if (*c == '/') *c = '_';
}

/* mknod into the test bed: an empty file plus dev/.node/<name> -> "major:minor". */
static int bed_mknod(const char* abs, mode_t mode, dev_t dev)
{
    const char* b = bed();
    if (!b) {
        errno = EPERM;
        return -1;
    }
    char full[PATH_MAX * 2], link[PATH_MAX * 2], name[PATH_MAX], target[64];
    snprintf(full, sizeof full, "%s%s", b, abs);
    int fd = (int)syscall(SYS_openat, AT_FDCWD, full, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    close(fd);
    if (S_ISBLK(mode)) syscall(SYS_fchmodat, AT_FDCWD, full, 01644);
    if (S_ISCHR(mode) || S_ISBLK(mode)) {
        node_link_name(abs, name, sizeof name);
        snprintf(link, sizeof link, "%s/dev/.node", b);
        syscall(SYS_mkdirat, AT_FDCWD, link, 0755);
        snprintf(link, sizeof link, "%s/dev/.node/%s", b, name);
        snprintf(target, sizeof target, "%u:%u", major(dev), minor(dev));
        syscall(SYS_unlinkat, AT_FDCWD, link, 0);
        if (syscall(SYS_symlinkat, target, AT_FDCWD, link) != 0) return -1;
    }
    return 0;
}

static int bed_unlink(const char* abs, int flags)
{
    const char* b = bed();
    if (!b) {
        errno = EPERM;
        return -1;
    }
    char full[PATH_MAX * 2], link[PATH_MAX * 2], name[PATH_MAX];
    snprintf(full, sizeof full, "%s%s", b, abs);
    if (syscall(SYS_unlinkat, AT_FDCWD, full, flags) != 0) return -1;
    if (!(flags & AT_REMOVEDIR)) {
        node_link_name(abs, name, sizeof name);
        snprintf(link, sizeof link, "%s/dev/.node/%s", b, name);
        syscall(SYS_unlinkat, AT_FDCWD, link, 0);
    }
    return 0;
}

/* ---- node creation and removal ---- */

int mknodat(int dirfd, const char* path, mode_t mode, dev_t dev)
{
    char abs[PATH_MAX];
    if (absolute(dirfd, path, abs, sizeof abs) && under_dev(abs)) return bed_mknod(abs, mode, dev);
    return NEXT(mknodat)(dirfd, path, mode, dev);
}
int mknod(const char* path, mode_t mode, dev_t dev) { return mknodat(AT_FDCWD, path, mode, dev); }

int unlinkat(int dirfd, const char* path, int flags)
{
    char abs[PATH_MAX];
    if (absolute(dirfd, path, abs, sizeof abs) && under_dev(abs)) return bed_unlink(abs, flags);
    return NEXT(unlinkat)(dirfd, path, flags);
}
int unlink(const char* path)
{
    char abs[PATH_MAX];
    if (absolute(AT_FDCWD, path, abs, sizeof abs) && under_dev(abs)) return bed_unlink(abs, 0);
    return NEXT(unlink)(path);
}
int rmdir(const char* path)
{
    char abs[PATH_MAX];
    if (absolute(AT_FDCWD, path, abs, sizeof abs) && under_dev(abs)) return bed_unlink(abs, AT_REMOVEDIR);
    return NEXT(rmdir)(path);
}
int remove(const char* path)
{
    char abs[PATH_MAX];
    if (absolute(AT_FDCWD, path, abs, sizeof abs) && under_dev(abs)) {
        struct stat st;
        if (bed_lstat(abs, &st) == 0 && S_ISDIR(st.st_mode)) return bed_unlink(abs, AT_REMOVEDIR);
        return bed_unlink(abs, 0);
    }
    return NEXT(remove)(path);
}

/* Every wrapper below runs a guard on one path, then the next definition: int name params calls
 * guard(dirfd, path), which may return -1, and then the next name with args. */
#define GUARDED(guard, dirfd, path, name, params, args) \
    int name params                                     \
    {                                                   \
        guard(dirfd, path);                             \
        return NEXT(name) args;                         \
    }

/* ---- other changes to /dev are refused ---- */

#define REFUSE_IF_DEV(dirfd, path)                                             \
    do {                                                                       \
        char abs_[PATH_MAX];                                                   \
        if (absolute((dirfd), (path), abs_, sizeof abs_) && under_dev(abs_)) { \
            errno = EPERM;                                                     \
            return -1;                                                         \
        }                                                                      \
    } while (0)

int rename(const char* a, const char* b)
{
    REFUSE_IF_DEV(AT_FDCWD, a);
    REFUSE_IF_DEV(AT_FDCWD, b);
    return NEXT(rename)(a, b);
}
int renameat(int fa, const char* a, int fb, const char* b)
{
    REFUSE_IF_DEV(fa, a);
    REFUSE_IF_DEV(fb, b);
    return NEXT(renameat)(fa, a, fb, b);
}
int renameat2(int fa, const char* a, int fb, const char* b, unsigned int flags)
{
    REFUSE_IF_DEV(fa, a);
    REFUSE_IF_DEV(fb, b);
    return NEXT(renameat2)(fa, a, fb, b, flags);
}
GUARDED(REFUSE_IF_DEV, AT_FDCWD, p, chmod, (const char* p, mode_t m), (p, m))
GUARDED(REFUSE_IF_DEV, d, p, fchmodat, (int d, const char* p, mode_t m, int f), (d, p, m, f))
GUARDED(REFUSE_IF_DEV, AT_FDCWD, p, chown, (const char* p, uid_t u, gid_t g), (p, u, g))
GUARDED(REFUSE_IF_DEV, AT_FDCWD, p, lchown, (const char* p, uid_t u, gid_t g), (p, u, g))
GUARDED(REFUSE_IF_DEV, d, p, fchownat, (int d, const char* p, uid_t u, gid_t g, int f), (d, p, u, g, f))
GUARDED(REFUSE_IF_DEV, AT_FDCWD, p, symlink, (const char* t, const char* p), (t, p))
GUARDED(REFUSE_IF_DEV, d, p, symlinkat, (const char* t, int d, const char* p), (t, d, p))
GUARDED(REFUSE_IF_DEV, AT_FDCWD, b, link, (const char* a, const char* b), (a, b))
GUARDED(REFUSE_IF_DEV, AT_FDCWD, p, truncate, (const char* p, off_t l), (p, l))
GUARDED(REFUSE_IF_DEV, AT_FDCWD, p, mkdir, (const char* p, mode_t m), (p, m))

/* ---- opens of real device nodes are refused ---- */

static mode_t open_mode(int flags, va_list ap)
{
    return (flags & (O_CREAT | __O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
}

/* The emulated host attaches its driver to a disk node when a process first opens it (every node it
 * listens on slows every emulated ioctl): ask it over its socket in the test bed, and wait for the
 * answer, before umockdev looks for the node's ioctl socket. Raw system calls: umockdev wraps the
 * library's socket calls. */
static void request_attach(const char* abs)
{
    const char* b = bed();
    char sock[PATH_MAX * 2];
    struct stat st;
    struct sockaddr_un addr;
    if (!b) return;
    snprintf(sock, sizeof sock, "%s/ioctl%s", b, abs);
    if (syscall(SYS_newfstatat, AT_FDCWD, sock, &st, AT_SYMLINK_NOFOLLOW) == 0) return; /* attached */
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (snprintf(addr.sun_path, sizeof addr.sun_path, "%s/" ATTACH_SOCKET, b) >= (int)sizeof addr.sun_path) return;
    int saved = errno;
    int fd = (int)syscall(SYS_socket, AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        if (syscall(SYS_connect, fd, &addr, sizeof addr) == 0 &&
            syscall(SYS_write, fd, abs, strlen(abs)) == (long)strlen(abs) && syscall(SYS_shutdown, fd, SHUT_WR) == 0) {
            char answer;
            while (syscall(SYS_read, fd, &answer, 1) < 0 && errno == EINTR) {
            }
        }
        syscall(SYS_close, fd);
    }
    errno = saved;
}

/* Refuses a real device node; attaches an emulated one the host has not attached yet. */
static int open_check(int dirfd, const char* path)
{
    char abs[PATH_MAX];
    struct stat st;
    if (!absolute(dirfd, path, abs, sizeof abs) || !under_dev(abs) || harmless(abs)) return 0;
    if (!(bed() && umockdev_loaded() && bed_lstat(abs, &st) == 0)) return 1;
    request_attach(abs);
    return 0;
}

/* A path the guard turns away does not exist: -1 with ENOENT. */
#define ENOENT_IF(test)     \
    do {                    \
        if (test) {         \
            errno = ENOENT; \
            return -1;      \
        }                   \
    } while (0)
#define OPEN_GUARD(dirfd, path) ENOENT_IF(open_check((dirfd), (path)))

/* The variadic opens: the mode argument is read only when the flags say there is one. */
#define GUARDED_OPEN(name, dirfd, params, args) \
    int name params                             \
    {                                           \
        va_list ap;                             \
        va_start(ap, flags);                    \
        mode_t m = open_mode(flags, ap);        \
        va_end(ap);                             \
        OPEN_GUARD(dirfd, path);                \
        return NEXT(name) args;                 \
    }

GUARDED_OPEN(open, AT_FDCWD, (const char* path, int flags, ...), (path, flags, m))
GUARDED_OPEN(open64, AT_FDCWD, (const char* path, int flags, ...), (path, flags, m))
GUARDED_OPEN(openat, dirfd, (int dirfd, const char* path, int flags, ...), (dirfd, path, flags, m))
GUARDED_OPEN(openat64, dirfd, (int dirfd, const char* path, int flags, ...), (dirfd, path, flags, m))
GUARDED(OPEN_GUARD, AT_FDCWD, path, __open_2, (const char* path, int flags), (path, flags))
GUARDED(OPEN_GUARD, AT_FDCWD, path, __open64_2, (const char* path, int flags), (path, flags))
GUARDED(OPEN_GUARD, dirfd, path, __openat_2, (int dirfd, const char* path, int flags), (dirfd, path, flags))
GUARDED(OPEN_GUARD, dirfd, path, __openat64_2, (int dirfd, const char* path, int flags), (dirfd, path, flags))
GUARDED(OPEN_GUARD, AT_FDCWD, path, creat, (const char* path, mode_t m), (path, m))
GUARDED(OPEN_GUARD, AT_FDCWD, path, creat64, (const char* path, mode_t m), (path, m))
FILE* fopen(const char* path, const char* mode)
{
    if (open_check(AT_FDCWD, path)) {
        errno = ENOENT;
        return NULL;
    }
    return NEXT(fopen)(path, mode);
}
FILE* fopen64(const char* path, const char* mode)
{
    if (open_check(AT_FDCWD, path)) {
        errno = ENOENT;
        return NULL;
    }
    return NEXT(fopen64)(path, mode);
}
FILE* freopen(const char* path, const char* mode, FILE* f)
{
    if (path && open_check(AT_FDCWD, path)) {
        errno = ENOENT;
        return NULL;
    }
    return NEXT(freopen)(path, mode, f);
}

/* ---- device nodes that the test bed lacks do not exist ----
 * Without this, a host with real controllers would show its own nodes to a test (umockdev passes a
 * path it does not have on to the real /dev). */

#define STAT_GUARD(dirfd, path) ENOENT_IF(open_denied((dirfd), (path)))

struct statx;
GUARDED(STAT_GUARD, AT_FDCWD, p, stat, (const char* p, struct stat* st), (p, st))
GUARDED(STAT_GUARD, AT_FDCWD, p, lstat, (const char* p, struct stat* st), (p, st))
GUARDED(STAT_GUARD, AT_FDCWD, p, stat64, (const char* p, struct stat64* st), (p, st))
GUARDED(STAT_GUARD, AT_FDCWD, p, lstat64, (const char* p, struct stat64* st), (p, st))
GUARDED(STAT_GUARD, d, p, fstatat, (int d, const char* p, struct stat* st, int f), (d, p, st, f))
GUARDED(STAT_GUARD, d, p, fstatat64, (int d, const char* p, struct stat64* st, int f), (d, p, st, f))
GUARDED(STAT_GUARD, d, p, statx, (int d, const char* p, int f, unsigned int mask, struct statx* st),
        (d, p, f, mask, st))
GUARDED(STAT_GUARD, AT_FDCWD, p, access, (const char* p, int m), (p, m))
GUARDED(STAT_GUARD, d, p, faccessat, (int d, const char* p, int m, int f), (d, p, m, f))
