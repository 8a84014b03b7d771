// The value registry: language values kept alive in one block and found again
// by a 1-based integer handle, for code outside the value model. Free cells
// are integer! cells chaining to the next free index (-1 ends the list).
#pragma once
#include "runtime/cell.h"

namespace zav::slots {

extern Cell registry;  // the registry block (a collector root)
extern i32 free_head;  // 0-based index of the first free cell, -1 when none
extern u32 capacity;   // cells in the registry

// Makes the registry with room for 100 cells, all free.
void init();
// Copies the value into the first free cell (doubling the room when none is
// free) and answers its handle.
u32 store(const Cell* value);
// The cell of a handle (not checked).
Cell* get(u32 handle);
// Returns the handle's cell to the free list; 0 is ignored. Release each
// handle once: a second release links the cell twice.
void release(u32 handle);
// Turns the cells from `first` to the capacity into free cells, each pointing
// at the next and the last at -1, and makes `first` the head.
void link_free(u32 first);

}  // namespace zav::slots
