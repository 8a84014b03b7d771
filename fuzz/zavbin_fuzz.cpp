// libFuzzer target: arbitrary bytes through the codec-mode ZAVBIN reader, as
// given and behind a valid magic; whatever decodes is written again in both
// forms and read back. A language error is a normal outcome; a crash, hang,
// sanitizer report or leak is a finding.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "boot/boot.h"
#include "datatypes/block.h"
#include "runtime/cell.h"
#include "runtime/stack.h"
#include "loader/zavbin.h"
#include "runtime/collector.h"
#include "datatypes/cycles.h"

using namespace zav;

static void decode_and_rewrite(const uint8_t* data, size_t size) {
    Cell* saved = stack::top;
    try {
        Cell* out = block::push_only_star(4);
        zavbin::decode(data, out, zavbin::MODE_CODEC, static_cast<i64>(size));
        Cell all = *out;
        for (bool compact : {true, false}) {
            Cell* bin = compact ? zavbin::encode_cp(&all) : zavbin::encode(&all);
            SeriesBuffer* b = GET_BUFFER(series_node(bin));
            std::vector<u8> bytes(b->head(), b->head() + b->length());
            Cell* again = block::push_only_star(4);
            zavbin::decode(bytes.data(), again, zavbin::MODE_CODEC, static_cast<i64>(bytes.size()));
        }
    } catch (Throw&) {
        cycles::reset();
    }
    stack::top = saved;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool up = false;
    static unsigned runs = 0;
    if (!up) {
        boot::init_runtime();
        up = true;
    }
    decode_and_rewrite(data, size);
    std::vector<u8> framed = {'Z', 'A', 'V', 'B', 'I', 'N', 2};
    framed.insert(framed.end(), data, data + size);
    decode_and_rewrite(framed.data(), framed.size());
    if (++runs % 512 == 0) collector::do_cycle();
    return 0;
}
