#pragma once
// What the configuration tables share: the bounded reader of OPC's record bytes, the
// deterministic map, and the table engine (parse, apply or defer, flush, push, page) that
// each table class drives with its own record type.
//
// Locks: a table's map and deferred list belong to the server lock "RTServerConfig".
// Process and ApplyDeferred take it when the calling thread does not hold it; Apply, the
// pushes and CopyList expect it held. Records handed out as copies are the caller's.
//
// Map order, which answers and look-ups such as SkillGroupConfig::FindSkillTargetID follow:
// buckets 0 .. n-1, and inside a bucket the order of insertion (new keys go to the tail).
// A key's bucket is its low 32 bits, unsigned, modulo the table's bucket count.
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ctimsg/basemsg.h"
#include "ctimsg/eventmasks.h"
#include "ctimsg/messages/msgclass.h"
#include "ctimsg/msgtypes.h"
#include "nuvlib/ems.h"
#include "parlo/common/serverstate.h"
#include "parlo/model/configkey.h"
#include "parlo/model/modelutil.h"
#include "parlo/model/ports.h"

namespace model {

// CONFIG_RECORD_ADD / CHANGE / DELETE of an OPC Operation (1 added, 3 updated, 2 removed);
// -1 for anything else.
int OPCConfigOpToRecordType(uint32_t operation);

// Reads one OPC record within [record, end). Every read is checked against end: a read past
// it marks the reader failed and yields 0 or "", so a parser reads on and asks Ok() once.
class OPCRecordReader {
public:
    OPCRecordReader(const uint8_t* record, const uint8_t* end) : start_(record), pos_(record), end_(end) {
        if (record == nullptr || end == nullptr || end < record) failed_ = true;
    }
    // Fixed-part fields at an offset from the record's start.
    uint32_t U32At(size_t offset) { return static_cast<uint32_t>(Bytes(offset, 4)); }
    uint16_t U16At(size_t offset) { return static_cast<uint16_t>(Bytes(offset, 2)); }
    // Moves the cursor to an offset from the record's start.
    void Seek(size_t offset);
    // Sequential reads at the cursor.
    uint32_t NextU32();
    // A string field: u16 length L, the characters (taken up to the first zero), the next
    // field (L + 6) & ~3 bytes after the length word. The characters must lie within the
    // record; the padding of the last field may be cut by the end.
    std::string NextString();
    // Whether `count` entries of `size` bytes each fit before the end (counts from OPC are
    // checked before they drive a loop or an allocation).
    bool Fits(uint64_t count, size_t size) const;
    void Skip(size_t bytes);
    bool Ok() const { return !failed_; }
    void Fail() { failed_ = true; }
    const uint8_t* Cursor() const { return pos_; }

private:
    uint64_t Bytes(size_t offset, size_t width);

    const uint8_t* start_;
    const uint8_t* pos_;
    const uint8_t* end_;
    bool failed_ = false;
};

// The trace of a record that runs past its message's end (the intake then drops the rest).
void TraceRecordOverrun(const char* table, const uint8_t* record, const uint8_t* end);

// A hash map with a fixed bucket count and a documented order (above). Owns its records.
template <class Rec>
class ConfigMap {
public:
    explicit ConfigMap(uint32_t buckets = 17) { InitMap(buckets); }
    ConfigMap(const ConfigMap&) = delete;
    ConfigMap& operator=(const ConfigMap&) = delete;

