#include "ctimsg/structured.h"

#include <cstring>

#include "ctimsg/names.h"
#include "ctimsg/statuscodes.h"
#include "nuvlib/ems.h"
#include "platform/byteorder.h"

namespace {

const MaskBitName kFlagBits[] = {
    {1u << 0, "PrimLine"},      {1u << 1, "NonPrimLines"},  {1u << 2, "PrivCall"},
    {1u << 3, "LogoutCodeReq"}, {1u << 4, "NotRdyCodeReq"}, {1u << 5, "WrapDataReq"},
};
const MaskBitName kAgentBits[] = {
    {1u << 0, "Login"}, {1u << 1, "Logout"}, {1u << 2, "NotReady"},
    {1u << 3, "Avail"}, {1u << 4, "WrkRdy"}, {1u << 5, "WrkNotRdy"},
};
const MaskBitName kCallBits[] = {
    {1u << 0, "MC"},        {1u << 1, "Alt"},       {1u << 2, "Ans"},      {1u << 3, "ClrCn"},
    {1u << 4, "Cnslt"},     {1u << 5, "Emerg"},     {1u << 6, "Hld"},      {1u << 7, "Rec"},
    {1u << 8, "Rtrv"},      {1u << 9, "SndDTMF"},   {1u << 10, "SetData"}, {1u << 11, "SupBarge"},
    {1u << 12, "SupInt"},   {1u << 13, "SupMon"},   {1u << 14, "SupWhsp"}, {1u << 15, "SupAsst"},
    {1u << 16, "Trans"},    {1u << 17, "SSTrans"},  {1u << 18, "Conf"},    {1u << 19, "AGEnb"},
    {1u << 20, "AGDis"},    {1u << 21, "AGStop"},
};

template <typename T, size_t N>
constexpr int Count(const T (&)[N]) {
    return static_cast<int>(N);
}

// Writes a floating header with a 2-byte length in every version (the data structure's form).
int WriteWideLengthHeader(const BaseElement& e, uint32_t version, uint8_t*& pos, int room,
                          int length) {
    if (length < 0 || length > 0xFFFF) return -1;
    uint32_t tag = ElementTag(e.GetElementID());
    int header = version >= 20 ? 4 : 3;
    if (room < header) return -1;
    if (version >= 20) {
        plat::StoreBE16(pos, static_cast<uint16_t>(tag));
        pos += 2;
    } else {
        *pos++ = static_cast<uint8_t>(tag);
    }
    plat::StoreBE16(pos, static_cast<uint16_t>(length));
    pos += 2;
    return length <= room - header ? header + length : -1;
}

}  // namespace

// ---- task id ----

std::string FormatTaskID(uint32_t first, uint32_t second, uint32_t third, int radix) {
    if (radix < 2 || radix > 36) radix = 10;
    auto one = [radix](uint32_t v) {
        std::string out;
        bool negative = radix == 10 && static_cast<int32_t>(v) < 0;
        uint64_t u = negative ? static_cast<uint64_t>(-static_cast<int64_t>(static_cast<int32_t>(v)))
                              : v;
        do {
            out.insert(out.begin(), "0123456789abcdefghijklmnopqrstuvwxyz"[u % static_cast<unsigned>(radix)]);
            u /= static_cast<unsigned>(radix);
        } while (u != 0);
        if (negative) out.insert(out.begin(), '-');
        return out;
    };
    return one(first) + "/" + one(second) + "/" + one(third);
}

void TaskIDType::Set(uint32_t first, uint32_t second, uint32_t third) {
    m_First = first;
    m_Second = second;
    m_Third = third;
    m_Present = 1;
}

int TaskIDType::Encode(uint8_t* dst, int room, uint32_t version) const {
    if (!m_Present) return 0;
    uint8_t* pos = dst;
    int total = WriteFloatingHeader(*this, version, pos, room, 12);
    if (total < 0) return -1;
    plat::StoreBE32(pos, m_First);
    plat::StoreBE32(pos + 4, m_Second);
    plat::StoreBE32(pos + 8, m_Third);
    return total;
}

int TaskIDType::Decode(const uint8_t* src, int fieldLength, int available, uint32_t) {
    if ((fieldLength != -1 && fieldLength != 12) || available < 12) {
        TraceDecodeLengthError(fieldLength, available);
        return -1;
    }
    Set(plat::LoadBE32(src), plat::LoadBE32(src + 4), plat::LoadBE32(src + 8));
    return 12;
}

