/*
 * backend.h - the seam between the table layer and the storage behind a
 * table, and the one header of the store the table layer includes.
 *
 * A table is held by one of two back-ends: the loaded one (the whole file,
 * or its first lines, in memory: OPEN_EDIT and OPEN_PREVIEW; loaded.cpp) or
 * the indexed one (the file and its index file mapped read-only:
 * OPEN_INDEXED; indexed.cpp, with its index files in index_file.cpp). BackEndFor() picks one for an open mode, the
 * one place the mode chooses; from then on the table layer asks the store
 * through the operations below alone: for a line's stored text, a changed
 * line, an appended row or field, a save, the close; whether it takes
 * changes; whether its invariants hold. Lines are given by their position
 * in the table, header lines first.
 *
 * What a back-end holds lives in the store's state area, a record of the
 * back-end's own that no other file sees (as a file system's own file
 * record extends its base record). The table layer knows the operations
 * and the open's parameters, nothing more.
 */
#ifndef TAVL_BACKEND_H
#define TAVL_BACKEND_H

#include <stddef.h>
#include <stdint.h>

#include "base/processor.h"
#include "base/tavlbuf.h"
#include "tavlin32.h"
#include "codec/field_select.h"

typedef struct TableStore TableStore;

/* The counts of an open table, as the table layer keeps them. */
typedef struct TableShape {
    int32_t columns;
    int32_t data_lines;
} TableShape;

/* The line a back-end's read looked at last, kept for the next reads of
 * the same line: where its fields end (from the back-end's own rows of
 * field ends, or taken out of the line's masks at its second read), so
 * that the table layer answers those reads in its own code (a host reading
 * a line cell by cell), and until then its masks. Every change of a line
 * forgets it (ReadMemoForget). */
typedef struct ReadMemo {
    int32_t position;           /* the table line; -1: none */
    int32_t count;              /* fields whose ends are known: 0 until the
                                   ends are there */
    const char *line;           /* its stored text, where it lies; plain
                                   fields with SELECT_READ readable bytes */
    const uint8_t *ends;        /* field k (below count) ends before byte
                                   ends[k] - 1 of the line, and starts at
                                   ends[k - 1], or 0 for k = 0 (ends[-1] is
                                   readable) */
    LineMasks masks;
    uint8_t own[SELECT_FIELDS + 1]; /* ends taken out of the masks, at own
                                       + 1 */
} ReadMemo;

/* A read of data cell (column, line) into buffer, as GetCellValByIndex
 * answers it (the cell is in range, buffer and out_length are not null).
 *
 * A back-end's read serves a plain cell whose line's start tells it by its
 * window (codec/field_select.h), into a buffer of at least SELECT_COPY
 * bytes (bytes after the NUL may change): TBL_OK. Every other read (a long
 * line, a cell to decode or as long as SELECT_COPY, a line not where its
 * index says) it hands on, changing nothing, to the store's general read,
 * which the table layer supplies and which answers every read, with the
 * same value or a refusal. Allocates nothing. */
typedef int (*ReadCell)(TableStore *store, int32_t column, int32_t line, char *buffer,
                        int32_t *out_length, int32_t buffer_length);

/* What a back-end does. */
typedef struct BackEnd {
    /* Reads or maps the file at path (with its index file in index_dir,
     * for an indexed table) into the empty store, whose open parameters
     * are set: *shape receives the table's counts. On failure the store
     * keeps what was built, for close. */
    int (*open)(TableStore *store, const char *path, const char *index_dir,
                TableShape *shape);
    /* The stored text of the line at position where it lies: *text and
     * *length. Where it cannot be read in place, a copy is made in *copy
     * (a TextBuffer the caller frees). TBL_OK; TBL_ERR_FAIL for no such
     * line; TBL_ERR_NO_MEMORY. Changes nothing of the table (a back-end may
     * note what is read, to read ahead). With a null copy it is a look that
     * allocates and notes nothing: a line that would need a copy answers
     * TBL_ERR_NO_MEMORY. */
    int (*line)(TableStore *store, int32_t position, const char **text,
                size_t *length, char **copy);
    /* Lines held, header lines included. */
    int32_t (*lines)(const TableStore *store);
    /* 1 when the table takes changes (the six operations below are then
     * there); 0 for a read-only table, whose changes the table layer
     * refuses before it asks. */
    int (*takes_changes)(const TableStore *store);
    /* Makes the TextBuffer *text the line at position; the back-end owns
     * it then and clears *text. Never fails. */
    void (*replace_line)(TableStore *store, int32_t position, char **text);
    /* Replaces bytes [at, at + span) of the line at position by count
     * bytes (no NUL among them): in place where they fit, else in a block
     * of the line's own. TBL_OK or TBL_ERR_NO_MEMORY (the line as it was). */
    int (*splice)(TableStore *store, int32_t position, size_t at, size_t span,
                  const char *bytes, size_t count);
    /* Appends a line of columns empty cells. TBL_OK or TBL_ERR_NO_MEMORY. */
    int (*append_row)(TableStore *store, int32_t columns);
    /* Gives every line one more field, all or nothing: line p takes
     * replace[p] whole where it is set (the back-end then owns it and
     * clears the entry), every other line gets first_suffix (line 0) or
     * suffix appended. replace may be null. TBL_OK or TBL_ERR_NO_MEMORY
     * (every line as it was). */
    int (*append_field)(TableStore *store, const char *first_suffix,
                        const char *suffix, char **replace);
    /* Writes the table of columns columns to path. */
    int (*save)(TableStore *store, const char *path, int32_t columns);
    /* Releases what the open built. TBL_OK, or TBL_ERR_CLOSE when the open
     * built nothing to release. */
    int (*close)(TableStore *store);
    /* Null when the store keeps its invariants: for an open table of that
     * shape, or with a null shape for a released one (it holds nothing);
     * else what is broken. Thorough, it also reads a few lines (a cost in
     * their length); else it looks at counts and records alone. Changes
     * and allocates nothing. */
    const char *(*check)(const TableStore *store, const TableShape *shape,
                         int thorough);
    /* The read of a plain cell, one form for each kind of processor
     * (base/processor.h), null where that form is not built. */
    ReadCell read[PROCESSOR_KINDS];
} BackEnd;

