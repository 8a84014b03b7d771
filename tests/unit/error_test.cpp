// error! values: the catalog and its codes, making errors, the report text,
// and fire with the argument checks of compiled code.
#include <string>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/cycles.h"
#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/typeset.h"
#include "datatypes/words.h"
#include "evaluator/actions.h"
#include "evaluator/compiled.h"
#include "load_helper.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/stack.h"
#include "runtime_fixture.h"
#include "test_util.h"

using namespace zav;

namespace {

struct ErrorTest : RuntimeTest {
    void SetUp() override {
        RuntimeTest::SetUp();
        stack::arguments = stack::top = stack::bottom;
        stack::frame_top = stack::frame_base;
        cycles::reset();
    }
    void TearDown() override { stack::frame_top = stack::frame_base; }
};

using test::error_of;

// The report of the error a call raises.
template <class F>
std::string report_of(F f) {
    try {
        f();
    } catch (Throw&) {
        cycles::reset();
        Cell err = error::thrown;
        return test::form(&err);
    }
    return "";
}

Cell make_error(const char* spec_text) {
    return *error::make(nullptr, test::load_one(spec_text), TYPE_ERROR);
}

i32 code_of(const Cell& err) { return static_cast<i32>(error::field(&err, error::FIELD_CODE)->data2); }
std::string word_of(const Cell& err, u32 f) {
    return symbol::get_c_string(static_cast<i32>(error::field(&err, f)->data2));
}

using test::integer_cell;

}  // namespace

TEST_F(ErrorTest, CatalogCodes) {
    struct Case {
        const char* category;
        const char* id;
        i32 code;
    } cases[] = {
        {"throw", "break", 0},           {"throw", "while-cond", 4},       {"note", "no-load", 100},
        {"syntax", "invalid", 200},      {"syntax", "bad-char", 206},      {"script", "no-value", 300},
        {"script", "invalid-arg", 309},  {"script", "bad-op-spec", 315},   {"script", "out-of-range", 341},
        {"script", "bad-make-arg", 353}, {"script", "invalid-spec-field", 356},
        {"script", "zb-invalid-record", 393}, {"math", "zero-divide", 400}, {"math", "positive", 402},
        {"access", "cannot-open", 500},  {"access", "invalid-cmd", 514},   {"user", "message", 800},
        {"internal", "bad-path", 900},   {"internal", "not-done", 909},    {"internal", "deprecated", 913},
    };
    for (const Case& c : cases) {
        i32 cat = error::find_category(c.category);
        EXPECT_EQ(error::code_of(cat, error::find_id(cat, c.id)), c.code) << c.id;
    }
    const auto& cats = error::catalog();
    ASSERT_EQ(cats.size(), 10u);
    EXPECT_TRUE(cats[6].ids.empty());
    EXPECT_TRUE(cats[7].ids.empty());
    EXPECT_STREQ(cats[6].name, "reserved1");
    EXPECT_EQ(error::find_category("SCRIPT"), 3);  // words ignore letter case
    EXPECT_EQ(error::find_id(3, "nonsense"), -1);
}

TEST_F(ErrorTest, MakeFromIntegerBlockAndString) {
    Cell e = make_error("300");
    EXPECT_EQ(TYPE_OF(&e), u32(TYPE_ERROR));
    EXPECT_EQ(e.data2, 1u);  // class id of errors
    EXPECT_EQ(word_of(e, error::FIELD_TYPE), "script");
    EXPECT_EQ(word_of(e, error::FIELD_ID), "no-value");
    EXPECT_EQ(code_of(e), 300);

    Cell m = make_error("[math zero-divide]");
    EXPECT_EQ(code_of(m), 400);
    EXPECT_EQ(word_of(m, error::FIELD_ID), "zero-divide");

    Cell u = make_error("\"boom\"");
    EXPECT_EQ(code_of(u), 800);
    EXPECT_EQ(word_of(u, error::FIELD_TYPE), "user");
    EXPECT_EQ(word_of(u, error::FIELD_ID), "message");
    EXPECT_EQ(test::form(error::field(&u, error::FIELD_ARG1)), "boom");
    EXPECT_EQ(TYPE_OF(error::field(&u, error::FIELD_WHERE)), u32(TYPE_NONE));

    struct Bad {
        const char* spec;
        const char* error;
    } bad[] = {
        {"399", "script/out-of-range"},   {"-1", "script/out-of-range"},
        {"1000", "script/out-of-range"},  {"650", "script/out-of-range"},
        {"[1 2]", "internal/invalid-error"}, {"[]", "internal/invalid-error"},
        {"[nothing here]", "script/invalid-spec-field"}, {"[script]", "script/invalid-spec-field"},
        {"[script 12]", "script/invalid-arg"}, {"[script nothing]", "script/invalid-spec-field"},
        {"1.5", "script/bad-make-arg"},
    };
    for (const Bad& b : bad) EXPECT_EQ(error_of([&] { make_error(b.spec); }), b.error) << b.spec;
}

