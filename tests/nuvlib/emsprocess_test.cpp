// EMS in a started process: what reaches the log file, MDS and the other sinks, and how the
// process ends.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "nuvlib/ems.h"
#include "nuvlib/emsinternal.h"
#include "nuvlib/lock.h"
#include "tests/nuvlib/mds_fake_port.h"
#include "platform/byteorder.h"
#include "platform/process.h"
#include "tests/nuvlib/ems_testutil.h"

namespace {

using emstest::Record;

struct Mds {
    static inline int synchronized = 0;
    static inline std::vector<uint32_t> forwarded;
    static inline std::vector<uint8_t> buffer;
    static int32_t Stamp() { return 0x1234; }
    static int Sync() { return synchronized; }
    static void* Alloc(uint32_t n) {
        buffer.assign(n, 0);
        return buffer.data();
    }
    static void Free(void*) {}
    static int Send(uint32_t, uint32_t, uint32_t, void* p, uint32_t) {
        forwarded.push_back(plat::LoadLE32(static_cast<uint8_t*>(p) + 8 + 12));
        return 1;
    }
    static void Stop(int) {}
    static inline emstest::FakeMDSClient client{{Stamp, Sync, Alloc, Free, Send, Stop}};
};

struct Sinks {
    static inline bool registerResult = true;
    static inline std::vector<uint32_t> eventLog, monitors;
    static inline std::string monitorServer;
    static bool Register() { return registerResult; }
    static void EventLog(const uint8_t* b, uint32_t) {
        eventLog.push_back(plat::LoadLE32(b + emsoff::kEventId));
    }
    static void Monitors(const uint8_t* b, uint32_t) {
        monitors.push_back(plat::LoadLE32(b + emsoff::kEventId));
    }
    static void Start(const char* base, const char* process) { monitorServer = std::string(base) + "|" + process; }
    static constexpr EMSSeams kSeams = {emstest::Console::Print, Register, EventLog, Start,
                                        Monitors, nullptr, nullptr, nullptr};
};

class Started : public ::testing::Test {
protected:
    void SetUp() override {
        (void)MDSInstallClientPort(&Mds::client);
        EMSInstallSeams(&Sinks::kSeams);
    }
    void TearDown() override {
        EMSStopSettingsWatch();
        (void)MDSInstallClientPort(nullptr);
        EMSInstallSeams(nullptr);
    }
    emstest::Process p;
};

TEST_F(Started, StartUpAndRecordHeaders) {
    p.SetDword("EMSNTEventLogLevel", 2);
    ASSERT_EQ(p.Init(), 1);
    EXPECT_EQ(p.Init(), 0);  // once only
    EXPECT_EQ(Sinks::monitorServer, std::string(emstest::kBase) + "|abc");
    EMSTraceMessage("hello %s", "log");
    EMSEvent0I1S(0xA1010077, 0, 0, "a warning");
    EMSEvent0I1S(0xE1010078, 0, 0, "an error");

    const auto logs = p.Logs();
    ASSERT_GE(logs.size(), 4u);
    EXPECT_EQ(logs[0].id, EMS_ID_STARTED);
    const Record* trace = emstest::FindText(logs, "hello log");
    ASSERT_NE(trace, nullptr);
    EXPECT_EQ(trace->systemType, 7);
    EXPECT_EQ(trace->systemId, 3);
    EXPECT_EQ(trace->side, 'B');
    EXPECT_EQ(trace->parsed.processName, "abc");
    EXPECT_EQ(trace->parsed.computerName, plat::ComputerName());
    EXPECT_EQ(trace->flags & EMS_FLAG_CONSOLE, EMS_FLAG_CONSOLE);

    // Severity 2 and up reach the event log; every record reaches the monitors.
    EXPECT_EQ(Sinks::eventLog, (std::vector<uint32_t>{0xA1010077, 0xE1010078}));
    EXPECT_EQ(Sinks::monitors.size(), logs.size());
}

TEST_F(Started, ForwardingFollowsSeverityAndTheInsideMdsFlag) {
    Mds::synchronized = 1;
    ASSERT_EQ(p.Init(), 1);
    Mds::forwarded.clear();
    EMSTraceMessage("a trace");                    // severity 0: never forwarded
    EMSEvent0I1S(0x61010050, 0, 0, "information"); // forwarded
    EMSEvent0I1S(0xA1010051, 0, 0, "a warning");   // forwarded
    EMSSetInsideMDS(true);
    EMSEvent0I1S(0xA1010052, 0, 0, "from inside MDS");  // logged only
    EMSSetInsideMDS(false);
    EXPECT_EQ(Mds::forwarded, (std::vector<uint32_t>{0x61010050, 0xA1010051}));

    const auto logs = p.Logs();
    const struct {
        const char* text;
        uint8_t synchronizedFlag;
    } cases[] = {{"a trace", 0}, {"information", 1}, {"a warning", 1}, {"from inside MDS", 0}};
    for (const auto& c : cases) {
        const Record* r = emstest::FindText(logs, c.text);
        ASSERT_NE(r, nullptr) << c.text;
        EXPECT_EQ(r->flags & EMS_FLAG_SYNCHRONIZED, c.synchronizedFlag) << c.text;
    }
}

TEST_F(Started, FailedEventSourceIsReportedButEmsKeepsWorking) {
    Sinks::registerResult = false;
    EXPECT_EQ(p.Init(), 0);
    EMSEvent0I1S(0xE1010078, 0, 0, "an error");
    EXPECT_TRUE(Sinks::eventLog.empty());
    const auto logs = p.Logs();
    EXPECT_NE(emstest::FindText(logs, "EMS library warning: Couldn't register event source."), nullptr);
    EXPECT_NE(emstest::FindText(logs, "Registry key under EventLog\\Application may be missing."), nullptr);
    EXPECT_NE(emstest::FindText(logs, "an error"), nullptr);
}

TEST_F(Started, FatalReportEndsTheProcessAfterItsRecordIsLogged) {
    EXPECT_EXIT(
        {
            p.Init();
            EMSFailMessage("fatal: %s", "out of luck");
        },
        ::testing::ExitedWithCode(162), "");
    const auto logs = p.Logs();
    ASSERT_GE(logs.size(), 2u);
    const Record& fail = logs[logs.size() - 2];
    EXPECT_EQ(fail.id, EMS_ID_FAIL);
    EXPECT_EQ(fail.Text(), "fatal: out of luck");
    EXPECT_EQ(logs.back().Text(), "Process exiting with exit code 100002.");  // the full code
}

TEST_F(Started, DestroyingAHeldLockIsFatalAndLogged) {
    EXPECT_EXIT(
        {
            p.Init();
            auto* lock = new LockObject(1, nullptr, "Held", 0xFFFFFFFF, 0, 0);
            lock->Lock();
            delete lock;
        },
        ::testing::ExitedWithCode(162), "");
    const auto logs = p.Logs();
    const Record* r = emstest::FindText(logs, "Attempting to delete Lock while still in use!! (m_LockName=Global\\Held, m_LockID=");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->id, EMS_ID_FAIL);
    EXPECT_NE(r->Text().find("m_NumLocked=1, m_LockType=2)"), std::string::npos) << r->Text();
}

void SayBeforeBreak(void*) { std::fprintf(stderr, "before the break\n"); }
void SayNormal(void*) { std::fprintf(stderr, "normal callback\n"); }

TEST_F(Started, DebugBreakRunsBeforeBreakCallbacksThenBreaks) {
    p.SetDword("EMSDebugBreak", 1);
    EXPECT_EXIT(
        {
            p.Init();
            EXPECT_TRUE(EMSAddExitCallback(SayNormal, nullptr, false, false));
            EXPECT_TRUE(EMSAddExitCallback(SayBeforeBreak, nullptr, false, true));
            EMSFailMessage("break here");
        },
        ::testing::KilledBySignal(SIGTRAP), "^before the break\n$");
    // Without a break requested the same settings exit normally.
    EXPECT_EXIT(
        {
            p.Init();
            EXPECT_TRUE(EMSAddExitCallback(SayNormal, nullptr, false, false));
            EXPECT_TRUE(EMSAddExitCallback(SayBeforeBreak, nullptr, false, true));
            EMSExitProcess(100003);
        },
        ::testing::ExitedWithCode(163), "^normal callback\n$");
}

}  // namespace
