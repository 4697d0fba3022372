#include "ctimsg/families.h"

#include <ctime>

#include "ctimsg/statuscodes.h"
#include "ctimsg/valuenames.h"

int DeviceIDType::Validate(uint32_t version) {
    int rc = USHORTElement::Validate(version);
    if (rc != 0 || !m_Present) return rc;
    if (m_Value == 0 || (m_Value >= 70 && m_Value <= 79) || m_Value == 0xFFFF) return 0;
    return Fail(E_CTI_INVALID_DEVICE_ID_TYPE);
}

void DeviceIDType::ValueText(std::string& text) const {
    if (!m_Present) {
        text += "<missing> ";
        return;
    }
    text += DeviceIDTypeName(m_Value);
    text += ' ';
}

namespace fieldtext {

void Hex(std::string& text, uint32_t value) { AppendFormat(text, "0x%x ", value); }

void TimeStamp(std::string& text, uint32_t value) {
    if (value == 0xFFFFFFFFu) {
        text += "<INVALID> ";
        return;
    }
    AppendFormat(text, "0x%x ", value);
    time_t t = static_cast<time_t>(value);
    struct tm local {};
    char buf[64] = "";
    if (localtime_r(&t, &local) != nullptr) strftime(buf, sizeof buf, "%m/%d/%y %H:%M:%S", &local);
    text += '(';
    text += buf;
    text += ") ";
}

}  // namespace fieldtext
