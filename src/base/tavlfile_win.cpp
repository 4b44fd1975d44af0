/*
 * tavlfile_win.cpp - the platform file layer on Windows: the file
 * primitives of tavlfile_sys.h over the C runtime's descriptors and the
 * Win32 file calls, stream sizes, and read-only mappings.
 *
 * New files. Windows has no files without a name: a new file is made under
 * a hidden temporary name beside its target, in binary mode and not
 * inherited by child processes (a child holding it open would keep it from
 * being moved), and moved into place once closed (MoveFileExA, written
 * through; without replace the move refuses a taken name). The read-only
 * attribute keeps a file from being replaced.
 *
 * Targets. Symbolic links are followed by opening the target and asking
 * for the name the system gives the open file, its "\\?\" prefix dropped
 * before a drive letter or a share, so the name keeps to the file calls'
 * usual rules.
 *
 * Mappings. A file is opened for reading with the access hint as a flag
 * (sharing reads only), refused unless it is a file on a disk, and mapped
 * through an unnamed section: a name made from the path could belong to
 * two files, since a section found by name ignores the file handle. Both
 * handles are closed at once; the view outlives them until it is unmapped.
 *
 * No handle, descriptor or stream opened here is inherited by a child
 * process: handles are made without inheritance, descriptors with
 * _O_NOINHERIT, streams with the "N" mode letter. In a build for the fault
 * sweep each file call first asks whether it is to fail.
 */
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "base/tavlbits.h"
#include "base/tavlfile.h"
#include "base/tavlfile_sys.h"
#include "base/tavlhost.h" /* <windows.h> */

/* ---- System calls ------------------------------------------------------- */

/* The fault asked of this call (FAULT_NONE: none); errno and the last
 * error hold the error it stands for, for C runtime and Win32 calls. */
