/*
 * runtime.cpp - the indexed back-end: index file names, the read-only file
 * mapping, the preparation and removal of index files, line counting, and
 * the open, line fetch and release of a mapped table.
 *
 * An index file is a run of little-endian 32-bit words: the data line count,
 * the column count, then the byte offset of every line of the data file,
 * header lines first. Its name is a hash of the data path (with the header
 * line count and delimiter under a unique flag), so every process naming the
 * same data file finds the same index.
 *
 * Guarantees: no byte outside a mapped view is ever read, whatever the index
 * file holds (the open checks its size against its counts, every fetch checks
 * its line against the index and its offset against the data); every file
 * and mapping handle is closed on every path, and every heap block goes back
 * to the host allocator before a call returns. A failed argument check, name
 * or allocation creates and removes nothing. An index file appears whole or
 * not at all, and a file that readers have mapped is never written to.
 *
 * Mappings are unnamed: a name made from the path can belong to two files
 * (on Windows a section found by name ignores the file handle), and the file
 * cache shares an unnamed mapping's pages between processes all the same.
 */
#include "store/runtime.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#if defined(_WIN32)
#  include <fcntl.h>
#  include <io.h>
#  include <sys/stat.h>
#else
#  include <fcntl.h>
#  include <unistd.h>
#endif

#include "base/dyn_ary.h"
#include "base/tavlbits.h"
#include "base/tavlbuf.h"
#include "base/tavlhost.h"
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

#define ACCESS_SEQUENTIAL FILE_FLAG_SEQUENTIAL_SCAN
#define ACCESS_RANDOM     FILE_FLAG_RANDOM_ACCESS

/* Index words are little-endian whatever the machine. */
static uint32_t LoadWord(const void *at) {
    const unsigned char *b = (const unsigned char *)at;
    return (uint32_t)b[0] | ((uint32_t)b[1] << 8) | ((uint32_t)b[2] << 16) |
           ((uint32_t)b[3] << 24);
}

static void StoreWord(void *at, uint32_t value) {
    unsigned char *b = (unsigned char *)at;
    b[0] = (unsigned char)value;
    b[1] = (unsigned char)(value >> 8);
    b[2] = (unsigned char)(value >> 16);
    b[3] = (unsigned char)(value >> 24);
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
    snprintf(name + dir_length + separate, capacity - dir_length - separate,
             "%4.d.idx", (int)hash);
    return TBL_OK;
}

/* ---- Mapping ----------------------------------------------------------- */

int MapFileReadOnly(const char *path, uint32_t hint, const char **view,
                    uint32_t *size) {
    *view = NULL;
    *size = 0;
    if (!path) return TBL_ERR_OPEN;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL,
                              OPEN_EXISTING, hint, NULL);
    if (file == INVALID_HANDLE_VALUE) return TBL_ERR_OPEN;

    /* Sizes are 32-bit throughout; a file of 4 GiB or more is refused
     * rather than mapped at a truncated size. */
    DWORD high = 0;
    DWORD low = GetFileSize(file, &high);
    if ((low == INVALID_FILE_SIZE && GetLastError() != 0) || high != 0) {
        CloseHandle(file);
        return TBL_ERR_MAP;
    }
    /* An empty file cannot be mapped and fails here. */
    HANDLE mapping = CreateFileMappingA(file, NULL,
                                        PAGE_READONLY | SEC_COMMIT | SEC_NOCACHE,
                                        0, 0, NULL);
    CloseHandle(file);
    if (!mapping) return TBL_ERR_MAP;
    /* The view outlives the mapping handle. */
    LPVOID bytes = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    CloseHandle(mapping);
    if (!bytes) return TBL_ERR_MAP;
    *view = (const char *)bytes;
    *size = (uint32_t)low;
    return TBL_OK;
}

int UnmapFile(const char *view) {
    if (!view) return TBL_OK;
    return UnmapViewOfFile(view) ? TBL_OK : TBL_ERR_UNMAP;
}

/* ---- Preparation ------------------------------------------------------- */

/* Set bits of a mask; plain arithmetic, since a popcount instruction is
 * not part of every target the library builds for. */
