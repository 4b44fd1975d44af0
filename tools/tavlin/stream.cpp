// stream.cpp - line-by-line reading of table files with the field codec.
#include "stream.h"

#include <algorithm>
#include <cstring>

#include "base/tavlbits.h"
#include "codec/tavl_codec.h"

namespace tavlin {
namespace {

const size_t kBlock = size_t(1) << 18;
const char kBom[] = "\xEF\xBB\xBF";
// Piece ends kept beyond the column count: a walk may pass up to 32 more
// separators in its last step before it stops.
const size_t kEndsSlack = 64;

// Pieces of a line too long for the walk's 32-bit positions. Piece 0 of
// the rest of the line is the next piece of the line: the byte before it
// is a separator, never a quote, so the split rule gives the same answer
// for the rest as for the whole line.
void LongPieces(const char *line, size_t size, char d, std::vector<Piece> *out) {
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

} // namespace

LineSplitter::LineSplitter(std::FILE *in) : in_(in), block_(kBlock + kLineTail) {}
LineSplitter::~LineSplitter() = default;

// Moves the unread bytes to the front and reads behind them, doubling the
// block when one line fills it.
bool LineSplitter::Refill() {
    if (at_end_) return false;
    if (begin_ > 0) {
        std::memmove(block_.data(), block_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    const size_t capacity = block_.size() - kLineTail;
    if (end_ == capacity) block_.resize(capacity * 2 + kLineTail);
    size_t got = std::fread(block_.data() + end_, 1, block_.size() - kLineTail - end_, in_);
    if (got == 0) {
        at_end_ = true;
        read_error_ = std::ferror(in_) != 0;
        return false;
    }
    end_ += got;
    return true;
}

bool LineSplitter::Next(char **text, size_t *size) {
    if (!started_) {
        started_ = true;
        while (end_ < 3 && Refill()) {
        }
        if (end_ >= 3 && std::memcmp(block_.data(), kBom, 3) == 0) {
            bom_ = true;
            begin_ = 3;
        }
    }
    size_t scanned = begin_;
    for (;;) {
        char *from = block_.data() + scanned;
        char *lf = static_cast<char *>(std::memchr(from, '\n', end_ - scanned));
        if (lf) {
            *text = block_.data() + begin_;
            *size = static_cast<size_t>(lf - *text);
            begin_ = static_cast<size_t>(lf - block_.data()) + 1;
            ended_with_lf_ = true;
            ++number_;
            return true;
        }
        size_t seen = end_ - begin_; // the refill moves the unread bytes
        if (!Refill()) break;
        scanned = begin_ + seen;
    }
    if (begin_ == end_) return false;
    *text = block_.data() + begin_;
    *size = end_ - begin_;
    begin_ = end_;
    ended_with_lf_ = false;
    ++number_;
    return true;
}

size_t ShapeLine(char *text, size_t n) {
    if (n && text[n - 1] == '\r') --n;
    if (std::memchr(text, '\0', n)) {
        size_t kept = 0;
        for (size_t i = 0; i < n; ++i)
            if (text[i] != '\0') text[kept++] = text[i];
        n = kept;
    }
    return n;
}

std::string DescribeFault(const LineFault &f, const std::string &path) {
    std::string where = "line " + std::to_string(f.file_line) + " of " + path;
    auto fields = [](int32_t n) {
        return std::to_string(n) + (n == 1 ? " field" : " fields");
    };
    switch (f.kind) {
    case LineFault::kFieldCount:
        return where + " has " + fields(f.fields) + " where the first line has " +
               std::to_string(f.expected);
    case LineFault::kQuotes:
        return where + " has quotes that hide or make a delimiter, so it cannot be"
                       " read as stored table fields (standard CSV quoting is not"
                       " the stored form: 'tavlin import' reads CSV)";
    case LineFault::kRead:
        return path + " could not be read after line " + std::to_string(f.file_line);
    case LineFault::kNone:
        break;
    }
    return where + " cannot be loaded";
}

TableReader::TableReader(std::FILE *in, char delimiter)
    : lines_(in), delimiter_(delimiter), ends_(kEndsSlack) {}

// Cuts the line into its pieces (in one walk, which also tells whether it
// holds a quote or a backslash) and returns its field count as the load
// counts it. Without a quote every delimiter separates, so the pieces are
// the load's fields; a line with quotes is counted by quote parity too, and
// *consistent tells whether the two agree.
int32_t TableReader::Split(const char *text, size_t n, int *consistent) {
    if (n >= UINT32_MAX) {
        LongPieces(text, n, delimiter_, &long_pieces_);
        plain_ = !std::memchr(text, '"', n) && !std::memchr(text, '\\', n);
        return CountLineFields(text, n, delimiter_, consistent);
    }
    long_pieces_.clear();
    size_t walked = 0;
    int32_t count = 0;
    int special = 0;
    // The walk stops while every end it passed still has room; the first
    // line grows the room, a later one with more pieces than columns fails.
    for (;;) {
        const int32_t room = static_cast<int32_t>(ends_.size());
        if (FieldEndsWalk(text, n, delimiter_, ends_.data(), room, room - 33, &walked,
                          &count, &special))
            break;
        if (columns_ >= 0 || ends_.size() > size_t(INT32_MAX) / 4)
            return CountLineFields(text, n, delimiter_, consistent);
        ends_.resize(ends_.size() * 2);
    }
    plain_ = !special;
    if (plain_) {
        *consistent = 1;
        return count;
    }
    return CountLineFields(text, n, delimiter_, consistent);
}

// Counts the fields of a line as the load does, without splitting it. One
// pass counts the delimiters and looks for quotes and backslashes: without
// a quote every delimiter separates, so the count is theirs plus one; a
// line with quotes is counted by quote parity.
int32_t TableReader::Count(const char *text, size_t n, int *consistent) {
    uint64_t delimiters = 0;
    bool special = false;
    size_t i = 0;
#if defined(TAVL_SSE2)
    // Sixteen bytes a step; each byte lane counts its own delimiters (up to
    // 255 steps, then the lanes are summed). The last step reads into the
    // bytes kept after the line and masks them off.
    static const unsigned char kKeep[32] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                            0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const __m128i d_bytes = _mm_set1_epi8(delimiter_), quotes = _mm_set1_epi8('"'),
                  slashes = _mm_set1_epi8('\\'), zero = _mm_setzero_si128();
    __m128i seen = zero;
    while (i < n) {
        const size_t steps = std::min<size_t>((n - i + 15) / 16, 255);
        __m128i counts = zero;
        for (size_t k = 0; k < steps; ++k, i += 16) {
            const __m128i keep = n - i >= 16 ? _mm_cmpeq_epi8(zero, zero)
                                             : LoadSixteen(kKeep + 16 - (n - i));
            const __m128i x = LoadSixteen(text + i);
            counts = _mm_sub_epi8(counts, _mm_and_si128(_mm_cmpeq_epi8(x, d_bytes), keep));
            seen = _mm_or_si128(seen, _mm_and_si128(_mm_or_si128(_mm_cmpeq_epi8(x, quotes),
                                                                 _mm_cmpeq_epi8(x, slashes)),
                                                    keep));
        }
        const __m128i sums = _mm_sad_epu8(counts, zero); // two sums of eight lanes
        delimiters += static_cast<uint32_t>(_mm_cvtsi128_si32(sums)) +
                      static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
    }
    special = _mm_movemask_epi8(seen) != 0;
#endif
    for (; i < n; ++i) {
        delimiters += text[i] == delimiter_;
        special = special || text[i] == '"' || text[i] == '\\';
    }
    plain_ = !special;
    if (!plain_ || delimiters >= uint64_t(INT32_MAX))
        return CountLineFields(text, n, delimiter_, consistent);
    *consistent = 1;
    return static_cast<int32_t>(delimiters + 1);
}

void TableReader::SplitCurrent() {
    int consistent = 0;
    Split(line_, size_, &consistent); // the line was found sound already
}

bool TableReader::Next(bool split) {
    if (fault_.kind != LineFault::kNone) return false;
    char *text;
    size_t n;
    while (lines_.Next(&text, &n)) {
        n = ShapeLine(text, n);
        if (n == 0) continue; // empty lines are not lines of the table
        ++table_line_;
        int consistent = 0;
        int32_t fields = split ? Split(text, n, &consistent) : Count(text, n, &consistent);
        if (columns_ < 0) {
            columns_ = fields;
            ends_.resize(std::max(ends_.size(), size_t(columns_) + kEndsSlack));
        }
        if (fields != columns_ || !consistent) {
            fault_.kind = fields != columns_ ? LineFault::kFieldCount : LineFault::kQuotes;
            fault_.file_line = lines_.number();
            fault_.table_line = table_line_;
            fault_.fields = fields;
            fault_.expected = columns_;
            return false;
        }
        line_ = text;
        size_ = n;
        return true;
    }
    if (lines_.read_error()) {
        fault_.kind = LineFault::kRead;
        fault_.file_line = lines_.number();
        fault_.table_line = table_line_ + 1;
    }
    return false;
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
