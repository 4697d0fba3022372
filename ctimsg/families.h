#pragma once
// Family bases that give a group of fields one value check and one value text, and the value
// texts that the dictionary rows name.
#include <cstdint>
#include <string>

#include "ctimsg/element.h"

// Device-id-type codes: 0, 70 to 79 or 0xFFFF.
class DeviceIDType : public USHORTElement {
public:
    DeviceIDType(uint32_t elementId, bool required, bool traced)
        : USHORTElement(elementId, required, traced) {}
    int Validate(uint32_t version) override;
    void ValueText(std::string& text) const override;
};

namespace fieldtext {
// "0x%x ".
void Hex(std::string& text, uint32_t value);
// "0x%x (local time) ", "<INVALID> " for 0xFFFFFFFF. The time is shown as
// "%m/%d/%y %H:%M:%S" in the process's time zone.
void TimeStamp(std::string& text, uint32_t value);
}  // namespace fieldtext
