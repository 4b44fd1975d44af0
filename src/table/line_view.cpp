/*
 * line_view.cpp - the line read last and the marks in wide lines: how a
 * read finds the stored field of a cell without walking its line again.
 *
 * Guarantees. The cache holds a line of the table as it is now, or none:
 * every change reaches it through LineViewChanged before the back-end
 * makes it. Its known piece bounds are those the codec's walk gives, and
 * the pieces it lets a read copy as they stand hold no quote or backslash.
 * A mark lies just past a separator of its line. The view allocates only
 * its bounds (at the open and a new column) and its marks (once, where a
 * wide table is read); without memory for marks, reads walk instead.
 */
#include "table/line_view.h"

#include <string.h>

#include "base/tavlbuf.h"
#include "base/tavlhost.h"
#include "table/tavl_handle.h"

/* Tables of fewer columns walk a line from its start: that costs little. */
#define MARK_MIN_COLUMNS 128
#define MARK_MIN_STRIDE 16

/* ---- The line read last ------------------------------------------------ */

static void CacheForget(LineCache *cache) {
    cache->position = -1;
    TextBufferFree(&cache->copy);
}

void LineViewReset(TableHandle *table) {
    memset(&table->cache, 0, sizeof table->cache);
    memset(&table->marks, 0, sizeof table->marks);
    table->cache.position = -1;
}

int LineViewMakeRoom(TableHandle *table, int32_t columns) {
    LineCache *cache = &table->cache;
    TAVL_ASSERT(columns >= 0);
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

static void MarksDrop(PieceMarks *marks) {
    if (marks->starts) qmem_free(marks->starts);
    memset(marks, 0, sizeof *marks);
}

void LineViewRelease(TableHandle *table) {
    LineCache *cache = &table->cache;
    CacheForget(cache);
    if (cache->bounds) qmem_free(cache->bounds);
    cache->bounds = NULL;
    cache->capacity = 0;
    MarksDrop(&table->marks);
}

void LineViewChanged(TableHandle *table, int32_t position) {
    TAVL_ASSERT(position >= 0 || position == LINE_VIEW_ALL);
    CacheForget(&table->cache);
    PieceMarks *marks = &table->marks;
    if (position == LINE_VIEW_ALL)
        MarksDrop(marks);
    else if (marks->starts && position < marks->lines)
        memset(marks->starts + (size_t)position * (size_t)marks->per_line, 0,
               (size_t)marks->per_line * sizeof *marks->starts);
}

/* The line at a table position, in the cache. A line the back-end cannot
 * give is out of range, unless memory is short or the line is not where
 * its index says. */
static int CacheLine(TableHandle *table, int32_t position) {
    LineCache *cache = &table->cache;
    if (cache->position == position) return TBL_OK;
    if (cache->copy) TextBufferFree(&cache->copy);
    cache->position = -1;
    int rc = StoredLine(table, position, &cache->text, &cache->length, &cache->copy);
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

/* Makes the marks once, sized so that they take about 5% of the table's
 * bytes, judged by the line in the cache. 0 when there are none. */
static int MarksMake(TableHandle *table) {
    PieceMarks *marks = &table->marks;
    if (marks->starts) return 1;
    if (marks->tried || table->columns < MARK_MIN_COLUMNS) return 0;
    TAVL_ASSERT(table->cache.position >= 0);
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
    TAVL_ASSERT(marks->stride > 0 && cache->position >= 0);
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
    TAVL_ASSERT(cache->position >= 0 && column >= 0 && column < table->columns);
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

/* ---- Fields ------------------------------------------------------------ */

TAVL_NOINLINE int LineViewField(TableHandle *table, int32_t column, int32_t position,
                                const char **field, size_t *length, int *plain) {
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
            LineViewSetPlain(cache, table->columns);
            if (table->marks.starts) MarksNote(table, before);
        }
        if (column >= cache->ended) return TBL_ERR_RANGE;
        start = LineViewStart(cache, column);
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

/* ---- Invariants -------------------------------------------------------- */

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
    if (!LineViewSound(cache, table->columns))
        return "a line cache whose known pieces are out of order";
    const char *text = NULL;
    size_t n = 0;
    int rc = StoredLine(table, cache->position, &text, &n, NULL);
    /* A line read in a copy, or a mapped line whose data file has changed
     * since it was read, is left unchecked. */
    if (rc == TBL_ERR_NO_MEMORY || rc == TBL_ERR_INDEX_OPEN) return NULL;
    if (rc != TBL_OK) return "a line cache holding a line the table has not";
    /* A line read in place is the same line where it is the same bytes. */
    if (n != cache->length || (text != cache->text && memcmp(text, cache->text, n) != 0))
        return "a line cache holding another text than its line";
    return NULL;
}

const char *LineViewCheck(TableHandle *table, int depth) {
    const char *broken = depth == TABLE_CHECK_ALL ? CheckMarks(table) : NULL;
    return broken ? broken : CheckCache(table);
}
