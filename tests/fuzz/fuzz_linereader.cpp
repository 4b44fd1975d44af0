// fuzz_linereader.cpp - any bytes through the store's line reader, which
// the tool streams tables with, and through OpenTable in each mode: both
// must see the same table.
//
// Input: the first byte chooses the delimiter (bits 0-1: , ; tab |), the
// header line count (bits 2-3, modulo 3) and the reader's first block
// (bits 4-7: 2 to 107 bytes, so that lines cross refills and grow the
// block). The rest is the file. The streaming reader and a keeping one
// must hand out the same lines and stop at the same line for the same
// reason; OPEN_EDIT and OPEN_PREVIEW must fail at that line (within their
// lines) with the same last-error value, or else hold the same lines and
// every visited cell must decode from the reader's line as the library
// reads it; OPEN_INDEXED must count the lines and columns that the raw
// lines give by the split rule.
#include <tavlin32.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/tavlhost.h" /* the last-error value */
#include "codec/tavl_codec.h"
#include "fuzz_util.h"
#include "store/linereader.h"

namespace {

using fuzzutil::Expect;
using fuzzutil::Fail;
using fuzzutil::Handle;

const char kDelimiters[4] = {',', ';', '\t', '|'};

// What a reader made of the file.
struct Lines {
    std::vector<std::string> lines;
    int fault = LINE_FAULT_NONE;
    int64_t stored = 0;
    uint64_t file_line = 0, file_offset = 0;
    int32_t columns = -1;
};

Lines ReadLines(const std::string &path, char d, int keep, int raw, size_t block) {
    Lines out;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) Fail("the file cannot be opened");
    LineOptions options{};
    options.delimiter = d;
    options.keep = keep;
    options.counting = raw ? 0 : 1;
    options.raw = raw;
    options.capacity = block;
    LineReader *r = LineReaderNew(f, &options);
    if (!r) Fail("no memory for a reader");
    LineState line;
    while (LineReaderStep(r) == LINE_READY) {
        LineReaderState(r, &line);
        if (line.text[line.length] != '\0') Fail("a line is not ended by a NUL");
        out.lines.emplace_back(line.text, line.length);
        if (out.lines.size() > 100000) Fail("more lines than bytes");
    }
    LineReaderState(r, &line);
    out.fault = line.fault;
    out.stored = line.table_lines;
    out.file_line = line.file_line;
    out.file_offset = line.file_offset;
    out.columns = line.expected;
    LineReaderDelete(r);
    std::fclose(f);
    return out;
}

// Piece c of a stored line, decoded.
std::string CellOf(const std::string &line, char d, int32_t c) {
    size_t start = 0, length = 0;
    if (!FindField(line.data(), line.size(), d, c, &start, &length)) Fail("a line lacks a piece");
    std::string value(length, '\0');
    value.resize(DecodeFieldTo(line.data() + start, length, d, length ? &value[0] : nullptr, length));
    return value;
}

// One loaded mode against the reader's lines.
void CheckLoaded(const std::string &path, int32_t mode, char d, int32_t h, const Lines &r) {
    const int64_t limit = mode == OPEN_PREVIEW ? 100 : INT64_MAX;
    const bool faulted = r.fault != LINE_FAULT_NONE && r.stored < limit;
    Handle t(true);
    SetLastError(0);
    int32_t rc = OpenTable(path.c_str(), t.t, mode, &d, &h, nullptr);
    const uint32_t last = static_cast<uint32_t>(GetLastError());
    const std::string name = mode == OPEN_PREVIEW ? "OPEN_PREVIEW" : "OPEN_EDIT";
    if (faulted) {
        const int32_t want = r.fault == LINE_FAULT_MEMORY ? TBL_ERR_NO_MEMORY : TBL_ERR_FORMAT;
        if (rc != want) Fail(name + " gave " + std::to_string(rc) + " where the reader stopped");
        if (last != (TBL_LOAD_ERROR_FLAG | static_cast<uint32_t>(r.stored)))
            Fail(name + " failed at another line than the reader");
        return;
    }
    if (rc != TBL_OK) Fail(name + " refused a file the reader read: " + std::to_string(rc));
    const int64_t held64 = std::min<int64_t>(static_cast<int64_t>(r.lines.size()), limit);
    // An empty table holds the one empty line of an empty file.
    const int32_t held = static_cast<int32_t>(held64 > 0 ? held64 : 1);
    int32_t columns = -1, data = -1;
    GetColumnCount(t.t, &columns);
    GetLineCount(t.t, &data);
    if (columns != (r.columns < 0 ? 0 : r.columns)) Fail(name + ": another column count");
    if (data != held - h) Fail(name + ": another line count");
    const tavlprobe::Limits limits;
    for (int32_t p : tavlprobe::Pick(held64, limits.lines)) {
        const std::string &line = r.lines[static_cast<size_t>(p)];
        for (int32_t c : tavlprobe::Pick(columns, limits.columns)) {
            tavlprobe::Cell cell;
            if (p < h) Expect(tavlprobe::ReadHeadCell(t.t, c, p, &cell), "header cell");
            else Expect(tavlprobe::ReadDataCell(t.t, c, p - h, &cell), "data cell");
            if (cell.rc != TBL_OK) Fail(name + ": a cell the reader holds cannot be read");
            if (cell.value != CellOf(line, d, c))
                Fail(name + ": cell " + std::to_string(c) + " of line " + std::to_string(p) +
                     " differs from the reader's");
        }
    }
}

