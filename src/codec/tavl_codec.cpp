/*
 * tavl_codec.cpp - the stored form of a cell: encoding, splitting a line
 * into fields, finding one and decoding it.
 *
 * Stored, the delimiter D becomes quote-D-quote, the backslash is doubled
 * and each byte below 0x20 becomes \xNN with lower-case digits; every other
 * byte stands for itself. A D is a separator unless it has a quote on both
 * sides and is neither the first nor the last byte of the line. Decoding a
 * field consumes exactly the units encoding wrote, so every value comes
 * back byte for byte. Encoding and decoding measure their output first and
 * resize the output block once, to the size it would have after appending
 * one unit (or one byte) at a time.
 *
 * The readers need no copy of the line: FindField finds a field of the
 * unchanged line by the same rule SplitLine applies, and DecodeFieldTo
 * decodes it into a caller's buffer of fixed size while counting the whole
 * value. Both read only the bytes they are given, so they serve a line in a
 * heap block of exactly its size or in a mapped file alike.
 */
#include "codec/tavl_codec.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "base/tavlbits.h"
#include "base/tavlhost.h"
#include "tavlin32.h"


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

int EncodeField(const char *value, size_t length, char delimiter, int escaped,
                char **output) {
    TAVL_ASSERT(output);
    if (!value || length == 0) return TBL_OK;
    size_t have = *output ? strlen(*output) : 0;
    size_t add = StoreField(value, length, delimiter, escaped, NULL);
    if (add > SIZE_MAX - 1 - have) return TBL_ERR_NO_MEMORY;
    char *block = (char *)qmem_realloc(*output, have + add + 1);
    if (!block) return TBL_ERR_NO_MEMORY;
    *output = block;
    block[have + StoreField(value, length, delimiter, escaped, block + have)] = '\0';
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
        if (DelimiterSeparates(line, n, (size_t)(p - line))) {
            *p = '\0';
            pieces++;
        }
        p++;
    }
    return pieces;
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
    if (!out) capacity = 0;
    /* Most fields hold no quote or backslash: they decode to themselves. */
    if (!IsPlain(f, n)) return DecodeUnits(f, n, delimiter, out, capacity, 0, 0);
    PutDecoded(out, capacity, 0, f, n);
    return n;
}

int DecodeField(const char *field, size_t n, char delimiter, char **output,
                int32_t *size) {
    size_t c = DecodeFieldTo(field, n, delimiter, NULL, 0);
    /* The size is reported as a signed 32-bit count. */
    if (c >= (size_t)INT32_MAX) return TBL_ERR_NO_MEMORY;
    char *block = (char *)qmem_realloc(*output, c + 1);
    if (!block) return TBL_ERR_NO_MEMORY;
    *output = block;
    DecodeFieldTo(field, n, delimiter, block, c);
    block[c] = '\0';
    if (size) *size = (int32_t)(c + 1);
    return TBL_OK;
}

/* Where a walk over a line stands: separators passed and where the piece
 * under way began. */
typedef struct FieldWalk {
    int32_t seen;
    size_t begin;
} FieldWalk;

/* Takes the D at position at into the walk. 1 when it closes piece k. */
static inline int TakeDelimiter(const char *line, size_t n, size_t at,
                                int32_t k, FieldWalk *walk) {
    /* The middle of quote-D-quote belongs to its field. */
    if (!DelimiterSeparates(line, n, at)) return 0;
    if (walk->seen == k) return 1;
    walk->seen++;
    walk->begin = at + 1;
    return 0;
}

#if defined(TAVL_SSE2)
/* Takes the D bits of a block starting at position at into the walk. 1
 * when a D closes piece k; its position goes to *end. */
static inline int TakeBlock(const char *line, size_t n, size_t at,
                            uint32_t dm, uint32_t qm, int32_t k,
                            FieldWalk *walk, size_t *end) {
    if (!qm) {
        /* Without a quote in the block every D of it separates (the quotes
         * beside an escaped one would lie in the block too), so only the
         * count matters until piece k is reached. */
        int32_t seen = walk->seen;
        uint32_t passed = 0;
        for (; dm && seen != k; dm &= dm - 1u) {
            seen++;
            passed = dm;
        }
        walk->seen = seen;
        if (passed) walk->begin = at + (size_t)LowestBit(passed) + 1;
        if (!dm) return 0;
        *end = at + (size_t)LowestBit(dm);
        return 1;
    }
    for (; dm; dm &= dm - 1u) {
        size_t p = at + (size_t)LowestBit(dm);
        if (TakeDelimiter(line, n, p, k, walk)) {
            *end = p;
            return 1;
        }
    }
    return 0;
}

