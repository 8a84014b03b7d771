#include <gtest/gtest.h>
#include <cstdio>
#include "evaluator/interpreter.h"
#include "fake_tty.h"
#include "load_helper.h"
#include "test_util.h"
#include "view/terminal/compositor.h"
#include "view/terminal/frame.h"
#include "view/terminal/loop.h"
using namespace zav; using namespace zav::gui;
TEST(TuiDebug, Dump) {
    boot::init_runtime();
    test::UseFakeTty fake;
    Cell code = *test::load("w: layout [c: check \"Check\" r1: radio \"One\"] view/no-wait w");
    collector::Guard g(&code);
    interpreter::eval(&code, false);
    for (i32 y = 0; y < screen.height; y++) { for (i32 x = 0; x < screen.width; x++) { auto& c = screen.at(x,y); printf("%x/%x/%x/%x ", c.cp, c.fg, c.bg, c.attrs);} printf("\n"); }
    printf("%s\n", fake.tty.written.c_str());
}
