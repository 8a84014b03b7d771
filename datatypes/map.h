// map!: what the hash tables call of it.
#pragma once
#include "datatypes/cell.h"

namespace zav::map {

// Turns a key cell into the form a map stores: strings and binaries get a
// private copy of their series, words become set-words, scalar keys stay;
// any other datatype raises script invalid-path.
void normalise_key(Cell* key);

}  // namespace zav::map
