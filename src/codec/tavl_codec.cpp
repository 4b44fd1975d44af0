/*
 * tavl_codec.cpp - the stored form of a value: encoding and decoding.
 *
 * Stored, the delimiter D becomes quote-D-quote, the backslash is doubled
 * and each byte below 0x20 becomes \xNN with lower-case digits; every other
 * byte stands for itself. Decoding a field consumes exactly the units
 * encoding wrote, so every value comes back byte for byte. Encoding and
 * decoding measure their output first and resize the output block once, to
 * the size it would have after appending one unit (or one byte) at a time.
 * DecodeFieldTo decodes into a caller's buffer of fixed size while counting
 * the whole value, reading only the bytes it is given, so that it serves a
 * field in a loaded line or in a mapped file alike. Where fields lie in a
 * line is field_split.cpp's.
 */
#include "codec/tavl_codec.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "base/tavlbits.h"
#include "base/tavlhost.h"


static const char kHex[] = "0123456789abcdef";

/* Stored length of each byte when it is not D: \xNN for the control bytes,
 * a doubled backslash, every other byte itself. */
struct UnitTable {
    unsigned char len[256];
};
static constexpr UnitTable MakeUnitTable() {
    UnitTable t{};
    for (int b = 0; b < 256; b++) t.len[b] = b < 0x20 ? 4 : b == BACKSLASH ? 2 : 1;
    return t;
}
static constexpr UnitTable kUnit = MakeUnitTable();

/* The two stored forms. The escaped form differs only for the quote and D,
 * which it writes as hex escapes like the control bytes, so that a field in
 * it holds no quote at all and can stand beside any neighbour. */
typedef enum { FORM_PLAIN = 0, FORM_ESCAPED = 1 } StoredForm;

/* A byte the escaped form writes as \xNN: the control bytes, and the quote
 * and D, which the plain form writes bare or as quote-D-quote. */
static int HexEscaped(unsigned char b, unsigned char d, StoredForm form) {
    return b < 0x20 || (form == FORM_ESCAPED && (b == d || b == QUOTE));
}

/* Length of the stored unit of one byte b under delimiter d. The test for D
 * comes first, so in the plain form a control byte used as D is quoted, not
 * escaped. */
static size_t UnitLength(unsigned char b, unsigned char d, StoredForm form) {
    if (b == d) return form == FORM_PLAIN ? 3 : 4;
    return HexEscaped(b, d, form) ? 4 : kUnit.len[b];
}

static char *PutUnit(char *out, unsigned char b, unsigned char d,
                     StoredForm form) {
    if (b == d && form == FORM_PLAIN) {
        *out++ = QUOTE;
        *out++ = (char)d;
        *out++ = QUOTE;
    } else if (HexEscaped(b, d, form)) {
        *out++ = BACKSLASH;
        *out++ = 'x';
        *out++ = kHex[b >> 4];
        *out++ = kHex[b & 15];
    } else if (b == BACKSLASH) {
        *out++ = BACKSLASH;
        *out++ = BACKSLASH;
    } else {
        *out++ = (char)b;
    }
    return out;
}

/* A byte the decoder, which reads byte by byte, would not give back if it
 * were stored bare: D, the backslash and the control bytes (and, in the
 * escaped form, the quote, which that form never stores bare). */
static int NeedsEscape(unsigned char b, unsigned char d, StoredForm form) {
    return b == d || b == BACKSLASH || b < 0x20 ||
           (form == FORM_ESCAPED && b == QUOTE);
}

/* 1 when the two bytes at v form one character of the active multibyte
 * character set that can be stored unchanged: neither byte needs escaping,
 * so decoding byte by byte gives it back. A fresh conversion state per
 * character keeps this free of shared state. */
static int KeepsPair(const unsigned char *v, size_t left, unsigned char d,
                     StoredForm form) {
    size_t limit = (size_t)MB_CUR_MAX;
    if (limit > left) limit = left;
    mbstate_t state;
    memset(&state, 0, sizeof state);
    if (mbrlen((const char *)v, limit, &state) != 2) return 0;
    return !NeedsEscape(v[0], d, form) && !NeedsEscape(v[1], d, form);
}

/* Length of the stored form of v[0..len). A two-byte character kept whole
 * is byte for byte what the single-byte rules give for its two bytes (both
 * are plain bytes), so measuring needs no look at the character set. */
static size_t EncodedLength(const unsigned char *v, size_t len,
                            unsigned char d, StoredForm form) {
    size_t total = 0;
    for (size_t i = 0; i < len; i++) total += UnitLength(v[i], d, form);
    return total;
}

