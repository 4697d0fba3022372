// Decode and validate of a client's OPEN_REQ, and encode of the OPEN_CONF that answers it,
// both for a version 24 session. Run by hand from the release build.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "ctimsg/messages/messages.h"
#include "nuvlib/emsseams.h"
#include "platform/byteorder.h"

namespace {

void Put32(std::vector<uint8_t>& b, uint32_t v) {
    b.resize(b.size() + 4);
    plat::StoreBE32(b.data() + b.size() - 4, v);
}

void PutField(std::vector<uint8_t>& b, uint32_t tag, const char* text) {
    size_t n = std::strlen(text) + 1;
    b.resize(b.size() + 4);
    plat::StoreBE16(b.data() + b.size() - 4, static_cast<uint16_t>(tag));
    plat::StoreBE16(b.data() + b.size() - 2, static_cast<uint16_t>(n));
    b.insert(b.end(), text, text + n);
}

std::vector<uint8_t> OpenReqFrame() {
    std::vector<uint8_t> b;
    Put32(b, 0);
    Put32(b, 3);
    for (uint32_t v : {1u, 24u, 30u, 5000u, 0x80000001u, 0u, 0u, 0u, 0u, 0u, 0u}) Put32(b, v);
    PutField(b, 1, "desktop-client");
    PutField(b, 2, "secret");
    PutField(b, 5, "1001");
    PutField(b, 6, "4000");
    PutField(b, 308, "instance-0001");
    plat::StoreBE32(b.data(), static_cast<uint32_t>(b.size() - 8));
    return b;
}

void BM_DecodeValidateOpenReq(benchmark::State& state) {
    const std::vector<uint8_t> frame = OpenReqFrame();
    for (auto _ : state) {
        std::unique_ptr<BaseMSG> msg(BaseMSG::Decode(frame.data(), static_cast<int>(frame.size()), 24));
        if (!msg || msg->GetStatus() != 0) state.SkipWithError("OPEN_REQ did not decode");
        benchmark::DoNotOptimize(msg.get());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeValidateOpenReq);

void BM_EncodeOpenConf(benchmark::State& state) {
    OpenConfMSG conf;
    for (uint32_t id : {1u, 5u, 87u, 9u, 174u}) conf.SetUINT(id, 7);
    conf.SetBOOL(97, 1);
    conf.SetUSHORT(10, 1);
    conf.SetUSHORT(11, 0);
    conf.SetINT(423, 3);
    conf.SetUSHORT(429, 0);
    conf.SetSTRING(436, "1001");
    conf.SetSTRING(437, "4000");
    if (conf.ValidateToSend(24) != 0) state.SkipWithError("OPEN_CONF not valid");
    std::vector<uint8_t> buffer(static_cast<size_t>(conf.MaxEncodedSize(24)) + 8);
    for (auto _ : state) {
        int n = conf.Encode(buffer.data(), static_cast<int>(buffer.size()), 24, 1023, nullptr, 0);
        benchmark::DoNotOptimize(n);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EncodeOpenConf);

}  // namespace
