/*
 * indexed.cpp - the indexed back-end of OPEN_INDEXED: the open, line fetch
 * and release of a table whose data file and index file are mapped
 * read-only.
 *
 * Index names collide (10,000 of them), so the open checks that the index
 * describes the data file it maps before it trusts it.
 *
 * Guarantees: no byte outside a mapped view is ever read, whatever the index
 * file holds (the open checks its size against its counts, every fetch checks
 * its line against the index and its offset against the data); every file
 * and mapping handle is closed on every path.
 *
 * Mappings are unnamed: a name made from the path can belong to two files
 * (on Windows a section found by name ignores the file handle), and the file
 * cache shares an unnamed mapping's pages between processes all the same.
 */
#include "store/indexed.h"

#include <string.h>

#include "base/tavlbits.h"
#include "base/tavlbuf.h"
#include "base/tavlfile.h"
#include "codec/tavl_codec.h"
#include "store/backend.h"
#include "tavlin32.h"


/* Bytes of the line at start, up to its LF or CR or the end of the data;
 * *nul tells whether a NUL byte lies among them. */
static size_t LineLength(const char *start, size_t rest, int *nul) {
    const unsigned char *p = (const unsigned char *)start;
    size_t i = 0;
    *nul = 0;
#if defined(TAVL_SSE2)
    const __m128i lf_bytes = _mm_set1_epi8('\n');
    const __m128i cr_bytes = _mm_set1_epi8('\r');
    const __m128i zero = _mm_setzero_si128();
    for (; i + 16 <= rest; i += 16) {
        __m128i x = LoadSixteen(p + i);
        /* Most blocks hold no byte at or below CR (LF and NUL lie below
         * it): one test passes them. */
        if (!_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(x, cr_bytes), x)))
            continue;
        uint32_t end = (uint32_t)_mm_movemask_epi8(
            _mm_or_si128(_mm_cmpeq_epi8(x, lf_bytes), _mm_cmpeq_epi8(x, cr_bytes)));
        uint32_t nuls = ByteMask(x, zero);
        if (end) {
            unsigned at = LowestBit(end);
            if (nuls & ((1u << at) - 1u)) *nul = 1;
            return i + at;
        }
        if (nuls) *nul = 1;
    }
#endif
    for (; i < rest; ++i) {
        if (p[i] == '\n' || p[i] == '\r') break;
        if (p[i] == '\0') *nul = 1;
    }
    return i;
}

/* Lines the open looks at at each end of the table. The first ones lie on
 * the first pages of the index and the data, which the open reads anyway;
 * the last ones and the end of the data are read from the files into a
 * small buffer rather than through the mappings: a page of a mapping
 * touched for the first time costs more than a read (some tens of
 * microseconds on a virtual machine), and the open should cost the same
 * for any file, and little. */
#define OPEN_EDGE_LINES 8
#define OPEN_TAIL_BYTES 8192

/* The offset of line k in an index of offsets of width bytes. */
static inline uint64_t OffsetAt(const unsigned char *index, uint32_t width,
                                uint64_t k) {
    return LoadOffset(index + 8 + (size_t)k * width, width);
}

/* Fields of the line at start as the preparation's scan counts them (the
 * data's last byte ending its last line); *end receives where it ends (its
 * LF, or size). */
static uint64_t FieldsAt(const char *data, size_t size, size_t start, char delimiter,
                         size_t *end) {
    TAVL_ASSERT(start < size);
    const uint64_t fields = LineFieldCount(data + start, size - start, 1, delimiter, end);
    *end += start;
    return fields;
}

/* The end of the data file as the open looks at it: its last bytes, read
 * from the file mapped, or where that read fails the mapping itself. */
typedef struct DataTail {
    const char *bytes; /* bytes[0] is the byte at offset from */
    uint64_t from;
    size_t n;          /* bytes up to the end of the data */
    char buffer[OPEN_TAIL_BYTES];
} DataTail;

static void ReadDataTail(const HeldFile *file, const char *data, uint64_t size,
                         DataTail *t) {
    size_t want = size < OPEN_TAIL_BYTES ? (size_t)size : OPEN_TAIL_BYTES;
    size_t got = 0;
    if (HeldFileRead(file, size - want, t->buffer, want, &got) == FILE_OK && got == want) {
        t->bytes = t->buffer;
        t->from = size - want;
        t->n = want;
    } else {
        t->bytes = data;
        t->from = 0;
        t->n = (size_t)size;
    }
}

/* The byte of the data at offset at. */
static char DataByte(const char *data, const DataTail *t, uint64_t at) {
    return at >= t->from ? t->bytes[at - t->from] : data[at];
}

