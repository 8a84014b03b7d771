// A sizeable mixed workload (load a large generated source, mold and form it,
// copy it deep, sort, find, change case) run without collections and again
// with collections forced: the results must be identical.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/string.h"
#include "runtime/stack.h"
#include "load_helper.h"
#include "runtime/case_folding.h"
#include "runtime/collector.h"
#include "datatypes/cycles.h"
#include "runtime_fixture.h"

using namespace zav;

namespace {

// Deterministic pseudo-random numbers, the same on every run.
struct Lcg {
    u32 state;
    u32 next(u32 bound) {
        state = state * 1664525u + 1013904223u;
        return (state >> 8) % bound;
    }
};

const char* const kWords[] = {"alpha", "beta", "gamma", "delta", "épsilon", "zeta", "eta", "theta", "中文", "kappa"};

std::string random_string(Lcg& r) {
    static const char* const pieces[] = {"a", "b", "c", "x", "Y", " ", "^/", "^\"", "é", "中", "😀", "^^", "^{", "^}"};
    std::string s;
    for (u32 n = r.next(12); n > 0; n--) s += pieces[r.next(14)];
    return s;
}

void value(Lcg& r, std::string& out, u32 depth) {
    switch (r.next(depth < 4 ? 17 : 15)) {
        case 0: out += std::to_string(static_cast<i32>(r.next(200000)) - 100000); break;
        case 1: out += std::to_string(r.next(1000)) + "." + std::to_string(r.next(100)); break;
        case 2: out += "\"" + random_string(r) + "\""; break;
        case 3: out += "{" + random_string(r) + "^/" + random_string(r) + "}"; break;
        case 4: out += kWords[r.next(10)]; break;
        case 5: out += std::string(kWords[r.next(10)]) + ":"; break;
        case 6: out += ":" + std::string(kWords[r.next(10)]); break;
        case 7: out += "'" + std::string(kWords[r.next(10)]); break;
        case 8: out += "/" + std::string(kWords[r.next(10)]); break;
        case 9: out += "#" + std::string(kWords[r.next(10)]) + std::to_string(r.next(99)); break;
        case 10: out += std::string(kWords[r.next(10)]) + "/" + kWords[r.next(10)] + "/" + std::to_string(r.next(9)); break;
        case 11: out += "%dir" + std::to_string(r.next(50)) + "/file.txt"; break;
        case 12: out += "http://example.org/p" + std::to_string(r.next(500)) + "?q=1"; break;
        case 13: out += "#{" + std::string(r.next(2) ? "DEADBEEF" : "00FF") + "}"; break;
        case 14: out += std::string("#\"") + "abc"[r.next(3)] + "\""; break;
        default: {
            bool paren = r.next(4) == 0;
            out += paren ? "(" : "[";
            for (u32 n = r.next(8); n > 0; n--) {
                value(r, out, depth + 1);
                out += r.next(5) == 0 ? "\n" : " ";
            }
            out += paren ? ")" : "]";
        }
    }
}

std::string generate(u32 count, u32 seed) {
    Lcg r{seed};
    std::string out = "[";
    for (u32 i = 0; i < count; i++) {
        value(r, out, 0);
        out += i % 7 == 6 ? "\n" : " ";
    }
    return out + "]";
}

std::string sortable(u32 count, u32 seed, bool strings) {
    Lcg r{seed};
    std::string out = "[";
    for (u32 i = 0; i < count; i++) {
        out += strings ? "\"" + random_string(r) + "\" " : std::to_string(static_cast<i32>(r.next(2000)) - 1000) + " ";
    }
    return out + "]";
}

// Every step's result as text. Values live on the value stack throughout.
std::vector<std::string> workload(u32 count) {
    std::vector<std::string> out;
    Cell* saved = stack::top;
    Cell* blk = test::load_one(generate(count, 7));
    out.push_back(test::mold(blk));
    out.push_back(test::mold(blk, true));
    out.push_back(test::form(blk));

    // The molded text loads back to the same values.
    out.push_back(test::mold(test::load_one(out[0])));

    // A deep copy molds the same and shares no series with the original.
    Cell* deep = stack::push(blk);
    block::copy(blk, deep, nullptr, true, nullptr);
    out.push_back(test::mold(deep));
    out.push_back(series_node(deep) != series_node(blk) ? "fresh" : "shared");

    // Sorting: strings (with case folding and Unicode) and integers, both ways.
    for (bool strings : {true, false}) {
        Cell* s = test::load_one(sortable(count / 2 + 10, 11, strings));
        block::sort(s, false, nullptr, nullptr, nullptr, false, false, true);
        out.push_back(test::mold(s));
        block::sort(s, true, nullptr, nullptr, nullptr, false, true, false);
        out.push_back(test::mold(s));
    }

    // Finding values of several types in the big block and in its deep copy.
    const char* probes[] = {"alpha", "\"x\"", "%dir7/file.txt", "#{00FF}", "#\"b\"", "12", "[]", "zeta:", "'beta"};
    for (const char* p : probes) {
        for (Cell* where : {blk, deep}) {
            Cell* probe = test::load_one(p);
            Cell* r = stack::push(where);
            Cell* found = block::find(r, probe, nullptr, false, false, false, false, nullptr, nullptr, false, false,
                                      false, false);
            out.push_back(std::string(p) + " -> " +
                          (TYPE_OF(found) == TYPE_NONE ? "none" : std::to_string(series_head(found))));
        }
    }

    // Strings: the formed block as one string, searched and changed in case.
    Cell* s = string::load(out[2].c_str());
    for (const char* needle : {"gamma", "中文", "file.txt", "nowhere"}) {
        Cell* n = string::load(needle);
        Cell* r = stack::push(s);
        Cell* found =
            string::find(r, n, nullptr, false, false, false, false, nullptr, nullptr, false, false, false, false);
        out.push_back(std::string(needle) + " at " +
                      (TYPE_OF(found) == TYPE_NONE ? "none" : std::to_string(series_head(found))));
    }
    string::change_case(s, nullptr, 1);
    out.push_back(test::form(s));
    stack::top = saved;
    return out;
}

struct GcWorkloadTest : RuntimeTest {
    bool saved_active = false, saved_stress = false;
    void SetUp() override {
        RuntimeTest::SetUp();
        saved_active = collector::active;
        saved_stress = collector::stress;
        cycles::reset();
    }
    void TearDown() override {
        collector::active = saved_active;
        collector::stress = saved_stress;
    }
};

void expect_same(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); i++) EXPECT_EQ(a[i], b[i]) << "step " << i;
}

}  // namespace

TEST_F(GcWorkloadTest, CollectionAtEveryAllocationChangesNothing) {
    collector::active = false;
    collector::stress = false;
    std::vector<std::string> quiet = workload(1500);
    collector::active = true;
    collector::stress = true;
    u32 before = collector::cycles;
    std::vector<std::string> stressed = workload(1500);
    collector::stress = false;
    EXPECT_GT(collector::cycles - before, 1000u);
    expect_same(quiet, stressed);
}

// A workload big enough to fill series frames: the ordinary collections
// (when a frame is full) run in the middle of the operations.
TEST_F(GcWorkloadTest, OrdinaryCollectionsChangeNothing) {
    collector::active = false;
    collector::stress = false;
    std::vector<std::string> quiet = workload(20000);
    collector::active = true;
    u32 before = collector::cycles;
    std::vector<std::string> collected = workload(20000);
    EXPECT_GT(collector::cycles - before, 0u);
    expect_same(quiet, collected);
}
