// The loop natives (while, until, loop, repeat, forever, foreach, forall,
// remove-each) and the iteration steps they share with compiled loops.
//
// Every loop opens a loop frame named <body> and runs its body through
// interpreter::LoopBody, which takes its break and continue: break leaves the
// loop, continue goes on with the next iteration, any other exit passes on
// (pending: the loop returns at once). The break and continue throwers have
// already unwound the stacks to the loop frame when the loop takes them, with
// the break value (or unset) in the frame's result slot.
#include "evaluator/loops.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/image.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/map.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"
#include "evaluator/interpreter_detail.h"
#include "evaluator/interpreter_fast.h"
#include "evaluator/loop_plan.h"
#include "evaluator/natives.h"
#include "runtime/stack.h"
#include "runtime/fire.h"
#include "datatypes/words.h"

namespace zav::natives {

void set_loop_word_generic(const Cell* word, const Cell* value) {
    Cell w = *word;
    context::set(&w, value);
}

namespace {

Cell* arg(u32 n) { return stack::arguments + n; }

void open_loop_frame() {
    Cell body;
    make_cell(&body, TYPE_WORD, 0, static_cast<u32>(words::_body), 0xFFFFFFFFu);
    stack::mark_loop(&body);
}

// word!, set-word!, lit-word! and get-word! (not refinement!).
bool plain_word_q(u32 t) { return t >= TYPE_WORD && t <= TYPE_GET_WORD; }

// "A block" to set-many: its values are picked one by one.
bool block_value_q(u32 t) { return block::any_block_q(t) || t == TYPE_MAP; }

// Value i (1-based) from the head of a block value; none past the tail.
Cell pick_value(Cell* value, i32 i) {
    Cell v;
    if (TYPE_OF(value) == TYPE_MAP) {
        actions::typed<action_fn::Pick>(value, ACT_PICK)(value, i, &v);
        return v;
    }
    u32 pos = series_head(value) + static_cast<u32>(i - 1);
    SeriesBuffer* b = GET_BUFFER(series_node(value));
    if (pos >= b->length()) return *make_cell(&v, TYPE_NONE);
    return reinterpret_cast<Cell*>(b->head())[pos];
}

// Word i (1-based) of a words block, checked to be a word.
Cell word_at(Cell* words, i32 i) {
    Cell w = pick_value(words, i);
    if (!plain_word_q(TYPE_OF(&w))) fire("script", "invalid-arg", &w);
    return w;
}

void set_word(Cell* word, const Cell* value) {
    Cell w = *word;
    context::set(&w, value);
}

Cell* iteration_series() { return stack::arguments - 2; }
Cell* iteration_words() { return stack::arguments - 1; }

bool pixel_walk_done(const Cell* image) {
    u32 size = image->data3;
    return series_head(image) >= (size & 0xFFFF) * (size >> 16);
}

[[noreturn]] void bad_loop_series(const Cell* value) {
    Cell v = *value;
    fire("script", "bad-loop-series", &v);
}

}  // namespace

// ---- iteration steps ---------------------------------------------------------

bool foreach_more_q(const Cell* series) {
    u32 t = TYPE_OF(series);
    if (t == TYPE_IMAGE) return !pixel_walk_done(series);
    // A map! walks its pairs in its own step, which tells the end.
    if (t == TYPE_MAP) return true;
    return series_head(series) < GET_BUFFER(series_node(series))->length();
}

bool foreach_next() {
    Cell* s = iteration_series();
    Cell v;
    if (block::any_block_q(TYPE_OF(s))) {
        // The common case first: the next cell of a block, read in place.
        SeriesBuffer* b = GET_BUFFER(series_node(s));
        u32 head = series_head(s);
        if (u64(head) * sizeof(Cell) >= b->used_bytes()) return false;
        v = block::cells_of(b)[head];
    } else {
        if (!foreach_more_q(s)) return false;
        actions::typed<action_fn::Pick>(s, ACT_PICK)(s, 1, &v);
    }
    stack::keep();
    if (Cell* slot = context::plain_slot(iteration_words())) {
        *slot = v;
    } else {
        // The value stays on the stack while an object's setter may run.
        set_word(iteration_words(), stack::push(&v));
        stack::keep();
    }
    series_head(iteration_series())++;
    return true;
}

bool foreach_next_block(i32 n) {
    Cell* s = iteration_series();
    bool more = foreach_more_q(s) && n > 0;
    if (!more) return false;
    Cell* words = iteration_words();
    u32 t = TYPE_OF(s);
    if (string::any_string_q(t) || t == TYPE_BINARY || t == TYPE_VECTOR) {
        set_many_string(words, s, n);
    } else if (t == TYPE_MAP) {
        if (n != 2) fire("script", "invalid-arg", words);
        // The map's own step keeps its position (counted in pairs).
        return map::foreach_next(words, s, n);
    } else if (t == TYPE_IMAGE) {
        image::get_pixels(words, s, n);
    } else {
        set_many(words, s, n, true, false, false);
    }
    series_head(iteration_series()) += static_cast<u32>(n);
    return true;
}

void set_many(Cell* words, Cell* value, i32 n, bool any, bool only, bool some) {
    bool block = block_value_q(TYPE_OF(value)) && !only;
    if (block) {
        for (i32 i = 1; i <= n; i++) {
            Cell w = word_at(words, i);
            Cell v = pick_value(value, i);
            if (!any && TYPE_OF(&v) == TYPE_UNSET) fire("script", "need-value", &w);
        }
    }
    for (i32 i = 1; i <= n; i++) {
        Cell v = block ? pick_value(value, i) : *value;
        if (some && TYPE_OF(&v) == TYPE_NONE) continue;
        Cell w = word_at(words, i);
        stack::keep();
        // The value stays on the stack while an object's setter may run.
        set_word(&w, stack::push(&v));
        stack::keep();
    }
}

void set_many_string(Cell* words, Cell* series, i32 n) {
    auto pick = actions::typed<action_fn::Pick>(series, ACT_PICK);
    for (i32 i = 1; i <= n; i++) {
        Cell w = word_at(words, i);
        stack::keep();
        Cell* v = stack::push_star();
        make_cell(v, TYPE_NONE);
        pick(series, i, v);
        set_word(&w, v);
        stack::keep();
    }
}

void remove_each_helper(i32 n) {
    if (!logic::is_true(stack::arguments)) return;
    Cell* s = iteration_series();
    // The body may have shortened the series: remove only what is still there.
    u32 len = GET_BUFFER(series_node(s))->length();
    u32 pos = series_head(s) >= static_cast<u32>(n) ? series_head(s) - static_cast<u32>(n) : 0;
    if (pos > len) pos = len;
    Cell* target = stack::push(s);
    series_head(target) = pos;
    Cell* part = n == 1 ? nullptr : stack::arguments - 3;
    actions::typed<action_fn::Remove>(target, ACT_REMOVE)(target, part, nullptr);
    u32 t = TYPE_OF(target);
    series_head(iteration_series()) = series::series_q(t) ? series_head(target) : pos;
    stack::pop(1);
}

bool forall_next(bool advance) {
    Cell word = *(stack::arguments - 1);
    Cell* value = context::get(&word);
    if (!series::series_q(TYPE_OF(value))) bad_loop_series(value);
    if (advance) series_head(value)++;
    if (TYPE_OF(value) == TYPE_IMAGE) return pixel_walk_done(value);
    return series_head(value) >= GET_BUFFER(series_node(value))->length();
}

void forall_restore() {
    Cell saved = *(stack::arguments - 2);
    set_word(stack::arguments - 1, &saved);
}

Cell* float_to_integer_arg(Cell* cell) {
    if (TYPE_OF(cell) != TYPE_FLOAT) return cell;
    double d = std::trunc(cell_float(cell));
    // Out-of-range counts saturate; NaN counts as 0.
    i32 v = std::isnan(d) ? 0 : d >= 2147483647.0 ? 2147483647 : d <= -2147483648.0 ? INT32_MIN : static_cast<i32>(d);
    return integer::make_at(cell, v);
}

void loop_count_arg() { float_to_integer_arg(stack::arguments); }

void loop_index_step(Cell* word) {
    Cell w = *word;
    Cell* slot = context::get(&w);
    if (TYPE_OF(slot) != TYPE_INTEGER) return;
    Cell next = *slot;
    next.data2 = static_cast<u32>(static_cast<i32>(next.data2) + 1);
    node_t ctx = word_ctx(&w);
    if (ctx && context::kind_of(context::TO_CTX(ctx)) == context::KIND_OBJECT) {
        context::set(&w, &next);
    } else {
        *slot = next;
    }
}

}  // namespace zav::natives

