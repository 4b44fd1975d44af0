/*
 * linereader.h - the lines of a table file as a load reads them, one at a
 * time, from a stream.
 *
 * The rules: an LF ends a line, and one CR before it is dropped; NUL bytes
 * inside a line are dropped (a stored NUL is \x00); a UTF-8 byte-order
 * mark at the start of the file is not part of line 0; a line left empty is
 * no line of the table and is skipped; every other line must be consistent
 * (its quotes neither hide nor make a delimiter: the delimiters with an
 * even number of quotes before them are exactly the ones the split cuts
 * at) and have as many fields as the first. What follows the last LF is a
 * line like any other.
 *
 * The loaded back-end's load reads its lines here, keeping every byte it
 * read in one block (a line then stays where it was read, and the block
 * becomes the table's text); a reader that streams keeps only the line
 * under way and what was read behind it, so its memory is bounded by the
 * longest line. Each line is handed out in place, ended by a NUL written
 * over its line end, with LINE_TAIL more bytes of the block readable after
 * that NUL.
 *
 * At the first line that breaks a rule the reader stops and says which
 * line of the file it is, where it starts, and why.
 */
#ifndef TAVL_LINEREADER_H
#define TAVL_LINEREADER_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "codec/field_select.h"
#include "codec/tavl_codec.h"

/* Bytes after the block's capacity that may be read, zero-filled: a line
 * handed out has at least this many readable bytes after its terminating
 * NUL, so that a loaded table's cell select may look at any line's start. */
#define LINE_TAIL SELECT_READ

/* What ended the reading, when it ended before the end of the file. */
#define LINE_FAULT_NONE   0
#define LINE_FAULT_FIELDS 1 /* a consistent line with another field count */
#define LINE_FAULT_QUOTES 2 /* its quotes hide or make a delimiter */
#define LINE_FAULT_READ   3 /* the stream failed */
#define LINE_FAULT_MEMORY 4 /* no memory for the block */
#define LINE_FAULT_LONG   5 /* a line longer than the block may grow (most) */

/* Results of LineReaderNext. */
#define LINE_READY 1 /* a line of the table is current */
#define LINE_DONE  0 /* no more lines: the end of the file, or a fault */

typedef struct LineReader {
    FILE *stream;
    char delimiter;
    int keep;                   /* every byte read stays in the block */
    int counting;               /* fields counted and checked (else only
                                   split into lines) */
    int raw;                    /* lines as they stand: only the LF taken
                                   off, empty ones handed out too */
    size_t most;                /* a streaming reader's block grows no larger
                                   (0: no limit); a longer line stops it with
                                   LINE_FAULT_LONG, its first bytes in the
                                   block from line_start to end */
    /* The block: bytes [0, end) read, [line_start, scanned) hold no LF,
     * nul is the first NUL at or after line_start (end when none). The
     * block has capacity bytes, one kept for a NUL, and LINE_TAIL more. */
    char *bytes;
    size_t capacity;
    size_t line_start, scanned, end, nul;
    uint64_t dropped;           /* bytes of the file before bytes[0] */
    int at_end;                 /* the stream has nothing more (or failed) */
    int started;
    int finished;
    int byte_order_mark;        /* the file began with one */
    int32_t expected;           /* fields of every line; -1 before line 0 */
    int64_t stored;             /* lines of the table handed out */
    uint64_t file_lines;        /* lines of the file passed, empty ones too */
    /* The current line (after LINE_READY), or the refused one. */
    size_t at;                  /* where it starts in the block */
    size_t length;              /* its bytes, without CR, LF and NULs */
    int32_t fields;             /* by the load's count */
    uint64_t file_line;         /* its number in the file, from 1 */
    uint64_t file_offset;       /* its first byte's offset in the file */
    int ended_with_lf;
    /* Why reading stopped early. */
    int fault;                  /* LINE_FAULT_* */
    int32_t fault_pieces;       /* a refused line: its pieces by the split */
    int quick;                  /* the next line may take the short way */
    /* Where set, counts each line's fields in place of CountLineFields
     * (the same count and consistency), with count_context, the line's
     * number among the lines handed out and the bytes readable from its
     * start: a load notes where the fields end as it counts them. */
    int32_t (*count)(void *context, int64_t line, const char *text, size_t n,
                     size_t readable, int *consistent);
    void *count_context;
} LineReader;

