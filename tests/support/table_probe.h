// table_probe.h - drives an open table through the public interface and
// checks that every answer agrees with every other one.
//
// Shared by the fuzz targets and the hostile-input tests. Each check returns
// "" when the table behaved, or a sentence saying what went wrong; callers
// abort (fuzzing) or fail the test. Work is bounded: of many lines or
// columns only the first and last few are visited, so a huge table costs
// no more than a small one.
#pragma once

#include <tavlin32.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tavlprobe {

// What one cell read gave: TBL_OK and the decoded bytes, or the code.
struct Cell {
    int32_t rc = TBL_OK;
    std::string value;
    bool operator==(const Cell &o) const { return rc == o.rc && value == o.value; }
    bool operator!=(const Cell &o) const { return !(*this == o); }
};

// The visited part of a table: its counts and the cells read, keyed by
// (line, column). Header cells use line numbers below zero: -1 - h.
struct Snapshot {
    int32_t columns = 0;
    int32_t lines = 0;
    int32_t header_lines = 0;
    std::map<std::pair<int32_t, int32_t>, Cell> cells;
};

struct Limits {
    int32_t lines = 48;   // data lines visited (first and last half)
    int32_t columns = 24; // columns visited (first and last half)
    int32_t header_lines = 4;
};

// Indexes 0..n-1 when n <= limit, else the first and the last limit/2.
inline std::vector<int32_t> Pick(int64_t n, int32_t limit) {
    std::vector<int32_t> out;
    if (n <= 0) return out;
    if (n <= limit) {
        for (int32_t i = 0; i < n; ++i) out.push_back(i);
        return out;
    }
    int32_t half = limit / 2 > 0 ? limit / 2 : 1;
    for (int32_t i = 0; i < half; ++i) out.push_back(i);
    for (int64_t i = n - half; i < n; ++i) out.push_back(static_cast<int32_t>(i));
    return out;
}

inline std::string Printable(const std::string &bytes, size_t max = 40) {
    std::string out;
    for (size_t i = 0; i < bytes.size() && i < max; ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02x", c);
            out += esc;
        }
    }
    if (bytes.size() > max) out += "...";
    return out;
}

inline std::string Where(int32_t column, int32_t line) {
    return "cell (" + std::to_string(column) + ", " + std::to_string(line) + ")";
}

// A caller's buffer with guard bytes behind it, to see writes past its end.
class Guarded {
public:
    explicit Guarded(int32_t length) : bytes_(static_cast<size_t>(length) + kGuard, kFill), length_(length) {}
    char *data() { return bytes_.data(); }
    int32_t length() const { return length_; }
    bool guard_intact() const {
        for (size_t i = static_cast<size_t>(length_); i < bytes_.size(); ++i)
            if (bytes_[i] != kFill) return false;
        return true;
    }
    bool untouched() const {
        for (char c : bytes_)
            if (c != kFill) return false;
        return true;
    }

private:
    static constexpr size_t kGuard = 8;
    static constexpr char kFill = static_cast<char>(0xA5);
    std::vector<char> bytes_;
    int32_t length_;
};

