/*
 * tavlfile.cpp - the part of the platform file layer that is the same on
 * every system: the write sink and its buffering, temporary names, and the
 * order in which files written whole or not at all (a save's replacement,
 * an index file) are made, written, synced and named. The system calls
 * beneath are the primitives of tavlfile_sys.h, in tavlfile_unix.cpp or
 * tavlfile_win.cpp; mappings and stream sizes are wholly theirs.
 *
 * A new file is made beside its name, written, flushed to the disk, and
 * then named in one step: by a move over the old file (replace), or by a
 * link or move that refuses an existing name (no replace). Where the system
 * makes files without a name (Linux, O_TMPFILE) it is linked into the
 * directory only when complete, so a process killed while writing leaves
 * nothing; a replacing save links it under a temporary name first and
 * moves that at once, so only a kill in that instant can leave a complete
 * hidden copy. Elsewhere, and where the file system refuses unnamed files,
 * the new file has a hidden temporary name from the start, and a crash
 * while writing leaves it behind ("." and seven letters and digits, beside
 * the target). Where the file system can neither link nor move without
 * replacing, a file placed without replace is written under its own name.
 * A temporary name that will not go is tried twice, and a file that is in
 * place with one left beside it says so (FILE_STRAY).
 *
 * A replaced file's permission bits are the new file's from its creation
 * (never wider), and where the saver may give them (root, or the owner
 * keeping its group) its owner and group too. Hard links to the old file,
 * its extended attributes and ACLs are not carried over.
 *
 * Everything a save allocates is allocated before the first file is
 * touched, so nothing can run out of memory once files change.
 */
#include "base/tavlfile.h"

#include <errno.h>
#include <string.h>

#include "base/tavlbits.h"
#include "base/tavlfile_sys.h"
#include "base/tavlhost.h"

/* A save gathers its bytes into one block of this size. */
#define WRITE_BLOCK ((size_t)1 << 20)

/* Written bytes of a synced file that the disk is asked to take at once,
 * while the rest is still being written; the final sync then waits for
 * little more than the tail. */
#define EARLY_WRITEBACK ((uint64_t)8 << 20)

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

/* ---- Writing ------------------------------------------------------------ */

static void SinkFlush(FileSink *sink) {
    TAVL_ASSERT(sink->used <= WRITE_BLOCK && sink->started <= sink->written);
    if (!sink->failed && sink->used && !SysWriteAll(sink->fd, sink->block, sink->used))
        sink->failed = 1;
    sink->written += sink->used;
    sink->used = 0;
    /* Only a hint: durability comes from the sync that ends the file. */
    if (sink->early && sink->written - sink->started >= EARLY_WRITEBACK) {
        SysStartWriteback(sink->fd, sink->started, sink->written - sink->started);
        sink->started = sink->written;
    }
}

void FileSinkPut(FileSink *sink, const char *bytes, size_t n) {
    TAVL_ASSERT(sink->block && sink->used <= WRITE_BLOCK && (bytes || !n));
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
    if (!sink->failed && !SysWriteAll(sink->fd, bytes, n)) sink->failed = 1;
    sink->written += n;
}

int FileSinkFlush(FileSink *sink) {
    SinkFlush(sink);
    if (!sink->failed && sink->early && !SysSync(sink->fd)) sink->failed = 1;
    return !sink->failed;
}

void FileSinkPutAt(FileSink *sink, uint64_t offset, const char *bytes, size_t n) {
    SinkFlush(sink);
    TAVL_ASSERT(offset + n <= sink->written);
    if (!sink->failed && !SysWriteAt(sink->fd, offset, bytes, n)) sink->failed = 1;
}

/* Runs writer into fd through block; flushes what it gathered (bytes before
 * a failure of the writer still go out) and syncs the file when sync is
 * set. FILE_OK, FILE_IO (a failed write counts before the writer's giving
 * up, which it may have caused) or FILE_WRITER_FAILED. */
