// The lean call: a call of a function!, native! or action! whose
// parameters are evaluated or lit-word ones, made from the callee's call
// record (call_record.h) rather than the generic argument walk; with it the
// calls that need no frames (a conditional whose branch is simple, a
// function whose body is simple over simple arguments, an operator over
// such a call), made without them.
#include <cstring>

#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "datatypes/logic.h"
#include "datatypes/native.h"
#include "datatypes/op.h"
#include "datatypes/symbol.h"
#include "datatypes/typeset.h"
#include "evaluator/actions.h"
#include "evaluator/call_record.h"
#include "evaluator/conditional.h"
#include "evaluator/interpreter_fast.h"
#include "evaluator/natives.h"
#include "evaluator/series_fast.h"
#include "runtime/budget.h"
#include "runtime/machine_stack.h"

namespace zav::interpreter {

namespace {

// Room for the <body> frame eval_next opens for an expression, with no
// tracer to see it.
[[gnu::always_inline]] inline bool expression_room_q() {
    return !trace.active && stack::frame_top + 1 < stack::frame_end && stack::top + 2 < stack::end;
}

// An expression that eval_next would run in a <body> frame of its own,
// taken without it where it is simple (see simple_value) and `room` says
// the frame could be opened (expression_room_q): nothing in it can fail or
// be seen. Its value goes into the result slot, with its step; answers the
// position after it, or 0 having done nothing.
[[gnu::always_inline]] inline u32 frameless_next(const Cell* cells, u32 pos, u32 tail, bool room) {
    Cell v;
    u32 stop, next;
    if (!room || !(next = simple_value(cells, pos, tail, &v, &stop))) return 0;
    budget::step();
    *stack::arguments = v;
    return next;
}

}  // namespace

u32 simple_next(const Cell* code) {
    if (!fast_paths_on() || !expression_room_q()) return 0;
    const SeriesBuffer* b = block::buffer_of(code);
    return frameless_next(block::cells_of(b), series_head(code), cell_count(b), true);
}

namespace {

// any (`all` false) or all over the block at the frame's first slot, as
// their entries do it: a copy of the block above it walks the expressions,
// each in a <body> frame of its own, its value in the result slot.
void any_all(bool all) {
    Cell* conds = stack::push(stack::arguments);
    // The block's cells and tail, read again only after code has run.
    SeriesBuffer* b = block::buffer_of(conds);
    u32 pos = series_head(conds);
    u32 tail = cell_count(b);
    if (pos >= tail) return void(make_cell(stack::arguments, TYPE_NONE));
    // Room for the frame eval_next would open: the same for every expression.
    const bool room = expression_room_q();
    while (pos < tail) {
        Cell* above = stack::top;
        u32 next;
        if ((next = frameless_next(block::cells_of(b), pos, tail, room))) {
            pos = next;
        } else {
            series_head(conds) = pos;
            pos = eval_next(conds, pos, tail, false);
            if (exiting()) [[unlikely]] return;
            b = block::buffer_of(conds);
            tail = cell_count(b);
        }
        stack::top = above;
        if (logic::is_true(stack::arguments) != all) {
            if (all) make_cell(stack::arguments, TYPE_NONE);
            stack::top = stack::arguments + 1;
            return;
        }
    }
    if (!all) make_cell(stack::arguments, TYPE_NONE);
    stack::top = stack::arguments + 1;
}

// The call being made: the callee, the word naming it, the code its
// arguments come from (up to `tail`), and whether it is an operator's (its
// left operand at the frame's first slot already).
struct LeanSite {
    Cell* fn;
    Cell* name;
    Cell* code;
    u32 tail;
    bool infix;
};

// The code a lean call fetches its arguments from, as far as it reaches
// now: valid until an argument evaluates code (which may change or move it).
struct CodeView {
    const Cell* cells;
    u32 tail;
    [[gnu::always_inline]] void read(const Cell* code, u32 call_tail) {
        SeriesBuffer* cb = block::buffer_of(code);
        u32 live = cell_count(cb);
        cells = block::cells_of(cb);
        tail = call_tail < live ? call_tail : live;
    }
};

// How a lean call was reached: by a path (its refinement items from
// `ref_item` on), and as an operator's operand, whose expression's stack
// check and step are then taken as the call begins (after the checks that
// may decline it, which change nothing).
struct LeanFrom {
    const Cell* path = nullptr;
    u32 ref_item = 0;
    bool operand = false;
    // read_word_call declined the call already: frameless_function_call would too.
    bool unread = false;
};

// What eval_expression_at does before it evaluates an expression.
[[gnu::always_inline]] inline void expression_step() {
    machine_stack::check();
    budget::step();
}

bool operand_word_call(Cell* code, const Cell* c, u32* pos_io, u32 tail);
bool operand_path_call(Cell* code, const Cell* c, u32* pos_io, u32 tail);

bool arg_word_call(Cell* code, const Cell* c, u32* pos_io, u32 tail);

// A get-word argument's value, whatever it is (`:value`), as evaluating it
// gives; false where its word has no slot to read. Out of line: the lean
// calls that inline simple_arg keep their registers.
[[gnu::noinline]] bool get_word_arg(const Cell* c, Cell* out) {
    const Cell* v = peek_word(c);
    if (!v) return false;
    *out = *v;
    return true;
}

// An argument at `pos` (before the view's tail) that lean_arg takes at
// once: a literal that no operator can follow, and (fast tier) a simple
// expression (see simple_value). Its value goes to `out`; answers the
// position after it, or 0 for any other argument. `room` as for simple_value.
[[gnu::always_inline]] inline u32 simple_arg(const CodeView& view, u32 pos, bool prefix, Cell* out,
                                             Room room = Room::CHECK) {
    const Cell* c = view.cells + pos;
    // No operator can follow.
    bool alone = prefix || pos + 1 >= view.tail || TYPE_OF(c + 1) != TYPE_WORD;
    if (alone && plain_value_q(TYPE_OF(c))) {
        *out = *c;
        return pos + 1;
    }
    if (!fast_paths_on()) return 0;
    if (!alone) {
        u32 stop;
        return simple_value(view.cells, pos, view.tail, out, &stop, {}, {room});
    }
    // A word, or an object's field (see object_field), holding a value; or
    // a lit-word, its word (`select obj 'field`).
    node_t ctx;
    const Cell* v = TYPE_OF(c) == TYPE_WORD ? peek_word(c) : TYPE_OF(c) == TYPE_PATH ? object_field(c, &ctx) : nullptr;
    if (!v) {
        if (TYPE_OF(c) == TYPE_GET_WORD) return get_word_arg(c, out) ? pos + 1 : 0;
        if (TYPE_OF(c) != TYPE_LIT_WORD) return 0;
        *out = *c;
        set_type(out, TYPE_WORD);
        return pos + 1;
    }
    if (!held_value_q(TYPE_OF(v))) return 0;
    *out = *v;
    return pos + 1;
}

// One argument of a lean call at `pos`, pushed. A literal that no operator
// can follow, and (fast tier) a simple expression (a word holding a plain
// value, number operators after it) are pushed at once, as their
// expression would push them: nothing in them can fail, recurse or loop, so
// they take no budget step. An operator's operand that is a call is made
// by operand_word_call or operand_path_call. Any other expression is
// evaluated; after either, `view` and `rec` are made current again.
// `param` names a missing argument.
[[gnu::always_inline]] inline u32 lean_arg(const LeanSite& s, u32 type, const CallRecord*& rec, node_t more,
                                           CodeView& view, u32 param, u32 pos, bool prefix) {
    if (pos >= view.tail) [[unlikely]] {
        no_arg(s.fn, s.name, param);
        return pos;
    }
    if (stack::top + 1 < stack::end) {
        Cell v;
        if (u32 next = simple_arg(view, pos, prefix, &v)) {
            *stack::top++ = v;
            return next;
        }
    }
    const Cell* c = view.cells + pos;
    bool done = fast_paths_on() &&
                (TYPE_OF(c) == TYPE_WORD   ? (prefix ? operand_word_call(s.code, c, &pos, view.tail)
                                                     : arg_word_call(s.code, c, &pos, view.tail))
                 : TYPE_OF(c) == TYPE_PATH ? prefix && operand_path_call(s.code, c, &pos, view.tail)
                                           : false);
    if (!done) pos = eval_sub(s.code, pos, s.tail, prefix);
    if (exiting()) [[unlikely]] return pos;
    if (!record_current(rec, more)) rec = call_record(s.fn, type);
    view.read(s.code, s.tail);
    return pos;
}

// A lit-word parameter's argument at `pos`, pushed as fetch_arg takes it
// (push_literal_arg); at the tail it is unset where the parameter takes
// unset, else missing.
[[gnu::noinline]] u32 lit_arg(const LeanSite& s, u32 type, const CallRecord*& rec, node_t more, CodeView& view,
                              u32 param, u32 pos) {
    if (pos >= view.tail) {
        if (!(rec->type_bits[param] >> TYPE_UNSET & 1)) {
            no_arg(s.fn, s.name, param);
            return pos;
        }
        make_cell(stack::push_star(), TYPE_UNSET);
        return pos;
    }
    Cell v = view.cells[pos];
    if (!push_literal_arg(&v, s.code, pos, s.tail) || exiting()) return pos + 1;
    // Code ran: the record and the code as they are now.
    if (!record_current(rec, more)) rec = call_record(s.fn, type);
    view.read(s.code, s.tail);
    return pos + 1;
}

// The plain arguments from the `first` on, each checked against its
// parameter's types as it comes.
[[gnu::always_inline]] inline u32 lean_args(const LeanSite& s, u32 type, const CallRecord*& rec, node_t more,
                                            CodeView& view, u32 args, u32 pos, u32 first = 0) {
    // False, the error raised pending, for an argument not of its types.
    auto check = [&](u32 i) {
        u32 t = TYPE_OF(stack::top - 1);
        if (t < 64 && (rec->type_bits[i] >> t & 1)) [[likely]] return true;
        expect_arg(s.fn, s.name, stack::top - 1, i);
        return false;
    };
    u32 i = first;
    if (s.infix) {
        stack::top = stack::arguments + 1;  // the left operand
        if (!check(i++)) [[unlikely]] return pos;
    }
    const u32 lit = rec->shape >> SHAPE_LIT_SHIFT;
    for (; i < args; i++) {
        if (lit >> i & 1) pos = lit_arg(s, type, rec, more, view, i, pos);
        else pos = lean_arg(s, type, rec, more, view, i, pos, s.infix);
        if (exiting()) [[unlikely]] return pos;
        if (!check(i)) [[unlikely]] return pos;
    }
    return pos;
}

// The arguments of the refinement at cache index `c`, fetched in order:
// pushed, or for a function or routine stored into the slots after its
// logic cell.
[[gnu::always_inline]] inline u32 lean_refinement_args(const LeanSite& s, u32 type, const CallRecord*& rec,
                                                       node_t more, CodeView& view, u32 c, u32 pos, i32 slot) {
    for (u32 k = c + 1;; k++) {
        auto [entries, n] = cache_entries(rec->cache_node, rec->cache_head);
        if (k >= n || TYPE_OF(entries + k) != TYPE_TYPESET) break;
        pos = lean_arg(s, type, rec, more, view, k, pos, false);
        if (exiting()) [[unlikely]] return pos;
        const Cell* e = cache_entries(rec->cache_node, rec->cache_head).cells + k;
        if (!typeset::has(e, TYPE_OF(stack::top - 1))) [[unlikely]] {
            expect_arg(s.fn, s.name, stack::top - 1, k);
            return pos;
        }
        if (type == TYPE_FUNCTION || type == TYPE_ROUTINE) {
            stack::arguments[slot + static_cast<i32>(k - c)] = stack::top[-1];
            stack::top--;
        }
    }
    return pos;
}

// After the callee ran: its frame closed, its value where the expression's
// value goes (pushed over the callee, or the caller's frame result).
[[gnu::always_inline]] inline void lean_return(const LeanSite& s, u32 pos, bool sub) {
    call_return(s.code, pos, s.name, sub, s.infix);
}

}  // namespace


void call_builtin(u32 type, u32 index, const i32* refs, bool tried) {
    errors_pending([&] {
        if (type == TYPE_NATIVE) natives::call(index, false, refs);
        else actions::call_generic(index, refs, tried);
    });
}

// Out of line: the operator calls around it stay small.
[[gnu::noinline]] void call_builtin_plain(u32 type, u32 index) {
    i32 refs[32];
    std::memset(refs, 0xFF, 4 * sizeof(i32));
    call_builtin(type, index, refs);
}


namespace {

[[gnu::always_inline]] inline u32 conditional_call_inline(Cell* fn, Cell* name, Cell* code, bool sub,
                                                          const Conditional& c) {
    return conditional_frame(fn, name, code, sub, c, enter_branch);
}

// A call of `return`, `exit`, `break` or `continue` (`fn`, its argument
// from `pos` of `view`) by word, return's argument one simple_arg takes at
// once and of its parameter's types, whose exit has a target: once that is
// known nothing in the call can fail or be seen, so the exit can be made
// without the native's frame, which it would close at once. Answers the
// position after the call, its exit in *out; 0, having done nothing, for
// any other call and where the exit would raise (no target). The caller
// checked the fast paths are on and for room on both stacks.
[[gnu::always_inline]] inline bool exit_native_q(const Cell* fn) {
    static_assert(natives::N_CONTINUE == natives::N_BREAK + 1 && natives::N_EXIT == natives::N_BREAK + 2 &&
                  natives::N_RETURN == natives::N_BREAK + 3);
    return native::entry_of(fn) - natives::N_BREAK <= natives::N_RETURN - natives::N_BREAK;
}
struct ExitCall {
    CallFrame* target;
    u32 code;
    Cell value;
};
[[gnu::always_inline]] inline u32 read_exit_call(const Cell* fn, const CodeView& view, u32 pos, ExitCall* out) {
    const u32 index = native::entry_of(fn);
    if (!exit_native_q(fn)) return 0;
    // The natives' own specs: return takes one argument, the others none
    // by word (break's refinement is named by a path).
    const CallRecord* rec = call_record(fn, TYPE_NATIVE);
    const u32 args = index == natives::N_RETURN;
    if (!rec || (rec->shape & (SHAPE_ARGS_MASK | SHAPE_LIT_MASK)) != args) return 0;
    make_cell(&out->value, TYPE_UNSET);
    if (args && (pos >= view.tail || !(pos = simple_arg(view, pos, false, &out->value)) ||
                 !(rec->type_bits[0] >> TYPE_OF(&out->value) & 1)))
        return 0;
    if (!(out->target = stack::exit_target(index <= natives::N_CONTINUE))) return 0;
    static constexpr u32 codes[] = {THROW_BREAK, THROW_CONTINUE, THROW_EXIT, THROW_RETURN};
    out->code = codes[index - natives::N_BREAK];
    return pos;
}

// The set-words of simple values that lead a branch ending with an exit,
// read before anything is stored.
constexpr u32 BRANCH_STORES = 4;
struct BranchStores {
    u32 count = 0;
    Cell* slot[BRANCH_STORES];
    Cell value[BRANCH_STORES];
};

// Whether the cells [pos, end) may read a slot `st` stores: paths and
// parens, which could, count as reading one.
[[gnu::always_inline]] inline bool reads_stored(const Cell* cells, u32 pos, u32 end, const BranchStores& st) {
    for (const Cell* c = cells + pos; c < cells + end; c++) {
        const u32 t = TYPE_OF(c);
        if (t == TYPE_PATH || t == TYPE_PAREN) return true;
        if (t != TYPE_WORD) continue;
        const Cell* slot = context::peek_slot(c);
        for (u32 k = 0; k < st.count; k++)
            if (slot == st.slot[k]) return true;
    }
    return false;
}

}  // namespace

// The conditionals taken without their frames check CONDITIONAL_ROOM once;
// their condition's and branch's readers then check no room of their own.
static_assert(CONDITIONAL_ROOM >= 4 + OPERATOR_ROOM, "a conditional's room covers its frames and operators");

// A conditional's branch of set-words of simple values, none reading a word
// stored before it, then an exit call read_exit_call takes, or no exit
// after at least one store: nothing in it can fail or be seen, so its
// stores and exit are made without the branch's frame and the
// conditional's (not open yet), which the exit would close at once; with
// no exit the branch's value, the last one stored, goes into *out. Takes
// the steps of the branch's expressions, and with an exit `steps` (those
// of the conditional's call, and of its expression where no frame took
// it) and the exit call's. False, having done nothing, for any other
// branch and near either stack's or the budget's end. The fast paths are
// on (the caller checked).
[[gnu::noinline]] bool branch_exit(const Cell* branch, u32 steps, Cell* out) {
    SeriesBuffer* b = block::buffer_of(branch);
    const CodeView view{block::cells_of(b), cell_count(b)};
    u32 pos = series_head(branch);
    if (((b->flags & SERIES_LIBRARY) != 0) != in_library || stack::top + CONDITIONAL_ROOM >= stack::end ||
        stack::frame_top + CONDITIONAL_ROOM > stack::frame_end)
        return false;
    // The set-words, each with its plain slot as fast_set_word stores, none
    // reading a word stored before it.
    BranchStores st;
    while (pos < view.tail && TYPE_OF(view.cells + pos) == TYPE_SET_WORD) {
        if (st.count == BRANCH_STORES) return false;
        Cell* slot = context::plain_slot(view.cells + pos);
        u32 stop;
        const u32 next = slot ? simple_value(view.cells, pos + 1, view.tail, &st.value[st.count], &stop, {},
                                             {Room::KNOWN, nullptr, false})
                              : 0;
        if (!next || (st.count && reads_stored(view.cells, pos + 1, next, st))) return false;
        st.slot[st.count++] = slot;
        pos = next;
    }
    if (pos == view.tail && st.count) {
        if (budget::spent && budget::left <= st.count) return false;
        budget::steps(st.count);
        for (u32 k = 0; k < st.count; k++) *st.slot[k] = st.value[k];
        *out = st.value[st.count - 1];
        return true;
    }
    // Then the exit, its argument reading none of them either.
    const Cell* fn;
    char probe;
    ExitCall e;
    // The steps of the branch's expressions and of the exit's call.
    steps += 2 + st.count;
    if (pos >= view.tail || TYPE_OF(view.cells + pos) != TYPE_WORD || !(fn = peek_word(view.cells + pos)) ||
        TYPE_OF(fn) != TYPE_NATIVE || (budget::spent && budget::left <= steps) ||
        &probe < machine_stack::limit + 16384 || read_exit_call(fn, view, pos + 1, &e) != view.tail ||
        (st.count && reads_stored(view.cells, pos + 1, view.tail, st)))
        return false;
    budget::steps(steps);
    for (u32 k = 0; k < st.count; k++) *st.slot[k] = st.value[k];
    stack::exit_to(e.target, e.code, &e.value);
    return true;
}

// The value a branch made without its frame leaves where the frame would
// (its first cell, then the chooser's result), unless it exited.
[[gnu::always_inline]] inline void branch_value(const Cell& v) {
    if (exiting()) [[unlikely]] return;
    *stack::top++ = v;
    *stack::arguments = v;
}

// Whether a block may be a branch branch_exit makes: led by a set-word,
// or a word alone or with one value after it (`break`, `return x`) that
// holds an exit native. Other branches (led by a call) are turned away
// here, without a lookup where they are longer.
[[gnu::always_inline]] inline bool exit_branch_q(const Cell* code) {
    if (TYPE_OF(code) != TYPE_BLOCK || !fast_paths_on()) return false;
    const SeriesBuffer* b = block::buffer_of(code);
    const u32 head = series_head(code);
    const u32 tail = cell_count(b);
    if (head >= tail) return false;
    const Cell* c = block::cells_of(b) + head;
    const Cell* fn;
    return TYPE_OF(c) == TYPE_SET_WORD || (tail - head <= 2 && TYPE_OF(c) == TYPE_WORD && (fn = peek_word(c)) &&
                                           TYPE_OF(fn) == TYPE_NATIVE && exit_native_q(fn));
}

void run_branch(const Cell* code) {
    Cell v;
    if (exit_branch_q(code) && branch_exit(code, 0, &v)) return branch_value(v);
    run_block(code);
}

void evaluate_branch(Cell* code) {
    Cell v;
    if (TYPE_OF(code) == TYPE_BLOCK && fast_paths_on() &&
        (simple_branch_value(code, 1, &v) || (exit_branch_q(code) && branch_exit(code, 1, &v))))
        return branch_value(v);
    evaluate(code, true);
}

void evaluate_held(Cell* code) {
    // The library's guarded blocks start with natives and routines, which
    // the branch's call would only turn away: they go the general way.
    if (block::buffer_of(code)->flags & SERIES_LIBRARY) return evaluate(code, true);
    // evaluate's checks, less its rooted copy: the value stack holds the block.
    machine_stack::check();
    budget::step();
    enter_branch(code);
}

namespace {

// The record of `switch` (`fn`) where its spec is the native's own; null
// for one made from a spec of its own.
[[gnu::always_inline]] inline const CallRecord* switch_record(const Cell* fn) {
    const CallRecord* rec = call_record(fn, TYPE_NATIVE);
    return rec && rec->conditional ? rec : nullptr;
}

// The arguments of `switch value [cases]` from `pos` of `cells`, up to
// `tail` (with `fallback`, a literal default block after the cases): the
// value one simple expression (see simple_value), the cases a literal block
// with no operator after the last block. Reads the call and chooses its
// branch as the native does (natives::switch_match) without evaluating
// anything or pushing: the branch into *branch (null: none, the call's
// value none), the position after the call answered; 0 for any other shape.
[[gnu::always_inline]] inline u32 read_switch(const Cell* cells, u32 pos, u32 tail, const Cell** branch,
                                              bool fallback = false) {
    Cell value;
    u32 stop;
    const u32 next = simple_value(cells, pos, tail, &value, &stop);
    // Values whose comparison is the runtime's own, which calls nothing and
    // cannot fail.
    static constexpr u64 compared = PLAIN_TYPES | 1ull << TYPE_WORD | 1ull << TYPE_LIT_WORD |
                                    1ull << TYPE_GET_WORD | 1ull << TYPE_SET_WORD | 1ull << TYPE_ISSUE |
                                    1ull << TYPE_REFINEMENT;
    const u32 end = next + 1 + fallback;
    if (!next || end > tail || TYPE_OF(cells + next) != TYPE_BLOCK ||
        (fallback && TYPE_OF(cells + next + 1) != TYPE_BLOCK) || operator_follows(cells, end, tail) ||
        !(TYPE_OF(&value) < 64 && (compared >> TYPE_OF(&value) & 1)))
        return 0;
    if (!natives::switch_match(&value, cells + next, branch) && fallback) *branch = cells + next + 1;
    return end;
}

// The branch a switch read by read_switch chose, not one made without
// frames: run as the native runs it, in the native's frame (its first
// argument the branch, as the native leaves it), opened now. Answers the
// position after the call.
[[gnu::noinline]] u32 switch_frame(Cell* fn, Cell* name, Cell* code, bool sub, const Cell* branch, u32 next) {
    machine_stack::check();
    budget::step();
    const Cell chosen = *branch;
    stack::push(fn);
    stack::mark_kind82(name);
    Cell* a = stack::top;
    a[0] = chosen;
    stack::top = a + 1;
    enter_branch(a);
    if (exiting()) [[unlikely]] return next;
    call_return(code, next, name, sub, false);
    return next;
}

// frameless_conditional's switch.
[[gnu::noinline]] u32 frameless_switch(const Cell* fn, const Cell* cells, u32 pos, u32 tail, Cell* out) {
    const Cell* branch;
    const u32 next = switch_record(fn) ? read_switch(cells, pos + 1, tail, &branch) : 0;
    if (!next) return 0;
    if (!branch) make_cell(out, TYPE_NONE);
    else if (!simple_branch_value(branch, 2, out, true) && !branch_exit(branch, 2, out)) return 0;
    return next;
}

}  // namespace

u32 frameless_conditional(const Cell* fn, const Cell* cells, u32 pos, u32 tail, Cell* out) {
    if (stack::top + CONDITIONAL_ROOM >= stack::end || stack::frame_top + CONDITIONAL_ROOM > stack::frame_end)
        return 0;
    Conditional c;
    if (!read_conditional(fn, cells, pos + 1, tail, &c, {Room::KNOWN}))
        return native::entry_of(fn) == natives::N_SWITCH ? frameless_switch(fn, cells, pos, tail, out) : 0;
    if (!c.branch) make_cell(out, TYPE_NONE);
    // The steps of the conditional's expression and of its call, then the branch's.
    else if (!simple_branch_value(c.branch, 2, out, true) && !branch_exit(c.branch, 2, out)) return 0;
    return c.next;
}

namespace {


// A branch chosen before anything was pushed (null: none, the value none),
// the call ending before `next`: made without the frames where it is simple
// (see simple_branch_value) or one branch_exit makes, its value left where
// lean_return leaves it; else `framed` runs it in the chooser's frame and
// answers the position after the call. The position reached into *pos_io.
// The caller made sure of CONDITIONAL_ROOM above `start`.
template <class Framed>
[[gnu::always_inline]] inline void chosen_branch(Cell* start, const Cell* branch, u32 next, u32* pos_io, bool sub,
                                                 Framed framed) {
    Cell v;
    if (!branch) {
        make_cell(&v, TYPE_NONE);
    } else if (!simple_branch_value(branch, 2, &v, true)) {
        // The chooser's call step, then the branch's.
        if (!branch_exit(branch, 1, &v)) {
            *pos_io = framed();
            return;
        }
        if (exiting()) [[unlikely]] {
            *pos_io = next;
            return;
        }
    }
    // As lean_return leaves the value.
    *start = v;
    stack::top = start + 1;
    if (!sub) *stack::arguments = v;
    *pos_io = next;
}

// A conditional by word that read_conditional reads, with room for
// everything the lean call would open: its branch is chosen before anything
// is pushed. When the branch is simple (see simple_branch_value), or `if`
// has none to run, nothing in the call can fail or be seen and its value
// goes where the lean call leaves it, without the frames; otherwise the
// conditional's frame is opened over the values read here and the branch
// runs in it, as the lean call runs it, unless it is one branch_exit
// makes without them (its stores, then its exit or its value). False, having done nothing, for
// any other call (the lean call then takes it).
[[gnu::always_inline]] inline bool direct_conditional(Cell* fn, Cell* name, Cell* code, u32* pos_io, u32 tail,
                                                      bool sub) {
    Cell* start = stack::top;
    // Most natives called by word are no conditional: turned away first.
    const u32 index = native::entry_of(fn);
    if (!conditional_index_q(index) || !fast_paths_on() ||
        start + CONDITIONAL_ROOM >= stack::end || stack::frame_top + CONDITIONAL_ROOM > stack::frame_end)
        return false;
    CodeView view;
    view.read(code, tail);
    Conditional c;
    if (!read_conditional(fn, view.cells, *pos_io, view.tail, &c, {Room::KNOWN})) return false;
    // The frame's route inline here, as the lean call's own.
    chosen_branch(start, c.branch, c.next, pos_io, sub, [&]() __attribute__((always_inline)) {
        return conditional_call_inline(fn, name, code, sub, c);
    });
    return true;
}

// A switch that read_switch reads, with room for everything the lean call
// would open, taken as direct_conditional takes a conditional, its branch
// run in the native's frame (switch_frame) where it needs frames. By word,
// or by path (`path`, its refinement items from `ref_item`) whose one item
// names the default, its block read after the cases. False, having done
// nothing, for any other call.
[[gnu::noinline]] bool direct_switch(Cell* fn, Cell* name, Cell* code, u32* pos_io, u32 tail, bool sub,
                                     const Cell* path, u32 ref_item) {
    Cell* start = stack::top;
    if (!fast_paths_on() || start + CONDITIONAL_ROOM >= stack::end ||
        stack::frame_top + CONDITIONAL_ROOM > stack::frame_end)
        return false;
    const CallRecord* rec = switch_record(fn);
    if (!rec) return false;
    if (path) {
        const SeriesBuffer* pb = block::buffer_of(path);
        const Cell* item = block::cells_of(pb) + ref_item;
        if (cell_count(pb) != ref_item + 1 || TYPE_OF(item) != TYPE_WORD ||
            find_refinement(rec, item) != rec->ref_entry[0])
            return false;
    }
    CodeView view;
    view.read(code, tail);
    const Cell* branch;
    const u32 pos = read_switch(view.cells, *pos_io, view.tail, &branch, path != nullptr);
    if (!pos) return false;
    chosen_branch(start, branch, pos, pos_io, sub, [&] { return switch_frame(fn, name, code, sub, branch, pos); });
    return true;
}

// Whether a function call can be laid out and its body read before its
// frame opens (see frameless_function_call): no compiled body nor lit-word
// parameters, and its named refinements take no arguments.
[[gnu::always_inline]] inline bool frameless_q(const CallRecord* rec, const NamedRefs& named) {
    return rec->frameless && named.argless && !trace.active;
}

// A call's arguments from `*pos_io` in `view`, each one simple_arg takes
// at once and of its parameter's types, laid out from `a` where the lean
// call lays them, its refinement slots after them, those named (`named`,
// as bits of their cache indexes) set, then its locals (the top left above
// them); the position after them, or 0, having laid out nothing that
// counts, for any other argument. The caller made sure of room for
// CONDITIONAL_ROOM frames and cells above the function's frame and the
// cells laid (laid_cells).
//
// Each word is looked up once: a word that ends an argument's operators (it
// holds no operator) is the next argument's, and its slot is kept for it.
[[gnu::always_inline]] inline u32 lay_simple_args(const CallRecord* rec, u64 named, const CodeView& view, Cell* a,
                                                  u32 pos) {
    const u32 args = rec->shape & SHAPE_ARGS_MASK;
    Cell* const top = a + args;
    const u64* types = rec->type_bits;
    const Cell* const cells = view.cells;
    const u32 tail = view.tail;
    const bool fast = fast_paths_on();
    // The slot of the word at `pos`, where the operators before it looked it up.
    const Cell* known = nullptr;
    for (Cell* p = a; p < top; p++, types++) {
        if (pos >= tail) return 0;
        const Cell* c = cells + pos;
        const u32 t = TYPE_OF(c);
        const Cell* v = t == TYPE_WORD ? (known ? known : fast ? peek_word(c) : nullptr) : c;
        known = nullptr;
        if (!fast || !v || (v == c ? !plain_value_q(t) : !held_value_q(TYPE_OF(v)))) {
            // A call of a function!, which simple_arg never takes: declined
            // without the try.
            if (v && v != c && TYPE_OF(v) == TYPE_FUNCTION) return 0;
            // Any other argument (a path, a lit-word, a call simple_value
            // takes), and every one with the fast paths off.
            pos = simple_arg(view, pos, false, p, Room::KNOWN);
            if (!pos || !(*types >> TYPE_OF(p) & 1)) return 0;
            continue;
        }
        // A word holding a value or a literal, then number operators, as
        // simple_value does them.
        Cell x = *v;
        for (pos++; pos < tail && TYPE_OF(cells + pos) == TYPE_WORD; pos += 2) {
            const Cell* op = peek_word(cells + pos);
            if (op && TYPE_OF(op) != TYPE_OP) {
                known = op;
                break;
            }
            FastOp kind;
            Cell inner;
            const Cell* right;
            if (!op || pos + 1 >= tail || (kind = fast_op_of(op)) == FAST_NONE ||
                !(right = simple_operand(cells + pos + 1, &inner)) || !fast_compute(kind, &x, right))
                return 0;
        }
        *p = x;
        if (!(*types >> TYPE_OF(p) & 1)) return 0;
    }
    stack::top = lay_slots(rec, named, top);
    return pos;
}

// lay_simple_args out of line, for the lean word call (read_frameless<true>):
// the simple arguments' reading keeps its registers and stack out of that
// recursive call's machine frame.
[[gnu::noinline]] u32 lay_simple_args_apart(const CallRecord* rec, u64 named, const CodeView& view, Cell* a, u32 pos) {
    return lay_simple_args(rec, named, view, a, pos);
}

// A frameless_q call laid out by lay_simple_args and its body read over
// the arguments (read_body) as it is read while the body runs: what
// read_body answered. UNREAD, having read nothing, where lay_simple_args
// declined, and for a body that is no block (which the lean call then
// runs).
template <bool Apart = false>
[[gnu::always_inline]] inline BlockShape read_frameless(const CallRecord* rec, u64 named, const Cell* fn,
                                                        const CodeView& view, Cell* a, u32* pos_io, Cell* body,
                                                        BlockConditional* bc, Cell* out) {
    u32 pos = Apart ? lay_simple_args_apart(rec, named, view, a, *pos_io) : lay_simple_args(rec, named, view, a, *pos_io);
    if (!pos) return BlockShape::UNREAD;
    *pos_io = pos;
    return read_body(rec, fn, a, body, bc, out);
}

// A function call (after its stack check and step) whose arguments are
// all ones lean_arg takes at once and of the parameters' types, whose
// named refinements take no arguments, and which is frameless_q: its
// arguments, refinement slots, locals and the function value are laid out where
// the lean call lays them, and its body read (read_body) before the frame
// opens. A body that needs no frames (SIMPLE) leaves its value where the
// call would, the function's frame never opened: nothing in the call can
// fail or be seen. Any other body runs in the frame opened then over the
// arguments in place, with what read_body read of it. False, having
// changed nothing that counts, for any other call.
[[gnu::always_inline]] inline bool frameless_function_call(const CallRecord* rec, const NamedRefs& named,
                                                           const LeanSite& s, u32* pos_io, bool sub) {
    Cell* start = stack::top;
    if (!frameless_q(rec, named) || !fast_paths_on() || start + 1 + laid_cells(rec) + CONDITIONAL_ROOM >= stack::end ||
        stack::frame_top + 2 + CONDITIONAL_ROOM > stack::frame_end)
        return false;
    CodeView view;
    view.read(s.code, s.tail);
    Cell* a = start + 1;
    u32 pos = *pos_io;
    Cell body;
    BlockConditional bc;
    Cell v;
    BlockShape read = read_frameless<true>(rec, named.on, s.fn, view, a, &pos, &body, &bc, &v);
    if (read == BlockShape::UNREAD) return false;
    if (read == BlockShape::SIMPLE) {
        // As lean_return leaves the value.
        *start = v;
        stack::top = start + 1;
        if (!sub) *stack::arguments = v;
        *pos_io = pos;
        return true;
    }
    Cell* top = stack::top;
    *start = *s.fn;
    stack::top = a;
    stack::mark_kind81(s.name);
    stack::top = top;
    run_body(s.fn, &body, read, &bc);
    *pos_io = pos;
    if (exiting()) [[unlikely]] return true;
    lean_return(s, pos, sub);
    return true;
}

// A function's or routine's refinement slots after its plain arguments:
// every refinement has its logic cell and argument slots, unused at first.
[[gnu::always_inline]] inline void push_unused_refinements(const CallRecord* rec) {
    const u32 slots = rec->slots;
    if (!slots) return;
    u64 logic = rec->slot_logic;
    Cell* c = stack::top;
    if (c + slots >= stack::end) stack::overflow();
    for (u32 k = 0; k < slots; k++) c[k] = Cell{logic >> k & 1 ? TYPE_LOGIC : TYPE_NONE, 0, 0, 0};
    stack::top = c + slots;
}

// Entering a lean call: an operand's expression step, then the call's own;
// one stack check serves both (the same machine frame).
[[gnu::always_inline]] inline void lean_enter(const LeanFrom& from) {
    if (from.operand) budget::step();
    machine_stack::check();
    budget::step();
}

// An exit call by word that read_exit_call takes, made without the
// native's frame, with the call's stack check and step. False, having done
// nothing, for any other call: the lean call then makes it in its frame.
// Out of line: the caller turns most natives away by exit_native_q, and
// the lean calls around it keep their registers.
[[gnu::noinline]] bool direct_exit(Cell* fn, Cell* code, u32* pos_io, u32 tail) {
    if (!fast_paths_on() || stack::top + CONDITIONAL_ROOM >= stack::end ||
        stack::frame_top + CONDITIONAL_ROOM > stack::frame_end)
        return false;
    CodeView view;
    view.read(code, tail);
    ExitCall e;
    const u32 pos = read_exit_call(fn, view, *pos_io, &e);
    if (!pos) return false;
    lean_enter({});
    stack::exit_to(e.target, e.code, &e.value);
    *pos_io = pos;
    return true;
}

// The body of a function whose frame the lean call opened over its
// arguments, slots and locals, read over them first as read_body reads a
// call laid out before its frame opens: a simple value is not run, a
// conditional, guard or one call is run from what the read found. Where
// the call is not frameless_q or there is not the room the read takes, the
// body runs as any. Out of line: the lean word call's machine frame stays
// as it was.
[[gnu::noinline]] void run_laid_body(const CallRecord* rec, const Cell* fn) {
    Cell body;
    if (!rec->frameless || stack::top + CONDITIONAL_ROOM >= stack::end ||
        stack::frame_top + 1 + CONDITIONAL_ROOM > stack::frame_end) {
        body = rec->body;
        run_body(fn, &body);
        return;
    }
    BlockConditional bc;
    Cell v;
    const BlockShape read = read_body(rec, fn, stack::arguments, &body, &bc, &v);
    if (read == BlockShape::SIMPLE) {
        // As run_body leaves a simple body's value.
        *stack::top++ = v;
        *stack::arguments = v;
        return;
    }
    run_body(fn, &body, read, &bc);
}

// A function's or routine's refinement slots after its plain arguments,
// the ones a path names set, with their arguments stored after each logic
// cell (one cell per cache entry from there).
[[gnu::always_inline]] inline u32 lay_refinement_slots(const LeanSite& s, u32 type, const CallRecord*& rec,
                                                      node_t more, CodeView& view, const NamedRefs& named, u32 pos) {
    push_unused_refinements(rec);
    for (u32 u = 0; u < named.count; u++) {
        const i32 slot = static_cast<i32>(named.at[u]);
        make_cell(stack::arguments + slot, TYPE_LOGIC, 1);
        pos = lean_refinement_args(s, type, rec, more, view, named.at[u], pos, slot);
        if (exiting()) [[unlikely]] return pos;
    }
    return pos;
}

// A function! called by word or path: its frame, arguments, refinement
// slots and locals laid out as the generic fetch lays them, then its body.
[[gnu::always_inline]] inline bool lean_function_call(Cell* fn, Cell* name, Cell* code, u32* pos_io, u32 tail,
                                                      bool sub, const LeanFrom& from) {
    const CallRecord* rec = call_record(fn, TYPE_FUNCTION);
    if (!rec) return false;
    const u32 shape = rec->shape;
    NamedRefs named;
    if (from.path && !match_refinements(rec, from.path, from.ref_item, &named)) return false;
    const node_t more = function::more_of(fn);
    const LeanSite s{fn, name, code, tail, false};

    lean_enter(from);
    if (!from.unread && frameless_function_call(rec, named, s, pos_io, sub)) return true;
    stack::push(fn);
    stack::mark_kind81(name);
    CodeView view;
    view.read(code, tail);
    u32 pos = lean_args(s, TYPE_FUNCTION, rec, more, view, shape & SHAPE_ARGS_MASK, *pos_io);
    *pos_io = pos;
    if (exiting()) [[unlikely]] return true;
    pos = lay_refinement_slots(s, TYPE_FUNCTION, rec, more, view, named, pos);
    *pos_io = pos;
    if (exiting()) [[unlikely]] return true;
    if (rec->locals) function::init_locals(static_cast<i32>(rec->locals));
    if (!trace.active && !rec->compiled) {
        run_laid_body(rec, fn);
    } else {
        call_function(fn, 0, name, 0);
    }
    *pos_io = pos;
    if (exiting()) [[unlikely]] return true;
    lean_return(s, pos, sub);
    return true;
}

// An argument that is a call of a function! by word (`f g x`, `tak tak x -
// 1 y z ...`, `fn` the word's value), then any operators after its value:
// made by the lean function call at once, the expression's step taken with
// the call's; else as eval_sub makes it. Out of line: the callers of
// arg_word_call for other values keep a small frame.
[[gnu::noinline]] u32 arg_function_call(Cell* code, const Cell* c, const Cell* fn_in, u32 pos, u32 tail) {
    Cell w = *c, fn = *fn_in;
    Cell* start = stack::top;
    u32 next = pos + 1;
    if (!lean_function_call(&fn, &w, code, &next, tail, true, {.operand = true}))
        return eval_word_arg(&w, &fn, code, pos, tail);
    // Most words after an argument's call start the next argument: turned
    // away here, the operators' chain asked for the others.
    CodeView view;
    view.read(code, tail);
    const Cell* after = view.cells + next;
    const Cell* op;
    if (exiting() || next >= view.tail || TYPE_OF(after) != TYPE_WORD ||
        ((op = peek_word(after)) && TYPE_OF(op) != TYPE_OP))
        return next;
    return arg_operators(start, code, next, tail);
}

// An argument that is a call by word of a function of any kind, then any
// operators after its value: made as eval_sub makes it, less the
// expression's dispatch. False, having done nothing, where the word holds
// no function. Out of line: the lean calls around it keep their registers.
[[gnu::noinline]] bool arg_word_call(Cell* code, const Cell* c, u32* pos_io, u32 tail) {
    const Cell* v = peek_word(c);
    if (!v || !function_type_q(TYPE_OF(v))) return false;
    *pos_io = TYPE_OF(v) == TYPE_FUNCTION ? arg_function_call(code, c, v, *pos_io, tail)
                                          : eval_word_arg(c, v, code, *pos_io, tail);
    return true;
}

// A routine! called by word or path: its frame, arguments and refinement
// slots laid out as the generic fetch lays them (a function's, no locals),
// then its entry.
[[gnu::always_inline]] inline bool lean_routine_call(Cell* fn, Cell* name, Cell* code, u32* pos_io, u32 tail,
                                                     bool sub, const LeanFrom& from) {
    const CallRecord* rec = call_record(fn, TYPE_ROUTINE);
    if (!rec || (rec->shape >> SHAPE_LOCALS_SHIFT & LEAN_MAX_LOCALS)) return false;
    NamedRefs named;
    if (from.path && !match_refinements(rec, from.path, from.ref_item, &named)) return false;
    const node_t more = function::more_of(fn);
    const LeanSite s{fn, name, code, tail, false};
    lean_enter(from);
    stack::push(fn);
    stack::mark_kind82(name);
    CodeView view;
    view.read(code, tail);
    u32 pos = lean_args(s, TYPE_ROUTINE, rec, more, view, rec->shape & SHAPE_ARGS_MASK, *pos_io);
    *pos_io = pos;
    if (exiting()) [[unlikely]] return true;
    pos = lay_refinement_slots(s, TYPE_ROUTINE, rec, more, view, named, pos);
    *pos_io = pos;
    if (exiting()) [[unlikely]] return true;
    call_routine(fn);
    if (exiting()) [[unlikely]] return true;
    lean_return(s, pos, sub);
    return true;
}

// All refinements unused (-1), in a few wide stores (never a call of
// memset, whose byte loop would cost more than the call it serves); an
// action's typed entry with none named needs no refinement list.
[[gnu::always_inline]] inline void unused_refs(u32 shape, i32* refs) {
    using Chunk [[gnu::vector_size(16), gnu::may_alias, gnu::aligned(4)]] = i32;
    const Chunk none = {-1, -1, -1, -1};
    Chunk* c = reinterpret_cast<Chunk*>(refs);
    c[0] = none;
    if (!(shape & SHAPE_REFS)) return;
    c[1] = none, c[2] = none, c[3] = none, c[4] = none, c[5] = none, c[6] = none, c[7] = none;
}

// The entry of a native or action (`index`, its call's `shape`) whose
// arguments sit in its open frame: the number fast path, a conditional's,
// any/all's and an exit's work directly, an action's typed series shapes,
// else the entry. `refs`: a native's refinement positions, or an action's
// where it names one (`named`); an action's with none named are set here
// where its entry needs them.
[[gnu::always_inline]] inline void builtin_entry(u32 type, u32 index, u32 shape, bool named, i32* refs) {
    Cell* a = stack::arguments;
    FastOp kind;
    if ((shape & SHAPE_ARGS_MASK) == 2 && !named && number_q(a) && number_q(a + 1) &&
        (kind = fast_op_for(type, index)) != FAST_NONE && fast_compute(kind, a, a + 1)) {
    } else if (type == TYPE_NATIVE) {
        // The conditionals directly, as their entries do it (their
        // arguments are checked already).
        switch (index) {
            case natives::N_IF:
            case natives::N_UNLESS:
                if (logic::false_arg_q() != (index == natives::N_UNLESS)) make_cell(a, TYPE_NONE);
                else run_branch(a + 1);
                break;
            case natives::N_EITHER:
                if (TYPE_OF(a) == TYPE_UNSET) fire("script", "no-return");
                run_branch(a + (logic::is_true(a) ? 1 : 2));
                break;
            case natives::N_ANY:
            case natives::N_ALL:
                // Its expressions run in place; a tracer sees the native's own walk.
                if (fast_paths_on()) any_all(index == natives::N_ALL);
                else call_builtin(TYPE_NATIVE, index, refs);
                break;
            // The exits directly, as their entries make them (arguments
            // checked already): each costs about a call.
            case natives::N_RETURN:
            case natives::N_EXIT:
                stack::throw_exit(index == natives::N_RETURN, false);
                break;
            case natives::N_BREAK:
            case natives::N_CONTINUE:
                stack::throw_break(refs[0] >= 0, index == natives::N_CONTINUE);
                break;
            default:
                call_builtin(TYPE_NATIVE, index, refs);
        }
    } else if (named) {
        call_builtin(TYPE_ACTION, index, refs);
    } else if (!actions::plain_series_slot_q(index) ||
               !(actions::typed_append(index) || actions::plain_series_action(index))) {
        // The typed series shapes, tried here, are not tried again.
        unused_refs(shape, refs);
        call_builtin(TYPE_ACTION, index, refs, true);
    }
}

// A native! or action! called by word, path or operator: its arguments,
// the refinement positions its entry reads, then the entry (or the number
// fast path, or a conditional's direct entry).
[[gnu::always_inline]] inline bool lean_builtin_call(Cell* fn, Cell* name, Cell* code, u32* pos_io, u32 tail,
                                                     bool sub, bool infix, const LeanFrom& from) {
    const u32 type = TYPE_OF(fn);
    const CallRecord* rec = call_record(fn, type);
    if (!rec) return false;
    const u32 shape = rec->shape;
    const u32 args = shape & SHAPE_ARGS_MASK;
    if (infix && args == 0) return false;
    NamedRefs named;
    if (from.path && !match_refinements(rec, from.path, from.ref_item, &named)) return false;
    const node_t more = function::more_of(fn);
    const LeanSite s{fn, name, code, tail, infix};

    lean_enter(from);
    if (!infix) stack::push(fn);
    stack::mark_kind82(name);
    // The left operand sits at the frame's first slot: below the top, so
    // that the collector sees it while the right one is evaluated.
    if (infix) stack::keep();
    CodeView view;
    view.read(code, tail);
    u32 pos = lean_args(s, type, rec, more, view, args, *pos_io);
    *pos_io = pos;
    if (exiting()) [[unlikely]] return true;

    i32 refs[32];
    if (type == TYPE_NATIVE || named.count) unused_refs(shape, refs);
    for (u32 u = 0; u < named.count; u++) {
        // The named refinement: set, then its arguments pushed in order.
        u32 c = named.at[u];
        u32 number = cache_entries(rec->cache_node, rec->cache_head).cells[c].data3;
        if (number >= 1 && number <= 32) refs[number - 1] = static_cast<i32>(stack::top - stack::arguments);
        pos = lean_refinement_args(s, type, rec, more, view, c, pos, 0);
        *pos_io = pos;
        if (exiting()) [[unlikely]] return true;
    }

    builtin_entry(type, native::entry_of(fn), shape, named.count != 0, refs);
    *pos_io = pos;
    if (exiting()) [[unlikely]] return true;
    lean_return(s, pos, sub);
    return true;
}

// The arguments of a native or action from the `first` on, fetched in its
// open frame as the lean call fetches them. Out of line: most calls lay
// them all before the frame opens.
[[gnu::noinline]] u32 builtin_rest_args(const LeanSite& s, const CallRecord* rec, u32 pos, u32 first) {
    CodeView view;
    view.read(s.code, s.tail);
    return lean_args(s, TYPE_OF(s.fn), rec, function::more_of(s.fn), view, rec->shape & SHAPE_ARGS_MASK, pos, first);
}

}  // namespace

namespace {

// laid_builtin_call and laid_builtin_call_rest (REST): two functions, so
// that a call whose arguments are all laid neither asks nor keeps what the
// rest would need.
template <bool REST>
[[gnu::always_inline]] inline u32 laid_builtin_at(Cell* fn, Cell* name, Cell* code, u32 pos, u32 tail, u32 laid,
                                                  const CallRecord* rec, u32 shape) {
    const u32 type = TYPE_OF(fn);
    budget::step();
    lean_enter({});
    stack::push(fn);
    stack::mark_kind82(name);
    stack::top += laid;
    if constexpr (REST) {
        pos = builtin_rest_args({fn, name, code, tail, false}, rec, pos, laid);
        if (exiting()) [[unlikely]] return pos;
    }
    i32 refs[32];
    if (type == TYPE_NATIVE) unused_refs(shape, refs);
    builtin_entry(type, native::entry_of(fn), shape, false, refs);
    if (exiting()) [[unlikely]] return pos;
    call_return(code, pos, name, false, false);
    return pos;
}

}  // namespace

void laid_builtin_call(Cell* fn, Cell* name, Cell* code, u32 next, u32 args, u32 shape) {
    laid_builtin_at<false>(fn, name, code, next, 0, args, nullptr, shape);
}

u32 laid_builtin_call_rest(Cell* fn, Cell* name, Cell* code, u32 pos, u32 tail, u32 laid, const CallRecord* rec) {
    return laid_builtin_at<true>(fn, name, code, pos, tail, laid, rec, rec->shape);
}

namespace {

// A function!, routine!, native! or action! called by word or path, its value pushed
// (sub) or made the frame result; false, having done nothing, when the lean
// call declines.
[[gnu::always_inline]] inline bool lean_call(Cell* fn, Cell* name, Cell* code, u32* pos_io, u32 tail, bool sub,
                                             const LeanFrom& from) {
    u32 type = TYPE_OF(fn);
    if (type == TYPE_FUNCTION) return lean_function_call(fn, name, code, pos_io, tail, sub, from);
    if (type != TYPE_NATIVE && type != TYPE_ACTION) return type == TYPE_ROUTINE && lean_routine_call(fn, name, code, pos_io, tail, sub, from);
    if (type == TYPE_NATIVE) {
        // Most natives called are neither a conditional nor switch: turned away first.
        const u32 index = native::entry_of(fn);
        if (conditional_index_q(index) ? !from.path && direct_conditional(fn, name, code, pos_io, tail, sub)
                                       : index == natives::N_SWITCH &&
                                             direct_switch(fn, name, code, pos_io, tail, sub, from.path, from.ref_item))
            return true;
    }
    return lean_builtin_call(fn, name, code, pos_io, tail, sub, false, from);
}

// An operator's operand that is a call (`1 + length? s`, `x + f/twice 3`):
// the call its expression would make, less the expression's dispatch.
// False, having done nothing, for an operand that is not a call through a
// word, or a path call the lean call declines. Out of line, one function
// per kind: the lean calls around them keep their registers.
[[gnu::noinline]] bool operand_word_call(Cell* code, const Cell* c, u32* pos_io, u32 tail) {
    const Cell* v = peek_word(c);
    if (!v || !function_type_q(TYPE_OF(v))) return false;
    expression_step();
    Cell w = *c, fn = *v;
    u32 next = *pos_io + 1;
    if (!lean_call(&fn, &w, code, &next, tail, true, {}))
        next = eval_code_at(&fn, code, *pos_io + 1, tail, true, {.name = &w});
    *pos_io = next;
    return true;
}

[[gnu::noinline]] bool operand_path_call(Cell* code, const Cell* c, u32* pos_io, u32 tail) {
    Cell path = *c;
    Cell w, fn;
    u32 head;
    if (!path_callee(&path, &w, &fn, &head)) return false;
    u32 next = *pos_io + 1;
    if (!lean_call(&fn, &w, code, &next, tail, true, {&path, head, true})) return false;
    *pos_io = next;
    return true;
}

// The rest of a call of an operator of two plain parameters (`rec` its
// current record) once its right operand is the frame's second value: the
// operand's type checked, the operator applied (numbers in place), its
// frame closed. Shared by lean_op_call and operator_word_call.
[[gnu::always_inline]] inline void operator_finish(Cell* fn, Cell* name, Cell* code, u32 type, u64 right_types,
                                                   u32 pos, bool sub) {
    // The right operand's evaluation may have ended in an exit.
    if (exiting()) [[unlikely]] return;
    Cell* a = stack::arguments;
    u32 t = TYPE_OF(a + 1);
    if (t >= 64 || !(right_types >> t & 1)) [[unlikely]] {
        expect_arg(fn, name, a + 1, 1);
        return;
    }
    u32 index = native::entry_of(fn);
    FastOp kind;
    if (!number_q(a) || !number_q(a + 1) || (kind = fast_op_for(type, index)) == FAST_NONE ||
        !fast_compute(kind, a, a + 1)) {
        call_builtin_plain(type, index);
        if (exiting()) [[unlikely]] return;
    }
    // As lean_return leaves an operator's value.
    if (sub) stack::unwind();
    else stack::unwind_last();
    if (enabled()) fire_event(EVT_RETURN, code, static_cast<i32>(pos), name, stack::get_top());
}

}  // namespace

namespace {

// Inline where frameless_append asks it at every append.
[[gnu::always_inline]] inline bool read_append_types(const Cell* fn, AppendTypes* types) {
    const CallRecord* rec = call_record(fn, TYPE_ACTION);
    if (!rec || (rec->shape & (SHAPE_ARGS_MASK | SHAPE_LIT_MASK)) != 2) return false;
    *types = {rec->type_bits[0], rec->type_bits[1]};
    return true;
}

}  // namespace

bool append_types(const Cell* fn, AppendTypes* types) { return read_append_types(fn, types); }

namespace {

// The rest of frameless_append where its value (at `pos`) is a word
// holding a function: the call made without frames where it needs none
// (see frameless_call_value), then the append as frameless_append makes
// it, with the steps of the value's expression and call too. Out of line:
// the appends of simple values keep their registers.
[[gnu::noinline]] u32 append_call_value(const Cell* f, const Cell* cells, u32 pos, u32 tail, Cell series,
                                        const AppendTypes& types, Cell* out, bool* retry, bool* called) {
    Cell value;
    const u32 next = steps_fit_q(4) ? frameless_call_value(f, cells, pos, tail, 2, &value, retry) : 0;
    if (!next || !append_in_place(&series, &value, types)) return 0;
    *retry = *called = true;
    budget::steps(3);
    *out = series;
    return next;
}

}  // namespace

u32 frameless_append(const Cell* fn, const Cell* cells, u32 pos, u32 tail, Cell* out, bool* retry, bool* called) {
    AppendTypes types;
    *retry = true;
    if (!append_room_q()) return 0;
    *retry = false;
    if (!read_append_types(fn, &types)) return 0;
    Cell series, value, f;
    u32 stop;
    const u32 at = simple_value(cells, pos + 1, tail, &series, &stop);
    if (!at) return 0;
    // The value's first word's function, as simple_value finds it.
    f.header = TYPE_NONE;
    const u32 next = simple_value(cells, at, tail, &value, &stop, {}, {Room::CHECK, nullptr, true, &f});
    if (!next) {
        if (TYPE_OF(&f) != TYPE_FUNCTION) return 0;
        return append_call_value(&f, cells, at, tail, series, types, out, retry, called);
    }
    *retry = true;
    if (!append_in_place(&series, &value, types)) return 0;
    budget::step();
    *out = series;
    return next;
}

// set_word_operator_call's call (of `fn`, its arguments laid out from the
// top, three cells above it, to `top`) whose body read_body did not read as
// SIMPLE (`read`, `body`, `bc`): it runs in its frames, opened now over the
// arguments in place as eval_set_word, lean_op_call and
// frameless_function_call open them: the set-word's, the operator's over
// its left operand, the function's over the function value; then the
// operator's value is made and its frame closed, as lean_op_call does.
// What is left of the set-word is the caller's. False, having opened
// nothing, for an operator whose call the lean call would not make.
// Out of line: the calls that need no frames stay small.
[[gnu::noinline]] bool operator_call_framed(const Cell* word, Cell* code, u32 tail, u32 stop, Cell left, Cell* fn,
                                            Cell* top, Cell* body, BlockShape read, BlockConditional* bc, u32 pos) {
    Cell* start = stack::top;
    const Cell* cells = block::cells_of(block::buffer_of(code));
    Cell op_word = cells[stop];
    Cell opfn = *peek_word(&op_word);
    set_type(&opfn, op::wrapped_type(&opfn));
    const u32 type = TYPE_OF(&opfn);
    const CallRecord* rec = builtin_q(type) ? call_record(&opfn, type) : nullptr;
    if (!rec || (rec->shape & (SHAPE_ARGS_MASK | SHAPE_REFS | SHAPE_LIT_MASK)) != 2 || !(rec->type_bits[0] >> TYPE_OF(&left) & 1))
        return false;
    const u64 right_types = rec->type_bits[1];
    // The word the call is made by: the operand, or its path's first item.
    const Cell* c = cells + stop + 1;
    Cell fn_word = TYPE_OF(c) == TYPE_WORD ? *c : block::cells_of(block::buffer_of(c))[series_head(c)];
    Cell set_word = *word;
    stack::mark_kind82(&set_word);
    *start = set_word;
    start[1] = left;
    stack::top = start + 1;
    stack::mark_kind82(&op_word);
    start[2] = *fn;
    stack::top = start + 3;
    stack::mark_kind81(&fn_word);
    stack::top = top;
    // The steps of the operator's call, its operand's expression and the
    // function's call.
    budget::steps(3);
    run_body(fn, body, read, bc);
    if (exiting()) [[unlikely]] return true;
    lean_return({fn, &fn_word, code, tail, false}, pos, true);
    operator_finish(&opfn, &op_word, code, type, right_types, pos, true);
    return true;
}

namespace {

// The end of set_word_operator_call: the value `x` stored and left as
// fast_set_word leaves it, with the steps of the operator's call, its
// operand's expression and the operand's call, taken at once; nothing,
// having changed nothing, where the word needs the generic store (a change
// handler).
[[gnu::always_inline]] inline OperatorSetWordEnd store_operator_value(const Cell* word, const Cell& x, u32 pos,
                                                                      bool sub) {
    Cell* slot = context::plain_slot(word);
    if (!slot) return {};
    budget::steps(3);
    Cell* start = stack::top;
    *slot = x;
    *start = x;
    stack::top = start + 1;
    if (!sub) *stack::arguments = x;
    return {pos, false};
}

// set_word_operator_call's operand that is length? by word (`fn` its
// action) of a block! or string! given as simple_arg takes it (`x: x +
// length? s`): nothing in the call can fail or be seen, so its value is
// read off the series, with room checked for the frames the generic path
// would open (the set-word's, the operator's and length?'s). Out of line:
// the function operand's path keeps its frame.
[[gnu::noinline]] OperatorSetWordEnd set_word_length_call(const Cell* word, const CodeView& view, const Cell& left,
                                                          FastOp kind, u32 stop, bool sub, const Cell* fn) {
    if (native::entry_of(fn) != ACT_LENGTH_Q || stack::top + 4 + OPERATOR_ROOM >= stack::end ||
        stack::frame_top + 3 + OPERATOR_ROOM > stack::frame_end)
        return {};
    u32 pos = stop + 2;
    Cell series, x = left, v;
    u32 s;
    if (pos >= view.tail || !(pos = simple_arg(view, pos, false, &series)) || !actions::series_length(&series, &v) ||
        !fast_compute(kind, &x, &v) || !(pos = infix_simple(view.cells, pos, view.tail, &x, &s)))
        return {};
    return store_operator_value(word, x, pos, sub);
}

// set_call_operator and laid_set_call (interpreter_detail.h), in line in
// set_word_builtin_call.
[[gnu::always_inline]] inline bool set_call_operator_at(const Cell* op_value, const Cell* left, SetCall* c) {
    c->opfn = *op_value;
    set_type(&c->opfn, op::wrapped_type(&c->opfn));
    const u32 op_type = TYPE_OF(&c->opfn);
    const CallRecord* orec = builtin_q(op_type) ? call_record(&c->opfn, op_type) : nullptr;
    if (!orec || (orec->shape & (SHAPE_ARGS_MASK | SHAPE_REFS | SHAPE_LIT_MASK)) != 2 ||
        !(orec->type_bits[0] >> TYPE_OF(left) & 1))
        return false;
    // The right operand's types, read before the call may take the record's slot.
    c->right_types = orec->type_bits[1];
    return true;
}

// `rec`: the callee's record, as it is before the call. OP: c.op.
template <bool OP>
[[gnu::always_inline]] inline u32 laid_set_call_at(const SetCall& c, const CallRecord* rec, Cell* code, u32 pos,
                                                   u32 tail, u32 laid) {
    Cell* const start = stack::top;
    Cell* const a = start + (OP ? 3 : 2);
    Cell set_word = *c.set_word, fn = *c.fn, fn_word = *c.fn_word;
    stack::mark_kind82(&set_word);
    *start = set_word;
    Cell op_word;
    if constexpr (OP) {
        op_word = *c.op_word;
        start[1] = *c.left;
        stack::top = start + 1;
        stack::mark_kind82(&op_word);
    }
    a[-1] = fn;
    stack::top = a;
    stack::mark_kind82(&fn_word);
    stack::top = a + laid;
    // The steps of its value's expression (over an operator: the
    // operator's call and its operand's expression) and of the call: the
    // caller made sure of the budget's room.
    budget::steps(OP ? 3 : 2);
    const u32 type = TYPE_OF(&fn);
    const u32 shape = rec->shape;
    if (laid < (shape & SHAPE_ARGS_MASK)) {
        pos = builtin_rest_args({&fn, &fn_word, code, tail, false}, rec, pos, laid);
        if (exiting()) [[unlikely]] return pos;
    }
    i32 refs[32];
    if (type == TYPE_NATIVE) unused_refs(shape, refs);
    builtin_entry(type, native::entry_of(&fn), shape, false, refs);
    if (exiting()) [[unlikely]] return pos;
    call_return(code, pos, &fn_word, true, false);
    if constexpr (OP) {
        Cell opfn = c.opfn;
        operator_finish(&opfn, &op_word, code, TYPE_OF(&opfn), c.right_types, pos, true);
    }
    return pos;
}

}  // namespace

bool set_call_operator(const Cell* op_value, const Cell* left, SetCall* c) {
    return set_call_operator_at(op_value, left, c);
}

u32 laid_set_call(const SetCall& c, const CallRecord* rec, Cell* code, u32 pos, u32 tail, u32 laid) {
    return c.op ? laid_set_call_at<true>(c, rec, code, pos, tail, laid)
                : laid_set_call_at<false>(c, rec, code, pos, tail, laid);
}

namespace {

// set_word_operator_call's operand that is a call of a native or action by
// word (`called`; `s: s + select m k`), the operator's (`op_word` at
// `stop`) taking `left`: the call's leading arguments that simple_arg
// takes, of their parameters' types, laid where its frame takes them
// (nothing in those can fail, run code or be seen), then the call made in
// its frames by laid_set_call. What is left of the set-word is the
// caller's (set_word_framed_end). Nothing, having opened nothing, for a
// conditional's or an exit's native, a lit-word parameter, an operator
// that does not take `left` and near either stack's end: the generic path
// makes those. Out of line: the function operand's path keeps its frame.
[[gnu::noinline]] OperatorSetWordEnd set_word_builtin_call(const Cell* word, Cell* code, const CodeView& view,
                                                           Cell left, u32 stop, u32 tail, const Cell* called) {
    SetCall c;
    c.op_word = view.cells + stop;
    if (!set_call_operator_at(peek_word(c.op_word), &left, &c)) return {};
    c.fn = called;
    const u32 type = TYPE_OF(called);
    const u32 index = native::entry_of(called);
    const CallRecord* rec;
    // The conditionals and exits keep their own ways.
    if ((type == TYPE_NATIVE && (conditional_index_q(index) || exit_native_q(called))) ||
        !(rec = call_record(called, type)) || (rec->shape & SHAPE_LIT_MASK))
        return {};
    const u32 args = rec->shape & SHAPE_ARGS_MASK;
    Cell* const a = stack::top + 3;
    if (!laid_set_room_q(true, args)) return {};
    u32 pos = stop + 2;
    u32 laid = 0;
    for (; laid < args && pos < view.tail; laid++) {
        const u32 next = simple_arg(view, pos, false, a + laid, Room::KNOWN);
        if (!next || !(rec->type_bits[laid] >> TYPE_OF(a + laid) & 1)) break;
        pos = next;
    }
    c.set_word = word;
    c.left = &left;
    c.fn_word = view.cells + stop + 1;
    return {laid_set_call_at<true>(c, rec, code, pos, tail, laid), true};
}

// set_word_operator_call, `view` read from `code` up to `tail`.
[[gnu::always_inline]] inline OperatorSetWordEnd set_word_operator_call_as(const Cell* word, Cell* code,
                                                                           const CodeView& view, Cell left, u32 stop,
                                                                           u32 tail, bool sub, OperatorReach reach) {
    Cell* start = stack::top;
    if (stop + 1 >= view.tail || trace.active || !number_q(&left)) return {};
    // The operand's kind first: a call by word of a function, native or
    // action, or a path.
    const Cell* c = view.cells + stop + 1;
    const Cell* called = nullptr;
    if (TYPE_OF(c) == TYPE_WORD) {
        called = peek_word(c);
        if (!called || (TYPE_OF(called) != TYPE_FUNCTION && !builtin_q(TYPE_OF(called)))) return {};
    } else if (TYPE_OF(c) != TYPE_PATH) {
        return {};
    }
    const Cell* ow = view.cells + stop;
    const Cell* op = TYPE_OF(ow) == TYPE_WORD ? peek_word(ow) : nullptr;
    FastOp kind;
    if (!op || TYPE_OF(op) != TYPE_OP || (kind = fast_op_of(op)) == FAST_NONE) return {};
    // The steps the operator's call and its operand's take; nearer the
    // budget's end, and nearer the machine stack's, the calls are made
    // (the loops' caller made sure of the budget's room).
    char probe;
    if ((budget::spent && budget::left <= 4) || &probe < machine_stack::limit + 16384) return {};
    // The operand: a function called by word or by a path naming
    // refinements that take no arguments, or a native or action by word.
    Cell fn;
    u64 named = 0;
    const CallRecord* rec;
    if (called) {
        if (TYPE_OF(called) != TYPE_FUNCTION) {
            // A native or action: length? of a series read off it, any
            // other call made in its frames.
            OperatorSetWordEnd end;
            if (TYPE_OF(called) == TYPE_ACTION && native::entry_of(called) == ACT_LENGTH_Q)
                end = set_word_length_call(word, view, left, kind, stop, sub, called);
            if (end.next || reach != OperatorReach::ANY) return end;
            return set_word_builtin_call(word, code, view, left, stop, tail, called);
        }
        fn = *called;
        if (!(rec = call_record(&fn, TYPE_FUNCTION))) return {};
    } else if (TYPE_OF(c) == TYPE_PATH) {
        Cell w;
        u32 head;
        if (!path_function<true>(c, &w, &fn, &head)) return {};
        if (!(rec = call_record(&fn, TYPE_FUNCTION)) || !match_argless_refinements(rec, c, head + 1, &named)) return {};
    } else {
        return {};
    }
    // Where the generic path lays the callee's arguments out (over the
    // set-word, the left operand and the function value), with room for
    // the frames it opens: the set-word's, the operator's and what the
    // function's call asks room for.
    Cell* a = start + 3;
    if (rec->compiled || (rec->shape & SHAPE_LIT_MASK) ||
        a + laid_cells(rec) + CONDITIONAL_ROOM >= stack::end ||
        stack::frame_top + 4 + CONDITIONAL_ROOM > stack::frame_end)
        return {};
    u32 pos = stop + 2;
    Cell body;
    BlockConditional bc;
    Cell v;
    const BlockShape read = read_frameless(rec, named, &fn, view, a, &pos, &body, &bc, &v);
    Cell* const top = stack::top;
    stack::top = start;
    if (read != BlockShape::SIMPLE) [[unlikely]] {
        if (reach != OperatorReach::ANY || read == BlockShape::UNREAD ||
            !operator_call_framed(word, code, tail, stop, left, &fn, top, &body, read, &bc, pos))
            return {};
        return {pos, true};
    }
    Cell x = left;
    u32 s;
    if (!fast_compute(kind, &x, &v) || !(pos = infix_simple(view.cells, pos, view.tail, &x, &s))) return {};
    return store_operator_value(word, x, pos, sub);
}

}  // namespace

OperatorSetWordEnd set_word_operator_call(const Cell* word, Cell* code, Cell left, u32 stop, u32 tail, bool sub,
                                          OperatorReach reach) {
    CodeView view;
    view.read(code, tail);
    return set_word_operator_call_as(word, code, view, left, stop, tail, sub, reach);
}

BlockShape read_word_call(const Cell* cells, u32 pos, u32 tail, u32 frames, WordCall* out, const Cell* fn) {
    const Cell* v = fn ? fn : peek_word(cells + pos);
    if (!v || TYPE_OF(v) != TYPE_FUNCTION) return BlockShape::UNREAD;
    out->fn = *v;
    out->word = cells[pos];
    const CallRecord* rec = call_record(&out->fn, TYPE_FUNCTION);
    NamedRefs named;
    Cell* start = stack::top;
    // The room frameless_function_call asks, above the `frames` frames.
    if (!rec || !frameless_q(rec, named) ||
        start + 1 + laid_cells(rec) + CONDITIONAL_ROOM >= stack::end ||
        stack::frame_top + frames + 2 + CONDITIONAL_ROOM > stack::frame_end)
        return BlockShape::UNREAD;
    const CodeView view{cells, tail};
    out->next = pos + 1;
    BlockShape read = read_frameless(rec, named.on, &out->fn, view, start + 1, &out->next, &out->body, &out->bc,
                                     &out->value);
    if (read == BlockShape::UNREAD) stack::top = start;
    return read;
}

u32 frameless_call_value(const Cell* fn, const Cell* cells, u32 pos, u32 tail, u32 lead, Cell* out, bool* unseen) {
    if (TYPE_OF(fn) != TYPE_FUNCTION || !fast_paths_on() || !frameless_machine_room_q()) return 0;
    const CallRecord* rec = call_record(fn, TYPE_FUNCTION);
    if (!rec) {
        // The function's first call makes what its record is made from.
        *unseen = true;
        return 0;
    }
    // Where the generic path lays its arguments, with the room
    // frameless_function_call asks there.
    Cell* const top = stack::top;
    Cell* const a = top + lead + 1;
    if (!frameless_q(rec, {}) || a + laid_cells(rec) + CONDITIONAL_ROOM >= stack::end ||
        stack::frame_top + (lead ? 1 : 0) + 2 + CONDITIONAL_ROOM > stack::frame_end || !quiet_read_q(rec))
        return 0;
    Cell body, v;
    BlockConditional bc;
    u32 next = lay_simple_args(rec, 0, {cells, tail}, a, pos + 1);
    const BlockShape read = next ? read_body(rec, fn, a, &body, &bc, &v) : BlockShape::UNREAD;
    stack::top = top;
    if (read != BlockShape::SIMPLE) return 0;
    u32 stop;
    next = infix_simple(cells, next, tail, &v, &stop);
    if (next) *out = v;
    return next;
}

// Each entry its own copy of the lean call, with what cannot apply to its
// kind of call left out.
namespace {

// An exit's native called by word: made by direct_exit where it takes it,
// else by the lean call. Apart, so that the common call's machine frame
// stays as small as it was.
[[gnu::noinline]] bool exit_word_call(Cell* fn, Cell* name, Cell* code, u32* pos_io, u32 tail, bool sub) {
    return direct_exit(fn, code, pos_io, tail) || lean_call(fn, name, code, pos_io, tail, sub, {});
}

}  // namespace

bool lean_word_call(Cell* fn, Cell* name, Cell* code, u32* pos_io, u32 tail, bool sub) {
    if (TYPE_OF(fn) == TYPE_NATIVE && exit_native_q(fn)) [[unlikely]]
        return exit_word_call(fn, name, code, pos_io, tail, sub);
    return lean_call(fn, name, code, pos_io, tail, sub, {});
}

bool lean_unread_call(Cell* fn, Cell* name, Cell* code, u32* pos_io, u32 tail) {
    return lean_function_call(fn, name, code, pos_io, tail, false, {.unread = true});
}

bool lean_path_call(Cell* fn, Cell* name, Cell* code, u32* pos_io, u32 tail, const Cell* path, u32 ref_item) {
    return lean_call(fn, name, code, pos_io, tail, true, {path, ref_item});
}

namespace {

// lean_op_call's shapes other than two plain parameters, and its right
// operand when that is not a call: out of line, so that the operator call,
// which recurs with the calls in its operands, keeps a small frame.
[[gnu::noinline]] bool lean_op_builtin(Cell* fn, Cell* name, Cell* code, u32* pos_io, u32 tail, bool sub) {
    return lean_builtin_call(fn, name, code, pos_io, tail, sub, true, {});
}

[[gnu::noinline]] u32 op_operand_arg(Cell* fn, Cell* name, Cell* code, u32 tail, const CallRecord* rec, u32 pos) {
    const LeanSite s{fn, name, code, tail, true};
    CodeView view;
    view.read(code, tail);
    return lean_arg(s, TYPE_OF(fn), rec, function::more_of(fn), view, 1, pos, true);
}

}  // namespace

bool lean_op_call(Cell* fn, Cell* name, Cell* code, u32* pos_io, u32 tail, bool sub) {
    u32 type = TYPE_OF(fn);
    if (type != TYPE_NATIVE && type != TYPE_ACTION) return false;
    const CallRecord* rec = call_record(fn, type);
    if (!rec) return false;
    // Two plain parameters and no refinements, the shape of every number
    // operator: lean_builtin_call with what that shape fixes folded in.
    if ((rec->shape & (SHAPE_ARGS_MASK | SHAPE_REFS | SHAPE_LIT_MASK)) != 2) return lean_op_builtin(fn, name, code, pos_io, tail, sub);
    machine_stack::check();
    budget::step();
    stack::mark_kind82(name);
    // The left operand at the frame's first slot, under the top so that the
    // collector sees it while the right one is evaluated.
    stack::keep();
    Cell* a = stack::arguments;
    u32 t = TYPE_OF(a);
    if (t >= 64 || !(rec->type_bits[0] >> t & 1)) [[unlikely]] {
        expect_arg(fn, name, a, 0);
        return true;
    }
    // The right operand's types, read before it runs code that may take
    // the record's slot: they are the value's own.
    const u64 right_types = rec->type_bits[1];
    SeriesBuffer* cb = block::buffer_of(code);
    u32 pos = *pos_io;
    u32 live = cell_count(cb);
    u32 view_tail = tail < live ? tail : live;
    if (pos >= view_tail) [[unlikely]] {
        no_arg(fn, name, 1);
        return true;
    }
    // The right operand is mostly a call here (infix_simple and fast_infix
    // take the simple ones): tried first, lean_arg for the rest.
    const Cell* c = block::cells_of(cb) + pos;
    u32 ct = TYPE_OF(c);
    if (!((ct == TYPE_WORD && operand_word_call(code, c, &pos, view_tail)) ||
          (ct == TYPE_PATH && operand_path_call(code, c, &pos, view_tail))))
        pos = op_operand_arg(fn, name, code, tail, rec, pos);
    operator_finish(fn, name, code, type, right_types, pos, sub);
    *pos_io = pos;
    return true;
}

u32 operator_word_call(Cell* fn, Cell* name, Cell* code, const Operand& operand, bool sub) {
    const u32 type = TYPE_OF(fn);
    if (type != TYPE_NATIVE && type != TYPE_ACTION) return 0;
    const CallRecord* rec = call_record(fn, type);
    if (!rec || (rec->shape & (SHAPE_ARGS_MASK | SHAPE_REFS | SHAPE_LIT_MASK)) != 2) return 0;
    const FastOp kind = fast_op_for(type, native::entry_of(fn));
    Cell* start = stack::top;
    // Room on the machine stack for the frames the lean call would run the
    // operand's call in: nearer its end the lean call raises the overflow.
    char probe;
    if (kind == FAST_NONE || !number_q(start) || !(rec->type_bits[0] >> TYPE_OF(start) & 1) ||
        &probe < machine_stack::limit + 16384 || (budget::spent && budget::left <= 3))
        return 0;
    // The operand's call laid out where the lean call lays it: above the
    // operator's frame, whose first value is the left operand.
    stack::top = start + 1;
    WordCall call;
    const BlockShape read = read_word_call(operand.cells, operand.pos, operand.tail, 1, &call, operand.value);
    Cell* const top = stack::top;
    stack::top = start;
    if (read == BlockShape::UNREAD) return 0;
    // SIMPLE: the operator's value, made once here.
    Cell x = *start;
    if (read == BlockShape::SIMPLE && (!(rec->type_bits[1] >> TYPE_OF(&call.value) & 1) ||
                                       !number_q(&call.value) || !fast_compute(kind, &x, &call.value)))
        return 0;
    // The steps of the operator's call, its operand's expression and the
    // operand's call.
    budget::step();
    budget::step();
    budget::step();
    if (read == BlockShape::SIMPLE) {
        // Nothing in the call can fail or be seen: its value where
        // operator_finish leaves it, without the frames.
        *start = x;
        stack::top = start + 1;
        if (!sub) *stack::arguments = *start;
        return call.next;
    }
    // The operator's frame, then the operand's call in its own, as
    // lean_op_call and frameless_function_call open them; the right
    // operand's types read first, as lean_op_call reads them.
    const u64 right_types = rec->type_bits[1];
    stack::mark_kind82(name);
    stack::keep();
    start[1] = call.fn;
    stack::top = start + 2;
    stack::mark_kind81(&call.word);
    stack::top = top;
    run_body(&call.fn, &call.body, read, &call.bc);
    if (exiting()) [[unlikely]] return call.next;
    call_return(code, call.next, &call.word, true, false);
    operator_finish(fn, name, code, type, right_types, call.next, sub);
    return call.next;
}

}  // namespace zav::interpreter
