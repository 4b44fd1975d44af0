/*
 * reference_select.cpp - see reference_select.h. Compiled with AVX2 and
 * BMI2 enabled; SelectReferencePass runs only where the processor has them.
 */
#include "reference_select.h"

#include <cstring>

#include "base/processor.h"
#include "codec/field_select.h"

namespace tavlbench {

bool SelectReferenceRuns() { return ProcessorVectorKind() >= PROCESSOR_AVX2; }

uint64_t SelectReferencePass(const char *text, const std::vector<uint64_t> &lines,
                             const std::vector<std::pair<int32_t, int32_t>> &picks, char *buf,
                             size_t *unanswered) {
    uint64_t sum = 0;
    size_t missed = 0;
    for (const auto &pick : picks) {
        /* Data line p is table line p + 1, after the header. */
        const uint64_t at = lines[static_cast<size_t>(pick.first) + 1];
        const uint64_t lf = lines[static_cast<size_t>(pick.first) + 2] - at - 1;
        const char *line = text + at;
        const uint32_t length = static_cast<uint32_t>(lf) - (line[lf - 1] == '\r');
        LineMasks masks;
        uint32_t start = 0, size = 0;
        const int found = lf < SELECT_WINDOW && WindowMasks(line, length, ',', 1, &masks) &&
                          FieldByMasks(&masks, static_cast<uint32_t>(pick.second), &start, &size) &&
                          size < SELECT_COPY;
        missed += !found;
        CopyBlock64(buf, line + start);
        buf[size] = '\0';
        sum += static_cast<unsigned char>(buf[0]) + size;
    }
    *unanswered = missed;
    return sum;
}

}  // namespace tavlbench
