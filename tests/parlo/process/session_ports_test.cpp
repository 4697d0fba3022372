// The real parlo, made ACTIVE by the stand-in OPC, at its client ports: which ports listen
// for each SecurityMode, a TLS handshake from the openssl tool, the connection limit changed
// at run time, and the session counters across a failure.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ctimsg/elementids.h"
#include "ctimsg/messages/msgclass.h"
#include "ctimsg/msgtypes.h"
#include "tests/parlo/process/parlo_env.h"
#include "tests/support/opc_activation.h"
#include "platform/byteorder.h"

namespace {

using parlotest::Process;
using parlotest::Quote;

// A plain TCP connection to the loopback port; -1 when nothing listens there.
int Connect(const std::string& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(std::stoi(port)));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// True once the server closed the connection (within ms).
bool SeesEof(int fd, int ms = 20000) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return false;
    char c;
    return ::recv(fd, &c, 1, 0) == 0;
}

// True while the server keeps the connection open and silent for a short look.
bool StaysOpen(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 200) == 0;
}

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

// A frame header: big-endian body length and message type.
std::vector<uint8_t> Header(uint32_t length, uint32_t type) {
    std::vector<uint8_t> h(8);
    plat::StoreBE32(h.data(), length);
    plat::StoreBE32(h.data() + 4, type);
    return h;
}

