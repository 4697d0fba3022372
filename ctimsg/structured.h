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
    // The member with that element id, or nullptr when the id is not an entry member's.
    BaseElement* Member(uint32_t elementId);
    static bool IsMemberId(uint32_t elementId);

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

    int Decode(const uint8_t* src, int fieldLength, int available, uint32_t version) override;
    int Validate(uint32_t version) override;
    void Clear() override;

private:
    void MarkRequired();

    REMaskEntry m_Entries[MAX_REMASK_NUM_MASKS];
};
