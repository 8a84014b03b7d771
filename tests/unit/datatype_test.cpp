// The datatype registry and datatype! values.
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "runtime/cell.h"
#include "runtime_fixture.h"
#include "test_util.h"

using namespace zav;

namespace {

using test::text_of;

struct DatatypeTest : RuntimeTest {};

}  // namespace

TEST_F(DatatypeTest, FormMoldCompare) {
    Cell dt;
    collector::GuardedCell buf_root;  // text_of allocates: the collector must see the buffer
    Cell& buf = buf_root.value;
    datatype::make_at(&dt, TYPE_INTEGER);
    datatype::records[TYPE_INTEGER].name = "integer!";
    datatype::records[TYPE_INTEGER].length = 7;
    struct Case {
        int kind;  // 0 form, 1 mold, 2 mold/all
        const char* expect;
    } cases[] = {{0, "integer"}, {1, "integer!"}, {2, "#(integer!)"}};
    for (const Case& c : cases) {
        string::zs_make_at(&buf, 16);
        i32 left = c.kind == 0 ? datatype::form(&dt, &buf, nullptr, 100)
                               : datatype::mold(&dt, &buf, false, c.kind == 2, false, nullptr, 100, 0);
        EXPECT_EQ(text_of(&buf), c.expect);
        EXPECT_EQ(left, 100 - static_cast<i32>(std::strlen(c.expect)));
    }
    Cell other, i;
    datatype::make_at(&other, TYPE_INTEGER);
    make_cell(&i, TYPE_INTEGER, 0, 5);
    EXPECT_EQ(datatype::compare(&dt, &other, COMP_EQUAL), 0);
    EXPECT_EQ(datatype::compare(&dt, &i, COMP_EQUAL), 1);
    EXPECT_EQ(datatype::compare(&dt, &i, COMP_LESSER), -2);
}

TEST_F(DatatypeTest, InheritanceCopiesTheParentRow) {
    datatype::register_type(55, 0, "parent!", {own<ACT_COMPARE>(datatype::compare)});
    InheritAll slots;
    slots.set(empty<ACT_FORM>());
    datatype::register_type(56, 55, "child!", slots.slots);
    EXPECT_EQ(datatype::action_table[56][ACT_COMPARE], A<ACT_COMPARE>(datatype::compare));
    EXPECT_EQ(datatype::action_table[56][ACT_FORM], nullptr);
    EXPECT_EQ(datatype::action_table[56][ACT_MOLD], nullptr);  // not given by the parent either
}

// A faulty registration is a build fault: reported, and the process stops with a non-zero status.
TEST_F(DatatypeTest, RegistrationFaultsStopTheProcess) {
    struct Case {
        void (*registration)();
        const char* report;
    } cases[] = {
        {[] { datatype::register_type(55, 0, "twice!", {own<ACT_FORM>(datatype::form), inherit<ACT_MAKE>()}); },
         "*** Datatype Error: inherited action without a parent for type: 55, slot: 1\n"},
        {[] { datatype::register_type(55, 0, "twice!", {own<ACT_FORM>(datatype::form), own<ACT_FORM>(datatype::form)}); },
         "*** Datatype Error: action slot given twice for type: 55, slot: 5\n"},
        {[] { datatype::records[55] = {}; datatype::register_type(56, 55, "orphan!", {}); },
         "*** Datatype Error: parent not registered for type: 56, slot: 0\n"},
    };
    for (const Case& c : cases) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pid_t pid = fork();
        if (pid == 0) {
            dup2(fds[1], 1);
            c.registration();
            _exit(0);
        }
        close(fds[1]);
        std::string out;
        char buf[256];
        for (ssize_t r; (r = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, r);
        close(fds[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_NE(WEXITSTATUS(status), 0) << c.report;
        EXPECT_EQ(out.substr(0, out.find('\n') + 1), c.report);
    }
}
