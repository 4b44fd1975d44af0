/*
 * tavlin32.hpp - the C++ interface of tavlin32: a header-only C++17 layer
 * over the C calls of tavlin32.h, installed beside it and linked the same
 * way (pkg-config --libs tavlin32, or the CMake target tavlin32::tavlin32).
 *
 * It adds no behaviour of its own: every result is the result of the C call
 * it makes, and the header block of that call in tavlin32.h says what each
 * code means. What it adds is what a C++ host would otherwise write by hand:
 *
 *   - tavlin::Table owns a handle: move-only, closed and given back by its
 *     destructor, opened by Table::open;
 *   - reads return std::string, or fill a caller's std::string, sized to the
 *     value: TBL_ERR_TRUNCATED never reaches the caller;
 *   - a range-for over a table gives its data rows, each row its cells by
 *     index and by name;
 *   - tavlin::Index prepares an index file for OPEN_INDEXED and removes it
 *     when its last user is done;
 *   - failures are std::error_code values of the category tavlin::category()
 *     (whose messages are the texts of TBL_RESULT_CODES), set through the
 *     overloads that take a std::error_code&, or thrown as tavlin::Error by
 *     the overloads without one. A host built without exceptions
 *     (-fno-exceptions) sees the std::error_code overloads only.
 *
 * Failures. An overload taking std::error_code& clears it on success and
 * sets it to the C call's code on failure; a number it returns is then that
 * negative code, a string it returns is empty, a string it fills is
 * emptied. The overload without it throws tavlin::Error with the same code.
 * A tavlin::Table that holds no handle (default-made, moved from, closed,
 * or left by a failed open) passes a null handle to the C calls, which
 * refuse it with their codes (TBL_ERR_BAD_HANDLE for reads).
 *
 * Text arguments (paths, column names, attribute names) are NUL-terminated
 * for the C calls: a C string and a std::string are passed as they are, a
 * std::string_view is copied. A text holding a NUL byte is passed as a null
 * pointer, which the C call refuses with its code for a null argument,
 * rather than as the shorter text before the NUL.
 *
 * Threads: as in C, one Table belongs to one thread at a time.
 */
#ifndef TAVLIN32_HPP
#define TAVLIN32_HPP

#include "tavlin32.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

/* TAVLIN32_EXCEPTIONS: 1 when the throwing overloads are declared. It
 * follows the compiler (0 under -fno-exceptions); a host may define it to 0
 * to keep to the std::error_code overloads. */
#ifndef TAVLIN32_EXCEPTIONS
#  if defined(__cpp_exceptions) || defined(__EXCEPTIONS) || defined(_CPPUNWIND)
#    define TAVLIN32_EXCEPTIONS 1
#  else
#    define TAVLIN32_EXCEPTIONS 0
#  endif
#endif

/* The thread's last-error value, which a failed load sets (see the top of
 * tavlin32.h): on Windows the kernel's, declared as <windows.h> declares it;
 * elsewhere the kernel stand-in's, linked with tavlin32. */
extern "C" {
#if defined(_WIN32)
__declspec(dllimport) unsigned long __stdcall GetLastError(void);
#else
uint32_t GetLastError(void);
#endif
}

namespace tavlin {

/* ---- Result codes as std::error_code ------------------------------------- */

namespace detail {

class Category final : public std::error_category {
public:
    const char *name() const noexcept override { return "tavlin"; }
    std::string message(int code) const override
    {
        const char *text = TblResultText(code);
        return text ? text : "no tavlin result code " + std::to_string(code);
    }
};

} // namespace detail

/* The category of every std::error_code this header sets: its name is
 * "tavlin", the value is the C call's result code, and message() is that
 * code's text in tavlin32.h. */
inline const std::error_category &category() noexcept
{
    static const detail::Category instance;
    return instance;
}

} // namespace tavlin

/* A result code converts to a std::error_code of the tavlin category, so a
 * host compares ec == TBL_ERR_NO_FILE. Found by argument lookup: TblResult
 * is a name of the global namespace. */
inline std::error_code make_error_code(TblResult code) noexcept
{
    return std::error_code(static_cast<int>(code), tavlin::category());
}

namespace std {
template <> struct is_error_code_enum<TblResult> : true_type {};
} // namespace std

