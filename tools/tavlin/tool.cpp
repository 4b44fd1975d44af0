// tool.cpp - failure reports, inputs, outputs and the table open and save
// shared by tavlin's subcommands.
#include "tool.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#if defined(_WIN32)
#  include <fcntl.h>
#  include <io.h>
#  include <process.h>
#  include <windows.h>
#  define TAVLIN_GETPID _getpid
#else
#  include <fcntl.h>
#  include <unistd.h>
#  include "kernel32.h"
#  define TAVLIN_GETPID getpid
#endif

#include "diagnose.h"
#include "render.h"

namespace tavlin {

namespace fs = std::filesystem;

int Fail(const Options &o, int32_t code, const std::string &sentence) {
    std::fprintf(stderr, "tavlin %s: %s (%d): %s\n", o.command->name, CodeName(code),
                 static_cast<int>(code), sentence.c_str());
    return kExitFailure;
}

int Complain(const Options &o, const std::string &sentence) {
    std::fprintf(stderr, "tavlin %s: %s\n", o.command->name, sentence.c_str());
    return kExitFailure;
}

int UsageFail(const Options &o, const std::string &sentence) {
    std::fprintf(stderr, "tavlin %s: %s\n", o.command->name, sentence.c_str());
    return kExitUsage;
}

std::string Q(const std::string &text) { return "'" + Visible(text) + "'"; }

bool IsStdin(const std::string &path) { return path == "-"; }

std::string Shown(const std::string &path) {
    return IsStdin(path) ? std::string("standard input") : Q(path);
}

const std::string &FilePath(const Options &o) { return o.args[0]; }

std::string DelimiterText(char d) {
    return d == '\t' ? std::string("tab") : Q(std::string(1, d));
}

namespace {

std::string RefusedDelimiter(char d) {
    return "the delimiter " + DelimiterText(d) + " cannot be used";
}

} // namespace

bool DelimiterOrFail(const Options &o, int *status) {
    const char d = o.delimiter;
    if (d != '\0' && d != '\\' && d != '\n' && d != '\r' && d != '"') return true;
    *status = Fail(o, TBL_ERR_DELIMITER, RefusedDelimiter(d));
    return false;
}

namespace {

// A name for a new file in dir that no other process of ours picks.
std::string UniqueName(const fs::path &dir, const std::string &stem) {
    static std::atomic<unsigned> counter{0};
    return (dir / (stem + std::to_string(TAVLIN_GETPID()) + "-" +
                   std::to_string(counter++)))
        .string();
}

// Creates path, failing when it exists, and opens it for binary writing.
std::FILE *CreateNew(const std::string &path) {
#if defined(_WIN32)
    int fd = _open(path.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, 0600);
    return fd < 0 ? nullptr : _fdopen(fd, "wb");
#else
    int fd = open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
    return fd < 0 ? nullptr : fdopen(fd, "wb");
#endif
}

} // namespace

std::FILE *CreateUnique(const std::string &dir, const std::string &stem, std::string *name) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        *name = UniqueName(dir, stem);
        if (std::FILE *f = CreateNew(*name)) return f;
        if (errno != EEXIST) break; // another name would fail as well
    }
    return nullptr;
}

LibraryInput::~LibraryInput() {
    if (!temporary_.empty()) {
        std::error_code ec;
        fs::remove(temporary_, ec);
    }
}

