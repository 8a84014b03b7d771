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
