// The call-frame throwers and walks, the interpreter's core paths and the
// fast paths of compiled code.
#include <gtest/gtest.h>

#include <string>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "datatypes/words.h"
#include "evaluator/actions.h"
#include "evaluator/fastpath.h"
#include "evaluator/frames.h"
#include "evaluator/interpreter.h"
#include "evaluator/interpreter_detail.h"
#include "load_helper.h"
#include "runtime/fire.h"
#include "runtime/stack.h"
#include "runtime_fixture.h"
#include "test_util.h"

using namespace zav;
using zav::test::load;

namespace {

struct InterpreterTest : RuntimeTest {
    void SetUp() override {
        RuntimeTest::SetUp();
        stack::frame_top = stack::frame_base;
        stack::arguments = stack::top = stack::bottom;
        stack::throw_origin = nullptr;
    }
    void TearDown() override {
        stack::frame_top = stack::frame_base;
        stack::arguments = stack::top = stack::bottom;
    }
};

using test::word_cell;

using test::integer_cell;

std::string last_error() {
    return std::string(error::last.category ? error::last.category : "") + "/" + (error::last.id ? error::last.id : "");
}

// Runs f and answers the exit it ends with: thrown, or pending as it
// returns (taken); 0 when it returns with none.
template <class F>
u32 thrown_by(F f) {
    try {
        f();
    } catch (Throw& t) {
        return t.value;
    }
    u32 code = stack::pending;
    stack::pending = 0;
    return code;
}

}  // namespace

TEST_F(InterpreterTest, PopAndGetTopStayAtTheBottom) {
    EXPECT_EQ(stack::get_top(), stack::bottom);
    Cell one = integer_cell(1);
    stack::push(&one);
    stack::pop(5);
    EXPECT_EQ(stack::top, stack::bottom);
}

TEST_F(InterpreterTest, BreakUnwindsToTheLoopWithItsValue) {
    Cell loop = word_cell("loop"), brk = word_cell("break"), f = word_cell("f");
    stack::mark_loop(&loop);
    Cell* region = stack::arguments;
    CallFrame* loop_frame = stack::top_frame();
    stack::push_star();
    stack::mark_kind81(&f);            // a function called in the loop body
    stack::mark_kind4(&f);             // a try inside it: passed by break
    stack::mark_kind82(&brk);          // break's own frame
    Cell v = integer_cell(42);
    stack::push(&v);
    EXPECT_EQ(thrown_by([] { stack::throw_break(true, false); }), THROW_BREAK);
    EXPECT_EQ(stack::top_frame(), loop_frame);
    EXPECT_EQ(stack::arguments, region);
    EXPECT_EQ(stack::top, region);
    EXPECT_EQ(TYPE_OF(stack::arguments), TYPE_INTEGER);
    EXPECT_EQ(stack::arguments->data2, 42u);

    stack::mark_kind82(&brk);
    EXPECT_EQ(thrown_by([] { stack::throw_break(false, true); }), THROW_CONTINUE);
    EXPECT_EQ(stack::top_frame(), loop_frame);
    EXPECT_EQ(TYPE_OF(stack::arguments), TYPE_UNSET);
}

TEST_F(InterpreterTest, BreakWithoutLoopOrAcrossAGuardRaisesWithPointersRestored) {
    Cell g = word_cell("g"), brk = word_cell("break");
    struct Case {
        bool guard;
        bool continue_;
        const char* error;
    } cases[] = {{false, false, "throw/break"}, {true, false, "throw/break"}, {true, true, "throw/continue"}};
    for (const Case& c : cases) {
        stack::frame_top = stack::frame_base;
        stack::arguments = stack::top = stack::bottom;
        Cell loop = word_cell("loop"), t = word_cell("try");
        // The error unwinds to the try guard at the base, which goes too.
        stack::mark_kind4(&t);
        CallFrame* guard = stack::top_frame();
        if (c.guard) {
            stack::mark_loop(&loop);  // beyond the guard: not reachable
            stack::mark_kind5(&g);
            guard = stack::top_frame();  // the innermost guard takes the error
        }
        stack::mark_kind82(&brk);
        stack::push_star();
        EXPECT_EQ(thrown_by([&] { stack::throw_break(false, c.continue_); }), THROW_ERROR);
        EXPECT_EQ(last_error(), c.error);
        EXPECT_EQ(stack::frame_top, guard);
        EXPECT_EQ(TYPE_OF(stack::get_top()), TYPE_ERROR);
    }
}

