#include "testsupport.h"

#include <gtest/gtest.h>
#include <pellus.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace tavltest {

namespace {
struct ScratchDir {
    std::string path;
    ScratchDir() {
        std::string base = (fs::temp_directory_path() / "tavl-test-XXXXXX").string();
        std::vector<char> buf(base.begin(), base.end());
        buf.push_back('\0');
#ifdef _WIN32
        path = std::tmpnam(nullptr);
        fs::create_directories(path);
#else
        if (!mkdtemp(buf.data())) std::abort();
        path = buf.data();
#endif
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

long armed_at_calls = -1;
long last_op_calls = 0;

// Failure points covered by every sweep of this test program, printed when
// the program ends so that a run reports how much it proved.
struct Tally {
    long points = 0;
    long sweeps = 0;
    ~Tally() {
        if (sweeps)
            std::printf("allocation failure points covered: %ld in %ld sweeps\n",
                        points, sweeps);
    }
} tally;
} // namespace

const std::string &TempDir() {
    static ScratchDir dir;
    return dir.path;
}

std::string WriteFile(const std::string &name, const std::string &bytes) {
    std::string path = (fs::path(TempDir()) / name).string();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void Arm(long fail_at) {
    armed_at_calls = pellus_calls();
    pellus_fail_at(fail_at);
}

void Disarm() {
    pellus_fail_at(0);
    if (armed_at_calls >= 0) last_op_calls = pellus_calls() - armed_at_calls;
    armed_at_calls = -1;
}

long SweepAllocationFailures(const std::function<void(long fail_at)> &scenario) {
    long before = pellus_live_blocks();
    last_op_calls = 0;
    scenario(0);
    Disarm();
    EXPECT_EQ(pellus_live_blocks(), before) << "clean run leaked";
    long count = last_op_calls;
    for (long k = 1; k <= count; ++k) {
        scenario(k);
        Disarm();
        EXPECT_EQ(pellus_live_blocks(), before) << "leak with allocation " << k
                                                << " of " << count << " failing";
    }
    tally.points += count;
    tally.sweeps += 1;
    return count;
}

} // namespace tavltest
