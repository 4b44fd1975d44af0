/*
 * varnix32.h - the host product's OS-services layer, as tavlin32 sees it.
 *
 * Our stand-in answers from the ordinary file-system calls and the C
 * library's white-space test; the character set is single-byte unless a test
 * sets zkOsCharsetType above 1.
 */
#ifndef VARNIX32_H
#define VARNIX32_H

#if defined(_WIN32)
#  if defined(VARNIX32_BUILD)
#    define VARNIX32_API __declspec(dllexport)
#  else
#    define VARNIX32_API __declspec(dllimport)
#  endif
#else
#  define VARNIX32_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* os_remove_file's success value. */
#define OS_REMOVE_OK 0x2000001

/* 1 when a regular file exists at path, 0 otherwise (directories too). */
VARNIX32_API int os_is_file_exist(const char *path);
/* Removes the file; OS_REMOVE_OK on success, 0 on failure. */
VARNIX32_API int os_remove_file(const char *path, int flags);
/* Writes value in the radix (2 to 36) into buffer; returns buffer. */
VARNIX32_API char *os_itoa(int value, char *buffer, int radix);
/* Non-zero when the byte at position is white space; last is the last byte
 * of the text, which is never looked beyond. */
VARNIX32_API int os_is_char_space(const char *position, const char *last);
/* Above 1 when a multibyte character set is active. */
VARNIX32_API extern int zkOsCharsetType;

#ifdef __cplusplus
}
#endif

#endif /* VARNIX32_H */
