// A received CTI_CSTA_MESSAGE through the application's intake and confirmation matching to
// the client's answer, encoded and written to its session: the real application, one plain
// client session on loopback, the confirmation handed to the OPC dispatch on this thread.
// Every iteration first makes the outstanding record the request would have left (the free
// list's cost, a few ns); the client's socket is drained, untimed, every kDrainEvery answers.
//
// A case is a confirmation message and the type of the answer it gives; add one with
// BENCHMARK_CAPTURE(BM_Confirmation, name, Message(...), answer type).
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ctimsg/elementids.h"
#include "ctimsg/messages/messages.h"
#include "ctimsg/msgtypes.h"
#include "mdstimer/timer.h"
#include "nuvlib/lockguard.h"
#include "opcmsg/cstaconfirmations.h"
#include "opcmsg/cstawire.h"
#include "opcmsg/opctypes.h"
#include "parlo/app/appport.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/common/ctiregistry.h"
#include "parlo/opclink/mdsio.h"
#include "parlo/opclink/opcreq.h"
#include "parlo/server/server.h"
#include "parlo/session/session.h"
#include "parlo/session/transport.h"
#include "platform/byteorder.h"
#include "platform/clock.h"
#include "tests/opcmsg/opc_message_builder.h"

namespace {

constexpr uint32_t kInvokeID = 0x01000042, kClientInvokeID = 0x77;
constexpr const char* kUniqueID = "bench-1";
constexpr int kDrainEvery = 1024;

[[noreturn]] void Die(const char* why) {
    std::fprintf(stderr, "cstaintake_bench: %s\n", why);
    std::exit(1);
}

// The server's port, but the application thread is a plain thread and activation is granted.
class BenchAppPort final : public AppServerPort {
public:
    explicit BenchAppPort(AppServerPort& next) : next_(next) {}
    void StartThread(const char*, ThreadFunction function, void* argument) override {
        std::thread(function, argument).detach();
    }
    int SetActivated(const char*, int) override { return 1; }
    void ClearActivated(const char*) override {}
    void InitUniqueID() override {}
    uint32_t GetUniqueID() override { return next_.GetUniqueID(); }
    int GetState() const override { return next_.GetState(); }
    void MakeActive() override {}
    void UpdateMeter(int meter, int32_t value) override { next_.UpdateMeter(meter, value); }
    int GetSide() const override { return next_.GetSide(); }
    int GetDuplex() const override { return next_.GetDuplex(); }
    void ReportFailure(const char* text) override { next_.ReportFailure(text); }
    int GetFailoverReported() const override { return next_.GetFailoverReported(); }
    void SetFailoverReported(int reported) override { next_.SetFailoverReported(reported); }
    void SetPGStatus(int status) override { next_.SetPGStatus(status); }
    int GetPGStatus() const override { return next_.GetPGStatus(); }
    void SetPeripheralStatus(int32_t peripheralID, int32_t systemEventID) override {
        next_.SetPeripheralStatus(peripheralID, systemEventID);
    }
    int32_t GetPeripheralStatus(int32_t peripheralID) override { return next_.GetPeripheralStatus(peripheralID); }
    int64_t GetPGTime() override { return next_.GetPGTime(); }
    std::vector<Peripheral> GetPeripherals() const override { return next_.GetPeripherals(); }
    int32_t GetAgentPeripheralClientType(int* count) override { return next_.GetAgentPeripheralClientType(count); }
    void ProcessConfigMessage(const uint8_t*, size_t) override {}

private:
    AppServerPort& next_;
};

// One ALL_EVENTS session of a client on loopback, with its unique instance ID.
struct Rig {
    Server* server = nullptr;
    CTIApplication* app = nullptr;
    int fd = -1;
    int32_t sessionID = -1;