// ---- loop bodies --------------------------------------------------------------

namespace zav::interpreter {

// A lambda inlined where it is called (the runs of a loop, see LoopBody::runs).
#define ZAV_INLINE_LAMBDA __attribute__((always_inline))

// How one run of a loop body ended: break and continue are the loop's;
// EXITED, by another exit, pending for the loop's caller.
enum class BodyEnd { NORMAL, CONTINUED, BROKE, EXITED };

// A loop body, evaluated again and again as eval(body, chain) evaluates it,
// with what cannot change from one run to the next done once: the body
// copied and rooted, the current code cell saved (and put back after each
// run, also after a throw the loop catches, and when the loop ends). Each
// run opens and closes the same frames as eval, except that the body's own
// frame opens only at its first expression that could tell (see run_lean);
// while tracing, under the reference switch, or across library and user
// code it is eval itself.
struct LoopPlan;

class LoopBody {
public:
    explicit LoopBody(const Cell* body);
    ~LoopBody();
    LoopBody(const LoopBody&) = delete;
    LoopBody& operator=(const LoopBody&) = delete;
    // Up to n runs of run_caught(true), until a break.
    void run_times(i32 n);
    // `repeat`: as run_times, the loop word set to `counter` (an integer!
    // from 1) before each run and the counter moved on after it.
    void run_counted(const Cell* word, Cell* counter, i32 n);
    // `while`: runs of `cond` (a break or continue there is an error), each
    // answering true followed by a run_caught(true) of this body, until
    // one answers false or the body breaks.
    void run_while(LoopBody& cond);
    // `until`: runs of run_caught(true) until one answers true or breaks
    // (a continue goes on without looking at the answer).
    void run_until();
    // `forever`: runs of run_caught(false), each value dropped, until a break.
    void run_forever();
    // The walks of foreach, remove-each and forall over the iteration state
    // below the open loop frame: before each run of run_caught(false) `next`
    // sets the loop words (false: the walk is over); after each run that
    // ended normally `after` (when given) looks at its value. Answers false
    // when the body broke.
    struct Walk {
        bool (*next)(void* state);
        void (*after)(void* state);
        void* state;
    };
    bool run_walk(const Walk& walk);
    // foreach's walk with one word (n = 0, the step natives::foreach_next)
    // or a block of n words (natives::foreach_next_block).
    void run_foreach(i32 n);

private:
    // The runs of a loop: `run(framed)` makes one and answers whether the
    // loop goes on, framed where it is to be made as run_framed makes it.
    template <class Run>
    void runs(Run run);
    // Before the first run of a loop that run_plan_walk serves: a plan
    // current from an earlier call of the loop is made fresh, so that
    // run_plan_walk takes that run too.
    void prime();
    [[gnu::always_inline]] void prime_q() {
        if (plan_ && plan_->ready) [[unlikely]] prime();
    }
    // quiet: see plan_quiet_q (loop_plan.h). framed: see framed_q.
    void run_inline(bool chain, bool quiet, bool framed = false);
    // A run from the loop frame's empty region without the body's frame
    // while its expressions are simple ones; see there.
    // `planned`: where a quiet run's plan, run already, stopped (see
    // run_plan), the run going on from there; NO_PLAN where it is to run.
    static constexpr u32 NO_PLAN = WALK_STALE;
    void run_lean(bool chain, bool quiet, u32 planned = NO_PLAN);
    // The rest of a run from `pos` (the plan's call where PLAN_CALL is
    // set, see plan_rest_in_frame), in the body's frame opened at `base`.
    void run_in_frame(bool chain, u32 pos, u32 tail, Cell* base);
    // run_caught, the runs after it made by run_plan_walk where they can be.
    struct Planned {
        BodyEnd end;
        bool done;  // the loop is over
        i32 steps;  // as PlanWalk's
    };
    // TEST: while's or until's step, which may answer WALK_STEP.
    template <bool TEST = false>
    Planned run_planned(bool chain, bool quiet, const PlanStep& step);
    // After an exit out of a run that the loop takes.
    void restore();
    // A run ended by the exit of `code` (pending): a break or continue
    // taken, any other left pending.
    BodyEnd loop_exit(u32 code);
    // One run from an empty frame region, break and continue caught; any
    // other throw passes on.
    // With `planned` (see run_lean), the rest of a quiet run begun.
    BodyEnd run_caught(bool chain, bool quiet, u32 planned = NO_PLAN, bool framed = false);
    // Whether no later run can take a plan or any expression without the
    // body's frame (see simple_): its loop then makes every run with
    // run_framed, which tries neither, the choice paid once per loop call.
    bool framed_q() const { return !simple_ && !(plan_ && plan_->fresh); }
    [[gnu::always_inline]] BodyEnd run_framed(bool chain) { return run_caught(chain, false, NO_PLAN, true); }
    Cell code_;
    Cell saved_;
    collector::Guard hold_;
    // The plan of the body's expressions (loop_plan.h), from a pool by loop
    // nesting level; null past the pool's depth and where runs are not lean.
    LoopPlan* plan_;
    bool lean_;
    // Whether runs try their first expressions without the frame: off once
    // a run found its first expression not a simple one (most bodies that
    // start with a call always do), so that they do not pay for the try;
    // off from the start where runs are not lean.
    bool simple_;
    // What runs learnt of calls of functions (frameless_set_call,
    // frameless_append): one was made without frames (until a run that
    // ends without its frame refuses the plan for it); one was turned away
    // only because its function was never called before (until the run
    // stops: the next run may make it so, see runs).
    bool called_ = false;
    bool unseen_ = false;
};
namespace {

// The plans of loop bodies, kept across runs of their loops: a table by
// body, so that a loop in a function called again finds what was read of
// its body at an earlier call, though other loops ran since. A body whose
// entry a running loop holds (an enclosing loop whose body falls on the
// same entry, or the same body running again inside itself) takes its
// nesting level's own plan, which no other running loop holds (loops nest
// as their natives' C++ frames do). A LoopBody holds only a pointer, so the
// frames of the loop natives stay as small as they were.
constexpr u32 PLAN_TABLE = 32;
constexpr u32 PLAN_LEVELS = 8;
LoopPlan table_plans[PLAN_TABLE];
LoopPlan level_plans[PLAN_LEVELS];
u32 plan_level = 0;

[[gnu::always_inline]] inline LoopPlan* table_plan(node_t node, u32 head) {
    static_assert((PLAN_TABLE & (PLAN_TABLE - 1)) == 0);
    return &table_plans[((node ^ head * 0x9E3779B9u) * 0x9E3779B9u) >> 27 & (PLAN_TABLE - 1)];
}

}  // namespace

// Lean only where eval's library scope would change nothing: the body is a
// block of the code running now (a block's library mark is set when it is
// made, and the running code's state is the same at every run).
LoopBody::LoopBody(const Cell* body)
    : code_(*body), saved_(code_cell), hold_(&code_), plan_(nullptr),
      lean_(block::any_block_q(TYPE_OF(body)) &&
            ((block::buffer_of(body)->flags & SERIES_LIBRARY) != 0) == in_library),
      simple_(lean_) {
    if (lean_) {
        const node_t node = series_node(body);
        const u32 head = series_head(body);
        LoopPlan* p = table_plan(node, head);
        if (p->busy) p = plan_level < PLAN_LEVELS ? &level_plans[plan_level] : nullptr;
        if (p) {
            // The same body again (a loop in a function called again): what
            // was read of it holds while plan_current says so.
            const Cell* cells = block::cells_of(block::buffer_of(body));
            if (p->node != node || p->head != head || p->cells != cells) {
                p->ready = p->seen = p->refused = false;
                p->node = node;
                p->head = head;
                p->cells = cells;
            }
            p->fresh = false;
            p->busy = true;
            plan_ = p;
        }
    }
    plan_level++;
}

LoopBody::~LoopBody() {
    plan_level--;
    if (plan_) plan_->busy = false;
    code_cell = saved_;
}

void LoopBody::restore() { code_cell = saved_; }

namespace {

// After a run simple from its head to its tail that no plan took whole: the
// body is read into a plan at the second such run (a loop of one run would
// not use it), and again when a plan fell short where run_lean went on.
[[gnu::noinline]] void plan_simple_run(LoopPlan& p, SeriesBuffer* body, u32 head, u32 tail, Cell* base) {
    if (p.refused) return;
    if (!p.seen) {
        p.seen = true;
        return;
    }
    p.refused = !read_plan(p, body, head, tail, base, in_library);
}

// After a run stopped at the expression at `pos`: where that is a call by
// word of a native or action, or a set-word whose value may be one, read
// as plan_simple_run reads a simple run. Answers whether the plan is ready.
[[gnu::noinline]] bool plan_call_stop(LoopPlan& p, SeriesBuffer* body, const Cell* cells, u32 head, u32 pos,
                                      u32 tail, Cell* base) {
    // A current plan that stopped here was read from these same cells: a
    // new read would give it again (a value it cannot make, such as a word
    // that holds a function, stops it at every run), so it is not read
    // again; one that stops at the body's first expression does nothing,
    // and the runs are not tried without the frame for it.
    if (plan_current(p, cells, head, tail, base)) return pos > head;
    if (TYPE_OF(cells + pos) == TYPE_SET_WORD) {
        // A set-word whose value holds no call of a native or action is
        // one a plan does not take (it stops the lean run: its value is a
        // chain of set-words, a function's call, ...): not looked at again.
        if (!set_call_q(cells, pos, tail)) {
            p.refused = true;
            return false;
        }
    } else {
        const Cell* fn = peek_word(cells + pos);
        if (!fn || !builtin_q(TYPE_OF(fn))) return p.ready;
    }
    plan_simple_run(p, body, head, tail, base);
    // A first such run only notes the body seen: the next is tried
    // without the frame too, so that it reads the plan (a body led by the
    // call would otherwise make every later run framed, never reading it).
    return p.ready || (p.seen && !p.refused);
}

// After a plan's run stopped at its `if` at `pos` for the branch: the
// branch taken as run_lean takes it without frames (frameless_conditional),
// then the plan run on after it, while its runs stop only for such
// branches. Answers the position reached: the tail where the run is done
// or an exit is pending (from a branch read with the plan, too), the first
// cell of an expression the plan could not do, or the `if`'s with
// PLAN_TAKEN where its branch needs frames.
[[gnu::noinline]] u32 plan_branches(const LoopPlan& p, const Cell* cells, u32 pos, u32 tail, Cell* base) {
    for (;;) {
        // A branch read with the plan made its exit.
        if (exiting()) return tail;
        if (step_would_spend()) return pos;
        Cell v;
        const u32 next = frameless_conditional(peek_word(cells + pos), cells, pos, tail, &v);
        if (!next) return pos | PLAN_TAKEN;
        if (exiting()) [[unlikely]] return tail;
        budget::step();
        if (next == tail) {
            *base = v;
            stack::top = base + 1;
            return tail;
        }
        pos = run_plan_after(p, base, pos);
        if (!(pos & PLAN_TAKEN)) return pos;
        pos &= ~PLAN_TAKEN;
    }
}

}  // namespace

// A set-word at `pos` (`word`) that fast_set_word turned away, whose value
// is a call of the function `fn` (its first word's value, as fast_set_word
// found it) that needs no frames (see frameless_call_value):
// made without frames and stored as fast_set_word stores (a plain store
// only), its value left at `base`, with the steps of the value's expression
// and of the call (the caller takes the set-word's). The position after
// it, or 0 having done nothing; *called set where it made one, *unseen
// where it turned one away for want of a first call. An unset value (the
// set-word's error) and a store into an object (its change handler) are
// the generic path's.
[[gnu::noinline]] u32 frameless_set_call(const Cell* word, const Cell* fn, const Cell* cells, u32 pos, u32 tail,
                                         Cell* base, bool* called, bool* unseen) {
    Cell v;
    Cell* slot;
    u32 next;
    if (!steps_fit_q(3) || !(next = frameless_call_value(fn, cells, pos + 1, tail, 1, &v, unseen)) ||
        TYPE_OF(&v) == TYPE_UNSET || !(slot = context::plain_slot(word)))
        return 0;
    budget::steps(2);
    *slot = v;
    *base = v;
    stack::top = base + 1;
    *called = true;
    return next;
}

// A set-word or a field's set-path of a simple value, a simple value and an append of simple
// values with room (see fast_set_word, simple_value and frameless_append)
// can neither fail, call anything, allocate nor be seen, so
// nothing can tell whether the body's frame was open while they ran: they
// run first, from the region where the frame would start, each value left
// where the frame's result would be. The first other expression opens the
// frame there (from then on the run is eval's), and so does one that finds
// the budget spent (its error is raised in the frame). Runs with no room for
// the frame open it at once, to raise the overflow. A plan read from an
// earlier run takes the expressions first, as far as its checks allow.
[[gnu::always_inline]] inline void LoopBody::run_lean(bool chain, bool quiet, u32 planned) {
    Cell* base = stack::top;
    SeriesBuffer* b = block::buffer_of(&code_);
    u32 head = series_head(&code_);
    u32 pos = head;
    u32 tail = cell_count(b);
    // A quiet run's fresh plan goes first, and mostly takes the run whole:
    // it reads none of the stack ends lowered below.
    if (planned != NO_PLAN) {
        pos = planned;
    } else if (quiet && plan_quiet_q(*plan_, tail, base)) {
        pos = run_plan(*plan_, base);
        if (pos == tail) {
            plan_->fresh = true;
            return;
        }
    }
    CallFrame* frame_end = stack::frame_end;
    // A quiet run finds the stacks as the last run, simple to its end, found them.
    if (quiet || (simple_ && base == stack::arguments && stack::frame_top < frame_end && base + 2 < stack::end)) {
        // The expressions find the frame stack as full as with the body's
        // frame open, so that each declines (and raises the overflow
        // later) exactly where it would in the frame.
        stack::frame_end = frame_end - 1;
        // Nothing below can move the code; an append can grow it at its
        // tail, in place, past the `tail` this run stops at (as eval's does).
        const Cell* cells = block::cells_of(b);
        // An append the first expression could take: a run that finds no
        // room at the series' tail this time tries again next time.
        bool append = false;
        // The plan read at an earlier run does what it can of this one.
        if (!quiet && plan_ && plan_current(*plan_, cells, head, tail, base)) {
            pos = run_plan(*plan_, base);
            if (pos == tail) {
                plan_->fresh = true;
                stack::frame_end = frame_end;
                return;
            }
        }
        // The plan stopped for an `if`'s branch: taken without frames where
        // it can be, the plan going on after it. The run ends where the
        // plan takes it to its tail or the branch exits; a branch that
        // needs its frames opens the body's (PLAN_TAKEN stays on, so that
        // the expressions below are not tried).
        if (pos & PLAN_TAKEN) [[unlikely]] {
            pos = plan_branches(*plan_, cells, pos & ~PLAN_TAKEN, tail, base);
            if (pos == tail) {
                plan_->fresh = !exiting();
                stack::frame_end = frame_end;
                return;
            }
        }
        // Where the plan stopped at a call (PLAN_CALL, past any tail), the
        // run goes on from it in the body's frame (below).
        while (pos < tail && !step_would_spend()) {
            stack::top = base;
            const Cell* c = cells + pos;
            u32 next;
            if (TYPE_OF(c) == TYPE_SET_WORD) {
                Partial partial;
                partial.call = true;
                if (!fast_set_word(c, &code_, pos + 1, tail, false, &next, &partial) &&
                    (partial.stop || TYPE_OF(&partial.value) != TYPE_FUNCTION ||
                     !(next = frameless_set_call(c, &partial.value, cells, pos, tail, base, &called_, &unseen_))))
                    break;
            } else {
                Cell v;
                u32 stop;
                const Cell* fn;
                if (TYPE_OF(c) == TYPE_WORD && (fn = peek_word(c)) && TYPE_OF(fn) == TYPE_ACTION &&
                    native::entry_of(fn) == ACT_APPEND) {
                    bool retry;
                    next = frameless_append(fn, cells, pos, tail, &v, &retry, &called_);
                    // An append whose arguments are not simple is not tried again.
                    append = pos == head && (next || retry);
                    if (!next) break;
                } else if (TYPE_OF(c) == TYPE_WORD && fn && TYPE_OF(fn) == TYPE_NATIVE) {
                    // A conditional whose branch needs no frames (or `if`
                    // has none to run): its value without them. A branch
                    // that exits has left the run: its exit is pending,
                    // with its steps and this expression's taken.
                    if (!(next = frameless_conditional(fn, cells, pos, tail, &v))) break;
                    if (exiting()) [[unlikely]] {
                        stack::frame_end = frame_end;
                        return;
                    }
                } else if (TYPE_OF(c) == TYPE_SET_PATH) [[unlikely]] {
                    if (!(next = frameless_set_path(c, cells, pos, tail, &v))) break;
                } else if (!(next = simple_value(cells, pos, tail, &v, &stop))) {
                    break;
                }
                *base = v;
                stack::top = base + 1;
            }
            budget::step();
            pos = next;
        }
        if (pos >= tail && pos > head && !(pos & (PLAN_TAKEN | PLAN_CALL))) {
            // No plan took the whole run, nor would one that holds a
            // function's call.
            if (plan_) {
                if (called_) [[unlikely]] {
                    plan_->refused = true;
                    plan_->ready = called_ = false;
                } else {
                    plan_simple_run(*plan_, b, head, tail, base);
                }
                plan_->fresh = plan_->ready;
            }
            stack::frame_end = frame_end;
            return;
        }
        pos &= ~PLAN_TAKEN;
        // A run that stops at a call a plan could make reads one, as a
        // simple run does; its runs are tried without the frame from then on.
        const bool read = pos < tail && (TYPE_OF(cells + pos) == TYPE_WORD || TYPE_OF(cells + pos) == TYPE_SET_WORD) &&
                          plan_ && !plan_->refused &&
                          plan_call_stop(*plan_, b, cells, head, pos, tail, base);
        stack::frame_end = frame_end;
        simple_ = pos > head || append || read || unseen_;
        unseen_ = false;
        stack::top = base;
    }
    run_in_frame(chain, pos, tail, base);
}

[[gnu::always_inline]] inline void LoopBody::run_in_frame(bool chain, u32 pos, u32 tail, Cell* base) {
    Cell bw = body_word();
    stack::mark_kind87(&bw);
    if (pos < tail) {
        eval_rest_in_frame(&code_, pos, tail);
        if (exiting()) [[unlikely]] return;
    } else if (pos & PLAN_CALL) {
        plan_rest_in_frame(*plan_, &code_, pos & ~PLAN_CALL, tail, base);
        if (exiting()) [[unlikely]] return;
    } else {
        make_cell(stack::arguments, TYPE_UNSET);
        stack::top = stack::arguments + 1;
    }
    if (chain) stack::unwind_last();
    else stack::unwind();
    code_cell = saved_;
}

[[gnu::always_inline]] inline void LoopBody::run_inline(bool chain, bool quiet, bool framed) {
    // Fresh from the last run only while this one stays simple to its end.
    if (!framed) {
        if (quiet && plan_ && plan_->fresh) {
            // The last run was lean, from this same machine frame, and nothing
            // ran since: the fast paths are on and the machine stack as deep.
            plan_->fresh = false;
            budget::step();
            run_lean(chain, true);
            return;
        }
        if (plan_) plan_->fresh = false;
    }
    if (!lean_ || !fast_paths_on()) {
        evaluate(&code_, chain);
        return;
    }
    machine_stack::check();
    budget::step();
    if (framed) run_in_frame(chain, series_head(&code_), cell_count(block::buffer_of(&code_)), stack::top);
    else run_lean(chain, false);
}

// A run's break or continue, taken; any other exit is the loop's caller's.
[[gnu::noinline]] BodyEnd LoopBody::loop_exit(u32 code) {
    restore();
    if (code == THROW_BREAK || code == THROW_CONTINUE) {
        stack::pending = 0;
        return code == THROW_BREAK ? BodyEnd::BROKE : BodyEnd::CONTINUED;
    }
    return BodyEnd::EXITED;
}

[[gnu::always_inline]] inline BodyEnd LoopBody::run_caught(bool chain, bool quiet, u32 planned, bool framed) {
    // (A plan that stopped left the stack at the run's base.)
    if (planned == NO_PLAN) stack::reset();
    try {
        if (planned == NO_PLAN) run_inline(chain, quiet, framed);
        else run_lean(chain, true, planned);
    } catch (Throw& t) {
        // Code that cannot return at once threw it (see stack::throw_pending).
        if (t.value != THROW_BREAK && t.value != THROW_CONTINUE) throw;
        stack::pending = t.value;
    }
    if (exiting()) [[unlikely]] return loop_exit(stack::pending);
    return BodyEnd::NORMAL;
}

namespace {

// A run's value as while's and until's condition: logic::true_arg_q, its
// plain answers in line.
[[gnu::always_inline]] inline bool condition_true() {
    const Cell* v = stack::arguments;
    const u32 t = TYPE_OF(v);
    if (t == TYPE_LOGIC) return v->data1 != 0;
    return t != TYPE_NONE && (t != TYPE_UNSET || logic::true_arg_q());
}

}  // namespace

// run_caught(chain, quiet); where the run is quiet and the plan fresh, that
// run and those after it are run_plan_walk's until one is not, its rest
// then run_caught's (a stale plan's run is run_caught's whole). The steps
// made are the caller's to count (its own counters stay in registers).
template <bool TEST>
[[gnu::always_inline]] inline LoopBody::Planned LoopBody::run_planned(bool chain, bool quiet, const PlanStep& step) {
    if (quiet && plan_ && plan_->fresh && plan_->base == stack::arguments) [[unlikely]] {
        const PlanWalk w = TEST ? run_plan_test_walk(*plan_, stack::arguments, step)
                                : run_plan_walk(*plan_, stack::arguments, step);
        if (w.pos == WALK_DONE) return {BodyEnd::NORMAL, true, w.steps};
        if (TEST && w.pos == WALK_STEP) return {BodyEnd::NORMAL, false, w.steps};
        // An exit made by a branch read with the plan.
        if (exiting()) return {loop_exit(stack::pending), false, w.steps};
        return {run_caught(chain, quiet, w.pos), false, w.steps};
    }
    return {run_caught(chain, quiet), false, 0};
}

// The loops below tell each run whether it is quiet (see plan_quiet_q): no
// code ran since the body's last run, only plain stores of loop words or
// (while's) a run of the other body that was simple to its end (fresh).
// Each run inline in them: a loop pays no call per run.
template <class Run>
[[gnu::always_inline]] inline void LoopBody::runs(Run run) {
    // Decided after the first run, and again after the second (a body led
    // by a call reads its plan at the second: see plan_call_stop; a call
    // of a function never called before may be made without frames there).
    for (u32 decide = 2; run(false);) {
        if (decide) [[unlikely]] {
            decide--;
            if (framed_q()) {
                while (run(true)) {
                }
                return;
            }
        }
    }
}

// The plan is current as run_lean finds it for a first run (the body's
// frame end lowered), with room on the machine stack (looked at from here,
// below the loop's frame) and the fast paths on: the first run is then one
// a quiet run would make.
[[gnu::noinline]] void LoopBody::prime() {
    char probe;
    if (!lean_ || !fast_paths_on() || &probe < machine_stack::limit) return;
    const SeriesBuffer* b = block::buffer_of(&code_);
    stack::frame_end--;
    plan_->fresh = plan_current(*plan_, block::cells_of(b), series_head(&code_), cell_count(b), stack::arguments);
    stack::frame_end++;
}

void LoopBody::run_times(i32 n) {
    prime_q();
    if (n > 0) runs([&](bool framed) ZAV_INLINE_LAMBDA {
        if (framed) return run_framed(true) < BodyEnd::BROKE && --n > 0;
        const Planned r = run_planned(true, true, {PlanStep::TIMES, n, nullptr, nullptr, nullptr});
        return r.end < BodyEnd::BROKE && !r.done && (n -= r.steps + 1) > 0;
    });
}

void LoopBody::run_counted(const Cell* word, Cell* counter, i32 n) {
    prime_q();
    if (n > 0) runs([&](bool framed) ZAV_INLINE_LAMBDA {
        // The slot is looked up again at each run, as the body may move
        // the values it lives in (a global added).
        const bool plain = natives::set_loop_word(word, counter);
        i32 steps = 0;
        if (framed) {
            if (run_framed(true) >= BodyEnd::BROKE) return false;
        } else {
            const Planned r = run_planned(true, plain, {PlanStep::COUNTED, n, nullptr, word, counter});
            if (r.end >= BodyEnd::BROKE || r.done) return false;
            steps = r.steps;
        }
        counter->data2++;
        return (n -= steps + 1) > 0;
    });
}

// while keeps one loop: beside a second, framed one, its runs of other
// bodies came out slower than a body led by a call gained.
void LoopBody::run_while(LoopBody& cond) {
    // Both runs inline here, as in run_times.
    for (;;) {
        stack::reset();
        try {
            // Quiet after a body that ran from its fresh plan.
            cond.run_inline(true, plan_ && plan_->fresh);
        } catch (Throw& t) {
            if (t.value != THROW_BREAK && t.value != THROW_CONTINUE) throw;
            stack::pending = t.value;
        }
        if (exiting()) [[unlikely]] {
            if (cond.loop_exit(stack::pending) == BodyEnd::EXITED) return;
            fire("throw", "while-cond");
        }
        if (!condition_true()) return;
        const bool quiet = cond.plan_ && cond.plan_->fresh;
        // A condition of one planned value is the walk's step: the body's
        // runs and the condition's go on in run_plan_walk while both plans
        // take them whole.
        if (quiet && while_step_q(*cond.plan_)) {
            const Planned r = run_planned<true>(true, true, {PlanStep::WHILE, 0, {.cond = cond.plan_}, nullptr, nullptr});
            if (r.end >= BodyEnd::BROKE || r.done) return;
        } else if (run_caught(true, quiet) >= BodyEnd::BROKE) {
            return;
        }
    }
}

void LoopBody::run_until() {
    runs([&](bool framed) ZAV_INLINE_LAMBDA {
        if (framed) {
            const BodyEnd end = run_framed(true);
            return end < BodyEnd::BROKE && !(end == BodyEnd::NORMAL && condition_true());
        }
        const Planned r = run_planned<true>(true, true, {PlanStep::UNTIL, 0, {nullptr}, nullptr, nullptr});
        return r.end < BodyEnd::BROKE && !r.done && !(r.end == BodyEnd::NORMAL && condition_true());
    });
}

void LoopBody::run_forever() {
    runs([&](bool framed) ZAV_INLINE_LAMBDA {
        const BodyEnd end = framed ? run_framed(false) : run_caught(false, true);
        if (end >= BodyEnd::BROKE) return false;
        if (end == BodyEnd::NORMAL) stack::pop(1);
        return true;
    });
}

bool LoopBody::run_walk(const Walk& walk) {
    bool broke = false;
    runs([&](bool framed) ZAV_INLINE_LAMBDA {
        stack::keep();
        if (!walk.next(walk.state)) return false;
        const BodyEnd end = framed ? run_framed(false) : run_caught(false, false);
        if (end >= BodyEnd::BROKE) {
            broke = true;
            return false;
        }
        if (end == BodyEnd::NORMAL && walk.after) walk.after(walk.state);
        return true;
    });
    return !broke;
}

namespace {

// The outcome of a foreach step: the walk is over, or a next run follows,
// quiet when the step only stored the next value (see plan_quiet_q).
enum class Step { DONE, NEXT, QUIET };

// foreach's one-word step over a block, inline: the next cell stored
// straight into the word's plain slot. Every other case is the step's own.
[[gnu::always_inline]] inline Step foreach_step() {
    Cell* s = stack::arguments - 2;
    if (block::any_block_q(TYPE_OF(s))) {
        SeriesBuffer* b = GET_BUFFER(series_node(s));
        u32 head = series_head(s);
        if (head >= cell_count(b)) return Step::DONE;
        if (Cell* slot = context::plain_slot(stack::arguments - 1)) {
            *slot = block::cells_of(b)[head];
            series_head(s) = head + 1;
            return Step::QUIET;
        }
    }
    return natives::foreach_next() ? Step::NEXT : Step::DONE;
}

// foreach's step with a block of n words, or one word (n = 0).
[[gnu::always_inline]] inline Step foreach_step(i32 n) {
    stack::keep();
    return n > 0 ? (natives::foreach_next_block(n) ? Step::NEXT : Step::DONE) : foreach_step();
}

}  // namespace

void LoopBody::run_foreach(i32 n) {
    const PlanStep next{PlanStep::EACH, 0, stack::arguments - 2, stack::arguments - 1, nullptr};
    prime_q();
    runs([&](bool framed) ZAV_INLINE_LAMBDA {
        const Step step = foreach_step(n);
        if (step == Step::DONE) return false;
        if (framed) return run_framed(false) < BodyEnd::BROKE;
        const Planned r = run_planned(false, step == Step::QUIET, next);
        return r.end < BodyEnd::BROKE && !r.done;
    });
}


}  // namespace zav::interpreter

