#include "ctimsg/messages/msgclass.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "ctimsg/eccelement.h"
#include "ctimsg/msgtypes.h"
#include "ctimsg/servicemask.h"
#include "ctimsg/statuscodes.h"
#include "nuvlib/ems.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#else
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

namespace {

using catalog::ClassInfo;
using catalog::ElementMaker;
using catalog::LayoutRow;
using catalog::RowKind;

enum class NumKind : uint8_t { None, U32, I32, U16, U8 };

struct PlanMember {
    size_t offset;
    ptrdiff_t baseDelta;  // from the start of an entry's storage to its BaseElement
    NumKind kind;
    const ElementMaker* maker;
    uint32_t elementId;
    uint32_t count;
    bool required;
    catalog::Trace trace;
    bool array;
};

struct ChainStep {
    uint32_t member;
    uint32_t entry;
    uint32_t version;
};

// A class's layout worked out once from its rows: where each member lives and the chain.
struct Plan {
    size_t bytes = 0;
    size_t align = alignof(std::max_align_t);
    std::vector<PlanMember> members;
    std::vector<ChainStep> chain;
    std::vector<catalog::RecordList> lists;
    // The first member of each element id, -1 for ids that are no member's.
    std::vector<int32_t> memberOfId;
    // Ids held by more than one member, or inside a structured member: found by walking.
    std::vector<bool> walk;
};

constexpr uint32_t kElementIdCount = elementdict::kElementIdCount;

size_t AlignUp(size_t n, size_t a) { return (n + a - 1) / a * a; }

uint32_t AddMember(Plan& plan, const LayoutRow& row, uint32_t count, bool array) {
    PlanMember m;
    m.maker = row.maker;
    m.offset = AlignUp(plan.bytes, row.maker->align);
    m.baseDelta = 0;
    m.kind = NumKind::None;
    m.elementId = row.element;
    m.count = count;
    m.required = !array && row.need == catalog::Need::Req;
    m.trace = array ? catalog::Trace::Always : row.trace;
    m.array = array;
    plan.bytes = m.offset + static_cast<size_t>(row.maker->size) * count;
    plan.align = std::max<size_t>(plan.align, row.maker->align);
    plan.members.push_back(m);
    return static_cast<uint32_t>(plan.members.size() - 1);
}

// One group of arrays: `records` entries of the record's own arrays, each record followed by
// the entries of its member lists.
const LayoutRow* BuildGroup(Plan& plan, const LayoutRow* row) {
    const LayoutRow& head = *row++;
    const uint32_t records = head.count;
    auto entryVersion = [&](const LayoutRow& r, uint32_t record) {
        uint32_t v = std::max<uint32_t>(r.version, head.version);
        if (head.splitAt != 0 && record >= head.splitAt) v = std::max<uint32_t>(v, head.splitVersion);
        return v;
    };
    struct List {
        uint32_t slots;
        uint32_t countId;
        std::vector<std::pair<uint32_t, const LayoutRow*>> members;
    };
    std::vector<std::pair<uint32_t, const LayoutRow*>> own;
    std::vector<List> lists;
    for (; row->kind != RowKind::GroupEnd; ++row) {
        if (row->kind == RowKind::Entry) {
            own.emplace_back(AddMember(plan, *row, records, true), row);
        } else if (row->kind == RowKind::ListBegin) {
            List list{row->count, row->element, {}};
            for (++row; row->kind != RowKind::ListEnd; ++row) {
                list.members.emplace_back(AddMember(plan, *row, records * list.slots, true), row);
            }
            lists.push_back(std::move(list));
        }
    }
    for (uint32_t r = 0; r < records; ++r) {
        for (auto& [m, src] : own) plan.chain.push_back({m, r, entryVersion(*src, r)});
        for (auto& list : lists) {
            for (uint32_t j = 0; j < list.slots; ++j) {
                for (auto& [m, src] : list.members) {
                    plan.chain.push_back({m, r * list.slots + j, entryVersion(*src, r)});
                }
            }
        }
    }
    for (auto& list : lists) {
        catalog::RecordList out{list.countId, list.slots, records, {}};
        for (auto& [m, src] : list.members) out.memberIds.push_back(src->element);
        plan.lists.push_back(std::move(out));
    }
    return row;  // at GroupEnd
}

std::unique_ptr<Plan> BuildPlan(const ClassInfo& info) {
    auto plan = std::make_unique<Plan>();
    for (const LayoutRow* row = info.rows; row->kind != RowKind::End; ++row) {
        if (row->kind == RowKind::Field) {
            uint32_t m = AddMember(*plan, *row, 1, false);
            plan->chain.push_back({m, 0, row->version});
        } else if (row->kind == RowKind::GroupBegin) {
            row = BuildGroup(*plan, row);
        }
    }
    plan->bytes = AlignUp(std::max<size_t>(plan->bytes, 1), plan->align);
    // One scratch element of each member tells where its BaseElement lies and what number
    // it holds, so that no message needs to ask that again.
    for (PlanMember& m : plan->members) {
        void* scratch = ::operator new(m.maker->size, std::align_val_t(m.maker->align));
        BaseElement* e = m.maker->make(scratch, false, false);
        m.baseDelta = reinterpret_cast<const std::byte*>(e) - static_cast<const std::byte*>(scratch);
        if (dynamic_cast<NumberElement<uint32_t, 4>*>(e)) {
            m.kind = NumKind::U32;
        } else if (dynamic_cast<NumberElement<int32_t, 4>*>(e)) {
            m.kind = NumKind::I32;
        } else if (dynamic_cast<NumberElement<uint16_t, 2>*>(e)) {
            m.kind = NumKind::U16;
        } else if (dynamic_cast<NumberElement<uint8_t, 1>*>(e)) {
            m.kind = NumKind::U8;
        }
        m.maker->destroy(scratch);
        ::operator delete(scratch, std::align_val_t(m.maker->align));
    }
    plan->memberOfId.assign(kElementIdCount, -1);
    plan->walk.assign(kElementIdCount, false);
    for (size_t m = plan->members.size(); m-- > 0;) {
        const PlanMember& member = plan->members[m];
        uint32_t id = member.elementId;
        if (id >= kElementIdCount) continue;
        if (plan->memberOfId[id] >= 0) plan->walk[id] = true;
        plan->memberOfId[id] = static_cast<int32_t>(m);
        if (member.maker->reMask) {
            for (uint32_t inner = elementid::RemaskInstrument; inner <= elementid::REMaskAgent; ++inner) {
                if (REMaskEntry::IsMemberId(inner)) plan->walk[inner] = true;
            }
        }
    }
    return plan;
}

// Plans are built on first use of each class and kept for the life of the process.
const Plan& PlanOf(const ClassInfo& info) {
    static std::mutex lock;
    static std::unordered_map<const ClassInfo*, std::unique_ptr<Plan>> plans;
    thread_local const ClassInfo* lastInfo = nullptr;
    thread_local const Plan* lastPlan = nullptr;
    if (lastInfo == &info) return *lastPlan;
    std::lock_guard<std::mutex> hold(lock);
    auto& slot = plans[&info];
    if (!slot) slot = BuildPlan(info);
    lastInfo = &info;
    lastPlan = slot.get();
    return *slot;
}

const Plan& P(const void* plan) { return *static_cast<const Plan*>(plan); }

// The members' block. The aligned forms of new go through a much slower allocator path, so
// they serve only alignments beyond what plain new gives anyway.
std::byte* NewBlock(size_t bytes, size_t align) {
    if (align <= __STDCPP_DEFAULT_NEW_ALIGNMENT__) return static_cast<std::byte*>(::operator new(bytes));
    return static_cast<std::byte*>(::operator new(bytes, std::align_val_t(align)));
}

void DeleteBlock(std::byte* block, size_t align) {
    if (align <= __STDCPP_DEFAULT_NEW_ALIGNMENT__) {
        ::operator delete(block);
    } else {
        ::operator delete(block, std::align_val_t(align));
    }
}

// Each thread keeps the last member block it released: a thread that decodes or builds one
// message after another then takes its block back without a trip through the allocator,
// which for blocks of this size costs as much as building a small message. One block of at
// most kMaxSpareBytes per thread, freed when the thread ends.
constexpr size_t kMaxSpareBytes = 64 * 1024;

struct Spare {
    std::byte* block;
    size_t bytes;
    size_t align;
    bool closed;  // the thread is ending: release straight away
};
// Trivially destructible, so it stays usable while other thread-local objects go away.
thread_local Spare tSpare{nullptr, 0, 0, false};

struct SpareReaper {
    ~SpareReaper() {
        if (tSpare.block != nullptr) DeleteBlock(tSpare.block, tSpare.align);
        tSpare = Spare{nullptr, 0, 0, true};
    }
};

std::byte* AllocateStorage(size_t bytes, size_t align) {
    if (tSpare.block != nullptr && tSpare.bytes == bytes && tSpare.align == align) {
        std::byte* block = tSpare.block;
        tSpare.block = nullptr;
        ASAN_UNPOISON_MEMORY_REGION(block, bytes);
        return block;
    }
    return NewBlock(bytes, align);
}

void ReleaseStorage(std::byte* storage, size_t bytes, size_t align) {
    if (tSpare.block != nullptr || tSpare.closed || bytes > kMaxSpareBytes) {
        DeleteBlock(storage, align);
        return;
    }
    static thread_local SpareReaper reaper;  // registers the release at thread end
    (void)reaper;
    // Under the address sanitizer a kept block stays unreadable until it is handed out again,
    // so a use after the message's end is still caught.
    ASAN_POISON_MEMORY_REGION(storage, bytes);
    tSpare = Spare{storage, bytes, align, false};
}

BaseElement* At(std::byte* storage, const PlanMember& m, uint32_t entry) {
    return reinterpret_cast<BaseElement*>(storage + m.offset +
                                          static_cast<size_t>(entry) * m.maker->size + m.baseDelta);
}

bool Traced(catalog::Trace trace, bool eccTraced, bool cvTraced) {
    switch (trace) {
        case catalog::Trace::Never:
            return false;
        case catalog::Trace::CvFlag:
            return cvTraced;
        case catalog::Trace::EccFlag:
            return eccTraced;
        default:
            return true;
    }
}

}  // namespace

