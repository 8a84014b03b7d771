// The text, system and input-output natives: print and prin, percent and base
// encodings, case change, local paths, waiting, the environment, child
// processes, file sizes and opening documents.
#include <string>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/date.h"
#include "datatypes/file.h"
#include "datatypes/integer.h"
#include "datatypes/map.h"
#include "datatypes/none.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/simple_io.h"
#include "datatypes/url.h"
#include "datatypes/unset.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/call_values.h"
#include "evaluator/natives.h"
#include "runtime/scope.h"
#include "runtime/stack.h"
#include "runtime/fire.h"
#include "runtime/case_folding.h"
#include "runtime/platform/files.h"
#include "runtime/platform/platform.h"
#include "runtime/platform/process.h"
#include "runtime/print_hooks.h"

namespace zav::natives {

bool line_ended = false;  // no output yet
void (*after_wait)() = nullptr;

namespace {

Cell* arg(u32 n) { return stack::arguments + n; }

i32 ref(const i32* refinements, u32 k) { return refinements ? refinements[k] : -1; }

// Where the next print reduces into: nested prints work above the head their
// caller left, and give it back when done.
u32 print_head = 0;

u32 buffer_length() { return GET_BUFFER(print_buffer())->length(); }

// Cuts the shared buffer back to `head` cells.
void cut_buffer(u32 head) {
    SeriesBuffer* b = GET_BUFFER(print_buffer());
    if (b->length() > head) b->tail = b->offset + head * sizeof(Cell);
}

// reduce/into the buffer from its tail, in a call frame of its own.
void reduce_into_buffer(Cell* value, u32 head) {
    Cell name, into;
    word::make_at(symbol::make("reduce"), &name);
    make_cell(&into, TYPE_BLOCK, head, print_buffer());
    Cell v = *value;
    stack::mark_call(&name);
    stack::push(&v);
    stack::push(&into);
    const i32 refinements[1] = {1};
    call(N_REDUCE, false, refinements);
    // print goes on with the reduced values: an exit goes on as a throw.
    stack::throw_pending();
    stack::unwind();
}

void print_value(bool new_line) {
    Cell* value = stack::arguments;
    bool reduced = TYPE_OF(value) == TYPE_BLOCK;
    u32 old_head = print_head;
    u32 head = 0;
    {
        // What the reduction added to the shared print buffer goes however this ends.
        OnExit restore([&] {
            if (reduced) {
                cut_buffer(head);
                print_head = old_head;
            }
        });
        if (reduced) {
            head = buffer_length();
            print_head = head;
            reduce_into_buffer(value, head);
            make_cell(stack::arguments, TYPE_BLOCK, head, print_buffer());
            stack::top = stack::arguments + 1;
        }
        if (TYPE_OF(stack::arguments) == TYPE_STRING) {
            u32 len = GET_BUFFER(series_node(stack::arguments))->length();
            if (series_head(stack::arguments) > len) series_head(stack::arguments) = len;
        } else {
            actions::form_star(-1);
        }
        print_hooks::print(stack::arguments, new_line);
    }
    line_ended = new_line;
    unset::push_last();
    stack::top = stack::arguments + 1;
}

}  // namespace

void print_star(bool check, const i32*) {
    if (check) check_args(N_PRINT, nullptr);
    print_value(true);
}

void prin_star(bool check, const i32*) {
    if (check) check_args(N_PRIN, nullptr);
    print_value(false);
}

}  // namespace zav::natives

