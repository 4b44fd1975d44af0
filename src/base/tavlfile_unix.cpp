/*
 * tavlfile_unix.cpp - the platform file layer on POSIX systems: the file
 * primitives of tavlfile_sys.h, stream sizes, and read-only mappings.
 *
 * New files. On Linux a new file is made without a name (O_TMPFILE in its
 * directory) and named through /proc/self/fd once complete; elsewhere, or
 * where the file system refuses, it is made under a temporary name. A new
 * file takes the replaced file's permission bits when it is created (never
 * wider), and its owner and group where the saver may give them.
 *
 * Naming. A move over the old file (rename) replaces it in one step; a
 * name that must not be taken is made by a hard link, which fails on a
 * taken name, and where the file system keeps no hard links, on Linux by a
 * move that refuses a taken name (renameat2 with RENAME_NOREPLACE). The
 * directory is synced after a name changes.
 *
 * Mappings. A file is opened without waiting (O_NONBLOCK: a FIFO without a
 * writer would block an ordinary open) and refused unless it is a regular
 * file; it is mapped shared and read-only, and the descriptor closed at
 * once: the view stays valid until it is unmapped, and processes that map
 * one file share its page-cache bytes. The access hint goes to the file
 * (posix_fadvise) and to the view (posix_madvise).
 */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "base/tavlfile.h"
#include "base/tavlfile_sys.h"
#include "base/tavlhost.h"

/* Symbolic links followed before a save gives up (as the kernel does). */
#define MAX_LINK_HOPS 40

/* What the error of an open or a look at a path says. */
static FileResult OpenFailure(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ELOOP:
    case ENAMETOOLONG:
        return FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY:
        return FILE_DENIED;
    default:
        return FILE_CANNOT_OPEN;
    }
}

/* Errors of a file system that keeps no hard links (FAT, some network and
 * user-space file systems) or cannot move without replacing. */
static int PlacingRefused(int error) {
    return error == EPERM || error == ENOTSUP || error == EOPNOTSUPP ||
           error == ENOSYS || error == EINVAL;
}

/* What the error of a link or move that must not replace says: the name
 * is taken, the file system cannot place so, or the placing failed. */
static int PlaceFailure(int error) {
    return error == EEXIST ? FILE_EXISTS
           : PlacingRefused(error) ? PLACE_UNSUPPORTED
                                   : FILE_CANNOT_PLACE;
}

/* ---- Names and targets ------------------------------------------------- */

int SysIsSeparator(char c) { return c == '/'; }

uint32_t SysProcessId(void) { return (uint32_t)getpid(); }

FileResult SysResolveTarget(const char *path, Target *t) {
    t->name = FileNameCopy(path, strlen(path), 0);
    if (!t->name) return FILE_NO_MEMORY;
    for (int hops = 0;; hops++) {
        struct stat st;
        if (lstat(t->name, &st) != 0) {
            /* A new file, also at the end of a dangling link. */
            return errno == ENOENT ? FILE_OK : OpenFailure(errno);
        }
        if (!S_ISLNK(st.st_mode)) {
            t->exists = 1;
            t->regular = S_ISREG(st.st_mode);
            t->like.mode = (uint32_t)(st.st_mode & 07777);
            t->like.owner = st.st_uid;
            t->like.group = st.st_gid;
            return FILE_OK;
        }
        if (hops == MAX_LINK_HOPS) return FILE_NOT_FOUND;
        char link[4096];
        ssize_t n = readlink(t->name, link, sizeof link);
        if (n <= 0 || (size_t)n >= sizeof link) return FILE_NOT_FOUND;
        /* A relative link is relative to the directory that holds it. */
        size_t dir = link[0] == '/' ? 0 : FileDirectoryLength(t->name);
        char *next = FileNameCopy(t->name, dir, (size_t)n);
        if (!next) return FILE_NO_MEMORY;
        memcpy(next + dir, link, (size_t)n);
        next[dir + (size_t)n] = '\0';
        qmem_free(t->name);
        t->name = next;
    }
}

/* Replacing needs only the directory's permission; a file the caller could
 * not write itself (its permission bits, a read-only file system) is not
 * replaced behind its back. */
