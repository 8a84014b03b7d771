// Garbage collector: precise mark and compact over the series buffers and nodes
// of the memory manager. Node frames never move; series frames are compacted.
//
// Roots: the root block, the value stack and the call frames, the marker
// callbacks that higher modules register for what they keep (the symbol
// table, the global context, the cycle stack...), and the guards below for
// values that C++ locals hold outside the value stack.
#pragma once
#include <cstdint>

#include "runtime/cell.h"
#include "runtime/memory.h"

namespace zav {

// The root block holds the boot environment's values and what the runtime
// keeps for good; compiled code reads them by index.
extern node_t root;
Cell* get_root(u32 index);
node_t get_root_node(u32 index);

}  // namespace zav

namespace zav::collector {

extern bool active;      // collections allowed
extern bool stress;      // collect at every node and series allocation (while active) and overwrite what is freed
extern u32 cycles;       // collections run so far
extern u32 history_depth;

// Clears the counters; start-up calls it right after the memory manager.
void init();
// Runs a collection when collections are allowed.
void run_if();
// The same for an allocation that found no room in any series frame. Until
// enough has been allocated since the last collection the heap grows instead
// (the caller makes a new frame): as many bytes as stayed live after the
// last collection, and never less than a few MB. The marking work thus stays
// proportional to what is allocated, on a growing heap as on a steady one.
void run_if_due();
// Makes run_if_due wait until this many series bytes more have been allocated
// (0: back to collecting whenever a frame is full). Start-up uses it: its
// garbage is small and known, and a collection of it costs more than it frees.
void defer_until(u64 bytes);
// Series bytes allocated since the last collection (the memory manager counts them).
extern u64 allocated;
// One full collection, whatever `active` says (recycle).
void do_cycle();
bool collecting_q();
void enable();
void disable();

// Start-up calls this once its library is loaded: the next collection makes
// permanent what start-up allocated and these roots (the root block, the
// global context) still reach. Permanent buffers are never moved or freed,
// and a cycle scans only those of them written since (see SERIES_OLD).
void promote_at_next_cycle(node_t library_root, node_t global_context);
// Back to no permanent buffers (a new arena).
void forget_permanent();
inline bool permanent_q(node_t node) {
    return node && *at<off32>(node) && (GET_BUFFER(node)->flags & SERIES_PERMANENT);
}
// The write mark for a store of `ref` into a cell whose block is not at hand
// (a cache kept in a code cell): a permanent block holding the cell is
// remembered.
void note_cell_store(const Cell* cell, node_t ref);

// Marker callbacks, called in registration order during marking (100 places
// over the life of the process; an unregistered place is not reused). A
// callback registered twice is kept once.
using Marker = void (*)();
constexpr u32 MAX_MARKERS = 100;  // a few dozen modules and tests register; fixed so marking never allocates
void register_marker(Marker marker);
void unregister_marker(Marker marker);
// Sweeper callbacks, called once marking is complete and before anything
// moves: the place to drop entries of weak tables whose keys died.
void register_sweeper(Marker sweeper);

// Marking primitives for markers and for the modules that know their own layouts.
// True when the buffer was not marked yet.
bool mark_node(node_t node);
void unmark_node(node_t node);
bool marked_q(node_t node);
// True when the value is the address of a node slot in use (during a cycle:
// by binary search over the sorted node frames).
bool node_q(off32 value);
// A node whose use is not known (a guarded local, a cycle stack entry): marked,
// with its cells when it holds cells.
void mark_any(node_t node);
// A node and, when newly marked, every cell from its head to its tail.
void mark_block(node_t node);
// The node in a cell's second payload word, as a block.
void mark_value_node(const Cell* cell);
// A context node: its word list, its values and its owner value.
void mark_context(node_t ctx);
void mark_value(const Cell* cell);
// Cells from first up to (not including) last.
void mark_values(const Cell* first, const Cell* last);

// ---- guards for C++ locals ------------------------------------------------------
//
// What C++ code holds outside the value stack across allocations (a local, a
// member of a local object) is kept by a guard: one stack of tagged addresses
// that marking walks. A guard costs a compare and two stores to make and one
// decrement to drop, so hot paths use it freely. Guards nest like scopes:
// each must be destroyed in reverse order of construction, which scopes do;
// a static or a heap object that outlives its scope registers a marker
// instead.
enum GuardKind : uintptr_t {
    GUARD_CELL = 0,   // a cell: its value and everything that refers to
    GUARD_NODE = 1,   // a node variable: the node it holds now, with its cells when a block
    GUARD_TABLE = 2,  // a hash-table variable: the table with all its series
    GUARD_PIN = 3,    // a node variable: as GUARD_NODE, and compaction does not move the buffer
};
constexpr uintptr_t GUARD_KIND_MASK = 3;  // the kind lives in the low bits of a 4-aligned address
static_assert(alignof(Cell) >= 4 && alignof(node_t) >= 4);

struct GuardStack {
    uintptr_t* entries = nullptr;
    u32 count = 0;
    u32 capacity = 0;
};
extern GuardStack guards;
// Doubles the guard stack; out of memory ends the process.
void grow_guards();

// Sanitizer builds check that guards are dropped in order.
#if defined(__SANITIZE_ADDRESS__)
#define ZAV_CHECK_GUARDS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZAV_CHECK_GUARDS 1
#endif
#endif
#ifdef ZAV_CHECK_GUARDS
[[noreturn]] void guard_out_of_order();
#endif

class Guard {
public:
    // A cell: a value held in a C++ variable, marked with what it refers to.
    explicit Guard(const Cell* cell) { push(reinterpret_cast<uintptr_t>(cell)); }
    // A node variable (followed, so it may be reassigned), a table variable or a pin.
    explicit Guard(node_t& node, GuardKind kind = GUARD_NODE) {
        push(reinterpret_cast<uintptr_t>(&node) | kind);
    }
    ~Guard() {
#ifdef ZAV_CHECK_GUARDS
        if (guards.count != at_ + 1) guard_out_of_order();
#endif
        guards.count--;
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

private:
    void push(uintptr_t entry) {
        if (guards.count == guards.capacity) grow_guards();
#ifdef ZAV_CHECK_GUARDS
        at_ = guards.count;
#endif
        guards.entries[guards.count++] = entry;
    }
#ifdef ZAV_CHECK_GUARDS
    u32 at_;
#endif
};

// A cell that guards itself: a C++ local that holds a value across allocations.
class GuardedCell {
public:
    GuardedCell() : guard_(&value) {}
    Cell value{TYPE_UNSET, 0, 0, 0};

private:
    Guard guard_;
};

// Statistics of the last cycle, for tests and benchmarks.
struct Stats {
    u32 nodes_freed;
    u32 bytes_moved;
    u32 frames_released;
    u32 big_released;
    u32 live_bytes;   // series bytes in use after the cycle
    u32 freed_bytes;  // series bytes in use before it, less live_bytes
};
extern Stats last;

}  // namespace zav::collector
