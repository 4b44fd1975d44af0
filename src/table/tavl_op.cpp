/*
 * tavl_op.cpp - table internals: the handle's life (new, open, save,
 * close), the dispatch of loads, line fetches and releases to the back-end
 * of the handle's open mode, the column list, and the cell and row work
 * behind the exported operations.
 *
 * Guarantees. A handle is used only in the states that allow it: fresh from
 * NewTable it is an empty read-only table; after a failed open or a close
 * only the opens, CloseTable and FreeTable touch it, so nothing reaches a
 * released list. Every operation releases its work buffers on every path.
 * A change either happens whole or not at all: a write, a new row or a new
 * column that fails (or is refused) leaves the table as it was. A write
 * never stores a line that would not split back into the same fields, and
 * the column list always holds the names line 0 of the table gives.
 *
 * A cell read works on the line where it is stored (a loaded row's text, or
 * the mapped data of an indexed table) and decodes straight into the
 * caller's buffer, so it allocates nothing; only an indexed line that holds
 * a NUL byte is read from a fetched copy, since fetching drops those bytes.
 */
#include "table/tavl_op.h"

#include <stdio.h>
#include <string.h>

#include "base/dyn_ary.h"
#include "store/runtime.h"
#include "codec/tavl_codec.h"
#include "base/tavlbuf.h"
#include "base/tavlhost.h"
#include "tavlin32.h"
#include "store/update.h"

#define COLUMN_LIST_CAPACITY 50
#define QUOTE '"'

static int IsLoaded(const TableHandle *table) {
    return table->mode == OPEN_EDIT || table->mode == OPEN_PREVIEW;
}

/* TBL_OK when the handle holds a table that may be used: an open one, or
 * one fresh from NewTable (an empty OPEN_INDEXED table). */
static int Usable(const TableHandle *table) {
    if (!table) return TBL_ERR_BAD_HANDLE;
    return (table->state == HANDLE_OPEN || table->state == HANDLE_NEW)
               ? TBL_OK
               : TBL_ERR_BAD_HANDLE;
}

/* ---- Dispatch to the back-end of the open mode -------------------------- */

int LoadBackEnd(TableHandle *table, const char *path, const char *index_dir) {
    if (table->mode == OPEN_INDEXED) return IndexedOpen(table, path, index_dir);
    return TableFileLoad(table, path);
}

int FetchLine(TableHandle *table, int32_t number, char **output, int32_t kind) {
    if (IsLoaded(table)) return FetchLoadedRow(table, number, output, kind);
    return IndexedFetchLine(table, number, output, kind);
}

void ReleaseBackEnd(TableHandle *table) {
    if (IsLoaded(table)) {
        TableListsRelease(table);
        return;
    }
    IndexedRelease(table);
    if (table->column_list) SparseArrayDestroy(&table->column_list);
}

/* ---- Column list -------------------------------------------------------- */

ColumnRecord *ColumnRecordNew(const char *name, int32_t index) {
    ColumnRecord *column = (ColumnRecord *)qmem_malloc(sizeof *column);
    if (!column) return NULL;
    column->index = index;
    column->name = NULL;
    if (TextBufferNew(&column->name) != TBL_OK ||
        TextBufferSet(&column->name, name ? name : "") != TBL_OK) {
        ColumnRecordFree(column);
        return NULL;
    }
    return column;
}

int ColumnRecordFree(void *record) {
    ColumnRecord *column = (ColumnRecord *)record;
    if (!column) return 0;
    TextBufferFree(&column->name);
    qmem_free(column);
    return 0;
}

