// binary!: byte helpers, base encodings, conversion, mold, comparison and actions.
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "evaluator/actions.h"
#include "runtime/stack.h"
#include "load_helper.h"
#include "runtime/memory.h"
#include "runtime/unicode.h"
#include "runtime_fixture.h"
#include "test_util.h"

using namespace zav;

namespace {

struct BinaryTest : RuntimeTest {
    void SetUp() override {
        RuntimeTest::SetUp();
        stack::reset();
    }
    void TearDown() override { stack::reset(); }
};

using Bytes = std::vector<u8>;

Bytes from_hex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<u8>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// A new binary on the value stack from hexadecimal digits.
Cell* B(const std::string& hex) {
    Bytes b = from_hex(hex);
    return binary::load(b.data(), static_cast<u32>(b.size()));
}

// The bytes from the head as upper-case hexadecimal digits.
std::string H(Cell* bin) {
    static const char d[] = "0123456789ABCDEF";
    std::string out;
    const u8* p = binary::zs_head(bin);
    for (u32 i = 0; i < binary::zs_length_q(bin); i++) {
        out += d[p[i] >> 4];
        out += d[p[i] & 15];
    }
    return out;
}

Bytes bytes_of(node_t node) {
    SeriesBuffer* b = GET_BUFFER(node);
    return Bytes(b->head(), b->tail_ptr());
}

using test::text_of;

using test::S;
Cell* C(u32 cp) { return make_cell(stack::push_star(), TYPE_CHAR, 0, cp); }

std::string molded(Cell* bin, bool flat = false, i32 indent = 0, bool only = false) {
    Cell* buf = string::make_push(16);
    binary::mold(bin, buf, only, false, flat, nullptr, 0x7FFFFFFF, indent);
    return text_of(buf);
}

using test::error_of;

// Decoding through a string of the given unit, from a buffer sized exactly.
node_t decode(u32 base, const std::string& text, u32 unit = 1) {
    std::vector<u8> chars(text.size() * unit);
    for (size_t i = 0; i < text.size(); i++) string::put_char(chars.data() + i * unit, unit, static_cast<u8>(text[i]));
    const u8* p = chars.data();
    u32 n = static_cast<u32>(text.size());
    switch (base) {
        case 2: return binary::decode_2(p, unit, n);
        case 16: return binary::decode_16(p, unit, n);
        case 58: return binary::decode_58(p, unit, n);
        default: return binary::decode_64(p, unit, n);
    }
}

std::string encode(u32 base, const Bytes& src) {
    std::string out(binary::encoded_size(base, static_cast<u32>(src.size())), '\0');
    u8* o = reinterpret_cast<u8*>(out.data());
    u8* end = nullptr;
    switch (base) {
        case 2: end = binary::encode_2(o, src.data(), static_cast<u32>(src.size())); break;
        case 16: end = binary::encode_16(o, src.data(), static_cast<u32>(src.size())); break;
        case 58: end = binary::encode_58(o, src.data(), static_cast<u32>(src.size())); break;
        default: end = binary::encode_64(o, src.data(), static_cast<u32>(src.size())); break;
    }
    EXPECT_LE(end - o, static_cast<ptrdiff_t>(out.size()));
    out.resize(static_cast<size_t>(end - o));
    return out;
}

Bytes text_bytes(const char* s) { return Bytes(s, s + std::strlen(s)); }

// The first value of a source text, on the value stack.
Cell* V(const char* text) { return test::load_one(text); }
std::string M(Cell* value) { return test::mold(value); }

// The molded result of `to binary!` of a source text, or the error it raises.
std::string to_binary(const char* text) {
    std::string out;
    std::string err = error_of([&] { out = M(binary::to(stack::push_star(), V(text), TYPE_BINARY)); });
    return err.empty() ? out : err;
}

}  // namespace

// ---- Base encodings --------------------------------------------------------------

