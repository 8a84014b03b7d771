// Fast entries for the commonest operations: arithmetic and comparisons of
// numbers in place (for the interpreter and compiled code), block picks and
// block queries. Each handles its common case inline, with no call frame;
// the entries of compiled code otherwise fall back to the generic action
// inside a call frame named by `word`.
#pragma once
#include <limits>

#include "datatypes/action_slots.h"
#include "runtime/cell.h"

namespace zav::actions {

// ---- numbers in place ----------------------------------------------------------------
// The operators the interpreter applies to two numbers without a call frame:
// the math actions and comparison natives it finds behind an op!.
enum FastOp : i32 { FAST_NONE = -1, FAST_ADD, FAST_SUB, FAST_MUL, FAST_DIV, FAST_REM, FAST_EQ, FAST_NE, FAST_STRICT_EQ,
                    FAST_LT, FAST_GT, FAST_LE, FAST_GE };

// integer!, float! or char! (a code point in integer!'s layout): the
// operands fast_compute may take. One compare: the three types are adjacent.
static_assert(TYPE_INTEGER == TYPE_CHAR + 1 && TYPE_FLOAT == TYPE_CHAR + 2);
[[gnu::always_inline]] inline bool number_q(const Cell* c) { return TYPE_OF(c) - TYPE_CHAR <= 2u; }

// A float! result written over `c` as the math actions write it: the
// header's flags are kept.
inline void float_in_place(Cell* c, double d) {
    set_type(c, TYPE_FLOAT);
    c->data1 = 0;
    set_cell_float(c, d);
}

// float! remainder as the generic action computes it.
double float_remainder(double a, double b);

// A char! on the left of an integer! or char!, as char!'s actions and
// compare leave it (see fastpath.cpp). Out of line: the number cases stay
// small enough to inline everywhere.
bool char_compute(FastOp kind, Cell* left, const Cell* right);

// `a kind b` computed exactly into *r (a comparison as 0 or 1; strict
// equality as plain equality); false for a zero divisor, the one
// overflowing quotient or remainder, and a quotient that is not whole.
template <class T>
[[gnu::always_inline]] inline bool exact_compute(FastOp kind, T a, T b, i64* r) {
    switch (kind) {
        case FAST_ADD: *r = i64(a) + b; break;
        case FAST_SUB: *r = i64(a) - b; break;
        case FAST_MUL: *r = i64(a) * b; break;
        case FAST_DIV:
            if (b == 0 || (b == -1 && a == std::numeric_limits<T>::min()) || a % b != 0) return false;
            *r = a / b;
            break;
        case FAST_REM:
            if (b == 0 || (b == -1 && a == std::numeric_limits<T>::min())) return false;
            *r = a % b;
            break;
        case FAST_EQ:
        case FAST_STRICT_EQ: *r = a == b; break;
        case FAST_NE: *r = a != b; break;
        case FAST_LT: *r = a < b; break;
        case FAST_GT: *r = a > b; break;
        case FAST_LE: *r = a <= b; break;
        case FAST_GE: *r = a >= b; break;
        default: return false;
    }
    return true;
}

// `left kind right` over two numbers, the result left in `left` exactly as
// the generic action or native leaves it: an integer sum, difference or
// product that overflows becomes the float! of the exact value, an integer
// quotient that is not whole becomes the float! of it, an integer/float mix
// is computed as floats, a comparison makes a logic!; a char! on the left
// as char_compute says.
// False (left unchanged) when the generic call must run: another type, an
// integer zero divisor or the one overflowing quotient or remainder, and
// `=`/`<>` with a float! (whose tolerance the generic comparison applies).
[[gnu::always_inline]] inline bool fast_compute(FastOp kind, Cell* left, const Cell* right) {
    u32 lt = TYPE_OF(left), rt = TYPE_OF(right);
    if (lt == TYPE_INTEGER && rt == TYPE_INTEGER) {
        i32 a = static_cast<i32>(left->data2), b = static_cast<i32>(right->data2);
        i64 r;
        if (!exact_compute(kind, a, b, &r)) [[unlikely]] {
            // A quotient that is not whole: its float!.
            if (kind != FAST_DIV || b == 0 || (a == INT32_MIN && b == -1)) return false;
            float_in_place(left, static_cast<double>(a) / b);
            return true;
        }
        if (kind > FAST_REM) make_cell(left, TYPE_LOGIC, r ? 1 : 0);
        else if (r > INT32_MAX || r < INT32_MIN) float_in_place(left, static_cast<double>(r));
        else left->data2 = static_cast<u32>(static_cast<i32>(r));
        return true;
    }
    if (lt == TYPE_CHAR) return (rt == TYPE_CHAR || rt == TYPE_INTEGER) && char_compute(kind, left, right);
    if (rt == TYPE_CHAR || !number_q(left) || !number_q(right)) return false;
    double a = lt == TYPE_INTEGER ? static_cast<i32>(left->data2) : cell_float(left);
    double b = rt == TYPE_INTEGER ? static_cast<i32>(right->data2) : cell_float(right);
    bool r;
    switch (kind) {
        case FAST_ADD: float_in_place(left, a + b); return true;
        case FAST_SUB: float_in_place(left, a - b); return true;
        case FAST_MUL: float_in_place(left, a * b); return true;
        case FAST_DIV: float_in_place(left, a / b); return true;
        case FAST_REM: float_in_place(left, float_remainder(a, b)); return true;
        // Of different types never strictly equal; floats exactly.
        case FAST_STRICT_EQ: r = lt == rt && a == b; break;
        // NaN is neither lesser, greater nor equal, as in C++.
        case FAST_LT: r = a < b; break;
        case FAST_GT: r = a > b; break;
        case FAST_LE: r = a <= b; break;
        case FAST_GE: r = a >= b; break;
        default: return false;
    }
    make_cell(left, TYPE_LOGIC, r ? 1 : 0);
    return true;
}

// ---- typed series actions ---------------------------------------------------------------
// The commonest shapes of a few series actions, over the running action's
// stack arguments and in place of the generic action: append of one value
// to a block! (of a char! to a string!), insert of one value into a block!,
// length? and pick by an integer! of a block! or string!, select and put of
// a map! (map!'s own entries directly). True when done: the result is then
// in the first argument, as the generic action leaves it. False for every
// other shape (a block to splice, another type), a series someone owns (its
// owner hears of each change), a buffer that must grow, and while the fast
// paths are off.
// plain_series_action: a call that uses no refinement (the lean call knows).
bool plain_series_action(u32 slot);
// The slots plain_series_action takes any shape of: the others are turned
// away before the call.
inline constexpr u64 PLAIN_SERIES_SLOTS = 1ull << ACT_APPEND | 1ull << ACT_INSERT | 1ull << ACT_LENGTH_Q |
                                          1ull << ACT_PICK | 1ull << ACT_SELECT | 1ull << ACT_PUT |
                                          1ull << ACT_FIND | 1ull << ACT_COPY;
static_assert(ACTIONS_COUNT < 64);
[[gnu::always_inline]] inline bool plain_series_slot_q(u32 slot) { return PLAIN_SERIES_SLOTS >> (slot & 63) & 1; }
// The series readers: length?, index?, head?, tail? of a block! or
// string!, and pick of one by an integer!, over their arguments from `a`,
// with no refinement. Nothing in them can fail, allocate or run code. True
// with the value in *out (which may be `a`); false, having done nothing,
// for any other call.
inline constexpr u64 SERIES_READER_SLOTS = 1ull << ACT_LENGTH_Q | 1ull << ACT_INDEX_Q | 1ull << ACT_HEAD_Q |
                                           1ull << ACT_TAIL_Q | 1ull << ACT_PICK;
[[gnu::always_inline]] inline bool series_reader_slot_q(u32 slot) { return slot < 64 && (SERIES_READER_SLOTS >> slot & 1); }
bool read_series(u32 slot, const Cell* a, Cell* out);
// fast_series_action: the same from the generic entry, declining when a
// refinement is used.
bool fast_series_action(u32 slot, const i32* refinements);

// Math operators: 0 add, 1 subtract, 2 multiply, 5 or~, 6 and~, 7 xor~.
Cell* fast_math_op(i32 op, Cell* left, Cell* right, const Cell* word);
Cell* fast_math_op_int(i32 op, Cell* left, i32 right, const Cell* word);
// Left operand: the value just below the stack top, replaced in place.
Cell* fast_math_op_top(i32 op, Cell* right, const Cell* word);
Cell* fast_math_op_top_int(i32 op, i32 right, const Cell* word);

// Comparison operators 0-6 (equal ... greater or equal).
Cell* fast_compare_op(i32 op, Cell* left, Cell* right, const Cell* word);
Cell* fast_compare_op_int(i32 op, Cell* left, i32 right, const Cell* word);
Cell* fast_compare_op_top(i32 op, Cell* right, const Cell* word);
Cell* fast_compare_op_top_int(i32 op, i32 right, const Cell* word);
bool fast_compare_cond(i32 op, Cell* left, Cell* right, bool invert, const Cell* word);
bool fast_compare_cond_int(i32 op, Cell* left, i32 right, bool invert, const Cell* word);
bool fast_compare_cond_2(i32 op, Cell* left, Cell* right, const Cell* word);
bool fast_compare_cond_int_2(i32 op, Cell* left, i32 right, const Cell* word);

// value/index for a block (none outside 1..length).
Cell* fast_pick_block(Cell* value, i32 index, const Cell* word);
// Queries: 1 length?, 2 index?, 3 head?, 4 tail?, 5 next, 6 back, 7 head, 8 tail.
Cell* fast_series_query(Cell* value, i32 code, const Cell* word);

}  // namespace zav::actions
