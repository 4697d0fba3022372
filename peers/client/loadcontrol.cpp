#include "peers/client/loadcontrol.h"

#include <sys/epoll.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>

#include "ctimsg/names.h"
#include "peers/client/cticlient.h"
#include "peers/client/loadconn.h"

namespace parloload {
namespace {

constexpr int kMaxSessions = 20000;
constexpr int kOpenWaitMs = 20000;
constexpr int kDrainWaitMs = 5000;

// Calls the server has never seen: each session names calls of its own range.
constexpr uint32_t kFirstCall = 5000000;

struct Session {
    Conn conn;
    std::vector<std::vector<uint8_t>> frames;  // one per request kind, InvokeID patched
    size_t next = 0;
    uint32_t invokeID = 100;
    uint32_t outstanding = 0;  // the InvokeID waited for, 0 for none
    int64_t sentNs = 0;
};

// What one thread saw while measuring.
struct Tally {
    Histogram latency;
    uint64_t answered = 0, refused = 0, unanswered = 0;
    uint32_t firstRefusalType = 0, firstRefusalCode = 0;
    bool failed = false;
};

// The type names that answer a request of this mode.
struct Answers {
    std::vector<bool> conf;
    uint32_t failureConf, controlFailureConf, openConf;
    Answers() {
        conf.assign(kMsgTypeTableSize, false);
        for (int t = 1; t < kMsgTypeTableSize; ++t) {
            const std::string name = MsgTypeName(t);
            conf[static_cast<size_t>(t)] = name.size() > 5 && name.compare(name.size() - 5, 5, "_CONF") == 0;
        }
        failureConf = cticlient::MsgTypeByName("FAILURE_CONF");
        controlFailureConf = cticlient::MsgTypeByName("CONTROL_FAILURE_CONF");
        openConf = cticlient::MsgTypeByName("OPEN_CONF");
    }
};

bool SendNext(Session& s) {
    std::vector<uint8_t>& frame = s.frames[s.next];
    s.next = (s.next + 1) % s.frames.size();
    s.outstanding = s.invokeID++;
    plat::StoreBE32(frame.data() + kHeaderBytes, s.outstanding);
    s.sentNs = NowNs();
    return s.conn.WriteAll(frame);
}

// Opens the sessions of one thread, one after the other; false when one is refused.
bool OpenAll(const ControlOptions& o, std::vector<std::unique_ptr<Session>>& mine, int first,
             const Answers& answers) {
    for (size_t k = 0; k < mine.size(); ++k) {
        Session& s = *mine[k];
        const int index = first + static_cast<int>(k);
        std::string error;
        BaseMSGPtr open = cticlient::MakeOpenReq(
            {"ServiceMask=" + std::to_string(o.services), "IdleTimeout=0xFFFFFFFF",
             "ClientID=" + o.ident + std::to_string(index), "CTIPeripheralID=" + std::to_string(o.peripheral)},
            &error);
        std::vector<uint8_t> openFrame = open ? Frame(*open) : std::vector<uint8_t>{};
        if (openFrame.empty() || !s.conn.Connect(o.host, o.port) || !s.conn.WriteAll(openFrame)) {
            fprintf(stderr, "parlo-load: session %d: cannot open %s\n", index, error.c_str());
            return false;
        }
        uint32_t status = 0;
        const uint32_t type = s.conn.AwaitFrame(
            [&](uint32_t t) { return t == answers.openConf || t == answers.failureConf; }, kOpenWaitMs, &status);
        if (type != answers.openConf) {
            fprintf(stderr, "parlo-load: session %d: OPEN_REQ answered with %s %s\n", index,
                    type ? MsgTypeName(static_cast<int32_t>(type)) : "nothing",
                    type ? StatusCodeName(static_cast<int32_t>(status)) : "");
            return false;
        }
        for (const std::string& kind : o.requests) {
            BaseMSGPtr msg = cticlient::ParseScriptLine(ControlRequestLine(o, kind, index), &error);
            std::vector<uint8_t> frame = msg ? Frame(*msg) : std::vector<uint8_t>{};
            if (frame.size() < kHeaderBytes + 4) {
                fprintf(stderr, "parlo-load: %s: %s\n", kind.c_str(), error.c_str());
                return false;
            }
            s.frames.push_back(std::move(frame));
        }
        s.conn.SetNonBlocking();
    }
    return true;
}

// One thread: its sessions in a closed loop until `stopNs`, measuring from `measureNs`.
void Drive(std::vector<std::unique_ptr<Session>>& mine, int64_t measureNs, int64_t stopNs,
           const Answers& answers, Tally* tally) {
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    for (size_t k = 0; k < mine.size(); ++k) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = k;
        (void)epoll_ctl(ep, EPOLL_CTL_ADD, mine[k]->conn.Fd(), &ev);
        if (!SendNext(*mine[k])) tally->failed = true;
    }
    size_t waiting = mine.size();
    std::vector<epoll_event> events(256);
    // After the stop, the answers still on their way are taken, for a bounded time.
    while (waiting > 0 && NowNs() < stopNs + int64_t{kDrainWaitMs} * 1000000) {
        const int n = epoll_wait(ep, events.data(), static_cast<int>(events.size()), 100);
        for (int i = 0; i < n; ++i) {
            Session& s = *mine[events[static_cast<size_t>(i)].data.u64];
            if (s.conn.ReadSome() < 0) {
                tally->failed = true;
                if (s.outstanding) --waiting, s.outstanding = 0;
                (void)epoll_ctl(ep, EPOLL_CTL_DEL, s.conn.Fd(), nullptr);
                continue;
            }
            bool answered = false;
            uint32_t type = 0, code = 0;
            const bool good = s.conn.TakeFrames([&](uint32_t t, const uint8_t* f, size_t len) {
                if (answered || len < kHeaderBytes + 4 || t >= answers.conf.size() || !answers.conf[t]) return;
                if (plat::LoadBE32(f + kHeaderBytes) != s.outstanding) return;
                answered = true;
                type = t;
                if (len >= kHeaderBytes + 8) code = plat::LoadBE32(f + kHeaderBytes + 4);
            });
            if (!good) tally->failed = true;
            if (!answered) continue;
            const int64_t now = NowNs();
            if (s.sentNs >= measureNs && now < stopNs) {
                tally->latency.Add(now - s.sentNs);
                ++tally->answered;
                if (type == answers.failureConf || type == answers.controlFailureConf) {
                    if (tally->refused++ == 0) tally->firstRefusalType = type, tally->firstRefusalCode = code;
                }
            }
            s.outstanding = 0;
            if (now < stopNs) {
                if (!SendNext(s)) tally->failed = true;
            } else {
                --waiting;
            }
        }
    }
    for (auto& s : mine)
        if (s->outstanding) ++tally->unanswered;
    close(ep);
}

}  // namespace

