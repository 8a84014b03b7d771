// The zavbin codec's routines over the ZAVBIN reader and writers.
#include "library/codecs.h"

#include "evaluator/actions.h"
#include "loader/zavbin.h"
#include "runtime/collector.h"
#include "runtime/stack.h"

namespace zav::codecs {

void zavbin_encode_star() {
    Cell data = *stack::arguments;
    collector::Guard keep(&data);
    bool compact = stack::arguments[1].data1 != 0;
    *stack::arguments = *zavbin::codec_encode_star(&data, compact);
}

void zavbin_decode() {
    Cell payload = *stack::arguments;
    collector::Guard keep(&payload);
    u32 t = TYPE_OF(&payload);
    if (t == TYPE_FILE || t == TYPE_URL)
        payload = *actions::read_dispatch(&payload, nullptr, nullptr, true, false, false, nullptr);
    *stack::arguments = *zavbin::codec_decode(&payload);
}

}  // namespace zav::codecs
