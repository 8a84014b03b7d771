// Console output: buffered UTF-8 writes of Latin-1, UTF-16 and UCS-4 text.
#include "runtime/console_output.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "runtime/rt.h"
#include "runtime/unicode.h"

namespace zav::console {

void (*before_print)() = nullptr;
void (*after_print)() = nullptr;

bool is_console = false;
char* format_buffer = nullptr;

namespace {

u8* out_buffer = nullptr;
u32 out_pos = 0;

// A code point above 0x10FFFF cannot come from a valid string; it is written
// as U+FFFD rather than stopping the output half-way (a lone surrogate becomes
// U+FFFD in the encoder).
void put(u32 cp) {
    out_pos += unicode::cp_to_utf8(cp > 0x10FFFF ? 0xFFFD : cp, out_buffer + out_pos);
    if (out_pos > OUTPUT_FLUSH_AT) write_file(out_pos);
}

}  // namespace

void output_init() {
    if (out_buffer) return;
    out_buffer = static_cast<u8*>(rt::allocate(OUTPUT_BUFFER_BYTES));
    format_buffer = static_cast<char*>(rt::allocate(FORMAT_BUFFER_BYTES));
    out_pos = 0;
    is_console = isatty(rt::std_output) == 1;
}

void write_bytes(const void* text, size_t bytes) {
    const u8* p = static_cast<const u8*>(text);
    while (bytes > 0) {
        ssize_t n = ::write(rt::std_output, p, bytes);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // Output that cannot go anywhere ends the script: a writer whose
            // reader has gone, or a full disk, must not run on as if it succeeded.
            out_pos = 0;
            rt::output_failed(n < 0 ? errno : ENOSPC);
            return;
        }
        p += n;
        bytes -= static_cast<size_t>(n);
    }
}

void write_file(u32 bytes) {
    write_bytes(out_buffer, bytes);
    out_pos = 0;
}

void print_to_file(const void* text, u32 bytes, u32 unit, bool new_line) {
    output_init();
    const u8* p = static_cast<const u8*>(text);
    // A trailing part of a unit is not a character: never read it.
    const u8* end = p + (bytes - bytes % (unit ? unit : 1));
    switch (unit) {
        case 1:
            for (; p < end; p++) put(*p);
            break;
        case 2:
            for (; p < end; p += 2) {
                u32 u = p[0] | (p[1] << 8);
                if (u >= 0xD800 && u < 0xDC00 && end - p >= 4) {
                    // A surrogate pair is one character; UTF-8 has no halves.
                    u32 low = p[2] | (p[3] << 8);
                    if (low >= 0xDC00 && low < 0xE000) {
                        u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
                        p += 2;
                    }
                }
                put(u);
            }
            break;
        case 4:
            for (; p < end; p += 4) {
                u32 cp;
                std::memcpy(&cp, p, 4);
                put(cp);
            }
            break;
        default:
            rt::quit(rt::RT_ERR_NO_SWITCH, rt::code_address());
    }
    if (new_line) put('\n');
    if (out_pos) write_file(out_pos);
}

// A terminal interprets escape sequences itself, so both kinds of output
// take the same path.
void print_units(const void* text, u32 bytes, u32 unit, bool new_line) {
    print_to_file(text, bytes, unit, new_line);
}

void print_ucs4(const void* text, u32 bytes) { print_to_file(text, bytes, 4, false); }
void print_line_ucs4(const void* text, u32 bytes) { print_to_file(text, bytes, 4, true); }
void print_utf16(const void* text, u32 bytes) { print_units(text, bytes, 2, false); }
void print_line_utf16(const void* text, u32 bytes) { print_units(text, bytes, 2, true); }
void print_latin1(const void* text, u32 bytes) { print_units(text, bytes, 1, false); }
void print_line_latin1(const void* text, u32 bytes) { print_units(text, bytes, 1, true); }

}  // namespace zav::console
