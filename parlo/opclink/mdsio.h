#pragma once
// MDSIO: the server's link to the OPC over MDS. Input: registration, the dispatch of the
// OPC's class-17 messages on the main thread, MDS status, and the OPC heartbeat watch.
// Output: the envelope (the ServerNumber word in front of every body) in an MDSMsgBuffer and
// the acknowledgement and heartbeat writers; the request writers are in opcwriters.h.
// All state is process-wide: atomic words any thread may read; the setters are the server's
// (main thread, or the thread that changes the server state).
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "parlo/opclink/opclinkoutput.h"
#include "platform/byteorder.h"

class MDSIO {
public:
    static constexpr uint32_t kMaxPayload = 4012;
    static constexpr uint32_t kNoServerNumber = 0xFFFFFFFF;

    // Whether client events are built (the server ACTIVE or STANDBY).
    static void SetServerActive(int active) { s_ServerActive.store(active); }
    static int IsServerActive() { return s_ServerActive.load(); }
    // The word in front of every message to the OPC; kNoServerNumber until the OPC's first
    // accepted idle request.
    static void SetServerNumber(uint32_t number) { s_ServerNumber.store(number); }
    static uint32_t GetServerNumber() { return s_ServerNumber.load(); }
    // 1 side A, 0 side B.
    static void SetSide(int side) { s_Side.store(side); }
    static int GetSide() { return s_Side.load(); }
    // 0 under /tsy: messages to the OPC are traced and dropped.
    static void SetMDSConnections(int flag) { s_MDSConnections.store(flag); }
    static int GetMDSConnections() { return s_MDSConnections.load(); }
    // MDS's handles of this client and of "opc"; 0xFF until CTIInputManager registered.
    static uint8_t GetClientHandle() { return s_ClientHandle.load(); }
    static uint8_t GetOPCHandle() { return s_OPCHandle.load(); }

    // Registers under the process name (instance: the registry base; flag: the side), looks
    // up "opc", installs the class-17 handler and runs the MDS receive loop on the calling
    // thread. Never returns: a failure or the loop's return is fatal.
    [[noreturn]] static void CTIInputManager(const char* processName, const char* registryBase,
                                             int side, int mdsConnections);

    // The handlers MDS calls (on its receive thread, the main thread) with the 16-byte header
    // and the payload (the header's u16 at byte 2 is the payload length; the payload stays
    // MDS's). They return 1. MDS going out of service ends the process (exit code 100003).
    static int MDSMessageHandler(const uint8_t* header, uint8_t* payload);
    static int MDSStatusHandler(const uint8_t* header, uint8_t* payload);
    // One class-17 message of `length` payload bytes (ServerNumber word included), counted in
    // the meters and handed to the server port's handler of its type (the control requests)
    // or to its QueueOPCMessage. A payload too short for the fields its handler reads is
    // traced and dropped. Read only during the call.
    static void ProcessOPCMessage(uint8_t type, const uint8_t* payload, size_t length);

    // One CTI_HEART_BEAT_EVENT from the OPC.
    static void CountOPCHeartBeat() { s_HeartBeatCount.fetch_add(1); }
    // The OPCHeartBeat timer's check (timer-wheel thread): the fourth check in a row without
    // a new heartbeat is fatal ("An OPC HeartBeat Timeout has occurred.").
    static void CheckOPCHeartBeat();
    static uint32_t GetHeartBeatCount() { return s_HeartBeatCount.load(); }
    static uint32_t GetMissedChecks() { return s_MissedChecks.load(); }

    // Counts the message (meter::OPCMessages and meter::OPCBytesSent) and hands `storage`
    // (`length` bytes) to the OPC link's output in force (opclinkoutput.h: MDS as input of
    // `cls`/`type` unless a test installed another). Any thread.
    static void SendInput(uint8_t destination, uint8_t cls, uint8_t type, OPCStorage storage,
                          uint16_t length, uint32_t flag);

