// stream.h - reads a table file line by line without loading it, through
// the library's own line reader (the one the load reads with), and cuts
// its lines into pieces with the library's field codec.
//
// Memory is bounded by the longest line: the file passes through one block
// (256 KiB, doubled only while a single line does not fit). Lines are handed
// out in place, as stored; the reader splits each once, and Decode() turns a
// piece into its value.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "store/linereader.h"

namespace tavlin {

// Bytes after each line that the readers keep readable (of no set value).
const size_t kLineTail = LINE_TAIL;

// What keeps a line of a table file from loading, as the line reader found
// it.
struct LineFault {
    enum Kind { kNone, kFieldCount, kQuotes, kRead, kMemory };
    Kind kind = kNone;
    uint64_t file_line = 0;   // 1-based line of the file
    uint64_t offset = 0;      // byte offset of its start in the file
    int64_t table_line = 0;   // position among the non-empty lines, from 0
    int32_t fields = 0;       // fields the line has by the load's count
    int32_t pieces = 0;       // pieces by the split
    int32_t expected = 0;     // fields of the first line
};

// The fault a line reader stopped at (kNone when it read to the end).
LineFault FaultOf(const LineState &reader);

// One sentence on a fault, naming the line: "line 3 of 'x.csv' has 1 field
// where the first line has 2". shown_path is already quoted for display.
std::string DescribeFault(const LineFault &fault, const std::string &shown_path);

// Whether a file's first line (text[0..n), as read) shows a file whose
// lines end with CR alone, as those of old Mac systems do: no LF ended it,
// and it holds a CR. Such a file reads as one long line.
bool EndsLinesWithCrAlone(const char *text, size_t n, bool ended_by_lf);
// What is wrong with such a file, for messages: "'x' ends its lines with
// CR alone ..., which ends no line of a table". shown_path is quoted.
std::string CrAloneSentence(const std::string &shown_path);

// Where a piece of a stored line lies, by the split rule.
struct Piece {
    size_t start, size;
};

// The pieces of the stored line line[0..size) by the split rule, one walk
// over the line of any length (the table reader's own split is quicker for
// lines under 4 GiB).
void SplitPieces(const char *line, size_t size, char delimiter, std::vector<Piece> *out);

// The lines of a table as an edit load reads them (the library's line
// reader: empty lines skipped, a line's CR and NUL bytes dropped, every
// line consistent and with the field count of the first line). Next()
// stops at the first line that breaks a rule and fault() says which and
// why.
class TableReader {
public:
    // With most, the reader's block holds at most most bytes, and a line
    // longer than it is not held whole: it is read past, checked by the
    // same rules, and handed out as the first keep bytes of each of its
    // pieces (its pieces still its fields, and plain() false). For readers
    // that show values, not write them.
    TableReader(std::FILE *in, char delimiter, size_t most = 0, size_t keep = 0);
    ~TableReader();
    TableReader(const TableReader &) = delete;
    TableReader &operator=(const TableReader &) = delete;

    // Moves to the next line. With split, the line is also cut into its
    // pieces (piece() tells them); without, it is only checked. plain()
    // tells either way.
    bool Next(bool split = true);
    const char *line() const { return line_; }
    size_t size() const { return size_; }
    uint64_t file_line() const { return state_.file_line; }
    // Position of the current line among the table's lines, from 0.
    int64_t table_line() const { return state_.table_lines - 1; }
    // Fields of the first line; -1 before it was read.
    int32_t columns() const { return state_.expected; }
    const LineFault &fault() const { return fault_; }
    char delimiter() const { return delimiter_; }
    bool byte_order_mark() const { return state_.byte_order_mark != 0; }
    bool ended_by_lf() const { return state_.ended_with_lf != 0; }

    // Cuts a line read without split into its pieces.
    void SplitCurrent();
    // Piece k (below columns()) of a line read with split (or read past).
    Piece piece(size_t k) const {
        if (!long_pieces_.empty()) return long_pieces_[k];
        size_t start = k == 0 ? 0 : ends_[k - 1] + size_t(1);
        return {start, ends_[k] - start};
    }
    // The line holds no quote and no backslash: each piece is its value as
    // stored.
    bool plain() const { return plain_; }

private:
    void Split();
    int PastLongLine();

    std::FILE *in_;
    LineReader *reader_;
    LineState state_{};   // the reader's, as of its last step
    char delimiter_;
    size_t keep_;
    std::string kept_;                // the kept bytes of a line read past
    const char *line_ = nullptr;
    size_t size_ = 0;
    LineFault fault_;
    std::vector<uint32_t> ends_;      // where each piece ends (a separator or the end)
    std::vector<Piece> long_pieces_;  // pieces of a line of 4 GiB or more, or read past
    bool plain_ = false;
};

// Decodes a stored field into *out (replacing its contents).
void Decode(const char *field, size_t size, char delimiter, std::string *out);

} // namespace tavlin