namespace tavlin {

/* What the overloads without a std::error_code throw: a std::system_error
 * whose code() is the C call's code in the tavlin category and whose what()
 * names the call, the code and its text. After a failed OPEN_EDIT or
 * OPEN_PREVIEW load it also carries the thread's last-error value that the
 * load set (TBL_LOAD_ERROR_FLAG or-ed with the number of lines stored
 * before the failure); otherwise that value is 0. */
class Error : public std::system_error {
public:
    Error(std::error_code code, const char *call, uint32_t load_error = 0)
        : std::system_error(code, std::string(call) + ": " + Describe(code)),
          load_error_(load_error)
    {
    }
    /* The last-error value of a failed load, or 0. */
    uint32_t load_error() const noexcept { return load_error_; }
    /* Whether a failed load set it. */
    bool load_failed() const noexcept { return (load_error_ & TBL_LOAD_ERROR_FLAG) != 0; }
    /* The lines stored before the load failed: the position of the line that
     * failed among the file's non-empty lines. */
    uint32_t load_line() const noexcept { return load_error_ & TBL_LOAD_ERROR_LINES; }

private:
    static std::string Describe(std::error_code code)
    {
        const char *name = code.category() == category() ? TblResultName(code.value()) : nullptr;
        return std::string(name ? name : "code") + " (" + std::to_string(code.value()) + ")";
    }
    uint32_t load_error_;
};

namespace detail {

/* Sets ec from a C result (cleared for 0 or more) and returns the result. */
inline int32_t Report(std::error_code &ec, int32_t rc) noexcept
{
    if (rc < 0)
        ec.assign(rc, category());
    else
        ec.clear();
    return rc;
}

#if TAVLIN32_EXCEPTIONS
/* The overloads without a std::error_code: throw what the C call gave. */
inline void Check(const std::error_code &ec, const char *call)
{
    if (ec)
        throw Error(ec, call);
}
template <class T> T Checked(T value, const std::error_code &ec, const char *call)
{
    Check(ec, call);
    return value;
}
#endif

/* A buffer length for a C call: the C calls take 32-bit lengths, and room
 * past 2 GiB would go unused anyway. */
inline int32_t Length(size_t n) noexcept
{
    return static_cast<int32_t>(std::min<size_t>(n, INT32_MAX));
}

/* Reads a cell with a C reader, read(buffer, &cell_size, buffer_length),
 * into out. It tries the room out already has (up to twice the last value
 * read, at least 1 KiB, so that a large capacity is not cleared on every
 * read), and after TBL_ERR_TRUNCATED, which reports the full size, reads
 * again into that size: no allocation once out's capacity holds the
 * value. */
template <class Read> void ReadInto(std::string &out, std::error_code &ec, Read read)
{
    size_t room = std::min(out.capacity(), std::max<size_t>(out.size() * 2, 1024));
    out.resize(std::max<size_t>(room, 1));
    for (;;) {
        int32_t size = 0;
        const int32_t length = Length(out.size());
        const int32_t rc = read(&out[0], &size, length);
        if (rc == TBL_ERR_TRUNCATED && size > length) {
            out.resize(static_cast<size_t>(size));
            continue;
        }
        if (Report(ec, rc) < 0) {
            out.clear();
            return;
        }
        out.resize(static_cast<size_t>(size - 1));
        return;
    }
}

/* The same read, returning a new string: a value of fewer than 256 bytes
 * costs one C call and at most one allocation of its own size. */
template <class Read> std::string ReadString(std::error_code &ec, Read read)
{
    char local[256];
    int32_t size = 0;
    const int32_t rc = read(local, &size, static_cast<int32_t>(sizeof local));
    if (rc == TBL_OK) {
        ec.clear();
        return std::string(local, static_cast<size_t>(size - 1));
    }
    std::string out;
    if (rc != TBL_ERR_TRUNCATED) {
        Report(ec, rc);
        return out;
    }
    out.resize(static_cast<size_t>(size));
    ReadInto(out, ec, read);
    return out;
}

/* Reads a column attribute with read(buffer, &value_length, size). The C
 * call reports no full length when the text does not fit, so the buffer
 * doubles until it does, up to the 2 GiB a length can report. */
template <class Read> std::string ReadAttribute(std::error_code &ec, Read read)
{
    std::string out(64, '\0');
    for (;;) {
        int32_t length = 0;
        const int32_t rc = read(&out[0], &length, static_cast<uint32_t>(out.size()));
        if (rc == TBL_ERR_TRUNCATED && out.size() <= INT32_MAX / 2) {
            out.resize(out.size() * 2);
            continue;
        }
        if (Report(ec, rc) < 0) {
            out.clear();
            return out;
        }
        out.resize(static_cast<size_t>(length));
        return out;
    }
}

/* The C cell readers bound to one cell, for ReadInto and ReadString. */
struct ReadByIndex {
    int32_t (*read)(TableHandle *, int32_t, int32_t, char *, int32_t *, int32_t);
    TableHandle *table;
    int32_t column, line;
    int32_t operator()(char *buffer, int32_t *size, int32_t length) const
    {
        return read(table, column, line, buffer, size, length);
    }
};
struct ReadByName {
    TableHandle *table;
    const char *name;
    int32_t row;
    int32_t operator()(char *buffer, int32_t *size, int32_t length) const
    {
        return GetCellValByName(table, name, row, buffer, size, length);
    }
};

/* What an Index and the tables opened through it share: the arguments of
 * its preparation, and whether to keep the file. The last of them to go
 * removes the index file, unless it is to be kept. */
struct IndexShare {
    std::string path, dir;
    char delimiter;
    int32_t header_lines;
    int32_t unique;
    bool keep = false;

