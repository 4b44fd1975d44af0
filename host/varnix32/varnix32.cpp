/*
 * varnix32.cpp - OS-services stand-in over the C library's file calls (on
 * Windows, the kernel's file attributes for the existence test).
 */
#include "varnix32.h"

#include <cctype>
#include <cstdio>
#ifdef _WIN32
#  include <windows.h>
#else
#  include <sys/stat.h>
#endif

extern "C" {

int zkOsCharsetType = 1;

int os_is_file_exist(const char *path) {
    if (!path) return 0;
#ifdef _WIN32
    // The attributes alone: the C runtime's stat keeps the size in 32 bits
    // and may refuse a file of 2 GiB or more, which still exists.
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
    return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) ? 0 : 1;
#else
    struct stat st;
    if (stat(path, &st) != 0) return 0;
    return S_ISREG(st.st_mode) ? 1 : 0;
#endif
}

int os_remove_file(const char *path, int flags) {
    (void)flags;
    if (!path) return 0;
    return std::remove(path) == 0 ? OS_REMOVE_OK : 0;
}

char *os_itoa(int value, char *buffer, int radix) {
    if (!buffer) return buffer;
    if (radix < 2 || radix > 36) radix = 10;
    char digits[40];
    int n = 0;
    bool negative = value < 0 && radix == 10;
    // Work in unsigned so that INT_MIN has a magnitude.
    unsigned int u = negative ? 0u - static_cast<unsigned int>(value)
                              : static_cast<unsigned int>(value);
    do {
        unsigned int d = u % static_cast<unsigned int>(radix);
        digits[n++] = static_cast<char>(d < 10 ? '0' + d : 'a' + d - 10);
        u /= static_cast<unsigned int>(radix);
    } while (u);
    char *out = buffer;
    if (negative) *out++ = '-';
    while (n) *out++ = digits[--n];
    *out = '\0';
    return buffer;
}

int os_is_char_space(const char *position, const char *last) {
    if (!position || !last || position > last) return 0;
    return std::isspace(static_cast<unsigned char>(*position)) ? 1 : 0;
}

} // extern "C"
