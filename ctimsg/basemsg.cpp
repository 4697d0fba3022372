#include "ctimsg/basemsg.h"

#include "ctimsg/eccelement.h"
#include "ctimsg/msgtypes.h"
#include "ctimsg/names.h"
#include "ctimsg/structured.h"
#include "nuvlib/ems.h"
#include "platform/byteorder.h"

namespace {

constexpr uint32_t kNumNamedVariables = elementid::NumNamedVariables;
constexpr uint32_t kNumNamedArrays = elementid::NumNamedArrays;
constexpr uint32_t kExpandedCallContext = elementid::ExpandedCallContxt;
constexpr uint32_t kFirstCallVariable = elementid::CallVariable1;
constexpr uint32_t kLastCallVariable = elementid::CallVariable10;
// The count and the six members of the request-enablement masks.
constexpr uint32_t kFirstREMask = elementid::REMaskArray;
constexpr uint32_t kLastREMask = elementid::REMaskAgent;

struct LimitRow {
    uint32_t version;
    CTIVersionLimits limits;
};

// Frame bytes, the newest message type and the highest tag that each version knows.
constexpr LimitRow kLimits[] = {
    {2, {2061, SYSTEM_EVENT, 47}},
    {3, {4329, SEND_DTMF_SIGNAL_CONF, 75}},
    {5, {6843, SESSION_MONITOR_STOP_CONF, 81}},
    {6, {6843, QUERY_SKILL_GROUP_STATISTICS_CONF, 84}},
    {7, {6843, RTP_STOPPED_EVENT, 84}},
    {8, {6843, STOP_RECORDING_CONF, 96}},
    {9, {6843, TASK_INIT_RESP, 122}},
    {10, {6843, TEAM_CONFIG_CONF, 206}},
    {11, {6860, CALL_ATTRIBUTE_CHANGE_EVENT, 217}},
    {12, {6860, CALL_ATTRIBUTE_CHANGE_EVENT, 217}},
    {13, {6860, CALL_TERMINATION_EVENT, 218}},
    {14, {8620, CALL_TERMINATION_EVENT, 234}},
    {15, {8620, AGENT_GREETING_CONTROL_CONF, 235}},
    {16, {12000, REMASK_CHANGE_EVENT, 244}},
    {17, {12000, REMASK_CHANGE_EVENT, 245}},
    {18, {12000, CONFIG_MEDIA_ROUTING_DOMAIN_EVENT_MSG, 254}},
    {19, {12000, CONFIG_AGENT_SERVICE_EVENT, 255}},
};
constexpr CTIVersionLimits kNewestLimits = {12500, CONFIG_AGENT_SERVICE_EVENT, 311};

}  // namespace

const CTIVersionLimits& GetVersionLimits(uint32_t version) {
    for (const auto& row : kLimits) {
        if (row.version == version) return row.limits;
    }
    return kNewestLimits;
}

BaseMSG::BaseMSG(uint32_t minVersion) : m_MinVersion(minVersion) {}

const ECCElement* BaseMSG::FindECCElement() const {
    // The context is a single member: occurrence 0, found without a walk where the class
    // knows its members.
    const BaseElement* e = FindInChain(kExpandedCallContext, 0);
    return e != nullptr ? dynamic_cast<const ECCElement*>(e) : nullptr;
}

int BaseMSG::ECCExtraBytes(const BaseElement& element, uint32_t version) {
    // Below version 20 a data structure's length still takes 2 bytes where the estimate counts
    // 1: a full field would not fit the buffer and the message would be lost.
    if (version < 20) {
        return ElementTag(static_cast<int32_t>(element.GetElementID())) == DATA_STRUCTURE_TAG &&
                       dynamic_cast<const DataStructureField*>(&element) != nullptr
                   ? 1
                   : 0;
    }
    // From version 20 each variable's header is 4 bytes where the context's own byte total
    // counts 2: without these the buffer is short for a full context and the event is lost.
    if (element.GetElementID() != kExpandedCallContext) return 0;
    const auto* ecc = dynamic_cast<const ECCElement*>(&element);
    return ecc != nullptr ? 2 * ecc->GetEntryCount() : 0;
}

