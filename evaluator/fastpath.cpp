// Fast entries of compiled code; the fallbacks run the generic actions.
#include "evaluator/fastpath.h"

#include "datatypes/block.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"
#include "runtime/stack.h"
#include "runtime/helpers.h"
#include "runtime/rt.h"

namespace zav::actions {

namespace {

[[noreturn]] void bad_code() { rt::quit(rt::RT_ERR_NO_SWITCH, rt::code_address()); }

Cell* int_cell(Cell* c, i32 v) { return make_cell(c, TYPE_INTEGER, 0, static_cast<u32>(v)); }
Cell* float_cell(Cell* c, double d) {
    make_cell(c, TYPE_FLOAT);
    set_cell_float(c, d);
    return c;
}

// Integer arithmetic on 32-bit values; an overflowing add, subtract or
// multiply gives the float! of the exact result.
void int_math(i32 op, i32 a, i32 b, Cell* out) {
    switch (op) {
        case 0: {
            i32 s = static_cast<i32>(static_cast<u32>(a) + static_cast<u32>(b));
            if ((s < a) != (b < 0)) float_cell(out, static_cast<double>(a) + b);
            else int_cell(out, s);
            return;
        }
        case 1: {
            i32 d = static_cast<i32>(static_cast<u32>(a) - static_cast<u32>(b));
            if ((d < 0) != (a < b)) float_cell(out, static_cast<double>(a) - b);
            else int_cell(out, d);
            return;
        }
        case 2: {
            i64 p = static_cast<i64>(a) * b;
            if (p != static_cast<i32>(p)) float_cell(out, static_cast<double>(a) * b);
            else int_cell(out, static_cast<i32>(p));
            return;
        }
        case 5: int_cell(out, a | b); return;
        case 6: int_cell(out, a & b); return;
        case 7: int_cell(out, a ^ b); return;
        default: bad_code();
    }
}

void check_math_op(i32 op) {
    if (op < 0 || op > 7 || op == 3 || op == 4) bad_code();
}

// The generic action in a kind-2 frame over copies of both operands; the
// result is the value below the top afterwards.
Cell* math_fallback(i32 op, const Cell* left, const Cell* right, const Cell* word) {
    Cell l = *left, r = *right;
    stack::mark_call(word);
    stack::push(&l);
    stack::push(&r);
    switch (op) {
        case 0: add_star(); break;
        case 1: subtract_star(); break;
        case 2: multiply_star(); break;
        case 5: or_t_star(); break;
        case 6: and_t_star(); break;
        case 7: xor_t_star(); break;
        default: bad_code();
    }
    stack::unwind();
    return stack::top - 1;
}

bool int_compare(i32 op, i32 a, i32 b) {
    switch (op) {
        case 0: case 2: return a == b;
        case 1: return a != b;
        case 3: return a < b;
        case 4: return a <= b;
        case 5: return a > b;
        case 6: return a >= b;
        default: bad_code();
    }
}

bool compare_fallback(i32 op, const Cell* left, const Cell* right, const Cell* word) {
    if (op < 0 || op > 6) bad_code();
    Cell l = *left, r = *right;
    stack::mark_call(word);
    stack::push(&l);
    stack::push(&r);
    compare_op(op);
    stack::unwind();
    bool v = stack::top[-1].data1 != 0;
    return v;
}

// Under the reference evaluator no operand takes a fast case: every entry
// runs its generic fallback.
bool int_q(const Cell* c) { return TYPE_OF(c) == TYPE_INTEGER && !interpreter::reference_only; }
bool float_q(const Cell* c) { return TYPE_OF(c) == TYPE_FLOAT && !interpreter::reference_only; }
bool block_q(const Cell* c) { return TYPE_OF(c) == TYPE_BLOCK && !interpreter::reference_only; }
i32 ival(const Cell* c) { return static_cast<i32>(c->data2); }

Cell* logic_cell(Cell* c, bool v) { return make_cell(c, TYPE_LOGIC, v ? 1 : 0); }

bool compare_cells(i32 op, Cell* left, Cell* right, const Cell* word) {
    if (int_q(left) && int_q(right)) return int_compare(op, ival(left), ival(right));
    return compare_fallback(op, left, right, word);
}

bool compare_int(i32 op, Cell* left, i32 right, const Cell* word) {
    if (int_q(left)) return int_compare(op, ival(left), right);
    Cell r;
    int_cell(&r, right);
    return compare_fallback(op, left, &r, word);
}

}  // namespace

Cell* fast_math_op(i32 op, Cell* left, Cell* right, const Cell* word) {
    check_math_op(op);
    if (int_q(left) && int_q(right)) {
        i32 a = ival(left), b = ival(right);
        Cell* out = stack::push_star();
        int_math(op, a, b, out);
        return out;
    }
    if (float_q(left) && float_q(right) && op <= 2) {
        double a = cell_float(left), b = cell_float(right);
        double r = op == 0 ? a + b : op == 1 ? a - b : a * b;
        return float_cell(stack::push_star(), r);
    }
    return math_fallback(op, left, right, word);
}

Cell* fast_math_op_int(i32 op, Cell* left, i32 right, const Cell* word) {
    check_math_op(op);
    if (int_q(left)) {
        i32 a = ival(left);
        Cell* out = stack::push_star();
        int_math(op, a, right, out);
        return out;
    }
    Cell r;
    int_cell(&r, right);
    return math_fallback(op, left, &r, word);
}

Cell* fast_math_op_top(i32 op, Cell* right, const Cell* word) {
    check_math_op(op);
    Cell* left = stack::top - 1;
    if (int_q(left) && int_q(right)) {
        int_math(op, ival(left), ival(right), left);
        return left;
    }
    if (float_q(left) && float_q(right) && op <= 2) {
        double a = cell_float(left), b = cell_float(right);
        return float_cell(left, op == 0 ? a + b : op == 1 ? a - b : a * b);
    }
    Cell* r = math_fallback(op, left, right, word);
    Cell v = *r;
    stack::top = left + 1;
    *left = v;
    return left;
}

Cell* fast_math_op_top_int(i32 op, i32 right, const Cell* word) {
    check_math_op(op);
    Cell* left = stack::top - 1;
    if (int_q(left)) {
        int_math(op, ival(left), right, left);
        return left;
    }
    Cell rc;
    int_cell(&rc, right);
    Cell* r = math_fallback(op, left, &rc, word);
    Cell v = *r;
    stack::top = left + 1;
    *left = v;
    return left;
}

Cell* fast_compare_op(i32 op, Cell* left, Cell* right, const Cell* word) {
    Cell* base = stack::top;
    bool v = compare_cells(op, left, right, word);
    stack::top = base;
    return logic_cell(stack::push_star(), v);
}

Cell* fast_compare_op_int(i32 op, Cell* left, i32 right, const Cell* word) {
    Cell* base = stack::top;
    bool v = compare_int(op, left, right, word);
    stack::top = base;
    return logic_cell(stack::push_star(), v);
}

Cell* fast_compare_op_top(i32 op, Cell* right, const Cell* word) {
    Cell* left = stack::top - 1;
    bool v = compare_cells(op, left, right, word);
    stack::top = left + 1;
    return logic_cell(left, v);
}

Cell* fast_compare_op_top_int(i32 op, i32 right, const Cell* word) {
    Cell* left = stack::top - 1;
    bool v = compare_int(op, left, right, word);
    stack::top = left + 1;
    return logic_cell(left, v);
}

bool fast_compare_cond(i32 op, Cell* left, Cell* right, bool invert, const Cell* word) {
    Cell* base = stack::top;
    bool v = compare_cells(op, left, right, word);
    stack::top = base;
    return v != invert;
}

bool fast_compare_cond_int(i32 op, Cell* left, i32 right, bool invert, const Cell* word) {
    Cell* base = stack::top;
    bool v = compare_int(op, left, right, word);
    stack::top = base;
    return v != invert;
}

bool fast_compare_cond_2(i32 op, Cell* left, Cell* right, const Cell* word) {
    return fast_compare_cond(op, left, right, false, word);
}

bool fast_compare_cond_int_2(i32 op, Cell* left, i32 right, const Cell* word) {
    return fast_compare_cond_int(op, left, right, false, word);
}

Cell* fast_pick_block(Cell* value, i32 index, const Cell* word) {
    if (block_q(value)) {
        Cell v = *value;
        i64 n = static_cast<i64>(block::buffer_of(&v)->length()) - series_head(&v);
        Cell* out = stack::push_star();
        if (index >= 1 && index <= n) *out = block::cells_of(block::buffer_of(&v))[series_head(&v) + index - 1];
        else make_cell(out, TYPE_NONE);
        return out;
    }
    Cell val = *value, idx;
    int_cell(&idx, index);
    stack::mark_call(word);
    stack::push(&val);
    stack::push(&idx);
    eval_path_star(-1);
    stack::unwind();
    return stack::top - 1;
}

Cell* fast_series_query(Cell* value, i32 code, const Cell* word) {
    if (code < 1 || code > 8) bad_code();
    if (block_q(value)) {
        Cell v = *value;
        i64 head = series_head(&v);
        i64 n = static_cast<i64>(block::buffer_of(&v)->length()) - head;
        Cell* out = stack::push_star();
        switch (code) {
            case 1: return int_cell(out, static_cast<i32>(n > 0 ? n : 0));
            case 2: return int_cell(out, static_cast<i32>(head + 1));
            case 3: return logic_cell(out, head == 0);
            case 4: return logic_cell(out, n < 1);
            case 5: if (n >= 1) series_head(&v) = static_cast<u32>(head + 1); break;
            case 6: if (head > 0) series_head(&v) = static_cast<u32>(head - 1); break;
            case 7: series_head(&v) = 0; break;
            default: series_head(&v) = static_cast<u32>(head + n); break;
        }
        *out = v;
        return out;
    }
    Cell val = *value;
    stack::mark_call(word);
    stack::push(&val);
    switch (code) {
        case 1: length_q_star(); break;
        case 2: index_q_star(); break;
        case 3: head_q_star(); break;
        case 4: tail_q_star(); break;
        case 5: next_star(); break;
        case 6: back_star(); break;
        case 7: head_star(); break;
        default: tail_star(); break;
    }
    stack::unwind();
    return stack::top - 1;
}

}  // namespace zav::actions