static FileResult WriteThrough(int fd, FileWriter writer, void *context,
                               char *block, int sync) {
    TAVL_ASSERT(fd >= 0 && writer && block);
    FileSink sink = {block, 0, fd, 0, sync, 0, 0};
    int gave_up = writer(context, &sink) != 0;
    SinkFlush(&sink);
    if (sink.failed) return FILE_IO;
    if (gave_up) return FILE_WRITER_FAILED;
    if (sync && !SysSync(fd)) return FILE_IO;
    return FILE_OK;
}

/* ---- Names -------------------------------------------------------------- */

size_t FileDirectoryLength(const char *path) {
    size_t n = strlen(path);
    while (n > 0 && !SysIsSeparator(path[n - 1])) n--;
    return n;
}

char *FileNameCopy(const char *text, size_t n, size_t extra) {
    char *copy = (char *)qmem_malloc(n + extra + 1);
    if (copy) {
        memcpy(copy, text, n);
        copy[n] = '\0';
    }
    return copy;
}

static void NameFree(char **name) {
    if (*name) qmem_free(*name);
    *name = NULL;
}

/* The names a new file beside a target needs, made before any file is
 * touched, so that nothing allocates once files change: the target's
 * directory ("." for none), and room for a temporary name beside it. */
typedef struct Beside {
    char *dir;
    char *temp;
    size_t base;                /* the temporary name's directory part */
} Beside;

static FileResult BesideNew(Beside *b, const char *target) {
    b->base = FileDirectoryLength(target);
    b->dir = FileNameCopy(b->base ? target : ".", b->base ? b->base : 1, 0);
    b->temp = FileNameCopy(target, b->base, 1 + TEMP_DIGITS);
    if (!b->dir || !b->temp) {
        NameFree(&b->dir);
        NameFree(&b->temp);
        return FILE_NO_MEMORY;
    }
    memcpy(b->temp + b->base, ".0000000", 1 + TEMP_DIGITS + 1);
    return FILE_OK;
}

static void BesideFree(Beside *b) {
    NameFree(&b->dir);
    NameFree(&b->temp);
}

/* Forms the next temporary name in b->temp. */
static const char *NextTempName(Beside *b) {
    uint32_t count = CounterNext(&temp_counter);
    uint64_t id = (((uint64_t)SysProcessId() << 16) | (count & 0xFFFFu)) % TEMP_ID_RANGE;
    char *digits = b->temp + b->base + 1;
    for (size_t k = TEMP_DIGITS; k >= 1; --k) {
        digits[k - 1] = "0123456789abcdefghijklmnopqrstuvwxyz"[id % 36];
        id /= 36;
    }
    return b->temp;
}

int FileRemove(const char *path) {
    if (FileFaultHit(CALL_REMOVE) != FAULT_NONE) return 0;
    return os_remove_file(path, 1) == TAVL_REMOVE_OK;
}

int FileDropName(const char *name) {
    return FileRemove(name) || FileRemove(name);
}

/* ---- New files ---------------------------------------------------------- *
 *
 * A new file beside its target, open for writing in fd: named (its name in
 * beside->temp) or, while named is 0, without a name. */
typedef struct NewFile {
    int fd;
    int named;
    Beside *beside;
} NewFile;

/* Opens a new file beside the target of beside, taking over what like (the
 * file it will replace) gives, or with 0666 less the umask without like.
 * FILE_OK or FILE_CANNOT_CREATE. */
static FileResult NewFileOpen(NewFile *f, Beside *beside, const FileLike *like) {
    f->fd = -1;
    f->named = 0;
    f->beside = beside;
    int unnamed = SysCreateUnnamed(beside->dir, like, &f->fd);
    if (unnamed != PLACE_UNSUPPORTED) return (FileResult)unnamed;
    for (int attempt = 0; attempt < TEMP_ATTEMPTS; attempt++) {
        FileResult rc = SysCreate(NextTempName(beside), like, &f->fd);
        if (rc == FILE_OK) {
            f->named = 1;
            return FILE_OK;
        }
        if (rc != FILE_EXISTS) break;
    }
    return FILE_CANNOT_CREATE;
}

/* Gives up a new file: closed, and its temporary name removed. */
static void NewFileDiscard(NewFile *f) {
    if (f->fd >= 0) SysClose(f->fd);
    f->fd = -1;
    if (f->named) FileDropName(f->beside->temp);
    f->named = 0;
}

