/*
 * update.h - the loaded back-end of OPEN_EDIT and OPEN_PREVIEW: the whole
 * file (or its first 100 lines) held as one RowRecord per line, fetched and
 * replaced by line number, and written back by the save.
 */
#ifndef TAVL_UPDATE_H
#define TAVL_UPDATE_H

#include <stdint.h>

#include "table/tavl_handle.h"

/* One line of a loaded table, without its line end. */
typedef struct RowRecord {
    int32_t line;               /* its position in the row list */
    char *text;                 /* TextBuffer, stored form */
} RowRecord;

int TableFileLoad(TableHandle *table, const char *path);
int FetchLoadedRow(TableHandle *table, int32_t number, char **output,
                   int32_t kind);
int StoreLoadedRow(TableHandle *table, int32_t number, const char *text,
                   int32_t kind);
int TableFileSave(TableHandle *table, const char *path);
int TableFileClose(TableHandle *table);
void TableListsRelease(TableHandle *table);

/* Fields of a line as the load counts them (a delimiter counts only where
 * an even number of quotes stand before it); *quoted, when given, receives
 * 1 when the line ends inside quotes. A changed line must still count the
 * column count, or the saved file would not load again. */
int32_t LoadedFieldCount(const char *text, char delimiter, int *quoted);

/* RowRecord destructor of the row list. */
int RowRecordFree(void *record);

ColumnRecord *GetColumnRecord(const TableHandle *table, int32_t index);
RowRecord *GetRowRecord(const TableHandle *table, int32_t position);
int IsLastColumn(const TableHandle *table, int32_t index);
int32_t NextRowLineNumber(const TableHandle *table);
int32_t GetDataLineCount(const TableHandle *table);

#endif /* TAVL_UPDATE_H */