TEST_F(InterpreterTest, ReturnPassesTryAndCatchFramesToTheFunctionBody) {
    Cell f = word_cell("f"), t = word_cell("try"), c = word_cell("catch"), r = word_cell("return");
    stack::mark_kind81(&f);
    stack::mark_kind10(true);
    CallFrame* body = stack::top_frame();
    Cell* region = stack::arguments;
    stack::mark_kind4(&t);
    stack::mark_kind6(&c);
    stack::mark_kind82(&r);
    Cell v = integer_cell(7);
    stack::push(&v);
    EXPECT_EQ(thrown_by([] { stack::throw_exit(true, false); }), THROW_RETURN);
    EXPECT_EQ(stack::top_frame(), body);
    EXPECT_EQ(stack::arguments, region);
    EXPECT_EQ(stack::arguments->data2, 7u);

    stack::mark_kind82(&r);
    EXPECT_EQ(thrown_by([] { stack::throw_exit(false, false); }), THROW_EXIT);
    EXPECT_EQ(TYPE_OF(stack::arguments), TYPE_UNSET);

    // A kind-5 guard stops it: "return or exit not in function", which that
    // guard then catches as an error.
    stack::mark_kind5(&t);
    CallFrame* guard = stack::top_frame();
    stack::mark_kind82(&r);
    EXPECT_EQ(thrown_by([] { stack::throw_exit(false, false); }), THROW_ERROR);
    EXPECT_EQ(last_error(), "throw/return");
    EXPECT_EQ(stack::frame_top, guard);
}

TEST_F(InterpreterTest, ThrowReachesCatchWithValueAndName) {
    Cell c = word_cell("catch"), f = word_cell("f"), th = word_cell("throw");
    stack::mark_kind6(&c);
    CallFrame* catch_frame = stack::top_frame();
    Cell* region = stack::arguments;
    stack::mark_kind81(&f);
    stack::mark_kind82(&th);
    Cell v = integer_cell(5), name = word_cell("tag");
    stack::push(&v);
    stack::push(&name);
    EXPECT_EQ(thrown_by([] { stack::throw_throw(THROW_THROW); }), THROW_THROW);
    EXPECT_EQ(stack::top_frame(), catch_frame);
    EXPECT_EQ(stack::top, region + 2);
    EXPECT_EQ(region[0].data2, 5u);
    EXPECT_EQ(TYPE_OF(region + 1), TYPE_WORD);
    EXPECT_NE(stack::throw_origin, nullptr);

    // Without a catch: "no catch for throw:", naming the value.
    stack::frame_top = stack::frame_base;
    stack::arguments = stack::top = stack::bottom;
    stack::throw_origin = nullptr;
    stack::mark_kind82(&th);
    stack::push(&v);
    EXPECT_EQ(thrown_by([] { stack::throw_throw(THROW_THROW); }), THROW_ERROR);
    EXPECT_EQ(last_error(), "throw/throw");
}

TEST_F(InterpreterTest, ErrorUnwindsToTheGuardAndDropsIt) {
    Cell t = word_cell("try"), f = word_cell("f");
    stack::mark_kind4(&t);
    Cell* guard_caller = stack::bottom;
    stack::mark_kind81(&f);
    stack::mark_kind87(&f);
    Cell* err = error::create_named("script", "no-value", nullptr, nullptr, nullptr);
    EXPECT_EQ(thrown_by([&] { frames::throw_error(err); }), THROW_ERROR);
    EXPECT_EQ(stack::frame_top, stack::frame_base);
    EXPECT_EQ(stack::arguments, guard_caller);
    EXPECT_EQ(TYPE_OF(stack::get_top()), TYPE_ERROR);
    // The error names the innermost call and records the frame position.
    Cell* where = error::field(stack::get_top(), error::FIELD_WHERE);
    EXPECT_EQ(symbol::resolve(static_cast<i32>(where->data2)), symbol::resolve(symbol::make("f")));
    EXPECT_EQ(TYPE_OF(error::field(stack::get_top(), error::FIELD_STACK)), TYPE_INTEGER);
}

