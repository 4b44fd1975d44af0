/*
 * tavlfile.h - the platform file layer: files written whole or not at all,
 * and files mapped read-only. It is the one part of the library that calls
 * the file system (and, for mappings, the kernel) itself; the layers above
 * ask here and keep no system call of their own.
 *
 * One header, one source file per system: tavlfile.cpp holds what is the
 * same everywhere (the write sink, temporary names, the order in which a
 * file is made, written, synced and named), tavlfile_unix.cpp the POSIX
 * calls and tavlfile_win.cpp the Win32 and C runtime calls beneath it.
 *
 * A file written here appears complete or not at all. Its bytes go to a new
 * file beside its name, are flushed to the disk, and only then take the
 * name in one step. On Linux the new file has no name while it is written
 * (O_TMPFILE), so a process killed meanwhile leaves nothing behind; where
 * the file system refuses unnamed files, and on Windows, it is a hidden
 * file beside the target ("." and seven letters and digits), which a crash
 * at the wrong moment can leave behind.
 *
 * Every call answers what happened to the file as a FileResult; what that
 * means for a table is the caller's to say. No descriptor, stream or
 * handle opened here is inherited by a child process the host starts.
 */
#ifndef TAVL_TAVLFILE_H
#define TAVL_TAVLFILE_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

/* What happened to a file. Which call can give which result is said at
 * each call. */
typedef enum FileResult {
    FILE_OK = 0,
    FILE_EXISTS,        /* a file that is not to be replaced has the name */
    FILE_NOT_FOUND,     /* no file can be reached at the path: nothing is
                           there, a directory on the way is missing, the path
                           is empty, or its symbolic links lead nowhere */
    FILE_NOT_REGULAR,   /* a directory, a FIFO or a device is at the path
                           where a regular file must be */
    FILE_DENIED,        /* the caller may not open, write or replace it (its
                           permission, a read-only file system, the read-only
                           attribute) */
    FILE_CANNOT_OPEN,   /* it is there, but the system would not open it for
                           another reason (no descriptor left, a file another
                           process keeps to itself) */
    FILE_CANNOT_CREATE, /* the new file could not be created beside its name
                           (a missing or read-only directory, no free temporary
                           name) */
    FILE_IO,            /* a write, a sync or a close failed: the new file is
                           not complete on the disk */
    FILE_CANNOT_PLACE,  /* the complete new file could not take its name */
    FILE_NO_MEMORY,     /* the host allocator refused a block; no file was
                           touched */
    FILE_CANNOT_MAP,    /* the file is empty, or the system refused to map it */
    FILE_TOO_LARGE,     /* the file is larger than the address space holds */
    FILE_NOT_MAPPED,    /* no view of this layer is at that address */
    FILE_WRITER_FAILED, /* the writer gave up; its caller keeps the reason in
                           the writer's context */
    FILE_STRAY          /* the file is in place, whole, but a temporary name
                           of it beside it could not be removed */
} FileResult;

/* Where a writer's bytes go: gathered into one large block and written in
 * large pieces. The first failed write is remembered and everything after
 * it dropped; the file then does not replace anything. */
typedef struct FileSink {
    char *block;
    size_t used;
    int fd;
    int failed;
    int early;                  /* start writeback while writing */
    uint64_t written, started;  /* bytes handed over; writeback started */
} FileSink;

void FileSinkPut(FileSink *sink, const char *bytes, size_t n);

/* Writes out what the sink has gathered and, for a file synced at its end
 * (a new file, whose sink starts writeback early; not a device written in
 * place), syncs it now: a writer that answers for its file before it
 * returns (by printing what it added, say) first makes sure its bytes
 * reached the disk. 1, or 0 once a write or the sync failed; the file then
 * replaces nothing. */
int FileSinkFlush(FileSink *sink);

/* Writes n bytes over bytes the sink has already taken, from offset on
 * (offset + n at most what it took), for a count known only at the end
 * that a file holds at its start. Only into a new file of FilePlace or
 * FileReplace's replacement, never a device or a FIFO. */
void FileSinkPutAt(FileSink *sink, uint64_t offset, const char *bytes, size_t n);

/* Writes a file's contents through sink. Returns 0 when it has handed over
 * everything, anything else when it gives up, which abandons the file. It
 * may give up on seeing sink->failed: a failed write is reported as FILE_IO
 * whatever the writer returns. */
typedef int (*FileWriter)(void *context, FileSink *sink);

/* Replaces the file path leads to (symbolic links followed) with what
 * writer writes, whole or not at all. The new file gets the old one's
 * permission bits from the moment it exists and, where the caller may
 * give them, its owner and group; a new file gets 0666 less the umask. A
 * target that exists but is not a regular file (a device, a FIFO) is
 * written in place. An existing file the caller may not write (its
 * permission, a read-only file system, the read-only attribute) is not
 * replaced.
 * @return FILE_OK; FILE_NO_MEMORY before any file is touched; otherwise no
 *         temporary file is left, and the old file is as it was unless it
 *         was written in place: FILE_NOT_FOUND (an empty path, or links
 *         that cannot be followed), FILE_DENIED (the old file may not be
 *         replaced, or not be written in place), FILE_CANNOT_OPEN (the
 *         target to be written in place would not open), FILE_CANNOT_CREATE
 *         (no new file could be made beside it), FILE_IO, FILE_CANNOT_PLACE,
 *         or FILE_WRITER_FAILED. */
