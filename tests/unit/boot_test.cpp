// Start-up: the boot image's library, library code as compiled code, routines.
#include <gtest/gtest.h>

#include "boot/boot.h"
#include "boot/image.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/object.h"
#include "datatypes/word.h"
#include "datatypes/routine.h"
#include "datatypes/symbol.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "loader/zavbin.h"
#include "load_helper.h"
#include "runtime/collector.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "test_util.h"

namespace zav {
namespace {

struct BootTest : test::CleanRuntimeTest {
    void SetUp() override {
        test::CleanRuntimeTest::SetUp();
        stack::frame_top = stack::frame_base;
        stack::arguments = stack::top = stack::bottom;
    }
    void TearDown() override {
        stack::frame_top = stack::frame_base;
        stack::arguments = stack::top = stack::bottom;
        test::CleanRuntimeTest::TearDown();
    }
    // Evaluates source text, as library code when asked; answers the result molded.
    std::string run(const char* text, bool library) {
        Cell code = *test::load(text);
        collector::Guard guard(&code);
        if (library) block::set_flags_deep(&code, SERIES_LIBRARY);
        Cell* base = stack::top;
        interpreter::eval(&code, false);
        std::string out = test::mold(stack::top - 1);
        stack::top = base;
        return out;
    }
};

TEST_F(BootTest, TheImageHoldsTheLibraryModulesAsLibraryCode) {
    Cell modules = *boot::library();
    ASSERT_EQ(TYPE_OF(&modules), TYPE_BLOCK);
    EXPECT_GE(block::zs_length_q(&modules), 4u);  // base, system, ..., complete, console
    Cell first = *block::zs_head(&modules);
    EXPECT_TRUE(block::buffer_of(&first)->flags & SERIES_LIBRARY);
}

// Start-up lets a function take a top-level body of the library without a
// copy, once: a mark left on any block would let a later function share it.
TEST_F(BootTest, NoLibraryBlockStaysMarkedPrivate) {
    u32 marked = 0, blocks = 0;
    auto walk = [&](auto& self, const Cell* blk) -> void {
        blocks++;
        if (block::buffer_of(blk)->flags & SERIES_PRIVATE) marked++;
        for (u32 i = 0, n = block::buffer_of(blk)->length(); i < n; i++) {
            const Cell* c = block::cells_of(block::buffer_of(blk)) + i;
            if (block::any_block_q(TYPE_OF(c))) self(self, c);
        }
    };
    Cell modules = *boot::library();
    walk(walk, &modules);
    EXPECT_GT(blocks, 100u);
    EXPECT_EQ(marked, 0u);
}

// interpreted? answers for the code that calls it.
TEST_F(BootTest, InterpretedTellsUserCodeFromLibraryCode) {
    EXPECT_EQ(run("system/state/interpreted?", false), "true");
    EXPECT_EQ(run("system/state/interpreted?", true), "false");
    // A block inside library code is library code; user code it runs is not.
    EXPECT_EQ(run("do [system/state/interpreted?]", true), "false");
    EXPECT_EQ(run("attempt [system/state/interpreted?]", false), "true");
}

TEST_F(BootTest, RoutinesAreMadeOnlyDuringStartUp) {
    EXPECT_EQ(test::error_of([this] { run("make routine! [[a] [block?]]", true); }), "internal/routines");
    EXPECT_GT(routine::find("block?"), 0u);
    EXPECT_EQ(routine::find("no-such-routine"), 0u);
}

// The tool loads the built-ins' specs at build time: what start-up decodes is
// what loading the text now gives.
TEST_F(BootTest, WhatTheToolLoadedIsWhatTheTextLoads) {
    Cell* out = block::push_only_star(1);
    ASSERT_GT(boot::builtin_specs.size, 0u);
    zavbin::decode(boot::builtin_specs.data, out, zavbin::MODE_BOOT, boot::builtin_specs.size);
    EXPECT_EQ(test::mold(block::zs_head(out), true), test::mold(natives::load_builtin_specs(), true));
}

// The tool works out the hashes the images' symbols intern with; hashes that
// do not fit (another seed, another count) are not used.
TEST_F(BootTest, TheImagesCarryTheHashesOfTheirSymbols) {
    for (const boot::Image* image : {&boot::image, &boot::builtin_specs}) {
        std::vector<u32> hashes = zavbin::symbol_hashes(image->data, image->size);
        ASSERT_GT(hashes.size(), 100u);
        EXPECT_EQ(hashes, std::vector<u32>(image->symbol_hashes, image->symbol_hashes + image->symbol_count));
        EXPECT_EQ(image->hash_seed, hashtable::seed);
    }
    std::vector<u32> wrong(boot::builtin_specs.symbol_count, 12345);
    auto decoded = [](const zavbin::SymbolHashes& h) {
        Cell* out = block::push_only_star(1);
        zavbin::decode(boot::builtin_specs.data, out, zavbin::MODE_BOOT, boot::builtin_specs.size, nullptr, &h);
        return test::mold(block::zs_head(out), true);
    };
    std::string plain = test::mold(natives::load_builtin_specs(), true);
    u32 symbols = symbol::count();  // every name is known: wrong hashes would make new ones
    EXPECT_EQ(decoded({wrong.data(), boot::builtin_specs.symbol_count, hashtable::seed + 1}), plain);
    EXPECT_EQ(decoded({wrong.data(), boot::builtin_specs.symbol_count - 1, hashtable::seed}), plain);
    EXPECT_EQ(symbol::count(), symbols);
}

// The catalog as text: per category a `make object!` of code, type (its
// title), then each id with its message.
std::string error_catalog_source() {
    std::string spec;
    const auto& cats = error::catalog();
    auto quote = [](const char* t) {
        std::string q = "\"";
        for (const char* p = t; *p; p++) {
            if (*p == '"' || *p == '^') q += '^';
            q += *p;
        }
        return q + "\"";
    };
    for (u32 c = 0; c < cats.size(); c++) {
        spec += std::string(cats[c].name) + ": make object! [code: " + std::to_string(100 * c) +
                " type: " + quote(cats[c].title);
        for (const auto& id : cats[c].ids) {
            spec += std::string(" ") + id.name + ": ";
            if (id.kind == error::Template::text) {
                spec += quote(id.items[0].text);
                continue;
            }
            if (id.kind == error::Template::word) {
                spec += std::string("'") + error::field_names[id.items[0].field];
                continue;
            }
            spec += "[";
            for (const auto& item : id.items) {
                if (item.field < 0) spec += quote(item.text);
                else spec += std::string(item.get ? ":" : "") + error::field_names[item.field];
                spec += " ";
            }
            spec += "]";
        }
        spec += "] ";
    }
    return spec;
}

// Start-up makes the error catalog without evaluating its source: the same
// objects, in the same class order, with every word bound alike.
TEST_F(BootTest, TheErrorCatalogIsWhatItsSourceMakes) {
    Cell made, evaluated;
    boot::make_error_catalog(&made);
    collector::Guard made_root(&made);
    {
        Cell none{TYPE_NONE, 0, 0, 0};
        evaluated = *object::make(&none, boot::load_source(error_catalog_source().c_str()), TYPE_OBJECT);
    }
    collector::Guard evaluated_root(&evaluated);
    EXPECT_EQ(test::mold(&made, true), test::mold(&evaluated, true));
    auto values = [](const Cell& obj) { return context::values_of(context::TO_CTX(obj.data1)); };
    u32 n = context::word_count(context::TO_CTX(made.data1));
    ASSERT_EQ(n, context::word_count(context::TO_CTX(evaluated.data1)));
    for (u32 k = 0; k < n; k++) {
        Cell a = values(made)[k], b = values(evaluated)[k];
        ASSERT_EQ(TYPE_OF(&a), TYPE_OBJECT);
        EXPECT_EQ(object::class_of(&a), object::class_of(&made) + 1 + k);
        EXPECT_EQ(object::class_of(&b), object::class_of(&evaluated) + 1 + k);
        // The context of a word of one catalog, as the other catalog has it.
        auto same_binding = [&](Cell x_cell, Cell y_cell) {
            Cell *x = &x_cell, *y = &y_cell;
            node_t cx = word_ctx(x), cy = word_ctx(y);
            bool same = cx == context::global ? cy == context::global
                        : cx == made.data1    ? cy == evaluated.data1
                        : cx == a.data1       ? cy == b.data1
                                              : false;
            return same && word_index(x) == word_index(y) && TYPE_OF(x) == TYPE_OF(y);
        };
        for (u32 i = 0, m = context::word_count(context::TO_CTX(a.data1)); i < m; i++) {
            Cell x = values(a)[i], y = values(b)[i];
            ASSERT_EQ(TYPE_OF(&x), TYPE_OF(&y));
            if (word::any_word_q(TYPE_OF(&x))) {
                EXPECT_TRUE(same_binding(x, y)) << k << " " << i;
            }
            if (TYPE_OF(&x) != TYPE_BLOCK) continue;
            ASSERT_EQ(block::zs_length_q(&x), block::zs_length_q(&y));
            for (u32 j = 0; j < block::zs_length_q(&x); j++) {
                const Cell* cx = block::zs_head(&x) + j;
                const Cell* cy = block::zs_head(&y) + j;
                if (word::any_word_q(TYPE_OF(cx))) {
                    EXPECT_TRUE(same_binding(*cx, *cy)) << k << " " << i << " " << j;
                }
            }
        }
    }
}

// An image that reads but is not a block of modules is a failed start, not status 0.
TEST_F(BootTest, AnImageThatIsNotABlockOfModulesFailsTheStart) {
    Cell number{TYPE_INTEGER, 0, 7, 0};
    std::string bytes = boot::encode_image(&number);
    boot::Image bad{reinterpret_cast<const u8*>(bytes.data()), static_cast<u32>(bytes.size())};
    EXPECT_EXIT(boot::load_image(bad), testing::ExitedWithCode(1), "boot image corrupted");
}

}  // namespace
}  // namespace zav
