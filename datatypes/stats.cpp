// Memory statistics over the memory manager's frame lists.
#include "datatypes/stats.h"

#include <initializer_list>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "runtime/scope.h"
#include "runtime/collector.h"
#include "runtime/cell.h"
#include "runtime/rt.h"

namespace zav::memory {

namespace {

constexpr u32 NODE_SLOT = 4, NODE_HEADER = 36, SERIES_HEADER_BYTES = 20, BIG_HEADER = 12, HEAP_HEADER = 16;

// An integer! while it fits, else a float!.
Cell* number_at(Cell* cell, double v) {
    if (v <= 2147483647.0) return integer::make_at(cell, static_cast<i32>(v));
    return float_::make_at(cell, v);
}

void append_triple(Cell* list, u32 free, u32 used, u32 total) {
    Cell* item = block::make_in(list, 3);
    item->header |= FLAG_NEW_LINE;
    Cell c;
    for (u32 v : {free, used, total}) block::zs_append(item, integer::make_at(&c, static_cast<i32>(v)));
}

}  // namespace

double stats(Cell* block, i32 mode) {
    // Nothing may move or go while the frames are read.
    Restore<bool> still(collector::active, false);
    if (mode < 2) {
        double sum = 0;
        for (off32 f = record.n_head; f; f = at<NodeFrame>(f)->next) sum += double(NODE_SLOT) * at<NodeFrame>(f)->used;
        for (off32 f = record.s_head; f; f = at<SeriesFrame>(f)->next)
            sum += double(at<SeriesFrame>(f)->heap - (f + SERIES_HEADER_BYTES));
        for (off32 f = record.b_head; f; f = at<BigFrame>(f)->next) sum += at<BigFrame>(f)->size;
        return sum;
    }
    // The frames are read first, then the blocks are built: the figures are
    // those of the moment of the call.
    double footprint = 0, heap = 0;
    std::vector<u32> node_rows, series_rows, big_sizes;
    for (off32 f = record.n_head; f; f = at<NodeFrame>(f)->next) {
        NodeFrame* n = at<NodeFrame>(f);
        node_rows.insert(node_rows.end(), {n->capacity - n->used, n->used, n->capacity});
        footprint += double(NODE_SLOT) * n->capacity + NODE_HEADER;
    }
    for (off32 f = record.s_head; f; f = at<SeriesFrame>(f)->next) {
        SeriesFrame* s = at<SeriesFrame>(f);
        off32 data = f + SERIES_HEADER_BYTES;
        series_rows.insert(series_rows.end(), {s->end - s->heap, s->heap - data, s->end - data});
        footprint += s->size;  // the header included
    }
    for (off32 f = record.b_head; f; f = at<BigFrame>(f)->next) {
        big_sizes.push_back(at<BigFrame>(f)->size);
        footprint += double(at<BigFrame>(f)->size) + BIG_HEADER;
    }
    for (HeapBlock* h = system_record.heap_list.first; h; h = h->next) heap += double(h->size) + HEAP_HEADER;
    // The three lists by position: the block's buffer may grow as they are added.
    u32 first = block::buffer_of(block)->length();
    for (u32 i = 0; i < 3; i++) block::make_in(block, 4);
    auto list = [&](u32 i) { return block::zs_abs_at(block, first + i); };
    for (size_t i = 0; i < node_rows.size(); i += 3) append_triple(list(0), node_rows[i], node_rows[i + 1], node_rows[i + 2]);
    for (size_t i = 0; i < series_rows.size(); i += 3)
        append_triple(list(1), series_rows[i], series_rows[i + 1], series_rows[i + 2]);
    for (u32 size : big_sizes) {
        Cell c;
        number_at(&c, size);
        c.header |= FLAG_NEW_LINE;
        block::zs_append(list(2), &c);
    }
    Cell c;
    block::zs_append(block, number_at(&c, footprint + heap));
    block::zs_append(block, number_at(&c, heap));
    return 0.0;
}

}  // namespace zav::memory
