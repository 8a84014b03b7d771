// The host side of file and HTTP access: not built yet.
#include "runtime/simple_io.h"

#include "runtime/helpers.h"

namespace zav::simple_io {

Cell* read(Cell*, Cell*, Cell*, bool, bool) { fire("internal", "not-done"); }
i32 write(Cell*, Cell*, Cell*, Cell*, bool, bool, bool) { fire("internal", "not-done"); }
bool delete_(Cell*) { fire("internal", "not-done"); }
Cell* query(Cell*) { fire("internal", "not-done"); }
bool rename(Cell*, Cell*) { fire("internal", "not-done"); }
Cell* request_http(i32, Cell*, Cell*, Cell*, bool, bool, bool) { fire("internal", "not-done"); }

}  // namespace zav::simple_io
