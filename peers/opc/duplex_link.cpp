#include "peers/opc/duplex_link.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "peers/opc/duplex.h"
#include "platform/clock.h"

namespace opcpeer {

namespace {

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

bool ReadAll(int fd, uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t r = ::recv(fd, p, n, 0);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool WriteAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

void NoDelay(int fd) {
    int one = 1;
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

}  // namespace

DuplexLink::~DuplexLink() {
    std::lock_guard<std::mutex> g(mu_);
    if (fd_ >= 0) ::close(fd_);
    if (listener_ >= 0) ::close(listener_);
}

void DuplexLink::CloseLinkLocked() {
    if (fd_ >= 0) {
        // Wakes the reader; the descriptor itself goes when the next link comes or at the end.
        ::shutdown(fd_, SHUT_RDWR);
    }
}

bool DuplexLink::Listen(uint16_t port) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    int one = 1;
    (void)::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in a = Loopback(port);
    if (::bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 || ::listen(s, 1) != 0) {
        ::close(s);
        return false;
    }
    std::lock_guard<std::mutex> g(mu_);
    listener_ = s;
    return true;
}

bool DuplexLink::Accept() {
    int listener;
    {
        std::lock_guard<std::mutex> g(mu_);
        listener = listener_;
    }
    if (listener < 0) return false;
    const int c = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) return false;
    NoDelay(c);
    std::lock_guard<std::mutex> g(mu_);
    if (fd_ >= 0) {
        ::shutdown(fd_, SHUT_RDWR);
        ::close(fd_);
    }
    fd_ = c;
    return true;
}

bool DuplexLink::Connect(uint16_t port, int tries, int64_t retryMs) {
    for (int i = 0; i < tries; ++i) {
        if (i > 0) plat::SleepForMs(retryMs);
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s < 0) return false;
        const sockaddr_in a = Loopback(port);
        if (::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) {
            NoDelay(s);
            std::lock_guard<std::mutex> g(mu_);
            fd_ = s;
            return true;
        }
        ::close(s);
    }
    return false;
}

bool DuplexLink::Send(uint8_t type, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> frame;
    if (!AppendLinkFrame(frame, type, payload)) return false;
    std::lock_guard<std::mutex> g(mu_);
    if (fd_ < 0) return false;
    if (WriteAll(fd_, frame.data(), frame.size())) return true;
    CloseLinkLocked();
    return false;
}

bool DuplexLink::Receive(uint8_t* type, std::vector<uint8_t>* payload) {
    int fd;
    {
        std::lock_guard<std::mutex> g(mu_);
        fd = fd_;
    }
    if (fd < 0) return false;
    uint8_t header[kLinkHeader];
    size_t length = 0;
    if (!ReadAll(fd, header, sizeof header) || !ReadLinkHeader(header, type, &length)) {
        std::lock_guard<std::mutex> g(mu_);
        if (fd_ == fd) CloseLinkLocked();
        return false;
    }
    payload->assign(length, 0);
    if (length > 0 && !ReadAll(fd, payload->data(), length)) {
        std::lock_guard<std::mutex> g(mu_);
        if (fd_ == fd) CloseLinkLocked();
        return false;
    }
    return true;
}

}  // namespace opcpeer
