// Test main shared by every test program: the per-process environment is set up before
// any test (or any static registration that reads it) runs.
#include <gtest/gtest.h>

#include "tests/support/test_env.h"

int main(int argc, char** argv) {
    testsupport::EnvRoot();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
