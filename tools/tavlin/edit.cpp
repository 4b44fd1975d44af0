// edit.cpp - the edits: set, add-row, add-column, rename-column, delete-row
// and delete-column. Each reads its table as a stream and writes the edited
// table through the library's file layer, which puts it in place whole or
// not at all, while it holds the table's edit lock (see lock.h). Memory
// holds a record, and the cells a set is given, whatever the file's size.
//
// A file keeps its form. In the table form (the default) an edit writes
// what SaveTable writes after the same calls of the library: the lines as
// a load keeps them, each ended by CR LF, a new value in its plain stored
// form where its line stays sound and in the escaped form where it would
// not (see the codec), a new name as it stands. With --csv (RFC 4180) and
// --tsv, a record the edit does not change is written byte for byte with
// its own line end; a changed record keeps the bytes of its other values,
// and a new value is quoted (CSV) or escaped (TSV) only where it must be.
//
// A failure found while reading (a line that does not load, a row past the
// end) abandons the new file: the table is left as it was.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "codec/tavl_codec.h"
#include "diagnose.h"
#include "lock.h"
#include "stream.h"
#include "tool.h"

namespace tavlin {
namespace {

const size_t kBlock = size_t(1) << 18;

// One record of a file as an edit reads it, or bytes between records (a
// byte-order mark, a blank line), which are written back as they are.
struct Unit {
    bool record = false;
    std::string_view text; // without its line end
    std::string_view end;  // its line end; "" at the end of the file
    uint64_t line = 0;     // its first line in the file, from 1
};

// How an edit reads and writes one form of file. Next() hands out the
// units in file order; the other calls work on a record's text and leave
// the result in *out, or say in *why why the change cannot be made.
class Form {
public:
    virtual ~Form() = default;
    // The next unit; false at the end of the file or at a fault (a
    // sentence naming the line in fault()).
    virtual bool Next(Unit *unit) = 0;
    // What names a column: the stored pieces in the table form (as the
    // library compares them), the values in CSV and TSV.
    virtual void Names(std::string_view text, std::vector<std::string> *names) = 0;
    virtual size_t Count(std::string_view text) = 0;
    // Value k of a record of `columns` values replaced; as_name: the value
    // names a column (in the table form it then goes in as it stands).
    virtual bool Replace(std::string_view text, size_t k, const std::string &value,
                         bool as_name, size_t columns, std::string *out, std::string *why) = 0;
    // A value after the last one.
    virtual bool Append(std::string_view text, const std::string &value, bool as_name,
                        size_t columns, std::string *out, std::string *why) = 0;
    // The values whose drop[k] is set left out.
    virtual bool Drop(std::string_view text, const std::vector<bool> &drop, std::string *out,
                      std::string *why) = 0;
    // A record of empty values.
    virtual bool Empty(size_t columns, std::string *out, std::string *why) = 0;
    // The line end of a record the edit writes: "" when each keeps its own.
    virtual std::string_view SavedEnd() const = 0;
    // The line end of a record the edit adds.
    virtual std::string_view NewEnd() const = 0;
    const std::string &fault() const { return fault_; }
    int32_t fault_code() const { return fault_code_; }

protected:
    std::string fault_;
    int32_t fault_code_ = TBL_ERR_FORMAT;
};

// Why an edit refuses a file whose lines end with CR alone; where names
// the line, or is empty.
std::string CrAloneFault(const std::string &shown, const std::string &where) {
    return CrAloneSentence(shown) + where +
           ": an edit would read it as one line ('tavlin import' reads such a file)";
}

// ---- the table form ---------------------------------------------------------

// Whether a stored line holds the escaped form: a backslash, or a D that
// does not separate (the middle of quote-D-quote).
bool HoldsEscape(std::string_view line, char d) {
    if (std::memchr(line.data(), '\\', line.size())) return true;
    if (!std::memchr(line.data(), '"', line.size())) return false;
    return LineFieldCount(line.data(), line.size(), 0, d, nullptr) !=
           1 + static_cast<uint64_t>(std::count(line.begin(), line.end(), d));
}

// Whether a value goes into a stored line otherwise than as it stands, or
// as bytes a CSV reader reads otherwise: it holds D, a quote, a backslash
// or a control byte. The kind of the first such byte, or null.
const char *NeedsEscape(const std::string &value, char d) {
    for (char c : value) {
        if (c == d) return "the delimiter";
        if (c == '"') return "a quote";
        if (c == '\\') return "a backslash";
        if (c == '\n' || c == '\r') return "a line break";
        if (static_cast<unsigned char>(c) < 0x20) return "a control byte";
    }
    return nullptr;
}

class StoredForm : public Form {
public:
    StoredForm(std::FILE *in, char d, const std::string &shown) : reader_(in, d), d_(d),
                                                                   shown_(shown) {}

