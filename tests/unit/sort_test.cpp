// Sorting: results against the standard library, stability, presorted input,
// comparator call counts and the merge sort's size check.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <string>
#include <vector>

#include "datatypes/error.h"
#include "runtime/sort.h"

using namespace zav;

namespace {

// A record of W bytes: the key is its first min(W, 4) bytes read as a
// little-endian number, the rest is payload that the comparator ignores.
template <size_t W>
using Rec = std::array<u8, W>;

template <size_t W>
u32 key_of(const u8* p) {
    u32 k = 0;
    for (size_t i = 0; i < std::min<size_t>(W, 4); i++) k |= u32(p[i]) << (8 * i);
    return k;
}

// ctx1: non-zero sorts in reverse; ctx2: a u64 counter of calls, or 0.
template <size_t W>
int by_key(const void* a, const void* b, uintptr_t reverse, uintptr_t counter) {
    if (counter) ++*reinterpret_cast<u64*>(counter);
    u32 x = key_of<W>(static_cast<const u8*>(a)), y = key_of<W>(static_cast<const u8*>(b));
    int c = x < y ? -1 : x > y ? 1 : 0;
    return reverse ? -c : c;
}

enum class Shape { Random, FewKeys, Equal, Sorted, Reversed, NearlySorted, OrganPipe, Sawtooth };

const char* name_of(Shape s) {
    switch (s) {
        case Shape::Random: return "random";
        case Shape::FewKeys: return "few keys";
        case Shape::Equal: return "equal";
        case Shape::Sorted: return "sorted";
        case Shape::Reversed: return "reversed";
        case Shape::NearlySorted: return "nearly sorted";
        case Shape::OrganPipe: return "organ pipe";
        case Shape::Sawtooth: return "sawtooth";
    }
    return "?";
}

const Shape kShapes[] = {Shape::Random, Shape::FewKeys, Shape::Equal, Shape::Sorted,
                         Shape::Reversed, Shape::NearlySorted, Shape::OrganPipe, Shape::Sawtooth};
const u32 kSizes[] = {0, 1, 2, 3, 7, 8, 9, 23, 24, 25, 64, 100, 511, 512, 1000, 5000, 40000};

// Keys follow the shape; every payload byte holds the record's input
// position, so stability and permutation can be checked.
template <size_t W>
std::vector<Rec<W>> make_input(Shape shape, u32 n, u32 seed) {
    std::mt19937 rng(seed);
    u32 key_mask = W >= 4 ? 0xFFFFFFFFu : (1u << (8 * W)) - 1;
    std::vector<Rec<W>> v(n);
    for (u32 i = 0; i < n; i++) {
        u32 k = 0;
        switch (shape) {
            case Shape::Random: k = rng(); break;
            case Shape::FewKeys: k = rng() % 5; break;
            case Shape::Equal: k = 7; break;
            case Shape::Sorted: k = i; break;
            case Shape::Reversed: k = n - i; break;
            case Shape::NearlySorted: k = rng() % 50 ? i : rng(); break;
            case Shape::OrganPipe: k = i < n / 2 ? i : n - i; break;
            case Shape::Sawtooth: k = i % 37; break;
        }
        // Narrow keys keep their order where the shape is monotone.
        if (W < 4 && (shape == Shape::Sorted || shape == Shape::Reversed))
            k = u32(u64(k) * key_mask / std::max<u32>(n, 1));
        k &= key_mask;
        for (size_t b = 0; b < W; b++) v[i][b] = b < 4 ? u8(k >> (8 * b)) : u8(i >> (8 * ((b - 4) % 4)));
    }
    return v;
}

template <size_t W>
bool key_less(const Rec<W>& a, const Rec<W>& b) {
    return key_of<W>(a.data()) < key_of<W>(b.data());
}

template <size_t W>
void check_both_sorts(u32 seed) {
    for (Shape shape : kShapes) {
        for (u32 n : kSizes) {
            SCOPED_TRACE(std::string(name_of(shape)) + ", width " + std::to_string(W) + ", count " +
                         std::to_string(n));
            auto input = make_input<W>(shape, n, seed + n);

            // The merge sort matches std::stable_sort byte for byte, payload included.
            auto stable = input;
            sort::mergesort(stable.data(), n, W, 0, 0, by_key<W>);
            auto expect = input;
            std::stable_sort(expect.begin(), expect.end(), key_less<W>);
            ASSERT_TRUE(stable == expect);

            // The quicksort gives the same keys and keeps every record.
            auto quick = input;
            sort::qsort(quick.data(), n, W, 0, 0, by_key<W>);
            ASSERT_TRUE(std::is_sorted(quick.begin(), quick.end(), key_less<W>));
            auto a = quick, b = input;
            std::sort(a.begin(), a.end());
            std::sort(b.begin(), b.end());
            ASSERT_TRUE(a == b);
        }
    }
}

u64 calls_of(void (*sorter)(void*, u32, u32, uintptr_t, uintptr_t, sort::Comparator), std::vector<u32>& v) {
    u64 calls = 0;
    sorter(v.data(), u32(v.size()), 4, 0, reinterpret_cast<uintptr_t>(&calls), by_key<4>);
    return calls;
}

struct Sorter {
    const char* name;
    void (*fn)(void*, u32, u32, uintptr_t, uintptr_t, sort::Comparator);
};
const Sorter kSorters[] = {{"mergesort", sort::mergesort}, {"qsort", sort::qsort}};

}  // namespace

