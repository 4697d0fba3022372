// Field access by element id and occurrence: the lookup with its two hint slots, the typed
// getters and setters, presence, removal and the device-id splitter.
#include <cstring>

#include "ctimsg/basemsg.h"
#include "ctimsg/eccelement.h"
#include "ctimsg/names.h"
#include "ctimsg/structured.h"
#include "nuvlib/ems.h"

namespace {

constexpr uint32_t kNumNamedVariables = elementid::NumNamedVariables;
constexpr uint32_t kNumNamedArrays = elementid::NumNamedArrays;
constexpr uint32_t kExpandedCallContext = elementid::ExpandedCallContxt;

// The successor a hint moves to. Repeats of the same (id, occurrence), as OPEN_REQ's three
// Reserved fields, are passed over: access by id reaches only the first of them.
BaseElement* Successor(const BaseElement* e) {
    BaseElement* next = e->GetNext();
    while (next != nullptr && next->GetElementID() == e->GetElementID() &&
           next->GetOccurrence() == e->GetOccurrence()) {
        next = next->GetNext();
    }
    return next;
}

}  // namespace

BaseElement* BaseMSG::FindElement(uint32_t elementId, uint32_t occurrence, bool advance) {
    for (uint32_t slot = 0; slot < 2; ++slot) {
        BaseElement* e = m_Hints[slot];
        if (e != nullptr && e->GetElementID() == elementId && e->GetOccurrence() == occurrence) {
            if (advance) m_Hints[slot] = Successor(e);
            m_LastHint = slot;
            return e;
        }
    }
    BaseElement* e = FindInChain(elementId, occurrence);
    if (e == nullptr) return nullptr;
    m_LastHint = (m_LastHint + 1) % 2;
    m_Hints[m_LastHint] = advance ? Successor(e) : e;
    return e;
}

BaseElement* BaseMSG::FindInChain(uint32_t elementId, uint32_t occurrence) const {
    for (BaseElement* e = m_Chain; e != nullptr; e = e->GetNext()) {
        if (e->GetElementID() == elementId && e->GetOccurrence() == occurrence) return e;
    }
    return nullptr;
}

BaseElement* BaseMSG::Need(const char* operation, uint32_t elementId, uint32_t occurrence,
                           bool advance) {
    BaseElement* e = FindElement(elementId, occurrence, advance);
    if (e == nullptr) {
        EMSFailMessage("%s - %s[%d] element not in %s message", operation, ElementName(elementId),
                       occurrence, MsgTypeName(m_MsgType));
    }
    return e;
}

int BaseMSG::Present(uint32_t elementId, uint32_t occurrence) {
    BaseElement* e = FindElement(elementId, occurrence, false);
    if (e == nullptr) {
        EMSTraceMessage("BaseMSG::Present - %s[%d] element not in %s message",
                        ElementName(elementId), occurrence, MsgTypeName(m_MsgType));
        return 0;
    }
    return e->IsPresent() ? 1 : 0;
}

void BaseMSG::Remove(uint32_t elementId, uint32_t occurrence) {
    Need("BaseMSG::Remove", elementId, occurrence, false)->Clear();
}

void BaseMSG::Clear() {
    for (BaseElement* e = m_Chain; e != nullptr; e = e->GetNext()) e->Clear();
}

void BaseMSG::ClearECC() {
    BaseElement* ecc = FindElement(kExpandedCallContext, 0, false);
    if (ecc == nullptr) return;
    ecc->Clear();
    // Both counts travel with the context; a message without them has nothing to reset.
    if (BaseElement* n = FindElement(kNumNamedVariables, 0, false)) WriteNumberValue(n, 0);
    if (BaseElement* n = FindElement(kNumNamedArrays, 0, false)) WriteNumberValue(n, 0);
}

// ---- getters ----

namespace {

// Reads a number for a getter of the given width, tracing a width mismatch.
template <typename T>
T GetNumber(BaseElement* e, const char* operation, uint32_t width, uint32_t msgType) {
    if (e->GetMaxBytes() != width) {
        EMSTraceMessage("%s - ERROR - called to extract item %s of incorrect size %d in message %s",
                        operation, ElementName(e->GetElementID()), e->GetMaxBytes(),
                        MsgTypeName(msgType));
    }
    uint32_t value = 0;
    if (!e->IsPresent() || !ReadNumberValue(e, value)) return 0;
    return static_cast<T>(value);
}

}  // namespace

