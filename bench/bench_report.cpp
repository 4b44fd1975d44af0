/*
 * bench_report.cpp - collects the repetitions of every benchmark and prints
 * the summary: one row per figure with its median, the baseline of the same
 * run in the same unit, the ratio of the two, and the target.
 */
#include "bench_report.h"

#include <sys/utsname.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <thread>

namespace tavlbench {

namespace {

double Median(std::vector<double> v) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string Format(double v, const char *fmt) {
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, v);
    return buf;
}

/* Three significant digits, enough to compare runs without false precision. */
std::string Num(double v) {
    if (std::isnan(v)) return "n/a";
    double a = std::fabs(v);
    if (a >= 100) return Format(v, "%.0f");
    if (a >= 10) return Format(v, "%.1f");
    if (a >= 1) return Format(v, "%.2f");
    if (a >= 0.01) return Format(v, "%.3f");
    return Format(v, "%.2g");
}

std::string UnitText(const Figure &f) {
    switch (f.unit) {
    case Unit::kMBps: return "MB/s";
    case Unit::kNsPer: return "ns/" + f.item;
    case Unit::kMicros: return "µs";
    case Unit::kMillis: return "ms";
    case Unit::kPerFile: return "× file size";
    }
    return "";
}

/* The figure's value for one repetition. */
double ValueOf(const Figure &f, const CollectingReporter::Sample &s) {
    double t = s.seconds_per_iter;
    switch (f.unit) {
    case Unit::kMBps: return f.bytes_per_iter / t / 1e6;
    case Unit::kNsPer: return t / f.cells_per_iter * 1e9;
    case Unit::kMicros: return t * 1e6;
    case Unit::kMillis: return t * 1e3;
    case Unit::kPerFile: {
        auto it = s.counters.find(f.counter);
        return it == s.counters.end() ? NAN : it->second;
    }
    }
    return NAN;
}

/* Median of the figure's values, leaving out repetitions that have none
 * (a counter missing); NaN when no repetition has one. */
double MedianOf(const CollectingReporter &r, const Figure &f) {
    const auto *samples = r.SamplesOf(f.bench);
    if (!samples) return NAN;
    std::vector<double> v;
    for (const auto &s : *samples) {
        double x = ValueOf(f, s);
        if (!std::isnan(x)) v.push_back(x);
    }
    return Median(v);
}

/* Median of a counter of the figure's benchmark, or NaN. */
double CounterOf(const CollectingReporter &r, const Figure &f, const std::string &counter) {
    Figure c = f;
    c.unit = Unit::kPerFile;
    c.counter = counter;
    return MedianOf(r, c);
}

/* The baseline in the figure's own unit, or NaN. */
double BaselineOf(const CollectingReporter &r, const Figure &f) {
    if (f.unit == Unit::kPerFile) return CounterOf(r, f, f.baseline_counter);
    if (f.baseline_bench.empty()) return NAN;
    if (f.baseline_same_unit) {
        Figure b = f;
        b.bench = f.baseline_bench;
        return MedianOf(r, b);
    }
    Figure b;
    b.bench = f.baseline_bench;
    b.unit = Unit::kMBps;
    b.bytes_per_iter = f.baseline_bytes_per_iter;
    double mbps = MedianOf(r, b);
    if (f.unit == Unit::kMBps) return mbps;
    double seconds = f.baseline_bytes / (mbps * 1e6);
    switch (f.unit) {
    case Unit::kNsPer: return seconds * 1e9;
    case Unit::kMicros: return seconds * 1e6;
    case Unit::kMillis: return seconds * 1e3;
    default: return NAN;
    }
}

} // namespace

MachineInfo DescribeMachine() {
    MachineInfo m;
    std::ifstream cpu("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpu, line)) {
        if (line.compare(0, 10, "model name") == 0) {
            size_t colon = line.find(':');
            if (colon != std::string::npos) m.cpu = line.substr(colon + 2);
            break;
        }
    }
    m.cores = std::thread::hardware_concurrency();
    std::ifstream mem("/proc/meminfo");
    while (std::getline(mem, line)) {
        if (line.compare(0, 9, "MemTotal:") == 0) {
            m.memory_gib = std::strtod(line.c_str() + 9, nullptr) / (1024.0 * 1024.0);
            break;
        }
    }
    m.load = LoadAverages();
    struct utsname u;
    if (uname(&u) == 0) m.kernel = std::string(u.sysname) + " " + u.release;
    return m;
}

