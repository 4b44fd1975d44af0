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
 * Testing for failure. Every function returns a signed 32-bit result: TBL_OK
 * (0) or a negative TBL_ERR_* code, so a result below 0 is a failure.
 * GetColHeadSizeBy* and GetCellSizeBy* return a size (1 or more) instead of
 * TBL_OK, GetNumberOfLinesEx a count (which can be negative, see there).
 * TblResultName() and TblResultText() name a code and say what it means.
 * The block of each function lists every code it returns, with the cause;
 * where the order of its checks matters, in that order. Out-parameters are
 * written only on TBL_OK unless the block says otherwise.
 *
 * Handles. A handle from NewTable is fresh: it answers as an empty
 * OPEN_INDEXED table (no columns, no lines, no changes). An open that
 * succeeds makes it open. An open that fails after checking its arguments
 * leaves it failed, holding what the open had built; CloseTable makes it
 * closed. A null, failed or closed handle is refused by every function but
 * the opens, CloseTable and FreeTable, as each block says. An open on a
 * handle that still holds a table (open or failed) closes that table first.
 *
 * Threads. A handle belongs to one thread at a time: never call two
 * functions on one handle at once. Different handles, and the functions
 * that take no handle, may be used from any number of threads at once.
 *
 * Processes and limits. No descriptor, stream or handle the library opens
 * is inherited by a child process the host starts (all are close-on-exec,
 * and not inheritable on Windows). An OPEN_EDIT table holds one descriptor
 * until its first save or its close, an OPEN_PREVIEW table one until its
 * close; with none left (the process's descriptor limit, ulimit -n) their
 * opens fail with TBL_ERR_OPEN, and the other calls as for a file they
 * cannot open (an OPEN_INDEXED open TBL_ERR_INDEX_OPEN). An OPEN_INDEXED
 * table holds no descriptor but two mappings until its close; Linux allows
 * a process vm.max_map_count of them (65,530 by default: some 32,700
 * indexed tables), and past that an indexed open fails with
 * TBL_ERR_INDEX_OPEN or TBL_ERR_MAP_DATA, for whichever of the two found
 * no room. Such failures leak nothing, and the tables already open go on.
 *
 * Lines. The first *header_lines lines of a table (1 unless the open names
 * another count) are header lines, the rest data lines; line 0 of the table
 * names the columns. The Head functions count header lines from 0, the other
 * cell functions data lines from 0. Empty lines of a loaded file are not
 * lines of the table.
 *
 * Last-error value. An OPEN_EDIT or OPEN_PREVIEW open whose load fails
 * (TBL_ERR_OPEN, TBL_ERR_NO_MEMORY, TBL_ERR_FORMAT) sets the thread's
 * last-error value (GetLastError()) to TBL_LOAD_ERROR_FLAG (0x20000000, bit
 * 29: a load failed) or-ed with the number of lines stored before the
 * failure: 0 when reading had not begun, else the position the failing line
 * would have taken among the stored lines. The count is of stored lines,
 * not of the file's lines: empty lines are not counted. No other call sets
 * or clears it. A host tests (e & TBL_LOAD_ERROR_FLAG) and reads the count
 * as (e & TBL_LOAD_ERROR_LINES), which holds the count's low 29 bits (exact
 * below 536,870,912 lines). GetLastError is not declared here: on Windows
 * <windows.h> declares it (the kernel's); elsewhere declare it in one line,
 *     uint32_t GetLastError(void);
 * (inside extern "C" in C++). The link line of pkg-config --libs tavlin32
 * and the CMake target tavlin32::tavlin32 link the library that defines it.
 *
 * The header compiles as C99 and as C++.
 */
#ifndef TAVLIN32_H
#define TAVLIN32_H

#include <stdint.h>

/* Version. The build reads these three numbers from this header, so the
 * library's file version, the pkg-config and CMake packages and the tool's
 * --version all give this one. */
#define TAVLIN32_VERSION_MAJOR 1
#define TAVLIN32_VERSION_MINOR 0
#define TAVLIN32_VERSION_PATCH 0
#define TAVLIN32_VERSION_NUMBER \
    (TAVLIN32_VERSION_MAJOR * 10000 + TAVLIN32_VERSION_MINOR * 100 + TAVLIN32_VERSION_PATCH)
#define TAVLIN32_QUOTE_(x) #x
#define TAVLIN32_EXPAND_AND_QUOTE_(x) TAVLIN32_QUOTE_(x)
#define TAVLIN32_VERSION_STRING                            \
    TAVLIN32_EXPAND_AND_QUOTE_(TAVLIN32_VERSION_MAJOR) "." \
    TAVLIN32_EXPAND_AND_QUOTE_(TAVLIN32_VERSION_MINOR) "." \
    TAVLIN32_EXPAND_AND_QUOTE_(TAVLIN32_VERSION_PATCH)

/* The last-error value of a failed load (see the top of this file): the
 * flag, and the mask of the count of lines stored before the failure. */
#define TBL_LOAD_ERROR_FLAG  0x20000000u
#define TBL_LOAD_ERROR_LINES 0x1FFFFFFFu

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

/* Open modes: how an open holds the file and what may change the table.
 * OPEN_INDEXED is 0, so a zeroed mode means an indexed open.
 *   OPEN_INDEXED  the data file and its index file (made by PreOpenTable)
 *                 mapped read-only; a line is read straight from the offset
 *                 the index gives. Read only: changes yield TBL_ERR_MODE,
 *                 SaveTable TBL_ERR_BAD_HANDLE (there is no file stream).
 *                 A data file cut short while a table maps it kills the
 *                 process that reads the lost part (SIGBUS on Linux); no
 *                 check can catch it. To replace a data file, write a new
 *                 file and rename it over the old one: open tables go on
 *                 reading the old text (on Windows, which refuses to
 *                 replace a mapped file, close them first), and the new
 *                 one needs a new PreOpenTable. SaveTable replaces a file
 *                 that way and never cuts one short in place; CreateTable
 *                 empties the file it is given in place.
 *   OPEN_EDIT     every line read into memory; the file stays open for
 *                 reading and writing until the first save or the close.
 *                 Changes are made in memory; SaveTable writes them.
 *   OPEN_PREVIEW  at most the first 100 non-empty lines read into memory;
 *                 the file stays open read-only. Changes stay in memory;
 *                 SaveTable yields TBL_ERR_MODE. */
#define OPEN_INDEXED 0
#define OPEN_EDIT    1
#define OPEN_PREVIEW 2

/* Result codes: name, value and meaning, in one list. The enumeration
 * below, TblResultName and TblResultText are made from it, and the table in
 * docs/host.md and the tavlin tool's messages are checked against it, so a code
 * means the same everywhere. -3, -12, -18 and -19 are not used; the codes
 * marked internal never reach a host. */
#define TBL_RESULT_CODES(X)                                                    \
    X(TBL_OK, 0, "success")                                                    \
    X(TBL_ERR_FAIL, -1, "the table has no first line to extend (CreateColumn)") \
    X(TBL_ERR_NO_FILE, -2, "the path is null or names no file")                \
    X(TBL_ERR_CREATE, -4,                                                      \
      "the file could not be created, or is no regular file (CreateTable)")    \
    X(TBL_ERR_SAVE_OPEN, -5,                                                   \
      "a save could not create, write or replace its file, or may not "        \
      "replace it; the old file is as it was")                                 \
    X(TBL_ERR_BAD_HANDLE, -6,                                                  \
      "null handle, or one closed or left by a failed open; a table without "  \
      "a file stream; or column names that could not be read")                 \
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
      "open or a preparation; the backslash for CreateTable)")                 \
    X(TBL_ERR_TRUNCATED, -21,                                                  \
      "the value was cut to fit the caller's buffer (a cell reader still "     \
      "reports the full size)")                                                \
    X(TBL_ERR_MAP_DATA, -22,                                                   \
      "the data file could not be opened or mapped (an empty file cannot be)") \
    X(TBL_ERR_INDEX_BUILD, -23, "the index file could not be built or written") \
    X(TBL_ERR_INDEX_WRITE, -24,                                                \
      "internal: the index file could not be written (reported as -23)")       \
    X(TBL_ERR_INDEX_OPEN, -25,                                                 \
      "no index directory, or the index file is missing, unmappable or does "  \
      "not fit the data file (at a read: the line is no longer where the "     \
      "index says)")                                                           \
    X(TBL_ERR_INDEX_EXISTS, -26,                                               \
      "the index file exists and replacing it was not asked")                  \
    X(TBL_ERR_UNMAP, -27, "the data file could not be unmapped after indexing") \
    X(TBL_ERR_REMOVE, -28,                                                     \
      "an index file, or the temporary file a preparation left beside it, "   \
      "could not be removed")

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

