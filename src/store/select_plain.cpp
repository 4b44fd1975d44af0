/*
 * select_plain.cpp - the select of a cell for any processor: SSE2 compares
 * where the machine has them, and a bit select of plain arithmetic.
 */
#define SELECT_NAME(name) name##Plain
#include "store/cell_select.inc"
