/*
 * reference_select.h - the least a random read costs a table that keeps one
 * offset per line and no offset per cell: the benchmark's own loop over the
 * picks, each finding its field by the branch-light select of a 128-byte
 * window of its line (the library's own masks and bit select, inlined
 * here, with no call, no handle and no checks) and copying it.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace tavlbench {

/* One pass, in the AVX2 or the AVX-512 form of the library's select (each
 * runs only where the processor has its instructions), over picks (data
 * line, column) of text, whose line p starts at
 * lines[p] (lines[p + 1] - 1 being its LF, lines holding one more entry
 * than the table has lines, and 192 bytes readable past every line start):
 * copies each field into buf, NUL-terminated, and returns the sum of the
 * first byte and length of each; *unanswered counts the picks whose window
 * could not tell the field (none in a table of short plain lines). */
uint64_t SelectReferencePassAvx2(const char *text, const std::vector<uint64_t> &lines,
                                 const std::vector<std::pair<int32_t, int32_t>> &picks, char *buf,
                                 size_t *unanswered);
uint64_t SelectReferencePassAvx512(const char *text, const std::vector<uint64_t> &lines,
                                   const std::vector<std::pair<int32_t, int32_t>> &picks,
                                   char *buf, size_t *unanswered);

}  // namespace tavlbench
