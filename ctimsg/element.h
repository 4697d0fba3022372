#pragma once
// Field elements: one object per field occurrence of a CTI message, linked into the message's
// chain in wire order. BaseElement carries identity, flags and the minimum protocol version;
// the typed bases hold one wire value each.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "ctimsg/elementids.h"
#include "ctimsg/names.h"
#include "platform/byteorder.h"

// Element ids below this are fixed-part fields; from it on, floating fields with a tag.
constexpr uint32_t FIRST_FLOATING_ELEMENT = elementdict::kFirstFloatingId;

class BaseElement {
public:
    // Inline: a message builds every member of its class, a hundred and more for a call event.
    BaseElement(uint32_t elementId, uint32_t maxBytes, bool required, bool traced)
        : m_ElementID(elementId), m_MaxBytes(maxBytes), m_Required(required), m_Traced(traced) {}
    virtual ~BaseElement() = default;
    BaseElement(const BaseElement&) = delete;
    BaseElement& operator=(const BaseElement&) = delete;

    // Bytes written (floating header included), 0 when not present, -1 when it does not fit.
    // Encoding never changes the element: one message is encoded once per receiving session.
    virtual int Encode(uint8_t* dst, int room, uint32_t version) const = 0;
    // src is the first byte of the value; fieldLength is -1 for a fixed-part field.
    virtual int Decode(const uint8_t* src, int fieldLength, int available, uint32_t version) = 0;
    virtual int Trace(std::string& text);
    virtual int SetTraceFlag(int flag);
    virtual int Validate(uint32_t version);
    // A received field is checked as Validate checks it; no field has a rule of its own for
    // receiving, so this costs one virtual call per field, not two.
    int ValidateReceived(uint32_t version) { return Validate(version); }
    virtual int ValidateToSend(uint32_t version);
    virtual void ValueText(std::string& text) const;
    virtual void Clear();
    virtual int MaxLength() const;
    // The request-enablement array this element is, or nullptr: lets a chain walk pass over
    // the array's idle entries without a cast per element.
    virtual const class REMaskArray* AsREMaskArray() const { return nullptr; }

    uint32_t GetElementID() const { return m_ElementID; }
    uint32_t GetOccurrence() const { return m_Occurrence; }
    void SetOccurrence(uint32_t occurrence) { m_Occurrence = occurrence; }
    uint32_t GetMaxBytes() const { return m_MaxBytes; }
    BaseElement* GetNext() const { return m_Next; }
    void SetNext(BaseElement* next) { m_Next = next; }
    bool IsRequired() const { return m_Required != 0; }
    void SetRequired(bool required) { m_Required = required; }
    bool IsPresent() const { return m_Present != 0; }
    bool PresentOrRequired() const { return (m_Present | m_Required) != 0; }
    bool IsValid() const { return m_Valid != 0; }
    bool IsTraced() const { return m_Traced != 0; }
    uint32_t GetFromVersion() const { return m_FromVersion; }
    void SetFromVersion(uint32_t version) { m_FromVersion = version; }
    bool IsFloating() const { return m_ElementID >= FIRST_FLOATING_ELEMENT; }

    // Process-wide switches of the session layer's trace keywords; off (shown) at start.
    static void EnableCallVariableTrace() { sm_HideCallVariables.store(false, std::memory_order_relaxed); }
    static void DisableCallVariableTrace() { sm_HideCallVariables.store(true, std::memory_order_relaxed); }
    static bool CallVariableTraceHidden() { return sm_HideCallVariables.load(std::memory_order_relaxed); }
    static void EnableECCTrace() { sm_HideECC.store(false, std::memory_order_relaxed); }
    static void DisableECCTrace() { sm_HideECC.store(true, std::memory_order_relaxed); }
    static bool ECCTraceHidden() { return sm_HideECC.load(std::memory_order_relaxed); }

protected:
    // The shared part of Trace: nothing for an untraced, absent or switched-off field.
    bool TraceShown() const;
    // Clears valid and returns code; every own check ends this way.
    int Fail(int code) {
        m_Valid = 0;
        return code;
    }
    void TraceDecodeLengthError(int fieldLength, int available) const;

    uint32_t m_ElementID;
    uint32_t m_Occurrence = 0;
    uint32_t m_MaxBytes;
    BaseElement* m_Next = nullptr;
    uint32_t m_Required;
    uint32_t m_Present = 0;
    uint32_t m_Valid = 0;
    uint32_t m_Traced;
    uint32_t m_FromVersion = 2;
    uint32_t m_TraceFlag = 0;

private:
    static std::atomic<bool> sm_HideCallVariables;
    static std::atomic<bool> sm_HideECC;
};