// Reads a data cell through the size reader and the reader with a fitting,
// a short and a one-byte buffer; all must agree.
inline std::string ReadDataCell(TableHandle *t, int32_t column, int32_t line, Cell *out) {
    const std::string at = Where(column, line);
    // First into a buffer of 64 KiB, as hosts pass: the quick reads (a read
    // after the others would find its line kept by the general read).
    std::vector<char> wide(65536);
    int32_t wide_got = -7777;
    const int32_t wide_rc =
        GetCellValByIndex(t, column, line, wide.data(), &wide_got, static_cast<int32_t>(wide.size()));
    int32_t size = GetCellSizeByIndex(t, column, line);
    if (size == 0) return at + ": cell size 0 (a size is at least 1)";
    Guarded full(size > 0 ? size : 16);
    int32_t got = -7777;
    int32_t rc = GetCellValByIndex(t, column, line, full.data(), &got, full.length());
    if (size < 0) {
        if (wide_rc != size)
            return at + ": size reader gave " + std::to_string(size) + " but a large buffer " +
                   std::to_string(wide_rc);
        if (rc != size)
            return at + ": size reader gave " + std::to_string(size) + " but reader " + std::to_string(rc);
        if (!full.untouched()) return at + ": a failed read wrote into the buffer";
        out->rc = rc;
        out->value.clear();
        return "";
    }
    if (rc != TBL_OK)
        return at + ": size " + std::to_string(size) + " but a buffer of that size gave " + std::to_string(rc);
    if (got != size)
        return at + ": out length " + std::to_string(got) + " differs from size " + std::to_string(size);
    if (full.data()[size - 1] != '\0') return at + ": value not NUL-terminated";
    if (!full.guard_intact()) return at + ": reader wrote past the buffer";
    out->rc = TBL_OK;
    out->value.assign(full.data(), static_cast<size_t>(size - 1));

    if (size <= static_cast<int32_t>(wide.size()) &&
        (wide_rc != TBL_OK || wide_got != size ||
         std::memcmp(wide.data(), full.data(), static_cast<size_t>(size)) != 0))
        return at + ": a large buffer reads another value than one of the cell's size";

    if (size >= 2) {
        Guarded cut(size - 1);
        got = -7777;
        rc = GetCellValByIndex(t, column, line, cut.data(), &got, cut.length());
        if (rc != TBL_ERR_TRUNCATED) return at + ": short buffer gave " + std::to_string(rc);
        if (got != size) return at + ": short buffer reported out length " + std::to_string(got);
        if (cut.data()[size - 2] != '\0' || !cut.guard_intact())
            return at + ": cut value not terminated within the buffer";
        if (std::memcmp(cut.data(), out->value.data(), static_cast<size_t>(size - 2)) != 0)
            return at + ": cut value differs from the full one";
        Guarded one(1);
        rc = GetCellValByIndex(t, column, line, one.data(), &got, 1);
        if (rc != TBL_ERR_TRUNCATED || one.data()[0] != '\0' || !one.guard_intact())
            return at + ": one-byte buffer not handled as a cut value";
    }
    return "";
}

// Reads a header cell, growing the buffer once when the value is cut.
inline std::string ReadHeadCell(TableHandle *t, int32_t column, int32_t line, Cell *out) {
    const std::string at = "header " + Where(column, line);
    Guarded small(24);
    int32_t got = -7777;
    int32_t rc = GetHeadCellValByIndex(t, column, line, small.data(), &got, small.length());
    if (!small.guard_intact()) return at + ": reader wrote past the buffer";
    if (rc == TBL_OK) {
        if (got < 1 || got > small.length() || small.data()[got - 1] != '\0')
            return at + ": out length " + std::to_string(got) + " does not match the value";
        out->rc = rc;
        out->value.assign(small.data(), static_cast<size_t>(got - 1));
        return "";
    }
    if (rc != TBL_ERR_TRUNCATED) {
        if (rc >= 0) return at + ": positive result " + std::to_string(rc);
        out->rc = rc;
        out->value.clear();
        return "";
    }
    if (got <= small.length()) return at + ": cut although the value fits";
    Guarded full(got);
    int32_t again = -7777;
    rc = GetHeadCellValByIndex(t, column, line, full.data(), &again, full.length());
    if (rc != TBL_OK || again != got || full.data()[got - 1] != '\0' || !full.guard_intact())
        return at + ": retry with the reported size failed";
    if (std::memcmp(full.data(), small.data(), static_cast<size_t>(small.length() - 1)) != 0)
        return at + ": cut value differs from the full one";
    out->rc = TBL_OK;
    out->value.assign(full.data(), static_cast<size_t>(got - 1));
    return "";
}

// The name of a column through its attributes, checked against its head
// size, its index attribute and the lookup by name.
inline std::string CheckColumn(TableHandle *t, int32_t column, std::string *name_out) {
    const std::string at = "column " + std::to_string(column);
    int32_t head = GetColHeadSizeByIndex(t, column);
    if (head < 1) return at + ": head size " + std::to_string(head);
    Guarded name(head);
    int32_t length = -1;
    int32_t rc = GetColAttrByIndex(t, column, "name", name.data(), &length, static_cast<uint32_t>(head));
    if (rc != TBL_OK || length != head - 1 || name.data()[head - 1] != '\0' || !name.guard_intact())
        return at + ": name attribute disagrees with the head size";
    std::string text(name.data(), static_cast<size_t>(length));
    if (text.find('\0') != std::string::npos) return at + ": name holds a NUL before its end";

    char number[32];
    Guarded digits(16);
    rc = GetColAttrByIndex(t, column, "index", digits.data(), &length, 16);
    std::snprintf(number, sizeof number, "%d", column);
    if (rc != TBL_OK || std::string(digits.data(), static_cast<size_t>(length > 0 ? length : 0)) != number)
        return at + ": index attribute wrong";
    rc = GetColAttrByIndex(t, column, "head_size", digits.data(), &length, 16);
    std::snprintf(number, sizeof number, "%d", head - 1);
    if (rc != TBL_OK || std::string(digits.data(), static_cast<size_t>(length > 0 ? length : 0)) != number)
        return at + ": head_size attribute wrong";

    int32_t found = -1;
    rc = GetColumnIndex(t, text.c_str(), &found);
    if (rc != TBL_OK || found < 0 || found > column)
        return at + ": its own name \"" + Printable(text) + "\" is not found at or before it";
    if (GetColHeadSizeByName(t, text.c_str()) != head && found == column)
        return at + ": head size by name differs";
    *name_out = found == column ? text : std::string();
    return "";
}

