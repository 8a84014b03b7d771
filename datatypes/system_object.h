// The system object as the datatypes see it. The boot environment builds it
// in the language and registers it here once made; datatypes read their
// settings (money digits, currencies, port prototypes, schemes) from it and
// never include the boot's headers.
#pragma once
#include <initializer_list>

#include "runtime/cell.h"

namespace zav::system_object {

// Records the system object; the value is kept alive from then on, so
// rebinding the word `system` does not change what the datatypes read.
void set(const Cell* system);
// The field a path of field names leads to from the system object, or null
// (no system object yet, a missing field, or a step that is not an object).
Cell* field(std::initializer_list<const char*> names);

}  // namespace zav::system_object
