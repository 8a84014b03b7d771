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

void emit_frame(bool caret) {
    const i32 w = screen.width, h = screen.height;
    if (w < 1 || h < 1) return;
    if (frame.fullscreen) {
        append("\x1b[H");
    } else {
        out.push_back('\r');
        if (frame.lines_below_top > 0) emit_csi(frame.lines_below_top, 'A');
        append("\x1b[0J");
    }
    ScreenCell prev{};
    for (i32 y = 0; y < h; y++) {
        for (i32 x = 0; x < w; x++) {
            const ScreenCell& c = screen.at(x, y);
            u32 width = char_width(c.cp);
            // A wide character shows only with its covered half beside it;
            // a covered half whose character was painted over shows as a
            // blank. Every row keeps exactly its width in columns.
            if (c.attrs & ATTR_CONTINUATION) {
                if (x > 0 && char_width(screen.at(x - 1, y).cp) == 2 && !(screen.at(x - 1, y).attrs & ATTR_CONTINUATION))
                    continue;
                ScreenCell blank = c;
                blank.attrs &= ~ATTR_CONTINUATION;
                emit_style(prev, blank);
                prev = blank;
                out.push_back(' ');
                continue;
            }
            emit_style(prev, c);
            prev = c;
            if (c.attrs & ATTR_MASKED) out.push_back('*');
            else if (c.cp == 0 || c.cp == 32) out.push_back(' ');
            else if (width == 2 && !(x + 1 < w && (screen.at(x + 1, y).attrs & ATTR_CONTINUATION))) out.push_back(' ');
            else if (width == 0) out.push_back(' ');
            else emit_char(c.cp);
        }
        if (y + 1 < h) {
            prev.bg = 0;
            append("\x1b[49m\r\n");
        }
    }
    emit_style(prev, ScreenCell{});
    if (caret && (frame.caret_column >= 0 || frame.caret_row >= 0)) {
        out.push_back('\r');
        i32 up = h - (frame.caret_row + 1);
        if (up > 0) emit_csi(up, 'A');
        if (frame.caret_column > 0) emit_csi(frame.caret_column, 'C');
        frame.lines_below_top = frame.caret_row;
    } else {
        frame.lines_below_top = h - 1;
    }
    flush_out();
    frame.frame_shown = true;
    frame.redraw_needed = false;
}

}  // namespace zav::gui
