#pragma once
// Every field class of the CTI protocol. Each dictionary row becomes Field<row>, and the
// class names that messages use are aliases of it; only the fields with rules of their own
// are written by hand below the aliases.
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "ctimsg/eccelement.h"
#include "ctimsg/element.h"
#include "ctimsg/elementdict.h"
#include "ctimsg/families.h"
#include "ctimsg/structured.h"

namespace elementdict {

// Row index of every class name, in the order of kRows.
enum RowOfClass : int {
#define ELEM(id, cls, ...) kRow_##cls,
#define ELEM_MEMBER(id, ...) kRowMember_##id,
#include "ctimsg/elementdict.def"
#undef ELEM
#undef ELEM_MEMBER
    kRowIndexEnd
};
static_assert(kRowIndexEnd == static_cast<int>(kRowCount), "row enum out of step with kRows");

}  // namespace elementdict

template <int R>
class Field;

namespace fielddetail {

using elementdict::Base;
using elementdict::CheckKind;
using elementdict::kRows;
using elementdict::Special;
using elementdict::TextKind;

template <Base B>
struct BaseOf;
template <> struct BaseOf<Base::UINTElement> { using type = UINTElement; };
template <> struct BaseOf<Base::INTElement> { using type = INTElement; };
template <> struct BaseOf<Base::USHORTElement> { using type = USHORTElement; };
template <> struct BaseOf<Base::UCHARElement> { using type = UCHARElement; };
template <> struct BaseOf<Base::BOOLElement> { using type = BOOLElement; };
template <> struct BaseOf<Base::STRINGElement> { using type = STRINGElement; };
template <> struct BaseOf<Base::UNSPECElement> { using type = UNSPECElement; };
template <> struct BaseOf<Base::TaskIDType> { using type = TaskIDType; };
template <> struct BaseOf<Base::DataStructureField> { using type = DataStructureField; };
template <> struct BaseOf<Base::ECCElement> { using type = ECCElement; };
template <> struct BaseOf<Base::MaskBits> { using type = MaskBits; };
template <> struct BaseOf<Base::DeviceIDType> { using type = DeviceIDType; };
// The three family bases that are field classes of their own.
template <> struct BaseOf<Base::ConnectionDeviceIDType> {
    using type = Field<elementdict::kRow_ConnectionDeviceIDType>;
};
template <> struct BaseOf<Base::CTIAgentState> { using type = Field<elementdict::kRow_CTIAgentState>; };
template <> struct BaseOf<Base::AgentID_Long> { using type = Field<elementdict::kRow_AgentID_Long>; };

template <class S>
constexpr bool kSizedBase = std::is_constructible_v<S, uint32_t, uint32_t, bool, bool>;

}  // namespace fielddetail

// The field class of dictionary row R.
template <int R>
class Field : public fielddetail::BaseOf<elementdict::kRows[R].base>::type {
    static constexpr const elementdict::Row& kRow = elementdict::kRows[R];
    using Super = typename fielddetail::BaseOf<kRow.base>::type;

public:
    Field(bool required, bool traced) : Field(kRow.id, required, traced) {}

    // The family-base form: a derived field class gives its own element id.
    Field(uint32_t elementId, bool required, bool traced)
        requires fielddetail::kSizedBase<Super>
        : Super(elementId, kRow.bytes, required, traced) {
        Init();
    }
    Field(uint32_t elementId, bool required, bool traced)
        requires(!fielddetail::kSizedBase<Super>)
        : Super(elementId, required, traced) {
        Init();
    }

    int Validate(uint32_t version) override {
        int rc = Super::Validate(version);
        if constexpr (kRow.check.kind == elementdict::CheckKind::None) {
            return rc;
        } else {
            if (rc != 0 || !this->m_Present) return rc;
            if constexpr (kIsString) {
                return PassesText(this->Get()) ? 0 : this->Fail(kRow.check.code);
            } else {
                return Passes(Unsigned()) ? 0 : this->Fail(kRow.check.code);
            }
        }
    }

    // The row's value rule, the one place a Check column is interpreted: whether a present
    // value passes. A number is taken as the unsigned value of the field's width; string rules
    // accept every number and numeric rules every string.
    static constexpr bool Passes(uint32_t v) {
        constexpr elementdict::Check c = kRow.check;
        switch (c.kind) {
            case elementdict::CheckKind::Range:
                return v >= c.lo && v <= c.hi;
            case elementdict::CheckKind::RangeOrNone:
                return (v >= c.lo && v <= c.hi) || v == 0xFFFF;
            case elementdict::CheckKind::EventCause:
                return (v >= 1 && v <= 61) || (v >= 1001 && v <= 1066) || v == 0xFFFF;
            default:
                return true;
        }
    }
    static bool PassesText(std::string_view s) {
        constexpr elementdict::Check c = kRow.check;
        if constexpr (c.kind == elementdict::CheckKind::NotEmpty) return !s.empty();
        if constexpr (c.kind == elementdict::CheckKind::DigitsOnly) {
            for (char ch : s)
                if (ch < '0' || ch > '9') return false;
        }
        return true;
    }

    void ValueText(std::string& text) const override {
        if constexpr (kRow.text.kind == elementdict::TextKind::None) {
            Super::ValueText(text);
        } else if (!this->m_Present) {
            text += "<missing> ";
        } else {
            OwnText(text);
        }
    }

private:
    void Init() {
        if (kRow.from > this->m_FromVersion) this->m_FromVersion = kRow.from;
        if constexpr (kRow.special == elementdict::Special::NeverTraced) this->m_Traced = 0;
        if constexpr (kRow.special == elementdict::Special::BuiltZero) this->Set(0);
    }

