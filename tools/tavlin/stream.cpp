// stream.cpp - line-by-line reading of table files through the library's
// line reader, and the pieces of a line by the field codec.
#include "stream.h"

#include <algorithm>
#include <cstring>

#include "codec/tavl_codec.h"

namespace tavlin {
namespace {

const size_t kBlock = size_t(1) << 18;
// Piece ends kept beyond the column count: a walk may pass up to 32 more
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

LineFault FaultOf(const LineReader &r) {
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
    f.table_line = r.stored;
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

TableReader::TableReader(std::FILE *in, char delimiter)
    : delimiter_(delimiter), ends_(kEndsSlack) {
    LineReaderInit(&reader_, in, delimiter, 0, 1, kBlock);
}

TableReader::~TableReader() { LineReaderFree(&reader_); }

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
    FieldEndsWalk(text, n, delimiter_, ends_.data(), room, room - 33, &walked, &count,
                  &special);
    plain_ = !special;
}

void TableReader::SplitCurrent() { Split(); }

bool TableReader::Next(bool split) {
    if (fault_.kind != LineFault::kNone) return false;
    if (LineReaderNext(&reader_) != LINE_READY) {
        fault_ = FaultOf(reader_);
        return false;
    }
    line_ = LineReaderText(&reader_);
    size_ = reader_.length;
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
