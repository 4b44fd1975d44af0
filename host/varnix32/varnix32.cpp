/*
 * varnix32.cpp - OS-services stand-in over the C library's file calls.
 */
#include "varnix32.h"

#include <cctype>
#include <cstdio>
#include <sys/stat.h>

extern "C" {

int zkOsCharsetType = 1;

int os_is_file_exist(const char *path) {
    if (!path) return 0;
    struct stat st;
    if (stat(path, &st) != 0) return 0;
    return S_ISREG(st.st_mode) ? 1 : 0;
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
