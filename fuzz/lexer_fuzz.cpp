// libFuzzer target: arbitrary bytes through every lexer mode. A syntax error
// is a normal outcome; a crash, hang, sanitizer report or leak is a finding.
#include <cstddef>
#include <cstdint>

#include "boot/boot.h"
#include "runtime/cell.h"
#include "runtime/stack.h"
#include "loader/lexer.h"
#include "runtime/collector.h"

using namespace zav;

// `pend`: the run takes its syntax errors pending, as transcode's does (its
// steps return up on the stop instead of throwing).
static void scan_mode(const uint8_t* data, size_t size, bool one, bool load, bool build, bool pend = false) {
    Cell* saved = stack::top;
    try {
        Cell* out = stack::push_star();
        make_cell(out, TYPE_NONE);
        i32 consumed = 0;
        const u8* p = data;
        u32 left = static_cast<u32>(size);
        // In one-value mode walk the input value by value, as transcode/next does.
        for (int i = 0; i < 64; i++) {
            lexer::pend_errors = pend;
            lexer::scan(out, p, left, one, load, build, &consumed, nullptr, nullptr);
            if (stack::pending) {
                stack::pending = 0;
                break;
            }
            if (!one || consumed <= 0 || static_cast<u32>(consumed) >= left) break;
            p += consumed;
            left -= static_cast<u32>(consumed);
        }
    } catch (Throw&) {
    }
    stack::top = saved;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool up = false;
    static unsigned runs = 0;
    if (!up) {
        boot::init_runtime();
        up = true;
    }
    scan_mode(data, size, false, true, true);  // load
    scan_mode(data, size, true, true, true);   // next
    scan_mode(data, size, true, true, false);  // scan
    scan_mode(data, size, true, false, false); // prescan
    scan_mode(data, size, false, true, true, true);  // load, errors pending
    scan_mode(data, size, true, true, true, true);   // next, errors pending
    scan_mode(data, size, true, true, false, true);  // scan, errors pending
    if (++runs % 512 == 0) collector::do_cycle();
    return 0;
}
