// Entry point of the zav executable.
#include "runtime/memory.h"
#include "runtime/platform/platform.h"
#include "runtime/print_hooks.h"
#include "runtime/rt.h"

namespace {

const char PLACEHOLDER[] = "Zav: runtime foundation only; the evaluator is not built yet.";

// The placeholder line as a string! value (unit 1), printed through the hooks.
void print_placeholder() {
    using namespace zav;
    u32 n = sizeof PLACEHOLDER - 1;
    node_t node = alloc_codepoints(n, 1);
    SeriesBuffer* b = GET_BUFFER(node);
    std::memcpy(b->head(), PLACEHOLDER, n);
    b->tail = b->offset + n;
    Cell text;
    make_cell(&text, TYPE_STRING, 0, node);
    print_hooks::print(&text, true);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace zav;
    rt::platform_start(argc, argv);
    try {
        print_hooks::init();
        platform::init();
        memory::init();
        print_placeholder();
    } catch (Throw& t) {
        rt::top_catch_handler(t.value);
    }
    rt::quit(0, 0);
}
