// path!, lit-path!, set-path! and get-path!: blocks of path elements joined
// by "/". They share block!'s actions except how they are made, converted,
// formed and molded; random, sort and trim are not theirs.
#pragma once
#include "runtime/cell.h"

namespace zav::path {

// Fills `cell` as an empty path! with room for `capacity` cells.
Cell* make_at(Cell* cell, u32 capacity);
// Sets the cell's type to path! and pushes a copy (the scanner's maker).
Cell* push(Cell* cell);

Cell* make(Cell* proto, Cell* spec, u32 type);
Cell* to(Cell* proto, Cell* spec, u32 type);
i32 form(Cell* path, Cell* buffer, Cell* arg, i32 part);
i32 mold(Cell* path, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
Cell* copy(Cell* path, Cell* result, Cell* part, bool deep, Cell* types);

void init();

}  // namespace zav::path

namespace zav::lit_path {
Cell* push(Cell* cell);
i32 mold(Cell* path, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
void init();
}  // namespace zav::lit_path

namespace zav::set_path {
Cell* push(Cell* cell);
i32 mold(Cell* path, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
void init();
}  // namespace zav::set_path

namespace zav::get_path {
Cell* push(Cell* cell);
i32 mold(Cell* path, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
void init();
}  // namespace zav::get_path
