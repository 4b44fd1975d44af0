#include "testsupport.h"

#include <gtest/gtest.h>
#include <pellus.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>
#ifdef _WIN32
#  include <process.h>
#  include <windows.h>
#endif

namespace fs = std::filesystem;

namespace tavltest {

namespace {
struct ScratchDir {
    std::string path;
    ScratchDir() {
#ifdef _WIN32
        // No mkdtemp here: try numbered names under the temporary directory
        // until one can be created, so that processes never share one.
        fs::path base = fs::temp_directory_path();
        std::string stem = "tavl-test-" + std::to_string(_getpid()) + "-";
        for (unsigned n = 0;; ++n) {
            fs::path candidate = base / (stem + std::to_string(n));
            std::error_code ec;
            if (fs::create_directory(candidate, ec)) {
                path = candidate.string();
                break;
            }
            if (n > 10000) std::abort();
        }
#else
        std::string base = (fs::temp_directory_path() / "tavl-test-XXXXXX").string();
        std::vector<char> buf(base.begin(), base.end());
        buf.push_back('\0');
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

std::string FreshDir(const std::string &name) {
    std::string dir = (fs::path(TempDir()) / name).string();
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

std::vector<std::string> Listing(const std::string &dir) {
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string Words(const std::vector<uint32_t> &words) {
    std::string bytes;
    for (uint32_t w : words)
        for (int k = 0; k < 4; ++k) bytes.push_back(static_cast<char>(w >> (8 * k)));
    return bytes;
}

#ifdef _WIN32
bool StartPiped(std::string command, void **process, void **to, void **from) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE in_read = nullptr, in_write = nullptr, out_read = nullptr, out_write = nullptr;
    if (!CreatePipe(&in_read, &in_write, &inherit, 0)) return false;
    if (!CreatePipe(&out_read, &out_write, &inherit, 0)) {
        CloseHandle(in_read);
        CloseHandle(in_write);
        return false;
    }
    // The parent's ends stay out of the child, or its input would never end.
    SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA start = {};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = in_read;
    start.hStdOutput = out_write;
    start.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info = {};
    // Under Wine on a loaded machine a start is now and then refused for a
    // moment; a few more tries tell that from a program that cannot start.
    BOOL started = FALSE;
    for (int attempt = 0; attempt < 5 && !started; ++attempt) {
        if (attempt) Sleep(200);
        started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr,
                                 nullptr, &start, &info);
    }
    CloseHandle(in_read);
    CloseHandle(out_write);
    if (!started) {
        CloseHandle(in_write);
        CloseHandle(out_read);
        return false;
    }
    CloseHandle(info.hThread);
    *process = info.hProcess;
    *to = in_write;
    *from = out_read;
    return true;
}

std::string ProgramDir() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string s(path, n < sizeof path ? n : 0);
    size_t cut = s.find_last_of("\\/");
    return cut == std::string::npos ? std::string(".") : s.substr(0, cut);
}
#endif

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
