// The value registry.
#include "runtime/slots.h"

#include "runtime/fire.h"
#include "runtime/memory.h"

namespace zav::slots {

Cell registry{TYPE_NONE, 0, 0, 0};
i32 free_head = -1;
u32 capacity = 0;

namespace {
// 1.6 KB to start: the registry doubles whenever it is full, so this only
// spares the first few copies.
constexpr u32 INITIAL_CELLS = 100;

Cell* cells() { return reinterpret_cast<Cell*>(GET_BUFFER(series_node(&registry))->head()); }
}  // namespace

void link_free(u32 first) {
    Cell* c = cells();
    for (u32 i = first; i < capacity; i++) {
        i32 next = i + 1 < capacity ? static_cast<i32>(i + 1) : -1;
        make_cell(c + i, TYPE_INTEGER, 0, static_cast<u32>(next));
    }
    free_head = first < capacity ? static_cast<i32>(first) : -1;
}

void init() {
    make_cell(&registry, TYPE_BLOCK, 0, alloc_cells(INITIAL_CELLS), 0);
    capacity = INITIAL_CELLS;
    SeriesBuffer* b = GET_BUFFER(series_node(&registry));
    b->tail = b->offset + capacity * sizeof(Cell);
    link_free(0);
}

u32 store(const Cell* value) {
    Cell v = *value;  // the value may live in the registry, which may move
    if (free_head < 0) {
        u32 old = capacity;
        if (u64(capacity) * 2 * sizeof(Cell) > 0xFFFFFFF0u) fire("internal", "no-memory");
        capacity *= 2;
        SeriesBuffer* b = expand_series(GET_BUFFER(series_node(&registry)), capacity * sizeof(Cell));
        b->tail = b->offset + capacity * sizeof(Cell);
        link_free(old);
    }
    u32 index = static_cast<u32>(free_head);
    Cell* c = cells() + index;
    free_head = static_cast<i32>(c->data2);
    *c = v;
    return index + 1;
}

Cell* get(u32 handle) { return cells() + (handle - 1); }

void release(u32 handle) {
    if (handle == 0) return;
    make_cell(cells() + (handle - 1), TYPE_INTEGER, 0, static_cast<u32>(free_head));
    free_head = static_cast<i32>(handle - 1);
}

}  // namespace zav::slots
