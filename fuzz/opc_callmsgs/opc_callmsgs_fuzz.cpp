// OPC's call messages read from untrusted bytes: the first byte chooses the reader, the rest
// is the body with its length, copied into a block of its exact size so that any read past it
// is caught. An accepted body holds no more than its bytes allow; a refused one leaves the
// struct empty.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "opcmsg/callmsgs.h"

namespace {

void Check(bool fact) {
    if (!fact) std::abort();
}

// Text, ECC and history bytes of the call data: each string takes at least 2 bytes more than
// its text, the ECC block 4 more than its data, a history entry 6 more than its signature.
size_t CallDataBytes(const OPCCallData& d) {
    size_t n = d.ECC.size() + 4;
    for (const std::string* s : {&d.SrcDeviceID, &d.DestDeviceID, &d.ANI, &d.UserToUser, &d.DNIS,
                                 &d.CED, &d.DialedNumber, &d.CallWrapupData, &d.CustomerPhoneNumber,
                                 &d.CustomerAccountNumber})
        n += s->size() + 2;
    for (const std::string& v : d.CallVariable) n += v.size() + 2;
    for (const OPCCallHistoryEntry& h : d.History) n += h.CTIClientSignature.size() + 6;
    return n;
}

void CheckCallData(const OPCCallData& d) {
    Check(d.ECC.size() <= kOPCCallMaxECCLength);
    Check(d.History.size() <= kOPCCallMaxHistory);
    Check(d.History.size() <= static_cast<size_t>(d.NumCTIClients > 0 ? d.NumCTIClients : 0));
    for (const std::string& v : d.CallVariable) Check(v.size() <= kOPCCallVariableLength);
}

void Created(const uint8_t* body, size_t length) {
    OPCCallCreatedEvent event;
    const OPCBodyResult r = ParseCallCreatedEvent(body, length, &event);
    if (!r.ok) return Check(event == OPCCallCreatedEvent());
    CheckCallData(event);
    Check(56 + CallDataBytes(event) <= length);
}

void DataUpdate(const uint8_t* body, size_t length) {
    OPCCallDataUpdateEvent event;
    const OPCBodyResult r = ParseCallDataUpdateEvent(body, length, &event);
    if (!r.ok) return Check(event == OPCCallDataUpdateEvent());
    CheckCallData(event);
    Check(60 + CallDataBytes(event) + event.SrcAgentExtension.size() + event.DestAgentExtension.size() +
              4 <= length);
}

void State(const uint8_t* body, size_t length) {
    OPCCallStateEvent event;
    const OPCBodyResult r = ParseCallStateEvent(body, length, &event);
    Check(r.ok ? 22 + event.ConnectionDeviceID.size() <= length : event == OPCCallStateEvent());
}

void Reclassified(const uint8_t* body, size_t length) {
    OPCCallReclassifiedEvent event;
    const OPCBodyResult r = ParseCallReclassifiedEvent(body, length, &event);
    Check(r.ok ? 38 + event.OldDeviceID.size() + event.NewSrcDeviceID.size() +
                         event.NewDestDeviceID.size() <= length
               : event == OPCCallReclassifiedEvent());
}

void TypeChanged(const uint8_t* body, size_t length) {
    OPCCallTypeChangedEvent event;
    const OPCBodyResult r = ParseCallTypeChangedEvent(body, length, &event);
    Check(r.ok ? 18 + event.ConnectionDeviceID.size() <= length : event == OPCCallTypeChangedEvent());
}

using Reader = void (*)(const uint8_t*, size_t);
// In the order of the seed corpus's first byte.
constexpr Reader kReaders[] = {Created, DataUpdate, State, Reclassified, TypeChanged};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t length = size - 1;
    auto body = std::make_unique<uint8_t[]>(length == 0 ? 1 : length);
    if (length > 0) std::memcpy(body.get(), data + 1, length);
    kReaders[data[0] % std::size(kReaders)](body.get(), length);
    return 0;
}
