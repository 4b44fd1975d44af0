// interop.cpp - import from CSV and TSV, export to CSV, TSV and JSON Lines.
#include "interop.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <string_view>

#include "codec/tavl_codec.h"
#include "render.h"
#include "utf8.h"

#if defined(TAVLIN_HAVE_LIBCSV)
#  include <csv.h>
#endif

namespace tavlin {
namespace {

const char kWriteFailed[] = "the table could not be written";

// Appends prefix and b as two lower-case hexadecimal digits.
void AppendHex(const char *prefix, unsigned char b, std::string *out) {
    static const char kHex[] = "0123456789abcdef";
    *out += prefix;
    *out += kHex[b >> 4];
    *out += kHex[b & 15];
}

// A byte-order mark of UTF-8 or UTF-16, which a reader takes off the start
// of a file (or refuses the file for).
bool StartsWithMark(const std::string &s) {
    return StartsWithBom(s) || s.compare(0, 2, "\xFF\xFE") == 0 || s.compare(0, 2, "\xFE\xFF") == 0;
}

std::string LineText(uint64_t line) { return "line " + std::to_string(line); }

} // namespace

bool StartsWithBom(std::string_view s) { return s.compare(0, 3, kBom) == 0; }

void InputBlock::Refill() {
    if (begin > 0) {
        std::memmove(bytes.data(), bytes.data() + begin, used - begin);
        used -= begin;
        begin = 0;
    }
    if (used == bytes.size()) bytes.resize(bytes.size() * 2);
    const size_t got = std::fread(bytes.data() + used, 1, bytes.size() - used, in);
    used += got;
    if (got == 0) {
        at_end = true;
        read_error = std::ferror(in) != 0;
    }
}

const char *InputBlock::Utf16() {
    while (used < 4 && !at_end) Refill();
    return Utf16Kind(bytes.data(), used);
}

const char *Utf16Kind(const char *bytes, size_t n) {
    const unsigned char *b = reinterpret_cast<const unsigned char *>(bytes);
    if (n >= 2 && b[0] == 0xFF && b[1] == 0xFE) return "little-endian, with a byte-order mark";
    if (n >= 2 && b[0] == 0xFE && b[1] == 0xFF) return "big-endian, with a byte-order mark";
    // Without a mark: text of the first 128 code points, a NUL beside each byte.
    if (n >= 4 && b[0] && !b[1] && b[2] && !b[3]) return "little-endian";
    if (n >= 4 && !b[0] && b[1] && !b[2] && b[3]) return "big-endian";
    return nullptr;
}

// ---- storing records -------------------------------------------------------

bool AppendStored(const std::string &value, char d, bool escaped, std::string *out) {
    if (value.size() > static_cast<size_t>(INT32_MAX)) return false;
    const size_t at = out->size();
    out->resize(at + StoreField(value.data(), value.size(), d, escaped, nullptr));
    StoreField(value.data(), value.size(), d, escaped, &(*out)[at]);
    return true;
}

bool StoreRecord(const std::vector<std::string> &values, char d, int32_t columns,
                 std::string *line, std::string *reason) {
    // First every value in its plain form; where the line so made would not
    // split back into its values, the values holding a quote or the
    // delimiter go into the escaped form, which holds neither.
    for (int form = 0; form < 2; ++form) {
        line->clear();
        bool bare = false;
        for (size_t i = 0; i < values.size(); ++i) {
            if (i > 0) *line += d;
            const std::string &v = values[i];
            bool escape = form == 1 && (v.find('"') != std::string::npos ||
                                        v.find(d) != std::string::npos);
            size_t at = line->size();
            if (!AppendStored(v, d, escape, line)) {
                *reason = "a value is too large to store";
                return false;
            }
            if (form == 0 && FieldHasBareDelimiter(line->c_str() + at, d)) bare = true;
        }
        if (!bare && LineIsSound(line->data(), line->size(), d, columns)) {
            if (line->empty()) {
                *reason = "an empty value in a one-column table would be stored as"
                          " an empty line, which a load skips";
                return false;
            }
            return true;
        }
    }
    *reason = "a value cannot be stored with the delimiter '" + std::string(1, d) +
              "' so that it reads back unchanged (a hex digit or x as delimiter"
              " clashes with the escapes)";
    return false;
}

namespace {

// Turns records into table lines on out. The first line names the
// columns: the first record, or (when the input has none) the names the
// options give or the columns' positions. With --ragged every line is as
// wide as the widest record (measured before): short records are padded,
// and columns past the header are named by their position. Without out,
// the writer only measures the widest record.
class TableWriter {
public:
    TableWriter(ByteSink *out, const ImportOptions &o, ImportReport *report)
        : out_(out), o_(o), report_(report) {}

