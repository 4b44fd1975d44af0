// main.cpp - tavlin, a command-line host of the tavlin32 library: inspect a
// delimited table, read and write single cells, find rows, add rows and
// columns, prepare and drop index files, count lines, and move tables in and
// out of CSV, TSV and JSON Lines.
//
// This file holds the subcommand list with each subcommand's help text;
// commands.cpp has the subcommands that go through the library's handles,
// streaming.cpp those that read a table as a stream, tool.cpp what they
// share. A failure prints one line on stderr and exits with status 1; a
// command line that cannot be run exits with 2.
#include <climits>
#include <cstdio>
#include <string>

#if defined(_WIN32)
#  include <fcntl.h>
#  include <io.h>
#endif

#include "options.h"
#include "tavlin32.h"
#include "tool.h"

namespace tavlin {
namespace {

const char kModeHelp[] =
    "      --mode M           edit (default: whole file), preview (first 100\n"
    "                         lines, read only) or indexed (needs --index-dir)\n"
    "      --index-dir DIR    where 'tavlin index prepare' put the index\n";

const char kStdinHelp[] = "FILE may be '-' for standard input.\n";

// How a COLUMN argument is read, the same in every subcommand.
const char kColumnHelp[] =
    "COLUMN is a column's name or position: @N is the column at position N\n"
    "(from 0), whatever the names; a bare number N is the column named N where\n"
    "there is one (a name wins), else the column at position N.\n";

const std::string kInfoHelp = std::string(
    "Prints the columns, the number of data lines and header lines, the\n"
    "delimiter, and how each open mode counts the lines of FILE: an edit load\n"
    "skips empty lines and refuses a line that does not fit the first; the\n"
    "indexed view ends, without error, at the first line whose field count\n"
    "differs from the first line's (an empty line included); 'tavlin lines'\n"
    "counts the LF-ended lines before the first blank one. A column's head\n"
    "size is the length of its name as stored, plus one: the buffer a host\n"
    "needs to read the name with GetColAttrByIndex. ") + kStdinHelp +
    "\noptions:\n" + kModeHelp;

const char kInfoExamples[] =
    "  tavlin info data.tbl\n"
    "  tavlin info data.tbl --mode indexed --index-dir /var/cache/tables\n";

const std::string kShowHelp = std::string(
    "Prints the table aligned for a terminal. Control bytes, NUL and invalid\n"
    "UTF-8 are shown as escapes (\\n, \\t, \\0, \\xNN; a backslash as \\\\). Values\n"
    "are cut to the terminal width with an ellipsis, and at most 100 rows are\n"
    "shown, unless the options say otherwise. Rows are read and written as a\n"
    "stream: the column widths are measured on the first 1000 rows shown, and\n"
    "later rows are cut to them (or, with --wide, written whole). A line that\n"
    "does not load ends the output with its line number. ") + kStdinHelp +
    "\noptions:\n"
    "      --rows A:B         data rows A up to but not including B; A: runs to\n"
    "                         the end, :B starts at 0, A alone is one row\n"
    "      --columns C,...    only these columns (names or positions, as COLUMN\n"
    "                         is read by get), in this order\n"
    "      --wide             never cut values\n" + kModeHelp;

const char kShowExamples[] =
    "  tavlin show data.tbl --rows 100:120 --columns name,city\n"
    "  tavlin show data.tbl --columns @0,@3\n"
    "  tavlin show data.tbl --rows 0: --wide | less -S\n"
    "  tavlin import export.csv - | tavlin show -\n";

const std::string kGetHelp = std::string(
    "Prints the decoded value of one data cell, byte for byte, and a newline.\n") +
    kColumnHelp + kStdinHelp + "\noptions:\n"
    "  -n, --no-newline       no newline after the value\n" + kModeHelp;

const char kGetExamples[] =
    "  tavlin get data.tbl 0 name\n"
    "  tavlin get -n data.tbl 12 @3 > value.bin\n";

const std::string kFindHelp = std::string(
    "Prints the numbers of the data rows whose cell in COLUMN equals VALUE byte\n"
    "for byte, one a line, in file order; nothing when no row matches. With\n"
    "--print it writes the matching rows themselves instead, as 'tavlin export'\n"
    "writes a table: CSV (default) or TSV with the header lines first, or JSON\n"
    "Lines. Reads FILE as a stream.\n") + kColumnHelp + kStdinHelp + "\n"
    "options:\n"
    "      --print            write the matching rows, not their numbers\n"
    "      --to F             their format with --print: csv (default), tsv or jsonl\n";

const char kFindExamples[] =
    "  tavlin find data.tbl city Oslo\n"
    "  tavlin find data.tbl @2 '' | wc -l\n"
    "  tavlin find data.tbl city Oslo --print --to jsonl\n";

const char kEditHelp[] =
    "\nAn edit reads FILE as a stream and writes the new table whole or not at\n"
    "all: a failure leaves FILE as it was. FILE is locked for the edit (a lock\n"
    "file '.NAME.lock' beside it), so that parallel edits lose nothing.\n\n"
    "A file keeps its form. A table file (the default) is saved as SaveTable\n"
    "saves it: every line ended by CR LF, values in the table's stored form.\n"
    "--csv edits an RFC 4180 CSV file (-d names its separator) and --tsv a TSV\n"
    "file: the records the edit leaves alone are written byte for byte, with\n"
    "their own line ends, and a new value is quoted or escaped only where it\n"
    "must be. Where a set would write the table's escaped form (for a value\n"
    "holding the delimiter, a quote, a backslash or a line break) into a file\n"
    "that holds none yet, which CSV readers would then read otherwise, it\n"
    "refuses unless --csv or --stored says which form the file has. A file\n"
    "whose lines end with CR alone is refused ('tavlin import' reads it).\n\n"
    "options:\n"
    "  -o, --output PATH      write the table there instead of over FILE\n"
    "      --csv              FILE is CSV\n"
    "      --tsv              FILE is TSV\n"
    "      --stored           FILE is a table file, also where an escape is new\n";

const std::string kSetHelp = std::string(
    "Stores each VALUE (any bytes; a shell's $'a\\nb' gives a line break) in the\n"
    "data cell at ROW and COLUMN, and saves the table once.\n") + kColumnHelp +
    "A VALUE that starts with '-' goes after '--': tavlin set FILE 0 note -- -x\n" +
    kEditHelp +
    "      --edits EDITS      the cells from a file of lines ROW, COLUMN and VALUE,\n"
    "                         separated by tabs, with TSV's escapes (\\t, \\n, \\\\);\n"
    "                         '-' reads them from standard input\n";

const char kSetExamples[] =
    "  tavlin set data.tbl 3 city Bergen\n"
    "  tavlin set data.tbl 3 note $'two\\nlines' --output copy.tbl\n"
    "  tavlin set --csv seattle.csv 0 weather 'snow, heavy' 1 weather rain\n"
    "  printf '0\\tcity\\tOslo\\n7\\t@2\\tx\\n' | tavlin set data.tbl --edits -\n";

const std::string kAddRowHelp = std::string(
    "Appends a data row of empty cells, saves the table and prints the new\n"
    "row's index, once the new table is on the disk: a failed save prints\n"
    "nothing, and an index that cannot be written leaves the table as it was.\n") +
    kEditHelp;

const char kAddRowExamples[] =
    "  row=$(tavlin add-row data.tbl) && tavlin set data.tbl \"$row\" name Ada\n"
    "  tavlin add-row --csv people.csv\n";

// What a new column name may hold.
const char kNameHelp[] =
    "In a table file NAME goes into the first line as it stands, so it cannot\n"
    "hold the delimiter or a line break.\n";

const std::string kAddColumnHelp = std::string(
    "Appends a column named NAME, empty in every data row, saves the table and\n"
    "prints the new column's index, as add-row prints a row's.\n") + kNameHelp + kEditHelp;

const char kAddColumnExamples[] =
    "  tavlin add-column data.tbl population\n"
    "  tavlin add-column --csv people.csv 'born, place'\n";

const std::string kRenameHelp = std::string(
    "Gives the column COLUMN the name NAME and saves the table.\n") + kColumnHelp +
    kNameHelp + kEditHelp;

const char kRenameExamples[] =
    "  tavlin rename-column data.tbl city town\n"
    "  tavlin rename-column --csv passwd.csv @0 user\n";

const std::string kDeleteRowHelp = std::string(
    "Deletes data rows and saves the table. Each ROW is a row number N, or\n"
    "A:B for rows A up to but not including B (A: runs to the end, :B starts at\n"
    "0); rows are numbered as before the edit, and one past the table is\n"
    "refused.\n") + kEditHelp;

const char kDeleteRowExamples[] =
    "  tavlin delete-row data.tbl 3\n"
    "  tavlin delete-row --csv big.csv 0 10:20 1000:\n";

const std::string kDeleteColumnHelp = std::string(
    "Deletes columns and saves the table.\n") + kColumnHelp +
    "A table keeps at least one column.\n" + kEditHelp;

const char kDeleteColumnExamples[] =
    "  tavlin delete-column data.tbl note\n"
    "  tavlin delete-column --tsv data.tsv @1 @2\n";

const char kPrepareHelp[] =
    "Scans FILE once and writes its index file into DIR, so that FILE can be\n"
    "opened with --mode indexed --index-dir DIR by any number of readers. FILE\n"
    "must not change until the index is dropped. Give the same -d, -H and\n"
    "--unique as the readers will. Prints how many lines the index covers, and\n"
    "warns, naming the line and why, when the indexed view ends before the\n"
    "file's last non-empty line.\n\noptions:\n"
    "      --force            replace an index that is already there\n";

const char kPrepareExamples[] =
    "  tavlin index prepare data.tbl /var/cache/tables\n"
    "  tavlin index prepare data.tbl /var/cache/tables --force --unique -H 2\n";

const char kDropHelp[] =
    "Removes the index file of FILE from DIR, once no reader has FILE open.\n"
    "Give the -d, -H and --unique that the index was prepared with.\n";

const char kDropExamples[] = "  tavlin index drop data.tbl /var/cache/tables\n";

const char kLinesHelp[] =
    "Prints the number of non-blank lines of FILE before its first blank one\n"
    "(a last line without a line end is not counted), less its header lines\n"
    "(-H, 1 by default), as the library's GetNumberOfLinesEx counts them: the\n"
    "number is negative when FILE has fewer such lines. FILE may be '-' for\n"
    "standard input.\n";

const char kLinesExamples[] = "  tavlin lines data.tbl\n  tavlin lines data.tbl -H 0\n";

const char kImportHelp[] =
    "Writes the table file OUT from IN, which is RFC 4180 CSV (values holding\n"
    "the separator, a quote or a line break are quoted, a quote inside them is\n"
    "doubled; spaces are part of their values) or, with --from tsv, TSV (tab\n"
    "separated, a backslash, tab, LF and CR in a value written \\\\, \\t, \\n, \\r).\n"
    "The first record names the columns (unless --no-header or --names) and\n"
    "every record must have as many values (unless --ragged). A UTF-8 byte-order\n"
    "mark at the start of IN is dropped; UTF-16 is refused (convert it with\n"
    "iconv). Blank lines are skipped, except in a one-column table, which cannot\n"
    "hold an empty value. Lines end at LF, CR LF or a lone CR; messages number\n"
    "them so. Every value, any byte, reads back unchanged from the table, and\n"
    "'tavlin export' gives it back. IN may be '-' for standard input and OUT '-'\n"
    "for standard output. The first bad record stops the import with its line\n"
    "number, and OUT is left as it was. OUT is written through the library's\n"
    "file layer: a new file beside it, synced, then renamed over it (its mode\n"
    "and owner kept, a symbolic link followed); a device, a FIFO or standard\n"
    "output is written to as it is. Reads and writes as a stream.\n\n"
    "options:\n"
    "      --from F           csv (default) or tsv\n"
    "  -s, --separator C      the character between CSV values (default ',')\n"
    "      --force            replace OUT when it is an existing file\n"
    "      --ragged           records may differ in length: every line gets as\n"
    "                         many columns as the widest record (measured by a\n"
    "                         first pass), short ones padded with empty values;\n"
    "                         columns past the header are named by their\n"
    "                         position (from 0)\n"
    "      --lazy-quotes      CSV: a quote inside an unquoted value is a byte of\n"
    "                         it (37.8\"N), and so is one inside a quoted value\n"
    "                         that is not followed by the separator or a line end\n"
    "      --no-header        IN has no header record: the columns are named by\n"
    "                         their position (0, 1, ...)\n"
    "      --names A,B,...    IN has no header record: these name the columns\n"
    "      --comment C        skip the lines that start with the character C\n"
    "                         (outside quoted values)\n"
    "      --encoding E       utf-8 (default: bytes as they are) or latin1 (each\n"
    "                         byte read as ISO-8859-1 and stored as UTF-8)\n";

const char kImportExamples[] =
    "  tavlin import people.csv people.tbl\n"
    "  tavlin import --from tsv --comment '#' --ragged --names code,coordinates,tz\\\n"
    "      /usr/share/zoneinfo/zone1970.tab zones.tbl\n"
    "  tavlin import -s : --no-header /etc/passwd passwd.tbl\n"
    "  tavlin import -s ';' --from csv excel.csv table.csv -d '|'\n"
    "  tavlin import --ragged --comment '#' --encoding latin1 old.csv table.csv\n"
    "  mlr --icsv --otsv cat in.csv | tavlin import --from tsv - table.csv\n";

const char kExportHelp[] =
    "Writes the table FILE to OUT (standard output without OUT, or for '-') as\n"
    "RFC 4180 CSV with CR LF line ends (every line of the table a record),\n"
    "TSV (escapes as for import; LF line ends), or JSON Lines (one object per\n"
    "data row, keyed by the column names of line 0; LF line ends). In JSON, a\n"
    "byte that is not part of valid UTF-8 is written as the lone surrogate\n"
    "\\udcNN (NN the byte; Python reads it back with errors='surrogateescape').\n"
    "JSON keys are made distinct: a name seen before gets _2, _3, ... and an\n"
    "empty name its column's position from 1 (a note on stderr says which).\n"
    "Reads FILE as a stream by the rules of an edit load; a line that does not\n"
    "load stops the export with its line number. FILE may be '-'. OUT is\n"
    "written as import writes it; an existing file is replaced only with\n"
    "--force. Sorting, statistics and filters by expression are for other\n"
    "tools: tavlin export FILE | mlr --icsv --opprint sort -nr COLUMN, or\n"
    "sqlite3's .import (see docs/tool.md).\n\n"
    "options:\n"
    "      --to F             csv (default), tsv or jsonl\n"
    "      --columns C,...    only these columns (names or positions, as COLUMN\n"
    "                         is read by get), in this order\n"
    "  -s, --separator C      the character between CSV values (default ',')\n"
    "      --force            replace OUT when it is an existing file\n";

const char kExportExamples[] =
    "  tavlin export data.tbl > plain.csv\n"
    "  tavlin export data.tbl --columns name,@3 --to jsonl | jq .name\n"
    "  tavlin export data.tbl | sqlite3 db.sqlite '.import --csv /dev/stdin t'\n";

const Command kCommands[] = {
    {"info", "FILE", "columns, line counts by mode and delimiter of a table",
     kInfoHelp.c_str(), kInfoExamples, kOptMode, 1, 1, RunInfo},
    {"show", "FILE", "the table, aligned for a terminal", kShowHelp.c_str(),
     kShowExamples, kOptMode | kOptRows | kOptColumns | kOptWide, 1, 1, RunShow},
    {"get", "FILE ROW COLUMN", "the decoded value of one cell", kGetHelp.c_str(),
     kGetExamples, kOptMode | kOptNoNewline, 3, 3, RunGet},
    {"find", "FILE COLUMN VALUE", "the data rows whose cell equals a value",
     kFindHelp.c_str(), kFindExamples, kOptPrint, 3, 3, RunFind},
    {"set", "FILE ROW COLUMN VALUE [ROW COLUMN VALUE ...]",
     "store values in cells and save", kSetHelp.c_str(), kSetExamples,
     kOptOutput | kOptForm | kOptEdits, 1, INT_MAX, RunSet},
    {"add-row", "FILE", "append an empty data row and save", kAddRowHelp.c_str(),
     kAddRowExamples, kOptOutput | kOptForm, 1, 1, RunAddRow},
    {"add-column", "FILE NAME", "append an empty column and save",
     kAddColumnHelp.c_str(), kAddColumnExamples, kOptOutput | kOptForm, 2, 2, RunAddColumn},
    {"rename-column", "FILE COLUMN NAME", "rename a column and save", kRenameHelp.c_str(),
     kRenameExamples, kOptOutput | kOptForm, 3, 3, RunRenameColumn},
    {"delete-row", "FILE ROW...", "delete data rows and save", kDeleteRowHelp.c_str(),
     kDeleteRowExamples, kOptOutput | kOptForm, 2, INT_MAX, RunDeleteRow},
    {"delete-column", "FILE COLUMN...", "delete columns and save",
     kDeleteColumnHelp.c_str(), kDeleteColumnExamples, kOptOutput | kOptForm, 2, INT_MAX,
     RunDeleteColumn},
    {"index prepare", "FILE DIR", "write the index file that --mode indexed reads",
     kPrepareHelp, kPrepareExamples, kOptForce, 2, 2, RunIndexPrepare},
    {"index drop", "FILE DIR", "remove the index file again", kDropHelp, kDropExamples,
     0, 2, 2, RunIndexDrop},
    {"lines", "FILE", "count the non-blank lines of a file", kLinesHelp, kLinesExamples,
     0, 1, 1, RunLines},
    {"import", "IN OUT", "make a table file from CSV or TSV", kImportHelp,
     kImportExamples, kOptFrom | kOptSeparator | kOptForce | kOptImport, 2, 2, RunImport},
    {"export", "FILE [OUT]", "write a table as CSV, TSV or JSON Lines", kExportHelp,
     kExportExamples, kOptTo | kOptSeparator | kOptForce | kOptColumns, 1, 2, RunExport},
};
const int kCommandCount = static_cast<int>(sizeof kCommands / sizeof kCommands[0]);

} // namespace
} // namespace tavlin

int main(int argc, char **argv) {
    using namespace tavlin;
#if defined(_WIN32)
    // Values and tables pass byte for byte; no line-end translation.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stdin), _O_BINARY);
#endif
    Options opts;
    std::string message;
    switch (ParseCommandLine(argc, argv, kCommands, kCommandCount, &opts, &message)) {
    case ParseResult::kHelp:
        std::fputs(opts.command      ? CommandHelp(*opts.command).c_str()
                   : opts.index_help ? IndexHelp(kCommands, kCommandCount).c_str()
                                     : OverviewHelp(kCommands, kCommandCount).c_str(),
                   stdout);
        return std::fflush(stdout) == 0 ? 0 : kExitFailure;
    case ParseResult::kVersion:
        std::printf("tavlin %s\n", TAVLIN32_VERSION_STRING);
        return 0;
    case ParseResult::kUsageError:
        if (opts.command) return UsageFail(opts, message);
        std::fprintf(stderr, "tavlin: %s\n", message.c_str());
        return kExitUsage;
    case ParseResult::kRun:
        break;
    }
    int status = opts.command->run(opts);
    if (std::fflush(stdout) != 0 && status == 0)
        return Complain(opts, "the output could not be written");
    return status;
}
