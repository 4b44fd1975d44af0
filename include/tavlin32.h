/*
 * tavlin32.h - the public interface of tavlin32.
 *
 * tavlin32 reads and edits tables kept in delimited text files: one line per
 * record, fields separated by one delimiter byte (a comma unless the caller
 * names another), the first line holding the column names. A host opens a
 * file into a TableHandle, finds columns by name or index, reads and writes
 * cells, adds rows and columns and saves the file. A cell may hold any byte:
 * the library escapes the delimiter, the backslash and the control bytes
 * inside the line and undoes that when it hands a value back.
 *
 * Every function returns a signed 32-bit result: TBL_OK (0) or a negative
 * TBL_ERR_* code. GetColHeadSizeBy*, GetCellSizeBy* and GetNumberOfLinesEx
 * return a size or a count instead, and a negative code on failure.
 *
 * Calls the contract leaves open are refused with a negative code and never
 * touch released memory:
 *   - a null handle, or a handle that was closed (or whose open failed after
 *     its argument checks), yields TBL_ERR_BAD_HANDLE (-6), except where a
 *     function below says otherwise;
 *   - a null output pointer, a null buffer or a buffer length below 1 yields
 *     TBL_ERR_RANGE (-15); a null value with a length above 0, or a negative
 *     length, likewise.
 * A handle fresh from NewTable behaves as an empty OPEN_INDEXED table.
 *
 * The header compiles as C99 and as C++.
 */
#ifndef TAVLIN32_H
#define TAVLIN32_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(TAVLIN32_BUILD)
#    define TAVL_API __declspec(dllexport)
#  else
#    define TAVL_API __declspec(dllimport)
#  endif
#else
#  define TAVL_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* An open table. Its layout is private to the library. */
typedef struct TableHandle TableHandle;

/* Open modes. */
#define OPEN_INDEXED 0 /* mapped read-only through a prepared index file */
#define OPEN_EDIT    1 /* whole file in memory, saved back by SaveTable */
#define OPEN_PREVIEW 2 /* first 100 lines in memory, never saved */

/* Result codes: name, value and meaning, in one list. The enumeration
 * below, TblResultName and TblResultText are made from it, and the README's
 * table and the tavlin tool's messages are checked against it, so a code
 * means the same everywhere. -3, -12, -18 and -19 are not used. */
#define TBL_RESULT_CODES(X)                                                    \
    X(TBL_OK, 0, "success")                                                    \
    X(TBL_ERR_FAIL, -1, "the table has no first line to extend (CreateColumn)") \
    X(TBL_ERR_NO_FILE, -2, "the path is null or names no file")                \
    X(TBL_ERR_CREATE, -4, "the file could not be created (CreateTable)")       \
    X(TBL_ERR_SAVE_OPEN, -5,                                                   \
      "a save could not create, write or replace its file, or may not "        \
      "replace it; the old file is as it was")                                 \
    X(TBL_ERR_BAD_HANDLE, -6,                                                  \
      "null or closed handle, a table without a file stream, or column "       \
      "names that could not be read")                                          \
    X(TBL_ERR_MODE, -7, "not allowed in this open mode")                       \
    X(TBL_ERR_FORMAT, -8,                                                      \
      "a line has another field count than the first, or quotes that "         \
      "hide or make a delimiter; or the file could not be read, or has "       \
      "fewer lines than header lines")                                         \
    X(TBL_ERR_OPEN, -9, "the data file could not be opened for loading")      \
    X(TBL_ERR_NO_MEMORY, -10, "an allocation failed")                          \
    X(TBL_ERR_MAP, -11,                                                        \
      "internal: a file could not be mapped (reported as -22 or -25)")         \
    X(TBL_ERR_CLOSE, -13, "the table has no file stream to close")             \
    X(TBL_ERR_NO_COLUMN, -14, "no column has that name")                       \
    X(TBL_ERR_RANGE, -15,                                                      \
      "row or column out of range, a bad argument, a line that could not "     \
      "be fetched, or a value or column that could not be stored so that "     \
      "it reads back unchanged")                                               \
    X(TBL_ERR_SAVE_ROW, -16,                                                   \
      "a line could not be fetched while saving, or would be saved empty "     \
      "and lost on the next load; nothing was written")                        \
    X(TBL_ERR_ATTR, -17,                                                       \
      "unknown column attribute (name, index and head_size are known)")        \
    X(TBL_ERR_DELIMITER, -20,                                                  \
      "the delimiter is refused (NUL, backslash, LF, CR or the quote for an "  \
      "open; the backslash for CreateTable)")                                  \
    X(TBL_ERR_TRUNCATED, -21,                                                  \
      "the value was cut to fit the caller's buffer; the full size was "       \
      "reported")                                                              \
    X(TBL_ERR_MAP_DATA, -22,                                                   \
      "the data file could not be opened or mapped (an empty file cannot be)") \
    X(TBL_ERR_INDEX_BUILD, -23, "the index file could not be built or written") \
    X(TBL_ERR_INDEX_WRITE, -24,                                                \
      "internal: the index file could not be written (reported as -23)")       \
    X(TBL_ERR_INDEX_OPEN, -25,                                                 \
      "no index directory, or the index file is missing, unmappable or does "  \
      "not fit the data file")                                                 \
    X(TBL_ERR_INDEX_EXISTS, -26,                                               \
      "the index file exists and replacing it was not asked")                  \
    X(TBL_ERR_UNMAP, -27, "the data file could not be unmapped after indexing") \
    X(TBL_ERR_REMOVE, -28, "the index file could not be removed")

