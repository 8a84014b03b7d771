// Loading a large source text of mixed values. The same data is written as
// JSON beside it, so that bench/run.sh can time python3's json.loads on it.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "boot/boot.h"
#include "runtime/stack.h"
#include "loader/lexer.h"
#include "runtime/collector.h"

using namespace zav;

namespace {

// About `bytes` of records, as source text and as the equivalent JSON.
void make_texts(size_t bytes, std::string& source, std::string& json) {
    source = "[\n";
    json = "[\n";
    char buf[512];
    for (unsigned i = 0; source.size() < bytes; i++) {
        std::snprintf(buf, sizeof buf,
                      "[id: %u name: \"user %u\" score: %u.%02u tags: [alpha beta g%u] active: #(%s) "
                      "file: %%dir/file-%u.txt delta: -%u ratio: %.6e]\n",
                      i, i, i % 1000, i % 100, i % 7, i % 2 ? "true" : "false", i, i * 3 % 1000, i * 1.25e-3);
        source += buf;
        std::snprintf(buf, sizeof buf,
                      "%s{\"id\": %u, \"name\": \"user %u\", \"score\": %u.%02u, \"tags\": [\"alpha\", \"beta\", \"g%u\"], "
                      "\"active\": %s, \"file\": \"dir/file-%u.txt\", \"delta\": -%u, \"ratio\": %.6e}\n",
                      i ? "," : "", i, i, i % 1000, i % 100, i % 7, i % 2 ? "true" : "false", i, i * 3 % 1000, i * 1.25e-3);
        json += buf;
    }
    source += "]\n";
    json += "]\n";
}

void write_file(const std::string& path, const std::string& text) {
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
}

void BM_LexerLoad(benchmark::State& state) {
    boot::init_runtime();
    std::string source, json;
    make_texts(static_cast<size_t>(state.range(0)) << 20, source, json);
    const char* tmp = std::getenv("TMPDIR");
    write_file(std::string(tmp ? tmp : "/tmp") + "/zav_lexer_bench.json", json);
    Cell* saved = stack::top;
    for (auto _ : state) {
        Cell* out = stack::push_star();
        make_cell(out, TYPE_NONE);
        i32 used = 0;
        lexer::scan(out, reinterpret_cast<const u8*>(source.data()), static_cast<u32>(source.size()), false, true,
                    true, &used, nullptr, nullptr);
        benchmark::DoNotOptimize(out->data2);
        state.PauseTiming();
        stack::top = saved;
        collector::do_cycle();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(source.size()));
    state.counters["MB"] = static_cast<double>(source.size()) / 1e6;
}
BENCHMARK(BM_LexerLoad)->Arg(4)->Unit(benchmark::kMillisecond);

// Type-only scanning of the same text (no values built).
void BM_LexerScanOnly(benchmark::State& state) {
    boot::init_runtime();
    std::string source, json;
    make_texts(static_cast<size_t>(state.range(0)) << 20, source, json);
    for (auto _ : state) {
        i32 used = 0;
        i32 r = lexer::scan(nullptr, reinterpret_cast<const u8*>(source.data()), static_cast<u32>(source.size()), false,
                            false, false, &used, nullptr, nullptr);
        benchmark::DoNotOptimize(r);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(source.size()));
}
BENCHMARK(BM_LexerScanOnly)->Arg(4)->Unit(benchmark::kMillisecond);

}  // namespace
