// Start-up of the runtime: every module's initialisation, in its fixed order.
#include "boot/boot.h"

#include "datatypes/datatype.h"
#include "datatypes/symbol.h"
#include "evaluator/stack.h"
#include "runtime/case_folding.h"
#include "runtime/memory.h"

namespace zav::boot {

void init_runtime() {
    static bool done = false;
    static u32 generation = 0;
    if (done && generation == memory::generation) return;
    done = true;
    memory::init();
    generation = memory::generation;
    // Datatypes register parent first; the order is fixed.
    datatype::init();
    case_folding::init();
    symbol::init();
    stack::init_default();
}

}  // namespace zav::boot