std::string LoadAverages() {
    std::ifstream loadavg("/proc/loadavg");
    std::string a, b, c;
    if (loadavg >> a >> b >> c) return a + " " + b + " " + c;
    return "unknown";
}

void CollectingReporter::ReportRuns(const std::vector<Run> &runs) {
    for (const Run &run : runs) {
        if (run.error_occurred) {
            errors_.push_back(run.benchmark_name() + ": " + run.error_message);
            continue;
        }
        if (run.run_type != Run::RT_Iteration || run.iterations <= 0) continue;
        Sample s;
        s.seconds_per_iter = run.real_accumulated_time / static_cast<double>(run.iterations);
        for (const auto &c : run.counters) s.counters[c.first] = c.second.value;
        samples_[run.run_name.function_name].push_back(s);
    }
    ConsoleReporter::ReportRuns(runs);
}

const std::vector<CollectingReporter::Sample> *
CollectingReporter::SamplesOf(const std::string &bench) const {
    auto it = samples_.find(bench);
    return it == samples_.end() || it->second.empty() ? nullptr : &it->second;
}

TargetTally PrintSummary(std::ostream &out, const CollectingReporter &reporter,
                 const std::vector<Figure> &figures, const MachineInfo &machine,
                 const std::string &run_note) {
    out << "\n## tavlin32 benchmark summary\n\n"
        << "Machine: " << machine.cpu << ", " << machine.cores << " cores, "
        << Format(machine.memory_gib, "%.1f") << " GiB memory, " << machine.kernel
        << "; load average " << machine.load << " when the run began, "
        << LoadAverages() << " when it ended.\n"
        << run_note << "\n\n"
        << "Medians of the repetitions. \"× baseline\" is the figure divided by the "
           "baseline of the same run in the figure's unit: for MB/s the baseline's "
           "rate on the same file; for times, the time the baseline takes over the "
           "same bytes (a cell's share of the file, the line read, or the whole "
           "file for an open); for the save, the file's bytes written and synced; "
           "for memory, what a process that only maps and scans the file adds; "
           "for a pass over a file not in the page cache, the same pass with the "
           "file cached. A reference row is context for the figures near it and is "
           "compared with nothing. Every value a figure reads back is compared "
           "with the generated table's.\n\n"
        << "| table | figure | value | baseline | × baseline | target | met |\n"
        << "|---|---|---:|---:|---:|---|---|\n";
    TargetTally tally;
    for (const Figure &f : figures) {
        double v = MedianOf(reporter, f);
        double b = BaselineOf(reporter, f);
        bool is_baseline = !f.reference && f.unit != Unit::kPerFile && f.baseline_bench.empty();
        std::string met;
        if (f.target != Target::kNone && !std::isnan(v)) {
            bool ok = true;
            switch (f.target) {
            case Target::kAtLeast: ok = v >= f.limit; break;
            case Target::kAtMost: ok = v <= f.limit; break;
            case Target::kRatioAtLeast: ok = !std::isnan(b) && v / b >= f.limit; break;
            case Target::kRatioAtMost: ok = !std::isnan(b) && v / b <= f.limit; break;
            case Target::kNone: break;
            }
            met = ok ? "yes" : "**no**";
            ++(ok ? tally.met : tally.missed);
        } else if (f.target != Target::kNone) {
            met = "not run";
            ++tally.not_run;
        } else {
            met = f.met_text;
        }
        if (!f.cached_counter.empty()) {
            double share = CounterOf(reporter, f, f.cached_counter);
            if (!std::isnan(share)) {
                std::string note = share < 0 ? "page cache share unknown"
                                             : Format(share * 100, "%.0f") +
                                                   "% of the file cached when the pass began";
                met += (met.empty() ? "" : " (") + note + (met.empty() ? "" : ")");
            }
        }
        out << "| " << f.table << " | " << f.label << " | "
            << (std::isnan(v) ? std::string("not run") : Num(v) + " " + UnitText(f))
            << " | "
            << (f.reference ? std::string("(reference)")
                : is_baseline ? std::string("(baseline)")
                              : Num(b) + " " + UnitText(f))
            << " | "
            << (f.reference ? std::string("") : is_baseline ? std::string("1") : Num(v / b))
            << " | "
            << f.target_text << " | " << met << " |\n";
    }
    out << "\n";
    if (!reporter.Errors().empty()) {
        out << "Benchmarks that failed:\n";
        for (const auto &e : reporter.Errors()) out << "- " << e << "\n";
        out << "\n";
    }
    return tally;
}

} // namespace tavlbench
