// print and prin: reduce a block, form the value, write it through the print hooks.
#include "datatypes/symbol.h"
#include "datatypes/unset.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/natives.h"
#include "runtime/stack.h"
#include "runtime/helpers.h"
#include "runtime/print_hooks.h"

namespace zav::natives {

bool line_ended = true;

namespace {

constexpr u32 NATIVE_REDUCE = 35;

// Where the next print reduces into: nested prints work above the head their
// caller left, and give it back when done.
u32 print_head = 0;

u32 buffer_length() { return GET_BUFFER(print_buffer())->length(); }

// Cuts the shared buffer back to `head` cells.
void cut_buffer(u32 head) {
    SeriesBuffer* b = GET_BUFFER(print_buffer());
    if (b->length() > head) b->tail = b->offset + head * sizeof(Cell);
}

// reduce/into the buffer from its tail, in a call frame of its own.
void reduce_into_buffer(Cell* value, u32 head) {
    Cell name, into;
    word::make_at(symbol::make("reduce"), &name);
    make_cell(&into, TYPE_BLOCK, head, print_buffer());
    Cell v = *value;
    stack::mark_call(&name);
    stack::push(&v);
    stack::push(&into);
    const i32 refinements[1] = {1};
    call(NATIVE_REDUCE, false, refinements);
    stack::unwind();
}

void print_value(bool new_line) {
    Cell* value = stack::arguments;
    bool reduced = TYPE_OF(value) == TYPE_BLOCK;
    u32 old_head = print_head;
    u32 head = 0;
    if (reduced) {
        head = buffer_length();
        print_head = head;
        try {
            reduce_into_buffer(value, head);
        } catch (...) {
            cut_buffer(head);
            print_head = old_head;
            throw;
        }
        make_cell(stack::arguments, TYPE_BLOCK, head, print_buffer());
        stack::top = stack::arguments + 1;
    }
    try {
        if (TYPE_OF(stack::arguments) == TYPE_STRING) {
            u32 len = GET_BUFFER(series_node(stack::arguments))->length();
            if (series_head(stack::arguments) > len) series_head(stack::arguments) = len;
        } else {
            actions::form_star(-1);
        }
        print_hooks::print(stack::arguments, new_line);
    } catch (...) {
        if (reduced) {
            cut_buffer(head);
            print_head = old_head;
        }
        throw;
    }
    if (reduced) {
        cut_buffer(head);
        print_head = old_head;
    }
    line_ended = new_line;
    unset::push_last();
    stack::top = stack::arguments + 1;
}

}  // namespace

void print_star(bool check, const i32*) {
    if (check) check_args(23, nullptr);
    print_value(true);
}

void prin_star(bool check, const i32*) {
    if (check) check_args(24, nullptr);
    print_value(false);
}

}  // namespace zav::natives
