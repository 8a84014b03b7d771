// Numbers in place, and the fast entries of compiled code; the fallbacks run
// the generic actions.
#include "evaluator/fastpath.h"

#include <cstring>

#include "datatypes/block.h"
#include "datatypes/char.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/map.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"
#include "evaluator/series_fast.h"
#include "runtime/stack.h"
#include "runtime/cell.h"
#include "runtime/rt.h"
#include "runtime/unicode.h"

namespace zav::actions {

namespace {

[[noreturn]] void bad_code() { rt::quit(rt::RT_ERR_NO_SWITCH, rt::code_address()); }

Cell* int_cell(Cell* c, i32 v) { return make_cell(c, TYPE_INTEGER, 0, static_cast<u32>(v)); }

// Math operator codes of compiled code (0 add, 1 subtract, 2 multiply) to
// the in-place kinds; the bitwise ones have none.
FastOp math_kind(i32 op) { return op == 0 ? FAST_ADD : op == 1 ? FAST_SUB : op == 2 ? FAST_MUL : FAST_NONE; }

// Bitwise operators of two integers, written as the integer actions write them.
bool int_bitwise(i32 op, Cell* left, const Cell* right) {
    if (TYPE_OF(left) != TYPE_INTEGER || TYPE_OF(right) != TYPE_INTEGER) return false;
    u32 a = left->data2, b = right->data2;
    left->data2 = op == 5 ? a | b : op == 6 ? a & b : a ^ b;
    return true;
}

// `left op right` in place: false when the generic action must run.
bool math_in_place(i32 op, Cell* left, const Cell* right) {
    if (interpreter::reference_only) return false;
    if (op >= 5) return int_bitwise(op, left, right);
    return fast_compute(math_kind(op), left, right);
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

// Comparison codes of compiled code (0 equal ... 6 greater or equal) to the in-place kinds.
constexpr FastOp compare_kinds[] = {FAST_EQ, FAST_NE, FAST_STRICT_EQ, FAST_LT, FAST_LE, FAST_GT, FAST_GE};

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

Cell* logic_cell(Cell* c, bool v) { return make_cell(c, TYPE_LOGIC, v ? 1 : 0); }

// Under the reference evaluator every comparison takes its generic fallback.
bool compare_cells(i32 op, Cell* left, Cell* right, const Cell* word) {
    if (op < 0 || op > 6) bad_code();
    Cell r = *left;
    if (!interpreter::reference_only && fast_compute(compare_kinds[op], &r, right)) return r.data1 != 0;
    return compare_fallback(op, left, right, word);
}

bool compare_int(i32 op, Cell* left, i32 right, const Cell* word) {
    Cell r;
    int_cell(&r, right);
    return compare_cells(op, left, &r, word);
}

bool block_q(const Cell* c) { return TYPE_OF(c) == TYPE_BLOCK && !interpreter::reference_only; }

// Series pick by an index as the generic pick counts it (from the head:
// 1 the first, -1 the one before it, 0 none), for a block! or string!.
void pick_in_place(const Cell* s, i32 n, Cell* out) {
    SeriesBuffer* b = GET_BUFFER(series_node(s));
    i64 pos = n > 0 ? i64(series_head(s)) + n - 1 : i64(series_head(s)) + n;
    if (n == 0 || pos < 0 || pos >= b->length()) make_cell(out, TYPE_NONE);
    else if (TYPE_OF(s) == TYPE_BLOCK) *out = block::cells_of(b)[pos];
    else make_cell(out, TYPE_CHAR, 0, unicode::get_char(b->head() + u64(pos) * b->unit(), b->unit()));
}

// No refinement among the first n used (each -1).
bool plain_call_q(const i32* refinements, u32 n) {
    i32 all = -1;
    for (u32 i = 0; i < n; i++) all &= refinements[i];
    return all == -1;
}

}  // namespace

bool read_series(u32 slot, const Cell* a, Cell* out) {
    if (TYPE_OF(a) != TYPE_BLOCK && TYPE_OF(a) != TYPE_STRING) return false;
    switch (slot) {
        case ACT_LENGTH_Q:
            return series_length(a, out);
        case ACT_INDEX_Q:
            make_cell(out, TYPE_INTEGER, 0, series_head(a) + 1);
            return true;
        case ACT_HEAD_Q:
        case ACT_TAIL_Q: {
            const bool at = slot == ACT_HEAD_Q ? series_head(a) == 0 : series::tail_at_q(a);
            make_cell(out, TYPE_LOGIC, at ? 1 : 0);
            return true;
        }
        case ACT_PICK: {
            if (TYPE_OF(a + 1) != TYPE_INTEGER) return false;
            Cell v = *a;
            pick_in_place(&v, static_cast<i32>(a[1].data2), out);
            return true;
        }
        default:
            return false;
    }
}

bool plain_series_action(u32 slot) {
    if (!interpreter::fast_paths_on()) return false;
    Cell* s = stack::arguments;
    u32 type = TYPE_OF(s);
    switch (slot) {
        case ACT_APPEND:
            if (type == TYPE_BLOCK) return add_cell(s, s + 1, true);
            return type == TYPE_STRING && append_char(s, s + 1);
        case ACT_INSERT:
            return type == TYPE_BLOCK && add_cell(s, s + 1, false);
        case ACT_LENGTH_Q:
        case ACT_PICK:
            // Without the type dispatch.
            return read_series(slot, s, s);
        // map!'s own entries directly.
        case ACT_SELECT:
            if (type != TYPE_MAP) return false;
            map::select(s, s + 1, nullptr, false, false, false, false, nullptr, nullptr, false, false);
            return true;
        case ACT_PUT:
            if (type != TYPE_MAP) return false;
            map::put(s, s + 1, s + 2, false);
            return true;
        // A block's or string's own entries, as the generic action calls
        // them with no refinement, without its dispatch.
        case ACT_FIND: {
            if (type != TYPE_BLOCK && type != TYPE_STRING) return false;
            // A string's own entry called directly: the search itself is short.
            Cell* r = type == TYPE_STRING ? string::find(s, s + 1, nullptr, false, false, false, false, nullptr, nullptr,
                                                         false, false, false, false)
                                          : find_dispatch(s, s + 1, nullptr, false, false, false, false, nullptr,
                                                          nullptr, false, false, false, false);
            if (r) stack::set_last(r);
            return true;
        }
        case ACT_COPY: {
            if (type != TYPE_BLOCK && type != TYPE_STRING) return false;
            // The copy lands in a rooted cell, then in the result.
            // A string's entry (the series one) called directly, as find's.
            Cell* out = stack::push_star();
            stack::set_last(type == TYPE_STRING ? series::copy(s, out, nullptr, false, nullptr)
                                                : copy_dispatch(s, out, nullptr, false, nullptr));
            stack::top = out;
            return true;
        }
        default:
            return false;
    }
}

bool fast_series_action(u32 slot, const i32* refinements) {
    if (!plain_series_slot_q(slot)) return false;
    u32 used;  // refinements the typed entries take unused
    switch (slot) {
        case ACT_APPEND: case ACT_INSERT: used = 3; break;  // /part, /only, /dup
        case ACT_SELECT: used = 9; break;
        case ACT_PUT: used = 1; break;  // /case
        case ACT_LENGTH_Q: case ACT_PICK: used = 0; break;
        case ACT_FIND: used = 11; break;
        case ACT_COPY: used = 3; break;  // /part, /deep, /types
        default: return false;
    }
    return plain_call_q(refinements, used) && plain_series_action(slot);
}

// Arithmetic keeps the char! (its flags too) when the result is a code
// point, else answers false for the generic action to raise overflow or
// zero-divide; comparisons go by code point, and strict equality needs a
// char! on both sides.
bool char_compute(FastOp kind, Cell* left, const Cell* right) {
    if (kind == FAST_DIV) return false;  // a code point quotient: left to char!'s action
    i64 a = left->data2, b = static_cast<i32>(right->data2), r;
    if (kind == FAST_STRICT_EQ && TYPE_OF(right) != TYPE_CHAR) r = 0;
    else if (!exact_compute(kind, a, b, &r)) return false;
    if (kind > FAST_REM) {
        make_cell(left, TYPE_LOGIC, r ? 1 : 0);
        return true;
    }
    if (r < 0 || r > char_::MAX_CODE_POINT) return false;
    left->data2 = static_cast<u32>(r);
    return true;
}

double float_remainder(double a, double b) { return float_::do_math_op(a, b, integer::OP_REM); }

Cell* fast_math_op(i32 op, Cell* left, Cell* right, const Cell* word) {
    check_math_op(op);
    Cell v = *left;
    if (math_in_place(op, &v, right)) return stack::push(&v);
    return math_fallback(op, left, right, word);
}

Cell* fast_math_op_int(i32 op, Cell* left, i32 right, const Cell* word) {
    Cell r;
    int_cell(&r, right);
    return fast_math_op(op, left, &r, word);
}

Cell* fast_math_op_top(i32 op, Cell* right, const Cell* word) {
    check_math_op(op);
    Cell* left = stack::top - 1;
    if (math_in_place(op, left, right)) return left;
    Cell* r = math_fallback(op, left, right, word);
    Cell v = *r;
    stack::top = left + 1;
    *left = v;
    return left;
}

Cell* fast_math_op_top_int(i32 op, i32 right, const Cell* word) {
    Cell r;
    int_cell(&r, right);
    return fast_math_op_top(op, &r, word);
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
        pick_in_place(&v, index, stack::push_star());
        return stack::top - 1;
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
