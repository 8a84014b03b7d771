// function!, routine!, native!, action! and op! values: spec validation,
// building, local collection, make, mold, reflect and compare.
#include <string>

#include "datatypes/action.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "datatypes/native.h"
#include "datatypes/op.h"
#include "datatypes/routine.h"
#include "datatypes/symbol.h"
#include "datatypes/typeset.h"
#include "evaluator/actions.h"
#include "runtime/stack.h"
#include "load_helper.h"
#include "datatypes/cycles.h"
#include "runtime/cell.h"
#include "datatypes/words.h"
#include "runtime_fixture.h"
#include "test_util.h"

using namespace zav;

namespace {

struct FunctionTest : RuntimeTest {
    void SetUp() override {
        RuntimeTest::SetUp();
        stack::arguments = stack::top = stack::bottom;
        cycles::reset();
    }
};

using test::error_of;

// make function! [spec body] from text.
Cell make_func(const char* text) { return *function::make(nullptr, test::load_one(text), TYPE_FUNCTION); }
Cell make_native(const char* text, u32 type = TYPE_NATIVE) {
    Cell* spec = test::load_one(text);
    return type == TYPE_NATIVE ? *native::make(nullptr, spec, type) : *action::make(nullptr, spec, type);
}

Cell reflect(Cell fn, i32 field) {
    Cell r = fn;
    ActionFn f = actions::get_action_ptr(&fn, ACT_REFLECT);
    return *reinterpret_cast<action_fn::Reflect>(f)(&r, static_cast<u32>(field));
}

}  // namespace

