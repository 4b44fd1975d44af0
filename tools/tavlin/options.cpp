// options.cpp - parses tavlin's command line into an Options record.
//
// The subcommand is found first (two words for "index prepare" and "index
// drop"); CLI11 then reads that subcommand's options, which may stand
// before, between or after the positional arguments. Long options take
// their value as "--opt VALUE" or "--opt=VALUE", short ones as "-d VALUE"
// or "-dVALUE". Everything after "--" is positional. A negative number
// ("-1") is a positional argument, not an option, so a row can be given as
// -1 and refused by the library with its own code.
#include "options.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cctype>

namespace tavlin {
namespace {

bool LooksLikeNumber(const char *s) {
    if (*s == '-' || *s == '+') ++s;
    if (!*s) return false;
    for (; *s; ++s)
        if (*s < '0' || *s > '9') return false;
    return true;
}

bool ParseDelimiter(const std::string &text, char *out) {
    if (text == "tab" || text == "\\t") {
        *out = '\t';
        return true;
    }
    if (text.size() != 1) return false;
    *out = text[0];
    return true;
}

bool ParseMode(const std::string &text, int32_t *out) {
    if (text == "indexed") *out = 0;
    else if (text == "edit") *out = 1;
    else if (text == "preview") *out = 2;
    else return false;
    return true;
}

const Command *FindCommand(const Command *commands, int count,
                           const std::string &name) {
    for (int i = 0; i < count; ++i)
        if (name == commands[i].name) return &commands[i];
    return nullptr;
}

} // namespace

bool IsWholeNumber(const std::string &text) { return LooksLikeNumber(text.c_str()); }

bool ParseInt64(const std::string &text, int64_t *out) {
    if (text.empty() || !LooksLikeNumber(text.c_str())) return false;
    errno = 0;
    char *end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno || *end) return false;
    *out = static_cast<int64_t>(v);
    return true;
}

bool ParseInt32(const std::string &text, int32_t *out) {
    if (text.empty() || !LooksLikeNumber(text.c_str())) return false;
    errno = 0;
    char *end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno || *end || v < INT32_MIN || v > INT32_MAX) return false;
    *out = static_cast<int32_t>(v);
    return true;
}

bool ParseRows(const std::string &text, int64_t *first, int64_t *end) {
    size_t colon = text.find(':');
    std::string a = text.substr(0, colon);
    std::string b = colon == std::string::npos ? "" : text.substr(colon + 1);
    int64_t va = 0, vb = -1;
    if (!a.empty() && (!ParseInt64(a, &va) || va < 0)) return false;
    if (colon == std::string::npos) {
        if (a.empty()) return false;
        vb = va + 1;
    } else if (!b.empty() && (!ParseInt64(b, &vb) || vb < 0)) {
        return false;
    }
    *first = va;
    *end = vb;
    return true;
}

