// The in-place cell read path: finding a field of an unsplit line, decoding
// it into a bounded buffer, and the readers built on them, which must give
// exactly what splitting and decoding a copy gives, read nothing past the
// line and allocate nothing.
#include <gtest/gtest.h>
#include <pellus.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "base/processor.h"
#include "base/tavlbuf.h"
#include "codec/field_select.h"
#include "codec/tavl_codec.h"
#include "store/backend.h"
#include "store/loaded.h"
#include "table.h"
#include "table/tavl_handle.h"
#include "tavlin32.h"
#include "testsupport.h"

namespace {

// The bytes in a heap block of exactly their size, with no NUL after them,
// so that AddressSanitizer catches any read past the end.
std::unique_ptr<char[]> Exact(const std::string &s) {
    std::unique_ptr<char[]> block(new char[s.size() ? s.size() : 1]);
    std::memcpy(block.get(), s.data(), s.size());
    return block;
}

// Random stored lines over the bytes that matter to the split and decode
// rules, with lengths across the 16- and 32-byte blocks of the walk; and
// (plain) lines of cells without quotes or backslashes, the usual table,
// which the walk takes by its own quick loop.
std::vector<std::string> RandomLines(char d, unsigned seed, bool plain = false) {
    const std::string alphabet =
        plain ? std::string("abcdefgh") + d : std::string("\"\"\\xa0F") + d + d + d;
    std::mt19937 rng(seed);
    std::vector<std::string> lines = {"", std::string(1, d), "\"" + std::string(1, d) + "\""};
    for (int i = 0; i < 600; i++) {
        std::string line(rng() % (plain ? 200 : 100), 'a');
        for (char &c : line) c = alphabet[rng() % alphabet.size()];
        lines.push_back(line);
    }
    return lines;
}

// Where each piece of a line ends, by FieldEndsWalk: the whole line in one
// walk, or (step) one piece more each time, as reads of its cells go.
std::vector<uint32_t> WalkEnds(const std::string &line, char d, bool step) {
    auto exact = Exact(line);
    std::vector<uint32_t> ends(line.size() + 80);
    size_t walked = 0;
    int32_t count = 0;
    int special = 0, done = 0;
    const int32_t capacity = static_cast<int32_t>(ends.size());
    for (int32_t want = 0; !done; want++)
        done = FieldEndsWalk(exact.get(), line.size(), d, ends.data(), capacity,
                             step ? want : capacity, &walked, &count, &special);
    ends.resize(static_cast<size_t>(count));
    return ends;
}

TEST(FieldWalk, FindFieldGivesThePiecesSplitLineGives) {
    for (char d : {',', '\t', '|'}) {
      for (bool plain : {false, true}) {
        for (const std::string &line : RandomLines(d, 7, plain)) {
            SCOPED_TRACE(testing::PrintToString(line));
            std::string copy = line;
            int32_t pieces = SplitLine(&copy[0], d);
            std::vector<uint32_t> whole = WalkEnds(line, d, false);
            EXPECT_EQ(WalkEnds(line, d, true), whole);
            ASSERT_EQ(whole.size(), static_cast<size_t>(pieces));
            // The count of a line's fields in a text of lines, up to its LF.
            for (const std::string &text : {line, line + "\n" + line + d}) {
                size_t end = 0;
                EXPECT_EQ(LineFieldCount(Exact(text).get(), text.size(), 0, d, &end),
                          static_cast<uint64_t>(pieces));
                EXPECT_EQ(end, line.size());
            }
            auto exact = Exact(line);
            const char *piece = copy.c_str();
            for (int32_t k = -1; k <= pieces; k++) {
                size_t start = 99, length = 99;
                int found = FindField(exact.get(), line.size(), d, k, &start, &length);
                ASSERT_EQ(found, k >= 0 && k < pieces) << "piece " << k;
                if (!found) continue;
                EXPECT_EQ(line.substr(start, length), std::string(piece)) << "piece " << k;
                EXPECT_EQ(whole[static_cast<size_t>(k)], start + length) << "piece " << k;
                piece += std::strlen(piece) + 1;
            }
        }
      }
    }
}

// The split rule by masks and byte by byte, from every position of texts
// of random lines, ended or not (the last byte then ends the last line).
TEST(FieldWalk, MasksAndBytesGiveTheSameSplit) {
    for (char d : {',', '\t'}) {
        std::string text;
        for (const std::string &line : RandomLines(d, 9)) {
            text += line + (line.size() % 3 ? "\n" : "");
            auto exact = Exact(text);
            for (int unended : {0, 1})
                for (size_t at = text.size() > 90 ? text.size() - 90 : 0; at < text.size(); at++) {
                    FieldBits wide, plain;
                    FieldBitsAt(exact.get(), text.size(), unended, at, d, &wide);
                    FieldBitsPlainAt(exact.get(), text.size(), unended, at, d, &plain);
                    ASSERT_EQ(std::make_tuple(wide.separators, wide.ends, wide.special, wide.quotes,
                                              wide.delimiters),
                              std::make_tuple(plain.separators, plain.ends, plain.special,
                                              plain.quotes, plain.delimiters))
                        << text.size() << " " << at;
                }
        }
    }
}

TEST(FieldWalk, DecodeFieldToFillsWhatFitsAndCountsAll) {
    for (const std::string &field : RandomLines('|', 3)) {
        SCOPED_TRACE(testing::PrintToString(field));
        auto exact = Exact(field);
        char *whole = nullptr;
        int32_t size = 0;
        ASSERT_EQ(TextBufferNew(&whole), TEXT_OK);
        ASSERT_EQ(DecodeField(exact.get(), field.size(), '|', &whole, &size), TEXT_OK);
        const std::string want(whole, static_cast<size_t>(size - 1));
        TextBufferFree(&whole);
        EXPECT_EQ(DecodeFieldTo(exact.get(), field.size(), '|', nullptr, 0), want.size());
        for (size_t capacity = 0; capacity <= want.size() + 1; capacity++) {
            std::string out(want.size() + 4, '#');
            ASSERT_EQ(DecodeFieldTo(exact.get(), field.size(), '|', &out[0], capacity),
                      want.size());
            size_t filled = std::min(capacity, want.size());
            EXPECT_EQ(out.substr(0, filled), want.substr(0, filled)) << capacity;
            EXPECT_EQ(out.substr(filled), std::string(out.size() - filled, '#')) << capacity;
        }
    }
}

// A long cell holding escapes, read from both back-ends at every buffer
// length: what fits, a terminating NUL, the full size, and no allocation.
TEST(FieldWalk, ReadersCutAtEveryLengthWithoutAllocating) {
    const std::string value = "a,b\\c\n" + std::string(40, 'v') + "\"q\",\"\"" + std::string(30, 'w');
    char *stored = nullptr;
    ASSERT_EQ(TextBufferNew(&stored), TEXT_OK);
    ASSERT_EQ(EncodeField(value.data(), value.size(), ',', 0, &stored), TEXT_OK);
    const std::string table = "h0,h1,h2\r\n0," + std::string(stored) + ",x\r\n";
    TextBufferFree(&stored);
    std::string path = tavltest::WriteFile("walk.csv", table);
    std::string dir = tavltest::FreshDir("walk_idx");
    const int32_t one = 1;
    ASSERT_EQ(PreOpenTable(path.c_str(), dir.c_str(), ",", &one, 1), TBL_OK);
    for (int32_t mode : {OPEN_EDIT, OPEN_INDEXED}) {
        SCOPED_TRACE(mode);
        tavltest::Table t;
        TableHandle *h = t.h;
        ASSERT_EQ(t.Open(path, mode, ',', 1, dir), TBL_OK);
        const int32_t size = static_cast<int32_t>(value.size()) + 1;
        long calls = pellus_calls();
        EXPECT_EQ(GetCellSizeByIndex(h, 1, 0), size);
        for (int32_t length = 1; length <= size + 1; length++) {
            std::vector<char> buf(static_cast<size_t>(length) + 1, '#');
            int32_t out = 0;
            int rc = GetCellValByIndex(h, 1, 0, buf.data(), &out, length);
            EXPECT_EQ(rc, length >= size ? TBL_OK : TBL_ERR_TRUNCATED) << length;
            EXPECT_EQ(out, size);
            size_t kept = static_cast<size_t>(std::min(length, size) - 1);
            EXPECT_EQ(std::string(buf.data(), kept), value.substr(0, kept)) << length;
            EXPECT_EQ(buf[kept], '\0');
            EXPECT_EQ(buf[static_cast<size_t>(length)], '#') << length;
        }
        EXPECT_EQ(pellus_calls(), calls);
    }
    EXPECT_EQ(PostCloseTable(path.c_str(), dir.c_str()), TBL_OK);
}

// An indexed line holding a NUL byte is read from a fetched copy, which
// drops the NUL; that copy is the one allocation a reader still makes, and
// its failure must read as TBL_ERR_NO_MEMORY with the buffer untouched.
TEST(FieldWalk, IndexedLineWithNulReadsTheFetchedCopy) {
    std::string path = tavltest::WriteFile("walk_nul.csv", std::string("a,b\n1,x\0y\n", 11));
    std::string dir = tavltest::FreshDir("walk_nul_idx");
    const int32_t one = 1;
    ASSERT_EQ(PreOpenTable(path.c_str(), dir.c_str(), ",", &one, 1), TBL_OK);
    long points = tavltest::SweepAllocationFailures([&](long k) {
        TableHandle *h = nullptr;
        ASSERT_EQ(NewTable(&h), TBL_OK);
        ASSERT_EQ(OpenTable(path.c_str(), h, OPEN_INDEXED, ",", &one, dir.c_str()), TBL_OK);
        char buf[8] = "#######";
        int32_t out = -1;
        tavltest::Arm(k);
        int rc = GetCellValByIndex(h, 1, 0, buf, &out, sizeof buf);
        tavltest::Disarm();
        if (k == 0) {
            EXPECT_EQ(rc, TBL_OK);
            EXPECT_STREQ(buf, "xy");
            EXPECT_EQ(out, 3);
        } else {
            EXPECT_EQ(rc, TBL_ERR_NO_MEMORY);
            EXPECT_STREQ(buf, "#######");
            EXPECT_EQ(out, -1);
        }
        EXPECT_EQ(CloseTable(h), TBL_OK);
        FreeTable(h);
    });
    EXPECT_GE(points, 1);
    EXPECT_EQ(PostCloseTable(path.c_str(), dir.c_str()), TBL_OK);
}

// The forms of the quick read that this processor runs, plainest first.
struct ReadForm {
    const char *name;
    int (*select)(const char *, uint32_t, char, int, uint32_t, uint32_t *, uint32_t *);
    ReadCell loaded, indexed;
    int32_t (*count)(void *, int64_t, const char *, size_t, size_t, int *);
};
std::vector<ReadForm> Forms() {
    std::vector<ReadForm> forms = {
        {"plain", SelectFieldPlain, LoadedReadPlain, IndexedReadPlain, LoadCountPlain}};
#if defined(TAVL_SELECT_WIDE)
    if (ProcessorVectorKind() >= PROCESSOR_AVX2)
        forms.push_back({"wide", SelectFieldWide, LoadedReadWide, IndexedReadWide, LoadCountWide});
    if (ProcessorVectorKind() >= PROCESSOR_AVX512)
        forms.push_back(
            {"widest", SelectFieldWidest, LoadedReadWidest, IndexedReadWidest, LoadCountWidest});
#endif
    return forms;
}

// The window answers exactly when it can, and then with FindField's
// piece: a line shorter than the window, no quote or backslash anywhere in
// the window (after the line too), and with controls no byte up to CR but
// D before the line's end. The window ends its block, so that
// AddressSanitizer catches a read past it.
TEST(FieldWalk, WindowSelectAnswersAsFindFieldDoes) {
    std::mt19937 rng(11);
    const std::string tails[] = {"abc", "x\"y", "\\", "a\nb"};
    for (char d : {',', '\t'}) {
        std::vector<std::string> lines = RandomLines(d, 5, true);
        for (const std::string &l : RandomLines(d, 6)) lines.push_back(l);
        for (std::string l : RandomLines(d, 8, true)) {
            if (!l.empty()) l[rng() % l.size()] = "\r\n\0\x01"[rng() % 4];
            lines.push_back(l);
        }
        for (const ReadForm &form : Forms()) {
            for (const std::string &line : lines) {
                if (line.size() >= SELECT_WINDOW) continue;
                for (int controls : {0, 1}) {
                    std::string w = line + (controls ? "\r\n" : std::string(1, '\0'));
                    while (w.size() < line.size() + SELECT_READ) w += tails[rng() % 4];
                    w.resize(line.size() + SELECT_READ);
                    auto exact = Exact(w);
                    const bool odd_window = w.substr(0, SELECT_WINDOW).find_first_of("\"\\") !=
                                            std::string::npos;
                    bool odd_line = false;
                    for (char c : line) odd_line |= controls && c != d && (unsigned char)c <= '\r';
                    for (uint32_t k = 0; k < SELECT_FIELDS; k++) {
                        size_t at = 0, length = 0;
                        const int found = FindField(line.data(), line.size(), d, static_cast<int32_t>(k),
                                                    &at, &length);
                        uint32_t start = 999, size = 999;
                        const int got = form.select(exact.get(), static_cast<uint32_t>(line.size()), d,
                                                    controls, k, &start, &size);
                        ASSERT_EQ(got, found && !odd_window && !odd_line)
                            << form.name << " " << testing::PrintToString(line) << " field " << k;
                        if (got) {
                            ASSERT_EQ(line.substr(start, size), line.substr(at, length));
                        }
                        if (!found) break;
                    }
                }
            }
        }
    }
}

// Reads a table's every data cell with each form of the quick read, in row
// order and at random, into a 4 KiB buffer, against the general read (into
// a buffer of the cell's size, which the quick read never takes). served
// gets the reads the window answered (the line is in the read's memo).
void ReadWithEveryForm(TableHandle *h, int32_t mode, long *served) {
    int32_t columns = 0, lines = 0;
    ASSERT_EQ(GetColumnCount(h, &columns), TBL_OK);
    ASSERT_EQ(GetLineCount(h, &lines), TBL_OK);
    std::vector<std::pair<int32_t, int32_t>> cells;
    for (int32_t r = 0; r < lines; r++)
        for (int32_t c = 0; c < columns; c++) cells.emplace_back(r, c);
    std::vector<std::pair<int32_t, int32_t>> shuffled = cells;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(3));
    for (const ReadForm &form : Forms()) {
        h->store.read = mode == OPEN_INDEXED ? form.indexed : form.loaded;
        ReadMemoForget(&h->store);
        if (mode != OPEN_INDEXED) { // the form's count notes the rows the load noted
            const LoadedStore *loaded = LoadedOf(&h->store);
            LoadedStore fresh = {};
            RowMaker maker = {&fresh, ',', columns, 0};
            for (int32_t p = 1; p < loaded->rowed; p++) {
                const LineRef ref = *LineSlot(&loaded->lines, p);
                const uint8_t *kept = RowOf(loaded->rows, columns, p);
                if ((ref & LINE_OWNED) || !kept || !kept[columns - 1]) continue;
                int consistent = 0;
                const char *text = loaded->text + (ref >> LENGTH_BITS);
                ASSERT_EQ(form.count(&maker, p, text, ref & LENGTH_LONG,
                                     loaded->room - (ref >> LENGTH_BITS), &consistent),
                          columns);
                const uint8_t *row = RowOf(fresh.rows, columns, p);
                ASSERT_TRUE(row && consistent) << form.name << " line " << p;
                EXPECT_EQ(std::vector<uint8_t>(row, row + columns), std::vector<uint8_t>(kept, kept + columns));
            }
            for (uint8_t *chunk : fresh.rows) qmem_free(chunk);
        }
        for (const auto &order : {cells, shuffled}) {
            for (auto [r, c] : order) {
                // The quick read first: the general read keeps its line.
                std::string wide(4096, '#');
                int32_t wide_out = 0, out = 0;
                const int32_t wide_rc = GetCellValByIndex(h, c, r, &wide[0], &wide_out, 4096);
                *served += h->store.memo.position == r + 1;
                int32_t size = GetCellSizeByIndex(h, c, r);
                std::string want(size > 0 ? static_cast<size_t>(size) : 1, '#');
                int32_t rc = GetCellValByIndex(h, c, r, &want[0], &out, size > 0 ? size : 1);
                ASSERT_EQ(wide_rc, rc) << form.name << " " << r << "," << c;
                if (rc != TBL_OK) continue;
                ASSERT_EQ(wide_out, out) << form.name << " " << r << "," << c;
                ASSERT_EQ(wide.substr(0, static_cast<size_t>(out)), want) << form.name << " " << r << "," << c;
            }
        }
    }
}

}  // namespace

