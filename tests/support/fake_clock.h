#pragma once
// A fixture that installs a plat::FakeClock for the duration of a test (link `platform`).
#include <gtest/gtest.h>

#include "platform/clock.h"

namespace testsupport {

class FakeClockTest : public ::testing::Test {
protected:
    plat::FakeClock clock_;

private:
    plat::ScopedClock scoped_{&clock_};
};

}  // namespace testsupport