int BuildColumnList(TableHandle *table) {
    if (table->columns <= 0) return TBL_OK;
    char *line = NULL;
    if (TextBufferNew(&line) != TBL_OK) return TBL_ERR_NO_MEMORY;
    int rc = FetchLine(table, 0, &line, LINE_HEADER);
    if (rc != TBL_OK) {
        TextBufferFree(&line);
        return rc == TBL_ERR_NO_MEMORY ? rc : TBL_ERR_CREATE;
    }
    /* One walk over the split line. Where the load counted more fields than
     * the split gives pieces (their quote rules differ), the columns past
     * the last piece are named by the empty text. */
    int32_t pieces = SplitLine(line, table->delimiter);
    const char *piece = line;
    for (int32_t i = 0; i < table->columns; i++) {
        ColumnRecord *column = ColumnRecordNew(i < pieces ? piece : "", i);
        if (!column) {
            rc = TBL_ERR_NO_MEMORY;
            break;
        }
        if (SparseArrayAdd(table->column_list, column) < 0) {
            ColumnRecordFree(column);
            rc = TBL_ERR_NO_MEMORY;
            break;
        }
        if (i < pieces) piece += strlen(piece) + 1;
    }
    TextBufferFree(&line);
    return rc;
}

/* The name of a column (the record's own text), or null. */
static const char *ColumnName(const TableHandle *table, int32_t column) {
    if (column < 0 || column >= table->columns) return NULL;
    ColumnRecord *record = GetColumnRecord(table, column);
    return record && record->name ? record->name : NULL;
}

/* ---- Handle and file ---------------------------------------------------- */

int TableNew(TableHandle **out) {
    if (!out) return TBL_ERR_BAD_HANDLE;
    TableHandle *table = (TableHandle *)qmem_malloc(sizeof *table);
    *out = table;
    if (!table) return TBL_ERR_NO_MEMORY;
    memset(table, 0, sizeof *table); /* HANDLE_NEW, STREAM_ABSENT */
    return TBL_OK;
}

int TableFree(TableHandle *table) {
    if (table) qmem_free(table);
    return TBL_OK;
}

int TableCreateFile(const char *path, char delimiter) {
    if (delimiter == '\\') return TBL_ERR_DELIMITER;
    if (!path) return TBL_ERR_CREATE;
    FILE *f = fopen(path, "w+b");
    if (!f) return TBL_ERR_CREATE;
    return fclose(f) == 0 ? TBL_OK : TBL_ERR_CREATE;
}

int TableFileExists(const char *path) {
    if (!path) return TBL_ERR_NO_FILE;
    return os_is_file_exist(path) == 1 ? TBL_OK : TBL_ERR_NO_FILE;
}

/* Delimiters no line survives: NUL ends the text, the backslash starts
 * escapes, LF and CR end lines, and the quote is what escapes D itself. */
static int DelimiterRefused(char d) {
    return d == '\0' || d == '\\' || d == '\n' || d == '\r' || d == QUOTE;
}

int TableClose(TableHandle *table) {
    if (!table) return TBL_ERR_BAD_HANDLE;
    if (table->state == HANDLE_CLOSED) return TBL_OK;
    if (table->state != HANDLE_NEW) {
        if (IsLoaded(table)) {
            /* The load never opened the file: nothing was built. */
            if (table->stream_state == STREAM_ABSENT) return TBL_ERR_CLOSE;
            TableFileClose(table);
        }
        ReleaseBackEnd(table);
    }
    table->state = HANDLE_CLOSED;
    return TBL_OK;
}

int TableOpen(const char *path, TableHandle *table, int32_t mode,
              const char *delimiter, const int32_t *header_lines,
              const char *index_dir, int32_t unique) {
    if (delimiter && DelimiterRefused(*delimiter)) return TBL_ERR_DELIMITER;
    if (!path || os_is_file_exist(path) != 1) return TBL_ERR_NO_FILE;
    if (!table) return TBL_ERR_BAD_HANDLE;
    if (mode != OPEN_INDEXED && mode != OPEN_EDIT && mode != OPEN_PREVIEW)
        return TBL_ERR_MODE;
    if (header_lines && *header_lines < 0) return TBL_ERR_RANGE;

    /* A handle that still holds a table gives it up first; filling it over
     * would leak its lists and leave its file open. */
    if (table->state == HANDLE_OPEN || table->state == HANDLE_FAILED)
        TableClose(table);

    memset(table, 0, sizeof *table);
    table->mode = mode;
    table->delimiter = delimiter ? *delimiter : ',';
    table->header_lines = header_lines ? *header_lines : 1;
    table->unique = unique;
    table->state = HANDLE_FAILED; /* until the open has finished */

    int rc = LoadBackEnd(table, path, index_dir);
    if (rc != TBL_OK) return rc;
    table->column_list = SparseArrayCreate(COLUMN_LIST_CAPACITY, ColumnRecordFree);
    if (!table->column_list) return TBL_ERR_BAD_HANDLE;
    if (BuildColumnList(table) != TBL_OK) return TBL_ERR_BAD_HANDLE;
    table->state = HANDLE_OPEN;
    return TBL_OK;
}

