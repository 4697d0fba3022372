// A duplex pair on one machine: two parlo processes, each its own node (registry, run
// directory, namespace and stand-in MDS of its own), and the stand-in OPC as their one
// peripheral controller: parlo-opc --duplex on node A, parlo-opc --join on node B.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/parlo/process/parlo_env.h"

namespace {

using parlotest::Process;
using parlotest::Quote;

// Each side heartbeats OPC every 2 s (OPCHeartbeatTime 1): the controller gives up on a
// silent active side after three such periods.
constexpr int kHeartbeatTime = 1;
const std::string kWatchMs = "2000";

class DuplexPair : public parlotest::ParloEnv {
protected:
    void SetUp() override {
        ParloEnv::SetUp();  // node A: the test's own registry, run directory and MDS
        parlotest::SetDword(parlotest::kDynamicKey, "OPCHeartbeatTime", kHeartbeatTime);
        nodeB_ = std::make_unique<testsupport::TempDir>("nodeb");
        const char* ns = std::getenv("PARLO_NAMESPACE");
        namespaceB_ = std::string(ns && *ns ? ns : "parlo") + "b";
        envB_ = {"PARLO_REGISTRY_ROOT=" + (nodeB_->path() / "registry").string(),
                 "PARLO_RUN_DIR=" + (nodeB_->path() / "run").string(),
                 "PARLO_NAMESPACE=" + namespaceB_};
        // Node B's registry: the shipped configuration and the test's values, one import.
        char heartbeat[16];
        std::snprintf(heartbeat, sizeof heartbeat, "%08x", kHeartbeatTime);
        for (int attempt = 0; attempt < 5 && !mdsB_; ++attempt) {
            const std::string port = std::to_string(testsupport::FreePort());
            ImportB(std::string(attempt == 0 ? PARLO_CONFIG_DIR "/*.reg" : ""),
                    "[" + parlotest::kDynamicKey + "]\n\"OPCHeartbeatTime\"=dword:" + heartbeat +
                        "\n[" + parlotest::kCompany + parlotest::kBase +
                        "\\MDS\\CurrentVersion\\Process]\n\"MDSPort\"=\"" + port + "\"\n");
            if (HasFatalFailure()) return;
            auto mds = OnB({PARLO_MDS_BIN, "--port", port, "--instance", parlotest::kBase});
            if (mds->WaitText("parlo-mds: listening", 10000)) mdsB_ = std::move(mds);
        }
        ASSERT_TRUE(mdsB_);
    }
    void TearDown() override {
        // All at once: each takes a while to die, and a reset waits for its process.
        for (const auto* p : {&opcB_, &opcA_, &parloB_, &parloA_, &mdsB_, &mds_})
            if (*p && (*p)->Pid() > 0) ::kill((*p)->Pid(), SIGKILL);
        opcB_.reset();
        opcA_.reset();
        parloB_.reset();
        parloA_.reset();
        mdsB_.reset();
        mds_.reset();
        // Node B's named objects: nothing else removes its namespace.
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator("/dev/shm", ec))
            if (e.path().filename().string().rfind(namespaceB_ + ".", 0) == 0)
                std::filesystem::remove(e.path(), ec);
        ParloEnv::TearDown();
    }

    // Imports `files` (may be empty) and then a file holding `text` into node B's registry.
    void ImportB(const std::string& files, const std::string& text) {
        const auto path = nodeB_->path() / "test.reg";
        std::ofstream(path) << text;
        ASSERT_EQ(RegB("import " + files + " " + path.string()).status, 0) << text;
    }
    parlotest::Ran RegB(const std::string& args) {
        std::string command = "env ";
        for (const auto& e : envB_) command += Quote(e) + " ";
        return parlotest::RunCommand(command + PARLO_REG_BIN + " " + args);
    }
    // A process of node B: its environment names node B's registry, run directory and
    // namespace.
    std::unique_ptr<Process> OnB(std::vector<std::string> argv) {
        std::vector<std::string> full{"/usr/bin/env"};
        full.insert(full.end(), envB_.begin(), envB_.end());
        full.insert(full.end(), argv.begin(), argv.end());
        return std::make_unique<Process>(full);
    }
    std::vector<std::string> ParloArgs(const std::string& side, const std::string& root) const {
        return {PARLO_BIN, "parlo", "CLEAN", "DUPLEX", side, root, "0", parlotest::kBase};
    }

