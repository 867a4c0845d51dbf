#pragma once
// How the tool touches the files around it. The working directory and the package folder may be
// shared with careless or hostile neighbours: every file the tool writes is a regular file or nothing
// (never through a link, never blocking on a FIFO or device), is created with mode 0644 (the umask may
// only remove bits), and a document is only ever replaced whole.

#include <sys/types.h>

#include <string>

namespace SafeFiles {

// Mode of every file the tool creates.
constexpr mode_t kCreateMode = 0644;

// Descriptors 0, 1 and 2 that are closed get /dev/null, so that no file the tool opens later takes
// their place (and receives a document meant for standard output).
void openClosedStandardDescriptors();

// Opens path for writing without following a link in its place and without blocking; creates it
// (kCreateMode) when missing. Anything but a regular file is closed again: -1 with errno set
// (ELOOP for a link, EINVAL for any other kind). truncate empties the file once it is known to be
// regular; append opens it in append mode. The descriptor is blocking and close-on-exec.
int openRegularForWriting(const std::string& path, bool truncate, bool append);

// True when path names a regular file (links not followed).
bool isRegularFile(const std::string& path);

// Writes all of text to fd (retrying short writes, waiting on a non-blocking descriptor). False with
// reason (the system's error text) when it could not, or when a signal interrupted it.
bool writeAll(int fd, const std::string& text, std::string& reason);

// Replaces path with a file holding exactly text: written to a new file in the same folder, flushed
// to disk and renamed over path, so that a reader sees the old or the new document, never a part.
// False with reason when anything failed; path is then as it was.
bool replaceFile(const std::string& path, const std::string& text, std::string& reason);

// "" when path may take a document: a regular file, or a name that does not exist yet in an existing
// folder. Otherwise the reason it may not (a link, a directory, a FIFO...).
std::string outputTargetProblem(const std::string& path);

// Identity of a file for aliasing checks: device and inode when it exists (links followed), and the
// absolute path with the folder's links resolved.
struct Identity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    std::string resolved;
};
Identity identify(const std::string& path);
// The same file: same device and inode, or the same resolved path.
bool sameFile(const Identity& a, const Identity& b);
// The folder that holds path (its identity), for "is this name inside that folder".
Identity folderOf(const std::string& path);

// Reports a document that could not be written completely: one line on standard error naming the
// target ("standard output" for an empty name) and the reason. The process then ends with status 1.
void reportDocumentFailure(const std::string& target, const std::string& reason);
// True once a document could not be written.
bool documentFailed();

}  // namespace SafeFiles
