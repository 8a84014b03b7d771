// file! and url!: platform paths, percent-encoding, mold, joining, URL
// building and the routing of the I/O actions.
#include <functional>
#include <random>
#include <string>
#include <unistd.h>

#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/file.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/url.h"
#include "evaluator/actions.h"
#include "runtime/stack.h"
#include "load_helper.h"
#include "runtime/memory.h"
#include "runtime/unicode.h"
#include "runtime_fixture.h"
#include "test_util.h"

using namespace zav;

namespace {

struct FileTest : RuntimeTest {
    void SetUp() override {
        RuntimeTest::SetUp();
        stack::reset();
    }
    void TearDown() override { stack::reset(); }
};

using test::S;
Cell* F(const char* utf8) { return set_type(S(utf8), TYPE_FILE); }
Cell* U(const char* utf8) { return set_type(S(utf8), TYPE_URL); }
Cell* W(const char* name, u32 type = TYPE_WORD) {
    return make_cell(stack::push_star(), type, 0, static_cast<u32>(symbol::make(name)), 0xFFFFFFFF);
}

using test::text_of;

std::string molded(Cell* value, i32 part = -1) {
    Cell* buf = string::make_push(16);
    actions::mold_dispatch(value, buf, false, false, false, part >= 0 ? test::push_integer(part) : nullptr,
                           part >= 0 ? part : 0x7FFFFFFF, 0);
    return text_of(buf);
}

std::string formed(Cell* value) {
    Cell* buf = string::make_push(16);
    actions::form_dispatch(value, buf, nullptr, 0x7FFFFFFF);
    return text_of(buf);
}

std::string encoded(const char* text, i32 mode = url::ENCODE_URL) {
    Cell* out = string::make_push(16);
    url::encode(S(text), out, mode);
    return text_of(out);
}

std::string decoded(const char* text) {
    Cell* out = string::make_push(16);
    url::decode(S(text), out);
    return text_of(out);
}

using test::error_of;

Cell* block_of(std::initializer_list<Cell*> values) {
    Cell* blk = make_cell(stack::push_star(), TYPE_BLOCK, 0, alloc_cells(8), 0);
    for (Cell* v : values) copy_cell(v, alloc_at_tail(series_node(blk)));
    return blk;
}

std::string cwd() {
    char buf[4096];
    std::string d = getcwd(buf, sizeof buf) ? buf : "";
    if (d.empty() || d.back() != '/') d += '/';
    return d;
}

Cell* joined(Cell* parent, Cell* element) {
    return url::eval_path(parent, element, nullptr, nullptr, nullptr, nullptr, 0, false, true, false);
}

}  // namespace

// ---- mold and form -----------------------------------------------------------------------

TEST_F(FileTest, MoldOfFiles) {
    struct Case { const char* name; const char* mold; };
    const Case cases[] = {
        {"foo.txt", "%foo.txt"},
        {"dir/sub/a-b_c.1", "%dir/sub/a-b_c.1"},
        {"", "%\"\""},
        {"my file", "%\"my file\""},
        {"a;b", "%\"a;b\""},
        {"50%", "%\"50%\""},           // a bare "%" would be decoded when loaded again
        {"tab\there", "%\"tab\there\""},
        {"a\"b", "%a%22b"},             // a quote, a caret or a control character: "%" escapes
        {"a^b c", "%a%5Eb%20c"},
        {"esc\x1b[2J", "%esc%1B%5B2J"},
        {"caf\xC3\xA9", "%caf\xC3\xA9"},  // only characters below 127 force quotes
    };
    for (const Case& c : cases) EXPECT_EQ(molded(F(c.name)), c.mold) << c.name;
    EXPECT_EQ(formed(F("my file")), "my file");

    Cell* f = F("abc/def");
    series_head(f) = 4;
    EXPECT_EQ(molded(f), "%def");
    EXPECT_EQ(molded(F("abcdef"), 3), "%abc");
    Cell* buf = string::make_push(8);
    EXPECT_EQ(file::mold(F("a b"), buf, false, false, false, nullptr, 10, 0), 10 - 3 - 1 - 2);
}

TEST_F(FileTest, MoldOfUrls) {
    struct Case { const char* text; const char* mold; };
    const Case cases[] = {
        {"http://host/a/b?x=1&y=2#top", "http://host/a/b?x=1&y=2#top"},
        {"http://host/a b", "http://host/a%20b"},
        {"http://host/caf\xC3\xA9", "http://host/caf%C3%A9"},
        {"http://host/50%", "http://host/50%25"},
        {"ftp://h/{x};", "ftp://h/%7Bx%7D%3B"},
    };
    for (const Case& c : cases) EXPECT_EQ(molded(U(c.text)), c.mold) << c.text;
    EXPECT_EQ(formed(U("http://host/a b")), "http://host/a b");
    EXPECT_EQ(molded(U("http://a b"), 9), "http://a%20");  // the limit counts bytes written
}

