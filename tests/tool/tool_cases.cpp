// Tests of the tavlin tool through its process boundary: each case runs the
// binary with arguments, then checks its exit status, standard output and
// standard error. Cases are steps run in order on a fresh copy of a small
// table, so that edits can be checked by reading them back with the tool.
#include <gtest/gtest.h>

#ifdef _WIN32
#  include <windows.h>

#  include <algorithm>
#  include <cctype>
#  include <cstring>
#else
#  include <fcntl.h>
#  include <sys/resource.h>
#  include <sys/stat.h>
#  include <sys/wait.h>
#  include <unistd.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "table.h"
#include "testsupport.h"

namespace {

namespace fs = std::filesystem;

// Four data rows: a value holding the delimiter, one holding a line break,
// a tab and a NUL byte, and names and places outside ASCII (one of them
// two columns wide per character on a terminal).
const char kTable[] =
    "name,city,note\n"
    "Ana,Oslo,plain\n"
    "Bj\xC3\xB6rn,Ume\xC3\xA5,a\",\"b\n"
    "Chen,Troms\xC3\xB8,line\\x0abreak\\x09tab\\x00\n"
    "Dai,\xE5\xAF\x8C\xE5\xA3\xAB\xE5\xB1\xB1,x\n";

std::string Slurp(const fs::path &p) { return tavltest::ReadFile(p.string()); }
void Spit(const fs::path &p, const std::string &bytes) { tavltest::WriteFile(p.string(), bytes); }

struct Outcome {
    int status = -1;
    std::string out, err;
};

#ifdef _WIN32
// One argument as the C runtime's command-line parser reads it back:
// quoted when it holds blanks or quotes or is empty; backslashes doubled
// only where they come before a quote.
std::string QuoteArgument(const std::string &a) {
    if (!a.empty() && a.find_first_of(" \t\n\v\"") == std::string::npos) return a;
    std::string r = "\"";
    for (size_t i = 0;; ++i) {
        size_t slashes = 0;
        for (; i < a.size() && a[i] == '\\'; ++i) ++slashes;
        if (i == a.size()) {
            r.append(slashes * 2, '\\');
            break;
        }
        if (a[i] == '"') r.append(slashes * 2 + 1, '\\');
        else r.append(slashes, '\\');
        r += a[i];
    }
    return r + "\"";
}

bool NameIs(const std::string &entry, const std::string &name) {
    if (entry.size() <= name.size() || entry[name.size()] != '=') return false;
    for (size_t i = 0; i < name.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(entry[i])) != name[i]) return false;
    return true;
}

// This process's environment with COLUMNS replaced, as the block
// CreateProcessA takes: sorted entries, each NUL-ended, then one more NUL.
std::string EnvironmentWithColumns(const std::string &columns) {
    std::vector<std::string> entries;
    if (char *block = GetEnvironmentStringsA()) {
        for (const char *e = block; *e; e += std::strlen(e) + 1)
            if (!NameIs(e, "COLUMNS")) entries.emplace_back(e);
        FreeEnvironmentStringsA(block);
    }
    entries.push_back("COLUMNS=" + columns);
    std::sort(entries.begin(), entries.end(), [](const std::string &a, const std::string &b) {
        return _stricmp(a.c_str(), b.c_str()) < 0;
    });
    std::string env;
    for (const std::string &e : entries) env += e + '\0';
    return env + '\0';
}

HANDLE Inheritable(const char *path, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    return CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}
#endif

// A started tool: its process, and where its output goes.
struct Started {
#ifdef _WIN32
    HANDLE process = nullptr;
#else
    pid_t pid = -1;
#endif
    fs::path out, err;
};

// Starts the tool with args and the environment variable COLUMNS set to
// `columns`; stdin is the file `input` names (empty: none), stdout and
// stderr go to files named after `tag` in scratch.
Started StartTool(const std::vector<std::string> &args, const fs::path &scratch,
                  const std::string &columns, const fs::path &input,
                  const std::string &tag, bool unprivileged = false,
                  const fs::path &out_to = {}) {
    Started s;
    s.out = scratch / ("stdout" + tag);
    s.err = scratch / ("stderr" + tag);
    const fs::path &out = s.out, &err = s.err;
#ifdef _WIN32
    (void)unprivileged; // a Windows user is not dropped
    (void)out_to;
    // The tool sits beside the test program, as its DLLs do.
    const std::string tool = tavltest::ProgramDir() + "\\" + TAVLIN_TOOL;
    std::string command = QuoteArgument(tool);
    for (const std::string &a : args) command += " " + QuoteArgument(a);
    std::string env = EnvironmentWithColumns(columns);
    HANDLE in_h = Inheritable(input.empty() ? "NUL" : input.string().c_str(), GENERIC_READ,
                              OPEN_EXISTING);
    HANDLE out_h = Inheritable(out.string().c_str(), GENERIC_WRITE, CREATE_ALWAYS);
    HANDLE err_h = Inheritable(err.string().c_str(), GENERIC_WRITE, CREATE_ALWAYS);
    if (in_h != INVALID_HANDLE_VALUE && out_h != INVALID_HANDLE_VALUE &&
        err_h != INVALID_HANDLE_VALUE) {
        STARTUPINFOA start = {};
        start.cb = sizeof start;
        start.dwFlags = STARTF_USESTDHANDLES;
        start.hStdInput = in_h;
        start.hStdOutput = out_h;
        start.hStdError = err_h;
        PROCESS_INFORMATION info = {};
        if (CreateProcessA(tool.c_str(), &command[0], nullptr, nullptr, TRUE, 0, &env[0],
                           nullptr, &start, &info)) {
            CloseHandle(info.hThread);
            s.process = info.hProcess;
        }
    }
    for (HANDLE h : {in_h, out_h, err_h})
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
#else
    pid_t pid = fork();
    if (pid == 0) {
        int in_fd = open(input.empty() ? "/dev/null" : input.c_str(), O_RDONLY);
        int out_fd = open(out_to.empty() ? out.c_str() : out_to.c_str(),
                          O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in_fd < 0 || out_fd < 0 || err_fd < 0) _exit(127);
        dup2(in_fd, 0);
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        setenv("COLUMNS", columns.c_str(), 1);
        // A user who may only read what others may: root gives root up.
        if (unprivileged && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(126);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(TAVLIN_TOOL));
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(TAVLIN_TOOL, argv.data());
        _exit(127);
    }
    s.pid = pid;
#endif
    return s;
}

// Waits for a started tool and collects what it wrote.
Outcome FinishTool(const Started &s) {
    Outcome o;
#ifdef _WIN32
    if (s.process) {
        DWORD code = 0;
        if (WaitForSingleObject(s.process, 120000) == WAIT_OBJECT_0 &&
            GetExitCodeProcess(s.process, &code))
            o.status = static_cast<int>(code);
        CloseHandle(s.process);
    }
#else
    int wstatus = 0;
    if (s.pid > 0 && waitpid(s.pid, &wstatus, 0) == s.pid && WIFEXITED(wstatus))
        o.status = WEXITSTATUS(wstatus);
#endif
    o.out = Slurp(s.out);
    o.err = Slurp(s.err);
#ifdef _WIN32
    // Standard error stays in text mode on Windows (only values on standard
    // output are written byte for byte), so its lines end with CR LF there.
    for (size_t at; (at = o.err.find("\r\n")) != std::string::npos;) o.err.erase(at, 1);
#endif
    return o;
}

Outcome RunTool(const std::vector<std::string> &args, const fs::path &scratch,
                const std::string &columns = "80", const std::string &input = "",
                bool unprivileged = false) {
    fs::path in;
    if (!input.empty()) {
        in = scratch / "stdin";
        Spit(in, input);
    }
    return FinishTool(StartTool(args, scratch, columns, in, "", unprivileged));
}

// One step: arguments ({F} is the table, {O} a second path, {D} a
// directory), then the expected status and output. An expectation that
// starts with '~' only has to occur somewhere in the stream; otherwise the
// stream must equal it. kAny is not checked.
const std::string kAny = "<any>";

struct Step {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
    std::string columns = "80";
    std::string input = ""; // standard input of the tool
    bool unprivileged = false; // run as a user who is not root
};

// "line", LF, "break", tab, "tab", NUL: the decoded note of row 2.
const std::string kRow2Note("line\nbreak\ttab\0", 15);

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A directory of its own for each case, inside the program's scratch
        // directory (removed with it).
        dir_ = fs::path(tavltest::TempDir()) /
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ASSERT_TRUE(fs::create_directory(dir_));
        table_ = dir_ / "t.csv";
        Spit(table_, kTable);
        fs::create_directory(dir_ / "idx");
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Fills in the paths. In expected output they appear as the tool shows
    // them, with each backslash (the separator on Windows) escaped.
    std::string Expand(const std::string &s, bool as_shown = false) const {
        std::string r = s;
        std::pair<std::string, std::string> subst[] = {
            {"{F}", table_.string()}, {"{O}", (dir_ / "out.csv").string()},
            {"{D}", (dir_ / "idx").string()}, {"{X}", (dir_ / "missing.csv").string()},
            {"{R}", (dir_ / "ragged.csv").string()}};
        for (auto &kv : subst) {
            if (as_shown)
                for (size_t at = 0; (at = kv.second.find('\\', at)) != std::string::npos; at += 2)
                    kv.second.insert(at, 1, '\\');
            for (size_t at = 0; (at = r.find(kv.first, at)) != std::string::npos;
                 at += kv.second.size())
                r.replace(at, kv.first.size(), kv.second);
        }
        return r;
    }

    void Expect(const char *what, const std::string &want, const std::string &got) const {
        if (want == kAny) return;
        std::string w = Expand(want, true);
        if (!w.empty() && w[0] == '~')
            EXPECT_NE(got.find(w.substr(1)), std::string::npos)
                << what << " lacks: " << w.substr(1) << "\n" << what << " was:\n" << got;
        else
            EXPECT_EQ(got, w) << what;
    }

    void RunSteps(const std::vector<Step> &steps) {
        for (const Step &s : steps) {
            std::vector<std::string> args;
            std::string shown;
            for (const std::string &a : s.args) {
                args.push_back(Expand(a));
                shown += a + " ";
            }
            SCOPED_TRACE("tavlin " + shown);
            Outcome o = RunTool(args, dir_, s.columns, s.input, s.unprivileged);
            EXPECT_EQ(o.status, s.status) << "stderr: " << o.err;
            Expect("stdout", s.out, o.out);
            Expect("stderr", s.err, o.err);
        }
    }

    fs::path dir_, table_;
};

