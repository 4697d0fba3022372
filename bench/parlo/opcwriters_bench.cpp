// The OPC writers' build cost and the link's dispatch of one OPC message. Messages end in
// an output of the link's that drops them (no MDS), so these measure the build alone.
#include <benchmark/benchmark.h>

#include "mdstimer/timer.h"
#include "opcmsg/cstarequests.h"
#include "parlo/common/ctiregistry.h"
#include "parlo/opclink/mdsio.h"
#include "parlo/opclink/opclinkoutput.h"
#include "opcmsg/opctypes.h"
#include "parlo/opclink/opcwriters.h"
#include "parlo/server/server.h"
#include "platform/clock.h"

namespace {

// Touches the last byte, so that the build is not optimised away, and drops the message.
class DroppingOutput final : public OPCLinkOutput {
public:
    void Send(uint8_t, uint8_t, OPCStorage storage, uint16_t length, uint32_t) override {
        benchmark::DoNotOptimize(storage[length - 1]);
    }
};

Server& TheServer() {
    static Server* server = [] {
        const uint64_t now = plat::FileTimeNow();
        TimerMaster::Create(now, now, false, 0);
        auto* s = new Server;
        auto* registry = new CTIRegistry;
        registry->SetDynamic(CTIRegistry::MaxLockTimeout, 500);
        s->SetRegistry(registry);
        s->ResetMeters();
        MDSIO::SetServerNumber(3);
        static DroppingOutput output;
        (void)InstallOPCLinkOutput(&output);
        return s;
    }();
    return *server;
}

void BM_SendSetCallDataReq(benchmark::State& state) {
    TheServer();
    SetCallDataFields f;
    f.invokeID = 0x01000001;
    f.peripheralID = 5000;
    f.callID = 12345;
    f.deviceID = "4001";
    f.agentID = "1001";
    f.ani = "5551234";
    for (int i = 0; i < 10; ++i) f.callVariables[i] = "call variable " + std::to_string(i + 1);
    std::vector<uint8_t> ecc(200, 0x5A);
    f.eccData = ecc.data();
    f.eccLength = static_cast<uint32_t>(ecc.size());
    for (auto _ : state) benchmark::DoNotOptimize(SendSetCallDataReq(f));
}
BENCHMARK(BM_SendSetCallDataReq);

void BM_SendCSTAMessage(benchmark::State& state) {
    TheServer();
    TPCSTAHoldCallMsg hold(5000, 0x0100000A, 0x33);
    for (auto _ : state) benchmark::DoNotOptimize(SendCSTAMessage(nullptr, -1, nullptr, hold, nullptr, kNoSession));
}
BENCHMARK(BM_SendCSTAMessage);

void BM_SendAck(benchmark::State& state) {
    TheServer();
    for (auto _ : state) benchmark::DoNotOptimize(MDSIO::SendAck(CTI_SET_IDLE_REQ, CTI_OK_ACK, 3, 0));
}
BENCHMARK(BM_SendAck);

// Meter 17's road: one OPC message through the link's dispatch to the (unserved) application.
void BM_ProcessOPCMessage(benchmark::State& state) {
    TheServer();
    std::vector<uint8_t> payload(64, 0);
    for (auto _ : state) MDSIO::ProcessOPCMessage(14, payload.data(), payload.size());
}
BENCHMARK(BM_ProcessOPCMessage);

}  // namespace