int SysMayWrite(const Target *t) {
    return faccessat(AT_FDCWD, t->name, W_OK, AT_EACCESS) == 0;
}

/* ---- Descriptors -------------------------------------------------------- */

static mode_t ModeOf(const FileLike *like) {
    return like ? (mode_t)(like->mode & 0777) : 0666;
}

/* Gives a new file the owner and group of the file it replaces where the
 * caller may (root may; an owner may keep a group it is a member of), then
 * its permission bits; a change of owner clears set-id bits, so the bits
 * come second. Where the owner cannot be given, the file stays the saver's,
 * as a new file would. */
static void TakeOwnerAndMode(int fd, const FileLike *like) {
    if (!like) return;
    const uid_t owner = (uid_t)like->owner;
    const gid_t group = (gid_t)like->group;
    struct stat now;
    if (fstat(fd, &now) == 0 && (now.st_uid != owner || now.st_gid != group)) {
        if (fchown(fd, owner, group) != 0) (void)fchown(fd, (uid_t)-1, group);
    }
    /* Best effort: a file system without permission bits still saves. */
    (void)fchmod(fd, (mode_t)(like->mode & 07777));
}

int SysCreateUnnamed(const char *dir, const FileLike *like, int *fd) {
#if defined(__linux__) && defined(O_TMPFILE)
    /* Unnamed files are named later through /proc; without it, named. */
    if (access("/proc/self/fd", X_OK) != 0) return 0;
    *fd = open(dir, O_TMPFILE | O_WRONLY | O_CLOEXEC, ModeOf(like));
    if (*fd < 0) return 0;
    TakeOwnerAndMode(*fd, like);
    return 1;
#else
    (void)dir;
    (void)like;
    (void)fd;
    return 0;
#endif
}

FileResult SysCreate(const char *name, const FileLike *like, int *fd) {
    *fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, ModeOf(like));
    if (*fd < 0) return errno == EEXIST ? FILE_EXISTS : FILE_CANNOT_CREATE;
    TakeOwnerAndMode(*fd, like);
    return FILE_OK;
}

FileResult SysOpenInPlace(const char *name, int *fd) {
    *fd = open(name, O_WRONLY | O_TRUNC | O_CLOEXEC);
    return *fd >= 0 ? FILE_OK : OpenFailure(errno);
}

int SysWriteAll(int fd, const char *bytes, size_t size) {
    while (size) {
        /* At most 1 GiB in one call: some systems take no more than 2 GiB. */
        size_t chunk = size > ((size_t)1 << 30) ? ((size_t)1 << 30) : size;
        ssize_t n = write(fd, bytes, chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        bytes += n;
        size -= (size_t)n;
    }
    return 1;
}

int SysWriteAt(int fd, uint64_t offset, const char *bytes, size_t size) {
    while (size) {
        ssize_t n = pwrite(fd, bytes, size, (off_t)offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        bytes += n;
        offset += (uint64_t)n;
        size -= (size_t)n;
    }
    return 1;
}

void SysStartWriteback(int fd, uint64_t from, uint64_t size) {
#if defined(__linux__) && defined(SYNC_FILE_RANGE_WRITE)
    (void)sync_file_range(fd, (off64_t)from, (off64_t)size, SYNC_FILE_RANGE_WRITE);
#else
    (void)fd;
    (void)from;
    (void)size;
#endif
}

int SysSync(int fd) { return fsync(fd) == 0; }

int SysClose(int fd) { return close(fd) == 0; }

/* ---- Naming ------------------------------------------------------------- */

int SysLinkUnnamed(int fd, const char *name) {
    char proc[48];
    snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, proc, AT_FDCWD, name, AT_SYMLINK_FOLLOW) == 0
               ? FILE_OK
               : PlaceFailure(errno);
}

int SysMove(const char *from, const char *to, int replace, int *left) {
    *left = 1;
    if (replace) {
        if (rename(from, to) != 0) return FILE_CANNOT_PLACE;
        *left = 0;
        return FILE_OK;
    }
    if (link(from, to) == 0) return FILE_OK; /* a second name, which never replaces one */
    int rc = PlaceFailure(errno);
#if defined(__linux__) && defined(RENAME_NOREPLACE)
    /* Where links are refused, a move that refuses a taken name. */
    if (rc == PLACE_UNSUPPORTED) {
        if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
            *left = 0;
            return FILE_OK;
        }
        rc = PlaceFailure(errno);
    }
#endif
    return rc;
}

