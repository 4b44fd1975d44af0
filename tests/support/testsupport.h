// Helpers shared by the test programs: scratch files, the allocation
// failure sweep over the pellus stand-in, and the public header's
// documentation blocks.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace tavltest {

// A fresh directory for this test process (removed at exit).
const std::string &TempDir();
// Writes bytes to name inside TempDir() (or to name itself when it is an
// absolute path) and returns the full path.
std::string WriteFile(const std::string &name, const std::string &bytes);
// Whole contents of a file ("" when it cannot be read).
std::string ReadFile(const std::string &path);
// An empty directory name inside TempDir() (emptied when it exists).
std::string FreshDir(const std::string &name);
// The names of the entries in dir, sorted.
std::vector<std::string> Listing(const std::string &dir);
// 32-bit words as an index file stores them (least significant byte first).
std::string Words(const std::vector<uint32_t> &words);

// Allocation failure sweep. A scenario does its setup, calls Arm(fail_at)
// right before the operation under test and Disarm() right after, checks
// the result, and cleans up. SweepAllocationFailures runs it once with
// fail_at 0 to count the allocations the operation makes, then once for
// each of them failing, and checks after every run that the pellus live
// block count is back where it started. Returns the failure points covered.
void Arm(long fail_at);
void Disarm();
long SweepAllocationFailures(const std::function<void(long fail_at)> &scenario);

// The documentation of the public header, read from the source tree: the
// functions it declares TAVL_API, in order, and for each the /*! ... */
// block standing right above its declaration whose title names it
// ("Name()"); functions without one have no entry in blocks. titled lists
// every name the block titles give, so stale names can be found.
struct HeaderDoc {
    std::vector<std::string> declared;
    std::map<std::string, std::string> blocks;
    std::vector<std::string> titled;
};
const HeaderDoc &PublicHeaderDoc();
// The TBL_* words of a text, each once.
std::set<std::string> CodeWords(const std::string &text);
// Whether the block of function documents the result rc: a negative rc
// must be named there; a result of 0 or more needs only the @return line.
bool Documents(const std::string &function, int32_t rc);
// A call of an exported function and the result it must give; its name
// starts with the function's name. cpp, when set, makes the same call
// through tavlin32.hpp and gives its result in the C call's terms (the
// code it reported, else its number).
struct ExpectedCall {
    const char *name;
    std::function<int32_t()> call;
    int32_t expect;
    std::function<int32_t()> cpp = nullptr;
};
// The function a call's name starts with: its first word.
std::string FunctionOf(const char *case_name);
// Makes each call, in order, and checks its result and that the function's
// block documents it; then its cpp form, which must give the same result,
// but for TBL_ERR_TRUNCATED: the C++ layer reads the whole value instead.
void ExpectDocumentedResults(const std::vector<ExpectedCall> &calls);

#ifdef _WIN32
// The directory of the running program, where the build also puts the
// DLLs and the other programs the tests start.
std::string ProgramDir();

// Starts command with pipes for its standard input and output (standard
// error is shared). On success *process, *to (its input) and *from (its
// output) are handles the caller closes; false when it could not start.
bool StartPiped(std::string command, void **process, void **to, void **from);

// Another process that opens the file at path (sharing reads only) and maps
// it read-only under the kernel object name name (unnamed when empty), and
// holds the file, the mapping and a view for as long as this object lives.
// ready() tells whether it got them. Windows only: it lets a test map files
// while another process holds a named section, or save over a file that
// another process has open and mapped.
class MappingHolder {
public:
    MappingHolder(const std::string &path, const std::string &name);
    ~MappingHolder();
    MappingHolder(const MappingHolder &) = delete;
    MappingHolder &operator=(const MappingHolder &) = delete;
    bool ready() const { return ready_; }

private:
    void *process_ = nullptr; // HANDLE
    void *input_ = nullptr;   // HANDLE: our end of its standard input
    bool ready_ = false;
};
#endif

} // namespace tavltest
