/*
 * bench_tables.cpp - generation of the benchmark tables, the two baselines
 * (newline count over a mapping; large writes and one fsync), and the page
 * cache control of the figures that read a file not in memory.
 *
 * A generated file is kept beside a small stamp naming the shape it was made
 * from, so later runs reuse it instead of writing a gigabyte again; a stamp
 * that does not match, or a file of the wrong size, makes it anew.
 */
#include "bench_tables.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace tavlbench {

namespace {

const char kAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyz";

std::string ShapeStamp(const TableShape &shape) {
    std::ostringstream s;
    s << "tavl-bench-table 1 " << shape.name << ' ' << shape.data_lines << ' '
      << shape.fields << ' ' << shape.header_prefix;
    for (int w : shape.widths) s << ' ' << w;
    return s.str();
}

bool FileSize(const std::string &path, uint64_t *size) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool WriteAll(int fd, const char *p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

} // namespace

int ColumnWidth(const TableShape &shape, int32_t column) {
    return shape.widths[static_cast<size_t>(column) % shape.widths.size()];
}

int CellValue(const TableShape &shape, int32_t line, int32_t column, char *out) {
    int width = ColumnWidth(shape, column);
    SplitMix mix((static_cast<uint64_t>(static_cast<uint32_t>(line)) << 32) |
                 static_cast<uint32_t>(column));
    uint64_t h = mix.Next();
    for (int i = 0; i < width; ++i) {
        if (i > 0 && i % 12 == 0) h = mix.Next(); /* 36^12 < 2^64 */
        out[i] = kAlphabet[h % 36];
        h /= 36;
    }
    out[width] = '\0';
    return width;
}

std::string ColumnName(const TableShape &shape, int32_t column) {
    return shape.header_prefix + std::to_string(column);
}

bool EnsureTable(const std::string &dir, const TableShape &shape, TableFile *out,
                 std::string *error) {
    TableFile f;
    f.shape = shape;
    f.path = dir + "/" + shape.name + ".csv";

    uint64_t width_sum = 0;
    for (int32_t c = 0; c < shape.fields; ++c) width_sum += ColumnWidth(shape, c);
    uint64_t line = width_sum + static_cast<uint64_t>(shape.fields - 1) + 2;
    f.header_bytes = static_cast<uint64_t>(shape.fields - 1) + 2;
    for (int32_t c = 0; c < shape.fields; ++c) f.header_bytes += ColumnName(shape, c).size();
    f.bytes = f.header_bytes + line * static_cast<uint64_t>(shape.data_lines);
    f.line_bytes = static_cast<double>(line);

    const std::string stamp_path = dir + "/" + shape.name + ".stamp";
    const std::string stamp = ShapeStamp(shape);
    {
        std::ifstream in(stamp_path);
        std::string have;
        uint64_t size = 0;
        if (in && std::getline(in, have) && have == stamp && FileSize(f.path, &size) &&
            size == f.bytes) {
            *out = f;
            return true;
        }
    }

    unlink(stamp_path.c_str());
    const std::string tmp = f.path + ".tmp";
    int fd = open(tmp.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    if (fd < 0) {
        *error = "cannot create " + tmp + ": " + std::strerror(errno);
        return false;
    }
    std::vector<char> buf;
    buf.reserve(8u << 20);
    bool ok = true;
    auto flush = [&]() {
        if (ok && !WriteAll(fd, buf.data(), buf.size())) ok = false;
        buf.clear();
    };
    for (int32_t c = 0; c < shape.fields; ++c) {
        if (c > 0) buf.push_back(',');
        std::string n = ColumnName(shape, c);
        buf.insert(buf.end(), n.begin(), n.end());
    }
    buf.push_back('\r');
    buf.push_back('\n');
    char cell[256];
    for (int32_t r = 0; r < shape.data_lines && ok; ++r) {
        for (int32_t c = 0; c < shape.fields; ++c) {
            if (c > 0) buf.push_back(',');
            int n = CellValue(shape, r, c, cell);
            buf.insert(buf.end(), cell, cell + n);
        }
        buf.push_back('\r');
        buf.push_back('\n');
        if (buf.size() >= (8u << 20) - 1024) flush();
    }
    flush();
    if (close(fd) != 0) ok = false;
    uint64_t size = 0;
    if (!ok || !FileSize(tmp, &size) || size != f.bytes ||
        rename(tmp.c_str(), f.path.c_str()) != 0) {
        *error = "cannot write " + f.path;
        unlink(tmp.c_str());
        return false;
    }
    std::ofstream st(stamp_path);
    st << stamp << '\n';
    if (!st) {
        *error = "cannot write " + stamp_path;
        return false;
    }
    *out = f;
    return true;
}

uint64_t CellOffset(const TableFile &t, int32_t line, int32_t column) {
    uint64_t at = t.header_bytes + static_cast<uint64_t>(t.line_bytes) * static_cast<uint64_t>(line);
    for (int32_t c = 0; c < column; ++c) at += static_cast<uint64_t>(ColumnWidth(t.shape, c)) + 1;
    return at;
}

bool CountNewlinesMapped(const std::string &path, uint64_t *count) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size == 0) {
        close(fd);
        return false;
    }
    size_t n = static_cast<size_t>(st.st_size);
    void *view = mmap(nullptr, n, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (view == MAP_FAILED) return false;
    const char *p = static_cast<const char *>(view);
    const char *end = p + n;
    uint64_t lines = 0;
    while ((p = static_cast<const char *>(std::memchr(p, '\n', static_cast<size_t>(end - p))))) {
        ++lines;
        ++p;
    }
    munmap(view, n);
    *count = lines;
    return true;
}

bool WriteAndSync(const std::string &path, const char *bytes, size_t size) {
    int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    if (fd < 0) return false;
    const size_t kBlock = 1u << 20;
    bool ok = true;
    for (size_t at = 0; at < size && ok; at += kBlock)
        ok = WriteAll(fd, bytes + at, size - at < kBlock ? size - at : kBlock);
    if (fsync(fd) != 0) ok = false;
    if (close(fd) != 0) ok = false;
    return ok;
}

bool ReadWholeFile(const std::string &path, std::vector<char> *out) {
    uint64_t size = 0;
    if (!FileSize(path, &size)) return false;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return false;
    out->resize(size);
    size_t at = 0;
    while (at < size) {
        ssize_t r = read(fd, out->data() + at, size - at);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        at += static_cast<size_t>(r);
    }
    close(fd);
    return at == size;
}

bool DropFromPageCache(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return false;
    bool ok = fdatasync(fd) == 0 && posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
    close(fd);
    return ok;
}

double CachedShare(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size == 0) {
        close(fd);
        return -1;
    }
    size_t size = static_cast<size_t>(st.st_size);
    /* mincore on a file mapping asks the page cache; the mapping itself is
     * never touched, so it brings no page in. */
    void *view = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (view == MAP_FAILED) return -1;
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> in((size + page - 1) / page);
    double share = -1;
    if (mincore(view, size, in.data()) == 0) {
        size_t resident = 0;
        for (unsigned char b : in) resident += b & 1;
        share = static_cast<double>(resident) / static_cast<double>(in.size());
    }
    munmap(view, size);
    return share;
}

std::string FileSystemOf(const std::string &dir) {
    struct statfs fs;
    if (statfs(dir.c_str(), &fs) != 0) return "unknown";
    switch (static_cast<unsigned long>(fs.f_type)) {
    case 0xEF53: return "ext2/3/4";
    case 0x58465342: return "xfs";
    case 0x9123683E: return "btrfs";
    case 0x01021994: return "tmpfs";
    case 0x794c7630: return "overlayfs";
    case 0x2FC12FC1: return "zfs";
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%lx", static_cast<unsigned long>(fs.f_type));
    return buf;
}

uint64_t PeakResidentBytes() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 6, "VmHWM:") == 0) {
            return std::strtoull(line.c_str() + 6, nullptr, 10) * 1024u;
        }
    }
    return 0;
}

} // namespace tavlbench
