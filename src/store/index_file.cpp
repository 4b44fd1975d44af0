/*
 * index_file.cpp - index files: their names, their preparation (one scan of
 * the data file that writes every line's offset), their removal, and the
 * line count of any file.
 *
 * An index file holds two little-endian 32-bit words, the data line count
 * and the column count, then the byte offset of every line of the data file,
 * header lines first: 32-bit little-endian words for a data file under
 * 4 GiB (size 8 + 4n for n lines), 64-bit ones for a larger file (the wide
 * form, size 8 + 8n). A reader tells the forms apart by the size alone, and
 * a reader that knows only the 32-bit form refuses a wide file by its size
 * check. Its name is a hash of the data path (with the header line count and
 * delimiter under a unique flag), so every process naming the same data file
 * finds the same index.
 *
 * Guarantees: every file and mapping handle is closed on every path, and
 * every heap block goes back to the host allocator before a call returns. A
 * failed argument check, name or allocation creates and removes nothing. An
 * index file appears whole or not at all (the file layer puts it in place),
 * and a file that readers have mapped is never written to: of several
 * processes preparing one data file at once exactly one puts its index in
 * place and the others get TBL_ERR_INDEX_EXISTS; a replacing preparation
 * renames over the old file, which its readers keep, and one that fails
 * after its existence check removes the old file, so that no index the
 * caller asked to replace is read again.
 */
#include <string.h>

#include "base/processor.h"
#include "base/tavlbits.h"
#include "base/tavlfile.h"
#include "base/tavlhost.h"
#include "codec/field_bits.h"
#include "codec/tavl_codec.h"
#include "store/backend.h"
#include "store/indexed.h"
#include "tavlin32.h"

/* The last part of an index file path: the hash as four characters, then
 * ".idx". */
#define INDEX_BASE_LENGTH 8u

/* os_itoa's buffer: zero-filled and far larger than any int's text. */
#define ITOA_ROOM 128

/* A backslash is an ordinary file-name byte off Windows, so the index file
 * would land outside its directory with it. */
#if defined(_WIN32)
#  define DIR_SEPARATOR '\\'
#else
#  define DIR_SEPARATOR '/'
#endif

static void StoreWord(void *at, uint32_t value) {
    unsigned char *b = (unsigned char *)at;
    b[0] = (unsigned char)value;
    b[1] = (unsigned char)(value >> 8);
    b[2] = (unsigned char)(value >> 16);
    b[3] = (unsigned char)(value >> 24);
}

static void StoreWide(void *at, uint64_t value) {
    StoreWord(at, (uint32_t)value);
    StoreWord((unsigned char *)at + 4, (uint32_t)(value >> 32));
}

/* ---- Names ------------------------------------------------------------- */

uint32_t IndexNameHash(const char *text) {
    uint32_t h = 0;
    if (!text) return 0;
    for (const unsigned char *p = (const unsigned char *)text; *p; ++p) {
        h = (h << 4) + *p;
        if (h > 0x0FFFFFFFu) h = ((h >> 12) ^ h) & 0x0FFFFFFFu;
    }
    return (h & 0x7FFFFFFFu) % 10000u;
}

/* Under a unique flag the hashed text is the path, the decimal header line
 * count and the delimiter byte, so tables prepared with other values get
 * other index files. */
static int HashUnique(const char *data_path, int32_t header_lines,
                      char delimiter, uint32_t *hash) {
    char digits[ITOA_ROOM];
    memset(digits, 0, sizeof digits);
    os_itoa((int)header_lines, digits, 10);
    digits[ITOA_ROOM - 1] = '\0';
    size_t path_length = strlen(data_path);
    size_t digit_length = strlen(digits);
    char *text = (char *)qmem_calloc(path_length + digit_length + 2, 1);
    if (!text) return TBL_ERR_NO_MEMORY;
    memcpy(text, data_path, path_length);
    memcpy(text + path_length, digits, digit_length);
    text[path_length + digit_length] = delimiter;
    *hash = IndexNameHash(text);
    qmem_free(text);
    return TBL_OK;
}

