// money!: the packed layout other modules rely on and the fraction digits shown.
#include <gtest/gtest.h>

#include <cstring>

#include "datatypes/money.h"
#include "datatypes/system_object.h"
#include "datatypes/integer.h"
#include "runtime/stack.h"
#include "load_helper.h"
#include "runtime_fixture.h"

using namespace zav;

namespace {

// The shown fraction digits come from the system options.
void set_digits(i32 n) { integer::make_at(system_object::field({"options", "money-digits"}), n); }

struct MoneyTest : RuntimeTest {
    Cell* saved = nullptr;
    void SetUp() override {
        RuntimeTest::SetUp();
        saved = stack::top;
    }
    void TearDown() override {
        stack::top = saved;
        set_digits(2);
    }
};

TEST_F(MoneyTest, PackedDigitsCurrencyAndSign) {
    Cell m = *test::load_one("-USD$1234.56789");
    const u8* p = money::payload(&m);
    EXPECT_EQ(TYPE_OF(&m), TYPE_MONEY);
    EXPECT_TRUE(money::get_sign(&m));
    EXPECT_EQ(p[0], money::find_currency(test::load_one("usd")->data2));  // case-insensitive
    // Positions 14-17 hold 1234 (bytes 7 and 8 of the amount), 18-22 the fraction.
    const u8 amount[11] = {0, 0, 0, 0, 0, 0, 0x01, 0x23, 0x45, 0x67, 0x89};
    EXPECT_EQ(std::memcmp(p + 1, amount, 11), 0);
}

TEST_F(MoneyTest, FractionDigitsShownFollowTheSetting) {
    Cell m = *test::load_one("$12.34567");
    struct Case {
        i32 digits;
        const char* form;
    } cases[] = {{0, "$12"}, {-3, "$12"}, {1, "$12.3"}, {5, "$12.34567"}, {7, "$12.34567"}};
    for (const Case& c : cases) {
        set_digits(c.digits);
        EXPECT_EQ(test::form(&m), c.form) << c.digits;
        EXPECT_EQ(test::mold(&m, true), "$12.34567");
    }
}

}  // namespace