/*! NewTable() :
 *  Allocates a fresh handle and stores it in *out.
 *  @return : TBL_OK, or
 *    TBL_ERR_BAD_HANDLE  out is null (nothing is written);
 *    TBL_ERR_NO_MEMORY   no memory (*out is set to null). */
TAVL_API int32_t NewTable(TableHandle **out);

/*! FreeTable() :
 *  Gives the handle back. It releases nothing the handle holds: close an
 *  open or failed table first. table may be null.
 *  @return : TBL_OK, always. */
TAVL_API int32_t FreeTable(TableHandle *table);

/*! CreateTable() :
 *  Creates an empty file at path, or cuts an existing one to length 0 in
 *  place (never one an OPEN_INDEXED table maps). Nothing is written, not
 *  even a header line; the delimiter is only checked. A FIFO or a device at
 *  path holds no table and is refused.
 *  @return : TBL_OK, or
 *    TBL_ERR_DELIMITER  delimiter is the backslash (the file is not touched);
 *    TBL_ERR_CREATE     path is null, the file cannot be created, or path
 *                       leads to no regular file. */
TAVL_API int32_t CreateTable(const char *path, char delimiter);

/*! TableExist() :
 *  Tells whether a regular file exists at path.
 *  @return : TBL_OK when one does, else
 *    TBL_ERR_NO_FILE  path is null or names no regular file. */
