// Dispatch through the action tables: from a value and an action slot to its datatype's function.
#include "datatypes/action_slots.h"

#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "runtime/fire.h"
#include "runtime/rt.h"

namespace zav::actions {

ActionFn get_action_ptr_from(u32 type, const Cell*, u32 slot) {
    if (type >= TYPE_TOTAL_COUNT || slot < 1 || slot > ACTIONS_COUNT) return nullptr;
    return datatype::action_table[type][slot];
}

ActionFn get_action_ptr(const Cell* value, u32 slot) {
    ActionFn fn = get_action_ptr_from(TYPE_OF(value), value, slot);
    if (!fn) {
        // "<call> does not allow <type> for its <first parameter> argument"
        Cell name, type, arg;
        error::get_call_name(&name);
        datatype::make_at(&type, TYPE_OF(value));
        error::get_call_argument(0, &arg);
        fire("script", "expect-arg", &name, &type, &arg);
    }
    return fn;
}

i32 compare_value(Cell* value1, Cell* value2, i32 op) {
    u32 t = TYPE_OF(value1);
    switch (t) {
        case TYPE_LOGIC:
            if (TYPE_OF(value2) != TYPE_LOGIC) break;
            return static_cast<i32>(value1->data1) - static_cast<i32>(value2->data1);
        default:
            break;
    }
    ActionFn fn = get_action_ptr_from(t, value1, ACT_COMPARE);
    if (!fn) return -2;
    return reinterpret_cast<action_fn::Compare>(fn)(value1, value2, op);
}

bool compare_star(Cell* value1, Cell* value2, i32 op) {
    ActionFn fn = get_action_ptr_from(TYPE_OF(value1), value1, ACT_COMPARE);
    i32 r = fn ? reinterpret_cast<action_fn::Compare>(fn)(value1, value2, op) : -2;
    switch (op) {
        case COMP_EQUAL: case COMP_STRICT_EQUAL: case COMP_SAME:
        case COMP_STRICT_EQUAL_WORD: case COMP_EQUAL_WORD: case COMP_FIND:
            return r == 0;
        case COMP_NOT_EQUAL:
            return r != 0;
        default:
            break;
    }
    if (r == -2) fire("script", "invalid-compare", value1, value2);
    switch (op) {
        case COMP_LESSER: return r < 0;
        case COMP_LESSER_EQUAL: return r <= 0;
        case COMP_GREATER: return r > 0;
        case COMP_GREATER_EQUAL: return r >= 0;
        default: rt::quit(rt::RT_ERR_NO_SWITCH, rt::code_address());
    }
}

i32 form_dispatch(Cell* value, Cell* buffer, Cell* arg, i32 part) {
    return typed<action_fn::Form>(value, ACT_FORM)(value, buffer, arg, part);
}

i32 mold_dispatch(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent) {
    return typed<action_fn::Mold>(value, ACT_MOLD)(value, buffer, only, all, flat, arg, part, indent);
}

}  // namespace zav::actions