TEST_F(BinaryTest, EncodingsRoundTripRandomBytes) {
    std::mt19937 rng(12345);
    for (u32 base : {2u, 16u, 58u, 64u}) {
        for (u32 len = 0; len < 70; len++) {
            Bytes src(len);
            for (u8& b : src) b = static_cast<u8>(rng());
            if (len > 3 && len % 5 == 0) src[0] = src[1] = 0;  // leading zeros matter to base 58
            std::string text = encode(base, src);
            for (u32 unit : {1u, 2u, 4u}) {
                node_t node = decode(base, text, unit);
                ASSERT_NE(node, 0u) << "base " << base << " length " << len;
                EXPECT_EQ(bytes_of(node), src) << "base " << base << " length " << len << " unit " << unit;
            }
        }
    }
}

TEST_F(BinaryTest, KnownEncodings) {
    struct Case { u32 base; const char* in; const char* out; };
    const Case cases[] = {
        {64, "", ""}, {64, "f", "Zg=="}, {64, "fo", "Zm8="}, {64, "foo", "Zm9v"},
        {64, "foob", "Zm9vYg=="}, {64, "fooba", "Zm9vYmE="}, {64, "foobar", "Zm9vYmFy"},
        {16, "foo", "666F6F"}, {2, "A", "01000001"},
        {58, "Hello World!", "2NEpo7TZRRrLZSi2U"},
    };
    for (const Case& c : cases) EXPECT_EQ(encode(c.base, text_bytes(c.in)), c.out) << c.in;
    // Leading zero bytes become leading "1" digits.
    EXPECT_EQ(encode(58, {0, 0, 1}), "112");
    EXPECT_EQ(encode(58, {0, 0}), "11");
    EXPECT_EQ(bytes_of(decode(58, "112")), (Bytes{0, 0, 1}));
}

TEST_F(BinaryTest, DecodersSkipBlanksAndComments) {
    EXPECT_EQ(bytes_of(decode(64, "Zm9v\nYmFy")), text_bytes("foobar"));
    EXPECT_EQ(bytes_of(decode(64, "Zm9v ; a comment\r\nYmFy")), text_bytes("foobar"));
    EXPECT_EQ(bytes_of(decode(64, "Zg==ignored!")), text_bytes("f"));
    EXPECT_EQ(bytes_of(decode(64, "Zm8")), text_bytes("fo"));  // a group cut short after 3 characters
    EXPECT_EQ(bytes_of(decode(16, " 66 6f\t6F ; foo\n")), text_bytes("foo"));
    EXPECT_EQ(bytes_of(decode(16, "")), Bytes{});
    EXPECT_EQ(bytes_of(decode(2, "0100 0001 ; A\n01000010")), text_bytes("AB"));
    EXPECT_EQ(bytes_of(decode(58, "2NEpo7TZRRrLZSi2U")), text_bytes("Hello World!"));
    EXPECT_EQ(bytes_of(decode(58, "2NEpo7TZ RRrLZSi2U")), text_bytes("Hello World!"));
}

TEST_F(BinaryTest, DecodersRejectInvalidText) {
    struct Case { u32 base; const char* text; };
    const Case cases[] = {
        {64, "Z"},        // ends after one character of a group
        {64, "Zm9vY"},    // the same after a whole group
        {64, "Zm9v!"},    // outside the alphabet
        {64, "Z==="},     // padding after one character
        {64, "Zm9v="},    // padding with no character of the group
        {2, "0100000"},   // 7 digits
        {2, "01000002"},
        {16, "6G"},
        {16, "666"},      // a lone last digit is no byte
        {58, "0"}, {58, "O"}, {58, "I"}, {58, "l"}, {58, "2+"},
    };
    for (const Case& c : cases) EXPECT_EQ(decode(c.base, c.text), 0u) << c.base << " " << c.text;
}

TEST_F(BinaryTest, DecodersTreatCharactersAbove127) {
    // Wide strings: a code point above 127 is never a digit of any base.
    EXPECT_EQ(decode(64, "Zm9v\xC3", 2), 0u);
    EXPECT_EQ(decode(16, "66\xC1", 2), 0u);  // not read as "A" modulo 128
    EXPECT_EQ(decode(2, "0\xB0", 4), 0u);
    EXPECT_EQ(decode(58, "2NEpo7TZRRrLZSi2U\xE9zzz", 2), 0u);
}

