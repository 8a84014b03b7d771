// The random generator. The state is the Mersenne Twister's 624 words, but the
// right shifts of seeding, regeneration and tempering are arithmetic, so the
// sequence is this system's own and bit 31 of every output is clear.
#include "datatypes/random.h"

#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/platform/crypto.h"

namespace zav::random {

namespace {

constexpr u32 N = 624;
constexpr u32 M = 397;
constexpr u32 START_SEED = 19650218;

i32 state[N];
u32 index = N;

inline i32 sar(i32 v, int bits) { return v >> bits; }  // arithmetic in C++20
inline i32 shl(i32 v, int bits) { return static_cast<i32>(static_cast<u32>(v) << bits); }

void regenerate() {
    for (u32 k = 0; k < N; k++) {
        i32 y = static_cast<i32>((static_cast<u32>(state[k]) & 0x80000000u) |
                                 (static_cast<u32>(state[(k + 1) % N]) & 0x7FFFFFFFu));
        i32 v = state[(k + M) % N] ^ sar(y, 1);
        if (y & 1) v ^= static_cast<i32>(0x9908B0DFu);
        state[k] = v;
    }
    index = 0;
}

}  // namespace

void init() { seed(START_SEED); }

void seed(u32 s) {
    state[0] = static_cast<i32>(s);
    for (u32 k = 1; k < N; k++) {
        i32 prev = state[k - 1];
        u32 mixed = static_cast<u32>(prev ^ sar(prev, 30));
        state[k] = static_cast<i32>(1812433253u * mixed + k);
    }
    index = 0;
}

i32 next() {
    if (index >= N) regenerate();
    i32 y = state[index++];
    y ^= sar(y, 11);
    y ^= shl(y, 7) & static_cast<i32>(0x9D2C5680u);
    y ^= shl(y, 15) & static_cast<i32>(0xEFC60000u);
    y ^= sar(y, 18);
    return y;
}

i32 next_secure() {
    u32 v = 0;
    if (!crypto::random_bytes(reinterpret_cast<u8*>(&v), sizeof v)) {
        // A secure draw must never quietly come from the ordinary generator.
        Cell word;
        word::make_at(symbol::make("random"), &word);
        fire("internal", "not-here", &word);
    }
    return static_cast<i32>(v & 0x7FFFFFFFu);
}

i32 int_range(bool secure, i32 n) {
    auto draw = [secure] { return secure ? next_secure() : next(); };
    if (n == 0) return 0;
    if (n == static_cast<i32>(0x80000000u)) return -1 - draw();
    bool negative = n < 0;
    if (negative) n = -n;
    i32 limit = (0x7FFFFFFF / n) * n;
    i32 d;
    do d = draw(); while (d >= limit);
    i32 r = d % n + 1;
    return negative ? -r : r;
}

}  // namespace zav::random