    int32_t Remove() noexcept
    {
        return PostCloseTableUnique(path.c_str(), &delimiter, &header_lines, dir.c_str(), unique);
    }
    ~IndexShare()
    {
        if (!keep)
            Remove();
    }
};

} // namespace detail

/* A NUL-terminated text argument for a C call, made from a C string, a
 * std::string or a std::string_view (copied). A text holding a NUL byte
 * becomes a null pointer (see the top of this file). */
class CString {
public:
    CString(const char *text) noexcept : text_(text) {}
    CString(const std::string &text) noexcept
        : text_(text.find('\0') == std::string::npos ? text.c_str() : nullptr)
    {
    }
    CString(std::string_view text)
        : copy_(text), text_(text.find('\0') == std::string_view::npos ? copy_.c_str() : nullptr)
    {
    }
    CString(const CString &) = delete;
    CString &operator=(const CString &) = delete;
    const char *c_str() const noexcept { return text_; }

private:
    std::string copy_;
    const char *text_;
};

/* The open modes of tavlin32.h. */
enum class Mode : int32_t {
    indexed = OPEN_INDEXED,
    edit = OPEN_EDIT,
    preview = OPEN_PREVIEW,
};

class Table;

/* One data row of a table, as a range-for over the table gives it: its
 * cells by column index and by name (GetCellValByIndex, GetCellValByName).
 * It refers to its table, which must outlive it. */
class Row {
public:
    Row(const Table &table, int32_t index) noexcept : table_(&table), index_(index) {}
    /* The data row's index. */
    int32_t index() const noexcept { return index_; }

    std::string cell(int32_t column, std::error_code &ec) const;
    std::string cell(const CString &name, std::error_code &ec) const;
    void cell(int32_t column, std::string &out, std::error_code &ec) const;
    void cell(const CString &name, std::string &out, std::error_code &ec) const;
#if TAVLIN32_EXCEPTIONS
    std::string cell(int32_t column) const;
    std::string cell(const CString &name) const;
    void cell(int32_t column, std::string &out) const;
    void cell(const CString &name, std::string &out) const;
    std::string operator[](int32_t column) const { return cell(column); }
    std::string operator[](const CString &name) const { return cell(name); }
#endif

private:
    const Table *table_;
    int32_t index_;
};

/* Walks the data rows of a table by index. */
class RowIterator {
public:
    using iterator_category = std::input_iterator_tag;
    using value_type = Row;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = Row;

    RowIterator(const Table &table, int32_t index) noexcept : table_(&table), index_(index) {}
    Row operator*() const noexcept { return Row(*table_, index_); }
    RowIterator &operator++() noexcept
    {
        ++index_;
        return *this;
    }
    RowIterator operator++(int) noexcept
    {
        RowIterator before = *this;
        ++index_;
        return before;
    }
    friend bool operator==(const RowIterator &a, const RowIterator &b) noexcept
    {
        return a.table_ == b.table_ && a.index_ == b.index_;
    }
    friend bool operator!=(const RowIterator &a, const RowIterator &b) noexcept
    {
        return !(a == b);
    }

private:
    const Table *table_;
    int32_t index_;
};

/* The data rows of a table as a range, with the count they had when it was
 * made. */
class Rows {
public:
    Rows(const Table &table, int32_t count) noexcept : table_(&table), count_(count) {}
    RowIterator begin() const noexcept { return RowIterator(*table_, 0); }
    RowIterator end() const noexcept { return RowIterator(*table_, count_); }
    int32_t size() const noexcept { return count_; }

private:
    const Table *table_;
    int32_t count_;
};

/* ---- Tables --------------------------------------------------------------- */

/* An open table: owns one TableHandle, which its destructor closes
 * (CloseTable) and gives back (FreeTable). Move-only; a moved-from table
 * holds no handle. Rows and columns count from 0; data rows follow the
 * header lines, which the head_* calls address. */
class Table {
public:
    Table() noexcept = default;
    Table(Table &&other) noexcept { Take(other); }
    Table &operator=(Table &&other) noexcept
    {
        if (this != &other) {
            Release();
            Take(other);
        }
        return *this;
    }
    Table(const Table &) = delete;
    Table &operator=(const Table &) = delete;
    ~Table() { Release(); }

