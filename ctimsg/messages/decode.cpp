// The frame decoder: header checks against the version's limits, the type-to-class factory,
// the fixed and floating parts, the realignment of configuration record lists, and the
// received-side validation. No byte of the frame is read past the body's length.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "ctimsg/basemsg.h"
#include "ctimsg/messages/msgclass.h"
#include "ctimsg/msgtypes.h"
#include "ctimsg/names.h"
#include "ctimsg/statuscodes.h"
#include "ctimsg/validatecounts.h"
#include "nuvlib/ems.h"
#include "platform/byteorder.h"

namespace {

struct DecodePass {};
constexpr uint32_t kExpandedCallContext = elementid::ExpandedCallContxt;
constexpr uint32_t kNumRecords = elementid::NumRecords;

uint32_t PresentNumber(const BaseElement* e) {
    uint32_t v = 0;
    if (e != nullptr && e->IsPresent()) ReadNumberValue(e, v);
    return v;
}

// Moves one record entry's value: 0 or an empty text when the source never arrived. The
// target is marked present even where it is its own source, so every record comes out alike.
void MoveValue(BaseElement* from, BaseElement* to) {
    if (auto* text = dynamic_cast<STRINGElement*>(to)) {
        auto* src = dynamic_cast<STRINGElement*>(from);
        std::string value = src != nullptr && src->IsPresent() ? src->Get() : std::string();
        text->Set(value);
        return;
    }
    WriteNumberValue(to, PresentNumber(from));
}

[[noreturn]] void AllocationFailed(int line) {
    EMSFailMessage("Memory allocation of %d bytes failed:  File: %s.  Line %d\n",
                   static_cast<int>(sizeof(CatalogMSG)), "CTIMsg", line);
}

BaseMSGPtr Create(uint32_t type, bool older) {
    try {
        return catalog::CreateMessage(type, older);
    } catch (const std::bad_alloc&) {
        AllocationFailed(__LINE__);
    }
}

}  // namespace

REMaskArray* BaseMSG::FindREMaskArray() const {
    return dynamic_cast<REMaskArray*>(FindInChain(elementid::REMaskArray, 0));
}

bool BaseMSG::DecodeFixed(const uint8_t*& pos, int& remaining, uint32_t version) {
    for (BaseElement* e = m_Chain; e != nullptr && !e->IsFloating(); e = e->GetNext()) {
        if (e->GetFromVersion() > version) continue;
        int n = e->Decode(pos, -1, remaining, version);
        if (n < 0 || n > remaining) {
            SetFailure(E_CTI_INVALID_MESSAGE_LENGTH, e->GetElementID(), 0);
            return false;
        }
        pos += n;
        remaining -= n;
    }
    return true;
}

namespace {

// The header of the floating field at `pos` (at least 2 bytes left): its tag, its value's
// length and its own size. False when the `remaining` bytes cannot hold it.
bool ReadFieldHeader(const uint8_t* pos, int remaining, uint32_t version, uint32_t& tag, int& length,
                     int& header) {
    if (version >= 20) {
        if (remaining < 4) return false;
        tag = plat::LoadBE16(pos);
        length = plat::LoadBE16(pos + 2);
        header = 4;
    } else if (pos[0] == DATA_STRUCTURE_TAG) {
        if (remaining < 3) return false;
        tag = pos[0];
        length = plat::LoadBE16(pos + 1);
        header = 3;
    } else {
        tag = pos[0];
        length = pos[1];
        header = 2;
    }
    return true;
}

}  // namespace

