// Encoding one call event of 40 mixed fields and 10 call-context variables, beside a plain
// copy of the same frame.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ctimsg/basemsg.h"
#include "ctimsg/elements.h"

namespace {

class BenchMSG : public BaseMSG {
public:
    BenchMSG() : BaseMSG(2) {
        m_MsgType = 25;
        // 16 fixed-part fields: numbers of every width.
        for (uint32_t id = 100; id < 108; ++id) Add(new UINTElement(id, true, true))->Set(id * 1000);
        for (uint32_t id = 13; id < 17; ++id) Add(new USHORTElement(id, true, true))->Set(7);
        for (uint32_t id = 69; id < 73; ++id) Add(new BOOLElement(id, true, true))->Set(1);
        // 24 floating fields: device ids, call variables and numbers.
        for (uint32_t id = 443; id < 453; ++id) {
            Add(new STRINGElement(id, 41, false, true))->Set("variable value " + std::to_string(id));
        }
        for (uint32_t id = 459; id < 469; ++id) Add(new STRINGElement(id, 64, false, true))->Set("5551234");
        for (uint32_t id = 480; id < 484; ++id) Add(new UINTElement(id, false, true))->Set(id);
        auto* ecc = new ExpandedCallContxt(false, true);
        for (int i = 0; i < 10; ++i) {
            ecc->Set("user.variable." + std::to_string(i), "some value of the call " + std::to_string(i));
        }
        Add(ecc);
        m_Valid = 1;
    }

private:
    template <typename T>
    T* Add(T* e) {
        if (m_Elements.empty()) {
            m_Chain = e;
        } else {
            m_Elements.back()->SetNext(e);
        }
        m_Elements.emplace_back(e);
        return e;
    }

    std::vector<std::unique_ptr<BaseElement>> m_Elements;
};

void BM_Encode(benchmark::State& state) {
    BenchMSG msg;
    uint32_t version = static_cast<uint32_t>(state.range(0));
    std::vector<uint8_t> buf(static_cast<size_t>(msg.MaxEncodedSize(version) + CTI_HEADER_SIZE));
    int n = 0;
    for (auto _ : state) {
        n = msg.Encode(buf.data(), static_cast<int>(buf.size()), version, ALL_CALL_VARIABLES,
                       nullptr, 0);
        benchmark::DoNotOptimize(buf.data());
        benchmark::ClobberMemory();
    }
    if (n < 0) state.SkipWithError("encode failed");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
    state.counters["frame_bytes"] = n;
}
BENCHMARK(BM_Encode)->Arg(19)->Arg(24);

void BM_EncodeSelected(benchmark::State& state) {
    BenchMSG msg;
    ECCSelection selection;
    for (int i = 0; i < 10; i += 2) {
        selection.push_back(ECCExpandedCallVariable{i, "user.variable." + std::to_string(i), 40, 0, 0});
    }
    std::vector<uint8_t> buf(static_cast<size_t>(msg.MaxEncodedSize(24) + CTI_HEADER_SIZE));
    int n = 0;
    for (auto _ : state) {
        n = msg.Encode(buf.data(), static_cast<int>(buf.size()), 24, ALL_CALL_VARIABLES, &selection, 0);
        benchmark::DoNotOptimize(buf.data());
        benchmark::ClobberMemory();
    }
    if (n < 0) state.SkipWithError("encode failed");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
}
BENCHMARK(BM_EncodeSelected);

void BM_MemcpyFrame(benchmark::State& state) {
    BenchMSG msg;
    uint32_t version = static_cast<uint32_t>(state.range(0));
    std::vector<uint8_t> frame(static_cast<size_t>(msg.MaxEncodedSize(version) + CTI_HEADER_SIZE));
    int n = msg.Encode(frame.data(), static_cast<int>(frame.size()), version, ALL_CALL_VARIABLES,
                       nullptr, 0);
    if (n < 0) {
        state.SkipWithError("encode failed");
        return;
    }
    std::vector<uint8_t> out(frame.size());
    for (auto _ : state) {
        std::memcpy(out.data(), frame.data(), static_cast<size_t>(n));
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
}
BENCHMARK(BM_MemcpyFrame)->Arg(19)->Arg(24);

}  // namespace