    /* Opens the table at path (OpenTableUnique with unique flag 0): mode,
     * the delimiter byte and the number of header lines as OpenTable takes
     * them; index_dir, for Mode::indexed only, is the folder of the index
     * file PreOpenTable made with the same delimiter and header lines (or
     * see tavlin::Index). A failed open gives a table without a handle, the
     * failed handle closed and given back; after a failed OPEN_EDIT or
     * OPEN_PREVIEW load its load_error() is the last-error value the load
     * set. */
    static Table open(const CString &path, Mode mode, char delimiter, int32_t header_lines,
                      std::error_code &ec)
    {
        return Open(path.c_str(), mode, delimiter, header_lines, nullptr, 0, ec);
    }
    static Table open(const CString &path, Mode mode, char delimiter, int32_t header_lines,
                      const CString &index_dir, std::error_code &ec)
    {
        return Open(path.c_str(), mode, delimiter, header_lines, index_dir.c_str(), 0, ec);
    }
#if TAVLIN32_EXCEPTIONS
    static Table open(const CString &path, Mode mode, char delimiter = ',',
                      int32_t header_lines = 1)
    {
        std::error_code ec;
        Table t = open(path, mode, delimiter, header_lines, ec);
        return Opened(std::move(t), ec);
    }
    static Table open(const CString &path, Mode mode, char delimiter, int32_t header_lines,
                      const CString &index_dir)
    {
        std::error_code ec;
        Table t = open(path, mode, delimiter, header_lines, index_dir, ec);
        return Opened(std::move(t), ec);
    }
#endif

    /* Closes the table and gives its handle back, reporting CloseTable's
     * result; the table then holds no handle. */
    void close(std::error_code &ec) noexcept
    {
        const int32_t rc = CloseTable(handle_);
        FreeTable(handle_);
        handle_ = nullptr;
        index_.reset();
        Report(ec, rc);
    }

    /* The handle, for a C call of a host's own; null when none is held. */
    TableHandle *handle() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != nullptr; }
    /* What the open was given. */
    const std::string &path() const noexcept { return path_; }
    Mode mode() const noexcept { return mode_; }
    char delimiter() const noexcept { return delimiter_; }
    int32_t header_lines() const noexcept { return header_lines_; }
    /* The last-error value a failed OPEN_EDIT or OPEN_PREVIEW load set, on
     * the table a failed open gave; 0 otherwise. */
    uint32_t load_error() const noexcept { return load_error_; }

    /* Counts: columns (GetColumnCount) and data rows (GetLineCount). */
    int32_t column_count(std::error_code &ec) const noexcept
    {
        int32_t n = 0;
        const int32_t rc = GetColumnCount(handle_, &n);
        return rc < 0 ? Report(ec, rc) : (ec.clear(), n);
    }
    int32_t row_count(std::error_code &ec) const noexcept
    {
        int32_t n = 0;
        const int32_t rc = GetLineCount(handle_, &n);
        return rc < 0 ? Report(ec, rc) : (ec.clear(), n);
    }

    /* Columns: the index of the first column named name (GetColumnIndex); a
     * column's name, or any attribute GetColAttrBy* knows ("name", "index",
     * "head_size"), as text; its head size, the name's length plus one
     * (GetColHeadSizeBy*). */
    int32_t column_index(const CString &name, std::error_code &ec) const noexcept
    {
        int32_t index = 0;
        const int32_t rc = GetColumnIndex(handle_, name.c_str(), &index);
        return rc < 0 ? Report(ec, rc) : (ec.clear(), index);
    }
    std::string column_name(int32_t column, std::error_code &ec) const
    {
        return attribute(column, "name", ec);
    }
    std::string attribute(int32_t column, const CString &attribute, std::error_code &ec) const
    {
        return detail::ReadAttribute(ec, [&](char *value, int32_t *length, uint32_t size) {
            return GetColAttrByIndex(handle_, column, attribute.c_str(), value, length, size);
        });
    }
    std::string attribute(const CString &name, const CString &attribute, std::error_code &ec) const
    {
        return detail::ReadAttribute(ec, [&](char *value, int32_t *length, uint32_t size) {
            return GetColAttrByName(handle_, name.c_str(), attribute.c_str(), value, length, size);
        });
    }
    int32_t head_size(int32_t column, std::error_code &ec) const noexcept
    {
        return Report(ec, GetColHeadSizeByIndex(handle_, column));
    }
    int32_t head_size(const CString &name, std::error_code &ec) const noexcept
    {
        return Report(ec, GetColHeadSizeByName(handle_, name.c_str()));
    }