int IndexFileName(const char *data_path, const char *index_dir,
                  char delimiter, int32_t header_lines, int32_t unique,
                  char *name, uint32_t capacity) {
    if (!data_path || !index_dir || !name) return TBL_ERR_RANGE;
    size_t dir_length = strlen(index_dir);
    int separate = !(dir_length && index_dir[dir_length - 1] == DIR_SEPARATOR);
    size_t need = dir_length + (size_t)separate + INDEX_BASE_LENGTH + 1;
    if (need > capacity) return TBL_ERR_RANGE;

    uint32_t hash = 0;
    if (unique) {
        int rc = HashUnique(data_path, header_lines, delimiter, &hash);
        if (rc != TBL_OK) return rc;
    } else {
        hash = IndexNameHash(data_path);
    }
    memcpy(name, index_dir, dir_length);
    if (separate) name[dir_length] = DIR_SEPARATOR;
    /* The hash right-aligned in four characters with spaces, as "%4.d"
     * writes it: a hash of 0 has no digit at all. */
    char *base = name + dir_length + separate;
    TAVL_ASSERT(hash < 10000u);
    for (int k = 3; k >= 0; --k) {
        base[k] = hash ? (char)('0' + hash % 10u) : ' ';
        hash /= 10u;
    }
    memcpy(base + 4, ".idx", 5);
    return TBL_OK;
}

/* ---- Preparation ------------------------------------------------------- */

/* Offsets the scan gathers before it hands them to the index file. */
#define SCAN_WINDOW 512u

/* Running state of the scan: lines ended so far, the field count of the
 * first line, the fields of the line under way, and the offsets of the
 * lines found that the index file has not yet taken. Every offset in a
 * full window belongs to a line of the table (a later line has begun);
 * the last offset recorded starts a line the table may not count (the one
 * whose field count ends it, or the end of the data), so the scan's end
 * leaves it out. */
typedef struct Scan {
    uint64_t lines;
    uint64_t reference;
    uint64_t fields;
    FileSink *sink;   /* where the offsets go; null: the scan only counts */
    uint32_t width;   /* bytes of one offset */
    uint32_t pending; /* offsets in window */
    unsigned char window[SCAN_WINDOW * 8];
} Scan;

/* Hands the first count offsets of the window to the index file and
 * empties it. */
static TAVL_NOINLINE void PutOffsets(Scan *scan, uint32_t count) {
    TAVL_ASSERT(count <= scan->pending);
    if (scan->sink)
        FileSinkPut(scan->sink, (const char *)scan->window, (size_t)count * scan->width);
    scan->pending = 0;
}

/* Records where the next line starts. */
static inline void RecordOffset(Scan *scan, size_t offset) {
    if (scan->pending == SCAN_WINDOW) PutOffsets(scan, SCAN_WINDOW);
    unsigned char *at = scan->window + (size_t)scan->pending * scan->width;
    /* A file under 4 GiB gets 32-bit offsets, and every offset fits. */
    TAVL_ASSERT(scan->width == 8 || offset <= UINT32_MAX);
    if (scan->width == 4) StoreWord(at, (uint32_t)offset);
    else StoreWide(at, (uint64_t)offset);
    ++scan->pending;
}

/* Ends the line under way; the next one starts at next. 0 when its field
 * count ends the table instead. */
static int EndLine(Scan *scan, size_t next) {
    if (scan->lines == 0) scan->reference = scan->fields;
    else if (scan->fields != scan->reference) return 0;
    ++scan->lines;
    scan->fields = 1;
    RecordOffset(scan, next);
    return 1;
}

/* The lines that end in the window at at: their fields counted, each line
 * ended. 0 when the table ends. */
static TAVL_ALWAYS_INLINE int ScanWindow(const char *data, size_t n, char d, size_t at,
                                         Scan *scan, int counting) {
    FieldBits bits;
    FieldBitsAt(data, n, 1, at, d, &bits);
    uint64_t separators = bits.separators;
    for (uint64_t ends = bits.ends; ends; ends &= ends - 1) {
        const unsigned k = LowestBit64(ends);
        const uint64_t before = ((uint64_t)1 << k) - 1;
        scan->fields += counting ? BitCount64Counting(separators & before)
                                 : BitCount64(separators & before);
        separators &= ~before;
        if (!EndLine(scan, at + k + 1)) return 0;
    }
    scan->fields += counting ? BitCount64Counting(separators) : BitCount64(separators);
    return 1;
}

/* The scan over the data, 64 bytes at a time by the split rule, the
 * file's last byte ending its last line. The windows before the last are
 * whole, which the loop over them lets the compiler see. Counting bits is
 * most of the work per line: the body is built twice, with the processor's
 * own bit count where it has one. */
static TAVL_ALWAYS_INLINE void ScanBody(const char *data, size_t n, char d, Scan *scan,
                                        int counting) {
    /* The preparation refuses a NUL D (ScanTable): leaving here for one
     * lets the compiler drop the rule's test for it from the loop. */
    if (d == '\0') return;
    size_t at = 0;
    for (; n - at > 64; at += 64)
        if (!ScanWindow(data, n, d, at, scan, counting)) return;
    ScanWindow(data, n, d, at, scan, counting);
}

