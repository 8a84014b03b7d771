// Host services as values: the clipboard (the process's own when no desktop
// is reachable, the desktop's through its tool, here a stand-in for xclip),
// the operating system's description, the command line, the type guard.
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "library/host.h"
#include "evaluator/natives.h"
#include "load_helper.h"
#include "test_util.h"

using namespace zav;

namespace {

// Sets environment variables for one test and puts them back afterwards.
struct EnvGuard {
    std::vector<std::pair<std::string, std::string>> saved;
    std::vector<std::string> absent;
    void set(const char* name, const char* value) {
        const char* old = std::getenv(name);
        if (old) saved.emplace_back(name, old); else absent.push_back(name);
        if (value) setenv(name, value, 1); else unsetenv(name);
    }
    ~EnvGuard() {
        for (auto& [n, v] : saved) setenv(n.c_str(), v.c_str(), 1);
        for (auto& n : absent) unsetenv(n.c_str());
    }
};

struct HostValuesTest : test::CleanRuntimeTest {
    EnvGuard env;
    std::string read_molded() { return test::mold(host::read_clipboard()); }
    bool write(const char* source) { return host::write_clipboard(test::load_one(source)); }
    bool empty() {
        Cell* none = stack::push_star();
        make_cell(none, TYPE_NONE);
        return host::write_clipboard(none);
    }
};

// Round trips that every kind of clipboard must pass.
void round_trips(HostValuesTest& t) {
    EXPECT_TRUE(t.write("\"a^/b é\""));
    EXPECT_EQ(t.read_molded(), "\"a^/b é\"");
    EXPECT_TRUE(t.write("[%/tmp/a%20b.txt %/x/y]"));
    EXPECT_EQ(t.read_molded(), "[%\"/tmp/a b.txt\" %/x/y]");
    EXPECT_TRUE(t.empty());
    EXPECT_EQ(t.read_molded(), "none");
    EXPECT_EQ(test::error_of([&] { t.write("[%a 1]"); }), "script/invalid-arg");
    EXPECT_EQ(test::error_of([&] { t.write("12"); }), "script/invalid-arg");
}

}  // namespace

TEST_F(HostValuesTest, ProcessClipboardWithoutADesktop) {
    env.set("WAYLAND_DISPLAY", nullptr);
    env.set("DISPLAY", nullptr);
    EXPECT_TRUE(empty());
    EXPECT_EQ(read_molded(), "none");
    round_trips(*this);
    // A relative file is handed on as a whole path.
    EXPECT_TRUE(write("[%rel.txt]"));
    std::string molded = read_molded();
    EXPECT_EQ(molded.rfind("[%/", 0), 0u) << molded;
    EXPECT_NE(molded.find("/rel.txt]"), std::string::npos) << molded;
}

TEST_F(HostValuesTest, DesktopClipboardThroughItsTool) {
    char tmpl[] = "/tmp/zav-clip-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    // Keeps the data and its type in two files, as the selection owner would.
    std::ofstream(dir + "/xclip") << R"(#!/bin/sh
s="$FAKE_CLIP"
case "$*" in
  *"-o -t TARGETS"*) [ -f "$s/type" ] || exit 1; cat "$s/type" ;;
  *-o*) cat "$s/data" ;;
  *-i*) t=$(echo "$*" | sed -n 's/.*-t \([^ ]*\).*/\1/p'); cat > "$s/data"
        if [ -s "$s/data" ]; then echo "${t:-UTF8_STRING}" > "$s/type"; else rm -f "$s/type"; fi ;;
esac
)";
    chmod((dir + "/xclip").c_str(), 0755);
    std::string path = dir + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
    env.set("WAYLAND_DISPLAY", nullptr);
    env.set("DISPLAY", ":99");
    env.set("FAKE_CLIP", dir.c_str());
    env.set("PATH", path.c_str());
    EXPECT_EQ(read_molded(), "none");  // nobody owns the clipboard yet
    round_trips(*this);
    // A tool that fails to deliver what it listed: the clipboard cannot be read.
    std::ofstream(dir + "/type") << "UTF8_STRING\n";
    std::remove((dir + "/data").c_str());
    EXPECT_EQ(read_molded(), "false");
    (void)!std::system(("rm -rf " + dir).c_str());
}

TEST_F(HostValuesTest, OperatingSystemCommandLineAndTypeGuard) {
    Cell* info = host::os_info();
    ASSERT_EQ(TYPE_OF(info), TYPE_OBJECT);
    std::string molded = test::mold(info);
    EXPECT_NE(molded.find("name: \""), std::string::npos) << molded;
    EXPECT_NE(molded.find("arch: '"), std::string::npos) << molded;
    EXPECT_NE(molded.find("build: "), std::string::npos) << molded;
    // The version is the kernel's release, three numbers.
    size_t v = molded.find("version: ");
    ASSERT_NE(v, std::string::npos) << molded;
    EXPECT_EQ(std::count(molded.begin() + static_cast<long>(v), molded.begin() + static_cast<long>(molded.find('\n', v)), '.'), 2)
        << molded;

    Cell* line = host::command_line(stack::push_star());
    EXPECT_EQ(TYPE_OF(line), TYPE_STRING);

    Cell* one = test::load_one("1");
    EXPECT_EQ(host::check_type(one, TYPE_INTEGER), u32(TYPE_INTEGER));
    EXPECT_EQ(test::error_of([&] { host::check_type(one, TYPE_STRING); }), "script/invalid-arg");
}

TEST_F(HostValuesTest, EnvironmentThatIsNotUTF8IsStillRead) {
    // What other programs put in the environment is read, never refused:
    // bytes that are not UTF-8 are taken as Latin-1.
    env.set("ZAV_NOT_UTF8", "caf\xe9");
    Cell* saved = stack::arguments;
    stack::arguments = stack::push(test::load_one("\"ZAV_NOT_UTF8\""));
    natives::get_env_star(false, nullptr);
    EXPECT_EQ(test::mold(stack::arguments), "\"café\"");
    stack::arguments = stack::push_star();
    natives::list_env_star(false, nullptr);
    EXPECT_EQ(TYPE_OF(stack::arguments), TYPE_MAP);
    EXPECT_NE(test::mold(stack::arguments).find("\"ZAV_NOT_UTF8\" \"café\""), std::string::npos);
    stack::arguments = saved;
}
