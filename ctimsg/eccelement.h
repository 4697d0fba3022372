#pragma once
// The expanded call context carried in a CTI message: a list of named scalar variables and
// array elements, one floating field per entry (tag 82 scalar, tag 83 array element).
#include <cstdint>
#include <string>
#include <vector>

#include "ctimsg/eccdefs.h"
#include "ctimsg/element.h"
#include "nuvlib/lock.h"

constexpr uint32_t NAMED_VARIABLE_TAG = 82;
constexpr uint32_t NAMED_ARRAY_TAG = 83;

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
    bool FindEntry(uint8_t tag, const std::string& name, int32_t index,
                   const ArrayListStruct** entry) const;
    int GetTotalBytes() const { return m_TotalBytes; }
    int GetEntryCount() const { return static_cast<int>(m_Variables.size()); }

    // Writes the entries named in selection (all of them when it is null).
    virtual int EncodeSelected(uint8_t* dst, int room, uint32_t version,
                               const ECCSelection* selection) const;

    int Encode(uint8_t* dst, int room, uint32_t version) const override;
    // One variable per call; src must stand in a frame, right after the field's header,
    // because the tag (82 or 83) is read back from that header.
    int Decode(const uint8_t* src, int fieldLength, int available, uint32_t version) override;
    int Validate(uint32_t version) override;
    void ValueText(std::string& text) const override;
    void Clear() override;

private:
    int SetEntry(uint8_t tag, const std::string& name, int32_t index, const std::string& value);
    static bool Selected(const ArrayListStruct& entry, const ECCSelection* selection);

    std::vector<ArrayListStruct> m_Variables;
    mutable LockObject m_Lock;
    int32_t m_TotalBytes = 0;
    uint16_t m_ReplacedScalars = 0;
    uint16_t m_ReplacedArrayElements = 0;
};
