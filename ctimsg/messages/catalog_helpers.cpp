#include "ctimsg/messages/catalog_helpers.h"

#include "ctimsg/eccelement.h"

namespace {

constexpr uint32_t kInvokeID = 1;
constexpr uint32_t kPeripheralID = 4;
constexpr uint32_t kSkillGroupNumber = 25;
constexpr uint32_t kSkillGroupID = 26;
constexpr uint32_t kNumNamedVariables = 163;
constexpr uint32_t kNumNamedArrays = 164;
constexpr uint32_t kAgentID = 436;
constexpr uint32_t kExpandedCallContext = 511;

// The generated classes cannot hold members of their own, so the short forms reach the base's
// field-list trace through a pointer to it, which a derived class may form.
struct TraceAccess : BaseMSG {
    using Fn = void (BaseMSG::*)(std::string&, uint32_t, const uint32_t*, int);
    static constexpr Fn kTraceFields = &TraceAccess::TraceFields;
};

void WriteCount(BaseElement* e, int count) {
    if (auto* u16 = dynamic_cast<NumberElement<uint16_t, 2>*>(e)) {
        u16->Set(static_cast<uint16_t>(count));
    } else if (auto* u32 = dynamic_cast<NumberElement<uint32_t, 4>*>(e)) {
        u32->Set(static_cast<uint32_t>(count));
    }
}

}  // namespace

void TraceSummary(QueryAgentStatisticsConfMSG& msg, std::string& text, uint32_t version) {
    static constexpr uint32_t kFields[] = {kInvokeID, kPeripheralID, kAgentID};
    (msg.*TraceAccess::kTraceFields)(text, version, kFields, 3);
}

void TraceSummary(QuerySkillGroupStatisticsConfMSG& msg, std::string& text, uint32_t version) {
    static constexpr uint32_t kFields[] = {kInvokeID, kPeripheralID, kSkillGroupNumber,
                                           kSkillGroupID};
    (msg.*TraceAccess::kTraceFields)(text, version, kFields, 4);
}

bool SetECCCounts(BaseMSG& msg) {
    auto* ecc = dynamic_cast<ECCElement*>(msg.FindElement(kExpandedCallContext, 0, false));
    BaseElement* variables = msg.FindElement(kNumNamedVariables, 0, false);
    BaseElement* arrays = msg.FindElement(kNumNamedArrays, 0, false);
    if (ecc == nullptr || variables == nullptr || arrays == nullptr) return false;
    int scalars = 0, elements = 0, replacedScalars = 0, replacedElements = 0;
    if (ecc->IsPresent()) {
        ecc->GetCounts(scalars, elements, replacedScalars, replacedElements, nullptr);
    }
    WriteCount(variables, scalars);
    WriteCount(arrays, elements);
    return true;
}