TAVL_API int32_t TableExist(const char *path);

/*! OpenTable(), OpenTableUnique() :
 *  Opens the table at path into table, in mode OPEN_INDEXED, OPEN_EDIT or
 *  OPEN_PREVIEW. *delimiter is the field delimiter (null: ','),
 *  *header_lines the number of header lines (null: 1); both are copied.
 *  index_dir, used by OPEN_INDEXED only, holds the index file PreOpenTable
 *  made with the same delimiter and header line count; OpenTableUnique also
 *  takes the unique flag of that preparation (OpenTable passes 0). A handle
 *  that still holds a table (open or failed) is closed first. Column names
 *  are the fields of line 0 as they stand; a UTF-8 byte-order mark at the
 *  start of the file is not part of the first one.
 *  @return : TBL_OK, or, in this order,
 *    before the handle is touched:
 *    TBL_ERR_DELIMITER   *delimiter is NUL, the backslash, LF, CR or the
 *                        quote;
 *    TBL_ERR_NO_FILE     path is null or names no regular file;
 *    TBL_ERR_BAD_HANDLE  table is null;
 *    TBL_ERR_MODE        mode is none of the three;
 *    TBL_ERR_RANGE       *header_lines is below 0;
 *    from the load of OPEN_EDIT and OPEN_PREVIEW:
 *    TBL_ERR_OPEN        the file cannot be opened (for writing too in
 *                        OPEN_EDIT), or no memory for the line list;
 *    TBL_ERR_NO_MEMORY   no memory for the lines;
 *    TBL_ERR_FORMAT      a line has another field count than the first, or
 *                        quotes that make it split elsewhere than its fields
 *                        are counted (a delimiter counts where an even number
 *                        of quotes stands before it; the split cuts at every
 *                        delimiter not between two quotes), as standard CSV
 *                        quoting does; or the file cannot be read;
 *    from the mapping of OPEN_INDEXED:
 *    TBL_ERR_INDEX_OPEN  index_dir is null; the index file path would exceed
 *                        255 bytes, or no memory to form it; the index file
 *                        is missing or cannot be mapped; its size or column
 *                        count does not fit the header lines;
 *    TBL_ERR_MAP_DATA    the data file cannot be opened or mapped: it is
 *                        empty, or (on Windows) open for writing elsewhere,
 *                        as by an OPEN_EDIT table;
 *    TBL_ERR_INDEX_OPEN  the index does not describe the data file (another
 *                        file's index under a colliding name, another
 *                        delimiter, a file changed since): its form (32-bit
 *                        offsets under 4 GiB, 64-bit from 4 GiB on) must fit
 *                        the data file's size, its offsets rise and sampled
 *                        lines start after an LF, line 0 must split into its
 *                        column count, and its last line must end the data
 *                        or come before a line of other fields;
 *    in every mode:
 *    TBL_ERR_BAD_HANDLE  the column list cannot be made (no memory).
 *  A failure after the first five checks leaves the handle failed; a failed
 *  load also sets the last-error value (see the top of this file). */
