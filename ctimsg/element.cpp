#include "ctimsg/element.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "ctimsg/names.h"
#include "ctimsg/statuscodes.h"
#include "nuvlib/ems.h"
#include "platform/byteorder.h"

namespace {
constexpr uint32_t CALL_VARIABLE_1_TAG = elementdict::TagOf(elementid::CallVariable1);
constexpr uint32_t CALL_VARIABLE_10_TAG = elementdict::TagOf(elementid::CallVariable10);
constexpr uint32_t LOGIN_NAME_TAG = elementdict::TagOf(elementid::LoginName);
// Bounds every string field's maximum bytes.
constexpr int kStringWorkBytes = 4001;
}  // namespace

std::atomic<bool> BaseElement::sm_HideCallVariables{false};
std::atomic<bool> BaseElement::sm_HideECC{false};

void AppendFormat(std::string& text, const char* format, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof buf) {
        text.append(buf, static_cast<size_t>(n));
        return;
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    va_start(ap, format);
    vsnprintf(big.data(), big.size(), format, ap);
    va_end(ap);
    big.resize(static_cast<size_t>(n));
    text += big;
}

void AppendHexBytes(std::string& text, const uint8_t* bytes, int length) {
    static const char kHex[] = "0123456789abcdef";
    text += "<0x";
    for (int i = 0; i < length; ++i) {
        if (i > 0 && i % 4 == 0) text += ' ';
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 0x0F];
    }
    text += "> ";
}

bool BaseElement::TraceShown() const {
    if (!m_Traced || !m_Present) return false;
    if (m_ElementID >= elementid::CallVariable1 && m_ElementID <= elementid::CallVariable10 &&
        CallVariableTraceHidden())
        return false;
    if (m_ElementID == elementid::ExpandedCallContxt && ECCTraceHidden()) return false;
    return true;
}

int BaseElement::Trace(std::string& text) {
    if (!TraceShown()) return 0;
    text += ElementName(m_ElementID);
    text += ':';
    ValueText(text);
    return 1;
}

int BaseElement::SetTraceFlag(int flag) {
    m_TraceFlag = static_cast<uint32_t>(flag);
    return flag;
}

int BaseElement::Validate(uint32_t version) {
    if (m_Present || !m_Required || version < m_FromVersion) {
        m_Valid = 1;
        return 0;
    }
    return Fail(E_CTI_REQUIRED_DATA_MISSING);
}

int BaseElement::ValidateToSend(uint32_t version) { return Validate(version); }

void BaseElement::ValueText(std::string& text) const {
    text += m_Present ? "??? " : "<missing> ";
}

void BaseElement::Clear() {
    m_Present = 0;
    m_Valid = 0;
}

int BaseElement::MaxLength() const { return static_cast<int>(m_MaxBytes); }

void BaseElement::TraceDecodeLengthError(int fieldLength, int available) const {
    // The available byte count is printed under "MaxBytes", as the log readers know it.
    EMSTraceMessage("Decode length error: element \"%s\", FieldLength %d, MaxBytes %d",
                    ElementName(m_ElementID), fieldLength, available);
}

// ---- numbers ----

template <typename T, uint32_t Width>
int NumberElement<T, Width>::EncodeValue(uint8_t* dst, int room, uint32_t version, T value) const {
    uint8_t* pos = dst;
    int total = WriteFloatingHeader(*this, version, pos, room, Width);
    if (total < 0) return -1;
    auto u = static_cast<std::make_unsigned_t<T>>(value);
    if constexpr (Width == 4) {
        plat::StoreBE32(pos, u);
    } else if constexpr (Width == 2) {
        plat::StoreBE16(pos, u);
    } else {
        pos[0] = u;
    }
    return total;
}

template <typename T, uint32_t Width>
int NumberElement<T, Width>::Decode(const uint8_t* src, int fieldLength, int available, uint32_t) {
    if (available < static_cast<int>(Width) ||
        (fieldLength != -1 && fieldLength != static_cast<int>(Width))) {
        TraceDecodeLengthError(fieldLength, available);
        return -1;
    }
    if constexpr (Width == 4) {
        m_Value = static_cast<T>(plat::LoadBE32(src));
    } else if constexpr (Width == 2) {
        m_Value = static_cast<T>(plat::LoadBE16(src));
    } else {
        m_Value = static_cast<T>(src[0]);
    }
    m_Present = 1;
    return Width;
}

template class NumberElement<uint32_t, 4>;
template class NumberElement<int32_t, 4>;
template class NumberElement<uint16_t, 2>;
template class NumberElement<uint8_t, 1>;

