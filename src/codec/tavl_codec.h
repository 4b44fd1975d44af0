/*
 * tavl_codec.h - the stored form of a cell inside its line.
 *
 * A value may hold any byte. Stored, the delimiter D becomes quote-D-quote,
 * the backslash is doubled and the bytes 0x00 to 0x1F become \xNN with
 * lower-case digits; every other byte stands for itself. A line is split by
 * turning each separator D (every D not flanked by quotes, and always one at
 * the first or last byte) into NUL in place, which leaves the fields as
 * consecutive NUL-terminated pieces still in stored form.
 *
 * While the host's character set is multibyte (zkOsCharsetType above 1), a
 * two-byte character is stored unchanged unless one of its bytes is D, the
 * backslash or a control byte; then both bytes are stored one at a time as
 * above, so that decoding, which reads byte by byte, gives the value back.
 */
#ifndef TAVL_CODEC_H
#define TAVL_CODEC_H

#include <stddef.h>
#include <stdint.h>

#include "base/tavlbits.h"
#include "base/tavlbuf.h"
#include "codec/field_bits.h"

/* 1 for a delimiter no line survives: NUL ends the text, the backslash
 * starts escapes, LF and CR end lines, and the quote is what escapes D
 * itself. Opens and preparations refuse it. */
static inline int DelimiterRefused(char d) {
    return d == '\0' || d == '\\' || d == '\n' || d == '\r' || d == QUOTE;
}

/* Writes the stored form of length bytes of value to out, plain or (with
 * escaped) escaped, and returns its length; with a null out only measures
 * it. No NUL is written. The escaped form writes the quote as \x22 and D as
 * \x and D's two lower-case hex digits, so the field holds no quote, and no
 * D unless D is x or a hex digit. It decodes to the same value. It is used
 * only where the plain form would break its line. */
size_t StoreField(const char *value, size_t length, char delimiter,
                  int escaped, char *out);

/* Appends the stored form of length bytes of value, plain or (with escaped)
 * escaped as StoreField writes it, to the text of the TextBuffer *output,
 * resizing its block once. A length of 0 appends nothing. TEXT_OK or
 * TEXT_NO_MEMORY (then *output is as it was). */
TextResult EncodeField(const char *value, size_t length, char delimiter,
                       int escaped, char **output);

/* Splits line in place; returns the number of pieces (separators + 1). */
int32_t SplitLine(char *line, char delimiter);

/* Decodes the stored field field[0..n) (no NUL needed after it) into the
 * TextBuffer *output, which then holds the decoded bytes and a NUL, and
 * stores the decoded byte count + 1 through size. \x takes up to two hex
 * digits of either case (none gives 0) and always consumes four bytes,
 * never reading past the field. TEXT_OK, or TEXT_NO_MEMORY (then *output
 * is as it was and no size is stored), also for a value of INT32_MAX bytes
 * or more, whose size has no int32_t. */
TextResult DecodeField(const char *field, size_t n, char delimiter,
                       char **output, int32_t *size);

/* Finds piece k of the stored line line[0..n) by the split rule, without
 * changing the line and without needing a NUL after it: *start and *length
 * receive where the piece lies. 1 when found; 0 when the line has k pieces
 * or fewer, or k is negative. Reads only line[0..n). A NUL delimiter
 * separates nothing: the whole line is piece 0. */
int FindField(const char *line, size_t n, char delimiter, int32_t k,
              size_t *start, size_t *length);

/* As FindField; *plain also receives 1 when the field holds no quote and no
 * backslash, so that it decodes to itself (0 may also mean that bytes near
 * it hold one). */
int FindPlainField(const char *line, size_t n, char delimiter, int32_t k,
                   size_t *start, size_t *length, int *plain);

/* Decodes the stored field f[0..n) as DecodeField does, without
 * allocating: decoded byte j goes to out[j] while j is below capacity (out
 * may be null when capacity is 0), and the count of all decoded bytes is
 * returned. Nothing is terminated. Reads only f[0..n). */
size_t DecodeFieldTo(const char *f, size_t n, char delimiter, char *out,
                     size_t capacity);

/* 1 when a stored field, standing alone between two separators, would
 * split into more than one piece (it holds a D that is not the middle of a
 * quote-D-quote group); 0 otherwise. The second reads stored[0..n). */
int FieldHasBareDelimiter(const char *stored, char delimiter);
int FieldSpanHasBareDelimiter(const char *stored, size_t n, char delimiter);

/* Fields of the stored line line[0..n) as the load counts them: 1, plus 1
 * for each D with an even number of quotes before it on the line. When
 * consistent is given it receives 1 when those D's are exactly the ones the
 * split cuts at, position by position, so that the line reads as it counts;
 * 0 otherwise. Reads only line[0..n). A NUL or quote D separates nothing. */
int32_t CountLineFields(const char *line, size_t n, char delimiter,
                        int *consistent);

/* Fields of the first line of text[0..n) by the split rule (field_bits.h),
 * unended or not: 1, plus 1 for each separator before the line's end, its
 * LF or the text's end. *end, where given, receives where it ends: its LF,
 * or n. Reads only text[0..n). */
uint64_t LineFieldCount(const char *text, size_t n, int unended, char delimiter,
                        size_t *end);

/* 1 when line[0..n) is consistent and splits into exactly columns pieces:
 * a line a table of that many columns may hold. */
int LineIsSound(const char *line, size_t n, char delimiter, int32_t columns);

/* A walk over the pieces of the stored line line[0..n) by the split rule,
 * which can stop and go on: from position *walked, with *count pieces ended
 * before it, it records where each further piece ends (the position of the
 * separator after it, or n for the last piece) into ends[k] for k below
 * capacity, 64 bytes at a time until piece want has ended (up to 63 pieces
 * more may end in the last 64 bytes) or the line is done, and moves
 * *walked and *count on; *special is set when the bytes walked hold a quote
 * or a backslash (else every piece walked decodes to itself). Returns 1
 * once the line is done (*count is then its number of pieces). Start with
 * *walked, *count and *special 0. Reads only line[0..n), which must be
 * shorter than 4 GiB. */
int FieldEndsWalk(const char *line, size_t n, char delimiter, uint32_t *ends,
                  int32_t capacity, int32_t want, size_t *walked,
                  int32_t *count, int *special);

#endif /* TAVL_CODEC_H */
