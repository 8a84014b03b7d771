// The series allocator on a typical mix (many small blocks and strings, some
// growth, a few large buffers) against malloc/realloc doing the same work.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <random>
#include <vector>

#include "runtime/memory.h"

using namespace zav;

namespace {

struct Request {
    u32 units, unit;
    u32 grow;  // expansions to perform
};

std::vector<Request> typical_mix(size_t n) {
    std::mt19937 gen(42);
    auto rng = [&] { return u32(gen()); };
    std::vector<Request> mix;
    mix.reserve(n);
    for (size_t i = 0; i < n; i++) {
        u32 r = rng() % 100;
        if (r < 50) mix.push_back({u32(1 + rng() % 8), 16, 0});           // small blocks
        else if (r < 85) mix.push_back({1 + rng() % 64, 1, 0});      // short strings
        else if (r < 98) mix.push_back({16 + rng() % 256, 1, 1 + rng() % 3});  // growing buffers
        else mix.push_back({4096 + rng() % 65536, 1, 0});            // larger buffers
    }
    return mix;
}

const std::vector<Request>& mix() {
    static std::vector<Request> m = typical_mix(20000);
    return m;
}

void BM_SeriesAllocator(benchmark::State& state) {
    memory::init();
    for (auto _ : state) {
        for (const Request& r : mix()) {
            node_t n = alloc_series(r.units, r.unit, 0);
            SeriesBuffer* b = GET_BUFFER(n);
            for (u32 g = 0; g < r.grow; g++) b = expand_series(b, 0);
            benchmark::DoNotOptimize(b);
        }
        state.PauseTiming();
        free_all_memory();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * mix().size());
}
BENCHMARK(BM_SeriesAllocator);

void BM_Malloc(benchmark::State& state) {
    std::vector<void*> live;
    live.reserve(mix().size());
    for (auto _ : state) {
        for (const Request& r : mix()) {
            size_t size = size_t(r.units) * r.unit;
            void* p = std::malloc(size ? size : 16);
            for (u32 g = 0; g < r.grow; g++) {
                size *= 2;
                p = std::realloc(p, size);
            }
            benchmark::DoNotOptimize(p);
            live.push_back(p);
        }
        state.PauseTiming();
        for (void* p : live) std::free(p);
        live.clear();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * mix().size());
}
BENCHMARK(BM_Malloc);

}  // namespace


