// Allocation failure at every allocation of every operation, loaded and
// indexed: each failing run returns the operation's own code (never
// success), a failed change leaves the table as it was, a failed
// preparation or removal creates or removes no index file, the table still
// closes, and no block is leaked.
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
using tavltest::FreshDir;
using tavltest::ReadFile;
using tavltest::SweepAllocationFailures;
using tavltest::TempDir;
using tavltest::WriteFile;
namespace fs = std::filesystem;

namespace {

const char kFile[] = "a,b,c\r\nh1,h2,h3\r\n1,x\\x0ay,\"\"\r\n4,5\",\",6\r\n";
const int32_t kHeader = 2;

// Every name and cell of the table, as the public calls read them, and in
// OPEN_EDIT the text a save writes (which shows every byte of the lines).
std::string Dump(TableHandle *h, int mode = OPEN_PREVIEW, int32_t header = kHeader) {
    int32_t cols = 0, lines = 0, n = 0;
    GetColumnCount(h, &cols);
    GetLineCount(h, &lines);
    std::string out;
    char buf[64];
    for (int c = 0; c < cols; c++) {
        GetColAttrByIndex(h, c, "name", buf, &n, sizeof buf);
        out += std::string(buf) + "|";
    }
    for (int l = -header; l < lines; l++)
        for (int c = 0; c < cols; c++) {
            int rc = l < 0 ? GetHeadCellValByIndex(h, c, l + header, buf, &n, sizeof buf)
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
long Sweep(int mode, int ok_result, const std::function<int(TableHandle *)> &op,
           const char *file = kFile) {
    std::string path = WriteFile("alloc.csv", file);
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
    // the plain run alone); so may a cell write whose stored form fits where
    // the old one stood; every other change allocates (a longer cell or a
    // new row one block: its new line).
    struct Op {
        int ok_result;
        long min_points;
        std::function<int(TableHandle *)> run;
        const char *file = kFile;
    };
    // Lines whose last field holds an odd quote, and a last name ending
    // with one: a new column must rebuild them (escaping those fields) and
    // rename a column.
    const char *odd = "a,b\"\r\nh,i\r\n1,2\"\r\n";
    const std::vector<Op> ops = {
        {TBL_OK, 0, [&](TableHandle *h) { return GetCellValByIndex(h, 1, 0, buf, &n, 16); }},
        {TBL_OK, 0, [&](TableHandle *h) { return GetCellValByName(h, "c", 1, buf, &n, 16); }},
        {TBL_OK, 0, [&](TableHandle *h) { return GetHeadCellValByIndex(h, 2, 1, buf, &n, 16); }},
        {4, 0, [&](TableHandle *h) { return GetCellSizeByIndex(h, 1, 0); }},
        {3, 0, [&](TableHandle *h) { return GetCellSizeByName(h, "b", 1); }},
        {TBL_OK, 1, [&](TableHandle *h) { return SetCellValByIndex(h, 1, 1, "p\0,\\", 4); }},
        {TBL_OK, 0, [&](TableHandle *h) { return SetCellValByName(h, "a", 0, "", 0); }},
        {TBL_OK, 1, [&](TableHandle *h) { return SetCellValByName(h, "a", 0, "longer", 6); }},
        {TBL_OK, 2, [&](TableHandle *h) { return SetHeadCellValByIndex(h, 0, 0, "n,m", 3); }},
        {TBL_OK, 1, [&](TableHandle *h) { return CreateRow(h); }},
        {TBL_OK, 2, [&](TableHandle *h) { return CreateColumn(h, -1, "d"); }},
        // A value the plain form cannot hold: stored escaped.
        {TBL_OK, 2, [&](TableHandle *h) { return SetCellValByIndex(h, 1, 0, "\"y", 2); }},
        {TBL_OK, 6, [&](TableHandle *h) { return CreateColumn(h, -1, "\"d"); }, odd},
    };
    for (int mode : {OPEN_EDIT, OPEN_PREVIEW})
        for (size_t i = 0; i < ops.size(); i++) {
            SCOPED_TRACE(i);
            long points = Sweep(mode, ops[i].ok_result, ops[i].run, ops[i].file);
            if (ops[i].min_points > 0) {
                EXPECT_GE(points, ops[i].min_points);
            }
        }
}

TEST(LoadedAlloc, SaveKeepsTheOldFile) {
    std::string path = WriteFile("alloc_save.csv", kFile);
    std::string dir = TempDir() + "/alloc_save";
    fs::create_directories(dir);
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
            EXPECT_EQ(tavltest::Listing(dir).size(), 1u);
            EXPECT_EQ(SaveTable(h, target.c_str()), TBL_OK);
            EXPECT_EQ(ReadFile(target), kFile);
        }
        EXPECT_EQ(CloseTable(h), TBL_OK);
        FreeTable(h);
    });
    EXPECT_GE(points, 3);
}

