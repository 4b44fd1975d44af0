/*
 * tavlfile_sys.h - the few file primitives the platform file layer's shared
 * part (tavlfile.cpp) asks of the file of its system (tavlfile_unix.cpp,
 * tavlfile_win.cpp), and the helpers the shared part lends back. Only those
 * three files include it; the rest of the library sees tavlfile.h alone.
 *
 * A primitive does one system call or a short fixed run of them, and
 * answers in FileResult terms (plus PLACE_UNSUPPORTED where a name is
 * given). Descriptors are the C runtime's int descriptors on every system;
 * a new file's descriptor is never inherited by a child process (on
 * Windows a child holding it open would keep the file from being moved).
 */
#ifndef TAVL_TAVLFILE_SYS_H
#define TAVL_TAVLFILE_SYS_H

#include <stddef.h>
#include <stdint.h>

#include "base/tavlfile.h"

/* A result of the naming primitives beside the FileResults: the file
 * system can neither link nor move without replacing (FAT, some network
 * and user-space file systems). */
#define PLACE_UNSUPPORTED 100

/* What a new file takes over from the file it replaces. */
typedef struct FileLike {
    uint32_t mode;           /* permission bits */
    uint64_t owner, group;   /* where the system has them */
} FileLike;

/* What a save must write: the file path leads to, and what is known of it. */
typedef struct Target {
    char *name;              /* a block of the host allocator */
    int exists;
    int regular;
    FileLike like;
} Target;

/* ---- Lent by the shared part ------------------------------------------- */

/* Length of the directory part of path, separator included (0: none). */
size_t FileDirectoryLength(const char *path);

/* A new block of the host allocator holding the n bytes of text, room for
 * extra more and a NUL; null without memory. */
char *FileNameCopy(const char *text, size_t n, size_t extra);

/* ---- Names and targets ------------------------------------------------- */

/* 1 when c ends a directory part of a path. */
int SysIsSeparator(char c);

uint32_t SysProcessId(void);

/* Follows the symbolic links of path to the file a save must write, and
 * fills t (t->name a new block, freed by the caller also on failure). A
 * path that leads to no file is a new file there. FILE_OK, FILE_NO_MEMORY,
 * FILE_NOT_FOUND or FILE_DENIED. */
FileResult SysResolveTarget(const char *path, Target *t);

/* 1 when the caller may write the existing file t itself: a file it could
 * not write is not replaced behind its back. */
int SysMayWrite(const Target *t);

/* ---- Descriptors -------------------------------------------------------- */

/* Creates a file without a name in dir, open for writing in *fd, with the
 * permission bits (and where allowed owner and group) of like, or 0666 less
 * the umask without like. 1 when made; 0 where the system or the file
 * system has no such files. */
int SysCreateUnnamed(const char *dir, const FileLike *like, int *fd);

/* Creates the file name, only while nothing has that name, open for
 * writing in *fd, with what it takes of like as above. FILE_OK,
 * FILE_EXISTS or FILE_CANNOT_CREATE. */
FileResult SysCreate(const char *name, const FileLike *like, int *fd);

/* Opens the existing file name for writing from its start, emptied.
 * FILE_OK, or why not: FILE_NOT_FOUND, FILE_DENIED or FILE_CANNOT_OPEN. */
FileResult SysOpenInPlace(const char *name, int *fd);

/* Writes all size bytes to fd. 1 when every byte went. */
int SysWriteAll(int fd, const char *bytes, size_t size);

/* Writes all size bytes to the regular file open in fd from offset on,
 * leaving where the next SysWriteAll writes as it was. 1 when every byte
 * went. */
int SysWriteAt(int fd, uint64_t offset, const char *bytes, size_t size);

/* Asks the system to start writing bytes [from, from + size) of fd to the
 * disk, without waiting. Only a hint, where the system takes one. */
void SysStartWriteback(int fd, uint64_t from, uint64_t size);

/* Flushes what was written to fd to the disk. 1 when it went. */
int SysSync(int fd);

/* 1 when fd closed cleanly. */
int SysClose(int fd);

/* ---- Naming ------------------------------------------------------------- */

/* Gives the unnamed file open in fd the name name, which must be free.
 * FILE_OK, FILE_EXISTS, PLACE_UNSUPPORTED or FILE_CANNOT_PLACE. */
int SysLinkUnnamed(int fd, const char *name);

/* Gives the closed file from the name to: replacing whatever is there, or
 * only where nothing is. FILE_OK, FILE_EXISTS (only without replace),
 * PLACE_UNSUPPORTED (only without replace) or FILE_CANNOT_PLACE. *left is
 * set when from still names a file afterwards (the move failed, or the new
 * name was made as a second link), which the caller then removes. */
int SysMove(const char *from, const char *to, int replace, int *left);

/* Makes the entries of directory dir durable: a rename or a link is only
 * as lasting as its directory. Nothing where the system does so itself. */
void SysSyncDirectory(const char *dir);

#endif /* TAVL_TAVLFILE_SYS_H */
