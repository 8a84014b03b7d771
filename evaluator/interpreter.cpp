// The interpreter: one expression at a time over the value stack, every call
// inside a call frame; and the tracer's event delivery.
//
// Two tiers evaluate an expression, with the same frames, stack cells and
// order of evaluation; the fast tier runs unless a tracer delivers events or
// the reference switch is on (fast_paths_on), and hands every shape it does
// not take to the reference tier.
//
//   expression at `pos`                  fast tier (eval_expression_at)
//   literal, or word holding a value     pushed from a local; integer
//     then integer operators             operators folded in place (infix_simple)
//   word holding a function              eval_word_call -> lean_call
//   path: word + refinements             eval_path_call -> lean_call
//   set-word of a simple value           fast_set_word: no frame
//   set-word of any other value          eval_set_word (shared)
//   paren                                eval_paren (shared)
//   anything else                        eval_full
//   operator after a value               infix_chain -> eval_infix: fast_infix,
//                                        else lean_call, else eval_code_at
//
// lean_call takes calls whose parameters are all evaluated ones, reading the
// callee's call record; eval_code_at with eval_arguments_at takes every call.
// eval_full, eval_code_at, eval_arguments_at and eval_path_at are the
// reference tier and deliver the trace events.
#include "evaluator/interpreter.h"

#include "evaluator/frames.h"

#include <cstdlib>
#include <cstring>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "datatypes/logic.h"
#include "datatypes/native.h"
#include "datatypes/object.h"
#include "datatypes/op.h"
#include "datatypes/routine.h"
#include "datatypes/symbol.h"
#include "datatypes/typeset.h"
#include "datatypes/user_code.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/natives.h"
#include "runtime/stack.h"
#include "runtime/collector.h"
#include "runtime/helpers.h"
#include "runtime/budget.h"
#include "runtime/machine_stack.h"
#include "runtime/rt.h"
#include "datatypes/words.h"

