/*
 * columns.cpp - the column list, the index of its names, and the column
 * operations that read it (count, lookup by name, attributes).
 *
 * Guarantees. The list holds one record per column, record i in slot i,
 * named by piece i of line 0 in its stored form. A lookup by name answers
 * the first column that bears it, through the name index where a table has
 * many columns and memory allows, else by walking the list; either way the
 * same column. Attribute values are copied into the caller's buffer,
 * always terminated within its size.
 */
#include "table/tavl_op.h"

#include <stdio.h>

#include "base/tavlbuf.h"
#include "base/tavlhost.h"

/* ---- Column list -------------------------------------------------------- */

ColumnRecord *ColumnRecordNew(const char *name, int32_t index) {
    ColumnRecord *column = (ColumnRecord *)qmem_malloc(sizeof *column);
    if (!column) return NULL;
    column->index = index;
    column->name = NULL;
    if (TextBufferNew(&column->name) != TEXT_OK ||
        TextBufferSet(&column->name, name ? name : "") != TEXT_OK) {
        ColumnRecordFree(column);
        return NULL;
    }
    return column;
}

int ColumnRecordFree(void *record) {
    ColumnRecord *column = (ColumnRecord *)record;
    TAVL_ASSERT(column);
    TextBufferFree(&column->name);
    qmem_free(column);
    return 0;
}

int BuildColumnList(TableHandle *table) {
    TAVL_ASSERT(table->column_list && RecordListCount(table->column_list) == 0);
    if (table->columns <= 0) return TBL_OK;
    const char *text = NULL;
    size_t n = 0;
    char *copy = NULL, *line = NULL;
    int rc = StoredLine(table, 0, &text, &n, &copy);
    if (rc == TBL_OK && (TextBufferNew(&line) != TEXT_OK ||
                         TextBufferSetLength(&line, text, n) != TEXT_OK))
        rc = TBL_ERR_NO_MEMORY;
    TextBufferFree(&copy);
    if (rc != TBL_OK) {
        TextBufferFree(&line);
        return rc == TBL_ERR_NO_MEMORY ? rc : TBL_ERR_CREATE;
    }
    /* One walk over the split line. Line 0 splits into one piece per
     * column; should an index claim more columns than it has pieces, the
     * columns past the last piece are named by the empty text. */
    int32_t pieces = SplitLine(line, table->store.delimiter);
    const char *piece = line;
    for (int32_t i = 0; i < table->columns; i++) {
        ColumnRecord *column = ColumnRecordNew(i < pieces ? piece : "", i);
        if (!column) {
            rc = TBL_ERR_NO_MEMORY;
            break;
        }
        if (RecordListAdd(table->column_list, column) < 0) {
            ColumnRecordFree(column);
            rc = TBL_ERR_NO_MEMORY;
            break;
        }
        if (i < pieces) piece += strlen(piece) + 1;
    }
    TextBufferFree(&line);
    return rc;
}

const char *ColumnName(const TableHandle *table, int32_t column) {
    if (column < 0 || column >= table->columns) return NULL;
    ColumnRecord *record = ColumnRecordAt(table, column);
    return record && record->name ? record->name : NULL;
}

/* ---- Names by hash ----------------------------------------------------- */

/* Tables of at most this many columns are looked up by walking the list. */
#define NAME_INDEX_MIN_COLUMNS 8
/* Tables of more than this many are walked too (see NamesMake). */
#define NAME_INDEX_MAX_COLUMNS (1 << 30)

static uint32_t NameHash(const char *name) {
    uint32_t h = 2166136261u; /* FNV-1a */
    for (const unsigned char *p = (const unsigned char *)name; *p; ++p)
        h = (h ^ *p) * 16777619u;
    return h;
}

void NamesDrop(TableHandle *table) {
    if (table->names.slots) qmem_free(table->names.slots);
    table->names.slots = NULL;
    table->names.mask = 0;
}

/* Makes the name index; 0 when it cannot be made (lookups then walk). */
static int NamesMake(TableHandle *table) {
    TAVL_ASSERT(!table->names.slots && table->columns > NAME_INDEX_MIN_COLUMNS);
    /* Twice the columns must fit the 32-bit slot count (past 2^31 the
     * doubling below would wrap to 0 and never end); so many columns walk. */
    if (table->columns > NAME_INDEX_MAX_COLUMNS) return 0;
    uint32_t size = 64;
    while (size < 2u * (uint32_t)table->columns) size *= 2;
    int32_t *slots = (int32_t *)qmem_calloc(size, sizeof *slots);
    if (!slots) return 0;
    for (int32_t i = 0; i < table->columns; i++) {
        const char *name = ColumnName(table, i);
        TAVL_ASSERT(name);
        uint32_t k = NameHash(name) & (size - 1);
        while (slots[k]) k = (k + 1) & (size - 1);
        slots[k] = i + 1;
    }
    table->names.slots = slots;
    table->names.mask = size - 1;
    return 1;
}

