// Several processes on indexed tables at once: readers of one table all get
// its cells, and two files whose paths differ only where one has '.' and the
// other a backslash are never read one for the other.
#include <gtest/gtest.h>

#ifndef _WIN32

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tavlin32.h"
#include "testsupport.h"

using tavltest::TempDir;
using tavltest::WriteFile;
namespace fs = std::filesystem;

namespace {

// Cell values differ per file (tag), line and column, and vary in length.
std::string Value(char tag, int line, int column) {
    return std::string(1, tag) + std::to_string(line) + "." + std::to_string(column) +
           std::string(static_cast<size_t>((line * 7 + column) % 11), tag);
}

std::string TableText(char tag, int lines, int columns) {
    std::string text;
    for (int c = 0; c < columns; ++c) text += (c ? "," : "") + std::string("col") + std::to_string(c);
    text += "\r\n";
    for (int l = 0; l < lines; ++l) {
        for (int c = 0; c < columns; ++c) text += (c ? "," : "") + Value(tag, l, c);
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

// Forks one child per reader. Every child opens its table and reports; once
// all have it open (and the parent has too), all read at once. Each child's
// exit status is 0 for a table opened and read without a wrong cell.
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

Expected Prepared(const std::string &name, const std::string &index_dir, char tag,
                  int lines, int columns) {
    Expected e{WriteFile(name, TableText(tag, lines, columns)), TempDir() + "/" + index_dir,
               tag, lines, columns};
    fs::create_directories(e.dir);
    char comma = ',';
    int32_t one = 1;
    EXPECT_EQ(PreOpenTable(e.path.c_str(), e.dir.c_str(), &comma, &one, 1), TBL_OK);
    return e;
}

TEST(IndexedProcesses, SeveralReadersOfOneTable) {
    Expected e = Prepared("shared.csv", "shared-idx", 's', 3000, 6);
    ReadTogether({e, e, e, e}, e);
    EXPECT_EQ(PostCloseTable(e.path.c_str(), e.dir.c_str()), TBL_OK);
}

// Named after their paths with backslashes turned into '.', the two files
// below would share one mapping; each must still be read as itself, by two
// processes at once and by two handles of one process.
TEST(IndexedProcesses, PathsThatDifferOnlyInDotAndBackslash) {
    fs::create_directories(TempDir() + "/dir");
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

#endif // _WIN32
