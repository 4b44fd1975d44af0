/*
 * writes.cpp - the changes of a table: a cell written, a row added, a
 * column added; each keeps every line sound and is all or nothing.
 *
 * Every line of a loaded table splits exactly where the load counts its
 * fields, into one piece per column; otherwise it would read from other
 * places than it was written to, or not load again. A value goes into its
 * line in the plain stored form. Where that would break the line (a bare D,
 * a quote on both sides of a separator, an odd number of quotes that hides
 * a separator from the load's count), it goes in the escaped form, which
 * holds no quote and (unless D is x or a hex digit) no D. A change that
 * cannot be made sound either way is refused and nothing changes.
 *
 * Guarantees. Each change is worked out aside (a new line, the new names)
 * before anything of the table changes; then the line view is told
 * (LineViewChanged) and the back-end makes the change, which can fail only
 * for memory and then leaves every line as it was. The column list always
 * holds the names line 0 gives.
 */
#include "table/tavl_op.h"

#include "base/tavlbuf.h"
#include "base/tavlhost.h"

/* ---- A cell ------------------------------------------------------------- */

/* 1 when bytes[0..n) hold no quote and no D. Such a field, put in place of
 * another such field, leaves every separator of its line splitting and
 * counting as before. */
static int HoldsNoQuoteOrD(const char *bytes, size_t n, char d) {
    return !memchr(bytes, QUOTE, n) && !memchr(bytes, d, n);
}

/* A value of at most this many bytes may go into its line in place; its
 * stored form (at most 4 bytes a byte) is made on the stack. */
#define SPLICE_ROOM 256

/* 1 when a value goes into its line in place: a line other than line 0
 * (which names the columns), read where it lies, whose old field old[0..
 * span) and the value's plain stored form (made into stored, *count bytes)
 * hold no quote or D. Every separator of the line then still splits and
 * counts as before, so the line stays sound, and the back-end changes the
 * field's bytes where they are: most writes. */
static int GoesInPlace(const TableHandle *table, int32_t position, int in_place,
                       const char *old, size_t span, const char *value, size_t length,
                       char *stored, size_t *count) {
    const char d = table->store.delimiter;
    if (position == 0 || !in_place || length > SPLICE_ROOM || !HoldsNoQuoteOrD(old, span, d))
        return 0;
    /* The stored form, not the value: an escape may hold D (where D is x
     * or a hex digit). */
    *count = StoreField(value, length, d, 0, stored);
    TAVL_ASSERT(*count <= 4 * SPLICE_ROOM);
    return HoldsNoQuoteOrD(stored, *count, d);
}

/* Builds into *next, a block of its own, the line text[0..n) with its
 * field [start, start + span) replaced by the stored form of value: the
 * plain form where the new line is sound for the table, else the escaped
 * one; *stored tells the stored field's length. TBL_OK; TBL_ERR_RANGE when
 * neither form keeps the line sound; TBL_ERR_NO_MEMORY. *next stays null
 * on failure. */
static int NewLine(const TableHandle *table, const char *text, size_t n, size_t start,
                   size_t span, const char *value, size_t length, char **next,
                   size_t *stored) {
    const char d = table->store.delimiter;
    TAVL_ASSERT(start + span <= n && !*next);
    const int old_plain = HoldsNoQuoteOrD(text + start, span, d);
    for (int escaped = 0; escaped <= 1; escaped++) {
        size_t field = StoreField(value, length, d, escaped, NULL);
        size_t total = n - span + field;
        char *line = (char *)qmem_malloc(total + 1);
        if (!line) return TBL_ERR_NO_MEMORY;
        memcpy(line, text, start);
        StoreField(value, length, d, escaped, line + start);
        memcpy(line + start + field, text + start + span, n - start - span);
        line[total] = '\0';
        /* The line was sound. Where neither the old field nor the new one
         * holds a quote or D, every separator still splits and counts as
         * before; otherwise the whole line is checked. */
        const char *new_field = line + start;
        if ((old_plain && HoldsNoQuoteOrD(new_field, field, d)) ||
            (!FieldSpanHasBareDelimiter(new_field, field, d) &&
             LineIsSound(line, total, d, table->columns))) {
            *next = line;
            *stored = field;
            return TBL_OK;
        }
        qmem_free(line);
    }
    return TBL_ERR_RANGE;
}