/* 1 when the index describes the mapped data file: its offsets rise and
 * each sampled line starts right after an LF (line 0 at offset 0), line 0
 * splits into the stored column count, and the last line ends where the
 * data ends or is followed by a line whose field count would have ended
 * the preparation's scan. An index prepared for another file (names are a
 * hash of the path and collide), with another delimiter, or before the
 * file changed, fails here instead of being read as this file's lines. The
 * ends of the index and of the data are read from the files mapped, held
 * open in index_file and data_file. */
static int IndexFitsData(const unsigned char *index, uint32_t width,
                         uint64_t lines, uint32_t columns, const char *data,
                         uint64_t size, char delimiter, const HeldFile *index_file,
                         const HeldFile *data_file) {
    /* The last E + 1 offsets, read from the index file where they lie past
     * its first page (else, or where the read fails, from the mapping). */
    const uint64_t edge = OPEN_EDGE_LINES;
    const uint64_t tail_first = lines > edge + 1 ? lines - edge - 1 : 0;
    const size_t tail_bytes = (size_t)(edge + 1) * width;
    unsigned char tail[(OPEN_EDGE_LINES + 1) * 8];
    const unsigned char *tail_words = NULL;
    size_t got = 0;
    if (8 + tail_first * width >= 4096 &&
        HeldFileRead(index_file, 8 + tail_first * width, tail, tail_bytes, &got) == FILE_OK &&
        got == tail_bytes)
        tail_words = tail;
    DataTail t;
    ReadDataTail(data_file, data, size, &t);

    /* Lines 0 to E and the last E + 1 lines: offsets that rise, each line
     * right after an LF. */
    uint64_t previous = 0;
    for (uint64_t k = 0; k < lines; ++k) {
        if (k > edge && k < tail_first) k = tail_first;
        const uint64_t offset = tail_words && k >= tail_first
                                    ? LoadOffset(tail_words + (size_t)(k - tail_first) * width, width)
                                    : OffsetAt(index, width, k);
        if (k == 0 ? offset != 0
                   : offset <= previous || offset >= size ||
                         DataByte(data, &t, offset - 1) != '\n')
            return 0;
        previous = offset;
    }
    /* previous is now where the last line starts. */
    size_t end = 0;
    if (FieldsAt(data, (size_t)size, 0, delimiter, &end) != columns) return 0;
    if (previous >= t.from) {
        /* In the tail read from the file, which ends where the data does. */
        size_t start = (size_t)(previous - t.from);
        FieldsAt(t.bytes, t.n, start, delimiter, &end);
        return end + 1 >= t.n || FieldsAt(t.bytes, t.n, end + 1, delimiter, &end) != columns;
    }
    FieldsAt(data, (size_t)size, (size_t)previous, delimiter, &end);
    return end + 1 >= size ||
           FieldsAt(data, (size_t)size, end + 1, delimiter, &end) != columns;
}

/* The open's work once the index file is mapped and held: the counts, the
 * data file's mapping (held in data_file) and the checks that the index
 * describes it. */
static int OpenMapped(TableStore *store, const char *path, TableShape *shape,
                      const HeldFile *index_file, HeldFile *data_file) {
    IndexedStore *indexed = IndexedOf(store);
    const unsigned char *index = indexed->index_view;
    const uint64_t index_size = indexed->index_size;

    /* The index is trusted only when its size is exactly what its counts
     * and this open's header line count promise, in one of the two forms:
     * a truncated file, or one prepared with another header line count,
     * fails here instead of being read past its end. Only the count words
     * are read here. */
    if (index_size < 8) return TBL_ERR_INDEX_OPEN;
    int32_t data_lines = (int32_t)LoadWord(index);
    int32_t columns = (int32_t)LoadWord(index + 4);
    int64_t lines = (int64_t)store->header_lines + data_lines;
    if (data_lines < 0 || store->header_lines < 0 || lines < 1 || columns < 1)
        return TBL_ERR_INDEX_OPEN;
    uint32_t width = index_size == 8 + 4 * (uint64_t)lines   ? 4u
                     : index_size == 8 + 8 * (uint64_t)lines ? 8u
                                                             : 0u;
    if (!width) return TBL_ERR_INDEX_OPEN;
    indexed->offset_bytes = width;
    indexed->lines = (int32_t)lines;

    const char *data;
    uint64_t data_size;
    if (MapFileReadOnly(path, ACCESS_RANDOM, &data, &data_size, data_file) != FILE_OK)
        return TBL_ERR_MAP_DATA;
    indexed->data_view = data;
    indexed->data_size = data_size;
    /* A mapping holds whole pages, the bytes past the file's end zero. */
    indexed->data_room = (data_size + 4095u) & ~(uint64_t)4095u;

    /* The form must be the one a preparation of this file writes. */
    if (width != OffsetBytesFor(data_size) ||
        !IndexFitsData(index, width, (uint64_t)lines, (uint32_t)columns, data,
                       data_size, store->delimiter, index_file, data_file))
        return TBL_ERR_INDEX_OPEN;

    shape->data_lines = data_lines;
    shape->columns = columns;
    return TBL_OK;
}

