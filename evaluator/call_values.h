// The call native's side of child processes: values in, values out.
#pragma once
#include "runtime/cell.h"

namespace zav::call_values {

// Runs the command (a string!) with the input value (string!, binary!, file!
// or null) and the output and error values (string! or binary! receive what
// the child writes, file! has it appended). Answers the exit status when it
// waited, the process id when it did not, -1 on failure.
i32 run(Cell* command, bool wait, bool show, bool console, bool shell, Cell* in, Cell* out, Cell* err);

}  // namespace zav::call_values
