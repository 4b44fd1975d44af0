/*
 * backend.cpp - the choice of a back-end: the one place where an open mode
 * decides how a table is held.
 */
#include "store/backend.h"

#include "store/runtime.h"
#include "store/update.h"
#include "tavlin32.h"

const BackEnd *BackEndFor(int32_t mode) {
    return mode == OPEN_INDEXED ? &kIndexedBackEnd : &kLoadedBackEnd;
}