// Every form of the quick read reads what the general read reads, on lines
// of every shape beside lines it answers: long lines, quotes and escapes in
// the line or only in the window after it, long cells, CR LF and LF, a lone
// CR and a NUL inside a line, a last line without LF, a byte-order mark,
// and more fields than the window's reach.
TEST(FieldWalk, QuickReadsReadWhatTheGeneralReadReads) {
    const std::string shapes[] = {
        "\xEF\xBB\xBFh0,h1,h2\r\n", "a,b,c\r\n", "1,22,333\n", std::string(150, 'L') + ",x,y\r\n",
        "q\",\"x,y,z\r\n", "e\\x41,\\\\,f\r\n", "n,m,o\r\n", "after,next,line\"\n",
        std::string(70, 'c') + ",long,cell\n", "cr\rin,the,line\n", std::string("nul\0in,a,line\n", 15),
        ",,\r\n", "last,no,lf"};
    std::string text;
    for (const std::string &s : shapes) text += s;
    std::string wide = "h0";
    for (int i = 1; i < 70; i++) wide += ",h" + std::to_string(i);
    std::string wide_row = "0";
    for (int i = 1; i < 70; i++) wide_row += "," + std::to_string(i % 7);
    wide += "\n" + wide_row + "\n" + wide_row + "\n";
    long served = 0;
    for (const std::string &table : {text, wide}) {
        const std::string path = tavltest::WriteFile("forms.csv", table);
        const std::string dir = tavltest::FreshDir("forms_idx");
        ASSERT_EQ(tavltest::Prepare(path, dir), TBL_OK);
        for (int32_t mode : {OPEN_EDIT, OPEN_INDEXED}) {
            SCOPED_TRACE(mode);
            tavltest::Table t;
            ASSERT_EQ(t.Open(path, mode, ',', 1, dir), TBL_OK);
            ReadWithEveryForm(t.h, mode, &served);
            if (mode == OPEN_EDIT) {
                ASSERT_EQ(t.Set(1, 1, "changed, with \"quotes\""), TBL_OK);
                ASSERT_EQ(CreateColumn(t.h, -1, "new"), TBL_OK);
                ASSERT_EQ(t.Set(0, 1, "x"), TBL_OK);
                ReadWithEveryForm(t.h, mode, &served);
            }
        }
        EXPECT_EQ(PostCloseTable(path.c_str(), dir.c_str()), TBL_OK);
    }
    EXPECT_GT(served, 100);
}