TEST_F(BinaryTest, EncodedSizes) {
    EXPECT_EQ(binary::encoded_size(64, 4), 8u);
    EXPECT_EQ(binary::encoded_size(16, 3), 6u);
    EXPECT_EQ(binary::encoded_size(2, 0x20000000), u64(0x100000000));
    EXPECT_EQ(binary::encoded_size(7, 3), 0u);
}

// ---- Byte helpers ------------------------------------------------------------------

TEST_F(BinaryTest, ByteHelpers) {
    Cell* b = B("0102");
    binary::zs_append(b, from_hex("0304").data(), 2);
    binary::zs_append_int(0x0A0B0C0D, b);
    EXPECT_EQ(H(b), "010203040A0B0C0D");
    binary::zs_insert(b, 1, from_hex("FF").data(), 1);
    EXPECT_EQ(H(b), "01FF0203040A0B0C0D");
    binary::zs_overwrite(b, 7, from_hex("EEEEEE").data(), 3);  // passes the tail
    EXPECT_EQ(H(b), "01FF0203040A0BEEEEEE");
    binary::zs_skip(b, 8);
    EXPECT_EQ(binary::zs_length_q(b), 2u);
    binary::zs_clear(b);
    series_head(b) = 0;
    EXPECT_EQ(H(b), "01FF0203040A0BEE");
    EXPECT_EQ(binary::zs_abs_at(b, 1), 0xFF);

    // A buffer's own bytes appended to itself, through growth.
    Cell* s = B("0123456789");
    for (int i = 0; i < 6; i++) binary::zs_append(s, binary::zs_head(s), binary::zs_length_q(s));
    EXPECT_EQ(binary::zs_length_q(s), 5u * 64);
    EXPECT_EQ(H(s).substr(0, 20), "01234567890123456789");
    binary::zs_insert(s, 0, binary::zs_head(s) + 1, 2);
    EXPECT_EQ(H(s).substr(0, 8), "23450123");

    EXPECT_EQ(binary::get_byte(test::push_integer(255)), 255);
    EXPECT_EQ(binary::get_byte(C('a')), 'a');
    EXPECT_EQ(error_of([] { binary::get_byte(test::push_integer(256)); }), "script/invalid-arg");
    EXPECT_EQ(error_of([] { binary::get_byte(test::push_integer(-1)); }), "script/invalid-arg");
    EXPECT_EQ(error_of([] { binary::get_byte(C(0x100)); }), "script/invalid-arg");
    EXPECT_EQ(error_of([] { binary::get_byte(S("a")); }), "script/invalid-arg");
}

// ---- Conversion ------------------------------------------------------------------------

TEST_F(BinaryTest, ToBinary) {
    struct Case { const char* source; const char* result; };
    const Case cases[] = {
        {"1", "#{00000001}"},
        {"-2", "#{FFFFFFFE}"},
        {"#\"\u00E9\"", "#{C3A9}"},
        {"\"a\u00E9\u20AC\"", "#{61C3A9E282AC}"},
        {"%a/b", "#{612F62}"},
        {"http://h", "#{687474703A2F2F68}"},
        {"1.0", "#{3FF0000000000000}"},
        {"#{00AABB}", "#{00AABB}"},
        {"#DEADbeef", "#{DEADBEEF}"},
        {"#xyz", "script/invalid-data"},
        {"[1 #\"a\" \"bc\" #{FF} (2)]", "#{01616263FF02}"},
        {"[[1 [2]] 3]", "#{010203}"},
        {"[256]", "script/invalid-arg"},  // insert's rules: an integer is one byte
        {"[1.5]", "script/bad-to-arg"},
        {"none", "script/bad-to-arg"},    // the word
    };
    for (const Case& c : cases) EXPECT_EQ(to_binary(c.source), c.result) << c.source;

    auto to = [](Cell* spec) { return H(binary::to(stack::push_star(), spec, TYPE_BINARY)); };
    Cell* src = B("00AABB");
    series_head(src) = 1;
    EXPECT_EQ(to(src), "AABB");

    Cell* tuple = make_cell(stack::push_star(), TYPE_TUPLE | (3u << 19), 0, 0, 0);
    u8 tb[3] = {1, 2, 250};
    std::memcpy(&tuple->data1, tb, 3);
    EXPECT_EQ(to(tuple), "0102FA");

    Cell* bits = make_cell(stack::push_star(), TYPE_BITSET, 0, alloc_bytes(2), 0);
    binary::zs_append(make_cell(stack::push_star(), TYPE_BINARY, 0, bits->data2, 0), from_hex("8001").data(), 2);
    EXPECT_EQ(to(bits), "8001");
}

