// parlo-fanout-driver: the server side of the fan-out and many-session figures, run by hand
// (bench/parlo/fanout.sh). It runs the real transport and session layer with a minimal
// application (it confirms every OPEN_REQ and answers CLOSE_REQ) and, once --sessions
// ALL_EVENTS sessions are open, distributes the stamped CALL_DELIVERED_EVENT through
// SessionProtocol::WriteMSG with DistributeAllEvents, at --rate events/s (0: as fast as the
// sessions' queues drain; -1: no events, sessions only).
//
//   parlo-fanout-driver --port P [--tls-port P2 --cert FILE --key FILE] [--sessions N]
//                       [--rate R] [--writers W] [--ready-file FILE]
// --writers: the transport's writer threads (default: the transport's own).
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ctimsg/elementids.h"
#include "ctimsg/messages/messages.h"
#include "ctimsg/msgtypes.h"
#include "mdstimer/systimer.h"
#include "mdstimer/timer.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/common/ctiregistry.h"
#include "parlo/server/server.h"
#include "parlo/session/session.h"
#include "parlo/session/sslchannel.h"
#include "peers/client/loadevent.h"
#include "platform/clock.h"

namespace {

// The session master and its host; its "application" is the driver's input thread, which
// keeps no client records.
class DriverMaster final : public SessionProtocol, public SessionHost {
public:
    DriverMaster() : SessionProtocol(static_cast<SessionHost&>(*this)) {}
    void QueueApplicationMSG(int marker) override {
        if (marker != -1) return;
        std::lock_guard<std::mutex> hold(mu);
        ++markers;
        cv.notify_one();
    }
    void ResetInputEvent() override {}
    int SessionCreated(int32_t) override { return 1; }
    int SessionFailed(int32_t) override { return 1; }
    int SessionDestroyed(int32_t) override { return 1; }
    bool HasClient(uint32_t) override { return false; }
    bool IsTressikClient(uint32_t) override { return false; }
    bool AppPathContains(uint32_t, uint32_t, uint32_t) override { return false; }
    bool UTF8ConversionAllowed() override { return false; }
    std::mutex mu;
    std::condition_variable cv;
    uint64_t markers = 0;
};

void ServeInput(DriverMaster& master, std::atomic<bool>& stop) {
    while (!stop.load()) {
        {
            std::unique_lock<std::mutex> hold(master.mu);
            (void)plat::WaitUntil(master.cv, hold, plat::DeadlineAfterMs(100),
                                  [&] { return master.markers > 0 || stop.load(); });
            master.markers = 0;
        }
        while (std::unique_ptr<SessionMSG> frame = SessionProtocol::DequeueInputMessage()) {
            BaseMSGPtr msg = frame->TakeDecoded();
            if (!msg) continue;
            const auto id = static_cast<int32_t>(frame->SessionID());
            if (frame->GetType() == OPEN_REQ) {
                BaseMSGPtr conf = CTIApplication::MakeOpenConf(*msg);
                const char* ext = msg->GetSTRING(elementid::AgentExtension);
                const bool agentDevice = (msg->GetUINT(elementid::ServiceMask) & 1) && ext && *ext;
                (void)SessionProtocol::ConfirmOpen(id, *conf, frame->Stamp(), agentDevice);
            } else if (frame->GetType() == CLOSE_REQ) {
                (void)SessionProtocol::CloseSession(id);
            }
        }
    }
}

size_t OpenAllEvents(DriverMaster& master) {
    LockGuard<CTILockObject> hold(master.SessionLock(), "parlo-fanout-driver");
    return SessionProtocol::ServiceListOf(SessionProtocol::ListAllEvents).size();
}

}  // namespace

