#include "nuvlib/emt/tcpiocpt.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <sys/socket.h>
#include <thread>
#include <vector>

#include "nuvlib/emt/emtpriv.h"
#include "nuvlib/ems.h"

namespace emt {

uint32_t PoolThreadCount(uint32_t requested, uint32_t cpus) {
    if (requested == 0) return std::min<uint32_t>(2 * std::max<uint32_t>(cpus, 1), 4);
    return std::min<uint32_t>(requested, 64);
}

namespace {
struct PoolState {
    std::mutex mu;
    std::condition_variable cv;
    std::deque<std::function<void()>> work;
    std::vector<std::thread> threads;
    bool running = false;
    bool stopping = false;
};
// Never destroyed: the workers may outlive static destruction at process exit.
PoolState& g_pool = *new PoolState;
}  // namespace

CIOPortThreadPool& Pool() {
    static CIOPortThreadPool p;
    return p;
}

CIOPortThreadPool::~CIOPortThreadPool() {}

bool CIOPortThreadPool::Running() const {
    std::lock_guard<std::mutex> g(g_pool.mu);
    return g_pool.running;
}

uint32_t CIOPortThreadPool::Workers() const {
    std::lock_guard<std::mutex> g(g_pool.mu);
    return static_cast<uint32_t>(g_pool.threads.size());
}

uint32_t CIOPortThreadPool::Start(EmtThreadRoutine routine, uint32_t maxThreads,
                                  uint32_t concurrent) {
    std::unique_lock<std::mutex> lk(g_pool.mu);
    if (g_pool.running) return 0;
    uint32_t n = PoolThreadCount(maxThreads, std::thread::hardware_concurrency());
    uint32_t conc = std::min<uint32_t>(std::min<uint32_t>(concurrent, 64), n);
    if (TraceOn(kTraceConn))
        EMSTraceMessage("EMT I/O completion ports: max threads=%d, concurent threads=%d",
                        static_cast<int>(n), static_cast<int>(conc));
    g_pool.stopping = false;
    auto results = std::make_shared<std::vector<uint32_t>>(n, 0);
    std::vector<std::shared_ptr<Event>> started;
    for (uint32_t i = 0; i < n; ++i) {
        auto ev = std::make_shared<Event>(true, false);
        started.push_back(ev);
        g_pool.threads.emplace_back([routine, ev, i, results] {
            uint32_t r = routine ? routine(1, 0) : 0;
            (*results)[i] = r;
            ev->Set();
            for (;;) {
                std::function<void()> w;
                {
                    std::unique_lock<std::mutex> l(g_pool.mu);
                    g_pool.cv.wait(l, [] { return g_pool.stopping || !g_pool.work.empty(); });
                    if (g_pool.work.empty()) break;
                    w = std::move(g_pool.work.front());
                    g_pool.work.pop_front();
                }
                w();
            }
            if (routine) routine(2, r);
        });
    }
    lk.unlock();
    uint32_t result = 0;
    int64_t deadline = MonotonicMs() + 60000;
    for (uint32_t i = 0; i < n; ++i) {
        int64_t left = deadline - MonotonicMs();
        if (started[i]->Wait(left > 0 ? static_cast<uint32_t>(left) : 0) != plat::WAIT_OBJECT_0) {
            result = plat::WAIT_TIMEOUT;
            break;
        }
        if ((*results)[i] != 0) result = (*results)[i];
    }
    lk.lock();
    if (result != 0) {
        g_pool.stopping = true;
        g_pool.cv.notify_all();
        std::vector<std::thread> t = std::move(g_pool.threads);
        g_pool.threads.clear();
        lk.unlock();
        for (auto& th : t) th.join();
        return result;
    }
    g_pool.running = true;
    return 0;
}

uint32_t CIOPortThreadPool::Stop() {
    std::vector<std::thread> t;
    {
        std::lock_guard<std::mutex> g(g_pool.mu);
        g_pool.stopping = true;
        t = std::move(g_pool.threads);
        g_pool.threads.clear();
    }
    g_pool.cv.notify_all();
    for (auto& th : t) th.join();
    std::lock_guard<std::mutex> g(g_pool.mu);
    g_pool.work.clear();
    g_pool.running = false;
    return 0;
}

bool CIOPortThreadPool::Post(std::function<void()> work) {
    {
        std::lock_guard<std::mutex> g(g_pool.mu);
        if (!g_pool.running || g_pool.stopping) return false;
        g_pool.work.push_back(std::move(work));
    }
    g_pool.cv.notify_one();
    return true;
}

uint32_t TcpRecvAll(int s, void* buf, uint32_t n) {
    uint8_t* p = static_cast<uint8_t*>(buf);
    uint32_t got = 0;
    while (got < n) {
        ssize_t r = ::recv(s, p + got, n - got, 0);
        if (r > 0) {
            got += static_cast<uint32_t>(r);
        } else if (r == 0) {
            return EMT_WSA_EDISCON;
        } else if (errno != EINTR) {
            return ErrnoToEmtError(errno);
        }
    }
    return 0;
}

uint32_t TcpSendAll(int s, const iovec* iov, int count) {
    iovec v[34];
    if (count < 1 || count > 32) return EMT_WSA_EINVAL;
    size_t total = 0;
    for (int i = 0; i < count; ++i) {
        v[i] = iov[i];
        total += iov[i].iov_len;
    }
    int first = 0;
    size_t sent = 0;
    while (sent < total) {
        msghdr m{};
        m.msg_iov = v + first;
        m.msg_iovlen = static_cast<size_t>(count - first);
        ssize_t r = ::sendmsg(s, &m, MSG_NOSIGNAL);
        if (r < 0) {
            if (errno == EINTR) continue;
            return ErrnoToEmtError(errno);
        }
        if (r == 0) return EMT_E_SHORT_SEND;
        sent += static_cast<size_t>(r);
        size_t left = static_cast<size_t>(r);
        while (first < count && left >= v[first].iov_len) {
            left -= v[first].iov_len;
            ++first;
        }
        if (first < count) {
            v[first].iov_base = static_cast<uint8_t*>(v[first].iov_base) + left;
            v[first].iov_len -= left;
        }
    }
    return 0;
}

}  // namespace emt
