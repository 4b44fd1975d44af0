/*
 * host.c - a minimal host of tavlin32: opens a table, finds a column by its
 * name and prints the value of one cell.
 *
 *     tavlin_example FILE [COLUMN [ROW]]      (COLUMN defaults to "station",
 *                                              ROW to 0)
 *
 * Every call returns a result code, checked before the next call; the table
 * is closed and freed on every path once NewTable has succeeded.
 */
#include <stdio.h>
#include <stdlib.h>

#include <tavlin32.h>

int main(int argc, char **argv)
{
    const char *path = argc > 1 ? argv[1] : "sample.csv";
    const char *name = argc > 2 ? argv[2] : "station";
    int32_t row = argc > 3 ? (int32_t)atoi(argv[3]) : 0;
    TableHandle *table = NULL;
    char *value = NULL;
    int32_t column = 0, size = 0, length = 0, rc;

    rc = NewTable(&table);
    if (rc != TBL_OK) {
        fprintf(stderr, "NewTable: %s\n", TblResultText(rc));
        return 1;
    }
    /* Preview mode reads the first 100 lines and never writes the file;
     * null delimiter and header line count mean ',' and 1. */
    rc = OpenTable(path, table, OPEN_PREVIEW, NULL, NULL, NULL);
    if (rc == TBL_OK)
        rc = GetColumnIndex(table, name, &column);
    if (rc == TBL_OK) {
        /* The size counts the decoded bytes and the terminating NUL. */
        size = GetCellSizeByIndex(table, column, row);
        rc = size < 0 ? size : TBL_OK;
    }
    if (rc == TBL_OK) {
        value = (char *)malloc((size_t)size);
        if (!value)
            rc = TBL_ERR_NO_MEMORY;
    }
    if (rc == TBL_OK)
        rc = GetCellValByIndex(table, column, row, value, &length, size);
    if (rc == TBL_OK)
        printf("%s\n", value);
    else /* the header's own names and meanings of the result codes */
        fprintf(stderr, "%s: %s (%d): %s\n", path, TblResultName(rc), (int)rc,
                TblResultText(rc));

    free(value);
    CloseTable(table);
    FreeTable(table);
    return rc == TBL_OK ? 0 : 1;
}