ParseResult ParseCommandLine(int argc, char **argv, const Command *commands,
                             int command_count, Options *opts,
                             std::string *message) {
    int i = 1;
    if (i >= argc) {
        *message = "no subcommand given (see tavlin --help)";
        return ParseResult::kUsageError;
    }
    std::string first = argv[i];
    if (first == "--help" || first == "-h") return ParseResult::kHelp;
    if (first == "--version" || first == "-V") return ParseResult::kVersion;
    if (first == "help") {
        if (i + 1 < argc) {
            std::string name = argv[i + 1];
            if (name == "index" && i + 2 >= argc) {
                opts->index_help = true;
                return ParseResult::kHelp;
            }
            if (name == "index" && i + 2 < argc) name += std::string(" ") + argv[i + 2];
            opts->command = FindCommand(commands, command_count, name);
            if (!opts->command) {
                *message = "no subcommand named '" + name + "' (see tavlin --help)";
                return ParseResult::kUsageError;
            }
        }
        return ParseResult::kHelp;
    }

    std::string name = first;
    ++i;
    if (name == "index") {
        if (i >= argc || argv[i][0] == '-') {
            // "tavlin index --help" and a bare "tavlin index" both want the
            // list of index subcommands; the first is not an error.
            if (i < argc && (std::strcmp(argv[i], "--help") == 0 ||
                             std::strcmp(argv[i], "-h") == 0)) {
                opts->index_help = true;
                return ParseResult::kHelp;
            }
            *message = "index needs a subcommand: prepare or drop";
            return ParseResult::kUsageError;
        }
        name += std::string(" ") + argv[i];
        ++i;
    }
    opts->command = FindCommand(commands, command_count, name);
    if (!opts->command) {
        *message = "no subcommand named '" + name + "' (see tavlin --help)";
        return ParseResult::kUsageError;
    }
    const Command &c = *opts->command;
    const unsigned allowed = c.allowed;

    // CLI11 reads the words before "--"; those after it are positional.
    std::vector<std::string> words(argv + i, argv + argc);
    std::vector<std::string> tail;
    auto dashes = std::find(words.begin(), words.end(), "--");
    if (dashes != words.end()) {
        tail.assign(dashes + 1, words.end());
        words.erase(dashes, words.end());
    }

    CLI::App app{"", std::string("tavlin ") + c.name};
    app.set_help_flag();
    app.allow_extras(); // unknown options are reported below, in our words
    std::string delimiter, header_lines, mode, index_dir, output, rows, columns,
        from, to, separator, comment, encoding, names, edits;
    auto value = [&](const char *names, std::string *into) {
        return app.add_option(names, *into)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    };
    app.add_option("args", opts->args);
    CLI::Option *o_delimiter = value("-d,--delimiter", &delimiter);
    CLI::Option *o_header = value("-H,--header-lines", &header_lines);
    app.add_flag("--unique", opts->unique);
    app.add_flag("-h,--help", opts->help);
    CLI::Option *o_mode = nullptr, *o_index_dir = nullptr, *o_output = nullptr,
                *o_rows = nullptr, *o_columns = nullptr, *o_from = nullptr,
                *o_to = nullptr, *o_separator = nullptr, *o_comment = nullptr,
                *o_encoding = nullptr, *o_names = nullptr, *o_edits = nullptr;
    if (allowed & kOptMode) {
        o_mode = value("--mode", &mode);
        o_index_dir = value("--index-dir", &index_dir);
    }
    if (allowed & kOptOutput) o_output = value("-o,--output", &output);
    if (allowed & kOptRows) o_rows = value("--rows", &rows);
    if (allowed & kOptColumns) o_columns = value("--columns", &columns);
    if (allowed & kOptWide) app.add_flag("--wide", opts->wide);
    if (allowed & kOptForce) app.add_flag("--force", opts->force);
    if (allowed & kOptNoNewline) app.add_flag("-n,--no-newline", opts->no_newline);
    if (allowed & kOptFrom) o_from = value("--from", &from);
    if (allowed & kOptTo) o_to = value("--to", &to);
    if (allowed & kOptSeparator) o_separator = value("-s,--separator", &separator);
    if (allowed & kOptImport) {
        app.add_flag("--ragged", opts->ragged);
        o_comment = value("--comment", &comment);
        o_encoding = value("--encoding", &encoding);
        app.add_flag("--lazy-quotes", opts->lazy_quotes);
        app.add_flag("--no-header", opts->no_header);
        o_names = value("--names", &names);
    }
    if (allowed & kOptForm) {
        app.add_flag("--csv", opts->csv);
        app.add_flag("--tsv", opts->tsv);
        app.add_flag("--stored", opts->stored);
    }
    if (allowed & kOptEdits) o_edits = value("--edits", &edits);
    if (allowed & kOptPrint) {
        app.add_flag("--print", opts->print);
        o_to = value("--to", &to);
    }

    std::vector<std::string> reversed(words.rbegin(), words.rend()); // CLI11 takes them so
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError &e) {
        std::string what = e.what();
        // "--output: 1 required TEXT missing": the option was given no value.
        size_t colon = what.find(':');
        if (what.find("required") != std::string::npos && colon != std::string::npos)
            *message = "option " + what.substr(0, colon) + " needs a value";
        else
            *message = what;
        return ParseResult::kUsageError;
    }
    for (const std::string &extra : app.remaining()) {
        *message = "unknown option " + extra + " (see tavlin " + c.name + " --help)";
        return ParseResult::kUsageError;
    }
    opts->args.insert(opts->args.end(), tail.begin(), tail.end());
    if (opts->help) return ParseResult::kHelp;

    auto given = [](const CLI::Option *o) { return o && o->count() > 0; };
    if (given(o_delimiter)) {
        if (!ParseDelimiter(delimiter, &opts->delimiter)) {
            *message = "the delimiter must be one character or 'tab', not '" + delimiter + "'";
            return ParseResult::kUsageError;
        }
        opts->delimiter_given = true;
    }
    if (given(o_header)) {
        if (!ParseInt32(header_lines, &opts->header_lines) || opts->header_lines < 0) {
            if (IsWholeNumber(header_lines) && header_lines[0] != '-')
                *message = "the header line count " + header_lines +
                           " is too large (at most 2147483647)";
            else
                *message = "the header line count must be a number 0 or above, not '" +
                           header_lines + "'";
            return ParseResult::kUsageError;
        }
        opts->header_lines_given = true;
    }
    if (given(o_mode)) {
        if (!ParseMode(mode, &opts->mode)) {
            *message = "the mode must be edit, preview or indexed, not '" + mode + "'";
            return ParseResult::kUsageError;
        }
        opts->mode_given = true;
    }
    opts->index_dir_given = given(o_index_dir);
    opts->index_dir = index_dir;
    opts->output_given = given(o_output);
    opts->output = output;
    opts->rows_given = given(o_rows);
    opts->rows = rows;
    opts->columns_given = given(o_columns);
    opts->columns = columns;
    if (given(o_from)) {
        if (from != "csv" && from != "tsv") {
            *message = "--from takes csv or tsv, not '" + from + "'";
            return ParseResult::kUsageError;
        }
        opts->from = from;
    }
    if (given(o_to)) {
        if (to != "csv" && to != "tsv" && to != "jsonl") {
            *message = "--to takes csv, tsv or jsonl, not '" + to + "'";
            return ParseResult::kUsageError;
        }
        opts->to = to;
        opts->to_given = true;
    }
    if (given(o_comment)) {
        if (comment.size() != 1 || comment[0] == '\n' || comment[0] == '\r') {
            *message = "--comment takes one character, not '" + comment + "'";
            return ParseResult::kUsageError;
        }
        opts->comment = comment[0];
        opts->comment_given = true;
    }
    if (given(o_encoding)) {
        std::string e;
        for (char ch : encoding) e += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        if (e == "utf-8" || e == "utf8") {
            opts->encoding = "utf-8";
        } else if (e == "latin1" || e == "latin-1" || e == "iso-8859-1" || e == "iso8859-1") {
            opts->encoding = "latin1";
        } else {
            *message = "--encoding takes utf-8 or latin1, not '" + encoding + "'";
            return ParseResult::kUsageError;
        }
    }
    if (given(o_separator)) {
        if (!ParseDelimiter(separator, &opts->separator) || opts->separator == '"' ||
            opts->separator == '\n' || opts->separator == '\r') {
            *message = "the separator must be one character other than a quote or a"
                       " line break, or 'tab', not '" + separator + "'";
            return ParseResult::kUsageError;
        }
        opts->separator_given = true;
    }

    opts->names_given = given(o_names);
    opts->names = names;
    opts->edits_given = given(o_edits);
    opts->edits = edits;
    if (opts->csv + opts->tsv + opts->stored > 1) {
        *message = "--csv, --tsv and --stored each name the file's form: give one";
        return ParseResult::kUsageError;
    }
    if (opts->tsv && opts->delimiter_given && opts->delimiter != '\t') {
        *message = "--tsv separates values by tabs; -d names another delimiter";
        return ParseResult::kUsageError;
    }
    if (opts->tsv) opts->delimiter = '\t';

    int n = static_cast<int>(opts->args.size());
    if (n < c.min_args || n > c.max_args) {
        *message = std::string("expected ") + c.synopsis + " (see tavlin " +
                   c.name + " --help)";
        return ParseResult::kUsageError;
    }
    if (opts->mode_given && opts->mode == 0 && !opts->index_dir_given) {
        *message = "--mode indexed needs --index-dir DIR";
        return ParseResult::kUsageError;
    }
    if (opts->to_given && (c.allowed & kOptPrint) && !opts->print) {
        *message = "--to is for the rows that --print writes";
        return ParseResult::kUsageError;
    }
    if (opts->index_dir_given && !(opts->mode_given && opts->mode == 0)) {
        *message = "--index-dir is only used with --mode indexed";
        return ParseResult::kUsageError;
    }
    return ParseResult::kRun;
}

