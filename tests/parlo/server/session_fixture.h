#pragma once
// The session layer over real loopback sockets: the server fixture (fake clock, timer wheel
// run by hand), a session master whose "application" is the test thread, and clients that
// send and read CTI frames.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "ctimsg/elementids.h"
#include "ctimsg/messages/messages.h"
#include "ctimsg/msgtypes.h"
#include "mdstimer/timer.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/session/session.h"
#include "platform/byteorder.h"
#include "tests/parlo/server/server_fixture.h"

namespace sesstest {

constexpr int kBoundMs = 20000;  // generous: the suite runs on loaded machines

// The master, and the session layer's host in place of the application: the test thread
// takes the session input queue; no session has a client record unless allClients is set.
class TestMaster final : public SessionProtocol, public SessionHost {
public:
    TestMaster() : SessionProtocol(static_cast<SessionHost&>(*this)) {}
    void QueueApplicationMSG(int marker) override {
        std::lock_guard<std::mutex> hold(mu);
        if (marker == -1) ++inputMarkers;
        cv.notify_all();
    }
    void ResetInputEvent() override {}
    int SessionCreated(int32_t) override { return 1; }
    int SessionDestroyed(int32_t) override { return 1; }
    int SessionFailed(int32_t) override {
        std::lock_guard<std::mutex> hold(mu);
        ++failures;
        return 1;
    }
    bool HasClient(uint32_t) override { return allClients; }
    bool IsTressikClient(uint32_t) override { return false; }
    bool AppPathContains(uint32_t, uint32_t, uint32_t) override { return false; }
    bool UTF8ConversionAllowed() override { return utf8; }
    using SessionProtocol::NewSessionID;
    using SessionProtocol::SetNextSessionID;
    std::mutex mu;
    std::condition_variable cv;
    int inputMarkers = 0;
    int failures = 0;
    std::atomic<bool> allClients{false};
    std::atomic<bool> utf8{false};
};

// One decoded frame a client received.
struct Received {
    uint32_t type = 0;
    BaseMSGPtr msg;
    uint32_t Status() { return msg ? msg->GetUINT(elementid::Status) : 0xFFFFFFFF; }
};

class Client {
public:
    // From `source` (a loopback address) when given, else from any.
    explicit Client(int port, const char* source = nullptr) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        if (source != nullptr) {
            sockaddr_in from{};
            from.sin_family = AF_INET;
            inet_pton(AF_INET, source, &from.sin_addr);
            (void)bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from);
        }
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~Client() {
        if (fd_ >= 0) close(fd_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    int fd() const { return fd_; }

    bool SendRaw(const void* data, size_t n) {
        return send(fd_, data, n, MSG_NOSIGNAL) == static_cast<ssize_t>(n);
    }
    bool Send(BaseMSG& msg, uint32_t version = 24) {
        std::vector<uint8_t> buffer(static_cast<size_t>(msg.MaxEncodedSize(version) + 8));
        if (msg.Validate(version) != 0) return false;
        const int n = msg.Encode(buffer.data(), static_cast<int>(buffer.size()), version, 0x3FF, nullptr, 0);
        return n > 0 && SendRaw(buffer.data(), static_cast<size_t>(n));
    }
    // msg's frame at `version`, then each {offset, byte} patch applied (a frame no honest
    // encoder makes).
    bool SendPatched(BaseMSG& msg, std::initializer_list<std::pair<size_t, uint8_t>> patches) {
        std::vector<uint8_t> buffer(static_cast<size_t>(msg.MaxEncodedSize(24) + 8));
        if (msg.Validate(24) != 0) return false;
        const int n = msg.Encode(buffer.data(), static_cast<int>(buffer.size()), 24, 0x3FF, nullptr, 0);
        if (n <= 0) return false;
        for (const auto& [offset, byte] : patches)
            if (offset < static_cast<size_t>(n)) buffer[offset] = byte;
        return SendRaw(buffer.data(), static_cast<size_t>(n));
    }
    static std::vector<uint8_t> Header(uint32_t length, uint32_t type) {
        std::vector<uint8_t> h(8);
        plat::StoreBE32(h.data(), length);
        plat::StoreBE32(h.data() + 4, type);
        return h;
    }
    // The next frame, decoded at `version`; type 0 when nothing came within the bound.
    Received Read(uint32_t version = 24) {
        Received r;
        std::string header = ReadN(8);
        if (header.size() < 8) return r;
        const auto* h = reinterpret_cast<const uint8_t*>(header.data());
        const uint32_t length = plat::LoadBE32(h);
        const uint32_t type = plat::LoadBE32(h + 4);
        if (length > 12628) return r;
        std::string frame = header + ReadN(length);
        if (frame.size() < length + 8) return r;
        r.type = type;
        r.msg = BaseMSG::Decode(reinterpret_cast<const uint8_t*>(frame.data()), static_cast<int>(frame.size()), version);
        return r;
    }
    // True when the server closed the connection within the bound (frames before it skipped).
    bool SeesEof() {
        char buffer[4096];
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, kBoundMs) <= 0) return false;
            const ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
            if (got <= 0) return true;
        }
    }
    // True when nothing arrives within `ms` (only for checks that something did NOT come,
    // after the server has shown it handled what came before).
    bool Quiet(int ms) {
        pollfd p{fd_, POLLIN, 0};
        return poll(&p, 1, ms) == 0;
    }

private:
    std::string ReadN(size_t n) {
        std::string out;
        char buffer[4096];
        while (out.size() < n) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, kBoundMs) <= 0) break;
            const ssize_t got = recv(fd_, buffer, std::min(sizeof buffer, n - out.size()), 0);
            if (got <= 0) break;
            out.append(buffer, static_cast<size_t>(got));
        }
        return out;
    }
    int fd_ = -1;
};

