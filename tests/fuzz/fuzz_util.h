// fuzz_util.h - what every fuzz target needs around the library: a scratch
// directory, files written into it, and the checks that an input left
// nothing behind (no heap block of the host allocator, no file descriptor).
// A finding prints one line saying what broke and aborts, which libFuzzer
// reports with the input that caused it.
#pragma once

#include <pellus.h>

#include "table_probe.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace fuzzutil {

inline std::string &ScratchPath() {
    static std::string path;
    return path;
}

// Removes the files of a directory, then the directory (one level is all a
// target ever makes, plus one level of index directories).
inline void RemoveTree(const std::string &dir) {
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *e = readdir(d)) {
            std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            std::string path = dir + "/" + name;
            struct stat st;
            if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                RemoveTree(path);
            else
                unlink(path.c_str());
        }
        closedir(d);
    }
    rmdir(dir.c_str());
}

inline void RemoveScratch() {
    if (!ScratchPath().empty()) RemoveTree(ScratchPath());
}

// A directory of this process, removed when it exits.
inline const std::string &Scratch() {
    std::string &path = ScratchPath();
    if (path.empty()) {
        const char *base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/tavl-fuzz-XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (!mkdtemp(buf.data())) std::abort();
        path = buf.data();
        std::atexit(RemoveScratch);
    }
    return path;
}

inline std::string PathOf(const std::string &name) { return Scratch() + "/" + name; }

inline std::string Subdir(const std::string &name) {
    std::string dir = PathOf(name);
    mkdir(dir.c_str(), 0700);
    return dir;
}

inline std::string WriteFile(const std::string &name, const void *bytes, size_t size) {
    std::string path = PathOf(name);
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    if (size && std::fwrite(bytes, 1, size, f) != size) std::abort();
    std::fclose(f);
    return path;
}

inline std::string ReadFile(const std::string &path) {
    std::string out;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fclose(f);
    return out;
}

[[noreturn]] inline void Fail(const std::string &what) {
    std::fprintf(stderr, "\nFINDING: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

inline void Expect(const std::string &problem, const char *stage) {
    if (!problem.empty()) Fail(std::string(stage) + ": " + problem);
}

// A handle from NewTable, closed and given back however the check ends.
// Its close must give TBL_OK; where its open may have been a load that
// could not open its file (load_may_fail), TBL_ERR_CLOSE as well.
class Handle {
public:
    explicit Handle(bool load_may_fail = false) : load_may_fail_(load_may_fail) {
        if (NewTable(&t) != TBL_OK) Fail("NewTable failed");
    }
    ~Handle() {
        int32_t rc = CloseTable(t);
        if (rc != TBL_OK && !(load_may_fail_ && rc == TBL_ERR_CLOSE))
            Fail("CloseTable returned " + std::to_string(rc));
        FreeTable(t);
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;

    TableHandle *t = nullptr;

private:
    bool load_may_fail_;
};

// The lowest free descriptor: it rises when a call leaves a file open.
inline int LowestFreeDescriptor() {
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) close(fd);
    return fd;
}

// What the process holds before an input; checked again after it.
struct Held {
    long blocks = pellus_live_blocks();
    int descriptor = LowestFreeDescriptor();

    void ExpectSame(const char *target) const {
        long now = pellus_live_blocks();
        if (now != blocks)
            Fail(std::string(target) + ": " + std::to_string(now - blocks) +
                 " heap blocks of the host allocator still live after CloseTable and FreeTable");
        int fd = LowestFreeDescriptor();
        if (fd != descriptor)
            Fail(std::string(target) + ": a file descriptor was left open (lowest free " +
                 std::to_string(descriptor) + " -> " + std::to_string(fd) + ")");
    }
};

} // namespace fuzzutil

// What the table targets name unqualified, and the delimiters their first
// input byte chooses from.
namespace fuzztarget {
using fuzzutil::Expect;
using fuzzutil::Fail;
using fuzzutil::Handle;
using tavlprobe::Limits;
using tavlprobe::Snapshot;
constexpr char kDelimiters[] = {',', ';', '\t', '|'};
} // namespace fuzztarget