static inline int Fault(FileCall call) {
    static const struct { int error; DWORD win32; } errors[] = {
        {0, 0},
        {ENOSPC, ERROR_DISK_FULL},
        {EIO, ERROR_IO_DEVICE},
        {EACCES, ERROR_ACCESS_DENIED},
        {EROFS, ERROR_WRITE_PROTECT},
        {EXDEV, ERROR_NOT_SAME_DEVICE},
        {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
        {EIO, ERROR_IO_DEVICE},
        {EINTR, ERROR_OPERATION_ABORTED},
        {ENOSYS, ERROR_NOT_SUPPORTED},
    };
    int fault = FileFaultHit(call);
    if (fault != FAULT_NONE) {
        errno = errors[fault].error;
        SetLastError(errors[fault].win32);
    }
    return fault;
}

/* ---- Names and targets ------------------------------------------------- */

int SysIsSeparator(char c) { return c == '/' || c == '\\' || c == ':'; }

uint32_t SysProcessId(void) { return (uint32_t)GetCurrentProcessId(); }

FileResult SysResolveTarget(const char *path, Target *t) {
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
    /* A path that leads to no file is taken as it stands. */
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
    t->name = FileNameCopy(name, strlen(name), 0);
    if (!t->name) return FILE_NO_MEMORY;
    struct _stat64 st;
    t->exists = !Fault(CALL_STAT) && _stat64(t->name, &st) == 0;
    t->regular = t->exists && (st.st_mode & _S_IFREG);
    t->folder = t->exists && (st.st_mode & _S_IFDIR);
    if (t->exists) t->like.mode = (uint32_t)(st.st_mode & 0777);
    return FILE_OK;
}

/* The read-only attribute; the move would go through all the same. */
int SysMayWrite(const Target *t) {
    DWORD attributes = GetFileAttributesA(t->name);
    return attributes == INVALID_FILE_ATTRIBUTES ||
           !(attributes & FILE_ATTRIBUTE_READONLY);
}

FileResult SysFolderState(const char *dir) {
    const DWORD attributes = GetFileAttributesA(dir);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        errno = ENOENT;
        return FILE_NOT_FOUND;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return FILE_OK;
    errno = ENOTDIR;
    return FILE_NOT_REGULAR;
}

/* A folder's read-only attribute does not keep files out of it: only
 * making one tells. */
int SysMayCreateIn(const char *dir) {
    (void)dir;
    return 1;
}

/* ---- Descriptors -------------------------------------------------------- */

/* Windows has no files without a name. */
int SysCreateUnnamed(const char *dir, const FileLike *like, int *fd) {
    (void)dir;
    (void)like;
    (void)fd;
    return PLACE_UNSUPPORTED;
}

/* A new file is readable and writable; the permission bits of the file it
 * replaces mean nothing here. */
FileResult SysCreate(const char *name, const FileLike *like, int *fd) {
    (void)like;
    *fd = Fault(CALL_CREATE) ? -1
                             : _open(name, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                                     _S_IREAD | _S_IWRITE);
    if (*fd < 0) return errno == EEXIST ? FILE_EXISTS : FILE_CANNOT_CREATE;
    return FILE_OK;
}

FileResult SysOpenInPlace(const char *name, int *fd) {
    *fd = Fault(CALL_OPEN) ? -1 : _open(name, _O_WRONLY | _O_TRUNC | _O_BINARY | _O_NOINHERIT);
    if (*fd >= 0) return FILE_OK;
    return errno == ENOENT ? FILE_NOT_FOUND
           : errno == EACCES ? FILE_DENIED
                             : FILE_CANNOT_OPEN;
}

int SysWriteAll(int fd, const char *bytes, size_t size) {
    TAVL_ASSERT(fd >= 0 && (bytes || !size));
    while (size) {
        /* _write takes an unsigned count; at most 1 GiB in one call. */
        unsigned chunk = size > (1u << 30) ? (1u << 30) : (unsigned)size;
        int fault = Fault(CALL_WRITE);
        if (fault == FAULT_SHORT && chunk > 1) chunk /= 2;
        int n = fault != FAULT_NONE && fault != FAULT_SHORT ? -1 : _write(fd, bytes, chunk);
        if (n <= 0) return 0;
        bytes += n;
        size -= (size_t)n;
    }
    return 1;
}

int SysWriteAt(int fd, uint64_t offset, const char *bytes, size_t size) {
    TAVL_ASSERT(offset <= (uint64_t)INT64_MAX);
    __int64 end = _lseeki64(fd, 0, SEEK_CUR);
    if (end < 0 || _lseeki64(fd, (__int64)offset, SEEK_SET) < 0) return 0;
    int ok = SysWriteAll(fd, bytes, size);
    if (_lseeki64(fd, end, SEEK_SET) < 0) ok = 0;
    return ok;
}

/* Windows writes back on its own; the final commit waits for the rest. */
void SysStartWriteback(int fd, uint64_t from, uint64_t size) {
    (void)fd;
    (void)from;
    (void)size;
}

int SysSync(int fd) { return !Fault(CALL_SYNC) && _commit(fd) == 0; }

/* Releases fd whatever it answers. */
int SysClose(int fd) {
    int fault = Fault(CALL_CLOSE);
    return _close(fd) == 0 && !fault;
}

/* ---- Naming ------------------------------------------------------------- */

/* Never asked: no file is made without a name here. */
int SysLinkUnnamed(int fd, const char *name) {
    (void)fd;
    (void)name;
    return FILE_CANNOT_PLACE;
}

int SysMove(const char *from, const char *to, int replace, int *left) {
    TAVL_ASSERT(from && to && left);
    DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    *left = 0;
    if (!Fault(replace ? CALL_MOVE : CALL_MOVE_NOREPLACE) && MoveFileExA(from, to, flags))
        return FILE_OK;
    *left = 1;
    DWORD error = GetLastError();
    return !replace && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)
               ? FILE_EXISTS
               : FILE_CANNOT_PLACE;
}

/* A move written through is durable with its directory entry. */
void SysSyncDirectory(const char *dir) { (void)dir; }

/* ---- Sizes and mappings ------------------------------------------------- */

FILE *FileStreamOpen(const char *path, const char *mode) {
    char flags[8];
    snprintf(flags, sizeof flags, "%sN", mode); /* N: not inherited */
    return Fault(CALL_OPEN) ? NULL : fopen(path, flags);
}

FILE *FileTempStream(void) {
    FILE *stream = tmpfile();
    if (stream && !SetHandleInformation((HANDLE)_get_osfhandle(_fileno(stream)),
                                        HANDLE_FLAG_INHERIT, 0)) {
        fclose(stream);
        return NULL;
    }
    return stream;
}

int64_t FileStreamSize(FILE *stream) {
    struct _stat64 st;
    if (_fstat64(_fileno(stream), &st) != 0 || !(st.st_mode & _S_IFREG)) return -1;
    return (int64_t)st.st_size;
}

