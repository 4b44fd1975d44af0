/*
 * record_list.cpp - RecordList: a list of records that it owns, each at the
 * number it was added with.
 *
 * An element keeps its slot for its whole life; adding puts it right after
 * the last occupied slot, so an array that is only added to stays dense and
 * its n-th element has index n - 1. The slot block grows by the initial
 * capacity when full and new slots are not cleared: only slots below the
 * used extent are ever read. Every failure (-1 or null) leaves the array as
 * it was; when growth fails the caller still owns the element.
 */
#include "base/record_list.h"

#include "base/tavlhost.h"

RecordList *RecordListCreate(uint32_t capacity, ElementDestructor destroy) {
    if (capacity == 0) return NULL;
    RecordList *array = (RecordList *)qmem_malloc(sizeof *array);
    if (!array) return NULL;
    array->slots = (void **)qmem_calloc(capacity, sizeof(void *));
    if (!array->slots) {
        qmem_free(array);
        return NULL;
    }
    array->capacity = capacity;
    array->step = capacity;
    array->used = 0;
    array->live = 0;
    array->destroy = destroy;
    return array;
}

int32_t RecordListAdd(RecordList *array, void *element) {
    /* A null element would count as live yet read as an empty slot. */
    if (!array || !array->slots || !element) return -1;

    int32_t target = 0;
    if (array->used > 0) {
        int32_t last = array->used - 1;
        while (last > 0 && !array->slots[last]) last--;
        target = array->slots[last] ? last + 1 : 0;
    }
    if ((uint32_t)target >= array->capacity) {
        /* Indices are signed 32-bit: refuse to grow past what they reach. */
        uint64_t grown = (uint64_t)array->capacity + array->step;
        if (grown > (uint64_t)INT32_MAX + 1 || grown > SIZE_MAX / sizeof(void *))
            return -1;
        void **slots = (void **)qmem_realloc(array->slots,
                                             (size_t)grown * sizeof(void *));
        if (!slots) return -1;
        array->slots = slots;
        array->capacity = (uint32_t)grown;
    }
    array->slots[target] = element;
    array->live++;
    array->used = target + 1;
    return target;
}

/* True when index addresses a slot below the used extent. */
static int InUse(const RecordList *array, int32_t index) {
    return array && array->slots && index >= 0 && index < array->used;
}

void *RecordListGet(const RecordList *array, int32_t index) {
    return InUse(array, index) ? array->slots[index] : NULL;
}

int RecordListDestroy(RecordList **array) {
    if (!array || !*array || !(*array)->slots) return -1;
    RecordList *a = *array;
    for (int32_t i = 0; i < a->used; i++)
        if (a->slots[i] && a->destroy) a->destroy(a->slots[i]);
    qmem_free(a->slots);
    qmem_free(a);
    *array = NULL;
    return 0;
}

int RecordListRemove(RecordList *array, int32_t index) {
    if (!InUse(array, index) || !array->slots[index]) return -1;
    if (array->destroy) {
        int rc = array->destroy(array->slots[index]);
        if (rc < 0) return rc;
    }
    array->slots[index] = NULL;
    if (--array->live == 0) array->used = 0;
    return 0;
}

int32_t RecordListCount(const RecordList *array) {
    return array ? array->live : -1;
}