/* The 16 bytes of a line of 16 bytes or more from *i on, moving *i past
 * them; under 16 left, the line's last 16 bytes, *drop of them before *i
 * (their mask bits are shifted out), so no load reaches past the line. */
static inline __m128i NextBlock(const char *line, size_t n, size_t *i, unsigned *drop) {
    if (n - *i >= 16) {
        __m128i x = LoadSixteen(line + *i);
        *i += 16;
        *drop = 0;
        return x;
    }
    *drop = (unsigned)(16 - (n - *i));
    *i = n;
    return LoadSixteen(line + n - 16);
}

/* Piece k of a line of 16 bytes or more, where every block up to its end
 * holds no quote or backslash: then every D separates and the field is
 * plain. 0 when a block before the end holds one, or the line has no
 * piece k: the general walk then decides. The last block is the line's
 * last 16 bytes without those already seen, so no load reaches past it. */
static int FindInPlainBlocks(const char *line, size_t n, char delimiter, int32_t k,
                             size_t *start, size_t *length) {
    const __m128i d_bytes = _mm_set1_epi8(delimiter);
    const __m128i quotes = _mm_set1_epi8(QUOTE);
    const __m128i slashes = _mm_set1_epi8(BACKSLASH);
    int32_t seen = 0;
    size_t begin = 0;
    for (size_t i = 0; i < n;) {
        const size_t at = i;
        unsigned drop;
        __m128i x = NextBlock(line, n, &i, &drop);
        uint32_t sm = (uint32_t)_mm_movemask_epi8(
            _mm_or_si128(_mm_cmpeq_epi8(x, quotes), _mm_cmpeq_epi8(x, slashes)));
        if (sm >> drop) return 0;
        for (uint32_t dm = ByteMask(x, d_bytes) >> drop; dm; dm &= dm - 1u) {
            size_t p = at + LowestBit(dm);
            if (seen == k) {
                *start = begin;
                *length = p - begin;
                return 1;
            }
            seen++;
            begin = p + 1;
        }
    }
    if (seen != k) return 0;
    *start = begin;
    *length = n - begin;
    return 1;
}

/* The walk over lines of 16 bytes or more: whole blocks of 32 bytes, then
 * the line's last 16 or 32 bytes as one block with the bytes already seen
 * masked off, so no load reaches past the line. Returns the end of piece k,
 * or n with walk->seen short of k when the line has no such piece. */
static size_t WalkBlocks(const char *line, size_t n, char delimiter, int32_t k,
                         FieldWalk *walk, uint32_t *special, size_t from) {
    const __m128i d_bytes = _mm_set1_epi8(delimiter);
    const __m128i quotes = _mm_set1_epi8(QUOTE);
    const __m128i slashes = _mm_set1_epi8(BACKSLASH);
    size_t end = n;
    size_t i = from;
    for (; i + 32 <= n; i += 32) {
        __m128i x = LoadSixteen(line + i);
        __m128i y = LoadSixteen(line + i + 16);
        uint32_t dm = ByteMask(x, d_bytes) | ByteMask(y, d_bytes) << 16;
        uint32_t qm = ByteMask(x, quotes) | ByteMask(y, quotes) << 16;
        *special |= qm | ByteMask(x, slashes) | ByteMask(y, slashes);
        if (dm && TakeBlock(line, n, i, dm, qm, k, walk, &end)) return end;
    }
    if (i < n) {
        /* The rest, under 32 bytes: the line's last 16 bytes, and when
         * more remain the 16 from i, their bits placed by position. */
        const size_t last = n - 16;
        __m128i x = LoadSixteen(line + last);
        uint32_t dm, qm, bm;
        if (n - i > 16) {
            __m128i w = LoadSixteen(line + i);
            dm = ByteMask(w, d_bytes) | ByteMask(x, d_bytes) << (last - i);
            qm = ByteMask(w, quotes) | ByteMask(x, quotes) << (last - i);
            bm = ByteMask(w, slashes) | ByteMask(x, slashes) << (last - i);
        } else {
            dm = ByteMask(x, d_bytes) >> (i - last);
            qm = ByteMask(x, quotes) >> (i - last);
            bm = ByteMask(x, slashes) >> (i - last);
        }
        *special |= qm | bm;
        if (dm && TakeBlock(line, n, i, dm, qm, k, walk, &end)) return end;
    }
    return n;
}
#endif