TEST_F(ErrorTest, Reports) {
    Cell word = *test::load_one("foo");
    Cell dt;
    datatype::make_at(&dt, TYPE_INTEGER);
    Cell* spec = test::load_one("[1 2]");
    collector::GuardedCell text_root;
    Cell& text = text_root.value;
    string::zs_make_at(&text, 8);
    string::concatenate_literal(&text, "abc");
    struct Case {
        std::string report;
        const char* first_line;
    } cases[] = {
        {report_of([&] { fire("script", "no-value", &word); }), "*** Script Error: foo has no value"},
        {report_of([&] { fire("script", "bad-make-arg", &dt, spec); }),
         "*** Script Error: cannot MAKE integer! from: [1 2]"},
        {report_of([&] { fire("script", "expect-arg", &word, &dt, &word); }),
         "*** Script Error: foo does not allow integer! for its foo argument"},
        {report_of([&] { fire("math", "zero-divide"); }), "*** Math Error: attempt to divide by zero"},
        {report_of([&] { fire("script", "invalid-arg", &text); }), "*** Script Error: invalid argument: \"abc\""},
        {report_of([&] { fire("syntax", "bad-char", &text, &text); }),
         "*** Syntax Error: abc invalid character at abc"},  // syntax arguments are formed
        {report_of([&] { fire("internal", "not-done"); }),
         "*** Internal Error: reserved for future use (or not yet implemented)"},
        {report_of([&] { fire("internal", "deprecated", &word, &word); }),
         "*** Internal Error: foo is DEPRECATED, please use foo instead"},
        {report_of([&] { fire("nonsense", "no-value"); }),
         "*** Internal Error: invalid error object field value: nonsense"},
        {report_of([&] { fire("script", "nonsense"); }),
         "*** Internal Error: invalid error object field value: nonsense"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.report.substr(0, c.report.find('\n')), c.first_line);
        EXPECT_NE(c.report.find("\n*** Where: ???\n*** Near : "), std::string::npos) << c.report;
    }
    Cell u = make_error("\"something broke\"");
    EXPECT_EQ(test::form(&u).substr(0, 35), "*** User Error: something broke\n***");
}

TEST_F(ErrorTest, ReportWhereAndNear) {
    Cell e = make_error("[math overflow]");
    Cell where = *test::load_one("compute");
    error::set_where(&e, &where);
    Cell other = *test::load_one("other");
    error::set_where(&e, &other);  // only when still none
    *error::field(&e, error::FIELD_NEAR) = *test::load_one("[a b c d e f g h i j k l m n o p q r s t u v w x y z]");
    EXPECT_EQ(test::form(&e), "*** Math Error: math or number overflow\n*** Where: compute\n"
                              "*** Near : a b c d e f g h i j k l m n o p q r s t ");
    *error::field(&e, error::FIELD_FILES) = *test::load_one("[%a.zav]");
    EXPECT_NE(test::form(&e).find("\n*** Files: %a.zav"), std::string::npos);
    // The stack field alone gives no stack line.
    *error::field(&e, error::FIELD_STACK) = integer_cell(3);
    EXPECT_EQ(test::form(&e).find("Stack"), std::string::npos);
    // A message template that names a field whose value is not text shows
    // that value molded, and the report leaves the error as it was.
    Cell u = make_error("\"x\"");
    *error::field(&u, error::FIELD_ARG1) = integer_cell(5);
    EXPECT_EQ(test::form(&u).substr(0, 29), "*** User Error: 5\n*** Where: ");
    EXPECT_EQ(word_of(u, error::FIELD_TYPE), "user");
    EXPECT_EQ(TYPE_OF(error::field(&u, error::FIELD_ARG1)), TYPE_INTEGER);
}

