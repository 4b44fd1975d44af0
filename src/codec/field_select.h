/*
 * field_select.h - a field of a short stored line found without walking
 * it: the bytes of a fixed window from the line's start become bit masks
 * (one bit a byte: delimiters, and the bytes that need the general way),
 * and field k lies between the k-th line start and the k-th separator of
 * the masks. No branch waits for the line's bytes, so that reads of
 * different lines overlap their waits for memory; whatever the window
 * cannot answer exactly (a longer line, a quote or backslash, a control
 * byte) it leaves to the walk, which gives the same fields.
 *
 * The masks use the vector and bit instructions the including translation
 * unit is compiled for: 64-byte AVX-512 or 32-byte AVX2 compares and the
 * bit deposit of BMI2 where those are enabled (__AVX512BW__, __AVX2__,
 * __BMI2__), SSE2 compares and a portable select elsewhere. Everything here has internal linkage, so units built
 * for different processors never share a copy.
 */
#ifndef TAVL_FIELD_SELECT_H
#define TAVL_FIELD_SELECT_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "base/tavlbits.h"

#if defined(__AVX512BW__) || defined(__AVX2__) || defined(__BMI2__)
#  include <immintrin.h>
#endif

/* Bytes of a line the select looks at, from its start: a line whose end
 * (its terminator) lies inside is answered whole. */
#define SELECT_WINDOW 128
/* Bytes a reader copies from a served field's start in one piece (a field
 * shorter than this, into a buffer at least this large). */
#define SELECT_COPY 64
/* Bytes that must be readable from a line's start before the select may
 * look at it: the window, and a copy from a field that ends in it. */
#define SELECT_READ (SELECT_WINDOW + SELECT_COPY)

/* Where the fields of a line end, by bit (bit i for byte i of the line,
 * bits 0-63 in word 0 and 64-127 in word 1): the separators and the line's
 * end. low counts the bits of word 0. */
typedef struct LineMasks {
    uint64_t ends[2];
    uint32_t low;
} LineMasks;

/* Fields a read by masks finds: the fields that start in the window's
 * first 64 bytes, and more, as far as the window goes. Tables of more
 * columns than this are read the general way past it. */
#define SELECT_FIELDS 64

/* All ones when c holds, else 0: a choice made with masks where a branch
 * would wait for a line's bytes and guess wrong half the time. */
static TAVL_ALWAYS_INLINE uint64_t AllOnesIf(int c) { return (uint64_t)0 - (uint64_t)(c != 0); }

/* The bits of x below bit n (n from 0 to 127): all of x from 64 on. */
static TAVL_ALWAYS_INLINE uint64_t LowBits(uint64_t x, unsigned n) {
#if defined(__BMI2__)
    return _bzhi_u64(x, n);
#else
    return n >= 64 ? x : x & (((uint64_t)1 << n) - 1);
#endif
}

/* Bit count of a 64-bit mask. */
static TAVL_ALWAYS_INLINE unsigned SelectCount(uint64_t x) {
#if defined(__BMI2__) || defined(__POPCNT__)
    return (unsigned)_mm_popcnt_u64(x);
#else
    return BitCount64(x);
#endif
}

/* Where set bit r (counted from 0) of the byte b lies; 8 when b has r or
 * fewer set bits. Branch-free: byte i of spread is bit i of b, its running
 * sums count the set bits up to each position, and the positions whose
 * count is at most r are the ones before bit r. */
static TAVL_ALWAYS_INLINE unsigned SelectInByte(unsigned b, unsigned r) {
    uint64_t spread = ((uint64_t)b * 0x0101010101010101ull) & 0x8040201008040201ull;
    spread = ((spread + 0x7F7F7F7F7F7F7F7Full) >> 7) & Bytes(1);
    const uint64_t running = spread * Bytes(1);
    return SelectCount(((Bytes((unsigned char)r) | Bytes(0x80)) - running) & Bytes(0x80));
}

/* Where set bit k (counted from 0) of x lies; 64 when x has k or fewer set
 * bits. k is below 64. One bit deposit where the processor has it; else
 * the running bit counts of the bytes say which byte holds bit k, and
 * SelectInByte where in it, all without a branch. */
