// tool.cpp - failure reports, inputs, outputs and the table open and save
// shared by tavlin's subcommands.
#include "tool.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <sys/stat.h>
#include <sys/types.h>
#if defined(_WIN32)
#  include <windows.h>
#else
#  include <unistd.h>
#  include "kernel32.h"
#endif

#include "base/tavlfile.h"
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

bool DelimiterOrFail(const Options &o, int *status) {
    const char d = o.delimiter;
    if (d != '\0' && d != '\\' && d != '\n' && d != '\r' && d != '"') return true;
    // A delimiter no open takes is a command line that cannot be run.
    std::fprintf(stderr, "tavlin %s: %s (%d): the delimiter %s cannot be used\n",
                 o.command->name, CodeName(TBL_ERR_DELIMITER),
                 static_cast<int>(TBL_ERR_DELIMITER), DelimiterText(d).c_str());
    *status = kExitUsage;
    return false;
}

std::string KindOfNonFile(const std::string &path) {
    std::error_code ec;
    fs::file_status st = fs::status(path, ec);
    if (ec || st.type() == fs::file_type::not_found || st.type() == fs::file_type::regular)
        return "";
    switch (st.type()) {
    case fs::file_type::directory: return "a folder";
    case fs::file_type::fifo: return "a FIFO";
    case fs::file_type::character:
    case fs::file_type::block: return "a device";
    case fs::file_type::socket: return "a socket";
    default: return "not a regular file";
    }
}

StreamInput::~StreamInput() {
    if (owned_ && file_) std::fclose(file_);
}

bool ReachableFile(const Options &o, const std::string &path, int *status) {
    std::error_code ec;
    fs::file_status st = fs::status(path, ec);
    if (st.type() == fs::file_type::not_found) {
        std::error_code lec;
        const bool dangling = fs::is_symlink(fs::symlink_status(path, lec));
        *status = Fail(o, TBL_ERR_NO_FILE,
                       dangling ? Q(path) + " is a symbolic link that leads to no file"
                                : "no file at " + Q(path));
        return false;
    }
    if (st.type() == fs::file_type::directory) {
        *status = Fail(o, TBL_ERR_NO_FILE, Q(path) + " is a folder, not a file");
        return false;
    }
    if (ec) { // a loop of symbolic links, a name too long, ...
        *status = Fail(o, TBL_ERR_OPEN,
                       Q(path) + " could not be opened for reading: " + ec.message());
        return false;
    }
    return true;
}

bool StreamInput::Open(const Options &o, const std::string &path, int *status) {
    if (IsStdin(path)) {
        file_ = stdin;
        return true;
    }
    if (!ReachableFile(o, path, status)) return false;
    file_ = FileStreamOpen(path.c_str(), "rb");
    if (!file_) {
        *status = Fail(o, TBL_ERR_OPEN, Q(path) + " could not be opened for reading: " +
                                            std::strerror(errno));
        return false;
    }
    owned_ = true;
    return true;
}

void StreamInput::Close() {
    if (owned_ && file_) std::fclose(file_);
    file_ = nullptr;
    owned_ = false;
}

