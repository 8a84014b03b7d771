// Evaluates untrusted source text in the running runtime, for the evaluation
// fuzzer and the unit test that replays its findings. Every language error,
// and any stray break, return or throw, ends the run quietly; the stacks, the
// global words and the print hooks are as they were before. A run has a
// budget of work and of memory: a program that never ends, or asks for a
// gigabyte, is stopped as a normal outcome rather than found as a hang or an
// out-of-memory.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "runtime/cell.h"
#include "datatypes/context.h"
#include "datatypes/symbol.h"
#include "evaluator/interpreter.h"
#include "runtime/stack.h"
#include "loader/lexer.h"
#include "runtime/budget.h"
#include "runtime/collector.h"
#include "datatypes/cycles.h"
#include "runtime/memory.h"
#include "runtime/print_hooks.h"

namespace zav::fuzz {

class EvalSandbox {
public:
    // Units of work (evaluation steps, allocations and KiB allocated) a run
    // may take: well under a second of ordinary code, also under the sanitizers.
    static constexpr u64 STEPS = 1000000;
    // Arena bytes the runtime may hold during a run (the boot environment
    // takes a few MiB): a large but legitimate request fails as no-memory.
    static constexpr u64 MEMORY_CAP = u64(256) << 20;
    // Thrown when the budget is spent: no language catch stops it.
    static constexpr u32 THROW_SPENT = 0x7FFFFFF0;

    // Needs a runtime that is up (boot::init_runtime).
    EvalSandbox() : keep_(snapshot_), collecting_(collector::active) {
        Cell* ctx = context::TO_CTX(context::global);
        boot_words_ = context::word_count(ctx);
        snapshot_ = alloc_cells(boot_words_);
        SeriesBuffer* b = GET_BUFFER(snapshot_);
        std::memcpy(b->head(), context::values_of(context::TO_CTX(context::global)), boot_words_ * sizeof(Cell));
        b->tail = b->offset + boot_words_ * sizeof(Cell);
        print_hooks::remove(print_hooks::default_print, nullptr);
        print_hooks::add(quiet_print, nullptr);
    }
    ~EvalSandbox() {
        budget::set(0, nullptr);
        memory::cap = saved_cap_;
        restore_globals();
        print_hooks::remove(quiet_print, nullptr);
        print_hooks::add(print_hooks::default_print, nullptr);
    }
    EvalSandbox(const EvalSandbox&) = delete;
    EvalSandbox& operator=(const EvalSandbox&) = delete;

    // Loads and evaluates the bytes, starting from the global values boot made
    // (so that a finding replays on its own) without the words that reach
    // outside the process.
    void run(const uint8_t* data, size_t size) {
        restore_globals();
        Cell unset_value{TYPE_UNSET, 0, 0, 0};
        for (const char* w : UNSAFE_WORDS) context::set_global(symbol::make(w), &unset_value);
        Cell* saved_top = stack::top;
        Cell* saved_args = stack::arguments;
        CallFrame* saved_frames = stack::frame_top;
        // The cap is on what the arena holds: the garbage of earlier runs goes first.
        if (memory::record.total > MEMORY_CAP / 2) collector::do_cycle();
        memory::cap = MEMORY_CAP;
        budget::set(STEPS, [] { throw Throw{THROW_SPENT}; });
        try {
            Cell* code = stack::push_star();
            make_cell(code, TYPE_NONE);
            i32 consumed = 0;
            lexer::scan(code, data, static_cast<u32>(size), false, true, true, &consumed, nullptr, nullptr);
            Cell guard;
            make_cell(&guard, TYPE_WORD, 0, static_cast<u32>(symbol::make("fuzz")), 0xFFFFFFFF);
            stack::mark(&guard, FRAME_TRY_ALL);
            interpreter::eval(code, true);
        } catch (Throw&) {
        }
        budget::set(0, nullptr);
        memory::cap = saved_cap_;
        stack::top = saved_top;
        stack::arguments = saved_args;
        stack::frame_top = saved_frames;
        stack::throw_origin = nullptr;
        interpreter::trace.active = interpreter::trace.enabled = false;
        cycles::reset();
        if (collecting_) collector::enable();  // after recycle/off
    }

private:
    // Shell, files, browser, environment, sleeping, leaving the process.
    static constexpr const char* UNSAFE_WORDS[] = {
        "call", "browse", "write", "delete", "rename", "make-dir", "set-env", "wait", "quit",
        "halt", "q", "read", "open", "save", "change-dir", "write-clipboard", "launch"};

    static void quiet_print(const Cell*, bool) {}

    void restore_globals() {
        Cell* ctx = context::TO_CTX(context::global);
        Cell* values = context::values_of(ctx);
        u32 n = context::word_count(ctx);
        std::memcpy(values, GET_BUFFER(snapshot_)->head(), boot_words_ * sizeof(Cell));
        for (u32 i = boot_words_; i < n; i++) values[i] = Cell{TYPE_UNSET, 0, 0, 0};
    }

    node_t snapshot_ = 0;  // the global values as they were
    collector::NodeRoot keep_;
    bool collecting_;
    u32 boot_words_ = 0;
    u64 saved_cap_ = memory::cap;
};

}  // namespace zav::fuzz
