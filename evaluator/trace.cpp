// The tracer: the state of do/trace, and the delivery of its events (the
// tracer function called with event, code, position, value, reference and
// frame, in a frame of its own).
#include "evaluator/interpreter.h"

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "datatypes/symbol.h"
#include "datatypes/words.h"
#include "runtime/collector.h"
#include "runtime/memory.h"
#include "runtime/stack.h"

namespace zav::interpreter {

TraceState trace{false, false, false, 0, false};

namespace {

node_t tracer_node = 0;  // the root block cell holding the tracer, by position
u32 tracer_index = 0;
u32 tracer_generation = 0xFFFFFFFF;

Cell* word_of(Cell* out, i32 sym) { return make_cell(out, TYPE_WORD, 0, static_cast<u32>(sym), 0xFFFFFFFF); }

void fire_simple(u32 event, Cell* code, i32 pos, const Cell* ref, const Cell* value) {
    if (trace.enabled) fire_event(event, code, pos, ref, value);
}

}  // namespace

void init_tracer() {
    // The reference switch is no part of a trace: it stays as it was set.
    trace = TraceState{false, false, trace.reference, 0, false};
    Cell* c = alloc_at_tail(root);
    make_cell(c, TYPE_NONE);
    tracer_node = root;
    tracer_index = GET_BUFFER(root)->length() - 1;
    tracer_generation = memory::generation;
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
    // A copy: delivery moves the current code cell.
    collector::GuardedCell code;
    code.value = *current_code();
    Cell* c = &code.value;
    bool in_block = block::any_block_q(TYPE_OF(c));
    fire_event(EVT_ERROR, in_block ? c : nullptr, in_block ? static_cast<i32>(series_head(c)) : -1, nullptr, err);
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
    if (trace.suspended && event != EVT_INIT && event != EVT_END) return;
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
    // A body's events: the body block, from before its first value.
    if (event == EVT_PROLOG || event == EVT_EPILOG) index = -1;
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
    call_function(&fn, ctx, &cb, 0);
    // An exit out of the tracer goes on as a throw (the events are delivered
    // from everywhere in the evaluator), leaving delivery off.
    stack::throw_pending();
    trace.enabled = true;
    stack::unwind_copy();
    stack::top = saved_top;
    stack::frame_top = saved_frame;
}

void fire_init() {
    trace.suspended = false;
    fire_simple(EVT_INIT, nullptr, -1, nullptr, nullptr);
}
void fire_end() {
    fire_simple(EVT_END, nullptr, -1, nullptr, nullptr);
    trace.suspended = false;
}
void suspend_trace(bool off) {
    if (trace.active) trace.suspended = off;
}
void fire_throw(const Cell* value) { fire_simple(EVT_THROW, nullptr, -1, nullptr, value); }
void fire_catch(const Cell* value) { fire_simple(EVT_CATCH, nullptr, -1, nullptr, value); }
void fire_call(Cell* name, Cell* fn) { fire_simple(EVT_CALL, nullptr, -1, name, fn); }
void fire_return(Cell* name, Cell* fn) { fire_simple(EVT_RETURN, nullptr, -1, name, fn); }

}  // namespace zav::interpreter