    /* Cells of data rows (GetCellValByIndex, GetCellValByName) and of header
     * lines (GetHeadCellValByIndex), decoded, any bytes: as a new string, or
     * into out, whose capacity is reused. */
    std::string cell(int32_t row, int32_t column, std::error_code &ec) const
    {
        return detail::ReadString(ec, detail::ReadByIndex{GetCellValByIndex, handle_, column, row});
    }
    std::string cell(int32_t row, const CString &name, std::error_code &ec) const
    {
        return detail::ReadString(ec, detail::ReadByName{handle_, name.c_str(), row});
    }
    std::string head_cell(int32_t line, int32_t column, std::error_code &ec) const
    {
        return detail::ReadString(
            ec, detail::ReadByIndex{GetHeadCellValByIndex, handle_, column, line});
    }
    void cell(int32_t row, int32_t column, std::string &out, std::error_code &ec) const
    {
        detail::ReadInto(out, ec, detail::ReadByIndex{GetCellValByIndex, handle_, column, row});
    }
    void cell(int32_t row, const CString &name, std::string &out, std::error_code &ec) const
    {
        detail::ReadInto(out, ec, detail::ReadByName{handle_, name.c_str(), row});
    }
    void head_cell(int32_t line, int32_t column, std::string &out, std::error_code &ec) const
    {
        detail::ReadInto(out, ec,
                         detail::ReadByIndex{GetHeadCellValByIndex, handle_, column, line});
    }

    /* A data cell's size: its decoded bytes plus one (GetCellSizeBy*). */
    int32_t cell_size(int32_t row, int32_t column, std::error_code &ec) const noexcept
    {
        return Report(ec, GetCellSizeByIndex(handle_, column, row));
    }
    int32_t cell_size(int32_t row, const CString &name, std::error_code &ec) const noexcept
    {
        return Report(ec, GetCellSizeByName(handle_, name.c_str(), row));
    }

    /* Writes, in memory until save(): a data cell (SetCellValByIndex,
     * SetCellValByName) or a header cell (SetHeadCellValByIndex), any bytes.
     * A value of 2 GiB or more, which no 32-bit length can give, is passed
     * with the length -1, which the C call refuses (TBL_ERR_RANGE). */
    void set(int32_t row, int32_t column, std::string_view value, std::error_code &ec) noexcept
    {
        Report(ec, SetCellValByIndex(handle_, column, row, value.data(), ValueLength(value)));
    }
    void set(int32_t row, const CString &name, std::string_view value, std::error_code &ec) noexcept
    {
        Report(ec, SetCellValByName(handle_, name.c_str(), row, value.data(), ValueLength(value)));
    }
    void set_head(int32_t line, int32_t column, std::string_view value,
                  std::error_code &ec) noexcept
    {
        Report(ec, SetHeadCellValByIndex(handle_, column, line, value.data(), ValueLength(value)));
    }

    /* Appends a data row of empty cells (CreateRow) and returns its index. */
    int32_t add_row(std::error_code &ec) noexcept
    {
        const int32_t rc = CreateRow(handle_);
        if (rc < 0)
            return Report(ec, rc);
        const int32_t rows = row_count(ec);
        return ec ? rows : rows - 1;
    }
    /* Appends a column named name (CreateColumn; position is the column
     * count, or -1) and returns its index. */
    int32_t add_column(int32_t position, const CString &name, std::error_code &ec) noexcept
    {
        const int32_t rc = CreateColumn(handle_, position, name.c_str());
        if (rc < 0)
            return Report(ec, rc);
        const int32_t columns = column_count(ec);
        return ec ? columns : columns - 1;
    }

    /* Writes an OPEN_EDIT table (SaveTable) to the file it was opened from,
     * or to path. */
    void save(std::error_code &ec) noexcept { Report(ec, SaveTable(handle_, path_.c_str())); }
    void save(const CString &path, std::error_code &ec) noexcept
    {
        Report(ec, SaveTable(handle_, path.c_str()));
    }

