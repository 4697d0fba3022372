#include "ctimsg/messages/catalog_helpers.h"

#include "ctimsg/eccelement.h"

namespace {

constexpr uint32_t kNumNamedVariables = elementid::NumNamedVariables;
constexpr uint32_t kNumNamedArrays = elementid::NumNamedArrays;
constexpr uint32_t kExpandedCallContext = elementid::ExpandedCallContxt;

}  // namespace

bool SetECCCounts(BaseMSG& msg) {
    auto* ecc = dynamic_cast<ECCElement*>(msg.FindElement(kExpandedCallContext, 0, false));
    BaseElement* variables = msg.FindElement(kNumNamedVariables, 0, false);
    BaseElement* arrays = msg.FindElement(kNumNamedArrays, 0, false);
    if (ecc == nullptr || variables == nullptr || arrays == nullptr) return false;
    int scalars = 0, elements = 0, replacedScalars = 0, replacedElements = 0;
    if (ecc->IsPresent()) {
        ecc->GetCounts(scalars, elements, replacedScalars, replacedElements, nullptr);
    }
    WriteNumberValue(variables, static_cast<uint32_t>(scalars));
    WriteNumberValue(arrays, static_cast<uint32_t>(elements));
    return true;
}
