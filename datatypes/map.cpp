// map!: key normalisation for the map tables.
#include "datatypes/map.h"

#include "runtime/helpers.h"
#include "runtime/memory.h"

namespace zav::map {

void normalise_key(Cell* key) {
    switch (TYPE_OF(key)) {
        case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF:
            key->data2 = copy_series(GET_BUFFER(key->data2));
            key->data3 = 0;  // the text cache belonged to the original
            break;
        case TYPE_BINARY:
            key->data2 = copy_series(GET_BUFFER(key->data2));
            break;
        case TYPE_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD: case TYPE_SET_WORD:
            set_type(key, TYPE_SET_WORD);
            break;
        case TYPE_CHAR: case TYPE_INTEGER: case TYPE_FLOAT: case TYPE_REFINEMENT: case TYPE_ISSUE:
        case TYPE_PAIR: case TYPE_PERCENT: case TYPE_TUPLE: case TYPE_TIME: case TYPE_DATE:
        case TYPE_MONEY: case TYPE_POINT2D: case TYPE_POINT3D:
            break;
        default: {
            Cell type;
            make_cell(&type, TYPE_DATATYPE, TYPE_OF(key));
            fire("script", "invalid-path", &type, key);
        }
    }
}

// not built yet
void extend(Cell*, Cell*, bool) { fire("internal", "not-done"); }

bool foreach_next(Cell*, Cell*, i32) { fire("internal", "not-done"); }

}  // namespace zav::map