TEST_F(ToolTest, InfoGetAndLines) {
    RunSteps({
        {{"info", "{F}"}, 0,
         "file          {F}\n"
         "mode          edit\n"
         "delimiter     ','\n"
         "header lines  1\n"
         "data lines    4\n"
         "columns       3\n"
         "\n"
         "index  name  head size\n"
         "-----  ----  ---------\n"
         "    0  name  5\n"
         "    1  city  5\n"
         "    2  note  5\n"
         "\n"
         "line counts   5 lines in the file, 0 empty\n"
         "  edit        4 data lines (empty lines are skipped)\n"
         "  preview     4 data lines (the first 100 non-empty lines)\n"
         "  indexed     4 data lines (up to a line whose field count differs)\n"
         "  lines       4 (LF-ended lines before the first blank one, less 1 header line)\n",
         ""},
        {{"info", "{F}", "--mode", "preview"}, 0, "~mode          preview\n", ""},
        {{"info", "{F}", "-H", "0"}, 0, "~data lines    5\n", ""},
        // Values come back decoded and whole, by column name or index.
        {{"get", "{F}", "1", "note"}, 0, "a,b\n", ""},
        {{"get", "{F}", "2", "note"}, 0, kRow2Note + "\n", ""},
        {{"get", "{F}", "0", "1"}, 0, "Oslo\n", ""},
        {{"get", "-n", "{F}", "3", "city"}, 0, "\xE5\xAF\x8C\xE5\xA3\xAB\xE5\xB1\xB1", ""},
        // -H is 1 unless given, for the line count too.
        {{"lines", "{F}"}, 0, "4\n", ""},
        {{"lines", "{F}", "-H", "0"}, 0, "5\n", ""},
        {{"lines", "{F}", "-H", "7"}, 0, "-2\n", ""},
    });
}

TEST_F(ToolTest, FailuresNameTheCodeAndExitNonzero) {
    // An empty line is not a line of the table, but the file's lines count.
    Spit(dir_ / "ragged.csv", "a,b\n1,2\n\n3\n");
    // Standard CSV quoting: the quotes hide a delimiter the split cuts at.
    Spit(dir_ / "out.csv", "a,b\n\"x, y\",2\n");
    RunSteps({
        // The line that does not load is named, as the load's last-error
        // value gives it (library) or as the stream finds it (show).
        {{"show", "{R}"}, 1, "",
         "tavlin show: TBL_ERR_FORMAT (-8): line 4 of '{R}' has 1 field where the"
         " first line has 2\n"},
        {{"get", "{R}", "0", "a"}, 1, "",
         "tavlin get: TBL_ERR_FORMAT (-8): line 4 of '{R}' has 1 field where the"
         " first line has 2\n"},
        {{"info", "{R}", "--mode", "preview"}, 1, "", "~line 4 of '{R}' has 1 field"},
        {{"export", "{R}"}, 1, kAny, "~line 4 of '{R}' has 1 field"},
        {{"find", "{R}", "a", "3"}, 1, "", "~line 4 of '{R}' has 1 field"},
        {{"show", "{O}"}, 1, "",
         "tavlin show: TBL_ERR_FORMAT (-8): line 2 of '{O}' has quotes that hide or"
         " make a delimiter, so it cannot be read as stored table fields (standard"
         " CSV quoting is not the stored form: 'tavlin import' reads CSV)\n"},
        {{"get", "{F}", "4", "note"}, 1, "",
         "tavlin get: TBL_ERR_RANGE (-15): row 4 is past the last data row (3)\n"},
        {{"get", "{F}", "-1", "note"}, 1, "",
         "tavlin get: TBL_ERR_RANGE (-15): row -1 is not a data row (rows count from 0)\n"},
        {{"get", "{F}", "0", "7"}, 1, "",
         "tavlin get: TBL_ERR_RANGE (-15): column 7 is past the last column (2)\n"},
        {{"get", "{F}", "0", "nope"}, 1, "",
         "tavlin get: TBL_ERR_NO_COLUMN (-14): no column named 'nope'\n"},
        {{"get", "{X}", "0", "0"}, 1, "",
         "tavlin get: TBL_ERR_NO_FILE (-2): no file at '{X}'\n"},
        {{"info", "{F}", "-d", "\\"}, 2, "",
         "tavlin info: TBL_ERR_DELIMITER (-20): the delimiter '\\\\' cannot be used\n"},
        {{"show", "{F}", "--columns", "name,bogus"}, 1, "",
         "tavlin show: TBL_ERR_NO_COLUMN (-14): no column named 'bogus'\n"},
        {{"lines", "{X}"}, 1, "", "~tavlin lines: TBL_ERR_NO_FILE (-2)"},
        {{"info", "{F}", "--mode", "indexed", "--index-dir", "{D}"}, 1, "",
         "~tavlin info: TBL_ERR_INDEX_OPEN (-25): no index for"},
    });
}

TEST_F(ToolTest, UsageErrorsExitTwo) {
    RunSteps({
        {{}, 2, "", "~no subcommand"},
        {{"frobnicate", "{F}"}, 2, "", "tavlin: no subcommand named 'frobnicate' (see tavlin --help)\n"},
        {{"get", "{F}", "0"}, 2, "", "~tavlin get: expected FILE ROW COLUMN"},
        {{"get", "{F}", "zero", "name"}, 2, "", "~ROW must be a whole number"},
        {{"get", "{F}", "0", "name", "--wide"}, 2, "", "~unknown option --wide"},
        {{"info", "{F}", "-d", "ab"}, 2, "", "~the delimiter must be one character"},
        {{"info", "{F}", "-H", "-1"}, 2, "", "~header line count"},
        {{"info", "{F}", "--mode", "indexed"}, 2, "", "~needs --index-dir"},
        {{"show", "{F}", "--rows", "3-4"}, 2, "", "~--rows takes"},
        {{"set", "{F}", "0", "name", "x", "--mode", "preview"}, 2, "", "~unknown option --mode"},
        {{"index", "rebuild", "{F}", "{D}"}, 2, "", "~no subcommand named 'index rebuild'"},
        {{"export", "{F}", "--to", "xml"}, 2, "", "~--to takes csv, tsv or jsonl, not 'xml'"},
        {{"import", "{F}", "{O}", "--from", "json"}, 2, "", "~--from takes csv or tsv"},
        {{"import", "{F}", "{O}", "--from", "tsv", "-s", ";"}, 2, "", "~--separator is for CSV"},
        {{"export", "{F}", "-s", "\""}, 2, "", "~the separator must be one character"},
        {{"get", "{F}", "0", "name", "--output"}, 2, "", "~unknown option --output"},
        {{"set", "{F}", "0", "name", "x", "--output"}, 2, "", "~option --output needs a value"},
        {{"set", "-", "0", "name", "x"}, 2, "", "~standard input cannot be edited"},
        {{"set", "{F}", "0", "name"}, 2, "", "~expected FILE ROW COLUMN VALUE [ROW"},
        {{"set", "--csv", "--tsv", "{F}", "0", "name", "x"}, 2, "", "~give one"},
        {{"add-row", "--tsv", "-d", ";", "{F}"}, 2, "", "~--tsv separates values by tabs"},
        {{"add-row", "{F}", "-o", "-"}, 2, "", "~--output cannot be '-'"},
        {{"delete-row", "{F}", "2:2"}, 2, "", "~'2:2' names no row"},
        {{"delete-row", "{F}", "-1"}, 2, "", "~a row to delete is N, A:B, A: or :B"},
        {{"info", "-", "--mode", "indexed", "--index-dir", "{D}"}, 2, "",
         "~standard input cannot be opened --mode indexed"},
        {{"-V"}, 0, "~tavlin 1.", ""},
        {{"--version"}, 0, "~tavlin 1.", ""},
    });
}

TEST_F(ToolTest, HelpForEverySubcommand) {
    const char *commands[][2] = {
        {"info", "usage: tavlin info FILE\n"},
        {"show", "usage: tavlin show FILE\n"},
        {"get", "usage: tavlin get FILE ROW COLUMN\n"},
        {"set", "usage: tavlin set FILE ROW COLUMN VALUE [ROW COLUMN VALUE ...]\n"},
        {"add-row", "usage: tavlin add-row FILE\n"},
        {"add-column", "usage: tavlin add-column FILE NAME\n"},
        {"rename-column", "usage: tavlin rename-column FILE COLUMN NAME\n"},
        {"delete-row", "usage: tavlin delete-row FILE ROW...\n"},
        {"delete-column", "usage: tavlin delete-column FILE COLUMN...\n"},
        {"index prepare", "usage: tavlin index prepare FILE DIR\n"},
        {"index drop", "usage: tavlin index drop FILE DIR\n"},
        {"lines", "usage: tavlin lines FILE\n"},
        {"find", "usage: tavlin find FILE COLUMN VALUE\n"},
        {"import", "usage: tavlin import IN OUT\n"},
        {"export", "usage: tavlin export FILE [OUT]\n"},
    };
    for (const auto &c : commands) {
        std::vector<std::string> args;
        std::istringstream words(c[0]);
        for (std::string w; words >> w;) args.push_back(w);
        args.push_back("--help");
        SCOPED_TRACE(c[0]);
        Outcome o = RunTool(args, dir_);
        EXPECT_EQ(o.status, 0);
        EXPECT_EQ(o.out.rfind(c[1], 0), 0u) << o.out;
        EXPECT_NE(o.out.find("--delimiter"), std::string::npos);
        size_t examples = o.out.find("\nexamples:\n  ");
        EXPECT_NE(examples, std::string::npos) << o.out;
        EXPECT_NE(o.out.find("tavlin " + args[0], examples), std::string::npos) << o.out;
        EXPECT_EQ(o.err, "");
    }
    Outcome o = RunTool({"--help"}, dir_);
    EXPECT_EQ(o.status, 0);
    for (const auto &c : commands) EXPECT_NE(o.out.find(c[0]), std::string::npos) << c[0];
    EXPECT_NE(o.out.find("-V, --version"), std::string::npos) << o.out;
}