TAVL_API int32_t OpenTable(const char *path, TableHandle *table, int32_t mode,
                           const char *delimiter, const int32_t *header_lines,
                           const char *index_dir);
TAVL_API int32_t OpenTableUnique(const char *path, TableHandle *table,
                                 int32_t mode, const char *delimiter,
                                 const int32_t *header_lines,
                                 const char *index_dir, int32_t unique);

/*! SaveTable() :
 *  Writes an OPEN_EDIT table to path, which may differ from the one opened:
 *  the byte-order mark the file was opened with, if any, then every line,
 *  header lines first, each ended by CR LF. The text goes to a new file
 *  beside the target, synced to disk and only then renamed over it, so a
 *  failed save leaves the old file as it was. The new file has the old
 *  one's permission bits and, where the saver may give them (root, or the
 *  owner keeping its group), its owner and group; a save that cannot give
 *  them fails. A symbolic link is followed; a target that is not a regular
 *  file (a device, a FIFO) is written in place, but a FIFO that no process
 *  reads is refused at once rather than waited for. The first save closes
 *  the file the open kept. The table itself is unchanged and can be saved
 *  and closed again, also after a failure.
 *  @return : TBL_OK, or, in this order,
 *    TBL_ERR_BAD_HANDLE  table is null or not open (fresh, failed, closed),
 *                        or has no file stream (every OPEN_INDEXED table);
 *    TBL_ERR_MODE        the table is open in OPEN_PREVIEW;
 *    TBL_ERR_SAVE_OPEN   path is null or empty;
 *    TBL_ERR_SAVE_ROW    the table holds more than one line and one of them
 *                        is empty (a one-column table with an empty cell),
 *                        which the next load would skip; no file is touched;
 *    TBL_ERR_NO_MEMORY   no memory; no file is touched;
 *    TBL_ERR_SAVE_OPEN   the target exists and the caller may not write it,
 *                        its links cannot be followed, the new file cannot
 *                        be created, given the old one's owner and bits,
 *                        written, synced or put in its place, or the target
 *                        is a FIFO without a reader. */
TAVL_API int32_t SaveTable(TableHandle *table, const char *path);

/*! CloseTable() :
 *  Releases what the open built, also after a failed open: the column and
 *  line lists, the file the load kept open (closed unwritten), the mapped
 *  views. A fresh or closed handle has nothing to release. The handle can be
 *  opened again or given to FreeTable.
 *  @return : TBL_OK, also for a second close, or
 *    TBL_ERR_BAD_HANDLE  table is null;
 *    TBL_ERR_CLOSE       the load of OPEN_EDIT or OPEN_PREVIEW could not open
 *                        its file (its open gave TBL_ERR_OPEN): nothing was
 *                        built, and the handle stays failed. */