int BaseMSG::Encode(uint8_t* buffer, int room, uint32_t version, uint32_t callVariableMask,
                    const ECCSelection* eccSelection, uint32_t serviceMask) const {
    if (!m_Valid) {
        EMSTraceMessage("BaseMSG::Encode - %s Message not valid", MsgTypeName(m_MsgType));
        return -1;
    }
    if (m_MinVersion > version) {
        EMSTraceMessage("BaseMSG::Encode - %s Message not valid in version %d",
                        MsgTypeName(m_MsgType), version);
        return -1;
    }
    if (room < CTI_HEADER_SIZE) {
        EMSTraceMessage("BaseMSG::Encode - No room for %d byte message header, %d bytes left.",
                        CTI_HEADER_SIZE, room);
        return -1;
    }
    uint8_t* pos = buffer + CTI_HEADER_SIZE;
    int left = room - CTI_HEADER_SIZE;
    int total = CTI_HEADER_SIZE;
    // The selection's matches are worked out once, at the first field that needs them: the
    // recounted NumNamedVariables and NumNamedArrays and the variables written then come from
    // one look at the names.
    const ECCElement* ecc = nullptr;
    bool eccLooked = false;
    ECCSelectionMatch match;
    bool matched = false;

    const REMaskArray* masks = nullptr;
    for (const BaseElement* e = m_Chain; e != nullptr; e = BusyNext(e, masks)) {
        if (e->GetFromVersion() > version) continue;
        uint32_t id = e->GetElementID();
        // An absent field writes nothing; only the recounted ECC counts still look for the
        // context (and say so when it is missing).
        if (!e->IsPresent() &&
            (eccSelection == nullptr || (id != kNumNamedVariables && id != kNumNamedArrays))) {
            continue;
        }
        int n;
        if (id >= kFirstREMask && id <= kLastREMask && (serviceMask & SERVICE_MASK_REMASK_BIT) == 0) {
            continue;
        }
        if (id >= kFirstCallVariable && id <= kLastCallVariable &&
            (callVariableMask & (1u << (id - kFirstCallVariable))) == 0) {
            continue;
        }
        if (id == kExpandedCallContext) {
            const auto* field = e == ecc ? ecc : dynamic_cast<const ECCElement*>(e);
            if (field == nullptr) {
                n = e->Encode(pos, left, version);
            } else if (eccSelection != nullptr && matched) {
                n = field->EncodeSelected(pos, left, version, eccSelection, match);
            } else {
                n = field->EncodeSelected(pos, left, version, eccSelection);
            }
        } else if ((id == kNumNamedVariables || id == kNumNamedArrays) && eccSelection != nullptr) {
            if (!eccLooked) {
                ecc = FindECCElement();
                eccLooked = true;
            }
            if (ecc == nullptr) {
                EMSTraceMessage(
                    "BaseMSG::Encode - Cannot adjust %s for ECCVariableRegistration,ECCElement "
                    "not found in %s",
                    ElementName(id), MsgTypeName(m_MsgType));
                n = e->Encode(pos, left, version);
            } else if (!e->IsPresent()) {
                n = 0;
            } else {
                if (!matched) {
                    ecc->MatchSelection(eccSelection, match);
                    matched = true;
                }
                uint16_t count = static_cast<uint16_t>(id == kNumNamedVariables
                                                           ? match.Scalars()
                                                           : match.ArrayElements());
                uint8_t* at = pos;
                n = WriteFloatingHeader(*e, version, at, left, 2);
                if (n >= 0) plat::StoreBE16(at, count);
            }
        } else {
            n = e->Encode(pos, left, version);
        }
        if (n < 0) return -1;
        pos += n;
        left -= n;
        total += n;
    }
    plat::StoreBE32(buffer, static_cast<uint32_t>(total - CTI_HEADER_SIZE));
    plat::StoreBE32(buffer + 4, m_MsgType);
    return total;
}

