// fuzz_indexed.cpp - any bytes as a data file, through OPEN_INDEXED.
//
// Input: the first byte chooses the delimiter (bits 0-1: , ; tab |), the
// header line count the index is prepared with (bits 2-3, modulo 3), the
// unique flag (bit 4), and whether the open names another header line
// count than the preparation did (bit 5, by 1 or 2 after bit 6); the rest
// is the data file. The file is counted with GetNumberOfLinesEx, prepared,
// opened and read (every reader must agree and stay in bounds), and
// where the file is one both back-ends read alike (no NUL, CR or quote, no
// empty line, a final LF) it must read exactly as OPEN_EDIT reads it.
#include <tavlin32.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_util.h"

namespace {

using namespace fuzztarget;

// Lines ended by LF up to the first blank one (white space only).
int32_t FilledLines(const std::string &bytes) {
    int32_t count = 0;
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t lf = bytes.find('\n', pos);
        if (lf == std::string::npos) break;
        bool blank = true;
        for (size_t i = pos; i < lf; ++i)
            if (!std::isspace(static_cast<unsigned char>(bytes[i]))) blank = false;
        if (blank) break;
        ++count;
        pos = lf + 1;
    }
    return count;
}

// Files on which the two back-ends must agree: the differences they are
// built with (NUL and CR handling, quote rules, empty lines, a last line
// without LF) do not arise.
bool BothReadAlike(std::string bytes) {
    // A byte-order mark is no part of line 0 in either back-end.
    if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) bytes.erase(0, 3);
    if (bytes.empty() || bytes.back() != '\n' || bytes.front() == '\n') return false;
    if (bytes.find_first_of(std::string("\0\r\"", 3)) != std::string::npos) return false;
    return bytes.find("\n\n") == std::string::npos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const char d = kDelimiters[data[0] & 3];
    const int32_t h = (data[0] >> 2 & 3) % 3;
    const int32_t unique = data[0] >> 4 & 1;
    const int32_t h_open = (data[0] >> 5 & 1) ? h + 1 + (data[0] >> 6 & 1) : h;
    const Limits limits;
    fuzzutil::Held held;
    {
        const std::string bytes(reinterpret_cast<const char *>(data) + 1, size - 1);
        const std::string path = fuzzutil::WriteFile("data.csv", bytes.data(), bytes.size());
        const std::string dir = fuzzutil::Subdir("idx");

        int32_t counted = GetNumberOfLinesEx(path.c_str(), &d, nullptr);
        int32_t expect = bytes.empty() ? TBL_ERR_MAP_DATA : FilledLines(bytes);
        if (counted != expect)
            Fail("GetNumberOfLinesEx gave " + std::to_string(counted) + ", expected " + std::to_string(expect));

        int32_t rc = PreOpenTableUnique(path.c_str(), dir.c_str(), &d, &h, 1, unique);
        if (rc != TBL_OK) {
            if (rc != TBL_ERR_MAP_DATA && rc != TBL_ERR_FORMAT)
                Fail("PreOpenTable returned " + std::to_string(rc));
            if ((rc == TBL_ERR_MAP_DATA) != bytes.empty()) Fail("PreOpenTable: TBL_ERR_MAP_DATA for a non-empty file or none for an empty one");
        } else {
            Snapshot indexed;
            bool opened = false;
            {
                Handle t;
                rc = OpenTableUnique(path.c_str(), t.t, OPEN_INDEXED, &d, &h_open, dir.c_str(), unique);
                if (rc == TBL_OK) {
                    opened = true;
                    Expect(tavlprobe::Read(t.t, h_open, limits, &indexed), "indexed read");
                    Expect(tavlprobe::CheckReadOnly(t.t, fuzzutil::PathOf("never.csv")), "indexed");
                } else if (h_open == h) {
                    Fail("a freshly prepared table does not open: " + std::to_string(rc));
                } else if (rc > 0) {
                    Fail("OpenTable returned " + std::to_string(rc));
                }
            }
            if (opened && h_open == h && BothReadAlike(bytes)) {
                Handle e;
                if (OpenTable(path.c_str(), e.t, OPEN_EDIT, &d, &h, nullptr) == TBL_OK) {
                    Snapshot loaded;
                    Expect(tavlprobe::Read(e.t, h, limits, &loaded), "edit read");
                    Expect(tavlprobe::Compare(indexed, loaded, "indexed vs edit"), "compare");
                }
            }
            rc = PostCloseTableUnique(path.c_str(), &d, &h, dir.c_str(), unique);
            if (rc != TBL_OK) Fail("PostCloseTable returned " + std::to_string(rc));
        }
    }
    held.ExpectSame("indexed");
    return 0;
}