void TaskIDType::ValueText(std::string& text) const {
    if (!m_Present) {
        text += "<missing> ";
        return;
    }
    text += FormatTaskID(m_First, m_Second, m_Third, 10);
}

// ---- data structure ----

void DataStructureField::Set(const uint8_t* bytes, int length) {
    if (length < 0) length = 0;
    m_Bytes.assign(bytes, static_cast<size_t>(length));
    m_Length = length;
    m_Present = 1;
}

const uint8_t* DataStructureField::Get(int& length) const {
    length = m_Present ? m_Length : 0;
    return m_Present && m_Length > 0 ? m_Bytes.data() : nullptr;
}

int DataStructureField::Encode(uint8_t* dst, int room, uint32_t version) const {
    if (!m_Present) return 0;
    uint8_t* pos = dst;
    int total = IsFloating() ? WriteWideLengthHeader(*this, version, pos, room, m_Length)
                             : WriteFloatingHeader(*this, version, pos, room, m_Length);
    if (total < 0) return -1;
    if (m_Length > 0) std::memcpy(pos, m_Bytes.data(), static_cast<size_t>(m_Length));
    return total;
}

int DataStructureField::Decode(const uint8_t* src, int fieldLength, int available, uint32_t) {
    if (fieldLength < 0 || fieldLength > UNSPECElement::kMaxDecodeBytes || fieldLength > available) {
        TraceDecodeLengthError(fieldLength, available);
        return -1;
    }
    Set(src, fieldLength);
    return fieldLength;
}

int DataStructureField::Validate(uint32_t version) {
    int rc = BaseElement::Validate(version);
    if (rc != 0) return rc;
    if (m_Present && m_Length > static_cast<int32_t>(m_MaxBytes)) {
        return Fail(E_CTI_INVALID_FIELD_LENGTH);
    }
    return 0;
}

void DataStructureField::ValueText(std::string& text) const {
    if (!m_Present) {
        text += "<missing> ";
        return;
    }
    AppendHexBytes(text, m_Bytes.data(), m_Length);
}

void DataStructureField::Clear() {
    BaseElement::Clear();
    m_Bytes.clear();
    m_Length = 0;
}

// ---- bit masks ----

void MaskBits::Reserve(int n) {
    if (n <= m_Length) return;
    m_Bytes.resize(static_cast<size_t>(n), 0);
    m_Length = n;
}

void MaskBits::SetBits8(uint8_t bits) {
    Reserve(1);
    m_Bytes[0] |= bits;
    m_Present = 1;
}

void MaskBits::SetBits32(uint32_t bits) {
    Reserve(4);
    plat::StoreLE32(m_Bytes.data(), plat::LoadLE32(m_Bytes.data()) | bits);
    m_Present = 1;
}

void MaskBits::AppendBitNames(std::string& text, const MaskBitName* table, int count) const {
    bool first = true;
    for (int k = 0; k < count && k < 8 * m_Length; ++k) {
        int byte = k / 8;
        if ((m_Bytes[static_cast<size_t>(byte)] & (table[k].bit >> (8 * byte))) == 0) continue;
        if (!first) text += ',';
        text += table[k].name;
        first = false;
    }
}

void MaskBits::BitNamesValueText(std::string& text, const MaskBitName* table, int count) const {
    if (!m_Present) {
        text += "<missing> ";
        return;
    }
    AppendHexBytes(text, m_Bytes.data(), m_Length);
    text += '<';
    AppendBitNames(text, table, count);
    text += "> ";
}

void REMaskFlags::ValueText(std::string& text) const {
    BitNamesValueText(text, kFlagBits, Count(kFlagBits));
}

void REMaskCall::ValueText(std::string& text) const {
    BitNamesValueText(text, kCallBits, Count(kCallBits));
}

void REMaskAgent::ValueText(std::string& text) const {
    BitNamesValueText(text, kAgentBits, Count(kAgentBits));
}

// ---- request-enablement masks ----

namespace {
constexpr const elementdict::Row& kArrayRow = elementdict::RowOf(elementid::REMaskArray);
constexpr const elementdict::Row& kInstrumentRow = elementdict::RowOf(elementid::RemaskInstrument);
constexpr const elementdict::Row& kExtensionRow = elementdict::RowOf(elementid::RemaskExtension);
// Minimum versions of the six members, in chain order.
constexpr uint32_t kMemberFrom[] = {
    kInstrumentRow.from,
    kExtensionRow.from,
    elementdict::RowOf(elementid::RemaskCallId).from,
    elementdict::RowOf(elementid::REMaskFlags).from,
    elementdict::RowOf(elementid::REMaskCall).from,
    elementdict::RowOf(elementid::REMaskAgent).from,
};
}  // namespace

