/*
 * backend.cpp - the choice of a back-end: the one place where an open mode
 * decides how a table is held, and where the processor decides which form
 * of its read a table uses.
 */
#include "store/backend.h"

#include "base/processor.h"
#include "store/indexed.h"
#include "store/loaded.h"
#include "tavlin32.h"

const BackEnd *BackEndFor(int32_t mode) {
    return mode == OPEN_INDEXED ? &kIndexedBackEnd : &kLoadedBackEnd;
}

ReadCell ReadFor(const BackEnd *ops) {
    int kind = ProcessorVectorKind();
    while (kind > PROCESSOR_PLAIN && !ops->read[kind]) kind--;
    return ops->read[kind];
}
