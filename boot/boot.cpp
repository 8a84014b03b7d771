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

    // Datatypes register parent first, in this fixed order.
    datatype::init();
    // unset::init();
    // none::init();
    // logic::init();
    // series::init();
    // block::init();
    // string::init();
    // binary::init();
    // integer::init();
    // symbol! registers with the symbol table below
    // context::init();
    // word::init();
    // lit_word::init();
    // set_word::init();
    // get_word::init();
    // refinement::init();
    // char_::init();
    // native::init();
    // action::init();
    // op::init();
    // path::init();
    // lit_path::init();
    // set_path::init();
    // get_path::init();
    // function::init();
    // routine::init();
    // paren::init();
    // issue::init();
    // url::init();
    // file::init();
    // object::init();
    // bitset::init();
    // triple::init();
    // float_::init();
    // typeset::init();
    // error::init();
    // (further datatypes: vector! map! hash! pair! percent! tuple! time! tag! email! handle! date! port! money! ref! point2D! point3D! image!)
    // time::init();

    case_folding::init();
    symbol::init();
    stack::init_default();
}

}  // namespace zav::boot
