// EMS settings: values, clamps and the watch that applies changes while the process runs.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "nuvlib/ems.h"
#include "nuvlib/emsinternal.h"
#include "tests/nuvlib/ems_testutil.h"

namespace {

using emstest::Console;

// Runs the operators' CLI against the test's registry.
void CliSet(const std::string& name, const std::string& type, const std::string& value) {
    const std::string cmd = std::string(PARLO_REG_BIN) + " set '" + emstest::kProcessKey + "' " + name +
                            " " + type + " " + value;
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
}

bool Eventually(const std::function<bool()>& condition, int ms = 10000) {
    return emstest::Eventually(condition, ms);
}

class Settings : public ::testing::Test {
protected:
    void SetUp() override { EMSInstallSeams(&Console::kSeams); }
    void TearDown() override {
        EMSStopSettingsWatch();
        EMSInstallSeams(nullptr);
    }
    emstest::Process p;
};

TEST_F(Settings, LogLimitsAreClamped) {
    const struct {
        int64_t max, all, count;  // -1: value missing
        uint32_t wantAll, wantCount;
    } cases[] = {
        {1000000, 500000, 3, 2000000, 10},
        {1000000, 5000000, 20, 5000000, 20},
        {300000, -1, 10, 600000, 10},
    };
    for (const auto& c : cases) {
        p.SetDword("EMSLogFileMax", static_cast<uint32_t>(c.max));
        if (c.all >= 0)
            p.SetDword("EMSAllLogFilesMax", static_cast<uint32_t>(c.all));
        else
            plat::RegDeleteValue(p.key, "EMSAllLogFilesMax");
        p.SetDword("EMSLogFileCountMax", static_cast<uint32_t>(c.count));
        EMSReadSettings(p.key);
        EXPECT_EQ(EMSState().allLogFilesMax, c.wantAll) << c.all;
        EXPECT_EQ(EMSState().logFileCountMax, c.wantCount) << c.count;
    }
}

TEST_F(Settings, DefaultsWithoutKeysAndWarnings) {
    plat::RegDeleteKey(plat::RegRoot(), emstest::kProcessKey.c_str());
    testing::internal::CaptureStdout();
    EMSCopyText(EMSState().registryBase, sizeof EMSState().registryBase, "Nowhere");
    EMSCopyText(EMSState().processName, sizeof EMSState().processName, "abc");
    EMSInitSettings();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("EMS: warning couldn't open SOFTWARE\\Quenlo Systems, Inc.\\Nowhere\\EMS\\CurrentVersion\\Library key in registry\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Library\\Processes\\abc key in registry\n"), std::string::npos);
    EXPECT_EQ(EMSState().logFileMax, 1000000u);
    EXPECT_EQ(EMSState().allLogFilesMax, 2000000u);
    EXPECT_EQ(EMSState().logFileCountMax, 1000u);
    EXPECT_EQ(EMSState().ntEventLogLevel.load(), 4u);
    EXPECT_TRUE(EMSState().displayToScreen.load());

    // A key holding only some values warns for each missing one and keeps display on.
    plat::RegKey key = nullptr;
    ASSERT_EQ(plat::RegCreateKey(plat::RegRoot(), "SOFTWARE\\Partial", &key), 0u);
    testing::internal::CaptureStdout();
    EMSReadSettings(key);
    const std::string warned = testing::internal::GetCapturedStdout();
    EXPECT_NE(warned.find("EMS: warning couldn't read EMSTraceMask value in registry\n"), std::string::npos);
    EXPECT_NE(warned.find("EMS: warning couldn't read EMSDisplayToScreen value in registry\n"), std::string::npos);
    EXPECT_EQ(warned.find("EMSZipCompressionEnabled"), std::string::npos);  // quietly off
    EXPECT_EQ(warned.find("EMSDbgBreakNow"), std::string::npos);
    EXPECT_TRUE(EMSState().displayToScreen.load());
    plat::RegCloseKey(key);
}

