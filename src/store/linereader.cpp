/*
 * linereader.cpp - the lines of a table file, by the load's rules, from a
 * stream (see linereader.h).
 *
 * The block is read in large pieces and searched for LFs with memchr; a
 * line is shaped where it lies (its CR and NUL bytes dropped, a NUL written
 * over its end) and counted with the codec's field count. A keeping reader
 * grows the block when it is full, so every line stays where it was read;
 * a streaming one first moves the unread bytes to the front, and grows the
 * block only while one line does not fit.
 */
#include "store/linereader_record.h"

#include <string.h>

#include "base/tavlbits.h"
#include "base/tavlfile.h"
#include "base/tavlhost.h"
#include "codec/tavl_codec.h"
#include "tavlin32.h"

static char *BlockAlloc(size_t capacity) {
    char *block = (char *)qmem_malloc(capacity + LINE_TAIL);
    if (!block) return NULL;
    /* A large block becomes a loaded table's text, read here and there. */
    AdviseLargePages(block, capacity);
    /* The tail may be read, never shown: give it a value all the same. */
    memset(block + capacity, 0, LINE_TAIL);
    return block;
}

int LineReaderInit(LineReader *r, FILE *stream, const LineOptions *options) {
    TAVL_ASSERT(stream && options);
    memset(r, 0, sizeof *r);
    r->stream = stream;
    r->options = *options;
    r->expected = -1;
    r->capacity = options->capacity < 2 ? 2 : options->capacity;
    r->bytes = BlockAlloc(r->capacity);
    if (!r->bytes) {
        r->finished = 1;
        r->fault = LINE_FAULT_MEMORY;
        return TBL_ERR_NO_MEMORY;
    }
    r->bytes[0] = '\0';
    return 0;
}

LineReader *LineReaderNew(FILE *stream, const LineOptions *options) {
    LineReader *r = (LineReader *)qmem_malloc(sizeof *r);
    if (r && LineReaderInit(r, stream, options) != 0) {
        qmem_free(r);
        return NULL;
    }
    return r;
}

void LineReaderDelete(LineReader *r) {
    if (!r) return;
    LineReaderFree(r);
    qmem_free(r);
}

void LineReaderState(const LineReader *r, LineState *state) {
    const int long_line = r->fault == LINE_FAULT_LONG;
    state->text = r->bytes + (long_line ? r->line_start : r->at);
    state->length = long_line ? r->end - r->line_start : r->length;
    state->fields = r->fields;
    state->file_line = r->file_line;
    state->file_offset = r->file_offset;
    state->ended_with_lf = r->ended_with_lf;
    state->table_lines = r->stored;
    state->expected = r->expected;
    state->fault = r->fault;
    state->fault_pieces = r->fault_pieces;
    state->byte_order_mark = r->byte_order_mark;
    state->read = r->end;
    state->block = r->capacity;
    state->read_to = r->dropped + r->end;
}

char *LineReaderTakeBlock(LineReader *r) {
    char *block = r->bytes;
    r->bytes = NULL;
    return block;
}

void LineReaderFree(LineReader *r) {
    if (r->bytes) qmem_free(r->bytes);
    r->bytes = NULL;
}

/* Makes room behind what was read: a streaming reader drops the lines
 * before the one under way; a full block doubles. 0 or TBL_ERR_NO_MEMORY. */
static int MakeRoom(LineReader *r) {
    if (!r->options.keep && r->line_start > 0) {
        const size_t shift = r->line_start;
        memmove(r->bytes, r->bytes + shift, r->end - shift);
        r->end -= shift;
        r->scanned -= shift;
        r->nul = r->nul >= shift ? r->nul - shift : 0; /* a raw reader keeps none */
        r->line_start = 0;
        r->dropped += shift;
        if (r->end + 1 < r->capacity) return 0;
    }
    if (r->end + 1 < r->capacity) return 0;
    if (r->capacity > ((size_t)-1 - LINE_TAIL) / 2) return TBL_ERR_NO_MEMORY;
    const size_t grown = r->capacity * 2;
    if (r->options.most && !r->options.keep && grown > r->options.most) return TBL_ERR_RANGE;
    char *block = (char *)qmem_realloc(r->bytes, grown + LINE_TAIL);
    if (!block) return TBL_ERR_NO_MEMORY;
    memset(block + grown, 0, LINE_TAIL);
    r->bytes = block;
    r->capacity = grown;
    return 0;
}

