// Entry point of the zav executable: `zav FILE` runs a script.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <sys/stat.h>

#include "boot/boot.h"
#include "console/routines.h"
#include "datatypes/block.h"
#include "datatypes/error.h"
#include "datatypes/symbol.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"
#include "runtime/stack.h"
#include "loader/lexer.h"
#include "runtime/helpers.h"
#include "runtime/memory.h"
#include "runtime/platform/platform.h"
#include "runtime/print_hooks.h"
#include "runtime/rt.h"

namespace {

using namespace zav;

// Status of a script ended by an error nothing caught.
constexpr int ERROR_STATUS = 254;

// A string! value (unit 1) holding bytes, pushed on the value stack.
Cell* push_text(const char* text, u32 n) {
    node_t node = alloc_codepoints(n, 1);
    SeriesBuffer* b = GET_BUFFER(node);
    std::memcpy(b->head(), text, n);
    b->tail = b->offset + n;
    return make_cell(stack::push_star(), TYPE_STRING, 0, node);
}

void print_text(const char* text) {
    Cell* s = push_text(text, static_cast<u32>(std::strlen(text)));
    print_hooks::print(s, true);
    stack::pop(1);
}

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

// An error met while reading or loading the script has no code around it:
// its `where` becomes the script, and a syntax error's `near` the source line
// of the failing text.
void place_load_error(const std::string& source, const char* path) {
    Cell* err = &error::thrown;
    if (TYPE_OF(err) != TYPE_ERROR) return;
    Cell* where = push_text(path, static_cast<u32>(std::strlen(path)));
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
    Cell* near = push_text(text.data(), static_cast<u32>(text.size()));
    *error::field(err, error::FIELD_NEAR) = *near;
    stack::pop(1);
}

// Skips a leading `Zav [...]` header.
void skip_header(Cell* code) {
    SeriesBuffer* b = GET_BUFFER(series_node(code));
    Cell* cells = reinterpret_cast<Cell*>(b->head());
    if (b->length() < 2 || TYPE_OF(cells) != TYPE_WORD || TYPE_OF(cells + 1) != TYPE_BLOCK) return;
    if (symbol::resolve(static_cast<i32>(cells->data2)) != symbol::resolve(symbol::make("Zav"))) return;
    series_head(code) = 2;
}

// The error's report: its form, printed, above the stack's current top.
void report(Cell* err) {
    Cell* value = stack::push(err);
    stack::arguments = value;
    if (TYPE_OF(value) == TYPE_ERROR) {
        actions::form_star(-1);
        print_hooks::print(stack::arguments, true);
    } else {
        print_text("** Error: script ended by an unknown throw");
    }
    std::fflush(nullptr);
}

[[noreturn]] void report_and_exit(Cell* err) {
    stack::frame_top = stack::frame_base;
    stack::arguments = stack::top = stack::bottom;
    report(err);
    std::exit(ERROR_STATUS);
}

// `halt` in a script: its throw of halt-request found no catch.
bool halted(const Cell* err) {
    auto is = [](const Cell* c, const char* text) {
        return TYPE_OF(c) == TYPE_WORD &&
               symbol::resolve(static_cast<i32>(c->data2)) == symbol::resolve(symbol::make(text));
    };
    Cell* e = const_cast<Cell*>(err);
    return TYPE_OF(e) == TYPE_ERROR && is(error::field(e, error::FIELD_TYPE), "throw") &&
           is(error::field(e, error::FIELD_ARG1), "halt-request");
}

// The script's directives and macros, carried out in place before it runs.
void expand_directives(Cell* code) {
    static const char call[] = "expand-directives";
    Cell* top = stack::top;
    Cell* block = stack::push_star();
    make_cell(block, TYPE_NONE);
    i32 consumed = 0;
    lexer::scan(block, reinterpret_cast<const u8*>(call), sizeof call - 1, false, true, true, &consumed, nullptr,
                nullptr);
    block::zs_append(block, code);
    interpreter::eval(block, false);
    stack::top = top;
}

// With `keep`, a failure is reported and the run returns (the console goes on).
int run_script(const char* path, bool keep) {
    std::string source;
    Cell err;
    bool expanding = false;
    try {
        Cell* code = stack::push_star();
        make_cell(code, TYPE_NONE);
        try {
            ReadResult read = read_source(path, source);
            if (read != ReadResult::ok) {
                Cell* name = push_text(path, static_cast<u32>(std::strlen(path)));
                set_type(name, TYPE_FILE);
                if (read == ReadResult::too_long) fire("script", "size-limit", name);
                if (read == ReadResult::no_memory) fire("internal", "no-memory");
                fire("access", "cannot-open", name);
            }
            if (!blank_before_header(source)) {
                print_text("*** Error: Zav header not found!");
                std::fflush(nullptr);
                if (keep) return ERROR_STATUS;
                std::exit(ERROR_STATUS);
            }
            i32 consumed = 0;
            lexer::scan(code, reinterpret_cast<const u8*>(source.data()), static_cast<u32>(source.size()), false,
                        true, true, &consumed, nullptr, nullptr);
        } catch (Throw& t) {
            if (t.value == THROW_ERROR) place_load_error(source, path);
            throw;
        }
        // The guard frame: errors unwind to it.
        Cell guard;
        make_cell(&guard, TYPE_WORD, 0, static_cast<u32>(symbol::make("zav")), 0xFFFFFFFF);
        stack::mark(&guard, FRAME_TRY);
        expanding = true;
        expand_directives(code);
        expanding = false;
        skip_header(code);
        interpreter::eval(code, true);
        return 0;
    } catch (Throw& t) {
        if (t.value == THROW_QUIT) return 0;
        if (t.value != THROW_ERROR) {
            make_cell(&err, TYPE_NONE);
        } else if (TYPE_OF(&error::thrown) == TYPE_ERROR) {
            err = error::thrown;
        } else if (stack::top > stack::bottom && TYPE_OF(stack::top - 1) == TYPE_ERROR) {
            err = stack::top[-1];
        } else {
            make_cell(&err, TYPE_NONE);
        }
    }
    if (halted(&err)) {
        // The preprocessor has reported why it stopped: the script never ran.
        if (expanding) {
            std::fflush(nullptr);
            if (keep) return ERROR_STATUS;
            std::exit(ERROR_STATUS);
        }
        print_text("(halted)");
        return 0;
    }
    if (keep) {
        report(&err);
        return ERROR_STATUS;
    }
    report_and_exit(&err);
}

// The console: the library's launch entry, which reads and evaluates lines
// until quit or the end of input.
int run_console(const char* entry) {
    Cell err;
    // The guard frame refers to a local: the stacks go back as they were.
    Cell* top = stack::top;
    Cell* arguments = stack::arguments;
    CallFrame* frame = stack::frame_top;
    try {
        Cell* code = stack::push_star();
        make_cell(code, TYPE_NONE);
        i32 consumed = 0;
        lexer::scan(code, reinterpret_cast<const u8*>(entry), static_cast<u32>(std::strlen(entry)), false, true, true, &consumed,
                    nullptr, nullptr);
        Cell guard;
        make_cell(&guard, TYPE_WORD, 0, static_cast<u32>(symbol::make("zav")), 0xFFFFFFFF);
        stack::mark(&guard, FRAME_TRY);
        interpreter::eval(code, true);
        stack::top = top;
        stack::arguments = arguments;
        stack::frame_top = frame;
        return 0;
    } catch (Throw& t) {
        if (t.value == THROW_QUIT) return 0;
        if (t.value == THROW_ERROR && TYPE_OF(&error::thrown) == TYPE_ERROR) err = error::thrown;
        else make_cell(&err, TYPE_NONE);
    }
    report_and_exit(&err);
}

}  // namespace

// Start-up in its phases: entry set-up (A); the runtime's modules, the boot
// image, the library's definitions and top level (B to E, boot::init_runtime);
// then the launch point, which runs the command-line script (F).
int main(int argc, char** argv) {
    rt::platform_start(argc, argv);
    int status = 0;
    try {
        print_hooks::init();
        platform::init();
        try {
            boot::init_runtime();
        } catch (Throw& t) {
            // An error of the library's top level: reported like any other.
            if (t.value != THROW_ERROR || TYPE_OF(&error::thrown) != TYPE_ERROR) throw;
            Cell err = error::thrown;
            report_and_exit(&err);
        }
        status = run_console("cli-console-ctx/launch");
        if (console::pending_script.set) {
            status = run_script(console::pending_script.path.c_str(), console::pending_script.keep);
            if (console::pending_script.keep) status = run_console("system/console/run/no-banner");
        }
    } catch (Throw& t) {
        rt::top_catch_handler(t.value);
    }
    std::fflush(nullptr);
    rt::quit(status, 0);
}