    bool Add(std::vector<std::string> &values, uint64_t line, std::string *error) {
        if (!out_) {
            widest_ = std::max(widest_, values.size());
            return true;
        }
        if (columns_ < 0) {
            const bool named = !o_.no_header && o_.names.empty();
            if (!Header(named ? values : o_.names, named ? 0 : values.size(), line, error))
                return false;
            if (named) return Flush(false, error);
        }
        const size_t columns = static_cast<size_t>(columns_), given = values.size();
        if (values.size() < columns && o_.ragged) {
            values.resize(columns);
            if (report_->padded++ == 0) report_->first_padded = line;
        }
        if (values.size() != columns) {
            *error = LineText(line) + ": " + std::to_string(values.size()) +
                     (values.size() == 1 ? " value" : " values") + " where the header has " +
                     std::to_string(columns_);
            return false;
        }
        if (given > report_->named && report_->long_records++ == 0)
            report_->first_long = line;
        return Store(values, line, error);
    }

    bool Flush(bool all, std::string *error) {
        if (!all && buffer_.size() < kFlushAt) return true;
        if (!out_->Put(buffer_)) {
            *error = kWriteFailed;
            return false;
        }
        buffer_.clear();
        return true;
    }

    // Columns of the table; -1 before the first record and while measuring.
    int32_t columns() const { return columns_; }
    size_t widest() const { return widest_; }

private:
    // Writes the line that names the columns: names, then positions up to
    // the width (the first record's, unless --ragged measured another).
    bool Header(const std::vector<std::string> &names, size_t first, uint64_t line,
                std::string *error) {
        std::vector<std::string> header = names;
        size_t width = std::max(header.empty() ? first : header.size(),
                                o_.ragged ? o_.widest : 0);
        if (width > static_cast<size_t>(INT32_MAX)) {
            *error = LineText(line) + ": too many values";
            return false;
        }
        report_->named = header.empty() ? width : header.size();
        for (size_t k = header.size(); k < width; ++k) header.push_back(std::to_string(k));
        report_->width = width;
        columns_ = static_cast<int32_t>(width);
        // A load takes one byte-order mark off the start of the file; a
        // first name starting with one keeps it behind a mark of ours.
        if (!header.empty() && StartsWithBom(header[0])) buffer_ += kBom;
        return Store(header, line, error);
    }

    bool Store(const std::vector<std::string> &values, uint64_t line, std::string *error) {
        std::string reason;
        if (!StoreRecord(values, o_.delimiter, columns_, &stored_, &reason)) {
            *error = LineText(line) + ": " + reason;
            return false;
        }
        buffer_ += stored_;
        buffer_ += "\r\n";
        return Flush(false, error);
    }

