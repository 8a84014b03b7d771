// The 62 action slots: their numbers, the typed signature of each slot's
// datatype function, and dispatch through the datatypes' action tables.
#pragma once
#include "runtime/cell.h"

namespace zav {

enum ActionSlot : u32 {
    ACT_MAKE = 1, ACT_RANDOM, ACT_REFLECT, ACT_TO, ACT_FORM, ACT_MOLD, ACT_EVAL_PATH, ACT_SET_PATH, ACT_COMPARE,
    ACT_ABSOLUTE, ACT_ADD, ACT_DIVIDE, ACT_MULTIPLY, ACT_NEGATE, ACT_POWER, ACT_REMAINDER, ACT_ROUND,
    ACT_SUBTRACT, ACT_EVEN_Q, ACT_ODD_Q, ACT_AND_T, ACT_COMPLEMENT, ACT_OR_T, ACT_XOR_T,
    ACT_APPEND, ACT_AT, ACT_BACK, ACT_CHANGE, ACT_CLEAR, ACT_COPY, ACT_FIND, ACT_HEAD, ACT_HEAD_Q,
    ACT_INDEX_Q, ACT_INSERT, ACT_LENGTH_Q, ACT_MOVE, ACT_NEXT, ACT_PICK, ACT_POKE, ACT_PUT, ACT_REMOVE,
    ACT_REVERSE, ACT_SELECT, ACT_SORT, ACT_SKIP, ACT_SWAP, ACT_TAIL, ACT_TAIL_Q, ACT_TAKE, ACT_TRIM,
    ACT_CREATE, ACT_CLOSE, ACT_DELETE, ACT_MODIFY, ACT_OPEN, ACT_OPEN_Q, ACT_QUERY, ACT_READ, ACT_RENAME,
    ACT_UPDATE, ACT_WRITE,
    ACTIONS_COUNT = 62,
};

// Comparison operators passed to every compare slot.
enum CompareOp : i32 {
    COMP_EQUAL = 0, COMP_NOT_EQUAL = 1, COMP_STRICT_EQUAL = 2, COMP_LESSER = 3, COMP_LESSER_EQUAL = 4,
    COMP_GREATER = 5, COMP_GREATER_EQUAL = 6, COMP_SORT = 7, COMP_CASE_SORT = 8, COMP_SAME = 9,
    COMP_STRICT_EQUAL_WORD = 10, COMP_EQUAL_WORD = 11, COMP_FIND = 12,
};

// Slot functions. Refinement flags arrive as bool, refinement arguments as a
// cell or null when the refinement is not used. Slots marked "stack" read
// their operands from stack::arguments themselves.
using ActionFn = void (*)();
namespace action_fn {
using Make = Cell* (*)(Cell* proto, Cell* spec, u32 type);
using Random = Cell* (*)(Cell* value, bool seed, bool secure, bool only);
using Reflect = Cell* (*)(Cell* value, u32 field_symbol);
using To = Cell* (*)(Cell* proto, Cell* spec, u32 type);
// Form and mold append to the string! `buffer` and answer part less what they wrote.
using Form = i32 (*)(Cell* value, Cell* buffer, Cell* arg, i32 part);
using Mold = i32 (*)(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);
// Path step: `value` is the value to set (null when reading); `gparent` the
// value holding `parent`, `p_item` the element that reached it.
using EvalPath = Cell* (*)(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* gparent, Cell* p_item,
                           i32 index, bool case_, bool get, bool tail);
using Compare = i32 (*)(Cell* value1, Cell* value2, i32 op);
using Stack = Cell* (*)();  // absolute add divide multiply power remainder subtract and~ or~ xor~ at back head head? index? next skip tail tail?
using Negate = Cell* (*)(Cell* value);
using Round = Cell* (*)(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceil,
                        bool half_ceil);
using Predicate = bool (*)(Cell* value);  // even? odd?
using Complement = Cell* (*)(Cell* value);
using Insert = Cell* (*)(Cell* series, Cell* value, Cell* part, bool only, Cell* dup, bool append);
using Change = Cell* (*)(Cell* series, Cell* value, Cell* part, bool only, Cell* dup);
using Clear = Cell* (*)(Cell* series);
using Copy = Cell* (*)(Cell* value, Cell* result, Cell* part, bool deep, Cell* types);
using Find = Cell* (*)(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any,
                       Cell* with, Cell* skip, bool last, bool reverse, bool tail, bool match);
using Length = i32 (*)(Cell* series);
using Move = Cell* (*)(Cell* origin, Cell* target, Cell* part);
using Pick = Cell* (*)(Cell* series, i32 index, Cell* boxed);
using Poke = Cell* (*)(Cell* series, i32 index, Cell* data, Cell* boxed);
using Put = Cell* (*)(Cell* series, Cell* key, Cell* value, bool case_);
using Remove = Cell* (*)(Cell* series, Cell* part, Cell* key);
using Reverse = Cell* (*)(Cell* series, Cell* part, Cell* skip);
using Select = Cell* (*)(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any,
                         Cell* with, Cell* skip, bool last, bool reverse);
using Sort = Cell* (*)(Cell* series, bool case_, Cell* skip, Cell* comparator, Cell* part, bool all,
                       bool reverse, bool stable);
using Swap = Cell* (*)(Cell* series1, Cell* series2);
using Take = Cell* (*)(Cell* series, Cell* part, bool deep, bool last);
using Trim = Cell* (*)(Cell* series, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with);
using Port = Cell* (*)(Cell* port);  // create close delete open? query update
using Modify = Cell* (*)(Cell* target, Cell* field, Cell* value, bool case_);
using Open = Cell* (*)(Cell* port, bool new_, bool read, bool write, bool seek, Cell* allow);
using Read = Cell* (*)(Cell* source, Cell* part, Cell* seek, bool binary, bool lines, bool info, Cell* as);
using Rename = Cell* (*)(Cell* from, Cell* to);
using Write = Cell* (*)(Cell* destination, Cell* data, bool binary, bool lines, bool info, bool append,
                        Cell* part, Cell* seek, Cell* allow, Cell* as);
}  // namespace action_fn

namespace datatype {
// Row t, entry s (1..62): the datatype's function for that slot, or null.
extern ActionFn action_table[TYPE_TOTAL_COUNT][ACTIONS_COUNT + 1];
}

namespace actions {

// Entry of a slot for a type: null when the datatype does not support it.
// Inline: every action's dispatch reads it, most twice.
inline ActionFn get_action_ptr_from(u32 type, const Cell*, u32 slot) {
    if (type >= TYPE_TOTAL_COUNT || slot < 1 || slot > ACTIONS_COUNT) return nullptr;
    return datatype::action_table[type][slot];
}
// As above, raising script/expect-arg when the slot is empty.
ActionFn get_action_ptr(const Cell* value, u32 slot);

template <class F>
inline F typed(const Cell* value, u32 slot) {
    return reinterpret_cast<F>(get_action_ptr(value, slot));
}

// Raw comparison through the compare slot: -2 when not comparable.
i32 compare_value(Cell* value1, Cell* value2, i32 op);
// Truth of a comparison; -2 under an ordering operator raises script/invalid-compare.
bool compare_star(Cell* value1, Cell* value2, i32 op);

// Typed workers used by datatype code that already holds its values.
i32 form_dispatch(Cell* value, Cell* buffer, Cell* arg, i32 part);
i32 mold_dispatch(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent);

}  // namespace actions
}  // namespace zav

