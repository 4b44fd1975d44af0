/*
 * tavl_op.h - the table operations behind the exports, one routine each
 * (handle.cpp, columns.cpp, cells.cpp, writes.cpp), and the data cell
 * read's usual cases inline, in the export's own code.
 */
#ifndef TAVL_OP_H
#define TAVL_OP_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "base/tavlbits.h"
#include "codec/field_select.h"
#include "table/tavl_handle.h"
#include "tavlin32.h"

/* The work behind the exported operations, one routine each (the exports
 * are thin wrappers). Each checks its handle and arguments itself and
 * returns the code or number the export returns. */
int TableNew(TableHandle **out);
int TableFree(TableHandle *table);
int TableCreateFile(const char *path, char delimiter);
int TableFileExists(const char *path);
int TableOpen(const char *path, TableHandle *table, int32_t mode,
              const char *delimiter, const int32_t *header_lines,
              const char *index_dir, int32_t unique);
int TableSave(TableHandle *table, const char *path);
int TableClose(TableHandle *table);

int ColumnCountGet(TableHandle *table, int32_t *count);
int ColumnIndexGet(TableHandle *table, const char *name, int32_t *index);
int ColumnAttrByIndex(TableHandle *table, int32_t column,
                      const char *attribute, char *value,
                      int32_t *value_length, uint32_t size);
int ColumnAttrByName(TableHandle *table, const char *name,
                     const char *attribute, char *value,
                     int32_t *value_length, uint32_t size);
int ColumnHeadSizeByIndex(TableHandle *table, int32_t column);
int ColumnHeadSizeByName(TableHandle *table, const char *name);
int ColumnAppend(TableHandle *table, int32_t position, const char *name);

/* Cells: kind is LINE_DATA or LINE_HEADER. */
int CellRead(TableHandle *table, int32_t column, int32_t line, char *buffer,
             int32_t *out_length, int32_t buffer_length, int32_t kind);

/* A data cell read (GetCellValByIndex), with the usual cases in the
 * caller's own code, for a buffer of at least SELECT_COPY bytes: a cell of
 * the line the back-end's read keeps, whose field ends it took out (a host
 * reading a line cell by cell; the kept line is a data line of an open
 * table, so its position alone proves the line in range), else for a cell
 * in range the back-end's read, which hands what it leaves to the general
 * read. Every other read goes to CellReadRest: a plain cell of the line
 * the general read keeps, else CellReadData, the general read, which also
 * makes every check in the order of its codes. CellReadGeneral is
 * CellReadRest as the store's general read. */
int CellReadGeneral(TableStore *store, int32_t column, int32_t line, char *buffer,
                    int32_t *out_length, int32_t buffer_length);
int CellReadRest(TableHandle *table, int32_t column, int32_t line, char *buffer,
                 int32_t *out_length, int32_t buffer_length);
int CellReadData(TableHandle *table, int32_t column, int32_t line, char *buffer,
                 int32_t *out_length, int32_t buffer_length);
static inline int CellReadDataInline(TableHandle *table, int32_t column, int32_t line,
                                     char *buffer, int32_t *out_length,
                                     int32_t buffer_length) {
    if (table && buffer && out_length && line >= 0 && buffer_length >= SELECT_COPY) {
        const ReadMemo *memo = &table->store.memo;
        if ((uint32_t)line + (uint32_t)table->store.header_lines == (uint32_t)memo->position &&
            (uint32_t)column < (uint32_t)memo->count &&
            (uint32_t)column < (uint32_t)table->columns) {
            const uint32_t start = FieldStart(memo->ends, column);
            const uint32_t n = memo->ends[column] - 1u - start;
            if (n < SELECT_COPY) {
                TAVL_ASSERT(table->state == HANDLE_OPEN && line < table->data_lines);
                memcpy(buffer, memo->line + start, SELECT_COPY);
                buffer[n] = '\0';
                *out_length = (int32_t)n + 1;
                return TBL_OK;
            }
        }
        if (table->state == HANDLE_OPEN && (uint32_t)column < (uint32_t)table->columns &&
            line < table->data_lines)
            return table->store.read(&table->store, column, line, buffer, out_length,
                                     buffer_length);
    }
    return CellReadRest(table, column, line, buffer, out_length, buffer_length);
}
int CellReadByName(TableHandle *table, const char *name, int32_t line,
                   char *buffer, int32_t *out_length, int32_t buffer_length);
int CellSize(TableHandle *table, int32_t column, int32_t line);
int CellSizeByName(TableHandle *table, const char *name, int32_t line);
int CellWrite(TableHandle *table, int32_t column, int32_t line,
              const char *value, int32_t length, int32_t kind);
int CellWriteByName(TableHandle *table, const char *name, int32_t line,
                    const char *value, int32_t length);
int RowAppendEmpty(TableHandle *table);
int LineCountGet(TableHandle *table, int32_t *count);

#endif /* TAVL_OP_H */
