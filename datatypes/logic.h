// logic!: true and false, and the truth tests used on every condition.
#pragma once
#include "runtime/cell.h"

namespace zav::logic {

// The shared constant cells; conversions return them by reference.
extern Cell true_value;
extern Cell false_value;

Cell* box(i32 v);                    // the result slot becomes that logic value
Cell* make_in(Cell* parent, i32 v);  // appends a logic cell to a block
Cell* push(i32 v);
Cell* make_at(Cell* cell, i32 v);
inline i32 get(const Cell* c) { return static_cast<i32>(c->data1); }

// Truth: only none and logic false are false.
[[gnu::always_inline]] inline bool is_true(const Cell* value) {
    u32 t = TYPE_OF(value);
    return !(t == TYPE_NONE || (t == TYPE_LOGIC && value->data1 == 0));
}
// The same; with `check`, an unset value raises script/no-value naming `word`.
bool true_q(const Cell* value, bool check = false, const Cell* word = nullptr);
// The result slot of the running native; unset raises script/no-return.
bool true_arg_q();
// The result slot: true for none or false; unset gives false and raises nothing.
bool false_arg_q();
// The value just below the stack top.
bool true_top_q();
bool false_top_q();

Cell* make(Cell* proto, Cell* spec, u32 type);
Cell* to(Cell* proto, Cell* spec, u32 type);
Cell* random(Cell* value, bool seed, bool secure, bool only);
i32 form(Cell* value, Cell* buffer, Cell* arg, i32 part);
i32 mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
i32 compare(Cell* value1, Cell* value2, i32 op);
Cell* complement(Cell* value);
Cell* and_t();
Cell* or_t();
Cell* xor_t();

void init();

}  // namespace zav::logic
