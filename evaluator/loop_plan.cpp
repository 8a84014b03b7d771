// Reading and running a loop body's plan (see loop_plan.h).
#include "evaluator/loop_plan.h"

#include "datatypes/logic.h"
#include "evaluator/call_record.h"
#include "evaluator/natives.h"
#include "runtime/machine_stack.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zav::interpreter {

bool plan_conds(const PlanConds& c, Cell* out);

namespace {

// Where read_value puts the operators it reads: the plan's, or a paren's.
struct OpList {
    PlanOp* op;
    u8* count;
};

u32 read_value(LoopPlan& p, OpList ops, const Cell* cells, u32 pos, u32 tail, bool op_room, PlanValue* v);
u32 read_prefix_call(LoopPlan& p, OpList ops, const Cell* cells, u32 pos, u32 tail, bool op_room, PlanValue* v);

// Records where a paren's or branch's cells lie, copies them after those read
// so far for the check build, and marks their block decoded, so that a write
// to it makes the plan stale.
template <typename Part>
void keep_cells(LoopPlan& p, Part& r, SeriesBuffer* b, const Cell* cells, u32 head, u32 tail) {
    r.buffer = b;
    r.head = head;
    r.tail = tail;
    r.copy_at = p.cells_read;
#ifdef ZAV_STAMP_CHECK
    std::memcpy(p.copy + p.cells_read, cells + head, (tail - head) * sizeof(Cell));
#else
    (void)cells;
#endif
    memory::note_decoded(b);
    p.cells_read += tail - head;
}

// Whether the block [head, tail) of `b` can join the plan: not empty, in
// code of the plan's library state, and its cells, with those read so far,
// at most `limit`.
bool joins_plan(const LoopPlan& p, const SeriesBuffer* b, u32 head, u32 tail, u32 limit) {
    return head < tail && ((b->flags & SERIES_LIBRARY) != 0) == p.library && p.cells_read + (tail - head) <= limit;
}

// A paren operand as paren_operand takes it (one simple value, no paren in
// it, in code of the running code's library state) into a paren of the
// plan's, its cells copied after those read so far; null for any other.
const PlanParen* read_paren(LoopPlan& p, const Cell* paren, bool op_room) {
    if (p.parens == PLAN_PARENS) return nullptr;
    SeriesBuffer* b = block::buffer_of(paren);
    u32 head = series_head(paren);
    u32 tail = cell_count(b);
    if (!joins_plan(p, b, head, tail, PLAN_COPY)) return nullptr;
    PlanParen& r = p.paren[p.parens];
    r.ops = 0;
    const Cell* cells = block::cells_of(b);
    // A paren of one value, a lone operator word or more values is not one
    // simple value: read_value would stop short of its tail.
    if (read_value(p, {r.op, &r.ops}, cells, head, tail, op_room, &r.value) != tail) return nullptr;
    keep_cells(p, r, b, cells, head, tail);
    p.parens++;
    return &r;
}

// A call by word of a number operator's native or action, as
// simple_prefix_call takes it, read as its operator applied to its first
// argument's value: that argument a simple value, the second one cell (a
// literal or a word) that no operator follows. The native's types must
// take every number, so that a run need check only that the word holds it.
u32 read_prefix_call(LoopPlan& p, OpList ops, const Cell* cells, u32 pos, u32 tail, bool op_room, PlanValue* v) {
    const Cell* slot = peek_word(cells + pos);
    const CallRecord* rec;
    const FastOp kind = prefix_fast_op(slot, &rec);
    constexpr u64 numbers = 1ull << TYPE_INTEGER | 1ull << TYPE_FLOAT | 1ull << TYPE_CHAR;
    if (kind == FAST_NONE || !op_room || !p.call_room || (rec->type_bits[0] & numbers) != numbers ||
        (rec->type_bits[1] & numbers) != numbers)
        return 0;
    // No call in its arguments, as simple_prefix_call takes none.
    const Cell* first = pos + 1 < tail && TYPE_OF(cells + pos + 1) == TYPE_WORD ? peek_word(cells + pos + 1) : nullptr;
    if (first && builtin_q(TYPE_OF(first))) return 0;
    u32 next = read_value(p, ops, cells, pos + 1, tail, op_room, v);
    if (!next || next >= tail || *ops.count == PLAN_OPS) return 0;
    const Cell* right = cells + next;
    u32 rt = TYPE_OF(right);
    if (rt == TYPE_WORD ? !(right = peek_word(right)) : !plain_value_q(rt)) return 0;
    ops.op[(*ops.count)++] = {slot, right, nullptr, *slot, kind};
    v->end++;
    // What follows the second argument must not go on with it.
    v->after = nullptr;
    next++;
    if (next < tail && TYPE_OF(cells + next) == TYPE_WORD) {
        if (!(v->after = peek_word(cells + next)) || TYPE_OF(v->after) == TYPE_OP) return 0;
    }
    return next;
}

// Whether a path is an object's field (see object_field) holding a value
// now (a number, for an operator's operand): a plan reads it again at each
// run, where it may be another object's or hold another value.
bool field_operand_q(const Cell* path, bool number) {
    node_t ctx;
    const Cell* v = object_field(path, &ctx);
    return v && (number ? number_q(v) : held_value_q(TYPE_OF(v)));
}

// Whether a plan's value read was a held value (see read_value): its
// first operand's slot or literal holds one, or it is a field found holding
// one.
[[gnu::always_inline]] inline bool first_held_q(const PlanValue& v) {
    return v.path || held_value_q(TYPE_OF(v.first));
}

// A simple value from `pos`, read as simple_value reads it; answers the
// position after it, or 0 for anything a plan does not take. Only what
// cannot change while the plan stays current is decided here. A paren
// operand is taken where `ops` are the plan's own (no paren in a paren).
u32 read_value(LoopPlan& p, OpList ops, const Cell* cells, u32 pos, u32 tail, bool op_room, PlanValue* v) {
    if (pos >= tail) return 0;
    const Cell* c = cells + pos;
    const Cell* path = nullptr;
    if (TYPE_OF(c) == TYPE_WORD) {
        if (!(c = peek_word(c))) return 0;
        if (builtin_q(TYPE_OF(c))) return read_prefix_call(p, ops, cells, pos, tail, op_room, v);
    } else if (TYPE_OF(c) == TYPE_PATH) {
        if (!field_operand_q(c, false)) return 0;
        path = c;
        c = &field_operand;
    } else if (!plain_value_q(TYPE_OF(c))) {
        // Anything else a run would refuse each time: a plan that never
        // runs would be read again after every run (run_lean takes it).
        return 0;
    }
    *v = {c, nullptr, ops.op + *ops.count, ops.op + *ops.count, path};
    const Cell* w = cells + pos + 1;
    const Cell* end = cells + tail;
    if (w >= end || TYPE_OF(w) != TYPE_WORD) return pos + 1;
    if (!op_room) return 0;
    for (; w < end && TYPE_OF(w) == TYPE_WORD; w += 2) {
        const Cell* op = peek_word(w);
        if (!op) return 0;
        if (TYPE_OF(op) != TYPE_OP) {
            v->after = op;
            break;
        }
        FastOp kind = fast_op_of(op);
        const Cell* right = w + 1;
        if (kind == FAST_NONE || right >= end || *ops.count == PLAN_OPS) return 0;
        const PlanParen* paren = nullptr;
        const Cell* path = nullptr;
        if (TYPE_OF(right) == TYPE_PAREN) {
            if (ops.op != p.op || !(paren = read_paren(p, right, op_room))) return 0;
        } else if (TYPE_OF(right) == TYPE_PATH) {
            if (!field_operand_q(right, true)) return 0;
            path = right;
            right = &field_operand;
        } else if (TYPE_OF(right) == TYPE_WORD ? !(right = peek_word(right)) || function_type_q(TYPE_OF(right))
                                               : !plain_value_q(TYPE_OF(right))) {
            // A word holding a function is a call (`i < length? s`), which
            // a plan's operator does not make.
            return 0;
        }
        ops.op[(*ops.count)++] = {op, right, paren, *op, kind, path};
        v->end++;
    }
    return static_cast<u32>(w - cells);
}

// A plan's simple value, as simple_value makes it, into *out: a cell of
// the value stack above its top, which nothing reads until it is pushed, so
// that the value is made in memory rather than taken apart into registers.
// False where simple_value would not make the same value (*out is then
// left as it may be). A paren operand's value (PARENS) is made as
// paren_operand makes it.
template <bool PARENS>
[[gnu::always_inline]] inline bool plan_value(const PlanValue& pv, Cell* out) {
    // A literal first value was plain when read (and its cell is unchanged):
    // only a word's slot can hold anything else.
    const Cell* first = pv.first;
    node_t ctx;
    if (!held_value_q(TYPE_OF(first))) [[unlikely]] {
        if (first == &conds_operand) return plan_conds(*pv.conds, out);
        if (!pv.path || !(first = object_field(pv.path, &ctx)) || !held_value_q(TYPE_OF(first))) return false;
    }
    *out = *first;
    for (const PlanOp* o = pv.op; o < pv.end; o++) {
        if (!same_cell(o->slot, &o->op)) return false;
        const Cell* right = o->right;
        Cell inner;
        if constexpr (PARENS) {
            if (const PlanParen* r = o->paren) {
                if (!plan_value<false>(r->value, &inner)) return false;
                right = &inner;
            }
        }
        if (!fast_compute(o->kind, out, right)) [[unlikely]] {
            // (fast_compute turns field_operand away, changing nothing.)
            if (!o->path || !(right = object_field(o->path, &ctx)) || !fast_compute(o->kind, out, right)) return false;
        }
    }
    return !pv.after || TYPE_OF(pv.after) != TYPE_OP;
}

// Whether a plan's value reads `slot` (its first operand or an operator's
// right one). A field read reads its head word's slot too: it is taken as
// reading any.
bool value_reads(const PlanValue& v, const Cell* slot) {
    if (v.first == slot || v.path) return true;
    for (const PlanOp* o = v.op; o < v.end; o++)
        if (o->right == slot || o->path) return true;
    return false;
}

// The branch of an `if` (the block `branch`), read as a PlanBranch into
// the plan's; null, having kept nothing of it, for any other. `room`: room
// on the value stack at the plan's base for its values.
const PlanBranch* read_branch(LoopPlan& p, const Cell* branch, bool op_room, bool room) {
    SeriesBuffer* b = block::buffer_of(branch);
    const u32 head = series_head(branch);
    const u32 tail = cell_count(b);
    if (!room || p.branches == PLAN_BRANCHES || !joins_plan(p, b, head, tail, PLAN_COPY) || tail - head > BRANCH_CELLS)
        return nullptr;
    PlanBranch& r = p.branch[p.branches];
    const u8 ops = p.ops;
    const u8 parens = p.parens;
    const Cell* cells = block::cells_of(b);
    r.sets = 0;
    r.exit = 0;
    u32 pos = head;
    auto refuse = [&] {
        p.ops = ops;
        p.parens = parens;
        return nullptr;
    };
    while (pos < tail && TYPE_OF(cells + pos) == TYPE_SET_WORD) {
        Cell* slot;
        PlanValue& v = r.value[r.sets];
        if (r.sets == BRANCH_SETS || !(slot = context::plain_slot(cells + pos)) ||
            !(pos = read_value(p, {p.op, &p.ops}, cells, pos + 1, tail, op_room, &v)) || p.parens != parens)
            return refuse();
        for (u32 k = 0; k < r.sets; k++)
            if (value_reads(v, r.slot[k])) return refuse();
        r.slot[r.sets++] = slot;
    }
    if (pos < tail) {
        // An exit by word ending the branch, `return` with a simple value
        // (its spec is looked at when it runs: one not called yet has no
        // record).
        static_assert(natives::N_CONTINUE == natives::N_BREAK + 1 && natives::N_EXIT == natives::N_BREAK + 2 &&
                      natives::N_RETURN == natives::N_BREAK + 3);
        static constexpr u32 codes[] = {THROW_BREAK, THROW_CONTINUE, THROW_EXIT, THROW_RETURN};
        const Cell* fn;
        u32 index;
        if (TYPE_OF(cells + pos) != TYPE_WORD || !(fn = peek_word(cells + pos)) || TYPE_OF(fn) != TYPE_NATIVE ||
            (index = native::entry_of(fn) - natives::N_BREAK) > natives::N_RETURN - natives::N_BREAK)
            return refuse();
        if (index == natives::N_RETURN - natives::N_BREAK) {
            if (read_value(p, {p.op, &p.ops}, cells, pos + 1, tail, op_room, &r.result) != tail || p.parens != parens)
                return refuse();
            for (u32 k = 0; k < r.sets; k++)
                if (value_reads(r.result, r.slot[k])) return refuse();
        } else if (pos + 1 != tail) {
            return refuse();
        }
        r.exit = codes[index];
        r.exit_fn = fn;
        r.exit_native = *fn;
    }
    if (!r.sets && !r.exit) return refuse();
    // As branch_exit takes them: the stores', and the exit's expression and call.
    r.steps = r.sets + (r.exit ? 2 : 0);
    keep_cells(p, r, b, cells, head, tail);
    p.branch_steps += r.steps;
    p.branches++;
    return &r;
}

// The block of an `if` condition's `any` or `all` (the native `fn` holds),
// read as a PlanConds into the plan's: simple values, each a held value;
// null, having kept nothing of it, for any other.
const PlanConds* read_conds(LoopPlan& p, const Cell* fn, const Cell* block, bool op_room) {
    SeriesBuffer* b = block::buffer_of(block);
    const u32 head = series_head(block);
    const u32 tail = cell_count(b);
    if (p.conds == PLAN_CONDS || !joins_plan(p, b, head, tail, PLAN_COPY) || tail - head > COND_CELLS ||
        !any_all_known_q(fn))
        return nullptr;
    PlanConds& r = p.cond[p.conds];
    const u8 ops = p.ops;
    const u8 parens = p.parens;
    const Cell* cells = block::cells_of(b);
    r.count = 0;
    for (u32 pos = head; pos < tail; r.count++) {
        if (r.count == COND_VALUES || !(pos = read_value(p, {p.op, &p.ops}, cells, pos, tail, op_room, &r.value[r.count])) ||
            !first_held_q(r.value[r.count])) {
            p.ops = ops;
            p.parens = parens;
            return nullptr;
        }
    }
    r.fn = fn;
    r.native = *fn;
    r.all = native::entry_of(fn) == natives::N_ALL;
    r.parens = p.parens != parens;
    keep_cells(p, r, b, cells, head, tail);
    p.conds++;
    return &r;
}

// The condition of a plan's `if` from `pos`, or a value of its own: `any`
// or `all` of a block (see read_conds; the parens in the block are
// plan_conds' own: `parens` moves past them) or a simple value holding a
// value; answers the position after it, or 0 for any other.
u32 read_condition(LoopPlan& p, PlanExpr& e, const Cell* cells, u32 pos, u32 tail, bool op_room, u8& parens) {
    const Cell* fn;
    if (pos + 1 < tail && TYPE_OF(cells + pos) == TYPE_WORD && (fn = peek_word(cells + pos)) && any_all_native_q(fn)) {
        const PlanConds* conds;
        if (TYPE_OF(cells + pos + 1) != TYPE_BLOCK || !(conds = read_conds(p, fn, cells + pos + 1, op_room))) return 0;
        e.a = {&conds_operand, nullptr, p.op + p.ops, p.op + p.ops, {}};
        e.a.conds = conds;
        parens = p.parens;
        return pos + 2;
    }
    pos = read_value(p, {p.op, &p.ops}, cells, pos, tail, op_room, &e.a);
    return pos && first_held_q(e.a) ? pos : 0;
}

// Whether a native or action called by word as a statement is read as a
// plan's call: not the conditionals, switch and the exits, which have
// frameless ways of their own, nor a number operator's (read_prefix_call).
bool call_statement_q(const Cell* fn) {
    const u32 index = native::entry_of(fn);
    const CallRecord* rec;
    if (TYPE_OF(fn) == TYPE_NATIVE &&
        (conditional_index_q(index) || index == natives::N_SWITCH ||
         index - natives::N_BREAK <= natives::N_RETURN - natives::N_BREAK))
        return false;
    return prefix_fast_op(fn, &rec) == FAST_NONE;
}

u32 expression_end(const Cell* cells, u32 pos, u32 tail, u32 depth);

// Where an operand from `pos` ends, as the words hold now: a value, a paren,
// or a call by word of a function, native or action whose record is known
// (taking no lit-word), with its arguments' expressions; 0 for any other
// (a path, a set-word, ...) and past a depth of calls.
u32 operand_end(const Cell* cells, u32 pos, u32 tail, u32 depth) {
    if (pos >= tail) return 0;
    const Cell* c = cells + pos;
    const u32 t = TYPE_OF(c);
    if (t == TYPE_PAREN || t == TYPE_GET_WORD || plain_value_q(t)) return pos + 1;
    const Cell* v;
    if (t != TYPE_WORD || !(v = peek_word(c)) || TYPE_OF(v) == TYPE_OP) return 0;
    if (!function_type_q(TYPE_OF(v))) return held_value_q(TYPE_OF(v)) ? pos + 1 : 0;
    const CallRecord* rec = call_record(v, TYPE_OF(v));
    if (depth == 4 || !rec || (rec->shape & SHAPE_LIT_MASK)) return 0;
    pos++;
    for (u32 k = rec->shape & SHAPE_ARGS_MASK; pos && k > 0; k--) pos = expression_end(cells, pos, tail, depth + 1);
    return pos;
}

// Where an argument's expression from `pos` ends: an operand and the
// operators after it (see operand_end).
u32 expression_end(const Cell* cells, u32 pos, u32 tail, u32 depth) {
    pos = operand_end(cells, pos, tail, depth);
    const Cell* op;
    while (pos && pos < tail && TYPE_OF(cells + pos) == TYPE_WORD && (op = peek_word(cells + pos)) &&
           TYPE_OF(op) == TYPE_OP)
        pos = operand_end(cells, pos + 1, tail, depth);
    return pos;
}

// A call statement (call_statement_q) at `pos`, by word (its slot `fn`),
// into a call of the plan's: its arguments each a simple value holding a
// value now, the call's record taking one to CALL_ARGS of them and no
// lit-word. Answers the position after it, or 0.
u32 read_call(LoopPlan& p, PlanExpr& e, const Cell* cells, u32 pos, u32 tail, bool op_room, const Cell* fn) {
    const CallRecord* rec;
    u32 args;
    if (p.calls == PLAN_CALLS || !(rec = call_record(fn, TYPE_OF(fn))) || (rec->shape & SHAPE_LIT_MASK) ||
        !(args = rec->shape & SHAPE_ARGS_MASK) || args > CALL_ARGS)
        return 0;
    PlanCall& c = p.call[p.calls];
    c.set = false;
    c.op = nullptr;
    c.fn = fn;
    c.native = *fn;
    c.word = cells[pos];
    c.args = args;
    pos++;
    u32 k = 0;
    for (; k < args; k++) {
        const u8 ops = p.ops, parens = p.parens;
        const u32 cells_read = p.cells_read;
        const u32 next = read_value(p, {p.op, &p.ops}, cells, pos, tail, op_room, &c.arg[k]);
        if (!next || !first_held_q(c.arg[k])) {
            p.ops = ops;
            p.parens = parens;
            p.cells_read = cells_read;
            break;
        }
        pos = next;
    }
    c.laid = k;
    c.rest = pos;
    for (; k < args; k++)
        if (!(pos = expression_end(cells, pos, tail, 0))) return 0;
    p.calls++;
    c.next = pos;
    e.call = &c;
    return pos;
}

}  // namespace

