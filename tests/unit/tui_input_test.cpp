// The terminal input decoder: keys, SGR mouse reports, cursor position
// reports, and input cut between reads or never finished.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "view/terminal/input.h"

using namespace zav;
using namespace zav::gui;

namespace {

// Every decoded item as a short text.
struct Recorder : InputSink {
    std::vector<std::string> items;
    void key(i32 code, i32 special, u32 flags) override {
        items.push_back("key " + std::to_string(code) + " " + std::to_string(special) + " " + flags_of(flags));
    }
    void mouse_move(float x, float y, u32 flags) override {
        items.push_back("move " + pos(x, y) + " " + flags_of(flags));
    }
    void button(u32 type, float x, float y, u32 flags) override {
        items.push_back("button " + std::to_string(type) + " " + pos(x, y) + " " + flags_of(flags));
    }
    void wheel(float amount, float x, float y, u32 flags) override {
        items.push_back("wheel " + std::to_string(static_cast<int>(amount)) + " " + pos(x, y));
    }
    static std::string pos(float x, float y) {
        return std::to_string(static_cast<int>(x)) + "," + std::to_string(static_cast<int>(y));
    }
    static std::string flags_of(u32 f) {
        std::string s;
        if (f & FLAG_SHIFT) s += "S";
        if (f & FLAG_ALT) s += "A";
        if (f & FLAG_CONTROL) s += "C";
        if (f & FLAG_DOWN) s += "D";
        return s.empty() ? "-" : s;
    }
};

std::vector<std::string> decode(InputDecoder& d, const std::string& bytes, bool stale = false) {
    Recorder r;
    d.append(reinterpret_cast<const u8*>(bytes.data()), bytes.size());
    d.process(r, stale);
    return r.items;
}

std::vector<std::string> decode(const std::string& bytes, bool stale = false) {
    InputDecoder d;
    return decode(d, bytes, stale);
}

using Items = std::vector<std::string>;

TEST(TuiInput, Keys) {
    struct Case {
        std::string bytes;
        Items items;
    } cases[] = {
        {"a", {"key 97 0 -"}},
        {"\x08", {"key 127 0 -"}},  // backspace arrives as 127
        {"\n", {"key 13 0 -"}},     // line feed as carriage return
        {"\x03", {"key 3 0 -"}},
        {std::string("\0", 1), {"key 0 0 -"}},
        {"\xc3\xa9\xf0\x9f\x98\x80", {"key 233 0 -", "key 128512 0 -"}},
        {"\x1b[A\x1b[B\x1b[C\x1b[D", {"key 0 -20 -", "key 0 -21 -", "key 0 -22 -", "key 0 -23 -"}},
        {"\x1bOA\x1bOH\x1bOF", {"key 0 -20 -", "key 0 -25 -", "key 0 -24 -"}},
        {"\x1b[H\x1b[F\x1b[1~\x1b[4~\x1b[7~\x1b[8~", {"key 0 -25 -", "key 0 -24 -", "key 0 -25 -", "key 0 -24 -", "key 0 -25 -", "key 0 -24 -"}},
        {"\x1b[3~\x1b[5~\x1b[6~", {"key 0 -27 -", "key 0 -28 -", "key 0 -29 -"}},
        {"\x1b[2~", {}},  // no sequence gives insert
        {"\x1bOP\x1bOS\x1b[15~\x1b[24~", {"key 0 -31 -", "key 0 -34 -", "key 0 -35 -", "key 0 -42 -"}},
        {"\x1b[Z", {"key 0 10 -"}},
        {"\x1b[1;5A\x1b[1;2D\x1b[3;3~\x1b[15;6~", {"key 0 -20 C", "key 0 -23 S", "key 0 -27 A", "key 0 -35 SC"}},
        {"\x1bx", {"key 120 0 A"}},
        {"\x1b\x1b[A", {"key 27 0 -", "key 0 -20 -"}},
        {"\x1b]0;title\x07z", {"key 122 0 -"}},
        {"\x1bP1$r\x1b\\z", {"key 122 0 -"}},
        {"\x1b[99X", {}},
        {"\x1b[12\x1b[A", {"key 0 -20 -"}},  // a new sequence ends the unfinished one
    };
    for (const auto& c : cases) EXPECT_EQ(decode(c.bytes), c.items) << c.bytes;
}

TEST(TuiInput, MouseAndCursorReports) {
    InputDecoder d;
    // The cursor report fixes the top row that mouse rows are taken from.
    EXPECT_EQ(decode(d, "\x1b[3;40R"), Items{});
    EXPECT_EQ(d.top_row, 2);
    EXPECT_EQ(d.left_column, 39);
    EXPECT_TRUE(d.cursor_reported);
    EXPECT_EQ(decode(d, "\x1b[<0;10;5M"), Items{"button 1 9,2 -"});
    EXPECT_EQ(decode(d, "\x1b[<32;11;5M"), Items{"move 10,2 D"});  // same press state: a drag
    EXPECT_EQ(decode(d, "\x1b[<0;11;5m"), Items{"button 2 10,2 -"});
    EXPECT_EQ(decode(d, "\x1b[<35;1;3M"), Items{"move 0,0 -"});
    EXPECT_EQ(decode(d, "\x1b[<2;1;3M\x1b[<2;1;3m"), (Items{"button 5 0,0 -", "button 6 0,0 -"}));
    EXPECT_EQ(decode(d, "\x1b[<1;1;3M\x1b[<1;1;3m"), (Items{"button 3 0,0 -", "button 4 0,0 -"}));
    EXPECT_EQ(decode(d, "\x1b[<64;5;3M\x1b[<65;5;3M"), (Items{"wheel 1 4,0", "wheel -1 4,0"}));
    EXPECT_EQ(decode(d, "\x1b[<20;5;3M"), Items{"button 1 4,0 SC"});
    EXPECT_EQ(decode(d, "\x1b[12;40R"), Items{});
    EXPECT_EQ(d.top_row, 11);
    EXPECT_EQ(d.left_column, 39);
    // Not an SGR report: three parameters without "<" are no mouse report.
    EXPECT_EQ(decode(d, "\x1b[0;1;1M"), Items{});
}

TEST(TuiInput, HostileParameters) {
    // Parameters past the fourth are ignored; values stop growing.
    EXPECT_EQ(decode("\x1b[1;2;3;4;5;6;7;8;9;10;11;12A"), Items{"key 0 -20 S"});
    EXPECT_EQ(decode("\x1b[<3;99999999999999999999;99999999999999999M"), Items{"move 999999,999999 -"});
    std::string many = "\x1b[";
    for (int i = 0; i < 1000; i++) many += "1;";
    EXPECT_EQ(decode(many + "A"), Items{"key 0 -20 -"});
    // Dropped once it runs too long; what still comes of it is skipped up
    // to its final byte (or the next ESC), not typed as text.
    InputDecoder d;
    EXPECT_EQ(decode(d, many), Items{});
    EXPECT_EQ(decode(d, "9999;9999"), Items{});
    EXPECT_EQ(decode(d, "9~ab"), (Items{"key 97 0 -", "key 98 0 -"}));
    EXPECT_TRUE(d.empty());
    EXPECT_EQ(decode(d, many), Items{});
    EXPECT_EQ(decode(d, "12\x1b[A"), Items{"key 0 -20 -"});
    // A pass without input ends the skipping: the next key is a key.
    EXPECT_EQ(decode(d, many), Items{});
    EXPECT_EQ(decode(d, "", true), Items{});
    EXPECT_EQ(decode(d, "A"), Items{"key 65 0 -"});
    // A string (OSC) that runs too long is skipped up to its BEL or ESC "\\",
    // also when the ESC and the backslash come in two reads.
    std::string osc = "\x1b]" + std::string(1000, 'x');
    EXPECT_EQ(decode(d, osc), Items{});
    EXPECT_EQ(decode(d, "yyy\ay"), Items{"key 121 0 -"});
    EXPECT_EQ(decode(d, osc + "\x1b"), Items{});
    EXPECT_EQ(decode(d, "\\z"), Items{"key 122 0 -"});
    // A long paste is taken at an even pace, item by item.
    std::string paste(200000, 'p');
    Items keys = decode(d, paste);
    EXPECT_EQ(keys.size(), paste.size());
    EXPECT_TRUE(d.empty());
    EXPECT_EQ(decode("\x1b[0;1;1;1M"), Items{});
}

TEST(TuiInput, CutBetweenReads) {
    InputDecoder d;
    EXPECT_EQ(decode(d, "\xf0\x9f"), Items{});
    EXPECT_FALSE(d.empty());
    EXPECT_EQ(decode(d, "\x98\x80!"), (Items{"key 128512 0 -", "key 33 0 -"}));
    EXPECT_EQ(decode(d, "\x1b[1"), Items{});
    EXPECT_EQ(decode(d, "5~"), Items{"key 0 -35 -"});
    EXPECT_EQ(decode(d, "\x1b[<0;1"), Items{});
    EXPECT_EQ(decode(d, ";1M"), Items{"button 1 0,0 -"});
    // A lone ESC waits one round for what may follow, then is the Escape key.
    EXPECT_EQ(decode(d, "\x1b"), Items{});
    EXPECT_EQ(decode(d, "", true), Items{"key 27 0 -"});
    EXPECT_TRUE(d.empty());
    // A sequence that never ends is dropped once nothing more comes.
    EXPECT_EQ(decode(d, "\x1b[12;"), Items{});
    EXPECT_EQ(decode(d, "", true), Items{});
    EXPECT_TRUE(d.empty());
    // Bytes that are no UTF-8 are dropped, the rest goes on.
    EXPECT_EQ(decode(d, "\xff\x80z"), Items{"key 122 0 -"});
}

// A handler that reads input again meets only what is left.
TEST(TuiInput, ReentrantHandlerSeesTheRest) {
    struct Nested : InputSink {
        InputDecoder* d;
        std::vector<i32> codes;
        void key(i32 code, i32, u32) override {
            codes.push_back(code);
            if (code == 'a') d->process(*this, false);
        }
        void mouse_move(float, float, u32) override {}
        void button(u32, float, float, u32) override {}
        void wheel(float, float, float, u32) override {}
    } sink;
    InputDecoder d;
    sink.d = &d;
    d.append(reinterpret_cast<const u8*>("abc"), 3);
    EXPECT_TRUE(d.process(sink, false));
    EXPECT_EQ(sink.codes, (std::vector<i32>{'a', 'b', 'c'}));
}

}  // namespace