    ByteSink *out_;
    const ImportOptions &o_;
    ImportReport *report_;
    int32_t columns_ = -1;
    size_t widest_ = 0;
    std::string buffer_, stored_;
};

// Blank lines in the input: skipped, except in a one-column table, where
// they would be empty values that the table cannot hold.
bool BlankLine(const TableWriter &writer, uint64_t line, ImportReport *report,
               std::string *error) {
    if (writer.columns() == 1) {
        *error = LineText(line) + ": a blank line is an empty value, which a one-column"
                                  " table cannot hold (it would be an empty line, which"
                                  " a load skips)";
        return false;
    }
    if (report->blank_lines++ == 0) report->first_blank = line;
    return true;
}

// ---- TSV in ------------------------------------------------------------------

int OctalDigit(char c) { return c >= '0' && c <= '7' ? c - '0' : -1; }
int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

void UnescapeTsv(const char *s, size_t n, std::string *out) {
    out->clear();
    for (size_t i = 0; i < n; ++i) {
        if (s[i] != '\\' || i + 1 == n) {
            *out += s[i];
            continue;
        }
        char c = s[++i];
        switch (c) {
        case 'b': *out += '\b'; break;
        case 'f': *out += '\f'; break;
        case 'n': *out += '\n'; break;
        case 'r': *out += '\r'; break;
        case 't': *out += '\t'; break;
        case 'v': *out += '\v'; break;
        case 'N': *out += "\\N"; break; // the null marker of dumps: kept as it stands
        case 'x':
            if (i + 1 < n && HexDigit(s[i + 1]) >= 0) {
                int v = HexDigit(s[++i]);
                if (i + 1 < n && HexDigit(s[i + 1]) >= 0) v = v * 16 + HexDigit(s[++i]);
                *out += static_cast<char>(v);
            } else {
                *out += c;
            }
            break;
        default:
            if (OctalDigit(c) >= 0) {
                int v = OctalDigit(c);
                for (int k = 0; k < 2 && i + 1 < n && OctalDigit(s[i + 1]) >= 0; ++k)
                    v = v * 8 + OctalDigit(s[++i]);
                *out += static_cast<char>(v & 0xFF);
            } else {
                *out += c; // \\ and any other escaped byte stand for it
            }
        }
    }
}

void SplitTsv(std::string_view line, std::vector<std::string> *values) {
    values->clear();
    for (size_t start = 0;;) {
        const size_t tab = line.find('\t', start);
        const size_t stop = tab == std::string_view::npos ? line.size() : tab;
        values->emplace_back();
        UnescapeTsv(line.data() + start, stop - start, &values->back());
        if (tab == std::string_view::npos) return;
        start = stop + 1;
    }
}

namespace {

// The lines of a CSV or TSV input: they end at LF, CR LF or a lone CR (as
// the files of older systems do), and are numbered so. A UTF-8 byte-order
// mark at the start is dropped. Each line is handed out with its line end,
// transcoded to UTF-8 from Latin-1 when asked.
class RecordLines {
public:
    RecordLines(std::FILE *in, Encoding encoding) : input_(in), encoding_(encoding) {}

    // The next line and its end ("\n", "\r\n", "\r", or "" at the end of
    // the input); false at the end. Valid until the next call.
    bool Next(std::string_view *text, std::string_view *end) {
        const std::vector<char> &b = input_.bytes;
        for (;;) {
            size_t i = input_.begin;
            while (i < input_.used && b[i] != '\n' && b[i] != '\r') ++i;
            if (i < input_.used && (b[i] == '\n' || i + 1 < input_.used || input_.at_end)) {
                size_t stop = i + 1;
                if (b[i] == '\r' && i + 1 < input_.used && b[i + 1] == '\n') ++stop;
                return Hand(i, stop, text, end);
            }
            if (input_.at_end) {
                if (input_.begin == input_.used) return false;
                return Hand(input_.used, input_.used, text, end);
            }
            input_.Refill();
        }
    }
    uint64_t number() const { return number_; }
    bool read_error() const { return input_.read_error; }

    // How the input's first bytes look UTF-16 (see Utf16Kind), or null.
    const char *Utf16() { return input_.Utf16(); }

private:
    bool Hand(size_t stop, size_t next, std::string_view *text, std::string_view *end) {
        ++number_;
        const char *base = input_.bytes.data();
        std::string_view line(base + input_.begin, stop - input_.begin);
        if (number_ == 1 && StartsWithBom(line)) line.remove_prefix(3);
        *end = std::string_view(base + stop, next - stop);
        input_.begin = next;
        if (encoding_ == Encoding::kUtf8) {
            *text = line;
            return true;
        }
        latin_.clear();
        for (char c : line) {
            const unsigned char b = static_cast<unsigned char>(c);
            if (b < 0x80) {
                latin_ += c;
            } else {
                latin_ += static_cast<char>(0xC0 | (b >> 6));
                latin_ += static_cast<char>(0x80 | (b & 0x3F));
            }
        }
        *text = latin_;
        return true;
    }

