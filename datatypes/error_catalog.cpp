// The error catalog: categories, their display names and the message
// template of every error id, in catalog order (the order fixes the codes).

#include "datatypes/error.h"

#include <cstdint>
#include <cstring>

namespace zav::error {

const char* const field_names[FIELD_COUNT] = {"code", "type", "id",   "arg1",  "arg2",
                                              "arg3", "near", "where", "stack", "files"};

namespace {

MessageItem s(const char* text) { return {-1, text, false}; }
const MessageItem a1{FIELD_ARG1, nullptr, true};
const MessageItem a2{FIELD_ARG2, nullptr, true};
const MessageItem a3{FIELD_ARG3, nullptr, true};
const MessageItem w1{FIELD_ARG1, nullptr, false};  // plain words in a few internal templates
const MessageItem w2{FIELD_ARG2, nullptr, false};

ErrorId txt(const char* name, const char* text) { return {name, Template::text, {s(text)}}; }
ErrorId blk(const char* name, std::vector<MessageItem> items) { return {name, Template::block, std::move(items)}; }

std::vector<Category> build() {
    return {
        {"throw", "Throw Error", {
            txt("break", "no loop to break"),
            txt("return", "return or exit not in function"),
            blk("throw", {s("no catch for throw:"), a1}),
            txt("continue", "no loop to continue"),
            txt("while-cond", "BREAK/CONTINUE cannot be used in WHILE condition block"),
        }},
        {"note", "note", {
            blk("no-load", {s("cannot load: "), a1}),
        }},
        {"syntax", "Syntax Error", {
            blk("invalid", {a1, s("invalid"), a2, s("at"), a3}),
            blk("missing", {a1, s("missing"), a2, s("at"), a3}),
            blk("no-header", {s("script is missing a Zav header:"), a1}),
            blk("no-zs-header", {s("script is missing a Zav/System header:"), a1}),
            blk("bad-header", {s("script header is not valid:"), a1}),
            blk("malconstruct", {a1, s("invalid construction spec at"), a2}),
            blk("bad-char", {a1, s("invalid character at"), a2}),
        }},
        {"script", "Script Error", {
            blk("no-value", {a1, s("has no value")}),
            blk("need-value", {a1, s("needs a value")}),
            blk("not-defined", {a1, s("word is not bound to a context")}),
            blk("not-in-context", {s("context for"), a1, s("is not available")}),
            blk("no-arg", {a1, s("is missing its"), a2, s("argument")}),
            blk("expect-arg", {a1, s("does not allow"), a2, s("for its"), a3, s("argument")}),
            blk("expect-val", {s("expected"), a1, s("not"), a2}),
            blk("expect-type", {a1, a2, s("field must be of type"), a3}),
            blk("cannot-use", {s("cannot use"), a1, s("on"), a2, s("value")}),
            blk("invalid-arg", {s("invalid argument:"), a1}),
            blk("invalid-type", {a1, s("type is not allowed here")}),
            blk("invalid-type-spec", {s("invalid type specifier:"), a1}),
            blk("invalid-key-type", {s("invalid key type:"), a1}),
            blk("invalid-op", {s("invalid operator:"), a1}),
            blk("no-op-arg", {a1, s("operator is missing an argument")}),
            txt("bad-op-spec",
                "making an op! requires a function with only 2 arguments and no lit/get-word on left argument"),
            blk("invalid-data", {s("data not in correct format:"), a1}),
            blk("invalid-part", {s("invalid /part count:"), a1}),
            txt("not-same-type", "values must be of the same type"),
            blk("not-same-class", {s("cannot coerce"), a1, s("to"), a2}),
            blk("not-related", {s("incompatible argument for"), a1, s("of"), a2}),
            blk("bad-func-def", {s("invalid function definition:"), a1}),
            blk("bad-func-arg", {s("function argument"), a1, s("is not valid")}),
            blk("bad-func-extern", {s("invalid /extern value:"), a1}),
            blk("no-refine", {a1, s("has no refinement called"), a2}),
            txt("bad-refines", "incompatible or invalid refinements"),
            blk("bad-refine", {s("invalid refinement value:"), a1}),
            blk("dup-refine", {s("duplicate refinement usage in:"), a1}),
            blk("word-first", {s("path must start with a word:"), a1}),
            txt("empty-path", "cannot evaluate an empty path value"),
            blk("unset-path", {a2, s("is unset in path"), a1}),
            blk("invalid-path", {s("cannot access"), a2, s("in path"), a1}),
            blk("invalid-path-set", {s("unsupported type in"), a1, s("set-path")}),
            blk("invalid-path-get", {s("unsupported type in"), a1, s("get-path")}),
            blk("bad-path-type", {a3, s("returned a"), a2, s("value, so"), a1, s("could not be accessed")}),
            blk("bad-path-type2", {s("path element >"), a1, s("< does not apply to"), a2, s("type")}),
            blk("bad-path-set", {s("cannot set"), a2, s("in path"), a1}),
            blk("bad-field-set", {s("cannot set"), a1, s("field to"), a2, s("datatype")}),
            blk("dup-vars", {s("duplicate variable specified:"), a1}),
            txt("past-end", "out of range or past end"),
            txt("missing-arg", "missing a required argument or refinement"),
            blk("out-of-range", {s("value out of range:"), a1}),
            txt("invalid-chars", "contains invalid characters"),
            blk("invalid-compare", {s("cannot compare"), a1, s("with"), a2}),
            blk("wrong-type", {s("datatype assertion failed for:"), a1}),
            blk("invalid-refine-arg", {s("invalid"), a1, s("argument:"), a2}),
            blk("type-limit", {a1, s("overflow/underflow")}),
            blk("size-limit", {s("maximum limit reached:"), a1}),
            txt("no-return", "block did not return a value"),
            txt("throw-usage", "invalid use of a thrown error value"),
            blk("locked-word", {s("protected word - cannot modify:"), a1}),
            txt("protected", "protected value or series - cannot modify"),
            blk("bad-bad", {a1, s("error:"), a2}),
            blk("bad-make-arg", {s("cannot MAKE"), a1, s("from:"), a2}),
            blk("bad-to-arg", {s("cannot MAKE/TO"), a1, s("from:"), a2}),
            txt("invalid-months", "invalid system/locale/month list"),
            blk("invalid-spec-field", {s("invalid"), a1, s("field in spec block")}),
            blk("missing-spec-field", {a1, s("not found in spec block")}),
            blk("move-bad", {s("Cannot MOVE elements from"), a1, s("to"), a2}),
            txt("too-long", "Content too long"),
            blk("invalid-char", {s("Invalid char! value:"), a1}),
            blk("bad-loop-series", {s("Loop series changed to invalid value:"), a1}),
            blk("wrong-denom", {a1, s("not same denomination as"), a2}),
            blk("bad-denom", {s("invalid denomination:"), a1}),
            blk("invalid-obj-evt", {s("invalid object event handler:"), a1}),
            blk("parse-rule", {s("PARSE - invalid rule or usage of rule:"), a1}),
            blk("parse-end", {s("PARSE - unexpected end of rule after:"), a1}),
            blk("parse-invalid-ref", {s("PARSE - get-word refers to a different series!"), a1}),
            blk("parse-block", {s("PARSE - input must be of any-block! type:"), a1}),
            txt("parse-unsupported", "PARSE - matching by datatype not supported for any-string! input"),
            blk("parse-infinite", {s("PARSE - infinite recursion at rule: ["), a1, s("]")}),
            txt("parse-stack", "PARSE - stack limit reached"),
            txt("parse-keep", "PARSE - KEEP is used without a wrapping COLLECT"),
            txt("parse-into-bad", "PARSE - COLLECT INTO/AFTER invalid series! argument"),
            txt("parse-into-type", "PARSE - COLLECT INTO/AFTER expects a series! of compatible datatype"),
            blk("draw-invalid", {s("DRAW - invalid input at:"), a1}),
            blk("draw-infinite", {s("DRAW - infinite recursion at:"), a1}),
            blk("invalid-data-facet", {s("invalid DATA facet content"), a1}),
            blk("face-type", {s("VIEW - invalid face type:"), a1}),
            txt("not-window", "VIEW - expected a window root face"),
            txt("bad-window", "VIEW - a window face cannot be nested in another window"),
            txt("not-linked", "VIEW - face not linked to a window"),
            blk("not-event-type", {s("VIEW - not a valid event type"), a1}),
            blk("invalid-facet-type", {s("VIEW - invalid rate value:"), a1}),
            blk("vid-invalid-syntax", {s("VID - invalid syntax at:"), a1}),
            blk("rtd-invalid-syntax", {s("RTD - invalid syntax at:"), a1}),
            blk("rtd-no-match", {s("RTD - opening/closing tag not matching for:"), a1}),
            txt("react-bad-func", "REACT - /LINK option requires a function! as argument"),
            txt("react-not-enough", "REACT - reactive functions must accept at least 2 arguments"),
            txt("react-no-match", "REACT - objects block length must match reaction function arg count"),
            txt("react-bad-obj", "REACT - target can only contain object values"),
            blk("react-gctx", {s("REACT - word"), a1, s("is not a reactor's field")}),
            blk("lib-invalid-arg", {s("LIBZAV - invalid argument for"), a1}),
            blk("zb-invalid-record", {s("ZAVBIN - invalid record at index"), a1}),
        }},
        {"math", "Math Error", {
            txt("zero-divide", "attempt to divide by zero"),
            txt("overflow", "math or number overflow"),
            txt("positive", "positive number required"),
        }},
        {"access", "Access Error", {
            blk("cannot-open", {s("cannot open:"), a1}),
            blk("cannot-close", {s("cannot close:"), a1}),
            blk("invalid-utf8", {s("invalid UTF-8 encoding:"), a1}),
            blk("not-open", {s("port is not open:"), a1}),
            blk("no-connect", {s("cannot connect:"), a1, s("reason:"), a2}),
            blk("no-scheme", {s("missing port scheme:"), a1}),
            blk("unknown-scheme", {s("scheme is unknown:"), a1}),
            blk("invalid-spec", {s("invalid spec or options:"), a1}),
            blk("invalid-port", {s("invalid port object (invalid field values)")}),
            blk("invalid-actor", {s("invalid port actor (must be handle or object)")}),
            txt("no-port-action", "port action not supported"),
            blk("no-create", {s("cannot create:"), a1}),
            blk("no-codec", {s("cannot decode or encode (no codec):"), a1}),
            blk("bad-media", {s("bad media data (corrupt image, sound, video)")}),
            blk("invalid-cmd", {s("invalid port command:"), a1}),
            blk("cannot-write", {s("cannot write:"), a1, s("reason:"), a2}),
            blk("timeout", {s("no answer in time:"), a1}),
            blk("too-large", {s("too large for one value:"), a1}),
            blk("cut-short", {s("answer cut short:"), a1}),
            blk("redirect-loop", {s("too many redirects:"), a1}),
        }},
        {"reserved1", "Reserved1 Error", {}},
        {"reserved2", "Reserved2 Error", {}},
        {"user", "User Error", {
            {"message", Template::word, {w1}},
        }},
        {"internal", "Internal Error", {
            blk("bad-path", {s("bad path:"), w1}),
            blk("not-here", {w1, s("not supported on your system")}),
            txt("no-memory", "not enough memory"),
            txt("wrong-mem", "failed to release memory"),
            txt("stack-overflow", "stack overflow"),
            blk("limit-hit", {s("internal limit reached:"), a1}),
            txt("too-deep", "block or paren series is too deep to process"),
            txt("no-cycle", "circular reference not allowed"),
            txt("feature-na", "feature not available"),
            txt("not-done", "reserved for future use (or not yet implemented)"),
            blk("invalid-error", {s("invalid error object field value:"), a1}),
            txt("routines", "routines require compilation, from OS shell: `zav -r <script.zav>`"),
            txt("zav-system", "contains Zav/System code which requires compilation"),
            blk("deprecated", {w1, s("is DEPRECATED, please use"), w2, s("instead")}),
        }},
    };
}

// Words compare without ASCII letter case.
// Raising an error looks its names up each time: the fold is inline, not
// the C library's locale-aware tolower.
inline char fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }
bool same_name(const char* a, const char* b) {
    for (; *a && *b; a++, b++)
        if (*a != *b && fold(*a) != fold(*b)) return false;
    return *a == *b;
}

}  // namespace

