// The screen of character cells and the text writer.
#include "view/terminal/screen.h"

#include <algorithm>

#include "console/char_width.h"
#include "datatypes/logic.h"
#include "runtime/memory.h"
#include "runtime/unicode.h"
#include "view/terminal/faces.h"

namespace zav::gui {

Screen screen;

// ---- colours ----------------------------------------------------------------

namespace {

constexpr i32 CUBE_LEVELS[6] = {0, 95, 135, 175, 215, 255};

i32 cube_step(i32 v) { return v < 48 ? 0 : v <= 114 ? 1 : (v - 35) / 40; }

i32 square(i32 v) { return v * v; }

}  // namespace

u32 rgb_to_256(u32 abgr) {
    if ((abgr >> 24) == 255) return 0;
    i32 r = static_cast<i32>(abgr & 0xFF), g = static_cast<i32>((abgr >> 8) & 0xFF),
        b = static_cast<i32>((abgr >> 16) & 0xFF);
    i32 cr = cube_step(r), cg = cube_step(g), cb = cube_step(b);
    i32 average = (r + g + b) / 3;
    i32 step = average > 238 ? 23 : std::clamp((average - 3) / 10, 0, 23);
    i32 grey = 8 + 10 * step;
    i32 cube_distance = square(CUBE_LEVELS[cr] - r) + square(CUBE_LEVELS[cg] - g) + square(CUBE_LEVELS[cb] - b);
    i32 grey_distance = square(grey - r) + square(grey - g) + square(grey - b);
    u32 index = cube_distance < grey_distance ? static_cast<u32>(16 + 36 * cr + 6 * cg + cb) : static_cast<u32>(232 + step);
    return color256(index);
}

u32 tuple_color(const Cell* tuple) {
    if (TYPE_OF(tuple) != TYPE_TUPLE) return 0;
    u32 count = (tuple->header >> 19) & 0xF;
    u8 bytes[12];
    std::memcpy(bytes, &tuple->data1, sizeof bytes);
    u32 c = 0;
    for (u32 i = 0; i < std::min<u32>(count, 4); i++) c |= static_cast<u32>(bytes[i]) << (8 * i);
    return c;
}

u32 char_width(u32 cp) {
    if (cp == 0) return 0;
    if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) return 1;
    return console::char_width(cp);
}

// ---- the screen -------------------------------------------------------------

void Screen::resize_to_box(float x1, float y1, float x2, float y2) {
    if (!raw) return;
    i32 w = static_cast<i32>(x2 - x1), h = static_cast<i32>(y2 - y1);
    if (term_columns >= 0) w = std::min(w, term_columns);
    if (term_rows >= 0) h = std::min(h, term_rows);
    set_size(std::max(w, 0), std::max(h, 0));
}

void Screen::set_size(i32 w, i32 h) {
    if (w == width && h == height) return;
    if (w > width || h > height) cells.assign(static_cast<size_t>(w) * static_cast<size_t>(h), ScreenCell{});
    width = w;
    height = h;
}

void Screen::clear() {
    std::fill(cells.begin(), cells.begin() + static_cast<std::ptrdiff_t>(static_cast<size_t>(width) * static_cast<size_t>(height)),
              ScreenCell{});
}

void Screen::reset() {
    cells.clear();
    cells.shrink_to_fit();
    width = height = 0;
}

void fill_rect(i32 x, i32 y, i32 w, i32 h, u32 bg) {
    i32 x0 = std::max(x, 0), y0 = std::max(y, 0);
    i32 x1 = std::min(x + w, screen.width), y1 = std::min(y + h, screen.height);
    for (i32 row = y0; row < y1; row++)
        for (i32 col = x0; col < x1; col++) {
            ScreenCell& c = screen.at(col, row);
            c.cp = 32;
            c.bg = bg;
            c.attrs &= ~ATTR_CONTINUATION;
        }
}

// ---- text -------------------------------------------------------------------

u32 Text::at(u32 i) const { return unicode::get_char(data + static_cast<size_t>(i) * unit, unit); }

Text text_of(const Cell* value) {
    Text t;
    if (!string::any_string_q(TYPE_OF(value))) return t;
    SeriesBuffer* b = GET_BUFFER(series_node(value));
    t.unit = unicode::buffer_unit(b);
    u32 length = b->length();
    u32 head = std::min(series_head(value), length);
    t.data = b->head() + static_cast<size_t>(head) * t.unit;
    t.length = length - head;
    return t;
}

