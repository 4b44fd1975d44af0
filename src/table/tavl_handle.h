/*
 * tavl_handle.h - the records every layer of the library shares: the
 * TableHandle, the ColumnRecord and the line kinds.
 */
#ifndef TAVL_HANDLE_H
#define TAVL_HANDLE_H

#include <stdint.h>
#include <stdio.h>

#include "base/dyn_ary.h"

/* Line kinds: with LINE_DATA a line number counts data lines (data line L is
 * table line H + L); any other value means the table line itself. */
#define LINE_HEADER 0
#define LINE_DATA   1

/* State of a loaded table's file stream. */
#define STREAM_ABSENT 0 /* never opened: the load could not open the file */
#define STREAM_OPEN   1 /* open in the stream field */
#define STREAM_CLOSED 2 /* was open; a save or a close closed it */

/* Life of a handle, so that nothing reaches released lists. */
#define HANDLE_NEW    0 /* fresh from NewTable: an empty table */
#define HANDLE_OPEN   1 /* open succeeded */
#define HANDLE_FAILED 2 /* open failed after its checks; only close/free/open */
#define HANDLE_CLOSED 3 /* CloseTable ran */

struct TableHandle {
    int32_t columns;            /* column count */
    int32_t data_lines;         /* data line count (may be negative) */
    SparseArray *column_list;   /* ColumnRecords, slot i = column i */
    FILE *stream;               /* loaded modes: the data file while open */
    SparseArray *row_list;      /* loaded modes: RowRecords, slot n = line n */
    int32_t mode;               /* OPEN_INDEXED, OPEN_EDIT, OPEN_PREVIEW */
    char delimiter;
    int32_t header_lines;       /* H */
    int32_t unique;             /* index file name includes H and D when != 0 */
    const char *data_view;      /* OPEN_INDEXED: the data file, read-only */
    uint32_t data_size;
    const uint32_t *index_view; /* OPEN_INDEXED: the index file's words */
    uint32_t index_size;
    int32_t stream_state;       /* STREAM_* */
    int32_t byte_order_mark;    /* loaded modes: the file began with one */
    int32_t state;              /* HANDLE_* */
};
typedef struct TableHandle TableHandle;

/* One column: its name in stored form and its index (= its slot). */
typedef struct ColumnRecord {
    char *name;                 /* TextBuffer */
    int32_t index;
} ColumnRecord;

#endif /* TAVL_HANDLE_H */