bool set_call_q(const Cell* cells, u32 pos, u32 tail) {
    const u32 end = pos + 2 + 2 * PLAN_OPS < tail ? pos + 2 + 2 * PLAN_OPS : tail;
    for (u32 at = pos + 1; at < end && TYPE_OF(cells + at) != TYPE_SET_WORD; at++) {
        const Cell* fn;
        if (TYPE_OF(cells + at) == TYPE_WORD && (fn = peek_word(cells + at)) && builtin_q(TYPE_OF(fn)) &&
            call_statement_q(fn))
            return true;
    }
    return false;
}

namespace {

// A set-word at `pos` whose value is a call read_call takes, directly
// (`n: select m k`) or as the right operand of a number operator after a
// simple value (`s: s + select m k`), into a call of the plan's (see
// PlanCall). Answers the position after it, or 0.
u32 read_set_call(LoopPlan& p, PlanExpr& e, const Cell* cells, u32 pos, u32 tail, bool op_room) {
    auto call_at = [&](u32 at) -> const Cell* {
        const Cell* fn;
        return at < tail && TYPE_OF(cells + at) == TYPE_WORD && (fn = peek_word(cells + at)) &&
                       builtin_q(TYPE_OF(fn)) && call_statement_q(fn)
                   ? fn
                   : nullptr;
    };
    const Cell* fn = call_at(pos + 1);
    u32 at = pos + 1;
    PlanValue left;
    const Cell* op = nullptr;
    u32 op_at = 0;
    if (!fn) {
        // The operator whose right operand is the call: after the first
        // operand, at every other cell.
        if (!op_room) return 0;
        for (at = pos + 2; at + 1 < tail; at += 2) {
            if (TYPE_OF(cells + at) != TYPE_WORD || !(op = peek_word(cells + at)) || TYPE_OF(op) != TYPE_OP ||
                fast_op_of(op) == FAST_NONE)
                return 0;
            if ((fn = call_at(at + 1))) break;
        }
        if (!fn || read_value(p, {p.op, &p.ops}, cells, pos + 1, at, op_room, &left) != at || !first_held_q(left))
            return 0;
        op_at = at++;
    }
    if (!(at = read_call(p, e, cells, at, tail, op_room, fn))) return 0;
    PlanCall& c = p.call[p.calls - 1];
    c.set = true;
    c.set_word = cells[pos];
    if (op) {
        c.op = op;
        c.op_value = *op;
        c.op_word = cells[op_at];
        c.left = left;
    }
    return at;
}

// The kind of an expression that holds a paren operand: its values are
// made with their parens' (plan_value<true>), which others do not look for.
PlanKind paren_kind(PlanKind k) {
    if (k == PlanKind::SET) return PlanKind::PAREN_SET;
    return k == PlanKind::VALUE ? PlanKind::PAREN_VALUE : PlanKind::PAREN_APPEND;
}

}  // namespace

