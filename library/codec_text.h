// What the codecs' readers and writers share: a block of values under
// construction that the collector keeps, and text written in the narrowest
// unit that holds it.
#pragma once
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "datatypes/block.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
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
// code point comes. The buffer grows by realloc, which moves large buffers
// by remapping their pages rather than copying them.
class Text {
public:
    Text() = default;
    ~Text() { std::free(data_); }
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;

    void put(u32 cp) {
        if (cp > limit_) widen(unicode::unit_for(cp));
        reserve(unit_);
        unicode::put_char(data_ + size_, unit_, cp);
        size_ += unit_;
    }
    void ascii(const char* s, size_t n) { chars(reinterpret_cast<const u8*>(s), static_cast<u32>(n), 1); }
    void ascii(const char* s) { ascii(s, std::strlen(s)); }
    // n code points stored in the given unit.
    void chars(const u8* p, u32 n, u32 unit) {
        if (n == 0) return;
        if (unit > unit_) {
            u32 max_cp = 0;
            for (u32 i = 0; i < n; i++) max_cp = std::max(max_cp, unicode::get_char(p + i * unit, unit));
            if (max_cp > limit_) widen(unicode::unit_for(max_cp));
        }
        reserve(size_t(n) * unit_);
        u8* out = data_ + size_;
        size_ += size_t(n) * unit_;
        if (unit == unit_) {
            std::memcpy(out, p, size_t(n) * unit);
        } else if (unit == 1 && unit_ == 4) {
            for (u32 i = 0; i < n; i++) {
                u32 c = p[i];
                std::memcpy(out + i * 4, &c, 4);
            }
        } else {
            for (u32 i = 0; i < n; i++) unicode::put_char(out + i * unit_, unit_, unicode::get_char(p + i * unit, unit));
        }
    }
    void make(Cell* out) const {
        u32 n = static_cast<u32>(size_ / unit_);
        node_t s = alloc_codepoints(n, unit_);
        SeriesBuffer* b = GET_BUFFER(s);
        if (size_) std::memcpy(b->head(), data_, size_);
        b->tail = b->offset + static_cast<u32>(size_);
        make_cell(out, TYPE_STRING, 0, s, 0);
    }

private:
    void reserve(size_t more) {
        if (size_ + more <= capacity_) return;
        size_t want = std::max({capacity_ * 2, size_ + more, size_t(4096)});
        void* p = std::realloc(data_, want);
        if (!p) fire("internal", "no-memory");
        data_ = static_cast<u8*>(p);
        capacity_ = want;
    }
    void widen(u32 unit) {
        size_t n = size_ / unit_;
        u8* wide = static_cast<u8*>(std::malloc(std::max(capacity_ / unit_ * unit, size_t(4096))));
        if (!wide) fire("internal", "no-memory");
        for (size_t i = 0; i < n; i++) unicode::put_char(wide + i * unit, unit, unicode::get_char(data_ + i * unit_, unit_));
        std::free(data_);
        data_ = wide;
        capacity_ = std::max(capacity_ / unit_ * unit, size_t(4096));
        size_ = n * unit;
        unit_ = unit;
        limit_ = unit == 2 ? 0xFFFF : 0xFFFFFFFF;
    }

    u8* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
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
