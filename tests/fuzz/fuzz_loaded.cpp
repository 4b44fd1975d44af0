// fuzz_loaded.cpp - any bytes as a delimited file, through the loaded modes.
//
// Input: the first byte chooses the delimiter (bits 0-1: , ; tab |) and the
// header line count (bits 2-7, modulo 3); the rest is the file. The file is
// opened in OPEN_PREVIEW and OPEN_EDIT; every visited cell is read (all
// readers must agree), then written, a row and a column are added, the
// table is saved and opened again, and the saved table must read exactly as
// the one in memory did. Whatever the file holds, nothing may leak.
#include <tavlin32.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_util.h"

namespace {

using namespace fuzztarget;

// Values that stress the stored form: delimiters, quotes on either side,
// backslashes, escapes, control bytes and NUL.
std::vector<std::string> Values(char d, const uint8_t *data, size_t size) {
    std::string dq = std::string("\"") + d + "\"";
    std::vector<std::string> v = {
        "plain", std::string(1, d), dq, "\"", "\"\"", "a\"", "\"b", "\\", "\\x41", "\\\\",
        std::string("nul\0in", 6), "line\r\nend", std::string(1, d) + "\"", "\"" + std::string(1, d),
        "x" + dq + "y", std::string("\x01\x1f\x7f\x80\xff", 5), "",
    };
    // And a slice of the input itself.
    if (size > 1) v.emplace_back(reinterpret_cast<const char *>(data) + size / 2, size - size / 2 > 12 ? 12 : size - size / 2);
    return v;
}

// Writes a spread of values into the visited cells, adds a row and a
// column, each step checked. Returns the table's shape afterwards.
void Change(TableHandle *t, int32_t h, const std::vector<std::string> &values, const Limits &limits) {
    int32_t columns = 0, lines = 0;
    GetColumnCount(t, &columns);
    GetLineCount(t, &lines);
    // An empty line holds no line in the file format: with at most one
    // column an empty value would empty its line and drop it on reload.
    bool empty_ok = columns > 1;
    size_t k = 0;
    for (int32_t l : tavlprobe::Pick(lines, 6)) {
        for (int32_t c : tavlprobe::Pick(columns, 6)) {
            const std::string &v = values[k++ % values.size()];
            if (v.empty() && !empty_ok) continue;
            int32_t rc = 0;
            Expect(tavlprobe::WriteDataCell(t, c, l, v, limits, &rc), "write");
        }
    }
    for (int32_t hl : tavlprobe::Pick(h, 2)) {
        for (int32_t c : tavlprobe::Pick(columns, 2)) {
            const std::string &v = values[k++ % values.size()];
            if (v.empty() && !empty_ok) continue;
            int32_t rc = SetHeadCellValByIndex(t, c, hl, v.data(), static_cast<int32_t>(v.size()));
            if (rc == TBL_OK) {
                tavlprobe::Cell cell;
                Expect(tavlprobe::ReadHeadCell(t, c, hl, &cell), "header write");
                if (cell.rc != TBL_OK || cell.value != v) Fail("header cell does not read back what was written");
            } else if (rc != TBL_ERR_RANGE) {
                Fail("header write returned " + std::to_string(rc));
            }
        }
    }
    if (columns > 1) {
        int32_t rc = CreateRow(t);
        if (rc != TBL_OK) Fail("CreateRow returned " + std::to_string(rc));
        int32_t after = 0;
        GetLineCount(t, &after);
        if (after != lines + 1) Fail("CreateRow did not add one line");
        // With fewer lines than header lines the new row is a header line.
        for (int32_t c : tavlprobe::Pick(lines >= 0 ? columns : 0, 6)) {
            tavlprobe::Cell cell;
            Expect(tavlprobe::ReadDataCell(t, c, lines, &cell), "new row");
            if (cell.rc != TBL_OK || !cell.value.empty()) Fail("a new row's cell is not empty");
        }
    }
    const std::string name = values[k % values.size()];
    if (!name.empty()) {
        tavlprobe::Snapshot before, after;
        Expect(tavlprobe::Read(t, h, limits, &before), "before CreateColumn");
        int32_t rc = CreateColumn(t, -1, name.c_str());
        Expect(tavlprobe::Read(t, h, limits, &after), "after CreateColumn");
        if (rc == TBL_OK) {
            if (after.columns != columns + 1) Fail("CreateColumn did not add one column");
            int32_t found = -1;
            if (GetColumnIndex(t, name.c_str(), &found) != TBL_OK || found > columns)
                Fail("the new column is not found by its name");
            // Every cell keeps its value (lines rebuilt with escaped fields
            // included), and the new column's cells are empty.
            for (const auto &cell : before.cells) {
                auto it = after.cells.find(cell.first);
                if (it != after.cells.end() && it->second != cell.second)
                    Fail("CreateColumn changed a cell's value");
            }
        } else {
            if (rc != TBL_ERR_RANGE && rc != TBL_ERR_FAIL) Fail("CreateColumn returned " + std::to_string(rc));
            Expect(tavlprobe::Compare(before, after, "refused CreateColumn"), "CreateColumn");
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const char d = kDelimiters[data[0] & 3];
    const int32_t h = (data[0] >> 2) % 3;
    const Limits limits;
    const std::vector<std::string> values = Values(d, data, size);
    fuzzutil::Held held;
    {
        const std::string path = fuzzutil::WriteFile("in.csv", data + 1, size - 1);
        const std::string saved = fuzzutil::PathOf("saved.csv");
        Snapshot preview, edit, changed, reloaded;

        bool preview_open = false;
        {
            Handle p(true);
            int32_t rc = OpenTable(path.c_str(), p.t, OPEN_PREVIEW, &d, &h, nullptr);
            if (rc == TBL_OK) {
                preview_open = true;
                Expect(tavlprobe::Read(p.t, h, limits, &preview), "preview read");
                Change(p.t, h, values, limits);
                if (SaveTable(p.t, saved.c_str()) != TBL_ERR_MODE) Fail("OPEN_PREVIEW table was saved");
            } else if (rc > 0) {
                Fail("OpenTable returned " + std::to_string(rc));
            }
        }

        bool saved_ok = false;
        {
            Handle e(true);
            int32_t rc = OpenTable(path.c_str(), e.t, OPEN_EDIT, &d, &h, nullptr);
            if (rc == TBL_OK) {
                if (!preview_open) Fail("OPEN_EDIT opened a file that OPEN_PREVIEW refused");
                Expect(tavlprobe::Read(e.t, h, limits, &edit), "edit read");
                // The preview holds the first lines of the same table.
                if (preview.columns != edit.columns) Fail("preview and edit disagree on the column count");
                Snapshot head = edit;
                head.lines = preview.lines;
                for (auto it = head.cells.begin(); it != head.cells.end();)
                    it = it->first.first >= preview.lines ? head.cells.erase(it) : std::next(it);
                Expect(tavlprobe::Compare(preview, head, "preview vs edit"), "preview");

                Change(e.t, h, values, limits);
                Expect(tavlprobe::Read(e.t, h, limits, &changed), "read after changes");
                rc = SaveTable(e.t, saved.c_str());
                if (rc != TBL_OK) Fail("SaveTable returned " + std::to_string(rc));
                const std::string first = fuzzutil::ReadFile(saved);
                rc = SaveTable(e.t, saved.c_str());
                if (rc != TBL_OK) Fail("a second SaveTable returned " + std::to_string(rc));
                if (fuzzutil::ReadFile(saved) != first) Fail("two saves of one table wrote different files");
                saved_ok = true;
            } else if (rc > 0) {
                Fail("OpenTable returned " + std::to_string(rc));
            }
        }

        if (saved_ok) {
            Handle r;
            int32_t rc = OpenTable(saved.c_str(), r.t, OPEN_EDIT, &d, &h, nullptr);
            if (rc != TBL_OK) Fail("the saved table does not open again: " + std::to_string(rc));
            Expect(tavlprobe::Read(r.t, h, limits, &reloaded), "reload read");
            Expect(tavlprobe::Compare(changed, reloaded, "in memory vs saved"), "save");
        }
        // Every line a write left is sound, so an index over the saved file
        // reaches every line and reads every cell as it was written. Not
        // compared: a table without columns (one empty line, which an index
        // counts as one empty field), and lines holding a bare CR, which only
        // the input can have put there (a write escapes CR) and which ends a
        // line for an index but not for a load.
        const std::string bytes = saved_ok ? fuzzutil::ReadFile(saved) : std::string();
        bool bare_cr = false;
        for (size_t i = 0; i < bytes.size(); ++i)
            bare_cr |= bytes[i] == '\r' && (i + 1 == bytes.size() || bytes[i + 1] != '\n');
        if (saved_ok && changed.lines >= 0 && changed.columns > 0 && !bare_cr) {
            const std::string dir = fuzzutil::Subdir("index");
            int32_t rc = PreOpenTable(saved.c_str(), dir.c_str(), &d, &h, 1);
            if (rc != TBL_OK) Fail("PreOpenTable of the saved table returned " + std::to_string(rc));
            Handle x;
            rc = OpenTable(saved.c_str(), x.t, OPEN_INDEXED, &d, &h, dir.c_str());
            if (rc != TBL_OK) Fail("the saved table does not open indexed: " + std::to_string(rc));
            Snapshot indexed;
            Expect(tavlprobe::Read(x.t, h, limits, &indexed), "indexed read");
            Expect(tavlprobe::Compare(changed, indexed, "in memory vs indexed"), "index");
        }
    }
    held.ExpectSame("loaded");
    return 0;
}