// Reads the counts, the visited columns, header cells and data cells, and
// the out-of-range refusals. The snapshot receives what was read.
inline std::string Read(TableHandle *t, int32_t header_lines, const Limits &limits, Snapshot *snap) {
    snap->cells.clear();
    snap->header_lines = header_lines;
    if (GetColumnCount(t, &snap->columns) != TBL_OK) return "GetColumnCount failed on an open table";
    if (GetLineCount(t, &snap->lines) != TBL_OK) return "GetLineCount failed on an open table";
    if (snap->columns < 0) return "negative column count";

    const int32_t columns = snap->columns;
    const int32_t lines = snap->lines;
    std::vector<int32_t> cols = Pick(columns, limits.columns);
    std::vector<std::string> names(static_cast<size_t>(columns > 0 ? cols.size() : 0));
    for (size_t k = 0; k < cols.size(); ++k) {
        std::string err = CheckColumn(t, cols[k], &names[k]);
        if (!err.empty()) return err;
    }
    for (int32_t h : Pick(header_lines, limits.header_lines)) {
        for (int32_t c : cols) {
            Cell cell;
            std::string err = ReadHeadCell(t, c, h, &cell);
            if (!err.empty()) return err;
            snap->cells[{-1 - h, c}] = cell;
        }
    }
    for (int32_t l : Pick(lines, limits.lines)) {
        for (size_t k = 0; k < cols.size(); ++k) {
            Cell cell;
            std::string err = ReadDataCell(t, cols[k], l, &cell);
            if (!err.empty()) return err;
            if (!names[k].empty()) {
                Guarded by_name(cell.rc == TBL_OK ? static_cast<int32_t>(cell.value.size()) + 1 : 16);
                int32_t got = 0;
                int32_t rc = GetCellValByName(t, names[k].c_str(), l, by_name.data(), &got, by_name.length());
                if (rc != cell.rc ||
                    (rc == TBL_OK && std::string(by_name.data(), static_cast<size_t>(got - 1)) != cell.value))
                    return Where(cols[k], l) + ": reading by name differs from reading by index";
                if (GetCellSizeByName(t, names[k].c_str(), l) !=
                    (cell.rc == TBL_OK ? static_cast<int32_t>(cell.value.size()) + 1 : cell.rc))
                    return Where(cols[k], l) + ": size by name differs from size by index";
            }
            snap->cells[{l, cols[k]}] = cell;
        }
    }

    // Addresses just outside the table are refused, never read.
    char buf[8];
    int32_t got = 0;
    const int32_t outside[][2] = {{-1, 0}, {0, -1}, {columns, 0}, {0, lines < 0 ? 0 : lines}};
    for (const auto &a : outside) {
        if (GetCellValByIndex(t, a[0], a[1], buf, &got, sizeof buf) != TBL_ERR_RANGE)
            return Where(a[0], a[1]) + " outside the table was not refused with TBL_ERR_RANGE";
    }
    if (GetColHeadSizeByIndex(t, columns) != TBL_ERR_RANGE || GetColHeadSizeByIndex(t, -1) != TBL_ERR_RANGE)
        return "head size of a column outside the table not refused";
    return "";
}

