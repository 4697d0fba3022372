#include "opcmsg/cstaeventpd.h"

#include <cstring>

#include "nuvlib/ems.h"
#include "opcmsg/opcnames.h"
#include "platform/byteorder.h"

namespace {

// Reads fields in order within `length` bytes; the first one that does not fit stops it.
class Cursor {
public:
    Cursor(const uint8_t* block)
        : m_Data(PrivateDataPointer(block, 0)),
          m_Length(PrivateDataLength(block) > kOPCPrivateDataRoom ? kOPCPrivateDataRoom
                                                                  : PrivateDataLength(block)) {}

    bool Word(int32_t* out) {
        if (!m_Ok || m_Pos + 4 > m_Length) return Stop();
        *out = static_cast<int32_t>(plat::LoadLE32(m_Data + m_Pos));
        m_Pos += 4;
        return true;
    }
    bool Text(std::string* out, uint32_t width) {
        if (!m_Ok || m_Pos + width > m_Length) return Stop();
        *out = std::string(reinterpret_cast<const char*>(m_Data + m_Pos),
                           opcbytes::FieldLength(m_Data + m_Pos, width));
        m_Pos += width;
        return true;
    }
    bool Connection(ConnectionID* out) {
        if (!m_Ok || m_Pos + ConnectionID::kWireSize > m_Length) return Stop();
        *out = ConnectionID::Read(m_Data + m_Pos);
        m_Pos += ConnectionID::kWireSize;
        return true;
    }
    // A padded string: u16 count, characters up to their NUL, fill to a multiple of 4.
    bool String(std::string* out) {
        if (!m_Ok || m_Pos + 2 > m_Length) return Stop();
        const uint32_t count = plat::LoadLE16(m_Data + m_Pos);
        const uint32_t size = opcbytes::PaddedStringSize(count);
        if (m_Pos + size > m_Length) return Stop();
        const uint8_t* chars = m_Data + m_Pos + 2;
        *out = std::string(reinterpret_cast<const char*>(chars), opcbytes::FieldLength(chars, count));
        m_Pos += size;
        return true;
    }
    // Traced once when the block ended inside its structure.
    void Report(const char* view) const {
        if (!m_Ok)
            EMSTraceMessage("%s: private data of %u bytes ends inside its fields at offset %u; "
                            "the rest keeps its defaults",
                            view, m_Length, m_Pos);
    }

private:
    bool Stop() {
        m_Ok = false;
        return false;
    }
    const uint8_t* m_Data;
    uint32_t m_Length;
    uint32_t m_Pos = 0;
    bool m_Ok = true;
};

}  // namespace

CSTAServiceInitiatedEvent_PD::CSTAServiceInitiatedEvent_PD(const uint8_t* block) {
    Cursor c(block);
    c.Word(&SkillGroupNumber) && c.Word(&Line) && c.Word(&LineType) && c.Word(&DeviceNumber) &&
        c.Connection(&COC) && c.Text(&AGExt, 16) && c.Word(&AGSTID) && c.Word(&RtrCallKey1) &&
        c.Word(&RtrCallKey2) && c.String(&CorrData);
    c.Report("CSTAServiceInitiatedEvent_PD");
}

void CSTAServiceInitiatedEvent_PD::Trace() const {
    EMSTraceMessage(
        "CSTAServiceInitiatedEvent_PD:: AGExt=%s SG#=%d Line=%d LineType=%d Dev#=%d COC(CID=%d "
        "DevID=%s DevIDType=%s)  CorrData=%s AGSTID=%d RtrCallKey=(%d-%d)",
        AGExt.c_str(), SkillGroupNumber, Line, LineType, DeviceNumber, COC.callID, COC.deviceID,
        ConnectionIDDeviceTypeName(static_cast<int32_t>(COC.deviceIDType)), CorrData.c_str(),
        AGSTID, RtrCallKey1, RtrCallKey2);
}

CSTARecordingTargetInfoEvent_PD::CSTARecordingTargetInfoEvent_PD(const uint8_t* block) {
    Cursor c(block);
    c.Word(&Line) && c.Word(&LineType) && c.Word(&RecordingType) &&
        c.Word(&MediaForkingDeviceType) && c.Word(&RecorderType) && c.Word(&RecorderStatus) &&
        c.String(&CorrData) && c.String(&Uninterpreted) && c.String(&RecorderAddress) &&
        c.String(&TerminalName) && c.String(&MediaForkingDeviceName) &&
        c.String(&ProtocolReferenceGUID) && c.String(&MediaForkingClusterID) &&
        c.String(&RecorderURI) && c.String(&RecorderErrorMsg);
    c.Report("CSTARecordingTargetInfoEvent_PD");
}

void CSTARecordingTargetInfoEvent_PD::Trace() const {
    EMSTraceMessage("CSTARecordingTargetInfoEvent_PD:: Line=%d LineType=%d CorrData=%s", Line,
                    LineType, CorrData.c_str());
    EMSTraceMessage("RecordingType=%d MediaForkingDeviceType=%d RecorderType=%d RecorderStatus=%d",
                    RecordingType, MediaForkingDeviceType, RecorderType, RecorderStatus);
    EMSTraceMessage(
        "RecorderAddress=%s TerminalName=%s MediaForkingDeviceName=%s ProtocolReferenceGUID=%s "
        "MediaForkingClusterID=%s",
        RecorderAddress.c_str(), TerminalName.c_str(), MediaForkingDeviceName.c_str(),
        ProtocolReferenceGUID.c_str(), MediaForkingClusterID.c_str());
    std::string optional;
    if (!RecorderURI.empty()) optional += "RecorderURI=" + RecorderURI + " ";
    if (!RecorderErrorMsg.empty()) optional += "RecorderErrorMsg=" + RecorderErrorMsg + " ";
    if (!optional.empty()) EMSTraceMessage("%s", optional.c_str());
}