bool read_plan(LoopPlan& p, SeriesBuffer* body, u32 head, u32 tail, Cell* base, bool library) {
    const Cell* cells = block::cells_of(body);
    p.ready = false;
    p.library = library;
    if (tail - head > PLAN_CELLS) return false;
    // The room checks of run_lean's expressions, at `base`: the same at
    // every run while the stacks are where they are now.
    bool set_room = base + 2 < stack::end && stack::frame_top < stack::frame_end;
    bool op_room = stack::frame_top + OPERATOR_ROOM <= stack::frame_end && base + OPERATOR_ROOM < stack::end;
    bool append_room = append_stack_room_q(base);
    // As simple_prefix_call asks for a call's frame.
    p.call_room = stack::frame_top + OPERATOR_ROOM + 2 <= stack::frame_end && base + OPERATOR_ROOM + 4 < stack::end;
    p.exprs = p.ops = p.parens = p.branches = p.conds = p.calls = 0;
    p.steps = p.branch_steps = 0;
    // Room for a branch's values above the base.
    const bool branch_room = base + BRANCH_SETS + 2 < stack::end;
    p.cells_read = tail - head;
    const OpList ops{p.op, &p.ops};
    for (u32 pos = head; pos < tail;) {
        if (p.exprs == PLAN_EXPRS) return false;
        PlanExpr& e = p.expr[p.exprs++];
        u8 parens = p.parens;
        const u8 ops_before = p.ops;
        const u32 cells_before = p.cells_read;
        e.pos = pos;
        e.steps_before = p.steps;
        const Cell* c = cells + pos;
        const Cell* fn;
        p.steps++;
        if (TYPE_OF(c) == TYPE_SET_WORD) {
            e.kind = PlanKind::SET;
            if (!set_room || !(e.slot = context::plain_slot(c))) return false;
            if (const u32 next = read_value(p, ops, cells, pos + 1, tail, op_room, &e.a)) {
                pos = next;
            } else {
                // A value that is a call (read_set_call): made as a call's
                // statement is, with the steps of its value's expression
                // and call (and of an operator over it).
                p.ops = ops_before;
                p.parens = parens;
                p.cells_read = cells_before;
                e.kind = PlanKind::CALL;
                if (!(pos = read_set_call(p, e, cells, pos, tail, op_room))) return false;
                p.steps += e.call->op ? 3 : 2;
                continue;
            }
        } else if (TYPE_OF(c) == TYPE_SET_PATH) {
            // A field read again at each run, as its operands are.
            node_t ctx;
            e.kind = PlanKind::SET_FIELD;
            e.path = c;
            if (!set_room || !object_field(c, &ctx) || !(pos = read_value(p, ops, cells, pos + 1, tail, op_room, &e.a)) ||
                p.parens > parens)
                return false;
        } else if (TYPE_OF(c) == TYPE_WORD && (fn = peek_word(c)) && TYPE_OF(fn) == TYPE_ACTION &&
                   native::entry_of(fn) == ACT_APPEND) {
            e.kind = PlanKind::APPEND;
            if (!append_room) return false;
            e.fn = fn;
            e.action = *fn;
            p.steps++;
            if (!append_types(fn, &e.types) || !(pos = read_value(p, ops, cells, pos + 1, tail, op_room, &e.a)) ||
                !(pos = read_value(p, ops, cells, pos, tail, op_room, &e.b))) {
                // Values that hold a native's call: a call of the plan's.
                if (!set_call_q(cells, e.pos, tail)) return false;
                p.ops = ops_before;
                p.parens = parens;
                p.cells_read = cells_before;
                e.kind = PlanKind::CALL;
                if (!(pos = read_call(p, e, cells, e.pos, tail, op_room, fn))) return false;
                continue;
            }
        } else if (TYPE_OF(c) == TYPE_WORD && (fn = peek_word(c)) && any_all_native_q(fn)) {
            // `any` or `all` of a block as a value (a `while` condition),
            // no word after it (that could be an operator going on with it).
            e.kind = PlanKind::VALUE;
            if (!op_room || !(pos = read_condition(p, e, cells, pos, tail, op_room, parens)) ||
                (pos < tail && TYPE_OF(cells + pos) == TYPE_WORD))
                return false;
        } else if (TYPE_OF(c) == TYPE_WORD && (fn = peek_word(c)) && builtin_q(TYPE_OF(fn)) &&
                   !(TYPE_OF(fn) == TYPE_NATIVE && native::entry_of(fn) == natives::N_IF) && call_statement_q(fn)) {
            // Its expression's step is taken above, its call's here.
            e.kind = PlanKind::CALL;
            p.steps++;
            if (!(pos = read_call(p, e, cells, pos, tail, op_room, fn))) return false;
            // Its values hold parens where any do: run_plan does not make it.
            continue;
        } else if (TYPE_OF(c) == TYPE_WORD && (fn = peek_word(c)) && TYPE_OF(fn) == TYPE_NATIVE) {
            // `if` over a simple condition (as read_conditional takes it).
            e.kind = PlanKind::IF;
            e.fn = fn;
            e.action = *fn;
            e.after = nullptr;
            if (native::entry_of(fn) != natives::N_IF || !conditional_native(fn) || !op_room ||
                !(pos = read_condition(p, e, cells, pos + 1, tail, op_room, parens)) || pos >= tail ||
                TYPE_OF(cells + pos) != TYPE_BLOCK || p.parens > parens)
                return false;
            e.branch = read_branch(p, cells + pos, op_room, branch_room);
            pos++;
            if (pos < tail && TYPE_OF(cells + pos) == TYPE_WORD) {
                if (!(e.after = peek_word(cells + pos)) || TYPE_OF(e.after) == TYPE_OP) return false;
            }
        } else {
            e.kind = PlanKind::VALUE;
            if (!(pos = read_value(p, ops, cells, pos, tail, op_room, &e.a)) || !first_held_q(e.a))
                return false;
        }
        if (p.parens > parens) e.kind = paren_kind(e.kind);
    }
#ifdef ZAV_STAMP_CHECK
    std::memcpy(p.copy, cells + head, (tail - head) * sizeof(Cell));
#endif
    memory::note_decoded(body);
    p.epoch = memory::buffer_epoch;
    p.cells = cells;
    p.head = head;
    p.tail = tail;
    p.base = base;
    p.frame_top = stack::frame_top;
    p.frame_end = stack::frame_end;
    p.end = stack::end;
    p.ready = true;
    return true;
}

