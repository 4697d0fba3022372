#pragma once
// The stand-in OPC as the peripheral controller of a duplex pair. Each side is a node of its
// own (its own MDS), so one parlo-opc runs per node: the one on side A's node holds the
// controller below, and the one on side B's node joins it over a loopback socket and relays
// between it and its server (see duplex_link.h).
//
// The controller idles both sides, sends them the configuration (table 11 with one
// peripheral, table 0) and the set-active for side A, then OPC heartbeats to both. It
// watches the active side's CTI_ACTIVE_HEART_BEAT_EVENT: when that side answers a
// set-active with CTI_ERROR_ACK (its failure report), or three of its heartbeat periods
// pass without one, it idles that side and sends the set-active for the other side to both.
#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace opcpeer {

class Duplex {
public:
    static constexpr int kSideA = 0;
    static constexpr int kSideB = 1;

    // Sends one OPC message (the payload begins with the ServerNumber word) to side 0 (A)
    // or 1 (B); false when it could not be handed over.
    using SendFn = std::function<bool(int side, uint8_t type, const std::vector<uint8_t>&)>;
    // Prints one line (no line end).
    using PrintFn = std::function<void(const std::string&)>;

    struct Options {
        uint32_t serverNumber = 1;
        uint32_t hbSeconds = 5;      // the set-active's OPC heartbeat time
        uint32_t heartbeatMs = 1000; // OPC's heartbeats to both sides
        uint32_t watchMs = 6000;     // the active side's heartbeat period (OPCHeartbeatTime + 1 s)
        uint32_t peripheralID = 5000;
        uint32_t clientType = 30;    // 30 converts to PeripheralType 17: the other side stands by
        uint32_t idleTries = 60;     // set-idle rounds before going on without a side
        int64_t retryMs = 1000;
    };

    Duplex(SendFn send, PrintFn print, const Options& options);
    // Stops the controller's thread.
    ~Duplex();
    Duplex(const Duplex&) = delete;
    Duplex& operator=(const Duplex&) = delete;

    // Runs the start, the heartbeats and the watch on a thread of its own.
    void Start();
    // One class-17 message from a side's server: its OPC type and payload of `len` bytes.
    void OnMessage(int side, uint8_t type, const uint8_t* payload, size_t len);
    // The side the controller has made active (-1 before the start's set-active).
    int Active();

    // "A" or "B".
    static const char* SideName(int side) { return side == kSideA ? "A" : "B"; }
    // The side word of the requests: 1 for A, 0 for B.
    static uint32_t SideWord(int side) { return side == kSideA ? 1u : 0u; }

private:
    void Run();
    void Send(int side, uint8_t type, const std::vector<uint8_t>& body);
    void SendSetIdle(int side);
    void SendSetActive(int side, uint32_t activeSide);
    void SendConfig(int side, uint32_t table, const std::vector<uint8_t>& records, uint32_t num);
    // Idles `from` and activates the other side; call without mu_.
    void Failover(int from, const std::string& why);
    void Print(const std::string& line) { print_(line); }

    SendFn send_;
    PrintFn print_;
    Options options_;

    std::mutex mu_;
    std::condition_variable cv_;
    bool quit_ = false;
    std::array<bool, 2> idled_{};  // answered a set-idle
    int active_ = -1;
    bool failed_ = false;          // the active side reported a failure
    int64_t lastSignNs_ = 0;       // the active side's last heartbeat (or the set-active)
    std::thread thread_;
};

// The duplex link's frames: u8 OPC type, u16 payload length (little-endian), the payload.
constexpr size_t kLinkHeader = 3;
// Appends one frame; false (nothing appended) when the payload exceeds an OPC message.
[[nodiscard]] bool AppendLinkFrame(std::vector<uint8_t>& out, uint8_t type,
                                   const std::vector<uint8_t>& payload);
// Reads the header of a frame: its type and payload length. False when the length exceeds
// an OPC message (the link is then broken).
[[nodiscard]] bool ReadLinkHeader(const uint8_t (&header)[kLinkHeader], uint8_t* type,
                                  size_t* length);

}  // namespace opcpeer
