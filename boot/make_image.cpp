// The boot image tool: loads the library's source files, writes them in the
// compact ZAVBIN form and puts that image into a C++ source that the build
// compiles into the executable (and the bare image beside it, OUTPUT.bin).
//   zav-make-image OUTPUT.cpp MODULE.zav...
// A file is a module when its header names the modules it needs, in
// `Needs: [name ...]` (file names without folder and suffix; empty for
// none); other files are left out. The modules may come in any order: each
// runs after the ones it needs, and otherwise in the order given.
#include <cstdio>
#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "boot/boot.h"
#include "datatypes/block.h"
#include "datatypes/symbol.h"
#include "evaluator/natives.h"
#include "runtime/stack.h"
#include "loader/lexer.h"
#include "loader/zavbin.h"
#include "runtime/hashtable.h"
#include "runtime/collector.h"
#include "runtime/cell.h"
#include "runtime/rt.h"

using namespace zav;

namespace {

bool read_file(const char* path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    out = s.str();
    return true;
}

// One byte array, the hashes of its symbols and the Image over them, in the
// generated source.
void write_image(std::ostringstream& out, const char* name, const std::string& bytes) {
    out << "namespace {\nconst zav::u8 " << name << "_bytes[] = {";
    for (size_t i = 0; i < bytes.size(); i++) {
        if (i % 16 == 0) out << "\n   ";
        out << ' ' << static_cast<unsigned>(static_cast<unsigned char>(bytes[i])) << ',';
    }
    std::vector<u32> hashes =
        zavbin::symbol_hashes(reinterpret_cast<const u8*>(bytes.data()), static_cast<u32>(bytes.size()));
    out << "\n};\nconst zav::u32 " << name << "_hashes[] = {0,";
    for (size_t i = 0; i < hashes.size(); i++) out << (i % 8 == 0 ? "\n   " : "") << ' ' << hashes[i] << "u,";
    out << "\n};\n}  // namespace\n\nnamespace zav::boot {\nconst Image " << name << "{" << name << "_bytes, "
        << bytes.size() << ", " << name << "_hashes + 1, " << hashes.size() << ", " << hashtable::seed
        << "u};\n}  // namespace zav::boot\n\n";
}

struct Module {
    std::string path, name, text;
    std::vector<std::string> needs;
    bool module = false, placed = false, visiting = false;
};

std::string name_of(i32 symbol) { return std::string(symbol::get_c_string(symbol), symbol::name_length(symbol)); }

// A module's source scanned into `code`; its `Zav [...]` header, if any, is
// answered (the code then starts after it), else null.
Cell* scan_module(const std::string& text, Cell* code) {
    i32 consumed = 0;
    lexer::scan(code, reinterpret_cast<const u8*>(text.data()), static_cast<u32>(text.size()), false, true, true,
                &consumed, nullptr, nullptr);
    Cell* c = block::zs_head(code);
    if (block::zs_length_q(code) >= 2 && TYPE_OF(c) == TYPE_WORD && TYPE_OF(c + 1) == TYPE_BLOCK &&
        symbol::resolve(static_cast<i32>(c->data2)) == symbol::resolve(symbol::make("Zav"))) {
        series_head(code) += 2;
        return c + 1;
    }
    return nullptr;
}

// The names in the header's `Needs:` block.
void read_needs(Module& m) {
    Cell code;
    make_cell(&code, TYPE_NONE);
    collector::Guard guard(&code);
    Cell* header = scan_module(m.text, &code);
    if (!header) return;
    Cell* f = block::zs_head(header);
    u32 n = block::zs_length_q(header);
    i32 needs = symbol::resolve(symbol::make("Needs"));
    for (u32 i = 0; i + 1 < n; i++) {
        if (TYPE_OF(f + i) != TYPE_SET_WORD || symbol::resolve(static_cast<i32>(f[i].data2)) != needs) continue;
        Cell* list = f + i + 1;
        if (TYPE_OF(list) != TYPE_BLOCK) continue;
        m.module = true;
        Cell* w = block::zs_head(list);
        for (u32 k = 0; k < block::zs_length_q(list); k++)
            if (TYPE_OF(w + k) == TYPE_WORD) m.needs.push_back(name_of(static_cast<i32>(w[k].data2)));
    }
}

// Puts a module after the modules it needs; false (with a message) for an
// unknown name or a cycle.
bool place(std::vector<Module>& all, Module& m, std::vector<Module*>& order) {
    if (m.placed) return true;
    if (m.visiting) {
        std::fprintf(stderr, "zav-make-image: %s needs itself through its Needs\n", m.path.c_str());
        return false;
    }
    m.visiting = true;
    for (const std::string& need : m.needs) {
        auto it = std::find_if(all.begin(), all.end(), [&](const Module& o) { return o.module && o.name == need; });
        if (it == all.end()) {
            std::fprintf(stderr, "zav-make-image: %s needs %s, which is not a module\n", m.path.c_str(), need.c_str());
            return false;
        }
        if (!place(all, *it, order)) return false;
    }
    m.visiting = false;
    m.placed = true;
    order.push_back(&m);
    return true;
}

// One module: its source loaded into a block, the `Zav [...]` header left out.
void load_module(const std::string& text, Cell* modules) {
    Cell code;
    make_cell(&code, TYPE_NONE);
    collector::Guard guard(&code);
    scan_module(text, &code);
    Cell* copy = block::clone(&code, false, false);
    block::zs_append(modules, copy);
    stack::pop(1);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: zav-make-image OUTPUT.cpp MODULE.zav...\n", stderr);
        return 2;
    }
    rt::platform_start(argc, argv);
    std::string bytes, specs;
    try {
        boot::init_runtime();
        Cell modules;
        block::make_at(&modules, static_cast<u32>(argc));
        collector::Guard guard(&modules);
        std::vector<Module> all;
        for (int i = 2; i < argc; i++) {
            Module m;
            m.path = argv[i];
            m.name = m.path.substr(m.path.rfind('/') + 1);
            m.name = m.name.substr(0, m.name.rfind('.'));
            if (!read_file(argv[i], m.text)) {
                std::fprintf(stderr, "zav-make-image: cannot read %s\n", argv[i]);
                return 1;
            }
            read_needs(m);
            all.push_back(std::move(m));
        }
        std::vector<Module*> order;
        for (Module& m : all)
            if (m.module && !place(all, m, order)) return 1;
        for (Module* m : order) load_module(m->text, &modules);
        bytes = boot::encode_image(&modules);
        // What start-up loads from text besides, in the same way as there.
        specs = boot::encode_image(natives::load_builtin_specs());
    } catch (Throw&) {
        std::fputs("zav-make-image: the library does not load\n", stderr);
        return 1;
    }
    std::ostringstream out;
    out << "// Generated by zav-make-image from the library sources: do not edit.\n"
           "#include \"boot/image.h\"\n\n";
    write_image(out, "image", bytes);
    write_image(out, "builtin_specs", specs);
    std::ofstream file(argv[1], std::ios::binary);
    file << out.str();
    // The image itself beside the source, for its size and for inspection.
    std::string raw = argv[1];
    raw = raw.substr(0, raw.rfind('.')) + ".bin";
    std::ofstream image(raw, std::ios::binary);
    image << bytes;
    return file && image ? 0 : 1;
}
