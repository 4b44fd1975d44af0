/*
 * tavlfile.h - the platform file layer: files written whole or not at all,
 * and files mapped read-only. It is the one part of the library that calls
 * the file system (and, for mappings, the kernel) itself; the layers above
 * ask here and keep no system call of their own.
 *
 * A file written here appears complete or not at all. Its bytes go to a new
 * file beside its name, are flushed to the disk, and only then take the
 * name in one step. On Linux the new file has no name while it is written
 * (O_TMPFILE), so a process killed meanwhile leaves nothing behind; where
 * the file system refuses unnamed files, and on Windows, it is a hidden
 * file beside the target ("." and seven letters and digits), which a crash
 * at the wrong moment can leave behind.
 */
#ifndef TAVL_TAVLFILE_H
#define TAVL_TAVLFILE_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

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

/* Writes a file's contents through sink. Returns TBL_OK, or a failure code
 * of its own that abandons the file. */
typedef int (*FileWriter)(void *context, FileSink *sink);

/* Replaces the file path leads to (symbolic links followed) with what
 * writer writes, whole or not at all. The new file gets the old one's
 * permission bits from the moment it exists and, where the caller may
 * give them, its owner and group; a new file gets 0666 less the umask. A
 * target that exists but is not a regular file (a device, a FIFO) is
 * written in place. An existing file the caller may not write (its
 * permission, a read-only file system, the read-only attribute) is not
 * replaced.
 * @return TBL_OK; TBL_ERR_SAVE_OPEN when the file could not be created,
 *         written, synced or put in place, or may not be replaced (the old
 *         file is then as it was and no temporary file is left);
 *         TBL_ERR_NO_MEMORY before any file is touched; or the writer's
 *         own failure code. */
int FileReplace(const char *path, FileWriter writer, void *context);

/* Puts a file holding size bytes at path, whole or not at all. With
 * replace it takes the place of any file there (a process that has the old
 * one open keeps reading it); without, only while no file is there.
 * @return TBL_OK; TBL_ERR_INDEX_EXISTS when, without replace, a file is
 *         there; TBL_ERR_INDEX_WRITE when it could not be written or put in
 *         place (no file of it is left). */
int FilePlace(const char *path, const void *bytes, size_t size, int replace);

/* Size in bytes of the regular file open in stream, or -1 when it is not a
 * regular file (a pipe, a device) or cannot be told. */
int64_t FileStreamSize(FILE *stream);

/* Asks the system to read bytes[0..size) of a mapped file now, without
 * waiting for it: a mapping opened for reading here and there reads ahead
 * nothing of its own. Only a hint. */
void AdviseWillNeed(const void *bytes, size_t size);

/* Access hints of a mapping. */
#define ACCESS_SEQUENTIAL 1 /* read from start to end once */
#define ACCESS_RANDOM     2 /* read here and there */

/* Maps the whole file at path read-only: *view and *size receive its bytes
 * (null and 0 on failure). The view stays valid until FileUnmap, whatever
 * happens to the file's handles. Files of 4 GiB or more, and empty files,
 * cannot be mapped.
 * @return TBL_OK; TBL_ERR_OPEN when the file cannot be opened; TBL_ERR_MAP
 *         when it cannot be mapped. */
int MapFileReadOnly(const char *path, int hint, const char **view,
                    uint32_t *size);

/* TBL_OK (also for a null view), or TBL_ERR_UNMAP. */
int UnmapFile(const char *view);

#endif /* TAVL_TAVLFILE_H */