    /* The data rows, with the count GetLineCount gives now. */
    Rows rows(std::error_code &ec) const noexcept
    {
        const int32_t n = row_count(ec);
        return Rows(*this, ec ? 0 : n);
    }

#if TAVLIN32_EXCEPTIONS
    /* The same calls, throwing tavlin::Error where the ones above set ec. */
    void close()
    {
        std::error_code ec;
        close(ec);
        detail::Check(ec, "CloseTable");
    }
    int32_t column_count() const
    {
        std::error_code ec;
        return detail::Checked(column_count(ec), ec, "GetColumnCount");
    }
    int32_t row_count() const
    {
        std::error_code ec;
        return detail::Checked(row_count(ec), ec, "GetLineCount");
    }
    int32_t column_index(const CString &name) const
    {
        std::error_code ec;
        return detail::Checked(column_index(name, ec), ec, "GetColumnIndex");
    }
    std::string column_name(int32_t column) const
    {
        std::error_code ec;
        return detail::Checked(column_name(column, ec), ec, "GetColAttrByIndex");
    }
    std::string attribute(int32_t column, const CString &attribute) const
    {
        std::error_code ec;
        return detail::Checked(this->attribute(column, attribute, ec), ec,
                               "GetColAttrByIndex");
    }
    std::string attribute(const CString &name, const CString &attribute) const
    {
        std::error_code ec;
        return detail::Checked(this->attribute(name, attribute, ec), ec,
                               "GetColAttrByName");
    }
    int32_t head_size(int32_t column) const
    {
        std::error_code ec;
        return detail::Checked(head_size(column, ec), ec, "GetColHeadSizeByIndex");
    }
    int32_t head_size(const CString &name) const
    {
        std::error_code ec;
        return detail::Checked(head_size(name, ec), ec, "GetColHeadSizeByName");
    }
    std::string cell(int32_t row, int32_t column) const
    {
        std::error_code ec;
        return detail::Checked(cell(row, column, ec), ec, "GetCellValByIndex");
    }
    std::string cell(int32_t row, const CString &name) const
    {
        std::error_code ec;
        return detail::Checked(cell(row, name, ec), ec, "GetCellValByName");
    }
    std::string head_cell(int32_t line, int32_t column) const
    {
        std::error_code ec;
        return detail::Checked(head_cell(line, column, ec), ec, "GetHeadCellValByIndex");
    }
    void cell(int32_t row, int32_t column, std::string &out) const
    {
        std::error_code ec;
        cell(row, column, out, ec);
        detail::Check(ec, "GetCellValByIndex");
    }
    void cell(int32_t row, const CString &name, std::string &out) const
    {
        std::error_code ec;
        cell(row, name, out, ec);
        detail::Check(ec, "GetCellValByName");
    }
    void head_cell(int32_t line, int32_t column, std::string &out) const
    {
        std::error_code ec;
        head_cell(line, column, out, ec);
        detail::Check(ec, "GetHeadCellValByIndex");
    }
    int32_t cell_size(int32_t row, int32_t column) const
    {
        std::error_code ec;
        return detail::Checked(cell_size(row, column, ec), ec, "GetCellSizeByIndex");
    }
    int32_t cell_size(int32_t row, const CString &name) const
    {
        std::error_code ec;
        return detail::Checked(cell_size(row, name, ec), ec, "GetCellSizeByName");
    }
    void set(int32_t row, int32_t column, std::string_view value)
    {
        std::error_code ec;
        set(row, column, value, ec);
        detail::Check(ec, "SetCellValByIndex");
    }
    void set(int32_t row, const CString &name, std::string_view value)
    {
        std::error_code ec;
        set(row, name, value, ec);
        detail::Check(ec, "SetCellValByName");
    }
    void set_head(int32_t line, int32_t column, std::string_view value)
    {
        std::error_code ec;
        set_head(line, column, value, ec);
        detail::Check(ec, "SetHeadCellValByIndex");
    }
    int32_t add_row()
    {
        std::error_code ec;
        return detail::Checked(add_row(ec), ec, "CreateRow");
    }
    int32_t add_column(int32_t position, const CString &name)
    {
        std::error_code ec;
        return detail::Checked(add_column(position, name, ec), ec, "CreateColumn");
    }
    void save()
    {
        std::error_code ec;
        save(ec);
        detail::Check(ec, "SaveTable");
    }
    void save(const CString &path)
    {
        std::error_code ec;
        save(path, ec);
        detail::Check(ec, "SaveTable");
    }
    Rows rows() const { return Rows(*this, row_count()); }
    /* A range-for over the table walks its data rows. */
    RowIterator begin() const noexcept { return RowIterator(*this, 0); }
    RowIterator end() const { return RowIterator(*this, row_count()); }
#endif

private:
    friend class Index;

