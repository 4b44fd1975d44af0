/*
 * runtime.cpp - the indexed back-end: index file names, the preparation and
 * removal of index files, line counting, and the open, line fetch and
 * release of a mapped table.
 *
 * An index file holds two little-endian 32-bit words, the data line count
 * and the column count, then the byte offset of every line of the data file,
 * header lines first: 32-bit little-endian words for a data file under
 * 4 GiB (size 8 + 4n for n lines), 64-bit ones for a larger file (the wide
 * form, size 8 + 8n). A reader tells the forms apart by the size alone, and
 * a reader that knows only the 32-bit form refuses a wide file by its size
 * check. Its name is a hash of the data path (with the header line count and
 * delimiter under a unique flag), so every process naming the same data file
 * finds the same index. Names collide (10,000 of them), so the open checks
 * that the index describes the data file it maps before it trusts it.
 *
 * Guarantees: no byte outside a mapped view is ever read, whatever the index
 * file holds (the open checks its size against its counts, every fetch checks
 * its line against the index and its offset against the data); every file
 * and mapping handle is closed on every path, and every heap block goes back
 * to the host allocator before a call returns. A failed argument check, name
 * or allocation creates and removes nothing. An index file appears whole or
 * not at all (the file layer puts it in place), and a file that readers
 * have mapped is never written to: of several processes preparing one data
 * file at once exactly one puts its index in place and the others get
 * TBL_ERR_INDEX_EXISTS; a replacing preparation renames over the old file,
 * which its readers keep, and one that fails after its existence check
 * removes the old file, so that no index the caller asked to replace is
 * read again.
 *
 * Mappings are unnamed: a name made from the path can belong to two files
 * (on Windows a section found by name ignores the file handle), and the file
 * cache shares an unnamed mapping's pages between processes all the same.
 */
#include "store/runtime.h"

#include <string.h>

#include "base/tavlbits.h"
#include "base/tavlbuf.h"
#include "base/tavlfile.h"
#include "base/tavlhost.h"
#include "codec/tavl_codec.h"
#include "store/backend.h"
#include "tavlin32.h"

/* Room for an index file path with its NUL. */
#define INDEX_PATH_MAX 256u

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

/* Bytes of one line offset in the index of a data file of size bytes: 4
 * under 4 GiB, 8 (the wide form) from 4 GiB on. */
static uint32_t OffsetBytesFor(uint64_t data_size) {
    return data_size > UINT32_MAX ? 8u : 4u;
}

/* Maps the file at path whole for reading through the file layer, held
 * open in held when that is not null; 1 when it did. */
static int MapWhole(const char *path, int hint, const char **view, uint64_t *size,
                    HeldFile *held) {
    return MapFileReadOnly(path, hint, view, size, held) == FILE_OK;
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

/* One byte of the scan. A line ends at each LF and at the file's last byte,
 * tested before the delimiter, so the ending byte never counts as one. A
 * delimiter counts unless a quote stands on both sides of it (an encoded
 * delimiter); the first byte of the file has no left side and always
 * counts. Returns 0 when the table ends. */
static int ScanByte(Scan *scan, const unsigned char *data, size_t i,
                    size_t last, unsigned char delimiter) {
    unsigned char b = data[i];
    if (b == '\n' || i == last) return EndLine(scan, i + 1);
    if (b == delimiter && DelimiterSeparates((const char *)data, last + 1, i))
        ++scan->fields;
    return 1;
}

#if defined(TAVL_SSE2)
/* What ScanBlocks returns when the table ended inside the blocks. */
#define SCAN_ENDED ((size_t)-1)

/* The 64 bytes at p compared with b, one bit a byte. */
static inline uint64_t Mask64(__m128i x0, __m128i x1, __m128i x2, __m128i x3, __m128i b) {
    return (uint64_t)ByteMask(x0, b) | ((uint64_t)ByteMask(x1, b) << 16) |
           ((uint64_t)ByteMask(x2, b) << 32) | ((uint64_t)ByteMask(x3, b) << 48);
}

/* The scan over blocks of 64 bytes, up to the last whole block before the
 * data's last byte (a block never holds it); returns where the byte-wise
 * scan goes on, or SCAN_ENDED. Without a quote in a block no delimiter of it
 * can be an encoded one (its inner neighbours would be quotes), so the masks
 * alone count it; blocks with quotes go byte by byte. The delimiter is not
 * the quote. Counting bits is most of the work per line: the body is built
 * twice, with the processor's own bit count where it has one. */
static inline __attribute__((always_inline)) size_t ScanBlocksBody(
    Scan *scan, const unsigned char *data, size_t n, unsigned char d) {
    const __m128i lf_bytes = _mm_set1_epi8('\n');
    const __m128i delimiter_bytes = _mm_set1_epi8((char)d);
    const __m128i quote_bytes = _mm_set1_epi8(QUOTE);
    size_t i = 0;
    while (i + 64 < n) {
        const unsigned char *p = data + i;
        __m128i x0 = LoadSixteen(p), x1 = LoadSixteen(p + 16);
        __m128i x2 = LoadSixteen(p + 32), x3 = LoadSixteen(p + 48);
        __m128i quotes = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(x0, quote_bytes), _mm_cmpeq_epi8(x1, quote_bytes)),
            _mm_or_si128(_mm_cmpeq_epi8(x2, quote_bytes), _mm_cmpeq_epi8(x3, quote_bytes)));
        if (_mm_movemask_epi8(quotes)) {
            for (size_t end = i + 64; i < end; ++i)
                if (!ScanByte(scan, data, i, n - 1, d)) return SCAN_ENDED;
            continue;
        }
        uint64_t lf = Mask64(x0, x1, x2, x3, lf_bytes);
        uint64_t dm = Mask64(x0, x1, x2, x3, delimiter_bytes) & ~lf;
        while (lf) {
            unsigned at = (unsigned)__builtin_ctzll(lf);
            uint64_t below = ((uint64_t)1 << at) - 1u;
            scan->fields += (uint64_t)__builtin_popcountll(dm & below);
            dm &= ~below;
            if (!EndLine(scan, i + at + 1)) return SCAN_ENDED;
            lf &= lf - 1u;
        }
        scan->fields += (uint64_t)__builtin_popcountll(dm);
        i += 64;
    }
    return i;
}

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
__attribute__((target("popcnt"))) static size_t ScanBlocksPopcnt(
    Scan *scan, const unsigned char *data, size_t n, unsigned char d) {
    return ScanBlocksBody(scan, data, n, d);
}
#endif

