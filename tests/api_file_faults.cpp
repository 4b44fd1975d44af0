// Every system call of the file layer failed in turn, with each error it
// can meet, during every public call that writes, maps or removes, on a
// file system that has everything and on ones without unnamed files, hard
// links and moves that refuse a taken name. Each run answers success with
// the new files in place, or its failure code with the old ones as they
// were (bytes and permission bits, no stray file); an interrupted call or
// a short write never fails it; nothing stays open or mapped; and a plain
// run afterwards succeeds. The library here is a build whose file layer
// asks FileFaultHit, below, before each call.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "base/tavlfile_sys.h"
#include "tavlin32.h"
#include "testsupport.h"
#ifdef _WIN32
#  include <windows.h>
#else
#  include <sys/stat.h>
#  include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

struct Plan {
    int missing = 0;  // what the file system lacks: 1 unnamed files, 2 hard
                      // links, 4 moves that refuse a taken name
    long at = 0;      // the call that fails, counted from the last Arm
    FileFault fault = FAULT_NONE;
    std::vector<FileCall> calls;
} plan;

void Arm(long at, FileFault fault) {
    plan.at = at;
    plan.fault = fault;
    plan.calls.clear();
}

} // namespace

int FileFaultHit(FileCall call) {
    if (((plan.missing & 1) && call == CALL_CREATE_UNNAMED) ||
        ((plan.missing & 2) && call == CALL_LINK) ||
        ((plan.missing & 4) && call == CALL_MOVE_NOREPLACE))
        return FAULT_UNSUPPORTED;
    plan.calls.push_back(call);
    return static_cast<long>(plan.calls.size()) == plan.at ? plan.fault : FAULT_NONE;
}

namespace {

// The errors each call can meet; an interrupted call is made again, and a
// short write written on, so those two never fail an operation.
const std::map<FileCall, std::vector<FileFault>> kFaults = {
    {CALL_STAT, {FAULT_IO, FAULT_DENIED, FAULT_INTERRUPTED}},
    {CALL_OPEN, {FAULT_DENIED, FAULT_IO, FAULT_INTERRUPTED}},
    {CALL_CREATE_UNNAMED, {FAULT_NO_SPACE, FAULT_READ_ONLY}},
    {CALL_CREATE, {FAULT_NO_SPACE, FAULT_DENIED, FAULT_READ_ONLY, FAULT_INTERRUPTED}},
    {CALL_OWNER, {FAULT_IO, FAULT_READ_ONLY}},
    {CALL_MODE, {FAULT_IO, FAULT_READ_ONLY}},
    {CALL_WRITE, {FAULT_NO_SPACE, FAULT_IO, FAULT_SHORT, FAULT_INTERRUPTED}},
    {CALL_SYNC, {FAULT_IO, FAULT_NO_SPACE, FAULT_INTERRUPTED}},
    {CALL_CLOSE, {FAULT_IO, FAULT_INTERRUPTED}},
    {CALL_LINK, {FAULT_NO_SPACE, FAULT_CROSS_DEVICE}},
    {CALL_MOVE, {FAULT_IO, FAULT_DENIED, FAULT_CROSS_DEVICE}},
    {CALL_MOVE_NOREPLACE, {FAULT_IO, FAULT_CROSS_DEVICE}},
    {CALL_REMOVE, {FAULT_IO}},
    {CALL_MAP, {FAULT_NO_MEMORY}},
    {CALL_READ, {FAULT_IO}},
};

bool Harmless(FileFault f) { return f == FAULT_SHORT || f == FAULT_INTERRUPTED; }

// Every file under dir: its bytes, permission bits and owner.
std::map<std::string, std::string> Files(const std::string &dir) {
    std::map<std::string, std::string> files;
    for (const auto &e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) {
            std::string &f = files[fs::relative(e.path(), dir).generic_string()];
            f = tavltest::ReadFile(e.path().string()) + "|" +
                std::to_string(static_cast<int>(e.status().permissions()));
#ifndef _WIN32
            struct stat st {};
            stat(e.path().c_str(), &st);
            f += "|" + std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid);
#endif
        }
    return files;
}