int TableSave(TableHandle *table, const char *path) {
    if (!table || table->state != HANDLE_OPEN ||
        table->stream_state == STREAM_ABSENT)
        return TBL_ERR_BAD_HANDLE;
    if (table->mode != OPEN_EDIT) return TBL_ERR_MODE;
    return TableFileSave(table, path);
}

/* ---- Columns ------------------------------------------------------------ */

int ColumnCountGet(TableHandle *table, int32_t *count) {
    int rc = Usable(table);
    if (rc != TBL_OK) return rc;
    if (!count) return TBL_ERR_RANGE;
    *count = table->columns;
    return TBL_OK;
}

int ColumnIndexGet(TableHandle *table, const char *name, int32_t *index) {
    int rc = Usable(table);
    if (rc != TBL_OK) return rc;
    if (!index) return TBL_ERR_RANGE;
    if (!name) return TBL_ERR_NO_COLUMN;
    for (int32_t i = 0; i < table->columns; i++) {
        const char *have = ColumnName(table, i);
        if (have && strcmp(have, name) == 0) {
            *index = i;
            return TBL_OK;
        }
    }
    return TBL_ERR_NO_COLUMN;
}

/* Copies text into the caller's value buffer of size bytes, padded with
 * NULs to size when pad is set. When the text and its NUL do not fit, what
 * fits goes in, terminated, and the result is TBL_ERR_TRUNCATED. */
static int PutAttribute(const char *text, char *value, int32_t *value_length,
                        uint32_t size, int pad) {
    size_t n = strlen(text);
    if (n >= size) {
        memcpy(value, text, size - 1);
        value[size - 1] = '\0';
        *value_length = (int32_t)(size - 1);
        return TBL_ERR_TRUNCATED;
    }
    memcpy(value, text, n);
    memset(value + n, 0, pad ? size - n : 1);
    *value_length = (int32_t)n;
    return TBL_OK;
}

int ColumnAttrByIndex(TableHandle *table, int32_t column,
                      const char *attribute, char *value,
                      int32_t *value_length, uint32_t size) {
    int rc = Usable(table);
    if (rc != TBL_OK) return rc;
    const char *name = ColumnName(table, column);
    if (!name) return TBL_ERR_RANGE;
    enum { ATTR_NAME, ATTR_INDEX, ATTR_HEAD_SIZE } which;
    if (attribute && strcmp(attribute, "name") == 0)
        which = ATTR_NAME;
    else if (attribute && strcmp(attribute, "index") == 0)
        which = ATTR_INDEX;
    else if (attribute && strcmp(attribute, "head_size") == 0)
        which = ATTR_HEAD_SIZE;
    else
        return TBL_ERR_ATTR;
    if (!value || !value_length || size < 1) return TBL_ERR_RANGE;

    if (which == ATTR_NAME) return PutAttribute(name, value, value_length, size, 1);
    char number[24];
    if (which == ATTR_INDEX)
        snprintf(number, sizeof number, "%d", (int)column);
    else
        snprintf(number, sizeof number, "%lu", (unsigned long)strlen(name));
    return PutAttribute(number, value, value_length, size, 0);
}

int ColumnAttrByName(TableHandle *table, const char *name,
                     const char *attribute, char *value,
                     int32_t *value_length, uint32_t size) {
    int32_t column;
    int rc = ColumnIndexGet(table, name, &column);
    if (rc == TBL_ERR_BAD_HANDLE) return rc;
    if (rc != TBL_OK) return TBL_ERR_RANGE;
    return ColumnAttrByIndex(table, column, attribute, value, value_length, size);
}

