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

/* Lines the row list holds, header lines included. */
int32_t LoadedLineCount(const TableHandle *table);

/* The stored text of the line at a row list position, where it lies (never
 * null for a held line), or null when the table holds no such line. */
const char *LoadedLineText(const TableHandle *table, int32_t position);

/* Gives every held line one more field, all or nothing: a line p for which
 * replace[p] is set takes that text whole (the back-end owns it then and
 * clears the entry); every other line gets first_suffix (line 0) or suffix
 * appended. TBL_OK; TBL_ERR_NO_MEMORY with every line as it was and the
 * replacements still the caller's. replace may be null. */
int LoadedAppendField(TableHandle *table, const char *first_suffix,
                      const char *suffix, char **replace);

/* Appends a data line of empty cells (column count - 1 delimiters) and
 * counts it. TBL_OK or TBL_ERR_NO_MEMORY (nothing added). */
int LoadedAppendRow(TableHandle *table);

/* RowRecord destructor of the row list. */
int RowRecordFree(void *record);

ColumnRecord *GetColumnRecord(const TableHandle *table, int32_t index);
RowRecord *GetRowRecord(const TableHandle *table, int32_t position);
int IsLastColumn(const TableHandle *table, int32_t index);
int32_t NextRowLineNumber(const TableHandle *table);
int32_t GetDataLineCount(const TableHandle *table);

#endif /* TAVL_UPDATE_H */