    Rig() {
        const uint64_t now = plat::FileTimeNow();
        TimerMaster::Create(now, now, false, 0);
        server = new Server;
        auto* registry = new CTIRegistry;
        registry->SetDynamic(CTIRegistry::MaxLockTimeout, 500);
        registry->SetDynamic(CTIRegistry::ConnectionTimeout, 30);
        registry->SetDynamic(CTIRegistry::MaxQueueAllEventClient, 100000);
        registry->SetDynamic(CTIRegistry::MaxQueueClientEventClient, 100000);
        server->SetRegistry(registry);
        server->SetState(Server::IDLE);
        MDSIO::SetMDSConnections(1);
        static BenchAppPort port(GetAppServerPort());
        (void)SetAppServerPort(&port);
        app = new CTIApplication;
        app->ResetIDCounters();
        TransportProtocol::sm_SecurityMode = 0;
        app->Configure(registry);
        TransportProtocol::sm_ListenPort = 0;
        TransportProtocol::sm_ListenSecurePort = 0;
        server->SetState(Server::ACTIVATING);
        server->SetState(Server::ACTIVE);
        if (app->Activate() != 1) Die("the application did not start");
        MDSIO::SetServerActive(1);
        Connect();
    }

    void Connect() {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(app->BoundPort(false)));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) Die("no connection");
        OpenReqMSG open;
        open.SetUINT(elementid::InvokeID, 1);
        open.SetUINT(elementid::VersionNumber, 24);
        open.SetUINT(elementid::IdleTimeout, 30);
        open.SetUINT(elementid::CTIPeripheralID, 5000);
        open.SetUINT(elementid::ServiceMask, 0x10);
        open.SetUINT(elementid::CallMsgMask, 0xFFFFFFFF);
        open.SetUINT(elementid::AgentStateMask, 0x3FFF);
        open.SetUINT(elementid::ConfigMsgMask, 0);
        open.SetSTRING(elementid::ClientID, "bench");
        open.SetSTRING(elementid::UniqueInstanceID, kUniqueID);
        uint8_t password[1] = {0};
        open.SetUNSPEC(elementid::ClientPassword, password, 0);
        if (open.Validate(24) != 0) Die("an invalid OPEN_REQ");
        std::vector<uint8_t> frame(static_cast<size_t>(open.MaxEncodedSize(24) + 8));
        const int n = open.Encode(frame.data(), static_cast<int>(frame.size()), 24, 0x3FF, nullptr, 0);
        if (n <= 0 || send(fd, frame.data(), static_cast<size_t>(n), MSG_NOSIGNAL) != n) Die("no OPEN_REQ");
        // The OPEN_CONF: its header, then its body.
        uint8_t header[8];
        if (!ReadFully(header, 8) || plat::LoadBE32(header + 4) != OPEN_CONF) Die("no OPEN_CONF");
        std::vector<uint8_t> body(plat::LoadBE32(header));
        if (!ReadFully(body.data(), body.size())) Die("a short OPEN_CONF");
        SessionProtocol* master = SessionProtocol::Master();
        LockGuard<CTILockObject> hold(master->SessionLock(), "bench");
        SessionProtocol* session = SessionProtocol::FindSessionByUniqueInstanceID(kUniqueID);
        if (session == nullptr) Die("no session");
        sessionID = session->GetSessionID();
    }

    bool ReadFully(uint8_t* out, size_t n) {
        size_t got = 0;
        while (got < n) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0) return false;
            const ssize_t r = recv(fd, out + got, n - got, 0);
            if (r <= 0) return false;
            got += static_cast<size_t>(r);
        }
        return true;
    }

    // Reads what the session sent; returns the frames' count of `type`.
    int Drain(uint32_t type) {
        static std::vector<uint8_t> pending;
        uint8_t buffer[65536];
        for (;;) {
            const ssize_t r = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (r <= 0) break;
            pending.insert(pending.end(), buffer, buffer + r);
        }
        int count = 0;
        size_t at = 0;
        while (pending.size() - at >= 8) {
            const uint32_t length = plat::LoadBE32(pending.data() + at);
            if (pending.size() - at < 8 + length) break;
            count += plat::LoadBE32(pending.data() + at + 4) == type;
            at += 8 + length;
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<long>(at));
        return count;
    }
};

Rig& TheRig() {
    static Rig* rig = new Rig;
    return *rig;
}

// The OPC payload (ServerNumber word, then the message) of a confirmation of `type` with its
// fields and typed private data, for the rig's session.
std::vector<uint8_t> Message(uint16_t type, const opctest::Bytes& fields, const opctest::Bytes& opc) {
    opctest::CSTAMessageBuilder b;
    b.eventClass = 5;
    b.eventType = type;
    b.body = opctest::ConfBody(fields, kInvokeID, kClientInvokeID);
    b.opc = opc;
    b.strings[0] = kUniqueID;
    return b.Payload();
}