    bool Next(Unit *u) override {
        *u = Unit();
        if (!started_) {
            started_ = true;
            if (reader_.Next(false)) pending_ = true;
            else if (!Failed()) empty_ = true; // an empty file is a table of one empty line
            else return false;
            if (reader_.byte_order_mark()) {
                u->text = std::string_view(kBom, 3);
                return true;
            }
        }
        if (empty_) {
            empty_ = false;
            u->record = true;
            u->line = 1;
            return true;
        }
        if (pending_) {
            pending_ = false;
            if (EndsLinesWithCrAlone(reader_.line(), reader_.size(), reader_.ended_by_lf())) {
                fault_ = CrAloneFault(shown_, "");
                return false;
            }
        } else if (!reader_.Next(false)) {
            Failed();
            return false;
        }
        u->record = true;
        u->text = std::string_view(reader_.line(), reader_.size());
        u->line = reader_.file_line();
        return true;
    }

    void Names(std::string_view text, std::vector<std::string> *names) override {
        names->clear();
        if (text.empty()) return;
        Pieces(text);
        for (const Piece &p : pieces_) names->emplace_back(text.substr(p.start, p.size));
    }

    // An empty line is the table of an empty file: no columns.
    size_t Count(std::string_view text) override {
        if (text.empty()) return 0;
        Pieces(text);
        return pieces_.size();
    }

    bool Replace(std::string_view text, size_t k, const std::string &value, bool as_name,
                 size_t columns, std::string *out, std::string *why) override {
        if (as_name) {
            Pieces(text);
            std::vector<std::string_view> parts = Parts(text);
            parts[k] = value;
            return Join(parts, k, out, why);
        }
        // As the library's cell writer: the plain form where the line stays
        // sound, else the escaped form.
        size_t start = 0, span = 0;
        FindField(text.data(), text.size(), d_, static_cast<int32_t>(k), &start, &span);
        const char *old = text.data() + start;
        const bool old_plain = !std::memchr(old, '"', span) && !std::memchr(old, d_, span);
        for (int escaped = 0; escaped < 2; ++escaped) {
            out->assign(text.data(), start);
            if (!AppendStored(value, d_, escaped != 0, out)) {
                *why = "the value is too large to store";
                return false;
            }
            const size_t field = out->size() - start;
            out->append(text.data() + start + span, text.size() - start - span);
            const char *now = out->data() + start;
            if ((old_plain && !std::memchr(now, '"', field) && !std::memchr(now, d_, field)) ||
                (!FieldSpanHasBareDelimiter(now, field, d_) &&
                 LineIsSound(out->data(), out->size(), d_, static_cast<int32_t>(columns))))
                return true;
        }
        *why = "the value cannot be stored in this cell so that it reads back unchanged";
        return false;
    }

    bool Append(std::string_view text, const std::string &value, bool as_name, size_t columns,
                std::string *out, std::string *why) override {
        if (columns == 0) pieces_.clear(); // the empty line of an empty file
        else Pieces(text);
        std::vector<std::string_view> parts = Parts(text);
        std::string stored;
        if (!as_name && !AppendStored(value, d_, false, &stored)) {
            *why = "the value is too large to store";
            return false;
        }
        parts.push_back(as_name ? std::string_view(value) : std::string_view(stored));
        return Join(parts, parts.size() - 1, out, why);
    }

    bool Drop(std::string_view text, const std::vector<bool> &drop, std::string *out,
              std::string *why) override {
        Pieces(text);
        std::vector<std::string_view> parts;
        for (size_t k = 0; k < pieces_.size(); ++k)
            if (!drop[k]) parts.push_back(text.substr(pieces_[k].start, pieces_[k].size));
        return Join(parts, SIZE_MAX, out, why);
    }

    bool Empty(size_t columns, std::string *out, std::string *) override {
        out->assign(columns > 1 ? columns - 1 : 0, d_);
        return true;
    }

    std::string_view SavedEnd() const override { return "\r\n"; }
    std::string_view NewEnd() const override { return "\r\n"; }

private:
    bool Failed() {
        const LineFault &f = reader_.fault();
        if (f.kind == LineFault::kNone) return false;
        fault_ = DescribeFault(f, shown_);
        if (f.kind == LineFault::kQuotes) fault_ += "; --csv edits it as a CSV file";
        if (f.kind == LineFault::kRead) fault_code_ = TBL_ERR_OPEN;
        if (f.kind == LineFault::kMemory) fault_code_ = TBL_ERR_NO_MEMORY;
        return true;
    }

    void Pieces(std::string_view text) { SplitPieces(text.data(), text.size(), d_, &pieces_); }
    std::vector<std::string_view> Parts(std::string_view text) const {
        std::vector<std::string_view> parts;
        for (const Piece &p : pieces_) parts.push_back(text.substr(p.start, p.size));
        return parts;
    }

