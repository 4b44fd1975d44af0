// interop.h - tables in and out of the formats other tools read: RFC 4180
// CSV, TSV and JSON Lines. Both directions stream: memory holds one record
// (and the reader's block), whatever the size of the input.
//
// CSV is parsed by libcsv in its strict mode, with no trimming of spaces.
// TSV values escape a backslash, tab, LF and CR as \\, \t, \n and \r (the
// escapes of PostgreSQL's text format, which are all read back, as are \b,
// \f, \v, \0 to \377 in octal and \xNN). JSON Lines gives one object per
// data row keyed by column name; a byte that is not part of valid UTF-8 is
// written as the lone surrogate \udcNN (NN its value; the scheme Python
// calls surrogateescape), which no valid UTF-8 text can hold, so every
// value comes back byte for byte.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "stream.h"

namespace tavlin {

enum class TextFormat { kCsv, kTsv, kJsonl };

// Whether this build reads CSV (it needs libcsv; TSV is read always).
bool CsvImportAvailable();

struct ImportOptions {
    TextFormat from = TextFormat::kCsv; // kCsv or kTsv
    char separator = ',';               // between CSV values
    char delimiter = ',';               // of the table written
};

struct ImportReport {
    uint64_t records = 0;       // header record included
    uint64_t blank_lines = 0;   // skipped
    uint64_t first_blank = 0;   // line of the first skipped one
};

// Reads CSV or TSV from in and writes the table to out: the first record
// names the columns, every record becomes one line ended by CR LF. A
// value is stored in its plain form, or where that would break its line
// in the escaped form. Stops at the first bad input with a sentence naming
// its line in *error (and a partial table in out).
bool ImportTable(std::FILE *in, std::FILE *out, const ImportOptions &options,
                 ImportReport *report, std::string *error);

// Turns one record into its table line (without line end): the plain form,
// else the escaped form for the values that need it. False, with a reason,
// when the record cannot be stored so that it reads back unchanged.
bool StoreRecord(const std::vector<std::string> &values, char delimiter,
                 int32_t columns, std::string *line, std::string *reason);

struct ExportOptions {
    TextFormat to = TextFormat::kCsv;
    char separator = ',';   // between CSV values
    char delimiter = ',';   // of the table read
    int32_t header_lines = 1;
};

// Writes the table read from in as CSV (every line a record, CR LF line
// ends), TSV (every line a record, LF) or JSON Lines (one object per data
// row, LF). Reads by the rules of an edit load; false at the first line
// that breaks them (*fault says which) or when out failed (*write_failed).
bool ExportTable(std::FILE *in, std::FILE *out, const ExportOptions &options,
                 LineFault *fault, bool *write_failed);

// The CSV form of one record (RFC 4180: a value holding the separator, a
// quote, CR or LF is quoted, its quotes doubled), without line end. A
// value that starts the input with a byte-order mark is quoted too, so
// that a reader does not take it for one.
void AppendCsvRecord(const std::vector<std::string> &values, char separator,
                     bool first_record, std::string *out);

} // namespace tavlin
