#include "ctimsg/eccelement.h"

#include <cstring>

#include "ctimsg/bigendian.h"
#include "ctimsg/names.h"
#include "nuvlib/ems.h"

namespace {

constexpr int E_CTI_INVALID_FIELD_LENGTH = 23;
constexpr int E_CTI_INVALID_ARRAY_INDEX = 61;
constexpr int E_CTI_TOO_MUCH_DATA = 73;
constexpr int E_CTI_VALUE_TOO_LONG = 74;

// A field holds one variable: a name, a value, their NULs and an index stay far below this.
constexpr int kMaxECCFieldLength = 256;

// Holds the element's lock for one operation; the lock is not recursive, so no operation
// that holds it calls another that takes it.
class Hold {
public:
    explicit Hold(std::mutex& lock) : m_Lock(lock) { m_Lock.lock(); }
    ~Hold() { Release(); }
    void Release() {
        if (m_Held) {
            m_Lock.unlock();
            m_Held = false;
        }
    }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

private:
    std::mutex& m_Lock;
    bool m_Held = true;
};

// Entries a received or built context starts with room for: one block for a usual call
// context instead of a growth step at every power of two.
constexpr size_t kFirstEntryRoom = 16;

int EntryBodyLength(const ArrayListStruct& e) {
    int n = static_cast<int>(e.name.size() + e.value.size()) + 2;
    return e.tag == NAMED_ARRAY_TAG ? n + 1 : n;
}

}  // namespace

ECCElement::ECCElement(uint32_t elementId, uint32_t maxBytes, bool required, bool traced)
    : BaseElement(elementId, maxBytes, required, traced) {
    m_FromVersion = 6;
}

ECCElement::~ECCElement() {
    Hold hold(m_Lock);
    m_Variables.clear();
}

bool ECCElement::Selected(const ArrayListStruct& entry, const ECCSelection* selection) {
    if (selection == nullptr) return true;
    const std::string& name = entry.name;
    const size_t size = name.size();
    for (const auto& record : *selection) {
        const std::string& other = record.EnterpriseName;
        // Names of one length often share a prefix ("user.var1", "user.var2"): the last
        // character settles most of them before the whole names are compared.
        if (other.size() != size) continue;
        if (size == 0) return true;
        if (other[size - 1] == name[size - 1] && std::memcmp(other.data(), name.data(), size) == 0) {
            return true;
        }
    }
    return false;
}

int ECCElement::SetEntry(uint8_t tag, std::string_view name, int32_t index,
                         std::string_view value) {
    Hold hold(m_Lock);
    if (static_cast<int>(name.size()) > kMaxECCNameLength) return Fail(E_CTI_INVALID_FIELD_LENGTH);
    if (static_cast<int>(value.size()) > kMaxECCValueLength) return Fail(E_CTI_VALUE_TOO_LONG);
    int overhead = tag == NAMED_ARRAY_TAG ? 5 : 4;
    for (auto& e : m_Variables) {
        if (e.tag != tag || e.index != index || e.name != name) continue;
        int growth = static_cast<int>(value.size()) - static_cast<int>(e.value.size());
        if (m_TotalBytes + growth > MaxLength()) {
            hold.Release();
            EMSTraceMessage("ECCElement::Set - WARNING, ECC Data size exceeded maximum.");
            return E_CTI_TOO_MUCH_DATA;
        }
        e.value = value;
        m_TotalBytes += growth;
        if (tag == NAMED_ARRAY_TAG) {
            ++m_ReplacedArrayElements;
        } else {
            ++m_ReplacedScalars;
        }
        m_Present = 1;
        return 0;
    }
    int growth = static_cast<int>(name.size() + value.size()) + overhead;
    if (m_TotalBytes + growth > MaxLength()) {
        hold.Release();
        EMSTraceMessage("ECCElement::Set - WARNING, ECC Data size exceeded maximum.");
        return E_CTI_TOO_MUCH_DATA;
    }
    if (m_Variables.capacity() == 0) m_Variables.reserve(kFirstEntryRoom);
    ArrayListStruct& added = m_Variables.emplace_back();
    added.tag = tag;
    added.index = index;
    added.name.assign(name);
    added.value.assign(value);
    ++m_Generation;
    m_TotalBytes += growth;
    m_Present = 1;
    return 0;
}

int ECCElement::Set(const std::string& name, const std::string& value) {
    return SetEntry(NAMED_VARIABLE_TAG, name, 0, value);
}

int ECCElement::Set(const std::string& name, int32_t index, const std::string& value) {
    return SetEntry(NAMED_ARRAY_TAG, name, index, value);
}

