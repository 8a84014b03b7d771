// Growable arrays of bytes, 32-bit integers and pointers in series buffers.
#include "runtime/array.h"

#include <algorithm>

#include "runtime/memory.h"

namespace zav::array {

namespace {

u8* reserve_tail(node_t array, u32 n) {
    SeriesBuffer* b = GET_BUFFER(array);
    return alloc_tail_unit(b, n);
}

template <class T>
T load(const u8* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class T>
void store(u8* p, T v) {
    std::memcpy(p, &v, sizeof v);
}

template <class T>
i32 find(node_t array, T value) {
    SeriesBuffer* b = GET_BUFFER(array);
    u8* h = b->head();
    u32 used = b->used_bytes();
    for (u32 off = 0; off + sizeof(T) <= used; off += sizeof(T))
        if (load<T>(h + off) == value) return static_cast<i32>(off);
    return -1;
}

}  // namespace

node_t make(u32 n, u32 unit) { return alloc_series(n, unit, 0); }

u32 length_q(node_t array) { return GET_BUFFER(array)->length(); }

void clear(node_t array) {
    SeriesBuffer* b = GET_BUFFER(array);
    b->tail = b->offset;
}

void set_length(node_t array, u32 end) {
    SeriesBuffer* b = GET_BUFFER(array);
    u64 bytes = end > 1 ? u64(end - 1) * b->unit() : 0;
    // Never past the data area: a tail out there would corrupt the next buffer.
    u64 room = off_of(b->data_end()) - b->offset;
    b->tail = b->offset + static_cast<u32>(std::min(bytes, room));
}

node_t copy(node_t array) { return copy_series(GET_BUFFER(array)); }

u8* head(node_t array) { return GET_BUFFER(array)->head(); }

void append_byte(node_t array, u8 value) { *reserve_tail(array, 1) = value; }

void append_bytes(node_t array, const void* src, u32 n) {
    if (n == 0) return;
    // The source may lie in this very array, whose buffer can move on growth.
    SeriesBuffer* b = GET_BUFFER(array);
    auto* s = static_cast<const u8*>(src);
    bool inside = s >= b->head() && s < b->tail_ptr();
    u32 from = inside ? static_cast<u32>(s - b->head()) : 0;
    u8* dst = reserve_tail(array, n);
    if (inside) s = head(array) + from;
    std::memmove(dst, s, n);
}

void append_int(node_t array, i32 value) { store(reserve_tail(array, 4), value); }

void append_ptr(node_t array, const void* value) { store(reserve_tail(array, PTR_UNIT), value); }

u8 pick_byte(node_t array, u32 index) { return head(array)[index - 1]; }

i32 pick_int(node_t array, u32 index) { return load<i32>(head(array) + u64(index - 1) * 4); }

void* pick_ptr(node_t array, u32 index) { return load<void*>(head(array) + u64(index - 1) * PTR_UNIT); }

void poke_int(node_t array, u32 index, i32 value) { store(head(array) + u64(index - 1) * 4, value); }

i32 find_int(node_t array, i32 value) { return find(array, value); }

i32 find_ptr(node_t array, const void* value) { return find(array, const_cast<void*>(value)); }

void insert_at(node_t array, u32 index, i32 value) {
    u32 length = GET_BUFFER(array)->used_bytes() / 4;
    u32 at_byte = std::min(index, length) * 4;
    reserve_tail(array, 4);
    u8* h = head(array);
    std::memmove(h + at_byte + 4, h + at_byte, u64(length) * 4 - at_byte);
    store(h + at_byte, value);
}

void remove_at(node_t array, u32 offset, u32 n) {
    SeriesBuffer* b = GET_BUFFER(array);
    u32 used = b->used_bytes();
    if (offset >= used) return;
    n = std::min(n, used - offset);
    u8* h = b->head();
    std::memmove(h + offset, h + offset + n, used - offset - n);
    b->tail -= n;
}

void remove_ptr(node_t array, const void* value) {
    i32 off = find_ptr(array, value);
    if (off >= 0) remove_at(array, static_cast<u32>(off), PTR_UNIT);
}

}  // namespace zav::array
