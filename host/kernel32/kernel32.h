/*
 * kernel32.h - the Windows kernel's last-error value, for systems other
 * than Windows.
 *
 * On Windows the library includes <windows.h> and calls the kernel itself;
 * elsewhere it includes this header and links our stand-in, which keeps a
 * per-thread last-error value that a failed load sets and a host reads.
 * Hosts read it with GetLastError (and may set it with SetLastError), as on
 * Windows. The library sets it through a name of the stand-in's own, which
 * no host defines: a host that defines SetLastError (or any other kernel
 * name) for itself never takes over the library's call.
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

/* SetLastError under the stand-in's own name: the library's call. */
KERNEL32_API void Kernel32StandInSetLastError(DWORD code);

#ifdef __cplusplus
}
#endif

#endif /* TAVL_KERNEL32_H */
