// The typed series entries that store one value at a series' tail, inline:
// the lean call makes the commonest one (append with no refinement named)
// without a call; plain_series_action (fastpath.h) takes the others.
#pragma once
#include <cstring>

#include "datatypes/action_slots.h"
#include "datatypes/block.h"
#include "datatypes/series.h"
#include "evaluator/interpreter.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace zav::actions {

// Room for `bytes` more at the tail, in a buffer nobody watches (its owner,
// or what was decoded from it, hears of each change through the generic action).
[[gnu::always_inline]] inline bool room_q(const SeriesBuffer* b, u32 bytes) {
    return !(b->flags & SERIES_WATCHED) && u64(b->tail) + bytes <= off_of(const_cast<SeriesBuffer*>(b)->data_end());
}

// append of a string! to a string! of the same unit with room: its
// characters from its head copied to the tail (the series itself too, read
// before the tail moves).
[[gnu::noinline]] inline bool append_same_text(Cell* s, const Cell* value) {
    SeriesBuffer* b = GET_BUFFER(series_node(s));
    const SeriesBuffer* v = GET_BUFFER(series_node(value));
    const u32 unit = b->unit();
    if (v->unit() != unit) return false;
    const u32 used = v->used_bytes(), from = series_head(value) * unit;
    const u32 bytes = from < used ? used - from : 0;
    if (!room_q(b, bytes)) return false;
    std::memcpy(b->tail_ptr(), const_cast<SeriesBuffer*>(v)->head() + from, bytes);
    b->tail += bytes;
    series_head(s) = 0;
    return true;
}

// append of a char! (or a string!, see append_same_text) to a string!: the
// code point stored at the tail when it fits the buffer's unit and the
// buffer has room.
[[gnu::always_inline]] inline bool append_char(Cell* s, const Cell* value) {
    if (TYPE_OF(value) != TYPE_CHAR) return TYPE_OF(value) == TYPE_STRING && append_same_text(s, value);
    SeriesBuffer* b = GET_BUFFER(series_node(s));
    u32 cp = value->data2, unit = b->unit();
    // A code point the buffer's unit cannot hold widens it: the generic way.
    if (cp > (unit == 1 ? 0x7Fu : unit == 2 ? 0xFFFFu : 0x10FFFFu) || !room_q(b, unit)) return false;
    if (unit == 1) *b->tail_ptr() = static_cast<u8>(cp);
    else unicode::put_char(b->tail_ptr(), unit, cp);
    b->tail += unit;
    series_head(s) = 0;
    return true;
}

// append (insert: at the head) of one value that is no block to a block!
// with room for it.
[[gnu::always_inline]] inline bool add_cell(Cell* s, const Cell* value, bool append) {
    if (block::any_block_q(TYPE_OF(value))) return false;
    SeriesBuffer* b = GET_BUFFER(series_node(s));
    if (!room_q(b, sizeof(Cell))) return false;
    Cell* cells = block::cells_of(b);
    u32 len = b->used_bytes() / sizeof(Cell);
    if (append) {
        cells[len] = *value;
        series_head(s) = 0;
        b->tail += sizeof(Cell);
    } else {
        u32 pos = series_head(s) < len ? series_head(s) : len;
        *reinterpret_cast<Cell*>(open_gap(b, pos * sizeof(Cell), sizeof(Cell))) = *value;
        series_head(s) = pos + 1;
    }
    return true;
}

// length? of a block! or string! (series!'s own length?, which both
// inherit), read off the value: the integer! into *out; false for any
// other type. Nothing in it can fail or allocate.
[[gnu::always_inline]] inline bool series_length(const Cell* s, Cell* out) {
    if (TYPE_OF(s) != TYPE_BLOCK && TYPE_OF(s) != TYPE_STRING) return false;
    Cell v = *s;
    make_cell(out, TYPE_INTEGER, 0, series::length_from(&v, false));
    return true;
}

// append of one value to a block! or of a char! to a string! by the running
// action (its stack arguments), the result left as the generic action
// leaves it; false for every other call.
[[gnu::always_inline]] inline bool typed_append(u32 slot) {
    if (slot != ACT_APPEND || !interpreter::fast_paths_on()) return false;
    Cell* s = stack::arguments;
    if (TYPE_OF(s) == TYPE_BLOCK) return add_cell(s, s + 1, true);
    return TYPE_OF(s) == TYPE_STRING && append_char(s, s + 1);
}

}  // namespace zav::actions