    static constexpr bool kIsString = std::is_base_of_v<STRINGElement, Super>;

    // The value as the unsigned number of the field's width.
    uint32_t Unsigned() const {
        using T = decltype(this->Get());
        return static_cast<uint32_t>(static_cast<std::make_unsigned_t<T>>(this->Get()));
    }


    void OwnText(std::string& text) const {
        constexpr elementdict::TextKind k = kRow.text.kind;
        if constexpr (kIsString) {
            // Only the bare text applies to strings: the text itself, no quotes, no blank.
            if constexpr (k == elementdict::TextKind::Bare) {
                text += this->Get();
            } else {
                Super::ValueText(text);
            }
        } else if constexpr (k == elementdict::TextKind::Name) {
            kRow.text.name(text, Unsigned());
            text += ' ';
        } else if constexpr (k == elementdict::TextKind::Hex) {
            fieldtext::Hex(text, Unsigned());
        } else if constexpr (k == elementdict::TextKind::NA) {
            if (Unsigned() == 0xFFFFFFFFu) {
                text += "N/A ";
            } else if constexpr (std::is_signed_v<decltype(this->Get())>) {
                AppendFormat(text, "%d ", static_cast<int>(this->Get()));
            } else {
                AppendFormat(text, "%u ", Unsigned());
            }
        } else if constexpr (k == elementdict::TextKind::NA255) {
            if (Unsigned() == 255) {
                text += "N/A ";
            } else {
                AppendFormat(text, "%u ", Unsigned());
            }
        } else if constexpr (k == elementdict::TextKind::TimeStamp) {
            fieldtext::TimeStamp(text, Unsigned());
        } else {
            Super::ValueText(text);
        }
    }
};

// ---- the class names ----
// Rows whose Special column names a hand-written rule get their class below instead.
#define FIELD_ALIAS_None(cls) using cls = Field<elementdict::kRow_##cls>;
#define FIELD_ALIAS_NeverTraced(cls) FIELD_ALIAS_None(cls)
#define FIELD_ALIAS_BuiltZero(cls) FIELD_ALIAS_None(cls)
#define FIELD_ALIAS_FamilyBase(cls) FIELD_ALIAS_None(cls)
#define FIELD_ALIAS_ByVersion(cls)
#define FIELD_ALIAS_OwnTraceFlag(cls)
#define FIELD_ALIAS_FixedBytes(cls)
#define FIELD_ALIAS_REMaskArray(cls)
#define FIELD_ALIAS_REMaskMember(cls)
#define ELEM(id, cls, base, bytes, from, tag, tagName, traceName, check, text, special) \
    FIELD_ALIAS_##special(cls)
#include "ctimsg/elementdict.def"
#undef ELEM
#undef FIELD_ALIAS_None
#undef FIELD_ALIAS_NeverTraced
#undef FIELD_ALIAS_BuiltZero
#undef FIELD_ALIAS_FamilyBase
#undef FIELD_ALIAS_ByVersion
#undef FIELD_ALIAS_OwnTraceFlag
#undef FIELD_ALIAS_FixedBytes
#undef FIELD_ALIAS_REMaskArray
#undef FIELD_ALIAS_REMaskMember

// ---- fields with rules of their own ----

// Service bits that a protocol version knows.
uint32_t ServiceMaskAllowedBits(uint32_t version);
// Call message bits that encoding keeps, and that the check allows, per version.
uint32_t CallMsgMaskEncodeBits(uint32_t version);
uint32_t CallMsgMaskAllowedBits(uint32_t version);

class ServiceMask : public Field<elementdict::kRow_ServiceMask> {
public:
    using Field::Field;
    int Encode(uint8_t* dst, int room, uint32_t version) const override;
    int Validate(uint32_t version) override;
    int ValidateToSend(uint32_t version) override;
};

class CallMsgMask : public Field<elementdict::kRow_CallMsgMask> {
public:
    using Field::Field;
    int Encode(uint8_t* dst, int room, uint32_t version) const override;
    int Validate(uint32_t version) override;
    int ValidateToSend(uint32_t version) override;
};

class TaskMsgMask : public Field<elementdict::kRow_TaskMsgMask> {
public:
    using Field::Field;
    int Encode(uint8_t* dst, int room, uint32_t version) const override;
    int Validate(uint32_t version) override;
    int ValidateToSend(uint32_t version) override;
};

class NumSkillGroups : public Field<elementdict::kRow_NumSkillGroups> {
public:
    using Field::Field;
    // Clamps only the number written: the element keeps its value for the next session.
    int Encode(uint8_t* dst, int room, uint32_t version) const override;
    int Validate(uint32_t version) override;
};

class AgentInstrument : public Field<elementdict::kRow_AgentInstrument> {
public:
    using Field::Field;
    int Encode(uint8_t* dst, int room, uint32_t version) const override;
    int Validate(uint32_t version) override;
    int ValidateToSend(uint32_t version) override;
};

// A set trace flag hides exactly the next trace of the field.
class AgentID : public Field<elementdict::kRow_AgentID> {
public:
    using Field::Field;
    int Trace(std::string& text) override;
    int SetTraceFlag(int flag) override;

private:
    uint32_t m_OwnTraceFlag = 0;
};

// An 8-byte raw key that stands bare in the fixed part.
class TeamConfigKey : public Field<elementdict::kRow_TeamConfigKey> {
public:
    using Field::Field;
    int Encode(uint8_t* dst, int room, uint32_t version) const override;
    int Decode(const uint8_t* src, int fieldLength, int available, uint32_t version) override;
};
