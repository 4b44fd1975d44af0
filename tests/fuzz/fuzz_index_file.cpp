// fuzz_index_file.cpp - an index file that does not describe its data file.
//
// Input: byte 0 chooses how the index is tampered with (bits 0-1: replaced
// by the rest of the input, words patched, cut short or grown), the
// delimiter (bits 2-3) and the header line count (bits 4-5, modulo 3);
// byte 1 is the length of the data file taken from the input next (0: one
// of four built-in files, chosen by bits 6-7). A proper index is prepared
// first and then tampered with. The open must refuse it or read in bounds.
//
// Byte 1 of 255 takes the wide form instead: the data file is a sparse file
// past 4 GiB made once at start (see kWide), and the rest of the input is
// its index file as it stands.
#include <tavlin32.h>

#include <dirent.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_util.h"

namespace {

using namespace fuzztarget;

const char *const kBuiltIn[] = {
    "name,age,town\nann,31,oslo\nbob,42,rome\ncy,7,\n",
    "id,text\r\n1,a\",\"b\r\n2,back\\\\slash\r\n3,\\x0aline\r\n",
    "one\nx\ny\nz\n",
    "a,b\n1,2\n3,4\n5,6\n7,8\n9,10\n11,12\n13,14\n15,16",
};

// The one index file in dir, or "".
std::string IndexFileIn(const std::string &dir) {
    std::string found;
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *e = readdir(d)) {
            std::string name = e->d_name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".idx") == 0) found = dir + "/" + name;
        }
        closedir(d);
    }
    return found;
}

std::string Tamper(std::string index, unsigned how, const uint8_t *t, size_t n) {
    switch (how) {
    case 0: // replaced whole
        return std::string(reinterpret_cast<const char *>(t), n);
    case 1: // words patched: (word number, four bytes) at a time
        for (size_t i = 0; i + 5 <= n && index.size() >= 4; i += 5) {
            size_t word = t[i] % (index.size() / 4);
            std::memcpy(&index[word * 4], t + i + 1, 4);
        }
        return index;
    case 2: // cut short
        return index.substr(0, n ? t[0] % (index.size() + 1) : 0);
    default: // grown
        return index + std::string(reinterpret_cast<const char *>(t), n);
    }
}

// The wide form's data file: "a,b", eight lines of two fields ending at
// each of the first eight MiB, a line of one field ending at 9 MiB (where
// a preparation's table ends), then lines of two fields ending at every
// MiB up to 4 GiB + 1 MiB. Lines are NUL bytes (holes) but for their last
// four bytes, so none is longer than 1 MiB.
const std::string &WideData() {
    static const std::string path = [] {
        const std::string p = fuzzutil::PathOf("wide.csv");
        FILE *f = std::fopen(p.c_str(), "wb");
        if (!f) std::abort();
        std::fwrite("a,b\n", 1, 4, f);
        const uint64_t mib = 1u << 20;
        for (uint64_t k = 1; k <= 4097; ++k) {
            if (fseeko(f, static_cast<off_t>(k * mib - 4), SEEK_SET) != 0) std::abort();
            std::fwrite(k == 9 ? "end\n" : "x,1\n", 1, 4, f);
        }
        std::fclose(f);
        return p;
    }();
    return path;
}

// The index file as the input gives it, opened over the wide data file.
void WideForm(const uint8_t *t, size_t n, char d, int32_t h) {
    const std::string &path = WideData();
    const std::string dir = fuzzutil::Subdir("idx");
    const char comma = ',';
    const int32_t one = 1;
    // Where the index of the data file lies: its preparation stops at 9 MiB.
    if (PreOpenTable(path.c_str(), dir.c_str(), &comma, &one, 1) != TBL_OK)
        Fail("PreOpenTable of the wide data file failed");
    const std::string index = IndexFileIn(dir);
    if (fuzzutil::ReadFile(index).size() != 8 + 8 * 9) Fail("the wide index is not 8 + 8n bytes");
    FILE *f = std::fopen(index.c_str(), "wb");
    if (!f) std::abort();
    if (n) std::fwrite(t, 1, n, f);
    std::fclose(f);
    {
        Handle table;
        int32_t rc = OpenTable(path.c_str(), table.t, OPEN_INDEXED, &d, &h, dir.c_str());
        if (rc == TBL_OK) {
            tavlprobe::Snapshot snap;
            Expect(tavlprobe::Read(table.t, h, tavlprobe::Limits(), &snap), "wide index read");
        } else if (rc > 0) {
            Fail("OpenTable returned " + std::to_string(rc));
        }
    }
    if (PostCloseTable(path.c_str(), dir.c_str()) != TBL_OK) Fail("PostCloseTable failed");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    if (data[1] == 255) {
        WideData(); // made once, before the count of held blocks starts
        fuzzutil::Held held;
        WideForm(data + 2, size - 2, kDelimiters[data[0] >> 2 & 3], (data[0] >> 4 & 3) % 3);
        held.ExpectSame("wide index file");
        return 0;
    }
    const unsigned how = data[0] & 3;
    const char d = kDelimiters[data[0] >> 2 & 3];
    const int32_t h = (data[0] >> 4 & 3) % 3;
    size_t length = data[1];
    if (length > size - 2) length = size - 2;
    std::string bytes = length ? std::string(reinterpret_cast<const char *>(data) + 2, length)
                               : std::string(kBuiltIn[data[0] >> 6]);
    const uint8_t *tamper = data + 2 + length;
    const size_t tamper_size = size - 2 - length;
    const tavlprobe::Limits limits;

    fuzzutil::Held held;
    {
        const std::string path = fuzzutil::WriteFile("data.csv", bytes.data(), bytes.size());
        const std::string dir = fuzzutil::Subdir("idx");
        if (PreOpenTable(path.c_str(), dir.c_str(), &d, &h, 1) == TBL_OK) {
            const std::string index = IndexFileIn(dir);
            if (index.empty()) Fail("PreOpenTable succeeded but wrote no .idx file");
            std::string tampered = Tamper(fuzzutil::ReadFile(index), how, tamper, tamper_size);
            FILE *f = std::fopen(index.c_str(), "wb");
            if (!f) std::abort();
            if (!tampered.empty()) std::fwrite(tampered.data(), 1, tampered.size(), f);
            std::fclose(f);

            {
                Handle t;
                int32_t rc = OpenTable(path.c_str(), t.t, OPEN_INDEXED, &d, &h, dir.c_str());
                if (rc == TBL_OK) {
                    tavlprobe::Snapshot snap;
                    Expect(tavlprobe::Read(t.t, h, limits, &snap), "tampered index read");
                    Expect(tavlprobe::CheckReadOnly(t.t, fuzzutil::PathOf("never.csv")), "tampered index");
                } else if (rc > 0) {
                    Fail("OpenTable returned " + std::to_string(rc));
                }
            }
            if (PostCloseTable(path.c_str(), dir.c_str()) != TBL_OK) Fail("PostCloseTable failed");
        }
    }
    held.ExpectSame("index file");
    return 0;
}
