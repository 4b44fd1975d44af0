/*
 * update.cpp - the loaded back-end of OPEN_EDIT and OPEN_PREVIEW: the load
 * of a delimited file into one RowRecord per line, row fetch and store by
 * line number, the save, and the release of a loaded table.
 *
 * Guarantees. A load either returns TBL_OK with every line (at most 100 in
 * OPEN_PREVIEW) holding the same field count, or fails with a code and the
 * thread's last-error value 0x20000000 (or-ed with the lines stored so far
 * once reading began); nothing it built is lost, CloseTable releases it. A
 * save never leaves a half-written file behind: the table goes to a new
 * file beside the target, which is flushed and synced and only then renamed
 * over the target, so a failed save leaves the old file byte for byte as it
 * was. Every write and the final close are checked. A target that is a
 * symbolic link is followed (the link survives), and one that is not a
 * regular file (a device, a FIFO) is written in place, never replaced. A
 * stream is never closed twice: the handle records its state.
 */
#include "update.h"

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

#include "dyn_ary.h"
#include "tavlbuf.h"
#include "tavlhost.h"
#include "tavlin32.h"

#define ROW_LIST_CAPACITY 1000
#define PREVIEW_LINES 100
#define QUOTE '"'

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

/* Appends a RowRecord holding a copy of the length bytes of text as the
 * row list's next line. The text block is made at its exact size in one
 * allocation: a load makes one per line. On failure nothing is added and
 * nothing leaks. */