TEST(Sort, MatchesStandardSortsAcrossWidthsAndShapes) {
    check_both_sorts<1>(1);
    check_both_sorts<3>(2);  // not a multiple of 4: byte-wise moves
    check_both_sorts<4>(3);
    check_both_sorts<8>(4);
    check_both_sorts<12>(5);
    check_both_sorts<16>(6);
}

TEST(Sort, ReverseComparatorGivesDescendingOrder) {
    for (u32 n : {2u, 30u, 1000u, 20000u}) {
        auto input = make_input<8>(Shape::FewKeys, n, n);
        auto expect = input;
        std::stable_sort(expect.begin(), expect.end(), [](const Rec<8>& a, const Rec<8>& b) { return key_less<8>(b, a); });

        auto stable = input;
        sort::mergesort(stable.data(), n, 8, 1, 0, by_key<8>);
        EXPECT_TRUE(stable == expect) << n;

        auto quick = input;
        sort::qsort(quick.data(), n, 8, 1, 0, by_key<8>);
        for (u32 i = 1; i < n; i++) ASSERT_GE(key_of<8>(quick[i - 1].data()), key_of<8>(quick[i].data())) << n;
    }
}

TEST(Sort, StableSortKeepsInputOrderOfEqualKeys) {
    // Key first, then the input position; equal keys must come out by position.
    struct Item {
        u32 key, pos;
    };
    auto by_item_key = [](const void* a, const void* b, uintptr_t, uintptr_t) {
        u32 x = static_cast<const Item*>(a)->key, y = static_cast<const Item*>(b)->key;
        return x < y ? -1 : x > y ? 1 : 0;
    };
    std::mt19937 rng(11);
    for (u32 n : {2u, 25u, 48u, 1000u, 30000u}) {
        std::vector<Item> items(n);
        for (u32 i = 0; i < n; i++) items[i] = {u32(rng() % 10), i};
        sort::mergesort(items.data(), n, sizeof(Item), 0, 0, by_item_key);
        for (u32 i = 1; i < n; i++) {
            ASSERT_LE(items[i - 1].key, items[i].key);
            if (items[i - 1].key == items[i].key) {
                ASSERT_LT(items[i - 1].pos, items[i].pos) << n;
            }
        }
    }
}

TEST(Sort, DescendingRunsWithEqualNeighboursStayStable) {
    // 5 5 4 4 3 3 ... : not one strictly descending run, so nothing equal is
    // reversed past its twin.
    std::vector<Rec<8>> v;
    for (u32 i = 0; i < 60; i++) {
        Rec<8> r{};
        r[0] = u8(100 - i / 2);
        r[4] = u8(i);
        v.push_back(r);
    }
    auto expect = v;
    std::stable_sort(expect.begin(), expect.end(), key_less<8>);
    sort::mergesort(v.data(), u32(v.size()), 8, 0, 0, by_key<8>);
    EXPECT_TRUE(v == expect);
}

