#include "nuvlib/emstext.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>

#include "nuvlib/ems.h"
#include "nuvlib/emsinternal.h"
#include "nuvlib/emsrecord.h"
#include "nuvlib/emt/emt.h"
#include "nuvlib/eventlog.h"
#include "platform/byteorder.h"
#include "platform/clock.h"
#include "tests/nuvlib/ems_testutil.h"
#include "tests/support/test_env.h"

namespace {

// 12:34:56 UTC on 1 January 1970.
constexpr int64_t kNoonishNs = (12 * 3600 + 34 * 60 + 56) * 1000000000LL;

struct Rec {
    uint32_t id = 0x21010003;
    std::vector<int32_t> ints;
    std::vector<const char*> strings;
    uint8_t kind = 0;
    uint32_t code = 0;
    uint64_t time = plat::UnixNsToFileTime(kNoonishNs);
    std::vector<uint8_t> data;
};

std::vector<uint8_t> Build(const Rec& r) {
    std::vector<uint8_t> block(EMS_RECORD_MAX);
    EMSRecordInput in;
    in.eventId = r.id;
    in.statusKind = r.kind;
    in.statusCode = r.code;
    in.time = r.time;
    in.processName = "proc";
    in.computerName = "host";
    in.intCount = static_cast<uint32_t>(r.ints.size());
    in.ints = r.ints.data();
    in.strCount = static_cast<uint32_t>(r.strings.size());
    in.strings = r.strings.data();
    in.dataLength = static_cast<uint32_t>(r.data.size());
    in.data = r.data.data();
    block.resize(EMSFillRecord(block.data(), in));
    return block;
}

class EventText : public ::testing::Test {
protected:
    void SetUp() override {
        clock_.SetLocalBiasMinutes(0);
        plat::SetClock(&clock_);
        unsetenv("PARLO_MSG_CATALOG");
        EMSTextResetForTest();
    }
    void TearDown() override {
        plat::SetClock(nullptr);
        EMSTextResetForTest();
    }
    std::string Print(const Rec& r) {
        auto block = Build(r);
        ::testing::internal::CaptureStdout();
        EMSPrintEvent(block.data(), static_cast<uint32_t>(block.size()));
        return ::testing::internal::GetCapturedStdout();
    }
    plat::FakeClock clock_;
};

TEST_F(EventText, ConsoleLineShowsLocalTimeAndTheTextWithItsInserts) {
    struct Case {
        Rec rec;
        std::string expected;
    };
    Rec trace;
    trace.strings = {"Node manager ", "thread started", "", "", ""};
    Rec setting;
    setting.id = 0x612E000A;
    setting.ints = {6000, 10};
    setting.strings = {"MaxClientConnections"};
    Rec missing;  // the text uses %3, the record holds two arguments
    missing.id = 0x212E0010;
    missing.ints = {7};
    missing.strings = {"client"};
    Rec noTime = trace;
    noTime.time = 0;
    const Case cases[] = {
        {trace, "12:34:56 Node manager thread started\n"},
        {setting, "12:34:56 The setting MaxClientConnections changed from 6000 to 10.\n"},
        {missing, "12:34:56 Session 7: capture of client client started in <EMS Arg Missing>.\n"},
        {noTime, "[Bad time value] Node manager thread started\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.expected, Print(c.rec));

    clock_.SetLocalBiasMinutes(-120);  // two hours east of UTC
    EXPECT_EQ("14:34:56 Node manager thread started\n", Print(trace));
}

TEST_F(EventText, StatusLinesByKind) {
    struct Case {
        uint8_t kind;
        uint32_t code;
        const char* expected;
    } cases[] = {
        {0, 5, ""},
        {1, 109, "  Last API Error [109]: The pipe has been ended.\n"},
        {1, 13, "  Last API Error [13]: The data is invalid.\n"},
        {2, 2, "  Last C Runtime Error [2]: No such file or directory\n"},
        {2, 99999, "  Last C Runtime Error [99999]: Unknown C Runtime errno value: 99999\n"},
        {3, 0x61048002, "  Last EMT Error [1627684866]: Connected to MDS.\n"},
        // The status of a lost MDS link (the stand-in killed).
        {3, 0xE1030013, "  Last EMT Error [-519897069]: The process at the other end of the shared-memory link is gone.\n"},
        // Found through the customer bit.
        {4, 0x41048002, "  Last MDS Error [1090813954]: Connected to MDS.\n"},
        {6, 7, "  Last ICP Status [7] SS7 status code = 7\n"},
        {9, 22, "  Last status code [22]: Invalid argument\n"},
        {9, 0x7FFF0000, "  Failed to format status code 2147418112 type 9\n"},
    };
    for (const auto& c : cases) {
        ::testing::internal::CaptureStdout();
        EMSPrintStatus(c.kind, c.code);
        EXPECT_EQ(c.expected, ::testing::internal::GetCapturedStdout()) << int(c.kind);
    }
    std::string text;
    EXPECT_EQ(0, EMSFormatStatusText(nullptr, 9, 0x7FFF0000, &text));
    EXPECT_EQ("Unknown status code 2147418112.  GetLastError() after FormatMessage() returned 317",
              text);
}

// Each status the inter-process transport answers with has its words.
TEST_F(EventText, EveryTransportStatusHasAText) {
    const uint32_t codes[] = {
        EMT_E_NOT_INITIALIZED, EMT_E_BAD_HANDLE,        EMT_E_NOT_LISTENING,       EMT_E_THREAD,
        EMT_E_BUFFER_TOO_SMALL, EMT_E_BAD_HANDSHAKE,    EMT_E_BAD_SERVICE,         EMT_E_HANDSHAKE_TIMEOUT,
        EMT_E_CLEANUP,         EMT_E_NO_FIRST_HEARTBEAT, EMT_E_DISCONNECTED,       EMT_E_HB_SEND,
        EMT_E_HB_RECV,         EMT_E_HB_LOSS,           EMT_E_NO_HB_PORT,          EMT_E_LISTEN_QUEUE_FULL,
        EMT_E_LISTEN_THREAD_ENDED, EMT_E_IMT_PEER_GONE, EMT_E_IMT_PEER_CLOSED,     EMT_E_IMT_LOCAL_CLOSED,
        EMT_E_IMT_SOCKET_CLOSED, EMT_E_IMT_ABANDONED,   EMT_E_PROTOCOL,            EMT_E_SHORT_SEND,
        EMT_E_PEER_CLOSED,     EMT_E_OVERLAPPED_BREAK,
    };
    std::set<std::string> texts;
    for (uint32_t code : codes) {
        ::testing::internal::CaptureStdout();
        EMSPrintStatus(EMS_STATUS_EMT, code);
        const std::string line = ::testing::internal::GetCapturedStdout();
        const std::string head = "  Last EMT Error [" + std::to_string(static_cast<int>(code)) + "]: ";
        EXPECT_EQ(0u, line.rfind(head, 0)) << std::hex << code << ": " << line;
        texts.insert(line.substr(std::min(head.size(), line.size())));
    }
    EXPECT_EQ(std::size(codes), texts.size());  // no two statuses read alike
}

TEST_F(EventText, EventWithAStatusKindPrintsItsStatusLine) {
    Rec r;
    r.strings = {"open failed", "", "", "", ""};
    r.kind = 2;
    r.code = 2;
    EXPECT_EQ("12:34:56 open failed\n  Last C Runtime Error [2]: No such file or directory\n",
              Print(r));
}

TEST_F(EventText, UnknownIdAndFaultingInsertsAreReportedNotPrinted) {
    Rec unknown;
    unknown.id = 0x6199FFFF;
    EXPECT_EQ("FormatMessage for message ID 6199ffff failed.  GetLastError() returned 317\n"
              "  Last API Error [317]: No text exists for this message number.\n",
              Print(unknown));

    testsupport::TempDir dir;
    testsupport::WriteFile(dir / "t.txt", "0x61990001\tbad %1!f!\n");
    setenv("PARLO_MSG_CATALOG", (dir / "t.txt").c_str(), 1);
    EMSFreeMessageLibraries();
    Rec bad;
    bad.id = 0x61990001;
    bad.strings = {"x"};
    // The fault becomes event 0xE101C002, which the interim console shows by its id.
    std::string out = Print(bad);
    EXPECT_EQ(std::string::npos, out.find("bad")) << out;
}

TEST_F(EventText, UnloadableCatalogueIsReportedOnceAndNothingIsPrinted) {
    setenv("PARLO_MSG_CATALOG", "/nonexistent/texts", 1);
    Rec r;
    r.id = 0x61010002;
    std::string first = Print(r);
    EXPECT_EQ("EMS library: LoadLibrary failed.  GetLastError() returned 2\n"
              "Couldn't access Message resource file for Facility Code 0x101. It may not be in "
              "your path or the registry path is invalid\n",
              first);
    EXPECT_EQ("", Print(r));
    ::testing::internal::CaptureStdout();
    EMSPrintStatus(2, 2);
    EMSPrintStatus(2, 2);
    EXPECT_EQ("EMS library: LoadLibrary failed.  GetLastError() returned 2\n"
              "Couldn't access /nonexistent/texts.  It may not be in your path.\n",
              ::testing::internal::GetCapturedStdout());
}

TEST_F(EventText, TypeAndCategoryRules) {
    struct Case {
        uint32_t id;
        uint16_t type, category;
    } cases[] = {
        {0x21010003, EMS_EVENTLOG_INFORMATION_TYPE, 1},
        {0x61020001, EMS_EVENTLOG_INFORMATION_TYPE, 2},
        {0xA12EC00A, EMS_EVENTLOG_WARNING_TYPE, 0x2E},
        {0xE1040005, EMS_EVENTLOG_ERROR_TYPE, 4},
        {0xA0000001, EMS_EVENTLOG_WARNING_TYPE, 267},
        {0x2FFF0001, EMS_EVENTLOG_INFORMATION_TYPE, 0xFF},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.type, EMSEventType(c.id)) << std::hex << c.id;
        EXPECT_EQ(c.category, EMSEventCategory(c.id)) << std::hex << c.id;
    }
}

TEST_F(EventText, EventLogFileHoldsTypeCategoryStringsAndTheRawRecord) {
    testsupport::TempDir dir;
    EMSGlobals& ems = EMSState();
    EMSCopyText(ems.logFileLocation, sizeof ems.logFileLocation, dir.str().c_str());
    ASSERT_TRUE(EMSRegisterEventSource());
    const auto file = dir / "eventlog" / "Quenlo Systems Inc. ZUR.evt";
    EXPECT_EQ(file.string(), TheEventLog().FilePath());

    Rec warn;
    warn.id = 0xA1010001;
    warn.ints = {42};
    warn.strings = {"tab\there", "two"};
    warn.data = {1, 2, 3};
    auto block = Build(warn);
    EMSReportToEventLog(block.data(), static_cast<uint32_t>(block.size()));
    Rec err;
    err.id = 0xE12EC003;
    err.strings = {"LinkTimeout", "SOFTWARE\\Base"};
    auto block2 = Build(err);
    EMSReportToEventLog(block2.data(), static_cast<uint32_t>(block2.size()));

    std::istringstream lines(testsupport::ReadFile(file));
    std::string line;
    ASSERT_TRUE(std::getline(lines, line));
    uint32_t raw = plat::LoadLE16(block.data() + emsoff::kVarLength) + 32;
    std::string hex;
    char b[3];
    for (uint32_t i = 0; i < raw; ++i) {
        std::snprintf(b, sizeof b, "%02X", block[4 + i]);
        hex += b;
    }
    EXPECT_EQ("1970-01-01T12:34:56.000Z\ttype=2\tcategory=1\tid=0xA1010001\tstrings=3\t42\t"
              "tab\\there\ttwo\tdata=" + hex,
              line);
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_NE(std::string::npos,
              line.find("\ttype=1\tcategory=46\tid=0xE12EC003\tstrings=2\tLinkTimeout\t"
                        "SOFTWARE\\\\Base\tdata="))
        << line;
    EXPECT_FALSE(std::getline(lines, line));
    TheEventLog().Close();
}

TEST_F(EventText, FailedEventLogReportIsPrintedOnce) {
    TheEventLog().Close();  // not registered: every report fails
    Rec r;
    r.id = 0xA1010001;
    auto block = Build(r);
    ::testing::internal::CaptureStdout();
    EMSReportToEventLog(block.data(), static_cast<uint32_t>(block.size()));
    EMSReportToEventLog(block.data(), static_cast<uint32_t>(block.size()));
    EXPECT_EQ("ReportEvent failed.  GetLastError returned 6\n",
              ::testing::internal::GetCapturedStdout());
}

}  // namespace

namespace {

// Entries of the event-log file of a started process that reported one event of each
// severity, with EMSNTEventLogLevel at `level`.
std::vector<std::string> EventLogAtLevel(uint32_t level) {
    testsupport::TempDir logs;
    emstest::Process p;
    p.SetDword("EMSNTEventLogLevel", level);
    p.SetString("EMSLogFileLocation", logs.str());
    EXPECT_EQ(1, p.Init());
    const std::string file = (logs / "eventlog" / "Quenlo Systems Inc. ZUR.evt").string();
    EXPECT_EQ(file, TheEventLog().FilePath());
    const std::string before = testsupport::ReadFile(file);  // start-up's own events
    EMSEvent0I1S(0x21017001, 0, 0, "success");
    EMSEvent0I1S(0x61017002, 0, 0, "information");
    EMSEvent0I1S(0xA1017003, 0, 0, "warning");
    EMSEvent0I1S(0xE1017004, 0, 0, "error");
    std::istringstream in(testsupport::ReadFile(file).substr(before.size()));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        size_t tab = line.find('\t');
        // type, category, id and the one string
        size_t data = line.find("\tdata=");
        lines.push_back(line.substr(tab + 1, data - tab - 1));
    }
    EMSStopSettingsWatch();
    return lines;
}

TEST_F(EventText, DefaultLevelReportsNothingToTheEventLog) {
    EXPECT_TRUE(EventLogAtLevel(4).empty());
}

TEST_F(EventText, WarningsAndErrorsReachTheEventLogWithTypeAndCategory) {
    EXPECT_EQ((std::vector<std::string>{
                  "type=2\tcategory=1\tid=0xA1017003\tstrings=1\twarning",
                  "type=1\tcategory=1\tid=0xE1017004\tstrings=1\terror",
              }),
              EventLogAtLevel(2));
}

}  // namespace
