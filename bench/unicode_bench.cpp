// Unicode conversion: loading UTF-8 text and converting strings back through the cache.
#include <benchmark/benchmark.h>

#include <vector>

#include "datatypes/string.h"
#include "runtime/memory.h"
#include "runtime/unicode.h"

using namespace zav;

namespace {

// About 64 KiB of text: mostly ASCII, or a mix of Latin, euro signs and emoji.
std::vector<u8> sample(bool mixed) {
    std::vector<u8> out;
    const u32 cps[] = {'a', 'b', 0xE9, ' ', 0x20AC, 'z', 0x1F600, '\n'};
    for (u32 i = 0; out.size() < 65536; i++) {
        u32 cp = mixed ? cps[i % 8] : 'a' + i % 26;
        u8 buf[4];
        u32 n = unicode::cp_to_utf8(cp, buf);
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

void BM_LoadUtf8(benchmark::State& state) {
    memory::init();
    free_all_memory();
    std::vector<u8> text = sample(state.range(0) != 0);
    // No collector yet: buffers pile up, a few hundred megabytes at most.
    for (auto _ : state) {
        benchmark::DoNotOptimize(unicode::load_utf8_new(text.data(), static_cast<u32>(text.size())));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    free_all_memory();
}
BENCHMARK(BM_LoadUtf8)->Arg(0)->Arg(1);

// Repeated conversions of one cell reuse its cache and allocate nothing.
void BM_ToUtf8Cached(benchmark::State& state) {
    memory::init();
    free_all_memory();
    std::vector<u8> text = sample(state.range(0) != 0);
    Cell s;
    make_cell(&s, TYPE_STRING, 0, unicode::load_utf8_new(text.data(), static_cast<u32>(text.size())));
    for (auto _ : state) {
        i32 len = -1;
        benchmark::DoNotOptimize(unicode::to_utf8(&s, len));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    free_all_memory();
}
BENCHMARK(BM_ToUtf8Cached)->Arg(0)->Arg(1);

void BM_ToUtf16Cached(benchmark::State& state) {
    memory::init();
    free_all_memory();
    std::vector<u8> text = sample(state.range(0) != 0);
    Cell s;
    make_cell(&s, TYPE_STRING, 0, unicode::load_utf8_new(text.data(), static_cast<u32>(text.size())));
    for (auto _ : state) benchmark::DoNotOptimize(unicode::to_utf16(&s));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    free_all_memory();
}
BENCHMARK(BM_ToUtf16Cached)->Arg(0)->Arg(1);

}  // namespace