bool IsControlMode(const std::string& mode) { return mode == "control"; }

std::string ControlRequestLine(const ControlOptions& o, const std::string& kind, int index) {
    // InvokeID, the first word of every request, is patched into the frame before each send.
    const std::string periph = " InvokeID=1 PeripheralID=" + std::to_string(o.peripheral);
    const std::string call = std::to_string(kFirstCall + static_cast<uint32_t>(index));
    const std::string device = std::to_string(900000 + index);
    const std::string conn = periph + " ConnectionCallID=" + call + " ConnectionDeviceIDType=0 ConnectionDeviceID=" + device;
    if (kind == "hold") return "HOLD_CALL_REQ" + conn + " Reservation=0";
    if (kind == "answer") return "ANSWER_CALL_REQ" + conn;
    if (kind == "clear-call") return "CLEAR_CALL_REQ" + conn;
    if (kind == "dtmf") return "SEND_DTMF_SIGNAL_REQ" + conn + " ToneDuration=100 PauseDuration=50 DTMFString=12";
    if (kind == "retrieve")
        return "RETRIEVE_CALL_REQ" + periph + " HeldConnCallID=" + call + " HeldConnDeviceIDType=0 HeldConnDeviceID=" + device;
    if (kind == "snapshot") return "SNAPSHOT_CALL_REQ" + conn;
    if (kind == "make-call")
        return "MAKE_CALL_REQ" + periph +
               " CallPlacementType=0 CallMannerType=0 AlertRings=0 CallOption=0 FacilityType=0 "
               "AnsweringMachine=0 Priority=0 PostRoute=0 NumNamedVariables=0 NumNamedArrays=0 "
               "SkillGroupNumber=0xFFFFFFFF AgentInstrument=" + device + " DialedNumber=5550100";
    return "";
}

bool ParseControlOptions(const std::vector<std::string>& args, ControlOptions* o, std::string* error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (i + 1 >= args.size()) return *error = "no value for " + a, false;
        const std::string v = args[++i];
        char* end = nullptr;
        const long long n = std::strtoll(v.c_str(), &end, 0);
        const bool number = !v.empty() && *end == '\0';
        if (a == "--host") o->host = v;
        else if (a == "--ident") o->ident = v;
        else if (a == "--ready-file") o->readyFile = v;
        else if (a == "--duration" || a == "--warmup") {
            const double d = std::strtod(v.c_str(), &end);
            if (v.empty() || *end || d < 0 || d > 3600 || (a == "--duration" && d <= 0))
                return *error = "bad " + a + " " + v, false;
            (a == "--duration" ? o->duration : o->warmup) = d;
        } else if (a == "--requests") {
            o->requests.clear();
            size_t from = 0;
            for (;;) {
                const size_t comma = v.find(',', from);
                const std::string kind = v.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
                if (ControlRequestLine(*o, kind, 0).empty()) return *error = "no request kind " + kind, false;
                o->requests.push_back(kind);
                if (comma == std::string::npos) break;
                from = comma + 1;
            }
        } else if (!number) {
            return *error = "bad word " + a + " " + v, false;
        } else if (a == "--port" && n > 0 && n < 65536) o->port = static_cast<int>(n);
        else if (a == "--sessions" && n >= 1 && n <= kMaxSessions) o->sessions = static_cast<int>(n);
        else if (a == "--threads" && n >= 1 && n <= 64) o->threads = static_cast<int>(n);
        else if (a == "--services" && n > 0 && n <= 0xFFFFFFFFLL) o->services = static_cast<uint32_t>(n);
        else if (a == "--periph" && n >= 0 && n <= 0xFFFFFFFFLL) o->peripheral = static_cast<uint32_t>(n);
        else return *error = "bad word " + a + " " + v, false;
    }
    if (o->port == 0) return *error = "no --port", false;
    return true;
}