u32 para_flags(const Cell* para) {
    if (TYPE_OF(para) != TYPE_OBJECT) return 0;
    const face::Symbols& s = face::sym();
    u32 flags = 0;
    const Cell* align = face::field(para, s.align);
    if (face::word_is(align, s.center)) flags |= PARA_CENTER;
    else if (face::word_is(align, s.right)) flags |= PARA_RIGHT;
    const Cell* v_align = face::field(para, s.v_align);
    if (face::word_is(v_align, s.middle)) flags |= PARA_MIDDLE;
    else if (face::word_is(v_align, s.bottom)) flags |= PARA_BOTTOM;
    const Cell* wrap = face::field(para, s.wrap_q);
    if (TYPE_OF(wrap) == TYPE_LOGIC && wrap->data1) flags |= PARA_WRAP;
    return flags;
}

namespace {

// A source of characters: the string, or the style's line of cells.
struct Source {
    const Text& text;
    const StyledLine* line;
    u32 length() const { return line ? static_cast<u32>(line->cells.size()) : text.length; }
    u32 at(u32 i) const { return line ? line->cells[i].cp : text.at(i); }
};

}  // namespace

void render_text(const Text& text, i32 x, i32 y, Rect clip, TextStyle style) {
    Source src{text, style.line};
    const u32 n = src.length();
    const bool wrap = (style.para & PARA_WRAP) != 0;
    const bool escapes = (style.attrs & ATTR_ESCAPES) && !style.line;
    clip.right = std::min(clip.right, screen.width);
    clip.bottom = std::min(clip.bottom, screen.height);
    clip.left = std::max(clip.left, 0);
    clip.top = std::max(clip.top, 0);
    if (clip.width() < 1 || clip.height() < 1) return;
    u32 i = 0;
    i32 col = x, line = y;
    // Lines above the clip: only their wrapping and their sequences count.
    while (i < n && line < clip.top) {
        u32 c = src.at(i);
        if (escapes && c == 27) {
            u32 k = parse_ansi(text, i, style);
            if (k > 0) {
                i += k;
                continue;
            }
        }
        i++;
        if (c == 10) {
            line++;
            col = x;
            continue;
        }
        col += static_cast<i32>(char_width(c));
        if (wrap && col >= clip.right) {
            col = x;
            line++;
        }
    }
    const i32 left = std::max(clip.left, x);
    line = std::max(clip.top, line);
    i32 wx = col > left ? col : left;
    auto next_line = [&] {
        line++;
        wx = left;
        col = x;
    };
    while (i < n && line < clip.bottom) {
        u32 c = src.at(i);
        if (escapes && c == 27) {
            u32 k = parse_ansi(text, i, style);
            if (k > 0) {
                i += k;
                continue;
            }
        }
        if (c == 10) {
            i++;
            next_line();
            continue;
        }
        i32 w = static_cast<i32>(char_width(c));
        i32 end = col + w;
        if (col < left) {
            // Left of the clip: not written; a wide character cut by the
            // edge leaves its right half's cell alone.
            if (end > left) wx += end - left;
            col = end;
            i++;
            continue;
        }
        if (end <= clip.right) {
            ScreenCell& cell = screen.at(wx, line);
            if (style.line) {
                const ScreenCell& s = style.line->cells[i];
                cell = {c, s.bg, s.fg, s.attrs | style.attrs};
            } else {
                cell.cp = c;
                cell.fg = style.fg;
                cell.attrs = style.attrs;
            }
            for (i32 k = 1; k < w; k++) screen.at(wx + k, line).attrs = ATTR_CONTINUATION;
            wx += w;
            col = end;
            i++;
            if (end < clip.right) continue;
        }
        // The clip's right edge is reached (a character that did not fit is
        // taken again on the next line, or dropped with the rest of its line).
        if (wrap) {
            if (col == x && end > clip.right) {
                i++;  // wider than the whole line: it never fits
                continue;
            }
            next_line();
        } else {
            while (i < n && src.at(i) != 10) i++;
        }
    }
}

bool parse_sgr(TextStyle& style, u32 p) {
    switch (p) {
        case 0: style.fg = style.bg = style.attrs = 0; return true;
        case 1: style.attrs |= ATTR_BOLD; return true;
        case 2: style.attrs |= ATTR_DIM; return true;
        case 3: style.attrs |= ATTR_ITALIC; return true;
        case 4: style.attrs |= ATTR_UNDERLINE; return true;
        case 5: style.attrs |= ATTR_BLINK; return true;
        case 7: style.attrs |= ATTR_INVERSE; return true;
        case 8: style.attrs |= ATTR_HIDDEN; return true;
        case 9: style.attrs |= ATTR_STRIKE; return true;
        case 21: style.attrs &= ~ATTR_BOLD; return true;
        case 22: style.attrs &= ~ATTR_DIM; return true;
        case 23: style.attrs &= ~ATTR_ITALIC; return true;
        case 24: style.attrs &= ~ATTR_UNDERLINE; return true;
        case 25: style.attrs &= ~ATTR_BLINK; return true;
        case 27: style.attrs &= ~ATTR_INVERSE; return true;
        case 28: style.attrs &= ~ATTR_HIDDEN; return true;
        case 29: style.attrs &= ~ATTR_STRIKE; return true;
        default: break;
    }
    if ((p >= 30 && p <= 37) || p == 39) style.fg = color16(p - 30);
    else if ((p >= 40 && p <= 47) || p == 49) style.bg = color16(p - 40);
    else if (p >= 90 && p <= 97) style.fg = color16(p - 80);
    else if (p >= 100 && p <= 107) style.bg = color16(p - 90);
    else return false;
    return true;
}

