// parlo-counters on the command line: the lines of a published instance, and one line on
// stderr (exit status 1) that names the namespace searched when the instance is not there.
#include <gtest/gtest.h>

#include <string>

#include "platform/perfcounters.h"
#include "tests/support/run_command.h"
#include "tests/support/test_env.h"

namespace {

using testsupport::Ran;
// parlo-counters with args; out gets stdout, or stderr alone when errors is set.
Ran Counters(const std::string& args, bool errors) {
    return testsupport::RunCommand(std::string("'") + PARLO_COUNTERS_BIN + "' " + args +
                                   (errors ? " 2>&1 >/dev/null" : " 2>/dev/null"));
}

TEST(CountersCommand, PrintsAnInstanceAndSaysWhenItIsNotPublished) {
    plat::CounterInstance inst;
    ASSERT_TRUE(inst.Create(17, "desk", {{2, "OPEN"}, {4, nullptr}}));
    ASSERT_TRUE(inst.Set(2, -3));
    const Ran shown = Counters("desk", false);
    EXPECT_EQ(shown.status, 0);
    EXPECT_EQ(shown.out, "desk 2 OPEN -3\ndesk 4 - 0\n");
    EXPECT_EQ(Counters("desk", true).out, "");

    const Ran missing = Counters("nobody", true);
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "parlo-counters: no instance nobody is published in namespace " + testsupport::Namespace() +
                               " (PARLO_NAMESPACE)\n");
}

}  // namespace
