// Dispatch through the action tables: from a value and an action slot to its datatype's function.
#include "datatypes/action_slots.h"

#include <string>

#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "loader/lexer.h"
#include "runtime/unicode.h"
#include "runtime/fire.h"
#include "runtime/rt.h"

namespace zav::actions {

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

namespace {

// Datatypes whose text can hold what their literal cannot (an issue with a
// blank, an email with two "@", a tag starting with "=", a path whose first
// element is a number...): their mold/all text is scanned back.
bool type_is_path(u32 type) {
    return type == TYPE_PATH || type == TYPE_LIT_PATH || type == TYPE_SET_PATH || type == TYPE_GET_PATH;
}

bool literal_checked(u32 type) {
    switch (type) {
        case TYPE_ISSUE: case TYPE_URL: case TYPE_FILE: case TYPE_EMAIL: case TYPE_TAG: case TYPE_REF:
        case TYPE_PATH: case TYPE_LIT_PATH: case TYPE_SET_PATH: case TYPE_GET_PATH:
            return true;
        default:
            return false;
    }
}

// The text molded into the buffer from code point `from` must scan (without
// building) as one value of the type, else mold/all would write text that
// loads as something else: script/cannot-use instead.
// A path that holds a path would load back flattened.
bool nested_path(Cell* value) {
    if (!(type_is_path(TYPE_OF(value)))) return false;
    SeriesBuffer* b = GET_BUFFER(series_node(value));
    const Cell* items = reinterpret_cast<const Cell*>(b->head());
    for (u32 i = series_head(value); i < b->length(); i++)
        if (type_is_path(TYPE_OF(items + i))) return true;
    return false;
}

void check_reads_back(Cell* value, u32 type, Cell* buffer, u32 from) {
    SeriesBuffer* b = GET_BUFFER(series_node(buffer));
    u32 unit = unicode::buffer_unit(b), end = b->used_bytes() / unit;
    static std::string text;  // kept: most molds are short and many
    text.clear();
    u8 bytes[4];
    for (u32 i = from; i < end; i++) {
        u32 cp = unicode::get_char(b->head() + i * unit, unit);
        if (cp < 0x80) text.push_back(static_cast<char>(cp));
        else text.append(reinterpret_cast<const char*>(bytes), unicode::cp_to_utf8(cp, bytes));
    }
    i32 consumed = 0;
    i32 scanned = lexer::scan(nullptr, reinterpret_cast<const u8*>(text.data()), static_cast<u32>(text.size()), true,
                              true, false, &consumed, nullptr, nullptr);
    if (scanned == static_cast<i32>(type) && static_cast<size_t>(consumed) == text.size() && !nested_path(value)) return;
    Cell action, kind;
    copy_cell(word::load("mold"), &action);
    datatype::make_at(&kind, type);
    fire("script", "cannot-use", &action, &kind);
}

}  // namespace

i32 mold_dispatch(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 part, i32 indent) {
    action_fn::Mold mold = typed<action_fn::Mold>(value, ACT_MOLD);
    // Cut text (/part) is not meant to load back.
    if (!all || arg || !literal_checked(TYPE_OF(value))) return mold(value, buffer, only, all, flat, arg, part, indent);
    u32 type = TYPE_OF(value), from = string::zs_abs_length_q(buffer);
    part = mold(value, buffer, only, all, flat, arg, part, indent);
    check_reads_back(value, type, buffer, from);
    return part;
}

}  // namespace zav::actions
