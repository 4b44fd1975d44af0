/*
 * loaded.cpp - the loaded back-end of OPEN_EDIT and OPEN_PREVIEW: the load
 * of a delimited file into memory, lines read and replaced by position,
 * rows and fields appended, the save, and the close.
 *
 * Layout. The file's bytes are read into one block, and each line stays
 * where it is there: its line end (one CR before the LF, and the LF) is
 * overwritten by a NUL, NUL bytes inside it are squeezed out, and the line
 * table gives its offset and length, eight bytes a line. A line that is
 * changed or added gets a block of its own, and its entry points there. A
 * new column rebuilds the whole text. So a table costs its file's size and
 * eight bytes a line, in a handful of allocations, and reading a line is
 * one look into the table and one into the text.
 *
 * Guarantees. A load either returns TBL_OK with every line (at most 100 in
 * OPEN_PREVIEW) consistent and holding the same field count, or fails with
 * a code and the thread's last-error value 0x20000000 (or-ed with the lines
 * stored so far once reading began); nothing it built is lost, the close
 * releases it. A change either happens whole or not at all. The save
 * writes every line held, each ended by CR LF, after the file's byte-order
 * mark; the file layer puts the new file in place whole or not at all.
 */
#include "store/loaded.h"

#include <stdio.h>
#include <string.h>

#include "base/processor.h"
#include "base/tavlbits.h"
#include "base/tavlbuf.h"
#include "base/tavlfile.h"
#include "base/tavlhost.h"
#include "codec/tavl_codec.h"
#include "store/backend.h"
#include "store/linereader_record.h"
#include "tavlin32.h"

#define PREVIEW_LINES 100

/* A load reads a file of unknown size in pieces of this size, doubling the
 * block while a line does not fit; a file of known size is read whole in
 * one piece. A preview needs only its first lines: it starts from a small
 * block (or the file's size, when smaller) and doubles it while they do
 * not fit, so its memory follows the lines it holds. */
#define READ_BLOCK ((size_t)1 << 20)
#define PREVIEW_BLOCK ((size_t)4 << 10)

/* ---- The line table --------------------------------------------------- */

/* The rows of field ends (see LoadedStore): all of them dropped, or the
 * row of one line that changed. */
static void RowsFree(LoadedStore *loaded) {
    for (int k = 0; k < LINE_CHUNKS; k++) {
        if (loaded->rows[k]) qmem_free(loaded->rows[k]);
        loaded->rows[k] = NULL;
    }
    loaded->rowed = 0;
    loaded->row_bytes = 0;
}

static void RowForget(LoadedStore *loaded, int32_t position) {
    uint8_t *row = position < loaded->rowed ? RowOf(loaded->rows, loaded->row_bytes, position)
                                            : NULL;
    if (row) row[loaded->row_bytes - 1] = 0;
}

static int LineAppend(LineTable *table, LineRef ref) {
    if (table->count == INT32_MAX) return TBL_ERR_NO_MEMORY;
    size_t at;
    const unsigned k = LineChunk(table->count, &at);
    if (!table->chunks[k]) {
        /* Never touched before it is filled, so a chunk costs memory only
         * as far as lines reach into it. */
        const size_t size = ((size_t)LINE_CHUNK_FIRST << k) * sizeof(LineRef);
        table->chunks[k] = (LineRef *)qmem_malloc(size);
        if (!table->chunks[k]) return TBL_ERR_NO_MEMORY;
        AdviseLargePages(table->chunks[k], size);
    }
    table->chunks[k][at] = ref;
    table->count++;
    return TBL_OK;
}

/* The LineRef of a line of length n at offset at in the loaded text. */
static LineRef TextRef(size_t at, size_t n) {
    return ((LineRef)at << LENGTH_BITS) | (n < LENGTH_LONG ? (LineRef)n : LENGTH_LONG);
}

static LineRef OwnedRef(char *text) {
    TAVL_ASSERT(((uintptr_t)text & LINE_OWNED) == 0);
    return (LineRef)(uintptr_t)text | LINE_OWNED;
}

static char *OwnedText(LineRef ref) {
    return (ref & LINE_OWNED) ? (char *)(uintptr_t)(ref & ~LINE_OWNED) : NULL;
}

static const char *RefText(const LoadedStore *loaded, LineRef ref,
                           size_t *length) {
    const char *text = OwnedText(ref);
    if (text) {
        *length = strlen(text);
        return text;
    }
    text = loaded->text + (ref >> LENGTH_BITS);
    LineRef n = ref & LENGTH_LONG;
    *length = n == LENGTH_LONG ? strlen(text) : (size_t)n;
    return text;
}

