// The command-line script: its text read whole, loaded from its header on,
// and kept for the executable's entry to run once the console's launch has
// returned (at the top level, outside any function).
#pragma once
#include "runtime/cell.h"

namespace zav::console {

// `_read-script`: the file! in the frame's first argument, read as text
// (byte-order mark dropped, CR LF read as LF) into a string!. A file that
// cannot be read or is too long for a script raises the error naming it.
void read_script();

// `_load-script`: the script's text (string!) and its name (file!). Answers
// the block of its values from the `Zav [` header on, or none when no line
// starts with a header. Text before the header becomes blanks, so lines in
// error reports stay those of the file; a syntax error is placed at its line.
void load_script();

// `_run-script`: the code to run (block!) and the keep flag (logic!): the
// console goes on after the script (--catch).
void run_script_file();

struct PendingScript {
    bool set = false;
    Cell code;  // marked by the collector while set
    bool keep = false;
};
extern PendingScript pending_script;

}  // namespace zav::console