/* A view reads ahead as the system sees fit; there is nothing to ask. */
void AdviseLargePages(void *bytes, size_t size) {
    /* Large pages of ordinary memory need a privilege a host seldom has. */
    (void)bytes;
    (void)size;
}

void AdviseWillNeed(const void *bytes, size_t size) {
    (void)bytes;
    (void)size;
}

/* Why path could not be opened, from the kernel's error: a directory is
 * refused as access denied. */
static FileResult OpenFailure(DWORD error, const char *path) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
        return FILE_NOT_FOUND;
    case ERROR_ACCESS_DENIED: {
        DWORD attributes = GetFileAttributesA(path);
        return attributes != INVALID_FILE_ATTRIBUTES &&
                       (attributes & FILE_ATTRIBUTE_DIRECTORY)
                   ? FILE_NOT_REGULAR
                   : FILE_DENIED;
    }
    default:
        return FILE_CANNOT_OPEN;
    }
}

FileResult MapFileReadOnly(const char *path, int hint, const char **view,
                           uint64_t *size, HeldFile *held) {
    *view = NULL;
    *size = 0;
    if (held) held->handle = -1;
    if (!path) return FILE_NOT_FOUND;
    DWORD flags = hint == ACCESS_SEQUENTIAL ? FILE_FLAG_SEQUENTIAL_SCAN
                                            : FILE_FLAG_RANDOM_ACCESS;
    HANDLE file = Fault(CALL_OPEN) ? INVALID_HANDLE_VALUE
                                   : CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL,
                                                 OPEN_EXISTING, flags, NULL);
    if (file == INVALID_HANDLE_VALUE) return OpenFailure(GetLastError(), path);

    FileResult rc = FILE_OK;
    LARGE_INTEGER bytes;
    if (GetFileType(file) != FILE_TYPE_DISK)
        rc = FILE_NOT_REGULAR; /* a device or a pipe */
    else if (!GetFileSizeEx(file, &bytes) || bytes.QuadPart <= 0)
        rc = FILE_CANNOT_MAP;  /* an empty file cannot be mapped */
    else if ((uint64_t)(size_t)bytes.QuadPart != (uint64_t)bytes.QuadPart)
        rc = FILE_TOO_LARGE;
    if (rc != FILE_OK) {
        CloseHandle(file);
        return rc;
    }
    HANDLE mapping = Fault(CALL_MAP) ? NULL
                                     : CreateFileMappingA(file, NULL,
                                                          PAGE_READONLY | SEC_COMMIT | SEC_NOCACHE,
                                                          0, 0, NULL);
    /* The view outlives the mapping handle and the file's. */
    LPVOID mapped = mapping && !Fault(CALL_MAP)
                        ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0)
                        : NULL;
    if (mapping) CloseHandle(mapping);
    if (!mapped || !held) CloseHandle(file);
    if (!mapped) return FILE_CANNOT_MAP;
    if (held) held->handle = (intptr_t)file;
    *view = (const char *)mapped;
    *size = (uint64_t)bytes.QuadPart;
    return FILE_OK;
}

FileResult HeldFileRead(const HeldFile *file, uint64_t offset, void *buffer,
                        size_t n, size_t *got) {
    TAVL_ASSERT(file && (buffer || !n) && got);
    *got = 0;
    if (file->handle == -1) return FILE_IO;
    HANDLE handle = (HANDLE)file->handle;
    while (*got < n) {
        /* A read at an offset of its own, whatever the handle's position. */
        uint64_t at = offset + *got;
        OVERLAPPED place;
        memset(&place, 0, sizeof place);
        place.Offset = (DWORD)at;
        place.OffsetHigh = (DWORD)(at >> 32);
        DWORD want = n - *got > (1u << 30) ? (1u << 30) : (DWORD)(n - *got);
        DWORD read = 0;
        if (Fault(CALL_READ) || !ReadFile(handle, (char *)buffer + *got, want, &read, &place))
            return GetLastError() == ERROR_HANDLE_EOF ? FILE_OK : FILE_IO;
        if (read == 0) break;
        *got += read;
    }
    return FILE_OK;
}

void HeldFileClose(HeldFile *file) {
    if (file->handle != -1) CloseHandle((HANDLE)file->handle);
    file->handle = -1;
}

FileResult UnmapFile(const char *view, uint64_t size) {
    (void)size; /* the system knows the view's length */
    if (!view) return FILE_OK;
    return UnmapViewOfFile(view) ? FILE_OK : FILE_NOT_MAPPED;
}
