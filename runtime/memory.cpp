// Memory manager: node frames, series frames, big frames and buffer growth.
#include "runtime/memory.h"

#include <algorithm>
#include <cstring>

#include "runtime/budget.h"
#include "runtime/cell.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/platform/virtual_memory.h"
#include "runtime/rt.h"

namespace zav {

namespace memory {

Record record;
BufferMemo buffer_memo;
u64 buffer_epoch;
u32 generation = 0;
u64 cap = 0;

void init() {
    // Without its arena the runtime cannot hold a single value.
    if (!platform::reserve_arena()) rt::quit(rt::RT_ERR_OUT_OF_MEMORY, 0);
    generation++;
    forget_buffers();
    record = Record{};
    record.s_start = S_START;
    record.s_size = S_START;
    record.s_max = S_MAX;
}

void fill(u8* from, u8* to, u8 byte) {
    if (to > from) std::memset(from, byte, static_cast<size_t>(to - from));
}

double used_bytes() { return static_cast<double>(record.total); }

}  // namespace memory

using memory::record;

namespace {
// Requests are capped well below 4 GiB so that size arithmetic never wraps.
constexpr u64 MAX_REQUEST = u64(1) << 31;

off32 big_tail = 0;  // big frames are appended newest last

// Arena kept back while there is room: released when an allocation finds
// none, so that the error saying so can still be built (a series frame and a
// node frame fit in it), and taken again once a collection has run.
constexpr u32 SPARE_BYTES = 4u << 20;
u8* spare = nullptr;
u32 spare_released_at = 0;  // collector::cycles then

void take_spare() {
    if (spare || spare_released_at == collector::cycles + 1) return;
    try {
        spare = platform::allocate_virtual(SPARE_BYTES);
    } catch (Throw& t) {
        if (t.value != THROW_ALLOC_VIRTUAL) throw;
        system_record.thrown = 0;
    }
}

[[noreturn]] void no_memory() { fire("internal", "no-memory"); }

[[noreturn]] void arena_full() {
    if (spare) {
        platform::free_virtual(spare);
        spare = nullptr;
        spare_released_at = collector::cycles + 1;
    }
    fire("internal", "no-memory");
}
}  // namespace

namespace {
// os_alloc, answering null instead of raising when the arena (or the cap)
// has no room left.
u8* try_os_alloc(u32 size, bool executable) {
    u64 bytes = (u64(size) + 4 + PAGE_SIZE_BYTES - 1) & ~u64(PAGE_SIZE_BYTES - 1);
    if (bytes > MAX_REQUEST) no_memory();
    // Past the cap as past the arena's end; once the spare is given up, its
    // size more is allowed, for the error.
    if (memory::cap && record.total + bytes > memory::cap + (spare ? 0 : SPARE_BYTES)) return nullptr;
    take_spare();
    u8* p;
    try {
        p = platform::allocate_virtual(static_cast<u32>(bytes), executable);
    } catch (Throw& t) {
        if (t.value != THROW_ALLOC_VIRTUAL && t.value != THROW_FREE_VIRTUAL) throw;
        system_record.thrown = 0;
        return nullptr;
    }
    record.total += bytes;
    *reinterpret_cast<u32*>(p) = static_cast<u32>(bytes);
    return p + 4;
}

// Where a collection may run: dead buffers may be what fills the arena, so
// an allocation that finds no room collects once and tries again before it
// fails, unless a collection has just run (`cycles_before` differs).
u8* os_alloc_collecting(u32 size, u32 cycles_before) {
    u8* p = try_os_alloc(size, false);
    if (!p && collector::active && collector::cycles == cycles_before && !collector::collecting_q()) {
        collector::do_cycle();
        p = try_os_alloc(size, false);
    }
    if (!p) arena_full();
    return p;
}
}  // namespace

u8* os_alloc(u32 size, bool executable) {
    u8* p = try_os_alloc(size, executable);
    if (!p) arena_full();
    return p;
}

void os_free(u8* p) {
    u8* base = p - 4;
    u32 bytes = *reinterpret_cast<u32*>(base);
    try {
        platform::free_virtual(base);
    } catch (Throw& t) {
        if (t.value != THROW_ALLOC_VIRTUAL && t.value != THROW_FREE_VIRTUAL) throw;
        system_record.thrown = 0;
        fire("internal", "wrong-mem");
    }
    record.total -= bytes;
}

u64 memory::room_for_series() {
    u64 size = memory::cap ? memory::cap : platform::arena_bytes;
    u64 room = size > record.total ? size - record.total : 0;
    u64 most = MAX_REQUEST - SERIES_HEADER - SERIES_SLACK - 16;
    return room < most ? room : most;
}

// ---- node frames -----------------------------------------------------------

NodeFrame* new_node_frame(u32 n) {
    auto* f = reinterpret_cast<NodeFrame*>(os_alloc(n * 4 + sizeof(NodeFrame)));
    *f = NodeFrame{};
    f->capacity = n;
    f->born = collector::cycles;
    off32* nodes = f->nodes();
    for (u32 i = 0; i + 1 < n; i++) nodes[i] = off_of(&nodes[i + 1]);
    nodes[n - 1] = 0;
    f->free = off_of(&nodes[0]);
    off32 self = off_of(f);
    f->prev = record.n_tail;
    if (record.n_tail) at<NodeFrame>(record.n_tail)->next = self;
    else record.n_head = self;
    record.n_tail = self;
    if (!record.n_active) record.n_active = self;
    return f;
}

namespace {
// A node for a buffer just allocated: no collection may run in between, as
// the buffer is not reachable from its node yet.
// The first frame with a free node, made the active one (a new frame when none has).
[[gnu::noinline]] NodeFrame* node_frame_with_room() {
    NodeFrame* f = nullptr;
    for (off32 o = record.n_head; o; o = at<NodeFrame>(o)->next) {
        NodeFrame* c = at<NodeFrame>(o);
        if (c->free && !c->retired) {
            f = c;
            break;
        }
    }
    if (!f) f = new_node_frame(NODE_FRAME_NODES);
    record.n_active = off_of(f);
    return f;
}

// Inline where series are made: the active frame nearly always has a node.
[[gnu::always_inline]] inline node_t take_node() {
    NodeFrame* f = record.n_active ? at<NodeFrame>(record.n_active) : nullptr;
    if (!f || !f->free || f->retired) f = node_frame_with_room();
    node_t node = f->free;
    f->free = *at<off32>(node);
    *at<off32>(node) = 0;
    f->used++;
    return node;
}
}  // namespace

node_t alloc_node() {
    if (collector::stress) collector::run_if();
    return take_node();
}

void free_node(NodeFrame* frame, node_t node) {
    memory::forget_buffers();
    *at<off32>(node) = frame->free;
    frame->free = node;
    frame->used--;
}

void free_tagged_nodes(NodeFrame* frame, off32 from, off32 to, off32 tag) {
    off32 first = off_of(frame->nodes());
    off32 past = first + frame->capacity * 4;
    if (to <= first || from >= past) return;
    memory::forget_buffers();
    off32* slot = at<off32>(std::max(first, from));
    off32* end = at<off32>(std::min(past, to));
    off32 free = frame->free;
    u32 freed = 0;
    for (; slot < end; slot++) {
        if (!(*slot & tag)) continue;
        *slot = free;
        free = off_of(slot);
        freed++;
    }
    frame->free = free;
    frame->used -= freed;
}

NodeFrame* node_frame_of(node_t node) {
    for (off32 o = record.n_head; o; o = at<NodeFrame>(o)->next) {
        NodeFrame* f = at<NodeFrame>(o);
        off32 first = off_of(f->nodes());
        if (node >= first && node < first + f->capacity * 4) return f;
    }
    return nullptr;
}

void free_node_frames() {
    for (off32 o = record.n_head; o;) {
        NodeFrame* f = at<NodeFrame>(o);
        off32 next = f->next;
        if (f->used == 0 || f->retired) {
            if (f->prev) at<NodeFrame>(f->prev)->next = f->next; else record.n_head = f->next;
            if (f->next) at<NodeFrame>(f->next)->prev = f->prev; else record.n_tail = f->prev;
            if (record.n_active == o) record.n_active = record.n_tail;
            os_free(reinterpret_cast<u8*>(f));
        }
        o = next;
    }
    bool active_set = false;
    for (off32 o = record.n_head; o; o = at<NodeFrame>(o)->next) {
        NodeFrame* f = at<NodeFrame>(o);
        if (!active_set && f->used < f->capacity) {
            record.n_active = o;
            active_set = true;
        }
        f->stable = (f->stable << 1) | (f->last_used == f->used ? 1u : 0u);
        f->last_used = f->used;
    }
}

// ---- series frames ---------------------------------------------------------

namespace {
SeriesFrame* link_series_frame(u8* memory, u32 size) {
    auto* f = reinterpret_cast<SeriesFrame*>(memory);
    off32 self = off_of(f);
    f->size = size + sizeof(SeriesFrame);
    f->heap = self + sizeof(SeriesFrame);
    f->end = self + sizeof(SeriesFrame) + size;
    f->next = f->prev = 0;
    // Keep the list in ascending address order.
    off32 after = 0, before = record.s_head;
    while (before && before < self) {
        after = before;
        before = at<SeriesFrame>(before)->next;
    }
    f->prev = after;
    f->next = before;
    if (after) at<SeriesFrame>(after)->next = self; else record.s_head = self;
    if (before) at<SeriesFrame>(before)->prev = self; else record.s_tail = self;
    if (!record.s_active) record.s_active = self;
    return f;
}
}  // namespace

SeriesFrame* new_series_frame() {
    u32 size = record.s_size;
    if (record.s_size < record.s_max) record.s_size *= 2;
    return link_series_frame(os_alloc(size + sizeof(SeriesFrame)), size);
}

void free_series_frame(SeriesFrame* f) {
    off32 self = off_of(f);
    if (f->prev) at<SeriesFrame>(f->prev)->next = f->next; else record.s_head = f->next;
    if (f->next) at<SeriesFrame>(f->next)->prev = f->prev; else record.s_tail = f->prev;
    if (record.s_active == self) record.s_active = record.s_head;
    os_free(reinterpret_cast<u8*>(f));
}

SeriesFrame* find_series_frame(u32 bytes) {
    for (off32 o = record.s_head; o; o = at<SeriesFrame>(o)->next) {
        SeriesFrame* f = at<SeriesFrame>(o);
        if (u64(f->heap) + bytes < f->end) return f;
    }
    return nullptr;
}

namespace {
SeriesBuffer* link_big(u8* memory, u32 bytes) {
    auto* f = reinterpret_cast<BigFrame*>(memory);
    off32 self = off_of(f);
    f->next = 0;
    f->prev = big_tail;
    f->size = bytes;
    if (big_tail) at<BigFrame>(big_tail)->next = self; else record.b_head = self;
    big_tail = self;
    return f->buffer();
}
}  // namespace

SeriesBuffer* alloc_big(u32 bytes) { return link_big(os_alloc(bytes + sizeof(BigFrame)), bytes); }

void free_big(SeriesBuffer* buffer) {
    auto* f = reinterpret_cast<BigFrame*>(reinterpret_cast<u8*>(buffer) - sizeof(BigFrame));
    if (f->prev) at<BigFrame>(f->prev)->next = f->next; else record.b_head = f->next;
    if (f->next) at<BigFrame>(f->next)->prev = f->prev; else big_tail = f->prev;
    os_free(reinterpret_cast<u8*>(f));
}

void free_all_memory() {
    memory::generation++;
    memory::forget_buffers();
    collector::forget_permanent();  // what it remembers lives in the frames freed here
    while (record.n_head) {
        NodeFrame* f = at<NodeFrame>(record.n_head);
        record.n_head = f->next;
        os_free(reinterpret_cast<u8*>(f));
    }
    while (record.s_head) {
        SeriesFrame* f = at<SeriesFrame>(record.s_head);
        record.s_head = f->next;
        os_free(reinterpret_cast<u8*>(f));
    }
    while (record.b_head) {
        BigFrame* f = at<BigFrame>(record.b_head);
        record.b_head = f->next;
        os_free(reinterpret_cast<u8*>(f));
    }
    record.n_tail = record.n_active = record.s_tail = record.s_active = 0;
    big_tail = 0;
    record.s_size = record.s_start;
}

// ---- series buffers --------------------------------------------------------

namespace {
// A series frame with `need` bytes free, made the active one: a frame found
// from the first, else after a collection, else a new one.
[[gnu::noinline]] SeriesFrame* series_frame_with_room(u32 need) {
    SeriesFrame* f = find_series_frame(need);
    if (!f) {
        u32 cycles = collector::cycles;
        collector::run_if_due();
        f = find_series_frame(need);
        if (!f || f->end - f->heap < FRAME_MIN_FREE) {
            if (need >= record.s_size) record.s_size = record.s_max;
            u32 size = record.s_size;
            if (u8* memory = try_os_alloc(size + sizeof(SeriesFrame), false)) {
                if (record.s_size < record.s_max) record.s_size *= 2;
                f = link_series_frame(memory, size);
            } else if (!f) {
                // No room for a new frame: a collection may make room in the old ones.
                if (collector::active && collector::cycles == cycles && !collector::collecting_q()) {
                    collector::do_cycle();
                    f = find_series_frame(need);
                }
                if (!f) f = link_series_frame(os_alloc(size + sizeof(SeriesFrame)), size);
            }
        }
    }
    record.s_active = off_of(f);
    return f;
}

[[gnu::noinline]] SeriesBuffer* big_buffer(u32 need) {
    u32 cycles = collector::cycles;
    collector::run_if_due();
    return link_big(os_alloc_collecting(need + sizeof(BigFrame), cycles), need);
}

// A buffer of `units` units. Inline in its callers: the common case is a
// bump in the active frame. Every byte of it counts towards the next
// collection, also when it replaces a series' older buffer: that one is
// garbage until a collection removes it.
[[gnu::always_inline]] inline SeriesBuffer* alloc_buffer(u32 units, u32 unit, i32 offset) {
    if (collector::stress) collector::run_if();
    u64 size = (u64(units) * unit + 15) & ~u64(15);
    if (size + SERIES_HEADER + SERIES_SLACK > MAX_REQUEST) no_memory();
    u32 need = static_cast<u32>(size) + SERIES_HEADER + SERIES_SLACK;
    SeriesBuffer* b;
    u32 big = 0;
    if (need >= record.s_max) {
        b = big_buffer(need);
        big = SERIES_BIG;
    } else {
        SeriesFrame* f = record.s_active ? at<SeriesFrame>(record.s_active) : nullptr;
        if (!f || !(u64(f->heap) + need < f->end)) f = series_frame_with_room(need);
        b = at<SeriesBuffer>(f->heap);
        f->heap += need;
    }
    collector::allocated += need;
    budget::charge(need);
    b->size = static_cast<u32>(size);
    b->node = 0;
    b->flags = unit | SERIES_USED | big | SERIES_NEW;
    u32 first = offset < 0 ? 0 : static_cast<u32>(offset);
    if (offset == -1) {
        b->flags |= SERIES_SHIFTED;
        first = static_cast<u32>(size) / 2;
    }
    if (first > b->size) first = b->size;
    b->offset = b->tail = off_of(b->data()) + first;
    return b;
}

}  // namespace

SeriesBuffer* alloc_series_buffer(u32 units, u32 unit, i32 offset) { return alloc_buffer(units, unit, offset); }

namespace {
// alloc_series in line, for the copy below.
[[gnu::always_inline]] inline node_t make_series(u32 units, u32 unit, i32 offset) {
    SeriesBuffer* b = alloc_buffer(units, unit, offset);
    node_t node = take_node();
    *at<off32>(node) = off_of(b);
    b->node = node;
    return node;
}
}  // namespace

node_t alloc_series(u32 units, u32 unit, i32 offset) { return make_series(units, unit, offset); }

node_t copy_series_part(node_t node, u32 offset, u32 length) {
    SeriesBuffer* b = GET_BUFFER(node);
    u32 unit = b->unit();
    u32 flags = b->flags;
    u32 have = b->length();
    if (offset > have) offset = have;
    if (length > have - offset) length = have - offset;
    node_t copy = make_series(length, unit, 0);
    b = GET_BUFFER(node);  // the allocation may have moved it
    SeriesBuffer* c = GET_BUFFER(copy);
    u32 bytes = length * unit;
    copy_bytes(c->data(), b->head() + u64(offset) * unit, bytes);
    c->tail = c->offset + bytes;
    c->flags = (flags & ~(SERIES_WATCHED | SERIES_BIG | SERIES_FIXED | SERIES_MARK | SERIES_SHIFTED | SERIES_PERMANENT)) |
               (c->flags & SERIES_BIG);
    return copy;
}


// In line: the unit and offset fold, the commonest allocation (blocks,
// contexts) pays no second call.
node_t alloc_cells(u32 n) { return make_series(n, 16, 0); }

node_t alloc_unset_cells(u32 n) {
    node_t node = alloc_series(n, 16, 0);
    SeriesBuffer* b = GET_BUFFER(node);
    auto* cells = reinterpret_cast<u32*>(b->data());
    for (u32 i = 0; i < b->size / 16; i++) {
        cells[i * 4] = 2;  // unset!
        cells[i * 4 + 1] = cells[i * 4 + 2] = cells[i * 4 + 3] = 0;
    }
    return node;
}

node_t alloc_bytes(u32 n) { return alloc_series(n ? n : 16, 1, 0); }

node_t alloc_codepoints(u32 n, u32 unit) { return alloc_series(n ? n : 16 / unit, unit, 0); }

node_t alloc_bytes_filled(u32 n, u8 byte) {
    node_t node = alloc_bytes(n);
    SeriesBuffer* b = GET_BUFFER(node);
    memory::fill(b->data(), b->data_end(), byte);
    return node;
}

node_t alloc_fixed_buffer(u32 units, u32 unit, i32 offset) {
    if (collector::stress) collector::run_if();
    u64 size = (u64(units) * unit + 15) & ~u64(15);
    if (size + SERIES_HEADER + SERIES_SLACK > MAX_REQUEST) no_memory();
    auto* b = reinterpret_cast<SeriesBuffer*>(os_alloc(static_cast<u32>(size) + SERIES_HEADER + SERIES_SLACK));
    b->size = static_cast<u32>(size);
    b->flags = unit | 0xA0100000;
    u32 first = offset == -1 ? b->size / 2 : offset < 0 ? 0 : static_cast<u32>(offset);
    if (first > b->size) first = b->size;
    b->offset = b->tail = off_of(b->data()) + first;
    node_t node = take_node();
    *at<off32>(node) = off_of(b);
    b->node = node;
    return node;
}

void set_series_flag(node_t node, u32 bits) { GET_BUFFER(node)->flags |= bits; }

// Allocates the larger buffer, re-points the node and abandons the old buffer,
// which stays readable until the next compaction; `old_out` receives it.
static SeriesBuffer* expand_buffer(SeriesBuffer* buffer, u32 bytes, SeriesBuffer** old_out) {
    u32 unit = buffer->unit();
    u64 want = bytes ? u64(bytes) : u64(buffer->size) * 2;
    if (want == 0) want = 16;  // doubling an empty buffer still makes room
    // Never smaller than the content that must move across.
    u64 content = u64(off_of(buffer->data_end()) - buffer->offset);
    if (want < content) want = content;
    if (want == 0 || want > MAX_REQUEST) no_memory();
    node_t node = buffer->node;
    SeriesBuffer* fresh = alloc_buffer(static_cast<u32>(want / unit), unit, 0);
    SeriesBuffer* old = GET_BUFFER(node);  // the allocation may have moved it
    *at<off32>(node) = off_of(fresh);
    memory::forget_buffers();
    fresh->flags = (old->flags & ~(SERIES_BIG | SERIES_FIXED | SERIES_MARK | SERIES_OLD)) | (fresh->flags & SERIES_BIG);
    fresh->node = node;
    fresh->tail = fresh->offset + old->used_bytes();
    // A permanent buffer's new one stays permanent (permanent blocks refer to
    // its node without being scanned) and is scanned at every cycle; the old
    // one stays where it is, unused, as the collector's lookup may still read
    // its header.
    if (old->flags & SERIES_OLD) memory::remember(fresh);
    old->node = 0;
    old->flags &= ~(SERIES_USED | SERIES_OLD);
    *old_out = old;
    return fresh;
}

// Bytes that move: from the old first used byte to the end of its data area.
static u32 movable_bytes(SeriesBuffer* b) { return off_of(b->data_end()) - b->offset; }

// A buffer grows where it is when the memory after it is free: the last
// buffer of the active series frame into the frame's free bytes, a buffer in
// a big frame of its own into the arena pages right after the frame. Nothing
// is copied, the pages already written stay, and no old buffer is left for
// the collector. Null when it cannot (another buffer or frame follows, a
// fixed buffer, the cap); the caller then moves it.
static SeriesBuffer* grow_in_place(SeriesBuffer* buffer, u32 bytes) {
    // Not an allocation, so no collection even under stress: the caller's
    // buffer stays where it is, for its own use and for the move if this fails.
    if (!buffer->node || (buffer->flags & SERIES_FIXED)) return nullptr;
    u32 unit = buffer->unit();
    u64 want = bytes ? u64(bytes) : u64(buffer->size) * 2;
    u64 content = u64(off_of(buffer->data_end()) - buffer->offset);
    if (want < content) want = content;
    // A moved buffer starts its content at its data's first byte; in place,
    // the room before the content stays, so the data area grows by it too.
    u64 gap = buffer->offset - off_of(buffer->data());
    u64 size = (want / unit * unit + gap + 15) & ~u64(15);
    if (size <= buffer->size || size + SERIES_HEADER + SERIES_SLACK > MAX_REQUEST) return nullptr;
    u32 need = static_cast<u32>(size) + SERIES_HEADER + SERIES_SLACK;
    u32 had = buffer->size + SERIES_HEADER + SERIES_SLACK;
    if (buffer->flags & SERIES_BIG) {
        auto* frame = reinterpret_cast<BigFrame*>(reinterpret_cast<u8*>(buffer) - sizeof(BigFrame));
        u8* base = reinterpret_cast<u8*>(frame) - 4;  // os_alloc's size word
        u64 total = (u64(need) + sizeof(BigFrame) + 4 + PAGE_SIZE_BYTES - 1) & ~u64(PAGE_SIZE_BYTES - 1);
        u32 have = *reinterpret_cast<u32*>(base);
        u64 extra = total > have ? total - have : 0;
        if (total > MAX_REQUEST || (memory::cap && record.total + extra > memory::cap)) return nullptr;
        if (extra && !platform::extend_virtual(base, static_cast<u32>(total))) return nullptr;
        *reinterpret_cast<u32*>(base) = static_cast<u32>(have + extra);
        record.total += extra;
        frame->size = need;
    } else {
        // Frame buffers stay below a big frame's size: the frame's end sees to it.
        SeriesFrame* f = record.s_active ? at<SeriesFrame>(record.s_active) : nullptr;
        off32 self = off_of(buffer);
        if (!f || self + had != f->heap || u64(self) + need >= f->end) return nullptr;
        f->heap = self + need;
    }
    buffer->size = static_cast<u32>(size);
    // Only the growth is new memory, for the collector's count and the budget.
    collector::allocated += need - had;
    budget::charge(need - had);
    return buffer;
}

SeriesBuffer* expand_series_buffer(SeriesBuffer* buffer, u32 bytes) {
    SeriesBuffer* old;
    return expand_buffer(buffer, bytes, &old);
}

SeriesBuffer* expand_series(SeriesBuffer* buffer, u32 bytes) {
    if (SeriesBuffer* grown = grow_in_place(buffer, bytes)) return grown;
    SeriesBuffer* old;
    SeriesBuffer* fresh = expand_buffer(buffer, bytes, &old);
    std::memcpy(fresh->head(), old->head(), movable_bytes(old));
    return fresh;
}

SeriesBuffer* expand_series_filled(SeriesBuffer* buffer, u32 bytes, u8 byte) {
    u8* old_end = buffer->data_end();
    if (SeriesBuffer* grown = grow_in_place(buffer, bytes)) {
        memory::fill(old_end, grown->data_end(), byte);
        return grown;
    }
    SeriesBuffer* old;
    SeriesBuffer* fresh = expand_buffer(buffer, bytes, &old);
    u32 moved = movable_bytes(old);
    std::memcpy(fresh->head(), old->head(), moved);
    memory::fill(fresh->head() + moved, fresh->data_end(), byte);
    return fresh;
}

node_t copy_series(SeriesBuffer* buffer) {
    node_t node = buffer->node;
    u32 size = buffer->size;
    node_t copy = alloc_series(size, 1, 0);
    SeriesBuffer* old = GET_BUFFER(node);
    SeriesBuffer* fresh = GET_BUFFER(copy);
    fresh->flags = (old->flags & ~(SERIES_DECODED | SERIES_BIG | SERIES_FIXED | SERIES_MARK | SERIES_SHIFTED |
                                   SERIES_PERMANENT | SERIES_OLD)) |
                   (fresh->flags & SERIES_BIG);
    std::memcpy(fresh->data(), old->head(), movable_bytes(old));
    fresh->tail = fresh->offset + old->used_bytes();
    return copy;
}

// ---- Tail allocation -----------------------------------------------------------

Cell* alloc_tail(SeriesBuffer* buffer) {
    if (buffer->tail_ptr() >= buffer->data_end()) buffer = expand_series(buffer, 0);
    memory::note_write(buffer);
    Cell* c = reinterpret_cast<Cell*>(buffer->tail_ptr());
    buffer->tail += sizeof(Cell);
    make_cell(c, 2);  // unset!
    return c;
}

Cell* alloc_at_tail(node_t block) { return alloc_tail(GET_BUFFER(block)); }

u8* alloc_tail_unit(SeriesBuffer*& buffer, u32 bytes) {
    if (u64(buffer->tail) + bytes > off_of(buffer->data_end())) {
        u64 want = bytes > buffer->size ? u64(bytes) * 2 : u64(buffer->size) * 2;
        if (want < u64(buffer->used_bytes()) + bytes) want = u64(buffer->used_bytes()) + bytes;
        if (want > 0xFFFFFFFFu) fire("internal", "no-memory");
        buffer = expand_series(buffer, static_cast<u32>(want));
    }
    memory::note_write(buffer);
    u8* old_tail = buffer->tail_ptr();
    buffer->tail += bytes;
    return old_tail;
}

}  // namespace zav