int main(int argc, char** argv) {
    int port = 0, tlsPort = 0, sessions = 0;
    double rate = -1;
    std::string ready, cert, key;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--port") port = std::atoi(value().c_str());
        else if (a == "--tls-port") tlsPort = std::atoi(value().c_str());
        else if (a == "--sessions") sessions = std::atoi(value().c_str());
        else if (a == "--rate") rate = std::atof(value().c_str());
        else if (a == "--ready-file") ready = value();
        else if (a == "--writers") TransportProtocol::SetWriterThreads(std::atoi(value().c_str()));
        else if (a == "--cert") cert = value();
        else if (a == "--key") key = value();
        else {
            fprintf(stderr, "usage: parlo-fanout-driver --port P [--tls-port P2 --cert F --key F] "
                            "[--sessions N] [--rate R] [--writers W] [--ready-file F]\n");
            return 2;
        }
    }
    const uint64_t now = plat::FileTimeNow();
    TimerMaster::Create(now, now, true, 0);
    StartSystemEventTimer(10, 1);
    Server server;
    server.SetRegistryBase("ZUR\\parlo");
    server.SetSide(1);
    CTIRegistry registry;
    registry.SetDynamic(CTIRegistry::MaxLockTimeout, 5000);
    registry.SetDynamic(CTIRegistry::ConnectionTimeout, 120);
    // Deep queues: at saturation the driver waits for them to drain instead.
    registry.SetDynamic(CTIRegistry::MaxQueueAllEventClient, 4096);
    registry.SetDynamic(CTIRegistry::MaxQueueClientEventClient, 64);
    registry.SetDynamic(CTIRegistry::MaxClientConnections, 0);
    server.SetRegistry(&registry);
    server.SetState(Server::IDLE);
    auto master = std::make_unique<DriverMaster>();
    TransportProtocol::sm_SecurityMode = 0;
    if (SessionProtocol::Configure(&registry) != 1) return 1;
    TransportProtocol::sm_ListenPort = port;
    TransportProtocol::sm_ListenSecurePort = tlsPort;
    if (tlsPort != 0 && !SecureChannelConfigure(cert, key)) {
        fprintf(stderr, "parlo-fanout-driver: cannot load %s / %s\n", cert.c_str(), key.c_str());
        return 1;
    }
    server.SetState(Server::ACTIVATING);
    server.SetState(Server::ACTIVE);
    if (SessionProtocol::Open() != 1) {
        fprintf(stderr, "parlo-fanout-driver: cannot listen on %d\n", port);
        return 1;
    }
    std::atomic<bool> stop{false};
    std::thread input([&] { ServeInput(*master, stop); });
    if (!ready.empty()) std::ofstream(ready) << master->BoundPort(false) << "\n";

    if (rate >= 0 && sessions > 0) {
        parloload::DefineFanoutVariables();
        while (OpenAllEvents(*master) < static_cast<size_t>(sessions)) plat::SleepForMs(50);
        BaseMSGPtr event = parloload::MakeFanoutEvent(plat::MonotonicNs());
        {
            std::vector<uint8_t> frame(static_cast<size_t>(event->MaxEncodedSize(24) + 8));
            printf("event bytes=%d\n",
                   event->Encode(frame.data(), static_cast<int>(frame.size()), 24, 0x3FF, nullptr, 0));
            fflush(stdout);
        }
        const int64_t period = rate > 0 ? static_cast<int64_t>(1e9 / rate) : 0;
        int64_t next = plat::MonotonicNs();
        const uint32_t backlog = static_cast<uint32_t>(sessions) * 16;
        for (;;) {
            if (period > 0) {
                plat::SleepUntil(next);
                next += period;
            } else {
                // As fast as the sessions take it: no session's queue may run full. Copies
                // given by reference count as much as queued ones.
                while (static_cast<int64_t>(TransportMSG::LiveCount()) + TransportProtocol::SharedCopiesWaiting() >
                       static_cast<int64_t>(backlog))
                    plat::SleepForMs(1);
            }
            parloload::StampFanoutEvent(*event, plat::MonotonicNs());
            (void)SessionProtocol::WriteMSG(nullptr, 0, *event, SessionProtocol::DistributeAllEvents);
        }
    }
    for (;;) plat::SleepForMs(1000);
}
