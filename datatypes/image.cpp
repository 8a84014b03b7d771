// image!: make and to, text forms, pixel and path access, comparison,
// movement, change and copy of rectangles, and the decode and encode
// entries of the image codecs.
#include "datatypes/image.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/file.h"
#include "datatypes/imaging.h"
#include "datatypes/integer.h"
#include "datatypes/ownership.h"
#include "datatypes/pair.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/tuple.h"
#include "datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/platform/files.h"
#include "runtime/platform/image_files.h"
#include "runtime/stack.h"

namespace zav::image {

namespace {

inline u32 head_of(const Cell* image) { return series_head(image); }

// Tells an owning object about a change (only an owned image pays more
// than a look-up).
void tell(const Cell* image, const char* action, i32 index, i32 count, const Cell* value = nullptr) {
    if (!ownership::owned_q(series_node(image))) return;
    Cell held = *image;
    ownership::check(&held, symbol::make(action), value, index, count);
}

[[noreturn]] void invalid_arg(const Cell* value) {
    Cell v = *value;
    fire("script", "invalid-arg", &v);
}

[[noreturn]] void not_done() { fire("internal", "not-done"); }

// Channel extraction and setting modes, as paths name them.
enum Channel : i32 { CHANNEL_ALPHA = 0, CHANNEL_RGB = 1, CHANNEL_ARGB = 2 };

// The path word's channel (-1 for size, -2 for none).
i32 field_of(const Cell* element) {
    if (!word::any_word_q(TYPE_OF(element))) return -2;
    i32 sym = symbol::resolve(static_cast<i32>(element->data2));
    auto is = [sym](const char* name) { return sym == symbol::resolve(symbol::make(name)); };
    if (is("size")) return -1;
    if (is("argb")) return CHANNEL_ARGB;
    if (is("rgb")) return CHANNEL_RGB;
    if (is("alpha")) return CHANNEL_ALPHA;
    return -2;
}

// A pixel's offset from the head: an integer counts along the rows, a pair
// is column x row. Base 1 (pick, poke, at) counts from 1 as series do, base
// 0 (skip) from 0. The answer is clamped to the pixels; `outside` tells a
// position that names no pixel.
u32 get_position(const Cell* image, const Cell* index, i32 base, bool* outside) {
    i64 w = width_of(image), h = height_of(image), n = w * h;
    i64 offset;
    bool out = false;
    if (TYPE_OF(index) == TYPE_PAIR) {
        i64 x = pair::x_of(index), y = pair::y_of(index);
        offset = base == 1 && y > 0 ? x + w * (y - 1) : x + w * y;
        out = base == 1 ? x > w || x <= 0 || y > h || y <= 0 : x >= w || x < 0 || y >= h || y < 0;
    } else if (TYPE_OF(index) == TYPE_INTEGER) {
        offset = integer::get(index);
    } else {
        invalid_arg(index);
    }
    i64 p = offset + head_of(image) - base;
    if (base == 1 && offset <= 0) p++;
    if ((base == 1 && offset == 0) || p < 0 || p >= n) out = true;
    if (outside) *outside = out;
    return static_cast<u32>(std::clamp<i64>(p, 0, n));
}

// The index argument of pick and poke: a pair stands in its own cell.
u32 pixel_position(const Cell* image, i32 index, const Cell* boxed, bool* outside) {
    Cell i;
    if (index == 0 && boxed && TYPE_OF(boxed) == TYPE_PAIR) i = *boxed;
    else integer::make_at(&i, index);
    return get_position(image, &i, 1, outside);
}

Cell* get_pixel(Cell* out, const Cell* image, u32 position) {
    if (position >= pixel_count(image)) return make_cell(out, TYPE_NONE);
    return pixel_tuple(out, pixels_of(image)[position]);
}

// The colour word of a set-data value: an integer as alpha << 24 | red << 16
// | green << 8 | blue, a tuple as red.green.blue.alpha (alpha 0 when it has
// three bytes), alpha inverted as everywhere in the language.
u32 colour_of(const Cell* value) {
    if (TYPE_OF(value) == TYPE_TUPLE) return tuple_pixel(value);
    u32 v = value->data2;
    return (v & 0xFFFFFF) | (255u - (v >> 24)) << 24;
}

// The alpha a set-data value gives in the alpha channel: an integer's low
// byte, a tuple's alpha byte; inverted.
u32 alpha_of(const Cell* value) {
    if (TYPE_OF(value) == TYPE_TUPLE) return tuple_pixel(value) >> 24;
    return 255u - (value->data2 & 255);
}

Cell* set_data(Cell* image, Cell* value, i32 mode) {
    u32 vt = TYPE_OF(value);
    if (vt != TYPE_BINARY && vt != TYPE_TUPLE && vt != TYPE_INTEGER) invalid_arg(value);
    u32 n = pixel_count(image);
    u32* p = pixels_of(image);
    if (vt == TYPE_BINARY) {
        Cell bin = *value;
        const u8* bytes = binary::zs_head(&bin);
        u32 len = binary::zs_length_q(&bin);
        if (mode == CHANNEL_ARGB) {
            std::memcpy(p, bytes, std::min<u64>(u64(n) * 4, len));
        } else if (mode == CHANNEL_RGB) {
            u32 m = std::min(n, len / 3);
            for (u32 i = 0; i < m; i++)
                p[i] = (p[i] & 0xFF000000u) | bytes[3 * i + 2] | u32(bytes[3 * i + 1]) << 8 | u32(bytes[3 * i]) << 16;
        } else {
            u32 m = std::min(n, len);
            for (u32 i = 0; i < m; i++) p[i] = (p[i] & 0xFFFFFF) | (255u - bytes[i]) << 24;
        }
    } else if (mode == CHANNEL_ARGB) {
        std::fill(p, p + n, colour_of(value));
    } else if (mode == CHANNEL_RGB) {
        u32 rgb = colour_of(value) & 0xFFFFFF;
        for (u32 i = 0; i < n; i++) p[i] = (p[i] & 0xFF000000u) | rgb;
    } else {
        u32 a = alpha_of(value) << 24;
        for (u32 i = 0; i < n; i++) p[i] = (p[i] & 0xFFFFFF) | a;
    }
    tell(image, "poke", -1, -1, value);
    return value;
}

Cell* pick(Cell* image, i32 index, Cell* boxed) {
    bool outside;
    u32 at = pixel_position(image, index, boxed, &outside);
    Cell* out = boxed ? boxed : image;
    if (outside) return make_cell(out, TYPE_NONE);
    return get_pixel(out, image, at);
}

Cell* poke(Cell* image, i32 index, Cell* data, Cell* boxed) {
    bool outside;
    u32 at = pixel_position(image, index, boxed, &outside);
    if (outside) {
        // The index as it was given.
        Cell i;
        if (boxed) i = *boxed;
        else integer::make_at(&i, index);
        fire("script", "out-of-range", &i);
    }
    if (TYPE_OF(data) != TYPE_TUPLE) invalid_arg(data);
    Cell v = *data;
    pixels_of(image)[at] = tuple_pixel(&v);
    tell(image, "poke", static_cast<i32>(at), 1, &v);
    return copy_cell(&v, boxed ? boxed : image);
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, i32, bool, bool, bool) {
    u32 et = TYPE_OF(element);
    if (et == TYPE_INTEGER || et == TYPE_PAIR) {
        Cell* out = stack::push(element);
        i32 index = et == TYPE_INTEGER ? integer::get(element) : 0;
        return value ? poke(parent, index, value, out) : pick(parent, index, out);
    }
    i32 field = field_of(element);
    if (field == -2 || (field == -1 && value)) fire("script", "invalid-path", path, element);
    if (value) return set_data(parent, value, field);
    if (field == -1) return pair::push(static_cast<i32>(width_of(parent)), static_cast<i32>(height_of(parent)));
    return extract_data(parent, field);
}

// ---- make and to ------------------------------------------------------------------

Cell* to(Cell* proto, Cell* spec, u32) {
    if (TYPE_OF(spec) == TYPE_IMAGE) {
        Cell s = *spec;
        return copy_rect(proto, &s, 0, 0, width_of(&s), height_of(&s));
    }
    // A face's picture comes from a graphical back-end; the terminal has none.
    Cell dt, s = *spec;
    fire("script", "bad-to-arg", datatype::make_at(&dt, TYPE_IMAGE), &s);
}

Cell* make(Cell* proto, Cell* spec, u32 type) {
    u32 st = TYPE_OF(spec);
    if (st == TYPE_PAIR) {
        i64 w = std::max(0, pair::x_of(spec)), h = std::max(0, pair::y_of(spec));
        return make_from_data(proto, w, h, nullptr, nullptr, nullptr);
    }
    if (st != TYPE_BLOCK) return to(proto, spec, type);
    u32 len = block::zs_length_q(spec);
    if (len == 0) {
        if (TYPE_OF(proto) != TYPE_IMAGE) invalid_arg(spec);
        Cell p = *proto;
        return copy_rect(proto, &p, 0, 0, width_of(&p), height_of(&p));
    }
    // The items are kept in locals the collector sees: the block may hold
    // the only reference to the binaries.
    stack::TopGuard guard;
    Cell* items = stack::push(block::zs_head(spec));
    if (TYPE_OF(items) != TYPE_PAIR) invalid_arg(items);
    Cell* data = len > 1 ? stack::push(block::zs_head(spec) + 1) : nullptr;
    Cell* alpha = len > 2 ? stack::push(block::zs_head(spec) + 2) : nullptr;
    if (data && TYPE_OF(data) != TYPE_BINARY && TYPE_OF(data) != TYPE_TUPLE) invalid_arg(data);
    if (alpha && TYPE_OF(alpha) != TYPE_BINARY) invalid_arg(alpha);
    i64 w = std::max(0, pair::x_of(items)), h = std::max(0, pair::y_of(items));
    bool colour = data && TYPE_OF(data) == TYPE_TUPLE;
    Cell* out = stack::push_star();
    make_from_data(out, w, h, colour ? nullptr : data, alpha, colour ? data : nullptr);
    return copy_cell(out, proto);
}

// ---- text -------------------------------------------------------------------------

const char HEX[] = "0123456789ABCDEF";

void put_hex(std::string& out, u32 byte) {
    out += HEX[(byte >> 4) & 15];
    out += HEX[byte & 15];
}

// Both forms: "make image! [" WxH, the colours from the head as red, green,
// blue, then, when any of those pixels is not opaque, their alpha. `level`
// is the depth of the lines inside the braces (mold: one deeper than the
// value, form: 0). More than ten pixels go on lines of ten; a line break
// follows every tenth pixel (every tenth alpha byte), so a full last line
// leaves the closing brace at the inner indentation. The alpha always
// stands on lines of its own. /flat writes no line break at all: it
// promises one line, which error messages rely on.
i32 serialize(Cell* image, Cell* buffer, bool only, bool flat, Cell* arg, i32 part, i32 level) {
    std::string out;
    auto spent = [&] { return arg && static_cast<i64>(out.size()) >= part; };
    auto line = [&](i32 depth) {
        if (flat) return;
        out += '\n';
        if (depth > 0) out.append(static_cast<size_t>(depth) * 4, ' ');
    };
    if (!only) out += "make image! [";
    out += std::to_string(width_of(image)) + "x" + std::to_string(height_of(image));
    u32 n = pixel_count(image);
    if (n == 0) {
        // Balanced under /only too: the text must load back.
        out += only ? " #{}" : " #{}]";
    } else {
        u32 head = std::min(head_of(image), n), count = n - head;
        const u32* p = pixels_of(image) + head;  // nothing allocates until the text is appended
        constexpr u32 PER_LINE = 10;
        u64 data = u64(count) * 3;
        out += " #{";
        if (data >= 31) line(level);
        bool translucent = false;
        for (u32 i = 0; i < count && !spent(); i++) {
            put_hex(out, p[i] >> 16);
            put_hex(out, p[i] >> 8);
            put_hex(out, p[i]);
            translucent |= (p[i] >> 24) != 255;
            if ((i + 1) % PER_LINE == 0) line(level);
        }
        if (data > 30 && count % PER_LINE != 0) line(level - 1);
        out += '}';
        if (translucent && !spent()) {
            out += " #{";
            line(level);
            for (u32 i = 0; i < count && !spent(); i++) {
                put_hex(out, 255 - (p[i] >> 24));
                if ((i + 1) % PER_LINE == 0) line(level);
            }
            line(level - 1);
            out += '}';
        }
        if (!only) out += ']';
    }
    if (arg && static_cast<i64>(out.size()) > part) out.resize(static_cast<size_t>(std::max(part, 0)));
    string::concatenate_literal_part(buffer, out.data(), static_cast<u32>(out.size()));
    return part - static_cast<i32>(out.size());
}

i32 form(Cell* image, Cell* buffer, Cell* arg, i32 part) {
    return serialize(image, buffer, false, false, arg, part, 0);
}

i32 mold(Cell* image, Cell* buffer, bool only, bool, bool flat, Cell* arg, i32 part, i32 indent) {
    return serialize(image, buffer, only, flat, arg, part, indent + 1);
}

// ---- comparison -------------------------------------------------------------------

i32 compare(Cell* value1, Cell* value2, i32 op) {
    if (TYPE_OF(value2) != TYPE_IMAGE) return -2;
    switch (op) {
        case COMP_EQUAL: case COMP_NOT_EQUAL: case COMP_STRICT_EQUAL: case COMP_SORT: case COMP_CASE_SORT:
        case COMP_FIND: case COMP_SAME:
            break;
        default:
            return -2;  // images have no order
    }
    if (series_node(value1) == series_node(value2) && head_of(value1) == head_of(value2)) return 0;
    if (op == COMP_SAME) return 1;
    // Images of different shapes differ, whatever their bytes.
    u32 n1 = pixel_count(value1), n2 = pixel_count(value2);
    if (n1 != n2) return n1 < n2 ? -1 : 1;
    u32 w1 = width_of(value1), w2 = width_of(value2);
    if (w1 != w2) return w1 < w2 ? -1 : 1;
    u32 h1 = height_of(value1), h2 = height_of(value2);
    if (h1 != h2) return h1 < h2 ? -1 : 1;
    if (n1 == 0) return 0;
    int r = std::memcmp(pixels_of(value1), pixels_of(value2), u64(n1) * 4);
    return r < 0 ? -1 : r > 0 ? 1 : 0;
}

// ---- movement ---------------------------------------------------------------------

Cell* at() {
    Cell* image = stack::arguments;
    series_head(image) = get_position(image, stack::arguments + 1, 1, nullptr);
    return image;
}

Cell* skip() {
    Cell* image = stack::arguments;
    series_head(image) = get_position(image, stack::arguments + 1, 0, nullptr);
    return image;
}

Cell* next() {
    Cell* image = stack::arguments;
    if (head_of(image) + u64(1) <= pixel_count(image)) series_head(image)++;
    return image;
}

Cell* tail() {
    Cell* image = stack::arguments;
    series_head(image) = pixel_count(image);
    return image;
}

Cell* tail_q() {
    Cell* image = stack::arguments;
    return make_cell(image, TYPE_LOGIC, head_of(image) >= pixel_count(image) ? 1 : 0);
}

// Every pixel, wherever the head stands.
i32 length_q(Cell* image) { return static_cast<i32>(pixel_count(image)); }

// ---- change and copy --------------------------------------------------------------

// Pastes the source at the head's column and row, clipped to the target;
// the head moves past the last row pasted, to the right of what was pasted.
void paste(Cell* image, Cell* source) {
    u32 w = width_of(image), h = height_of(image), n = w * h, head = head_of(image);
    if (head >= n) return;
    u32 sw = width_of(source), sh = height_of(source);
    u32 x = head % w, y = head / w;
    u32 rows = std::min(sh, h - y), cols = std::min(sw, w - x);
    // Read first: the source may be the target itself.
    std::vector<u32> from(pixels_of(source), pixels_of(source) + u64(sw) * sh);
    tell(image, "change", static_cast<i32>(head), 0, source);
    u32* to = pixels_of(image);
    for (u32 r = 0; r < rows; r++) std::memcpy(to + u64(y + r) * w + x, from.data() + u64(r) * sw, u64(cols) * 4);
    if (rows) series_head(image) = (y + rows - 1) * w + std::min(x + sw, w);
    tell(image, "changed", static_cast<i32>(head), static_cast<i32>(rows * cols), source);
}

Cell* change(Cell* image, Cell* value, Cell* part, bool, Cell* dup) {
    if (part || (dup && TYPE_OF(dup) == TYPE_INTEGER && integer::get(dup) >= 2)) not_done();
    u32 vt = TYPE_OF(value);
    if (vt == TYPE_TUPLE) {
        Cell v = *value;
        tell(image, "change", static_cast<i32>(head_of(image)), 1, &v);
        Cell index;
        integer::make_at(&index, 1);
        poke(image, 1, &v, &index);
        series_head(image)++;
        tell(image, "changed", static_cast<i32>(head_of(image) - 1), 1, &v);
        return image;
    }
    if (vt == TYPE_IMAGE) {
        Cell source = *value;
        paste(image, &source);
        return image;
    }
    Cell dt;
    fire("script", "invalid-type", datatype::make_at(&dt, vt));
}

// The rectangle a copy/part takes, as x, y, width, height (a width or height
// below 1 gives the empty image).
struct Rect {
    i64 x, y, w, h;
};

Rect part_rect(const Cell* image, const Cell* part) {
    i64 w = width_of(image), h = height_of(image), head = head_of(image);
    u32 pt = TYPE_OF(part);
    if (pt == TYPE_PAIR) {
        i64 pw = pair::x_of(part), ph = pair::y_of(part);
        i64 x = head % w, y = head / w;
        if (pw >= 1 && ph >= 1 && head < w * h) return {x, y, std::min(pw, w - x), std::min(ph, h - y)};
        if (pw < 0 && ph < 0 && head >= 1) {
            // Left of the head's column and up from its row, the row
            // included; column 0 stands for the right edge. The tail's row
            // lies below the image: from there the rectangle ends at the
            // bottom edge.
            i64 right = x == 0 ? w : x, bottom = std::min(y + 1, h);
            i64 left = std::max<i64>(right + pw, 0), top = std::max<i64>(bottom + ph, 0);
            return {left, top, right - left, bottom - top};
        }
        return {0, 0, 0, 0};
    }
    if (pt == TYPE_IMAGE && series_node(part) == series_node(image)) {
        i64 a = std::min<i64>(head, series_head(part)), b = std::max<i64>(head, series_head(part));
        a = std::min(a, w * h);
        b = std::min(b, w * h);
        i64 x = a % w, y = a / w;
        return {x, y, b % w - x, b / w - y};
    }
    if (pt == TYPE_INTEGER) not_done();
    Cell word, p = *part;
    fire("script", "invalid-refine-arg", series::word_arg(&word, "part"), &p);
}

Cell* copy(Cell* image, Cell* result, Cell* part, bool, Cell*) {
    Cell src = *image;
    u32 w = width_of(&src), h = height_of(&src);
    if (w == 0 || h == 0) return make_blank(result, 0, 0);
    Rect r;
    if (part) {
        r = part_rect(&src, part);
    } else {
        u32 head = std::min(head_of(&src), w * h);
        r = {head % w, head / w, w - head % w, h - head / w};
        if (head == 0) r = {0, 0, w, h};
    }
    if (r.w < 1 || r.h < 1) return make_blank(result, 0, 0);
    return copy_rect(result, &src, static_cast<u32>(r.x), static_cast<u32>(r.y), static_cast<u32>(r.w),
                     static_cast<u32>(r.h));
}

}  // namespace

// ---- offered to other modules --------------------------------------------------------

Cell* extract_data(Cell* image, i32 mode) {
    Cell img = *image;
    u32 n = pixel_count(&img);
    u32 per = mode == CHANNEL_ARGB ? 4 : mode == CHANNEL_RGB ? 3 : 1;
    Cell* out = binary::load_in(stack::push_star(), n * per);
    SeriesBuffer* b = GET_BUFFER(series_node(out));
    u8* to = b->head();
    const u32* p = pixels_of(&img);
    if (mode == CHANNEL_ARGB) {
        std::memcpy(to, p, u64(n) * 4);
    } else if (mode == CHANNEL_RGB) {
        for (u32 i = 0; i < n; i++, to += 3) {
            to[0] = static_cast<u8>(p[i] >> 16);
            to[1] = static_cast<u8>(p[i] >> 8);
            to[2] = static_cast<u8>(p[i]);
        }
    } else {
        for (u32 i = 0; i < n; i++) to[i] = static_cast<u8>(255 - (p[i] >> 24));
    }
    b->tail = b->offset + n * per;
    return out;
}

void get_pixels(Cell* words, Cell* image, i32 n) {
    Cell img = *image;
    for (i32 i = 0; i < n; i++) {
        stack::TopGuard guard;
        Cell* v = get_pixel(stack::push_star(), &img, head_of(&img) + static_cast<u32>(i));
        Cell w = block::zs_head(words)[i];
        context::set(&w, v);
    }
}

bool known_format_q(const Cell* binary) {
    Cell b = *binary;
    return image_files::format_of(binary::zs_head(&b), binary::zs_length_q(&b)) >= 0;
}

namespace {

[[noreturn]] void no_codec(i32 format) {
    Cell w;
    fire("access", "no-codec", series::word_arg(&w, image_files::name_of(format)));
}

}  // namespace

Cell* decode(Cell* data) {
    Cell* out = stack::push_star();
    make_cell(out, TYPE_NONE);
    if (TYPE_OF(data) == TYPE_BINARY) {
        Cell b = *data;
        if (!known_format_q(&b)) return out;
        // Decoding allocates the image, which may move the binary's bytes.
        std::vector<u8> bytes(binary::zs_head(&b), binary::zs_head(&b) + binary::zs_length_q(&b));
        Failure f = image::decode(out, bytes.data(), bytes.size());
        if (f == Failure::no_library) no_codec(image_files::format_of(bytes.data(), bytes.size()));
        if (f != Failure::none) fire("access", "bad-media");
        return out;
    }
    // Anything but bytes names where the image is; only a file! can.
    Cell file = *data;
    std::string bytes;
    if (TYPE_OF(&file) == TYPE_FILE &&
        simple_io::read_file(file::to_OS_path(&file).c_str(), -1, -1, bytes) == simple_io::ReadResult::ok) {
        const u8* p = reinterpret_cast<const u8*>(bytes.data());
        Failure f = image::decode(out, p, bytes.size());
        if (f == Failure::no_library) no_codec(image_files::format_of(p, bytes.size()));
        if (f == Failure::none) return out;
    }
    fire("access", "cannot-open", &file);
}

Cell* encode(Cell* image, Cell* where, i32 format) {
    Cell img = *image;
    if (width_of(&img) == 0 || height_of(&img) == 0) fire("access", "bad-media");
    std::string bytes;
    Failure f = image::encode(&img, format, bytes);
    if (f == Failure::no_library) no_codec(format);
    if (f != Failure::none) fire("access", "bad-media");
    Cell* out = binary::load(reinterpret_cast<const u8*>(bytes.data()), static_cast<u32>(bytes.size()));
    if (!where) return out;
    *where = *out;
    stack::pop(1);
    return where;
}

Cell* resize(Cell* image, u32 width, u32 height) {
    Cell source = *image;
    return scale(stack::push_star(), &source, width, height);
}

void init() {
    datatype::register_type(TYPE_IMAGE, TYPE_SERIES_ID, "image!", {
        own<ACT_MAKE>(make), own<ACT_TO>(to), own<ACT_FORM>(form), own<ACT_MOLD>(mold),
        own<ACT_EVAL_PATH>(eval_path), own<ACT_COMPARE>(compare), own<ACT_AT>(at), inherit<ACT_BACK>(),
        own<ACT_CHANGE>(change), own<ACT_COPY>(copy), inherit<ACT_HEAD>(), inherit<ACT_HEAD_Q>(),
        inherit<ACT_INDEX_Q>(), own<ACT_LENGTH_Q>(length_q), own<ACT_NEXT>(next), own<ACT_PICK>(pick),
        own<ACT_POKE>(poke), own<ACT_SKIP>(skip), own<ACT_TAIL>(tail), own<ACT_TAIL_Q>(tail_q),
        inherit<ACT_MODIFY>(),
    });
}

}  // namespace zav::image