TEST_F(ErrorTest, MoldAndCompare) {
    Cell e = make_error("[math overflow]");
    std::string m = test::mold(&e);
    EXPECT_EQ(m.substr(0, 13), "make error! [");
    EXPECT_NE(m.find("code: 401"), std::string::npos) << m;
    EXPECT_NE(m.find("type: 'math"), std::string::npos) << m;
    EXPECT_NE(m.find("id: 'overflow"), std::string::npos) << m;
    EXPECT_EQ(m.back(), ']');
    EXPECT_EQ(error::compare(&e, &e, COMP_EQUAL), 0);
    EXPECT_EQ(error::compare(&e, test::load_one("1"), COMP_EQUAL), -2);
    Cell* code = error::eval_path(&e, test::load_one("code"), nullptr, nullptr, nullptr, nullptr, 0, false, false,
                                  false);
    EXPECT_EQ(code->data2, 401u);
    EXPECT_EQ(error::get_id(&e), symbol::make("overflow"));
    EXPECT_EQ(error::stack_field_index(), 8u);
}

TEST_F(ErrorTest, FireKeepsTheLastErrorAndNamesTheCall) {
    Cell w;
    make_cell(&w, TYPE_WORD, context::global, static_cast<u32>(symbol::make("my-func")), 0xFFFFFFFF);
    stack::mark_call(&w);
    EXPECT_EQ(error_of([] { fire("math", "overflow"); }), "math/overflow");
    Cell err = error::thrown;
    EXPECT_EQ(word_of(err, error::FIELD_WHERE), "my-func");
    EXPECT_EQ(word_of(err, error::FIELD_TYPE), "math");
    EXPECT_EQ(TYPE_OF(stack::get_top()), TYPE_ERROR);  // no guard: the error waits on the stack
    // fire_make_error
    Cell dt;
    datatype::make_at(&dt, TYPE_BLOCK);
    EXPECT_EQ(error_of([&] { fire_make_error(&dt, &dt); }), "script/bad-make-arg");
}

TEST_F(ErrorTest, ArgumentChecks) {
    Cell ints;
    typeset::make_at(&ints, 0, 0, 0);
    typeset::add(&ints, TYPE_INTEGER);
    Cell w;
    make_cell(&w, TYPE_WORD, context::global, static_cast<u32>(symbol::make("check-me")), 0xFFFFFFFF);
    stack::mark_call(&w);
    Cell one = integer_cell(1);
    Cell text = *test::load_one("\"x\"");
    EXPECT_EQ(check_arg_type(&one, &ints, 0), &one);
    EXPECT_EQ(error_of([&] { check_arg_type(&text, &ints, 0); }), "script/expect-arg");
    Cell err = error::thrown;
    EXPECT_EQ(test::form(&err).substr(0, 66),
              "*** Script Error: check-me does not allow string! for its <anon> a");
    check_arg_type_at(-1, &ints, 0);  // an unused refinement is not checked
    stack::push(&text);
    EXPECT_EQ(error_of([&] { check_arg_type_at(0, &ints, 0); }), "script/expect-arg");
    Cell off, on;
    make_cell(&off, TYPE_LOGIC, 0);
    make_cell(&on, TYPE_LOGIC, 1);
    EXPECT_EQ(check_ref_arg_type(&off, &ints, 1, &text), &text);
    EXPECT_EQ(error_of([&] { check_ref_arg_type(&on, &ints, 1, &text); }), "script/expect-arg");
    Cell unset;
    make_cell(&unset, TYPE_UNSET);
    EXPECT_EQ(error_of([&] { check_not_unset(&unset, 0); }), "script/expect-arg");
    EXPECT_EQ(check_not_unset(&one, 0), &one);
}

