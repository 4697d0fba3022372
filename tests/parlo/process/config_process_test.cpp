// The configuration load of the stand-in OPC reaches the object model's tables in the
// real parlo process: the peripheral table, the agents (typed through the server's own
// peripheral table) and, once ACTIVE, the deferral of agent updates behind the server's
// timer, and a key's flush with no session to send to.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>

#include "tests/parlo/model/opc_record_builder.h"
#include "tests/parlo/process/parlo_env.h"
#include "tests/support/opc_activation.h"

namespace {

using parlotest::Process;

std::string Hex(const modeltest::OPCRecord& r) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : r.bytes) out += {kDigits[b >> 4], kDigits[b & 15]};
    return out;
}

class ConfigLoad : public parlotest::ParloEnv {};

TEST_F(ConfigLoad, TheStandInsLoadReachesTheTables) {
    // Trace bit 0x01 shows the server's own peripheral table growing.
    parlotest::SetDword(parlotest::kCompany + parlotest::kBase + "\\EMS\\CurrentVersion\\Library\\Processes\\parlo",
                        "EMSTraceMask", 1);
    auto parlo = Start();
    ASSERT_TRUE(parlo->WaitText("MDS is in service.")) << parlo->Output();

    modeltest::AgentRecordSpec ann;  // on the configured peripheral
    ann.stid = 7001;
    ann.supervisor = 1;
    modeltest::AgentRecordSpec bob;  // on one the peripheral table never named
    bob.stid = 7002;
    bob.login = "1002";
    bob.periph = 5002;
    const std::string load = Hex(modeltest::AgentRecord(ann)) + Hex(modeltest::AgentRecord(bob));
    ann.login = "2001";
    bob.login = "2002";
    const std::string update = Hex(modeltest::AgentRecord(ann)) + Hex(modeltest::AgentRecord(bob));
    // Added while ACTIVE with no key after it: only the 3-second timer's marker applies it.
    modeltest::AgentRecordSpec carl;
    carl.stid = 7003;
    carl.login = "1003";
    carl.periph = 5003;
    // A team of both, renamed under a new key once ACTIVE: its announcement and the key's
    // flush go to the session layer, which has no session yet.
    const std::string team = Hex(modeltest::TeamRecord(5000, 40, "Blue", 7001));
    const std::string members =
        Hex(modeltest::TeamMemberRecord(40, 7001, "1001")) + Hex(modeltest::TeamMemberRecord(40, 7002, "1002"));
    const std::string script = (root_->path() / "opc.script").string();
    const std::string tables = "config 5 num=2 raw=" + load + "\n"
                               "config 1 num=1 raw=" + team + "\n"
                               "config 2 num=2 raw=" + members + "\n";
    std::ofstream(script) << testsupport::ActivationScript({.setIdle = "side=1 echo=7",
                                                            .tables = tables,
                                                            .setActive = "side=1 hb=30",
                                                            .heartbeatMs = 0})
                          << "config 5 op=3 update=1 num=2 raw=" << update << "\n"
                             "config 1 op=3 update=1 num=1 raw=" << Hex(modeltest::TeamRecord(5000, 40, "Green", 7001)) << "\n"
                             "config 10 update=1 raw=" << Hex(modeltest::KeyRecord(2.0)) << "\n"
                             "config 5 op=1 update=1 num=1 raw=" << Hex(modeltest::AgentRecord(carl)) << "\n";
    Process opc({PARLO_OPC_BIN, "--instance", parlotest::kBase, "--script", script});
    ASSERT_TRUE(opc.WaitText("parlo-opc: in service")) << opc.Output();

    ASSERT_TRUE(parlo->WaitText("1 Added records of the ConfigKeys table.", 20000)) << parlo->Output();
    const std::string out = parlo->Output();
    EXPECT_NE(out.find("Adding peripheral with peripheral id 5000"), std::string::npos) << out;
    // Agent 7002's creation asked the server for its peripheral's type.
    EXPECT_NE(out.find("Server::FindPeripheral - Peripheral 5002 not found - Added"), std::string::npos) << out;
    // Two updates while ACTIVE, one start of the three-second timer.
    EXPECT_EQ(parlo->Count("Server::ActivateAgentConfigureUpdateTimer"), 1u) << out;
    EXPECT_NE(out.find("2 Added records of the AgentTeamMembers table."), std::string::npos) << out;
    EXPECT_NE(out.find("1 Updated records of the AgentTeams table."), std::string::npos) << out;
    EXPECT_EQ(out.find("runs past the end"), std::string::npos) << out;
    EXPECT_TRUE(parlo->WaitText("Server::FindPeripheral - Peripheral 5003 not found - Added", 20000))
        << "the held-back agent is applied when its timer runs out\n" << parlo->Output();
    EXPECT_EQ(parlo->WaitExit(300), -1);
}

}  // namespace
