#pragma once
// Elements whose value is more than one number or string: the task id, the raw data structure,
// bit masks and the request-enablement masks built on them.
#include <cstdint>
#include <string>

#include "ctimsg/element.h"
#include "ctimsg/elementdict.h"

// Three numbers joined by "/", each as a signed 32-bit number in the radix.
std::string FormatTaskID(uint32_t first, uint32_t second, uint32_t third, int radix);

class TaskIDType : public BaseElement {
public:
    TaskIDType(uint32_t elementId, bool required, bool traced)
        : BaseElement(elementId, 12, required, traced) {}

    void Set(uint32_t first, uint32_t second, uint32_t third);
    uint32_t GetFirst() const { return m_First; }
    uint32_t GetSecond() const { return m_Second; }
    uint32_t GetThird() const { return m_Third; }

    int Encode(uint8_t* dst, int room, uint32_t version) const override;
    int Decode(const uint8_t* src, int fieldLength, int available, uint32_t version) override;
    void ValueText(std::string& text) const override;
    int MaxLength() const override { return 12; }

private:
    uint32_t m_First = 0;
    uint32_t m_Second = 0;
    uint32_t m_Third = 0;
};

// Raw bytes whose length is 2 bytes in every protocol version, also below version 20.
class DataStructureField : public BaseElement {
public:
    DataStructureField(uint32_t elementId, uint32_t maxBytes, bool required, bool traced)
        : BaseElement(elementId, maxBytes, required, traced) {}

    void Set(const uint8_t* bytes, int length);
    const uint8_t* Get(int& length) const;

    int Encode(uint8_t* dst, int room, uint32_t version) const override;
    int Decode(const uint8_t* src, int fieldLength, int available, uint32_t version) override;
    int Validate(uint32_t version) override;
    void ValueText(std::string& text) const override;
    void Clear() override;
    int MaxLength() const override { return m_Length; }

private:
    int32_t m_Length = 0;
    ByteBuffer m_Bytes;
};

struct MaskBitName {
    uint32_t bit;
    const char* name;
};

// A little-endian bit mask of any number of bytes: byte 0 holds bits 0 to 7.
class MaskBits : public UNSPECElement {
public:
    MaskBits(uint32_t elementId, uint32_t maxBytes, bool required, bool traced)
        : UNSPECElement(elementId, maxBytes, required, traced) {}

    void Reserve(int n);
    void SetBits8(uint8_t bits);
    void SetBits32(uint32_t bits);
    // Names of the set entries of table, separated by ",".
    void AppendBitNames(std::string& text, const MaskBitName* table, int count) const;

protected:
    // The hex text, then "<", the names of the set bits, then "> ".
    void BitNamesValueText(std::string& text, const MaskBitName* table, int count) const;
};

class REMaskFlags : public MaskBits {
public:
    REMaskFlags(bool required, bool traced) : MaskBits(elementid::REMaskFlags, kRow.bytes, required, traced) {
        m_FromVersion = kRow.from;
    }
    static constexpr const elementdict::Row& kRow = elementdict::RowOf(elementid::REMaskFlags);
    void ValueText(std::string& text) const override;
};

class REMaskCall : public MaskBits {
public:
    REMaskCall(bool required, bool traced) : MaskBits(elementid::REMaskCall, kRow.bytes, required, traced) {
        m_FromVersion = kRow.from;
    }
    static constexpr const elementdict::Row& kRow = elementdict::RowOf(elementid::REMaskCall);
    void ValueText(std::string& text) const override;
};

class REMaskAgent : public MaskBits {
public:
    REMaskAgent(bool required, bool traced) : MaskBits(elementid::REMaskAgent, kRow.bytes, required, traced) {
        m_FromVersion = kRow.from;
    }
    static constexpr const elementdict::Row& kRow = elementdict::RowOf(elementid::REMaskAgent);
    void ValueText(std::string& text) const override;
};

// One request-enablement entry: six elements chained in this order.
class REMaskEntry {
public:
    REMaskEntry();
    REMaskEntry(const REMaskEntry&) = delete;
    REMaskEntry& operator=(const REMaskEntry&) = delete;