static void ScanPlain(const char *data, size_t n, char d, Scan *scan) {
    ScanBody(data, n, d, scan, 0);
}

TAVL_TARGET_BITCOUNT static void ScanCounting(const char *data, size_t n, char d, Scan *scan) {
    ScanBody(data, n, d, scan, 1);
}

/* One pass over the data: counts the lines of the table and the fields of
 * its first line, and hands where each line starts to scan->sink. The first
 * line whose field count differs from the first line's ends the table. */
static void ScanTable(const char *view, uint64_t size, char delimiter,
                      Scan *scan) {
    TAVL_ASSERT(size > 0 && size <= SIZE_MAX); /* an empty file cannot be mapped */
    TAVL_ASSERT(!DelimiterRefused(delimiter));
    scan->lines = 0;
    scan->reference = 0;
    scan->fields = 1;
    scan->width = OffsetBytesFor(size);
    scan->pending = 0;
    RecordOffset(scan, 0); /* line 0 */
    if (ProcessorCountsBits()) ScanCounting(view, (size_t)size, delimiter, scan);
    else ScanPlain(view, (size_t)size, delimiter, scan);
}

/* Why a scanned table cannot be indexed: TBL_ERR_FORMAT for fewer lines
 * than its header lines, TBL_ERR_INDEX_BUILD for counts that are read back
 * as signed 32-bit values and would not fit; else TBL_OK. */
static int ScanVerdict(const Scan *scan, int32_t header) {
    if (scan->lines < (uint64_t)header) return TBL_ERR_FORMAT;
    if (scan->lines > INT32_MAX || scan->reference > INT32_MAX)
        return TBL_ERR_INDEX_BUILD;
    return TBL_OK;
}

/* A preparation's scan of the mapped data, and what it found. */
typedef struct IndexWriting {
    const char *view;
    uint64_t size;
    char delimiter;
    int32_t header;
    int scanned; /* the scan ran */
    int rc;      /* its verdict */
} IndexWriting;

/* Scans the data of w, handing the offsets to sink (or to none), and
 * keeps the verdict in w. */
static void ScanFor(IndexWriting *w, FileSink *sink, Scan *scan) {
    scan->sink = sink;
    ScanTable(w->view, w->size, w->delimiter, scan);
    w->scanned = 1;
    w->rc = ScanVerdict(scan, w->header);
}

/* Writes the index file of a preparation: room for the two counts, the
 * offsets as the scan finds them, then the counts over the room. Gives up
 * on a table that cannot be indexed. */
static int WriteIndex(void *context, FileSink *sink) {
    IndexWriting *w = (IndexWriting *)context;
    static const char room[8] = {0};
    FileSinkPut(sink, room, sizeof room);
    Scan scan;
    ScanFor(w, sink, &scan);
    if (w->rc != TBL_OK) return 1;
    PutOffsets(&scan, scan.pending - 1);
    unsigned char counts[8];
    StoreWord(&counts[0], (uint32_t)(scan.lines - (uint64_t)w->header));
    StoreWord(&counts[4], (uint32_t)scan.reference);
    FileSinkPutAt(sink, 0, (const char *)counts, sizeof counts);
    return 0;
}

/* The preparation's work after its checks: maps the data file, and puts
 * the index file its scan writes in place under name. */
static int BuildIndexFile(const char *path, const char *name, char delimiter,
                          int32_t header, int32_t overwrite) {
    const char *view;
    uint64_t size;
    if (MapFileReadOnly(path, ACCESS_SEQUENTIAL, &view, &size, NULL) != FILE_OK)
        return TBL_ERR_MAP_DATA;

    IndexWriting w = {view, size, delimiter, header, 0, TBL_OK};
    FileResult placed = FilePlace(name, WriteIndex, &w, overwrite);
    if (!w.scanned) {
        /* No file could be begun; a table that cannot be indexed says so
         * all the same, as it would have with a file. */
        Scan scan;
        ScanFor(&w, NULL, &scan);
    }
    /* FILE_STRAY: the index is in place, but the temporary file it was
     * written as is left beside it; the caller is told (TBL_ERR_REMOVE). */
    int rc = w.rc != TBL_OK      ? w.rc
             : placed == FILE_OK     ? TBL_OK
             : placed == FILE_EXISTS ? TBL_ERR_INDEX_EXISTS
             : placed == FILE_STRAY  ? TBL_ERR_REMOVE
                                     : TBL_ERR_INDEX_BUILD;
    if (UnmapFile(view, size) != FILE_OK && rc == TBL_OK) rc = TBL_ERR_UNMAP;
    return rc;
}

