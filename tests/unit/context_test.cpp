// Contexts: making, finding and adding words, storing and reading values, binding.
#include <functional>
#include <string>

#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/stack.h"
#include "runtime/collector.h"
#include "datatypes/cycles.h"
#include "runtime/memory.h"
#include "datatypes/words.h"
#include "runtime_fixture.h"
#include "test_util.h"

using namespace zav;

namespace {

struct ContextTest : test::CleanRuntimeTest {

    // A block of words of the given types, kept on the value stack.
    Cell* block_of(std::initializer_list<std::pair<const char*, u32>> items) {
        Cell* blk = stack::push_star();
        make_cell(blk, TYPE_BLOCK, 0, alloc_cells(8));
        for (auto& [name, type] : items) word::load_in(name, series_node(blk), type);
        return blk;
    }
};

using test::error_of;

using test::cell_at;

std::string name_at(Cell* ctx, u32 i) {
    return symbol::get_c_string(static_cast<i32>(context::get_word_at(ctx, i)->data2));
}

using test::integer_cell;

}  // namespace

TEST_F(ContextTest, MakeTakesWordsButNotSetWords) {
    Cell* spec = block_of({{"a", TYPE_WORD}, {"b", TYPE_SET_WORD}, {"c", TYPE_REFINEMENT},
                           {"d", TYPE_LIT_WORD}, {"e", TYPE_GET_WORD}, {"A", TYPE_WORD}});
    node_t ctx = context::make(spec, false, false, context::KIND_FUNCTION);
    collector::Guard ctx_root(ctx);
    Cell* c = context::TO_CTX(ctx);
    ASSERT_EQ(context::word_count(c), 4u);
    EXPECT_EQ(name_at(c, 0), "a");
    EXPECT_EQ(name_at(c, 1), "c");
    EXPECT_EQ(name_at(c, 2), "d");
    EXPECT_EQ(name_at(c, 3), "e");
    EXPECT_EQ(GET_BUFFER(c->data2)->length(), 4u);
    EXPECT_EQ(context::kind_of(c), context::KIND_FUNCTION);
    for (u32 i = 0; i < 4; i++) {
        EXPECT_EQ(context::get_word_at(c, i)->data1, ctx);
        EXPECT_EQ(word_index(context::get_word_at(c, i)), static_cast<i32>(i));
        EXPECT_EQ(TYPE_OF(context::values_of(c) + i), TYPE_UNSET);
    }
    // On the stack: no values until the function runs.
    node_t sctx = context::make(spec, true, false, context::KIND_FUNCTION);
    collector::Guard sctx_root(sctx);
    EXPECT_TRUE(context::on_stack_q(context::TO_CTX(sctx)));
    EXPECT_EQ(context::values_of(context::TO_CTX(sctx)), nullptr);
}

TEST_F(ContextTest, FindAndAddWords) {
    node_t ctx = context::create(0, false, true, nullptr, context::KIND_OBJECT);
    collector::Guard ctx_root(ctx);
    Cell* c = context::TO_CTX(ctx);
    EXPECT_TRUE(c->header & context::CTX_SELF);
    Cell w = *word::load("cfind");
    EXPECT_EQ(context::find_word(c, static_cast<i32>(w.data2), true), -1);
    EXPECT_EQ(context::add_word(c, &w), 0);
    Cell W = *word::load("CFIND");
    EXPECT_EQ(context::add_word(context::TO_CTX(ctx), &W), 0);  // found case-insensitively
    EXPECT_EQ(context::find_word(context::TO_CTX(ctx), static_cast<i32>(W.data2), false), -1);
    Cell one = integer_cell(1), two = integer_cell(2);
    Cell x = *word::load("cx");
    context::add_with_value(context::TO_CTX(ctx), &x, &one);
    context::add_with_value(context::TO_CTX(ctx), &x, &two);  // an existing word keeps its value
    c = context::TO_CTX(ctx);
    ASSERT_EQ(context::word_count(c), 2u);
    EXPECT_EQ(context::values_of(c)[1].data2, 1u);
    // Growing past the first room keeps words and values in step.
    for (int i = 0; i < 50; i++) {
        std::string n = "cgrow" + std::to_string(i);
        Cell g = *word::load(n.c_str());
        context::add_word(context::TO_CTX(ctx), &g);
    }
    c = context::TO_CTX(ctx);
    EXPECT_EQ(context::word_count(c), 52u);
    EXPECT_EQ(GET_BUFFER(c->data2)->length(), 52u);
    EXPECT_EQ(context::find_word(c, symbol::make("cgrow49"), true), 51);
}