std::vector<uint8_t> UniversalFailure(uint32_t error, uint32_t peripheralError) {
    opctest::Bytes fields, opc;
    opctest::Add32(fields, error);
    opctest::Add32(opc, peripheralError);
    return Message(53, fields, opc);
}

void BM_Confirmation(benchmark::State& state, std::vector<uint8_t> payload, uint32_t answerType) {
    Rig& rig = TheRig();
    (void)rig.Drain(answerType);
    int answered = 0, pending = 0;
    for (auto _ : state) {
        OPCReq* request = OPCReq::Allocate(rig.sessionID, kClientInvokeID, kInvokeID);
        request->SendTime = request->ReceiveTime = 0;
        rig.app->ProcessOPCMessage(CTI_CSTA_MESSAGE, static_cast<int>(payload.size()), payload.data());
        if (++pending == kDrainEvery) {
            state.PauseTiming();
            answered += rig.Drain(answerType);
            pending = 0;
            state.ResumeTiming();
        }
    }
    answered += rig.Drain(answerType);
    if (OPCReq::CountLive() != 0) state.SkipWithError("a record was not released");
    state.counters["answered"] = answered;
}

BENCHMARK_CAPTURE(BM_Confirmation, UniversalFailure, UniversalFailure(13, 99), CONTROL_FAILURE_CONF);

// A hold confirmation: its body is the two invoke IDs, its answer HOLD_CALL_CONF.
std::vector<uint8_t> HoldCallConf() {
    return Message(kCSTAConfirmations[static_cast<int>(CSTAConfRow::TPCSTAHoldCallConfEventMsg)].eventType, {}, {});
}
BENCHMARK_CAPTURE(BM_Confirmation, HoldCallConf, HoldCallConf(), HOLD_CALL_CONF);

// The intake's and the matching's own part of a case, without the session: the message
// unpacked, its confirmation built, its record made, found and released.
void BM_IntakeAlone(benchmark::State& state, std::vector<uint8_t> payload) {
    auto record = std::make_unique<CSTAEventRecord>();
    const uint8_t* body = payload.data() + 4;
    const auto length = static_cast<uint32_t>(payload.size() - 4);
    for (auto _ : state) {
        (void)OPCReq::Allocate(1, kClientInvokeID, kInvokeID);
        if (!UnpackCSTAMessage(body, length, record.get())) Die("not unpacked");
        std::unique_ptr<TPCSTAConfMsg> conf = CreateCSTAConfirmation(record->PeripheralID(), *record);
        OPCReq* request = OPCReq::Find(conf->InvokeID());
        benchmark::DoNotOptimize(conf->GetError());
        OPCReq::Release(request);
    }
}
BENCHMARK_CAPTURE(BM_IntakeAlone, UniversalFailure, UniversalFailure(13, 99));
BENCHMARK_CAPTURE(BM_IntakeAlone, HoldCallConf, HoldCallConf());

// The anchor: what the session's write of one answer costs alone, a frame of the answer's
// size written to a loopback TCP connection of its own and drained the same way. The
// confirmation's own work is the difference.
void BM_LoopbackSendAnchor(benchmark::State& state) {
    static int out = -1, in = -1;
    if (out < 0) {
        const int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof addr;
        if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener, 1) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &size) != 0)
            Die("no listener");
        out = socket(AF_INET, SOCK_STREAM, 0);
        // As the session's own socket: every write goes out at once.
        const int one = 1;
        (void)setsockopt(out, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (connect(out, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) Die("no anchor connection");
        in = accept(listener, nullptr, nullptr);
        close(listener);
    }
    uint8_t frame[36] = {};
    uint8_t buffer[65536];
    int pending = 0;
    for (auto _ : state) {
        if (send(out, frame, sizeof frame, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof frame)) Die("a short send");
        if (++pending == kDrainEvery) {
            state.PauseTiming();
            while (recv(in, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
            }
            pending = 0;
            state.ResumeTiming();
        }
    }
}
BENCHMARK(BM_LoopbackSendAnchor);

}  // namespace
