// The clipboard, the command line and type guards as values.
#include "evaluator/host.h"

#include <string>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/file.h"
#include "datatypes/logic.h"
#include "datatypes/simple_io.h"
#include "datatypes/string.h"
#include "datatypes/url.h"
#include "evaluator/stack.h"
#include "runtime/helpers.h"
#include "runtime/platform/clipboard.h"
#include "runtime/rt.h"
#include "runtime/unicode.h"

namespace zav::clipboard {

namespace {

// A block of file! values from "text/uri-list" lines: comments skipped, only
// local files ("file://" with an empty or local host) taken, escapes decoded.
Cell* files_of(const std::string& list) {
    Cell* out = block::make_at(stack::push_star(), 8);
    size_t start = 0;
    while (start < list.size()) {
        size_t end = list.find('\n', start);
        if (end == std::string::npos) end = list.size();
        std::string line = list.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#' || line.rfind("file://", 0) != 0) continue;
        size_t slash = line.find('/', 7);
        if (slash == std::string::npos) continue;
        std::string host = line.substr(7, slash - 7);
        if (!host.empty() && host != "localhost") continue;
        std::string path = line.substr(slash);
        Cell* f = url::decode_text(reinterpret_cast<const u8*>(path.data()), static_cast<u32>(path.size()),
                                   stack::push_star());
        set_type(f, TYPE_FILE);
        block::zs_append(out, f);
        stack::pop(1);
    }
    return out;
}

// A path's bytes with everything but letters, digits, "-._~" and "/" as %XX.
std::string uri_escaped(const std::string& path) {
    static const char HEX[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if (url::component_char_q(c) || c == '/') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += HEX[c >> 4];
            out += HEX[c & 15];
        }
    }
    return out;
}

}  // namespace

Cell* read() {
    Kind kind;
    std::string data;
    switch (get(kind, data)) {
        case ReadResult::unavailable: return logic::make_at(stack::push_star(), false);
        case ReadResult::empty: return make_cell(stack::push_star(), TYPE_NONE);
        case ReadResult::ok: break;
    }
    if (kind == Kind::files) return files_of(data);
    return simple_io::utf8_to_string(reinterpret_cast<const u8*>(data.data()), static_cast<u32>(data.size()));
}

bool write(Cell* value) {
    std::string data;
    switch (TYPE_OF(value)) {
        case TYPE_NONE: return set(Kind::nothing, data);
        case TYPE_STRING: {
            simple_io::to_bytes(value, -1, true, data);
            return set(Kind::text, data);
        }
        case TYPE_BLOCK: {
            u32 n = block::zs_length_q(value);
            for (u32 i = 0; i < n; i++) {
                Cell* f = stack::push(block::zs_head(value) + i);
                if (TYPE_OF(f) != TYPE_FILE) fire("script", "invalid-arg", f);
                // Other programs need whole paths, escaped as URLs.
                Cell* full = string::make_push(string::zs_length_q(f) + 16);
                file::to_local_path(f, full, true);
                std::string path;
                simple_io::to_bytes(full, -1, true, path);
                data += "file://" + uri_escaped(path) + "\r\n";
                stack::pop(2);
            }
            return set(Kind::files, data);
        }
        default: fire("script", "invalid-arg", value);
    }
}

}  // namespace zav::clipboard

namespace zav::platform {

Cell* command_line(Cell* result) {
    std::string text;
    for (int i = 0; i < system_record.argc && system_record.argv[i]; i++) {
        std::string arg = system_record.argv[i];
        if (i) text += ' ';
        if (arg.empty() || arg.find_first_of(" \t") != std::string::npos) text += '"' + arg + '"';
        else text += arg;
    }
    Cell* s = simple_io::utf8_to_string(reinterpret_cast<const u8*>(text.data()), static_cast<u32>(text.size()));
    copy_cell(s, result);
    stack::pop(1);
    return result;
}

u32 check_type(Cell* value, u32 type) {
    if (TYPE_OF(value) != type) fire("script", "invalid-arg", value);
    return type;
}

}  // namespace zav::platform
