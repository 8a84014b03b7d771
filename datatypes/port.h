// port!: an object whose actions go to the functions of its actor object.
#pragma once
#include "runtime/cell.h"

namespace zav::port {

// A new port! made from a spec (an object, or a block applied to the URL
// parts), pushed on the value stack; access errors no-scheme, unknown-scheme
// and invalid-actor.
Cell* make(Cell* spec);
// Opens the port with the open action's refinements; answers the port.
Cell* open(Cell* port, bool new_, bool read, bool write, bool seek, Cell* allow);
// Reads or writes through the port with the url! action's refinements; the
// result is written into `result`.
Cell* read(Cell* port, Cell* result, Cell* part, Cell* seek, bool binary, bool lines, bool info, Cell* as);
Cell* write(Cell* port, Cell* result, Cell* data, bool binary, bool lines, bool info, bool append, Cell* part,
            Cell* seek, Cell* allow, Cell* as);

void init();

}  // namespace zav::port
