/*
 * tavlfile_unix.cpp - the platform file layer on POSIX systems: the file
 * primitives of tavlfile_sys.h, stream sizes, and read-only mappings.
 *
 * New files. On Linux a new file is made without a name (O_TMPFILE in its
 * directory) and named through /proc/self/fd once complete; elsewhere, or
 * where the file system refuses, it is made under a temporary name. A new
 * file takes the replaced file's permission bits when it is created (never
 * wider), and its owner and group where the saver may give them; a new
 * file that cannot be given them is not used.
 *
 * System calls. Each goes through a small wrapper below, which makes it
 * again when a signal interrupts it (EINTR) and, in a build for the fault
 * sweep, first asks whether it is to fail. Every descriptor and stream is
 * close-on-exec. A close releases its descriptor even when it reports an
 * error or a signal (Linux), so it is never made twice: an interrupted
 * close counts as done, since every file whose bytes matter was synced
 * before its close.
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

#include "base/tavlbits.h"
#include "base/tavlfile.h"
#include "base/tavlfile_sys.h"
#include "base/tavlhost.h"

/* Symbolic links followed before a save gives up (as the kernel does). */
#define MAX_LINK_HOPS 40

/* ---- System calls ------------------------------------------------------- */

/* The error a fault stands for, as this call would meet it. */
static int FaultError(FileCall call, int fault) {
    switch (fault) {
    case FAULT_NO_SPACE: return ENOSPC;
    case FAULT_DENIED: return EACCES;
    case FAULT_READ_ONLY: return EROFS;
    case FAULT_CROSS_DEVICE: return EXDEV;
    case FAULT_NO_MEMORY: return ENOMEM;
    case FAULT_INTERRUPTED: return EINTR;
    case FAULT_UNSUPPORTED: /* as file systems without the feature answer */
        return call == CALL_LINK ? EPERM : call == CALL_MOVE_NOREPLACE ? EINVAL : EOPNOTSUPP;
    default: return EIO;
    }
}

/* The fault asked of this call (FAULT_NONE: none); errno holds its error. */
static inline int Fault(FileCall call) {
    int fault = FileFaultHit(call);
    if (fault != FAULT_NONE) errno = FaultError(call, fault);
    return fault;
}

/* result = a call that answers -1 and errno on failure, made again while
 * a signal interrupts it. */
#define RETRIED(result, call, expression)                                      \
    do {                                                                       \
        (result) = Fault(call) ? -1 : (expression);                            \
    } while ((result) == -1 && errno == EINTR)

static int Open(const char *path, int flags, mode_t mode, FileCall call) {
    int rc;
    RETRIED(rc, call, open(path, flags | O_CLOEXEC, mode));
    return rc;
}

static int Lstat(const char *path, struct stat *st) {
    int rc;
    RETRIED(rc, CALL_STAT, lstat(path, st));
    return rc;
}

static int Fstat(int fd, struct stat *st) {
    int rc;
    RETRIED(rc, CALL_STAT, fstat(fd, st));
    return rc;
}

static int Fchown(int fd, uid_t owner, gid_t group) {
    int rc;
    RETRIED(rc, CALL_OWNER, fchown(fd, owner, group));
    return rc;
}

static int Fchmod(int fd, mode_t mode) {
    int rc;
    RETRIED(rc, CALL_MODE, fchmod(fd, mode));
    return rc;
}

static int Fsync(int fd) {
    int rc;
    RETRIED(rc, CALL_SYNC, fsync(fd));
    return rc;
}

/* Releases fd whatever it answers. */
static int Close(int fd) {
    int fault = Fault(CALL_CLOSE);
    int rc = close(fd);
    return fault ? -1 : rc;
}

/* A write, or with offset >= 0 a write there; a short one where the fault
 * sweep asks for it. */
static ssize_t Write(int fd, const char *bytes, size_t n, int64_t offset) {
    ssize_t rc;
    do {
        int fault = Fault(CALL_WRITE);
        size_t take = fault == FAULT_SHORT && n > 1 ? n / 2 : n;
        if (fault != FAULT_NONE && fault != FAULT_SHORT) rc = -1;
        else rc = offset < 0 ? write(fd, bytes, take) : pwrite(fd, bytes, take, (off_t)offset);
    } while (rc == -1 && errno == EINTR);
    return rc;
}

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

/* Errors of a call the system or the file system will not make here at
 * all: no hard links or no moves that refuse a taken name (FAT, some
 * network and user-space file systems), an owner the caller may not give
 * or the file system cannot keep. */
static int Refused(int error) {
    return error == EPERM || error == ENOTSUP || error == EOPNOTSUPP ||
           error == ENOSYS || error == EINVAL;
}

/* What the error of a link or move that must not replace says: the name
 * is taken, the file system cannot place so, or the placing failed. */
