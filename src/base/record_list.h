/*
 * record_list.h - RecordList: a list of records that it owns, each at the
 * number it was added with.
 *
 * An element keeps its number for its whole life; a list that is only
 * added to is dense, its n-th element at number n - 1. The one list the
 * library keeps is a table's column list: one ColumnRecord per column,
 * column i at number i, looked up by index. The list grows by its initial
 * capacity when full and calls the element destructor on every live
 * element when destroyed. Failures are reported by a negative result or
 * null alone and leave the list unchanged.
 */
#ifndef TAVL_RECORD_LIST_H
#define TAVL_RECORD_LIST_H

#include <stdint.h>

/* Releases one element; a negative result means it was not released. */
typedef int (*ElementDestructor)(void *element);

typedef struct RecordList {
    uint32_t capacity;          /* slots allocated */
    int32_t used;               /* one past the slot filled last by Add */
    int32_t live;               /* occupied slots */
    uint32_t step;              /* growth step: the initial capacity */
    void **slots;
    ElementDestructor destroy;  /* may be null */
} RecordList;

/* Elements are never null: Add refuses a null element with -1, since a
 * null slot means an empty one. Growth stops where signed 32-bit indices
 * end. */
RecordList *RecordListCreate(uint32_t capacity, ElementDestructor destroy);
int32_t RecordListAdd(RecordList *array, void *element);
void *RecordListGet(const RecordList *array, int32_t index);
int RecordListDestroy(RecordList **array);

/* Releases the element in slot index and empties the slot; when no live
 * element is left, the next Add starts again at slot 0. 0, -1 for an empty
 * or missing slot, or the destructor's negative result (then the element
 * stays). */
int RecordListRemove(RecordList *array, int32_t index);
/* Live elements; -1 for a null array. */
int32_t RecordListCount(const RecordList *array);

#endif /* TAVL_RECORD_LIST_H */