int CellWrite(TableHandle *table, int32_t column, int32_t line,
              const char *value, int32_t length, int32_t kind) {
    /* The writers by index learn the column count first; a handle that
     * cannot give it is out of range. */
    if (Usable(table) != TBL_OK) return TBL_ERR_RANGE;
    if (!TakesChanges(table)) return TBL_ERR_MODE;
    if (!CellInRange(table, column, line, kind)) return TBL_ERR_RANGE;
    /* A value whose cell size (its bytes and a NUL) would not fit the
     * signed 32-bit size a reader reports could never be read back. */
    if (length < 0 || length == INT32_MAX || (!value && length > 0)) return TBL_ERR_RANGE;

    const int32_t position = CellPosition(table, line, kind);
    const char d = table->store.delimiter;
    const char *text = NULL;
    size_t n = 0, start = 0, span = 0, stored = 0;
    char *copy = NULL, *next = NULL, *name = NULL;
    int rc = StoredLine(table, position, &text, &n, &copy);
    if (rc != TBL_OK) return rc == TBL_ERR_NO_MEMORY ? rc : TBL_ERR_RANGE;
    if (!FindField(text, n, d, column, &start, &span)) {
        TextBufferFree(&copy);
        return TBL_ERR_RANGE;
    }
    char bytes[4 * SPLICE_ROOM];
    if (GoesInPlace(table, position, !copy, text + start, span, value, (size_t)length,
                    bytes, &stored)) {
        LineViewChanged(table, position);
        return table->store.ops->splice(&table->store, position, start, span, bytes, stored);
    }
    rc = NewLine(table, text, n, start, span, value, (size_t)length, &next, &stored);
    TextBufferFree(&copy);
    if (rc != TBL_OK) return rc;

    /* Line 0 names the columns: its new field renames its column too, to
     * the stored text written there, exactly as an open would read it.
     * Prepared before the store, so that nothing can fail after the line
     * has changed. */
    ColumnRecord *renamed = position == 0 ? ColumnRecordAt(table, column) : NULL;
    if (renamed && (TextBufferNew(&name) != TEXT_OK ||
                    TextBufferSetLength(&name, next + start, stored) != TEXT_OK)) {
        TextBufferFree(&name);
        TextBufferFree(&next);
        return TBL_ERR_NO_MEMORY;
    }
    LineViewChanged(table, position);
    table->store.ops->replace_line(&table->store, position, &next);
    TAVL_ASSERT(!next);
    if (renamed) {
        TextBufferFree(&renamed->name);
        renamed->name = name;
        NamesDrop(table);
    }
    return TBL_OK;
}

int CellWriteByName(TableHandle *table, const char *name, int32_t line,
                    const char *value, int32_t length) {
    int rc = Usable(table);
    if (rc != TBL_OK) return rc;
    if (!TakesChanges(table)) return TBL_ERR_MODE;
    int32_t column;
    rc = ColumnIndexGet(table, name, &column);
    if (rc != TBL_OK) return rc;
    return CellWrite(table, column, line, value, length, LINE_DATA);
}

/* ---- A row -------------------------------------------------------------- */

/* A new line changes none the view holds: it is told nothing. */
int RowAppendEmpty(TableHandle *table) {
    int rc = Usable(table);
    if (rc != TBL_OK) return rc;
    if (!TakesChanges(table)) return TBL_ERR_MODE;
    rc = table->store.ops->append_row(&table->store, table->columns);
    if (rc == TBL_OK) table->data_lines++;
    return rc;
}

/* ---- A column ----------------------------------------------------------- */

/* Appends to *out the pieces of the line text[0..n), joined by D, with
 * every piece that holds a quote stored again in the escaped form (its
 * value unchanged); *scratch is a work buffer for the decoded value. */
static int EscapeQuotedPieces(const TableHandle *table, const char *text,
                              size_t n, char **out, char **scratch) {
    const char d = table->store.delimiter;
    size_t at = 0, start, span;
    for (int32_t k = 0; k < table->columns; k++) {
        if (!NextPiece(text, n, d, &at, &start, &span)) return TBL_ERR_RANGE;
        if (k > 0 && TextBufferAppendChar(out, d) != TEXT_OK)
            return TBL_ERR_NO_MEMORY;
        const char *piece = text + start;
        if (!memchr(piece, QUOTE, span)) {
            if (TextBufferAppendBytes(out, piece, span) != TEXT_OK)
                return TBL_ERR_NO_MEMORY;
            continue;
        }
        int32_t size;
        if (DecodeField(piece, span, d, scratch, &size) != TEXT_OK ||
            EncodeField(*scratch, (size_t)(size - 1), d, 1, out) != TEXT_OK)
            return TBL_ERR_NO_MEMORY;
    }
    return TBL_OK;
}