    // Joins stored pieces with D. Where the line so made would not be
    // sound, the pieces holding a quote (all but the one at fixed, a name
    // that goes in as it stands) go in again in the escaped form, which
    // holds none, as the library's new column does.
    bool Join(const std::vector<std::string_view> &parts, size_t fixed, std::string *out,
              std::string *why) {
        const int32_t columns = static_cast<int32_t>(parts.size());
        for (int escape = 0; escape < 2; ++escape) {
            out->clear();
            for (size_t k = 0; k < parts.size(); ++k) {
                if (k > 0) *out += d_;
                const std::string_view p = parts[k];
                if (escape && k != fixed && std::memchr(p.data(), '"', p.size())) {
                    Decode(p.data(), p.size(), d_, &value_);
                    AppendStored(value_, d_, true, out);
                } else {
                    out->append(p.data(), p.size());
                }
            }
            if (LineIsSound(out->data(), out->size(), d_, columns)) return true;
        }
        *why = "the line cannot be stored so that it reads back unchanged (a hex digit or x"
               " as delimiter clashes with the escapes)";
        return false;
    }

    TableReader reader_;
    char d_;
    std::string shown_;
    bool started_ = false, pending_ = false, empty_ = false;
    std::vector<Piece> pieces_;
    std::string value_;
};

// ---- CSV and TSV --------------------------------------------------------------

// What a scan of the bytes at a record's start found.
enum class Scan { kRecord, kBlank, kMore, kFault, kCrAlone };

// Scans the CSV record at b[from] of b[0..used): its pieces (raw, quotes
// included, relative to from), where its text stops and where the next
// unit starts. kMore: the record goes on past used (unless at_end). A
// quote inside an unquoted value is a byte of it (as most readers take
// it); text after a closing quote, a quoted value left open and a CR that
// ends no line are faults (*why, at byte *fault_at).
Scan ScanCsv(const char *b, size_t from, size_t used, bool at_end, char sep,
             std::vector<Piece> *pieces, size_t *stop, size_t *next, size_t *fault_at,
             const char **why) {
    pieces->clear();
    size_t i = from;
    auto ended = [&](size_t at, size_t after) {
        *stop = at;
        *next = after;
    };
    auto cr_alone = [&](size_t at) {
        *fault_at = at;
        return Scan::kCrAlone;
    };
    for (;;) {
        const size_t start = i;
        if (i < used && b[i] == '"') {
            for (++i;;) {
                const char *q = static_cast<const char *>(std::memchr(b + i, '"', used - i));
                if (!q) {
                    if (!at_end) return Scan::kMore;
                    *fault_at = start;
                    *why = "a quoted value opened here is not closed by the end of the file";
                    return Scan::kFault;
                }
                i = static_cast<size_t>(q - b) + 1;
                if (i == used && !at_end) return Scan::kMore;
                if (i < used && b[i] == '"') {
                    ++i;
                    continue;
                }
                break;
            }
            if (i < used && b[i] != sep && b[i] != '\r' && b[i] != '\n') {
                *fault_at = i;
                *why = "text after the quote that closes a value (a quote in a value is"
                       " written as two)";
                return Scan::kFault;
            }
        } else {
            while (i < used && b[i] != sep && b[i] != '\r' && b[i] != '\n') ++i;
        }
        // A line end at the start is a blank line, no record.
        const bool blank = start == from && i == start && i < used && b[i] != sep;
        if (!blank) pieces->push_back({start - from, i - start});
        if (i == used) {
            if (!at_end) return Scan::kMore;
            ended(i, i);
            return Scan::kRecord;
        }
        if (b[i] == sep) {
            ++i;
            continue;
        }
        size_t after = i + 1;
        if (b[i] == '\r') {
            if (after == used && !at_end) return Scan::kMore;
            if (after == used || b[after] != '\n') return cr_alone(i);
            ++after;
        }
        ended(i, after);
        return blank ? Scan::kBlank : Scan::kRecord;
    }
}

// The same for TSV: a record is a line, its values separated by tabs.
Scan ScanTsv(const char *b, size_t from, size_t used, bool at_end,
             std::vector<Piece> *pieces, size_t *stop, size_t *next, size_t *fault_at) {
    const char *lf = static_cast<const char *>(std::memchr(b + from, '\n', used - from));
    if (!lf && !at_end) return Scan::kMore;
    size_t end = lf ? static_cast<size_t>(lf - b) : used;
    *next = lf ? end + 1 : end;
    if (lf && end > from && b[end - 1] == '\r') --end;
    if (const char *cr = static_cast<const char *>(std::memchr(b + from, '\r', end - from))) {
        *fault_at = static_cast<size_t>(cr - b);
        return Scan::kCrAlone;
    }
    *stop = end;
    if (end == from) return Scan::kBlank;
    pieces->clear();
    for (size_t at = from;;) {
        const char *tab = static_cast<const char *>(std::memchr(b + at, '\t', end - at));
        const size_t to = tab ? static_cast<size_t>(tab - b) : end;
        pieces->push_back({at - from, to - at});
        if (!tab) break;
        at = to + 1;
    }
    return Scan::kRecord;
}

// CSV (with the table's delimiter as separator) and TSV, read in blocks:
// the bytes of the record under way are kept together, and the block
// grows only while one record does not fit.
class TextForm : public Form {
public:
    TextForm(std::FILE *in, bool csv, char sep, const std::string &shown)
        : input_(in, kBlock), csv_(csv), sep_(sep), shown_(shown) {}

