// file! values: strings that name files in the language's path syntax
// (forward slashes). On this platform the language's paths are POSIX paths,
// so a file! converts to a platform path by copying its text; a relative one
// gets the current directory in front when a full path is asked for.
#pragma once
#include <string>

#include "runtime/cell.h"

namespace zav::file {

// The file's platform path from its head, as UTF-8 (c_str() is NUL-ended).
std::string to_OS_path(Cell* file);
// Appends the platform form of the path to the string `output`; with full, a
// relative path is put after the current directory.
void to_local_path(Cell* file, Cell* output, bool full);
// The current directory as a file! ending in "/", written into `result`.
Cell* get_current_dir(Cell* result);
// Turns every "\" of the text from its head into "/", in place.
void to_forward_slashes(Cell* file);
// A new file! from UTF-8 bytes, written into `result`.
Cell* load(const u8* text, u32 length, Cell* result);
Cell* push(const Cell* file);

// True for the characters below 127 that make a molded file! quoted.
bool quoted_char_q(u32 c);

// Actions; make, to and eval-path come from url!, the rest from string!.
i32 mold(Cell* file, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
Cell* delete_(Cell* file);
Cell* query(Cell* file);
Cell* read(Cell* source, Cell* part, Cell* seek, bool binary, bool lines, bool info, Cell* as);
Cell* rename(Cell* from, Cell* to);
Cell* write(Cell* destination, Cell* data, bool binary, bool lines, bool info, bool append, Cell* part, Cell* seek,
            Cell* allow, Cell* as);

void init();

}  // namespace zav::file
