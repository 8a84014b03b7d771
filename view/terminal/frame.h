// Frame output: the screen written to the terminal as one block of bytes,
// with SGR changes only where a cell's style differs from the one before,
// and the cursor left at the focused field's caret. A UI runs inline (below
// the line the console was on, redrawn in place) or full screen (on the
// alternate screen from the home position).
#pragma once
#include <string>

#include "view/terminal/screen.h"

namespace zav::gui {

struct FrameState {
    i32 lines_below_top = 0;  // rows between the UI's top row and the cursor after the last frame
    bool redraw_needed = false;
    i32 caret_column = -1, caret_row = -1;  // screen cells, set by the editing widgets
    bool fullscreen = false;                // a window with the fullscreen flag exists
    bool alt_screen = false;                // the alternate screen has been entered
    bool frame_shown = false;               // a frame was written since the last erase
    bool full = true;                       // the next frame repaints everything (the terminal may have moved it)
    u64 bytes_written = 0;                  // every frame's bytes, for measurements
};
extern FrameState frame;

// The bytes being built; written with one write per frame.
extern std::string out;

// Appends the SGR sequences that change the style of `p` into that of `q`.
void emit_style(const ScreenCell& p, const ScreenCell& q);
// Appends the SGR sequence of a colour word as foreground or background.
void emit_color(u32 color, bool foreground);
void emit_default_color(bool foreground);
// Appends a code point as UTF-8; control characters and what is no
// character become U+FFFD, so that no text can send the terminal a sequence.
void emit_char(u32 cp);

// The screen as one frame, the cursor placed at the caret when `caret`;
// written with one write. While the last frame is still on the terminal
// at the same size, only the cells that changed since are written.
void emit_frame(bool caret);

// Formatted sequences: ESC "[" n letter.
void emit_csi(i32 n, char letter);
// Writes and empties the output buffer.
void flush_out();

}  // namespace zav::gui
