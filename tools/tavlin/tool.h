// tool.h - what the subcommands of tavlin share: how a failure is reported,
// how an input is opened (a file, or standard input for '-'), how a table is
// opened through the library, and how an output file is written (through
// the library's file layer, which puts a new file in place whole or not at
// all).
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "interop.h"
#include "options.h"
#include "table.h"

namespace tavlin {

const int kExitFailure = 1;
const int kExitUsage = 2;

// "tavlin CMD: NAME (code): sentence" on stderr; returns kExitFailure.
int Fail(const Options &o, int32_t code, const std::string &sentence);
// "tavlin CMD: sentence" on stderr: a failure the library did not report.
int Complain(const Options &o, const std::string &sentence);
// The warning, on stderr, for a file whose lines end with CR alone.
void WarnCrAlone(const Options &o);
// "tavlin CMD: sentence"; returns kExitUsage.
int UsageFail(const Options &o, const std::string &sentence);

// User text inside a message, on one line whatever it holds.
std::string Q(const std::string &text);
// How a path is shown in messages: quoted, or "standard input" for '-'.
std::string Shown(const std::string &path);
const std::string &FilePath(const Options &o);
std::string DelimiterText(char d);
bool IsStdin(const std::string &path);

// Refuses a delimiter the library refuses for an open (NUL, backslash,
// LF, CR and the quote): a usage error, false with the exit status in
// *status.
bool DelimiterOrFail(const Options &o, int *status);

// Whether something that may be a file is at path: false, with the
// failure reported and the exit status in *status, when nothing is there
// (or a symbolic link that leads nowhere), a folder is, or the system
// cannot follow the name (its reason given).
bool ReachableFile(const Options &o, const std::string &path, int *status);

// What is at a path, for messages: "a folder", "a device", ... or empty
// for a regular file or nothing.
std::string KindOfNonFile(const std::string &path);

// An input read as a stream: the file, or standard input for '-'.
class StreamInput {
public:
    StreamInput() = default;
    StreamInput(const StreamInput &) = delete;
    StreamInput &operator=(const StreamInput &) = delete;
    ~StreamInput();
    // Opens path; on failure reports it for o and returns false with the
    // exit status in *status.
    bool Open(const Options &o, const std::string &path, int *status);
    // Closes the input (standard input stays open): a file open here could
    // keep a save on Windows from replacing it.
    void Close();
    // Makes the input readable more than once: standard input is first
    // copied into an unnamed temporary file, read from there. False when
    // it cannot.
    bool Replayable();
    // Makes the input readable again from its start; false when it cannot
    // (standard input that was not made replayable).
    bool Rewind();
    std::FILE *file() const { return file_; }

private:
    std::FILE *file_ = nullptr;
    bool owned_ = false;
};

// Writes an output: body puts its bytes into the sink and returns 0, or
// an exit status after it reported a failure of its own (then nothing
// replaces the target). '-', and any name of the file standard output
// writes to, go to standard output; every other target goes through the
// library's file layer: a regular file is replaced whole or not at all
// (mode and owner kept, symbolic links followed), and a target that is not
// a regular file (a device, a FIFO) is written in place. what names the
// output in messages. Returns the exit status.
int WriteOutput(const Options &o, const std::string &target,
                const std::function<int(ByteSink *)> &body);

// The refusal of a target that exists as a regular file, unless --force:
// true (nothing to refuse) or false with the exit status in *status.
bool MayReplace(const Options &o, const std::string &target, int *status);

// Opens the table for a subcommand; on failure prints the line and returns
// the exit status through *status.
bool OpenOrFail(const Options &o, const std::string &path, int32_t mode, Table *table,
                int *status);
// Opens FILE --mode indexed through the library, which maps it read-only;
// standard input is a usage error.
bool OpenIndexed(const Options &o, Table *table, int *status);
// ROW of a command: a whole number of any size (one beyond every row is
// then refused with the table's counts, as a row past the end); anything
// else is a usage error, reported, with the exit status in *status.
bool ParseRow(const Options &o, const std::string &text, int64_t *row, int *status);

// What info says of a table read as a stream.
struct InfoFacts {
    std::vector<std::string> names; // stored form
    int64_t data_lines = 0;         // negative when fewer lines than header lines
};
// get and info without an index, read as a stream (streaming.cpp).
int GetStreamed(const Options &o, int64_t row);
int InfoStreamed(const Options &o, InfoFacts *facts, StreamInput *input);

// The subcommands.
int RunInfo(const Options &o);
int RunShow(const Options &o);
int RunGet(const Options &o);
int RunFind(const Options &o);
int RunSet(const Options &o);
int RunAddRow(const Options &o);
int RunAddColumn(const Options &o);
int RunRenameColumn(const Options &o);
int RunDeleteRow(const Options &o);
int RunDeleteColumn(const Options &o);
int RunIndexPrepare(const Options &o);
int RunIndexDrop(const Options &o);
int RunLines(const Options &o);
int RunImport(const Options &o);
int RunExport(const Options &o);

} // namespace tavlin
