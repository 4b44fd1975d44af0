// Every export with null pointers, and on handles that are null, fresh from
// NewTable, left by a failed open, or closed: each returns its code (a
// fresh handle answers as an empty OPEN_INDEXED table), none crashes, none
// touches released memory (the sanitizer build proves that), none leaks,
// and the header's block of each names every code it gives here.
#include <gtest/gtest.h>
#include <pellus.h>
#include <tavlin32.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "testsupport.h"

namespace {

using tavltest::TempDir;
using tavltest::WriteFile;

const std::string &GoodFile() {
    static const std::string path = WriteFile("nulls_good.csv", "a,b\r\n1,2\r\n3,4\r\n");
    return path;
}

// An index directory holding a prepared index of GoodFile().
const std::string &PreparedDir() {
    static const std::string dir = [] {
        std::string d = TempDir() + "/nulls_idx";
        std::filesystem::create_directories(d);
        const int32_t one = 1;
        EXPECT_EQ(PreOpenTable(GoodFile().c_str(), d.c_str(), ",", &one, 1), TBL_OK);
        return d;
    }();
    return dir;
}

enum State { kNull, kFresh, kFailedLoad, kFailedIndexed, kClosedLoaded, kClosedIndexed, kStates };
const char *const kStateNames[] = {"null", "fresh", "failed load", "failed indexed open", "closed loaded",
                                   "closed indexed"};

// A handle in the given state (null for kNull).
TableHandle *Make(State s) {
    if (s == kNull) return nullptr;
    TableHandle *t = nullptr;
    EXPECT_EQ(NewTable(&t), TBL_OK);
    switch (s) {
    case kFailedLoad: {
        std::string bad = WriteFile("nulls_ragged.csv", "a,b\n1,2,3\n");
        EXPECT_EQ(OpenTable(bad.c_str(), t, OPEN_EDIT, nullptr, nullptr, nullptr), TBL_ERR_FORMAT);
        break;
    }
    case kFailedIndexed:
        EXPECT_EQ(OpenTable(GoodFile().c_str(), t, OPEN_INDEXED, nullptr, nullptr, TempDir().c_str()),
                  TBL_ERR_INDEX_OPEN);
        break;
    case kClosedLoaded:
        EXPECT_EQ(OpenTable(GoodFile().c_str(), t, OPEN_EDIT, nullptr, nullptr, nullptr), TBL_OK);
        EXPECT_EQ(CloseTable(t), TBL_OK);
        break;
    case kClosedIndexed:
        EXPECT_EQ(OpenTable(GoodFile().c_str(), t, OPEN_INDEXED, nullptr, nullptr, PreparedDir().c_str()), TBL_OK);
        EXPECT_EQ(CloseTable(t), TBL_OK);
        break;
    default:
        break;
    }
    return t;
}

void Dispose(TableHandle *t) {
    if (!t) return;
    int32_t rc = CloseTable(t);
    EXPECT_TRUE(rc == TBL_OK) << "CloseTable while disposing gave " << rc;
    EXPECT_EQ(FreeTable(t), TBL_OK);
}

constexpr int32_t BAD = TBL_ERR_BAD_HANDLE, RANGE = TBL_ERR_RANGE, MODE = TBL_ERR_MODE, OK = TBL_OK;

struct HandleCase {
    const char *name;
    std::function<int32_t(TableHandle *)> call;
    int32_t expect[kStates]; // by State
    bool frees = false;      // the call itself gives the handle back
};

// Closed and failed handles answer BAD_HANDLE, except the two writers by
// index, which answer RANGE for any handle they cannot use.
std::vector<HandleCase> HandleCases() {
    static char buf[16];
    static int32_t n;
    return {
        {"GetColumnCount", [](TableHandle *t) { n = -1; return GetColumnCount(t, &n); }, {BAD, OK, BAD, BAD, BAD, BAD}},
        {"GetLineCount", [](TableHandle *t) { n = -1; return GetLineCount(t, &n); }, {BAD, OK, BAD, BAD, BAD, BAD}},
        {"GetColumnIndex", [](TableHandle *t) { return GetColumnIndex(t, "a", &n); },
         {BAD, TBL_ERR_NO_COLUMN, BAD, BAD, BAD, BAD}},
        {"GetColAttrByIndex", [](TableHandle *t) { return GetColAttrByIndex(t, 0, "name", buf, &n, sizeof buf); },
         {BAD, RANGE, BAD, BAD, BAD, BAD}},
        {"GetColAttrByName", [](TableHandle *t) { return GetColAttrByName(t, "a", "name", buf, &n, sizeof buf); },
         {BAD, RANGE, BAD, BAD, BAD, BAD}},
        {"GetColHeadSizeByIndex", [](TableHandle *t) { return GetColHeadSizeByIndex(t, 0); },
         {BAD, RANGE, BAD, BAD, BAD, BAD}},
        {"GetColHeadSizeByName", [](TableHandle *t) { return GetColHeadSizeByName(t, "a"); },
         {BAD, RANGE, BAD, BAD, BAD, BAD}},
        {"CreateColumn", [](TableHandle *t) { return CreateColumn(t, -1, "c"); }, {BAD, MODE, BAD, BAD, BAD, BAD}},
        {"GetCellValByIndex", [](TableHandle *t) { return GetCellValByIndex(t, 0, 0, buf, &n, sizeof buf); },
         {BAD, RANGE, BAD, BAD, BAD, BAD}},
        {"GetCellValByName", [](TableHandle *t) { return GetCellValByName(t, "a", 0, buf, &n, sizeof buf); },
         {BAD, RANGE, BAD, BAD, BAD, BAD}},
        {"GetHeadCellValByIndex", [](TableHandle *t) { return GetHeadCellValByIndex(t, 0, 0, buf, &n, sizeof buf); },
         {BAD, RANGE, BAD, BAD, BAD, BAD}},
        {"GetCellSizeByIndex", [](TableHandle *t) { return GetCellSizeByIndex(t, 0, 0); },
         {BAD, RANGE, BAD, BAD, BAD, BAD}},
        {"GetCellSizeByName", [](TableHandle *t) { return GetCellSizeByName(t, "a", 0); },
         {BAD, RANGE, BAD, BAD, BAD, BAD}},
        {"SetCellValByIndex", [](TableHandle *t) { return SetCellValByIndex(t, 0, 0, "x", 1); },
         {RANGE, MODE, RANGE, RANGE, RANGE, RANGE}},
        {"SetCellValByName", [](TableHandle *t) { return SetCellValByName(t, "a", 0, "x", 1); },
         {BAD, MODE, BAD, BAD, BAD, BAD}},
        {"SetHeadCellValByIndex", [](TableHandle *t) { return SetHeadCellValByIndex(t, 0, 0, "x", 1); },
         {RANGE, MODE, RANGE, RANGE, RANGE, RANGE}},
        {"CreateRow", [](TableHandle *t) { return CreateRow(t); }, {BAD, MODE, BAD, BAD, BAD, BAD}},
        {"SaveTable", [](TableHandle *t) { return SaveTable(t, (TempDir() + "/nulls_never.csv").c_str()); },
         {BAD, BAD, BAD, BAD, BAD, BAD}},
        {"CloseTable", [](TableHandle *t) { return CloseTable(t); }, {BAD, OK, OK, OK, OK, OK}},
        {"OpenTable", [](TableHandle *t) { return OpenTable(GoodFile().c_str(), t, OPEN_EDIT, nullptr, nullptr, nullptr); },
         {BAD, OK, OK, OK, OK, OK}},
        {"OpenTable indexed",
         [](TableHandle *t) {
             return OpenTable(GoodFile().c_str(), t, OPEN_INDEXED, nullptr, nullptr, PreparedDir().c_str());
         },
         {BAD, OK, OK, OK, OK, OK}},
        {"FreeTable", [](TableHandle *t) { return FreeTable(t); }, {OK, OK, OK, OK, OK, OK}, true},
    };
}

TEST(Nulls, EveryHandleTakingExportInEveryHandleState) {
    const long blocks = pellus_live_blocks();
    int tried = 0;
    for (const HandleCase &c : HandleCases()) {
        for (int s = 0; s < kStates; ++s) {
            SCOPED_TRACE(std::string(c.name) + " on a " + kStateNames[s] + " handle");
            TableHandle *t = Make(static_cast<State>(s));
            if (c.frees && t) {
                // The states that hold something must be closed first.
                EXPECT_EQ(CloseTable(t), TBL_OK);
            }
            const int32_t rc = c.call(t);
            EXPECT_EQ(rc, c.expect[s]);
            EXPECT_TRUE(tavltest::Documents(tavltest::FunctionOf(c.name), rc)) << "its block does not name " << rc;
            ++tried;
            if (!c.frees) Dispose(t);
        }
    }
    EXPECT_EQ(pellus_live_blocks(), blocks) << "heap blocks left behind";
    std::printf("handle states tried: %d calls\n", tried);
}

// Null pointers and impossible lengths on an open table.
TEST(Nulls, NullArgumentsOnAnOpenTable) {
    const long blocks = pellus_live_blocks();
    TableHandle *t = nullptr;
    ASSERT_EQ(NewTable(&t), TBL_OK);
    ASSERT_EQ(OpenTable(GoodFile().c_str(), t, OPEN_EDIT, nullptr, nullptr, nullptr), TBL_OK);
    char buf[16];
    int32_t n = 0;
    tavltest::ExpectDocumentedResults({
        {"GetColumnCount null count", [&] { return GetColumnCount(t, nullptr); }, RANGE},
        {"GetLineCount null count", [&] { return GetLineCount(t, nullptr); }, RANGE},
        {"GetColumnIndex null name", [&] { return GetColumnIndex(t, nullptr, &n); }, TBL_ERR_NO_COLUMN},
        {"GetColumnIndex null index", [&] { return GetColumnIndex(t, "a", nullptr); }, RANGE},
        {"GetColAttrByIndex null attribute", [&] { return GetColAttrByIndex(t, 0, nullptr, buf, &n, 16); },
         TBL_ERR_ATTR},
        {"GetColAttrByIndex null value", [&] { return GetColAttrByIndex(t, 0, "name", nullptr, &n, 16); }, RANGE},
        {"GetColAttrByIndex null length", [&] { return GetColAttrByIndex(t, 0, "index", buf, nullptr, 16); },
         RANGE},
        {"GetColAttrByIndex size 0", [&] { return GetColAttrByIndex(t, 0, "head_size", buf, &n, 0); }, RANGE},
        {"GetColAttrByName null name", [&] { return GetColAttrByName(t, nullptr, "name", buf, &n, 16); }, RANGE},
        {"GetColHeadSizeByName null name", [&] { return GetColHeadSizeByName(t, nullptr); }, RANGE},
        {"CreateColumn null name", [&] { return CreateColumn(t, -1, nullptr); }, RANGE},
        {"GetCellValByIndex null buffer", [&] { return GetCellValByIndex(t, 0, 0, nullptr, &n, 16); }, RANGE},
        {"GetCellValByIndex null out length", [&] { return GetCellValByIndex(t, 0, 0, buf, nullptr, 16); }, RANGE},
        {"GetCellValByIndex length 0", [&] { return GetCellValByIndex(t, 0, 0, buf, &n, 0); }, RANGE},
        {"GetCellValByIndex length -1", [&] { return GetCellValByIndex(t, 0, 0, buf, &n, -1); }, RANGE},
        {"GetCellValByName null name", [&] { return GetCellValByName(t, nullptr, 0, buf, &n, 16); }, RANGE},
        {"GetCellValByName null buffer", [&] { return GetCellValByName(t, "a", 0, nullptr, &n, 16); }, RANGE},
        {"GetHeadCellValByIndex null buffer", [&] { return GetHeadCellValByIndex(t, 0, 0, nullptr, &n, 16); },
         RANGE},
        {"GetHeadCellValByIndex null out length",
         [&] { return GetHeadCellValByIndex(t, 0, 0, buf, nullptr, 16); }, RANGE},
        {"GetCellSizeByName null name", [&] { return GetCellSizeByName(t, nullptr, 0); }, RANGE},
        {"SetCellValByIndex null value", [&] { return SetCellValByIndex(t, 0, 0, nullptr, 1); }, RANGE},
        {"SetCellValByIndex negative length", [&] { return SetCellValByIndex(t, 0, 0, "x", -1); }, RANGE},
        // A cell size of INT32_MAX + 1 could never be read back: refused
        // before the value is read.
        {"SetCellValByIndex length INT32_MAX", [&] { return SetCellValByIndex(t, 0, 0, "x", INT32_MAX); },
         RANGE},
        {"SetCellValByName null name", [&] { return SetCellValByName(t, nullptr, 0, "x", 1); },
         TBL_ERR_NO_COLUMN},
        {"SetCellValByName null value", [&] { return SetCellValByName(t, "a", 0, nullptr, 3); }, RANGE},
        {"SetHeadCellValByIndex null value", [&] { return SetHeadCellValByIndex(t, 0, 0, nullptr, 1); }, RANGE},
        {"SaveTable null path", [&] { return SaveTable(t, nullptr); }, TBL_ERR_SAVE_OPEN},
        {"SaveTable empty path", [&] { return SaveTable(t, ""); }, TBL_ERR_SAVE_OPEN},
    });
    // None of the refusals changed the table, and it still saves and closes.
    int32_t size = 0;
    EXPECT_EQ(GetCellValByIndex(t, 0, 0, buf, &size, sizeof buf), TBL_OK);
    EXPECT_STREQ(buf, "1");
    EXPECT_EQ(GetHeadCellValByIndex(t, 0, 0, buf, &size, sizeof buf), TBL_OK);
    EXPECT_STREQ(buf, "a");
    n = -1;
    EXPECT_EQ(GetColumnCount(t, &n), TBL_OK);
    EXPECT_EQ(n, 2);
    std::string out = TempDir() + "/nulls_saved.csv";
    EXPECT_EQ(SaveTable(t, out.c_str()), TBL_OK);
    EXPECT_EQ(tavltest::ReadFile(out), "a,b\r\n1,2\r\n3,4\r\n");

    // A null value of length 0 is the empty value.
    EXPECT_EQ(SetCellValByIndex(t, 1, 1, nullptr, 0), TBL_OK);
    EXPECT_EQ(GetCellSizeByIndex(t, 1, 1), 1);
    EXPECT_EQ(CloseTable(t), TBL_OK);
    EXPECT_EQ(FreeTable(t), TBL_OK);
    EXPECT_EQ(pellus_live_blocks(), blocks);
}

// The exports that take no handle.
TEST(Nulls, NullArgumentsWithoutAHandle) {
    const std::string dir = PreparedDir();
    const std::string &path = GoodFile();
    const int32_t one = 1;
    tavltest::ExpectDocumentedResults({
        {"NewTable null out", [] { return NewTable(nullptr); }, BAD},
        {"FreeTable null", [] { return FreeTable(nullptr); }, OK},
        {"CloseTable null", [] { return CloseTable(nullptr); }, BAD},
        {"CreateTable null path", [] { return CreateTable(nullptr, ','); }, TBL_ERR_CREATE},
        {"TableExist null path", [] { return TableExist(nullptr); }, TBL_ERR_NO_FILE},
        {"OpenTable null path",
         [] {
             TableHandle *t = nullptr;
             NewTable(&t);
             int32_t rc = OpenTable(nullptr, t, OPEN_EDIT, nullptr, nullptr, nullptr);
             FreeTable(t);
             return rc;
         },
         TBL_ERR_NO_FILE},
        {"OpenTable null handle", [&] { return OpenTable(path.c_str(), nullptr, OPEN_EDIT, nullptr, nullptr, nullptr); },
         BAD},
        {"OpenTable indexed null index directory",
         [&] {
             TableHandle *t = nullptr;
             NewTable(&t);
             int32_t rc = OpenTable(path.c_str(), t, OPEN_INDEXED, nullptr, nullptr, nullptr);
             CloseTable(t);
             FreeTable(t);
             return rc;
         },
         TBL_ERR_INDEX_OPEN},
        {"PreOpenTable null path", [&] { return PreOpenTable(nullptr, dir.c_str(), ",", &one, 1); }, TBL_ERR_NO_FILE},
        {"PreOpenTable null directory", [&] { return PreOpenTable(path.c_str(), nullptr, ",", &one, 1); },
         TBL_ERR_INDEX_BUILD},
        {"PreOpenTable null delimiter", [&] { return PreOpenTable(path.c_str(), dir.c_str(), nullptr, &one, 1); },
         TBL_ERR_INDEX_BUILD},
        {"PreOpenTable null header lines", [&] { return PreOpenTable(path.c_str(), dir.c_str(), ",", nullptr, 1); },
         TBL_ERR_INDEX_BUILD},
        {"PreOpenTableUnique null path", [&] { return PreOpenTableUnique(nullptr, dir.c_str(), ",", &one, 1, 1); },
         TBL_ERR_NO_FILE},
        {"PreOpenTableUnique null directory",
         [&] { return PreOpenTableUnique(path.c_str(), nullptr, ",", &one, 1, 1); }, TBL_ERR_INDEX_BUILD},
        {"PreOpenTableUnique null delimiter",
         [&] { return PreOpenTableUnique(path.c_str(), dir.c_str(), nullptr, &one, 1, 1); }, TBL_ERR_INDEX_BUILD},
        {"PreOpenTableUnique null header lines",
         [&] { return PreOpenTableUnique(path.c_str(), dir.c_str(), ",", nullptr, 1, 1); }, TBL_ERR_INDEX_BUILD},
        {"PostCloseTable null path", [&] { return PostCloseTable(nullptr, dir.c_str()); }, TBL_ERR_REMOVE},
        {"PostCloseTable null directory", [&] { return PostCloseTable(path.c_str(), nullptr); }, TBL_ERR_REMOVE},
        {"PostCloseTableUnique null delimiter",
         [&] { return PostCloseTableUnique(path.c_str(), nullptr, &one, dir.c_str(), 1); }, TBL_ERR_REMOVE},
        {"PostCloseTableUnique null header lines",
         [&] { return PostCloseTableUnique(path.c_str(), ",", nullptr, dir.c_str(), 1); }, TBL_ERR_REMOVE},
        {"GetNumberOfLinesEx null path", [] { return GetNumberOfLinesEx(nullptr, ",", nullptr); }, TBL_ERR_NO_FILE},
        // The count needs neither the delimiter nor a number to subtract.
        {"GetNumberOfLinesEx null delimiter and subtrahend",
         [&] { return GetNumberOfLinesEx(path.c_str(), nullptr, nullptr); }, 3},
    });
    // The index prepared before is still there, alone, and still opens.
    EXPECT_EQ(tavltest::Listing(dir).size(), 1u);
    TableHandle *t = nullptr;
    ASSERT_EQ(NewTable(&t), TBL_OK);
    EXPECT_EQ(OpenTable(path.c_str(), t, OPEN_INDEXED, nullptr, nullptr, dir.c_str()), TBL_OK);
    Dispose(t);
}

} // namespace
