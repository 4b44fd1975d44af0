/*
 * tavlfile.cpp - the platform file layer: files written whole or not at
 * all (a save's replacement, an index file), and read-only mappings.
 *
 * A new file is made beside its name, written, flushed to the disk, and
 * then named in one step: by a rename over the old file (replace), or by a
 * link that refuses an existing name (no replace). On Linux it is made
 * without a name (O_TMPFILE) and linked into the directory only when
 * complete, so a process killed while writing leaves nothing; a replacing
 * save links it under a temporary name first and renames that at once, so
 * only a kill in that instant can leave a complete hidden copy. Where the
 * file system refuses unnamed files, and on Windows, the new file has a
 * hidden temporary name from the start, and a crash while writing leaves
 * it behind ("." and seven letters and digits, beside the target).
 *
 * A replaced file's permission bits are the new file's from its creation
 * (never wider), and where the saver may give them (root, or the owner
 * keeping its group) its owner and group too. Hard links to the old file,
 * its extended attributes and ACLs are not carried over.
 */
#include "base/tavlfile.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#if defined(_WIN32)
#  include <fcntl.h>
#  include <io.h>
#  include <sys/stat.h>
#  include <sys/types.h>
#else
#  include <fcntl.h>
#  include <sys/mman.h>
#  include <sys/stat.h>
#  include <sys/types.h>
#  include <unistd.h>
#endif

#include "base/tavlbits.h"
#include "base/tavlbuf.h"
#include "base/tavlhost.h"
#include "tavlin32.h"

/* A save gathers its bytes into one block of this size. */
#define WRITE_BLOCK ((size_t)1 << 20)

/* Written bytes of a synced file that the disk is asked to take at once,
 * while the rest is still being written; the final sync then waits for
 * little more than the tail. */
#define EARLY_WRITEBACK ((uint64_t)8 << 20)

/* Symbolic links followed before a save gives up (as the kernel does). */
#define MAX_LINK_HOPS 40

/* A temporary name is "." and seven base-36 digits of the process id and a
 * counter: as long as an index file's own name ("NNNN.idx"), so it fits
 * wherever that fits. The counter is the one piece of state the library
 * keeps outside a handle; it keeps two files of one process apart. Names
 * are tried again while they are taken (by a file left by a process that
 * died). */
#define TEMP_DIGITS 7u
#define TEMP_ID_RANGE 78364164096ull /* 36 to the power of TEMP_DIGITS */
#define TEMP_ATTEMPTS 16
static uint32_t temp_counter;

/* Results of naming a new file, beside the result codes. */
#define NAME_TAKEN 1       /* no replace, and a file is there */
#define NAME_UNSUPPORTED 2 /* the file system can neither link nor move
                              without replacing */

/* ---- Writing ------------------------------------------------------------ */

/* Writes all size bytes to fd. 1 when every byte went. */
static int WriteAll(int fd, const char *bytes, size_t size) {
    while (size) {
        /* Both systems take at most 2 GiB in one call. */
        unsigned chunk = size > (1u << 30) ? (1u << 30) : (unsigned)size;
#if defined(_WIN32)
        int n = _write(fd, bytes, chunk);
#else
        ssize_t n = write(fd, bytes, chunk);
        if (n < 0 && errno == EINTR) continue;
#endif
        if (n <= 0) return 0;
        bytes += n;
        size -= (size_t)n;
    }
    return 1;
}

/* Starts writeback of what the sink has handed to the system so far. Only
 * a hint: durability comes from the sync that ends the file. */
static void StartWriteback(FileSink *sink) {
#if defined(__linux__) && defined(SYNC_FILE_RANGE_WRITE)
    if (!sink->early || sink->written - sink->started < EARLY_WRITEBACK) return;
    (void)sync_file_range(sink->fd, (off64_t)sink->started,
                          (off64_t)(sink->written - sink->started),
                          SYNC_FILE_RANGE_WRITE);
    sink->started = sink->written;
#else
    (void)sink;
#endif
}

static void SinkFlush(FileSink *sink) {
    if (!sink->failed && sink->used && !WriteAll(sink->fd, sink->block, sink->used))
        sink->failed = 1;
    sink->written += sink->used;
    sink->used = 0;
    StartWriteback(sink);
}

