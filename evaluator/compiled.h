// Helpers of compiled code: argument checks, word and context slot stores,
// refinements decided at run time, compiled paths and console errors.
#pragma once
#include "runtime/cell.h"

namespace zav {

// Argument checks of compiled code. A value whose type is not in the typeset
// raises script/expect-arg naming the call, the type and the argument at
// `position` (counting from 0 in the running function's spec).
Cell* check_arg_type(Cell* value, const Cell* typeset, i32 position);
// The same on the argument at stack::arguments + index; nothing for index < 0.
void check_arg_type_at(i32 index, const Cell* typeset, i32 position);
// Checks only when the refinement cell is set; answers the value.
Cell* check_ref_arg_type(const Cell* refinement, const Cell* typeset, i32 position, Cell* value);
// An unset value raises script/expect-arg; answers the value.
Cell* check_not_unset(Cell* value, i32 position);

// Words and context slots set from the last pushed value, with the
// language's unset checks (script/need-value), and read with script/no-value.
void set_word_top(Cell* word, i32 position);
void set_word_top_reset(Cell* word, i32 position);
void set_ctx_top(node_t ctx, i32 index);
void set_ctx_top_reset(node_t ctx, i32 index);
void set_ctx_top_nocheck(node_t ctx, i32 index);
Cell* get_ctx_slot(const Cell* word, node_t ctx, i32 index);
Cell* get_word_checked(const Cell* word);
// A used refinement sets its logic cell at stack::arguments + index; an
// unused one sets the `count` cells after it to none.
void set_refinement_star(const Cell* value, i32 index, i32 count);
// The key search of select-like compiled code: key at stack::arguments, series next.
void select_key_star(bool push, bool to_block);

// A compiled call of a native or action whose refinements are decided at run
// time: one group per refinement, {its deciding value, its position among
// the entry's refinements (1-based), the index from stack::arguments of its
// first argument cell, the number of its argument cells}.
struct RefinementGroup {
    const Cell* value;
    i32 position;
    i32 slot;
    i32 count;
};
// No native or action has more refinements than this.
constexpr u32 MAX_REFINEMENTS = 16;
// Calls native `index` (native set; with its argument check) or the generic
// entry of action slot `index` over the current frame. A refinement whose
// value is true passes its slot; an unused one gets its argument cells set to
// none. The entry leaves its result in stack::arguments[0].
void call_with_refinements_star(u32 index, bool native, u32 count, const RefinementGroup* groups);
// A path of compiled code: items[0] is the head (a word is looked up), the
// others the evaluated elements, each applied in turn with the eval-path
// action. set: the last element stores the frame's last pushed value, which
// is then the result. The result goes into stack::arguments[0].
Cell* eval_path_star(bool set, Cell* path, Cell* items, u32 count);
// Builds the error category/id and prints it with the print native inside a
// call frame of its own; the frame's result (unset) is left pushed.
void throw_console_error(const char* category, const char* id, const Cell* arg1 = nullptr,
                         const Cell* arg2 = nullptr, const Cell* arg3 = nullptr);

}  // namespace zav
