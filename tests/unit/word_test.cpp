// Symbols, the word family and the runtime words.
#include <functional>
#include <string>

#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "runtime/stack.h"
#include "runtime/collector.h"
#include "datatypes/cycles.h"
#include "runtime/cell.h"
#include "runtime/unicode.h"
#include "datatypes/words.h"
#include "runtime_fixture.h"
#include "test_util.h"

using namespace zav;

namespace {

struct WordTest : test::CleanRuntimeTest {};

using test::text_of;

std::string molded(Cell v, bool form = false) {
    Cell* buf = stack::push_star();
    string::zs_make_at(buf, 16);
    if (form) actions::form_dispatch(&v, buf, nullptr, 0);
    else actions::mold_dispatch(&v, buf, false, false, false, nullptr, 0, 0);
    return text_of(buf);
}

using test::error_of;

Cell word_of(const char* name, u32 type = TYPE_WORD) {
    Cell w = *word::load(name);
    return *set_type(&w, type);
}

Cell string_of(const char* text) {
    Cell s;
    string::load_at(reinterpret_cast<const u8*>(text), static_cast<u32>(std::strlen(text)), &s, 0);
    return s;
}

}  // namespace

TEST_F(WordTest, InterningKeepsCaseVariantsApartButAliased) {
    i32 a = symbol::make("Wfoo"), b = symbol::make("WFOO"), c = symbol::make("wfoo");
    EXPECT_NE(a, b);
    EXPECT_NE(b, c);
    EXPECT_EQ(symbol::get_alias(a), -1);
    EXPECT_EQ(symbol::get_alias(b), a);
    EXPECT_EQ(symbol::get_alias(c), a);
    EXPECT_EQ(symbol::resolve(c), a);
    EXPECT_EQ(symbol::make("Wfoo"), a);
    u32 n = symbol::count();
    EXPECT_EQ(symbol::make_boot("wFOO"), a);
    EXPECT_EQ(symbol::count(), n);
    // Non-ASCII letters are not folded.
    i32 e1 = symbol::make("w\xC3\xA9"), e2 = symbol::make("w\xC3\x89");
    EXPECT_NE(e1, e2);
    EXPECT_EQ(symbol::get_alias(e2), -1);
}

TEST_F(WordTest, StringCacheAndMakeFromString) {
    i32 id = symbol::make("caf\xC3\xA9");
    EXPECT_EQ(symbol::get_raw(id)->data2, 0u);
    Cell* sym = symbol::get(id);
    ASSERT_NE(sym->data2, 0u);
    node_t cache = sym->data2;
    EXPECT_EQ(symbol::get(id)->data2, cache);  // converted once
    EXPECT_EQ(GET_BUFFER(cache)->length(), 4u);
    Cell s = string_of("caf\xC3\xA9");
    Cell* held = stack::push(&s);
    EXPECT_EQ(symbol::make_from_string(held), id);
    series_head(held) = 2;  // from the head
    EXPECT_EQ(symbol::make_from_string(held), symbol::make("f\xC3\xA9"));
}

TEST_F(WordTest, SymbolNamesCompareAsText) {
    i32 a = symbol::make("apple"), b = symbol::make("Banana"), A = symbol::make("APPLE");
    EXPECT_EQ(symbol::compare_names(a, b, COMP_LESSER), -1);
    EXPECT_EQ(symbol::compare_names(b, a, COMP_LESSER), 1);
    EXPECT_EQ(symbol::compare_names(a, A, COMP_EQUAL), 0);
    EXPECT_NE(symbol::compare_names(a, A, COMP_STRICT_EQUAL), 0);
    EXPECT_EQ(symbol::compare_names(a, symbol::make("app"), COMP_LESSER), 1);
    EXPECT_EQ(symbol::compare(symbol::get(a), symbol::get(A), COMP_EQUAL), 0);
}

