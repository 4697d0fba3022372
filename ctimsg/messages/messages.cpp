// The compiled catalogue: each class's layout rows, its class data, its constructor, and the
// type table with the type-to-class factory.
#include "ctimsg/messages/messages.h"

#include "ctimsg/names.h"

namespace catalog {
namespace {

#define CATALOG_ID(cls) elementdict::kRows[elementdict::kRow_##cls].id

// Pass 1: the layout rows of every class.
#define MSG_BEGIN(type, name, Cls, version, dir, ctor, check, size, layout) \
    constexpr LayoutRow kRows_##Cls[] = {
#define FIELD(cls, version, need, trace) \
    {RowKind::Field, &kMaker<cls>, CATALOG_ID(cls), version, Need::need, Trace::trace, 0, 0, 0},
#define GROUP_BEGIN(entries, version, splitAt, splitVersion)                                 \
    {RowKind::GroupBegin, nullptr, 0, version, Need::Opt, Trace::Always, entries, splitAt, \
     splitVersion},
#define ENTRY(cls, version) \
    {RowKind::Entry, &kMaker<cls>, CATALOG_ID(cls), version, Need::Opt, Trace::Always, 0, 0, 0},
#define LIST_BEGIN(slots, countCls) \
    {RowKind::ListBegin, nullptr, CATALOG_ID(countCls), 0, Need::Opt, Trace::Always, slots, 0, 0},
#define LIST_END() {RowKind::ListEnd, nullptr, 0, 0, Need::Opt, Trace::Always, 0, 0, 0},
#define GROUP_END() {RowKind::GroupEnd, nullptr, 0, 0, Need::Opt, Trace::Always, 0, 0, 0},
#define MSG_END() {RowKind::End, nullptr, 0, 0, Need::Opt, Trace::Always, 0, 0, 0}};
#include "ctimsg/messages/catalog.def"
#undef MSG_BEGIN
#undef FIELD
#undef GROUP_BEGIN
#undef ENTRY
#undef LIST_BEGIN
#undef LIST_END
#undef GROUP_END
#undef MSG_END

}  // namespace

// Pass 2: the class data.
#define MSG_BEGIN(type, name, Cls, version, dir, ctor, check, size, layout)                   \
    const ClassInfo kInfo_##Cls = {type,        name,          #Cls,         version,        \
                                   Dir::dir,    Ctor::ctor,    Check::check, Size::size,     \
                                   Layout::layout, kRows_##Cls};
#include "ctimsg/messages/catalog.def"
#undef MSG_BEGIN

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
    Add(type, name, &kInfo_##Cls, &Create<Cls>);
#define NO_CLASS(type, name, kind) \
    rows[type] = {type, name, TypeKind::kind, nullptr};
#include "ctimsg/messages/catalog.def"
#undef MSG_BEGIN
#undef NO_CLASS
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

const TypeRow kUnknown = {0, "*INVALID*", TypeKind::Unknown, nullptr};

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
    Cls::Cls() : CatalogMSG(catalog::kInfo_##Cls, false, false) {}
#define CATALOG_CTOR_TraceFlags(Cls) \
    Cls::Cls(bool eccTraced, bool cvTraced) : CatalogMSG(catalog::kInfo_##Cls, eccTraced, cvTraced) {}
#define MSG_BEGIN(type, name, Cls, version, dir, ctor, check, size, layout) CATALOG_CTOR_##ctor(Cls)
#include "ctimsg/messages/catalog.def"
#undef MSG_BEGIN
