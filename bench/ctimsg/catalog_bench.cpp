// A fully populated CALL_DELIVERED_EVENT (every field, all ten call variables, ten call-context
// variables, one request-enablement mask) for a version 24 session: its encode, its decode
// with the received-side validation, and a memcpy of the same frame as the floor. The server
// encodes each event once per distinct (version, masks, selection), so encode bounds its event
// rate. Run by hand from the release build.
#include <benchmark/benchmark.h>

#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "ctimsg/elementdict.h"
#include "ctimsg/messages/catalog_helpers.h"
#include "ctimsg/messages/messages.h"
#include "ctimsg/names.h"

namespace {

constexpr uint32_t kVersion = 24;
constexpr uint32_t kAllCallVariables = 1023;
constexpr uint32_t kServiceMask = 0x01000000;

uint32_t Id(const char* cls) { return elementdict::FindRowByClass(cls)->id; }

void Num(BaseMSG& msg, const char* cls, uint32_t value) {
    BaseElement* e = msg.FindElement(Id(cls), 0, false);
    if (auto* u32 = dynamic_cast<NumberElement<uint32_t, 4>*>(e)) {
        u32->Set(value);
    } else if (auto* u16 = dynamic_cast<NumberElement<uint16_t, 2>*>(e)) {
        u16->Set(static_cast<uint16_t>(value));
    }
}

std::string Digits(int n, char first) {
    std::string s;
    for (int i = 0; i < n; ++i) s += static_cast<char>('0' + (first - '0' + i) % 10);
    return s;
}

std::unique_ptr<CallDeliveredEventMSG> FullCallDelivered(ECCSelection& selection) {
    auto msg = std::make_unique<CallDeliveredEventMSG>(false, false);
    for (const auto& [cls, value] : std::initializer_list<std::pair<const char*, uint32_t>>{
             {"MonitorID", 1},           {"CTIPeripheralID", 5000},    {"PeripheralType", 3},
             {"ConnectionDeviceIDType", 0}, {"ConnectionCallID", 0x01020304}, {"LineHandle", 1},
             {"LineTypeField", 2},       {"ServiceNumber", 4000},      {"ServiceID", 4001},
             {"SkillGroupNumber", 300},  {"SkillGroupID", 301},        {"SkillGroupPriority", 1},
             {"AlertingDeviceType", 70}, {"CallingDeviceType", 71},    {"CalledDeviceType", 72},
             {"LastRedirectDeviceType", 0xFFFF}, {"LocalConnectionState", 3}, {"EventCause", 22},
             {"TrunkNumber", 17},        {"TrunkGroupNumber", 18},
             {"SecondaryConnectionCallID", 0x0A0B0C0D}}) {
        Num(*msg, cls, value);
    }
    for (const auto& [cls, text] : std::initializer_list<std::pair<const char*, const char*>>{
             {"ConnectionDeviceID", "SEP00112233"}, {"AlertingDeviceID", "1001"},
             {"CallingDeviceID", "6175551234"},     {"CalledDeviceID", "8005550100"},
             {"LastRedirectDeviceID", "2002"},      {"ANIField", "6175551234"},
             {"ANI_II_Field", "0"},                {"DNISField", "8005550100"},
             {"DialedNumberField", "5550100"},      {"CEDField", "1234567890"},
             {"CallWrapupData", "wrap-up-data"}}) {
        msg->SetSTRING(Id(cls), text);
    }
    const uint8_t uui[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    msg->SetUNSPEC(Id("UserToUserField"), uui, sizeof uui);
    for (uint32_t k = 0; k < 10; ++k) {
        msg->SetSTRING(Id("CallVariable1") + k, "call-variable-" + Digits(6, static_cast<char>('0' + k)));
    }
    for (int k = 0; k < 10; ++k) {
        std::string name = "user.ecc.var" + std::to_string(k);
        // Names and values well inside the limits: every one is taken.
        (void)msg->SetECC(Id("ExpandedCallContxt"), name, "value-" + Digits(14, static_cast<char>('0' + k)));
        ECCExpandedCallVariable def;
        def.ExpandedCallVariableID = 100 + k;
        def.EnterpriseName = name;
        def.MaximumLength = 40;
        selection.push_back(def);
    }
    SetECCCounts(*msg);
    auto* masks = dynamic_cast<REMaskArray*>(msg->FindElement(Id("REMaskArray"), 0, false));
    if (masks != nullptr) {
        REMaskEntry* entry = masks->AddREMask();
        entry->Set("SEP00112233", "1001", 0x01020304);
        entry->m_CallMask.SetBits32(0x00FF00FF);
    }
    return msg;
}

struct Fixture {
    ECCSelection selection;
    std::unique_ptr<CallDeliveredEventMSG> msg;
    std::vector<uint8_t> frame;
    bool ok = false;
    std::string why = "CALL_DELIVERED_EVENT not valid";

    Fixture() {
        msg = FullCallDelivered(selection);
        if (msg->ValidateToSend(kVersion) != 0) {
            why += std::string(": ") + ElementName(msg->GetFailingElement());
            return;
        }
        frame.resize(static_cast<size_t>(msg->MaxEncodedSize(kVersion)) + 8);
        int n = msg->Encode(frame.data(), static_cast<int>(frame.size()), kVersion,
                            kAllCallVariables, &selection, kServiceMask);
        if (n < 0) return;
        frame.resize(static_cast<size_t>(n));
        ok = true;
    }
};

void BM_EncodeCallDelivered(benchmark::State& state) {
    Fixture f;
    if (!f.ok) state.SkipWithError(f.why.c_str());
    std::vector<uint8_t> out(f.frame.size() + 64);
    for (auto _ : state) {
        int n = f.msg->Encode(out.data(), static_cast<int>(out.size()), kVersion, kAllCallVariables,
                              &f.selection, kServiceMask);
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(f.frame.size()));
    state.counters["frame_bytes"] = static_cast<double>(f.frame.size());
}
BENCHMARK(BM_EncodeCallDelivered);

// The same without a registered-variable selection: every context variable goes, and the
// encoder matches no names.
void BM_EncodeCallDeliveredNoSelection(benchmark::State& state) {
    Fixture f;
    if (!f.ok) state.SkipWithError(f.why.c_str());
    std::vector<uint8_t> out(f.frame.size() + 64);
    for (auto _ : state) {
        int n = f.msg->Encode(out.data(), static_cast<int>(out.size()), kVersion, kAllCallVariables,
                              nullptr, kServiceMask);
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EncodeCallDeliveredNoSelection);

// What a send to one session costs in all: the per-session validation, then the encode.
void BM_ValidateEncodeCallDelivered(benchmark::State& state) {
    Fixture f;
    if (!f.ok) state.SkipWithError(f.why.c_str());
    std::vector<uint8_t> out(f.frame.size() + 64);
    for (auto _ : state) {
        int rc = f.msg->ValidateToSend(kVersion);
        int n = f.msg->Encode(out.data(), static_cast<int>(out.size()), kVersion, kAllCallVariables,
                              &f.selection, kServiceMask);
        benchmark::DoNotOptimize(rc + n);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ValidateEncodeCallDelivered);

void BM_DecodeValidateCallDelivered(benchmark::State& state) {
    Fixture f;
    if (!f.ok) state.SkipWithError(f.why.c_str());
    for (auto _ : state) {
        std::unique_ptr<BaseMSG> got(
            BaseMSG::Decode(f.frame.data(), static_cast<int>(f.frame.size()), kVersion));
        if (!got || got->GetStatus() != 0) {
            state.SkipWithError("CALL_DELIVERED_EVENT did not decode");
            break;
        }
        benchmark::DoNotOptimize(got.get());
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(f.frame.size()));
}
BENCHMARK(BM_DecodeValidateCallDelivered);

void BM_MemcpyCallDeliveredFrame(benchmark::State& state) {
    Fixture f;
    std::vector<uint8_t> out(f.frame.size());
    for (auto _ : state) {
        std::memcpy(out.data(), f.frame.data(), f.frame.size());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(f.frame.size()));
}
BENCHMARK(BM_MemcpyCallDeliveredFrame);

}  // namespace
