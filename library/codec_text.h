// What the codecs' readers and writers share: a block of values under
// construction that the collector keeps, and text written in the narrowest
// unit that holds it.
#pragma once
#include <algorithm>
#include <cstring>
#include <string>

#include "datatypes/block.h"
#include "runtime/collector.h"
#include "runtime/memory.h"
#include "runtime/unicode.h"

namespace zav::codec_text {

// A block of values under construction, kept by the collector.
class Work {
public:
    Work() : node_(alloc_cells(64)), guard_(node_) {}
    u32 size() const { return GET_BUFFER(node_)->length(); }
    Cell* at(u32 i) const { return block::cells_of(GET_BUFFER(node_)) + i; }
    // A new unset cell at the top; may collect, so take it before making the value.
    u32 push() {
        u32 i = size();
        alloc_at_tail(node_);
        return i;
    }
    void truncate(u32 n) {
        SeriesBuffer* b = GET_BUFFER(node_);
        b->tail = b->offset + n * sizeof(Cell);
    }

private:
    node_t node_;
    collector::Guard guard_;
};

// A new string of the code points, in the narrowest unit that holds them.
template <class C>
inline node_t make_text(const C* chars, u32 n, u32 max_cp) {
    u32 unit = unicode::unit_for(max_cp);
    node_t s = alloc_codepoints(n, unit);
    SeriesBuffer* b = GET_BUFFER(s);
    u8* out = b->head();
    if (unit == sizeof(C)) {
        std::memcpy(out, chars, n * sizeof(C));
    } else {
        for (u32 i = 0; i < n; i++) unicode::put_char(out + i * unit, unit, chars[i]);
    }
    b->tail = b->offset + n * unit;
    return s;
}

// Text in the narrowest unit that holds it: widened in place when a wider
// code point comes.
class Text {
public:
    void put(u32 cp) {
        if (cp <= limit_ && unit_ == 1) {
            bytes_.push_back(static_cast<char>(cp));
            return;
        }
        if (cp > limit_) widen(unicode::unit_for(cp));
        size_t k = bytes_.size();
        bytes_.resize(k + unit_);
        unicode::put_char(reinterpret_cast<u8*>(bytes_.data()) + k, unit_, cp);
    }
    void ascii(const char* s, size_t n) {
        if (unit_ == 1) bytes_.append(s, n);
        else chars(reinterpret_cast<const u8*>(s), static_cast<u32>(n), 1);
    }
    void ascii(const char* s) { ascii(s, std::strlen(s)); }
    // n code points stored in the given unit.
    void chars(const u8* p, u32 n, u32 unit) {
        if (unit > unit_) {
            u32 max_cp = 0;
            for (u32 i = 0; i < n; i++) max_cp = std::max(max_cp, unicode::get_char(p + i * unit, unit));
            if (max_cp > limit_) widen(unicode::unit_for(max_cp));
        }
        if (unit == unit_) {
            bytes_.append(reinterpret_cast<const char*>(p), size_t(n) * unit);
            return;
        }
        size_t k = bytes_.size();
        bytes_.resize(k + size_t(n) * unit_);
        u8* out = reinterpret_cast<u8*>(bytes_.data()) + k;
        for (u32 i = 0; i < n; i++) unicode::put_char(out + i * unit_, unit_, unicode::get_char(p + i * unit, unit));
    }
    void make(Cell* out) const {
        u32 n = static_cast<u32>(bytes_.size() / unit_);
        node_t s = alloc_codepoints(n, unit_);
        SeriesBuffer* b = GET_BUFFER(s);
        std::memcpy(b->head(), bytes_.data(), bytes_.size());
        b->tail = b->offset + static_cast<u32>(bytes_.size());
        make_cell(out, TYPE_STRING, 0, s, 0);
    }

private:
    void widen(u32 unit) {
        std::string wide(bytes_.size() / unit_ * unit, '\0');
        for (size_t i = 0, n = bytes_.size() / unit_; i < n; i++)
            unicode::put_char(reinterpret_cast<u8*>(wide.data()) + i * unit, unit,
                              unicode::get_char(reinterpret_cast<const u8*>(bytes_.data()) + i * unit_, unit_));
        bytes_.swap(wide);
        unit_ = unit;
        limit_ = unit == 2 ? 0xFFFF : 0xFFFFFFFF;
    }

    std::string bytes_;
    u32 unit_ = 1;
    u32 limit_ = 0xFF;
};

// Calls f(C{}, n) with the code unit type C of a string's buffer and the
// number of code points from its head.
template <class F>
void by_unit(const Cell* str, F f) {
    SeriesBuffer* b = GET_BUFFER(series_node(str));
    u32 len = b->length(), n = len - std::min(series_head(str), len);
    switch (b->unit()) {
        case 1: f(u8{}, n); break;
        case 2: f(u16{}, n); break;
        default: f(u32{}, n); break;
    }
}

}  // namespace zav::codec_text