/* Reads more of the stream behind what was read. 0 or TBL_ERR_NO_MEMORY. */
static int ReadMore(LineReader *r) {
    TAVL_ASSERT(r->line_start <= r->scanned && r->scanned <= r->end && r->end < r->capacity);
    if (r->end + 1 == r->capacity || (!r->options.keep && r->line_start > 0)) {
        int rc = MakeRoom(r);
        if (rc) return rc;
    }
    const size_t want = r->capacity - 1 - r->end;
    const size_t got = fread(r->bytes + r->end, 1, want, r->stream);
    /* A short read is the end of the file or a read error; ferror tells
     * them apart once the lines before are handed out. */
    if (got < want) r->at_end = 1;
    if (r->nul == r->end) {
        const char *nul = (const char *)memchr(r->bytes + r->end, '\0', got);
        r->nul = nul ? (size_t)(nul - r->bytes) : r->end + got;
    }
    r->end += got;
    return 0;
}

/* Shapes bytes [start, stop) into the line under way, in place: one CR at
 * its end dropped, then every NUL byte; a NUL ends the text. Returns its
 * length. */
static size_t ShapeLine(LineReader *r, size_t start, size_t stop) {
    TAVL_ASSERT(start <= stop && stop <= r->end && r->nul >= start);
    char *text = r->bytes + start;
    size_t n = stop - start;
    if (r->nul >= stop) {
        if (n && text[n - 1] == '\r') n--;
    } else {
        n = LineShape(text, n);
        const char *next = (const char *)memchr(r->bytes + stop, '\0', r->end - stop);
        r->nul = next ? (size_t)(next - r->bytes) : r->end;
    }
    text[n] = '\0';
    return n;
}

/* A line as it stands, ended by a NUL over its LF. */
static size_t RawLine(LineReader *r, size_t start, size_t stop) {
    r->bytes[stop] = '\0';
    return stop - start;
}

size_t LineShape(char *text, size_t n) {
    if (n && text[n - 1] == '\r') n--;
    if (memchr(text, '\0', n)) {
        size_t kept = 0;
        for (size_t i = 0; i < n; i++)
            if (text[i] != '\0') text[kept++] = text[i];
        n = kept;
    }
    return n;
}

/* Checks the shaped line of n bytes at start: LINE_READY for a line of the
 * table, LINE_DONE for one that breaks a rule (the fault is set), -1 for
 * an empty line, which is skipped. */
static int TakeLine(LineReader *r, size_t start, size_t n) {
    LineReaderNote(r, start, n);
    if (r->options.raw) return LINE_READY;
    if (n == 0) return -1;
    if (!r->options.counting) return LineReaderHandOut(r, 0);
    int consistent;
    const int32_t fields = LineReaderCount(r, start, n, &consistent);
    r->fields = fields;
    if (!consistent || (r->expected >= 0 && fields != r->expected)) {
        r->fault = consistent ? LINE_FAULT_FIELDS : LINE_FAULT_QUOTES;
        const uint64_t pieces = LineFieldCount(r->bytes + start, n, 0, r->options.delimiter, NULL);
        r->fault_pieces = pieces > INT32_MAX ? INT32_MAX : (int32_t)pieces;
        r->finished = 1;
        return LINE_DONE;
    }
    if (r->expected < 0) r->expected = fields;
    return LineReaderHandOut(r, fields);
}

static int Step(LineReader *r);

