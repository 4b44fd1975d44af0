// render.h - turns cell bytes into text that is safe on a terminal, and lays
// rows of such text out as an aligned table, all at once or as a stream.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace tavlin {

// One visible piece of a value: a character (a whole grapheme cluster) or
// an escape, and the number of terminal columns it takes.
struct Glyph {
    std::string text;
    int width;
};

// Splits bytes into glyphs. Control bytes, DEL and the NUL byte become
// escapes (\n, \r, \t, \0, \xNN), the backslash becomes \\ so an escape can
// never be mistaken for value text, valid UTF-8 passes through with its
// display width (C1 controls, line separators and direction marks become
// \uNNNN), and bytes that are not valid UTF-8 become \xNN. Code points are
// grouped into grapheme clusters and measured with utf8proc where the tool
// was built with it (see TAVLIN_HAVE_UTF8PROC), else with a small table.
std::vector<Glyph> ToGlyphs(const std::string &bytes);

// Whether bytes are all printable ASCII other than the backslash: such
// text is shown as it is, one column per byte.
bool IsPlainAscii(std::string_view bytes);

// The escaped text of bytes, whole.
std::string Visible(const std::string &bytes);

int WidthOf(const std::vector<Glyph> &glyphs);

// Text of at most width columns: the glyphs whole when they fit, otherwise
// as many as fit before a closing ellipsis. *used_width (when given)
// receives the columns the text takes.
std::string CutToWidth(const std::vector<Glyph> &glyphs, int width,
                       int *used_width = nullptr);

// Widths for columns whose natural widths are given, so that they and a gap
// of `gap` columns before each fit into `room` columns: the narrow columns
// keep their width and the wide ones share what is left equally, none going
// below `floor`. When even that does not fit, every wide column gets floor.
std::vector<int> FitWidths(const std::vector<int> &natural, int room, int gap,
                           int floor);

// Bytes after a value that TableLayout::Add may read for a plain row.
const size_t kPlainTail = 16;

// An aligned table written as rows arrive: a header row, a rule, then the
// rows. Column 0 is right-aligned (it holds row numbers), the others
// left-aligned; no line ends in spaces. The widths are measured on the
// header and the first `window` rows; later rows are cut to those widths
// with an ellipsis (or, when wide, printed whole). Unless wide, the widths
// are fitted so that every line takes at most terminal_width columns, row
// numbers never cut. Memory holds the window and the output buffer only.
class TableLayout {
public:
    // out null: everything goes to text() instead of a stream.
    TableLayout(std::vector<std::string> header, int terminal_width, bool wide,
                std::FILE *out, size_t window);
    // row has one value per header column. Once the widths are fixed a row
    // is laid out at once, so the values need to live only for the call.
    // plain: every value is plain ASCII (IsPlainAscii) and followed by
    // at least kPlainTail bytes that may be read (they are not shown), so
    // that a short value is copied as one block.
    void Add(const std::vector<std::string_view> &row, bool plain = false);
    void Add(const std::vector<std::string> &row);
    // Lays out what is held and writes the rest; false when a write failed.
    bool Finish();
    const std::string &text() const { return text_; }

private:
    void Fix();
    void Emit(const std::string_view *cells, bool plain);
    char *Room(size_t n);
    void Fill(char c, size_t count);
    void Put(const char *text, size_t size);
    void Flush(bool all);

    std::vector<std::string> header_;
    int terminal_width_;
    bool wide_;
    std::FILE *out_;
    size_t window_;
    std::vector<std::vector<std::string>> held_;
    std::vector<size_t> columns_; // the width of each column, fixed
    size_t plain_room_ = 0;       // room a plain line takes beyond its values
    bool fixed_ = false, failed_ = false;
    std::vector<char> block_; // lines laid out and not yet written
    size_t used_ = 0;
    std::string scratch_, text_;
};

// The whole table at once, as TableLayout writes it.
std::string LayOutTable(const std::vector<std::string> &header,
                        const std::vector<std::vector<std::string>> &rows,
                        int terminal_width, bool wide);

// Columns of the terminal on standard output, else $COLUMNS, else 80.
int TerminalWidth();

} // namespace tavlin
