// One collection over a heap of small blocks and strings: all of it live, and
// half of it garbage interleaved with the live half (so that everything slides).
#include <benchmark/benchmark.h>

#include "boot/boot.h"
#include "runtime/stack.h"
#include "runtime/collector.h"
#include "runtime/memory.h"

using namespace zav;

namespace {

node_t text(u32 n) {
    node_t s = alloc_codepoints(n, 1);
    SeriesBuffer* b = GET_BUFFER(s);
    std::memset(b->head(), 'x', n);
    b->tail = b->offset + n;
    return s;
}

// An outer block of `count` two-cell blocks [string integer], pushed on the
// value stack; with `garbage`, every live series is followed by a dead one.
void build(u32 count, bool garbage) {
    node_t outer = alloc_cells(count);
    Cell* held = stack::push_star();
    *held = Cell{TYPE_BLOCK, 0, outer, 0};
    for (u32 i = 0; i < count; i++) {
        node_t s = text(8 + i % 56);
        if (garbage) text(8 + i % 56);
        node_t inner = alloc_cells(2);
        if (garbage) alloc_cells(2);
        auto* c = reinterpret_cast<Cell*>(GET_BUFFER(inner)->head());
        c[0] = Cell{TYPE_STRING, 0, s, 0};
        c[1] = Cell{TYPE_INTEGER, i, 0, 0};
        GET_BUFFER(inner)->tail += 32;
        SeriesBuffer* ob = GET_BUFFER(outer);
        reinterpret_cast<Cell*>(ob->tail_ptr())[0] = Cell{TYPE_BLOCK, 0, inner, 0};
        ob->tail += 16;
    }
}

void run(benchmark::State& state, bool garbage) {
    boot::init_runtime();
    Cell* top = stack::top;
    u32 count = static_cast<u32>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        stack::top = top;
        collector::do_cycle();
        build(count, garbage);
        state.ResumeTiming();
        collector::do_cycle();
    }
    stack::top = top;
    collector::do_cycle();
    state.SetItemsProcessed(state.iterations() * count * 3);  // live series per cycle
}

void BM_CollectLive(benchmark::State& state) { run(state, false); }
void BM_CollectHalfGarbage(benchmark::State& state) { run(state, true); }
BENCHMARK(BM_CollectLive)->Arg(1000)->Arg(20000);
BENCHMARK(BM_CollectHalfGarbage)->Arg(1000)->Arg(20000);

}  // namespace
