// object!: construct, copy, set-many, path access, compare, mold, reflect and modify.
#include <functional>
#include <string>

#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "runtime/stack.h"
#include "load_helper.h"
#include "datatypes/cycles.h"
#include "runtime/memory.h"
#include "datatypes/words.h"
#include "runtime_fixture.h"
#include "test_util.h"

using namespace zav;

namespace {

struct ObjectTest : test::CleanRuntimeTest {

    // An object built without evaluation from a spec such as "a: 1 b: [x]".
    Cell* construct(const char* spec, Cell* proto = nullptr) {
        Cell* blk = test::load(spec);
        Cell* obj = stack::push_star();
        object::make_proto(obj, proto);
        object::construct_values(obj, blk, false);
        return obj;
    }
};

using test::error_of;

std::string mold_of(Cell* v, bool flat = false, bool all = false, i32 indent = 0) {
    Cell* buf = stack::push_star();
    string::zs_make_at(buf, 16);
    Cell copy = *v;
    actions::mold_dispatch(&copy, buf, false, all, flat, nullptr, 0, indent);
    Cell s = *buf;
    return test::form(&s);
}

Cell field(Cell* obj, const char* name) {
    Cell w = *word::load(name);
    return *object::select_word(obj, &w);
}

u32 type_of_field(Cell* obj, const char* name) {
    Cell v = field(obj, name);
    return TYPE_OF(&v);
}

i32 sym(const char* name) { return symbol::make(name); }

}  // namespace

TEST_F(ObjectTest, ConstructSetsRunsOfSetWordsAndLogicWords) {
    Cell* obj = construct("a: b: 1 c: yes d: off e: none f: 'g h: word i:");
    EXPECT_EQ(object::get_size(obj), 8u);
    Cell a = field(obj, "a");
    EXPECT_EQ(test::mold(&a), "1");
    Cell b = field(obj, "b"), c = field(obj, "c"), d = field(obj, "d"), e = field(obj, "e");
    EXPECT_EQ(b.data2, 1u);
    EXPECT_EQ(TYPE_OF(&c), TYPE_LOGIC);
    EXPECT_EQ(c.data1, 1u);
    EXPECT_EQ(d.data1, 0u);
    EXPECT_EQ(TYPE_OF(&e), TYPE_NONE);
    Cell f = field(obj, "f"), h = field(obj, "h"), i = field(obj, "i");
    EXPECT_EQ(TYPE_OF(&f), TYPE_LIT_WORD);
    EXPECT_EQ(TYPE_OF(&h), TYPE_WORD);
    EXPECT_EQ(TYPE_OF(&i), TYPE_NONE);  // the spec ends
    EXPECT_GT(object::class_of(obj), 1000000);
    // The context's owner value is the object itself.
    EXPECT_EQ(context::owner_of(obj->data1)->data1, obj->data1);
    EXPECT_EQ(object::on_set_of(obj), 0u);
}

TEST_F(ObjectTest, FieldAccessByPosition) {
    Cell* obj = construct("x: 10 y: 20");
    EXPECT_EQ(object::get_first(obj)->data2, static_cast<u32>(sym("x")));
    EXPECT_EQ(object::get_word(obj->data1, 1)->data2, static_cast<u32>(sym("y")));
    Cell* values = object::get_values(obj);
    EXPECT_EQ(object::get_word_ptr(obj, values + 1)->data2, static_cast<u32>(sym("y")));
    EXPECT_EQ(object::get_word_ptr(obj, values + 2), nullptr);
    Cell Y = *word::load("Y");
    EXPECT_EQ(object::find_word(obj, &Y), 1);
    Cell z = *word::load("zz");
    EXPECT_EQ(TYPE_OF(object::select_word(obj, &z)), TYPE_NONE);
    // Compiled code checks that a word still holds an object of its class.
    Cell* holder = construct("o: none");
    object::get_values(holder)[0] = *obj;
    EXPECT_TRUE(object::unchanged2_q(holder->data1, 0, object::class_of(obj)));
    EXPECT_FALSE(object::unchanged2_q(holder->data1, 0, object::class_of(holder)));
    Cell g = *word::load("oglobal");
    context::set(&g, obj);
    EXPECT_TRUE(object::unchanged_q(&g, object::class_of(obj)));
    EXPECT_FALSE(object::unchanged_q(&g, 1));
}

