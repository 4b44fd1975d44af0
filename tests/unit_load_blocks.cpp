// The loaded back-end's bulk paths: the field count sixteen bytes at a time,
// the load's read block (lines across its edges, lines longer than it), the
// save's write block, and allocation failures while the read block grows.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "table.h"
#include "tavlin32.h"
#include "testsupport.h"
#include "codec/tavl_codec.h"
#include "store/loaded.h"
#ifdef _WIN32
#  include <windows.h>
#else
#  include <kernel32.h>
#endif

namespace {

using tavltest::Arm;
using tavltest::Disarm;
using tavltest::ReadFile;
using tavltest::SweepAllocationFailures;
using tavltest::Table;
using tavltest::WriteFile;

// The count one byte at a time: a delimiter counts when an even number of
// quotes stand before it on the line; the line is consistent when exactly
// those delimiters are the ones the split cuts at (a delimiter not flanked
// by two quotes, or the first or last byte).
int32_t ByteCount(const std::string &line, char d, int *consistent) {
    int32_t count = 1;
    bool outside = true;
    *consistent = 1;
    for (size_t p = 0; p < line.size(); p++) {
        char c = line[p];
        if (c == '"') {
            outside = !outside;
        } else if (c == d) {
            bool splits = p == 0 || p + 1 == line.size() || line[p - 1] != '"' ||
                          line[p + 1] != '"';
            if (outside) count++;
            if (splits != outside) *consistent = 0;
        }
    }
    return count;
}

TEST(LoadBlocks, FieldCountAndConsistencyMatchTheByteRule) {
    // Hand-picked lines put quotes and delimiters on both sides of the
    // 16-byte block edges; random lines over a small alphabet do the rest.
    std::vector<std::string> lines = {
        "",
        ",",
        std::string(15, 'a') + ",\"" + std::string(14, 'b') + ",\",c",
        std::string(16, ',') + std::string(16, '"') + std::string(16, ','),
        "\"" + std::string(31, ',') + "\"" + std::string(31, ','),
        std::string(17, '"') + ",x,y" + std::string(40, ','),
        "a;b;\"c;d\";" + std::string(50, ';'),
        std::string(15, 'a') + "\"" + std::string(16, 'b') + "\"," + std::string(20, ','),
        std::string(31, 'a') + "\",\"" + std::string(20, 'c'),
    };
    std::mt19937 gen(7);
    const char alphabet[] = {'a', ',', '"', ';', '\t'};
    for (int i = 0; i < 400; i++) {
        std::string s(gen() % 80, 'a');
        for (char &c : s) c = alphabet[gen() % sizeof alphabet];
        lines.push_back(s);
    }
    int inconsistent = 0;
    for (const std::string &line : lines)
        for (char d : {',', ';', '\t'}) {
            SCOPED_TRACE(line + " / delimiter " + std::to_string(int(d)));
            int want_consistent = -1, consistent = -1;
            int32_t want = ByteCount(line, d, &want_consistent);
            EXPECT_EQ(CountLineFields(line.data(), line.size(), d, &consistent), want);
            EXPECT_EQ(consistent, want_consistent);
            EXPECT_EQ(LineIsSound(line.data(), line.size(), d, want), want_consistent);
            inconsistent += !want_consistent;
        }
    EXPECT_GT(inconsistent, 100); // the random lines reach both answers
}

// A table of two columns whose data lines have the given lengths of their
// first cell, with LF or CR LF line ends; expected is what the save writes.
struct Generated {
    std::string file, saved;
    std::vector<std::string> first;
};

Generated Generate(const std::vector<size_t> &lengths, bool crlf, bool final_end) {
    Generated g;
    g.file = crlf ? "a,b\r\n" : "a,b\n";
    g.saved = "a,b\r\n";
    for (size_t i = 0; i < lengths.size(); i++) {
        std::string cell(lengths[i], char('c' + i % 20));
        g.first.push_back(cell);
        std::string line = cell + "," + std::to_string(i);
        bool last = i + 1 == lengths.size();
        g.file += line + (last && !final_end ? "" : crlf ? "\r\n" : "\n");
        g.saved += line + "\r\n";
    }
    return g;
}

TEST(LoadBlocks, LinesAcrossAndBeyondTheReadBlock) {
    const size_t mib = size_t(1) << 20;
    struct Case {
        const char *name;
        std::vector<size_t> lengths;
    } cases[] = {
        // Many short lines: some line crosses every 1 MiB edge.
        {"short lines", std::vector<size_t>(40000, 61)},
        // One line longer than the block, between short ones: the block grows.
        {"a line of 2.5 MiB", {10, mib * 5 / 2, 10, 3}},
        // A line that ends exactly where the first block ends, and its CR on
        // the edge of the block.
        {"LF at the block edge", {mib - 10, 5}},
        {"CR at the block edge", {mib - 11, 5}},
    };
    for (const Case &c : cases)
        for (bool crlf : {false, true})
            for (bool final_end : {false, true}) {
                SCOPED_TRACE(std::string(c.name) + (crlf ? ", CR LF" : ", LF") +
                             (final_end ? "" : ", no final line end"));
                Generated g = Generate(c.lengths, crlf, final_end);
                const std::string path = WriteFile("blocks.csv", g.file);
                Table t;
                ASSERT_EQ(t.Open(path), TBL_OK);
                ASSERT_EQ(t.Lines(), int32_t(c.lengths.size()));
                for (size_t i : {size_t(0), c.lengths.size() / 2, c.lengths.size() - 1}) {
                    EXPECT_EQ(t.Cell(0, int32_t(i)), g.first[i]) << "line " << i;
                    EXPECT_EQ(t.Cell(1, int32_t(i)), std::to_string(i)) << "line " << i;
                }
                // Lines longer than the write block go out straight, the
                // others through it; either way the bytes come back whole.
                const std::string out = tavltest::TempDir() + "/blocks_saved.csv";
                ASSERT_EQ(SaveTable(t.h, out.c_str()), TBL_OK);
                EXPECT_TRUE(ReadFile(out) == g.saved) << "the saved file differs";
            }
}

TEST(LoadBlocks, PreviewStopsAtItsLimitInsideTheFirstBlock) {
    Generated g = Generate(std::vector<size_t>(30000, 40), true, true);
    Table t;
    ASSERT_EQ(t.Open(WriteFile("preview_blocks.csv", g.file), OPEN_PREVIEW), TBL_OK);
    EXPECT_EQ(t.Lines(), 99);
    EXPECT_EQ(t.Cell(1, 98), "98");
}

TEST(LoadBlocks, FieldCountChecksLinesBeyondTheFirstBlock) {
    // The bad line lies in the third block: its position is the last-error
    // value's count.
    Generated g = Generate(std::vector<size_t>(50000, 50), false, true);
    g.file += "1,2,3\n";
    Table t;
    SetLastError(0);
    EXPECT_EQ(t.Open(WriteFile("late_format.csv", g.file)), TBL_ERR_FORMAT);
    EXPECT_EQ(GetLastError(), 0x20000000u | 50001u);
}

TEST(LoadBlocks, AllocationFailuresWhileTheReadBlockGrows) {
    // The long line makes the read block grow twice; every failure must
    // give TBL_ERR_NO_MEMORY with the load's last-error value, and the sweep
    // checks that no block is left behind.
    Generated g = Generate({5, size_t(3) << 20, 5}, true, true);
    const std::string path = WriteFile("grow_alloc.csv", g.file);
    long points = SweepAllocationFailures([&](long k) {
        TableHandle *h = nullptr;
        ASSERT_EQ(NewTable(&h), TBL_OK);
        const int32_t one = 1;
        SetLastError(0);
        Arm(k);
        int rc = OpenTable(path.c_str(), h, OPEN_EDIT, ",", &one, nullptr);
        Disarm();
        if (k == 0) {
            EXPECT_EQ(rc, TBL_OK);
        } else if (rc != TBL_ERR_BAD_HANDLE) { // not the column list's
            EXPECT_TRUE(rc == TBL_ERR_NO_MEMORY || rc == TBL_ERR_OPEN) << rc;
            EXPECT_EQ(GetLastError() & 0xF0000000u, 0x20000000u);
        }
        EXPECT_EQ(CloseTable(h), TBL_OK);
        FreeTable(h);
    });
    EXPECT_GE(points, 8);
}

} // namespace
