// Console output: every printed text leaves the process here, as UTF-8 on
// standard output. Escape sequences pass through unchanged; a terminal
// interprets them itself.
#pragma once
#include "runtime/common.h"

namespace zav::console {

constexpr u32 OUTPUT_BUFFER_BYTES = 1024;  // a few lines per write call
constexpr u32 OUTPUT_FLUSH_AT = 1020;     // more than this many bytes pending: write them
constexpr u32 FORMAT_BUFFER_BYTES = 64;  // room for any formatted number

// True when standard output is a terminal, false when redirected; set by output_init.
extern bool is_console;
// Scratch space for the numeric prints.
extern char* format_buffer;

// Called before and after each runtime print, so that an interface drawn on
// the terminal gives the screen back to plain text and then redraws; the
// View back-end registers them. Null when nothing is registered.
extern void (*before_print)();
extern void (*after_print)();
inline void print_begin() {
    if (before_print) before_print();
}
inline void print_end() {
    if (after_print) after_print();
}

// Allocates the buffers and sets the output kind; later calls do nothing.
void output_init();
// Writes `bytes` of the output buffer to standard output and resets the write position.
void write_file(u32 bytes);
// Writes raw bytes to standard output; a failed write ends the process
// through rt::output_failed.
void write_bytes(const void* text, size_t bytes);

// Text of `bytes` bytes in units of 1 (Latin-1), 2 (UTF-16) or 4 (UCS-4),
// written as UTF-8, with a line feed when `new_line`. Another unit stops the
// process with runtime error 101.
void print_to_file(const void* text, u32 bytes, u32 unit, bool new_line);
void print_units(const void* text, u32 bytes, u32 unit, bool new_line);
void print_ucs4(const void* text, u32 bytes);
void print_line_ucs4(const void* text, u32 bytes);
void print_utf16(const void* text, u32 bytes);
void print_line_utf16(const void* text, u32 bytes);
void print_latin1(const void* text, u32 bytes);
void print_line_latin1(const void* text, u32 bytes);

}  // namespace zav::console