TEST_F(ObjectTest, MoldFormAndFlat) {
    Cell* obj = construct("a: 1 b: \"s\" c: 'w d: [1 2]");
    EXPECT_EQ(mold_of(obj), "make object! [\n    a: 1\n    b: \"s\"\n    c: 'w\n    d: [1 2]\n]");
    EXPECT_EQ(mold_of(obj, true), "make object! [a: 1 b: \"s\" c: 'w d: [1 2]]");
    EXPECT_EQ(mold_of(obj, false, false, 1), "make object! [\n        a: 1\n        b: \"s\"\n        c: 'w\n        d: [1 2]\n    ]");
    EXPECT_EQ(test::form(obj), "a: 1\nb: \"s\"\nc: 'w\nd: [1 2]");
    // An empty object.
    Cell* empty = construct("");
    EXPECT_EQ(mold_of(empty), "make object! [\n]");
    EXPECT_EQ(mold_of(empty, true), "make object! []");
}

TEST_F(ObjectTest, MoldOfAnObjectThatHoldsItself) {
    Cell* obj = construct("a: 1 me: none");
    object::get_values(obj)[1] = *obj;
    EXPECT_EQ(mold_of(obj, true), "make object! [a: 1 me: make object! [...]]");
    EXPECT_EQ(cycles::depth(), 0u);
}

TEST_F(ObjectTest, CompareSameEqualAndOrdering) {
    Cell* a = construct("x: 1 y: \"t\"");
    Cell* b = construct("x: 1 y: \"T\"");
    Cell* c = construct("x: 1 y: \"u\"");
    Cell* d = construct("x: 1");
    EXPECT_EQ(object::compare(a, a, COMP_SAME), 0);
    EXPECT_EQ(object::compare(a, b, COMP_SAME), -1);
    EXPECT_EQ(object::compare(a, b, COMP_EQUAL), 0);
    EXPECT_NE(object::compare(a, b, COMP_STRICT_EQUAL), 0);
    EXPECT_EQ(object::compare(a, c, COMP_LESSER), -1);
    EXPECT_EQ(object::compare(d, a, COMP_EQUAL), -1);  // fewer words first
    Cell one;
    make_cell(&one, TYPE_INTEGER, 0, 1);
    EXPECT_EQ(object::compare(a, &one, COMP_EQUAL), -2);
    // Numbers of different types compare by value; other mixed types by type id.
    Cell* e = construct("x: 1.0 y: \"t\"");
    EXPECT_EQ(object::compare(a, e, COMP_EQUAL), 0);
    Cell* f = construct("x: #\"a\" y: \"t\"");
    EXPECT_NE(object::compare(a, f, COMP_EQUAL), 0);
    // Objects that hold themselves compare without endless recursion.
    Cell* g = construct("me: none");
    Cell* h = construct("me: none");
    object::get_values(g)[0] = *g;
    object::get_values(h)[0] = *h;
    EXPECT_EQ(object::compare(g, h, COMP_EQUAL), 0);
    EXPECT_EQ(cycles::depth(), 0u);
}

TEST_F(ObjectTest, CopyIsShallowOrDeepAndRefusesPart) {
    Cell* a = construct("s: \"abc\" b: [1 [2]] n: 5");
    // Results go to value-stack cells, where the collector sees them.
    Cell& shallow = *stack::push(a);
    Cell& deep = *stack::push(a);
    object::copy(a, &shallow, nullptr, false, nullptr);
    object::copy(a, &deep, nullptr, true, nullptr);
    EXPECT_NE(shallow.data1, a->data1);
    EXPECT_EQ(object::class_of(&shallow), object::class_of(a));
    Cell as = field(a, "s"), ss = field(&shallow, "s"), ds = field(&deep, "s");
    EXPECT_EQ(series_node(&ss), series_node(&as));
    EXPECT_NE(series_node(&ds), series_node(&as));
    EXPECT_EQ(test::form(&ds), "abc");
    Cell db = field(&deep, "b");
    EXPECT_EQ(test::mold(&db), "[1 [2]]");
    EXPECT_EQ(object::compare(a, &deep, COMP_EQUAL), 0);
    EXPECT_EQ(context::owner_of(deep.data1)->data1, deep.data1);
    Cell two;
    make_cell(&two, TYPE_INTEGER, 0, 2);
    EXPECT_EQ(error_of([&] { object::copy(a, &shallow, &two, false, nullptr); }), "script/invalid-refine-arg");
}

TEST_F(ObjectTest, ExtendByObjectAndClassIds) {
    Cell* proto = construct("a: 1 b: 2");
    Cell* same = construct("a: 5");
    Cell* more = construct("c: 3");
    Cell& r1 = *stack::push(proto);
    Cell& r2 = *stack::push(proto);
    object::make(&r1, same, TYPE_OBJECT);
    object::make(&r2, more, TYPE_OBJECT);
    EXPECT_EQ(object::class_of(&r1), object::class_of(proto));
    EXPECT_EQ(field(&r1, "a").data2, 5u);
    EXPECT_EQ(field(proto, "a").data2, 1u);  // the prototype is untouched
    EXPECT_NE(object::class_of(&r2), object::class_of(proto));
    EXPECT_GT(object::class_of(&r2), 1000000);
    EXPECT_EQ(object::get_size(&r2), 3u);
    EXPECT_EQ(field(&r2, "c").data2, 3u);
    // Any other spec is malformed.
    Cell one;
    make_cell(&one, TYPE_INTEGER, 0, 1);
    Cell r3 = *proto;
    EXPECT_EQ(error_of([&] { object::make(&r3, &one, TYPE_OBJECT); }), "syntax/malconstruct");
}