void SysSyncDirectory(const char *dir) {
    int fd = open(dir, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        (void)fsync(fd);
        close(fd);
    }
}

/* ---- Sizes and mappings ------------------------------------------------- */

int64_t FileStreamSize(FILE *stream) {
    struct stat st;
    if (fstat(fileno(stream), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return (int64_t)st.st_size;
}

void AdviseWillNeed(const void *bytes, size_t size) {
    /* The advice is given for whole pages. */
    const uintptr_t page = (uintptr_t)sysconf(_SC_PAGESIZE);
    uintptr_t start = (uintptr_t)bytes & ~(page - 1);
    (void)posix_madvise((void *)start, (uintptr_t)bytes + size - start,
                        POSIX_MADV_WILLNEED);
}

void AdviseLargePages(void *bytes, size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    /* Only the whole large pages inside the block can be given. */
    const uintptr_t large = (uintptr_t)2 << 20;
    uintptr_t start = ((uintptr_t)bytes + large - 1) & ~(large - 1);
    uintptr_t end = ((uintptr_t)bytes + size) & ~(large - 1);
    if (end > start) (void)madvise((void *)start, end - start, MADV_HUGEPAGE);
#else
    (void)bytes;
    (void)size;
#endif
}

FileResult MapFileReadOnly(const char *path, int hint, const char **view,
                           uint64_t *size, HeldFile *held) {
    *view = NULL;
    *size = 0;
    if (held) held->handle = -1;
    if (!path) return FILE_NOT_FOUND;
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return OpenFailure(errno);
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return FILE_CANNOT_OPEN;
    }
    FileResult rc = FILE_OK;
    const uint64_t bytes = (uint64_t)st.st_size;
    if (!S_ISREG(st.st_mode))
        rc = FILE_NOT_REGULAR;
    else if (bytes == 0)
        rc = FILE_CANNOT_MAP; /* nothing to map */
    else if ((uint64_t)(size_t)bytes != bytes)
        rc = FILE_TOO_LARGE;
    if (rc != FILE_OK) {
        close(fd);
        return rc;
    }
    const size_t length = (size_t)bytes;
    /* Read in order, the file's own read-ahead may take larger steps; read
     * here and there, the mapping's advice below says all there is. */
    if (hint == ACCESS_SEQUENTIAL) (void)posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    void *mapped = mmap(NULL, length, PROT_READ, MAP_SHARED, fd, 0);
    /* The view keeps the file. */
    if (mapped == MAP_FAILED || !held) close(fd);
    if (mapped == MAP_FAILED) return FILE_CANNOT_MAP;
    if (held) held->handle = fd;
    (void)posix_madvise(mapped, length,
                        hint == ACCESS_SEQUENTIAL ? POSIX_MADV_SEQUENTIAL
                                                  : POSIX_MADV_RANDOM);
    *view = (const char *)mapped;
    *size = bytes;
    return FILE_OK;
}

FileResult HeldFileRead(const HeldFile *file, uint64_t offset, void *buffer,
                        size_t n, size_t *got) {
    *got = 0;
    const int fd = (int)file->handle;
    if (fd < 0) return FILE_IO;
    while (*got < n) {
        ssize_t r = pread(fd, (char *)buffer + *got, n - *got, (off_t)(offset + *got));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return FILE_IO;
        if (r == 0) break;
        *got += (size_t)r;
    }
    return FILE_OK;
}

void HeldFileClose(HeldFile *file) {
    if (file->handle >= 0) close((int)file->handle);
    file->handle = -1;
}

FileResult UnmapFile(const char *view, uint64_t size) {
    if (!view) return FILE_OK;
    if ((uint64_t)(size_t)size != size) return FILE_NOT_MAPPED;
    return munmap((void *)view, (size_t)size) == 0 ? FILE_OK : FILE_NOT_MAPPED;
}
