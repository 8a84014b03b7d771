// block! values: cell-level accessors and builders used across the runtime,
// and the block! actions (inherited by paren!, the path family and hash!).
#pragma once
#include "runtime/cell.h"
#include "runtime/memory.h"

namespace zav::block {

// Cells of a block value's buffer.
// Always inlined: the call paths read a block's buffer several times per call.
[[gnu::always_inline]] inline SeriesBuffer* buffer_of(const Cell* blk) { return GET_BUFFER(series_node(blk)); }
inline Cell* cells_of(const SeriesBuffer* b) { return reinterpret_cast<Cell*>(const_cast<SeriesBuffer*>(b)->head()); }

// True for block!, paren!, the path family and hash!: the values that hold
// cells. Always inlined: the typed appends ask it per value.
[[gnu::always_inline]] inline bool any_block_q(u32 type) {
    return type == TYPE_BLOCK || type == TYPE_PAREN || type == TYPE_HASH ||
           (type >= TYPE_PATH && type <= TYPE_GET_PATH);
}
inline bool any_path_q(u32 type) { return type >= TYPE_PATH && type <= TYPE_GET_PATH; }

// Accessors. Positions count cells from the buffer's offset.
u32 zs_length_q(const Cell* blk);             // cells from the index to the tail (0 past it)
bool zs_next(Cell* blk);                       // moves on one unless at the tail; true when now at tail
Cell* zs_head(Cell* blk);                      // the cell at the index; an index past the tail is clamped
Cell* zs_tail(const Cell* blk);
bool zs_tail_q(const Cell* blk);
Cell* zs_abs_at(const Cell* blk, u32 n);       // cell n from the buffer's offset, ignoring the index
void zs_clear(Cell* blk);                      // cuts the buffer at the index
void zs_clear_at(Cell* blk, u32 n);            // cuts the buffer at cell n
Cell* zs_append(Cell* blk, const Cell* value); // appends a copy; returns the new cell
void zs_pop(Cell* blk);
void zs_append_block(Cell* target, Cell* source);

// Builders. make_at/make_in give block!; the returned cell is the filled one.
Cell* make_at(Cell* cell, u32 capacity);
Cell* make_fixed_at(Cell* cell, u32 capacity, bool fixed);
// parent null: the root block.
Cell* make_in(Cell* parent, u32 capacity);
// As make_in, with the model's kind (a path type, block! or hash!).
Cell* make_in_star(Cell* parent, u32 capacity, const Cell* model);
Cell* push(const Cell* blk);
Cell* push_only_star(u32 capacity);
// New block! (pushed) holding copies of the cells from the index; deep copies
// nested blocks, and with paths also nested parens and paths.
Cell* clone(Cell* blk, bool deep, bool paths);
// Sets series flag bits on a block's buffer and on every block, paren and
// path inside it, at any depth (a buffer that has them all is not entered again).
void set_flags_deep(const Cell* blk, u32 bits);
// Replaces in place each cell of [from, from + count) whose datatype is in the
// typeset (or equals the datatype) and that is a series, bitset, object, error
// or map by its copy.
void copy_types(Cell* blk, u32 from, u32 count, Cell* types, bool deep);
Cell* select_word(Cell* blk, const Cell* word, bool strict);
Cell* select_by_compare(Cell* blk, Cell* value);
void remove_by_compare(Cell* blk, Cell* value, bool from_head);

// Inserts one cell at the index (hash!-aware); the index stays.
Cell* insert_value(Cell* blk, const Cell* value);
// Inserts all cells of `source` from its index at the index of `blk`.
void insert_block(Cell* blk, Cell* source);
// The top stack value into the block just below it on the stack.
void insert_thru();
void append_thru();
// Appends the top stack value to the block below it; returns its datatype.
u32 append_star();

// The block conversion: a shallow copy of the cells from the index, as `type`, into `out`.
Cell* convert_to(Cell* out, Cell* spec, u32 type);
// When the value is being formed or molded further up, writes its cycle mark
// ("[...]", "(...)", "..." for paths, "..." when forming) and answers true.
bool cycle_mark(const Cell* value, Cell* buffer, i32& part, bool mold);

i32 mold_each(Cell* blk, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
i32 compare_each(Cell* blk1, Cell* blk2, i32 op);

// Set operations on two series: code 8 unique, 9 union, 10 intersect,
// 11 exclude, 12 difference. Leaves and returns the new block on the stack.
Cell* do_set_op(Cell* set1, Cell* set2, bool case_, Cell* skip, i32 op);

// Actions.
Cell* make(Cell* proto, Cell* spec, u32 type);
Cell* to(Cell* proto, Cell* spec, u32 type);
i32 form(Cell* blk, Cell* buffer, Cell* arg, i32 part);
i32 mold(Cell* blk, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* gparent, Cell* p_item, i32 index,
                bool case_, bool get, bool tail);
i32 compare(Cell* blk1, Cell* blk2, i32 op);
Cell* insert(Cell* blk, Cell* value, Cell* part, bool only, Cell* dup, bool append);
Cell* change(Cell* blk, Cell* value, Cell* part, bool only, Cell* dup);
Cell* copy(Cell* blk, Cell* result, Cell* part, bool deep, Cell* types);
Cell* find(Cell* blk, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with, Cell* skip,
           bool last, bool reverse, bool tail, bool match);
Cell* put(Cell* blk, Cell* key, Cell* value, bool case_);
Cell* select(Cell* blk, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
             Cell* skip, bool last, bool reverse);
Cell* sort(Cell* blk, bool case_, Cell* skip, Cell* comparator, Cell* part, bool all, bool reverse, bool stable);
Cell* swap(Cell* blk1, Cell* blk2);
Cell* take(Cell* blk, Cell* part, bool deep, bool last);
Cell* trim(Cell* blk, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with);

void init();

}  // namespace zav::block