TEST(Sort, ZeroOrOneElementNeverCallsTheComparator) {
    for (const Sorter& s : kSorters) {
        for (u32 n : {0u, 1u}) {
            std::vector<u32> v(n, 42);
            EXPECT_EQ(calls_of(s.fn, v), 0u) << s.name << " " << n;
        }
    }
}

TEST(Sort, PresortedInputTakesOnePass) {
    // Sorted, strictly descending and all-equal input are recognised with
    // count - 1 comparisons and come out ascending.
    const u32 n = 10000;
    for (const Sorter& s : kSorters) {
        std::vector<u32> up(n), down(n), same(n, 3);
        for (u32 i = 0; i < n; i++) up[i] = i, down[i] = n - i;
        EXPECT_EQ(calls_of(s.fn, up), n - 1) << s.name;
        EXPECT_EQ(calls_of(s.fn, down), n - 1) << s.name;
        EXPECT_EQ(calls_of(s.fn, same), n - 1) << s.name;
        EXPECT_TRUE(std::is_sorted(down.begin(), down.end())) << s.name;
        EXPECT_EQ(down.front(), 1u);
    }
}

TEST(Sort, QuicksortPutsEqualElementsInTheMiddleInOnePass) {
    // 30 equal elements: one partition pass puts all of them beside the pivot,
    // leaving nothing on either side to sort.
    std::vector<u32> v(30, 9);
    u64 calls = 0;
    sort::Args args(4, 0, reinterpret_cast<uintptr_t>(&calls), by_key<4>);
    sort::quicksort(reinterpret_cast<u8*>(v.data()), 30, args, 0);
    EXPECT_LE(calls, 30u);
}

TEST(Sort, ComparisonsStayNearLinearithmicOnHardInputs) {
    // Inputs that defeat naive pivot choices must not drive either sort quadratic.
    const u32 n = 50000;
    std::vector<std::vector<u32>> inputs;
    std::vector<u32> v(n);
    for (u32 i = 0; i < n; i++) v[i] = i < n / 2 ? i : n - i;  // organ pipe
    inputs.push_back(v);
    for (u32 i = 0; i < n; i++) v[i] = i % 2 ? i : n + i;  // interleaved ramps
    inputs.push_back(v);
    for (u32 i = 0; i < n; i++) v[i] = i % 3;  // few values
    inputs.push_back(v);
    for (u32 i = 0; i < n; i++) v[i] = n - i;
    v[n / 2] = 0;  // reversed with one stray element
    inputs.push_back(v);
    for (u32 i = 0; i < n; i++) v[i] = i;
    std::swap(v[0], v[n - 1]);  // sorted with the ends exchanged
    inputs.push_back(v);
    // Two interleaved ramps, alternating which one leads.
    for (u32 i = 0; i < n / 2; i++) {
        v[2 * i] = i % 2 ? n / 2 + i : i + 1;
        v[2 * i + 1] = i % 2 ? i + 1 : n / 2 + i;
    }
    inputs.push_back(v);
    const u64 bound = u64(3) * n * 16;  // 3 n log2 n
    for (size_t k = 0; k < inputs.size(); k++) {
        for (const Sorter& s : kSorters) {
            auto w = inputs[k];
            EXPECT_LT(calls_of(s.fn, w), bound) << s.name << " input " << k;
            EXPECT_TRUE(std::is_sorted(w.begin(), w.end())) << s.name << " input " << k;
        }
    }
}

namespace {
// An adversary that decides the order of still-undecided elements as the
// comparisons come in, in the way that hurts a quicksort most.
struct Adversary {
    std::vector<u32> val;
    u32 gas, solid = 0, candidate = 0;
    u64 calls = 0;
    explicit Adversary(u32 n) : val(n, n - 1), gas(n - 1) {}
    static int compare(const void* a, const void* b, uintptr_t self, uintptr_t) {
        auto& s = *reinterpret_cast<Adversary*>(self);
        s.calls++;
        u32 x = *static_cast<const u32*>(a), y = *static_cast<const u32*>(b);
        if (s.val[x] == s.gas && s.val[y] == s.gas) s.val[x == s.candidate ? x : y] = s.solid++;
        if (s.val[x] == s.gas) s.candidate = x;
        else if (s.val[y] == s.gas) s.candidate = y;
        return s.val[x] < s.val[y] ? -1 : s.val[x] > s.val[y] ? 1 : 0;
    }
};
}  // namespace

