// The process-status section: the console title published for the other processes.
#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <string>
#include <thread>

#include "nuvlib/ems.h"
#include "platform/clock.h"
#include "platform/lasterror.h"
#include "platform/named.h"
#include "tests/nuvlib/ems_testutil.h"

namespace {

using emstest::Console;

// What the section of that name holds, or "<none>" when there is no such section.
std::string Published(const std::string& name) {
    plat::SharedSection section;
    if (!section.Open("Global\\" + name)) return "<none>";
    EXPECT_EQ(section.Size(), 256u);
    const char* text = static_cast<const char*>(section.Data());
    return std::string(text, strnlen(text, section.Size()));
}

class StatusTitle : public ::testing::Test {
protected:
    void SetUp() override { EMSInstallSeams(&Console::kSeams); }
    void TearDown() override { EMSInstallSeams(nullptr); }
};

TEST_F(StatusTitle, SectionIsNamedByTheFirstSecondAndPimFourthWord) {
    const struct {
        std::string title;
        std::string section;
    } cases[] = {
        {"Peripheral parlo - [Active]", "Peripheral-parlo"},
        {"PG1A  parlo  x  pim3 more words", "PG1A-parlo-pim3"},
        {"A B C D", "A-B"},
    };
    for (const auto& c : cases) {
        EMSUpdateStatusTitle(c.title.c_str());
        EXPECT_EQ(Published(c.section), c.title) << c.title;
    }
    // A new title replaces the old one in the same section.
    EMSUpdateStatusTitle("Peripheral parlo - [Idle]");
    EXPECT_EQ(Published("Peripheral-parlo"), "Peripheral parlo - [Idle]");
}

TEST_F(StatusTitle, FewerThanFourWordsPublishNothing) {
    for (const char* title : {"", "one", "one two", "one two three", "   one  two three  "}) {
        EMSUpdateStatusTitle(title);
        EXPECT_EQ(Published(""), "<none>") << title;
        EXPECT_EQ(Published("one-two"), "<none>") << title;
    }
}

TEST_F(StatusTitle, LongTitlesAreCutTo255Characters) {
    std::string title = "Long parlo - [";
    title += std::string(255 - title.size(), 'x');
    ASSERT_EQ(title.size(), 255u);
    EMSUpdateStatusTitle(title.c_str());
    EXPECT_EQ(Published("Long-parlo"), title);
    EXPECT_FALSE(Console::Saw("trucated"));

    const std::string longer = title + std::string(45, 'y');
    EMSUpdateStatusTitle(longer.c_str());
    EXPECT_EQ(Published("Long-parlo"), longer.substr(0, 255));
    EXPECT_TRUE(Console::Saw("EMS : The status title has been trucated to the maximum Buffer size allowed"));
    EXPECT_TRUE(Console::Saw("EMS : Requesting the mutex to update the process status."));
}

// Another holder keeps the status mutex past the 10 s wait (on the injectable clock): the
// update gives up with its trace, and the title an earlier update published stays readable
// by the other processes.
TEST_F(StatusTitle, BusyMutexKeepsTheEarlierTitle) {
    EMSUpdateStatusTitle("Busy parlo - [Active]");
    ASSERT_EQ(Published("Busy-parlo"), "Busy parlo - [Active]");

    std::promise<void> held, release;
    std::thread holder([&] {
        plat::NamedMutex mutex;
        ASSERT_TRUE(mutex.Create("Global\\TORVStatusMutex"));
        ASSERT_EQ(mutex.Lock(0), plat::WAIT_OBJECT_0);
        held.set_value();
        release.get_future().wait();
        mutex.Unlock();
    });
    held.get_future().wait();
    // The wait runs on the clock: move it to the update's deadline instead of waiting.
    plat::FakeClock clock;
    plat::ScopedClock scoped(&clock);
    int64_t moved = -1;
    std::thread mover([&] { moved = clock.AdvanceToDeadlineAtLeast(10000 * 1000000LL); });
    EMSUpdateStatusTitle("Busy parlo - [Idle]");
    mover.join();
    EXPECT_EQ(moved, 10000);
    release.set_value();
    holder.join();

    EXPECT_TRUE(Console::Saw(
        "EMS: Exiting due to failure to acquire the mutex to update the process status. Error : "));
    EXPECT_EQ(Published("Busy-parlo"), "Busy parlo - [Active]");
    // And the next update goes through again.
    EMSUpdateStatusTitle("Busy parlo - [Idle]");
    EXPECT_EQ(Published("Busy-parlo"), "Busy parlo - [Idle]");
}

}  // namespace
