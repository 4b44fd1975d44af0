/* reference_select_avx512.cpp - the select reference's pass in its AVX-512
 * form. */
#define REFERENCE_PASS SelectReferencePassAvx512
#include "reference_select.inc"
