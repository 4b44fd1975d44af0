/*
 * field_split.cpp - where the fields of a stored line lie: split, find,
 * count, walk, and the load's count with its check of consistency.
 *
 * Everything here takes its separators from the split rule of field_bits.h,
 * 64 bytes at a time, and reads only the bytes it is given: a line in a
 * heap block of exactly its size, or in a mapped file, is read in place and
 * never past its end.
 */
#include <string.h>

#include "base/tavlbits.h"
#include "codec/field_bits.h"
#include "codec/tavl_codec.h"

int32_t SplitLine(char *line, char delimiter) {
    if (!line) return 0;
    const size_t n = strlen(line); /* fixed before NULs appear in the line */
    uint64_t pieces = 1;
    for (size_t at = 0; at < n; at += 64) {
        FieldBits bits;
        FieldBitsAt(line, n, 0, at, delimiter, &bits);
        for (uint64_t s = bits.separators; s; s &= s - 1) line[at + LowestBit64(s)] = '\0';
        pieces += BitCount64(bits.separators);
    }
    return pieces > (uint64_t)INT32_MAX ? INT32_MAX : (int32_t)pieces;
}

uint64_t LineFieldCount(const char *text, size_t n, int unended, char delimiter,
                        size_t *end) {
    TAVL_ASSERT(text || !n);
    uint64_t fields = 1;
    for (size_t at = 0; at < n; at += 64) {
        FieldBits bits;
        FieldBitsAt(text, n, unended, at, delimiter, &bits);
        if (bits.ends) {
            const unsigned k = LowestBit64(bits.ends);
            fields += BitCount64(bits.separators & (((uint64_t)1 << k) - 1));
            /* An LF ends the line at itself; the last byte of an unended
             * text ends it at the text's end. */
            if (end) *end = text[at + k] == '\n' ? at + k : n;
            return fields;
        }
        fields += BitCount64(bits.separators);
    }
    if (end) *end = n;
    return fields;
}

int FindField(const char *line, size_t n, char delimiter, int32_t k,
              size_t *start, size_t *length) {
    int plain;
    return FindPlainField(line, n, delimiter, k, start, length, &plain);
}

int FindPlainField(const char *line, size_t n, char delimiter, int32_t k,
                   size_t *start, size_t *length, int *plain) {
    if (k < 0 || (!line && n)) return 0;
    int32_t seen = 0;        /* separators passed */
    size_t begin = 0;        /* where piece seen starts */
    uint64_t special = 0;
    for (size_t at = 0; at < n; at += 64) {
        FieldBits bits;
        FieldBitsAt(line, n, 0, at, delimiter, &bits);
        special |= bits.special;
        uint64_t s = bits.separators;
        const int32_t here = (int32_t)BitCount64(s);
        if (here > k - seen) { /* piece k ends in this window */
            for (; seen < k; seen++, s &= s - 1) begin = at + LowestBit64(s) + 1;
            *start = begin;
            *length = at + LowestBit64(s) - begin;
            *plain = !special;
            return 1;
        }
        seen += here;
        if (here) begin = at + HighestBit64(s) + 1;
    }
    if (seen != k) return 0;
    *start = begin;
    *length = n - begin;
    *plain = !special;
    return 1;
}

int FieldHasBareDelimiter(const char *stored, char delimiter) {
    return stored ? FieldSpanHasBareDelimiter(stored, strlen(stored), delimiter) : 0;
}

/* Between two separators a field's first and last bytes border a
 * separator, never a quote: it splits as a line of its own would. */
int FieldSpanHasBareDelimiter(const char *stored, size_t n, char delimiter) {
    for (size_t at = 0; at < n; at += 64) {
        FieldBits bits;
        FieldBitsAt(stored, n, 0, at, delimiter, &bits);
        if (bits.separators) return 1;
    }
    return 0;
}

/* ---- The load's count and consistency -----------------------------------
 *
 * The load counts a line's fields by quote parity: a D counts where an even
 * number of quotes stand before it. The split cuts at every D that is not
 * flanked by quotes. The two agree on every line without quotes; a line on
 * which they pick different D's would be read from other places than it
 * was counted at, so such a line is not consistent, and neither the load
 * nor a write lets one into a table. */

/* Bit i of the result: an odd number of the bits 0..i of x are set. */
static inline uint64_t PrefixParity(uint64_t x) {
    x ^= x << 1;
    x ^= x << 2;
    x ^= x << 4;
    x ^= x << 8;
    x ^= x << 16;
    return x ^ (x << 32);
}

int32_t CountLineFields(const char *line, size_t n, char delimiter, int *consistent) {
    uint64_t count = 1;
    uint64_t inside = 0; /* all ones while an odd number of quotes stands before */
    int same = 1;
    if (delimiter == '\0' || delimiter == QUOTE) n = 0; /* such a D separates nothing */
    for (size_t at = 0; at < n; at += 64) {
        FieldBits bits;
        FieldBitsAt(line, n, 0, at, delimiter, &bits);
        /* A D is no quote: the parity up to it is the parity before it. */
        const uint64_t odd = PrefixParity(bits.quotes) ^ inside;
        const uint64_t counted = bits.delimiters & ~odd;
        same &= counted == bits.separators;
        count += BitCount64(counted);
        inside = (uint64_t)0 - (odd >> 63);
    }
    if (consistent) *consistent = same;
    /* More fields than an int32_t holds cannot match any column count. */
    return count > (uint64_t)INT32_MAX ? INT32_MAX : (int32_t)count;
}

int LineIsSound(const char *line, size_t n, char delimiter, int32_t columns) {
    int consistent = 0;
    return CountLineFields(line, n, delimiter, &consistent) == columns && consistent;
}

int FieldEndsWalk(const char *line, size_t n, char delimiter, uint32_t *ends,
                  int32_t capacity, int32_t want, size_t *walked, int32_t *count,
                  int *special) {
    TAVL_ASSERT(n < UINT32_MAX && *walked <= n && capacity >= 0 && *count >= 0);
    size_t i = *walked;
    int32_t c = *count;
    uint64_t seen = 0; /* quotes and backslashes */
    for (; i < n && c <= want; i += 64) {
        FieldBits bits;
        FieldBitsAt(line, n, 0, i, delimiter, &bits);
        seen |= bits.special;
        for (uint64_t s = bits.separators; s; s &= s - 1) {
            if (c < capacity) ends[c] = (uint32_t)(i + LowestBit64(s));
            ++c;
        }
    }
    if (i > n) i = n;
    *walked = i;
    *special |= seen != 0;
    const int done = i == n;
    if (done) { /* the last piece ends at the end of the line */
        if (c < capacity) ends[c] = (uint32_t)n;
        ++c;
    }
    *count = c;
    return done;
}
