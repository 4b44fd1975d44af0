// stream.h - reads a table file line by line without loading it, by the
// rules of an edit load, with the library's own field codec.
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

namespace tavlin {

// Bytes after each line that LineSplitter keeps readable (of no set value).
const size_t kLineTail = 16;

// The lines of a file as they are: split at each LF, the LF removed,
// nothing else changed. A UTF-8 byte-order mark at the very start is
// taken off the first line (bom() tells whether there was one).
class LineSplitter {
public:
    explicit LineSplitter(std::FILE *in);
    ~LineSplitter();
    LineSplitter(const LineSplitter &) = delete;
    LineSplitter &operator=(const LineSplitter &) = delete;

    // The next line; false at the end of the input. A last line without
    // LF counts as a line when it holds any byte. The text stays valid
    // until the next call and may be changed in place by the caller; the
    // kLineTail bytes after it may be read.
    bool Next(char **text, size_t *size);
    // 1-based number of the line Next gave last.
    uint64_t number() const { return number_; }
    bool ended_with_lf() const { return ended_with_lf_; }
    bool bom() const { return bom_; }
    bool read_error() const { return read_error_; }

private:
    bool Refill();

    std::FILE *in_;
    std::vector<char> block_; // the bytes read, then kLineTail more
    size_t begin_ = 0, end_ = 0;
    bool at_end_ = false, started_ = false, bom_ = false;
    bool read_error_ = false, ended_with_lf_ = false;
    uint64_t number_ = 0;
};

// What keeps a line of a table file from loading.
struct LineFault {
    enum Kind { kNone, kFieldCount, kQuotes, kRead };
    Kind kind = kNone;
    uint64_t file_line = 0;   // 1-based line of the file
    int64_t table_line = 0;   // position among the non-empty lines, from 0
    int32_t fields = 0;       // fields the line has (by the load's count)
    int32_t expected = 0;     // fields of the first line
};

// One sentence on a fault, naming the line: "line 3 of 'x.csv' has 1 field
// where the first line has 2". shown_path is already quoted for display.
std::string DescribeFault(const LineFault &fault, const std::string &shown_path);

// The shaped text of one file line as an edit load keeps it: one CR at its
// end dropped, then every NUL byte. Returns the new length.
size_t ShapeLine(char *text, size_t size);

// Where a piece of a stored line lies, by the split rule.
struct Piece {
    size_t start, size;
};

// The lines of a table as an edit load reads them: empty lines skipped, a
// line's CR and NUL bytes dropped, every line consistent (its quotes
// neither hide nor make a delimiter) and with the field count of the first
// line. Next() stops at the first line that breaks a rule and fault() says
// which and why.
class TableReader {
public:
    TableReader(std::FILE *in, char delimiter);

    // Moves to the next line. With split, the line is also cut into its
    // pieces (piece() and plain() tell them); without, it is only checked.
    bool Next(bool split = true);
    const char *line() const { return line_; }
    size_t size() const { return size_; }
    uint64_t file_line() const { return lines_.number(); }
    // Position of the current line among the table's lines, from 0.
    int64_t table_line() const { return table_line_; }
    // Fields of the first line; -1 before it was read.
    int32_t columns() const { return columns_; }
    const LineFault &fault() const { return fault_; }
    char delimiter() const { return delimiter_; }

    // Cuts a line read without split into its pieces.
    void SplitCurrent();
    // Piece k (below columns()) of a line read with split.
    Piece piece(size_t k) const {
        if (!long_pieces_.empty()) return long_pieces_[k];
        size_t start = k == 0 ? 0 : ends_[k - 1] + size_t(1);
        return {start, ends_[k] - start};
    }
    // The line holds no quote and no backslash: each piece is its value as
    // stored.
    bool plain() const { return plain_; }

private:
    int32_t Split(const char *text, size_t n, int *consistent);
    int32_t Count(const char *text, size_t n, int *consistent);

    LineSplitter lines_;
    char delimiter_;
    const char *line_ = nullptr;
    size_t size_ = 0;
    int64_t table_line_ = -1;
    int32_t columns_ = -1;
    LineFault fault_;
    std::vector<uint32_t> ends_;      // where each piece ends (a separator or the end)
    std::vector<Piece> long_pieces_;  // pieces of a line of 4 GiB or more
    bool plain_ = false;
};

// Decodes a stored field into *out (replacing its contents).
void Decode(const char *field, size_t size, char delimiter, std::string *out);

} // namespace tavlin