// Pieces of a line by the split rule, a byte at a time.
int32_t SplitPieces(const std::string &line, char d) {
    int32_t pieces = 1;
    for (size_t p = 0; p < line.size(); ++p)
        pieces += line[p] == d && DelimiterSeparates(line.data(), line.size(), p);
    return pieces;
}

// OPEN_INDEXED against the raw lines: the view ends at the first line
// whose pieces by the split differ in number from the first line's (the
// file's last byte ends its line and is never a delimiter, though a D
// before it sees it as a neighbour).
void CheckIndexed(const std::string &path, const std::string &raw_bytes, char d, int32_t h,
                  const Lines &raw) {
    const std::string dir = fuzzutil::Subdir("idx");
    int32_t rc = PreOpenTable(path.c_str(), dir.c_str(), &d, &h, 1);
    if (raw_bytes.empty()) {
        if (rc != TBL_ERR_MAP_DATA) Fail("an empty file was indexed");
        return;
    }
    int64_t viewed = 0;
    int32_t first = 0;
    for (size_t i = 0; i < raw.lines.size(); ++i) {
        const std::string &line = raw.lines[i];
        const bool last = i + 1 == raw.lines.size() && raw_bytes.back() != '\n';
        // Split whole (a D beside the last byte sees its neighbour), less
        // the file's last byte, which ends the line and never counts.
        const int32_t fields = SplitPieces(line, d) - (last && !line.empty() && line.back() == d ? 1 : 0);
        if (i == 0) first = fields;
        if (fields != first) break;
        ++viewed;
    }
    if (viewed < h) {
        if (rc != TBL_ERR_FORMAT) Fail("PreOpenTable took fewer lines than header lines");
        return;
    }
    if (rc != TBL_OK) Fail("PreOpenTable gave " + std::to_string(rc));
    Handle t;
    rc = OpenTable(path.c_str(), t.t, OPEN_INDEXED, &d, &h, dir.c_str());
    if (rc != TBL_OK) Fail("OPEN_INDEXED gave " + std::to_string(rc));
    int32_t columns = -1, data = -1;
    GetColumnCount(t.t, &columns);
    GetLineCount(t.t, &data);
    if (data != viewed - h) Fail("OPEN_INDEXED counts other lines than the split rule");
    if (columns != first) Fail("OPEN_INDEXED counts other columns than the split rule");
    PostCloseTable(path.c_str(), dir.c_str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const char d = kDelimiters[data[0] & 3];
    const int32_t h = ((data[0] >> 2) & 3) % 3;
    const size_t block = 2 + static_cast<size_t>(data[0] >> 4) * 7;
    fuzzutil::Held held;
    {
        const std::string bytes(reinterpret_cast<const char *>(data) + 1, size - 1);
        const std::string path = fuzzutil::WriteFile("in.csv", bytes.data(), bytes.size());
        const Lines streamed = ReadLines(path, d, 0, 0, block);
        const Lines kept = ReadLines(path, d, 1, 0, block);
        if (streamed.lines != kept.lines || streamed.fault != kept.fault ||
            streamed.stored != kept.stored || streamed.file_line != kept.file_line ||
            streamed.file_offset != kept.file_offset)
            Fail("a streaming and a keeping reader differ");
        if (streamed.fault == LINE_FAULT_READ || streamed.fault == LINE_FAULT_MEMORY)
            Fail("a file was not read");
        if (streamed.fault != LINE_FAULT_NONE &&
            (streamed.file_offset > bytes.size() || streamed.file_line == 0))
            Fail("a refused line lies outside the file");
        CheckLoaded(path, OPEN_EDIT, d, h, streamed);
        CheckLoaded(path, OPEN_PREVIEW, d, h, streamed);
        CheckIndexed(path, bytes, d, h, ReadLines(path, d, 0, 1, block));
    }
    held.ExpectSame("linereader");
    return 0;
}
