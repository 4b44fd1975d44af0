// stream.cpp - line-by-line reading of table files through the library's
// line reader, and the pieces of a line by the field codec.
#include "stream.h"

#include <algorithm>
#include <cstring>

#include "codec/tavl_codec.h"

namespace tavlin {
namespace {

const size_t kBlock = size_t(1) << 18;
// Piece ends kept beyond the column count: a walk may pass up to 63 more
// separators in its last step before it stops.
const size_t kEndsSlack = 64;

} // namespace

// Piece 0 of the rest of the line is the next piece of the line: the byte
// before it is a separator, never a quote, so the split rule gives the same
// answer for the rest as for the whole line.
void SplitPieces(const char *line, size_t size, char d, std::vector<Piece> *out) {
    out->clear();
    size_t at = 0;
    for (;;) {
        size_t start = 0, length = 0;
        if (!FindField(line + at, size - at, d, 0, &start, &length)) break;
        out->push_back({at + start, length});
        at += start + length;
        if (at >= size) break;
        ++at; // the separator
        if (at == size) {
            out->push_back({at, 0}); // a separator at the last byte
            break;
        }
    }
}

namespace {

std::string Fields(int32_t n) { return std::to_string(n) + (n == 1 ? " field" : " fields"); }

} // namespace

LineFault FaultOf(const LineState &r) {
    LineFault f;
    switch (r.fault) {
    case LINE_FAULT_NONE: return f;
    case LINE_FAULT_FIELDS: f.kind = LineFault::kFieldCount; break;
    case LINE_FAULT_QUOTES: f.kind = LineFault::kQuotes; break;
    case LINE_FAULT_READ: f.kind = LineFault::kRead; break;
    default: f.kind = LineFault::kMemory; break;
    }
    f.file_line = r.file_line;
    f.offset = r.file_offset;
    f.table_line = r.table_lines;
    f.fields = r.fields;
    f.pieces = r.fault_pieces;
    f.expected = r.expected;
    return f;
}

std::string DescribeFault(const LineFault &f, const std::string &path) {
    std::string where = "line " + std::to_string(f.file_line) + " of " + path;
    switch (f.kind) {
    case LineFault::kFieldCount:
        return where + " has " + Fields(f.fields) + " where the first line has " +
               std::to_string(f.expected);
    case LineFault::kQuotes:
        // The quotes are the fault, whatever the count: the load counts a
        // delimiter after an odd number of quotes as inside a value, the
        // split cuts at it all the same.
        return where + " has quotes that hide or make a delimiter, so it cannot be"
                       " read as stored table fields (standard CSV quoting is not"
                       " the stored form: 'tavlin import' reads CSV)";
    case LineFault::kRead:
        return path + " could not be read after line " +
               std::to_string(f.file_line > 0 ? f.file_line - 1 : 0) + " (at byte " +
               std::to_string(f.offset) + ")";
    case LineFault::kMemory:
        return "out of memory while reading " + where + " (at byte " +
               std::to_string(f.offset) + ")";
    case LineFault::kNone:
        break;
    }
    return where + " cannot be loaded";
}

bool EndsLinesWithCrAlone(const char *text, size_t n, bool ended_by_lf) {
    return !ended_by_lf && std::memchr(text, '\r', n) != nullptr;
}

std::string CrAloneSentence(const std::string &path) {
    return path + " ends its lines with CR alone (as files of old Mac systems do),"
                  " which ends no line of a table";
}

TableReader::TableReader(std::FILE *in, char delimiter, size_t most, size_t keep)
    : in_(in), delimiter_(delimiter), keep_(keep), ends_(kEndsSlack) {
    LineOptions options{};
    options.delimiter = delimiter;
    options.counting = 1;
    options.capacity = most && most < kBlock ? most : kBlock;
    options.most = most;
    reader_ = LineReaderNew(in, &options);
    state_.expected = -1;
    if (!reader_) fault_.kind = LineFault::kMemory;
}

namespace {

// The load's rules for a line met a piece at a time: the line shaped (NUL
// bytes dropped, a CR at its end too), its fields counted as the load
// counts them (a D with an even number of quotes before it) and cut by the
// split rule, which must agree; of each piece only the first keep bytes.
// A D's place waits for the byte after it, which tells whether it is the
// middle of a quote-D-quote group.
class LineJudge {
public:
    LineJudge(char d, size_t keep, std::string *kept, std::vector<Piece> *pieces)
        : d_(d), keep_(keep), kept_(*kept), pieces_(*pieces) {
        kept_.clear();
        pieces_.assign(1, {0, 0});
    }
    void Feed(const char *bytes, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            const char c = bytes[i];
            if (cr_) Byte('\r');
            cr_ = c == '\r';
            if (!cr_ && c != '\0') Byte(c);
        }
    }
    // The line ends (its CR, if last, is dropped): the last D separates.
    void End() {
        if (d_pending_) Settle(true);
    }
    uint64_t length() const { return n_; }
    int32_t fields() const { return fields_ > INT32_MAX ? INT32_MAX : static_cast<int32_t>(fields_); }
    bool consistent() const { return consistent_; }
    int32_t pieces() const {
        return pieces_.size() > INT32_MAX ? INT32_MAX : static_cast<int32_t>(pieces_.size());
    }

private:
    void Byte(char c) {
        if (d_pending_) Settle(n_ == 1 || prev2_ != '"' || c != '"');
        if (c == d_) {
            d_pending_ = true;
            d_counts_ = even_;
        } else {
            if (c == '"') even_ = !even_;
            Keep(c);
        }
        prev2_ = prev_;
        prev_ = c;
        ++n_;
    }
    void Settle(bool separates) {
        d_pending_ = false;
        if (d_counts_) ++fields_;
        if (d_counts_ != separates) consistent_ = false;
        if (separates) pieces_.push_back({kept_.size(), 0});
        else Keep(d_);
    }
    void Keep(char c) {
        Piece &p = pieces_.back();
        if (p.size > keep_) return;
        kept_ += c;
        ++p.size;
    }