    bool Next(Unit *u) override {
        *u = Unit();
        if (!started_) {
            started_ = true;
            if (!Start()) return false;
            if (input_.begin > 0) { // the byte-order mark
                u->text = std::string_view(input_.bytes.data(), input_.begin);
                return true;
            }
        }
        for (;;) {
            if (input_.begin == input_.used && input_.at_end) {
                if (input_.read_error) {
                    fault_ = shown_ + " could not be read after line " + std::to_string(line_);
                    fault_code_ = TBL_ERR_OPEN;
                }
                return false;
            }
            size_t stop = 0, next = 0, at = 0;
            const char *why = nullptr;
            const char *b = input_.bytes.data();
            const size_t begin = input_.begin;
            const Scan scan =
                csv_ ? ScanCsv(b, begin, input_.used, input_.at_end, sep_, &pieces_, &stop, &next,
                               &at, &why)
                     : ScanTsv(b, begin, input_.used, input_.at_end, &pieces_, &stop, &next, &at);
            if (scan == Scan::kMore) {
                input_.Refill();
                continue;
            }
            const uint64_t line =
                scan == Scan::kCrAlone || scan == Scan::kFault
                    ? line_ + static_cast<uint64_t>(std::count(b + begin, b + at, '\n'))
                    : line_;
            if (scan == Scan::kCrAlone) {
                fault_ = CrAloneFault(shown_, " (line " + std::to_string(line) + ")");
                return false;
            }
            if (scan == Scan::kFault) {
                fault_ = "line " + std::to_string(line) + " of " + shown_ + ": " + why;
                return false;
            }
            u->record = scan == Scan::kRecord;
            u->text = std::string_view(b + begin, stop - begin);
            u->end = std::string_view(b + stop, next - stop);
            u->line = line_;
            line_ += static_cast<uint64_t>(std::count(b + begin, b + next, '\n'));
            if (new_end_.empty() && !u->end.empty()) new_end_ = std::string(u->end);
            input_.begin = next;
            return true;
        }
    }

    void Names(std::string_view text, std::vector<std::string> *names) override {
        Split(text);
        names->resize(pieces_.size());
        for (size_t k = 0; k < pieces_.size(); ++k) Value(text, pieces_[k], &(*names)[k]);
    }

    size_t Count(std::string_view text) override {
        Split(text);
        return pieces_.size();
    }

    bool Replace(std::string_view text, size_t k, const std::string &value, bool as_name,
                 size_t, std::string *out, std::string *why) override {
        Split(text);
        const Piece p = pieces_[k];
        out->assign(text.data(), p.start);
        Encode(value, as_name && k == 0, pieces_.size() == 1, out);
        out->append(text.data() + p.start + p.size, text.size() - p.start - p.size);
        return Sound(out, why);
    }

    bool Append(std::string_view text, const std::string &value, bool, size_t,
                std::string *out, std::string *) override {
        out->assign(text.data(), text.size());
        *out += sep_;
        Encode(value, false, false, out);
        return true;
    }

    bool Drop(std::string_view text, const std::vector<bool> &drop, std::string *out,
              std::string *why) override {
        Split(text);
        out->clear();
        bool first = true;
        for (size_t k = 0; k < pieces_.size(); ++k) {
            if (drop[k]) continue;
            if (!first) *out += sep_;
            first = false;
            out->append(text.data() + pieces_[k].start, pieces_[k].size);
        }
        return Sound(out, why);
    }

    bool Empty(size_t columns, std::string *out, std::string *why) override {
        out->assign(columns > 1 ? columns - 1 : 0, sep_);
        return Sound(out, why);
    }

    std::string_view SavedEnd() const override { return ""; }
    std::string_view NewEnd() const override {
        return new_end_.empty() ? std::string_view("\r\n") : std::string_view(new_end_);
    }

private:
    // Reads the first bytes: a UTF-16 file is refused (false); a byte-order
    // mark is a unit of its own, before input_.begin.
    bool Start() {
        if (const char *kind = input_.Utf16()) {
            fault_ = shown_ + " is UTF-16 (" + kind + "), which an edit does not read: convert"
                              " it to UTF-8 first (iconv -f UTF-16 -t UTF-8)";
            return false;
        }
        if (StartsWithBom(std::string_view(input_.bytes.data(), input_.used))) input_.begin = 3;
        return true;
    }