const std::vector<Category>& catalog() {
    static const std::vector<Category> table = build();
    return table;
}

namespace {

u32 name_hash(const char* s, u32 h) {
    for (; *s; s++) h = (h ^ static_cast<u8>(fold(*s))) * 16777619u;
    return h;
}
u32 pair_hash(const char* category, const char* id) { return name_hash(id, name_hash(category, 2166136261u) * 31); }

// Every category and id of the catalog by a hash of both names, so that
// raising an error in a loop finds its place without scanning the catalog.
struct PairIndex {
    struct Slot {
        i32 category = -1, id = -1;
    };
    std::vector<Slot> slots;
    u32 mask = 0;
};

const PairIndex& pair_index() {
    static const PairIndex index = [] {
        const auto& t = catalog();
        u32 n = 0;
        for (const Category& c : t) n += static_cast<u32>(c.ids.size());
        PairIndex x;
        u32 size = 16;
        while (size < 2 * n) size *= 2;
        x.slots.resize(size);
        x.mask = size - 1;
        for (u32 c = 0; c < t.size(); c++) {
            // The first category of a name answers for it, and the first id
            // of a name in it, as the scans answer.
            if (find_category(t[c].name) != static_cast<i32>(c)) continue;
            for (u32 i = 0; i < t[c].ids.size(); i++) {
                if (find_id(static_cast<i32>(c), t[c].ids[i].name) != static_cast<i32>(i)) continue;
                u32 k = pair_hash(t[c].name, t[c].ids[i].name) & x.mask;
                while (x.slots[k].category >= 0) k = (k + 1) & x.mask;
                x.slots[k] = {static_cast<i32>(c), static_cast<i32>(i)};
            }
        }
        return x;
    }();
    return index;
}

}  // namespace

