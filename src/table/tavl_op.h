/*
 * tavl_op.h - table internals: the dispatch of each request to the back-end
 * of the handle's open mode, the column list, and the shared cell routines
 * behind the exported operations.
 */
#ifndef TAVL_OP_H
#define TAVL_OP_H

#include <stdint.h>

#include "tavl_handle.h"

int LoadBackEnd(TableHandle *table, const char *path, const char *index_dir);
int FetchLine(TableHandle *table, int32_t number, char **output, int32_t kind);
void ReleaseBackEnd(TableHandle *table);

int BuildColumnList(TableHandle *table);
ColumnRecord *ColumnRecordNew(const char *name, int32_t index);
int ColumnRecordFree(void *record);

#endif /* TAVL_OP_H */
