// The library's routines: routine! bodies written in C++, by name.
#pragma once

namespace zav::routines {

// Hands the table to the routine! datatype; start-up calls it before the
// library's top level defines its routines.
void register_all();

}  // namespace zav::routines
