#include "nuvlib/mbuf.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "nuvlib/ems.h"
#include "nuvlib/mbuflimit.h"
#include "platform/clock.h"
#include "platform/lasterror.h"

BufferPool::BufferPool(const char* instancePath, const char* processName, LimitCallback callback)
    : m_Callback(callback) {
    MBufLimitMgr* limits = new (std::nothrow) MBufLimitMgr(instancePath, processName);
    if (!limits)
        EMSFailMessage("Memory allocation of %d bytes failed:  File: %s.  Line %d\n",
                       static_cast<int>(sizeof(MBufLimitMgr)), "MBUF", __LINE__);
    m_Limits.reset(limits);
    uint32_t initial = 0, current = 0;
    m_Limits->GetLimits(&initial, &current, &m_Increment, &m_ShrinkThreshold);
    m_InitialLimit = initial;
    m_CurrentLimit = current;
}

BufferPool::~BufferPool() = default;

MBuf* BufferPool::Alloc(uint32_t size) {
    uint32_t n = size == 0 ? 1 : size;
    // A request that cannot be accounted in 32 bits can never fit the limit.
    if (n > 0x7FFFFFFFu - kMBufAccountedHeader) {
        if (m_Callback) m_Callback(this);
        EMSFailMessage("BufferPool Buffering Memory Limit Reached(%u bytes).", m_CurrentLimit.load());
    }
    uint32_t t = n + kMBufAccountedHeader;
    uint32_t before = m_BytesInUse.fetch_add(t);
    uint32_t inUse = before + t;
    if (inUse < before) {
        // Past 32 bits of accounting the reservation would look small and slip under the
        // limit: no limit can serve it.
        if (m_Callback) m_Callback(this);
        m_BytesInUse.fetch_sub(t);
        EMSFailMessage("BufferPool Buffering Memory Limit Reached(%u bytes).", m_CurrentLimit.load());
    }
    while (inUse > m_CurrentLimit.load()) {
        bool expected = false;
        if (!m_Expanding.compare_exchange_strong(expected, true)) {
            plat::SleepForMs(10);
            inUse = m_BytesInUse.load();
            continue;
        }
        uint32_t limit = m_CurrentLimit.load();
        uint32_t granted = inUse > limit ? m_Limits->Expand(inUse - limit) : 0;
        if (inUse > limit && granted == 0) {
            if (m_Callback) m_Callback(this);
            m_BytesInUse.fetch_sub(t);
            if (!m_LimitRaised) {
                m_Limits->RaiseMaximum(kRaiseOnExhaustion);
                m_LimitRaised = true;
            }
            EMSFailMessage("BufferPool Buffering Memory Limit Reached(%u bytes).",
                           m_CurrentLimit.load());
        }
        m_CurrentLimit.fetch_add(granted);
        m_Expanding.store(false);
        inUse = m_BytesInUse.load();
    }
    void* block = std::malloc(sizeof(MBuf) + n);
    if (!block) {
        m_BytesInUse.fetch_sub(t);
        plat::SetLastError(plat::ErrnoToWin32(errno ? errno : ENOMEM));
        EMSFailMessage("BufferPool malloc(...) failed: %d", static_cast<int>(plat::GetLastError()));
    }
    MBuf* buffer = static_cast<MBuf*>(block);
    std::memset(buffer, 0, sizeof(MBuf));
    buffer->data = reinterpret_cast<uint8_t*>(buffer + 1);
    buffer->capacity = n;
    m_SizeClasses[t / 1024 < 4 ? t / 1024 : 4].fetch_add(1, std::memory_order_relaxed);
    m_Outstanding.fetch_add(1, std::memory_order_relaxed);
    m_Allocations.fetch_add(1, std::memory_order_relaxed);
    // A statistic: one exchange, no compare-and-swap loop.
    uint32_t peak = m_PeakBytes.load(std::memory_order_relaxed);
    uint32_t now = m_BytesInUse.load(std::memory_order_relaxed);
    if (now > peak) m_PeakBytes.exchange(now, std::memory_order_relaxed);
    return buffer;
}