bool ECCElement::GetVariable(const std::string& name, std::string& value) const {
    Hold hold(m_Lock);
    for (const auto& e : m_Variables) {
        if (e.tag == NAMED_VARIABLE_TAG && e.name == name) {
            value = e.value;
            return true;
        }
    }
    return false;
}

bool ECCElement::GetArrayElement(const std::string& name, int32_t index, std::string& value) const {
    Hold hold(m_Lock);
    for (const auto& e : m_Variables) {
        if (e.tag == NAMED_ARRAY_TAG && e.index == index && e.name == name) {
            value = e.value;
            return true;
        }
    }
    return false;
}

void ECCElement::GetList(std::vector<NameValueStruct>& out) const {
    out.clear();
    for (const auto& e : m_Variables) {
        out.push_back(NameValueStruct{e.name, e.tag == NAMED_ARRAY_TAG ? 1 : 0, e.index, e.value});
    }
}

void ECCElement::GetCounts(int& scalars, int& arrayElements, int& replacedScalars,
                           int& replacedArrayElements, const ECCSelection* selection) const {
    scalars = 0;
    arrayElements = 0;
    for (const auto& e : m_Variables) {
        if (!Selected(e, selection)) continue;
        if (e.tag == NAMED_VARIABLE_TAG) {
            ++scalars;
        } else {
            ++arrayElements;
        }
    }
    replacedScalars = m_ReplacedScalars;
    replacedArrayElements = m_ReplacedArrayElements;
}

bool ECCElement::FindEntry(uint8_t tag, const std::string& name, int32_t index,
                           const ArrayListStruct** entry) const {
    for (const auto& e : m_Variables) {
        if (e.tag == tag && e.index == index && e.name == name) {
            if (entry != nullptr) *entry = &e;
            return true;
        }
    }
    return false;
}

void ECCElement::MatchLocked(const ECCSelection* selection, ECCSelectionMatch& match) const {
    match.m_Owner = this;
    match.m_Selection = selection;
    match.m_Generation = m_Generation;
    match.m_Scalars = 0;
    match.m_ArrayElements = 0;
    match.m_Complete = m_Variables.size() <= ECCSelectionMatch::kMaxEntries;
    for (size_t i = 0; i < m_Variables.size(); ++i) {
        const ArrayListStruct& e = m_Variables[i];
        bool chosen = Selected(e, selection);
        if (i < ECCSelectionMatch::kMaxEntries) match.m_Chosen[i] = chosen;
        if (!chosen) continue;
        if (e.tag == NAMED_VARIABLE_TAG) {
            ++match.m_Scalars;
        } else {
            ++match.m_ArrayElements;
        }
    }
}

void ECCElement::MatchSelection(const ECCSelection* selection, ECCSelectionMatch& match) const {
    Hold hold(m_Lock);
    MatchLocked(selection, match);
}

int ECCElement::EncodeLocked(uint8_t* dst, int room, uint32_t version,
                             const ECCSelection* selection, const ECCSelectionMatch* match) const {
    int header = version >= 20 ? 4 : 2;
    int written = 0;
    uint8_t* pos = dst;
    for (size_t i = 0; i < m_Variables.size(); ++i) {
        const ArrayListStruct& e = m_Variables[i];
        if (match != nullptr ? !match->m_Chosen[i] : !Selected(e, selection)) continue;
        int body = EntryBodyLength(e);
        if (header + body > room - written) return -1;
        if (version >= 20) {
            be::Put16(pos, e.tag);
            be::Put16(pos + 2, static_cast<uint16_t>(body));
        } else {
            pos[0] = e.tag;
            pos[1] = static_cast<uint8_t>(body);
        }
        pos += header;
        if (e.tag == NAMED_ARRAY_TAG) *pos++ = static_cast<uint8_t>(e.index);
        std::memcpy(pos, e.name.c_str(), e.name.size() + 1);
        pos += e.name.size() + 1;
        std::memcpy(pos, e.value.c_str(), e.value.size() + 1);
        pos += e.value.size() + 1;
        written += header + body;
    }
    return written;
}

int ECCElement::EncodeSelected(uint8_t* dst, int room, uint32_t version,
                               const ECCSelection* selection) const {
    if (!m_Present) return 0;
    Hold hold(m_Lock);
    return EncodeLocked(dst, room, version, selection, nullptr);
}

int ECCElement::EncodeSelected(uint8_t* dst, int room, uint32_t version,
                               const ECCSelection* selection,
                               const ECCSelectionMatch& match) const {
    if (!m_Present) return 0;
    Hold hold(m_Lock);
    // Without a selection every entry goes: nothing to match.
    if (selection == nullptr) return EncodeLocked(dst, room, version, nullptr, nullptr);
    bool current = match.m_Owner == this && match.m_Selection == selection &&
                   match.m_Generation == m_Generation && match.m_Complete;
    return EncodeLocked(dst, room, version, selection, current ? &match : nullptr);
}