int IndexedOpen(TableStore *store, const char *path, const char *index_dir,
                TableShape *shape) {
    IndexedStore *indexed = IndexedOf(store);
    if (!index_dir) return TBL_ERR_INDEX_OPEN;
    char name[INDEX_PATH_MAX];
    if (IndexFileName(path, index_dir, store->delimiter, store->header_lines,
                      store->unique, name, sizeof name) != TBL_OK)
        return TBL_ERR_INDEX_OPEN;

    const char *index;
    uint64_t index_size;
    HeldFile index_file = {-1}, data_file = {-1};
    if (MapFileReadOnly(name, ACCESS_RANDOM, &index, &index_size, &index_file) != FILE_OK)
        return TBL_ERR_INDEX_OPEN;
    /* From here the views are the store's; the close releases them. The
     * files are held only for the checks. */
    indexed->index_view = (const unsigned char *)index;
    indexed->index_size = index_size;
    int rc = OpenMapped(store, path, shape, &index_file, &data_file);
    HeldFileClose(&index_file);
    HeldFileClose(&data_file);
    return rc;
}

int IndexedLineSpan(const TableStore *store, int32_t position,
                    const char **start, size_t *length, int *nul) {
    const IndexedStore *indexed = IndexedOfConst(store);
    TAVL_ASSERT(start && length && nul);
    *start = "";
    *length = 0;
    *nul = 0;
    if (!indexed->index_view || !indexed->offset_bytes || position < 0 ||
        position >= indexed->lines)
        return TBL_ERR_FAIL;

    const uint64_t offset = OffsetAt(indexed->index_view, indexed->offset_bytes,
                                     (uint64_t)position);
    const char *data = indexed->data_view;
    const uint64_t size = indexed->data_size;
    /* The line must be the one the index names: it starts at the data's
     * start or right after an LF, and its first LF is the byte before the
     * next line's offset (the last line ends at its LF or the data's end,
     * as the open found). Anything else is a data file changed since the
     * index was made; its bytes are not served as this line's. */
    if (offset >= size || (offset > 0 && data[offset - 1] != '\n')) return TBL_ERR_INDEX_OPEN;

    *start = data + offset;
    size_t skip = 0;
    /* A byte-order mark at the start of the file is not part of line 0. */
    if (offset == 0 && size >= sizeof kByteOrderMark &&
        memcmp(*start, kByteOrderMark, sizeof kByteOrderMark) == 0)
        skip = sizeof kByteOrderMark;
    *start += skip;
    /* The line's second cache line, asked for while its first is read: a
     * line not in the cache then costs one wait, not two. */
    TAVL_PREFETCH(*start + 64);
    *length = LineLength(*start, size - offset - skip, nul);
    if (position + 1 < indexed->lines) {
        const uint64_t next = OffsetAt(indexed->index_view, indexed->offset_bytes,
                                       (uint64_t)position + 1);
        /* The line's text stops at its first CR or LF; its LF follows,
         * most often at once or after one CR. */
        uint64_t lf = offset + skip + *length;
        if (lf < size && data[lf] == '\r' && lf + 1 < size && data[lf + 1] == '\n') lf++;
        if (lf < size && data[lf] != '\n') {
            const char *found = (const char *)memchr(data + lf, '\n', (size_t)(size - lf));
            lf = found ? (uint64_t)(found - data) : size;
        }
        if (lf + 1 != next) return TBL_ERR_INDEX_OPEN;
    }
    /* Its text could not be held in a buffer of signed 32-bit size. */
    if (*length > INT32_MAX - 1) return TBL_ERR_NO_MEMORY;
    return TBL_OK;
}

int IndexedFetchLine(const TableStore *store, int32_t position,
                     char **output) {
    TAVL_ASSERT(output);
    const char *start;
    size_t length;
    int nul;
    int rc = IndexedLineSpan(store, position, &start, &length, &nul);
    if (rc != TBL_OK) return rc;
    if (!nul) return TextCode(TextBufferSetBytes(output, start, (int32_t)length));

    /* NUL bytes of the data are not part of the line's text: size the
     * buffer for the others, then copy them in. */
    size_t kept = 0;
    for (size_t i = 0; i < length; ++i) kept += start[i] != '\0';
    rc = TextCode(TextBufferSetBytes(output, start, (int32_t)kept));
    if (rc != TBL_OK) return rc;
    char *text = *output;
    size_t k = 0;
    for (size_t i = 0; i < length; ++i)
        if (start[i] != '\0') text[k++] = start[i];
    text[k] = '\0';
    return TBL_OK;
}

