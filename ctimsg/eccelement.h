#pragma once
// The expanded call context carried in a CTI message: a list of named scalar variables and
// array elements, one floating field per entry (tag 82 scalar, tag 83 array element).
#include <bitset>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "ctimsg/eccdefs.h"
#include "ctimsg/element.h"


// Longest name and value a variable may have, without their NUL.
constexpr int kMaxECCNameLength = 32;
constexpr int kMaxECCValueLength = 210;

struct ArrayListStruct {
    uint8_t tag = NAMED_VARIABLE_TAG;
    int32_t index = 0;
    std::string name;
    std::string value;
};

struct NameValueStruct {
    std::string name;
    int32_t isArray = 0;
    int32_t index = 0;
    std::string value;
};

// Which entries of a call context one session's selection names, worked out once per encode
// so that the recounted NumNamedVariables/NumNamedArrays and the variables written agree
// without matching every name again. Filled by ECCElement::MatchSelection.
class ECCSelectionMatch {
public:
    int Scalars() const { return m_Scalars; }
    int ArrayElements() const { return m_ArrayElements; }

private:
    friend class ECCElement;
    // A full context of 2500 bytes holds at most 625 entries (4 bytes each at the least);
    // a larger one is matched entry by entry instead.
    static constexpr size_t kMaxEntries = 640;

    const void* m_Owner = nullptr;  // the element matched, nullptr before any match
    const ECCSelection* m_Selection = nullptr;
    uint64_t m_Generation = 0;      // its entry list's generation at the match
    bool m_Complete = false;        // every entry has its bit
    int m_Scalars = 0;
    int m_ArrayElements = 0;
    std::bitset<kMaxEntries> m_Chosen;
};

class ECCElement : public BaseElement {
public:
    ECCElement(uint32_t elementId, uint32_t maxBytes, bool required, bool traced);
    ~ECCElement() override;

    // 0, 23 for a name of 33 characters or more, 74 for a value of 211 or more, 73 when the
    // context would outgrow the field.
    int Set(const std::string& name, const std::string& value);
    int Set(const std::string& name, int32_t index, const std::string& value);
    // false when there is no such entry; value gets a copy, taken under the lock.
    bool GetVariable(const std::string& name, std::string& value) const;
    bool GetArrayElement(const std::string& name, int32_t index, std::string& value) const;
    void GetList(std::vector<NameValueStruct>& out) const;
    // Entries by kind, over the selected ones only when a selection is given.
    void GetCounts(int& scalars, int& arrayElements, int& replacedScalars,
                   int& replacedArrayElements, const ECCSelection* selection) const;
    // true, and a copy of the entry in entry when it is not null, when one has that tag, that
    // name (exact, case-sensitive) and that index.
    bool FindEntry(uint8_t tag, const std::string& name, int32_t index,
                   ArrayListStruct* entry) const;
    int GetTotalBytes() const { return m_TotalBytes; }
    int GetEntryCount() const { return static_cast<int>(m_Variables.size()); }

    // Matches the entries against selection (null: all of them) under the lock, once for
    // one encode; the counts it gives are those GetCounts would give.
    void MatchSelection(const ECCSelection* selection, ECCSelectionMatch& match) const;

    // Writes the entries named in selection (all of them when it is null).
    virtual int EncodeSelected(uint8_t* dst, int room, uint32_t version,
                               const ECCSelection* selection) const;
    // The same with the entries chosen by an earlier MatchSelection over the same selection;
    // when the list has changed since, the names are matched again.
    int EncodeSelected(uint8_t* dst, int room, uint32_t version, const ECCSelection* selection,
                       const ECCSelectionMatch& match) const;

    int Encode(uint8_t* dst, int room, uint32_t version) const override;
    // One variable per call; src must stand in a frame, right after the field's header,
    // because the tag (82 or 83) is read back from that header.
    int Decode(const uint8_t* src, int fieldLength, int available, uint32_t version) override;
    int Validate(uint32_t version) override;
    void ValueText(std::string& text) const override;
    void Clear() override;

private:
    // One variable of the list. Its name and value stand in the text block, each followed by a NUL,
    // so that a whole context takes two blocks of memory instead of one or two per variable.
    struct Entry {
        uint8_t tag;
        int32_t index;
        uint32_t nameAt;
        uint32_t valueAt;
        uint16_t nameLength;
        uint16_t valueLength;
    };

    // The text block: inside the element up to kInlineText bytes, so that a usual context
    // (a decoded one above all) takes no heap block for its texts.
    static constexpr uint32_t kInlineText = 512;
    char* Text() { return m_Heap != nullptr ? m_Heap.get() : m_Inline; }
    const char* Text() const { return m_Heap != nullptr ? m_Heap.get() : m_Inline; }
    std::string_view NameOf(const Entry& e) const { return {Text() + e.nameAt, e.nameLength}; }
    std::string_view ValueOf(const Entry& e) const { return {Text() + e.valueAt, e.valueLength}; }
    const char* NameChars(const Entry& e) const { return Text() + e.nameAt; }
    const char* ValueChars(const Entry& e) const { return Text() + e.valueAt; }
    // Appends text and its NUL to the text block, which grows as needed; its offset.
    uint32_t Store(std::string_view text);
    // Rewrites the text block with the live names and values only.
    void Compact();
    int SetEntry(uint8_t tag, std::string_view name, int32_t index, std::string_view value);
    const Entry* FindLocked(uint8_t tag, std::string_view name, int32_t index) const;
    bool Selected(const Entry& entry, const ECCSelection* selection) const;
    void MatchLocked(const ECCSelection* selection, ECCSelectionMatch& match) const;
    int EncodeLocked(uint8_t* dst, int room, uint32_t version, const ECCSelection* selection,
                     const ECCSelectionMatch* match) const;

    std::vector<Entry> m_Variables;
    // The text block: m_TextSize bytes in use of m_TextRoom, in m_Heap once it outgrew
    // m_Inline.
    std::unique_ptr<char[]> m_Heap;
    uint32_t m_TextSize = 0;
    uint32_t m_TextRoom = kInlineText;
    // Bytes of the block that replaced values no longer use.
    uint32_t m_Waste = 0;
    // The element's own lock over its list, a plain in-process mutex: it is taken on every
    // access of a shared context and never nested (no operation holding it calls another
    // that takes it), so it needs neither an owner record nor a heap object.
    mutable std::mutex m_Lock;
    // Raised whenever an entry is added or the list is emptied: a selection match stays
    // good while it is unchanged (values replaced in place keep their names).
    uint64_t m_Generation = 0;
    int32_t m_TotalBytes = 0;
    uint16_t m_ReplacedScalars = 0;
    uint16_t m_ReplacedArrayElements = 0;
    char m_Inline[kInlineText];
};
