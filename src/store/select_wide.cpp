/*
 * select_wide.cpp - the select of a cell for processors with AVX2 and a
 * fast bit deposit (BMI2): this unit alone is compiled with those
 * instructions enabled, and a table uses it only where the processor has
 * them (ProcessorReadKind).
 */
#define SELECT_NAME(name) name##Wide
#include "store/cell_select.inc"
