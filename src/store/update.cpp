/*
 * update.cpp - the loaded back-end of OPEN_EDIT and OPEN_PREVIEW: the load
 * of a delimited file into one RowRecord per line, lines read and replaced
 * by position, rows and fields appended, the save, and the close.
 *
 * Guarantees. A load either returns TBL_OK with every line (at most 100 in
 * OPEN_PREVIEW) consistent and holding the same field count, or fails with
 * a code and the thread's last-error value 0x20000000 (or-ed with the lines
 * stored so far once reading began); nothing it built is lost, the close
 * releases it. The load reads the file through one large block and finds
 * line ends with memchr; a line's text drops the one CR before its LF and
 * any NUL byte (a NUL-terminated text cannot hold one), and is stored in a
 * block of its exact size. A change either happens whole or not at all.
 * The save writes every line held, each ended by CR LF, after the file's
 * byte-order mark; the file layer puts the new file in place whole or not
 * at all.
 */
#include "store/update.h"

#include <stdio.h>
#include <string.h>

#include "base/dyn_ary.h"
#include "base/tavlbits.h"
#include "base/tavlbuf.h"
#include "base/tavlfile.h"
#include "base/tavlhost.h"
#include "codec/tavl_codec.h"
#include "store/backend.h"
#include "tavlin32.h"

#define ROW_LIST_CAPACITY 1000
#define PREVIEW_LINES 100

/* One line of a loaded table: its position in the row list, and its
 * stored text (a TextBuffer) without line end. */
typedef struct RowRecord {
    int32_t line;
    char *text;
} RowRecord;

/* RowRecord destructor of the row list. */
static int RowRecordFree(void *record) {
    RowRecord *row = (RowRecord *)record;
    TAVL_ASSERT(row);
    TextBufferFree(&row->text);
    qmem_free(row);
    return 0;
}

static RowRecord *GetRowRecord(const LoadedStore *loaded, int32_t position) {
    return (RowRecord *)SparseArrayGet(loaded->rows, position);
}

/* Appends a RowRecord holding a copy of the length bytes of text (or,
 * without text, length delimiters d: a line of empty cells) as the row
 * list's next line. The text block is made at its exact size in one
 * allocation: a load makes one per line. On failure nothing is added and
 * nothing leaks. */
static int RowAppendFilled(LoadedStore *loaded, const char *text, size_t length,
                           char d) {
    RowRecord *row = (RowRecord *)qmem_malloc(sizeof *row);
    if (!row) return TBL_ERR_NO_MEMORY;
    row->line = SparseArrayCount(loaded->rows);
    row->text = (char *)qmem_malloc(length + 1);
    if (row->text) {
        if (text) memcpy(row->text, text, length);
        else memset(row->text, d, length);
        row->text[length] = '\0';
    }
    if (!row->text || SparseArrayAdd(loaded->rows, row) < 0) {
        RowRecordFree(row);
        return TBL_ERR_NO_MEMORY;
    }
    return TBL_OK;
}

static int RowAppend(LoadedStore *loaded, const char *text, size_t length) {
    return RowAppendFilled(loaded, text, length, '\0');
}

/* ---- Lines -------------------------------------------------------------- */

/* The text of the line at position, where it lies; never copied. */
static int FetchLoadedRow(const TableStore *store, int32_t position,
                          const char **text, size_t *length, char **copy) {
    (void)copy;
    RowRecord *row = GetRowRecord(&store->loaded, position);
    if (!row) return TBL_ERR_FAIL;
    *text = row->text ? row->text : "";
    /* The line's second cache line, asked for while its first is read: a
     * line not in the cache then costs one wait, not two. */
    TAVL_PREFETCH(*text + 64);
    *length = strlen(*text);
    return TBL_OK;
}

static int32_t LoadedLines(const TableStore *store) {
    int32_t held = SparseArrayCount(store->loaded.rows);
    return held > 0 ? held : 0;
}

static int StoreLoadedRow(TableStore *store, int32_t position, const char *text,
                          size_t length) {
    RowRecord *row = GetRowRecord(&store->loaded, position);
    TAVL_ASSERT(row && length < (size_t)INT32_MAX);
    return TextBufferSetBytes(&row->text, text, (int32_t)length);
}

static int LoadedAppendRow(TableStore *store, int32_t columns) {
    size_t delimiters = columns > 1 ? (size_t)columns - 1 : 0;
    return RowAppendFilled(&store->loaded, NULL, delimiters, store->delimiter);
}

