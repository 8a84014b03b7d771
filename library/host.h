// Host services as values, for the library's routines and start-up: the
// clipboard, the command line, type guards and the operating system's
// description.
#pragma once
#include "runtime/cell.h"

namespace zav::host {

// Pushes the clipboard's content: a string!, a block of file! values, an
// image!, none when it holds nothing this can read, false when it cannot be read.
Cell* read_clipboard();
// Puts a string!, a block of file! values or an image! (as PNG) on the
// clipboard, or empties it for none; false when that failed. Anything else
// raises script/invalid-arg.
bool write_clipboard(Cell* value);

// The command line the process was started with, its arguments separated by
// blanks (an argument holding a blank in double quotes), into `result`.
Cell* command_line(Cell* result);
// Answers the type when the value has it; else raises script/invalid-arg.
u32 check_type(Cell* value, u32 type);
// An object! with name (string!), arch (word!), version (tuple! of the
// kernel's release numbers) and build (integer!), pushed.
Cell* os_info();

}  // namespace zav::host
