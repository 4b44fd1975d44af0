// render.cpp - safe terminal text for cell values and the aligned table of
// `tavlin show`.
//
// Values may hold any byte. Nothing that reaches the terminal can move the
// cursor, start an escape sequence or end a line: every byte below 0x20,
// DEL, C1 control characters and invalid UTF-8 are written as visible
// escapes, and widths are counted in terminal columns, not bytes, so the
// columns stay aligned for accented and East Asian text alike.
#include "render.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <sys/ioctl.h>
#  include <unistd.h>
#endif

namespace tavlin {
namespace {

const char kEllipsis[] = "\xE2\x80\xA6"; // U+2026, one column wide

std::string Hex2(unsigned char b) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\x%02x", b);
    return buf;
}

// Display width of a printable code point: 0 for combining marks and
// zero-width characters, 2 for East Asian wide and full-width forms and
// emoji, 1 otherwise. A table of our own rather than the C library's
// wcwidth, so the layout is the same on every system and in every locale.
int CodePointWidth(char32_t cp) {
    struct Range { char32_t first, last; };
    static const Range zero[] = {
        {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x0610, 0x061A},
        {0x064B, 0x065F}, {0x0E31, 0x0E31}, {0x0E34, 0x0E3A}, {0x0E47, 0x0E4E},
        {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200F}, {0x202A, 0x202E},
        {0x2060, 0x2064}, {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F},
        {0xFEFF, 0xFEFF}, {0xE0100, 0xE01EF},
    };
    static const Range wide[] = {
        {0x1100, 0x115F}, {0x231A, 0x231B}, {0x2329, 0x232A}, {0x23E9, 0x23EC},
        {0x25FD, 0x25FE}, {0x2614, 0x2615}, {0x2E80, 0x303E}, {0x3041, 0x33FF},
        {0x3400, 0x4DBF}, {0x4E00, 0x9FFF}, {0xA000, 0xA4CF}, {0xA960, 0xA97F},
        {0xAC00, 0xD7A3}, {0xF900, 0xFAFF}, {0xFE10, 0xFE19}, {0xFE30, 0xFE6F},
        {0xFF00, 0xFF60}, {0xFFE0, 0xFFE6}, {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF},
        {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
    };
    for (const Range &r : zero)
        if (cp >= r.first && cp <= r.last) return 0;
    for (const Range &r : wide)
        if (cp >= r.first && cp <= r.last) return 2;
    return 1;
}

// Length of the valid UTF-8 sequence at s[i] and its code point; 0 when the
// bytes there are not one (overlong forms and surrogates included).
size_t DecodeUtf8(const std::string &s, size_t i, char32_t *cp) {
    unsigned char b0 = static_cast<unsigned char>(s[i]);
    size_t len;
    char32_t v, min;
    if (b0 >= 0xC2 && b0 <= 0xDF) { len = 2; v = b0 & 0x1F; min = 0x80; }
    else if (b0 >= 0xE0 && b0 <= 0xEF) { len = 3; v = b0 & 0x0F; min = 0x800; }
    else if (b0 >= 0xF0 && b0 <= 0xF4) { len = 4; v = b0 & 0x07; min = 0x10000; }
    else return 0;
    if (i + len > s.size()) return 0;
    for (size_t k = 1; k < len; ++k) {
        unsigned char b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) return 0;
        v = (v << 6) | (b & 0x3F);
    }
    if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
    *cp = v;
    return len;
}

} // namespace

std::vector<Glyph> ToGlyphs(const std::string &bytes) {
    std::vector<Glyph> out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        unsigned char b = static_cast<unsigned char>(bytes[i]);
        if (b < 0x80) {
            std::string t;
            switch (b) {
            case '\n': t = "\\n"; break;
            case '\r': t = "\\r"; break;
            case '\t': t = "\\t"; break;
            case '\0': t = "\\0"; break;
            case '\\': t = "\\\\"; break;
            default:
                t = (b < 0x20 || b == 0x7F) ? Hex2(b) : std::string(1, static_cast<char>(b));
            }
            int w = static_cast<int>(t.size());
            out.push_back({std::move(t), w});
            ++i;
            continue;
        }
        char32_t cp = 0;
        size_t len = DecodeUtf8(bytes, i, &cp);
        if (len == 0) {
            out.push_back({Hex2(b), 4});
            ++i;
            continue;
        }
        if (cp < 0xA0 || cp == 0x2028 || cp == 0x2029 || cp == 0x200E ||
            cp == 0x200F || (cp >= 0x202A && cp <= 0x202E) ||
            (cp >= 0x2066 && cp <= 0x2069)) {
            // C1 controls, the line and paragraph separators, and the
            // direction marks, which would reorder the text around them.
            char buf[16];
            std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(cp));
            out.push_back({buf, static_cast<int>(std::string(buf).size())});
            i += len;
            continue;
        }
        int w = CodePointWidth(cp);
        if (w == 0 && !out.empty()) {
            out.back().text += bytes.substr(i, len); // a combining mark
        } else {
            out.push_back({bytes.substr(i, len), w});
        }
        i += len;
    }
    return out;
}