int BaseMSG::MaxEncodedSize(uint32_t version) const {
    int size = 0;
    int header = version >= 20 ? 4 : 2;
    for (const BaseElement* e = m_Chain; e != nullptr; e = e->GetNext()) {
        size += static_cast<int>(e->GetMaxBytes());
        if (e->IsFloating()) size += header;
        size += ECCExtraBytes(*e, version);
    }
    return size;
}

int BaseMSG::PresentEncodedSize(uint32_t version, bool fourByteHeaders) const {
    int size = 0;
    int header = (fourByteHeaders || version >= 20) ? 4 : 2;
    for (const BaseElement* e = m_Chain; e != nullptr; e = e->GetNext()) {
        if (!e->IsPresent()) continue;
        size += e->MaxLength();
        if (e->IsFloating()) size += header;
        size += ECCExtraBytes(*e, version);
    }
    return size;
}

void BaseMSG::Trace(std::string& text, uint32_t version) {
    text += "MsgType:";
    text += MsgTypeName(m_MsgType);
    text += " (";
    for (BaseElement* e = m_Chain; e != nullptr; e = e->GetNext()) {
        if (e->GetFromVersion() <= version) e->Trace(text);
    }
    text += ')';
}

void BaseMSG::TraceFields(std::string& text, uint32_t version, const uint32_t* elementIds,
                          int count) {
    text += "MsgType:";
    text += MsgTypeName(m_MsgType);
    text += " (";
    for (int i = 0; i < count; ++i) {
        for (BaseElement* e = m_Chain; e != nullptr; e = e->GetNext()) {
            if (e->GetElementID() != elementIds[i]) continue;
            if (e->GetFromVersion() <= version) e->Trace(text);
            break;
        }
    }
    text += ')';
}

void BaseMSG::TraceSummary(std::string& text, uint32_t version) {
    // InvokeID, PeripheralID, then AgentID or SkillGroupNumber and SkillGroupID.
    static constexpr uint32_t kAgentFields[] = {elementid::InvokeID, elementid::CTIPeripheralID,
                                                elementid::AgentID};
    static constexpr uint32_t kSkillGroupFields[] = {elementid::InvokeID, elementid::CTIPeripheralID,
                                                     elementid::SkillGroupNumber,
                                                     elementid::SkillGroupID};
    if (m_MsgType == QUERY_AGENT_STATISTICS_CONF) {
        TraceFields(text, version, kAgentFields, 3);
    } else if (m_MsgType == QUERY_SKILL_GROUP_STATISTICS_CONF) {
        TraceFields(text, version, kSkillGroupFields, 4);
    } else {
        Trace(text, version);
    }
}

std::string WrapText(std::string& rest, int width, int indent) {
    std::string line;
    if (width < 1) width = 1;
    const size_t indentSize = indent > 0 ? static_cast<size_t>(indent) : 0;
    if (rest.size() < static_cast<size_t>(width)) {
        line.swap(rest);
        rest.clear();
    } else {
        while (!rest.empty()) {
            size_t p = rest.find(' ');
            if (p != std::string::npos) {
                if (p < static_cast<size_t>(width)) {
                    line.append(rest, 0, p + 1);
                    rest.erase(0, p + 1);
                    width -= static_cast<int>(p + 1);
                    continue;
                }
                if (line.size() <= indentSize) {
                    size_t cut = width > 0 ? static_cast<size_t>(width) : 1;
                    line.append(rest, 0, cut);
                    rest.erase(0, cut);
                }
                break;
            }
            if (!(rest.size() > static_cast<size_t>(width) && line.size() > indentSize)) {
                line += rest;
                rest.clear();
            }
            break;
        }
    }
    if (!rest.empty() && indent > 0) rest.insert(0, indentSize, ' ');
    return line;
}