TEST_F(ContextTest, SetInAddsMissingWordsAndMarksObjectFields) {
    node_t ctx = context::create(2, false, true, nullptr, context::KIND_OBJECT);
    collector::Guard ctx_root(ctx);
    Cell w = *word::load("cset");
    w.data1 = ctx;
    w.data3 = static_cast<u32>(-1);
    Cell five = integer_cell(5);
    Cell* slot = context::set_in(&w, &five, context::TO_CTX(ctx), true);
    EXPECT_EQ(slot->data2, 5u);
    EXPECT_EQ(word_index(&w), 0);
    Cell* c = context::TO_CTX(ctx);
    EXPECT_TRUE(context::get_word_at(c, 0)->header & context::WORD_CHANGED);
    EXPECT_EQ(context::get(&w)->data2, 5u);
    EXPECT_TRUE(context::get_word_at(c, 0)->header & context::WORD_CHANGED);  // reading keeps the mark
    // Not in an object context: no mark.
    node_t fctx = context::create(2, false, false, nullptr, context::KIND_FUNCTION);
    collector::Guard fctx_root(fctx);
    Cell f = w;
    f.data1 = fctx;
    f.data3 = static_cast<u32>(-1);
    context::set_in(&f, &five, context::TO_CTX(fctx), true);
    EXPECT_FALSE(context::get_word_at(context::TO_CTX(fctx), 0)->header & context::WORD_CHANGED);
}

TEST_F(ContextTest, SelfReadsTheOwnerValue) {
    node_t ctx = context::create(2, false, true, nullptr, context::KIND_OBJECT);
    collector::Guard ctx_root(ctx);
    Cell owner = integer_cell(42);
    *context::owner_of(ctx) = owner;
    Cell self;
    make_cell(&self, TYPE_WORD, ctx, static_cast<u32>(words::self), static_cast<u32>(-1));
    EXPECT_EQ(context::get(&self)->data2, 42u);
    Cell other = self;
    other.data2 = static_cast<u32>(symbol::make("cnotself"));
    EXPECT_EQ(error_of([&] { context::get(&other); }), "script/no-value");
}

TEST_F(ContextTest, BindWordsNestedBlocksAndSelf) {
    Cell* spec = block_of({{"ba", TYPE_WORD}, {"bb", TYPE_WORD}});
    node_t ctx = context::make(spec, false, true, context::KIND_OBJECT);
    collector::Guard ctx_root(ctx);
    Cell* code = block_of({{"BA", TYPE_SET_WORD}, {"bb", TYPE_GET_WORD}, {"bz", TYPE_WORD},
                           {"self", TYPE_WORD}, {"self", TYPE_SET_WORD}, {"ba", TYPE_ISSUE}});
    Cell* inner = block_of({{"bb", TYPE_LIT_WORD}});
    *alloc_at_tail(series_node(code)) = *inner;
    set_type(&*reinterpret_cast<Cell*>(GET_BUFFER(series_node(code))->head() + 6 * sizeof(Cell)), TYPE_PAREN);
    Cell before_bz = *cell_at(code, 2);
    context::bind(code, context::TO_CTX(ctx), true);
    EXPECT_EQ(cell_at(code, 0)->data1, ctx);
    EXPECT_EQ(word_index(cell_at(code, 0)), 0);
    EXPECT_EQ(word_index(cell_at(code, 1)), 1);
    // A word the context lacks keeps its binding.
    EXPECT_EQ(std::memcmp(cell_at(code, 2), &before_bz, sizeof(Cell)), 0);
    // self as a word! binds with index -1, the set-word like any other word (missing here).
    EXPECT_EQ(cell_at(code, 3)->data1, ctx);
    EXPECT_EQ(word_index(cell_at(code, 3)), -1);
    EXPECT_EQ(cell_at(code, 4)->data1, context::global);
    // Issues are never bound.
    EXPECT_EQ(cell_at(code, 5)->data1, context::global);
    EXPECT_EQ(word_index(cell_at(code, 5)), word_index(word::load("ba")));
    // The nested paren was bound too.
    EXPECT_EQ(cell_at(inner, 0)->data1, ctx);
    EXPECT_EQ(word_index(cell_at(inner, 0)), 1);
    EXPECT_EQ(cycles::depth(), 0u);
}

