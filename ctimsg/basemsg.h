#pragma once
// The generic CTI message: a message type and a chain of field elements in wire order, with
// the frame encoder, its size estimate and the message's trace text.
//
// Frame: 4-byte body length and 4-byte message type (both big-endian), the fixed-part fields
// bare in chain order, then the floating fields as tag, length and value.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ctimsg/eccdefs.h"
#include "ctimsg/element.h"
#include "ctimsg/names.h"
#include "ctimsg/servicemask.h"

class ECCElement;
class REMaskArray;
struct NameValueStruct;

constexpr int CTI_HEADER_SIZE = 8;

// What a client of one protocol version may send: the decoder enforces these.
struct CTIVersionLimits {
    uint32_t maxFrameBytes;  // header included
    uint32_t maxMsgType;
    uint32_t maxTag;
};
// Versions outside 2 to 24 (and 4) get the newest version's limits.
const CTIVersionLimits& GetVersionLimits(uint32_t version);

// The service bit of sessions that receive the request-enablement masks.
constexpr uint32_t SERVICE_MASK_REMASK_BIT = servicemask::REMASK_SUBSCRIPTION;
// A call-variable mask that sends all ten call variables.
constexpr uint32_t ALL_CALL_VARIABLES = 1023;

class BaseMSG;
// The owner of a message: every message is built by its class's constructor, the catalogue's
// factory or Decode, and is deleted through its virtual destructor when this goes.
using BaseMSGPtr = std::unique_ptr<BaseMSG>;

// One CTI message. It owns its elements (the class's members); the chain only links them.
// Field access moves the lookup hints, so a message is used by one thread at a time.
class BaseMSG {
public:
    explicit BaseMSG(uint32_t minVersion);
    virtual ~BaseMSG() = default;
    BaseMSG(const BaseMSG&) = delete;
    BaseMSG& operator=(const BaseMSG&) = delete;

    // Appends "MsgType:" + name + " (" + the traced fields of the version + ")" to text.
    virtual void Trace(std::string& text, uint32_t version);
    // The short form of the two statistics confirmations (QUERY_AGENT_STATISTICS_CONF and
    // QUERY_SKILL_GROUP_STATISTICS_CONF): only the fields that say whose statistics they are.
    // Other types have no short form and give the full text.
    void TraceSummary(std::string& text, uint32_t version);
    // Room the fields may need on the wire, without the header: a buffer of this + 8 bytes
    // holds any frame Encode writes for the version.
    virtual int MaxEncodedSize(uint32_t version) const;

    // Writes the whole frame for one receiving session into buffer (room bytes, the caller's)
    // and returns the bytes written, or -1 (not valid, type too new for the version, or no
    // room), in which case the buffer must not be sent. The message itself is not changed,
    // so one message serves sessions of every version and mask. eccSelection (the session's
    // registered variables, or null for all) is only read during the call.
    [[nodiscard]] int Encode(uint8_t* buffer, int room, uint32_t version,
                             uint32_t callVariableMask, const ECCSelection* eccSelection,
                             uint32_t serviceMask) const;

    uint32_t GetMsgType() const { return m_MsgType; }
    // The head of the chain; the message owns it and every element after it.
    BaseElement* GetFirstElement() const { return m_Chain; }
    // Whether the last validation (or decode) passed; Encode requires it.
    bool IsValid() const { return m_Valid != 0; }
    // The CTI failure code of the last decode or validation (0 = none), with the element id
    // and occurrence it names.
    uint32_t GetStatus() const { return m_Status; }
    uint32_t GetFailingElement() const { return m_FailingElement; }
    uint32_t GetFailingOccurrence() const { return m_FailingOccurrence; }
    uint32_t GetMinVersion() const { return m_MinVersion; }

    // The event-filter tables and the start-up table check, as callers name them.
    static uint32_t GetCategory(int32_t msgType) { return ::GetCategory(msgType); }
    static uint32_t GetCallEventMaskBit(int32_t msgType) { return ::GetCallEventMaskBit(msgType); }
    static uint32_t GetAgentStateMaskBit(int32_t state) { return ::GetAgentStateMaskBit(state); }
    static uint32_t GetTaskMsgMaskBit(int32_t index) { return ::GetTaskMsgMaskBit(index); }
    static void CheckTables() { ::CheckTables(); }

