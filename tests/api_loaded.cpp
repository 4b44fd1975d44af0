// Loaded tables through the public interface: the open's refusals and the
// load's results (last-error values included), byte-exact saves, columns,
// cells and rows in OPEN_EDIT and OPEN_PREVIEW.
#include <gtest/gtest.h>
#include <pellus.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tavlin32.h"
#include "table.h"
#include "testsupport.h"
#ifdef _WIN32
#  include <io.h>
#  include <windows.h>
#else
#  include <kernel32.h>
#endif

using tavltest::ReadFile;
using tavltest::Table;
using tavltest::TempDir;
using tavltest::WriteFile;

namespace {

std::string Saved(Table &t, const std::string &name) {
    std::string path = TempDir() + "/" + name;
    EXPECT_EQ(SaveTable(t.h, path.c_str()), TBL_OK);
    return ReadFile(path);
}

TEST(LoadedOpen, RefusalsLeaveTheHandleAsItWas) {
    std::string good = WriteFile("refuse.csv", "a,b\r\n1,2\r\n");
    std::string missing = TempDir() + "/missing.csv";
    struct Case {
        const char *path;
        char d;
        int32_t mode, header, want;
    } cases[] = {
        {missing.c_str(), '\\', 1, 1, TBL_ERR_DELIMITER}, // before the path
        {good.c_str(), '\0', 1, 1, TBL_ERR_DELIMITER},
        {good.c_str(), '\n', 1, 1, TBL_ERR_DELIMITER},
        {good.c_str(), '\r', 1, 1, TBL_ERR_DELIMITER},
        {good.c_str(), '"', 1, 1, TBL_ERR_DELIMITER},
        {missing.c_str(), ',', 1, 1, TBL_ERR_NO_FILE},
        {nullptr, ',', 1, 1, TBL_ERR_NO_FILE},
        {good.c_str(), ',', 3, 1, TBL_ERR_MODE},
        {good.c_str(), ',', -1, 1, TBL_ERR_MODE},
        {good.c_str(), ',', 1, -1, TBL_ERR_RANGE},
    };
    Table t;
    ASSERT_EQ(t.Open(good), TBL_OK);
    for (const Case &c : cases) {
        EXPECT_EQ(OpenTable(c.path, t.h, c.mode, &c.d, &c.header, nullptr), c.want);
        EXPECT_EQ(t.Columns(), 2);
        EXPECT_EQ(t.Cell(1, 0), "2");
    }
    // Without a prepared index an indexed open is refused.
    Table idx;
    EXPECT_EQ(OpenTable(good.c_str(), idx.h, OPEN_INDEXED, nullptr, nullptr, nullptr),
              TBL_ERR_INDEX_OPEN);
}

TEST(LoadedOpen, LoadResults) {
    std::string lines150, lines150_lf;
    for (int i = 0; i < 150; i++) lines150 += (i ? "\n" : "") + std::to_string(i) + ",x";
    lines150_lf = lines150 + "\n";
    struct Case {
        std::string bytes;
        int mode, header, want, columns, lines;
        uint32_t last_error; // checked on failure
    } cases[] = {
        {"a,b\r\n1,2\r\n", 1, 1, TBL_OK, 2, 1, 0},
        {"a,b\r\n1,2", 1, 1, TBL_OK, 2, 1, 0},
        {"a,b\n\n\r\n1,2\n", 1, 1, TBL_OK, 2, 1, 0},
        {"a,b\n1,2\n\r", 1, 1, TBL_OK, 2, 1, 0}, // a lone CR is an empty line
        {"a,b,c", 1, 1, TBL_OK, 3, 0, 0},         // the only line, no LF
        {"", 1, 1, TBL_OK, 0, 0, 0},
        {"\n\r\n\n", 1, 1, TBL_OK, 0, 0, 0},
        {"a,b\n1,2\n", 1, 0, TBL_OK, 2, 2, 0},
        {"a,b\n1,2\n", 1, 3, TBL_OK, 2, -1, 0},
        {"a,x\",\"y,c\n1,2,3\n", 1, 1, TBL_OK, 3, 1, 0},
        {"\xEF\xBB\xBF" "a,b\n1,2\n", 1, 1, TBL_OK, 2, 1, 0},
        // Lines that split elsewhere than their fields are counted at
        // (standard CSV quoting among them) are refused like lines of
        // another field count.
        {"a,\"x,y\",c\n1,2,3\n", 1, 1, TBL_ERR_FORMAT, 0, 0, 0x20000000},
        {"\"a\",\"b\"\r\n1,2\r\n", 1, 1, TBL_ERR_FORMAT, 0, 0, 0x20000000},
        {"a,b\n\n1,\"Union County, Troy\"\n", 2, 1, TBL_ERR_FORMAT, 0, 0, 0x20000001},
        {"a,b\n1,2\nx\",\n", 1, 1, TBL_ERR_FORMAT, 0, 0, 0x20000002},
        {"a,b\n1,2,3\n", 1, 1, TBL_ERR_FORMAT, 0, 0, 0x20000001},
        {"a,b\n\n\n1,2,3\n", 1, 1, TBL_ERR_FORMAT, 0, 0, 0x20000001},
        {"a,b\n1,2\n3", 1, 1, TBL_ERR_FORMAT, 0, 0, 0x20000002},
        {"a,b\n5\",x\n", 1, 1, TBL_ERR_FORMAT, 0, 0, 0x20000001},
        {"a\n\"a\",\"b\"\n", 1, 1, TBL_ERR_FORMAT, 0, 0, 0x20000001},
        {lines150, 2, 1, TBL_OK, 2, 99, 0},
        {lines150_lf, 2, 1, TBL_OK, 2, 99, 0},
        {lines150, 1, 1, TBL_OK, 2, 149, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.bytes.substr(0, 40));
        Table t;
        SetLastError(0);
        ASSERT_EQ(t.Open(WriteFile("load.csv", c.bytes), c.mode, ',', c.header), c.want);
        if (c.want != TBL_OK) {
            EXPECT_EQ(GetLastError(), c.last_error);
            EXPECT_EQ(CloseTable(t.h), TBL_OK);
            EXPECT_EQ(GetLineCount(t.h, nullptr), TBL_ERR_BAD_HANDLE);
            continue;
        }
        EXPECT_EQ(GetLastError(), 0u);
        EXPECT_EQ(t.Columns(), c.columns);
        EXPECT_EQ(t.Lines(), c.lines);
    }
}

TEST(LoadedSave, ByteExactFiles) {
    struct Case {
        std::string in;
        int header;
        std::string out;
    } cases[] = {
        {"a,b\r\n1,2\r\n3,4\r\n", 1, "a,b\r\n1,2\r\n3,4\r\n"},
        {"a,b\n\n1,2\n3,4", 1, "a,b\r\n1,2\r\n3,4\r\n"},
        {"a,b\n1,2\n3,4\n", 0, "a,b\r\n1,2\r\n3,4\r\n"},
        {"a,b\nu,v\n1,2\n", 2, "a,b\r\nu,v\r\n1,2\r\n"}, // no header line lost
        {"a,b\n", 3, "a,b\r\n"},
        {"", 1, "\r\n"},
        {"n\xff\x01,\"q\",r\r\n\\\\,x\",\"y,z\r\n", 1,
         "n\xff\x01,\"q\",r\r\n\\\\,x\",\"y,z\r\n"},
        {"\xEF\xBB\xBFid,b\n1,2", 1, "\xEF\xBB\xBFid,b\r\n1,2\r\n"}, // the mark kept
        {"\xEF\xBB\xBF", 1, "\xEF\xBB\xBF\r\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.in);
        Table t;
        ASSERT_EQ(t.Open(WriteFile("in.csv", c.in), OPEN_EDIT, ',', c.header), TBL_OK);
        EXPECT_EQ(Saved(t, "out.csv"), c.out);
        EXPECT_EQ(Saved(t, "out.csv"), c.out); // a second save works too
        EXPECT_EQ(CloseTable(t.h), TBL_OK);
    }
    Table preview;
    ASSERT_EQ(preview.Open(WriteFile("p.csv", "a\n1\n"), OPEN_PREVIEW), TBL_OK);
    EXPECT_EQ(preview.Set(0, 0, "2"), TBL_OK);
    EXPECT_EQ(SaveTable(preview.h, (TempDir() + "/p2.csv").c_str()), TBL_ERR_MODE);
    EXPECT_EQ(CloseTable(preview.h), TBL_OK);
    EXPECT_EQ(ReadFile(TempDir() + "/p.csv"), "a\n1\n");
}

TEST(LoadedCells, ReadBuffersAndSizes) {
    Table t;
    ASSERT_EQ(t.Open(WriteFile("r.csv", "k,v\nabc,\n")), TBL_OK);
    char buf[8] = "zzzzzzz";
    int32_t out = -1;
    EXPECT_EQ(GetCellValByIndex(t.h, 0, 0, buf, &out, 4), TBL_OK);
    EXPECT_EQ(std::string(buf, 4), std::string("abc\0", 4));
    EXPECT_EQ(out, 4);
    EXPECT_EQ(GetCellValByName(t.h, "k", 0, buf, &out, 3), TBL_ERR_TRUNCATED);
    EXPECT_EQ(std::string(buf, 3), std::string("ab\0", 3));
    EXPECT_EQ(out, 4);
    EXPECT_EQ(GetCellValByIndex(t.h, 1, 0, buf, &out, 8), TBL_OK);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(out, 1);
    EXPECT_EQ(GetCellSizeByName(t.h, "v", 0), 1);
    EXPECT_EQ(t.Cell(1, 0, true), "v");
    // Addresses outside the table and unknown names.
    for (auto [col, line] : {std::pair{2, 0}, {0, 1}, {-1, 0}, {0, -1}})
        EXPECT_EQ(GetCellSizeByIndex(t.h, col, line), TBL_ERR_RANGE);
    EXPECT_EQ(GetHeadCellValByIndex(t.h, 0, 1, buf, &out, 8), TBL_ERR_RANGE);
    EXPECT_EQ(GetCellValByName(t.h, "K", 0, buf, &out, 8), TBL_ERR_RANGE);
    EXPECT_EQ(SetCellValByName(t.h, "K", 0, "x", 1), TBL_ERR_NO_COLUMN);
    EXPECT_EQ(t.Cell(0, 0), "abc");
}

TEST(LoadedCells, AnyByteSurvivesSaveAndReopen) {
    const std::string all = [] {
        std::string s;
        for (int b = 0; b < 256; b++) s += static_cast<char>(b);
        return s;
    }();
    const std::vector<std::string> values = {
        std::string("a\0b", 3), "C:\\dir\\", "\\x41", "x\ny\r\n", ",", "\x7f\x80\xff",
        "a,b", "\t;|", ",,", "", all.substr(1, 31), all.substr(0, 34)};
    for (char d : {',', ';', '\t', '|', '\x01'}) {
        SCOPED_TRACE(static_cast<int>(d));
        std::string header = std::string("a") + d + "b" + d + "c\n";
        std::string path = WriteFile("rt.csv", header + d + d + "\n");
        {
            Table t;
            ASSERT_EQ(t.Open(path, OPEN_EDIT, d), TBL_OK);
            for (size_t i = 0; i < values.size(); i++) {
                if (i) {
                    ASSERT_EQ(CreateRow(t.h), TBL_OK);
                }
                for (int col = 0; col < 3; col++)
                    ASSERT_EQ(t.Set(col, static_cast<int>(i), values[(i + col) % values.size()]),
                              TBL_OK);
            }
            ASSERT_EQ(SaveTable(t.h, path.c_str()), TBL_OK);
        }
        Table t;
        ASSERT_EQ(t.Open(path, OPEN_EDIT, d), TBL_OK);
        ASSERT_EQ(t.Lines(), static_cast<int>(values.size()));
        for (size_t i = 0; i < values.size(); i++)
            for (int col = 0; col < 3; col++) {
                const std::string &v = values[(i + col) % values.size()];
                EXPECT_EQ(t.Cell(col, static_cast<int>(i)), v);
                EXPECT_EQ(GetCellSizeByIndex(t.h, col, static_cast<int>(i)),
                          static_cast<int>(v.size()) + 1);
            }
    }
}

TEST(LoadedCells, WritesKeepEveryLineSound) {
    std::string all;
    for (int b = 0; b < 256; b++) all += static_cast<char>(b);
    // A value goes in its plain stored form unless that breaks the line; it
    // then goes escaped (quote \x22, D \xNN); where neither form keeps the
    // line sound, the write is refused. stored is data line 0 afterwards
    // ("" where only the read back is checked).
    struct Case {
        std::string file;
        char d;
        int col;
        std::string value;
        int want;
        std::string stored;
    } cases[] = {
        {"a,b,c\n\"x\",,z\n", ',', 1, "\"y", TBL_OK, "\"x\",\\x22y,z"},  // quote after "x"
        {"a,b,c\n\"x\",,z\n", ',', 1, ",y", TBL_OK, "\"x\",\\x2cy,z"},   // "," after "x"
        {"a,b,c\nz,,\"w\"\n", ',', 1, "y\"", TBL_OK, "z,y\\x22,\"w\""},  // quote before "w"
        {"a,b,c\nz,,\"w\"\n", ',', 1, "y,", TBL_OK, "z,y\\x2c,\"w\""},
        {"a,b,c\nx,,z\n", ',', 1, "\"y", TBL_OK, "x,\\x22y,z"},          // an odd quote would
        {"a,b,c\nx,,z\n", ',', 0, "y\"", TBL_OK, "y\\x22,,z"},           // hide a separator
        {"a,b,c\nx,,z\n", ',', 2, "12\"", TBL_OK, "x,,12\""},             // none after it: plain
        {"a,b,c\nx,,z\n", ',', 1, "\"y\"", TBL_OK, "x,\"y\",z"},
        {"a,b\n\"a\",v\n", ',', 1, "\"b\"", TBL_OK, "\"a\",\\x22b\\x22"}, // "a" beside "b"
        {"a\tb\tc\nx\t\tz\n", '\t', 1, "\"", TBL_OK, "x\t\\x22\tz"},
        {"a,b,c\nx,,z\n", ',', 1, all, TBL_OK, ""},
        {"a;b;c\nx;;z\n", ';', 0, all, TBL_OK, ""},
        {"1a2\nxaz\n", 'a', 0, "\n", TBL_ERR_RANGE, "xaz"},             // \x0a holds the D
        {"1x2\nyxz\n", 'x', 1, "\x01", TBL_ERR_RANGE, "yxz"},           // every \x escape does
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file + " <- " + c.value.substr(0, 8));
        std::string path = WriteFile("w.csv", c.file);
        Table t;
        ASSERT_EQ(t.Open(path, OPEN_EDIT, c.d), TBL_OK);
        std::string before = Saved(t, "w0.csv");
        std::vector<std::string> cells;
        for (int col = 0; col < t.Columns(); col++) cells.push_back(t.Cell(col, 0));
        ASSERT_EQ(t.Set(c.col, 0, c.value), c.want);
        if (c.want == TBL_OK) cells[c.col] = c.value;
        std::string saved = Saved(t, "w1.csv");
        if (c.want != TBL_OK) {
            EXPECT_EQ(saved, before);
        }
        if (!c.stored.empty()) {
            EXPECT_EQ(saved.substr(saved.find('\n') + 1), c.stored + "\r\n");
        }
        Table back; // every cell reads as written, also after a reload
        ASSERT_EQ(back.Open(TempDir() + "/w1.csv", OPEN_EDIT, c.d), TBL_OK);
        for (int col = 0; col < t.Columns(); col++) {
            EXPECT_EQ(t.Cell(col, 0), cells[col]);
            EXPECT_EQ(back.Cell(col, 0), cells[col]);
        }
    }
}

TEST(LoadedCells, HeaderLineZeroNamesTheColumns) {
    Table t;
    ASSERT_EQ(t.Open(WriteFile("h.csv", "a,b\nu,v\n1,2\n"), OPEN_EDIT, ',', 2), TBL_OK);
    ASSERT_EQ(SetHeadCellValByIndex(t.h, 1, 0, "x,y", 3), TBL_OK);
    ASSERT_EQ(SetHeadCellValByIndex(t.h, 0, 1, "w", 1), TBL_OK);
    int32_t idx = -1;
    EXPECT_EQ(GetColumnIndex(t.h, "x\",\"y", &idx), TBL_OK); // stored form
    EXPECT_EQ(idx, 1);
    EXPECT_EQ(GetColumnIndex(t.h, "b", &idx), TBL_ERR_NO_COLUMN);
    EXPECT_EQ(t.Cell(1, 0, true), "x,y");
    EXPECT_EQ(Saved(t, "h2.csv"), "a,x\",\"y\r\nw,v\r\n1,2\r\n");
    // A name that only the escaped form keeps sound is stored so, and the
    // column bears that stored text.
    ASSERT_EQ(SetHeadCellValByIndex(t.h, 0, 0, "q\"", 2), TBL_OK);
    EXPECT_EQ(GetColumnIndex(t.h, "q\\x22", &idx), TBL_OK);
    EXPECT_EQ(idx, 0);
    EXPECT_EQ(t.Cell(0, 0, true), "q\"");
    // Header lines the file does not have cannot be written, in either form.
    Table few;
    ASSERT_EQ(few.Open(WriteFile("few.csv", "a,b\n"), OPEN_EDIT, ',', 3), TBL_OK);
    for (const char *v : {"x", "\""}) {
        EXPECT_EQ(SetHeadCellValByIndex(few.h, 0, 2, v, 1), TBL_ERR_RANGE) << v;
        EXPECT_EQ(few.Cell(0, 0, true), "a");
    }
    // With no header line, data line 0 is line 0.
    Table z;
    ASSERT_EQ(z.Open(WriteFile("z.csv", "a,b\n1,2\n"), OPEN_EDIT, ',', 0), TBL_OK);
    ASSERT_EQ(z.Set(0, 0, "q"), TBL_OK);
    EXPECT_EQ(GetColumnIndex(z.h, "q", &idx), TBL_OK);
    EXPECT_EQ(idx, 0);
}

TEST(LoadedColumns, LookupsAndAttributes) {
    std::string names;
    for (int i = 0; i < 13; i++) names += (i ? "," : "") + std::string(i == 5 ? "dup" : "c") + std::to_string(i);
    Table t;
    ASSERT_EQ(t.Open(WriteFile("c.csv", names + ",dup5,a\",\"b\n" + std::string(14, ',') + "\n")),
              TBL_OK);
    int32_t idx = -1, len = -1;
    EXPECT_EQ(GetColumnIndex(t.h, "dup5", &idx), TBL_OK);
    EXPECT_EQ(idx, 5);
    EXPECT_EQ(GetColumnIndex(t.h, "DUP5", &idx), TBL_ERR_NO_COLUMN);
    EXPECT_EQ(GetColumnIndex(t.h, "a\",\"b", &idx), TBL_OK);
    EXPECT_EQ(idx, 14);
    struct Case {
        int col;
        const char *attr;
        uint32_t size;
        int want;
        std::string text; // the whole buffer afterwards
    } cases[] = {
        {3, "index", 4, TBL_OK, std::string("3\0", 2)},
        {12, "index", 4, TBL_OK, std::string("12\0", 3)},
        {12, "index", 2, TBL_ERR_TRUNCATED, std::string("1\0", 2)},
        {5, "head_size", 4, TBL_OK, std::string("4\0", 2)},
        {5, "name", 7, TBL_OK, std::string("dup5\0\0\0", 7)},
        {5, "name", 4, TBL_ERR_TRUNCATED, std::string("dup\0", 4)},
        {5, "Name", 8, TBL_ERR_ATTR, ""},
        {5, nullptr, 8, TBL_ERR_ATTR, ""},
        {15, "name", 8, TBL_ERR_RANGE, ""},
        {5, "index", 0, TBL_ERR_RANGE, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.col);
        std::string buf(c.size, '#');
        EXPECT_EQ(GetColAttrByIndex(t.h, c.col, c.attr, &buf[0], &len, c.size), c.want);
        if (!c.text.empty()) {
            EXPECT_EQ(buf.substr(0, c.text.size()), c.text);
            EXPECT_EQ(len, static_cast<int>(strlen(c.text.c_str())));
        }
    }
    char buf[8];
    EXPECT_EQ(GetColAttrByName(t.h, "nope", "name", buf, &len, 8), TBL_ERR_RANGE);
    EXPECT_EQ(GetColAttrByName(t.h, "c12", "index", buf, &len, 8), TBL_OK);
    EXPECT_EQ(std::string(buf), "12");
    EXPECT_EQ(GetColHeadSizeByIndex(t.h, 5), 5);
    EXPECT_EQ(GetColHeadSizeByName(t.h, "c12"), 4);
    EXPECT_EQ(GetColHeadSizeByName(t.h, "nope"), TBL_ERR_RANGE);
    // Lookups follow renames and new columns; of equal names the first wins.
    ASSERT_EQ(SetHeadCellValByIndex(t.h, 5, 0, "c1", 2), TBL_OK);
    ASSERT_EQ(CreateColumn(t.h, -1, "c3"), TBL_OK);
    for (auto [name, want] : {std::pair{"c1", 1}, {"dup5", 13}, {"c3", 3}, {"c12", 12}}) {
        EXPECT_EQ(GetColumnIndex(t.h, name, &idx), TBL_OK) << name;
        EXPECT_EQ(idx, want) << name;
    }
    ASSERT_EQ(SetHeadCellValByIndex(t.h, 3, 0, "new", 3), TBL_OK);
    EXPECT_EQ(GetColumnIndex(t.h, "new", &idx), TBL_OK);
    EXPECT_EQ(idx, 3);
    EXPECT_EQ(GetColumnIndex(t.h, "c3", &idx), TBL_OK);
    EXPECT_EQ(idx, 15);
}

TEST(LoadedColumns, CreateColumnAndRow) {
    Table t;
    ASSERT_EQ(t.Open(WriteFile("cc.csv", "a,b\nu,v\nx,y\n"), OPEN_EDIT, ',', 2), TBL_OK);
    for (int pos : {0, -2, 3})
        EXPECT_EQ(CreateColumn(t.h, pos, "n"), TBL_ERR_RANGE);
    for (const char *bad : {(const char *)nullptr, "p,q", "p\rq", "p\nq"})
        EXPECT_EQ(CreateColumn(t.h, -1, bad), TBL_ERR_RANGE);
    EXPECT_EQ(CreateColumn(t.h, 2, "c"), TBL_OK);
    EXPECT_EQ(CreateColumn(t.h, -1, "d\""), TBL_OK);
    EXPECT_EQ(t.Columns(), 4);
    int32_t idx = -1;
    EXPECT_EQ(GetColumnIndex(t.h, "d\"", &idx), TBL_OK);
    EXPECT_EQ(idx, 3);
    EXPECT_EQ(CreateRow(t.h), TBL_OK);
    EXPECT_EQ(t.Lines(), 2);
    EXPECT_EQ(t.Cell(3, 1), "");
    EXPECT_EQ(t.Cell(1, 1, true), "v");
    EXPECT_EQ(t.Cell(2, 1, true), "");
    EXPECT_EQ(Saved(t, "cc2.csv"), "a,b,c,d\"\r\nu,v,,\r\nx,y,,\r\n,,,\r\n");
    // "e after d" would fuse the two: line 0 is rebuilt with d" escaped,
    // and that column bears its new stored name.
    EXPECT_EQ(CreateColumn(t.h, -1, "\"e"), TBL_OK);
    EXPECT_EQ(GetColumnIndex(t.h, "d\\x22", &idx), TBL_OK);
    EXPECT_EQ(idx, 3);
    EXPECT_EQ(t.Cell(3, 0, true), "d\"");
    EXPECT_EQ(Saved(t, "cc3.csv"), "a,b,c,d\\x22,\"e\r\nu,v,,,\r\nx,y,,,\r\n,,,,\r\n");

    // Lines whose last field holds an odd quote are rebuilt the same way;
    // where no form keeps a line sound nothing changes.
    struct Case {
        std::string file, name;
        char d;
        int want;
        std::string saved;
    } cases[] = {
        {"a,b\n1,12\"\n", "c", ',', TBL_OK, "a,b,c\r\n1,12\\x22,\r\n"},
        {"a,b\"\n1,2\n", "c", ',', TBL_OK, "a,b\\x22,c\r\n1,2,\r\n"},
        {"a,\"b\"\n1,2\n", "\"c\"", ',', TBL_OK, "a,\\x22b\\x22,\"c\"\r\n1,2,\r\n"},
        {"a,\"b\n1,2\n", "\"c", ',', TBL_OK, "a,\\x22b,\"c\r\n1,2,\r\n"},
        {"axb\n1x2\"\n", "c", 'x', TBL_ERR_RANGE, "axb\r\n1x2\"\r\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        Table k;
        ASSERT_EQ(k.Open(WriteFile("k.csv", c.file), OPEN_EDIT, c.d), TBL_OK);
        EXPECT_EQ(CreateColumn(k.h, -1, c.name.c_str()), c.want);
        EXPECT_EQ(Saved(k, "k2.csv"), c.saved);
        Table back;
        ASSERT_EQ(back.Open(TempDir() + "/k2.csv", OPEN_EDIT, c.d), TBL_OK);
        EXPECT_EQ(back.Columns(), k.Columns());
        EXPECT_EQ(back.Cell(1, 0), k.Cell(1, 0));
    }

    // A one-column table cannot hold an empty cell in a file: its line
    // would be empty, and empty lines are not lines of a table.
    Table empty; // a file without columns
    ASSERT_EQ(empty.Open(WriteFile("e.csv", "")), TBL_OK);
    EXPECT_EQ(Saved(empty, "e1.csv"), "\r\n"); // one empty line saves
    EXPECT_EQ(CreateRow(empty.h), TBL_OK);
    EXPECT_EQ(CreateColumn(empty.h, 0, "only"), TBL_OK);
    EXPECT_EQ(empty.Columns(), 1);
    EXPECT_EQ(empty.Cell(0, 0), "");
    std::string target = WriteFile("e2.csv", "old\n");
    EXPECT_EQ(SaveTable(empty.h, target.c_str()), TBL_ERR_SAVE_ROW);
    EXPECT_EQ(ReadFile(target), "old\n");
    EXPECT_EQ(empty.Set(0, 0, "v"), TBL_OK);
    EXPECT_EQ(Saved(empty, "e2.csv"), "only\r\nv\r\n");
    EXPECT_EQ(empty.Set(0, 0, ""), TBL_OK);
    EXPECT_EQ(SaveTable(empty.h, target.c_str()), TBL_ERR_SAVE_ROW);
}

// What every state answers to every export is in api_nulls.cpp; a fresh
// handle's counts are read back here.
TEST(LoadedHandles, FreshHandleIsAnEmptyTable) {
    Table fresh;
    EXPECT_EQ(fresh.Columns(), 0);
    EXPECT_EQ(fresh.Lines(), 0);
}

TEST(LoadedHandles, ReopenWithoutCloseReleasesTheOldTable) {
    std::string path = WriteFile("ro.csv", "a,b\n1,2\n3,4\n");
    long before = pellus_live_blocks();
    {
        Table t;
        ASSERT_EQ(t.Open(path), TBL_OK);
        ASSERT_EQ(t.Open(path, OPEN_PREVIEW), TBL_OK);
        ASSERT_EQ(t.Open(WriteFile("bad.csv", "a\n1,2\n")), TBL_ERR_FORMAT);
        ASSERT_EQ(t.Open(path), TBL_OK);
        EXPECT_EQ(t.Cell(1, 1), "4");
    }
    EXPECT_EQ(pellus_live_blocks(), before);
}

// A preview holds its lines, not its file: a small file costs no large
// block, and a large one no block near its size.
TEST(LoadedHandles, PreviewMemoryFollowsItsLines) {
    std::string big = "a,b\n";
    while (big.size() < (4u << 20)) big += std::string(500, 'x') + "," + std::string(499, 'y') + "\n";
    const std::pair<std::string, size_t> cases[] = {{"a,b\n1,2\n", 16u << 10}, {big, 512u << 10}};
    for (const auto &c : cases) {
        Table t;
        std::string path = WriteFile("preview_memory.csv", c.first);
        pellus_largest_block();
        ASSERT_EQ(t.Open(path, OPEN_PREVIEW), TBL_OK);
        EXPECT_LE(pellus_largest_block(), c.second);
        EXPECT_EQ(t.Lines(), c.first.size() > 100 ? 99 : 1);
    }
}

// The files loaded tables hold are not handed to a process the host starts.
TEST(LoadedHandles, ChildProcessesGetNoTableFile) {
    std::string path = WriteFile("inherited.csv", "a,b\r\n1,2\r\n");
    Table edit, preview;
    ASSERT_EQ(edit.Open(path), TBL_OK);
    ASSERT_EQ(preview.Open(path, OPEN_PREVIEW), TBL_OK);
#ifdef _WIN32
    // A child inherits the handles marked so: neither of the two may be.
    int held = 0, inheritable = 0;
    for (int fd = 0; fd < 2048; ++fd) {
        HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
        char name[MAX_PATH];
        DWORD flags = 0;
        if (h == INVALID_HANDLE_VALUE || !GetFinalPathNameByHandleA(h, name, sizeof name, 0) ||
            !std::strstr(name, "inherited.csv"))
            continue;
        ++held;
        inheritable += GetHandleInformation(h, &flags) && (flags & HANDLE_FLAG_INHERIT);
    }
    EXPECT_EQ(held, 2);
    EXPECT_EQ(inheritable, 0);
#else
    // A child lists the files it was given.
    std::string listing;
    FILE *child = popen("ls -l /proc/self/fd/", "r");
    ASSERT_NE(child, nullptr);
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, child)) listing += buffer;
    pclose(child);
    EXPECT_NE(listing.find("pipe:"), std::string::npos) << listing; // its output
    EXPECT_EQ(listing.find("inherited.csv"), std::string::npos) << listing;
#endif
}

} // namespace
