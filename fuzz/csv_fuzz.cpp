// libFuzzer target: arbitrary text through load-csv with its refinements.
// Lines read must be written by to-csv and read back equal. A language
// error is a normal outcome; a crash, hang, sanitizer report, leak or broken
// round trip is a finding.
#include "fuzz/library_harness.h"

static const char* const PROGRAM = R"(
    delimiter: pick [#"," #";" "||" #"^-"] 1 + (fuzz-byte // 4)
    quote-char: pick [#"^"" #"'"] 1 + ((fuzz-byte >> 2) // 2)
    lines: load-csv/with/quote fuzz-text delimiter quote-char
    if all [block? lines not empty? lines] [
        text: to-csv/with/quote lines delimiter quote-char
        back: load-csv/with/quote text delimiter quote-char
        unless (mold/all lines) == mold/all back [fuzz-finding: reduce [fuzz-text text]]
    ]
    attempt [load-csv/flat/trim fuzz-text]
    attempt [load-csv/header/as-records fuzz-text]
    attempt [load-csv/header fuzz-text]
    attempt [load-csv/as-columns/with fuzz-text delimiter]
)";

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static zav::fuzz::LibraryHarness* harness = new zav::fuzz::LibraryHarness(PROGRAM);
    harness->run(data, size);
    return 0;
}