TEST_F(FileTest, LoadedValuesMoldAndForm) {
    struct Case { const char* source; const char* mold; const char* form; };
    const Case cases[] = {
        {"%foo.txt", "%foo.txt", "foo.txt"},
        {"%\"my file\"", "%\"my file\"", "my file"},
        {"%a%20b", "%\"a b\"", "a b"},
        {"%\"\"", "%\"\"", ""},
        {"%caf\u00E9", "%caf\u00E9", "caf\u00E9"},
        {"http://host/a%20b?q=1", "http://host/a%20b?q=1", "http://host/a b?q=1"},
        {"http://host/caf%C3%A9", "http://host/caf%C3%A9", "http://host/caf\u00E9"},
    };
    for (const Case& c : cases) {
        Cell* v = test::load_one(c.source);
        EXPECT_EQ(test::mold(v), c.mold) << c.source;
        EXPECT_EQ(test::form(v), c.form) << c.source;
        // What mold writes loads back as the same value.
        EXPECT_EQ(test::mold(test::load_one(test::mold(v))), c.mold) << c.source;
    }
}

// ---- percent-encoding ------------------------------------------------------------------

TEST_F(FileTest, PercentEncoding) {
    EXPECT_EQ(encoded(" "), "%20");
    EXPECT_EQ(encoded("\xC3\xA9"), "%C3%A9");
    EXPECT_EQ(encoded("a/b?c=d;e"), "a/b?c=d%3Be");
    EXPECT_EQ(encoded("a/b?c=d", url::ENCODE_COMPONENT), "a%2Fb%3Fc%3Dd");
    EXPECT_EQ(encoded("A-z_0.9~", url::ENCODE_COMPONENT), "A-z_0.9~");
    EXPECT_EQ(encoded("\xF0\x9F\x98\x80"), "%F0%9F%98%80");
}

TEST_F(FileTest, PercentDecoding) {
    struct Case { const char* in; const char* out; };
    const Case cases[] = {
        {"%C3%A9", "\xC3\xA9"},
        {"%c3%a9t%C3%A9", "\xC3\xA9t\xC3\xA9"},
        {"a%20b", "a b"},
        {"%41%42", "AB"},
        {"%zz", "%zz"},              // not hexadecimal: kept
        {"%4", "%4"},                // cut off: kept, never read past the end
        {"50%", "50%"},
        {"%C3", "%C3"},              // an escaped sequence without its continuation
        {"%C3x", "%C3x"},
        {"%C3%28", "%C3("},          // not a valid UTF-8 sequence
        {"%80", "%80"},              // a continuation byte alone
        {"%F0%9F%98%80!", "\xF0\x9F\x98\x80!"},
        {"caf\xC3\xA9%21", "caf\xC3\xA9!"},
    };
    for (const Case& c : cases) EXPECT_EQ(decoded(c.in), c.out) << c.in;

    Cell* u = U("http://h/a%20b");
    url::decode(u);
    EXPECT_EQ(TYPE_OF(u), TYPE_URL);
    EXPECT_EQ(text_of(u), "http://h/a b");

    Cell* r = stack::push_star();
    const char raw[] = "x%2Fy";
    url::decode_text(reinterpret_cast<const u8*>(raw), 5, r);
    EXPECT_EQ(text_of(r), "x/y");
}

TEST_F(FileTest, PercentRoundTrip) {
    std::mt19937 rng(99);
    const u32 pool[] = {'a', 'Z', '5', ' ', '%', '/', '?', ';', '"', '~', 0xE9, 0x20AC, 0x1F600, 0x7F, 1};
    for (int n = 0; n < 200; n++) {
        Cell* s = string::make_push(8);
        u32 len = rng() % 12;
        for (u32 i = 0; i < len; i++) string::append_char(s, pool[rng() % (sizeof pool / sizeof pool[0])]);
        for (i32 mode : {url::ENCODE_URL, url::ENCODE_COMPONENT}) {
            Cell* enc = string::make_push(8);
            url::encode(s, enc, mode);
            Cell* dec = string::make_push(8);
            url::decode(enc, dec);
            EXPECT_EQ(text_of(dec), text_of(s));
        }
    }
}

// ---- platform paths ----------------------------------------------------------------------