    InputBlock input_;
    Encoding encoding_;
    uint64_t number_ = 0;
    std::string latin_;
};

bool IsComment(const ImportOptions &o, std::string_view text) {
    return o.comment_given && !text.empty() && text[0] == o.comment;
}

bool ImportTsv(RecordLines &lines, const ImportOptions &o, TableWriter *writer,
               ImportReport *report, std::string *error) {
    std::vector<std::string> values;
    std::string_view text, end;
    while (lines.Next(&text, &end)) {
        if (IsComment(o, text)) {
            ++report->comments;
            continue;
        }
        if (text.empty()) {
            if (writer->columns() >= 0 && !BlankLine(*writer, lines.number(), report, error))
                return false;
            continue;
        }
        SplitTsv(text, &values);
        ++report->records;
        if (!writer->Add(values, lines.number(), error)) return false;
    }
    if (lines.read_error()) {
        *error = "the input could not be read after " + LineText(lines.number());
        return false;
    }
    return true;
}

// ---- CSV in ------------------------------------------------------------------

#if defined(TAVLIN_HAVE_LIBCSV)
struct CsvState {
    TableWriter *writer;
    ImportReport *report;
    std::string *error;
    std::vector<std::string> values;
    bool in_record = false;
    bool failed = false;
    int last_end = 0;         // what ended the last row (CR, LF, or 0)
    uint64_t line = 0;        // line being parsed
    uint64_t record_start = 0;
    uint64_t next_start = 1;  // where the next record starts
};

void OnValue(void *bytes, size_t n, void *data) {
    CsvState *st = static_cast<CsvState *>(data);
    if (st->failed) return;
    if (!st->in_record) {
        st->in_record = true;
        st->record_start = st->next_start;
    }
    st->values.emplace_back(static_cast<const char *>(bytes), n);
}

void OnRecordEnd(int c, void *data) {
    CsvState *st = static_cast<CsvState *>(data);
    if (st->failed) return;
    if (st->in_record) {
        ++st->report->records;
        if (!st->writer->Add(st->values, st->record_start, st->error)) st->failed = true;
        st->values.clear();
        st->in_record = false;
    } else if (c == '\n' && st->last_end == '\r') {
        // the LF of a CR LF line end
    } else if (c == '\r' || c == '\n') {
        if (st->writer->columns() >= 0 &&
            !BlankLine(*st->writer, st->line, st->report, st->error))
            st->failed = true;
    }
    st->last_end = c;
}

int NoSpace(unsigned char) { return 0; }

bool ImportCsv(RecordLines &lines, const ImportOptions &o, TableWriter *writer,
               ImportReport *report, std::string *error) {
    struct csv_parser parser;
    // Strict: a quote inside an unquoted value, text after a closing quote
    // and a quoted value left open at the end are errors; with lazy quotes
    // the first two are bytes of their value. Every CR and LF outside a
    // value is reported, so blank lines can be told apart.
    const unsigned char strict = o.lazy_quotes ? 0 : CSV_STRICT | CSV_STRICT_FINI;
    if (csv_init(&parser, static_cast<unsigned char>(strict | CSV_REPALL_NL)) != 0) {
        *error = "the CSV reader could not start";
        return false;
    }
    csv_set_delim(&parser, static_cast<unsigned char>(o.separator));
    csv_set_space_func(&parser, NoSpace); // spaces belong to their values
    CsvState st{writer, report, error, {}};

    std::string_view text, end;
    bool ok = true;
    // Fed one line at a time, so that every event knows its line.
    while (ok && lines.Next(&text, &end)) {
        st.line = lines.number();
        // A comment line is skipped where a record would start, never
        // inside a quoted value.
        const bool between = parser.pstate == 0 && !st.in_record;
        if (between) st.next_start = st.line;
        if (between && IsComment(o, text)) {
            ++report->comments;
            continue;
        }
        size_t done = csv_parse(&parser, text.data(), text.size(), OnValue, OnRecordEnd, &st);
        bool parsed = done == text.size();
        if (parsed && !end.empty())
            parsed = csv_parse(&parser, end.data(), end.size(), OnValue, OnRecordEnd, &st) ==
                     end.size();
        if (st.failed) {
            ok = false;
        } else if (!parsed) {
            if (csv_error(&parser) == CSV_EPARSE)
                *error = LineText(st.line) + ", byte " + std::to_string(done + 1) +
                         ": a quote inside an unquoted value, or text after a"
                         " closing quote (a quote in a value is written as two,"
                         " inside quotes)";
            else
                *error = LineText(st.line) + ": " + csv_strerror(csv_error(&parser));
            ok = false;
        }
    }
    if (ok && lines.read_error()) {
        *error = "the input could not be read after " + LineText(lines.number());
        ok = false;
    }
    if (ok) {
        uint64_t open_at = st.in_record ? st.record_start : st.next_start;
        st.line = lines.number();
        // A quoted value still open (the parser's state "field begun"): the
        // strict end says so, a lazy one would take it as a value.
        const bool open = parser.quoted && parser.pstate == 2;
        if (open || csv_fini(&parser, OnValue, OnRecordEnd, &st) != 0 ||
            csv_error(&parser) == CSV_EPARSE) {
            *error = LineText(open_at) + ": a quoted value opened here is not closed"
                                         " by the end of the input";
            ok = false;
        } else if (st.failed) {
            ok = false;
        }
    }
    csv_free(&parser);
    return ok;
}
#endif

} // namespace

bool CsvImportAvailable() {
#if defined(TAVLIN_HAVE_LIBCSV)
    return true;
#else
    return false;
#endif
}

namespace {

// A UTF-16 input (read as UTF-8, its bytes would be values cut by NULs) is
// refused at once when it starts with a byte-order mark; without one, its
// first bytes only add why the input may not have read (text can start so).
bool ParseInput(std::FILE *in, const ImportOptions &o, TableWriter *writer,
                ImportReport *report, std::string *error) {
    RecordLines lines(in, o.encoding);
    const char *utf16 = lines.Utf16();
    bool ok = false;
    if (!utf16 || !std::strstr(utf16, "mark")) {
        if (o.from == TextFormat::kTsv) {
            ok = ImportTsv(lines, o, writer, report, error);
        } else {
#if defined(TAVLIN_HAVE_LIBCSV)
            ok = ImportCsv(lines, o, writer, report, error);
#else
            *error = "this build of tavlin reads TSV only (it was built without libcsv)";
            return false;
#endif
        }
    }
    if (ok || !utf16 || *error == kWriteFailed) return ok;
    const std::string convert = "convert it to UTF-8 first (iconv -f UTF-16 -t UTF-8 IN > IN.utf8)";
    if (std::strstr(utf16, "mark"))
        *error = std::string("the input is UTF-16 (") + utf16 + "), which is not read here: " +
                 convert;
    else
        *error += std::string(" (the input looks like UTF-16, ") + utf16 + ": " + convert + ")";
    return false;
}

} // namespace

bool MeasureImport(std::FILE *in, const ImportOptions &o, size_t *widest, std::string *error) {
    ImportReport scratch;
    TableWriter writer(nullptr, o, &scratch);
    if (!ParseInput(in, o, &writer, &scratch, error)) return false;
    *widest = writer.widest();
    return true;
}

bool ImportTable(std::FILE *in, ByteSink *out, const ImportOptions &o,
                 ImportReport *report, std::string *error) {
    TableWriter writer(out, o, report);
    bool ok = ParseInput(in, o, &writer, report, error);
    if (ok && writer.columns() < 0) {
        *error = "the input holds no record; a table needs at least its header line";
        ok = false;
    }
    return writer.Flush(true, error) && ok;
}

bool ImportTable(std::FILE *in, std::FILE *out, const ImportOptions &o,
                 ImportReport *report, std::string *error) {
    StreamSink sink(out);
    return ImportTable(in, &sink, o, report, error);
}

// ---- out ---------------------------------------------------------------------

void AppendCsvValue(const std::string &v, char separator, bool quote, std::string *out) {
    for (size_t i = 0; !quote && i < v.size(); ++i) {
        const char c = v[i];
        quote = c == separator || c == '"' || c == '\r' || c == '\n';
    }
    if (!quote) {
        *out += v;
        return;
    }
    *out += '"';
    for (char c : v) {
        if (c == '"') *out += '"';
        *out += c;
    }
    *out += '"';
}

void AppendCsvRecord(const std::vector<std::string> &values, char separator,
                     bool first_record, std::string *out) {
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0) *out += separator;
        const std::string &v = values[i];
        AppendCsvValue(v, separator,
                       (first_record && i == 0 && StartsWithMark(v)) ||
                           (values.size() == 1 && v.empty()), // else a blank line
                       out);
    }
}

