// The budget of work for untrusted code.
#include "runtime/budget.h"

namespace zav::budget {

u64 left = 0;
void (*spent)() = nullptr;

void set(u64 units, void (*on_spent)()) {
    left = units ? units : 1;
    spent = on_spent;
}

}  // namespace zav::budget