void find_named(const char* category, const char* id, i32* cat, i32* pos) {
    // The raisers pass the same few literals again and again: the pair last
    // found at these addresses, if the names there are still its names.
    struct Recent {
        const char *category = nullptr, *id = nullptr;
        i32 cat = 0, pos = 0;
        bool own = false;  // the addresses are the catalog's own names, whose text stays
    };
    static Recent recent[16];
    Recent& r = recent[(reinterpret_cast<uintptr_t>(category) ^ reinterpret_cast<uintptr_t>(id) >> 4) & 15];
    if (r.own && r.category == category && r.id == id) {
        *cat = r.cat;
        *pos = r.pos;
        return;
    }
    const auto& t = catalog();
    // The text is checked unless it is the catalog's own (the linker merges
    // equal literals, so it mostly is).
    const char *id_name = t[r.cat].ids[r.pos].name, *category_name = t[r.cat].name;
    if (r.category == category && r.id == id && (id == id_name || std::strcmp(id_name, id) == 0) &&
        (category == category_name || std::strcmp(category_name, category) == 0)) {
        *cat = r.cat;
        *pos = r.pos;
        return;
    }
    const PairIndex& x = pair_index();
    for (u32 k = pair_hash(category, id) & x.mask;; k = (k + 1) & x.mask) {
        const PairIndex::Slot& s = x.slots[k];
        if (s.category < 0) break;
        if (same_name(t[s.category].ids[s.id].name, id) && same_name(t[s.category].name, category)) {
            *cat = s.category;
            *pos = s.id;
            // Remembered only when the text is the catalog's own: another
            // letter case is looked up again.
            const char *own_id = t[s.category].ids[s.id].name, *own_category = t[s.category].name;
            if (std::strcmp(own_id, id) == 0 && std::strcmp(own_category, category) == 0)
                r = {category, id, s.category, s.id, own_id == id && own_category == category};
            return;
        }
    }
    // Not a pair of the catalog: the category alone may be.
    *cat = find_category(category);
    *pos = find_id(*cat, id);
}

i32 find_category(const char* name) {
    const auto& t = catalog();
    for (u32 i = 0; i < t.size(); i++)
        if (same_name(t[i].name, name)) return static_cast<i32>(i);
    return -1;
}

i32 find_id(i32 category, const char* name) {
    const auto& t = catalog();
    if (category < 0 || category >= static_cast<i32>(t.size())) return -1;
    const auto& ids = t[category].ids;
    for (u32 i = 0; i < ids.size(); i++)
        if (same_name(ids[i].name, name)) return static_cast<i32>(i);
    return -1;
}

}  // namespace zav::error
