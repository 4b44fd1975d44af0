// options.h - the command line of tavlin: which subcommands exist, which
// options each takes, and the parsed result.
//
// Parsing never touches a file. It either yields a complete Options record
// or a one-line complaint, which the caller prints and answers with exit
// status 2 (a usage error). The options of a subcommand are read by CLI11.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavlin {

// Options a subcommand may take, beyond the common ones (-d, -H, --unique,
// --help) that every subcommand takes.
enum OptionBit : unsigned {
    kOptMode = 1u << 0,    // --mode edit|preview|indexed, --index-dir DIR
    kOptOutput = 1u << 1,  // --output PATH
    kOptRows = 1u << 2,    // --rows A:B
    kOptColumns = 1u << 3, // --columns NAME,...
    kOptWide = 1u << 4,    // --wide
    kOptForce = 1u << 5,   // --force
    kOptNoNewline = 1u << 6, // -n, --no-newline
    kOptFrom = 1u << 7,    // --from csv|tsv
    kOptTo = 1u << 8,      // --to csv|tsv|jsonl
    kOptSeparator = 1u << 9, // -s, --separator C
    kOptImport = 1u << 10, // --ragged, --comment C, --encoding E, --lazy-quotes,
                           // --no-header, --names A,B,...
    kOptPrint = 1u << 11,  // --print (with --to)
    kOptForm = 1u << 12,   // --csv, --tsv, --stored: the form an edit keeps
    kOptEdits = 1u << 13,  // --edits FILE
};

struct Options;
using Runner = int (*)(const Options &);

struct Command {
    const char *name;      // "get", "index prepare", ...
    const char *synopsis;  // positional part of the usage line
    const char *summary;   // one line for the overview
    const char *details;   // the rest of the --help text
    const char *examples;  // example command lines, one a line
    unsigned allowed;      // OptionBit mask
    int min_args;
    int max_args;
    Runner run;
};

struct Options {
    const Command *command = nullptr;
    std::vector<std::string> args; // positionals, in order

    char delimiter = ',';
    bool delimiter_given = false;
    int32_t header_lines = 1;
    bool header_lines_given = false;
    bool unique = false;
    bool help = false;

    int32_t mode = 1; // OPEN_EDIT
    bool mode_given = false;
    std::string index_dir;
    bool index_dir_given = false;
    std::string output;
    bool output_given = false;
    std::string rows;
    bool rows_given = false;
    std::string columns;
    bool columns_given = false;
    bool wide = false;
    bool force = false;
    bool no_newline = false;
    std::string from = "csv";   // import: csv or tsv
    std::string to = "csv";     // export: csv, tsv or jsonl
    char separator = ',';       // between CSV values
    bool separator_given = false;
    bool to_given = false;
    bool ragged = false;        // import: pad short records, name extra columns
    bool lazy_quotes = false;   // import: a quote inside an unquoted value is a byte
    bool no_header = false;     // import: the input has no header record
    std::string names;          // import: names of the columns, comma-separated
    bool names_given = false;
    bool comment_given = false; // import: skip lines starting with comment
    char comment = '#';
    std::string encoding = "utf-8"; // import: utf-8 or latin1
    bool print = false;         // find: the matching rows, not their numbers
    bool index_help = false;    // help for the index subcommands as a group
    // edits: the form of the file (see edit.cpp); --stored keeps the table
    // form even where it writes its escapes into a file that holds none
    bool csv = false, tsv = false, stored = false;
    std::string edits;          // set: a file of ROW, COLUMN and VALUE lines
    bool edits_given = false;
};

// What the parse asks the caller to do.
enum class ParseResult {
    kRun,          // run opts.command
    kHelp,         // print help (for opts.command, or the overview when null)
    kVersion,      // print the version
    kUsageError,   // print "tavlin[ CMD]: MESSAGE" and exit 2
};

ParseResult ParseCommandLine(int argc, char **argv, const Command *commands,
                             int command_count, Options *opts,
                             std::string *message);

// The --help text of one subcommand, and the overview of all of them.
// Both are laid out for help2man, which makes the manual page from them.
std::string CommandHelp(const Command &command);
std::string OverviewHelp(const Command *commands, int command_count);
// The help of the index subcommands together ("tavlin index --help").
std::string IndexHelp(const Command *commands, int command_count);

// Parses a whole decimal number into *out; false for anything else
// (signs are allowed, overflow is refused).
bool ParseInt32(const std::string &text, int32_t *out);
// The same for a 64-bit number.
bool ParseInt64(const std::string &text, int64_t *out);
// "A:B", "A:", ":B" or "A": rows A up to but not including B (an open end
// is -1); false for anything else.
bool ParseRows(const std::string &text, int64_t *first, int64_t *end);
// Whether text is a whole decimal number (digits after an optional sign),
// whatever its size.
bool IsWholeNumber(const std::string &text);

} // namespace tavlin