static TAVL_ALWAYS_INLINE unsigned SelectBit(uint64_t x, unsigned k) {
    TAVL_ASSERT(k < 64);
#if defined(__BMI2__)
    return (unsigned)_tzcnt_u64(_pdep_u64((uint64_t)1 << k, x));
#else
    uint64_t s = x - ((x >> 1) & 0x5555555555555555ull);
    s = (s & 0x3333333333333333ull) + ((s >> 2) & 0x3333333333333333ull);
    s = (s + (s >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    const uint64_t running = s * Bytes(1); /* byte i: set bits of bytes 0..i */
    /* Bytes whose running count is at most k (every count is below 128):
     * their number is the byte that holds bit k. */
    const unsigned byte =
        SelectCount(((Bytes((unsigned char)k) | Bytes(0x80)) - running) & Bytes(0x80));
    const unsigned shift = 8 * (byte & 7);
    const unsigned before = (unsigned)((running << 8) >> shift) & 0xFFu;
    const unsigned at = shift + SelectInByte((unsigned)(x >> shift) & 0xFFu, k - before);
    return byte < 8 ? at : 64;
#endif
}

/* Copies 64 bytes from src to dst, in as few pieces as the processor has. */
static TAVL_ALWAYS_INLINE void CopyBlock64(char *dst, const char *src) {
#if defined(__AVX512BW__)
    _mm512_storeu_si512((void *)dst, _mm512_loadu_si512((const void *)src));
#elif defined(__AVX2__)
    const __m256i a = _mm256_loadu_si256((const __m256i *)(const void *)src);
    const __m256i b = _mm256_loadu_si256((const __m256i *)(const void *)(src + 32));
    _mm256_storeu_si256((__m256i *)(void *)dst, a);
    _mm256_storeu_si256((__m256i *)(void *)(dst + 32), b);
#else
    memcpy(dst, src, 64);
#endif
}

/* The masks of the line w[0..length), whose terminator is w[length]
 * (length below SELECT_WINDOW; SELECT_WINDOW bytes of w readable): 1 when
 * the window answers for the line, 0 when it holds a quote or a backslash
 * (anywhere in the window: such a line may need decoding or hide a
 * delimiter between quotes) or, with controls, a byte up to CR other than
 * D before the line's end (a line end or NUL inside a mapped line, which
 * the line's own fetch handles). */
static TAVL_ALWAYS_INLINE int WindowMasks(const char *w, uint32_t length, char d,
                                          int controls, LineMasks *m) {
    TAVL_ASSERT(length < SELECT_WINDOW);
    uint64_t delimiters[2], odd[2] = {0, 0};
#if defined(__AVX512BW__)
    const __m512i dv = _mm512_set1_epi8(d), qv = _mm512_set1_epi8(QUOTE),
                  bv = _mm512_set1_epi8(BACKSLASH), cr = _mm512_set1_epi8('\r');
    const __m512i x0 = _mm512_loadu_si512((const void *)w);
    const __m512i x1 = _mm512_loadu_si512((const void *)(w + 64));
    const __mmask64 quoted =
        _kor_mask64(_kor_mask64(_mm512_cmpeq_epi8_mask(x0, qv), _mm512_cmpeq_epi8_mask(x0, bv)),
                    _kor_mask64(_mm512_cmpeq_epi8_mask(x1, qv), _mm512_cmpeq_epi8_mask(x1, bv)));
    if (!_kortestz_mask64_u8(quoted, quoted)) return 0;
    delimiters[0] = _mm512_cmpeq_epi8_mask(x0, dv);
    delimiters[1] = _mm512_cmpeq_epi8_mask(x1, dv);
    if (controls) {
        odd[0] = _mm512_cmple_epu8_mask(x0, cr) & ~delimiters[0];
        odd[1] = _mm512_cmple_epu8_mask(x1, cr) & ~delimiters[1];
    }
#elif defined(__AVX2__)
    const __m256i dv = _mm256_set1_epi8(d), qv = _mm256_set1_epi8(QUOTE),
                  bv = _mm256_set1_epi8(BACKSLASH), cr = _mm256_set1_epi8('\r');
    __m256i quoted = _mm256_setzero_si256();
    for (int h = 0; h < 2; h++) {
        const __m256i x0 = _mm256_loadu_si256((const __m256i *)(const void *)(w + 64 * h));
        const __m256i x1 = _mm256_loadu_si256((const __m256i *)(const void *)(w + 64 * h + 32));
        const __m256i d0 = _mm256_cmpeq_epi8(x0, dv), d1 = _mm256_cmpeq_epi8(x1, dv);
        quoted = _mm256_or_si256(
            quoted, _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(x0, qv), _mm256_cmpeq_epi8(x0, bv)),
                                    _mm256_or_si256(_mm256_cmpeq_epi8(x1, qv), _mm256_cmpeq_epi8(x1, bv))));
        delimiters[h] = (uint32_t)_mm256_movemask_epi8(d0) |
                        ((uint64_t)(uint32_t)_mm256_movemask_epi8(d1) << 32);
        if (controls) {
            const __m256i c0 = _mm256_andnot_si256(d0, _mm256_cmpeq_epi8(_mm256_min_epu8(x0, cr), x0));
            const __m256i c1 = _mm256_andnot_si256(d1, _mm256_cmpeq_epi8(_mm256_min_epu8(x1, cr), x1));
            odd[h] = (uint32_t)_mm256_movemask_epi8(c0) |
                     ((uint64_t)(uint32_t)_mm256_movemask_epi8(c1) << 32);
        }
    }
    if (!_mm256_testz_si256(quoted, quoted)) return 0;
#elif defined(TAVL_SSE2)
    const __m128i dv = _mm_set1_epi8(d), qv = _mm_set1_epi8(QUOTE), bv = _mm_set1_epi8(BACKSLASH),
                  cr = _mm_set1_epi8('\r');
    __m128i quoted = _mm_setzero_si128();
    for (int h = 0; h < 2; h++) {
        uint64_t dm = 0, om = 0;
        for (int j = 0; j < 4; j++) {
            const __m128i x = LoadSixteen(w + 64 * h + 16 * j);
            const __m128i dx = _mm_cmpeq_epi8(x, dv);
            quoted = _mm_or_si128(quoted, _mm_or_si128(_mm_cmpeq_epi8(x, qv), _mm_cmpeq_epi8(x, bv)));
            dm |= (uint64_t)(uint32_t)_mm_movemask_epi8(dx) << (16 * j);
            if (controls)
                om |= (uint64_t)(uint32_t)_mm_movemask_epi8(
                          _mm_andnot_si128(dx, _mm_cmpeq_epi8(_mm_min_epu8(x, cr), x)))
                      << (16 * j);
        }
        delimiters[h] = dm;
        odd[h] = om;
    }
    if (_mm_movemask_epi8(quoted)) return 0;
#else
    int quoted = 0;
    for (int h = 0; h < 2; h++) {
        uint64_t dm = 0, om = 0;
        for (int j = 0; j < 64; j++) {
            const unsigned char c = (unsigned char)w[64 * h + j];
            dm |= (uint64_t)(c == (unsigned char)d) << j;
            quoted |= c == QUOTE || c == BACKSLASH;
            om |= (uint64_t)(controls && c <= '\r' && c != (unsigned char)d) << j;
        }
        delimiters[h] = dm;
        odd[h] = om;
    }
    if (quoted) return 0;
#endif
    /* The line's bytes are the bits below length (of word 1, those below
     * length - 64); its end ends the last field. */
    const uint64_t high = AllOnesIf(length >= 64);
    const unsigned length1 = (length - 64) & (unsigned)high;
    if (controls && (LowBits(odd[0], length) | LowBits(odd[1], length1))) return 0;
    const uint64_t end = (uint64_t)1 << (length & 63);
    m->ends[0] = LowBits(delimiters[0], length) | (end & ~high);
    m->ends[1] = LowBits(delimiters[1], length1) | (end & high);
    m->low = SelectCount(m->ends[0]);
    return 1;
}

