// Merging one call into another: a consultation joins the held call as a three-party
// conference, with a device monitor at each agent's phone. Ports do nothing (encoding
// excluded); the calls are built and cleared outside the timed part. Run by hand on the
// release preset.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "nuvlib/lock.h"
#include "nuvlib/stdqueue.h"
#include "parlo/model/call.h"
#include "parlo/model/csta.h"
#include "parlo/model/noopports.h"
#include "parlo/model/ports.h"

namespace {

// Two sessions, each with a monitor list; everything else as the no-op ports answer.
class NoopPorts : public model::NoopPorts {
public:
    NoopPorts() {
        for (StdQueue& l : lists_) l.SetLinkOffset(CTICSTAMonitor::ClientLinkOffset());
        Install();
    }
    bool Find(int32_t sessionID, model::ClientInfo& out) override {
        if (sessionID < 1 || sessionID > 2) return false;
        out.sessionID = sessionID;
        out.clientID = "bench";
        out.version = 24;
        out.monitorList = &lists_[sessionID - 1];
        return true;
    }

private:
    StdQueue lists_[2];
};

CTICSTADevice* Device(int type, const char* id) {
    CSTAExtendedDeviceID rec;
    std::snprintf(rec.deviceID, sizeof rec.deviceID, "%s", id);
    rec.deviceIDType = type;
    return FindOrCreateCTICSTADevice(5000, &rec, "", "bench", false, true);
}

// newCallID: -1 for a conference (the held call keeps its CallID), or the consultation's
// CallID for a transfer that re-keys the held call.
void TransferThreeParties(benchmark::State& state, bool rekey) {
    static NoopPorts ports;
    CTICSTADevice* trunk = Device(70, "9001");
    CTICSTADevice* a = Device(0, "1001");
    CTICSTADevice* b = Device(0, "1002");
    static bool monitored = false;
    if (!monitored) {
        for (auto [session, device] : {std::pair{1, a}, std::pair{2, b}})
            CTICSTAMonitor::Alloc(CTICSTAMonitor::Device, session, nullptr)->SetSubject(device);
        monitored = true;
    }
    uint32_t next = 1000;
    for (auto _ : state) {
        state.PauseTiming();
        Call* held = Call::Alloc(5000, next, 0, "9001", 48, 1, 0, 0, 0);
        Call* consult = Call::Alloc(5000, next + 1, 0, "1001", 48, 1, 0, 0, 0);
        next += 2;
        CTICSTAConnection::Alloc(trunk, held, 3, 1, 0, "9001", "in");
        CTICSTAConnection::Alloc(a, held, 4, 2, 0, "1001", "held");
        CTICSTAConnection::Alloc(a, consult, 3, 1, 0, "1001", "consult");
        CTICSTAConnection::Alloc(b, consult, 3, 2, 0, "1002", "consult");
        held->ReportCall();
        consult->ReportCall();
        uint16_t refType = 0;
        std::string refID = "9001";
        state.ResumeTiming();
        Call* left = consult->TransferConnections(held, rekey ? consult->m_CallID : 0xFFFFFFFF,
                                                  refType, refID);
        Call::Release(left, true);
        benchmark::DoNotOptimize(held);
        state.PauseTiming();
        Call::Free(held, true);
        state.ResumeTiming();
    }
}

void BM_TransferConnectionsConference(benchmark::State& state) {
    TransferThreeParties(state, false);
}
BENCHMARK(BM_TransferConnectionsConference);

void BM_TransferConnectionsReKey(benchmark::State& state) { TransferThreeParties(state, true); }
BENCHMARK(BM_TransferConnectionsReKey);

}  // namespace

