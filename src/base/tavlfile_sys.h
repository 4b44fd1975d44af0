/*
 * tavlfile_sys.h - the few file primitives the platform file layer's shared
 * part (tavlfile.cpp) asks of the file of its system (tavlfile_unix.cpp,
 * tavlfile_win.cpp), and the helpers the shared part lends back. Only those
 * three files include it; the rest of the library sees tavlfile.h alone.
 *
 * A primitive does one system call or a short fixed run of them, and
 * answers in FileResult terms (plus PLACE_UNSUPPORTED where a name is
 * given). Descriptors are the C runtime's int descriptors on every system;
 * no descriptor or handle of the layer is ever inherited by a child process
 * (on Windows a child holding a new file open would keep it from being
 * moved). A call the system interrupts (EINTR) is made again where that is
 * safe, and a close counts as done once the descriptor is released.
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

/* ---- Failures on purpose ------------------------------------------------ *
 *
 * A build for the tests' fault sweep (TAVL_FILE_FAULTS; never the shipped
 * library, nor the tool) asks before each system call of the per-system
 * layer, and before each removal, whether that call is to fail, and how.
 * FileFaultHit is defined by the test program, not here; it answers a
 * FileFault, and FAULT_NONE lets the call go on. A failed call then looks
 * to its caller as the system's own failure would: the error the fault
 * names (errno, or the Win32 last error), a write that takes only half its
 * bytes, a close that releases the descriptor and still fails. Elsewhere
 * FileFaultHit answers FAULT_NONE where it stands, and nothing of it is
 * left in the code. */
typedef enum FileCall {
    CALL_STAT,           /* a look at a file or a path */
    CALL_OPEN,           /* an existing file opened */
    CALL_CREATE_UNNAMED, /* a file without a name made */
    CALL_CREATE,         /* a named file made */
    CALL_OWNER,          /* a new file given its owner and group */
    CALL_MODE,           /* a new file given its permission bits */
    CALL_WRITE,
    CALL_SYNC,
    CALL_CLOSE,
    CALL_LINK,           /* a second name given to a file */
    CALL_MOVE,           /* a rename over whatever has the name */
    CALL_MOVE_NOREPLACE, /* a rename that refuses a taken name */
    CALL_REMOVE,
    CALL_MAP,
    CALL_READ
} FileCall;

typedef enum FileFault {
    FAULT_NONE,
    FAULT_NO_SPACE,
    FAULT_IO,
    FAULT_DENIED,
    FAULT_READ_ONLY,
    FAULT_CROSS_DEVICE,
    FAULT_NO_MEMORY,
    FAULT_SHORT,        /* a write takes half its bytes */
    FAULT_INTERRUPTED,  /* a signal came (EINTR) */
    FAULT_UNSUPPORTED   /* the file system cannot do it at all */
} FileFault;

#if defined(TAVL_FILE_FAULTS)
int FileFaultHit(FileCall call);
#else
static inline int FileFaultHit(FileCall call) {
    (void)call;
    return FAULT_NONE;
}
#endif

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
    int folder;
    FileLike like;
} Target;

/* ---- Lent by the shared part ------------------------------------------- */

/* Length of the directory part of path, separator included (0: none). */
size_t FileDirectoryLength(const char *path);

/* A new block of the host allocator holding the n bytes of text, room for
 * extra more and a NUL; null without memory. */
char *FileNameCopy(const char *text, size_t n, size_t extra);

/* Removes a file this layer made, trying twice: a removal the system
 * refuses once (interrupted, busy) seldom fails again. 1 when it is gone. */
int FileDropName(const char *name);

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

/* FILE_OK when dir is a folder; FILE_NOT_FOUND when nothing is there (or
 * it cannot be reached), FILE_NOT_REGULAR when something else is; errno
 * set on failure. */
FileResult SysFolderState(const char *dir);

/* 0 when the caller may not make a file in the folder dir (errno set),
 * where the system can tell without making one. */
int SysMayCreateIn(const char *dir);

/* ---- Descriptors -------------------------------------------------------- */

/* Creates a file without a name in dir, open for writing in *fd, with the
 * permission bits of like, and its owner and group where the caller may
 * give them (a refusal leaves the caller's, as for any new file); with 0666
 * less the umask without like. FILE_OK when made; PLACE_UNSUPPORTED where
 * the system or the file system has no such files (or would not make one);
 * FILE_CANNOT_CREATE when it was made but could not be given what like
 * asks (it is gone again). */
int SysCreateUnnamed(const char *dir, const FileLike *like, int *fd);

/* Creates the file name, only while nothing has that name, open for
 * writing in *fd, with what it takes of like as above. FILE_OK,
 * FILE_EXISTS or FILE_CANNOT_CREATE (also when like could not be given:
 * the file is removed again). */
FileResult SysCreate(const char *name, const FileLike *like, int *fd);

/* Opens the existing file name for writing from its start, emptied. A FIFO
 * that no process reads is refused at once rather than waited for.
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

/* Closes fd; the descriptor is released whatever the answer. 1 when it
 * closed cleanly. */
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
