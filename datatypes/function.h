// function! values: a spec block, a body block and a function context, with
// a five-cell companion block {body, argument cache, code address, op copy,
// owner context}.
#pragma once
#include "runtime/cell.h"
#include "runtime/stack.h"

namespace zav::function {

// Attribute flags in the header.
constexpr u32 FLAG_TRACE = 0x400;
constexpr u32 FLAG_NO_TRACE = 0x200;

// Cells of the more block.
enum More : u32 { MORE_BODY, MORE_ARGS, MORE_CODE, MORE_OP, MORE_OWNER, MORE_COUNT };

inline node_t ctx_of(const Cell* fn) { return fn->data1; }
inline node_t spec_of(const Cell* fn) { return fn->data2; }
inline node_t more_of(const Cell* fn) { return fn->data3; }
Cell* more_cell(const Cell* fn, u32 index);

// Builds a function! (left on the value stack) and answers its context. The
// body is copied deeply and bound to a new context unless one is given.
node_t push(Cell* spec, Cell* body, node_t ctx, i32 code, node_t owner, u32 flags);
// Checks a function spec; answers its attribute flags.
u32 validate(Cell* spec);
// The locals the `function` native gathers from a body (appended to the spec).
Cell* collect_locals(Cell* spec, Cell* body);
// Entries from /local on (the refinement counts one), or -1 in strict mode without /local.
i32 count_locals(node_t spec, u32 head, bool strict);
// Pushes false then n - 1 nones: the first statement of a compiled body.
// Inline: every call of a function with locals makes it (n >= 1).
inline void init_locals(i32 n) {
    Cell* c = stack::top;
    if (c + n >= stack::end) stack::overflow();
    c[0] = Cell{TYPE_LOGIC, 0, 0, 0};
    for (i32 i = 1; i < n; i++) c[i] = Cell{TYPE_NONE, 0, 0, 0};
    stack::top = c + n;
}

// The argument words before the first refinement: the values a call of the
// function must be given.
u32 arity(const Cell* fn);
// A function the runtime calls back with `count` values must take exactly
// that many arguments (else it would read cells never given to it): raises
// script/invalid-refine-arg naming the refinement that passed it.
void check_callback(const Cell* fn, u32 count, const char* refinement);
// The events a callback asks for: when its body opens with a block, the OR of
// bit k for each word of that block naming names[k] (other values count
// nothing); else `all`.
u32 event_mask(const Cell* fn, const char* const* names, u32 count, u32 all);
// For a call made by the runtime that gives the first `given` arguments:
// pushes the function's remaining frame slots, false for each refinement and
// none for every other word.
void push_unused_slots(const Cell* fn, u32 given);

// Calls a comparison function (sort/compare) with the first two cells of the
// block `args`, taken as they are. A true answer (or a positive number) puts
// the first value before the second: the result is -1; false, none or a
// negative number give 1; zero gives 0.
i32 call_comparator(Cell* fn, Cell* args);

// Actions.
Cell* make(Cell* proto, Cell* spec, u32 type);
Cell* reflect(Cell* fn, u32 field_symbol);
i32 form(Cell* fn, Cell* buffer, Cell* arg, i32 part);
i32 mold(Cell* fn, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
i32 compare(Cell* value1, Cell* value2, i32 op);

void init();

}  // namespace zav::function