void AppendTsvValue(const std::string &v, bool first, std::string *out) {
    for (size_t i = 0; i < v.size(); ++i) {
        char c = v[i];
        switch (c) {
        case '\\':
            // Import keeps \N, the null marker of dumps, as it stands: so
            // does the export, and the value comes back as it was.
            *out += i + 1 < v.size() && v[i + 1] == 'N' ? "\\" : "\\\\";
            break;
        case '\t': *out += "\\t"; break;
        case '\n': *out += "\\n"; break;
        case '\r': *out += "\\r"; break;
        case '\0': *out += "\\000"; break; // three digits: a digit may follow
        default:
            // A value that starts the output with a byte-order mark keeps it
            // behind an escape, so that a reader does not take it for one.
            if (first && i == 0 && StartsWithMark(v))
                AppendHex("\\x", static_cast<unsigned char>(c), out);
            else
                *out += c;
        }
    }
}

namespace {

void AppendJsonString(const std::string &v, std::string *out) {
    *out += '"';
    for (size_t i = 0; i < v.size();) {
        unsigned char b = static_cast<unsigned char>(v[i]);
        char32_t cp;
        size_t len = DecodeUtf8(v.data(), v.size(), i, &cp);
        if (len == 0) { // not UTF-8: the byte as a lone low surrogate
            AppendHex("\\udc", b, out);
            ++i;
            continue;
        }
        if (len > 1) {
            out->append(v, i, len);
        } else if (b == '"' || b == '\\') {
            *out += '\\';
            *out += static_cast<char>(b);
        } else if (b < 0x20) {
            switch (b) {
            case '\n': *out += "\\n"; break;
            case '\r': *out += "\\r"; break;
            case '\t': *out += "\\t"; break;
            case '\b': *out += "\\b"; break;
            case '\f': *out += "\\f"; break;
            default: AppendHex("\\u00", b, out);
            }
        } else {
            *out += static_cast<char>(b);
        }
        i += len;
    }
    *out += '"';
}

// Writes a record straight from the stored pieces of the reader's line
// when none of its values needs decoding or an escape in the output
// format; false (nothing written) when one does. Not for line 0, whose
// first value may need its byte-order mark kept apart. keys holds each
// column's name as JSON, with its colon.
bool AppendPlainRecord(const TableReader &r, const ExportOptions &o,
                       const std::vector<std::string> &keys, std::string *out) {
    if (!r.plain()) return false; // a quote or backslash: values need decoding
    const char *line = r.line();
    const size_t size = r.size();
    const size_t columns = static_cast<size_t>(r.columns());
    if (o.to == TextFormat::kJsonl) {
        // Printable ASCII without backslash or (being plain) quote is its
        // own JSON string.
        if (!IsPlainAscii(std::string_view(line, size))) return false;
        *out += '{';
        for (size_t i = 0; i < columns; ++i) {
            const Piece p = r.piece(i);
            if (i > 0) *out += ',';
            *out += keys[i];
            *out += '"';
            out->append(line + p.start, p.size);
            *out += '"';
        }
        *out += "}\n";
        return true;
    }
    // CSV quotes a value holding the separator, a quote or a line break;
    // TSV escapes a tab, a line break, a backslash or a NUL (a read line
    // holds none). Without those the record is the line with its
    // delimiters turned into separators.
    const char separator = o.to == TextFormat::kCsv ? o.separator : '\t';
    if (std::memchr(line, '\r', size) ||
        (separator != o.delimiter && std::memchr(line, separator, size)))
        return false;
    const size_t at = out->size();
    out->append(line, size);
    if (separator != o.delimiter) {
        for (size_t i = 0; i + 1 < columns; ++i) {
            const Piece p = r.piece(i);
            (*out)[at + p.start + p.size] = separator;
        }
    }
    *out += o.to == TextFormat::kCsv ? "\r\n" : "\n";
    return true;
}

} // namespace

