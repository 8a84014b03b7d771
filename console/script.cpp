// The command-line script: reading its text, loading it from its header on,
// and handing it to the executable's entry.
#include "console/script.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <sys/stat.h>

#include "datatypes/error.h"
#include "datatypes/file.h"
#include "datatypes/string.h"
#include "loader/lexer.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace zav::console {

namespace {

// A script file longer than this is refused before it is read whole (a
// stream such as /dev/zero is read no further): a token takes at least two
// bytes with its separator and loads into a 16-byte cell, so longer text could
// not be loaded into the 4 GiB arena, and the lexer addresses at most
// lexer::MAX_INPUT_BYTES anyway.
constexpr size_t MAX_SCRIPT_BYTES = size_t(1) << 28;

enum class ReadResult { ok, cannot_open, too_long, no_memory };

// The whole file with a leading byte-order mark dropped and CR LF turned into
// LF. Streams (pipes, devices) are read up to the limit and no further.
ReadResult read_source(const char* path, std::string& out) {
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return ReadResult::cannot_open;
    struct stat st{};
    if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) && u64(st.st_size) > MAX_SCRIPT_BYTES) {
        std::fclose(f);
        return ReadResult::too_long;
    }
    static char buf[65536];  // not on the machine stack, which may be small
    size_t n;
    bool too_long = false;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        if (out.size() + n > MAX_SCRIPT_BYTES) {
            too_long = true;
            break;
        }
        try {
            out.append(buf, n);
        } catch (const std::bad_alloc&) {  // under a memory limit: the language's error, not an abort
            std::fclose(f);
            std::string().swap(out);
            return ReadResult::no_memory;
        }
    }
    bool ok = !std::ferror(f);
    std::fclose(f);
    if (too_long) {
        std::string().swap(out);
        return ReadResult::too_long;
    }
    size_t from = out.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    size_t to = 0;
    for (size_t i = from; i < out.size(); i++) {
        if (out[i] == '\r' && i + 1 < out.size() && out[i + 1] == '\n') continue;
        out[to++] = out[i];
    }
    out.resize(to);
    return ok ? ReadResult::ok : ReadResult::cannot_open;
}

// Text before the `Zav [` header (a first line for the shell, comments) is
// not part of the script. The header is looked for at line starts only, so
// that a script without one keeps its text whole. The skipped text becomes
// blanks: lines and offsets in error reports stay those of the file.
bool blank_before_header(std::string& text) {
    for (size_t at = 0; at < text.size();) {
        if (text.compare(at, 3, "Zav") == 0) {
            size_t p = at + 3;
            if (text.compare(p, 7, "/System") == 0) p += 7;
            while (p < text.size() && (text[p] == ' ' || text[p] == '\t' || text[p] == '\r' || text[p] == '\n')) p++;
            if (p < text.size() && text[p] == '[') {
                for (size_t i = 0; i < at; i++)
                    if (text[i] != '\n') text[i] = ' ';
                return true;
            }
        }
        size_t nl = text.find('\n', at);
        if (nl == std::string::npos) return false;
        at = nl + 1;
    }
    return false;
}

std::string utf8_of(Cell* str) {
    i32 len = -1;  // the whole string
    u8* text = unicode::to_utf8(str, len);
    return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(len));
}

Cell* push_text(const std::string& text) { return string::load(reinterpret_cast<const u8*>(text.data()), static_cast<u32>(text.size()), 0); }

// An error met while reading or loading the script has no code around it:
// its `where` becomes the script, and a syntax error's `near` the source line
// of the failing text.
void place_load_error(const std::string& source, const std::string& name) {
    Cell* err = &error::thrown;
    if (TYPE_OF(err) != TYPE_ERROR) return;
    Cell* where = push_text(name);
    *error::field(err, error::FIELD_WHERE) = *where;
    stack::pop(1);
    if (std::strcmp(error::last.category, "syntax") != 0) {
        make_cell(error::field(err, error::FIELD_NEAR), TYPE_NONE);  // no code ran
        return;
    }
    size_t at = std::min<size_t>(lexer::last_error.offset, source.size());
    size_t nl = at == 0 ? std::string::npos : source.rfind('\n', at - 1);
    size_t start = nl == std::string::npos ? 0 : nl + 1;
    // The report shows 40 characters: far into a long line, begin a little
    // before the failing text (on a character's first byte).
    if (at - start > 30) {
        start = at - 10;
        while (start < at && (static_cast<u8>(source[start]) & 0xC0) == 0x80) start++;
    }
    size_t end = source.find('\n', at);
    if (end == std::string::npos) end = source.size();
    std::string text = source.substr(start, std::min<size_t>(end - start, 160));
    for (char& c : text)
        if (c == '\0' || c == '\t') c = ' ';
    Cell* near = push_text(text);
    *error::field(err, error::FIELD_NEAR) = *near;
    stack::pop(1);
}

}  // namespace

void read_script() {
    Cell* file = stack::arguments;
    std::string name = utf8_of(file);
    std::string source;
    try {
        ReadResult read = read_source(file::to_OS_path(file).c_str(), source);
        if (read == ReadResult::too_long) fire("script", "size-limit", file);
        if (read == ReadResult::no_memory) fire("internal", "no-memory");
        if (read != ReadResult::ok) fire("access", "cannot-open", file);
        stack::arguments[0] = *push_text(source);
    } catch (Throw& t) {
        if (t.value == THROW_ERROR) place_load_error(std::string(), name);
        throw;
    }
}

void load_script() {
    std::string source = utf8_of(stack::arguments);
    std::string name = utf8_of(stack::arguments + 1);
    if (!blank_before_header(source)) {
        make_cell(stack::arguments, TYPE_NONE);
        return;
    }
    Cell* code = stack::push_star();
    make_cell(code, TYPE_NONE);
    try {
        i32 consumed = 0;
        lexer::scan(code, reinterpret_cast<const u8*>(source.data()), static_cast<u32>(source.size()), false, true,
                    true, &consumed, nullptr, nullptr);
    } catch (Throw& t) {
        if (t.value == THROW_ERROR) place_load_error(source, name);
        throw;
    }
    stack::arguments[0] = *code;
}

PendingScript pending_script;

void run_script_file() {
    collector::register_marker([] {
        if (pending_script.set) collector::mark_value(&pending_script.code);
    });
    pending_script.set = true;
    pending_script.code = stack::arguments[0];
    pending_script.keep = TYPE_OF(stack::arguments + 1) == TYPE_LOGIC && stack::arguments[1].data1 != 0;
    make_cell(stack::arguments, TYPE_UNSET);
}

}  // namespace zav::console