TEST_F(InterpreterTest, PendingErrorLeavesTheStacksAsAThrownOneAndIsThrownBeforeTheRaiserIsUp) {
    Cell t = word_cell("try"), f = word_cell("f");
    stack::mark_kind4(&t);
    Cell* guard_caller = stack::bottom;
    stack::mark_kind81(&f);
    stack::mark_kind82(&f);
    bool threw = false;
    try {
        fire_pending("math", "zero-divide");
    } catch (Throw&) {
        threw = true;
    }
    EXPECT_FALSE(threw);
    EXPECT_EQ(stack::pending, THROW_ERROR);
    stack::pending = 0;
    EXPECT_EQ(stack::frame_top, stack::frame_base);
    EXPECT_EQ(stack::arguments, guard_caller);
    ASSERT_EQ(TYPE_OF(&error::thrown), TYPE_ERROR);
    Cell* where = error::field(&error::thrown, error::FIELD_WHERE);
    EXPECT_EQ(symbol::resolve(static_cast<i32>(where->data2)), symbol::resolve(symbol::make("f")));
    EXPECT_EQ(last_error(), "math/zero-divide");
    // With no raiser there is no guard to leave it at: thrown, only noted.
    Restore<decltype(error_raiser)> no_raiser(error_raiser, nullptr);
    EXPECT_EQ(thrown_by([] { fire_pending("math", "overflow"); }), THROW_ERROR);
    EXPECT_EQ(last_error(), "math/overflow");
}

TEST_F(InterpreterTest, CallNameSkipsInternalFrames) {
    Cell out;
    frames::get_call_name(&out);
    EXPECT_EQ(static_cast<i32>(out.data2), words::_not_found);
    Cell f = word_cell("f"), body, anon;
    make_cell(&body, TYPE_WORD, 0, static_cast<u32>(words::_body), 0xFFFFFFFF);
    make_cell(&anon, TYPE_WORD, 0, static_cast<u32>(words::_anon), 0xFFFFFFFF);
    stack::mark_kind81(&f);
    stack::mark_kind87(&body);
    stack::mark_kind82(&anon);
    frames::get_call_name(&out);
    EXPECT_EQ(symbol::resolve(static_cast<i32>(out.data2)), symbol::resolve(symbol::make("f")));
}

TEST_F(InterpreterTest, CollectCallsListsNamedFramesAboveTheLowest) {
    Cell* blk = load("");
    Cell b = *blk;
    frames::collect_calls(&b);
    EXPECT_EQ(test::mold(&b), "[]");
    Cell con = word_cell("console"), f = word_cell("f"), g = word_cell("g"), body;
    make_cell(&body, TYPE_WORD, 0, static_cast<u32>(words::_body), 0xFFFFFFFF);
    stack::mark_kind5(&con);
    stack::push_star();
    stack::mark_kind81(&f);
    stack::mark_kind87(&body);
    stack::push_star();
    stack::mark_kind81(&g);
    frames::collect_calls(&b);
    EXPECT_EQ(test::mold(&b), "[g 2 f 1]");
}

TEST_F(InterpreterTest, WalkAndCountFramesSelectByLevel) {
    // `f` holds a function!, `n` a native!: level 1 keeps only function frames.
    Cell* fn = load("f: func [] [] n: :print");
    Cell code = *fn;
    interpreter::eval(&code, false);
    Cell con = word_cell("console"), f = word_cell("f"), n = word_cell("print");
    stack::mark_kind5(&con);
    stack::mark_kind81(&f);
    stack::mark_kind82(&n);
    Cell b = *load("");
    frames::walk_frames(1, &b, nullptr);
    EXPECT_EQ(test::mold(&b), "[f]");
    Cell b2 = *load("");
    frames::walk_frames(2, &b2, nullptr);
    EXPECT_EQ(test::mold(&b2), "[console f print]");

    Cell* s = load("\"\"");
    Cell str = *block::zs_head(s);
    Cell pos = integer_cell(static_cast<i32>(stack::frame_top - stack::frame_base));
    i32 left = frames::count_frames(2, &pos, &str, 100);
    EXPECT_EQ(test::form(&str), "console f print ");
    EXPECT_EQ(left, 100 - 16);
}

// ---- interpreter ---------------------------------------------------------------

