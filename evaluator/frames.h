// Errors thrown to their guard frame, and walks over the call frames that
// name the calls in error reports.
#pragma once
#include "runtime/stack.h"

namespace zav {

// Called by the error raiser with each error built, before it unwinds: the evaluator
// installs its tracer's `error` event here. Null: no one is told.
using ErrorHook = void (*)(const Cell* error);
extern ErrorHook on_error;

}  // namespace zav

namespace zav::frames {

// Unwinds to the innermost error guard (kind 4 or 5) with the error noted
// where it happened, leaves it pushed and throws Throw{THROW_ERROR}.
[[noreturn]] void throw_error(Cell* error);
// The same for a caller that returns at once: the error is left pending
// (stack::pending) rather than thrown.
void pend_error(Cell* error);

// The error of a caught THROW_ERROR, taken out of error::thrown; one thrown
// bare (it could not be built) is built from error::last. None when there is
// no error to build.
Cell* take_thrown_error(Cell* out);

// What fire and fire_pending call (registered at start-up): builds the
// error category/id as a value, when errors can be built, and unwinds the
// frames above its guard; false when it could not build it.
bool raise_error(const char* category, const char* id, const Cell* arg1, const Cell* arg2, const Cell* arg3);

// Frame walks. Frames named <body> or <anon> are not user calls and are skipped.
Cell* get_call_name(Cell* out);
void collect_calls(Cell* block);
void walk_frames(i32 level, Cell* block, CallFrame* end_frame);
i32 count_frames(i32 level, const Cell* position, Cell* string, i32 budget);
void note_error_frames(Cell* error);

}  // namespace zav::frames
