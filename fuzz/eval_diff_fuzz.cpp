// libFuzzer target, the differential mode of the evaluation fuzzer: each
// input is evaluated with the interpreter's fast paths and under the
// reference evaluator from the same state (see eval_diff.h); any difference
// in output, value or error (id, arguments, near, where) aborts with both
// outcomes printed. Run it as eval_fuzz (see the Makefile).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "boot/boot.h"
#include "fuzz/eval_diff.h"
#include "runtime/collector.h"

using namespace zav;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::EvalSandbox* sandbox = nullptr;  // for the life of the process
    static unsigned runs = 0;
    if (!sandbox) {
        boot::init_runtime();
        sandbox = new fuzz::EvalSandbox;
    }
    std::string report = fuzz::evaluators_differ(*sandbox, data, size);
    if (!report.empty()) {
        std::fprintf(stderr, "\nThe evaluators differ.\n%s", report.c_str());
        std::abort();
    }
    if (++runs % 64 == 0) collector::do_cycle();
    return 0;
}