    // Sets the bucket count; the records stay, re-bucketed in map order.
    void InitMap(uint32_t buckets) {
        std::vector<std::vector<Entry>> old = std::move(buckets_);
        buckets_.clear();
        buckets_.resize(buckets == 0 ? 1 : buckets);
        size_ = 0;
        for (auto& chain : old)
            for (auto& e : chain) Insert(e.key, std::move(e.record));
    }
    uint32_t BucketCount() const { return static_cast<uint32_t>(buckets_.size()); }
    uint32_t BucketOf(uint64_t key) const {
        return static_cast<uint32_t>(key & 0xFFFFFFFFu) % BucketCount();
    }
    // The record under key, or null.
    Rec* Find(uint64_t key) const {
        for (const Entry& e : buckets_[BucketOf(key)])
            if (e.key == key) return e.record.get();
        return nullptr;
    }
    // Inserts at the tail of the key's bucket; the map owns the record.
    Rec* Insert(uint64_t key, std::unique_ptr<Rec> record) {
        Rec* raw = record.get();
        buckets_[BucketOf(key)].push_back(Entry{key, std::move(record)});
        ++size_;
        return raw;
    }
    // Takes the record out; the caller owns it (null when absent).
    std::unique_ptr<Rec> Take(uint64_t key) {
        auto& chain = buckets_[BucketOf(key)];
        for (auto it = chain.begin(); it != chain.end(); ++it)
            if (it->key == key) {
                std::unique_ptr<Rec> out = std::move(it->record);
                chain.erase(it);
                --size_;
                return out;
            }
        return nullptr;
    }
    // Calls f(record) for every record in map order.
    template <class F>
    void ForEach(F&& f) const {
        for (const auto& chain : buckets_)
            for (const Entry& e : chain) f(*e.record);
    }
    size_t Size() const { return size_; }

private:
    struct Entry {
        uint64_t key;
        std::unique_ptr<Rec> record;
    };
    std::vector<std::vector<Entry>> buckets_;
    size_t size_ = 0;
};

// An ordered list of owned records: the deferred lists and the lists of answers.
template <class Rec>
using ConfigList = std::vector<std::unique_ptr<Rec>>;

// What a pager leaves out (the tables that filter say how).
struct PageFilter {
    int32_t peripheralID = -1;  // -1: any
    bool tressik = false;
};

// Sets a number field by the element's width.
void SetConfigNumber(BaseMSG& msg, uint32_t element, uint32_t value, uint32_t occurrence);

// The common part of every table record.
struct ConfigRecord {
    uint32_t Operation = 1;
};

// How one table's record type plugs into the engine. Rec provides:
//   static constexpr const char* kTableName;      // source name for the fatal texts
//   static constexpr uint32_t kMsgMaskBit, kInfoBit, kKeyElement, kAnswerType, kBuckets;
//   static constexpr bool kDeferOnlyWhileActive, kSendEmptyPage;
//   static const char* ValidateCaller();
//   static std::unique_ptr<Rec> Parse(OPCRecordReader&, uint32_t op);   // null: refused
//   uint64_t Key() const;
//   std::unique_ptr<Rec> Copy() const;                 // a copy with every field
//   void UpdateMapRecord(Rec& mapRecord);              // copy into the map's record
//   bool Accept(const PageFilter&) const;
//   void WriteSlot(BaseMSG&, uint32_t slot, int recordType) const;
//   static PageFilter FilterFor(const ConfigClient&);
//   static void TraceApply(int effectiveOp, const Rec&, bool known);  // traces, or nothing
//   static void BeforeSend();                          // before each page goes out
//   void NoteNoPrevious();                             // an update applied as an add
template <class Rec>
class ConfigTable {
public:
    ConfigMap<Rec> map{Rec::kBuckets};
    ConfigList<Rec> deferred;

    // Parse and apply or defer; the next record, or null (traced) when the record runs
    // past end.
    [[nodiscard]] const uint8_t* Process(uint32_t op, const uint8_t* record, const uint8_t* end, uint32_t update) {
        OPCRecordReader reader(record, end);
        std::unique_ptr<Rec> rec = Rec::Parse(reader, op);
        if (rec == nullptr || !reader.Ok()) {
            TraceRecordOverrun(Rec::kTableName, record, end);
            return nullptr;
        }
        rec->Operation = op;
        ServerLockGuard guard(ServerLock());
        const bool defer =
            update != 0 && (!Rec::kDeferOnlyWhileActive || Server().ServerState() == serverstate::ACTIVE);
        if (defer)
            deferred.push_back(std::move(rec));
        else
            Apply(*rec);
        return reader.Cursor();
    }