// Descriptors or handles open, and views of files under dir mapped.
std::pair<size_t, size_t> Held(const std::string &dir) {
#ifdef _WIN32
    (void)dir;
    DWORD handles = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handles);
    size_t views = 0;
    MEMORY_BASIC_INFORMATION m;
    for (char *p = nullptr; VirtualQuery(p, &m, sizeof m); p = (char *)m.BaseAddress + m.RegionSize)
        views += m.Type == MEM_MAPPED;
    return {handles, views};
#else
    size_t fds = 0, views = 0;
    for (const auto &e : fs::directory_iterator("/proc/self/fd")) fds += !e.path().empty();
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) views += line.find(dir) != std::string::npos;
    return {fds, views};
#endif
}

const char kOld[] = "a,b\r\n1,2\r\n3,4\r\n", kLonger[] = "a,b\r\n1,2\r\n3,4\r\n5,6\r\n";
const char kComma = ',';
const int32_t kOne = 1;

// Old and new states by result: the files as they were, as a plain run
// leaves them, or as they were without the index (a failed replacement).
enum State { kOldFiles, kNewFiles, kNoIndex };

struct Op {
    const char *name;
    std::function<void(const std::string &dir, TableHandle *h)> setup;
    std::function<int32_t(const std::string &dir, TableHandle *h)> run;
    int32_t ok;
    std::map<int32_t, State> failures;
};

