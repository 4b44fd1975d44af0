/*
 * bench_report.h - the summary table of a benchmark run.
 *
 * Google Benchmark prints one line per repetition; the host reader wants one
 * figure per question ("how fast does an OPEN_EDIT open load the 100 MB
 * table?"), each beside the baseline measured in the same run and beside its
 * target. A Figure names the benchmark it is computed from and how; the
 * reporter keeps every repetition, and the summary takes the median.
 */
#ifndef TAVL_BENCH_REPORT_H
#define TAVL_BENCH_REPORT_H

#include <benchmark/benchmark.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace tavlbench {

enum class Unit {
    kMBps,    /* bytes_per_iter / time, in 10^6 bytes per second */
    kNsPer,   /* time / cells_per_iter, in nanoseconds per item */
    kMicros,  /* time per iteration */
    kMillis,  /* time per iteration */
    kPerFile, /* a counter of the benchmark: bytes per byte of the file */
};

enum class Target {
    kNone,
    kAtLeast,      /* value >= limit */
    kAtMost,       /* value <= limit */
    kRatioAtLeast, /* value / baseline >= limit */
    kRatioAtMost,  /* value / baseline <= limit */
};

struct Figure {
    std::string table;         /* which table, e.g. "100 MB" */
    std::string label;         /* what is measured */
    std::string bench;         /* benchmark the samples come from */
    Unit unit = Unit::kMBps;
    std::string item = "cell"; /* kNsPer: what one item is ("cell", "read", "call") */
    double bytes_per_iter = 0; /* kMBps */
    double cells_per_iter = 0; /* kNsPer: items per iteration */
    std::string counter;       /* kPerFile: counter holding the value */

    /* Baseline: a kMBps figure's benchmark (scan rate), converted into this
     * figure's unit over baseline_bytes bytes per item or per iteration; with
     * baseline_same_unit, another benchmark read in this figure's own unit
     * (same items per iteration); for kPerFile a counter of the same
     * benchmark. Empty: this is a baseline. */
    std::string baseline_bench;
    double baseline_bytes_per_iter = 0; /* of the baseline benchmark */
    double baseline_bytes = 0;          /* bytes this figure's unit covers */
    bool baseline_same_unit = false;
    std::string baseline_counter;
    /* Shown for context beside the figures, compared with nothing. */
    bool reference = false;

    Target target = Target::kNone;
    double limit = 0;
    std::string target_text;
    /* Verdict shown for a target this program does not measure. */
    std::string met_text;
    /* Counter holding the share of the file in the page cache when the pass
     * began, printed beside the verdict. */
    std::string cached_counter;
};

struct MachineInfo {
    std::string cpu;
    unsigned cores = 0;
    double memory_gib = 0;
    std::string kernel;
    std::string load; /* load averages */
};

MachineInfo DescribeMachine();
std::string LoadAverages();

/* Prints as the console reporter does and keeps every repetition. */
class CollectingReporter : public benchmark::ConsoleReporter {
public:
    CollectingReporter() : benchmark::ConsoleReporter(OO_None) {}
    void ReportRuns(const std::vector<Run> &runs) override;

    struct Sample {
        double seconds_per_iter;
        std::map<std::string, double> counters;
    };
    const std::vector<Sample> *SamplesOf(const std::string &bench) const;
    const std::vector<std::string> &Errors() const { return errors_; }

private:
    std::map<std::string, std::vector<Sample>> samples_;
    std::vector<std::string> errors_;
};

/* How the figures that have a target fared. */
struct TargetTally {
    int met = 0;
    int missed = 0;
    int not_run = 0; /* no value: the benchmark failed or was filtered out */
};

/* Writes the markdown summary of the figures and counts their targets
 * (a report only: nothing fails on a time). */
TargetTally PrintSummary(std::ostream &out, const CollectingReporter &reporter,
                 const std::vector<Figure> &figures, const MachineInfo &machine,
                 const std::string &run_note);

} // namespace tavlbench

#endif
