#include <gtest/gtest.h>

#include <string>

#include "nuvlib/datetime.h"
#include "platform/clock.h"

namespace {

constexpr uint64_t kSecond = 10000000ULL;

class DateTimeText : public ::testing::Test {
protected:
    void SetUp() override {
        // 2021-03-04 05:06:07 UTC; local time one hour ahead of UTC.
        clock_.SetLocalBiasMinutes(-60);
    }
    plat::FakeClock clock_;
    plat::ScopedClock scoped_{&clock_};
};

TEST_F(DateTimeText, AgeTexts) {
    struct Case {
        int64_t ageTenthsOfSecond;  // positive: in the past
        const char* suffix;
    } cases[] = {
        {1200, " (120 sec)"},       {1210, " (2.0 min)"},       {71990, " (119.9 min)"},
        {72000, " (120.0 min)"},    {72010, " (2.0 hr)"},       {1728000, " (48.0 hr)"},
        {1728010, " (2.0 day)"},    {4, " (0 sec)"},            {5, " (1 sec)"},
        {-300, " (+30 sec)"},       {0, " (0 sec)"},            {-72010, " (+2.0 hr)"},
        {8640000, " (10.0 day)"},   {3599, " (6.0 min)"},
    };
    uint64_t now = LocalFileTimeNow();
    for (const Case& c : cases) {
        char text[kDateTimeTextSize] = "x";
        AppendElapsedTimeText(now - static_cast<uint64_t>(c.ageTenthsOfSecond * 1000000), text,
                              sizeof text);
        EXPECT_EQ(std::string("x") + c.suffix, text) << c.ageTenthsOfSecond;
    }
}

TEST_F(DateTimeText, FileTimeTexts) {
    char text[kDateTimeTextSize];
    uint64_t now = LocalFileTimeNow();
    // Local now is 06:06:07 on March 4th.
    EXPECT_STREQ("03/04 06:06:07", FormatFileTimeText(now, text, sizeof text, false));
    EXPECT_STREQ("03/04 06:05:37 (30 sec)",
                 FormatFileTimeText(now - 30 * kSecond, text, sizeof text, true));
    EXPECT_STREQ("--", FormatFileTimeText(0, text, sizeof text, true));
    EXPECT_STREQ("Invalid", FormatFileTimeText(0x8000000000000000ULL, text, sizeof text, true));
}

TEST_F(DateTimeText, SystemTimeTexts) {
    char text[kDateTimeTextSize];
    SystemTime st{2021, 3, 4, 4, 6, 5, 57, 0};
    EXPECT_STREQ("03/04 06:05:57 (10 sec)", FormatSystemTimeText(st, text, sizeof text, true));
    SystemTime leap{2020, 2, 0, 29, 23, 59, 59, 999};
    EXPECT_STREQ("02/29 23:59:59", FormatSystemTimeText(leap, text, sizeof text, false));
    SystemTime bad[] = {{2021, 2, 0, 29, 0, 0, 0, 0}, {2021, 13, 0, 1, 0, 0, 0, 0},
                        {1600, 12, 0, 31, 0, 0, 0, 0}, {2021, 1, 0, 1, 24, 0, 0, 0}};
    for (const SystemTime& b : bad)
        EXPECT_STREQ("Invalid", FormatSystemTimeText(b, text, sizeof text, true));
    // The earliest time that converts is FILETIME 0, which reads as "no time".
    SystemTime first{1601, 1, 0, 1, 0, 0, 0, 0};
    EXPECT_STREQ("--", FormatSystemTimeText(first, text, sizeof text, true));
}

TEST(DateTimeConversion, RoundTripsAndKnownInstants) {
    SystemTime st{};
    ASSERT_TRUE(FileTimeToSystemTime(plat::kFileTimeUnixEpoch, &st));
    EXPECT_EQ(1970, st.wYear);
    EXPECT_EQ(1, st.wMonth);
    EXPECT_EQ(1, st.wDay);
    EXPECT_EQ(4, st.wDayOfWeek);  // a Thursday
    for (uint64_t ft : std::initializer_list<uint64_t>{0ULL, plat::kFileTimeUnixEpoch, 132593139670000000ULL,
                        9000000000000000000ULL}) {
        ASSERT_TRUE(FileTimeToSystemTime(ft, &st));
        uint64_t back = 0;
        ASSERT_TRUE(SystemTimeToFileTime(st, &back));
        EXPECT_EQ(ft, back);
    }
}

TEST_F(DateTimeText, AgesAtTheEndsOfTheRangeStayInRange) {
    char text[kDateTimeTextSize] = "";
    uint64_t now = LocalFileTimeNow();
    AppendElapsedTimeText(now + 0x8000000000000000ULL, text, sizeof text);
    EXPECT_STREQ(" (+24855.1 day)", text);  // 2^31 - 1 seconds
    text[0] = '\0';
    AppendElapsedTimeText(now + 0x7FFFFFFFFFFFFFFFULL, text, sizeof text);
    EXPECT_STREQ(" (+24855.1 day)", text);
}

TEST_F(DateTimeText, SmallBufferIsNeverOverrun) {
    char text[12];
    FormatFileTimeText(LocalFileTimeNow() - 400000 * kSecond, text, sizeof text, true);
    EXPECT_STREQ("02/27 14:59", text);
}

}  // namespace
