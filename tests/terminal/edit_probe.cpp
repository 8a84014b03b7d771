// Runs the line editor on the terminal for tests/run-terminal.sh: each line
// read with the prompt ">> " is printed back in brackets, control characters
// as ^X, until "q" or the end of input.
#include <cstdio>
#include <string>
#include <vector>

#include "console/terminal.h"
#include "runtime/rt.h"

int main() {
    zav::rt::install_signal_handlers();
    std::vector<std::u32string> history;
    for (;;) {
        std::optional<std::string> line = zav::terminal::read_line(">> ", {}, history);
        if (!line) {
            std::printf("end of input\n");
            return 0;
        }
        if (*line == "q") {
            std::printf("quit\n");
            return 0;
        }
        std::string shown;
        for (char c : *line) {
            if (static_cast<unsigned char>(c) < 32) {
                shown += '^';
                shown += static_cast<char>(c + 64);
            } else {
                shown += c;
            }
        }
        std::printf("[%s]\n", shown.c_str());
        std::fflush(stdout);
    }
}
