// Entry point of the zav executable.
#include <cstdio>

#include "runtime/memory.h"
#include "runtime/rt.h"

int main(int argc, char** argv) {
    using namespace zav;
    try {
        memory::init();
        std::puts("Zav: runtime foundation only; the evaluator is not built yet.");
    } catch (Throw& t) {
        rt::top_catch_handler(t.value);
    }
    rt::quit(0, 0);
}