TEST_F(ToolTest, ShowAlignsEscapesAndCuts) {
    RunSteps({
        {{"show", "{F}"}, 0,
         "#  name   city    note\n"
         "-  -----  ------  ------------------\n"
         "0  Ana    Oslo    plain\n"
         "1  Bj\xC3\xB6rn  Ume\xC3\xA5    a,b\n"
         "2  Chen   Troms\xC3\xB8  line\\nbreak\\ttab\\0\n"
         "3  Dai    \xE5\xAF\x8C\xE5\xA3\xAB\xE5\xB1\xB1  x\n"
         "(4 data rows)\n",
         ""},
        // 30 columns leave 12 for the note: cut before the escape that
        // would not fit, with an ellipsis.
        {{"show", "{F}"}, 0, "~2  Chen   Troms\xC3\xB8  line\\nbreak\xE2\x80\xA6\n", "", "30"},
        {{"show", "{F}", "--wide"}, 0, "~line\\nbreak\\ttab\\0\n", "", "30"},
        {{"show", "{F}", "--rows", "1:3", "--columns", "note,0"}, 0,
         "#  note                name\n"
         "-  ------------------  -----\n"
         "1  a,b                 Bj\xC3\xB6rn\n"
         "2  line\\nbreak\\ttab\\0  Chen\n"
         "(rows 1 to 2 of 4; --rows A:B shows others)\n",
         ""},
        {{"show", "{F}", "--rows", "9:"}, 0, "~(no rows in 9:; the table has 4 data rows)\n", ""},
    });
}

TEST_F(ToolTest, ShowStopsAtOneHundredRowsUnlessAsked) {
    std::string big = "n\n";
    for (int i = 0; i < 150; ++i) big += std::to_string(i) + "\n";
    Spit(table_, big);
    auto rows_in = [](const std::string &out) {
        size_t n = 0;
        for (size_t at = out.find('\n'); at != std::string::npos; at = out.find('\n', at + 1)) ++n;
        return n - 3; // header, rule, footer
    };
    Outcome o = RunTool({"show", table_.string()}, dir_);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(rows_in(o.out), 100u);
    EXPECT_NE(o.out.find("(rows 0 to 99 of 150;"), std::string::npos) << o.out;
    o = RunTool({"show", table_.string(), "--rows", "0:"}, dir_);
    EXPECT_EQ(rows_in(o.out), 150u);
    EXPECT_NE(o.out.find("\n149  149\n"), std::string::npos);
}

// Rows after the first thousand are laid out as they stream, with the
// widths measured on those: plain rows straight from the line, others
// through the glyph path. Both must give what the measured rows get.
TEST_F(ToolTest, ShowLaysOutStreamedRowsAsMeasuredOnes) {
    std::string table = "a,b\n";
    for (int i = 0; i < 1000; ++i) table += "wwww,vvvvvv\n";
    table += "xy,z\n"                          // padded
             "toolongvalue,z\n"                // cut unless wide
             "p,\n"                            // last value empty: no trailing spaces
             ",q\n"                            // first value empty
             "sp  ,end \n"                     // values ending in spaces
             "Bj\xC3\xB6rn,\\x0a\n"            // not ASCII, an escape
             "a\",\"b,c\n"                     // quote-D-quote
             "t\ta,abcdefghijklmnopq\n"        // a raw tab; a value over 16 bytes
             "0123456789abcdef,vvvvvv\n";      // a value of 16 bytes
    Spit(table_, table);
    const std::string last = "999  wwww  vvvvvv\n";
    RunSteps({
        // 20 columns hold the measured widths (3, 4 and 6) whole.
        {{"show", "{F}", "--rows", "0:"}, 0,
         "~" + last +
             "1000  xy    z\n"
             "1001  too\xE2\x80\xA6  z\n"
             "1002  p\n"
             "1003        q\n"
             "1004  sp    end\n"
             "1005  Bj\xC3\xB6\xE2\x80\xA6  \\n\n"
             "1006  a,b   c\n"
             "1007  t\\ta  abcde\xE2\x80\xA6\n"
             "1008  012\xE2\x80\xA6  vvvvvv\n"
             "(1009 data rows)\n",
         "", "20"},
        {{"show", "{F}", "--rows", "0:", "--wide"}, 0,
         "~" + last +
             "1000  xy    z\n"
             "1001  toolongvalue  z\n"
             "1002  p\n"
             "1003        q\n"
             "1004  sp    end\n"
             "1005  Bj\xC3\xB6rn  \\n\n"
             "1006  a,b   c\n"
             "1007  t\\ta  abcdefghijklmnopq\n"
             "1008  0123456789abcdef  vvvvvv\n"
             "(1009 data rows)\n",
         "", "20"},
    });
}

// Lines are checked as a load checks them whether they are split (shown
// rows, export to TSV) or only counted (rows after those shown, export to
// CSV): a delimiter in the bytes after a line does not count, a line of
// many fields is split whole, and one with more fields than the first
// fails by the load's count. A line of 5001 empty fields is counted by
// the line read first (split) and the one after it (counted only).
TEST_F(ToolTest, StreamedLinesCountAsTheLoadCounts) {
    std::string wide_header, wide_row, wider_row;
    for (int c = 0; c < 70; ++c) {
        wide_header += (c ? ",c" : "c") + std::to_string(c);
        wide_row += (c ? "," : "") + std::to_string(c);
    }
    wider_row = wide_row + std::string(30, ',');
    Spit(dir_ / "short.csv", "a,b\n1,2\n,\n,\n");
    Spit(dir_ / "raw.csv", "k,v\n\xff,\x01\nx\ry,\t\n");
    Spit(dir_ / "many.csv", std::string(5000, ',') + "\n" + std::string(5000, ',') + "\n");
    Spit(dir_ / "wide.csv", wide_header + "\n" + wide_row + "\n");
    Spit(dir_ / "ragged.csv", wide_header + "\n" + wide_row + "\n" + wider_row + "\n");
    Spit(dir_ / "out.csv", "a,b\n1,2\n3,4\n\"x,y\",2\n");
    const std::string ragged = "~line 3 of '{R}' has 100 fields where the first line has 70";
    const std::string quotes = "~line 4 of '{O}' has quotes that hide or make a delimiter";
    RunSteps({
        {{"export", (dir_ / "short.csv").string()}, 0, "a,b\r\n1,2\r\n,\r\n,\r\n", ""},
        {{"export", (dir_ / "short.csv").string(), "--to", "tsv"}, 0, "a\tb\n1\t2\n\t\n\t\n", ""},
        {{"export", (dir_ / "short.csv").string(), "-s", ";"}, 0, "a;b\r\n1;2\r\n;\r\n;\r\n", ""},
        {{"export", (dir_ / "short.csv").string(), "--to", "jsonl"}, 0,
         "{\"a\":\"1\",\"b\":\"2\"}\n{\"a\":\"\",\"b\":\"\"}\n{\"a\":\"\",\"b\":\"\"}\n", ""},
        // Raw bytes a format escapes, in lines without stored escapes.
        {{"export", (dir_ / "raw.csv").string(), "--to", "jsonl"}, 0,
         "{\"k\":\"\\udcff\",\"v\":\"\\u0001\"}\n{\"k\":\"x\\ry\",\"v\":\"\\t\"}\n", ""},
        {{"export", (dir_ / "raw.csv").string()}, 0, "k,v\r\n\xff,\x01\r\n\"x\ry\",\t\r\n", ""},
        {{"export", (dir_ / "raw.csv").string(), "--to", "tsv"}, 0,
         "k\tv\n\xff\t\x01\nx\\ry\t\\t\n", ""},
        {{"show", (dir_ / "short.csv").string(), "--rows", "0:1"}, 0,
         "~(rows 0 to 0 of 3; --rows A:B shows others)\n", ""},
        {{"show", (dir_ / "many.csv").string(), "--rows", "0:0"}, 0,
         "~the table has 1 data row)", ""},
        {{"get", (dir_ / "wide.csv").string(), "0", "c69"}, 0, "69\n", ""},
        {{"export", (dir_ / "wide.csv").string(), "--to", "tsv"}, 0,
         "~\t68\t69\n", ""},
        {{"show", "{R}", "--rows", "0:"}, 1, kAny, ragged},
        {{"show", "{R}", "--rows", "0:1"}, 1, kAny, ragged},
        {{"export", "{R}"}, 1, kAny, ragged},
        {{"export", "{R}", "--to", "tsv"}, 1, kAny, ragged},
        {{"show", "{O}", "--rows", "0:1"}, 1, kAny, quotes},
        {{"export", "{O}"}, 1, kAny, quotes},
    });
}

