/*
 * tavl_handle.h - the records of the table layer: the TableHandle with its
 * states, the ColumnRecord and the line kinds; the small rules every file
 * of the layer shares (whether a handle may be used or changed, where a
 * line lies); and the column list's calls (columns.cpp).
 */
#ifndef TAVL_HANDLE_H
#define TAVL_HANDLE_H

#include <stdint.h>

#include "base/record_list.h"
#include "base/tavlbits.h"
#include "store/backend.h"
#include "table/line_view.h"
#include "tavlin32.h"

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
 *   NEW     every field is zero but the line view's, which holds no line;
 *           no back-end is chosen. The handle answers as an empty
 *           OPEN_INDEXED table.
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

/* TBL_OK when the handle holds a table that may be used: an open one, or
 * one fresh from NewTable (an empty OPEN_INDEXED table). */
static inline int Usable(const TableHandle *table) {
    if (!table) return TBL_ERR_BAD_HANDLE;
    return (table->state == HANDLE_OPEN || table->state == HANDLE_NEW)
               ? TBL_OK
               : TBL_ERR_BAD_HANDLE;
}

/* 1 when the table may be changed: its back-end takes changes. A fresh
 * handle has none and answers as a read-only table. */
static inline int TakesChanges(const TableHandle *table) {
    return table->store.ops && table->store.ops->takes_changes(&table->store);
}

static inline int CellInRange(const TableHandle *table, int32_t column, int32_t line,
                              int32_t kind) {
    if (column < 0 || line < 0 || column >= table->columns) return 0;
    return line < (kind == LINE_DATA ? table->data_lines : table->store.header_lines);
}

/* The table position of a cell's line, which fits: the cell is in range. */
static inline int32_t CellPosition(const TableHandle *table, int32_t line, int32_t kind) {
    TAVL_ASSERT(line >= 0 && line < (kind == LINE_DATA ? table->data_lines
                                                       : table->store.header_lines));
    return kind == LINE_DATA ? line + table->store.header_lines : line;
}

/* The stored text of the line at position where it lies, or in *copy (a
 * TextBuffer the caller frees) where it cannot be read in place: TBL_OK,
 * TBL_ERR_FAIL for no such line, TBL_ERR_NO_MEMORY. With a null copy it is
 * a look for a check, which allocates (a check must not change what an
 * allocation sweep counts) and notes nothing: a line that cannot be read in
 * place answers TBL_ERR_NO_MEMORY, and the check leaves it unchecked. */
static inline int StoredLine(TableHandle *table, int32_t position, const char **text,
                             size_t *length, char **copy) {
    TAVL_ASSERT(table->store.ops && position >= 0);
    return table->store.ops->line(&table->store, position, text, length, copy);
}

/* ---- The column list and its name index (columns.cpp) ---- */

/* A record for column index named name (null: the empty name), or null
 * without memory; ColumnRecordFree releases one (the list's release). */
ColumnRecord *ColumnRecordNew(const char *name, int32_t index);
int ColumnRecordFree(void *record);

/* Fills the empty column list from line 0: TBL_OK, TBL_ERR_NO_MEMORY, or
 * TBL_ERR_CREATE for a table without a line 0 to read. */
int BuildColumnList(TableHandle *table);

/* The record of column index (in range). */
static inline ColumnRecord *ColumnRecordAt(const TableHandle *table, int32_t index) {
    TAVL_ASSERT(index >= 0 && index < RecordListCount(table->column_list));
    return (ColumnRecord *)RecordListGet(table->column_list, index);
}

/* The name of a column (the record's own text), or null outside. */
const char *ColumnName(const TableHandle *table, int32_t column);

/* The first column named name, or -1. */
int32_t FindColumn(TableHandle *table, const char *name);

/* The column of a name for the operations by name: TBL_OK with *column;
 * TBL_ERR_BAD_HANDLE; TBL_ERR_RANGE for no such column (or no name). */
int NamedColumn(TableHandle *table, const char *name, int32_t *column);

/* Drops the name index: every change of a name or of the column count. */
void NamesDrop(TableHandle *table);

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