TEST_F(FileTest, LocalPaths) {
    auto local = [](const char* name, bool full) {
        Cell* out = string::make_push(8);
        file::to_local_path(F(name), out, full);
        return text_of(out);
    };
    EXPECT_EQ(local("/c", false), "/c");
    EXPECT_EQ(local("/c/x", true), "/c/x");  // absolute paths stay as they are
    EXPECT_EQ(local("a/b", false), "a/b");
    EXPECT_EQ(local("a/b", true), cwd() + "a/b");
    EXPECT_EQ(local("", true), cwd());
    EXPECT_EQ(file::to_OS_path(F("/tmp/x y/caf\xC3\xA9")), "/tmp/x y/caf\xC3\xA9");
    EXPECT_EQ(file::to_OS_path(F("rel")), "rel");

    Cell* dir = file::get_current_dir(stack::push_star());
    EXPECT_EQ(TYPE_OF(dir), TYPE_FILE);
    EXPECT_EQ(text_of(dir), cwd());

    Cell* f = F("a\\b\\c");
    series_head(f) = 2;
    file::to_forward_slashes(f);
    series_head(f) = 0;
    EXPECT_EQ(text_of(f), "a\\b/c");

    const char raw[] = "/home/\xC3\xA9";
    Cell* loaded = file::load(reinterpret_cast<const u8*>(raw), 8, stack::push_star());
    EXPECT_EQ(TYPE_OF(loaded), TYPE_FILE);
    EXPECT_EQ(text_of(loaded), raw);
}

// ---- joining through paths -------------------------------------------------------------------

TEST_F(FileTest, JoiningThroughPaths) {
    struct Case { const char* base; const char* element; const char* out; };
    const Case cases[] = {
        {"dir", "file", "dir/file"},
        {"dir/", "file", "dir/file"},
        {"dir/", "/file", "dir/file"},  // one slash of the two is dropped
        {"dir", "/file", "dir/file"},
        {"", "x", "/x"},
    };
    for (const Case& c : cases) {
        Cell* r = joined(F(c.base), S(c.element));
        EXPECT_EQ(TYPE_OF(r), TYPE_FILE);
        EXPECT_EQ(text_of(r), c.out) << c.base << " + " << c.element;
    }
    Cell* u = joined(U("http://host/"), W("b"));
    EXPECT_EQ(TYPE_OF(u), TYPE_URL);
    EXPECT_EQ(text_of(u), "http://host/b");
    EXPECT_EQ(text_of(joined(F("dir"), test::push_integer(2))), "dir/2");

    Cell* base = F("abc/dir");
    series_head(base) = 4;
    EXPECT_EQ(text_of(joined(base, S("f"))), "dir/f");

    EXPECT_EQ(error_of([] {
                  url::eval_path(F("d"), S("f"), S("v"), nullptr, nullptr, nullptr, 0, false, false, false);
              }),
              "script/bad-path-set");
}

// ---- make and to ------------------------------------------------------------------------------

TEST_F(FileTest, UrlFromBlock) {
    Cell* blk = block_of({W("http"), W("host"), test::push_integer(8080), W("a"), W("top", TYPE_ISSUE)});
    Cell* out = stack::push_star();
    url::to(out, blk, TYPE_URL);
    EXPECT_EQ(TYPE_OF(out), TYPE_URL);
    EXPECT_EQ(text_of(out), "http://host:8080/a#top");

    Cell* blk2 = block_of({W("ftp"), S("h.org"), W("d"), S("f.txt")});
    url::make(out, blk2, TYPE_URL);
    EXPECT_EQ(text_of(out), "ftp://h.org/d/f.txt");

    Cell* empty = block_of({});
    EXPECT_EQ(error_of([&] { url::to(stack::push_star(), empty, TYPE_URL); }), "script/bad-to-arg");

    // Other cases are string conversions with the type asked for.
    url::to(out, S("http://x"), TYPE_URL);
    EXPECT_EQ(TYPE_OF(out), TYPE_URL);
    EXPECT_EQ(text_of(out), "http://x");
    url::to(out, block_of({S("a"), S("b")}), TYPE_FILE);
    EXPECT_EQ(TYPE_OF(out), TYPE_FILE);
    EXPECT_EQ(text_of(out), "ab");
}

// ---- the I/O actions -------------------------------------------------------------------------

TEST_F(FileTest, IoActionsReachTheHostServices) {
    // What the host services do not take yet.
    EXPECT_EQ(error_of([] { file::read(F("x"), nullptr, nullptr, false, false, true, nullptr); }), "internal/not-done");
    EXPECT_EQ(error_of([] { url::read(U("ftp://h"), nullptr, nullptr, false, false, false, nullptr); }),
              "internal/not-done");

    // write over HTTP checks its data before any request is made.
    auto write = [](Cell* data) {
        return error_of([data] {
            url::write(U("http://127.0.0.1:1/"), data, false, false, false, false, nullptr, nullptr, nullptr, nullptr);
        });
    };
    EXPECT_EQ(write(test::push_integer(1)), "script/invalid-arg");
    EXPECT_EQ(write(block_of({test::push_integer(1)})), "script/invalid-arg");
    EXPECT_EQ(write(block_of({W("post"), S("not a block")})), "script/invalid-arg");
    EXPECT_EQ(write(block_of({W("post"), block_of({}), test::push_integer(5)})), "script/invalid-arg");
    EXPECT_EQ(write(S("data")), "access/no-connect");  // nothing listens on port 1
}
