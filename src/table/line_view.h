/*
 * line_view.h - the table layer's view of its lines: the line read last,
 * with the bounds of its pieces as far as reads needed them (LineCache),
 * and marks in the lines of wide tables (PieceMarks).
 *
 * The view owns both records. It is told of every change of the table's
 * lines through one call, LineViewChanged, which the writes make before
 * they hand a change to the back-end; so no change can leave the view
 * holding bytes or offsets the table no longer has. The rule that lets a
 * read copy a cached piece as it stands (LineViewPlain) and the one that
 * sets it after a walk (LineViewSetPlain) are both here.
 */
#ifndef TAVL_LINE_VIEW_H
#define TAVL_LINE_VIEW_H

#include <stddef.h>
#include <stdint.h>

#include "base/tavlbits.h"
#include "codec/tavl_codec.h"
#include "tavlin32.h"

/* The line read last, and the bounds of its pieces as far as reads needed
 * them: the cell reads of one line, in any order, walk it once. */
typedef struct LineCache {
    int32_t position;           /* the table line held; -1: none */
    int32_t from;               /* the first piece whose start is known:
                                   0, or where a walk began at a mark */
    int32_t ended;              /* pieces whose end is known: those from
                                   from up to ended - 1 */
    int32_t plain;              /* of those, the pieces before plain a read
                                   may copy as they stand (LineViewSetPlain) */
    int done;                   /* the whole line is walked */
    int probed;                 /* a read found a field of it */
    int special;                /* the bytes walked hold a quote or a
                                   backslash: pieces may need decoding */
    size_t walked;              /* bytes walked */
    const char *text;           /* where the back-end keeps it, or copy */
    size_t length;
    char *copy;                 /* a copy the back-end had to make, or null */
    int32_t capacity;           /* piece ends bounds can hold: columns + 64 */
    uint32_t *bounds;           /* bounds[k + 1]: where piece k ends (its
                                   separator, or the line's end); bounds[0]
                                   is UINT32_MAX, so that piece k starts at
                                   bounds[k] + 1 for every k */
} LineCache;

/* Marks in the lines of a wide table: where every stride-th piece of
 * each line starts, as walks learnt them, so that a read of a far column
 * of a line walks at most stride pieces, in whatever order a host reads
 * (column by column over all lines, say). Kept for tables of many columns
 * only, in at most about 5% of the table's bytes; a line's marks go with
 * every change of it, all of them with a new column, and where no memory
 * is to be had there are none. */
typedef struct PieceMarks {
    uint32_t *starts;           /* line p, mark k (k >= 1): the start of
                                   piece k * stride, plus 1; 0: unknown */
    int32_t stride;
    int32_t per_line;           /* marks a line has: (columns - 1) / stride */
    int32_t lines;              /* lines that have marks */
    int tried;                  /* made, or found impossible: not again */
} PieceMarks;

/* The view of a fresh handle (no line held, no marks); room in the cache
 * for a line of columns pieces (TBL_OK, or TBL_ERR_NO_MEMORY with the view
 * as it was); the release of all it holds, at the close. */
void LineViewReset(TableHandle *table);
int LineViewMakeRoom(TableHandle *table, int32_t columns);
void LineViewRelease(TableHandle *table);

/* The one call for every change of the table's lines, made before the
 * back-end changes them: the line at position changed, or with
 * LINE_VIEW_ALL every line and the column count. The view forgets the
 * line it holds and the marks of the changed lines. */
#define LINE_VIEW_ALL (-1)
void LineViewChanged(TableHandle *table, int32_t position);

/* Where the stored field of cell column (in range) of the line at table
 * position lies, through the cache; *plain is set when it decodes to
 * itself. TBL_OK; TBL_ERR_RANGE for a line without that piece or a line
 * the back-end cannot give; TBL_ERR_NO_MEMORY, TBL_ERR_INDEX_OPEN as the
 * back-end answers. The walk over the line goes as far as the cell's
 * piece, and what it learnt serves every later read of the line. */
int LineViewField(TableHandle *table, int32_t column, int32_t position,
                  const char **field, size_t *length, int *plain);

/* Null when the view agrees with the table (with TABLE_CHECK_ALL its
 * marks too); else what is broken. Allocates nothing. */
const char *LineViewCheck(TableHandle *table, int depth);

/* The cache's invariant: the known pieces [from, ended) lie in bounds, and
 * the plain ones [from, plain) among them, none past the column count. */
static inline int LineViewSound(const LineCache *cache, int32_t columns) {
    return cache->from >= 0 && cache->from <= cache->plain && cache->plain <= cache->ended &&
           cache->ended <= cache->capacity &&
           (cache->plain == cache->from || cache->plain <= columns);
}

/* After a walk: the pieces it ended may be copied as they stand while the
 * bytes walked hold no quote or backslash (up to the column count; the
 * walk may end pieces of a block past it), else none may. */
static inline void LineViewSetPlain(LineCache *cache, int32_t columns) {
    cache->plain = cache->special ? cache->from : cache->ended < columns ? cache->ended : columns;
    TAVL_ASSERT(LineViewSound(cache, columns));
}

/* 1 when piece column of the held line may be copied as it stands, its
 * bounds known: from <= column < plain, in one unsigned comparison (a
 * negative column wraps past plain). */
static TAVL_ALWAYS_INLINE int LineViewPlain(const LineCache *cache, int32_t column) {
    return (uint32_t)column - (uint32_t)cache->from < (uint32_t)(cache->plain - cache->from);
}

/* 1 when piece column of the held line has known bounds; where such a
 * piece starts (it ends at bounds[column + 1]). */
static inline int LineViewKnows(const LineCache *cache, int32_t column) {
    return column >= cache->from && column < cache->ended && column < cache->capacity;
}

static inline size_t LineViewStart(const LineCache *cache, int32_t column) {
    TAVL_ASSERT(LineViewKnows(cache, column));
    return (uint32_t)(cache->bounds[column] + 1u);
}

/* The next piece of the stored line text[0..n): the one that starts at
 * *at (0, or just past a separator). 1 with its place in *start and *span
 * and *at moved past it and its separator; 0 after the last piece. The
 * split rule looks only at a D's neighbours, and the byte before a piece
 * is a separator, never a quote, so the rest of a line splits as the whole
 * line does: a walk over every piece reads the line once. */
static inline int NextPiece(const char *text, size_t n, char d, size_t *at,
                            size_t *start, size_t *span) {
    size_t from = *at, first;
    if (from > n || !FindField(text + from, n - from, d, 0, &first, span)) return 0;
    *start = from;
    *at = from + *span + 1;
    return 1;
}

#endif /* TAVL_LINE_VIEW_H */
