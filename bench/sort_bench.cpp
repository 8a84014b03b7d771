// Sorting speed on random and presorted 32-bit keys.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "runtime/sort.h"

using namespace zav;

namespace {

int by_value(const void* a, const void* b, uintptr_t, uintptr_t) {
    u32 x = *static_cast<const u32*>(a), y = *static_cast<const u32*>(b);
    return x < y ? -1 : x > y ? 1 : 0;
}

std::vector<u32> input(u32 n, bool presorted) {
    std::mt19937 rng(n);
    std::vector<u32> v(n);
    for (u32 i = 0; i < n; i++) v[i] = presorted ? (rng() % 100 ? i : rng()) : rng();
    return v;
}

template <void (*Sort)(void*, u32, u32, uintptr_t, uintptr_t, sort::Comparator)>
void run(benchmark::State& state, bool presorted) {
    const auto original = input(u32(state.range(0)), presorted);
    for (auto _ : state) {
        state.PauseTiming();
        auto v = original;
        state.ResumeTiming();
        Sort(v.data(), u32(v.size()), 4, 0, 0, by_value);
        benchmark::DoNotOptimize(v.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_QsortRandom(benchmark::State& s) { run<sort::qsort>(s, false); }
void BM_QsortNearlySorted(benchmark::State& s) { run<sort::qsort>(s, true); }
void BM_MergesortRandom(benchmark::State& s) { run<sort::mergesort>(s, false); }
void BM_MergesortNearlySorted(benchmark::State& s) { run<sort::mergesort>(s, true); }

}  // namespace

BENCHMARK(BM_QsortRandom)->Arg(1000)->Arg(100000);
BENCHMARK(BM_QsortNearlySorted)->Arg(1000)->Arg(100000);
BENCHMARK(BM_MergesortRandom)->Arg(1000)->Arg(100000);
BENCHMARK(BM_MergesortNearlySorted)->Arg(1000)->Arg(100000);