namespace {

// Evaluates source text in a guard frame; the molded result, or the error's category/id.
std::string run(const char* text) {
    stack::frame_top = stack::frame_base;
    stack::arguments = stack::top = stack::bottom;
    Cell con = word_cell("console");
    stack::mark_kind5(&con);
    Cell code = *load(text);
    try {
        interpreter::eval(&code, true);
    } catch (Throw& t) {
        if (t.value != THROW_ERROR) return "throw " + std::to_string(t.value);
        return last_error();
    } catch (...) {
        return "C++ exception";
    }
    std::string r = test::mold(stack::arguments);
    return r;
}

}  // namespace

TEST_F(InterpreterTest, EvaluatesTheBasicForms) {
    struct {
        const char* code;
        const char* result;
    } cases[] = {
        {"", "unset"},
        {"1 2 3", "3"},
        {"'abc", "abc"},
        {"x: 5 x", "5"},
        {"x: 5 (x)", "5"},
        {"unset 'nothing-here :nothing-here", "unset"},
        {"nothing-here-either", "script/no-value"},
        {"a:", "script/need-value"},
        {"a: b: 3 a", "3"},
        {"p: 'a/b p", "a/b"},
        {"add 1 2", "3"},
        {"plus: make op! :add 1 plus 2", "3"},
        {"op1: make op! :add 1", "1"},
        {"op1 2", "script/no-op-arg"},
        {"plus: make op! :add times: make op! :multiply 1 plus 2 times 3", "9"},
        {"plus: make op! :add times: make op! :multiply 2 times (1 plus 2)", "6"},
        {"add 1", "script/no-arg"},
        {"b: [1 2 3] b/2", "2"},
        {"b: [1 2 3] b/2: 20 b", "[1 20 3]"},
        {"b: [1 [2 3]] b/2/1", "2"},
        {"b: [x 1] b/x", "1"},
        {"b: [1 2] i: 2 b/:i", "2"},
        {"b: [1 2] b/(1 + 1)", "2"},
        {"do to path! []", "script/empty-path"},
        {"b: [1 2] b/9", "none"},
        {"o: make object! [a: 1] o/b", "script/invalid-path"},
        {"f: func [a b] [a] f 1 2", "1"},
        {"f: func [a 'b] [b] f 1 x", "x"},
        {"f: func [a 'b [any-type!]] [type? :b] f 1", "unset!"},
        {"f: func ['b] [b] f", "script/no-arg"},
        {"f: func [:b] [b] f (1 2)", "(1 2)"},
        {"f: func [a /r b /s] [reduce [a r b s]] f/r/s 1 2", "[1 true 2 true]"},
        {"f: func [a /r b /s] [reduce [a r b s]] f/s/r 1 2", "[1 true 2 true]"},
        {"f: func [a /r b /s] [reduce [a r b s]] f 1", "[1 false none false]"},
        {"f: func [/r] [r] f/q", "script/no-refine"},
        {"f: func [/r] [r] f/r/r", "script/dup-refine"},
        {"f: func [a [integer!]] [a] f \"x\"", "script/expect-arg"},
        {"f: func [n] [either n = 0 [0] [n + f n - 1]] f 10", "55"},
        {"append/only [1] [2]", "[1 [2]]"},
        {"copy/part [1 2 3] 2", "[1 2]"},
        {"length? none", "none"},
        {"pick [a b] true", "a"},
        {"pick [a b] false", "b"},
        {"b: [clear b 1 2] do b", "[]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(run(c.code), c.result);
    }
}

// Their records say they take every held value as the condition: without
// that, the conditionals by word never choose their branch before their
// call (nothing else tells, their results being the same).
TEST_F(InterpreterTest, IfAndEitherHaveConditionalCallRecords) {
    EXPECT_EQ(run("if true [1] either true [1] [2]"), "1");
    for (const char* name : {"if", "either"}) {
        SCOPED_TRACE(name);
        Cell w = word_cell(name);
        Cell fn = *context::get(&w);
        ASSERT_EQ(TYPE_OF(&fn), TYPE_NATIVE);
        EXPECT_TRUE(interpreter::conditional_native(&fn));
    }
}

TEST_F(InterpreterTest, FunctionsRecurseWithTheirOwnArguments) {
    EXPECT_EQ(run("plus: make op! :add minus: make op! :subtract "
                  "f: func [n] [either equal? n 0 [0] [n plus f n minus 1]] f 100"),
              "5050");
    EXPECT_EQ(run("f: func [x /local y] [y: x either equal? x 0 [y] [f 0 y]] f 3"), "3");
}

TEST_F(InterpreterTest, DeepRecursionRaisesStackOverflowAndTheProcessGoesOn) {
    EXPECT_EQ(run("plus: make op! :add f: func [n] [f n plus 1] f 1"), "internal/stack-overflow");
    EXPECT_EQ(run("f: func [] [f] f"), "internal/stack-overflow");
    EXPECT_EQ(run("b: [do b] do b"), "internal/stack-overflow");
    EXPECT_EQ(run("1"), "1");
}

// ---- fast paths ------------------------------------------------------------------------

// The fast entries and their generic fallbacks (all the reference evaluator
// runs) must agree: each fast-path test runs both ways.
struct ReferenceOnly {
    explicit ReferenceOnly(bool on) { interpreter::reference_only = on; }
    ~ReferenceOnly() { interpreter::reference_only = false; }
};

TEST_F(InterpreterTest, FastMathOverflowsIntoFloat) {
    for (bool reference : {false, true}) {
        SCOPED_TRACE(reference ? "reference" : "fast");
        ReferenceOnly mode(reference);
        Cell w = word_cell("add");
        Cell big = integer_cell(2147483647), one = integer_cell(1), min = integer_cell(-2147483647 - 1), k = integer_cell(65536);
        Cell* r = actions::fast_math_op(0, &big, &one, &w);
        EXPECT_EQ(TYPE_OF(r), TYPE_FLOAT);
        EXPECT_EQ(cell_float(r), 2147483648.0);
        r = actions::fast_math_op_int(1, &min, 1, &w);
        EXPECT_EQ(cell_float(r), -2147483649.0);
        r = actions::fast_math_op(2, &k, &k, &w);
        EXPECT_EQ(cell_float(r), 4294967296.0);
        CallFrame* frames = stack::frame_top;
        Cell five = integer_cell(5), three = integer_cell(3);
        r = actions::fast_math_op(5, &five, &three, &w);
        EXPECT_EQ(r->data2, 7u);
        EXPECT_EQ(stack::frame_top, frames);
        // A mixed pair takes the generic action.
        Cell* f = load("1.5");
        Cell fl = *block::zs_head(f);
        r = actions::fast_math_op(0, &one, &fl, &w);
        EXPECT_EQ(TYPE_OF(r), TYPE_FLOAT);
        EXPECT_EQ(cell_float(r), 2.5);
    }
}

// The in-place number operators leave exactly what the generic actions
// leave, header flags included, or decline.
TEST_F(InterpreterTest, NumbersInPlaceMatchTheGenericActions) {
    Cell w = word_cell("op");
    auto num = [](const char* text) { return *block::zs_head(load(text)); };
    const char* operands[] = {"0", "3", "-7", "2147483647", "-2147483648", "65536", "1.5", "-0.0", "2.5e300",
                              "1e-320"};
    const actions::FastOp math[] = {actions::FAST_ADD, actions::FAST_SUB, actions::FAST_MUL, actions::FAST_REM};
    const i32 math_code[] = {0, 1, 2, -1};
    for (const char* l : operands) {
        for (const char* r : operands) {
            SCOPED_TRACE(std::string(l) + " " + r);
            Cell left = num(l), right = num(r);
            left.header |= FLAG_NEW_LINE;
            for (size_t k = 0; k < 4; k++) {
                Cell fast = left;
                if (!actions::fast_compute(math[k], &fast, &right)) {
                    // Only an integer zero divisor or the overflowing remainder decline.
                    EXPECT_EQ(math[k], actions::FAST_REM);
                    continue;
                }
                EXPECT_EQ(fast.header & ~TYPE_MASK, FLAG_NEW_LINE);
                if (math_code[k] < 0) continue;
                ReferenceOnly mode(true);
                Cell* generic = actions::fast_math_op(math_code[k], &left, &right, &w);
                EXPECT_EQ(test::mold(&fast, true), test::mold(generic, true)) << k;
                EXPECT_EQ(fast.header, generic->header) << k;
            }
            // Comparisons: 0 equal ... 6 greater or equal, as compiled code numbers them.
            const actions::FastOp compare[] = {actions::FAST_EQ, actions::FAST_NE, actions::FAST_STRICT_EQ,
                                               actions::FAST_LT, actions::FAST_LE, actions::FAST_GT,
                                               actions::FAST_GE};
            for (i32 op = 0; op < 7; op++) {
                Cell fast = left;
                bool done = actions::fast_compute(compare[op], &fast, &right);
                bool floats = TYPE_OF(&left) == TYPE_FLOAT || TYPE_OF(&right) == TYPE_FLOAT;
                EXPECT_EQ(done, !(floats && op < 2)) << op;
                if (!done) continue;
                ReferenceOnly mode(true);
                EXPECT_EQ(fast.data1 != 0, actions::fast_compare_cond(op, &left, &right, false, &w)) << op;
            }
        }
    }
}

TEST_F(InterpreterTest, FastComparisonsAndBlockQueries) {
    for (bool reference : {false, true}) {
        SCOPED_TRACE(reference ? "reference" : "fast");
        ReferenceOnly mode(reference);
        Cell w = word_cell("lesser?");
        Cell one = integer_cell(1), two = integer_cell(2);
        EXPECT_TRUE(actions::fast_compare_cond(3, &one, &two, false, &w));
        EXPECT_FALSE(actions::fast_compare_cond_int(3, &two, 1, false, &w));
        EXPECT_TRUE(actions::fast_compare_cond_int(3, &two, 1, true, &w));
        Cell fl = *block::zs_head(load("1.0"));
        EXPECT_TRUE(actions::fast_compare_cond(0, &one, &fl, false, &w));
        Cell* c = actions::fast_compare_op(5, &two, &one, &w);
        EXPECT_EQ(TYPE_OF(c), TYPE_LOGIC);
        EXPECT_EQ(c->data1, 1u);

        Cell blk = *block::zs_head(load("[a b c]"));
        EXPECT_EQ(test::mold(actions::fast_pick_block(&blk, 2, &w)), "b");
        EXPECT_EQ(test::mold(actions::fast_pick_block(&blk, 0, &w)), "none");
        EXPECT_EQ(test::mold(actions::fast_pick_block(&blk, 4, &w)), "none");
        // Negative indexes count back from the position, as the generic pick does.
        Cell third = blk;
        series_head(&third) = 2;
        EXPECT_EQ(test::mold(actions::fast_pick_block(&third, -1, &w)), "b");
        EXPECT_EQ(test::mold(actions::fast_pick_block(&third, -3, &w)), "none");
        EXPECT_EQ(test::mold(actions::fast_series_query(&blk, 1, &w)), "3");
        Cell tail = *actions::fast_series_query(&blk, 8, &w);
        EXPECT_EQ(test::mold(actions::fast_series_query(&tail, 5, &w)), "[]");
        EXPECT_EQ(test::mold(actions::fast_series_query(&blk, 6, &w)), "[a b c]");
        EXPECT_EQ(test::mold(actions::fast_series_query(&tail, 4, &w)), "true");
        Cell str = *block::zs_head(load("\"abc\""));
        EXPECT_EQ(test::mold(actions::fast_series_query(&str, 1, &w)), "3");
    }
}

TEST_F(InterpreterTest, ThrownErrorIsTakenOnceAndABareOneIsBuiltFromItsNames) {
    // A re-raised error is found even when a guard lowered the stack top.
    Cell t = word_cell("try");
    stack::mark_kind4(&t);
    Cell* err = error::create_named("script", "no-value", nullptr, nullptr, nullptr);
    EXPECT_EQ(thrown_by([&] { frames::throw_error(err); }), THROW_ERROR);
    stack::top = stack::bottom;
    Cell out;
    frames::take_thrown_error(&out);
    ASSERT_EQ(TYPE_OF(&out), TYPE_ERROR);
    EXPECT_STREQ(symbol::get_c_string(error::get_id(&out)), "no-value");
    EXPECT_EQ(TYPE_OF(&error::thrown), TYPE_NONE);
    // An error that could not be built where it was raised.
    error::last = {"math", "zero-divide"};
    frames::take_thrown_error(&out);
    ASSERT_EQ(TYPE_OF(&out), TYPE_ERROR);
    EXPECT_STREQ(symbol::get_c_string(error::get_id(&out)), "zero-divide");
    EXPECT_EQ(stack::top, stack::bottom);
}
