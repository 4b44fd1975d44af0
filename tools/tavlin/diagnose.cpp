// diagnose.cpp - load and save failures explained, and line counts by mode.
// The rules of each count (what is a line, an empty line, a blank line, a
// field of the indexed view) are the library's own: the lines come from
// its line reader, and the tests from the store.
#include "diagnose.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#if defined(_WIN32)
#  include <io.h>
#endif

#include "base/tavlfile.h"
#include "codec/tavl_codec.h"
#include "store/linereader.h"
#include "stream.h"
#include "tavlin32.h"
#include "tool.h"

namespace tavlin {
namespace {

namespace fs = std::filesystem;

std::string Fields(int32_t n) { return std::to_string(n) + (n == 1 ? " field" : " fields"); }

} // namespace

std::string ExplainLoadFailure(const std::string &path, const std::string &shown,
                               char delimiter, uint32_t last_error) {
    if (!(last_error & TBL_LOAD_ERROR_FLAG))
        return shown + " could not be read as a table";
    const uint64_t position = last_error & TBL_LOAD_ERROR_LINES;
    std::FILE *in = FileStreamOpen(path.c_str(), "rb");
    if (!in) return shown + " could not be read as a table";
    // The load read its lines with the same reader, so the reader stops at
    // the load's line, and says why.
    TableReader reader(in, delimiter);
    while (reader.Next(false)) {
    }
    std::fclose(in);
    const LineFault &fault = reader.fault();
    if ((fault.kind == LineFault::kFieldCount || fault.kind == LineFault::kQuotes) &&
        static_cast<uint64_t>(fault.table_line) == position)
        return DescribeFault(fault, shown);
    return shown + " could not be read to its end (the load stopped after " +
           std::to_string(position) + " non-empty lines)";
}

std::string ReplaceProblem(const std::string &path) {
    // The file layer says what would stop a save; only the words are ours.
    FileCheck check;
    FileReplaceCheck(path.c_str(), &check);
    switch (check.result) {
    case FILE_OK: return "";
    case FILE_NOT_FOUND:
        if (check.in_folder) return "its folder does not exist";
        break;
    case FILE_NOT_REGULAR: return check.in_folder ? "its folder is not a folder" : "it is a folder";
    case FILE_DENIED: {
        std::error_code ec;
        const fs::perms perms = fs::status(fs::path(path), ec).permissions();
        if (!ec && (perms & (fs::perms::owner_write | fs::perms::group_write |
                             fs::perms::others_write)) == fs::perms::none)
            return "the file is read-only";
        return std::string("the file may not be written: ") + std::strerror(check.error);
    }
    case FILE_CANNOT_CREATE:
        return std::string("a new file cannot be made in its folder: ") + std::strerror(check.error);
    case FILE_NO_MEMORY: return "out of memory";
    default: break;
    }
    // A name the system cannot follow (a loop of symbolic links, a name
    // too long) is said in its words.
    return check.error ? std::strerror(check.error) : "it cannot be reached";
}

std::string SaveFailureReason(const std::string &path, int saved_errno) {
    std::string problem = ReplaceProblem(path);
    if (!problem.empty()) return problem;
    // The file layer does not wait for a reader to come.
    std::error_code ec;
    if (saved_errno == ENXIO && fs::is_fifo(path, ec)) return "no process reads the FIFO";
    if (saved_errno != 0) return std::strerror(saved_errno);
    return "the system gave no reason";
}

// Why the file at path will not open for reading (and writing, with
// write), in the system's words; empty when it opens.
static std::string OpenProblem(const std::string &path, bool write) {
    std::FILE *f = FileStreamOpen(path.c_str(), write ? "r+b" : "rb");
    if (!f) return std::strerror(errno);
    std::fclose(f);
    return "";
}

std::string AccessProblem(const std::string &path, bool write) {
#if defined(_WIN32)
    // A file open without delete sharing (as the C library opens it) cannot
    // be replaced meanwhile: the check must not open it.
    if (_access(path.c_str(), write ? 6 : 4) == 0) return "";
    return std::strerror(errno);
#else
    // Opening is the test that also sees read-only mounts and access lists.
    return OpenProblem(path, write);
#endif
}

std::string OpenFailureReason(const std::string &path, bool write) {
    const std::string problem = OpenProblem(path, write);
    return problem.empty() ? "the system gave no reason" : problem;
}

std::string MapFailureReason(const std::string &path, const std::string &shown) {
    std::error_code ec;
    const std::string kind = KindOfNonFile(path);
    if (!kind.empty()) return shown + " is " + kind + ", not a file";
    std::FILE *f = FileStreamOpen(path.c_str(), "rb");
    if (!f) return shown + " could not be opened for reading: " + std::strerror(errno);
    std::fclose(f);
    if (fs::file_size(path, ec) == 0 && !ec)
        return shown + " is empty, and an empty file cannot be mapped";
    return shown + " could not be mapped";
}

FileCounts CountFile(std::FILE *in, char delimiter) {
    FileCounts c;
    LineOptions options{};
    options.delimiter = delimiter;
    options.raw = 1;
    options.capacity = size_t(1) << 18;
    LineReader *lines = LineReaderNew(in, &options);
    if (!lines) {
        c.read_error = true;
        return c;
    }
    bool indexing = true, counting = true;
    LineState line;
    while (LineReaderStep(lines) == LINE_READY) {
        LineReaderState(lines, &line);
        char *text = line.text;
        size_t n = line.length;
        ++c.lines;
        if (c.lines == 1) c.cr_alone = EndsLinesWithCrAlone(text, n, line.ended_with_lf != 0);
        // 'tavlin lines': lines ended by LF, up to the first blank one.
        if (counting) {
            if (LineIsBlank(text, n)) {
                counting = false;
                c.first_blank = line.file_line;
            } else if (line.ended_with_lf) {
                ++c.counted;
            }
        }
        // The indexed view: every line, blank ones included, up to the
        // first whose field count differs from the first line's.
        if (indexing) {
            const uint64_t count = LineFieldCount(text, n, !line.ended_with_lf, delimiter, nullptr);
            const int32_t fields = count > INT32_MAX ? INT32_MAX : static_cast<int32_t>(count);
            if (c.lines == 1) c.first_fields = fields;
            if (fields == c.first_fields) {
                ++c.indexed;
            } else {
                indexing = false;
                c.stop_fields = fields;
            }
        }
        // The edit load: empty lines are not lines of the table.
        if (LineShape(text, n) == 0) {
            if (c.empty++ == 0) c.first_empty = line.file_line;
        } else {
            ++c.filled;
            c.last_filled = line.file_line;
        }
    }
    LineReaderState(lines, &line);
    c.read_error = line.fault != LINE_FAULT_NONE;
    LineReaderDelete(lines);
    return c;
}

std::string IndexedEndReason(const FileCounts &c) {
    const uint64_t line = c.indexed + 1;
    std::string text = "line " + std::to_string(line) + ", which";
    if (c.stop_fields == 1 && c.first_empty == line) return text + " is empty";
    return text + " has " + Fields(c.stop_fields) + " where the first line has " +
           std::to_string(c.first_fields);
}

} // namespace tavlin