const char kComma = ',';
const int32_t kOne = 1;

// Enough lines for the index image to grow past its first block.
std::string ManyLines() {
    std::string text = "key,value\r\n";
    for (int i = 0; i < 6000; ++i) text += std::to_string(i) + ",v" + std::to_string(i) + "\r\n";
    return text;
}

size_t Files(const std::string &dir) { return tavltest::Listing(dir).size(); }

TEST(IndexedAlloc, Preparation) {
    std::string path = WriteFile("alloc_many.csv", ManyLines());
    std::string dir = FreshDir("alloc_prep");
    for (int32_t unique : {0, 1}) {
        std::string built;
        long points = SweepAllocationFailures([&](long k) {
            Arm(k);
            int rc = PreOpenTableUnique(path.c_str(), dir.c_str(), &kComma, &kOne, 0, unique);
            Disarm();
            if (k == 0) {
                EXPECT_EQ(rc, TBL_OK);
                ASSERT_EQ(Files(dir), 1u);
                built = ReadFile(fs::directory_iterator(dir)->path().string());
                EXPECT_EQ(built.size(), 8u + 4u * 6001u);
            } else {
                EXPECT_EQ(rc, TBL_ERR_INDEX_BUILD) << "allocation " << k;
                EXPECT_EQ(Files(dir), 0u) << "allocation " << k;
            }
            fs::remove_all(dir);
            fs::create_directories(dir);
        });
        // The write block and the names beside the index, and under a unique
        // flag the hashed text.
        EXPECT_GE(points, unique ? 3 : 2);
    }
}

// The wide form: a data file past 4 GiB (sparse, so it costs no disk) whose
// table ends at its third line, so the scan reads one page of it. A failed
// replacement leaves no index behind either.
TEST(IndexedAlloc, WidePreparation) {
    std::string path = WriteFile("alloc_wide.csv", "a,b\n1,2\nend\n");
    fs::resize_file(path, 0x100000010ull);
    std::string dir = FreshDir("alloc_wide");
    for (int32_t overwrite : {0, 1}) {
        long points = SweepAllocationFailures([&](long k) {
            if (overwrite) {
                ASSERT_EQ(PreOpenTable(path.c_str(), dir.c_str(), &kComma, &kOne, 1), TBL_OK);
            }
            Arm(k);
            int rc = PreOpenTable(path.c_str(), dir.c_str(), &kComma, &kOne, overwrite);
            Disarm();
            if (k == 0) {
                EXPECT_EQ(rc, TBL_OK);
                ASSERT_EQ(Files(dir), 1u);
                EXPECT_EQ(ReadFile(fs::directory_iterator(dir)->path().string()),
                          tavltest::Words({1, 2, 0, 0, 4, 0}));
            } else {
                EXPECT_EQ(rc, TBL_ERR_INDEX_BUILD) << "allocation " << k;
                EXPECT_EQ(Files(dir), 0u) << "allocation " << k;
            }
            fs::remove_all(dir);
            fs::create_directories(dir);
        });
        EXPECT_GE(points, 1);
    }
    std::remove(path.c_str());
}

TEST(IndexedAlloc, TooFewLinesStaysAFormatError) {
    std::string path = WriteFile("alloc_few.csv", "a\nb\n");
    std::string dir = FreshDir("alloc_few");
    int32_t three = 3;
    SweepAllocationFailures([&](long k) {
        Arm(k);
        int rc = PreOpenTable(path.c_str(), dir.c_str(), &kComma, &three, 0);
        Disarm();
        EXPECT_EQ(rc, TBL_ERR_FORMAT) << "allocation " << k;
        EXPECT_EQ(Files(dir), 0u);
    });
}

