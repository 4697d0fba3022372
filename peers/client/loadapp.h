#pragma once
// parlo-load's application modes: what the server's open road, agent association and agent
// events cost (run by hand from bench/parlo/appload.sh).
//   app-opens     open and close sessions, paced at --rate (0: as fast as they go) over
//                 --threads connections at a time; agent-mode sessions over a range of
//                 agents with --agents (an agent's sessions share one ClientID, as one
//                 desk would); OPEN_REQ -> OPEN_CONF percentiles. A closed session keeps its
//                 connection counted until the server's garbage sweep (about 10 s), so a
//                 long run at a high rate meets the connection limit: with --keep 1 the
//                 sessions stay open (up to 20,000 a process) and all close at the end
//   app-sessions  hold agent-mode, CLIENT_MONITOR and other sessions, heartbeating, count what
//                 they receive by type, and time the AGENT_STATE_EVENTs that carry the
//                 stand-in OPC's send stamp: each copy, and per event the last of its copies,
//                 burst by burst (a burst ends where the stamps pause for --gap seconds).
//                 Copy delays are counted in 1 us steps up to 200 ms: 200000 stands for
//                 "200 ms or more"; the last-copy figures are exact.
// Closed sessions end with CLOSE_REQ, CLOSE_CONF and the server's end of the connection.
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace parloload {

struct AppOptions {
    std::string mode;
    std::string host = "127.0.0.1";
    int port = 0;
    int threads = 1;
    double duration = 10;
    double warmup = 2;
    double rate = 0;          // app-opens: opens a second over all threads
    bool keep = false;        // app-opens: leave the sessions open (no close) until the end
    int sessions = 0;         // non-agent sessions (CLIENT_MONITOR ones included)
    uint32_t services = 0x10; // their ServiceMask
    int monitors = 0;         // how many of them are CLIENT_MONITOR (0x40) instead
    int agents = 0;           // agent-mode sessions, or the range app-opens cycles through
    uint32_t agentServices = 0x07;
    uint32_t agentFirst = 200000;
    uint32_t extFirst = 0;    // 0: agentFirst + 500000, as the stand-in's `agents` command
    uint32_t peripheral = 5000;
    int expect = -1;          // copies that make an event complete (-1: the ALL_EVENTS sessions)
    double gap = 1.0;
    int idleTimeout = 60;
    std::string ident = "app";
    std::string readyFile;
};

// Whether `mode` is one of these modes.
bool IsAppMode(const std::string& mode);
// Reads the words after the mode; false with *error on an unknown word or a value out of
// range (counts 0..20000, agents within 0x7FFFFFFF, a positive duration, a port).
[[nodiscard]] bool ParseAppOptions(const std::vector<std::string>& args, AppOptions* o, std::string* error);
// The OPEN_REQ words of session `index`: agent mode for agent `agentIndex` of the range
// (AgentID, AgentExtension, AgentInstrument, CTIPeripheralID) when agentIndex >= 0.
std::vector<std::string> AppOpenWords(const AppOptions& o, uint32_t services, int index, int agentIndex);
// Runs the mode; the process exit status. Prints "RESULT ..." lines.
int RunAppMode(const AppOptions& o);

// The copies of stamped events: per event (its send stamp) how many arrived, their summed
// delay and the last arrival.
class DeliveryLog {
public:
    void Add(int64_t stampNs, int64_t atNs);
    void Merge(const DeliveryLog& other);

    struct Burst {
        size_t events = 0;
        size_t complete = 0;  // with at least `expect` copies
        uint64_t copies = 0;
        double spanS = 0;     // first to last stamp
        double deliveredS = 0;  // first stamp to last arrival
        int64_t lastP50Us = -1, lastP99Us = -1, lastMaxUs = -1;  // over complete events
        int64_t meanCopyUs = -1;
    };
    // The events in stamp order, cut where two stamps lie more than gapNs apart.
    std::vector<Burst> Bursts(int64_t gapNs, uint64_t expect) const;

private:
    struct Entry {
        uint64_t copies = 0;
        int64_t sumNs = 0;
        int64_t lastNs = 0;
    };
    std::unordered_map<int64_t, Entry> events_;
};

}  // namespace parloload
