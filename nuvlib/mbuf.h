#pragma once
// Message buffers: every message exchanged with the message delivery service lives in an
// MBuf taken from the process's one BufferPool, which counts the memory in use against a
// limit that grows and shrinks in whole increments in the node-wide table (MBufLimitMgr).
// A MessageQueue is a locked FIFO of MBufs with an event set while it holds anything.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/event.h"

class MBufLimitMgr;

struct MBuf {
    MBuf* prev;      // in the queue that holds it; null when first or not queued
    MBuf* next;      // null when last or not queued
    uint8_t* data;   // the data area, right behind this header
    uint32_t length;    // bytes of content, set by the user
    uint32_t capacity;  // size of the data area as requested (a request for 0 gets 1)
    uint32_t offset;    // from data to the first byte of content
};

// Every buffer is accounted as its capacity plus this header size, whatever the real one.
constexpr uint32_t kMBufAccountedHeader = 24;
// Bytes the MDS client keeps at the start of the data area for its transport headers.
constexpr uint32_t kMBufTransportHeader = 20;
// From an MBuf's address to the payload address the MDS client hands out.
constexpr size_t kMBufHeader = sizeof(MBuf) + kMBufTransportHeader;

struct BufferStats {
    uint32_t version;  // the caller sets 2
    uint32_t initialLimit;
    uint32_t currentLimit;
    uint32_t bytesInUse;
    uint32_t buffersOutstanding;
    uint32_t allocations;
    uint32_t frees;
    uint32_t peakBytes;
    uint32_t sizeClasses[5];  // accounted size <1K, <2K, <3K, <4K, 4K and above
};

struct QueueStats {
    uint32_t version;  // the caller sets 1
    uint32_t count;
    uint32_t countHighWater;
    uint32_t bytesQueued;
    uint32_t bytesHighWater;
    uint32_t messagesPut;
    uint32_t messagesGot;
    uint32_t bytesPut;
    uint32_t bytesGot;
};

class BufferPool {
public:
    using LimitCallback = void (*)(BufferPool* pool);
    static constexpr uint32_t kStatsVersion = 2;
    static constexpr uint32_t kRaiseOnExhaustion = 131072;

    // Registers the process in the node-wide table and starts at its initial quota.
    BufferPool(const char* instancePath, const char* processName, LimitCallback callback);
    ~BufferPool();
    BufferPool(const BufferPool&) = delete;
    BufferPool& operator=(const BufferPool&) = delete;

    // A buffer of at least `size` bytes of data, the caller's until it goes back through
    // Free (or is handed on, e.g. to a MessageQueue). Never null: when the limit cannot be
    // raised the process ends. May wait while another thread raises the limit.
    MBuf* Alloc(uint32_t size);
    // Takes back a buffer of this pool's Alloc that is in no queue; it is gone afterwards.
    void Free(MBuf* buffer);
    // 1 after filling the record (version 2), 0 with the record untouched otherwise.
    [[nodiscard]] int GetBufferStats(BufferStats* stats, bool reset);

    uint32_t GetCurrentLimit() const { return m_CurrentLimit.load(); }
    uint32_t GetBytesInUse() const { return m_BytesInUse.load(); }
    MBufLimitMgr* GetLimitManager() const { return m_Limits.get(); }

private:
    std::unique_ptr<MBufLimitMgr> m_Limits;
    LimitCallback m_Callback;
    std::atomic<uint32_t> m_CurrentLimit{0};
    uint32_t m_InitialLimit = 0;
    uint32_t m_Increment = 0;
    uint32_t m_ShrinkThreshold = 0;
    bool m_LimitRaised = false;
    std::atomic<uint32_t> m_BytesInUse{0};
    std::atomic<uint32_t> m_Outstanding{0};
    std::atomic<uint32_t> m_PeakBytes{0};
    std::atomic<uint32_t> m_Allocations{0};
    std::atomic<uint32_t> m_Frees{0};
    std::atomic<uint32_t> m_SizeClasses[5] = {};
    // One thread at a time raises the limit; one at a time lowers it.
    std::atomic<bool> m_Expanding{false};
    std::atomic<bool> m_Shrinking{false};
};

class MessageQueue {
public:
    static constexpr uint32_t kStatsVersion = 1;

    // Put answers 1 once the count passes the warning level (0xFFFFFFFF: never).
    explicit MessageQueue(uint32_t warningLevel);
    // Buffers still queued are not freed: their owner drains the queue first.
    ~MessageQueue() = default;
    MessageQueue(const MessageQueue&) = delete;
    MessageQueue& operator=(const MessageQueue&) = delete;

    // Appends `buffer` (in no other queue); the queue holds it until Get hands it out, and
    // the caller must not touch it meanwhile. 1 when the count is now above the warning
    // level, 0 otherwise (queued either way).
    int Put(MBuf* buffer);
    // Takes the first buffer out: it is the caller's again. Null when the queue is empty.
    MBuf* Get();
    uint32_t GetCount();
    // 1 after filling the record (version 1) and clearing the put/got totals; 0 otherwise.
    [[nodiscard]] int GetQueueStats(QueueStats* stats);
    // Set while the queue holds anything (manual reset).
    plat::Event& GetEvent() { return m_Event; }

private:
    uint32_t m_Count = 0;
    uint32_t m_CountHighWater = 0;
    uint32_t m_WarningLevel;
    uint32_t m_BytesQueued = 0;
    uint32_t m_BytesHighWater = 0;
    uint32_t m_MessagesPut = 0;
    uint32_t m_MessagesGot = 0;
    uint32_t m_BytesPut = 0;
    uint32_t m_BytesGot = 0;
    MBuf* m_Head = nullptr;
    MBuf* m_Tail = nullptr;
    std::mutex m_Lock;
    plat::Event m_Event{true, false};
};
