#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "nuvlib/ems.h"
#include "tests/support/test_env.h"

TEST(TestEnvironment, EachProcessHasItsOwnRoots) {
    EXPECT_TRUE(std::filesystem::is_directory(testsupport::RegistryRoot()));
    EXPECT_EQ(std::string(std::getenv("PARLO_RUN_DIR")), testsupport::RunDir().string());
    EXPECT_FALSE(testsupport::Namespace().empty());
}

TEST(EmsFrontEnds, FatalReportEndsTheProcessWithTheFatalCode) {
    EXPECT_EXIT(EMSFailMessage("broken %d", 1), ::testing::ExitedWithCode(EMS_EXIT_FATAL & 0xFF),
                "");
}
