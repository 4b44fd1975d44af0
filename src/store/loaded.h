/*
 * loaded.h - the loaded back-end of OPEN_EDIT and OPEN_PREVIEW, inside the
 * store: its own record and its load, save and close. The whole file (or
 * its first 100 lines) is held in memory, one line of stored text per line
 * of the table, fetched and replaced by position, and written back by the
 * save. The table layer never includes this header: it reaches the loaded
 * table through the seam of backend.h only.
 */
#ifndef TAVL_LOADED_H
#define TAVL_LOADED_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "base/tavlbits.h"
#include "store/backend.h"

/* The data file's stream, and the calls that move it between its states:
 *
 *   ABSENT -> OPEN    [TableFileLoad: the file was opened]
 *   OPEN   -> CLOSED  [TableFileSave (the target may then be replaced);
 *                      TableFileLoad after a read error; TableFileClose]
 *   CLOSED -> CLOSED  [TableFileSave, TableFileClose: nothing to close]
 *
 * ABSENT: the load could not open the file; nothing was built, the table
 * cannot be saved, and the close answers TBL_ERR_CLOSE. OPEN: stream holds
 * the open file. CLOSED: stream is null; saves and the close still work. A
 * stream is never closed twice. */
#define STREAM_ABSENT 0
#define STREAM_OPEN   1
#define STREAM_CLOSED 2

/* Where a line's stored text is: in the loaded text, at an offset and with
 * a length, or (a line that was changed or added) in a block of its own.
 * A LineRef of a line in the loaded text is its offset (shifted left by
 * LENGTH_BITS) and its length; a length of LENGTH_LONG or more is stored as
 * LENGTH_LONG and measured (the line ends in a NUL). A LineRef with
 * LINE_OWNED set is the address of the line's own block, a TextBuffer. */
typedef uint64_t LineRef;
#define LINE_OWNED ((LineRef)1 << 63)
#define LENGTH_BITS 24
#define LENGTH_LONG (((LineRef)1 << LENGTH_BITS) - 1)

/* The line table: one LineRef per line, in chunks that double in size, so
 * that it grows without ever moving what it holds. Chunk k holds
 * LINE_CHUNK_FIRST << k lines. */
#define LINE_CHUNK_FIRST_BITS 10
#define LINE_CHUNK_FIRST (1u << LINE_CHUNK_FIRST_BITS)
#define LINE_CHUNKS 22 /* enough for every line number an int32_t holds */

typedef struct LineTable {
    LineRef *chunks[LINE_CHUNKS];
    int32_t count;              /* lines */
} LineTable;

/* The chunk that holds line p (of the line table, and of the rows of field
 * ends beside it), and through *at its place there. */
static inline unsigned LineChunk(int32_t p, size_t *at) {
    TAVL_ASSERT(p >= 0);
    const uint32_t q = (uint32_t)p + LINE_CHUNK_FIRST;
    const unsigned k = HighestBit(q) - LINE_CHUNK_FIRST_BITS;
    *at = q - (LINE_CHUNK_FIRST << k);
    return k;
}

/* The entry of line p. */
static inline LineRef *LineSlot(const LineTable *table, int32_t p) {
    TAVL_ASSERT(p < table->count);
    size_t at;
    const unsigned k = LineChunk(p, &at);
    return &table->chunks[k][at];
}

/* What a loaded table holds: the file's bytes as read (each line there
 * ended by a NUL written over its line end), the line table, and the
 * stream. */
typedef struct LoadedStore {
    FILE *stream;
    int32_t stream_state;       /* STREAM_* */
    char *text;                 /* the file as loaded; null until loaded */
    size_t room;                /* bytes of text that may be read: a line
                                   starting at offset at has room - at */
    LineTable lines;
    int32_t byte_order_mark;    /* the file began with one; the save writes it */
    /* Where the fields of the lines as loaded end, so that a read finds a
     * cell with two byte loads: a row of columns bytes a line, in chunks
     * beside the line table's (chunk k holds the rows of the lines of its
     * chunk k, after one byte of 0). Byte k of a row is where field k ends,
     * plus 1: field k starts at byte k - 1 (at 0 for k = 0) and ends
     * before byte k - 1. A row whose last byte is 0 is not kept: a line of
     * SELECT_WINDOW bytes or more, one holding a quote or a backslash, a
     * line since changed; nor are the rows of lines from rowed on. */
    uint8_t *rows[LINE_CHUNKS];
    int32_t row_bytes;          /* bytes of a row: the table's columns */
    int32_t rowed;              /* lines that may have rows (0: none) */
} LoadedStore;

/* Where the rows go as the load counts the lines: see LoadedStore and
 * LineReader's count. */
typedef struct RowMaker {
    LoadedStore *loaded;
    char delimiter;
    int32_t columns;            /* -1 until line 0 is counted */
    int failed;                 /* a chunk of rows could not be made */
} RowMaker;

/* The load's count of a line (see LineReader's count), which notes where
 * its fields end in its row where the window of its start tells them: one
 * form for each kind of processor (cell_select.inc). */
#define TAVL_LOAD_COUNT(form)                                                       \
    int32_t LoadCount##form(void *maker, int64_t line, const char *text, size_t n,  \
                            size_t readable, int *consistent);
TAVL_LOAD_COUNT(Plain)
#if defined(TAVL_SELECT_WIDE)
TAVL_LOAD_COUNT(Wide)
TAVL_LOAD_COUNT(Widest)
#endif
#undef TAVL_LOAD_COUNT

/* The row of line p in a chunk of rows_of, or null where that chunk is
 * not made. */
static inline uint8_t *RowOf(uint8_t *const *rows_of, int32_t row_bytes, int32_t p) {
    size_t at;
    const unsigned k = LineChunk(p, &at);
    return rows_of[k] ? rows_of[k] + 1 + at * (size_t)row_bytes : NULL;
}

/* The loaded back-end's record in a store. */
static inline LoadedStore *LoadedOf(TableStore *store) {
    return (LoadedStore *)(void *)store->state.bytes;
}
static inline const LoadedStore *LoadedOfConst(const TableStore *store) {
    return (const LoadedStore *)(const void *)store->state.bytes;
}

/* The loaded back-end's operations, for BackEndFor. */
extern const BackEnd kLoadedBackEnd;

/* Its load (the open), save and stream close. */
int TableFileLoad(TableStore *store, const char *path, TableShape *shape);
int TableFileSave(TableStore *store, const char *path, int32_t columns);
int TableFileClose(TableStore *store);

#endif /* TAVL_LOADED_H */
