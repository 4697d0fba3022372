#pragma once
// Typed views of the OPC private data of two unsolicited CSTA events: service initiated and
// recording target info. A view is built from the event's OPC private-data block (head and
// data; a record's OPC block, or any block whose storage holds the length its head states),
// parses it at once within the stated length (at most 2872 bytes), and keeps
// only what it parsed. Fields that the block does not reach keep the values set before
// parsing (a short or lying block is traced once).
#include <cstdint>
#include <string>

#include "opcmsg/tpcstamsg.h"

class CSTABase_PD {
public:
    virtual void Trace() const {}

protected:
    CSTABase_PD() = default;
    ~CSTABase_PD() = default;  // holders destroy the exact class they built
    CSTABase_PD(const CSTABase_PD&) = default;
    CSTABase_PD& operator=(const CSTABase_PD&) = default;
};

class CSTAServiceInitiatedEvent_PD final : public CSTABase_PD {
public:
    explicit CSTAServiceInitiatedEvent_PD(const uint8_t* block);
    // "CSTAServiceInitiatedEvent_PD:: AGExt=%s SG#=%d ..."
    void Trace() const override;

    int32_t SkillGroupNumber = -1;  // SG#
    int32_t Line = -1;
    int32_t LineType = 3;
    int32_t DeviceNumber = -1;  // Dev#
    ConnectionID COC;           // callID -1 when the call has no originator connection
    std::string AGExt;
    int32_t AGSTID = -1;
    int32_t RtrCallKey1 = 0;
    int32_t RtrCallKey2 = 0;
    std::string CorrData;
};

class CSTARecordingTargetInfoEvent_PD final : public CSTABase_PD {
public:
    static constexpr int32_t kNoValue = 0x7FFFFFFF;  // RecorderType / RecorderStatus absent

    explicit CSTARecordingTargetInfoEvent_PD(const uint8_t* block);
    // "CSTARecordingTargetInfoEvent_PD:: Line=%d LineType=%d CorrData=%s" and its following lines.
    void Trace() const override;

    int32_t Line = -1;
    int32_t LineType = 3;
    int32_t RecordingType = kNoValue;
    int32_t MediaForkingDeviceType = 0;
    int32_t RecorderType = kNoValue;
    int32_t RecorderStatus = kNoValue;
    std::string CorrData;
    std::string Uninterpreted;  // the second string, which the server does not read
    std::string RecorderAddress;
    std::string TerminalName;
    std::string MediaForkingDeviceName;
    std::string ProtocolReferenceGUID;
    std::string MediaForkingClusterID;
    std::string RecorderURI;
    std::string RecorderErrorMsg;
};
