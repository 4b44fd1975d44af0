// table.h - what tavlin needs around the library's handles: a handle that is
// always closed and freed, whole-cell reads of any size, column lookup by
// name or position, and the names of the result codes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tavlin32.h"

namespace tavlin {

// "1 data row", "2 data rows": a count and its noun.
std::string Plural(uint64_t n, const char *one, const char *many);

// "TBL_ERR_RANGE" for -15; "TBL_ERR_UNKNOWN" for a number the header does
// not define.
const char *CodeName(int32_t code);
// One plain sentence for what a code means when nothing more is known.
const char *CodeMeaning(int32_t code);

// An open table. The handle is closed and freed when the object goes,
// whether the open succeeded or not, so nothing the library built is lost.
class Table {
public:
    Table() = default;
    Table(const Table &) = delete;
    Table &operator=(const Table &) = delete;
    ~Table();

    // NewTable and OpenTableUnique; index_dir may be null.
    int32_t Open(const std::string &path, int32_t mode, char delimiter,
                 int32_t header_lines, const char *index_dir, bool unique);
    TableHandle *handle() const { return handle_; }

private:
    TableHandle *handle_ = nullptr;
};

// The decoded value of a data cell, every byte of it (NUL bytes included).
int32_t ReadCell(TableHandle *table, int32_t column, int32_t row,
                 std::string *value);

// The name of a column as the library keeps it.
int32_t ColumnName(TableHandle *table, int32_t column, std::string *name);

// The column a COLUMN argument names, the same way in every subcommand:
// "@N" is the column at position N (counted from 0) whatever the names;
// any other text is a name (by_name gives its position, or -1), and a
// whole number that no column bears as its name is a position. A position
// is returned as it stands (INT64_MAX for one past 64 bits), for the
// caller to refuse with the table's counts; -1 when the text is neither.
int64_t LookUpColumn(const std::string &text,
                     const std::function<int64_t(const std::string &)> &by_name);
// The same among names (the first that matches wins).
int64_t FindColumnIn(const std::vector<std::string> &names, const std::string &text);

// Why a cell address was refused with TBL_ERR_RANGE, from the table's
// counts: "row 12 is past the last data row (10)" and the like.
std::string ExplainCellRange(TableHandle *table, int32_t column, int32_t row);
// The same from the table's counts.
std::string ExplainCellRange(int64_t columns, int64_t rows, int64_t column, int64_t row);

// Why a column index outside a table of that many columns was refused:
// "column 7 is past the last column (4)" and the like.
std::string ExplainColumnRange(int64_t column, int64_t columns);

} // namespace tavlin