TAVL_API int32_t CloseTable(TableHandle *table);

/* ---- Indexed tables ----------------------------------------------------- */

/*! PreOpenTable(), PreOpenTableUnique() :
 *  Scans the data file at path once and writes its index file into
 *  index_dir for OPEN_INDEXED opens: the data line count, the column count
 *  (the fields of the first line) and the offset of every line. The scan
 *  ends, without error, before the first line whose field count differs from
 *  the first line's. *delimiter and *header_lines must be what the opens
 *  will pass. The file is named by a hash of path; with a unique flag other
 *  than 0 (PreOpenTable passes 0) also of the header line count and the
 *  delimiter, so that preparations with other values get other files. The
 *  hash is of path as written: another spelling of the same file
 *  ("./t.csv", an absolute path, a symbolic link) names another index, which
 *  an open under that spelling does not find (TBL_ERR_INDEX_OPEN) and
 *  PostCloseTable does not remove (TBL_ERR_REMOVE). Give the preparation,
 *  the opens and PostCloseTable one spelling; the tavlin tool passes the
 *  path as it was typed.
 *  It appears whole or not at all: written under a temporary name beside it
 *  and put in place in one step. Without overwrite it is put in place only
 *  while none exists, so of several processes preparing one data file at
 *  once exactly one succeeds and all may open what it wrote. With overwrite
 *  it replaces the old file, which tables already open go on reading; a
 *  replacement that fails after the existence check (TBL_ERR_MAP_DATA,
 *  TBL_ERR_FORMAT, TBL_ERR_INDEX_BUILD) removes the old file instead, so no
 *  index the caller asked to replace is opened again. A data file under
 *  4 GiB gets 32-bit offsets, a larger one 64-bit offsets (the wide form;
 *  docs/file-format.md). Index names are a hash of the path modulo 10,000
 *  and collide: TBL_ERR_INDEX_EXISTS does not prove the file there is this
 *  data file's index (an open refuses one that does not describe it).
 *  @return : TBL_OK, or, in this order,
 *    TBL_ERR_DELIMITER     *delimiter is NUL, the backslash, LF, CR or the
 *                          quote, which every open refuses; nothing is
 *                          written;
 *    TBL_ERR_NO_FILE       path is null or names no regular file;
 *    TBL_ERR_INDEX_BUILD   index_dir, delimiter or header_lines is null,
 *                          *header_lines is below 0, the index file path
 *                          would exceed 255 bytes, or no memory to form it;
 *    TBL_ERR_INDEX_EXISTS  without overwrite: the index file exists, or
 *                          another process put one in place first;
 *    TBL_ERR_MAP_DATA      the data file cannot be opened or mapped: it is
 *                          empty, or (on Windows) open for writing
 *                          elsewhere, as by an OPEN_EDIT table;
 *    TBL_ERR_FORMAT        the table has fewer lines than *header_lines;
 *    TBL_ERR_INDEX_BUILD   a count exceeds INT32_MAX, no memory for the
 *                          offsets, or the file cannot be written or put in
 *                          place;
 *    TBL_ERR_UNMAP         the data file cannot be unmapped afterwards; the
 *                          index file is in place all the same;
 *    TBL_ERR_REMOVE        with overwrite, after one of the failures from
 *                          TBL_ERR_MAP_DATA on: the old index file could not
 *                          be removed (Windows refuses to replace or remove
 *                          an index file a process has mapped: the old one
 *                          stays); or the new index file is in place, but
 *                          the temporary file it was written as (a dot and
 *                          seven letters and digits, beside it) could not be
 *                          removed: delete it. */
TAVL_API int32_t PreOpenTable(const char *path, const char *index_dir,
                              const char *delimiter, const int32_t *header_lines,
                              int32_t overwrite);
