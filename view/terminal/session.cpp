// Terminal mode: raw input, the private modes switched on while faces are
// shown (mouse reports, a hidden cursor, the alternate screen), and their
// restoration on every way out: the loop's end, an error, `quit`, Ctrl-C,
// SIGTERM, SIGHUP and fatal signals.
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "datatypes/block.h"
#include "runtime/platform/tty.h"
#include "view/terminal/calls.h"
#include "view/terminal/compositor.h"
#include "view/terminal/faces.h"
#include "view/terminal/frame.h"
#include "view/terminal/gui.h"
#include "view/terminal/loop.h"
#include "view/terminal/tty_io.h"

namespace zav::gui {

Session session;

namespace {

// What is switched on now, read by the restore that runs inside a signal
// handler: plain flags, written before the sequence that needs them goes out.
volatile sig_atomic_t mouse_reporting = 0;
volatile sig_atomic_t cursor_hidden_now = 0;
volatile sig_atomic_t alternate_screen = 0;
// The moves that take the cursor from where the last frame left it to the
// line below the UI, for an exit that skips the loop's own ending.
char below_ui[48];
volatile sig_atomic_t below_ui_set = 0;

void write_raw(const char* s) {
    size_t n = 0;
    while (s[n]) n++;
    while (n > 0) {
        ssize_t w = ::write(STDOUT_FILENO, s, n);
        if (w <= 0) return;
        s += w;
        n -= static_cast<size_t>(w);
    }
}

// Called by the terminal's restore on every way out, also from a signal
// handler: only writes of constant text.
void restore_everything() {
    if (below_ui_set && !alternate_screen) write_raw(below_ui);
    below_ui_set = 0;
    if (mouse_reporting) write_raw("\x1b[?1000l\x1b[?1003l\x1b[?1015l\x1b[?1006l");
    if (cursor_hidden_now) write_raw("\x1b[?25h");
    if (alternate_screen) write_raw("\x1b[?1049l");
    mouse_reporting = 0;
    cursor_hidden_now = 0;
    alternate_screen = 0;
}

void write(const char* s) { tty().write(s, std::strlen(s)); }

}  // namespace

void set_exit_moves(i32 down) {
    below_ui_set = 0;
    if (down < 0) return;
    if (down > 0) std::snprintf(below_ui, sizeof below_ui, "\r\x1b[%dB\r\n", down);
    else std::snprintf(below_ui, sizeof below_ui, "\r\n");
    below_ui_set = 1;
}

void set_private_mode(i32 n) {
    char buf[24];
    int len = std::snprintf(buf, sizeof buf, "\x1b[?%dh", n);
    tty().write(buf, static_cast<size_t>(len));
}

void reset_private_mode(i32 n) {
    char buf[24];
    int len = std::snprintf(buf, sizeof buf, "\x1b[?%dl", n);
    tty().write(buf, static_cast<size_t>(len));
}

bool terminal_output() { return session.active && tty().output_is_console(); }

void request_cursor_pos() {
    if (!terminal_output()) return;
    // The cursor sits where the last frame left it, below the UI's top.
    session.input.report_offset = frame.frame_shown ? frame.lines_below_top : 0;
    write("\x1b[6n");
    session.reports_asked++;
}

void enter_alt_screen() {
    if (!terminal_output()) return;
    alternate_screen = 1;
    set_private_mode(1049);
    write("\x1b[2J");
}

void leave_alt_screen() {
    reset_private_mode(1049);
    alternate_screen = 0;
}

void enable_mouse() {
    if (!terminal_output()) return;
    mouse_reporting = 1;
    for (i32 n : {1000, 1003, 1015, 1006}) set_private_mode(n);
}

void disable_mouse() {
    for (i32 n : {1000, 1003, 1015, 1006}) reset_private_mode(n);
    mouse_reporting = 0;
}

void hide_cursor() {
    // Only in terminal mode, whose every way out shows it again.
    if (session.cursor_hidden || !terminal_output()) return;
    cursor_hidden_now = 1;
    reset_private_mode(25);
    session.cursor_hidden = true;
}

void show_cursor() {
    if (!session.cursor_hidden) return;
    set_private_mode(25);
    session.cursor_hidden = false;
    cursor_hidden_now = 0;
}

void cursor_down(i32 n) {
    if (n < 1) return;
    char buf[24];
    int len = std::snprintf(buf, sizeof buf, "\x1b[%dB", n);
    tty().write(buf, static_cast<size_t>(len));
}

bool tty_get_size() {
    int columns = 0, rows = 0;
    bool ok = tty().size(&columns, &rows) && columns > 0 && rows > 0;
    session.columns = ok ? columns : 80;
    session.rows = ok ? rows : 24;
    screen.term_columns = session.columns;
    screen.term_rows = session.rows;
    return ok;
}

void on_resize() {
    tty_get_size();
    // The terminal may have moved or rewrapped what it showed.
    frame.full = true;
    // The first screen face learns the new size directly (no change event).
    Cell* screens = view_field(face::sym().screens);
    if (TYPE_OF(screens) == TYPE_BLOCK && block::zs_length_q(screens) > 0) {
        Cell* first = block::zs_head(screens);
        if (TYPE_OF(first) == TYPE_OBJECT) {
            Cell size;
            make_cell(&size, TYPE_PAIR, 0, static_cast<u32>(session.columns), static_cast<u32>(session.rows));
            set_facet_quiet(first, face::SIZE, &size);
        }
    }
    if (session.active) {
        on_resize_windows();
        if (!frame.fullscreen) request_cursor_pos();
    }
}

void enter_tui() {
    tty::before_leave = restore_everything;
    if (!session.active && tty().input_is_console()) {
        if (tty().raw_mode()) {
            session.active = true;
            on_resize();
        }
    }
    if (!session.active) tty_get_size();
    screen.raw = tty().output_is_console();
    if (session.active && !frame.fullscreen) request_cursor_pos();
}

namespace {

// Input that nobody will see: only its cursor reports count.
struct Discard final : InputSink {
    void key(i32, i32, u32) override {}
    void mouse_move(float, float, u32) override {}
    void button(u32, float, float, u32) override {}
    void wheel(float, float, float, u32) override {}
};

// A cursor report still on its way would be echoed once raw mode is off:
// it is waited for (briefly) and read while the terminal is still raw.
void drain_reports() {
    Discard discard;
    i64 until = now_ms() + 200;
    while (session.input.reports < session.reports_asked && now_ms() < until) {
        if (tty().poll(20)) tty_read_events(true);
        session.input.process(discard, true);
    }
    tty_read_events(true);
    session.input.process(discard, true);
}

}  // namespace

void leave_tui() {
    if (session.active) drain_reports();
    session.reports_asked = session.input.reports = 0;
    if (session.active) {
        session.active = false;
        tty().restore_mode();
    }
    session.input.clear();
    screen.raw = false;
}

i32 tty_read_events(bool process) {
    if (tty().take_resize()) on_resize();
    if (!tty().input_is_console()) return 0;
    u8 buf[512];
    i32 total = 0;
    for (;;) {
        int n = tty().read(buf, sizeof buf);
        if (n <= 0) break;
        total += n;
        if (process) session.input.append(buf, static_cast<size_t>(n));
        if (n < static_cast<int>(sizeof buf)) break;
    }
    return total;
}

void print_begin() {
    if (loop_depth() == 0 && !frame.frame_shown) return;
    erase_ui();
    std::fflush(nullptr);
}

void print_end() {
    if (loop_depth() == 0) return;
    std::fflush(nullptr);
    request_full_redraw();
    if (session.active && !frame.fullscreen) request_cursor_pos();
}

}  // namespace zav::gui
