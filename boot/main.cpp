// Entry point of the zav executable: `zav FILE` runs a script.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "boot/boot.h"
#include "console/script.h"
#include "datatypes/block.h"
#include "datatypes/error.h"
#include "datatypes/symbol.h"
#include "evaluator/actions.h"
#include "evaluator/frames.h"
#include "evaluator/interpreter.h"
#include "runtime/stack.h"
#include "loader/lexer.h"
#include "runtime/cell.h"
#include "runtime/memory.h"
#include "runtime/platform/platform.h"
#include "runtime/print_hooks.h"
#include "runtime/rt.h"

namespace {

using namespace zav;

// Status of a script ended by an error nothing caught.
constexpr int ERROR_STATUS = 254;

// A string! value (unit 1) holding bytes, pushed on the value stack.
Cell* push_text(const char* text, u32 n) {
    node_t node = alloc_codepoints(n, 1);
    SeriesBuffer* b = GET_BUFFER(node);
    std::memcpy(b->head(), text, n);
    b->tail = b->offset + n;
    return make_cell(stack::push_star(), TYPE_STRING, 0, node);
}

void print_text(const char* text) {
    Cell* s = push_text(text, static_cast<u32>(std::strlen(text)));
    print_hooks::print(s, true);
    stack::pop(1);
}

// The error's report: its form, printed, above the stack's current top.
void report(Cell* err) {
    Cell* value = stack::push(err);
    stack::arguments = value;
    if (TYPE_OF(value) == TYPE_ERROR) {
        actions::form_star(-1);
        print_hooks::print(stack::arguments, true);
    } else {
        print_text("** Error: script ended by an unknown throw");
    }
    std::fflush(nullptr);
}

[[noreturn]] void report_and_exit(Cell* err) {
    stack::frame_top = stack::frame_base;
    stack::arguments = stack::top = stack::bottom;
    report(err);
    std::exit(ERROR_STATUS);
}

// `halt` in a script: its throw of halt-request found no catch.
bool halted(const Cell* err) {
    auto is = [](const Cell* c, const char* text) {
        return TYPE_OF(c) == TYPE_WORD &&
               symbol::resolve(static_cast<i32>(c->data2)) == symbol::resolve(symbol::make(text));
    };
    Cell* e = const_cast<Cell*>(err);
    return TYPE_OF(e) == TYPE_ERROR && is(error::field(e, error::FIELD_TYPE), "throw") &&
           is(error::field(e, error::FIELD_ARG1), "halt-request");
}

// The script's directives and macros, carried out in place before it runs.
// Here at the top level rather than in the launch, so that a small machine
// stack has the room for it that the script itself has.
void expand_directives(Cell* code) {
    static const char call[] = "expand-directives";
    Cell* top = stack::top;
    Cell* block = stack::push_star();
    make_cell(block, TYPE_NONE);
    i32 consumed = 0;
    lexer::scan(block, reinterpret_cast<const u8*>(call), sizeof call - 1, false, true, true, &consumed, nullptr,
                nullptr);
    block::zs_append(block, code);
    interpreter::eval(block, false);
    stack::throw_pending();
    stack::top = top;
}

// The script the launch loaded, at the top level. With `keep`, a failure is
// reported and the run returns (the console goes on).
int run_script(bool keep) {
    Cell err;
    bool expanding = false;
    try {
        Cell* code = stack::push(&console::pending_script.code);
        console::pending_script.set = false;  // the value stack holds it now
        // The guard frame: errors unwind to it.
        Cell guard;
        make_cell(&guard, TYPE_WORD, 0, static_cast<u32>(symbol::make("zav")), 0xFFFFFFFF);
        stack::mark(&guard, FRAME_TRY);
        expanding = true;
        expand_directives(code);
        expanding = false;
        interpreter::eval(code, true);
        stack::throw_pending();
        return 0;
    } catch (Throw& t) {
        if (t.value == THROW_QUIT) return 0;
        if (t.value != THROW_ERROR) make_cell(&err, TYPE_NONE);
        else frames::take_thrown_error(&err);
    }
    if (halted(&err)) {
        // The preprocessor has reported why it stopped: the script never ran.
        if (expanding) {
            std::fflush(nullptr);
            if (keep) return ERROR_STATUS;
            std::exit(ERROR_STATUS);
        }
        print_text("(halted)");
        return 0;
    }
    if (keep) {
        report(&err);
        return ERROR_STATUS;
    }
    report_and_exit(&err);
}

// The console: the library's launch entry, which reads and evaluates lines
// until quit or the end of input.
int run_console(const char* entry) {
    Cell err;
    // The guard frame refers to a local: the stacks go back as they were.
    Cell* top = stack::top;
    Cell* arguments = stack::arguments;
    CallFrame* frame = stack::frame_top;
    try {
        Cell* code = stack::push_star();
        make_cell(code, TYPE_NONE);
        i32 consumed = 0;
        lexer::scan(code, reinterpret_cast<const u8*>(entry), static_cast<u32>(std::strlen(entry)), false, true, true, &consumed,
                    nullptr, nullptr);
        Cell guard;
        make_cell(&guard, TYPE_WORD, 0, static_cast<u32>(symbol::make("zav")), 0xFFFFFFFF);
        stack::mark(&guard, FRAME_TRY);
        interpreter::eval(code, true);
        stack::throw_pending();
        stack::top = top;
        stack::arguments = arguments;
        stack::frame_top = frame;
        return 0;
    } catch (Throw& t) {
        if (t.value == THROW_QUIT) return 0;
        if (t.value == THROW_ERROR) frames::take_thrown_error(&err);
        else make_cell(&err, TYPE_NONE);
    }
    report_and_exit(&err);
}

}  // namespace

// Start-up in its phases: entry set-up (A); the runtime's modules, the boot
// image, the library's definitions and top level (B to E, boot::init_runtime);
// then the launch point, which runs the command-line script (F).
int main(int argc, char** argv) {
    rt::platform_start(argc, argv);
    int status = 0;
    try {
        print_hooks::init();
        platform::init();
        try {
            boot::init_runtime();
        } catch (Throw& t) {
            // An error of the library's top level: reported like any other.
            if (t.value != THROW_ERROR || TYPE_OF(&error::thrown) != TYPE_ERROR) throw;
            Cell err = error::thrown;
            report_and_exit(&err);
        }
        status = run_console("cli-console-ctx/launch");
        if (console::pending_script.set) {
            status = run_script(console::pending_script.keep);
            if (console::pending_script.keep) status = run_console("system/console/run/no-banner");
        }
    } catch (Throw& t) {
        rt::top_catch_handler(t.value);
    }
    std::fflush(nullptr);
    rt::quit(status, 0);
}