// memcpy for the short texts and byte strings of a frame: up to 32 bytes it is two
// overlapping fixed-size copies inside [0, n), inline, instead of a library call per field.
inline void CopyFieldBytes(uint8_t* dst, const void* src, size_t n) {
    const auto* s = static_cast<const uint8_t*>(src);
    if (n >= 16) {
        if (n > 32) {
            std::memcpy(dst, s, n);
            return;
        }
        uint64_t a[2], b[2];
        std::memcpy(a, s, 16);
        std::memcpy(b, s + n - 16, 16);
        std::memcpy(dst, a, 16);
        std::memcpy(dst + n - 16, b, 16);
    } else if (n >= 8) {
        uint64_t a, b;
        std::memcpy(&a, s, 8);
        std::memcpy(&b, s + n - 8, 8);
        std::memcpy(dst, &a, 8);
        std::memcpy(dst + n - 8, &b, 8);
    } else if (n >= 4) {
        uint32_t a, b;
        std::memcpy(&a, s, 4);
        std::memcpy(&b, s + n - 4, 4);
        std::memcpy(dst, &a, 4);
        std::memcpy(dst + n - 4, &b, 4);
    } else {
        for (size_t i = 0; i < n; ++i) dst[i] = s[i];
    }
}

// Writes the tag and length of a floating field at pos and moves pos past them. Returns header
// + valueLength when the value fits in what is left of room, else -1 (nothing written when the
// header itself does not fit). A fixed-part field gets no header. Inline: every field of
// every frame passes here.
inline int WriteTagHeader(bool floating, uint32_t tag, uint32_t version, uint8_t*& pos, int room,
                          int valueLength) {
    if (valueLength < 0) return -1;
    if (!floating) return valueLength <= room ? valueLength : -1;
    const bool wide = version >= 20;
    const int header = wide ? 4 : 2;
    // A length the header cannot hold would desynchronise the whole frame.
    if (valueLength > (wide ? 0xFFFF : 0xFF)) return -1;
    if (room < header) return -1;
    if (wide) {
        plat::StoreBE16(pos, static_cast<uint16_t>(tag));
        plat::StoreBE16(pos + 2, static_cast<uint16_t>(valueLength));
    } else {
        pos[0] = static_cast<uint8_t>(tag);
        pos[1] = static_cast<uint8_t>(valueLength);
    }
    pos += header;
    return valueLength <= room - header ? header + valueLength : -1;
}

// The same for an element: its tag when it is a floating field, none for a fixed-part field.
inline int WriteFloatingHeader(const BaseElement& element, uint32_t version, uint8_t*& pos,
                               int room, int valueLength) {
    if (valueLength < 0) return -1;
    if (!element.IsFloating()) return valueLength <= room ? valueLength : -1;
    return WriteTagHeader(true, ElementTag(static_cast<int32_t>(element.GetElementID())), version,
                          pos, room, valueLength);
}

// Numbers wider than a byte share one template: the wire width and the signedness.
template <typename T, uint32_t Width>
class NumberElement : public BaseElement {
public:
    NumberElement(uint32_t elementId, bool required, bool traced)
        : BaseElement(elementId, Width, required, traced) {}

    void Set(T value) {
        m_Value = value;
        m_Present = 1;
    }
    T Get() const { return m_Value; }

    int Encode(uint8_t* dst, int room, uint32_t version) const override {
        if (!m_Present) return 0;
        return EncodeValue(dst, room, version, m_Value);
    }
    int Decode(const uint8_t* src, int fieldLength, int available, uint32_t version) override;

protected:
    // Writes value in this element's place: the version rules of some fields send a value
    // other than the one held.
    int EncodeValue(uint8_t* dst, int room, uint32_t version, T value) const;

    T m_Value{};
};

// The value of any number element as the 32 bits of its own type; false for other kinds.
bool ReadNumberValue(const BaseElement* e, uint32_t& value);
// Sets any number element from 32 bits, cut to its width; false for other kinds (and for none).
bool WriteNumberValue(BaseElement* e, uint32_t value);

class UINTElement : public NumberElement<uint32_t, 4> {
public:
    UINTElement(uint32_t elementId, bool required, bool traced)
        : NumberElement(elementId, required, traced) {}
    void ValueText(std::string& text) const override;
};

class INTElement : public NumberElement<int32_t, 4> {
public:
    INTElement(uint32_t elementId, bool required, bool traced)
        : NumberElement(elementId, required, traced) {}
    void ValueText(std::string& text) const override;
};

class USHORTElement : public NumberElement<uint16_t, 2> {
public:
    USHORTElement(uint32_t elementId, bool required, bool traced)
        : NumberElement(elementId, required, traced) {}
    void ValueText(std::string& text) const override;
};

