// Hostile files and paths: whatever a file holds or a path names, every
// call returns a result code, every read stays inside the table (the
// sanitizer build proves it), nothing leaks, and a table that opens saves
// into a file that opens again with the same cells.
#include <gtest/gtest.h>
#include <pellus.h>
#include <tavlin32.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "table_probe.h"
#include "table.h"
#include "testsupport.h"

namespace fs = std::filesystem;
using tavlprobe::Limits;
using tavlprobe::Snapshot;
using tavltest::FreshDir;
using tavltest::Listing;
using tavltest::ReadFile;
using tavltest::Table;
using tavltest::TempDir;
using tavltest::WriteFile;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

int hostile_inputs = 0; // printed at exit: how many hostile inputs were tried
struct Report {
    ~Report() {
        if (hostile_inputs) std::printf("hostile inputs tried: %d\n", hostile_inputs);
    }
} report;

// What the three modes made of one file.
struct Outcome {
    int32_t edit = 1, preview = 1, prepare = 1, indexed = 1; // 1: not reached
    Snapshot edit_snap, preview_snap, indexed_snap;
};

// Opens path in every mode, reads it through the probe, saves the OPEN_EDIT
// table and opens the saved file again. Fails the test on any disagreement,
// out-of-bounds effect or leak.
Outcome ProbeAllModes(const std::string &path, char d, int32_t h, const Limits &limits = Limits()) {
    ++hostile_inputs;
    Outcome out;
    const long blocks = pellus_live_blocks();
    {
        Table p;
        out.preview = OpenTable(path.c_str(), p.h, OPEN_PREVIEW, &d, &h, nullptr);
        EXPECT_LE(out.preview, 0);
        if (out.preview == TBL_OK) {
            EXPECT_EQ(tavlprobe::Read(p.h, h, limits, &out.preview_snap), "") << "preview";
            EXPECT_EQ(SaveTable(p.h, (path + ".never").c_str()), TBL_ERR_MODE);
        }
    }
    {
        Table e;
        out.edit = OpenTable(path.c_str(), e.h, OPEN_EDIT, &d, &h, nullptr);
        EXPECT_LE(out.edit, 0);
        if (out.edit == TBL_OK) {
            EXPECT_EQ(tavlprobe::Read(e.h, h, limits, &out.edit_snap), "") << "edit";
            const std::string saved = path + ".saved";
            EXPECT_EQ(SaveTable(e.h, saved.c_str()), TBL_OK);
            {
                // Closed before the file goes: Windows keeps an open file.
                Table r;
                int32_t rc = OpenTable(saved.c_str(), r.h, OPEN_EDIT, &d, &h, nullptr);
                EXPECT_EQ(rc, TBL_OK) << "the saved table does not open again";
                if (rc == TBL_OK) {
                    Snapshot again;
                    EXPECT_EQ(tavlprobe::Read(r.h, h, limits, &again), "") << "reloaded";
                    EXPECT_EQ(tavlprobe::Compare(out.edit_snap, again, "in memory vs saved"), "");
                }
            }
            fs::remove(saved);
        }
    }
    const std::string dir = FreshDir("probe_idx");
    out.prepare = PreOpenTable(path.c_str(), dir.c_str(), &d, &h, 1);
    EXPECT_LE(out.prepare, 0);
    if (out.prepare == TBL_OK) {
        {
            Table x;
            out.indexed = OpenTable(path.c_str(), x.h, OPEN_INDEXED, &d, &h, dir.c_str());
            EXPECT_LE(out.indexed, 0);
            if (out.indexed == TBL_OK) {
                EXPECT_EQ(tavlprobe::Read(x.h, h, limits, &out.indexed_snap), "") << "indexed";
                EXPECT_EQ(tavlprobe::CheckReadOnly(x.h, path + ".never"), "");
            }
        }
        EXPECT_EQ(PostCloseTable(path.c_str(), dir.c_str()), TBL_OK);
    }
    EXPECT_EQ(pellus_live_blocks(), blocks) << "heap blocks left behind";
    return out;
}

// Deterministic bytes, so a failure reproduces.
std::string Garbage(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char &c : s) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

// ---- Long lines ---------------------------------------------------------