CatalogMSG::CatalogMSG(const catalog::ClassInfo& info, bool eccTraced, bool cvTraced)
    : BaseMSG(info.version), m_Info(info) {
    const Plan& plan = PlanOf(info);
    m_Plan = &plan;
    m_Storage = AllocateStorage(plan.bytes, plan.align);
    for (const PlanMember& m : plan.members) {
        bool traced = Traced(m.trace, eccTraced, cvTraced);
        for (uint32_t e = 0; e < m.count; ++e) {
            m.maker->make(m_Storage + m.offset + static_cast<size_t>(e) * m.maker->size,
                          m.required, traced);
        }
    }
    m_MsgType = info.type;
    BaseElement* prev = nullptr;
    const PlanMember* prevMember = nullptr;
    for (const ChainStep& step : plan.chain) {
        const PlanMember& m = plan.members[step.member];
        BaseElement* e = At(m_Storage, m, step.entry);
        e->SetOccurrence(step.entry);
        if (step.version > e->GetFromVersion()) e->SetFromVersion(step.version);
        if (prev == nullptr) {
            m_Chain = e;
        } else if (prevMember->maker->reMask) {
            static_cast<REMaskArray*>(prev)->SetNext(e);
        } else {
            prev->SetNext(e);
        }
        prev = e;
        prevMember = &m;
    }
    if (prev != nullptr) {
        if (prevMember->maker->reMask) {
            static_cast<REMaskArray*>(prev)->SetNext(nullptr);
        } else {
            prev->SetNext(nullptr);
        }
    }
    m_Hints[0] = m_Chain;
}

