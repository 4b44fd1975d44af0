/* The public header must compile as plain C99 with every warning on. */
#include "tavlin32.h"

int tavl_header_c99_probe(void);
int tavl_header_c99_probe(void) {
    TableHandle *table = 0;
    int32_t (*open)(const char *, TableHandle *, int32_t, const char *,
                    const int32_t *, const char *) = OpenTable;
    (void)table;
    return open != 0 ? TBL_OK : TBL_ERR_FAIL;
}
