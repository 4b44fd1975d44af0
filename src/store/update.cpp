/*
 * update.cpp - the loaded back-end of OPEN_EDIT and OPEN_PREVIEW: the load
 * of a delimited file into one RowRecord per line, row fetch and store by
 * line number, the save, and the release of a loaded table.
 *
 * Guarantees. A load either returns TBL_OK with every line (at most 100 in
 * OPEN_PREVIEW) holding the same field count, or fails with a code and the
 * thread's last-error value 0x20000000 (or-ed with the lines stored so far
 * once reading began); nothing it built is lost, CloseTable releases it.
 * The load reads the file through one large block and finds line ends with
 * memchr; a line's text drops the one CR before its LF and any NUL byte
 * (a NUL-terminated text cannot hold one), and is stored in a block of its
 * exact size. The save gathers lines into one large block and writes it
 * whole. A save never leaves a half-written file behind: the table goes to
 * a new file beside the target, which is flushed and synced and only then
 * renamed over the target, so a failed save leaves the old file byte for
 * byte as it was. Every write and the final close are checked. A target
 * that is a symbolic link is followed (the link survives), and one that is
 * not a regular file (a device, a FIFO) is written in place, never
 * replaced. A stream is never closed twice: the handle records its state.
 */
#include "store/update.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#if defined(_WIN32)
#  include <fcntl.h>
#  include <io.h>
#  include <process.h>
#  include <sys/stat.h>
#  include <sys/types.h>
#else
#  include <fcntl.h>
#  include <sys/stat.h>
#  include <sys/types.h>
#  include <unistd.h>
#endif

#include "base/dyn_ary.h"
#include "codec/tavl_codec.h"
#include "base/tavlbits.h"
#include "base/tavlbuf.h"
#include "base/tavlhost.h"
#include "tavlin32.h"

#define ROW_LIST_CAPACITY 1000
#define PREVIEW_LINES 100

/* Symbolic links followed before a save gives up (as the kernel does). */
#define MAX_LINK_HOPS 40
/* Names tried for the temporary file of one save. */
#define MAX_TEMP_TRIES 1000

/* Makes *slot (null or a TextBuffer) a copy of n bytes of text; a null
 * slot first gets a block of its own from TextBufferNew. */
static int TextCopy(char **slot, const char *text, size_t n) {
    if (!*slot && TextBufferNew(slot) != TBL_OK) return TBL_ERR_NO_MEMORY;
    return TextBufferSetBytes(slot, text, (int32_t)n);
}

/* ---- Accessors ---------------------------------------------------------- */

ColumnRecord *GetColumnRecord(const TableHandle *table, int32_t index) {
    return table ? (ColumnRecord *)SparseArrayGet(table->column_list, index)
                 : NULL;
}

RowRecord *GetRowRecord(const TableHandle *table, int32_t position) {
    return table ? (RowRecord *)SparseArrayGet(table->row_list, position)
                 : NULL;
}

int IsLastColumn(const TableHandle *table, int32_t index) {
    return table && (int64_t)index == (int64_t)table->columns - 1;
}

int32_t NextRowLineNumber(const TableHandle *table) {
    return table->header_lines + table->data_lines;
}

int32_t GetDataLineCount(const TableHandle *table) { return table->data_lines; }

/* ---- Rows --------------------------------------------------------------- */

int RowRecordFree(void *record) {
    RowRecord *row = (RowRecord *)record;
    if (!row) return 0;
    TextBufferFree(&row->text);
    qmem_free(row);
    return 0;
}

/* Appends a RowRecord holding a copy of the length bytes of text (or,
 * without text, length delimiters: a line of empty cells) as the row
 * list's next line. The text block is made at its exact size in one
 * allocation: a load makes one per line. On failure nothing is added and
 * nothing leaks. */
static int RowAppend(TableHandle *table, int32_t line, const char *text,
                     size_t length) {
    RowRecord *row = (RowRecord *)qmem_malloc(sizeof *row);
    if (!row) return TBL_ERR_NO_MEMORY;
    row->line = line;
    row->text = (char *)qmem_malloc(length + 1);
    if (row->text) {
        if (text) memcpy(row->text, text, length);
        else memset(row->text, table->delimiter, length);
        row->text[length] = '\0';
    }
    if (!row->text || SparseArrayAdd(table->row_list, row) < 0) {
        RowRecordFree(row);
        return TBL_ERR_NO_MEMORY;
    }
    return TBL_OK;
}

