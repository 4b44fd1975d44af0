/*
 * indexed.h - the indexed back-end of OPEN_INDEXED, inside the store: its
 * own record, index file names (index_file.cpp), and the open, line fetch
 * and release of a mapped table (indexed.cpp). The table layer never includes it: it reaches the mapped
 * table through the seam of backend.h, which also declares the index file
 * calls. The back-end's unit tests drive these routines on a bare store.
 */
#ifndef TAVL_INDEXED_H
#define TAVL_INDEXED_H

#include <stddef.h>
#include <stdint.h>

#include "store/backend.h"

/* What an indexed table holds: the data file and its index file, mapped
 * read-only. Both views are null until mapped and again after release. */
typedef struct IndexedStore {
    const char *data_view;
    uint64_t data_size;
    uint64_t data_room;         /* bytes of the view that may be read: the
                                   size up to a whole 4 KiB page, as mapped */
    const unsigned char *index_view; /* two count words, then the offsets */
    uint64_t index_size;
    uint32_t offset_bytes;      /* 4, or 8 for the wide form; 0 unmapped */
    int32_t lines;              /* offsets the index holds: the table's lines */
    int32_t next_position;      /* the line a scan in order reads next */
    int32_t in_order;           /* lines read in order so far */
    uint64_t ahead;             /* data asked for ahead of a scan, up to here */
} IndexedStore;

/* Index words are little-endian whatever the machine. */
static inline uint32_t LoadWord(const void *at) {
    const unsigned char *b = (const unsigned char *)at;
    return (uint32_t)b[0] | ((uint32_t)b[1] << 8) | ((uint32_t)b[2] << 16) |
           ((uint32_t)b[3] << 24);
}

static inline uint64_t LoadWide(const void *at) {
    const unsigned char *b = (const unsigned char *)at;
    return (uint64_t)LoadWord(b) | ((uint64_t)LoadWord(b + 4) << 32);
}

/* A line offset of width bytes (4, or 8 in the wide form) at at. */
static inline uint64_t LoadOffset(const void *at, uint32_t width) {
    TAVL_ASSERT(width == 4 || width == 8);
    return width == 4 ? LoadWord(at) : LoadWide(at);
}

/* The indexed back-end's record in a store. */
static inline IndexedStore *IndexedOf(TableStore *store) {
    return (IndexedStore *)(void *)store->state.bytes;
}
static inline const IndexedStore *IndexedOfConst(const TableStore *store) {
    return (const IndexedStore *)(const void *)store->state.bytes;
}

/* The data a scan in order is asked for ahead of it, in one piece, and the
 * lines read in order before a scan is taken for one: the open reads line
 * 0, and a host reading a few lines should not pay for asking. */
#define INDEXED_READ_AHEAD ((uint32_t)4 << 20)
#define INDEXED_SCAN_LINES 64

/* The data file is mapped for reading here and there, which reads nothing
 * ahead; where lines are read in order, the data ahead of them is asked
 * for in large pieces, so that a scan of a file not in memory does not
 * wait for each page in turn. IndexedNoteRead notes that the line at
 * position, at offset at of the data, was read; IndexedInOrder that it was
 * read right after the line before it. */
void IndexedInOrder(IndexedStore *indexed, uint64_t at);
static inline void IndexedNoteRead(IndexedStore *indexed, int32_t position, uint64_t at) {
    if (position == indexed->next_position) IndexedInOrder(indexed, at);
    else indexed->in_order = 0;
    indexed->next_position = position + 1;
}

/* Bytes of one line offset in the index of a data file of size bytes: 4
 * under 4 GiB, 8 (the wide form) from 4 GiB on. */
static inline uint32_t OffsetBytesFor(uint64_t data_size) {
    return data_size > UINT32_MAX ? 8u : 4u;
}

/* Room for an index file path with its NUL. */
#define INDEX_PATH_MAX 256u

/* Name hash of a NUL-terminated text: 0 to 9999. */
uint32_t IndexNameHash(const char *text);

/* Forms the index file path into name (capacity bytes). TBL_OK,
 * TBL_ERR_NO_MEMORY (hashed scratch text), or TBL_ERR_RANGE when the path
 * does not fit. */
int IndexFileName(const char *data_path, const char *index_dir,
                  char delimiter, int32_t header_lines, int32_t unique,
                  char *name, uint32_t capacity);

/* The indexed back-end's operations, for BackEndFor. */
extern const BackEnd kIndexedBackEnd;

/* Its open and release, which the unit tests call too. IndexedOpen maps the
 * index file and the data file; on failure the store keeps what it mapped
 * for IndexedRelease, which unmaps both and always succeeds. */
int IndexedOpen(TableStore *store, const char *path, const char *index_dir,
                TableShape *shape);
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

#endif /* TAVL_INDEXED_H */
