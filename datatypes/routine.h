// routine! values: functions whose body is native code built ahead of time.
#pragma once
#include "runtime/cell.h"

namespace zav::routine {

constexpr u32 FLAG_ROUTINE = 0x8000;

// Builds a routine! on the value stack; the arity is the number of word!
// cells of the spec, kept in header bits 25-29.
Cell* push(Cell* spec, Cell* body, i32 code, i32 return_type, bool flag);
inline u32 get_arity(const Cell* routine) { return (routine->header >> 25) & 0x1F; }

// The routine table: the library's C++ routine bodies by name, registered by
// the library at start-up. An entry works on the current frame's arguments
// (stack::arguments[0] first) and leaves its result in stack::arguments[0].
using Entry = void (*)();
struct Row {
    const char* name;
    Entry entry;
};
// Each module with routines registers its table once (again is nothing).
void register_table(const Row* rows, u32 count);
// 1-based row of a name, 0 when the table has none.
u32 find(const char* name);
Entry entry(u32 index);
// Start-up sets this while the library defines its routines; `make routine!`
// at any other time raises internal/routines.
extern bool defining;

// The datatype tests among the rows: tests[t] answers whether its argument
// is of type id t (the library's `NAME?` of a datatype, one comparison of
// the type id). The library names them once, so that the evaluator may make
// such a call in place where its argument is known.
void set_type_tests(const Entry* tests, u32 count);
// The type id a routine tests for, or -1 for any other routine.
i32 type_tested(const Cell* routine);

// The routine's row in the table and its declared result type (-1 none).
i32 code_of(const Cell* routine);
i32 return_type_of(const Cell* routine);

Cell* make(Cell* proto, Cell* spec, u32 type);
i32 form(Cell* fn, Cell* buffer, Cell* arg, i32 part);
i32 mold(Cell* fn, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
i32 compare(Cell* value1, Cell* value2, i32 op);

void init();

}  // namespace zav::routine
