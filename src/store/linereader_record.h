/*
 * linereader_record.h - the line reader's record and its inline quick
 * path, for the store alone: linereader.cpp, and the loaded back-end's
 * load, which keeps its reader in place and takes most lines inline.
 * Everyone else holds a reader through the calls of linereader.h.
 *
 * The block: bytes [0, end) read, [line_start, scanned) hold no LF, nul is
 * the first NUL at or after line_start (end when none). The block has
 * capacity bytes, one kept for a NUL, and LINE_TAIL more.
 */
#ifndef TAVL_LINEREADER_RECORD_H
#define TAVL_LINEREADER_RECORD_H

#include <string.h>

#include "base/tavlbits.h"
#include "codec/tavl_codec.h"
#include "store/linereader.h"

struct LineReader {
    FILE *stream;
    LineOptions options;
    char *bytes;
    size_t capacity;
    size_t line_start, scanned, end, nul;
    uint64_t dropped;           /* bytes of the file before bytes[0] */
    int at_end;                 /* the stream has nothing more (or failed) */
    int started, finished;
    int quick;                  /* the next line may take the short way */
    uint64_t file_lines;        /* lines of the file passed, empty ones too */
    size_t at;                  /* where the current line starts in the block */
    /* As LineState tells them. */
    int byte_order_mark, ended_with_lf, fault;
    int32_t expected, fields, fault_pieces;
    int64_t stored;
    size_t length;
    uint64_t file_line, file_offset;
};

/* The fields of the line of n bytes at start by the load's count. */
static inline int32_t LineReaderCount(LineReader *r, size_t start, size_t n, int *consistent) {
    const char *text = r->bytes + start;
    TAVL_ASSERT(start + n <= r->end);
    return r->options.count
               ? r->options.count(r->options.count_context, r->stored, text, n,
                                  r->end - start, consistent)
               : CountLineFields(text, n, r->options.delimiter, consistent);
}

/* Notes the n bytes at start as the current line, the next of the file. */
static inline void LineReaderNote(LineReader *r, size_t start, size_t n) {
    r->file_line = ++r->file_lines;
    r->file_offset = r->dropped + start;
    r->at = start;
    r->length = n;
}

/* Hands out the noted line as a line of the table of fields fields. */
static inline int LineReaderHandOut(LineReader *r, int32_t fields) {
    r->fields = fields;
    r->stored++;
    return LINE_READY;
}

/* LineReaderStep, with the usual line taken here, inline in the load's
 * loop: a line whole in the block, with no NUL, and sound. It changes
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
                    r->ended_with_lf = 1;
                    LineReaderNote(r, start, n);
                    return LineReaderHandOut(r, fields);
                }
            }
        }
    }
    return LineReaderStep(r);
}

#endif /* TAVL_LINEREADER_RECORD_H */
