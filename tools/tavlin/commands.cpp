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
#include "lock.h"
#include "render.h"
#include "tool.h"

#if defined(_WIN32)
#  include <process.h>
#  define TAVLIN_GETPID _getpid
#else
#  include <unistd.h>
#  define TAVLIN_GETPID getpid
#endif

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
    text += "  lines       " + std::to_string(c.counted);
    text += c.first_blank ? " (stops at line " + std::to_string(c.first_blank) + ", which is blank)\n"
                          : " (LF-ended lines before the first blank one)\n";
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

// ROW of a command on one cell: a whole number of any size (one beyond
// every row is refused with the table's counts, as a row past the end).
bool ParseRow(const Options &o, int64_t *row, int *status) {
    const std::string &text = o.args[1];
    if (!IsWholeNumber(text)) {
        *status = UsageFail(o, "ROW must be a whole number, not " + Q(text));
        return false;
    }
    if (!ParseInt64(text, row)) *row = text[0] == '-' ? INT64_MIN : INT64_MAX;
    return true;
}

// Finds COLUMN in an open table: by name, else as an index of any size.
bool FindColumn(const Options &o, TableHandle *h, int32_t *column, int64_t row, int *status) {
    int32_t rc = ResolveColumn(h, o.args[2], column);
    if (rc == TBL_OK) return true;
    int64_t wide = 0;
    if (ParseColumnIndex64(o.args[2], &wide) || IsWholeNumber(o.args[2])) {
        int32_t columns = 0, rows = 0;
        GetColumnCount(h, &columns);
        GetLineCount(h, &rows);
        if (!ParseColumnIndex64(o.args[2], &wide)) wide = INT64_MAX;
        *status = Fail(o, TBL_ERR_RANGE, ExplainCellRange(columns, rows, wide, row));
        return false;
    }
    *status = Fail(o, rc, "no column named " + Q(o.args[2]));
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
    if (!ParseRow(o, &row, &status)) return status;
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

namespace fs = std::filesystem;

// The source of an edit with --output, copied beside the output: the edit
// loads the copy (the source itself needs no write access) and saves over
// the output. The copy goes when the edit ends.
class EditCopy {
public:
    EditCopy() = default;
    EditCopy(const EditCopy &) = delete;
    EditCopy &operator=(const EditCopy &) = delete;
    ~EditCopy() {
        std::error_code ec;
        if (!path_.empty()) fs::remove(path_, ec);
    }
    // Copies source beside target through the library's file layer. The
    // exit status of a failure (reported) in *status.
    bool Make(const Options &o, const std::string &source, const std::string &target,
              int *status) {
        fs::path t(target);
        std::string name = "." + t.filename().string() + ".tavlin-edit-" +
                           std::to_string(static_cast<long long>(ProcessId()));
        const std::string path = (t.parent_path() / name).string();
        std::FILE *in = std::fopen(source.c_str(), "rb");
        if (!in) {
            *status = Fail(o, TBL_ERR_OPEN, Q(source) + " could not be opened for reading: " +
                                                std::strerror(errno));
            return false;
        }
        errno = 0;
        FileResult rc = FileReplace(path.c_str(), CopyInto, in);
        const int error = errno;
        const bool read_failed = std::ferror(in) != 0;
        std::fclose(in);
        if (rc == FILE_OK) {
            path_ = path;
            return true;
        }
        *status = Fail(o, read_failed ? TBL_ERR_OPEN : TBL_ERR_SAVE_OPEN,
                       read_failed ? Q(source) + " could not be read"
                                   : Q(target) + " could not be written: " +
                                         SaveFailureReason(target, error) +
                                         "; any file there is as it was");
        return false;
    }
    const std::string &path() const { return path_; }

private:
    static int CopyInto(void *context, FileSink *sink) {
        std::FILE *in = static_cast<std::FILE *>(context);
        char buffer[1 << 16];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) {
            FileSinkPut(sink, buffer, n);
            if (sink->failed) return 1;
        }
        return std::ferror(in) ? 1 : 0;
    }
    static long ProcessId() { return static_cast<long>(TAVLIN_GETPID()); }
    std::string path_;
};

