// Event reporting: front ends, dispatch, forwarding rules and the orderly exit.
#include "nuvlib/ems.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "nuvlib/emsrecord.h"
#include "nuvlib/emsseams.h"
#include "tests/nuvlib/mds_fake_port.h"
#include "platform/byteorder.h"
#include "platform/lasterror.h"
#include "platform/process.h"

namespace {

struct Captured {
    uint32_t id;
    uint8_t kind;
    uint32_t code;
    uint8_t flags;
    EMSParsedRecord parsed;
};
std::vector<Captured> g_console;

void CaptureConsole(const uint8_t* block, uint32_t length) {
    Captured c;
    c.id = plat::LoadLE32(block + emsoff::kEventId);
    c.kind = block[emsoff::kStatusKind];
    c.code = plat::LoadLE32(block + emsoff::kStatusCode);
    c.flags = block[emsoff::kFlags];
    EXPECT_TRUE(EMSParseRecord(block, length, &c.parsed));
    g_console.push_back(c);
}
const EMSSeams kCaptureSeams = {CaptureConsole, nullptr, nullptr, nullptr,
                                nullptr,        nullptr, nullptr, nullptr};

std::vector<uint32_t> g_forwarded;
std::vector<int> g_stops;
int32_t Stamp() { return 5; }
int Sync() { return 0; }
std::vector<uint8_t> g_mdsBuffer;
void* Alloc(uint32_t n) {
    g_mdsBuffer.assign(n, 0);
    return g_mdsBuffer.data();
}
void Free(void*) {}
int Send(uint32_t, uint32_t, uint32_t, void* p, uint32_t) {
    g_forwarded.push_back(plat::LoadLE32(static_cast<uint8_t*>(p) + 8 + 12));
    return 1;
}
void Stop(int reason) {
    g_stops.push_back(reason);
    std::fprintf(stderr, "stop client %d\n", reason);
}
emstest::FakeMDSClient g_recordingMds{{Stamp, Sync, Alloc, Free, Send, Stop}};

class Ems : public ::testing::Test {
protected:
    void SetUp() override {
        g_console.clear();
        g_forwarded.clear();
        EMSInstallSeams(&kCaptureSeams);
        (void)MDSInstallClientPort(&g_recordingMds);
    }
    void TearDown() override {
        EMSInstallSeams(nullptr);
        (void)MDSInstallClientPort(nullptr);
    }
    static std::string Joined(const Captured& c) {
        std::string all;
        for (uint32_t i = 0; i < c.parsed.argCount; ++i) all += c.parsed.args[i];
        return all;
    }
};

TEST_F(Ems, TraceTextIsCutIntoFivePieces) {
    const struct {
        size_t length;
        std::vector<size_t> pieces;
    } cases[] = {
        {0, {0, 0, 0, 0, 0}},
        {239, {239, 0, 0, 0, 0}},
        {240, {239, 1, 0, 0, 0}},
        {1195, {239, 239, 239, 239, 239}},
        {3000, {239, 239, 239, 239, 239}},
    };
    for (const auto& c : cases) {
        std::string text;
        for (size_t i = 0; i < c.length; ++i) text += static_cast<char>('a' + i % 26);
        g_console.clear();
        EMSTraceMessage("%s", text.c_str());
        ASSERT_EQ(g_console.size(), 1u);
        const Captured& got = g_console[0];
        EXPECT_EQ(got.id, EMS_ID_TRACE);
        ASSERT_EQ(got.parsed.argCount, 5u);
        for (int i = 0; i < 5; ++i) EXPECT_EQ(got.parsed.args[i].size(), c.pieces[i]) << c.length;
        EXPECT_EQ(Joined(got), text.substr(0, 1195));
    }
}

TEST_F(Ems, FrontEndsCarryTheirIdKindAndCode) {
    plat::SetLastError(1234);
    EMSTraceMessageLastError("a");
    errno = 13;
    EMSTraceMessageErrno("b");
    EMSTraceMessageStatus(0xE1043F00, "c");
    EMSErrorMessage("d");
    EMSTraceMessage("e %d", 5);
    const struct {
        uint32_t id;
        uint8_t kind;
        uint32_t code;
        const char* text;
    } expected[] = {
        {EMS_ID_TRACE, 1, 1234, "a"},       {EMS_ID_TRACE, 2, 13, "b"},
        {EMS_ID_TRACE, 1, 0xE1043F00, "c"}, {EMS_ID_ERROR, 0, 0, "d"},
        {EMS_ID_TRACE, 0, 0, "e 5"},
    };
    ASSERT_EQ(g_console.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(g_console[i].id, expected[i].id);
        EXPECT_EQ(g_console[i].kind, expected[i].kind);
        EXPECT_EQ(g_console[i].code, expected[i].code);
        EXPECT_EQ(Joined(g_console[i]), expected[i].text);
    }
}

TEST_F(Ems, BeforeInitialisationReportsReachTheConsoleOnly) {
    EMSEvent1I2S(0xA1000005, 0, 0, 42, "x", "y");  // a warning
    ASSERT_EQ(g_console.size(), 1u);
    EXPECT_EQ(g_console[0].flags & EMS_FLAG_CONSOLE, EMS_FLAG_CONSOLE);
    ASSERT_EQ(g_console[0].parsed.argCount, 3u);
    EXPECT_EQ(g_console[0].parsed.args[0], "42");
    EXPECT_TRUE(g_forwarded.empty());  // not forwarded before start-up
}

// A process that installed no sinks of its own still sees its early reports on the console.
TEST(EmsDefaults, ReportBeforeInitialisationIsShownOnTheConsole) {
    testing::internal::CaptureStdout();
    EMSTraceMessage("early %s", "trace");
    const std::string shown = testing::internal::GetCapturedStdout();
    EXPECT_NE(shown.find("early trace"), std::string::npos) << shown;
}

TEST_F(Ems, UnreadableArgumentDropsTheEvent) {
    EMSEvent0I2S(0x61010099, 0, 0, "fine", nullptr);
    EMSEventData0I1S(0x61010098, 0, 0, 10, nullptr, "no data");
    ASSERT_EQ(g_console.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(g_console[i].id, EMS_ID_ARGUMENT_FAULT);
        ASSERT_EQ(g_console[i].parsed.argCount, 1u);
    }
    EXPECT_EQ(g_console[0].parsed.args[0], "0x61010099");
    EXPECT_EQ(g_console[1].parsed.args[0], "0x61010098");
}

// A null format on purpose: what a caller's bad format does.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
TEST_F(Ems, FormatFaultReportsItsOwnEvent) {
    const char* noFormat = nullptr;
    EMSTraceMessage(noFormat);
    ASSERT_EQ(g_console.size(), 1u);
    EXPECT_EQ(g_console[0].id, EMS_ID_FORMAT_FAULT);
    ASSERT_EQ(g_console[0].parsed.argCount, 2u);
    EXPECT_EQ(g_console[0].parsed.args[0], "0x21010003");
}

TEST_F(Ems, ThreadTextGrowsAndKeepsItsText) {
    EMSThreadTextReset(10);  // raised to 512
    std::string expected;
    for (int i = 0; i < 100; ++i) {
        std::string piece(37, static_cast<char>('A' + i % 26));
        EMSThreadTextAppend(piece.c_str());
        expected += piece;
    }
    EMSThreadTextAppend(nullptr);
    EXPECT_EQ(std::string(EMSThreadTextGet()), expected);
    EMSThreadTextReset(1024);
    EXPECT_STREQ(EMSThreadTextGet(), "");
}

TEST_F(Ems, ThreadIdPrefixIsOff) { EXPECT_FALSE(EMSIsThreadIdPrefixOn()); }

// ---- exit ----

void Say(void* text) { std::fprintf(stderr, "%s\n", static_cast<const char*>(text)); }
void AddAnother(void*) {
    bool added = EMSAddExitCallback(Say, const_cast<char*>("late"), false, false);
    std::fprintf(stderr, "added while running: %d\n", added);
}

TEST_F(Ems, FatalReportRunsCallbacksInOrderAndStopsMdsWithReason1) {
    EXPECT_EXIT(
        {
            EXPECT_TRUE(EMSAddExitCallback(Say, const_cast<char*>("second"), false, false));
            EXPECT_TRUE(EMSAddExitCallback(Say, const_cast<char*>("before-break"), false, true));
            EXPECT_TRUE(EMSAddExitCallback(Say, const_cast<char*>("first"), true, false));
            EXPECT_TRUE(EMSAddExitCallback(AddAnother, nullptr, false, false));
            EXPECT_TRUE(EMSAddExitCallback(Say, const_cast<char*>("third"), false, false));
            EMSFailMessage("fatal %d", 1);
        },
        ::testing::ExitedWithCode(162),
        "^first\nsecond\nadded while running: 0\nthird\nstop client 1\n$");
}

TEST_F(Ems, ServerStopExitStopsMdsWithReason0) {
    EXPECT_EXIT(EMSExitProcess(EMS_EXIT_SERVER_STOP), ::testing::ExitedWithCode(168),
                "^stop client 0\n$");
}

TEST_F(Ems, ExitInsideMdsDoesNotStopTheClient) {
    EXPECT_EXIT(
        {
            EMSSetInsideMDS(true);
            EMSExitProcess(0);
        },
        ::testing::ExitedWithCode(0), "^$");
}

TEST_F(Ems, FatalReportWhoseFormattingFailsStillEnds) {
    const char* noFormat = nullptr;
    EXPECT_EXIT(EMSFailMessage(noFormat), ::testing::ExitedWithCode(162), "");
}
#pragma GCC diagnostic pop

}  // namespace
