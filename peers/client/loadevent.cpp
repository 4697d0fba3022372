#include "peers/client/loadevent.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "ctimsg/eccdefs.h"
#include "ctimsg/element.h"
#include "ctimsg/elementids.h"
#include "ctimsg/messages/messages.h"

namespace parloload {
namespace {

constexpr char kMarker[] = "@@";
constexpr size_t kStampDigits = 16;
constexpr int kVariables = 10;

std::string StampText(int64_t stampNs) {
    char text[48];
    std::snprintf(text, sizeof text, "@@%016llx-", static_cast<unsigned long long>(stampNs));
    std::string out(text);
    out.resize(40, 'v');
    return out;
}

}  // namespace

void DefineFanoutVariables() {
    for (int i = 1; i <= kVariables; ++i)
        (void)AddECCVariableDefinition(9000 + i, "user.load.var" + std::to_string(i), 40, 0, 0);
}

BaseMSGPtr MakeFanoutEvent(int64_t stampNs) {
    auto msg = std::make_unique<CallDeliveredEventMSG>(false, false);
    for (BaseElement* e = msg->GetFirstElement(); e != nullptr; e = e->GetNext())
        if (e->IsRequired() && !e->IsPresent()) (void)WriteNumberValue(e, 0);
    msg->SetUINT(elementid::MonitorID, 0);
    msg->SetUINT(elementid::CTIPeripheralID, 5000);
    msg->SetUSHORT(elementid::EventCause, 0xFFFF);
    msg->SetUINT(elementid::ConnectionCallID, 1234567);
    msg->SetSTRING(elementid::ConnectionDeviceID, "1000001");
    msg->SetSTRING(elementid::AlertingDeviceID, "1000001");
    msg->SetSTRING(elementid::CallingDeviceID, "5550100200");
    msg->SetSTRING(elementid::CalledDeviceID, "8005551234");
    msg->SetSTRING(elementid::LastRedirectDeviceID, "8005551234");
    msg->SetSTRING(elementid::ANIField, "5550100200");
    msg->SetSTRING(elementid::DNISField, "1234");
    msg->SetSTRING(elementid::DialedNumberField, "8005551234");
    msg->SetSTRING(elementid::CEDField, "42");
    for (int n = 2; n <= kVariables; ++n)
        msg->SetSTRING(elementid::CallVariable1 + static_cast<uint32_t>(n - 1),
                       "call variable " + std::to_string(n) + " of the load event....");
    msg->SetSTRING(elementid::CallWrapupData, "wrap-up");
    for (int i = 1; i <= kVariables; ++i)
        (void)msg->SetECC(elementid::ExpandedCallContxt, "user.load.var" + std::to_string(i),
                          "value " + std::to_string(i) + " of the expanded context");
    msg->SetUSHORT(elementid::NumNamedVariables, kVariables);
    msg->SetUSHORT(elementid::NumNamedArrays, 0);
    StampFanoutEvent(*msg, stampNs);
    return msg;
}

void StampFanoutEvent(BaseMSG& event, int64_t stampNs) {
    event.SetSTRING(elementid::CallVariable1, StampText(stampNs));
    (void)event.ValidateToSend(24);
}

int64_t FindStamp(const uint8_t* data, size_t length) {
    const size_t need = 2 + kStampDigits;
    if (length < need) return -1;
    for (size_t i = 0; i + need <= length; ++i) {
        if (data[i] != kMarker[0] || data[i + 1] != kMarker[1]) continue;
        uint64_t value = 0;
        size_t j = 0;
        for (; j < kStampDigits; ++j) {
            const uint8_t c = data[i + 2 + j];
            int digit;
            if (c >= '0' && c <= '9')
                digit = c - '0';
            else if (c >= 'a' && c <= 'f')
                digit = c - 'a' + 10;
            else
                break;
            value = (value << 4) | static_cast<uint64_t>(digit);
        }
        if (j == kStampDigits) return static_cast<int64_t>(value);
    }
    return -1;
}

}  // namespace parloload