/* Releases the line table, the owned lines and the text. */
static void LinesFree(LineTable *table) {
    for (int32_t p = 0; p < table->count; p++) {
        char *owned = OwnedText(*LineSlot(table, p));
        if (owned) TextBufferFree(&owned);
    }
    for (int k = 0; k < LINE_CHUNKS; k++)
        if (table->chunks[k]) qmem_free(table->chunks[k]);
    memset(table, 0, sizeof *table);
}

/* ---- Lines -------------------------------------------------------------- */

/* The text of the line at position, where it lies; never copied. */
static int FetchLoadedRow(TableStore *store, int32_t position,
                          const char **text, size_t *length, char **copy) {
    (void)copy;
    const LoadedStore *loaded = LoadedOfConst(store);
    if (position < 0 || position >= loaded->lines.count) return TBL_ERR_FAIL;
    *text = RefText(loaded, *LineSlot(&loaded->lines, position), length);
    /* The line's second cache line, asked for while its first is read: a
     * line not in the cache then costs one wait, not two. */
    TAVL_PREFETCH(*text + 64);
    return TBL_OK;
}

static int32_t LoadedLines(const TableStore *store) {
    return LoadedOfConst(store)->lines.count;
}

static void StoreLoadedRow(TableStore *store, int32_t position, char **text) {
    LoadedStore *loaded = LoadedOf(store);
    TAVL_ASSERT(position >= 0 && position < loaded->lines.count && *text);
    ReadMemoForget(store);
    RowForget(loaded, position);
    LineRef *slot = LineSlot(&loaded->lines, position);
    char *old = OwnedText(*slot);
    if (old) TextBufferFree(&old);
    *slot = OwnedRef(*text);
    *text = NULL;
}

/* A change inside one line. Bytes that fit where the old ones stood go
 * there, and the rest of the line moves up behind them: no allocation, so
 * the usual write costs no more than the line's own bytes. */
static int LoadedSplice(TableStore *store, int32_t position, size_t at, size_t span,
                        const char *bytes, size_t count) {
    LoadedStore *loaded = LoadedOf(store);
    ReadMemoForget(store);
    RowForget(loaded, position);
    LineRef *slot = LineSlot(&loaded->lines, position);
    size_t n;
    char *text = (char *)RefText(loaded, *slot, &n);
    TAVL_ASSERT(at + span <= n && !memchr(bytes, '\0', count));
    if (count <= span) {
        memcpy(text + at, bytes, count);
        memmove(text + at + count, text + at + span, n - at - span);
        text[n - span + count] = '\0';
        if (!OwnedText(*slot))
            *slot = TextRef((size_t)(text - loaded->text), n - span + count);
        return TBL_OK;
    }
    char *line = (char *)qmem_malloc(n - span + count + 1);
    if (!line) return TBL_ERR_NO_MEMORY;
    memcpy(line, text, at);
    memcpy(line + at, bytes, count);
    memcpy(line + at + count, text + at + span, n - at - span);
    line[n - span + count] = '\0';
    StoreLoadedRow(store, position, &line);
    return TBL_OK;
}

static int LoadedAppendRow(TableStore *store, int32_t columns) {
    TAVL_ASSERT(columns >= 0);
    size_t delimiters = columns > 1 ? (size_t)columns - 1 : 0;
    char *text = (char *)qmem_malloc(delimiters + 1);
    if (!text) return TBL_ERR_NO_MEMORY;
    memset(text, store->delimiter, delimiters);
    text[delimiters] = '\0';
    int rc = LineAppend(&LoadedOf(store)->lines, OwnedRef(text));
    if (rc != TBL_OK) TextBufferFree(&text);
    return rc;
}

/* Line p with a new field: its text (*n bytes) and what follows it in
 * *add (*add_length bytes): its suffix, or nothing when it is replaced. */
static const char *NewFieldLine(const LoadedStore *loaded, int32_t p,
                                const char *first_suffix, const char *suffix,
                                char **replace, size_t *n, const char **add,
                                size_t *add_length) {
    if (replace && replace[p]) {
        *n = strlen(replace[p]);
        *add = "";
        *add_length = 0;
        return replace[p];
    }
    *add = p ? suffix : first_suffix;
    *add_length = strlen(*add);
    return RefText(loaded, *LineSlot(&loaded->lines, p), n);
}

