// DEFLATE, zlib and gzip against the real zlib: what we write, zlib reads back
// exactly; what zlib writes at every level and strategy, we read back exactly;
// and broken streams give an error code, never partial data as success.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "loader/compress.h"
#include "datatypes/checksum.h"

using namespace zav;
using Bytes = std::vector<u8>;

namespace {

Bytes text_corpus(size_t n, u32 seed) {
    static const char* words[] = {"the ", "quick ", "brown ", "fox ", "jumps\n", "over ", "lazy ", "dog. ",
                                  "print ", "[1 2 3] ", "func [x] [x * 2]\n", "\"string\" "};
    std::mt19937 rng(seed);
    Bytes v;
    while (v.size() < n) {
        const char* w = words[rng() % 12];
        v.insert(v.end(), w, w + std::strlen(w));
    }
    v.resize(n);
    return v;
}

Bytes noise(size_t n, u32 seed) {
    std::mt19937 rng(seed);
    Bytes v(n);
    for (auto& b : v) b = static_cast<u8>(rng());
    return v;
}

// Structured binary: little-endian counters, small floats and runs.
Bytes binary_corpus(size_t n, u32 seed) {
    std::mt19937 rng(seed);
    Bytes v;
    u32 counter = 0;
    while (v.size() < n) {
        switch (rng() % 3) {
            case 0: for (int k = 0; k < 4; k++) v.push_back(static_cast<u8>(counter >> (8 * k))); counter += rng() % 5; break;
            case 1: v.insert(v.end(), rng() % 40, static_cast<u8>(rng() % 4)); break;
            default: v.push_back(static_cast<u8>(rng() % 256)); break;
        }
    }
    v.resize(n);
    return v;
}

struct Sample {
    const char* name;
    Bytes data;
};

const std::vector<Sample>& corpus() {
    static const std::vector<Sample> samples = [] {
        std::vector<Sample> s;
        s.push_back({"empty", {}});
        s.push_back({"one byte", {'x'}});
        s.push_back({"short text", text_corpus(40, 1)});
        s.push_back({"text", text_corpus(300000, 2)});
        s.push_back({"binary", binary_corpus(200000, 3)});
        s.push_back({"noise", noise(100000, 4)});
        s.push_back({"run", Bytes(100000, 'a')});
        // Text with an incompressible stretch in the middle: blocks of both kinds.
        Bytes mixed = text_corpus(70000, 5);
        Bytes n = noise(70000, 6);
        mixed.insert(mixed.end(), n.begin(), n.end());
        Bytes t = text_corpus(70000, 7);
        mixed.insert(mixed.end(), t.begin(), t.end());
        s.push_back({"mixed", mixed});
        return s;
    }();
    return samples;
}

using Codec = i32 (*)(u8*, u32*, const u8*, u32);

// Runs a codec through the needed-size protocol: a sizing call, then the real one.
i32 run(Codec codec, const Bytes& in, Bytes& out) {
    u32 size = 0;
    i32 r = codec(nullptr, &size, in.data(), static_cast<u32>(in.size()));
    if (r != compress::OK && r != compress::TOO_SMALL) return r;
    out.assign(size, 0);
    u32 cap = size;
    r = codec(out.data(), &size, in.data(), static_cast<u32>(in.size()));
    if (r == compress::OK) {
        EXPECT_EQ(size, cap);
        out.resize(size);
    }
    return r;
}

// zlib's inflate with window bits: -15 raw, 15 zlib, 31 gzip.
bool z_inflate(const Bytes& in, int window_bits, Bytes& out) {
    z_stream s{};
    if (inflateInit2(&s, window_bits) != Z_OK) return false;
    out.clear();
    s.next_in = const_cast<u8*>(in.data());
    s.avail_in = static_cast<uInt>(in.size());
    u8 buf[65536];
    int r;
    do {
        s.next_out = buf;
        s.avail_out = sizeof buf;
        r = inflate(&s, Z_NO_FLUSH);
        out.insert(out.end(), buf, buf + (sizeof buf - s.avail_out));
    } while (r == Z_OK);
    bool ok = r == Z_STREAM_END && s.avail_in == 0;
    inflateEnd(&s);
    return ok;
}

Bytes z_deflate(const Bytes& in, int level, int window_bits, int strategy, int mem_level = 8) {
    z_stream s{};
    EXPECT_EQ(deflateInit2(&s, level, Z_DEFLATED, window_bits, mem_level, strategy), Z_OK);
    Bytes out(deflateBound(&s, static_cast<uLong>(in.size())) + 64);
    s.next_in = const_cast<u8*>(in.data());
    s.avail_in = static_cast<uInt>(in.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
}

struct Framing {
    const char* name;
    Codec pack;
    Codec unpack;
    int window_bits;
};
const Framing framings[] = {
    {"deflate", compress::deflate, compress::inflate, -15},
    {"zlib", compress::zlib_deflate, compress::zlib_inflate, 15},
    {"gzip", compress::gzip, compress::gunzip, 31},
};

}  // namespace

TEST(Compress, ZlibReadsWhatWeWrite) {
    for (const Framing& f : framings) {
        for (const Sample& s : corpus()) {
            SCOPED_TRACE(std::string(f.name) + " " + s.name);
            Bytes packed, back;
            ASSERT_EQ(run(f.pack, s.data, packed), compress::OK);
            ASSERT_TRUE(z_inflate(packed, f.window_bits, back));
            EXPECT_TRUE(back == s.data);
            ASSERT_EQ(run(f.unpack, packed, back), compress::OK);
            EXPECT_TRUE(back == s.data);
        }
    }
}

TEST(Compress, WeReadWhatZlibWritesAtEveryLevel) {
    const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
    for (const Framing& f : framings) {
        for (const Sample& s : corpus()) {
            for (int level = 0; level <= 9; level++) {
                for (int strategy : strategies) {
                    if (strategy != Z_DEFAULT_STRATEGY && level != 6) continue;
                    SCOPED_TRACE(std::string(f.name) + " " + s.name + " level " + std::to_string(level) +
                                 " strategy " + std::to_string(strategy));
                    // A small window and memory level make other block shapes.
                    for (int small : {0, 1}) {
                        int bits = small ? (f.window_bits < 0 ? -9 : f.window_bits - 6) : f.window_bits;
                        Bytes packed = z_deflate(s.data, level, bits, strategy, small ? 1 : 8), back;
                        ASSERT_EQ(run(f.unpack, packed, back), compress::OK);
                        EXPECT_TRUE(back == s.data);
                        compress::Bytes grown;
                        auto format = f.window_bits < 0   ? compress::Format::deflate
                                      : f.window_bits > 15 ? compress::Format::gzip
                                                           : compress::Format::zlib;
                        ASSERT_EQ(compress::decompress(format, packed.data(), packed.size(), 0, 1u << 30, grown),
                                  compress::OK);
                        EXPECT_TRUE(grown.size == s.data.size() &&
                                    std::equal(s.data.begin(), s.data.end(), grown.data.get()));
                    }
                }
            }
        }
    }
}

TEST(Compress, CompressesLikeZlib) {
    const Bytes& text = corpus()[3].data;
    Bytes ours;
    ASSERT_EQ(run(compress::zlib_deflate, text, ours), compress::OK);
    Bytes theirs = z_deflate(text, 6, 15, Z_DEFAULT_STRATEGY);
    EXPECT_LT(ours.size(), theirs.size() * 11 / 10);
    // Random data is stored: five bytes per block of 16,384 symbols.
    const Bytes& random = corpus()[5].data;
    ASSERT_EQ(run(compress::deflate, random, ours), compress::OK);
    EXPECT_LE(ours.size(), random.size() + 5 * (random.size() / 16384 + 1));
    // An empty input is one final block.
    ASSERT_EQ(run(compress::deflate, {}, ours), compress::OK);
    EXPECT_EQ(ours, (Bytes{0x03, 0x00}));
    // A run is a literal and matches of 258 at distance 1: a few bytes.
    ASSERT_EQ(run(compress::deflate, Bytes(100000, 'a'), ours), compress::OK);
    EXPECT_LT(ours.size(), 300u);
}

TEST(Compress, TooSmallOutputReportsTheExactNeed) {
    const Bytes& text = corpus()[3].data;
    for (const Framing& f : framings) {
        SCOPED_TRACE(f.name);
        Bytes packed;
        ASSERT_EQ(run(f.pack, text, packed), compress::OK);
        Bytes small(100);
        u32 size = 100;
        EXPECT_EQ(f.pack(small.data(), &size, text.data(), static_cast<u32>(text.size())), compress::TOO_SMALL);
        EXPECT_EQ(size, packed.size());
        size = 1000;
        Bytes out(1000);
        EXPECT_EQ(f.unpack(out.data(), &size, packed.data(), static_cast<u32>(packed.size())), compress::TOO_SMALL);
        EXPECT_EQ(size, text.size());
        EXPECT_TRUE(std::equal(out.begin(), out.end(), text.begin()));
        out.assign(size, 0);
        EXPECT_EQ(f.unpack(out.data(), &size, packed.data(), static_cast<u32>(packed.size())), compress::OK);
        EXPECT_EQ(out, text);
    }
}

TEST(Compress, BrokenStreamsAreErrors) {
    const Bytes& text = corpus()[7].data;
    for (const Framing& f : framings) {
        SCOPED_TRACE(f.name);
        Bytes packed, out;
        ASSERT_EQ(run(f.pack, text, packed), compress::OK);
        // Every truncation fails, never a short success.
        for (size_t cut = 0; cut < packed.size(); cut += 1 + cut / 3) {
            Bytes part(packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(cut));
            EXPECT_NE(run(f.unpack, part, out), compress::OK) << cut;
        }
        // Trailing bytes after the stream are not silently dropped.
        Bytes longer = packed;
        longer.push_back(0);
        EXPECT_NE(run(f.unpack, longer, out), compress::OK);
        // A flipped bit in the data is caught by the decoder or the check.
        if (f.window_bits > 0) {
            Bytes flipped = packed;
            flipped[flipped.size() / 2] ^= 0x10;
            EXPECT_NE(run(f.unpack, flipped, out), compress::OK);
        }
    }
}

TEST(Compress, FramingChecks) {
    Bytes data = text_corpus(5000, 9), out;
    Bytes z = z_deflate(data, 6, 15, Z_DEFAULT_STRATEGY);
    struct Case {
        const char* what;
        void (*edit)(Bytes&);
    };
    const Case zlib_cases[] = {
        {"FDICT set", [](Bytes& v) { v[1] = 0x20; }},  // 0x7820 is a multiple of 31
        {"bad header check", [](Bytes& v) { v[1] ^= 1; }},
        {"method not 8", [](Bytes& v) { v[0] = 0x77; }},
        {"wrong Adler-32", [](Bytes& v) { v.back() ^= 1; }},
    };
    for (const Case& c : zlib_cases) {
        Bytes v = z;
        c.edit(v);
        EXPECT_EQ(run(compress::zlib_inflate, v, out), compress::BAD_DATA) << c.what;
    }
    // gzip with every optional header field, and a header CRC that must match.
    Bytes g = z_deflate(data, 6, 31, Z_DEFAULT_STRATEGY);
    Bytes fancy(g.begin(), g.begin() + 10);
    fancy[3] = 4 | 8 | 16 | 2;
    for (u8 b : Bytes{3, 0, 'a', 'b', 'c'}) fancy.push_back(b);  // FEXTRA of 3 bytes
    for (u8 b : Bytes{'n', 'a', 'm', 'e', 0, 'h', 'i', 0}) fancy.push_back(b);
    u32 hcrc = checksum::crc32(fancy.data(), fancy.size()) & 0xFFFF;
    fancy.push_back(static_cast<u8>(hcrc));
    fancy.push_back(static_cast<u8>(hcrc >> 8));
    fancy.insert(fancy.end(), g.begin() + 10, g.end());
    ASSERT_EQ(run(compress::gunzip, fancy, out), compress::OK);
    EXPECT_EQ(out, data);
    Bytes bad = fancy;
    bad[12] ^= 1;  // inside FEXTRA: the header CRC no longer matches
    EXPECT_EQ(run(compress::gunzip, bad, out), compress::BAD_DATA);
    // A trailer that claims a size the data cannot produce is refused before any allocation.
    Bytes liar = g;
    liar[liar.size() - 1] = 0xFF;
    compress::Bytes grown;
    EXPECT_EQ(compress::decompress(compress::Format::gzip, liar.data(), liar.size(), 0, 1u << 30, grown),
              compress::BAD_DATA);
    EXPECT_EQ(run(compress::gunzip, liar, out), compress::BAD_DATA);
    // Data that starts like a gzip stream is still compressed, not copied.
    Bytes packed;
    ASSERT_EQ(run(compress::gzip, g, packed), compress::OK);
    ASSERT_EQ(run(compress::gunzip, packed, out), compress::OK);
    EXPECT_EQ(out, g);
}

TEST(Compress, HandMadeStreams) {
    Bytes out;
    // Block type 3, a stored block longer than its input, LEN and NLEN that disagree,
    // and a distance before the start.
    EXPECT_EQ(run(compress::inflate, Bytes{0x07}, out), compress::BAD_BLOCK_TYPE);
    EXPECT_EQ(run(compress::inflate, Bytes{0x01, 0x10, 0x00, 0xEF, 0xFF, 'a'}, out), compress::STORED_PAST_INPUT);
    EXPECT_EQ(run(compress::inflate, Bytes{0x01, 0x01, 0x00, 0xFF, 0xFF, 'a'}, out), compress::BAD_DATA);
    // Fixed block: length 3 (code 257, 7 bits 0000001) at distance 1 with nothing written.
    EXPECT_EQ(run(compress::inflate, Bytes{0x03, 0x02, 0x00, 0x00}, out), compress::BAD_DISTANCE);
    // A dynamic header announcing 258 lengths: 256 zeros, a 1 for end-of-block,
    // then a repeat of 11 zeros where only one length is left.
    EXPECT_EQ(run(compress::inflate,
                  Bytes{0x05, 0xC0, 0x81, 0x00, 0x00, 0x00, 0x00, 0x00, 0x90, 0xFF, 0x6B, 0x01, 0x00}, out),
              compress::BAD_DATA);
}

TEST(Compress, GrowingOutputStaysWithinItsLimit) {
    Bytes data(1 << 20, 'q');
    Bytes z = z_deflate(data, 9, 15, Z_DEFAULT_STRATEGY);
    compress::Bytes out;
    EXPECT_EQ(compress::decompress(compress::Format::zlib, z.data(), z.size(), 0, 1 << 16, out),
              compress::TOO_SMALL);
    EXPECT_LE(out.size, 1u << 16);
    // A wrong size hint is only a hint.
    for (size_t hint : {size_t{1}, size_t{1} << 30}) {
        ASSERT_EQ(compress::decompress(compress::Format::zlib, z.data(), z.size(), hint, 1u << 30, out), compress::OK);
        EXPECT_EQ(out.size, data.size());
    }
}

TEST(Checksums, MatchZlibOnLargeAndSplitInputs) {
    // Long runs of 0xFF push Adler-32's sums hardest between reductions.
    Bytes ones(3 << 20, 0xFF);
    Bytes text = text_corpus(1 << 20, 12);
    for (const Bytes* b : {&ones, &text}) {
        EXPECT_EQ(checksum::crc32(b->data(), b->size()), ::crc32(0, b->data(), static_cast<uInt>(b->size())));
        EXPECT_EQ(checksum::adler32(b->data(), b->size()), ::adler32(1, b->data(), static_cast<uInt>(b->size())));
        // Continuing over a split gives the same sum as one pass.
        size_t half = b->size() / 2 + 3;
        EXPECT_EQ(checksum::crc32_update(checksum::crc32(b->data(), half), b->data() + half, b->size() - half),
                  checksum::crc32(b->data(), b->size()));
        EXPECT_EQ(checksum::adler32_update(checksum::adler32(b->data(), half), b->data() + half, b->size() - half),
                  checksum::adler32(b->data(), b->size()));
    }
    EXPECT_EQ(checksum::tcp(nullptr, 0), 0xFFFF);
    const u8 one = 1;
    EXPECT_EQ(checksum::tcp(&one, 1), 0xFFFE);
}
