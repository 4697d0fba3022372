// A stand-in OPC that dies under a running server: nothing the server sends to OPC comes back
// to it through the stand-in MDS, so the server ends on OPC's missing heartbeats.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <memory>
#include <string>

#include "tests/parlo/process/parlo_env.h"

namespace {

using parlotest::Process;

class LostOpc : public parlotest::ParloEnv {};

TEST_F(LostOpc, KilledOpcEndsTheServerOnTheHeartbeatTimeout) {
    // The server heartbeats OPC every 2 s, and checks OPC's heartbeats (one a second) every
    // 2 s: it gives up after four checks that saw none.
    parlotest::SetDword(parlotest::kDynamicKey, "OPCHeartbeatTime", 1);
    // Client ports of its own: the shipped ones belong to ./run.
    parlotest::SetString(parlotest::kConfigKey, "ListenPort", std::to_string(testsupport::FreePort()));
    parlotest::SetString(parlotest::kConfigKey, "SecuredListenPort", std::to_string(testsupport::FreePort()));
    auto opc = std::make_unique<Process>(std::vector<std::string>{
        PARLO_OPC_BIN, "--instance", parlotest::kBase, "--start", "--hb", "2"});
    ASSERT_TRUE(opc->WaitText("parlo-opc: in service")) << opc->Output();
    auto parlo = Start();
    ASSERT_TRUE(parlo->WaitText("The server is Active.", 30000)) << parlo->Output() << opc->Output();
    // The server heartbeats OPC: its next heartbeat, after the kill, has no addressee.
    ASSERT_TRUE(opc->WaitText("recv CTI_ACTIVE_HEART_BEAT_EVENT", 20000)) << opc->Output();

    const auto killed = std::chrono::steady_clock::now();
    ASSERT_EQ(::kill(opc->Pid(), SIGKILL), 0);
    EXPECT_EQ(parlo->WaitExit(30000), 100002 & 0xFF) << parlo->Output();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - killed).count();

    const std::string& out = parlo->Output();
    EXPECT_NE(out.find("An OPC HeartBeat Timeout has occurred."), std::string::npos) << out;
    EXPECT_NE(out.find("Process exiting with exit code 100002."), std::string::npos) << out;
    EXPECT_EQ(out.find("Invalid OPC-CTI message type"), std::string::npos) << out;
    // Four checks 2 s apart without a heartbeat, the last one at most a second before the kill.
    EXPECT_GE(ms, 3 * 2000) << out;
    // The server's heartbeat to the dead OPC was dropped by MDS, not sent back.
    EXPECT_TRUE(mds_->WaitText("parlo-mds: no client 11 (opc) in service for a message from 10, class 17 type 4: dropped"))
        << mds_->Output();
}

}  // namespace
