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

// An operator's stop by signal is the node manager's clean stop: its event and exit code,
// and no word of a lost MDS.
void ExpectStoppedCleanly(Process& parlo, int sig) {
    EXPECT_EQ(200004 & 0xFF, parlo.WaitExit(20000)) << parlo.Output();
    EXPECT_EQ(0, parlo.Signal()) << parlo.Output();
    const std::string& log = parlo.Output();
    EXPECT_NE(std::string::npos, log.find("The node manager asked the server to shut down.")) << log;
    EXPECT_NE(std::string::npos, log.find(sig == SIGINT ? "Parlo: stopped on SIGINT." : "Parlo: stopped on SIGTERM.")) << log;
    EXPECT_NE(std::string::npos, log.find("Process exiting with exit code 200004.")) << log;
    EXPECT_EQ(std::string::npos, log.find("out of service")) << log;
}

class StartingServer : public parlotest::ParloEnv {};

// No MDS to register with: the server waits for it at start-up, and a signal still stops it.
TEST_F(StartingServer, CtrlCOrSigtermEndsItWhileItWaitsForMDS) {
    mds_.reset();
    for (int sig : {SIGINT, SIGTERM}) {
        auto parlo = Start();
        // Its last line before it connects to MDS: the buffer pool it registers with.
        ASSERT_TRUE(parlo->WaitText("MBufLimitMgr")) << parlo->Output();
        ASSERT_EQ(0, ::kill(parlo->Pid(), sig));
        ExpectStoppedCleanly(*parlo, sig);
        EXPECT_EQ(std::string::npos, parlo->Output().find("is registered with MDS")) << parlo->Output();
    }
}

class ServingServer : public parlotest::ActiveParlo {};

TEST_F(ServingServer, CtrlCStopsItTheSameWayAndLetsMDSKnow) {
    ASSERT_EQ(0, ::kill(parlo_->Pid(), SIGINT));
    ExpectStoppedCleanly(*parlo_, SIGINT);
    // The client stopped itself with MDS rather than vanishing from it.
    EXPECT_NE(std::string::npos, parlo_->Output().find("MDS acknowledged the stop of this client")) << parlo_->Output();
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