void UINTElement::ValueText(std::string& text) const {
    if (!m_Present) {
        text += "<missing> ";
    } else if (m_Value == 0xFFFFFFFFu) {
        text += "0xffffffff ";
    } else {
        AppendFormat(text, "%u ", m_Value);
    }
}

void INTElement::ValueText(std::string& text) const {
    if (!m_Present) {
        text += "<missing> ";
    } else if (m_Value == -1) {
        text += "0xffffffff ";
    } else {
        AppendFormat(text, "%d ", m_Value);
    }
}

void USHORTElement::ValueText(std::string& text) const {
    if (!m_Present) {
        text += "<missing> ";
    } else if (m_Value == 0xFFFF) {
        text += "0xffffffff ";
    } else {
        AppendFormat(text, "%u ", static_cast<unsigned>(m_Value));
    }
}

void UCHARElement::ValueText(std::string& text) const {
    if (!m_Present) {
        text += "<missing> ";
    } else if (m_Value == 0xFF) {
        text += "0xffffffff ";
    } else {
        AppendFormat(text, "%u ", static_cast<unsigned>(m_Value));
    }
}

void BOOLElement::ValueText(std::string& text) const {
    if (!m_Present) {
        text += "<missing> ";
    } else {
        text += m_Value ? "True " : "False ";
    }
}

// ---- strings ----

void STRINGElement::Set(std::string_view text) {
    size_t nul = text.find('\0');
    m_Text.assign(text.substr(0, nul));
    m_Present = 1;
}

int STRINGElement::EncodeCutTagged(uint8_t* dst, int room, uint32_t version, int wireBytes,
                                   uint32_t tag) const {
    uint8_t* pos = dst;
    int total = WriteTagHeader(IsFloating(), tag, version, pos, room, wireBytes);
    if (total < 0) return -1;
    if (wireBytes > 0) {
        CopyFieldBytes(pos, m_Text.data(), static_cast<size_t>(wireBytes - 1));
        pos[wireBytes - 1] = 0;
    }
    return total;
}

int STRINGElement::EncodeCut(uint8_t* dst, int room, uint32_t version, int wireBytes) const {
    uint32_t tag = IsFloating() ? ElementTag(static_cast<int32_t>(m_ElementID)) : 0;
    return EncodeCutTagged(dst, room, version, wireBytes, tag);
}

int STRINGElement::Encode(uint8_t* dst, int room, uint32_t version) const {
    if (!m_Present) return 0;
    int n = static_cast<int>(m_Text.size()) + 1;
    uint32_t tag = 0;
    if (IsFloating()) {
        tag = ElementTag(static_cast<int32_t>(m_ElementID));
        if (tag >= CALL_VARIABLE_1_TAG && tag <= CALL_VARIABLE_10_TAG && version < 11) {
            if (n >= 41) {
                EMSTraceMessage(
                    "*** CallVariable max length is 39 variable characters + null termination "
                    "character for client version %d ***",
                    version);
                n = 40;
            }
        }
        if (tag == LOGIN_NAME_TAG && version < 20 && n >= 33) {
            EMSTraceMessage(
                "*** Protocol version is lesser than 20, truncating the element %s length from "
                "%ld to %ld. This truncation does not reflect in the session message logs. ***",
                ElementName(m_ElementID), static_cast<long>(n), 33L);
            n = 33;
        }
    }
    return EncodeCutTagged(dst, room, version, n, tag);
}

int STRINGElement::Decode(const uint8_t* src, int fieldLength, int available, uint32_t) {
    int maxBytes = static_cast<int>(m_MaxBytes);
    if (fieldLength < 1 || fieldLength > maxBytes || fieldLength > available ||
        fieldLength >= kStringWorkBytes) {
        EMSTraceMessage(
            "Decode length error: element \"%s\", FieldLength %d, MaxBytes %d.%s field length "
            "should be between %ld and %ld.",
            ElementName(m_ElementID), fieldLength, available, ElementName(m_ElementID), 1L,
            static_cast<long>(maxBytes));
        return -1;
    }
    // A full-length field without its NUL loses its last character, as the copy ends there.
    int keep = fieldLength < maxBytes ? fieldLength : fieldLength - 1;
    const char* chars = reinterpret_cast<const char*>(src);
    size_t len = strnlen(chars, static_cast<size_t>(keep));
    // clear+append takes the library's short copy path; assign goes through its general
    // replace, which allows for overlapping text and costs more per field.
    m_Text.clear();
    m_Text.append(chars, len);
    if (static_cast<int>(len) + 1 != fieldLength) {
        if (static_cast<int>(len) == fieldLength) {
            EMSTraceMessage(
                "Decode warning: \"%s\" field missing terminating null character (\"%s\"), "
                "fieldLen %ld.",
                ElementName(m_ElementID), m_Text.c_str(), static_cast<long>(fieldLength));
        } else {
            EMSTraceMessage(
                "Decode string length error: element \"%s\", strlen %d, fieldlen %d (\"%s\")",
                ElementName(m_ElementID), static_cast<int>(len), fieldLength, m_Text.c_str());
        }
    }
    m_Present = 1;
    return fieldLength;
}