#ifdef ZAV_STAMP_CHECK
void check_plan_cells(const LoopPlan& p) {
    // A paren's or branch's cells as keep_cells copied them.
    auto kept = [&](const auto& r) {
        return cell_count(r.buffer) == r.tail &&
               std::memcmp(block::cells_of(r.buffer) + r.head, p.copy + r.copy_at, (r.tail - r.head) * sizeof(Cell)) ==
                   0;
    };
    bool same = std::memcmp(p.cells + p.head, p.copy, (p.tail - p.head) * sizeof(Cell)) == 0;
    for (u32 i = 0; same && i < p.parens; i++) same = kept(p.paren[i]);
    for (u32 i = 0; same && i < p.branches; i++) same = kept(p.branch[i]);
    for (u32 i = 0; same && i < p.conds; i++) same = kept(p.cond[i]);
    if (same) return;
    std::fprintf(stderr, "zav: a loop body's plan outlived a write to its cells\n");
    std::abort();
}
#endif

// The budget steps of the expressions run before `e` (from `first`), taken
// at once: no code runs in a plan, so nothing can tell when they were taken.
template <bool FROM>
[[gnu::always_inline]] inline u32 plan_stop(const PlanExpr* first, const PlanExpr* e, Cell* base) {
    if (budget::spent) budget::left -= FROM ? e->steps_before - first->steps_before : e->steps_before;
    stack::top = base;
    return e->pos;
}