void BufferPool::Free(MBuf* buffer) {
    NUV_ASSERT(buffer != nullptr);
    m_Outstanding.fetch_sub(1, std::memory_order_relaxed);
    m_Frees.fetch_add(1, std::memory_order_relaxed);
    uint32_t u = m_BytesInUse.fetch_sub(buffer->capacity + kMBufAccountedHeader) -
                 (buffer->capacity + kMBufAccountedHeader);
    std::free(buffer);

    uint32_t limit = m_CurrentLimit.load();
    if (limit <= m_InitialLimit || m_ShrinkThreshold == 0) return;
    int64_t l = limit, s = m_ShrinkThreshold, i = m_Increment;
    if (l * s - static_cast<int64_t>(u) * 100 <= i * s) return;
    bool expected = false;
    if (!m_Shrinking.compare_exchange_strong(expected, true)) return;
    uint32_t target = static_cast<uint32_t>(static_cast<uint64_t>(u) * 100 / m_ShrinkThreshold);
    uint32_t given = target < limit ? m_Limits->Shrink(limit - target) : 0;
    m_CurrentLimit.fetch_sub(given);
    m_Shrinking.store(false);
}

int BufferPool::GetBufferStats(BufferStats* stats, bool reset) {
    if (!stats || stats->version != kStatsVersion) return 0;
    stats->initialLimit = m_InitialLimit;
    stats->currentLimit = m_CurrentLimit.load();
    stats->bytesInUse = m_BytesInUse.load();
    stats->buffersOutstanding = m_Outstanding.load();
    stats->allocations = m_Allocations.load();
    stats->frees = m_Frees.load();
    stats->peakBytes = m_PeakBytes.load();
    for (int i = 0; i < 5; ++i) stats->sizeClasses[i] = m_SizeClasses[i].load();
    if (reset) {
        m_Allocations.exchange(0);
        m_Frees.exchange(0);
        m_PeakBytes.exchange(0);
        for (auto& c : m_SizeClasses) c.exchange(0);
    }
    return 1;
}

MessageQueue::MessageQueue(uint32_t warningLevel) : m_WarningLevel(warningLevel) {}

int MessageQueue::Put(MBuf* buffer) {
    std::lock_guard<std::mutex> hold(m_Lock);
    buffer->next = nullptr;
    if (!m_Head) {
        buffer->prev = nullptr;
        m_Head = m_Tail = buffer;
    } else {
        buffer->prev = m_Tail;
        m_Tail->next = buffer;
        m_Tail = buffer;
    }
    if (m_Count++ == 0) m_Event.Set();
    if (m_Count > m_CountHighWater) m_CountHighWater = m_Count;
    m_BytesQueued += buffer->length;
    if (m_BytesQueued > m_BytesHighWater) m_BytesHighWater = m_BytesQueued;
    ++m_MessagesPut;
    m_BytesPut += buffer->length;
    return m_Count > m_WarningLevel ? 1 : 0;
}

MBuf* MessageQueue::Get() {
    std::lock_guard<std::mutex> hold(m_Lock);
    MBuf* buffer = m_Head;
    if (!buffer) return nullptr;
    m_Head = buffer->next;
    if (m_Head)
        m_Head->prev = nullptr;
    else
        m_Tail = nullptr;
    buffer->prev = buffer->next = nullptr;
    if (--m_Count == 0) m_Event.Reset();
    m_BytesQueued -= buffer->length;
    ++m_MessagesGot;
    m_BytesGot += buffer->length;
    return buffer;
}

uint32_t MessageQueue::GetCount() {
    std::lock_guard<std::mutex> hold(m_Lock);
    return m_Count;
}

int MessageQueue::GetQueueStats(QueueStats* stats) {
    if (!stats || stats->version != kStatsVersion) return 0;
    std::lock_guard<std::mutex> hold(m_Lock);
    stats->count = m_Count;
    stats->countHighWater = m_CountHighWater;
    stats->bytesQueued = m_BytesQueued;
    stats->bytesHighWater = m_BytesHighWater;
    stats->messagesPut = m_MessagesPut;
    stats->messagesGot = m_MessagesGot;
    stats->bytesPut = m_BytesPut;
    stats->bytesGot = m_BytesGot;
    m_MessagesPut = m_MessagesGot = m_BytesPut = m_BytesGot = 0;
    return 1;
}