#define TBL_RESULT_ENUMERATOR(name, value, text) name = (value),
enum TblResult { TBL_RESULT_CODES(TBL_RESULT_ENUMERATOR) };
#undef TBL_RESULT_ENUMERATOR

/* The name of a result code ("TBL_ERR_RANGE" for -15), or null for a number
 * that is no code. Needs no call into the library. */
static inline const char *TblResultName(int32_t code)
{
#define TBL_RESULT_CASE(name, value, text) case (value): return #name;
    switch (code) { TBL_RESULT_CODES(TBL_RESULT_CASE) default: return 0; }
#undef TBL_RESULT_CASE
}

/* What a result code means, as one sentence without a final stop, or null
 * for a number that is no code. */
static inline const char *TblResultText(int32_t code)
{
#define TBL_RESULT_CASE(name, value, text) case (value): return text;
    switch (code) { TBL_RESULT_CODES(TBL_RESULT_CASE) default: return 0; }
#undef TBL_RESULT_CASE
}

/* ---- Handle and file ---------------------------------------------------- */

/* Allocates a zeroed handle into *out. A null out yields TBL_ERR_BAD_HANDLE. */
TAVL_API int32_t NewTable(TableHandle **out);

/* Gives the record back; releases nothing it points to (CloseTable first).
 * Always TBL_OK, also for a null handle. */
TAVL_API int32_t FreeTable(TableHandle *table);

/* Creates (or empties) the file at path. The backslash delimiter yields
 * TBL_ERR_DELIMITER; a null path TBL_ERR_CREATE. */
TAVL_API int32_t CreateTable(const char *path, char delimiter);

/* TBL_OK when a regular file exists at path, else TBL_ERR_NO_FILE. */
TAVL_API int32_t TableExist(const char *path);

/* Opens path into table. delimiter and header_lines may be null (',' and 1).
 * index_dir is used by OPEN_INDEXED only. Refused before the handle is
 * touched: the delimiters NUL, backslash, LF, CR and the quote
 * (TBL_ERR_DELIMITER), a missing file (TBL_ERR_NO_FILE), a mode other than
 * 0, 1, 2 (TBL_ERR_MODE), a header line count below 0 (TBL_ERR_RANGE).
 * The loaded modes refuse (TBL_ERR_FORMAT) a file with a line of another
 * field count than the first, or a line whose quotes make it split
 * elsewhere than its fields are counted (a delimiter counts where an even
 * number of quotes stands before it; the split cuts at every delimiter not
 * flanked by two quotes), as standard CSV quoting does. After a failed load
 * the thread's last-error value tells why (GetLastError(): 0x20000000,
 * or-ed with the position the failing line would have taken among the
 * non-empty lines). A UTF-8 byte-order mark at the start of the file is not
 * part of the first column's name. A handle that still holds a table
 * (open, or after a failed open) is closed first. */
