// The simple I/O layer: what the read, write, delete, query and rename
// actions of file! and url! do with files, folders and HTTP, as values.
// The bytes move through runtime/platform/files.h and http.h.
//
// Text read from files and HTTP bodies is UTF-8 (a leading byte-order mark
// skipped, CR LF read as LF); text is written as UTF-8 with LF line ends.
#pragma once
#include <string>

#include "runtime/cell.h"

namespace zav::simple_io {

// True when the file! names a folder: it ends with "/" or "\", is "." or
// "..", or ends with a slash followed by "." or "..".
bool dir_q(const Cell* file);

// The file's content (string!, binary! or block of lines) or, for a folder
// name, its listing; pushed on the value stack. part and seek are integer!
// cells or null. A file that cannot be read raises access/cannot-open.
Cell* read(Cell* file, Cell* part, Cell* seek, bool binary, bool lines);
// The content of a file; null (nothing pushed) when it cannot be read.
// part and seek: negative for none.
Cell* read_file(Cell* file, i64 part, i64 seek, bool binary, bool lines);
// A block of file! names, folders ending in "/"; pushed. A folder that
// cannot be listed raises access/cannot-open.
Cell* read_dir(Cell* file);

// Writes a value to the file (null: standard output); answers the bytes
// written, -1 for a negative part. A file that cannot be written raises
// access/cannot-open.
i32 write(Cell* file, Cell* value, Cell* part, Cell* seek, bool binary, bool append, bool lines);
// Appends the bytes to write for a value: a string's UTF-8 from its head (at
// most part code points; part negative: all), a binary's bytes from its head
// (at most part), any other value formed.
void to_bytes(Cell* value, i32 part, bool binary, std::string& out);

bool delete_(Cell* file);
// The file's last-write date! (UTC) or none, pushed on the value stack.
Cell* query(Cell* file);
bool rename(Cell* from, Cell* to);

// New string! or block of line strings from UTF-8 bytes, pushed. Invalid
// UTF-8 raises access/invalid-utf8.
Cell* utf8_to_string(const u8* bytes, u32 length);
Cell* utf8_to_lines(const u8* bytes, u32 length);
// Text from outside that cannot be refused (header values, environment
// variables): UTF-8 when it is, else each byte a Latin-1 character; pushed.
Cell* outside_text(const std::string& bytes);

// One HTTP request: method is the resolved symbol of the method word;
// headers and data may be null. The response (with info: a block of status,
// header map and body) is pushed on the value stack; null when there is no
// answer.
Cell* request_http(i32 method, Cell* url, Cell* headers, Cell* data, bool binary, bool lines, bool info);

}  // namespace zav::simple_io