class UCHARElement : public NumberElement<uint8_t, 1> {
public:
    UCHARElement(uint32_t elementId, bool required, bool traced)
        : NumberElement(elementId, required, traced) {}
    void ValueText(std::string& text) const override;
};

class BOOLElement : public NumberElement<uint16_t, 2> {
public:
    BOOLElement(uint32_t elementId, bool required, bool traced)
        : NumberElement(elementId, required, traced) {
        m_FromVersion = 3;
    }
    void ValueText(std::string& text) const override;
};

class STRINGElement : public BaseElement {
public:
    STRINGElement(uint32_t elementId, uint32_t maxBytes, bool required, bool traced)
        : BaseElement(elementId, maxBytes, required, traced) {}

    // The text ends at its first NUL, as on the wire.
    void Set(std::string_view text);
    const std::string& Get() const { return m_Text; }

    int Encode(uint8_t* dst, int room, uint32_t version) const override;
    int Decode(const uint8_t* src, int fieldLength, int available, uint32_t version) override;
    int Validate(uint32_t version) override;
    void ValueText(std::string& text) const override;
    void Clear() override;
    int MaxLength() const override;

protected:
    // Writes at most wireBytes - 1 characters of the text and a NUL.
    int EncodeCut(uint8_t* dst, int room, uint32_t version, int wireBytes) const;
    // The same under a tag already looked up (any for a fixed-part field).
    int EncodeCutTagged(uint8_t* dst, int room, uint32_t version, int wireBytes,
                        uint32_t tag) const;

    std::string m_Text;
};

// The bytes of a raw field. Masks, keys and most user data are short, so up to kInline
// bytes live in the element itself and only longer values take a heap block.
class ByteBuffer {
public:
    ByteBuffer() = default;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ~ByteBuffer() { delete[] m_Heap; }

    void assign(const uint8_t* bytes, size_t n) {
        uint8_t* to = Room(n, false);
        if (n > 0) std::memcpy(to, bytes, n);
        m_Size = n;
    }
    // Keeps the bytes held; new ones take fill.
    void resize(size_t n, uint8_t fill) {
        uint8_t* to = Room(n, true);
        if (n > m_Size) std::memset(to + m_Size, fill, n - m_Size);
        m_Size = n;
    }
    void clear() { m_Size = 0; }
    size_t size() const { return m_Size; }
    uint8_t* data() { return m_Heap != nullptr ? m_Heap : m_Inline; }
    const uint8_t* data() const { return m_Heap != nullptr ? m_Heap : m_Inline; }
    uint8_t& operator[](size_t i) { return data()[i]; }
    uint8_t operator[](size_t i) const { return data()[i]; }

private:
    static constexpr size_t kInline = 16;

    uint8_t* Room(size_t n, bool keep) {
        if (n <= m_Capacity) return data();
        size_t capacity = std::max(n, 2 * m_Capacity);
        auto* grown = new uint8_t[capacity];
        if (keep && m_Size > 0) std::memcpy(grown, data(), m_Size);
        delete[] m_Heap;
        m_Heap = grown;
        m_Capacity = capacity;
        return grown;
    }

    uint8_t* m_Heap = nullptr;
    size_t m_Capacity = kInline;
    size_t m_Size = 0;
    uint8_t m_Inline[kInline];
};

// Raw bytes, also the base of bit masks and of the fixed-part configuration key.
class UNSPECElement : public BaseElement {
public:
    // The largest raw field a peer may send.
    static constexpr int kMaxDecodeBytes = 4000;

    UNSPECElement(uint32_t elementId, uint32_t maxBytes, bool required, bool traced)
        : BaseElement(elementId, maxBytes, required, traced) {}

    void Set(const uint8_t* bytes, int length);
    // The bytes, with length set; nullptr and 0 when absent.
    const uint8_t* Get(int& length) const;

    int Encode(uint8_t* dst, int room, uint32_t version) const override;
    int Decode(const uint8_t* src, int fieldLength, int available, uint32_t version) override;
    int Validate(uint32_t version) override;
    void ValueText(std::string& text) const override;
    void Clear() override;
    int MaxLength() const override { return m_Length; }

protected:
    int32_t m_Length = 0;
    ByteBuffer m_Bytes;
};

// "<0x" and the bytes in hex, a blank before every fourth byte after the first, then "> ".
void AppendHexBytes(std::string& text, const uint8_t* bytes, int length);
// printf into a std::string.
void AppendFormat(std::string& text, const char* format, ...) __attribute__((format(printf, 2, 3)));