TEST_F(ToolTest, EditsAreSavedAndReadBack) {
    const std::string original = Slurp(table_);
    RunSteps({
        {{"set", "{F}", "0", "city", "Bergen"}, 0, "", ""},
        {{"get", "{F}", "0", "city"}, 0, "Bergen\n", ""},
        {{"set", "{F}", "1", "2", "x,y\nz\\w"}, 0, "", ""},
        {{"get", "{F}", "1", "note"}, 0, "x,y\nz\\w\n", ""},
        {{"get", "{F}", "0", "note"}, 0, "plain\n", ""},
        {{"add-row", "{F}"}, 0, "4\n", ""},
        {{"get", "{F}", "4", "name"}, 0, "\n", ""},
        {{"add-column", "{F}", "extra"}, 0, "3\n", ""},
        {{"set", "{F}", "4", "extra", "new"}, 0, "", ""},
        {{"get", "{F}", "4", "extra"}, 0, "new\n", ""},
        {{"get", "{F}", "2", "note"}, 0, kRow2Note + "\n", ""},
        {{"info", "{F}"}, 0, "~data lines    5\ncolumns       4\n", ""},
        {{"set", "{F}", "9", "city", "x"}, 1, "",
         "tavlin set: TBL_ERR_RANGE (-15): row 9 is past the last data row (4)\n"},
        {{"set", "{F}", "0", "town", "x"}, 1, "",
         "tavlin set: TBL_ERR_NO_COLUMN (-14): no column named 'town'\n"},
        {{"add-column", "{F}", "a,b"}, 1, "",
         "~tavlin add-column: TBL_ERR_RANGE (-15): a column name cannot hold"},
        {{"add-row", "{X}"}, 1, "", "~TBL_ERR_NO_FILE (-2)"},
        // Several cells in one save; a column by position; a new name.
        {{"set", "{F}", "4", "@0", "Eve", "0", "extra", "e0", "4", "city", "Rome"}, 0, "", ""},
        {{"show", "{F}", "--rows", "4", "--columns", "@0,city,extra"}, 0,
         "~4  Eve   Rome  new\n", ""},
        {{"get", "{F}", "0", "extra"}, 0, "e0\n", ""},
        {{"rename-column", "{F}", "@3", "more"}, 0, "", ""},
        {{"delete-row", "{F}", "1:3"}, 0, "", ""},
        {{"delete-column", "{F}", "note", "@1"}, 0, "", ""},
        {{"export", "{F}", "--to", "tsv"}, 0, "name\tmore\nAna\te0\nDai\t\nEve\tnew\n", ""},
        {{"delete-row", "{F}", "3"}, 1, "", "~row 3 is past the last data row (2)"},
        {{"delete-column", "{F}", "@0", "more"}, 1, "",
         "~a table keeps at least one column"},
    });
    EXPECT_NE(Slurp(table_), original);
}

