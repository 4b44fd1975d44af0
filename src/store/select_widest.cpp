/*
 * select_widest.cpp - the read of a cell for processors with AVX-512 (byte
 * compares of 64 bytes into mask registers) and a fast bit deposit: this
 * unit alone is compiled with those instructions enabled, and a table uses
 * it only where the processor has them (ProcessorReadKind).
 */
#define SELECT_NAME(name) name##Widest
#include "store/cell_select.inc"