    void Set(std::string_view instrument, std::string_view extension, uint32_t callId);
    void SetRequired(bool required);

    BaseElement* First() { return &m_Instrument; }
    BaseElement* Last() { return &m_AgentMask; }
    const BaseElement* Last() const { return &m_AgentMask; }
    // No member present or required: the entry writes, traces and validates nothing.
    bool Idle() const {
        return !(m_Instrument.PresentOrRequired() || m_Extension.PresentOrRequired() ||
                 m_CallId.PresentOrRequired() || m_FunctionFlags.PresentOrRequired() ||
                 m_CallMask.PresentOrRequired() || m_AgentMask.PresentOrRequired());
    }
    // The member with that element id, or nullptr when the id is not an entry member's.
    BaseElement* Member(uint32_t elementId);
    static bool IsMemberId(uint32_t elementId) {
        switch (elementId) {
            case elementid::RemaskInstrument:
            case elementid::RemaskExtension:
            case elementid::RemaskCallId:
            case elementid::REMaskFlags:
            case elementid::REMaskCall:
            case elementid::REMaskAgent:
                return true;
            default:
                return false;
        }
    }

    STRINGElement m_Instrument;
    STRINGElement m_Extension;
    UINTElement m_CallId;
    REMaskFlags m_FunctionFlags;
    REMaskCall m_CallMask;
    REMaskAgent m_AgentMask;
};

constexpr int MAX_REMASK_NUM_MASKS = 10;

// The count of entries in use, then ten entry slots chained behind it.
class REMaskArray : public USHORTElement {
public:
    REMaskArray(bool required, bool traced);

    // The next free entry with the count raised, or nullptr when all ten are in use.
    REMaskEntry* AddREMask();
    int GetNumMasks() const { return m_Present ? m_Value : 0; }
    // Sets the count and marks the entries in use as required.
    void Set(uint16_t count);
    // Links the element that follows the whole group in the message.
    void SetNext(BaseElement* next) { m_Entries[MAX_REMASK_NUM_MASKS - 1].Last()->SetNext(next); }
    REMaskEntry& Entry(int index) { return m_Entries[index]; }
    const REMaskArray* AsREMaskArray() const override { return this; }
    // Where a chain walk that only acts on present or required fields goes after e (this array
    // or the last member of one of its entries): the first following entry that is not idle,
    // else the element after the whole group. Any other e gives its plain successor. Ten
    // entries stand in every message that has the array, and most use none or one.
    BaseElement* NextBusy(const BaseElement* e) const {
        int from;
        if (e == this) {
            from = 0;
        } else {
            from = -1;
            for (int i = 0; i < MAX_REMASK_NUM_MASKS; ++i) {
                if (m_Entries[i].Last() == e) {
                    from = i + 1;
                    break;
                }
            }
            if (from < 0) return e->GetNext();
        }
        for (int i = from; i < MAX_REMASK_NUM_MASKS; ++i) {
            if (!m_Entries[i].Idle()) return const_cast<REMaskEntry&>(m_Entries[i]).First();
        }
        return m_Entries[MAX_REMASK_NUM_MASKS - 1].Last()->GetNext();
    }

    int Decode(const uint8_t* src, int fieldLength, int available, uint32_t version) override;
    int Validate(uint32_t version) override;
    void Clear() override;

private:
    void MarkRequired();

    REMaskEntry m_Entries[MAX_REMASK_NUM_MASKS];
};

// The successor of e in a walk that acts only on present or required fields (encode,
// validation): it passes over the idle request-enablement entries. masks is the walk's own
// state, null at the start; the array sets it on the way through.
BaseElement* BusyNextInGroup(const BaseElement* e, const REMaskArray*& masks);

static_assert(elementid::REMaskAgent - elementid::REMaskArray == 6,
              "the array and its six entry members have consecutive ids");
template <class E>
inline E* BusyNext(E* e, const REMaskArray*& masks) {
    // One compare for every field outside the group, inline; the group's own out of line.
    if (e->GetElementID() - elementid::REMaskArray > elementid::REMaskAgent - elementid::REMaskArray) {
        return e->GetNext();
    }
    return BusyNextInGroup(e, masks);
}