/* The row list position of a line number of the given kind, or -1 when it
 * lies outside what a position can be. */
static int32_t RowPosition(const TableHandle *table, int32_t number,
                           int32_t kind) {
    int64_t position = number;
    if (kind == LINE_DATA) position += table->header_lines;
    return (position < 0 || position > INT32_MAX) ? -1 : (int32_t)position;
}

int FetchLoadedRow(TableHandle *table, int32_t number, char **output,
                   int32_t kind) {
    RowRecord *row = GetRowRecord(table, RowPosition(table, number, kind));
    if (!row) return TBL_ERR_FAIL;
    return TextBufferSet(output, row->text ? row->text : "");
}

int StoreLoadedRow(TableHandle *table, int32_t number, const char *text,
                   int32_t kind) {
    RowRecord *row = GetRowRecord(table, RowPosition(table, number, kind));
    if (!row) return TBL_ERR_FAIL;
    return TextBufferSet(&row->text, text);
}

int32_t LoadedLineCount(const TableHandle *table) {
    int32_t held = SparseArrayCount(table->row_list);
    return held > 0 ? held : 0;
}

const char *LoadedLineText(const TableHandle *table, int32_t position) {
    RowRecord *row = GetRowRecord(table, position);
    if (!row) return NULL;
    return row->text ? row->text : "";
}

/* Cuts the texts of lines 0 to count - 1 back by what suffix_of gave them. */
static void CutBack(TableHandle *table, int32_t count, char *const *replace,
                    const char *first_suffix, const char *suffix) {
    for (int32_t p = 0; p < count; p++) {
        RowRecord *row = GetRowRecord(table, p);
        if (replace && replace[p]) continue;
        size_t added = strlen(p == 0 ? first_suffix : suffix);
        row->text[strlen(row->text) - added] = '\0';
    }
}

int LoadedAppendField(TableHandle *table, const char *first_suffix,
                      const char *suffix, char **replace) {
    int32_t held = LoadedLineCount(table);
    int32_t p;
    int rc = TBL_OK;
    for (p = 0; p < held && rc == TBL_OK; p++) {
        RowRecord *row = GetRowRecord(table, p);
        if (!row) {
            rc = TBL_ERR_FAIL;
        } else if (!(replace && replace[p])) {
            if (!row->text) rc = TextBufferNew(&row->text);
            if (rc == TBL_OK)
                rc = TextBufferAppend(&row->text, p == 0 ? first_suffix : suffix);
        }
    }
    if (rc != TBL_OK) {
        /* Line p - 1 failed and kept its text; the lines before it grew. */
        CutBack(table, p - 1, replace, first_suffix, suffix);
        return rc;
    }
    for (p = 0; replace && p < held; p++) {
        if (!replace[p]) continue;
        RowRecord *row = GetRowRecord(table, p);
        TextBufferFree(&row->text);
        row->text = replace[p];
        replace[p] = NULL;
    }
    return TBL_OK;
}

