// libFuzzer target: arbitrary text through decode-url and encode-url. A URL
// without percent escapes, IP literals (whose host is anything between the
// brackets, "@" too) and a path starting with "." (encode-url leaves out a
// directory of %./, which split-path also gives for "./") is joined back by
// encode-url into text that decodes to the same parts. A language error is
// a normal outcome; a crash, hang, sanitizer report, leak or broken round
// trip is a finding.
#include "fuzz/library_harness.h"

static const char* const PROGRAM = R"(
    parts: func [o] [reduce [o/scheme o/user-info o/host o/port o/path o/target o/query o/fragment]]
    o: decode-url fuzz-text
    if all [object? o not find fuzz-text "%" not find fuzz-text "[" not all [o/path #"." = first o/path]] [
        url: encode-url o
        again: decode-url url
        unless all [object? again (mold/all parts o) == mold/all parts again] [
            fuzz-finding: reduce [fuzz-text url]
        ]
    ]
    url-parser/parse-url/throw-error fuzz-text
)";

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static zav::fuzz::LibraryHarness* harness = new zav::fuzz::LibraryHarness(PROGRAM);
    harness->run(data, size);
    return 0;
}
