// The call context a client sends with a request, merged into a context that may start from
// a call's: checked against the configured variables, converted and cut to their lengths.
#include <string>
#include <vector>

#include "ctimsg/eccdefs.h"
#include "ctimsg/eccelement.h"
#include "ctimsg/elementids.h"
#include "ctimsg/expandedcallcontext.h"
#include "ctimsg/names.h"
#include "nuvlib/ems.h"
#include "nuvlib/utf8utils.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/model/call.h"

namespace {

// Names and values reach the trace only with the ecc_variables keyword.
const char* Shown(const std::string& text) {
    return CTIApplication::IsECCVariablesTraceOn() ? text.c_str() : "[Expanded Call Context tracing disabled]";
}

void TraceTruncation(const std::string& name, const std::string& value, size_t maximum) {
    const std::string cut = value.substr(0, maximum);
    EMSTraceMessage("CTIApplication::MergeECCData: Truncating ECC variable \"%s\" from \n\t\"%s\"\n\tto\n\t\"%s\"",
                    Shown(name), Shown(value), Shown(cut));
}

}  // namespace

uint32_t CTIApplication::MergeECCDataWithCallECC(const uint8_t** data, int32_t* size,
                                                 ExpandedCallContextBase& target, BaseMSG& msg,
                                                 Call* call, bool tressik) {
    *data = nullptr;
    *size = 0;
    if (call != nullptr) {
        int32_t length = 0;
        const uint8_t* bindata = nullptr;
        if (call->GetECCBinData(length, bindata) == 0 && length > 0)
            (void)target.SetECCBindata(length, bindata);  // a bad context of the call is traced there
    }
    return MergeECCData(data, size, target, msg, tressik);
}

uint32_t CTIApplication::MergeECCData(const uint8_t** data, int32_t* size,
                                      ExpandedCallContextBase& target, BaseMSG& msg, bool tressik) {
    *data = nullptr;
    *size = 0;
    uint32_t result = 0;
    std::vector<NameValueStruct> list;
    msg.GetECCList(elementid::ExpandedCallContxt, list);
    const bool convert = NeedsUTF8Conversion(tressik);
    for (NameValueStruct& record : list) {
        ECCExpandedCallVariable definition;
        if (LookupECCVariableByName(record.name, definition) != ECC_SUCCESS) {
            // Not configured: left out, and no failure.
            EMSTraceMessage("CTIApplication::MergeECCData: Failed to find ECC variable named \"%s\"",
                            Shown(record.name));
            continue;
        }
        const size_t maximum = definition.MaximumLength > 0 ? static_cast<size_t>(definition.MaximumLength) : 0;
        std::string converted;
        if (convert) {
            converted = record.value;
            ConvertUTF82String(converted);
        }
        if (convert && !converted.empty()) {
            if (converted.size() > maximum) {
                TraceTruncation(record.name, converted, maximum);
                converted.resize(maximum);
            }
            record.value = std::move(converted);
        } else if (!convert && record.value.size() > maximum) {
            // A failed conversion keeps the client's value as it came, uncut.
            TraceTruncation(record.name, record.value, maximum);
            record.value.resize(maximum);
        }
        const bool isArray = record.isArray == 1;
        const int code = isArray ? target.SetArrayValue(record.name, record.index, record.value)
                                 : target.SetScalarValue(record.name, record.value);
        if (code == 0) continue;
        if (isArray)
            EMSTraceMessage("CTIApplication::MergeECCData - error %d setting NamedArray %s[%d] to \"%s\"", code,
                            Shown(record.name), static_cast<int>(record.index), Shown(record.value));
        else
            EMSTraceMessage("CTIApplication::MergeECCData - error %d setting NamedVariable %s to \"%s\"", code,
                            Shown(record.name), Shown(record.value));
        if (result == 0) result = ECCErrorToCTIError(code, isArray ? 1 : 0);
    }
    const int code = target.GetECCBindata(*size, *data);
    if (code != 0 && result == 0) result = ECCErrorToCTIError(code, 0);
    return result;
}