// Checks that the edit can read its source and, in place, write it, before
// anything is made; takes the edit lock of the file the edit will write;
// opens the table (for --output, a copy of the source beside the output).
// False with the exit status in *status.
bool BeginEdit(const Options &o, EditLock *lock, EditCopy *copy, Table *table,
               int *status) {
    const std::string &source = FilePath(o);
    if (IsStdin(source)) {
        *status = UsageFail(o, "standard input cannot be edited; name a file");
        return false;
    }
    std::error_code ec;
    if (!fs::exists(source, ec)) {
        *status = Fail(o, TBL_ERR_NO_FILE, "no file at " + Q(source));
        return false;
    }
    const std::string kind = KindOfNonFile(source);
    if (!kind.empty()) {
        *status = Fail(o, TBL_ERR_NO_FILE, Q(source) + " is " + kind + ", not a file");
        return false;
    }
    const std::string denied = AccessProblem(source, !o.output_given);
    if (!denied.empty() && !o.output_given) {
        *status = Fail(o, TBL_ERR_OPEN,
                       Q(source) + " could not be opened for reading and writing: " + denied +
                           "; nothing was changed (--output PATH writes the edited"
                           " table elsewhere)");
        return false;
    }
    if (!denied.empty()) {
        *status = Fail(o, TBL_ERR_OPEN, Q(source) + " could not be opened for reading: " + denied);
        return false;
    }
    const std::string target = o.output_given ? o.output : source;
    // What keeps the save from replacing the target is said before
    // anything is made (a lock file included).
    const std::string problem = ReplaceProblem(target);
    if (!problem.empty()) {
        *status = Fail(o, TBL_ERR_SAVE_OPEN, Q(target) + " could not be written: " + problem +
                                                 "; any file there is as it was");
        return false;
    }
    std::string error;
    if (!lock->Acquire(target, &error)) {
        *status = Complain(o, error);
        return false;
    }
    if (!o.output_given) return OpenOrFail(o, source, OPEN_EDIT, table, status);
    if (!copy->Make(o, source, target, status)) return false;
    return OpenOrFail(o, copy->path(), OPEN_EDIT, table, status);
}

const std::string &EditTarget(const Options &o) {
    return o.output_given ? o.output : FilePath(o);
}

} // namespace

int RunSet(const Options &o) {
    int64_t row = 0;
    int status = 0;
    if (!ParseRow(o, &row, &status)) return status;
    EditLock lock;
    EditCopy copy;
    Table table;
    if (!BeginEdit(o, &lock, &copy, &table, &status)) return status;
    TableHandle *h = table.handle();
    int32_t column = 0;
    if (!FindColumn(o, h, &column, row, &status)) return status;
    if (!RowFits(o, h, column, row, &status)) return status;
    const int32_t r = static_cast<int32_t>(row);
    const std::string &value = o.args[3];
    int32_t rc = SetCellValByIndex(h, column, r, value.data(), static_cast<int32_t>(value.size()));
    if (rc == TBL_ERR_RANGE) {
        int32_t columns = CountOf(GetColumnCount, h), rows = CountOf(GetLineCount, h);
        if (column >= 0 && column < columns && r >= 0 && r < rows)
            return Fail(o, rc, "the value cannot be stored in this cell so that it"
                               " reads back unchanged; nothing was written");
        return Fail(o, rc, ExplainCellRange(h, column, r));
    }
    if (rc != TBL_OK) return Fail(o, rc, CodeMeaning(rc));
    if ((status = SaveOrFail(o, h, EditTarget(o))) != 0) return status;
    lock.Keep();
    return 0;
}

namespace {

// An edit that appends to the table: counts before it (so the new row or
// column's index), makes the change, prints the index, and saves only once
// the index is out (an edit whose answer cannot be written is not made).
// refused says why the change may answer TBL_ERR_RANGE.
int AppendAndSave(const Options &o, int32_t (*count)(TableHandle *, int32_t *),
                  int32_t (*change)(const Options &, TableHandle *),
                  const std::string &refused) {
    EditLock lock;
    EditCopy copy;
    Table table;
    int status = 0;
    if (!BeginEdit(o, &lock, &copy, &table, &status)) return status;
    TableHandle *h = table.handle();
    int32_t before = 0;
    int32_t rc = count(h, &before);
    if (rc == TBL_OK) rc = change(o, h);
    if (rc == TBL_ERR_RANGE && !refused.empty()) return Fail(o, rc, refused);
    if (rc != TBL_OK) return Fail(o, rc, CodeMeaning(rc));
    errno = 0;
    if (std::printf("%d\n", static_cast<int>(before)) < 0 || std::fflush(stdout) != 0)
        return Complain(o, std::string("the output could not be written (") +
                               std::strerror(errno) + "); nothing was saved");
    if ((status = SaveOrFail(o, h, EditTarget(o))) != 0) return status;
    lock.Keep();
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