    void Split(std::string_view text) {
        size_t stop = 0, next = 0, at = 0;
        const char *why = nullptr;
        if (csv_)
            ScanCsv(text.data(), 0, text.size(), true, sep_, &pieces_, &stop, &next, &at, &why);
        else
            ScanTsv(text.data(), 0, text.size(), true, &pieces_, &stop, &next, &at);
    }

    void Value(std::string_view text, const Piece &p, std::string *value) const {
        const char *f = text.data() + p.start;
        if (!csv_) {
            UnescapeTsv(f, p.size, value);
            return;
        }
        if (p.size < 2 || f[0] != '"') {
            value->assign(f, p.size);
            return;
        }
        value->clear();
        for (size_t i = 1; i + 1 < p.size; ++i) {
            *value += f[i];
            if (f[i] == '"') ++i; // the second of a doubled quote
        }
    }

    // A value as CSV quotes it (an empty one alone in its record too, else
    // the record would be a blank line) or TSV escapes it.
    void Encode(const std::string &value, bool first, bool alone, std::string *out) const {
        if (!csv_) {
            AppendTsvValue(value, first, out);
            return;
        }
        AppendCsvValue(value, sep_,
                       (alone && value.empty()) || StartsWithBom(value), out);
    }

    // An empty record would be a blank line, which no reader takes for a
    // record: in CSV it is an empty value quoted; TSV cannot hold it.
    bool Sound(std::string *record, std::string *why) const {
        if (csv_ && record->empty()) *record = "\"\"";
        if (!record->empty()) return true;
        *why = "a one-column TSV file cannot hold an empty value: its line would be blank";
        return false;
    }

    InputBlock input_;
    bool csv_;
    char sep_;
    std::string shown_;
    bool started_ = false;
    uint64_t line_ = 1;
    std::vector<Piece> pieces_;
    std::string new_end_;
};

// ---- what an edit does --------------------------------------------------------

struct CellEdit {
    int64_t row;
    std::string column;
    std::string value;
    size_t column_index = 0;
};

struct Plan {
    std::vector<CellEdit> cells; // set, in the order given
    bool add_row = false;
    bool add_column = false;
    std::string name;            // add-column, rename-column
    bool rename = false;
    std::string renamed;         // the column rename-column renames
    std::vector<std::pair<int64_t, int64_t>> deleted_rows; // [first, end); end -1: open
    std::vector<std::string> deleted_columns;
    bool print_rows = false, print_columns = false; // the index of what was added
};

// Applies a plan to the units of a form, writing the result to out.
class Editor {
public:
    Editor(const Options &o, Plan *plan, Form *form, bool stored)
        : o_(o), plan_(*plan), form_(*form), stored_(stored) {}

