// CSTA messages to and from OPC, one core: building and writing a make-call request, and
// unpacking a service-initiated event or a make-call confirmation into its record and view.
// Each has a plain copy of the same bytes beside it.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "nuvlib/emsseams.h"
#include "opcmsg/cstaconfirmations.h"
#include "opcmsg/cstaeventpd.h"
#include "opcmsg/cstarequests.h"
#include "opcmsg/cstawire.h"
#include "platform/byteorder.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Add16(Bytes& b, uint32_t v) {
    b.resize(b.size() + 2);
    plat::StoreLE16(b.data() + b.size() - 2, static_cast<uint16_t>(v));
}
void Add32(Bytes& b, uint32_t v) {
    b.resize(b.size() + 4);
    plat::StoreLE32(b.data() + b.size() - 4, v);
}
void AddText(Bytes& b, const std::string& s, size_t width) {
    for (size_t i = 0; i < width; ++i) b.push_back(i < s.size() ? static_cast<uint8_t>(s[i]) : 0);
}
void AddString(Bytes& b, const std::string& s) {
    const size_t size = (s.size() + 6) & ~size_t{3};
    Add16(b, static_cast<uint32_t>(s.size()));
    b.insert(b.end(), s.begin(), s.end());
    b.insert(b.end(), size - 2 - s.size(), 0);
}
void AddConn(Bytes& b, uint32_t callID, const std::string& dev, uint32_t type) {
    Add32(b, callID);
    AddText(b, dev, 64);
    Add32(b, type);
}

Bytes Message(uint16_t cls, uint16_t type, const Bytes& body, const Bytes& opc) {
    Bytes m(244, 0);
    plat::StoreLE32(m.data() + 208, static_cast<uint32_t>(body.size()));
    plat::StoreLE32(m.data() + 216, static_cast<uint32_t>(opc.size()));
    AddString(m, "parlo-client-01");
    AddString(m, "1001.22.3");
    for (int i = 0; i < 16; ++i) AddString(m, "");
    Add16(m, 5);
    Add16(m, cls);
    Add16(m, type);
    m.insert(m.end(), body.begin(), body.end());
    m.insert(m.end(), opc.begin(), opc.end());
    return m;
}

struct Quiet {
    Quiet() { EMSInstallSeams(&kSeams); }
    static void Drop(const uint8_t*, uint32_t) {}
    static constexpr EMSSeams kSeams = {Drop, nullptr, nullptr, nullptr,
                                        nullptr, nullptr, nullptr, nullptr};
};

char g_CallVariables[410];
uint8_t g_UserToUser[130];
uint8_t g_ECC[200];

void Prepare() {
    for (int i = 0; i < 10; ++i)
        std::snprintf(g_CallVariables + 41 * i, 41, "call variable %d value", i);
    std::memset(g_UserToUser, 'u', sizeof g_UserToUser);
    std::memset(g_ECC, 0x20, sizeof g_ECC);
}

void BM_MakeCallBuildAndWrite(benchmark::State& state) {
    Quiet quiet;
    Prepare();
    alignas(8) static uint8_t out[kCSTAMessageRoom];
    int n = 0;
    for (auto _ : state) {
        TPCSTAMakeCallMsg make(5, 0x01000025, 77);
        make.SetCallingDevice("1001");
        make.SetCalledDevice("5551234");
        make.SetPDCallVariables(g_CallVariables);
        make.SetPDUserToUser(g_UserToUser, 130);
        make.SetPDECC(200, g_ECC);
        n = WriteCSTAMessage(out, sizeof out, nullptr, 0, nullptr, make, make.OPCBlock(),
                             "parlo-client-01");
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["bytes"] = n;
}
BENCHMARK(BM_MakeCallBuildAndWrite);

// A plain copy of the same 3400-odd message bytes.
void BM_MakeCallMemcpy(benchmark::State& state) {
    static uint8_t from[kCSTAMessageRoom], to[kCSTAMessageRoom];
    const size_t n = 244 + 20 + 4 + 6 + 364 + 2764;
    for (auto _ : state) {
        std::memcpy(to, from, n);
        benchmark::DoNotOptimize(to);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MakeCallMemcpy);

Bytes ServiceInitiatedMessage() {
    Bytes body;
    Add32(body, 1);
    AddConn(body, 906, "1001", 0);
    Bytes pd;
    Add32(pd, 12);
    Add32(pd, 1);
    Add32(pd, 0);
    Add32(pd, 3);
    AddConn(pd, 907, "1002.1.2", 1);
    AddText(pd, "22", 16);
    Add32(pd, 5000);
    Add32(pd, 150001);
    Add32(pd, 33);
    AddString(pd, "correlation-data-1");
    return Message(4, 66, body, pd);
}

Bytes MakeCallConfirmationMessage() {
    Bytes body;
    Add32(body, 0x01000025);
    Add32(body, 77);
    AddConn(body, 901, "1001.22.3", 1);
    Bytes pd;
    Add32(pd, 7);
    Add32(pd, 1);
    return Message(5, 24, body, pd);
}

void BM_ServiceInitiatedUnpackAndView(benchmark::State& state) {
    Quiet quiet;
    const Bytes m = ServiceInitiatedMessage();
    auto record = std::make_unique<CSTAEventRecord>();
    for (auto _ : state) {
        if (!UnpackCSTAMessage(m.data(), static_cast<uint32_t>(m.size()), record.get()))
            state.SkipWithError("unpack");
        CSTAServiceInitiatedEvent_PD view(record->OPCBlock());
        benchmark::DoNotOptimize(view.COC.callID);
        benchmark::DoNotOptimize(view.CorrData.data());
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["bytes"] = static_cast<double>(m.size());
}
BENCHMARK(BM_ServiceInitiatedUnpackAndView);

void BM_MakeCallConfirmationUnpackAndBuild(benchmark::State& state) {
    Quiet quiet;
    const Bytes m = MakeCallConfirmationMessage();
    auto record = std::make_unique<CSTAEventRecord>();
    for (auto _ : state) {
        if (!UnpackCSTAMessage(m.data(), static_cast<uint32_t>(m.size()), record.get()))
            state.SkipWithError("unpack");
        TPCSTAMakeCallConfEventMsg conf(5, *record, record->OPCBlock());
        benchmark::DoNotOptimize(conf.Bytes());
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["bytes"] = static_cast<double>(m.size());
}
BENCHMARK(BM_MakeCallConfirmationUnpackAndBuild);

// A plain copy of a received message of the same size, for both unpack figures.
void BM_ReceivedMessageMemcpy(benchmark::State& state) {
    const Bytes m = state.range(0) == 0 ? ServiceInitiatedMessage() : MakeCallConfirmationMessage();
    Bytes to(m.size());
    for (auto _ : state) {
        std::memcpy(to.data(), m.data(), m.size());
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["bytes"] = static_cast<double>(m.size());
}
BENCHMARK(BM_ReceivedMessageMemcpy)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
