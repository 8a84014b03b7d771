// Garbage collector: precise mark and compact over the series buffers and nodes
// of the memory manager. Node frames never move; series frames are compacted.
//
// Roots: the root block, the value stack and the call frames, the marker
// callbacks that higher modules register for what they keep (the symbol
// table, the global context, the cycle stack...), and the guards below for
// values that C++ code holds outside the value stack.
#pragma once
#include "runtime/cell.h"

namespace zav::collector {

extern bool active;      // collections allowed
extern bool stress;      // collect at every node and series allocation (while active) and overwrite what is freed
extern u32 cycles;       // collections run so far
extern u32 history_depth;

// Clears the counters; start-up calls it right after the memory manager.
void init();
// Runs a collection when collections are allowed.
void run_if();
// The same for an allocation that found no room in any series frame. After a
// collection that freed less than half of what stayed live, the heap grows
// instead (the caller makes a new frame) until as many bytes as were live
// have been allocated since: on a growing heap the marking work stays
// proportional to what is allocated rather than to its square.
void run_if_due();
// Series bytes allocated since the last collection (the memory manager counts them).
extern u64 allocated;
// One full collection, whatever `active` says (recycle).
void do_cycle();
bool collecting_q();
void enable();
void disable();

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

// Keeps a cell that C++ code holds outside the value stack (a static, a
// local, a member) alive with everything it refers to. Guards nest: destroy
// them in reverse order of construction (scopes do that).
class Root {
public:
    Root();  // guards its own cell, `value`
    explicit Root(Cell* cell);
    ~Root();
    Root(const Root&) = delete;
    Root& operator=(const Root&) = delete;

    Cell value;
    Cell* cell;
};

// Keeps the series of a node held in a C++ local alive; follows the variable,
// so it may be reassigned. A buffer of cells has its cells marked too.
class NodeRoot {
public:
    explicit NodeRoot(node_t& node);
    ~NodeRoot();
    NodeRoot(const NodeRoot&) = delete;
    NodeRoot& operator=(const NodeRoot&) = delete;

private:
    node_t* node_;
};

// Keeps a hash table held in a C++ local alive with all its series (record,
// buckets, indexed block, entries); follows the variable like NodeRoot.
class TableRoot {
public:
    explicit TableRoot(node_t& table);
    ~TableRoot();
    TableRoot(const TableRoot&) = delete;
    TableRoot& operator=(const TableRoot&) = delete;

private:
    node_t* table_;
};

// Keeps a buffer alive and in place: while pinned, compaction does not move
// it, so raw pointers into its data stay valid across allocations.
class Pin {
public:
    explicit Pin(node_t node);
    ~Pin();
    Pin(const Pin&) = delete;
    Pin& operator=(const Pin&) = delete;

private:
    node_t node_;
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