int ColumnHeadSizeByIndex(TableHandle *table, int32_t column) {
    int rc = Usable(table);
    if (rc != TBL_OK) return rc;
    const char *name = ColumnName(table, column);
    if (!name) return TBL_ERR_RANGE;
    return (int)strlen(name) + 1;
}

int ColumnHeadSizeByName(TableHandle *table, const char *name) {
    int32_t column;
    int rc = ColumnIndexGet(table, name, &column);
    if (rc == TBL_ERR_BAD_HANDLE) return rc;
    if (rc != TBL_OK) return TBL_ERR_RANGE;
    return ColumnHeadSizeByIndex(table, column);
}

int ColumnAppend(TableHandle *table, int32_t position, const char *name) {
    int rc = Usable(table);
    if (rc != TBL_OK) return rc;
    if (table->mode == OPEN_INDEXED) return TBL_ERR_MODE;
    if (position == -1) position = table->columns;
    if (position != table->columns) return TBL_ERR_RANGE;
    /* The name goes into line 0 as it stands, so it must stay one field of
     * one line there. */
    char d = table->delimiter;
    if (!name || strchr(name, d) || strchr(name, '\r') || strchr(name, '\n'))
        return TBL_ERR_RANGE;
    RowRecord *first = GetRowRecord(table, 0);
    if (!first || !first->text) return TBL_ERR_FAIL;
    size_t first_length = strlen(first->text);
    /* After a last name ending with the quote, a new one beginning with it
     * would make their separator the middle of an escaped delimiter. */
    if (position > 0 && name[0] == QUOTE && first_length > 0 &&
        first->text[first_length - 1] == QUOTE)
        return TBL_ERR_RANGE;

    /* The new separator must count when the file is loaded again: a line
     * that ends inside quotes (an odd number of them) would hide it. */
    int32_t rows = table->row_list ? table->row_list->used : 0;
    for (int32_t p = 0; p < rows && position > 0; p++) {
        RowRecord *row = GetRowRecord(table, p);
        int quoted = 0;
        if (row) LoadedFieldCount(row->text, d, &quoted);
        if (quoted) return TBL_ERR_RANGE;
    }

    ColumnRecord *column = ColumnRecordNew(name, position);
    if (!column) return TBL_ERR_NO_MEMORY;

    /* Every line gets one more field: an empty cell after a delimiter (none
     * on a table without columns, whose lines are all empty), and line 0,
     * which names the columns, gets the name as well. */
    size_t name_length = strlen(name);
    int32_t p;
    for (p = 0; p < rows; p++) {
        RowRecord *row = GetRowRecord(table, p);
        if (!row) continue;
        size_t before = row->text ? strlen(row->text) : 0;
        if (position > 0) rc = TextBufferAppendChar(&row->text, d);
        if (rc == TBL_OK && p == 0) rc = TextBufferAppend(&row->text, name);
        if (rc != TBL_OK) {
            if (row->text) row->text[before] = '\0';
            break;
        }
    }
    if (rc == TBL_OK && SparseArrayAdd(table->column_list, column) < 0)
        rc = TBL_ERR_NO_MEMORY;
    if (rc != TBL_OK) {
        /* Undo: lines 0 to p - 1 were extended; cut them back. */
        for (int32_t q = 0; q < p; q++) {
            RowRecord *row = GetRowRecord(table, q);
            if (!row || !row->text) continue;
            size_t added = (position > 0 ? 1 : 0) + (q == 0 ? name_length : 0);
            row->text[strlen(row->text) - added] = '\0';
        }
        ColumnRecordFree(column);
        return rc;
    }
    table->columns++;
    return TBL_OK;
}

/* ---- Cells and rows ----------------------------------------------------- */

static int CellInRange(const TableHandle *table, int32_t column, int32_t line,
                       int32_t kind) {
    if (column < 0 || line < 0 || column >= table->columns) return 0;
    return line < (kind == LINE_DATA ? table->data_lines : table->header_lines);
}