void BaseMSG::DecodeFloating(const uint8_t*& pos, int& remaining, uint32_t version) {
    const uint32_t maxTag = GetVersionLimits(version).maxTag;
    OccurrenceCounts<DecodePass> counts;
    uint32_t previousTag = 0;
    uint32_t previousOccurrence = 0;
    REMaskArray* masks = nullptr;  // looked up at the first REMask member field
    BaseElement* context = nullptr;  // the call context, looked up at its first variable
    while (remaining >= 2) {
        uint32_t tag;
        int length;
        int header;
        // A header with fewer bytes left than it needs would read past the frame.
        if (!ReadFieldHeader(pos, remaining, version, tag, length, header)) {
            SetFailure(E_CTI_INVALID_MESSAGE_LENGTH, 0, 0);
            return;
        }
        pos += header;
        remaining -= header;

        if (tag == 0 || tag > maxTag) {
            if (previousTag == 0) {
                EMSTraceMessage("Invalid floating field tag %d (0x%x) in message", tag, tag);
            } else {
                EMSTraceMessage("Invalid floating field tag %d (0x%x) following %s[%d] field in message",
                                tag, tag, TagName(static_cast<int32_t>(previousTag)),
                                previousOccurrence);
            }
            m_Status = E_CTI_INVALID_FIELD_TAG;
            return;
        }

        uint32_t id = TagElement(static_cast<int32_t>(tag));
        const bool known = id < OccurrenceCounts<DecodePass>::kIdCount;
        const uint32_t occurrence = id == kExpandedCallContext ? 0 : counts.Get(id);
        BaseElement* e = nullptr;
        if (known && id != 0 && REMaskEntry::IsMemberId(id) &&
            (masks != nullptr || (masks = FindREMaskArray()) != nullptr)) {
            // Every entry's members carry occurrence 0, so the n-th arrival of a member tag
            // fills entry n: the frames this server sends with several entries decode again.
            // An eleventh finds no entry.
            e = occurrence < static_cast<uint32_t>(MAX_REMASK_NUM_MASKS)
                    ? masks->Entry(static_cast<int>(occurrence)).Member(id)
                    : nullptr;
        } else if (id == kExpandedCallContext && context != nullptr) {
            // One field per variable: the context found for the first serves them all.
            e = context;
        } else if (known && id != 0) {
            e = FindElement(id, occurrence, true);
            if (id == kExpandedCallContext) context = e;
        }
        int skip = std::min(length, remaining);
        if (e == nullptr) {
            SetFailure(E_CTI_INVALID_TAG_FOR_MSG_TYPE, id, occurrence);
        } else if (e->GetFromVersion() > version) {
            SetFailure(E_CTI_INVALID_TAG_FOR_VERSION, id, occurrence);
        } else if (e->IsPresent() && id != kExpandedCallContext) {
            SetFailure(E_CTI_BAD_MESSAGE_FORMAT, id, occurrence);
        } else {
            int n = e->Decode(pos, length, remaining, version);
            if (n < 0 || n > remaining) {
                SetFailure(E_CTI_INVALID_FIELD_LENGTH, id, occurrence);
            } else {
                skip = n;
            }
            if (id != kExpandedCallContext) counts.Add(id);
        }
        pos += skip;
        remaining -= skip;
        previousTag = tag;
        previousOccurrence = occurrence;
    }
}