// A data file changed after its index was made: every cell read is the
// cell of the line the index names, as the file now holds it, or
// TBL_ERR_INDEX_OPEN for a line that is no longer where the index says;
// never another line's cell. Changes of the same size: an LF moved within
// a line, two lines of different lengths swapped, a value changed in place
// (which reads as it now stands).
TEST(FieldWalk, IndexedReadsOfAChangedDataFile) {
    std::vector<std::string> rows = {"h0,h1,h2"};
    for (int i = 0; i < 60; i++)
        rows.push_back("r" + std::to_string(i) + "," + std::string(static_cast<size_t>(i % 9), 'v') + ",z");
    auto join = [](const std::vector<std::string> &r) {
        std::string t;
        for (const std::string &l : r) t += l + "\n";
        return t;
    };
    const std::string original = join(rows);
    struct Change {
        const char *what;
        std::string text;
        std::vector<int> moved; // data lines no longer where the index says
    };
    std::string lf_moved = original;
    const size_t lf = lf_moved.find("\nr21,");
    std::swap(lf_moved[lf], lf_moved[lf + 2]); // line 20 longer, 21 shorter
    std::vector<std::string> swapped = rows;
    std::swap(swapped[31], swapped[32]);
    std::string in_place = original;
    in_place[in_place.find("r40,") + 1] = 'X';
    const Change changes[] = {{"an LF moved", lf_moved, {20, 21}},
                              {"two lines swapped", join(swapped), {30, 31}},
                              {"a value changed in place", in_place, {}}};
    for (const Change &change : changes) {
        SCOPED_TRACE(change.what);
        const std::string path = tavltest::WriteFile("changed.csv", original);
        const std::string dir = tavltest::FreshDir("changed_idx");
        ASSERT_EQ(tavltest::Prepare(path, dir), TBL_OK);
        tavltest::WriteFile("changed.csv", change.text);
        std::vector<std::string> now;
        for (size_t at = 0, next; (next = change.text.find('\n', at)) != std::string::npos; at = next + 1)
            now.push_back(change.text.substr(at, next - at));
        for (const ReadForm &form : Forms()) {
            tavltest::Table t;
            ASSERT_EQ(t.Open(path, OPEN_INDEXED, ',', 1, dir), TBL_OK);
            t.h->store.read = form.indexed;
            for (int32_t r = 0; r < 60; r++) {
                const bool moved = std::count(change.moved.begin(), change.moved.end(), r) > 0;
                for (int32_t c = 0; c < 3; c++) {
                    char buf[4096];
                    int32_t out = 0;
                    int32_t rc = GetCellValByIndex(t.h, c, r, buf, &out, sizeof buf);
                    if (moved) {
                        EXPECT_EQ(rc, TBL_ERR_INDEX_OPEN) << form.name << " line " << r;
                        continue;
                    }
                    ASSERT_EQ(rc, TBL_OK) << form.name << " line " << r;
                    std::string line = now[static_cast<size_t>(r) + 1], want;
                    for (int32_t k = 0; k <= c; k++) {
                        want = line.substr(0, line.find(','));
                        line.erase(0, want.size() + 1);
                    }
                    EXPECT_EQ(std::string(buf, static_cast<size_t>(out - 1)), want)
                        << form.name << " line " << r << " column " << c;
                }
            }
        }
        EXPECT_EQ(PostCloseTable(path.c_str(), dir.c_str()), TBL_OK);
    }
}

