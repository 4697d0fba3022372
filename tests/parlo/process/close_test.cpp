// Closing sessions against the real parlo, parlo-mds and parlo-opc over real sockets: a
// client monitor hears of an orderly close with its status, OPC hears that the agent-mode
// session let its agent go, and a client that vanishes without CLOSE_REQ leaves nothing.
#include <gtest/gtest.h>

#include <signal.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/parlo/process/active_parlo.h"
#include "tests/support/pattern.h"

namespace {

using parlotest::Process;

class CloseProcess : public parlotest::ActiveParlo {
protected:
    // The stand-in's decoded set-client-status requests for the agent, as "Status=N" words.
    std::vector<std::string> StatusRequests(const std::string& agentID) const {
        std::vector<std::string> out;
        std::istringstream lines(opc_->Output());
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("parlo-opc: fields ", 0) != 0) continue;
            if (line.find("AgentID=\"" + agentID + "\"") == std::string::npos ||
                line.find("NumMRDomainIDs=") == std::string::npos)
                continue;
            std::istringstream words(line);
            for (std::string w; words >> w;)
                if (w.rfind("Status=", 0) == 0) out.push_back(w);
        }
        return out;
    }
    // Waits until the stand-in has decoded `count` such requests.
    bool AwaitStatusRequests(const std::string& agentID, size_t count) {
        for (int i = 0; i < 400; ++i) {
            if (StatusRequests(agentID).size() >= count) return true;
            (void)opc_->WaitText("\x01never", 50);
        }
        return false;
    }

    // The application's account of a closed session: clients counted, agents naming it.
    struct Account {
        bool found = false;
        int clients = -1, bound = -1;
    };
    Account ClosedAccount(const std::string& clientID) {
        Account a;
        const std::string key = "(" + clientID + ") closed; ";
        if (!parlo_->WaitText(key)) return a;
        const std::string& out = parlo_->Output();
        const size_t at = out.find(key);
        const std::string line = out.substr(at, out.find('\n', at) - at);
        const std::vector<std::string> m =
            testsupport::Match(line, "closed; clients (-?[0-9]+), bound agents ([0-9]+)");
        if (m.empty()) return a;
        a.found = true;
        a.clients = std::stoi(m[1]);
        a.bound = std::stoi(m[2]);
        return a;
    }

};

const std::vector<std::string> kAgent1002 = {"ServiceMask=0x01", "CTIPeripheralID=5000", "AgentID=1002"};

TEST_F(CloseProcess, ACloseIsHeardByClientMonitorsAndABrokenSessionLeavesNothing) {
    auto monitor = Client({"ServiceMask=0x40", "ClientID=watcher"});
    ASSERT_TRUE(monitor->WaitText("OPEN_CONF")) << monitor->Output() << parlo_->Output();

    // An orderly close of a bound agent-mode session, with a status of its own.
    std::vector<std::string> fields = kAgent1002;
    fields.push_back("ClientID=desk1");
    auto desk = Client(fields, "CLOSE_REQ Status=12\n");
    ASSERT_TRUE(monitor->WaitText("CLIENT_SESSION_CLOSED_EVENT")) << monitor->Output() << parlo_->Output();
    const std::string closed = LineOf(*monitor, "CLIENT_SESSION_CLOSED_EVENT");
    EXPECT_NE(std::string::npos, closed.find("Status:E_CTI_FUNCTION_NOT_AVAILABLE")) << closed;
    EXPECT_NE(std::string::npos, closed.find("ClientID:\"desk1\"")) << closed;
    EXPECT_NE(std::string::npos, closed.find("AgentID:\"1002\"")) << closed;
    ASSERT_TRUE(AwaitStatusRequests("1002", 1)) << opc_->Output();
    EXPECT_EQ("Status=0", StatusRequests("1002").back()) << opc_->Output();
    Account a = ClosedAccount("desk1");
    ASSERT_TRUE(a.found) << parlo_->Output();
    EXPECT_EQ(1, a.clients);  // the watcher
    EXPECT_EQ(0, a.bound);

    // A client that vanishes without CLOSE_REQ.
    fields.back() = "ClientID=desk2";
    auto gone = Client(fields);
    ASSERT_TRUE(gone->WaitText("OPEN_CONF")) << gone->Output() << parlo_->Output();
    const size_t before = StatusRequests("1002").size();
    ::kill(gone->Pid(), SIGKILL);
    a = ClosedAccount("desk2");
    ASSERT_TRUE(a.found) << parlo_->Output();
    EXPECT_EQ(1, a.clients);
    EXPECT_EQ(0, a.bound);
    ASSERT_TRUE(AwaitStatusRequests("1002", before + 1)) << opc_->Output();
    EXPECT_EQ("Status=0", StatusRequests("1002").back()) << opc_->Output();

    // The agent is free: another client with another identity binds to it.
    fields.back() = "ClientID=desk3";
    fields.push_back("ClientSignature=other");
    auto next = Client(fields);
    ASSERT_TRUE(next->WaitText("OPEN_CONF")) << next->Output() << parlo_->Output();
}

// An agent-reporting session's end takes its application path down at OPC.
TEST_F(CloseProcess, AnAgentReportingSessionsCloseTakesItsPathDown) {
    auto arm = Client({"ServiceMask=0x400", "ApplicationPathID=55", "ClientID=arm"}, "CLOSE_REQ Status=0\n");
    ASSERT_TRUE(arm->WaitText("OPEN_CONF")) << arm->Output() << opc_->Output() << parlo_->Output();
    ASSERT_TRUE(opc_->WaitText("recv ARM_APP_PATH_DOWN_IND")) << opc_->Output() << parlo_->Output();
    const std::string& out = opc_->Output();
    const size_t at = out.find("recv ARM_APP_PATH_DOWN_IND");
    const std::string line = out.substr(at, out.find('\n', at) - at);
    EXPECT_NE(std::string::npos, line.find(" session 1 ")) << line;  // the only session
    ASSERT_TRUE(ClosedAccount("arm").found) << parlo_->Output();
}

}  // namespace