TEST_F(WordTest, LoadBindsToTheGlobalContextKeepingSpelling) {
    Cell w = *word::load("wload");
    EXPECT_EQ(TYPE_OF(&w), TYPE_WORD);
    EXPECT_EQ(w.data1, context::global);
    ASSERT_GE(word_index(&w), 0);
    EXPECT_EQ(TYPE_OF(context::get(&w)), TYPE_UNSET);
    EXPECT_STREQ(symbol::get_c_string(static_cast<i32>(w.data2)), "wload");
    // A case variant finds the same slot but keeps its own spelling.
    Cell v = *word::load("WLoad");
    EXPECT_EQ(word_index(&v), word_index(&w));
    EXPECT_STREQ(symbol::get_c_string(static_cast<i32>(v.data2)), "WLoad");
    Cell one;
    make_cell(&one, TYPE_INTEGER, 0, 1);
    context::set(&v, &one);
    EXPECT_EQ(context::get(&w)->data2, 1u);
    // The same name twice answers the word-list cell itself.
    EXPECT_EQ(word::load("wload"), word::load("wload"));
}

TEST_F(WordTest, ExactGlobalWordsOfCaseVariantsShareOneSlot) {
    Cell a = *context::add_global(symbol::make("wshare"));
    Cell b = *context::add_global(symbol::make("WSHARE"));
    EXPECT_NE(a.data2, b.data2);
    EXPECT_EQ(word_index(&a), word_index(&b));
    // The values block keeps the length of the word list.
    Cell* g = context::TO_CTX(context::global);
    EXPECT_EQ(GET_BUFFER(g->data2)->length(), context::word_count(g));
}

TEST_F(WordTest, GetAndSetCheckUnset) {
    Cell w = *word::load("wunset");
    EXPECT_EQ(error_of([&] { word::get(&w); }), "script/no-value");
    Cell* args = stack::arguments;
    stack::top = args;
    stack::push(&w);
    make_cell(stack::push_star(), TYPE_UNSET);
    EXPECT_EQ(error_of([] { word::set(); }), "script/need-value");
    stack::top = args;
    stack::push(&w);
    Cell seven;
    make_cell(&seven, TYPE_INTEGER, 0, 7);
    stack::push(&seven);
    word::set();
    EXPECT_EQ(TYPE_OF(stack::arguments), TYPE_INTEGER);
    EXPECT_EQ(word::get(&w)->data2, 7u);
    // An unset value stored without the check reads back through get-word.
    stack::top = args;
    stack::push(&w);
    make_cell(stack::push_star(), TYPE_UNSET);
    set_word::set();
    EXPECT_EQ(TYPE_OF(get_word::get(&w)), TYPE_UNSET);
    // An unbound refinement has no value.
    Cell r = *refinement::load_in("wref");
    EXPECT_EQ(error_of([&] { context::get(&r); }), "script/no-value");
}

TEST_F(WordTest, MoldAndFormOfTheSixTypes) {
    struct Case {
        u32 type;
        const char* mold;
    } cases[] = {
        {TYPE_WORD, "abc"}, {TYPE_SET_WORD, "abc:"}, {TYPE_LIT_WORD, "'abc"},
        {TYPE_GET_WORD, ":abc"}, {TYPE_REFINEMENT, "/abc"}, {TYPE_ISSUE, "#abc"},
    };
    for (const Case& c : cases) {
        Cell w = word_of("abc", c.type);
        EXPECT_EQ(molded(w), c.mold) << c.type;
        EXPECT_EQ(molded(w, true), "abc") << c.type;
    }
    // Names outside Latin-1 survive the round trip.
    EXPECT_EQ(molded(word_of("\xE2\x82\xAC" "x", TYPE_SET_WORD)), "\xE2\x82\xAC" "x:");
    // The part count falls by what was written.
    Cell w = word_of("abc", TYPE_SET_WORD);
    Cell* buf = stack::push_star();
    string::zs_make_at(buf, 16);
    EXPECT_EQ(set_word::mold(&w, buf, false, false, false, nullptr, 10, 0), 6);
    EXPECT_EQ(lit_word::mold(&w, buf, false, false, false, nullptr, 10, 0), 6);
}