/* Cuts the texts of lines 0 to count - 1 back by the suffix each got. */
static void CutBack(LoadedStore *loaded, int32_t count, char *const *replace,
                    const char *first_suffix, const char *suffix) {
    for (int32_t p = 0; p < count; p++) {
        if (replace && replace[p]) continue;
        RowRecord *row = GetRowRecord(loaded, p);
        size_t added = strlen(p == 0 ? first_suffix : suffix);
        row->text[strlen(row->text) - added] = '\0';
    }
}

static int LoadedAppendField(TableStore *store, const char *first_suffix,
                             const char *suffix, char **replace) {
    LoadedStore *loaded = &store->loaded;
    int32_t held = LoadedLines(store);
    int32_t p;
    int rc = TBL_OK;
    for (p = 0; p < held && rc == TBL_OK; p++) {
        if (replace && replace[p]) continue;
        RowRecord *row = GetRowRecord(loaded, p);
        TAVL_ASSERT(row);
        if (!row->text) rc = TextBufferNew(&row->text);
        if (rc == TBL_OK)
            rc = TextBufferAppend(&row->text, p == 0 ? first_suffix : suffix);
    }
    if (rc != TBL_OK) {
        /* Line p - 1 failed and kept its text; the lines before it grew. */
        CutBack(loaded, p - 1, replace, first_suffix, suffix);
        return rc;
    }
    for (p = 0; replace && p < held; p++) {
        if (!replace[p]) continue;
        RowRecord *row = GetRowRecord(loaded, p);
        TextBufferFree(&row->text);
        row->text = replace[p];
        replace[p] = NULL;
    }
    return TBL_OK;
}

/* ---- Load --------------------------------------------------------------- */

/* The load reads the file through one block of this size, grown (doubled)
 * only while a single line does not fit in it. */
#define READ_BLOCK ((size_t)1 << 20)

/* Fails the load: the last-error value tells a host why. */
static int LoadFailed(int code, uint32_t stored) {
    SetLastError(TAVL_LOAD_ERROR | stored);
    return code;
}

/* Makes the raw bytes of one file line (its LF already cut off) the
 * line's text, in place: one CR at the end is dropped, then every NUL
 * byte, which cannot be part of a NUL-terminated line (the indexed fetch
 * drops them too, so both modes read the same cells). Gives the text's
 * length, its field count and whether it is consistent (it splits where
 * its fields are counted). */
static size_t ShapeLine(char *text, size_t n, char delimiter, int32_t *fields,
                        int *consistent) {
    if (n && text[n - 1] == '\r') n--;
    char *nul = (char *)memchr(text, '\0', n);
    if (nul) {
        size_t kept = (size_t)(nul - text);
        for (size_t i = kept; i < n; i++)
            if (text[i] != '\0') text[kept++] = text[i];
        n = kept;
    }
    *fields = CountLineFields(text, n, delimiter, consistent);
    return n;
}

/* Checks one non-empty line against the expected field count (the first
 * line sets it) and stores it as line n. A line that does not split where
 * its fields are counted would be read from other places than it was
 * counted at: it fails the load like a line with another count. */
static int LoadLine(LoadedStore *loaded, const char *text, size_t length,
                    int32_t fields, int consistent, int32_t *expected) {
    if (!consistent) return TBL_ERR_FORMAT;
    if (*expected < 0)
        *expected = fields;
    else if (fields != *expected)
        return TBL_ERR_FORMAT;
    return RowAppend(loaded, text, length);
}

/* The file as it passes through the load's block: bytes [begin, end) are
 * read and not yet consumed, and [begin, scanned) is known to hold no LF. */
typedef struct LoadBlock {
    char *bytes;
    size_t capacity;
    size_t begin, scanned, end;
    int at_end;                 /* the stream has nothing more (or failed) */
} LoadBlock;

/* Moves the unconsumed bytes to the front and reads more behind them,
 * doubling the block first when one line fills all of it. */
static int LoadRefill(LoadBlock *b, FILE *stream) {
    size_t rest = b->end - b->begin;
    if (b->begin) {
        memmove(b->bytes, b->bytes + b->begin, rest);
        b->scanned -= b->begin;
        b->begin = 0;
        b->end = rest;
    }
    if (b->end == b->capacity) {
        if (b->capacity > ((size_t)-1) / 2) return TBL_ERR_NO_MEMORY;
        char *grown = (char *)qmem_realloc(b->bytes, b->capacity * 2);
        if (!grown) return TBL_ERR_NO_MEMORY;
        b->bytes = grown;
        b->capacity *= 2;
    }
    size_t want = b->capacity - b->end;
    size_t got = fread(b->bytes + b->end, 1, want, stream);
    /* A short read is the end of the file or a read error; ferror tells
     * them apart once the lines are stored. */
    if (got < want) b->at_end = 1;
    b->end += got;
    return TBL_OK;
}