bool LibraryInput::Prepare(const std::string &path, std::string *error) {
    if (!IsStdin(path)) {
        path_ = path;
        return true;
    }
    std::error_code ec;
    fs::path dir = fs::temp_directory_path(ec);
    if (ec) dir = ".";
    std::string name;
    std::FILE *f = CreateUnique(dir.string(), "tavlin-stdin-", &name);
    if (!f) {
        *error = "no temporary file could be made for standard input";
        return false;
    }
    temporary_ = name;
    char buffer[1 << 16];
    size_t n;
    bool ok = true;
    while ((n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0)
        if (std::fwrite(buffer, 1, n, f) != n) ok = false;
    if (std::ferror(stdin)) ok = false;
    if (std::fclose(f) != 0) ok = false;
    if (!ok) {
        *error = "standard input could not be copied into " + Q(name);
        return false;
    }
    path_ = temporary_;
    return true;
}

StreamInput::~StreamInput() {
    if (owned_ && file_) std::fclose(file_);
}

bool StreamInput::Open(const Options &o, const std::string &path, int *status) {
    if (IsStdin(path)) {
        file_ = stdin;
        return true;
    }
    std::error_code ec;
    if (!fs::exists(path, ec)) {
        *status = Fail(o, TBL_ERR_NO_FILE, "no file at " + Q(path));
        return false;
    }
    file_ = std::fopen(path.c_str(), "rb");
    if (!file_) {
        *status = Fail(o, TBL_ERR_OPEN, Q(path) + " could not be opened for reading: " +
                                            std::strerror(errno));
        return false;
    }
    owned_ = true;
    return true;
}

OutputFile::~OutputFile() {
    if (file_ && file_ != stdout) std::fclose(file_);
    if (!temporary_.empty()) {
        std::error_code ec;
        fs::remove(temporary_, ec);
    }
}

bool OutputFile::Open(const std::string &path, std::string *error) {
    if (IsStdin(path)) { // '-' as an output is standard output
        file_ = stdout;
        return true;
    }
    target_ = path;
    fs::path dir = fs::path(path).parent_path();
    if (dir.empty()) dir = ".";
    std::string name;
    file_ = CreateUnique(dir.string(), "." + fs::path(path).filename().string() + ".tavlin-",
                         &name);
    if (!file_) {
        *error = Q(path) + " could not be written: " + SaveFailureReason(path, errno);
        return false;
    }
    temporary_ = name;
    return true;
}

bool OutputFile::Commit(std::string *error) {
    if (file_ == stdout) {
        if (std::fflush(stdout) != 0) {
            *error = "the output could not be written";
            return false;
        }
        return true;
    }
    int rc = std::fclose(file_);
    file_ = nullptr;
    std::error_code ec;
    if (rc == 0) fs::rename(temporary_, target_, ec);
    if (rc != 0 || ec) {
        *error = Q(target_) + " could not be written: " +
                 (rc != 0 ? std::string(std::strerror(errno)) : ec.message());
        return false;
    }
    temporary_.clear();
    return true;
}

namespace {

std::string ExplainOpen(const Options &o, const std::string &real_path, int32_t mode,
                        int32_t code, uint32_t last_error) {
    const std::string path = Shown(FilePath(o));
    switch (code) {
    case TBL_ERR_NO_FILE: return "no file at " + path;
    case TBL_ERR_DELIMITER: return RefusedDelimiter(o.delimiter);
    case TBL_ERR_RANGE:
        return "the header line count " + std::to_string(o.header_lines) +
               " cannot be used";
    case TBL_ERR_FORMAT:
        if (mode != OPEN_INDEXED)
            return ExplainLoadFailure(real_path, path, o.delimiter, last_error);
        return path + " has fewer lines than its header lines";
    case TBL_ERR_OPEN:
        if (mode == OPEN_EDIT)
            return path + " could not be opened for reading and writing"
                   " (--mode preview reads the first 100 lines only)";
        return path + " could not be opened for reading";
    case TBL_ERR_NO_MEMORY: return "out of memory while loading " + path;
    case TBL_ERR_INDEX_OPEN:
        return "no index for " + path + " in " + Q(o.index_dir) +
               " fits these options (prepare one with tavlin index prepare,"
               " giving the same -d, -H and --unique)";
    case TBL_ERR_MAP_DATA:
        return path + " could not be mapped (an empty file cannot be)";
    case TBL_ERR_BAD_HANDLE:
        return "the column names could not be read from the first line of " + path;
    }
    return CodeMeaning(code);
}

} // namespace

bool OpenOrFail(const Options &o, const std::string &path, int32_t mode, Table *table,
                int *status) {
    const char *index_dir = mode == OPEN_INDEXED ? o.index_dir.c_str() : nullptr;
    int32_t rc = table->Open(path, mode, o.delimiter, o.header_lines, index_dir, o.unique);
    // A failed load leaves the line it stopped at in the last-error value.
    uint32_t last_error = static_cast<uint32_t>(GetLastError());
    if (rc == TBL_OK) return true;
    *status = Fail(o, rc, ExplainOpen(o, path, mode, rc, last_error));
    return false;
}

bool OpenForReading(const Options &o, LibraryInput *input, Table *table, int *status) {
    if (IsStdin(FilePath(o)) && o.mode == OPEN_INDEXED) {
        *status = UsageFail(o, "standard input cannot be opened --mode indexed; prepare an"
                               " index for a file");
        return false;
    }
    std::string error;
    if (!input->Prepare(FilePath(o), &error)) {
        *status = Complain(o, error);
        return false;
    }
    return OpenOrFail(o, input->path(), o.mode, table, status);
}

int SaveOrFail(const Options &o, TableHandle *h) {
    const std::string &target = o.output_given ? o.output : FilePath(o);
    errno = 0;
    int32_t rc = SaveTable(h, target.c_str());
    int saved_errno = errno;
    if (rc == TBL_OK) return 0;
    if (rc == TBL_ERR_SAVE_OPEN)
        return Fail(o, rc, Q(target) + " could not be written: " +
                               SaveFailureReason(target, saved_errno) +
                               "; any file there is as it was");
    if (rc == TBL_ERR_SAVE_ROW)
        return Fail(o, rc, "a line would be saved empty (a one-column table cannot"
                           " hold an empty value: a load skips empty lines); nothing"
                           " was written");
    return Fail(o, rc, CodeMeaning(rc));
}

} // namespace tavlin
