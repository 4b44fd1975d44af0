/*
 * dyn_ary.h - SparseArray: numbered pointer slots that own their elements.
 *
 * An element keeps its slot number for its whole life. The one array the
 * library keeps is a table's column list: one ColumnRecord per column, slot
 * i holding column i, looked up by index. The array grows by its initial
 * capacity when full and calls the element destructor on every live
 * element when destroyed. Failures are reported by a negative result or
 * null alone and leave the array unchanged.
 */
#ifndef TAVL_DYN_ARY_H
#define TAVL_DYN_ARY_H

#include <stdint.h>

/* Releases one element; a negative result means it was not released. */
typedef int (*ElementDestructor)(void *element);

typedef struct SparseArray {
    uint32_t capacity;          /* slots allocated */
    int32_t used;               /* one past the slot filled last by Add */
    int32_t live;               /* occupied slots */
    uint32_t step;              /* growth step: the initial capacity */
    void **slots;
    ElementDestructor destroy;  /* may be null */
} SparseArray;

/* Elements are never null: Add refuses a null element with -1, since a
 * null slot means an empty one. Growth stops where signed 32-bit indices
 * end. */
SparseArray *SparseArrayCreate(uint32_t capacity, ElementDestructor destroy);
int32_t SparseArrayAdd(SparseArray *array, void *element);
void *SparseArrayGet(const SparseArray *array, int32_t index);
int SparseArrayDestroy(SparseArray **array);

/* Releases the element in slot index and empties the slot; when no live
 * element is left, the next Add starts again at slot 0. 0, -1 for an empty
 * or missing slot, or the destructor's negative result (then the element
 * stays). */
int SparseArrayRemove(SparseArray *array, int32_t index);
/* Live elements; -1 for a null array. */
int32_t SparseArrayCount(const SparseArray *array);

#endif /* TAVL_DYN_ARY_H */