TEST_F(WordTest, CompareOperators) {
    Cell a = word_of("wcmp"), A = word_of("WCMP"), lit = word_of("wcmp", TYPE_LIT_WORD);
    Cell set = word_of("wcmp", TYPE_SET_WORD), iss = word_of("wcmp", TYPE_ISSUE), b = word_of("wcmq");
    EXPECT_EQ(word::compare(&a, &A, COMP_EQUAL), 0);
    EXPECT_NE(word::compare(&a, &A, COMP_STRICT_EQUAL), 0);
    EXPECT_EQ(word::compare(&a, &lit, COMP_EQUAL), 0);
    EXPECT_EQ(word::compare(&a, &set, COMP_EQUAL), 0);
    EXPECT_NE(word::compare(&a, &set, COMP_STRICT_EQUAL), 0);
    EXPECT_EQ(word::compare(&a, &lit, COMP_STRICT_EQUAL_WORD), 0);
    EXPECT_NE(word::compare(&a, &set, COMP_STRICT_EQUAL_WORD), 0);
    EXPECT_EQ(word::compare(&A, &lit, COMP_EQUAL_WORD), 0);
    EXPECT_NE(word::compare(&A, &set, COMP_EQUAL_WORD), 0);
    EXPECT_EQ(word::compare(&a, &a, COMP_SAME), 0);
    Cell other = a;
    other.data1 = 0;
    EXPECT_NE(word::compare(&a, &other, COMP_SAME), 0);
    EXPECT_EQ(word::compare(&a, &iss, COMP_EQUAL), -2);
    EXPECT_EQ(issue::compare(&iss, &a, COMP_EQUAL), -2);
    EXPECT_EQ(issue::compare(&iss, &iss, COMP_EQUAL), 0);
    Cell one;
    make_cell(&one, TYPE_INTEGER, 0, 1);
    EXPECT_EQ(word::compare(&a, &one, COMP_EQUAL), -2);
    EXPECT_EQ(word::compare(&a, &b, COMP_LESSER), -1);
    EXPECT_EQ(word::compare(&b, &A, COMP_LESSER), 1);
    // Through the action table, set-word! inherits word!'s compare.
    EXPECT_EQ(actions::compare_value(&set, &a, COMP_EQUAL), 0);
}

TEST_F(WordTest, IndexOfWordsAndIssues) {
    Cell w = word_of("windex");
    stack::top = stack::arguments;
    stack::push(&w);
    word::index_q();
    ASSERT_EQ(TYPE_OF(stack::arguments), TYPE_INTEGER);
    EXPECT_EQ(static_cast<i32>(stack::arguments->data2), word_index(&w) + 1);
    Cell i;
    issue::make_at(&i, "windex");
    EXPECT_EQ(word_index(&i), -1);
    stack::top = stack::arguments;
    stack::push(&i);
    word::index_q();
    EXPECT_EQ(TYPE_OF(stack::arguments), TYPE_NONE);
}

TEST_F(WordTest, MakeWordFromOtherValues) {
    Cell proto;
    make_cell(&proto, TYPE_DATATYPE, TYPE_WORD);
    // Other word types: retyped, binding kept.
    Cell set = word_of("wmk", TYPE_SET_WORD);
    word::make(&proto, &set, TYPE_WORD);
    EXPECT_EQ(TYPE_OF(&proto), TYPE_WORD);
    EXPECT_EQ(proto.data1, set.data1);
    EXPECT_EQ(word_index(&proto), word_index(&set));
    // datatype! gives its name, logic! true or false.
    Cell dt;
    make_cell(&dt, TYPE_DATATYPE, TYPE_INTEGER);
    word::make(&proto, &dt, TYPE_WORD);
    EXPECT_EQ(molded(proto), "integer!");
    Cell t;
    make_cell(&t, TYPE_LOGIC, 1);
    word::make(&proto, &t, TYPE_LIT_WORD);
    EXPECT_EQ(molded(proto), "'true");
    EXPECT_EQ(proto.data1, context::global);
    Cell one;
    make_cell(&one, TYPE_INTEGER, 0, 1);
    EXPECT_EQ(error_of([&] { word::make(&proto, &one, TYPE_WORD); }), "script/bad-to-arg");
}