TEST_F(ObjectTest, SetManyFromBlocksObjectsAndSingleValues) {
    Cell* obj = construct("a: 1 b: 2 c: 3");
    Cell* blk = test::load("10 _");
    make_cell(reinterpret_cast<Cell*>(GET_BUFFER(series_node(blk))->head()) + 1, TYPE_NONE);
    object::set_many(obj, blk, false, false, true);  // /some: none leaves the field
    EXPECT_EQ(field(obj, "a").data2, 10u);
    EXPECT_EQ(field(obj, "b").data2, 2u);
    EXPECT_EQ(field(obj, "c").data2, 3u);
    object::set_many(obj, blk, false, false, false);  // shorter block: none past its end
    EXPECT_EQ(type_of_field(obj, "b"), TYPE_NONE);
    EXPECT_EQ(type_of_field(obj, "c"), TYPE_NONE);
    Cell* src = construct("c: 7 z: 9");
    object::set_many(obj, src, false, false, false);
    EXPECT_EQ(field(obj, "c").data2, 7u);
    EXPECT_EQ(field(obj, "a").data2, 10u);
    Cell four;
    make_cell(&four, TYPE_INTEGER, 0, 4);
    object::set_many(obj, &four, false, false, false);
    EXPECT_EQ(field(obj, "b").data2, 4u);
    // /only stores the block itself.
    object::set_many(obj, blk, false, true, false);
    EXPECT_EQ(type_of_field(obj, "a"), TYPE_BLOCK);
    // Every field assigned carries the changed mark.
    for (u32 i = 0; i < 3; i++) EXPECT_TRUE(object::get_word(obj->data1, i)->header & context::WORD_CHANGED);
    // An unset source value needs /any.
    Cell* un = stack::push_star();
    make_cell(un, TYPE_BLOCK, 0, alloc_cells(2));
    make_cell(alloc_at_tail(series_node(un)), TYPE_UNSET);
    EXPECT_EQ(error_of([&] { object::set_many(obj, un, false, false, false); }), "script/need-value");
    object::set_many(obj, un, true, false, false);
    EXPECT_EQ(TYPE_OF(object::get_values(obj)), TYPE_UNSET);
}

TEST_F(ObjectTest, ReflectAndTheChangedMark) {
    Cell* obj = construct("a: 1 b: x c: p/q");
    Cell r = *obj;
    object::reflect(&r, static_cast<u32>(words::changed));
    EXPECT_EQ(test::mold(&r), "[]");
    Cell w = *word::load("b");
    Cell v;
    make_cell(&v, TYPE_INTEGER, 0, 2);
    Cell* path = test::load("o/b");
    object::eval_path(obj, &w, &v, path, nullptr, nullptr, 0, false, false, false);
    r = *obj;
    object::reflect(&r, static_cast<u32>(words::changed));
    EXPECT_EQ(test::mold(&r), "[b]");
    r = *obj;
    object::reflect(&r, static_cast<u32>(words::words));
    EXPECT_EQ(test::mold(&r), "[a b c]");
    r = *obj;
    object::reflect(&r, static_cast<u32>(words::values));
    EXPECT_EQ(test::mold(&r), "[1 2 p/q]");
    object::get_values(obj)[1] = *word::load("x");
    r = *obj;
    object::reflect(&r, static_cast<u32>(words::body));
    EXPECT_EQ(test::mold(&r), "[a: 1 b: 'x c: 'p/q]");
    r = *obj;
    object::reflect(&r, static_cast<u32>(words::class_));
    EXPECT_EQ(static_cast<i32>(r.data2), object::class_of(obj));
    r = *obj;
    object::reflect(&r, static_cast<u32>(words::events_q));
    EXPECT_EQ(r.data1, 0u);
    r = *obj;
    EXPECT_EQ(error_of([&] { object::reflect(&r, static_cast<u32>(sym("spec"))); }), "internal/not-done");
    // modify changed with none clears the marks; another value is refused.
    Cell none;
    make_cell(&none, TYPE_NONE);
    Cell field_w = *word::load("changed");
    r = *obj;
    object::modify(&r, &field_w, &none, false);
    r = *obj;
    object::reflect(&r, static_cast<u32>(words::changed));
    EXPECT_EQ(test::mold(&r), "[]");
    r = *obj;
    EXPECT_EQ(error_of([&] { object::modify(&r, &field_w, &v, false); }), "script/invalid-arg");
}

