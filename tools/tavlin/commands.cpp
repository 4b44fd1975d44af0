// commands.cpp - the subcommands that go through the library's handles:
// info, get, the edits, the index files and the line count.
//
// Every subcommand is a short sequence of the library's exported calls. A
// failing call ends the subcommand with one line on stderr, naming the
// subcommand, the result code and what went wrong in this case. Tables are
// closed and freed on every path (see Table), and a table is only written
// by SaveTable, which leaves the old file as it was when it cannot finish.
// Edits hold the table's edit lock from before the load until after the
// save (see lock.h).
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "diagnose.h"
#include "lock.h"
#include "render.h"
#include "tool.h"

namespace tavlin {
namespace {

const char *ModeName(int32_t mode) {
    switch (mode) {
    case OPEN_INDEXED: return "indexed";
    case OPEN_EDIT: return "edit";
    case OPEN_PREVIEW: return "preview";
    }
    return "unknown";
}

bool IsDirectory(const std::string &path) {
    std::error_code ec;
    return std::filesystem::is_directory(path, ec);
}

int32_t CountOf(int32_t (*getter)(TableHandle *, int32_t *), TableHandle *h) {
    int32_t n = 0;
    return getter(h, &n) == TBL_OK && n > 0 ? n : 0;
}

std::string Plural(uint64_t n, const char *one, const char *many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Counts of the file's lines as each mode takes them, and why they differ.
std::string ModeCounts(const std::string &path, char delimiter, int32_t header) {
    std::FILE *in = std::fopen(path.c_str(), "rb");
    if (!in) return "";
    FileCounts c = CountFile(in, delimiter);
    std::fclose(in);
    auto data = [&](uint64_t lines) {
        int64_t n = static_cast<int64_t>(lines) - header;
        return Plural(n < 0 ? 0 : static_cast<uint64_t>(n), "data line", "data lines");
    };
    std::string text = "\nline counts   " + Plural(c.lines, "line", "lines") + " in the file, " +
                       std::to_string(c.empty) + " empty\n";
    text += "  edit        " + data(c.filled) + " (empty lines are skipped)\n";
    text += "  preview     " + data(c.filled < 100 ? c.filled : 100) +
            " (the first 100 non-empty lines)\n";
    text += "  indexed     " + data(c.indexed);
    text += c.indexed < c.lines ? " (ends at " + IndexedEndReason(c) + ")\n"
                                : " (up to a line whose field count differs)\n";
    text += "  lines       " + std::to_string(c.counted);
    text += c.first_blank ? " (stops at line " + std::to_string(c.first_blank) + ", which is blank)\n"
                          : " (LF-ended lines before the first blank one)\n";
    return text;
}

} // namespace

int RunInfo(const Options &o) {
    int status = 0;
    LibraryInput input;
    Table table;
    if (!OpenForReading(o, &input, &table, &status)) return status;
    TableHandle *h = table.handle();
    int32_t columns = 0, rows = 0;
    int32_t rc = GetColumnCount(h, &columns);
    if (rc == TBL_OK) rc = GetLineCount(h, &rows);
    if (rc != TBL_OK) return Fail(o, rc, CodeMeaning(rc));

    std::vector<std::vector<std::string>> list;
    for (int32_t c = 0; c < columns; ++c) {
        std::string name;
        rc = ColumnName(h, c, &name);
        if (rc != TBL_OK) return Fail(o, rc, CodeMeaning(rc));
        list.push_back({std::to_string(c), name,
                        std::to_string(GetColHeadSizeByIndex(h, c))});
    }
    std::printf("file          %s\n", Visible(FilePath(o)).c_str());
    std::printf("mode          %s\n", ModeName(o.mode));
    std::printf("delimiter     %s\n", DelimiterText(o.delimiter).c_str());
    std::printf("header lines  %d\n", static_cast<int>(o.header_lines));
    std::printf("data lines    %d\n", static_cast<int>(rows));
    std::printf("columns       %d\n", static_cast<int>(columns));
    if (columns > 0) {
        std::printf("\n%s", LayOutTable({"index", "name", "head size"}, list,
                                        TerminalWidth(), true).c_str());
    }
    std::fputs(ModeCounts(input.path(), o.delimiter, o.header_lines).c_str(), stdout);
    return 0;
}

namespace {

// The start of a command on one cell, ROW and COLUMN in args[1] and args[2]:
// checks ROW before anything is opened, opens the table by open(table,
// status) and finds COLUMN in it. False with the exit status in *status.
template <typename Open>
bool OpenCell(const Options &o, Open open, Table *table, int32_t *column,
              int32_t *row, int *status) {
    if (!ParseInt32(o.args[1], row)) {
        *status = UsageFail(o, "ROW must be a whole number, not " + Q(o.args[1]));
        return false;
    }
    if (!open(table, status)) return false;
    int32_t rc = ResolveColumn(table->handle(), o.args[2], column);
    if (rc == TBL_OK) return true;
    *status = Fail(o, rc, "no column named " + Q(o.args[2]));
    return false;
}

} // namespace

int RunGet(const Options &o) {
    LibraryInput input;
    Table table;
    int32_t column = 0, row = 0;
    int status = 0;
    auto open = [&](Table *t, int *s) { return OpenForReading(o, &input, t, s); };
    if (!OpenCell(o, open, &table, &column, &row, &status)) return status;
    TableHandle *h = table.handle();
    std::string value;
    int32_t rc = ReadCell(h, column, row, &value);
    if (rc != TBL_OK)
        return Fail(o, rc, rc == TBL_ERR_RANGE ? ExplainCellRange(h, column, row)
                                               : CodeMeaning(rc));
    std::fwrite(value.data(), 1, value.size(), stdout);
    if (!o.no_newline) std::fputc('\n', stdout);
    return 0;
}

namespace {

// Takes the edit lock of the file the edit will replace, then opens the
// table. False with the exit status in *status.
bool BeginEdit(const Options &o, EditLock *lock, Table *table, int *status) {
    if (IsStdin(FilePath(o))) {
        *status = UsageFail(o, "standard input cannot be edited; name a file");
        return false;
    }
    std::string error;
    if (!lock->Acquire(o.output_given ? o.output : FilePath(o), &error)) {
        *status = Complain(o, error);
        return false;
    }
    return OpenOrFail(o, FilePath(o), OPEN_EDIT, table, status);
}

} // namespace

int RunSet(const Options &o) {
    EditLock lock;
    Table table;
    int32_t column = 0, row = 0;
    int status = 0;
    auto open = [&](Table *t, int *s) { return BeginEdit(o, &lock, t, s); };
    if (!OpenCell(o, open, &table, &column, &row, &status)) return status;
    TableHandle *h = table.handle();
    const std::string &value = o.args[3];
    int32_t rc = SetCellValByIndex(h, column, row, value.data(), static_cast<int32_t>(value.size()));
    if (rc == TBL_ERR_RANGE) {
        int32_t columns = CountOf(GetColumnCount, h), rows = CountOf(GetLineCount, h);
        if (column >= 0 && column < columns && row >= 0 && row < rows)
            return Fail(o, rc, "the value cannot be stored in this cell so that it"
                               " reads back unchanged; nothing was written");
        return Fail(o, rc, ExplainCellRange(h, column, row));
    }
    if (rc != TBL_OK) return Fail(o, rc, CodeMeaning(rc));
    return SaveOrFail(o, h);
}

namespace {

// An edit that appends to the table: counts before it (so the new row or
// column's index), makes the change, saves and prints the index. refused
// says why the change may answer TBL_ERR_RANGE.
int AppendAndSave(const Options &o, int32_t (*count)(TableHandle *, int32_t *),
                  int32_t (*change)(const Options &, TableHandle *),
                  const std::string &refused) {
    EditLock lock;
    Table table;
    int status = 0;
    if (!BeginEdit(o, &lock, &table, &status)) return status;
    TableHandle *h = table.handle();
    int32_t before = 0;
    int32_t rc = count(h, &before);
    if (rc == TBL_OK) rc = change(o, h);
    if (rc == TBL_ERR_RANGE && !refused.empty()) return Fail(o, rc, refused);
    if (rc != TBL_OK) return Fail(o, rc, CodeMeaning(rc));
    if ((status = SaveOrFail(o, h)) != 0) return status;
    std::printf("%d\n", static_cast<int>(before));
    return 0;
}

int32_t AddRow(const Options &, TableHandle *h) { return CreateRow(h); }
int32_t AddColumn(const Options &o, TableHandle *h) {
    return CreateColumn(h, -1, o.args[1].c_str());
}

} // namespace

int RunAddRow(const Options &o) { return AppendAndSave(o, GetLineCount, AddRow, ""); }

int RunAddColumn(const Options &o) {
    return AppendAndSave(o, GetColumnCount, AddColumn,
                         "a column name cannot hold the delimiter or a line break: " +
                             Q(o.args[1]));
}

namespace {

// After a preparation: how many lines the indexed view holds, and a warning
// when it ends before the file's last non-empty line.
int ReportIndexed(const Options &o) {
    const std::string &dir = o.args[1];
    Table table;
    int32_t rc = table.Open(FilePath(o), OPEN_INDEXED, o.delimiter, o.header_lines,
                            dir.c_str(), o.unique);
    int32_t rows = 0, columns = 0;
    if (rc == TBL_OK) rc = GetLineCount(table.handle(), &rows);
    if (rc == TBL_OK) rc = GetColumnCount(table.handle(), &columns);
    if (rc != TBL_OK)
        return Fail(o, rc, "the index was written but cannot be opened: " +
                               std::string(CodeMeaning(rc)));
    const uint64_t viewed = static_cast<uint64_t>(rows) + static_cast<uint64_t>(o.header_lines);
    std::printf("indexed %s of %s: %s and %s, %s\n",
                Plural(viewed, "line", "lines").c_str(), Q(FilePath(o)).c_str(),
                Plural(static_cast<uint64_t>(o.header_lines), "header line", "header lines").c_str(),
                Plural(static_cast<uint64_t>(rows), "data line", "data lines").c_str(),
                Plural(static_cast<uint64_t>(columns), "column", "columns").c_str());
    if (std::FILE *in = std::fopen(FilePath(o).c_str(), "rb")) {
        FileCounts c = CountFile(in, o.delimiter);
        std::fclose(in);
        // Only a view that leaves out lines holding anything is worth a word.
        if (viewed < c.last_filled) {
            std::string why = c.indexed == viewed
                                  ? IndexedEndReason(c)
                                  : "line " + std::to_string(viewed + 1);
            uint64_t header = static_cast<uint64_t>(o.header_lines);
            std::fprintf(stderr,
                         "tavlin index prepare: warning: the indexed view ends after line"
                         " %llu of %llu, at %s; an edit load reads %s\n",
                         static_cast<unsigned long long>(viewed),
                         static_cast<unsigned long long>(c.lines), why.c_str(),
                         Plural(c.filled > header ? c.filled - header : 0, "data line",
                                "data lines")
                             .c_str());
        }
    }
    return 0;
}

} // namespace

int RunIndexPrepare(const Options &o) {
    const std::string &dir = o.args[1];
    if (IsStdin(FilePath(o))) return UsageFail(o, "standard input cannot be indexed; name a file");
    const char delim[2] = {o.delimiter, '\0'};
    int32_t rc = PreOpenTableUnique(FilePath(o).c_str(), dir.c_str(), delim,
                                    &o.header_lines, o.force ? 1 : 0, o.unique ? 1 : 0);
    if (rc == TBL_OK) return ReportIndexed(o);
    const std::string path = Q(FilePath(o));
    switch (rc) {
    case TBL_ERR_NO_FILE: return Fail(o, rc, "no file at " + path);
    case TBL_ERR_INDEX_EXISTS:
        return Fail(o, rc, "an index for " + path + " already exists in " + Q(dir) +
                               " (--force replaces it)");
    case TBL_ERR_MAP_DATA:
        return Fail(o, rc, path + " could not be mapped (an empty file cannot be)");
    case TBL_ERR_FORMAT:
        return Fail(o, rc, path + " has fewer lines than the " +
                               std::to_string(o.header_lines) + " header lines");
    case TBL_ERR_INDEX_BUILD:
        if (!IsDirectory(dir)) return Fail(o, rc, Q(dir) + " is not a directory");
        return Fail(o, rc, "the index file could not be written into " + Q(dir));
    case TBL_ERR_REMOVE:
        return Fail(o, rc, "the old index file in " + Q(dir) + " could not be removed");
    }
    return Fail(o, rc, CodeMeaning(rc));
}

int RunIndexDrop(const Options &o) {
    const std::string &dir = o.args[1];
    const char delim[2] = {o.delimiter, '\0'};
    int32_t rc = PostCloseTableUnique(FilePath(o).c_str(), delim, &o.header_lines,
                                      dir.c_str(), o.unique ? 1 : 0);
    if (rc == TBL_OK) return 0;
    if (rc == TBL_ERR_REMOVE)
        return Fail(o, rc, "no index for " + Q(FilePath(o)) + " could be removed from " +
                               Q(dir) + " (none was prepared with these options)");
    return Fail(o, rc, CodeMeaning(rc));
}

int RunLines(const Options &o) {
    LibraryInput input;
    std::string error;
    if (!input.Prepare(FilePath(o), &error)) return Complain(o, error);
    const std::string &path = input.path();
    const char delim[2] = {o.delimiter, '\0'};
    const int32_t subtract = o.header_lines_given ? o.header_lines : 0;
    int32_t n = GetNumberOfLinesEx(path.c_str(), delim, &subtract);
    if (n < 0 && subtract > 0) {
        // A count below the subtrahend is negative as well; the bare count
        // tells it from a failure.
        const int32_t zero = 0;
        int32_t bare = GetNumberOfLinesEx(path.c_str(), delim, &zero);
        n = bare >= 0 ? bare - subtract : bare;
        if (bare >= 0) {
            std::printf("%d\n", static_cast<int>(n));
            return 0;
        }
    }
    if (n == TBL_ERR_NO_FILE) return Fail(o, n, "no file at " + Shown(FilePath(o)));
    if (n == TBL_ERR_MAP_DATA)
        return Fail(o, n, Shown(FilePath(o)) + " could not be mapped (an empty file cannot be)");
    if (n < 0) return Fail(o, n, CodeMeaning(n));
    std::printf("%d\n", static_cast<int>(n));
    return 0;
}

} // namespace tavlin