// A wide table read in every order gives the same cells: row by row, column
// by column over all lines (which walks each line from its marks), right to
// left, at random; also after writes and a new column, which move pieces.
TEST(FieldWalk, EveryReadOrderReadsTheSameCells) {
    const int32_t columns = 300, lines = 40;
    auto value = [](int32_t r, int32_t c) {
        std::string v = std::to_string(r * 7 + c);
        if ((r + c) % 37 == 0) v += ",\"q\"\\";
        // Lengths up to about 80: every width the copy of a cell treats apart.
        return v + std::string(static_cast<size_t>((r * c) % 71), 'x');
    };
    std::vector<std::vector<std::string>> want(lines + 1);
    std::string text;
    for (int32_t r = 0; r <= lines; r++) {
        for (int32_t c = 0; c < columns; c++) {
            want[r].push_back(r ? value(r, c) : "h" + std::to_string(c));
            char *stored = nullptr;
            ASSERT_EQ(TextBufferNew(&stored), TEXT_OK);
            ASSERT_EQ(EncodeField(want[r][c].data(), want[r][c].size(), ',', 0, &stored), TEXT_OK);
            text += (c ? "," : "") + std::string(stored);
            TextBufferFree(&stored);
        }
        text += "\r\n";
    }
    const std::string path = tavltest::WriteFile("orders.csv", text);
    const std::string dir = tavltest::FreshDir("orders_idx");
    ASSERT_EQ(tavltest::Prepare(path, dir), TBL_OK);
    std::mt19937 rng(5);
    auto read_all = [&](tavltest::Table &t, int order) {
        std::vector<std::pair<int32_t, int32_t>> cells;
        for (int32_t a = 0; a < (order == 1 ? columns : lines); a++)
            for (int32_t b = 0; b < (order == 1 ? lines : columns); b++)
                cells.push_back(order == 1 ? std::make_pair(b, a) : std::make_pair(a, b));
        if (order == 2) std::reverse(cells.begin(), cells.end());
        if (order == 3) std::shuffle(cells.begin(), cells.end(), rng);
        for (auto [r, c] : cells) ASSERT_EQ(t.Cell(c, r), want[r + 1][c]) << r << "," << c;
    };
    for (int32_t mode : {OPEN_INDEXED, OPEN_EDIT}) { // the edit changes want
        tavltest::Table t;
        ASSERT_EQ(t.Open(path, mode, ',', 1, dir), TBL_OK);
        for (int order = 0; order < 4; order++) {
            SCOPED_TRACE(std::to_string(mode) + " order " + std::to_string(order));
            read_all(t, order);
        }
        if (mode != OPEN_EDIT) continue;
        for (int32_t r = 0; r < lines; r += 3) {
            for (int32_t c : {5, 150, 299}) {
                want[r + 1][c] = r % 2 ? "" : "longer \"cell\", " + value(r, c);
                ASSERT_EQ(t.Set(c, r, want[r + 1][c]), TBL_OK);
            }
        }
        read_all(t, 2); // far cells of changed lines first
        ASSERT_EQ(CreateColumn(t.h, -1, "new"), TBL_OK);
        for (int32_t r = 0; r < lines; r++) ASSERT_EQ(t.Cell(columns, r), "") << r;
        read_all(t, 3);
    }
    EXPECT_EQ(PostCloseTable(path.c_str(), dir.c_str()), TBL_OK);
}
