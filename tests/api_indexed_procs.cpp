// Several processes on indexed tables at once: eight readers of one table
// all get its cells, two files whose paths differ only where one has '.' and the
// other a backslash are never read one for the other, and preparing, replacing
// and dropping an index while others open and read it harms no one.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "table.h"
#include "tavlin32.h"
#include "testsupport.h"

#ifdef _WIN32
#  include <windows.h>
#else
#  include <sys/wait.h>
#  include <unistd.h>
#endif

using tavltest::Prepare;
using tavltest::TempDir;
namespace fs = std::filesystem;

namespace {

// Cell values differ per file (tag), line and column, and vary in length;
// each holds the delimiter, so every read decodes its stored form.
std::string Value(char tag, int line, int column, bool stored = false) {
    return std::string(1, tag) + std::to_string(line) + (stored ? "\",\"" : ",") +
           std::to_string(column) + std::string(static_cast<size_t>((line * 7 + column) % 11), tag);
}

std::string TableText(char tag, int lines, int columns) {
    std::string text;
    for (int c = 0; c < columns; ++c) text += (c ? "," : "") + std::string("col") + std::to_string(c);
    text += "\r\n";
    for (int l = 0; l < lines; ++l) {
        for (int c = 0; c < columns; ++c) text += (c ? "," : "") + Value(tag, l, c, true);
        text += "\r\n";
    }
    return text;
}

struct Expected {
    std::string path, dir;
    char tag;
    int lines, columns;
};

// Opens the table; 0 when it opened with the expected shape.
int OpenIndexed(const Expected &e, TableHandle **h) {
    if (NewTable(h) != TBL_OK) return 1;
    int32_t columns = -1, lines = -1;
    if (OpenTable(e.path.c_str(), *h, OPEN_INDEXED, nullptr, nullptr, e.dir.c_str()) != TBL_OK)
        return 2;
    if (GetColumnCount(*h, &columns) != TBL_OK || columns != e.columns) return 3;
    if (GetLineCount(*h, &lines) != TBL_OK || lines != e.lines) return 4;
    return 0;
}

// Reads every cell, starting at line first and wrapping; counts mismatches.
int ReadAll(const Expected &e, TableHandle *h, int first) {
    int wrong = 0;
    char buf[64];
    for (int k = 0; k < e.lines; ++k) {
        int line = (first + k) % e.lines;
        for (int c = 0; c < e.columns; ++c) {
            int32_t n = 0;
            if (GetCellValByIndex(h, c, line, buf, &n, sizeof buf) != TBL_OK ||
                Value(e.tag, line, c) != buf)
                ++wrong;
        }
    }
    return wrong;
}

int CloseIndexed(TableHandle *h) {
    int rc = CloseTable(h);
    FreeTable(h);
    return rc;
}

// Opens, reads every cell and closes; 0 when all went right.
int ReadOnce(const Expected &e, int first) {
    TableHandle *h = nullptr;
    int status = OpenIndexed(e, &h);
    if (status == 0 && ReadAll(e, h, first) != 0) status = 6;
    if (CloseIndexed(h) != TBL_OK && status == 0) status = 7;
    return status;
}

#ifdef _WIN32
const bool kWindows = true;
#else
const bool kWindows = false;
#endif

// What a child process does. A reader opens its table before the start and
// reads it after; a preparer prepares without overwrite and a replacer with
// overwrite, `times` times, then each opens and reads; a reopener opens,
// reads and closes `times` times.
enum Role : char { kReader = 'r', kPreparer = 'p', kReopener = 'o', kReplacer = 'x' };

struct Job {
    Role role;
    Expected e;
    int first = 0, times = 1;
};

// Exit statuses besides 0 (all went right) and the failures 1 to 7 above.
const int kLost = 10;    // a preparer found the index already there, then read right
const int kRefused = 11; // Windows: a replacement refused while the index is mapped
// Windows: an open after a refused replacement removed the old index (Wine
// allows that removal while the index is mapped) finds none.
const int kGone = 12;
const int kPrepareFailed = 20;

int Work(const Job &j, TableHandle *h) {
    switch (j.role) {
    case kReader:
        return ReadAll(j.e, h, j.first) != 0 ? 6 : 0;
    case kPreparer:
    case kReplacer: {
        const int32_t overwrite = j.role == kReplacer;
        int outcome = 0;
        for (int t = 0; t < j.times; ++t) {
            int rc = Prepare(j.e.path, j.e.dir, ',', 1, overwrite);
            if (!overwrite && rc == TBL_ERR_INDEX_EXISTS) outcome = kLost;
            else if (overwrite && kWindows && (rc == TBL_ERR_INDEX_BUILD || rc == TBL_ERR_REMOVE))
                outcome = kRefused;
            else if (rc != TBL_OK) return kPrepareFailed;
        }
        int read = ReadOnce(j.e, j.first);
        if (read == 2 && kWindows) return kGone;
        return read != 0 ? read : outcome;
    }
    case kReopener:
        for (int t = 0; t < j.times; ++t) {
            int status = ReadOnce(j.e, j.first + t * 31);
            if (status == 2 && kWindows) return kGone;
            if (status) return status;
        }
        return 0;
    }
    return 99;
}

// A child's whole life; handshake tells the parent it is ready and waits
// for the start. Its exit status.
int ChildMain(const Job &j, const std::function<bool()> &handshake) {
    TableHandle *h = nullptr;
    int status = j.role == kReader ? OpenIndexed(j.e, &h) : 0;
    if (!handshake()) status = 5;
    if (status == 0) status = Work(j, h);
    if (j.role == kReader && CloseIndexed(h) != TBL_OK && status == 0) status = 7;
    return status;
}

// Runs each job in a child process. Once every child is ready, all start at
// once, and the parent runs `during` while they work. The exit status of
// each child, negative when it did not exit normally (a signal, or on
// Windows an exception code).
#ifndef _WIN32
std::vector<int> RunTogether(const std::vector<Job> &jobs, const std::function<void()> &during) {
    std::vector<int> statuses(jobs.size(), 99);
    int ready[2], go[2];
    if (pipe(ready) != 0 || pipe(go) != 0) {
        ADD_FAILURE() << "pipe";
        return statuses;
    }
    // Closed on every way out, so that a waiting child sees the end of the
    // pipe instead of waiting for ever.
    struct Fds {
        int *a, *b;
        ~Fds() {
            for (int fd : {a[0], a[1], b[0], b[1]}) close(fd);
        }
    } fds{ready, go};
    std::vector<pid_t> pids;
    for (const Job &j : jobs) {
        pid_t pid = fork();
        if (pid < 0) {
            ADD_FAILURE() << "fork";
            break;
        }
        if (pid == 0) {
            close(ready[0]);
            close(go[1]);
            int status = ChildMain(j, [&] {
                char byte = 0;
                return write(ready[1], "r", 1) == 1 && read(go[0], &byte, 1) == 1;
            });
            _exit(status); // no exit handlers: the scratch directory is the parent's
        }
        pids.push_back(pid);
    }
    char byte = 0;
    for (size_t i = 0; i < pids.size(); ++i) EXPECT_EQ(read(ready[0], &byte, 1), 1);
    for (size_t i = 0; i < pids.size(); ++i) EXPECT_EQ(write(go[1], "g", 1), 1);
    during();
    for (size_t i = 0; i < pids.size(); ++i) {
        int status = -1;
        EXPECT_EQ(waitpid(pids[i], &status, 0), pids[i]);
        statuses[i] = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }
    return statuses;
}

#else
// On Windows a child is this program started again with kChildJob in its
// environment: it does its job before main and exits, speaking to the
// parent over its standard input and output ('r' out, then 'g' in).
const char kChildJob[] = "TAVL_INDEXED_CHILD";

std::string JobText(const Job &j) {
    const Expected &e = j.e;
    return std::string(1, j.role) + "|" + e.path + "|" + e.dir + "|" + e.tag + "|" +
           std::to_string(e.lines) + "|" + std::to_string(e.columns) + "|" +
           std::to_string(j.first) + "|" + std::to_string(j.times);
}

struct ChildRunner {
    ChildRunner() {
        char text[2048];
        DWORD size = GetEnvironmentVariableA(kChildJob, text, sizeof text);
        if (size == 0) return;
        if (size >= sizeof text) std::_Exit(90);
        std::vector<std::string> f(1);
        for (const char *c = text; *c; ++c) {
            if (*c == '|') f.emplace_back();
            else f.back() += *c;
        }
        if (f.size() != 8 || f[0].size() != 1 || f[3].size() != 1) std::_Exit(91);
        Job j{static_cast<Role>(f[0][0]),
              {f[1], f[2], f[3][0], std::atoi(f[4].c_str()), std::atoi(f[5].c_str())},
              std::atoi(f[6].c_str()), std::atoi(f[7].c_str())};
        std::_Exit(ChildMain(j, [] {
            DWORD moved = 0;
            char byte = 0;
            return ::WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "r", 1, &moved, nullptr) &&
                   moved == 1 &&
                   ::ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &moved, nullptr) &&
                   moved == 1;
        })); // no exit handlers: the scratch directory is the parent's
    }
} child_runner;