// An edit of a table file saves what the library's own calls and SaveTable
// save: lines a new column must rebuild (quotes that would hide or make a
// delimiter), values that need the escaped form, a one-column table that
// cannot save an empty line, an empty file, a byte-order mark, CR LF and
// empty lines, two header lines.
TEST_F(ToolTest, TableEditsSaveWhatTheLibrarySaves) {
    struct Case {
        std::string file;
        int32_t header;
        std::vector<std::string> edit; // a subcommand and its arguments after FILE
    };
    const std::vector<Case> cases = {
        {"x,y\"\na,b\"\n", 1, {"add-column", "n\"m"}},
        {"x,y\na,b\"\n", 1, {"add-column", "c"}},
        {"a,b\r\n1,\"q\"\r\n\r\n", 1, {"set", "0", "1", "x,\"y"}},
        {"a,b\n\"x\" ,\"y\"\n", 1, {"set", "0", "0", "p\"q,"}},
        {"a,b\n1,2\n", 1, {"set", "0", "1", "\\ \t\n,\""}},
        {"a\n1\n", 1, {"add-row"}},
        {"a\n1\n", 1, {"set", "0", "0", ""}},
        {"", 1, {"add-column", "n"}},
        {"", 1, {"add-row"}},
        {"\xEF\xBB\xBF" "a,b\nh,i\n1,2\n", 2, {"set", "0", "1", "v,w"}},
        {"\xEF\xBB\xBF" "a,b\nh,i\n1,2\n", 2, {"add-column", "z"}},
        {"x;y\n\";\"a;b\n", 1, {"add-row"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.edit[0] + " of " + c.file);
        const fs::path by_library = dir_ / "library.csv";
        Spit(by_library, c.file);
        Spit(table_, c.file);
        const char d = c.file.find(';') != std::string::npos ? ';' : ',';
        bool done = false;
        {
            tavltest::Table t;
            ASSERT_EQ(t.Open(by_library.string(), OPEN_EDIT, d, c.header), TBL_OK);
            int32_t rc = c.edit[0] == "add-row"      ? CreateRow(t.h)
                         : c.edit[0] == "add-column" ? CreateColumn(t.h, -1, c.edit[1].c_str())
                                                     : t.Set(std::stoi(c.edit[2]), std::stoi(c.edit[1]),
                                                             c.edit[3]);
            done = rc == TBL_OK && SaveTable(t.h, by_library.string().c_str()) == TBL_OK;
        }
        std::vector<std::string> args = c.edit;
        args.insert(args.begin() + 1, table_.string());
        for (const std::string &option : {std::string("--stored"), std::string("-H"),
                                          std::to_string(c.header), std::string("-d"),
                                          std::string(1, d)})
            args.push_back(option);
        const Outcome o = RunTool(args, dir_);
        EXPECT_EQ(o.status == 0, done) << o.err;
        EXPECT_EQ(Slurp(table_), Slurp(by_library));
    }
}

#ifndef _WIN32
// The records of a CSV file as Python's csv module reads them, the judge
// of what other tools make of an edit (blank lines, which it reads as
// empty records, left out). A missing python3 fails the test.
std::vector<std::vector<std::string>> PythonCsvRows(const fs::path &file, char delimiter) {
    const fs::path script = file.parent_path() / "read_csv.py";
    Spit(script,
         "import csv, sys\n"
         "out = sys.stdout.buffer\n"
         "with open(sys.argv[1], newline='', encoding='utf-8-sig', errors='surrogateescape') as f:\n"
         "    for row in csv.reader(f, delimiter=sys.argv[2]):\n"
         "        if row:\n"
         "            out.write(b'%d\\n' % len(row))\n"
         "            for v in row:\n"
         "                b = v.encode('utf-8', 'surrogateescape')\n"
         "                out.write(b'%d:' % len(b) + b)\n");
    const std::string command = "python3 '" + script.string() + "' '" + file.string() + "' '" +
                                std::string(1, delimiter) + "'";
    std::string text;
    std::FILE *pipe = popen(command.c_str(), "r");
    char block[4096];
    for (size_t n; pipe && (n = std::fread(block, 1, sizeof block, pipe)) > 0;) text.append(block, n);
    EXPECT_TRUE(pipe && pclose(pipe) == 0) << "python3 could not read " << file;
    std::vector<std::vector<std::string>> rows;
    for (size_t at = 0; at < text.size();) {
        size_t n = std::stoul(text.substr(at)), end = text.find('\n', at);
        rows.emplace_back();
        for (at = end + 1; n-- > 0;) {
            const size_t colon = text.find(':', at), size = std::stoul(text.substr(at));
            rows.back().push_back(text.substr(colon + 1, size));
            at = colon + 1 + size;
        }
    }
    return rows;
}
#endif

// An edit of a CSV or TSV file: every record it leaves alone stays as it
// was, byte for byte with its line end; what it writes is quoted or
// escaped only where it must be, and Python's csv module reads the values
// asked for. A refused edit leaves the file as it was.
TEST_F(ToolTest, CsvAndTsvEditsKeepTheirForm) {
    using Rows = std::vector<std::vector<std::string>>;
    struct Case {
        std::string before;
        std::vector<std::string> args; // the file is {F}
        int status;
        std::string out, after, err;
        Rows rows = {}; // as Python reads the CSV after (none: not asked)
        char separator = ',';
    };
    const std::string crlf = "\xEF\xBB\xBFid,text\r\n1,\"two\r\nlines\"\r\n\r\n2,5\"x\r\n3,\"a,b\"\r\n";
    const std::vector<Case> cases = {
        {"date,weather,note\n2012-01-01,drizzle,x\n2012-01-02,rain,\n",
         {"set", "--csv", "{F}", "0", "weather", "snow, heavy", "1", "note", "say \"hi\""}, 0, "",
         "date,weather,note\n2012-01-01,\"snow, heavy\",x\n2012-01-02,rain,\"say \"\"hi\"\"\"\n", "",
         {{"date", "weather", "note"}, {"2012-01-01", "snow, heavy", "x"},
          {"2012-01-02", "rain", "say \"hi\""}}},
        // A byte-order mark, a quoted line break, a blank line and a stray
        // quote in records the edit does not touch.
        {crlf, {"set", "--csv", "{F}", "2", "text", "new\nline"}, 0, "",
         crlf.substr(0, crlf.size() - 9) + "3,\"new\nline\"\r\n", "",
         {{"id", "text"}, {"1", "two\r\nlines"}, {"2", "5\"x"}, {"3", "new\nline"}}},
        {"a,b\r\n1,2", {"add-row", "--csv", "{F}"}, 0, "1\n", "a,b\r\n1,2\r\n,\r\n", "",
         {{"a", "b"}, {"1", "2"}, {"", ""}}},
        {"a,b\n1,2\n\n3,4\n", {"add-column", "--csv", "{F}", "c, d"}, 0, "2\n",
         "a,b,\"c, d\"\n1,2,\n\n3,4,\n", "", {{"a", "b", "c, d"}, {"1", "2", ""}, {"3", "4", ""}}},
        {"h\n\"x\ny\"\nb\nc\nd\n", {"delete-row", "--csv", "{F}", "0", "2:"}, 0, "", "h\nb\n", "",
         {{"h"}, {"b"}}},
        // Ranges out of order, overlapping, one open.
        {"h\n0\n1\n2\n3\n4\n5\n", {"delete-row", "--csv", "{F}", "4:", "1", "0:2"}, 0, "",
         "h\n2\n3\n", "", {{"h"}, {"2"}, {"3"}}},
        {"a;b;c\n1;\"x;y\";3\n", {"delete-column", "--csv", "-d", ";", "{F}", "@0"}, 0, "",
         "b;c\n\"x;y\";3\n", "", {{"b", "c"}, {"x;y", "3"}}, ';'},
        {"a,b\n1,2\n", {"rename-column", "--csv", "{F}", "b", "the \"b\""}, 0, "",
         "a,\"the \"\"b\"\"\"\n1,2\n", "", {{"a", "the \"b\""}, {"1", "2"}}},
        // One column: an empty value is quoted, or its line would be blank.
        {"x\n1\n", {"set", "--csv", "{F}", "0", "x", ""}, 0, "", "x\n\"\"\n", "", {{"x"}, {""}}},
        {"x\n1\n", {"add-row", "--csv", "{F}"}, 0, "1\n", "x\n1\n\"\"\n", "", {{"x"}, {"1"}, {""}}},
        {"a\tb\r\n1\t2\r\n", {"set", "--tsv", "{F}", "0", "b", "t\tab\nnl\\"}, 0, "",
         "a\tb\r\n1\tt\\tab\\nnl\\\\\r\n", ""},
        {"a\tb\n1\t\n", {"delete-column", "--tsv", "{F}", "a"}, 1, "", "a\tb\n1\t\n",
         "~a one-column TSV file cannot hold an empty value"},
        // Refused: what other readers would split otherwise, lines ended by
        // CR alone, a record short of the header, a row past the end.
        {"a,b\n\"x\"y,2\n", {"set", "--csv", "{F}", "0", "a", "z"}, 1, "", "a,b\n\"x\"y,2\n",
         "~line 2 of '{F}': text after the quote that closes a value"},
        {"a,b\n\"x,2\n", {"set", "--csv", "{F}", "0", "a", "z"}, 1, "", "a,b\n\"x,2\n",
         "~line 2 of '{F}': a quoted value opened here is not closed"},
        {"a,b\r1,2\r", {"add-row", "--csv", "{F}"}, 1, "", "a,b\r1,2\r",
         "~'{F}' ends its lines with CR alone (as files of old Mac systems do)"},
        {"a,b\n1,2\n3\n", {"set", "--csv", "{F}", "1", "b", "x"}, 1, "", "a,b\n1,2\n3\n",
         "~line 3 of '{F}' has 1 value where the header has 2; nothing was changed"},
        {"a,b\n1,2\n", {"delete-row", "--csv", "{F}", "0", "1"}, 1, "", "a,b\n1,2\n",
         "~row 1 is past the last data row (0)"},
        // Two header records; records of other lengths the edit leaves alone.
        {"a,b\nunit,kg\n1\n2,3,4\n5,6\n", {"delete-row", "--csv", "-H", "2", "{F}", "1"}, 0, "",
         "a,b\nunit,kg\n1\n5,6\n", "", {{"a", "b"}, {"unit", "kg"}, {"1"}, {"5", "6"}}},
        // The table form: a value that would bring the first escape into a
        // file is refused unless --stored or --csv says which form it has.
        {"a,b\n1,2\n", {"set", "{F}", "0", "b", "x,y"}, 1, "", "a,b\n1,2\n",
         "~the value 'x,y' holds the delimiter, which the table form writes as 'x\",\"y'; CSV"
         " readers would read it otherwise. Nothing was changed: --csv edits the file as CSV"},
        {"a,b\n1,2\n", {"set", "--stored", "{F}", "0", "b", "x,y"}, 0, "", "a,b\r\n1,x\",\"y\r\n", ""},
        {"a,b\n1,x\\\\\n", {"set", "{F}", "0", "b", "\"q\""}, 0, "", "a,b\r\n1,\"q\"\r\n", ""},
        {"a,b\n1,2\n", {"delete-column", "{F}", "a"}, 0, "", "b\r\n2\r\n", ""},
        {"a,b\n1,\n", {"delete-column", "{F}", "a"}, 1, "", "a,b\n1,\n",
         "~TBL_ERR_SAVE_ROW (-16): a line would be saved empty"},
        {"a,b\r1,2\r", {"info", "{F}"}, 0, kAny, "a,b\r1,2\r",
         "tavlin info: warning: '{F}' ends its lines with CR alone (as files of old Mac systems"
         " do), which ends no line of a table: it reads as one line ('tavlin import' reads"
         " such a file)\n"},
        {"a,b\r1,2\r", {"set", "{F}", "0", "a", "x"}, 1, "", "a,b\r1,2\r", "~ends its lines with CR alone"},
        // A line that does not load is said before a column that is not
        // there, as the load comes first.
        {"a,b\n1,2\n3\n", {"set", "{F}", "0", "nope", "x"}, 1, "", "a,b\n1,2\n3\n",
         "~line 3 of '{F}' has 1 field where the first line has 2; nothing was changed"},
    };
    for (const Case &c : cases) {
        Spit(table_, c.before);
        RunSteps({{c.args, c.status, c.out, c.err}});
        EXPECT_EQ(Slurp(table_), c.after) << c.args[0] << " of " << c.before;
#ifndef _WIN32
        if (!c.rows.empty()) {
            EXPECT_EQ(PythonCsvRows(table_, c.separator), c.rows) << c.before;
        }
#endif
    }
    // Edits read from a file (TSV escapes), one save for all.
    Spit(table_, "a,b\n1,2\n3,4\n");
    Spit(dir_ / "edits.tsv", "1\ta\tz\n\n0\t@1\tx\\ty\r\n");
    RunSteps({{{"set", "--stored", "{F}", "--edits", (dir_ / "edits.tsv").string()}, 0, "", ""},
              {{"set", "{F}", "--edits", "-"}, 2, "", "~line 1 of standard input has 2 values",
               "80", "0\ta\n"}});
    EXPECT_EQ(Slurp(table_), "a,b\r\n1,x\\x09y\r\nz,4\r\n");
}

TEST_F(ToolTest, OutputLeavesTheSourceAlone) {
    const std::string original = Slurp(table_);
    RunSteps({
        {{"set", "{F}", "0", "name", "Ada", "--output", "{O}"}, 0, "", ""},
        {{"get", "{O}", "0", "name"}, 0, "Ada\n", ""},
        {{"add-row", "{F}", "-o", "{O}"}, 0, "4\n", ""},
        {{"add-column", "{F}", "z", "--output={O}"}, 0, "3\n", ""},
        {{"set", "{F}", "0", "name", "Ada", "--output", "-"}, 0, "~\r\nAda,Oslo,plain\r\n", ""},
        {{"info", "{O}"}, 0, "~data lines    4\ncolumns       4\n", ""},
        // A failed edit writes nothing anywhere.
        {{"set", "{F}", "7", "name", "x", "--output", "{D}/never.csv"}, 1, "", kAny},
        {{"set", "{F}", "0", "name", "x", "--output", "{D}/no/such/dir.csv"}, 1, "",
         "tavlin set: TBL_ERR_SAVE_OPEN (-5): '{D}/no/such/dir.csv' could not be"
         " written: its folder does not exist; any file there is as it was\n"},
        {{"add-row", "{F}", "--output", "{D}"}, 1, "",
         "~'{D}' could not be written: it is a folder; any file there is as it was\n"},
    });
    EXPECT_EQ(Slurp(table_), original);
    EXPECT_FALSE(fs::exists(dir_ / "idx" / "never.csv"));
}

TEST_F(ToolTest, IndexLifecycle) {
    const char *indexed[] = {"--mode", "indexed", "--index-dir", "{D}"};
    auto with_index = [&](std::vector<std::string> args) {
        args.insert(args.end(), std::begin(indexed), std::end(indexed));
        return args;
    };
    const std::string prepared = "indexed 5 lines of '{F}': 1 header line and 4 data lines, 3 columns\n";
    RunSteps({
        {{"index", "prepare", "{F}", "{D}"}, 0, prepared, ""},
        {with_index({"info", "{F}"}), 0, "~mode          indexed\n", ""},
        {with_index({"info", "{F}"}), 0, "~data lines    4\ncolumns       3\n", ""},
        {with_index({"get", "{F}", "1", "note"}), 0, "a,b\n", ""},
        {with_index({"show", "{F}", "--rows", "3"}), 0, "~3  Dai", ""},
        {with_index({"get", "{F}", "4", "note"}), 1, "",
         "tavlin get: TBL_ERR_RANGE (-15): row 4 is past the last data row (3)\n"},
        {{"index", "prepare", "{F}", "{D}"}, 1, "",
         "~tavlin index prepare: TBL_ERR_INDEX_EXISTS (-26)"},
        {{"index", "prepare", "{F}", "{D}", "--force"}, 0, prepared, ""},
        // The unique name depends on -H and -d, so this index is another one.
        {{"index", "prepare", "{F}", "{D}", "--unique"}, 0, prepared, ""},
        {with_index({"get", "{F}", "0", "name", "--unique"}), 0, "Ana\n", ""},
        {{"index", "drop", "{F}", "{D}", "--unique"}, 0, "", ""},
        {{"index", "drop", "{F}", "{D}"}, 0, "", ""},
        {with_index({"info", "{F}"}), 1, "", "~TBL_ERR_INDEX_OPEN (-25)"},
        {{"index", "drop", "{F}", "{D}"}, 1, "", "~tavlin index drop: TBL_ERR_REMOVE (-28)"},
        {{"index", "prepare", "{X}", "{D}"}, 1, "", "~TBL_ERR_NO_FILE (-2)"},
    });
}

// The Windows build reads TSV but not CSV (it has no libcsv).
#ifdef _WIN32
const bool kCsvImport = false;
#else
const bool kCsvImport = true;
#endif

TEST_F(ToolTest, CsvImportAndExportRoundTrip) {
    if (!kCsvImport) GTEST_SKIP() << "this build imports TSV only";
    // Standard CSV: a byte-order mark, quoted separators, doubled quotes, a
    // line break inside a value, spaces, backslashes, a byte that is not
    // UTF-8, a control byte, and a value whose plain stored form would
    // break its line.
    const std::string body =
        "id,text\r\n1,\"a, b\"\r\n2,\"say \"\"hi\"\"\"\r\n3,\"two\r\nlines\"\r\n"
        "4, spaced \r\n5,C:\\dir\\\r\n6,\"\xff\x01\"\"x\"\r\n7,\"\"\",z\"\r\n";
    Spit(dir_ / "in.csv", "\xEF\xBB\xBF" + body);
    RunSteps({
        {{"import", "{F}.in", "{O}"}, 1, "", "~no file at"},
        {{"import", (dir_ / "in.csv").string(), "{O}"}, 0, "", ""},
        {{"get", "{O}", "0", "text"}, 0, "a, b\n", ""},
        {{"get", "{O}", "1", "text"}, 0, "say \"hi\"\n", ""},
        {{"get", "{O}", "2", "text"}, 0, "two\r\nlines\n", ""},
        {{"get", "{O}", "3", "text"}, 0, " spaced \n", ""},
        {{"get", "{O}", "4", "text"}, 0, "C:\\dir\\\n", ""},
        {{"get", "{O}", "5", "text"}, 0, "\xff\x01\"x\n", ""},
        {{"get", "{O}", "6", "text"}, 0, "\",z\n", ""},
        // Export gives the CSV back (without the mark), and so does a
        // second import and export through the pipes.
        {{"export", "{O}"}, 0, body, ""},
        {{"import", "-", "-"}, 0, kAny, "", "80", body},
        {{"import", "{O}", "{O}"}, 1, "", "tavlin import: '{O}' exists (--force replaces it)\n"},
        {{"import", "-", "{O}", "--force", "-s", ";", "-d", "|"}, 0, "", "", "80", "a;b\n1,5;\"x;y\"\n"},
        {{"export", "{O}", "-d", "|", "-s", ";"}, 0, "a;b\r\n1,5;\"x;y\"\r\n", ""},
        {{"get", "{O}", "0", "a", "-d", "|"}, 0, "1,5\n", ""},
    });
    // Plain stored form where it keeps the line sound, the escaped form where
    // it would not; CR LF line ends as a save writes them.
    RunTool({"import", (dir_ / "in.csv").string(), (dir_ / "out.csv").string(), "--force"}, dir_);
    EXPECT_EQ(Slurp(dir_ / "out.csv"),
              "id,text\r\n1,a\",\" b\r\n2,say \"hi\"\r\n3,two\\x0d\\x0alines\r\n"
              "4, spaced \r\n5,C:\\\\dir\\\\\r\n6,\xff\\x01\"x\r\n7,\\x22\\x2cz\r\n");
    // Bad input: nothing written, the line named.
    RunSteps({
        {{"import", "-", "{O}", "--force"}, 1, "",
         "tavlin import: standard input, line 3: 3 values where the header has 2\n", "80",
         "a,b\n1,2\n3,4,5\n"},
        {{"import", "-", "{O}", "--force"}, 1, "",
         "~standard input, line 2, byte 4: a quote inside an unquoted value", "80",
         "a,b\n1,x\"y\n"},
        {{"import", "-", "{O}", "--force"}, 1, "",
         "~standard input, line 2: a quoted value opened here is not closed", "80",
         "a,b\n1,\"2\n3,4\n"},
        {{"import", "-", "{O}", "--force"}, 1, "",
         "~standard input, line 3: a blank line is an empty value, which a one-column"
         " table cannot hold", "80", "a\nx\n\ny\n"},
        {{"import", "-", "{O}", "--force"}, 1, "",
         "~standard input, line 3: an empty value in a one-column table", "80", "a\nx\n\"\"\n"},
        {{"import", "-", "{O}", "--force", "-d", "x"}, 1, "",
         "~standard input, line 2: a value cannot be stored with the delimiter 'x'", "80",
         "a,b\n\"\"\"\",\"\"\"\"\n"},
        {{"import", "-", "{O}", "--force"}, 1, "", "~the input holds no record", "80", "\n"},
        {{"import", "-", "{O}", "--force"}, 0, "",
         "tavlin import: 1 blank line skipped (the first is line 3)\n", "80", "a,b\n1,2\n\n3,4\n"},
    });
    EXPECT_EQ(Slurp(dir_ / "out.csv"), "a,b\r\n1,2\r\n3,4\r\n");
}

TEST_F(ToolTest, TsvAndJsonLines) {
    const std::string tsv = "name\tcity\tnote\nAna\tOslo\tplain\nBj\xC3\xB6rn\tUme\xC3\xA5\ta,b\n"
                            "Chen\tTroms\xC3\xB8\tline\\nbreak\\ttab\\000\n"
                            "Dai\t\xE5\xAF\x8C\xE5\xA3\xAB\xE5\xB1\xB1\tx\n";
    Spit(dir_ / "bytes.csv", "k,v\n\xff\xc3(,\\x5c\"\\x7f\n");
    RunSteps({
        {{"export", "{F}", "--to", "tsv"}, 0, tsv, ""},
        {{"export", "{F}", "--to", "jsonl"}, 0,
         "{\"name\":\"Ana\",\"city\":\"Oslo\",\"note\":\"plain\"}\n"
         "{\"name\":\"Bj\xC3\xB6rn\",\"city\":\"Ume\xC3\xA5\",\"note\":\"a,b\"}\n"
         "{\"name\":\"Chen\",\"city\":\"Troms\xC3\xB8\",\"note\":\"line\\nbreak\\ttab\\u0000\"}\n"
         "{\"name\":\"Dai\",\"city\":\"\xE5\xAF\x8C\xE5\xA3\xAB\xE5\xB1\xB1\",\"note\":\"x\"}\n",
         ""},
        // Bytes that are not UTF-8 become lone surrogates \udcNN.
        {{"export", (dir_ / "bytes.csv").string(), "--to", "jsonl"}, 0,
         "{\"k\":\"\\udcff\\udcc3(\",\"v\":\"\\\\\\\"\x7f\"}\n", ""},
        {{"export", "{F}", "--to", "jsonl", "-H", "0"}, 0,
         "~{\"name\":\"name\",\"city\":\"city\",\"note\":\"note\"}\n", ""},
        {{"import", "--from", "tsv", "-", "{O}"}, 0, "", "", "80", tsv},
        {{"get", "{O}", "2", "note"}, 0, kRow2Note + "\n", ""},
        {{"export", "{O}", "--to", "tsv"}, 0, tsv, ""},
        {{"export", "{F}", "{D}/x.tsv", "--to", "tsv"}, 0, "", ""},
        // Escapes of PostgreSQL's text format; the table goes to stdout.
        {{"import", "--from", "tsv", "-", "-"}, 0, "a,b\r\nAAq\\\\,z\r\n", "", "80",
         "a\tb\r\n\\x41\\101\\q\\\\\tz\r\n"},
        {{"import", "--from", "tsv", "-", "-"}, 1, kAny,
         "~standard input, line 2: 1 value where the header has 2", "80", "a\tb\nc\n"},
    });
    EXPECT_EQ(Slurp(dir_ / "idx" / "x.tsv"), tsv);
}

TEST_F(ToolTest, FindAndStandardInput) {
    RunSteps({
        {{"find", "{F}", "city", "Oslo"}, 0, "0\n", ""},
        {{"find", "{F}", "2", "a,b"}, 0, "1\n", ""},
        {{"find", "{F}", "note", "nowhere"}, 0, "", ""},
        {{"find", "-", "a", "1"}, 0, "0\n2\n", "", "80", "a,b\n1,x\n2,y\n1,z\n"},
        {{"find", "{F}", "town", "x"}, 1, "", "tavlin find: TBL_ERR_NO_COLUMN (-14): no column named 'town'\n"},
        {{"find", "{F}", "5", "x"}, 1, "", "~column 5 is past the last column (2)"},
        // '-' reads standard input wherever a subcommand only reads.
        {{"show", "-"}, 0, "#  a  b\n-  -  -\n0  1  x\n(1 data row)\n", "", "80", "a,b\n1,x\n"},
        {{"get", "-", "0", "b"}, 0, "x\n", "", "80", "a,b\n1,x\n"},
        {{"lines", "-"}, 0, "1\n", "", "80", "a,b\n1,x\n"},
        // A name wins over a bare number; @N is always a position.
        {{"get", "-", "0", "0"}, 0, "y\n", "", "80", "1,0\nx,y\n"},
        {{"get", "-", "0", "@0"}, 0, "x\n", "", "80", "1,0\nx,y\n"},
        {{"find", "-", "@1", "y"}, 0, "0\n", "", "80", "1,0\nx,y\n"},
        {{"export", "-", "--columns", "0,@0,1"}, 0, "0,1,1\r\ny,x,x\r\n", "", "80", "1,0\nx,y\n"},
        {{"export", "-", "--columns", "b", "--to", "jsonl"}, 0, "{\"b\":\"x,y\"}\n", "", "80",
         "a,b\n1,x\",\"y\n"},
        {{"export", "-", "--columns", "a,c"}, 1, "", "~no column named 'c'", "80", "a,b\n1,2\n"},
        {{"get", "-", "0", "@2"}, 1, "", "~column 2 is past the last column (1)", "80", "a,b\n1,2\n"},
        {{"info", "-"}, 0, "~file          -\n", "", "80", "a,b\n1,x\n"},
        {{"export", "-", "--to", "tsv"}, 0, "a\tb\n1\tx\n", "", "80", "a,b\r\n1,x"},
        // Widths from Unicode data: a conjunct with a vowel sign, an emoji
        // outside the old ranges, and a heart in emoji form keep the column.
        {{"show", "-"}, 0,
         "#  w    z\n-  ---  -\n"
         "0  \xE0\xA4\x95\xE0\xA5\x8D\xE0\xA4\xB7\xE0\xA4\xBF   1\n"
         "1  \xF0\x9F\x9A\x80x  2\n"
         "2  \xE2\x9D\xA4\xEF\xB8\x8F   3\n"
         "3  ab   4\n(4 data rows)\n",
         "", "80",
         "w,z\n\xE0\xA4\x95\xE0\xA5\x8D\xE0\xA4\xB7\xE0\xA4\xBF,1\n\xF0\x9F\x9A\x80x,2\n"
         "\xE2\x9D\xA4\xEF\xB8\x8F,3\nab,4\n"},
    });
}

TEST_F(ToolTest, ModesExplainTheirCounts) {
    // One empty line: the edit load skips it, the indexed view and the
    // line count stop at it.
    Spit(table_, "a,b,c\n1,2,3\n\n4,5,6\n");
    RunSteps({
        {{"info", "{F}"}, 0,
         "~line counts   4 lines in the file, 1 empty\n"
         "  edit        2 data lines (empty lines are skipped)\n"
         "  preview     2 data lines (the first 100 non-empty lines)\n"
         "  indexed     1 data line (ends at line 3, which is empty)\n"
         "  lines       1 (stops at line 3, which is blank, less 1 header line)\n",
         ""},
        {{"index", "prepare", "{F}", "{D}"}, 0,
         "indexed 2 lines of '{F}': 1 header line and 1 data line, 3 columns\n",
         "tavlin index prepare: warning: the indexed view ends after line 2 of 4, at line 3,"
         " which is empty; an edit load reads 2 data lines\n"},
    });
    Spit(table_, "a,b\n1,2\n3,4,5\n");
    RunSteps({
        {{"index", "prepare", "{F}", "{D}", "--force"}, 0, kAny,
         "~at line 3, which has 3 fields where the first line has 2;"},
        {{"info", "{F}", "--mode", "indexed", "--index-dir", "{D}"}, 0,
         "~  indexed     1 data line (ends at line 3, which has 3 fields where the first line has 2)\n", ""},
    });
}

TEST_F(ToolTest, ParallelEditsLoseNothing) {
    const int kEdits = 10;
    std::vector<Started> running;
    for (int i = 0; i < kEdits; ++i)
        running.push_back(StartTool({"add-row", table_.string()}, dir_, "80", {},
                                    std::to_string(i)));
    std::vector<std::string> rows;
    for (const Started &s : running) {
        Outcome o = FinishTool(s);
        EXPECT_EQ(o.status, 0) << o.err;
        rows.push_back(o.out);
    }
    std::sort(rows.begin(), rows.end(), [](const std::string &a, const std::string &b) {
        return std::stoi(a) < std::stoi(b);
    });
    for (int i = 0; i < kEdits; ++i) EXPECT_EQ(rows[static_cast<size_t>(i)], std::to_string(4 + i) + "\n");
    RunSteps({{{"info", "{F}"}, 0, "~data lines    14\n", ""}});
    EXPECT_TRUE(fs::exists(dir_ / ".t.csv.lock"));
}

} // namespace

