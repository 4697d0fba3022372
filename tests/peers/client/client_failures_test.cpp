// parlo-client says in one line on stderr, and with exit status 1, why a connection it did
// not close ended: a server that closes before it answers the open (a TLS port does that to a
// plain request), one that answers in TLS, and one that goes away from an open session.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "ctimsg/messages/msgclass.h"
#include "peers/client/cticlient.h"
#include "platform/byteorder.h"
#include "tests/support/run_command.h"

namespace {

// Accepts one client, reads its first frame, then does what the case says and closes.
class OneShotPeer {
public:
    explicit OneShotPeer(std::vector<uint8_t> answer) : answer_(std::move(answer)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(0, ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
        EXPECT_EQ(0, ::listen(listener_, 1));
        socklen_t len = sizeof addr;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        port = std::to_string(ntohs(addr.sin_port));
        thread_ = std::thread([this] { Run(); });
    }
    ~OneShotPeer() {
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }
    std::string port;

private:
    void Run() {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, 20000) <= 0) return;
        const int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0) return;
        uint8_t header[8];
        if (::recv(fd, header, sizeof header, MSG_WAITALL) == 8) {
            std::vector<uint8_t> body(plat::LoadBE32(header));
            (void)::recv(fd, body.data(), body.size(), MSG_WAITALL);
            if (!answer_.empty()) (void)::send(fd, answer_.data(), answer_.size(), MSG_NOSIGNAL);
        }
        ::close(fd);
    }
    std::vector<uint8_t> answer_;
    int listener_ = -1;
    std::thread thread_;
};

// parlo-client's exit status and standard error; without a script it stays until the end.
testsupport::Ran Client(const std::string& port) {
    return testsupport::RunCommand(std::string("'") + PARLO_CLIENT_BIN + "' 127.0.0.1 " + port + " 2>&1 >/dev/null");
}

std::vector<uint8_t> OpenConf() {
    BaseMSGPtr msg = catalog::CreateMessage(cticlient::MsgTypeByName("OPEN_CONF"));
    std::string error;
    for (const char* w : {"InvokeID=1", "ServiceMask=0x10", "MonitorID=0", "PGStatus=0", "CCTimestamp=0",
                          "PeripheralOnline=1", "PeripheralType=0xFFFF", "CTIAgentState=0xFFFF", "DepartmentID=0",
                          "SessionType=0"})
        EXPECT_TRUE(cticlient::SetField(*msg, w, &error)) << error;
    return cticlient::EncodeFrame(*msg, 24, &error);
}

TEST(ParloClientEnds, EachEndItDidNotAskForIsToldInOneLine) {
    const struct {
        const char* name;
        std::vector<uint8_t> answer;
        std::string said;
    } cases[] = {
        {"closed before the answer", {},
         "parlo-client: the server closed the connection before it answered OPEN_REQ (if this is the TLS port, "
         "add --tls)\n"},
        // A TLS alert record (protocol version), as a TLS server may send to a plain request.
        {"answered in TLS", {0x15, 0x03, 0x03, 0x00, 0x02, 0x02, 0x46}, ""},
        {"gone from an open session", OpenConf(), "parlo-client: the server closed the connection\n"},
    };
    for (const auto& c : cases) {
        OneShotPeer peer(c.answer);
        const testsupport::Ran r = Client(peer.port);
        EXPECT_EQ(r.status, 1) << c.name;
        const std::string said =
            c.said.empty() ? "parlo-client: 127.0.0.1:" + peer.port + " answers in TLS: add --tls\n" : c.said;
        EXPECT_EQ(r.out, said) << c.name;
    }
}

}  // namespace