/* Gives the closed, named new file the name target: replacing whatever is
 * there, or only where nothing is. FILE_OK, FILE_EXISTS, PLACE_UNSUPPORTED
 * or FILE_CANNOT_PLACE, and the temporary name is gone afterwards; or
 * FILE_STRAY: the file took its name, but the temporary one would not go. */
static int PlaceTemp(NewFile *f, const char *target, int replace) {
    int left = 0;
    int rc = SysMove(f->beside->temp, target, replace, &left);
    f->named = 0;
    if (left && !FileDropName(f->beside->temp) && rc == FILE_OK) rc = FILE_STRAY;
    return rc;
}

/* Ends a complete, synced new file by giving it the name target (see
 * PlaceTemp for the results; FILE_IO when it did not close cleanly, and
 * then it has no name). The file is closed afterwards. */
static int NewFileFinish(NewFile *f, const char *target, int replace) {
    if (!f->named) {
        if (!replace) {
            /* Unnamed: a link gives it a name, and refuses a taken one. */
            int rc = SysLinkUnnamed(f->fd, target);
            int closed = SysClose(f->fd);
            f->fd = -1;
            /* The close comes after the name: a failed one takes the name
             * back, so that a failure leaves no file. Where even that fails,
             * the file stands complete and synced, as after success. */
            if (rc == FILE_OK && !closed && FileDropName(target)) rc = FILE_IO;
            return rc;
        }
        /* Replacing: a temporary name first, moved over the target. */
        int rc = FILE_CANNOT_PLACE;
        for (int attempt = 0; attempt < TEMP_ATTEMPTS; attempt++) {
            rc = SysLinkUnnamed(f->fd, NextTempName(f->beside));
            if (rc != FILE_EXISTS) break;
        }
        if (rc != FILE_OK) {
            NewFileDiscard(f);
            return FILE_CANNOT_PLACE;
        }
        f->named = 1;
    }
    /* Windows moves only closed files. */
    int closed = SysClose(f->fd);
    f->fd = -1;
    if (!closed) {
        NewFileDiscard(f);
        return FILE_IO;
    }
    return PlaceTemp(f, target, replace);
}

/* ---- Replacing a file --------------------------------------------------- */

/* Writes straight into a target that is not a regular file. */
static FileResult WriteInPlace(const char *target, FileWriter writer, void *context,
                               char *block) {
    int fd = -1;
    FileResult rc = SysOpenInPlace(target, &fd);
    if (rc != FILE_OK) return rc;
    rc = WriteThrough(fd, writer, context, block, 0);
    if (!SysClose(fd) && rc == FILE_OK) rc = FILE_IO;
    return rc;
}

static FileResult WriteReplacing(const Target *t, Beside *beside, FileWriter writer,
                                 void *context, char *block) {
    NewFile f;
    FileResult rc = NewFileOpen(&f, beside, t->exists ? &t->like : NULL);
    if (rc != FILE_OK) return rc;
    rc = WriteThrough(f.fd, writer, context, block, 1);
    if (rc != FILE_OK) {
        NewFileDiscard(&f);
        return rc;
    }
    int placed = NewFileFinish(&f, t->name, 1);
    if (placed != FILE_OK) return placed == FILE_IO ? FILE_IO : FILE_CANNOT_PLACE;
    SysSyncDirectory(beside->dir); /* the new text is durable; make its name so */
    return FILE_OK;
}

FileResult FileReplace(const char *path, FileWriter writer, void *context) {
    if (!path || !*path) return FILE_NOT_FOUND;
    /* Everything a save allocates comes first, so that a save without
     * memory for it has touched no file. */
    char *block = (char *)qmem_malloc(WRITE_BLOCK);
    if (!block) return FILE_NO_MEMORY;
    Target t;
    Beside beside = {NULL, NULL, 0};
    memset(&t, 0, sizeof t);
    FileResult rc = SysResolveTarget(path, &t);
    if (rc == FILE_OK) rc = BesideNew(&beside, t.name);
    if (rc == FILE_OK) {
        if (t.exists && !t.regular)
            rc = WriteInPlace(t.name, writer, context, block);
        else if (t.exists && !SysMayWrite(&t))
            rc = FILE_DENIED;
        else
            rc = WriteReplacing(&t, &beside, writer, context, block);
    }
    BesideFree(&beside);
    NameFree(&t.name);
    qmem_free(block);
    return rc;
}

