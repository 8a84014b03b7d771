// tag!, email! and ref!: string kinds with their own text forms; email!
// also has user and host paths.
#pragma once
#include "runtime/cell.h"

namespace zav::tag {
Cell* push(const Cell* value);
void init();
}  // namespace zav::tag

namespace zav::email {
Cell* push(const Cell* value);
void init();
}  // namespace zav::email

namespace zav::ref {
Cell* push(const Cell* value);
void init();
}  // namespace zav::ref
