#include "parlo/session/outfilter.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string_view>

#include "ctimsg/eccelement.h"
#include "ctimsg/elementids.h"
#include "ctimsg/eventmasks.h"
#include "ctimsg/msgtypes.h"
#include "nuvlib/ems.h"
#include "nuvlib/utf8utils.h"
#include "parlo/common/ctiregistry.h"
#include "parlo/common/svrtrace.h"
#include "parlo/session/session.h"
#include "parlo/session/transport.h"

static_assert(agentstatemask::kStates[kNoAgentState].bit == 0 &&
                  std::string_view(agentstatemask::kStates[kNoAgentState].name) == "UNKNOWN",
              "kNoAgentState is the agent state UNKNOWN");

namespace {

constexpr const char* kECCTracingDisabled = "[Expanded Call Context tracing disabled]";
constexpr int kCallVariableCount = 10;

using L = RecipientList;
constexpr RecipientList kListAndAllEvents[] = {L::Explicit, L::AllEvents};
constexpr RecipientList kAllEvents[] = {L::AllEvents};
constexpr RecipientList kList[] = {L::Explicit};
constexpr RecipientList kAllSessions[] = {L::AllSessions};
constexpr RecipientList kClientMonitor[] = {L::ClientMonitor};
constexpr RecipientList kAllEventsAndPeripheral[] = {L::AllEvents, L::PeripheralMonitor};
constexpr RecipientList kSupervisor[] = {L::Supervisor};
constexpr RecipientList kServer[] = {L::Server};
constexpr RecipientList kWEXA[] = {L::WEXA};
constexpr RecipientList kAllTaskEvents[] = {L::AllTaskEvents};
constexpr RecipientList kTaskMonitor[] = {L::TaskMonitor};

// By distribution value 0..11; value 9 (DistributeNone) walks nothing.
const std::span<const RecipientList> kDistributionLists[] = {
    kListAndAllEvents, kAllEvents,   kList, kAllSessions,   kClientMonitor, kAllEventsAndPeripheral,
    kSupervisor,       kServer,      kWEXA, {},             kAllTaskEvents, kTaskMonitor,
};


uint32_t CallVariableId(int n) { return elementid::CallVariable1 + static_cast<uint32_t>(n - 1); }

bool IsCallCarryingType(uint32_t type) {
    return type == ctitype::CallTranslationRouteEventMSG || type == ctitype::BeginCallEventMSG ||
           type == ctitype::CallDataUpdateEventMSG || type == ctitype::SnapshotCallConfMSG ||
           type == ctitype::AgentPreCallEventMSG;
}

bool CarriesWrapupData(uint32_t type) {
    return type == ctitype::BeginCallEventMSG || type == ctitype::CallDataUpdateEventMSG ||
           type == ctitype::SnapshotCallConfMSG;
}

bool ElementPresent(BaseMSG& msg, uint32_t elementId) {
    BaseElement* element = msg.FindElement(elementId, 0, false);
    return element != nullptr && element->IsPresent();
}

// The converted texts of one tailoring, and what to put back afterwards.
class Conversion {
public:
    explicit Conversion(BaseMSG& msg) : m_Msg(msg) {}
    Conversion(const Conversion&) = delete;
    Conversion& operator=(const Conversion&) = delete;
    ~Conversion() { Restore(); }

    // Converts one string field in place; true when its text changed.
    bool ConvertString(uint32_t elementId) {
        BaseElement* element = m_Msg.FindElement(elementId, 0, false);
        if (element == nullptr || !element->IsPresent()) return false;
        const char* text = m_Msg.GetSTRING(elementId);
        if (text == nullptr) return false;
        std::string original(text);
        // Cut to the field at a character boundary, so a client never gets half a character.
        std::string converted = UTF8UtilsConvertToUTF8(original, element->GetMaxBytes());
        if (converted.empty() || converted == original) return false;
        m_Strings.push_back({elementId, original});
        m_Msg.SetSTRINGMax(elementId, converted);
        return true;
    }

