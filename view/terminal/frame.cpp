// Frame output.
#include "view/terminal/frame.h"

#include <cstdio>

#include "runtime/unicode.h"
#include "view/terminal/tty_io.h"

namespace zav::gui {

FrameState frame;
std::string out;

namespace {

void append(const char* s) { out.append(s); }

// What the terminal shows now: the last frame's cells.
std::vector<ScreenCell> shown;
i32 shown_width = 0, shown_height = 0;

// Runs of changed cells closer than this are written as one: moving the
// cursor costs about as much as rewriting a few cells.
constexpr i32 RUN_GAP = 4;

}  // namespace

void emit_csi(i32 n, char letter) {
    char buf[24];
    int len = std::snprintf(buf, sizeof buf, "\x1b[%d%c", n, letter);
    out.append(buf, static_cast<size_t>(len));
}

void flush_out() {
    if (out.empty()) return;
    tty().write(out.data(), out.size());
    frame.bytes_written += out.size();
    out.clear();
}

void emit_style(const ScreenCell& p, const ScreenCell& q) {
    u32 was = p.attrs, now = q.attrs;
    // Bold and dim share their off sequence: after it, the one still on is
    // switched on again.
    if (((was & ATTR_DIM) && !(now & ATTR_DIM)) || ((was & ATTR_BOLD) && !(now & ATTR_BOLD))) {
        append("\x1b[22m");
        was &= ~(ATTR_DIM | ATTR_BOLD);
    }
    struct Bit {
        u32 bit;
        const char* on;
        const char* off;
    };
    static const Bit BITS[] = {{ATTR_DIM, "\x1b[2m", nullptr},       {ATTR_INVERSE, "\x1b[7m", "\x1b[27m"},
                               {ATTR_BOLD, "\x1b[1m", nullptr},      {ATTR_ITALIC, "\x1b[3m", "\x1b[23m"},
                               {ATTR_STRIKE, "\x1b[9m", "\x1b[29m"}, {ATTR_UNDERLINE, "\x1b[4m", "\x1b[24m"}};
    for (const Bit& b : BITS) {
        bool before = was & b.bit, after = now & b.bit;
        if (after && !before) append(b.on);
        else if (before && !after && b.off) append(b.off);
    }
    if (p.fg != q.fg) emit_color(q.fg, true);
    if (p.bg != q.bg) emit_color(q.bg, false);
}

void emit_default_color(bool foreground) { append(foreground ? "\x1b[39m" : "\x1b[49m"); }

void emit_color(u32 color, bool foreground) {
    char buf[32];
    int len;
    u32 value = color & 0xFFFFFF;
    switch (color_kind(color)) {
        case 0: emit_default_color(foreground); return;
        case 1:
            if (value <= 7) len = std::snprintf(buf, sizeof buf, "\x1b[%um", (foreground ? 30 : 40) + value);
            else if (value == 8) len = std::snprintf(buf, sizeof buf, "\x1b[0m");
            else if (value == 9) len = std::snprintf(buf, sizeof buf, "\x1b[%um", foreground ? 39 : 49);
            else if (value <= 17) len = std::snprintf(buf, sizeof buf, "\x1b[%um", (foreground ? 90 : 100) + value - 10);
            else len = std::snprintf(buf, sizeof buf, "\x1b[0m");
            break;
        case 2: len = std::snprintf(buf, sizeof buf, "\x1b[%u;5;%um", foreground ? 38 : 48, value & 0xFF); break;
        case 4:
            len = std::snprintf(buf, sizeof buf, "\x1b[%u;2;%u;%u;%um", foreground ? 38 : 48, (value >> 16) & 0xFF,
                                (value >> 8) & 0xFF, value & 0xFF);
            break;
        default: len = std::snprintf(buf, sizeof buf, "\x1b[0m"); break;
    }
    out.append(buf, static_cast<size_t>(len));
}

void emit_char(u32 cp) {
    if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || (cp >= 0xD800 && cp < 0xE000) || cp > 0x10FFFF) cp = 0xFFFD;
    u8 bytes[4];
    u32 n = unicode::cp_to_utf8(cp, bytes);
    out.append(reinterpret_cast<const char*>(bytes), n);
}

