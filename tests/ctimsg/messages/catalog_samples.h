#pragma once
// Fills every field of a catalogue message with a valid sample value for one protocol
// version: numbers and texts derived from the element id and occurrence (so a field that lands
// in the wrong place shows), values inside each field's own rule, configuration record lists
// with counts that agree with their entries, and the call-context counts taken from the
// context. Used by the round-trip table and to write fuzz seeds.
#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "ctimsg/elementdict.h"
#include "ctimsg/messages/catalog_helpers.h"
#include "ctimsg/messages/messages.h"

namespace catalogtest {

constexpr uint32_t kNumSkillGroups = 57;
constexpr uint32_t kMonitoredDeviceType = 88;
constexpr uint32_t kNumRecords = 379;
constexpr uint32_t kFltSkillGroupNumber = 481;
constexpr uint32_t kFirstREMaskMember = 650;
constexpr uint32_t kLastREMaskMember = 655;

inline uint32_t Seed(uint32_t id, uint32_t occurrence) { return id * 31 + occurrence * 7 + 1; }

// Used slots of record r in a list of `slots` slots: 1, 2 or 3.
inline uint32_t UsedSlots(uint32_t record, uint32_t slots) {
    uint32_t n = 1 + record % 3;
    return n < slots ? n : slots;
}

// Sets a number element to the first candidate its own check accepts.
template <typename T, uint32_t W>
void FillNumber(NumberElement<T, W>* e, uint32_t version) {
    const uint32_t id = e->GetElementID();
    const uint32_t seed = Seed(id, e->GetOccurrence());
    std::vector<uint32_t> candidates;
    if (id == 2) candidates.push_back(version);                  // VersionNumber
    if (id == 5) candidates.push_back(0x2);                      // ServiceMask
    if (id == 6) candidates.push_back(0x1);                      // CallMsgMask
    if (id == 363) candidates.push_back(version < 9 ? 0 : 0x1);  // TaskMsgMask
    if (const elementdict::Row* row = elementdict::FindRow(id)) {
        const elementdict::Check& c = row->check;
        if (c.kind == elementdict::CheckKind::Range || c.kind == elementdict::CheckKind::RangeOrNone) {
            candidates.push_back(c.lo + seed % (c.hi - c.lo + 1));
        } else if (c.kind == elementdict::CheckKind::EventCause) {
            candidates.push_back(1 + seed % 61);
        }
    }
    if constexpr (W == 1) {
        candidates.push_back(1 + seed % 200);
    } else if constexpr (W == 2) {
        candidates.push_back(seed % 60000);
    } else {
        candidates.push_back(seed * 1009u);
    }
    for (uint32_t c : {70 + seed % 10, 1u, 0u, 0xFFFFu}) candidates.push_back(c);
    for (uint32_t c : candidates) {
        e->Set(static_cast<T>(c));
        if (e->Validate(version) == 0 && e->ValidateToSend(version) == 0) return;
    }
}

// One entry; RoundTrip.REMaskEntriesAtVersions16And24 takes several.
inline void FillREMask(REMaskArray* masks) {
    for (uint32_t k = 0; k < 1; ++k) {
        REMaskEntry* entry = masks->AddREMask();
        entry->Set("inst" + std::to_string(k), "ext" + std::to_string(k), 900 + k);
        entry->m_FunctionFlags.SetBits8(static_cast<uint8_t>(1 + k));
        entry->m_CallMask.SetBits32(0x00010003u << k);
        entry->m_AgentMask.SetBits8(0x4);
    }
}

inline void FillContext(ECCElement* ecc, uint32_t seed) {
    ecc->Set("user.scalar", "s" + std::to_string(seed));
    ecc->Set("user.other", "o");
    ecc->Set("user.array", 0, "a0");
    ecc->Set("user.array", 3, "a3");
}

// Fills one element; false when its kind is not known here.
inline bool FillElement(BaseElement* e, uint32_t version) {
    const uint32_t id = e->GetElementID();
    const uint32_t seed = Seed(id, e->GetOccurrence());
    if (auto* masks = dynamic_cast<REMaskArray*>(e)) {
        FillREMask(masks);
    } else if (auto* ecc = dynamic_cast<ECCElement*>(e)) {
        FillContext(ecc, seed);
    } else if (auto* task = dynamic_cast<TaskIDType*>(e)) {
        task->Set(seed, seed + 1, seed + 2);
    } else if (auto* data = dynamic_cast<DataStructureField*>(e)) {
        const uint8_t bytes[] = {static_cast<uint8_t>(seed), 0, 0x7F};
        data->Set(bytes, 3);
    } else if (auto* raw = dynamic_cast<UNSPECElement*>(e)) {
        // A fixed-part raw field is exactly its width.
        int n = e->IsFloating() ? std::min<int>(5, static_cast<int>(e->GetMaxBytes()))
                                : static_cast<int>(e->GetMaxBytes());
        std::vector<uint8_t> bytes(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(seed + i);
        raw->Set(bytes.data(), n);
    } else if (auto* text = dynamic_cast<STRINGElement*>(e)) {
        // Digits pass every text rule of the dictionary.
        std::string s = std::to_string(seed);
        size_t room = e->GetMaxBytes() > 1 ? e->GetMaxBytes() - 1 : 0;
        text->Set(s.substr(0, std::min<size_t>(room, 6)));
    } else if (auto* u32 = dynamic_cast<NumberElement<uint32_t, 4>*>(e)) {
        FillNumber(u32, version);
    } else if (auto* i32 = dynamic_cast<NumberElement<int32_t, 4>*>(e)) {
        FillNumber(i32, version);
    } else if (auto* u16 = dynamic_cast<NumberElement<uint16_t, 2>*>(e)) {
        FillNumber(u16, version);
    } else if (auto* u8 = dynamic_cast<NumberElement<uint8_t, 1>*>(e)) {
        FillNumber(u8, version);
    } else {
        return false;
    }
    return true;
}

struct FillResult {
    std::vector<uint32_t> unknown;  // fields of a kind not known here
    // Floating fields that the version has but whose tag is above the version's highest tag,
    // so that no frame of the version can carry them: left absent.
    std::vector<uint32_t> beyondTagLimit;
};

inline bool TagBeyondLimit(uint32_t id, uint32_t version) {
    const elementdict::Row* row = elementdict::FindRow(id);
    return row != nullptr && row->tag > GetVersionLimits(version).maxTag;
}

// Fills every field of msg for the version.
inline FillResult Fill(BaseMSG& msg, uint32_t version) {
    FillResult result;
    std::map<uint32_t, uint32_t> listSlots;  // list member id -> slots per record
    std::map<uint32_t, uint32_t> countSlots;  // count id -> slots per record
    bool recordMessage = false;
    if (auto* cm = dynamic_cast<CatalogMSG*>(&msg)) {
        for (const catalog::RecordList& list : cm->RecordLists()) {
            for (uint32_t id : list.memberIds) listSlots[id] = list.slots;
            countSlots[list.countElementId] = list.slots;
            recordMessage = true;
        }
    }
    uint32_t skillEntries = 0;
    for (BaseElement* e = msg.GetFirstElement(); e != nullptr; e = e->GetNext()) {
        const uint32_t id = e->GetElementID();
        const uint32_t occ = e->GetOccurrence();
        if (id >= kFirstREMaskMember && id <= kLastREMaskMember) continue;  // the REMask's own
        if (auto it = listSlots.find(id); it != listSlots.end()) {
            const uint32_t slots = it->second;
            if (occ % slots >= UsedSlots(occ / slots, slots)) continue;
        }
        if (auto it = countSlots.find(id); it != countSlots.end()) {
            if (auto* n = dynamic_cast<NumberElement<uint16_t, 2>*>(e)) {
                n->Set(static_cast<uint16_t>(UsedSlots(occ, it->second)));
                continue;
            }
        }
        if (recordMessage && id == kNumRecords) {
            dynamic_cast<NumberElement<uint16_t, 2>*>(e)->Set(10);
            continue;
        }
        if (e->IsFloating() && e->GetFromVersion() <= version && TagBeyondLimit(id, version)) {
            result.beyondTagLimit.push_back(id);
            continue;
        }
        if (!FillElement(e, version)) result.unknown.push_back(id);
        if (id == kFltSkillGroupNumber && e->GetFromVersion() <= version) ++skillEntries;
    }
    // The skill-group count says how many records go on the wire, within the version's
    // clamp, so that the number written is the number held.
    if (auto* n = dynamic_cast<NumberElement<uint16_t, 2>*>(msg.FindElement(kNumSkillGroups, 0, false))) {
        uint32_t limit = version < 5 ? 10 : (version <= 12 ? 20 : 99);
        n->Set(static_cast<uint16_t>(std::min(skillEntries, limit)));
    }
    // A monitor request names either a connection or a device: the device side goes unused.
    if (auto* cm = dynamic_cast<CatalogMSG*>(&msg); cm != nullptr && cm->Info().check == catalog::Check::MonitorTarget) {
        msg.SetUSHORT(kMonitoredDeviceType, 0xFFFF);
    }
    SetECCCounts(msg);
    return result;
}

}  // namespace catalogtest