int FindField(const char *line, size_t n, char delimiter, int32_t k,
              size_t *start, size_t *length) {
    int plain;
    return FindPlainField(line, n, delimiter, k, start, length, &plain);
}

int FindPlainField(const char *line, size_t n, char delimiter, int32_t k,
                   size_t *start, size_t *length, int *plain) {
    if (k < 0 || (!line && n)) return 0;
    FieldWalk walk = {0, 0};
    size_t at = n; /* the end of piece k; the line's end unless a D ends it */
    uint32_t special = 0;
    if (delimiter == '\0') {
        /* Nothing separates: the line is one piece. */
        special = !IsPlain(line, n);
#if defined(TAVL_SSE2)
    } else if (n >= 16) {
        if (FindInPlainBlocks(line, n, delimiter, k, start, length)) {
            *plain = 1;
            return 1;
        }
        at = WalkBlocks(line, n, delimiter, k, &walk, &special, 0);
#endif
    } else {
        special = !IsPlain(line, n);
        for (size_t i = 0; i < n; i++) {
            const char *p = (const char *)memchr(line + i, delimiter, n - i);
            if (!p) break;
            i = (size_t)(p - line);
            if (TakeDelimiter(line, n, i, k, &walk)) {
                at = i;
                break;
            }
        }
    }
    if (walk.seen != k) return 0;
    *start = walk.begin;
    *length = at - walk.begin;
    *plain = !special;
    return 1;
}

int FieldHasBareDelimiter(const char *stored, char delimiter) {
    return stored ? FieldSpanHasBareDelimiter(stored, strlen(stored), delimiter) : 0;
}

int FieldSpanHasBareDelimiter(const char *stored, size_t n, char delimiter) {
    if (delimiter == '\0') return 0;
    for (const char *p = stored;
         (p = (const char *)memchr(p, delimiter, n - (size_t)(p - stored)));
         p++) {
        /* Between two separators the field's first and last bytes border a
         * separator, never a quote. */
        if (DelimiterSeparates(stored, n, (size_t)(p - stored))) return 1;
    }
    return 0;
}

/* ---- Field counts and consistency ---------------------------------------
 *
 * The load counts a line's fields by quote parity: a D counts where an even
 * number of quotes stand before it. The split cuts at every D that is not
 * flanked by quotes. The two agree on every line without quotes; a line on
 * which they pick different D's would be read from other places than it
 * was counted at, so such a line is not consistent, and neither the load
 * nor a write lets one into a table. */

/* Takes the bytes line[from..to) into a count under way: *inside tells
 * whether an odd number of quotes stands before from. */
static void CountBytes(const unsigned char *line, size_t n, size_t from,
                       size_t to, unsigned char d, uint64_t *count,
                       int *inside, int *consistent) {
    for (size_t p = from; p < to; p++) {
        unsigned char b = line[p];
        if (b == QUOTE) {
            *inside = !*inside;
        } else if (b == d) {
            int counted = !*inside;
            int splits = DelimiterSeparates((const char *)line, n, p);
            *count += (uint64_t)counted;
            if (counted != splits) *consistent = 0;
        }
    }
}

int32_t CountLineFields(const char *text, size_t n, char delimiter,
                        int *consistent) {
    const unsigned char *line = (const unsigned char *)text;
    const unsigned char d = (unsigned char)delimiter;
    uint64_t count = 1;
    int inside = 0;
    int same = 1;
    size_t i = 0;
    if (d == '\0' || d == QUOTE) n = 0; /* such a D separates nothing */
#if defined(TAVL_SSE2)
    const __m128i quotes = _mm_set1_epi8(QUOTE);
    const __m128i d_bytes = _mm_set1_epi8((char)d);
    for (; i + 16 <= n; i += 16) {
        __m128i x = LoadSixteen(line + i);
        uint32_t dm = ByteMask(x, d_bytes);
        if (ByteMask(x, quotes)) {
            CountBytes(line, n, i, i + 16, d, &count, &inside, &same);
        } else if (dm) {
            /* No D of a block without quotes is flanked by two (its inner
             * neighbour lies in the block), so the split cuts at each of
             * them: parity must count them all. */
            if (inside) same = 0;
            else count += BitCount(dm);
        }
    }
#endif
    CountBytes(line, n, i, n, d, &count, &inside, &same);
    if (consistent) *consistent = same;
    /* More fields than an int32_t holds cannot match any column count. */
    return count > (uint64_t)INT32_MAX ? INT32_MAX : (int32_t)count;
}