inline std::unique_ptr<OpenReqMSG> OpenReq(uint32_t invokeID, uint32_t idle = 30, uint32_t services = 0x10,
                                           const char* clientID = "desk1", uint32_t version = 24) {
    auto m = std::make_unique<OpenReqMSG>();
    m->SetUINT(elementid::InvokeID, invokeID);
    m->SetUINT(elementid::VersionNumber, version);
    m->SetUINT(elementid::IdleTimeout, idle);
    m->SetUINT(elementid::CTIPeripheralID, 5000);
    m->SetUINT(elementid::ServiceMask, services);
    m->SetUINT(elementid::CallMsgMask, 0xFFFFFFFF);
    m->SetUINT(elementid::AgentStateMask, 0x3FFF);
    m->SetUINT(elementid::ConfigMsgMask, 0);
    m->SetSTRING(elementid::ClientID, clientID);
    uint8_t password[1] = {0};
    m->SetUNSPEC(elementid::ClientPassword, password, 0);
    return m;
}

class SessionTest : public srvtest::ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        // Timers start and stop on the poster and test threads: the wheel is multithreaded,
        // as the server's is.
        const uint64_t now = plat::FileTimeNow();
        TimerMaster::Create(now, now, true, 0);
        wheel_ = TimerMaster::Instance()->GetCurrentTime();
        registry_->SetDynamic(CTIRegistry::ConnectionTimeout, 30);
        registry_->SetDynamic(CTIRegistry::MaxQueueAllEventClient, 1000);
        registry_->SetDynamic(CTIRegistry::MaxQueueClientEventClient, 16);
        registry_->SetDynamic(CTIRegistry::MaxClientConnections, 0);
        server_->SetState(Server::IDLE);
        master_ = std::make_unique<TestMaster>();
        master_->ResetIDCounters();
        TransportProtocol::sm_SecurityMode = 0;
        ASSERT_EQ(1, SessionProtocol::Configure(registry_.get()));
        TransportProtocol::sm_ListenPort = 0;
        TransportProtocol::sm_ListenSecurePort = 0;
    }
    void TearDown() override {
        // The poster stops before the master object goes.
        static_cast<TransportProtocol&>(*master_).Close();
        master_.reset();
        ServerTest::TearDown();
    }
    void OpenActive() {
        server_->SetState(Server::ACTIVATING);
        server_->SetState(Server::ACTIVE);
        ASSERT_EQ(1, SessionProtocol::Open());
    }
    int Port() const { return master_->BoundPort(false); }
    // Moves the timer wheel on and runs what is due, on this thread.
    void AdvanceSeconds(uint32_t seconds) {
        wheel_ += uint64_t{seconds} * kTimerUnitsPerSecond;
        TimerMaster::Instance()->ProcessTimers(wheel_, wheel_);
    }
    // The next frame on the session input queue (owned by the caller), within the bound.
    std::unique_ptr<SessionMSG> TakeInput() {
        for (int i = 0; i < kBoundMs / 5; ++i) {
            if (auto m = SessionProtocol::DequeueInputMessage()) return m;
            std::unique_lock<std::mutex> hold(master_->mu);
            master_->cv.wait_for(hold, std::chrono::milliseconds(5));
        }
        return nullptr;
    }
    // The next OPEN_REQ of the input queue; the ends of earlier sessions on the way are
    // handled as the application does, with the messages the frames carry.
    std::unique_ptr<SessionMSG> TakeOpenRequest() {
        for (;;) {
            auto frame = TakeInput();
            if (!frame || frame->GetType() == OPEN_REQ) return frame;
            const auto id = static_cast<int32_t>(frame->SessionID());
            if (frame->GetType() == CLOSE_REQ) {
                (void)SessionProtocol::CloseSession(id);
            } else if (frame->GetType() == SESSION_FAILED_MSG) {
                BaseMSGPtr failed = frame->TakeDecoded();
                if (failed) (void)SessionProtocol::FailSessionByID(id, failed->GetUINT(elementid::Status));
                else ADD_FAILURE() << "SESSION_FAILED_MSG without its message";
            }
        }
    }
    // Plays the application's verdict on the next OPEN_REQ; -1 when none came.
    int ConfirmNextOpen() {
        auto frame = TakeOpenRequest();
        if (!frame) return -1;
        BaseMSGPtr req = frame->TakeDecoded();
        if (!req) {
            ADD_FAILURE() << "OPEN_REQ without its message";
            return -1;
        }
        BaseMSGPtr conf = CTIApplication::MakeOpenConf(*req);
        const char* ext = req->GetSTRING(elementid::AgentExtension);
        return SessionProtocol::ConfirmOpen(static_cast<int32_t>(frame->SessionID()), *conf, frame->Stamp(),
                                            (req->GetUINT(elementid::ServiceMask) & 1) && ext && *ext);
    }
    // Opens a client to OPEN_CONF.
    bool OpenClient(Client& c, std::unique_ptr<OpenReqMSG> req) {
        if (!c.Send(*req)) return false;
        if (ConfirmNextOpen() != 1) return false;
        return c.Read().type == 4;
    }
    uint32_t SessionState(int32_t id) {
        LockGuard<CTILockObject> hold(master_->SessionLock(), "test");
        SessionProtocol* s = SessionProtocol::FindSession(static_cast<uint32_t>(id));
        return s ? s->GetSessionState() : 0xFFFFFFFF;
    }

    std::unique_ptr<TestMaster> master_;
    uint64_t wheel_ = 0;
};

}  // namespace sesstest
