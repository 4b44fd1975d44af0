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

#include "base/record_list.h"
#include "base/tavlbits.h"
#include "base/tavlbuf.h"
#include "base/tavlfile.h"
#include "base/tavlhost.h"
#include "codec/field_select.h"
#include "codec/tavl_codec.h"
#include "store/backend.h"
#include "tavlin32.h"

#define COLUMN_LIST_CAPACITY 50

/* TBL_OK when the handle holds a table that may be used: an open one, or
 * one fresh from NewTable (an empty OPEN_INDEXED table). */
static int Usable(const TableHandle *table) {
    if (!table) return TBL_ERR_BAD_HANDLE;
    return (table->state == HANDLE_OPEN || table->state == HANDLE_NEW)
               ? TBL_OK
               : TBL_ERR_BAD_HANDLE;
}

/* 1 when the table may be changed: its back-end takes changes. A fresh
 * handle has none and answers as a read-only table. */
static int TakesChanges(const TableHandle *table) {
    return table->store.ops && table->store.ops->takes_changes(&table->store);
}

/* The table position of a line number of a kind, or -1 outside. */
static int32_t LinePosition(const TableHandle *table, int32_t number,
                            int32_t kind) {
    int64_t position = (int64_t)number +
                       (kind == LINE_DATA ? table->store.header_lines : 0);
    return position < 0 || position > INT32_MAX ? -1 : (int32_t)position;
}

static int CellInRange(const TableHandle *table, int32_t column, int32_t line,
                       int32_t kind) {
    if (column < 0 || line < 0 || column >= table->columns) return 0;
    return line < (kind == LINE_DATA ? table->data_lines : table->store.header_lines);
}

/* The table position of a cell's line, which fits: the cell is in range. */
static inline int32_t CellPosition(const TableHandle *table, int32_t line,
                                   int32_t kind) {
    TAVL_ASSERT(line >= 0 && line < (kind == LINE_DATA ? table->data_lines
                                                       : table->store.header_lines));
    return kind == LINE_DATA ? line + table->store.header_lines : line;
}

/* ---- The line read last ------------------------------------------------ */

/* Where piece column of the cached line starts; it ends at
 * bounds[column + 1]. The walk has ended that piece. */
static inline size_t CachedStart(const LineCache *cache, int32_t column) {
    TAVL_ASSERT(column >= cache->from && column < cache->ended && column < cache->capacity);
    return (uint32_t)(cache->bounds[column] + 1u);
}

static void CacheForget(TableHandle *table) {
    table->cache.position = -1;
    TextBufferFree(&table->cache.copy);
}

/* Makes room in the cache for the pieces of a line of columns fields. On
 * failure the cache is as it was (and has room for fewer). */
static int CacheMakeRoom(TableHandle *table, int32_t columns) {
    LineCache *cache = &table->cache;
    /* More room than the columns: a walk records a block's separators
     * without testing the room for each. */
    if (columns > INT32_MAX - 64) return TBL_ERR_NO_MEMORY;
    int32_t capacity = columns + 64;
    if (capacity <= cache->capacity) return TBL_OK;
    uint32_t *bounds =
        (uint32_t *)qmem_realloc(cache->bounds, ((size_t)capacity + 1) * sizeof *bounds);
    if (!bounds) return TBL_ERR_NO_MEMORY;
    bounds[0] = UINT32_MAX;
    cache->bounds = bounds;
    cache->capacity = capacity;
    return TBL_OK;
}

static void CacheRelease(TableHandle *table) {
    CacheForget(table);
    if (table->cache.bounds) qmem_free(table->cache.bounds);
    table->cache.bounds = NULL;
    table->cache.capacity = 0;
}

/* The line at a table position, in the cache. A line the back-end cannot
 * give is out of range, unless memory is short or the line is not where
 * its index says. */
static int CacheLine(TableHandle *table, int32_t position) {
    LineCache *cache = &table->cache;
    if (cache->position == position) return TBL_OK;
    if (cache->copy) TextBufferFree(&cache->copy);
    cache->position = -1;
    int rc = table->store.ops->line(&table->store, position, &cache->text,
                                    &cache->length, &cache->copy);
    if (rc != TBL_OK)
        return rc == TBL_ERR_NO_MEMORY || rc == TBL_ERR_INDEX_OPEN ? rc : TBL_ERR_RANGE;
    cache->position = position;
    cache->probed = 0;
    cache->from = 0;
    cache->ended = 0;
    cache->plain = 0;
    cache->walked = 0;
    cache->done = 0;
    cache->special = 0;
    return TBL_OK;
}

/* ---- Marks in wide lines ----------------------------------------------- */

/* Tables of fewer columns walk a line from its start: that costs little. */
#define MARK_MIN_COLUMNS 128
#define MARK_MIN_STRIDE 16

static void MarksDrop(TableHandle *table) {
    if (table->marks.starts) qmem_free(table->marks.starts);
    memset(&table->marks, 0, sizeof table->marks);
}

/* Forgets the marks of the line at position, which changed. */
static void MarksForget(TableHandle *table, int32_t position) {
    PieceMarks *marks = &table->marks;
    if (marks->starts && position < marks->lines)
        memset(marks->starts + (size_t)position * (size_t)marks->per_line, 0,
               (size_t)marks->per_line * sizeof *marks->starts);
}

/* Makes the marks once, sized so that they take about 5% of the table's
 * bytes, judged by the line in the cache. 0 when there are none. */
static int MarksMake(TableHandle *table) {
    PieceMarks *marks = &table->marks;
    if (marks->starts) return 1;
    if (marks->tried || table->columns < MARK_MIN_COLUMNS) return 0;
    marks->tried = 1;
    const int64_t lines = table->store.ops->lines(&table->store);
    const uint64_t bytes = (uint64_t)table->cache.length * (uint64_t)lines;
    /* 4 bytes a mark, in a twentieth of the bytes. */
    uint64_t stride = bytes ? (uint64_t)lines * (uint64_t)table->columns * 80u / bytes + 1u : 0;
    if (stride < MARK_MIN_STRIDE) stride = MARK_MIN_STRIDE;
    if (lines < 1 || stride >= (uint64_t)table->columns) return 0;
    const int32_t per_line = (int32_t)((uint64_t)(table->columns - 1) / stride);
    if ((uint64_t)lines * (uint64_t)per_line > SIZE_MAX / sizeof *marks->starts) return 0;
    marks->starts = (uint32_t *)qmem_calloc((size_t)lines * (size_t)per_line,
                                            sizeof *marks->starts);
    if (!marks->starts) return 0;
    marks->stride = (int32_t)stride;
    marks->per_line = per_line;
    marks->lines = (int32_t)lines;
    return 1;
}