std::string Visible(const std::string &bytes) {
    std::string text;
    for (const Glyph &g : ToGlyphs(bytes)) text += g.text;
    return text;
}

int WidthOf(const std::vector<Glyph> &glyphs) {
    int w = 0;
    for (const Glyph &g : glyphs) w += g.width;
    return w;
}

std::string CutToWidth(const std::vector<Glyph> &glyphs, int width,
                       int *used_width) {
    std::string text;
    int used = WidthOf(glyphs);
    if (used <= width) {
        for (const Glyph &g : glyphs) text += g.text;
    } else {
        used = 0;
        if (width > 0) {
            for (const Glyph &g : glyphs) {
                if (used + g.width > width - 1) break;
                text += g.text;
                used += g.width;
            }
            text += kEllipsis;
            ++used;
        }
    }
    if (used_width) *used_width = used;
    return text;
}

std::vector<int> FitWidths(const std::vector<int> &natural, int room, int gap,
                           int floor) {
    const int n = static_cast<int>(natural.size());
    if (n == 0) return natural;
    long total = static_cast<long>(gap) * (n - 1);
    int widest = 0;
    for (int w : natural) {
        total += w;
        widest = std::max(widest, w);
    }
    if (total <= room) return natural;

    const long available = static_cast<long>(room) - static_cast<long>(gap) * (n - 1);
    auto used_at = [&](int cap) {
        long sum = 0;
        for (int w : natural) sum += std::min(w, cap);
        return sum;
    };
    // The largest cap that fits; used_at grows with the cap.
    int lo = floor, hi = widest;
    if (used_at(lo) > available) hi = lo;
    while (lo < hi) {
        int mid = lo + (hi - lo + 1) / 2;
        if (used_at(mid) <= available) lo = mid;
        else hi = mid - 1;
    }
    std::vector<int> widths(n);
    for (int k = 0; k < n; ++k) widths[k] = std::min(natural[k], lo);
    // Hand what the cap leaves over to the cut columns, one column each.
    long spare = available - used_at(lo);
    for (int k = 0; k < n && spare > 0; ++k) {
        if (natural[k] > widths[k]) {
            ++widths[k];
            --spare;
        }
    }
    return widths;
}

std::string LayOutTable(const std::vector<std::string> &header,
                        const std::vector<std::vector<std::string>> &rows,
                        int terminal_width, bool wide) {
    const size_t n = header.size();
    const int gap = 2;
    std::vector<std::vector<Glyph>> head(n);
    std::vector<std::vector<std::vector<Glyph>>> body(rows.size());
    std::vector<int> natural(n, 1);
    for (size_t c = 0; c < n; ++c) {
        head[c] = ToGlyphs(header[c]);
        natural[c] = std::max(natural[c], WidthOf(head[c]));
    }
    for (size_t r = 0; r < rows.size(); ++r) {
        body[r].resize(n);
        for (size_t c = 0; c < n && c < rows[r].size(); ++c) {
            body[r][c] = ToGlyphs(rows[r][c]);
            natural[c] = std::max(natural[c], WidthOf(body[r][c]));
        }
    }

    std::vector<int> widths = natural;
    if (!wide && n > 1) {
        // The row-number column is never cut; the value columns share the rest.
        std::vector<int> values(natural.begin() + 1, natural.end());
        values = FitWidths(values, terminal_width - natural[0] - gap, gap, 4);
        std::copy(values.begin(), values.end(), widths.begin() + 1);
    }

    std::string out;
    auto emit_row = [&](const std::vector<std::vector<Glyph>> &cells) {
        std::string line;
        for (size_t c = 0; c < n; ++c) {
            int used = 0;
            std::string text = CutToWidth(cells[c], widths[c], &used);
            int pad = std::max(0, widths[c] - used);
            if (c > 0) line += std::string(gap, ' ');
            if (c == 0) line += std::string(pad, ' ') + text;
            else line += text + (c + 1 < n ? std::string(pad, ' ') : "");
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out += line + "\n";
    };
    emit_row(head);
    std::string rule;
    for (size_t c = 0; c < n; ++c) {
        if (c > 0) rule += std::string(gap, ' ');
        rule += std::string(widths[c], '-');
    }
    out += rule + "\n";
    for (const auto &cells : body) emit_row(cells);
    return out;
}

int TerminalWidth() {
#if defined(_WIN32)
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info))
        return info.srWindow.Right - info.srWindow.Left + 1;
#else
    struct winsize ws;
    if (isatty(STDOUT_FILENO) && ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 &&
        ws.ws_col > 0)
        return ws.ws_col;
#endif
    if (const char *env = std::getenv("COLUMNS")) {
        int w = std::atoi(env);
        if (w > 0) return w;
    }
    return 80;
}

} // namespace tavlin