int TableFileLoad(TableStore *store, const char *path, int32_t *columns,
                  int32_t *data_lines) {
    LoadedStore *loaded = &store->loaded;
    loaded->stream = fopen(path, store->mode == OPEN_PREVIEW ? "rb" : "r+b");
    if (!loaded->stream) {
        loaded->stream_state = STREAM_ABSENT;
        return LoadFailed(TBL_ERR_OPEN, 0);
    }
    loaded->stream_state = STREAM_OPEN;

    loaded->rows = SparseArrayCreate(ROW_LIST_CAPACITY, RowRecordFree);
    if (!loaded->rows) return LoadFailed(TBL_ERR_OPEN, 0);

    LoadBlock b = {NULL, READ_BLOCK, 0, 0, 0, 0};
    b.bytes = (char *)qmem_malloc(b.capacity);
    if (!b.bytes) return LoadFailed(TBL_ERR_NO_MEMORY, 0);

    /* A UTF-8 byte-order mark belongs to the file, not to its first field:
     * it is left out of line 0 and written back by the save. */
    int rc = LoadRefill(&b, loaded->stream);
    if (rc == TBL_OK && b.end >= sizeof kByteOrderMark &&
        memcmp(b.bytes, kByteOrderMark, sizeof kByteOrderMark) == 0) {
        b.begin = b.scanned = sizeof kByteOrderMark;
        loaded->byte_order_mark = 1;
    }

    const char d = store->delimiter;
    int32_t n = 0;         /* lines stored */
    int32_t expected = -1; /* field count of every line; -1 before the first */
    int limited = 0;       /* OPEN_PREVIEW stopped at its line limit */
    while (rc == TBL_OK) {
        char *from = b.bytes + b.scanned;
        char *lf = (char *)memchr(from, '\n', b.end - b.scanned);
        if (!lf) {
            b.scanned = b.end;
            if (b.at_end) break;
            rc = LoadRefill(&b, loaded->stream);
            if (rc != TBL_OK) break;
            continue;
        }
        char *text = b.bytes + b.begin;
        size_t consumed = (size_t)(lf - b.bytes) + 1;
        int32_t fields;
        int consistent;
        size_t length = ShapeLine(text, (size_t)(lf - text), d, &fields,
                                  &consistent);
        b.begin = b.scanned = consumed;
        if (length == 0) continue; /* empty lines are not lines */
        rc = LoadLine(loaded, text, length, fields, consistent, &expected);
        if (rc != TBL_OK) break;
        n++;
        if (store->mode == OPEN_PREVIEW && n >= PREVIEW_LINES) {
            limited = 1;
            break;
        }
    }

    /* What follows the last line feed: a last line without one is checked
     * and stored like any other; an empty rest (also a lone CR) is skipped,
     * unless no line was stored at all, for the table then holds the one
     * empty line of an empty file. */
    if (rc == TBL_OK && !limited) {
        int32_t fields;
        int consistent;
        char *text = b.bytes + b.begin;
        size_t length = ShapeLine(text, b.end - b.begin, d, &fields,
                                  &consistent);
        if (length != 0) {
            rc = LoadLine(loaded, text, length, fields, consistent, &expected);
            if (rc == TBL_OK) n++;
        } else if (n == 0) {
            rc = RowAppend(loaded, "", 0);
            if (rc == TBL_OK) {
                expected = 0;
                n = 1;
            }
        }
    }
    qmem_free(b.bytes);
    if (rc != TBL_OK) return LoadFailed(rc, (uint32_t)n);

    if (ferror(loaded->stream)) {
        fclose(loaded->stream);
        loaded->stream = NULL;
        loaded->stream_state = STREAM_CLOSED;
        return LoadFailed(TBL_ERR_FORMAT, (uint32_t)n);
    }
    *columns = expected;
    *data_lines = n - store->header_lines;
    return TBL_OK;
}

/* ---- Close ------------------------------------------------------------- */

int TableFileClose(TableStore *store) {
    LoadedStore *loaded = &store->loaded;
    if (loaded->stream_state == STREAM_ABSENT) return TBL_ERR_BAD_HANDLE;
    if (loaded->stream_state == STREAM_OPEN) fclose(loaded->stream);
    loaded->stream = NULL;
    loaded->stream_state = STREAM_CLOSED;
    return TBL_OK;
}

