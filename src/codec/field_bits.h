/*
 * field_bits.h - the split rule, the one statement of where a stored text's
 * fields and lines end, in its two forms: a byte at a time, and 64 bytes at
 * a time as bit masks.
 *
 * The rule. A stored text is lines ended by LF. A delimiter D separates two
 * fields unless a quote stands on both sides of it inside the text: that D
 * is the middle of quote-D-quote, a stored D, and belongs to its field. So a
 * D at the text's first or last byte always separates, and a line's fields
 * are 1 plus its separators. A NUL D separates nothing. Where a file's last
 * line has no LF, the file's last byte ends that line as an LF would: it is
 * never a separator, though a D before it sees it as its neighbour (an
 * unended text).
 *
 * Every count and walk of fields (the load's checks, the index scan, the
 * open's check of an index, the walks of a read, the tool) takes its
 * separators from here. The masks use SSE2 where the machine has it, else
 * the bytes; the fuzz target of the codec holds the two forms equal.
 */
#ifndef TAVL_FIELD_BITS_H
#define TAVL_FIELD_BITS_H

#include <stddef.h>
#include <stdint.h>

#include "base/tavlbits.h"

/* The rule for one D, at line[p] of the text line[0..n). */
static inline int DelimiterSeparates(const char *line, size_t n, size_t p) {
    TAVL_ASSERT(p < n);
    return p == 0 || p + 1 >= n || line[p - 1] != QUOTE || line[p + 1] != QUOTE;
}

/* What the 64 bytes of a text from at hold, bit i for byte at + i (no bit
 * for a byte past the text). */
typedef struct FieldBits {
    uint64_t delimiters;        /* every D */
    uint64_t quotes;
    uint64_t separators;        /* D's that separate fields */
    uint64_t ends;              /* bytes that end a line: LFs, and the last
                                   byte of an unended text */
    uint64_t special;           /* quotes and backslashes: a field holding
                                   one may need decoding */
} FieldBits;

/* The window at at (below n) of text[0..n), a byte at a time. */
static inline void FieldBitsPlainAt(const char *text, size_t n, int unended, size_t at,
                                    char d, FieldBits *bits) {
    TAVL_ASSERT(at < n);
    bits->delimiters = bits->quotes = bits->separators = bits->ends = bits->special = 0;
    for (size_t i = at; i < n && i - at < 64; i++) {
        const uint64_t bit = (uint64_t)1 << (i - at);
        const char b = text[i];
        if (b == d) bits->delimiters |= bit;
        if (b == QUOTE) bits->quotes |= bit;
        if (b == QUOTE || b == BACKSLASH) bits->special |= bit;
        if ((unended && i + 1 == n) || b == '\n') bits->ends |= bit;
        else if (b == d && d != '\0' && DelimiterSeparates(text, n, i)) bits->separators |= bit;
    }
}

#if defined(TAVL_SSE2)
/* The 64 bytes of four blocks compared with the byte in every lane of b,
 * one bit a byte. */
static TAVL_ALWAYS_INLINE uint64_t Mask64(const __m128i x[4], __m128i b) {
    return (uint64_t)ByteMask(x[0], b) | ((uint64_t)ByteMask(x[1], b) << 16) |
           ((uint64_t)ByteMask(x[2], b) << 32) | ((uint64_t)ByteMask(x[3], b) << 48);
}

/* The bits of the window at at of text[0..n) from the four blocks x that
 * hold its bytes (valid: the bits of bytes inside the text). */
static TAVL_ALWAYS_INLINE void BitsOfBlocks(const char *text, size_t n, int unended,
                                            size_t at, char d, const __m128i x[4],
                                            uint64_t valid, FieldBits *bits) {
    const uint64_t dm = Mask64(x, _mm_set1_epi8(d)) & valid;
    uint64_t lm = Mask64(x, _mm_set1_epi8('\n')) & valid;
    uint64_t separators = d == '\0' ? 0 : dm & ~lm, qm = 0;
    /* Most windows hold no quote: then no D of them is flanked by two. */
    const __m128i qv = _mm_set1_epi8(QUOTE);
    __m128i q[4];
    for (int c = 0; c < 4; c++) q[c] = _mm_cmpeq_epi8(x[c], qv);
    if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(q[0], q[1]), _mm_or_si128(q[2], q[3])))) {
        qm = ((uint64_t)(uint32_t)_mm_movemask_epi8(q[0]) |
              ((uint64_t)(uint32_t)_mm_movemask_epi8(q[1]) << 16) |
              ((uint64_t)(uint32_t)_mm_movemask_epi8(q[2]) << 32) |
              ((uint64_t)(uint32_t)_mm_movemask_epi8(q[3]) << 48)) &
             valid;
        const uint64_t before = at > 0 && text[at - 1] == QUOTE;
        const uint64_t after = n - at > 64 && text[at + 64] == QUOTE;
        separators &= ~(((qm << 1) | before) & ((qm >> 1) | (after << 63)));
    }
    if (unended && n - at <= 64) {
        const uint64_t last = (uint64_t)1 << (n - 1 - at);
        separators &= ~last;
        lm |= last;
    }
    bits->delimiters = dm;
    bits->quotes = qm;
    bits->separators = separators;
    bits->ends = lm;
    bits->special = qm | (Mask64(x, _mm_set1_epi8(BACKSLASH)) & valid);
}
#endif

/* The same window, by masks: a D separates where the quote masks shifted
 * one byte either way do not both cover it (the bytes beside the window
 * taken from the text). Texts under 16 bytes go a byte at a time; from 16
 * bytes on, the block that reaches the text's end is read as its last 16
 * bytes moved into place, so that no load leaves the text. */
static TAVL_ALWAYS_INLINE void FieldBitsAt(const char *text, size_t n, int unended,
                                           size_t at, char d, FieldBits *bits) {
    TAVL_ASSERT(at < n);
#if defined(TAVL_SSE2)
    __m128i x[4];
    if (n - at >= 64) {
        for (int c = 0; c < 4; c++) x[c] = LoadSixteen(text + at + 16 * c);
        BitsOfBlocks(text, n, unended, at, d, x, ~(uint64_t)0, bits);
        return;
    }
    if (n >= 16) {
        for (int c = 0; c < 4; c++) {
            const size_t from = at + 16 * (size_t)c;
            if (from + 16 <= n) {
                x[c] = LoadSixteen(text + from);
            } else if (from < n) {
                /* The text's last 16 bytes, moved down so that byte i is
                 * text[from + i]; zeros after them. */
                alignas(16) char block[32];
                _mm_store_si128((__m128i *)(void *)block, LoadSixteen(text + n - 16));
                _mm_store_si128((__m128i *)(void *)(block + 16), _mm_setzero_si128());
                x[c] = LoadSixteen(block + (from - (n - 16)));
            } else {
                x[c] = _mm_setzero_si128();
            }
        }
        BitsOfBlocks(text, n, unended, at, d, x, ((uint64_t)1 << (n - at)) - 1, bits);
        return;
    }
#endif
    FieldBitsPlainAt(text, n, unended, at, d, bits);
}

#endif /* TAVL_FIELD_BITS_H */