    // Converts every ECC value in place; true when any value changed.
    bool ConvertECC(const std::vector<NameValueStruct>& list) {
        bool changed = false;
        const bool traceValues = SVRTraceON(ECCVariables);
        for (const NameValueStruct& entry : list) {
            ECCExpandedCallVariable definition;
            if (LookupECCVariableByName(entry.name, definition) != ECC_SUCCESS) {
                EMSTraceMessage(
                    "SessionMSG::ConvertNameValueListToUF8 : Failed to find ECC variable named "
                    "\"%s\"",
                    entry.name.c_str());
                continue;
            }
            const size_t limit = static_cast<size_t>(std::max(definition.MaximumLength, 0));
            // Room for every character of the value at four bytes, so nothing is cut here.
            std::string converted = UTF8UtilsConvertToUTF8(entry.value, entry.value.size() * 4 + 1);
            if (converted.empty() || converted == entry.value) continue;
            if (converted.size() > limit) {
                converted = UTF8UtilsConvertToUTF8(entry.value, limit + 1);
                const std::string shown = UTF8UtilsConvertUTF82String(converted);
                EMSTraceMessage(
                    "SessionMSG::ConvertNameValueListToUF8 : Truncating ECC variable \"%s\" from "
                    "\n\t\"%s\"\n\tto\n\t\"%s\"",
                    traceValues ? entry.name.c_str() : kECCTracingDisabled,
                    traceValues ? entry.value.c_str() : kECCTracingDisabled,
                    traceValues ? shown.c_str() : kECCTracingDisabled);
                if (converted == entry.value) continue;
            }
            if (SetECCValue(entry, converted) != 0) continue;
            m_ECC.push_back(entry);
            changed = true;
        }
        return changed;
    }

    void Restore() {
        for (auto it = m_Strings.rbegin(); it != m_Strings.rend(); ++it)
            m_Msg.SetSTRING(it->elementId, it->text);
        m_Strings.clear();
        for (const NameValueStruct& entry : m_ECC) (void)SetECCValue(entry, entry.value);
        m_ECC.clear();
    }

private:
    int SetECCValue(const NameValueStruct& entry, const std::string& value) {
        return entry.isArray ? m_Msg.SetECC(elementid::ExpandedCallContxt, entry.name, entry.index, value)
                             : m_Msg.SetECC(elementid::ExpandedCallContxt, entry.name, value);
    }

    struct SavedString {
        uint32_t elementId;
        std::string text;
    };
    BaseMSG& m_Msg;
    std::vector<SavedString> m_Strings;
    std::vector<NameValueStruct> m_ECC;
};

bool IsRegistered(const ECCSelection& registered, const std::string& name) {
    return std::any_of(registered.begin(), registered.end(),
                       [&](const ECCExpandedCallVariable& v) { return v.EnterpriseName == name; });
}

}  // namespace

std::span<const RecipientList> DistributionLists(int distribution) {
    if (distribution < 0 || distribution >= static_cast<int>(std::size(kDistributionLists)))
        return {};
    return kDistributionLists[distribution];
}

uint32_t ServiceBitOfList(RecipientList list) {
    switch (list) {
        case L::AllEvents: return servicemask::ALL_EVENTS;
        case L::PeripheralMonitor: return servicemask::PERIPHERAL_MONITOR;
        case L::ClientMonitor: return servicemask::CLIENT_MONITOR;
        case L::Supervisor: return servicemask::SUPERVISOR;
        case L::Server: return servicemask::SERVER;
        case L::WEXA: return servicemask::WEXA;
        case L::AllTaskEvents: return servicemask::ALL_TASK_EVENTS;
        case L::TaskMonitor: return servicemask::TASK_MONITOR;
        case L::Explicit:
        case L::AllSessions: break;
    }
    return 0;
}