static inline uint32_t BitCount(uint32_t x) {
    x = x - ((x >> 1) & 0x55555555u);
    x = (x & 0x33333333u) + ((x >> 2) & 0x33333333u);
    x = (x + (x >> 4)) & 0x0F0F0F0Fu;
    return (x * 0x01010101u) >> 24;
}

/* Sixteen bytes at a time where the machine has SSE2 (every x86-64): one
 * compare per byte class gives a bit mask of LFs, delimiters and quotes. */
#if defined(__SSE2__) || defined(_M_X64) || \
    (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#  include <emmintrin.h>
#  define TAVL_BLOCKS 1
#endif

/* Running state of the scan: lines ended so far, the field count of the
 * first line, the fields of the line under way, and the index image being
 * filled (word 2 + k is the offset of line k). The image grows by doubling;
 * when it cannot grow it is dropped and the scan goes on counting, so that
 * a file with too few lines is still reported as such. */
typedef struct Scan {
    uint64_t lines;
    uint64_t reference;
    uint64_t fields;
    uint32_t *image;
    size_t capacity; /* words */
} Scan;

#define IMAGE_FIRST_WORDS 4096u

static void DropImage(Scan *scan) {
    if (scan->image) qmem_free(scan->image);
    scan->image = NULL;
    scan->capacity = 0;
}

/* Records where line k starts. */
static void RecordOffset(Scan *scan, uint64_t k, size_t offset) {
    if (!scan->image) return;
    if (2 + k >= scan->capacity) {
        if (scan->capacity > (size_t)-1 / 8) {
            DropImage(scan);
            return;
        }
        size_t grown = scan->capacity * 2;
        uint32_t *image = (uint32_t *)qmem_realloc(scan->image, grown * 4);
        if (!image) {
            DropImage(scan);
            return;
        }
        scan->image = image;
        scan->capacity = grown;
    }
    StoreWord(&scan->image[2 + k], (uint32_t)offset);
}

/* Ends the line under way; the next one starts at next. 0 when its field
 * count ends the table instead. */
static int EndLine(Scan *scan, size_t next) {
    if (scan->lines == 0) scan->reference = scan->fields;
    else if (scan->fields != scan->reference) return 0;
    ++scan->lines;
    scan->fields = 1;
    RecordOffset(scan, scan->lines, next);
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
    if (b == delimiter &&
        !(i > 0 && data[i - 1] == '"' && data[i + 1] == '"'))
        ++scan->fields;
    return 1;
}

/* One pass over the data: counts the lines of the table and the fields of
 * its first line, and records where each line starts. The first line whose
 * field count differs from the first line's ends the table. */
static void ScanTable(const char *view, uint32_t size, char delimiter,
                      Scan *scan) {
    const unsigned char *data = (const unsigned char *)view;
    const unsigned char d = (unsigned char)delimiter;
    size_t n = size;
    size_t last = n - 1;
    size_t i = 0;
    scan->lines = 0;
    scan->reference = 0;
    scan->fields = 1;
    scan->image = (uint32_t *)qmem_calloc(IMAGE_FIRST_WORDS, 4);
    scan->capacity = scan->image ? IMAGE_FIRST_WORDS : 0;
#if defined(TAVL_BLOCKS)
    /* A block never holds the last byte. Without a quote in a block no
     * delimiter of it can be an encoded one (its inner neighbours would be
     * quotes), so the masks alone count it; blocks with quotes go byte by
     * byte. A quote delimiter always goes byte by byte. */
    if (d != '"') {
        const __m128i lf_bytes = _mm_set1_epi8('\n');
        const __m128i delimiter_bytes = _mm_set1_epi8((char)d);
        const __m128i quote_bytes = _mm_set1_epi8('"');
        while (i + 16 < n) {
            __m128i x = _mm_loadu_si128((const __m128i *)(const void *)(data + i));
            if (_mm_movemask_epi8(_mm_cmpeq_epi8(x, quote_bytes))) {
                for (size_t end = i + 16; i < end; ++i)
                    if (!ScanByte(scan, data, i, last, d)) return;
                continue;
            }
            uint32_t lf = (uint32_t)_mm_movemask_epi8(_mm_cmpeq_epi8(x, lf_bytes));
            uint32_t dm = (uint32_t)_mm_movemask_epi8(_mm_cmpeq_epi8(x, delimiter_bytes)) & ~lf;
            while (lf) {
                unsigned at = (unsigned)__builtin_ctz(lf);
                uint32_t below = (1u << at) - 1u;
                scan->fields += BitCount(dm & below);
                dm &= ~below;
                if (!EndLine(scan, i + at + 1)) return;
                lf &= lf - 1u;
            }
            scan->fields += BitCount(dm);
            i += 16;
        }
    }
#endif
    for (; i < n; ++i)
        if (!ScanByte(scan, data, i, last, d)) return;
}

/* ---- Putting an index file in place ----------------------------------- */

/* An index file appears whole or not at all. Its words go to a temporary
 * file beside it, written and flushed to the disk, which is then put in
 * place in one step: without overwrite only while no index file is there,
 * so of several processes preparing one data file at once exactly one puts
 * its file in place and the others get TBL_ERR_INDEX_EXISTS; with overwrite
 * over the old file by rename, so a process that has the old one mapped
 * keeps reading it and an open never finds the name missing (Windows
 * refuses to replace a mapped file instead). A file that some process has
 * mapped is never truncated or written to.
 *
 * The system calls are in the few small functions just below. */

/* A temporary name is the index path with its last part replaced by a dot
 * and seven base-36 digits of the process id and a counter: as long as the
 * index path, so it fits wherever that fits, and hidden from a plain
 * listing on Linux. The counter is the one piece of state the library keeps outside
 * a handle; it only keeps two preparations of one process apart. */
#define TEMP_DIGITS 7u
#define TEMP_ID_RANGE 78364164096ull /* 36 to the power of TEMP_DIGITS */
/* Names to try when the one formed is taken (by a file that a process
 * which died before it could remove it left behind). */
#define TEMP_ATTEMPTS 16

/* What PlaceNew answers when the file system can neither link nor move
 * without replacing. */
#define PLACE_UNSUPPORTED 1

static uint32_t temp_counter;

static uint32_t ProcessId(void) {
#if defined(_WIN32)
    return (uint32_t)GetCurrentProcessId();
#else
    return (uint32_t)getpid();
#endif
}

/* Creates path for writing, only when nothing is there yet. A descriptor,
 * or -1 with errno set (EEXIST: the name is taken). The descriptor is not
 * inherited by child processes: on Windows a child holding it open would
 * keep the file from being moved. */
static int CreateNewFile(const char *path) {
#if defined(_WIN32)
    return _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                 _S_IREAD | _S_IWRITE);
#else
    return open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
#endif
}

