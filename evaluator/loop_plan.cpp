// Reading and running a loop body's plan (see loop_plan.h).
#include "evaluator/loop_plan.h"

#include <cstring>

namespace zav::interpreter {

namespace {

// A simple value from `pos`, read as simple_value reads it; answers the
// position after it, or 0 for anything a plan does not take. Only what
// cannot change while the plan stays current is decided here.
u32 read_value(LoopPlan& p, const Cell* cells, u32 pos, u32 tail, bool op_room, PlanValue* v) {
    if (pos >= tail) return 0;
    const Cell* c = cells + pos;
    if (TYPE_OF(c) == TYPE_WORD && !(c = peek_word(c))) return 0;
    *v = {c, nullptr, p.op + p.ops, p.op + p.ops};
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
        if (kind == FAST_NONE || right >= end || TYPE_OF(right) == TYPE_PAREN || p.ops == PLAN_OPS) return 0;
        if (TYPE_OF(right) == TYPE_WORD && !(right = peek_word(right))) return 0;
        p.op[p.ops++] = {op, right, *op, kind};
        v->end++;
    }
    return static_cast<u32>(w - cells);
}

// A plan's simple value, as simple_value makes it, into *out: a cell of
// the value stack above its top, which nothing reads until it is pushed, so
// that the value is made in memory rather than taken apart into registers.
// False where simple_value would not make the same value (*out is then
// left as it may be).
[[gnu::always_inline]] inline bool plan_value(const PlanValue& pv, Cell* out) {
    if (!plain_value_q(TYPE_OF(pv.first))) return false;
    *out = *pv.first;
    for (const PlanOp* o = pv.op; o < pv.end; o++) {
        if (!same_cell(o->slot, &o->op) || !fast_compute(o->kind, out, o->right)) return false;
    }
    return !pv.after || TYPE_OF(pv.after) != TYPE_OP;
}

}  // namespace

bool read_plan(LoopPlan& p, const Cell* cells, u32 head, u32 tail, Cell* base) {
    p.ready = false;
    if (tail - head > PLAN_CELLS) return false;
    // The room checks of run_lean's expressions, at `base`: the same at
    // every run while the stacks are where they are now.
    bool set_room = base + 2 < stack::end && stack::frame_top < stack::frame_end;
    bool op_room = stack::frame_top + OPERATOR_ROOM <= stack::frame_end && base + OPERATOR_ROOM < stack::end;
    bool append_room = append_stack_room_q(base);
    p.exprs = p.ops = 0;
    p.steps = 0;
    for (u32 pos = head; pos < tail;) {
        if (p.exprs == PLAN_EXPRS) return false;
        PlanExpr& e = p.expr[p.exprs++];
        e.pos = pos;
        e.steps_before = p.steps;
        const Cell* c = cells + pos;
        const Cell* fn;
        p.steps++;
        if (TYPE_OF(c) == TYPE_SET_WORD) {
            e.kind = PlanKind::SET;
            if (!set_room || !(e.slot = context::plain_slot(c)) ||
                !(pos = read_value(p, cells, pos + 1, tail, op_room, &e.a)))
                return false;
        } else if (TYPE_OF(c) == TYPE_WORD && (fn = peek_word(c)) && TYPE_OF(fn) == TYPE_ACTION &&
                   native::entry_of(fn) == ACT_APPEND) {
            e.kind = PlanKind::APPEND;
            if (!append_room) return false;
            e.fn = fn;
            e.action = *fn;
            p.steps++;
            if (!append_types(fn, &e.types) || !(pos = read_value(p, cells, pos + 1, tail, op_room, &e.a)) ||
                !(pos = read_value(p, cells, pos, tail, op_room, &e.b)))
                return false;
        } else {
            e.kind = PlanKind::VALUE;
            if (!(pos = read_value(p, cells, pos, tail, op_room, &e.a))) return false;
        }
    }
    std::memcpy(p.copy, cells + head, (tail - head) * sizeof(Cell));
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

// The budget steps of the expressions before `e`, taken at once: no code
// runs in a plan, so nothing can tell when they were taken.
[[gnu::always_inline]] inline u32 plan_stop(const PlanExpr* e, Cell* base) {
    if (budget::spent) budget::left -= e->steps_before;
    stack::top = base;
    return e->pos;
}

u32 run_plan(const LoopPlan& p, Cell* base) {
    // With more budget than the run takes, no step below can spend it (nor
    // would run_lean's expressions decline for it).
    if (budget::spent && budget::left <= p.steps + 2) return p.head;
    for (const PlanExpr *e = p.expr, *end = e + p.exprs; e < end; e++) {
        switch (e->kind) {
            case PlanKind::SET:
                if (!plan_value(e->a, base)) return plan_stop(e, base);
                *e->slot = *base;
                break;
            case PlanKind::VALUE:
                if (!plan_value(e->a, base)) return plan_stop(e, base);
                break;
            case PlanKind::APPEND: {
                // The stacks' room was there when the plan was read (and
                // the budget's is above); the machine stack's is looked at.
                if (!same_cell(e->fn, &e->action) || !append_machine_room_q() ||
                    !plan_value(e->a, base) || !plan_value(e->b, base + 1) || !append_in_place(base, base + 1, e->types))
                    return plan_stop(e, base);
                break;
            }
        }
    }
    if (budget::spent) budget::left -= p.steps;
    stack::top = base + 1;
    return p.tail;
}

}  // namespace zav::interpreter