/* A new field on every line: the whole text is built anew, every line in
 * it with its suffix (or its replacement), so that no line needs a block
 * of its own; then the new text and table take the old ones' place. */
static int LoadedAppendField(TableStore *store, const char *first_suffix,
                             const char *suffix, char **replace) {
    LoadedStore *loaded = LoadedOf(store);
    const int32_t count = loaded->lines.count;
    size_t size = 1, n, add_length;
    const char *add;
    for (int32_t p = 0; p < count; p++) {
        NewFieldLine(loaded, p, first_suffix, suffix, replace, &n, &add, &add_length);
        size += n + add_length + 1;
    }
    char *text = (char *)qmem_malloc(size + SELECT_READ);
    LineTable lines;
    memset(&lines, 0, sizeof lines);
    if (!text) return TBL_ERR_NO_MEMORY;
    size_t at = 0;
    for (int32_t p = 0; p < count; p++) {
        const char *line =
            NewFieldLine(loaded, p, first_suffix, suffix, replace, &n, &add, &add_length);
        memcpy(text + at, line, n);
        memcpy(text + at + n, add, add_length);
        text[at + n + add_length] = '\0';
        if (LineAppend(&lines, TextRef(at, n + add_length)) != TBL_OK) {
            LinesFree(&lines); /* it holds no line of its own */
            qmem_free(text);
            return TBL_ERR_NO_MEMORY;
        }
        at += n + add_length + 1;
    }
    memset(text + at, 0, size - at + SELECT_READ);
    ReadMemoForget(store);
    RowsFree(loaded);
    LinesFree(&loaded->lines);
    if (loaded->text) qmem_free(loaded->text);
    loaded->text = text;
    loaded->room = size + SELECT_READ;
    loaded->lines = lines;
    for (int32_t p = 0; replace && p < count; p++) TextBufferFree(&replace[p]);
    return TBL_OK;
}

/* ---- Load --------------------------------------------------------------- */

/* Fails the load: the last-error value tells a host why. */
static int LoadFailed(int code, uint32_t stored) {
    TavlSetLastError(TAVL_LOAD_ERROR | stored);
    return code;
}

int TableFileLoad(TableStore *store, const char *path, TableShape *shape) {
    LoadedStore *loaded = LoadedOf(store);
    loaded->stream = FileStreamOpen(path, store->mode == OPEN_PREVIEW ? "rb" : "r+b");
    if (!loaded->stream) {
        loaded->stream_state = STREAM_ABSENT;
        return LoadFailed(TBL_ERR_OPEN, 0);
    }
    loaded->stream_state = STREAM_OPEN;

    /* A whole file of known size is read in one piece into a block of its
     * size (and a NUL): nothing is copied twice. The reader keeps every
     * byte, so each line stays where it was read and the block becomes the
     * table's text. */
    int64_t size = FileStreamSize(loaded->stream);
    size_t capacity = store->mode == OPEN_PREVIEW ? PREVIEW_BLOCK : READ_BLOCK;
    if (size >= 0 && (uint64_t)size < ((size_t)-1) / 2 &&
        (store->mode != OPEN_PREVIEW || (uint64_t)size + 2 < capacity))
        capacity = (size_t)size + 2;
    /* The count notes where the fields of the short plain lines end, with
     * the form for this processor. */
    static const LineCountHook kCount[PROCESSOR_KINDS] = {
#if defined(TAVL_SELECT_WIDE)
        LoadCountPlain, LoadCountWide, LoadCountWidest};
#else
        LoadCountPlain, LoadCountPlain, LoadCountPlain};