/* Writes the stored form of v[0..len) to out; returns the end written.
 * Outside a multibyte character set, runs of plain bytes go in one copy. */
static char *EncodeInto(const unsigned char *v, size_t len, unsigned char d,
                        StoredForm form, char *out) {
    int multibyte = (unsigned)zkOsCharsetType > 1;
    size_t i = 0;
    while (i < len) {
        if (!multibyte) {
            size_t start = i;
            while (i < len && !NeedsEscape(v[i], d, form)) i++;
            memcpy(out, v + start, i - start);
            out += i - start;
            if (i == len) break;
        } else if (len - i >= 2 && KeepsPair(v + i, len - i, d, form)) {
            *out++ = (char)v[i];
            *out++ = (char)v[i + 1];
            i += 2;
            continue;
        }
        out = PutUnit(out, v[i], d, form);
        i++;
    }
    return out;
}

/* 1 when one of the eight bytes at p needs escaping in the form: a byte
 * below 0x20, or one equal to D, the backslash or (escaped) the quote, by
 * byte-wise tests on the word. */
static inline int WordNeedsEscape(const unsigned char *p, unsigned char d,
                                  StoredForm form) {
    uint64_t x;
    memcpy(&x, p, 8);
    /* Below 0x20: the same borrow test as ZeroBytes, against 0x20. */
    uint64_t found = ((x - Bytes(0x20)) & ~x & Bytes(0x80)) | ZeroBytes(x ^ Bytes(d)) |
                     ZeroBytes(x ^ Bytes(BACKSLASH));
    if (form == FORM_ESCAPED) found |= ZeroBytes(x ^ Bytes(QUOTE));
    return found != 0;
}

/* 1 when a byte of v[0..len) needs escaping in the form: most values hold
 * none, and are then stored as they are, in every character set. */
static int AnyEscape(const unsigned char *v, size_t len, unsigned char d,
                     StoredForm form) {
    size_t i = 0;
#if defined(TAVL_SSE2)
    const __m128i d_bytes = _mm_set1_epi8((char)d);
    const __m128i slashes = _mm_set1_epi8(BACKSLASH);
    const __m128i quotes = _mm_set1_epi8(form == FORM_ESCAPED ? QUOTE : BACKSLASH);
    const __m128i controls = _mm_set1_epi8(0x1F);
    for (; i + 16 <= len; i += 16) {
        __m128i x = LoadSixteen(v + i);
        /* x <= 0x1F unsigned: min(x, 0x1F) == x. */
        if (ByteMask(x, d_bytes) | ByteMask(x, slashes) | ByteMask(x, quotes) |
            ByteMask(_mm_min_epu8(x, controls), x))
            return 1;
    }
#endif
    if (len - i >= 8) {
        /* Words of eight bytes, the last one overlapping the one before. */
        for (; i + 8 < len; i += 8)
            if (WordNeedsEscape(v + i, d, form)) return 1;
        return WordNeedsEscape(v + len - 8, d, form);
    }
    for (; i < len; i++)
        if (NeedsEscape(v[i], d, form)) return 1;
    return 0;
}

size_t StoreField(const char *value, size_t length, char delimiter,
                  int escaped, char *out) {
    const unsigned char *v = (const unsigned char *)value;
    unsigned char d = (unsigned char)delimiter;
    StoredForm form = escaped ? FORM_ESCAPED : FORM_PLAIN;
    if (!AnyEscape(v, length, d, form)) {
        if (out && length) memcpy(out, v, length);
        return length;
    }
    if (!out) return EncodedLength(v, length, d, form);
    return (size_t)(EncodeInto(v, length, d, form, out) - out);
}

TextResult EncodeField(const char *value, size_t length, char delimiter,
                       int escaped, char **output) {
    TAVL_ASSERT(output);
    if (!value || length == 0) return TEXT_OK;
    size_t have = *output ? strlen(*output) : 0;
    size_t add = StoreField(value, length, delimiter, escaped, NULL);
    if (add > SIZE_MAX - 1 - have) return TEXT_NO_MEMORY;
    char *block = (char *)qmem_realloc(*output, have + add + 1);
    if (!block) return TEXT_NO_MEMORY;
    *output = block;
    block[have + StoreField(value, length, delimiter, escaped, block + have)] = '\0';
    return TEXT_OK;
}

static int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/* Decoded byte j goes out only while j is below the capacity; the count
 * goes on regardless, so one pass both fills and measures. */
