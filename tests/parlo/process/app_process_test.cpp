// The application in a real parlo, driven by the stand-in OPC through the stand-in MDS.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>

#include "tests/parlo/process/parlo_env.h"
#include "tests/support/opc_activation.h"

namespace {

using parlotest::Process;

class AppProcess : public parlotest::ParloEnv {
protected:
    std::unique_ptr<Process> StartOpc(const std::string& script) {
        const std::string path = (root_->path() / "opc.script").string();
        std::ofstream(path) << script;
        auto p = std::make_unique<Process>(
            std::vector<std::string>{PARLO_OPC_BIN, "--instance", parlotest::kBase, "--script", path});
        EXPECT_TRUE(p->WaitText("parlo-opc: in service")) << p->Output();
        return p;
    }
};

// An OPC type the application has no row for means the two sides disagree about the
// protocol: parlo ends at once with the fatal event rather than guess.
TEST_F(AppProcess, AnUnknownOPCTypeEndsParloWithTheFatalEvent) {
    auto parlo = Start();
    ASSERT_TRUE(parlo->WaitText("MDS is in service.")) << parlo->Output();
    auto opc = StartOpc(testsupport::ActivationScript({.heartbeatMs = 0}) + "raw 12 00000000\n");
    ASSERT_TRUE(parlo->WaitText("The server is Active.", 30000)) << parlo->Output() << opc->Output();
    EXPECT_EQ(parlo->WaitExit(30000), 100002 & 0xFF) << parlo->Output() << opc->Output();
    EXPECT_NE(parlo->Output().find("Invalid OPC-CTI message type 12 (CTI_GET_AGENT_STATE_REQ) received."),
              std::string::npos)
        << parlo->Output();
}

}  // namespace
