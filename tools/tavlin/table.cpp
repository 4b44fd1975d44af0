// table.cpp - handle ownership, cell and column reads, and result code names
// for tavlin. Everything here goes through the public interface of
// tavlin32.h and nothing else.
#include "table.h"

#include <climits>
#include <vector>

#include "options.h"

namespace tavlin {

// Names and meanings come from the public header's list of result codes,
// the one place they are written down.
const char *CodeName(int32_t code) {
    const char *name = TblResultName(code);
    return name ? name : "TBL_ERR_UNKNOWN";
}

const char *CodeMeaning(int32_t code) {
    const char *text = TblResultText(code);
    return text ? text : "the library reported a failure this tool does not know";
}

Table::~Table() {
    if (handle_) {
        CloseTable(handle_);
        FreeTable(handle_);
    }
}

int32_t Table::Open(const std::string &path, int32_t mode, char delimiter,
                    int32_t header_lines, const char *index_dir, bool unique) {
    if (!handle_) {
        int32_t rc = NewTable(&handle_);
        if (rc != TBL_OK) {
            handle_ = nullptr;
            return rc;
        }
    }
    const char delim[2] = {delimiter, '\0'};
    return OpenTableUnique(path.c_str(), handle_, mode, delim, &header_lines,
                           index_dir, unique ? 1 : 0);
}

int32_t ReadCell(TableHandle *table, int32_t column, int32_t row,
                 std::string *value) {
    int32_t size = GetCellSizeByIndex(table, column, row);
    if (size < 0) return size;
    // The read reports the full size when the buffer was short; one retry
    // with that size settles it.
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::vector<char> buffer(static_cast<size_t>(size > 0 ? size : 1));
        int32_t length = 0;
        int32_t rc = GetCellValByIndex(table, column, row, buffer.data(), &length,
                                       static_cast<int32_t>(buffer.size()));
        if (rc == TBL_OK) {
            value->assign(buffer.data(), static_cast<size_t>(length > 0 ? length - 1 : 0));
            return TBL_OK;
        }
        if (rc != TBL_ERR_TRUNCATED || length <= size) return rc;
        size = length;
    }
    return TBL_ERR_TRUNCATED;
}

int32_t ColumnName(TableHandle *table, int32_t column, std::string *name) {
    int32_t size = GetColHeadSizeByIndex(table, column);
    if (size < 0) return size;
    std::vector<char> buffer(static_cast<size_t>(size > 0 ? size : 1));
    int32_t length = 0;
    int32_t rc = GetColAttrByIndex(table, column, "name", buffer.data(), &length,
                                   static_cast<uint32_t>(buffer.size()));
    if (rc != TBL_OK) return rc;
    if (length < 0 || static_cast<size_t>(length) > buffer.size()) length = 0;
    name->assign(buffer.data(), static_cast<size_t>(length));
    return TBL_OK;
}

namespace {

// Digits only, no sign: a position; INT64_MAX when it does not fit.
bool Position(const std::string &text, int64_t *position) {
    if (text.empty() || text[0] < '0' || text[0] > '9' || !IsWholeNumber(text)) return false;
    if (!ParseInt64(text, position)) *position = INT64_MAX;
    return true;
}

} // namespace

int64_t LookUpColumn(const std::string &text,
                     const std::function<int64_t(const std::string &)> &by_name) {
    int64_t position = 0;
    if (text.size() > 1 && text[0] == '@' && Position(text.substr(1), &position))
        return position;
    const int64_t named = by_name(text);
    if (named >= 0) return named;
    return Position(text, &position) ? position : -1;
}

int64_t FindColumnIn(const std::vector<std::string> &names, const std::string &text) {
    return LookUpColumn(text, [&](const std::string &name) -> int64_t {
        for (size_t c = 0; c < names.size(); ++c)
            if (names[c] == name) return static_cast<int64_t>(c);
        return -1;
    });
}

std::string Plural(uint64_t n, const char *one, const char *many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string ExplainCellRange(TableHandle *table, int32_t column, int32_t row) {
    int32_t columns = 0, rows = 0;
    GetColumnCount(table, &columns);
    GetLineCount(table, &rows);
    return ExplainCellRange(columns, rows, column, row);
}

std::string ExplainCellRange(int64_t columns, int64_t rows, int64_t column, int64_t row) {
    if (column < 0 || column >= columns) return ExplainColumnRange(column, columns);
    if (row < 0) return "row " + std::to_string(row) + " is not a data row (rows count from 0)";
    if (row >= rows) {
        if (rows <= 0) return "the table has no data rows";
        return "row " + std::to_string(row) + " is past the last data row (" +
               std::to_string(rows - 1) + ")";
    }
    return "the line holding row " + std::to_string(row) + " could not be read";
}

std::string ExplainColumnRange(int64_t column, int64_t columns) {
    if (column < 0) return "column " + std::to_string(column) + " is not a column";
    if (columns <= 0) return "the table has no columns";
    return "column " + std::to_string(column) + " is past the last column (" +
           std::to_string(columns - 1) + ")";
}

} // namespace tavlin