    // The exit status; a failure is reported (and nothing replaces the file).
    int Run(ByteSink *out) {
        out_ = out;
        std::stable_sort(plan_.cells.begin(), plan_.cells.end(),
                         [](const CellEdit &a, const CellEdit &b) { return a.row < b.row; });
        std::sort(plan_.deleted_rows.begin(), plan_.deleted_rows.end());
        // Whether a set writes the table's stored form into a file that may
        // hold none of it yet: then every line is looked at.
        for (const CellEdit &c : plan_.cells)
            if (stored_ && !o_.stored && !escaping_ && NeedsEscape(c.value, o_.delimiter))
                escaping_ = &c;
        Unit u;
        int64_t t = -1;
        size_t next_cell = 0, next_range = 0;
        while (form_.Next(&u)) {
            if (refused_) continue; // read on: a line that does not load is said first
            if (!u.record) {
                open_line_ = u.end.empty();
                if (!Put(u.text) || !Put(u.end)) return 0;
                continue;
            }
            ++t;
            if (t == 0 && !Start(u.text)) continue;
            if (escaping_ && !holds_escape_) holds_escape_ = HoldsEscape(u.text, o_.delimiter);
            const int64_t row = t - o_.header_lines;
            while (next_range < plan_.deleted_rows.size() &&
                   RangeEnd(plan_.deleted_rows[next_range]) <= row)
                ++next_range;
            if (row >= 0 && next_range < plan_.deleted_rows.size() &&
                plan_.deleted_rows[next_range].first <= row)
                continue;
            std::string_view text = u.text;
            size_t columns = columns_;
            auto change = [&](bool done) {
                if (!done) return false;
                work_[0].swap(work_[1]);
                text = work_[0];
                return true;
            };
            const size_t first_cell = next_cell;
            while (next_cell < plan_.cells.size() && plan_.cells[next_cell].row <= row)
                ++next_cell;
            // Cells of rows before this one are of no row (refused at the end).
            const bool cells = row >= 0 && next_cell > first_cell &&
                               plan_.cells[next_cell - 1].row == row;
            if ((cells || plan_.add_column || !dropped_.empty()) && !Fits(u)) continue;
            for (size_t k = first_cell; cells && k < next_cell; ++k) {
                const CellEdit &c = plan_.cells[k];
                if (c.row == row &&
                    !change(form_.Replace(text, c.column_index, c.value, false, columns,
                                          &work_[1], &why_)))
                    Refuse(u);
            }
            if (!refused_ && t == 0 && plan_.rename &&
                !change(form_.Replace(text, renamed_, plan_.name, true, columns, &work_[1],
                                      &why_)))
                Refuse(u);
            if (!refused_ && plan_.add_column &&
                !change(form_.Append(text, t == 0 ? plan_.name : std::string(), t == 0, columns++,
                                     &work_[1], &why_)))
                Refuse(u);
            if (!refused_ && !dropped_.empty() &&
                !change(form_.Drop(text, dropped_, &work_[1], &why_)))
                Refuse(u);
            if (!refused_ && !Write(text, u.end)) return 0;
        }
        if (!form_.fault().empty())
            return Fail(o_, form_.fault_code(), form_.fault() + "; nothing was changed");
        if (refused_) return Fail(o_, refusal_code_, refusal_);
        if (t < 0)
            return Fail(o_, TBL_ERR_FORMAT, Shown(FilePath(o_)) + " holds no record; a table"
                                            " needs at least its header line");
        return Finish(t + 1 - o_.header_lines);
    }

private:
    static int64_t RangeEnd(const std::pair<int64_t, int64_t> &r) {
        return r.second < 0 ? INT64_MAX : r.second;
    }

    // Notes the first reason the edit cannot be made; it is said once the
    // whole file was read (as a load reads it before any change).
    bool Defer(int32_t code, const std::string &sentence) {
        if (!refused_) {
            refused_ = true;
            refusal_code_ = code;
            refusal_ = sentence;
        }
        return false;
    }

    // Line 0: the columns the plan names.
    bool Start(std::string_view text) {
        std::vector<std::string> names;
        form_.Names(text, &names);
        columns_ = form_.Count(text);
        auto find = [&](const std::string &column, size_t *index) {
            const int64_t c = FindColumnIn(names, column);
            if (c < 0) return Defer(TBL_ERR_NO_COLUMN, "no column named " + Q(column));
            if (c >= static_cast<int64_t>(columns_))
                return Defer(TBL_ERR_RANGE,
                             ExplainColumnRange(c, static_cast<int64_t>(columns_)));
            *index = static_cast<size_t>(c);
            return true;
        };
        for (CellEdit &c : plan_.cells)
            if (!find(c.column, &c.column_index)) return false;
        if (plan_.rename && !find(plan_.renamed, &renamed_)) return false;
        if (!plan_.deleted_columns.empty()) {
            dropped_.assign(columns_, false);
            for (const std::string &column : plan_.deleted_columns) {
                size_t k = 0;
                if (!find(column, &k)) return false;
                dropped_[k] = true;
            }
            if (std::count(dropped_.begin(), dropped_.end(), false) == 0)
                return Defer(TBL_ERR_RANGE, "a table keeps at least one column; this would"
                                            " delete every one");
        }
        // In a table file a name goes into line 0 as it stands (as the
        // library's new column does): it must stay one field of one line.
        if (stored_ && (plan_.add_column || plan_.rename) &&
            plan_.name.find_first_of(std::string("\r\n") + o_.delimiter) != std::string::npos)
            return Defer(TBL_ERR_RANGE, "a column name cannot hold the delimiter or a line"
                                        " break: " + Q(plan_.name));
        kept_ = columns_ + (plan_.add_column ? 1 : 0) -
                static_cast<size_t>(std::count(dropped_.begin(), dropped_.end(), true));
        return true;
    }

    // A CSV or TSV record the edit changes has a value for every column
    // (the table form's reader has seen to that).
    bool Fits(const Unit &u) {
        if (stored_) return true;
        const size_t n = form_.Count(u.text);
        if (n == columns_) return true;
        return Defer(TBL_ERR_FORMAT, "line " + std::to_string(u.line) + " of " +
                                         Shown(FilePath(o_)) + " has " +
                                         Plural(n, "value", "values") + " where the header has " +
                                         std::to_string(columns_) + "; nothing was changed");
    }

    void Refuse(const Unit &u) {
        Defer(TBL_ERR_RANGE,
              why_ + " (line " + std::to_string(u.line) + "); nothing was changed");
    }

