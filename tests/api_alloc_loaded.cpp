// Allocation failure at every allocation of the loaded-table operations:
// each failing run returns TBL_ERR_NO_MEMORY (or the open's documented
// code), never success; a failed change leaves the table as it was; the
// table still closes; and no block is leaked.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tavlin32.h"
#include "testsupport.h"
#ifdef _WIN32
#  include <windows.h>
#else
#  include <kernel32.h>
#endif

using tavltest::Arm;
using tavltest::Disarm;
using tavltest::ReadFile;
using tavltest::SweepAllocationFailures;
using tavltest::TempDir;
using tavltest::WriteFile;

namespace {

const char kFile[] = "a,b,c\r\nh1,h2,h3\r\n1,x\\x0ay,\"\"\r\n4,5\",\",6\r\n";
const int32_t kHeader = 2;

// Every name and cell of the table, as the public calls read them, and in
// OPEN_EDIT the text a save writes (which shows every byte of the lines).
std::string Dump(TableHandle *h, int mode = OPEN_PREVIEW) {
    int32_t cols = 0, lines = 0, n = 0;
    GetColumnCount(h, &cols);
    GetLineCount(h, &lines);
    std::string out;
    char buf[64];
    for (int c = 0; c < cols; c++) {
        GetColAttrByIndex(h, c, "name", buf, &n, sizeof buf);
        out += std::string(buf) + "|";
    }
    for (int l = -kHeader; l < lines; l++)
        for (int c = 0; c < cols; c++) {
            int rc = l < 0 ? GetHeadCellValByIndex(h, c, l + kHeader, buf, &n, sizeof buf)
                           : GetCellValByIndex(h, c, l, buf, &n, sizeof buf);
            out += rc == TBL_OK ? std::string(buf, static_cast<size_t>(n - 1)) + ";"
                                : "<" + std::to_string(rc) + ">";
        }
    out += std::to_string(lines);
    if (mode == OPEN_EDIT) {
        std::string snap = TempDir() + "/alloc_snapshot.csv";
        EXPECT_EQ(SaveTable(h, snap.c_str()), TBL_OK);
        out += "|" + ReadFile(snap);
    }
    return out;
}

// Sweeps op over a table freshly opened in mode: success with the failure
// switch off, TBL_ERR_NO_MEMORY and an unchanged table with it on.
long Sweep(int mode, int ok_result, const std::function<int(TableHandle *)> &op) {
    std::string path = WriteFile("alloc.csv", kFile);
    return SweepAllocationFailures([&](long k) {
        TableHandle *h = nullptr;
        ASSERT_EQ(NewTable(&h), TBL_OK);
        ASSERT_EQ(OpenTable(path.c_str(), h, mode, nullptr, &kHeader, nullptr), TBL_OK);
        std::string before = Dump(h, mode);
        Arm(k);
        int rc = op(h);
        Disarm();
        if (k == 0) {
            EXPECT_EQ(rc, ok_result);
        } else {
            EXPECT_EQ(rc, TBL_ERR_NO_MEMORY) << "allocation " << k;
            EXPECT_EQ(Dump(h, mode), before) << "allocation " << k;
        }
        EXPECT_EQ(CloseTable(h), TBL_OK);
        FreeTable(h);
    });
}

TEST(LoadedAlloc, OpenInBothModes) {
    std::string path = WriteFile("alloc_open.csv", kFile);
    for (int mode : {OPEN_EDIT, OPEN_PREVIEW}) {
        long points = SweepAllocationFailures([&](long k) {
            TableHandle *h = nullptr;
            ASSERT_EQ(NewTable(&h), TBL_OK);
            SetLastError(0);
            Arm(k);
            int rc = OpenTable(path.c_str(), h, mode, nullptr, &kHeader, nullptr);
            Disarm();
            if (k == 0) {
                EXPECT_EQ(rc, TBL_OK);
                EXPECT_EQ(Dump(h), "a|b|c|a;b;c;h1;h2;h3;1;x\ny;\"\";4;5,;6;2");
            } else if (rc == TBL_ERR_BAD_HANDLE) { // the column list
                EXPECT_EQ(GetLastError(), 0u);
            } else { // the load
                EXPECT_TRUE(rc == TBL_ERR_NO_MEMORY || rc == TBL_ERR_OPEN) << rc;
                EXPECT_EQ(GetLastError() & 0xF0000000u, 0x20000000u);
            }
            EXPECT_EQ(CloseTable(h), TBL_OK);
            FreeTable(h);
        });
        EXPECT_GE(points, 15);
    }
}

TEST(LoadedAlloc, CellsRowsAndColumns) {
    char buf[16];
    int32_t n;
    // Reads decode straight into the caller's buffer and may allocate
    // nothing (then they cannot fail for want of memory, and the sweep checks
    // the plain run alone); every change allocates at least twice.
    struct Op {
        int ok_result;
        long min_points;
        std::function<int(TableHandle *)> run;
    };
    const std::vector<Op> ops = {
        {TBL_OK, 0, [&](TableHandle *h) { return GetCellValByIndex(h, 1, 0, buf, &n, 16); }},
        {TBL_OK, 0, [&](TableHandle *h) { return GetCellValByName(h, "c", 1, buf, &n, 16); }},
        {TBL_OK, 0, [&](TableHandle *h) { return GetHeadCellValByIndex(h, 2, 1, buf, &n, 16); }},
        {4, 0, [&](TableHandle *h) { return GetCellSizeByIndex(h, 1, 0); }},
        {3, 0, [&](TableHandle *h) { return GetCellSizeByName(h, "b", 1); }},
        {TBL_OK, 2, [&](TableHandle *h) { return SetCellValByIndex(h, 1, 1, "p\0,\\", 4); }},
        {TBL_OK, 2, [&](TableHandle *h) { return SetCellValByName(h, "a", 0, "", 0); }},
        {TBL_OK, 2, [&](TableHandle *h) { return SetHeadCellValByIndex(h, 0, 0, "n,m", 3); }},
        {TBL_OK, 2, [&](TableHandle *h) { return CreateRow(h); }},
        {TBL_OK, 2, [&](TableHandle *h) { return CreateColumn(h, -1, "d"); }},
    };
    for (int mode : {OPEN_EDIT, OPEN_PREVIEW})
        for (size_t i = 0; i < ops.size(); i++) {
            SCOPED_TRACE(i);
            long points = Sweep(mode, ops[i].ok_result, ops[i].run);
            if (ops[i].min_points > 0) {
                EXPECT_GE(points, ops[i].min_points);
            }
        }
}

TEST(LoadedAlloc, SaveKeepsTheOldFile) {
    std::string path = WriteFile("alloc_save.csv", kFile);
    std::string dir = TempDir() + "/alloc_save";
    std::filesystem::create_directories(dir);
    std::string target = dir + "/target.csv";
    long points = SweepAllocationFailures([&](long k) {
        WriteFile("alloc_save/target.csv", "old\r\n");
        TableHandle *h = nullptr;
        ASSERT_EQ(NewTable(&h), TBL_OK);
        ASSERT_EQ(OpenTable(path.c_str(), h, OPEN_EDIT, nullptr, &kHeader, nullptr), TBL_OK);
        Arm(k);
        int rc = SaveTable(h, target.c_str());
        Disarm();
        if (k == 0) {
            EXPECT_EQ(rc, TBL_OK);
            EXPECT_EQ(ReadFile(target), kFile);
        } else {
            EXPECT_EQ(rc, TBL_ERR_NO_MEMORY);
            EXPECT_EQ(ReadFile(target), "old\r\n");
            EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
            EXPECT_EQ(SaveTable(h, target.c_str()), TBL_OK);
            EXPECT_EQ(ReadFile(target), kFile);
        }
        EXPECT_EQ(CloseTable(h), TBL_OK);
        FreeTable(h);
    });
    EXPECT_GE(points, 3);
}

} // namespace
