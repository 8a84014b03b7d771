// Runs a fixed Zav program on each fuzz input, for the fuzzers of the
// library's text readers (JSON, CSV, URLs). The input becomes the string
// `fuzz-text` (UTF-8 when it is valid, else one character a byte, so that
// strings of every width are read) and `fuzz-byte`, its first byte (0 when
// empty), lets the program pick refinements. A language error, or any other
// throw, ends a run quietly; the program sets `fuzz-finding` to a value that
// is not none to report a broken property, which aborts.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "boot/boot.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/cycles.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "evaluator/interpreter.h"
#include "loader/lexer.h"
#include "runtime/collector.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace zav::fuzz {

class LibraryHarness {
public:
    explicit LibraryHarness(const char* program) {
        boot::init_runtime();
        Cell* code = stack::push_star();
        make_cell(code, TYPE_NONE);
        i32 consumed = 0;
        lexer::scan(code, reinterpret_cast<const u8*>(program), static_cast<u32>(std::strlen(program)), false, true,
                    true, &consumed, nullptr, nullptr);
        context::set_global(symbol::make("fuzz-program"), code);  // a global keeps it from the collector
        stack::top--;
    }

    void run(const uint8_t* data, size_t size) {
        Cell* saved_top = stack::top;
        Cell* saved_args = stack::arguments;
        CallFrame* saved_frames = stack::frame_top;
        Cell none;
        make_cell(&none, TYPE_NONE);
        context::set_global(symbol::make("fuzz-finding"), &none);
        try {
            Cell* text = text_of(data, size);
            context::set_global(symbol::make("fuzz-text"), text);
            Cell byte;
            make_cell(&byte, TYPE_INTEGER, 0, size ? data[0] : 0);
            context::set_global(symbol::make("fuzz-byte"), &byte);
            Cell code = *context::get_global(symbol::make("fuzz-program"));
            Cell guard;
            make_cell(&guard, TYPE_WORD, 0, static_cast<u32>(symbol::make("fuzz")), 0xFFFFFFFF);
            stack::mark(&guard, FRAME_TRY_ALL);
            interpreter::eval(&code, true);
        } catch (Throw&) {
        }
        stack::top = saved_top;
        stack::arguments = saved_args;
        stack::frame_top = saved_frames;
        cycles::reset();
        if (TYPE_OF(context::get_global(symbol::make("fuzz-finding"))) != TYPE_NONE) {
            std::fprintf(stderr, "fuzz-finding set by the harness program\n");
            std::abort();
        }
        if (++runs_ % 256 == 0) collector::do_cycle();
    }

private:
    static Cell* text_of(const uint8_t* data, size_t size) {
        const u8* p = data;
        const u8* end = data + size;
        bool utf8 = true;
        while (p < end && utf8) {
            i32 cp;
            const u8* next = unicode::fast_decode_utf8_char(p, end, &cp);
            utf8 = cp >= 0 && next > p;
            p = next;
        }
        if (utf8) return string::load(data, static_cast<u32>(size), 0);
        Cell* s = string::make_push(static_cast<u32>(size));
        for (size_t i = 0; i < size; i++) string::append_char(s, data[i]);
        return s;
    }

    unsigned runs_ = 0;
};

}  // namespace zav::fuzz
