/*
 * tavl_bench.cpp - the benchmark program: every figure a host needs to judge
 * tavlin32 on large tables, each beside a baseline measured in the same run.
 *
 * Tables (generated once into a scratch directory, see bench_tables.h):
 *   main  1,000,000 data lines of 10 plain fields, CR LF, 100-byte lines,
 *         100 MB (the line and field counts of the CSV peer comparison);
 *   big   10,000,000 such lines (1 GB), to see how reads scale;
 *   wide  10,000 lines of 1,000 fields;
 *   head  a header line of 100,000 columns and one data line.
 * Figures, named and measured as in the peer comparison:
 *   every cell once, row-major, GetCellValByIndex into a 64 KiB buffer, the
 *     first pass after an open (ns/cell), OPEN_EDIT and OPEN_INDEXED;
 *     OPEN_INDEXED also on the file dropped from the page cache (open
 *     included) against the same pass cached;
 *   100,000 random reads, the same (line, column) picks for every mode and
 *     pass, median of 3 passes (ns/read), cached and, OPEN_INDEXED, not cached;
 *   the OPEN_EDIT load (MB/s) and the peak memory it adds (VmHWM after minus
 *     before, × file size), both in a fresh process;
 *   SetCellValByIndex + SaveTable to a new file, durable (ms), and
 *     SetCellValByIndex alone on a 100-byte line (ns/call), once on each of
 *     the 100,000 picks of a table loaded for it;
 *   the OPEN_INDEXED open (µs), PreOpenTable and GetNumberOfLinesEx (MB/s).
 * Baselines: counting the file's LF bytes with memchr over a fresh read-only
 * mapping (every scan and read is compared with it), and, for the save,
 * writing the same bytes to a new file with 1 MiB write calls and one fsync.
 * Beside the random reads stands a reference that no code can beat: one
 * dependent load at a random place in a block as large as the file.
 *
 * The program links the shared library as a host does and uses only the
 * public header. Every call's result is checked, and every value read back is
 * compared with the generator's: a timed pass sums a cheap signature of each
 * value (ValueSignature), and an untimed pass after it compares every value
 * byte for byte and must find the same sum. A saved file is compared byte
 * for byte with the file loaded plus the one edited cell. Any wrong result
 * fails the run (exit 1). No figure fails it: the summary says which targets
 * are met.
 *
 * Options (before the Google Benchmark ones):
 *   --size=small|full   small: tables of 1/100 the lines (the header of 1/10
 *                       the columns), one repetition, to prove the program
 *                       works (also TAVL_BENCH_SIZE); full is the default
 *   --data-dir=DIR      where the tables go (also TAVL_BENCH_DIR; default: a
 *                       directory under the system's temporary directory)
 *   --summary=FILE      also write the summary table to FILE
 *   --command=TEXT      the command that ran the program, for the summary
 */
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/mman.h>
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
#include "base/processor.h"
#include "bench_tables.h"
#include "reference_select.h"
#include "tavlin32.h"

using namespace tavlbench;

namespace {

struct Config {
    bool small = false;
    std::string data_dir;
    std::string summary_path;
    std::string command;
    int32_t main_lines = 1000000;
    int32_t big_lines = 10000000;
    int32_t huge_lines = 65000000; /* 6 GiB: the full run only */
    int32_t wide_lines = 10000;
    int32_t wide_fields = 1000;
    int32_t head_columns = 100000;
    int32_t wide_step = 100;   /* every-cell reads of the wide table visit 1 line in this many */
    int reps = 5;              /* repetitions of the quick figures */
    int heavy_reps = 3;        /* repetitions of the figures that take seconds */
    double min_time = 0.5;     /* seconds per repetition of a self-timed figure */
};

/* The random reads: this many picks, read in this many passes (median). */
const size_t kPicks = 100000;
const int kRandomPasses = 3;
/* The read buffer, as large as a host's usual one. */
const int32_t kReadBuffer = 64 * 1024;
/* The value the save figure writes (longer than the cell it replaces, so the
 * line grows), and where. */
const char kEditValue[] = "edited-value";
const int32_t kEditColumn = 3;

Config g_cfg;
TableFile g_main, g_big, g_wide, g_head, g_huge;
std::map<std::string, TableFile *> g_tables;
std::map<std::string, TableHandle *> g_held;  /* open tables kept between figures */
std::set<std::string> g_prepared;              /* tables whose index file this run wrote */
std::vector<Figure> g_figures;
std::set<std::string> g_failed;                /* benchmarks with a failed repetition */
std::vector<uint32_t> g_chain;   /* the latency reference's block, one table at a time */
std::string g_chain_of;
/* The line-store reference's file, mapped read-only as an indexed table maps
 * it (with a zero page after it for the last line's window), and its line
 * offsets. */
const char *g_store_text = nullptr;
size_t g_store_mapped = 0;
std::vector<uint64_t> g_store_lines;
std::string g_store_of;

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

bool IsIndexedKey(const std::string &key) {
    return key.size() > 4 && key.compare(key.size() - 4, 4, ".idx") == 0;
}

void CloseAndFree(TableHandle *h) {
    CloseTable(h);
    FreeTable(h);
}

void Release(const std::string &key) {
    auto it = g_held.find(key);
    if (it == g_held.end()) return;
    CloseAndFree(it->second);
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
    if (std::find(keep.begin(), keep.end(), "store") == keep.end()) {
        if (g_store_text) munmap(const_cast<char *>(g_store_text), g_store_mapped);
        g_store_text = nullptr;
        std::vector<uint64_t>().swap(g_store_lines);
        g_store_of.clear();
    }
}

/* Compares a table's line and column counts with its shape. */
bool CheckCounts(const TableFile &t, int rc_lines, int32_t lines, int rc_columns, int32_t columns,
                 std::string *error) {
    if (rc_columns != TBL_OK || columns != t.shape.fields) {
        *error = "GetColumnCount: rc " + std::to_string(rc_columns) + ", " +
                 std::to_string(columns) + " columns, expected " + std::to_string(t.shape.fields);
        return false;
    }
    if (rc_lines != TBL_OK || lines != t.shape.data_lines) {
        *error = "GetLineCount: rc " + std::to_string(rc_lines) + ", " + std::to_string(lines) +
                 " lines, expected " + std::to_string(t.shape.data_lines);
        return false;
    }
    return true;
}

bool CheckShape(TableHandle *h, const TableFile &t, std::string *error) {
    int32_t columns = -1, lines = -1;
    int rc_columns = GetColumnCount(h, &columns);
    int rc_lines = GetLineCount(h, &lines);
    return CheckCounts(t, rc_lines, lines, rc_columns, columns, error);
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
        CloseAndFree(h);
        return nullptr;
    }
    return h;
}

