// interop.h - tables in and out of the formats other tools read: RFC 4180
// CSV, TSV and JSON Lines. Both directions stream: memory holds one record
// (and the reader's block), whatever the size of the input.
//
// CSV is parsed by libcsv in its strict mode, with no trimming of spaces.
// TSV values escape a backslash, tab, LF and CR as \\, \t, \n and \r (the
// escapes of PostgreSQL's text format, which are all read back, as are \b,
// \f, \v, \0 to \377 in octal and \xNN; \N, the null marker of database
// dumps, stays \N). JSON Lines gives one object per data row keyed by
// column name (names made distinct); a byte that is not part of valid
// UTF-8 is written as the lone surrogate \udcNN (NN its value; the scheme
// Python calls surrogateescape), which no valid UTF-8 text can hold, so
// every value comes back byte for byte.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "stream.h"

namespace tavlin {

enum class TextFormat { kCsv, kTsv, kJsonl };

// The UTF-8 byte-order mark, which a reader takes off the start of a file.
inline constexpr char kBom[] = "\xEF\xBB\xBF";
bool StartsWithBom(std::string_view s);

// Bytes an output gathers before it hands them to its sink.
inline constexpr size_t kFlushAt = size_t(1) << 18;

// Where an output's bytes go. Put returns false once a write failed.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual bool Put(const char *bytes, size_t n) = 0;
    bool Put(const std::string &s) { return Put(s.data(), s.size()); }
    // Makes sure what was put reached its file (written, and for a new file
    // synced); false once a write failed.
    virtual bool Sync() { return true; }
};

// Bytes to a C stream.
class StreamSink : public ByteSink {
public:
    explicit StreamSink(std::FILE *out) : out_(out) {}
    bool Put(const char *bytes, size_t n) override {
        if (!failed_ && n && std::fwrite(bytes, 1, n, out_) != n) failed_ = true;
        return !failed_;
    }

private:
    std::FILE *out_;
    bool failed_ = false;
};

// An input read in blocks by a reader that takes a record at a time:
// bytes[begin, used) are read and not yet taken. Refill() moves them to the
// front and reads more behind them, doubling the block while they fill it;
// at_end is set once nothing more comes (read_error when the read failed).
struct InputBlock {
    explicit InputBlock(std::FILE *stream, size_t size = size_t(1) << 16)
        : in(stream), bytes(size) {}
    void Refill();
    // Before anything was taken: how the input is UTF-16 (see Utf16Kind),
    // or null.
    const char *Utf16();

    std::FILE *in;
    std::vector<char> bytes;
    size_t begin = 0, used = 0;
    bool at_end = false, read_error = false;
};

// How the first bytes of a file show it to be UTF-16 ("little-endian, with
// a byte-order mark", ...), or null when they do not.
const char *Utf16Kind(const char *bytes, size_t n);

// Whether this build reads CSV (it needs libcsv; TSV is read always).
bool CsvImportAvailable();

enum class Encoding { kUtf8, kLatin1 };

struct ImportOptions {
    TextFormat from = TextFormat::kCsv; // kCsv or kTsv
    char separator = ',';               // between CSV values
    char delimiter = ',';               // of the table written
    bool ragged = false;                // widen every line to the widest record
    size_t widest = 0;                  // --ragged: the widest record (MeasureImport)
    bool lazy_quotes = false;           // CSV: a quote inside an unquoted value is a byte
    bool no_header = false;             // the input has no header record
    std::vector<std::string> names;     // the columns' names (the input has no header)
    bool comment_given = false;         // skip lines starting with comment
    char comment = '#';
    Encoding encoding = Encoding::kUtf8; // of the input; the table gets UTF-8
};

struct ImportReport {
    uint64_t records = 0;       // header record included
    uint64_t blank_lines = 0;   // skipped
    uint64_t first_blank = 0;   // line of the first skipped one
    uint64_t padded = 0;        // short records padded (--ragged)
    uint64_t first_padded = 0;  // line of the first of them
    uint64_t long_records = 0;  // records longer than the names given or read
    uint64_t first_long = 0;    // line of the first of them
    size_t named = 0;           // columns the header named
    size_t width = 0;           // columns of the table
    uint64_t comments = 0;      // comment lines skipped
};

