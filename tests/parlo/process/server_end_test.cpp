// How the real parlo ends: on Ctrl-C (or SIGTERM) whether it still waits for MDS or serves,
// and on a lost MDS, after every open session has had the out-of-service event.
#include <gtest/gtest.h>

#include <signal.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/parlo/process/active_parlo.h"

namespace {

using parlotest::Process;

// The way a stop by signal shows: the signal's own end, without the exit of a stop the
// server chose itself.
void ExpectEndedBy(Process& parlo, int sig) {
    EXPECT_EQ(-1, parlo.WaitExit(20000)) << parlo.Output();
    EXPECT_EQ(sig, parlo.Signal()) << parlo.Output();
    EXPECT_EQ(std::string::npos, parlo.Output().find("Process exiting with exit code")) << parlo.Output();
}

class StartingServer : public parlotest::ParloEnv {};

// No MDS to register with: the server waits for it at start-up, and a signal still ends it.
TEST_F(StartingServer, CtrlCOrSigtermEndsItWhileItWaitsForMDS) {
    mds_.reset();
    for (int sig : {SIGINT, SIGTERM}) {
        auto parlo = Start();
        // Its last line before it connects to MDS: the buffer pool it registers with.
        ASSERT_TRUE(parlo->WaitText("MBufLimitMgr")) << parlo->Output();
        ASSERT_EQ(0, ::kill(parlo->Pid(), sig));
        ExpectEndedBy(*parlo, sig);
        EXPECT_EQ(std::string::npos, parlo->Output().find("is registered with MDS")) << parlo->Output();
    }
}

class ServingServer : public parlotest::ActiveParlo {};

TEST_F(ServingServer, CtrlCEndsItTheSameWay) {
    ASSERT_EQ(0, ::kill(parlo_->Pid(), SIGINT));
    ExpectEndedBy(*parlo_, SIGINT);
    parlo_.reset();
}

// Four sessions open when MDS is killed: each hears that the peripheral is offline before the
// server ends with 100003, and the log says why the link broke in words.
TEST_F(ServingServer, ALostMDSReachesEveryOpenSessionBeforeTheEnd) {
    std::vector<std::unique_ptr<Process>> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(Client({"ServiceMask=0x10", "IdleTimeout=30", "ClientID=desk" + std::to_string(i),
                                  "CTIPeripheralID=-1"}));
        ASSERT_TRUE(clients.back()->WaitText("OPEN_CONF")) << clients.back()->Output() << parlo_->Output();
    }
    mds_.reset();
    EXPECT_EQ(100003 & 0xFF, parlo_->WaitExit(30000)) << parlo_->Output();
    for (auto& client : clients) {
        EXPECT_TRUE(client->WaitText("SYSTEM_EVENT")) << client->Output();
        EXPECT_NE(std::string::npos, LineOf(*client, "SYSTEM_EVENT").find("MDS out of service")) << client->Output();
    }
    const std::string& log = parlo_->Output();
    EXPECT_NE(std::string::npos, log.find("MDS is out of service.")) << log;
    EXPECT_NE(std::string::npos, log.find("  Last EMT Error [")) << log;
    EXPECT_EQ(std::string::npos, log.find("Failed to format status code")) << log;
}

}  // namespace