    // Both servers, and the stand-in OPC across the two nodes; side A's parlo takes the
    // test signal that fails its application thread.
    void StartPair(const std::string& clientType = "30") {
        parloA_ = std::make_unique<Process>(std::vector<std::string>{
            "/usr/bin/env", "PARLO_TEST_HOOKS=1", PARLO_BIN, "parlo", "CLEAN", "DUPLEX", "A",
            RootArg(), "0", parlotest::kBase});
        parloB_ = OnB(ParloArgs("B", std::filesystem::relative(nodeB_->path(),
                                                               std::filesystem::current_path())
                                         .string()));
        const std::string port = std::to_string(testsupport::FreePort());
        opcA_ = std::make_unique<Process>(std::vector<std::string>{
            PARLO_OPC_BIN, "--instance", parlotest::kBase, "--duplex", port, "--hb", "5",
            "--watch", kWatchMs, "--client-type", clientType});
        ASSERT_TRUE(opcA_->WaitText("parlo-opc: duplex: listening on port")) << opcA_->Output();
        opcB_ = OnB({PARLO_OPC_BIN, "--instance", parlotest::kBase, "--join", port});
    }
    // Everything the pair printed, for failure messages.
    std::string All() const {
        std::string s;
        for (const auto* p : {&opcA_, &parloA_, &opcB_, &parloB_})
            if (*p) s += "---\n" + (*p)->Output();
        return s;
    }
    // A ACTIVE and B STANDBY, both acknowledged to the controller.
    void ExpectActiveAndStandby() {
        ASSERT_TRUE(opcA_->WaitText("parlo-opc: duplex: side A is active", 30000)) << All();
        ASSERT_TRUE(opcA_->WaitText("parlo-opc: duplex: side B is standby", 30000)) << All();
        ASSERT_TRUE(parloA_->WaitText("The server is Active.")) << All();
        ASSERT_TRUE(parloB_->WaitText("The server is Standby.")) << All();
        // Each side's acknowledgement names its own side (A 1, B 0) and the set-active.
        EXPECT_NE(opcA_->Output().find("from 10 server 1 side 1 answers 1 (CTI_SET_ACTIVE_REQ)"),
                  std::string::npos);
        EXPECT_NE(opcA_->Output().find("from 254 server 1 side 0 answers 1 (CTI_SET_ACTIVE_REQ)"),
                  std::string::npos);
    }

    std::unique_ptr<testsupport::TempDir> nodeB_;
    std::string namespaceB_;
    std::vector<std::string> envB_;
    std::unique_ptr<Process> mdsB_, parloA_, parloB_, opcA_, opcB_;
};

// kill -9 of the active side: the controller misses its heartbeats, idles it and activates
// the standby side.
TEST_F(DuplexPair, KillingTheActiveSideMakesTheStandbyActive) {
    StartPair();
    ExpectActiveAndStandby();
    ASSERT_TRUE(opcA_->WaitText("recv CTI_ACTIVE_HEART_BEAT_EVENT from 10")) << All();
    ASSERT_EQ(::kill(parloA_->Pid(), SIGKILL), 0);
    ASSERT_TRUE(opcA_->WaitText("parlo-opc: duplex: side A sent no heartbeat for", 30000)) << All();
    ASSERT_TRUE(opcA_->WaitText("parlo-opc: duplex: side B is active", 30000)) << All();
    ASSERT_TRUE(parloB_->WaitText("The server is Active.")) << All();
    EXPECT_EQ(opcA_->Count("reported a failure"), 0u) << All();
    EXPECT_EQ(parloB_->WaitExit(100), -1) << All();
}

// The active side's failure report (its application thread ended without a shutdown) does
// the same without a kill; the failed side, idled, comes back as the standby.
TEST_F(DuplexPair, AFailureReportMakesTheStandbyActive) {
    StartPair();
    ExpectActiveAndStandby();
    ASSERT_EQ(::kill(parloA_->Pid(), SIGUSR2), 0);
    ASSERT_TRUE(parloA_->WaitText("Sending CTI_ERROR_ACK for CTI_SET_ACTIVE_REQ with the value 0."))
        << All();
    ASSERT_TRUE(opcA_->WaitText("parlo-opc: duplex: side A reported a failure")) << All();
    ASSERT_TRUE(opcA_->WaitText("parlo-opc: duplex: side B is active")) << All();
    ASSERT_TRUE(parloB_->WaitText("The server is Active.")) << All();
    ASSERT_TRUE(parloA_->WaitText("The server is Standby.")) << All();
    EXPECT_EQ(parloA_->Count("The server is going idle."), 2u) << All();
    EXPECT_EQ(opcA_->Count("sent no heartbeat"), 0u) << All();
    EXPECT_EQ(parloA_->WaitExit(100), -1) << All();
}