// Reads CSV or TSV from in and writes the table to out: the first record
// names the columns, every record becomes one line ended by CR LF. A
// value is stored in its plain form, or where that would break its line
// in the escaped form. Lines end at LF, CR LF or a lone CR, and are
// numbered so in messages. Stops at the first bad input with a sentence
// naming its line in *error (and a partial table in out).
// The widest record of the input (the header included), by a first pass
// over it for --ragged. False, with a sentence, at bad input.
bool MeasureImport(std::FILE *in, const ImportOptions &options, size_t *widest,
                   std::string *error);
bool ImportTable(std::FILE *in, ByteSink *out, const ImportOptions &options,
                 ImportReport *report, std::string *error);
bool ImportTable(std::FILE *in, std::FILE *out, const ImportOptions &options,
                 ImportReport *report, std::string *error);

// Turns one record into its table line (without line end): the plain form,
// else the escaped form for the values that need it. False, with a reason,
// when the record cannot be stored so that it reads back unchanged.
bool StoreRecord(const std::vector<std::string> &values, char delimiter,
                 int32_t columns, std::string *line, std::string *reason);

// Which data rows an export writes: all, or those a filter keeps.
class RowFilter {
public:
    virtual ~RowFilter() = default;
    // Sees the column names (line 0, stored form). False stops the export
    // (the filter reported why).
    virtual bool Start(const std::vector<std::string> &names) = 0;
    // Whether the data row the reader holds (split) is written.
    virtual bool Keep(const TableReader &reader) = 0;
};

struct ExportOptions {
    TextFormat to = TextFormat::kCsv;
    char separator = ',';   // between CSV values
    char delimiter = ',';   // of the table read
    int32_t header_lines = 1;
    RowFilter *filter = nullptr; // null: every row
    // Which columns are written, in which order, picked from the column
    // names (line 0, stored form): *picked holds every column on entry, and
    // the pick replaces it; false stops the export (the pick reported why).
    // Null: every column.
    std::function<bool(const std::vector<std::string> &names, std::vector<size_t> *picked)>
        pick;
};

struct ExportReport {
    // JSON Lines: the columns whose key is not their name, as
    // "column 1 'a' is keyed 'a_2'".
    std::vector<std::string> renamed_keys;
    bool stopped = false;   // the filter or the pick stopped the export
    bool cr_alone = false;  // the file's lines end with CR alone (see stream.h)
};

// Writes the table read from in as CSV (every line a record, CR LF line
// ends), TSV (every line a record, LF) or JSON Lines (one object per data
// row, LF). Reads by the rules of an edit load; false at the first line
// that breaks them (*fault says which) or when out failed (*write_failed).
bool ExportTable(std::FILE *in, ByteSink *out, const ExportOptions &options,
                 LineFault *fault, bool *write_failed, ExportReport *report = nullptr);
bool ExportTable(std::FILE *in, std::FILE *out, const ExportOptions &options,
                 LineFault *fault, bool *write_failed);

// JSON keys for column names: each name, unless it is empty (then its
// position from 1) or an earlier key (then NAME_2, NAME_3, ...). Notes
// the columns whose key is not their name in *renamed.
std::vector<std::string> DistinctKeys(const std::vector<std::string> &names,
                                      std::vector<std::string> *renamed);

// Appends the stored form of value in the table's delimiter d, plain or
// escaped (see StoreField). False for a value larger than a cell holds.
bool AppendStored(const std::string &value, char d, bool escaped, std::string *out);

// The value of a TSV field s[0..n): its escapes read (see above).
void UnescapeTsv(const char *s, size_t n, std::string *out);
// The values of a TSV line (without its line end): the fields between its
// tabs, their escapes read.
void SplitTsv(std::string_view line, std::vector<std::string> *values);
// Appends a value to a TSV line, escaped. first: it starts the output, so
// a byte-order mark at its start is kept apart from one of the file.
void AppendTsvValue(const std::string &v, bool first, std::string *out);

// Appends a CSV value: quoted when it holds the separator, a quote, CR or
// LF, or when quote asks for it; its quotes then doubled.
void AppendCsvValue(const std::string &v, char separator, bool quote, std::string *out);

// The CSV form of one record (RFC 4180: a value holding the separator, a
// quote, CR or LF is quoted, its quotes doubled), without line end. A
// value that starts the input with a byte-order mark is quoted too, so
// that a reader does not take it for one.
void AppendCsvRecord(const std::vector<std::string> &values, char separator,
                     bool first_record, std::string *out);

} // namespace tavlin