CatalogMSG::~CatalogMSG() {
    const Plan& plan = P(m_Plan);
    for (auto m = plan.members.rbegin(); m != plan.members.rend(); ++m) {
        for (uint32_t e = m->count; e-- > 0;) {
            m->maker->destroy(m_Storage + m->offset + static_cast<size_t>(e) * m->maker->size);
        }
    }
    ReleaseStorage(m_Storage, plan.bytes, plan.align);
}

BaseElement* CatalogMSG::FindInChain(uint32_t elementId, uint32_t occurrence) const {
    const Plan& plan = P(m_Plan);
    if (elementId >= kElementIdCount) return nullptr;
    int32_t m = plan.memberOfId[elementId];
    if (m >= 0) {
        const PlanMember& member = plan.members[static_cast<size_t>(m)];
        // A single member answers occurrence 0 only; an array entry e is occurrence e.
        if (occurrence < member.count) {
            return At(m_Storage, member, occurrence);
        }
    }
    if (!plan.walk[elementId]) return nullptr;
    return BaseMSG::FindInChain(elementId, occurrence);
}

const std::vector<catalog::RecordList>& CatalogMSG::RecordLists() const { return P(m_Plan).lists; }

BaseElement* CatalogMSG::Entry(uint32_t elementId, uint32_t index) const {
    const Plan& plan = P(m_Plan);
    if (elementId >= kElementIdCount || plan.memberOfId[elementId] < 0) return nullptr;
    const PlanMember& m = plan.members[static_cast<size_t>(plan.memberOfId[elementId])];
    return index < m.count ? At(m_Storage, m, index) : nullptr;
}

