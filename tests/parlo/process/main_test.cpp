// The parlo process as the node manager starts it, with the stand-in MDS beside it.
#include <gtest/gtest.h>

#include "tests/parlo/process/parlo_env.h"

namespace {

using parlotest::Get;
using parlotest::kDynamicKey;
using parlotest::Process;
using parlotest::Quote;
using parlotest::Reg;
using parlotest::SetDword;

class Parlo : public parlotest::ParloEnv {};

// A refused command line ends with exit 0 before anything of the server exists.
TEST_F(Parlo, RefusesBadCommandLines) {
    const struct {
        std::vector<std::string> args;
        const char* text;
    } cases[] = {
        {{"parlo", "DIRTY", "DUPLEX", "a", "r", "1", "b"}, "Error for Side. Must be A or B."},
        {{"parlo", "clean", "SIMPLEX", "A", "r", "1", "b"}, "Error for LastShutdownType. Must be CLEAN or DIRTY."},
        {{"parlo", "CLEAN", "duplex", "A", "r", "1", "b"}, "Error for DuplexConfig. Must be SIMPLEX or DUPLEX."},
        {{"parlo", "CLEAN", "SIMPLEX", "A", "r", "256", "b"}, "DMPSystemID"},
        {{"parlo", "CLEAN", "SIMPLEX", "A", "r", "1"}, "Missing argument."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<std::string> argv{PARLO_BIN};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Process p(argv);
        EXPECT_EQ(p.WaitExit(), 0);
        EXPECT_NE(p.Output().find(c.text), std::string::npos) << p.Output();
        EXPECT_EQ(p.Output().find("ParloMain::Execute"), std::string::npos);
    }
}

// A fresh start reports its build, corrects the queue limit, writes the missing lock
// time-out, registers with MDS, publishes its twenty counters and stays up.
TEST_F(Parlo, StartsRegistersAndPublishesItsCounters) {
    const struct {
        uint32_t queueLimit, expected;
    } cases[] = {{4000, 15000}, {4001, 4001}, {0xFFFFFFFF, 15000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.queueLimit);
        SetDword(kDynamicKey, "MaxQueueAllEventClient", c.queueLimit);
        ASSERT_NO_FATAL_FAILURE(parlotest::DelValue(kDynamicKey, "MaxLockTimeout"));
        auto parlo = Start();
        ASSERT_TRUE(parlo->WaitText("MDS is in service.")) << parlo->Output();
        EXPECT_NE(parlo->Output().find("parlo is starting; build Release 12.6.1.0 , Build 00071, Built "),
                  std::string::npos);
        char expected[32];
        std::snprintf(expected, sizeof expected, "dword:%08x", c.expected);
        EXPECT_EQ(Get(kDynamicKey, "MaxQueueAllEventClient"), expected);
        EXPECT_EQ(Get(kDynamicKey, "MaxLockTimeout"), "dword:000001f4");
        EXPECT_TRUE(mds_->WaitText("client 10 (parlo) in service"));

        const auto counters = parlotest::RunCommand(std::string(PARLO_COUNTERS_BIN) + " parlo");
        EXPECT_EQ(counters.status, 0);
        std::string expectedLines;
        const char* names[] = {"LOGGEDIN_AGENTS", "TALKING_AGENTS", "UNKNOWN_SESSIONS", "OPEN_SESSIONS",
                               "CLOSED_SESSIONS", "FAILED_SESSIONS", "TOTAL_SESSIONS", "READY_AGENTS",
                               "REPORTED_CALLS", "ACTIVE_CALLS", "DEACTIVATED_CALLS", "CLEARED_CALLS",
                               "PRIVATE_CALLS", "NOT_READY_AGENTS", "ONHOLD_AGENTS", "WORKREADY_AGENTS",
                               "WORKNOTREADY_AGENTS", "LOGGEDOUT_AGENTS", "OPENING_SESSIONS",
                               "CLOSING_SESSIONS"};
        for (int i = 0; i < 20; ++i)
            expectedLines += "parlo " + std::to_string(2 + 2 * i) + " PARLO_" + names[i] + " 0\n";
        EXPECT_EQ(counters.out, expectedLines);
        if (c.queueLimit == 4000) {  // --watch prints them again every second
            Process watch({PARLO_COUNTERS_BIN, "--watch", "parlo"});
            EXPECT_TRUE(watch.WaitText(expectedLines + expectedLines));
        }
        EXPECT_EQ(parlo->WaitExit(300), -1);  // still up
        parlo.reset();
        mds_->WaitText("client 10 (parlo) out of service", 5000);
    }
}

// Each live change of a Dynamic value is reported once; rewriting a value unchanged is not.
TEST_F(Parlo, ReportsLiveChangesOfDynamicValues) {
    auto parlo = Start();
    ASSERT_TRUE(parlo->WaitText("MDS is in service.")) << parlo->Output();
    SetDword(kDynamicKey, "MaxClientConnections", 10);
    EXPECT_TRUE(parlo->WaitText("The setting MaxClientConnections changed from 6000 to 10."));
    SetDword(kDynamicKey, "MaxClientConnections", 10);  // unchanged
    SetDword(kDynamicKey, "ConnectionTimeout", 31);     // a later change marks the end
    EXPECT_TRUE(parlo->WaitText("The setting ConnectionTimeout changed from 30 to 31."));
    EXPECT_EQ(parlo->Count("The setting MaxClientConnections changed"), 1u);
    EXPECT_EQ(parlo->Count("The setting "), 2u);
}

// A mandatory value missing at start, or deleted while the server runs, ends it with exit 0.
TEST_F(Parlo, EndsWhenAMandatoryValueIsMissing) {
    const std::string text =
        "The registry value ConnectionTimeout under SOFTWARE\\QUENLO SYSTEMS, INC.\\ZUR\\parlo\\CG\\"
        "CurrentVersion\\Parlo\\Dynamic is missing; the process ends.";
    for (const bool whileRunning : {false, true}) {
        SCOPED_TRACE(whileRunning);
        SetDword(kDynamicKey, "ConnectionTimeout", 30);
        if (!whileRunning) {
            ASSERT_NO_FATAL_FAILURE(parlotest::DelValue(kDynamicKey, "ConnectionTimeout"));
        }
        auto parlo = Start();
        if (whileRunning) {
            ASSERT_TRUE(parlo->WaitText("MDS is in service.")) << parlo->Output();
            ASSERT_NO_FATAL_FAILURE(parlotest::DelValue(kDynamicKey, "ConnectionTimeout"));
        }
        EXPECT_EQ(parlo->WaitExit(), 0) << parlo->Output();
        EXPECT_NE(parlo->Output().find(text), std::string::npos) << parlo->Output();
        EXPECT_EQ(parlotest::RunCommand(std::string(PARLO_COUNTERS_BIN) + " parlo").status, 1);
    }
}

// The node manager's ping is answered 2 and its shutdown 5; the process then ends with
// 200004 (low byte 68) and its counter instance is gone.
TEST_F(Parlo, AnswersTheNodeManager) {
    std::vector<std::string> argv{NODEMGR_BIN, "--timeout", "20000", "--send", "1,4", "--"};
    for (const auto& a : Args()) argv.push_back(a);
    Process nodemgr(argv);
    EXPECT_EQ(nodemgr.WaitExit(60000), 0) << nodemgr.Output();
    EXPECT_NE(nodemgr.Output().find("sent 1 reply 2"), std::string::npos) << nodemgr.Output();
    EXPECT_NE(nodemgr.Output().find("sent 4 reply 5"), std::string::npos) << nodemgr.Output();
    EXPECT_NE(nodemgr.Output().find("exited 68"), std::string::npos) << nodemgr.Output();
    EXPECT_EQ(parlotest::RunCommand(std::string(PARLO_COUNTERS_BIN) + " parlo").status, 1);
}

}  // namespace