#endif
    RowMaker maker = {loaded, store->delimiter, -1, 0};
    LineOptions options = {store->delimiter, 1, 1, 0, capacity, 0,
                           kCount[ProcessorVectorKind()], &maker};
    LineReader reader;
    if (LineReaderInit(&reader, loaded->stream, &options) != 0)
        return LoadFailed(TBL_ERR_NO_MEMORY, 0);

    LineTable *lines = &loaded->lines;
    int rc = TBL_OK;
    const int32_t most = store->mode == OPEN_PREVIEW ? PREVIEW_LINES : INT32_MAX;
    while (rc == TBL_OK && lines->count < most && LineReaderNext(&reader) == LINE_READY) {
        rc = LineAppend(lines, TextRef(reader.at, reader.length));
        maker.columns = reader.fields;
    }
    if (rc == TBL_OK && maker.failed) rc = TBL_ERR_NO_MEMORY;
    /* OPEN_PREVIEW stopped at its line limit */
    const int limited = rc == TBL_OK && lines->count >= most;
    LineState state;
    LineReaderState(&reader, &state);
    loaded->byte_order_mark = state.byte_order_mark;
    const size_t end = state.read;
    const int fault = state.fault;
    const int32_t columns = state.expected;
    /* From here the block is the store's; the close frees it. The bytes
     * after what was read are zeroed as far as a select reads. */
    loaded->text = LineReaderTakeBlock(&reader);
    if (loaded->text) {
        memset(loaded->text + end, 0, SELECT_READ);
        loaded->room = end + SELECT_READ;
    }
    if (rc == TBL_OK && !limited) {
        if (fault == LINE_FAULT_MEMORY) rc = TBL_ERR_NO_MEMORY;
        else if (fault == LINE_FAULT_FIELDS || fault == LINE_FAULT_QUOTES) rc = TBL_ERR_FORMAT;
    }
    /* An empty file is a table of one empty line. */
    if (rc == TBL_OK && !limited && fault == LINE_FAULT_NONE && lines->count == 0 &&
        loaded->text)
        rc = LineAppend(lines, (LineRef)end << LENGTH_BITS);
    if (rc != TBL_OK) return LoadFailed(rc, (uint32_t)lines->count);
    if (fault == LINE_FAULT_READ || ferror(loaded->stream)) {
        fclose(loaded->stream);
        loaded->stream = NULL;
        loaded->stream_state = STREAM_CLOSED;
        return LoadFailed(TBL_ERR_FORMAT, (uint32_t)lines->count);
    }
    shape->columns = columns < 0 ? 0 : columns;
    shape->data_lines = lines->count - store->header_lines;
    /* The rows are kept where they and the line table (eight bytes a line)
     * take at most a fifth of the text: a table then costs at most 1.2
     * times its file. */
    loaded->row_bytes = columns;
    loaded->rowed = lines->count;
    if (columns < 1 || (uint64_t)lines->count * ((uint64_t)columns + sizeof(LineRef)) > end / 5)
        RowsFree(loaded);
    return TBL_OK;
}

/* ---- Close ------------------------------------------------------------- */

int TableFileClose(TableStore *store) {
    LoadedStore *loaded = LoadedOf(store);
    if (loaded->stream_state == STREAM_ABSENT) return TBL_ERR_BAD_HANDLE;
    if (loaded->stream_state == STREAM_OPEN) fclose(loaded->stream);
    loaded->stream = NULL;
    loaded->stream_state = STREAM_CLOSED;
    return TBL_OK;
}

/* Closes the stream and releases the lines and the text. A load that could
 * not open the file built nothing: TBL_ERR_CLOSE. */
static int LoadedClose(TableStore *store) {
    if (TableFileClose(store) != TBL_OK) return TBL_ERR_CLOSE;
    ReadMemoForget(store);
    LoadedStore *loaded = LoadedOf(store);
    RowsFree(loaded);
    LinesFree(&loaded->lines);
    if (loaded->text) qmem_free(loaded->text);
    loaded->text = NULL;
    loaded->room = 0;
    return TBL_OK;
}

/* ---- Save --------------------------------------------------------------- */

/* Writes every line held, header lines first, each ended by CR LF, after
 * the byte-order mark the file began with. Line 0 names the columns and
 * the column list mirrors it (a write there renames its column, a new
 * column extends both), so its stored text is the header line. It stops at
 * the first failed write, which the file layer reports. */
static int WriteLines(void *context, FileSink *sink) {
    const LoadedStore *loaded = (const LoadedStore *)context;
    if (loaded->byte_order_mark)
        FileSinkPut(sink, kByteOrderMark, sizeof kByteOrderMark);
    for (int32_t p = 0; p < loaded->lines.count; p++) {
        size_t n;
        const char *text = RefText(loaded, *LineSlot(&loaded->lines, p), &n);
        FileSinkPut(sink, text, n);
        FileSinkPut(sink, "\r\n", 2);
        if (sink->failed) return 1;
    }
    return 0;
}

/* 1 when the save would write an empty line into a file of more than one
 * line. The load skips empty lines, so that row would be gone on the next
 * load and every row after it would move up. Only a table of at most one
 * column can hold one: a line of more columns holds their delimiters. */