TAVL_API int32_t PreOpenTableUnique(const char *path, const char *index_dir,
                                    const char *delimiter,
                                    const int32_t *header_lines,
                                    int32_t overwrite, int32_t unique);

/*! PostCloseTable(), PostCloseTableUnique() :
 *  Removes the index file that PreOpenTable, or PreOpenTableUnique with the
 *  same delimiter, header line count and unique flag, made for path, spelled
 *  as for the preparation, in index_dir (note the order of the arguments).
 *  delimiter and header_lines are read only when unique is not 0. Tables
 *  still open on the index go on reading it where the system allows the
 *  removal (Windows may refuse it for a mapped file).
 *  @return : TBL_OK, or
 *    TBL_ERR_REMOVE  path or index_dir is null, or with unique set
 *                    delimiter or header_lines; the index file path would
 *                    exceed 255 bytes, or no memory to form it; there is no
 *                    such file, or the system refused to remove it. */
TAVL_API int32_t PostCloseTable(const char *path, const char *index_dir);
TAVL_API int32_t PostCloseTableUnique(const char *path, const char *delimiter,
                                      const int32_t *header_lines,
                                      const char *index_dir, int32_t unique);

/*! GetNumberOfLinesEx() :
 *  Counts the LF-ended lines of any file at path, of any size, up to its
 *  first blank one (empty or white space only) and returns the count minus
 *  *subtract (null: 0). A last line without an LF is not counted. delimiter
 *  is not used.
 *  @return : the difference, or
 *    TBL_ERR_NO_FILE   path is null or names no regular file;
 *    TBL_ERR_MAP_DATA  the file cannot be opened or mapped: it is empty,
 *                      or (on Windows) open for writing elsewhere;
 *    TBL_ERR_RANGE     the difference exceeds INT32_MAX (a file of more
 *                      lines than that, or *subtract < 0): never wrapped.
 *  A *subtract above the count gives a negative difference, which cannot be
 *  told from a code: pass null and subtract after the test for failure. */
TAVL_API int32_t GetNumberOfLinesEx(const char *path, const char *delimiter,
                                    const int32_t *subtract);

/* ---- Columns ------------------------------------------------------------ */

/*! GetColumnCount() :
 *  Stores the number of columns in *count (0 for a fresh handle).
 *  @return : TBL_OK, or
 *    TBL_ERR_BAD_HANDLE  table is null, failed or closed;
 *    TBL_ERR_RANGE       count is null. */
TAVL_API int32_t GetColumnCount(TableHandle *table, int32_t *count);

/*! GetColumnIndex() :
 *  Stores in *index the index of the first column whose name is name, byte
 *  for byte; names are kept as they stand in line 0, escapes included.
 *  @return : TBL_OK, or, in this order,
 *    TBL_ERR_BAD_HANDLE  table is null, failed or closed;
 *    TBL_ERR_RANGE       index is null;
 *    TBL_ERR_NO_COLUMN   name is null or no column has it. */
TAVL_API int32_t GetColumnIndex(TableHandle *table, const char *name,
                                int32_t *index);

/*! GetColAttrByIndex(), GetColAttrByName() :
 *  Writes an attribute of the column, found by index or by name, as text
 *  into value (size bytes, NUL included) and its length without the NUL
 *  into *value_length. attribute is "name" (as it stands in line 0), "index"
 *  or "head_size" (the name's length, one less than the head size
 *  GetColHeadSizeBy* answer, which counts the NUL), the last two in decimal.
 *  For "name" all size bytes of value are written (the name, then NULs up
 *  to size): size must not exceed value's real size, or the padding
 *  overruns it.
 *  @return : TBL_OK, or, in this order,
 *    TBL_ERR_BAD_HANDLE  table is null, failed or closed;
 *    TBL_ERR_RANGE       column is out of range; ByName: name is null or no
 *                        column has it;
 *    TBL_ERR_ATTR        attribute is null or none of the three;
 *    TBL_ERR_RANGE       value or value_length is null, or size is 0;
 *    TBL_ERR_TRUNCATED   the text and its NUL do not fit: value receives
 *                        the first size - 1 bytes and a NUL, *value_length
 *                        size - 1. */
