// utf8.h - the one UTF-8 decoder of the tool, for terminal text and JSON.
#pragma once

#include <cstddef>

namespace tavlin {

// Length of the valid UTF-8 sequence at s[i] (of n bytes) and its code
// point; 0 when the bytes there are not one: overlong forms, surrogates,
// code points past U+10FFFF and cut sequences included. ASCII gives 1.
inline size_t DecodeUtf8(const char *s, size_t n, size_t i, char32_t *cp) {
    unsigned char b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
        *cp = b0;
        return 1;
    }
    size_t len;
    char32_t v, min;
    if (b0 >= 0xC2 && b0 <= 0xDF) { len = 2; v = b0 & 0x1F; min = 0x80; }
    else if (b0 >= 0xE0 && b0 <= 0xEF) { len = 3; v = b0 & 0x0F; min = 0x800; }
    else if (b0 >= 0xF0 && b0 <= 0xF4) { len = 4; v = b0 & 0x07; min = 0x10000; }
    else return 0;
    if (i + len > n) return 0;
    for (size_t k = 1; k < len; ++k) {
        unsigned char b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) return 0;
        v = (v << 6) | (b & 0x3F);
    }
    if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
    *cp = v;
    return len;
}

} // namespace tavlin