TEST_F(ContextTest, BindingABlockThatContainsItselfEnds) {
    Cell* spec = block_of({{"ca", TYPE_WORD}});
    node_t ctx = context::make(spec, false, false, context::KIND_OBJECT);
    collector::Guard ctx_root(ctx);
    Cell* blk = block_of({{"ca", TYPE_WORD}});
    Cell self = *blk;
    *alloc_at_tail(series_node(blk)) = self;
    context::bind(blk, context::TO_CTX(ctx), false);
    EXPECT_EQ(cell_at(blk, 0)->data1, ctx);
    EXPECT_EQ(cycles::depth(), 0u);
}

TEST_F(ContextTest, CollectSetWordsAtTheTopLevelOnly) {
    node_t ctx = context::create(4, false, true, nullptr, context::KIND_OBJECT);
    collector::Guard ctx_root(ctx);
    Cell* code = block_of({{"sa", TYPE_SET_WORD}, {"sb", TYPE_WORD}, {"SA", TYPE_SET_WORD}});
    Cell* inner = block_of({{"sc", TYPE_SET_WORD}});
    *alloc_at_tail(series_node(code)) = *inner;
    EXPECT_TRUE(context::collect_set_words(context::TO_CTX(ctx), code));
    Cell* c = context::TO_CTX(ctx);
    ASSERT_EQ(context::word_count(c), 1u);
    EXPECT_EQ(name_at(c, 0), "sa");
    EXPECT_FALSE(context::collect_set_words(context::TO_CTX(ctx), code));
    series_head(code) = 9;  // a head past the tail adds nothing
    EXPECT_FALSE(context::collect_set_words(context::TO_CTX(ctx), code));
}

TEST_F(ContextTest, CloneCopiesTheWordListIntoANewContext) {
    Cell* spec = block_of({{"ka", TYPE_WORD}, {"kb", TYPE_WORD}});
    node_t ctx = context::make(spec, false, true, context::KIND_OBJECT);
    collector::Guard ctx_root(ctx);
    Cell one = integer_cell(1);
    Cell ka = *context::get_word_at(context::TO_CTX(ctx), 0);
    context::set(&ka, &one);
    Cell value;
    make_cell(&value, TYPE_OBJECT, ctx);
    node_t copy = context::clone(&value, context::KIND_OBJECT);
    collector::Guard copy_root(copy);
    EXPECT_NE(copy, ctx);
    EXPECT_EQ(value.data1, copy);
    Cell* c = context::TO_CTX(copy);
    ASSERT_EQ(context::word_count(c), 2u);
    EXPECT_TRUE(c->header & context::CTX_SELF);
    EXPECT_EQ(context::get_word_at(c, 1)->data1, copy);
    EXPECT_FALSE(context::get_word_at(c, 0)->header & context::WORD_CHANGED);
    EXPECT_EQ(TYPE_OF(context::values_of(c)), TYPE_UNSET);
    EXPECT_EQ(context::find_word(c, symbol::make("KB"), true), 1);
    // The old context is untouched.
    EXPECT_EQ(context::get_word_at(context::TO_CTX(ctx), 0)->data1, ctx);
}

