// commands.cpp - the subcommands that go through the library's handles:
// info and get of an indexed table, and the index files.
//
// Every subcommand is a short sequence of the library's exported calls. A
// failing call ends the subcommand with one line on stderr, naming the
// subcommand, the result code and what went wrong in this case. Tables are
// closed and freed on every path (see Table).
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "base/tavlfile.h"
#include "diagnose.h"
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

// Counts of the file's lines as each mode takes them, and why they differ.
std::string ModeCounts(std::FILE *in, char delimiter, int32_t header) {
    if (!in) return "";
    FileCounts c = CountFile(in, delimiter);
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
    // What 'tavlin lines' prints with the same -H.
    text += "  lines       " + std::to_string(static_cast<int64_t>(c.counted) - header);
    text += c.first_blank ? " (stops at line " + std::to_string(c.first_blank) + ", which is blank"
                          : " (LF-ended lines before the first blank one";
    text += header ? ", less " + Plural(static_cast<uint64_t>(header), "header line",
                                        "header lines") + ")\n"
                   : ")\n";
    return text;
}

} // namespace

int RunInfo(const Options &o) {
    int status = 0;
    InfoFacts facts;
    StreamInput input;
    if (o.mode == OPEN_INDEXED) {
        Table table;
        if (!OpenIndexed(o, &table, &status)) return status;
        TableHandle *h = table.handle();
        int32_t columns = 0, rows = 0;
        int32_t rc = GetColumnCount(h, &columns);
        if (rc == TBL_OK) rc = GetLineCount(h, &rows);
        if (rc != TBL_OK) return Fail(o, rc, CodeMeaning(rc));
        for (int32_t c = 0; c < columns; ++c) {
            std::string name;
            rc = ColumnName(h, c, &name);
            if (rc != TBL_OK) return Fail(o, rc, CodeMeaning(rc));
            facts.names.push_back(name);
        }
        facts.data_lines = rows;
        if (!input.Open(o, FilePath(o), &status)) return status;
    } else {
        // The file is read as the load reads it, with the load's own line
        // reader, so a file one may only read is read all the same.
        if ((status = InfoStreamed(o, &facts, &input)) != 0) return status;
        if (o.mode == OPEN_PREVIEW)
            facts.data_lines = std::min<int64_t>(facts.data_lines + o.header_lines, 100) -
                               o.header_lines;
    }
    std::vector<std::vector<std::string>> list;
    for (size_t c = 0; c < facts.names.size(); ++c)
        list.push_back({std::to_string(c), facts.names[c],
                        std::to_string(facts.names[c].size() + 1)});
    const size_t columns = facts.names.size();
    std::printf("file          %s\n", Visible(FilePath(o)).c_str());
    std::printf("mode          %s\n", ModeName(o.mode));
    std::printf("delimiter     %s\n", DelimiterText(o.delimiter).c_str());
    std::printf("header lines  %d\n", static_cast<int>(o.header_lines));
    std::printf("data lines    %lld\n", static_cast<long long>(facts.data_lines));
    std::printf("columns       %zu\n", columns);
    if (columns > 0) {
        std::printf("\n%s", LayOutTable({"index", "name", "head size"}, list,
                                        TerminalWidth(), true).c_str());
    }
    if (input.Rewind())
        std::fputs(ModeCounts(input.file(), o.delimiter, o.header_lines).c_str(), stdout);
    return 0;
}

namespace {

// Finds COLUMN in an open table, by name or position; a position past the
// last column is refused with the table's counts.
bool FindColumn(const Options &o, TableHandle *h, int32_t *column, int64_t row, int *status) {
    const int64_t c = LookUpColumn(o.args[2], [&](const std::string &name) -> int64_t {
        int32_t index = 0;
        return GetColumnIndex(h, name.c_str(), &index) == TBL_OK ? index : -1;
    });
    if (c < 0) {
        *status = Fail(o, TBL_ERR_NO_COLUMN, "no column named " + Q(o.args[2]));
        return false;
    }
    int32_t columns = 0, rows = 0;
    GetColumnCount(h, &columns);
    if (c < columns) {
        *column = static_cast<int32_t>(c);
        return true;
    }
    GetLineCount(h, &rows);
    *status = Fail(o, TBL_ERR_RANGE, ExplainCellRange(columns, rows, c, row));
    return false;
}

// A row beyond what the library's 32 bits hold: refused with the counts.
bool RowFits(const Options &o, TableHandle *h, int32_t column, int64_t row, int *status) {
    if (row >= INT32_MIN && row <= INT32_MAX) return true;
    int32_t columns = 0, rows = 0;
    GetColumnCount(h, &columns);
    GetLineCount(h, &rows);
    *status = Fail(o, TBL_ERR_RANGE, ExplainCellRange(columns, rows, column, row));
    return false;
}

} // namespace

int RunGet(const Options &o) {
    int64_t row = 0;
    int status = 0;
    if (!ParseRow(o, o.args[1], &row, &status)) return status;
    if (o.mode != OPEN_INDEXED) return GetStreamed(o, row);
    Table table;
    if (!OpenIndexed(o, &table, &status)) return status;
    TableHandle *h = table.handle();
    int32_t column = 0;
    if (!FindColumn(o, h, &column, row, &status)) return status;
    if (!RowFits(o, h, column, row, &status)) return status;
    std::string value;
    const int32_t r = static_cast<int32_t>(row);
    int32_t rc = ReadCell(h, column, r, &value);
    if (rc != TBL_OK)
        return Fail(o, rc, rc == TBL_ERR_RANGE ? ExplainCellRange(h, column, r)
                                               : CodeMeaning(rc));
    std::fwrite(value.data(), 1, value.size(), stdout);
    if (!o.no_newline) std::fputc('\n', stdout);
    return 0;
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
    if (std::FILE *in = FileStreamOpen(FilePath(o).c_str(), "rb")) {
        FileCounts c = CountFile(in, o.delimiter);
        std::fclose(in);
        if (c.cr_alone) WarnCrAlone(o);
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
    if (rc == TBL_OK) {
        int status = ReportIndexed(o);
        errno = 0;
        if (status == 0 && std::fflush(stdout) != 0) {
            // A preparation whose report cannot be written is undone.
            const int error = errno;
            PostCloseTableUnique(FilePath(o).c_str(), delim, &o.header_lines, dir.c_str(),
                                 o.unique ? 1 : 0);
            return Complain(o, std::string("the output could not be written (") +
                                   std::strerror(error) + "); the index was removed again");
        }
        return status;
    }
    const std::string path = Q(FilePath(o));
    switch (rc) {
    case TBL_ERR_NO_FILE:
        if (!KindOfNonFile(FilePath(o)).empty())
            return Fail(o, rc, path + " is " + KindOfNonFile(FilePath(o)) + ", not a file");
        return Fail(o, rc, "no file at " + path);
    case TBL_ERR_INDEX_EXISTS:
        return Fail(o, rc, "an index for " + path + " already exists in " + Q(dir) +
                               " (--force replaces it)");
    case TBL_ERR_MAP_DATA: return Fail(o, rc, MapFailureReason(FilePath(o), path));
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

} // namespace tavlin
