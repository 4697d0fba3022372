// BaseMSG::Decode on arbitrary bytes. The first byte picks the session's protocol version
// (2, 9, 19 or 24); the rest is the frame. A decoded message is also validated, traced and
// encoded again, as the session layer would.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ctimsg/basemsg.h"
#include "nuvlib/emsseams.h"

namespace {

void Quiet(const uint8_t*, uint32_t) {}
constexpr EMSSeams kQuiet = {Quiet, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = (EMSInstallSeams(&kQuiet), true);
    (void)quiet;
    if (size < 1) return 0;
    static constexpr uint32_t kVersions[] = {2, 9, 19, 24};
    const uint32_t version = kVersions[data[0] % 4];
    std::unique_ptr<BaseMSG> msg(
        BaseMSG::Decode(data + 1, static_cast<int>(size - 1), version));
    if (!msg) return 0;
    std::string text;
    msg->Trace(text, version);
    if (msg->ValidateToSend(version) == 0) {
        std::vector<uint8_t> out(static_cast<size_t>(msg->MaxEncodedSize(version)) + 8);
        (void)msg->Encode(out.data(), static_cast<int>(out.size()), version, 1023, nullptr, 0x01000000);
    }
    return 0;
}
