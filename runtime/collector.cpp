// Garbage collector: marks from the roots, sweeps handles and node-keyed
// tables, slides live buffers together inside (or into the previous) series
// frame where enough of it died, releases dead big frames and returns dead
// nodes in one pass over the node frames.
#include "runtime/collector.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "runtime/budget.h"
#include "runtime/handles.h"
#include "runtime/hashtable.h"
#include "runtime/cell.h"
#include "runtime/memory.h"
#include "runtime/rt.h"
#include "runtime/slots.h"
#include "runtime/stack.h"

namespace zav {

node_t root = 0;

Cell* get_root(u32 index) { return reinterpret_cast<Cell*>(GET_BUFFER(root)->head()) + index; }

node_t get_root_node(u32 index) { return get_root(index)->data2; }

}  // namespace zav

namespace zav::collector {

bool active = false;
bool stress = false;
u32 cycles = 0;
u32 history_depth = 5;
Stats last{};
u64 allocated = 0;
GuardStack guards;

namespace {

std::atomic<bool> collecting{false};

// Bytes to allocate before run_if_due collects again (0: collect whenever asked).
u64 grow_budget = 0;
// The least allocation between two collections a full frame waits for. A
// cycle marks everything live, start-up's library included (a few MB that
// stay for the whole run), so waiting for some multiple of that keeps the
// marking paid per byte allocated small; the garbage it lets pile up is
// bounded by this or the live size.
constexpr u64 MIN_GROWTH = 8u << 20;

// Only compacting into the previous frame when this gains enough room (5% of
// a first frame) keeps small frames from trading buffers back and forth.
constexpr u32 PREV_MIN_FREE = 52429;
// Buffers stay in place until the dead bytes met exceed this share (1/n) of
// their frame (see compact_frame): the holes kept cost at most that share of
// memory, and a quarter cost map-heavy programs a tenth more at their peak.
constexpr u32 KEEP_DEAD_SHARE = 8;
// Dead bytes the last cycle left inside kept frames: in use, not live.
u64 holes = 0;
constexpr u32 EVENT_HAS_BLOCK = 0x1000;
constexpr u8 SCRIBBLE = 0xDD;  // fills freed bytes under stress, so a stale pointer reads a telltale pattern

Marker markers[MAX_MARKERS];
u32 marker_count = 0;
Marker sweepers[MAX_MARKERS];
u32 sweeper_count = 0;

// Marking work: buffers whose cells are still to be marked. A context is
// scanned as its two cells whatever its tail says. Pushed once per marked
// block, so the push is a compare and two stores; growing is out of line.
struct Work {
    node_t node;
    bool context;
};
struct WorkStack {
    Work* items = nullptr;
    u32 count = 0;
    u32 capacity = 0;