TEST_F(BinaryTest, ToBinaryOfBlockHoldingItself) {
    Cell* self = make_cell(stack::push_star(), TYPE_BLOCK, 0, alloc_cells(4), 0);
    copy_cell(test::push_integer(7), alloc_at_tail(series_node(self)));
    copy_cell(self, alloc_at_tail(series_node(self)));
    EXPECT_EQ(H(binary::to(stack::push_star(), self, TYPE_BINARY)), "07");
}

// ---- Mold --------------------------------------------------------------------------------

TEST_F(BinaryTest, MoldShortAndLong) {
    EXPECT_EQ(molded(B("0A0B0C")), "#{0A0B0C}");
    EXPECT_EQ(molded(B("")), "#{}");
    EXPECT_EQ(molded(B("0A0B0C"), false, 0, true), "0A0B0C");

    std::string d30(60, 'A');
    EXPECT_EQ(molded(B(d30)), "#{" + d30 + "}");  // 30 bytes stay on one line

    std::string d31(62, 'B');
    EXPECT_EQ(molded(B(d31)), "#{\n    " + d31 + "\n}");
    EXPECT_EQ(molded(B(d31), false, 1), "#{\n        " + d31 + "\n    }");
    EXPECT_EQ(molded(B(d31), true), "#{" + d31 + "}");

    std::string d64(128, 'C');
    EXPECT_EQ(molded(B(d64)), "#{\n    " + d64.substr(0, 64) + "\n    " + d64.substr(64) + "\n    }");

    // form writes what mold writes.
    Cell* buf = string::make_push(16);
    binary::form(B("0102"), buf, nullptr, 100);
    EXPECT_EQ(text_of(buf), "#{0102}");
}

TEST_F(BinaryTest, MoldPartStopsEarly) {
    Cell* buf = string::make_push(16);
    Cell* limit = test::push_integer(8);
    i32 left = binary::mold(B("0102030405060708"), buf, false, false, false, limit, 8, 0);
    // "#{" leaves 6; a byte leaves 4; the next would leave 2, below 3.
    EXPECT_EQ(text_of(buf), "#{01}");
    EXPECT_EQ(left, 3);
}

// ---- Comparison ------------------------------------------------------------------------