#ifndef _WIN32
namespace {

// Lets another user into the scratch directories above dir (only as far
// as reading and entering them).
void OpenToOthers(const fs::path &dir) {
    std::error_code ec;
    for (fs::path p = dir; !p.empty() && p != p.root_path(); p = p.parent_path()) {
        fs::permissions(p, fs::perms::others_read | fs::perms::others_exec |
                               fs::perms::group_read | fs::perms::group_exec,
                        fs::perm_options::add, ec);
        if (p == fs::path(tavltest::TempDir())) break;
    }
}

} // namespace

// Every subcommand that only reads works on a file one may only read; an
// edit with --output reads its source without write access; a refused
// edit leaves nothing behind, no lock file either.
TEST_F(ToolTest, ReadsWithoutWriteAccess) {
    OpenToOthers(dir_);
    const fs::path out_dir = dir_ / "w";
    fs::create_directory(out_dir);
    fs::permissions(out_dir, fs::perms::all);
    fs::permissions(table_, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    Spit(dir_ / "secret.csv", "a,b\n1,2\n");
    fs::permissions(dir_ / "secret.csv", fs::perms::none);
    const std::string original = Slurp(table_);
    const std::string copy = (out_dir / "copy.csv").string();
    std::vector<Step> steps = {
        {{"info", "{F}"}, 0, "~data lines    4\ncolumns       3\n", ""},
        {{"info", "{F}", "--mode", "preview"}, 0, "~data lines    4\n", ""},
        {{"get", "{F}", "1", "note"}, 0, "a,b\n", ""},
        {{"get", "{F}", "0", "city", "--mode", "preview"}, 0, "Oslo\n", ""},
        {{"show", "{F}", "--rows", "0"}, 0, "~0  Ana", ""},
        {{"find", "{F}", "name", "Dai"}, 0, "3\n", ""},
        {{"export", "{F}", "--to", "tsv"}, 0, "~Ana\tOslo\tplain\n", ""},
        {{"lines", "{F}"}, 0, "4\n", ""},
        {{"set", "{F}", "0", "name", "Ada", "--output", copy}, 0, "", ""},
        {{"get", copy, "0", "name"}, 0, "Ada\n", ""},
        {{"add-row", "{F}", "--output", copy}, 0, "4\n", ""},
        {{"set", "{F}", "0", "name", "x"}, 1, "",
         "~TBL_ERR_OPEN (-9): '{F}' could not be opened for reading and writing"},
    };
    if (geteuid() == 0) // root reads every file
        steps.push_back({{"lines", (dir_ / "secret.csv").string()}, 1, "",
                         "~could not be opened for reading: Permission denied"});
    for (Step &s : steps) s.unprivileged = true;
    RunSteps(steps);
    EXPECT_EQ(Slurp(table_), original);
    EXPECT_FALSE(fs::exists(dir_ / ".t.csv.lock"));
    for (const auto &entry : fs::directory_iterator(out_dir))
        EXPECT_EQ(entry.path().filename().string().find(".copy.csv.tavlin-edit"), std::string::npos)
            << "a copy was left behind: " << entry.path();
}

// Outputs go through the library's file layer: a file is replaced whole
// (mode kept, a link followed), a device or standard output is written to
// as it stands, an existing file only with --force, and a full disk and a
// FIFO without a reader are named with their reasons.
TEST_F(ToolTest, OutputsAreWrittenNotReplaced) {
    const std::string csv = "name,city,note\r\nAna,Oslo,plain\r\n";
    Spit(dir_ / "in.csv", csv);
    const std::string in = (dir_ / "in.csv").string(), real = (dir_ / "real.tbl").string(),
                      link = (dir_ / "link.tbl").string();
    Spit(real, "old\n");
    fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::create_symlink("real.tbl", link);
    const std::string fifo = (dir_ / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    RunSteps({
        {{"export", "{F}", fifo}, 1, "",
         "tavlin export: '" + fifo + "' could not be written: no process reads the FIFO\n"},
        {{"export", "{F}", "{O}"}, 0, "", ""},
        {{"export", "{F}", "{O}"}, 1, "", "tavlin export: '{O}' exists (--force replaces it)\n"},
        {{"export", "{F}", "{O}", "--force", "--to", "tsv"}, 0, "", ""},
        {{"import", in, link, "--force"}, 0, "", ""},
        {{"export", "{F}", "/dev/null"}, 0, "", ""},
        {{"export", "{F}", "/dev/stdout", "--to", "tsv"}, 0, "~Ana\tOslo\tplain\n", ""},
        {{"export", "{F}", "/dev/full"}, 1, "",
         "tavlin export: '/dev/full' could not be written: No space left on device\n"},
        {{"import", in, "/dev/full"}, 1, "",
         "tavlin import: '/dev/full' could not be written: No space left on device\n"},
        {{"add-row", "{F}", "--output", "/dev/null"}, 0, "4\n", ""},
        // A save that fails prints no index.
        {{"add-row", "{F}", "--output", "/dev/full"}, 1, "",
         "tavlin add-row: '/dev/full' could not be written: No space left on device\n"},
    });
    // A loop of symbolic links is named in the system's words.
    fs::create_symlink("loop", dir_ / "loop");
    const std::string loop = (dir_ / "loop").string();
    RunSteps({
        {{"set", loop, "0", "a", "x"}, 1, "", "~could not be opened for reading: Too many levels"},
        {{"export", "{F}", loop, "--force"}, 1, "",
         "~could not be written: Too many levels of symbolic links"},
        {{"import", in, loop, "--force"}, 1, "", "~Too many levels of symbolic links"},
    });
    EXPECT_EQ(Slurp(dir_ / "out.csv").substr(0, 15), "name\tcity\tnote\n");
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(Slurp(real), "name,city,note\r\nAna,Oslo,plain\r\n");
    EXPECT_EQ(fs::status(real).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
    EXPECT_TRUE(fs::is_character_file("/dev/full"));
    // An edit whose answer cannot be written is not saved.
    const std::string before = Slurp(table_);
    Outcome o = FinishTool(StartTool({"add-row", table_.string()}, dir_, "80", {}, "full",
                                     false, "/dev/full"));
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("nothing was saved"), std::string::npos) << o.err;
    EXPECT_EQ(Slurp(table_), before);
    o = FinishTool(StartTool({"index", "prepare", table_.string(), (dir_ / "idx").string()}, dir_,
                             "80", {}, "full", false, "/dev/full"));
    EXPECT_EQ(o.status, 1);
    EXPECT_TRUE(fs::is_empty(dir_ / "idx")) << "an index was left behind: " << o.err;
}

#endif

// Each diagnostic names the real fault, in more than one shape.
TEST_F(ToolTest, DiagnosticsNameTheFault) {
    if (!kCsvImport) GTEST_SKIP() << "this build imports TSV only";
    Spit(dir_ / "ragged.csv", "a,b,c,d\n1,5\" tall,3,4\n");
    Spit(dir_ / "out.csv", "");
    const std::string quotes = "~line 2 of '{R}' has quotes that hide or make a delimiter";
    const std::string folder = "~'{D}' is a folder, not a file";
    RunSteps({
        {{"show", "{R}"}, 1, "", quotes},
        {{"get", "{R}", "0", "a"}, 1, "", quotes},
        {{"export", "{R}"}, 1, kAny, quotes},
        {{"set", "{R}", "0", "a", "x"}, 1, "", quotes},
        {{"lines", "{O}"}, 0, "-1\n", ""},
        {{"info", "{O}"}, 0, "~data lines    0\n", ""},
        {{"show", "{D}"}, 1, "", folder},
        {{"get", "{D}", "0", "a"}, 1, "", folder},
        {{"lines", "{D}"}, 1, "", folder},
        {{"set", "{D}", "0", "a", "x"}, 1, "", folder},
        {{"index", "prepare", "{D}", "{D}"}, 1, "", folder},
        // Lines end at CR, CR LF or LF in CSV and TSV input alike.
        {{"import", "-", "-"}, 1, kAny, "~standard input, line 3: 3 values where the header has 2",
         "80", "a,b\r1,2\r3,4,5\r"},
        {{"import", "--from", "tsv", "-", "-"}, 1, kAny, "~standard input, line 4: 1 value",
         "80", "a\tb\r1\t2\r\r3\r"},
        {{"import", "-", "-"}, 0, "a,b\r\n1,2\r\n",
         "tavlin import: 1 blank line skipped (the first is line 2)\n", "80", "a,b\r\r\n1,2\r\n"},
        {{"show", "{F}", "-d", "\""}, 2, "", "~the delimiter '\"' cannot be used"},
        {{"import", "{F}", "-", "-d", "\""}, 2, "", "~the delimiter '\"' cannot be used"},
        {{"set", "{F}", "0", "name", "x", "-d", "\""}, 2, "", "~cannot be used"},
        {{"index", "--help"}, 0, "~usage: tavlin index prepare|drop", ""},
        {{"help", "index"}, 0, "~index drop FILE DIR", ""},
        {{"--help"}, 0, "~\n  help [SUBCOMMAND]", ""},
        {{"get", "{F}", "99999999999", "name"}, 1, "",
         "tavlin get: TBL_ERR_RANGE (-15): row 99999999999 is past the last data row (3)\n"},
        {{"set", "{F}", "-99999999999", "name", "x"}, 1, "",
         "~row -99999999999 is not a data row"},
        {{"get", "{F}", "0", "99999999999"}, 1, "", "~column 99999999999 is past the last column (2)"},
        {{"show", "{F}", "--rows", "99999999999:"}, 0, "~(no rows in 99999999999:; the table has 4 data rows)", ""},
        {{"info", "{F}", "-H", "99999999999"}, 2, "", "~the header line count 99999999999 is too large"},
    });
}

// import --ragged, --comment and --encoding; TSV's \N; distinct JSON keys;
// find --print.
TEST_F(ToolTest, ImportOptionsKeysAndPrintedRows) {
    if (!kCsvImport) GTEST_SKIP() << "this build imports TSV only";
    Spit(dir_ / "keys.csv", "a,a,,b,,a_2\n1,2,3,4,5,6\n");
    RunSteps({
        {{"import", "--ragged", "-", "-"}, 0, "a,b,c\r\n1,,\r\n#,2,3\r\n",
         "tavlin import: 1 short record padded with empty values (the first is line 2)\n", "80",
         "a,b,c\n1\n\"#\",2,3\n"},
        // Long records widen the table (a first pass measures them, also on
        // standard input), the new columns named by position.
        {{"import", "--ragged", "-", "-"}, 0, "a,b,c,3,4\r\n1,2,3,4,\r\n5,,,,\r\n6,7,8,9,10\r\n",
         "tavlin import: 2 short records padded with empty values (the first is line 2)\n"
         "tavlin import: 2 records longer than the header: their extra values went into"
         " columns 3 to 4, named by position (the first is line 2)\n",
         "80", "a,b,c\n1,2,3,4\n5\n6,7,8,9,10\n"},
        {{"import", "-", "-"}, 1, kAny, "~standard input, line 2: 4 values where the header has 3",
         "80", "a,b,c\n1,2,3,4\n"},
        // Without a header record: positions or the names given name the
        // columns (zone1970.tab has rows of 3 and 4 values and comments).
        {{"import", "--from", "tsv", "--comment", "#", "--ragged", "--names", "code,coords,tz",
          "-", "-"}, 0,
         "code,coords,tz,3\r\nAD,+4230+00131,Europe/Andorra,\r\nAQ,-6617+11031,Antarctica/Casey,"
         "Casey\r\n",
         kAny, "80",
         "# tz zone1970\nAD\t+4230+00131\tEurope/Andorra\nAQ\t-6617+11031\tAntarctica/Casey\tCasey\n"},
        {{"import", "-s", ":", "--no-header", "-", "-"}, 0, "0,1,2\r\nroot,x,0\r\nbin,x,1\r\n", "",
         "80", "root:x:0\nbin:x:1\n"},
        {{"import", "--names", "a,b", "-", "-"}, 1, kAny,
         "~standard input, line 1: 3 values where the header has 2", "80", "1,2,3\n"},
        // A stray quote inside an unquoted value: refused, or with
        // --lazy-quotes a byte of it; a quoted value left open is refused
        // either way.
        {{"import", "-", "-"}, 1, kAny, "~line 2, byte 5: a quote inside an unquoted value", "80",
         "lat,lon\n37.8\"N,122.4\"W\n"},
        {{"import", "--lazy-quotes", "-", "-", "-d", ";"}, 0, "lat;lon\r\n37.8\\x22N;122.4\\x22W\r\n",
         "", "80", "lat,lon\n37.8\"N,122.4\"W\n"},
        {{"import", "--lazy-quotes", "-", "-"}, 1, kAny,
         "~line 2: a quoted value opened here is not closed", "80", "a,b\n\"x,y\n"},
        {{"import", "--from", "tsv", "--lazy-quotes", "-", "-"}, 2, "", "~--lazy-quotes is for CSV"},
        // UTF-16 is named as such, with the way to convert it (without a
        // byte-order mark, where it does not read).
        {{"import", "-", "-"}, 1, kAny,
         "~standard input, the input is UTF-16 (little-endian, with a byte-order mark), which is"
         " not read here: convert it to UTF-8 first",
         "80", std::string("\xFF\xFE" "a\0,\0b\0\n\0", 10)},
        {{"import", "--from", "tsv", "-", "-"}, 1, kAny,
         "~line 2: 1 value where the header has 2 (the input looks like UTF-16, big-endian:"
         " convert it to UTF-8 first", "80", std::string("\0a\0\t\0b\0\n\0c\0\n", 12)},
        {{"import", "--comment", "#", "-", "-"}, 0, "a,b\r\n#x,1\r\n", "", "80",
         "# made by hand\na,b\n# no record\n\"#x\",1\n"},
        {{"import", "--from", "tsv", "--comment", ";", "-", "-"}, 0, "a,b\r\n1,2\r\n", "", "80",
         ";x\na\tb\n1\t2\n"},
        {{"import", "--encoding", "latin1", "-", "-"}, 0, "a,b\r\n\xC3\xA9t\xC3\xA9,\xC3\xBF\r\n",
         "", "80", "a,b\n\xE9t\xE9,\xFF\n"},
        {{"import", "--encoding", "ebcdic", "-", "-"}, 2, "", "~--encoding takes utf-8 or latin1"},
        {{"import", "--from", "tsv", "-", "-"}, 0, "a,b\r\n\\\\N,x\\\\Ny\\\\\\\\q\r\n", "", "80",
         "a\tb\n\\N\tx\\Ny\\\\\\\\q\n"},
        // A first name that starts like a UTF-16 byte-order mark is kept
        // apart from one, so that the export imports again.
        {{"export", "-"}, 0, "\"\xFF\xFEx\",b\r\n1,2\r\n", "", "80", "\xFF\xFEx,b\n1,2\n"},
        {{"export", "-", "--to", "tsv"}, 0, "\\xff\xFEx\tb\n1\t2\n", "", "80", "\xFF\xFEx,b\n1,2\n"},
        // ... and \N comes back out as it went in.
        {{"export", "-", "--to", "tsv"}, 0, "a\tb\n\\N\tx\\Ny\\\\\\\\q\n", "", "80",
         "a,b\r\n\\\\N,x\\\\Ny\\\\\\\\q\r\n"},
        {{"export", (dir_ / "keys.csv").string(), "--to", "jsonl"}, 0,
         "{\"a\":\"1\",\"a_3\":\"2\",\"3\":\"3\",\"b\":\"4\",\"5\":\"5\",\"a_2\":\"6\"}\n",
         "tavlin export: JSON keys made distinct: column 1 'a' is keyed 'a_3'; column 2 '' is"
         " keyed '3'; column 4 '' is keyed '5'\n"},
        {{"find", "{F}", "note", "a,b", "--print"}, 0, "name,city,note\r\nBj\xC3\xB6rn,Ume\xC3\xA5,\"a,b\"\r\n", ""},
        {{"find", "{F}", "city", "Oslo", "--print", "--to", "jsonl"}, 0,
         "{\"name\":\"Ana\",\"city\":\"Oslo\",\"note\":\"plain\"}\n", ""},
        {{"find", "{F}", "0", "none", "--print", "--to", "tsv"}, 0, "name\tcity\tnote\n", ""},
        {{"find", "{F}", "town", "x", "--print"}, 1, "", "~no column named 'town'"},
        {{"find", "{F}", "city", "x", "--to", "tsv"}, 2, "", "~--to is for the rows that --print writes"},
    });
}

#ifndef _WIN32
// Peak memory of a tool run, in bytes. Under AddressSanitizer the
// sanitizer's own memory (and this process's, which a child starts with)
// hides the tool's, and peaks are not compared there.
#if defined(__SANITIZE_ADDRESS__)
const bool kPeaksCompared = false;
#else
const bool kPeaksCompared = true;
#endif
size_t PeakOf(const Started &s, int *status) {
    struct rusage usage = {};
    EXPECT_EQ(wait4(s.pid, status, 0, &usage), s.pid);
    return static_cast<size_t>(usage.ru_maxrss) * 1024;
}

// Writes head, then piece count times, then tail, a block at a time: this
// process stays small, and so does a child at its start.
void SpitMany(const fs::path &p, const std::string &head, const std::string &piece,
              size_t count, const std::string &tail) {
    std::FILE *f = std::fopen(p.string().c_str(), "wb");
    ASSERT_TRUE(f);
    std::string block = head;
    for (size_t i = 0; i < count; ++i) {
        block += piece;
        if (block.size() >= (size_t(1) << 20) || i + 1 == count) {
            std::fwrite(block.data(), 1, block.size(), f);
            block.clear();
        }
    }
    block += tail;
    std::fwrite(block.data(), 1, block.size(), f);
    std::fclose(f);
}

// show keeps memory by what it shows: a line of 80 MiB is read past, not
// held, and the values of the next line show as they are. Edits stream: a
// table of 36 MB is edited in a few MB, in either form.
TEST_F(ToolTest, ShowAndEditsHoldLittle) {
    SpitMany(table_, "a,b\n1,", std::string(1024, 'x'), 80 * 1024, "\n2,\\x01y\n");
    Started s = StartTool({"show", table_.string()}, dir_, "80", {}, "");
    int status = 0;
    const size_t show_peak = PeakOf(s, &status);
    if (kPeaksCompared) {
        EXPECT_LT(show_peak, size_t(64) << 20) << "peak of show";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(Slurp(s.out).find("xxx\xE2\x80\xA6\n1  2  \\x01y\n"), std::string::npos);
    SpitMany(table_, "n,text\n", "7,some words of a value\n", 1500000, "");
    for (const char *form : {"--stored", "--csv"}) {
        s = StartTool({"delete-row", table_.string(), "0", form}, dir_, "80", {}, form);
        const size_t peak = PeakOf(s, &status);
        if (kPeaksCompared) {
            EXPECT_LT(peak, size_t(24) << 20) << "peak of delete-row " << form;
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << Slurp(s.err);
    }
    EXPECT_EQ(Slurp(table_).size(), 8 + (1500000 - 2) * 25);
}
#endif