int PrepareIndexFile(const char *path, const char *index_dir,
                     const char *delimiter, const int32_t *header_lines,
                     int32_t overwrite, int32_t unique) {
    /* A delimiter every open refuses would make an index no open can use. */
    if (delimiter && DelimiterRefused(*delimiter)) return TBL_ERR_DELIMITER;
    if (!path || os_is_file_exist(path) != 1) return TBL_ERR_NO_FILE;
    /* A negative header line count could never be opened, and the counts
     * it would store mean nothing. */
    if (!index_dir || !delimiter || !header_lines || *header_lines < 0)
        return TBL_ERR_INDEX_BUILD;
    int32_t header = *header_lines;

    char name[INDEX_PATH_MAX];
    if (IndexFileName(path, index_dir, *delimiter, header, unique, name,
                      sizeof name) != TBL_OK)
        return TBL_ERR_INDEX_BUILD;
    /* A quick answer without a scan; the placement below decides all the
     * same when another process puts an index file there meanwhile. With
     * overwrite the old file stays until the new one replaces it. */
    if (!overwrite && os_is_file_exist(name) != 0) return TBL_ERR_INDEX_EXISTS;

    int rc = BuildIndexFile(path, name, *delimiter, header, overwrite);
    /* A replacement that failed leaves no index under the name: the old one
     * holds offsets the caller asked to replace. Readers that have it
     * mapped keep their mapping. (After TBL_ERR_UNMAP and TBL_ERR_REMOVE
     * the new index is in place.) */
    if (overwrite && rc != TBL_OK && rc != TBL_ERR_UNMAP && rc != TBL_ERR_REMOVE &&
        os_is_file_exist(name) != 0 && !FileRemove(name))
        rc = TBL_ERR_REMOVE;
    return rc;
}

int RemoveIndexFile(const char *path, const char *delimiter,
                    const int32_t *header_lines, const char *index_dir,
                    int32_t unique) {
    if (!path || !index_dir) return TBL_ERR_REMOVE;
    char d = ',';
    int32_t header = 1;
    if (unique) {
        if (!delimiter || !header_lines) return TBL_ERR_REMOVE;
        d = *delimiter;
        header = *header_lines;
    }
    char name[INDEX_PATH_MAX];
    if (IndexFileName(path, index_dir, d, header, unique, name, sizeof name) !=
        TBL_OK)
        return TBL_ERR_REMOVE;
    return FileRemove(name) ? TBL_OK : TBL_ERR_REMOVE;
}

/* ---- Line counting ----------------------------------------------------- */

/* Lines ended by an LF, up to the first blank one (empty or white space
 * only). A line is known to be filled at its first non-space byte; the rest
 * of it only needs its LF found. */
static int64_t CountFilledLines(const char *data, uint64_t size) {
    TAVL_ASSERT(size > 0); /* an empty file cannot be mapped */
    const char *last = data + size - 1;
    size_t n = (size_t)size;
    size_t position = 0;
    int64_t count = 0;
    while (position < n) {
        size_t i = position;
        while (i < n && data[i] != '\n' && os_is_char_space(data + i, last))
            ++i;
        if (i == n || data[i] == '\n') break; /* blank line, or no LF */
        const char *lf = (const char *)memchr(data + i, '\n', n - i);
        if (!lf) break; /* a last line without LF is not counted */
        ++count;
        position = (size_t)(lf - data) + 1;
    }
    return count;
}

int CountFileLines(const char *path, const char *delimiter,
                   const int32_t *subtract) {
    (void)delimiter; /* the count does not depend on it */
    if (!path || os_is_file_exist(path) != 1) return TBL_ERR_NO_FILE;
    const char *view;
    uint64_t size;
    if (MapFileReadOnly(path, ACCESS_SEQUENTIAL, &view, &size, NULL) != FILE_OK)
        return TBL_ERR_MAP_DATA;
    int64_t count = CountFilledLines(view, size);
    UnmapFile(view, size);
    int64_t result = count - (subtract ? *subtract : 0);
    /* A negative subtrahend could push the result past what the return
     * value holds; a wrapped count would be a plainly wrong answer. */
    if (result > INT32_MAX) return TBL_ERR_RANGE;
    return (int)result;
}