int32_t FindColumn(TableHandle *table, const char *name) {
    TAVL_ASSERT(name);
    if (table->columns > NAME_INDEX_MIN_COLUMNS &&
        (table->names.slots || NamesMake(table))) {
        const NameIndex *names = &table->names;
        for (uint32_t k = NameHash(name) & names->mask; names->slots[k];
             k = (k + 1) & names->mask) {
            int32_t i = names->slots[k] - 1;
            if (strcmp(ColumnName(table, i), name) == 0) return i;
        }
        return -1;
    }
    for (int32_t i = 0; i < table->columns; i++) {
        const char *have = ColumnName(table, i);
        if (have && strcmp(have, name) == 0) return i;
    }
    return -1;
}

/* ---- Column operations -------------------------------------------------- */

int ColumnCountGet(TableHandle *table, int32_t *count) {
    int rc = Usable(table);
    if (rc != TBL_OK) return rc;
    if (!count) return TBL_ERR_RANGE;
    *count = table->columns;
    return TBL_OK;
}

int ColumnIndexGet(TableHandle *table, const char *name, int32_t *index) {
    int rc = Usable(table);
    if (rc != TBL_OK) return rc;
    if (!index) return TBL_ERR_RANGE;
    if (!name) return TBL_ERR_NO_COLUMN;
    int32_t i = FindColumn(table, name);
    if (i < 0) return TBL_ERR_NO_COLUMN;
    *index = i;
    return TBL_OK;
}

/* Copies text into the caller's value buffer of size bytes, padded with
 * NULs to size when pad is set. When the text and its NUL do not fit, what
 * fits goes in, terminated, and the result is TBL_ERR_TRUNCATED. */
static int PutAttribute(const char *text, char *value, int32_t *value_length,
                        uint32_t size, int pad) {
    TAVL_ASSERT(text && value && value_length && size >= 1);
    size_t n = strlen(text);
    if (n >= size) {
        memcpy(value, text, size - 1);
        value[size - 1] = '\0';
        *value_length = (int32_t)(size - 1);
        return TBL_ERR_TRUNCATED;
    }
    memcpy(value, text, n);
    memset(value + n, 0, pad ? size - n : 1);
    *value_length = (int32_t)n;
    return TBL_OK;
}

int ColumnAttrByIndex(TableHandle *table, int32_t column,
                      const char *attribute, char *value,
                      int32_t *value_length, uint32_t size) {
    int rc = Usable(table);
    if (rc != TBL_OK) return rc;
    const char *name = ColumnName(table, column);
    if (!name) return TBL_ERR_RANGE;
    enum { ATTR_NAME, ATTR_INDEX, ATTR_HEAD_SIZE } which;
    if (attribute && strcmp(attribute, "name") == 0)
        which = ATTR_NAME;
    else if (attribute && strcmp(attribute, "index") == 0)
        which = ATTR_INDEX;
    else if (attribute && strcmp(attribute, "head_size") == 0)
        which = ATTR_HEAD_SIZE;
    else
        return TBL_ERR_ATTR;
    if (!value || !value_length || size < 1) return TBL_ERR_RANGE;

    if (which == ATTR_NAME) return PutAttribute(name, value, value_length, size, 1);
    char number[24];
    if (which == ATTR_INDEX)
        snprintf(number, sizeof number, "%d", (int)column);
    else
        snprintf(number, sizeof number, "%lu", (unsigned long)strlen(name));
    return PutAttribute(number, value, value_length, size, 0);
}

int NamedColumn(TableHandle *table, const char *name, int32_t *column) {
    int rc = ColumnIndexGet(table, name, column);
    return rc == TBL_OK || rc == TBL_ERR_BAD_HANDLE ? rc : TBL_ERR_RANGE;
}

int ColumnAttrByName(TableHandle *table, const char *name,
                     const char *attribute, char *value,
                     int32_t *value_length, uint32_t size) {
    int32_t column;
    int rc = NamedColumn(table, name, &column);
    if (rc != TBL_OK) return rc;
    return ColumnAttrByIndex(table, column, attribute, value, value_length, size);
}

int ColumnHeadSizeByIndex(TableHandle *table, int32_t column) {
    int rc = Usable(table);
    if (rc != TBL_OK) return rc;
    const char *name = ColumnName(table, column);
    if (!name) return TBL_ERR_RANGE;
    return (int)strlen(name) + 1;
}

int ColumnHeadSizeByName(TableHandle *table, const char *name) {
    int32_t column;
    int rc = NamedColumn(table, name, &column);
    if (rc != TBL_OK) return rc;
    return ColumnHeadSizeByIndex(table, column);
}
