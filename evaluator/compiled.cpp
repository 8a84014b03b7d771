// Helpers of compiled code: argument checks, slot stores, run-time refinements and paths.
#include "evaluator/compiled.h"

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/logic.h"
#include "evaluator/actions.h"
#include "evaluator/frames.h"
#include "evaluator/natives.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/rt.h"
#include "runtime/stack.h"

namespace zav {

// ---- argument checks --------------------------------------------------------

namespace {

[[noreturn]] void expect_arg(const Cell* value, i32 position) {
    Cell name, type, arg;
    error::get_call_name(&name);
    datatype::make_at(&type, TYPE_OF(value));
    error::get_call_argument(position, &arg);
    fire("script", "expect-arg", &name, &type, &arg);
}

}  // namespace

Cell* check_arg_type(Cell* value, const Cell* typeset, i32 position) {
    if (!typeset_has(typeset, TYPE_OF(value))) expect_arg(value, position);
    return value;
}

void check_arg_type_at(i32 index, const Cell* typeset, i32 position) {
    if (index < 0) return;
    check_arg_type(stack::arguments + index, typeset, position);
}

Cell* check_ref_arg_type(const Cell* refinement, const Cell* typeset, i32 position, Cell* value) {
    if (refinement->data1) return check_arg_type(value, typeset, position);
    return value;
}

Cell* check_not_unset(Cell* value, i32 position) {
    if (TYPE_OF(value) == TYPE_UNSET) expect_arg(value, position);
    return value;
}

// ---- words and context slots --------------------------------------------------

void set_word_top(Cell* word, i32) {
    Cell v = *stack::get_top();
    if (TYPE_OF(&v) == TYPE_UNSET) fire("script", "need-value", word);
    context::set(word, &v);
}

void set_word_top_reset(Cell* word, i32 position) {
    set_word_top(word, position);
    stack::top = stack::arguments;
}

namespace {

Cell* slot_of(node_t ctx, i32 index) {
    Cell* c = context::TO_CTX(ctx);
    if (c->header & context::CTX_ON_STACK) return at<Cell>(c->data2) + index;
    return reinterpret_cast<Cell*>(GET_BUFFER(c->data2)->head()) + index;
}

}  // namespace

void set_ctx_top(node_t ctx, i32 index) {
    Cell v = *stack::get_top();
    if (TYPE_OF(&v) == TYPE_UNSET) {
        Cell w = *context::get_word_at(context::TO_CTX(ctx), static_cast<u32>(index));
        fire("script", "need-value", &w);
    }
    *slot_of(ctx, index) = v;
}

void set_ctx_top_reset(node_t ctx, i32 index) {
    set_ctx_top(ctx, index);
    stack::top = stack::arguments;
}

void set_ctx_top_nocheck(node_t ctx, i32 index) {
    Cell v = *stack::get_top();
    if (context::kind_of(context::TO_CTX(ctx)) == context::KIND_OBJECT) {
        collector::Guard value_root(&v);
        context::mark_changed(ctx, static_cast<u32>(index));
    }
    *slot_of(ctx, index) = v;
    stack::top = stack::arguments;
}

Cell* get_ctx_slot(const Cell*, node_t ctx, i32 index) {
    Cell* c = context::TO_CTX(ctx);
    if (!c->data2) {
        Cell w = *context::get_word_at(c, static_cast<u32>(index));
        fire("script", "not-defined", &w);
    }
    return slot_of(ctx, index);
}

Cell* get_word_checked(const Cell* word) {
    Cell* v = context::get(word);
    if (TYPE_OF(v) == TYPE_UNSET) fire("script", "no-value", word);
    return v;
}

void set_refinement_star(const Cell* value, i32 index, i32 count) {
    if (logic::true_q(value)) {
        stack::arguments[index].data1 = 1;
        return;
    }
    for (i32 i = 1; i <= count; i++) make_cell(stack::arguments + index + i, TYPE_NONE);
}

void select_key_star(bool push, bool to_block) {
    Cell key = stack::arguments[0];
    Cell series = stack::arguments[1];
    Cell found;
    bool hit = false;
    if (TYPE_OF(&key) != TYPE_BLOCK) {
        u32 step = push ? 1 : 2;
        u32 head = series_head(&series);
        u32 n = GET_BUFFER(series_node(&series))->length();
        for (u32 i = head; i < n; i += step) {
            Cell c = *block::zs_abs_at(&series, i);
            if (TYPE_OF(&c) != TYPE_OF(&key) || !actions::compare_star(&c, &key, COMP_EQUAL)) continue;
            hit = true;
            if (to_block) {
                u32 k = i + 1;
                while (k < n && TYPE_OF(block::zs_abs_at(&series, k)) != TYPE_BLOCK) k++;
                if (k < n) found = *block::zs_abs_at(&series, k);
                else make_cell(&found, TYPE_NONE);  // ran to the end
            } else {
                found = *block::zs_abs_at(&series, i + 1 < n ? i + 1 : i);
            }
            break;
        }
    }
    if (!hit) make_cell(&found, TYPE_NONE);
    if (push) stack::push(&found);
    else stack::set_last(&found);
}

// ---- calls and paths decided at run time ------------------------------------------

void call_with_refinements_star(u32 index, bool native, u32 count, const RefinementGroup* groups) {
    if (count > MAX_REFINEMENTS) fire("internal", "limit-hit");
    // Every slot an entry may read starts unused, also past `count`.
    i32 refs[MAX_REFINEMENTS];
    for (i32& r : refs) r = -1;
    for (u32 g = 0; g < count; g++) {
        const RefinementGroup& r = groups[g];
        if (r.position < 1 || static_cast<u32>(r.position) > count) continue;
        if (logic::true_q(r.value)) {
            refs[r.position - 1] = r.slot;
        } else {
            for (i32 k = 0; k < r.count; k++) {
                Cell* c = stack::arguments + r.slot + k;
                if (r.slot >= 0 && c < stack::top) make_cell(c, TYPE_NONE);
            }
        }
    }
    if (native) natives::call(index, true, refs);
    else actions::call_generic(index, refs);
    stack::throw_pending();
}

Cell* eval_path_star(bool set, Cell* path, Cell* items, u32 count) {
    if (count == 0) fire("script", "empty-path");
    // The value to store is the frame's last pushed value: kept before
    // anything else is pushed.
    collector::GuardedCell value;
    if (set) value.value = *stack::get_top();
    collector::GuardedCell parent, current, element;
    parent.value = *items;
    current.value = *items;
    if (TYPE_OF(items) == TYPE_WORD) {
        // A word of an object (not of the global context) makes that object
        // the parent, so that its change handlers hear about the change.
        node_t ctx = items->data1;
        if (ctx && ctx != context::global && context::kind_of(context::TO_CTX(ctx)) == context::KIND_OBJECT)
            parent.value = *context::owner_of(ctx);
        current.value = *context::get(items);
    }
    // A set-path keeps each step's (value, item) pair on the stack from `base`,
    // for storing a changed immediate value back where it came from.
    Cell* base = stack::top;
    for (u32 i = 1; i < count; i++) {
        bool last = i + 1 == count;
        element.value = items[i];
        if (set && !last) {
            stack::push(&current.value);
            stack::push(&element.value);
        }
        Cell* saved_top = stack::top;
        Cell* next = actions::eval_path_dispatch(&current.value, &element.value, set && last ? &value.value : nullptr,
                                                 path, false, &parent.value, nullptr, static_cast<i32>(i), false,
                                                 last);
        Cell v = *next;
        stack::top = saved_top;
        if (set && last && immediate_q(TYPE_OF(&current.value))) {
            actions::store_path_back(&current.value, base, i - 1, TYPE_OF(items) == TYPE_WORD ? items : nullptr,
                                     path, false);
        }
        parent.value = current.value;
        current.value = v;
    }
    stack::top = base;
    return stack::set_last(set ? &value.value : &current.value);
}

void throw_console_error(const char* category, const char* id, const Cell* arg1, const Cell* arg2,
                         const Cell* arg3) {
    stack::mark_call(nullptr);
    error::create_named(category, id, arg1, arg2, arg3);  // pushed: the print native's argument
    natives::call(natives::N_PRINT, false, nullptr);
    make_cell(stack::arguments, TYPE_UNSET);
    stack::unwind();
}

}  // namespace zav
