// Concurrent use: handles share nothing, so eight threads, each with handles
// of its own on the same files (loaded and indexed), read and write in
// memory at once and each sees exactly its own table. (Eight processes on
// one indexed table are in api_indexed_procs.cpp.) Also run under
// ThreadSanitizer by scripts/check-hardening.sh.
#include <gtest/gtest.h>
#include <pellus.h>
#include <tavlin32.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "testsupport.h"

namespace {

using tavltest::ReadFile;
using tavltest::TempDir;
using tavltest::WriteFile;

constexpr int32_t kColumns = 5;
const char *const kNames[kColumns] = {"key", "pair", "path", "note", "num"};

// The value of cell (column, row) and its stored form: a delimiter, a
// backslash and a line break among them, so the codec works on every read.
std::string Value(int32_t c, int32_t r) {
    std::string n = std::to_string(r);
    switch (c) {
    case 0: return "r" + n;
    case 1: return "a," + n;
    case 2: return "back\\" + n;
    case 3: return "line\n" + n;
    default: return std::to_string(r * 7);
    }
}

std::string Stored(int32_t c, int32_t r) {
    std::string n = std::to_string(r);
    switch (c) {
    case 0: return "r" + n;
    case 1: return "a\",\"" + n;
    case 2: return "back\\\\" + n;
    case 3: return "line\\x0a" + n;
    default: return std::to_string(r * 7);
    }
}

std::string TableText(int32_t rows) {
    std::string text;
    for (int32_t c = 0; c < kColumns; ++c) text += std::string(c ? "," : "") + kNames[c];
    text += "\r\n";
    for (int32_t r = 0; r < rows; ++r) {
        for (int32_t c = 0; c < kColumns; ++c) text += (c ? "," : "") + Stored(c, r);
        text += "\r\n";
    }
    return text;
}

std::string Read(TableHandle *t, int32_t c, int32_t l, int32_t *rc) {
    char small[64];
    int32_t size = 0;
    *rc = GetCellValByIndex(t, c, l, small, &size, sizeof small);
    if (*rc == TBL_OK) return std::string(small, static_cast<size_t>(size - 1));
    if (*rc != TBL_ERR_TRUNCATED) return std::string();
    std::vector<char> big(static_cast<size_t>(size));
    *rc = GetCellValByIndex(t, c, l, big.data(), &size, size);
    return std::string(big.data(), static_cast<size_t>(size > 0 ? size - 1 : 0));
}

// Collects what went wrong in one thread or process.
struct Problems {
    std::vector<std::string> list;
    void Check(bool ok, const std::string &what) {
        if (!ok && list.size() < 20) list.push_back(what);
    }
    void Cell(TableHandle *t, int32_t c, int32_t l, const std::string &expect, const std::string &where) {
        int32_t rc = 0;
        std::string got = Read(t, c, l, &rc);
        Check(rc == TBL_OK && got == expect,
              where + ": cell (" + std::to_string(c) + ", " + std::to_string(l) + ") read \"" + got + "\" (" +
                  std::to_string(rc) + ")");
    }
};

// Releases all waiting threads at once.
class StartLine {
public:
    explicit StartLine(int n) : waiting_(n) {}
    void Arrive() {
        std::unique_lock<std::mutex> lock(m_);
        if (--waiting_ == 0) cv_.notify_all();
        cv_.wait(lock, [&] { return waiting_ <= 0; });
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    int waiting_;
};

constexpr int32_t kLoadedRows = 300;
constexpr int32_t kIndexedRows = 5000;

void Worker(int id, const std::string &loaded, const std::string &indexed, const std::string &shared_idx,
            StartLine *start, Problems *p) {
    std::mt19937 rng(static_cast<unsigned>(id) * 7919u + 1u);
    auto pick = [&](int32_t n) { return static_cast<int32_t>(rng() % static_cast<unsigned>(n)); };
    const std::string tag = "t" + std::to_string(id);
    start->Arrive();

    for (int round = 0; round < 20; ++round) {
        // A loaded table of its own: reads, writes, a new row and column,
        // a save of its own, and the saved file read back.
        TableHandle *e = nullptr;
        p->Check(NewTable(&e) == TBL_OK, "NewTable");
        p->Check(OpenTable(loaded.c_str(), e, OPEN_EDIT, nullptr, nullptr, nullptr) == TBL_OK, "open edit");
        std::map<std::pair<int32_t, int32_t>, std::string> mine;
        for (int i = 0; i < 150; ++i) {
            int32_t c = pick(kColumns), l = pick(kLoadedRows);
            std::string v = tag + ",\\" + std::string(1, '\0') + "\n" + std::to_string(i);
            p->Check(SetCellValByIndex(e, c, l, v.data(), static_cast<int32_t>(v.size())) == TBL_OK, "write");
            mine[{c, l}] = v;
        }
        for (int i = 0; i < 300; ++i) {
            int32_t c = pick(kColumns), l = pick(kLoadedRows);
            auto it = mine.find({c, l});
            p->Cell(e, c, l, it != mine.end() ? it->second : Value(c, l), tag + " edit");
        }
        p->Check(CreateRow(e) == TBL_OK, "CreateRow");
        p->Check(SetCellValByName(e, "note", kLoadedRows, tag.data(), static_cast<int32_t>(tag.size())) == TBL_OK,
                 "write by name into the new row");
        p->Check(CreateColumn(e, -1, tag.c_str()) == TBL_OK, "CreateColumn");
        int32_t count = 0;
        GetLineCount(e, &count);
        p->Check(count == kLoadedRows + 1, tag + ": line count " + std::to_string(count));
        GetColumnCount(e, &count);
        p->Check(count == kColumns + 1, tag + ": column count " + std::to_string(count));
        const std::string own = TempDir() + "/own_" + tag + ".csv";
        p->Check(SaveTable(e, own.c_str()) == TBL_OK, "save");
        p->Check(CloseTable(e) == TBL_OK, "close edit");

        p->Check(OpenTable(own.c_str(), e, OPEN_EDIT, nullptr, nullptr, nullptr) == TBL_OK, "reopen own save");
        for (const auto &w : mine) p->Cell(e, w.first.first, w.first.second, w.second, tag + " saved");
        p->Cell(e, 3, kLoadedRows, tag, tag + " saved new row");
        int32_t index = -1;
        p->Check(GetColumnIndex(e, tag.c_str(), &index) == TBL_OK && index == kColumns, "own column saved");
        p->Check(CloseTable(e) == TBL_OK, "close own");

        // A preview of the shared file sees none of the writes.
        p->Check(OpenTable(loaded.c_str(), e, OPEN_PREVIEW, nullptr, nullptr, nullptr) == TBL_OK, "open preview");
        for (int i = 0; i < 100; ++i) {
            int32_t c = pick(kColumns), l = pick(99);
            p->Cell(e, c, l, Value(c, l), tag + " preview");
        }
        p->Check(CloseTable(e) == TBL_OK, "close preview");

        // The shared index, and one of its own in a directory of its own.
        p->Check(OpenTable(indexed.c_str(), e, OPEN_INDEXED, nullptr, nullptr, shared_idx.c_str()) == TBL_OK,
                 "open indexed");
        for (int i = 0; i < 400; ++i) {
            int32_t c = pick(kColumns), l = pick(kIndexedRows);
            p->Cell(e, c, l, Value(c, l), tag + " indexed");
        }
        p->Check(CloseTable(e) == TBL_OK, "close indexed");

        const std::string dir = TempDir() + "/idx_" + tag;
        std::filesystem::create_directories(dir);
        const int32_t one = 1;
        p->Check(PreOpenTableUnique(indexed.c_str(), dir.c_str(), ",", &one, 1, 1) == TBL_OK, "own prepare");
        p->Check(OpenTableUnique(indexed.c_str(), e, OPEN_INDEXED, nullptr, nullptr, dir.c_str(), 1) == TBL_OK,
                 "own indexed open");
        for (int i = 0; i < 100; ++i) {
            int32_t c = pick(kColumns), l = pick(kIndexedRows);
            p->Cell(e, c, l, Value(c, l), tag + " own index");
        }
        p->Check(CloseTable(e) == TBL_OK, "close own indexed");
        p->Check(PostCloseTableUnique(indexed.c_str(), ",", &one, dir.c_str(), 1) == TBL_OK, "own post-close");
        p->Check(GetNumberOfLinesEx(indexed.c_str(), ",", &one) == kIndexedRows, "line count of the data file");
        FreeTable(e);
    }
}

struct SharedFiles {
    std::string loaded, indexed, idx;
    SharedFiles() {
        loaded = WriteFile("conc_loaded.csv", TableText(kLoadedRows));
        indexed = WriteFile("conc_indexed.csv", TableText(kIndexedRows));
        idx = TempDir() + "/conc_idx";
        std::filesystem::create_directories(idx);
        const int32_t one = 1;
        EXPECT_EQ(PreOpenTable(indexed.c_str(), idx.c_str(), ",", &one, 1), TBL_OK);
    }
    ~SharedFiles() { PostCloseTable(indexed.c_str(), idx.c_str()); }
};

TEST(Concurrency, EightThreadsWithHandlesOfTheirOwn) {
    SharedFiles files;
    const std::string before = ReadFile(files.loaded);
    const long blocks = pellus_live_blocks();
    constexpr int kThreads = 8;
    StartLine start(kThreads);
    std::vector<Problems> problems(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back(Worker, i, files.loaded, files.indexed, files.idx, &start, &problems[i]);
    for (std::thread &t : threads) t.join();
    for (int i = 0; i < kThreads; ++i)
        for (const std::string &what : problems[i].list) ADD_FAILURE() << "thread " << i << ": " << what;
    EXPECT_EQ(ReadFile(files.loaded), before) << "the shared file changed";
    EXPECT_EQ(pellus_live_blocks(), blocks);
}

} // namespace
