/*
 * kernel32.cpp - the kernel stand-in: last-error value and read-only file
 * mapping over POSIX open, fstat, mmap and munmap.
 *
 * A file handle and a mapping handle each own a descriptor of their own, so
 * either may be closed first; a view is an ordinary shared mmap and so stays
 * valid after both handles are closed, and two processes mapping one file
 * see the same page-cache bytes. Views are remembered with their length so
 * that UnmapViewOfFile can hand munmap what it needs.
 */
#include "kernel32.h"

#include <cerrno>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <new>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

thread_local DWORD last_error = 0;

enum class Kind { File, Mapping };

struct Object {
    Kind kind;
    int fd;
    DWORD flags;        // access hint of the file handle
    uint64_t size;      // mapping: bytes to map
};

std::mutex views_lock;
std::map<const void *, size_t> &views() {
    static std::map<const void *, size_t> table;
    return table;
}

DWORD error_from_errno(int e) {
    switch (e) {
    case ENOENT: case ENOTDIR: return ERROR_FILE_NOT_FOUND;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    default: return ERROR_ACCESS_DENIED;
    }
}

Object *as_object(HANDLE h, Kind kind) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
    Object *o = static_cast<Object *>(h);
    return o->kind == kind ? o : nullptr;
}

} // namespace

extern "C" {

void SetLastError(DWORD code) { last_error = code; }
DWORD GetLastError(void) { return last_error; }

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share,
                   LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD flags, HANDLE template_file) {
    (void)share; (void)security; (void)template_file;
    if (!path || access != GENERIC_READ || disposition != OPEN_EXISTING) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    // O_NONBLOCK keeps a FIFO at the path from blocking the open until a
    // writer appears; it is refused just below like every non-regular file.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        SetLastError(error_from_errno(errno));
        return INVALID_HANDLE_VALUE;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        // The kernel refuses to open a directory as a file.
        close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (flags & FILE_FLAG_SEQUENTIAL_SCAN)
        posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    else if (flags & FILE_FLAG_RANDOM_ACCESS)
        posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
    Object *o = new (std::nothrow) Object{Kind::File, fd, flags, 0};
    if (!o) {
        close(fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    return o;
}

DWORD GetFileSize(HANDLE file, LPDWORD high) {
    Object *o = as_object(file, Kind::File);
    struct stat st;
    if (!o || fstat(o->fd, &st) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_FILE_SIZE;
    }
    uint64_t size = static_cast<uint64_t>(st.st_size);
    if (high) *high = static_cast<DWORD>(size >> 32);
    SetLastError(0);
    return static_cast<DWORD>(size & 0xFFFFFFFFu);
}

HANDLE CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES security,
                          DWORD protect, DWORD max_high, DWORD max_low,
                          LPCSTR name) {
    // Mappings are not looked up by name: every call maps the file of its
    // own handle, which is what an unnamed mapping does on Windows.
    (void)security; (void)name;
    Object *f = as_object(file, Kind::File);
    if (!f || (protect & 0xFFu) != PAGE_READONLY) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    struct stat st;
    if (fstat(f->fd, &st) != 0) {
        SetLastError(error_from_errno(errno));
        return nullptr;
    }
    uint64_t size = (static_cast<uint64_t>(max_high) << 32) | max_low;
    if (size == 0) size = static_cast<uint64_t>(st.st_size);
    if (size == 0 || size > static_cast<uint64_t>(st.st_size)) {
        // An empty file cannot be mapped, nor can a read-only file grow.
        SetLastError(ERROR_FILE_INVALID);
        return nullptr;
    }
    int fd = fcntl(f->fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        SetLastError(error_from_errno(errno));
        return nullptr;
    }
    Object *m = new (std::nothrow) Object{Kind::Mapping, fd, f->flags, size};
    if (!m) {
        close(fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return m;
}

LPVOID MapViewOfFile(HANDLE mapping, DWORD access, DWORD offset_high,
                     DWORD offset_low, SIZE_T bytes) {
    Object *m = as_object(mapping, Kind::Mapping);
    // A whole mapping larger than the address space cannot be viewed.
    if (!m || access != FILE_MAP_READ || offset_high || offset_low ||
        (bytes && bytes > m->size) || m->size > SIZE_MAX) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    size_t length = bytes ? bytes : static_cast<size_t>(m->size);
    void *view = mmap(nullptr, length, PROT_READ, MAP_SHARED, m->fd, 0);
    if (view == MAP_FAILED) {
        SetLastError(error_from_errno(errno));
        return nullptr;
    }
    if (m->flags & FILE_FLAG_SEQUENTIAL_SCAN)
        madvise(view, length, MADV_SEQUENTIAL);
    else if (m->flags & FILE_FLAG_RANDOM_ACCESS)
        madvise(view, length, MADV_RANDOM);
    std::lock_guard<std::mutex> hold(views_lock);
    views()[view] = length;
    return view;
}

BOOL UnmapViewOfFile(LPCVOID view) {
    size_t length;
    {
        std::lock_guard<std::mutex> hold(views_lock);
        auto it = views().find(view);
        if (it == views().end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        length = it->second;
        views().erase(it);
    }
    if (munmap(const_cast<void *>(view), length) != 0) {
        SetLastError(error_from_errno(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL CloseHandle(HANDLE object) {
    if (object == nullptr || object == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Object *o = static_cast<Object *>(object);
    close(o->fd);
    delete o;
    return TRUE;
}

} // extern "C"
