/*
 * tavl_bench.cpp - the benchmark program: every figure a host needs to judge
 * tavlin32 on large tables, each beside a baseline measured in the same run.
 *
 * Tables (generated once into a scratch directory, see bench_tables.h):
 *   main  1,000,000 data lines of 10 plain fields, CR LF, 100 MB;
 *   big   10,000,000 such lines (1 GB), to see how reads scale;
 *   wide  10,000 lines of 1,000 fields;
 *   head  a header line of 100,000 columns and one data line.
 * Baselines: counting the file's LF bytes with memchr over a fresh read-only
 * mapping (every scan and read is compared with it), and, for the save,
 * writing the same bytes to a new file with 1 MiB write calls and one fsync.
 * Beside the random reads stands a reference that no code can beat: one
 * dependent load at a random place in a block as large as the file. Peak
 * memory is measured in a fresh process that only opens the table.
 *
 * The program links the shared library as a host does and uses only the
 * public header. Every call's result is checked, and values read back are
 * compared with the generator's; any wrong result fails the run (exit 1). No
 * figure fails it: the summary says which targets are met.
 *
 * Options (before the Google Benchmark ones):
 *   --size=small|full   small: tables of 1/100 the lines (the header of 1/10
 *                       the columns), one repetition, to prove the program
 *                       works (also TAVL_BENCH_SIZE); full is the default
 *   --data-dir=DIR      where the tables go (also TAVL_BENCH_DIR; default: a
 *                       directory under the system's temporary directory)
 *   --summary=FILE      also write the summary table to FILE
 */
#include <benchmark/benchmark.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bench_report.h"
#include "bench_tables.h"
#include "tavlin32.h"

using namespace tavlbench;

