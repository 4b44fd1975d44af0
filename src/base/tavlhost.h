/*
 * tavlhost.h - the one seam between tavlin32 and what the host supplies.
 *
 * Every heap block of the library comes from the host allocator (qmem_*),
 * every question about files, white space and the character set goes to
 * the host's OS layer (os_*, zkOsCharsetType), and the thread's last-error
 * value comes from <windows.h> on Windows and from our kernel stand-in
 * elsewhere. Only the qmem_*, os_* and zkOsCharsetType names are looked up
 * in the host's process by name, so a host may put its own in their place;
 * the last-error value is set through a name of the stand-in's own. This header alone names those libraries; files elsewhere
 * reach the file system and the kernel's file calls (on Windows its file
 * mappings too) only through the platform file layer (tavlfile.h), whose
 * files are the only ones that include system headers, besides the C
 * runtime's buffered streams.
 */
#ifndef TAVL_TAVLHOST_H
#define TAVL_TAVLHOST_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#  endif
#  include <windows.h>
#  define TAVL_HOST_IMPORT __declspec(dllimport)
#else
#  include "kernel32.h"
#  define TAVL_HOST_IMPORT
#endif

extern "C" {
/* pellus: the allocator. */
TAVL_HOST_IMPORT void *qmem_malloc(size_t size);
TAVL_HOST_IMPORT void *qmem_calloc(size_t count, size_t size);
TAVL_HOST_IMPORT void *qmem_realloc(void *block, size_t size);
TAVL_HOST_IMPORT int qmem_free(void *block);

/* varnix32: OS services. */
TAVL_HOST_IMPORT int os_is_file_exist(const char *path);
TAVL_HOST_IMPORT int os_remove_file(const char *path, int flags);
TAVL_HOST_IMPORT char *os_itoa(int value, char *buffer, int radix);
TAVL_HOST_IMPORT int os_is_char_space(const char *position, const char *last);
TAVL_HOST_IMPORT extern int zkOsCharsetType;
}

/* os_remove_file's success value. */
#define TAVL_REMOVE_OK 0x2000001

/* The thread's last-error value a failed load sets. */
#define TAVL_LOAD_ERROR TBL_LOAD_ERROR_FLAG

/* Sets the thread's last-error value: the kernel's on Windows, elsewhere
 * the stand-in's through its own name, so that a host's SetLastError never
 * takes the call. */
static inline void TavlSetLastError(uint32_t code) {
#if defined(_WIN32)
    SetLastError((DWORD)code);
#else
    Kernel32StandInSetLastError((DWORD)code);
#endif
}

#endif /* TAVL_TAVLHOST_H */
