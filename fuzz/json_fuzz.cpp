// libFuzzer target: arbitrary text through load-json. Text that reads as a
// value must be written by to-json (unless it holds an infinity) and read
// back to an equal value, compact and pretty with ASCII escapes alike. A
// language error is a normal outcome; a crash, hang, sanitizer report, leak
// or broken round trip is a finding.
#include "fuzz/library_harness.h"

static const char* const PROGRAM = R"(
    v: load-json fuzz-text
    if all [not error? :v  text: attempt [to-json :v]] [
        back: load-json text
        unless (mold/all :v) == mold/all :back [fuzz-finding: reduce [fuzz-text text]]
        back: load-json to-json/pretty/ascii :v "  "
        unless (mold/all :v) == mold/all :back [fuzz-finding: reduce [fuzz-text]]
    ]
)";

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static zav::fuzz::LibraryHarness* harness = new zav::fuzz::LibraryHarness(PROGRAM);
    harness->run(data, size);
    return 0;
}