TEST_F(WordTest, MakeIssueFromStrings) {
    Cell proto;
    make_cell(&proto, TYPE_DATATYPE, TYPE_ISSUE);
    Cell s = string_of("a b c");
    Cell* held = stack::push(&s);
    issue::make(&proto, held, TYPE_ISSUE);
    EXPECT_EQ(TYPE_OF(&proto), TYPE_ISSUE);
    EXPECT_EQ(word_index(&proto), -1);
    EXPECT_EQ(molded(proto), "#a b c");
    Cell c;
    make_cell(&c, TYPE_CHAR, 0, 'x');
    issue::make(&proto, &c, TYPE_ISSUE);
    EXPECT_EQ(molded(proto), "#x");
    Cell w = word_of("wiss");
    issue::make(&proto, &w, TYPE_ISSUE);
    EXPECT_EQ(molded(proto), "#wiss");
    EXPECT_EQ(proto.data1, w.data1);
}

TEST_F(WordTest, LocalSlotsAndChangedMark) {
    Cell* spec = stack::push_star();
    make_cell(spec, TYPE_BLOCK, 0, alloc_cells(4));
    word::make_in(symbol::make("wa"), series_node(spec));
    word::make_in(symbol::make("wb"), series_node(spec));
    node_t ctx = context::make(spec, false, true, context::KIND_OBJECT);
    collector::Guard ctx_root(ctx);
    Cell nine;
    make_cell(&nine, TYPE_INTEGER, 0, 9);
    stack::push(&nine);
    word::set_local(ctx, 1);
    EXPECT_EQ(word::get_in(ctx, 1)->data2, 9u);
    EXPECT_TRUE(word::at(ctx, 1)->header & context::WORD_CHANGED);
    EXPECT_FALSE(word::at(ctx, 0)->header & context::WORD_CHANGED);
    Cell* pushed = word::get_local(ctx, 1);
    EXPECT_EQ(pushed->data2, 9u);
    // get-local-any swaps: pushes the slot, stores what was on top before.
    Cell two;
    make_cell(&two, TYPE_INTEGER, 0, 2);
    stack::push(&two);
    Cell* old = word::get_local_any(ctx, 1);
    EXPECT_EQ(old->data2, 2u);
    EXPECT_EQ(stack::get_top()->data2, 9u);
    // A function context that is not running has no values.
    node_t fctx = context::make(spec, true, false, context::KIND_FUNCTION);
    collector::Guard fctx_root(fctx);
    EXPECT_EQ(error_of([&] { word::get_local(fctx, 0); }), "script/not-defined");
    Cell fw = *word::at(fctx, 0);
    EXPECT_EQ(error_of([&] { context::get(&fw); }), "script/not-in-context");
    EXPECT_EQ(error_of([&] { context::set(&fw, &two); }), "script/not-defined");
}

TEST_F(WordTest, PushStringSharesTheSymbolsText) {
    Cell w = word_of("wtext");
    Cell* s = word::push_string(&w);
    EXPECT_EQ(TYPE_OF(s), TYPE_STRING);
    EXPECT_EQ(text_of(s), "wtext");
    EXPECT_EQ(series_node(s), symbol::get(static_cast<i32>(w.data2))->data2);
}

TEST_F(WordTest, RuntimeWordsAreInternedInOrder) {
    EXPECT_STREQ(symbol::get_c_string(words::spec), "spec");
    EXPECT_STREQ(symbol::get_c_string(words::any_type_t), "any-type!");
    EXPECT_STREQ(symbol::get_c_string(words::on_change_star), "on-change*");
    EXPECT_STREQ(symbol::get_c_string(words::_anon), "<anon>");
    EXPECT_STREQ(symbol::get_c_string(words::events_q), "events?");
    EXPECT_STREQ(symbol::get_c_string(words::class_), "class");
    EXPECT_LT(words::spec, words::body);
    EXPECT_LT(words::invalid_error, words::_applied);
    EXPECT_EQ(TYPE_OF(&words::ref_local), TYPE_REFINEMENT);
    EXPECT_EQ(words::ref_local.data1, 0u);
    EXPECT_EQ(molded(words::ref_with), "/with");
    EXPECT_EQ(molded(words::issue_ooo), "#ooo");
    Cell any = word_of("ANY-TYPE!");
    EXPECT_TRUE(context::any_type_q(&any));
}
