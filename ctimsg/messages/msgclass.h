#pragma once
// The one construction rule of every CTI message class, driven by the rows of catalog.def:
// a class is BaseMSG plus its members built from its rows and chained in wire order. Each
// class's members live in one block of storage, every array's entries one after another.
#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#include "ctimsg/basemsg.h"
#include "ctimsg/elements.h"
#include "ctimsg/messages/catalog.h"

namespace catalog {

// How to build, find and destroy one element class in raw storage.
struct ElementMaker {
    uint32_t size;
    uint32_t align;
    BaseElement* (*make)(void* at, bool required, bool traced);
    void (*destroy)(void* at);
    bool reMask;  // links its successor through REMaskArray::SetNext
};

template <class T>
inline constexpr ElementMaker kMaker = {
    sizeof(T),
    alignof(T),
    [](void* at, bool required, bool traced) -> BaseElement* { return new (at) T(required, traced); },
    [](void* at) { static_cast<T*>(at)->~T(); },
    std::is_base_of_v<REMaskArray, T>,
};

// The codec's names for the catalogue rows it builds classes from.
using ClassInfo = MessageRow;
using LayoutRow = MemberRow;
using RowKind = MemberKind;

// A record list of a configuration class: how many of each record's slots are in use is
// the count field's occurrence r.
struct RecordList {
    uint32_t countElementId;
    uint32_t slots;
    uint32_t records;
    std::vector<uint32_t> memberIds;
};

// What a type number stands for.
enum class TypeKind : uint8_t { Implemented, NotImplemented, Invalid, Unknown };
struct TypeRow {
    uint32_t type;
    const char* name;
    TypeKind kind;
    const ClassInfo* info;  // the main class; nullptr without one
};
// Types outside 1..282 give kind Unknown.
const TypeRow& GetTypeRow(uint32_t type);
// Every class, the older type-91 layout included, in catalogue order.
const std::vector<const ClassInfo*>& AllClasses();

// The type-to-class factory of the decoder: a new message with both trace flags off, owned by
// the caller, or null for a type without class. older asks for the older layout of a type
// that has one.
[[nodiscard]] BaseMSGPtr CreateMessage(uint32_t type, bool older = false);

}  // namespace catalog

// The base of every catalogue class: builds its members from its rows.
class CatalogMSG : public BaseMSG {
public:
    CatalogMSG(const catalog::ClassInfo& info, bool eccTraced, bool cvTraced);
    ~CatalogMSG() override;

    int Validate(uint32_t version) override;
    int ValidateReceived(uint32_t version) override;
    int ValidateToSend(uint32_t version) override;
    int MaxEncodedSize(uint32_t version) const override;

    const catalog::ClassInfo& Info() const { return m_Info; }
    const std::vector<catalog::RecordList>& RecordLists() const;
    // Entry index of the first member with that element id; nullptr past its end. Record
    // alignment reaches entries by index through it, never through the fatal getters.
    BaseElement* Entry(uint32_t elementId, uint32_t index) const;
    uint32_t EntryCount(uint32_t elementId) const;
    // The decoder's verdict on record counts that do not match the entries.
    void FailAlignment(uint32_t status, uint32_t elementId, uint32_t occurrence) {
        SetFailure(status, elementId, occurrence);
        SetValidFromStatus();
    }

protected:
    BaseElement* FindInChain(uint32_t elementId, uint32_t occurrence) const override;

private:
    uint32_t NumberOr0(uint32_t elementId);
    int Rule(uint32_t version, bool toSend);
    int EccCountRule(uint32_t version, bool toSend);
    int OpenServiceRule();
    int AgentIdentityRule(uint32_t version);
    int MonitorTargetRule();
    int TerminationRule();

    const catalog::ClassInfo& m_Info;
    const void* m_Plan;
    std::byte* m_Storage;
};
