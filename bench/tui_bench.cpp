// The terminal interface: frames per second for a full-screen window of 300
// faces on a 200 x 60 terminal, each timer tick changing one face (the whole
// tree is painted again, only the cells that changed are written), and the
// bytes of such a frame against a frame that repaints the whole screen.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "boot/boot.h"
#include "datatypes/block.h"
#include "evaluator/interpreter.h"
#include "loader/lexer.h"
#include "runtime/collector.h"
#include "runtime/stack.h"
#include "view/terminal/compositor.h"
#include "view/terminal/frame.h"
#include "view/terminal/loop.h"
#include "view/terminal/tty_io.h"

using namespace zav;

namespace {

// A 200 x 60 terminal that takes every byte and counts it.
class CountingTty final : public gui::Tty {
public:
    u64 bytes = 0;
    int read(u8*, int) override { return 0; }
    bool poll(int) override { return false; }
    bool write(const void*, size_t size) override {
        bytes += size;
        return true;
    }
    bool size(int* c, int* r) override {
        *c = 200;
        *r = 60;
        return true;
    }
    bool input_is_console() override { return false; }
    bool output_is_console() override { return true; }
    bool raw_mode() override { return false; }
    void restore_mode() override {}
    bool take_resize() override { return false; }
};

CountingTty counting;

// 15 rows of 20 faces, 9 x 3 cells each with a gap: 200 x 60 cells.
const char* const SETUP = R"(
bench-n: 0
bench-win: layout/tight collect [
	keep [origin 0x0 space 1x1]
	repeat row 15 [
		repeat col 20 [keep compose [text 9x3 (rejoin ["face " row "/" col])]]
		keep 'return
	]
]
bench-face: pick bench-win/pane 150
view/no-wait/flags bench-win [fullscreen]
bench-tick: does [bench-n: bench-n + 1 bench-face/text: form bench-n]
)";

// Source text as a block of values.
Cell load(const char* text) {
    Cell* out = stack::push_star();
    make_cell(out, TYPE_NONE);
    i32 used = 0;
    lexer::scan(out, reinterpret_cast<const u8*>(text), static_cast<u32>(std::strlen(text)), false, true, true, &used,
                nullptr, nullptr);
    Cell code = *out;
    stack::pop(1);
    return code;
}

void eval(const char* text) {
    Cell code = load(text);
    collector::Guard keep(&code);
    Cell* base = stack::top;
    interpreter::eval(&code, false);
    stack::top = base;
}

bool ready = false;

void set_up() {
    if (ready) return;
    boot::init_runtime();
    gui::set_tty(&counting);
    eval(SETUP);
    ready = true;
}

void run_ticks(benchmark::State& state, bool full) {
    set_up();
    Cell tick = load("bench-tick");
    collector::Guard keep(&tick);
    u64 before = counting.bytes;
    for (auto _ : state) {
        Cell* base = stack::top;
        interpreter::eval(&tick, false);
        stack::top = base;
        if (full) gui::frame.full = true;
        gui::render_frame();
    }
    state.counters["fps"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["bytes/frame"] =
        static_cast<double>(counting.bytes - before) / static_cast<double>(state.iterations());
}

// One face changes at each tick: the tree is painted, the changed cells written.
void BM_TuiOneFaceChanges(benchmark::State& state) { run_ticks(state, false); }
BENCHMARK(BM_TuiOneFaceChanges);

// The same with the whole screen written at every frame, for comparison.
void BM_TuiWholeScreenEachFrame(benchmark::State& state) { run_ticks(state, true); }
BENCHMARK(BM_TuiWholeScreenEachFrame);

}  // namespace