int LoadedAppendRow(TableHandle *table) {
    size_t delimiters = table->columns > 1 ? (size_t)table->columns - 1 : 0;
    int rc = RowAppend(table, NextRowLineNumber(table), NULL, delimiters);
    if (rc == TBL_OK) table->data_lines++;
    return rc;
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
static int LoadLine(TableHandle *table, const char *text, size_t length,
                    int32_t fields, int consistent, int32_t *expected,
                    int32_t n) {
    if (!consistent) return TBL_ERR_FORMAT;
    if (*expected < 0)
        *expected = fields;
    else if (fields != *expected)
        return TBL_ERR_FORMAT;
    return RowAppend(table, n, text, length);
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

int TableFileLoad(TableHandle *table, const char *path) {
    table->stream = fopen(path, table->mode == OPEN_PREVIEW ? "rb" : "r+b");
    if (!table->stream) {
        table->stream_state = STREAM_ABSENT;
        return LoadFailed(TBL_ERR_OPEN, 0);
    }
    table->stream_state = STREAM_OPEN;

    table->row_list = SparseArrayCreate(ROW_LIST_CAPACITY, RowRecordFree);
    if (!table->row_list) return LoadFailed(TBL_ERR_OPEN, 0);

    LoadBlock b = {NULL, READ_BLOCK, 0, 0, 0, 0};
    b.bytes = (char *)qmem_malloc(b.capacity);
    if (!b.bytes) return LoadFailed(TBL_ERR_NO_MEMORY, 0);

    /* A UTF-8 byte-order mark belongs to the file, not to its first field:
     * it is left out of line 0 and written back by the save. */
    int rc = LoadRefill(&b, table->stream);
    if (rc == TBL_OK && b.end >= sizeof kByteOrderMark &&
        memcmp(b.bytes, kByteOrderMark, sizeof kByteOrderMark) == 0) {
        b.begin = b.scanned = sizeof kByteOrderMark;
        table->byte_order_mark = 1;
    }

    const char d = table->delimiter;
    int32_t n = 0;         /* lines stored */
    int32_t expected = -1; /* field count of every line; -1 before the first */
    int limited = 0;       /* OPEN_PREVIEW stopped at its line limit */
    while (rc == TBL_OK) {
        char *from = b.bytes + b.scanned;
        char *lf = (char *)memchr(from, '\n', b.end - b.scanned);
        if (!lf) {
            b.scanned = b.end;
            if (b.at_end) break;
            rc = LoadRefill(&b, table->stream);
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
        rc = LoadLine(table, text, length, fields, consistent, &expected, n);
        if (rc != TBL_OK) break;
        n++;
        if (table->mode == OPEN_PREVIEW && n >= PREVIEW_LINES) {
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
            rc = LoadLine(table, text, length, fields, consistent, &expected,
                          n);
            if (rc == TBL_OK) n++;
        } else if (n == 0) {
            rc = RowAppend(table, 0, "", 0);
            if (rc == TBL_OK) {
                expected = 0;
                n = 1;
            }
        }
    }
    qmem_free(b.bytes);
    if (rc != TBL_OK) return LoadFailed(rc, (uint32_t)n);

    table->columns = expected;
    table->data_lines = n - table->header_lines;

    if (ferror(table->stream)) {
        fclose(table->stream);
        table->stream = NULL;
        table->stream_state = STREAM_CLOSED;
        return LoadFailed(TBL_ERR_FORMAT, (uint32_t)n);
    }
    return TBL_OK;
}

/* ---- Close and release -------------------------------------------------- */

int TableFileClose(TableHandle *table) {
    if (!table || table->stream_state == STREAM_ABSENT)
        return TBL_ERR_BAD_HANDLE;
    if (table->stream_state == STREAM_OPEN && table->stream) fclose(table->stream);
    table->stream = NULL;
    table->stream_state = STREAM_CLOSED;
    return TBL_OK;
}

void TableListsRelease(TableHandle *table) {
    SparseArrayDestroy(&table->column_list);
    SparseArrayDestroy(&table->row_list);
}

/* ---- Save --------------------------------------------------------------- */

/* The save gathers lines into one block of this size and writes it whole,
 * so a table costs a few large writes instead of two per line. */
#define WRITE_BLOCK ((size_t)1 << 20)

/* Written bytes of a synced save that the disk is asked to take at once,
 * while the rest is still being gathered; the final sync then waits for
 * little more than the tail. */
#define EARLY_WRITEBACK ((uint64_t)8 << 20)

/* Bytes gathered for the save's stream; failed is set by the first write
 * that fails, and everything after it is dropped. fd, when not -1, is the
 * stream's descriptor for early writeback: written counts the bytes handed
 * to the stream, started those whose writeback has been started. */
typedef struct SaveBlock {
    char *bytes;
    size_t used;
    FILE *f;
    int failed;
    int fd;
    uint64_t written, started;
} SaveBlock;

/* Starts writeback of what the stream has handed to the system so far.
 * Only a hint: durability still comes from the sync that ends the save. */
static void SaveStartWriteback(SaveBlock *b) {
#if defined(__linux__) && defined(SYNC_FILE_RANGE_WRITE)
    if (b->fd < 0 || b->written - b->started < EARLY_WRITEBACK) return;
    (void)sync_file_range(b->fd, (off64_t)b->started,
                          (off64_t)(b->written - b->started),
                          SYNC_FILE_RANGE_WRITE);
    b->started = b->written;
#else
    (void)b;
#endif
}

static void SaveFlush(SaveBlock *b) {
    if (!b->failed && b->used && fwrite(b->bytes, 1, b->used, b->f) != b->used)
        b->failed = 1;
    b->written += b->used;
    b->used = 0;
    SaveStartWriteback(b);
}

static void SavePut(SaveBlock *b, const char *bytes, size_t n) {
    if (n > WRITE_BLOCK - b->used) {
        SaveFlush(b);
        /* A line longer than the block goes out straight. */
        if (n >= WRITE_BLOCK) {
            if (!b->failed && fwrite(bytes, 1, n, b->f) != n) b->failed = 1;
            b->written += n;
            return;
        }
    }
    memcpy(b->bytes + b->used, bytes, n);
    b->used += n;
}

static void SaveLine(SaveBlock *b, const char *text) {
    size_t n = strlen(text);
    if (n + 2 <= WRITE_BLOCK - b->used) { /* the common case: one copy */
        memcpy(b->bytes + b->used, text, n);
        b->bytes[b->used + n] = '\r';
        b->bytes[b->used + n + 1] = '\n';
        b->used += n + 2;
        return;
    }
    SavePut(b, text, n);
    SavePut(b, "\r\n", 2);
}

/* Writes the table's text through b: every line held, header lines first,
 * each ended by CR LF. Line 0 names the columns and the column list mirrors
 * it (a write there renames its column, a new column extends both), so its
 * stored text is the header line the column list gives; where the split
 * and the load's count disagree on line 0, only the stored text gives the
 * file back. TBL_ERR_SAVE_OPEN when a write fails, TBL_ERR_SAVE_ROW when a
 * line that the counts promise is missing. */
static int WriteLines(const TableHandle *table, SaveBlock *b) {
    if (table->byte_order_mark) SavePut(b, kByteOrderMark, sizeof kByteOrderMark);
    int32_t h = table->header_lines;
    int64_t held = (int64_t)h + table->data_lines;
    for (int32_t i = 0; i < h && i < held; i++) {
        RowRecord *row = GetRowRecord(table, i);
        if (!row) return TBL_ERR_SAVE_ROW;
        SaveLine(b, row->text ? row->text : "");
        if (b->failed) return TBL_ERR_SAVE_OPEN;
    }
    for (int32_t i = 0; i < table->data_lines; i++) {
        RowRecord *row = GetRowRecord(table, h + i);
        if (!row) return TBL_ERR_SAVE_ROW;
        SaveLine(b, row->text ? row->text : "");
        if (b->failed) return TBL_ERR_SAVE_OPEN;
    }
    return TBL_OK;
}

/* Writes the table to f through block (WRITE_BLOCK bytes of the caller's);
 * early asks for writeback to start while the table is written, for a file
 * that will be synced. */
static int WriteTable(const TableHandle *table, FILE *f, char *block,
                      int early) {
#if defined(_WIN32)
    int fd = -1;
    (void)early;
#else
    int fd = early ? fileno(f) : -1;
#endif
    SaveBlock b = {block, 0, f, 0, fd, 0, 0};
    int rc = WriteLines(table, &b);
    /* Lines gathered before a missing one still go out, as they did when
     * each line was written on its own. */
    SaveFlush(&b);
    if (rc == TBL_OK && b.failed) rc = TBL_ERR_SAVE_OPEN;
    return rc;
}

/* Ends a save's stream: when everything was written, flushes it and (for a
 * regular file) syncs it to the disk; closes it always. Any failure turns
 * an OK result into TBL_ERR_SAVE_OPEN. */
static int FinishStream(FILE *f, int rc, int sync) {
    if (rc == TBL_OK && fflush(f) != 0) rc = TBL_ERR_SAVE_OPEN;
#if defined(_WIN32)
    if (rc == TBL_OK && sync && _commit(_fileno(f)) != 0) rc = TBL_ERR_SAVE_OPEN;
#else
    if (rc == TBL_OK && sync && fsync(fileno(f)) != 0) rc = TBL_ERR_SAVE_OPEN;
#endif
    if (fclose(f) != 0 && rc == TBL_OK) rc = TBL_ERR_SAVE_OPEN;
    return rc;
}

/* Writes straight into a target that is not a regular file. */
static int SaveInPlace(const TableHandle *table, const char *target,
                       char *block) {
    FILE *f = fopen(target, "wb");
    if (!f) return TBL_ERR_SAVE_OPEN;
    return FinishStream(f, WriteTable(table, f, block, 0), 0);
}

/* Length of the directory part of path, separator included (0: none). */
static size_t DirectoryLength(const char *path) {
    size_t n = strlen(path);
    while (n > 0 && path[n - 1] != '/'
#if defined(_WIN32)
           && path[n - 1] != '\\' && path[n - 1] != ':'
#endif
    )
        n--;
    return n;
}

#if defined(_WIN32)
static long ProcessId(void) { return (long)_getpid(); }
#else
static long ProcessId(void) { return (long)getpid(); }
#endif

/* Creates a new file beside target and opens *out on it; its name goes to
 * *temp. mode (POSIX permission bits) applies unless it is negative. */
static int OpenTemp(const char *target, char **temp, int mode, FILE **out) {
    size_t dir = DirectoryLength(target);
    for (int k = 0; k < MAX_TEMP_TRIES; k++) {
        char name[64];
        snprintf(name, sizeof name, ".tavl-%ld-%d.tmp", ProcessId(), k);
#if defined(_WIN32)
        /* The file calls refuse paths of MAX_PATH bytes or more; beside a
         * target near that limit a short name still fits (the exclusive
         * create keeps two savers apart). */
        if (dir + strlen(name) >= MAX_PATH) snprintf(name, sizeof name, "~%d", k);
#endif
        if (TextCopy(temp, target, dir) != TBL_OK ||
            TextBufferAppend(temp, name) != TBL_OK)
            return TBL_ERR_NO_MEMORY;
#if defined(_WIN32)
        (void)mode;
        int fd = _open(*temp, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY,
                       _S_IREAD | _S_IWRITE);
#else
        int fd = open(*temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
#endif
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return TBL_ERR_SAVE_OPEN;
        }
#if defined(_WIN32)
        *out = _fdopen(fd, "wb");
        if (!*out) _close(fd);
#else
        /* Best effort: a file system without permission bits still saves. */
        if (mode >= 0) (void)fchmod(fd, (mode_t)mode);
        *out = fdopen(fd, "wb");
        if (!*out) close(fd);
#endif
        if (!*out) {
            remove(*temp);
            return TBL_ERR_SAVE_OPEN;
        }
        return TBL_OK;
    }
    return TBL_ERR_SAVE_OPEN;
}

/* Puts the finished temporary file in the target's place. The temporary
 * name (whose directory is the target's) is spent afterwards. */
static int Replace(char *temp, const char *target) {
#if defined(_WIN32)
    return MoveFileExA(temp, target,
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? TBL_OK
               : TBL_ERR_SAVE_OPEN;
#else
    if (rename(temp, target) != 0) return TBL_ERR_SAVE_OPEN;
    /* Make the rename itself durable; the new text already is. */
    size_t dir = DirectoryLength(temp);
    temp[dir] = '\0';
    int fd = open(dir ? temp : ".", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        (void)fsync(fd);
        close(fd);
    }
    return TBL_OK;
#endif
}

/* Writes the table to a temporary file and renames it over target. */
static int SaveReplacing(const TableHandle *table, const char *target,
                         int mode, char *block) {
    char *temp = NULL;
    FILE *f = NULL;
    int rc = OpenTemp(target, &temp, mode, &f);
    if (rc == TBL_OK) {
        rc = FinishStream(f, WriteTable(table, f, block, 1), 1);
        if (rc == TBL_OK) rc = Replace(temp, target); /* spends temp only on success */
        if (rc != TBL_OK) remove(temp);
    }
    TextBufferFree(&temp);
    return rc;
}

#if defined(_WIN32)
/* The file a save must write: the one path leads to, symbolic links
 * followed, as the system names it once it is open. Its "\\?\" prefix is
 * dropped before a drive letter or a share, so the name keeps to the file
 * calls' usual rules. A path that leads to no file is taken as it stands. */
static int ResolveTarget(const char *path, char **target) {
    char final[MAX_PATH + 8];
    DWORD n = 0;
    HANDLE file = CreateFileA(path, 0,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        n = GetFinalPathNameByHandleA(file, final, sizeof final,
                                      FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        CloseHandle(file);
    }
    if (n == 0 || n >= sizeof final) return TextCopy(target, path, strlen(path));
    char *name = final;
    if (strncmp(final, "\\\\?\\UNC\\", 8) == 0) {
        name = final + 6; /* \\?\UNC\server\share -> \\server\share */
        name[0] = '\\';
    } else if (strncmp(final, "\\\\?\\", 4) == 0 && final[5] == ':') {
        name = final + 4;
    }
    return TextCopy(target, name, strlen(name));
}

static int SaveTo(const TableHandle *table, const char *path, char *block) {
    char *target = NULL;
    int rc = ResolveTarget(path, &target);
    if (rc == TBL_OK) {
        struct _stat64 st;
        int exists = _stat64(target, &st) == 0;
        DWORD attributes = exists ? GetFileAttributesA(target) : 0;
        if (exists && !(st.st_mode & _S_IFREG))
            rc = SaveInPlace(table, target, block);
        /* A read-only file is not replaced behind its back: the rename
         * would go through, though the caller may not write the file. */
        else if (exists && attributes != INVALID_FILE_ATTRIBUTES &&
                 (attributes & FILE_ATTRIBUTE_READONLY))
            rc = TBL_ERR_SAVE_OPEN;
        else
            rc = SaveReplacing(table, target, -1, block);
    }
    TextBufferFree(&target);
    return rc;
}
#else
/* Follows symbolic links from path to the file a save must write: its name
 * goes to *target, its status to *st, and *exists says whether it exists. */
static int ResolveTarget(const char *path, char **target, struct stat *st,
                         int *exists) {
    if (TextCopy(target, path, strlen(path)) != TBL_OK) return TBL_ERR_NO_MEMORY;
    for (int hops = 0;; hops++) {
        if (lstat(*target, st) != 0) {
            if (errno != ENOENT) return TBL_ERR_SAVE_OPEN;
            *exists = 0;
            return TBL_OK;
        }
        if (!S_ISLNK(st->st_mode)) {
            *exists = 1;
            return TBL_OK;
        }
        if (hops == MAX_LINK_HOPS) return TBL_ERR_SAVE_OPEN;
        char link[4096];
        ssize_t n = readlink(*target, link, sizeof link);
        if (n <= 0 || (size_t)n >= sizeof link) return TBL_ERR_SAVE_OPEN;
        link[n] = '\0';
        /* A relative link is relative to the directory that holds it. */
        size_t dir = link[0] == '/' ? 0 : DirectoryLength(*target);
        char *next = NULL;
        if (TextCopy(&next, *target, dir) != TBL_OK ||
            TextBufferAppend(&next, link) != TBL_OK) {
            TextBufferFree(&next);
            return TBL_ERR_NO_MEMORY;
        }
        TextBufferFree(target);
        *target = next;
    }
}

static int SaveTo(const TableHandle *table, const char *path, char *block) {
    char *target = NULL;
    struct stat st;
    int exists = 0;
    int rc = ResolveTarget(path, &target, &st, &exists);
    if (rc == TBL_OK) {
        if (exists && !S_ISREG(st.st_mode))
            rc = SaveInPlace(table, target, block);
        /* Replacing needs only the directory's permission; a file the
         * caller could not write itself (read-only, or on a read-only file
         * system) is not replaced behind its back. */
        else if (exists && faccessat(AT_FDCWD, target, W_OK, AT_EACCESS) != 0)
            rc = TBL_ERR_SAVE_OPEN;
        else
            rc = SaveReplacing(table, target,
                               exists ? (int)(st.st_mode & 07777) : -1, block);
    }
    TextBufferFree(&target);
    return rc;
}
#endif

/* 1 when the save would write an empty line into a file of more than one
 * line. The load skips empty lines, so that row would be gone on the next
 * load and every row after it would move up. Only a table of at most one
 * column can hold one: a line of more columns holds their delimiters. */
static int WouldLoseEmptyLine(const TableHandle *table) {
    int32_t held = SparseArrayCount(table->row_list);
    if (table->columns > 1 || held <= 1) return 0;
    for (int32_t p = 0; p < held; p++) {
        RowRecord *row = GetRowRecord(table, p);
        if (!row || !row->text || row->text[0] == '\0') return 1;
    }
    return 0;
}

int TableFileSave(TableHandle *table, const char *path) {
    if (!table || table->stream_state == STREAM_ABSENT) return TBL_ERR_BAD_HANDLE;
    if (!path || !*path) return TBL_ERR_SAVE_OPEN;
    if (WouldLoseEmptyLine(table)) return TBL_ERR_SAVE_ROW;
    /* The load's stream goes first, so that the target can be replaced even
     * where an open file cannot be. The handle goes on counting as having a
     * stream, so later saves and the close still work. */
    TableFileClose(table);
    /* The write block comes first, so that a save without memory for it
     * has touched no file. */
    char *block = (char *)qmem_malloc(WRITE_BLOCK);
    if (!block) return TBL_ERR_NO_MEMORY;
    int rc = SaveTo(table, path, block);
    qmem_free(block);
    return rc;
}
