/*
 * exports.cpp - the 30 exported functions of tavlin32.
 *
 * Each is a thin wrapper with C linkage over the routine that does its work
 * (tavl_op.h for tables, columns and cells; index_file for index files), so the
 * export table is all this file holds. On Windows it also holds the entry
 * point, which only turns off the per-thread notifications: the library has
 * no per-thread state.
 */
#include "tavlin32.h"

#include "base/tavlbits.h"
#include "base/tavlhost.h"
#include "store/backend.h"
#include "table/tavl_op.h"

/* Where TAVL_TABLE_CHECKS is defined (debug, sanitizer and fuzz builds),
 * every call that takes a handle verifies the handle's invariants as it
 * returns, and stops the process when one is broken: Checked after the
 * calls that only read, CheckedAll after those that may change the table
 * or the handle. */
#if defined(TAVL_TABLE_CHECKS)
#  if !defined(TAVL_ASSERTIONS)
#    error "TAVL_TABLE_CHECKS needs TAVL_ASSERTIONS"
#  endif
static int32_t CheckedTo(TableHandle *table, int32_t rc, int depth) {
    const char *broken = TableCheck(table, depth);
    if (broken) TavlAssertFailed(broken, __FILE__, __LINE__);
    return rc;
}
#else
static inline int32_t CheckedTo(TableHandle *table, int32_t rc, int depth) {
    (void)table;
    (void)depth;
    return rc;
}
#endif
static inline int32_t Checked(TableHandle *table, int32_t rc) {
    return CheckedTo(table, rc, TABLE_CHECK_READ);
}
static inline int32_t CheckedAll(TableHandle *table, int32_t rc) {
    return CheckedTo(table, rc, TABLE_CHECK_ALL);
}

/* ---- Handle and file ---------------------------------------------------- */

extern "C" TAVL_API int32_t NewTable(TableHandle **out) {
    int32_t rc = TableNew(out);
    return CheckedAll(out ? *out : NULL, rc);
}

extern "C" TAVL_API int32_t FreeTable(TableHandle *table) { return TableFree(table); }

extern "C" TAVL_API int32_t CreateTable(const char *path, char delimiter) {
    return TableCreateFile(path, delimiter);
}

extern "C" TAVL_API int32_t TableExist(const char *path) {
    return TableFileExists(path);
}

extern "C" TAVL_API int32_t OpenTable(const char *path, TableHandle *table,
                                      int32_t mode, const char *delimiter,
                                      const int32_t *header_lines,
                                      const char *index_dir) {
    return CheckedAll(table, TableOpen(path, table, mode, delimiter, header_lines, index_dir, 0));
}

extern "C" TAVL_API int32_t OpenTableUnique(const char *path, TableHandle *table,
                                            int32_t mode, const char *delimiter,
                                            const int32_t *header_lines,
                                            const char *index_dir,
                                            int32_t unique) {
    return CheckedAll(table, TableOpen(path, table, mode, delimiter, header_lines, index_dir,
                     unique));
}

extern "C" TAVL_API int32_t SaveTable(TableHandle *table, const char *path) {
    return CheckedAll(table, TableSave(table, path));
}

extern "C" TAVL_API int32_t CloseTable(TableHandle *table) {
    return CheckedAll(table, TableClose(table));
}

/* ---- Indexed tables ----------------------------------------------------- */

extern "C" TAVL_API int32_t PreOpenTable(const char *path, const char *index_dir,
                                         const char *delimiter,
                                         const int32_t *header_lines,
                                         int32_t overwrite) {
    return PrepareIndexFile(path, index_dir, delimiter, header_lines, overwrite, 0);
}

extern "C" TAVL_API int32_t PreOpenTableUnique(const char *path,
                                               const char *index_dir,
                                               const char *delimiter,
                                               const int32_t *header_lines,
                                               int32_t overwrite, int32_t unique) {
    return PrepareIndexFile(path, index_dir, delimiter, header_lines, overwrite,
                            unique);
}

extern "C" TAVL_API int32_t PostCloseTable(const char *path, const char *index_dir) {
    return RemoveIndexFile(path, nullptr, nullptr, index_dir, 0);
}

extern "C" TAVL_API int32_t PostCloseTableUnique(const char *path,
                                                 const char *delimiter,
                                                 const int32_t *header_lines,
                                                 const char *index_dir,
                                                 int32_t unique) {
    return RemoveIndexFile(path, delimiter, header_lines, index_dir, unique);
}