// Cells of two snapshots over the same visited addresses must agree.
// skip_header leaves header cells out (a save writes line 0 from the column
// names, so after a header write that line may read differently).
inline std::string Compare(const Snapshot &a, const Snapshot &b, const std::string &what, bool skip_header = false) {
    if (a.columns != b.columns)
        return what + ": column count " + std::to_string(a.columns) + " vs " + std::to_string(b.columns);
    if (a.lines != b.lines)
        return what + ": data line count " + std::to_string(a.lines) + " vs " + std::to_string(b.lines);
    for (const auto &entry : a.cells) {
        if (skip_header && entry.first.first < 0) continue;
        auto other = b.cells.find(entry.first);
        if (other == b.cells.end()) continue;
        if (entry.second != other->second) {
            int32_t line = entry.first.first;
            std::string where = line < 0 ? "header " + Where(entry.first.second, -1 - line)
                                         : Where(entry.first.second, line);
            return what + ": " + where + " reads " + std::to_string(entry.second.rc) + " \"" +
                   Printable(entry.second.value) + "\" vs " + std::to_string(other->second.rc) + " \"" +
                   Printable(other->second.value) + "\"";
        }
    }
    return "";
}

// The data cells of one line, for the columns visited.
inline std::string ReadRow(TableHandle *t, int32_t line, const std::vector<int32_t> &cols, std::vector<Cell> *row) {
    row->assign(cols.size(), Cell());
    for (size_t k = 0; k < cols.size(); ++k) {
        std::string err = ReadDataCell(t, cols[k], line, &(*row)[k]);
        if (!err.empty()) return err;
    }
    return "";
}

// Writes value into a data cell of a loaded table. An accepted write must
// read back byte for byte and leave the line's other cells and the counts
// alone; a refused one must change nothing.
inline std::string WriteDataCell(TableHandle *t, int32_t column, int32_t line, const std::string &value,
                                 const Limits &limits, int32_t *rc_out) {
    const std::string at = Where(column, line);
    int32_t columns = 0, lines = 0;
    GetColumnCount(t, &columns);
    GetLineCount(t, &lines);
    std::vector<int32_t> cols = Pick(columns, limits.columns);
    std::vector<Cell> before, after;
    std::string err = ReadRow(t, line, cols, &before);
    if (!err.empty()) return err;

    int32_t rc = SetCellValByIndex(t, column, line, value.data(), static_cast<int32_t>(value.size()));
    *rc_out = rc;
    if (rc != TBL_OK && rc != TBL_ERR_RANGE && rc != TBL_ERR_NO_MEMORY)
        return at + ": write returned " + std::to_string(rc);
    int32_t columns_after = 0, lines_after = 0;
    GetColumnCount(t, &columns_after);
    GetLineCount(t, &lines_after);
    if (columns_after != columns || lines_after != lines) return at + ": a cell write changed the counts";
    err = ReadRow(t, line, cols, &after);
    if (!err.empty()) return err;
    for (size_t k = 0; k < cols.size(); ++k) {
        Cell expect = before[k];
        if (rc == TBL_OK && cols[k] == column) expect = Cell{TBL_OK, value};
        if (after[k] != expect)
            return Where(cols[k], line) + " after writing \"" + Printable(value) + "\" to " + at + " (result " +
                   std::to_string(rc) + ") reads \"" + Printable(after[k].value) + "\" (" +
                   std::to_string(after[k].rc) + "), expected \"" + Printable(expect.value) + "\" (" +
                   std::to_string(expect.rc) + ")";
    }
    return "";
}

// The refusals an OPEN_INDEXED table owes: no change of any kind.
inline std::string CheckReadOnly(TableHandle *t, const std::string &save_path) {
    int32_t lines = 0, columns = 0;
    GetLineCount(t, &lines);
    GetColumnCount(t, &columns);
    if (SetCellValByIndex(t, 0, 0, "x", 1) != TBL_ERR_MODE) return "indexed table accepted a cell write";
    if (SetHeadCellValByIndex(t, 0, 0, "x", 1) != TBL_ERR_MODE) return "indexed table accepted a header write";
    if (SetCellValByName(t, "x", 0, "x", 1) != TBL_ERR_MODE) return "indexed table accepted a write by name";
    if (CreateRow(t) != TBL_ERR_MODE) return "indexed table accepted a new row";
    if (CreateColumn(t, -1, "x") != TBL_ERR_MODE) return "indexed table accepted a new column";
    if (SaveTable(t, save_path.c_str()) != TBL_ERR_BAD_HANDLE) return "indexed table did not refuse a save";
    int32_t lines_after = 0, columns_after = 0;
    GetLineCount(t, &lines_after);
    GetColumnCount(t, &columns_after);
    if (lines != lines_after || columns != columns_after) return "a refused change altered the counts";
    return "";
}

} // namespace tavlprobe
