// The public header is the whole contract: every exported function has a
// documentation block that names the codes it returns, the code table of
// docs/host.md says what the header's code list says, and the codes the calls
// below provoke are named in the blocks of the functions that return them.
#include <gtest/gtest.h>
#include <pellus.h>
#include <tavlin32.h>
#include <tavlin32.hpp>

#include <algorithm>
#include <climits>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "table.h"
#include "testsupport.h"

namespace {

using tavltest::CodeWords;
using tavltest::PublicHeaderDoc;
using tavltest::TempDir;
using tavltest::WriteFile;

struct Code {
    const char *name;
    int32_t value;
    const char *text;
};

#define TBL_TEST_CODE(name, value, text) {#name, value, text},
const Code kCodes[] = {TBL_RESULT_CODES(TBL_TEST_CODE)};
#undef TBL_TEST_CODE

bool IsInternal(const Code &c) { return std::string(c.text).rfind("internal:", 0) == 0; }

TEST(Contract, EveryFunctionHasABlockNamingRealCodes) {
    const tavltest::HeaderDoc &doc = PublicHeaderDoc();
    EXPECT_EQ(doc.declared.size(), 30u);
    std::set<std::string> declared(doc.declared.begin(), doc.declared.end());
    EXPECT_EQ(declared.size(), doc.declared.size()) << "a function is declared twice";
    for (const std::string &name : doc.titled) EXPECT_EQ(declared.count(name), 1u) << name << " is documented, not declared";

    std::set<std::string> codes, named;
    for (const Code &c : kCodes) codes.insert(c.name);
    for (const std::string &f : doc.declared) {
        SCOPED_TRACE(f);
        ASSERT_EQ(doc.blocks.count(f), 1u) << "no block above the declaration names " << f << "()";
        const std::string &block = doc.blocks.at(f);
        EXPECT_NE(block.find("@return"), std::string::npos);
        for (const std::string &w : CodeWords(block)) {
            EXPECT_EQ(codes.count(w), 1u) << w << " is no result code";
            named.insert(w);
        }
    }
    // Every code a host can meet is returned by some function, and the
    // internal ones by none.
    for (const Code &c : kCodes) EXPECT_EQ(named.count(c.name) == 1, !IsInternal(c)) << c.name;
}

TEST(Contract, DocumentedCodeTableIsTheCodeList) {
    std::string doc = tavltest::ReadFile(TAVL_HOST_DOC);
    size_t begin = doc.find("\n## Result codes\n");
    ASSERT_NE(begin, std::string::npos) << "no result code section in " << TAVL_HOST_DOC;
    size_t end = doc.find("\n## ", begin + 1);
    std::istringstream section(doc.substr(begin, end - begin));

    // Rows after the table's head and its rule: | value | `name` | meaning |;
    // identifiers in the meaning may be set as code.
    auto trim = [](std::string t) {
        t.erase(0, t.find_first_not_of(' '));
        t.erase(t.find_last_not_of(' ') + 1);
        return t;
    };
    std::map<int32_t, std::pair<std::string, std::string>> rows;
    std::string line;
    int table_lines = 0;
    while (std::getline(section, line)) {
        if (line.empty() || line[0] != '|') continue;
        if (++table_lines <= 2) continue;
        std::vector<std::string> cells;
        for (size_t at = 1, bar; (bar = line.find('|', at)) != std::string::npos; at = bar + 1)
            cells.push_back(trim(line.substr(at, bar - at)));
        ASSERT_EQ(cells.size(), 3u) << "not a code row: " << line;
        std::string name = cells[1];
        ASSERT_TRUE(name.size() > 2 && name.front() == '`' && name.back() == '`')
            << "not a code row: " << line;
        std::string meaning = cells[2];
        meaning.erase(std::remove(meaning.begin(), meaning.end(), '`'), meaning.end());
        int32_t value = std::stoi(cells[0]);
        EXPECT_EQ(rows.count(value), 0u) << "code " << value << " has two rows";
        rows[value] = {name.substr(1, name.size() - 2), meaning};
    }
    EXPECT_EQ(rows.size(), sizeof kCodes / sizeof kCodes[0]);
    for (const Code &c : kCodes) {
        SCOPED_TRACE(c.name);
        auto it = rows.find(c.value);
        ASSERT_NE(it, rows.end()) << "no row for " << c.value;
        EXPECT_EQ(it->second.first, c.name);
        EXPECT_EQ(it->second.second, c.text);
        // The C++ layer's error codes say the same.
        const std::error_code ec = static_cast<TblResult>(c.value);
        EXPECT_EQ(ec.message(), c.text);
        EXPECT_STREQ(ec.category().name(), "tavlin");
    }
}

using Ec = std::error_code;

// A call through the C++ layer in the C call's terms: the code it reported,
// of the tavlin category, or else the number it gave.
std::function<int32_t()> Via(std::function<int32_t(Ec &)> call) {
    return [call] {
        Ec ec;
        const int32_t got = call(ec);
        if (!ec) return got;
        EXPECT_EQ(ec.category(), tavlin::category());
        return ec.value();
    };
}
// 0 when a read gave want, else a number no call gives.
int32_t Is(const std::string &got, const std::string &want) { return got == want ? 0 : -999; }

// Opens path with the given arguments on a fresh handle and gives the
// handle back, returning the open's result.
int32_t TryOpen(const std::string &path, int32_t mode, const char *delimiter, const int32_t *header,
                const char *dir) {
    tavltest::Table t;
    return OpenTableUnique(path.c_str(), t.h, mode, delimiter, header, dir, 0);
}

// Failures the null and handle-state cases do not reach, each returned by
// the function and named in its block.
TEST(Contract, ProvokedCodesAreDocumented) {
    const std::string good = WriteFile("contract.csv", "a,b\r\n1,2\r\n3,4\r\n");
    // Apart from good: on Windows a file open for writing cannot be mapped.
    const std::string edited = WriteFile("contract_edit.csv", "a,b\r\n1,2\r\n3,4\r\n");
    const std::string ragged = WriteFile("contract_ragged.csv", "a,b\r\n1\r\n");
    const std::string empty = WriteFile("contract_empty.csv", "");
    const std::string one = WriteFile("contract_one.csv", "a\r\nx\r\n");
    const std::string gone = WriteFile("contract_gone.csv", "a,b\r\n1,2\r\n");
    const std::string missing = TempDir() + "/contract_missing.csv";
    const std::string dir = tavltest::FreshDir("contract_idx");
    const std::string gone_dir = tavltest::FreshDir("contract_gone_idx");
    const std::string none = tavltest::FreshDir("contract_none");
    const int32_t h1 = 1, h5 = 5, below = -1, huge = INT_MIN + 1;

    ASSERT_EQ(PreOpenTable(good.c_str(), dir.c_str(), ",", &h1, 0), TBL_OK);
    ASSERT_EQ(PreOpenTable(gone.c_str(), gone_dir.c_str(), ",", &h1, 0), TBL_OK);
    WriteFile("contract_gone.csv", ""); // the data file an index was made for, emptied

    // Each table is open once, through the C++ layer; the C calls take its handle.
    using tavlin::Mode;
    tavlin::Table edit_t = tavlin::Table::open(edited, Mode::edit), preview_t = tavlin::Table::open(good, Mode::preview),
                  indexed_t = tavlin::Table::open(good, Mode::indexed, ',', 1, dir),
                  single_t = tavlin::Table::open(one, Mode::edit);
    TableHandle *edit = edit_t.handle(), *preview = preview_t.handle(), *indexed = indexed_t.handle(),
                *single = single_t.handle();
    std::string out = TempDir() + "/contract_out.csv";
    char buf[8];
    int32_t n = 0;
    tavltest::ExpectDocumentedResults({
        {"CreateTable", [&] { return CreateTable(missing.c_str(), '\\'); }, TBL_ERR_DELIMITER,
         Via([&](Ec &ec) { return tavlin::create_table(missing, '\\', ec), 0; })},
        {"TableExist", [&] { return TableExist(missing.c_str()); }, TBL_ERR_NO_FILE,
         [&] { return tavlin::table_exists(missing) ? TBL_OK : TBL_ERR_NO_FILE; }},
        {"OpenTable", [&] { return TryOpen(good, OPEN_EDIT, "\"", nullptr, nullptr); }, TBL_ERR_DELIMITER,
         Via([&](Ec &ec) { return tavlin::Table::open(good, Mode::edit, '"', 1, ec), 0; })},
        {"OpenTable", [&] { return TryOpen(missing, OPEN_EDIT, nullptr, nullptr, nullptr); }, TBL_ERR_NO_FILE,
         Via([&](Ec &ec) { return tavlin::Table::open(missing, Mode::edit, ',', 1, ec), 0; })},
        {"OpenTableUnique", [&] { return TryOpen(good, 7, nullptr, nullptr, nullptr); }, TBL_ERR_MODE,
         Via([&](Ec &ec) { return tavlin::Table::open(good, Mode(7), ',', 1, ec), 0; })},
        {"OpenTableUnique", [&] { return TryOpen(good, OPEN_EDIT, nullptr, &below, nullptr); }, TBL_ERR_RANGE,
         Via([&](Ec &ec) { return tavlin::Table::open(good, Mode::edit, ',', below, ec), 0; })},
        {"OpenTable", [&] { return TryOpen(ragged, OPEN_PREVIEW, nullptr, nullptr, nullptr); }, TBL_ERR_FORMAT,
         Via([&](Ec &ec) { return tavlin::Table::open(ragged, Mode::preview, ',', 1, ec), 0; })},
        {"OpenTable", [&] { return TryOpen(good, OPEN_INDEXED, nullptr, nullptr, none.c_str()); },
         TBL_ERR_INDEX_OPEN, Via([&](Ec &ec) { return tavlin::Table::open(good, Mode::indexed, ',', 1, none, ec), 0; })},
        {"OpenTable", [&] { return TryOpen(gone, OPEN_INDEXED, nullptr, nullptr, gone_dir.c_str()); },
         TBL_ERR_MAP_DATA,
         Via([&](Ec &ec) { return tavlin::Table::open(gone, Mode::indexed, ',', 1, gone_dir, ec), 0; })},
        {"SaveTable", [&] { return SaveTable(preview, out.c_str()); }, TBL_ERR_MODE,
         Via([&](Ec &ec) { return preview_t.save(out, ec), 0; })},
        {"SaveTable", [&] { CreateRow(single); return SaveTable(single, one.c_str()); }, TBL_ERR_SAVE_ROW,
         Via([&](Ec &ec) { return single_t.save(ec), 0; })},
        {"PreOpenTable", [&] { return PreOpenTable(good.c_str(), dir.c_str(), ",", &h1, 0); }, TBL_ERR_INDEX_EXISTS,
         Via([&](Ec &ec) { return tavlin::Index::prepare(good, dir, ',', 1, tavlin::Prepare::none, ec), 0; })},
        {"PreOpenTable", [&] { return PreOpenTable(good.c_str(), none.c_str(), "\\", &h1, 0); }, TBL_ERR_DELIMITER,
         Via([&](Ec &ec) { return tavlin::Index::prepare(good, none, '\\', 1, tavlin::Prepare::none, ec), 0; })},
        {"PreOpenTable", [&] { return PreOpenTable(empty.c_str(), none.c_str(), ",", &h1, 0); }, TBL_ERR_MAP_DATA,
         Via([&](Ec &ec) { return tavlin::Index::prepare(empty, none, ',', 1, tavlin::Prepare::none, ec), 0; })},
        {"PreOpenTableUnique", [&] { return PreOpenTableUnique(ragged.c_str(), none.c_str(), ",", &h5, 0, 1); },
         TBL_ERR_FORMAT,
         Via([&](Ec &ec) { return tavlin::Index::prepare(ragged, none, ',', 5, tavlin::Prepare::unique, ec), 0; })},
        {"PostCloseTable", [&] { return PostCloseTable(ragged.c_str(), none.c_str()); }, TBL_ERR_REMOVE,
         Via([&](Ec &ec) { return tavlin::Index().close(ec), 0; })},
        {"GetNumberOfLinesEx", [&] { return GetNumberOfLinesEx(empty.c_str(), ",", nullptr); }, TBL_ERR_MAP_DATA,
         Via([&](Ec &ec) { return tavlin::count_lines(empty, ec); })},
        {"GetNumberOfLinesEx", [&] { return GetNumberOfLinesEx(good.c_str(), ",", &huge); }, TBL_ERR_RANGE},
        {"GetNumberOfLinesEx", [&] { return GetNumberOfLinesEx(good.c_str(), ",", &h1); }, 2,
         Via([&](Ec &ec) { return tavlin::count_lines(good, ec) - h1; })},
        {"GetColumnIndex", [&] { return GetColumnIndex(edit, "z", &n); }, TBL_ERR_NO_COLUMN,
         Via([&](Ec &ec) { return edit_t.column_index("z", ec); })},
        {"GetColAttrByIndex", [&] { return GetColAttrByIndex(edit, 0, "width", buf, &n, sizeof buf); }, TBL_ERR_ATTR,
         Via([&](Ec &ec) { return Is(edit_t.attribute(0, "width", ec), ""); })},
        {"GetColAttrByIndex", [&] { return GetColAttrByIndex(edit, 2, "name", buf, &n, sizeof buf); }, TBL_ERR_RANGE,
         Via([&](Ec &ec) { return Is(edit_t.column_name(2, ec), ""); })},
        {"GetColAttrByName", [&] { return GetColAttrByName(edit, "a", "name", buf, &n, 1); }, TBL_ERR_TRUNCATED,
         Via([&](Ec &ec) { return Is(edit_t.attribute("a", "name", ec), "a"); })},
        {"GetColHeadSizeByIndex", [&] { return GetColHeadSizeByIndex(indexed, 1); }, 2,
         Via([&](Ec &ec) { return indexed_t.head_size(1, ec); })},
        {"GetColHeadSizeByName", [&] { return GetColHeadSizeByName(edit, "z"); }, TBL_ERR_RANGE,
         Via([&](Ec &ec) { return edit_t.head_size("z", ec); })},
        {"CreateColumn", [&] { return CreateColumn(edit, 5, "c"); }, TBL_ERR_RANGE,
         Via([&](Ec &ec) { return edit_t.add_column(5, "c", ec); })},
        {"CreateColumn", [&] { return CreateColumn(indexed, -1, "c"); }, TBL_ERR_MODE,
         Via([&](Ec &ec) { return indexed_t.add_column(-1, "c", ec); })},
        {"GetCellValByIndex", [&] { return GetCellValByIndex(indexed, 0, 2, buf, &n, sizeof buf); }, TBL_ERR_RANGE,
         Via([&](Ec &ec) { return Is(indexed_t.cell(2, 0, ec), ""); })},
        {"GetCellValByName", [&] { return GetCellValByName(preview, "b", 1, buf, &n, 1); }, TBL_ERR_TRUNCATED,
         Via([&](Ec &ec) { return Is(preview_t.cell(1, "b", ec), "4"); })},
        {"GetHeadCellValByIndex", [&] { return GetHeadCellValByIndex(edit, 0, 1, buf, &n, sizeof buf); },
         TBL_ERR_RANGE, Via([&](Ec &ec) { return Is(edit_t.head_cell(1, 0, ec), ""); })},
        {"GetCellSizeByIndex", [&] { return GetCellSizeByIndex(edit, 0, 0); }, 2,
         Via([&](Ec &ec) { return edit_t.cell_size(0, 0, ec); })},
        {"GetCellSizeByName", [&] { return GetCellSizeByName(indexed, "b", 5); }, TBL_ERR_RANGE,
         Via([&](Ec &ec) { return indexed_t.cell_size(5, "b", ec); })},
        {"SetCellValByIndex", [&] { return SetCellValByIndex(indexed, 0, 0, "x", 1); }, TBL_ERR_MODE,
         Via([&](Ec &ec) { return indexed_t.set(0, 0, "x", ec), 0; })},
        {"SetCellValByName", [&] { return SetCellValByName(edit, "z", 0, "x", 1); }, TBL_ERR_NO_COLUMN,
         Via([&](Ec &ec) { return edit_t.set(0, "z", "x", ec), 0; })},
        {"SetHeadCellValByIndex", [&] { return SetHeadCellValByIndex(preview, 2, 0, "x", 1); }, TBL_ERR_RANGE,
         Via([&](Ec &ec) { return preview_t.set_head(0, 2, "x", ec), 0; })},
        {"CreateRow", [&] { return CreateRow(indexed); }, TBL_ERR_MODE,
         Via([&](Ec &ec) { return indexed_t.add_row(ec); })},
    });
    // Closed before the indexes go: a mapped index cannot be removed on Windows.
    for (tavlin::Table *t : {&edit_t, &preview_t, &indexed_t, &single_t}) {
        std::error_code ec;
        t->close(ec);
        EXPECT_FALSE(ec) << ec.message();
    }
    EXPECT_EQ(PostCloseTable(good.c_str(), dir.c_str()), TBL_OK);
    EXPECT_EQ(PostCloseTable(gone.c_str(), gone_dir.c_str()), TBL_OK);
}

} // namespace