    // Applies one record to the map (an add of a known key updates, an update of an unknown
    // key adds); the record is never kept. It may be changed: a table may note in it what the
    // map held before.
    void Apply(Rec& rec) {
        Rec* known = map.Find(rec.Key());
        uint32_t op = rec.Operation;
        if (op == 1 && known != nullptr) op = 3;
        if (op == 3 && known == nullptr) op = 1;
        Rec::TraceApply(static_cast<int>(op), rec, known != nullptr);
        if (op == 1) {
            if (rec.Operation == 3) rec.NoteNoPrevious();
            std::unique_ptr<Rec> copy = rec.Copy();
            copy->Operation = 1;
            map.Insert(rec.Key(), std::move(copy));
        } else if (op == 2) {
            (void)map.Take(rec.Key());
        } else if (op == 3) {
            rec.UpdateMapRecord(*known);
        }
    }

    // Applies the deferred records, pushes them to the configuration clients, empties the list.
    void ApplyDeferred() {
        ServerLockGuard guard(ServerLock());
        for (auto& rec : deferred) Apply(*rec);
        NotifyConfigClients();
        deferred.clear();
    }

    // Every live configuration client that asked for this table gets the deferred records.
    void NotifyConfigClients() {
        std::vector<ConfigClient> clients;
        Clients().GetConfigClients(clients);
        for (const ConfigClient& c : clients) {
            if (c.sessionID == 0 || !Sessions().FindSession(c.sessionID)) continue;
            if ((c.configMsgMask & Rec::kMsgMaskBit) == 0) continue;
            UpdateACMIClient(c.sessionID, Rec::FilterFor(c));
        }
    }

    // CONFIG_BEGIN_EVENT, the deferred records' pages, CONFIG_END_EVENT to one session;
    // nothing when no record is deferred.
    void UpdateACMIClient(int32_t sessionID, const PageFilter& filter) {
        if (deferred.empty()) return;
        Clients().SendConfigBeginEvent(Rec::kInfoBit, GetConfigKey(), sessionID, Rec::kKeyElement);
        SendPages(-1, sessionID, filter, deferred);
        Clients().SendConfigEndEvent(sessionID, 0);
    }

    // Pages of up to ten records that pass the filter, to one session (a page that fails
    // validation is dropped); RecordType -1 takes each record's from its Operation.
    static void SendPages(int recordType, int32_t sessionID, const PageFilter& filter,
                          const ConfigList<Rec>& list) {
        size_t i = 0;
        while (i < list.size()) {
            BaseMSGPtr page = catalog::CreateMessage(Rec::kAnswerType);
            if (page == nullptr) return;
            uint32_t count = 0;
            for (; i < list.size() && count < 10; ++i) {
                const Rec& rec = *list[i];
                if (!rec.Accept(filter)) continue;
                const int rt = recordType == -1 ? OPCConfigOpToRecordType(rec.Operation) : recordType;
                rec.WriteSlot(*page, count, rt);
                ++count;
            }
            page->SetUSHORT(elementid::NumRecords, static_cast<uint16_t>(count));
            if (count == 0 && !Rec::kSendEmptyPage) continue;
            if (Clients().ValidateMessage(Rec::ValidateCaller(), *page) != 1) continue;
            Rec::BeforeSend();
            (void)Sessions().SendResponseMSG(sessionID, *page, Clients().FileTimeNow());
        }
    }

    // Copies of every map record that f accepts, in map order.
    template <class F>
    void CopyList(ConfigList<Rec>& list, F&& accept) const {
        map.ForEach([&](const Rec& r) {
            if (accept(r)) list.push_back(r.Copy());
        });
    }
};

// Defaults of the hooks a table need not define.
template <class Rec>
struct ConfigRecordDefaults : ConfigRecord {
    static constexpr bool kDeferOnlyWhileActive = false;
    static constexpr bool kSendEmptyPage = false;
    static const char* ValidateCaller() { return "ProcessConfigRequestEventMSG"; }
    bool Accept(const PageFilter&) const { return true; }
    static PageFilter FilterFor(const ConfigClient&) { return PageFilter{}; }
    static void TraceApply(int, const Rec&, bool) {}
    static void BeforeSend() {}
    // An update of a key the map lacked (applied as an add).
    void NoteNoPrevious() {}
};

}  // namespace model
