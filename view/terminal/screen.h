// The screen: an off-screen grid of character cells that every face is
// painted into before a frame turns it into escape sequences; the colour
// words and attribute bits of a cell, and the text writer that puts strings
// and styled lines into the cells with wide characters, clipping, wrapping
// and, on request, SGR sequences embedded in the text.
#pragma once
#include <vector>

#include "runtime/cell.h"

namespace zav::gui {

// ---- cells ------------------------------------------------------------------

struct ScreenCell {
    u32 cp;     // code point; 0 is empty and shows as a blank
    u32 bg;     // colour word
    u32 fg;     // colour word
    u32 attrs;  // ATTR_ bits
    bool operator==(const ScreenCell&) const = default;
};

constexpr u32 ATTR_BLINK = 0x1;
constexpr u32 ATTR_BOLD = 0x2;
constexpr u32 ATTR_DIM = 0x4;
constexpr u32 ATTR_INVERSE = 0x8;
constexpr u32 ATTR_UNDERLINE = 0x10;
constexpr u32 ATTR_STRIKE = 0x40;
constexpr u32 ATTR_ITALIC = 0x100;
constexpr u32 ATTR_HIDDEN = 0x200;
constexpr u32 ATTR_CONTINUATION = 0x400;  // covered by the wide character to its left
constexpr u32 ATTR_MASKED = 0x800;        // shown as "*"
constexpr u32 ATTR_ESCAPES = 0x1000;      // text style request: interpret SGR sequences in the text
constexpr u32 ATTR_NO_TEXT = 0x2000;      // text style request: do not draw the face's text

// Colour words: the kind in the top byte, the value below.
constexpr u32 COLOR_DEFAULT = 0;
constexpr u32 KIND_16 = 0x1000000;   // palette index 0-17 (8 the reset code, 9 the default)
constexpr u32 KIND_256 = 0x2000000;  // index in the low byte
constexpr u32 KIND_RGB = 0x4000000;  // red, green, blue in bits 16-23, 8-15, 0-7
inline u32 color_kind(u32 c) { return c >> 24; }
inline u32 color16(u32 index) { return KIND_16 | index; }
inline u32 color256(u32 index) { return KIND_256 | (index & 0xFF); }
inline u32 color_rgb(u32 r, u32 g, u32 b) { return KIND_RGB | (r << 16) | (g << 8) | b; }

// The nearest entry of the 256-colour palette's cube or grey ramp, tagged as
// kind 2, for a colour in 0xAABBGGRR form; 0 when its alpha byte is 255.
u32 rgb_to_256(u32 abgr);
// A tuple's bytes in 0xAABBGGRR form (three components give alpha 0); 0 for
// any other value.
u32 tuple_color(const Cell* tuple);

// Cells a code point takes: 0, 1 or 2. Control characters take one: they
// are written out as a visible substitute, never raw.
u32 char_width(u32 cp);

// A line of styled cells (a rich-text face's text with its styles, an image
// turned into half blocks).
struct StyledLine {
    std::vector<ScreenCell> cells;
};

// ---- the screen -------------------------------------------------------------

struct Rect {
    i32 left, top, right, bottom;  // right and bottom exclusive
    i32 width() const { return right - left; }
    i32 height() const { return bottom - top; }
};

struct Screen {
    std::vector<ScreenCell> cells;  // row-major, width x height
    i32 width = 0, height = 0;
    i32 term_columns = -1, term_rows = -1;  // the terminal's size, -1 until known
    bool raw = false;                       // terminal mode is on: only then does the screen follow a window

    ScreenCell& at(i32 x, i32 y) { return cells[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)]; }
    bool inside(i32 x, i32 y) const { return x >= 0 && y >= 0 && x < width && y < height; }
    // Sets the size to a window box's, each dimension capped by the
    // terminal; only while raw. The buffer grows only when a dimension does.
    void resize_to_box(float x1, float y1, float x2, float y2);
    // The size itself (tests and the frame renderer's callers).
    void set_size(i32 w, i32 h);
    void clear();
    void reset();
};

extern Screen screen;

// Every cell of the rectangle becomes a blank on the colour; foregrounds
// and attributes stay (a wide character's covered half becomes a cell of its own).
void fill_rect(i32 x, i32 y, i32 w, i32 h, u32 bg);

// ---- text -------------------------------------------------------------------

// A string's code points from its head, read in place (valid until the next
// allocation).
struct Text {
    const u8* data = nullptr;
    u32 unit = 1;
    u32 length = 0;
    u32 at(u32 i) const;
};
// The text of an any-string! value from its head; empty for anything else.
Text text_of(const Cell* value);

// Para flags: alignment and wrapping of a face's text.
constexpr u32 PARA_RIGHT = 1, PARA_CENTER = 2, PARA_MIDDLE = 4, PARA_BOTTOM = 8, PARA_WRAP = 0x20;
// From a para object's align, v-align and wrap? fields.
u32 para_flags(const Cell* para);

struct TextStyle {
    u32 attrs = 0;  // ATTR_ bits to add, with ATTR_ESCAPES as a request
    u32 para = 0;   // PARA_WRAP wraps at the clip's right edge
    u32 fg = 0;
    u32 bg = 0;     // set by SGR sequences in the text; the writer leaves backgrounds alone
    const StyledLine* line = nullptr;  // drawn instead of the text when set
};

// Writes `text` (or the style's line) with its first character at (x, y)
// into the cells inside `clip`. A line feed starts a new line at column x.
void render_text(const Text& text, i32 x, i32 y, Rect clip, TextStyle style);

// One SGR parameter applied to the style; false when it is ignored.
bool parse_sgr(TextStyle& style, u32 param);
// The escape sequence at text[pos] (an ESC): the characters it takes, with
// its effect on the style's colours and attributes; 0 when it is not a CSI.
u32 parse_ansi(const Text& text, u32 pos, TextStyle& style);

// The size of a text in cells: the widest line and the number of lines, with
// a character that would pass `limit` (0: none) moved to a new line.
struct Extent {
    i32 width, lines;
};
Extent wrap_extent(const Text& text, i32 limit);
// Width, characters and lines of a text walked up to `limit` cells on its
// current line (0: no limit); the character that passes it is taken back.
struct TextWalk {
    i32 width, chars, lines;
};
TextWalk text_extent(const Text& text, i32 limit);

// The placement of a text of the box's size inside a box of w x h by the
// para flags: {dx, dy, dx + tw, dy + th}.
Rect align_text(const Text& text, i32 w, i32 h, u32 para);

}  // namespace zav::gui