bool SendAll(int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The type and first body word of the next frame the server sends (within about 20 s); type
// 0 at the end of the stream or on a timeout.
struct Frame {
    uint32_t type = 0, first = 0, second = 0;
};
// drain reads the server's output meanwhile: a server blocked on a full pipe answers nobody.
template <typename Drain>
Frame ReadFrame(int fd, Drain drain) {
    std::vector<uint8_t> got;
    auto need = [&](size_t n) {
        while (got.size() < n) {
            pollfd p{fd, POLLIN, 0};
            int ready = 0;
            for (int waited = 0; waited < 20000 && (ready = ::poll(&p, 1, 100)) == 0; waited += 200) drain();
            if (ready <= 0) return false;
            uint8_t buf[4096];
            const ssize_t r = ::recv(fd, buf, std::min(sizeof buf, n - got.size()), 0);
            if (r <= 0) return false;
            got.insert(got.end(), buf, buf + r);
        }
        return true;
    };
    auto word = [&](size_t at) { return plat::LoadBE32(got.data() + at); };
    Frame f;
    if (!need(8)) return f;
    const uint32_t length = word(0);
    if (length > 12628 || !need(8 + length)) return f;
    f.type = word(4);
    if (length >= 4) f.first = word(8);
    if (length >= 8) f.second = word(12);
    return f;
}

class SessionPorts : public parlotest::ParloEnv {
protected:
    void SetUp() override {
        ParloEnv::SetUp();
        plain_ = std::to_string(testsupport::FreePort());
        secure_ = std::to_string(testsupport::FreePort());
        ASSERT_EQ(parlotest::Reg("set " + Quote(parlotest::kConfigKey) + " ListenPort sz " + plain_).status, 0);
        ASSERT_EQ(parlotest::Reg("set " + Quote(parlotest::kConfigKey) + " SecuredListenPort sz " + secure_).status, 0);
        parlotest::SetDword(parlotest::kDynamicKey, "OPCHeartbeatTime", 2);
        const auto tls = MakeServerCertificate();
        ASSERT_TRUE(tls.made);
        cert_ = tls.cert;
    }
    void StartActive() { StartActiveServer(&opc_, &parlo_); }

    std::string plain_, secure_, cert_;
    std::unique_ptr<Process> opc_, parlo_;
};

// The value parlo-counters shows for one of parlo's counters ("OPEN_SESSIONS").
std::string Counter(const std::string& name) {
    const std::string out = parlotest::RunCommand(std::string(PARLO_COUNTERS_BIN) + " parlo").out;
    const std::string key = " PARLO_" + name + " ";
    const size_t at = out.find(key);
    if (at == std::string::npos) return "?";
    return out.substr(at + key.size(), out.find('\n', at) - at - key.size());
}

// Headers the server refuses (type 0, type 283, a body longer than 12628 bytes) get
// FAILURE_EVENT 2 and the close; a 12628-byte body is read whole, so the refused header that
// follows it is still read as a header.
TEST_F(SessionPorts, RefusedHeadersAndTheLongestBody) {
    StartActive();
    const auto drain = [&] { (void)parlo_->WaitText("\x01never", 100); };
    constexpr uint32_t kFailureConf = 1, kFailureEvent = 2, kInvalidLength = 2;
    const struct {
        const char* what;
        uint32_t length, type;
    } cases[] = {{"type 0", 4, 0}, {"type 283", 4, 283}, {"body of 12629", 12629, 5}};
    for (const auto& c : cases) {
        Fd fd{Connect(plain_)};
        ASSERT_GE(fd.fd, 0);
        ASSERT_TRUE(SendAll(fd.fd, Header(c.length, c.type)));
        const Frame f = ReadFrame(fd.fd, drain);
        EXPECT_EQ(kFailureEvent, f.type) << c.what;
        EXPECT_EQ(kInvalidLength, f.first) << c.what;
        EXPECT_TRUE(SeesEof(fd.fd)) << c.what;
    }
    Fd fd{Connect(plain_)};
    ASSERT_GE(fd.fd, 0);
    std::vector<uint8_t> longest = Header(12628, 5);
    longest.resize(8 + 12628, 0);
    const auto refused = Header(4, 0);
    longest.insert(longest.end(), refused.begin(), refused.end());
    ASSERT_TRUE(SendAll(fd.fd, longest));
    Frame f = ReadFrame(fd.fd, drain);
    if (f.type == kFailureConf) f = ReadFrame(fd.fd, drain);  // whatever the long frame decoded to
    EXPECT_EQ(kFailureEvent, f.type) << parlo_->Output();
    EXPECT_EQ(kInvalidLength, f.first);
    EXPECT_EQ(0u, ReadFrame(fd.fd, drain).type);  // and the close
}

// A maintenance request from the stand-in OPC (its script fed through a pipe, so the request
// follows the client's open) reaches a standby-capable client as ACTIVE_MAINTENANCE_REQ.
TEST_F(SessionPorts, MaintenanceRequestFromTheControllerReachesAStandbyCapableClient) {
    const std::string fifo = (root_->path() / "opc.script").string();
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    parlo_ = Start();
    ASSERT_TRUE(parlo_->WaitText("Connected to MDS.")) << parlo_->Output();
    opc_ = std::make_unique<Process>(
        std::vector<std::string>{PARLO_OPC_BIN, "--instance", parlotest::kBase, "--script", fifo});
    Fd script{::open(fifo.c_str(), O_WRONLY | O_CLOEXEC)};
    ASSERT_GE(script.fd, 0);
    auto say = [&](const std::string& lines) {
        return ::write(script.fd, lines.data(), lines.size()) == static_cast<ssize_t>(lines.size());
    };
    ASSERT_TRUE(say(testsupport::ActivationScript({.setIdle = "server=1 side=1"})));
    ASSERT_TRUE(parlo_->WaitText("The server is Active.", 30000)) << opc_->Output() << parlo_->Output();
    Process capable({PARLO_CLIENT_BIN, "127.0.0.1", plain_, "ClientID=desk1", "ServiceMask=0x2000010"});
    ASSERT_TRUE(capable.WaitText("OPEN_CONF")) << capable.Output() << parlo_->Output();
    ASSERT_TRUE(say("maintenance value=7 side=1\n"));
    EXPECT_TRUE(capable.WaitText("\nACTIVE_MAINTENANCE_REQ ")) << capable.Output() << opc_->Output();
}

// The real process's timers on the clock: a connection that never sends is failed with
// FAILURE_EVENT 16 once ConnectionTimeout (lowered to 1 s) has passed, and an OPEN_REQ with
// IdleTimeout 19 gets FAILURE_CONF 18 (E_CTI_INVALID_TIMEOUT).
TEST_F(SessionPorts, SilentConnectionTimesOutAndAShortIdleTimeoutIsRefused) {
    parlotest::SetDword(parlotest::kDynamicKey, "ConnectionTimeout", 1);
    StartActive();
    const auto drain = [&] { (void)parlo_->WaitText("\x01never", 100); };
    Fd silent{Connect(plain_)};
    ASSERT_GE(silent.fd, 0);
    const Frame f = ReadFrame(silent.fd, drain);
    EXPECT_EQ(2u, f.type) << parlo_->Output();
    EXPECT_EQ(16u, f.first);
    EXPECT_EQ(0u, ReadFrame(silent.fd, drain).type);

    Process idle({PARLO_CLIENT_BIN, "127.0.0.1", plain_, "ClientID=desk1", "IdleTimeout=19"});
    ASSERT_TRUE(idle.WaitText("FAILURE_CONF")) << idle.Output() << parlo_->Output();
    EXPECT_NE(std::string::npos, idle.Output().find("Status:E_CTI_INVALID_TIMEOUT ")) << idle.Output();
    EXPECT_EQ(std::string::npos, idle.Output().find("OPEN_CONF")) << idle.Output();
}

// A CLIENT_MONITOR session opened after two others hears of both, and not of itself.
TEST_F(SessionPorts, ClientMonitorHearsOfTheOtherOpenSessions) {
    StartActive();
    Process a({PARLO_CLIENT_BIN, "127.0.0.1", plain_, "ClientID=desk1"});
    ASSERT_TRUE(a.WaitText("OPEN_CONF")) << a.Output() << parlo_->Output();
    Process b({PARLO_CLIENT_BIN, "127.0.0.1", plain_, "ClientID=desk2"});
    ASSERT_TRUE(b.WaitText("OPEN_CONF")) << b.Output() << parlo_->Output();
    Process monitor({PARLO_CLIENT_BIN, "127.0.0.1", plain_, "ClientID=watcher", "ServiceMask=0x40"});
    ASSERT_TRUE(monitor.WaitText("OPEN_CONF")) << monitor.Output() << parlo_->Output();
    (void)monitor.WaitCount("\nCLIENT_SESSION_OPENED_EVENT ", 2, 20000);
    EXPECT_EQ(2u, monitor.Count("\nCLIENT_SESSION_OPENED_EVENT ")) << monitor.Output();
    EXPECT_NE(std::string::npos, monitor.Output().find("desk1")) << monitor.Output();
    EXPECT_NE(std::string::npos, monitor.Output().find("desk2")) << monitor.Output();
    EXPECT_EQ(std::string::npos, monitor.Output().find("watcher")) << monitor.Output();
}

// A TLS client that stops halfway through its first handshake record holds up nobody: a
// plain client opens meanwhile.
TEST_F(SessionPorts, AStalledTlsHandshakeDoesNotDelayAPlainOpen) {
    StartActive();
    Fd stalled{Connect(secure_)};
    ASSERT_GE(stalled.fd, 0);
    // A handshake record header that promises 512 bytes, and 3 of them.
    ASSERT_TRUE(SendAll(stalled.fd, {0x16, 0x03, 0x01, 0x02, 0x00, 0x01, 0x00, 0x01}));
    Process client({PARLO_CLIENT_BIN, "127.0.0.1", plain_, "ClientID=desk1"});
    EXPECT_TRUE(client.WaitText("OPEN_CONF")) << client.Output() << parlo_->Output();
    EXPECT_TRUE(StaysOpen(stalled.fd));
}

// The same extension opened again from the same host: the old session gets FAILURE_EVENT 11
// (E_CTI_NEW_SESSION_OPENED)
// and the new one is opened.
TEST_F(SessionPorts, TheSameExtensionAgainEndsTheOldSession) {
    StartActive();
    const std::vector<std::string> agent{PARLO_CLIENT_BIN, "127.0.0.1", plain_, "ServiceMask=0x01",
                                         "CTIPeripheralID=5000", "AgentExtension=1001"};
    auto with = [&](const char* id) {
        auto argv = agent;
        argv.push_back(id);
        return argv;
    };
    // The same client identity: the newer session wins the agent.
    Process first(with("ClientID=agent1"));
    ASSERT_TRUE(first.WaitText("OPEN_CONF")) << first.Output() << parlo_->Output();
    Process second(with("ClientID=agent1"));
    ASSERT_TRUE(second.WaitText("OPEN_CONF")) << second.Output() << parlo_->Output();
    EXPECT_TRUE(first.WaitText("\nFAILURE_EVENT ")) << first.Output();
    EXPECT_NE(std::string::npos, first.Output().find("Status:E_CTI_NEW_SESSION_OPENED ")) << first.Output();
    EXPECT_NE(-1, first.WaitExit(30000)) << first.Output();
}

// A frame that decodes with an error and carries an InvokeID (a CLOSE_REQ without its
// Status) gets FAILURE_CONF with the decoder's status, and the session stays open.
TEST_F(SessionPorts, DecodeErrorIsAnsweredAndTheSessionStays) {
    StartActive();
    const auto drain = [&] { (void)parlo_->WaitText("\x01never", 100); };
    Fd fd{Connect(plain_)};
    ASSERT_GE(fd.fd, 0);
    BaseMSGPtr open = catalog::CreateMessage(ctitype::OpenReqMSG);
    open->SetUINT(elementid::InvokeID, 1);
    open->SetUINT(elementid::VersionNumber, 24);
    open->SetUINT(elementid::IdleTimeout, 30);
    open->SetUINT(elementid::CTIPeripheralID, 0xFFFFFFFF);
    open->SetUINT(elementid::ServiceMask, 0x10);
    open->SetUINT(elementid::CallMsgMask, 0xFFFFFFFF);
    open->SetUINT(elementid::AgentStateMask, 0x3FFF);
    open->SetUINT(elementid::ConfigMsgMask, 0);
    open->SetSTRING(elementid::ClientID, "desk1");
    uint8_t password[1] = {0};
    open->SetUNSPEC(elementid::ClientPassword, password, 0);
    std::vector<uint8_t> frame(static_cast<size_t>(open->MaxEncodedSize(24) + 8));
    ASSERT_EQ(0, open->Validate(24));
    const int n = open->Encode(frame.data(), static_cast<int>(frame.size()), 24, 0x3FF, nullptr, 0);
    ASSERT_GT(n, 0);
    frame.resize(static_cast<size_t>(n));
    ASSERT_TRUE(SendAll(fd.fd, frame));
    ASSERT_EQ(ctitype::OpenConfMSG, ReadFrame(fd.fd, drain).type) << parlo_->Output();

    std::vector<uint8_t> close = Header(4, ctitype::CloseReqMSG);
    close.insert(close.end(), {0, 0, 0, 7});
    ASSERT_TRUE(SendAll(fd.fd, close));
    const Frame answer = ReadFrame(fd.fd, drain);
    EXPECT_EQ(ctitype::FailureConfMSG, answer.type) << parlo_->Output();
    EXPECT_EQ(7u, answer.first);
    EXPECT_NE(0u, answer.second);

    std::vector<uint8_t> beat = Header(4, ctitype::HeartbeatReqMSG);
    beat.insert(beat.end(), {0, 0, 0, 8});
    ASSERT_TRUE(SendAll(fd.fd, beat));
    const Frame conf = ReadFrame(fd.fd, drain);
    EXPECT_EQ(ctitype::HeartbeatConfMSG, conf.type);
    EXPECT_EQ(8u, conf.first);
}

// A second OPEN_REQ on an open session gets FAILURE_CONF 5 (E_CTI_SESSION_ALREADY_OPEN) and
// the session goes on: its heartbeat and close are answered.
TEST_F(SessionPorts, SecondOpenOnASessionIsRefused) {
    StartActive();
    const std::string script = (root_->path() / "client.script").string();
    std::ofstream(script) << "OPEN_REQ InvokeID=9 VersionNumber=24 IdleTimeout=30 CTIPeripheralID=0xFFFFFFFF "
                             "ServiceMask=0x10 CallMsgMask=0 AgentStateMask=0 ConfigMsgMask=0 ClientID=desk1 "
                             "ClientPassword=\nHEARTBEAT_REQ\n";
    Process client({PARLO_CLIENT_BIN, "127.0.0.1", plain_, "--script", script, "ClientID=desk1"});
    ASSERT_EQ(0, client.WaitExit(30000)) << client.Output() << parlo_->Output();
    EXPECT_NE(std::string::npos, client.Output().find("\nFAILURE_CONF MsgType:FAILURE_CONF (InvokeID:0x9 Status:E_CTI_SESSION_ALREADY_OPEN )"))
        << client.Output();
    EXPECT_NE(std::string::npos, client.Output().find("\nHEARTBEAT_CONF ")) << client.Output();
    EXPECT_NE(std::string::npos, client.Output().find("\nCLOSE_CONF ")) << client.Output();
}

// SecurityMode 0 listens on both ports, 1 only on the TLS port, 2 on none; wherever the TLS
// port listens the openssl tool completes a TLS 1.2 and a TLS 1.3 handshake and parlo-client
// opens a session over it.
class SecurityModes : public SessionPorts, public ::testing::WithParamInterface<int> {};

TEST_P(SecurityModes, ChooseTheListeningPorts) {
    const int mode = GetParam();
    parlotest::SetDword(parlotest::kConfigKey, "SecurityMode", static_cast<uint32_t>(mode));
    StartActive();
    Fd plain{Connect(plain_)}, secure{Connect(secure_)};
    EXPECT_EQ(mode == 0, plain.fd >= 0) << "mode " << mode;
    EXPECT_EQ(mode <= 1, secure.fd >= 0) << "mode " << mode;
    if (mode > 1) return;
    for (const char* version : {"-tls1_2", "-tls1_3"}) {
        const auto ran = parlotest::RunCommand("timeout 30 openssl s_client -brief " + std::string(version) +
                                               " -connect 127.0.0.1:" + secure_ + " -CAfile " + cert_ +
                                               " -verify_return_error </dev/null 2>&1");
        EXPECT_EQ(0, ran.status) << version << "\n" << ran.out;
        EXPECT_NE(ran.out.find("CONNECTION ESTABLISHED"), std::string::npos) << version << "\n" << ran.out;
    }
    const std::string script = (root_->path() / "client.script").string();
    std::ofstream(script) << "HEARTBEAT_REQ\n";
    Process client({PARLO_CLIENT_BIN, "127.0.0.1", secure_, "--tls", "--cafile", cert_, "--script", script,
                    "ClientID=desk1"});
    ASSERT_EQ(0, client.WaitExit(30000)) << client.Output() << parlo_->Output();
    EXPECT_NE(client.Output().find("OPEN_CONF "), std::string::npos) << client.Output();
    EXPECT_NE(client.Output().find("\nHEARTBEAT_CONF "), std::string::npos) << client.Output();
}

INSTANTIATE_TEST_SUITE_P(Modes, SecurityModes, ::testing::Values(0, 1, 2));

// MaxClientConnections lowered to 5 with parlo-reg while parlo runs: five connections stay,
// the sixth is closed right after its accept, with the event that names the limit.
TEST_F(SessionPorts, ConnectionLimitSetAtRunTime) {
    StartActive();
    parlotest::SetDword(parlotest::kDynamicKey, "MaxClientConnections", 5);
    // The registry watch picks the change up on its own thread.
    ASSERT_TRUE(parlo_->WaitText("The setting MaxClientConnections changed from 6000 to 5.")) << parlo_->Output();
    std::vector<Fd> held(5);
    for (auto& h : held) {
        h.fd = Connect(plain_);
        ASSERT_GE(h.fd, 0);
    }
    Fd sixth{Connect(plain_)};
    ASSERT_GE(sixth.fd, 0);
    EXPECT_TRUE(SeesEof(sixth.fd)) << parlo_->Output();
    EXPECT_TRUE(parlo_->WaitText("The limit of 5 client connections is reached; a new connection was closed."))
        << parlo_->Output();
    for (auto& h : held) EXPECT_TRUE(StaysOpen(h.fd));
}

// The counter's value once it shows want (within about 20 s), or the last value seen: the
// server moves its counters just after it answers.
template <typename Drain>
std::string AwaitCounter(const std::string& name, const std::string& want, Drain drain) {
    std::string seen = Counter(name);
    for (int i = 0; i < 100 && seen != want; ++i) {
        drain();
        seen = Counter(name);
    }
    return seen;
}

// A session that fails (its client dies) moves OPEN_SESSIONS down and leaves FAILED_SESSIONS
// where it was; TOTAL_SESSIONS is only lowered by a close.
TEST_F(SessionPorts, CountersAcrossOpenCloseAndFailure) {
    StartActive();
    const auto drain = [&] { (void)parlo_->WaitText("\x01never", 200); };
    {
        Process closing({PARLO_CLIENT_BIN, "127.0.0.1", plain_, "ClientID=desk1"});
        ASSERT_TRUE(closing.WaitText("OPEN_CONF")) << closing.Output() << parlo_->Output();
        Process failing({PARLO_CLIENT_BIN, "127.0.0.1", plain_, "ClientID=desk2"});
        ASSERT_TRUE(failing.WaitText("OPEN_CONF")) << failing.Output() << parlo_->Output();
        EXPECT_EQ("2", AwaitCounter("OPEN_SESSIONS", "2", drain));
        EXPECT_EQ("2", AwaitCounter("TOTAL_SESSIONS", "2", drain));

        ASSERT_EQ(0, ::kill(closing.Pid(), SIGINT));
        ASSERT_EQ(0, closing.WaitExit(30000)) << closing.Output();
        EXPECT_EQ("1", AwaitCounter("OPEN_SESSIONS", "1", drain));
        EXPECT_EQ("1", AwaitCounter("TOTAL_SESSIONS", "1", drain));
        EXPECT_EQ("-1", AwaitCounter("CLOSED_SESSIONS", "-1", drain));

        ASSERT_EQ(0, ::kill(failing.Pid(), SIGKILL));
    }
    EXPECT_EQ("0", AwaitCounter("OPEN_SESSIONS", "0", drain));
    EXPECT_EQ("1", Counter("TOTAL_SESSIONS"));
    EXPECT_EQ("0", AwaitCounter("FAILED_SESSIONS", "0", drain));
    EXPECT_EQ("-1", Counter("CLOSED_SESSIONS"));
}

}  // namespace