/* Start of piece k of a line split into the given number of pieces, or
 * null when the line has no such piece. */
static char *Piece(char *line, int32_t pieces, int32_t k) {
    if (k < 0 || k >= pieces) return NULL;
    char *p = line;
    for (int32_t i = 0; i < k; i++) p += strlen(p) + 1;
    return p;
}

/* A failed fetch: lack of memory is reported as such, anything else means
 * the line is not there. */
static int FetchFailed(int rc) {
    return rc == TBL_ERR_NO_MEMORY ? rc : TBL_ERR_RANGE;
}

/* Asks for the second cache line of a line of text while the first is
 * being read, so that a line not in the cache costs one wait instead of
 * two. A prefetch never faults, wherever the text ends. */
static inline void PrefetchLine(const char *text) {
#if defined(__GNUC__)
    __builtin_prefetch((const void *)((uintptr_t)text + 64));
#else
    (void)text;
#endif
}

/* The stored text of a line, read where it lies: a loaded row's own text,
 * or the line in the mapped data of an indexed table. A mapped line that
 * holds a NUL byte is fetched instead, since the fetched text drops those
 * bytes; *copy then owns that text and the caller frees it. */
static int LineInPlace(TableHandle *table, int32_t line, int32_t kind,
                       const char **text, size_t *length, char **copy) {
    if (IsLoaded(table)) {
        int64_t position =
            (int64_t)line + (kind == LINE_DATA ? table->header_lines : 0);
        RowRecord *row = position < 0 || position > INT32_MAX
                             ? NULL
                             : GetRowRecord(table, (int32_t)position);
        if (!row) return TBL_ERR_RANGE;
        *text = row->text ? row->text : "";
        PrefetchLine(*text);
        *length = strlen(*text);
        return TBL_OK;
    }
    int nul = 0;
    int rc = IndexedLineSpan(table, line, kind, text, length, &nul);
    if (rc != TBL_OK) return FetchFailed(rc);
    if (!nul) return TBL_OK;
    if (TextBufferNew(copy) != TBL_OK) return TBL_ERR_NO_MEMORY;
    rc = FetchLine(table, line, copy, kind);
    if (rc != TBL_OK) return FetchFailed(rc);
    *text = *copy;
    *length = strlen(*copy);
    return TBL_OK;
}

/* Decodes one cell: its first capacity decoded bytes go to out (which may
 * be null when capacity is 0) and its size (decoded bytes + 1) to *size.
 * Nothing is terminated, and out is untouched on every failure. */
static int DecodeCell(TableHandle *table, int32_t column, int32_t line,
                      int32_t kind, char *out, size_t capacity,
                      int32_t *size) {
    if (!CellInRange(table, column, line, kind)) return TBL_ERR_RANGE;
    const char *text = NULL;
    size_t length = 0;
    char *copy = NULL;
    int rc = LineInPlace(table, line, kind, &text, &length, &copy);
    if (rc == TBL_OK) {
        size_t start = 0, n = 0;
        if (!FindField(text, length, table->delimiter, column, &start, &n)) {
            rc = TBL_ERR_RANGE;
        } else {
            const char *field = text + start;
            /* The size is a signed 32-bit count: a field that might decode
             * past it is measured before anything is written. */
            size_t c = 0;
            if (n >= (size_t)INT32_MAX)
                c = DecodeFieldTo(field, n, table->delimiter, NULL, 0);
            if (c >= (size_t)INT32_MAX) {
                rc = TBL_ERR_NO_MEMORY;
            } else {
                c = DecodeFieldTo(field, n, table->delimiter, out, capacity);
                *size = (int32_t)(c + 1);
            }
        }
    }
    if (copy) TextBufferFree(&copy);
    return rc;
}

