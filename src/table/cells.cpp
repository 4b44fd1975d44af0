/*
 * cells.cpp - the reads of cells: a cell's value into the caller's
 * buffer, its size, by column index or name, of data or header lines.
 *
 * Guarantees. A read works on the line where it is stored (a loaded row's
 * text, or the mapped data of an indexed table) and decodes straight into
 * the caller's buffer, so it allocates nothing; only an indexed line that
 * holds a NUL byte is read from a fetched copy, since fetching drops those
 * bytes. A value that does not fit leaves its first buffer_length - 1
 * bytes, terminated, and reports its full size; every refusal leaves the
 * buffer untouched. Reads change nothing of the table but the line view.
 */
#include "table/tavl_op.h"

/* The stored field of a cell: from the cache's known piece ends where the
 * line is the one read last, else through LineViewField. */
static inline int CellField(TableHandle *table, int32_t column, int32_t line,
                            int32_t kind, const char **field, size_t *length,
                            int *plain) {
    if (!CellInRange(table, column, line, kind)) return TBL_ERR_RANGE;
    int32_t position = CellPosition(table, line, kind);
    const LineCache *cache = &table->cache;
    if (cache->position == position && LineViewKnows(cache, column)) {
        size_t start = LineViewStart(cache, column);
        *field = cache->text + start;
        *length = cache->bounds[column + 1] - start;
        *plain = !cache->special;
        return TBL_OK;
    }
    return LineViewField(table, column, position, field, length, plain);
}

/* The value of the stored field f[0..n): its first capacity bytes to out
 * (which may be null when capacity is 0) and its size (bytes + 1) to
 * *size. Nothing is terminated. */
static inline int DecodeTo(const char *f, size_t n, int plain, char delimiter,
                           char *out, size_t capacity, int32_t *size) {
    if (plain && n < (size_t)INT32_MAX) {
        /* The usual cell: its stored bytes are its value. */
        CopyBytes(out, f, n < capacity ? n : capacity);
        *size = (int32_t)(n + 1);
        return TBL_OK;
    }
    /* The size is a signed 32-bit count: a field that might decode past it
     * is measured before anything is written. */
    if (n >= (size_t)INT32_MAX && DecodeFieldTo(f, n, delimiter, NULL, 0) >= (size_t)INT32_MAX)
        return TBL_ERR_NO_MEMORY;
    *size = (int32_t)(DecodeFieldTo(f, n, delimiter, out, capacity) + 1);
    return TBL_OK;
}

/* Decodes one cell: see DecodeTo. Out is untouched on every failure. */
static inline int DecodeCell(TableHandle *table, int32_t column, int32_t line,
                             int32_t kind, char *out, size_t capacity,
                             int32_t *size) {
    const char *field;
    size_t n;
    int plain;
    int rc = CellField(table, column, line, kind, &field, &n, &plain);
    if (rc != TBL_OK) return rc;
    return DecodeTo(field, n, plain, table->store.delimiter, out, capacity, size);
}

/* Ends a cell read whose value, of size bytes with its NUL, went to the
 * buffer as far as it fits: terminates it and reports the size. */
static inline int FinishRead(char *buffer, int32_t *out_length,
                             int32_t buffer_length, int32_t size) {
    TAVL_ASSERT(buffer && out_length && buffer_length >= 1 && size >= 1);
    *out_length = size;
    if (size <= buffer_length) {
        buffer[size - 1] = '\0';
        return TBL_OK;
    }
    buffer[buffer_length - 1] = '\0';
    return TBL_ERR_TRUNCATED;
}

/* A cell read, the arguments checked: another line than the one read
 * last, or a value that needs decoding. The value is decoded straight into
 * the caller's buffer, all but its last byte: a value that does not fit
 * leaves its first buffer_length - 1 bytes there and still reports its
 * full size. */
static int FinishField(TableHandle *table, const char *field, size_t n, int plain,
                       char *buffer, int32_t *out_length, int32_t buffer_length) {
    int32_t size = 0;
    int rc = DecodeTo(field, n, plain, table->store.delimiter, buffer,
                      (size_t)buffer_length - 1, &size);
    if (rc != TBL_OK) return rc;
    return FinishRead(buffer, out_length, buffer_length, size);
}

/* Every read but the data cell read's usual cases: the checks, in the
 * order their codes take, then the cell's field through the line view. */
