// OPC's snapshot of a device checked against tracked calls: u32 Count, u32 entry offset,
// a flag byte (bit 0 fix, bit 1 create calls), then the raw data the offsets count from.
// Nothing may read outside the data; the model is put back after every input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "nuvlib/emsseams.h"
#include "nuvlib/lock.h"
#include "parlo/model/call.h"
#include "parlo/model/csta.h"
#include "parlo/model/noopports.h"
#include "parlo/model/ports.h"

namespace {

void Quiet(const uint8_t*, uint32_t) {}
constexpr EMSSeams kQuiet = {Quiet, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

class NoopPorts : public model::NoopPorts {
public:
    NoopPorts() { Install(); }
    // Validates for real, so OPC's values reach the message checks.
    int ValidateMessage(const char*, BaseMSG& msg) override;
};

}  // namespace

#include "ctimsg/basemsg.h"
#include "platform/byteorder.h"

int NoopPorts::ValidateMessage(const char*, BaseMSG& msg) { return msg.ValidateToSend(24) == 0; }

namespace {

CTICSTADevice* Device(int type, const char* id) {
    CSTAExtendedDeviceID rec;
    std::snprintf(rec.deviceID, sizeof rec.deviceID, "%s", id);
    rec.deviceIDType = type;
    return FindOrCreateCTICSTADevice(5000, &rec, "", "fuzz", false, true);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = (EMSInstallSeams(&kQuiet), true);
    (void)ready;
    static NoopPorts ports;
    if (size < 9 || size > 9 + 990) return 0;
    // Tracked: a call at the device in each of a few states, one elsewhere, one dotted.
    CTICSTADevice* d = Device(0, "1002");
    CTICSTADevice* other = Device(0, "1001");
    Call* a = Call::Alloc(5000, 1, 0, "1002", 48, 1, 0, 0, 0);
    Call* b = Call::Alloc(5000, 2, 0, "9001", 48, 21, 0, 0, 0);
    Call* c = Call::Alloc(5000, 3, 0, "9001", 48, 1, 0, 0, 0);
    CTICSTAConnection::Alloc(d, a, 3, 1, 0, "1002", "a");
    CTICSTAConnection::Alloc(d, b, 4, 2, 0, "1002", "b");
    CTICSTAConnection::Alloc(other, c, 3, 2, 0, "1002", "c");
    CTICSTAConnection::Alloc(d, c, 2, 2, 0, "1002.5", "c");
    const int32_t count = static_cast<int32_t>(plat::LoadLE32(data));
    const uint32_t offset = plat::LoadLE32(data + 4);
    const uint8_t flags = data[8];
    // The raw data in a buffer of exactly its size.
    const size_t length = size - 9;
    std::unique_ptr<uint8_t[]> raw(new uint8_t[length == 0 ? 1 : length]);
    if (length > 0) std::memcpy(raw.get(), data + 9, length);
    if (CTICSTADevice* live = FindCTICSTADevice(5000, 0, "1002", false))
        (void)live->VerifySnapshot(5000, count, offset, raw.get(), static_cast<uint32_t>(length),
                                   (flags & 1) != 0, (flags & 2) != 0);
    // Back to nothing: every call and its connections go, and with them the devices.
    Call::RemovePeripheralCalls(0xFFFFFFFF);
    return 0;
}
