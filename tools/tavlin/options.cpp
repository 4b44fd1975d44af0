// options.cpp - parses tavlin's command line into an Options record.
//
// Options may stand before, between or after the positional arguments;
// "--" ends them. Long options take their value as "--opt VALUE" or
// "--opt=VALUE", short ones as "-d VALUE" or "-dVALUE". A negative number
// ("-1") is a positional argument, not an option, so a row can be given as
// -1 and refused by the library with its own code.
#include "options.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

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

bool ParseInt32(const std::string &text, int32_t *out) {
    if (text.empty() || !LooksLikeNumber(text.c_str())) return false;
    errno = 0;
    char *end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno || *end || v < INT32_MIN || v > INT32_MAX) return false;
    *out = static_cast<int32_t>(v);
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
    if (first == "--version") return ParseResult::kVersion;
    if (first == "help") {
        if (i + 1 < argc) {
            std::string name = argv[i + 1];
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
                             std::strcmp(argv[i], "-h") == 0))
                return ParseResult::kHelp;
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
    const unsigned allowed = opts->command->allowed;

    bool only_positionals = false;
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        if (only_positionals || arg.size() < 2 || arg[0] != '-' ||
            LooksLikeNumber(arg.c_str())) {
            opts->args.push_back(arg);
            continue;
        }
        if (arg == "--") {
            only_positionals = true;
            continue;
        }

        // Split into a key and, when attached, its value.
        std::string key, value;
        bool attached = false;
        if (arg[1] == '-') {
            size_t eq = arg.find('=');
            key = arg.substr(0, eq);
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                attached = true;
            }
        } else {
            key = arg.substr(0, 2);
            if (arg.size() > 2) {
                value = arg.substr(2);
                attached = true;
            }
        }

        // Options that take no value.
        struct Flag { const char *key; unsigned bit; bool Options::*field; };
        static const Flag flags[] = {
            {"--help", 0, &Options::help},   {"-h", 0, &Options::help},
            {"--unique", 0, &Options::unique},
            {"--wide", kOptWide, &Options::wide},
            {"--force", kOptForce, &Options::force},
            {"--no-newline", kOptNoNewline, &Options::no_newline},
            {"-n", kOptNoNewline, &Options::no_newline},
        };
        bool matched = false;
        for (const Flag &f : flags) {
            if (key != f.key) continue;
            if (f.bit && !(allowed & f.bit)) break;
            if (attached) {
                *message = "option " + key + " takes no value";
                return ParseResult::kUsageError;
            }
            opts->*(f.field) = true;
            matched = true;
        }
        if (matched) continue;

        // Options that take a value.
        struct Valued { const char *long_key; const char *short_key; unsigned bit; };
        static const Valued valued[] = {
            {"--delimiter", "-d", 0}, {"--header-lines", "-H", 0},
            {"--mode", nullptr, kOptMode}, {"--index-dir", nullptr, kOptMode},
            {"--output", "-o", kOptOutput}, {"--rows", nullptr, kOptRows},
            {"--columns", nullptr, kOptColumns},
        };
        const Valued *which = nullptr;
        for (const Valued &v : valued)
            if (key == v.long_key || (v.short_key && key == v.short_key)) which = &v;
        if (!which || (which->bit && !(allowed & which->bit))) {
            *message = "unknown option " + key + " (see tavlin " +
                       opts->command->name + " --help)";
            return ParseResult::kUsageError;
        }
        if (!attached) {
            if (i + 1 >= argc) {
                *message = "option " + key + " needs a value";
                return ParseResult::kUsageError;
            }
            value = argv[++i];
        }

        std::string long_key = which->long_key;
        if (long_key == "--delimiter") {
            if (!ParseDelimiter(value, &opts->delimiter)) {
                *message = "the delimiter must be one character or 'tab', not '" +
                           value + "'";
                return ParseResult::kUsageError;
            }
            opts->delimiter_given = true;
        } else if (long_key == "--header-lines") {
            if (!ParseInt32(value, &opts->header_lines) || opts->header_lines < 0) {
                *message = "the header line count must be a number 0 or above, not '" +
                           value + "'";
                return ParseResult::kUsageError;
            }
            opts->header_lines_given = true;
        } else if (long_key == "--mode") {
            if (!ParseMode(value, &opts->mode)) {
                *message = "the mode must be edit, preview or indexed, not '" +
                           value + "'";
                return ParseResult::kUsageError;
            }
            opts->mode_given = true;
        } else if (long_key == "--index-dir") {
            opts->index_dir = value;
            opts->index_dir_given = true;
        } else if (long_key == "--output") {
            opts->output = value;
            opts->output_given = true;
        } else if (long_key == "--rows") {
            opts->rows = value;
            opts->rows_given = true;
        } else if (long_key == "--columns") {
            opts->columns = value;
            opts->columns_given = true;
        }
    }

    if (opts->help) return ParseResult::kHelp;

    const Command &c = *opts->command;
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
            "  -d, --delimiter C      field delimiter: one character, or 'tab' (default ',')\n"
            "  -H, --header-lines N   lines at the top that are header lines (default 1)\n"
            "      --unique           the index file name also depends on -d and -H\n"
            "  -h, --help             this text\n";
    return text;
}

std::string OverviewHelp(const Command *commands, int count) {
    std::string text =
        "usage: tavlin SUBCOMMAND [ARGS] [OPTIONS]\n\n"
        "Reads and edits delimited text tables through the tavlin32 library.\n"
        "Rows and columns count from 0; a column is named by its name or index.\n\n"
        "subcommands:\n";
    for (int i = 0; i < count; ++i) {
        std::string line = std::string("  ") + commands[i].name;
        if (line.size() < 18) line.resize(18, ' ');
        else line += "  ";
        text += line + commands[i].summary + "\n";
    }
    text += "\nRun 'tavlin SUBCOMMAND --help' for the options of one subcommand.\n"
            "Exit status: 0 on success, 1 when the library reports a failure,\n"
            "2 for a usage error.\n";
    return text;
}

} // namespace tavlin