TEST_F(BinaryTest, Compare) {
    Cell* a = B("0102");
    EXPECT_EQ(binary::compare(a, B("0102"), COMP_EQUAL), 0);
    EXPECT_NE(binary::compare(a, B("010203"), COMP_EQUAL), 0);
    EXPECT_EQ(binary::compare(a, B("010203"), COMP_LESSER), -1);
    EXPECT_EQ(binary::compare(a, B("0101FF"), COMP_LESSER), 1);
    EXPECT_EQ(binary::compare(B("FF"), B("01"), COMP_SORT), 1);  // bytes are unsigned
    EXPECT_EQ(binary::compare(a, S("ab"), COMP_EQUAL), -2);
    EXPECT_EQ(binary::compare(a, a, COMP_SAME), 0);
    EXPECT_EQ(binary::compare(a, B("0102"), COMP_SAME), -1);

    // equal? reads strings through their UTF-8 bytes; match mode is a prefix test.
    EXPECT_EQ(binary::equal_q(B("C3A9"), S("é"), COMP_EQUAL, false), 0);
    EXPECT_EQ(binary::equal_q(B("616263"), S("ab"), COMP_EQUAL, true), 0);
    EXPECT_EQ(binary::equal_q(B("61"), S("ab"), COMP_EQUAL, true), 1);  // never past the end
    EXPECT_EQ(binary::equal_q(B("61"), S(""), COMP_EQUAL, true), 0);
    EXPECT_EQ(binary::equal_q(B("61"), S(""), COMP_LESSER, true), 1);
    EXPECT_EQ(binary::equal_q(a, test::push_integer(1), COMP_EQUAL, false), -2);

    EXPECT_TRUE(binary::match_q(B("6162"), C('a'), COMP_EQUAL));
    EXPECT_FALSE(binary::match_q(B(""), C('a'), COMP_EQUAL));
    EXPECT_TRUE(binary::match_q(B("6162"), B("61"), COMP_EQUAL));
    EXPECT_FALSE(binary::match_q(B("6162"), test::push_integer(1), COMP_EQUAL));

    // Bitset membership of the byte at the head; beyond the bits: the complement flag.
    Cell* bits = make_cell(stack::push_star(), TYPE_BITSET, 0, alloc_bytes(1), 0);
    binary::zs_append(make_cell(stack::push_star(), TYPE_BINARY, 0, bits->data2, 0), from_hex("40").data(), 1);
    EXPECT_TRUE(binary::match_bitset(B("01"), bits));
    EXPECT_FALSE(binary::match_bitset(B("02"), bits));
    EXPECT_FALSE(binary::match_bitset(B("FF"), bits));
    GET_BUFFER(bits->data2)->flags |= 0x00080000;
    EXPECT_TRUE(binary::match_bitset(B("FF"), bits));
}

// ---- insert, append, change, trim --------------------------------------------------------

// insert, append and change at a position of a loaded binary: the whole
// binary molded afterwards and the index answered, or the error raised.
struct EditCase {
    const char* target;
    u32 at;
    const char* value;
    const char* result;
    u32 index;
};

std::string edit(const EditCase& c, int op, u32& index) {
    Cell* bin = V(c.target);
    series_head(bin) = c.at;
    Cell* value = V(c.value);
    std::string err = error_of([&] {
        if (op == 2) binary::change(bin, value, nullptr, false, nullptr);
        else binary::insert(bin, value, nullptr, false, nullptr, op == 1);
    });
    if (!err.empty()) return err;
    index = series_head(bin);
    series_head(bin) = 0;
    return M(bin);
}

TEST_F(BinaryTest, EditTables) {
    const EditCase inserts[] = {
        {"#{0102}", 1, "#{AABB}", "#{01AABB02}", 3},
        {"#{0102}", 2, "\"\u00E9\"", "#{0102C3A9}", 4},
        {"#{0102}", 0, "#\"A\"", "#{410102}", 1},
        {"#{}", 0, "[1 \"a\" #{FF} [2]]", "#{0161FF02}", 4},
        {"#{0102}", 0, "%f", "#{660102}", 1},
        {"#{0102}", 0, "300", "script/invalid-arg", 0},
        {"#{0102}", 0, "1.5", "script/bad-to-arg", 0},
        {"#{0102}", 0, "word", "script/bad-to-arg", 0},
    };
    for (const EditCase& c : inserts) {
        u32 index = 0;
        EXPECT_EQ(edit(c, 0, index), c.result) << c.value;
        EXPECT_EQ(index, c.index) << c.value;
    }
    const EditCase appends[] = {
        {"#{0102}", 1, "#{AA}", "#{0102AA}", 0},
        {"#{}", 0, "255", "#{FF}", 0},
    };
    for (const EditCase& c : appends) {
        u32 index = 9;
        EXPECT_EQ(edit(c, 1, index), c.result) << c.value;
        EXPECT_EQ(index, c.index) << c.value;
    }
    const EditCase changes[] = {
        {"#{0102030405}", 1, "#{AABB}", "#{01AABB0405}", 3},
        {"#{0102}", 1, "#{AABBCC}", "#{01AABBCC}", 4},  // runs past the tail
        {"#{0102}", 2, "#{AA}", "#{0102AA}", 3},         // at the tail: appends
        {"#{0102}", 0, "word", "#{776F7264}", 4},       // other values are formed
        {"#{0102}", 0, "1.5", "#{312E35}", 3},
        {"#{0102}", 0, "300", "script/invalid-arg", 0},
    };
    for (const EditCase& c : changes) {
        u32 index = 0;
        EXPECT_EQ(edit(c, 2, index), c.result) << c.value;
        EXPECT_EQ(index, c.index) << c.value;
    }
}