void FileSinkPut(FileSink *sink, const char *bytes, size_t n) {
    if (n <= WRITE_BLOCK - sink->used) { /* the common case: one copy */
        memcpy(sink->block + sink->used, bytes, n);
        sink->used += n;
        return;
    }
    SinkFlush(sink);
    if (n < WRITE_BLOCK) {
        memcpy(sink->block, bytes, n);
        sink->used = n;
        return;
    }
    /* A piece longer than the block goes out straight. */
    if (!sink->failed && !WriteAll(sink->fd, bytes, n)) sink->failed = 1;
    sink->written += n;
}

/* Flushes what was written to fd to the disk. 1 when it went. */
static int SyncFile(int fd) {
#if defined(_WIN32)
    return _commit(fd) == 0;
#else
    return fsync(fd) == 0;
#endif
}

/* Runs writer into fd through block; flushes what it gathered (bytes before
 * a failure of the writer still go out) and syncs the file when sync is
 * set. TBL_OK, the writer's code, or TBL_ERR_SAVE_OPEN. */
static int WriteThrough(int fd, FileWriter writer, void *context, char *block,
                        int sync) {
    FileSink sink = {block, 0, fd, 0, sync, 0, 0};
    int rc = writer(context, &sink);
    SinkFlush(&sink);
    if (rc == TBL_OK && sink.failed) rc = TBL_ERR_SAVE_OPEN;
    if (rc == TBL_OK && sync && !SyncFile(fd)) rc = TBL_ERR_SAVE_OPEN;
    return rc;
}

static int CloseFile(int fd) {
#if defined(_WIN32)
    return _close(fd) == 0;
#else
    return close(fd) == 0;
#endif
}

/* ---- Names -------------------------------------------------------------- */

/* Length of the directory part of path, separator included (0: none). */
static size_t DirectoryLength(const char *path) {
    size_t n = strlen(path);
    while (n > 0 && path[n - 1] != '/'
#if defined(_WIN32)
           && path[n - 1] != '\\' && path[n - 1] != ':'
#endif
    )
        n--;
    return n;
}

static uint32_t ProcessId(void) {
#if defined(_WIN32)
    return (uint32_t)GetCurrentProcessId();
#else
    return (uint32_t)getpid();
#endif
}

/* Makes *slot a copy of n bytes of text. */
static int TextCopy(char **slot, const char *text, size_t n) {
    if (!*slot && TextBufferNew(slot) != TBL_OK) return TBL_ERR_NO_MEMORY;
    return TextBufferSetBytes(slot, text, (int32_t)n);
}

/* The names a new file beside a target needs, made before any file is
 * touched, so that nothing allocates once files change: the target's
 * directory ("." for none), and room for a temporary name beside it. */
typedef struct Beside {
    char *dir;
    char *temp;
    size_t base;                /* the temporary name's directory part */
} Beside;

static int BesideNew(Beside *b, const char *target) {
    b->dir = b->temp = NULL;
    b->base = DirectoryLength(target);
    if (TextCopy(&b->dir, b->base ? target : ".", b->base ? b->base : 1) != TBL_OK ||
        TextCopy(&b->temp, target, b->base) != TBL_OK ||
        TextBufferAppend(&b->temp, ".0000000") != TBL_OK) {
        TextBufferFree(&b->dir);
        TextBufferFree(&b->temp);
        return TBL_ERR_NO_MEMORY;
    }
    return TBL_OK;
}

static void BesideFree(Beside *b) {
    TextBufferFree(&b->dir);
    TextBufferFree(&b->temp);
}

/* Forms the next temporary name in b->temp. */
static const char *NextTempName(Beside *b) {
    uint32_t count = __atomic_fetch_add(&temp_counter, 1u, __ATOMIC_RELAXED);
    uint64_t id = (((uint64_t)ProcessId() << 16) | (count & 0xFFFFu)) % TEMP_ID_RANGE;
    char *digits = b->temp + b->base + 1;
    for (size_t k = TEMP_DIGITS; k >= 1; --k) {
        digits[k - 1] = "0123456789abcdefghijklmnopqrstuvwxyz"[id % 36];
        id /= 36;
    }
    return b->temp;
}

static void RemoveName(const char *name) {
    if (name) os_remove_file(name, 1);
}