// A table whose data line 0 holds a value of n bytes in its middle column,
// written through the library so that every kind of unit is in it.
std::string LongValue(size_t n) {
    static const char kUnit[] = "abc,de\\fg\n\x01 xyz";
    std::string v;
    v.reserve(n);
    while (v.size() < n) v += kUnit[v.size() % (sizeof kUnit - 1)];
    return v;
}

void LongLine(size_t n, bool loaded_modes) {
    const std::string value = LongValue(n);
    const std::string base = WriteFile("long_base.csv", "id,text,tail\r\n1,x,end\r\n2,short,z\r\n");
    const std::string path = TempDir() + "/long.csv";
    {
        Table e;
        ASSERT_EQ(OpenTable(base.c_str(), e.h, OPEN_EDIT, nullptr, nullptr, nullptr), TBL_OK);
        ASSERT_EQ(SetCellValByIndex(e.h, 1, 0, value.data(), static_cast<int32_t>(value.size())), TBL_OK);
        ASSERT_EQ(SaveTable(e.h, path.c_str()), TBL_OK);
    }
    ASSERT_GT(fs::file_size(path), n);
    ++hostile_inputs;
    std::vector<int32_t> modes = {OPEN_INDEXED};
    if (loaded_modes) modes = {OPEN_EDIT, OPEN_PREVIEW, OPEN_INDEXED};
    const std::string dir = FreshDir("long_idx");
    const int32_t one = 1;
    ASSERT_EQ(PreOpenTable(path.c_str(), dir.c_str(), ",", &one, 1), TBL_OK);
    for (int32_t mode : modes) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        Table t;
        ASSERT_EQ(OpenTable(path.c_str(), t.h, mode, nullptr, nullptr, dir.c_str()), TBL_OK);
        EXPECT_EQ(t.Lines(), 2);
        EXPECT_EQ(GetCellSizeByIndex(t.h, 1, 0), static_cast<int32_t>(n) + 1);
        EXPECT_TRUE(t.Cell(1, 0) == value) << "the long value did not read back byte for byte";
        EXPECT_EQ(t.Cell(2, 0), "end");
        EXPECT_EQ(t.Cell(1, 1), "short");
        if (mode == OPEN_EDIT) {
            // A short write on the long line keeps the long value.
            EXPECT_EQ(SetCellValByIndex(t.h, 2, 0, "new", 3), TBL_OK);
            EXPECT_EQ(GetCellSizeByIndex(t.h, 1, 0), static_cast<int32_t>(n) + 1);
            EXPECT_EQ(t.Cell(2, 0), "new");
        }
    }
    EXPECT_EQ(PostCloseTable(path.c_str(), dir.c_str()), TBL_OK);
}

TEST(Hostile, LineOfOneMebibyte) { LongLine(1u << 20, true); }

// Loading a 16 MiB line grows the line reader's block 16384 times; under
// AddressSanitizer every growth copies the block, which takes minutes, so
// that build reads the line through the indexed mode only (the loaded modes
// meet the same code at 1 MiB above).
TEST(Hostile, LineOfSixteenMebibytes) { LongLine(16u << 20, !kSanitized); }

TEST(Hostile, HundredThousandColumns) {
    const int32_t n = 100000;
    std::string header, row;
    for (int32_t i = 0; i < n; ++i) {
        if (i) {
            header += ',';
            row += ',';
        }
        header += "c" + std::to_string(i);
        row += "v" + std::to_string(i);
    }
    const std::string path = WriteFile("wide.csv", header + "\r\n" + row + "\r\n");
    Outcome o = ProbeAllModes(path, ',', 1);
    EXPECT_EQ(o.edit, TBL_OK);
    EXPECT_EQ(o.indexed, TBL_OK);
    EXPECT_EQ(o.edit_snap.columns, n);
    EXPECT_EQ(o.indexed_snap.columns, n);
    EXPECT_EQ(tavlprobe::Compare(o.edit_snap, o.indexed_snap, "edit vs indexed"), "");

    Table e;
    ASSERT_EQ(OpenTable(path.c_str(), e.h, OPEN_EDIT, nullptr, nullptr, nullptr), TBL_OK);
    int32_t index = -1;
    EXPECT_EQ(GetColumnIndex(e.h, "c99999", &index), TBL_OK);
    EXPECT_EQ(index, n - 1);
    EXPECT_EQ(e.Cell(n - 1, 0), "v99999");
    EXPECT_EQ(SetCellValByName(e.h, "c99999", 0, "last", 4), TBL_OK);
    EXPECT_EQ(e.Cell(n - 1, 0), "last");
    EXPECT_EQ(e.Cell(n - 2, 0), "v99998");
    // Back on a line whose walk then starts at a mark, far from column 0:
    // a read of the most negative column is refused, not wrapped.
    char head[16];
    int32_t size = 0;
    EXPECT_EQ(GetHeadCellValByIndex(e.h, 0, 0, head, &size, sizeof head), TBL_OK);
    EXPECT_EQ(e.Cell(n - 1, 0), "last");
    EXPECT_EQ(GetCellValByIndex(e.h, INT32_MIN, 0, head, &size, sizeof head), TBL_ERR_RANGE);
    EXPECT_EQ(CreateColumn(e.h, -1, "c100000"), TBL_OK);
    EXPECT_EQ(GetColumnIndex(e.h, "c100000", &index), TBL_OK);
    EXPECT_EQ(index, n);
    EXPECT_EQ(e.Cell(n, 0), "");
}