TEST_F(ObjectTest, PathAccessSelectAndPut) {
    Cell* obj = construct("a: 1 u: none");
    object::get_values(obj)[1] = Cell{TYPE_UNSET, 0, 0, 0};
    Cell* path = test::load("o/a");
    Cell a = *word::load("a");
    a.data1 = 0;  // not bound to the object: looked up and rebound in place
    Cell* got = object::eval_path(obj, &a, nullptr, path, nullptr, nullptr, 0, false, false, false);
    EXPECT_EQ(got->data2, 1u);
    EXPECT_EQ(a.data1, obj->data1);
    EXPECT_EQ(word_index(&a), 0);
    Cell missing = *word::load("nope");
    EXPECT_EQ(error_of([&] { object::eval_path(obj, &missing, nullptr, path, nullptr, nullptr, 0, false, false, false); }),
              "script/unset-path");
    EXPECT_EQ(error_of([&] { object::eval_path(obj, &missing, nullptr, path, nullptr, nullptr, 0, false, false, true); }),
              "script/invalid-path");
    EXPECT_EQ(TYPE_OF(object::eval_path(obj, &missing, nullptr, path, nullptr, nullptr, 0, false, true, true)),
              TYPE_UNSET);
    Cell u = *word::load("u");
    EXPECT_EQ(error_of([&] { object::eval_path(obj, &u, nullptr, path, nullptr, nullptr, 0, false, false, false); }),
              "script/unset-path");
    Cell one;
    make_cell(&one, TYPE_INTEGER, 0, 1);
    EXPECT_EQ(error_of([&] { object::eval_path(obj, &one, nullptr, path, nullptr, nullptr, 0, false, false, false); }),
              "script/invalid-path");
    Cell self = *word::load("self");
    EXPECT_EQ(error_of([&] { object::eval_path(obj, &self, &one, path, nullptr, nullptr, 0, false, false, false); }),
              "script/invalid-path");
    // put and select.
    Cell r = *obj, seven;
    make_cell(&seven, TYPE_INTEGER, 0, 7);
    Cell key = *word::load("a");
    object::put(&r, &key, &seven, false);
    EXPECT_EQ(field(obj, "a").data2, 7u);
    r = *obj;
    object::select(&r, &key, nullptr, false, false, false, false, nullptr, nullptr, false, false);
    EXPECT_EQ(r.data2, 7u);
    r = *obj;
    EXPECT_EQ(error_of([&] { object::put(&r, &one, &seven, false); }), "script/invalid-key-type");
    r = *obj;
    EXPECT_EQ(error_of([&] { object::select(&r, &one, nullptr, false, false, false, false, nullptr, nullptr, false, false); }),
              "script/invalid-type");
}

TEST_F(ObjectTest, HandlerFieldsMustHoldFunctions) {
    // construct does not evaluate: the handler field holds a word, which is refused.
    Cell* blk = test::load("a: 1 on-change*: 2");
    Cell* obj = stack::push_star();
    object::make_proto(obj, nullptr);
    EXPECT_EQ(error_of([&] { object::construct_values(obj, blk, false); }), "script/bad-field-set");
}

TEST_F(ObjectTest, HandlerRecordAndMoldSkipsHandlers) {
    Cell* obj = construct("a: 1");
    Cell two, three;
    make_cell(&two, TYPE_INTEGER, 0, 2);
    make_cell(&three, TYPE_INTEGER, 0, 3);
    Cell h1 = *word::load("on-change*"), h2 = *word::load("on-deep-change*");
    context::add_with_value(context::TO_CTX(obj->data1), &h1, &two);
    context::add_with_value(context::TO_CTX(obj->data1), &h2, &three);
    // A record installed by position: objects without a function there never call anything.
    object::make_at(obj, 1, 0, -1, 0);
    EXPECT_NE(object::on_set_of(obj), 0u);
    EXPECT_EQ(mold_of(obj, true), "make object! [a: 1]");
    EXPECT_EQ(mold_of(obj, true, true), "make object! [a: 1 on-change*: 2 on-deep-change*: 3]");
    Cell r = *obj;
    object::reflect(&r, static_cast<u32>(words::events_q));
    EXPECT_EQ(r.data1, 1u);
    // Setting a field of an object whose on-change* is not a function!.
    Cell w = *word::load("a");
    Cell v;
    make_cell(&v, TYPE_INTEGER, 0, 5);
    Cell* path = test::load("o/a");
    EXPECT_EQ(error_of([&] { object::eval_path(obj, &w, &v, path, nullptr, nullptr, 0, false, false, false); }),
              "script/invalid-obj-evt");
}