int32_t DistributionAgentState(BaseMSG& msg) {
    if (msg.GetMsgType() != ctitype::AgentStateEventMSG) return kNoAgentState;
    return msg.GetUSHORT(elementid::SkillGroupState);
}

bool PassesEventMasks(const RecipientView& session, uint32_t msgType, int32_t agentState) {
    switch (BaseMSG::GetCategory(static_cast<int32_t>(msgType))) {
        case 3: {  // call events
            const uint32_t bit = BaseMSG::GetCallEventMaskBit(static_cast<int32_t>(msgType));
            return bit == 0 || (session.callMsgMask & bit) != 0;
        }
        case 4: {  // agent state
            const uint32_t bit = BaseMSG::GetAgentStateMaskBit(agentState);
            return bit == 0 || (session.agentStateMask & bit) != 0;
        }
        default: return true;
    }
}

bool PassesSendFilters(const RecipientView& session, BaseMSG& msg, bool serverStopping) {
    const uint32_t type = msg.GetMsgType();
    if (session.peripheralID != kAnyPeripheral && session.version >= 11 &&
        (session.serviceMask & servicemask::ALL_EVENTS) != 0 &&
        msg.FindElement(elementid::CTIPeripheralID, 0, false) != nullptr &&
        msg.GetUINT(elementid::CTIPeripheralID) != session.peripheralID)
        return false;
    if (session.state == SessionProtocol::sessionStandby) {
        switch (type) {
            case ctitype::FailureConfMSG:
            case ctitype::FailureEventMSG:
            case ctitype::OpenConfMSG:
            case ctitype::HeartbeatConfMSG:
            case ctitype::CloseConfMSG:
            case ctitype::ClientSessionOpenedEventMSG:
            case ctitype::ClientSessionClosedEventMSG: break;
            default: return false;
        }
    }
    if (serverStopping && type != ctitype::HeartbeatConfMSG && type != ctitype::CloseConfMSG &&
        type != ctitype::ClientSessionClosedEventMSG)
        return false;
    return true;
}

bool AgentEventChanged(AgentEventMemory& memory, uint16_t skillGroupState, uint16_t agentState,
                       uint16_t eventReasonCode, uint32_t availability, bool reasonCodeChanged) {
    if (skillGroupState == 0 || skillGroupState == 1) {
        memory.lastState = skillGroupState;
        memory.lastAvailability = availability;
        return true;
    }
    if (eventReasonCode == 999 && memory.lastState == agentState) return false;
    if (memory.lastState == agentState && memory.lastAvailability == availability &&
        eventReasonCode != 50020) {
        if (!reasonCodeChanged) return false;
        memory.lastState = agentState;
        memory.lastAvailability = availability;
        return true;
    }
    memory.lastState = agentState;
    memory.lastAvailability = availability;
    return true;
}

bool UTF8ConversionAllowed() {
    // The application's DisableUTF8Conversion: no application, no conversion.
    SessionProtocol* master = SessionProtocol::Master();
    return master != nullptr && master->Host().UTF8ConversionAllowed();
}

int EncodeFrame(BaseMSG& msg, uint32_t version, uint32_t callVariableMask,
                const ECCSelection* registeredVariables, uint32_t serviceMask,
                const FrameReplacer& replace) {
    thread_local std::vector<uint8_t> scratch;
    const int room = msg.MaxEncodedSize(version) + CTI_HEADER_SIZE;
    if (room < CTI_HEADER_SIZE) return 0;
    if (scratch.size() < static_cast<size_t>(room)) scratch.resize(static_cast<size_t>(room));
    const int n = msg.Encode(scratch.data(), room, version, callVariableMask, registeredVariables,
                             serviceMask);
    if (n < CTI_HEADER_SIZE || n > TRANSPORT_MAX_MSG) return 0;
    return replace(scratch.data(), n);
}

