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
#include <string>

#include "runtime/cell.h"
#include "datatypes/context.h"
#include "datatypes/symbol.h"
#include "evaluator/interpreter.h"
#include "runtime/stack.h"
#include "loader/lexer.h"
#include "runtime/budget.h"
#include "runtime/collector.h"
#include "datatypes/action_slots.h"
#include "datatypes/cycles.h"
#include "datatypes/error.h"
#include "datatypes/string.h"
#include "runtime/unicode.h"
#include "runtime/memory.h"
#include "runtime/machine_stack.h"
#include "runtime/print_hooks.h"

namespace zav::fuzz {

// What one run did, as text to compare between evaluators: what it printed,
// then its value or how it ended. `comparable` is false when the run was
// stopped by its budget, ran out of memory or reached the machine stack's
// limit: the evaluators count work, allocate and use the machine stack
// differently, so those stop at different points. (The language's own frame
// and value stack limits come at the same depth: those runs are compared.)
struct Outcome {
    std::string text;
    bool comparable = true;
};

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
    // outside the process. With an outcome: captures it, and the words whose
    // results differ from run to run (clock, memory figures) are unset too.
    void run(const uint8_t* data, size_t size, Outcome* outcome = nullptr) {
        restore_globals();
        Cell unset_value{TYPE_UNSET, 0, 0, 0};
        for (const char* w : UNSAFE_WORDS) context::set_global(symbol::make(w), &unset_value);
        if (outcome)
            for (const char* w : UNSTABLE_WORDS) context::set_global(symbol::make(w), &unset_value);
        capture_ = outcome;
        captured_ = 0;
        Cell* saved_top = stack::top;
        Cell* saved_args = stack::arguments;
        CallFrame* saved_frames = stack::frame_top;
        // The cap is on what the arena holds: the garbage of earlier runs goes first.
        if (memory::record.total > MEMORY_CAP / 2) collector::do_cycle();
        memory::cap = MEMORY_CAP;
        budget::set(STEPS, [] { throw Throw{THROW_SPENT}; });
        const u32 overflows = machine_stack::overflows;
        try {
            Cell* code = stack::push_star();
            make_cell(code, TYPE_NONE);
            i32 consumed = 0;
            lexer::scan(code, data, static_cast<u32>(size), false, true, true, &consumed, nullptr, nullptr);
            Cell guard;
            make_cell(&guard, TYPE_WORD, 0, static_cast<u32>(symbol::make("fuzz")), 0xFFFFFFFF);
            stack::mark(&guard, FRAME_TRY_ALL);
            interpreter::eval(code, true);
            stack::throw_pending();
            if (outcome) {
                budget::set(0, nullptr);
                outcome->text += "\nresult: " + mold(stack::arguments);
            }
        } catch (Throw& t) {
            if (outcome) ended(t.value, outcome);
        }
        if (outcome) outcome->text += "\nprinted bytes: " + std::to_string(captured_);
        if (outcome && machine_stack::overflows != overflows) outcome->comparable = false;
        capture_ = nullptr;
        budget::set(0, nullptr);
        memory::cap = saved_cap_;
        stack::top = saved_top;
        stack::arguments = saved_args;
        stack::frame_top = saved_frames;
        stack::throw_origin = nullptr;
        stack::pending = 0;
        interpreter::trace.active = interpreter::trace.enabled = false;
        cycles::reset();
        if (collecting_) collector::enable();  // after recycle/off
    }

private:
    // Shell, files, browser, environment, sleeping, leaving the process.
    static constexpr const char* UNSAFE_WORDS[] = {
        "call", "browse", "write", "delete", "rename", "make-dir", "set-env", "wait", "quit",
        "halt", "q", "read", "open", "save", "change-dir", "write-clipboard", "launch",
        // A UI's loop waits for the terminal, where no input ever comes.
        "view", "do-events", "alert", "request-file", "request-dir"};

    // Of the words that change between runs of the same program.
    static constexpr const char* UNSTABLE_WORDS[] = {"now", "stats", "recycle", "dt", "delta-time", "time-it", "clock"};
    // Output captured per run, up to this many bytes (its full length counted).
    static constexpr size_t CAPTURE_MAX = 64 << 10;
    // Values are compared by their mold up to this many characters.
    static constexpr i32 MOLD_MAX = 4096;

    static inline Outcome* capture_ = nullptr;
    static inline size_t captured_ = 0;

    static void quiet_print(const Cell* str, bool new_line) {
        if (!capture_) return;
        captured_ += append_text(capture_->text, str) + new_line;
        if (new_line && capture_->text.size() < CAPTURE_MAX) capture_->text += '\n';
    }

    // Appends a string! as UTF-8 while `out` is under CAPTURE_MAX bytes;
    // answers the length of all of it.
    static size_t append_text(std::string& out, const Cell* str) {
        SeriesBuffer* b = GET_BUFFER(series_node(str));
        u32 unit = b->unit();
        size_t total = 0;
        for (u8* p = b->head() + series_head(str) * unit; p < b->tail_ptr(); p += unit) {
            u8 bytes[4];
            u32 n = unicode::cp_to_utf8(string::get_char(p, unit), bytes);
            total += n;
            if (out.size() < CAPTURE_MAX) out.append(reinterpret_cast<char*>(bytes), n);
        }
        return total;
    }

    // mold/all of a value, cut at MOLD_MAX characters; a mold that itself
    // fails gives its throw value.
    static std::string mold(const Cell* value) {
        Cell* saved = stack::top;
        std::string r;
        try {
            Cell* v = stack::push(value);
            Cell* buffer = stack::push_star();
            string::zs_make_at(buffer, 64);
            actions::mold_dispatch(v, buffer, false, true, true, nullptr, MOLD_MAX, 0);
            append_text(r, buffer);
        } catch (Throw& t) {
            r = "<mold threw " + std::to_string(t.value) + ">";
        }
        stack::top = saved;
        return r;
    }

    // How a run that threw ended: an error by its fields other than the
    // stack depth (the machine stack limit comes at different depths),
    // anything else by its throw value.
    static void ended(u32 value, Outcome* outcome) {
        outcome->text += "\nthrow: " + std::to_string(value);
        if (value == THROW_SPENT) outcome->comparable = false;
        if (value != THROW_ERROR || TYPE_OF(&error::thrown) != TYPE_ERROR) return;
        Cell err = error::thrown;
        Cell* id = error::field(&err, error::FIELD_ID);
        if (TYPE_OF(id) == TYPE_WORD && static_cast<i32>(word_symbol(id)) == symbol::make("no-memory")) outcome->comparable = false;
        for (u32 f = error::FIELD_TYPE; f <= error::FIELD_WHERE; f++)
            outcome->text += std::string("\n") + error::field_names[f] + ": " + mold(error::field(&err, f));
    }

    void restore_globals() {
        Cell* ctx = context::TO_CTX(context::global);
        Cell* values = context::values_of(ctx);
        u32 n = context::word_count(ctx);
        std::memcpy(values, GET_BUFFER(snapshot_)->head(), boot_words_ * sizeof(Cell));
        for (u32 i = boot_words_; i < n; i++) values[i] = Cell{TYPE_UNSET, 0, 0, 0};
    }

    node_t snapshot_ = 0;  // the global values as they were
    collector::Guard keep_;
    bool collecting_;
    u32 boot_words_ = 0;
    u64 saved_cap_ = memory::cap;
};

}  // namespace zav::fuzz
