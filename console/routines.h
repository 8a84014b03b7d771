// The console's routines: reading a line and measuring the window.
#pragma once

namespace zav::console {

// Line input for `ask`: the prompt (string!) and the hide flag (logic!) in
// the frame's arguments; answers the line as a string!, or none at the end of input.
void read_input();
// The window's columns x rows as a pair!, 80x50 when there is no terminal.
void console_size();

// The line editor's history from a block of strings, newest first.
void set_history();

}  // namespace zav::console
