// The clipboard, the command line and type guards as values.
#include "library/host.h"

#include <fstream>
#include <string>
#include <sys/utsname.h>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/file.h"
#include "datatypes/image.h"
#include "datatypes/logic.h"
#include "datatypes/object.h"
#include "datatypes/simple_io.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/tuple.h"
#include "datatypes/url.h"
#include "datatypes/word.h"
#include "runtime/stack.h"
#include "runtime/fire.h"
#include "runtime/platform/clipboard.h"
#include "runtime/rt.h"
#include "runtime/unicode.h"

namespace zav::host {

using clipboard::Kind;
using clipboard::ReadResult;

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

Cell* read_clipboard() {
    Kind kind;
    std::string data;
    switch (clipboard::get(kind, data)) {
        case ReadResult::unavailable: return logic::make_at(stack::push_star(), false);
        case ReadResult::empty: return make_cell(stack::push_star(), TYPE_NONE);
        case ReadResult::ok: break;
    }
    if (kind == Kind::files) return files_of(data);
    if (kind == Kind::image) {
        Cell* bytes = binary::load(reinterpret_cast<const u8*>(data.data()), static_cast<u32>(data.size()));
        return image::decode(bytes);
    }
    return simple_io::utf8_to_string(reinterpret_cast<const u8*>(data.data()), static_cast<u32>(data.size()));
}

bool write_clipboard(Cell* value) {
    std::string data;
    switch (TYPE_OF(value)) {
        case TYPE_NONE: return clipboard::set(Kind::nothing, data);
        case TYPE_STRING: {
            simple_io::to_bytes(value, -1, true, data);
            return clipboard::set(Kind::text, data);
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
            return clipboard::set(Kind::files, data);
        }
        case TYPE_IMAGE: {
            Cell* png = image::encode(value, nullptr, image::IMAGE_PNG);
            data.assign(reinterpret_cast<const char*>(binary::zs_head(png)), binary::zs_length_q(png));
            stack::pop(1);
            return clipboard::set(Kind::image, data);
        }
        default: fire("script", "invalid-arg", value);
    }
}


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

namespace {

// The distribution's name when it says one, else the kernel's.
std::string system_name(const utsname& u) {
    std::ifstream release("/etc/os-release");
    std::string line;
    while (std::getline(release, line)) {
        if (line.rfind("PRETTY_NAME=", 0) != 0) continue;
        std::string v = line.substr(12);
        if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'')) v = v.substr(1, v.size() - 2);
        if (!v.empty()) return v;
    }
    return u.sysname;
}

const char* arch_word(const std::string& machine) {
    if (machine == "x86_64" || machine == "amd64") return "x86-64";
    if (machine == "i386" || machine == "i486" || machine == "i586" || machine == "i686") return "x86-32";
    if (machine == "aarch64" || machine == "arm64") return "ARM64";
    if (machine.rfind("arm", 0) == 0) return "ARM";
    if (machine == "ia64") return "IA-64";
    return "Unknown";
}

// The leading numbers of a text such as "6.1.0-18-amd64" or "#1 SMP ...".
std::vector<u32> numbers_of(const std::string& text, size_t from, u32 most) {
    std::vector<u32> out;
    size_t i = from;
    while (out.size() < most && i < text.size() && text[i] >= '0' && text[i] <= '9') {
        u32 n = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') n = n * 10 + static_cast<u32>(text[i++] - '0');
        out.push_back(n);
        if (i < text.size() && text[i] == '.') i++;
        else break;
    }
    return out;
}

void field(Cell* spec, const char* name, Cell* value) {
    Cell word;
    word::make_at(symbol::make(name), &word);
    set_type(&word, TYPE_SET_WORD);
    block::zs_append(spec, &word);
    block::zs_append(spec, value);
}

}  // namespace

Cell* os_info() {
    utsname u{};
    uname(&u);
    Cell* spec = block::make_at(stack::push_star(), 8);
    std::string name = system_name(u);
    field(spec, "name", string::load(reinterpret_cast<const u8*>(name.data()), static_cast<u32>(name.size()), 0));
    stack::pop(1);
    Cell arch;
    word::make_at(symbol::make(arch_word(u.machine)), &arch);
    set_type(&arch, TYPE_LIT_WORD);
    field(spec, "arch", &arch);
    u8 version[3] = {0, 0, 0};
    std::vector<u32> release = numbers_of(u.release, 0, 3);
    for (size_t i = 0; i < release.size(); i++) version[i] = static_cast<u8>(release[i] > 255 ? 255 : release[i]);
    Cell tuple;
    tuple::make_at(&tuple, 3, version);
    field(spec, "version", &tuple);
    std::string kernel = u.version;
    std::vector<u32> build = numbers_of(kernel, kernel.rfind('#', 0) == 0 ? 1 : kernel.size(), 1);
    Cell number;
    make_cell(&number, TYPE_INTEGER, 0, build.empty() ? 0 : build[0]);
    field(spec, "build", &number);
    Cell* result = stack::push_star();
    make_cell(result, TYPE_NONE);
    object::make(result, spec, TYPE_OBJECT);
    copy_cell(result, spec);
    stack::pop(1);
    return spec;
}

}  // namespace zav::host
