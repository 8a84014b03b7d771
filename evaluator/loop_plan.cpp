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
    *v = {c, nullptr, p.ops, 0};
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
        v->count++;
    }
    return static_cast<u32>(w - cells);
}

// A plan's simple value, as simple_value makes it; false, having done
// nothing, where it would not make the same value.
[[gnu::always_inline]] inline bool plan_value(const LoopPlan& p, const PlanValue& pv, Cell* out) {
    if (!plain_value_q(TYPE_OF(pv.first))) return false;
    Cell v = *pv.first;
    for (const PlanOp *o = p.op + pv.op, *e = o + pv.count; o < e; o++) {
        if (!same_cell(o->slot, &o->op) || !fast_compute(o->kind, &v, o->right)) return false;
    }
    if (pv.after && TYPE_OF(pv.after) == TYPE_OP) return false;
    *out = v;
    return true;
}

}  // namespace

bool read_plan(LoopPlan& p, const Cell* cells, u32 head, u32 tail, Cell* base) {
    p.ready = false;
    if (tail - head > PLAN_CELLS) return false;
    // The room checks of run_lean's expressions, at `base`: the same at
    // every run while the stacks are where they are now.
    bool set_room = base + 2 < stack::end && stack::frame_top < stack::frame_end;
    bool op_room = stack::frame_top + OPERATOR_ROOM <= stack::frame_end && base + OPERATOR_ROOM < stack::end;
    p.exprs = p.ops = 0;
    p.steps = 0;
    for (u32 pos = head; pos < tail;) {
        if (p.exprs == PLAN_EXPRS) return false;
        PlanExpr& e = p.expr[p.exprs++];
        e.pos = pos;
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

u32 run_plan(const LoopPlan& p, Cell* base) {
    // With more budget than the run takes, no step below can spend it (nor
    // would run_lean's expressions decline for it).
    if (budget::spent && budget::left <= p.steps + 2) return p.head;
    for (const PlanExpr *e = p.expr, *end = e + p.exprs; e < end; e++) {
        stack::top = base;
        Cell v;
        switch (e->kind) {
            case PlanKind::SET:
                if (!plan_value(p, e->a, &v)) return e->pos;
                *e->slot = v;
                break;
            case PlanKind::VALUE:
                if (!plan_value(p, e->a, &v)) return e->pos;
                break;
            case PlanKind::APPEND: {
                Cell value;
                if (!same_cell(e->fn, &e->action) || !append_room_q() || !plan_value(p, e->a, &v) ||
                    !plan_value(p, e->b, &value) || !append_in_place(&v, &value, e->types))
                    return e->pos;
                budget::step();
                break;
            }
        }
        *base = v;
        stack::top = base + 1;
        budget::step();
    }
    return p.tail;
}

}  // namespace zav::interpreter