TEST_F(ContextTest, ASharedWordListIsCopiedBeforeAWordIsMarkedOrAdded) {
    Cell* spec = block_of({{"ka", TYPE_WORD}, {"kb", TYPE_WORD}});
    node_t ctx = context::make(spec, false, true, context::KIND_OBJECT);
    collector::Guard ctx_root(ctx);
    Cell first, second;
    make_cell(&first, TYPE_OBJECT, ctx);
    make_cell(&second, TYPE_OBJECT, ctx);
    node_t a = context::clone_sharing_words(&first, context::KIND_OBJECT);
    collector::Guard a_root(a);
    node_t b = context::clone_sharing_words(&second, context::KIND_OBJECT);
    collector::Guard b_root(b);
    const node_t shared = context::get_words_node(context::TO_CTX(ctx));
    EXPECT_EQ(context::get_words_node(context::TO_CTX(a)), shared);
    // Words handed out are bound to the context asked, not the list's owner.
    EXPECT_EQ(context::word_at(a, 1).data1, a);
    EXPECT_EQ(context::find_word(context::TO_CTX(b), symbol::make("kb"), false), 1);

    // Marking a field gives the context its own list, bound to it; the
    // other sharer and the owner keep theirs, unmarked.
    context::mark_changed(a, 1);
    Cell* ca = context::TO_CTX(a);
    EXPECT_FALSE(ca->header & context::CTX_SHARED_WORDS);
    EXPECT_NE(context::get_words_node(ca), shared);
    EXPECT_TRUE(context::get_word_at(ca, 1)->header & context::WORD_CHANGED);
    EXPECT_EQ(context::get_word_at(ca, 0)->data1, a);
    EXPECT_FALSE(context::get_word_at(context::TO_CTX(b), 1)->header & context::WORD_CHANGED);
    EXPECT_FALSE(context::get_word_at(context::TO_CTX(ctx), 1)->header & context::WORD_CHANGED);

    // A word already there adds nothing; a new one goes to a list of its own.
    Cell kb = context::word_at(b, 1), kc;
    EXPECT_EQ(context::add_word(context::TO_CTX(b), &kb), 1);
    EXPECT_EQ(context::get_words_node(context::TO_CTX(b)), shared);
    word::make_at(symbol::make("kc"), &kc);
    EXPECT_EQ(context::add_word(context::TO_CTX(b), &kc), 2);
    EXPECT_EQ(context::word_count(context::TO_CTX(b)), 3u);
    EXPECT_EQ(context::word_count(context::TO_CTX(ctx)), 2u);
    EXPECT_EQ(context::find_word(context::TO_CTX(ctx), symbol::make("kc"), true), -1);
}

TEST_F(ContextTest, GlobalHelpers) {
    Cell three = integer_cell(3);
    i32 sym = symbol::make("cglobal");
    context::set_global(sym, &three);
    EXPECT_EQ(context::get_global(sym)->data2, 3u);
    EXPECT_EQ(context::get_global(symbol::make("CGLOBAL"))->data2, 3u);
    node_t ctx = context::create(2, false, false, nullptr, context::KIND_OBJECT);
    collector::Guard ctx_root(ctx);
    context::set_in_ctx(sym, &three, ctx);
    EXPECT_EQ(context::values_of(context::TO_CTX(ctx))->data2, 3u);
    Cell w;
    make_cell(&w, TYPE_WORD, ctx, static_cast<u32>(sym), static_cast<u32>(-1));
    context::set_integer(&w, 8, ctx);
    EXPECT_EQ(word_index(&w), 0);
    EXPECT_EQ(context::values_of(context::TO_CTX(ctx))->data2, 8u);
}
