// diagnose.h - what the tool says when a file does not load or save, and
// how each open mode counts the lines of a file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace tavlin {

// The line a failed edit or preview load stopped at, described from the
// file itself: the last-error value of the load holds the line's position
// among the file's non-empty lines. shown_path is quoted for display.
std::string ExplainLoadFailure(const std::string &path, const std::string &shown_path,
                               char delimiter, uint32_t last_error);

// Why a file at path cannot be replaced, in the system's words where the
// system gives them: "its folder does not exist", "Permission denied", ...
// saved_errno is errno as the failed save left it (0 when unknown).
std::string SaveFailureReason(const std::string &path, int saved_errno);

// What keeps a file at path from being replaced, as far as can be seen
// before trying (no folder, a folder, a read-only file or folder); empty
// when nothing does.
std::string ReplaceProblem(const std::string &path);

// Why the file at path could not be opened for reading (and writing, with
// write), in the system's words.
std::string OpenFailureReason(const std::string &path, bool write);

// Why the file at path may not be read (and written, with write), in the
// system's words; empty when it may. Holds no handle of the file on
// Windows, where one would keep another edit's save from replacing it.
std::string AccessProblem(const std::string &path, bool write);

// Why the file at path could not be mapped: empty, unreadable, not a
// regular file. shown_path is quoted for display.
std::string MapFailureReason(const std::string &path, const std::string &shown_path);

// How the open modes and the line count see one file.
struct FileCounts {
    uint64_t lines = 0;        // lines of the file (a last one without LF too)
    uint64_t empty = 0;        // lines an edit load skips (empty after CR, NUL)
    uint64_t first_empty = 0;  // 1-based, 0 for none
    uint64_t filled = 0;       // lines an edit load keeps, header lines included
    uint64_t last_filled = 0;  // 1-based number of the last of them, 0 for none
    uint64_t indexed = 0;      // lines of the indexed view, header lines included
    int32_t first_fields = 0;  // fields of line 1 by the split rule
    int32_t stop_fields = 0;   // fields of the line that ends the indexed view
    uint64_t counted = 0;      // lines 'tavlin lines' counts (LF-ended, before a blank)
    uint64_t first_blank = 0;  // 1-based first blank (white space only) line, 0 none
    bool read_error = false;
    bool cr_alone = false;     // its lines end with CR alone (see stream.h)
};
FileCounts CountFile(std::FILE *in, char delimiter);

// "line 302, which has 4 fields where the first line has 3" or "line 3,
// which is empty": the line that ends the indexed view, and why.
std::string IndexedEndReason(const FileCounts &counts);

} // namespace tavlin
