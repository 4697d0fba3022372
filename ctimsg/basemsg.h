#pragma once
// The generic CTI message: a message type and a chain of field elements in wire order, with
// the frame encoder, its size estimate and the message's trace text.
//
// Frame: 4-byte body length and 4-byte message type (both big-endian), the fixed-part fields
// bare in chain order, then the floating fields as tag, length and value.
#include <cstdint>
#include <string>

#include "ctimsg/eccdefs.h"
#include "ctimsg/element.h"

class ECCElement;

constexpr int CTI_HEADER_SIZE = 8;

// What a client of one protocol version may send: the decoder enforces these.
struct CTIVersionLimits {
    uint32_t maxFrameBytes;  // header included
    uint32_t maxMsgType;
    uint32_t maxTag;
};
// Versions outside 2 to 24 (and 4) get the newest version's limits.
const CTIVersionLimits& GetVersionLimits(uint32_t version);

// Bit 24 of a session's service mask: the session receives request-enablement masks.
constexpr uint32_t SERVICE_MASK_REMASK_BIT = 0x01000000;
// A call-variable mask that sends all ten call variables.
constexpr uint32_t ALL_CALL_VARIABLES = 1023;

class BaseMSG {
public:
    explicit BaseMSG(uint32_t minVersion);
    virtual ~BaseMSG() = default;
    BaseMSG(const BaseMSG&) = delete;
    BaseMSG& operator=(const BaseMSG&) = delete;

    // Appends "MsgType:" + name + " (" + the traced fields of the version + ")".
    virtual void Trace(std::string& text, uint32_t version);
    // Room the fields may need on the wire, without the header.
    virtual int MaxEncodedSize(uint32_t version) const;

    // The whole frame for one receiving session; bytes written or -1. The message itself is
    // not changed, so one message serves sessions of every version and mask.
    int Encode(uint8_t* buffer, int room, uint32_t version, uint32_t callVariableMask,
               const ECCSelection* eccSelection, uint32_t serviceMask) const;

    uint32_t GetMsgType() const { return m_MsgType; }
    BaseElement* GetFirstElement() const { return m_Chain; }
    bool IsValid() const { return m_Valid != 0; }
    uint32_t GetStatus() const { return m_Status; }
    uint32_t GetFailingElement() const { return m_FailingElement; }
    uint32_t GetFailingOccurrence() const { return m_FailingOccurrence; }
    uint32_t GetMinVersion() const { return m_MinVersion; }

protected:
    // The estimate of the configuration events: present fields only, with a floating header
    // of 2 bytes below version 20 and 4 from it, or of 4 bytes always.
    int PresentEncodedSize(uint32_t version, bool fourByteHeaders) const;
    // The short trace form: the given fields only, each when the version has it.
    void TraceFields(std::string& text, uint32_t version, const uint32_t* elementIds,
                     int count);
    // Extra bytes the call context takes on the wire beyond its own size and one header.
    static int ECCExtraBytes(const BaseElement& element, uint32_t version);
    const ECCElement* FindECCElement() const;

    uint32_t m_MsgType = 0;
    BaseElement* m_Chain = nullptr;
    BaseElement* m_Hints[2] = {nullptr, nullptr};
    uint32_t m_LastHint = 0;
    uint32_t m_Valid = 0;
    uint32_t m_Status = 0;
    uint32_t m_FailingElement = 0;
    uint32_t m_FailingOccurrence = 0;
    uint32_t m_MinVersion;
};

// Cuts one line of at most width characters (words kept whole where they fit) off rest;
// what is left gets indent blanks in front. Callers loop until rest is empty.
std::string WrapText(std::string& rest, int width, int indent);
