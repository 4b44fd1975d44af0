/*
 * kernel32.h - the Windows kernel calls tavlin32 makes, for systems other
 * than Windows.
 *
 * On Windows the library includes <windows.h> and calls the kernel itself;
 * elsewhere it includes this header and links our stand-in, which gives
 * the one call it needs there the same meaning: a per-thread last-error
 * value, which a failed load sets and a host reads.
 */
#ifndef TAVL_KERNEL32_H
#define TAVL_KERNEL32_H

#include <stdint.h>

#define KERNEL32_API __attribute__((visibility("default")))
#define WINAPI

typedef uint32_t DWORD;

#ifdef __cplusplus
extern "C" {
#endif

KERNEL32_API void WINAPI SetLastError(DWORD code);
KERNEL32_API DWORD WINAPI GetLastError(void);

#ifdef __cplusplus
}
#endif

#endif /* TAVL_KERNEL32_H */