// An `if`'s branch read with the plan, its condition true, the steps of the
// expressions before it (`before`) not taken yet: its values made (at
// `base` on) and stored, then its exit made. TAKEN where it stored and
// left its value (the last stored) at `base`, EXITED where its exit is
// pending (the steps before it and its `if`'s taken), NOT having done
// nothing where a value cannot be made as run_lean would make it or the
// exit's word no longer holds it. Out of run_plan's loop: branches run
// less often than the expressions around them.
enum class BranchRun { NOT, TAKEN, EXITED };
[[gnu::noinline]] BranchRun run_plan_branch(const PlanBranch& r, Cell* base, u32 before) {
    for (u32 k = 0; k < r.sets; k++)
        if (!plan_value<false>(r.value[k], base + k)) return BranchRun::NOT;
    CallFrame* target = nullptr;
    Cell* result = base + r.sets;
    if (r.exit) {
        // The native's own spec: no argument by word, `return` one of the
        // value's type.
        const bool returns = r.exit == THROW_RETURN;
        const CallRecord* rec;
        if (!same_cell(r.exit_fn, &r.exit_native) || !(rec = call_record(r.exit_fn, TYPE_NATIVE)) ||
            (rec->shape & (SHAPE_ARGS_MASK | SHAPE_LIT_MASK)) != returns ||
            (returns && (!plan_value<false>(r.result, result) || !(rec->type_bits[0] >> TYPE_OF(result) & 1))) ||
            !(target = stack::exit_target(r.exit == THROW_BREAK || r.exit == THROW_CONTINUE)))
            return BranchRun::NOT;
        if (!returns) make_cell(result, TYPE_UNSET);
    }
    for (u32 k = 0; k < r.sets; k++) *r.slot[k] = base[k];
    if (budget::spent) budget::left -= r.steps;
    if (!r.exit) {
        *base = base[r.sets - 1];
        return BranchRun::TAKEN;
    }
    // The steps of the expressions before the `if`, and its own.
    if (budget::spent) budget::left -= before + 1;
    const Cell value = *result;
    stack::exit_to(target, r.exit, &value);
    return BranchRun::EXITED;
}