TAVL_API int32_t GetColAttrByIndex(TableHandle *table, int32_t column,
                                   const char *attribute, char *value,
                                   int32_t *value_length, uint32_t size);
TAVL_API int32_t GetColAttrByName(TableHandle *table, const char *name,
                                  const char *attribute, char *value,
                                  int32_t *value_length, uint32_t size);

/*! GetColHeadSizeByIndex(), GetColHeadSizeByName() :
 *  The head size of the column, found by index or by name: its name's
 *  length plus one for a NUL, the size GetColAttrByIndex needs to read the
 *  name whole (the "head_size" attribute is the length, one less).
 *  @return : the size (1 or more), or
 *    TBL_ERR_BAD_HANDLE  table is null, failed or closed;
 *    TBL_ERR_RANGE       column is out of range; ByName: name is null or no
 *                        column has it. */
TAVL_API int32_t GetColHeadSizeByIndex(TableHandle *table, int32_t column);
TAVL_API int32_t GetColHeadSizeByName(TableHandle *table, const char *name);

/*! CreateColumn() :
 *  Appends a column named name to a loaded table; position must be the
 *  column count, or -1. Every line gets one more field: line 0 the name as
 *  it stands, every other line (header lines too) an empty cell. A line that
 *  would then split elsewhere than its fields are counted is rebuilt with
 *  its fields that hold a quote stored escaped (values unchanged; on line 0
 *  their columns take the new stored names). In memory until SaveTable; a
 *  failed call changes nothing.
 *  @return : TBL_OK, or, in this order,
 *    TBL_ERR_BAD_HANDLE  table is null, failed or closed;
 *    TBL_ERR_MODE        the table is OPEN_INDEXED (so is a fresh handle);
 *    TBL_ERR_RANGE       position is neither -1 nor the column count, or
 *                        name is null or holds the delimiter, CR or LF;
 *    TBL_ERR_FAIL        the table holds no line (an open always leaves
 *                        one);
 *    TBL_ERR_RANGE       a line cannot be rebuilt soundly (the delimiter is
 *                        x or a hex digit);
 *    TBL_ERR_NO_MEMORY   no memory. */
TAVL_API int32_t CreateColumn(TableHandle *table, int32_t position,
                              const char *name);

/* ---- Cells and rows ----------------------------------------------------- */

/*! GetCellValByIndex(), GetCellValByName(), GetHeadCellValByIndex() :
 *  Copies the decoded value of a cell and a NUL into buffer (buffer_length
 *  bytes, NUL included) and stores the cell size (decoded bytes + 1) in
 *  *out_length; a value may hold NUL bytes. The bytes of buffer after the
 *  NUL may change (a short value is copied in one piece of up to 64 bytes
 *  where the buffer has room). The cell is the column's, by index or
 *  (ByName) the first column whose name is name, on a data line, or for
 *  GetHeadCellValByIndex a header line. OPEN_INDEXED checks each line it
 *  fetches against its index (see TBL_ERR_INDEX_OPEN).
 *  @return : TBL_OK, or, in this order,
 *    TBL_ERR_BAD_HANDLE  table is null, failed or closed;
 *    TBL_ERR_RANGE       ByName: name is null or no column has it;
 *    TBL_ERR_RANGE       buffer or out_length is null, or buffer_length is
 *                        below 1;
 *    TBL_ERR_RANGE       column or line is out of range, or the line has no
 *                        such field;
 *    TBL_ERR_INDEX_OPEN  OPEN_INDEXED: the line is no longer where the index
 *                        says (it does not start right after an LF, or its
 *                        LF is not the byte before the next line's offset):
 *                        the data file changed since its preparation, and
 *                        the line's bytes are not read as its cells;
 *    TBL_ERR_NO_MEMORY   the value would reach 2 GiB, or (OPEN_INDEXED) no
 *                        memory for a line that holds NUL bytes;
 *    TBL_ERR_TRUNCATED   the value does not fit: buffer receives its first
 *                        buffer_length - 1 bytes and a NUL, *out_length the
 *                        full size. */
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

