// The block compressor: round trips over block boundaries, the cases left
// uncompressed, and malformed items that must be refused without reading or
// allocating past what the item holds.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "loader/crush.h"

using namespace zav;

namespace {

std::vector<u8> text_like(size_t n, u32 seed) {
    static const char* words[] = {"alpha ", "beta ", "gamma ", "delta\n", "[block] ", "42 ", "word: ", "\"text\" "};
    std::mt19937 rng(seed);
    std::vector<u8> v;
    while (v.size() < n) {
        const char* w = words[rng() % 8];
        v.insert(v.end(), w, w + std::strlen(w));
    }
    v.resize(n);
    return v;
}

std::vector<u8> packed(const std::vector<u8>& data) {
    std::vector<u8> out(data.size());
    i32 n = crush::compress(data.data(), static_cast<u32>(data.size()), out.data());
    if (n < 0) return {};
    out.resize(static_cast<size_t>(n));
    return out;
}

std::vector<u8> unpacked(const std::vector<u8>& item, bool* ok) {
    u32 size = 0;
    u8* p = crush::decompress(item.data(), item.size(), &size);
    *ok = p != nullptr;
    if (!p) return {};
    std::vector<u8> v(p, p + size);
    crush::free(p);
    return v;
}

u32 get_u32(const u8* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<u32>(p[3]) << 24; }
void put_u32(u8* p, u32 v) {
    for (int k = 0; k < 4; k++) p[k] = static_cast<u8>(v >> (8 * k));
}

}  // namespace

TEST(Crush, RoundTripsAcrossBlockBoundaries) {
    for (size_t size : {size_t{128}, size_t{5000}, size_t{crush::BLOCK_SIZE}, size_t{crush::BLOCK_SIZE + 1},
                        size_t{3 * crush::BLOCK_SIZE + 77}}) {
        SCOPED_TRACE(size);
        auto data = text_like(size, static_cast<u32>(size));
        auto item = packed(data);
        ASSERT_FALSE(item.empty());
        EXPECT_EQ(get_u32(item.data()), item.size() - 8);
        EXPECT_EQ(get_u32(item.data() + 4), size);
        EXPECT_EQ(get_u32(item.data() + 8), std::min<size_t>(size, crush::BLOCK_SIZE));
        bool ok;
        EXPECT_EQ(unpacked(item, &ok), data);
        EXPECT_TRUE(ok);
        if (size == crush::BLOCK_SIZE + 1) {
            // The second block holds the last byte alone: its length 1, then a
            // literal (a 0 bit and the byte) padded to two bytes.
            const u8* end = item.data() + item.size();
            u8 last = data.back();
            EXPECT_EQ(get_u32(end - 6), 1u);
            EXPECT_EQ(end[-2], static_cast<u8>(last << 1));
            EXPECT_EQ(end[-1], last >> 7);
        }
    }
}

TEST(Crush, LongRunIsOneLiteralAndNearMatches) {
    std::vector<u8> data(1000, 'z');
    auto item = packed(data);
    ASSERT_FALSE(item.empty());
    // A literal (9 bits) and two matches of at most 566 bytes at distance 1.
    EXPECT_LT(item.size(), 8u + 4 + 10);
    bool ok;
    EXPECT_EQ(unpacked(item, &ok), data);
}

TEST(Crush, LeavesShortAndIncompressibleDataAlone) {
    std::vector<u8> small(127, 'a');
    EXPECT_EQ(crush::compress(small.data(), 127, std::vector<u8>(127).data()), -1);
    std::mt19937 rng(7);
    std::vector<u8> noise(100000);
    for (auto& b : noise) b = static_cast<u8>(rng());
    std::vector<u8> out(noise.size());
    EXPECT_EQ(crush::compress(noise.data(), static_cast<u32>(noise.size()), out.data()), -1);
}

TEST(Crush, RefusesMalformedItems) {
    auto data = text_like(20000, 3);
    auto good = packed(data);
    ASSERT_FALSE(good.empty());
    auto with = [&](auto edit) {
        auto item = good;
        edit(item);
        bool ok;
        unpacked(item, &ok);
        return ok;
    };
    EXPECT_FALSE(with([](auto& v) { put_u32(v.data() + 8, 0); }));                  // block length 0
    EXPECT_FALSE(with([](auto& v) { put_u32(v.data() + 8, crush::BLOCK_SIZE + 1); }));  // too long
    EXPECT_FALSE(with([](auto& v) { put_u32(v.data(), get_u32(v.data()) + 1); }));  // packed past the end
    EXPECT_FALSE(with([](auto& v) { v.resize(v.size() - 3); }));                   // truncated
    EXPECT_FALSE(with([](auto& v) { put_u32(v.data() + 4, get_u32(v.data() + 4) + 1); }));  // size claims more
    EXPECT_FALSE(with([](auto& v) { put_u32(v.data() + 4, 0xFFFFFFF0u); }));     // huge claim
    EXPECT_FALSE(with([](auto& v) { v[8 + 4] |= 1; }));                          // first symbol a match
    EXPECT_FALSE(crush::decompress(good.data(), 7, nullptr));
    EXPECT_FALSE(crush::decompress(nullptr, 0, nullptr));
    // Every truncation point fails cleanly.
    for (size_t cut = 0; cut < good.size(); cut += 97) {
        std::vector<u8> item(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
        bool ok;
        unpacked(item, &ok);
        EXPECT_FALSE(ok) << cut;
    }
}
