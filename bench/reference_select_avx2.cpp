/* reference_select_avx2.cpp - the select reference's pass in its AVX2 form. */
#define REFERENCE_PASS SelectReferencePassAvx2
#include "reference_select.inc"
