// streaming.cpp - the subcommands that read a table as a stream with the
// library's codec instead of loading it: show, find, export, and import,
// which writes one. Memory holds one line (plus show's window of rows),
// whatever the size of the file. The lines are read by the rules of an
// edit load (see stream.h); a line that breaks them ends the subcommand
// with TBL_ERR_FORMAT and its line number, as a load would, though rows
// before it may have been written already.
#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "codec/tavl_codec.h"
#include "diagnose.h"
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
// A line longer than this, show reads past, keeping what it shows of it.
const size_t kShowLineMost = size_t(16) << 20;
// A plain row is laid out from the values in the line, read past their end.
static_assert(kLineTail >= kPlainTail, "plain rows read past their values");

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
    // shown: the bytes of a value that are shown (0: all): a line much
    // longer is read past, keeping of each value what is shown (and a
    // little more, so that a value cut is seen to be cut).
    TableStream(std::FILE *in, const Options &o, size_t shown = 0)
        : o_(o), reader_(in, o.delimiter, shown ? kShowLineMost : 0, 4 * shown + 8),
          d_(o.delimiter), header_(o.header_lines),
          limit_(o.mode == OPEN_PREVIEW ? kPreviewLines : -1) {}

    // Reads line 0. False when it breaks a rule (see fault()).
    bool Start() {
        if (!reader_.Next()) return reader_.fault().kind == LineFault::kNone;
        if (EndsLinesWithCrAlone(reader_.line(), reader_.size(), reader_.ended_by_lf()))
            WarnCrAlone(o_);
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
    // With keep, a longer value may be given as only its first keep + 1
    // bytes (a stored value is never shorter than its value).
    std::string_view Text(size_t c, std::string *scratch, size_t keep = SIZE_MAX) const {
        const Piece p = reader_.piece(c);
        if (reader_.plain()) return std::string_view(reader_.line() + p.start, p.size);
        if (p.size <= keep) {
            Decode(reader_.line() + p.start, p.size, d_, scratch);
            return *scratch;
        }
        scratch->resize(keep + 1);
        const size_t total =
            DecodeFieldTo(reader_.line() + p.start, p.size, d_, &(*scratch)[0], keep + 1);
        scratch->resize(std::min(total, keep + 1));
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
    // Lines of the table read so far, header lines included.
    int64_t stored() const { return reader_.table_line() + 1; }

    // Finds a column by its stored name (as the library's lookup does) or
    // position. -1 for neither.
    int64_t Column(const std::string &text) const { return FindColumnIn(names_, text); }

private:
    const Options &o_;
    TableReader reader_;
    char d_;
    int64_t header_, limit_;
    std::vector<std::string> names_;
    int64_t rows_ = 0;
    bool zero_is_row_ = false;
};

} // namespace

void WarnCrAlone(const Options &o) {
    std::fprintf(stderr, "tavlin %s: warning: %s: it reads as one line ('tavlin import'"
                         " reads such a file)\n",
                 o.command->name, CrAloneSentence(Shown(FilePath(o))).c_str());
}

namespace {

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
    const std::string total = Plural(static_cast<uint64_t>(rows), "data row", "data rows");
    if (rows == 0) {
        std::printf("(no data rows)\n");
    } else if (first >= end) {
        std::printf("(no rows in %s; the table has %s)\n", o.rows.c_str(), total.c_str());
    } else if (first > 0 || end < rows) {
        std::printf("(rows %lld to %lld of %lld; --rows A:B shows others)\n",
                    static_cast<long long>(first), static_cast<long long>(end - 1),
                    static_cast<long long>(rows));
    } else {
        std::printf("(%s)\n", total.c_str());
    }
    if (o.mode == OPEN_PREVIEW)
        std::printf("(preview mode loads at most the first 100 lines of the file)\n");
}