bool StreamInput::Replayable() {
    if (file_ != stdin) return file_ != nullptr;
    std::FILE *copy = FileTempStream();
    if (!copy) return false;
    char buffer[1 << 16];
    size_t n;
    bool ok = true;
    while ((n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0)
        if (std::fwrite(buffer, 1, n, copy) != n) ok = false;
    if (std::ferror(stdin) || !ok || std::fseek(copy, 0, SEEK_SET) != 0) {
        std::fclose(copy);
        return false;
    }
    file_ = copy;
    owned_ = true;
    return true;
}

bool StreamInput::Rewind() {
    if (!file_ || file_ == stdin) return false;
    std::clearerr(file_);
    return std::fseek(file_, 0, SEEK_SET) == 0;
}

namespace {

// Bytes to standard output.
class StdoutSink : public ByteSink {
public:
    bool Put(const char *bytes, size_t n) override {
        if (failed_) return false;
        if (n && std::fwrite(bytes, 1, n, stdout) != n) {
            error_ = errno;
            failed_ = true;
        }
        return !failed_;
    }
    bool Sync() override {
        if (!failed_ && std::fflush(stdout) != 0) {
            error_ = errno;
            failed_ = true;
        }
        return !failed_;
    }
    bool failed_ = false;
    int error_ = 0;
};

// Bytes to a file of the library's file layer.
class LayerSink : public ByteSink {
public:
    explicit LayerSink(FileSink *sink) : sink_(sink) {}
    bool Put(const char *bytes, size_t n) override {
        if (sink_->failed) return false;
        errno = 0;
        FileSinkPut(sink_, bytes, n);
        if (sink_->failed && error_ == 0) error_ = errno;
        return !sink_->failed;
    }
    bool Sync() override {
        errno = 0;
        if (!FileSinkFlush(sink_) && error_ == 0) error_ = errno;
        return !sink_->failed;
    }
    FileSink *sink_;
    int error_ = 0;
};

struct WriteJob {
    const std::function<int(ByteSink *)> *body;
    int status = 0;
    int error = 0;
};

int RunBody(void *context, FileSink *sink) {
    WriteJob *job = static_cast<WriteJob *>(context);
    LayerSink out(sink);
    job->status = (*job->body)(&out);
    job->error = out.error_;
    return job->status != 0 || sink->failed;
}

// The file standard output writes to, under another name (/dev/stdout,
// /proc/self/fd/1, the file it was redirected to): it is written through
// standard output as it stands, never replaced.
bool IsStandardOutput(const std::string &path) {
#if defined(_WIN32)
    return path == "CON" || path == "/dev/stdout";
#else
    struct stat target, out;
    return stat(path.c_str(), &target) == 0 && fstat(1, &out) == 0 &&
           target.st_dev == out.st_dev && target.st_ino == out.st_ino;
#endif
}

std::string Reason(int error) {
    return error ? std::string(std::strerror(error)) : std::string("the system gave no reason");
}

} // namespace

bool MayReplace(const Options &o, const std::string &target, int *status) {
    std::error_code ec;
    if (IsStdin(target) || o.force || IsStandardOutput(target)) return true;
    if (!fs::is_regular_file(target, ec)) return true; // a device or a FIFO: written to
    *status = Complain(o, Q(target) + " exists (--force replaces it)");
    return false;
}

int WriteOutput(const Options &o, const std::string &target,
                const std::function<int(ByteSink *)> &body) {
    if (IsStdin(target) || IsStandardOutput(target)) {
        StdoutSink out;
        int status = body(&out);
        if (status != 0) return status;
        if (!out.Sync())
            return Complain(o, "the output could not be written: " + Reason(out.error_));
        return 0;
    }
    WriteJob job;
    job.body = &body;
    errno = 0;
    FileResult rc = FileReplace(target.c_str(), RunBody, &job);
    const int error = job.error ? job.error : errno;
    if (rc == FILE_OK) return 0;
    if (rc == FILE_WRITER_FAILED && job.status != 0) return job.status;
    std::string why;
    switch (rc) {
    case FILE_IO: why = Reason(error); break;
    case FILE_NO_MEMORY: why = "out of memory"; break;
    case FILE_DENIED:
        why = "it is read-only to this user, or on a read-only file system";
        break;
    default: why = SaveFailureReason(target, error); break;
    }
    // A device or a FIFO is written in place: what went before the failure
    // went out.
    const bool in_place = !KindOfNonFile(target).empty();
    return Complain(o, Q(target) + " could not be written: " + why +
                           (in_place ? "" : "; any file there is as it was"));
}

namespace {

std::string RefusedDelimiter(char d) {
    return "the delimiter " + DelimiterText(d) + " cannot be used";
}

std::string ExplainOpen(const Options &o, const std::string &real_path, int32_t mode,
                        int32_t code, uint32_t last_error) {
    const std::string path = Shown(FilePath(o));
    switch (code) {
    case TBL_ERR_NO_FILE: {
        const std::string kind = KindOfNonFile(real_path);
        if (!kind.empty()) return path + " is " + kind + ", not a file";
        return "no file at " + path;
    }
    case TBL_ERR_DELIMITER: return RefusedDelimiter(o.delimiter);
    case TBL_ERR_RANGE:
        return "the header line count " + std::to_string(o.header_lines) +
               " cannot be used";
    case TBL_ERR_FORMAT:
        if (mode != OPEN_INDEXED)
            return ExplainLoadFailure(real_path, path, o.delimiter, last_error);
        return path + " has fewer lines than its header lines";
    case TBL_ERR_OPEN:
        return path + " could not be opened for reading" +
               (mode == OPEN_EDIT ? " and writing" : "") + ": " +
               OpenFailureReason(real_path, mode == OPEN_EDIT);
    case TBL_ERR_NO_MEMORY: return "out of memory while loading " + path;
    case TBL_ERR_INDEX_OPEN:
        return "no index for " + path + " in " + Q(o.index_dir) +
               " fits these options (prepare one with tavlin index prepare,"
               " giving the same -d, -H and --unique)";
    case TBL_ERR_MAP_DATA: return MapFailureReason(real_path, path);
    case TBL_ERR_BAD_HANDLE:
        return "the column names could not be read from the first line of " + path;
    }
    return CodeMeaning(code);
}

} // namespace

bool OpenIndexed(const Options &o, Table *table, int *status) {
    if (IsStdin(FilePath(o))) {
        *status = UsageFail(o, "standard input cannot be opened --mode indexed; prepare an"
                               " index for a file");
        return false;
    }
    return OpenOrFail(o, FilePath(o), OPEN_INDEXED, table, status);
}

bool OpenOrFail(const Options &o, const std::string &path, int32_t mode, Table *table,
                int *status) {
    const char *index_dir = mode == OPEN_INDEXED ? o.index_dir.c_str() : nullptr;
    int32_t rc = table->Open(path, mode, o.delimiter, o.header_lines, index_dir, o.unique);
    // A failed load leaves the line it stopped at in the last-error value.
    uint32_t last_error = static_cast<uint32_t>(GetLastError());
    if (rc == TBL_OK) return true;
    if (rc == TBL_ERR_DELIMITER) return DelimiterOrFail(o, status);
    *status = Fail(o, rc, ExplainOpen(o, path, mode, rc, last_error));
    return false;
}

bool ParseRow(const Options &o, const std::string &text, int64_t *row, int *status) {
    if (!IsWholeNumber(text)) {
        *status = UsageFail(o, "ROW must be a whole number, not " + Q(text));
        return false;
    }
    if (!ParseInt64(text, row)) *row = text[0] == '-' ? INT64_MIN : INT64_MAX;
    return true;
}

} // namespace tavlin
