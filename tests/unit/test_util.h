// Small helpers shared by the unit tests: value builders, string text, the
// error a call raises, and a fixture that leaves the stacks clean.
#pragma once
#include <functional>
#include <string>

#include "runtime/cell.h"
#include "datatypes/error.h"
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

// A string's text from its index, as UTF-8 (its conversion cache is left alone).
inline std::string text_of(const Cell* str) {
    Cell copy = *str;
    copy.data3 = 0;
    i32 len = -1;
    u8* p = unicode::to_utf8(&copy, len);
    return std::string(reinterpret_cast<char*>(p), static_cast<size_t>(len));
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
