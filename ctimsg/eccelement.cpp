#include "ctimsg/eccelement.h"

#include <algorithm>
#include <cstring>

#include "ctimsg/names.h"
#include "ctimsg/statuscodes.h"
#include "nuvlib/ems.h"
#include "platform/byteorder.h"

namespace {

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

// Room a context starts with: one block each for a usual call context's entries and texts
// instead of a growth step at every power of two.
constexpr size_t kFirstEntryRoom = 16;
constexpr size_t kFirstTextRoom = 512;
// Replaced values leave their old bytes behind until this many are unused and they are more
// than half of the block; then the block is rewritten.
constexpr uint32_t kCompactAfter = 1024;

// Equal names of one length: the last character settles most different names with a shared
// prefix ("user.var1", "user.var2") before the whole names are compared.
bool SameName(std::string_view a, std::string_view b) {
    const size_t n = a.size();
    if (b.size() != n) return false;
    return n == 0 || (a[n - 1] == b[n - 1] && std::memcmp(a.data(), b.data(), n) == 0);
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

bool ECCElement::Selected(const Entry& entry, const ECCSelection* selection) const {
    if (selection == nullptr) return true;
    const std::string_view name = NameOf(entry);
    for (const auto& record : *selection) {
        if (SameName(record.EnterpriseName, name)) return true;
    }
    return false;
}

uint32_t ECCElement::Store(std::string_view text) {
    const auto n = static_cast<uint32_t>(text.size());
    if (m_TextSize + n + 1 > m_TextRoom) {
        uint32_t room = std::max<uint32_t>(m_TextRoom * 2, static_cast<uint32_t>(kFirstTextRoom));
        room = std::max(room, m_TextSize + n + 1);
        auto grown = std::make_unique_for_overwrite<char[]>(room);
        if (m_TextSize > 0) std::memcpy(grown.get(), Text(), m_TextSize);
        m_Heap = std::move(grown);
        m_TextRoom = room;
    }
    const uint32_t at = m_TextSize;
    if (n > 0) std::memcpy(Text() + at, text.data(), n);
    Text()[at + n] = '\0';
    m_TextSize = at + n + 1;
    return at;
}

void ECCElement::Compact() {
    const uint32_t room = std::max<uint32_t>(m_TextSize - m_Waste, static_cast<uint32_t>(kFirstTextRoom));
    auto text = std::make_unique_for_overwrite<char[]>(room);
    uint32_t size = 0;
    auto put = [&](uint32_t from, uint16_t length) {
        const uint32_t at = size;
        std::memcpy(text.get() + at, Text() + from, length + 1u);
        size += length + 1u;
        return at;
    };
    for (Entry& e : m_Variables) {
        e.nameAt = put(e.nameAt, e.nameLength);
        e.valueAt = put(e.valueAt, e.valueLength);
    }
    m_Heap = std::move(text);
    m_TextSize = size;
    m_TextRoom = room;
    m_Waste = 0;
}

const ECCElement::Entry* ECCElement::FindLocked(uint8_t tag, std::string_view name,
                                                int32_t index) const {
    for (const Entry& e : m_Variables) {
        if (e.tag == tag && e.index == index && SameName(NameOf(e), name)) return &e;
    }
    return nullptr;
}

int ECCElement::SetEntry(uint8_t tag, std::string_view name, int32_t index,
                         std::string_view value) {
    Hold hold(m_Lock);
    if (static_cast<int>(name.size()) > kMaxECCNameLength) return Fail(E_CTI_INVALID_FIELD_LENGTH);
    if (static_cast<int>(value.size()) > kMaxECCValueLength) return Fail(E_CTI_VALUE_TOO_LONG);
    int overhead = tag == NAMED_ARRAY_TAG ? 5 : 4;
    if (const Entry* found = FindLocked(tag, name, index)) {
        Entry& e = m_Variables[static_cast<size_t>(found - m_Variables.data())];
        int growth = static_cast<int>(value.size()) - static_cast<int>(e.valueLength);
        if (m_TotalBytes + growth > MaxLength()) {
            hold.Release();
            EMSTraceMessage("ECCElement::Set - WARNING, ECC Data size exceeded maximum.");
            return E_CTI_TOO_MUCH_DATA;
        }
        if (value.size() <= e.valueLength) {
            // The new value fits the old one's place.
            std::memcpy(Text() + e.valueAt, value.data(), value.size());
            Text()[e.valueAt + value.size()] = '\0';
            m_Waste += static_cast<uint32_t>(e.valueLength - value.size());
        } else {
            m_Waste += e.valueLength + 1u;
            e.valueAt = Store(value);
        }
        e.valueLength = static_cast<uint16_t>(value.size());
        if (m_Waste > kCompactAfter && m_Waste > m_TextSize / 2) Compact();
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
    Entry added;
    added.tag = tag;
    added.index = index;
    added.nameLength = static_cast<uint16_t>(name.size());
    added.valueLength = static_cast<uint16_t>(value.size());
    added.nameAt = Store(name);
    added.valueAt = Store(value);
    m_Variables.push_back(added);
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
    for (const Entry& e : m_Variables) {
        if (e.tag == NAMED_VARIABLE_TAG && SameName(NameOf(e), name)) {
            value.assign(ValueOf(e));
            return true;
        }
    }
    return false;
}

bool ECCElement::GetArrayElement(const std::string& name, int32_t index, std::string& value) const {
    Hold hold(m_Lock);
    if (const Entry* e = FindLocked(NAMED_ARRAY_TAG, name, index)) {
        value.assign(ValueOf(*e));
        return true;
    }
    return false;
}

void ECCElement::GetList(std::vector<NameValueStruct>& out) const {
    out.clear();
    for (const Entry& e : m_Variables) {
        out.push_back(NameValueStruct{std::string(NameOf(e)), e.tag == NAMED_ARRAY_TAG ? 1 : 0,
                                      e.index, std::string(ValueOf(e))});
    }
}

void ECCElement::GetCounts(int& scalars, int& arrayElements, int& replacedScalars,
                           int& replacedArrayElements, const ECCSelection* selection) const {
    scalars = 0;
    arrayElements = 0;
    for (const Entry& e : m_Variables) {
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
                           ArrayListStruct* entry) const {
    const Entry* e = FindLocked(tag, name, index);
    if (e == nullptr) return false;
    if (entry != nullptr) {
        entry->tag = e->tag;
        entry->index = e->index;
        entry->name.assign(NameOf(*e));
        entry->value.assign(ValueOf(*e));
    }
    return true;
}

void ECCElement::MatchLocked(const ECCSelection* selection, ECCSelectionMatch& match) const {
    match.m_Owner = this;
    match.m_Selection = selection;
    match.m_Generation = m_Generation;
    match.m_Scalars = 0;
    match.m_ArrayElements = 0;
    match.m_Complete = m_Variables.size() <= ECCSelectionMatch::kMaxEntries;
    for (size_t i = 0; i < m_Variables.size(); ++i) {
        const Entry& e = m_Variables[i];
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
        const Entry& e = m_Variables[i];
        if (match != nullptr ? !match->m_Chosen[i] : !Selected(e, selection)) continue;
        // Name and value with their NULs, and the index byte of an array element.
        const bool array = e.tag == NAMED_ARRAY_TAG;
        int body = e.nameLength + e.valueLength + 2 + (array ? 1 : 0);
        if (header + body > room - written) return -1;
        if (version >= 20) {
            plat::StoreBE16(pos, e.tag);
            plat::StoreBE16(pos + 2, static_cast<uint16_t>(body));
        } else {
            pos[0] = e.tag;
            pos[1] = static_cast<uint8_t>(body);
        }
        pos += header;
        if (array) *pos++ = static_cast<uint8_t>(e.index);
        if (e.valueAt == e.nameAt + e.nameLength + 1u) {
            // Stored together (the usual case): name, NUL, value, NUL in one copy.
            const size_t both = e.nameLength + e.valueLength + 2u;
            CopyFieldBytes(pos, NameChars(e), both);
            pos += both;
        } else {
            CopyFieldBytes(pos, NameChars(e), e.nameLength + 1u);
            pos += e.nameLength + 1u;
            CopyFieldBytes(pos, ValueChars(e), e.valueLength + 1u);
            pos += e.valueLength + 1u;
        }
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
    uint32_t tag = version >= 20 ? plat::LoadBE16(src - 4) : src[-2];
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
    // Name and value each run to their NUL or to the field's end: a name that fills the
    // field leaves the value empty.
    const char* nameEnd = static_cast<const char*>(std::memchr(p, 0, static_cast<size_t>(end - p)));
    if (nameEnd == nullptr) nameEnd = end;
    std::string_view name(p, static_cast<size_t>(nameEnd - p));
    const char* v = nameEnd == end ? end : nameEnd + 1;
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
    for (const Entry& e : m_Variables) {
        if (e.tag == NAMED_ARRAY_TAG && (e.index < 0 || e.index > 255)) {
            return Fail(E_CTI_INVALID_ARRAY_INDEX);
        }
        if (static_cast<int>(e.nameLength) > kMaxECCNameLength) return Fail(E_CTI_INVALID_FIELD_LENGTH);
        if (static_cast<int>(e.valueLength) > kMaxECCValueLength) return Fail(E_CTI_VALUE_TOO_LONG);
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
    for (const Entry& e : m_Variables) {
        if (e.tag == NAMED_ARRAY_TAG) {
            AppendFormat(text, "%s[%d]=\"%s\" ", NameChars(e), e.index, ValueChars(e));
        } else {
            AppendFormat(text, "%s=\"%s\" ", NameChars(e), ValueChars(e));
        }
    }
}

void ECCElement::Clear() {
    BaseElement::Clear();
    Hold hold(m_Lock);
    m_Variables.clear();
    m_TextSize = 0;
    m_Waste = 0;
    ++m_Generation;
    m_TotalBytes = 0;
    m_ReplacedScalars = 0;
    m_ReplacedArrayElements = 0;
}
