// parlo-client against the real parlo, made ACTIVE by the stand-in OPC: open, heartbeat and
// close over the plain and the TLS port, and a close on SIGINT.
#include <gtest/gtest.h>

#include <signal.h>

#include <fstream>
#include <memory>
#include <string>

#include "tests/parlo/process/parlo_env.h"

namespace {

using parlotest::Process;

class ClientSession : public parlotest::ParloEnv {
protected:
    void SetUp() override {
        ParloEnv::SetUp();
        plain_ = std::to_string(testsupport::FreePort());
        secure_ = std::to_string(testsupport::FreePort());
        ASSERT_EQ(parlotest::Reg("set " + parlotest::Quote(parlotest::kConfigKey) + " ListenPort sz " + plain_).status, 0);
        ASSERT_EQ(parlotest::Reg("set " + parlotest::Quote(parlotest::kConfigKey) + " SecuredListenPort sz " + secure_).status,
                  0);
        parlotest::SetDword(parlotest::kDynamicKey, "OPCHeartbeatTime", 2);
        const auto tls = MakeServerCertificate();
        ASSERT_TRUE(tls.made);
        cert_ = tls.cert;
        StartActiveServer(&opc_, &parlo_);
    }
    std::string Script(const std::string& text) {
        const std::string path = (root_->path() / "client.script").string();
        std::ofstream(path) << text;
        return path;
    }
    // The client's lines, in order, with the type name that starts each.
    static std::vector<std::string> Types(const std::string& out) {
        std::vector<std::string> types;
        size_t at = 0;
        while (at < out.size()) {
            size_t end = out.find('\n', at);
            if (end == std::string::npos) end = out.size();
            const std::string line = out.substr(at, end - at);
            types.push_back(line.substr(0, line.find(' ')));
            at = end + 1;
        }
        return types;
    }

    std::string plain_, secure_, cert_;
    std::unique_ptr<Process> opc_, parlo_;
};

TEST_F(ClientSession, OpensHeartbeatsAndClosesOnBothPorts) {
    const std::string script = Script("HEARTBEAT_REQ\n");
    const struct {
        const char* name;
        std::vector<std::string> extra;
    } cases[] = {{"plain", {}}, {"tls", {"--tls", "--cafile", cert_}}};
    for (const auto& c : cases) {
        std::vector<std::string> argv{PARLO_CLIENT_BIN, "127.0.0.1", c.extra.empty() ? plain_ : secure_};
        argv.insert(argv.end(), c.extra.begin(), c.extra.end());
        argv.insert(argv.end(), {"--script", script, "ClientID=desk1", "IdleTimeout=30"});
        Process client(argv);
        ASSERT_EQ(0, client.WaitExit(30000)) << c.name << "\n" << client.Output() << parlo_->Output();
        const std::vector<std::string> expected{"OPEN_CONF", "HEARTBEAT_CONF", "CLOSE_CONF"};
        EXPECT_EQ(expected, Types(client.Output())) << c.name << "\n" << client.Output();
        EXPECT_NE(client.Output().find("OPEN_CONF MsgType:OPEN_CONF"), std::string::npos) << client.Output();
    }
}

// The value parlo-counters shows for one of parlo's counters ("OPEN_SESSIONS").
std::string Counter(const std::string& name) {
    const std::string out = parlotest::RunCommand(std::string(PARLO_COUNTERS_BIN) + " parlo").out;
    const std::string key = " PARLO_" + name + " ";
    const size_t at = out.find(key);
    if (at == std::string::npos) return "?";
    return out.substr(at + key.size(), out.find('\n', at) - at - key.size());
}

// The counter's value once it reads `want`, or the last one read after about 20 s: the
// server moves its counters just after it answers.
std::string AwaitCounter(parlotest::Process& parlo, const std::string& name, const std::string& want) {
    std::string seen = Counter(name);
    for (int i = 0; i < 100 && seen != want; ++i) {
        (void)parlo.WaitText("\x01never", 200);  // keeps reading the server's output meanwhile
        seen = Counter(name);
    }
    return seen;
}

// The session counters follow an open and a close.
TEST_F(ClientSession, InterruptClosesTheSession) {
    Process client({PARLO_CLIENT_BIN, "127.0.0.1", plain_, "ClientID=desk2"});
    ASSERT_TRUE(client.WaitText("OPEN_CONF")) << client.Output() << parlo_->Output();
    EXPECT_EQ("1", AwaitCounter(*parlo_, "OPEN_SESSIONS", "1"));
    EXPECT_EQ("1", AwaitCounter(*parlo_, "TOTAL_SESSIONS", "1"));
    ASSERT_EQ(0, ::kill(client.Pid(), SIGINT));
    ASSERT_EQ(0, client.WaitExit(30000)) << client.Output();
    EXPECT_NE(client.Output().find("\nCLOSE_CONF "), std::string::npos) << client.Output();
    EXPECT_EQ("0", AwaitCounter(*parlo_, "OPEN_SESSIONS", "0"));
    EXPECT_EQ("0", AwaitCounter(*parlo_, "TOTAL_SESSIONS", "0"));
    EXPECT_EQ("-1", AwaitCounter(*parlo_, "CLOSED_SESSIONS", "-1"));
    EXPECT_EQ("0", Counter("FAILED_SESSIONS"));
}

}  // namespace