    char d_;
    size_t keep_;
    std::string &kept_;
    std::vector<Piece> &pieces_;
    uint64_t n_ = 0, fields_ = 1;
    bool even_ = true, consistent_ = true, cr_ = false, d_pending_ = false, d_counts_ = false;
    char prev_ = 0, prev2_ = 0;
};

} // namespace

// A line too long for the block: its first bytes are in the block, the
// rest is read from the stream here, a piece at a time, and judged as the
// reader judges a line; the reader goes on after it with what was read
// past its LF. 1: a line of the table; 0: an empty line; -1: a fault.
int TableReader::PastLongLine() {
    const LineState &r = state_;
    LineJudge judge(delimiter_, keep_, &kept_, &long_pieces_);
    judge.Feed(r.text, r.length);
    uint64_t offset = r.read_to;
    std::vector<char> chunk(std::min<size_t>(r.block / 2, size_t(1) << 20));
    const char *ahead = nullptr;
    size_t got = 0, past = 0;
    while ((got = std::fread(chunk.data(), 1, chunk.size(), in_)) > 0) {
        const char *lf = static_cast<const char *>(std::memchr(chunk.data(), '\n', got));
        const size_t line = lf ? static_cast<size_t>(lf - chunk.data()) : got;
        judge.Feed(chunk.data(), line);
        offset += lf ? line + 1 : line;
        if (lf) {
            ahead = lf + 1;
            past = got - line - 1;
            break;
        }
    }
    judge.End();
    if (!ahead && std::ferror(in_)) {
        fault_ = FaultOf(r);
        fault_.kind = LineFault::kRead;
        return -1;
    }
    const int32_t fields = judge.length() ? judge.fields() : 0;
    if (fields && (!judge.consistent() || (r.expected >= 0 && fields != r.expected))) {
        fault_ = FaultOf(r);
        fault_.kind = judge.consistent() ? LineFault::kFieldCount : LineFault::kQuotes;
        fault_.fields = fields;
        fault_.pieces = judge.pieces();
        fault_.expected = r.expected;
        return -1;
    }
    LineReaderGoOn(reader_, ahead ? ahead : chunk.data(), past, offset, fields, ahead != nullptr);
    LineReaderState(reader_, &state_);
    if (!fields) return 0;
    line_ = kept_.data();
    size_ = kept_.size();
    plain_ = false;
    return 1;
}

TableReader::~TableReader() { LineReaderDelete(reader_); }

// Cuts the line into its pieces (in one walk, which also tells whether it
// holds a quote or a backslash). The reader found it consistent, so the
// pieces are its fields.
void TableReader::Split() {
    const char *text = line_;
    const size_t n = size_;
    if (n >= UINT32_MAX) {
        SplitPieces(text, n, delimiter_, &long_pieces_);
        plain_ = !std::memchr(text, '"', n) && !std::memchr(text, '\\', n);
        return;
    }
    long_pieces_.clear();
    const size_t need = static_cast<size_t>(std::max(columns(), 1)) + kEndsSlack;
    if (ends_.size() < need) ends_.resize(need);
    size_t walked = 0;
    int32_t count = 0;
    int special = 0;
    const int32_t room = static_cast<int32_t>(ends_.size());
    FieldEndsWalk(text, n, delimiter_, ends_.data(), room, room - 64, &walked, &count,
                  &special);
    plain_ = !special;
}

void TableReader::SplitCurrent() { Split(); }

bool TableReader::Next(bool split) {
    if (fault_.kind != LineFault::kNone) return false;
    for (;;) {
        const int step = LineReaderStep(reader_);
        LineReaderState(reader_, &state_);
        if (step == LINE_READY) break;
        if (state_.fault != LINE_FAULT_LONG) {
            fault_ = FaultOf(state_);
            return false;
        }
        const int taken = PastLongLine();
        if (taken < 0) return false;
        if (taken > 0) return true;
    }
    line_ = state_.text;
    size_ = state_.length;
    if (split) Split();
    else plain_ = !std::memchr(line_, '"', size_) && !std::memchr(line_, '\\', size_);
    return true;
}

void Decode(const char *field, size_t size, char d, std::string *out) {
    // Most fields hold neither a quote nor a backslash: they are their value.
    if (!std::memchr(field, '"', size) && !std::memchr(field, '\\', size)) {
        out->assign(field, size);
        return;
    }
    // A stored field is never shorter than its value.
    out->resize(size);
    out->resize(DecodeFieldTo(field, size, d, size ? &(*out)[0] : nullptr, size));
}

} // namespace tavlin