uint32_t CatalogMSG::EntryCount(uint32_t elementId) const {
    const Plan& plan = P(m_Plan);
    if (elementId >= kElementIdCount || plan.memberOfId[elementId] < 0) return 0;
    return plan.members[static_cast<size_t>(plan.memberOfId[elementId])].count;
}

int CatalogMSG::MaxEncodedSize(uint32_t version) const {
    if (m_Info.size == catalog::Size::PresentFields) {
        // The agent-service records always count 4-byte field headers.
        return PresentEncodedSize(version, m_Info.type == CONFIG_AGENT_SERVICE_EVENT);
    }
    return BaseMSG::MaxEncodedSize(version);
}

// ---- validation overrides ----

namespace {

bool IsPresent(BaseMSG& msg, uint32_t id) {
    BaseElement* e = msg.FindElement(id, 0, false);
    return e != nullptr && e->IsPresent();
}

}  // namespace

// A number field's value, 0 when absent or not in the class.
uint32_t CatalogMSG::NumberOr0(uint32_t elementId) {
    const Plan& plan = P(m_Plan);
    if (elementId >= kElementIdCount || plan.memberOfId[elementId] < 0) return 0;
    const PlanMember& m = plan.members[static_cast<size_t>(plan.memberOfId[elementId])];
    BaseElement* e = At(m_Storage, m, 0);
    if (!e->IsPresent()) return 0;
    switch (m.kind) {
        case NumKind::U32:
            return static_cast<NumberElement<uint32_t, 4>*>(e)->Get();
        case NumKind::I32:
            return static_cast<uint32_t>(static_cast<NumberElement<int32_t, 4>*>(e)->Get());
        case NumKind::U16:
            return static_cast<NumberElement<uint16_t, 2>*>(e)->Get();
        case NumKind::U8:
            return static_cast<NumberElement<uint8_t, 1>*>(e)->Get();
        default:
            return 0;
    }
}

int CatalogMSG::OpenServiceRule() {
    constexpr uint32_t kVersionNumber = elementid::VersionNumber, kServiceMask = elementid::ServiceMask;
    uint32_t mask = NumberOr0(kServiceMask);
    if ((mask & servicemask::OpenForbiddenBits(NumberOr0(kVersionNumber))) != 0) {
        SetFailure(E_CTI_INVALID_SERVICE_MASK, kServiceMask, 0);
        return E_CTI_INVALID_SERVICE_MASK;
    }
    if ((mask & servicemask::CLIENT_EVENTS) != 0 && !IsPresent(*this, elementid::AgentExtension) &&
        !IsPresent(*this, elementid::AgentID) && !IsPresent(*this, elementid::AgentID_Long) &&
        !IsPresent(*this, elementid::AgentInstrument)) {
        SetFailure(E_CTI_REQUIRED_DATA_MISSING, elementid::AgentID, 0);
        return E_CTI_REQUIRED_DATA_MISSING;
    }
    return 0;
}

int CatalogMSG::AgentIdentityRule(uint32_t version) {
    if (version >= 6 &&
        (IsPresent(*this, elementid::AgentExtension) || IsPresent(*this, elementid::AgentID)))
        return 0;
    if (IsPresent(*this, elementid::AgentInstrument)) return 0;
    SetFailure(E_CTI_REQUIRED_DATA_MISSING, elementid::AgentInstrument, 0);
    return E_CTI_REQUIRED_DATA_MISSING;
}

