// parlo-client against a tiny in-test CTI peer that answers OPEN_REQ with OPEN_CONF,
// HEARTBEAT_REQ with HEARTBEAT_CONF and CLOSE_REQ with CLOSE_CONF, plain and over TLS.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ctimsg/messages/msgclass.h"
#include "peers/client/cticlient.h"
#include "platform/byteorder.h"
#include "tests/support/certificate.h"
#include "tests/support/child_process.h"
#include "tests/support/test_env.h"

namespace {

constexpr int kBound = 20000;  // ms

// One accepted client, answered on its own thread.
class Peer {
public:
    explicit Peer(SSL_CTX* tls = nullptr) : tls_(tls) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(0, bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
        EXPECT_EQ(0, listen(listener_, 4));
        socklen_t len = sizeof addr;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        port = ntohs(addr.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~Peer() {
        shutdown(listener_, SHUT_RDWR);
        if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
        thread_.join();
        if (ssl_) SSL_free(ssl_);
        close(listener_);
        if (fd_ >= 0) close(fd_);
    }
    // Waits until `count` messages of `type` arrived.
    bool WaitFor(const std::string& type, size_t count = 1) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, std::chrono::milliseconds(kBound), [&] {
            size_t n = 0;
            for (const auto& m : received) n += MsgTypeName(static_cast<int32_t>(m->GetMsgType())) == type;
            return n >= count;
        });
    }
    std::vector<BaseMSGPtr> received;  // read after WaitFor
    int port = 0;

private:
    bool ReadAll(uint8_t* to, size_t n) {
        size_t done = 0;
        while (done < n) {
            pollfd p{fd_, POLLIN, 0};
            if (!(ssl_ && SSL_pending(ssl_)) && poll(&p, 1, kBound) <= 0) return false;
            const int got = ssl_ ? SSL_read(ssl_, to + done, static_cast<int>(n - done))
                                 : static_cast<int>(recv(fd_, to + done, n - done, 0));
            if (got <= 0) return false;
            done += static_cast<size_t>(got);
        }
        return true;
    }
    void Answer(const char* type, std::vector<std::string> words) {
        BaseMSGPtr msg = catalog::CreateMessage(cticlient::MsgTypeByName(type));
        std::string error;
        for (const auto& w : words) ASSERT_TRUE(cticlient::SetField(*msg, w, &error)) << error;
        const std::vector<uint8_t> frame = cticlient::EncodeFrame(*msg, 24, &error);
        ASSERT_FALSE(frame.empty()) << error;
        if (ssl_)
            SSL_write(ssl_, frame.data(), static_cast<int>(frame.size()));
        else
            send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL);
    }
    void Run() {
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, kBound) <= 0) return;
        fd_ = accept(listener_, nullptr, nullptr);
        if (fd_ < 0) return;
        if (tls_) {
            ssl_ = SSL_new(tls_);
            SSL_set_fd(ssl_, fd_);
            if (SSL_accept(ssl_) != 1) return;
        }
        for (;;) {
            uint8_t header[8];
            if (!ReadAll(header, 8)) return;
            const uint32_t length = plat::LoadBE32(header);
            if (length > cticlient::kMaxBody) return;
            std::vector<uint8_t> frame(header, header + 8);
            frame.resize(8 + length);
            if (!ReadAll(frame.data() + 8, length)) return;
            BaseMSGPtr msg = BaseMSG::Decode(frame.data(), static_cast<int>(frame.size()), 24);
            if (!msg) return;
            const std::string type = MsgTypeName(static_cast<int32_t>(msg->GetMsgType()));
            const std::string invoke = "InvokeID=" + std::to_string(msg->GetUINT(elementid::InvokeID));
            if (type == "OPEN_REQ")
                Answer("OPEN_CONF", {invoke, "ServiceMask=0x10", "MonitorID=0", "PGStatus=0", "CCTimestamp=0",
                                     "PeripheralOnline=1", "PeripheralType=0xFFFF", "CTIAgentState=0xFFFF",
                                     "DepartmentID=0", "SessionType=0"});
            else if (type == "HEARTBEAT_REQ")
                Answer("HEARTBEAT_CONF", {invoke});
            else if (type == "CLOSE_REQ")
                Answer("CLOSE_CONF", {invoke});
            {
                std::lock_guard<std::mutex> lock(mutex_);
                received.push_back(std::move(msg));
            }
            cv_.notify_all();
        }
    }

    SSL_CTX* tls_;
    int listener_ = -1;
    int fd_ = -1;
    SSL* ssl_ = nullptr;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable cv_;
};

