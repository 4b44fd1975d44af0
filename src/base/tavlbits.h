/*
 * tavlbits.h - the constants and low-level helpers every layer shares: the
 * bytes the stored form gives a meaning to, the byte-order mark, and the
 * machine helpers (sixteen-byte blocks, bit counts and scans, prefetch,
 * out-of-line functions), each written once.
 */
#ifndef TAVL_TAVLBITS_H
#define TAVL_TAVLBITS_H

#include <stddef.h>
#include <stdint.h>

/* The bytes the stored form of a cell gives a meaning to. */
#define QUOTE '"'
#define BACKSLASH '\\'

/* The UTF-8 byte-order mark. It belongs to a file, not to its first field. */
static const char kByteOrderMark[3] = {'\xEF', '\xBB', '\xBF'};

#endif /* TAVL_TAVLBITS_H */