namespace zav::natives {

// ---- loop natives ------------------------------------------------------------

void while_star(bool check, const i32* refinements) {
    if (check) check_args(N_WHILE, refinements);
    interpreter::LoopBody cond(arg(0));
    interpreter::LoopBody body(arg(1));
    open_loop_frame();
    body.run_while(cond);
    if (stack::pending) [[unlikely]] return;
    stack::unwind();
    make_cell(stack::arguments, TYPE_UNSET);
}

void until_star(bool check, const i32* refinements) {
    if (check) check_args(N_UNTIL, refinements);
    interpreter::LoopBody body(arg(0));
    open_loop_frame();
    body.run_until();
    if (stack::pending) [[unlikely]] return;
    stack::unwind_last();
}

void loop_star(bool check, const i32* refinements) {
    if (check) check_args(N_LOOP, refinements);
    loop_count_arg();
    i32 n = integer::get(arg(0));
    if (n < 1) {
        make_cell(arg(0), TYPE_NONE);
        return;
    }
    interpreter::LoopBody body(arg(1));
    open_loop_frame();
    body.run_times(n);
    if (stack::pending) [[unlikely]] return;
    stack::unwind_last();
}

void repeat_star(bool check, const i32* refinements) {
    if (check) check_args(N_REPEAT, refinements);
    Cell* word = arg(0);
    Cell* counter = float_to_integer_arg(arg(1));
    interpreter::LoopBody body(arg(2));
    i32 n = integer::get(counter);
    if (n < 1) {
        make_cell(arg(0), TYPE_NONE);
        return;
    }
    counter->data2 = 1;
    open_loop_frame();
    body.run_counted(word, counter, n);
    if (stack::pending) [[unlikely]] return;
    stack::unwind_last();
}

void forever_star(bool check, const i32* refinements) {
    if (check) check_args(N_FOREVER, refinements);
    interpreter::LoopBody body(arg(0));
    open_loop_frame();
    body.run_forever();
    if (stack::pending) [[unlikely]] return;
    stack::unwind_last();
}

namespace {

// The word spec of foreach and remove-each: the record size, checked. One
// word over a series is turned away in line.
i32 record_size_checked(Cell* spec, Cell* series);
[[gnu::always_inline]] inline i32 record_size(Cell* spec, Cell* series) {
    if (TYPE_OF(spec) != TYPE_BLOCK && TYPE_OF(series) != TYPE_MAP) return 0;
    return record_size_checked(spec, series);
}
[[gnu::noinline]] i32 record_size_checked(Cell* spec, Cell* series) {
    if (TYPE_OF(spec) == TYPE_BLOCK) {
        i32 n = static_cast<i32>(block::zs_length_q(spec));
        if (n < 1) fire("script", "invalid-arg", spec);
        for (i32 i = 1; i <= n; i++) word_at(spec, i);
        if (TYPE_OF(series) == TYPE_MAP && n != 2) fire("script", "invalid-arg", spec);
        return n;
    }
    if (TYPE_OF(series) == TYPE_MAP) fire("script", "invalid-arg", spec);
    return 0;
}

// remove-each's walk: foreach's steps, `after` (a callable) following each
// body that ended normally.
template <class AfterBody>
void walk(i32 n, interpreter::LoopBody& body, AfterBody& after) {
    struct State {
        i32 n;
        AfterBody* after;
    } state{n, &after};
    body.run_walk({[](void* s) {
                       i32 k = static_cast<State*>(s)->n;
                       return k > 0 ? foreach_next_block(k) : foreach_next();
                   },
                   [](void* s) { (*static_cast<State*>(s)->after)(); }, &state});
}

}  // namespace

void foreach_star(bool check, const i32* refinements) {
    if (check) check_args(N_FOREACH, refinements);
    i32 n = record_size(arg(0), arg(1));
    interpreter::LoopBody body(arg(2));
    stack::push(arg(1));
    stack::push(arg(0));
    open_loop_frame();
    make_cell(stack::push_star(), TYPE_UNSET);
    body.run_foreach(n);
    if (stack::pending) [[unlikely]] return;
    stack::unwind_last();
}

namespace {

// The records remove-each's body chose to drop, taken out in one pass when
// the walk ends (normally, by break or by an error): removing each at once
// would move the rest of the series every time. Until then the body sees the
// series whole. Each record's units are kept, so that a body that changed
// the series can be checked: a record past a shortened tail is gone already;
// one whose place no longer holds its units is an error, never a removal of
// something else.
struct Removals {
    node_t node;
    bool cells;  // a block (16-byte cells), else a string or binary (characters or bytes)
    u32 start_length;
    std::vector<u32> starts;  // record positions, ascending
    std::vector<u32> counts;  // elements of each record (the last may be short)
    std::vector<Cell> kept_cells;  // the records' elements, in order
    std::vector<u32> kept_chars;   // (code points: a string may widen meanwhile)

