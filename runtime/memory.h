// Memory manager: nodes in node frames, series buffers in series frames and big frames.
#pragma once
#include "runtime/common.h"

namespace zav {

// Series buffer flags.
constexpr u32 SERIES_UNIT_MASK = 0x1F;
constexpr u32 SERIES_USED = 0x80000000;
constexpr u32 SERIES_NEW = 0x20000000;
constexpr u32 SERIES_SHIFTED = 0x10000000;  // data placed mid-buffer to leave head room
constexpr u32 SERIES_MARK = 0x08000000;     // collector mark
constexpr u32 SERIES_BIG = 0x01000000;      // has a big frame of its own
constexpr u32 SERIES_FIXED = 0x00100000;    // never moved by compaction
constexpr u32 SERIES_OWNED = 0x00020000;
constexpr u32 SERIES_LIBRARY = 0x00040000;  // code of the library: runs as compiled code, untraced
// A library block that only the function made from it will hold (start-up
// marks them): that function takes it as its body without a copy, once.
constexpr u32 SERIES_PRIVATE = 0x00200000;
// A block the evaluator keeps a decoded form of (a loop body's plan, say):
// a write to its cells or length ends those forms (see memory::note_write).
constexpr u32 SERIES_DECODED = 0x00400000;
// Start-up's library, found live at the first collection: never moved or
// freed, and not marked again (see collector::promote_at_next_cycle).
constexpr u32 SERIES_PERMANENT = 0x02000000;
// A permanent block whose cells refer only to permanent buffers. The first
// write to it puts it in the collector's remembered set, whose blocks every
// cycle scans; the mark goes with it.
constexpr u32 SERIES_OLD = 0x04000000;
// A series whose writes someone must hear of: its owner (reactivity), the
// decoded forms read from it, or the collector (a permanent block). Writes in place that skip the actions'
// notice decline on these.
constexpr u32 SERIES_WATCHED = SERIES_OWNED | SERIES_DECODED | SERIES_OLD;

// The 20-byte header in front of every buffer's data.
struct SeriesBuffer {
    u32 flags;
    node_t node;   // back reference to the node (0 once abandoned)
    u32 size;      // bytes of data area, a multiple of 16
    off32 offset;  // first used byte
    off32 tail;    // just past the last used byte

