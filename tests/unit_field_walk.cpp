// The in-place cell read path: finding a field of an unsplit line, decoding
// it into a bounded buffer, and the readers built on them, which must give
// exactly what splitting and decoding a copy gives, read nothing past the
// line and allocate nothing.
#include <gtest/gtest.h>
#include <pellus.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "codec/tavl_codec.h"
#include "base/tavlbuf.h"
#include "table.h"
#include "tavlin32.h"
#include "testsupport.h"

namespace {

// The bytes in a heap block of exactly their size, with no NUL after them,
// so that AddressSanitizer catches any read past the end.
std::unique_ptr<char[]> Exact(const std::string &s) {
    std::unique_ptr<char[]> block(new char[s.size() ? s.size() : 1]);
    std::memcpy(block.get(), s.data(), s.size());
    return block;
}

// Random stored lines over the bytes that matter to the split and decode
// rules, with lengths across the 16- and 32-byte blocks of the walk; and
// (plain) lines of cells without quotes or backslashes, the usual table,
// which the walk takes by its own quick loop.
std::vector<std::string> RandomLines(char d, unsigned seed, bool plain = false) {
    const std::string alphabet =
        plain ? std::string("abcdefgh") + d : std::string("\"\"\\xa0F") + d + d + d;
    std::mt19937 rng(seed);
    std::vector<std::string> lines = {"", std::string(1, d), "\"" + std::string(1, d) + "\""};
    for (int i = 0; i < 600; i++) {
        std::string line(rng() % (plain ? 200 : 100), 'a');
        for (char &c : line) c = alphabet[rng() % alphabet.size()];
        lines.push_back(line);
    }
    return lines;
}

// Where each piece of a line ends, by FieldEndsWalk: the whole line in one
// walk, or (step) one piece more each time, as reads of its cells go.
std::vector<uint32_t> WalkEnds(const std::string &line, char d, bool step) {
    auto exact = Exact(line);
    std::vector<uint32_t> ends(line.size() + 80);
    size_t walked = 0;
    int32_t count = 0;
    int special = 0, done = 0;
    const int32_t capacity = static_cast<int32_t>(ends.size());
    for (int32_t want = 0; !done; want++)
        done = FieldEndsWalk(exact.get(), line.size(), d, ends.data(), capacity,
                             step ? want : capacity, &walked, &count, &special);
    ends.resize(static_cast<size_t>(count));
    return ends;
}

TEST(FieldWalk, FindFieldGivesThePiecesSplitLineGives) {
    for (char d : {',', '\t', '|'}) {
      for (bool plain : {false, true}) {
        for (const std::string &line : RandomLines(d, 7, plain)) {
            SCOPED_TRACE(testing::PrintToString(line));
            std::string copy = line;
            int32_t pieces = SplitLine(&copy[0], d);
            std::vector<uint32_t> whole = WalkEnds(line, d, false);
            EXPECT_EQ(WalkEnds(line, d, true), whole);
            ASSERT_EQ(whole.size(), static_cast<size_t>(pieces));
            auto exact = Exact(line);
            const char *piece = copy.c_str();
            for (int32_t k = -1; k <= pieces; k++) {
                size_t start = 99, length = 99;
                int found = FindField(exact.get(), line.size(), d, k, &start, &length);
                ASSERT_EQ(found, k >= 0 && k < pieces) << "piece " << k;
                if (!found) continue;
                EXPECT_EQ(line.substr(start, length), std::string(piece)) << "piece " << k;
                EXPECT_EQ(whole[static_cast<size_t>(k)], start + length) << "piece " << k;
                piece += std::strlen(piece) + 1;
            }
        }
      }
    }
}

TEST(FieldWalk, DecodeFieldToFillsWhatFitsAndCountsAll) {
    for (const std::string &field : RandomLines('|', 3)) {
        SCOPED_TRACE(testing::PrintToString(field));
        auto exact = Exact(field);
        char *whole = nullptr;
        int32_t size = 0;
        ASSERT_EQ(TextBufferNew(&whole), TBL_OK);
        ASSERT_EQ(DecodeField(exact.get(), field.size(), '|', &whole, &size), TBL_OK);
        const std::string want(whole, static_cast<size_t>(size - 1));
        TextBufferFree(&whole);
        EXPECT_EQ(DecodeFieldTo(exact.get(), field.size(), '|', nullptr, 0), want.size());
        for (size_t capacity = 0; capacity <= want.size() + 1; capacity++) {
            std::string out(want.size() + 4, '#');
            ASSERT_EQ(DecodeFieldTo(exact.get(), field.size(), '|', &out[0], capacity),
                      want.size());
            size_t filled = std::min(capacity, want.size());
            EXPECT_EQ(out.substr(0, filled), want.substr(0, filled)) << capacity;
            EXPECT_EQ(out.substr(filled), std::string(out.size() - filled, '#')) << capacity;
        }
    }
}

// A long cell holding escapes, read from both back-ends at every buffer
// length: what fits, a terminating NUL, the full size, and no allocation.
TEST(FieldWalk, ReadersCutAtEveryLengthWithoutAllocating) {
    const std::string value = "a,b\\c\n" + std::string(40, 'v') + "\"q\",\"\"" + std::string(30, 'w');
    char *stored = nullptr;
    ASSERT_EQ(TextBufferNew(&stored), TBL_OK);
    ASSERT_EQ(EncodeField(value.data(), value.size(), ',', 0, &stored), TBL_OK);
    const std::string table = "h0,h1,h2\r\n0," + std::string(stored) + ",x\r\n";
    TextBufferFree(&stored);
    std::string path = tavltest::WriteFile("walk.csv", table);
    std::string dir = tavltest::FreshDir("walk_idx");
    const int32_t one = 1;
    ASSERT_EQ(PreOpenTable(path.c_str(), dir.c_str(), ",", &one, 1), TBL_OK);
    for (int32_t mode : {OPEN_EDIT, OPEN_INDEXED}) {
        SCOPED_TRACE(mode);
        tavltest::Table t;
        TableHandle *h = t.h;
        ASSERT_EQ(t.Open(path, mode, ',', 1, dir), TBL_OK);
        const int32_t size = static_cast<int32_t>(value.size()) + 1;
        long calls = pellus_calls();
        EXPECT_EQ(GetCellSizeByIndex(h, 1, 0), size);
        for (int32_t length = 1; length <= size + 1; length++) {
            std::vector<char> buf(static_cast<size_t>(length) + 1, '#');
            int32_t out = 0;
            int rc = GetCellValByIndex(h, 1, 0, buf.data(), &out, length);
            EXPECT_EQ(rc, length >= size ? TBL_OK : TBL_ERR_TRUNCATED) << length;
            EXPECT_EQ(out, size);
            size_t kept = static_cast<size_t>(std::min(length, size) - 1);
            EXPECT_EQ(std::string(buf.data(), kept), value.substr(0, kept)) << length;
            EXPECT_EQ(buf[kept], '\0');
            EXPECT_EQ(buf[static_cast<size_t>(length)], '#') << length;
        }
        EXPECT_EQ(pellus_calls(), calls);
    }
    EXPECT_EQ(PostCloseTable(path.c_str(), dir.c_str()), TBL_OK);
}

// An indexed line holding a NUL byte is read from a fetched copy, which
// drops the NUL; that copy is the one allocation a reader still makes, and
// its failure must read as TBL_ERR_NO_MEMORY with the buffer untouched.
TEST(FieldWalk, IndexedLineWithNulReadsTheFetchedCopy) {
    std::string path = tavltest::WriteFile("walk_nul.csv", std::string("a,b\n1,x\0y\n", 11));
    std::string dir = tavltest::FreshDir("walk_nul_idx");
    const int32_t one = 1;
    ASSERT_EQ(PreOpenTable(path.c_str(), dir.c_str(), ",", &one, 1), TBL_OK);
    long points = tavltest::SweepAllocationFailures([&](long k) {
        TableHandle *h = nullptr;
        ASSERT_EQ(NewTable(&h), TBL_OK);
        ASSERT_EQ(OpenTable(path.c_str(), h, OPEN_INDEXED, ",", &one, dir.c_str()), TBL_OK);
        char buf[8] = "#######";
        int32_t out = -1;
        tavltest::Arm(k);
        int rc = GetCellValByIndex(h, 1, 0, buf, &out, sizeof buf);
        tavltest::Disarm();
        if (k == 0) {
            EXPECT_EQ(rc, TBL_OK);
            EXPECT_STREQ(buf, "xy");
            EXPECT_EQ(out, 3);
        } else {
            EXPECT_EQ(rc, TBL_ERR_NO_MEMORY);
            EXPECT_STREQ(buf, "#######");
            EXPECT_EQ(out, -1);
        }
        EXPECT_EQ(CloseTable(h), TBL_OK);
        FreeTable(h);
    });
    EXPECT_GE(points, 1);
    EXPECT_EQ(PostCloseTable(path.c_str(), dir.c_str()), TBL_OK);
}

}  // namespace

