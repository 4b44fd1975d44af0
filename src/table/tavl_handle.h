/*
 * tavl_handle.h - the records of the table layer: the TableHandle with its
 * states, the ColumnRecord and the line kinds.
 */
#ifndef TAVL_HANDLE_H
#define TAVL_HANDLE_H

#include <stdint.h>

#include "base/record_list.h"
#include "store/backend.h"

/* Line kinds: with LINE_DATA a line number counts data lines (data line L is
 * table line H + L); any other value means the table line itself. */
#define LINE_HEADER 0
#define LINE_DATA   1

/* The life of a handle. Its states, and the calls that move a handle from
 * one to another:
 *
 *   (none) -> NEW     [NewTable]
 *   NEW    -> OPEN    [OpenTable, OpenTableUnique: the back-end loaded or
 *                      mapped the file and the column list was built]
 *   NEW    -> FAILED  [an open that failed after its argument checks]
 *   NEW    -> CLOSED  [CloseTable]
 *   OPEN   -> CLOSED  [CloseTable]
 *   FAILED -> CLOSED  [CloseTable]
 *   OPEN, FAILED, CLOSED -> OPEN or FAILED
 *                     [an open: a handle that holds a table closes it first]
 *   any    -> (none)  [FreeTable]
 *
 * What holds in each (TableCheck verifies it):
 *   NEW     every field is zero; no back-end is chosen. The handle answers
 *           as an empty OPEN_INDEXED table.
 *   OPEN    a back-end holds the table: header_lines + data_lines lines,
 *           each splitting into columns fields. The column list holds
 *           columns records; record i has index i and the name piece i of
 *           line 0 gives. The line cache has room for columns pieces, and
 *           holds a line of the table as it is now, or none. The name index,
 *           where made, finds each column's name at the first column that
 *           bears it.
 *   FAILED  the back-end (and maybe part of the column list) holds what the
 *           open built before it failed, for CloseTable to release. Only the
 *           opens, CloseTable and FreeTable touch it.
 *   CLOSED  nothing is held: no column list, line cache or name index, the back-end
 *           released. The counts and the mode keep their values. Only the
 *           opens, CloseTable (which does nothing more) and FreeTable touch
 *           it.
 */
#define HANDLE_NEW    0
#define HANDLE_OPEN   1
#define HANDLE_FAILED 2
#define HANDLE_CLOSED 3

/* The line read last, and the bounds of its pieces as far as reads needed
 * them: the cell reads of one line, in any order, walk it once. Forgotten
 * by every change and by the close. */
typedef struct LineCache {
    int32_t position;           /* the table line held; -1: none */
    int32_t from;               /* the first piece whose start is known:
                                   0, or where a walk began at a mark */
    int32_t ended;              /* pieces whose end is known: those from
                                   from up to ended - 1 */
    int32_t plain;              /* of those, the pieces before plain a read
                                   may copy as they stand: up to ended (at
                                   most the column count) while the bytes
                                   walked hold no quote or backslash, else
                                   none (plain = from) */
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

/* The column names by hash, so that a lookup by name does not walk the
 * column list: an open-addressed table of column index + 1 (0: empty),
 * filled in column order, so that of equal names the first column is met
 * first. Made at the first lookup of a table of many columns and dropped
 * by every change of a name or of the column count; where it cannot be
 * made, lookups walk the list. */
typedef struct NameIndex {
    int32_t *slots;             /* null: none made */
    uint32_t mask;              /* slots - 1 (a power of two minus 1) */
} NameIndex;

struct TableHandle {
    int32_t columns;            /* column count */
    int32_t data_lines;         /* data line count (negative: fewer lines
                                   than header lines) */
    RecordList *column_list;   /* ColumnRecords, slot i = column i */
    int32_t state;              /* HANDLE_* */
    TableStore store;           /* the back-end and the open's parameters */
    LineCache cache;
    NameIndex names;
    PieceMarks marks;
};
typedef struct TableHandle TableHandle;

/* One column: its name in stored form and its index (= its slot). */
typedef struct ColumnRecord {
    char *name;                 /* TextBuffer */
    int32_t index;
} ColumnRecord;

/* How far TableCheck looks. After a read nothing a read leaves alone can
 * have changed: the column list is compared with line 0 only after the
 * calls that may change either (TABLE_CHECK_ALL: opens, writes, new rows
 * and columns, saves, closes), so that a read costs the check little. */
#define TABLE_CHECK_READ 0
#define TABLE_CHECK_ALL  1

/* Null when the handle keeps the invariants of its state; else a short
 * text saying what is broken. With TABLE_CHECK_ALL it reads the whole
 * column list and line 0. Allocates nothing. */
const char *TableCheck(TableHandle *table, int depth);

#endif /* TAVL_HANDLE_H */