TAVL_API int32_t OpenTable(const char *path, TableHandle *table, int32_t mode,
                           const char *delimiter, const int32_t *header_lines,
                           const char *index_dir);
TAVL_API int32_t OpenTableUnique(const char *path, TableHandle *table,
                                 int32_t mode, const char *delimiter,
                                 const int32_t *header_lines,
                                 const char *index_dir, int32_t unique);

/* Writes an OPEN_EDIT table to path (which may differ from the one opened),
 * every line ended by CR LF, after the byte-order mark the file was opened
 * with, if any. The file is replaced only once the new text is completely
 * on disk; a save that fails leaves the old file as it was and returns
 * TBL_ERR_SAVE_OPEN (also for a null path, and for an existing file the
 * caller may not write), TBL_ERR_NO_MEMORY or TBL_ERR_SAVE_ROW (also when a
 * table of more than one line holds an empty line, which the next load
 * would skip: a one-column table with an empty cell). A symbolic link is
 * followed, and a target that is not a regular file (a device, a FIFO) is
 * written in place. The table can be saved and closed afterwards. */
TAVL_API int32_t SaveTable(TableHandle *table, const char *path);

/* Releases what the open built. A second CloseTable returns TBL_OK. */
TAVL_API int32_t CloseTable(TableHandle *table);

/* ---- Indexed tables ----------------------------------------------------- */

/* Scans the data file once and writes its index file into index_dir. The
 * index file appears whole or not at all: it is written under a temporary
 * name beside it and put in place in one step. Without overwrite it is put
 * in place only while none exists, else TBL_ERR_INDEX_EXISTS, so of several
 * processes preparing one data file at once exactly one succeeds and all
 * may open what it wrote. With overwrite it replaces the old file, which
 * tables already open go on reading; Windows refuses to replace a file that
 * a process has mapped, which yields TBL_ERR_INDEX_BUILD and keeps the old
 * one. A null index_dir, delimiter or header_lines yields
 * TBL_ERR_INDEX_BUILD, as do a header line count below 0 and an index file
 * path longer than 255 bytes. */
TAVL_API int32_t PreOpenTable(const char *path, const char *index_dir,
                              const char *delimiter, const int32_t *header_lines,
                              int32_t overwrite);
TAVL_API int32_t PreOpenTableUnique(const char *path, const char *index_dir,
                                    const char *delimiter,
                                    const int32_t *header_lines,
                                    int32_t overwrite, int32_t unique);

/* Removes the index file of path; tables still open go on reading it where
 * the system allows the removal (Windows may refuse it for a mapped file).
 * A null path or index_dir (or, with unique set, a null delimiter or
 * header_lines) yields TBL_ERR_REMOVE, as does a refused removal. */
TAVL_API int32_t PostCloseTable(const char *path, const char *index_dir);
TAVL_API int32_t PostCloseTableUnique(const char *path, const char *delimiter,
                                      const int32_t *header_lines,
                                      const char *index_dir, int32_t unique);

/* Counts the non-blank lines of any file, minus *subtract (null: 0). A
 * difference above INT32_MAX yields TBL_ERR_RANGE. */
TAVL_API int32_t GetNumberOfLinesEx(const char *path, const char *delimiter,
                                    const int32_t *subtract);

/* ---- Columns ------------------------------------------------------------ */

TAVL_API int32_t GetColumnCount(TableHandle *table, int32_t *count);
TAVL_API int32_t GetColumnIndex(TableHandle *table, const char *name,
                                int32_t *index);