TEST_F(BinaryTest, InsertAndAppend) {
    Cell* b = B("0102");
    series_head(b) = 1;
    binary::insert(b, B("AABB"), nullptr, false, nullptr, false);
    EXPECT_EQ(series_head(b), 3u);  // just past the inserted bytes
    series_head(b) = 0;
    EXPECT_EQ(H(b), "01AABB02");

    series_head(b) = 2;
    binary::insert(b, S("é"), nullptr, false, nullptr, true);
    EXPECT_EQ(series_head(b), 0u);  // append answers the head
    EXPECT_EQ(H(b), "01AABB02C3A9");

    Cell* d = B("");
    binary::insert(d, B("0102"), nullptr, false, test::push_integer(3), true);
    EXPECT_EQ(H(d), "010201020102");
    binary::insert(d, B("FFEE"), test::push_integer(1), false, test::push_integer(2), false);  // /part 1 /dup 2
    series_head(d) = 0;
    EXPECT_EQ(H(d), "FFFF010201020102");
    binary::insert(d, test::push_integer(7), nullptr, false, test::push_integer(0), true);
    EXPECT_EQ(H(d), "FFFF010201020102");

    // A head left past the tail by another value is clamped.
    Cell* e = B("0102");
    series_head(e) = 9;
    binary::insert(e, C('A'), nullptr, false, nullptr, false);
    series_head(e) = 0;
    EXPECT_EQ(H(e), "010241");

    // Into itself.
    Cell* self = B("0102");
    binary::insert(self, self, nullptr, false, nullptr, true);
    EXPECT_EQ(H(self), "01020102");

    Cell* blk = make_cell(stack::push_star(), TYPE_BLOCK, 0, alloc_cells(4), 0);
    copy_cell(test::push_integer(9), alloc_at_tail(series_node(blk)));
    copy_cell(S("z"), alloc_at_tail(series_node(blk)));
    binary::insert(self, blk, nullptr, false, nullptr, true);
    EXPECT_EQ(H(self), "0102010209" "7A");

    EXPECT_EQ(error_of([&] { binary::insert(B(""), test::push_integer(300), nullptr, false, nullptr, true); }), "script/invalid-arg");
    Cell* f = make_cell(stack::push_star(), TYPE_FLOAT);
    EXPECT_EQ(error_of([&] { binary::insert(B(""), f, nullptr, false, nullptr, true); }), "script/bad-to-arg");
    EXPECT_EQ(error_of([&] { binary::insert(B("01"), B("0102"), nullptr, false, test::push_integer(0x7FFFFFFF), true); }),
              "internal/no-memory");
}

TEST_F(BinaryTest, Change) {
    Cell* b = B("0102030405");
    series_head(b) = 1;
    binary::change(b, B("AABB"), nullptr, false, nullptr);
    EXPECT_EQ(series_head(b), 3u);
    series_head(b) = 0;
    EXPECT_EQ(H(b), "01AABB0405");

    series_head(b) = 1;
    binary::change(b, B("CC"), test::push_integer(3), false, nullptr);  // a longer range replaced by one byte
    series_head(b) = 0;
    EXPECT_EQ(H(b), "01CC05");

    series_head(b) = 1;
    binary::change(b, B("DDDD"), test::push_integer(0), false, test::push_integer(2));  // an empty range: inserts
    series_head(b) = 0;
    EXPECT_EQ(H(b), "01DDDDDDDDCC05");

    series_head(b) = 6;
    binary::change(b, B("EEEE"), nullptr, false, nullptr);  // runs past the tail
    series_head(b) = 0;
    EXPECT_EQ(H(b), "01DDDDDDDDCCEEEE");

    // Other values are formed.
    Cell* f = make_cell(stack::push_star(), TYPE_DATATYPE, TYPE_BINARY);
    Cell* c = B("00");
    binary::change(c, f, nullptr, false, nullptr);
    series_head(c) = 0;
    EXPECT_EQ(H(c), "62696E617279");  // "binary"
}

