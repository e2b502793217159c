#include "platform/netstate/netstate.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace kavar::netstate;

TEST(NetState, ForcedAnswerAndBackToTheSystem) {
    ForceState(false);
    EXPECT_FALSE(Connected());
    ForceState(true);
    EXPECT_TRUE(Connected());
    ForceState(std::nullopt);
    (void)Connected();  // the machine's own answer; whatever it is, it must not fail
}

TEST(NetStateDeathTest, EnvironmentForcesAWholeProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    setenv("KAVAR_FORCE_NETSTATE", "0", 1);
    EXPECT_EXIT(std::exit(Connected() ? 1 : 0), ::testing::ExitedWithCode(0), "");
    setenv("KAVAR_FORCE_NETSTATE", "1", 1);
    EXPECT_EXIT(std::exit(Connected() ? 0 : 1), ::testing::ExitedWithCode(0), "");
    unsetenv("KAVAR_FORCE_NETSTATE");
}