TEST_F(Settings, UserDataIsCutTo260BytesAndReadAsBits) {
    std::vector<uint8_t> data(300, 0);
    data[0] = 0x80;    // bit 1
    data[1] = 0x01;    // bit 16
    data[259] = 0x01;  // bit 2080, the last
    data[260] = 0xFF;  // beyond the cut
    p.SetBinary("EMSUserData", data);
    EMSReadSettings(p.key);
    uint32_t length = 0;
    const uint8_t* bits = EMSGetUserData(&length);
    EXPECT_EQ(length, 260u);
    EXPECT_EQ(bits[1], 0x01);
    const struct {
        uint32_t bit;
        bool set;
    } cases[] = {{0, false}, {1, true}, {2, false}, {16, true}, {15, false}, {2080, true}, {2081, false}, {2088, false}};
    for (const auto& c : cases) EXPECT_EQ(EMSIsUserDataBitSet(c.bit), c.set) << c.bit;
}

TEST_F(Settings, CompressionSettingsAreReadOnce) {
    p.SetDword("EMSZipCompressionEnabled", 0);
    EMSReadSettings(p.key);
    EXPECT_EQ(EMSState().zipCompressionEnabled, 0);
    p.SetDword("EMSZipCompressionEnabled", 1);
    p.SetString("EMSZipFormat", "gzip %s");
    p.SetString("EMSZipExtension", ".gz");
    EMSReadSettings(p.key);
    EXPECT_EQ(EMSState().zipCompressionEnabled, 0);

    // Read for the first time: on, but only with both texts present.
    EMSState().zipCompressionEnabled = EMS_ZIP_NOT_READ;
    EMSReadSettings(p.key);
    EXPECT_EQ(EMSState().zipCompressionEnabled, 1);
    EXPECT_STREQ(EMSState().zipExtension, ".gz");
    plat::RegDeleteValue(p.key, "EMSZipExtension");
    EMSState().zipCompressionEnabled = EMS_ZIP_NOT_READ;
    EMSReadSettings(p.key);
    EXPECT_EQ(EMSState().zipCompressionEnabled, 0);
}

TEST_F(Settings, DebugBreakNowResetsItselfThenBreaks) {
    p.SetDword("EMSDbgBreakNow", 1);
    EXPECT_EXIT(EMSReadSettings(p.key), ::testing::KilledBySignal(SIGTRAP), "");
    EXPECT_EQ(p.GetDword("EMSDbgBreakNow"), 0u);
    p.SetDword("EMSDbgFaultNow", 1);
    // Without a crash handler (and without the sanitizer's) the fault ends the process.
    EXPECT_EXIT(
        {
            std::signal(SIGSEGV, SIG_DFL);
            EMSReadSettings(p.key);
        },
        ::testing::KilledBySignal(SIGSEGV), "");
    EXPECT_EQ(p.GetDword("EMSDbgFaultNow"), 0u);
}

TEST_F(Settings, ChangesWhileRunningTakeEffect) {
    p.SetDword("EMSTraceMask", 0);
    p.SetDword("EMSDisplayToScreen", 1);
    ASSERT_EQ(p.Init(), 1);
    EXPECT_EQ(EMSGetTraceMask(), 0u);

    CliSet("EMSTraceMask", "dword", "0x10000010");
    EXPECT_TRUE(Eventually([] { return EMSGetTraceMask() == 0x10000010u; }));

    CliSet("EMSDisplayToScreen", "dword", "0");
    EXPECT_TRUE(Eventually([] { return Console::Saw("Display of EMS messages to the screen has been dynamically disabled."); }));
    // The notice goes out just before the display is switched off.
    EXPECT_TRUE(Eventually([] { return !EMSState().displayToScreen.load(); }));
    const size_t shown = Console::Shown().size();
    EMSTraceMessage("not on the screen");
    EXPECT_EQ(Console::Shown().size(), shown);

    CliSet("EMSDisplayToScreen", "dword", "1");
    EXPECT_TRUE(Eventually([] { return Console::Saw("Display of EMS messages to the screen has been dynamically reenabled."); }));
    EMSTraceMessage("on the screen again");
    EXPECT_TRUE(Console::Saw("on the screen again"));
    EXPECT_FALSE(Console::Saw("not on the screen"));

    // Everything reached the log file, displayed or not.
    const auto logs = p.Logs();
    EXPECT_NE(emstest::FindText(logs, "not on the screen"), nullptr);
    const emstest::Record* off = emstest::FindText(logs, "not on the screen");
    ASSERT_NE(off, nullptr);
    EXPECT_EQ(off->flags & EMS_FLAG_CONSOLE, 0);
}

}  // namespace