std::vector<std::string> DistinctKeys(const std::vector<std::string> &names,
                                      std::vector<std::string> *renamed) {
    std::vector<std::string> keys;
    std::set<std::string> taken(names.begin(), names.end());
    std::set<std::string> used;
    for (size_t i = 0; i < names.size(); ++i) {
        std::string key = names[i].empty() ? std::to_string(i + 1) : names[i];
        if (used.count(key) || (names[i].empty() && taken.count(key))) {
            const std::string stem = key;
            for (size_t n = 2;; ++n) {
                key = stem + "_" + std::to_string(n);
                if (!used.count(key) && !taken.count(key)) break;
            }
        }
        used.insert(key);
        if (key != names[i] && renamed)
            renamed->push_back("column " + std::to_string(i) + " '" + Visible(names[i]) +
                               "' is keyed '" + Visible(key) + "'");
        keys.push_back(key);
    }
    return keys;
}

bool ExportTable(std::FILE *in, ByteSink *out, const ExportOptions &o, LineFault *fault,
                 bool *write_failed, ExportReport *report) {
    TableReader reader(in, o.delimiter);
    std::vector<std::string> values, keys;
    std::string buffer;
    *write_failed = false;
    auto flush = [&](bool all) {
        if (!all && buffer.size() < kFlushAt) return;
        if (!*write_failed && !out->Put(buffer)) *write_failed = true;
        buffer.clear();
    };
    // CSV with the delimiter as separator needs no pieces for a plain
    // line, so lines are only checked, and split when a value needs work.
    const bool same_csv = o.to == TextFormat::kCsv && o.separator == o.delimiter &&
                          !o.filter && !o.pick;
    // The columns written, in order; every: all of them, as they stand.
    std::vector<size_t> picked;
    bool every = true;
    while (!*write_failed && reader.Next(!same_csv)) {
        const int64_t t = reader.table_line();
        // Line 0 names the columns; JSON Lines writes the data rows after
        // the header lines (with none, line 0 is a data row too).
        const bool data = t >= o.header_lines;
        bool written = o.to != TextFormat::kJsonl || data;
        if (t > 0 && written && data && o.filter && !o.filter->Keep(reader)) written = false;
        if (t > 0 && (!written || (every && AppendPlainRecord(reader, o, keys, &buffer)))) {
            flush(false);
            continue;
        }
        if (same_csv) reader.SplitCurrent();
        if (t == 0) {
            if (report)
                report->cr_alone = EndsLinesWithCrAlone(reader.line(), reader.size(),
                                                        reader.ended_by_lf());
            std::vector<std::string> names;
            for (size_t i = 0; i < static_cast<size_t>(reader.columns()); ++i) {
                const Piece p = reader.piece(i);
                names.emplace_back(reader.line() + p.start, p.size);
                picked.push_back(i);
            }
            if ((o.pick && !o.pick(names, &picked)) || (o.filter && !o.filter->Start(names))) {
                if (report) report->stopped = true;
                return false;
            }
            for (size_t i = 0; i < picked.size(); ++i) every = every && picked[i] == i;
            every = every && picked.size() == names.size();
            if (data && o.filter && !o.filter->Keep(reader)) written = false;
        }
        values.resize(picked.size());
        for (size_t i = 0; i < values.size(); ++i) {
            const Piece p = reader.piece(picked[i]);
            Decode(reader.line() + p.start, p.size, o.delimiter, &values[i]);
        }
        if (t == 0 && o.to == TextFormat::kJsonl) {
            std::vector<std::string> renamed;
            for (const std::string &key : DistinctKeys(values, &renamed)) {
                keys.emplace_back();
                AppendJsonString(key, &keys.back());
                keys.back() += ':';
            }
            if (report) report->renamed_keys = renamed;
        }
        if (!written) continue;
        switch (o.to) {
        case TextFormat::kCsv:
            AppendCsvRecord(values, o.separator, t == 0, &buffer);
            buffer += "\r\n";
            break;
        case TextFormat::kTsv:
            for (size_t i = 0; i < values.size(); ++i) {
                if (i > 0) buffer += '\t';
                AppendTsvValue(values[i], t == 0 && i == 0, &buffer);
            }
            buffer += '\n';
            break;
        case TextFormat::kJsonl:
            buffer += '{';
            for (size_t i = 0; i < values.size(); ++i) {
                if (i > 0) buffer += ',';
                buffer += keys[i];
                AppendJsonString(values[i], &buffer);
            }
            buffer += "}\n";
            break;
        }
        flush(false);
    }
    flush(true);
    *fault = reader.fault();
    return fault->kind == LineFault::kNone && !*write_failed;
}

bool ExportTable(std::FILE *in, std::FILE *out, const ExportOptions &o, LineFault *fault,
                 bool *write_failed) {
    StreamSink sink(out);
    bool ok = ExportTable(in, &sink, o, fault, write_failed);
    if (std::fflush(out) != 0) {
        *write_failed = true;
        ok = false;
    }
    return ok;
}

} // namespace tavlin
