// The system object as the datatypes see it.
#include "datatypes/system_object.h"

#include "datatypes/object.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/collector.h"
#include "runtime/memory.h"

namespace zav::system_object {

namespace {

Cell held{TYPE_NONE, 0, 0, 0};
u32 held_generation = 0;

void mark_held() {
    if (held_generation == memory::generation) collector::mark_value(&held);
}

}  // namespace

void set(const Cell* system) {
    collector::register_marker(mark_held);
    held = *system;
    held_generation = memory::generation;
}

Cell* field(std::initializer_list<const char*> names) {
    // Symbols first: making one may collect, and the walk holds pointers.
    i32 syms[8];
    u32 n = 0;
    for (const char* name : names) {
        if (n == 8) return nullptr;
        syms[n++] = symbol::make(name);
    }
    if (held_generation != memory::generation) return nullptr;
    Cell* v = &held;
    for (u32 k = 0; k < n; k++) {
        if (TYPE_OF(v) != TYPE_OBJECT) return nullptr;
        Cell w;
        word::make_at(syms[k], &w);
        i32 i = object::find_word(v, &w);
        if (i < 0) return nullptr;
        v = object::get_values(v) + i;
    }
    return v;
}

}  // namespace zav::system_object
