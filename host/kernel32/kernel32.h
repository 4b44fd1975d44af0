/*
 * kernel32.h - the few Windows kernel calls tavlin32 makes, for systems other
 * than Windows.
 *
 * On Windows the library includes <windows.h> and calls the kernel itself;
 * elsewhere it includes this header and links our stand-in, which gives the
 * same calls the same meaning over POSIX: a per-thread last-error value, and
 * read-only shared file mappings whose views outlive the file and mapping
 * handles they were made from.
 */
#ifndef TAVL_KERNEL32_H
#define TAVL_KERNEL32_H

#include <stddef.h>
#include <stdint.h>

#define KERNEL32_API __attribute__((visibility("default")))
#define WINAPI

typedef void *HANDLE;
typedef uint32_t DWORD;
typedef int BOOL;
typedef const char *LPCSTR;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef DWORD *LPDWORD;
typedef size_t SIZE_T;
typedef void *LPSECURITY_ATTRIBUTES;

#ifndef TRUE
#  define TRUE 1
#  define FALSE 0
#endif

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFFu)

#define GENERIC_READ              0x80000000u
#define FILE_SHARE_READ           0x00000001u
#define OPEN_EXISTING             3u
#define FILE_ATTRIBUTE_NORMAL     0x00000080u
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000u
#define FILE_FLAG_RANDOM_ACCESS   0x10000000u
#define PAGE_READONLY             0x00000002u
#define SEC_COMMIT                0x08000000u
#define SEC_NOCACHE               0x10000000u
#define FILE_MAP_READ             0x00000004u

#define ERROR_FILE_NOT_FOUND      2u
#define ERROR_ACCESS_DENIED       5u
#define ERROR_INVALID_HANDLE      6u
#define ERROR_NOT_ENOUGH_MEMORY   8u
#define ERROR_FILE_INVALID        1006u

#ifdef __cplusplus
extern "C" {
#endif

KERNEL32_API void WINAPI SetLastError(DWORD code);
KERNEL32_API DWORD WINAPI GetLastError(void);

KERNEL32_API HANDLE WINAPI CreateFileA(LPCSTR path, DWORD access, DWORD share,
                                       LPSECURITY_ATTRIBUTES security,
                                       DWORD disposition, DWORD flags,
                                       HANDLE template_file);
KERNEL32_API DWORD WINAPI GetFileSize(HANDLE file, LPDWORD high);
KERNEL32_API HANDLE WINAPI CreateFileMappingA(HANDLE file,
                                              LPSECURITY_ATTRIBUTES security,
                                              DWORD protect, DWORD max_high,
                                              DWORD max_low, LPCSTR name);
KERNEL32_API LPVOID WINAPI MapViewOfFile(HANDLE mapping, DWORD access,
                                         DWORD offset_high, DWORD offset_low,
                                         SIZE_T bytes);
KERNEL32_API BOOL WINAPI UnmapViewOfFile(LPCVOID view);
KERNEL32_API BOOL WINAPI CloseHandle(HANDLE object);

#ifdef __cplusplus
}
#endif

#endif /* TAVL_KERNEL32_H */