    // ---- decoding (ctimsg/messages/decode.cpp) ----
    // Decodes one frame of `available` bytes (header included) at protocol `version`. Returns
    // a new message owned by the caller, or null (traced) when the header or the type is
    // unusable. Bad fields do not give null: they leave their status, failing element and
    // occurrence in the message. Never reads past frame + available; the frame stays the
    // caller's and is not kept.
    [[nodiscard]] static BaseMSGPtr Decode(const uint8_t* frame, int available, uint32_t version);
    // Zeroes in `frame` (`length` bytes, header included, as received at `version`) the value
    // bytes of every floating field that holds a secret (a member the catalogue never
    // traces: the passwords), whatever message it stands in; the length and every other
    // byte stay. Where the fields cannot be followed any further, the rest stays as it is.
    static void BlankSecretFields(uint8_t* frame, int length, uint32_t version);

    // ---- validation (ctimsg/validate.cpp) ----
    // Each returns a CTI failure code (0 = valid) and leaves that status, the failing element
    // and occurrence and the valid flag in the message, so the result may be read later with
    // GetStatus instead.
    virtual int Validate(uint32_t version);
    virtual int ValidateReceived(uint32_t version);
    virtual int ValidateToSend(uint32_t version);

    // ---- field access by element id (ctimsg/fieldaccess.cpp) ----
    // Every getter and setter ends the process (EMSFailMessage) when the message has no such
    // element or it is of another kind: callers name only fields of their class. Elements and
    // the texts and bytes the getters return belong to the message and live as long as it,
    // until the field is set again or cleared.
    // The element, or null when the message has none (no failure); advance moves the hint on.
    BaseElement* FindElement(uint32_t elementId, uint32_t occurrence = 0, bool advance = true);
    // 1 when the field is present, 0 when absent or (traced) not in the message.
    int Present(uint32_t elementId, uint32_t occurrence = 0);
    // Makes the field absent.
    void Remove(uint32_t elementId, uint32_t occurrence = 0);
    // Makes every field absent.
    virtual void Clear();
    // Empties the call context and zeroes NumNamedVariables and NumNamedArrays.
    void ClearECC();

    // The value, or 0 when absent; a width that does not match the element is traced.
    uint16_t GetBOOL(uint32_t elementId, uint32_t occurrence = 0);
    int32_t GetINT(uint32_t elementId, uint32_t occurrence = 0);
    uint32_t GetUINT(uint32_t elementId, uint32_t occurrence = 0);
    uint16_t GetUSHORT(uint32_t elementId, uint32_t occurrence = 0);
    uint8_t GetUCHAR(uint32_t elementId, uint32_t occurrence = 0);
    // The text, or null when absent.
    const char* GetSTRING(uint32_t elementId, uint32_t occurrence = 0);
    // The bytes with their count in length, or null when absent.
    const uint8_t* GetUNSPEC(uint32_t elementId, int& length, uint32_t occurrence = 0);
    struct TaskIDWords {
        uint32_t first;
        uint32_t second;
        uint32_t third;
    };
    // The three words; all 0xFFFFFFFF (no task) when absent.
    TaskIDWords GetTaskID(uint32_t elementId, uint32_t occurrence = 0);
    // 1 with the words filled, or 0 (outputs untouched) when absent.
    [[nodiscard]] int GetTaskID(uint32_t elementId, uint32_t& first, uint32_t& second,
                                uint32_t& third, uint32_t occurrence = 0);
    // true with the value copied into value; false when the context holds no such variable.
    bool GetECC(uint32_t elementId, const std::string& name, std::string& value,
                uint32_t occurrence = 0);
    bool GetECC(uint32_t elementId, const std::string& name, int32_t index, std::string& value,
                uint32_t occurrence = 0);
    // Replaces list with copies of every variable of the context.
    void GetECCList(uint32_t elementId, std::vector<NameValueStruct>& list);