    bool Put(std::string_view bytes) {
        buffer_.append(bytes.data(), bytes.size());
        if (buffer_.size() < kFlushAt) return true;
        const bool ok = out_->Put(buffer_);
        buffer_.clear();
        return ok;
    }

    // A record and its line end; the table form ends every line with CR LF.
    bool Write(std::string_view text, std::string_view end) {
        if (text.empty()) ++empty_lines_;
        ++lines_;
        const std::string_view saved = form_.SavedEnd();
        open_line_ = saved.empty() && end.empty();
        return Put(text) && Put(saved.empty() ? end : saved);
    }

    // After the last record: the rows the plan named must exist; the new
    // row goes last; the index is printed once the file holds the edit.
    int Finish(int64_t rows) {
        for (const CellEdit &c : plan_.cells)
            if (c.row < 0 || c.row >= rows)
                return Fail(o_, TBL_ERR_RANGE,
                            ExplainCellRange(static_cast<int64_t>(columns_), rows,
                                             static_cast<int64_t>(c.column_index), c.row));
        for (const auto &r : plan_.deleted_rows) {
            const int64_t last = r.second < 0 ? r.first : r.second - 1;
            if (last >= rows) return Fail(o_, TBL_ERR_RANGE, ExplainCellRange(1, rows, 0, last));
        }
        if (plan_.add_row) {
            std::string empty;
            if (!form_.Empty(columns_, &empty, &why_))
                return Fail(o_, TBL_ERR_RANGE, why_ + "; nothing was changed");
            if (open_line_ && !Put(form_.NewEnd())) return 0;
            if (!Write(empty, form_.NewEnd())) return 0;
        }
        if (escaping_ && !holds_escape_) return RefuseEscape(*escaping_);
        // A load skips empty lines: in a table of one column they would be
        // rows lost (as SaveTable refuses them).
        if (stored_ && kept_ <= 1 && lines_ > 1 && empty_lines_ > 0)
            return Fail(o_, TBL_ERR_SAVE_ROW,
                        "a line would be saved empty (a one-column table cannot hold an empty"
                        " value: a load skips empty lines); nothing was written");
        if (!buffer_.empty() && !out_->Put(buffer_)) return 0;
        buffer_.clear();
        if (!plan_.print_rows && !plan_.print_columns) return 0;
        if (!out_->Sync()) return 0; // the output layer says why
        errno = 0;
        const long long added = plan_.print_rows ? rows : static_cast<long long>(columns_);
        if (std::printf("%lld\n", added) < 0 || std::fflush(stdout) != 0)
            return Complain(o_, std::string("the output could not be written (") +
                                    std::strerror(errno) + "); nothing was saved");
        return 0;
    }

    int RefuseEscape(const CellEdit &c) {
        std::string stored;
        AppendStored(c.value, o_.delimiter, false, &stored);
        return Complain(o_, Shown(FilePath(o_)) + " holds no value in the table's escaped form"
                            " yet, and the value " + Q(c.value) + " holds " +
                            NeedsEscape(c.value, o_.delimiter) + ", which the table form"
                            " writes as " + Q(stored) + "; CSV readers would read it"
                            " otherwise. Nothing was changed: --csv edits the file as CSV"
                            " (the value quoted where it must be), --stored writes the table"
                            " form");
    }

