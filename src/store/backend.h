/*
 * backend.h - the seam between the table layer and the storage behind a
 * table. A table is held by one of two back-ends: the loaded one (the
 * whole file, or its first lines, in memory: OPEN_EDIT and OPEN_PREVIEW)
 * or the indexed one (the file and its index file mapped read-only:
 * OPEN_INDEXED). The table layer picks one when it opens a table, the one
 * place the open mode chooses a back-end, and from then on asks it through
 * these operations alone: for a line's stored text, a changed line, an
 * appended row or field, a save, the close. Lines are given by their
 * position in the table, header lines first.
 */
#ifndef TAVL_BACKEND_H
#define TAVL_BACKEND_H

#include <stddef.h>
#include <stdint.h>

#include "store/runtime.h"
#include "store/update.h"

typedef struct TableStore TableStore;

/* What a back-end does. The operations that change a table are those of
 * the loaded back-end only; the table layer refuses changes to an indexed
 * table before it asks. */
typedef struct BackEnd {
    /* Reads or maps the file at path (with its index file in index_dir,
     * for an indexed table) into the empty store, whose open parameters
     * are set: *columns and *data_lines receive the table's counts. On
     * failure the store keeps what was built, for close. */
    int (*open)(TableStore *store, const char *path, const char *index_dir,
                int32_t *columns, int32_t *data_lines);
    /* The stored text of the line at position where it lies: *text and
     * *length. Where it cannot be read in place, a copy is made in *copy
     * (a TextBuffer the caller frees). TBL_OK; TBL_ERR_FAIL for no such
     * line; TBL_ERR_NO_MEMORY. Changes nothing of the table (a back-end may
     * note what is read, to read ahead). */
    int (*line)(TableStore *store, int32_t position, const char **text,
                size_t *length, char **copy);
    /* Lines held, header lines included. */
    int32_t (*lines)(const TableStore *store);
    /* Makes the TextBuffer *text the line at position; the back-end owns
     * it then and clears *text. Never fails. */
    int (*replace_line)(TableStore *store, int32_t position, char **text);
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
    /* Null when the store keeps its invariants for a table of that many
     * columns and data lines; else what is broken. */
    const char *(*check)(const TableStore *store, int32_t columns,
                         int32_t data_lines);
} BackEnd;

extern const BackEnd kLoadedBackEnd;  /* update.cpp */
extern const BackEnd kIndexedBackEnd; /* runtime.cpp */

/* The storage of one table: the back-end, the open's parameters, and the
 * state of each back-end (only the chosen one is used). */
struct TableStore {
    const BackEnd *ops;         /* null until an open chose a back-end */
    int32_t mode;               /* OPEN_INDEXED, OPEN_EDIT, OPEN_PREVIEW */
    char delimiter;
    int32_t header_lines;       /* H */
    int32_t unique;             /* the index file's name includes H and D */
    LoadedStore loaded;
    IndexedStore indexed;
};

#endif /* TAVL_BACKEND_H */
