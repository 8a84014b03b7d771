// libFuzzer target: arbitrary bytes loaded as source text and evaluated. A
// language error (or any other throw) is a normal outcome; a crash, hang,
// sanitizer report or leak is a finding. Each run has a budget of work and
// of memory (see EvalSandbox), so that it runs for hours on its own; how to
// run it is in the Makefile. Findings go to tests/fuzz-corpus/eval/, which a
// unit test replays.
#include <cstddef>
#include <cstdint>

#include "boot/boot.h"
#include "fuzz/eval_sandbox.h"
#include "runtime/collector.h"

using namespace zav;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::EvalSandbox* sandbox = nullptr;  // for the life of the process
    static unsigned runs = 0;
    if (!sandbox) {
        boot::init_runtime();
        sandbox = new fuzz::EvalSandbox;
    }
    sandbox->run(data, size);
    if (++runs % 64 == 0) collector::do_cycle();
    return 0;
}