uint16_t BaseMSG::GetBOOL(uint32_t elementId, uint32_t occurrence) {
    return GetNumber<uint16_t>(Need("BaseMSG::GetBOOL", elementId, occurrence), "BaseMSG::GetBOOL",
                               2, m_MsgType);
}

int32_t BaseMSG::GetINT(uint32_t elementId, uint32_t occurrence) {
    BaseElement* e = FindElement(elementId, occurrence, true);
    if (e == nullptr) {
        EMSFailMessage("BaseMSG::GetINT - %s[%d] element not in message", ElementName(elementId),
                       occurrence);
    }
    return GetNumber<int32_t>(e, "BaseMSG::GetINT", 4, m_MsgType);
}

uint32_t BaseMSG::GetUINT(uint32_t elementId, uint32_t occurrence) {
    return GetNumber<uint32_t>(Need("BaseMSG::GetUINT", elementId, occurrence), "BaseMSG::GetUINT",
                               4, m_MsgType);
}

uint16_t BaseMSG::GetUSHORT(uint32_t elementId, uint32_t occurrence) {
    return GetNumber<uint16_t>(Need("BaseMSG::GetUSHORT", elementId, occurrence),
                               "BaseMSG::GetUSHORT", 2, m_MsgType);
}

uint8_t BaseMSG::GetUCHAR(uint32_t elementId, uint32_t occurrence) {
    // The fatal text keeps its historical spelling; the width trace does not.
    return GetNumber<uint8_t>(Need("BaseMSG::GetUCAHR", elementId, occurrence), "BaseMSG::GetUCHAR",
                              1, m_MsgType);
}

const char* BaseMSG::GetSTRING(uint32_t elementId, uint32_t occurrence) {
    BaseElement* e = Need("BaseMSG::GetSTRING", elementId, occurrence);
    const auto* s = dynamic_cast<const STRINGElement*>(e);
    if (s == nullptr || !e->IsPresent()) return nullptr;
    return s->Get().c_str();
}

const uint8_t* BaseMSG::GetUNSPEC(uint32_t elementId, int& length, uint32_t occurrence) {
    BaseElement* e = Need("BaseMSG::GetUNSPEC", elementId, occurrence);
    length = 0;
    if (!e->IsPresent()) return nullptr;
    if (const auto* u = dynamic_cast<const UNSPECElement*>(e)) return u->Get(length);
    if (const auto* d = dynamic_cast<const DataStructureField*>(e)) return d->Get(length);
    return nullptr;
}

BaseMSG::TaskIDWords BaseMSG::GetTaskID(uint32_t elementId, uint32_t occurrence) {
    BaseElement* e = Need("BaseMSG::GetTaskID", elementId, occurrence);
    const auto* t = dynamic_cast<const TaskIDType*>(e);
    // An absent task id reads as -1 in every word, the protocol's "no task".
    if (t == nullptr || !e->IsPresent()) return {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu};
    return {t->GetFirst(), t->GetSecond(), t->GetThird()};
}

int BaseMSG::GetTaskID(uint32_t elementId, uint32_t& first, uint32_t& second, uint32_t& third,
                       uint32_t occurrence) {
    BaseElement* e = Need("BaseMSG::GetTaskID", elementId, occurrence);
    const auto* t = dynamic_cast<const TaskIDType*>(e);
    if (t == nullptr || !e->IsPresent()) return 0;
    first = t->GetFirst();
    second = t->GetSecond();
    third = t->GetThird();
    return 1;
}

bool BaseMSG::GetECC(uint32_t elementId, const std::string& name, std::string& value,
                     uint32_t occurrence) {
    const auto* ecc = dynamic_cast<const ECCElement*>(Need("BaseMSG::GetECC", elementId, occurrence));
    return ecc != nullptr && ecc->GetVariable(name, value);
}

bool BaseMSG::GetECC(uint32_t elementId, const std::string& name, int32_t index,
                     std::string& value, uint32_t occurrence) {
    const auto* ecc = dynamic_cast<const ECCElement*>(Need("BaseMSG::GetECC", elementId, occurrence));
    return ecc != nullptr && ecc->GetArrayElement(name, index, value);
}