// The value of an `if` condition's `any` or `all` (see PlanConds) into
// *out, as simple_any_all makes it: false, having done nothing, where its
// word no longer holds the native or a value read is not simple. Its
// values with parens (PARENS) or none.
template <bool PARENS>
[[gnu::always_inline]] inline bool plan_conds_of(const PlanConds& c, Cell* out) {
    bool decided = false;
    for (u32 k = 0; k < c.count; k++) {
        if (!plan_value<PARENS>(c.value[k], out)) return false;
        if (logic::is_true(out) != c.all) {
            decided = true;
            break;
        }
    }
    // `any` decided by a true value answers it, `all` by a false one none;
    // undecided, `all` answers its last value.
    if (decided == c.all) make_cell(out, TYPE_NONE);
    return true;
}

[[gnu::noinline]] bool plan_conds(const PlanConds& c, Cell* out) {
    if (!same_cell(c.fn, &c.native)) return false;
    return c.parens ? plan_conds_of<true>(c, out) : plan_conds_of<false>(c, out);
}

// An append of the plan's: false, having done nothing, where run_lean's
// would not do it in place.
template <bool PARENS>
[[gnu::always_inline]] inline bool plan_append(const PlanExpr* e, Cell* base) {
    // The stacks' room was there when the plan was read (and the budget's
    // is looked at by run_plan); the machine stack's is looked at here.
    return same_cell(e->fn, &e->action) && frameless_machine_room_q() && plan_value<PARENS>(e->a, base) &&
           plan_value<PARENS>(e->b, base + 1) && append_in_place(base, base + 1, e->types);
}

// An expression with a paren operand, or a field's store: out of
// run_plan's loop, which the others take without looking for parens.
[[gnu::noinline]] bool run_paren_expr(const PlanExpr* e, Cell* base) {
    switch (e->kind) {
        case PlanKind::SET_FIELD:
            return plan_value<false>(e->a, base) && store_object_field(e->path, base);
        case PlanKind::PAREN_SET:
            if (!plan_value<true>(e->a, base)) return false;
            *e->slot = *base;
            return true;
        case PlanKind::PAREN_VALUE:
            return plan_value<true>(e->a, base);
        default:
            return plan_append<true>(e, base);
    }
}