std::string CommandHelp(const Command &c) {
    std::string text = std::string("usage: tavlin ") + c.name + " " + c.synopsis;
    text += "\n\n";
    text += c.summary;
    text += "\n";
    if (c.details && *c.details) {
        text += "\n";
        text += c.details;
    }
    text += "\ncommon options:\n"
            "  -d, --delimiter C      field delimiter of the table: one character, or\n"
            "                         'tab' (default ',')\n"
            "  -H, --header-lines N   lines at the top that are header lines (default 1)\n"
            "      --unique           the index file name also depends on -d and -H\n"
            "  -h, --help             this text\n";
    if (c.examples && *c.examples) {
        text += "\nexamples:\n";
        text += c.examples;
    }
    return text;
}

std::string IndexHelp(const Command *commands, int count) {
    std::string text =
        "usage: tavlin index prepare|drop FILE DIR [OPTIONS]\n\n"
        "Index files let any number of readers open a large table with --mode\n"
        "indexed, fetching any line from a read-only mapping.\n\nsubcommands:\n";
    for (int i = 0; i < count; ++i) {
        if (std::strncmp(commands[i].name, "index ", 6) != 0) continue;
        std::string line = std::string("  ") + commands[i].name + " " + commands[i].synopsis;
        if (line.size() < 30) line.resize(30, ' ');
        else line += "  ";
        text += line + commands[i].summary + "\n";
    }
    text += "\nRun 'tavlin index prepare --help' or 'tavlin index drop --help' for the\n"
            "options and examples of one.\n";
    return text;
}