static int PlaceFailure(int error) {
    return error == EEXIST   ? FILE_EXISTS
           : Refused(error) ? PLACE_UNSUPPORTED
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
        if (Lstat(t->name, &st) != 0) {
            /* A new file, also at the end of a dangling link. */
            return errno == ENOENT ? FILE_OK : OpenFailure(errno);
        }
        if (!S_ISLNK(st.st_mode)) {
            t->exists = 1;
            t->regular = S_ISREG(st.st_mode);
            t->folder = S_ISDIR(st.st_mode);
            t->like.mode = (uint32_t)(st.st_mode & 07777);
            t->like.owner = st.st_uid;
            t->like.group = st.st_gid;
            return FILE_OK;
        }
        if (hops == MAX_LINK_HOPS) {
            errno = ELOOP;
            return FILE_NOT_FOUND;
        }
        char link[4096];
        ssize_t n;
        RETRIED(n, CALL_STAT, readlink(t->name, link, sizeof link));
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

/* 1 when the caller may write path, by its effective ids. */
static int MayWrite(const char *path) {
    int rc;
    RETRIED(rc, CALL_STAT, faccessat(AT_FDCWD, path, W_OK, AT_EACCESS));
    return rc == 0;
}

/* Replacing needs only the directory's permission; a file the caller could
 * not write itself (its permission bits, a read-only file system) is not
 * replaced behind its back. */
int SysMayWrite(const Target *t) { return MayWrite(t->name); }

FileResult SysFolderState(const char *dir) {
    struct stat st;
    int rc;
    RETRIED(rc, CALL_STAT, stat(dir, &st));
    if (rc != 0) return FILE_NOT_FOUND;
    if (S_ISDIR(st.st_mode)) return FILE_OK;
    errno = ENOTDIR;
    return FILE_NOT_REGULAR;
}

/* Write permission on a folder is what lets a file be made in it. */
int SysMayCreateIn(const char *dir) { return MayWrite(dir); }

/* ---- Descriptors -------------------------------------------------------- */

static mode_t ModeOf(const FileLike *like) {
    return like ? (mode_t)(like->mode & 0777) : 0666;
}

/* Gives a new file the owner and group of the file it replaces where the
 * caller may (root may; an owner may keep a group it is a member of), then
 * its permission bits; a change of owner clears set-id bits, so the bits
 * come second. Where the system refuses the owner (the caller may not give
 * it, or the file system keeps none), the file stays the saver's, as a new
 * file would. 1 when the file has what it should;
 * 0 when a call failed otherwise, or the bits could not be set and differ
 * (a file system without bits of its own gives every file the same ones). */
static int TakeOwnerAndMode(int fd, const FileLike *like) {
    if (!like) return 1;
    const uid_t owner = (uid_t)like->owner;
    const gid_t group = (gid_t)like->group;
    if (Fchown(fd, owner, group) != 0) {
        if (!Refused(errno)) return 0;
        if (Fchown(fd, (uid_t)-1, group) != 0 && !Refused(errno)) return 0;
    }
    const mode_t mode = (mode_t)(like->mode & 07777);
    if (Fchmod(fd, mode) == 0) return 1;
    struct stat now;
    return Fstat(fd, &now) == 0 && (now.st_mode & 07777) == mode;
}

int SysCreateUnnamed(const char *dir, const FileLike *like, int *fd) {
#if defined(__linux__) && defined(O_TMPFILE)
    /* Unnamed files are named later through /proc; without it, named. */
    int rc;
    RETRIED(rc, CALL_STAT, access("/proc/self/fd", X_OK));
    if (rc != 0) return PLACE_UNSUPPORTED;
    *fd = Open(dir, O_TMPFILE | O_WRONLY, ModeOf(like), CALL_CREATE_UNNAMED);
    if (*fd < 0) return PLACE_UNSUPPORTED;
    if (TakeOwnerAndMode(*fd, like)) return FILE_OK;
    Close(*fd); /* it has no name: it is gone */
    *fd = -1;
    return FILE_CANNOT_CREATE;
#else
    (void)dir;
    (void)like;
    (void)fd;
    return PLACE_UNSUPPORTED;
#endif
}

FileResult SysCreate(const char *name, const FileLike *like, int *fd) {
    *fd = Open(name, O_WRONLY | O_CREAT | O_EXCL, ModeOf(like), CALL_CREATE);
    if (*fd < 0) return errno == EEXIST ? FILE_EXISTS : FILE_CANNOT_CREATE;
    if (TakeOwnerAndMode(*fd, like)) return FILE_OK;
    Close(*fd);
    *fd = -1;
    FileDropName(name);
    return FILE_CANNOT_CREATE;
}

FileResult SysOpenInPlace(const char *name, int *fd) {
    /* Without waiting: a FIFO that no process reads refuses (ENXIO). Its
     * writes then wait for the reader as usual. */
    *fd = Open(name, O_WRONLY | O_TRUNC | O_NONBLOCK, 0, CALL_OPEN);
    if (*fd < 0) return OpenFailure(errno);
    int flags = fcntl(*fd, F_GETFL);
    if (flags != -1) (void)fcntl(*fd, F_SETFL, flags & ~O_NONBLOCK);
    return FILE_OK;
}

/* Writes all size bytes, from offset on (or, with offset -1, where the
 * descriptor stands). 1 when every byte went. */
static int WriteFrom(int fd, int64_t offset, const char *bytes, size_t size) {
    TAVL_ASSERT(fd >= 0 && offset >= -1 && (bytes || !size));
    while (size) {
        /* At most 1 GiB in one call: some systems take no more than 2 GiB. */
        size_t chunk = size > ((size_t)1 << 30) ? ((size_t)1 << 30) : size;
        ssize_t n = Write(fd, bytes, chunk, offset);
        if (n <= 0) return 0;
        bytes += n;
        size -= (size_t)n;
        if (offset >= 0) offset += n;
    }
    return 1;
}

int SysWriteAll(int fd, const char *bytes, size_t size) {
    return WriteFrom(fd, -1, bytes, size);
}

int SysWriteAt(int fd, uint64_t offset, const char *bytes, size_t size) {
    TAVL_ASSERT(offset <= (uint64_t)INT64_MAX);
    return WriteFrom(fd, (int64_t)offset, bytes, size);
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

int SysSync(int fd) { return Fsync(fd) == 0; }

int SysClose(int fd) { return Close(fd) == 0 || errno == EINTR; }

/* ---- Naming ------------------------------------------------------------- */

int SysLinkUnnamed(int fd, const char *name) {
    char proc[48];
    snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    return !Fault(CALL_LINK) && linkat(AT_FDCWD, proc, AT_FDCWD, name, AT_SYMLINK_FOLLOW) == 0
               ? FILE_OK
               : PlaceFailure(errno);
}

int SysMove(const char *from, const char *to, int replace, int *left) {
    *left = 1;
    if (replace) {
        if (Fault(CALL_MOVE) || rename(from, to) != 0) return FILE_CANNOT_PLACE;
        *left = 0;
        return FILE_OK;
    }
    /* A second name, which never replaces one. */
    if (!Fault(CALL_LINK) && link(from, to) == 0) return FILE_OK;
    int rc = PlaceFailure(errno);
#if defined(__linux__) && defined(RENAME_NOREPLACE)
    /* Where links are refused, a move that refuses a taken name. */
    if (rc == PLACE_UNSUPPORTED) {
        if (!Fault(CALL_MOVE_NOREPLACE) &&
            renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
            *left = 0;
            return FILE_OK;
        }
        rc = PlaceFailure(errno);
    }
#endif
    return rc;
}

void SysSyncDirectory(const char *dir) {
    int fd = Open(dir, O_RDONLY, 0, CALL_OPEN);
    if (fd >= 0) {
        (void)Fsync(fd);
        Close(fd);
    }
}

/* ---- Sizes and mappings ------------------------------------------------- */

FILE *FileStreamOpen(const char *path, const char *mode) {
    char flags[8];
    snprintf(flags, sizeof flags, "%se", mode); /* e: O_CLOEXEC */
    FILE *stream;
    do {
        stream = Fault(CALL_OPEN) ? NULL : fopen(path, flags);
    } while (!stream && errno == EINTR);
    return stream;
}

FILE *FileTempStream(void) {
    FILE *stream = tmpfile();
    if (stream && fcntl(fileno(stream), F_SETFD, FD_CLOEXEC) != 0) {
        fclose(stream);
        return NULL;
    }
    return stream;
}

int64_t FileStreamSize(FILE *stream) {
    struct stat st;
    if (Fstat(fileno(stream), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
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
    int fd = Open(path, O_RDONLY | O_NONBLOCK, 0, CALL_OPEN);
    if (fd < 0) return OpenFailure(errno);
    struct stat st;
    if (Fstat(fd, &st) != 0) {
        Close(fd);
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
        Close(fd);
        return rc;
    }
    const size_t length = (size_t)bytes;
    /* Read in order, the file's own read-ahead may take larger steps; read
     * here and there, the mapping's advice below says all there is. */
    if (hint == ACCESS_SEQUENTIAL) (void)posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    void *mapped =
        Fault(CALL_MAP) ? MAP_FAILED : mmap(NULL, length, PROT_READ, MAP_SHARED, fd, 0);
    /* The view keeps the file. */
    if (mapped == MAP_FAILED || !held) Close(fd);
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
    TAVL_ASSERT(file && (buffer || !n) && got);
    *got = 0;
    const int fd = (int)file->handle;
    if (fd < 0) return FILE_IO;
    while (*got < n) {
        ssize_t r;
        RETRIED(r, CALL_READ, pread(fd, (char *)buffer + *got, n - *got, (off_t)(offset + *got)));
        if (r < 0) return FILE_IO;
        if (r == 0) break;
        *got += (size_t)r;
    }
    return FILE_OK;
}

void HeldFileClose(HeldFile *file) {
    if (file->handle >= 0) Close((int)file->handle);
    file->handle = -1;
}

FileResult UnmapFile(const char *view, uint64_t size) {
    if (!view) return FILE_OK;
    if ((uint64_t)(size_t)size != size) return FILE_NOT_MAPPED;
    return munmap((void *)view, (size_t)size) == 0 ? FILE_OK : FILE_NOT_MAPPED;
}
