// Ownership of series by objects.
#include <functional>
#include <string>

#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "datatypes/object.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/stack.h"
#include "load_helper.h"
#include "datatypes/cycles.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "datatypes/ownership.h"
#include "datatypes/words.h"
#include "runtime_fixture.h"
#include "test_util.h"

using namespace zav;

namespace {

struct OwnershipTest : test::CleanRuntimeTest {

    Cell* construct(const char* spec) {
        Cell* blk = test::load(spec);
        Cell* obj = stack::push_star();
        object::make_proto(obj, nullptr);
        object::construct_values(obj, blk, false);
        return obj;
    }
};

bool owned_flag(const Cell* v) { return GET_BUFFER(series_node(v))->flags & SERIES_OWNED; }

using test::cell_at;

}  // namespace

TEST_F(OwnershipTest, BindMarksSeriesDeeplyAndUnbindClears) {
    Cell* obj = construct("a: 1");
    Cell* blk = test::load("[\"s\" [x] #{00}] 5");
    Cell outer = *cell_at(blk, 0);
    Cell w = *word::load("a");
    ownership::bind(&outer, obj, &w);
    EXPECT_TRUE(owned_flag(&outer));
    EXPECT_TRUE(owned_flag(cell_at(&outer, 0)));
    EXPECT_TRUE(owned_flag(cell_at(&outer, 1)));
    EXPECT_TRUE(owned_flag(cell_at(&outer, 2)));
    Cell* owner = ownership::owned_q(series_node(cell_at(&outer, 1)));
    ASSERT_NE(owner, nullptr);
    EXPECT_EQ(owner->data1, obj->data1);
    EXPECT_EQ(owner[1].data2, w.data2);  // the field word
    ownership::unbind(&outer);
    EXPECT_FALSE(owned_flag(&outer));
    EXPECT_FALSE(owned_flag(cell_at(&outer, 1)));
    EXPECT_EQ(ownership::owned_q(series_node(cell_at(&outer, 1))), nullptr);
    EXPECT_EQ(cycles::depth(), 0u);
}

TEST_F(OwnershipTest, ABlockThatContainsItselfBindsAndUnbinds) {
    Cell* obj = construct("a: 1");
    Cell* blk = test::load("x [y]");
    Cell self = *blk;
    *alloc_at_tail(series_node(blk)) = self;
    *alloc_at_tail(series_node(cell_at(blk, 1))) = self;  // and through a nested block
    Cell w = *word::load("a");
    ownership::bind(blk, obj, &w);
    EXPECT_TRUE(owned_flag(blk));
    EXPECT_TRUE(owned_flag(cell_at(blk, 1)));
    ownership::unbind(blk);
    EXPECT_FALSE(owned_flag(blk));
    EXPECT_FALSE(owned_flag(cell_at(blk, 1)));
    EXPECT_EQ(cycles::depth(), 0u);
}

TEST_F(OwnershipTest, TheFirstOwnerIsKept) {
    Cell* first = construct("a: 1");
    Cell* second = construct("b: 2");
    Cell* shared = test::load("1 2");
    Cell a = *word::load("a"), b = *word::load("b");
    ownership::bind(shared, first, &a);
    ownership::bind(shared, second, &b);
    Cell* owner = ownership::owned_q(series_node(shared));
    ASSERT_NE(owner, nullptr);
    EXPECT_EQ(owner->data1, first->data1);
    EXPECT_EQ(owner[1].data2, a.data2);
}

TEST_F(OwnershipTest, ObjectsAreWalkedWithTheirOwnFieldWords) {
    Cell* owner = construct("top: 1");
    Cell* inner = construct("s: \"abc\" n: 3");
    Cell w = *word::load("top");
    ownership::set_owner(inner, owner, &w);
    Cell s = *object::get_values(inner);
    Cell* e = ownership::owned_q(series_node(&s));
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->data1, owner->data1);
    EXPECT_EQ(e[1].data2, static_cast<u32>(symbol::make("s")));
    EXPECT_TRUE(context::TO_CTX(owner->data1)->header & ownership::OWNER_CONTEXT);
    // An object that holds itself is walked once.
    Cell* loop = construct("me: none t: \"x\"");
    object::get_values(loop)[0] = *loop;
    ownership::bind(loop, owner, &w);
    Cell t = object::get_values(loop)[1];
    EXPECT_TRUE(owned_flag(&t));
    ownership::unbind(loop);
    EXPECT_FALSE(owned_flag(&t));
    EXPECT_EQ(cycles::depth(), 0u);
}

TEST_F(OwnershipTest, CheckReportsOnlyToOwnersWithHandlers) {
    Cell* plain = construct("a: 1");
    Cell* blk = test::load("1 2");
    Cell a = *word::load("a");
    ownership::bind(blk, plain, &a);
    EXPECT_FALSE(ownership::check(blk, words::appended, nullptr, 0, 1));  // no handlers
    Cell copy = *blk;
    series_node(&copy) = copy_series_part(series_node(blk), 0, 2);
    EXPECT_FALSE(ownership::check(&copy, words::appended, nullptr, 0, 1));  // a copy is not owned
    // An owner with a record but no on-deep-change*: reported, nothing called.
    Cell* quiet = construct("a: 1 b: 2");
    object::make_at(quiet, 1, 0, -1, 0);
    Cell* other = test::load("3");
    ownership::bind(other, quiet, &a);
    EXPECT_TRUE(ownership::check(other, words::appended, nullptr, 0, 1));
    EXPECT_FALSE(ownership::check(test::load("4"), words::appended, nullptr, 0, 1));
}

TEST_F(OwnershipTest, ObjectsWithDeepHandlersOwnTheirSeriesAndCallTheHandler) {
    // The handler is called after the change.
    Cell* spec = test::load("owner word target action new index part");
    Cell* body = test::load("");
    function::push(spec, body, 0, 0, 0, 0);
    Cell fn = stack::top[-1];
    Cell* obj = construct("data: [1 2]");
    Cell handler = *word::load("on-deep-change*");
    context::add_with_value(context::TO_CTX(obj->data1), &handler, &fn);
    object::finish_make(obj);
    Cell data = *object::get_values(obj);
    EXPECT_TRUE(owned_flag(&data));
    EXPECT_TRUE(context::TO_CTX(obj->data1)->header & ownership::OWNER_CONTEXT);
    EXPECT_TRUE(ownership::check(&data, words::appended, nullptr, 2, 1));
    // modify owned none gives the series up.
    Cell field = *word::load("owned"), none;
    make_cell(&none, TYPE_NONE);
    Cell r = *obj;
    object::modify(&r, &field, &none, false);
    EXPECT_FALSE(owned_flag(&data));
    EXPECT_FALSE(ownership::check(&data, words::appended, nullptr, 2, 1));
}

TEST_F(OwnershipTest, UnbindRange) {
    Cell* obj = construct("a: 1");
    Cell* blk = test::load("\"p\" \"q\" \"r\"");
    Cell a = *word::load("a");
    ownership::bind(blk, obj, &a);
    ownership::unbind_range(blk, 1, 5);
    EXPECT_TRUE(owned_flag(cell_at(blk, 0)));
    EXPECT_FALSE(owned_flag(cell_at(blk, 1)));
    EXPECT_FALSE(owned_flag(cell_at(blk, 2)));
}
