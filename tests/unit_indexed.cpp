// Internals of the indexed back-end: the name hash and index file names, the
// read-only mapping, the words a preparation writes, and the open, fetch and
// release of a mapped table driven on a bare store.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "base/tavlbuf.h"
#include "base/tavlfile.h"
#include "base/tavlhost.h"
#include "store/backend.h"
#include "store/indexed.h"
#include "tavlin32.h"
#include "testsupport.h"

#ifndef _WIN32
#  include <sys/stat.h>
#endif

using tavltest::TempDir;
using tavltest::WriteFile;
using tavltest::ReadFile;
using tavltest::Words;

namespace {

using namespace std::string_literals;

#ifndef _WIN32
// A FIFO at name inside TempDir(), made afresh; no process ever opens it
// for writing.
std::string MakeFifo(const std::string &name) {
    std::string path = TempDir() + "/" + name;
    std::remove(path.c_str());
    EXPECT_EQ(mkfifo(path.c_str(), 0600), 0) << path;
    return path;
}
#endif

std::string NameOf(const std::string &path, const std::string &dir,
                   char delimiter = ',', int32_t header = 1, int32_t unique = 0) {
    char name[256];
    int rc = IndexFileName(path.c_str(), dir.c_str(), delimiter, header, unique,
                           name, sizeof name);
    return rc == TBL_OK ? std::string(name) : "rc " + std::to_string(rc);
}

TEST(IndexName, HashWorkedValues) {
    struct Case { const char *text; uint32_t hash; } cases[] = {
        {"", 0},     {"a", 97},   {"abc", 6499}, {"abcdefgh", 9323},
        {"t.csv", 7894}, {"t.csv1,", 3510},
        // Bytes above 0x7F are taken unsigned.
        {"\xff", 255},
    };
    for (const Case &c : cases) EXPECT_EQ(IndexNameHash(c.text), c.hash) << c.text;
}

// The separator the index directory takes, and the other slash, which is an
// ordinary file-name byte there. In the tables below '|' stands for the first.
#ifdef _WIN32
const char kSeparator = '\\', kOtherSlash = '/';
#else
const char kSeparator = '/', kOtherSlash = '\\';
#endif

std::string Sep(std::string text) {
    for (char &c : text) {
        if (c == '|') c = kSeparator;
        else if (c == '~') c = kOtherSlash;
    }
    return text;
}

TEST(IndexName, Paths) {
    struct Case {
        const char *path, *dir;
        char delimiter;
        int32_t header, unique;
        const char *name;
    } cases[] = {
        {"t.csv", "idx", ',', 1, 0, "idx|7894.idx"},
        {"t.csv", "idx|", ',', 1, 0, "idx|7894.idx"},
        {"a", "idx", ',', 1, 0, "idx|  97.idx"},      // spaces, never zeros
        {"", "idx", ',', 1, 0, "idx|    .idx"},       // hash 0 prints no digit
        {"t.csv", "idx", ',', 1, 7, "idx|3510.idx"},   // only non-zero matters
        {"t.csv", "idx", ';', 5, 0, "idx|7894.idx"},   // ignored without unique
        {"t.csv", "", ',', 1, 0, "|7894.idx"},
        {"t.csv", "idx~", ',', 1, 0, "idx~|7894.idx"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(NameOf(c.path, Sep(c.dir), c.delimiter, c.header, c.unique), Sep(c.name))
            << c.path << " in " << c.dir;
    // The path is hashed as written: another spelling, another file.
    EXPECT_NE(NameOf("./t.csv", "idx"), NameOf("t.csv", "idx"));
    // Under a unique flag the header count and delimiter change the name.
    EXPECT_NE(NameOf("t.csv", "i", ',', 2, 1), NameOf("t.csv", "i", ',', 1, 1));
    EXPECT_NE(NameOf("t.csv", "i", ';', 1, 1), NameOf("t.csv", "i", ',', 1, 1));
    EXPECT_EQ(NameOf("t.csv", "i", ',', -12, 1), Sep("i|6219.idx")); // "t.csv-12,"
}

TEST(IndexName, LengthLimit) {
    // dir + separator + 4 + ".idx" + NUL: 246 bytes of directory fill 256.
    std::string fits(246, 'd'), too_long(247, 'd');
    EXPECT_EQ(NameOf("t.csv", fits).size(), 255u);
    EXPECT_EQ(NameOf("t.csv", too_long), "rc -15");
    EXPECT_EQ(NameOf("t.csv", too_long + Sep("|")).substr(0, 2), "rc");
    EXPECT_EQ(NameOf("t.csv", fits + Sep("|")).size(), 255u);
    char small[12];
    EXPECT_EQ(IndexFileName("t.csv", "abc", ',', 1, 0, small, sizeof small), TBL_ERR_RANGE);
    EXPECT_EQ(IndexFileName("t.csv", "ab", ',', 1, 0, small, sizeof small), TBL_OK);
    EXPECT_EQ(small, Sep("ab|7894.idx"));
}

TEST(Mapping, ViewsAndFailures) {
    std::string bytes = "line one\nline two\n";
    std::string path = WriteFile("map.txt", bytes);
    const char *view = nullptr;
    uint64_t size = 0;
    ASSERT_EQ(MapFileReadOnly(path.c_str(), ACCESS_RANDOM, &view, &size, nullptr), FILE_OK);
    // The file's handles are closed by now; the view must still hold the file.
    ASSERT_EQ(size, bytes.size());
    EXPECT_EQ(std::string(view, size), bytes);
#ifdef _WIN32
    EXPECT_EQ(UnmapFile(view, size), FILE_OK);
    EXPECT_EQ(UnmapFile(view, size), FILE_NOT_MAPPED); // not mapped any more
#else
    // munmap takes pages that are no longer mapped without complaint, so a
    // second release cannot be told; an address inside a page is refused.
    EXPECT_EQ(UnmapFile(view + 1, size - 1), FILE_NOT_MAPPED);
    EXPECT_EQ(std::string(view, size), bytes);
    EXPECT_EQ(UnmapFile(view, size), FILE_OK);
#endif

    // Nothing at the path is waited for: a FIFO without a writer is refused
    // at once, like a directory or a device.
    struct Case { std::string path; FileResult rc; } cases[] = {
        {WriteFile("empty.txt", ""), FILE_CANNOT_MAP},
        {TempDir() + "/missing.txt", FILE_NOT_FOUND},
        {TempDir() + "/missing/map.txt", FILE_NOT_FOUND},
        {TempDir(), FILE_NOT_REGULAR},
#ifndef _WIN32
        {MakeFifo("map.fifo"), FILE_NOT_REGULAR},
        {"/dev/null", FILE_NOT_REGULAR},
#endif
    };
    for (const Case &c : cases) {
        view = reinterpret_cast<const char *>(1);
        size = 7;
        EXPECT_EQ(MapFileReadOnly(c.path.c_str(), ACCESS_SEQUENTIAL, &view, &size, nullptr), c.rc)
            << c.path;
        EXPECT_EQ(view, nullptr);
        EXPECT_EQ(size, 0u);
    }
}

// The file layer maps a file of any size the address space holds, at its
// whole 64-bit size; the indexed back-end keeps 32-bit sizes and refuses a
// data file of 4 GiB or more rather than read it short. 0xFFFFFFFF itself is
// a size. The files are sparse, so nothing is written or read.
// Files of 4 GiB and more map whole where the address space holds them.
TEST(Mapping, AroundFourGiB) {
    for (uint64_t size : {0xFFFFFFFFull, 0x100000000ull, 0x100000005ull}) {
        std::string path = WriteFile("huge.bin", "a,b\n");
        std::filesystem::resize_file(path, size);
        const char *view = nullptr;
        uint64_t mapped = 0;
        const bool fits = static_cast<uint64_t>(static_cast<size_t>(size)) == size;
        EXPECT_EQ(MapFileReadOnly(path.c_str(), ACCESS_RANDOM, &view, &mapped, nullptr),
                  fits ? FILE_OK : FILE_TOO_LARGE)
            << size;
        EXPECT_EQ(mapped, fits ? size : 0u);
        if (view) {
            EXPECT_EQ(std::string(view, 4), "a,b\n");
            EXPECT_EQ(view[mapped - 1], '\0');
            EXPECT_EQ(UnmapFile(view, mapped), FILE_OK);
        }
        std::remove(path.c_str());
    }
}

// What a preparation writes for a data file: the exact bytes of the index.
TEST(Prepare, IndexFileWords) {
    struct Case {
        const char *what;
        std::string data;
        char delimiter;
        int32_t header;
        int rc;
        std::vector<uint32_t> words; // when rc is TBL_OK
    } cases[] = {
        {"three columns", "a,b,c\n1,2,3\n", ',', 1, TBL_OK, {1, 3, 0, 6}},
        {"one column", "abc\nd\n", ',', 1, TBL_OK, {1, 1, 0, 4}},
        {"no header lines", "a,b\n1,2\n", ',', 0, TBL_OK, {2, 2, 0, 4}},
        {"CR LF", "a;b\r\n1;2\r\n", ';', 1, TBL_OK, {1, 2, 0, 5}},
        {"no final LF", "a,b\r\n1,2", ',', 1, TBL_OK, {1, 2, 0, 5}},
        {"other field count ends the table", "a,b\n1,2\n1,2,3\n4,5\n", ',', 1,
         TBL_OK, {1, 2, 0, 4}},
        {"blank line ends the table", "a,b\n1,2\n\n3,4\n", ',', 1, TBL_OK, {1, 2, 0, 4}},
        {"blank line of a one-column table", "a\n1\n\n2\n", ',', 1, TBL_OK,
         {3, 1, 0, 2, 4, 5}},
        {"encoded delimiter not counted", "a,b\n\",\",2\n", ',', 1, TBL_OK, {1, 2, 0, 4}},
        {"encoded delimiter with no LF after", "a,b\n1\",\"", ',', 1, TBL_OK,
         {0, 2, 0}},
        {"delimiter as first byte counts", ",a\n1,2\n", ',', 1, TBL_OK, {1, 2, 0, 3}},
        {"delimiter as last byte ends a line", "a,b\n1,", ',', 1, TBL_OK, {0, 2, 0}},
        {"all header lines", "a\nb\n", ',', 2, TBL_OK, {0, 1, 0, 2}},
        {"just an LF", "\n", ',', 1, TBL_OK, {0, 1, 0}},
        {"long lines", "a,b,c,d,e,f,g,h,i,j\n0,1,2,3,4,5,6,7,8,9",
         ',', 1, TBL_OK, {1, 10, 0, 20}},
        {"encoded delimiters deep in long lines",
         "name,value\n0123456789abcdef\",\"x,2\n0123456789abcdefghij,3,4\nz,9\n", ',', 1,
         TBL_OK, {1, 2, 0, 11}},
        // Delimiters every open refuses: no index is written for them.
        {"quote as delimiter", "a\"b\"c\nx\"\"\"y\n", '"', 1, TBL_ERR_DELIMITER, {}},
        {"LF as delimiter", "a\nb\n", '\n', 1, TBL_ERR_DELIMITER, {}},
        {"CR as delimiter", "a\rb\n", '\r', 1, TBL_ERR_DELIMITER, {}},
        {"backslash as delimiter", "a\\b\n", '\\', 1, TBL_ERR_DELIMITER, {}},
        {"NUL as delimiter", "a\nb\n", '\0', 1, TBL_ERR_DELIMITER, {}},
        {"fewer lines than header lines", "a\nb\n", ',', 3, TBL_ERR_FORMAT, {}},
        {"empty data file", "", ',', 1, TBL_ERR_MAP_DATA, {}},
    };
    std::string dir = TempDir();
    for (const Case &c : cases) {
        std::string path = WriteFile("prep.csv", c.data);
        std::string index = NameOf(path, dir);
        std::remove(index.c_str());
        EXPECT_EQ(PrepareIndexFile(path.c_str(), dir.c_str(), &c.delimiter, &c.header, 0, 0),
                  c.rc) << c.what;
        if (c.rc == TBL_OK) {
            EXPECT_EQ(ReadFile(index), Words(c.words)) << c.what;
        } else {
            EXPECT_FALSE(os_is_file_exist(index.c_str())) << c.what;
        }
        std::remove(index.c_str());
    }
}

// The scan reads sixteen bytes at a time where it can; on generated tables
// with quotes, encoded delimiters and odd field counts at every position it
// must give the words the line rules give byte by byte.
std::vector<uint32_t> RulesByteByByte(const std::string &d, char delimiter,
                                      uint32_t header) {
    uint32_t lines = 0, reference = 0, fields = 1;
    std::vector<uint32_t> offsets = {0};
    for (size_t i = 0; i < d.size(); ++i) {
        if (d[i] == '\n' || i + 1 == d.size()) {
            if (lines == 0) reference = fields;
            else if (fields != reference) break;
            ++lines;
            fields = 1;
            offsets.push_back(static_cast<uint32_t>(i + 1));
        } else if (d[i] == delimiter &&
                   !(i > 0 && d[i - 1] == '"' && d[i + 1] == '"')) {
            ++fields;
        }
    }
    offsets.resize(lines);
    std::vector<uint32_t> words = {lines - header, reference};
    words.insert(words.end(), offsets.begin(), offsets.end());
    return words;
}

TEST(Prepare, AgreesWithByteByByteRules) {
    std::mt19937 random(20240607);
    const char *pieces[] = {"a", "b", "\"", "\",\"", "\r", "\"\"", ";", ","};
    std::string dir = TempDir();
    for (int round = 0; round < 300; ++round) {
        char delimiter = round % 3 ? ',' : ';';
        int fields = 1 + static_cast<int>(random() % 4);
        std::string data;
        int lines = 1 + static_cast<int>(random() % 40);
        for (int l = 0; l < lines; ++l) {
            int count = random() % 25 == 0 ? fields + 1 : fields;
            for (int f = 0; f < count; ++f) {
                if (f) data += delimiter;
                int length = static_cast<int>(random() % 12);
                for (int k = 0; k < length; ++k) data += pieces[random() % std::size(pieces)];
            }
            if (l + 1 < lines || random() % 2) data += "\n";
        }
        if (data.empty()) data = "x";
        std::string path = WriteFile("rules.csv", data);
        std::string index = NameOf(path, dir);
        int32_t header = 0;
        ASSERT_EQ(PrepareIndexFile(path.c_str(), dir.c_str(), &delimiter, &header, 1, 0),
                  TBL_OK) << data;
        EXPECT_EQ(ReadFile(index), Words(RulesByteByByte(data, delimiter, 0))) << data;
        std::remove(index.c_str());
    }
}

TEST(Prepare, ManyLines) {
    // Enough lines for the offsets to outgrow their first block.
    std::string data;
    std::vector<uint32_t> words = {9999, 2};
    for (uint32_t k = 0; k < 10000; ++k) {
        words.push_back(static_cast<uint32_t>(data.size()));
        data += k % 7 ? "key,value\r\n" : "k,v\n";
    }
    std::string path = WriteFile("many.csv", data);
    int32_t one = 1;
    const char comma = ',';
    ASSERT_EQ(PrepareIndexFile(path.c_str(), TempDir().c_str(), &comma, &one, 1, 0), TBL_OK);
    EXPECT_EQ(ReadFile(NameOf(path, TempDir())), Words(words));
    std::remove(NameOf(path, TempDir()).c_str());
}

// A bare store opened straight through the back-end, as the open does.
struct Indexed {
    TableStore store{};
    TableShape shape{};
    std::string path, dir;
    explicit Indexed(const std::string &data, int32_t header = 1, char delimiter = ',',
                     const std::string &file = "fetch.csv") {
        dir = TempDir();
        path = WriteFile(file, data);
        store.delimiter = delimiter;
        store.header_lines = header;
        std::remove(NameOf(path, dir, delimiter, header).c_str());
        EXPECT_EQ(PrepareIndexFile(path.c_str(), dir.c_str(), &delimiter, &header, 1, 0),
                  TBL_OK);
    }
    ~Indexed() {
        IndexedRelease(&store);
        std::remove(NameOf(path, dir).c_str());
    }
    int Open() { return IndexedOpen(&store, path.c_str(), dir.c_str(), &shape); }
    std::string Fetch(int32_t position, int *rc) {
        char *text = nullptr;
        EXPECT_EQ(TextBufferNew(&text), TEXT_OK);
        *rc = IndexedFetchLine(&store, position, &text);
        std::string out = text ? text : "(null)";
        TextBufferFree(&text);
        return out;
    }
    std::string Index() { return NameOf(path, dir, store.delimiter, store.header_lines); }
};

TEST(IndexedTable, FetchLines) {
    Indexed t("h1,h2\r\n1\r2,x\r\nno\0nul,y\nlast,z\n"
              "0123456789abcdefghij\0klmnopqrstuvwxyz,0123456789abcdef\r\n"
              "0123456789abcdefghijklmnopqrstuvwxyz\0,tail"s);
    ASSERT_EQ(t.Open(), TBL_OK);
    EXPECT_EQ(t.shape.columns, 2);
    EXPECT_EQ(t.shape.data_lines, 5);
    struct Case { int32_t position; int rc; const char *text; } cases[] = {
        {0, TBL_OK, "h1,h2"},      // CR LF without the CR
        {1, TBL_OK, "1"},          // a lone CR ends the line too
        {2, TBL_OK, "nonul,y"},    // NUL bytes are dropped
        {3, TBL_OK, "last,z"},
        {4, TBL_OK, "0123456789abcdefghijklmnopqrstuvwxyz,0123456789abcdef"},
        {5, TBL_OK, "0123456789abcdefghijklmnopqrstuvwxyz,tail"}, // no final LF
        {6, TBL_ERR_FAIL, ""},
        {-1, TBL_ERR_FAIL, ""},
        {INT32_MAX, TBL_ERR_FAIL, ""},
    };
    for (const Case &c : cases) {
        int rc;
        std::string text = t.Fetch(c.position, &rc);
        EXPECT_EQ(rc, c.rc) << c.position;
        if (rc == TBL_OK) {
            EXPECT_EQ(text, c.text) << c.position;
        }
    }
    EXPECT_EQ(IndexedRelease(&t.store), TBL_OK);
    EXPECT_EQ(IndexedOf(&t.store)->data_view, nullptr);
    EXPECT_EQ(IndexedOf(&t.store)->index_view, nullptr);
    int rc;
    t.Fetch(0, &rc);
    EXPECT_EQ(rc, TBL_ERR_FAIL);
    EXPECT_EQ(IndexedRelease(&t.store), TBL_OK); // nothing left to release
}

// Index files that do not match their data, or the open, are refused at the
// open; none is read past its end. The open checks that the index describes
// the data file it maps: sampled offsets rise and start lines, line 0 splits
// into the stored column count, and the last line ends the table.
TEST(IndexedTable, DamagedIndexFiles) {
    const std::string data = "a,b\n1,2\n3,4\n";
    struct Case {
        const char *what;
        bool replace;       // write index over the prepared file
        std::string index;
        int32_t open_header;
        int rc;
        std::string other_data = ""; // prepared instead of data
        char open_delimiter = ',';
    } cases[] = {
        {"prepared file", false, "", 1, TBL_OK},
        {"other header count", false, "", 2, TBL_ERR_INDEX_OPEN},
        {"no header lines", false, "", 0, TBL_ERR_INDEX_OPEN},
        {"truncated", true, Words({2, 2, 0, 4}), 1, TBL_ERR_INDEX_OPEN},
        {"trailing bytes", true, Words({2, 2, 0, 4, 8}) + "x", 1, TBL_ERR_INDEX_OPEN},
        {"four bytes", true, Words({2}), 1, TBL_ERR_INDEX_OPEN},
        {"empty", true, "", 1, TBL_ERR_INDEX_OPEN},
        {"negative data count", true, Words({0xFFFFFFFFu, 2, 0}), 2, TBL_ERR_INDEX_OPEN},
        {"no lines at all", true, Words({0, 2}), 0, TBL_ERR_INDEX_OPEN},
        {"zero columns", true, Words({2, 0, 0, 4, 8}), 1, TBL_ERR_INDEX_OPEN},
        {"negative columns", true, Words({2, 0x80000000u, 0, 4, 8}), 1, TBL_ERR_INDEX_OPEN},
        {"more columns than line 0 holds", true, Words({2, 5, 0, 4, 8}), 1,
         TBL_ERR_INDEX_OPEN},
        {"more columns than line 0 splits into", true, Words({2, 4, 0, 4, 8}), 1,
         TBL_ERR_INDEX_OPEN},
        {"fewer columns than line 0 splits into", true, Words({2, 1, 0, 4, 8}), 1,
         TBL_ERR_INDEX_OPEN},
        {"line 0 not at offset 0", true, Words({2, 2, 4, 4, 8}), 1, TBL_ERR_INDEX_OPEN},
        {"offsets that fall", true, Words({2, 2, 0, 8, 4}), 1, TBL_ERR_INDEX_OPEN},
        {"an offset twice", true, Words({2, 2, 0, 4, 4}), 1, TBL_ERR_INDEX_OPEN},
        {"a line not after an LF", true, Words({2, 2, 0, 5, 8}), 1, TBL_ERR_INDEX_OPEN},
        {"an offset past the data", true, Words({2, 2, 0, 4, 12}), 1, TBL_ERR_INDEX_OPEN},
        {"a table cut before a line it would hold", true, Words({1, 2, 0, 4}), 1,
         TBL_ERR_INDEX_OPEN},
        {"the wide form for a file under 4 GiB", true, Words({2, 2, 0, 0, 4, 0, 8, 0}), 1,
         TBL_ERR_INDEX_OPEN},
        {"another delimiter than prepared", false, "", 1, TBL_ERR_INDEX_OPEN, "", ';'},
        {"a table that ends before a line of other fields", false, "", 1, TBL_OK,
         "a,b\n1,2\n1,2,3\n4,5\n"},
        {"a table that ends before an empty line", false, "", 1, TBL_OK, "a,b\n1,2\n\n3,4\n"},
        {"encoded delimiters in line 0", false, "", 1, TBL_OK, "a\",\"b,c\n1,2\n"},
        {"no final LF", false, "", 1, TBL_OK, "a,b\n1,2"},
    };
    for (const Case &c : cases) {
        Indexed t(c.other_data.empty() ? data : c.other_data);
        std::string name = t.Index();
        if (c.replace) WriteFile(name.substr(name.find_last_of("/\\") + 1), c.index);
        // Unique 0: the open finds the same file whatever its header count
        // and delimiter.
        t.store.header_lines = c.open_header;
        t.store.delimiter = c.open_delimiter;
        EXPECT_EQ(t.Open(), c.rc) << c.what;
        if (c.rc != TBL_OK) {
            EXPECT_EQ(t.shape.columns, 0) << c.what;
            EXPECT_EQ(t.shape.data_lines, 0) << c.what;
        } else {
            EXPECT_EQ(t.shape.columns, 2) << c.what;
        }
        t.store.header_lines = 1;
        t.store.delimiter = ',';
    }
}

// An index past its first page: the open reads the last offsets and the
// end of the data from the files rather than through the mappings.
TEST(IndexedTable, DamagedEndsOfALargeIndex) {
    std::string data = "k,v\n";
    for (int i = 0; i < 3000; ++i) data += std::to_string(i) + ",x\n";
    struct Case {
        const char *what;
        std::string after;  // the data file after the preparation
        int patch_line;     // an offset set to that of the line before (-1: none)
        int rc;
    } cases[] = {
        {"as prepared", data, -1, TBL_OK},
        {"grown by a line it would hold", data + "3000,y\n", -1, TBL_ERR_INDEX_OPEN},
        {"grown by a line of other fields", data + "end\n", -1, TBL_OK},
        {"cut before its last line", data.substr(0, data.size() - 8), -1, TBL_ERR_INDEX_OPEN},
        {"an offset that does not rise near the end", data, 2998, TBL_ERR_INDEX_OPEN},
    };
    for (const Case &c : cases) {
        Indexed t(data, 1, ',', "large_index.csv");
        if (c.patch_line >= 0) {
            std::string index = ReadFile(t.Index());
            std::memcpy(&index[8 + 4 * c.patch_line], &index[8 + 4 * (c.patch_line - 1)], 4);
            WriteFile(t.Index(), index);
        }
        WriteFile("large_index.csv", c.after);
        EXPECT_EQ(t.Open(), c.rc) << c.what;
    }
}

TEST(IndexedTable, OpenFailures) {
    Indexed t("a,b\n1,2\n");
    TableShape shape{};
    EXPECT_EQ(IndexedOpen(&t.store, t.path.c_str(), nullptr, &shape),
              TBL_ERR_INDEX_OPEN);
    EXPECT_EQ(IndexedOpen(&t.store, t.path.c_str(), (TempDir() + "/none").c_str(),
                          &shape),
              TBL_ERR_INDEX_OPEN);
    EXPECT_EQ(IndexedOf(&t.store)->index_view, nullptr);
    t.store.unique = 1; // prepared without: the unique name has no file
    EXPECT_EQ(t.Open(), TBL_ERR_INDEX_OPEN);
    t.store.unique = 0;

    // The data file emptied after its preparation cannot be mapped; the
    // mapped index stays in the handle for the release.
    WriteFile("fetch.csv", "");
    EXPECT_EQ(t.Open(), TBL_ERR_MAP_DATA);
    EXPECT_NE(IndexedOf(&t.store)->index_view, nullptr);
    EXPECT_EQ(IndexedOf(&t.store)->data_view, nullptr);
}

// An indexed open refuses a data file that grew to 4 GiB after its index
// was prepared: the index has the 32-bit form, which no file of that size
// gets.
TEST(IndexedTable, DataFileGrownTo4GiB) {
    Indexed t("a,b\n1,2\n", 1, ',', "grown.csv");
    std::filesystem::resize_file(t.path, 0x100000000ull);
    EXPECT_EQ(t.Open(), TBL_ERR_INDEX_OPEN);
    std::remove(t.path.c_str());
}

} // namespace

#ifdef _WIN32
namespace {
// The name the mapping once got: the path with every backslash made '.'.
std::string DottedName(std::string path) {
    for (char &c : path) if (c == '\\') c = '.';
    return path;
}
}

TEST(Mapping, PathsOfOneDottedNameWhileAnotherProcessHoldsOne) {
    std::filesystem::create_directories(tavltest::TempDir() + "\\dir\\c");
    std::string dotted = tavltest::WriteFile("dir\\c.d", "short\n");
    std::string nested = tavltest::WriteFile("dir\\c\\d", std::string(10000, 'B') + "\n");
    ASSERT_EQ(DottedName(dotted), DottedName(nested));
    struct Case { std::string held, mapped, bytes; } cases[] = {
        {dotted, nested, std::string(10000, 'B') + "\n"},
        {nested, dotted, "short\n"},
    };
    for (const Case &c : cases) {
        tavltest::MappingHolder holder(c.held, DottedName(c.held));
        ASSERT_TRUE(holder.ready());
        const char *view = nullptr;
        uint64_t size = 0;
        ASSERT_EQ(MapFileReadOnly(c.mapped.c_str(), ACCESS_RANDOM, &view, &size, nullptr), FILE_OK);
        ASSERT_EQ(size, c.bytes.size());
        EXPECT_EQ(std::string(view, size), c.bytes);
        EXPECT_EQ(UnmapFile(view, size), FILE_OK);
    }
}
#endif
