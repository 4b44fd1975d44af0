// lock.cpp - the edit lock: a lock file beside the table.
#include "lock.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <fcntl.h>
#  include <sys/file.h>
#  include <sys/stat.h>
#  include <unistd.h>
#endif

namespace tavlin {

namespace fs = std::filesystem;

std::string EditLock::LockPath(const std::string &path) {
    // Every name of the table leads to the same lock: links are followed
    // as the save follows them.
    std::error_code ec;
    fs::path target = fs::weakly_canonical(fs::path(path), ec);
    if (ec) target = fs::absolute(fs::path(path), ec);
    if (ec) target = fs::path(path);
    fs::path lock = target.parent_path() / ("." + target.filename().string() + ".lock");
    return lock.string();
}

#if defined(_WIN32)

EditLock::~EditLock() {
    if (handle_) CloseHandle(static_cast<HANDLE>(handle_)); // releases the lock
}

bool EditLock::Acquire(const std::string &path, std::string *error) {
    const std::string lock = LockPath(path);
    HANDLE h = CreateFileA(lock.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PATH_NOT_FOUND)
        return true; // no folder: the save cannot make the table either, and says so
    if (h == INVALID_HANDLE_VALUE) {
        *error = "the lock file '" + lock + "' could not be opened (Windows error " +
                 std::to_string(GetLastError()) + ")";
        return false;
    }
    OVERLAPPED at = {};
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at)) {
        *error = "the lock file '" + lock + "' could not be locked (Windows error " +
                 std::to_string(GetLastError()) + ")";
        CloseHandle(h);
        return false;
    }
    handle_ = h;
    return true;
}

#else

EditLock::~EditLock() {
    if (fd_ < 0) return;
    // A failed edit leaves no lock file it made; the lock is still held, so
    // no other edit works under it meanwhile.
    if (made_ && !keep_) unlink(path_.c_str());
    close(fd_); // releases the lock
}

bool EditLock::Acquire(const std::string &path, std::string *error) {
    const std::string lock = LockPath(path);
    for (;;) {
        bool made = false;
        int fd = -1;
        if (!Open(lock, &fd, &made, error)) return false;
        if (fd < 0) return true; // no folder: the save says so
        int rc;
        while ((rc = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
        }
        if (rc != 0) {
            *error = "the lock file '" + lock + "' could not be locked: " + std::strerror(errno);
            close(fd);
            return false;
        }
        // The file may have been removed by the edit that held it: then
        // this lock guards nothing, and the one at the name is taken anew.
        struct stat held, named;
        if (fstat(fd, &held) == 0 && stat(lock.c_str(), &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            fd_ = fd;
            path_ = lock;
            made_ = made;
            return true;
        }
        close(fd);
    }
}

// Opens the lock file, making it when it is not there (*made). *fd stays
// -1 without an error when the folder does not exist.
bool EditLock::Open(const std::string &lock, int *fd, bool *made, std::string *error) {
    *made = false;
    *fd = open(lock.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (*fd >= 0) {
        *made = true;
        return true;
    }
    if (errno == EEXIST) *fd = open(lock.c_str(), O_RDWR | O_CLOEXEC);
    // A lock file made by another user may be read-only to us; a shared
    // descriptor locks as well.
    if (*fd < 0 && (errno == EACCES || errno == EROFS))
        *fd = open(lock.c_str(), O_RDONLY | O_CLOEXEC);
    if (*fd >= 0) return true;
    if (errno == ENOENT) return true; // no folder: the save says so
    *error = "the lock file '" + lock + "' could not be opened: " + std::strerror(errno);
    return false;
}

#endif

} // namespace tavlin
