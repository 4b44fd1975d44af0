/*
 * pellus.h - the host product's allocator, as tavlin32 sees it.
 *
 * This is our stand-in over the C heap. Besides the four allocator calls it
 * offers tests hooks of its own: make one allocation fail on purpose and
 * count the blocks still live, so that every failure path can be shown to
 * report the failure and to leak nothing, and tell the largest block asked
 * for, so that memory can be shown to follow what a table holds.
 */
#ifndef PELLUS_H
#define PELLUS_H

#include <stddef.h>

#if defined(_WIN32)
#  if defined(PELLUS_BUILD)
#    define PELLUS_API __declspec(dllexport)
#  else
#    define PELLUS_API __declspec(dllimport)
#  endif
#else
#  define PELLUS_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

PELLUS_API void *qmem_malloc(size_t size);
PELLUS_API void *qmem_calloc(size_t count, size_t size);
PELLUS_API void *qmem_realloc(void *block, size_t size);
PELLUS_API int qmem_free(void *block);

/* Test hooks of the stand-in (never part of tavlin32). */

/* The n-th allocation call from now on (malloc, calloc or realloc; n >= 1)
 * returns null; 0 disarms. Only that one call fails. */
PELLUS_API void pellus_fail_at(long n);
/* Number of allocation calls made since the process started. */
PELLUS_API long pellus_calls(void);
/* Number of blocks handed out and not yet freed. */
PELLUS_API long pellus_live_blocks(void);
/* The largest block asked for since the last call of this one (or since
 * the process started). */
PELLUS_API size_t pellus_largest_block(void);

#ifdef __cplusplus
}
#endif

#endif /* PELLUS_H */
