/*
 * invariants.cpp - TableCheck: whether a handle keeps the invariants of its
 * state (tavl_handle.h), for the debug and sanitizer builds, which check
 * every handle after every exported call that takes one.
 *
 * Guarantees. A check changes nothing, allocates nothing (an allocation
 * sweep counts the same points with checks or without) and reads only
 * lines that lie in place; one that would need a copy is left unchecked.
 */
#include <string.h>

#include "table/tavl_handle.h"

/* The column list against the counts and against line 0. */
static const char *CheckColumns(TableHandle *table) {
    if (!table->column_list) return "an open table without a column list";
    if (table->columns < 0) return "a negative column count";
    if (RecordListCount(table->column_list) != table->columns)
        return "a column list of another length than the column count";
    if (table->columns == 0) return NULL;
    const char *text = NULL;
    size_t n = 0;
    int rc = StoredLine(table, 0, &text, &n, NULL);
    if (rc == TBL_ERR_NO_MEMORY) return NULL;
    if (rc != TBL_OK) return "no line 0 to name the columns";
    /* One walk over line 0, piece by piece. */
    size_t at = 0, start, span;
    for (int32_t i = 0;
         i < table->columns && NextPiece(text, n, table->store.delimiter, &at, &start, &span);
         i++) {
        const ColumnRecord *column = ColumnRecordAt(table, i);
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
    int rc = StoredLine(table, memo->position, &text, &n, NULL);
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
        if (!broken) broken = LineViewCheck(table, depth);
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
