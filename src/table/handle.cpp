/*
 * handle.cpp - the life of a handle: new, open, save, close, free, and the
 * choice of back-end an open makes; the files a host makes or asks after.
 *
 * Guarantees. A handle moves only between the states tavl_handle.h draws,
 * and is used only in those that allow it: fresh from NewTable it is an
 * empty read-only table; after a failed open or a close only the opens,
 * CloseTable and FreeTable touch it, so nothing reaches a released list.
 * An open of a handle that holds a table closes it first; a close
 * releases everything the open built, the back-end last reporting.
 */
#include "table/tavl_op.h"

#include <stdio.h>

#include "base/tavlfile.h"
#include "base/tavlhost.h"

#define COLUMN_LIST_CAPACITY 50

/* Chooses the back-end of the handle's open mode (the one place the mode
 * does) and opens the file through it, setting the counts on success. */
static int LoadBackEnd(TableHandle *table, const char *path, const char *index_dir) {
    TAVL_ASSERT(!table->store.ops && table->state == HANDLE_FAILED);
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

int TableNew(TableHandle **out) {
    if (!out) return TBL_ERR_BAD_HANDLE;
    TableHandle *table = (TableHandle *)qmem_malloc(sizeof *table);
    *out = table;
    if (!table) return TBL_ERR_NO_MEMORY;
    memset(table, 0, sizeof *table); /* HANDLE_NEW, STREAM_ABSENT */
    LineViewReset(table);
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
        TAVL_ASSERT(table->store.ops);
        int rc = table->store.ops->close(&table->store);
        if (rc != TBL_OK) return rc;
        if (table->column_list) RecordListDestroy(&table->column_list);
        LineViewRelease(table);
        NamesDrop(table);
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
    LineViewReset(table);
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
        LineViewMakeRoom(table, table->columns) != TBL_OK)
        return TBL_ERR_BAD_HANDLE;
    table->state = HANDLE_OPEN;
    return TBL_OK;
}

int TableSave(TableHandle *table, const char *path) {
    if (!table || table->state != HANDLE_OPEN) return TBL_ERR_BAD_HANDLE;
    return table->store.ops->save(&table->store, path, table->columns);
}
