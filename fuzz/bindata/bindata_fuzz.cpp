// BINDATA from a peer: validation, parsing against a few definitions, listing, and the
// rebuilt form, which must itself be valid BINDATA.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "ctimsg/expandedcallcontext.h"
#include "nuvlib/emsseams.h"

namespace {

void Quiet(const uint8_t*, uint32_t) {}
constexpr EMSSeams kQuiet = {Quiet, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

bool Setup() {
    EMSInstallSeams(&kQuiet);
    AddECCVariableDefinition(1, "one", 10, 0, 0);
    AddECCVariableDefinition(2, "two", 210, 0, 0);
    AddECCVariableDefinition(3, "list", 40, 5, 1);
    AddECCVariableDefinition(4, "big", 210, 300, 1);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = Setup();
    (void)ready;
    const int32_t n = static_cast<int32_t>(size > 4000 ? 4000 : size);
    ExpandedCallContext ecc;
    if (ecc.SetECCBindata(n, data) != 0) return 0;
    std::vector<NameValueStruct> list;
    ecc.GetListByName(list);
    std::string text;
    ecc.FormatByName(text);
    if (!list.empty()) ecc.SetArrayValue("big", static_cast<int32_t>(list.size()), "x");
    int32_t outSize = 0;
    const uint8_t* out = nullptr;
    ecc.GetECCBindata(outSize, out);
    if (ParseBindataBase::ValidateBindata(outSize, out) != 0) std::abort();
    return 0;
}
