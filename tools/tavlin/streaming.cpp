// streaming.cpp - the subcommands that read a table as a stream with the
// library's codec instead of loading it: show, find, export, and import,
// which writes one. Memory holds one line (plus show's window of rows),
// whatever the size of the file. The lines are read by the rules of an
// edit load (see stream.h); a line that breaks them ends the subcommand
// with TBL_ERR_FORMAT and its line number, as a load would, though rows
// before it may have been written already.
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "interop.h"
#include "render.h"
#include "stream.h"
#include "tool.h"

namespace tavlin {
namespace {

const int64_t kDefaultShowRows = 100;
const int64_t kPreviewLines = 100;
// Rows measured for the column widths of show before it starts writing.
const size_t kShowWindow = 1000;
// A plain row is laid out from the values in the line, read past their end.
static_assert(kLineTail >= kPlainTail, "plain rows read past their values");

// "A:B", "A:", ":B" or "A": data rows A up to but not including B; an open
// end is -1.
bool ParseRows(const std::string &text, int64_t *first, int64_t *end) {
    size_t colon = text.find(':');
    std::string a = text.substr(0, colon);
    std::string b = colon == std::string::npos ? "" : text.substr(colon + 1);
    int32_t va = 0, vb = -1;
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

// A table read as a stream: the column names (line 0, in stored form, as
// the library keeps them) and the data rows after the header lines.
class TableStream {
public:
    TableStream(std::FILE *in, const Options &o)
        : reader_(in, o.delimiter), d_(o.delimiter), header_(o.header_lines),
          limit_(o.mode == OPEN_PREVIEW ? kPreviewLines : -1) {}

    // Reads line 0. False when it breaks a rule (see fault()).
    bool Start() {
        if (!reader_.Next()) return reader_.fault().kind == LineFault::kNone;
        for (int32_t c = 0; c < reader_.columns(); ++c) {
            const Piece p = reader_.piece(static_cast<size_t>(c));
            names_.emplace_back(reader_.line() + p.start, p.size);
        }
        zero_is_row_ = header_ == 0; // without header lines, line 0 is a data row
        return true;
    }

    // Moves to the next data row; false at the end or at a fault. Its
    // values are found only when wanted (a row only counted needs none).
    bool NextRow(bool values = true) {
        if (zero_is_row_) {
            zero_is_row_ = false;
            ++rows_;
            return true;
        }
        for (;;) {
            const int64_t next = reader_.table_line() + 1;
            if (limit_ >= 0 && next >= limit_) return false;
            if (!reader_.Next(values && next >= header_)) return false;
            if (next >= header_) {
                ++rows_;
                return true;
            }
        }
    }

    // Value of column c of the current row: in place where the line holds
    // no escape (then kLineTail bytes after it may be read), else decoded
    // into *scratch. Valid until the next row.
    std::string_view Text(size_t c, std::string *scratch) const {
        const Piece p = reader_.piece(c);
        if (reader_.plain()) return std::string_view(reader_.line() + p.start, p.size);
        Decode(reader_.line() + p.start, p.size, d_, scratch);
        return *scratch;
    }

    // Every value of the current row is plain ASCII as stored (no escape, no
    // byte a terminal needs escaped), found for the whole line at once.
    bool PlainRow() const {
        return reader_.plain() &&
               IsPlainAscii(std::string_view(reader_.line(), reader_.size()));
    }

    const std::vector<std::string> &names() const { return names_; }
    const LineFault &fault() const { return reader_.fault(); }
    // Data rows read so far (the current one included).
    int64_t rows() const { return rows_; }

    // Finds a column as the library's lookup does: by its stored name,
    // else by a whole-number index. -1 for neither.
    int64_t Column(const std::string &text) const {
        for (size_t c = 0; c < names_.size(); ++c)
            if (names_[c] == text) return static_cast<int64_t>(c);
        int32_t n = 0;
        return ParseColumnIndex(text, &n) ? n : -1;
    }

private:
    TableReader reader_;
    char d_;
    int64_t header_, limit_;
    std::vector<std::string> names_;
    int64_t rows_ = 0;
    bool zero_is_row_ = false;
};

int FaultFail(const Options &o, const LineFault &fault) {
    return Fail(o, TBL_ERR_FORMAT, DescribeFault(fault, Shown(FilePath(o))));
}

// Opens FILE as a stream, refusing the delimiters an open refuses.
bool OpenStream(const Options &o, StreamInput *input, int *status) {
    return DelimiterOrFail(o, status) && input->Open(o, FilePath(o), status);
}

// Finds the column named text (by lookup) among count columns.
bool ColumnOrFail(const Options &o, int64_t count,
                  const std::function<int64_t(const std::string &)> &lookup,
                  const std::string &text, size_t *column, int *status) {
    int64_t c = lookup(text);
    if (c < 0) {
        *status = Fail(o, TBL_ERR_NO_COLUMN, "no column named " + Q(text));
        return false;
    }
    if (c >= count) {
        *status = Fail(o, TBL_ERR_RANGE, ExplainColumnRange(c, count));
        return false;
    }
    *column = static_cast<size_t>(c);
    return true;
}

// The columns named by --columns (or all), with their header texts.
bool PickColumns(const Options &o, const std::vector<std::string> &names,
                 const std::function<int64_t(const std::string &)> &lookup,
                 std::vector<size_t> *picked, std::vector<std::string> *header,
                 int *status) {
    const int64_t count = static_cast<int64_t>(names.size());
    if (!o.columns_given) {
        for (size_t c = 0; c < names.size(); ++c) {
            picked->push_back(c);
            header->push_back(names[c]);
        }
        return true;
    }
    for (const std::string &item : SplitList(o.columns)) {
        size_t c = 0;
        if (!ColumnOrFail(o, count, lookup, item, &c, status)) return false;
        picked->push_back(c);
        header->push_back(names[c]);
    }
    return true;
}

void ShowFooter(const Options &o, int64_t first, int64_t end, int64_t rows) {
    if (rows == 0) {
        std::printf("(no data rows)\n");
    } else if (first >= end) {
        std::printf("(no rows in %s; the table has %lld data rows)\n", o.rows.c_str(),
                    static_cast<long long>(rows));
    } else if (first > 0 || end < rows) {
        std::printf("(rows %lld to %lld of %lld; --rows A:B shows others)\n",
                    static_cast<long long>(first), static_cast<long long>(end - 1),
                    static_cast<long long>(rows));
    } else {
        std::printf("(%lld data rows)\n", static_cast<long long>(rows));
    }
    if (o.mode == OPEN_PREVIEW)
        std::printf("(preview mode loads at most the first 100 lines of the file)\n");
}

// show --mode indexed: the rows come from the library's mapped view.
int ShowIndexed(const Options &o, int64_t first, int64_t end) {
    LibraryInput input;
    Table table;
    int status = 0;
    if (!OpenForReading(o, &input, &table, &status)) return status;
    TableHandle *h = table.handle();
    int32_t columns = 0, count = 0;
    GetColumnCount(h, &columns);
    GetLineCount(h, &count);
    const int64_t rows = count > 0 ? count : 0;
    std::vector<std::string> names;
    for (int32_t c = 0; c < columns; ++c) {
        std::string name;
        int32_t rc = ColumnName(h, c, &name);
        if (rc != TBL_OK) return Fail(o, rc, CodeMeaning(rc));
        names.push_back(name);
    }
    std::vector<size_t> picked;
    std::vector<std::string> header = {"#"};
    auto lookup = [&](const std::string &text) -> int64_t {
        int32_t column = 0;
        return ResolveColumn(h, text, &column) == TBL_OK ? column : -1;
    };
    if (!PickColumns(o, names, lookup, &picked, &header, &status)) return status;
    if (picked.empty()) {
        std::printf("(the table has no columns; %lld data rows)\n", static_cast<long long>(rows));
        return 0;
    }
    if (end < 0 || end > rows) end = rows;
    if (first > end) first = end;
    TableLayout layout(header, TerminalWidth(), o.wide, stdout, kShowWindow);
    std::vector<std::string> line(picked.size() + 1);
    for (int64_t r = first; r < end; ++r) {
        line[0] = std::to_string(r);
        for (size_t k = 0; k < picked.size(); ++k) {
            int32_t c = static_cast<int32_t>(picked[k]), row = static_cast<int32_t>(r);
            int32_t rc = ReadCell(h, c, row, &line[k + 1]);
            if (rc != TBL_OK)
                return Fail(o, rc, rc == TBL_ERR_RANGE ? ExplainCellRange(h, c, row)
                                                       : CodeMeaning(rc));
        }
        layout.Add(line);
    }
    if (!layout.Finish()) return Complain(o, "the output could not be written");
    ShowFooter(o, first, end, rows);
    return 0;
}

} // namespace

int RunShow(const Options &o) {
    int64_t first = 0, end = kDefaultShowRows;
    if (o.rows_given && !ParseRows(o.rows, &first, &end))
        return UsageFail(o, "--rows takes A:B, A:, :B or A with whole numbers from 0, not " +
                                Q(o.rows));
    if (o.mode == OPEN_INDEXED) return ShowIndexed(o, first, end);
    StreamInput input;
    int status = 0;
    if (!OpenStream(o, &input, &status)) return status;
    TableStream table(input.file(), o);
    if (!table.Start()) return FaultFail(o, table.fault());

    std::vector<size_t> picked;
    std::vector<std::string> header = {"#"};
    auto lookup = [&](const std::string &text) { return table.Column(text); };
    if (!PickColumns(o, table.names(), lookup, &picked, &header, &status)) return status;
    if (picked.empty()) {
        while (table.NextRow(false)) {
        }
        if (table.fault().kind != LineFault::kNone) return FaultFail(o, table.fault());
        std::printf("(the table has no columns; %lld data rows)\n",
                    static_cast<long long>(table.rows()));
        return 0;
    }

    // Rows before the range are only read; the range is written as it
    // comes; the rest is read to count it (and to find a bad line).
    TableLayout layout(header, TerminalWidth(), o.wide, stdout, kShowWindow);
    std::vector<std::string_view> line(picked.size() + 1);
    std::vector<std::string> decoded(picked.size());
    // The row number, with room behind it for a plain row's block moves.
    char number[24 + kPlainTail];
    bool written = false;
    for (;;) {
        const int64_t r = table.rows(); // the row NextRow moves to
        const bool shown = r >= first && (end < 0 || r < end);
        if (!table.NextRow(shown)) break;
        if (!shown) continue;
        const char *digits_end = std::to_chars(number, number + sizeof number, r).ptr;
        line[0] = std::string_view(number, static_cast<size_t>(digits_end - number));
        for (size_t k = 0; k < picked.size(); ++k)
            line[k + 1] = table.Text(picked[k], &decoded[k]);
        layout.Add(line, table.PlainRow());
        if (end >= 0 && r + 1 == end) {
            written = true;
            if (!layout.Finish()) return Complain(o, "the output could not be written");
            std::fflush(stdout);
        }
    }
    if (table.fault().kind != LineFault::kNone) {
        std::fflush(stdout); // what was written stays; held rows are dropped
        return FaultFail(o, table.fault());
    }
    if (!written && !layout.Finish()) return Complain(o, "the output could not be written");
    const int64_t rows = table.rows();
    if (end < 0 || end > rows) end = rows;
    if (first > end) first = end;
    ShowFooter(o, first, end, rows);
    return 0;
}

int RunFind(const Options &o) {
    StreamInput input;
    int status = 0;
    if (!OpenStream(o, &input, &status)) return status;
    TableStream table(input.file(), o);
    if (!table.Start()) return FaultFail(o, table.fault());
    size_t column = 0;
    auto lookup = [&](const std::string &text) { return table.Column(text); };
    if (!ColumnOrFail(o, static_cast<int64_t>(table.names().size()), lookup, o.args[1],
                      &column, &status))
        return status;
    const std::string &wanted = o.args[2];
    std::string decoded, out;
    while (table.NextRow()) {
        if (table.Text(column, &decoded) != wanted) continue;
        out += std::to_string(table.rows() - 1);
        out += '\n';
        if (out.size() >= 4096) {
            std::fwrite(out.data(), 1, out.size(), stdout);
            out.clear();
        }
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    if (table.fault().kind != LineFault::kNone) return FaultFail(o, table.fault());
    return 0;
}

int RunExport(const Options &o) {
    StreamInput input;
    int status = 0;
    if (!OpenStream(o, &input, &status)) return status;
    OutputFile output;
    std::string error;
    if (!output.Open(o.args.size() > 1 ? o.args[1] : "-", &error)) return Complain(o, error);
    ExportOptions options;
    options.to = o.to == "tsv" ? TextFormat::kTsv
               : o.to == "jsonl" ? TextFormat::kJsonl : TextFormat::kCsv;
    options.separator = o.separator;
    options.delimiter = o.delimiter;
    options.header_lines = o.header_lines;
    LineFault fault;
    bool write_failed = false;
    if (!ExportTable(input.file(), output.file(), options, &fault, &write_failed)) {
        if (fault.kind != LineFault::kNone) return FaultFail(o, fault);
        return Complain(o, "the output could not be written");
    }
    if (!output.Commit(&error)) return Complain(o, error);
    return 0;
}

int RunImport(const Options &o) {
    const std::string &target = o.args[1];
    ImportOptions options;
    options.from = o.from == "tsv" ? TextFormat::kTsv : TextFormat::kCsv;
    options.separator = o.from == "tsv" ? '\t' : o.separator;
    options.delimiter = o.delimiter;
    if (o.from == "tsv" && o.separator_given)
        return UsageFail(o, "--separator is for CSV; TSV values are always separated by tabs");
    if (options.from == TextFormat::kCsv && !CsvImportAvailable())
        return Complain(o, "this build of tavlin reads TSV only (--from tsv): it was built"
                           " without libcsv");
    // A table delimiter the library accepts for an open and for CreateTable.
    int status = 0;
    if (!DelimiterOrFail(o, &status)) return status;
    std::error_code ec;
    if (!IsStdin(target) && std::filesystem::exists(target, ec) && !o.force)
        return Complain(o, Q(target) + " exists (--force replaces it)");
    StreamInput input;
    if (!input.Open(o, FilePath(o), &status)) return status;
    OutputFile output;
    std::string error;
    if (!output.Open(target, &error)) return Complain(o, error);
    ImportReport report;
    if (!ImportTable(input.file(), output.file(), options, &report, &error))
        return Complain(o, (IsStdin(FilePath(o)) ? std::string("standard input, ")
                                                 : Q(FilePath(o)) + ", ") + error);
    if (!output.Commit(&error)) return Complain(o, error);
    if (report.blank_lines)
        std::fprintf(stderr, "tavlin import: %llu blank %s skipped (the first is line %llu)\n",
                     static_cast<unsigned long long>(report.blank_lines),
                     report.blank_lines == 1 ? "line" : "lines",
                     static_cast<unsigned long long>(report.first_blank));
    return 0;
}

} // namespace tavlin