TAVL_NOINLINE int CellRead(TableHandle *table, int32_t column, int32_t line, char *buffer,
                         int32_t *out_length, int32_t buffer_length, int32_t kind) {
    int rc = Usable(table);
    if (rc != TBL_OK) return rc;
    if (!buffer || !out_length || buffer_length < 1 ||
        !CellInRange(table, column, line, kind))
        return TBL_ERR_RANGE;
    const char *field;
    size_t n;
    int plain;
    rc = LineViewField(table, column, CellPosition(table, line, kind), &field, &n, &plain);
    if (rc != TBL_OK) return rc;
    return FinishField(table, field, n, plain, buffer, out_length, buffer_length);
}

/* Copies plain piece column of the cached line, whose bounds are known,
 * with its NUL into buffer, when it fits: 1; else 0, nothing written. */
static TAVL_ALWAYS_INLINE int CopyPlainPiece(const LineCache *cache, int32_t column,
                                             char *buffer, int32_t *out_length,
                                             int32_t buffer_length) {
    TAVL_ASSERT(LineViewPlain(cache, column) && column < cache->capacity);
    uint32_t start = cache->bounds[column] + 1u;
    uint32_t n = cache->bounds[column + 1] - start;
    if ((int64_t)n >= (int64_t)buffer_length) return 0;
    CopyBytes(buffer, cache->text + start, n);
    buffer[n] = '\0';
    *out_length = (int32_t)n + 1;
    return 1;
}

/* The general read, for the reads the back-end's read leaves: the table
 * that holds the store reads the cell. */
int CellReadGeneral(TableStore *store, int32_t column, int32_t line, char *buffer,
                    int32_t *out_length, int32_t buffer_length) {
    TableHandle *table = (TableHandle *)(void *)((char *)store - offsetof(TableHandle, store));
    return CellReadRest(table, column, line, buffer, out_length, buffer_length);
}

int CellReadRest(TableHandle *table, int32_t column, int32_t line, char *buffer,
                 int32_t *out_length, int32_t buffer_length) {
    if (table && buffer && out_length && line >= 0) {
        /* A plain cell of the line the general read keeps, whose bounds
         * are known (its position proves the line in range, its known
         * plain pieces the column). */
        const LineCache *cache = &table->cache;
        if ((uint32_t)line + (uint32_t)table->store.header_lines ==
                (uint32_t)cache->position &&
            LineViewPlain(cache, column) &&
            CopyPlainPiece(cache, column, buffer, out_length, buffer_length)) {
            TAVL_ASSERT(table->state == HANDLE_OPEN && column < table->columns &&
                        line < table->data_lines);
            return TBL_OK;
        }
    }
    return CellReadData(table, column, line, buffer, out_length, buffer_length);
}

int CellReadData(TableHandle *table, int32_t column, int32_t line, char *buffer,
                 int32_t *out_length, int32_t buffer_length) {
    if (!table || table->state != HANDLE_OPEN || !buffer || !out_length ||
        buffer_length < 1 || !CellInRange(table, column, line, LINE_DATA))
        return CellRead(table, column, line, buffer, out_length, buffer_length, LINE_DATA);
    /* A line the back-end's read cannot answer, a piece not walked yet, or
     * a value to decode or cut: its field found here, and a plain one that
     * fits copied. */
    const int32_t position = CellPosition(table, line, LINE_DATA);
    const char *field;
    size_t n;
    int plain;
    int rc = LineViewField(table, column, position, &field, &n, &plain);
    if (rc != TBL_OK) return rc;
    if (plain && n < (size_t)buffer_length) {
        CopyBytes(buffer, field, n);
        buffer[n] = '\0';
        *out_length = (int32_t)n + 1;
        return TBL_OK;
    }
    return FinishField(table, field, n, plain, buffer, out_length, buffer_length);
}

int CellReadByName(TableHandle *table, const char *name, int32_t line,
                   char *buffer, int32_t *out_length, int32_t buffer_length) {
    int32_t column;
    int rc = NamedColumn(table, name, &column);
    if (rc != TBL_OK) return rc;
    return CellRead(table, column, line, buffer, out_length, buffer_length,
                    LINE_DATA);
}

int CellSize(TableHandle *table, int32_t column, int32_t line) {
    int rc = Usable(table);
    if (rc != TBL_OK) return rc;
    int32_t size = 0;
    rc = DecodeCell(table, column, line, LINE_DATA, NULL, 0, &size);
    return rc == TBL_OK ? size : rc;
}

int CellSizeByName(TableHandle *table, const char *name, int32_t line) {
    int32_t column;
    int rc = NamedColumn(table, name, &column);
    if (rc != TBL_OK) return rc;
    return CellSize(table, column, line);
}

int LineCountGet(TableHandle *table, int32_t *count) {
    int rc = Usable(table);
    if (rc != TBL_OK) return rc;
    if (!count) return TBL_ERR_RANGE;
    *count = table->data_lines;
    return TBL_OK;
}