/* The marks of the cached line that its walk has passed, noted. */
static void MarksNote(TableHandle *table, int32_t from_piece) {
    const PieceMarks *marks = &table->marks;
    const LineCache *cache = &table->cache;
    if (!marks->starts || cache->position >= marks->lines) return;
    uint32_t *line = marks->starts + (size_t)cache->position * (size_t)marks->per_line;
    int32_t last = cache->ended < table->columns ? cache->ended : table->columns;
    for (int32_t k = from_piece / marks->stride + 1;
         k <= marks->per_line && k * marks->stride < last; k++)
        line[k - 1] = cache->bounds[k * marks->stride] + 2u;
}

/* Moves the cached line's walk to the nearest mark at or before column
 * where that saves walking (or back to the line's start for a column
 * before the walk began). */
static void MarksSeek(TableHandle *table, int32_t column) {
    LineCache *cache = &table->cache;
    const PieceMarks *marks = &table->marks;
    int32_t k = marks->starts && cache->position < marks->lines && marks->stride
                    ? column / marks->stride
                    : 0;
    if (k > marks->per_line) k = marks->per_line;
    uint32_t start = 0;
    if (k > 0) {
        const uint32_t *line =
            marks->starts + (size_t)cache->position * (size_t)marks->per_line;
        while (k > 0 && !line[k - 1]) k--;
        if (k > 0) start = line[k - 1] - 1u;
    }
    const int32_t piece = k * (marks->stride ? marks->stride : 0);
    if (column >= cache->from && (column < cache->ended || cache->ended >= piece)) return;
    cache->from = cache->ended = cache->plain = piece;
    cache->bounds[piece] = start - 1u; /* the end of the piece before */
    cache->walked = start;
    cache->done = 0;
    cache->special = 0;
}

/* Where a cell's stored field lies, through the cache; *plain is set when
 * it decodes to itself. The cell is in range. The walk over the line goes
 * as far as the cell's piece (16 bytes at a time), and what it learnt
 * serves every later read of the line, in any order. */
static TAVL_NOINLINE int CachedField(TableHandle *table, int32_t column,
                                     int32_t position, const char **field,
                                     size_t *length, int *plain) {
    TAVL_ASSERT(column >= 0 && column < table->columns && position >= 0);
    int rc = CacheLine(table, position);
    if (rc != TBL_OK) return rc;
    LineCache *cache = &table->cache;
    const char d = table->store.delimiter;
    size_t start, span;
    /* Piece ends are 32-bit offsets: a longer line is walked field by field
     * each time. The first read of a line, unless of column 0, finds only
     * its own field (a read here and there reads one cell of a line); the
     * next read of the line walks it, for the reads of its other cells. */
    const int first =
        cache->ended == 0 && !cache->probed && column > 0 && column < MARK_MIN_COLUMNS;
    cache->probed = 1;
    if (column < cache->capacity && cache->length < UINT32_MAX && !first) {
        /* A read of column 0 walks the whole line, as reads of its other
         * cells are likely to follow; any other as far as it needs. */
        const int distant = column >= MARK_MIN_COLUMNS && (column >= cache->ended || column < cache->from);
        if (distant && MarksMake(table)) MarksSeek(table, column);
        else if (column < cache->from) MarksSeek(table, 0);
        if (column >= cache->ended && !cache->done) {
            const int32_t before = cache->ended;
            cache->done = FieldEndsWalk(cache->text, cache->length, d, cache->bounds + 1,
                                        cache->capacity, column ? column : cache->capacity,
                                        &cache->walked, &cache->ended, &cache->special);
            cache->plain = cache->special                    ? cache->from
                           : cache->ended < table->columns ? cache->ended
                                                           : table->columns;
            if (table->marks.starts) MarksNote(table, before);
        }
        if (column >= cache->ended) return TBL_ERR_RANGE;
        start = CachedStart(cache, column);
        span = cache->bounds[column + 1] - start;
        *plain = !cache->special;
    } else if (!FindPlainField(cache->text, cache->length, d, column, &start, &span,
                               plain)) {
        return TBL_ERR_RANGE;
    }
    *field = cache->text + start;
    *length = span;
    return TBL_OK;
}

/* The stored field of a cell: from the cache's known piece ends where the
 * line is the one read last, else through CachedField. */
static inline int CellField(TableHandle *table, int32_t column, int32_t line,
                            int32_t kind, const char **field, size_t *length,
                            int *plain) {
    if (!CellInRange(table, column, line, kind)) return TBL_ERR_RANGE;
    int32_t position = CellPosition(table, line, kind);
    const LineCache *cache = &table->cache;
    if (cache->position == position && column >= cache->from && column < cache->ended &&
        column < cache->capacity) {
        size_t start = CachedStart(cache, column);
        *field = cache->text + start;
        *length = cache->bounds[column + 1] - start;
        *plain = !cache->special;
        return TBL_OK;
    }
    return CachedField(table, column, position, field, length, plain);
}

/* ---- The back-end ------------------------------------------------------- */

/* The general read, for the reads the back-end's read leaves: the table
 * that holds the store reads the cell. */
static int CellReadGeneral(TableStore *store, int32_t column, int32_t line, char *buffer,
                           int32_t *out_length, int32_t buffer_length) {
    TableHandle *table = (TableHandle *)(void *)((char *)store - offsetof(TableHandle, store));
    return CellReadRest(table, column, line, buffer, out_length, buffer_length);
}

int LoadBackEnd(TableHandle *table, const char *path, const char *index_dir) {
    table->store.ops = BackEndFor(table->store.mode);
    table->store.read = ReadFor(table->store.ops);
    table->store.general = CellReadGeneral;
    ReadMemoForget(&table->store);
    TableShape shape = {0, 0};
    int rc = table->store.ops->open(&table->store, path, index_dir, &shape);
    if (rc != TBL_OK) return rc;
    table->columns = shape.columns;
    table->data_lines = shape.data_lines;
    return TBL_OK;
}

int FetchLine(TableHandle *table, int32_t number, int32_t kind,
              const char **text, size_t *length, char **copy) {
    TAVL_ASSERT(table->store.ops);
    int32_t position = LinePosition(table, number, kind);
    if (position < 0) return TBL_ERR_FAIL;
    return table->store.ops->line(&table->store, position, text, length, copy);
}

