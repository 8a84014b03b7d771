// Display width of code points: the zero-width and wide tables and their edges.
#include <gtest/gtest.h>

#include "console/char_width.h"

using namespace zav;

namespace {

TEST(CharWidth, Cases) {
    struct Case {
        u32 cp, width;
    } cases[] = {
        {0, 0},        {'A', 1},      {9, 1},        {27, 1},       {31, 1},       {127, 1},
        {159, 1},      {0xA0, 1},     {0x2FF, 1},    {0x300, 0},    {0x301, 0},    {0x36F, 0},
        {0x370, 1},    {0x483, 0},    {0x600, 0},    {0x605, 0},    {0x606, 1},    {0x61C, 0},
        {0x1100, 2},   {0x115F, 2},   {0x1160, 0},   {0x11FF, 0},   {0x1200, 1},   {0x231A, 2},
        {0x3000, 2},   {0x4E00, 2},   {0xA48C, 2},   {0xAC00, 2},   {0xD7A3, 2},   {0xD7B0, 0},
        {0xD7FB, 0},   {0xFF01, 2},   {0xFF60, 2},   {0xFF61, 1},   {0x1171E, 0},  {0x1F300, 2},
        {0x1F321, 1},  {0x1F600, 2},  {0x1FAF6, 2},  {0x1FAF7, 1},  {0x20000, 2},  {0x2FFFD, 2},
        {0x2FFFE, 1},  {0x3FFFD, 2},  {0x40000, 1},  {0xE0100, 0},  {0xE01EF, 0},  {0xE01F0, 1},
        {0x10FFFF, 1},
    };
    for (auto c : cases) EXPECT_EQ(console::char_width(c.cp), c.width) << std::hex << c.cp;
}

TEST(CharWidth, Intervals) {
    const u32 table[] = {10, 20, 30, 30, 40, 50};
    struct Case {
        u32 cp;
        bool in;
    } cases[] = {{9, false}, {10, true}, {20, true}, {21, false}, {30, true},
                 {31, false}, {50, true}, {51, false}, {0xFFFFFFFF, false}};
    for (auto c : cases) EXPECT_EQ(console::in_intervals_q(c.cp, table, 6), c.in) << c.cp;
    EXPECT_FALSE(console::in_intervals_q(10, table, 0));
}

}  // namespace