namespace {

// Moves the packed entries of each record list into their records' own slots. Entries that
// never arrived come out as 0 (or the empty text), and whatever stands in a record's slots
// beyond its count is cleared, so arrived entries and counts need not agree. Every count comes
// from the peer: only counts that would reach past what the class holds are refused, with 25
// naming the count (more records than count fields, a count above the list's slots, counts
// adding up to more entries than the list has).
bool AlignList(CatalogMSG& msg, const catalog::RecordList& list, uint32_t& badElement,
               uint32_t& badOccurrence) {
    const uint32_t S = list.slots;
    const uint32_t records = PresentNumber(msg.Entry(kNumRecords, 0));
    if (records > list.records || records > msg.EntryCount(list.countElementId)) {
        badElement = kNumRecords;
        badOccurrence = 0;
        return false;
    }
    std::vector<uint32_t> used(records);
    uint32_t total = 0;
    for (uint32_t r = 0; r < records; ++r) {
        used[r] = PresentNumber(msg.Entry(list.countElementId, r));
        if (used[r] > S) {
            badElement = list.countElementId;
            badOccurrence = r;
            return false;
        }
        total += used[r];
    }
    for (uint32_t id : list.memberIds) {
        if (msg.EntryCount(id) < records * S) {
            badElement = id;
            badOccurrence = msg.EntryCount(id);
            return false;
        }
    }
    // Backwards, so that no entry is overwritten before it has been moved: the target
    // r * S + j is never below its source k.
    for (uint32_t id : list.memberIds) {
        uint32_t k = total;
        for (uint32_t r = records; r-- > 0;) {
            for (uint32_t j = used[r]; j-- > 0;) {
                --k;
                MoveValue(msg.Entry(id, k), msg.Entry(id, r * S + j));
            }
        }
        for (uint32_t r = 0; r < records; ++r) {
            for (uint32_t j = used[r]; j < S; ++j) msg.Entry(id, r * S + j)->Clear();
        }
    }
    return true;
}

// Every message the factory builds is a catalogue class.
void AlignRecords(BaseMSG& base) {
    auto* msg = static_cast<CatalogMSG*>(&base);
    if (msg->RecordLists().empty()) return;
    for (const catalog::RecordList& list : msg->RecordLists()) {
        uint32_t element = 0, occurrence = 0;
        if (!AlignList(*msg, list, element, occurrence)) {
            EMSTraceMessage("BaseMSG::Decode - %s record counts do not match the entries of %s[%d]",
                            MsgTypeName(static_cast<int32_t>(base.GetMsgType())),
                            ElementName(static_cast<int32_t>(element)), occurrence);
            // A field that already failed stays the one reported; the lists stay as they came.
            if (msg->GetStatus() == 0) {
                msg->FailAlignment(E_CTI_BAD_MESSAGE_FORMAT, element, occurrence);
            }
            return;
        }
    }
}

}  // namespace

namespace {

// The element ids of the members that never show in a trace, from the catalogue's rows.
const std::vector<bool>& SecretElements() {
    static const std::vector<bool> secret = [] {
        std::vector<bool> ids(elementdict::kElementIdCount, false);
        for (const catalog::MessageRow& message : catalog::MessageRows())
            for (const catalog::MemberRow& row : catalog::MemberRows(message))
                if (row.kind == catalog::MemberKind::Field && row.trace == catalog::Trace::Never)
                    ids.at(row.element) = true;
        return ids;
    }();
    return secret;
}

}  // namespace

void BaseMSG::BlankSecretFields(uint8_t* frame, int length, uint32_t version) {
    if (frame == nullptr || length < CTI_HEADER_SIZE) return;
    const uint32_t type = plat::LoadBE32(frame + 4);
    if (type < 1 || type > static_cast<uint32_t>(catalog::kMaxType) ||
        catalog::GetTypeRow(type).kind != catalog::TypeKind::Implemented)
        return;
    BaseMSGPtr layout = Create(type, false);
    if (layout == nullptr) return;
    // The fixed part holds numbers of fixed widths only; the floating fields follow it.
    int remaining = std::min(static_cast<int>(std::min<uint32_t>(plat::LoadBE32(frame), INT32_MAX)),
                             length - CTI_HEADER_SIZE);
    uint8_t* pos = frame + CTI_HEADER_SIZE;
    for (const BaseElement* e = layout->m_Chain; e != nullptr && !e->IsFloating(); e = e->GetNext()) {
        if (e->GetFromVersion() > version) continue;
        if (e->MaxLength() > remaining) return;
        pos += e->MaxLength();
        remaining -= e->MaxLength();
    }
    const std::vector<bool>& secret = SecretElements();
    while (remaining >= 2) {
        uint32_t tag;
        int valueLength;
        int header;
        if (!ReadFieldHeader(pos, remaining, version, tag, valueLength, header)) return;
        pos += header;
        remaining -= header;
        const int value = std::min(valueLength, remaining);
        const uint32_t id = TagElement(static_cast<int32_t>(tag));
        if (id < secret.size() && secret[id]) std::memset(pos, 0, static_cast<size_t>(value));
        pos += value;
        remaining -= value;
    }
}