namespace {

// run_plan from expression `from` (the first where not FROM: the whole run).
template <bool FROM>
[[gnu::always_inline]] inline u32 run_plan_at(const LoopPlan& p, Cell* base, const PlanExpr* from) {
    const PlanExpr* const first = FROM ? from : p.expr;
    // With more budget than the run takes, no step below can spend it (nor
    // would run_lean's expressions decline for it).
    if (budget::spent && budget::left <= p.steps - (FROM ? first->steps_before : 0) + p.branch_steps + 2)
        return first->pos;
    for (const PlanExpr *e = first, *end = p.expr + p.exprs; e < end; e++) {
        switch (e->kind) {
            case PlanKind::SET:
                if (!plan_value<false>(e->a, base)) return plan_stop<FROM>(first, e, base);
                *e->slot = *base;
                break;
            case PlanKind::VALUE:
                if (!plan_value<false>(e->a, base)) return plan_stop<FROM>(first, e, base);
                break;
            case PlanKind::APPEND:
                if (!plan_append<false>(e, base)) return plan_stop<FROM>(first, e, base);
                break;
            case PlanKind::IF:
                // Its branch runs in its frames, from run_lean.
                if (!same_cell(e->fn, &e->action) || (e->after && TYPE_OF(e->after) == TYPE_OP) ||
                    !plan_value<false>(e->a, base))
                    return plan_stop<FROM>(first, e, base);
                if (!logic::is_true(base)) {
                    make_cell(base, TYPE_NONE);
                    break;
                }
                if (e->branch) {
                    const BranchRun run = run_plan_branch(*e->branch, base, e->steps_before - first->steps_before);
                    if (run == BranchRun::TAKEN) break;
                    if (run == BranchRun::EXITED) return p.tail | PLAN_TAKEN;
                }
                return plan_stop<FROM>(first, e, base) | PLAN_TAKEN;
            default:
                // A call stops the plan (in the default case, so that the
                // others' dispatch stays as it was).
                if (e->kind == PlanKind::CALL) return plan_stop<FROM>(first, e, base) | PLAN_CALL;
                if (!run_paren_expr(e, base)) return plan_stop<FROM>(first, e, base);
                break;
        }
    }
    if (budget::spent) budget::left -= p.steps - (FROM ? first->steps_before : 0);
    stack::top = base + 1;
    return p.tail;
}

}  // namespace

u32 run_plan(const LoopPlan& p, Cell* base) { return run_plan_at<false>(p, base, p.expr); }

namespace {

// The step of while and until (see PlanStep): 1 where a next run follows,
// 0 where the loop is over, -1 where the step is the loop's own (WALK_STEP).
[[gnu::always_inline]] inline int plan_test(const PlanStep& s, Cell* base) {
    if (s.kind == PlanStep::WHILE) {
        // The condition's run as a quiet run of its own makes it (its
        // run's step taken once its plan took it whole).
        const LoopPlan& c = *s.cond;
        stack::top = base;
        if (c.epoch != memory::buffer_epoch || c.base != base || run_plan(c, base) != c.tail) return -1;
        budget::step();
    }
    // As while's and until's runs tell their answer (condition_true).
    const u32 t = TYPE_OF(base);
    if (t == TYPE_LOGIC) return (base->data1 != 0) == (s.kind == PlanStep::WHILE);
    if (t == TYPE_UNSET) return -1;
    return (t != TYPE_NONE) == (s.kind == PlanStep::WHILE);
}

// The step of the other loops to their next run: false where the loop is over.
[[gnu::always_inline]] inline bool plan_step(PlanStep& s, Cell*& slot) {
    switch (s.kind) {
        case PlanStep::EACH: {
            SeriesBuffer* b = GET_BUFFER(series_node(s.series));
            const u32 head = series_head(s.series);
            if (head >= cell_count(b)) return false;
            if (!slot) slot = context::plain_slot(s.word);
            *slot = block::cells_of(b)[head];
            series_head(s.series) = head + 1;
            return true;
        }
        case PlanStep::TIMES:
            return --s.left > 0;
        default:
            s.counter->data2++;
            if (--s.left <= 0) return false;
            if (!slot) slot = context::plain_slot(s.word);
            *slot = *s.counter;
            return true;
    }
}

// run_plan_walk, its step while's or until's (TEST) or another's: two
// loops, so that the others' stays as small as it was.
template <bool TEST>
[[gnu::always_inline]] inline PlanWalk plan_walk(LoopPlan& p, Cell* base, PlanStep step) {
    const u32 tail = p.tail;
    Cell* slot = nullptr;
    for (i32 steps = 0;; steps++) {
        stack::top = base;
        if (p.epoch != memory::buffer_epoch) return {WALK_STALE, steps};
#ifdef ZAV_STAMP_CHECK
        check_plan_cells(p);
#endif
        budget::step();
        const u32 pos = run_plan_at<false>(p, base, p.expr);
        if (pos != tail) {
            p.fresh = false;
            return {pos, steps};
        }
        if constexpr (TEST) {
            if (const int next = plan_test(step, base); next <= 0) return {next ? WALK_STEP : WALK_DONE, steps};
        } else {
            if (!plan_step(step, slot)) return {WALK_DONE, steps};
        }
    }
}

}  // namespace

bool while_step_q(const LoopPlan& cond) {
    return cond.ready && cond.exprs == 1 &&
           (cond.expr[0].kind == PlanKind::VALUE || cond.expr[0].kind == PlanKind::PAREN_VALUE);
}

PlanWalk run_plan_walk(LoopPlan& p, Cell* base, PlanStep step) { return plan_walk<false>(p, base, step); }