int EncodeFrame(TransportMSG& frame, BaseMSG& msg, uint32_t version, uint32_t callVariableMask,
                const ECCSelection* registeredVariables, uint32_t serviceMask) {
    return EncodeFrame(msg, version, callVariableMask, registeredVariables, serviceMask,
                       [&frame](const uint8_t* data, int32_t length) { return frame.InitBuffer(length, data); });
}

int TailorMessageForClient(TransportMSG& frame, FrameStamp& stamp, uint32_t version, BaseMSG& msg,
                           uint32_t callVariableMask, const ECCSelection* registeredVariables,
                           uint32_t serviceMask, bool trace, bool utf8) {
    return TailorMessageForClient(
        stamp, version, msg, callVariableMask, registeredVariables, serviceMask, trace, utf8,
        [&frame](const uint8_t* data, int32_t length) { return frame.InitBuffer(length, data); });
}

int TailorMessageForClient(FrameStamp& stamp, uint32_t version, BaseMSG& msg,
                           uint32_t callVariableMask, const ECCSelection* registeredVariables,
                           uint32_t serviceMask, bool trace, bool utf8, const FrameReplacer& replace) {
    const uint32_t type = msg.GetMsgType();
    bool reEncode = false;
    if (version != stamp.version) {
        reEncode = true;
        if (trace) EMSTraceMessage("TailorMessageForClient - reEncode message for version %d", version);
    }
    if (!reEncode && version > 15 && ((stamp.serviceMask ^ serviceMask) & SERVICE_MASK_REMASK_BIT) != 0 &&
        ElementPresent(msg, elementid::REMaskArray)) {
        reEncode = true;
        if (trace)
            EMSTraceMessage(
                "TailorMessageForClient - reEncode message for RequestEnablementMask Present / Not "
                "Present");
    }
    const auto finish = [&](bool encode) {
        if (!encode) return 1;
        if (!EncodeFrame(msg, version, callVariableMask, registeredVariables, serviceMask, replace)) return 0;
        stamp.msgType = type;
        stamp.version = version;
        stamp.serviceMask = serviceMask;
        return 1;
    };
    // Nothing else of the other types is tailored: a fan-out's common case stops here.
    if (!IsCallCarryingType(type) && !CarriesWrapupData(type)) return finish(reEncode);
    const bool convert = utf8 && UTF8ConversionAllowed();
    Conversion conversion(msg);
    if (IsCallCarryingType(type)) {
        if (!reEncode && (callVariableMask & ALL_CALL_VARIABLES) != ALL_CALL_VARIABLES) {
            for (int n = 1; n <= kCallVariableCount; ++n) {
                if ((callVariableMask & (1u << (n - 1))) != 0) continue;
                if (!ElementPresent(msg, CallVariableId(n))) continue;
                reEncode = true;
                if (trace) EMSTraceMessage("TailorMessageForClient - reEncode message to mask variable %d", n);
                break;
            }
        }
        if (convert) {
            bool changed = false;
            for (int n = 1; n <= kCallVariableCount; ++n) changed |= conversion.ConvertString(CallVariableId(n));
            reEncode |= changed;
        }
        std::vector<NameValueStruct> ecc;
        if (msg.FindElement(elementid::ExpandedCallContxt, 0, false) != nullptr)
            msg.GetECCList(elementid::ExpandedCallContxt, ecc);
        if (convert && !ecc.empty()) reEncode |= conversion.ConvertECC(ecc);
        if (!reEncode && registeredVariables != nullptr && !ecc.empty()) {
            for (const NameValueStruct& entry : ecc) {
                if (IsRegistered(*registeredVariables, entry.name)) continue;
                reEncode = true;
                if (trace)
                    EMSTraceMessage("TailorMessageForClient - reEncode message to mask ECC variable %s",
                                    SVRTraceON(ECCVariables) ? entry.name.c_str()
                                                                          : kECCTracingDisabled);
                break;
            }
        }
    }
    if (convert && CarriesWrapupData(type)) reEncode |= conversion.ConvertString(elementid::CallWrapupData);
    return finish(reEncode);
}