TEST_F(FunctionTest, SpecValidation) {
    struct Case {
        const char* spec;
        const char* error;
    } cases[] = {
        {"[a [integer!] \"doc\" b]", ""},
        {"[\"Adds\" a [integer! float!] b [number!] /part n [integer!] /local x y]", ""},
        {"[a return: [integer!]]", ""},
        {"[a return: [integer!] /local x]", ""},
        {"[a return: [integer!] \"doc\"]", ""},
        {"['a :b /c d]", ""},
        {"[a \"doc\" [integer!]]", "script/bad-func-def"},
        {"[a return: [integer!] b]", "script/bad-func-def"},
        {"[a /local b return: [integer!]]", "script/bad-func-def"},
        {"[/ref a /local x 'y]", "script/bad-func-def"},
        {"[a return: [integer!] return: [integer!]]", "script/bad-func-def"},
        {"[a result: [integer!]]", "script/bad-func-def"},
        {"[return: integer!]", "script/bad-func-def"},
        {"[return: [integer!] a]", "script/bad-func-def"},
        {"[a return: [integer!] /ref]", "script/bad-func-def"},
        {"[/ref 1]", "script/bad-func-def"},
        {"[a 10]", "script/bad-func-def"},
        {"[[trace 1] a]", "script/bad-func-def"},
        {"[a [1]]", "script/invalid-type-spec"},
        {"[a [not-a-type-word]]", "script/no-value"},
        {"[a A]", "script/dup-vars"},
        {"[a /a]", "script/dup-vars"},
        {"[a /local b b]", "script/dup-vars"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(error_of([&] { function::validate(test::load_one(c.spec)); }), c.error) << c.spec;
    EXPECT_EQ(function::validate(test::load_one("[[trace] a]")), function::FLAG_TRACE);
    EXPECT_EQ(function::validate(test::load_one("[[no-trace other] a]")), function::FLAG_NO_TRACE);
}

TEST_F(FunctionTest, MakeMoldAndReflect) {
    Cell fn = make_func("[[a b] [add a b]]");
    EXPECT_EQ(TYPE_OF(&fn), u32(TYPE_FUNCTION));
    EXPECT_EQ(test::mold(&fn), "func [a b][add a b]");
    EXPECT_EQ(test::form(&fn), "?function?");
    Cell spec = reflect(fn, words::spec);
    EXPECT_EQ(test::mold(&spec), "[a b]");
    Cell body = reflect(fn, words::body);
    EXPECT_EQ(test::mold(&body), "[add a b]");
    Cell list = reflect(fn, words::words);
    EXPECT_EQ(test::mold(&list), "[a b]");
    // The body is a bound copy: its words belong to the function's context.
    Cell* a = block::zs_abs_at(&body, 1);
    EXPECT_EQ(a->data1, function::ctx_of(&fn));
    EXPECT_EQ(word_index(a), 0);
    EXPECT_EQ(error_of([&] { reflect(fn, words::class_); }), "internal/not-done");
    // The context's owner is the function itself.
    EXPECT_EQ(context::owner_of(function::ctx_of(&fn))->data3, fn.data3);

    struct Bad {
        const char* arg;
    } bad[] = {{"[[a]]"}, {"[a [b]]"}, {"[[a] b]"}, {"1"}};
    for (const Bad& b : bad)
        EXPECT_EQ(error_of([&] { function::make(nullptr, test::load_one(b.arg), TYPE_FUNCTION); }),
                  "script/bad-func-def") << b.arg;
}

TEST_F(FunctionTest, PushCopiesSpecFromItsHead) {
    Cell* spec = test::load_one("[x a b]");
    series_head(spec) = 1;
    Cell* body = test::load_one("[a]");
    node_t ctx = function::push(spec, body, 0, 77, 0, 0);
    Cell fn = *(stack::top - 1);
    EXPECT_EQ(function::ctx_of(&fn), ctx);
    Cell s;
    make_cell(&s, TYPE_BLOCK, 0, function::spec_of(&fn));
    EXPECT_EQ(test::mold(&s), "[a b]");
    EXPECT_EQ(function::more_cell(&fn, function::MORE_CODE)->data2, 77u);
    EXPECT_EQ(TYPE_OF(function::more_cell(&fn, function::MORE_ARGS)), u32(TYPE_UNSET));
    EXPECT_EQ(TYPE_OF(function::more_cell(&fn, function::MORE_OWNER)), u32(TYPE_UNSET));
    // Without a body: none, and mold says so.
    function::push(test::load_one("[a]"), nullptr, 0, 0, 0, 0);
    Cell nobody = *(stack::top - 1);
    EXPECT_EQ(test::mold(&nobody), "func [a] none");
}

TEST_F(FunctionTest, CompareIsIdentity) {
    Cell f1 = make_func("[[a] [a]]"), f2 = make_func("[[a] [a]]");
    EXPECT_EQ(function::compare(&f1, &f1, COMP_EQUAL), 0);
    EXPECT_NE(function::compare(&f1, &f2, COMP_EQUAL), 0);
    EXPECT_EQ(function::compare(&f1, &f2, COMP_LESSER), -2);
    EXPECT_EQ(function::compare(&f1, test::load_one("1"), COMP_EQUAL), -2);
}

TEST_F(FunctionTest, CollectLocals) {
    struct Case {
        const char* spec;
        const char* body;
        const char* new_spec;
        const char* locals;
    } cases[] = {
        {"[a]", "[x: 1 foreach [k v] data [print k]]", "[a /local x k v]", "[x k v]"},
        {"[a]", "[local: 1 y: 2]", "[a /local y]", "[y]"},
        {"[a /local z]", "[a: 1 z: 2 w: 3 (q: 4)]", "[a /local z w q]", "[w q]"},
        {"[a]", "[repeat i 10 [] remove-each j s [] foreach n s []]", "[a /local i j n]", "[i j n]"},
        {"[a]", "[print a]", "[a]", "[]"},
        {"[a /extern x /local y]", "[x: 1 z: 2]", "[a /local y z]", "[y z]"},
        {"[a]", "[X: 1 x: 2]", "[a /local X]", "[X]"},  // letter case ignored
    };
    for (const Case& c : cases) {
        stack::arguments = stack::top = stack::bottom;
        Cell* spec = test::load_one(c.spec);
        Cell* body = test::load_one(c.body);
        Cell* locals = function::collect_locals(spec, body);
        EXPECT_EQ(test::mold(spec), c.new_spec) << c.body;
        EXPECT_EQ(test::mold(locals), c.locals) << c.body;
    }
    EXPECT_EQ(error_of([] { function::collect_locals(test::load_one("[a /extern 1]"), test::load_one("[]")); }),
              "script/bad-func-extern");
}

TEST_F(FunctionTest, CountAndInitLocals) {
    Cell* spec = test::load_one("[a /ref b /local x y]");
    EXPECT_EQ(function::count_locals(series_node(spec), 0, true), 3);
    Cell* none_spec = test::load_one("[a b]");
    EXPECT_EQ(function::count_locals(series_node(none_spec), 0, true), -1);
    EXPECT_EQ(function::count_locals(series_node(none_spec), 0, false), 0);
    Cell* base = stack::top;
    function::init_locals(3);
    ASSERT_EQ(stack::top - base, 3);
    EXPECT_EQ(TYPE_OF(base), u32(TYPE_LOGIC));
    EXPECT_EQ(base->data1, 0u);
    EXPECT_EQ(TYPE_OF(base + 1), u32(TYPE_NONE));
    EXPECT_EQ(TYPE_OF(base + 2), u32(TYPE_NONE));
}

TEST_F(FunctionTest, NativeAndActionMake) {
    Cell n = make_native("[[value [any-type!]] 23]");
    EXPECT_EQ(native::entry_of(&n), 23u);
    EXPECT_EQ(test::mold(&n), "make native! [[value [any-type!]]]");
    EXPECT_EQ(test::form(&n), "?native?");
    Cell a = make_native("[[series] 62]", TYPE_ACTION);
    EXPECT_EQ(test::mold(&a), "make action! [[series]]");
    EXPECT_EQ(test::form(&a), "?action?");
    // The more block holds a function context of the spec's words and no cache yet.
    Cell* more = reinterpret_cast<Cell*>(GET_BUFFER(native::more_of(&n))->head());
    EXPECT_EQ(context::word_count(more), 1u);
    EXPECT_EQ(TYPE_OF(more + 1), u32(TYPE_NONE));

    const char* bad_natives[] = {"[[a] 0]", "[[a] 121]", "[[a] x]", "[[a]]", "[[a] 1 2]", "[a 1]", "1"};
    for (const char* b : bad_natives) EXPECT_EQ(error_of([&] { make_native(b); }), "script/bad-make-arg") << b;
    EXPECT_EQ(error_of([] { make_native("[[a] 63]", TYPE_ACTION); }), "script/bad-make-arg");
    EXPECT_EQ(error_of([] { make_native("[[a] 120]"); }), "");

    Cell b = reflect(n, words::body);
    EXPECT_EQ(b.data2, 23u);
    Cell s = reflect(n, words::spec);
    EXPECT_EQ(test::mold(&s), "[value [any-type!]]");
    EXPECT_EQ(error_of([&] { reflect(n, words::words); }), "internal/not-done");

    Cell n2 = make_native("[[other] 23]"), n3 = make_native("[[x] 24]");
    EXPECT_EQ(native::compare(&n, &n2, COMP_EQUAL), 0);  // same entry
    EXPECT_EQ(native::compare(&n, &n3, COMP_SORT), -1);
    Cell a23 = make_native("[[x] 23]", TYPE_ACTION);
    EXPECT_EQ(native::compare(&n, &a23, COMP_EQUAL), -2);  // never equal to an action
    EXPECT_EQ(native::compare(&n, &n2, COMP_LESSER), -2);
}

TEST_F(FunctionTest, OpMake) {
    struct Case {
        const char* spec;
        const char* error;
    } cases[] = {
        {"[a b /local c]", ""},  {"[a b]", ""},
        {"[\"doc\" a [integer!] b [integer!] return: [integer!]]", ""},
        {"[a 'b]", ""},          {"[a b /extern c]", ""},
        {"[a b c]", "script/bad-op-spec"}, {"['a b]", "script/bad-op-spec"},
        {"[a /ref b]", "script/bad-op-spec"}, {"[a]", "script/bad-op-spec"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(error_of([&] {
                      std::string text = std::string("[") + c.spec + " [a]]";
                      Cell fn = make_func(text.c_str());
                      op::make(nullptr, &fn, TYPE_OP);
                  }),
                  c.error)
            << c.spec;
    }
    Cell fn = make_func("[[a b] [a]]");
    Cell o = *op::make(nullptr, &fn, TYPE_OP);
    EXPECT_EQ(TYPE_OF(&o), u32(TYPE_OP));
    EXPECT_EQ(op::wrapped_type(&o), u32(TYPE_FUNCTION));
    EXPECT_EQ(test::mold(&o), "make op! func [a b][a]");
    EXPECT_EQ(test::form(&o), "?op?");
    // The wrapped function is kept in its more block.
    EXPECT_EQ(function::more_cell(&fn, function::MORE_OP)->header, u32(TYPE_FUNCTION));
    Cell body = reflect(o, words::body);
    EXPECT_EQ(test::mold(&body), "[a]");

    Cell n = make_native("[[a b] 23]");
    Cell on = *op::make(nullptr, &n, TYPE_OP);
    EXPECT_EQ(on.header, (u32(TYPE_NATIVE) << 16) | TYPE_OP);
    EXPECT_EQ(test::mold(&on), "make op! [[a b]]");
    EXPECT_EQ(reflect(on, words::body).data2, 23u);
    EXPECT_EQ(error_of([] { op::make(nullptr, test::load_one("1"), TYPE_OP); }), "script/invalid-type");
}

TEST_F(FunctionTest, Routines) {
    Cell* spec = test::load_one("[a [integer!] b [integer!] /local c]");
    Cell r = *routine::push(spec, nullptr, 1234, 11, true);
    EXPECT_EQ(TYPE_OF(&r), u32(TYPE_ROUTINE));
    EXPECT_EQ(routine::get_arity(&r), 3u);  // words inside type blocks are not counted
    EXPECT_TRUE(r.header & routine::FLAG_ROUTINE);
    EXPECT_EQ(function::more_cell(&r, function::MORE_OWNER)->data2, 11u);
    EXPECT_EQ(test::mold(&r), "routine [a [integer!] b [integer!] /local c] none");
    EXPECT_EQ(test::form(&r), "?routine?");
    Cell s = reflect(r, words::spec);  // inherited from function!
    EXPECT_EQ(test::mold(&s), "[a [integer!] b [integer!] /local c]");
    Cell r2 = *routine::push(test::load_one("[x]"), test::load_one("[x]"), 1, -1, false);
    EXPECT_EQ(test::mold(&r2), "routine [x][x]");
    EXPECT_EQ(routine::compare(&r, &r, COMP_EQUAL), 0);
    EXPECT_NE(routine::compare(&r, &r2, COMP_EQUAL), 0);
}