int ECCElement::Encode(uint8_t* dst, int room, uint32_t version) const {
    return EncodeSelected(dst, room, version, nullptr);
}

int ECCElement::Decode(const uint8_t* src, int fieldLength, int available, uint32_t version) {
    if (fieldLength < 0 || fieldLength > available || fieldLength >= kMaxECCFieldLength) {
        TraceDecodeLengthError(fieldLength, available);
        return -1;
    }
    // The tag stands in the floating header just before the value.
    uint32_t tag = version >= 20 ? be::Get16(src - 4) : src[-2];
    const char* p = reinterpret_cast<const char*>(src);
    const char* end = p + fieldLength;
    int32_t index = 0;
    if (tag == NAMED_ARRAY_TAG) {
        if (p == end) {
            TraceDecodeLengthError(fieldLength, available);
            return -1;
        }
        index = static_cast<uint8_t>(*p++);
    }
    // The name must end inside the field; the value runs to its NUL or to the field's end.
    const char* nameEnd = static_cast<const char*>(std::memchr(p, 0, static_cast<size_t>(end - p)));
    if (nameEnd == nullptr) {
        TraceDecodeLengthError(fieldLength, available);
        return -1;
    }
    std::string_view name(p, static_cast<size_t>(nameEnd - p));
    const char* v = nameEnd + 1;
    const char* valueEnd = static_cast<const char*>(std::memchr(v, 0, static_cast<size_t>(end - v)));
    std::string_view value(v, static_cast<size_t>((valueEnd != nullptr ? valueEnd : end) - v));
    if (static_cast<int>(name.size()) > kMaxECCNameLength) {
        int len = static_cast<int>(name.size());
        name = name.substr(0, kMaxECCNameLength);
        EMSTraceMessage("Decode name length error: element \"%s\", strlen %d, maxlen %d (\"%.*s\")",
                        ElementName(m_ElementID), len, kMaxECCNameLength,
                        static_cast<int>(name.size()), name.data());
    }
    if (static_cast<int>(value.size()) > kMaxECCValueLength) {
        int len = static_cast<int>(value.size());
        value = value.substr(0, kMaxECCValueLength);
        EMSTraceMessage("Decode value length error: element \"%s\", strlen %d, maxlen %d (\"%.*s\")",
                        ElementName(m_ElementID), len, kMaxECCValueLength,
                        static_cast<int>(value.size()), value.data());
    }
    m_Present = 1;
    // An oversized context keeps the variables that fitted.
    SetEntry(tag == NAMED_VARIABLE_TAG ? NAMED_VARIABLE_TAG : NAMED_ARRAY_TAG, name,
             tag == NAMED_VARIABLE_TAG ? 0 : index, value);
    return fieldLength;
}

int ECCElement::Validate(uint32_t version) {
    int rc = BaseElement::Validate(version);
    if (rc != 0 || !m_Present) return rc;
    Hold hold(m_Lock);
    for (const auto& e : m_Variables) {
        if (e.tag == NAMED_ARRAY_TAG && (e.index < 0 || e.index > 255)) {
            return Fail(E_CTI_INVALID_ARRAY_INDEX);
        }
        if (static_cast<int>(e.name.size()) > kMaxECCNameLength) return Fail(E_CTI_INVALID_FIELD_LENGTH);
        if (static_cast<int>(e.value.size()) > kMaxECCValueLength) return Fail(E_CTI_VALUE_TOO_LONG);
    }
    return 0;
}

void ECCElement::ValueText(std::string& text) const {
    if (!m_Present) {
        text += "<missing> ";
        return;
    }
    Hold hold(m_Lock);
    if (m_TotalBytes > 0) AppendFormat(text, "<TotalBytes=%d> ", m_TotalBytes);
    for (const auto& e : m_Variables) {
        if (e.tag == NAMED_ARRAY_TAG) {
            AppendFormat(text, "%s[%d]=\"%s\" ", e.name.c_str(), e.index, e.value.c_str());
        } else {
            AppendFormat(text, "%s=\"%s\" ", e.name.c_str(), e.value.c_str());
        }
    }
}

void ECCElement::Clear() {
    BaseElement::Clear();
    Hold hold(m_Lock);
    m_Variables.clear();
    ++m_Generation;
    m_TotalBytes = 0;
    m_ReplacedScalars = 0;
    m_ReplacedArrayElements = 0;
}
