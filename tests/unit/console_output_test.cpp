// Console output and print hooks: UTF-8 bytes of each unit size, escape
// sequences passed through, the default printer and the hook registry.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/console_output.h"
#include "runtime/memory.h"
#include "runtime_fixture.h"
#include "runtime/print_hooks.h"
#include "runtime/rt.h"
#include "tests/unit/output_capture.h"

using namespace zav;
using zav::testing::capture_output;

namespace {

template <class Unit>
std::string bytes_of(const std::basic_string<Unit>& text) {
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(Unit));
}

std::string printed(const std::string& bytes, u32 unit, bool new_line) {
    return capture_output([&] {
        console::print_units(bytes.data(), static_cast<u32>(bytes.size()), unit, new_line);
    });
}

}  // namespace

TEST(ConsoleOutput, UnitsBecomeUtf8ByteForByte) {
    struct Case {
        const char* name;
        std::string text;
        u32 unit;
        bool new_line;
        std::string out;
    } cases[] = {
        {"latin-1", "A\xE9\x1B[31mB\xFF", 1, false, "A\xC3\xA9\x1B[31mB\xC3\xBF"},
        {"latin-1 line", "x", 1, true, "x\n"},
        {"empty line", "", 1, true, "\n"},
        {"lone ESC", "\x1B" "A\x1B", 1, false, "\x1B" "A\x1B"},
        {"utf-16", bytes_of(std::u16string(u"\u00E9\u20AC\x1B[0m\U0001F600")), 2, false,
         "\xC3\xA9\xE2\x82\xAC\x1B[0m\xF0\x9F\x98\x80"},
        {"utf-16 lone surrogates", bytes_of(std::u16string{0xDC00, 'a', 0xD800}), 2, true,
         "\xEF\xBF\xBD" "a\xEF\xBF\xBD\n"},
        {"ucs-4 surrogate", bytes_of(std::u32string{0xD800, 'b'}), 4, false, "\xEF\xBF\xBD" "b"},
        {"utf-16 half unit", std::string("a\0b", 3), 2, false, "a"},
        {"ucs-4", bytes_of(std::u32string(U"\U0001F600\u00FF\x1B[2J\u0800\u07FF")), 4, true,
         "\xF0\x9F\x98\x80\xC3\xBF\x1B[2J\xE0\xA0\x80\xDF\xBF\n"},
        {"ucs-4 out of range", bytes_of(std::u32string{0x110000, 'z'}), 4, false, "\xEF\xBF\xBDz"},
    };
    for (const Case& c : cases) EXPECT_EQ(printed(c.text, c.unit, c.new_line), c.out) << c.name;
}

TEST(ConsoleOutput, LongTextCrossesTheBufferIntact) {
    // Two- and four-byte sequences that do not divide the buffer evenly.
    std::string latin(1500, '\xE9'), latin_out;
    for (int i = 0; i < 1500; i++) latin_out += "\xC3\xA9";
    EXPECT_EQ(printed(latin, 1, true), latin_out + "\n");
    std::u32string wide(701, U'\U0001F600');
    std::string wide_out;
    for (int i = 0; i < 701; i++) wide_out += "\xF0\x9F\x98\x80";
    EXPECT_EQ(printed(bytes_of(wide), 4, false), wide_out);
}

// ---------------------------------------------------------------------------

namespace {

struct PrintHooks : ::testing::Test {
    void SetUp() override {
        test::bare_memory();
        print_hooks::init();
    }
    void TearDown() override {
        print_hooks::init();
        free_all_memory();
    }

    // A string! value whose buffer has `unit` and holds `text` (native units).
    static Cell string_of(const std::string& bytes, u32 unit, u32 head) {
        u32 units = static_cast<u32>(bytes.size()) / unit;
        node_t node = unit == 16 ? alloc_cells(units) : alloc_codepoints(units, unit);
        SeriesBuffer* b = GET_BUFFER(node);
        std::memcpy(b->head(), bytes.data(), bytes.size());
        b->tail = b->offset + static_cast<u32>(bytes.size());
        Cell c;
        make_cell(&c, TYPE_STRING, head, node);
        return c;
    }
};

std::vector<std::string> calls;

template <char Tag>
void hook(const Cell*, bool new_line) {
    calls.push_back(std::string(1, Tag) + (new_line ? "+" : "-"));
}

template <char Tag>
void line_hook(const void* text, u32 length, u32) {
    calls.push_back(std::string(1, Tag) + std::string(static_cast<const char*>(text), length));
}

}  // namespace

TEST_F(PrintHooks, DefaultPrintStartsAtTheHead) {
    struct Case {
        std::string bytes;
        u32 unit, head;
        bool new_line;
        std::string out;
    } cases[] = {
        {"abc\xE9", 1, 1, true, "bc\xC3\xA9\n"},
        {bytes_of(std::u16string(u"x\u20ACy")), 2, 1, false, "\xE2\x82\xACy"},
        {bytes_of(std::u32string(U"\U0001F600!")), 4, 0, true, "\xF0\x9F\x98\x80!\n"},
        {"abc", 1, 3, true, "\n"},
        {"abc", 1, 50, false, ""},  // head past the tail: nothing to print
        {std::string(32, '\0'), 16, 0, true, "Error: unknown string encoding: 16\n"},
    };
    for (const Case& c : cases) {
        Cell s = string_of(c.bytes, c.unit, c.head);
        EXPECT_EQ(capture_output([&] { print_hooks::print(&s, c.new_line); }), c.out);
    }
}

TEST_F(PrintHooks, AddAndRemoveKeepRegistrationOrder) {
    Cell s = string_of("hi", 1, 0);
    calls.clear();
    print_hooks::remove(print_hooks::default_print, nullptr);
    print_hooks::add(hook<'a'>, line_hook<'x'>);
    print_hooks::add(hook<'b'>, nullptr);
    print_hooks::add(hook<'a'>, line_hook<'y'>);
    print_hooks::add(nullptr, line_hook<'x'>);
    print_hooks::print(&s, true);
    print_hooks::print_line("t", 1, 1);
    EXPECT_EQ(calls, (std::vector<std::string>{"a+", "b+", "a+", "xt", "yt", "xt"}));

    calls.clear();
    print_hooks::remove(hook<'c'>, line_hook<'z'>);  // never added: nothing changes
    print_hooks::remove(hook<'a'>, line_hook<'x'>);  // only the first of two equal entries
    print_hooks::print(&s, false);
    print_hooks::print_line("u", 1, 1);
    EXPECT_EQ(calls, (std::vector<std::string>{"b-", "a-", "yu", "xu"}));
}

TEST_F(PrintHooks, ArraysGrowPastTheirFirstCapacity) {
    Cell s = string_of("hi", 1, 0);
    calls.clear();
    print_hooks::remove(print_hooks::default_print, nullptr);
    print_hooks::PrintHook hooks[] = {hook<'1'>, hook<'2'>, hook<'3'>, hook<'4'>, hook<'5'>, hook<'6'>,
                                      hook<'7'>, hook<'8'>, hook<'9'>, hook<'0'>, hook<'A'>, hook<'B'>};
    for (auto h : hooks) print_hooks::add(h, nullptr);
    print_hooks::print(&s, true);
    std::vector<std::string> expected;
    for (char c : std::string("1234567890AB")) expected.push_back(std::string(1, c) + "+");
    EXPECT_EQ(calls, expected);
}
