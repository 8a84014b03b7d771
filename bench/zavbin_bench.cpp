// ZAVBIN: writing and reading a block of mixed records in both forms. The
// same data goes out as JSON, so that bench/run.sh can time python3's pickle
// (dumps and loads) on it; our best times go beside it for the comparison.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "boot/boot.h"
#include "datatypes/block.h"
#include "runtime/stack.h"
#include "loader/lexer.h"
#include "loader/zavbin.h"
#include "runtime/collector.h"

using namespace zav;

namespace {

constexpr u32 RECORDS = 20000;

std::string tmp_path(const char* name) {
    const char* tmp = std::getenv("TMPDIR");
    return std::string(tmp ? tmp : "/tmp") + "/" + name;
}

// RECORDS records as source text, and as JSON for the reference.
void make_data(std::string& source, std::string& json) {
    source = "[\n";
    json = "[\n";
    char buf[512];
    for (u32 i = 0; i < RECORDS; i++) {
        std::snprintf(buf, sizeof buf,
                      "[id: %u name: \"user %u\" score: %u.%02u tags: [alpha beta g%u] active: #(%s) delta: -%u]\n",
                      i, i, i % 1000, i % 100, i % 7, i % 2 ? "true" : "false", i * 3 % 1000);
        source += buf;
        std::snprintf(buf, sizeof buf,
                      "%s{\"id\": %u, \"name\": \"user %u\", \"score\": %u.%02u, \"tags\": [\"alpha\", \"beta\", "
                      "\"g%u\"], \"active\": %s, \"delta\": -%u}\n",
                      i ? "," : "", i, i, i % 1000, i % 100, i % 7, i % 2 ? "true" : "false", i * 3 % 1000);
        json += buf;
    }
    source += "]\n";
    json += "]\n";
}

// The loaded data, kept for every benchmark of this file.
Cell& data() {
    static Cell cell{TYPE_NONE, 0, 0, 0};
    collector::register_marker([] { collector::mark_value(&cell); });  // kept for every benchmark
    if (TYPE_OF(&cell) == TYPE_BLOCK) return cell;
    std::string source, json;
    make_data(source, json);
    if (FILE* f = std::fopen(tmp_path("zav_zavbin_bench.json").c_str(), "wb")) {
        std::fwrite(json.data(), 1, json.size(), f);
        std::fclose(f);
    }
    Cell* saved = stack::top;
    Cell* out = stack::push_star();
    make_cell(out, TYPE_NONE);
    i32 used = 0;
    lexer::scan(out, reinterpret_cast<const u8*>(source.data()), static_cast<u32>(source.size()), false, true, true,
                &used, nullptr, nullptr);
    cell = *block::zs_head(out);
    stack::top = saved;
    return cell;
}

std::vector<u8> encoded(bool compact) {
    Cell* saved = stack::top;
    Cell* bin = compact ? zavbin::encode_cp(&data()) : zavbin::encode(&data());
    SeriesBuffer* b = GET_BUFFER(series_node(bin));
    std::vector<u8> bytes(b->head(), b->head() + b->length());
    stack::top = saved;
    return bytes;
}

// Our best time in ms, one line per benchmark, for run.sh's comparison.
void note(const char* name, double ms) {
    if (FILE* f = std::fopen(tmp_path("zav_zavbin_bench.txt").c_str(), "a")) {
        std::fprintf(f, "%s %.3f\n", name, ms);
        std::fclose(f);
    }
}

void BM_ZavbinEncode(benchmark::State& state) {
    boot::init_runtime();
    bool compact = state.range(0) != 0;
    Cell& v = data();
    Cell* saved = stack::top;
    double best = 1e30;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        Cell* bin = compact ? zavbin::encode_cp(&v) : zavbin::encode(&v);
        benchmark::DoNotOptimize(bin->data2);
        best = std::min(best, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        state.PauseTiming();
        stack::top = saved;
        collector::do_cycle();
        state.ResumeTiming();
    }
    state.counters["MB"] = static_cast<double>(encoded(compact).size()) / 1e6;
    note(compact ? "encode-compact" : "encode-fixed", best);
}
BENCHMARK(BM_ZavbinEncode)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

void BM_ZavbinDecode(benchmark::State& state) {
    boot::init_runtime();
    bool compact = state.range(0) != 0;
    std::vector<u8> bytes = encoded(compact);
    Cell* saved = stack::top;
    double best = 1e30;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        Cell* out = block::push_only_star(1);
        zavbin::decode(bytes.data(), out, zavbin::MODE_CODEC, static_cast<i64>(bytes.size()));
        benchmark::DoNotOptimize(out->data2);
        best = std::min(best, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        state.PauseTiming();
        stack::top = saved;
        collector::do_cycle();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes.size()));
    note(compact ? "decode-compact" : "decode-fixed", best);
}
BENCHMARK(BM_ZavbinDecode)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

}  // namespace
