// The console's routines: reading a line and measuring the window.
#pragma once
#include <string>

namespace zav::console {

// Line input for `ask`: the prompt (string!) and the hide flag (logic!) in
// the frame's arguments; answers the line as a string!, or none at the end of input.
void read_input();
// The window's columns x rows as a pair!, 80x50 when there is no terminal.
void console_size();

// Runs a script file's code for the launch (set by the executable's entry):
// the file's path and whether the console goes on after a failure (which
// otherwise ends the process).
using ScriptRunner = void (*)(const std::string& path, bool keep);
extern ScriptRunner run_script;
// The routine over it: the file! and the keep flag (logic!) in the frame's arguments.
void run_script_file();

}  // namespace zav::console