namespace {

// One cell's character, as the full frame and the changed runs write it.
// A wide character shows only with its covered half beside it; a covered
// half whose character was painted over shows as a blank: every row keeps
// exactly its width in columns.
void emit_cell(ScreenCell& prev, i32 x, i32 y) {
    const i32 w = screen.width;
    const ScreenCell& c = screen.at(x, y);
    if (c.attrs & ATTR_CONTINUATION) {
        if (x > 0 && char_width(screen.at(x - 1, y).cp) == 2 && !(screen.at(x - 1, y).attrs & ATTR_CONTINUATION)) return;
        ScreenCell blank = c;
        blank.attrs &= ~ATTR_CONTINUATION;
        emit_style(prev, blank);
        prev = blank;
        out.push_back(' ');
        return;
    }
    emit_style(prev, c);
    prev = c;
    u32 width = char_width(c.cp);
    if (c.attrs & ATTR_MASKED) out.push_back('*');
    else if (c.cp == 0 || c.cp == 32 || width == 0) out.push_back(' ');
    else if (width == 2 && !(x + 1 < w && (screen.at(x + 1, y).attrs & ATTR_CONTINUATION))) out.push_back(' ');
    else emit_char(c.cp);
}

// Moves the cursor from row `from` to row `to` of the UI, at its column 0.
void move_to_row(i32 from, i32 to) {
    out.push_back('\r');
    if (to < from) emit_csi(from - to, 'A');
    else if (to > from) emit_csi(to - from, 'B');
}

void full_frame(ScreenCell& prev) {
    const i32 w = screen.width, h = screen.height;
    if (frame.fullscreen) {
        append("\x1b[H");
    } else {
        out.push_back('\r');
        if (frame.lines_below_top > 0) emit_csi(frame.lines_below_top, 'A');
        append("\x1b[0J");
    }
    for (i32 y = 0; y < h; y++) {
        for (i32 x = 0; x < w; x++) emit_cell(prev, x, y);
        if (y + 1 < h) {
            prev.bg = 0;
            append("\x1b[49m\r\n");
        }
    }
}

// Only the runs of cells that differ from what the terminal shows. Answers
// the row the cursor is left on.
i32 changed_runs(ScreenCell& prev) {
    const i32 w = screen.width, h = screen.height;
    i32 row = frame.lines_below_top;
    for (i32 y = 0; y < h; y++) {
        const ScreenCell* now = &screen.at(0, y);
        const ScreenCell* was = &shown[static_cast<size_t>(y) * static_cast<size_t>(w)];
        i32 x = 0;
        while (x < w) {
            if (now[x] == was[x]) {
                x++;
                continue;
            }
            i32 start = x, end = x + 1, gap = 0;
            for (i32 k = x + 1; k < w && gap < RUN_GAP; k++) {
                if (now[k] == was[k]) gap++;
                else {
                    gap = 0;
                    end = k + 1;
                }
            }
            // A wide character is written whole.
            while (start > 0 && (now[start].attrs & ATTR_CONTINUATION)) start--;
            while (end < w && (now[end].attrs & ATTR_CONTINUATION)) end++;
            move_to_row(row, y);
            row = y;
            if (start > 0) emit_csi(start, 'C');
            for (i32 k = start; k < end; k++) emit_cell(prev, k, y);
            x = end;
        }
    }
    return row;
}

}  // namespace

void emit_frame(bool caret) {
    const i32 w = screen.width, h = screen.height;
    if (w < 1 || h < 1) return;
    ScreenCell prev{};
    bool full = frame.full || !frame.frame_shown || shown_width != w || shown_height != h;
    i32 row = h - 1;
    if (full) full_frame(prev);
    else row = changed_runs(prev);
    emit_style(prev, ScreenCell{});
    if (caret && (frame.caret_column >= 0 || frame.caret_row >= 0)) {
        if (full) {
            out.push_back('\r');
            i32 up = h - (frame.caret_row + 1);
            if (up > 0) emit_csi(up, 'A');
        } else {
            move_to_row(row, frame.caret_row);
        }
        if (frame.caret_column > 0) emit_csi(frame.caret_column, 'C');
        frame.lines_below_top = frame.caret_row;
    } else {
        if (!full) move_to_row(row, h - 1);
        frame.lines_below_top = h - 1;
    }
    flush_out();
    shown.assign(screen.cells.begin(), screen.cells.begin() + static_cast<std::ptrdiff_t>(static_cast<size_t>(w) * static_cast<size_t>(h)));
    shown_width = w;
    shown_height = h;
    frame.frame_shown = true;
    frame.full = false;
    frame.redraw_needed = false;
}

}  // namespace zav::gui
