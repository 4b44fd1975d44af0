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

#include "codec/field_select.h"

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

/* Results of LineReaderStep and LineReaderNext. */
#define LINE_READY 1 /* a line of the table is current */
#define LINE_DONE  0 /* no more lines: the end of the file, or a fault */

/* The reader's record is the store's own (store/linereader_record.h); a
 * caller outside the store holds one made by LineReaderNew. */
typedef struct LineReader LineReader;

/* Counts a line's fields in place of CountLineFields (the same count and
 * consistency), given the line's number among the lines handed out and the
 * bytes readable from its start: a load notes where the fields end as it
 * counts them. */
typedef int32_t (*LineCountHook)(void *context, int64_t line, const char *text, size_t n,
                                 size_t readable, int *consistent);

/* How a reader reads. */
typedef struct LineOptions {
    char delimiter;
    int keep;                   /* every byte read stays in the block */
    int counting;               /* fields counted and checked (else only
                                   split into lines) */
    int raw;                    /* lines as they stand: only the LF taken
                                   off, empty ones handed out too, for
                                   callers that look at what a load skips */
    size_t capacity;            /* the first block's bytes (2 at least) */
    size_t most;                /* a streaming reader's block grows no larger
                                   (0: no limit); a longer line stops it with
                                   LINE_FAULT_LONG */
    LineCountHook count;        /* null: CountLineFields */
    void *count_context;
} LineOptions;

/* What a reader tells of the current line (after LINE_READY) or of the one
 * that stopped it. */
typedef struct LineState {
    char *text;                 /* the line in the reader's block,
                                   NUL-terminated, which the caller may shape
                                   in place (LineShape); after LINE_FAULT_LONG
                                   its first bytes, not terminated */
    size_t length;              /* its bytes, without CR, LF and NULs */
    int32_t fields;             /* by the load's count */
    uint64_t file_line;         /* its number in the file, from 1 */
    uint64_t file_offset;       /* its first byte's offset in the file */
    int ended_with_lf;
    int64_t table_lines;        /* lines of the table handed out */
    int32_t expected;           /* fields of every line; -1 before line 0 */
    int fault;                  /* LINE_FAULT_*: why reading stopped early */
    int32_t fault_pieces;       /* a refused line: its pieces by the split */
    int byte_order_mark;        /* the file began with one */
    size_t read;                /* bytes of the block read */
    size_t block;               /* the block's capacity */
    uint64_t read_to;           /* the file offset after the bytes read */
} LineState;

/* Prepares the reader at r, a record the store holds in place, to read
 * stream as options say. 0, or TBL_ERR_NO_MEMORY (then reading gives
 * LINE_DONE with LINE_FAULT_MEMORY). */
int LineReaderInit(LineReader *r, FILE *stream, const LineOptions *options);

/* A reader in a block of its own, for callers outside the store; null when
 * there is no memory. LineReaderDelete frees it and its block. */
LineReader *LineReaderNew(FILE *stream, const LineOptions *options);
void LineReaderDelete(LineReader *r);

/* Moves to the next line of the table: LINE_READY, or LINE_DONE at the end
 * of the file and at the first line that breaks a rule (LineReaderState
 * tells which line and why). The store's load takes most lines by the
 * inline LineReaderNext (store/linereader_record.h), which gives the same. */
int LineReaderStep(LineReader *r);

/* The facts of LineState, as they stand. */
void LineReaderState(const LineReader *r, LineState *state);

/* Goes on after a line that stopped the reader with LINE_FAULT_LONG, which
 * the caller read to its LF (ended_with_lf) or the file's end itself and
 * found to have fields fields by the load's count (0: an empty line, no
 * line of the table): the n bytes at ahead, read from the stream past that
 * LF, are the next bytes of the file, and offset is the file offset of the
 * first. The caller checked the line as the reader would (consistent, and
 * with the field count of the first line). */
void LineReaderGoOn(LineReader *r, const char *ahead, size_t n, uint64_t offset,
                    int32_t fields, int ended_with_lf);

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
