// The host side of file and HTTP access for the file! and url! actions:
// whole-file reads and writes, delete, query, rename and one-shot HTTP
// requests. Not built yet: every entry raises internal/not-done.
#pragma once
#include "runtime/cell.h"

namespace zav::simple_io {

// The file's content (string!, binary! or block of lines) or, for a directory
// name, its listing; pushed on the value stack. part and seek are integer!
// cells or null. A file that cannot be read raises access/cannot-open.
Cell* read(Cell* file, Cell* part, Cell* seek, bool binary, bool lines);
// Writes a value to the file (null: standard output); answers the bytes
// written. A file that cannot be opened raises access/cannot-open.
i32 write(Cell* file, Cell* value, Cell* part, Cell* seek, bool binary, bool append, bool lines);
bool delete_(Cell* file);
// The file's last-write date! (UTC) or none, pushed on the value stack.
Cell* query(Cell* file);
bool rename(Cell* from, Cell* to);
// One HTTP request: method is the resolved symbol of the method word;
// headers and data may be null. The response is pushed on the value stack;
// null when there is no answer.
Cell* request_http(i32 method, Cell* url, Cell* headers, Cell* data, bool binary, bool lines, bool info);

}  // namespace zav::simple_io