REMaskEntry::REMaskEntry()
    : m_Instrument(elementid::RemaskInstrument, kInstrumentRow.bytes, false, true),
      m_Extension(elementid::RemaskExtension, kExtensionRow.bytes, false, true),
      m_CallId(elementid::RemaskCallId, false, true),
      m_FunctionFlags(false, true),
      m_CallMask(false, true),
      m_AgentMask(false, true) {
    BaseElement* chain[] = {&m_Instrument,    &m_Extension, &m_CallId,
                            &m_FunctionFlags, &m_CallMask,  &m_AgentMask};
    for (size_t i = 0; i < 6; ++i) {
        chain[i]->SetFromVersion(kMemberFrom[i]);
        if (i + 1 < 6) chain[i]->SetNext(chain[i + 1]);
    }
}

void REMaskEntry::Set(std::string_view instrument, std::string_view extension, uint32_t callId) {
    m_Instrument.Set(instrument);
    m_Extension.Set(extension);
    m_CallId.Set(callId);
    m_FunctionFlags.SetBits8(0);
    m_CallMask.SetBits32(0);
    m_AgentMask.SetBits8(0);
}

BaseElement* REMaskEntry::Member(uint32_t elementId) {
    BaseElement* const members[] = {&m_Instrument,    &m_Extension, &m_CallId,
                                    &m_FunctionFlags, &m_CallMask,  &m_AgentMask};
    for (BaseElement* e : members) {
        if (e->GetElementID() == elementId) return e;
    }
    return nullptr;
}

void REMaskEntry::SetRequired(bool required) {
    m_Instrument.SetRequired(required);
    m_Extension.SetRequired(required);
    m_CallId.SetRequired(required);
    m_FunctionFlags.SetRequired(required);
    m_CallMask.SetRequired(required);
    m_AgentMask.SetRequired(required);
}

REMaskArray::REMaskArray(bool required, bool traced)
    : USHORTElement(elementid::REMaskArray, required, traced) {
    m_FromVersion = kArrayRow.from;
    BaseElement::SetNext(m_Entries[0].First());
    for (int i = 0; i + 1 < MAX_REMASK_NUM_MASKS; ++i) {
        m_Entries[i].Last()->SetNext(m_Entries[i + 1].First());
    }
}

void REMaskArray::MarkRequired() {
    int count = GetNumMasks();
    for (int i = 0; i < MAX_REMASK_NUM_MASKS; ++i) m_Entries[i].SetRequired(i < count);
}

void REMaskArray::Set(uint16_t count) {
    USHORTElement::Set(count);
    MarkRequired();
}

REMaskEntry* REMaskArray::AddREMask() {
    int count = GetNumMasks();
    if (count >= MAX_REMASK_NUM_MASKS) {
        EMSTraceMessage("REMaskArray::AddREMask exceeeded MAX_REMASK_NUM_MASKS=%d", count);
        return nullptr;
    }
    Set(static_cast<uint16_t>(count + 1));
    return &m_Entries[count];
}

int REMaskArray::Decode(const uint8_t* src, int fieldLength, int available, uint32_t version) {
    int rc = USHORTElement::Decode(src, fieldLength, available, version);
    if (rc >= 0) MarkRequired();
    return rc;
}

int REMaskArray::Validate(uint32_t version) {
    int rc = BaseElement::Validate(version);
    if (rc != 0) return rc;
    MarkRequired();
    if (m_Present && m_Value > MAX_REMASK_NUM_MASKS) return Fail(E_CTI_BAD_MESSAGE_FORMAT);
    return 0;
}

void REMaskArray::Clear() {
    BaseElement::Clear();
    for (auto& entry : m_Entries) entry.SetRequired(false);
}

BaseElement* BusyNextInGroup(const BaseElement* e, const REMaskArray*& masks) {
    const uint32_t id = e->GetElementID();
    if (id == elementid::REMaskArray) {
        masks = e->AsREMaskArray();
        if (masks != nullptr) return masks->NextBusy(e);
    } else if (id == elementid::REMaskAgent && masks != nullptr) {
        return masks->NextBusy(e);
    }
    return e->GetNext();
}
