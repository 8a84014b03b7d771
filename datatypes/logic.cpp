// logic!: true and false, and the truth tests used on every condition.
#include "datatypes/logic.h"

#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "datatypes/random.h"
#include "runtime/stack.h"
#include "runtime/fire.h"
#include "runtime/memory.h"

namespace zav::logic {

Cell true_value{TYPE_LOGIC, 1, 0, 0};
Cell false_value{TYPE_LOGIC, 0, 0, 0};

namespace {

// The global word naming an action or argument in an error (copied: the word
// list may move).
Cell* word_of(Cell* cell, const char* name) { return copy_cell(word::load(name), cell); }

// and~ or~ xor~: the second argument must be logic!.
Cell* bitwise(const char* action, u32 (*op)(u32, u32)) {
    Cell* left = stack::arguments;
    Cell* right = left + 1;
    if (TYPE_OF(right) != TYPE_LOGIC) {
        Cell name, type, arg;
        fire("script", "expect-arg", word_of(&name, action), datatype::make_at(&type, TYPE_OF(right)),
             word_of(&arg, "value2"));
    }
    left->data1 = op(left->data1, right->data1) & 1;
    return left;
}

}  // namespace

Cell* make_at(Cell* cell, i32 v) { return make_cell(cell, TYPE_LOGIC, v ? 1 : 0); }

Cell* box(i32 v) { return make_at(stack::arguments, v); }

Cell* make_in(Cell* parent, i32 v) { return make_at(alloc_at_tail(series_node(parent)), v); }

Cell* push(i32 v) { return make_at(stack::push_star(), v); }

bool true_q(const Cell* value, bool check, const Cell* word) {
    if (check && TYPE_OF(value) == TYPE_UNSET) fire("script", "no-value", word);
    return is_true(value);
}

bool true_arg_q() {
    if (TYPE_OF(stack::arguments) == TYPE_UNSET) fire("script", "no-return");
    return is_true(stack::arguments);
}

bool false_arg_q() {
    u32 t = TYPE_OF(stack::arguments);
    return t == TYPE_NONE || (t == TYPE_LOGIC && stack::arguments->data1 == 0);
}

bool true_top_q() { return is_true(stack::get_top()); }

bool false_top_q() { return !true_top_q(); }

Cell* make(Cell* proto, Cell* spec, u32 type) {
    switch (TYPE_OF(spec)) {
        case TYPE_INTEGER:
            return make_at(proto, spec->data2 != 0);
        case TYPE_FLOAT:
        case TYPE_PERCENT:
            // A NaN is true: it is not equal to 0.0.
            return make_at(proto, cell_float(spec) != 0.0);
        default:
            return to(proto, spec, type);
    }
}

Cell* to(Cell* proto, Cell* spec, u32) {
    switch (TYPE_OF(spec)) {
        case TYPE_LOGIC: return copy_cell(spec, proto);
        case TYPE_NONE: return copy_cell(&false_value, proto);
        default: return copy_cell(&true_value, proto);
    }
}

Cell* random(Cell* value, bool seed, bool secure, bool) {
    if (seed) {
        random::seed(value->data1);
        return make_cell(value, TYPE_UNSET);
    }
    i32 draw = secure ? random::next_secure() : random::next();
    value->data1 = draw > 0x3FFFFFFF ? 1 : 0;
    return value;
}

i32 form(Cell* value, Cell* buffer, Cell*, i32 part) {
    const char* text = value->data1 ? "true" : "false";
    string::concatenate_literal(buffer, text);
    return part - static_cast<i32>(std::strlen(text));
}

i32 mold(Cell* value, Cell* buffer, bool, bool all, bool, Cell*, i32 part, i32) {
    const char* text = value->data1 ? (all ? "#(true)" : "true") : (all ? "#(false)" : "false");
    string::concatenate_literal(buffer, text);
    return part - static_cast<i32>(std::strlen(text));
}

i32 compare(Cell* value1, Cell* value2, i32 op) {
    if (TYPE_OF(value2) != TYPE_LOGIC) return -2;
    switch (op) {
        case COMP_EQUAL: case COMP_NOT_EQUAL: case COMP_STRICT_EQUAL: case COMP_SORT: case COMP_CASE_SORT:
        case COMP_SAME: case COMP_FIND:
            return static_cast<i32>(value1->data1) - static_cast<i32>(value2->data1);
        default:
            return -2;
    }
}

Cell* complement(Cell* value) {
    value->data1 = value->data1 ? 0 : 1;
    return value;
}

Cell* and_t() { return bitwise("and~", [](u32 a, u32 b) { return a & b; }); }
Cell* or_t() { return bitwise("or~", [](u32 a, u32 b) { return a | b; }); }
Cell* xor_t() { return bitwise("xor~", [](u32 a, u32 b) { return a ^ b; }); }

void init() {
    true_value = Cell{TYPE_LOGIC, 1, 0, 0};
    false_value = Cell{TYPE_LOGIC, 0, 0, 0};
    datatype::register_type(TYPE_LOGIC, 0, "logic!", {
        own<ACT_MAKE>(make), own<ACT_RANDOM>(random), own<ACT_TO>(to), own<ACT_FORM>(form), own<ACT_MOLD>(mold),
        own<ACT_COMPARE>(compare), own<ACT_AND_T>(and_t), own<ACT_COMPLEMENT>(complement), own<ACT_OR_T>(or_t),
        own<ACT_XOR_T>(xor_t),
    });
}

}  // namespace zav::logic