    const Options &o_;
    Plan &plan_;
    Form &form_;
    bool stored_;
    ByteSink *out_ = nullptr;
    bool refused_ = false;
    int32_t refusal_code_ = 0;
    std::string refusal_;
    std::string why_, buffer_, work_[2];
    size_t columns_ = 0, kept_ = 0, renamed_ = 0;
    std::vector<bool> dropped_;
    const CellEdit *escaping_ = nullptr;
    bool holds_escape_ = false, open_line_ = false;
    uint64_t lines_ = 0, empty_lines_ = 0;
};

// Checks that the edit can read its source and, in place, replace it,
// before anything is made; takes the edit lock of the file it will write;
// opens the source. False with the exit status in *status.
bool BeginEdit(const Options &o, EditLock *lock, StreamInput *input, int *status) {
    const std::string &source = FilePath(o);
    if (IsStdin(source)) {
        *status = UsageFail(o, "standard input cannot be edited; name a file");
        return false;
    }
    if (!ReachableFile(o, source, status)) return false;
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
    // anything is made (a lock file included). Standard output is written
    // as it stands, with no lock.
    const std::string problem = IsStdin(target) ? "" : ReplaceProblem(target);
    if (!problem.empty()) {
        *status = Fail(o, TBL_ERR_SAVE_OPEN, Q(target) + " could not be written: " + problem +
                                                 "; any file there is as it was");
        return false;
    }
    std::string error;
    if (!IsStdin(target) && !lock->Acquire(target, &error)) {
        *status = Complain(o, error);
        return false;
    }
    return input->Open(o, source, status);
}

int RunEdit(const Options &o, Plan *plan) {
    int status = 0;
    if (!DelimiterOrFail(o, &status)) return status;
    const bool stored = !o.csv && !o.tsv;
    if ((plan->print_rows || plan->print_columns) && o.output_given && IsStdin(o.output))
        return UsageFail(o, "the new index goes to standard output: --output cannot be '-'");
    EditLock lock;
    StreamInput input;
    if (!BeginEdit(o, &lock, &input, &status)) return status;
    const std::string shown = Shown(FilePath(o));
    std::unique_ptr<Form> form;
    if (stored) form.reset(new StoredForm(input.file(), o.delimiter, shown));
    else form.reset(new TextForm(input.file(), o.csv, o.delimiter, shown));
    Editor editor(o, plan, form.get(), stored);
    status = WriteOutput(o, o.output_given ? o.output : FilePath(o), [&](ByteSink *out) {
        const int s = editor.Run(out);
        input.Close(); // the file may be replaced only once nothing holds it open
        return s;
    });
    if (status == 0) lock.Keep();
    return status;
}

// The cells of --edits FILE: lines of ROW, COLUMN and VALUE separated by
// tabs, with the escapes of TSV; blank lines are skipped.
bool ReadEdits(const Options &o, Plan *plan, int *status) {
    StreamInput input;
    if (!input.Open(o, o.edits, status)) return false;
    std::string bytes;
    char block[1 << 16];
    for (size_t n; (n = std::fread(block, 1, sizeof block, input.file())) > 0;)
        bytes.append(block, n);
    if (std::ferror(input.file())) {
        *status = Fail(o, TBL_ERR_OPEN, Shown(o.edits) + " could not be read");
        return false;
    }
    uint64_t number = 0;
    std::vector<std::string> fields;
    for (size_t at = 0; at < bytes.size();) {
        size_t lf = bytes.find('\n', at);
        if (lf == std::string::npos) lf = bytes.size();
        std::string_view line(bytes.data() + at, lf - at);
        at = lf + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) continue;
        SplitTsv(line, &fields);
        const std::string where = "line " + std::to_string(number) + " of " + Shown(o.edits);
        if (fields.size() != 3) {
            *status = UsageFail(o, where + " has " + Plural(fields.size(), "value", "values") +
                                       "; an edit is ROW, COLUMN and VALUE, separated by tabs");
            return false;
        }
        CellEdit cell{0, fields[1], fields[2]};
        if (!ParseRow(o, fields[0], &cell.row, status)) return false;
        plan->cells.push_back(cell);
    }
    return true;
}

} // namespace

int RunSet(const Options &o) {
    const size_t n = o.args.size() - 1;
    if (n % 3 != 0 || (n == 0 && !o.edits_given))
        return UsageFail(o, std::string("expected ") + o.command->synopsis +
                                " (see tavlin set --help)");
    Plan plan;
    int status = 0;
    for (size_t i = 1; i + 2 < o.args.size(); i += 3) {
        CellEdit cell{0, o.args[i + 1], o.args[i + 2]};
        if (!ParseRow(o, o.args[i], &cell.row, &status)) return status;
        plan.cells.push_back(cell);
    }
    if (o.edits_given && !ReadEdits(o, &plan, &status)) return status;
    return RunEdit(o, &plan);
}

int RunAddRow(const Options &o) {
    Plan plan;
    plan.add_row = plan.print_rows = true;
    return RunEdit(o, &plan);
}

int RunAddColumn(const Options &o) {
    Plan plan;
    plan.add_column = plan.print_columns = true;
    plan.name = o.args[1];
    return RunEdit(o, &plan);
}

int RunRenameColumn(const Options &o) {
    Plan plan;
    plan.rename = true;
    plan.renamed = o.args[1];
    plan.name = o.args[2];
    return RunEdit(o, &plan);
}

int RunDeleteRow(const Options &o) {
    Plan plan;
    for (size_t i = 1; i < o.args.size(); ++i) {
        int64_t first = 0, end = -1;
        if (!ParseRows(o.args[i], &first, &end))
            return UsageFail(o, "a row to delete is N, A:B, A: or :B with whole numbers from"
                                " 0, not " + Q(o.args[i]));
        if (end >= 0 && end <= first)
            return UsageFail(o, Q(o.args[i]) + " names no row (A:B is rows A up to but not"
                                               " including B)");
        plan.deleted_rows.push_back({first, end});
    }
    return RunEdit(o, &plan);
}

int RunDeleteColumn(const Options &o) {
    Plan plan;
    plan.deleted_columns.assign(o.args.begin() + 1, o.args.end());
    return RunEdit(o, &plan);
}

} // namespace tavlin