/* Writes the table's index file; *seconds, when given, receives the time
 * the PreOpenTable call took. */
int Prepare(const TableFile &t, double *seconds = nullptr) {
    mkdir(IndexDir(t).c_str(), 0755);
    double t0 = Now();
    int rc = PreOpenTable(t.path.c_str(), IndexDir(t).c_str(), kComma, &kOneHeader, 1);
    if (seconds) *seconds = Now() - t0;
    if (rc == TBL_OK) g_prepared.insert(t.shape.name);
    return rc;
}

/* Writes the table's index file unless this run already did. */
bool EnsurePrepared(const TableFile &t, std::string *error) {
    if (g_prepared.count(t.shape.name)) return true;
    int rc = Prepare(t);
    if (rc != TBL_OK) *error = Err("PreOpenTable", rc);
    return rc == TBL_OK;
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
    bool indexed = IsIndexedKey(key);
    if (indexed && !EnsurePrepared(*t, error)) return nullptr;
    TableHandle *h = OpenChecked(t, indexed ? OPEN_INDEXED : OPEN_EDIT,
                                 IndexDir(*t).c_str(), error, nullptr);
    if (!h) return nullptr;
    g_held[key] = h;
    return h;
}

/* Reads cell (line, column) and compares it byte for byte with the n bytes
 * of want (and the NUL after them). */
bool CheckCell(TableHandle *h, int32_t line, int32_t column, const char *want, int n,
               std::string *error) {
    char got[256];
    int32_t size = 0;
    int rc = GetCellValByIndex(h, column, line, got, &size, sizeof got);
    if (rc != TBL_OK || size != n + 1 || std::memcmp(got, want, static_cast<size_t>(n)) != 0 ||
        got[n] != '\0') {
        *error = "cell (" + std::to_string(line) + "," + std::to_string(column) + "): rc " +
                 std::to_string(rc) + ", read '" + std::string(got, rc == TBL_OK ? strnlen(got, sizeof got) : 0) +
                 "', expected '" + std::string(want, static_cast<size_t>(n)) + "'";
        return false;
    }
    return true;
}

/* ---- Checked read passes ------------------------------------------------ */

/* The cells a read pass visits, in order: every cell of every step-th data
 * line, row-major, or a list of picks. */
struct CellOrder {
    const TableFile *t = nullptr;
    int32_t step = 1;
    const std::vector<std::pair<int32_t, int32_t>> *picks = nullptr;

    template <class Fn> void ForEach(Fn fn) const {
        if (picks) {
            for (const auto &p : *picks) fn(p.first, p.second);
            return;
        }
        const int32_t fields = t->shape.fields;
        for (int32_t r = 0; r < t->shape.data_lines; r += step)
            for (int32_t c = 0; c < fields; ++c) fn(r, c);
    }
    uint64_t Count() const {
        if (picks) return picks->size();
        uint64_t lines = (static_cast<uint64_t>(t->shape.data_lines) + static_cast<uint64_t>(step) - 1) /
                         static_cast<uint64_t>(step);
        return lines * static_cast<uint64_t>(t->shape.fields);
    }
};

CellOrder ScanOrder(const TableFile &t, int32_t step) {
    CellOrder o;
    o.t = &t;
    o.step = step;
    return o;
}

/* The random (line, column) picks of a table, the same in every run, every
 * mode and every pass. */
CellOrder PickOrder(const TableFile &t) {
    static std::map<std::string, std::vector<std::pair<int32_t, int32_t>>> cache;
    auto &v = cache[t.shape.name];
    if (v.empty()) {
        SplitMix mix(0x7461766cull ^ static_cast<uint64_t>(t.shape.data_lines));
        v.resize(kPicks);
        for (auto &p : v) {
            p.first = static_cast<int32_t>(mix.Next() % static_cast<uint64_t>(t.shape.data_lines));
            p.second = static_cast<int32_t>(mix.Next() % static_cast<uint64_t>(t.shape.fields));
        }
    }
    CellOrder o;
    o.t = &t;
    o.picks = &v;
    return o;
}

