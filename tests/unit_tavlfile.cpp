// The platform file layer: a replacing save's new file has the target's
// permission bits (and, for root, its owner and group) from the moment it
// exists, while it is written; a failing writer leaves the old file and no
// other file; files placed without replace refuse a taken name.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/tavlfile.h"
#include "tavlin32.h"
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

// What the writer saw of the file it wrote into, and what it answers.
struct Probe {
    int answer = TBL_OK;
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
    } cases[] = {
        {0600, 0, TBL_OK},
        {0640, 65534, TBL_OK},
        {0604, 0, TBL_ERR_SAVE_ROW}, // the writer gives up: nothing changes
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
        EXPECT_EQ(FileReplace(target.c_str(), WriteProbe, &p), c.answer);
        EXPECT_EQ(ReadFile(target), c.answer == TBL_OK ? "new\r\n" : "old\r\n");
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

TEST(FileLayer, PlacingWithoutReplaceRefusesATakenName) {
    std::string dir = FreshDir("place");
    std::string name = dir + "/p.idx";
    struct Step { const char *bytes; int replace, rc; const char *after; } steps[] = {
        {"one", 0, TBL_OK, "one"},
        {"two", 0, TBL_ERR_INDEX_EXISTS, "one"},
        {"three", 1, TBL_OK, "three"},
    };
    for (const Step &s : steps) {
        EXPECT_EQ(FilePlace(name.c_str(), s.bytes, strlen(s.bytes), s.replace), s.rc);
        EXPECT_EQ(ReadFile(name), s.after);
        EXPECT_EQ(Listing(dir), std::vector<std::string>{"p.idx"});
    }
}

} // namespace
