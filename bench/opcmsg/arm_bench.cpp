// Writing a filled task request and reading OPC's route request and application-path up
// response, each beside a plain copy of the same bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "opcmsg/acmimsg.h"
#include "opcmsg/armapppath.h"
#include "opcmsg/armtask.h"

namespace {

using Bytes = std::vector<uint8_t>;

ARMOfferApplicationTaskReqMsg FilledRequest() {
    ARMOfferApplicationTaskReqMsg m;
    m.SetInvokeID(0x01000001);
    m.SetMRDID(5000);
    m.SetZURAgentID(5001);
    m.SetPreviousZURTaskID(1, 2, 3);
    m.SetSkillGroupID(10);
    m.SetServiceID(20);
    m.SetClientInvokeID(7);
    m.SetScriptSelector("EmailRouting");
    m.SetApplicationString1("customer=4711");
    m.SetApplicationString2("queue=support");
    std::array<CString, 10> vars;
    for (size_t i = 0; i < vars.size(); ++i) vars[i] = std::string(20 + 2 * i, static_cast<char>('a' + i));
    m.SetCallVariables(vars);
    const Bytes ecc(200, 0x41);
    m.SetExpandedCallContext(200, ecc.data());
    m.SetUniqueInstanceID("desktop-instance-0042");
    return m;
}

template <class M>
Bytes Wire(const M& m) {
    Bytes b(m.GetLength());
    if (m.Serialize(b.data(), b.size()) == nullptr) std::abort();
    return b;
}

Bytes RouteRequestBytes() {
    ACMIRouteRequestEventMsg m;
    m.SetInvokeID(1);
    m.SetPeripheralID(5000);
    m.SetxRefID(77);
    m.SetCurrentRoute("8000");
    m.SetCallingDevice("5551234");
    m.SetDeviceID("4001");
    m.SetCOCConnectionDeviceID("4002");
    m.SetCED("1234");
    std::array<CString, 10> vars;
    for (size_t i = 0; i < vars.size(); ++i) vars[i] = std::string(20 + 2 * i, static_cast<char>('a' + i));
    m.SetCallVariables(vars);
    const Bytes ecc(200, 0x41);
    m.SetExpandedCallContext(200, ecc.data());
    return Wire(m);
}

Bytes UpResponseBytes() {
    ARMAppPathUpRespMsg m;
    for (int32_t i = 0; i < 8; ++i) m.AddAppPathMember(5000 + i, 1 + i % 2);
    return Wire(m);
}

void BM_SerializeOfferApplicationTaskReq(benchmark::State& state) {
    const ARMOfferApplicationTaskReqMsg m = FilledRequest();
    uint8_t out[kOPCMessageBodyRoom];
    for (auto _ : state) {
        uint8_t* end = m.Serialize(out, sizeof out);
        benchmark::DoNotOptimize(end);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * m.GetLength());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SerializeOfferApplicationTaskReq);

void BM_CopyOfferApplicationTaskReqBytes(benchmark::State& state) {
    const Bytes in = Wire(FilledRequest());
    uint8_t out[kOPCMessageBodyRoom];
    for (auto _ : state) {
        std::memcpy(out, in.data(), in.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(in.size()));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CopyOfferApplicationTaskReqBytes);

void BM_ReadRouteRequest(benchmark::State& state) {
    const Bytes in = RouteRequestBytes();
    for (auto _ : state) {
        ACMIRouteRequestEventMsg m(in.data(), in.size());
        benchmark::DoNotOptimize(m);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(in.size()));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReadRouteRequest);

void BM_CopyRouteRequestBytes(benchmark::State& state) {
    const Bytes in = RouteRequestBytes();
    uint8_t out[kOPCMessageBodyRoom];
    for (auto _ : state) {
        std::memcpy(out, in.data(), in.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(in.size()));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CopyRouteRequestBytes);

void BM_ReadAppPathUpResp8(benchmark::State& state) {
    const Bytes in = UpResponseBytes();
    for (auto _ : state) {
        ARMAppPathUpRespMsg m(in.data(), in.size());
        benchmark::DoNotOptimize(m);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(in.size()));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReadAppPathUpResp8);

void BM_CopyAppPathUpResp8Bytes(benchmark::State& state) {
    const Bytes in = UpResponseBytes();
    uint8_t out[kOPCMessageBodyRoom];
    for (auto _ : state) {
        std::memcpy(out, in.data(), in.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(in.size()));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CopyAppPathUpResp8Bytes);

}  // namespace

BENCHMARK_MAIN();
