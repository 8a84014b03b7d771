// Replays the evaluation fuzzer's findings (tests/fuzz-corpus/eval/): each
// input ran into a crash, a sanitizer report, a hang or corrupted state once;
// now each must end as a normal outcome and leave the runtime usable.
#include <dirent.h>

#include <fstream>
#include <sstream>
#include <string>

#include "datatypes/integer.h"
#include "fuzz/eval_sandbox.h"
#include "runtime_fixture.h"

namespace {

using namespace zav;

struct EvalFuzzTest : RuntimeTest {};

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
            std::ifstream in(dir + "/" + e->d_name, std::ios::binary);
            std::stringstream ss;
            ss << in.rdbuf();
            std::string data = ss.str();
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

}  // namespace
