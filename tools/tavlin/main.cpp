// main.cpp - tavlin, a command-line host of the tavlin32 library: inspect a
// delimited table, read and write single cells, add rows and columns,
// prepare and drop index files, and count lines.
//
// Every subcommand is a short sequence of the library's exported calls. A
// failing call ends the subcommand with one line on stderr, naming the
// subcommand, the result code and what went wrong in this case, and exit
// status 1; a command line that cannot be run exits with 2. Tables are
// closed and freed on every path (see Table), and a table is only written
// by SaveTable, which leaves the old file as it was when it cannot finish.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#if defined(_WIN32)
#  include <fcntl.h>
#  include <io.h>
#endif

#include "options.h"
#include "render.h"
#include "table.h"
#include "tavlin32.h"

namespace tavlin {
namespace {

const int kExitFailure = 1;
const int kExitUsage = 2;
const int32_t kDefaultShowRows = 100;

int Fail(const Options &o, int32_t code, const std::string &sentence) {
    std::fprintf(stderr, "tavlin %s: %s (%d): %s\n", o.command->name, CodeName(code),
                 static_cast<int>(code), sentence.c_str());
    return kExitFailure;
}

int UsageFail(const Options &o, const std::string &sentence) {
    std::fprintf(stderr, "tavlin %s: %s\n", o.command->name, sentence.c_str());
    return kExitUsage;
}

// User text inside a message, on one line whatever it holds.
std::string Q(const std::string &text) { return "'" + Visible(text) + "'"; }

const std::string &FilePath(const Options &o) { return o.args[0]; }

std::string DelimiterText(char d) {
    return d == '\t' ? std::string("tab") : Q(std::string(1, d));
}

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

std::string ExplainOpen(const Options &o, int32_t mode, int32_t code) {
    const std::string path = Q(FilePath(o));
    switch (code) {
    case TBL_ERR_NO_FILE: return "no file at " + path;
    case TBL_ERR_DELIMITER:
        return "the delimiter " + DelimiterText(o.delimiter) + " cannot be used";
    case TBL_ERR_RANGE:
        return "the header line count " + std::to_string(o.header_lines) +
               " cannot be used";
    case TBL_ERR_FORMAT:
        return "the lines of " + path + " do not all have the same number of fields";
    case TBL_ERR_OPEN:
        if (mode == OPEN_EDIT)
            return path + " could not be opened for reading and writing"
                   " (--mode preview reads the first 100 lines only)";
        return path + " could not be opened for reading";
    case TBL_ERR_NO_MEMORY: return "out of memory while loading " + path;
    case TBL_ERR_INDEX_OPEN:
        return "no index for " + path + " in " + Q(o.index_dir) +
               " fits these options (prepare one with tavlin index prepare,"
               " giving the same -d, -H and --unique)";
    case TBL_ERR_MAP_DATA:
        return path + " could not be mapped (an empty file cannot be)";
    case TBL_ERR_BAD_HANDLE:
        return "the column names could not be read from the first line of " + path;
    }
    return CodeMeaning(code);
}

// Opens the table for a subcommand; on failure prints the line and returns
// the exit status through *status.
bool OpenOrFail(const Options &o, int32_t mode, Table *table, int *status) {
    const char *index_dir = mode == OPEN_INDEXED ? o.index_dir.c_str() : nullptr;
    int32_t rc = table->Open(FilePath(o), mode, o.delimiter, o.header_lines,
                             index_dir, o.unique);
    if (rc == TBL_OK) return true;
    *status = Fail(o, rc, ExplainOpen(o, mode, rc));
    return false;
}

int32_t CountOf(int32_t (*getter)(TableHandle *, int32_t *), TableHandle *h) {
    int32_t n = 0;
    return getter(h, &n) == TBL_OK && n > 0 ? n : 0;
}

// Resolves a column argument and checks the index with the library, so that
// a bad column is reported before any row is read.
bool ColumnOrFail(const Options &o, TableHandle *h, const std::string &text,
                  int32_t *column, std::string *name, int *status) {
    int32_t rc = ResolveColumn(h, text, column);
    if (rc != TBL_OK) {
        *status = Fail(o, rc, "no column named " + Q(text));
        return false;
    }
    rc = ColumnName(h, *column, name);
    if (rc != TBL_OK) {
        *status = Fail(o, rc, rc == TBL_ERR_RANGE ? ExplainCellRange(h, *column, 0)
                                                  : CodeMeaning(rc));
        return false;
    }
    return true;
}

int SaveOrFail(const Options &o, TableHandle *h) {
    const std::string &target = o.output_given ? o.output : FilePath(o);
    int32_t rc = SaveTable(h, target.c_str());
    if (rc == TBL_OK) return 0;
    if (rc == TBL_ERR_SAVE_OPEN)
        return Fail(o, rc, Q(target) + " could not be written; any file there is as it was");
    return Fail(o, rc, CodeMeaning(rc));
}

// ---- subcommands ----------------------------------------------------------

int RunInfo(const Options &o) {
    Table table;
    int status = 0;
    if (!OpenOrFail(o, o.mode, &table, &status)) return status;
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
    return 0;
}

// "A:B", "A:", ":B" or "A": data rows A up to but not including B.
bool ParseRows(const std::string &text, int32_t rows, int32_t *first, int32_t *end) {
    size_t colon = text.find(':');
    std::string a = text.substr(0, colon);
    std::string b = colon == std::string::npos ? "" : text.substr(colon + 1);
    int32_t va = 0, vb = rows;
    if (!a.empty() && (!ParseInt32(a, &va) || va < 0)) return false;
    if (colon == std::string::npos) {
        if (a.empty()) return false;
        vb = va + 1;
    } else if (!b.empty() && (!ParseInt32(b, &vb) || vb < 0)) {
        return false;
    }
    *first = va;
    *end = vb;
    return true;
}

std::vector<std::string> SplitList(const std::string &text) {
    std::vector<std::string> items;
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        items.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return items;
}

int RunShow(const Options &o) {
    Table table;
    int status = 0;
    if (!OpenOrFail(o, o.mode, &table, &status)) return status;
    TableHandle *h = table.handle();
    const int32_t columns = CountOf(GetColumnCount, h);
    const int32_t rows = CountOf(GetLineCount, h);

    int32_t first = 0, end = rows < kDefaultShowRows ? rows : kDefaultShowRows;
    if (o.rows_given && !ParseRows(o.rows, rows, &first, &end))
        return UsageFail(o, "--rows takes A:B, A:, :B or A with whole numbers from 0, not " +
                                Q(o.rows));
    if (end > rows) end = rows;
    if (first > end) first = end;

    std::vector<int32_t> picked;
    std::vector<std::string> header = {"#"};
    if (o.columns_given) {
        for (const std::string &item : SplitList(o.columns)) {
            int32_t column = 0;
            std::string name;
            if (!ColumnOrFail(o, h, item, &column, &name, &status)) return status;
            picked.push_back(column);
            header.push_back(name);
        }
    } else {
        for (int32_t c = 0; c < columns; ++c) {
            std::string name;
            int32_t rc = ColumnName(h, c, &name);
            if (rc != TBL_OK) return Fail(o, rc, CodeMeaning(rc));
            picked.push_back(c);
            header.push_back(name);
        }
    }
    if (picked.empty()) {
        std::printf("(the table has no columns; %d data rows)\n", static_cast<int>(rows));
        return 0;
    }

    std::vector<std::vector<std::string>> body;
    for (int32_t r = first; r < end; ++r) {
        std::vector<std::string> line = {std::to_string(r)};
        for (int32_t c : picked) {
            std::string value;
            int32_t rc = ReadCell(h, c, r, &value);
            if (rc != TBL_OK)
                return Fail(o, rc, rc == TBL_ERR_RANGE ? ExplainCellRange(h, c, r)
                                                       : CodeMeaning(rc));
            line.push_back(std::move(value));
        }
        body.push_back(std::move(line));
    }
    std::fputs(LayOutTable(header, body, TerminalWidth(), o.wide).c_str(), stdout);

    if (rows == 0) {
        std::printf("(no data rows)\n");
    } else if (first == end) {
        std::printf("(no rows in %s; the table has %d data rows)\n", o.rows.c_str(),
                    static_cast<int>(rows));
    } else if (first > 0 || end < rows) {
        std::printf("(rows %d to %d of %d; --rows A:B shows others)\n",
                    static_cast<int>(first), static_cast<int>(end - 1),
                    static_cast<int>(rows));
    } else {
        std::printf("(%d data rows)\n", static_cast<int>(rows));
    }
    if (o.mode == OPEN_PREVIEW)
        std::printf("(preview mode loads at most the first 100 lines of the file)\n");
    return 0;
}

bool RowOrFail(const Options &o, const std::string &text, int32_t *row, int *status) {
    if (ParseInt32(text, row)) return true;
    *status = UsageFail(o, "ROW must be a whole number, not " + Q(text));
    return false;
}

int RunGet(const Options &o) {
    int status = 0;
    int32_t row = 0;
    if (!RowOrFail(o, o.args[1], &row, &status)) return status;
    Table table;
    if (!OpenOrFail(o, o.mode, &table, &status)) return status;
    TableHandle *h = table.handle();
    int32_t column = 0;
    int32_t rc = ResolveColumn(h, o.args[2], &column);
    if (rc != TBL_OK) return Fail(o, rc, "no column named " + Q(o.args[2]));
    std::string value;
    rc = ReadCell(h, column, row, &value);
    if (rc != TBL_OK)
        return Fail(o, rc, rc == TBL_ERR_RANGE ? ExplainCellRange(h, column, row)
                                               : CodeMeaning(rc));
    std::fwrite(value.data(), 1, value.size(), stdout);
    if (!o.no_newline) std::fputc('\n', stdout);
    return 0;
}

int RunSet(const Options &o) {
    int status = 0;
    int32_t row = 0;
    if (!RowOrFail(o, o.args[1], &row, &status)) return status;
    Table table;
    if (!OpenOrFail(o, OPEN_EDIT, &table, &status)) return status;
    TableHandle *h = table.handle();
    int32_t column = 0;
    int32_t rc = ResolveColumn(h, o.args[2], &column);
    if (rc != TBL_OK) return Fail(o, rc, "no column named " + Q(o.args[2]));
    const std::string &value = o.args[3];
    rc = SetCellValByIndex(h, column, row, value.data(), static_cast<int32_t>(value.size()));
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

int RunAddRow(const Options &o) {
    Table table;
    int status = 0;
    if (!OpenOrFail(o, OPEN_EDIT, &table, &status)) return status;
    TableHandle *h = table.handle();
    int32_t before = 0;
    int32_t rc = GetLineCount(h, &before);
    if (rc == TBL_OK) rc = CreateRow(h);
    if (rc != TBL_OK) return Fail(o, rc, CodeMeaning(rc));
    if ((status = SaveOrFail(o, h)) != 0) return status;
    std::printf("%d\n", static_cast<int>(before));
    return 0;
}

int RunAddColumn(const Options &o) {
    Table table;
    int status = 0;
    if (!OpenOrFail(o, OPEN_EDIT, &table, &status)) return status;
    TableHandle *h = table.handle();
    int32_t before = 0;
    int32_t rc = GetColumnCount(h, &before);
    if (rc == TBL_OK) rc = CreateColumn(h, -1, o.args[1].c_str());
    if (rc == TBL_ERR_RANGE)
        return Fail(o, rc, "a column name cannot hold the delimiter or a line break: " +
                               Q(o.args[1]));
    if (rc != TBL_OK) return Fail(o, rc, CodeMeaning(rc));
    if ((status = SaveOrFail(o, h)) != 0) return status;
    std::printf("%d\n", static_cast<int>(before));
    return 0;
}

int RunIndexPrepare(const Options &o) {
    const std::string &dir = o.args[1];
    const char delim[2] = {o.delimiter, '\0'};
    int32_t rc = PreOpenTableUnique(FilePath(o).c_str(), dir.c_str(), delim,
                                    &o.header_lines, o.force ? 1 : 0, o.unique ? 1 : 0);
    if (rc == TBL_OK) return 0;
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
    const std::string &path = FilePath(o);
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
    if (n == TBL_ERR_NO_FILE) return Fail(o, n, "no file at " + Q(path));
    if (n == TBL_ERR_MAP_DATA)
        return Fail(o, n, Q(path) + " could not be mapped (an empty file cannot be)");
    if (n < 0) return Fail(o, n, CodeMeaning(n));
    std::printf("%d\n", static_cast<int>(n));
    return 0;
}

const char kModeHelp[] =
    "      --mode M           edit (default: whole file), preview (first 100\n"
    "                         lines, read only) or indexed (needs --index-dir)\n"
    "      --index-dir DIR    where 'tavlin index prepare' put the index\n";

const std::string kInfoHelp = std::string(
    "Prints the columns (index, name, head size), the number of data lines\n"
    "and header lines, and the delimiter.\n\noptions:\n") + kModeHelp;

const std::string kShowHelp = std::string(
    "Prints the table aligned for a terminal. Control bytes, NUL and invalid\n"
    "UTF-8 are shown as escapes (\\n, \\t, \\0, \\xNN; a backslash as \\\\). Values\n"
    "are cut to the terminal width with an ellipsis, and at most 100 rows are\n"
    "shown, unless the options say otherwise.\n\noptions:\n"
    "      --rows A:B         data rows A up to but not including B; A: runs to\n"
    "                         the end, :B starts at 0, A alone is one row\n"
    "      --columns N,...    only these columns (names or indexes), in this order\n"
    "      --wide             never cut values\n") + kModeHelp;

const std::string kGetHelp = std::string(
    "Prints the decoded value of one data cell, byte for byte, and a newline.\n"
    "COLUMN is a column name or, when no column bears that name, an index.\n\n"
    "options:\n"
    "  -n, --no-newline       no newline after the value\n") + kModeHelp;

const char kOutputHelp[] =
    "options:\n"
    "  -o, --output PATH      write the table there instead of over FILE\n";

const std::string kSetHelp = std::string(
    "Stores VALUE (any bytes; a shell's $'a\\nb' gives a line break) in one data\n"
    "cell and saves the table. COLUMN is a name or an index. A VALUE that\n"
    "starts with '-' goes after '--': tavlin set FILE 0 note -- -x\n\n") + kOutputHelp;

const std::string kAddRowHelp = std::string(
    "Appends a data row of empty cells, saves the table and prints the new\n"
    "row's index.\n\n") + kOutputHelp;

const std::string kAddColumnHelp = std::string(
    "Appends a column named NAME, empty in every data row, saves the table and\n"
    "prints the new column's index. NAME cannot hold the delimiter or a line\n"
    "break.\n\n") + kOutputHelp;

const char kPrepareHelp[] =
    "Scans FILE once and writes its index file into DIR, so that FILE can be\n"
    "opened with --mode indexed --index-dir DIR by any number of readers. FILE\n"
    "must not change until the index is dropped. Give the same -d, -H and\n"
    "--unique as the readers will.\n\noptions:\n"
    "      --force            replace an index that is already there\n";

const char kDropHelp[] =
    "Removes the index file of FILE from DIR, once no reader has FILE open.\n"
    "Give the -d, -H and --unique that the index was prepared with.\n";

const char kLinesHelp[] =
    "Prints the number of non-blank lines of FILE before its first blank one\n"
    "(a last line without a line end is not counted), less N when -H N is\n"
    "given.\n";

const Command kCommands[] = {
    {"info", "FILE", "columns, line counts and delimiter of a table",
     kInfoHelp.c_str(), kOptMode, 1, 1, RunInfo},
    {"show", "FILE", "the table, aligned for a terminal", kShowHelp.c_str(),
     kOptMode | kOptRows | kOptColumns | kOptWide, 1, 1, RunShow},
    {"get", "FILE ROW COLUMN", "the decoded value of one cell", kGetHelp.c_str(),
     kOptMode | kOptNoNewline, 3, 3, RunGet},
    {"set", "FILE ROW COLUMN VALUE", "store a value in one cell and save",
     kSetHelp.c_str(), kOptOutput, 4, 4, RunSet},
    {"add-row", "FILE", "append an empty data row and save", kAddRowHelp.c_str(),
     kOptOutput, 1, 1, RunAddRow},
    {"add-column", "FILE NAME", "append an empty column and save",
     kAddColumnHelp.c_str(), kOptOutput, 2, 2, RunAddColumn},
    {"index prepare", "FILE DIR", "write the index file that --mode indexed reads",
     kPrepareHelp, kOptForce, 2, 2, RunIndexPrepare},
    {"index drop", "FILE DIR", "remove the index file again", kDropHelp, 0, 2, 2,
     RunIndexDrop},
    {"lines", "FILE", "count the non-blank lines of a file", kLinesHelp, 0, 1, 1,
     RunLines},
};
const int kCommandCount = static_cast<int>(sizeof kCommands / sizeof kCommands[0]);

} // namespace
} // namespace tavlin

int main(int argc, char **argv) {
    using namespace tavlin;
#if defined(_WIN32)
    // Values are written byte for byte; no line-end translation.
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    Options opts;
    std::string message;
    switch (ParseCommandLine(argc, argv, kCommands, kCommandCount, &opts, &message)) {
    case ParseResult::kHelp:
        std::fputs(opts.command ? CommandHelp(*opts.command).c_str()
                                : OverviewHelp(kCommands, kCommandCount).c_str(),
                   stdout);
        return 0;
    case ParseResult::kVersion:
        std::printf("tavlin %s\n", TAVLIN_VERSION);
        return 0;
    case ParseResult::kUsageError:
        if (opts.command) std::fprintf(stderr, "tavlin %s: %s\n", opts.command->name, message.c_str());
        else std::fprintf(stderr, "tavlin: %s\n", message.c_str());
        return kExitUsage;
    case ParseResult::kRun:
        break;
    }
    int status = opts.command->run(opts);
    if (std::fflush(stdout) != 0 && status == 0) {
        std::fprintf(stderr, "tavlin %s: the output could not be written\n",
                     opts.command->name);
        return kExitFailure;
    }
    return status;
}