// A wide table read in every order gives the same cells: row by row, column
// by column over all lines (which walks each line from its marks), right to
// left, at random; also after writes and a new column, which move pieces.
TEST(FieldWalk, EveryReadOrderReadsTheSameCells) {
    const int32_t columns = 300, lines = 40;
    auto value = [](int32_t r, int32_t c) {
        std::string v = std::to_string(r * 7 + c);
        if ((r + c) % 37 == 0) v += ",\"q\"\\";
        // Lengths up to about 80: every width the copy of a cell treats apart.
        return v + std::string(static_cast<size_t>((r * c) % 71), 'x');
    };
    std::vector<std::vector<std::string>> want(lines + 1);
    std::string text;
    for (int32_t r = 0; r <= lines; r++) {
        for (int32_t c = 0; c < columns; c++) {
            want[r].push_back(r ? value(r, c) : "h" + std::to_string(c));
            char *stored = nullptr;
            ASSERT_EQ(TextBufferNew(&stored), TBL_OK);
            ASSERT_EQ(EncodeField(want[r][c].data(), want[r][c].size(), ',', 0, &stored), TBL_OK);
            text += (c ? "," : "") + std::string(stored);
            TextBufferFree(&stored);
        }
        text += "\r\n";
    }
    const std::string path = tavltest::WriteFile("orders.csv", text);
    const std::string dir = tavltest::FreshDir("orders_idx");
    ASSERT_EQ(tavltest::Prepare(path, dir), TBL_OK);
    std::mt19937 rng(5);
    auto read_all = [&](tavltest::Table &t, int order) {
        std::vector<std::pair<int32_t, int32_t>> cells;
        for (int32_t a = 0; a < (order == 1 ? columns : lines); a++)
            for (int32_t b = 0; b < (order == 1 ? lines : columns); b++)
                cells.push_back(order == 1 ? std::make_pair(b, a) : std::make_pair(a, b));
        if (order == 2) std::reverse(cells.begin(), cells.end());
        if (order == 3) std::shuffle(cells.begin(), cells.end(), rng);
        for (auto [r, c] : cells) ASSERT_EQ(t.Cell(c, r), want[r + 1][c]) << r << "," << c;
    };
    for (int32_t mode : {OPEN_INDEXED, OPEN_EDIT}) { // the edit changes want
        tavltest::Table t;
        ASSERT_EQ(t.Open(path, mode, ',', 1, dir), TBL_OK);
        for (int order = 0; order < 4; order++) {
            SCOPED_TRACE(std::to_string(mode) + " order " + std::to_string(order));
            read_all(t, order);
        }
        if (mode != OPEN_EDIT) continue;
        for (int32_t r = 0; r < lines; r += 3) {
            for (int32_t c : {5, 150, 299}) {
                want[r + 1][c] = r % 2 ? "" : "longer \"cell\", " + value(r, c);
                ASSERT_EQ(t.Set(c, r, want[r + 1][c]), TBL_OK);
            }
        }
        read_all(t, 2); // far cells of changed lines first
        ASSERT_EQ(CreateColumn(t.h, -1, "new"), TBL_OK);
        for (int32_t r = 0; r < lines; r++) ASSERT_EQ(t.Cell(columns, r), "") << r;
        read_all(t, 3);
    }
    EXPECT_EQ(PostCloseTable(path.c_str(), dir.c_str()), TBL_OK);
}