int RunControlMode(const ControlOptions& o) {
    const Answers answers;
    const int threads = std::min(o.threads, o.sessions);
    std::vector<std::vector<std::unique_ptr<Session>>> perThread(static_cast<size_t>(threads));
    std::vector<int> firstOf(static_cast<size_t>(threads));
    for (int i = 0, t = 0; t < threads; ++t) {
        firstOf[static_cast<size_t>(t)] = i;
        const int count = o.sessions / threads + (t < o.sessions % threads ? 1 : 0);
        for (int k = 0; k < count; ++k, ++i) perThread[static_cast<size_t>(t)].push_back(std::make_unique<Session>());
    }
    std::atomic<int> opened{0};
    std::atomic<bool> openFailed{false};
    const int64_t openBegin = NowNs();
    {
        std::vector<std::thread> openers;
        for (int t = 0; t < threads; ++t)
            openers.emplace_back([&, t] {
                if (!OpenAll(o, perThread[static_cast<size_t>(t)], firstOf[static_cast<size_t>(t)], answers))
                    openFailed = true;
                else
                    opened += static_cast<int>(perThread[static_cast<size_t>(t)].size());
            });
        for (auto& th : openers) th.join();
    }
    printf("RESULT mode=control phase=open sessions=%d opened=%d seconds=%.2f\n", o.sessions, opened.load(),
           static_cast<double>(NowNs() - openBegin) / 1e9);
    fflush(stdout);
    if (openFailed) return 1;
    if (!o.readyFile.empty()) std::ofstream(o.readyFile) << "ready\n";

    const int64_t measureNs = NowNs() + static_cast<int64_t>(o.warmup * 1e9);
    const int64_t stopNs = measureNs + static_cast<int64_t>(o.duration * 1e9);
    std::vector<Tally> tallies(static_cast<size_t>(threads));
    {
        std::vector<std::thread> drivers;
        for (int t = 0; t < threads; ++t)
            drivers.emplace_back([&, t] {
                Drive(perThread[static_cast<size_t>(t)], measureNs, stopNs, answers, &tallies[static_cast<size_t>(t)]);
            });
        for (auto& th : drivers) th.join();
    }
    Tally all;
    for (const Tally& t : tallies) {
        all.latency.Merge(t.latency);
        all.answered += t.answered;
        all.unanswered += t.unanswered;
        all.failed = all.failed || t.failed;
        if (all.refused == 0 && t.refused) all.firstRefusalType = t.firstRefusalType, all.firstRefusalCode = t.firstRefusalCode;
        all.refused += t.refused;
    }
    // The sessions end with CLOSE_REQ; the server's end of each connection is not awaited.
    const std::vector<uint8_t> closeFrame = CloseFrame();
    for (auto& mine : perThread)
        for (auto& s : mine) (void)s->conn.WriteAll(closeFrame);
    std::string refusal = "none";
    if (all.refused) {
        refusal = MsgTypeName(static_cast<int32_t>(all.firstRefusalType));
        refusal += "/" + std::to_string(all.firstRefusalCode);
    }
    std::string kinds;
    for (const std::string& k : o.requests) kinds += (kinds.empty() ? "" : ",") + k;
    printf("RESULT mode=control phase=requests sessions=%d requests=%s answered=%llu per_second=%.0f "
           "p50_us=%lld p99_us=%lld max_us=%lld refused=%llu first_refusal=%s unanswered=%llu failed=%d\n",
           o.sessions, kinds.c_str(), static_cast<unsigned long long>(all.answered),
           static_cast<double>(all.answered) / o.duration, static_cast<long long>(all.latency.Percentile(50)),
           static_cast<long long>(all.latency.Percentile(99)), static_cast<long long>(all.latency.Max()),
           static_cast<unsigned long long>(all.refused), refusal.c_str(),
           static_cast<unsigned long long>(all.unanswered), all.failed ? 1 : 0);
    return all.failed || all.unanswered ? 1 : 0;
}

}  // namespace parloload