int ReleaseBackEnd(TableHandle *table) {
    TAVL_ASSERT(table->store.ops);
    return table->store.ops->close(&table->store);
}

/* The next piece of the stored line text[0..n): the one that starts at
 * *at (0, or just past a separator). 1 with its place in *start and *span
 * and *at moved past it and its separator; 0 after the last piece. The
 * split rule looks only at a D's neighbours, and the byte before a piece
 * is a separator, never a quote, so the rest of a line splits as the whole
 * line does: a walk over every piece reads the line once. */
static int NextPiece(const char *text, size_t n, char d, size_t *at,
                     size_t *start, size_t *span) {
    size_t from = *at, first;
    if (from > n || !FindField(text + from, n - from, d, 0, &first, span)) return 0;
    *start = from;
    *at = from + *span + 1;
    return 1;
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
    TAVL_ASSERT(column);
    TextBufferFree(&column->name);
    qmem_free(column);
    return 0;
}

int BuildColumnList(TableHandle *table) {
    if (table->columns <= 0) return TBL_OK;
    const char *text = NULL;
    size_t n = 0;
    char *copy = NULL, *line = NULL;
    int rc = FetchLine(table, 0, LINE_HEADER, &text, &n, &copy);
    if (rc == TBL_OK && (TextBufferNew(&line) != TBL_OK ||
                         TextBufferSetLength(&line, text, n) != TBL_OK))
        rc = TBL_ERR_NO_MEMORY;
    TextBufferFree(&copy);
    if (rc != TBL_OK) {
        TextBufferFree(&line);
        return rc == TBL_ERR_NO_MEMORY ? rc : TBL_ERR_CREATE;
    }
    /* One walk over the split line. Line 0 splits into one piece per
     * column; should an index claim more columns than it has pieces, the
     * columns past the last piece are named by the empty text. */
    int32_t pieces = SplitLine(line, table->store.delimiter);
    const char *piece = line;
    for (int32_t i = 0; i < table->columns; i++) {
        ColumnRecord *column = ColumnRecordNew(i < pieces ? piece : "", i);
        if (!column) {
            rc = TBL_ERR_NO_MEMORY;
            break;
        }
        if (RecordListAdd(table->column_list, column) < 0) {
            ColumnRecordFree(column);
            rc = TBL_ERR_NO_MEMORY;
            break;
        }
        if (i < pieces) piece += strlen(piece) + 1;
    }
    TextBufferFree(&line);
    return rc;
}

static ColumnRecord *GetColumnRecord(const TableHandle *table, int32_t index) {
    return (ColumnRecord *)RecordListGet(table->column_list, index);
}

/* The name of a column (the record's own text), or null. */
static const char *ColumnName(const TableHandle *table, int32_t column) {
    if (column < 0 || column >= table->columns) return NULL;
    ColumnRecord *record = GetColumnRecord(table, column);
    return record && record->name ? record->name : NULL;
}

/* ---- Names by hash ----------------------------------------------------- */

/* Tables of at most this many columns are looked up by walking the list. */
#define NAME_INDEX_MIN_COLUMNS 8

static uint32_t NameHash(const char *name) {
    uint32_t h = 2166136261u; /* FNV-1a */
    for (const unsigned char *p = (const unsigned char *)name; *p; ++p)
        h = (h ^ *p) * 16777619u;
    return h;
}

static void NamesDrop(TableHandle *table) {
    if (table->names.slots) qmem_free(table->names.slots);
    table->names.slots = NULL;
    table->names.mask = 0;
}

/* Makes the name index; 0 when it cannot be made (lookups then walk). */
static int NamesMake(TableHandle *table) {
    uint32_t size = 64;
    while (size < 2u * (uint32_t)table->columns) size *= 2;
    int32_t *slots = (int32_t *)qmem_calloc(size, sizeof *slots);
    if (!slots) return 0;
    for (int32_t i = 0; i < table->columns; i++) {
        const char *name = ColumnName(table, i);
        TAVL_ASSERT(name);
        uint32_t k = NameHash(name) & (size - 1);
        while (slots[k]) k = (k + 1) & (size - 1);
        slots[k] = i + 1;
    }
    table->names.slots = slots;
    table->names.mask = size - 1;
    return 1;
}

/* The first column named name, or -1. */
static int32_t FindColumn(TableHandle *table, const char *name) {
    if (table->columns > NAME_INDEX_MIN_COLUMNS &&
        (table->names.slots || NamesMake(table))) {
        const NameIndex *names = &table->names;
        for (uint32_t k = NameHash(name) & names->mask; names->slots[k];
             k = (k + 1) & names->mask) {
            int32_t i = names->slots[k] - 1;
            if (strcmp(ColumnName(table, i), name) == 0) return i;
        }
        return -1;
    }
    for (int32_t i = 0; i < table->columns; i++) {
        const char *have = ColumnName(table, i);
        if (have && strcmp(have, name) == 0) return i;
    }
    return -1;
}

/* ---- Handle and file ---------------------------------------------------- */

int TableNew(TableHandle **out) {
    if (!out) return TBL_ERR_BAD_HANDLE;
    TableHandle *table = (TableHandle *)qmem_malloc(sizeof *table);
    *out = table;
    if (!table) return TBL_ERR_NO_MEMORY;
    memset(table, 0, sizeof *table); /* HANDLE_NEW, STREAM_ABSENT */
    table->cache.position = -1;
    return TBL_OK;
}

int TableFree(TableHandle *table) {
    if (table) qmem_free(table);
    return TBL_OK;
}

int TableCreateFile(const char *path, char delimiter) {
    if (delimiter == '\\') return TBL_ERR_DELIMITER;
    if (!path) return TBL_ERR_CREATE;
    FILE *f = FileStreamOpen(path, "w+b");
    if (!f) return TBL_ERR_CREATE;
    /* A FIFO or a device holds no table: nothing was made. */
    const int regular = FileStreamSize(f) >= 0;
    return fclose(f) == 0 && regular ? TBL_OK : TBL_ERR_CREATE;
}

int TableFileExists(const char *path) {
    if (!path) return TBL_ERR_NO_FILE;
    return os_is_file_exist(path) == 1 ? TBL_OK : TBL_ERR_NO_FILE;
}