u32 parse_ansi(const Text& text, u32 pos, TextStyle& style) {
    if (pos + 1 >= text.length || text.at(pos + 1) != '[') return 0;
    enum { START, FIRST, SECOND_SEP, SECOND, THIRD_SEP, THIRD } state = START;
    u32 p1 = 0, p2 = 0, p3 = 0;
    u32 count = 2;
    auto digit = [](u32 c) { return c >= '0' && c <= '9'; };
    auto add = [](u32& p, u32 c) { p = (p * 10 + (c - '0')) % 65535; };
    for (u32 i = pos + 2; i < text.length; i++) {
        u32 c = text.at(i);
        count++;
        switch (state) {
            case START:
                if (digit(c)) {
                    p1 = c - '0';
                    state = FIRST;
                    continue;
                }
                if (c == ';') continue;
                return count;  // s, u, K, J, H, f and the rest: no effect on the cells
            case FIRST:
                if (digit(c)) {
                    add(p1, c);
                    continue;
                }
                if (c == ';') {
                    state = SECOND_SEP;
                    continue;
                }
                if (c == 'm') parse_sgr(style, p1);
                return count;
            case SECOND_SEP:
                if (digit(c)) {
                    p2 = c - '0';
                    state = SECOND;
                    continue;
                }
                if (c == ';') continue;
                return count;
            case SECOND:
                if (digit(c)) {
                    add(p2, c);
                    continue;
                }
                if (c == ';') {
                    state = THIRD_SEP;
                    continue;
                }
                if (c == 'm') {
                    parse_sgr(style, p1);
                    parse_sgr(style, p2);
                }
                return count;
            case THIRD_SEP:
                if (digit(c)) {
                    p3 = c - '0';
                    state = THIRD;
                    continue;
                }
                if (c == ';') continue;
                return count;
            case THIRD:
                if (digit(c)) {
                    add(p3, c);
                    continue;
                }
                if (c == ';') {
                    p1 = p2 = p3 = 0;
                    state = START;
                    continue;
                }
                if (c == 'm') {
                    if (p1 == 38 && p2 == 5) style.fg = color256(p3);
                    else if (p1 == 48 && p2 == 5) style.bg = color256(p3);
                    else {
                        parse_sgr(style, p1);
                        parse_sgr(style, p2);
                        parse_sgr(style, p3);
                    }
                }
                return count;
        }
    }
    return count;
}

Extent wrap_extent(const Text& text, i32 limit) {
    i32 widest = 0, width = 0, lines = 1;
    for (u32 i = 0; i < text.length;) {
        u32 c = text.at(i);
        if (c == 10) {
            widest = std::max(widest, width);
            width = 0;
            lines++;
            i++;
            continue;
        }
        i32 w = static_cast<i32>(char_width(c));
        if (limit > 0 && width + w > limit) {
            if (width == 0) break;  // the line it would start is empty: it never fits
            widest = std::max(widest, width);
            width = 0;
            lines++;
            continue;
        }
        width += w;
        i++;
    }
    return {std::max(widest, width), lines};
}

TextWalk text_extent(const Text& text, i32 limit) {
    i32 widest = 0, width = 0, lines = 1, chars = 0;
    for (u32 i = 0; i < text.length; i++) {
        u32 c = text.at(i);
        if (limit > 0 && width >= limit) break;
        chars++;
        if (c == 10) {
            widest = std::max(widest, width);
            width = 0;
            lines++;
            continue;
        }
        i32 w = static_cast<i32>(char_width(c));
        width += w;
        if (limit > 0 && width > limit) {
            width -= w;
            chars--;
            break;
        }
    }
    return {std::max(widest, width), chars, lines};
}

Rect align_text(const Text& text, i32 w, i32 h, u32 para) {
    i32 tw = w, th = h;
    if (para != 0) {
        Extent e = wrap_extent(text, w);
        tw = e.width;
        th = e.lines;
    }
    i32 dx = 0, dy = 0;
    if (tw < w) {
        if (para & PARA_CENTER) dx = (w - tw) / 2;
        else if (para & PARA_RIGHT) dx = w - tw;
    }
    if (th < h) {
        if (para & PARA_MIDDLE) dy = (h - th) / 2;
        else if (para & PARA_BOTTOM) dy = h - th;
    }
    return {dx, dy, dx + tw, dy + th};
}

}  // namespace zav::gui