void IndexedInOrder(IndexedStore *indexed, uint64_t at) {
    if (++indexed->in_order < INDEXED_SCAN_LINES || at >= indexed->data_size) return;
    if (indexed->ahead > at && indexed->ahead - at > INDEXED_READ_AHEAD / 2) return;
    uint64_t from = indexed->ahead > at ? indexed->ahead : at;
    size_t size = indexed->data_size - from < INDEXED_READ_AHEAD
                      ? (size_t)(indexed->data_size - from)
                      : INDEXED_READ_AHEAD;
    AdviseWillNeed(indexed->data_view + from, size);
    indexed->ahead = from + size;
}

/* The line where it lies in the mapped data; a line that holds a NUL byte
 * is fetched into *copy instead, since its text drops those bytes. */
static int IndexedLine(TableStore *store, int32_t position,
                       const char **text, size_t *length, char **copy) {
    int nul = 0;
    int rc = IndexedLineSpan(store, position, text, length, &nul);
    if (rc == TBL_OK && copy)
        IndexedNoteRead(IndexedOf(store), position,
                        (uint64_t)(*text - IndexedOfConst(store)->data_view));
    if (rc != TBL_OK || !nul) return rc;
    if (!copy || TextBufferNew(copy) != TEXT_OK) return TBL_ERR_NO_MEMORY;
    rc = IndexedFetchLine(store, position, copy);
    if (rc != TBL_OK) return rc;
    *text = *copy;
    *length = strlen(*copy);
    return TBL_OK;
}

static int32_t IndexedLines(const TableStore *store) {
    return IndexedOfConst(store)->lines;
}

int IndexedRelease(TableStore *store) {
    IndexedStore *indexed = IndexedOf(store);
    ReadMemoForget(store);
    UnmapFile(indexed->data_view, indexed->data_size);
    UnmapFile((const char *)indexed->index_view, indexed->index_size);
    indexed->offset_bytes = 0;
    indexed->lines = 0;
    indexed->data_view = NULL;
    indexed->data_size = 0;
    indexed->data_room = 0;
    indexed->index_view = NULL;
    indexed->index_size = 0;
    indexed->next_position = 0;
    indexed->in_order = 0;
    indexed->ahead = 0;
    return TBL_OK;
}

/* An indexed table has no stream: it cannot be saved. */
static int IndexedSave(TableStore *store, const char *path, int32_t columns) {
    (void)store;
    (void)path;
    (void)columns;
    return TBL_ERR_BAD_HANDLE;
}

/* An indexed table never takes changes. */
static int IndexedTakesChanges(const TableStore *store) {
    (void)store;
    return 0;
}

static const char *IndexedCheck(const TableStore *store, const TableShape *shape,
                                int thorough) {
    (void)thorough; /* every check here is of counts */
    const IndexedStore *indexed = IndexedOfConst(store);
    if (!shape) {
        return indexed->data_view || indexed->index_view
                   ? "a released indexed table that still maps a file"
                   : NULL;
    }
    if (!indexed->index_view || !indexed->data_view) return "an indexed table without its views";
    if ((int64_t)indexed->lines != (int64_t)store->header_lines + shape->data_lines)
        return "an indexed table whose line count is not its index's";
    const unsigned char *words = indexed->index_view;
    if (indexed->offset_bytes != OffsetBytesFor(indexed->data_size))
        return "an index whose form does not fit the size of its data file";
    if (indexed->index_size != 8 + (uint64_t)indexed->offset_bytes *
                                       ((uint64_t)store->header_lines +
                                        (uint64_t)shape->data_lines))
        return "an index of another size than its counts promise";
    if ((int32_t)LoadWord(words) != shape->data_lines ||
        (int32_t)LoadWord(words + 4) != shape->columns)
        return "counts that differ from the index file's";
    return NULL;
}

/* Its record lives in the store's state area. */
static_assert(sizeof(IndexedStore) <= STORE_STATE_SIZE,
              "the indexed back-end's record fits the store");

const BackEnd kIndexedBackEnd = {
    IndexedOpen, IndexedLine, IndexedLines, IndexedTakesChanges, NULL, NULL, NULL, NULL,
    IndexedSave, IndexedRelease, IndexedCheck, {IndexedReadPlain,
#if defined(TAVL_SELECT_WIDE)
     IndexedReadWide, IndexedReadWidest},
#else
     NULL, NULL},
#endif
};