std::string OverviewHelp(const Command *commands, int count) {
    std::string text =
        "usage: tavlin SUBCOMMAND [ARGS] [OPTIONS]\n\n"
        "Reads and edits delimited text tables through the tavlin32 library, and\n"
        "moves them in and out of CSV, TSV and JSON Lines.\n"
        "Rows and columns count from 0; a column is named by its name or by @N,\n"
        "its position. A table file is not CSV: see 'import' and 'export', and\n"
        "--csv and --tsv of the edits.\n\n"
        "subcommands:\n";
    for (int i = 0; i < count; ++i) {
        std::string line = std::string("  ") + commands[i].name;
        if (line.size() < 18) line.resize(18, ' ');
        else line += "  ";
        text += line + commands[i].summary + "\n";
    }
    text += "\n  help [SUBCOMMAND]   this text, or the help of one subcommand (the same as\n"
            "                      'tavlin SUBCOMMAND --help')\n";
    text += "\noptions:\n"
            "  -h, --help             this text\n"
            "  -V, --version          the version of tavlin\n"
            "\nRun 'tavlin SUBCOMMAND --help' for the options and examples of one\n"
            "subcommand. FILE may be '-' for standard input where a subcommand only\n"
            "reads (info, show, get, find, lines, export, and import's input).\n"
            "Edits lock the table while they load, change and save it (a lock file\n"
            "'.NAME.lock' beside it), so parallel edits of one table lose nothing.\n"
            "\nExit status: 0 on success, 1 when a file cannot be read or written or\n"
            "the library reports a failure, 2 for a usage error.\n";
    return text;
}

} // namespace tavlin