/* Room for a back-end's own record. Each back-end asserts at compile time
 * that its record fits. */
#define STORE_STATE_SIZE 512

/* The storage of one table: the back-end, the open's parameters, and the
 * back-end's own state. All zero before an open. */
struct TableStore {
    const BackEnd *ops;         /* null until an open chose a back-end */
    int32_t mode;               /* OPEN_INDEXED, OPEN_EDIT, OPEN_PREVIEW */
    char delimiter;
    int32_t header_lines;       /* H */
    int32_t unique;             /* the index file's name includes H and D */
    ReadCell read;              /* the back-end's read for this processor,
                                   chosen at the open (ReadFor) */
    ReadCell general;           /* the table layer's read, for the reads
                                   read leaves */
    ReadMemo memo;              /* kept by read */
    union {                     /* the back-end's record; aligned for any */
        unsigned char bytes[STORE_STATE_SIZE];
        uint64_t align_words;
        void *align_pointer;
    } state;
};

/* The back-end that holds a table opened in mode (one of the three). */
const BackEnd *BackEndFor(int32_t mode);

/* The read of ops that runs best on this processor. */
ReadCell ReadFor(const BackEnd *ops);

/* The API code of a text operation's result (base/tavlbuf.h): the store
 * and the table layer answer hosts in those codes, the layers below them
 * in their own. */
static inline int TextCode(TextResult result) {
    return result == TEXT_OK ? TBL_OK : TBL_ERR_NO_MEMORY;
}

/* Forgets the line the read looked at last: every change of a line, and
 * the close, calls it. */
static inline void ReadMemoForget(TableStore *store) {
    store->memo.position = -1;
    store->memo.count = 0;
}

/* Each back-end's read in each form (cell_select.inc), and the field
 * select they share, for the tests. The forms for AVX2 and AVX-512 exist
 * where TAVL_SELECT_WIDE is defined (x86-64 builds). */
#define TAVL_READ_FORMS(form)                                                       \
    int LoadedRead##form(TableStore *store, int32_t column, int32_t line, char *buffer, \
                         int32_t *out_length, int32_t buffer_length);               \
    int IndexedRead##form(TableStore *store, int32_t column, int32_t line, char *buffer, \
                          int32_t *out_length, int32_t buffer_length);              \
    int SelectField##form(const char *line, uint32_t length, char delimiter,        \
                          int controls, uint32_t k, uint32_t *start, uint32_t *size);
TAVL_READ_FORMS(Plain)
#if defined(TAVL_SELECT_WIDE)
TAVL_READ_FORMS(Wide)
TAVL_READ_FORMS(Widest)
#endif
#undef TAVL_READ_FORMS

/* The index file calls behind the exports that need no table: the work of
 * PreOpenTable(Unique), PostCloseTable(Unique) and GetNumberOfLinesEx,
 * argument checks included (index_file.cpp). */
int PrepareIndexFile(const char *path, const char *index_dir,
                     const char *delimiter, const int32_t *header_lines,
                     int32_t overwrite, int32_t unique);
int RemoveIndexFile(const char *path, const char *delimiter,
                    const int32_t *header_lines, const char *index_dir,
                    int32_t unique);
int CountFileLines(const char *path, const char *delimiter,
                   const int32_t *subtract);

#endif /* TAVL_BACKEND_H */
