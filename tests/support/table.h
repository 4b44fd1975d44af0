// A handle for tests of the public interface: made by NewTable, closed and
// given back when the object goes, with the reads most tests want; and the
// preparation of an index with the arguments as values.
#pragma once

#include <gtest/gtest.h>
#include <tavlin32.h>

#include <string>
#include <vector>

namespace tavltest {

struct Table {
    TableHandle *h = nullptr;
    Table() { EXPECT_EQ(NewTable(&h), TBL_OK); }
    ~Table() {
        int32_t rc = CloseTable(h);
        EXPECT_TRUE(rc == TBL_OK || rc == TBL_ERR_CLOSE) << "CloseTable gave " << rc;
        FreeTable(h);
    }
    Table(const Table &) = delete;
    Table &operator=(const Table &) = delete;

    int32_t Open(const std::string &path, int32_t mode = OPEN_EDIT, char d = ',',
                 int32_t header = 1, const std::string &index_dir = "") {
        return OpenTable(path.c_str(), h, mode, &d, &header,
                         index_dir.empty() ? nullptr : index_dir.c_str());
    }
    int32_t Columns() {
        int32_t n = -99;
        EXPECT_EQ(GetColumnCount(h, &n), TBL_OK);
        return n;
    }
    int32_t Lines() {
        int32_t n = -99;
        EXPECT_EQ(GetLineCount(h, &n), TBL_OK);
        return n;
    }
    // The whole decoded cell (sized by GetCellSizeByIndex; a header cell
    // through a large buffer), or "<code>" when it cannot be read. A data
    // cell is read twice: first into a buffer of 4 KiB, as hosts pass (the
    // quick reads, which the second read's line, kept by the general read,
    // would bypass), then into one of its size; both must agree.
    std::string Cell(int32_t col, int32_t line, bool head = false) {
        std::vector<char> wide(4096);
        int32_t wide_out = -99;
        const int32_t wide_rc =
            head ? TBL_OK : GetCellValByIndex(h, col, line, wide.data(), &wide_out, 4096);
        int32_t size = head ? 4096 : GetCellSizeByIndex(h, col, line);
        if (size < 1) return "<" + std::to_string(size) + ">";
        std::vector<char> buf(static_cast<size_t>(size));
        int32_t out = -99;
        int32_t rc = head ? GetHeadCellValByIndex(h, col, line, buf.data(), &out, size)
                          : GetCellValByIndex(h, col, line, buf.data(), &out, size);
        if (rc != TBL_OK) return "<" + std::to_string(rc) + ">";
        std::string value(buf.data(), static_cast<size_t>(out - 1));
        if (!head && size <= 4096) {
            EXPECT_EQ(wide_rc, TBL_OK) << "column " << col << ", line " << line;
            EXPECT_EQ(std::string(wide.data(), static_cast<size_t>(wide_out > 0 ? wide_out - 1 : 0)),
                      value)
                << "column " << col << ", line " << line;
        }
        return value;
    }
    int32_t Set(int32_t col, int32_t line, const std::string &v) {
        return SetCellValByIndex(h, col, line, v.data(), static_cast<int32_t>(v.size()));
    }
};

// Prepares the index of the table at path in dir (PreOpenTableUnique).
inline int32_t Prepare(const std::string &path, const std::string &dir, char d = ',',
                       int32_t header = 1, int32_t overwrite = 0, int32_t unique = 0) {
    return PreOpenTableUnique(path.c_str(), dir.c_str(), &d, &header, overwrite, unique);
}

} // namespace tavltest