// ---- Bytes a text file should not hold ----------------------------------

// A NUL byte cannot be part of a stored line. The indexed mode drops it
// from the line; the loaded modes must either refuse the file or lose
// nothing but the NUL bytes, never the rest of the line or the line itself.
TEST(Hostile, NulBytes) {
    struct Case {
        const char *name;
        std::string file;
        int32_t column, line;
        std::string without_nul; // the cell with NUL bytes dropped
        int32_t lines;
    } cases[] = {
        {"inside the last field", std::string("a,b\n1,2\0x\n3,4\n", 14), 1, 0, "2x", 2},
        {"at the start of a line", std::string("a,b\n\0" "1,2\n3,4\n", 13), 0, 0, "1", 2},
        {"alone in a field", std::string("a,b\n1,\0\n3,4\n", 12), 1, 0, "", 2},
        {"inside a header name", std::string("a\0z,b\n1,2\n", 10), 0, 0, "1", 1},
        {"between two fields", std::string("a,b,c\n1,\0,3\n", 12), 2, 0, "3", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = WriteFile("nulbytes.csv", c.file);
        Outcome o = ProbeAllModes(path, ',', 1);
        EXPECT_EQ(o.indexed, TBL_OK);
        for (int32_t mode : {OPEN_EDIT, OPEN_INDEXED}) {
            SCOPED_TRACE("mode " + std::to_string(mode));
            const std::string dir = FreshDir("nul_idx");
            const int32_t one = 1;
            ASSERT_EQ(PreOpenTable(path.c_str(), dir.c_str(), ",", &one, 1), TBL_OK);
            Table t;
            int32_t rc = OpenTable(path.c_str(), t.h, mode, nullptr, nullptr, dir.c_str());
            if (mode == OPEN_EDIT && rc != TBL_OK) continue; // refusing the file is sound
            ASSERT_EQ(rc, TBL_OK);
            EXPECT_EQ(t.Lines(), c.lines) << "a line was lost";
            const std::string cell = t.Cell(c.column, c.line);
            EXPECT_TRUE(cell == c.without_nul)
                << "cell reads \"" << tavlprobe::Printable(cell) << "\", expected \""
                << c.without_nul << "\"";
            EXPECT_EQ(PostCloseTable(path.c_str(), dir.c_str()), TBL_OK);
        }
    }
}

// Old Mac line ends: the file is one line with CRs inside it.
TEST(Hostile, CarriageReturnOnlyFiles) {
    const std::string text = "a,b\r1,2\r3,4\r";
    for (int32_t h : {0, 1}) {
        SCOPED_TRACE("header lines " + std::to_string(h));
        const std::string path = WriteFile("cr.csv", text);
        Outcome o = ProbeAllModes(path, ',', h);
        ASSERT_EQ(o.edit, TBL_OK);
        EXPECT_EQ(o.edit_snap.lines, 1 - h);
        EXPECT_EQ(o.edit_snap.columns, 4);
        // The save keeps every byte; only the last CR becomes the line end.
        Table e;
        ASSERT_EQ(OpenTable(path.c_str(), e.h, OPEN_EDIT, nullptr, &h, nullptr), TBL_OK);
        const std::string out = TempDir() + "/cr_saved.csv";
        ASSERT_EQ(SaveTable(e.h, out.c_str()), TBL_OK);
        EXPECT_EQ(ReadFile(out), "a,b\r1,2\r3,4\r\n");
    }
    ProbeAllModes(WriteFile("cr2.csv", "\r\r\r"), ',', 1);
    ProbeAllModes(WriteFile("cr3.csv", "a\r\r\n\r\n\rb\n"), ',', 1);
}

TEST(Hostile, BinaryGarbage) {
    const size_t sizes[] = {1, 7, 4096, 65536, 1u << 20};
    uint32_t seed = 1;
    for (size_t n : sizes) {
        for (int k = 0; k < 3; ++k, ++seed) {
            SCOPED_TRACE("garbage of " + std::to_string(n) + " bytes, seed " + std::to_string(seed));
            const std::string path = WriteFile("garbage.bin", Garbage(n, seed));
            for (char d : {',', '\t', '\x01'}) ProbeAllModes(path, d, static_cast<int32_t>(seed % 3));
        }
    }
}

// Garbage cut into lines of three fields, so that the tables open and
// their cells (stray escapes, control bytes, quotes, NUL) are read and
// saved. Without NUL, CR and quotes both back-ends must read it alike.
TEST(Hostile, GarbageInTableShape) {
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const bool plain = seed % 2 == 1;
        std::string bytes = Garbage(50 * 3 * 24, seed), text;
        size_t at = 0;
        for (int line = 0; line < 50; ++line) {
            for (int field = 0; field < 3; ++field) {
                if (field) text += ',';
                for (int i = 0; i < 24; ++i, ++at) {
                    char c = bytes[at];
                    if (c == '\n' || c == ',' || (plain && (c == '"' || c == '\r' || c == '\0'))) c = 'q';
                    text += c;
                }
            }
            text += '\n';
        }
        Outcome o = ProbeAllModes(WriteFile("shaped.csv", text), ',', 1);
        if (plain) {
            EXPECT_EQ(o.edit, TBL_OK);
            EXPECT_EQ(o.indexed, TBL_OK);
            EXPECT_EQ(o.edit_snap.lines, 49);
            EXPECT_EQ(tavlprobe::Compare(o.edit_snap, o.indexed_snap, "edit vs indexed"), "");
        }
    }
}

