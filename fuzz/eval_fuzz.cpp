// libFuzzer target: arbitrary bytes loaded as source text and evaluated. A
// language error (or any other throw) is a normal outcome; a crash, hang,
// sanitizer report or leak is a finding. There is no step budget in the
// interpreter: runs are kept short by a corpus of short programs and by
// libFuzzer's -timeout and -rss_limit_mb.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "boot/boot.h"
#include "datatypes/cell.h"
#include "datatypes/context.h"
#include "datatypes/symbol.h"
#include "evaluator/interpreter.h"
#include "evaluator/stack.h"
#include "loader/lexer.h"
#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/memory.h"
#include "runtime/print_hooks.h"

using namespace zav;

namespace {

// Words that reach the machine outside the process (shell, files, browser,
// environment, sleeping): unset so that no input can use them.
const char* const UNSAFE_WORDS[] = {"call", "browse", "write", "delete", "rename", "make-dir", "set-env",
                                    "wait", "quit", "halt", "q", "read", "open", "save", "change-dir",
                                    "write-clipboard", "launch"};

node_t snapshot = 0;  // the global values as boot left them
u32 boot_words = 0;

void quiet_print(const Cell*, bool) {}

void start() {
    boot::init_runtime();
    print_hooks::remove(print_hooks::default_print, nullptr);
    print_hooks::add(quiet_print, nullptr);
    Cell unset_value{TYPE_UNSET, 0, 0, 0};
    for (const char* w : UNSAFE_WORDS) context::set_global(symbol::make(w), &unset_value);
    Cell* ctx = context::TO_CTX(context::global);
    boot_words = context::word_count(ctx);
    snapshot = alloc_cells(boot_words);
    SeriesBuffer* b = GET_BUFFER(snapshot);
    std::memcpy(b->head(), context::values_of(context::TO_CTX(context::global)), boot_words * sizeof(Cell));
    b->tail = b->offset + boot_words * sizeof(Cell);
    static collector::NodeRoot keep(snapshot);  // for good
}

// Every input starts from the global values boot made: words an earlier input
// set are unset again, so that a finding replays on its own.
void restore_globals() {
    Cell* ctx = context::TO_CTX(context::global);
    Cell* values = context::values_of(ctx);
    u32 n = context::word_count(ctx);
    std::memcpy(values, GET_BUFFER(snapshot)->head(), boot_words * sizeof(Cell));
    for (u32 i = boot_words; i < n; i++) values[i] = Cell{TYPE_UNSET, 0, 0, 0};
}

void run(const uint8_t* data, size_t size) {
    Cell* saved_top = stack::top;
    Cell* saved_args = stack::arguments;
    CallFrame* saved_frames = stack::frame_top;
    try {
        Cell* code = stack::push_star();
        make_cell(code, TYPE_NONE);
        i32 consumed = 0;
        lexer::scan(code, data, static_cast<u32>(size), false, true, true, &consumed, nullptr, nullptr);
        // A guard that stops errors and stray break, return and throw alike.
        Cell guard;
        make_cell(&guard, TYPE_WORD, 0, static_cast<u32>(symbol::make("fuzz")), 0xFFFFFFFF);
        stack::mark(&guard, FRAME_TRY_ALL);
        interpreter::eval(code, true);
    } catch (Throw&) {
    }
    stack::top = saved_top;
    stack::arguments = saved_args;
    stack::frame_top = saved_frames;
    stack::throw_origin = nullptr;
    interpreter::trace.active = interpreter::trace.enabled = false;
    cycles::reset();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool up = false;
    static unsigned runs = 0;
    if (!up) {
        start();
        up = true;
    }
    restore_globals();
    run(data, size);
    if (++runs % 64 == 0) collector::do_cycle();
    return 0;
}
