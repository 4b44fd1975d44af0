// diagnose.cpp - load and save failures explained, and line counts by mode.
#include "diagnose.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "codec/tavl_codec.h"
#include "stream.h"
#include "tavlin32.h"
#include "tool.h"

namespace tavlin {
namespace {

namespace fs = std::filesystem;

// Fields of a raw line by the split rule, as the indexed view counts them.
int32_t SplitFields(const char *line, size_t n, char d) {
    int64_t count = 1;
    for (size_t p = 0; p < n; ++p) {
        if (line[p] != d) continue;
        if (DelimiterSeparates(line, n, p)) ++count;
    }
    return count > INT32_MAX ? INT32_MAX : static_cast<int32_t>(count);
}

bool IsBlank(const char *line, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const char c = line[i];
        if (c != ' ' && c != '\t' && c != '\r' && c != '\v' && c != '\f') return false;
    }
    return true;
}

std::string Fields(int32_t n) { return std::to_string(n) + (n == 1 ? " field" : " fields"); }

} // namespace

std::string ExplainLoadFailure(const std::string &path, const std::string &shown,
                               char delimiter, uint32_t last_error) {
    if (!(last_error & TBL_LOAD_ERROR_FLAG))
        return shown + " could not be read as a table";
    const uint64_t position = last_error & TBL_LOAD_ERROR_LINES;
    std::FILE *in = std::fopen(path.c_str(), "rb");
    if (!in) return shown + " could not be read as a table";
    // The stream reader reads by the load's rules and stops at the first
    // line that breaks one: that is the load's line when both agree.
    TableReader reader(in, delimiter);
    while (reader.Next(false)) {
    }
    std::fclose(in);
    const LineFault &fault = reader.fault();
    if ((fault.kind == LineFault::kFieldCount || fault.kind == LineFault::kQuotes) &&
        fault.table_line == static_cast<int64_t>(position))
        return DescribeFault(fault, shown);
    return shown + " could not be read to its end (the load stopped after " +
           std::to_string(position) + " non-empty lines)";
}

std::string SaveFailureReason(const std::string &path, int saved_errno) {
    std::error_code ec;
    fs::path target = fs::weakly_canonical(fs::path(path), ec);
    if (ec) target = fs::path(path);
    fs::path dir = target.parent_path();
    if (dir.empty()) dir = ".";
    if (!fs::exists(dir, ec)) return "its folder does not exist";
    if (!fs::is_directory(dir, ec)) return "its folder is not a folder";
    if (fs::is_directory(target, ec)) return "it is a folder";
    fs::file_status st = fs::status(target, ec);
    if (!ec && fs::is_regular_file(st) &&
        (st.permissions() & (fs::perms::owner_write | fs::perms::group_write |
                             fs::perms::others_write)) == fs::perms::none)
        return "the file is read-only";
    // The save writes a new file beside the target and renames it over the
    // target: try the first step to hear the system's own reason.
    std::string probe;
    std::FILE *made = CreateUnique(dir.string(), ".tavlin-save-probe-", &probe);
    if (!made) return std::string("a new file cannot be made in its folder: ") + std::strerror(errno);
    std::fclose(made);
    fs::remove(probe, ec);
    if (saved_errno != 0) return std::strerror(saved_errno);
    return "the system gave no reason";
}

FileCounts CountFile(std::FILE *in, char delimiter) {
    FileCounts c;
    LineSplitter lines(in);
    char *text;
    size_t n;
    bool indexing = true, counting = true;
    while (lines.Next(&text, &n)) {
        ++c.lines;
        // 'tavlin lines': lines ended by LF, up to the first blank one.
        if (counting) {
            if (IsBlank(text, n)) {
                counting = false;
                c.first_blank = lines.number();
            } else if (lines.ended_with_lf()) {
                ++c.counted;
            }
        }
        // The indexed view: every line, blank ones included, up to the
        // first whose field count differs from the first line's. The
        // file's last byte ends its line and is never a delimiter.
        if (indexing) {
            size_t m = (!lines.ended_with_lf() && n > 0) ? n - 1 : n;
            int32_t fields = SplitFields(text, m, delimiter);
            if (c.lines == 1) c.first_fields = fields;
            if (fields == c.first_fields) {
                ++c.indexed;
            } else {
                indexing = false;
                c.stop_fields = fields;
            }
        }
        // The edit load: empty lines are not lines of the table.
        if (ShapeLine(text, n) == 0) {
            if (c.empty++ == 0) c.first_empty = lines.number();
        } else {
            ++c.filled;
            c.last_filled = lines.number();
        }
    }
    c.read_error = lines.read_error();
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