int CellRead(TableHandle *table, int32_t column, int32_t line, char *buffer,
             int32_t *out_length, int32_t buffer_length, int32_t kind) {
    int rc = Usable(table);
    if (rc != TBL_OK) return rc;
    if (!buffer || !out_length || buffer_length < 1) return TBL_ERR_RANGE;
    /* Decoded straight into the caller's buffer, all but its last byte:
     * a value that does not fit leaves its first buffer_length - 1 bytes
     * there and still reports its full size. */
    int32_t size = 0;
    rc = DecodeCell(table, column, line, kind, buffer,
                    (size_t)buffer_length - 1, &size);
    if (rc != TBL_OK) return rc;
    *out_length = size;
    if (size <= buffer_length) {
        buffer[size - 1] = '\0';
        return TBL_OK;
    }
    buffer[buffer_length - 1] = '\0';
    return TBL_ERR_TRUNCATED;
}

int CellReadByName(TableHandle *table, const char *name, int32_t line,
                   char *buffer, int32_t *out_length, int32_t buffer_length) {
    int32_t column;
    int rc = ColumnIndexGet(table, name, &column);
    if (rc == TBL_ERR_BAD_HANDLE) return rc;
    if (rc != TBL_OK) return TBL_ERR_RANGE;
    return CellRead(table, column, line, buffer, out_length, buffer_length,
                    LINE_DATA);
}

int CellSize(TableHandle *table, int32_t column, int32_t line) {
    int rc = Usable(table);
    if (rc != TBL_OK) return rc;
    int32_t size = 0;
    rc = DecodeCell(table, column, line, LINE_DATA, NULL, 0, &size);
    return rc == TBL_OK ? size : rc;
}

int CellSizeByName(TableHandle *table, const char *name, int32_t line) {
    int32_t column;
    int rc = ColumnIndexGet(table, name, &column);
    if (rc == TBL_ERR_BAD_HANDLE) return rc;
    if (rc != TBL_OK) return TBL_ERR_RANGE;
    return CellSize(table, column, line);
}

/* Builds into *next the fetched line *text with piece column replaced by
 * the stored field encoded. Refuses (TBL_ERR_RANGE) a line without that
 * piece, and a field that would fuse with a neighbour: a quote on both
 * sides of a separator makes it the middle of an escaped delimiter. */
static int RebuildLine(char *text, int32_t column, const char *encoded,
                       char delimiter, char **next) {
    size_t n = strlen(text);
    int32_t pieces = SplitLine(text, delimiter);
    char *start = Piece(text, pieces, column);
    if (!start) return TBL_ERR_RANGE;
    size_t begin = (size_t)(start - text);
    size_t end = begin + strlen(start);
    size_t length = strlen(encoded);
    /* A separator became NUL; the line itself holds none. */
    char before = begin >= 2 ? text[begin - 2] : '\0';
    char after = column + 1 < pieces ? text[end + 1] : '\0';
    if (length > 0 && ((encoded[0] == QUOTE && before == QUOTE) ||
                       (encoded[length - 1] == QUOTE && after == QUOTE)))
        return TBL_ERR_RANGE;

    for (size_t i = 0; i < n; i++)
        if (text[i] == '\0') text[i] = delimiter;
    if (TextBufferNew(next) != TBL_OK ||
        TextBufferSetBytes(next, text, (int32_t)begin) != TBL_OK ||
        TextBufferAppend(next, encoded) != TBL_OK ||
        TextBufferAppend(next, text + end) != TBL_OK)
        return TBL_ERR_NO_MEMORY;
    return TBL_OK;
}