/* Reads the cells of the order once, timed (*seconds), each into a buffer as
 * a host would, and sums the ValueSignature of every value read. Then reads
 * them again, untimed, comparing each value byte for byte with the
 * generator's, and sums the signatures of the generator's values: the two
 * sums must agree, so the values of the timed pass are checked too. */
bool ReadPass(TableHandle *h, const CellOrder &order, double *seconds, std::string *error) {
    static std::vector<char> buffer(kReadBuffer);
    char *buf = buffer.data();
    uint64_t sum = 0, k = 0;
    int bad = TBL_OK;
    double t0 = Now();
    order.ForEach([&](int32_t line, int32_t column) {
        int32_t size = 0;
        int rc = GetCellValByIndex(h, column, line, buf, &size, kReadBuffer);
        if (rc != TBL_OK) bad = rc;
        size_t n = rc == TBL_OK && size >= 1 && size <= kReadBuffer ? static_cast<size_t>(size - 1) : 0;
        sum += ValueSignature(k++, buf, n);
    });
    *seconds = Now() - t0;
    if (bad != TBL_OK) {
        *error = Err("GetCellValByIndex", bad);
        return false;
    }
    uint64_t want_sum = 0;
    bool ok = true;
    char want[256];
    k = 0;
    order.ForEach([&](int32_t line, int32_t column) {
        int n = CellValue(order.t->shape, line, column, want);
        want_sum += ValueSignature(k++, want, static_cast<size_t>(n));
        if (ok) ok = CheckCell(h, line, column, want, n, error);
    });
    if (ok && sum != want_sum)
        *error = "the values of the timed pass differ from the table's, though the checking pass "
                 "read every one right";
    return ok && sum == want_sum;
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

/* The least a random read costs any table that keeps no offset per cell:
 * the file mapped read-only with the offset of each line (as an indexed
 * table holds them), and for each pick the line's offset and the next
 * one, the branch-light select of a 128-byte window of the line (the
 * library's own in the form the library takes here, reference_select.inc)
 * and the field's copy into a buffer,
 * in the benchmark's own loop with no call. The peers' readers keep an
 * offset per cell and skip the select. Over the same picks as the
 * random-read figures. */
void LineStoreReference(benchmark::State &state, TableFile *t) {
    KeepOnly({"store"});
    const int kind = ProcessorVectorKind();
    if (kind < PROCESSOR_AVX2) {
        state.SkipWithError("the processor lacks AVX2 or a fast bit deposit");
        return;
    }
    const auto pass = kind >= PROCESSOR_AVX512 ? SelectReferencePassAvx512 : SelectReferencePassAvx2;
    std::vector<uint64_t> &lines = g_store_lines;
    if (g_store_of != t->shape.name) {
        if (g_store_text) munmap(const_cast<char *>(g_store_text), g_store_mapped);
        g_store_text = nullptr;
        const size_t size = static_cast<size_t>(t->bytes);
        g_store_mapped = (size + 4095) / 4096 * 4096 + 4096;
        void *room = mmap(nullptr, g_store_mapped, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        const int fd = open(t->path.c_str(), O_RDONLY);
        if (room == MAP_FAILED || fd < 0 ||
            mmap(room, size, PROT_READ, MAP_SHARED | MAP_FIXED, fd, 0) == MAP_FAILED) {
            if (fd >= 0) close(fd);
            if (room != MAP_FAILED) munmap(room, g_store_mapped);
            state.SkipWithError("cannot map the table file");
            return;
        }
        close(fd);
        madvise(room, size, MADV_RANDOM);
        g_store_text = static_cast<const char *>(room);
        lines.clear();
        for (size_t at = 0; at < size;) {
            lines.push_back(at);
            const void *lf = std::memchr(g_store_text + at, '\n', size - at);
            at = lf ? static_cast<size_t>(static_cast<const char *>(lf) - g_store_text) + 1 : size;
        }
        lines.push_back(size);
        g_store_of = t->shape.name;
    }
    const CellOrder order = PickOrder(*t);
    static std::vector<char> buffer(kReadBuffer);
    uint64_t sum = 0;
    size_t unanswered = 0;
    for (auto _ : state)
        sum += pass(g_store_text, lines, *order.picks, buffer.data(), &unanswered);
    if (unanswered) state.SkipWithError("the window could not tell a picked field");
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(order.Count()));
}

/* What a fresh process that loads the table (or only maps and scans it)
 * reports: the time of the load and the peak resident memory it added. */
struct ChildLoad {
    int rc = -1;
    double seconds = 0;
    unsigned long long added = 0; /* VmHWM after minus before, bytes */
    long long lines = -1;         /* data lines, or LF bytes for the scan */
    int columns = -1;
};

/* Runs this program again as a process that only loads the table (mode
 * "edit") or only maps and scans it ("map"). A fresh process, because this
 * one has long since passed any peak a load alone would make, and its heap
 * would be warm. */
bool RunLoadChild(const char *mode, const std::string &path, ChildLoad *out, std::string *error) {
    int fds[2];
    if (pipe(fds) != 0) {
        *error = "pipe failed";
        return false;
    }
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        *error = "fork failed";
        return false;
    }
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        execl("/proc/self/exe", "tavl_bench", "--load-child", mode, path.c_str(),
              static_cast<char *>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    std::string text;
    char buf[256];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
        std::sscanf(text.c_str(), "rc %d seconds %lf added %llu lines %lld columns %d", &out->rc,
                    &out->seconds, &out->added, &out->lines, &out->columns) != 5) {
        *error = std::string("load process (") + mode + ") failed: " + text;
        return false;
    }
    return true;
}

