// Small helpers shared by the runtime and the datatypes: cell primitives and
// the error raiser.
#pragma once
#include "datatypes/cell.h"
#include "runtime/memory.h"

namespace zav {

// Raises the language error category/id with up to three argument values and
// unwinds with THROW_ERROR. Never returns.
[[noreturn]] void fire(const char* category, const char* id, const Cell* arg1 = nullptr,
                       const Cell* arg2 = nullptr, const Cell* arg3 = nullptr);

// Called by fire with each error built, before it unwinds: the evaluator
// installs its tracer's `error` event here. Null: no one is told.
using ErrorHook = void (*)(const Cell* error);
extern ErrorHook on_error;

// script/bad-make-arg ("cannot MAKE" value "from:" spec).
[[noreturn]] void fire_make_error(const Cell* value, const Cell* spec);

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

// Date and time of this build, as "dd-Mon-yyyy/hh:mm:ss".
const char* build_date();

// Appends one unset cell at the tail of a block's buffer, growing it when full.
Cell* alloc_at_tail(node_t block);
// The same on a buffer: doubles it first when its tail is at the end of its data.
Cell* alloc_tail(SeriesBuffer* buffer);
// Reserves `bytes` at the tail and returns the old tail; grows to twice the
// request when that is larger than the buffer, else to double. `buffer`
// follows the move.
u8* alloc_tail_unit(SeriesBuffer*& buffer, u32 bytes);
// New series of the same unit holding `length` units from unit `offset`; not owned.
node_t copy_series_part(node_t node, u32 offset, u32 length);

// The root block holds the boot environment's values; compiled code reads them by index.
extern node_t root;
Cell* get_root(u32 index);
node_t get_root_node(u32 index);

// Typeset test: bit (0x80 >> (type % 8)) of byte (type / 8) of the typeset's payload.
inline bool typeset_has(const Cell* typeset, u32 type) {
    const u8* bits = reinterpret_cast<const u8*>(&typeset->data1);
    return type < 96 && (bits[type / 8] & (0x80 >> (type % 8)));
}

inline Cell* copy_cell(const Cell* src, Cell* dst) {
    if (src != dst) *dst = *src;
    return dst;
}

inline void clear_cell_flag(Cell* c) { c->header &= ~FLAG_NEW_LINE; }

}  // namespace zav