FileResult FileReplace(const char *path, FileWriter writer, void *context);

/* What FileReplaceCheck found. */
typedef struct FileCheck {
    FileResult result;
    int in_folder;              /* 1: the folder the file goes in is the
                                   cause; 0: the file at the path */
    int error;                  /* the system's error number (0: none) */
} FileCheck;

/* Whether FileReplace would refuse the file at path, asked without writing
 * anything: the target as FileReplace resolves it, then its folder, then
 * the file. result is FILE_OK when nothing stands in the way (a target
 * that is no regular file is written in place, which is not tried here);
 * FILE_NOT_FOUND when the folder does not exist (in_folder) or links
 * cannot be followed; FILE_NOT_REGULAR when the folder is no folder
 * (in_folder) or a folder is at the path; FILE_DENIED when the caller may
 * not write the file; FILE_CANNOT_CREATE when no new file can be made in
 * the folder; FILE_NO_MEMORY. */
void FileReplaceCheck(const char *path, FileCheck *check);

/* Puts a file of what writer writes at path, whole or not at all. With
 * replace it takes the place of any file there (a process that has the old
 * one open keeps reading it); without, only while no file is there. Where
 * the file system can neither link nor move without replacing, the writer
 * runs a second time, into the file under its own name: it must write the
 * same bytes each time.
 * @return FILE_OK; FILE_EXISTS when, without replace, a file is there;
 *         FILE_NO_MEMORY before any file is touched; FILE_CANNOT_CREATE,
 *         FILE_IO, FILE_CANNOT_PLACE or FILE_WRITER_FAILED when it could
 *         not be written or put in place (no file of it is left);
 *         FILE_STRAY when it is in place but its temporary name beside it
 *         could not be removed (two tries). */
FileResult FilePlace(const char *path, FileWriter writer, void *context, int replace);

/* Removes the file at path through the host's OS services (os_remove_file).
 * 1 when it is gone. */
int FileRemove(const char *path);

/* fopen of path with mode "rb", "r+b" or "w+b", the stream not inherited by
 * a child process. Null, with errno set, when it would not open. */
FILE *FileStreamOpen(const char *path, const char *mode);

/* A temporary file, read and written in binary, removed when closed and not
 * inherited by a child process (tmpfile). Null when none could be made. */
FILE *FileTempStream(void);

/* Size in bytes of the regular file open in stream, or -1 when it is not a
 * regular file (a pipe, a device) or cannot be told. */
int64_t FileStreamSize(FILE *stream);

/* Asks the system to read bytes[0..size) of a mapped file now, without
 * waiting for it: a mapping opened for reading here and there reads ahead
 * nothing of its own. Only a hint. */
void AdviseWillNeed(const void *bytes, size_t size);

/* Asks the system to back the block bytes[0..size), not yet touched, with
 * large pages where it can: a table read here and there then misses the
 * address cache less. Only a hint. */
void AdviseLargePages(void *bytes, size_t size);

/* Access hints of a mapping. */
#define ACCESS_SEQUENTIAL 1 /* read from start to end once */
#define ACCESS_RANDOM     2 /* read here and there */

/* A file held open after its mapping, so that bytes a view would show only
 * at the cost of a first touch (its last page, say) are read from the very
 * file mapped: a read by name could meet a file put in its place since. */
typedef struct HeldFile {
    intptr_t handle; /* a descriptor, or a HANDLE on Windows; -1: none */
} HeldFile;

/* Maps the whole regular file at path read-only: *view and *size receive
 * its bytes (null and 0 on failure). The view stays valid until UnmapFile,
 * whatever happens to the file's handles. Nothing at the path is waited
 * for: a FIFO without a writer is refused at once. With held, the file
 * stays open for HeldFileRead until HeldFileClose (held->handle is -1 on
 * failure).
 * @return FILE_OK; FILE_NOT_FOUND, FILE_DENIED, FILE_CANNOT_OPEN or
 *         FILE_NOT_REGULAR when no regular file could be opened at path;
 *         FILE_CANNOT_MAP for an empty file or a mapping the system
 *         refused; FILE_TOO_LARGE for a file the address space cannot
 *         hold. */
FileResult MapFileReadOnly(const char *path, int hint, const char **view,
                           uint64_t *size, HeldFile *held);

/* Reads up to n bytes of a held file from offset on into buffer; *got
 * receives how many (fewer at the end of the file). For a few bytes where
 * a mapping's page would cost more to touch than a read.
 * @return FILE_OK, or FILE_IO when the read failed (also for no file). */
FileResult HeldFileRead(const HeldFile *file, uint64_t offset, void *buffer,
                        size_t n, size_t *got);

/* Closes a held file; one with handle -1 is left as it is. */
void HeldFileClose(HeldFile *file);

/* Releases a view of MapFileReadOnly; size is the size it gave. FILE_OK
 * (also for a null view), or FILE_NOT_MAPPED. */
FileResult UnmapFile(const char *view, uint64_t size);

#endif /* TAVL_TAVLFILE_H */