/* Writes all size bytes to fd, flushes them to the disk and closes fd.
 * 1 when every step succeeded. */
static int WriteSyncClose(int fd, const char *bytes, size_t size) {
    int ok = 1;
    while (ok && size) {
        /* Both systems take a count of at most 2 GiB in one call. */
        unsigned chunk = size > (1u << 30) ? (1u << 30) : (unsigned)size;
#if defined(_WIN32)
        int n = _write(fd, bytes, chunk);
#else
        ssize_t n = write(fd, bytes, chunk);
        if (n < 0 && errno == EINTR) continue;
#endif
        if (n <= 0) {
            ok = 0;
        } else {
            bytes += n;
            size -= (size_t)n;
        }
    }
#if defined(_WIN32)
    if (ok && _commit(fd) != 0) ok = 0;
    if (_close(fd) != 0) ok = 0;
#else
    if (ok && fsync(fd) != 0) ok = 0;
    if (close(fd) != 0) ok = 0;
#endif
    return ok;
}

#if !defined(_WIN32)
/* Errors of a file system that keeps no hard links (FAT, some network and
 * user-space file systems) or cannot move without replacing. */
static int PlacingRefused(int error) {
    return error == EPERM || error == ENOTSUP || error == EOPNOTSUPP ||
           error == ENOSYS || error == EINVAL;
}
#endif

/* Puts temp in place as name while no name exists. TBL_OK,
 * TBL_ERR_INDEX_EXISTS when name exists, PLACE_UNSUPPORTED, or
 * TBL_ERR_INDEX_BUILD. Temp is gone afterwards whatever the result. */
