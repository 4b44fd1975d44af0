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
    if (fd_ >= 0) close(fd_); // releases the lock
}

bool EditLock::Acquire(const std::string &path, std::string *error) {
    const std::string lock = LockPath(path);
    int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    // A lock file made by another user may be read-only to us; a shared
    // descriptor locks as well.
    if (fd < 0 && (errno == EACCES || errno == EROFS)) fd = open(lock.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) return true; // no folder: the save says so
    if (fd < 0) {
        *error = "the lock file '" + lock + "' could not be opened: " + std::strerror(errno);
        return false;
    }
    int rc;
    while ((rc = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (rc != 0) {
        *error = "the lock file '" + lock + "' could not be locked: " + std::strerror(errno);
        close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

#endif

} // namespace tavlin