static int RowAppend(TableHandle *table, int32_t line, const char *text,
                     size_t length) {
    RowRecord *row = (RowRecord *)qmem_malloc(sizeof *row);
    if (!row) return TBL_ERR_NO_MEMORY;
    row->line = line;
    row->text = (char *)qmem_malloc(length + 1);
    if (row->text) memcpy(row->text, text, length + 1);
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

/* ---- Load --------------------------------------------------------------- */

/* Counts as LoadedFieldCount does and measures the line on the way. */
static int32_t CountFields(const char *text, char delimiter, size_t *length,
                           int *quoted) {
    int32_t count = 1;
    int outside = 1;
    const char *p = text;
    for (; *p; p++) {
        if (*p == QUOTE)
            outside = !outside;
        else if (*p == delimiter && outside)
            count++;
    }
    if (length) *length = (size_t)(p - text);
    if (quoted) *quoted = !outside;
    return count;
}

int32_t LoadedFieldCount(const char *text, char delimiter, int *quoted) {
    return CountFields(text ? text : "", delimiter, NULL, quoted);
}

/* Fails the load: the last-error value tells a host why. */
static int LoadFailed(int code, uint32_t stored) {
    SetLastError(TAVL_LOAD_ERROR | stored);
    return code;
}

/* Checks one non-empty line against the expected field count (the first
 * line sets it) and stores it as line n. */
static int LoadLine(TableHandle *table, const char *text, int32_t *expected,
                    int32_t n) {
    size_t length;
    int32_t fields = CountFields(text, table->delimiter, &length, NULL);
    if (*expected < 0)
        *expected = fields;
    else if (fields != *expected)
        return TBL_ERR_FORMAT;
    return RowAppend(table, n, text, length);
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

    char *line = NULL;
    if (TextBufferNew(&line) != TBL_OK)
        return LoadFailed(TBL_ERR_NO_MEMORY, 0);

    int32_t n = 0;         /* lines stored */
    int32_t expected = -1; /* field count of every line; -1 before the first */
    int limited = 0;       /* OPEN_PREVIEW stopped at its line limit */
    int rc = TBL_OK;
    int read;
    while ((read = ReadLine(&table->stream, &line)) == 0) {
        if (line[0] == '\0') continue; /* empty lines are not lines */
        rc = LoadLine(table, line, &expected, n);
        if (rc != TBL_OK) break;
        n++;
        if (table->mode == OPEN_PREVIEW && n >= PREVIEW_LINES) {
            limited = 1;
            break;
        }
    }

    /* A line buffer that could not grow would cut the table short. */
    if (rc == TBL_OK && read == TBL_ERR_NO_MEMORY) rc = TBL_ERR_NO_MEMORY;

    /* What follows the last line feed: a last line without one is checked
     * and stored like any other; an empty rest (also a lone CR) is skipped,
     * unless no line was stored at all, for the table then holds the one
     * empty line of an empty file. */
    if (rc == TBL_OK && !limited) {
        if (line[0] != '\0') {
            rc = LoadLine(table, line, &expected, n);
            if (rc == TBL_OK) n++;
        } else if (n == 0) {
            rc = RowAppend(table, 0, "", 0);
            if (rc == TBL_OK) {
                expected = 0;
                n = 1;
            }
        }
    }
    TextBufferFree(&line);
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

static int Put(FILE *f, const char *bytes, size_t n) {
    return n == 0 || fwrite(bytes, 1, n, f) == n;
}

static int PutLine(FILE *f, const char *text) {
    return Put(f, text, strlen(text)) && Put(f, "\r\n", 2);
}

/* Writes the table's text to f: every line held, header lines first, each
 * ended by CR LF. Line 0 names the columns and the column list mirrors it
 * (a write there renames its column, a new column extends both), so its
 * stored text is the header line the column list gives; where the split
 * and the load's count disagree on line 0, only the stored text gives the
 * file back. TBL_ERR_SAVE_OPEN when a write fails, TBL_ERR_SAVE_ROW when a
 * line that the counts promise is missing. */
static int WriteTable(const TableHandle *table, FILE *f) {
    int32_t h = table->header_lines;
    int64_t held = (int64_t)h + table->data_lines;
    for (int32_t i = 0; i < h && i < held; i++) {
        RowRecord *row = GetRowRecord(table, i);
        if (!row) return TBL_ERR_SAVE_ROW;
        if (!PutLine(f, row->text ? row->text : "")) return TBL_ERR_SAVE_OPEN;
    }
    for (int32_t i = 0; i < table->data_lines; i++) {
        RowRecord *row = GetRowRecord(table, h + i);
        if (!row) return TBL_ERR_SAVE_ROW;
        if (!PutLine(f, row->text ? row->text : "")) return TBL_ERR_SAVE_OPEN;
    }
    return TBL_OK;
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
static int SaveInPlace(const TableHandle *table, const char *target) {
    FILE *f = fopen(target, "wb");
    if (!f) return TBL_ERR_SAVE_OPEN;
    return FinishStream(f, WriteTable(table, f), 0);
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
                         int mode) {
    char *temp = NULL;
    FILE *f = NULL;
    int rc = OpenTemp(target, &temp, mode, &f);
    if (rc == TBL_OK) {
        rc = FinishStream(f, WriteTable(table, f), 1);
        if (rc == TBL_OK) rc = Replace(temp, target); /* spends temp only on success */
        if (rc != TBL_OK) remove(temp);
    }
    TextBufferFree(&temp);
    return rc;
}

#if defined(_WIN32)
static int SaveTo(const TableHandle *table, const char *path) {
    struct _stat64 st;
    if (_stat64(path, &st) == 0 && !(st.st_mode & _S_IFREG))
        return SaveInPlace(table, path);
    return SaveReplacing(table, path, -1);
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

static int SaveTo(const TableHandle *table, const char *path) {
    char *target = NULL;
    struct stat st;
    int exists = 0;
    int rc = ResolveTarget(path, &target, &st, &exists);
    if (rc == TBL_OK) {
        if (exists && !S_ISREG(st.st_mode))
            rc = SaveInPlace(table, target);
        else
            rc = SaveReplacing(table, target,
                               exists ? (int)(st.st_mode & 07777) : -1);
    }
    TextBufferFree(&target);
    return rc;
}
#endif

int TableFileSave(TableHandle *table, const char *path) {
    if (!table || table->stream_state == STREAM_ABSENT) return TBL_ERR_BAD_HANDLE;
    if (!path || !*path) return TBL_ERR_SAVE_OPEN;
    /* The load's stream goes first, so that the target can be replaced even
     * where an open file cannot be. The handle goes on counting as having a
     * stream, so later saves and the close still work. */
    TableFileClose(table);
    return SaveTo(table, path);
}