TEST(Hostile, MillionEmptyLines) {
    const std::string blank(1000000, '\n');
    struct Case {
        const char *name;
        std::string file;
        int32_t edit_lines, edit_columns, indexed_lines, counted;
    } cases[] = {
        {"nothing else", blank, 0, 0, 999999, 0},
        {"one column around them", "a\n" + blank + "x\n", 1, 1, 1000001, 1},
        {"two columns around them", "a,b\n" + blank + "1,2\n", 1, 2, 0, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = WriteFile("blank.csv", c.file);
        Outcome o = ProbeAllModes(path, ',', 1);
        ASSERT_EQ(o.edit, TBL_OK);
        EXPECT_EQ(o.edit_snap.lines, c.edit_lines);
        EXPECT_EQ(o.edit_snap.columns, c.edit_columns);
        ASSERT_EQ(o.indexed, TBL_OK);
        EXPECT_EQ(o.indexed_snap.lines, c.indexed_lines);
        EXPECT_EQ(GetNumberOfLinesEx(path.c_str(), ",", nullptr), c.counted);
    }
}

// ---- Quotes: where the load's field count and the split disagree --------

// The load counts a delimiter only after an even number of quotes; the
// readers split at every delimiter not flanked by quotes. Whatever a table
// holds, what it saves must open again and read the same.
TEST(Hostile, QuoteHeavyFiles) {
    const std::string files[] = {
        "\"a\",\"b\"\n1,2\n",          // header: two fields counted, one piece
        "a,b\n\"1\",\"2\"\n",          // data line: two fields counted, one piece
        "a,b\n5\",x\n",                // one field counted, two pieces
        "aa\"b,\"\"\naa\",\"b",         // one field counted, two pieces in line 0
        "\"\"\"\n\"\"\",\"\"\"\n",     // quotes only
        "a,\"b\n\"1,2\n",
        "x\",\",\"y\n1,2\n",
    };
    for (const std::string &f : files) {
        SCOPED_TRACE(tavlprobe::Printable(f));
        ProbeAllModes(WriteFile("quotes.csv", f), ',', 1);
    }
}

// A value holding quotes changes how the load counts its line's fields;
// the table it is written into must still save into a file that opens.
TEST(Hostile, QuotedValuesSurviveASave) {
    const std::string values[] = {"\"", "a\"", "\"b", "\",\"", ",\"", "x\",\"y", "\"\"", "5\",x"};
    for (const std::string &v : values) {
        for (int32_t column : {0, 1}) {
            SCOPED_TRACE("value " + tavlprobe::Printable(v) + " in column " + std::to_string(column));
            ++hostile_inputs;
            const std::string path = WriteFile("qv.csv", "a,b\n1,2\n");
            const std::string out = TempDir() + "/qv_saved.csv";
            {
                Table e;
                ASSERT_EQ(OpenTable(path.c_str(), e.h, OPEN_EDIT, nullptr, nullptr, nullptr), TBL_OK);
                int32_t rc = SetCellValByIndex(e.h, column, 0, v.data(), static_cast<int32_t>(v.size()));
                if (rc != TBL_OK) {
                    EXPECT_EQ(rc, TBL_ERR_RANGE); // refusing the value is sound
                    continue;
                }
                ASSERT_EQ(SaveTable(e.h, out.c_str()), TBL_OK);
            }
            Table r;
            int32_t rc = OpenTable(out.c_str(), r.h, OPEN_EDIT, nullptr, nullptr, nullptr);
            EXPECT_EQ(rc, TBL_OK) << "the saved file " << tavlprobe::Printable(ReadFile(out)) << " does not open";
            if (rc != TBL_OK) continue;
            EXPECT_EQ(r.Cell(column, 0), v);
            EXPECT_EQ(r.Cell(1 - column, 0), column ? "1" : "2");
        }
    }
}

// ---- Paths ---------------------------------------------------------------

TEST(Hostile, DirectoryAsDataPath) {
    ++hostile_inputs;
    const std::string dir = FreshDir("a_directory");
    const std::string idx = FreshDir("dir_idx");
    const int32_t one = 1;
    EXPECT_EQ(TableExist(dir.c_str()), TBL_ERR_NO_FILE);
    EXPECT_EQ(CreateTable(dir.c_str(), ','), TBL_ERR_CREATE);
    EXPECT_EQ(PreOpenTable(dir.c_str(), idx.c_str(), ",", &one, 1), TBL_ERR_NO_FILE);
    EXPECT_EQ(GetNumberOfLinesEx(dir.c_str(), ",", nullptr), TBL_ERR_NO_FILE);
    for (int32_t mode : {OPEN_EDIT, OPEN_PREVIEW, OPEN_INDEXED}) {
        Table t;
        EXPECT_EQ(OpenTable(dir.c_str(), t.h, mode, nullptr, nullptr, idx.c_str()), TBL_ERR_NO_FILE);
    }
    EXPECT_TRUE(fs::is_directory(dir));
    EXPECT_TRUE(Listing(idx).empty());
}

TEST(Hostile, DirectoryAsSavePath) {
    ++hostile_inputs;
    const std::string parent = FreshDir("save_parent");
    const std::string dir = parent + "/target";
    fs::create_directories(dir);
    const std::string path = WriteFile("dsave.csv", "a,b\r\n1,2\r\n");
    Table e;
    ASSERT_EQ(OpenTable(path.c_str(), e.h, OPEN_EDIT, nullptr, nullptr, nullptr), TBL_OK);
    ASSERT_EQ(SetCellValByIndex(e.h, 0, 0, "9", 1), TBL_OK);
    EXPECT_EQ(SaveTable(e.h, dir.c_str()), TBL_ERR_SAVE_OPEN);
    EXPECT_TRUE(fs::is_directory(dir));
    EXPECT_TRUE(Listing(dir).empty());
    EXPECT_EQ(Listing(parent), std::vector<std::string>{"target"}) << "a temporary file was left behind";
    // The table is unchanged and still saves.
    EXPECT_EQ(e.Cell(0, 0), "9");
    const std::string good = parent + "/good.csv";
    EXPECT_EQ(SaveTable(e.h, good.c_str()), TBL_OK);
    EXPECT_EQ(ReadFile(good), "a,b\r\n9,2\r\n");
}

// A path of exactly n bytes under the scratch directory; its directories
// exist. Components stay well below the 255-byte name limit.
std::string PathOfLength(size_t n, const std::string &tag) {
    std::string path = TempDir() + "/" + tag;
    while (path.size() + 1 + 100 < n) path += "/" + std::string(100 - 1, 'd');
    fs::create_directories(path);
    path += "/";
    path += std::string(n - path.size(), 'f');
    EXPECT_EQ(path.size(), n);
    return path;
}

TEST(Hostile, DataAndSavePathsAroundTwoHundredFiftyFiveBytes) {
    for (size_t n : {255u, 256u, 257u}) {
        SCOPED_TRACE("path of " + std::to_string(n) + " bytes");
        ++hostile_inputs;
        const std::string path = PathOfLength(n, "len_data_" + std::to_string(n));
        WriteFile(path, "a,b\r\n1,2\r\n");
        const std::string idx = FreshDir("len_idx");
        const int32_t one = 1;
        EXPECT_EQ(TableExist(path.c_str()), TBL_OK);
        for (int32_t mode : {OPEN_EDIT, OPEN_PREVIEW}) {
            Table t;
            ASSERT_EQ(OpenTable(path.c_str(), t.h, mode, nullptr, nullptr, nullptr), TBL_OK);
            EXPECT_EQ(t.Cell(1, 0), "2");
        }
        int32_t rc = PreOpenTable(path.c_str(), idx.c_str(), ",", &one, 1);
        if (rc == TBL_OK) {
            {
                Table t;
                ASSERT_EQ(OpenTable(path.c_str(), t.h, OPEN_INDEXED, nullptr, nullptr, idx.c_str()), TBL_OK);
                EXPECT_EQ(t.Cell(1, 0), "2");
            }
            EXPECT_EQ(PostCloseTable(path.c_str(), idx.c_str()), TBL_OK);
        } else {
            EXPECT_EQ(rc, TBL_ERR_MAP_DATA); // a path the mapping cannot name
        }
        EXPECT_GE(GetNumberOfLinesEx(path.c_str(), ",", nullptr), 0);

        // Saving to a path of that length.
        const std::string out = PathOfLength(n, "len_save_" + std::to_string(n));
        const std::string src = WriteFile("len_src.csv", "x,y\r\n3,4\r\n");
        Table e;
        ASSERT_EQ(OpenTable(src.c_str(), e.h, OPEN_EDIT, nullptr, nullptr, nullptr), TBL_OK);
        EXPECT_EQ(SaveTable(e.h, out.c_str()), TBL_OK);
        EXPECT_EQ(ReadFile(out), "x,y\r\n3,4\r\n");
        EXPECT_EQ(Listing(fs::path(out).parent_path().string()).size(), 1u) << "temporary file left behind";
    }
}

// The index file's path is the directory, a separator and "NNNN.idx": it
// must fit in 255 bytes. Longer ones are refused, and nothing is written.
TEST(Hostile, IndexPathsAroundTwoHundredFiftyFiveBytes) {
    const std::string path = WriteFile("idxlen.csv", "a,b\n1,2\n");
    const int32_t one = 1;
    for (size_t n : {255u, 256u, 257u}) {
        SCOPED_TRACE("index path of " + std::to_string(n) + " bytes");
        ++hostile_inputs;
        const std::string dir = PathOfLength(n - 9, "len_idx_" + std::to_string(n));
        fs::create_directories(dir);
        const std::string parent = fs::path(dir).parent_path().string();
        const bool fits = n <= 255;
        EXPECT_EQ(PreOpenTable(path.c_str(), dir.c_str(), ",", &one, 1), fits ? TBL_OK : TBL_ERR_INDEX_BUILD);
        EXPECT_EQ(Listing(dir).size(), fits ? 1u : 0u);
        EXPECT_EQ(Listing(parent).size(), 1u) << "something was written beside the index directory";
        {
            Table t;
            EXPECT_EQ(OpenTable(path.c_str(), t.h, OPEN_INDEXED, nullptr, nullptr, dir.c_str()),
                      fits ? TBL_OK : TBL_ERR_INDEX_OPEN);
            if (fits) {
                EXPECT_EQ(t.Cell(0, 0), "1");
            }
        }
        EXPECT_EQ(PostCloseTable(path.c_str(), dir.c_str()), fits ? TBL_OK : TBL_ERR_REMOVE);
        EXPECT_TRUE(Listing(dir).empty());
    }
}

TEST(Hostile, IndexDirectoryMissingOrARegularFile) {
    const std::string path = WriteFile("idxdir.csv", "a,b\n1,2\n");
    const std::string parent = FreshDir("idxdir_parent");
    const std::string missing = parent + "/missing";
    const std::string file = WriteFile(parent + "/plain", "keep me");
    const int32_t one = 1;
    for (const std::string &dir : {missing, file}) {
        SCOPED_TRACE(dir);
        ++hostile_inputs;
        EXPECT_EQ(PreOpenTable(path.c_str(), dir.c_str(), ",", &one, 1), TBL_ERR_INDEX_BUILD);
        EXPECT_EQ(PreOpenTableUnique(path.c_str(), dir.c_str(), ",", &one, 1, 1), TBL_ERR_INDEX_BUILD);
        Table t;
        EXPECT_EQ(OpenTable(path.c_str(), t.h, OPEN_INDEXED, nullptr, nullptr, dir.c_str()), TBL_ERR_INDEX_OPEN);
        EXPECT_EQ(PostCloseTable(path.c_str(), dir.c_str()), TBL_ERR_REMOVE);
        EXPECT_EQ(Listing(parent), (std::vector<std::string>{"plain"})) << "a file appeared beside the directory";
    }
    EXPECT_EQ(ReadFile(file), "keep me");
    EXPECT_FALSE(fs::exists(missing));
}

// ---- A data file changed after its preparation --------------------------

TEST(Hostile, DataFileChangedAfterPreparation) {
    std::string text = "id,name,score\n";
    for (int i = 0; i < 50; ++i) text += std::to_string(i) + ",name" + std::to_string(i) + "," + std::to_string(i * 3) + "\n";
    struct Case {
        const char *name;
        std::string after;
        bool must_open; // the index still describes every line it promises
    } cases[] = {
        {"cut in half", text.substr(0, text.size() / 2), false},
        {"cut to one byte", text.substr(0, 1), false},
        {"cut inside the header", text.substr(0, 5), false},
        {"emptied", "", false},
        // Lines the preparation would have indexed follow its last one.
        {"grown", text + "50,late,150\n51,later,153\n", false},
        {"grown by a line of other fields", text + "50,late\n", true},
        {"same length, other bytes", Garbage(text.size(), 7), false},
        {"lines shifted", "x\n" + text.substr(0, text.size() - 2), false},
    };
    const int32_t one = 1;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ++hostile_inputs;
        const long blocks = pellus_live_blocks();
        const std::string path = WriteFile("changed.csv", text);
        const std::string dir = FreshDir("changed_idx");
        ASSERT_EQ(PreOpenTable(path.c_str(), dir.c_str(), ",", &one, 1), TBL_OK);
        WriteFile("changed.csv", c.after);
        {
            Table t;
            int32_t rc = OpenTable(path.c_str(), t.h, OPEN_INDEXED, nullptr, nullptr, dir.c_str());
            if (c.after.empty()) {
                EXPECT_EQ(rc, TBL_ERR_MAP_DATA);
            }
            if (c.must_open) {
                EXPECT_EQ(rc, TBL_OK);
            }
            EXPECT_LE(rc, 0);
            if (rc == TBL_OK) {
                Snapshot snap;
                Limits all;
                all.lines = 64;
                EXPECT_EQ(tavlprobe::Read(t.h, 1, all, &snap), "");
                if (c.must_open) {
                    EXPECT_EQ(snap.lines, 50);
                    EXPECT_EQ(t.Cell(1, 49), "name49");
                    EXPECT_EQ(t.Cell(2, 10), "30");
                }
            }
        }
        // Opened with another header line count than it was prepared with.
        const int32_t two = 2;
        WriteFile("changed.csv", text);
        {
            Table t;
            int32_t rc = OpenTable(path.c_str(), t.h, OPEN_INDEXED, nullptr, &two, dir.c_str());
            EXPECT_LE(rc, 0);
            if (rc == TBL_OK) {
                Snapshot snap;
                EXPECT_EQ(tavlprobe::Read(t.h, 2, Limits(), &snap), "");
            }
        }
        EXPECT_EQ(PostCloseTable(path.c_str(), dir.c_str()), TBL_OK);
        EXPECT_EQ(pellus_live_blocks(), blocks);
    }
}

} // namespace
