// Child processes: posix_spawn with pipes, fed and drained together by one
// poll loop, so a child that fills one stream while the caller is busy with
// another never stalls.
#pragma once
#include <string>

#include "runtime/common.h"

namespace zav::call {

// Where one standard stream of the child goes.
struct Redirect {
    enum Kind { unused, file, pipe } kind = unused;
    std::string path;  // file: its platform path (input read from it, output appended to it)
    std::string data;  // pipe: the input bytes, or the captured output
};

struct SpawnResult {
    i64 value = -1;          // exit status, process id without waiting, -1 on failure
    bool shell_used = false;  // the command ran through /bin/sh
    bool too_long = false;    // an output stream gave more than one value holds; the rest was refused
};

// Runs the command. Without shell the text is split at blanks (double quotes
// group) and the program searched on PATH; a program that is not found (or
// a script without "#!") is run through "/bin/sh -c" instead. With shell it always is. Any redirection
// forces waiting, and so does console (the child then shares the caller's
// standard streams where nothing is redirected; otherwise they are the null
// device). The status of a child ended by a signal is 128 plus the signal.
SpawnResult spawn(const std::string& command, bool wait, bool console, bool shell, Redirect& in, Redirect& out,
                  Redirect& err);

}  // namespace zav::call
