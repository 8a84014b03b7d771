// Hash tables against std::unordered_map on the same work: integer keys
// (node-keyed entry table and the small integer table) and symbol interning.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "datatypes/symbol.h"
#include "runtime/case_folding.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"

using namespace zav;
namespace ht = zav::hashtable;

namespace {

std::vector<u32> keys(size_t n) {
    std::mt19937 rng(42);
    std::vector<u32> k(n);
    for (auto& v : k) v = rng() & ~15u;  // node-like: 16-byte aligned
    return k;
}

std::vector<std::string> names(size_t n) {
    std::vector<std::string> v(n);
    for (size_t i = 0; i < n; i++) v[i] = "word-" + std::to_string(i * 2654435761u % 1000003);
    return v;
}

void fresh_arena() {
    static bool reserved = false;
    if (!reserved) {
        memory::init();
        case_folding::init();
        reserved = true;
    }
    free_all_memory();
}

void Insert_hashtable(benchmark::State& state) {
    auto k = keys(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        fresh_arena();
        state.ResumeTiming();
        node_t t = ht::init(0, nullptr, ht::KIND_INT_KEY, 1);
        for (u32 key : k) ht::put_int_key(t, key)->data2 = key;
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void Insert_std_unordered_map(benchmark::State& state) {
    auto k = keys(state.range(0));
    for (auto _ : state) {
        std::unordered_map<u32, u32> m;
        for (u32 key : k) m[key] = key;
        benchmark::DoNotOptimize(m);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void Lookup_hashtable(benchmark::State& state) {
    auto k = keys(state.range(0));
    fresh_arena();
    node_t t = ht::init(0, nullptr, ht::KIND_INT_KEY, 1);
    for (u32 key : k) ht::put_int_key(t, key)->data2 = key;
    for (auto _ : state) {
        u32 sum = 0;
        for (u32 key : k) sum += ht::get_int_key(t, key)->data2;
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void Lookup_std_unordered_map(benchmark::State& state) {
    auto k = keys(state.range(0));
    std::unordered_map<u32, u32> m;
    for (u32 key : k) m[key] = key;
    for (auto _ : state) {
        u32 sum = 0;
        for (u32 key : k) sum += m.find(key)->second;
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void IntTableInsertLookup_hashtable(benchmark::State& state) {
    auto k = keys(state.range(0));
    for (auto _ : state) {
        ht::IntTable* t = ht::make_int(0);
        for (u32 key : k) ht::put_int(t, key, key);
        u32 sum = 0;
        for (u32 key : k) sum += *ht::get_int(t, key);
        benchmark::DoNotOptimize(sum);
        ht::free_int(t);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void IntTableInsertLookup_std_unordered_map(benchmark::State& state) {
    auto k = keys(state.range(0));
    for (auto _ : state) {
        std::unordered_map<u32, u32> m;
        for (u32 key : k) m[key] = key;
        u32 sum = 0;
        for (u32 key : k) sum += m.find(key)->second;
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// Interning each name twice: the second pass finds them all.
void Intern_hashtable(benchmark::State& state) {
    auto n = names(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        fresh_arena();
        state.ResumeTiming();
        symbol::init(4000);
        i32 sum = 0;
        for (int pass = 0; pass < 2; pass++)
            for (auto& s : n) sum += symbol::make(s.c_str());
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0) * 2);
}

void Intern_std_unordered_map(benchmark::State& state) {
    auto n = names(state.range(0));
    for (auto _ : state) {
        std::unordered_map<std::string, i32> m;
        m.reserve(8000);
        i32 sum = 0;
        for (int pass = 0; pass < 2; pass++)
            for (auto& s : n) sum += m.try_emplace(s, static_cast<i32>(m.size()) + 1).first->second;
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0) * 2);
}

}  // namespace

BENCHMARK(Insert_hashtable)->Arg(1000)->Arg(100000);
BENCHMARK(Insert_std_unordered_map)->Arg(1000)->Arg(100000);
BENCHMARK(Lookup_hashtable)->Arg(1000)->Arg(100000);
BENCHMARK(Lookup_std_unordered_map)->Arg(1000)->Arg(100000);
BENCHMARK(IntTableInsertLookup_hashtable)->Arg(1000)->Arg(100000);
BENCHMARK(IntTableInsertLookup_std_unordered_map)->Arg(1000)->Arg(100000);
BENCHMARK(Intern_hashtable)->Arg(1000)->Arg(50000);
BENCHMARK(Intern_std_unordered_map)->Arg(1000)->Arg(50000);


