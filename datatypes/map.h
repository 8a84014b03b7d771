// map!: what the hash tables call of it.
#pragma once
#include "datatypes/cell.h"

namespace zav::map {

// Turns a key cell into the form a map stores: strings and binaries get a
// private copy of their series, words become set-words, scalar keys stay;
// any other datatype raises script invalid-path.
void normalise_key(Cell* key);

// foreach over a map: sets the first of the words to the next key, the second
// to its value; the map cell's head index counts the pairs. False at the end.
bool foreach_next(Cell* words, Cell* map, i32 n);
// Adds or updates the key/value pairs of a block!, hash! or map! spec.
void extend(Cell* map, Cell* spec, bool case_);

}  // namespace zav::map
