#pragma once
// The worker pool that completes EMT's socket operations, and the exact-length read and
// write helpers that the synchronous calls use.
#include <cstdint>
#include <functional>
#include <sys/uio.h>

#include "nuvlib/emt/emt.h"

namespace emt {

// Pool sizing: the caller's maximum capped at 64, or min(2 x CPUs, 4) when it is 0.
uint32_t PoolThreadCount(uint32_t requested, uint32_t cpus);

// The one pool of the process (Pool()); its workers and queue live in tcpiocpt.cpp.
class CIOPortThreadPool {
public:
    ~CIOPortThreadPool();
    // 0, or the error that kept the pool from starting (no worker is left then); 0 at once
    // when already running.
    [[nodiscard]] uint32_t Start(EmtThreadRoutine routine, uint32_t maxThreads,
                                 uint32_t concurrent);
    // Ends every worker after the work already queued; 0.
    uint32_t Stop();
    bool Running() const;
    uint32_t Workers() const;
    // Queues `work` to run on one worker, exactly once; false (nothing queued, `work`
    // dropped) when the pool is not running.
    [[nodiscard]] bool Post(std::function<void()> work);
};
CIOPortThreadPool& Pool();

// Reads exactly n bytes: 0, 10101 when the peer closed, or the socket error.
[[nodiscard]] uint32_t TcpRecvAll(int s, void* buf, uint32_t n);
// Writes every byte of the buffers, looping over partial writes: 0 or the socket error;
// 0xE103001A should the kernel ever report fewer bytes than asked without an error.
[[nodiscard]] uint32_t TcpSendAll(int s, const iovec* iov, int count);

}  // namespace emt
