// An agent-mode session of a logged-out agent, against the real parlo with the stand-in MDS
// and OPC: the open waits, and the stand-in's login event completes it.
#include <gtest/gtest.h>

#include <fstream>
#include <initializer_list>
#include <memory>
#include <sstream>
#include <string>

#include "tests/parlo/process/parlo_env.h"
#include "tests/support/opc_activation.h"

namespace {

using parlotest::Process;

class AgentEventsProcess : public parlotest::ParloEnv {
protected:
    void SetUp() override {
        ParloEnv::SetUp();
        port_ = std::to_string(testsupport::FreePort());
        ASSERT_EQ(parlotest::Reg("set " + parlotest::Quote(parlotest::kConfigKey) + " ListenPort sz " + port_).status,
                  0);
        // Both ports of our own: another test's server may hold the shipped TLS port.
        ASSERT_EQ(parlotest::Reg("set " + parlotest::Quote(parlotest::kConfigKey) + " SecuredListenPort sz " +
                                 std::to_string(testsupport::FreePort())).status,
                  0);
        parlotest::SetDword(parlotest::kConfigKey, "SecurityMode", 0);
    }
    std::unique_ptr<Process> StartOpc(const std::string& script) {
        const std::string path = (root_->path() / "opc.script").string();
        std::ofstream(path) << script;
        return std::make_unique<Process>(
            std::vector<std::string>{PARLO_OPC_BIN, "--instance", parlotest::kBase, "--script", path});
    }
    std::unique_ptr<Process> StartClient(std::vector<std::string> fields) {
        std::vector<std::string> argv{PARLO_CLIENT_BIN, "127.0.0.1", port_};
        argv.insert(argv.end(), fields.begin(), fields.end());
        return std::make_unique<Process>(argv);
    }
    // Waits for `text` in p's output while reading the others' output too, so that no process
    // blocks on a full pipe meanwhile.
    static bool WaitDraining(Process& p, const std::string& text, std::initializer_list<Process*> others,
                             int ms = 20000) {
        for (int waited = 0; waited < ms; waited += 100) {
            if (p.WaitText(text, 100)) return true;
            for (Process* o : others) (void)o->WaitText("\x01never", 1);
        }
        return false;
    }
    // The stand-in's "fields" line of the request that follows `recv` of that type.
    static std::string RequestFields(const std::string& out, const std::string& type) {
        const size_t at = out.find("recv " + type);
        if (at == std::string::npos) return {};
        const size_t fields = out.find("parlo-opc: fields", at);
        if (fields == std::string::npos) return {};
        return out.substr(fields, out.find('\n', fields) - fields);
    }

    std::string port_;
};

TEST_F(AgentEventsProcess, ALoginEventCompletesTheWaitingAgentModeSession) {
    auto parlo = Start();
    ASSERT_TRUE(parlo->WaitText("MDS is in service.")) << parlo->Output();
    // The stand-in makes the server active, waits for the agent-mode open's question about
    // agent 1001 (answered from its table: logged out), then reports the agent's login.
    auto opc = StartOpc(testsupport::ActivationScript() + R"(wait 12 timeout=60000
agent-event 5000 1001 state=3
wait 16 timeout=30000
)");
    ASSERT_TRUE(WaitDraining(*parlo, "The server is Active.", {opc.get()})) << parlo->Output() << opc->Output();

    auto watcher = StartClient({"ClientID=watcher", "ServiceMask=0x10"});
    ASSERT_TRUE(WaitDraining(*watcher, "OPEN_CONF", {parlo.get(), opc.get()}))
        << watcher->Output() << parlo->Output();
    auto desk = StartClient({"ClientID=desk1001", "ClientSignature=sig1001", "ServiceMask=0x5",
                             "CTIPeripheralID=5000", "AgentID=1001"});
    ASSERT_TRUE(WaitDraining(*desk, "OPEN_CONF", {parlo.get(), opc.get(), watcher.get()}))
        << desk->Output() << parlo->Output() << opc->Output();

    ASSERT_TRUE(WaitDraining(*opc, "parlo-opc: wait 16 done", {parlo.get(), watcher.get(), desk.get()}))
        << opc->Output() << parlo->Output();
    const std::string fields = RequestFields(opc->Output(), "CTI_SET_CLIENT_STATUS_REQ");
    EXPECT_NE(fields.find("Status=1"), std::string::npos) << fields;
    EXPECT_NE(fields.find("Signature=\"sig1001\""), std::string::npos) << fields;
    EXPECT_NE(fields.find("AgentID=\"1001\""), std::string::npos) << fields;

    EXPECT_TRUE(WaitDraining(*desk, "AGENT_STATE_EVENT", {parlo.get(), opc.get(), watcher.get()}))
        << desk->Output() << parlo->Output();
    EXPECT_TRUE(WaitDraining(*watcher, "AGENT_STATE_EVENT", {parlo.get(), opc.get(), desk.get()}))
        << watcher->Output() << parlo->Output();
    EXPECT_EQ(desk->Count("FAILURE_EVENT"), 0u) << desk->Output();
}

}  // namespace
