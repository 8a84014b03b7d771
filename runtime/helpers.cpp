// Small helpers shared by the runtime and the datatypes: the error raiser, tail allocation, the root block.
#include "runtime/helpers.h"

#include "runtime/rt.h"

#include <cstdio>

namespace zav {

node_t root = 0;

const char* build_date() {
    // __DATE__ is "Mmm dd yyyy"; the language writes dates as dd-Mmm-yyyy.
    static char text[24];
    if (!text[0]) {
        const char* d = __DATE__;
        int day = (d[4] == ' ' ? 0 : d[4] - '0') * 10 + (d[5] - '0');
        std::snprintf(text, sizeof text, "%d-%.3s-%.4s/%s", day, d, d + 7, __TIME__);
    }
    return text;
}

Cell* alloc_tail(SeriesBuffer* buffer) {
    if (buffer->tail_ptr() >= buffer->data_end()) buffer = expand_series(buffer, 0);
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
    u8* old_tail = buffer->tail_ptr();
    buffer->tail += bytes;
    return old_tail;
}

namespace {

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

}  // namespace

node_t copy_series_part(node_t node, u32 offset, u32 length) {
    SeriesBuffer* b = GET_BUFFER(node);
    u32 unit = b->unit();
    u32 flags = b->flags;
    u32 have = b->length();
    if (offset > have) offset = have;
    if (length > have - offset) length = have - offset;
    node_t copy = alloc_series(length, unit, 0);
    b = GET_BUFFER(node);  // the allocation may have moved it
    SeriesBuffer* c = GET_BUFFER(copy);
    u32 bytes = length * unit;
    copy_bytes(c->data(), b->head() + u64(offset) * unit, bytes);
    c->tail = c->offset + bytes;
    c->flags = (flags & ~(SERIES_OWNED | SERIES_BIG | SERIES_FIXED | SERIES_MARK | SERIES_SHIFTED)) |
               (c->flags & SERIES_BIG);
    return copy;
}

Cell* get_root(u32 index) { return reinterpret_cast<Cell*>(GET_BUFFER(root)->head()) + index; }

node_t get_root_node(u32 index) { return get_root(index)->data2; }

error::Raised error::last = {nullptr, nullptr};
void (*error_raiser)(const char* category, const char* id, const Cell* arg1, const Cell* arg2,
                     const Cell* arg3) = nullptr;

[[noreturn]] void fire(const char* category, const char* id, const Cell* arg1, const Cell* arg2,
                       const Cell* arg3) {
    if (error_raiser) error_raiser(category, id, arg1, arg2, arg3);
    // Before the evaluator is up: the error is only noted.
    error::last = {category, id};
    system_record.thrown = THROW_ERROR;
    rt::throw_value(THROW_ERROR);
}

[[noreturn]] void fire_make_error(const Cell* value, const Cell* spec) {
    fire("script", "bad-make-arg", value, spec);
}

}  // namespace zav