extern "C" TAVL_API int32_t GetNumberOfLinesEx(const char *path,
                                               const char *delimiter,
                                               const int32_t *subtract) {
    return CountFileLines(path, delimiter, subtract);
}

/* ---- Columns ------------------------------------------------------------ */

extern "C" TAVL_API int32_t GetColumnCount(TableHandle *table, int32_t *count) {
    return Checked(table, ColumnCountGet(table, count));
}

extern "C" TAVL_API int32_t GetColumnIndex(TableHandle *table, const char *name,
                                           int32_t *index) {
    return Checked(table, ColumnIndexGet(table, name, index));
}

extern "C" TAVL_API int32_t GetColAttrByIndex(TableHandle *table, int32_t column,
                                              const char *attribute, char *value,
                                              int32_t *value_length,
                                              uint32_t size) {
    return Checked(table, ColumnAttrByIndex(table, column, attribute, value, value_length, size));
}

extern "C" TAVL_API int32_t GetColAttrByName(TableHandle *table, const char *name,
                                             const char *attribute, char *value,
                                             int32_t *value_length,
                                             uint32_t size) {
    return Checked(table, ColumnAttrByName(table, name, attribute, value, value_length, size));
}

extern "C" TAVL_API int32_t GetColHeadSizeByIndex(TableHandle *table,
                                                  int32_t column) {
    return Checked(table, ColumnHeadSizeByIndex(table, column));
}

extern "C" TAVL_API int32_t GetColHeadSizeByName(TableHandle *table,
                                                 const char *name) {
    return Checked(table, ColumnHeadSizeByName(table, name));
}

extern "C" TAVL_API int32_t CreateColumn(TableHandle *table, int32_t position,
                                         const char *name) {
    return CheckedAll(table, ColumnAppend(table, position, name));
}

/* ---- Cells and rows ----------------------------------------------------- */

extern "C" TAVL_API int32_t GetCellValByIndex(TableHandle *table, int32_t column,
                                              int32_t line, char *buffer,
                                              int32_t *out_length,
                                              int32_t buffer_length) {
    return Checked(table, CellReadDataInline(table, column, line, buffer, out_length,
                                             buffer_length));
}

extern "C" TAVL_API int32_t GetCellValByName(TableHandle *table, const char *name,
                                             int32_t line, char *buffer,
                                             int32_t *out_length,
                                             int32_t buffer_length) {
    return Checked(table, CellReadByName(table, name, line, buffer, out_length, buffer_length));
}

extern "C" TAVL_API int32_t GetHeadCellValByIndex(TableHandle *table,
                                                  int32_t column, int32_t line,
                                                  char *buffer,
                                                  int32_t *out_length,
                                                  int32_t buffer_length) {
    return Checked(table, CellRead(table, column, line, buffer, out_length, buffer_length,
                                   LINE_HEADER));
}

extern "C" TAVL_API int32_t GetCellSizeByIndex(TableHandle *table, int32_t column,
                                               int32_t line) {
    return Checked(table, CellSize(table, column, line));
}

extern "C" TAVL_API int32_t GetCellSizeByName(TableHandle *table, const char *name,
                                              int32_t line) {
    return Checked(table, CellSizeByName(table, name, line));
}

extern "C" TAVL_API int32_t SetCellValByIndex(TableHandle *table, int32_t column,
                                              int32_t line, const char *value,
                                              int32_t length) {
    return CheckedAll(table, CellWrite(table, column, line, value, length, LINE_DATA));
}

extern "C" TAVL_API int32_t SetCellValByName(TableHandle *table, const char *name,
                                             int32_t line, const char *value,
                                             int32_t length) {
    return CheckedAll(table, CellWriteByName(table, name, line, value, length));
}

extern "C" TAVL_API int32_t SetHeadCellValByIndex(TableHandle *table,
                                                  int32_t column, int32_t line,
                                                  const char *value,
                                                  int32_t length) {
    return CheckedAll(table, CellWrite(table, column, line, value, length, LINE_HEADER));
}

extern "C" TAVL_API int32_t CreateRow(TableHandle *table) {
    return CheckedAll(table, RowAppendEmpty(table));
}

extern "C" TAVL_API int32_t GetLineCount(TableHandle *table, int32_t *count) {
    return Checked(table, LineCountGet(table, count));
}

#if defined(_WIN32)
/* Loading and unloading do nothing else: all work happens inside calls. */
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) (void)DisableThreadLibraryCalls(instance);
    return TRUE;
}
#endif
