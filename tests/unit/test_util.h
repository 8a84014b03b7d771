// Small helpers shared by the unit tests: value builders, string text, the
// error a call raises, and a fixture that leaves the stacks clean.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "runtime/cell.h"
#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "datatypes/error.h"
#include "runtime/collector.h"
#include "runtime/stack.h"
#include "datatypes/cycles.h"
#include "runtime/unicode.h"
#include "runtime_fixture.h"

namespace zav::test {

// An integer! cell.
inline Cell integer_cell(i32 v) {
    Cell c;
    make_cell(&c, TYPE_INTEGER, 0, static_cast<u32>(v));
    return c;
}

// A float! cell.
inline Cell float_cell(double d) {
    Cell c;
    make_cell(&c, TYPE_FLOAT);
    set_cell_float(&c, d);
    return c;
}

// Short names for tables of cases.
inline Cell I(i32 v) { return integer_cell(v); }
inline Cell F(double d) { return float_cell(d); }
// A percent! cell from its fraction (0.5 is 50%).
inline Cell P(double fraction) {
    Cell c = float_cell(fraction);
    return *set_type(&c, TYPE_PERCENT);
}
inline Cell DT(u32 type) {
    Cell c;
    datatype::make_at(&c, type);
    return c;
}

// A word of the given word type, bound to the global context.
inline Cell word_cell(const char* name, u32 type = TYPE_WORD) {
    Cell w;
    word::make_at(symbol::make(name), &w);
    return *set_type(&w, type);
}

// The i-th cell of a block's buffer, from its first cell (not its index).
inline Cell* cell_at(const Cell* blk, u32 i) { return reinterpret_cast<Cell*>(GET_BUFFER(series_node(blk))->head()) + i; }

// Values pushed on the value stack, where the collector sees them: a string
// from UTF-8, an integer.
inline Cell* S(const char* utf8) { return string::load(utf8); }
inline Cell* push_integer(i32 v) { return make_cell(stack::push_star(), TYPE_INTEGER, 0, static_cast<u32>(v)); }
// A block of integers, on the value stack.
inline Cell* ints(std::initializer_list<i32> v) {
    Cell* b = block::push_only_star(static_cast<u32>(v.size()));
    for (i32 x : v) {
        Cell c = integer_cell(x);
        block::zs_append(b, &c);
    }
    return b;
}

// Runs a native over the arguments (refinement positions as the entry takes
// them) on top of the value stack and answers its result slot; the stack is
// left as it was.
template <typename NativeFn>
Cell call_native(NativeFn fn, const std::vector<Cell>& args, std::vector<i32> refs = {}) {
    Cell* saved_args = stack::arguments;
    Cell* saved_top = stack::top;
    stack::arguments = stack::top;
    for (const Cell& a : args) stack::push(&a);
    fn(false, refs.empty() ? nullptr : refs.data());
    Cell r = *stack::arguments;
    stack::arguments = saved_args;
    stack::top = saved_top;
    return r;
}

// The bytes of a series buffer from its head to its tail.
inline std::string bytes_of(node_t n) {
    SeriesBuffer* b = GET_BUFFER(n);
    return std::string(reinterpret_cast<const char*>(b->head()), b->used_bytes());
}

// A string's text from its index, as UTF-8 (its conversion cache is left alone).
inline std::string text_of(const Cell* str) {
    Cell copy = *str;
    copy.data3 = 0;
    collector::Guard keep(&copy);  // the conversion allocates; the string may be nowhere else
    i32 len = -1;
    u8* p = unicode::to_utf8(&copy, len);
    return std::string(reinterpret_cast<char*>(p), static_cast<size_t>(len));
}

// An error f left pending (raised by fire_pending) rather than threw:
// taken, as a guard frame takes it.
inline bool took_pending_error() {
    if (stack::pending != THROW_ERROR) return false;
    stack::pending = 0;
    cycles::reset();
    return true;
}

// "category/id" of the language error that f raises, or "" when it returns.
// The cycle guard is cleared after an error; other throws pass on.
inline std::string error_of(const std::function<void()>& f) {
    try {
        f();
    } catch (Throw& t) {
        if (t.value != THROW_ERROR) throw;
        cycles::reset();
        return std::string(error::last.category) + "/" + error::last.id;
    }
    if (took_pending_error()) return std::string(error::last.category) + "/" + error::last.id;
    return "";
}

// The same with the id alone.
inline std::string error_id_of(const std::function<void()>& f) {
    try {
        f();
    } catch (Throw& t) {
        if (t.value != THROW_ERROR) throw;
        cycles::reset();
        return error::last.id;
    }
    if (took_pending_error()) return error::last.id;
    return "";
}

// The same for a call made over the running frame: after an error the value
// stack and the call frames are put back as they were before the call.
inline std::string error_in_call(const std::function<void()>& f) {
    Cell* top = stack::top;
    Cell* args = stack::arguments;
    CallFrame* frames = stack::frame_top;
    try {
        f();
    } catch (Throw& t) {
        if (t.value != THROW_ERROR) throw;
        cycles::reset();
        stack::top = top;
        stack::arguments = args;
        stack::frame_top = frames;
        return std::string(error::last.category) + "/" + error::last.id;
    }
    if (took_pending_error()) {
        stack::top = top;
        stack::arguments = args;
        stack::frame_top = frames;
        return std::string(error::last.category) + "/" + error::last.id;
    }
    return "";
}

// The runtime with an empty value stack and cycle guard before and after each test.
struct CleanRuntimeTest : RuntimeTest {
    void SetUp() override {
        RuntimeTest::SetUp();
        stack::reset();
        cycles::reset();
    }
    void TearDown() override {
        stack::reset();
        cycles::reset();
    }
};

}  // namespace zav::test