int LoadChildMain(const std::string &mode, const std::string &path) {
    ChildLoad r;
    uint64_t before = PeakResidentBytes();
    if (mode == "edit") {
        TableHandle *h = nullptr;
        r.rc = NewTable(&h);
        double t0 = Now();
        if (r.rc == TBL_OK) r.rc = OpenTable(path.c_str(), h, OPEN_EDIT, kComma, &kOneHeader, nullptr);
        r.seconds = Now() - t0;
        r.added = PeakResidentBytes() - before;
        int32_t lines = -1, columns = -1;
        if (r.rc == TBL_OK) {
            GetLineCount(h, &lines);
            GetColumnCount(h, &columns);
        }
        r.lines = lines;
        r.columns = columns;
        if (h) CloseAndFree(h);
    } else {
        uint64_t lf = 0;
        double t0 = Now();
        r.rc = CountNewlinesMapped(path, &lf) ? 0 : -1;
        r.seconds = Now() - t0;
        r.added = PeakResidentBytes() - before;
        r.lines = static_cast<long long>(lf);
        r.columns = 0;
    }
    std::printf("rc %d seconds %.9f added %llu lines %lld columns %d\n", r.rc, r.seconds, r.added,
                r.lines, r.columns);
    return 0;
}

/* The OPEN_EDIT load in a fresh process: its time, the peak memory it adds,
 * and, as the memory baseline, what mapping and scanning the file adds. */
