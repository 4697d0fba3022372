#include "parlo/model/validate.h"

#include <cstdio>
#include <string>

#include "ctimsg/basemsg.h"
#include "ctimsg/names.h"
#include "nuvlib/ems.h"

namespace {
constexpr uint32_t kSendVersion = 24;
const std::string kAsterisks(69, '*');
}  // namespace

int ValidateMessage(const char* name, BaseMSG& msg) {
    if (msg.ValidateToSend(kSendVersion) == 0) return 1;
    char element[64];
    const char* elementName = ElementName(static_cast<int32_t>(msg.GetFailingElement()));
    if (elementName == nullptr) elementName = "";
    // Cut to the 63 characters the line has room for.
    if (msg.GetFailingOccurrence() >= 1)
        std::snprintf(element, sizeof element, "%s[%d]", elementName,
                      static_cast<int>(msg.GetFailingOccurrence()));
    else
        std::snprintf(element, sizeof element, "%.63s", elementName);
    const char* status = StatusCodeName(static_cast<int32_t>(msg.GetStatus()));
    EMSTraceMessage("%s", kAsterisks.c_str());
    EMSTraceMessage("Warning: %s - INVALID MESSAGE, err:%s, element:%s", name ? name : "",
                    status ? status : "", element);
    EMSTraceMessage("%s", kAsterisks.c_str());
    return 0;
}
