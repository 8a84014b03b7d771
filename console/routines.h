// The console's routines: the line editor as the language reaches it, the
// console's start-up, and standard input read directly.
#pragma once

namespace zav::console {

// _set-buffer-history: the string! that receives the next line and the
// block! of history lines (strings, newest first) that the edit walks.
void set_buffer_history();
// _read-input: edits one line with the prompt (string!) and the hide flag
// (logic!), appending it to the string given to _set-buffer-history; Enter
// inserts the line at the head of the history block (unless hidden, empty
// or equal to the newest). Answers false at the end of input.
void read_input();
// system/console/init: the window title (string!), standard input's kind and
// the window's size into system/console/size (80x50 when it does not say).
void init();
// _terminate-console: nothing to undo here.
void terminate_console();
// input-stdin: one line of standard input as a new string, none at its end.
void input_stdin();
// read-stdin: at most the given number of bytes from one read of standard
// input, written into the binary! at its head; answers how many came.
void read_stdin();

}  // namespace zav::console
