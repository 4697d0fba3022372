// The UniqueInstanceID a client opens with reaches OPC in the requests made for it, against
// the real parlo, parlo-mds and parlo-opc: OPC matches a request to the client's instance
// with it, after a failover too.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "tests/parlo/process/active_parlo.h"

namespace {

using parlotest::Process;

class UniqueInstanceProcess : public parlotest::ActiveParlo {
protected:
    // The stand-in's complete "fields" line of the first request of `type` it received, or
    // "" when none came within the bound; the other processes' output is read meanwhile, so
    // that none blocks on a full pipe.
    std::string FieldsOf(const std::string& type, std::initializer_list<Process*> others) {
        for (int waited = 0; waited < 20000; waited += 100) {
            const std::string& out = opc_->Output();
            const size_t at = out.find("parlo-opc: recv " + type);
            const size_t fields = at == std::string::npos ? at : out.find("parlo-opc: fields", at);
            const size_t end = fields == std::string::npos ? fields : out.find('\n', fields);
            if (end != std::string::npos) return out.substr(fields, end - fields);
            (void)opc_->WaitText("\x01never", 100);
            for (Process* p : others) (void)p->WaitText("\x01never", 1);
        }
        return "";
    }
};

// An agent-mode session of the logged-out agent 1001: its open asks OPC for the agent's state,
// and the agent's login binds the session and tells OPC of its client. Both requests name the
// session's UniqueInstanceID.
TEST_F(UniqueInstanceProcess, TheAgentsRequestsToOPCNameTheSessionsInstance) {
    auto desk = Client({"ServiceMask=0x5", "ClientID=desk1001", "ClientSignature=sig1001", "CTIPeripheralID=5000",
                        "AgentID=1001", "UniqueInstanceID=desk1001-east"});
    ASSERT_TRUE(desk->WaitText("OPEN_CONF")) << desk->Output() << parlo_->Output();
    const std::string query = FieldsOf("CTI_GET_AGENT_STATE_REQ", {parlo_.get(), desk.get()});
    EXPECT_NE(query.find("AgentID=\"1001\""), std::string::npos) << query << opc_->Output();
    EXPECT_NE(query.find("UniqueInstanceID=\"desk1001-east\""), std::string::npos) << query;

    Opc("agent-event 5000 1001 state=3", "send CTI_AGENT_EVENT");
    ASSERT_TRUE(desk->WaitText("AGENT_STATE_EVENT")) << desk->Output() << parlo_->Output();
    const std::string status = FieldsOf("CTI_SET_CLIENT_STATUS_REQ", {parlo_.get(), desk.get()});
    EXPECT_NE(status.find("Signature=\"sig1001\""), std::string::npos) << status << opc_->Output();
    EXPECT_NE(status.find("UniqueInstanceID=\"desk1001-east\""), std::string::npos) << status;
}

}  // namespace