TEST(FileFaults, EveryCallFailsInTurn) {
#ifndef _WIN32
    umask(077); // a new file's bits then differ from the old file's
#endif
    auto table = [](const std::string &d) { return d + "/t.csv"; };
    auto idx = [](const std::string &d) { return d + "/idx"; };
    auto open = [&](const std::string &d, TableHandle *h, int32_t mode) {
        int32_t rc = OpenTable(table(d).c_str(), h, mode, nullptr, nullptr, idx(d).c_str());
        char cell[8];
        int32_t n = 0;
        return rc != TBL_OK ? rc : GetCellValByIndex(h, 1, 1, cell, &n, 8);
    };
    auto prepare = [&](const std::string &d, int32_t overwrite) {
        return PreOpenTable(table(d).c_str(), idx(d).c_str(), &kComma, &kOne, overwrite);
    };
    auto edited = [&](const std::string &d, TableHandle *h) {
        ASSERT_EQ(OpenTable(table(d).c_str(), h, OPEN_EDIT, nullptr, nullptr, nullptr), TBL_OK);
        ASSERT_EQ(SetCellValByIndex(h, 0, 0, "new", 3), TBL_OK);
    };
    auto prepared = [&](const std::string &d, TableHandle *) { ASSERT_EQ(prepare(d, 0), TBL_OK); };
    auto none = [](const std::string &, TableHandle *) {};
    const std::vector<Op> ops = {
        {"save", edited, [&](auto d, auto h) { return SaveTable(h, table(d).c_str()); }, TBL_OK,
         {{TBL_ERR_SAVE_OPEN, kOldFiles}}},
        {"second save",
         [&](auto d, auto h) {
             edited(d, h);
             ASSERT_EQ(SaveTable(h, table(d).c_str()), TBL_OK);
             ASSERT_EQ(SetCellValByIndex(h, 1, 1, "x", 1), TBL_OK);
         },
         [&](auto d, auto h) { return SaveTable(h, table(d).c_str()); }, TBL_OK,
         {{TBL_ERR_SAVE_OPEN, kOldFiles}}},
        {"save of a new file", edited,
         [&](auto d, auto h) { return SaveTable(h, (d + "/new.csv").c_str()); }, TBL_OK,
         {{TBL_ERR_SAVE_OPEN, kOldFiles}}},
        {"fresh preparation", none, [&](auto d, auto) { return prepare(d, 0); }, TBL_OK,
         {{TBL_ERR_INDEX_BUILD, kOldFiles}, {TBL_ERR_MAP_DATA, kOldFiles}}},
        {"replacing preparation",
         [&](auto d, auto h) {
             prepared(d, h);
             tavltest::WriteFile(table(d), kLonger);
         },
         [&](auto d, auto) { return prepare(d, 1); }, TBL_OK,
         {{TBL_ERR_INDEX_BUILD, kNoIndex}, {TBL_ERR_MAP_DATA, kNoIndex}, {TBL_ERR_REMOVE, kOldFiles}}},
        {"indexed open and read", prepared, [&](auto d, auto h) { return open(d, h, OPEN_INDEXED); },
         TBL_OK, {{TBL_ERR_INDEX_OPEN, kOldFiles}, {TBL_ERR_MAP_DATA, kOldFiles}}},
        {"removal", prepared,
         [&](auto d, auto) { return PostCloseTable(table(d).c_str(), idx(d).c_str()); }, TBL_OK,
         {{TBL_ERR_REMOVE, kOldFiles}}},
        {"line count", none,
         [&](auto d, auto) { return GetNumberOfLinesEx(table(d).c_str(), &kComma, nullptr); }, 3,
         {{TBL_ERR_MAP_DATA, kOldFiles}}},
        {"edit open and read", none, [&](auto d, auto h) { return open(d, h, OPEN_EDIT); }, TBL_OK,
         {{TBL_ERR_OPEN, kOldFiles}}},
    };
#ifdef _WIN32
    const std::vector<int> file_systems = {0};
#else
    const std::vector<int> file_systems = {0, 1, 3, 7};
#endif
    std::set<FileCall> failed;
    for (const Op &op : ops)
        for (int missing : file_systems) {
            SCOPED_TRACE(std::string(op.name) + ", lacking " + std::to_string(missing));
            plan.missing = missing;
            std::string dir = tavltest::FreshDir("faults"), before;
            auto run = [&](long at, FileFault fault, std::map<std::string, std::string> *old) {
                fs::remove_all(dir);
                fs::create_directories(idx(dir));
                tavltest::WriteFile(table(dir), kOld);
                fs::permissions(table(dir), fs::perms::owner_read | fs::perms::owner_write |
                                                fs::perms::others_read);
#ifndef _WIN32
                EXPECT_TRUE(geteuid() != 0 || chown(table(dir).c_str(), 4321, 4321) == 0);
#endif
                auto held = Held(dir);
                TableHandle *h = nullptr;
                EXPECT_EQ(NewTable(&h), TBL_OK);
                op.setup(dir, h);
                *old = Files(dir);
                Arm(at, fault);
                int32_t rc = op.run(dir, h);
                std::vector<FileCall> calls = plan.calls;
                Arm(0, FAULT_NONE);
                if (rc != op.ok) {
                    State want = op.failures.count(rc) ? op.failures.at(rc) : kNewFiles;
                    EXPECT_TRUE(op.failures.count(rc) && !Harmless(fault)) << rc;
                    auto files = *old;
                    for (auto f = files.begin(); want == kNoIndex && f != files.end();)
                        f = f->first.rfind("idx/", 0) == 0 ? files.erase(f) : std::next(f);
                    EXPECT_EQ(Files(dir), files);
                    EXPECT_EQ(op.run(dir, h), op.ok);
                }
                CloseTable(h);
                FreeTable(h);
                EXPECT_EQ(Held(dir), held);
                return calls;
            };
            std::map<std::string, std::string> old;
            std::vector<FileCall> calls = run(0, FAULT_NONE, &old);
            const auto fresh = Files(dir);
            EXPECT_FALSE(calls.empty());
            for (size_t k = 0; k < calls.size(); ++k)
                for (FileFault fault : kFaults.at(calls[k])) {
#ifdef _WIN32
                    if (fault == FAULT_INTERRUPTED) continue;
#endif
                    SCOPED_TRACE("call " + std::to_string(k + 1) + " of kind " +
                                 std::to_string(calls[k]) + ", fault " + std::to_string(fault));
                    std::map<std::string, std::string> was;
                    run(static_cast<long>(k + 1), fault, &was);
                    failed.insert(calls[k]);
                    EXPECT_EQ(Files(dir), fresh);
                }
        }
    plan.missing = 0;
    // Every kind of call was met and failed somewhere (Windows makes no
    // file without a name, gives no owner or bits, and links none).
    std::set<FileCall> kinds;
    for (const auto &k : kFaults) kinds.insert(k.first);
#ifdef _WIN32
    for (FileCall c : {CALL_CREATE_UNNAMED, CALL_OWNER, CALL_MODE, CALL_LINK}) kinds.erase(c);
#endif
    EXPECT_EQ(failed, kinds);
}

} // namespace