// parlo-client as a child process with its stdout on a pipe.
class Client {
public:
    explicit Client(std::vector<std::string> args) {
        int out[2];
        EXPECT_EQ(0, pipe(out));
        args.insert(args.begin(), PARLO_CLIENT_BIN);
        pid_ = testsupport::ForkChild([&] {
            dup2(out[1], 1);
            close(out[0]);
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            return 127;
        });
        close(out[1]);
        out_ = out[0];
    }
    ~Client() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            (void)testsupport::WaitChild(pid_);
        }
        close(out_);
    }
    // The next output line, or "" at the end or after the bound.
    std::string Line() {
        for (;;) {
            const size_t nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return line;
            }
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, kBound) <= 0) return "";
            char chunk[4096];
            const ssize_t n = read(out_, chunk, sizeof chunk);
            if (n <= 0) return "";
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }
    int Exit() {
        const int status = testsupport::WaitChild(pid_);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void Signal(int sig) { kill(pid_, sig); }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_;
};

bool StartsWith(const std::string& line, const std::string& prefix) { return line.rfind(prefix, 0) == 0; }

TEST(ParloClient, OpensWithCommandLineFieldsRunsTheScriptAndCloses) {
    testsupport::TempDir dir("client");
    {
        std::ofstream script(dir / "script.txt");
        script << "# a comment, then a blank line\n\nHEARTBEAT_REQ InvokeID=77\n";
    }
    Peer peer;
    Client client({"127.0.0.1", std::to_string(peer.port), "--script", (dir / "script.txt").string(),
                   "ServiceMask=0x10", "IdleTimeout=30", "ClientID=desk1", "ClientSignature=sig",
                   "AgentExtension=4001", "UniqueInstanceID=u-1"});
    const std::string open = client.Line();
    EXPECT_TRUE(StartsWith(open, "OPEN_CONF MsgType:OPEN_CONF")) << open;
    EXPECT_TRUE(StartsWith(client.Line(), "HEARTBEAT_CONF "));
    EXPECT_TRUE(StartsWith(client.Line(), "CLOSE_CONF "));
    EXPECT_EQ(0, client.Exit());
    ASSERT_TRUE(peer.WaitFor("CLOSE_REQ"));
    ASSERT_EQ(3u, peer.received.size());
    BaseMSG& req = *peer.received[0];
    EXPECT_EQ(3u, req.GetMsgType());
    EXPECT_EQ(24u, req.GetUINT(elementid::VersionNumber));
    EXPECT_EQ(0x10u, req.GetUINT(elementid::ServiceMask));
    EXPECT_EQ(30u, req.GetUINT(elementid::IdleTimeout));
    EXPECT_STREQ("desk1", req.GetSTRING(elementid::ClientID));
    EXPECT_STREQ("4001", req.GetSTRING(elementid::AgentExtension));
    EXPECT_STREQ("u-1", req.GetSTRING(elementid::UniqueInstanceID));
    EXPECT_EQ(77u, peer.received[1]->GetUINT(elementid::InvokeID));
}

TEST(ParloClient, HeartbeatsUntilSigintThenCloses) {
    Peer peer;
    Client client({"127.0.0.1", std::to_string(peer.port), "IdleTimeout=3"});
    EXPECT_TRUE(StartsWith(client.Line(), "OPEN_CONF "));
    // A third of three seconds, rounded to the one-second floor: two beats come in time.
    ASSERT_TRUE(peer.WaitFor("HEARTBEAT_REQ", 2));
    client.Signal(SIGINT);
    ASSERT_TRUE(peer.WaitFor("CLOSE_REQ"));
    EXPECT_EQ(0, client.Exit());
}

TEST(ParloClient, RefusesABadFieldBeforeConnecting) {
    Client client({"127.0.0.1", "1", "NoSuchField=1"});
    EXPECT_EQ(2, client.Exit());
}

TEST(ParloClient, OpensOverTlsCheckingTheCertificate) {
    testsupport::TempDir dir("clienttls");
    const auto tls = testsupport::MakeCertificate(dir.path());
    ASSERT_TRUE(tls.made);
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    ASSERT_EQ(1, SSL_CTX_use_certificate_file(ctx, tls.cert.c_str(), SSL_FILETYPE_PEM));
    ASSERT_EQ(1, SSL_CTX_use_PrivateKey_file(ctx, tls.key.c_str(), SSL_FILETYPE_PEM));
    {
        std::ofstream script(dir / "script.txt");
        script << "\n";
    }
    {
        Peer peer(ctx);
        Client client({"127.0.0.1", std::to_string(peer.port), "--tls", "--cafile", tls.cert, "--script",
                       (dir / "script.txt").string()});
        EXPECT_TRUE(StartsWith(client.Line(), "OPEN_CONF "));
        EXPECT_TRUE(StartsWith(client.Line(), "CLOSE_CONF "));
        EXPECT_EQ(0, client.Exit());
    }
    SSL_CTX_free(ctx);
}

}  // namespace
