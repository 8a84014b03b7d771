// Cycle guard for form, mold, compare and deep copy.
#include "datatypes/cycles.h"

#include "datatypes/string.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/machine_stack.h"

namespace zav::cycles {

namespace {
node_t entries[CYCLES_SIZE];
u32 count = 0;
}  // namespace

void push(node_t node) {
    // Every level of a nested form, mold, compare or copy passes here.
    machine_stack::check();
    entries[count++] = node;
    if (count == CYCLES_SIZE) {
        count = 0;  // emptied first, so that the error itself can be formed
        fire("internal", "too-deep");
    }
}

void pop() {
    if (count) count--;
}

void pop_n(u32 n) { count = n > count ? 0 : count - n; }

void reset() { count = 0; }

void init() {
    collector::register_marker(mark);
    // A stack overflow abandons the writers that were under way.
    machine_stack::before_overflow = reset;
}

u32 depth() { return count; }

void mark() {
    for (u32 i = 0; i < count; i++) collector::mark_any(entries[i]);
}

bool find_q(node_t node) {
    for (u32 i = 0; i < count; i++)
        if (entries[i] == node) return true;
    return false;
}

node_t node_of(const Cell* value) {
    // Objects, errors and ports keep their context node where series keep their head.
    switch (TYPE_OF(value)) {
        case TYPE_OBJECT:
        case TYPE_ERROR:
        case TYPE_PORT_ID:
            return value->data1;
        default:
            return value->data2;
    }
}

bool detect_q(const Cell* value, Cell* buffer, i32& limit, bool mold) {
    if (!find_q(node_of(value))) return false;
    const char* marker = "...";
    if (mold) {
        switch (TYPE_OF(value)) {
            case TYPE_BLOCK: case TYPE_HASH: marker = "[...]"; break;
            case TYPE_PAREN: marker = "(...)"; break;
            case TYPE_MAP: marker = "#[...]"; break;
            case TYPE_OBJECT: marker = "make object! [...]"; break;
            case TYPE_ERROR: marker = "make error! [...]"; break;
            default: break;
        }
    }
    u32 n = static_cast<u32>(std::strlen(marker));
    string::concatenate_literal_part(buffer, marker, n);
    limit -= static_cast<i32>(n);
    return true;
}

}  // namespace zav::cycles
