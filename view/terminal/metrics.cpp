// Text metrics in cells.
#include "view/terminal/metrics.h"

#include <algorithm>
#include <climits>

#include "datatypes/float.h"
#include "datatypes/point2d.h"
#include "view/terminal/faces.h"
#include "view/terminal/screen.h"

namespace zav::gui {

namespace {

// Where character `index` (from 1) starts and ends: a character that would
// end beyond the width moves to the next line.
struct CaretPlace {
    i32 start, end, line;
};

CaretPlace caret_place(const Text& t, i32 index, i32 width) {
    i32 x = 0, line = 0;
    for (i32 k = 1; k <= index; k++) {
        if (k - 1 >= static_cast<i32>(t.length)) break;
        u32 c = t.at(static_cast<u32>(k - 1));
        if (c == 10) {
            if (k == index) return {x, x, line};
            x = 0;
            line++;
            continue;
        }
        i32 w = static_cast<i32>(char_width(c));
        if (x + w > width) {
            if (x == 0) break;  // wider than a whole line: it never fits
            x = 0;
            line++;
        }
        if (k == index) return {x, x + w, line};
        x += w;
    }
    return {x, x, line};
}

// The index (from 1) of the character at column px on line py.
i32 index_at(const Text& t, i32 px, i32 py, i32 width, bool* all_taken) {
    i32 index = 1, col = 0, line = 0;
    u32 i = 0;
    while (i < t.length && line < py) {
        u32 c = t.at(i);
        if (c == 10) {
            line++;
            col = 0;
            i++;
            index++;
            continue;
        }
        i32 w = static_cast<i32>(char_width(c));
        if (col + w > width && col > 0) {
            line++;
            col = 0;
            continue;
        }
        col += w;
        i++;
        index++;
        if (col >= width) {
            line++;
            col = 0;
        }
    }
    while (i < t.length && col < px && col < width) {
        u32 c = t.at(i);
        i++;
        index++;
        if (c == 10) break;
        col += static_cast<i32>(char_width(c));
    }
    *all_taken = i >= t.length && py >= line && px >= col;
    return index;
}

}  // namespace

Cell* text_box_metrics(const Cell* face, const Cell* arg, i32 type, Cell* out) {
    Text t = text_of(face::facet(face, face::TEXT));
    float fw, fh;
    i32 width = INT_MAX;
    if (face::planar(face::facet(face, face::SIZE), &fw, &fh)) width = std::max(static_cast<i32>(fw), 0);
    switch (type) {
        case METRIC_CARET_TO_OFFSET:
        case METRIC_CARET_TO_OFFSET_LOWER: {
            i32 index = TYPE_OF(arg) == TYPE_INTEGER ? static_cast<i32>(arg->data2) : 0;
            CaretPlace p = caret_place(t, index, width);
            if (type == METRIC_CARET_TO_OFFSET) return point2D::make_in(out, static_cast<float>(p.start), static_cast<float>(p.line));
            return point2D::make_in(out, static_cast<float>(p.end), static_cast<float>(p.line + 1));
        }
        case METRIC_OFFSET_TO_CARET:
        case METRIC_OFFSET_TO_CHAR: {
            float px, py;
            face::planar(arg, &px, &py);
            bool all = false;
            i32 index = index_at(t, static_cast<i32>(px), static_cast<i32>(py), width, &all);
            if (type == METRIC_OFFSET_TO_CHAR && all && index > 1) index--;
            return make_cell(out, TYPE_INTEGER, 0, static_cast<u32>(index));
        }
        case METRIC_LINE_HEIGHT: return float_::make_at(out, 1.0);
        case METRIC_SIZE: {
            Extent e = wrap_extent(t, width == INT_MAX ? 0 : width);
            return point2D::make_in(out, static_cast<float>(e.width), static_cast<float>(e.lines));
        }
        case METRIC_LINE_COUNT: {
            Extent e = wrap_extent(t, width == INT_MAX ? 0 : width);
            return make_cell(out, TYPE_INTEGER, 0, static_cast<u32>(e.lines));
        }
        default: return make_cell(out, TYPE_NONE);
    }
}

}  // namespace zav::gui
