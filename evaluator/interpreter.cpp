// The interpreter's entry points; placeholders until the evaluator is built.
#include "evaluator/interpreter.h"

#include "runtime/helpers.h"

namespace zav::interpreter {

namespace {
Cell code_cell{TYPE_UNSET, 0, 0, 0};
}

void eval(Cell*, bool) { fire("internal", "not-done"); }
i32 do_next_index(Cell*) { fire("internal", "not-done"); }
void call_function(Cell*, node_t, Cell*, u32) { fire("internal", "not-done"); }
void exec_body(Cell*, Cell*, Cell*) { fire("internal", "not-done"); }
void call_routine(Cell*) { fire("internal", "not-done"); }

Cell* current_code() { return &code_cell; }

}  // namespace zav::interpreter
