/*
 * dyn_ary.h - SparseArray: numbered pointer slots that own their elements.
 *
 * An element keeps its slot number for its whole life (the column index in
 * the column list, the line number in the row list). The array grows by its
 * initial capacity when full and calls the element destructor on every live
 * element when destroyed. Failures are reported by -1 or null alone and
 * leave the array unchanged.
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

/* Match predicate of a search: non-zero when element matches key. */
typedef int (*ArrayMatch)(const void *element, const char *key);

typedef struct ArraySearch {
    ArrayMatch match;           /* null accepts every element */
    char key[1024];             /* longer keys are cut to 1023 bytes */
    int32_t position;           /* index last visited, -1 before the first */
} ArraySearch;

/* Elements are never null: Add and Set refuse a null element with -1, since
 * a null slot means an empty one. Growth stops where signed 32-bit indices
 * end. */
SparseArray *SparseArrayCreate(uint32_t capacity, ElementDestructor destroy);
int32_t SparseArrayAdd(SparseArray *array, void *element);
void *SparseArrayGet(const SparseArray *array, int32_t index);
int SparseArrayDestroy(SparseArray **array);

int SparseArraySet(SparseArray *array, int32_t index, void *element);
int SparseArrayRemove(SparseArray *array, int32_t index);
int SparseArrayIsOccupied(const SparseArray *array, int32_t index);
int32_t SparseArrayCount(const SparseArray *array);
/* 0; -1 for a null cursor. A null key leaves the empty key text. */
int ArraySearchInit(ArrayMatch match, const char *key, int32_t position,
                    ArraySearch *cursor);
/* The predicate is called with the caller's key as given (also null); a
 * null key keeps the cursor's earlier key text. FindNext starts after the
 * cursor's position, at slot 0 when that is below -1. */
int32_t SparseArrayFindFirst(const SparseArray *array, const char *key,
                             ArrayMatch match, ArraySearch *cursor);
int32_t SparseArrayFindNext(const SparseArray *array, ArraySearch *cursor);

#endif /* TAVL_DYN_ARY_H */
