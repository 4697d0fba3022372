// The frame of a configuration push to one configuration client: CONFIG_BEGIN_EVENT before
// the pages and CONFIG_END_EVENT after them.
#include <cstring>

#include "ctimsg/elementids.h"
#include "ctimsg/eventmasks.h"
#include "ctimsg/messages/messages.h"
#include "parlo/app/apphelpers.h"
#include "parlo/app/ctiapplication.h"

namespace {
constexpr uint16_t kConfigTypeUnsolicited = 2;
constexpr uint32_t kConfigTerminal = 0x100;  // terminals have no key

// The key as the clients read it: the float's 8 bytes as the process keeps them.
void SetKey(BaseMSG& msg, uint32_t element, double key) {
    uint8_t bytes[sizeof key];
    std::memcpy(bytes, &key, sizeof key);
    msg.SetUNSPEC(element, bytes, static_cast<int>(sizeof bytes));
}
}  // namespace

void CTIApplication::SendConfigBeginEvent(uint32_t infoBit, double key, int32_t sessionID,
                                          uint32_t keyElement) {
    ConfigBeginEventMSG event;
    event.SetUSHORT(elementid::ConfigType, kConfigTypeUnsolicited);
    event.SetUINT(elementid::ConfigurationInformation, infoBit);
    if (infoBit == configinfomask::CONFIG_MRD) {  // no key element of its own: every table's key
        for (uint32_t element : {elementid::AgentConfigKey, elementid::SkillGroupConfigKey,
                                 elementid::ServiceConfigKey, elementid::DeviceConfigKey,
                                 elementid::CallTypeConfigKey})
            SetKey(event, element, key);
    } else if (infoBit != kConfigTerminal) {
        SetKey(event, keyElement, key);
    }
    (void)SendResponseMSG(sessionID, event, FileTimeNow());
}

void CTIApplication::SendConfigEndEvent(int32_t sessionID, uint32_t status) {
    ConfigEndEventMSG event;
    event.SetUINT(elementid::ConfigEndStatus, status);
    (void)SendResponseMSG(sessionID, event, FileTimeNow());
}