    // CTI_OK_ACK or CTI_ERROR_ACK (ackType) answering requestType, with this side and
    // `value`; reports EMS 0x612E0009 first. True when it was built and handed to SendInput.
    // Any thread.
    [[nodiscard]] static bool SendAck(uint8_t requestType, uint8_t ackType, uint32_t serverNumber,
                        uint32_t value);
    // CTI_ERROR_ACK for CTI_SET_ACTIVE_REQ with the link's ServerNumber: value 0x7FFFFFFF for
    // exactly "NO_CLIENT_CONNECTED", else 0 (`reason` may be null). As SendAck.
    [[nodiscard]] static bool SendActivationFailure(const char* reason);

    // Tests: the heartbeat words back to 0, the ServerNumber to 0xFFFFFFFF.
    static void ResetForTest();

private:
    static inline std::atomic<int> s_ServerActive{0};
    static inline std::atomic<uint32_t> s_ServerNumber{kNoServerNumber};
    static inline std::atomic<int> s_Side{1};
    static inline std::atomic<int> s_MDSConnections{1};
    static inline std::atomic<uint8_t> s_ClientHandle{0xFF};
    static inline std::atomic<uint8_t> s_OPCHandle{0xFF};
    static inline std::atomic<uint32_t> s_HeartBeatCount{0};
    static inline std::atomic<uint32_t> s_LastHeartBeatCount{0};
    static inline std::atomic<uint32_t> s_MissedChecks{0};
};

// One message to the OPC being built, by one thread: 4012 bytes from the MDS pool (or the
// heap under /tsy, or while not registered; an allocation failure is fatal). Reserved bytes
// are zeroed. The buffer owns its storage until SendInput hands it on; storage not handed on
// is freed by the destructor.
class MDSMsgBuffer {
public:
    MDSMsgBuffer();
    MDSMsgBuffer(const MDSMsgBuffer&) = delete;
    MDSMsgBuffer& operator=(const MDSMsgBuffer&) = delete;

    // The next n zeroed bytes, or null (nothing reserved) when n is negative or exceeds the
    // room left; a refusal marks the buffer failed.
    [[nodiscard]] uint8_t* Reserve(int64_t n);
    // Gives back the last n reserved bytes (a writer that reserved its room and used less).
    void Unreserve(int n) {
        if (n > 0 && n <= Length()) m_Room += n;
    }
    // A reservation was refused: the message cannot be sent.
    bool Failed() const { return m_Failed; }
    // Bytes reserved so far.
    int Length() const { return static_cast<int>(MDSIO::kMaxPayload) - m_Room; }
    // Hands the filled part (Length() bytes) and the storage to MDSIO::SendInput; the buffer
    // is empty afterwards. Returns false, sending nothing, when a reservation failed.
    [[nodiscard]] bool SendInput(uint8_t destination, uint8_t cls, uint8_t type, uint32_t flag);

private:
    OPCStorage m_Buffer;
    int m_Room = static_cast<int>(MDSIO::kMaxPayload);
    bool m_Failed = false;
};

// The layout of the fields inside a body (integers go through platform/byteorder.h, as
// little-endian).
namespace opcout {
// A string field's size: u16 length, characters, zeros to (length + 6) & ~3.
inline size_t StringSize(size_t length) { return (length + 6) & ~size_t{3}; }
// An ECC block's size: u32 length, bytes, zeros to (length + 7) & ~3.
inline size_t BlockSize(size_t length) { return (length + 7) & ~size_t{3}; }
// Writes a string field into zeroed space of StringSize(s.size()) bytes; returns the
// position after it.
inline uint8_t* PutString(uint8_t* p, const std::string& s) {
    plat::StoreLE16(p, static_cast<uint16_t>(s.size()));
    for (size_t i = 0; i < s.size(); ++i) p[2 + i] = static_cast<uint8_t>(s[i]);
    return p + StringSize(s.size());
}
}  // namespace opcout