namespace {

// The head size (GetColHeadSizeBy*) counts the name's NUL, the "head_size"
// attribute does not; "name" fills exactly the size given with the name
// and NULs, and not a byte more.
TEST(Contract, AttributeSizes) {
    const std::string path = WriteFile("contract_attrs.csv", "station,,a\\x2c\"b\r\n1,2,3\r\n");
    for (int32_t mode : {OPEN_EDIT, OPEN_INDEXED}) {
        const std::string dir = tavltest::FreshDir("contract_attrs");
        const int32_t one = 1;
        ASSERT_EQ(PreOpenTable(path.c_str(), dir.c_str(), ",", &one, 1), TBL_OK);
        tavltest::Table t;
        ASSERT_EQ(t.Open(path, mode, ',', 1, dir), TBL_OK);
        const std::string names[] = {"station", "", "a\\x2c\"b"};
        for (int32_t c = 0; c < 3; ++c) {
            SCOPED_TRACE(names[c]);
            const int32_t length = static_cast<int32_t>(names[c].size());
            EXPECT_EQ(GetColHeadSizeByIndex(t.h, c), length + 1);
            EXPECT_EQ(GetColHeadSizeByName(t.h, names[c].c_str()), length + 1);
            char value[32];
            int32_t n = -1;
            ASSERT_EQ(GetColAttrByIndex(t.h, c, "head_size", value, &n, sizeof value), TBL_OK);
            EXPECT_EQ(std::string(value), std::to_string(length));
            for (uint32_t size : {uint32_t(length + 1), 20u}) {
                std::memset(value, 'Q', sizeof value);
                ASSERT_EQ(GetColAttrByIndex(t.h, c, "name", value, &n, size), TBL_OK);
                EXPECT_EQ(n, length);
                EXPECT_EQ(std::string(value, size), names[c] + std::string(size - length, '\0'));
                EXPECT_EQ(std::string(value + size, sizeof value - size),
                          std::string(sizeof value - size, 'Q'));
            }
            EXPECT_EQ(GetColAttrByIndex(t.h, c, "name", value, &n, uint32_t(length)),
                      length ? TBL_ERR_TRUNCATED : TBL_ERR_RANGE);
        }
        EXPECT_EQ(CloseTable(t.h), TBL_OK);
        EXPECT_EQ(PostCloseTable(path.c_str(), dir.c_str()), TBL_OK);
    }
}

// Through the C++ layer a value reads whole whatever its size, as a new
// string or into the caller's, whose capacity is reused: the sizes straddle
// the room each read tries first (a string's own, 256 bytes, 1 KiB).
TEST(Contract, CppReadsWholeValues) {
    const std::string path = WriteFile("contract_cpp_reads.csv", "name,v\r\n");
    tavlin::Table t = tavlin::Table::open(path, tavlin::Mode::edit);
    std::vector<std::string> values;
    for (size_t size : {0, 1, 14, 15, 16, 254, 255, 256, 1023, 1024, 1025, 70000}) {
        std::string v(size, 'v');
        for (size_t i = 0; i < size; i += 5) v[i] = "\0\x01,\\\"\n"[i % 6];
        const int32_t row = t.add_row();
        EXPECT_EQ(row, static_cast<int32_t>(values.size()));
        t.set(row, 1, v);
        t.set(row, "name", std::to_string(size));
        values.push_back(v);
    }
    std::string into;
    int32_t seen = 0;
    for (const auto &row : t) {
        const std::string &want = values.at(static_cast<size_t>(row.index()));
        SCOPED_TRACE(want.size());
        EXPECT_EQ(row[1], want);
        EXPECT_EQ(row["v"], want);
        row.cell("v", into);
        EXPECT_EQ(into, want);
        EXPECT_EQ(t.cell_size(row.index(), "v"), static_cast<int32_t>(want.size() + 1));
        ++seen;
    }
    EXPECT_EQ(seen, static_cast<int32_t>(values.size()));
    // Once the string holds the largest value, shorter ones reuse its block.
    const char *block = into.data();
    for (int32_t row = seen - 1; row >= 0; --row) {
        t.cell(row, 1, into);
        EXPECT_EQ(into, values[static_cast<size_t>(row)]);
        EXPECT_EQ(static_cast<const void *>(into.data()), block);
    }
    // Names and header cells too; attribute names are checked by the C call.
    const std::string name(300, 'n');
    EXPECT_EQ(t.add_column(-1, name), 2);
    EXPECT_EQ(t.column_name(2), name);
    EXPECT_EQ(t.head_cell(0, 2), name);
    EXPECT_EQ(t.attribute(name, "head_size"), "300");
    // A name holding a NUL is no column's, not the name before the NUL.
    std::error_code ec;
    EXPECT_EQ(t.column_index(std::string_view("v\0x", 3), ec), TBL_ERR_NO_COLUMN);
}

// What the C++ layer owns: a table closes when an exception leaves its
// scope, a moved-from one refuses with the C calls' codes, a failed load
// carries its last-error value, and an index goes with its last user.
TEST(Contract, CppOwnership) {
    const std::string path = WriteFile("contract_cpp_own.csv", "a,b\r\n1,2\r\n");
    const std::string bad = WriteFile("contract_cpp_bad.csv", "a,b\n1,2\n\n3\n");
    const long blocks = pellus_live_blocks();
    try {
        tavlin::Table t = tavlin::Table::open(path, tavlin::Mode::edit);
        t.cell(5, 0);
        ADD_FAILURE() << "a read past the last row gave no error";
    } catch (const tavlin::Error &e) {
        EXPECT_EQ(e.code(), TBL_ERR_RANGE);
        EXPECT_EQ(e.what(), std::string("GetCellValByIndex: TBL_ERR_RANGE (-15): ") + TblResultText(-15));
        EXPECT_FALSE(e.load_failed());
    }
    EXPECT_EQ(pellus_live_blocks(), blocks) << "the table was not closed";

    std::error_code ec;
    tavlin::Table t = tavlin::Table::open(path, tavlin::Mode::edit), u = std::move(t);
    EXPECT_EQ(t.cell(0, 0, ec), "");
    EXPECT_EQ(ec, TBL_ERR_BAD_HANDLE);
    t.set(0, 0, "x", ec);
    EXPECT_EQ(ec, TBL_ERR_RANGE);
    EXPECT_EQ(t.row_count(ec), TBL_ERR_BAD_HANDLE);
    EXPECT_EQ(u.cell(0, "b"), "2");
    t = std::move(u);
    u.close(ec);
    EXPECT_EQ(ec, TBL_ERR_BAD_HANDLE);
    t.close();

    tavlin::Table failed = tavlin::Table::open(bad, tavlin::Mode::edit, ',', 1, ec);
    EXPECT_EQ(ec, TBL_ERR_FORMAT);
    EXPECT_FALSE(failed);
    EXPECT_EQ(failed.load_error(), TBL_LOAD_ERROR_FLAG | 2u);
    try {
        tavlin::Table::open(bad, tavlin::Mode::preview);
        ADD_FAILURE() << "a ragged table opened";
    } catch (const tavlin::Error &e) {
        EXPECT_EQ(e.code(), TBL_ERR_FORMAT);
        EXPECT_TRUE(e.load_failed());
        EXPECT_EQ(e.load_line(), 2u);
    }
    EXPECT_EQ(pellus_live_blocks(), blocks);

    const std::string dir = tavltest::FreshDir("contract_cpp_idx");
    {
        tavlin::Index index = tavlin::Index::prepare(path, dir);
        tavlin::Table a = index.open(), b = index.open();
        index.close();
        a.close();
        EXPECT_EQ(tavltest::Listing(dir).size(), 1u) << "removed while a table reads it";
        EXPECT_EQ(b.cell(0, "b"), "2");
    }
    EXPECT_TRUE(tavltest::Listing(dir).empty()) << "left behind by its last user";
    tavlin::Index kept = tavlin::Index::prepare(path, dir, ',', 1, tavlin::Prepare::unique);
    kept.keep();
    kept.close();
    const int32_t one = 1;
    EXPECT_EQ(PostCloseTableUnique(path.c_str(), ",", &one, dir.c_str(), 1), TBL_OK);
    // The last user reports its removal.
    tavlin::Index gone = tavlin::Index::prepare(path, dir);
    ASSERT_EQ(PostCloseTable(path.c_str(), dir.c_str()), TBL_OK);
    gone.close(ec);
    EXPECT_EQ(ec, TBL_ERR_REMOVE);
}

} // namespace