void BaseMSG::GetECCList(uint32_t elementId, std::vector<NameValueStruct>& list) {
    list.clear();
    const auto* ecc = dynamic_cast<const ECCElement*>(Need("BaseMSG::GetECCList", elementId, 0));
    if (ecc != nullptr) ecc->GetList(list);
}

// ---- setters ----

namespace {

// A setter of a kind the element is not is the same programming error as a missing element.
[[noreturn]] void WrongKind(const char* operation, uint32_t elementId, uint32_t occurrence,
                            uint32_t msgType) {
    EMSFailMessage("%s - %s[%d] element not in %s message", operation, ElementName(elementId),
                   occurrence, MsgTypeName(msgType));
}

}  // namespace

#define BASEMSG_NUMBER_SETTER(Name, Type)                                                     \
    void BaseMSG::Name(uint32_t elementId, Type value, uint32_t occurrence) {                 \
        BaseElement* e = Need("BaseMSG::" #Name, elementId, occurrence);                      \
        if (!WriteNumberValue(e, static_cast<uint32_t>(value)))                                    \
            WrongKind("BaseMSG::" #Name, elementId, occurrence, m_MsgType);                   \
    }
BASEMSG_NUMBER_SETTER(SetBOOL, uint16_t)
BASEMSG_NUMBER_SETTER(SetINT, int32_t)
BASEMSG_NUMBER_SETTER(SetUINT, uint32_t)
BASEMSG_NUMBER_SETTER(SetUSHORT, uint16_t)
BASEMSG_NUMBER_SETTER(SetUCHAR, uint8_t)
#undef BASEMSG_NUMBER_SETTER

void BaseMSG::SetSTRING(uint32_t elementId, std::string_view text, uint32_t occurrence) {
    auto* s = dynamic_cast<STRINGElement*>(Need("BaseMSG::SetSTRING", elementId, occurrence));
    if (s == nullptr) WrongKind("BaseMSG::SetSTRING", elementId, occurrence, m_MsgType);
    s->Set(text);
}

void BaseMSG::SetSTRINGMax(uint32_t elementId, std::string_view text, uint32_t occurrence) {
    BaseElement* e = Need("BaseMSG::SetSTRINGMax", elementId, occurrence);
    auto* s = dynamic_cast<STRINGElement*>(e);
    if (s == nullptr) WrongKind("BaseMSG::SetSTRINGMax", elementId, occurrence, m_MsgType);
    size_t keep = text.size();
    size_t max = e->GetMaxBytes();
    if (keep + 1 > max) keep = max > 0 ? max - 1 : 0;
    s->Set(text.substr(0, keep));
}

void BaseMSG::SetUNSPEC(uint32_t elementId, const uint8_t* bytes, int length,
                        uint32_t occurrence) {
    BaseElement* e = Need("BaseMSG::SetUNSPEC", elementId, occurrence);
    auto* u = dynamic_cast<UNSPECElement*>(e);
    if (u == nullptr) WrongKind("BaseMSG::SetUNSPEC", elementId, occurrence, m_MsgType);
    if (length < 0) length = 0;
    int max = static_cast<int>(e->GetMaxBytes());
    bool cut = length > max;
    u->Set(bytes, cut ? max : length);
    if (cut) {
        std::string own;
        e->Trace(own);
        EMSTraceMessage("BaseMSG::SetUNSPEC - %s[%d] truncating %s in %s message",
                        ElementName(elementId), occurrence, own.c_str(), MsgTypeName(m_MsgType));
    }
}

void BaseMSG::SetDataStructure(uint32_t elementId, const uint8_t* bytes, int length,
                               uint32_t occurrence) {
    auto* d =
        dynamic_cast<DataStructureField*>(Need("BaseMSG::SetDataStructure", elementId, occurrence));
    if (d == nullptr) WrongKind("BaseMSG::SetDataStructure", elementId, occurrence, m_MsgType);
    d->Set(bytes, length < 0 ? 0 : length);
}

void BaseMSG::SetTaskID(uint32_t elementId, uint32_t first, uint32_t second, uint32_t third,
                        uint32_t occurrence) {
    auto* t = dynamic_cast<TaskIDType*>(Need("BaseMSG::SetTaskID", elementId, occurrence));
    if (t == nullptr) WrongKind("BaseMSG::SetTaskID", elementId, occurrence, m_MsgType);
    t->Set(first, second, third);
}

void BaseMSG::SetTaskID(uint32_t elementId, uint64_t firstPair, uint32_t third,
                        uint32_t occurrence) {
    // The pair holds the first word in its low half, as the two words lie in memory.
    SetTaskID(elementId, static_cast<uint32_t>(firstPair), static_cast<uint32_t>(firstPair >> 32),
              third, occurrence);
}

int BaseMSG::SetECC(uint32_t elementId, const std::string& name, const std::string& value,
                    uint32_t occurrence) {
    auto* ecc = dynamic_cast<ECCElement*>(Need("BaseMSG::SetECC", elementId, occurrence));
    if (ecc == nullptr) WrongKind("BaseMSG::SetECC", elementId, occurrence, m_MsgType);
    return ecc->Set(name, value);
}

int BaseMSG::SetECC(uint32_t elementId, const std::string& name, int32_t index,
                    const std::string& value, uint32_t occurrence) {
    auto* ecc = dynamic_cast<ECCElement*>(Need("BaseMSG::SetECC", elementId, occurrence));
    if (ecc == nullptr) WrongKind("BaseMSG::SetECC", elementId, occurrence, m_MsgType);
    return ecc->Set(name, index, value);
}

int BaseMSG::SetECCList(const std::vector<NameValueStruct>& list) {
    for (const NameValueStruct& entry : list) {
        int rc = entry.isArray == 1
                     ? SetECC(kExpandedCallContext, entry.name, entry.index, entry.value, 0)
                     : SetECC(kExpandedCallContext, entry.name, entry.value, 0);
        if (rc != 0) {
            ClearECC();
            return rc;
        }
    }
    return 0;
}

// ---- device ids ----

int BaseMSG::DisassembleDeviceID(const char* fullId, char* instrument, char* extension,
                                 char* line) {
    if (fullId == nullptr) return -5;
    const size_t length = std::strlen(fullId);
    if (length >= 64) {
        EMSTraceMessage(
            "BaseMSG::DisassembleDeviceID(%s,...) ERROR: fullDevIDp length of %d exceeds maximum "
            "of %d - Not disassembling",
            fullId, static_cast<int>(length), 63);
        return -1;
    }
    const char* firstDot = std::strchr(fullId, '.');
    const char* secondDot = firstDot != nullptr ? std::strchr(firstDot + 1, '.') : nullptr;

    if (instrument != nullptr) {
        size_t n = firstDot != nullptr ? static_cast<size_t>(firstDot - fullId) : length;
        if (n >= 64) {
            EMSTraceMessage(
                "BaseMSG::DisassembleDeviceID(%s,...) WARNING: Instrument component length of %d "
                "exceeds maximum of %d - Not extracted",
                fullId, static_cast<int>(n), 63);
            return -2;
        }
        std::memcpy(instrument, fullId, n);
        instrument[n] = '\0';
    }
    if (extension != nullptr && firstDot != nullptr) {
        const char* start = firstDot + 1;
        size_t n = secondDot != nullptr ? static_cast<size_t>(secondDot - start) : std::strlen(start);
        if (n >= 16) {
            EMSTraceMessage(
                "BaseMSG::DisassembleDeviceID(%s,...) WARNING: Extension component length of %d "
                "exceeds maximum of %d - Truncated",
                fullId, static_cast<int>(n), 15);
            return -3;
        }
        std::memcpy(extension, start, n);
        extension[n] = '\0';
    }
    if (line != nullptr && secondDot != nullptr) {
        const char* start = secondDot + 1;
        size_t n = std::strlen(start);
        if (n >= 40) {
            EMSTraceMessage(
                "BaseMSG::DisassembleDeviceID(%s,...) WARNING: Line component length of %d exceeds "
                "maximum of %d - Truncated",
                fullId, static_cast<int>(n), 39);
            return -4;
        }
        std::memcpy(line, start, n + 1);
    }
    return 0;
}
