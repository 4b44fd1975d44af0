// Several processes on indexed tables at once: eight readers of one table
// all get its cells, and two files whose paths differ only where one has '.' and the
// other a backslash are never read one for the other.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tavlin32.h"
#include "testsupport.h"

#ifdef _WIN32
#  include <windows.h>
#else
#  include <sys/wait.h>
#  include <unistd.h>
#endif

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

// Starts one child per reader. Every child opens its table and reports; once
// all have it open (and the parent has too), all read at once. Each child's
// exit status is 0 for a table opened and read without a wrong cell.
#ifndef _WIN32
void ReadTogether(const std::vector<Expected> &children, const Expected &parent) {
    int ready[2], go[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(go), 0);
    // Closed on every way out, so that a waiting child sees the end of the
    // pipe instead of waiting for ever.
    struct Fds {
        int *a, *b;
        ~Fds() {
            for (int fd : {a[0], a[1], b[0], b[1]}) close(fd);
        }
    } fds{ready, go};
    std::vector<pid_t> pids;
    for (size_t i = 0; i < children.size(); ++i) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(ready[0]);
            close(go[1]);
            TableHandle *h = nullptr;
            int status = OpenIndexed(children[i], &h);
            char byte = 0;
            if (write(ready[1], "r", 1) != 1 || read(go[0], &byte, 1) != 1) status = 5;
            if (status == 0 && ReadAll(children[i], h, static_cast<int>(i) * 97) != 0)
                status = 6;
            if (CloseIndexed(h) != TBL_OK && status == 0) status = 7;
            _exit(status); // no exit handlers: the scratch directory is the parent's
        }
        pids.push_back(pid);
    }
    TableHandle *h = nullptr;
    EXPECT_EQ(OpenIndexed(parent, &h), 0);
    for (size_t i = 0; i < children.size(); ++i) {
        char byte = 0;
        ASSERT_EQ(read(ready[0], &byte, 1), 1);
    }
    for (size_t i = 0; i < children.size(); ++i) ASSERT_EQ(write(go[1], "g", 1), 1);
    EXPECT_EQ(ReadAll(parent, h, 13), 0);
    EXPECT_EQ(CloseIndexed(h), TBL_OK);
    for (size_t i = 0; i < pids.size(); ++i) {
        int status = -1;
        ASSERT_EQ(waitpid(pids[i], &status, 0), pids[i]);
        EXPECT_TRUE(WIFEXITED(status)) << "child " << i;
        EXPECT_EQ(WEXITSTATUS(status), 0) << "child " << i;
    }
}

#else
// On Windows a child is this program started again with kChildJob in its
// environment: it does its reader's work before main and exits, speaking to
// the parent over its standard input and output ('r' out, then 'g' in).
const char kChildJob[] = "TAVL_INDEXED_READER";

std::string Job(const Expected &e, int first) {
    return e.path + "|" + e.dir + "|" + e.tag + "|" + std::to_string(e.lines) + "|" +
           std::to_string(e.columns) + "|" + std::to_string(first);
}

struct ChildReader {
    ChildReader() {
        char job[2048];
        DWORD size = GetEnvironmentVariableA(kChildJob, job, sizeof job);
        if (size == 0) return;
        if (size >= sizeof job) std::_Exit(8);
        std::vector<std::string> f(1);
        for (const char *c = job; *c; ++c) {
            if (*c == '|') f.emplace_back();
            else f.back() += *c;
        }
        if (f.size() != 6 || f[2].size() != 1) std::_Exit(9);
        Expected e{f[0], f[1], f[2][0], std::atoi(f[3].c_str()), std::atoi(f[4].c_str())};
        TableHandle *h = nullptr;
        int status = OpenIndexed(e, &h);
        DWORD moved = 0;
        char byte = 0;
        if (!::WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "r", 1, &moved, nullptr) || moved != 1 ||
            !::ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &moved, nullptr) || moved != 1)
            status = 5;
        if (status == 0 && ReadAll(e, h, std::atoi(f[5].c_str())) != 0) status = 6;
        if (CloseIndexed(h) != TBL_OK && status == 0) status = 7;
        std::_Exit(status); // no exit handlers: the scratch directory is the parent's
    }
} child_reader;

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

// Starts this program as a reader of e; false when it could not be started.
bool StartChild(const Expected &e, int first, Child *c) {
    char self[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    SetEnvironmentVariableA(kChildJob, Job(e, first).c_str());
    bool started = tavltest::StartPiped("\"" + std::string(self, n < sizeof self ? n : 0) + "\"",
                                        &c->process, &c->to, &c->from);
    SetEnvironmentVariableA(kChildJob, nullptr);
    return started;
}

void ReadTogether(const std::vector<Expected> &children, const Expected &parent) {
    std::vector<Child> kids(children.size());
    for (size_t i = 0; i < children.size(); ++i)
        ASSERT_TRUE(StartChild(children[i], static_cast<int>(i) * 97, &kids[i]));
    TableHandle *h = nullptr;
    EXPECT_EQ(OpenIndexed(parent, &h), 0);
    DWORD moved = 0;
    char byte = 0;
    for (Child &k : kids) {
        ASSERT_TRUE(::ReadFile(k.from, &byte, 1, &moved, nullptr) && moved == 1);
        EXPECT_EQ(byte, 'r');
    }
    for (Child &k : kids) ASSERT_TRUE(::WriteFile(k.to, "g", 1, &moved, nullptr) && moved == 1);
    EXPECT_EQ(ReadAll(parent, h, 13), 0);
    EXPECT_EQ(CloseIndexed(h), TBL_OK);
    for (size_t i = 0; i < kids.size(); ++i) {
        DWORD code = 99;
        ASSERT_EQ(WaitForSingleObject(kids[i].process, 60000), WAIT_OBJECT_0) << "child " << i;
        ASSERT_TRUE(GetExitCodeProcess(kids[i].process, &code));
        EXPECT_EQ(code, 0u) << "child " << i;
    }
}
#endif

Expected Prepared(const std::string &name, const std::string &index_dir, char tag,
                  int lines, int columns) {
    Expected e{tavltest::WriteFile(name, TableText(tag, lines, columns)), TempDir() + "/" + index_dir,
               tag, lines, columns};
    fs::create_directories(e.dir);
    char comma = ',';
    int32_t one = 1;
    EXPECT_EQ(PreOpenTable(e.path.c_str(), e.dir.c_str(), &comma, &one, 1), TBL_OK);
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