int STRINGElement::Validate(uint32_t version) {
    int rc = BaseElement::Validate(version);
    if (rc != 0) return rc;
    if (m_Present && m_Text.size() >= m_MaxBytes) return Fail(E_CTI_INVALID_FIELD_LENGTH);
    return 0;
}

void STRINGElement::ValueText(std::string& text) const {
    if (!m_Present) {
        text += "<missing> ";
        return;
    }
    text += '"';
    text += m_Text;
    text += "\" ";
}

void STRINGElement::Clear() {
    BaseElement::Clear();
    m_Text.clear();
}

int STRINGElement::MaxLength() const {
    return m_Present ? static_cast<int>(m_Text.size()) + 1 : 0;
}

// ---- raw bytes ----

void UNSPECElement::Set(const uint8_t* bytes, int length) {
    if (length < 0) length = 0;
    m_Bytes.assign(bytes, static_cast<size_t>(length));
    m_Length = length;
    m_Present = 1;
}

const uint8_t* UNSPECElement::Get(int& length) const {
    if (!m_Present || m_Length == 0) {
        length = m_Present ? m_Length : 0;
        return nullptr;
    }
    length = m_Length;
    return m_Bytes.data();
}

int UNSPECElement::Encode(uint8_t* dst, int room, uint32_t version) const {
    if (!m_Present) return 0;
    uint8_t* pos = dst;
    int total = WriteFloatingHeader(*this, version, pos, room, m_Length);
    if (total < 0) return -1;
    if (m_Length > 0) CopyFieldBytes(pos, m_Bytes.data(), static_cast<size_t>(m_Length));
    return total;
}

int UNSPECElement::Decode(const uint8_t* src, int fieldLength, int available, uint32_t) {
    if (fieldLength < 0 || fieldLength > kMaxDecodeBytes || fieldLength > available) {
        TraceDecodeLengthError(fieldLength, available);
        return -1;
    }
    Set(src, fieldLength);
    return fieldLength;
}

int UNSPECElement::Validate(uint32_t version) {
    int rc = BaseElement::Validate(version);
    if (rc != 0) return rc;
    if (m_Present && m_Length > static_cast<int32_t>(m_MaxBytes)) {
        return Fail(E_CTI_INVALID_FIELD_LENGTH);
    }
    return 0;
}

void UNSPECElement::ValueText(std::string& text) const {
    if (!m_Present) {
        text += "<missing> ";
        return;
    }
    AppendHexBytes(text, m_Bytes.data(), m_Length);
}

void UNSPECElement::Clear() {
    BaseElement::Clear();
    m_Bytes.clear();
    m_Length = 0;
}

bool ReadNumberValue(const BaseElement* e, uint32_t& value) {
    if (const auto* p = dynamic_cast<const NumberElement<uint32_t, 4>*>(e)) {
        value = p->Get();
    } else if (const auto* q = dynamic_cast<const NumberElement<int32_t, 4>*>(e)) {
        value = static_cast<uint32_t>(q->Get());
    } else if (const auto* r = dynamic_cast<const NumberElement<uint16_t, 2>*>(e)) {
        value = r->Get();
    } else if (const auto* t = dynamic_cast<const NumberElement<uint8_t, 1>*>(e)) {
        value = t->Get();
    } else {
        return false;
    }
    return true;
}

bool WriteNumberValue(BaseElement* e, uint32_t value) {
    if (auto* p = dynamic_cast<NumberElement<uint32_t, 4>*>(e)) {
        p->Set(value);
    } else if (auto* q = dynamic_cast<NumberElement<int32_t, 4>*>(e)) {
        q->Set(static_cast<int32_t>(value));
    } else if (auto* r = dynamic_cast<NumberElement<uint16_t, 2>*>(e)) {
        r->Set(static_cast<uint16_t>(value));
    } else if (auto* t = dynamic_cast<NumberElement<uint8_t, 1>*>(e)) {
        t->Set(static_cast<uint8_t>(value));
    } else {
        return false;
    }
    return true;
}
