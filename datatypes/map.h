// map!: what the hash tables call of it. (Keys are normalised by
// hashtable::normalise_map_key.)
#pragma once
#include "runtime/cell.h"

namespace zav::map {

// foreach over a map: sets the first of the words to the next key, the second
// to its value; the map cell's head index counts the pairs. False at the end.
bool foreach_next(Cell* words, Cell* map, i32 n);
// Adds or updates the key/value pairs of a block!, hash! or map! spec.
void extend(Cell* map, Cell* spec, bool case_);

}  // namespace zav::map