    static int32_t Report(std::error_code &ec, int32_t rc) noexcept
    {
        return detail::Report(ec, rc);
    }
    static int32_t ValueLength(std::string_view value) noexcept
    {
        return value.size() > static_cast<size_t>(INT32_MAX) ? -1
                                                             : static_cast<int32_t>(value.size());
    }
#if TAVLIN32_EXCEPTIONS
    static Table Opened(Table t, const std::error_code &ec)
    {
        if (ec)
            throw Error(ec, "OpenTable", t.load_error_);
        return t;
    }
#endif

    /* The open of Table::open and Index::open: a new handle, opened; on
     * failure the last-error value of a failed load is read before any other
     * call can change it, and the handle is closed and given back. */
    static Table Open(const char *path, Mode mode, char delimiter, int32_t header_lines,
                      const char *index_dir, int32_t unique, std::error_code &ec)
    {
        Table t;
        TableHandle *h = nullptr;
        if (Report(ec, NewTable(&h)) < 0)
            return t;
        const int32_t rc = OpenTableUnique(path, h, static_cast<int32_t>(mode), &delimiter,
                                           &header_lines, index_dir, unique);
        if (rc < 0) {
            if ((mode == Mode::edit || mode == Mode::preview) &&
                (rc == TBL_ERR_OPEN || rc == TBL_ERR_NO_MEMORY || rc == TBL_ERR_FORMAT)) {
                const uint32_t e = static_cast<uint32_t>(GetLastError());
                t.load_error_ = (e & TBL_LOAD_ERROR_FLAG) ? e : 0;
            }
            CloseTable(h);
            FreeTable(h);
            Report(ec, rc);
            return t;
        }
        t.handle_ = h;
        t.path_ = path;
        t.mode_ = mode;
        t.delimiter_ = delimiter;
        t.header_lines_ = header_lines;
        ec.clear();
        return t;
    }
    void Release() noexcept
    {
        if (handle_) {
            CloseTable(handle_);
            FreeTable(handle_);
            handle_ = nullptr;
        }
        index_.reset();
    }
    void Take(Table &other) noexcept
    {
        handle_ = std::exchange(other.handle_, nullptr);
        path_ = std::move(other.path_);
        other.path_.clear();
        mode_ = other.mode_;
        delimiter_ = other.delimiter_;
        header_lines_ = other.header_lines_;
        load_error_ = std::exchange(other.load_error_, 0);
        index_ = std::move(other.index_);
    }

    TableHandle *handle_ = nullptr;
    std::string path_;
    Mode mode_ = Mode::indexed;
    char delimiter_ = ',';
    int32_t header_lines_ = 1;
    uint32_t load_error_ = 0;
    std::shared_ptr<detail::IndexShare> index_; /* the index opened through, if any */
};

inline std::string Row::cell(int32_t column, std::error_code &ec) const
{
    return table_->cell(index_, column, ec);
}
inline std::string Row::cell(const CString &name, std::error_code &ec) const
{
    return table_->cell(index_, name, ec);
}
inline void Row::cell(int32_t column, std::string &out, std::error_code &ec) const
{
    table_->cell(index_, column, out, ec);
}
inline void Row::cell(const CString &name, std::string &out, std::error_code &ec) const
{
    table_->cell(index_, name, out, ec);
}
#if TAVLIN32_EXCEPTIONS
inline std::string Row::cell(int32_t column) const { return table_->cell(index_, column); }
inline std::string Row::cell(const CString &name) const { return table_->cell(index_, name); }
inline void Row::cell(int32_t column, std::string &out) const { table_->cell(index_, column, out); }
inline void Row::cell(const CString &name, std::string &out) const
{
    table_->cell(index_, name, out);
}
#endif

/* ---- Index files ------------------------------------------------------------ */

/* How Index::prepare treats an index file: replace one that exists
 * (overwrite), and name it by the header lines and the delimiter too
 * (unique), as PreOpenTableUnique takes them. */
enum class Prepare : unsigned { none = 0, overwrite = 1, unique = 2 };
constexpr Prepare operator|(Prepare a, Prepare b) noexcept
{
    return static_cast<Prepare>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}
constexpr bool operator&(Prepare a, Prepare b) noexcept
{
    return (static_cast<unsigned>(a) & static_cast<unsigned>(b)) != 0;
}

/* The index file of one data file, for OPEN_INDEXED: prepare() writes it
 * (PreOpenTableUnique), open() opens the table through it, and it is removed
 * (PostCloseTableUnique) when its last user is done: the last of this guard,
 * its copies and the tables they opened to go, so the tables are closed
 * before the file goes. keep() leaves the file in place instead. A guard
 * that prepared nothing (a failed prepare, or moved from) passes null
 * arguments to the C calls, which refuse them. The users counted are this
 * process's: other processes that open the index are not. */