/* Bits above the highest set bit of x: 64 for 0. */
static TAVL_ALWAYS_INLINE unsigned LeadingZeros(uint64_t x) {
#if defined(__LZCNT__) || defined(__BMI2__)
    return (unsigned)_lzcnt_u64(x);
#else
    if (!x) return 64u;
    return x >> 32 ? 31u - HighestBit((uint32_t)(x >> 32)) : 63u - HighestBit((uint32_t)x);
#endif
}

/* Where field k (below SELECT_FIELDS) of a line lies by its masks: 1 with
 * the field at *start, *size bytes, which decodes to itself; 0 when the
 * window holds k fields or fewer. Its end is set bit k of the ends (in the
 * word chosen first, so that one select runs); it starts after the highest
 * end below that, or at the line's start. Choices are made with masks:
 * nothing here branches on the line's bytes. */
static TAVL_ALWAYS_INLINE int FieldByMasks(const LineMasks *m, uint32_t k, uint32_t *start,
                                           uint32_t *size) {
    TAVL_ASSERT(k < SELECT_FIELDS);
    const uint64_t high = AllOnesIf(k >= m->low);
    const uint64_t word = m->ends[0] ^ ((m->ends[0] ^ m->ends[1]) & high);
    const unsigned in_word = SelectBit(word, (k - (m->low & (uint32_t)high)) & 63);
    const uint64_t before = LowBits(word, in_word);
    /* With no end before it in its word, the field starts after the
     * highest end of word 0 (in word 1), or at 0. */
    const uint64_t after_end = AllOnesIf(before != 0);
    const unsigned s = (unsigned)((((high & 64) + 64u - LeadingZeros(before)) & after_end) |
                                  ((64u - LeadingZeros(m->ends[0] & high)) & ~after_end));
    const unsigned e = in_word + (unsigned)(high & 64);
    *start = s;
    *size = e - s;
    return e < SELECT_WINDOW;
}

/* Takes where each field of a line ends out of its masks, plus 1, into
 * ends (at most SELECT_FIELDS); returns how many. The loop runs once for
 * each field in the window, the same number for every line of most tables. */
static TAVL_ALWAYS_INLINE int32_t EndsByMasks(const LineMasks *m, uint8_t *ends) {
    int32_t n = 0;
    for (uint64_t bits = m->ends[0]; bits && n < SELECT_FIELDS; bits &= bits - 1)
        ends[n++] = (uint8_t)(1 + LowestBit64(bits));
    for (uint64_t bits = m->ends[1]; bits && n < SELECT_FIELDS; bits &= bits - 1)
        ends[n++] = (uint8_t)(65 + LowestBit64(bits));
    return n;
}

/* Where field k of a line starts and how long it is, by its ends plus 1
 * (see EndsByMasks): it starts where field k - 1 ends plus 1, or at 0, and
 * ends[-1] is readable, so that no branch chooses. */
static TAVL_ALWAYS_INLINE uint32_t FieldStart(const uint8_t *ends, int32_t k) {
    return ends[k - 1] & (uint32_t)AllOnesIf(k != 0);
}

#endif /* TAVL_FIELD_SELECT_H */