/* Rebuilds line p (text[0..n)) with one more field into *out: the pieces
 * that hold a quote stored again escaped, then the separator and, on line
 * 0, the name as it stands. Escaping the old pieces always suffices for the
 * name: with no quote left before it, nothing can flank its separator or
 * hide it from the load's count. TBL_ERR_RANGE when the line is still not
 * sound (an escape holding D, where D is x or a hex digit). */
static int RebuildWithField(const TableHandle *table, int32_t p,
                            const char *text, size_t n, const char *sep,
                            const char *name, char **out, char **scratch) {
    int rc = TextCode(TextBufferSet(out, ""));
    if (rc == TBL_OK) rc = EscapeQuotedPieces(table, text, n, out, scratch);
    if (rc == TBL_OK) rc = TextCode(TextBufferAppend(out, sep));
    if (rc == TBL_OK && p == 0) rc = TextCode(TextBufferAppend(out, name));
    if (rc != TBL_OK) return rc;
    return LineIsSound(*out, strlen(*out), table->store.delimiter, table->columns + 1)
               ? TBL_OK
               : TBL_ERR_RANGE;
}

/* Where line 0 was rebuilt, the stored names of the columns it holds: a
 * new text for each column whose piece changed (names[i], else null). */
static int RenamedColumns(const TableHandle *table, const char *line,
                          char **names) {
    TAVL_ASSERT(line && names);
    size_t n = strlen(line), at = 0, start, span;
    for (int32_t i = 0; i < table->columns; i++) {
        const char *old = ColumnName(table, i);
        if (!NextPiece(line, n, table->store.delimiter, &at, &start, &span))
            return TBL_ERR_RANGE;
        if (old && strlen(old) == span && memcmp(old, line + start, span) == 0)
            continue;
        if (TextBufferNew(&names[i]) != TEXT_OK ||
            TextBufferSetLength(&names[i], line + start, span) != TEXT_OK)
            return TBL_ERR_NO_MEMORY;
    }
    return TBL_OK;
}

/* What a new column does to the lines, worked out before any changes:
 * the text line 0 gets appended (the separator and the name), the lines
 * that must be rebuilt instead (replace[p], null for the others), and,
 * when line 0 is rebuilt, the new stored names of the columns it renames
 * (names[i], null for the others). */
typedef struct NewFieldPlan {
    int32_t lines;              /* lines held: entries of replace */
    int32_t columns;            /* columns before: entries of names */
    char *first;
    char **replace;
    char **names;
} NewFieldPlan;

static void NewFieldPlanFree(NewFieldPlan *plan) {
    for (int32_t p = 0; plan->replace && p < plan->lines; p++)
        TextBufferFree(&plan->replace[p]);
    for (int32_t i = 0; plan->names && i < plan->columns; i++)
        TextBufferFree(&plan->names[i]);
    if (plan->replace) qmem_free(plan->replace);
    if (plan->names) qmem_free(plan->names);
    TextBufferFree(&plan->first);
}

/* Stages line p rebuilt (text[0..n)) when appending its suffix would leave
 * it unsound; *work and *scratch are work buffers. */
static int PlanLine(TableHandle *table, NewFieldPlan *plan, int32_t p,
                    const char *sep, const char *name, char **work,
                    char **scratch) {
    TAVL_ASSERT(p >= 0 && p < plan->lines && *work && *scratch);
    const char *text = NULL;
    size_t n = 0;
    char *copy = NULL;
    int rc = StoredLine(table, p, &text, &n, &copy);
    TAVL_ASSERT(rc == TBL_OK && !copy); /* a loaded line, read in place */
    const char *suffix = p == 0 ? plan->first : sep;
    /* A sound line without quotes stays sound with a field that has none:
     * every D of it separates and counts. */
    if (!memchr(text, QUOTE, n) && !strchr(suffix, QUOTE)) return TBL_OK;
    if (TextBufferSetLength(work, text, n) != TEXT_OK ||
        TextBufferAppend(work, suffix) != TEXT_OK)
        return TBL_ERR_NO_MEMORY;
    if (LineIsSound(*work, strlen(*work), table->store.delimiter, table->columns + 1))
        return TBL_OK;
    rc = RebuildWithField(table, p, text, n, sep, name, work, scratch);
    if (rc != TBL_OK) return rc;
    if (!plan->replace) {
        plan->replace = (char **)qmem_calloc((size_t)plan->lines, sizeof *plan->replace);
        if (!plan->replace) return TBL_ERR_NO_MEMORY;
    }
    plan->replace[p] = *work;
    *work = NULL;
    return TextCode(TextBufferNew(work));
}

