// The platform file layer: a replacing save's new file has the target's
// permission bits (and, for root, its owner and group) from the moment it
// exists, while it is written; a failing writer or write leaves the old file
// and no other file, and each failure is told apart; files placed without
// replace refuse a taken name.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/tavlfile.h"
#include "testsupport.h"

#ifndef _WIN32
#  include <sys/stat.h>
#  include <unistd.h>
#endif

using tavltest::FreshDir;
using tavltest::Listing;
using tavltest::ReadFile;
using tavltest::WriteFile;

namespace {

// What the writer saw of the file it wrote into, and what it answers (0:
// done; anything else: it gives up).
struct Probe {
    int answer = 0;
    std::vector<std::string> seen_entries; // the directory while writing
#ifndef _WIN32
    struct stat seen {};
#endif
    std::string dir;
};

int WriteProbe(void *context, FileSink *sink) {
    Probe *p = static_cast<Probe *>(context);
#ifndef _WIN32
    fstat(sink->fd, &p->seen);
#endif
    p->seen_entries = Listing(p->dir);
    FileSinkPut(sink, "new\r\n", 5);
    return p->answer;
}

TEST(FileLayer, ReplacedFilesKeepTheirBitsFromTheStart) {
    struct Case {
        unsigned mode;
        unsigned owner; // taken as root only
        int answer;
        FileResult rc;
    } cases[] = {
        {0600, 0, 0, FILE_OK},
        {0640, 65534, 0, FILE_OK},
        {0604, 0, 1, FILE_WRITER_FAILED}, // the writer gives up: nothing changes
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mode);
        Probe p;
        p.dir = FreshDir("bits");
        std::string target = WriteFile("bits/t.csv", "old\r\n");
#ifndef _WIN32
        ASSERT_EQ(chmod(target.c_str(), c.mode), 0);
        bool root = geteuid() == 0;
        if (root) {
            ASSERT_EQ(chown(target.c_str(), c.owner, c.owner), 0);
        }
#endif
        p.answer = c.answer;
        EXPECT_EQ(FileReplace(target.c_str(), WriteProbe, &p), c.rc);
        EXPECT_EQ(ReadFile(target), c.rc == FILE_OK ? "new\r\n" : "old\r\n");
        EXPECT_EQ(Listing(p.dir), std::vector<std::string>{"t.csv"});
#ifndef _WIN32
        // While it was written the new file could be read by no one the
        // target does not let read it; afterwards the target is as it was.
        EXPECT_EQ(p.seen.st_mode & 07777, c.mode);
        struct stat after {};
        ASSERT_EQ(stat(target.c_str(), &after), 0);
        EXPECT_EQ(after.st_mode & 07777, c.mode);
        if (root) {
            EXPECT_EQ(p.seen.st_uid, c.owner);
            EXPECT_EQ(after.st_uid, c.owner);
            EXPECT_EQ(after.st_gid, c.owner);
        }
        // Where the system names a new file only once it is complete, no
        // entry of it is seen while it is written.
        for (const std::string &name : p.seen_entries)
            if (name != "t.csv") {
                struct stat st {};
                ASSERT_EQ(stat((p.dir + "/" + name).c_str(), &st), 0);
                EXPECT_EQ(st.st_mode & 07777 & ~c.mode, 0u) << name;
            }
#endif
    }
}

// Writes a text whose first byte, like an index file's counts, is known
// only at the end: a stand-in first, then the byte over it.
int WriteFirstLast(void *context, FileSink *sink) {
    const char *text = static_cast<const char *>(context);
    FileSinkPut(sink, "#", 1);
    FileSinkPut(sink, text + 1, strlen(text) - 1);
    FileSinkPutAt(sink, 0, text, 1);
    return 0;
}

TEST(FileLayer, PlacingWithoutReplaceRefusesATakenName) {
    std::string dir = FreshDir("place");
    std::string name = dir + "/p.idx";
    struct Step { const char *bytes; int replace; FileResult rc; const char *after; } steps[] = {
        {"one", 0, FILE_OK, "one"},
        {"two", 0, FILE_EXISTS, "one"},
        {"three", 1, FILE_OK, "three"},
    };
    for (const Step &s : steps) {
        EXPECT_EQ(FilePlace(name.c_str(), WriteFirstLast, const_cast<char *>(s.bytes), s.replace),
                  s.rc);
        EXPECT_EQ(ReadFile(name), s.after);
        EXPECT_EQ(Listing(dir), std::vector<std::string>{"p.idx"});
    }
}

// Why a file could not be written is told apart, and nothing is left of it.
TEST(FileLayer, FailuresSayWhatHappened) {
    std::string dir = FreshDir("fail");
    WriteFile("fail/t.csv", "old\r\n");
    struct Case {
        const char *what;
        std::string path;
        int answer;
        FileResult rc;
        FileResult checked; // what FileReplaceCheck foresees
        int in_folder;
    } cases[] = {
        {"an empty path", "", 0, FILE_NOT_FOUND, FILE_NOT_FOUND, 0},
        {"a missing directory", dir + "/none/t.csv", 0, FILE_CANNOT_CREATE, FILE_NOT_FOUND, 1},
#ifndef _WIN32
        {"links in a loop", dir + "/loop", 0, FILE_NOT_FOUND, FILE_NOT_FOUND, 0},
        {"a file for a folder", dir + "/t.csv/x", 0, FILE_NOT_FOUND, FILE_NOT_REGULAR, 1},
        {"a folder at the path", dir, 0, FILE_CANNOT_OPEN, FILE_NOT_REGULAR, 0},
        // A device is written in place; every write to this one fails. A
        // failed write counts before the writer's giving up.
        {"a failed write", "/dev/full", 0, FILE_IO, FILE_OK, 0},
        {"a failed write, then the writer gives up", "/dev/full", 1, FILE_IO, FILE_OK, 0},
#endif
    };
#ifndef _WIN32
    ASSERT_EQ(symlink("loop", (dir + "/loop").c_str()), 0);
#endif
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Probe p;
        p.dir = dir;
        p.answer = c.answer;
        FileCheck check;
        FileReplaceCheck(c.path.c_str(), &check);
        EXPECT_EQ(check.result, c.checked);
        EXPECT_EQ(check.in_folder, c.in_folder);
        EXPECT_EQ(check.error != 0, c.checked != FILE_OK);
        EXPECT_EQ(FileReplace(c.path.c_str(), WriteProbe, &p), c.rc);
    }
    EXPECT_EQ(FilePlace((dir + "/none/p.idx").c_str(), WriteFirstLast, const_cast<char *>("xy"), 0),
              FILE_CANNOT_CREATE);
    EXPECT_EQ(ReadFile(dir + "/t.csv"), "old\r\n");
#ifndef _WIN32
    EXPECT_EQ(Listing(dir), (std::vector<std::string>{"loop", "t.csv"}));
#else
    EXPECT_EQ(Listing(dir), std::vector<std::string>{"t.csv"});
#endif
}

} // namespace