int LineIsSound(const char *line, size_t n, char delimiter, int32_t columns) {
    int consistent = 0;
    return CountLineFields(line, n, delimiter, &consistent) == columns &&
           consistent;
}

/* ---- The pieces of a line -----------------------------------------------
 *
 * A walk over a line takes it 16 bytes at a time, as bit masks: one of its
 * D's, one of its quotes and backslashes. Where a block holds no quote,
 * every D of it separates (the inner neighbour of a D lies in the block,
 * and a quote-D-quote group needs it to be a quote), so its separators are
 * its D bits; a block with quotes asks the split rule of each D. */

int FieldEndsWalk(const char *line, size_t n, char delimiter, uint32_t *ends,
                  int32_t capacity, int32_t want, size_t *walked,
                  int32_t *count, int *special) {
    TAVL_ASSERT(n < UINT32_MAX && *walked <= n && capacity >= 0);
    size_t i = *walked;
    int32_t c = *count;
    int seen = 0; /* a quote or a backslash */
    if (delimiter == '\0') { /* nothing separates */
        seen = memchr(line, QUOTE, n) || memchr(line, BACKSLASH, n);
        i = n;
    }
#if defined(TAVL_SSE2)
    if (n >= 16) {
        const __m128i d_bytes = _mm_set1_epi8(delimiter);
        const __m128i quotes = _mm_set1_epi8(QUOTE);
        const __m128i slashes = _mm_set1_epi8(BACKSLASH);
        /* The usual blocks first, in loops of few instructions: 32 or 16
         * bytes without a quote or a backslash, every D a separator, and
         * room for all of them. */
        if (c <= want && capacity >= 32) {
            const uint32_t *last = ends + (want < capacity - 32 ? want : capacity - 32);
            uint32_t *e = ends + c;
            while (i + 32 <= n && e <= last) {
                __m128i x = LoadSixteen(line + i), y = LoadSixteen(line + i + 16);
                __m128i any = _mm_or_si128(
                    _mm_or_si128(_mm_cmpeq_epi8(x, quotes), _mm_cmpeq_epi8(x, slashes)),
                    _mm_or_si128(_mm_cmpeq_epi8(y, quotes), _mm_cmpeq_epi8(y, slashes)));
                if (_mm_movemask_epi8(any)) break;
                const uint32_t at = (uint32_t)i;
                for (uint32_t dm = ByteMask(x, d_bytes) | ByteMask(y, d_bytes) << 16; dm;
                     dm &= dm - 1u)
                    *e++ = at + LowestBit(dm);
                i += 32;
            }
            while (i + 16 <= n && e <= last) {
                __m128i x = LoadSixteen(line + i);
                uint32_t sm = (uint32_t)_mm_movemask_epi8(
                    _mm_or_si128(_mm_cmpeq_epi8(x, quotes), _mm_cmpeq_epi8(x, slashes)));
                if (sm) break;
                const uint32_t at = (uint32_t)i;
                for (uint32_t dm = ByteMask(x, d_bytes); dm; dm &= dm - 1u)
                    *e++ = at + LowestBit(dm);
                i += 16;
            }
            c = (int32_t)(e - ends);
        }
        /* Then blocks as they come; the last takes the line's last 16
         * bytes without those walked, so no load reaches past the line. */
        while (i < n && c <= want) {
            const size_t at = i;
            unsigned drop;
            __m128i x = NextBlock(line, n, &i, &drop);
            uint32_t dm = ByteMask(x, d_bytes) >> drop;
            uint32_t sm = (uint32_t)_mm_movemask_epi8(_mm_or_si128(
                              _mm_cmpeq_epi8(x, quotes), _mm_cmpeq_epi8(x, slashes))) >>
                          drop;
            seen |= sm != 0;
            for (; dm; dm &= dm - 1u) {
                size_t p = at + LowestBit(dm);
                if (sm && !DelimiterSeparates(line, n, p)) continue;
                if (c < capacity) ends[c] = (uint32_t)p;
                ++c;
            }
        }
    }
#endif
    for (; i < n && c <= want; i++) {
        char b = line[i];
        seen |= b == QUOTE || b == BACKSLASH;
        if (b == delimiter && DelimiterSeparates(line, n, i)) {
            if (c < capacity) ends[c] = (uint32_t)i;
            ++c;
        }
    }
    *walked = i;
    *special |= seen;
    int done = i >= n;
    if (done) { /* the last piece ends at the end of the line */
        if (c < capacity) ends[c] = (uint32_t)n;
        ++c;
    }
    *count = c;
    return done;
}