/* attribute is "name", "index" or "head_size". The text is written within
 * size bytes; when it and its NUL do not fit, TBL_ERR_TRUNCATED with what
 * fits. */
TAVL_API int32_t GetColAttrByIndex(TableHandle *table, int32_t column,
                                   const char *attribute, char *value,
                                   int32_t *value_length, uint32_t size);
TAVL_API int32_t GetColAttrByName(TableHandle *table, const char *name,
                                  const char *attribute, char *value,
                                  int32_t *value_length, uint32_t size);

/* Length of the column name plus one, or a negative code. */
TAVL_API int32_t GetColHeadSizeByIndex(TableHandle *table, int32_t column);
TAVL_API int32_t GetColHeadSizeByName(TableHandle *table, const char *name);

/* Appends a column (position = column count, or -1). A null name, or one
 * holding the delimiter, CR or LF, yields TBL_ERR_RANGE. Every line gets an
 * empty cell, header lines included, and line 0 the name as it stands. A
 * line that would then split elsewhere than its fields are counted is
 * rebuilt with its fields that hold a quote stored escaped (values
 * unchanged; on line 0 their columns take the new stored names); where even
 * that fails, TBL_ERR_RANGE. A failed call changes nothing. */
TAVL_API int32_t CreateColumn(TableHandle *table, int32_t position,
                              const char *name);

/* ---- Cells and rows ----------------------------------------------------- */

/* Copies the decoded cell and a NUL into buffer; *out_length receives the
 * cell size (decoded bytes + 1), also when the value had to be cut
 * (TBL_ERR_TRUNCATED). */
TAVL_API int32_t GetCellValByIndex(TableHandle *table, int32_t column,
                                   int32_t line, char *buffer,
                                   int32_t *out_length, int32_t buffer_length);
TAVL_API int32_t GetCellValByName(TableHandle *table, const char *name,
                                  int32_t line, char *buffer,
                                  int32_t *out_length, int32_t buffer_length);
TAVL_API int32_t GetHeadCellValByIndex(TableHandle *table, int32_t column,
                                       int32_t line, char *buffer,
                                       int32_t *out_length,
                                       int32_t buffer_length);

/* Cell size (decoded bytes + 1, at least 1), or a negative code. */
TAVL_API int32_t GetCellSizeByIndex(TableHandle *table, int32_t column,
                                    int32_t line);
TAVL_API int32_t GetCellSizeByName(TableHandle *table, const char *name,
                                   int32_t line);

/* Stores length bytes of value (any bytes, NUL included). The value goes
 * in its plain stored form, or, where that would make the line split
 * elsewhere than its fields are counted (a quote beside a separator, an odd
 * number of quotes), in the escaped form (quote as \x22, the delimiter as
 * \xNN); both read back as the value. A value no form can hold (a control
 * byte or the delimiter when the delimiter is x or a hex digit) is refused
 * with TBL_ERR_RANGE and nothing changes. A write to line 0 of the table
 * also renames its column (to the stored text written). TBL_ERR_NO_MEMORY
 * when memory runs out (nothing changes). A null handle or a closed one
 * yields TBL_ERR_RANGE from the two ByIndex writers. */
TAVL_API int32_t SetCellValByIndex(TableHandle *table, int32_t column,
                                   int32_t line, const char *value,
                                   int32_t length);
TAVL_API int32_t SetCellValByName(TableHandle *table, const char *name,
                                  int32_t line, const char *value,
                                  int32_t length);
TAVL_API int32_t SetHeadCellValByIndex(TableHandle *table, int32_t column,
                                       int32_t line, const char *value,
                                       int32_t length);

/* Appends a data line of empty cells. */
TAVL_API int32_t CreateRow(TableHandle *table);

/* Number of data lines (header lines not counted). */
TAVL_API int32_t GetLineCount(TableHandle *table, int32_t *count);

#ifdef __cplusplus
}
#endif

#endif /* TAVLIN32_H */
