// The parse dialect: matches a rule block against a series (any-block,
// any-string or binary!), extracting, collecting and modifying on the way.
//
// Nested levels are recorded on two blocks kept in the root block: the rule
// stack (three cells per level) and the input stack (the enclosing inputs of
// `into`). A trace callback sees the rule stack; its size is the limit that
// stops runaway recursion with script/parse-stack.
#pragma once
#include "runtime/cell.h"

namespace zav::parse {

// Rule kind codes kept in the pair! that closes a keyword level.
enum Kind : i32 {
    KIND_REPEAT = -1, KIND_TO = -2, KIND_THRU = -3, KIND_COPY = -4, KIND_SET = -5, KIND_NOT = -6,
    KIND_INTO = -7, KIND_REMOVE = -9, KIND_WHILE = -11, KIND_COLLECT = -12, KIND_KEEP = -13,
    KIND_KEEP_PAREN = -14, KIND_AHEAD = -16, KIND_CHANGE = -17, KIND_CHANGE_ONLY = -18, KIND_CASE = -19,
};

// Either stack holding this many cells or more refuses another level: far
// deeper than real grammars nest, and a runaway rule stops at 160 KB.
constexpr u32 STACK_LIMIT = 10001;

// Makes both stacks in the root block and interns the keywords (once, at start-up).
void init();

// Matches `rules` against `input`. `op` is the comparison mode (0, or 2 for
// case-sensitive), `part` an absolute end index (below 1: none), `tracer` a
// function! or null/none. The result (logic!, or the block of a top-level
// collect) is written to `result`; an exit out of a paren rule's code
// returns instead with the exit pending (stack::pending) and no result.
void process(Cell* input, Cell* rules, i32 op, i32 part, Cell* tracer, Cell* result);

// Frames for re-entry: a parse called from a paren or a trace callback works
// above its caller's entries.
void push_frame();
void pop_frame();
void clear_stacks();

// The rule stack and the input stack as block values (from the current frame).
Cell* rules_block(Cell* out);
Cell* series_block(Cell* out);

// Index of the next `|` at or after `position` in a rule block, or -1.
i32 find_alternative(const Cell* rules, u32 position);

}  // namespace zav::parse