TEST(Sort, QuicksortWorkerSurvivesAnAdversarialComparator) {
    // Pivots that keep splitting badly hand the range over to a heap sort,
    // so even an adversary cannot push the count towards n squared.
    const u32 n = 20000;
    Adversary adv(n);
    std::vector<u32> order(n);
    for (u32 i = 0; i < n; i++) order[i] = i;
    sort::Args args(4, reinterpret_cast<uintptr_t>(&adv), 0, Adversary::compare);
    sort::quicksort(reinterpret_cast<u8*>(order.data()), n, args, 0);
    EXPECT_LT(adv.calls, u64(6) * n * 15);  // 6 n log2 n
    for (u32 i = 1; i < n; i++) ASSERT_LE(adv.val[order[i - 1]], adv.val[order[i]]);
}

TEST(Sort, NextRunReversesOnlyStrictDescents) {
    struct Case {
        std::vector<u32> in;
        u32 run;  // elements in the run
        std::vector<u32> out;
    } cases[] = {
        {{5, 4, 3, 3, 2}, 3, {3, 4, 5, 3, 2}},
        {{1, 1, 2, 0}, 3, {1, 1, 2, 0}},
        {{3, 2, 1}, 3, {1, 2, 3}},
        {{7}, 1, {7}},
    };
    for (auto& c : cases) {
        sort::Args args(4, 0, 0, by_key<4>);
        u8* start = reinterpret_cast<u8*>(c.in.data());
        u8* end = sort::next_run(start, start + 4 * c.in.size(), args);
        EXPECT_EQ(u32((end - start) / 4), c.run);
        EXPECT_EQ(c.in, c.out);
    }
}

TEST(Sort, SwapExchangesWholeElements) {
    u8 a[6] = {1, 2, 3, 4, 5, 6}, b[6] = {9, 8, 7, 6, 5, 4};
    sort::swap(a, b, 3, true);
    EXPECT_EQ(std::vector<u8>(a, a + 6), (std::vector<u8>{9, 8, 7, 4, 5, 6}));
    EXPECT_EQ(std::vector<u8>(b, b + 6), (std::vector<u8>{1, 2, 3, 6, 5, 4}));
    u32 x[2] = {1, 2}, y[2] = {3, 4};
    sort::swap(x, y, 8, false);
    EXPECT_EQ(x[0], 3u);
    EXPECT_EQ(x[1], 4u);
    EXPECT_EQ(y[0], 1u);
    EXPECT_EQ(y[1], 2u);
}

TEST(Sort, MergesortRejectsAWorkBufferBeyond32Bits) {
    // count / 2 x size does not fit: the check comes before any element is read.
    u32 dummy[4] = {};
    error::last = {nullptr, nullptr};
    try {
        sort::mergesort(dummy, 0x80000000u, 4, 0, 0, by_key<4>);
        FAIL() << "no error raised";
    } catch (Throw& t) {
        EXPECT_EQ(t.value, THROW_ERROR);
    }
    EXPECT_STREQ(error::last.category, "script");
    EXPECT_STREQ(error::last.id, "too-long");
}

TEST(Sort, ComparatorErrorLeavesNoWorkBufferBehind) {
    // A comparator that raises (a user compare function failing) unwinds
    // through the sort; the work buffer is released on the way (checked by
    // the leak sanitizer).
    std::vector<u32> v(1000);
    for (u32 i = 0; i < 1000; i++) v[i] = (i * 7919) % 1000;
    auto raising = [](const void* a, const void* b, uintptr_t, uintptr_t calls) {
        if (++*reinterpret_cast<u64*>(calls) > 2000) throw Throw{THROW_ERROR};
        return by_key<4>(a, b, 0, 0);
    };
    u64 calls = 0;
    EXPECT_THROW(sort::mergesort(v.data(), 1000, 4, 0, reinterpret_cast<uintptr_t>(&calls), raising), Throw);
}
