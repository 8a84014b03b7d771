// Replays the evaluation fuzzer's findings (tests/fuzz-corpus/eval/): each
// input ran into a crash, a sanitizer report, a hang or corrupted state once;
// now each must end as a normal outcome and leave the runtime usable.
#include <dirent.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "datatypes/integer.h"
#include "fuzz/eval_diff.h"
#include "fuzz/eval_sandbox.h"
#include "runtime_fixture.h"

namespace {

using namespace zav;

struct EvalFuzzTest : RuntimeTest {};

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST_F(EvalFuzzTest, CorpusReplaysWithoutFault) {
    std::string here = __FILE__;
    std::string dir = here.substr(0, here.rfind("/unit/")) + "/fuzz-corpus/eval";
    DIR* d = opendir(dir.c_str());
    ASSERT_NE(d, nullptr) << dir;
    Cell* top = stack::top;
    CallFrame* frames = stack::frame_top;
    int files = 0;
    {
        fuzz::EvalSandbox sandbox;
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::string data = read_file(dir + "/" + e->d_name);
            files++;
            sandbox.run(reinterpret_cast<const uint8_t*>(data.data()), data.size());
            EXPECT_EQ(stack::top, top) << e->d_name;
            EXPECT_EQ(stack::frame_top, frames) << e->d_name;
            // The runtime still evaluates: a set-word and an addition.
            const char probe[] = "fuzz-probe: 40 + 2";
            sandbox.run(reinterpret_cast<const uint8_t*>(probe), sizeof probe - 1);
            Cell* v = context::get_global(symbol::make("fuzz-probe"));
            ASSERT_EQ(TYPE_OF(v), TYPE_INTEGER) << e->d_name;
            EXPECT_EQ(integer::get(v), 42) << e->d_name;
        }
    }
    closedir(d);
    EXPECT_GT(files, 0);
}

// Legitimate programs that would run for minutes or take gigabytes are
// stopped by the sandbox's budgets, and the next run starts afresh.
TEST_F(EvalFuzzTest, BudgetsStopEndlessAndHugePrograms) {
    fuzz::EvalSandbox sandbox;
    auto run = [&](const char* text) { sandbox.run(reinterpret_cast<const uint8_t*>(text), std::strlen(text)); };
    auto global = [](const char* name) { return context::get_global(symbol::make(name)); };
    struct Case {
        const char* program;
        const char* unset_word;  // set only if the program ran to its end (a name no other test sets)
    };
    const Case cases[] = {
        {"n: 0 loop 100000000 [n: n + 1] fuzz-done: 1", "fuzz-done"},
        {"f: func [] [try [loop 100000000 []]] loop 100 [f] fuzz-done: 1", "fuzz-done"},
        {"parse [] [while [(0)]] fuzz-done: 1", "fuzz-done"},
        {"fuzz-huge: append/dup copy [] 1 50000000", "fuzz-huge"},
        {"b: copy [] loop 1000 [append b make string! 1000000] fuzz-done: 1", "fuzz-done"},
    };
    // The loop ran a while before it was stopped.
    run(cases[0].program);
    ASSERT_EQ(TYPE_OF(global("n")), TYPE_INTEGER);
    EXPECT_GT(integer::get(global("n")), 1000);
    for (const Case& c : cases) {
        run(c.program);
        EXPECT_EQ(TYPE_OF(global(c.unset_word)), TYPE_UNSET) << c.program;
        run("fuzz-probe: 40 + 2");
        ASSERT_EQ(TYPE_OF(global("fuzz-probe")), TYPE_INTEGER) << c.program;
        EXPECT_EQ(integer::get(global("fuzz-probe")), 42) << c.program;
    }
}

// The differential mode: the fuzzer's findings and the table of code that
// changes while it runs give the same output, value and error with the fast
// paths and under the reference evaluator; a difference is reported.
TEST_F(EvalFuzzTest, EvaluatorsAgreeOnTheCorpusAndOnChangingCode) {
    std::string here = __FILE__;
    std::string tests = here.substr(0, here.rfind("/unit/"));
    std::vector<std::string> inputs;
    DIR* d = opendir((tests + "/fuzz-corpus/eval").c_str());
    ASSERT_NE(d, nullptr);
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') inputs.push_back(read_file(tests + "/fuzz-corpus/eval/" + e->d_name));
    closedir(d);
    // The script without its header line, whose first word the sandbox would not know.
    std::string table = read_file(tests + "/scripts/interpreter/changing_code.zav");
    ASSERT_NE(table.find('\n'), std::string::npos);
    inputs.push_back(table.substr(table.find('\n') + 1));
    fuzz::EvalSandbox sandbox;
    auto differ = [&](const std::string& text) {
        return fuzz::evaluators_differ(sandbox, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    };
    for (const std::string& input : inputs) EXPECT_EQ(differ(input), "") << input.substr(0, 200);
    // What is compared: the output, then the value or the error's fields.
    auto outcome = [&](const char* text) {
        fuzz::Outcome o;
        sandbox.run(reinterpret_cast<const uint8_t*>(text), std::strlen(text), &o);
        return o;
    };
    fuzz::Outcome o = outcome("print 1 + 2 [1.5]");
    EXPECT_EQ(o.text, "3\n\nresult: [1.5]\nprinted bytes: 2");
    EXPECT_TRUE(o.comparable);
    o = outcome("print 1 f: does [2 + \"a\"] f");
    EXPECT_NE(o.text.find("\nid: invalid-type\n"), std::string::npos) << o.text;
    EXPECT_NE(o.text.find("\nnear: [2 + \"a\"]\n"), std::string::npos) << o.text;
    EXPECT_FALSE(outcome("forever []").comparable);
    // Recursion without end: the reference evaluator's larger C++ frames reach
    // the machine stack's limit before the language's frame limit, where
    // the fast paths stop; only the error's id would be the same.
    EXPECT_EQ(differ("r: try [g: func [n] [either n < 1 [0] [(g n - 1) + g n - 0]] g 3] print mold/flat :r"), "");
}

}  // namespace