namespace {

struct Config {
    bool small = false;
    std::string data_dir;
    std::string summary_path;
    int32_t main_lines = 1000000;
    int32_t big_lines = 10000000;
    int32_t wide_lines = 10000;
    int32_t wide_fields = 1000;
    int32_t head_columns = 100000;
    int32_t wide_step = 100;   /* every-cell reads of the wide table visit 1 line in this many */
    int reps = 5;              /* repetitions of the quick figures */
    int heavy_reps = 3;        /* repetitions of the figures that take seconds */
    double min_time = 0.5;     /* seconds per repetition of a self-timed figure */
};

Config g_cfg;
TableFile g_main, g_big, g_wide, g_head;
std::map<std::string, TableFile *> g_tables;
std::map<std::string, TableHandle *> g_held;  /* open tables kept between figures */
std::set<std::string> g_prepared;              /* tables whose index file this run wrote */
std::vector<Figure> g_figures;
std::vector<uint32_t> g_chain;   /* the latency reference's block, one table at a time */
std::string g_chain_of;

const int32_t kOneHeader = 1;
const char kComma[] = ",";

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string IndexDir(const TableFile &t) { return g_cfg.data_dir + "/idx-" + t.shape.name; }

std::string Err(const std::string &what, int rc) { return what + " returned " + std::to_string(rc); }

/* The table part of a resource key such as "main.edit". */
TableFile *TableOf(const std::string &key) {
    auto it = g_tables.find(key.substr(0, key.find('.')));
    return it == g_tables.end() ? nullptr : it->second;
}

void Release(const std::string &key) {
    auto it = g_held.find(key);
    if (it == g_held.end()) return;
    CloseTable(it->second);
    FreeTable(it->second);
    g_held.erase(it);
}

/* Closes every kept table but those named, so that the 1 GB table does not
 * sit in memory while the others are measured. */
void KeepOnly(std::initializer_list<std::string> keep) {
    std::vector<std::string> drop;
    for (const auto &h : g_held)
        if (std::find(keep.begin(), keep.end(), h.first) == keep.end()) drop.push_back(h.first);
    for (const auto &k : drop) Release(k);
    if (std::find(keep.begin(), keep.end(), "chain") == keep.end()) {
        std::vector<uint32_t>().swap(g_chain);
        g_chain_of.clear();
    }
}

bool CheckShape(TableHandle *h, const TableFile &t, std::string *error) {
    int32_t columns = -1, lines = -1;
    int rc = GetColumnCount(h, &columns);
    if (rc != TBL_OK || columns != t.shape.fields) {
        *error = "GetColumnCount: rc " + std::to_string(rc) + ", " + std::to_string(columns) +
                 " columns, expected " + std::to_string(t.shape.fields);
        return false;
    }
    rc = GetLineCount(h, &lines);
    if (rc != TBL_OK || lines != t.shape.data_lines) {
        *error = "GetLineCount: rc " + std::to_string(rc) + ", " + std::to_string(lines) +
                 " lines, expected " + std::to_string(t.shape.data_lines);
        return false;
    }
    return true;
}

/* Opens the table into a new handle and checks its shape; *seconds, when
 * given, receives the time the OpenTable call took. On failure the handle is
 * released, *error says why and the result is null; otherwise the caller
 * owns the handle. */
TableHandle *OpenChecked(const TableFile *t, int32_t mode, const char *index_dir,
                         std::string *error, double *seconds) {
    TableHandle *h = nullptr;
    int rc = NewTable(&h);
    if (rc != TBL_OK) {
        *error = Err("NewTable", rc);
        return nullptr;
    }
    double t0 = Now();
    rc = OpenTable(t->path.c_str(), h, mode, kComma, &kOneHeader, index_dir);
    if (seconds) *seconds = Now() - t0;
    if (rc != TBL_OK || !CheckShape(h, *t, error)) {
        if (rc != TBL_OK) *error = Err("OpenTable", rc);
        CloseTable(h);
        FreeTable(h);
        return nullptr;
    }
    return h;
}


int Prepare(const TableFile &t) {
    mkdir(IndexDir(t).c_str(), 0755);
    int rc = PreOpenTable(t.path.c_str(), IndexDir(t).c_str(), kComma, &kOneHeader, 1);
    if (rc == TBL_OK) g_prepared.insert(t.shape.name);
    return rc;
}

/* Opens (once) the table a key names: "<table>.edit" and "<table>.set" in
 * OPEN_EDIT (the second for writes, so that reads see generated values),
 * "<table>.idx" in OPEN_INDEXED. */
TableHandle *Acquire(const std::string &key, std::string *error) {
    auto it = g_held.find(key);
    if (it != g_held.end()) return it->second;
    TableFile *t = TableOf(key);
    if (!t) {
        *error = "no table for " + key;
        return nullptr;
    }
    bool indexed = key.size() > 4 && key.compare(key.size() - 4, 4, ".idx") == 0;
    if (indexed && !g_prepared.count(t->shape.name)) {
        int rc = Prepare(*t);
        if (rc != TBL_OK) {
            *error = Err("PreOpenTable", rc);
            return nullptr;
        }
    }
    TableHandle *h = OpenChecked(t, indexed ? OPEN_INDEXED : OPEN_EDIT,
                                 IndexDir(*t).c_str(), error, nullptr);
    if (!h) return nullptr;
    g_held[key] = h;
    return h;
}

/* Random cell addresses of a table, the same in every run. */
const std::vector<std::pair<int32_t, int32_t>> &RandomCells(const TableFile &t) {
    static std::map<std::string, std::vector<std::pair<int32_t, int32_t>>> cache;
    auto &v = cache[t.shape.name];
    if (v.empty()) {
        SplitMix mix(0x7461766cull ^ static_cast<uint64_t>(t.shape.data_lines));
        v.resize(1u << 20);
        for (auto &p : v) {
            p.first = static_cast<int32_t>(mix.Next() % static_cast<uint64_t>(t.shape.data_lines));
            p.second = static_cast<int32_t>(mix.Next() % static_cast<uint64_t>(t.shape.fields));
        }
    }
    return v;
}

/* Reads cell (line, column) and compares it with the generator's value. */
bool CheckCell(TableHandle *h, const TableFile &t, int32_t line, int32_t column,
               const char *expected_override, std::string *error) {
    char want[256], got[256];
    int n = expected_override ? static_cast<int>(std::strlen(expected_override))
                              : CellValue(t.shape, line, column, want);
    if (expected_override) std::memcpy(want, expected_override, static_cast<size_t>(n) + 1);
    int32_t size = 0;
    int rc = GetCellValByIndex(h, column, line, got, &size, sizeof got);
    if (rc != TBL_OK || size != n + 1 || std::memcmp(got, want, static_cast<size_t>(n) + 1) != 0) {
        *error = "cell (" + std::to_string(line) + "," + std::to_string(column) + "): rc " +
                 std::to_string(rc) + ", read '" + std::string(got, rc == TBL_OK ? std::strlen(got) : 0) +
                 "', expected '" + want + "'";
        return false;
    }
    return true;
}

/* ---- The figures -------------------------------------------------------- */

void BaselineScan(benchmark::State &state, TableFile *t) {
    KeepOnly({});
    uint64_t lines = 0;
    for (auto _ : state) {
        if (!CountNewlinesMapped(t->path, &lines)) {
            state.SkipWithError("cannot map the table file");
            break;
        }
        benchmark::DoNotOptimize(lines);
    }
    if (lines != static_cast<uint64_t>(t->shape.data_lines) + 1 && !state.error_occurred())
        state.SkipWithError("newline count differs from the generated line count");
    state.SetBytesProcessed(static_cast<int64_t>(t->bytes) * state.iterations());
}

/* The memory latency any random read pays: one load at a random place in a
 * block as large as the file, each load's address taken from the one before
 * (a random cycle through the block's 64-byte lines), so no two overlap. */
void LatencyReference(benchmark::State &state, TableFile *t) {
    KeepOnly({"chain"});
    const size_t kStride = 16; /* 32-bit words per 64-byte line */
    if (g_chain_of != t->shape.name) {
        size_t lines = static_cast<size_t>(t->bytes / 64);
        std::vector<uint32_t> order(lines);
        for (size_t i = 0; i < lines; ++i) order[i] = static_cast<uint32_t>(i);
        SplitMix mix(42);
        for (size_t i = lines - 1; i > 0; --i) std::swap(order[i], order[mix.Next() % (i + 1)]);
        g_chain.assign(lines * kStride, 0);
        for (size_t i = 0; i < lines; ++i)
            g_chain[order[i] * kStride] = static_cast<uint32_t>(order[(i + 1) % lines] * kStride);
        g_chain_of = t->shape.name;
    }
    uint32_t at = 0;
    for (auto _ : state) {
        at = g_chain[at];
        benchmark::DoNotOptimize(at);
    }
    state.SetItemsProcessed(state.iterations());
}

/* One timed open, for the open figures: the benchmark is told the time, or
 * why the open failed (the result is then null). */
TableHandle *TimedOpen(benchmark::State &state, TableFile *t, int32_t mode,
                       const char *index_dir) {
    std::string error;
    double seconds = 0;
    TableHandle *h = OpenChecked(t, mode, index_dir, &error, &seconds);
    state.SetIterationTime(seconds);
    if (!h) state.SkipWithError(error.c_str());
    return h;
}

/* OPEN_EDIT open of the whole table; keep_as keeps the handle for later
 * figures (the 1 GB table is loaded only once). */
void LoadEdit(benchmark::State &state, TableFile *t, std::string keep_as) {
    KeepOnly({});
    for (auto _ : state) {
        TableHandle *h = TimedOpen(state, t, OPEN_EDIT, nullptr);
        if (!h) break;
        if (!keep_as.empty()) {
            Release(keep_as);
            g_held[keep_as] = h;
        } else {
            CloseTable(h);
            FreeTable(h);
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(t->bytes) * state.iterations());
}

/* Runs this program again as a process that only opens the table (or only
 * maps and scans it) and reports its peak resident memory. A fresh process,
 * because this one has long since passed any peak a load alone would make. */
bool ChildPeak(const char *mode, const std::string &path, uint64_t *peak, std::string *error) {
    int fds[2];
    if (pipe(fds) != 0) {
        *error = "pipe failed";
        return false;
    }
    pid_t pid = fork();
    if (pid < 0) {
        *error = "fork failed";
        return false;
    }
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        execl("/proc/self/exe", "tavl_bench", "--peak-child", mode, path.c_str(),
              static_cast<char *>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    unsigned long long value = 0;
    int rc = -1;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
        std::sscanf(out.c_str(), "peak %llu rc %d", &value, &rc) != 2 || rc != 0) {
        *error = std::string("peak child (") + mode + ") failed: " + out;
        return false;
    }
    *peak = value;
    return true;
}

int PeakChildMain(const std::string &mode, const std::string &path) {
    int rc = -1;
    if (mode == "edit") {
        TableHandle *h = nullptr;
        rc = NewTable(&h);
        if (rc == TBL_OK) rc = OpenTable(path.c_str(), h, OPEN_EDIT, kComma, &kOneHeader, nullptr);
        uint64_t peak = PeakResidentBytes();
        std::printf("peak %llu rc %d\n", static_cast<unsigned long long>(peak), rc);
        std::fflush(stdout);
        if (h) {
            CloseTable(h);
            FreeTable(h);
        }
        return 0;
    }
    uint64_t lines = 0;
    rc = CountNewlinesMapped(path, &lines) ? 0 : -1;
    benchmark::DoNotOptimize(lines);
    std::printf("peak %llu rc %d\n", static_cast<unsigned long long>(PeakResidentBytes()), rc);
    return 0;
}

void PeakMemory(benchmark::State &state, TableFile *t) {
    KeepOnly({});
    uint64_t peak = 0, base = 0;
    for (auto _ : state) {
        std::string error;
        double t0 = Now();
        if (!ChildPeak("edit", t->path, &peak, &error) || !ChildPeak("map", t->path, &base, &error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        state.SetIterationTime(Now() - t0);
    }
    state.counters["peak_per_file"] = static_cast<double>(peak) / static_cast<double>(t->bytes);
    state.counters["baseline_peak_per_file"] =
        static_cast<double>(base) / static_cast<double>(t->bytes);
}

void SaveBaseline(benchmark::State &state, TableFile *t) {
    KeepOnly({"main.edit"});
    std::vector<char> bytes;
    if (!ReadWholeFile(t->path, &bytes)) {
        state.SkipWithError("cannot read the table file");
        return;
    }
    const std::string out = g_cfg.data_dir + "/save-baseline.out";
    for (auto _ : state) {
        unlink(out.c_str());
        double t0 = Now();
        bool ok = WriteAndSync(out, bytes.data(), bytes.size());
        state.SetIterationTime(Now() - t0);
        if (!ok) {
            state.SkipWithError("write or fsync failed");
            break;
        }
    }
    unlink(out.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(t->bytes) * state.iterations());
}

void Save(benchmark::State &state, TableFile *t) {
    KeepOnly({"main.edit"});
    std::string error;
    TableHandle *h = Acquire("main.edit", &error);
    if (!h) {
        state.SkipWithError(error.c_str());
        return;
    }
    const std::string out = g_cfg.data_dir + "/save.out";
    for (auto _ : state) {
        unlink(out.c_str());
        double t0 = Now();
        int rc = SaveTable(h, out.c_str());
        state.SetIterationTime(Now() - t0);
        if (rc != TBL_OK) {
            state.SkipWithError(Err("SaveTable", rc).c_str());
            break;
        }
    }
    /* The table was loaded unchanged from CR LF lines: the save must give the
     * same bytes back. */
    static bool compared = false;
    if (!state.error_occurred() && !compared) {
        compared = true;
        std::vector<char> a, b;
        if (!ReadWholeFile(t->path, &a) || !ReadWholeFile(out, &b) || a != b)
            state.SkipWithError("the saved file differs from the file loaded");
    }
    unlink(out.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(t->bytes) * state.iterations());
}

/* Reads every cell of every step-th data line once, line by line. */
void ReadAll(benchmark::State &state, TableFile *t, std::string key, int32_t step) {
    KeepOnly({key});
    std::string error;
    TableHandle *h = Acquire(key, &error);
    if (!h) {
        state.SkipWithError(error.c_str());
        return;
    }
    const int32_t fields = t->shape.fields;
    uint64_t width_sum = 0;
    for (int32_t c = 0; c < fields; ++c) width_sum += static_cast<uint64_t>(ColumnWidth(t->shape, c));
    uint64_t visited = 0;
    for (int32_t r = 0; r < t->shape.data_lines; r += step) ++visited;
    const uint64_t expected = visited * (width_sum + static_cast<uint64_t>(fields));
    std::vector<char> buf(4096);
    for (auto _ : state) {
        uint64_t sum = 0;
        int bad = TBL_OK;
        double t0 = Now();
        for (int32_t r = 0; r < t->shape.data_lines; r += step) {
            for (int32_t c = 0; c < fields; ++c) {
                int32_t size = 0;
                int rc = GetCellValByIndex(h, c, r, buf.data(), &size, static_cast<int32_t>(buf.size()));
                if (rc != TBL_OK) bad = rc;
                sum += static_cast<uint64_t>(size);
            }
        }
        state.SetIterationTime(Now() - t0);
        if (bad != TBL_OK || sum != expected) {
            state.SkipWithError(bad != TBL_OK ? Err("GetCellValByIndex", bad).c_str()
                                              : "the cell sizes read do not add up to the table's");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(visited) * fields * state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(static_cast<double>(visited) * t->line_bytes) *
                            state.iterations());
}

/* One call per iteration on a random cell of the table under key, then a
   check of the first cells: against the generator's values, or, when
   `written` is given, against the prefix of it that op stored there (only
   cells op reached). */
template <class Op>
void OnRandomCells(benchmark::State &state, TableFile *t, const std::string &key, const char *call,
                   Op op, const std::string *written) {
    KeepOnly({key});
    std::string error;
    TableHandle *h = Acquire(key, &error);
    if (!h) {
        state.SkipWithError(error.c_str());
        return;
    }
    const auto &cells = RandomCells(*t);
    const size_t mask = cells.size() - 1;
    size_t i = 0;
    int bad = TBL_OK;
    for (auto _ : state) {
        int rc = op(h, cells[i++ & mask]);
        if (rc != TBL_OK) bad = rc;
    }
    if (bad != TBL_OK) {
        state.SkipWithError(Err(call, bad).c_str());
        return;
    }
    for (size_t k = 0; k < 1000 && (!written || k < i); ++k) {
        const auto &p = cells[k];
        std::string want;
        if (written) want.assign(*written, 0, static_cast<size_t>(ColumnWidth(t->shape, p.second)));
        if (!CheckCell(h, *t, p.first, p.second, written ? want.c_str() : nullptr, &error)) {
            state.SkipWithError(error.c_str());
            return;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void RandomRead(benchmark::State &state, TableFile *t, std::string key) {
    char buf[256];
    OnRandomCells(state, t, key, "GetCellValByIndex", [&buf](TableHandle *h, const std::pair<int32_t, int32_t> &p) {
        int32_t size = 0;
        int rc = GetCellValByIndex(h, p.second, p.first, buf, &size, sizeof buf);
        benchmark::DoNotOptimize(buf);
        return rc;
    }, nullptr);
}

void SetCell(benchmark::State &state, TableFile *t, std::string key) {
    const std::string zeds(256, 'Z');
    OnRandomCells(state, t, key, "SetCellValByIndex", [&](TableHandle *h, const std::pair<int32_t, int32_t> &p) {
        return SetCellValByIndex(h, p.second, p.first, zeds.data(), ColumnWidth(t->shape, p.second));
    }, &zeds);
}

void PreOpen(benchmark::State &state, TableFile *t) {
    KeepOnly({});
    mkdir(IndexDir(*t).c_str(), 0755);
    for (auto _ : state) {
        double t0 = Now();
        int rc = PreOpenTable(t->path.c_str(), IndexDir(*t).c_str(), kComma, &kOneHeader, 1);
        state.SetIterationTime(Now() - t0);
        if (rc != TBL_OK) {
            state.SkipWithError(Err("PreOpenTable", rc).c_str());
            break;
        }
        g_prepared.insert(t->shape.name);
    }
    state.SetBytesProcessed(static_cast<int64_t>(t->bytes) * state.iterations());
}

void CountLines(benchmark::State &state, TableFile *t) {
    KeepOnly({});
    const int32_t none = 0;
    for (auto _ : state) {
        double t0 = Now();
        int32_t n = GetNumberOfLinesEx(t->path.c_str(), kComma, &none);
        state.SetIterationTime(Now() - t0);
        if (n != t->shape.data_lines + 1) {
            state.SkipWithError(("GetNumberOfLinesEx returned " + std::to_string(n) + ", expected " +
                                 std::to_string(t->shape.data_lines + 1))
                                    .c_str());
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(t->bytes) * state.iterations());
}

/* One open of the table (OPEN_INDEXED or OPEN_EDIT), timed alone; the close
 * is not timed. */
void OpenOnce(benchmark::State &state, TableFile *t, int32_t mode) {
    KeepOnly({});
    if (mode == OPEN_INDEXED && !g_prepared.count(t->shape.name)) {
        int rc = Prepare(*t);
        if (rc != TBL_OK) {
            state.SkipWithError(Err("PreOpenTable", rc).c_str());
            return;
        }
    }
    for (auto _ : state) {
        TableHandle *h = TimedOpen(state, t, mode, IndexDir(*t).c_str());
        if (!h) break;
        CloseTable(h);
        FreeTable(h);
    }
}

/* ---- Registration ------------------------------------------------------- */

std::string Count(int64_t n) {
    if (n >= 1000000 && n % 1000000 == 0) return std::to_string(n / 1000000) + "M";
    if (n >= 1000 && n % 1000 == 0) return std::to_string(n / 1000) + "k";
    return std::to_string(n);
}

std::string Megabytes(uint64_t bytes) {
    char buf[32];
    if (bytes >= 1000000000)
        std::snprintf(buf, sizeof buf, "%.1f GB", static_cast<double>(bytes) / 1e9);
    else
        std::snprintf(buf, sizeof buf, bytes >= 10000000 ? "%.0f MB" : "%.1f MB",
                      static_cast<double>(bytes) / 1e6);
    return buf;
}

struct Registrar {
    TableFile *t;
    std::string label;

    std::string Name(const std::string &what) const { return t->shape.name + "/" + what; }

    benchmark::internal::Benchmark *Timed(const std::string &what, int reps,
                                          std::function<void(benchmark::State &)> fn) const {
        return benchmark::RegisterBenchmark(Name(what).c_str(), fn)
            ->UseManualTime()
            ->Iterations(1)
            ->Repetitions(reps)
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::internal::Benchmark *Auto(const std::string &what, int reps,
                                         std::function<void(benchmark::State &)> fn,
                                         bool manual = false) const {
        auto *b = benchmark::RegisterBenchmark(Name(what).c_str(), fn)
                      ->MinTime(g_cfg.min_time)
                      ->Repetitions(reps);
        return manual ? b->UseManualTime() : b->UseRealTime();
    }

    Figure Base(const std::string &what, const std::string &text, Unit unit) const {
        Figure f;
        f.table = label;
        f.label = text;
        f.bench = Name(what);
        f.unit = unit;
        f.bytes_per_iter = static_cast<double>(t->bytes);
        f.baseline_bench = Name("baseline_memchr");
        f.baseline_bytes_per_iter = static_cast<double>(t->bytes);
        f.baseline_bytes = static_cast<double>(t->bytes);
        return f;
    }
    void Add(Figure f, Target target = Target::kNone, double limit = 0,
             std::string text = "") const {
        f.target = target;
        f.limit = limit;
        f.target_text = std::move(text);
        g_figures.push_back(std::move(f));
    }

    void Baseline() const {
        TableFile *tt = t;
        Auto("baseline_memchr", g_cfg.reps, [tt](benchmark::State &s) { BaselineScan(s, tt); })
            ->Unit(benchmark::kMillisecond);
        Figure f = Base("baseline_memchr", "baseline: LF count, memchr over a mapping", Unit::kMBps);
        f.baseline_bench.clear();
        Add(f);
    }
    void Latency() const {
        TableFile *tt = t;
        Auto("reference_latency", g_cfg.reps, [tt](benchmark::State &s) { LatencyReference(s, tt); });
        Figure f = Base("reference_latency",
                        "reference: one dependent load at random in a block of the file's size",
                        Unit::kNs);
        f.baseline_bench.clear();
        f.reference = true;
        Add(f);
    }
    void Load(int reps, const std::string &keep_as, Target target = Target::kNone,
              double limit = 0, std::string text = "") const {
        TableFile *tt = t;
        Timed("OpenTable_EDIT", reps, [tt, keep_as](benchmark::State &s) { LoadEdit(s, tt, keep_as); });
        Add(Base("OpenTable_EDIT", "OpenTable, OPEN_EDIT load", Unit::kMBps), target, limit, text);
    }
    void ReadEvery(const std::string &mode, const std::string &key, int32_t step, bool target) const {
        TableFile *tt = t;
        const std::string what = "read_all_" + mode;
        Timed(what, g_cfg.heavy_reps, [tt, key, step](benchmark::State &s) { ReadAll(s, tt, key, step); });
        uint64_t visited = 0;
        for (int32_t r = 0; r < t->shape.data_lines; r += step) ++visited;
        const std::string text = "every cell once (GetCellValByIndex), OPEN_" + mode +
                                 (step > 1 ? ", 1 line in " + std::to_string(step) : std::string());
        Figure f = Base(what, text, Unit::kMBps);
        f.bytes_per_iter = static_cast<double>(visited) * t->line_bytes;
        Add(f, target ? Target::kAtLeast : Target::kNone, 300, target ? "≥ 300 MB/s" : "");
        Figure g = Base(what, text, Unit::kNsPerCell);
        g.cells_per_iter = static_cast<double>(visited) * t->shape.fields;
        g.baseline_bytes = t->line_bytes / t->shape.fields;
        Add(g);
    }
    Figure Random(const std::string &mode, const std::string &key) const {
        TableFile *tt = t;
        const std::string what = "random_read_" + mode;
        Auto(what, g_cfg.reps, [tt, key](benchmark::State &s) { RandomRead(s, tt, key); });
        Figure f = Base(what, "random cell read, OPEN_" + mode, Unit::kNsPerCell);
        f.cells_per_iter = 1;
        f.baseline_bytes = t->line_bytes;
        return f;
    }
};

void RegisterAll() {
    const int reps = g_cfg.reps, heavy = g_cfg.heavy_reps;

    Registrar m{&g_main, Megabytes(g_main.bytes) + ", " + Count(g_main.shape.data_lines) + " lines"};
    m.Baseline();
    m.Latency();
    benchmark::RegisterBenchmark(m.Name("peak_memory_EDIT").c_str(),
                                 [](benchmark::State &s) { PeakMemory(s, &g_main); })
        ->UseManualTime()
        ->Iterations(1)
        ->Repetitions(heavy)
        ->Unit(benchmark::kMillisecond);
    {
        Figure f = m.Base("peak_memory_EDIT", "peak resident memory of an OPEN_EDIT load",
                          Unit::kPerFile);
        f.counter = "peak_per_file";
        f.baseline_counter = "baseline_peak_per_file";
        m.Add(f, Target::kAtMost, 1.6, "≤ 1.6 × file size");
    }
    m.Load(heavy, "", Target::kAtLeast, 1000, "≥ 1000 MB/s");
    m.Timed("write_fsync_baseline", reps, [](benchmark::State &s) { SaveBaseline(s, &g_main); });
    {
        Figure f = m.Base("write_fsync_baseline", "baseline: same bytes, 1 MiB writes + fsync",
                          Unit::kMBps);
        f.baseline_bench.clear();
        m.Add(f);
    }
    m.Timed("SaveTable", reps, [](benchmark::State &s) { Save(s, &g_main); });
    {
        Figure f = m.Base("SaveTable", "SaveTable", Unit::kMBps);
        f.baseline_bench = m.Name("write_fsync_baseline");
        m.Add(f, Target::kRatioAtLeast, 1 / 1.3, "time ≤ 1.3 × write + fsync");
    }
    m.ReadEvery("EDIT", "main.edit", 1, true);
    m.Add(m.Random("EDIT", "main.edit"), Target::kAtMost, 200, "≤ 200 ns");
    m.Timed("PreOpenTable", reps, [](benchmark::State &s) { PreOpen(s, &g_main); });
    m.Add(m.Base("PreOpenTable", "PreOpenTable", Unit::kMBps), Target::kRatioAtLeast, 0.5,
          "≥ 0.5 × baseline");
    m.Timed("GetNumberOfLinesEx", reps, [](benchmark::State &s) { CountLines(s, &g_main); });
    m.Add(m.Base("GetNumberOfLinesEx", "GetNumberOfLinesEx", Unit::kMBps), Target::kRatioAtLeast,
          1.0 / 3, "≥ 0.33 × baseline");
    m.Auto("open_INDEXED", reps, [](benchmark::State &s) { OpenOnce(s, &g_main, OPEN_INDEXED); }, true)
        ->Unit(benchmark::kMicrosecond);
    m.Add(m.Base("open_INDEXED", "OpenTable, OPEN_INDEXED", Unit::kMicros), Target::kAtMost, 100,
          "≤ 100 µs");
    m.ReadEvery("INDEXED", "main.idx", 1, true);
    m.Add(m.Random("INDEXED", "main.idx"), Target::kAtMost, 200, "≤ 200 ns");
    m.Auto("SetCellValByIndex", reps, [](benchmark::State &s) { SetCell(s, &g_main, "main.set"); });
    {
        Figure f = m.Base("SetCellValByIndex", "SetCellValByIndex, random cells", Unit::kNsPerCell);
        f.cells_per_iter = 1;
        f.baseline_bytes = g_main.line_bytes;
        m.Add(f);
    }

    Registrar b{&g_big, Megabytes(g_big.bytes) + ", " + Count(g_big.shape.data_lines) + " lines"};
    b.Baseline();
    b.Latency();
    b.Load(1, "big.edit");
    for (const char *mode : {"EDIT", "INDEXED"}) {
        Figure f = b.Random(mode, std::string("big.") + (mode[0] == 'E' ? "edit" : "idx"));
        f.scale_bench = m.Name(std::string("random_read_") + mode);
        f.scale_limit = 1.3;
        b.Add(f, Target::kAtMost, 200, "≤ 200 ns, ≤ 1.3 × the smaller table");
        if (mode[0] == 'E') {
            b.Timed("PreOpenTable", heavy, [](benchmark::State &s) { PreOpen(s, &g_big); });
            b.Add(b.Base("PreOpenTable", "PreOpenTable", Unit::kMBps), Target::kRatioAtLeast, 0.5,
                  "≥ 0.5 × baseline");
            b.Auto("open_INDEXED", reps,
                   [](benchmark::State &s) { OpenOnce(s, &g_big, OPEN_INDEXED); }, true)
                ->Unit(benchmark::kMicrosecond);
            b.Add(b.Base("open_INDEXED", "OpenTable, OPEN_INDEXED", Unit::kMicros), Target::kAtMost,
                  100, "≤ 100 µs");
        }
    }

    Registrar w{&g_wide, Megabytes(g_wide.bytes) + ", " + Count(g_wide.shape.data_lines) +
                             " lines × " + Count(g_wide.shape.fields) + " fields"};
    w.Baseline();
    w.Load(heavy, "");
    w.ReadEvery("EDIT", "wide.edit", g_cfg.wide_step, false);
    w.Add(w.Random("EDIT", "wide.edit"));
    w.Timed("PreOpenTable", heavy, [](benchmark::State &s) { PreOpen(s, &g_wide); });
    w.Add(w.Base("PreOpenTable", "PreOpenTable", Unit::kMBps));
    w.ReadEvery("INDEXED", "wide.idx", g_cfg.wide_step, false);
    w.Add(w.Random("INDEXED", "wide.idx"));

    Registrar h{&g_head, "header of " + Count(g_head.shape.fields) + " columns"};
    h.Baseline();
    for (int32_t mode : {OPEN_EDIT, OPEN_INDEXED}) {
        const std::string name = mode == OPEN_EDIT ? "EDIT" : "INDEXED";
        h.Auto("open_" + name, heavy,
               [mode](benchmark::State &s) { OpenOnce(s, &g_head, mode); }, true)
            ->Unit(benchmark::kMillisecond);
        h.Add(h.Base("open_" + name, "OpenTable, OPEN_" + name, Unit::kMillis), Target::kAtMost,
              100, "≤ 100 ms");
    }
}

bool MakeTables(std::string *error) {
    TableShape main{"main-" + Count(g_cfg.main_lines), g_cfg.main_lines, 10,
                    {9, 9, 9, 9, 9, 9, 9, 9, 9, 8}, "col"};
    TableShape big = main;
    big.name = "big-" + Count(g_cfg.big_lines);
    big.data_lines = g_cfg.big_lines;
    TableShape wide{"wide-" + Count(g_cfg.wide_lines) + "x" + Count(g_cfg.wide_fields),
                    g_cfg.wide_lines, g_cfg.wide_fields, {5}, "w"};
    TableShape head{"head-" + Count(g_cfg.head_columns), 1, g_cfg.head_columns, {1}, "c"};
    struct {
        TableShape *shape;
        TableFile *file;
        const char *key;
    } all[] = {{&main, &g_main, "main"}, {&big, &g_big, "big"}, {&wide, &g_wide, "wide"},
               {&head, &g_head, "head"}};
    for (auto &a : all) {
        std::fprintf(stderr, "table %s ...\n", a.shape->name.c_str());
        if (!EnsureTable(g_cfg.data_dir, *a.shape, a.file, error)) return false;
        g_tables[a.key] = a.file;
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 4 && std::strcmp(argv[1], "--peak-child") == 0) return PeakChildMain(argv[2], argv[3]);

    const char *env_size = std::getenv("TAVL_BENCH_SIZE");
    const char *env_dir = std::getenv("TAVL_BENCH_DIR");
    std::string size = env_size ? env_size : "full";
    if (env_dir) g_cfg.data_dir = env_dir;
    std::vector<char *> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a.rfind("--size=", 0) == 0) size = a.substr(7);
        else if (a.rfind("--data-dir=", 0) == 0) g_cfg.data_dir = a.substr(11);
        else if (a.rfind("--summary=", 0) == 0) g_cfg.summary_path = a.substr(10);
        else rest.push_back(argv[i]);
    }
    if (size == "small") {
        g_cfg.small = true;
        g_cfg.main_lines = 10000;
        g_cfg.big_lines = 100000;
        g_cfg.wide_lines = 100;
        g_cfg.head_columns = 10000;
        g_cfg.wide_step = 10;
        g_cfg.reps = 1;
        g_cfg.heavy_reps = 1;
        g_cfg.min_time = 0.02;
    } else if (size != "full") {
        std::fprintf(stderr, "unknown size '%s' (small or full)\n", size.c_str());
        return 2;
    }
    if (g_cfg.data_dir.empty())
        g_cfg.data_dir = (std::filesystem::temp_directory_path() / ("tavl-bench-" + size)).string();
    std::error_code ec;
    std::filesystem::create_directories(g_cfg.data_dir, ec);
    if (ec) {
        std::fprintf(stderr, "cannot create %s: %s\n", g_cfg.data_dir.c_str(), ec.message().c_str());
        return 2;
    }

    int rest_argc = static_cast<int>(rest.size());
    rest.push_back(nullptr);
    benchmark::Initialize(&rest_argc, rest.data());
    if (benchmark::ReportUnrecognizedArguments(rest_argc, rest.data())) return 2;

    std::string error;
    if (!MakeTables(&error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    RegisterAll();

    const MachineInfo machine = DescribeMachine();
    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    KeepOnly({});
    for (const auto &name : g_prepared) {
        for (const auto &t : g_tables) {
            if (t.second->shape.name == name)
                PostCloseTable(t.second->path.c_str(), IndexDir(*t.second).c_str());
        }
    }
    benchmark::Shutdown();

    std::ostringstream summary;
    const std::string note = std::string(g_cfg.small ? "Small run (a smoke test: the targets apply to the full run)"
                                                     : "Full run") +
                             "; tables in " + g_cfg.data_dir + ".";
    int missed = PrintSummary(summary, reporter, g_figures, machine, note);
    std::cout << summary.str() << missed << " target(s) not met.\n";
    if (!g_cfg.summary_path.empty()) {
        std::ofstream out(g_cfg.summary_path);
        out << summary.str();
    }
    if (!reporter.Errors().empty()) {
        std::fprintf(stderr, "%zu benchmark(s) failed\n", reporter.Errors().size());
        return 1;
    }
    return 0;
}
