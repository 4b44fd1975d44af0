/*
 * tavl_codec.cpp - the stored form of a cell: encoding, splitting a line
 * into fields, picking one and decoding it.
 *
 * Stored, the delimiter D becomes quote-D-quote, the backslash is doubled
 * and each byte below 0x20 becomes \xNN with lower-case digits; every other
 * byte stands for itself. A D is a separator unless it has a quote on both
 * sides and is neither the first nor the last byte of the line. Decoding a
 * field consumes exactly the units encoding wrote, so every value comes
 * back byte for byte. Encoding and decoding measure their output first and
 * resize the output block once, to the size it would have after appending
 * one unit (or one byte) at a time.
 */
#include "tavl_codec.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "tavlbuf.h"
#include "tavlhost.h"
#include "tavlin32.h"

#define QUOTE '"'
#define BACKSLASH '\\'

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

/* Length of the stored unit of one byte b under delimiter d. The test for D
 * comes first, so a control byte used as D is quoted, not escaped. */
static size_t UnitLength(unsigned char b, unsigned char d) {
    return b == d ? 3 : kUnit.len[b];
}

static char *PutUnit(char *out, unsigned char b, unsigned char d) {
    if (b == d) {
        *out++ = QUOTE;
        *out++ = (char)d;
        *out++ = QUOTE;
    } else if (b < 0x20) {
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
 * were stored bare: D, the backslash and the control bytes. */
static int NeedsEscape(unsigned char b, unsigned char d) {
    return b == d || b == BACKSLASH || b < 0x20;
}

/* 1 when the two bytes at v form one character of the active multibyte
 * character set that can be stored unchanged: neither byte is D, the
 * backslash or a control byte, so decoding byte by byte gives it back.
 * A fresh conversion state per character keeps this free of shared state. */
static int KeepsPair(const unsigned char *v, size_t left, unsigned char d) {
    size_t limit = (size_t)MB_CUR_MAX;
    if (limit > left) limit = left;
    mbstate_t state;
    memset(&state, 0, sizeof state);
    if (mbrlen((const char *)v, limit, &state) != 2) return 0;
    return !NeedsEscape(v[0], d) && !NeedsEscape(v[1], d);
}

/* Length of the stored form of v[0..len). A two-byte character kept whole
 * is byte for byte what the single-byte rules give for its two bytes (both
 * are plain bytes), so measuring needs no look at the character set. */
static size_t EncodedLength(const unsigned char *v, size_t len,
                            unsigned char d) {
    size_t total = 0;
    for (size_t i = 0; i < len; i++) total += UnitLength(v[i], d);
    return total;
}

/* Writes the stored form of v[0..len) to out; returns the end written.
 * Outside a multibyte character set, runs of plain bytes go in one copy. */
static char *EncodeInto(const unsigned char *v, size_t len, unsigned char d,
                        char *out) {
    int multibyte = (unsigned)zkOsCharsetType > 1;
    size_t i = 0;
    while (i < len) {
        if (!multibyte) {
            size_t start = i;
            while (i < len && v[i] != d && kUnit.len[v[i]] == 1) i++;
            memcpy(out, v + start, i - start);
            out += i - start;
            if (i == len) break;
        } else if (len - i >= 2 && KeepsPair(v + i, len - i, d)) {
            *out++ = (char)v[i];
            *out++ = (char)v[i + 1];
            i += 2;
            continue;
        }
        out = PutUnit(out, v[i], d);
        i++;
    }
    return out;
}

int EncodeField(const char *value, int32_t length, char delimiter,
                char **output) {
    if (!value || length <= 0) return TBL_OK;
    const unsigned char *v = (const unsigned char *)value;
    unsigned char d = (unsigned char)delimiter;
    size_t len = (size_t)length;

    size_t have = *output ? strlen(*output) : 0;
    size_t add = EncodedLength(v, len, d);
    if (add > SIZE_MAX - 1 - have) return TBL_ERR_NO_MEMORY;
    char *block = (char *)qmem_realloc(*output, have + add + 1);
    if (!block) return TBL_ERR_NO_MEMORY;
    *output = block;
    char *end = EncodeInto(v, len, d, block + have);
    *end = '\0';
    return TBL_OK;
}

int32_t SplitLine(char *line, char delimiter) {
    if (!line) return 0;
    size_t n = strlen(line);
    int32_t pieces = 1;
    if (delimiter == '\0') return pieces;
    char *p = line;
    char *end = line + n;
    while ((p = (char *)memchr(p, delimiter, (size_t)(end - p))) != NULL) {
        size_t at = (size_t)(p - line);
        int quoted = at > 0 && at + 1 < n && line[at - 1] == QUOTE &&
                     line[at + 1] == QUOTE;
        if (!quoted) {
            *p = '\0';
            pieces++;
        }
        p++;
    }
    return pieces;
}

int PickField(const char *pieces, int32_t k, char **output) {
    const char *p = pieces;
    for (int32_t i = 0; p && i < k; i++) p += strlen(p) + 1;
    return TextBufferSet(output, p);
}

static int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/* Decodes f[0..n) (NUL at f[n]) into out, or only counts the bytes when out
 * is null. Returns the decoded byte count. Never reads past f[n]. Only a
 * quote or a backslash can open a unit of more than one byte; the runs
 * between them are copied whole. */
static size_t DecodeInto(const char *f, size_t n, char d, char *out) {
    size_t c = 0;
    size_t i = 0;
    while (i < n) {
        size_t run = strcspn(f + i, "\"\\");
        if (run) {
            if (out) memcpy(out + c, f + i, run);
            c += run;
            i += run;
            if (i >= n) break;
        }
        char b = f[i];
        if (b == QUOTE && i + 1 < n - 1 && f[i + 1] == d && f[i + 2] == QUOTE) {
            b = d;
            i += 3;
        } else if (b == BACKSLASH && f[i + 1] == BACKSLASH) {
            i += 2;
        } else if (b == BACKSLASH && f[i + 1] == 'x') {
            /* Up to two hex digits of either case; none gives 0. Four bytes
             * are consumed whatever they were. */
            unsigned value = 0;
            int h = HexValue(f[i + 2]);
            if (h >= 0) {
                value = (unsigned)h;
                h = HexValue(f[i + 3]);
                if (h >= 0) value = value * 16 + (unsigned)h;
            }
            b = (char)(value & 0xFF);
            i += 4;
        } else {
            i++;
        }
        if (out) out[c] = b;
        c++;
    }
    return c;
}

int DecodeField(const char *field, char **output, char delimiter,
                int32_t *size) {
    size_t n = field ? strlen(field) : 0;
    if (n == 0) {
        if (size) *size = 1;
        return TBL_OK;
    }
    size_t c = DecodeInto(field, n, delimiter, NULL);
    /* The size is reported as a signed 32-bit count. */
    if (c >= (size_t)INT32_MAX) return TBL_ERR_NO_MEMORY;
    char *block = (char *)qmem_realloc(*output, c + 1);
    if (!block) return TBL_ERR_NO_MEMORY;
    *output = block;
    DecodeInto(field, n, delimiter, block);
    block[c] = '\0';
    if (size) *size = (int32_t)(c + 1);
    return TBL_OK;
}

int FieldHasBareDelimiter(const char *stored, char delimiter) {
    if (!stored || delimiter == '\0') return 0;
    size_t n = strlen(stored);
    for (const char *p = stored;
         (p = (const char *)memchr(p, delimiter, n - (size_t)(p - stored)));
         p++) {
        size_t at = (size_t)(p - stored);
        /* Between two separators the field's first and last bytes border a
         * separator, never a quote. */
        if (at == 0 || at + 1 >= n || stored[at - 1] != QUOTE ||
            stored[at + 1] != QUOTE)
            return 1;
    }
    return 0;
}