class Index {
public:
    Index() noexcept = default;

    /* Prepares the index of the data file at path in index_dir
     * (PreOpenTableUnique) with the delimiter and header lines the opens
     * will use. The guard's record is made first, kept until the index is
     * written, so that no allocation can fail once the file is there. */
    static Index prepare(const CString &path, const CString &index_dir, char delimiter,
                         int32_t header_lines, Prepare how, std::error_code &ec)
    {
        const char *p = path.c_str(), *dir = index_dir.c_str();
        auto share = std::make_shared<detail::IndexShare>();
        share->keep = true;
        share->path = p ? p : "";
        share->dir = dir ? dir : "";
        share->delimiter = delimiter;
        share->header_lines = header_lines;
        share->unique = (how & Prepare::unique) ? 1 : 0;
        Index index;
        const int32_t rc = PreOpenTableUnique(p, dir, &delimiter, &header_lines,
                                              (how & Prepare::overwrite) ? 1 : 0, share->unique);
        if (detail::Report(ec, rc) < 0)
            return index;
        share->keep = false;
        index.share_ = std::move(share);
        return index;
    }

    /* Opens the table in Mode::indexed with the preparation's arguments; the
     * table shares the guard's hold on the index file. */
    Table open(std::error_code &ec) const
    {
        if (!share_)
            return Table::Open(nullptr, Mode::indexed, ',', 1, nullptr, 0, ec);
        Table t = Table::Open(share_->path.c_str(), Mode::indexed, share_->delimiter,
                              share_->header_lines, share_->dir.c_str(), share_->unique, ec);
        if (t)
            t.index_ = share_;
        return t;
    }

    /* Leaves the index file in place when the last user is done. */
    void keep() noexcept
    {
        if (share_)
            share_->keep = true;
    }

    /* Gives up this guard's hold. When it was the last user, the index file
     * is removed now (unless kept) and the removal's result reported;
     * otherwise the last user removes it, without a report. */
    void close(std::error_code &ec) noexcept
    {
        int32_t rc = TBL_OK;
        if (!share_)
            rc = PostCloseTableUnique(nullptr, nullptr, nullptr, nullptr, 0);
        else if (share_.use_count() == 1 && !share_->keep) {
            rc = share_->Remove();
            share_->keep = true;
        }
        share_.reset();
        detail::Report(ec, rc);
    }

    explicit operator bool() const noexcept { return share_ != nullptr; }

#if TAVLIN32_EXCEPTIONS
    static Index prepare(const CString &path, const CString &index_dir, char delimiter = ',',
                         int32_t header_lines = 1, Prepare how = Prepare::none)
    {
        std::error_code ec;
        Index index = prepare(path, index_dir, delimiter, header_lines, how, ec);
        return detail::Checked(std::move(index), ec, "PreOpenTableUnique");
    }
    Table open() const
    {
        std::error_code ec;
        Table t = open(ec);
        return Table::Opened(std::move(t), ec);
    }
    void close()
    {
        std::error_code ec;
        close(ec);
        detail::Check(ec, "PostCloseTableUnique");
    }
#endif

private:
    std::shared_ptr<detail::IndexShare> share_;
};

/* ---- Calls without a table -------------------------------------------------- */

/* Creates an empty table file at path, or cuts one to length 0
 * (CreateTable). */
inline void create_table(const CString &path, char delimiter, std::error_code &ec) noexcept
{
    detail::Report(ec, CreateTable(path.c_str(), delimiter));
}
/* Whether a regular file exists at path (TableExist); never fails. */
inline bool table_exists(const CString &path) noexcept
{
    return TableExist(path.c_str()) == TBL_OK;
}
/* The LF-ended lines of the file at path up to its first blank one
 * (GetNumberOfLinesEx). */
inline int32_t count_lines(const CString &path, std::error_code &ec) noexcept
{
    return detail::Report(ec, GetNumberOfLinesEx(path.c_str(), nullptr, nullptr));
}
#if TAVLIN32_EXCEPTIONS
inline void create_table(const CString &path, char delimiter = ',')
{
    std::error_code ec;
    create_table(path, delimiter, ec);
    detail::Check(ec, "CreateTable");
}
inline int32_t count_lines(const CString &path)
{
    std::error_code ec;
    return detail::Checked(count_lines(path, ec), ec, "GetNumberOfLinesEx");
}
#endif

} // namespace tavlin

#endif /* TAVLIN32_HPP */
