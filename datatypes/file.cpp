// file! values: platform paths, mold and the file actions of the host services.
#include "datatypes/file.h"

#include "datatypes/datatype.h"
#include "datatypes/logic.h"
#include "datatypes/string.h"
#include "runtime/stack.h"
#include "runtime/fire.h"
#include "runtime/platform/platform.h"
#include "runtime/rt.h"
#include "datatypes/simple_io.h"
#include "runtime/unicode.h"

namespace zav::file {

namespace {

// Refinements that the host file services do not take.
void not_done_if(bool used) {
    if (used) fire("internal", "not-done");
}

}  // namespace

bool quoted_char_q(u32 c) {
    if (c <= ' ') return true;
    switch (c) {
        case '"': case '%': case ';': case '<': case '>': case '[': case '\\': case ']': case '^': case '`':
        case '{': case '|': case '}':
            return true;
        default:
            return false;
    }
}

Cell* load(const u8* text, u32 length, Cell* result) {
    string::load_at(text, length, result, 0);
    return set_type(result, TYPE_FILE);
}

Cell* push(const Cell* file) { return stack::push(file); }

Cell* get_current_dir(Cell* result) {
    u32 length = 0;
    char* dir = platform::get_current_dir(&length);
    if (!dir) {
        string::make_at(result, 1);
    } else {
        string::load_at(reinterpret_cast<const u8*>(dir), length, result, 0);
        rt::free(dir);
    }
    set_type(result, TYPE_FILE);
    u32 len = string::zs_length_q(result);
    if (len == 0 || string::zs_abs_at(result, series_head(result) + len - 1) != '/') string::append_char(result, '/');
    return result;
}

void to_forward_slashes(Cell* file) {
    SeriesBuffer* b = GET_BUFFER(series_node(file));
    u32 unit = b->unit();
    for (u8* p = string::zs_head(file); p < b->tail_ptr(); p += unit)
        if (string::get_char(p, unit) == '\\') string::put_char(p, unit, '/');
}

void to_local_path(Cell* file, Cell* output, bool full) {
    u32 len = string::zs_length_q(file);
    bool absolute = len > 0 && string::zs_abs_at(file, series_head(file)) == '/';
    if (full && !absolute) {
        Cell* dir = get_current_dir(stack::push_star());
        string::append(output, dir);
        stack::pop(1);
    }
    string::append(output, file);
}

std::string to_OS_path(Cell* file) {
    u32 len = string::zs_length_q(file);
    Cell* local = string::make_push(len ? len : 1);
    to_local_path(file, local, false);
    SeriesBuffer* b = GET_BUFFER(series_node(local));
    std::string out(unicode::count_utf8_bytes(b->head(), b->tail_ptr(), b->unit()), '\0');
    unicode::to_utf8_buffer(local, reinterpret_cast<u8*>(out.data()), -1, false);
    stack::pop(1);
    return out;
}

// ---- Actions ------------------------------------------------------------------------

i32 mold(Cell* file, Cell* buffer, bool, bool, bool, Cell* arg, i32 part, i32) {
    u32 head = series_head(file);
    u32 n = string::zs_length_q(file);
    if (arg && part >= 0 && static_cast<u32>(part) < n) n = static_cast<u32>(part);
    bool quoted = n == 0, encoded = false;
    for (u32 i = 0; i < n && !encoded; i++) {
        u32 c = string::zs_abs_at(file, head + i);
        quoted = quoted || (c < 127 && quoted_char_q(c));
        // Quotes cannot carry these: a control character would reach the
        // terminal raw (a line feed ends the name), and "^" and a double
        // quote load back as something else.
        encoded = (string::control_char_q(c) && c != '\t') || c == '"' || c == '^';
    }
    if (encoded) {
        // The unquoted form with "%" escapes, which the lexer decodes.
        SeriesBuffer* out = GET_BUFFER(series_node(buffer));
        u32 before = out->length();
        out = string::append_char(out, '%');
        for (u32 i = 0; i < n; i++) {
            u32 c = string::zs_abs_at(file, head + i);
            if ((c < 127 && quoted_char_q(c)) || string::control_char_q(c)) {
                u8 bytes[4];
                u32 k = unicode::cp_to_utf8(c, bytes);
                for (u32 j = 0; j < k; j++) {
                    out = string::append_char(out, '%');
                    out = string::append_char(out, static_cast<u8>("0123456789ABCDEF"[bytes[j] >> 4]));
                    out = string::append_char(out, static_cast<u8>("0123456789ABCDEF"[bytes[j] & 15]));
                }
            } else {
                out = string::append_char(out, c);
            }
        }
        return part - static_cast<i32>(out->length() - before);
    }
    string::append_char(buffer, '%');
    if (quoted) string::append_char(buffer, '"');
    string::concatenate(buffer, file, static_cast<i32>(n), 0, true, string::CONCAT_APPEND);
    if (quoted) string::append_char(buffer, '"');
    return part - static_cast<i32>(n) - 1 - (quoted ? 2 : 0);
}

Cell* delete_(Cell* file) { return logic::make_at(file, simple_io::delete_(file)); }

Cell* query(Cell* file) {
    Cell* answer = simple_io::query(file);
    copy_cell(answer, file);
    stack::pop(1);
    return file;
}

Cell* read(Cell* source, Cell* part, Cell* seek, bool binary, bool lines, bool info, Cell* as) {
    not_done_if(info || as);
    Cell* answer = simple_io::read(source, part, seek, binary, lines);
    copy_cell(answer, source);
    stack::pop(1);
    return source;
}

Cell* rename(Cell* from, Cell* to) { return logic::make_at(from, simple_io::rename(from, to)); }

Cell* write(Cell* destination, Cell* data, bool binary, bool lines, bool info, bool append, Cell* part, Cell* seek,
            Cell* allow, Cell* as) {
    not_done_if(info || allow || as);
    simple_io::write(destination, data, part, seek, binary, append, lines);
    return make_cell(destination, TYPE_UNSET);
}

void init() {
    datatype::register_type(TYPE_FILE, TYPE_URL, "file!", {
        inherit<ACT_MAKE>(), inherit<ACT_RANDOM>(), inherit<ACT_REFLECT>(), inherit<ACT_TO>(), inherit<ACT_FORM>(),
        own<ACT_MOLD>(mold), inherit<ACT_EVAL_PATH>(), inherit<ACT_COMPARE>(), inherit<ACT_APPEND>(),
        inherit<ACT_AT>(), inherit<ACT_BACK>(), inherit<ACT_CHANGE>(), inherit<ACT_CLEAR>(), inherit<ACT_COPY>(),
        inherit<ACT_FIND>(), inherit<ACT_HEAD>(), inherit<ACT_HEAD_Q>(), inherit<ACT_INDEX_Q>(),
        inherit<ACT_INSERT>(), inherit<ACT_LENGTH_Q>(), inherit<ACT_MOVE>(), inherit<ACT_NEXT>(),
        inherit<ACT_PICK>(), inherit<ACT_POKE>(), inherit<ACT_REMOVE>(), inherit<ACT_REVERSE>(),
        inherit<ACT_SELECT>(), inherit<ACT_SORT>(), inherit<ACT_SKIP>(), inherit<ACT_SWAP>(), inherit<ACT_TAIL>(),
        inherit<ACT_TAIL_Q>(), inherit<ACT_TAKE>(), inherit<ACT_TRIM>(), own<ACT_DELETE>(delete_),
        inherit<ACT_MODIFY>(), own<ACT_QUERY>(query), own<ACT_READ>(read), own<ACT_RENAME>(rename),
        own<ACT_WRITE>(write),
    });
}

}  // namespace zav::file
