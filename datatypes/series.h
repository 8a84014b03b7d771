// series!: the abstract parent of every series datatype. Its actions work on
// any unit size (bytes, code points of 1, 2 or 4 bytes, cells) and switch on
// the concrete datatype only where the stored element differs.
#pragma once
#include "datatypes/block.h"
#include "runtime/cell.h"
#include "datatypes/string.h"
#include "runtime/memory.h"

namespace zav::series {

inline SeriesBuffer* buffer_of(const Cell* s) { return GET_BUFFER(series_node(s)); }
inline u32 unit_of(const Cell* s) { return buffer_of(s)->unit(); }

// Values whose payload is a head index and a node of a series buffer.
inline bool series_q(u32 type) {
    return block::any_block_q(type) || string::any_string_q(type) || type == TYPE_BINARY || type == TYPE_VECTOR ||
           type == TYPE_IMAGE;
}

// Shared helpers.
bool tail_at_q(const Cell* s);                  // at or past the tail
u32 buffer_length_q(const Cell* s);             // units in the buffer
bool skip_in(Cell* s, i32 count);               // moves unless that passes the tail; true when at tail
// Units from the index (or the head) to the tail; clamps an index past the
// tail. Inline: length? of a block or string is a hot call.
inline u32 length_from(Cell* s, bool from_head) {
    u32 len = buffer_of(s)->length();
    i64 i = from_head ? 0 : static_cast<i32>(series_head(s));
    if (i < 0) i = 0;
    if (i > len) {
        series_head(s) = len;
        return 0;
    }
    return len - static_cast<u32>(i);
}
// New index for at (base 1) and skip (base 0) from stack::arguments[0] and [1].
u32 get_int_arg(i32 base);

// Resolves a /part argument against `s`: integer counts (negative ones reach
// before the index when `negative` allows it), a series of the same datatype
// and buffer, and for copy a pair!. Sets `start` (absolute unit position) and
// returns the count, clamped to the buffer. Other values raise
// script/invalid-refine-arg, pending with `pend` (see fire_pending; 0 then).
u32 part_range(Cell* s, Cell* part, bool negative, bool pair, u32& start, bool pend = false);

// Tells the ownership layer about a change (only an owned series pays), and
// ends what was decoded from the series (see memory::note_write). Every
// action that writes a series tells, before and after the write. `value`
// (may be null) is passed through to the owner's handler.
void tell_owner(Cell* s, const char* action, u32 index, u32 count, const Cell* value);
// In line: only a watched series has someone to tell, and most have none.
inline void tell(Cell* s, const char* action, u32 index, u32 count, const Cell* value = nullptr) {
    if (buffer_of(s)->flags & SERIES_WATCHED) [[unlikely]] tell_owner(s, action, index, count, value);
}

// hash!: keeps its table in step after `count` cells moved by `shift` from `position`.
void hash_refresh(Cell* s, i32 shift, u32 position, u32 count, bool remove);
void hash_rebuild(Cell* s);

// Builds a word! cell for an error argument.
Cell* word_arg(Cell* out, const char* name);
// script/invalid-refine-arg for a refinement's value, raised pending with
// `pend` (see fire_pending), answering null.
Cell* refine_arg_error(const char* refinement, const Cell* value, bool pend);

// Actions (slot order): the result is left in the first argument.
Cell* random(Cell* s, bool seed, bool secure, bool only);
Cell* reflect(Cell* s, u32 field_symbol);
Cell* clear(Cell* s);
Cell* copy(Cell* s, Cell* result, Cell* part, bool deep, Cell* types);
Cell* at();
Cell* back();
Cell* head();
Cell* head_q();
Cell* index_q();
i32 length_q(Cell* s);
Cell* move(Cell* origin, Cell* target, Cell* part);
Cell* next();
// Pick and poke write their result into `boxed`, or into `s` when it is null.
Cell* pick(Cell* s, i32 index, Cell* boxed);
// An index out of range is raised pending with `pend` (see fire_pending),
// answering null; the poke action raises it so.
Cell* poke_at(Cell* s, i32 index, Cell* data, Cell* boxed, bool pend);
Cell* poke(Cell* s, i32 index, Cell* data, Cell* boxed);
Cell* remove(Cell* s, Cell* part, Cell* key);
Cell* reverse(Cell* s, Cell* part, Cell* skip);
Cell* skip();
Cell* tail();
Cell* tail_q();
Cell* take(Cell* s, Cell* part, bool deep, bool last);
Cell* modify(Cell* s, Cell* field, Cell* value, bool case_);

void init();

}  // namespace zav::series
