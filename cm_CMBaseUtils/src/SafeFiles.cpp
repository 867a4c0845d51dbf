#include "SafeFiles.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace SafeFiles {

namespace {

bool g_documentFailed = false;

// The folder part of a path ("." for a bare name, "/" for a name in the root).
std::string folderPart(const std::string& path)
{
    std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string basePart(const std::string& path)
{
    std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string resolvedFolder(const std::string& folder)
{
    char* real = ::realpath(folder.c_str(), nullptr);
    if (real == nullptr) return std::string();
    std::string text(real);
    std::free(real);
    return text;
}

int closeKeepingErrno(int fd, int error)
{
    ::close(fd);
    errno = error;
    return -1;
}

}  // namespace

void openClosedStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // open gives the lowest free descriptor, which is this one.
        int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
}

int openRegularForWriting(const std::string& path, bool truncate, bool append)
{
    int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (append ? O_APPEND : 0);
    int fd = ::open(path.c_str(), flags, kCreateMode);
    if (fd < 0) return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0) return closeKeepingErrno(fd, errno);
    if (!S_ISREG(st.st_mode)) return closeKeepingErrno(fd, EINVAL);
    // Only now: O_TRUNC at open would act on whatever was there.
    if (truncate && ::ftruncate(fd, 0) != 0) return closeKeepingErrno(fd, errno);
    int status = ::fcntl(fd, F_GETFL);
    if (status == -1 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) return closeKeepingErrno(fd, errno);
    return fd;
}

bool isRegularFile(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool writeAll(int fd, const std::string& text, std::string& reason)
{
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            // EINTR means a termination signal reached the update's handler: a reader that never
            // drains the pipe must not keep the run alive, so the write ends here.
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                struct pollfd pfd = {fd, POLLOUT, 0};
                if (::poll(&pfd, 1, -1) >= 0) continue;
            }
            reason = std::strerror(errno);
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

bool replaceFile(const std::string& path, const std::string& text, std::string& reason)
{
    const std::string folder = folderPart(path);
    const std::string prefix = (folder == "/" ? std::string() : folder) + "/." + basePart(path) + ".";
    static unsigned int s_counter = 0;
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = prefix + std::to_string(::getpid()) + "." + std::to_string(++s_counter);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kCreateMode);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    bool written = writeAll(fd, text, reason);
    if (written && ::fsync(fd) != 0 && errno != EINVAL) {
        reason = std::strerror(errno);
        written = false;
    }
    if (::close(fd) != 0 && written) {
        reason = std::strerror(errno);
        written = false;
    }
    // rename replaces a link in path's place, never what it points to.
    if (written && ::rename(temporary.c_str(), path.c_str()) != 0) {
        reason = std::strerror(errno);
        written = false;
    }
    if (!written) {
        ::unlink(temporary.c_str());
        return false;
    }
    int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

std::string outputTargetProblem(const std::string& path)
{
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) {
        if (S_ISREG(st.st_mode)) return std::string();
        if (S_ISLNK(st.st_mode)) return "is a symbolic link";
        if (S_ISDIR(st.st_mode)) return "is a directory";
        return "is not a regular file";
    }
    if (errno != ENOENT) return std::strerror(errno);
    struct stat folder;
    if (::stat(folderPart(path).c_str(), &folder) != 0) return std::strerror(errno);
    if (!S_ISDIR(folder.st_mode)) return std::strerror(ENOTDIR);
    return std::string();
}

Identity identify(const std::string& path)
{
    Identity id;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
        id.exists = true;
        id.device = st.st_dev;
        id.inode = st.st_ino;
    }
    const std::string folder = resolvedFolder(folderPart(path));
    if (!folder.empty()) id.resolved = (folder == "/" ? std::string() : folder) + "/" + basePart(path);
    return id;
}

bool sameFile(const Identity& a, const Identity& b)
{
    if (a.exists && b.exists && a.device == b.device && a.inode == b.inode) return true;
    return !a.resolved.empty() && a.resolved == b.resolved;
}

Identity folderOf(const std::string& path) { return identify(folderPart(path)); }

void reportDocumentFailure(const std::string& target, const std::string& reason)
{
    g_documentFailed = true;
    const std::string where = target.empty() ? std::string("standard output") : target;
    const std::string line = "zevupdate: cannot write the result document to " + where + ": " + reason + "\n";
    std::string ignored;
    writeAll(STDERR_FILENO, line, ignored);
}

bool documentFailed() { return g_documentFailed; }

}  // namespace SafeFiles
