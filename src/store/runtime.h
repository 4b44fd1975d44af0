/*
 * runtime.h - the indexed back-end of OPEN_INDEXED: index files (name, hash,
 * building, removal), the read-only file mapping, and the open, line fetch
 * and release of a mapped table.
 */
#ifndef TAVL_RUNTIME_H
#define TAVL_RUNTIME_H

#include <stddef.h>
#include <stdint.h>

#include "table/tavl_handle.h"

/* Name hash of a NUL-terminated text: 0 to 9999. */
uint32_t IndexNameHash(const char *text);

/* Forms the index file path into name (capacity bytes). TBL_OK,
 * TBL_ERR_NO_MEMORY (hashed scratch text), or TBL_ERR_RANGE when the path
 * does not fit. */
int IndexFileName(const char *data_path, const char *index_dir,
                  char delimiter, int32_t header_lines, int32_t unique,
                  char *name, uint32_t capacity);

/* Maps the file at path read-only with the access hint
 * (FILE_FLAG_SEQUENTIAL_SCAN or FILE_FLAG_RANDOM_ACCESS). TBL_OK,
 * TBL_ERR_OPEN or TBL_ERR_MAP. */
int MapFileReadOnly(const char *path, uint32_t hint, const char **view,
                    uint32_t *size);
int UnmapFile(const char *view);

int IndexedOpen(TableHandle *table, const char *path, const char *index_dir);
int IndexedFetchLine(TableHandle *table, int32_t number, char **output,
                     int32_t kind);
int IndexedRelease(TableHandle *table);

/* Where a line of an indexed table lies in the mapped data, read in place:
 * *start and *length give its bytes up to its LF or CR or the end of the
 * data (an empty line for an offset past the end), and *nul tells whether
 * a NUL byte lies among them (IndexedFetchLine drops those). TBL_OK;
 * TBL_ERR_FAIL for a line the index does not hold; TBL_ERR_NO_MEMORY for
 * a line too long for a text buffer - as IndexedFetchLine answers. */
int IndexedLineSpan(const TableHandle *table, int32_t number, int32_t kind,
                    const char **start, size_t *length, int *nul);



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