static int PlaceNew(const char *temp, const char *name) {
    int rc;
#if defined(_WIN32)
    if (MoveFileExA(temp, name, MOVEFILE_WRITE_THROUGH)) return TBL_OK;
    DWORD error = GetLastError();
    rc = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS
             ? TBL_ERR_INDEX_EXISTS : TBL_ERR_INDEX_BUILD;
#else
    /* A second name for the complete file: link refuses an existing name
     * and never replaces it. */
    if (link(temp, name) == 0) rc = TBL_OK;
    else if (errno == EEXIST) rc = TBL_ERR_INDEX_EXISTS;
    else if (!PlacingRefused(errno)) rc = TBL_ERR_INDEX_BUILD;
#  if defined(__linux__) && defined(RENAME_NOREPLACE)
    else if (renameat2(AT_FDCWD, temp, AT_FDCWD, name, RENAME_NOREPLACE) == 0)
        return TBL_OK;
    else if (errno == EEXIST) rc = TBL_ERR_INDEX_EXISTS;
    else if (!PlacingRefused(errno)) rc = TBL_ERR_INDEX_BUILD;
#  endif
    else rc = PLACE_UNSUPPORTED;
#endif
    os_remove_file(temp, 1);
    return rc;
}

/* Puts temp in place as name, replacing any name there. TBL_OK or
 * TBL_ERR_INDEX_BUILD. Temp is gone afterwards whatever the result.
 * Windows refuses to replace a file that a process has mapped: the old
 * index file then stays as it was. */
