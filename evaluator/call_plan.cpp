// Reading and checking a recursive function's plan (see call_plan.h).
#include "evaluator/call_plan.h"

#include "datatypes/function.h"
#include "datatypes/native.h"
#include "datatypes/op.h"
#include "evaluator/natives.h"

namespace zav::interpreter {

namespace {

constexpr u32 FN_PLANS = 64;  // a power of two: keyed by node bits
constexpr u32 PLAN_TRIES = 64;
FnPlan fn_plans[FN_PLANS];

// The slot of a word that no call moves (peek_word's, of a context not on
// the stack); null for any other word.
const Cell* fixed_slot(const Cell* w) {
    if (TYPE_OF(w) != TYPE_WORD) return nullptr;
    Cell* ctx = nullptr;
    const Cell* slot = context::peek_slot(w, &ctx);
    if (!slot || !ctx || context::on_stack_q(ctx)) return nullptr;
    return slot;
}

// Keeps a slot's value for plan_current to compare.
bool keep_check(FnPlan& p, const Cell* slot) {
    if (p.checks == PLAN_CHECKS) return false;
    p.check[p.checks].slot = slot;
    p.check[p.checks].value = *slot;
    p.checks++;
    return true;
}

// A word operand: an argument of the function, or a word of a fixed slot.
bool read_word_operand(FnPlan& p, const Cell* w, PlanOperand* o) {
    if (w->data1 == p.ctx) {
        if (static_cast<i32>(w->data3) < 0 || w->data3 >= p.args) return false;
        o->source = PlanSource::ARGUMENT;
        o->index = w->data3;
        return true;
    }
    const Cell* slot = fixed_slot(w);
    if (!slot) return false;
    o->source = PlanSource::SLOT;
    o->at = slot;
    return true;
}

bool read_operand(FnPlan& p, const Cell* c, PlanOperand* o) {
    u32 t = TYPE_OF(c);
    if (t == TYPE_WORD) return read_word_operand(p, c, o);
    // A paren operand is read by paren_operand, which a plan does not do.
    if (t == TYPE_PAREN) return false;
    o->source = PlanSource::LITERAL;
    o->literal = *c;
    o->at = &o->literal;
    return true;
}

// A simple value from `pos` as simple_value reads it; the position after
// it, or 0 where a plan cannot say what the read makes of it. A word after
// its operators that holds no op now ends it as long as it holds none (an
// argument's value is looked at by each run).
u32 read_simple(FnPlan& p, const Cell* cells, u32 pos, u32 tail, PlanSimple* s) {
    if (pos >= tail || !read_operand(p, cells + pos, &s->first)) return 0;
    s->ops = 0;
    s->stops = false;
    u32 w = pos + 1;
    for (; w < tail && TYPE_OF(cells + w) == TYPE_WORD; w += 2) {
        const Cell* slot = fixed_slot(cells + w);
        if (!slot) {
            if (!read_word_operand(p, cells + w, &s->stop) || s->stop.source != PlanSource::ARGUMENT) return 0;
            s->stops = true;
            return w;
        }
        if (TYPE_OF(slot) != TYPE_OP) {
            s->stop = PlanOperand{PlanSource::SLOT, 0, slot, {}};
            s->stops = true;
            return keep_check(p, slot) ? w : 0;
        }
        if (w + 1 >= tail || s->ops == PLAN_SIMPLE_OPS) return 0;
        FastOp kind = fast_op_of(slot);
        if (kind == FAST_NONE || !keep_check(p, slot)) return 0;
        auto& o = s->op[s->ops++];
        o.kind = kind;
        if (!read_operand(p, cells + w + 1, &o.right)) return 0;
    }
    return w;
}

// A call of the function itself at `pos` (up to `tail`) with simple arguments.
u32 read_site(FnPlan& p, const Cell* cells, u32 pos, u32 tail, PlanSite* s) {
    const Cell* slot = fixed_slot(cells + pos);
    if (!slot || !same_cell(slot, &p.fn) || !keep_check(p, slot)) return 0;
    s->word = cells[pos];
    u32 at = pos + 1;
    for (u32 i = 0; i < p.args; i++)
        if (!(at = read_simple(p, cells, at, tail, &s->arg[i]))) return 0;
    s->next = at;
    return at;
}

// A block's cells from its head, of the running code's kind; false where
// there are more than a plan keeps.
bool read_cells(const Cell* block, bool library, const SeriesBuffer** buffer, u32* head, u32* tail, Cell* copy) {
    const SeriesBuffer* b = block::buffer_of(block);
    *buffer = b;
    *head = series_head(block);
    *tail = cell_count(b);
    if (*head >= *tail || *tail - *head > PLAN_BRANCH_CELLS || ((b->flags & SERIES_LIBRARY) != 0) != library)
        return false;
    std::memcpy(copy, block::cells_of(b) + *head, (*tail - *head) * sizeof(Cell));
    return true;
}

// `later`: set where the branch may be read as CALLS once its operator has
// a call record (made at its first call through the other paths).
void read_branch(FnPlan& p, const Cell* block, PlanBranch& r, bool* later) {
    r.kind = PlanBranchKind::OTHER;
    if (!read_cells(block, p.library, &r.buffer, &r.head, &r.tail, r.cells)) return;
    const Cell* cells = r.cells;
    const u32 n = r.tail - r.head;
    const u32 saved_checks = p.checks;
    if (n & 1 && read_simple(p, cells, 0, n, &r.value) == n) {
        r.kind = PlanBranchKind::SIMPLE;
        return;
    }
    p.checks = saved_checks;
    // `(f args) op f args`, or the paren alone.
    if (TYPE_OF(cells) != TYPE_PAREN) return;
    r.paren = cells[0];
    const u32 pn = series_head(&r.paren);
    if (!read_cells(&r.paren, p.library, &r.paren_buffer, &r.paren_head, &r.paren_tail, r.paren_cells) ||
        read_site(p, r.paren_cells, 0, r.paren_tail - pn, &r.first) != r.paren_tail - pn)
        return void(p.checks = saved_checks);
    r.has_op = n > 1;
    if (r.has_op) {
        const Cell* slot = n >= 3 ? fixed_slot(cells + 1) : nullptr;
        if (!slot || TYPE_OF(slot) != TYPE_OP) return void(p.checks = saved_checks);
        Cell fn = *slot;
        set_type(&fn, op::wrapped_type(slot));
        RecordInfo info;
        const bool builtin = TYPE_OF(&fn) == TYPE_NATIVE || TYPE_OF(&fn) == TYPE_ACTION;
        const bool recorded = builtin && record_info(&fn, &info);
        if (builtin && !recorded) *later = true;
        if (!recorded || (info.shape & (SHAPE_ARGS_MASK | SHAPE_REFS)) != 2 || (r.op_kind = fast_op_of(slot)) == FAST_NONE ||
            !keep_check(p, slot) || read_site(p, cells, 2, n, &r.second) != n)
            return void(p.checks = saved_checks);
        r.op_word = cells[1];
        r.op = fn;
        r.op_left = info.type_bits[0];
        r.op_right = info.type_bits[1];
    }
    r.kind = PlanBranchKind::CALLS;
}

// False where the function is not of a plan's shape; `later` as for read_branch.
bool read_fn_plan(FnPlan& p, const Cell* fn, const Cell* body, bool library, bool* later) {
    p.more = function::more_of(fn);
    p.cycles = collector::cycles;
    p.epoch = memory::buffer_epoch;
    p.library = library;
    p.ok = false;
    p.checks = 0;
    p.fn = *fn;
    p.ctx = function::ctx_of(fn);
    RecordInfo info;
    if (!record_info(fn, &info) || !info.frameless || info.slots || !same_cell(&info.body, body) ||
        (p.args = info.shape & SHAPE_ARGS_MASK) > PLAN_ARGS || !context::on_stack_q(context::TO_CTX(p.ctx)))
        return false;
    for (u32 i = 0; i < p.args; i++) p.type_bits[i] = info.type_bits[i];
    // The body as read_body reads it: one conditional.
    if (TYPE_OF(body) != TYPE_BLOCK) return false;
    const SeriesBuffer* b = block::buffer_of(body);
    const u32 head = series_head(body);
    const u32 tail = cell_count(b);
    if (head >= tail || tail - head > PLAN_BODY_CELLS || ((b->flags & SERIES_LIBRARY) != 0) != library) return false;
    const Cell* cells = block::cells_of(b);
    const Cell* slot = fixed_slot(cells + head);
    if (!slot || TYPE_OF(slot) != TYPE_NATIVE) return false;
    const u32 index = native::entry_of(slot);
    if ((index != natives::N_EITHER && index != natives::N_IF) || !conditional_native(slot) || !keep_check(p, slot))
        return false;
    p.blocks = index == natives::N_EITHER ? 2 : 1;
    const u32 next = read_simple(p, cells, head + 1, tail, &p.cond);
    if (!next || next + p.blocks != tail) return false;
    for (u32 i = 0; i < p.blocks; i++)
        if (TYPE_OF(cells + next + i) != TYPE_BLOCK) return false;
    p.cond_word = cells[head];
    p.cond_fn = *slot;
    p.body = *body;
    p.body_head = head;
    p.body_tail = tail;
    std::memcpy(p.body_cells, cells + head, (tail - head) * sizeof(Cell));
    bool calls = false;
    for (u32 i = 0; i < p.blocks; i++) {
        p.block[i] = cells[next + i];
        read_branch(p, &p.block[i], p.branch[i], later);
        calls = calls || p.branch[i].kind == PlanBranchKind::CALLS;
    }
    // Without calls of its own the plan would save nothing.
    p.ok = calls;
    return p.ok;
}

// Whether the plan was read from the code and values as they are now.
bool plan_holds(const FnPlan& p, const Cell* fn, const Cell* body, bool library) {
    if (p.cycles != collector::cycles || p.epoch != memory::buffer_epoch || p.library != library ||
        !same_cell(fn, &p.fn) || !same_cell(body, &p.body))
        return false;
    const SeriesBuffer* b = block::buffer_of(body);
    if (cell_count(b) != p.body_tail ||
        !same_cells(block::cells_of(b) + p.body_head, p.body_cells, p.body_tail - p.body_head))
        return false;
    for (u32 i = 0; i < p.checks; i++)
        if (!same_cell(p.check[i].slot, &p.check[i].value)) return false;
    for (u32 i = 0; i < p.blocks; i++) {
        const PlanBranch& r = p.branch[i];
        if (r.kind == PlanBranchKind::OTHER) continue;
        if (cell_count(r.buffer) != r.tail || !same_cells(block::cells_of(r.buffer) + r.head, r.cells, r.tail - r.head))
            return false;
        if (r.kind == PlanBranchKind::CALLS &&
            (cell_count(r.paren_buffer) != r.paren_tail ||
             !same_cells(block::cells_of(r.paren_buffer) + r.paren_head, r.paren_cells, r.paren_tail - r.paren_head)))
            return false;
    }
    // The conditional's native as read_conditional takes it.
    return conditional_native(&p.cond_fn);
}

}  // namespace

const FnPlan* current_plan(const Cell* fn, const Cell* body, bool library) {
    const node_t more = function::more_of(fn);
    FnPlan& p = fn_plans[(more >> 4) & (FN_PLANS - 1)];
    if (p.more == more && p.cycles == collector::cycles && p.epoch == memory::buffer_epoch) {
        if (!p.ok) return nullptr;  // read already, and not of a plan's shape
        if (plan_holds(p, fn, body, library)) return &p;
    }
    if (p.running) return nullptr;
    bool later = false;
    if (read_fn_plan(p, fn, body, library, &later)) return &p;
    // Read again at the next run, a bounded number of times.
    if (later) {
        if (p.tries_more != more) p.tries = 0;
        p.tries_more = more;
        if (p.tries++ < PLAN_TRIES) p.more = 0;
    }
    return nullptr;
}

}  // namespace zav::interpreter
