// The public header is the whole contract: every exported function has a
// documentation block that names the codes it returns, the code table of
// docs/host.md says what the header's code list says, and the codes the calls
// below provoke are named in the blocks of the functions that return them.
#include <gtest/gtest.h>
#include <tavlin32.h>

#include <algorithm>
#include <climits>
#include <cstring>
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
    }
}

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

    tavltest::Table edit_t, preview_t, indexed_t, single_t;
    ASSERT_EQ(edit_t.Open(edited), TBL_OK);
    ASSERT_EQ(preview_t.Open(good, OPEN_PREVIEW), TBL_OK);
    ASSERT_EQ(indexed_t.Open(good, OPEN_INDEXED, ',', 1, dir), TBL_OK);
    ASSERT_EQ(single_t.Open(one), TBL_OK);
    TableHandle *edit = edit_t.h, *preview = preview_t.h, *indexed = indexed_t.h, *single = single_t.h;
    char buf[8];
    int32_t n = 0;
    tavltest::ExpectDocumentedResults({
        {"CreateTable", [&] { return CreateTable(missing.c_str(), '\\'); }, TBL_ERR_DELIMITER},
        {"TableExist", [&] { return TableExist(missing.c_str()); }, TBL_ERR_NO_FILE},
        {"OpenTable", [&] { return TryOpen(good, OPEN_EDIT, "\"", nullptr, nullptr); }, TBL_ERR_DELIMITER},
        {"OpenTable", [&] { return TryOpen(missing, OPEN_EDIT, nullptr, nullptr, nullptr); }, TBL_ERR_NO_FILE},
        {"OpenTableUnique", [&] { return TryOpen(good, 7, nullptr, nullptr, nullptr); }, TBL_ERR_MODE},
        {"OpenTableUnique", [&] { return TryOpen(good, OPEN_EDIT, nullptr, &below, nullptr); }, TBL_ERR_RANGE},
        {"OpenTable", [&] { return TryOpen(ragged, OPEN_PREVIEW, nullptr, nullptr, nullptr); }, TBL_ERR_FORMAT},
        {"OpenTable", [&] { return TryOpen(good, OPEN_INDEXED, nullptr, nullptr, none.c_str()); },
         TBL_ERR_INDEX_OPEN},
        {"OpenTable", [&] { return TryOpen(gone, OPEN_INDEXED, nullptr, nullptr, gone_dir.c_str()); },
         TBL_ERR_MAP_DATA},
        {"SaveTable", [&] { return SaveTable(preview, (TempDir() + "/contract_out.csv").c_str()); }, TBL_ERR_MODE},
        {"SaveTable", [&] { CreateRow(single); return SaveTable(single, one.c_str()); }, TBL_ERR_SAVE_ROW},
        {"PreOpenTable", [&] { return PreOpenTable(good.c_str(), dir.c_str(), ",", &h1, 0); },
         TBL_ERR_INDEX_EXISTS},
        {"PreOpenTable", [&] { return PreOpenTable(empty.c_str(), none.c_str(), ",", &h1, 0); }, TBL_ERR_MAP_DATA},
        {"PreOpenTableUnique", [&] { return PreOpenTableUnique(ragged.c_str(), none.c_str(), ",", &h5, 0, 1); },
         TBL_ERR_FORMAT},
        {"PostCloseTable", [&] { return PostCloseTable(ragged.c_str(), none.c_str()); }, TBL_ERR_REMOVE},
        {"GetNumberOfLinesEx", [&] { return GetNumberOfLinesEx(empty.c_str(), ",", nullptr); }, TBL_ERR_MAP_DATA},
        {"GetNumberOfLinesEx", [&] { return GetNumberOfLinesEx(good.c_str(), ",", &huge); }, TBL_ERR_RANGE},
        {"GetNumberOfLinesEx", [&] { return GetNumberOfLinesEx(good.c_str(), ",", &h1); }, 2},
        {"GetColumnIndex", [&] { return GetColumnIndex(edit, "z", &n); }, TBL_ERR_NO_COLUMN},
        {"GetColAttrByIndex", [&] { return GetColAttrByIndex(edit, 0, "width", buf, &n, sizeof buf); }, TBL_ERR_ATTR},
        {"GetColAttrByIndex", [&] { return GetColAttrByIndex(edit, 2, "name", buf, &n, sizeof buf); }, TBL_ERR_RANGE},
        {"GetColAttrByName", [&] { return GetColAttrByName(edit, "a", "name", buf, &n, 1); }, TBL_ERR_TRUNCATED},
        {"GetColHeadSizeByIndex", [&] { return GetColHeadSizeByIndex(indexed, 1); }, 2},
        {"GetColHeadSizeByName", [&] { return GetColHeadSizeByName(edit, "z"); }, TBL_ERR_RANGE},
        {"CreateColumn", [&] { return CreateColumn(edit, 5, "c"); }, TBL_ERR_RANGE},
        {"CreateColumn", [&] { return CreateColumn(indexed, -1, "c"); }, TBL_ERR_MODE},
        {"GetCellValByIndex", [&] { return GetCellValByIndex(indexed, 0, 2, buf, &n, sizeof buf); }, TBL_ERR_RANGE},
        {"GetCellValByName", [&] { return GetCellValByName(preview, "b", 1, buf, &n, 1); }, TBL_ERR_TRUNCATED},
        {"GetHeadCellValByIndex", [&] { return GetHeadCellValByIndex(edit, 0, 1, buf, &n, sizeof buf); },
         TBL_ERR_RANGE},
        {"GetCellSizeByIndex", [&] { return GetCellSizeByIndex(edit, 0, 0); }, 2},
        {"GetCellSizeByName", [&] { return GetCellSizeByName(indexed, "b", 5); }, TBL_ERR_RANGE},
        {"SetCellValByIndex", [&] { return SetCellValByIndex(indexed, 0, 0, "x", 1); }, TBL_ERR_MODE},
        {"SetCellValByName", [&] { return SetCellValByName(edit, "z", 0, "x", 1); }, TBL_ERR_NO_COLUMN},
        {"SetHeadCellValByIndex", [&] { return SetHeadCellValByIndex(preview, 2, 0, "x", 1); }, TBL_ERR_RANGE},
        {"CreateRow", [&] { return CreateRow(indexed); }, TBL_ERR_MODE},
    });
    // Closed before the indexes go: a mapped index cannot be removed on Windows.
    for (TableHandle *t : {edit, preview, indexed, single}) EXPECT_EQ(CloseTable(t), TBL_OK);
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

} // namespace