void FileReplaceCheck(const char *path, FileCheck *check) {
    check->result = FILE_OK;
    check->in_folder = 0;
    check->error = 0;
    if (!path || !*path) {
        check->result = FILE_NOT_FOUND;
        check->error = ENOENT;
        return;
    }
    Target t;
    Beside beside = {NULL, NULL, 0};
    memset(&t, 0, sizeof t);
    errno = 0;
    const FileResult resolved = SysResolveTarget(path, &t);
    const int error = errno;
    /* The folder first: where links cannot be followed, the folder of the
     * last name reached may be why. */
    FileResult rc = resolved == FILE_NO_MEMORY ? resolved : BesideNew(&beside, t.name ? t.name : path);
    if (rc == FILE_OK) {
        /* Without its closing separator, which some systems refuse after
         * the name of a file (a root keeps it). */
        size_t n = strlen(beside.dir);
        if (n > 1 && SysIsSeparator(beside.dir[n - 1]) && beside.dir[n - 2] != ':')
            beside.dir[n - 1] = '\0';
        errno = 0;
        if ((rc = SysFolderState(beside.dir)) != FILE_OK) check->in_folder = 1;
    }
    if (rc != FILE_OK) {
        check->result = rc;
        check->error = errno;
    } else if (resolved != FILE_OK) {
        check->result = resolved;
        check->error = error;
    } else if (t.exists && t.folder) {
        check->result = FILE_NOT_REGULAR;
        check->error = EISDIR;
    } else if (t.exists && !t.regular) {
        /* written in place */
    } else if (t.exists && !SysMayWrite(&t)) {
        check->result = FILE_DENIED;
        check->error = errno ? errno : EACCES; /* an attribute sets none */
    } else if (!SysMayCreateIn(beside.dir)) {
        /* A new file is made beside the target: its folder must take one. */
        check->result = FILE_CANNOT_CREATE;
        check->in_folder = 1;
        check->error = errno ? errno : EACCES;
    }
    BesideFree(&beside);
    NameFree(&t.name);
}

/* ---- Placing a file ----------------------------------------------------- */

/* Where the file system can neither link nor move without replacing, the
 * file is created exclusively under its own name and written there: a
 * process that reads it before it is complete sees it short, and a writer
 * that dies leaves it short. */
static FileResult PlaceInPlace(const char *path, FileWriter writer, void *context,
                               char *block) {
    int fd = -1;
    FileResult rc = SysCreate(path, NULL, &fd);
    if (rc != FILE_OK) return rc;
    rc = WriteThrough(fd, writer, context, block, 1);
    if (!SysClose(fd) && rc == FILE_OK) rc = FILE_IO;
    if (rc != FILE_OK) FileDropName(path);
    return rc;
}

FileResult FilePlace(const char *path, FileWriter writer, void *context, int replace) {
    /* Everything it allocates comes first, as for a save. */
    char *block = (char *)qmem_malloc(WRITE_BLOCK);
    if (!block) return FILE_NO_MEMORY;
    Beside beside;
    FileResult rc = BesideNew(&beside, path);
    if (rc != FILE_OK) {
        qmem_free(block);
        return rc;
    }
    NewFile f;
    int placed = NewFileOpen(&f, &beside, NULL);
    if (placed == FILE_OK) {
        placed = WriteThrough(f.fd, writer, context, block, 1);
        if (placed != FILE_OK) NewFileDiscard(&f);
    }
    if (placed == FILE_OK) placed = NewFileFinish(&f, path, replace);
    rc = placed == PLACE_UNSUPPORTED ? PlaceInPlace(path, writer, context, block)
                                     : (FileResult)placed;
    if (rc == FILE_OK || rc == FILE_STRAY) SysSyncDirectory(beside.dir);
    BesideFree(&beside);
    qmem_free(block);
    return rc;
}
