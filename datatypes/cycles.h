// Cycle guard: the series and objects whose form, mold, compare or deep copy
// is in progress, so that values that contain themselves are written once.
#pragma once
#include "runtime/cell.h"

namespace zav::cycles {

// Nesting deeper than this is reported (internal/too-deep) before the walk
// that meets it could exhaust the machine stack.
constexpr u32 CYCLES_SIZE = 1000;

// Pushes a node; a full stack is emptied and internal/too-deep raised, a
// short machine stack raises internal/stack-overflow.
void push(node_t node);
void pop();
// Holds a node on the stack for a scope, also when a throw leaves it.
struct Guard {
    explicit Guard(node_t node) { push(node); }
    ~Guard() { pop(); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
};
void pop_n(u32 n);
void reset();
// Registers the cycle stack with the collector and the stack-overflow error.
void init();
bool find_q(node_t node);
u32 depth();
// Collector support: keeps every series and context on the stack alive.
void mark();

// Node of the series (or object context) whose contents a value shows.
node_t node_of(const Cell* value);

// When the value's series is being written already, appends the marker for
// its type to `buffer` (a string! cell), lowers `limit` by its length and
// answers true.
bool detect_q(const Cell* value, Cell* buffer, i32& limit, bool mold);

}  // namespace zav::cycles
