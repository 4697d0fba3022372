// The parlo process driven by the stand-in OPC (parlo-opc) through the stand-in MDS: the
// normal start, the acknowledgements as the stand-in decodes them, and maintenance.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>

#include "tests/parlo/process/parlo_env.h"
#include "tests/support/opc_activation.h"

namespace {

using parlotest::Process;

class OpcStandIn : public parlotest::ParloEnv {
protected:
    std::unique_ptr<Process> StartOpc(std::vector<std::string> extra) {
        std::vector<std::string> argv{PARLO_OPC_BIN, "--instance", parlotest::kBase};
        argv.insert(argv.end(), extra.begin(), extra.end());
        auto p = std::make_unique<Process>(argv);
        EXPECT_TRUE(p->WaitText("parlo-opc: in service")) << p->Output();
        return p;
    }
    std::string WriteScript(const std::string& text) {
        const std::string path = (root_->path() / "opc.script").string();
        std::ofstream(path) << text;
        return path;
    }
};

// ./run's start: the stand-in comes first and repeats its set-idle until parlo answers;
// parlo goes ACTIVE and heartbeats; each acknowledgement carries the ServerNumber, side A
// and the answered type.
TEST_F(OpcStandIn, StartMakesTheServerActiveAndItHeartbeats) {
    // The shipped configuration has 0, which sends no heartbeats; 1 is the shortest period
    // (2 s). The set-active asks for OPC's heartbeats every second.
    parlotest::SetDword(parlotest::kDynamicKey, "OPCHeartbeatTime", 1);
    auto opc = StartOpc({"--start", "--hb", "1"});
    auto parlo = Start();
    ASSERT_TRUE(opc->WaitText("(CTI_SET_ACTIVE_REQ) value", 15000)) << opc->Output() << parlo->Output();
    EXPECT_NE(opc->Output().find("recv CTI_OK_ACK from "), std::string::npos);
    EXPECT_NE(opc->Output().find(" server 1 side 1 answers 0 (CTI_SET_IDLE_REQ) value 0"),
              std::string::npos)
        << opc->Output();
    EXPECT_NE(opc->Output().find(" server 1 side 1 answers 1 (CTI_SET_ACTIVE_REQ) value 0"),
              std::string::npos)
        << opc->Output();
    EXPECT_EQ(opc->Count("recv CTI_ERROR_ACK"), 0u) << opc->Output();
    ASSERT_TRUE(parlo->WaitText("The server is Active.")) << parlo->Output();
    // The server's heartbeats, with the ServerNumber of the set-idle and no body.
    ASSERT_TRUE(opc->WaitText("recv CTI_ACTIVE_HEART_BEAT_EVENT", 20000)) << opc->Output();
    const size_t first = opc->Output().find("recv CTI_ACTIVE_HEART_BEAT_EVENT");
    ASSERT_TRUE(opc->WaitCount("recv CTI_ACTIVE_HEART_BEAT_EVENT", 2, 20000)) << opc->Output();
    EXPECT_NE(opc->Output().find("server 1 length 0", first), std::string::npos) << opc->Output();
    // OPC's own heartbeats keep it alive through its checks, one a second from the
    // set-active (the fourth silent one would end it).
    EXPECT_EQ(parlo->WaitExit(100), -1);
}

// A version 8502 set-idle is refused with CTI_ERROR_ACK; maintenance is accepted with
// CTI_OK_ACK echoing the request's value, and IN_PROGRESS for the active side ends parlo
// with the maintenance exit.
TEST_F(OpcStandIn, RefusalAndMaintenance) {
    parlotest::SetDword(parlotest::kDynamicKey, "OPCHeartbeatTime", 2);
    auto parlo = Start();
    ASSERT_TRUE(parlo->WaitText("MDS is in service.")) << parlo->Output();
    auto opc = StartOpc({"--script", WriteScript("set-idle side=1 echo=3 version=8502\n"
                                                 "wait ack timeout=20000\n" +
                                                 testsupport::ActivationScript({.setIdle = "side=1 echo=7 server=4"}) +
                                                 R"(wait active-hb timeout=20000
maintenance value=9 side=1
wait ack timeout=20000
maintenance value=10 side=1
wait ack timeout=20000
maintenance-in-progress accepted=1 side=1
)")});
    ASSERT_TRUE(opc->WaitText("answers 122 (CTI_MAINTENANCE_MODE_REQUEST) value 10", 30000))
        << opc->Output() << parlo->Output();
    const std::string& out = opc->Output();
    EXPECT_NE(out.find("recv CTI_ERROR_ACK from "), std::string::npos) << out;
    EXPECT_NE(out.find("side 1 answers 0 (CTI_SET_IDLE_REQ) value 3"), std::string::npos) << out;
    EXPECT_NE(out.find("server 4 side 1 answers 0 (CTI_SET_IDLE_REQ) value 7"), std::string::npos) << out;
    EXPECT_NE(out.find("recv CTI_OK_ACK from "), std::string::npos) << out;
    // With no clients nothing waits, so a second request is accepted as well.
    for (const char* value : {"value 9", "value 10"})
        EXPECT_NE(out.find(std::string("recv CTI_OK_ACK from 10 server 4 side 1 answers 122 "
                                       "(CTI_MAINTENANCE_MODE_REQUEST) ") + value),
                  std::string::npos)
            << out;
    EXPECT_EQ(parlo->WaitExit(30000), 100008 & 0xFF) << parlo->Output() << opc->Output();
}

// A STANDBY side named by an accepted IN_PROGRESS ends at once with the maintenance exit.
TEST_F(OpcStandIn, MaintenanceOfAStandbySideEndsItAtOnce) {
    auto parlo = Start();
    ASSERT_TRUE(parlo->WaitText("MDS is in service.")) << parlo->Output();
    auto opc = StartOpc({"--script", WriteScript(testsupport::ActivationScript({.setActive = "side=0 hb=5"}) +
                                                 "maintenance-in-progress accepted=1 side=1\n")});
    ASSERT_TRUE(parlo->WaitText("The server is Standby.")) << parlo->Output() << opc->Output();
    EXPECT_EQ(parlo->WaitExit(30000), 100008 & 0xFF) << parlo->Output() << opc->Output();
    EXPECT_EQ(parlo->Count("The server is Active."), 0u) << parlo->Output();
}

}  // namespace
