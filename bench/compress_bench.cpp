// DEFLATE compression and decompression of a 50 MB mixed corpus (text,
// source code, structured binary, incompressible bytes and runs), timed in
// processor time. The corpus and our figures are written beside it, so that
// bench/run.sh can run python3's zlib at level 6 on the same bytes and print
// both side by side.
#include <benchmark/benchmark.h>

#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "loader/compress.h"

using namespace zav;

namespace {

std::string temp_path(const char* name) {
    const char* tmp = std::getenv("TMPDIR");
    return std::string(tmp ? tmp : "/tmp") + "/" + name;
}

const std::vector<u8>& corpus() {
    static const std::vector<u8> data = [] {
        constexpr size_t SIZE = 50u << 20;
        static const char* words[] = {"time", "person", "year", "way", "day", "thing", "man", "world", "life",
                                      "hand", "part", "child", "eye", "woman", "place", "work", "week", "case",
                                      "point", "government", "company", "number", "group", "problem", "fact"};
        std::mt19937 rng(2026);
        std::vector<u8> v;
        v.reserve(SIZE);
        char buf[256];
        while (v.size() < SIZE) {
            u32 kind = rng() % 20;
            size_t chunk = 65536 + rng() % (1 << 20);
            size_t stop = std::min(SIZE, v.size() + chunk);
            if (kind < 8) {  // prose
                while (v.size() < stop) {
                    const char* w = words[std::min<u32>(rng() % 25, rng() % 25)];
                    v.insert(v.end(), w, w + std::strlen(w));
                    v.push_back(rng() % 12 ? ' ' : '\n');
                }
            } else if (kind < 12) {  // source code and logs
                for (u32 i = 0; v.size() < stop; i++) {
                    int n = std::snprintf(buf, sizeof buf, "  item-%u: make object! [id: %u size: %u name: \"%s\"]\n",
                                          i % 997, static_cast<unsigned>(rng() % 100000),
                                          static_cast<unsigned>(rng() % 4096), words[rng() % 25]);
                    v.insert(v.end(), buf, buf + n);
                }
            } else if (kind < 17) {  // structured binary: records of counters, small values and floats
                u32 counter = rng();
                while (v.size() < stop) {
                    counter += rng() % 16;
                    float f = static_cast<float>(rng() % 1000) / 8.0f;
                    u8 rec[16];
                    std::memcpy(rec, &counter, 4);
                    std::memcpy(rec + 4, &f, 4);
                    u32 small = rng() % 64, flags = rng() % 3 ? 0 : rng();
                    std::memcpy(rec + 8, &small, 4);
                    std::memcpy(rec + 12, &flags, 4);
                    v.insert(v.end(), rec, rec + 16);
                }
            } else if (kind < 19) {  // already-compressed or random bytes
                while (v.size() < stop) v.push_back(static_cast<u8>(rng()));
            } else {  // runs and zero pages
                while (v.size() < stop) v.insert(v.end(), 1 + rng() % 4096, static_cast<u8>(rng() % 3));
            }
            if (v.size() > stop) v.resize(stop);
        }
        return v;
    }();
    return data;
}

// Processor time of this process: other work on a shared machine does not count.
double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
}

struct Figures {
    double ratio = 0, compress_mbs = 0, decompress_mbs = 0;
};
Figures figures;

void write_figures() {
    if (FILE* f = std::fopen(temp_path("zav_compress_bench.txt").c_str(), "w")) {
        std::fprintf(f, "%.4f %.2f %.2f\n", figures.ratio, figures.compress_mbs, figures.decompress_mbs);
        std::fclose(f);
    }
}

void BM_Deflate(benchmark::State& state) {
    const auto& data = corpus();
    if (FILE* f = std::fopen(temp_path("zav_compress_bench.bin").c_str(), "wb")) {
        std::fwrite(data.data(), 1, data.size(), f);
        std::fclose(f);
    }
    std::vector<u8> out(data.size() + data.size() / 2048 + 32);
    u32 size = 0;
    double seconds = 0;
    for (auto _ : state) {
        size = static_cast<u32>(out.size());
        double t0 = cpu_seconds();
        compress::zlib_deflate(out.data(), &size, data.data(), static_cast<u32>(data.size()));
        seconds += cpu_seconds() - t0;
    }
    figures.ratio = static_cast<double>(data.size()) / size;
    figures.compress_mbs = data.size() * state.iterations() / seconds / 1e6;
    state.counters["ratio"] = figures.ratio;
    state.counters["MB/s"] = figures.compress_mbs;
    write_figures();
}
BENCHMARK(BM_Deflate)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_Inflate(benchmark::State& state) {
    const auto& data = corpus();
    std::vector<u8> packed(data.size() + data.size() / 2048 + 32);
    u32 size = static_cast<u32>(packed.size());
    compress::zlib_deflate(packed.data(), &size, data.data(), static_cast<u32>(data.size()));
    packed.resize(size);
    double seconds = 0;
    for (auto _ : state) {
        // As the decompress native does it: no size known, the output grows.
        compress::Bytes out;
        double t0 = cpu_seconds();
        compress::decompress(compress::Format::zlib, packed.data(), packed.size(), 0, 1u << 31, out);
        seconds += cpu_seconds() - t0;
        if (out.size != data.size()) state.SkipWithError("round trip failed");
    }
    figures.decompress_mbs = data.size() * state.iterations() / seconds / 1e6;
    state.counters["MB/s"] = figures.decompress_mbs;
    write_figures();
}
BENCHMARK(BM_Inflate)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