namespace zav::interpreter {

TraceState trace{false, false, 0};
bool reference_only = false;

namespace {

Cell code_cell{TYPE_UNSET, 0, 0, 0};
node_t tracer_node = 0;  // the root block cell holding the tracer, by position
u32 tracer_index = 0;
u32 tracer_generation = 0xFFFFFFFF;

// ---- small helpers -------------------------------------------------------------

Cell* word_of(Cell* out, i32 sym) { return make_cell(out, TYPE_WORD, 0, static_cast<u32>(sym), 0xFFFFFFFF); }

Cell body_word() {
    Cell w;
    word_of(&w, words::_body);
    return w;
}

bool function_type_q(u32 t) {
    return t == TYPE_FUNCTION || t == TYPE_ROUTINE || t == TYPE_NATIVE || t == TYPE_ACTION;
}

// Cells of a block value's buffer, re-read at every use (code may move).
Cell* code_at(const Cell* code, u32 pos) { return block::cells_of(block::buffer_of(code)) + pos; }
// Cells in a buffer of cells (a shift, where length() divides by the unit).
inline u32 cell_count(const SeriesBuffer* b) { return b->used_bytes() / sizeof(Cell); }
u32 live_tail(const Cell* code) { return cell_count(block::buffer_of(code)); }
u32 clamp_tail(const Cell* code, u32 tail) {
    u32 live = live_tail(code);
    return tail < live ? tail : live;
}

// A literal push: a new stack value (sub) or the frame result.
void push_value(const Cell* v, bool sub) {
    Cell c = *v;
    if (sub) stack::push(&c);
    else stack::set_last_reset(&c);
}

bool enabled() { return trace.enabled; }

// ---- held cells --------------------------------------------------------------------

// Cells the evaluator keeps in C++ locals across allocations (the code block
// of a running eval, an argument cache, a function body): a stack of cell
// addresses that the collector marks. It does the job of collector::Root on
// the hot paths at the price of two stores; holds nest like scopes.
struct HeldCells {
    const Cell** cells = nullptr;
    u32 count = 0;
    u32 capacity = 0;
};
HeldCells held;

void grow_held() {
    u32 capacity = held.capacity ? held.capacity * 2 : 1024;
    auto** cells = static_cast<const Cell**>(std::realloc(held.cells, capacity * sizeof(Cell*)));
    if (!cells) rt::quit(rt::RT_ERR_OUT_OF_MEMORY, rt::code_address());
    held.cells = cells;
    held.capacity = capacity;
}

void mark_held() {
    for (u32 i = 0; i < held.count; i++) collector::mark_value(held.cells[i]);
}

class Hold {
public:
    explicit Hold(const Cell* cell) {
        if (held.count == held.capacity) grow_held();
        held.cells[held.count++] = cell;
    }
    ~Hold() { held.count--; }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
};

// ---- word values -------------------------------------------------------------------

// The value slot of a bound word: the common cases inline, every other
// case (unbound, `self`, out of range) through context::get.
inline Cell* word_value(const Cell* w) {
    if (Cell* slot = context::peek_slot(w)) return slot;
    return context::get(w);
}

// word::set over the running frame ([0] the set-word, [1] the value), with
// the plain stores of context::set_in inline: a bound word of a function
// context, or of a context that is not an object's and has no change handler.
void set_frame_word() {
    Cell* w = stack::arguments;
    Cell v = w[1];
    if (TYPE_OF(&v) == TYPE_UNSET) fire("script", "need-value", w);
    if (Cell* slot = context::plain_slot(w)) {
        *slot = v;
        *w = v;
        return;
    }
    word::set();
}

void fire_simple(u32 event, Cell* code, i32 pos, const Cell* ref, const Cell* value) {
    if (trace.enabled) fire_event(event, code, pos, ref, value);
}

// Library code runs as compiled code: its blocks deliver no trace events and
// leave the current code cell (an error's `near`) at the user code that
// called in. User code that the library evaluates (a loop body, an attempt
// block) is traced again as it would be outside. Entered at every evaluation
// of a block; changes state only when crossing between the two.
bool in_library = false;
bool user_enabled = false;  // trace.enabled of the user code around the library code
bool caller_library = false;  // in_library where the running function was called

// Records, for the length of a function body, whether its caller was library code.
struct CallerScope {
    bool saved = caller_library;
    CallerScope() { caller_library = in_library; }
    ~CallerScope() { caller_library = saved; }
};

struct CodeScope {
    bool changed;
    bool saved_library, saved_enabled, saved_user;
    explicit CodeScope(const Cell* code) {
        changed = false;
        if (!block::any_block_q(TYPE_OF(code))) return;
        bool library = (block::buffer_of(code)->flags & SERIES_LIBRARY) != 0;
        changed = library != in_library;
        if (!changed) return;
        saved_library = in_library;
        saved_enabled = trace.enabled;
        saved_user = user_enabled;
        if (library) {
            user_enabled = trace.enabled;
            trace.enabled = false;
        } else {
            // A trace the library itself started (do/trace) stays on.
            trace.enabled = user_enabled || trace.enabled;
        }
        in_library = library;
    }
    ~CodeScope() {
        if (!changed) return;
        in_library = saved_library;
        trace.enabled = saved_enabled;
        user_enabled = saved_user;
    }
    CodeScope(const CodeScope&) = delete;
    CodeScope& operator=(const CodeScope&) = delete;
};

// Restores the current code cell on the way out, also when a throw passes.
struct CodeRestore {
    Cell saved;
    CodeRestore() : saved(code_cell) {}
    ~CodeRestore() { code_cell = saved; }
};

// The i-th parameter entry of a spec (words, lit-words, get-words,
// refinements and the return: set-word, in order), for error messages.
Cell param_word(const Cell* fn, u32 i) {
    Cell out;
    word_of(&out, words::_anon);
    SeriesBuffer* b = GET_BUFFER(native::spec_of(fn));
    Cell* c = reinterpret_cast<Cell*>(b->head());
    u32 k = 0;
    for (u32 n = 0; n < b->length(); n++) {
        u32 t = TYPE_OF(c + n);
        if (t < TYPE_WORD || t > TYPE_REFINEMENT) continue;
        if (k++ == i) {
            out = c[n];
            set_type(&out, TYPE_WORD);
            out.header &= ~FLAG_NEW_LINE;
            return out;
        }
    }
    return out;
}

// Name of the running call for argument errors.
Cell call_name(const Cell* name) {
    Cell n;
    if (name && TYPE_OF(name) >= TYPE_WORD && TYPE_OF(name) <= TYPE_REFINEMENT) {
        n = *name;
        set_type(&n, TYPE_WORD);
    } else {
        word_of(&n, words::_anon);
    }
    return n;
}

[[noreturn]] void expect_arg(const Cell* fn, const Cell* name, const Cell* value, u32 param) {
    Cell n = call_name(name), dt, w = param_word(fn, param);
    datatype::make_at(&dt, TYPE_OF(value));
    fire("script", "expect-arg", &n, &dt, &w);
}

[[noreturn]] void no_arg(const Cell* fn, const Cell* name, u32 param) {
    Cell n = call_name(name), w = param_word(fn, param);
    fire("script", "no-arg", &n, &w);
}

u32 eval_path_at(Cell* path, u32 first_item, Cell* code, u32 pos, u32 tail, bool set, bool get, bool sub,
                 bool case_);
u32 eval_code_at(Cell* fn, Cell* code, u32 pos, u32 tail, bool sub, Cell* path, u32 ref_item, Cell* name,
                 Cell* owner, i32 mode, bool infix);
bool lean_call(Cell* fn, Cell* name, Cell* code, u32* pos_io, u32 tail, bool sub, bool infix = false,
               const Cell* path = nullptr, u32 ref_item = 0);

// ---- infix ---------------------------------------------------------------------

// Applies the operator at `pos` to the value just produced (at `start`);
// answers the next position, or `pos` itself when no operator follows.
// Integer operators done in place: the op wraps one of these actions or
// comparison natives and both operands are integer! (see fast_infix).
enum FastOp : i32 { FAST_NONE = -1, FAST_ADD, FAST_SUB, FAST_MUL, FAST_REM, FAST_EQ, FAST_NE, FAST_LT, FAST_GT,
                    FAST_LE, FAST_GE };

// Looked up on every operator: tables by entry index rather than switches.
struct FastOpTables {
    signed char action[64];
    signed char native[64];
    constexpr FastOpTables() : action{}, native{} {
        for (auto& k : action) k = FAST_NONE;
        for (auto& k : native) k = FAST_NONE;
        action[ACT_ADD] = FAST_ADD;
        action[ACT_SUBTRACT] = FAST_SUB;
        action[ACT_MULTIPLY] = FAST_MUL;
        action[ACT_REMAINDER] = FAST_REM;
        native[natives::N_EQUAL_Q] = FAST_EQ;
        native[natives::N_NOT_EQUAL_Q] = FAST_NE;
        native[natives::N_STRICT_EQUAL_Q] = FAST_EQ;  // both integer!
        native[natives::N_LESSER_Q] = FAST_LT;
        native[natives::N_GREATER_Q] = FAST_GT;
        native[natives::N_LESSER_OR_EQUAL_Q] = FAST_LE;
        native[natives::N_GREATER_OR_EQUAL_Q] = FAST_GE;
    }
};
constexpr FastOpTables fast_op_tables;

inline FastOp fast_op_for(u32 type, u32 index) {
    if (index >= 64) return FAST_NONE;
    if (type == TYPE_ACTION) return static_cast<FastOp>(fast_op_tables.action[index]);
    if (type == TYPE_NATIVE) return static_cast<FastOp>(fast_op_tables.native[index]);
    return FAST_NONE;
}

// The value slot of a word in the cases word_value does inline, else null
// (the caller then takes the generic path, which raises what it must).
inline const Cell* peek_word(const Cell* w) { return context::peek_slot(w); }

// The integer operator `kind` over two integer! cells; the result replaces
// `left` as the generic call leaves it. False (left unchanged) on an
// overflow or a zero divisor.
[[gnu::always_inline]] inline bool fast_compute(FastOp kind, Cell* left, const Cell* right) {
    i32 a = static_cast<i32>(left->data2), b = static_cast<i32>(right->data2);
    i64 r;
    switch (kind) {
        case FAST_ADD: r = i64(a) + b; break;
        case FAST_SUB: r = i64(a) - b; break;
        case FAST_MUL: r = i64(a) * b; break;
        case FAST_REM:
            if (b == 0 || (a == INT32_MIN && b == -1)) return false;
            r = a % b;
            break;
        case FAST_EQ: r = a == b; break;
        case FAST_NE: r = a != b; break;
        case FAST_LT: r = a < b; break;
        case FAST_GT: r = a > b; break;
        case FAST_LE: r = a <= b; break;
        case FAST_GE: r = a >= b; break;
        default: return false;
    }
    if (kind <= FAST_REM) {
        if (r > INT32_MAX || r < INT32_MIN) return false;
        left->data2 = static_cast<u32>(static_cast<i32>(r));
    } else {
        make_cell(left, TYPE_LOGIC, r ? 1 : 0);
    }
    return true;
}


inline FastOp fast_op_of(const Cell* op) { return fast_op_for(op::wrapped_type(op), native::entry_of(op)); }

// An operator between two integer! values whose right operand is a literal
// integer or a word holding one: nothing in the call can fail or be seen
// (no tracing), so it runs without its call frame and argument fetch. The
// result is what the action or native leaves: arithmetic rewrites the
// payload of the left cell, a comparison makes a logic!. Answers false (and
// changes nothing) for every other case, including an overflow or a zero
// divisor, which the generic call then raises or widens.
bool fast_infix(const Cell* op, Cell* start, Cell* code, u32 pos, u32 tail, bool sub) {
    if (!fast_paths_on() || pos + 1 >= tail || TYPE_OF(start) != TYPE_INTEGER) return false;
    FastOp kind = fast_op_of(op);
    if (kind == FAST_NONE) return false;
    const Cell* right = code_at(code, pos + 1);
    if (TYPE_OF(right) == TYPE_WORD && !(right = peek_word(right))) return false;
    if (TYPE_OF(right) != TYPE_INTEGER) return false;
    if (!fast_compute(kind, start, right)) return false;
    stack::top = start + 1;
    if (!sub) *stack::arguments = *start;
    return true;
}

// Values that evaluate to themselves, in code and as the value of a word.
constexpr u64 PLAIN_TYPES = 1ull << TYPE_NONE | 1ull << TYPE_LOGIC | 1ull << TYPE_BLOCK | 1ull << TYPE_STRING |
                            1ull << TYPE_FILE | 1ull << TYPE_URL | 1ull << TYPE_CHAR | 1ull << TYPE_INTEGER |
                            1ull << TYPE_FLOAT | 1ull << TYPE_BITSET | 1ull << TYPE_PAIR | 1ull << TYPE_PERCENT |
                            1ull << TYPE_TUPLE | 1ull << TYPE_BINARY | 1ull << TYPE_TIME | 1ull << TYPE_TAG |
                            1ull << TYPE_EMAIL | 1ull << TYPE_DATE | 1ull << TYPE_MONEY;
static_assert(TYPE_MONEY < 64 && TYPE_EMAIL < 64 && TYPE_DATE < 64 && TYPE_TAG < 64);
inline bool plain_value_q(u32 t) { return t < 64 && (PLAIN_TYPES >> t & 1); }

// The integer operators after a plain value `v` (at `next` - 1 in `cells`)
// that fast_compute does, applied to `v` in place; nothing here can fail,
// call anything or allocate, and the code cannot move. Answers the position
// after the last one; or 0 when an operator follows that it cannot do: `v`
// then holds the value up to there and *stop the operator's position.
[[gnu::always_inline]] inline u32 infix_simple(const Cell* cells, u32 next, u32 tail, Cell* v, u32* stop) {
    while (next < tail) {
        const Cell* w = cells + next;
        if (TYPE_OF(w) != TYPE_WORD) break;
        const Cell* op = peek_word(w);
        if (op && TYPE_OF(op) != TYPE_OP) break;
        FastOp kind;
        const Cell* right;
        if (!op || next + 1 >= tail || TYPE_OF(v) != TYPE_INTEGER || (kind = fast_op_of(op)) == FAST_NONE ||
            (TYPE_OF(right = cells + next + 1) == TYPE_WORD && !(right = peek_word(right))) ||
            TYPE_OF(right) != TYPE_INTEGER || !fast_compute(kind, v, right)) {
            *stop = next;
            return 0;
        }
        next += 2;
    }
    return next;
}

// One expression that cannot fail, call anything or allocate: a plain value
// or a word holding one, then any integer operators fast_compute does. The
// value goes to `out`; answers the next position, or 0 for any other
// expression (nothing has been changed then). `tail` is within the live
// tail. `stop`, when given, learns how far a failed attempt got: the value of
// the expression up to there goes to `out` and the position of the
// operator it could not do to *stop (0 when no value was made), so that
// resume_simple goes on from there rather than evaluating it again.
[[gnu::always_inline]] inline u32 eval_simple(Cell* code, u32 pos, u32 tail, Cell* out, u32* stop) {
    if (pos >= tail) return 0;
    const Cell* cells = block::cells_of(block::buffer_of(code));
    const Cell* c = cells + pos;
    if (TYPE_OF(c) == TYPE_WORD && !(c = peek_word(c))) return 0;
    if (!plain_value_q(TYPE_OF(c))) return 0;
    Cell v = *c;
    u32 s = 0;
    u32 next = infix_simple(cells, pos + 1, tail, &v, &s);
    if (!next) {
        *out = v;
        *stop = s;
        return 0;
    }
    *out = v;
    return next;
}

// A set-word whose value is a simple expression, stored without the call
// frame (nothing in it can fail or be seen): false when the word or the
// expression needs the generic path. Leaves the value as that path does.
// On false, `partial` tells what eval_simple got done of the value (see
// there), for eval_set_word to go on from.
// What fast_set_word made of a set-word's value before it declined: the
// value up to the operator at `stop` (0: nothing made).
struct Partial {
    Cell value;
    u32 stop = 0;
};

[[gnu::always_inline]] inline bool fast_set_word(const Cell* word, Cell* code, u32 pos, u32 tail, bool sub,
                                                 u32* next, Partial* partial) {
    Cell* start = stack::top;
    Cell* stopped_value = &partial->value;
    u32* stop = &partial->stop;
    *stop = 0;
    if (!fast_paths_on() || start + 2 >= stack::end) return false;
    Cell v;
    u32 after = eval_simple(code, pos, tail, &v, stop);
    if (!after) {
        if (*stop) *stopped_value = v;
        return false;
    }
    // Any refusal below leaves the whole value for eval_full to store.
    *stopped_value = v;
    *stop = after;
    Cell* slot = context::plain_slot(word);
    if (!slot) return false;
    *slot = v;
    *start = v;
    stack::top = start + 1;
    if (!sub) *stack::arguments = v;
    *next = after;
    return true;
}

u32 eval_infix(Cell* start, Cell* code, u32 pos, u32 tail, bool sub) {
    if (pos >= tail) return pos;
    const Cell* wp = code_at(code, pos);
    if (TYPE_OF(wp) != TYPE_WORD || !wp->data1) return pos;
    Cell w = *wp;
    Cell* ctx = context::TO_CTX(word_ctx(&w));
    if (!ctx->data2) return pos;  // no values (context::values_of is null)
    if (word_index(&w) < 0) return pos;
    const Cell* vp = word_value(&w);
    if (TYPE_OF(vp) != TYPE_OP) return pos;
    if (fast_infix(vp, start, code, pos, tail, sub)) return pos + 2;
    Cell v = *vp;
    if (enabled()) fire_event(EVT_FETCH, code, static_cast<i32>(pos), nullptr, &w);
    stack::top = start;
    Cell fn = v;
    set_type(&fn, op::wrapped_type(&v));
    u32 next = pos + 1;
    if (fast_paths_on() && lean_call(&fn, &w, code, &next, tail, sub, true)) return next;
    return eval_code_at(&fn, code, pos + 1, tail, sub, nullptr, 0, &w, nullptr, 0, true);
}

// The operators after the value made at `start`, each applied to it in
// turn; answers the position after the last. Looks no further when the next
// cell cannot be an operator.
inline u32 infix_chain(Cell* start, Cell* code, u32 next, u32 tail, bool sub) {
    for (;;) {
        SeriesBuffer* cb = block::buffer_of(code);
        u32 live = cell_count(cb);
        u32 t = tail < live ? tail : live;
        if (next >= t || TYPE_OF(block::cells_of(cb) + next) != TYPE_WORD) return next;
        u32 after = eval_infix(start, code, next, t, sub);
        if (after == next) return next;
        next = after;
    }
}

// ---- argument cache -----------------------------------------------------------------

bool builtin_q(u32 t) { return t == TYPE_NATIVE || t == TYPE_ACTION; }

// The more block's argument cache cell (second cell), or null when the value has none.
Cell* cache_cell(const Cell* fn) {
    node_t more = native::more_of(fn);
    if (!more) return nullptr;
    SeriesBuffer* b = GET_BUFFER(more);
    if (cell_count(b) < 2) return nullptr;
    return reinterpret_cast<Cell*>(b->head()) + 1;
}

// The typeset of a parameter's type block, appended to `blk`. Function specs
// were checked when the function was made; in a built-in's spec a name
// without a datatype or typeset value (a type not built in) adds nothing.
Cell* make_arg_typeset(Cell* blk, Cell* types) {
    Cell ts;
    typeset::make_at(&ts, 0, 0, 0);
    for (u32 i = 0, n = block::zs_length_q(types); i < n; i++) {
        Cell item = *block::zs_abs_at(types, series_head(types) + i);
        if (TYPE_OF(&item) == TYPE_WORD && word_ctx(&item)) {
            Cell* ctx = context::TO_CTX(word_ctx(&item));
            if (word_index(&item) < 0 || !context::values_of(ctx)) continue;
            item = *context::get(&item);
        }
        if (TYPE_OF(&item) == TYPE_DATATYPE || TYPE_OF(&item) == TYPE_TYPESET) typeset::set_bit(&ts, &item);
    }
    return block::zs_append(blk, &ts);
}

// The shape of a call, worked out once from the argument cache and kept in
// the cache cell's third payload word (unused by blocks), so that the lean
// call paths need not walk the cache on every call.
constexpr u32 SHAPE_LEAN = 0x80000000;      // plain parameters all evaluated, at most LEAN_MAX_ARGS
constexpr u32 SHAPE_REF_LEAN = 0x40000000;  // the same for every refinement's parameters
constexpr u32 SHAPE_REFS = 0x20000000;      // has refinements
constexpr u32 SHAPE_ARGS_MASK = 0xF;        // plain parameters
constexpr u32 SHAPE_LOCALS_SHIFT = 4;       // function! locals, bits 4-19
constexpr u32 LEAN_MAX_ARGS = 8;
constexpr u32 LEAN_MAX_LOCALS = 0xFFFF;

u32 call_shape(const Cell* blk, bool builtin) {
    SeriesBuffer* b = block::buffer_of(blk);
    const Cell* e = block::cells_of(b);
    u32 n = cell_count(b);
    u32 args = 0, locals = 0;
    bool lean = true, ref_lean = true, refs = false;
    for (u32 i = 0; i < n; i++) {
        u32 t = TYPE_OF(e + i);
        if (t == TYPE_TYPESET) {
            bool eval = (e[i].header & FETCH_MASK) == FETCH_EVAL;
            if (refs) {
                ref_lean = ref_lean && eval;
            } else {
                if (!eval || args == LEAN_MAX_ARGS) lean = false;
                else args++;
            }
        } else if (t == TYPE_REFINEMENT) {
            refs = true;
        } else if (t == TYPE_INTEGER && i + 1 == n) {
            if (!builtin) locals = e[i].data2;
        } else {
            lean = false;
        }
    }
    if (!lean || locals > LEAN_MAX_LOCALS) return 0;
    return SHAPE_LEAN | (ref_lean ? SHAPE_REF_LEAN : 0) | (refs ? SHAPE_REFS : 0) | args |
           locals << SHAPE_LOCALS_SHIFT;
}

}  // namespace

Cell* cache_path_spec(Cell* fn_in, Cell* out) {
    Cell fn = *fn_in;
    Cell* cached = cache_cell(&fn);
    if (cached && TYPE_OF(cached) == TYPE_BLOCK) return copy_cell(cached, out);
    bool builtin = builtin_q(TYPE_OF(&fn));
    collector::Root blk;
    block::make_at(&blk.value, 8);
    node_t spec = native::spec_of(&fn);
    i32 locals = -1;
    u32 refinements = 0;
    for (u32 i = 0; i < GET_BUFFER(spec)->length(); i++) {
        Cell item = *(reinterpret_cast<Cell*>(GET_BUFFER(spec)->head()) + i);
        u32 t = TYPE_OF(&item);
        bool has_types = i + 1 < GET_BUFFER(spec)->length() &&
                         TYPE_OF(reinterpret_cast<Cell*>(GET_BUFFER(spec)->head()) + i + 1) == TYPE_BLOCK;
        if (t == TYPE_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD || t == TYPE_SET_WORD) {
            u32 mode = FETCH_EVAL;
            if (t == TYPE_LIT_WORD) mode = FETCH_LIT;
            else if (t == TYPE_GET_WORD) mode = FETCH_GET;
            else if (t == TYPE_SET_WORD) {
                if (symbol::resolve(static_cast<i32>(item.data2)) != symbol::resolve(words::return_)) {
                    fire("script", "bad-func-def", &item);
                }
                mode = FETCH_RETURN;
            }
            Cell* ts;
            Cell types;
            if (has_types) types = *(reinterpret_cast<Cell*>(GET_BUFFER(spec)->head()) + i + 1);
            if (has_types && block::zs_length_q(&types) > 0) ts = make_arg_typeset(&blk.value, &types);
            else ts = typeset::make_default(&blk.value);
            ts->header = (ts->header & ~FETCH_MASK) | mode;
        } else if (t == TYPE_REFINEMENT) {
            if (symbol::resolve(static_cast<i32>(item.data2)) == symbol::resolve(words::local)) {
                locals = 0;
                for (u32 k = i; k < GET_BUFFER(spec)->length(); k++) {
                    u32 kt = TYPE_OF(reinterpret_cast<Cell*>(GET_BUFFER(spec)->head()) + k);
                    if (kt == TYPE_SET_WORD) break;
                    if (kt == TYPE_REFINEMENT || kt == TYPE_WORD) locals++;
                }
                break;
            }
            Cell r = item;
            r.header &= ~FLAG_NEW_LINE;
            if (builtin) r.data3 = ++refinements;
            block::zs_append(&blk.value, &r);
        }
    }
    Cell n;
    if (locals > 0) block::zs_append(&blk.value, make_cell(&n, TYPE_INTEGER, 0, static_cast<u32>(locals)));
    if (builtin && refinements > 0) block::zs_append(&blk.value, make_cell(&n, TYPE_INTEGER, 0, refinements));
    blk.value.data3 = call_shape(&blk.value, builtin);
    cached = cache_cell(&fn);
    if (cached) *cached = blk.value;
    return copy_cell(&blk.value, out);
}

namespace {

// ---- argument fetching ------------------------------------------------------------

// Fetches one argument at `pos` (pushed as a new stack value).
u32 fetch_arg(const Cell* fn, const Cell* name, const Cell* ts, u32 param, Cell* code, u32 pos, u32 tail,
              bool infix, i32 mode) {
    u32 fetch = ts->header & FETCH_MASK;
    tail = clamp_tail(code, tail);  // an earlier argument may have shortened the code
    if (pos >= tail) {
        if (fetch == FETCH_LIT && typeset::has(ts, TYPE_UNSET)) {
            make_cell(stack::push_star(), TYPE_UNSET);
            return pos;
        }
        if (mode & (MODE_APPLY_ALL | MODE_APPLY)) {
            make_cell(stack::push_star(), TYPE_NONE);
            return pos;
        }
        no_arg(fn, name, param);
    }
    if (mode & (MODE_APPLY_ALL | MODE_APPLY)) {
        // apply's argument block holds the values themselves.
        if (mode & MODE_SAFER) {
            stack::push(code_at(code, pos));
            return pos + 1;
        }
    }
    Cell v = *code_at(code, pos);
    switch (fetch) {
        case FETCH_GET:
            if (enabled()) fire_event(EVT_FETCH, code, static_cast<i32>(pos), nullptr, &v);
            stack::push(&v);
            if (enabled()) fire_event(EVT_PUSH, code, static_cast<i32>(pos), nullptr, &v);
            return pos + 1;
        case FETCH_LIT:
            switch (TYPE_OF(&v)) {
                case TYPE_PAREN: {
                    Cell bw = body_word();
                    stack::mark_kind82(&bw);
                    eval(&v, true);
                    stack::unwind();
                    return pos + 1;
                }
                case TYPE_GET_WORD:
                    stack::push(context::get(&v));
                    return pos + 1;
                case TYPE_GET_PATH:
                    eval_path_at(&v, 1, code, pos, tail, false, true, true, false);
                    return pos + 1;
                default:
                    stack::push(&v);
                    return pos + 1;
            }
        default:
            return eval_expression(code, pos, (mode & MODE_SAFER) ? pos + 1 : tail, infix, true, false);
    }
}

void check_type(const Cell* fn, const Cell* name, const Cell* ts, const Cell* value, u32 param) {
    if (!typeset::has(ts, TYPE_OF(value))) expect_arg(fn, name, value, param);
}

// A path item used as a refinement: its symbol, or -1 when it cannot be one.
i32 refinement_symbol(const Cell* item, i32 mode) {
    u32 t = TYPE_OF(item);
    if (mode == MODE_APPLY) return t == TYPE_REFINEMENT ? symbol::resolve(static_cast<i32>(item->data2)) : -1;
    if (t == TYPE_WORD || t == TYPE_GET_WORD || t == TYPE_REFINEMENT)
        return symbol::resolve(static_cast<i32>(item->data2));
    return -1;
}

}  // namespace

// The arguments of a call: the plain parameters in spec order, then each
// refinement named by the path (or the apply block) with its arguments.
u32 eval_arguments_at(Cell* fn_in, Cell* code, u32 pos, u32 tail, Cell* path, u32 ref_item, Cell* name, i32 mode,
                      bool infix) {
    Cell fn = *fn_in;
    u32 type = TYPE_OF(&fn);
    bool builtin = builtin_q(type);
    Cell cache;
    cache_path_spec(&fn, &cache);
    Hold cache_hold(&cache);
    // Entries are read through the node each time: fetching may move the buffer.
    const node_t cache_node = series_node(&cache);
    const u32 cache_head = series_head(&cache);
    u32 n = cell_count(GET_BUFFER(cache_node));
    n = n > cache_head ? n - cache_head : 0;
    auto entry = [&](u32 i) { return block::cells_of(GET_BUFFER(cache_node))[cache_head + i]; };

    i32 refs[32];  // set for the refinements found below

    // Plain parameters.
    u32 i = 0;
    u32 param = 0;  // position among the spec's parameter words (for errors)
    bool first = true;
    for (; i < n; i++, param++) {
        Cell e = entry(i);
        if (TYPE_OF(&e) != TYPE_TYPESET) break;
        if ((e.header & FETCH_MASK) == FETCH_RETURN) {
            first = false;
            continue;
        }
        if (infix && first) {
            stack::top = stack::arguments + 1;  // the left operand is already in place
        } else {
            pos = fetch_arg(&fn, name, &e, param, code, pos, tail, infix && !first, mode);
        }
        first = false;
        check_type(&fn, name, &e, stack::top - 1, param);
    }

    // Refinements: for function! and routine! every refinement has its logic
    // cell and argument slots, in spec order, filled as the call names them.
    struct Ref {
        i32 symbol;
        u32 cache_index;  // index of the refinement entry
        u32 param;        // its position among the parameter words
        i32 slot;         // function!: cell index of its logic; builtin: refinement number - 1
        bool used;
    };
    Ref table[32];
    u32 nrefs = 0;
    i32 locals = 0;
    for (u32 k = i, p = param; k < n; k++, p++) {
        Cell e = entry(k);
        if (TYPE_OF(&e) == TYPE_REFINEMENT) {
            if (nrefs < 32) {
                i32 slot = builtin ? static_cast<i32>(e.data3) - 1 : static_cast<i32>(stack::top - stack::arguments);
                table[nrefs++] = Ref{symbol::resolve(static_cast<i32>(e.data2)), k, p, slot, false};
            }
            if (!builtin) make_cell(stack::push_star(), TYPE_LOGIC, 0);
        } else if (TYPE_OF(&e) == TYPE_TYPESET) {
            // A return: after the refinements has no slot.
            if (!builtin && (e.header & FETCH_MASK) != FETCH_RETURN) make_cell(stack::push_star(), TYPE_NONE);
        } else if (TYPE_OF(&e) == TYPE_INTEGER && !builtin) {
            locals = static_cast<i32>(e.data2);
        }
    }

    // Only the slots of the refinements there are (a few more when there are none).
    if (builtin)
        for (u32 k = 0, m = nrefs ? 32 : 4; k < m; k++) refs[k] = -1;

    auto use = [&](Ref& r, bool fetch_values) {
        if (r.used) {
            Cell w;
            word_of(&w, r.symbol);
            set_type(&w, TYPE_REFINEMENT);
            fire("script", "dup-refine", &w);
        }
        r.used = true;
        if (builtin) {
            if (r.slot >= 0 && r.slot < 32) refs[r.slot] = static_cast<i32>(stack::top - stack::arguments);
        } else {
            make_cell(stack::arguments + r.slot, TYPE_LOGIC, 1);
        }
        u32 p = r.param + 1;
        i32 offset = 1;
        for (u32 k = r.cache_index + 1; k < n; k++, p++, offset++) {
            Cell e = entry(k);
            if (TYPE_OF(&e) != TYPE_TYPESET || (e.header & FETCH_MASK) == FETCH_RETURN) break;
            if (fetch_values) {
                pos = fetch_arg(&fn, name, &e, p, code, pos, tail, false, mode);
            } else {
                make_cell(stack::push_star(), TYPE_NONE);
            }
            check_type(&fn, name, &e, stack::top - 1, p);
            if (!builtin) {
                stack::arguments[r.slot + offset] = stack::top[-1];
                stack::top--;
            }
        }
    };
    auto find_ref = [&](i32 sym) -> Ref* {
        for (u32 k = 0; k < nrefs; k++)
            if (table[k].symbol == sym) return &table[k];
        return nullptr;
    };

    // apply: the value deciding whether a refinement is used; evaluated as
    // one expression like the arguments, unless /safer takes it as it is.
    auto switch_value = [&]() -> bool {
        Cell v = *code_at(code, pos);
        if (!(mode & MODE_SAFER) && TYPE_OF(&v) != TYPE_LOGIC && TYPE_OF(&v) != TYPE_NONE) {
            Cell* base = stack::top;
            pos = eval_expression(code, pos, tail, true, true, false);
            v = *base;
            stack::top = base;
        } else {
            pos++;
        }
        return !(TYPE_OF(&v) == TYPE_NONE || (TYPE_OF(&v) == TYPE_LOGIC && !v.data1));
    };

    if (path) {
        u32 len = block::buffer_of(path)->length();
        for (u32 k = ref_item; k < len; k++) {
            Cell item = *code_at(path, k);
            bool on = true;
            if (TYPE_OF(&item) == TYPE_GET_WORD) {
                // A get-word names the refinement by the word it holds, or
                // holds a logic (or none) that decides whether the
                // refinement of its own name is used.
                Cell v = *context::get(&item);
                if (TYPE_OF(&v) >= TYPE_WORD && TYPE_OF(&v) <= TYPE_REFINEMENT) item = v;
                else if (TYPE_OF(&v) == TYPE_NONE || (TYPE_OF(&v) == TYPE_LOGIC && !v.data1)) on = false;
            }
            i32 sym = refinement_symbol(&item, 0);
            if (sym < 0) fire("script", "bad-refine", &item);
            Ref* r = find_ref(sym);
            if (!r) {
                Cell nm = call_name(name);
                fire("script", "no-refine", &nm, &item);
            }
            if (on) {
                use(*r, true);
                continue;
            }
            // Unused: its arguments are still evaluated, then dropped.
            r->used = true;
            u32 p = r->param + 1;
            for (u32 c = r->cache_index + 1; c < n && TYPE_OF(block::zs_abs_at(&cache, c)) == TYPE_TYPESET; c++, p++) {
                Cell e = entry(c);
                Cell* base = stack::top;
                pos = fetch_arg(&fn, name, &e, p, code, pos, tail, false, mode);
                stack::top = base;
            }
        }
    } else if (mode & MODE_APPLY_ALL) {
        // /all: every refinement is a value of the block, its truth deciding its use.
        for (u32 k = 0; k < nrefs; k++) {
            bool on = false;
            if (pos < clamp_tail(code, tail)) on = switch_value();
            if (on) {
                use(table[k], true);
            } else {
                // The arguments of an unused refinement are still in the block.
                for (u32 c = table[k].cache_index + 1; c < n && TYPE_OF(block::zs_abs_at(&cache, c)) == TYPE_TYPESET; c++)
                    if (pos < clamp_tail(code, tail)) pos++;
            }
        }
    } else if (mode & MODE_APPLY) {
        while (pos < clamp_tail(code, tail)) {
            Cell item = *code_at(code, pos);
            i32 sym = refinement_symbol(&item, MODE_APPLY);
            if (sym < 0) fire("script", "bad-refine", &item);
            Ref* r = find_ref(sym);
            if (!r) {
                Cell nm = call_name(name);
                fire("script", "no-refine", &nm, &item);
            }
            pos++;
            bool on = true;
            if (pos < clamp_tail(code, tail)) on = switch_value();
            if (on) {
                use(*r, true);
            } else {
                for (u32 c = r->cache_index + 1; c < n && TYPE_OF(block::zs_abs_at(&cache, c)) == TYPE_TYPESET; c++)
                    if (pos < clamp_tail(code, tail)) pos++;
            }
        }
    }

    if (locals > 0) function::init_locals(locals);

    if (builtin) {
        u32 index = native::entry_of(&fn);
        // Integer arithmetic and comparisons in place of the generic entry
        // (their arguments are checked already; the result is the same).
        Cell* a = stack::arguments;
        if (stack::top - a == 2 && TYPE_OF(a) == TYPE_INTEGER && TYPE_OF(a + 1) == TYPE_INTEGER && fast_paths_on()) {
            FastOp kind = fast_op_for(type, index);
            if (kind != FAST_NONE && fast_compute(kind, a, a + 1)) return pos;
        }
        if (type == TYPE_NATIVE) natives::call(index, false, refs);
        else if (type == TYPE_ACTION) actions::call_generic(index, refs);
        else rt::quit(rt::RT_ERR_NO_CASE, rt::code_address());
    }
    return pos;
}

u32 eval_arguments(Cell* fn, Cell* code, u32 pos, u32 tail, Cell* path, Cell* name, i32 mode, bool infix) {
    return eval_arguments_at(fn, code, pos, tail, path, 1, name, mode, infix);
}

namespace {

u32 eval_code_at(Cell* fn_in, Cell* code, u32 pos, u32 tail, bool sub, Cell* path, u32 ref_item, Cell* name_in,
                 Cell* owner, i32 mode, bool infix) {
    machine_stack::check();
    budget::step();
    Cell fn = *fn_in;
    Cell name;
    if (name_in && TYPE_OF(name_in) >= TYPE_WORD && TYPE_OF(name_in) <= TYPE_REFINEMENT) {
        name = *name_in;
        set_type(&name, TYPE_WORD);
    } else if (!path && pos > 0 && pos - 1 < live_tail(code) && TYPE_OF(code_at(code, pos - 1)) == TYPE_WORD) {
        name = *code_at(code, pos - 1);
    } else {
        word_of(&name, words::_anon);
    }
    if (enabled()) {
        if (infix) stack::top++;
        fire_event(EVT_OPEN, code, static_cast<i32>(pos), &name, &fn);
        if (infix) stack::top--;
    }
    if (!infix) stack::push(&fn);
    // An operator's left operand becomes the frame's first slot (each case
    // below keeps it under the top at once, so that the collector sees it
    // while the argument cache is built and the right operand evaluated).
    // An operator's function is not on the stack, and its right operand may
    // drop every other reference to it (`o: none`) before the body is read.
    Hold fn_hold(&fn);
    switch (TYPE_OF(&fn)) {
        case TYPE_NATIVE:
        case TYPE_ACTION:
            stack::mark_kind82(&name);
            if (infix) stack::keep();
            pos = eval_arguments_at(&fn, code, pos, tail, path, ref_item, &name, mode, infix);
            break;
        case TYPE_ROUTINE:
            stack::mark_kind82(&name);
            if (infix) stack::keep();
            pos = eval_arguments_at(&fn, code, pos, tail, path, ref_item, &name, mode, infix);
            call_routine(&fn);
            break;
        case TYPE_FUNCTION: {
            node_t ctx = 0;
            Cell* more_owner = function::more_cell(&fn, function::MORE_OWNER);
            if (owner && TYPE_OF(owner) == TYPE_OBJECT && object::ctx_of(owner) != context::global) {
                ctx = object::ctx_of(owner);
            } else if (TYPE_OF(more_owner) == TYPE_INTEGER) {
                ctx = more_owner->data2;
            } else {
                ctx = word_ctx(&name);
            }
            stack::mark_kind81(&name);
            if (infix) stack::keep();
            pos = eval_arguments_at(&fn, code, pos, tail, path, ref_item, &name, mode, infix);
            call_function(&fn, ctx, &name, 0);
            break;
        }
        default:
            rt::quit(rt::RT_ERR_NO_SWITCH, rt::code_address());
    }
    if (sub) stack::unwind();
    else stack::unwind_last();
    if (enabled()) fire_event(EVT_RETURN, code, static_cast<i32>(pos), &name, stack::get_top());
    if (!infix) {
        stack::top--;
        copy_cell(stack::top, stack::top - 1);
    }
    return pos;
}

}  // namespace

u32 eval_code(Cell* fn, Cell* code, u32 pos, u32 tail, bool sub, Cell* path, Cell* name, Cell* owner, i32 mode,
              bool infix) {
    return eval_code_at(fn, code, pos, tail, sub, path, 1, name, owner, mode, infix);
}

// ---- expressions ------------------------------------------------------------------

namespace {

// How one expression is evaluated: prefix, no operator look-ahead; sub, its
// value pushed (else it becomes the frame result); passive, a function
// value found literally is pushed, not called.
struct ExprMode {
    bool prefix;
    bool sub;
    bool passive;
};

u32 eval_full(Cell* code, u32 pos, u32 tail, ExprMode mode);

// The common call, as eval_code_at makes it: a function!, native! or
// action! named by a word, or by a path whose further items are words or
// refinements naming its refinements (`path`, items from `ref_item`), whose
// parameters are all evaluated ones. Skips the generic argument walk: no
// argument-cache copy, the call's shape read from the cache cell. Answers
// false, having done nothing, when the call is not of this shape, a path
// item is not a refinement of it (or names one twice: the generic path
// raises the error), or its cache is not built yet. `infix`: a built-in
// under an operator, its left operand already at stack::top.
constexpr u32 LEAN_MAX_REFS = 8;
// Entry indexes of the natives a lean call runs directly.
constexpr u32 NATIVE_IF = 1;
constexpr u32 NATIVE_EITHER = 3;

u32 eval_sub(Cell* code, u32 pos, u32 tail, bool prefix);
void run_body(const Cell* fn, const Cell* body);


// One argument of a lean call at `pos`, pushed: a literal that no operator
// can follow is pushed at once (as the expression would push it), any other
// expression evaluated. `param` names a missing argument.
[[gnu::always_inline]] inline u32 lean_arg(const Cell* fn, const Cell* name, u32 param, Cell* code, u32 pos,
                                           u32 tail, bool prefix) {
    SeriesBuffer* cb = block::buffer_of(code);
    u32 live = cell_count(cb);
    u32 t = tail < live ? tail : live;
    if (pos >= t) no_arg(fn, name, param);
    const Cell* c = block::cells_of(cb) + pos;
    if (plain_value_q(TYPE_OF(c)) && (prefix || pos + 1 >= t || TYPE_OF(c + 1) != TYPE_WORD) &&
        stack::top + 1 < stack::end) {
        machine_stack::check();
        budget::step();
        *stack::top++ = *c;
        return pos + 1;
    }
    return eval_sub(code, pos, tail, prefix);
}

// ---- call records ------------------------------------------------------------------

// What a lean call needs of a native, action or function, copied out of its
// argument cache and companion block once: reaching them through the nodes
// at every call is most of a call's cost. Natives and actions have one
// record per entry index, functions share a small table keyed by their
// companion node. A record is valid while its value's companion node is the
// same and no collection has run since (a collection may free the node and
// a later value get it).
struct CallRecord {
    node_t more;     // the value's companion block (0: empty)
    u32 cycles;      // collector::cycles when made
    u32 shape;       // call_shape of the argument cache
    node_t cache_node;
    u32 cache_head;
    bool compiled;   // function: a compiled body
    Cell body;       // function: its body
    Cell types[LEAN_MAX_ARGS];  // typesets of the plain parameters
    // The refinements, in spec order: their symbols as written and resolved,
    // and their cache indexes. refs_known false: more than fit here, or two
    // that resolve alike (the path items are then matched from the cache).
    bool refs_known;
    u32 nrefs;
    u32 ref_raw[LEAN_MAX_REFS];
    i32 ref_sym[LEAN_MAX_REFS];
    u32 ref_entry[LEAN_MAX_REFS];
};
constexpr u32 BUILTIN_RECORDS = 128;
constexpr u32 FUNCTION_RECORDS = 512;  // a power of two: keyed by node bits
CallRecord native_records[BUILTIN_RECORDS];
CallRecord action_records[BUILTIN_RECORDS];
CallRecord function_records[FUNCTION_RECORDS];

inline CallRecord* record_slot(const Cell* fn, u32 type) {
    if (type == TYPE_FUNCTION) return &function_records[(function::more_of(fn) >> 4) & (FUNCTION_RECORDS - 1)];
    u32 index = native::entry_of(fn);
    if (index >= BUILTIN_RECORDS) return nullptr;
    return type == TYPE_NATIVE ? &native_records[index] : &action_records[index];
}

// The record of a native, action or function value (made from its argument
// cache when missing); null when it has no slot or no cache yet, or its
// shape is not a lean one.
[[gnu::noinline]] CallRecord* make_record(const Cell* fn, u32 type, CallRecord* r) {
    const Cell* cache = cache_cell(fn);
    if (!cache || TYPE_OF(cache) != TYPE_BLOCK) return nullptr;
    u32 shape = cache->data3;
    if (!(shape & SHAPE_LEAN)) return nullptr;
    r->more = function::more_of(fn);
    r->cycles = collector::cycles;
    r->shape = shape;
    r->cache_node = series_node(cache);
    r->cache_head = series_head(cache);
    const Cell* entries = block::cells_of(GET_BUFFER(r->cache_node)) + r->cache_head;
    u32 args = shape & SHAPE_ARGS_MASK;
    for (u32 i = 0; i < args; i++) r->types[i] = entries[i];
    r->refs_known = true;
    r->nrefs = 0;
    u32 n = cell_count(GET_BUFFER(r->cache_node));
    n = n > r->cache_head ? n - r->cache_head : 0;
    for (u32 c = args; c < n && r->refs_known; c++) {
        if (TYPE_OF(entries + c) != TYPE_REFINEMENT) continue;
        i32 sym = symbol::resolve(static_cast<i32>(entries[c].data2));
        for (u32 k = 0; k < r->nrefs; k++)
            if (r->ref_sym[k] == sym) r->refs_known = false;
        if (r->nrefs == LEAN_MAX_REFS) r->refs_known = false;
        if (!r->refs_known) break;
        r->ref_raw[r->nrefs] = entries[c].data2;
        r->ref_sym[r->nrefs] = sym;
        r->ref_entry[r->nrefs++] = c;
    }
    r->compiled = false;
    if (type == TYPE_FUNCTION) {
        const Cell* more = block::cells_of(GET_BUFFER(r->more));
        const Cell* code = more + function::MORE_CODE;
        r->compiled = TYPE_OF(code) == TYPE_INTEGER && code->data2;
        r->body = more[function::MORE_BODY];
    }
    return r;
}

inline CallRecord* call_record(const Cell* fn, u32 type) {
    CallRecord* r = record_slot(fn, type);
    if (!r) return nullptr;
    if (r->more == function::more_of(fn) && r->more && r->cycles == collector::cycles) return r;
    return make_record(fn, type, r);
}

bool lean_call(Cell* fn, Cell* name, Cell* code, u32* pos_io, u32 tail, bool sub, bool infix, const Cell* path,
               u32 ref_item) {
    u32 type = TYPE_OF(fn);
    if (type != TYPE_NATIVE && type != TYPE_ACTION && (type != TYPE_FUNCTION || infix)) return false;
    const CallRecord* rec = call_record(fn, type);
    if (!rec) return false;
    u32 shape = rec->shape;
    u32 args = shape & SHAPE_ARGS_MASK;
    if (infix && args == 0) return false;
    const node_t cache_node = rec->cache_node;
    const u32 cache_head = rec->cache_head;
    // Entry i of the cache, re-read through the node: fetching may move it.
    auto entry = [&](u32 i) { return block::cells_of(GET_BUFFER(cache_node)) + cache_head + i; };
    bool builtin = type != TYPE_FUNCTION;

    // The refinements the path names, as cache indexes in path order; all
    // checked before anything is evaluated.
    u32 used[LEAN_MAX_REFS];
    u32 nused = 0;
    if (path) {
        if (!(shape & SHAPE_REF_LEAN)) return false;
        SeriesBuffer* pb = block::buffer_of(path);
        const Cell* items = block::cells_of(pb);
        u32 len = cell_count(pb);
        SeriesBuffer* cb = GET_BUFFER(cache_node);
        u32 n = cell_count(cb);
        n = n > cache_head ? n - cache_head : 0;
        const Cell* entries = block::cells_of(cb) + cache_head;
        for (u32 k = ref_item; k < len; k++) {
            u32 it = TYPE_OF(items + k);
            if ((it != TYPE_WORD && it != TYPE_REFINEMENT) || nused == LEAN_MAX_REFS) return false;
            u32 found = 0;
            if (rec->refs_known) {
                // The refinements resolve apart: one written alike is the match.
                u32 raw = items[k].data2;
                for (u32 j = 0; j < rec->nrefs && !found; j++)
                    if (rec->ref_raw[j] == raw) found = rec->ref_entry[j];
                if (!found) {
                    i32 sym = symbol::resolve(static_cast<i32>(raw));
                    for (u32 j = 0; j < rec->nrefs && !found; j++)
                        if (rec->ref_sym[j] == sym) found = rec->ref_entry[j];
                }
            } else {
                i32 sym = symbol::resolve(static_cast<i32>(items[k].data2));
                for (u32 c = args; c < n; c++) {
                    if (TYPE_OF(entries + c) == TYPE_REFINEMENT &&
                        symbol::resolve(static_cast<i32>(entries[c].data2)) == sym) {
                        found = c;
                        break;
                    }
                }
            }
            if (!found) return false;
            for (u32 u = 0; u < nused; u++)
                if (used[u] == found) return false;
            used[nused++] = found;
        }
    }

    machine_stack::check();
    budget::step();
    u32 pos = *pos_io;
    if (!infix) stack::push(fn);
    if (type == TYPE_FUNCTION) stack::mark_kind81(name);
    else stack::mark_kind82(name);
    // The left operand sits at the frame's first slot: below the top, so
    // that the collector sees it while the right one is evaluated.
    if (infix) stack::keep();
    for (u32 i = 0; i < args; i++) {
        if (infix && i == 0) {
            stack::top = stack::arguments + 1;  // the left operand
        } else {
            pos = lean_arg(fn, name, i, code, pos, tail, infix);
            // The argument may have run calls that took the record's slot.
            rec = call_record(fn, type);
        }
        if (!typeset::has(&rec->types[i], TYPE_OF(stack::top - 1))) expect_arg(fn, name, stack::top - 1, i);
    }

    i32 refs[32];
    if (builtin) {
        // All refinements unused (-1: every byte 0xFF), in a few wide stores.
        if (shape & SHAPE_REFS) std::memset(refs, 0xFF, sizeof refs);
        else std::memset(refs, 0xFF, 4 * sizeof(i32));
    } else if (shape & SHAPE_REFS) {
        // Every refinement has its logic cell and argument slots, unused at first.
        SeriesBuffer* cb = GET_BUFFER(cache_node);
        u32 n = cell_count(cb);
        n = n > cache_head ? n - cache_head : 0;
        const Cell* entries = block::cells_of(cb) + cache_head;
        for (u32 c = args; c < n; c++) {
            u32 et = TYPE_OF(entries + c);
            if (et == TYPE_REFINEMENT) make_cell(stack::push_star(), TYPE_LOGIC, 0);
            else if (et == TYPE_TYPESET) make_cell(stack::push_star(), TYPE_NONE);
        }
    }
    for (u32 u = 0; u < nused; u++) {
        // The named refinement: set, then its arguments fetched in order.
        u32 c = used[u];
        i32 slot = 0;
        if (builtin) {
            u32 number = entry(c)->data3;
            if (number >= 1 && number <= 32) refs[number - 1] = static_cast<i32>(stack::top - stack::arguments);
        } else {
            // Its logic cell: after the plain arguments, one cell per cache entry.
            slot = static_cast<i32>(c);
            make_cell(stack::arguments + slot, TYPE_LOGIC, 1);
        }
        for (u32 k = c + 1;; k++) {
            const Cell* e = entry(k);
            if (k >= cell_count(GET_BUFFER(cache_node)) - cache_head || TYPE_OF(e) != TYPE_TYPESET) break;
            pos = lean_arg(fn, name, k, code, pos, tail, false);
            if (!typeset::has(entry(k), TYPE_OF(stack::top - 1))) expect_arg(fn, name, stack::top - 1, k);
            if (!builtin) {
                stack::arguments[slot + static_cast<i32>(k - c)] = stack::top[-1];
                stack::top--;
            }
        }
    }

    if (type == TYPE_FUNCTION) {
        i32 locals = static_cast<i32>(shape >> SHAPE_LOCALS_SHIFT & LEAN_MAX_LOCALS);
        if (locals > 0) function::init_locals(locals);
        rec = call_record(fn, type);
        if (!trace.active && !rec->compiled) {
            Cell body = rec->body;
            run_body(fn, &body);
        } else {
            call_function(fn, 0, name, 0);
        }
    } else {
        u32 index = native::entry_of(fn);
        Cell* a = stack::arguments;
        FastOp kind;
        if (args == 2 && !nused && TYPE_OF(a) == TYPE_INTEGER && TYPE_OF(a + 1) == TYPE_INTEGER &&
            (kind = fast_op_for(type, index)) != FAST_NONE && fast_compute(kind, a, a + 1)) {
        } else if (type == TYPE_NATIVE) {
            // The conditionals directly, as their entries do it (their
            // arguments are checked already).
            switch (index) {
                case NATIVE_IF:
                    if (logic::false_arg_q()) make_cell(a, TYPE_NONE);
                    else eval(a + 1, true);
                    break;
                case NATIVE_EITHER:
                    if (TYPE_OF(a) == TYPE_UNSET) fire("script", "no-return");
                    eval(a + (logic::is_true(a) ? 1 : 2), true);
                    break;
                default:
                    natives::call(index, false, refs);
            }
        } else {
            actions::call_generic(index, refs);
        }
    }
    if (sub) stack::unwind();
    else stack::unwind_last();
    if (enabled()) fire_event(EVT_RETURN, code, static_cast<i32>(pos), name, stack::get_top());
    if (!infix) {
        stack::top--;
        copy_cell(stack::top, stack::top - 1);
    }
    *pos_io = pos;
    return true;
}

// A word whose value is a function value, called as eval_full calls it
// (the word and its value looked up once), then any operators after it.
u32 eval_word_call(const Cell* word, const Cell* fn_in, Cell* code, u32 pos, u32 tail, bool prefix, bool sub) {
    Cell w = *word;
    Cell fn = *fn_in;
    Cell* start = stack::top;
    u32 next = pos + 1;
    if (!lean_call(&fn, &w, code, &next, tail, sub))
        next = eval_code_at(&fn, code, pos + 1, tail, sub, nullptr, 0, &w, nullptr, 0, false);
    if (!prefix) next = infix_chain(start, code, next, tail, sub);
    return next;
}

// A path whose first item is a word holding a function value, its other
// items naming refinements: called as eval_path_at calls it, through the
// lean call, then any operators after it. False (nothing done) when the
// lean call declines; eval_full then does the path.
bool eval_path_call(const Cell* path_in, Cell* code, u32 pos, u32 tail, bool prefix, bool sub, u32* next_out) {
    Cell path = *path_in;
    SeriesBuffer* pb = block::buffer_of(&path);
    u32 head = series_head(&path);
    if (head >= cell_count(pb)) return false;
    const Cell* first = block::cells_of(pb) + head;
    if (TYPE_OF(first) != TYPE_WORD) return false;
    const Cell* v = peek_word(first);
    if (!v || !function_type_q(TYPE_OF(v))) return false;
    Cell w = *first;
    Cell fn = *v;
    Cell* start = stack::top;
    u32 next = pos + 1;
    if (!lean_call(&fn, &w, code, &next, tail, true, false, &path, head + 1)) return false;
    if (!sub) stack::set_last_reset(stack::top - 1);
    if (!prefix) next = infix_chain(start, code, next, tail, sub);
    *next_out = next;
    return true;
}

// Goes on with an expression at `pos` as eval_full would, from what
// eval_simple did of it: `v` its value up to `stop` (see eval_simple),
// left as eval_full leaves it, then the operators from `stop` on.
u32 resume_simple(const Cell* v, Cell* code, u32 pos, u32 stop, u32 tail, bool sub) {
    Cell* start = stack::top;
    if (stop == pos + 1) {
        push_value(v, sub);
    } else {
        // As the operator calls leave it.
        *start = *v;
        stack::top = start + 1;
        if (!sub) *stack::arguments = *v;
    }
    u32 next = infix_chain(start, code, stop, tail, sub);
    if (enabled() && !sub) fire_event(EVT_EXPR, code, static_cast<i32>(next), nullptr, stack::arguments);
    return next;
}

void eval_paren(Cell* value, bool sub);
u32 eval_set_word(const Cell* value, Cell* code, u32 pos, u32 tail, bool sub, const Partial* partial);

// After the value of an expression made at `start`: the operators that
// follow (unless prefix), and the expression's trace event as eval_full
// delivers it should a tracer have started meanwhile.
inline u32 expression_end(Cell* start, Cell* code, u32 next, u32 tail, bool prefix, bool sub) {
    if (!prefix) next = infix_chain(start, code, next, tail, sub);
    if (enabled() && !sub) fire_event(EVT_EXPR, code, static_cast<i32>(next), nullptr, stack::arguments);
    return next;
}

// The fast tier's entry to one expression: a single dispatch on the cell at
// `pos`. Plain values (literal, or held by a word) with any integer operators
// after them are done in a local; calls through a word or a refinement path
// take the lean call; set-words store simple values without a frame. Every
// other shape, and everything while tracing or under the reference switch,
// goes to eval_full.
[[gnu::always_inline]] inline u32 eval_expression_at(Cell* code, u32 pos, u32 tail, bool prefix, bool sub,
                                                     bool passive) {
    machine_stack::check();
    budget::step();
    SeriesBuffer* cb = block::buffer_of(code);
    u32 live = cell_count(cb);
    if (tail > live) tail = live;
    if (pos < tail && fast_paths_on()) {
        const Cell* cells = block::cells_of(cb);
        const Cell* c = cells + pos;
        u32 t = TYPE_OF(c);
        const Cell* v = c;
        if (t == TYPE_WORD) {
            v = peek_word(c);
            if (!v) return eval_full(code, pos, tail, {prefix, sub, passive});
            u32 vt = TYPE_OF(v);
            if (function_type_q(vt)) return eval_word_call(c, v, code, pos, tail, prefix, sub);
            t = vt;
        } else if (t == TYPE_SET_WORD) {
            Cell w = *c;
            Partial partial;
            u32 next;
            if (fast_set_word(&w, code, pos + 1, tail, sub, &next, &partial)) return next;
            Cell* start = stack::top;
            next = eval_set_word(&w, code, pos, tail, sub, partial.stop ? &partial : nullptr);
            return expression_end(start, code, next, tail, prefix, sub);
        } else if (t == TYPE_PAREN) {
            Cell* start = stack::top;
            Cell value = *c;
            eval_paren(&value, sub);
            return expression_end(start, code, pos + 1, tail, prefix, sub);
        } else if (t == TYPE_PATH) {
            u32 next;
            if (eval_path_call(c, code, pos, tail, prefix, sub, &next)) return next;
            return eval_full(code, pos, tail, {prefix, sub, passive});
        }
        if (plain_value_q(t) && stack::top + 1 < stack::end) {
            u32 next = pos + 1;
            // The common case: no operator can follow.
            if (prefix || next >= tail || TYPE_OF(cells + next) != TYPE_WORD) {
                push_value(v, sub);
                return next;
            }
            Cell* start = stack::top;
            Cell x = *v;
            u32 stop = 0;
            next = infix_simple(cells, pos + 1, tail, &x, &stop);
            if (next == pos + 1) {
                push_value(&x, sub);
                return next;
            }
            if (next) {
                // As the operator calls leave it.
                *start = x;
                stack::top = start + 1;
                if (!sub) *stack::arguments = x;
                return next;
            }
            return resume_simple(&x, code, pos, stop, tail, sub);
        }
    }
    return eval_full(code, pos, tail, {prefix, sub, passive});
}

// One expression of the running code pushed as a new value (an argument):
// the code's library or user state is in place already.
u32 eval_sub(Cell* code, u32 pos, u32 tail, bool prefix) {
    return eval_expression_at(code, pos, tail, prefix, true, false);
}

}  // namespace

// The expressions that cannot fail or be seen (see eval_simple and
// fast_set_word) are done here; eval_full does every expression.
u32 eval_expression(Cell* code, u32 pos, u32 tail, bool prefix, bool sub, bool passive) {
    CodeScope scope(code);
    return eval_expression_at(code, pos, tail, prefix, sub, passive);
}

namespace {

// A paren: its block evaluated in a frame named <body>, the value pushed
// (sub) or made the frame result.
void eval_paren(Cell* value, bool sub) {
    Cell bw = body_word();
    stack::mark_kind82(&bw);
    eval(value, true);
    if (sub) stack::unwind();
    else stack::unwind_last();
}

// A set-word at `pos` (`value` its cell) and its value's expression, in a
// frame named by the word; answers the position after the expression.
// `partial`: what fast_set_word did of the value, gone on from rather than
// evaluated again.
u32 eval_set_word(const Cell* value, Cell* code, u32 pos, u32 tail, bool sub, const Partial* partial) {
    Cell w = *value;
    u32 next = pos + 1;
    stack::mark_kind82(&w);
    stack::push(&w);
    if (enabled()) fire_event(EVT_PUSH, code, static_cast<i32>(pos), nullptr, &w);
    if (next >= clamp_tail(code, tail)) fire("script", "need-value", &w);
    if (partial) next = resume_simple(&partial->value, code, next, partial->stop, tail, true);
    else next = eval_expression_at(code, next, tail, false, true, false);
    if (enabled()) fire_event(EVT_SET, code, static_cast<i32>(pos), &w, stack::get_top());
    set_frame_word();
    if (sub) stack::unwind();
    else stack::unwind_last();
    return next;
}

// Every expression shape, with the trace events: the reference tier.
u32 eval_full(Cell* code, u32 pos, u32 tail, ExprMode mode) {
    const bool prefix = mode.prefix, sub = mode.sub, passive = mode.passive;
    if (pos >= tail) {
        // Nothing left (the code shrank under us): the value is unset.
        Cell u{TYPE_UNSET, 0, 0, 0};
        push_value(&u, sub);
        return pos;
    }
    Cell* start = stack::top;
    Cell value = *code_at(code, pos);
    if (enabled()) fire_event(EVT_FETCH, code, static_cast<i32>(pos), nullptr, &value);
    u32 next = pos + 1;
    auto pushed = [&](const Cell* v) {
        push_value(v, sub);
        if (enabled()) fire_event(EVT_PUSH, code, static_cast<i32>(pos), nullptr, v);
    };
    switch (TYPE_OF(&value)) {
        case TYPE_PAREN:
            eval_paren(&value, sub);
            break;
        case TYPE_SET_WORD:
            // eval_expression tried fast_set_word (it declines while tracing).
            next = eval_set_word(&value, code, pos, tail, sub, nullptr);
            break;
        case TYPE_SET_PATH: {
            if (enabled()) fire_event(EVT_PUSH, code, static_cast<i32>(pos), nullptr, &value);
            if (next >= clamp_tail(code, tail)) fire("script", "need-value", &value);
            Cell sp;
            word_of(&sp, words::set_path);
            stack::mark_kind82(&sp);
            // The value's expression may take the set-path out of the code.
            Hold path_hold(&value);
            next = eval_expression(code, next, tail, false, true, false);
            if (enabled()) fire_event(EVT_SET, code, static_cast<i32>(pos), &value, stack::get_top());
            eval_path_at(&value, 1, code, pos, tail, true, false, true, false);
            if (sub) stack::unwind();
            else stack::unwind_last();
            break;
        }
        case TYPE_GET_WORD: {
            Cell v = *word_value(&value);
            pushed(&v);
            break;
        }
        case TYPE_LIT_WORD: {
            Cell v = value;
            set_type(&v, TYPE_WORD);
            pushed(&v);
            break;
        }
        case TYPE_WORD: {
            Cell v = *word_value(&value);
            switch (TYPE_OF(&v)) {
                case TYPE_UNSET:
                    fire("script", "no-value", &value);
                case TYPE_FUNCTION:
                case TYPE_ROUTINE:
                case TYPE_NATIVE:
                case TYPE_ACTION:
                    next = eval_code_at(&v, code, next, tail, sub, nullptr, 0, &value, nullptr, 0, false);
                    break;
                case TYPE_OP:
                    fire("script", "no-op-arg", &value);
                default:
                    pushed(&v);
                    break;
            }
            break;
        }
        case TYPE_PATH:
            next = eval_path_at(&value, 1, code, pos, tail, false, false, sub, false);
            if (enabled()) fire_event(EVT_PUSH, code, static_cast<i32>(pos), nullptr, stack::get_top());
            break;
        case TYPE_GET_PATH:
            next = eval_path_at(&value, 1, code, pos, tail, false, true, sub, false);
            if (enabled()) fire_event(EVT_PUSH, code, static_cast<i32>(pos), nullptr, stack::get_top());
            break;
        case TYPE_LIT_PATH: {
            Cell v = value;
            set_type(&v, TYPE_PATH);
            v.data3 = 0;
            pushed(&v);
            break;
        }
        case TYPE_OP:
            fire("internal", "not-done");
        case TYPE_FUNCTION:
        case TYPE_ROUTINE:
        case TYPE_NATIVE:
        case TYPE_ACTION:
            if (passive) pushed(&value);
            else next = eval_code_at(&value, code, next, tail, sub, nullptr, 0, nullptr, nullptr, 0, false);
            break;
        case TYPE_ISSUE: {
            if (next < clamp_tail(code, tail) && TYPE_OF(code_at(code, next)) == TYPE_BLOCK) {
                i32 sym = symbol::resolve(static_cast<i32>(value.data2));
                if (sym == symbol::resolve(words::system) || sym == symbol::resolve(words::system_global))
                    fire("internal", "zav-system");
            }
            pushed(&value);
            break;
        }
        default:
            pushed(&value);
            break;
    }
    if (!prefix) next = infix_chain(start, code, next, tail, sub);
    if (enabled() && !sub) fire_event(EVT_EXPR, code, static_cast<i32>(next), nullptr, stack::arguments);
    return next;
}

}  // namespace

void eval(Cell* code_in, bool chain) {
    machine_stack::check();
    budget::step();
    struct {
        Cell value;
    } code{*code_in};
    Hold code_hold(&code.value);
    CodeRestore restore;
    CodeScope scope(&code.value);
    Cell bw = body_word();
    stack::mark_kind87(&bw);
    u32 head = series_head(&code.value);
    u32 tail = live_tail(&code.value);
    if (enabled()) fire_event(EVT_ENTER, &code.value, static_cast<i32>(head), nullptr, nullptr);
    if (head >= tail) {
        make_cell(stack::arguments, TYPE_UNSET);
        stack::top = stack::arguments + 1;
    } else {
        u32 pos = head;
        // Nested evaluations restore the current code cell on their way out,
        // so only its position changes from one expression to the next.
        bool track = !in_library;
        if (track) code_cell = code.value;
        while (pos < tail) {
            if (track) series_head(&code_cell) = pos;
            pos = eval_expression_at(&code.value, pos, tail, false, false, false);
            tail = clamp_tail(&code.value, tail);
            if (pos < tail) stack::reset();
        }
    }
    if (enabled()) fire_event(EVT_EXIT, &code.value, static_cast<i32>(tail), nullptr, stack::arguments);
    if (chain) stack::unwind_last();
    else stack::unwind();
}

u32 eval_next(Cell* code, u32 pos, u32 tail, bool sub) {
    CodeScope scope(code);
    Cell bw = body_word();
    stack::mark_kind82(&bw);
    pos = eval_expression(code, pos, tail, false, false, false);
    if (sub) stack::unwind();
    else stack::unwind_last();
    return pos;
}

i32 do_next_index(Cell* code_in) {
    Cell code = *code_in;
    collector::Root guard(&code);
    u32 head = series_head(&code);
    u32 tail = live_tail(&code);
    if (head >= tail) {
        make_cell(stack::arguments, TYPE_UNSET);
        stack::top = stack::arguments + 1;
        return static_cast<i32>(head);
    }
    CodeRestore restore;
    CodeScope scope(&code);
    if (!in_library) code_cell = code;
    stack::top = stack::arguments;
    u32 pos = eval_next(&code, head, tail, false);
    stack::top = stack::arguments + 1;
    return static_cast<i32>(pos);
}

// ---- paths -------------------------------------------------------------------------

namespace {

u32 eval_path_at(Cell* path_in, u32 first_item, Cell* code, u32 pos, u32 tail, bool set, bool get, bool sub,
                 bool case_) {
    (void)first_item;
    struct {
        Cell value;
    } path{*path_in};
    Hold path_hold(&path.value);
    Cell* p = &path.value;
    u32 len = block::buffer_of(p)->length();
    u32 head = series_head(p);
    if (head >= len) fire("script", "empty-path");
    Cell first = *code_at(p, head);
    if (TYPE_OF(&first) != TYPE_WORD) fire("script", "word-first", p);
    if (enabled()) {
        fire_event(EVT_ENTER, p, static_cast<i32>(head), nullptr, nullptr);
        fire_event(EVT_FETCH, p, static_cast<i32>(head), nullptr, &first);
    }
    Cell* base = stack::top;
    // The value to store is the running frame's first cell for a set-path.
    Cell set_value;
    if (set) set_value = *stack::arguments;
    Cell cur = *context::get(&first);
    // A paren later in the path may drop every other reference to it.
    Hold cur_hold(&cur);
    if (TYPE_OF(&cur) == TYPE_UNSET) fire("script", "unset-path", p, &first);
    if (function_type_q(TYPE_OF(&cur))) {
        if (set) fire("script", "invalid-path-set", p);
        if (get) fire("script", "invalid-path-get", p);
        u32 next = eval_code_at(&cur, code, pos + 1, tail, true, p, head + 1, &first, nullptr, 0, false);
        if (!sub) stack::set_last_reset(stack::top - 1);
        return next;
    }
    Cell parent = first;
    Hold parent_hold(&parent);
    Cell parent_item = first;  // the item that reached `cur`, named when its type has no path step
    Hold parent_item_hold(&parent_item);
    u32 steps = 0;  // (value, item) pairs pushed from `base` by a set-path
    for (u32 i = head + 1; i < len; i++) {
        Cell item = *code_at(p, i);
        switch (TYPE_OF(&item)) {
            case TYPE_GET_WORD:
                item = *context::get(&item);
                break;
            case TYPE_PAREN: {
                Cell bw = body_word();
                stack::mark_kind82(&bw);
                eval(&item, true);
                stack::unwind();
                item = stack::top[-1];
                stack::top--;
                break;
            }
            default:
                break;
        }
        bool last = i + 1 == len;
        if (set && last) {
            actions::eval_path_dispatch(&cur, &item, &set_value, p, case_, &parent, &parent_item, 0, false, true);
            // An immediate value was changed in a copy: put it back where it came from.
            if (immediate_q(TYPE_OF(&cur)))
                actions::store_path_back(&cur, base, steps, &first, p, case_);
            cur = set_value;
            break;
        }
        if (set) {
            // Where each step's value came from, for storing a changed immediate back.
            stack::push(&cur);
            stack::push(&item);
            steps++;
        }
        Cell* saved_top = stack::top;
        Cell* r = actions::eval_path_dispatch(&cur, &item, nullptr, p, case_, &parent, &parent_item, 0, get, last);
        Cell nv = *r;
        stack::top = saved_top;
        if (TYPE_OF(&nv) == TYPE_UNSET && !(get && last)) fire("script", "invalid-path", p, &item);
        Cell owner = cur;
        parent = cur;
        parent_item = item;
        cur = nv;
        if (!get && !set && function_type_q(TYPE_OF(&cur))) {
            // A function reached through the path (an object's method): the
            // remaining items are its refinements.
            Cell name = item;
            if (TYPE_OF(&name) < TYPE_WORD || TYPE_OF(&name) > TYPE_REFINEMENT) word_of(&name, words::_anon);
            u32 next = eval_code_at(&cur, code, pos + 1, tail, true, p, i + 1, &name,
                                    TYPE_OF(&owner) == TYPE_OBJECT ? &owner : nullptr, 0, false);
            if (!sub) stack::set_last_reset(stack::top - 1);
            return next;
        }
    }
    if (enabled()) fire_event(EVT_EXIT, p, static_cast<i32>(len), nullptr, &cur);
    stack::top = base;
    if (set) {
        // The frame region holds the stored value: it is the result.
        return pos + 1;
    }
    push_value(&cur, sub);
    return pos + 1;
}

}  // namespace

u32 eval_path(Cell* path, Cell* code, u32 pos, u32 tail, bool set, bool get, bool sub, bool case_) {
    return eval_path_at(path, 1, code, pos, tail, set, get, sub, case_);
}

// ---- calls ----------------------------------------------------------------------------

namespace {

// Keeps and restores the enabled flag of the trace state.
struct EnabledRestore {
    bool saved = trace.enabled;
    ~EnabledRestore() { trace.enabled = saved; }
};

}  // namespace

namespace {

// exec_body for the untraced call (no trace started: nothing to deliver and
// no function's trace flags to honour), with the same frame and context
// handling: the function's values point at the call's arguments while the
// body runs.
void run_body(const Cell* fn, const Cell* body) {
    node_t ctx = function::ctx_of(fn);
    Cell* c = context::TO_CTX(ctx);
    u32 saved_values = c->data2;
    c->data2 = off_of(stack::arguments);
    CallFrame* me = stack::frame_top - 1;
    me->header |= FRAME_BODY;
    CallerScope caller_scope;
    try {
        if (TYPE_OF(body) == TYPE_BLOCK) eval(const_cast<Cell*>(body), true);
        else make_cell(stack::arguments, TYPE_UNSET);
    } catch (Throw& t) {
        trace.enabled = false;
        me->header &= ~FRAME_BODY;
        context::TO_CTX(ctx)->data2 = saved_values;
        if (t.value != THROW_RETURN && t.value != THROW_EXIT) throw;
        return;
    }
    trace.enabled = false;
    me->header &= ~FRAME_BODY;
    context::TO_CTX(ctx)->data2 = saved_values;
}

}  // namespace

void call_function(Cell* fn_in, node_t, Cell* name, u32 trace_flags) {
    if (!trace.active && !trace.enabled) {
        const Cell* more = block::cells_of(GET_BUFFER(function::more_of(fn_in)));
        const Cell* code = more + function::MORE_CODE;
        if (!(TYPE_OF(code) == TYPE_INTEGER && code->data2)) {
            Cell body = more[function::MORE_BODY];
            run_body(fn_in, &body);
            return;
        }
    }
    Cell fn = *fn_in;
    EnabledRestore restore;
    // The filter of the trace settings passes every flag the runtime gives.
    if (trace.enabled && trace_flags) trace.enabled = true;
    Cell* code = function::more_cell(&fn, function::MORE_CODE);
    if (TYPE_OF(code) == TYPE_INTEGER && code->data2) {
        // Compiled bodies come with the library; the interpreter runs none yet.
        fire("internal", "not-done");
    }
    if (trace.enabled && trace_flags) fire_call(name, &fn);
    Cell body = *function::more_cell(&fn, function::MORE_BODY);
    exec_body(&fn, &body, name);
    if (trace.enabled && trace_flags) fire_return(name, &fn);
}

void exec_body(Cell* fn_in, Cell* body_in, Cell* name) {
    Cell fn = *fn_in;
    Cell body = *body_in;
    Hold body_hold(&body);
    node_t ctx = function::ctx_of(&fn);
    u32 saved_values = context::TO_CTX(ctx)->data2;
    context::TO_CTX(ctx)->data2 = off_of(stack::arguments);
    CallFrame* me = stack::top_frame();
    me->header |= FRAME_BODY;
    CallerScope caller_scope;
    // A library function's body is compiled code: no prolog or epilog either.
    CodeScope scope(&body);
    bool saved_enabled = trace.enabled;
    if (trace.active) {
        if (fn.header & function::FLAG_TRACE) trace.enabled = true;
        else if (fn.header & function::FLAG_NO_TRACE) trace.enabled = false;
    }
    auto finish = [&]() {
        trace.enabled = saved_enabled;
        me->header &= ~FRAME_BODY;
        context::TO_CTX(ctx)->data2 = saved_values;
    };
    u32 pending = 0;
    try {
        if (trace.enabled) fire_event(EVT_PROLOG, &body, 0, name, &fn);
    } catch (Throw&) {
        trace.enabled = false;
        saved_enabled = false;
        finish();
        throw;
    }
    try {
        if (TYPE_OF(&body) == TYPE_BLOCK) eval(&body, true);
        else make_cell(stack::arguments, TYPE_UNSET);
    } catch (Throw& t) {
        pending = t.value;
    }
    if (trace.enabled) {
        try {
            fire_event(EVT_EPILOG, &body, 0, name, &fn);
        } catch (Throw&) {
            finish();
            throw;
        }
    }
    finish();
    if (pending && pending != THROW_RETURN && pending != THROW_EXIT) throw Throw{pending};
}

void call_routine(Cell* fn) {
    routine::Entry entry = routine::entry(static_cast<u32>(routine::code_of(fn)));
    if (!entry) fire("internal", "routines");
    // The result slot of a routine without arguments must be on the stack
    // (rooted) before the routine allocates.
    if (stack::top <= stack::arguments) make_cell(stack::push_star(), TYPE_UNSET);
    entry();
}

Cell* current_code() { return &code_cell; }

bool called_from_library() { return caller_library; }

// ---- tracing ---------------------------------------------------------------------------

namespace {

void apply_values(Cell* fn, Cell* args, u32 pos, u32 count, Cell* name) {
    eval_code(fn, args, pos, pos + count, true, nullptr, name, nullptr, MODE_APPLY_ALL | MODE_SAFER, false);
}

// An error raised while tracing reaches the tracer as its `error` event, with
// the code position where it was raised.
void trace_error(const Cell* err) {
    static bool inside = false;
    if (!trace.enabled || !(trace.mask & EVT_ERROR) || inside) return;
    // Telling the tracer needs the stack that an overflow has run out of, and
    // memory that has run out; no user code runs inside a collection.
    i32 id = error::get_id(err);
    if (id == symbol::make("stack-overflow") || id == symbol::make("no-memory") || collector::collecting_q()) return;
    inside = true;
    struct Leave {
        ~Leave() { inside = false; }
    } leave;
    Cell code = code_cell;
    Hold hold(&code);
    bool in_block = block::any_block_q(TYPE_OF(&code));
    fire_event(EVT_ERROR, in_block ? &code : nullptr, in_block ? static_cast<i32>(series_head(&code)) : -1, nullptr,
               err);
}

}  // namespace

void init() {
    user_code::evaluator = {eval, call_function, apply_values, current_code};
    // Errors raised from here on are built as values and thrown to their guard frames.
    error_raiser = stack::raise_error;
    on_error = trace_error;
    make_cell(&code_cell, TYPE_UNSET);
    trace = TraceState{false, false, 0};
    Cell* c = alloc_at_tail(root);
    make_cell(c, TYPE_NONE);
    tracer_node = root;
    tracer_index = GET_BUFFER(root)->length() - 1;
    tracer_generation = memory::generation;
    static bool marker = false;
    if (!marker) {
        marker = true;
        collector::register_marker([] {
            collector::mark_value(&code_cell);
            mark_held();
        });
    }
}

Cell* tracer() {
    static Cell none{TYPE_NONE, 0, 0, 0};
    if (tracer_generation != memory::generation || !tracer_node) return &none;
    return reinterpret_cast<Cell*>(GET_BUFFER(tracer_node)->head()) + tracer_index;
}

const char* const event_names[] = {"init", "end", "prolog", "epilog", "enter", "exit", "open", "return",
                                   "fetch", "push", "set", "call", "error", "throw", "catch", "expr"};

u32 trace_event_mask(Cell* tracer_fn) { return function::event_mask(tracer_fn, event_names, 16, EVT_ALL); }

void fire_event(u32 event, Cell* code, i32 position, const Cell* reference, const Cell* value) {
    if (!(trace.mask & event)) return;
    Cell fn = *tracer();
    if (TYPE_OF(&fn) != TYPE_FUNCTION) return;
    u32 bit = 0;
    while (bit < 16 && !(event & (1u << bit))) bit++;
    Cell ev, c, pos, val, ref, pair;
    word_of(&ev, symbol::make(event_names[bit < 16 ? bit : 0]));
    if (code && block::any_block_q(TYPE_OF(code))) c = *code;
    else make_cell(&c, TYPE_NONE);
    i32 index = -1;
    if (code && position >= 0 && static_cast<u32>(position) <= block::buffer_of(code)->length())
        index = position - static_cast<i32>(series_head(code));
    make_cell(&pos, TYPE_INTEGER, 0, static_cast<u32>(index));
    if (value && TYPE_OF(value) != 0) val = *value;
    else make_cell(&val, TYPE_NONE);
    bool with_ref = event == EVT_SET || event == EVT_EPILOG || event == EVT_PROLOG || event == EVT_RETURN ||
                    event == EVT_CALL;
    if (with_ref && reference) ref = *reference;
    else make_cell(&ref, TYPE_NONE);

    u32 args_index = static_cast<u32>(stack::arguments - stack::bottom);
    u32 top_index = static_cast<u32>(stack::top - stack::bottom);
    // until pair! provides a maker: x in the second payload word, y in the third
    make_cell(&pair, TYPE_PAIR, 0, args_index, top_index);
    Cell* saved_top = stack::top;
    CallFrame* saved_frame = stack::frame_top;
    stack::top++;
    Cell cb;
    word_of(&cb, words::_interp_callback);
    stack::mark_frame(&cb, function::ctx_of(&fn));
    stack::push(&ev);
    stack::push(&c);
    stack::push(&pos);
    stack::push(&val);
    stack::push(&ref);
    stack::push(&pair);
    function::push_unused_slots(&fn, TRACER_ARITY);
    node_t ctx = context::global;
    Cell* more_owner = function::more_cell(&fn, function::MORE_OWNER);
    if (TYPE_OF(more_owner) == TYPE_INTEGER) ctx = more_owner->data2;
    trace.enabled = false;
    call_function(&fn, ctx, &cb, 0);  // a throw out of the tracer leaves delivery off
    trace.enabled = true;
    stack::unwind_copy();
    stack::top = saved_top;
    stack::frame_top = saved_frame;
}

void fire_init() { fire_simple(EVT_INIT, nullptr, -1, nullptr, nullptr); }
void fire_end() { fire_simple(EVT_END, nullptr, -1, nullptr, nullptr); }
void fire_throw(const Cell* value) { fire_simple(EVT_THROW, nullptr, -1, nullptr, value); }
void fire_catch(const Cell* value) { fire_simple(EVT_CATCH, nullptr, -1, nullptr, value); }
void fire_call(Cell* name, Cell* fn) { fire_simple(EVT_CALL, nullptr, -1, name, fn); }
void fire_return(Cell* name, Cell* fn) { fire_simple(EVT_RETURN, nullptr, -1, name, fn); }

}  // namespace zav::interpreter