struct Child {
    HANDLE process = nullptr, to = nullptr, from = nullptr;
    ~Child() {
        for (HANDLE h : {to, from})
            if (h) CloseHandle(h);
        if (process) {
            WaitForSingleObject(process, 60000);
            CloseHandle(process);
        }
    }
};

std::vector<int> RunTogether(const std::vector<Job> &jobs, const std::function<void()> &during) {
    std::vector<int> statuses(jobs.size(), 99);
    std::vector<Child> kids(jobs.size());
    char self[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    const std::string command = "\"" + std::string(self, n < sizeof self ? n : 0) + "\"";
    for (size_t i = 0; i < jobs.size(); ++i) {
        SetEnvironmentVariableA(kChildJob, JobText(jobs[i]).c_str());
        bool started = tavltest::StartPiped(command, &kids[i].process, &kids[i].to, &kids[i].from);
        SetEnvironmentVariableA(kChildJob, nullptr);
        if (!started) {
            ADD_FAILURE() << "child " << i << " did not start";
            return statuses;
        }
    }
    DWORD moved = 0;
    char byte = 0;
    for (Child &k : kids)
        EXPECT_TRUE(::ReadFile(k.from, &byte, 1, &moved, nullptr) && moved == 1 && byte == 'r');
    for (Child &k : kids) EXPECT_TRUE(::WriteFile(k.to, "g", 1, &moved, nullptr) && moved == 1);
    during();
    for (size_t i = 0; i < kids.size(); ++i) {
        DWORD code = 99;
        EXPECT_EQ(WaitForSingleObject(kids[i].process, 60000), WAIT_OBJECT_0) << "child " << i;
        EXPECT_TRUE(GetExitCodeProcess(kids[i].process, &code));
        statuses[i] = static_cast<int>(code); // exception codes are negative as int
    }
    return statuses;
}
#endif

// Readers of children, each from its own first line, with the parent
// reading parent alongside them; every one must read its table right.
void ReadTogether(const std::vector<Expected> &children, const Expected &parent) {
    std::vector<Job> jobs;
    for (size_t i = 0; i < children.size(); ++i)
        jobs.push_back({kReader, children[i], static_cast<int>(i) * 97});
    TableHandle *h = nullptr;
    EXPECT_EQ(OpenIndexed(parent, &h), 0);
    std::vector<int> statuses = RunTogether(jobs, [&] { EXPECT_EQ(ReadAll(parent, h, 13), 0); });
    EXPECT_EQ(CloseIndexed(h), TBL_OK);
    for (size_t i = 0; i < statuses.size(); ++i) EXPECT_EQ(statuses[i], 0) << "child " << i;
}

Expected Written(const std::string &name, const std::string &index_dir, char tag, int lines,
                 int columns) {
    Expected e{tavltest::WriteFile(name, TableText(tag, lines, columns)), TempDir() + "/" + index_dir,
               tag, lines, columns};
    fs::create_directories(e.dir);
    return e;
}

Expected Prepared(const std::string &name, const std::string &index_dir, char tag,
                  int lines, int columns) {
    Expected e = Written(name, index_dir, tag, lines, columns);
    EXPECT_EQ(Prepare(e.path, e.dir, ',', 1, 1), TBL_OK);
    return e;
}

// Eight processes (and this one) read one table at once.
TEST(IndexedProcesses, EightReadersOfOneTable) {
    Expected e = Prepared("shared.csv", "shared-idx", 's', 3000, 6);
    ReadTogether(std::vector<Expected>(8, e), e);
    EXPECT_EQ(PostCloseTable(e.path.c_str(), e.dir.c_str()), TBL_OK);
}

// Named after their paths with backslashes turned into '.', the two files
// below would share one mapping; each must still be read as itself, by two
// processes at once and by two handles of one process.
TEST(IndexedProcesses, PathsThatDifferOnlyInDotAndBackslash) {
    // On Windows the backslash separates, so the second file lies in dir/c.
    fs::create_directories(TempDir() + "/dir/c");
    Expected dot = Prepared("dir/c.d", "dot-idx", 'd', 400, 5);
    Expected slash = Prepared("dir/c\\d", "slash-idx", 'b', 30, 2);
    ASSERT_NE(dot.path, slash.path);
    ReadTogether({slash}, dot);
    ReadTogether({dot}, slash);

    TableHandle *a = nullptr, *b = nullptr;
    ASSERT_EQ(OpenIndexed(dot, &a), 0);
    ASSERT_EQ(OpenIndexed(slash, &b), 0);
    EXPECT_EQ(ReadAll(slash, b, 0), 0);
    EXPECT_EQ(ReadAll(dot, a, 0), 0);
    EXPECT_EQ(CloseIndexed(a), TBL_OK);
    EXPECT_EQ(CloseIndexed(b), TBL_OK);
}

} // namespace

