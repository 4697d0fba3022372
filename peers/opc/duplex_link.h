#pragma once
// The loopback socket that joins the stand-in OPCs of the two nodes of a duplex pair: the
// controller's end listens, the other node's end connects. It carries whole OPC messages
// as link frames (duplex.h); a frame longer than an OPC message breaks the link.
#include <cstdint>
#include <mutex>
#include <vector>

namespace opcpeer {

class DuplexLink {
public:
    DuplexLink() = default;
    // Closes the socket (and the listener).
    ~DuplexLink();
    DuplexLink(const DuplexLink&) = delete;
    DuplexLink& operator=(const DuplexLink&) = delete;

    // Listens on 127.0.0.1:port. False when the port cannot be had.
    [[nodiscard]] bool Listen(uint16_t port);
    // Waits for the other end to connect and takes it in place of any earlier one. False
    // when the listener failed.
    [[nodiscard]] bool Accept();
    // Connects to 127.0.0.1:port, trying up to `tries` times `retryMs` apart.
    [[nodiscard]] bool Connect(uint16_t port, int tries, int64_t retryMs);

    // Sends one message; false when no link is up or the write failed (the link is then
    // closed). Safe from any thread.
    [[nodiscard]] bool Send(uint8_t type, const std::vector<uint8_t>& payload);
    // Reads the next message (from one thread only); false when the link closed or broke.
    [[nodiscard]] bool Receive(uint8_t* type, std::vector<uint8_t>* payload);

private:
    void CloseLinkLocked();

    std::mutex mu_;
    int listener_ = -1;
    int fd_ = -1;
};

}  // namespace opcpeer