namespace zav {

// The function type of each slot, for checked registration.
template <u32 Slot> struct SlotType;
#define ZAV_SLOT_TYPE(slot, type) template <> struct SlotType<slot> { using T = action_fn::type; }
ZAV_SLOT_TYPE(ACT_MAKE, Make); ZAV_SLOT_TYPE(ACT_RANDOM, Random); ZAV_SLOT_TYPE(ACT_REFLECT, Reflect);
ZAV_SLOT_TYPE(ACT_TO, To); ZAV_SLOT_TYPE(ACT_FORM, Form); ZAV_SLOT_TYPE(ACT_MOLD, Mold);
ZAV_SLOT_TYPE(ACT_EVAL_PATH, EvalPath); ZAV_SLOT_TYPE(ACT_SET_PATH, EvalPath); ZAV_SLOT_TYPE(ACT_COMPARE, Compare);
ZAV_SLOT_TYPE(ACT_ABSOLUTE, Stack); ZAV_SLOT_TYPE(ACT_ADD, Stack); ZAV_SLOT_TYPE(ACT_DIVIDE, Stack);
ZAV_SLOT_TYPE(ACT_MULTIPLY, Stack); ZAV_SLOT_TYPE(ACT_NEGATE, Negate); ZAV_SLOT_TYPE(ACT_POWER, Stack);
ZAV_SLOT_TYPE(ACT_REMAINDER, Stack); ZAV_SLOT_TYPE(ACT_ROUND, Round); ZAV_SLOT_TYPE(ACT_SUBTRACT, Stack);
ZAV_SLOT_TYPE(ACT_EVEN_Q, Predicate); ZAV_SLOT_TYPE(ACT_ODD_Q, Predicate); ZAV_SLOT_TYPE(ACT_AND_T, Stack);
ZAV_SLOT_TYPE(ACT_COMPLEMENT, Complement); ZAV_SLOT_TYPE(ACT_OR_T, Stack); ZAV_SLOT_TYPE(ACT_XOR_T, Stack);
ZAV_SLOT_TYPE(ACT_APPEND, Insert); ZAV_SLOT_TYPE(ACT_AT, Stack); ZAV_SLOT_TYPE(ACT_BACK, Stack);
ZAV_SLOT_TYPE(ACT_CHANGE, Change); ZAV_SLOT_TYPE(ACT_CLEAR, Clear); ZAV_SLOT_TYPE(ACT_COPY, Copy);
ZAV_SLOT_TYPE(ACT_FIND, Find); ZAV_SLOT_TYPE(ACT_HEAD, Stack); ZAV_SLOT_TYPE(ACT_HEAD_Q, Stack);
ZAV_SLOT_TYPE(ACT_INDEX_Q, Stack); ZAV_SLOT_TYPE(ACT_INSERT, Insert); ZAV_SLOT_TYPE(ACT_LENGTH_Q, Length);
ZAV_SLOT_TYPE(ACT_MOVE, Move); ZAV_SLOT_TYPE(ACT_NEXT, Stack); ZAV_SLOT_TYPE(ACT_PICK, Pick);
ZAV_SLOT_TYPE(ACT_POKE, Poke); ZAV_SLOT_TYPE(ACT_PUT, Put); ZAV_SLOT_TYPE(ACT_REMOVE, Remove);
ZAV_SLOT_TYPE(ACT_REVERSE, Reverse); ZAV_SLOT_TYPE(ACT_SELECT, Select); ZAV_SLOT_TYPE(ACT_SORT, Sort);
ZAV_SLOT_TYPE(ACT_SKIP, Stack); ZAV_SLOT_TYPE(ACT_SWAP, Swap); ZAV_SLOT_TYPE(ACT_TAIL, Stack);
ZAV_SLOT_TYPE(ACT_TAIL_Q, Stack); ZAV_SLOT_TYPE(ACT_TAKE, Take); ZAV_SLOT_TYPE(ACT_TRIM, Trim);
ZAV_SLOT_TYPE(ACT_CREATE, Port); ZAV_SLOT_TYPE(ACT_CLOSE, Port); ZAV_SLOT_TYPE(ACT_DELETE, Port);
ZAV_SLOT_TYPE(ACT_MODIFY, Modify); ZAV_SLOT_TYPE(ACT_OPEN, Open); ZAV_SLOT_TYPE(ACT_OPEN_Q, Port);
ZAV_SLOT_TYPE(ACT_QUERY, Port); ZAV_SLOT_TYPE(ACT_READ, Read); ZAV_SLOT_TYPE(ACT_RENAME, Rename);
ZAV_SLOT_TYPE(ACT_UPDATE, Port); ZAV_SLOT_TYPE(ACT_WRITE, Write);
#undef ZAV_SLOT_TYPE

// A datatype's own function for a slot, checked against the slot's signature.
template <u32 Slot>
inline ActionFn A(typename SlotType<Slot>::T f) { return reinterpret_cast<ActionFn>(f); }

// One entry of a datatype's action table, named by its slot: the datatype's
// own function, checked against the slot's signature, or the parent's entry.
// A slot that no entry names stays empty. A slot that does not exist, or a
// function of the wrong type for its slot, does not compile.
struct SlotEntry {
    u32 slot;
    ActionFn fn;
    bool inherited;  // the parent's entry (fn is null)
};
template <u32 Slot>
inline SlotEntry own(typename SlotType<Slot>::T f) { return {Slot, A<Slot>(f), false}; }
template <u32 Slot>
inline SlotEntry inherit() {
    static_assert(Slot >= 1 && Slot <= ACTIONS_COUNT, "no such action slot");
    return {Slot, nullptr, true};
}
// Explicitly empty: for tables built in code, where a slot is decided at run time.
template <u32 Slot>
inline SlotEntry empty() {
    static_assert(Slot >= 1 && Slot <= ACTIONS_COUNT, "no such action slot");
    return {Slot, nullptr, false};
}

// A table that takes every slot from the parent until told otherwise, for
// children that differ from their parent in a few slots.
struct InheritAll {
    SlotEntry slots[ACTIONS_COUNT];
    InheritAll() {
        for (u32 s = 1; s <= ACTIONS_COUNT; s++) slots[s - 1] = {s, nullptr, true};
    }
    void set(const SlotEntry& e) { slots[e.slot - 1] = e; }
};

}  // namespace zav