// show --mode indexed: the rows come from the library's mapped view.
int ShowIndexed(const Options &o, int64_t first, int64_t end) {
    Table table;
    int status = 0;
    if (!OpenIndexed(o, &table, &status)) return status;
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
    auto lookup = [&](const std::string &text) {
        return LookUpColumn(text, [&](const std::string &name) -> int64_t {
            int32_t column = 0;
            return GetColumnIndex(h, name.c_str(), &column) == TBL_OK ? column : -1;
        });
    };
    if (!PickColumns(o, names, lookup, &picked, &header, &status)) return status;
    if (picked.empty()) {
        std::printf("(the table has no columns; %s)\n",
                    Plural(static_cast<uint64_t>(rows), "data row", "data rows").c_str());
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

// What show keeps of a value that is not shown whole: enough bytes for any
// terminal line (every glyph takes at least one column, and at most a few
// bytes, unless it is a long run of combining marks), then spaces that
// make it too wide for the column, so that the layout cuts it with an
// ellipsis.
size_t ShownBytes(int terminal_width) {
    return static_cast<size_t>(std::max(terminal_width, 8)) * 8 + 64;
}

std::string_view CutForShow(std::string_view value, size_t keep, int terminal_width,
                            std::string *scratch) {
    if (value.size() <= keep) return value;
    scratch->assign(value.data(), keep);
    scratch->append(static_cast<size_t>(std::max(terminal_width, 8)) + 1, ' ');
    return *scratch;
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
    // Unless --wide, a value is kept only as far as a terminal line can
    // show it, so that memory follows what is shown, not the length of a
    // line (a line too long to hold is read past).
    const int terminal = TerminalWidth();
    const size_t keep = o.wide ? SIZE_MAX : ShownBytes(terminal);
    TableStream table(input.file(), o, o.wide ? 0 : keep);
    if (!table.Start()) return FaultFail(o, table.fault());

    std::vector<size_t> picked;
    std::vector<std::string> header = {"#"};
    auto lookup = [&](const std::string &text) { return table.Column(text); };
    if (!PickColumns(o, table.names(), lookup, &picked, &header, &status)) return status;
    if (picked.empty()) {
        while (table.NextRow(false)) {
        }
        if (table.fault().kind != LineFault::kNone) return FaultFail(o, table.fault());
        std::printf("(the table has no columns; %s)\n",
                    Plural(static_cast<uint64_t>(table.rows()), "data row", "data rows").c_str());
        return 0;
    }

    // Rows before the range are only read; the range is written as it
    // comes; the rest is read to count it (and to find a bad line).
    TableLayout layout(header, terminal, o.wide, stdout, kShowWindow);
    std::vector<std::string_view> line(picked.size() + 1);
    std::vector<std::string> decoded(picked.size()), cut(picked.size());
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
        bool plain = table.PlainRow();
        for (size_t k = 0; k < picked.size(); ++k) {
            std::string_view value = table.Text(picked[k], &decoded[k], keep);
            if (value.size() > keep) {
                value = CutForShow(value, keep, terminal, &cut[k]);
                plain = false;
            }
            line[k + 1] = value;
        }
        layout.Add(line, plain);
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

namespace {

// The rows of find --print: those whose cell in the column equals VALUE.
class MatchFilter : public RowFilter {
public:
    MatchFilter(const Options &o) : o_(o) {}
    bool Start(const std::vector<std::string> &names) override {
        auto lookup = [&](const std::string &text) { return FindColumnIn(names, text); };
        return ColumnOrFail(o_, static_cast<int64_t>(names.size()), lookup, o_.args[1],
                            &column_, &status_);
    }
    bool Keep(const TableReader &r) override {
        const Piece p = r.piece(column_);
        Decode(r.line() + p.start, p.size, r.delimiter(), &value_);
        return value_ == o_.args[2];
    }
    int status() const { return status_; }

private:
    const Options &o_;
    size_t column_ = 0;
    int status_ = 0;
    std::string value_;
};

TextFormat FormatOf(const std::string &to) {
    return to == "tsv" ? TextFormat::kTsv : to == "jsonl" ? TextFormat::kJsonl : TextFormat::kCsv;
}

void NoteRenamedKeys(const Options &o, const ExportReport &report) {
    if (report.renamed_keys.empty()) return;
    std::string text;
    for (const std::string &r : report.renamed_keys) text += (text.empty() ? "" : "; ") + r;
    std::fprintf(stderr, "tavlin %s: JSON keys made distinct: %s\n", o.command->name,
                 text.c_str());
}

// Writes the table (or, with a filter, its header lines and the rows the
// filter keeps; with --columns, the columns it names) to target in o.to's
// format.
int WriteExport(const Options &o, const std::string &target, StreamInput *input,
                MatchFilter *filter) {
    ExportOptions options;
    options.to = FormatOf(o.to);
    options.separator = o.separator;
    options.delimiter = o.delimiter;
    options.header_lines = o.header_lines;
    options.filter = filter;
    int pick_status = 0;
    if (o.columns_given)
        options.pick = [&](const std::vector<std::string> &names, std::vector<size_t> *picked) {
            std::vector<std::string> header;
            picked->clear();
            auto lookup = [&](const std::string &text) { return FindColumnIn(names, text); };
            return PickColumns(o, names, lookup, picked, &header, &pick_status);
        };
    ExportReport report;
    int status = WriteOutput(o, target, [&](ByteSink *out) {
        LineFault fault;
        bool write_failed = false;
        const bool done = ExportTable(input->file(), out, options, &fault, &write_failed, &report);
        if (report.cr_alone) WarnCrAlone(o);
        if (done) return 0;
        if (report.stopped) return pick_status ? pick_status : filter->status();
        if (fault.kind != LineFault::kNone) return FaultFail(o, fault);
        return 0; // the write failed: the output layer says why
    });
    if (status == 0) NoteRenamedKeys(o, report);
    return status;
}

} // namespace

int RunFind(const Options &o) {
    StreamInput input;
    int status = 0;
    if (!OpenStream(o, &input, &status)) return status;
    if (o.print) {
        MatchFilter filter(o);
        return WriteExport(o, "-", &input, &filter);
    }
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
    const std::string target = o.args.size() > 1 ? o.args[1] : "-";
    if (!MayReplace(o, target, &status)) return status;
    if (!OpenStream(o, &input, &status)) return status;
    return WriteExport(o, target, &input, nullptr);
}

int RunImport(const Options &o) {
    const std::string &target = o.args[1];
    ImportOptions options;
    options.from = o.from == "tsv" ? TextFormat::kTsv : TextFormat::kCsv;
    options.separator = o.from == "tsv" ? '\t' : o.separator;
    options.delimiter = o.delimiter;
    options.ragged = o.ragged;
    options.lazy_quotes = o.lazy_quotes;
    options.no_header = o.no_header || o.names_given;
    if (o.names_given) options.names = SplitList(o.names);
    options.comment_given = o.comment_given;
    options.comment = o.comment;
    options.encoding = o.encoding == "latin1" ? Encoding::kLatin1 : Encoding::kUtf8;
    if (o.from == "tsv" && o.separator_given)
        return UsageFail(o, "--separator is for CSV; TSV values are always separated by tabs");
    if (o.from == "tsv" && o.lazy_quotes)
        return UsageFail(o, "--lazy-quotes is for CSV; TSV has no quoting");
    if (options.from == TextFormat::kCsv && !CsvImportAvailable())
        return Complain(o, "this build of tavlin reads TSV only (--from tsv): it was built"
                           " without libcsv");
    // A table delimiter the library accepts for an open and for CreateTable.
    int status = 0;
    if (!DelimiterOrFail(o, &status)) return status;
    if (!MayReplace(o, target, &status)) return status;
    StreamInput input;
    if (!input.Open(o, FilePath(o), &status)) return status;
    auto bad_input = [&](const std::string &error) {
        return Complain(o, (IsStdin(FilePath(o)) ? std::string("standard input, ")
                                                 : Q(FilePath(o)) + ", ") + error);
    };
    // --ragged makes every line as wide as the widest record: a first pass
    // measures it (standard input is kept in a temporary file for the second).
    if (o.ragged) {
        std::string error;
        if (!input.Replayable()) return Complain(o, "the input could not be kept for a second pass");
        if (!MeasureImport(input.file(), options, &options.widest, &error))
            return bad_input(error);
        if (!input.Rewind()) return Complain(o, "the input could not be read a second time");
    }
    ImportReport report;
    status = WriteOutput(o, target, [&](ByteSink *out) {
        std::string error;
        if (ImportTable(input.file(), out, options, &report, &error)) return 0;
        if (error == "the table could not be written") return 0; // the output layer says why
        return bad_input(error);
    });
    if (status != 0) return status;
    if (report.blank_lines)
        std::fprintf(stderr, "tavlin import: %s skipped (the first is line %llu)\n",
                     Plural(report.blank_lines, "blank line", "blank lines").c_str(),
                     static_cast<unsigned long long>(report.first_blank));
    if (report.padded)
        std::fprintf(stderr, "tavlin import: %s padded with empty values (the first is line"
                             " %llu)\n",
                     Plural(report.padded, "short record", "short records").c_str(),
                     static_cast<unsigned long long>(report.first_padded));
    if (report.long_records) {
        const std::string added =
            report.width - report.named == 1
                ? "column " + std::to_string(report.named)
                : "columns " + std::to_string(report.named) + " to " +
                      std::to_string(report.width - 1);
        std::fprintf(stderr, "tavlin import: %s longer than the %s: their extra values went"
                             " into %s, named by position (the first is line %llu)\n",
                     Plural(report.long_records, "record", "records").c_str(),
                     o.names_given ? "names given" : "header", added.c_str(),
                     static_cast<unsigned long long>(report.first_long));
    }
    return 0;
}

// get and info without an index read the file as a stream, by the rules
// of the load they stand for: a file one may only read is read all the
// same.
int GetStreamed(const Options &o, int64_t row) {
    StreamInput input;
    int status = 0;
    if (!OpenStream(o, &input, &status)) return status;
    TableStream table(input.file(), o);
    if (!table.Start()) return FaultFail(o, table.fault());
    const int64_t column = table.Column(o.args[2]);
    const int64_t columns = static_cast<int64_t>(table.names().size());
    std::string decoded, value;
    bool found = false;
    // Every line is read: a line that does not load fails the get, as it
    // fails the load, wherever it is.
    for (;;) {
        const int64_t r = table.rows();
        const bool wanted = r == row && column >= 0 && column < columns;
        if (!table.NextRow(wanted)) break;
        if (wanted) {
            value.assign(table.Text(static_cast<size_t>(column), &decoded));
            found = true;
        }
    }
    if (table.fault().kind != LineFault::kNone) return FaultFail(o, table.fault());
    if (column < 0) return Fail(o, TBL_ERR_NO_COLUMN, "no column named " + Q(o.args[2]));
    // A table of fewer lines than header lines has a negative row count.
    const int64_t rows = table.stored() - o.header_lines;
    if (!found)
        return Fail(o, TBL_ERR_RANGE, ExplainCellRange(columns, rows, column, row));
    std::fwrite(value.data(), 1, value.size(), stdout);
    if (!o.no_newline) std::fputc('\n', stdout);
    return 0;
}

int InfoStreamed(const Options &o, InfoFacts *facts, StreamInput *input) {
    int status = 0;
    if (!OpenStream(o, input, &status)) return status;
    input->Replayable(); // the line counts read it again (without, they are left out)
    TableStream table(input->file(), o);
    if (!table.Start()) return FaultFail(o, table.fault());
    while (table.NextRow(false)) {
    }
    if (table.fault().kind != LineFault::kNone) return FaultFail(o, table.fault());
    facts->names = table.names();
    // An empty file is a table of one empty line.
    const int64_t held = std::max<int64_t>(table.stored(), 1);
    facts->data_lines = held - o.header_lines;
    return 0;
}

int RunLines(const Options &o) {
    StreamInput input;
    int status = 0;
    if (!input.Open(o, FilePath(o), &status)) return status;
    FileCounts c = CountFile(input.file(), o.delimiter);
    if (c.read_error)
        return Fail(o, TBL_ERR_MAP_DATA, Shown(FilePath(o)) + " could not be read to its end");
    if (c.cr_alone) WarnCrAlone(o);
    std::printf("%lld\n", static_cast<long long>(static_cast<int64_t>(c.counted) - o.header_lines));
    return 0;
}

} // namespace tavlin
