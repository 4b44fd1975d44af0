// tool.h - what the subcommands of tavlin share: how a failure is reported,
// how an input is opened (a file, or standard input for '-'), how a table is
// opened through the library, how a new file gets a name of its own, and how
// a new output file replaces an old one.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "options.h"
#include "table.h"

namespace tavlin {

const int kExitFailure = 1;
const int kExitUsage = 2;

// "tavlin CMD: NAME (code): sentence" on stderr; returns kExitFailure.
int Fail(const Options &o, int32_t code, const std::string &sentence);
// "tavlin CMD: sentence" on stderr: a failure the library did not report.
int Complain(const Options &o, const std::string &sentence);
// "tavlin CMD: sentence"; returns kExitUsage.
int UsageFail(const Options &o, const std::string &sentence);

// User text inside a message, on one line whatever it holds.
std::string Q(const std::string &text);
// How a path is shown in messages: quoted, or "standard input" for '-'.
std::string Shown(const std::string &path);
const std::string &FilePath(const Options &o);
std::string DelimiterText(char d);
bool IsStdin(const std::string &path);

// Refuses, in the words of a refused open, a delimiter the library refuses
// for an open (NUL, backslash, LF, CR and the quote), for the subcommands
// that read or write tables without it: false, with the exit status in
// *status, for such a delimiter.
bool DelimiterOrFail(const Options &o, int *status);

// Creates a new file in dir, named stem and a number that no other process
// of ours picks, and opens it for binary writing; *name receives its path.
// Null when none could be made, with errno telling why.
std::FILE *CreateUnique(const std::string &dir, const std::string &stem, std::string *name);

// An input for the subcommands that read a table through the library: a
// file as it is, or standard input copied into a temporary file (removed
// when the object goes), since the library opens tables by path.
class LibraryInput {
public:
    LibraryInput() = default;
    LibraryInput(const LibraryInput &) = delete;
    LibraryInput &operator=(const LibraryInput &) = delete;
    ~LibraryInput();
    // False, with a sentence, when standard input could not be copied.
    bool Prepare(const std::string &path, std::string *error);
    const std::string &path() const { return path_; }

private:
    std::string path_, temporary_;
};

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
    std::FILE *file() const { return file_; }

private:
    std::FILE *file_ = nullptr;
    bool owned_ = false;
};

// A file written whole or not at all: the bytes go to a new file beside the
// target, which replaces the target only on Commit. '-' writes to standard
// output instead.
class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;
    ~OutputFile();
    bool Open(const std::string &path, std::string *error);
    std::FILE *file() const { return file_; }
    bool Commit(std::string *error);

private:
    std::string target_, temporary_;
    std::FILE *file_ = nullptr;
};

// Opens the table for a subcommand; on failure prints the line and returns
// the exit status through *status. path is where the table really is (a
// copy of standard input for '-').
bool OpenOrFail(const Options &o, const std::string &path, int32_t mode, Table *table,
                int *status);
int SaveOrFail(const Options &o, TableHandle *h);
// Opens FILE (standard input for '-', copied into *input) in o.mode for a
// subcommand that only reads.
bool OpenForReading(const Options &o, LibraryInput *input, Table *table, int *status);

// The subcommands.
int RunInfo(const Options &o);
int RunShow(const Options &o);
int RunGet(const Options &o);
int RunFind(const Options &o);
int RunSet(const Options &o);
int RunAddRow(const Options &o);
int RunAddColumn(const Options &o);
int RunIndexPrepare(const Options &o);
int RunIndexDrop(const Options &o);
int RunLines(const Options &o);
int RunImport(const Options &o);
int RunExport(const Options &o);

} // namespace tavlin
