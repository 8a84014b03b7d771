// Start-up of the runtime: every module's initialisation, in its fixed order.
#include "boot/boot.h"

#include <cstdlib>

#include "datatypes/action.h"
#include "datatypes/binary.h"
#include "datatypes/bitset.h"
#include "datatypes/char.h"
#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "loader/lexer.h"
#include "datatypes/file.h"
#include "datatypes/url.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/native.h"
#include "datatypes/none.h"
#include "datatypes/op.h"
#include "datatypes/paren.h"
#include "datatypes/path.h"
#include "datatypes/routine.h"
#include "datatypes/series.h"
#include "datatypes/context.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/time.h"
#include "datatypes/triple.h"
#include "datatypes/date.h"
#include "datatypes/handle.h"
#include "datatypes/map.h"
#include "datatypes/port.h"
#include "datatypes/pair.h"
#include "datatypes/percent.h"
#include "datatypes/point2d.h"
#include "datatypes/point3d.h"
#include "datatypes/money.h"
#include "datatypes/tag.h"
#include "datatypes/tuple.h"
#include "datatypes/typeset.h"
#include "datatypes/vector.h"
#include "datatypes/unset.h"
#include "datatypes/word.h"
#include "datatypes/random.h"
#include "evaluator/natives.h"
#include "runtime/stack.h"
#include "runtime/case_folding.h"
#include "datatypes/cycles.h"
#include "runtime/collector.h"
#include "runtime/handles.h"
#include "runtime/helpers.h"
#include "runtime/memory.h"
#include "runtime/slots.h"
#include "datatypes/ownership.h"
#include "datatypes/words.h"
#include "evaluator/parse.h"
#include "evaluator/actions.h"
#include "evaluator/checksum.h"
#include "evaluator/interpreter.h"
#include "view/terminal/gui.h"

namespace zav::boot {

void init_runtime() {
    static bool done = false;
    static u32 generation = 0;
    if (done && generation == memory::generation) return;
    done = true;
    // No collection while start-up builds the runtime: its parts are not all
    // reachable from the roots until the end (a second start-up, after the
    // memory was wiped, begins with the collector still active).
    collector::disable();
    gui::init();
    random::init();
    memory::init();
    generation = memory::generation;
    collector::init();
    handles::init();
    collector::stress = [] { const char* v = std::getenv("ZAV_GC_STRESS"); return v && v[0] == '1' && !v[1]; }();

    // Datatypes register parent first, in this fixed order.
    datatype::init();
    unset::init();
    none::init();
    logic::init();
    series::init();
    block::init();
    string::init();
    binary::init();
    integer::init();
    symbol::init_type();
    context::init();
    word::init();
    lit_word::init();
    set_word::init();
    get_word::init();
    refinement::init();
    char_::init();
    native::init();
    action::init();
    op::init();
    path::init();
    lit_path::init();
    set_path::init();
    get_path::init();
    function::init();
    routine::init();
    paren::init();
    issue::init();
    url::init();
    file::init();
    object::init();
    bitset::init();
    triple::init();
    float_::init();
    typeset::init();
    error::init();
    // (further datatypes: vector! map! hash! pair! percent! tuple! time! tag! email! handle! date! port! money! ref! point2D! point3D! image!)
    vector::init();
    map::init();
    hash::init();
    pair::init();
    percent::init();
    tuple::init();
    time::init();
    tag::init();
    email::init();
    handle::init();
    date::init();
    port::init();
    money::init();
    ref::init();
    point2D::init();
    point3D::init();

    cycles::init();
    case_folding::init();
    symbol::init();
    // The root block holds values that the runtime keeps for good.
    root = alloc_cells(1000);
    context::make_global(4000);
    words::build();
    words::build_locals();
    words::build_issue();
    typeset::init_named();
    ownership::init();
    stack::init_default();
    slots::init();
    lexer::init();
    // The generic action entries come after every datatype's action table.
    actions::init();
    interpreter::init();
    // The native table, then the native and action words of the global context.
    natives::init();
    natives::bind_globals();
    parse::init();
    checksum::init();
    // Errors can be built as values from here on.
    error::ready();
    // Everything built so far is reachable from the roots: collections may run.
    collector::enable();
}

}  // namespace zav::boot
