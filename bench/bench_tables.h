/*
 * bench_tables.h - the deterministic tables the benchmark runs on, and the
 * baselines it compares the library with.
 *
 * Every table is a pure function of its shape: the value of cell (line, column)
 * is computed from a hash of the two numbers, so the files can be generated
 * again byte for byte, and any cell read back can be checked without keeping
 * the table in memory. Values are plain (letters and digits only), so the
 * stored form of a cell is the value itself.
 */
#ifndef TAVL_BENCH_TABLES_H
#define TAVL_BENCH_TABLES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tavlbench {

struct TableShape {
    std::string name;      /* short name, also the file stem */
    int32_t data_lines;    /* lines after the one header line */
    int32_t fields;        /* fields on every line */
    /* width of the value in column c: widths[c % widths.size()] */
    std::vector<int> widths;
    std::string header_prefix; /* header name of column c: prefix + c */
};

struct TableFile {
    TableShape shape;
    std::string path;
    uint64_t bytes = 0;          /* file size */
    uint64_t header_bytes = 0;   /* header line with its CR LF */
    double line_bytes = 0;       /* mean size of a data line with its CR LF */
};

/* Width of data column c. */
int ColumnWidth(const TableShape &shape, int32_t column);

/* Writes the value of data cell (line, column) into out (at least width + 1
 * bytes, NUL-terminated) and returns its length. */
int CellValue(const TableShape &shape, int32_t line, int32_t column, char *out);

/* Header name of column c. */
std::string ColumnName(const TableShape &shape, int32_t column);

/* Makes sure dir/<name>.csv holds the table, generating it when it is missing
 * or was made from another shape. Lines end with CR LF. Returns false (with a
 * message) when the file cannot be written. */
bool EnsureTable(const std::string &dir, const TableShape &shape, TableFile *out,
                 std::string *error);

/* Byte offset of data cell (line, column) in the file. */
uint64_t CellOffset(const TableFile &t, int32_t line, int32_t column);

/* Signature of the value of the index-th cell of a pass, made to be summed
 * over the pass: the value's length and its first, middle and last bytes,
 * times an odd number taken from the index, so that a wrong length, another
 * cell's value, a value in another place, a missing or an extra one all
 * change the sum. Byte loads only and nothing carried from one cell to the
 * next, so a timed read loop pays about what a host's own use of the value
 * would cost; the bytes between are left to a byte-for-byte comparison. */
inline uint64_t ValueSignature(uint64_t index, const char *p, size_t n) {
    const unsigned char *u = reinterpret_cast<const unsigned char *>(p);
    uint64_t x = n == 0 ? 0
                        : (static_cast<uint64_t>(u[0]) << 8) | (static_cast<uint64_t>(u[n / 2]) << 16) |
                              (static_cast<uint64_t>(u[n - 1]) << 24);
    return (x + n * 0x9e3779b97f4a7c15ull) * (2 * index + 1);
}

/* Counts the LF bytes of a file through a fresh read-only mapping: the
 * baseline every scanning figure is compared with. Returns false when the file
 * cannot be mapped. */
bool CountNewlinesMapped(const std::string &path, uint64_t *count);

/* Writes bytes to a new file at path with large write calls and one fsync:
 * the baseline of the save. */
bool WriteAndSync(const std::string &path, const char *bytes, size_t size);

/* Whole contents of a file. */
bool ReadWholeFile(const std::string &path, std::vector<char> *out);

/* Writes the file's dirty pages back and drops its pages from the page cache
 * (this file only; pages some process has mapped stay). */
bool DropFromPageCache(const std::string &path);

/* Share of the file's pages in the page cache (0 to 1), or -1 when it cannot
 * be told. */
double CachedShare(const std::string &path);

/* Name of the file system dir is on ("xfs", "tmpfs", ...), or its magic
 * number in hex. */
std::string FileSystemOf(const std::string &dir);

/* Peak resident memory of this process so far (VmHWM), in bytes; 0 when it
 * cannot be read. */
uint64_t PeakResidentBytes();

/* A deterministic stream of 64-bit numbers. */
struct SplitMix {
    uint64_t state;
    explicit SplitMix(uint64_t seed) : state(seed) {}
    uint64_t Next() {
        uint64_t z = (state += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
};

} // namespace tavlbench

#endif