    // The setters copy the value into the message and make the field present.
    void SetBOOL(uint32_t elementId, uint16_t value, uint32_t occurrence = 0);
    void SetINT(uint32_t elementId, int32_t value, uint32_t occurrence = 0);
    void SetUINT(uint32_t elementId, uint32_t value, uint32_t occurrence = 0);
    void SetUSHORT(uint32_t elementId, uint16_t value, uint32_t occurrence = 0);
    void SetUCHAR(uint32_t elementId, uint8_t value, uint32_t occurrence = 0);
    void SetSTRING(uint32_t elementId, std::string_view text, uint32_t occurrence = 0);
    // Cuts text to the field's maximum (keeping room for the NUL) instead of refusing it.
    void SetSTRINGMax(uint32_t elementId, std::string_view text, uint32_t occurrence = 0);
    // Keeps at most the field's maximum bytes; the cut is traced.
    void SetUNSPEC(uint32_t elementId, const uint8_t* bytes, int length, uint32_t occurrence = 0);
    void SetDataStructure(uint32_t elementId, const uint8_t* bytes, int length,
                          uint32_t occurrence = 0);
    void SetTaskID(uint32_t elementId, uint32_t first, uint32_t second, uint32_t third,
                   uint32_t occurrence = 0);
    void SetTaskID(uint32_t elementId, uint64_t firstPair, uint32_t third, uint32_t occurrence = 0);
    // Adds or replaces one call variable; 0 or the CTI failure code of the refusal (nothing
    // changed then).
    [[nodiscard]] int SetECC(uint32_t elementId, const std::string& name,
                             const std::string& value, uint32_t occurrence = 0);
    [[nodiscard]] int SetECC(uint32_t elementId, const std::string& name, int32_t index,
                             const std::string& value, uint32_t occurrence = 0);
    // Sets every variable of list; on the first refusal the whole context is emptied and that
    // entry's CTI failure code returned. 0 when all were set.
    [[nodiscard]] int SetECCList(const std::vector<NameValueStruct>& list);

    // Splits "instrument.extension.line" into the caller's buffers (each optional, of room
    // 64, 16 and 40 bytes). 0, or -1 (full id too long), -2/-3/-4 (that part too long; the
    // earlier parts are filled), -5 (no full id). A part the id lacks leaves its buffer as it was.
    [[nodiscard]] static int DisassembleDeviceID(const char* fullId, char* instrument,
                                                 char* extension, char* line);

protected:
    // The base walk shared by the three validations; which picks the element operation.
    enum class Check { Plain, Received, ToSend };
    int ValidateWalk(uint32_t version, Check which);
    void SetFailure(uint32_t status, uint32_t elementId, uint32_t occurrence) {
        m_Status = status;
        m_FailingElement = elementId;
        m_FailingOccurrence = occurrence;
    }
    void SetValidFromStatus() { m_Valid = m_Status == 0 ? 1 : 0; }
    // The decoder's stages (ctimsg/messages/decode.cpp); remaining counts down the body.
    bool DecodeFixed(const uint8_t*& pos, int& remaining, uint32_t version);
    void DecodeFloating(const uint8_t*& pos, int& remaining, uint32_t version);
    // The lookup behind the hints: the first element of the chain with this id and occurrence.
    // A class that knows where its members lie may answer without walking the chain.
    virtual BaseElement* FindInChain(uint32_t elementId, uint32_t occurrence) const;
    // Lookup or fatal report naming the operation.
    BaseElement* Need(const char* operation, uint32_t elementId, uint32_t occurrence,
                      bool advance = true);

    // The estimate of the configuration events: present fields only, with a floating header
    // of 2 bytes below version 20 and 4 from it, or of 4 bytes always.
    int PresentEncodedSize(uint32_t version, bool fourByteHeaders) const;
    // The short trace form: the given fields only, each when the version has it.
    void TraceFields(std::string& text, uint32_t version, const uint32_t* elementIds,
                     int count);
    // Extra bytes a field takes on the wire beyond its maximum bytes and one floating header:
    // the call context's variable headers from version 20, the data structure's wide length
    // below it.
    static int ECCExtraBytes(const BaseElement& element, uint32_t version);
    const ECCElement* FindECCElement() const;
    // The message's request-enablement masks, or nullptr when its class has none.
    REMaskArray* FindREMaskArray() const;

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