static int PlanNewField(TableHandle *table, const char *sep,
                        const char *name, NewFieldPlan *plan) {
    char *work = NULL, *scratch = NULL;
    int rc = TBL_ERR_NO_MEMORY;
    if (TextBufferNew(&plan->first) == TEXT_OK &&
        TextBufferSet(&plan->first, sep) == TEXT_OK &&
        TextBufferAppend(&plan->first, name) == TEXT_OK &&
        TextBufferNew(&work) == TEXT_OK && TextBufferNew(&scratch) == TEXT_OK)
        rc = TBL_OK;
    for (int32_t p = 0; rc == TBL_OK && p < plan->lines; p++)
        rc = PlanLine(table, plan, p, sep, name, &work, &scratch);
    TextBufferFree(&work);
    TextBufferFree(&scratch);
    if (rc != TBL_OK || !plan->replace || !plan->replace[0] || plan->columns == 0)
        return rc;
    plan->names = (char **)qmem_calloc((size_t)plan->columns, sizeof *plan->names);
    if (!plan->names) return TBL_ERR_NO_MEMORY;
    return RenamedColumns(table, plan->replace[0], plan->names);
}

/* Makes the planned change: the new column, every line's new field, the
 * renamed columns. All or nothing. */
static int CommitNewField(TableHandle *table, const char *sep,
                          const char *name, NewFieldPlan *plan) {
    int32_t position = table->columns;
    TAVL_ASSERT(plan->lines == table->store.ops->lines(&table->store) &&
                plan->columns == position);
    if (LineViewMakeRoom(table, position + 1) != TBL_OK) return TBL_ERR_NO_MEMORY;
    ColumnRecord *column = ColumnRecordNew(name, position);
    if (!column) return TBL_ERR_NO_MEMORY;
    if (RecordListAdd(table->column_list, column) < 0) {
        ColumnRecordFree(column);
        return TBL_ERR_NO_MEMORY;
    }
    LineViewChanged(table, LINE_VIEW_ALL);
    NamesDrop(table);
    int rc = table->store.ops->append_field(&table->store, plan->first, sep,
                                            plan->replace);
    if (rc != TBL_OK) {
        RecordListRemove(table->column_list, position);
        return rc;
    }
    for (int32_t i = 0; plan->names && i < plan->columns; i++) {
        if (!plan->names[i]) continue;
        ColumnRecord *renamed = ColumnRecordAt(table, i);
        TextBufferFree(&renamed->name);
        renamed->name = plan->names[i];
        plan->names[i] = NULL;
    }
    table->columns++;
    return TBL_OK;
}

int ColumnAppend(TableHandle *table, int32_t position, const char *name) {
    int rc = Usable(table);
    if (rc != TBL_OK) return rc;
    if (!TakesChanges(table)) return TBL_ERR_MODE;
    if (position == -1) position = table->columns;
    if (position != table->columns) return TBL_ERR_RANGE;
    /* The name goes into line 0 as it stands, so it must stay one field of
     * one line there. */
    const char d = table->store.delimiter;
    if (!name || strchr(name, d) || strchr(name, '\r') || strchr(name, '\n'))
        return TBL_ERR_RANGE;
    int32_t held = table->store.ops->lines(&table->store);
    if (held < 1) return TBL_ERR_FAIL;

    /* Every line gets one more field: an empty cell after a delimiter (none
     * on a table without columns, whose lines are all empty); line 0, which
     * names the columns, gets the name. Every line that would not be sound
     * so is rebuilt aside first; then all lines change at once. */
    const char sep[2] = {position > 0 ? d : '\0', '\0'};
    NewFieldPlan plan = {held, table->columns, NULL, NULL, NULL};
    rc = PlanNewField(table, sep, name, &plan);
    if (rc == TBL_OK) rc = CommitNewField(table, sep, name, &plan);
    NewFieldPlanFree(&plan);
    return rc;
}