static inline void PutDecoded(char *out, size_t capacity, size_t c,
                              const char *bytes, size_t count) {
    if (c >= capacity) return;
    size_t room = capacity - c;
    CopyBytes(out + c, bytes, count < room ? count : room);
}

/* 1 when the eight bytes at p hold a quote or a backslash: a byte-wise
 * zero test of the word XOR each byte sought. */
static inline int WordHasEscape(const char *p) {
    uint64_t v;
    memcpy(&v, p, 8);
    return (ZeroBytes(v ^ Bytes(QUOTE)) | ZeroBytes(v ^ Bytes(BACKSLASH))) != 0;
}

/* 1 when f[0..n) holds neither a quote nor a backslash, so that it decodes
 * to itself. From eight bytes on, whole words, the last one overlapping
 * the one before it. */
static inline int IsPlain(const char *f, size_t n) {
    if (n < 8) {
        for (size_t i = 0; i < n; i++)
            if (f[i] == QUOTE || f[i] == BACKSLASH) return 0;
        return 1;
    }
    for (size_t i = 0; i + 8 < n; i += 8)
        if (WordHasEscape(f + i)) return 0;
    return !WordHasEscape(f + n - 8);
}

/* End of the run of bytes from i on that stand for themselves when
 * decoding: the first quote or backslash at or after i, or n. Eight bytes
 * at a time where eight remain (a byte-wise zero test of the word XOR the
 * byte sought), then byte by byte. */
static inline size_t PlainRunEnd(const char *f, size_t i, size_t n) {
    for (; i + 8 <= n; i += 8)
        if (WordHasEscape(f + i)) break;
    while (i < n && f[i] != QUOTE && f[i] != BACKSLASH) i++;
    return i;
}

/* Decodes f[i..n) with c bytes decoded before position i. Only a quote or
 * a backslash can open a unit of more than one byte; the runs between them
 * are copied whole. Every read is bounded by n. */
static TAVL_NOINLINE size_t DecodeUnits(const char *f, size_t n, char delimiter, char *out,
                          size_t capacity, size_t i, size_t c) {
    while (i < n) {
        size_t run = PlainRunEnd(f, i, n);
        if (run > i) {
            PutDecoded(out, capacity, c, f + i, run - i);
            c += run - i;
            i = run;
            if (i >= n) break;
        }
        char b = f[i];
        if (b == QUOTE && i + 2 < n && f[i + 1] == delimiter &&
            f[i + 2] == QUOTE) {
            b = delimiter;
            i += 3;
        } else if (b == BACKSLASH && i + 1 < n && f[i + 1] == BACKSLASH) {
            i += 2;
        } else if (b == BACKSLASH && i + 1 < n && f[i + 1] == 'x') {
            /* Up to two hex digits of either case; none gives 0. Four bytes
             * are consumed whatever they were. */
            unsigned value = 0;
            int h = i + 2 < n ? HexValue(f[i + 2]) : -1;
            if (h >= 0) {
                value = (unsigned)h;
                h = i + 3 < n ? HexValue(f[i + 3]) : -1;
                if (h >= 0) value = value * 16 + (unsigned)h;
            }
            b = (char)(value & 0xFF);
            i += 4;
        } else {
            i++;
        }
        if (c < capacity) out[c] = b;
        c++;
    }
    return c;
}

size_t DecodeFieldTo(const char *f, size_t n, char delimiter, char *out,
                     size_t capacity) {
    TAVL_ASSERT(f || !n);
    if (!out) capacity = 0;
    /* Most fields hold no quote or backslash: they decode to themselves. */
    if (!IsPlain(f, n)) return DecodeUnits(f, n, delimiter, out, capacity, 0, 0);
    PutDecoded(out, capacity, 0, f, n);
    return n;
}

TextResult DecodeField(const char *field, size_t n, char delimiter,
                       char **output, int32_t *size) {
    TAVL_ASSERT(output && (field || !n));
    size_t c = DecodeFieldTo(field, n, delimiter, NULL, 0);
    /* The size is reported as a signed 32-bit count. */
    if (c >= (size_t)INT32_MAX) return TEXT_NO_MEMORY;
    char *block = (char *)qmem_realloc(*output, c + 1);
    if (!block) return TEXT_NO_MEMORY;
    *output = block;
    DecodeFieldTo(field, n, delimiter, block, c);
    block[c] = '\0';
    if (size) *size = (int32_t)(c + 1);
    return TEXT_OK;
}
