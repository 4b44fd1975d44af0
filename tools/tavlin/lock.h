// lock.h - the advisory lock that tavlin's edits take around load, change
// and save, so that edits of one table from parallel tavlin processes are
// applied one after another and none is lost.
//
// The lock is held on a lock file beside the table, ".NAME.lock" for the
// table NAME (after symbolic links are followed), created by the first
// edit and then left in place: a save replaces the table by renaming a new
// file over it, which a lock on the table itself would not survive. POSIX
// systems take flock(LOCK_EX) on it, Windows LockFileEx. Only tavlin's own
// edits take the lock; the library's callers and other programs do not.
// An edit that made the lock file and then fails removes it again, while
// it still holds the lock; an edit that waited on a lock file that is gone
// when it gets the lock takes the lock anew, so no two edits ever hold
// locks on different files. Removing a lock file while no edit runs is
// harmless.
#pragma once

#include <string>

namespace tavlin {

class EditLock {
public:
    EditLock() = default;
    EditLock(const EditLock &) = delete;
    EditLock &operator=(const EditLock &) = delete;
    ~EditLock();

    // Waits until this process holds the lock of the table at path. False,
    // with a sentence in *error, when the lock file cannot be opened; true
    // without a lock when the table's folder does not exist (no save can
    // make the table there, and the save reports that).
    bool Acquire(const std::string &path, std::string *error);

    // Where the lock of the table at path is kept.
    static std::string LockPath(const std::string &path);

    // The edit succeeded: the lock file stays for the next edit.
    void Keep() { keep_ = true; }

private:
    std::string path_;
    bool made_ = false, keep_ = false;
#if defined(_WIN32)
    void *handle_ = nullptr;
#else
    bool Open(const std::string &lock, int *fd, bool *made, std::string *error);
    int fd_ = -1;
#endif
};

} // namespace tavlin