void LoadFresh(benchmark::State &state, TableFile *t) {
    KeepOnly({});
    double added = 0, base = 0;
    for (auto _ : state) {
        std::string error;
        ChildLoad load, scan;
        if (!RunLoadChild("edit", t->path, &load, &error) ||
            !RunLoadChild("map", t->path, &scan, &error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        if (load.rc != TBL_OK) error = Err("OpenTable", load.rc);
        else CheckCounts(*t, TBL_OK, static_cast<int32_t>(load.lines), TBL_OK, load.columns, &error);
        if (error.empty() && (scan.rc != 0 || scan.lines != t->shape.data_lines + 1))
            error = "the mapped scan counted " + std::to_string(scan.lines) + " LF bytes";
        if (!error.empty()) {
            state.SkipWithError(error.c_str());
            break;
        }
        state.SetIterationTime(load.seconds);
        added = static_cast<double>(load.added);
        base = static_cast<double>(scan.added);
    }
    state.counters["rss_added_per_file"] = added / static_cast<double>(t->bytes);
    state.counters["baseline_rss_added_per_file"] = base / static_cast<double>(t->bytes);
    state.SetBytesProcessed(static_cast<int64_t>(t->bytes) * state.iterations());
}

void SaveBaseline(benchmark::State &state, TableFile *t, std::string keep) {
    KeepOnly({keep});
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

/* One cell set and the whole table saved to a new file (SaveTable writes a
 * temporary file, syncs it, renames it and syncs the folder). The saved file
 * must be the file loaded with that one cell changed, byte for byte. */
void SaveDurable(benchmark::State &state, TableFile *t, std::string key) {
    KeepOnly({key});
    std::string error;
    TableHandle *h = Acquire(key, &error);
    if (!h) {
        state.SkipWithError(error.c_str());
        return;
    }
    const int32_t line = t->shape.data_lines / 2;
    const int32_t column = kEditColumn % t->shape.fields;
    const int32_t length = static_cast<int32_t>(std::strlen(kEditValue));
    std::vector<char> want, got;
    if (!ReadWholeFile(t->path, &want)) {
        state.SkipWithError("cannot read the table file");
        return;
    }
    auto at = want.begin() + static_cast<std::ptrdiff_t>(CellOffset(*t, line, column));
    at = want.erase(at, at + ColumnWidth(t->shape, column));
    want.insert(at, kEditValue, kEditValue + length);

    const std::string out = g_cfg.data_dir + "/save.out";
    for (auto _ : state) {
        unlink(out.c_str());
        double t0 = Now();
        int rc = SetCellValByIndex(h, column, line, kEditValue, length);
        if (rc == TBL_OK) rc = SaveTable(h, out.c_str());
        state.SetIterationTime(Now() - t0);
        if (rc != TBL_OK) {
            state.SkipWithError(Err("SetCellValByIndex + SaveTable", rc).c_str());
            break;
        }
        if (!ReadWholeFile(out, &got)) {
            state.SkipWithError("cannot read the saved file back");
            break;
        }
        if (got != want) {
            auto diff = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
            error = "the saved file (" + std::to_string(got.size()) + " bytes) differs from the file "
                    "loaded with one cell set (" + std::to_string(want.size()) +
                    " bytes) from byte " + std::to_string(diff.first - got.begin());
            state.SkipWithError(error.c_str());
            break;
        }
    }
    unlink(out.c_str());
}

/* Before a read pass: reads the table file into the page cache or, cold,
 * drops it from there, and tells the share of the file the cache then holds. */
bool SetPageCache(const TableFile &t, bool cold, double *share, std::string *error) {
    uint64_t lf = 0;
    if (cold ? !DropFromPageCache(t.path) : !CountNewlinesMapped(t.path, &lf)) {
        *error = cold ? "cannot drop the table file from the page cache"
                      : "cannot read the table file into the page cache";
        return false;
    }
    *share = CachedShare(t.path);
    return true;
}

/* Read passes over a table already open under key (kept between figures),
 * one per iteration. An indexed table's file is read into the page cache
 * before each pass, and the share found there when the pass began is
 * reported. */
void HeldPasses(benchmark::State &state, TableFile *t, std::string key, CellOrder order) {
    KeepOnly({key});
    std::string error;
    TableHandle *h = Acquire(key, &error);
    if (!h) {
        state.SkipWithError(error.c_str());
        return;
    }
    const bool indexed = IsIndexedKey(key);
    double cached = 0;
    for (auto _ : state) {
        double seconds = 0;
        if ((indexed && !SetPageCache(*t, false, &cached, &error)) ||
            !ReadPass(h, order, &seconds, &error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        state.SetIterationTime(seconds);
    }
    if (indexed) state.counters["cached_at_start"] = cached;
    state.SetItemsProcessed(static_cast<int64_t>(order.Count()) * state.iterations());
}

/* Read passes, each the first over a table opened for it, as a host that
 * opens a table to read it would see them. Cached, the file is read into the
 * page cache first and the pass alone is timed. Cold (OPEN_INDEXED), the
 * file's pages are dropped (its index file stays cached), and the open and
 * the pass are timed together. The share of the file in the page cache when
 * the open began is reported. */
void OpenedPasses(benchmark::State &state, TableFile *t, int32_t mode, CellOrder order, bool cold) {
    KeepOnly({});
    std::string error;
    if (mode == OPEN_INDEXED && !EnsurePrepared(*t, &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    double cached = 0;
    for (auto _ : state) {
        double open_seconds = 0, pass_seconds = 0;
        TableHandle *h = SetPageCache(*t, cold, &cached, &error)
                             ? OpenChecked(t, mode, IndexDir(*t).c_str(), &error, &open_seconds)
                             : nullptr;
        if (!h) {
            state.SkipWithError(error.c_str());
            break;
        }
        bool ok = ReadPass(h, order, &pass_seconds, &error);
        CloseAndFree(h);
        if (!ok) {
            state.SkipWithError(error.c_str());
            break;
        }
        state.SetIterationTime(pass_seconds + (cold ? open_seconds : 0));
    }
    if (mode == OPEN_INDEXED) state.counters["cached_at_start"] = cached;
    state.SetItemsProcessed(static_cast<int64_t>(order.Count()) * state.iterations());
}

/* SetCellValByIndex once on each of the random picks, timed together, on a
 * table loaded for the repetition, so that nearly every call changes a line
 * no call changed before; each cell gets a value of its own width (the line
 * keeps its length). Afterwards every cell written reads back as written. */
void SetCells(benchmark::State &state, TableFile *t) {
    KeepOnly({});
    const std::string zeds(256, 'Z');
    const auto &cells = *PickOrder(*t).picks;
    for (auto _ : state) {
        std::string error;
        TableHandle *h = OpenChecked(t, OPEN_EDIT, nullptr, &error, nullptr);
        if (!h) {
            state.SkipWithError(error.c_str());
            break;
        }
        int bad = TBL_OK;
        double t0 = Now();
        for (const auto &p : cells) {
            int rc = SetCellValByIndex(h, p.second, p.first, zeds.data(), ColumnWidth(t->shape, p.second));
            if (rc != TBL_OK) bad = rc;
        }
        state.SetIterationTime(Now() - t0);
        if (bad != TBL_OK) error = Err("SetCellValByIndex", bad);
        for (size_t k = 0; k < cells.size() && error.empty(); ++k)
            CheckCell(h, cells[k].first, cells[k].second, zeds.data(),
                      ColumnWidth(t->shape, cells[k].second), &error);
        CloseAndFree(h);
        if (!error.empty()) {
            state.SkipWithError(error.c_str());
            break;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(cells.size()) * state.iterations());
}

void PreOpen(benchmark::State &state, TableFile *t) {
    KeepOnly({});
    for (auto _ : state) {
        double seconds = 0;
        int rc = Prepare(*t, &seconds);
        state.SetIterationTime(seconds);
        if (rc != TBL_OK) {
            state.SkipWithError(Err("PreOpenTable", rc).c_str());
            break;
        }
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
    std::string error;
    if (mode == OPEN_INDEXED && !EnsurePrepared(*t, &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    for (auto _ : state) {
        double seconds = 0;
        TableHandle *h = OpenChecked(t, mode, IndexDir(*t).c_str(), &error, &seconds);
        state.SetIterationTime(seconds);
        if (!h) {
            state.SkipWithError(error.c_str());
            break;
        }
        CloseAndFree(h);
    }
}

/* The least an open of a mapped table costs on this machine: the data file
 * and its index file each opened, mapped read-only and one byte of each
 * read (a page fault each): what OPEN_INDEXED does before it reads anything
 * of the table. Timed like the open (the unmapping, like the close, not). */
void MapReference(benchmark::State &state, TableFile *t) {
    KeepOnly({});
    std::string error;
    if (!EnsurePrepared(*t, &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    std::string index;
    for (const auto &entry : std::filesystem::directory_iterator(IndexDir(*t)))
        if (entry.path().extension() == ".idx") index = entry.path().string();
    const std::string paths[2] = {t->path, index};
    unsigned sum = 0;
    for (auto _ : state) {
        void *views[2] = {nullptr, nullptr};
        size_t sizes[2] = {0, 0};
        double t0 = Now();
        for (int k = 0; k < 2; ++k) {
            const std::string &path = paths[k];
            int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            struct stat st;
            if (fd < 0 || fstat(fd, &st) != 0 || st.st_size == 0) {
                if (fd >= 0) close(fd);
                state.SkipWithError("cannot open a file to map");
                return;
            }
            void *view = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
            close(fd);
            if (view == MAP_FAILED) {
                state.SkipWithError("cannot map a file");
                return;
            }
            sum += *static_cast<const volatile unsigned char *>(view);
            views[k] = view;
            sizes[k] = static_cast<size_t>(st.st_size);
        }
        state.SetIterationTime(Now() - t0); /* the close of a table is not timed either */
        for (int k = 0; k < 2; ++k) munmap(views[k], sizes[k]);
    }
    benchmark::DoNotOptimize(sum);
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

/* Target texts of the figures whose targets are the peer comparison's. */
const char kFasterThanPeers[] = "faster than every peer";
const char kSeePeers[] = "see the peer comparison";

struct Registrar {
    TableFile *t;
    std::string label;

    std::string Name(const std::string &what) const { return t->shape.name + "/" + what; }

    /* Once a repetition fails, the later ones fail at once too: the figure
     * then has no median made of the repetitions that happened to pass (and
     * Google Benchmark 1.7 crashes summing repetitions when the first one
     * failed and a later one did not). */
    benchmark::internal::Benchmark *Register(const std::string &what,
                                             std::function<void(benchmark::State &)> fn) const {
        const std::string name = Name(what);
        return benchmark::RegisterBenchmark(name.c_str(), [name, fn](benchmark::State &s) {
            if (g_failed.count(name)) {
                s.SkipWithError("an earlier repetition failed");
                return;
            }
            fn(s);
            if (s.error_occurred()) g_failed.insert(name);
        });
    }

    /* A figure timed by the program: one iteration per repetition. */
    benchmark::internal::Benchmark *Timed(const std::string &what, int reps,
                                          std::function<void(benchmark::State &)> fn) const {
        return Register(what, fn)
            ->UseManualTime()
            ->Iterations(1)
            ->Repetitions(reps)
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::internal::Benchmark *Auto(const std::string &what, int reps,
                                         std::function<void(benchmark::State &)> fn,
                                         bool manual = false) const {
        auto *b = Register(what, fn)
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
    /* A figure in ns per item, the memchr baseline taken over bytes_per_item. */
    Figure PerItem(const std::string &what, const std::string &text, const std::string &item,
                   double items_per_iter, double bytes_per_item) const {
        Figure f = Base(what, text, Unit::kNsPer);
        f.item = item;
        f.cells_per_iter = items_per_iter;
        f.baseline_bytes = bytes_per_item;
        return f;
    }
    void Add(Figure f, Target target = Target::kNone, double limit = 0,
             std::string text = "") const {
        f.target = target;
        f.limit = limit;
        f.target_text = std::move(text);
        g_figures.push_back(std::move(f));
    }
    /* A figure that is itself the baseline of others. */
    void AddBaseline(Figure f) const {
        f.baseline_bench.clear();
        Add(std::move(f));
    }
    /* A figure whose target is judged by the peer comparison. */
    void AddPeerTarget(Figure f) const {
        f.met_text = kSeePeers;
        Add(std::move(f), Target::kNone, 0, kFasterThanPeers);
    }

    void Baseline() const {
        TableFile *tt = t;
        Auto("baseline_memchr", g_cfg.reps, [tt](benchmark::State &s) { BaselineScan(s, tt); })
            ->Unit(benchmark::kMillisecond);
        AddBaseline(Base("baseline_memchr", "baseline: LF count, memchr over a mapping (MB/s)",
                         Unit::kMBps));
    }
    void Latency() const {
        TableFile *tt = t;
        Auto("reference_latency", g_cfg.reps, [tt](benchmark::State &s) { LatencyReference(s, tt); });
        Figure f = PerItem("reference_latency",
                           "reference: one dependent load at random in a block of the file's size",
                           "load", 1, 0);
        f.reference = true;
        AddBaseline(f);
    }
    void LineStore() const {
        TableFile *tt = t;
        Auto("reference_line_store", g_cfg.reps,
             [tt](benchmark::State &s) { LineStoreReference(s, tt); });
        Figure f = PerItem("reference_line_store",
                           "reference: a random read of a line store (line offsets, "
                           "branch-light select of the field, copy; no call)",
                           "read", static_cast<double>(kPicks), 0);
        f.reference = true;
        AddBaseline(f);
    }
    /* The OPEN_EDIT load and the memory it adds, in a fresh process. */
    void Load(int reps, bool with_memory_target) const {
        TableFile *tt = t;
        Timed("load_EDIT_fresh", reps, [tt](benchmark::State &s) { LoadFresh(s, tt); });
        Add(Base("load_EDIT_fresh",
                 "load whole table (MB/s of file, wall): OpenTable OPEN_EDIT, fresh process",
                 Unit::kMBps));
        Figure f = Base("load_EDIT_fresh", "peak RSS added by the load (x file size)", Unit::kPerFile);
        f.counter = "rss_added_per_file";
        f.baseline_counter = "baseline_rss_added_per_file";
        if (with_memory_target) Add(f, Target::kAtMost, 1.20, "≤ 1.20 × file size");
        else Add(f);
    }
    /* Every cell once (1 line in step), row-major, the first pass after an
     * open. */
    Figure ReadEvery(int32_t mode, int32_t step) const {
        TableFile *tt = t;
        const std::string name = mode == OPEN_INDEXED ? "INDEXED" : "EDIT";
        const std::string what = "every_cell_" + name;
        const CellOrder order = ScanOrder(*t, step);
        Timed(what, g_cfg.heavy_reps,
              [tt, mode, order](benchmark::State &s) { OpenedPasses(s, tt, mode, order, false); });
        Figure f = PerItem(what,
                           "every cell once (ns/cell, wall), OPEN_" + name +
                               (step > 1 ? ", 1 line in " + std::to_string(step) : std::string()),
                           "cell", static_cast<double>(order.Count()),
                           t->line_bytes / t->shape.fields);
        if (mode == OPEN_INDEXED) f.cached_counter = "cached_at_start";
        return f;
    }
    Figure Random(const std::string &key) const {
        TableFile *tt = t;
        const std::string mode = IsIndexedKey(key) ? "INDEXED" : "EDIT";
        const std::string what = "random_reads_" + mode;
        const CellOrder order = PickOrder(*t);
        Timed(what, kRandomPasses,
              [tt, key, order](benchmark::State &s) { HeldPasses(s, tt, key, order); });
        Figure f = PerItem(what, "100k random reads (ns/read, wall), OPEN_" + mode, "read",
                           static_cast<double>(kPicks), t->line_bytes);
        if (IsIndexedKey(key)) f.cached_counter = "cached_at_start";
        return f;
    }
    /* The OPEN_INDEXED passes of the figure `cached` again, each after an
     * open of the file dropped from the page cache; the cached figure is the
     * baseline. */
    Figure Cold(const Figure &cached, const std::string &what, const std::string &text,
                CellOrder order, int reps) const {
        TableFile *tt = t;
        Timed(what, reps,
              [tt, order](benchmark::State &s) { OpenedPasses(s, tt, OPEN_INDEXED, order, true); });
        Figure f = cached;
        f.bench = Name(what);
        f.label = text;
        f.baseline_bench = cached.bench;
        f.baseline_same_unit = true;
        f.met_text.clear();
        return f;
    }
    void PreOpenTableFigure(int reps, bool target) const {
        TableFile *tt = t;
        Timed("PreOpenTable", reps, [tt](benchmark::State &s) { PreOpen(s, tt); });
        Figure f = Base("PreOpenTable", "PreOpenTable (MB/s)", Unit::kMBps);
        if (target) Add(f, Target::kRatioAtLeast, 0.5, "≥ 0.5 × baseline");
        else Add(f);
    }
    void MapTouch(int reps) const {
        TableFile *tt = t;
        Auto("reference_map", reps, [tt](benchmark::State &s) { MapReference(s, tt); }, true)
            ->Unit(benchmark::kMicrosecond);
        Figure f = Base("reference_map",
                        "reference: map the data and index files, read a byte of each (us)",
                        Unit::kMicros);
        f.reference = true;
        AddBaseline(f);
    }
    /* One OpenTable call, in µs or in ms; the target is 100 of that unit. */
    void Open(int32_t mode, int reps, bool micros) const {
        TableFile *tt = t;
        const std::string name = mode == OPEN_INDEXED ? "INDEXED" : "EDIT";
        Auto("open_" + name, reps, [tt, mode](benchmark::State &s) { OpenOnce(s, tt, mode); }, true)
            ->Unit(micros ? benchmark::kMicrosecond : benchmark::kMillisecond);
        Add(Base("open_" + name, "OpenTable OPEN_" + name + (micros ? " (us)" : " (ms)"),
                 micros ? Unit::kMicros : Unit::kMillis),
            Target::kAtMost, 100, micros ? "≤ 100 µs" : "≤ 100 ms");
    }
};

void RegisterAll() {
    const int reps = g_cfg.reps, heavy = g_cfg.heavy_reps;

    Registrar m{&g_main, Megabytes(g_main.bytes) + ", " + Count(g_main.shape.data_lines) + " lines"};
    m.Baseline();
    m.Latency();
    m.LineStore();
    m.Load(heavy, true);
    /* The save writes to main.set, so that main.edit reads the generated
     * values. */
    m.Timed("write_fsync_baseline", reps,
            [](benchmark::State &s) { SaveBaseline(s, &g_main, "main.set"); });
    m.AddBaseline(m.Base("write_fsync_baseline",
                         "baseline: the file's bytes, 1 MiB writes + fsync (ms)", Unit::kMillis));
    m.Timed("set_and_save", heavy, [](benchmark::State &s) { SaveDurable(s, &g_main, "main.set"); });
    {
        Figure f = m.Base("set_and_save", "set 1 cell + durable save to a new file (ms)",
                          Unit::kMillis);
        f.baseline_bench = m.Name("write_fsync_baseline");
        m.Add(f);
    }
    m.Timed("SetCellValByIndex", reps, [](benchmark::State &s) { SetCells(s, &g_main); });
    m.Add(m.PerItem("SetCellValByIndex",
                    "SetCellValByIndex on a " + std::to_string(static_cast<int>(g_main.line_bytes)) +
                        "-byte line (ns/call), 100k random cells of a fresh load",
                    "call", static_cast<double>(kPicks), g_main.line_bytes),
          Target::kAtMost, 300, "≤ 300 ns");
    m.AddPeerTarget(m.ReadEvery(OPEN_EDIT, 1));
    m.Add(m.Random("main.edit"));
    m.PreOpenTableFigure(reps, true);
    m.Timed("GetNumberOfLinesEx", reps, [](benchmark::State &s) { CountLines(s, &g_main); });
    m.Add(m.Base("GetNumberOfLinesEx", "GetNumberOfLinesEx (MB/s)", Unit::kMBps),
          Target::kRatioAtLeast, 1.0 / 3, "≥ 0.33 × baseline");
    m.MapTouch(reps);
    m.Open(OPEN_INDEXED, reps, true);
    {
        Figure cached = m.ReadEvery(OPEN_INDEXED, 1);
        m.AddPeerTarget(cached);
        m.Add(m.Cold(cached, "every_cell_INDEXED_cold",
                     "every cell once, file not in the page cache (ns/cell, wall; open included), "
                     "OPEN_INDEXED",
                     ScanOrder(g_main, 1), heavy),
              Target::kRatioAtMost, 2, "≤ 2 × cached");
    }
    {
        Figure cached = m.Random("main.idx");
        m.Add(cached);
        m.Add(m.Cold(cached, "random_reads_INDEXED_cold",
                     "100k random reads, file not in the page cache (ns/read, wall; open "
                     "included), OPEN_INDEXED",
                     PickOrder(g_main), kRandomPasses),
              Target::kNone, 0, "no slower than before (compare runs)");
    }

    Registrar b{&g_big, Megabytes(g_big.bytes) + ", " + Count(g_big.shape.data_lines) + " lines"};
    b.Baseline();
    b.Latency();
    b.LineStore();
    b.Load(1, true);
    b.Add(b.Random("big.edit"));
    b.PreOpenTableFigure(heavy, true);
    b.MapTouch(reps);
    b.Open(OPEN_INDEXED, reps, true);
    Figure big_random = b.Random("big.idx");
    b.Add(big_random);

    /* Past 4 GiB the index takes 64-bit offsets; the full run only. */
    if (!g_cfg.small) {
        Registrar u{&g_huge, Megabytes(g_huge.bytes) + ", " + Count(g_huge.shape.data_lines) + " lines"};
        u.Baseline();
        u.PreOpenTableFigure(heavy, true);
        u.Open(OPEN_INDEXED, reps, true);
        Figure f = u.Random("huge.idx");
        f.baseline_bench = big_random.bench;
        f.baseline_same_unit = true;
        u.Add(f, Target::kRatioAtMost, 1.3, "≤ 1.3 × the 1 GB table");
    }

    Registrar w{&g_wide, Megabytes(g_wide.bytes) + ", " + Count(g_wide.shape.data_lines) +
                             " lines × " + Count(g_wide.shape.fields) + " fields"};
    w.Baseline();
    w.Load(heavy, false);
    w.Add(w.ReadEvery(OPEN_EDIT, g_cfg.wide_step));
    w.Add(w.Random("wide.edit"));
    w.PreOpenTableFigure(heavy, false);
    w.Add(w.ReadEvery(OPEN_INDEXED, g_cfg.wide_step));
    w.Add(w.Random("wide.idx"));

    Registrar h{&g_head, "header of " + Count(g_head.shape.fields) + " columns"};
    h.Baseline();
    h.Open(OPEN_EDIT, heavy, false);
    h.Open(OPEN_INDEXED, heavy, false);
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
    TableShape huge = main;
    huge.name = "huge-" + Count(g_cfg.huge_lines);
    huge.data_lines = g_cfg.huge_lines;
    struct {
        TableShape *shape;
        TableFile *file;
        const char *key;
    } all[] = {{&main, &g_main, "main"}, {&big, &g_big, "big"}, {&wide, &g_wide, "wide"},
               {&head, &g_head, "head"}, {&huge, &g_huge, "huge"}};
    for (auto &a : all) {
        if (a.file == &g_huge && g_cfg.small) continue;
        std::fprintf(stderr, "table %s ...\n", a.shape->name.c_str());
        if (!EnsureTable(g_cfg.data_dir, *a.shape, a.file, error)) return false;
        g_tables[a.key] = a.file;
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 4 && std::strcmp(argv[1], "--load-child") == 0) return LoadChildMain(argv[2], argv[3]);

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
        else if (a.rfind("--command=", 0) == 0) g_cfg.command = a.substr(10);
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
    std::fprintf(stderr, "tables in %s\n", g_cfg.data_dir.c_str());
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
    /* The summary names no path of this machine: it is pasted into documents. */
    std::string note = std::string(g_cfg.small ? "Small run (a smoke test: the targets apply to the full run)"
                                               : "Full run") +
                       "; file system of the tables: " + FileSystemOf(g_cfg.data_dir) + ".";
    if (!g_cfg.command.empty()) note += " Command: `" + g_cfg.command + "`.";
    note += " Targets marked \"" + std::string(kSeePeers) +
            "\" compare with other CSV libraries, which this program does not run "
            "(docs/benchmarks.md gives the last comparison).";
    const TargetTally tally = PrintSummary(summary, reporter, g_figures, machine, note);
    /* A report of the figures, not a verdict: the run's exit status says
     * only whether every call and every value read back was right. */
    std::cout << summary.str() << "figures: " << tally.met << " of "
              << tally.met + tally.missed + tally.not_run << " targets met";
    if (tally.not_run) std::cout << ", " << tally.not_run << " not run";
    std::cout << "; see the table above"
              << (g_cfg.small ? " (a small run: the targets are set for the full run)" : "")
              << ".\n";
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