/* The fields of a line of r by the load's count: see count. */
static inline int32_t LineReaderCount(LineReader *r, size_t start, size_t n, int *consistent) {
    const char *text = r->bytes + start;
    return r->count ? r->count(r->count_context, r->stored, text, n, r->end - start, consistent)
                    : CountLineFields(text, n, r->delimiter, consistent);
}

/* Prepares a reader of stream with a first block of capacity bytes (at
 * least 2); keep and counting as above. 0, or TBL_ERR_NO_MEMORY. A raw
 * reader (set raw after this call) hands out every line of the file as it
 * stands, for callers that look at the lines a load skips. */
int LineReaderInit(LineReader *r, FILE *stream, char delimiter, int keep,
                   int counting, size_t capacity);

/* Goes on after a line that stopped the reader with LINE_FAULT_LONG, which
 * the caller read to its LF (or the file's end) itself and found to have
 * fields fields by the load's count (0: an empty line, no line of the
 * table): the n bytes at ahead, read from the stream past that LF, are the
 * next bytes of the file, and offset is the file offset of the first. The
 * caller checked the line as TakeLine would (consistent, and with the field
 * count of the first line). */
void LineReaderGoOn(LineReader *r, const char *ahead, size_t n, uint64_t offset,
                    int32_t fields);

/* LineReaderNext the whole way, for every line. */
int LineReaderStep(LineReader *r);

/* Moves to the next line of the table: LINE_READY, or LINE_DONE at the end
 * of the file and at the first line that breaks a rule (fault tells which;
 * file_line, file_offset, fields and fault_pieces describe that line).
 *
 * Most lines of a table are whole in the block, hold no NUL, and are
 * sound: those are taken here, inline in the caller's loop, and changing
 * nothing until the line is taken; every other line (an empty one, one
 * that breaks a rule, one that needs more of the file) goes the whole way,
 * which takes it from its start again. */
static inline int LineReaderNext(LineReader *r) {
    if (r->quick) {
        const char *lf =
            (const char *)memchr(r->bytes + r->scanned, '\n', r->end - r->scanned);
        if (lf) {
            const size_t start = r->line_start, stop = (size_t)(lf - r->bytes);
            char *text = r->bytes + start;
            size_t n = stop - start;
            if (n && text[n - 1] == '\r') n--;
            if (n && stop < r->nul) {
                int consistent;
                const int32_t fields = LineReaderCount(r, start, n, &consistent);
                if (consistent && fields == r->expected) {
                    text[n] = '\0';
                    r->line_start = r->scanned = stop + 1;
                    r->file_line = ++r->file_lines;
                    r->file_offset = r->dropped + start;
                    r->at = start;
                    r->length = n;
                    r->fields = fields;
                    r->ended_with_lf = 1;
                    r->stored++;
                    return LINE_READY;
                }
            }
        }
    }
    return LineReaderStep(r);
}

/* The current line: NUL-terminated, length bytes. */
static inline char *LineReaderText(const LineReader *r) {
    return r->bytes + r->at;
}

/* Gives the block up to the caller (a qmem block; null when none): the
 * reader holds nothing afterwards. */
char *LineReaderTakeBlock(LineReader *r);

/* Releases the block, if the reader still holds it. */
void LineReaderFree(LineReader *r);

/* Shapes a line of the file as a load keeps it, in place: one CR at its end
 * dropped, then every NUL byte. Returns the new length (0: a line a load
 * skips). */
size_t LineShape(char *text, size_t n);

/* 1 when line[0..n) is blank for the line count of GetNumberOfLinesEx:
 * empty, or white space only. */
int LineIsBlank(const char *line, size_t n);

#endif /* TAVL_LINEREADER_H */