namespace zav::natives {

namespace {

// The base of debase and enbase: 64 unless /base gives one of 2, 16, 58, 64.
u32 base_of(const i32* refinements) {
    i32 at = ref(refinements, 0);
    if (at < 0) return 64;
    Cell* base = arg(static_cast<u32>(at));
    i32 b = integer::get(base);
    if (b != 2 && b != 16 && b != 58 && b != 64) fire("script", "invalid-arg", base);
    return static_cast<u32>(b);
}

// The text of a name argument (a string type or a word's spelling) as UTF-8.
// A NUL inside would name another variable to the platform: invalid-arg.
std::string env_name(Cell* var) {
    std::string name;
    if (string::any_string_q(TYPE_OF(var))) {
        simple_io::to_bytes(var, -1, true, name);
    } else {
        name = symbol::get_c_string(static_cast<i32>(word_symbol(var)));
    }
    if (name.find('\0') != std::string::npos) fire("script", "invalid-arg", var);
    return name;
}

}  // namespace

void dehex_star(bool check, const i32* refinements) {
    if (check) check_args(N_DEHEX, refinements);
    Cell* out = string::make_push(string::zs_length_q(arg(0)));
    url::decode(arg(0), out);
    copy_cell(out, arg(0));
    stack::keep();
}

void enhex_star(bool check, const i32* refinements) {
    if (check) check_args(N_ENHEX, refinements);
    Cell* out = string::make_push(string::zs_length_q(arg(0)));
    url::encode(arg(0), out, TYPE_OF(arg(0)) == TYPE_STRING ? url::ENCODE_COMPONENT : url::ENCODE_URL);
    copy_cell(out, arg(0));
    stack::keep();
}

void debase_star(bool check, const i32* refinements) {
    if (check) check_args(N_DEBASE, refinements);
    u32 base = base_of(refinements);
    Cell* text = arg(0);
    u32 count = string::zs_length_q(text);
    const u8* src = string::zs_head(text);
    u32 unit = GET_BUFFER(series_node(text))->unit();
    node_t node = 0;
    switch (base) {
        case 16: node = binary::decode_16(src, unit, count); break;
        case 2: node = binary::decode_2(src, unit, count); break;
        case 58: node = binary::decode_58(src, unit, count); break;
        default: node = binary::decode_64(src, unit, count); break;
    }
    if (node) make_cell(arg(0), TYPE_BINARY, 0, node, 0);
    else make_cell(arg(0), TYPE_NONE);
    stack::keep();
}

void enbase_star(bool check, const i32* refinements) {
    if (check) check_args(N_ENBASE, refinements);
    u32 base = base_of(refinements);
    Cell* value = arg(0);
    // The input bytes live in a buffer of the arena; the copy keeps them
    // still while the output is allocated.
    std::string bytes;
    simple_io::to_bytes(value, -1, true, bytes);
    u32 count = static_cast<u32>(bytes.size());
    u64 size = binary::encoded_size(base, count);
    if (count && (size == 0 || size >= 0x7FFFFFFF)) fire("script", "too-long");
    Cell* out = binary::load_in(stack::push_star(), static_cast<u32>(size) + 1);
    SeriesBuffer* b = GET_BUFFER(series_node(out));
    const u8* src = reinterpret_cast<const u8*>(bytes.data());
    u8* end = b->head();
    switch (base) {
        case 16: end = binary::encode_16(b->head(), src, count); break;
        case 2: end = binary::encode_2(b->head(), src, count); break;
        case 58: end = binary::encode_58(b->head(), src, count); break;
        default: end = binary::encode_64(b->head(), src, count); break;
    }
    b->tail = b->offset + static_cast<u32>(end - b->head());
    set_type(out, TYPE_STRING);
    copy_cell(out, arg(0));
    stack::keep();
}

void uppercase_star(bool check, const i32* refinements) {
    if (check) check_args(N_UPPERCASE, refinements);
    i32 part = ref(refinements, 0);
    string::change_case(arg(0), part >= 0 ? arg(static_cast<u32>(part)) : nullptr, 1);
    stack::keep();
}

void lowercase_star(bool check, const i32* refinements) {
    if (check) check_args(N_LOWERCASE, refinements);
    i32 part = ref(refinements, 0);
    string::change_case(arg(0), part >= 0 ? arg(static_cast<u32>(part)) : nullptr, 0);
    stack::keep();
}

void to_local_file_star(bool check, const i32* refinements) {
    if (check) check_args(N_TO_LOCAL_FILE, refinements);
    Cell* out = string::make_push(string::zs_length_q(arg(0)));
    file::to_local_path(arg(0), out, ref(refinements, 0) >= 0);
    set_type(out, TYPE_STRING);
    copy_cell(out, arg(0));
    stack::keep();
}

void wait_star(bool check, const i32* refinements) {
    if (check) check_args(N_WAIT, refinements);
    Cell* value = arg(0);
    double seconds;
    switch (TYPE_OF(value)) {
        case TYPE_INTEGER: seconds = integer::get(value); break;
        case TYPE_FLOAT: case TYPE_TIME: seconds = cell_float(value); break;
        default: fire("script", "invalid-arg", value);
    }
    make_cell(arg(0), TYPE_NONE);
    stack::keep();
    platform::sleep(seconds);
    if (after_wait) after_wait();
}

void set_env_star(bool check, const i32* refinements) {
    if (check) check_args(N_SET_ENV, refinements);
    std::string name = env_name(arg(0));
    Cell* value = arg(1);
    bool ok;
    if (TYPE_OF(value) == TYPE_NONE) {
        ok = platform::set_env(name.c_str(), nullptr);
    } else {
        std::string text;
        simple_io::to_bytes(value, -1, true, text);
        if (text.find('\0') != std::string::npos) fire("script", "invalid-arg", value);
        ok = platform::set_env(name.c_str(), text.c_str());
    }
    // An empty name or one holding "=" is refused by the platform.
    if (!ok) fire("script", "invalid-arg", arg(0));
    copy_cell(value, arg(0));
    stack::keep();
}

void get_env_star(bool check, const i32* refinements) {
    if (check) check_args(N_GET_ENV, refinements);
    std::string name = env_name(arg(0));
    u32 size = platform::get_env(name.c_str(), nullptr, 0);
    if (size == 0) {
        make_cell(arg(0), TYPE_NONE);
    } else {
        std::string value(size, '\0');
        value.resize(platform::get_env(name.c_str(), value.data(), size));
        copy_cell(simple_io::outside_text(value), arg(0));
    }
    stack::keep();
}

void list_env_star(bool check, const i32* refinements) {
    if (check) check_args(N_LIST_ENV, refinements);
    // Names and values alternate in the map's block.
    auto entries = platform::list_env();
    Cell* out = block::make_at(stack::push_star(), static_cast<u32>(entries.size() * 2 + 1));
    for (const auto& [name, value] : entries) {
        block::zs_append(out, simple_io::outside_text(name));
        block::zs_append(out, simple_io::outside_text(value));
        stack::pop(2);
    }
    map::make_at(arg(0), series_node(out), block::zs_length_q(out));
    stack::keep();
}

void now_star(bool check, const i32* refinements) {
    if (check) check_args(N_NOW, refinements);
    // Refinements: 0 year, 1 month, 2 day, 3 time, 4 zone, 5 date, 6 weekday, 7 yearday, 8 precise, 9 utc.
    auto used = [&](u32 k) { return ref(refinements, k) >= 0; };
    u32 chosen = 0;
    for (u32 k = 0; k < 9; k++) chosen += used(k);
    if (chosen > 1 && !(chosen == 2 && used(3) && used(8))) fire("script", "bad-refines");
    platform::Now now = platform::get_now(used(9), used(8));
    Cell* result = arg(0);
    if (used(5)) {
        date::make_from_parts(result, now.year, now.month, now.day, false, 0.0, 0);
        stack::keep();
        return;
    }
    date::make_from_parts(result, now.year, now.month, now.day, true, now.seconds, now.zone);
    static const i32 FIELDS[] = {2, 3, 4, 6, 5};  // year month day time zone
    i32 field = 0;
    for (u32 k = 0; k < 5; k++)
        if (used(k)) field = FIELDS[k];
    if (used(6)) field = 10;
    if (used(7)) {
        integer::make_at(result, date::get_yearday(result->data1));
    } else if (field) {
        Cell* value = date::get_field(result, field);
        copy_cell(value, result);
    }
    stack::keep();
}

void call_star(bool check, const i32* refinements) {
    if (check) check_args(N_CALL, refinements);
    Cell* cmd = arg(0);
    if (string::zs_length_q(cmd) == 0) {
        integer::make_at(cmd, 0);
        stack::keep();
        return;
    }
    if (TYPE_OF(cmd) == TYPE_FILE) {
        Cell* local = string::make_push(string::zs_length_q(cmd));
        file::to_local_path(cmd, local, false);
        set_type(local, TYPE_STRING);
        copy_cell(local, cmd);
    }
    auto used = [&](u32 k) { return ref(refinements, k) >= 0; };
    auto value = [&](u32 k) { return used(k) ? arg(static_cast<u32>(ref(refinements, k))) : nullptr; };
    i32 status = call_values::run(cmd, used(0), used(1), used(2), used(3), value(4), value(5), value(6));
    integer::make_at(arg(0), status);
    stack::keep();
}

void size_q_star(bool check, const i32* refinements) {
    if (check) check_args(N_SIZE_Q, refinements);
    Cell* file = arg(0);
    std::string path = file::to_OS_path(file);
    i64 size = -1;
    if (!simple_io::dir_q(file) && path.find('\0') == std::string::npos) {
        int fd = simple_io::open_file(path.c_str(), simple_io::OPEN_READ);
        // A folder opens on this platform, but has no size as a file.
        if (fd >= 0 && !simple_io::directory_q(path.c_str())) size = simple_io::file_size_q(fd);
        simple_io::close_file(fd);
    }
    if (size < 0) {
        make_cell(file, TYPE_NONE);
    } else if (size > 0x7FFFFFFF) {
        Cell type;
        make_cell(&type, TYPE_DATATYPE, TYPE_INTEGER);
        fire("script", "type-limit", &type);
    } else {
        integer::make_at(file, static_cast<i32>(size));
    }
    stack::keep();
}

void browse_star(bool check, const i32* refinements) {
    if (check) check_args(N_BROWSE, refinements);
    Cell* target = arg(0);
    Cell* text = string::make_push(string::zs_length_q(target));
    if (TYPE_OF(target) == TYPE_FILE) file::to_local_path(target, text, false);
    else string::append(text, target);
    std::string what;
    simple_io::to_bytes(text, -1, true, what);
    // The desktop's opener takes it from here; whether it managed is not known.
    if (what.find('\0') == std::string::npos) {
        call::Redirect none;
        call::Redirect none_out;
        call::Redirect none_err;
        (void)call::spawn("xdg-open \"" + what + "\"", false, false, false, none, none_out, none_err);
    }
    make_cell(arg(0), TYPE_UNSET);
    stack::keep();
}

}  // namespace zav::natives
