// render.cpp - safe terminal text for cell values and the aligned table of
// `tavlin show`.
//
// Values may hold any byte. Nothing that reaches the terminal can move the
// cursor, start an escape sequence or end a line: every byte below 0x20,
// DEL, C1 control characters and invalid UTF-8 are written as visible
// escapes, and widths are counted in terminal columns, not bytes, so the
// columns stay aligned for accented, East Asian, Indic text and emoji.
#include "render.h"

#include <algorithm>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "utf8.h"

#include "base/tavlbits.h"

#if defined(TAVLIN_HAVE_UTF8PROC)
#  include <utf8proc.h>
#endif

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <sys/ioctl.h>
#  include <unistd.h>
#endif

namespace tavlin {
namespace {

const char kEllipsis[] = "\xE2\x80\xA6"; // U+2026, one column wide

#if defined(TAVLIN_HAVE_UTF8PROC)
// Display width of a printable code point, from utf8proc's Unicode data.
int CodePointWidth(char32_t cp) {
    return utf8proc_charwidth(static_cast<utf8proc_int32_t>(cp));
}

// Whether cp starts a new grapheme cluster after prev; state carries what
// the rules need across a cluster (emoji sequences, regional indicators).
bool StartsCluster(char32_t prev, char32_t cp, utf8proc_int32_t *state) {
    return utf8proc_grapheme_break_stateful(static_cast<utf8proc_int32_t>(prev),
                                            static_cast<utf8proc_int32_t>(cp), state);
}
#else
// Builds without utf8proc (the Windows cross build): a small table. Zero
// for combining marks and zero-width characters, 2 for East Asian wide and
// full-width forms and the common emoji blocks, 1 otherwise.
int CodePointWidth(char32_t cp) {
    struct Range { char32_t first, last; };
    static const Range zero[] = {
        {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x0610, 0x061A},
        {0x064B, 0x065F}, {0x0900, 0x0903}, {0x093A, 0x094F}, {0x0951, 0x0957},
        {0x0962, 0x0963}, {0x0E31, 0x0E31}, {0x0E34, 0x0E3A}, {0x0E47, 0x0E4E},
        {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200F}, {0x202A, 0x202E},
        {0x2060, 0x2064}, {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F},
        {0xFEFF, 0xFEFF}, {0xE0100, 0xE01EF},
    };
    static const Range wide[] = {
        {0x1100, 0x115F}, {0x231A, 0x231B}, {0x2329, 0x232A}, {0x23E9, 0x23EC},
        {0x25FD, 0x25FE}, {0x2614, 0x2615}, {0x2E80, 0x303E}, {0x3041, 0x33FF},
        {0x3400, 0x4DBF}, {0x4E00, 0x9FFF}, {0xA000, 0xA4CF}, {0xA960, 0xA97F},
        {0xAC00, 0xD7A3}, {0xF900, 0xFAFF}, {0xFE10, 0xFE19}, {0xFE30, 0xFE6F},
        {0xFF00, 0xFF60}, {0xFFE0, 0xFFE6}, {0x1F300, 0x1F64F}, {0x1F680, 0x1F6FF},
        {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
    };
    for (const Range &r : zero)
        if (cp >= r.first && cp <= r.last) return 0;
    for (const Range &r : wide)
        if (cp >= r.first && cp <= r.last) return 2;
    return 1;
}

// Without grapheme data, a zero-width code point joins the one before.
bool StartsCluster(char32_t, char32_t cp, int *) { return CodePointWidth(cp) != 0; }
#endif

// Emoji sequences joined by ZERO WIDTH JOINER, and characters asked for in
// emoji form by VARIATION SELECTOR-16, take two columns as one picture.
bool IsEmojiJoiner(char32_t cp) { return cp == 0x200D || cp == 0xFE0F; }

// Walks the glyphs of s[0..n): glyph(text, length, width) for each new
// glyph (a character or an escape), join(text, length, width) for a code
// point that joins the last glyph, width being that glyph's new width.
template <class Glyph, class Join>
void WalkGlyphs(const char *s, size_t n, Glyph glyph, Join join) {
    // The code point that ended the glyph before, while that glyph is a
    // character a following code point may join; 0 after an escape.
    char32_t prev = 0;
#if defined(TAVLIN_HAVE_UTF8PROC)
    utf8proc_int32_t state = 0;
#else
    int state = 0;
#endif
    bool joined = false; // the last glyph holds an emoji joiner
    int width = 0;       // of the last glyph
    char escape[16];
    for (size_t i = 0; i < n;) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        char32_t cp = 0;
        size_t len = DecodeUtf8(s, n, i, &cp);
        int escaped = 0;
        if (len == 0) {
            escaped = std::snprintf(escape, sizeof escape, "\\x%02x", b);
            len = 1;
        } else if (cp < 0x80 && (cp < 0x20 || cp == 0x7F || cp == '\\')) {
            const char *named = cp == '\n' ? "\\n" : cp == '\r' ? "\\r" : cp == '\t' ? "\\t"
                              : cp == '\0' ? "\\0" : cp == '\\' ? "\\\\" : nullptr;
            escaped = named ? std::snprintf(escape, sizeof escape, "%s", named)
                            : std::snprintf(escape, sizeof escape, "\\x%02x", b);
        } else if ((cp >= 0x80 && cp < 0xA0) || cp == 0x2028 || cp == 0x2029 ||
                   cp == 0x200E || cp == 0x200F || (cp >= 0x202A && cp <= 0x202E) ||
                   (cp >= 0x2066 && cp <= 0x2069)) {
            // C1 controls, the line and paragraph separators, and the
            // direction marks, which would reorder the text around them.
            escaped = std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(cp));
        }
        if (escaped > 0) {
            glyph(escape, static_cast<size_t>(escaped), escaped);
            prev = 0;
            i += len;
            continue;
        }
        if (cp < 0x80 && prev < 0x80) {
            // Printable ASCII after ASCII (or after an escape): always a
            // glyph of its own, one column wide, and no rule carries over.
            state = 0;
            joined = false;
            width = 1;
            glyph(s + i, 1, 1);
            prev = cp;
            ++i;
            continue;
        }
        int w = cp < 0x80 ? 1 : CodePointWidth(cp);
        if (prev != 0 && !StartsCluster(prev, cp, &state)) {
            joined = joined || IsEmojiJoiner(cp);
            width = joined ? std::max(width, 2) : width + w;
            join(s + i, len, width);
        } else {
            if (prev == 0) state = 0; // no cluster rule carries over an escape
            joined = IsEmojiJoiner(cp);
            width = w;
            glyph(s + i, len, w);
        }
        prev = cp;
        i += len;
    }
}

// Columns the visible form of s[0..n) takes.
int MeasureVisible(const char *s, size_t n) {
    int total = 0, last = 0;
    WalkGlyphs(
        s, n, [&](const char *, size_t, int w) { total += w; last = w; },
        [&](const char *, size_t, int w) { total += w - last; last = w; });
    return total;
}

// Appends the visible form of s[0..n) to *out; returns the columns it takes.
int AppendVisible(const char *s, size_t n, std::string *out) {
    int total = 0, last = 0;
    WalkGlyphs(
        s, n,
        [&](const char *text, size_t len, int w) {
            out->append(text, len);
            total += w;
            last = w;
        },
        [&](const char *text, size_t len, int w) {
            out->append(text, len);
            total += w - last;
            last = w;
        });
    return total;
}

} // namespace