int CellWrite(TableHandle *table, int32_t column, int32_t line,
              const char *value, int32_t length, int32_t kind) {
    /* The writers by index learn the column count first; a handle that
     * cannot give it is out of range. */
    if (Usable(table) != TBL_OK) return TBL_ERR_RANGE;
    if (table->mode == OPEN_INDEXED) return TBL_ERR_MODE;
    if (!CellInRange(table, column, line, kind)) return TBL_ERR_RANGE;
    if (length < 0 || (!value && length > 0)) return TBL_ERR_RANGE;

    char *copy = NULL, *encoded = NULL, *text = NULL, *next = NULL;
    char *name = NULL;
    int rc = TBL_ERR_NO_MEMORY;
    if (TextBufferNew(&copy) != TBL_OK ||
        TextBufferSetBytes(&copy, value, length) != TBL_OK ||
        TextBufferNew(&encoded) != TBL_OK)
        goto done;
    rc = EncodeField(copy, length, table->delimiter, &encoded);
    if (rc != TBL_OK) goto done;
    /* A delimiter left bare (a control byte's \xNN escape can hold a hex
     * digit or x used as D) would split the field in two. */
    if (FieldHasBareDelimiter(encoded, table->delimiter)) {
        rc = TBL_ERR_RANGE;
        goto done;
    }
    if (TextBufferNew(&text) != TBL_OK) {
        rc = TBL_ERR_NO_MEMORY;
        goto done;
    }
    rc = FetchLine(table, line, &text, kind);
    if (rc != TBL_OK) {
        rc = FetchFailed(rc);
        goto done;
    }
    rc = RebuildLine(text, column, encoded, table->delimiter, &next);
    if (rc != TBL_OK) goto done;
    /* The load counts fields by quote parity: a value with an odd number of
     * quotes can hide a separator from it, and the saved file would then
     * not load again. */
    if (LoadedFieldCount(next, table->delimiter, NULL) != table->columns) {
        rc = TBL_ERR_RANGE;
        goto done;
    }

    {
        /* Line 0 names the columns: its new field renames its column too,
         * exactly as an open would read it. Prepared before the store, so
         * that nothing can fail after the line has changed. */
        int64_t position = (int64_t)line + (kind == LINE_DATA ? table->header_lines : 0);
        ColumnRecord *renamed = position == 0 ? GetColumnRecord(table, column) : NULL;
        if (renamed && (TextBufferNew(&name) != TBL_OK ||
                        TextBufferSet(&name, encoded) != TBL_OK)) {
            rc = TBL_ERR_NO_MEMORY;
            goto done;
        }
        rc = StoreLoadedRow(table, line, next, kind);
        if (rc == TBL_OK && renamed) {
            TextBufferFree(&renamed->name);
            renamed->name = name;
            name = NULL;
        }
    }
done:
    TextBufferFree(&copy);
    TextBufferFree(&encoded);
    TextBufferFree(&text);
    TextBufferFree(&next);
    TextBufferFree(&name);
    return rc;
}

int CellWriteByName(TableHandle *table, const char *name, int32_t line,
                    const char *value, int32_t length) {
    int rc = Usable(table);
    if (rc != TBL_OK) return rc;
    if (table->mode == OPEN_INDEXED) return TBL_ERR_MODE;
    int32_t column;
    rc = ColumnIndexGet(table, name, &column);
    if (rc != TBL_OK) return rc;
    return CellWrite(table, column, line, value, length, LINE_DATA);
}

int RowAppendEmpty(TableHandle *table) {
    int rc = Usable(table);
    if (rc != TBL_OK) return rc;
    if (table->mode == OPEN_INDEXED) return TBL_ERR_MODE;
    RowRecord *row = (RowRecord *)qmem_malloc(sizeof *row);
    if (!row) return TBL_ERR_NO_MEMORY;
    /* One empty field per column: column count - 1 delimiters, made in one
     * block rather than grown a byte at a time. */
    size_t size = table->columns > 0 ? (size_t)table->columns : 1;
    row->text = (char *)qmem_malloc(size);
    if (!row->text) {
        qmem_free(row);
        return TBL_ERR_NO_MEMORY;
    }
    memset(row->text, table->delimiter, size - 1);
    row->text[size - 1] = '\0';
    row->line = NextRowLineNumber(table);
    if (SparseArrayAdd(table->row_list, row) < 0) {
        RowRecordFree(row);
        return TBL_ERR_NO_MEMORY;
    }
    table->data_lines++;
    return TBL_OK;
}

int LineCountGet(TableHandle *table, int32_t *count) {
    int rc = Usable(table);
    if (rc != TBL_OK) return rc;
    if (!count) return TBL_ERR_RANGE;
    *count = GetDataLineCount(table);
    return TBL_OK;
}
