// Every ARM and ACMI message that OPC sends, read from untrusted bytes: the first byte
// chooses the type, the rest is the body with its length. Each read message is traced in
// both forms, copied and written back, which must give exactly GetLength() bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "ctimsg/eccdefs.h"
#include "nuvlib/emsseams.h"
#include "opcmsg/acmimsg.h"
#include "opcmsg/armagent.h"
#include "opcmsg/armagentinit.h"
#include "opcmsg/armapppath.h"
#include "opcmsg/armtask.h"
#include "opcmsg/armtasklist.h"

namespace {

void Quiet(const uint8_t*, uint32_t) {}
constexpr EMSSeams kQuiet = {Quiet, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

bool Setup() {
    EMSInstallSeams(&kQuiet);
    AddECCVariableDefinition(1, "one", 10, 0, 0);
    AddECCVariableDefinition(2, "two", 210, 0, 0);
    AddECCVariableDefinition(3, "list", 40, 5, 1);
    return true;
}

template <class M>
void Exercise(const uint8_t* body, size_t length) {
    M m(body, length);
    std::string text = m.ToString();
    if constexpr (requires { m.ToString(true, true); }) text += m.ToString(true, true);
    if constexpr (requires { m.ToString(true); }) text += m.ToString(true);
    const M copy = m;
    if (!m.IsValid()) return;
    const uint32_t n = copy.GetLength();
    if (n > kOPCMessageBodyRoom) return;
    auto out = std::make_unique<uint8_t[]>(n + 1);
    if (copy.Serialize(out.get(), n) != out.get() + n) std::abort();
}

using Reader = void (*)(const uint8_t*, size_t);
// The types OPC sends, in the order of the seed corpus.
constexpr Reader kReaders[] = {
    Exercise<ARMMediaLoginRespMsg>,               // 50
    Exercise<ARMMakeAgentNotRoutableRespMsg>,     // 54
    Exercise<ARMMakeAgentNotReadyRespMsg>,        // 57
    Exercise<ARMOfferApplicationTaskRespMsg>,     // 60
    Exercise<ARMStartApplicationTaskRespMsg>,     // 63
    Exercise<ARMAgentMadeNotRoutableEventMsg>,    // 68
    Exercise<ARMAgentInterruptAdvisoryEventMsg>,  // 69
    Exercise<ARMAgentInterruptDoneAdvisoryEventMsg>,  // 72
    Exercise<ARMChangeMaxTaskLimitRespMsg>,       // 75
    Exercise<ARMOverrideLimitRespMsg>,            // 77
    Exercise<ARMAgentInitRespMsg>,                // 81
    Exercise<ARMAgentInitReadyEventMsg>,          // 84
    Exercise<ARMFailureRespMsg>,                  // 85
    Exercise<ARMAppPathUpRespMsg>,                // 99
    Exercise<ARMMaxTaskLifetimeExceededEventMsg>, // 101
    Exercise<ARMTaskInitRespMsg>,                 // 104
    Exercise<ARMAppPathRemovedEventMsg>,          // 105
    Exercise<ARMGetAgentTasksRespMsg>,            // 113
    Exercise<ARMSnapshotTaskRespMsg>,             // 115
    Exercise<ARMAgentTasksBeginEventMSG>,         // 117
    Exercise<ARMAgentTasksEventMSG>,              // 118
    Exercise<ARMSnapshotTaskEventMSG>,            // 119
    Exercise<ARMAgentTasksEndEventMSG>,           // 120
    Exercise<ACMIRouteRegisterRespMsg>,           // 107
    Exercise<ACMIRouteRequestEventMsg>,           // 108
    Exercise<ACMIRouteEndEventMsg>,               // 110
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = Setup();
    (void)ready;
    if (size == 0) return 0;
    // The body in a buffer of its own exact size, so any read past it is caught.
    const size_t length = size - 1;
    auto body = std::make_unique<uint8_t[]>(length == 0 ? 1 : length);
    if (length > 0) std::memcpy(body.get(), data + 1, length);
    kReaders[data[0] % std::size(kReaders)](body.get(), length);
    return 0;
}