TEST_F(BinaryTest, Trim) {
    auto trim = [](const char* hex, bool head, bool tail, bool all, Cell* with) {
        Cell* b = B(hex);
        binary::trim(b, head, tail, false, false, all, with);
        return H(b);
    };
    EXPECT_EQ(trim("000100020000", false, false, false, nullptr), "010002");
    EXPECT_EQ(trim("000100020000", true, false, false, nullptr), "0100020000");
    EXPECT_EQ(trim("000100020000", false, true, false, nullptr), "00010002");
    EXPECT_EQ(trim("000100020000", true, true, false, nullptr), "010002");
    EXPECT_EQ(trim("000100020000", false, false, true, nullptr), "0102");
    EXPECT_EQ(trim("0001000200", false, false, false, test::push_integer(1)), "00000200");
    EXPECT_EQ(trim("0001000200", false, false, false, B("0002")), "01");
    EXPECT_EQ(trim("0000", false, false, false, nullptr), "");

    Cell* b = B("00010000");
    series_head(b) = 2;  // trims from the head only
    binary::trim(b, false, false, false, false, false, nullptr);
    series_head(b) = 0;
    EXPECT_EQ(H(b), "0001");

    EXPECT_EQ(error_of([] { binary::trim(B("00"), false, false, true, false, false, nullptr); }), "internal/not-done");
    EXPECT_EQ(error_of([] { binary::trim(B("00"), false, false, false, true, false, nullptr); }), "internal/not-done");
}

// ---- Bitwise ---------------------------------------------------------------------------------

TEST_F(BinaryTest, BitwiseWithUnequalLengths) {
    auto op = [](const char* a, const char* b, i32 code) {
        Cell* result = stack::push_star();
        return H(binary::do_bitwise(B(a), B(b), result, code));
    };
    EXPECT_EQ(op("F0F0", "FF00FF00", 6), "F0000000");
    EXPECT_EQ(op("F0F0", "0F0FAABB", 5), "FFFFAABB");
    EXPECT_EQ(op("0F0FAABB", "F0F0", 5), "FFFFAABB");
    EXPECT_EQ(op("FFFF", "0F0FAABB", 7), "F0F0AABB");
    EXPECT_EQ(op("", "", 7), "");
    EXPECT_EQ(error_of([] { binary::do_bitwise(B("01"), test::push_integer(1), stack::push_star(), 6); }), "script/invalid-arg");

    // The stack form leaves the result in the first argument, which may be an operand.
    Cell* a = B("0102");
    B("FF");
    Cell* saved = stack::arguments;
    stack::arguments = a;
    binary::and_t();
    stack::arguments = saved;
    EXPECT_EQ(H(a), "0100");

    Cell* c = B("00FF0F");
    series_head(c) = 1;
    binary::complement(c);
    series_head(c) = 0;
    EXPECT_EQ(H(c), "0000F0");
}

// ---- Inherited actions ---------------------------------------------------------------------

TEST_F(BinaryTest, InheritedFindAndSelect) {
    auto find = reinterpret_cast<action_fn::Find>(datatype::action_table[TYPE_BINARY][ACT_FIND]);
    Cell* b = B("0102030203");
    Cell* r = find(b, B("0203"), nullptr, false, false, false, false, nullptr, nullptr, true, false, false, false);
    ASSERT_EQ(TYPE_OF(r), TYPE_BINARY);
    EXPECT_EQ(series_head(r), 3u);  // /last
}