// Sixteen bytes a step where the machine has SSE2 (a signed compare with
// 0x20 catches the control bytes and every byte from 0x80 at once), else
// eight (a byte-wise zero test of the word against each byte sought).
bool IsPlainAscii(std::string_view s) {
    size_t i = 0;
    const size_t n = s.size();
#if defined(TAVL_SSE2)
    const __m128i space = _mm_set1_epi8(0x20), del = _mm_set1_epi8(0x7F),
                  slash = _mm_set1_epi8('\\');
    auto bad = [&](const char *at) {
        __m128i x = LoadSixteen(at);
        __m128i hit = _mm_or_si128(_mm_cmplt_epi8(x, space),
                                   _mm_or_si128(_mm_cmpeq_epi8(x, del), _mm_cmpeq_epi8(x, slash)));
        return _mm_movemask_epi8(hit) != 0;
    };
    if (n >= 16) {
        for (; i + 16 <= n; i += 16)
            if (bad(s.data() + i)) return false;
        return i == n || !bad(s.data() + n - 16); // the last bytes, overlapping
    }
#else
    for (; i + 8 <= n; i += 8) {
        uint64_t v;
        std::memcpy(&v, s.data() + i, 8);
        if ((v & Bytes(0x80)) || ZeroBytes(v ^ Bytes(0x7F)) || ZeroBytes(v ^ Bytes(BACKSLASH)) ||
            ((v - Bytes(0x20)) & ~v & Bytes(0x80)))
            return false;
    }
#endif
    for (; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c >= 0x7F || c == '\\') return false;
    }
    return true;
}

