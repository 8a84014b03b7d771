// The event loop: console input, timers and frames, and the dispatch of
// every event to a widget and through `system/view/awake` to its face.
#pragma once
#include "runtime/cell.h"
#include "view/terminal/input.h"
#include "view/terminal/widgets.h"

namespace zav::gui {

// What an event! of this back-end refers to while its dispatch runs.
struct EventRecord {
    WidgetId widget = 0;
    float x = 0, y = 0;  // relative to the widget's top-left cell
    i32 key = 0;         // key code or code point; index or value of select and change
    float wheel = 0;
    u32 serial = 0;      // the number the event! carries
};

// Runs the loop: until the innermost level is told to stop, or one pass
// without waiting with no_wait. True when console input was read in the last pass.
bool do_events(bool no_wait);
// One pass without waiting while terminal mode is on (for `wait`).
bool wait_events();
// Ends the innermost running loop after its pass.
void post_quit_msg();
// Loops running now.
i32 loop_depth();

// Dispatch. Each answers whether the face's handlers answered `done`.
bool call_awake(u32 type, EventRecord& rec, u32 flags);
bool send_mouse(u32 type, WidgetId w, float x, float y, u32 flags);
bool send_face_event(u32 type, WidgetId w, u32 flags);
bool send_value_event(u32 type, WidgetId w, i32 value);
// A key to a widget (0: the focused one): code with special 0, or a special
// key code.
bool send_key(WidgetId w, i32 code, i32 special, u32 flags);
void mouse_move(float x, float y, u32 flags);
void button_event(u32 type, float x, float y, u32 flags);
void wheel_event(float amount, float x, float y, u32 flags);

// Timers of widgets, by widget id.
void add_timer(WidgetId w, i32 interval_ms);
void remove_timer(WidgetId w);
void tick_timers(i32 elapsed_ms);
// A face's rate applied to its widget: none stops its timer; a positive
// integer (times a second) or time! starts one; anything else raises
// script/invalid-facet-type.
void apply_rate(Widget& w, const Cell* rate);

// What an event! reads of its record: face, window, offset, key, picked.
bool read_event_field(u32 serial, i32 field, Cell* out);

// Forgets the hover, captured and pressed widgets (a window was shown or closed).
void forget_pointer();
// Everything of the loop back to its start state.
void reset_loop_state();

// ---- terminal mode (session) ------------------------------------------------

struct Session {
    bool active = false;        // raw mode is on
    bool mouse_on = false;      // mouse reports are switched on
    bool cursor_hidden = false;
    InputDecoder input;
    i32 columns = 80, rows = 24;
    u32 reports_asked = 0;  // cursor position reports asked for
    bool input_kept = false;  // the last pass left an unfinished sequence
};
extern Session session;

// Raw mode when standard input is a terminal; asks for the cursor position
// (inline UIs) so that the report fixes the UI's top row.
void enter_tui();
void leave_tui();
// Terminal mode is on and standard output is the terminal: only then do the
// cursor, mouse and screen sequences go out (never into a file).
bool terminal_output();
// How far below the cursor the UI's last row is (-1: no UI on the terminal),
// for an exit that never reaches the loop's end (a signal, `quit`).
void set_exit_moves(i32 down);
void enable_mouse();
void disable_mouse();
void hide_cursor();
void show_cursor();
void enter_alt_screen();
void leave_alt_screen();
void set_private_mode(i32 n);
void reset_private_mode(i32 n);
void request_cursor_pos();
void cursor_down(i32 n);
// Measures the terminal; false (80 by 24) when it does not say.
bool tty_get_size();
// The terminal changed size.
void on_resize();
// Reads pending console input into the decoder; the number of bytes.
i32 tty_read_events(bool process);

}  // namespace zav::gui
