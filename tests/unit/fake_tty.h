// A terminal for tests of the interface back-end: input is played back from
// a queue, output is recorded, the size and modes are whatever the test says.
#pragma once
#include <string>

#include "view/terminal/tty_io.h"

namespace zav::test {

class FakeTty final : public gui::Tty {
public:
    std::string input;    // bytes still to be read
    std::string written;  // everything written
    int columns = 80, rows = 24;
    bool console = true;  // standard input and output are terminals
    bool output = true;   // standard output is one (when console is set)
    bool raw = false;
    bool resized = false;
    int polls = 0;

    int read(u8* buf, int max) override {
        if (!console) return -1;
        int n = static_cast<int>(std::min<size_t>(input.size(), static_cast<size_t>(max)));
        input.copy(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
        input.erase(0, static_cast<size_t>(n));
        return n;
    }
    bool poll(int) override {
        polls++;
        return console && !input.empty();
    }
    bool write(const void* data, size_t size) override {
        written.append(static_cast<const char*>(data), size);
        return true;
    }
    bool size(int* c, int* r) override {
        if (columns <= 0) return false;
        *c = columns;
        *r = rows;
        return true;
    }
    bool input_is_console() override { return console; }
    bool output_is_console() override { return console && output; }
    bool raw_mode() override { return raw = console; }
    void restore_mode() override { raw = false; }
    bool take_resize() override {
        bool r = resized;
        resized = false;
        return r;
    }
    std::string take() {
        std::string s;
        s.swap(written);
        return s;
    }
};

// Installs a fake terminal for the life of a scope.
struct UseFakeTty {
    FakeTty tty;
    UseFakeTty() { gui::set_tty(&tty); }
    ~UseFakeTty() { gui::set_tty(nullptr); }
};

}  // namespace zav::test
