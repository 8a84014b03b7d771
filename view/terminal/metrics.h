// Text metrics of rich-text faces in cells: caret positions, the character
// under a point, line height, the laid-out size and the line count.
#pragma once
#include "runtime/cell.h"

namespace zav::gui {

enum MetricsType : i32 {
    METRIC_CARET_TO_OFFSET = 0,
    METRIC_OFFSET_TO_CARET = 1,
    METRIC_LINE_HEIGHT = 2,
    METRIC_SIZE = 3,
    METRIC_LINE_COUNT = 4,
    METRIC_OFFSET_TO_CHAR = 5,
    METRIC_CARET_TO_OFFSET_LOWER = 6,
};

// The answer for a face whose text is a string; none for an unknown type.
Cell* text_box_metrics(const Cell* face, const Cell* arg, i32 type, Cell* out);

}  // namespace zav::gui
