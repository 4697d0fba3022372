// The compiled catalogue, the one compilation of catalog.def: each class's member rows, the
// classes, the types without class, each class's constructor, and the type table with the
// type-to-class factory.
#include "ctimsg/messages/messages.h"

#include "ctimsg/names.h"

namespace catalog {
namespace {

#define CATALOG_ID(cls) static_cast<uint16_t>(elementid::cls)

// Pass 1: the member rows of every class, each closed by an End row.
#define MSG_BEGIN(type, name, Cls, version, dir, ctor, check, size, layout) \
    constexpr MemberRow kRows_##Cls[] = {
#define FIELD(cls, version, need, trace)                                                     \
    {MemberKind::Field, &kMaker<cls>, CATALOG_ID(cls), #cls, version, Need::need, Trace::trace, \
     0, 0, 0},
#define GROUP_BEGIN(entries, version, splitAt, splitVersion)                                  \
    {MemberKind::GroupBegin, nullptr, 0, nullptr, version, Need::Opt, Trace::Always, entries, \
     splitAt, splitVersion},
#define ENTRY(cls, version)                                                                     \
    {MemberKind::Entry, &kMaker<cls>, CATALOG_ID(cls), #cls, version, Need::Opt, Trace::Always, \
     0, 0, 0},
#define LIST_BEGIN(slots, countCls)                                                           \
    {MemberKind::ListBegin, nullptr, CATALOG_ID(countCls), #countCls, 0, Need::Opt,           \
     Trace::Always, slots, 0, 0},
#define LIST_END() \
    {MemberKind::ListEnd, nullptr, 0, nullptr, 0, Need::Opt, Trace::Always, 0, 0, 0},
#define GROUP_END() \
    {MemberKind::GroupEnd, nullptr, 0, nullptr, 0, Need::Opt, Trace::Always, 0, 0, 0},
#define MSG_END() {MemberKind::End, nullptr, 0, nullptr, 0, Need::Opt, Trace::Always, 0, 0, 0}};
#include "ctimsg/messages/catalog.def"
#undef MSG_BEGIN
#undef FIELD
#undef GROUP_BEGIN
#undef ENTRY
#undef LIST_BEGIN
#undef LIST_END
#undef GROUP_END
#undef MSG_END

// Pass 2: the classes in catalogue order, and each class's place among them.
constexpr MessageRow kMessages[] = {
#define MSG_BEGIN(type, name, Cls, version, dir, ctor, check, size, layout)                       \
    {type,           #name,         #Cls,          version,       Dir::dir, Ctor::ctor,         \
     Check::check,   Size::size,    Layout::layout, kRows_##Cls,                                 \
     static_cast<uint16_t>(sizeof(kRows_##Cls) / sizeof(MemberRow) - 1)},
#include "ctimsg/messages/catalog.def"
#undef MSG_BEGIN
};

enum ClassIndex : int {
#define MSG_BEGIN(type, name, Cls, version, dir, ctor, check, size, layout) kIndex_##Cls,
#include "ctimsg/messages/catalog.def"
#undef MSG_BEGIN
};

// Pass 3: the types without class, and the numbers without type.
constexpr MissingTypeRow kMissing[] = {
#define NO_CLASS(type, name, kind) MissingTypeRow{type, #name, NoClass::kind},
#define NO_TYPE(type) MissingTypeRow{type, kNoMsgTypeName, NoClass::Invalid},
#include "ctimsg/messages/catalog.def"
#undef NO_CLASS
#undef NO_TYPE
};

static_assert(sizeof(kMessages) / sizeof(kMessages[0]) == 255, "255 message classes");
static_assert(sizeof(kMissing) / sizeof(kMissing[0]) == 28, "28 types without class");

constexpr bool EveryTypeHasOneRow() {
    int rows[kMaxType + 1] = {};
    for (const MessageRow& m : kMessages)
        if (m.layout == Layout::Main) ++rows[m.type];
    for (const MissingTypeRow& t : kMissing) ++rows[t.type];
    for (int t = 1; t <= kMaxType; ++t)
        if (rows[t] != 1) return false;
    return rows[0] == 0;
}
static_assert(EveryTypeHasOneRow(), "types 1 to kMaxType: one class or one type without class each");

}  // namespace

std::span<const MessageRow> MessageRows() { return kMessages; }

std::span<const MemberRow> MemberRows(const MessageRow& message) {
    return std::span<const MemberRow>(message.rows, message.rowCount);
}

std::span<const MissingTypeRow> TypesWithoutClass() { return kMissing; }

const MessageRow* FindMessageRow(int type, Layout layout) {
    for (const MessageRow& m : kMessages)
        if (m.type == type && m.layout == layout) return &m;
    return nullptr;
}

const MessageRow* FindMessageRowByClass(std::string_view className) {
    for (const MessageRow& m : kMessages)
        if (className == m.className) return &m;
    return nullptr;
}

namespace {

template <class T>
BaseMSG* Create() {
    if constexpr (std::is_constructible_v<T, bool, bool>) {
        return new T(false, false);
    } else {
        return new T();
    }
}

struct Table {
    TypeRow rows[kMaxType + 1];
    BaseMSG* (*main[kMaxType + 1])();
    BaseMSG* (*older[kMaxType + 1])();
    std::vector<const ClassInfo*> classes;

    Table() {
        for (uint32_t t = 0; t <= kMaxType; ++t) {
            rows[t] = {t, MsgTypeName(static_cast<int32_t>(t)), TypeKind::Unknown, nullptr};
            main[t] = older[t] = nullptr;
        }
#define MSG_BEGIN(type, name, Cls, version, dir, ctor, check, size, layout) \
    Add(type, #name, &kMessages[kIndex_##Cls], &Create<Cls>);
#define NO_CLASS(type, name, kind) \
    rows[type] = {type, #name, TypeKind::kind, nullptr};
#define NO_TYPE(type) rows[type] = {type, kNoMsgTypeName, TypeKind::Invalid, nullptr};
#include "ctimsg/messages/catalog.def"
#undef MSG_BEGIN
#undef NO_CLASS
#undef NO_TYPE
    }

    void Add(uint32_t type, const char* name, const ClassInfo* info, BaseMSG* (*make)()) {
        classes.push_back(info);
        if (info->layout == Layout::Older) {
            older[type] = make;
            return;
        }
        rows[type] = {type, name, TypeKind::Implemented, info};
        main[type] = make;
    }
};

const Table& TheTable() {
    static const Table table;
    return table;
}

const TypeRow kUnknown = {0, kNoMsgTypeName, TypeKind::Unknown, nullptr};

}  // namespace

const TypeRow& GetTypeRow(uint32_t type) {
    if (type < 1 || type > static_cast<uint32_t>(kMaxType)) return kUnknown;
    return TheTable().rows[type];
}

const std::vector<const ClassInfo*>& AllClasses() { return TheTable().classes; }

BaseMSGPtr CreateMessage(uint32_t type, bool older) {
    if (type < 1 || type > static_cast<uint32_t>(kMaxType)) return nullptr;
    auto make = older ? TheTable().older[type] : TheTable().main[type];
    return BaseMSGPtr(make != nullptr ? make() : nullptr);
}

}  // namespace catalog

// Pass 3: the constructors.
#define CATALOG_CTOR_NoArgs(Cls) \
    Cls::Cls() : CatalogMSG(catalog::kMessages[catalog::kIndex_##Cls], false, false) {}
#define CATALOG_CTOR_TraceFlags(Cls) \
    Cls::Cls(bool eccTraced, bool cvTraced) : CatalogMSG(catalog::kMessages[catalog::kIndex_##Cls], eccTraced, cvTraced) {}
#define MSG_BEGIN(type, name, Cls, version, dir, ctor, check, size, layout) CATALOG_CTOR_##ctor(Cls)
#include "ctimsg/messages/catalog.def"
#undef MSG_BEGIN