TEST_F(ErrorTest, WordAndSlotHelpers) {
    Cell w;
    make_cell(&w, TYPE_WORD, context::global, static_cast<u32>(symbol::make("helper-word")), 0xFFFFFFFF);
    Cell seven = integer_cell(7);
    context::set(&w, &seven);
    // An unset result leaves the word unchanged.
    make_cell(stack::push_star(), TYPE_UNSET);
    EXPECT_EQ(error_of([&] { set_word_top(&w, 0); }), "script/need-value");
    EXPECT_EQ(get_word_checked(&w)->data2, 7u);
    Cell eight = integer_cell(8);
    stack::push(&eight);
    set_word_top_reset(&w, 0);
    EXPECT_EQ(get_word_checked(&w)->data2, 8u);
    EXPECT_EQ(stack::top, stack::arguments);
    Cell other;
    make_cell(&other, TYPE_WORD, context::global, static_cast<u32>(symbol::make("never-set-word")), 0xFFFFFFFF);
    context::get_global(symbol::make("never-set-word"));
    EXPECT_EQ(error_of([&] { get_word_checked(&other); }), "script/no-value");

    // Object contexts mark the changed word; function contexts do not.
    Cell spec_cell = *test::load_one("[a b]");
    collector::Guard spec_root(&spec_cell);  // the helpers below reset the value stack
    Cell* spec = &spec_cell;
    node_t obj = context::make(spec, false, true, context::KIND_OBJECT);
    collector::Guard obj_root(obj);
    node_t fn = context::make(spec, false, false, context::KIND_FUNCTION);
    collector::Guard fn_root(fn);
    stack::push(&seven);
    set_ctx_top_nocheck(obj, 1);
    EXPECT_TRUE(context::get_word_at(context::TO_CTX(obj), 1)->header & context::WORD_CHANGED);
    EXPECT_EQ(context::values_of(context::TO_CTX(obj))[1].data2, 7u);
    stack::push(&seven);
    set_ctx_top_nocheck(fn, 1);
    EXPECT_FALSE(context::get_word_at(context::TO_CTX(fn), 1)->header & context::WORD_CHANGED);
    make_cell(stack::push_star(), TYPE_UNSET);
    EXPECT_EQ(error_of([&] { set_ctx_top(obj, 0); }), "script/need-value");
    node_t running = context::make(spec, true, false, context::KIND_FUNCTION);
    collector::Guard running_root(running);
    EXPECT_EQ(error_of([&] { get_ctx_slot(&w, running, 0); }), "script/not-defined");

    // Refinements decided at run time.
    stack::arguments = stack::top = stack::bottom;
    Cell f;
    make_cell(&f, TYPE_LOGIC, 0);
    stack::push(&f);
    stack::push(&seven);
    stack::push(&seven);
    Cell yes;
    make_cell(&yes, TYPE_LOGIC, 1);
    set_refinement_star(&yes, 0, 2);
    EXPECT_EQ(stack::arguments[0].data1, 1u);
    set_refinement_star(&f, 0, 2);
    EXPECT_EQ(TYPE_OF(stack::arguments + 1), u32(TYPE_NONE));
    EXPECT_EQ(TYPE_OF(stack::arguments + 2), u32(TYPE_NONE));
}

TEST_F(ErrorTest, SelectKey) {
    struct Case {
        const char* key;
        const char* series;
        bool push, to_block;
        const char* result;
    } cases[] = {
        {"b", "[a 1 b 2]", false, false, "2"},
        {"b", "[a b]", true, false, "b"},  // the last cell answers itself
        {"b", "[a 1 b]", false, false, "b"},
        {"a", "[a 1 2 [x] b]", false, true, "[x]"},
        {"c", "[a 1 b 2]", false, false, "none"},
        {"[a]", "[[a] 1]", false, false, "none"},  // a block key is never found
    };
    for (const Case& c : cases) {
        stack::arguments = stack::top = stack::bottom;
        Cell key = *test::load_one(c.key), series = *test::load_one(c.series);
        stack::arguments = stack::top = stack::bottom;
        stack::push(&key);
        stack::push(&series);
        select_key_star(c.push, c.to_block);
        Cell* r = c.push ? stack::top - 1 : stack::arguments;
        EXPECT_EQ(test::mold(r), c.result) << c.series;
    }
}