int CatalogMSG::MonitorTargetRule() {
    constexpr uint32_t kConnType = elementid::ConnectionDeviceIDType,
                       kMonType = elementid::MonitoredDeviceType,
                       kConnCallId = elementid::ConnectionCallID,
                       kConnDevice = elementid::ConnectionDeviceID,
                       kMonDevice = elementid::MonitoredDeviceID;
    constexpr uint32_t kNone = 0xFFFF;
    uint32_t connType = NumberOr0(kConnType) & 0xFFFF;
    uint32_t monType = NumberOr0(kMonType) & 0xFFFF;
    if (connType < kNone && monType < kNone) {
        SetFailure(E_CTI_MUTUALLY_EXCLUS_DEVICEID_TYPES, kConnType, 0);
        return E_CTI_MUTUALLY_EXCLUS_DEVICEID_TYPES;
    }
    if (connType < kNone) {
        if (IsPresent(*this, kConnCallId) && IsPresent(*this, kConnType) &&
            IsPresent(*this, kConnDevice))
            return 0;
        SetFailure(E_CTI_REQUIRED_DATA_MISSING, kConnCallId, 0);
        return E_CTI_REQUIRED_DATA_MISSING;
    }
    if (monType < kNone) {
        BaseElement* device = FindElement(kMonDevice, 0, false);
        auto* text = dynamic_cast<STRINGElement*>(device);
        if (device != nullptr && device->IsPresent() && IsPresent(*this, kMonType) &&
            (text == nullptr || !text->Get().empty()))
            return 0;
        SetFailure(E_CTI_REQUIRED_DATA_MISSING, kMonDevice, 0);
        return E_CTI_REQUIRED_DATA_MISSING;
    }
    SetFailure(E_CTI_REQUIRED_DATA_MISSING, kConnType, 0);
    return E_CTI_REQUIRED_DATA_MISSING;
}

int CatalogMSG::TerminationRule() {
    for (uint32_t id : {elementid::TimeZone, elementid::CallDisposition, elementid::Duration}) {
        if (!IsPresent(*this, id)) {
            SetFailure(E_CTI_REQUIRED_DATA_MISSING, id, 0);
            return E_CTI_REQUIRED_DATA_MISSING;
        }
    }
    return 0;
}

int CatalogMSG::EccCountRule(uint32_t version, bool toSend) {
    if (version < 6) return 0;
    constexpr uint32_t kNumVariables = elementid::NumNamedVariables,
                       kNumArrays = elementid::NumNamedArrays, kECC = elementid::ExpandedCallContxt;
    int scalars = 0, arrays = 0, replacedScalars = 0, replacedArrays = 0;
    if (const auto* ecc = dynamic_cast<const ECCElement*>(FindElement(kECC, 0, false))) {
        ecc->GetCounts(scalars, arrays, replacedScalars, replacedArrays, nullptr);
    }
    if (toSend) replacedScalars = replacedArrays = 0;
    auto same = [](int held, uint32_t expected) {
        return static_cast<uint16_t>(held) == static_cast<uint16_t>(expected);
    };
    if (!same(scalars + replacedScalars, NumberOr0(kNumVariables))) {
        SetFailure(E_CTI_INVALID_NUM_NAMED_VARIABLES, kNumVariables, 0);
        return E_CTI_INVALID_NUM_NAMED_VARIABLES;
    }
    if (!same(arrays + replacedArrays, NumberOr0(kNumArrays))) {
        SetFailure(E_CTI_INVALID_NUM_NAMED_ARRAYS, kNumArrays, 0);
        return E_CTI_INVALID_NUM_NAMED_ARRAYS;
    }
    return 0;
}

int CatalogMSG::Rule(uint32_t version, bool toSend) {
    switch (m_Info.check) {
        case catalog::Check::OpenService:
            return OpenServiceRule();
        case catalog::Check::EccCount:
            return EccCountRule(version, toSend);
        case catalog::Check::AgentIdentity:
            return AgentIdentityRule(version);
        case catalog::Check::MonitorTarget:
            return MonitorTargetRule();
        case catalog::Check::Termination:
            return TerminationRule();
        default:
            return 0;
    }
}

int CatalogMSG::Validate(uint32_t version) {
    int rc = ValidateWalk(version, Check::Plain);
    if (rc == 0 && m_Info.check != catalog::Check::None) {
        rc = Rule(version, false);
        SetValidFromStatus();
    }
    return rc;
}

int CatalogMSG::ValidateReceived(uint32_t version) {
    if (m_Info.check == catalog::Check::None || m_Info.check == catalog::Check::Termination) {
        return ValidateWalk(version, Check::Received);
    }
    return Validate(version);
}

int CatalogMSG::ValidateToSend(uint32_t version) {
    switch (m_Info.check) {
        case catalog::Check::None:
        case catalog::Check::Termination:
            return ValidateWalk(version, Check::ToSend);
        case catalog::Check::EccCount: {
            int rc = ValidateWalk(version, Check::ToSend);
            if (rc == 0) {
                rc = Rule(version, true);
                SetValidFromStatus();
            }
            return rc;
        }
        default:
            return Validate(version);
    }
}
