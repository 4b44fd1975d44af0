/*
 * runtime.h - the indexed back-end of OPEN_INDEXED: index files (name, hash,
 * building, removal), line counting, and the open, line fetch and release
 * of a mapped table. The table layer reaches the mapped table through the
 * seam of backend.h, and the index calls through the functions below.
 */
#ifndef TAVL_RUNTIME_H
#define TAVL_RUNTIME_H

#include <stddef.h>
#include <stdint.h>

typedef struct TableStore TableStore;

/* What an indexed table holds: the data file and its index file, mapped
 * read-only. Both views are null until mapped and again after release. */
typedef struct IndexedStore {
    const char *data_view;
    uint32_t data_size;
    const uint32_t *index_view; /* little-endian words: counts, offsets */
    uint32_t index_size;
    int32_t next_position;      /* the line a scan in order reads next */
    int32_t in_order;           /* lines read in order so far */
    uint32_t ahead;             /* data asked for ahead of a scan, up to here */
} IndexedStore;

/* Name hash of a NUL-terminated text: 0 to 9999. */
uint32_t IndexNameHash(const char *text);

/* Forms the index file path into name (capacity bytes). TBL_OK,
 * TBL_ERR_NO_MEMORY (hashed scratch text), or TBL_ERR_RANGE when the path
 * does not fit. */
int IndexFileName(const char *data_path, const char *index_dir,
                  char delimiter, int32_t header_lines, int32_t unique,
                  char *name, uint32_t capacity);

/* The operations behind kIndexedBackEnd (backend.h). IndexedOpen maps the
 * index file and the data file; on failure the store keeps what it mapped
 * for IndexedRelease, which unmaps both and always succeeds. */
int IndexedOpen(TableStore *store, const char *path, const char *index_dir,
                int32_t *columns, int32_t *data_lines);
int IndexedRelease(TableStore *store);

/* Where the line at a table position lies in the mapped data, read in
 * place: *start and *length give its bytes up to its LF or CR or the end of
 * the data (an empty line for an offset past the end; line 0 without the
 * file's byte-order mark), and *nul tells whether a NUL byte lies among
 * them (IndexedFetchLine drops those). TBL_OK; TBL_ERR_FAIL for a line the
 * index does not hold; TBL_ERR_NO_MEMORY for a line too long for a text
 * buffer - as IndexedFetchLine answers. */
int IndexedLineSpan(const TableStore *store, int32_t position,
                    const char **start, size_t *length, int *nul);

/* Copies that line, without its NUL bytes, into the TextBuffer *output. */
int IndexedFetchLine(const TableStore *store, int32_t position,
                     char **output);

/* The work behind the exported index calls, argument checks included. */
int PrepareIndexFile(const char *path, const char *index_dir,
                     const char *delimiter, const int32_t *header_lines,
                     int32_t overwrite, int32_t unique);
int RemoveIndexFile(const char *path, const char *delimiter,
                    const int32_t *header_lines, const char *index_dir,
                    int32_t unique);
int CountFileLines(const char *path, const char *delimiter,
                   const int32_t *subtract);

#endif /* TAVL_RUNTIME_H */