#if !defined(_WIN32)
/* Makes the entries of a directory durable: a rename or a link is only as
 * lasting as its directory. */
static void SyncDirectory(const char *dir) {
    int fd = open(dir, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        (void)fsync(fd);
        close(fd);
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
    return error == EEXIST ? NAME_TAKEN
           : PlacingRefused(error) ? NAME_UNSUPPORTED
                                   : TBL_ERR_FAIL;
}
#endif

/* ---- New files ---------------------------------------------------------- *
 *
 * A new file beside its target, open for writing in fd: named (its name in
 * beside->temp) or, while named is 0, without a name. */
typedef struct NewFile {
    int fd;
    int named;
    Beside *beside;
} NewFile;

#if defined(_WIN32)
typedef struct _stat64 FileStatus;
#else
typedef struct stat FileStatus;

/* Gives a new file the owner and group of the file it replaces where the
 * caller may (root may; an owner may keep a group it is a member of), then
 * its permission bits; a change of owner clears set-id bits, so the bits
 * come second. Where the owner cannot be given, the file stays the saver's,
 * as a new file would. */
static void TakeOwnerAndMode(int fd, const FileStatus *like) {
    FileStatus now;
    if (fstat(fd, &now) == 0 &&
        (now.st_uid != like->st_uid || now.st_gid != like->st_gid)) {
        if (fchown(fd, like->st_uid, like->st_gid) != 0)
            (void)fchown(fd, (uid_t)-1, like->st_gid);
    }
    /* Best effort: a file system without permission bits still saves. */
    (void)fchmod(fd, like->st_mode & 07777);
}
#endif

/* Opens a new file beside the target of beside, with the permission bits of
 * like (the file it will replace) or, without like, 0666 less the umask.
 * TBL_OK or TBL_ERR_SAVE_OPEN. */
static int NewFileOpen(NewFile *f, Beside *beside, const FileStatus *like) {
    f->fd = -1;
    f->named = 0;
    f->beside = beside;
#if defined(_WIN32)
    (void)like;
    const int mode = _S_IREAD | _S_IWRITE;
#else
    const mode_t mode = like ? (like->st_mode & 0777) : 0666;
#  if defined(O_TMPFILE)
    /* Unnamed files are named later through /proc; without it, named. */
    if (access("/proc/self/fd", X_OK) == 0) {
        f->fd = open(beside->dir, O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
        if (f->fd >= 0) {
            if (like) TakeOwnerAndMode(f->fd, like);
            return TBL_OK;
        }
    }
#  endif
#endif
    for (int attempt = 0; attempt < TEMP_ATTEMPTS; attempt++) {
        const char *temp = NextTempName(beside);
        /* Not inherited by child processes: on Windows a child holding it
         * open would keep the file from being moved. */
#if defined(_WIN32)
        f->fd = _open(temp, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                      mode);
#else
        f->fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
#endif
        if (f->fd >= 0) {
            f->named = 1;
#if !defined(_WIN32)
            if (like) TakeOwnerAndMode(f->fd, like);
#endif
            return TBL_OK;
        }
        if (errno != EEXIST) break;
    }
    return TBL_ERR_SAVE_OPEN;
}

/* Gives up a new file: closed, and its temporary name removed. */
static void NewFileDiscard(NewFile *f) {
    if (f->fd >= 0) CloseFile(f->fd);
    f->fd = -1;
    if (f->named) RemoveName(f->beside->temp);
    f->named = 0;
}

/* Gives the closed, named new file the name target: replacing whatever is
 * there, or only where nothing is. TBL_OK, NAME_TAKEN, NAME_UNSUPPORTED or
 * TBL_ERR_FAIL; the temporary name is gone afterwards in every case. */
static int PlaceTemp(NewFile *f, const char *target, int replace) {
    const char *temp = f->beside->temp;
    int rc;
    f->named = 0;
#if defined(_WIN32)
    DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    if (MoveFileExA(temp, target, flags)) return TBL_OK;
    DWORD error = GetLastError();
    rc = !replace && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)
             ? NAME_TAKEN : TBL_ERR_FAIL;
#else
    if (replace) {
        if (rename(temp, target) == 0) return TBL_OK;
        rc = TBL_ERR_FAIL;
    } else if (link(temp, target) == 0) {
        rc = TBL_OK; /* a second name, which never replaces one */
    } else {
        rc = PlaceFailure(errno);
#  if defined(__linux__) && defined(RENAME_NOREPLACE)
        /* Where links are refused, a move that refuses a taken name. */
        if (rc == NAME_UNSUPPORTED) {
            if (renameat2(AT_FDCWD, temp, AT_FDCWD, target, RENAME_NOREPLACE) == 0)
                return TBL_OK;
            rc = PlaceFailure(errno);
        }
#  endif
    }
#endif
    RemoveName(temp);
    return rc;
}

/* Ends a complete, synced new file by giving it the name target (see
 * PlaceTemp for the results). The file is closed afterwards. */
static int NewFileFinish(NewFile *f, const char *target, int replace) {
#if defined(O_TMPFILE) && !defined(_WIN32)
    if (!f->named) {
        /* Unnamed: a link gives it a name, and refuses a taken one. */
        char proc[48];
        snprintf(proc, sizeof proc, "/proc/self/fd/%d", f->fd);
        int rc = TBL_ERR_FAIL;
        if (!replace) {
            rc = linkat(AT_FDCWD, proc, AT_FDCWD, target, AT_SYMLINK_FOLLOW) == 0
                     ? TBL_OK
                     : PlaceFailure(errno);
            if (!CloseFile(f->fd) && rc == TBL_OK) rc = TBL_ERR_FAIL;
            f->fd = -1;
            return rc;
        }
        /* Replacing: a temporary name first, renamed over the target. */
        for (int attempt = 0; attempt < TEMP_ATTEMPTS && rc == TBL_ERR_FAIL; attempt++) {
            if (linkat(AT_FDCWD, proc, AT_FDCWD, NextTempName(f->beside),
                       AT_SYMLINK_FOLLOW) == 0)
                rc = TBL_OK;
            else if (errno != EEXIST)
                break;
        }
        if (rc != TBL_OK) {
            NewFileDiscard(f);
            return TBL_ERR_FAIL;
        }
        f->named = 1;
    }
#endif
    /* Windows moves only closed files. */
    int closed = CloseFile(f->fd);
    f->fd = -1;
    if (!closed) {
        NewFileDiscard(f);
        return TBL_ERR_FAIL;
    }
    return PlaceTemp(f, target, replace);
}

/* ---- Replacing a file --------------------------------------------------- */

/* What a save must write: the file path leads to, and what is known of it. */
typedef struct Target {
    char *name;                 /* TextBuffer */
    int exists;
    int regular;
    FileStatus status;
} Target;

#if defined(_WIN32)
/* Follows symbolic links: the name the system gives the file once it is
 * open, its "\\?\" prefix dropped before a drive letter or a share, so the
 * name keeps to the file calls' usual rules. A path that leads to no file
 * is taken as it stands. */
static int ResolveTarget(const char *path, Target *t) {
    char final[MAX_PATH + 8];
    DWORD n = 0;
    HANDLE file = CreateFileA(path, 0,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        n = GetFinalPathNameByHandleA(file, final, sizeof final,
                                      FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        CloseHandle(file);
    }
    const char *name = path;
    if (n > 0 && n < sizeof final) {
        name = final;
        if (strncmp(final, "\\\\?\\UNC\\", 8) == 0) {
            final[6] = '\\'; /* \\?\UNC\server\share -> \\server\share */
            name = final + 6;
        } else if (strncmp(final, "\\\\?\\", 4) == 0 && final[5] == ':') {
            name = final + 4;
        }
    }
    if (TextCopy(&t->name, name, strlen(name)) != TBL_OK) return TBL_ERR_NO_MEMORY;
    t->exists = _stat64(t->name, &t->status) == 0;
    t->regular = t->exists && (t->status.st_mode & _S_IFREG);
    return TBL_OK;
}

/* The read-only attribute; the rename would go through all the same. */
static int MayWrite(const Target *t) {
    DWORD attributes = GetFileAttributesA(t->name);
    return attributes == INVALID_FILE_ATTRIBUTES ||
           !(attributes & FILE_ATTRIBUTE_READONLY);
}
#else
/* Follows symbolic links from path to the file a save must write. */
static int ResolveTarget(const char *path, Target *t) {
    if (TextCopy(&t->name, path, strlen(path)) != TBL_OK) return TBL_ERR_NO_MEMORY;
    for (int hops = 0;; hops++) {
        if (lstat(t->name, &t->status) != 0) {
            if (errno != ENOENT) return TBL_ERR_SAVE_OPEN;
            return TBL_OK; /* a new file, also at the end of a dangling link */
        }
        if (!S_ISLNK(t->status.st_mode)) {
            t->exists = 1;
            t->regular = S_ISREG(t->status.st_mode);
            return TBL_OK;
        }
        if (hops == MAX_LINK_HOPS) return TBL_ERR_SAVE_OPEN;
        char link[4096];
        ssize_t n = readlink(t->name, link, sizeof link);
        if (n <= 0 || (size_t)n >= sizeof link) return TBL_ERR_SAVE_OPEN;
        link[n] = '\0';
        /* A relative link is relative to the directory that holds it. */
        size_t dir = link[0] == '/' ? 0 : DirectoryLength(t->name);
        char *next = NULL;
        if (TextCopy(&next, t->name, dir) != TBL_OK ||
            TextBufferAppend(&next, link) != TBL_OK) {
            TextBufferFree(&next);
            return TBL_ERR_NO_MEMORY;
        }
        TextBufferFree(&t->name);
        t->name = next;
    }
}

/* Replacing needs only the directory's permission; a file the caller could
 * not write itself (its permission bits, a read-only file system) is not
 * replaced behind its back. */
static int MayWrite(const Target *t) {
    return faccessat(AT_FDCWD, t->name, W_OK, AT_EACCESS) == 0;
}
#endif

/* Writes straight into a target that is not a regular file. */
static int WriteInPlace(const char *target, FileWriter writer, void *context,
                        char *block) {
#if defined(_WIN32)
    int fd = _open(target, _O_WRONLY | _O_TRUNC | _O_BINARY | _O_NOINHERIT);
#else
    int fd = open(target, O_WRONLY | O_TRUNC | O_CLOEXEC);
#endif
    if (fd < 0) return TBL_ERR_SAVE_OPEN;
    int rc = WriteThrough(fd, writer, context, block, 0);
    if (!CloseFile(fd) && rc == TBL_OK) rc = TBL_ERR_SAVE_OPEN;
    return rc;
}

static int WriteReplacing(const Target *t, Beside *beside, FileWriter writer,
                          void *context, char *block) {
    NewFile f;
    int rc = NewFileOpen(&f, beside, t->exists ? &t->status : NULL);
    if (rc != TBL_OK) return rc;
    rc = WriteThrough(f.fd, writer, context, block, 1);
    if (rc != TBL_OK) {
        NewFileDiscard(&f);
        return rc;
    }
    if (NewFileFinish(&f, t->name, 1) != TBL_OK) return TBL_ERR_SAVE_OPEN;
#if !defined(_WIN32)
    SyncDirectory(beside->dir); /* the new text is durable; make its name so */
#endif
    return TBL_OK;
}

int FileReplace(const char *path, FileWriter writer, void *context) {
    if (!path || !*path) return TBL_ERR_SAVE_OPEN;
    /* Everything a save allocates comes first, so that a save without
     * memory for it has touched no file. */
    char *block = (char *)qmem_malloc(WRITE_BLOCK);
    if (!block) return TBL_ERR_NO_MEMORY;
    Target t;
    Beside beside = {NULL, NULL, 0};
    memset(&t, 0, sizeof t);
    int rc = ResolveTarget(path, &t);
    if (rc == TBL_OK) rc = BesideNew(&beside, t.name);
    if (rc == TBL_OK) {
        if (t.exists && !t.regular)
            rc = WriteInPlace(t.name, writer, context, block);
        else if (t.exists && !MayWrite(&t))
            rc = TBL_ERR_SAVE_OPEN;
        else
            rc = WriteReplacing(&t, &beside, writer, context, block);
    }
    BesideFree(&beside);
    TextBufferFree(&t.name);
    qmem_free(block);
    return rc;
}

/* ---- Placing a file ----------------------------------------------------- */

/* Writes size bytes to fd and syncs them. */
static int WriteSynced(int fd, const void *bytes, size_t size) {
    return WriteAll(fd, (const char *)bytes, size) && SyncFile(fd);
}

/* Where the file system can neither link nor move without replacing, the
 * file is created exclusively under its own name and written there: a
 * process that reads it before it is complete sees it short, and a writer
 * that dies leaves it short. */
static int PlaceInPlace(const char *path, const void *bytes, size_t size) {
#if defined(_WIN32)
    int fd = _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                   _S_IREAD | _S_IWRITE);
#else
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
#endif
    if (fd < 0) return errno == EEXIST ? TBL_ERR_INDEX_EXISTS : TBL_ERR_INDEX_WRITE;
    int ok = WriteSynced(fd, bytes, size);
    if (!CloseFile(fd)) ok = 0;
    if (ok) return TBL_OK;
    RemoveName(path);
    return TBL_ERR_INDEX_WRITE;
}

int FilePlace(const char *path, const void *bytes, size_t size, int replace) {
    Beside beside;
    if (BesideNew(&beside, path) != TBL_OK) return TBL_ERR_INDEX_WRITE;
    NewFile f;
    int rc = NewFileOpen(&f, &beside, NULL);
    if (rc == TBL_OK && !WriteSynced(f.fd, bytes, size)) {
        NewFileDiscard(&f);
        rc = TBL_ERR_FAIL;
    }
    if (rc == TBL_OK) rc = NewFileFinish(&f, path, replace);
    if (rc == NAME_UNSUPPORTED) rc = PlaceInPlace(path, bytes, size);
    else if (rc == NAME_TAKEN) rc = TBL_ERR_INDEX_EXISTS;
    else if (rc != TBL_OK) rc = TBL_ERR_INDEX_WRITE;
#if !defined(_WIN32)
    if (rc == TBL_OK) SyncDirectory(beside.dir);
#endif
    BesideFree(&beside);
    return rc;
}

/* ---- Memory ------------------------------------------------------------- */

void AdviseWillNeed(const void *bytes, size_t size) {
#if defined(__linux__) && defined(MADV_WILLNEED)
    const uintptr_t page = 4096;
    uintptr_t start = (uintptr_t)bytes & ~(page - 1);
    (void)madvise((void *)start, (uintptr_t)bytes + size - start, MADV_WILLNEED);
#else
    (void)bytes;
    (void)size;
#endif
}

/* ---- Sizes -------------------------------------------------------------- */

int64_t FileStreamSize(FILE *stream) {
#if defined(_WIN32)
    struct _stat64 st;
    if (_fstat64(_fileno(stream), &st) != 0 || !(st.st_mode & _S_IFREG)) return -1;
#else
    struct stat st;
    if (fstat(fileno(stream), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
#endif
    return (int64_t)st.st_size;
}

/* ---- Mapping ------------------------------------------------------------ */

int MapFileReadOnly(const char *path, int hint, const char **view,
                    uint32_t *size) {
    *view = NULL;
    *size = 0;
    if (!path) return TBL_ERR_OPEN;
    DWORD flags = hint == ACCESS_SEQUENTIAL ? FILE_FLAG_SEQUENTIAL_SCAN
                                            : FILE_FLAG_RANDOM_ACCESS;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL,
                              OPEN_EXISTING, flags, NULL);
    if (file == INVALID_HANDLE_VALUE) return TBL_ERR_OPEN;

    /* Sizes are 32-bit throughout; a file of 4 GiB or more is refused
     * rather than mapped at a truncated size. */
    DWORD high = 0;
    DWORD low = GetFileSize(file, &high);
    if ((low == INVALID_FILE_SIZE && GetLastError() != 0) || high != 0) {
        CloseHandle(file);
        return TBL_ERR_MAP;
    }
    /* An empty file cannot be mapped and fails here. */
    HANDLE mapping = CreateFileMappingA(file, NULL,
                                        PAGE_READONLY | SEC_COMMIT | SEC_NOCACHE,
                                        0, 0, NULL);
    CloseHandle(file);
    if (!mapping) return TBL_ERR_MAP;
    /* The view outlives the mapping handle. */
    LPVOID bytes = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    CloseHandle(mapping);
    if (!bytes) return TBL_ERR_MAP;
    *view = (const char *)bytes;
    *size = (uint32_t)low;
    return TBL_OK;
}

int UnmapFile(const char *view) {
    if (!view) return TBL_OK;
    return UnmapViewOfFile(view) ? TBL_OK : TBL_ERR_UNMAP;
}