std::vector<Glyph> ToGlyphs(const std::string &bytes) {
    std::vector<Glyph> out;
    out.reserve(bytes.size());
    WalkGlyphs(
        bytes.data(), bytes.size(),
        [&](const char *text, size_t len, int w) { out.push_back({std::string(text, len), w}); },
        [&](const char *text, size_t len, int w) {
            out.back().text.append(text, len);
            out.back().width = w;
        });
    return out;
}

std::string Visible(const std::string &bytes) {
    std::string text;
    AppendVisible(bytes.data(), bytes.size(), &text);
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

namespace {

const int kGap = 2;
// Output is written in blocks of about this size.
const size_t kFlushAt = size_t(1) << 18;

// Appends a cell whose value is not plain ASCII: its visible form, cut
// between glyphs (when cut) to width. Column 0 (right) is padded before
// the text and never cut; for the others the spaces that fill the cell
// are returned, for the caller to write only when another cell follows.
size_t AppendGlyphCell(std::string *line, std::string_view value, int width, bool cut,
                       bool right) {
    if (right) { // row numbers: never cut
        int used = MeasureVisible(value.data(), value.size());
        line->append(static_cast<size_t>(std::max(0, width - used)), ' ');
        AppendVisible(value.data(), value.size(), line);
        return 0;
    }
    const size_t start = line->size();
    int used = AppendVisible(value.data(), value.size(), line);
    if (cut && used > width) { // glyphs, to cut between them
        line->resize(start);
        line->append(CutToWidth(ToGlyphs(std::string(value)), width, &used));
    }
    return static_cast<size_t>(std::max(0, width - used));
}

// Writes count spaces at p; returns the end. Up to sixteen are written as
// one block of sixteen, so p needs room for that many.
char *Pad(char *p, size_t count) {
    static const char kSpaces[16] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                     ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
    if (count <= sizeof kSpaces) std::memcpy(p, kSpaces, sizeof kSpaces);
    else std::memset(p, ' ', count);
    return p + count;
}

// Copies a value of size bytes from s to p; returns the end. With kTail
// (the caller vouches for kPlainTail readable bytes after the value, and
// has room for them at p) a value up to that size moves as one block.
template <bool kTail>
inline char *CopyValue(char *p, const char *s, size_t size) {
    if (kTail && size <= kPlainTail) std::memcpy(p, s, kPlainTail);
    else std::memcpy(p, s, size);
    return p + size;
}

// Writes a plain ASCII value of a left-aligned cell at p, cut to room
// columns with an ellipsis when cut and longer: each byte is a glyph one
// column wide, so this is what the glyph path gives. Returns the end;
// *pad receives the spaces that fill the cell. Writes at most
// max(size, room) + kPlainTail bytes.
template <bool kTail>
inline char *PutPlain(char *p, std::string_view value, size_t room, bool cut, size_t *pad) {
    const size_t len = value.size();
    if (cut && len > room) {
        *pad = 0;
        if (room == 0) return p;
        p = CopyValue<kTail>(p, value.data(), room - 1);
        std::memcpy(p, kEllipsis, sizeof kEllipsis - 1);
        return p + (sizeof kEllipsis - 1);
    }
    *pad = room > len ? room - len : 0;
    return CopyValue<kTail>(p, value.data(), len);
}

size_t Columns(int width) { return static_cast<size_t>(std::max(0, width)); }

int NaturalWidth(const std::string &value) {
    if (IsPlainAscii(value)) return static_cast<int>(value.size());
    return MeasureVisible(value.data(), value.size());
}

std::vector<std::string_view> Views(const std::vector<std::string> &cells) {
    return std::vector<std::string_view>(cells.begin(), cells.end());
}

} // namespace

TableLayout::TableLayout(std::vector<std::string> header, int terminal_width,
                         bool wide, std::FILE *out, size_t window)
    : header_(std::move(header)), terminal_width_(terminal_width), wide_(wide),
      out_(out), window_(window), block_(kFlushAt + 4096) {}

void TableLayout::Add(const std::vector<std::string> &row) { Add(Views(row)); }

void TableLayout::Add(const std::vector<std::string_view> &row, bool plain) {
    if (fixed_) {
        Emit(row.data(), plain);
        return;
    }
    held_.emplace_back(row.begin(), row.end());
    held_.back().resize(header_.size());
    if (held_.size() >= window_) Fix();
}

// Measures the header and the held rows, writes them and lets later rows
// go straight out.
void TableLayout::Fix() {
    const size_t n = header_.size();
    std::vector<int> natural(n, 1);
    for (size_t c = 0; c < n; ++c) natural[c] = std::max(natural[c], NaturalWidth(header_[c]));
    for (const auto &row : held_)
        for (size_t c = 0; c < n; ++c) natural[c] = std::max(natural[c], NaturalWidth(row[c]));
    std::vector<int> widths = natural;
    if (!wide_ && n > 1) {
        // The row-number column is never cut; the value columns share the rest.
        std::vector<int> values(natural.begin() + 1, natural.end());
        values = FitWidths(values, terminal_width_ - natural[0] - kGap, kGap, 4);
        std::copy(values.begin(), values.end(), widths.begin() + 1);
    }
    // A plain line takes at most, per cell, its value or its width, the
    // spaces owed before it (the width before and the gap) and the slack
    // of the block moves; and its line end.
    plain_room_ = 1;
    for (int w : widths) {
        columns_.push_back(Columns(w));
        plain_room_ += 2 * Columns(w) + kGap + 2 * kPlainTail;
    }
    fixed_ = true;
    Emit(Views(header_).data(), false);
    for (size_t c = 0; c < n; ++c) {
        if (c > 0) Fill(' ', kGap);
        Fill('-', columns_[c]);
    }
    Fill('\n', 1);
    for (const auto &row : held_) Emit(Views(row).data(), false);
    held_.clear();
    held_.shrink_to_fit();
}

char *TableLayout::Room(size_t n) {
    if (block_.size() - used_ < n) block_.resize(std::max(block_.size() * 2, used_ + n));
    return block_.data() + used_;
}

void TableLayout::Fill(char c, size_t count) {
    std::memset(Room(count), c, count);
    used_ += count;
}

void TableLayout::Put(const char *text, size_t size) {
    std::memcpy(Room(size), text, size);
    used_ += size;
}

void TableLayout::Emit(const std::string_view *cells, bool plain) {
    const size_t n = header_.size();
    const size_t *widths = columns_.data();
    const bool cut = !wide_; // column 0 holds row numbers: never cut
    if (n == 0) {
        Fill('\n', 1);
        return;
    }
    // Spaces owed before the next cell: the padding of the one before and
    // the gap. The last cell's are never written, as no line ends in spaces.
    size_t owed = kGap, pad = 0;
    if (plain) {
        // Every value is copied as it is: the line is written through a
        // pointer into room taken once for the whole line.
        size_t need = plain_room_;
        for (size_t c = 0; c < n; ++c) need += cells[c].size();
        char *const begin = Room(need);
        const size_t len = cells[0].size();
        char *p = CopyValue<true>(Pad(begin, widths[0] > len ? widths[0] - len : 0),
                                  cells[0].data(), len);
        for (size_t c = 1; c < n; ++c) {
            p = PutPlain<true>(Pad(p, owed), cells[c], widths[c], cut, &pad);
            owed = pad + kGap;
        }
        while (p > begin && p[-1] == ' ') --p;
        *p++ = '\n';
        used_ = static_cast<size_t>(p - block_.data());
        Flush(false);
        return;
    }
    std::string &line = scratch_;
    line.clear();
    for (size_t c = 0; c < n; ++c) {
        const std::string_view value = cells[c];
        if (c > 0) line.append(owed, ' ');
        if (!IsPlainAscii(value)) {
            pad = AppendGlyphCell(&line, value, static_cast<int>(widths[c]), cut && c > 0, c == 0);
        } else if (c == 0) {
            line.append(widths[0] > value.size() ? widths[0] - value.size() : 0, ' ');
            line.append(value);
            pad = 0;
        } else {
            const size_t at = line.size();
            line.resize(at + std::max(value.size(), widths[c]) + kPlainTail);
            char *end = PutPlain<false>(&line[at], value, widths[c], cut, &pad);
            line.resize(static_cast<size_t>(end - line.data()));
        }
        owed = pad + kGap;
    }
    size_t size = line.size();
    while (size > 0 && line[size - 1] == ' ') --size;
    Put(line.data(), size);
    Fill('\n', 1);
    Flush(false);
}

void TableLayout::Flush(bool all) {
    if (!all && used_ < kFlushAt) return;
    if (!out_) text_.append(block_.data(), used_);
    else if (!failed_ && std::fwrite(block_.data(), 1, used_, out_) != used_) failed_ = true;
    used_ = 0;
}

bool TableLayout::Finish() {
    if (!fixed_) Fix();
    Flush(true);
    return !failed_;
}

std::string LayOutTable(const std::vector<std::string> &header,
                        const std::vector<std::vector<std::string>> &rows,
                        int terminal_width, bool wide) {
    TableLayout layout(header, terminal_width, wide, nullptr, rows.size() + 1);
    for (const auto &row : rows) layout.Add(row);
    layout.Finish();
    return layout.text();
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
