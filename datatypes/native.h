// native! values (and the parts action! and op! share with them): a built-in
// function named by its table index, with a spec block and a two-cell block
// {function context cell, argument cache}.
#pragma once
#include "runtime/cell.h"

namespace zav::native {

// Cell views: entry (table index), spec node, more node.
inline u32 entry_of(const Cell* fn) { return fn->data1; }
inline node_t spec_of(const Cell* fn) { return fn->data2; }
inline node_t more_of(const Cell* fn) { return fn->data3; }

// Entries of the native table (1 to 107 filled); an action! indexes its slot (1 to ACTIONS_COUNT).
// The indexes a native! value may carry: room above the filled ones so that a
// made native! past them raises not-done instead of reading another table.
constexpr u32 NATIVE_TABLE_SIZE = 120;

// Makes a native! or action! from [spec-block index] on the value stack.
Cell* make_from(Cell* spec, u32 type, u32 max_index);
// "make native! [" spec "]" (and action!): shared writer.
i32 mold_as(Cell* fn, Cell* buffer, const char* prefix, bool only, bool all, bool flat, Cell* arg, i32 part,
            i32 indent);
// spec and body (the table index) of any built-in, op! included.
Cell* reflect_builtin(Cell* fn, u32 field_symbol);
// Orders two built-ins of the same type by their entries.
i32 compare_entries(Cell* value1, Cell* value2, i32 op);

// Actions.
Cell* make(Cell* proto, Cell* spec, u32 type);
Cell* reflect(Cell* fn, u32 field_symbol);
i32 form(Cell* fn, Cell* buffer, Cell* arg, i32 part);
i32 mold(Cell* fn, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
i32 compare(Cell* value1, Cell* value2, i32 op);

void init();

}  // namespace zav::native
