// The lexer: UTF-8 source text to values.
#pragma once
#include "runtime/cell.h"

namespace zav::lexer {

// Mode flags of scan_string (scan takes them as separate arguments).
constexpr u32 SCAN_ONE = 1;    // stop after one complete value (a block counts as one)
constexpr u32 SCAN_LOAD = 2;   // recognise tokens (off: prescan, nesting and strings only)
constexpr u32 SCAN_BUILD = 4;  // build the values (off: the type is all that is wanted)
constexpr u32 SCAN_ALL = SCAN_LOAD | SCAN_BUILD;

// The most input bytes one run can address: positions and the consumed
// count are 32-bit signed. Longer text is refused with script/too-long.
constexpr u64 MAX_INPUT_BYTES = 0x7FFFFFF0u;
// Raises script/too-long for text of `bytes` bytes that a run cannot address.
void check_size(u64 bytes);

// Trace callback events (bits of the callback's event mask).
enum TraceEvent : u32 {
    EVT_PRESCAN = 1, EVT_SCAN = 2, EVT_LOAD = 4, EVT_OPEN = 8, EVT_CLOSE = 16, EVT_ERROR = 32,
};

// Scans `size` bytes of UTF-8 at `src`.
// `out`: where the result goes when `dst` is null: a new block of the values,
//        or in one-value mode the first value itself (may be null when only the type is wanted).
// `dst`: a block value the loaded values are appended to instead (or null).
// `one`: one-value mode; `load`: token recognition (false: prescan only);
// `build`: build values (false with `load`: scan only).
// `consumed` receives the number of bytes read (the position after the value in one-value mode).
// `tracer`: a function!/routine! value, none! or null.
// Returns the datatype id of the last token (0 for none); in the prescan and
// scan-only modes a syntax error gives -TYPE_ERROR instead of raising.
i32 scan(Cell* out, const u8* src, u32 size, bool one, bool load, bool build, i32* consumed,
         const Cell* tracer, Cell* dst);

// The same for a string! (any-string) value from its head; `length` in code
// points or -1 for all. `consumed` counts code points. The values are appended
// to `dst` when it is a block value, else stored in it as `scan` stores in `out`.
i32 scan_string(Cell* dst, Cell* source, i32 length, u32 flags, i32* consumed, const Cell* tracer);

// Set just before a native whose caller returns at once to the evaluator
// calls scan or scan_string (see fire_pending): a syntax error of that run
// is then raised pending, the run answering -TYPE_ERROR at once, where a C++
// throw would cost the unwinder a walk over every frame up to the guard.
// The run takes it (reads and clears it) as it starts.
extern bool pend_errors;

// Start-up: value buffer, scratch area, Unicode blanks, token tables.
void init();

// Collector: marks the live cells of every run in progress and the callback
// and input values it keeps (registered as a marker by init).
void mark_states();

// The arguments of the last syntax error raised by the lexer, as plain text,
// for reporting before the error! datatype carries them (and for tests).
struct SyntaxError {
    char id[16];      // invalid, missing, malconstruct, bad-char
    i32 line;
    i32 type;         // datatype id for invalid
    char missing[4];  // the missing character for missing
    char text[128];   // the failing text (at most 30 characters)
    u32 offset;       // where the failing text starts, in bytes from the input's start
};
extern SyntaxError last_error;

// Hook through which trace events reach the callback value: answers the
// callback's logic! result. The interpreter installs its caller; until then
// events go nowhere (answer true).
using TraceCaller = bool (*)(const Cell* callback, u32 event, Cell* input, Cell* type, i32 line, Cell* token);
extern TraceCaller call_tracer;
// Event mask of a callback value (the events its body asks for); the default
// answers every event.
using TraceMask = u32 (*)(const Cell* callback);
extern TraceMask tracer_mask;

}  // namespace zav::lexer