    void push(node_t node, bool context) {
        if (count == capacity) grow();
        items[count++] = Work{node, context};
    }
    [[gnu::noinline]] void grow() {
        u32 more = capacity ? capacity * 2 : 4096;
        auto* grown = static_cast<Work*>(std::realloc(items, more * sizeof(Work)));
        if (!grown) rt::quit(rt::RT_ERR_OUT_OF_MEMORY, rt::code_address());
        items = grown;
        capacity = more;
    }
};
WorkStack work;
std::vector<node_t> fixed_marked;  // marked buffers outside the series frames
std::vector<NodeFrame*> node_frames;  // sorted by address during a cycle
// While set, every node is checked before it is marked: a slot just taken on
// the value stack may still hold what an earlier value left there.
bool checking = false;
std::vector<off32> pinned;  // buffer addresses, sorted, during compaction

NodeFrame* frame_of(off32 node) {
    auto it = std::upper_bound(node_frames.begin(), node_frames.end(), node,
                               [](off32 v, NodeFrame* f) { return v < off_of(f); });
    if (it == node_frames.begin()) return nullptr;
    NodeFrame* f = *(it - 1);
    off32 first = off_of(f->nodes());
    return node >= first && node < first + f->capacity * 4 ? f : nullptr;
}

void build_node_frames() {
    node_frames.clear();
    for (off32 o = memory::record.n_head; o; o = at<NodeFrame>(o)->next) node_frames.push_back(at<NodeFrame>(o));
    std::sort(node_frames.begin(), node_frames.end());
}

// Dead nodes are found as compaction walks the buffers, in buffer order. Each
// is tagged in its own slot (bit 0: slots hold 4-aligned offsets) and freed
// by one pass over the node frames afterwards, which meets them in slot
// order: no list to gather and no sort, and a frame's free chain is rebuilt
// in ascending slot order, so the highest freed slot is reused first.
constexpr off32 DEAD_TAG = 1;
u32 dead_count = 0;
off32 dead_low = ~0u, dead_high = 0;  // the tagged slots lie within these

void doom(node_t node) {
    *at<off32>(node) |= DEAD_TAG;
    if (node < dead_low) dead_low = node;
    if (node > dead_high) dead_high = node;
    dead_count++;
}

void free_dead_nodes() {
    if (!dead_count) return;
    for (NodeFrame* f : node_frames) free_tagged_nodes(f, dead_low, dead_high + 4, DEAD_TAG);
    last.nodes_freed += dead_count;
    dead_count = 0;
    dead_low = ~0u;
    dead_high = 0;
}

// Marks a node's buffer, the node taken as it is (callers in checking mode
// have tested it). Most of a cycle is this test, so it is inlined into the
// marking loop rather than reached through the checking entry points.
[[gnu::always_inline]] inline bool set_mark(node_t node) {
    off32 buffer = node ? *at<off32>(node) : 0;
    if (!buffer) return false;
    auto* b = at<SeriesBuffer>(buffer);
    if (b->node != node || (b->flags & (SERIES_MARK | SERIES_PERMANENT))) return false;
    b->flags |= SERIES_MARK;
    if (b->flags & SERIES_FIXED) fixed_marked.push_back(node);
    return true;
}

// The context that mark_context met last, marked: words bound to one context
// come in long runs, and each of them is skipped at one compare. Cleared at
// the start and end of a cycle, when marks are clear.
node_t last_context = 0;

// The series of a value that holds no cells (string, binary, bitset...); in
// checking mode only a live buffer of units, so that a stale slot cannot mark a
// block as done without its cells.
[[gnu::always_inline]] inline void mark_data(node_t node) {
    if (checking && (!node_q(node) || GET_BUFFER(node)->unit() == sizeof(Cell))) return;
    set_mark(node);
}

// A table a value refers to; in checking mode only a live table record.
void mark_table(node_t table) {
    if (checking) {
        if (!node_q(table)) return;
        SeriesBuffer* b = GET_BUFFER(table);
        if (b->unit() != 1 || b->used_bytes() != sizeof(hashtable::Table)) return;
    }
    hashtable::mark(table);
}

// True when the buffer at `b` is the live buffer of its node.
bool owns_node(SeriesBuffer* b) { return b->node && (b->flags & SERIES_USED) && *at<off32>(b->node) == off_of(b); }

// Marks the cells of every buffer pushed, and of those they push (below).
void drain();
// Permanent buffers (below): made at the first cycle after start-up asks,
// and the blocks each cycle scans because they were written since.
bool promote_pending = false;
void promote();
void push_remembered();
void check_permanent_or_die();

void mark_roots() {
    last_context = 0;
    push_remembered();
    if (root) mark_block(root);
    mark_value(&slots::registry);
    if (stack::bottom) {
        checking = true;
        mark_values(stack::bottom, stack::top);
        checking = false;
        stack::mark_for_collector();
    }
    for (u32 i = 0; i < guards.count; i++) {
        uintptr_t e = guards.entries[i];
        void* p = reinterpret_cast<void*>(e & ~GUARD_KIND_MASK);
        switch (e & GUARD_KIND_MASK) {
            case GUARD_CELL:
                mark_value(static_cast<const Cell*>(p));
                break;
            case GUARD_TABLE:
                if (node_q(*static_cast<node_t*>(p))) hashtable::mark(*static_cast<node_t*>(p));
                break;
            default:  // a node or a pin
                mark_any(*static_cast<node_t*>(p));
                break;
        }
    }
    drain();
    for (u32 i = 0; i < marker_count; i++) {
        if (markers[i]) {
            markers[i]();
            drain();
        }
    }
}

// ---- compaction ------------------------------------------------------------

// Moves the live run [from, to) down to dst and re-points its nodes (the
// walk that found the run cleared its marks; a run that stays is not walked again).
void move_run(off32 from, off32 to, off32 dst) {
    u32 dist = from - dst;
    if (!dist) return;
    memory::forget_buffers();
    std::memmove(at(dst), at(from), to - from);
    last.bytes_moved += to - from;
    for (off32 p = dst; p < dst + (to - from);) {
        auto* b = at<SeriesBuffer>(p);
        *at<off32>(b->node) = p;
        b->offset -= dist;
        b->tail -= dist;
        p += b->size + SERIES_HEADER + SERIES_SLACK;
    }
}

// Free space in front of a pinned buffer, formatted as a dead buffer so that
// the frame can still be walked.
void make_filler(off32 from, off32 to) {
    if (stress) std::memset(at(from), SCRIBBLE, to - from);
    auto* b = at<SeriesBuffer>(from);
    b->flags = 0;
    b->node = 0;
    b->size = to - from - SERIES_HEADER - SERIES_SLACK;
    b->offset = b->tail = off_of(b->data());
}

bool pinned_q(off32 buffer) {
    return !pinned.empty() && std::binary_search(pinned.begin(), pinned.end(), buffer);
}

// One walk per frame. Buffers stay where they are while the dead bytes met
// so far are under a share of the frame's used bytes: each dead run among
// them becomes one filler. From the dead buffer that takes the share over,
// the live buffers that follow slide down over it, and into the previous
// frame's room when nothing before them stayed. A mostly-live frame is thus
// not copied (nor its nodes re-pointed, nor its decoded forms ended) to win
// back little room, and the holes it keeps stay under that share.
void compact_frame(SeriesFrame* f) {
    off32 start = off_of(f) + sizeof(SeriesFrame);
    off32 end = f->heap;
    u32 dead_limit = (end - start) / KEEP_DEAD_SHARE;

    u32 dead_bytes = 0;
    off32 dead_from = 0;  // while keeping: start of the dead run being walked
    bool sliding = false;
    SeriesFrame* into = nullptr;
    off32 dst = start;
    off32 run = 0, run_end = 0;
    auto flush = [&] {
        if (run == run_end) return;
        move_run(run, run_end, dst);
        dst += run_end - run;
        run = run_end = 0;
    };
    auto stop_moving_back = [&] {
        into->heap = dst;
        into = nullptr;
        dst = start;
    };
    for (off32 p = start; p < end;) {
        auto* b = at<SeriesBuffer>(p);
        u32 entry = b->size + SERIES_HEADER + SERIES_SLACK;
        if (!(b->flags & (SERIES_MARK | SERIES_PERMANENT))) {
            if (owns_node(b)) doom(b->node);
            if (sliding) {
                flush();
            } else {
                if (!dead_from) dead_from = p;
                dead_bytes += entry;
                if (dead_bytes > dead_limit) {
                    sliding = true;
                    dst = dead_from;
                    if (dead_from == start && f->prev) {
                        SeriesFrame* prev = at<SeriesFrame>(f->prev);
                        if (prev->end - prev->heap >= PREV_MIN_FREE) {
                            into = prev;
                            dst = into->heap;
                        }
                    }
                }
            }
        } else if (!sliding) {
            b->flags &= ~SERIES_MARK;
            if (dead_from) {
                make_filler(dead_from, p);
                holes += p - dead_from;
                dead_from = 0;
            }
        } else if ((b->flags & SERIES_PERMANENT) || pinned_q(p)) {
            flush();
            if (into) stop_moving_back();
            b->flags &= ~SERIES_MARK;
            if (dst < p) make_filler(dst, p);
            dst = p + entry;
        } else {
            b->flags &= ~SERIES_MARK;
            if (into && dst + (run_end - run) + entry > into->end) {
                flush();
                stop_moving_back();
            }
            if (run == run_end) run = run_end = p;
            run_end = p + entry;
        }
        p += entry;
    }
    if (!sliding) {
        f->heap = dead_from ? dead_from : end;
    } else {
        flush();
        if (into) {
            into->heap = dst;
            f->heap = start;
        } else {
            f->heap = dst;
        }
    }
    // Under stress, what was freed or moved away is overwritten, so that a
    // stale pointer into it reads garbage at once instead of old contents.
    if (stress && f->heap < end) std::memset(at(f->heap), SCRIBBLE, end - f->heap);
    if (f->heap == start && f->next) {
        free_series_frame(f);
        last.frames_released++;
    }
}

void pin(node_t n) {
    if (!node_q(n)) return;
    SeriesBuffer* b = GET_BUFFER(n);
    if (!(b->flags & (SERIES_BIG | SERIES_FIXED))) pinned.push_back(off_of(b));
}

void compact_series_frames() {
    pinned.clear();
    for (u32 i = 0; i < guards.count; i++) {
        uintptr_t e = guards.entries[i];
        if ((e & GUARD_KIND_MASK) == GUARD_PIN) pin(*reinterpret_cast<node_t*>(e & ~GUARD_KIND_MASK));
    }
    std::sort(pinned.begin(), pinned.end());
    for (off32 o = memory::record.s_head; o;) {
        off32 next = at<SeriesFrame>(o)->next;
        compact_frame(at<SeriesFrame>(o));
        o = next;
    }
}

void sweep_big_frames() {
    for (off32 o = memory::record.b_head; o;) {
        auto* f = at<BigFrame>(o);
        off32 next = f->next;
        SeriesBuffer* b = f->buffer();
        if (b->flags & (SERIES_MARK | SERIES_PERMANENT)) {
            b->flags &= ~SERIES_MARK;
        } else {
            if (owns_node(b)) doom(b->node);
            free_big(b);
            last.big_released++;
        }
        o = next;
    }
}

// Series bytes in use: the filled part of every series frame and every big frame.
u64 series_bytes() {
    u64 n = 0;
    for (off32 o = memory::record.s_head; o; o = at<SeriesFrame>(o)->next) {
        auto* f = at<SeriesFrame>(o);
        n += f->heap - (o + sizeof(SeriesFrame));
    }
    for (off32 o = memory::record.b_head; o; o = at<BigFrame>(o)->next) n += at<BigFrame>(o)->size;
    return n;
}

}  // namespace

void init() {
    forget_permanent();
    cycles = 0;
    history_depth = 5;
    last = Stats{};
    allocated = 0;
    grow_budget = 0;
    holes = 0;
}

void run_if() {
    if (active) do_cycle();
}

void run_if_due() {
    if (active && allocated >= grow_budget) do_cycle();
}

void defer_until(u64 bytes) {
    allocated = 0;
    grow_budget = bytes;
}

bool collecting_q() { return collecting.load(std::memory_order_seq_cst); }

void enable() { active = true; }
void disable() { active = false; }

void do_cycle() {
    if (collecting_q() || !memory::record.n_head) return;
    collecting.store(true, std::memory_order_seq_cst);
    // A failure while releasing frames must not leave the collector locked.
    struct Done {
        ~Done() {
            free_dead_nodes();  // a failure while releasing frames leaves no slot tagged
            last_context = 0;
            work.count = 0;
            node_frames.clear();
            collecting.store(false, std::memory_order_seq_cst);
        }
    } done;
    last = Stats{};
    u64 before = series_bytes() - holes;
    build_node_frames();
    if (promote_pending) promote();
    mark_roots();
    // Under stress every cycle checks that no permanent block was written
    // past the write mark: the test suites run with it.
    if (stress) check_permanent_or_die();
    handles::sweep();
    for (u32 i = 0; i < sweeper_count; i++) sweepers[i]();
    holes = 0;
    compact_series_frames();
    sweep_big_frames();
    free_dead_nodes();
    free_node_frames();
    for (node_t n : fixed_marked) GET_BUFFER(n)->flags &= ~SERIES_MARK;
    fixed_marked.clear();
    u64 live = series_bytes() - holes;
    u64 freed = before > live ? before - live : 0;
    last.live_bytes = static_cast<u32>(live);
    last.freed_bytes = static_cast<u32>(freed);
    allocated = 0;
    // Wait for as much as stays live: the marking work per byte allocated
    // stays bounded whether the heap grows or holds steady, and a steady heap
    // stays within about twice its live size.
    grow_budget = std::max(MIN_GROWTH, live);
    cycles++;
    // Marking costs in proportion to what stays live: a unit per 4 KiB.
    budget::charge(live / 4);
}

namespace {

// Registering the same callback again (a module set up a second time) changes nothing.
void add_callback(Marker* list, u32& count, Marker callback) {
    for (u32 i = 0; i < count; i++)
        if (list[i] == callback) return;
    if (count == MAX_MARKERS) rt::quit(rt::RT_ERR_NO_SWITCH, rt::code_address());
    list[count++] = callback;
}

}  // namespace

void register_marker(Marker marker) { add_callback(markers, marker_count, marker); }

void register_sweeper(Marker sweeper) { add_callback(sweepers, sweeper_count, sweeper); }

void unregister_marker(Marker marker) {
    for (u32 i = 0; i < marker_count; i++) {
        if (markers[i] == marker) {
            markers[i] = nullptr;
            return;
        }
    }
}

// ---- marking ---------------------------------------------------------------

bool node_q(off32 value) {
    if (!value || (value & 3)) return false;
    auto in_node_frame = [](off32 v) { return node_frames.empty() ? node_frame_of(v) != nullptr : frame_of(v) != nullptr; };
    if (!in_node_frame(value)) return false;
    // A free node holds a link to another node (or 0), never a buffer that points back.
    off32 content = *at<off32>(value);
    return content && !in_node_frame(content) && at<SeriesBuffer>(content)->node == value;
}

bool mark_node(node_t node) {
    if (checking && !node_q(node)) return false;
    return set_mark(node);
}

void unmark_node(node_t node) {
    if (node == last_context) last_context = 0;
    if (node) GET_BUFFER(node)->flags &= ~SERIES_MARK;
}

bool marked_q(node_t node) {
    return node && *at<off32>(node) && (GET_BUFFER(node)->flags & (SERIES_MARK | SERIES_PERMANENT));
}

void mark_any(node_t node) {
    if (!node_q(node)) return;
    if (GET_BUFFER(node)->unit() == 16) mark_block(node);
    else mark_node(node);
}

void mark_value_node(const Cell* cell) { mark_block(cell->data2); }

namespace {

// In checking mode only a live context: its buffer holds the context cell and the owner.
bool live_context_q(node_t ctx) {
    if (!node_q(ctx)) return false;
    SeriesBuffer* b = GET_BUFFER(ctx);
    if (b->unit() != sizeof(Cell) || b->used_bytes() != 2 * sizeof(Cell)) return false;
    return TYPE_OF(reinterpret_cast<const Cell*>(b->head())) == TYPE_CONTEXT_ID;
}

// mark_context, in line in the scan loop: most cells are words.
[[gnu::always_inline]] inline void push_context(node_t ctx) {
    if (ctx == last_context) return;
    if (checking && !live_context_q(ctx)) return;
    last_context = ctx;
    if (set_mark(ctx)) work.push(ctx, true);
}

}  // namespace

void mark_context(node_t ctx) { push_context(ctx); }

namespace {

// Values that refer to nothing (numbers, scalars): a block of a million
// integers is scanned without a call per cell. Only types listed here are
// skipped.
constexpr u64 PLAIN_DATA = 1ull << TYPE_UNSET | 1ull << TYPE_NONE | 1ull << TYPE_LOGIC | 1ull << TYPE_CHAR |
                           1ull << TYPE_INTEGER | 1ull << TYPE_FLOAT | 1ull << TYPE_ISSUE | 1ull << TYPE_TYPESET |
                           1ull << TYPE_PAIR | 1ull << TYPE_PERCENT | 1ull << TYPE_TUPLE | 1ull << TYPE_TIME |
                           1ull << TYPE_DATE | 1ull << TYPE_MONEY | 1ull << TYPE_POINT2D | 1ull << TYPE_POINT3D;
static_assert(TYPE_POINT3D < 64);
// The shapes that make up most of a heap, marked in the scan loop itself;
// the other types go through visit_other's switch.
constexpr u64 WORD_TYPES = 1ull << TYPE_WORD | 1ull << TYPE_SET_WORD | 1ull << TYPE_LIT_WORD |
                           1ull << TYPE_GET_WORD | 1ull << TYPE_REFINEMENT;
constexpr u64 TEXT_TYPES = 1ull << TYPE_STRING | 1ull << TYPE_FILE | 1ull << TYPE_URL | 1ull << TYPE_TAG |
                           1ull << TYPE_EMAIL | 1ull << TYPE_REF;
constexpr u64 BLOCK_TYPES = 1ull << TYPE_BLOCK | 1ull << TYPE_PAREN | 1ull << TYPE_PATH | 1ull << TYPE_LIT_PATH |
                            1ull << TYPE_SET_PATH | 1ull << TYPE_GET_PATH;

// What the scan loop does with each type, one load per cell.
enum Shape : u8 { SHAPE_OTHER, SHAPE_PLAIN, SHAPE_WORD, SHAPE_TEXT, SHAPE_BLOCK };
constexpr auto SHAPES = [] {
    std::array<u8, TYPE_MASK + 1> shapes{};
    for (u32 t = 0; t < 64; t++) {
        u64 bit = 1ull << t;
        shapes[t] = bit & PLAIN_DATA    ? SHAPE_PLAIN
                    : bit & WORD_TYPES  ? SHAPE_WORD
                    : bit & TEXT_TYPES  ? SHAPE_TEXT
                    : bit & BLOCK_TYPES ? SHAPE_BLOCK
                                        : SHAPE_OTHER;
    }
    return shapes;
}();

// mark_block, inlined into the scan loop.
[[gnu::always_inline]] inline void push_block(node_t node) {
    if (checking && (!node_q(node) || GET_BUFFER(node)->unit() != sizeof(Cell))) return;
    if (set_mark(node)) work.push(node, false);
}

}  // namespace

void mark_block(node_t node) { push_block(node); }

namespace {

// What a cell refers to, by kind: a visitor's context, block, data (a series
// without values), table and handle calls. Marking, promotion and the check
// of permanent blocks read cells through this one walk.
template <typename V>
[[gnu::always_inline]] inline void visit_other(const Cell* c, V& v) {
    switch (TYPE_OF(c)) {
        case TYPE_SYMBOL_ID:
            v.data(c->data3);
            if (c->data2) v.data(c->data2);
            break;
        case TYPE_CONTEXT_ID:
            v.table(c->data1);
            if (!(c->header & context::CTX_ON_STACK) && c->data2) v.block(c->data2);
            break;
        case TYPE_NATIVE:
        case TYPE_ACTION:
            v.block(c->data2);
            v.block(c->data3);
            break;
        case TYPE_OP: {
            v.block(c->data2);
            v.block(c->data3);
            u32 wrapped = (c->header >> 16) & 0xFF;
            if ((wrapped == TYPE_FUNCTION || wrapped == TYPE_ROUTINE) && c->data1) v.context(c->data1);
            break;
        }
        case TYPE_FUNCTION:
        case TYPE_ROUTINE:
            if (c->data1) v.context(c->data1);
            v.block(c->data2);
            v.block(c->data3);
            break;
        case TYPE_BITSET:
        case TYPE_VECTOR:
        case TYPE_BINARY:
            v.data(c->data2);
            break;
        case TYPE_OBJECT:
        case TYPE_ERROR:
        case TYPE_PORT_ID:
            if (c->data1) v.context(c->data1);
            if (c->data3) v.block(c->data3);  // the change-handler record
            break;
        case TYPE_HASH:
        case TYPE_MAP:
            v.block(c->data2);
            if (c->data3) v.table(c->data3);
            break;
        case TYPE_HANDLE:
            if (static_cast<i32>(c->data3) >= 0) v.handle(c->data3);
            break;
        case TYPE_IMAGE:
            // The pixels: a buffer of 4-byte units, no values inside.
            v.data(c->data2);
            break;
        case TYPE_EVENT:
            if ((c->header & EVENT_HAS_BLOCK) && c->data2) v.block(c->data2);
            break;
        default:
            break;
    }
}

// One cell: the common shapes first, so that marking's scan loop makes no
// call for them.
template <typename V>
[[gnu::always_inline]] inline void visit_cell(const Cell* c, V& v) {
    switch (SHAPES[TYPE_OF(c)]) {
        case SHAPE_PLAIN:
            break;
        case SHAPE_WORD:
            if (c->data1) v.context(c->data1);
            break;
        case SHAPE_TEXT:
            v.data(c->data2);
            if (c->data3) v.data(c->data3);  // the UTF-8/UTF-16 conversion cache
            break;
        case SHAPE_BLOCK:
            v.block(c->data2);
            break;
        default:
            v.other(c);
            break;
    }
}

struct MarkVisitor {
    [[gnu::always_inline]] static void context(node_t n) { push_context(n); }
    [[gnu::always_inline]] static void block(node_t n) { push_block(n); }
    [[gnu::always_inline]] static void data(node_t n) { mark_data(n); }
    static void table(node_t n) { mark_table(n); }
    static void handle(u32 h) { handles::mark(h); }
    void other(const Cell* c);
};

// The types of SHAPE_OTHER, out of the scan loop.
[[gnu::noinline]] void MarkVisitor::other(const Cell* c) { visit_other(c, *this); }

[[gnu::always_inline]] inline void mark_cell(const Cell* c) {
    MarkVisitor v;
    visit_cell(c, v);
}

// The scan loop: a context as its two cells, a block as all of them, each
// marked in line.
void drain() {
    while (work.count) {
        Work w = work.items[--work.count];
        SeriesBuffer* b = GET_BUFFER(w.node);
        auto* c = reinterpret_cast<const Cell*>(b->head());
        auto* last = w.context ? c + 2 : reinterpret_cast<const Cell*>(b->tail_ptr());
        for (; c < last; c++) mark_cell(c);
    }
}

}  // namespace

void mark_values(const Cell* first, const Cell* last) {
    for (const Cell* c = first; c < last; c++) mark_cell(c);
}

void mark_value(const Cell* c) { mark_cell(c); }

// ---- guards ----------------------------------------------------------------

void grow_guards() {
    // Deep enough for the evaluator's deepest recursion without regrowing often.
    u32 capacity = guards.capacity ? guards.capacity * 2 : 1024;
    auto* entries = static_cast<uintptr_t*>(std::realloc(guards.entries, capacity * sizeof(uintptr_t)));
    if (!entries) rt::quit(rt::RT_ERR_OUT_OF_MEMORY, rt::code_address());
    guards.entries = entries;
    guards.capacity = capacity;
}

#ifdef ZAV_CHECK_GUARDS
void guard_out_of_order() {
    std::fputs("zav: a collector guard was dropped out of order\n", stderr);
    std::abort();
}
#endif

// ---- permanent buffers -------------------------------------------------------
//
// What start-up built and still holds when the script's first collection
// comes (the library) is made permanent then: never moved, never freed, and
// not marked again, as set_mark takes it for marked. A permanent block whose
// cells refer only to permanent buffers is "old"; every other permanent block
// (contexts and their values, which stores reach without the series' write
// notice, and blocks that refer to tables, handles or younger buffers) is
// remembered: each cycle scans its cells. The first write to an old block
// (memory::note_write, note_cell_store) remembers it for good.

namespace {

enum PromoteKind : u8 { PROMOTE_BLOCK, PROMOTE_CONTEXT, PROMOTE_DATA };

// Series bytes start-up had allocated when it asked: frame ranges, and big frames' buffers.
std::vector<std::pair<off32, off32>> born_ranges;
std::vector<off32> born_big;
node_t promote_roots[2] = {0, 0};
std::vector<Work> remembered;
std::vector<off32> old_blocks;  // buffers made old, by address once sorted, for note_cell_store
bool old_sorted = true;

[[gnu::always_inline]] inline bool born_q(off32 o, SeriesBuffer* b) {
    if (!(b->flags & SERIES_USED) || (b->flags & SERIES_FIXED)) return false;
    if (b->flags & SERIES_BIG) return std::binary_search(born_big.begin(), born_big.end(), o);
    for (auto& r : born_ranges)
        if (o >= r.first && o < r.second) return true;
    return false;
}

// True when the node is (now) permanent; queues it to have its cells read.
[[gnu::always_inline]] inline bool promote_node(node_t node, PromoteKind kind) {
    off32 o = *at<off32>(node);
    if (!o) return false;
    auto* b = at<SeriesBuffer>(o);
    if (b->node != node) return false;
    if (b->flags & SERIES_PERMANENT) return true;
    if (!born_q(o, b)) return false;
    b->flags |= SERIES_PERMANENT;
    // The marking stack, empty before marking starts, holds the promotion's work.
    if (kind != PROMOTE_DATA) work.push(node, kind == PROMOTE_CONTEXT);
    return true;
}

// Reads a promoted block's cells: promotes what they refer to, and learns
// whether all of it is permanent (a null reference is).
struct PromoteVisitor {
    bool clean = true;
    void context(node_t n) { clean &= promote_node(n, PROMOTE_CONTEXT); }
    void block(node_t n) { clean &= !n || promote_node(n, PROMOTE_BLOCK); }
    void data(node_t n) { clean &= !n || promote_node(n, PROMOTE_DATA); }
    void table(node_t n) { clean &= !n; }
    void handle(u32) { clean = false; }
    void other(const Cell* c) { visit_other(c, *this); }
};

// Whether every reference of a cell is to a permanent buffer.
struct CheckVisitor {
    bool clean = true;
    void context(node_t n) { block(n); }
    void block(node_t n) { clean &= !n || (*at<off32>(n) && (GET_BUFFER(n)->flags & SERIES_PERMANENT)); }
    void data(node_t n) { block(n); }
    void table(node_t n) { clean &= !n; }
    void handle(u32) { clean = false; }
    void other(const Cell* c) { visit_other(c, *this); }
};

void add_remembered(node_t node, bool context) { remembered.push_back(Work{node, context}); }

// A permanent block that stores reach without the write notice: scanned at every cycle.
void keep_scanned(node_t node) {
    if (!node || !*at<off32>(node)) return;
    SeriesBuffer* b = GET_BUFFER(node);
    if (b->flags & SERIES_OLD) memory::remember(b);
}

const Cell* cells_end(SeriesBuffer* b, bool context) {
    auto* c = reinterpret_cast<const Cell*>(b->head());
    return context ? c + 2 : reinterpret_cast<const Cell*>(b->tail_ptr());
}

void promote() {
    promote_pending = false;
    std::sort(born_big.begin(), born_big.end());
    std::vector<node_t> contexts;
    if (promote_roots[0]) promote_node(promote_roots[0], PROMOTE_BLOCK);
    if (promote_roots[1]) promote_node(promote_roots[1], PROMOTE_CONTEXT);
    while (work.count) {
        Work w = work.items[--work.count];
        SeriesBuffer* b = GET_BUFFER(w.node);
        bool context = w.context;
        PromoteVisitor v;
        auto* last = cells_end(b, context);
        for (auto* c = reinterpret_cast<const Cell*>(b->head()); c < last; c++) visit_cell(c, v);
        if (context) {
            add_remembered(w.node, true);
            contexts.push_back(w.node);
            // The word list, which the table's marking reaches: permanent
            // too, as its words refer only to contexts.
            auto* cc = reinterpret_cast<const Cell*>(b->head());
            if (TYPE_OF(cc) == TYPE_CONTEXT_ID && cc->data1) {
                const hashtable::Table* t = hashtable::record(cc->data1);
                if (t->kind < hashtable::KIND_INT_KEY && t->block) promote_node(t->block, PROMOTE_BLOCK);
            }
        } else if (v.clean) {
            b->flags |= SERIES_OLD;
            old_blocks.push_back(off_of(b));
        } else {
            add_remembered(w.node, false);
        }
    }
    // A context's values are stored into in place by set-words; the root
    // block by the runtime's own slots.
    for (node_t ctx : contexts) {
        auto* c = reinterpret_cast<const Cell*>(GET_BUFFER(ctx)->head());
        if (TYPE_OF(c) == TYPE_CONTEXT_ID && !(c->header & context::CTX_ON_STACK)) keep_scanned(c->data2);
    }
    keep_scanned(promote_roots[0]);
    old_sorted = false;  // sorted when first searched: most runs never do
    born_ranges.clear();
    born_big.clear();
}

void push_remembered() {
    for (const Work& w : remembered) work.push(w.node, w.context);
}

void check_permanent_or_die() {
    for (off32 o : old_blocks) {
        auto* b = at<SeriesBuffer>(o);
        if (!(b->flags & SERIES_OLD)) continue;
        auto* first = reinterpret_cast<const Cell*>(b->head());
        auto* last = cells_end(b, false);
        for (auto* c = first; c < last; c++) {
            CheckVisitor v;
            visit_cell(c, v);
            if (v.clean) continue;
            std::fprintf(stderr, "zav: a permanent block (node %u, cell %u of type %u) was written without the write mark\n",
                         b->node, static_cast<u32>(c - first), TYPE_OF(c));
            std::abort();
        }
    }
}

}  // namespace

void promote_at_next_cycle(node_t library_root, node_t global_context) {
    born_ranges.clear();
    born_big.clear();
    for (off32 o = memory::record.s_head; o; o = at<SeriesFrame>(o)->next)
        born_ranges.emplace_back(o + sizeof(SeriesFrame), at<SeriesFrame>(o)->heap);
    for (off32 o = memory::record.b_head; o; o = at<BigFrame>(o)->next)
        born_big.push_back(off_of(at<BigFrame>(o)->buffer()));
    promote_roots[0] = library_root;
    promote_roots[1] = global_context;
    promote_pending = true;
}

void note_cell_store(const Cell* cell, node_t ref) {
    if (old_blocks.empty() || !ref || permanent_q(ref)) return;
    if (!old_sorted) {
        std::sort(old_blocks.begin(), old_blocks.end());
        old_sorted = true;
    }
    off32 a = off_of(cell);
    auto it = std::upper_bound(old_blocks.begin(), old_blocks.end(), a);
    if (it == old_blocks.begin()) return;
    auto* b = at<SeriesBuffer>(*(it - 1));
    if ((b->flags & SERIES_OLD) && a >= off_of(b->data()) && a < off_of(b->data_end())) memory::remember(b);
}

void forget_permanent() {
    promote_pending = false;
    born_ranges.clear();
    born_big.clear();
    remembered.clear();
    old_blocks.clear();
    old_sorted = true;
    promote_roots[0] = promote_roots[1] = 0;
}

}  // namespace zav::collector

namespace zav::memory {

void remember(SeriesBuffer* b) {
    b->flags &= ~SERIES_OLD;
    collector::add_remembered(b->node, false);
}

}  // namespace zav::memory