    // Block and string buffers are plain runs of elements; a hash! must update
    // its table and a watched series (owned or decoded) hear of each removal.
    static bool applies_q(const Cell* s) {
        u32 t = TYPE_OF(s);
        if (t == TYPE_HASH || !(block::any_block_q(t) || string::any_string_q(t) || t == TYPE_BINARY)) return false;
        return !(GET_BUFFER(series_node(s))->flags & SERIES_WATCHED);
    }

    explicit Removals(const Cell* s)
        : node(series_node(s)), cells(block::any_block_q(TYPE_OF(s))),
          start_length(GET_BUFFER(series_node(s))->length()) {}

    // After a body that answered: drops the record just walked when the answer is true.
    void note(i32 n) {
        if (!logic::is_true(stack::arguments)) return;
        SeriesBuffer* b = GET_BUFFER(node);
        u32 len = b->length(), unit = b->unit();
        u32 head = series_head(iteration_series());
        u32 pos = head >= static_cast<u32>(n) ? head - static_cast<u32>(n) : 0;
        if (pos >= len || (!starts.empty() && pos < starts.back() + counts.back())) return;
        u32 count = std::min(static_cast<u32>(n), len - pos);
        starts.push_back(pos);
        counts.push_back(count);
        const u8* from = b->head() + u64(pos) * unit;
        for (u32 k = 0; k < count; k++, from += unit) {
            if (cells) kept_cells.push_back(*reinterpret_cast<const Cell*>(from));
            else kept_chars.push_back(string::get_char(from, unit));
        }
    }