/*! GetCellSizeByIndex(), GetCellSizeByName() :
 *  The size of a data cell, found as GetCellValBy* finds it: its decoded
 *  bytes + 1, the buffer_length that reads it whole.
 *  @return : the size (1 or more), or, in this order,
 *    TBL_ERR_BAD_HANDLE  table is null, failed or closed;
 *    TBL_ERR_RANGE       ByName: name is null or no column has it; column
 *                        or line is out of range, or the line has no such
 *                        field;
 *    TBL_ERR_INDEX_OPEN, TBL_ERR_NO_MEMORY  as for GetCellValByIndex. */
TAVL_API int32_t GetCellSizeByIndex(TableHandle *table, int32_t column,
                                    int32_t line);
TAVL_API int32_t GetCellSizeByName(TableHandle *table, const char *name,
                                   int32_t line);

/*! SetCellValByIndex(), SetCellValByName(), SetHeadCellValByIndex() :
 *  Stores length bytes of value (any bytes, NUL included; value may be null
 *  when length is 0) in a cell of a loaded table, found as the readers find
 *  it. The value goes in its plain stored form or, where that would make
 *  the line split elsewhere than its fields are counted (a quote beside a
 *  delimiter, an odd number of quotes), in the escaped form (a backslash, x
 *  and two hex digits: the quote as \\x22, the delimiter as \\xNN); both
 *  read back as the value. A write to line 0 of the table also renames its
 *  column, to the stored text written. In memory until SaveTable; a failed
 *  call changes nothing.
 *  @return : TBL_OK, or, in this order,
 *    TBL_ERR_RANGE       ByIndex, Head: table is null, failed or closed;
 *    TBL_ERR_BAD_HANDLE  ByName: table is null, failed or closed;
 *    TBL_ERR_MODE        the table is OPEN_INDEXED (so is a fresh handle);
 *    TBL_ERR_NO_COLUMN   ByName: name is null or no column has it;
 *    TBL_ERR_RANGE       column or line is out of range; length is below 0,
 *                        or value is null with length above 0; or no stored
 *                        form keeps the line sound (a control byte, or the
 *                        delimiter, where the delimiter is x or a hex digit);
 *    TBL_ERR_NO_MEMORY   no memory. */
TAVL_API int32_t SetCellValByIndex(TableHandle *table, int32_t column,
                                   int32_t line, const char *value,
                                   int32_t length);
TAVL_API int32_t SetCellValByName(TableHandle *table, const char *name,
                                  int32_t line, const char *value,
                                  int32_t length);
TAVL_API int32_t SetHeadCellValByIndex(TableHandle *table, int32_t column,
                                       int32_t line, const char *value,
                                       int32_t length);

/*! CreateRow() :
 *  Appends a data line of empty cells to a loaded table, in memory until
 *  SaveTable. In a table of one column that line is empty, and SaveTable
 *  refuses it until one of its cells is set.
 *  @return : TBL_OK, or
 *    TBL_ERR_BAD_HANDLE  table is null, failed or closed;
 *    TBL_ERR_MODE        the table is OPEN_INDEXED (so is a fresh handle);
 *    TBL_ERR_NO_MEMORY   no memory; nothing is added. */
TAVL_API int32_t CreateRow(TableHandle *table);

/*! GetLineCount() :
 *  Stores the number of data lines in *count (0 for a fresh handle). A
 *  loaded file with fewer lines than header lines gives a negative count.
 *  @return : TBL_OK, or
 *    TBL_ERR_BAD_HANDLE  table is null, failed or closed;
 *    TBL_ERR_RANGE       count is null. */
TAVL_API int32_t GetLineCount(TableHandle *table, int32_t *count);

#ifdef __cplusplus
}
#endif

#endif /* TAVLIN32_H */