BaseMSGPtr BaseMSG::Decode(const uint8_t* frame, int available, uint32_t version) {
    if (frame == nullptr || available < CTI_HEADER_SIZE) {
        EMSTraceMessage("BaseMSG::Decode - No room for %d byte message header, %d bytes left.",
                        CTI_HEADER_SIZE, frame == nullptr ? 0 : available);
        return nullptr;
    }
    const CTIVersionLimits& limits = GetVersionLimits(version);
    const int32_t length = static_cast<int32_t>(plat::LoadBE32(frame));
    const uint32_t type = plat::LoadBE32(frame + 4);
    const int maxLength = static_cast<int>(limits.maxFrameBytes) - CTI_HEADER_SIZE;
    if (length < 0 || length > maxLength) {
        EMSTraceMessage("BaseMSG::Decode - Invalid message length of %d, maximum:%d", length,
                        maxLength);
        return nullptr;
    }
    if (length > available - CTI_HEADER_SIZE) {
        EMSTraceMessage("BaseMSG::Decode - Message length of %d exceeds buffer size (%d)", length,
                        available - CTI_HEADER_SIZE);
        return nullptr;
    }
    if (type < 1 || type > limits.maxMsgType) {
        EMSTraceMessage("BaseMSG::Decode - Invalid version %d message type %d", version,
                        static_cast<int32_t>(type));
        return nullptr;
    }
    const catalog::TypeRow& row = catalog::GetTypeRow(type);
    if (row.kind == catalog::TypeKind::NotImplemented) {
        EMSTraceMessage("BaseMSG::Decode - Message type %d (%s) not yet implemented",
                        static_cast<int32_t>(type), MsgTypeName(static_cast<int32_t>(type)));
        return nullptr;
    }
    if (row.kind != catalog::TypeKind::Implemented) {
        EMSTraceMessage("BaseMSG::Decode - Invalid message type %d", static_cast<int32_t>(type));
        return nullptr;
    }
    BaseMSGPtr msg = Create(type, false);
    if (msg == nullptr) {
        EMSTraceMessage("BaseMSG::Decode - Invalid message type %d", static_cast<int32_t>(type));
        return nullptr;
    }

    const uint8_t* const body = frame + CTI_HEADER_SIZE;
    const uint8_t* pos = body;
    int remaining = length;
    if (!msg->DecodeFixed(pos, remaining, version)) return msg;

    if (type == SEND_DTMF_SIGNAL_REQ && remaining >= 2 && pos - body >= 2) {
        const uint32_t firstTag = version >= 20 ? plat::LoadBE16(pos) : pos[0];
        if (firstTag != CONNECTION_DEVID_TAG && pos[-2] == CONNECTION_DEVID_TAG) {
            // The older layout: its 2-byte field stands where the current one has 4 bytes.
            BaseMSGPtr older = Create(type, true);
            const uint8_t* olderPos = body;
            int olderRemaining = length;
            if (older == nullptr) return nullptr;
            if (!older->DecodeFixed(olderPos, olderRemaining, version)) return older;
            for (uint32_t id : {elementid::InvokeID, elementid::CTIPeripheralID,
                                elementid::ConnectionCallID, elementid::ConnectionDeviceIDType,
                                elementid::ToneDuration}) {
                WriteNumberValue(msg->FindElement(id, 0, false), PresentNumber(older->FindElement(id, 0, false)));
            }
            WriteNumberValue(msg->FindElement(elementid::PauseDuration, 0, false),
                             PresentNumber(older->FindElement(elementid::CallMannerType, 0, false)));
            older.reset();
            pos -= 2;
            remaining += 2;
        }
    }

    msg->DecodeFloating(pos, remaining, version);
    AlignRecords(*msg);
    if (msg->m_Status == 0 && remaining != 0) {
        msg->SetFailure(E_CTI_INVALID_MESSAGE_LENGTH, 0, 0);
    }
    if (msg->m_Status == 0) msg->ValidateReceived(version);
    return msg;
}