static int PlaceOver(const char *temp, const char *name) {
#if defined(_WIN32)
    if (MoveFileExA(temp, name, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return TBL_OK;
#else
    if (rename(temp, name) == 0) return TBL_OK;
#endif
    os_remove_file(temp, 1);
    return TBL_ERR_INDEX_BUILD;
}

/* Creates path anew (never over an existing file) and writes size bytes to
 * it. TBL_OK; TBL_ERR_INDEX_EXISTS when the name is taken; else
 * TBL_ERR_INDEX_WRITE, after the file it created is removed. */
static int WriteNewFile(const char *path, const void *bytes, size_t size) {
    int fd = CreateNewFile(path);
    if (fd < 0) return errno == EEXIST ? TBL_ERR_INDEX_EXISTS : TBL_ERR_INDEX_WRITE;
    if (WriteSyncClose(fd, (const char *)bytes, size)) return TBL_OK;
    os_remove_file(path, 1);
    return TBL_ERR_INDEX_WRITE;
}

/* Forms the next temporary name for the index path name (length bytes)
 * into temp, which has room for length + 1 bytes. */
static void TempIndexName(const char *name, size_t length, char *temp) {
    uint32_t count = __atomic_fetch_add(&temp_counter, 1u, __ATOMIC_RELAXED);
    uint64_t id = (((uint64_t)ProcessId() << 16) | (count & 0xFFFFu)) % TEMP_ID_RANGE;
    size_t base = length - INDEX_BASE_LENGTH;
    memcpy(temp, name, base);
    temp[base] = '.';
    for (size_t k = TEMP_DIGITS; k >= 1; --k) {
        temp[base + k] = "0123456789abcdefghijklmnopqrstuvwxyz"[id % 36];
        id /= 36;
    }
    temp[length] = '\0';
}

/* Writes the first words of image as the index file name. TBL_OK;
 * TBL_ERR_INDEX_EXISTS when, without overwrite, an index file is already
 * there; TBL_ERR_INDEX_BUILD. No temporary file is left on any path.
 *
 * Where the file system can neither link nor move without replacing, the
 * index file is created exclusively and written in place: a process that
 * opens it before it is complete gets TBL_ERR_INDEX_OPEN (its size does not
 * match its counts), and a preparation that dies while writing leaves a
 * short file, which opens refuse and which only a preparation with
 * overwrite or a removal clears. */
static int PutIndexFile(const char *name, const uint32_t *image, size_t words,
                        int32_t overwrite) {
    size_t length = strlen(name);
    char temp[INDEX_PATH_MAX];
    if (length < INDEX_BASE_LENGTH || length >= sizeof temp)
        return TBL_ERR_INDEX_BUILD;
    size_t size = words * 4;
    int rc = TBL_ERR_INDEX_EXISTS;
    for (int attempt = 0; attempt < TEMP_ATTEMPTS && rc == TBL_ERR_INDEX_EXISTS;
         ++attempt) {
        TempIndexName(name, length, temp);
        rc = WriteNewFile(temp, image, size);
    }
    if (rc != TBL_OK) return TBL_ERR_INDEX_BUILD;
    rc = overwrite ? PlaceOver(temp, name) : PlaceNew(temp, name);
    if (rc == PLACE_UNSUPPORTED) rc = WriteNewFile(name, image, size);
    return rc == TBL_OK || rc == TBL_ERR_INDEX_EXISTS ? rc : TBL_ERR_INDEX_BUILD;
}

int PrepareIndexFile(const char *path, const char *index_dir,
                     const char *delimiter, const int32_t *header_lines,
                     int32_t overwrite, int32_t unique) {
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

    const char *view;
    uint32_t size;
    if (MapFileReadOnly(path, ACCESS_SEQUENTIAL, &view, &size) != TBL_OK)
        return TBL_ERR_MAP_DATA;

    Scan scan;
    ScanTable(view, size, *delimiter, &scan);
    int rc = TBL_OK;
    if (scan.lines < (uint64_t)header) {
        rc = TBL_ERR_FORMAT;
    } else if (scan.lines > INT32_MAX || scan.reference > INT32_MAX ||
               !scan.image) {
        /* The counts are read back as signed 32-bit values; a null image
         * means it could not grow. */
        rc = TBL_ERR_INDEX_BUILD;
    } else {
        StoreWord(&scan.image[0], (uint32_t)(scan.lines - (uint64_t)header));
        StoreWord(&scan.image[1], (uint32_t)scan.reference);
        rc = PutIndexFile(name, scan.image, (size_t)scan.lines + 2, overwrite);
    }
    if (scan.image) qmem_free(scan.image);
    if (UnmapFile(view) != TBL_OK && rc == TBL_OK) rc = TBL_ERR_UNMAP;
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
    return os_remove_file(name, 1) == TAVL_REMOVE_OK ? TBL_OK : TBL_ERR_REMOVE;
}

/* ---- Line counting ----------------------------------------------------- */

/* Lines ended by an LF, up to the first blank one (empty or white space
 * only). A line is known to be filled at its first non-space byte; the rest
 * of it only needs its LF found. */
static int64_t CountFilledLines(const char *data, uint32_t size) {
    const char *last = data + size - 1;
    size_t n = size;
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
    uint32_t size;
    if (MapFileReadOnly(path, ACCESS_SEQUENTIAL, &view, &size) != TBL_OK)
        return TBL_ERR_MAP_DATA;
    int64_t count = CountFilledLines(view, size);
    UnmapFile(view);
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
#if defined(TAVL_BLOCKS)
    const __m128i lf_bytes = _mm_set1_epi8('\n');
    const __m128i cr_bytes = _mm_set1_epi8('\r');
    const __m128i zero = _mm_setzero_si128();
    for (; i + 16 <= rest; i += 16) {
        __m128i x = _mm_loadu_si128((const __m128i *)(const void *)(p + i));
        /* Most blocks hold no byte at or below CR (LF and NUL lie below
         * it): one test passes them. */
        if (!_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(x, cr_bytes), x)))
            continue;
        uint32_t end = (uint32_t)_mm_movemask_epi8(
            _mm_or_si128(_mm_cmpeq_epi8(x, lf_bytes), _mm_cmpeq_epi8(x, cr_bytes)));
        uint32_t nuls = (uint32_t)_mm_movemask_epi8(_mm_cmpeq_epi8(x, zero));
        if (end) {
            unsigned at = (unsigned)__builtin_ctz(end);
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

int IndexedOpen(TableHandle *table, const char *path, const char *index_dir) {
    if (!table || !path || !index_dir) return TBL_ERR_INDEX_OPEN;
    char name[INDEX_PATH_MAX];
    if (IndexFileName(path, index_dir, table->delimiter, table->header_lines,
                      table->unique, name, sizeof name) != TBL_OK)
        return TBL_ERR_INDEX_OPEN;

    const char *index;
    uint32_t index_size;
    if (MapFileReadOnly(name, ACCESS_RANDOM, &index, &index_size) != TBL_OK)
        return TBL_ERR_INDEX_OPEN;
    /* From here the view is the handle's; CloseTable releases it. */
    table->index_view = (const uint32_t *)(const void *)index;
    table->index_size = index_size;

    /* The index is trusted only when its size is exactly what its counts
     * and this open's header line count promise: a truncated file, or one
     * prepared with another header line count, fails here instead of being
     * read past its end. Only the two count words are read, so the open
     * costs the same for any number of lines. */
    if (index_size < 8) return TBL_ERR_INDEX_OPEN;
    int32_t data_lines = (int32_t)LoadWord(index);
    int32_t columns = (int32_t)LoadWord(index + 4);
    int64_t lines = (int64_t)table->header_lines + data_lines;
    if (data_lines < 0 || table->header_lines < 0 || lines < 1 ||
        columns < 1 || 8 + 4 * lines != (int64_t)index_size)
        return TBL_ERR_INDEX_OPEN;

    const char *data;
    uint32_t data_size;
    if (MapFileReadOnly(path, ACCESS_RANDOM, &data, &data_size) != TBL_OK)
        return TBL_ERR_MAP_DATA;
    table->data_view = data;
    table->data_size = data_size;

    /* Each column beyond the first needs a delimiter byte in line 0, so a
     * larger column count is not this file's. */
    uint32_t first = LoadWord(index + 8);
    size_t room = first < data_size ? data_size - first : 0;
    const char *lf = room ? (const char *)memchr(data + first, '\n', room)
                          : NULL;
    size_t line_zero = lf ? (size_t)(lf - (data + first)) : room;
    if ((uint64_t)columns > (uint64_t)line_zero + 1) return TBL_ERR_INDEX_OPEN;

    table->data_lines = data_lines;
    table->columns = columns;
    return TBL_OK;
}

int IndexedLineSpan(const TableHandle *table, int32_t number, int32_t kind,
                    const char **start, size_t *length, int *nul) {
    *start = "";
    *length = 0;
    *nul = 0;
    if (!table || !table->index_view || table->index_size < 8)
        return TBL_ERR_FAIL;
    int64_t position = (int64_t)number +
                       (kind == LINE_DATA ? (int64_t)table->header_lines : 0);
    uint64_t offsets = (table->index_size - 8u) / 4u;
    if (position < 0 || (uint64_t)position >= offsets) return TBL_ERR_FAIL;

    const char *words = (const char *)(const void *)table->index_view;
    uint32_t offset = LoadWord(words + 8 + 4 * (size_t)position);
    /* An offset at or past the end of the data is an empty line. */
    if (!table->data_view || offset >= table->data_size) return TBL_OK;

    *start = table->data_view + offset;
    /* A byte-order mark at the start of the file is not part of line 0. */
    if (offset == 0 && table->data_size >= sizeof kByteOrderMark &&
        memcmp(*start, kByteOrderMark, sizeof kByteOrderMark) == 0) {
        *start += sizeof kByteOrderMark;
        offset += (uint32_t)sizeof kByteOrderMark;
    }
#if defined(__GNUC__)
    /* The line's second cache line, asked for while its first is read: a
     * line not in the cache then costs one wait, not two. */
    __builtin_prefetch((const void *)((uintptr_t)*start + 64));
#endif
    *length = LineLength(*start, table->data_size - offset, nul);
    /* Its text could not be held in a buffer of signed 32-bit size. */
    if (*length > INT32_MAX - 1) return TBL_ERR_NO_MEMORY;
    return TBL_OK;
}

int IndexedFetchLine(TableHandle *table, int32_t number, char **output,
                     int32_t kind) {
    if (!output) return TBL_ERR_FAIL;
    const char *start;
    size_t length;
    int nul;
    int rc = IndexedLineSpan(table, number, kind, &start, &length, &nul);
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

int IndexedRelease(TableHandle *table) {
    if (!table) return TBL_OK;
    if (table->column_list) SparseArrayDestroy(&table->column_list);
    table->column_list = NULL;
    UnmapFile(table->data_view);
    UnmapFile((const char *)(const void *)table->index_view);
    table->data_view = NULL;
    table->data_size = 0;
    table->index_view = NULL;
    table->index_size = 0;
    return TBL_OK;
}