TEST(IndexedAlloc, LineCountAndRemoval) {
    std::string path = WriteFile("alloc_count.csv", "a,b\n1,2\n\n3,4\n");
    SweepAllocationFailures([&](long k) {
        Arm(k);
        int rc = GetNumberOfLinesEx(path.c_str(), &kComma, nullptr);
        Disarm();
        EXPECT_EQ(rc, 2) << "allocation " << k;
    });

    std::string dir = FreshDir("alloc_remove");
    long points = SweepAllocationFailures([&](long k) {
        ASSERT_EQ(PreOpenTableUnique(path.c_str(), dir.c_str(), &kComma, &kOne, 1, 1), TBL_OK);
        Arm(k);
        int rc = PostCloseTableUnique(path.c_str(), &kComma, &kOne, dir.c_str(), 1);
        Disarm();
        if (k == 0) {
            EXPECT_EQ(rc, TBL_OK);
            EXPECT_EQ(Files(dir), 0u);
        } else {
            EXPECT_EQ(rc, TBL_ERR_REMOVE) << "allocation " << k;
            EXPECT_EQ(Files(dir), 1u) << "allocation " << k;
        }
    });
    EXPECT_EQ(points, 1);
}

const char kTable[] = "a,b,c\r\n1,x\\x0ay,\"\r\n4,5\",\",6\r\n";

TEST(IndexedAlloc, OpenAndRead) {
    std::string path = WriteFile("alloc_open.csv", kTable);
    std::string dir = FreshDir("alloc_open");
    for (int32_t unique : {0, 1}) {
        ASSERT_EQ(PreOpenTableUnique(path.c_str(), dir.c_str(), &kComma, &kOne, 1, unique),
                  TBL_OK);
        long points = SweepAllocationFailures([&](long k) {
            TableHandle *h = nullptr;
            ASSERT_EQ(NewTable(&h), TBL_OK);
            Arm(k);
            int rc = OpenTableUnique(path.c_str(), h, OPEN_INDEXED, &kComma, &kOne,
                                     dir.c_str(), unique);
            Disarm();
            if (k == 0) {
                EXPECT_EQ(rc, TBL_OK);
                EXPECT_EQ(Dump(h, OPEN_INDEXED, 1), "a|b|c|a;b;c;1;x\ny;\";4;5,;6;2");
            } else if (unique && k == 1) { // the hashed text of the name
                EXPECT_EQ(rc, TBL_ERR_INDEX_OPEN);
            } else { // the column list
                EXPECT_EQ(rc, TBL_ERR_BAD_HANDLE) << "allocation " << k;
            }
            EXPECT_EQ(CloseTable(h), TBL_OK);
            FreeTable(h);
        });
        EXPECT_GE(points, unique ? 4 : 3);
    }

    // Reads of an indexed table decode straight into the caller's buffer and
    // may allocate nothing; whatever they allocate may fail only with
    // TBL_ERR_NO_MEMORY and must leave the table as it was.
    char buf[16];
    int32_t n;
    const std::vector<std::pair<int, std::function<int(TableHandle *)>>> reads = {
        {TBL_OK, [&](TableHandle *h) { return GetCellValByIndex(h, 1, 0, buf, &n, 16); }},
        {TBL_OK, [&](TableHandle *h) { return GetCellValByName(h, "b", 1, buf, &n, 16); }},
        {TBL_OK, [&](TableHandle *h) { return GetHeadCellValByIndex(h, 2, 0, buf, &n, 16); }},
        {4, [&](TableHandle *h) { return GetCellSizeByIndex(h, 1, 0); }},
        {3, [&](TableHandle *h) { return GetCellSizeByName(h, "b", 1); }},
    };
    for (size_t i = 0; i < reads.size(); ++i) {
        SCOPED_TRACE(i);
        SweepAllocationFailures([&](long k) {
            TableHandle *h = nullptr;
            ASSERT_EQ(NewTable(&h), TBL_OK);
            ASSERT_EQ(OpenTableUnique(path.c_str(), h, OPEN_INDEXED, &kComma, &kOne,
                                      dir.c_str(), 1),
                      TBL_OK);
            std::string before = Dump(h, OPEN_INDEXED, 1);
            Arm(k);
            int rc = reads[i].second(h);
            Disarm();
            EXPECT_EQ(rc, k == 0 ? reads[i].first : TBL_ERR_NO_MEMORY) << "allocation " << k;
            EXPECT_EQ(Dump(h, OPEN_INDEXED, 1), before);
            EXPECT_EQ(CloseTable(h), TBL_OK);
            FreeTable(h);
        });
    }
}

} // namespace