// Processes that prepare, replace and drop an index while others open and
// read it, on a fresh data file each round. Every child exits normally and
// every open reads every cell right; of the preparations without overwrite
// of one round exactly one succeeds and the others find the index there; no
// temporary file is left. The figures of each row are printed.
TEST(IndexedProcesses, PrepareReplaceAndDropWhileOthersRead) {
    struct Row {
        const char *what;
        int rounds, preparers, replacers, reopeners, readers;
        bool drop; // the parent removes the index while the readers read
    } rows[] = {
        {"prepare without overwrite", 10, 4, 0, 0, 0, false},
        {"replace while others open and read", 3, 0, 2, 3, 0, false},
        {"drop while others read", 3, 0, 0, 0, 4, true},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        int crashed = 0, failed = 0, left = 0, won = 0, lost = 0, refused = 0, drops_refused = 0;
        for (int round = 0; round < r.rounds; ++round) {
            Expected e = Written("race" + std::to_string(&r - rows) + "_" + std::to_string(round) +
                                     ".csv",
                                 "race-idx", 'q', 10000, 6);
            if (!r.preparers) {
                ASSERT_EQ(Prepare(e.path, e.dir, ',', 1, 1), TBL_OK);
            }
            std::vector<Job> jobs;
            for (int i = 0; i < r.preparers; ++i) jobs.push_back({kPreparer, e, i * 97});
            for (int i = 0; i < r.replacers; ++i) jobs.push_back({kReplacer, e, 0, 5});
            for (int i = 0; i < r.reopeners; ++i) jobs.push_back({kReopener, e, i * 97, 5});
            for (int i = 0; i < r.readers; ++i) jobs.push_back({kReader, e, i * 97});
            int dropped = TBL_ERR_FAIL;
            std::vector<int> statuses = RunTogether(jobs, [&] {
                if (r.drop) dropped = PostCloseTable(e.path.c_str(), e.dir.c_str());
            });
            int round_won = 0;
            for (size_t i = 0; i < statuses.size(); ++i) {
                int s = statuses[i];
                crashed += s < 0;
                round_won += jobs[i].role == kPreparer && s == 0;
                lost += s == kLost;
                refused += s == kRefused;
                bool right = s == 0 || (jobs[i].role == kPreparer && s == kLost) ||
                             (jobs[i].role == kReplacer && s == kRefused) ||
                             (jobs[i].role != kPreparer && s == kGone);
                failed += !right && s >= 0;
                EXPECT_TRUE(right) << "round " << round << ", child " << i << ": status " << s;
            }
            won += round_won;
            if (r.preparers) {
                EXPECT_EQ(round_won, 1) << "round " << round;
            }
            for (const std::string &name : tavltest::Listing(e.dir)) left += name[0] == '.';
            // Windows may keep a mapped file from being removed: the drop then
            // fails as a whole and is done again once the readers are gone.
            if (kWindows && dropped == TBL_ERR_REMOVE) {
                ++drops_refused;
                dropped = PostCloseTable(e.path.c_str(), e.dir.c_str());
            }
            if (!r.drop) dropped = PostCloseTable(e.path.c_str(), e.dir.c_str());
            // Windows: a refused replacement may have removed the index.
            if (kWindows && r.replacers && dropped == TBL_ERR_REMOVE &&
                tavltest::Listing(e.dir).empty())
                dropped = TBL_OK;
            EXPECT_EQ(dropped, TBL_OK) << "round " << round;
            EXPECT_TRUE(tavltest::Listing(e.dir).empty()) << "round " << round;
        }
        EXPECT_EQ(left, 0);
        std::printf("[ figures  ] %s: %d rounds x %d processes, %d crashed, %d failed otherwise, "
                    "%d temporary files left, %d prepared, %d found it prepared, %d replacers "
                    "and %d drops refused\n",
                    r.what, r.rounds, r.preparers + r.replacers + r.reopeners + r.readers, crashed,
                    failed, left, won, lost, refused, drops_refused);
    }
}