static size_t ScanBlocks(Scan *scan, const unsigned char *data, size_t n, unsigned char d) {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    if (__builtin_cpu_supports("popcnt")) return ScanBlocksPopcnt(scan, data, n, d);
#endif
    return ScanBlocksBody(scan, data, n, d);
}
#endif

/* One pass over the data: counts the lines of the table and the fields of
 * its first line, and hands where each line starts to scan->sink. The first
 * line whose field count differs from the first line's ends the table. */
static void ScanTable(const char *view, uint64_t size, char delimiter,
                      Scan *scan) {
    const unsigned char *data = (const unsigned char *)view;
    const unsigned char d = (unsigned char)delimiter;
    TAVL_ASSERT(size > 0); /* an empty file cannot be mapped */
    size_t n = (size_t)size;
    size_t last = n - 1;
    size_t i = 0;
    scan->lines = 0;
    scan->reference = 0;
    scan->fields = 1;
    scan->width = OffsetBytesFor(size);
    scan->pending = 0;
    RecordOffset(scan, 0); /* line 0 */
#if defined(TAVL_SSE2)
    if (d != QUOTE) {
        i = ScanBlocks(scan, data, n, d);
        if (i == SCAN_ENDED) return;
    }
#endif
    for (; i < n; ++i)
        if (!ScanByte(scan, data, i, last, d)) return;
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
    if (!MapWhole(path, ACCESS_SEQUENTIAL, &view, &size, NULL)) return TBL_ERR_MAP_DATA;

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
    if (!MapWhole(path, ACCESS_SEQUENTIAL, &view, &size, NULL))
        return TBL_ERR_MAP_DATA;
    int64_t count = CountFilledLines(view, size);
    UnmapFile(view, size);
    int64_t result = count - (subtract ? *subtract : 0);
    /* A negative subtrahend could push the result past what the return
     * value holds; a wrapped count would be a plainly wrong answer. */
    if (result > INT32_MAX) return TBL_ERR_RANGE;
    return (int)result;
}

/* ---- Indexed tables ---------------------------------------------------- */

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
    TAVL_ASSERT(width == 4 || width == 8);
    const unsigned char *at = index + 8 + (size_t)k * width;
    return width == 4 ? LoadWord(at) : LoadWide(at);
}

/* Fields of the line at start by the preparation's count: up to its LF, or
 * up to the last byte of the data, which ends the line and never counts
 * as a delimiter; a delimiter counts unless a quote stands on both sides
 * of it. *end receives where the line ends (its LF, or size). */
static uint64_t FieldsAt(const char *data, size_t size, size_t start,
                         char delimiter, size_t *end) {
    TAVL_ASSERT(start < size);
    const char *lf = (const char *)memchr(data + start, '\n', size - start);
    size_t stop = lf ? (size_t)(lf - data) : size - 1;
    uint64_t fields = 1;
    for (const char *p = data + start; p < data + stop; ++p) {
        p = (const char *)memchr(p, delimiter, (size_t)(data + stop - p));
        if (!p) break;
        if (DelimiterSeparates(data, size, (size_t)(p - data))) ++fields;
    }
    *end = lf ? stop : size;
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
        uint64_t offset;
        if (tail_words && k >= tail_first) {
            const unsigned char *at = tail_words + (size_t)(k - tail_first) * width;
            offset = width == 4 ? LoadWord(at) : LoadWide(at);
        } else {
            offset = OffsetAt(index, width, k);
        }
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
    if (!MapWhole(path, ACCESS_RANDOM, &data, &data_size, data_file))
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
    if (!MapWhole(name, ACCESS_RANDOM, &index, &index_size, &index_file))
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
    const char *start;
    size_t length;
    int nul;
    int rc = IndexedLineSpan(store, position, &start, &length, &nul);
    if (rc != TBL_OK) return rc;
    if (!nul) return TextBufferSetBytes(output, start, (int32_t)length);

    /* NUL bytes of the data are not part of the line's text: size the
     * buffer for the others, then copy them in. */
    size_t kept = 0;
    for (size_t i = 0; i < length; ++i) kept += start[i] != '\0';
    rc = TextBufferSetBytes(output, start, (int32_t)kept);
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
    if (!copy || TextBufferNew(copy) != TBL_OK) return TBL_ERR_NO_MEMORY;
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
