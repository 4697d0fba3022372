#include "opcmsg/armapppath.h"
#include "platform/byteorder.h"

#include <cstring>

bool AppPathMemberList::ReadFrom(const uint8_t* data, size_t length) {
    if (length < 4) return false;
    const uint32_t n = plat::LoadLE32(data);
    if (n > (length - 4) / 8 || n > static_cast<uint32_t>(INT32_MAX)) return false;
    const auto count = static_cast<int32_t>(n);
    MRDIDs.Grow(count - 1);
    PeripheralIDs.Grow(count - 1);
    MRDIDs.Load(data + 4, count);
    PeripheralIDs.Load(data + 4 + 4 * n, count);
    Count = count;
    return true;
}

std::string AppPathMemberList::ToString() {
    std::string out = "appPathMember count = ";
    opcwire::AppendInt(out, Count);
    if (Count <= 0) return out;
    out += " MRDID/PeripheralID = (";
    for (int32_t i = 0; i < Count; ++i) {
        if (i > 0) out += ',';
        opcwire::AppendInt(out, MRDIDs.At(i));
        out += '/';
        opcwire::AppendInt(out, PeripheralIDs.At(i));
    }
    out += ')';
    return out;
}

bool AppPathMemberList::Contains(int32_t mrdid, int32_t peripheralID) {
    for (int32_t i = 0; i < Count; ++i) {
        if (MRDIDs.At(i) == mrdid && PeripheralIDs.At(i) == peripheralID) return true;
    }
    return false;
}

ARMAppPathUpRespMsg::ARMAppPathUpRespMsg()
    : ARMMsgCommon(ARM_APP_PATH_UP_RESP), m_Members(new AppPathMemberList) {}

ARMAppPathUpRespMsg::ARMAppPathUpRespMsg(const uint8_t* body, size_t length)
    : ARMMsgCommon(ARM_APP_PATH_UP_RESP, body, length), m_Members(new AppPathMemberList) {
    if (!m_Body.Valid()) return;
    const size_t fixed = m_Body.layout().fixedLength;
    if (!m_Members->ReadFrom(body + fixed, length - fixed)) m_Body.Refuse(length, "member list");
}

uint32_t ARMAppPathUpRespMsg::GetLength() const {
    return m_Body.layout().fixedLength + 4u + 8u * static_cast<uint32_t>(m_Members->Count > 0 ? m_Members->Count : 0);
}

uint8_t* ARMAppPathUpRespMsg::Serialize(uint8_t* out, size_t room) const {
    const uint32_t total = GetLength();
    if (total > room || total > kOPCMessageBodyRoom) {
        EMSTraceMessage("%s: message of %u bytes refused, room is %zu bytes", m_Body.layout().name, total, room);
        return nullptr;
    }
    uint8_t* p = m_Body.Write(out, room);
    const int32_t n = m_Members->Count > 0 ? m_Members->Count : 0;
    plat::StoreLE32(p, static_cast<uint32_t>(n));
    p += 4;
    for (int32_t i = 0; i < n; ++i, p += 4)
        plat::StoreLE32(p, static_cast<uint32_t>(m_Members->MRDIDs.Peek(i)));
    for (int32_t i = 0; i < n; ++i, p += 4)
        plat::StoreLE32(p, static_cast<uint32_t>(m_Members->PeripheralIDs.Peek(i)));
    return p;
}

std::string ARMAppPathUpRespMsg::ToString() const {
    return m_Body.Trace(false, false) + m_Members->ToString();
}

void ARMAppPathUpRespMsg::ReserveAppPathMembers(int32_t n) {
    m_Members->MRDIDs.Grow(n - 1);
    m_Members->PeripheralIDs.Grow(n - 1);
}

void ARMAppPathUpRespMsg::AddAppPathMember(int32_t mrdid, int32_t peripheralID) {
    m_Members->MRDIDs.At(m_Members->Count) = mrdid;
    m_Members->PeripheralIDs.At(m_Members->Count) = peripheralID;
    ++m_Members->Count;
}
