// The console's routines: reading a line and measuring the window.
#pragma once
#include <string>

namespace zav::console {

// Line input for `ask`: the prompt (string!) and the hide flag (logic!) in
// the frame's arguments; answers the line as a string!, or none at the end of input.
void read_input();
// The window's columns x rows as a pair!, 80x50 when there is no terminal.
void console_size();

// The line editor's history from a block of strings, newest first.
void set_history();

// The command-line script the launch found, run by the executable's entry
// once the launch has returned (at the top level, outside any function);
// `keep`: the console goes on after it (--catch).
struct PendingScript {
    bool set = false;
    std::string path;
    bool keep = false;
};
extern PendingScript pending_script;
// The routine that records it: the file! and the keep flag (logic!).
void run_script_file();

}  // namespace zav::console