PlanWalk run_plan_test_walk(LoopPlan& p, Cell* base, PlanStep step) { return plan_walk<true>(p, base, step); }

u32 run_plan_after(const LoopPlan& p, Cell* base, u32 pos) {
    const PlanExpr* e = p.expr;
    while (e->pos != pos) e++;
    return run_plan_at<true>(p, base, e + 1);
}

namespace {

// A plan's call's laid arguments made from its values at `a` on: false where
// one is not one its plan value makes or not of its parameter's type.
[[gnu::always_inline]] inline bool plan_args(const PlanCall& c, const CallRecord* rec, Cell* a) {
    for (u32 k = 0; k < c.laid; k++) {
        if (!plan_value<true>(c.arg[k], a + k)) return false;
        const u32 t = TYPE_OF(a + k);
        if (t >= 64 || !(rec->type_bits[k] >> t & 1)) return false;
    }
    return true;
}

// A plan's call that is a set-word's value (`rec` its record, the
// set-word at `pos`), as set_word_operator_call makes one over an
// operator: its expression's step taken, then laid_set_call's frames
// opened over its left operand and arguments, the value stored. Answers
// the position after it; 0, having done nothing, where that would not
// make it as the generic path
// does: the operator's word no longer holds it, the left operand is no
// number or not of the operator's type, an argument is not of its
// parameter's, or the stacks, the budget or the machine stack near their
// ends (the generic path raises what it raises there).
[[gnu::noinline]] u32 plan_set_call(const PlanCall& c, const CallRecord* rec, Cell* code, u32 pos, u32 tail) {
    const bool op = c.op != nullptr;
    char probe;
    if (!laid_set_room_q(op, c.args) || (budget::spent && budget::left <= 4) ||
        &probe < machine_stack::limit + 16384)
        return 0;
    SetCall s;
    Cell* const a = stack::top + (op ? 3 : 2);
    Cell left;
    if (op) {
        s.op = true;
        s.op_word = &c.op_word;
        s.left = &left;
        if (!same_cell(c.op, &c.op_value) || !plan_value<true>(c.left, &left) || !number_q(&left) ||
            !set_call_operator(&c.op_value, &left, &s))
            return 0;
    }
    if (!plan_args(c, rec, a)) return 0;
    s.set_word = &c.set_word;
    s.fn = &c.native;
    s.fn_word = &c.word;
    budget::step();
    u32 next = laid_set_call(s, rec, code, c.rest, tail, c.laid);
    if (exiting()) [[unlikely]] return next;
    return set_word_framed_end(c.set_word, code, pos, next, tail, false);
}

// A plan's call, its laid arguments made from its values above the top:
// the position after it; 0, having done nothing, where the word no longer
// holds its native or action
// of the arity read, an argument is not one its plan value makes or not of
// its parameter's types, or either stack is near its end (the lean call
// then makes it, and raises what it raises).
[[gnu::always_inline]] inline u32 plan_call(const PlanCall& c, Cell* code, u32 pos, u32 tail) {
    if (!same_cell(c.fn, &c.native)) return 0;
    Cell fn = c.native;
    const CallRecord* rec = call_record(&fn, TYPE_OF(&fn));
    if (!rec || (rec->shape & (SHAPE_ARGS_MASK | SHAPE_LIT_MASK)) != c.args) return 0;
    if (c.set) [[unlikely]]
        return plan_set_call(c, rec, code, pos, tail);
    if (!laid_call_room_q(c.args)) return 0;
    Cell* const a = stack::top + 1;
    if (!plan_args(c, rec, a)) return 0;
    Cell w = c.word;
    if (c.laid == c.args) {
        laid_builtin_call(&fn, &w, code, c.next, c.args, rec->shape);
        return c.next;
    }
    return laid_builtin_call_rest(&fn, &w, code, c.rest, tail, c.laid, rec);
}

// Whether the plan still holds after a call made in the body's frame,
// opened at `base`: as plan_current, with that frame open (run_lean read
// the plan with the frame stack's end lowered by one for it), and no
// tracer started by the call.
[[gnu::always_inline]] inline bool plan_in_frame_q(const LoopPlan& p, const Cell* base) {
    if (!p.ready || p.epoch != memory::buffer_epoch || stack::arguments != base || p.base != base ||
        stack::frame_top != p.frame_top + 1 || stack::frame_end != p.frame_end + 1 || stack::end != p.end ||
        !fast_paths_on())
        return false;
#ifdef ZAV_STAMP_CHECK
    check_plan_cells(p);
#endif
    return true;
}

}  // namespace

void plan_rest_in_frame(const LoopPlan& p, Cell* code, u32 pos, u32 tail, Cell* base) {
    const bool track = !in_library;
    if (track) code_cell = *code;
    for (;;) {
        const PlanExpr* e = p.expr;
        while (e->pos != pos) e++;
        if (track) series_head(&code_cell) = pos;
        const u32 next = plan_call(*e->call, code, pos, tail);
        if (!next) break;
        if (exiting()) [[unlikely]] return;
        pos = next;
        // The last expression: eval_rest_in_frame would only tell a tracer.
        if (pos >= tail && !enabled()) return;
        // Arguments read in the frame may end elsewhere than when read.
        if (pos >= tail || pos != e->call->next || !plan_in_frame_q(p, base)) break;
        stack::reset();
        pos = run_plan_after(p, base, e->pos);
        // A branch read with the plan exited.
        if (exiting()) [[unlikely]] return;
        if (!(pos & PLAN_CALL)) {
            if (pos == tail) return;
            // An `if` whose branch runs, or what the plan could not make.
            pos &= ~PLAN_TAKEN;
            break;
        }
        pos &= ~PLAN_CALL;
    }
    eval_rest_in_frame(code, pos, tail);
}

}  // namespace zav::interpreter
