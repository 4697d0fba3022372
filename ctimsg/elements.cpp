#include "ctimsg/elements.h"

#include <algorithm>

#include "ctimsg/eventmasks.h"
#include "ctimsg/servicemask.h"
#include "ctimsg/statuscodes.h"

uint32_t ServiceMaskAllowedBits(uint32_t version) { return servicemask::FieldBits(version); }

uint32_t CallMsgMaskEncodeBits(uint32_t version) {
    if (version <= 2) return 0x1FFFF;
    if (version <= 5) return 0x7FFFF;
    if (version == 6) return 0x1FFFFF;
    if (version == 7) return 0x7FFFFF;
    if (version == 8) return 0xFFFFFF;
    return 0xFFFFFFFF;
}

uint32_t CallMsgMaskAllowedBits(uint32_t version) {
    if (version <= 8) return CallMsgMaskEncodeBits(version);
    if (version <= 15) return 0xFFFFFFF;
    return 0xFFFFFFFF;
}

// ---- ServiceMask ----

int ServiceMask::Encode(uint8_t* dst, int room, uint32_t version) const {
    if (!m_Present) return 0;
    return EncodeValue(dst, room, version, m_Value & ServiceMaskAllowedBits(version));
}

int ServiceMask::Validate(uint32_t version) {
    int rc = BaseElement::Validate(version);
    if (rc != 0 || !m_Present) return rc;
    return (m_Value & ~ServiceMaskAllowedBits(version)) ? Fail(E_CTI_INVALID_SERVICE_MASK) : 0;
}

int ServiceMask::ValidateToSend(uint32_t version) {
    int rc = BaseElement::Validate(version);
    if (rc != 0 || !m_Present) return rc;
    return (m_Value & ~servicemask::kSendBits) ? Fail(E_CTI_INVALID_SERVICE_MASK) : 0;
}

// ---- CallMsgMask ----

int CallMsgMask::Encode(uint8_t* dst, int room, uint32_t version) const {
    if (!m_Present) return 0;
    return EncodeValue(dst, room, version, m_Value & CallMsgMaskEncodeBits(version));
}

int CallMsgMask::Validate(uint32_t version) {
    int rc = BaseElement::Validate(version);
    if (rc != 0 || !m_Present) return rc;
    return (m_Value & ~CallMsgMaskAllowedBits(version)) ? Fail(E_CTI_INVALID_CALL_MSG_MASK) : 0;
}

int CallMsgMask::ValidateToSend(uint32_t version) { return BaseElement::Validate(version); }

// ---- TaskMsgMask ----

int TaskMsgMask::Encode(uint8_t* dst, int room, uint32_t version) const {
    if (!m_Present) return 0;
    return EncodeValue(dst, room, version, version < 9 ? 0 : (m_Value & taskmsgmask::kAll));
}

int TaskMsgMask::Validate(uint32_t version) {
    int rc = BaseElement::Validate(version);
    if (rc != 0 || !m_Present) return rc;
    bool ok = version < 9 ? m_Value == 0 : m_Value < 0x800;
    return ok ? 0 : Fail(E_CTI_INVALID_TASK_MSG);
}

int TaskMsgMask::ValidateToSend(uint32_t version) {
    int rc = BaseElement::Validate(version);
    if (rc != 0 || !m_Present) return rc;
    return (m_Value & ~taskmsgmask::kAll) ? Fail(E_CTI_INVALID_TASK_MSG) : 0;
}

// ---- NumSkillGroups ----

int NumSkillGroups::Encode(uint8_t* dst, int room, uint32_t version) const {
    if (!m_Present) return 0;
    uint16_t limit = version < 5 ? 10 : (version <= 12 ? 20 : 99);
    return EncodeValue(dst, room, version, std::min(m_Value, limit));
}

int NumSkillGroups::Validate(uint32_t version) {
    int rc = BaseElement::Validate(version);
    if (rc != 0 || !m_Present) return rc;
    return m_Value > 99 ? Fail(E_CTI_INVALID_NUM_SKILL_GROUPS) : 0;
}

// ---- AgentInstrument ----

int AgentInstrument::Encode(uint8_t* dst, int room, uint32_t version) const {
    if (!m_Present) return 0;
    int n = static_cast<int>(m_Text.size()) + 1;
    // Older clients have a 12-byte instrument: 11 characters and the NUL.
    if (version < 6 && n > 12) n = 12;
    return EncodeCut(dst, room, version, n);
}

int AgentInstrument::Validate(uint32_t version) {
    int rc = STRINGElement::Validate(version);
    if (rc != 0 || !m_Present) return rc;
    return (version < 6 && m_Text.size() >= 12) ? Fail(E_CTI_INVALID_FIELD_LENGTH) : 0;
}

int AgentInstrument::ValidateToSend(uint32_t version) { return STRINGElement::Validate(version); }

// ---- AgentID ----

int AgentID::Trace(std::string& text) {
    if (m_Traced && m_OwnTraceFlag == 0 && m_Present) return BaseElement::Trace(text);
    m_OwnTraceFlag = 0;
    return 0;
}

int AgentID::SetTraceFlag(int flag) {
    m_OwnTraceFlag = static_cast<uint32_t>(flag);
    return flag;
}

// ---- TeamConfigKey ----

int TeamConfigKey::Encode(uint8_t* dst, int room, uint32_t version) const {
    if (!m_Present) return 0;
    // Any other length would shift every fixed field behind the key.
    if (m_Length != static_cast<int32_t>(m_MaxBytes)) return -1;
    return UNSPECElement::Encode(dst, room, version);
}

int TeamConfigKey::Decode(const uint8_t* src, int, int available, uint32_t version) {
    return UNSPECElement::Decode(src, static_cast<int>(m_MaxBytes), available, version);
}