int TableClose(TableHandle *table) {
    if (!table) return TBL_ERR_BAD_HANDLE;
    if (table->state == HANDLE_CLOSED) return TBL_OK;
    if (table->state != HANDLE_NEW) {
        /* A load that could not open the file built nothing to release. */
        int rc = ReleaseBackEnd(table);
        if (rc != TBL_OK) return rc;
        if (table->column_list) RecordListDestroy(&table->column_list);
        CacheRelease(table);
        NamesDrop(table);
        MarksDrop(table);
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
    table->cache.position = -1;
    table->store.mode = mode;
    table->store.delimiter = delimiter ? *delimiter : ',';
    table->store.header_lines = header_lines ? *header_lines : 1;
    table->store.unique = unique;
    table->state = HANDLE_FAILED; /* until the open has finished */

    int rc = LoadBackEnd(table, path, index_dir);
    if (rc != TBL_OK) return rc;
    table->column_list = RecordListCreate(COLUMN_LIST_CAPACITY, ColumnRecordFree);
    if (!table->column_list) return TBL_ERR_BAD_HANDLE;
    if (BuildColumnList(table) != TBL_OK ||
        CacheMakeRoom(table, table->columns) != TBL_OK)
        return TBL_ERR_BAD_HANDLE;
    table->state = HANDLE_OPEN;
    return TBL_OK;
}

int TableSave(TableHandle *table, const char *path) {
    if (!table || table->state != HANDLE_OPEN) return TBL_ERR_BAD_HANDLE;
    return table->store.ops->save(&table->store, path, table->columns);
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
    int32_t i = FindColumn(table, name);
    if (i < 0) return TBL_ERR_NO_COLUMN;
    *index = i;
    return TBL_OK;
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

/* ---- Writes that keep every line sound ----------------------------------
 *
 * Every line of a loaded table splits exactly where the load counts its
 * fields, into one piece per column; otherwise it would read from other
 * places than it was written to, or not load again. A value goes into its
 * line in the plain stored form. Where that would break the line (a bare D,
 * a quote on both sides of a separator, an odd number of quotes that hides
 * a separator from the load's count), it goes in the escaped form, which
 * holds no quote and (unless D is x or a hex digit) no D. A change that
 * cannot be made sound either way is refused and nothing changes. */

/* Builds into *next, a block of its own, the line text[0..n) with its
 * piece column replaced by the stored form of value, plain or escaped;
 * *at and *stored tell where the stored field lies in it. TBL_OK when the
 * new line is sound for the table, TBL_ERR_RANGE when it would not be, or
 * TBL_ERR_NO_MEMORY; *next stays null on failure. */
static int ReplacePiece(const TableHandle *table, const char *text, size_t n,
                        int32_t column, const char *value, size_t length,
                        int escaped, char **next, size_t *at, size_t *stored) {
    const char d = table->store.delimiter;
    size_t start, span;
    if (!FindField(text, n, d, column, &start, &span)) return TBL_ERR_RANGE;
    size_t field = StoreField(value, length, d, escaped, NULL);
    size_t total = n - span + field;
    char *line = (char *)qmem_malloc(total + 1);
    if (!line) return TBL_ERR_NO_MEMORY;
    memcpy(line, text, start);
    StoreField(value, length, d, escaped, line + start);
    memcpy(line + start + field, text + start + span, n - start - span);
    line[total] = '\0';
    /* The line was sound. Where neither the old field nor the new one holds
     * a quote or D, every separator still splits and counts as before;
     * otherwise the whole line is checked. */
    const char *old_field = text + start, *new_field = line + start;
    int same_shape = !memchr(old_field, QUOTE, span) && !memchr(old_field, d, span) &&
                     !memchr(new_field, QUOTE, field) && !memchr(new_field, d, field);
    if (!same_shape && (FieldSpanHasBareDelimiter(new_field, field, d) ||
                        !LineIsSound(line, total, d, table->columns))) {
        qmem_free(line);
        return TBL_ERR_RANGE;
    }
    *next = line;
    *at = start;
    *stored = field;
    return TBL_OK;
}

/* Most writes: a value without a quote or D into a field without them, on
 * a line other than line 0 (which names the columns). Every separator of
 * the line then still splits and counts as before, so the line stays
 * sound, and the back-end changes the field's bytes in place. A short
 * stored form is made on the stack. TBL_OK or TBL_ERR_NO_MEMORY when done
 * (or refused for want of memory: nothing changed); TBL_ERR_FAIL when the
 * write is not of that kind, and CellWrite goes the general way. */
#define SPLICE_ROOM 256

static int SpliceCell(TableHandle *table, const char *text, size_t n, int32_t column,
                      int32_t position, const char *value, size_t length) {
    const char d = table->store.delimiter;
    size_t start, span;
    if (length > SPLICE_ROOM || !FindField(text, n, d, column, &start, &span) ||
        memchr(text + start, QUOTE, span) || memchr(text + start, d, span))
        return TBL_ERR_FAIL;
    /* The stored form, not the value: an escape may hold D (where D is x
     * or a hex digit). */
    char stored[4 * SPLICE_ROOM];
    size_t count = StoreField(value, length, d, 0, stored);
    if (memchr(stored, QUOTE, count) || memchr(stored, d, count)) return TBL_ERR_FAIL;
    CacheForget(table);
    MarksForget(table, position);
    return table->store.ops->splice(&table->store, position, start, span, stored, count);
}

/* Appends to *out the pieces of the line text[0..n), joined by D, with
 * every piece that holds a quote stored again in the escaped form (its
 * value unchanged); *scratch is a work buffer for the decoded value. */
static int EscapeQuotedPieces(const TableHandle *table, const char *text,
                              size_t n, char **out, char **scratch) {
    const char d = table->store.delimiter;
    size_t at = 0, start, span;
    for (int32_t k = 0; k < table->columns; k++) {
        if (!NextPiece(text, n, d, &at, &start, &span)) return TBL_ERR_RANGE;
        if (k > 0 && TextBufferAppendChar(out, d) != TBL_OK)
            return TBL_ERR_NO_MEMORY;
        const char *piece = text + start;
        if (!memchr(piece, QUOTE, span)) {
            if (TextBufferAppendBytes(out, piece, span) != TBL_OK)
                return TBL_ERR_NO_MEMORY;
            continue;
        }
        int32_t size;
        if (DecodeField(piece, span, d, scratch, &size) != TBL_OK ||
            EncodeField(*scratch, (size_t)(size - 1), d, 1, out) != TBL_OK)
            return TBL_ERR_NO_MEMORY;
    }
    return TBL_OK;
}

/* Rebuilds line p (text[0..n)) with one more field into *out: the pieces
 * that hold a quote stored again escaped, then the separator and, on line
 * 0, the name as it stands. Escaping the old pieces always suffices for the
 * name: with no quote left before it, nothing can flank its separator or
 * hide it from the load's count. TBL_ERR_RANGE when the line is still not
 * sound (an escape holding D, where D is x or a hex digit). */
static int RebuildWithField(const TableHandle *table, int32_t p,
                            const char *text, size_t n, const char *sep,
                            const char *name, char **out, char **scratch) {
    int rc = TextBufferSet(out, "");
    if (rc == TBL_OK) rc = EscapeQuotedPieces(table, text, n, out, scratch);
    if (rc == TBL_OK) rc = TextBufferAppend(out, sep);
    if (rc == TBL_OK && p == 0) rc = TextBufferAppend(out, name);
    if (rc != TBL_OK) return rc;
    return LineIsSound(*out, strlen(*out), table->store.delimiter, table->columns + 1)
               ? TBL_OK
               : TBL_ERR_RANGE;
}

/* Where line 0 was rebuilt, the stored names of the columns it holds: a
 * new text for each column whose piece changed (names[i], else null). */
static int RenamedColumns(const TableHandle *table, const char *line,
                          char **names) {
    size_t n = strlen(line), at = 0, start, span;
    for (int32_t i = 0; i < table->columns; i++) {
        const char *old = ColumnName(table, i);
        if (!NextPiece(line, n, table->store.delimiter, &at, &start, &span))
            return TBL_ERR_RANGE;
        if (old && strlen(old) == span && memcmp(old, line + start, span) == 0)
            continue;
        if (TextBufferNew(&names[i]) != TBL_OK ||
            TextBufferSetLength(&names[i], line + start, span) != TBL_OK)
            return TBL_ERR_NO_MEMORY;
    }
    return TBL_OK;
}

/* What a new column does to the lines, worked out before any changes:
 * the text line 0 gets appended (the separator and the name), the lines
 * that must be rebuilt instead (replace[p], null for the others), and,
 * when line 0 is rebuilt, the new stored names of the columns it renames
 * (names[i], null for the others). */
typedef struct NewFieldPlan {
    int32_t lines;              /* lines held: entries of replace */
    int32_t columns;            /* columns before: entries of names */
    char *first;
    char **replace;
    char **names;
} NewFieldPlan;

static void NewFieldPlanFree(NewFieldPlan *plan) {
    for (int32_t p = 0; plan->replace && p < plan->lines; p++)
        TextBufferFree(&plan->replace[p]);
    for (int32_t i = 0; plan->names && i < plan->columns; i++)
        TextBufferFree(&plan->names[i]);
    if (plan->replace) qmem_free(plan->replace);
    if (plan->names) qmem_free(plan->names);
    TextBufferFree(&plan->first);
}

/* Stages line p rebuilt (text[0..n)) when appending its suffix would leave
 * it unsound; *work and *scratch are work buffers. */
static int PlanLine(TableHandle *table, NewFieldPlan *plan, int32_t p,
                    const char *sep, const char *name, char **work,
                    char **scratch) {
    const char *text = NULL;
    size_t n = 0;
    char *copy = NULL;
    int rc = FetchLine(table, p, LINE_HEADER, &text, &n, &copy);
    TAVL_ASSERT(rc == TBL_OK && !copy); /* a loaded line, read in place */
    const char *suffix = p == 0 ? plan->first : sep;
    /* A sound line without quotes stays sound with a field that has none:
     * every D of it separates and counts. */
    if (!memchr(text, QUOTE, n) && !strchr(suffix, QUOTE)) return TBL_OK;
    if (TextBufferSetLength(work, text, n) != TBL_OK ||
        TextBufferAppend(work, suffix) != TBL_OK)
        return TBL_ERR_NO_MEMORY;
    if (LineIsSound(*work, strlen(*work), table->store.delimiter, table->columns + 1))
        return TBL_OK;
    rc = RebuildWithField(table, p, text, n, sep, name, work, scratch);
    if (rc != TBL_OK) return rc;
    if (!plan->replace) {
        plan->replace = (char **)qmem_calloc((size_t)plan->lines, sizeof *plan->replace);
        if (!plan->replace) return TBL_ERR_NO_MEMORY;
    }
    plan->replace[p] = *work;
    *work = NULL;
    return TextBufferNew(work);
}

static int PlanNewField(TableHandle *table, const char *sep,
                        const char *name, NewFieldPlan *plan) {
    char *work = NULL, *scratch = NULL;
    int rc = TBL_ERR_NO_MEMORY;
    if (TextBufferNew(&plan->first) == TBL_OK &&
        TextBufferSet(&plan->first, sep) == TBL_OK &&
        TextBufferAppend(&plan->first, name) == TBL_OK &&
        TextBufferNew(&work) == TBL_OK && TextBufferNew(&scratch) == TBL_OK)
        rc = TBL_OK;
    for (int32_t p = 0; rc == TBL_OK && p < plan->lines; p++)
        rc = PlanLine(table, plan, p, sep, name, &work, &scratch);
    TextBufferFree(&work);
    TextBufferFree(&scratch);
    if (rc != TBL_OK || !plan->replace || !plan->replace[0] || plan->columns == 0)
        return rc;
    plan->names = (char **)qmem_calloc((size_t)plan->columns, sizeof *plan->names);
    if (!plan->names) return TBL_ERR_NO_MEMORY;
    return RenamedColumns(table, plan->replace[0], plan->names);
}

/* Makes the planned change: the new column, every line's new field, the
 * renamed columns. All or nothing. */
static int CommitNewField(TableHandle *table, const char *sep,
                          const char *name, NewFieldPlan *plan) {
    int32_t position = table->columns;
    if (CacheMakeRoom(table, position + 1) != TBL_OK) return TBL_ERR_NO_MEMORY;
    ColumnRecord *column = ColumnRecordNew(name, position);
    if (!column) return TBL_ERR_NO_MEMORY;
    if (RecordListAdd(table->column_list, column) < 0) {
        ColumnRecordFree(column);
        return TBL_ERR_NO_MEMORY;
    }
    CacheForget(table);
    NamesDrop(table);
    MarksDrop(table);
    int rc = table->store.ops->append_field(&table->store, plan->first, sep,
                                            plan->replace);
    if (rc != TBL_OK) {
        RecordListRemove(table->column_list, position);
        return rc;
    }
    for (int32_t i = 0; plan->names && i < plan->columns; i++) {
        if (!plan->names[i]) continue;
        ColumnRecord *renamed = GetColumnRecord(table, i);
        TextBufferFree(&renamed->name);
        renamed->name = plan->names[i];
        plan->names[i] = NULL;
    }
    table->columns++;
    return TBL_OK;
}

int ColumnAppend(TableHandle *table, int32_t position, const char *name) {
    int rc = Usable(table);
    if (rc != TBL_OK) return rc;
    if (!TakesChanges(table)) return TBL_ERR_MODE;
    if (position == -1) position = table->columns;
    if (position != table->columns) return TBL_ERR_RANGE;
    /* The name goes into line 0 as it stands, so it must stay one field of
     * one line there. */
    const char d = table->store.delimiter;
    if (!name || strchr(name, d) || strchr(name, '\r') || strchr(name, '\n'))
        return TBL_ERR_RANGE;
    int32_t held = table->store.ops->lines(&table->store);
    if (held < 1) return TBL_ERR_FAIL;

    /* Every line gets one more field: an empty cell after a delimiter (none
     * on a table without columns, whose lines are all empty); line 0, which
     * names the columns, gets the name. Every line that would not be sound
     * so is rebuilt aside first; then all lines change at once. */
    const char sep[2] = {position > 0 ? d : '\0', '\0'};
    NewFieldPlan plan = {held, table->columns, NULL, NULL, NULL};
    rc = PlanNewField(table, sep, name, &plan);
    if (rc == TBL_OK) rc = CommitNewField(table, sep, name, &plan);
    NewFieldPlanFree(&plan);
    return rc;
}

/* ---- Cells and rows ----------------------------------------------------- */

/* The stored text of a line where it lies (see FetchLine). A line that
 * is not there reads as out of range. */
static int LineInPlace(TableHandle *table, int32_t line, int32_t kind,
                       const char **text, size_t *length, char **copy) {
    int rc = FetchLine(table, line, kind, text, length, copy);
    return rc == TBL_OK || rc == TBL_ERR_NO_MEMORY ? rc : TBL_ERR_RANGE;
}

/* The value of the stored field f[0..n): its first capacity bytes to out
 * (which may be null when capacity is 0) and its size (bytes + 1) to
 * *size. Nothing is terminated. */
static inline int DecodeTo(const char *f, size_t n, int plain, char delimiter,
                           char *out, size_t capacity, int32_t *size) {
    if (plain && n < (size_t)INT32_MAX) {
        /* The usual cell: its stored bytes are its value. */
        CopyBytes(out, f, n < capacity ? n : capacity);
        *size = (int32_t)(n + 1);
        return TBL_OK;
    }
    /* The size is a signed 32-bit count: a field that might decode past it
     * is measured before anything is written. */
    if (n >= (size_t)INT32_MAX && DecodeFieldTo(f, n, delimiter, NULL, 0) >= (size_t)INT32_MAX)
        return TBL_ERR_NO_MEMORY;
    *size = (int32_t)(DecodeFieldTo(f, n, delimiter, out, capacity) + 1);
    return TBL_OK;
}

/* Decodes one cell: see DecodeTo. Out is untouched on every failure. */
static inline int DecodeCell(TableHandle *table, int32_t column, int32_t line,
                             int32_t kind, char *out, size_t capacity,
                             int32_t *size) {
    const char *field;
    size_t n;
    int plain;
    int rc = CellField(table, column, line, kind, &field, &n, &plain);
    if (rc != TBL_OK) return rc;
    return DecodeTo(field, n, plain, table->store.delimiter, out, capacity, size);
}

/* Ends a cell read whose value, of size bytes with its NUL, went to the
 * buffer as far as it fits: terminates it and reports the size. */
static inline int FinishRead(char *buffer, int32_t *out_length,
                             int32_t buffer_length, int32_t size) {
    TAVL_ASSERT(buffer && out_length && buffer_length >= 1 && size >= 1);
    *out_length = size;
    if (size <= buffer_length) {
        buffer[size - 1] = '\0';
        return TBL_OK;
    }
    buffer[buffer_length - 1] = '\0';
    return TBL_ERR_TRUNCATED;
}

/* A cell read, the arguments checked: another line than the one read
 * last, or a value that needs decoding. The value is decoded straight into
 * the caller's buffer, all but its last byte: a value that does not fit
 * leaves its first buffer_length - 1 bytes there and still reports its
 * full size. */
static int FinishField(TableHandle *table, const char *field, size_t n, int plain,
                       char *buffer, int32_t *out_length, int32_t buffer_length) {
    int32_t size = 0;
    int rc = DecodeTo(field, n, plain, table->store.delimiter, buffer,
                      (size_t)buffer_length - 1, &size);
    if (rc != TBL_OK) return rc;
    return FinishRead(buffer, out_length, buffer_length, size);
}

static TAVL_NOINLINE int CellReadLine(TableHandle *table, int32_t column,
                                      int32_t position, char *buffer,
                                      int32_t *out_length,
                                      int32_t buffer_length) {
    const char *field;
    size_t n;
    int plain;
    int rc = CachedField(table, column, position, &field, &n, &plain);
    if (rc != TBL_OK) return rc;
    return FinishField(table, field, n, plain, buffer, out_length, buffer_length);
}

/* A cell read whose handle or arguments are not the usual ones: the
 * checks, in the order their codes take. */
static TAVL_NOINLINE int CellReadAny(TableHandle *table, int32_t column,
                                     int32_t line, char *buffer,
                                     int32_t *out_length, int32_t buffer_length,
                                     int32_t kind) {
    int rc = Usable(table);
    if (rc != TBL_OK) return rc;
    if (!buffer || !out_length || buffer_length < 1 ||
        !CellInRange(table, column, line, kind))
        return TBL_ERR_RANGE;
    return CellReadLine(table, column, CellPosition(table, line, kind), buffer,
                        out_length, buffer_length);
}

int CellRead(TableHandle *table, int32_t column, int32_t line, char *buffer,
             int32_t *out_length, int32_t buffer_length, int32_t kind) {
    if (!table || table->state != HANDLE_OPEN || !buffer || !out_length ||
        buffer_length < 1 || !CellInRange(table, column, line, kind))
        return CellReadAny(table, column, line, buffer, out_length, buffer_length,
                           kind);
    return CellReadLine(table, column, CellPosition(table, line, kind), buffer,
                        out_length, buffer_length);
}

/* Copies plain piece column of the cached line, whose bounds are known,
 * with its NUL into buffer, when it fits: 1; else 0, nothing written. */
static TAVL_ALWAYS_INLINE int CopyPlainPiece(const LineCache *cache, int32_t column,
                                             char *buffer, int32_t *out_length,
                                             int32_t buffer_length) {
    uint32_t start = cache->bounds[column] + 1u;
    uint32_t n = cache->bounds[column + 1] - start;
    if ((int64_t)n >= (int64_t)buffer_length) return 0;
    CopyBytes(buffer, cache->text + start, n);
    buffer[n] = '\0';
    *out_length = (int32_t)n + 1;
    return 1;
}

int CellReadRest(TableHandle *table, int32_t column, int32_t line, char *buffer,
                 int32_t *out_length, int32_t buffer_length) {
    if (table && buffer && out_length && line >= 0) {
        /* A plain cell of the line the general read keeps, whose bounds
         * are known (its position proves the line in range, its known
         * plain pieces the column). */
        const LineCache *cache = &table->cache;
        if ((uint32_t)line + (uint32_t)table->store.header_lines ==
                (uint32_t)cache->position &&
            (uint32_t)(column - cache->from) < (uint32_t)(cache->plain - cache->from) &&
            CopyPlainPiece(cache, column, buffer, out_length, buffer_length)) {
            TAVL_ASSERT(table->state == HANDLE_OPEN && column < table->columns &&
                        line < table->data_lines);
            return TBL_OK;
        }
    }
    return CellReadData(table, column, line, buffer, out_length, buffer_length);
}

int CellReadData(TableHandle *table, int32_t column, int32_t line, char *buffer,
                 int32_t *out_length, int32_t buffer_length) {
    if (!table || table->state != HANDLE_OPEN || !buffer || !out_length ||
        buffer_length < 1 || !CellInRange(table, column, line, LINE_DATA))
        return CellReadAny(table, column, line, buffer, out_length, buffer_length,
                           LINE_DATA);
    /* A line the back-end's read cannot answer, a piece not walked yet, or
     * a value to decode or cut: its field found here, and a plain one that
     * fits copied. */
    const int32_t position = CellPosition(table, line, LINE_DATA);
    const char *field;
    size_t n;
    int plain;
    int rc = CachedField(table, column, position, &field, &n, &plain);
    if (rc != TBL_OK) return rc;
    if (plain && n < (size_t)buffer_length) {
        CopyBytes(buffer, field, n);
        buffer[n] = '\0';
        *out_length = (int32_t)n + 1;
        return TBL_OK;
    }
    return FinishField(table, field, n, plain, buffer, out_length, buffer_length);
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

int CellWrite(TableHandle *table, int32_t column, int32_t line,
              const char *value, int32_t length, int32_t kind) {
    /* The writers by index learn the column count first; a handle that
     * cannot give it is out of range. */
    if (Usable(table) != TBL_OK) return TBL_ERR_RANGE;
    if (!TakesChanges(table)) return TBL_ERR_MODE;
    if (!CellInRange(table, column, line, kind)) return TBL_ERR_RANGE;
    /* A value whose cell size (its bytes and a NUL) would not fit the
     * signed 32-bit size a reader reports could never be read back. */
    if (length < 0 || length == INT32_MAX || (!value && length > 0)) return TBL_ERR_RANGE;

    const char *text = NULL;
    size_t n = 0, at = 0, stored = 0;
    char *copy = NULL, *next = NULL, *name = NULL;
    int rc = LineInPlace(table, line, kind, &text, &n, &copy);
    if (rc == TBL_OK && !copy && LinePosition(table, line, kind) > 0) {
        rc = SpliceCell(table, text, n, column, LinePosition(table, line, kind), value,
                        (size_t)length);
        if (rc != TBL_ERR_FAIL) return rc;
        rc = TBL_OK;
    }
    if (rc == TBL_OK) {
        rc = ReplacePiece(table, text, n, column, value, (size_t)length, 0, &next,
                          &at, &stored);
        if (rc == TBL_ERR_RANGE)
            rc = ReplacePiece(table, text, n, column, value, (size_t)length, 1, &next,
                              &at, &stored);
    }
    TextBufferFree(&copy);
    if (rc != TBL_OK) return rc;

    /* Line 0 names the columns: its new field renames its column too, to
     * the stored text written there, exactly as an open would read it.
     * Prepared before the store, so that nothing can fail after the line
     * has changed. */
    int32_t position = LinePosition(table, line, kind);
    ColumnRecord *renamed = position == 0 ? GetColumnRecord(table, column) : NULL;
    if (renamed && (TextBufferNew(&name) != TBL_OK ||
                    TextBufferSetLength(&name, next + at, stored) != TBL_OK)) {
        TextBufferFree(&name);
        TextBufferFree(&next);
        return TBL_ERR_NO_MEMORY;
    }
    CacheForget(table);
    MarksForget(table, position);
    table->store.ops->replace_line(&table->store, position, &next);
    TAVL_ASSERT(!next);
    if (renamed) {
        TextBufferFree(&renamed->name);
        renamed->name = name;
        NamesDrop(table);
    }
    return TBL_OK;
}

int CellWriteByName(TableHandle *table, const char *name, int32_t line,
                    const char *value, int32_t length) {
    int rc = Usable(table);
    if (rc != TBL_OK) return rc;
    if (!TakesChanges(table)) return TBL_ERR_MODE;
    int32_t column;
    rc = ColumnIndexGet(table, name, &column);
    if (rc != TBL_OK) return rc;
    return CellWrite(table, column, line, value, length, LINE_DATA);
}

int RowAppendEmpty(TableHandle *table) {
    int rc = Usable(table);
    if (rc != TBL_OK) return rc;
    if (!TakesChanges(table)) return TBL_ERR_MODE;
    rc = table->store.ops->append_row(&table->store, table->columns);
    if (rc == TBL_OK) table->data_lines++;
    return rc;
}

int LineCountGet(TableHandle *table, int32_t *count) {
    int rc = Usable(table);
    if (rc != TBL_OK) return rc;
    if (!count) return TBL_ERR_RANGE;
    *count = table->data_lines;
    return TBL_OK;
}

/* ---- Invariants --------------------------------------------------------- */

/* A look at the stored text of the line at position for a check: nothing
 * is allocated (a check must not change what an allocation sweep counts)
 * and nothing noted. TBL_OK; TBL_ERR_NO_MEMORY for a line that cannot be
 * read in place, which a check then leaves unchecked; else no such line. */
static int LookAtLine(TableHandle *table, int32_t position, const char **text,
                      size_t *n) {
    return table->store.ops->line(&table->store, position, text, n, NULL);
}

/* The column list against the counts and against line 0. */
static const char *CheckColumns(TableHandle *table) {
    if (!table->column_list) return "an open table without a column list";
    if (table->columns < 0) return "a negative column count";
    if (RecordListCount(table->column_list) != table->columns)
        return "a column list of another length than the column count";
    if (table->columns == 0) return NULL;
    const char *text = NULL;
    size_t n = 0;
    int rc = LookAtLine(table, 0, &text, &n);
    if (rc == TBL_ERR_NO_MEMORY) return NULL;
    if (rc != TBL_OK) return "no line 0 to name the columns";
    /* One walk over line 0, piece by piece. */
    size_t at = 0, start, span;
    for (int32_t i = 0;
         i < table->columns && NextPiece(text, n, table->store.delimiter, &at, &start, &span);
         i++) {
        const ColumnRecord *column = GetColumnRecord(table, i);
        if (!column || column->index != i || !column->name)
            return "a column record out of its slot";
        if (strlen(column->name) != span || memcmp(column->name, text + start, span) != 0)
            return "a column name that is not its piece of line 0";
    }
    return NULL;
}

/* The name index, where made, against the column list: each column's
 * name leads to the first column that bears it. */
static const char *CheckNames(TableHandle *table) {
    if (!table->names.slots) return NULL;
    for (int32_t i = 0; i < table->columns; i++) {
        const char *name = ColumnName(table, i);
        int32_t found = FindColumn(table, name);
        if (found < 0 || found > i || strcmp(ColumnName(table, found), name) != 0)
            return "a name index that does not lead to the first column of a name";
    }
    return NULL;
}

/* The marks of the cached line: each lies just past a D of it. */
static const char *CheckMarks(TableHandle *table) {
    const PieceMarks *marks = &table->marks;
    const LineCache *cache = &table->cache;
    if (!marks->starts || cache->position < 0 || cache->position >= marks->lines)
        return NULL;
    const uint32_t *line = marks->starts + (size_t)cache->position * (size_t)marks->per_line;
    for (int32_t k = 0; k < marks->per_line; k++) {
        uint32_t start = line[k] - 1u;
        if (line[k] && (start == 0 || start > cache->length ||
                        cache->text[start - 1] != table->store.delimiter))
            return "a mark in a line that is not just past a delimiter";
    }
    return NULL;
}

/* The line cache against the line it holds. */
static const char *CheckCache(TableHandle *table) {
    const LineCache *cache = &table->cache;
    if (cache->capacity < table->columns) return "a line cache without room for every column";
    if (cache->bounds && cache->bounds[0] != UINT32_MAX) return "a line cache without its first bound";
    if (cache->position < 0) return NULL;
    const char *text = NULL;
    size_t n = 0;
    int rc = LookAtLine(table, cache->position, &text, &n);
    /* A line read in a copy, or a mapped line whose data file has changed
     * since it was read, is left unchecked. */
    if (rc == TBL_ERR_NO_MEMORY || rc == TBL_ERR_INDEX_OPEN) return NULL;
    if (rc != TBL_OK) return "a line cache holding a line the table has not";
    /* A line read in place is the same line where it is the same bytes. */
    if (n != cache->length || (text != cache->text && memcmp(text, cache->text, n) != 0))
        return "a line cache holding another text than its line";
    return NULL;
}

/* The line the back-end's read keeps: a data line of the table, read in
 * place, whose known field ends rise and lie inside its window. */
static const char *CheckMemo(TableHandle *table) {
    const ReadMemo *memo = &table->store.memo;
    if (memo->position < 0) return NULL;
    if (memo->position < table->store.header_lines ||
        memo->position >= table->store.header_lines + table->data_lines)
        return "a kept line the table has not among its data lines";
    if (memo->count < 0 || memo->count > SELECT_FIELDS) return "a kept line with too many ends";
    for (int32_t k = 0; k < memo->count; k++)
        if (memo->ends[k] <= FieldStart(memo->ends, k) || memo->ends[k] > SELECT_WINDOW)
            return "a kept line whose field ends do not rise inside its window";
    const char *text = NULL;
    size_t n = 0;
    int rc = LookAtLine(table, memo->position, &text, &n);
    if (rc == TBL_ERR_NO_MEMORY || rc == TBL_ERR_INDEX_OPEN) return NULL;
    if (rc != TBL_OK || text != memo->line) return "a kept line that is not where its line lies";
    return NULL;
}

const char *TableCheck(TableHandle *table, int depth) {
    if (!table) return NULL;
    const TableStore *store = &table->store;
    switch (table->state) {
    case HANDLE_NEW:
        if (store->ops || table->column_list || table->columns || table->data_lines ||
            table->cache.bounds || table->cache.position != -1 || table->names.slots ||
            table->marks.starts)
            return "a new handle that is not empty";
        return NULL;
    case HANDLE_OPEN: {
        if (!store->ops) return "an open table without a back-end";
        if (store->ops != BackEndFor(store->mode)) return "a back-end of another open mode";
        const char *broken = NULL;
        if (depth == TABLE_CHECK_ALL) broken = CheckColumns(table);
        if (!broken && depth == TABLE_CHECK_ALL) broken = CheckNames(table);
        if (!broken && depth == TABLE_CHECK_ALL) broken = CheckMarks(table);
        if (!broken) broken = CheckCache(table);
        if (!broken) broken = CheckMemo(table);
        const TableShape shape = {table->columns, table->data_lines};
        if (!broken) broken = store->ops->check(store, &shape, depth == TABLE_CHECK_ALL);
        return broken;
    }
    case HANDLE_FAILED:
        return store->ops ? NULL : "a failed open without a back-end";
    case HANDLE_CLOSED:
        if (table->column_list) return "a closed table with a column list";
        if (table->cache.bounds || table->cache.copy) return "a closed table with a line cache";
        if (table->names.slots) return "a closed table with a name index";
        if (table->marks.starts) return "a closed table with marks in its lines";
        return store->ops ? store->ops->check(store, NULL, 0) : NULL;
    }
    return "a handle in no known state";
}
