#pragma once
// What parlo-load's modes share: a plain client connection that takes frames off its input,
// a latency histogram, and the frames every mode sends.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "ctimsg/basemsg.h"
#include "peers/client/cticlient.h"
#include "platform/byteorder.h"
#include "platform/clock.h"

namespace parloload {

constexpr uint32_t kHeaderBytes = 8;
constexpr size_t kBuckets = 200000;   // 1 us buckets up to 200 ms

inline int64_t NowNs() { return plat::MonotonicNs(); }

// Latencies in 1 us buckets up to 200 ms.
class Histogram {
public:
    Histogram() : counts_(kBuckets + 1, 0) {}
    void Add(int64_t ns) {
        const int64_t us = ns < 0 ? 0 : ns / 1000;
        ++counts_[static_cast<size_t>(std::min<int64_t>(us, kBuckets))];
        ++total_;
        max_ = std::max(max_, us);
    }
    void Merge(const Histogram& other) {
        for (size_t i = 0; i < counts_.size(); ++i) counts_[i] += other.counts_[i];
        total_ += other.total_;
        max_ = std::max(max_, other.max_);
    }
    // Microseconds (-1 when empty); the last bucket stands for 200 ms and more.
    int64_t Percentile(double p) const {
        if (total_ == 0) return -1;
        const uint64_t rank = static_cast<uint64_t>(p / 100.0 * static_cast<double>(total_ - 1)) + 1;
        uint64_t seen = 0;
        for (size_t i = 0; i < counts_.size(); ++i) {
            seen += counts_[i];
            if (seen >= rank) return static_cast<int64_t>(i);
        }
        return static_cast<int64_t>(kBuckets);
    }
    uint64_t Total() const { return total_; }
    int64_t Max() const { return total_ ? max_ : -1; }

private:
    std::vector<uint64_t> counts_;
    uint64_t total_ = 0;
    int64_t max_ = 0;
};

// One plain client connection; closed when destroyed.
class Conn {
public:
    Conn() = default;
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;
    ~Conn() { Close(); }

    bool Connect(const std::string& host, int port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) return false;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) return false;
        if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
        const int one = 1;
        (void)setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return true;
    }
    // Closes at once, without leaving the port in TIME_WAIT (many short connections).
    void Abort() {
        if (fd_ < 0) return;
        const linger l{1, 0};
        (void)setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        Close();
    }
    // Ends a closed session: waits (at most waitMs) for the server to end the connection,
    // so that the server's side, not this one, keeps the TIME_WAIT; aborts it otherwise.
    void Finish(int waitMs) {
        const int64_t deadline = NowNs() + int64_t{waitMs} * 1000000;
        for (;;) {
            const int64_t left = (deadline - NowNs()) / 1000000;
            pollfd p{fd_, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
            if (ReadSome() < 0) {
                in_.clear();
                Close();
                return;
            }
            in_.clear();
        }
        Abort();
    }
    void Close() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    void SetNonBlocking() { (void)fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK); }
    int Fd() const { return fd_; }

    bool WriteAll(const std::vector<uint8_t>& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                pollfd p{fd_, POLLOUT, 0};
                (void)poll(&p, 1, 100);
                continue;
            }
            return false;
        }
        return true;
    }
    // Reads what is there: >0 bytes, 0 would block, -1 closed or failed.
    int ReadSome() {
        uint8_t chunk[65536];
        const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
        if (n > 0) {
            in_.insert(in_.end(), chunk, chunk + n);
            return static_cast<int>(n);
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
        return -1;
    }
    // Takes the complete frames off the front of the input: seen(type, frame, length).
    // False on a body longer than any the server sends.
    template <class F>
    bool TakeFrames(F seen) {
        size_t at = 0;
        while (in_.size() - at >= kHeaderBytes) {
            const uint32_t body = plat::LoadBE32(in_.data() + at);
            if (body > cticlient::kMaxBody) return false;
            if (in_.size() - at < kHeaderBytes + body) break;
            seen(plat::LoadBE32(in_.data() + at + 4), in_.data() + at, size_t{kHeaderBytes} + body);
            at += kHeaderBytes + body;
        }
        in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(at));
        return true;
    }
    // Blocks (at most waitMs in all) for the first frame whose type `want` accepts; its type
    // and the word after its InvokeID (the status of a FAILURE_CONF), or type 0 on a
    // time-out, a close or a bad frame. Frames before it are dropped.
    template <class F>
    uint32_t AwaitFrame(F want, int waitMs, uint32_t* second = nullptr) {
        const int64_t deadline = NowNs() + int64_t{waitMs} * 1000000;
        for (;;) {
            uint32_t found = 0;
            if (!TakeFrames([&](uint32_t type, const uint8_t* f, size_t len) {
                    if (found || !want(type)) return;
                    found = type;
                    if (second && len >= kHeaderBytes + 8) *second = plat::LoadBE32(f + kHeaderBytes + 4);
                }))
                return 0;
            if (found) return found;
            const int64_t left = (deadline - NowNs()) / 1000000;
            if (left <= 0) return 0;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            if (ReadSome() < 0) return 0;
        }
    }
    std::vector<uint8_t>& In() { return in_; }

    int64_t nextHeartbeat = 0;
    uint32_t invokeID = 2;

private:
    int fd_ = -1;
    std::vector<uint8_t> in_;
};

// The frame of msg at version 24; empty (with a line on stderr) when it does not encode.
std::vector<uint8_t> Frame(BaseMSG& msg);
// CLOSE_REQ with InvokeID 3 and Status 0.
std::vector<uint8_t> CloseFrame();

}  // namespace parloload