/* Closes the stream and releases the rows. A load that could not open the
 * file built nothing: TBL_ERR_CLOSE. */
static int LoadedClose(TableStore *store) {
    if (TableFileClose(store) != TBL_OK) return TBL_ERR_CLOSE;
    if (store->loaded.rows) SparseArrayDestroy(&store->loaded.rows);
    return TBL_OK;
}

/* ---- Save --------------------------------------------------------------- */

/* Writes every line held, header lines first, each ended by CR LF, after
 * the byte-order mark the file began with. Line 0 names the columns and
 * the column list mirrors it (a write there renames its column, a new
 * column extends both), so its stored text is the header line. */
static int WriteLines(void *context, FileSink *sink) {
    const LoadedStore *loaded = (const LoadedStore *)context;
    if (loaded->byte_order_mark)
        FileSinkPut(sink, kByteOrderMark, sizeof kByteOrderMark);
    int32_t held = SparseArrayCount(loaded->rows);
    for (int32_t p = 0; p < held; p++) {
        const RowRecord *row = GetRowRecord(loaded, p);
        if (!row) return TBL_ERR_SAVE_ROW;
        const char *text = row->text ? row->text : "";
        FileSinkPut(sink, text, strlen(text));
        FileSinkPut(sink, "\r\n", 2);
        if (sink->failed) return TBL_ERR_SAVE_OPEN;
    }
    return TBL_OK;
}

/* 1 when the save would write an empty line into a file of more than one
 * line. The load skips empty lines, so that row would be gone on the next
 * load and every row after it would move up. Only a table of at most one
 * column can hold one: a line of more columns holds their delimiters. */
static int WouldLoseEmptyLine(const LoadedStore *loaded, int32_t columns) {
    int32_t held = SparseArrayCount(loaded->rows);
    if (columns > 1 || held <= 1) return 0;
    for (int32_t p = 0; p < held; p++) {
        RowRecord *row = GetRowRecord(loaded, p);
        if (!row || !row->text || row->text[0] == '\0') return 1;
    }
    return 0;
}

int TableFileSave(TableStore *store, const char *path, int32_t columns) {
    LoadedStore *loaded = &store->loaded;
    if (loaded->stream_state == STREAM_ABSENT) return TBL_ERR_BAD_HANDLE;
    if (store->mode != OPEN_EDIT) return TBL_ERR_MODE;
    if (!path || !*path) return TBL_ERR_SAVE_OPEN;
    if (WouldLoseEmptyLine(loaded, columns)) return TBL_ERR_SAVE_ROW;
    /* The load's stream goes first, so that the target can be replaced even
     * where an open file cannot be. The table goes on counting as having a
     * stream, so later saves and the close still work. */
    TableFileClose(store);
    return FileReplace(path, WriteLines, loaded);
}

/* ---- Invariants --------------------------------------------------------- */

static const char *LoadedCheck(const TableStore *store, int32_t columns,
                               int32_t data_lines) {
    const LoadedStore *loaded = &store->loaded;
    if (loaded->stream_state == STREAM_OPEN && !loaded->stream)
        return "an open stream without a stream";
    if (loaded->stream_state != STREAM_OPEN && loaded->stream)
        return "a stream in a state other than open";
    if (!loaded->rows) return "a loaded table without rows";
    int32_t held = SparseArrayCount(loaded->rows);
    if (held != store->header_lines + data_lines)
        return "the lines held differ from the header and data line counts";
    if (loaded->rows->used != held) return "a row list with a gap";
    if (columns > 1) {
        /* Lines of more than one column hold delimiters; any held line is
         * sound. A line in the middle is checked as a sample. */
        const RowRecord *row = GetRowRecord(loaded, held / 2);
        const char *text = row && row->text ? row->text : "";
        if (!LineIsSound(text, strlen(text), store->delimiter, columns))
            return "a line that does not split into one field per column";
    }
    return NULL;
}

static int LoadedOpen(TableStore *store, const char *path, const char *index_dir,
                      int32_t *columns, int32_t *data_lines) {
    (void)index_dir;
    return TableFileLoad(store, path, columns, data_lines);
}

const BackEnd kLoadedBackEnd = {
    LoadedOpen,      FetchLoadedRow, LoadedLines,   StoreLoadedRow, LoadedAppendRow,
    LoadedAppendField, TableFileSave, LoadedClose,  LoadedCheck,
};
