// The catalogue rows compiled into flat tables: one array of member rows for all classes,
// one array of classes pointing into it, one array of the types without class. Built at
// compile time, so the counts below are checked by the compiler.
#include "ctimsg/messages/catalog.h"

#include <array>

#include "ctimsg/elementids.h"
#include <cstddef>

namespace catalog {
namespace {

// A row of catalog.def as it stands, message heads and ends included.
enum class RawKind : uint8_t { MsgBegin, MsgEnd, Member };

struct Raw {
    RawKind kind;
    MessageRow message;  // MsgBegin
    MemberRow row;       // Member
};

constexpr MessageRow Head(uint16_t type, const char* name, const char* cls, uint8_t version,
                          Dir dir, Ctor ctor, Check check, Size size, Layout layout) {
    return MessageRow{type, name, cls, version, dir, ctor, check, size, layout, 0, 0};
}

constexpr Raw Member(MemberRow row) { return Raw{RawKind::Member, {}, row}; }

constexpr Raw kRaw[] = {
#define MSG_BEGIN(type, name, cls, version, dir, ctor, check, size, layout)             \
    Raw{RawKind::MsgBegin,                                                              \
        Head(type, name, #cls, version, Dir::dir, Ctor::ctor, Check::check, Size::size, \
             Layout::layout),                                                           \
        {}},
#define MSG_END() Raw{RawKind::MsgEnd, {}, {}},
#define FIELD(cls, version, need, trace)                                                      \
    Member(MemberRow{MemberKind::Field, static_cast<uint16_t>(elementid::cls), #cls, version, \
                     Need::need, Trace::trace, 0, 0, 0}),
#define GROUP_BEGIN(entries, version, splitAt, splitVersion)                                \
    Member(MemberRow{MemberKind::GroupBegin, 0, nullptr, version, Need::Opt, Trace::Always, \
                     entries, splitAt, splitVersion}),
#define GROUP_END() \
    Member(MemberRow{MemberKind::GroupEnd, 0, nullptr, 0, Need::Opt, Trace::Always, 0, 0, 0}),
#define ENTRY(cls, version)                                                                   \
    Member(MemberRow{MemberKind::Entry, static_cast<uint16_t>(elementid::cls), #cls, version, \
                     Need::Opt, Trace::Always, 0, 0, 0}),
#define LIST_BEGIN(slots, countCls)                                                                \
    Member(MemberRow{MemberKind::ListBegin, static_cast<uint16_t>(elementid::countCls), #countCls, \
                     0, Need::Opt, Trace::Always, slots, 0, 0}),
#define LIST_END() \
    Member(MemberRow{MemberKind::ListEnd, 0, nullptr, 0, Need::Opt, Trace::Always, 0, 0, 0}),
#include "ctimsg/messages/catalog.def"
#undef MSG_BEGIN
#undef MSG_END
#undef FIELD
#undef GROUP_BEGIN
#undef GROUP_END
#undef ENTRY
#undef LIST_BEGIN
#undef LIST_END
};

constexpr MissingTypeRow kMissing[] = {
#define NO_CLASS(type, name, kind) MissingTypeRow{type, name, NoClass::kind},
#include "ctimsg/messages/catalog.def"
#undef NO_CLASS
};

constexpr std::size_t Count(RawKind kind) {
    std::size_t n = 0;
    for (const Raw& r : kRaw) n += r.kind == kind ? 1 : 0;
    return n;
}

constexpr std::size_t kMessageCount = Count(RawKind::MsgBegin);
constexpr std::size_t kRowCount = Count(RawKind::Member);

constexpr auto kRows = [] {
    std::array<MemberRow, kRowCount> rows{};
    std::size_t n = 0;
    for (const Raw& r : kRaw)
        if (r.kind == RawKind::Member) rows[n++] = r.row;
    return rows;
}();

constexpr auto kMessages = [] {
    std::array<MessageRow, kMessageCount> messages{};
    std::size_t m = 0;
    uint16_t row = 0;
    for (const Raw& r : kRaw) {
        if (r.kind == RawKind::MsgBegin) {
            messages[m] = r.message;
            messages[m].firstRow = row;
        } else if (r.kind == RawKind::Member) {
            ++row;
        } else {
            messages[m].rowCount = static_cast<uint16_t>(row - messages[m].firstRow);
            ++m;
        }
    }
    return messages;
}();

static_assert(kMessageCount == 255, "255 message classes");
static_assert(sizeof(kMissing) / sizeof(kMissing[0]) == 28, "28 types without class");
static_assert(Count(RawKind::MsgEnd) == kMessageCount, "every class block is closed");

}  // namespace

std::span<const MessageRow> MessageRows() { return kMessages; }

std::span<const MemberRow> AllMemberRows() { return kRows; }

std::span<const MemberRow> MemberRows(const MessageRow& message) {
    return std::span<const MemberRow>(kRows).subspan(message.firstRow, message.rowCount);
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

}  // namespace catalog