// Without a PeripheralType 17 peripheral the other side has nothing to stand by for: B stays
// IDLE while A serves, and goes ACTIVE once A is dead.
TEST_F(DuplexPair, WithoutAStandbyPeripheralTheOtherSideStaysIdleUntilActivated) {
    StartPair("0");
    ASSERT_TRUE(opcA_->WaitText("parlo-opc: duplex: side A is active", 30000)) << All();
    ASSERT_TRUE(parloA_->WaitText("The server is Active.")) << All();
    ASSERT_TRUE(opcA_->WaitText("recv CTI_ACTIVE_HEART_BEAT_EVENT from 10")) << All();
    ASSERT_EQ(::kill(parloA_->Pid(), SIGKILL), 0);
    ASSERT_TRUE(opcA_->WaitText("parlo-opc: duplex: side B is active", 30000)) << All();
    ASSERT_TRUE(parloB_->WaitText("The server is Active.")) << All();
    // B's output runs in order: it never stood by before its activation.
    EXPECT_EQ(parloB_->Count("The server is Standby."), 0u) << All();
    EXPECT_EQ(opcA_->Count("side B is standby"), 0u) << All();
    // An idle side heartbeats nobody: B's first heartbeat follows its activation.
    const std::string& out = opcA_->Output();
    const size_t firstBeat = out.find("recv CTI_ACTIVE_HEART_BEAT_EVENT from 254");
    EXPECT_TRUE(firstBeat == std::string::npos || firstBeat > out.find("side B is active")) << All();
}

// Clients of the standby side: a version-24 client that may wait opens in standby and is told
// of the failover with STANDBY_ACTIVE_EVENT; a version-23 one is failed without an answer.
TEST_F(DuplexPair, StandbyClientsWaitForTheFailover) {
    // Each side's client ports of its own: both are on this machine, B on its public interface.
    const char* const kHostB = "127.0.0.2";
    const std::string portA = std::to_string(testsupport::FreePort());
    const std::string portB = std::to_string(testsupport::FreePort());
    const std::string tlsB = std::to_string(testsupport::FreePort());
    parlotest::SetString(parlotest::kConfigKey, "ListenPort", portA);
    parlotest::SetString(parlotest::kConfigKey, "SecuredListenPort", std::to_string(testsupport::FreePort()));
    ImportB("", "[" + parlotest::kConfigKey + "]\n\"ListenPort\"=\"" + portB + "\"\n\"SecuredListenPort\"=\"" +
                    tlsB + "\"\n");
    if (HasFatalFailure()) return;
    StartPair();
    ExpectActiveAndStandby();
    // A client monitor too, so that a session opened after the failover is an event it hears.
    Process waiting({PARLO_CLIENT_BIN, kHostB, portB, "ClientID=desk1", "ServiceMask=0x2000050"});
    ASSERT_TRUE(waiting.WaitText("OPEN_CONF")) << waiting.Output() << All();
    Process old({PARLO_CLIENT_BIN, kHostB, portB, "ClientID=desk2", "ServiceMask=0x2000010",
                 "VersionNumber=23"});
    EXPECT_NE(-1, old.WaitExit(30000)) << old.Output() << All();
    // No answer: only the client's own line on why it ends.
    EXPECT_EQ("parlo-client: the server closed the connection before it answered OPEN_REQ (if this is the TLS "
              "port, add --tls)\n",
              old.Output())
        << All();

    ASSERT_TRUE(opcA_->WaitText("recv CTI_ACTIVE_HEART_BEAT_EVENT from 10")) << All();
    ASSERT_EQ(::kill(parloA_->Pid(), SIGKILL), 0);
    ASSERT_TRUE(parloB_->WaitText("The server is Active.", 30000)) << All();
    ASSERT_TRUE(waiting.WaitText("STANDBY_ACTIVE_EVENT")) << waiting.Output() << All();
    // Nothing but answers reached it while it waited.
    const std::string before = waiting.Output().substr(0, waiting.Output().find("STANDBY_ACTIVE_EVENT"));
    for (size_t at = 0; at < before.size(); at = before.find('\n', at) + 1) {
        const std::string type = before.substr(at, before.find(' ', at) - at);
        EXPECT_TRUE(type == "OPEN_CONF" || type == "HEARTBEAT_CONF") << type << "\n" << waiting.Output();
        if (before.find('\n', at) == std::string::npos) break;
    }
    // And then events: the session is an open one now.
    Process later({PARLO_CLIENT_BIN, kHostB, portB, "ClientID=desk3", "ServiceMask=0x10"});
    ASSERT_TRUE(later.WaitText("OPEN_CONF")) << later.Output() << All();
    ASSERT_TRUE(waiting.WaitText("CLIENT_SESSION_OPENED_EVENT")) << waiting.Output() << All();
    EXPECT_NE(waiting.Output().find("desk3"), std::string::npos) << waiting.Output();
}

}  // namespace
