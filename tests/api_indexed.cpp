// Indexed tables through the public interface: index files named, built,
// refused and removed; cells read through an index equal to the same cells
// of the same file loaded whole; damaged index files; line counting.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "table_probe.h"
#include "table.h"
#include "tavlin32.h"
#include "testsupport.h"

using tavltest::FreshDir;
using tavltest::Listing;
using tavltest::Prepare;
using tavltest::ReadFile;
using tavltest::Table;
using tavltest::Words;
using tavltest::TempDir;
using tavltest::WriteFile;
namespace fs = std::filesystem;

namespace {

// What a reader sees of an open table (counts, every cell through every
// reader, column attributes; the probe checks the readers agree), plus the
// column names, so that two back-ends can be compared.
struct Snapshot {
    int rc = 0;
    tavlprobe::Snapshot seen;
    std::vector<std::string> names;
};

Snapshot OpenAndRead(const std::string &path, int32_t mode, char d, int32_t header,
                     const std::string &dir, int32_t unique = 0) {
    Snapshot s;
    {
        Table t;
        s.rc = OpenTableUnique(path.c_str(), t.h, mode, &d, &header, dir.c_str(), unique);
        if (s.rc == TBL_OK) {
            EXPECT_EQ(tavlprobe::Read(t.h, header, tavlprobe::Limits(), &s.seen), "");
            for (int32_t c = 0; c < s.seen.columns; ++c) {
                char name[256];
                int32_t n = 0;
                EXPECT_EQ(GetColAttrByIndex(t.h, c, "name", name, &n, sizeof name), TBL_OK);
                s.names.push_back(name);
            }
        }
        EXPECT_EQ(CloseTable(t.h), TBL_OK);
    } // and closed again by Table: nothing left to release
    return s;
}

TEST(IndexedCells, EqualToTheSameFileLoadedWhole) {
    struct Case {
        const char *what;
        std::string data;
        char d;
        int32_t header;
    } cases[] = {
        {"CR LF lines", "id,name,score\r\n1,alpha,10\r\n2,beta,20\r\n3,gamma,30\r\n", ',', 1},
        {"encoded values", "k,v\r\nx\",\"y,back\\\\slash\r\nctl\\x01z,nul\\x00end\r\n"
                           ",empty first\r\n",
         ',', 1},
        {"no final LF, other delimiter", "a;b\nc;d\ne;f", ';', 1},
        {"no header lines", "p,q\nr,s\n", ',', 0},
        {"two header lines", "h1,h2\nsub1,sub2\n1,2\n3,4\n", ',', 2},
        {"one column", "single\nv1\nv2\n", ',', 1},
        {"header only", "a,b,c\r\n", ',', 1},
        {"byte-order mark", "\xEF\xBB\xBFid,v\r\n1,2\r\n", ',', 1},
    };
    for (const Case &c : cases) {
        std::string path = WriteFile("same.csv", c.data);
        std::string dir = FreshDir("same");
        ASSERT_EQ(Prepare(path, dir, c.d, c.header), TBL_OK) << c.what;
        Snapshot indexed = OpenAndRead(path, OPEN_INDEXED, c.d, c.header, dir);
        Snapshot edit = OpenAndRead(path, OPEN_EDIT, c.d, c.header, dir);
        EXPECT_EQ(indexed.rc, TBL_OK) << c.what;
        EXPECT_EQ(edit.rc, TBL_OK) << c.what;
        EXPECT_GT(indexed.seen.cells.size() + indexed.names.size(), 0u) << c.what;
        EXPECT_EQ(indexed.seen.cells.size(), edit.seen.cells.size()) << c.what;
        EXPECT_EQ(tavlprobe::Compare(indexed.seen, edit.seen, c.what), "");
        EXPECT_EQ(indexed.names, edit.names) << c.what;
        // A byte-order mark is the file's, not part of column 0's name.
        EXPECT_NE(indexed.names.at(0).rfind("\xEF\xBB\xBF", 0), 0u) << c.what;
        EXPECT_EQ(PostCloseTable(path.c_str(), dir.c_str()), TBL_OK) << c.what;
        EXPECT_TRUE(Listing(dir).empty()) << c.what;
    }
}

TEST(IndexFiles, PrepareTwiceAndRemove) {
    std::string path = WriteFile("twice.csv", "a,b\n1,2\n");
    std::string dir = FreshDir("twice");
    ASSERT_EQ(Prepare(path, dir), TBL_OK);
    std::string index = dir + "/" + Listing(dir)[0];
    EXPECT_EQ(ReadFile(index), Words({1, 2, 0, 4}));

    WriteFile("twice.csv", "a,b,c\n1,2,3\n4,5,6\n");
    EXPECT_EQ(Prepare(path, dir), TBL_ERR_INDEX_EXISTS);
    EXPECT_EQ(ReadFile(index), Words({1, 2, 0, 4})); // kept as it was
    EXPECT_EQ(Prepare(path, dir, ',', 1, 1), TBL_OK);
    EXPECT_EQ(ReadFile(index), Words({2, 3, 0, 6, 12}));

    EXPECT_EQ(PostCloseTable(path.c_str(), dir.c_str()), TBL_OK);
    EXPECT_EQ(PostCloseTable(path.c_str(), dir.c_str()), TBL_ERR_REMOVE);
    EXPECT_EQ(OpenAndRead(path, OPEN_INDEXED, ',', 1, dir).rc, TBL_ERR_INDEX_OPEN);

    // A replacement that fails after the existence check leaves no index
    // under the name, whatever step failed; without overwrite the old one
    // stays.
    struct Failure { const char *what, *data; int32_t header; int rc; } failures[] = {
        {"too few lines", "a,b\n1,2\n", 5, TBL_ERR_FORMAT},
        {"empty data file", "", 1, TBL_ERR_MAP_DATA},
    };
    for (const Failure &f : failures) {
        WriteFile("twice.csv", "a,b\n1,2\n");
        ASSERT_EQ(Prepare(path, dir, ',', 1, 1), TBL_OK) << f.what;
        WriteFile("twice.csv", f.data);
        EXPECT_EQ(Prepare(path, dir, ',', f.header, 0), TBL_ERR_INDEX_EXISTS) << f.what;
        EXPECT_EQ(Listing(dir).size(), 1u) << f.what;
        EXPECT_EQ(Prepare(path, dir, ',', f.header, 1), f.rc) << f.what;
        EXPECT_TRUE(Listing(dir).empty()) << f.what;
    }
}

TEST(IndexFiles, UniqueNamesTellPreparationsApart) {
    std::string path = WriteFile("uniq.csv", "a;b\n1;2\n3;4\n");
    std::string dir = FreshDir("uniq");
    ASSERT_EQ(Prepare(path, dir, ';', 1, 0, 1), TBL_OK);
    ASSERT_EQ(Prepare(path, dir, ';', 2, 0, 1), TBL_OK); // another file
    EXPECT_EQ(Listing(dir).size(), 2u);
    struct Case { char d; int32_t header, unique; int rc; int32_t lines; } cases[] = {
        {';', 1, 1, TBL_OK, 2},
        {';', 2, 1, TBL_OK, 1},
        {';', 1, 5, TBL_OK, 2},            // any non-zero flag names the same file
        {';', 1, 0, TBL_ERR_INDEX_OPEN, 0}, // prepared under the unique name only
        {';', 3, 1, TBL_ERR_INDEX_OPEN, 0},
        {',', 1, 1, TBL_ERR_INDEX_OPEN, 0},
    };
    for (const Case &c : cases) {
        Snapshot s = OpenAndRead(path, OPEN_INDEXED, c.d, c.header, dir, c.unique);
        EXPECT_EQ(s.rc, c.rc) << c.header << c.d << c.unique;
        if (c.rc == TBL_OK) {
            EXPECT_EQ(s.seen.lines, c.lines);
        }
    }
    char d = ';';
    int32_t two = 2;
    EXPECT_EQ(PostCloseTable(path.c_str(), dir.c_str()), TBL_ERR_REMOVE);
    EXPECT_EQ(PostCloseTableUnique(path.c_str(), &d, &two, dir.c_str(), 1), TBL_OK);
    EXPECT_EQ(Listing(dir).size(), 1u);
    EXPECT_EQ(OpenAndRead(path, OPEN_INDEXED, ';', 1, dir, 1).rc, TBL_OK);
}

TEST(IndexFiles, RefusalsCreateAndRemoveNothing) {
    std::string path = WriteFile("refusals.csv", "a,b\n1,2\n");
    std::string two_lines = WriteFile("two.csv", "a\nb\n");
    std::string empty = WriteFile("empty.csv", "");
    std::string dir = FreshDir("refusals");
    std::string long_dir = dir + "/" + std::string(250, 'x');
    char comma = ',';
    int32_t one = 1, three = 3, negative = -1;
    struct Case {
        const char *what, *path, *dir;
        const char *d;
        const int32_t *header;
        int rc;
    } cases[] = {
        {"no such file", "/no/such/file.csv", dir.c_str(), &comma, &one, TBL_ERR_NO_FILE},
        {"directory as data", dir.c_str(), dir.c_str(), &comma, &one, TBL_ERR_NO_FILE},
        {"negative header count", path.c_str(), dir.c_str(), &comma, &negative,
         TBL_ERR_INDEX_BUILD},
        {"index path too long", path.c_str(), long_dir.c_str(), &comma, &one,
         TBL_ERR_INDEX_BUILD},
        {"fewer lines than header lines", two_lines.c_str(), dir.c_str(), &comma, &three,
         TBL_ERR_FORMAT},
        {"empty data file", empty.c_str(), dir.c_str(), &comma, &one, TBL_ERR_MAP_DATA},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(PreOpenTable(c.path, c.dir, c.d, c.header, 1), c.rc) << c.what;
        EXPECT_EQ(PreOpenTableUnique(c.path, c.dir, c.d, c.header, 1, 1), c.rc) << c.what;
        EXPECT_TRUE(Listing(dir).empty()) << c.what;
    }

    ASSERT_EQ(Prepare(path, dir, ',', 1, 0, 1), TBL_OK);
    ASSERT_EQ(Listing(dir).size(), 1u);
    EXPECT_EQ(PostCloseTableUnique(nullptr, &comma, &one, dir.c_str(), 1), TBL_ERR_REMOVE);
    EXPECT_EQ(PostCloseTableUnique(path.c_str(), &comma, &one, long_dir.c_str(), 1),
              TBL_ERR_REMOVE);
    EXPECT_EQ(Listing(dir).size(), 1u);
    EXPECT_EQ(OpenAndRead(path, OPEN_INDEXED, ',', 1, "", 1).rc, TBL_ERR_INDEX_OPEN);
    EXPECT_EQ(OpenTableUnique(path.c_str(), Table().h, OPEN_INDEXED, &comma, &one, nullptr, 1),
              TBL_ERR_INDEX_OPEN);
    EXPECT_EQ(PostCloseTableUnique(path.c_str(), &comma, &one, dir.c_str(), 1), TBL_OK);
}

// An index that does not describe its data file is refused at the open
// rather than read as the file's lines. (The open's checks one by one are
// covered with the back-end in unit_indexed.cpp.)
TEST(IndexFiles, DamagedIndexFiles) {
    const std::string data = "a,b\n1,2\n3,4\n";
    struct Case {
        const char *what;
        std::string index;
        int32_t open_header;
        int rc;
        std::vector<std::string> cells; // column 0, then column 1 ("" if none)
    } cases[] = {
        {"as prepared", Words({2, 2, 0, 4, 8}), 1, TBL_OK, {"1", "2", "3", "4"}},
        // An index that does not describe the data file is refused.
        {"offsets past the data", Words({2, 2, 0, 12, 0xFFFFFFFFu}), 1, TBL_ERR_INDEX_OPEN, {}},
        {"offsets inside lines", Words({2, 2, 0, 6, 9}), 1, TBL_ERR_INDEX_OPEN, {}},
    };
    for (const Case &c : cases) {
        std::string path = WriteFile("damaged.csv", data);
        std::string dir = FreshDir("damaged");
        ASSERT_EQ(Prepare(path, dir), TBL_OK);
        WriteFile("damaged/" + Listing(dir)[0], c.index);
        Table t;
        EXPECT_EQ(t.Open(path, OPEN_INDEXED, ',', c.open_header, dir), c.rc) << c.what;
        for (size_t k = 0; k < c.cells.size(); ++k) {
            int32_t column = static_cast<int32_t>(k % 2), line = static_cast<int32_t>(k / 2);
            char buf[16] = "unread";
            int32_t n = 0;
            int rc = GetCellValByIndex(t.h, column, line, buf, &n, sizeof buf);
            // A line that lost a field may be refused, but nothing is invented.
            if (column == 0 || !c.cells[k].empty()) {
                EXPECT_EQ(rc, TBL_OK) << c.what << k;
            }
            if (rc == TBL_OK) {
                EXPECT_EQ(std::string(buf), c.cells[k]) << c.what << k;
            }
        }
        EXPECT_EQ(CloseTable(t.h), TBL_OK) << c.what;
    }
}

// Two data files of one folder whose index names collide: the second's
// preparation finds the first's index, and its open must not take that
// index as its own.
TEST(IndexFiles, AnotherFilesIndexIsRefused) {
    std::string dir = FreshDir("collide");
    std::string first = WriteFile("first.csv", "name,amount\nann,1000\ny,2000\n");
    std::string second = WriteFile("second.csv", "name,amount\nbobby,2000\nzed,7\n");
    ASSERT_EQ(Prepare(second, dir), TBL_OK);
    const std::string name = Listing(dir).at(0);
    ASSERT_EQ(PostCloseTable(second.c_str(), dir.c_str()), TBL_OK);
    ASSERT_EQ(Prepare(first, dir), TBL_OK);
    fs::rename(dir + "/" + Listing(dir).at(0), dir + "/" + name); // as a hash collision would
    EXPECT_EQ(Prepare(second, dir), TBL_ERR_INDEX_EXISTS);
    EXPECT_EQ(OpenAndRead(second, OPEN_INDEXED, ',', 1, dir).rc, TBL_ERR_INDEX_OPEN);
    ASSERT_EQ(Prepare(second, dir, ',', 1, 1), TBL_OK);
    EXPECT_EQ(OpenAndRead(second, OPEN_INDEXED, ',', 1, dir).rc, TBL_OK);
}

// Makes the file at path a table around 4 GiB, sparse so it costs no disk:
// the header, the given head of short lines, one line of holes (NUL bytes,
// which a line drops) ending in "x,1", then a tail of short lines from
// tail_at on. The bytes before tail_at - 4 are kept where they are already
// those, so that the system's cache of them (a fresh page of holes costs as
// much as one of data) serves the next case too.
void SparseTable(const std::string &path, const std::string &head, uint64_t tail_at,
                 const std::string &tail) {
    if (!fs::exists(path)) WriteFile(path, "");
    const std::string start = "a,b\n" + head;
    FILE *f = std::fopen(path.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(std::fwrite(start.data(), 1, start.size(), f), start.size());
    std::fclose(f);
    fs::resize_file(path, start.size()); // the bytes after it become holes
    fs::resize_file(path, tail_at - 4);
    f = std::fopen(path.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(fseeko(f, 0, SEEK_END), 0);
    const std::string rest = "x,1\n" + tail;
    EXPECT_EQ(std::fwrite(rest.data(), 1, rest.size(), f), rest.size());
    std::fclose(f);
}

// The index takes 32-bit offsets up to a data file of 4 GiB less one byte
// and 64-bit ones from 4 GiB on (a file grown to 4 GiB under a 32-bit index
// is refused in unit_indexed.cpp). Each pass over such a file costs seconds,
// so the file over 4 GiB is read once by each call that must read it whole:
// the count, the preparation and the edit load; its indexed reads and the
// preview (whose 100 lines come before the line of holes) skip the holes.
// The edit load (4 GiB of memory, half a minute here) is left out under
// sanitizers, which check every byte it copies.
TEST(LargeFiles, AroundFourGiBInEveryMode) {
    const uint64_t g4 = 0x100000000ull;
    const std::string tail = "y,2\nz,3\nw,4\n";
    std::string head;
    for (int k = 0; k < 100; ++k) head += "h,-" + std::to_string(k) + "\n";
    struct Case {
        const char *what;
        std::string head;
        uint64_t tail_at; // where "y,2" starts
        uint32_t offset_bytes;
        std::vector<int32_t> modes; // besides OPEN_INDEXED
    } cases[] = {
#if defined(TAVL_TEST_NO_LARGE_LOAD)
        {"a line across 2^32", head, g4 - 6, 8, {OPEN_PREVIEW}},
#else
        {"a line across 2^32", head, g4 - 6, 8, {OPEN_EDIT, OPEN_PREVIEW}},
#endif
        {"one byte under 4 GiB", head, g4 - 12 - 1, 4, {}},
    };
    std::string dir = FreshDir("large");
    const std::string path = TempDir() + "/large.csv";
    std::remove(path.c_str());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SparseTable(path, c.head, c.tail_at, tail);
        ASSERT_EQ(fs::file_size(path), c.tail_at + tail.size());
        const int32_t lines = static_cast<int32_t>(std::count(c.head.begin(), c.head.end(), '\n')) + 4;

        if (!c.modes.empty()) {
            EXPECT_EQ(GetNumberOfLinesEx(path.c_str(), nullptr, nullptr), lines + 1);
        }
        ASSERT_EQ(Prepare(path, dir), TBL_OK);
        std::string index = ReadFile(dir + "/" + Listing(dir).at(0));
        ASSERT_EQ(index.size(), 8u + (lines + 1u) * c.offset_bytes);
        EXPECT_EQ(index.substr(0, 8), Words({uint32_t(lines), 2}));
        const uint64_t want[] = {4 + c.head.size(), c.tail_at, c.tail_at + 4, c.tail_at + 8};
        for (uint64_t k = 0; k < 4; ++k) {
            uint64_t got = 0;
            const size_t at = 8 + (lines - 3 + k) * c.offset_bytes;
            for (uint32_t b = 0; b < c.offset_bytes; ++b)
                got |= uint64_t(uint8_t(index.at(at + b))) << (8 * b);
            EXPECT_EQ(got, want[k]) << k;
        }
        std::vector<int32_t> modes = c.modes;
        modes.insert(modes.begin(), OPEN_INDEXED);
        for (int32_t mode : modes) {
            Table table;
            ASSERT_EQ(table.Open(path, mode, ',', 1, dir), TBL_OK) << mode;
            const int32_t held = mode == OPEN_PREVIEW ? 99 : lines;
            EXPECT_EQ(table.Lines(), held) << mode;
            EXPECT_EQ(table.Columns(), 2) << mode;
            // The line of holes, then the lines at and past 2^32.
            const int32_t from = mode == OPEN_INDEXED ? lines - 3 : lines - 4;
            for (int32_t line = mode == OPEN_PREVIEW ? 97 : from; line < held; ++line) {
                const int32_t k = line - (lines - 4);
                const bool in_head = k < 0;
                EXPECT_EQ(table.Cell(0, line), in_head ? "h" : std::string(1, "xyzw"[k]))
                    << mode << " " << line;
                EXPECT_EQ(table.Cell(1, line), in_head ? "-" + std::to_string(line)
                                                       : std::to_string(k + 1))
                    << mode << " " << line;
            }
        }
        EXPECT_EQ(PostCloseTable(path.c_str(), dir.c_str()), TBL_OK);
        EXPECT_TRUE(Listing(dir).empty());
    }
    std::remove(path.c_str());
}

TEST(LineCount, NonBlankLines) {
    struct Case {
        const char *what;
        std::string data;
        const int32_t *subtract;
        int32_t result;
    } cases[] = {
        {"second line empty", "a\n\nb\nc\n", nullptr, 1},
        {"two lines", "a\nb\n", nullptr, 2},
        {"last line without LF", "a\nb", nullptr, 1},
        {"CR LF lines", "a,b\r\n1,2\r\n", nullptr, 2},
        {"white space first", "  \t\nb\n", nullptr, 0},
        {"leading spaces", "  x\n y\n", nullptr, 2},
        {"CR LF blank line", "a\r\n\r\nb\r\n", nullptr, 1},
        {"just an LF", "\n", nullptr, 0},
        {"no LF at all", "abc", nullptr, 0},
    };
    std::string dir = TempDir();
    for (const Case &c : cases) {
        std::string path = WriteFile("count.txt", c.data);
        EXPECT_EQ(GetNumberOfLinesEx(path.c_str(), ",", c.subtract), c.result) << c.what;
    }
    std::string two = WriteFile("two.txt", "a\nb\n");
    struct Subtract { int32_t value, result; } subtracts[] = {
        {1, 1}, {0, 2}, {5, -3}, {-3, 5}, {INT_MIN + 2, TBL_ERR_RANGE},
    };
    for (const Subtract &s : subtracts)
        EXPECT_EQ(GetNumberOfLinesEx(two.c_str(), nullptr, &s.value), s.result) << s.value;

    EXPECT_EQ(GetNumberOfLinesEx((dir + "/missing").c_str(), ",", nullptr), TBL_ERR_NO_FILE);
    EXPECT_EQ(GetNumberOfLinesEx(dir.c_str(), ",", nullptr), TBL_ERR_NO_FILE);
    EXPECT_EQ(GetNumberOfLinesEx(WriteFile("none.txt", "").c_str(), ",", nullptr),
              TBL_ERR_MAP_DATA);
}

} // namespace