static int WouldLoseEmptyLine(const LoadedStore *loaded, int32_t columns) {
    if (columns > 1 || loaded->lines.count <= 1) return 0;
    for (int32_t p = 0; p < loaded->lines.count; p++) {
        size_t n;
        RefText(loaded, *LineSlot(&loaded->lines, p), &n);
        if (n == 0) return 1;
    }
    return 0;
}

int TableFileSave(TableStore *store, const char *path, int32_t columns) {
    LoadedStore *loaded = LoadedOf(store);
    if (loaded->stream_state == STREAM_ABSENT) return TBL_ERR_BAD_HANDLE;
    if (store->mode != OPEN_EDIT) return TBL_ERR_MODE;
    if (!path || !*path) return TBL_ERR_SAVE_OPEN;
    if (WouldLoseEmptyLine(loaded, columns)) return TBL_ERR_SAVE_ROW;
    /* The load's stream goes first, so that the target can be replaced even
     * where an open file cannot be. The table goes on counting as having a
     * stream, so later saves and the close still work. */
    TableFileClose(store);
    /* Whatever the file layer reports is a save that did not happen; only
     * one that lacked memory before it touched a file says so. */
    FileResult rc = FileReplace(path, WriteLines, loaded);
    return rc == FILE_OK          ? TBL_OK
           : rc == FILE_NO_MEMORY ? TBL_ERR_NO_MEMORY
                                  : TBL_ERR_SAVE_OPEN;
}

/* ---- Invariants --------------------------------------------------------- */

static const char *LoadedCheck(const TableStore *store, const TableShape *shape,
                               int thorough) {
    const LoadedStore *loaded = LoadedOfConst(store);
    if (!shape) {
        return loaded->text || loaded->stream || loaded->lines.count
                   ? "a released loaded table that still holds its lines or file"
                   : NULL;
    }
    if (loaded->stream_state == STREAM_OPEN && !loaded->stream)
        return "an open stream without a stream";
    if (loaded->stream_state != STREAM_OPEN && loaded->stream)
        return "a stream in a state other than open";
    if (!loaded->text) return "a loaded table without its text";
    int32_t held = loaded->lines.count;
    if (held != store->header_lines + shape->data_lines)
        return "the lines held differ from the header and data line counts";
    if (loaded->rowed && (loaded->rowed > held || loaded->row_bytes != shape->columns))
        return "rows of field ends of another shape than the table";
    if (thorough && held > 0) {
        /* Every line is sound, and its row of field ends, where kept, says
         * where its pieces end; the first, the middle and the last are
         * checked as samples. */
        const int32_t samples[3] = {0, held / 2, held - 1};
        for (int32_t p : samples) {
            size_t n;
            const LineRef ref = *LineSlot(&loaded->lines, p);
            const char *text = RefText(loaded, ref, &n);
            if (shape->columns > 0 &&
                !LineIsSound(text, n, store->delimiter, shape->columns))
                return "a line that does not split into one field per column";
            const uint8_t *ends =
                p < loaded->rowed ? RowOf(loaded->rows, loaded->row_bytes, p) : NULL;
            if (!ends || !ends[shape->columns - 1]) continue;
            if (ref & LINE_OWNED) return "a row of field ends kept for a changed line";
            for (int32_t k = 0; k < shape->columns; k++) {
                size_t start = 0, length = 0;
                if (!FindField(text, n, store->delimiter, k, &start, &length) ||
                    start + length + 1 != ends[k])
                    return "a row of field ends that is not where the line's pieces end";
            }
        }
    }
    return NULL;
}

static int LoadedOpen(TableStore *store, const char *path, const char *index_dir,
                      TableShape *shape) {
    (void)index_dir;
    return TableFileLoad(store, path, shape);
}

/* Both loaded modes take changes; OPEN_PREVIEW keeps them in memory (its
 * save refuses). */
static int LoadedTakesChanges(const TableStore *store) {
    (void)store;
    return 1;
}

/* Its record lives in the store's state area. */
static_assert(sizeof(LoadedStore) <= STORE_STATE_SIZE,
              "the loaded back-end's record fits the store");

const BackEnd kLoadedBackEnd = {
    LoadedOpen,      FetchLoadedRow,    LoadedLines,   LoadedTakesChanges,
    StoreLoadedRow,  LoadedSplice,      LoadedAppendRow, LoadedAppendField,
    TableFileSave,   LoadedClose,       LoadedCheck,   {LoadedReadPlain,
#if defined(TAVL_SELECT_WIDE)
     LoadedReadWide, LoadedReadWidest},
#else
     NULL, NULL},
#endif
};