    u8* data() { return reinterpret_cast<u8*>(this) + sizeof(SeriesBuffer); }
    u8* data_end() { return data() + size; }
    u8* head() { return at(offset); }
    u8* tail_ptr() { return at(tail); }
    u32 unit() const { return flags & SERIES_UNIT_MASK; }
    u32 used_bytes() const { return tail - offset; }
    u32 length() const {
        // Units are mostly powers of two: a shift there, the division is slow.
        u32 unit = flags & SERIES_UNIT_MASK;
        u32 bytes = tail - offset;
        return unit && !(unit & (unit - 1)) ? bytes >> __builtin_ctz(unit) : bytes / unit;
    }
};
static_assert(sizeof(SeriesBuffer) == 20);

constexpr u32 SERIES_HEADER = 20;
constexpr u32 SERIES_SLACK = 4;  // after the data, so a frame entry is size + 24
// Start-up takes about 2,000 nodes, so most scripts never need a second
// frame, for 40 KB of node slots.
constexpr u32 NODE_FRAME_NODES = 10000;
// Series frames start at 1 MiB and double up to 2 MiB; a buffer of 2 MiB or
// more gets a big frame of its own, which compaction never copies.
constexpr u32 S_START = 1048576;
constexpr u32 S_MAX = 2097152;
// A found frame with less room than this (5% of a first frame) is not reused:
// it would fill again at once and send each allocation on another search.
constexpr u32 FRAME_MIN_FREE = 0xCCCC;
constexpr u32 PAGE_SIZE_BYTES = 4096;

[[gnu::always_inline]] inline SeriesBuffer* GET_BUFFER(node_t node) { return at<SeriesBuffer>(*at<off32>(node)); }

// Opens n bytes `at` bytes into a buffer's used part by moving the shorter
// side: the part before it down into the room before the head when that
// room holds n bytes, else the part after it up (the caller has made room
// at the tail). Returns where the n bytes go.
inline u8* open_gap(SeriesBuffer* b, u32 at, u32 n) {
    u32 used = b->used_bytes();
    u8* h = b->head();
    if (at < used - at && b->offset - off_of(b->data()) >= n) {
        std::memmove(h - n, h, at);
        b->offset -= n;
        return h - n + at;
    }
    std::memmove(h + at + n, h + at, used - at);
    b->tail += n;
    return h + at;
}

// Closes n used bytes at `at` by moving the shorter side. The room left
// before the head stays below what is used, so that taking values from the
// head again and again (a queue) does not make room without end.
inline void close_gap(SeriesBuffer* b, u32 at, u32 n) {
    u32 used = b->used_bytes();
    u32 after = used - at - n;
    u8* h = b->head();
    if (at < after && u64(b->offset - off_of(b->data())) + n <= used - n) {
        std::memmove(h + n, h, at);
        b->offset += n;
        return;
    }
    std::memmove(h + at, h + at + n, after);
    b->tail -= n;
}
inline u32 GET_UNIT(const SeriesBuffer* b) { return b->flags & SERIES_UNIT_MASK; }

// n bytes (from sizeof(W) to twice that) as two words that may overlap:
// nothing outside the n bytes is read or written.
template <typename W>
[[gnu::always_inline]] inline void copy_two_words(u8* to, const u8* from, u32 n) {
    W a, b;
    std::memcpy(&a, from, sizeof(W));
    std::memcpy(&b, from + n - sizeof(W), sizeof(W));
    std::memcpy(to, &a, sizeof(W));
    std::memcpy(to + n - sizeof(W), &b, sizeof(W));
}

// memcpy, with the short copies most series copies are done in line.
[[gnu::always_inline]] inline void copy_bytes(u8* to, const u8* from, u32 n) {
    if (n > 16) std::memcpy(to, from, n);
    else if (n >= 8) copy_two_words<u64>(to, from, n);
    else if (n >= 4) copy_two_words<u32>(to, from, n);
    else for (u32 k = 0; k < n; k++) to[k] = from[k];
}

struct NodeFrame {
    off32 next, prev;
    u32 capacity;
    off32 free;  // first free node; free nodes chain through their own slot
    u32 used;
    u32 born;
    u32 last_used;
    u32 stable;
    u32 retired;
    off32* nodes() { return reinterpret_cast<off32*>(reinterpret_cast<u8*>(this) + sizeof(NodeFrame)); }
};
static_assert(sizeof(NodeFrame) == 36);

struct SeriesFrame {
    off32 next, prev;
    u32 size;  // bytes including this header
    off32 heap;
    off32 end;
};
static_assert(sizeof(SeriesFrame) == 20);

struct BigFrame {
    off32 next, prev;
    u32 size;
    SeriesBuffer* buffer() { return reinterpret_cast<SeriesBuffer*>(reinterpret_cast<u8*>(this) + sizeof(BigFrame)); }
};
static_assert(sizeof(BigFrame) == 12);

struct Cell;

namespace memory {

struct Record {
    u64 total;  // bytes currently taken from the operating system
    off32 n_head, n_tail, n_active;
    off32 s_head, s_active, s_tail;
    u32 s_start, s_size, s_max;
    off32 b_head;
};
extern Record record;
// Bytes the arena may give in all (record.total), 0 for no cap below its own
// size; a sandbox for untrusted code sets one.
extern u64 cap;
// Bumped when every frame is released, so that state built on them knows to rebuild.
extern u32 generation;

// Addresses kept across calls by the hottest lookup (the global context's
// word values, see context::peek_slot): its context node's cell and its
// values' first cell and count, good while `key` is set. Forgotten whenever
// a node's buffer moves (growth, compaction) or a node is freed, so a kept
// address is never stale; a context's values only ever grow, so a kept
// count is never too high. `plain`: whether a store to the context's values
// is a plain one (see context::plain_slot), which only a new owner of the
// context changes (its writer forgets the memo).
struct BufferMemo {
    node_t key;
    u32 count;
    Cell* ctx;
    Cell* cells;
    bool plain;
};
extern BufferMemo buffer_memo;
// Bumped at each forget, and at each write to a block marked SERIES_DECODED:
// state kept longer than the memo (a loop body's decoded expressions, see
// evaluator/loop_plan.h) holds addresses, and what it read of a block's
// cells, only while it is unchanged. So "is a decoded form still valid?"
// is one compare, plus the block's identity.
extern u64 buffer_epoch;  // never wraps round to a value kept earlier
inline void forget_buffers() {
    buffer_memo.key = 0;
    buffer_memo.count = 0;
    buffer_epoch++;
}
// The one rule every writer of a block's cells or length keeps (the series
// actions through series::tell, the low block helpers, bind): a write to a
// decoded block ends what was decoded from it. The mark goes with it: the
// next decoding sets it again, so a block edited as data pays one test a write.
// A write to a permanent block also remembers it (see SERIES_OLD).
void remember(SeriesBuffer* b);
[[gnu::always_inline]] inline void note_write(SeriesBuffer* b) {
    if (b->flags & (SERIES_DECODED | SERIES_OLD)) [[unlikely]] {
        if (b->flags & SERIES_OLD) remember(b);
        if (b->flags & SERIES_DECODED) {
            b->flags &= ~SERIES_DECODED;
            buffer_epoch++;
        }
    }
}
// Marks a block as read into a decoded form, valid from now until the epoch moves.
inline void note_decoded(SeriesBuffer* b) { b->flags |= SERIES_DECODED; }

void init();
void fill(u8* from, u8* to, u8 byte);
// Bytes in use: node frames, series frames and big frames.
double used_bytes();
// The most bytes a new series could hold now: below the largest request and
// the room left in the arena (or under the cap). A bound for data that
// arrives before its size is known.
u64 room_for_series();

}  // namespace memory

// Operating-system memory, counted in memory::record.total. Failures become
// the language errors internal/no-memory and internal/wrong-mem.
u8* os_alloc(u32 size, bool executable = false);
void os_free(u8* p);

NodeFrame* new_node_frame(u32 n);
node_t alloc_node();
void free_node(NodeFrame* frame, node_t node);
// Frees the frame's nodes in [from, to) whose slot has `tag` set (a bit that
// 4-aligned contents leave clear), lowest slot first, so the highest is
// handed out next.
void free_tagged_nodes(NodeFrame* frame, off32 from, off32 to, off32 tag);
void free_node_frames();
NodeFrame* node_frame_of(node_t node);

SeriesFrame* new_series_frame();
void free_series_frame(SeriesFrame* frame);
SeriesFrame* find_series_frame(u32 bytes);
SeriesBuffer* alloc_big(u32 bytes);
void free_big(SeriesBuffer* buffer);
void free_all_memory();

// offset: byte offset of the first used byte inside the data area, or -1 for the middle.
SeriesBuffer* alloc_series_buffer(u32 units, u32 unit, i32 offset);
node_t alloc_series(u32 units, u32 unit, i32 offset);
node_t alloc_cells(u32 n);
node_t alloc_unset_cells(u32 n);
node_t alloc_bytes(u32 n);
node_t alloc_codepoints(u32 n, u32 unit);
node_t alloc_bytes_filled(u32 n, u8 byte);
node_t alloc_fixed_buffer(u32 units, u32 unit, i32 offset);
void set_series_flag(node_t node, u32 bits);

// bytes 0 = twice the old size.
SeriesBuffer* expand_series_buffer(SeriesBuffer* buffer, u32 bytes);
SeriesBuffer* expand_series(SeriesBuffer* buffer, u32 bytes);
SeriesBuffer* expand_series_filled(SeriesBuffer* buffer, u32 bytes, u8 byte);
node_t copy_series(SeriesBuffer* buffer);
// New series of the same unit holding `length` units from unit `offset`; not owned.
node_t copy_series_part(node_t node, u32 offset, u32 length);

// Tail allocation.
struct Cell;
// Appends one unset cell at the tail of a block's buffer, growing it when full.
Cell* alloc_at_tail(node_t block);
// The same on a buffer: doubles it first when its tail is at the end of its data.
Cell* alloc_tail(SeriesBuffer* buffer);
// Reserves `bytes` at the tail and returns the old tail; grows to twice the
// request when that is larger than the buffer, else to double. `buffer`
// follows the move.
u8* alloc_tail_unit(SeriesBuffer*& buffer, u32 bytes);

}  // namespace zav