int LineReaderStep(LineReader *r) {
    int rc = Step(r);
    r->quick = rc == LINE_READY && !r->options.raw && r->options.counting && r->expected >= 0;
    return rc;
}

static int Step(LineReader *r) {
    if (r->finished) return LINE_DONE;
    if (!r->started) {
        r->started = 1;
        while (!r->at_end && r->end < sizeof kByteOrderMark) {
            if (ReadMore(r)) {
                r->fault = LINE_FAULT_MEMORY;
                r->finished = 1;
                return LINE_DONE;
            }
        }
        /* A UTF-8 byte-order mark belongs to the file, not to line 0. */
        if (r->end >= sizeof kByteOrderMark &&
            memcmp(r->bytes, kByteOrderMark, sizeof kByteOrderMark) == 0) {
            r->line_start = r->scanned = sizeof kByteOrderMark;
            r->byte_order_mark = 1;
        }
    }
    for (;;) {
        char *lf = (char *)memchr(r->bytes + r->scanned, '\n', r->end - r->scanned);
        if (lf) {
            const size_t start = r->line_start, stop = (size_t)(lf - r->bytes);
            r->line_start = r->scanned = stop + 1;
            r->ended_with_lf = 1;
            int taken = TakeLine(r, start, r->options.raw ? RawLine(r, start, stop)
                                                  : ShapeLine(r, start, stop));
            if (taken >= 0) return taken;
            continue;
        }
        r->scanned = r->end;
        if (!r->at_end) {
            int more = ReadMore(r);
            if (more) {
                /* A line longer than the block may grow: its start stays
                 * in the block for a caller that reads it on its own. */
                r->fault = more == TBL_ERR_RANGE ? LINE_FAULT_LONG : LINE_FAULT_MEMORY;
                r->file_line = r->file_lines + 1;
                r->file_offset = r->dropped + r->line_start;
                r->finished = 1;
                return LINE_DONE;
            }
            continue;
        }
        /* What follows the last LF is a line like any other; the block
         * ends in a NUL after the bytes read. */
        r->bytes[r->end] = '\0';
        const size_t start = r->line_start;
        r->line_start = r->scanned = r->end;
        /* A raw reader hands out line 0 of a file that is only a
         * byte-order mark too: the mark's bytes are that line's. */
        if (start < r->end || (r->options.raw && r->byte_order_mark && r->file_lines == 0)) {
            r->ended_with_lf = 0;
            int taken = TakeLine(r, start, r->options.raw ? RawLine(r, start, r->end)
                                                  : ShapeLine(r, start, r->end));
            if (taken >= 0) {
                if (taken == LINE_READY) return LINE_READY;
                return LINE_DONE;
            }
        }
        r->finished = 1;
        if (ferror(r->stream)) {
            r->fault = LINE_FAULT_READ;
            r->file_line = r->file_lines + 1;
            r->file_offset = r->dropped + r->end;
        }
        return LINE_DONE;
    }
}

void LineReaderGoOn(LineReader *r, const char *ahead, size_t n, uint64_t offset,
                    int32_t fields, int ended_with_lf) {
    TAVL_ASSERT(r->fault == LINE_FAULT_LONG && n + 1 < r->capacity && offset >= r->dropped + r->end);
    r->file_lines++;
    r->ended_with_lf = ended_with_lf;
    if (fields > 0) {
        if (r->expected < 0) r->expected = fields;
        r->stored++;
    }
    memcpy(r->bytes, ahead, n);
    const char *nul = (const char *)memchr(r->bytes, '\0', n);
    r->nul = nul ? (size_t)(nul - r->bytes) : n;
    r->line_start = r->scanned = 0;
    r->end = n;
    r->dropped = offset;
    r->fault = LINE_FAULT_NONE;
    r->finished = 0;
    r->quick = 0;
}

int LineIsBlank(const char *line, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (!os_is_char_space(line + i, line + n - 1)) return 0;
    return 1;
}