    // Takes the records out; answers false when one is no longer where it was.
    bool finish() {
        if (starts.empty()) return true;
        SeriesBuffer* b = GET_BUFFER(node);
        u32 len = b->length(), unit = b->unit();
        u8* base = b->head();
        u64 w = 0, r = 0;  // write and read positions in bytes
        size_t k = 0;      // first kept element of the record
        bool ok = true;
        for (size_t i = 0; i < starts.size(); i++) {
            u32 count = counts[i];
            size_t first = k;
            k += count;
            if (starts[i] + count > len) continue;  // past a shortened tail: gone already
            const u8* at_p = base + u64(starts[i]) * unit;
            bool same = true;
            for (u32 j = 0; j < count && same; j++) {
                if (cells) same = std::memcmp(at_p + u64(j) * unit, &kept_cells[first + j], sizeof(Cell)) == 0;
                else same = string::get_char(at_p + u64(j) * unit, unit) == kept_chars[first + j];
            }
            if (!same) {  // moved by the body: never remove another
                ok = false;
                continue;
            }
            u64 at = u64(starts[i]) * unit;
            if (w != r) std::memmove(base + w, base + r, at - r);
            w += at - r;
            r = at + u64(count) * unit;
        }
        u64 end = u64(len) * unit;
        if (r > end) r = end;
        if (w != r) std::memmove(base + w, base + r, end - r);
        w += end - r;
        b->tail = b->offset + static_cast<u32>(w);
        starts.clear();
        return ok;
    }
};

}  // namespace

void remove_each_star(bool check, const i32* refinements) {
    if (check) check_args(N_REMOVE_EACH, refinements);
    i32 n = record_size(arg(0), arg(1));
    interpreter::LoopBody body(arg(2));
    Cell data = *arg(1);
    integer::push(n > 0 ? n : 1);
    stack::push(arg(1));
    stack::push(arg(0));
    open_loop_frame();
    make_cell(stack::push_star(), TYPE_UNSET);
    i32 size = n > 0 ? n : 1;
    if (Removals::applies_q(&data)) {
        Removals removals(&data);
        auto note = [&removals, size] { removals.note(size); };
        try {
            walk(n, body, note);
        } catch (Throw&) {
            removals.finish();  // what was decided before the error still goes
            throw;
        }
        bool same = removals.finish();
        if (stack::pending) [[unlikely]] return;
        if (!same) fire("script", "protected");
    } else {
        auto remove = [size] { remove_each_helper(size); };
        walk(n, body, remove);
        if (stack::pending) [[unlikely]] return;
    }
    stack::unwind();
    copy_cell(&data, stack::arguments);
}

void forall_star(bool check, const i32* refinements) {
    if (check) check_args(N_FORALL, refinements);
    Cell* word = arg(0);
    interpreter::LoopBody body(arg(1));
    Cell start = *context::get(word);
    u32 t = TYPE_OF(&start);
    if (!series::series_q(t)) {
        Cell name, type;
        series::word_arg(&name, "forall");
        datatype::make_at(&type, t);
        fire("script", "expect-arg", &name, &type, word);
    }
    stack::push(&start);
    stack::push(word);
    open_loop_frame();
    make_cell(stack::push_star(), TYPE_UNSET);
    // After each run (also one that continued): the word must still hold
    // the same series; it moves on by one.
    struct State {
        Cell* word;
        Cell* start;
        bool first;
    } state{word, &start, true};
    bool broke = !body.run_walk({[](void* p) {
                                     auto* s = static_cast<State*>(p);
                                     if (!s->first) {
                                         Cell* now = context::get(s->word);
                                         if (!series::series_q(TYPE_OF(now)) || series_node(now) != series_node(s->start))
                                             bad_loop_series(now);
                                         if (forall_next(true)) return false;
                                     }
                                     s->first = false;
                                     return foreach_more_q(context::get(s->word));
                                 },
                                 nullptr, &state});
    if (stack::pending) [[unlikely]] return;
    if (!broke) forall_restore();
    stack::unwind_last();
}

}  // namespace zav::natives
