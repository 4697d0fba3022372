#include "peers/client/loadapp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <thread>

#include "ctimsg/elementids.h"
#include "ctimsg/messages/messages.h"
#include "peers/client/cticlient.h"
#include "peers/client/loadconn.h"
#include "peers/client/loadevent.h"
#include "platform/byteorder.h"
#include "platform/clock.h"

namespace parloload {
namespace {

constexpr uint32_t kFailureConf = 1;
constexpr uint32_t kOpenConf = 4;
constexpr uint32_t kCloseConf = 8;
constexpr uint32_t kAgentStateEvent = 30;
constexpr uint32_t kTypeSlots = 512;  // received types counted one by one below this
constexpr int kMaxCount = 20000;      // the process's open-file limit on this machine
constexpr int kAnswerWaitMs = 10000;
constexpr int kEndWaitMs = 1000;

int64_t SortedPercentile(const std::vector<int64_t>& sorted, double p) {
    if (sorted.empty()) return -1;
    return sorted[static_cast<size_t>(p / 100.0 * static_cast<double>(sorted.size() - 1))];
}

std::vector<uint8_t> OpenFrame(const AppOptions& o, uint32_t services, int index, int agentIndex) {
    std::string error;
    BaseMSGPtr open = cticlient::MakeOpenReq(AppOpenWords(o, services, index, agentIndex), &error);
    if (!open) {
        fprintf(stderr, "parlo-load: OPEN_REQ: %s\n", error.c_str());
        return {};
    }
    return Frame(*open);
}

std::vector<uint8_t> HeartbeatFrame(uint32_t invokeID) {
    HeartbeatReqMSG msg;
    msg.SetUINT(elementid::InvokeID, invokeID);
    return Frame(msg);
}

void TouchReady(const AppOptions& o) {
    if (!o.readyFile.empty()) std::ofstream(o.readyFile) << "ready\n";
}

std::string FailureList(const std::map<uint32_t, uint64_t>& failures) {
    std::string s;
    for (const auto& [status, n] : failures)
        s += (s.empty() ? "" : ",") + std::to_string(status) + ":" + std::to_string(n);
    return s.empty() ? "none" : s;
}

bool OpenAnswer(uint32_t t) { return t == kOpenConf || t == kFailureConf; }
bool IsCloseConf(uint32_t t) { return t == kCloseConf; }

// ---------------------------------------------------------------- app-opens

struct OpenStats {
    Histogram latency;
    uint64_t opens = 0;
    int64_t firstSent = INT64_MAX, lastAnswered = 0;  // of the counted opens
    std::map<uint32_t, uint64_t> failures;  // FAILURE_CONF status (0: no answer at all)
};

int RunOpens(const AppOptions& o) {
    const bool agentMode = o.agents > 0;
    if (agentMode && o.agents < o.threads) {
        fprintf(stderr, "parlo-load: --agents must be at least --threads (one agent per connection at a time)\n");
        return 2;
    }
    const uint32_t services = agentMode ? o.agentServices : o.services;
    const auto closeFrame = CloseFrame();
    const int64_t begin = NowNs();
    const int64_t start = begin + static_cast<int64_t>(o.warmup * 1e9);
    const int64_t stop = start + static_cast<int64_t>(o.duration * 1e9);
    const int64_t period = o.rate > 0 ? static_cast<int64_t>(1e9 * o.threads / o.rate) : 0;
    std::vector<OpenStats> stats(static_cast<size_t>(o.threads));
    std::atomic<bool> broken{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < o.threads; ++t) {
        threads.emplace_back([&, t] {
            OpenStats& mine = stats[static_cast<size_t>(t)];
            std::vector<std::unique_ptr<Conn>> kept;
            // Agents t, t + threads, ...: no two connections ever name one agent at once.
            const int perThread = agentMode ? o.agents / o.threads : 1;
            int64_t next = begin + period * t / o.threads;
            for (int k = 0; NowNs() < stop && !broken; ++k) {
                if (o.keep && agentMode && k >= perThread) break;  // every agent of its share bound
                if (period > 0) {
                    if (NowNs() < next) plat::SleepUntil(next);
                    next += period;
                }
                const int agentIndex = agentMode ? t + (k % perThread) * o.threads : -1;
                const auto open = OpenFrame(o, services, t + k * o.threads, agentIndex);
                auto owned = std::make_unique<Conn>();
                Conn& c = *owned;
                if (open.empty() || !c.Connect(o.host, o.port)) {
                    fprintf(stderr, "parlo-load: cannot connect: %s\n", strerror(errno));
                    broken = true;
                    return;
                }
                const int64_t sent = NowNs();
                uint32_t status = 0;
                const uint32_t type = c.WriteAll(open) ? c.AwaitFrame(OpenAnswer, kAnswerWaitMs, &status) : 0;
                const int64_t answered = NowNs();
                const bool counted = sent >= start && sent < stop;
                if (type == kOpenConf) {
                    if (counted) {
                        mine.latency.Add(answered - sent);
                        ++mine.opens;
                        mine.firstSent = std::min(mine.firstSent, sent);
                        mine.lastAnswered = std::max(mine.lastAnswered, answered);
                    }
                    if (o.keep) {
                        kept.push_back(std::move(owned));
                        if (kept.size() >= static_cast<size_t>(kMaxCount / o.threads)) break;
                        continue;
                    }
                    // The close: its answer, then the server's end of the connection.
                    if (c.WriteAll(closeFrame) && c.AwaitFrame(IsCloseConf, kAnswerWaitMs) == kCloseConf)
                        c.Finish(kEndWaitMs);
                } else if (counted) {
                    ++mine.failures[type == kFailureConf ? status : 0];
                }
                c.Abort();
            }
            // Kept sessions close cleanly at the end, so that their agents are free again.
            for (auto& k : kept) (void)k->WriteAll(closeFrame);
            for (auto& k : kept)
                if (k->AwaitFrame(IsCloseConf, kAnswerWaitMs) == kCloseConf) k->Finish(kEndWaitMs);
        });
    }
    for (auto& th : threads) th.join();
    OpenStats total;
    for (const auto& s : stats) {
        total.latency.Merge(s.latency);
        total.opens += s.opens;
        total.firstSent = std::min(total.firstSent, s.firstSent);
        total.lastAnswered = std::max(total.lastAnswered, s.lastAnswered);
        for (const auto& [status, n] : s.failures) total.failures[status] += n;
    }
    // Over the time the counted opens took (a kept run may run out of agents early).
    const double span = total.opens > 1 ? static_cast<double>(total.lastAnswered - total.firstSent) / 1e9 : o.duration;
    printf("RESULT mode=app-opens kind=%s keep=%d services=0x%x threads=%d target_rate=%.0f opens=%llu per_second=%.0f "
           "p50_us=%lld p99_us=%lld max_us=%lld failures=%s broken=%d\n",
           agentMode ? "agent" : "plain", o.keep ? 1 : 0, services, o.threads, o.rate,
           static_cast<unsigned long long>(total.opens), static_cast<double>(total.opens) / span,
           static_cast<long long>(total.latency.Percentile(50)), static_cast<long long>(total.latency.Percentile(99)),
           static_cast<long long>(total.latency.Max()), FailureList(total.failures).c_str(), broken ? 1 : 0);
    fflush(stdout);
    return broken ? 1 : 0;
}

// ---------------------------------------------------------------- app-sessions

struct SessionSpec {
    uint32_t services;
    int agentIndex;
};

struct ReaderStats {
    std::vector<uint64_t> types = std::vector<uint64_t>(kTypeSlots + 1, 0);
    Histogram copy;
    DeliveryLog log;
    uint64_t dropped = 0;
    bool badFrame = false;
};

int RunSessions(const AppOptions& o) {
    std::vector<SessionSpec> specs;
    for (int a = 0; a < o.agents; ++a) specs.push_back({o.agentServices, a});
    for (int m = 0; m < o.monitors; ++m) specs.push_back({0x40, -1});
    for (int s = o.monitors; s < o.sessions; ++s) specs.push_back({o.services, -1});
    const int allEvents = (o.services & 0x10) ? o.sessions - o.monitors : 0;
    const uint64_t expect = o.expect >= 0 ? static_cast<uint64_t>(o.expect) : static_cast<uint64_t>(allEvents);

    // Open in parallel, each thread its share, one after another.
    std::vector<std::vector<std::unique_ptr<Conn>>> perThread(static_cast<size_t>(o.threads));
    std::vector<OpenStats> openStats(static_cast<size_t>(o.threads));
    std::atomic<bool> broken{false};
    const int64_t openBegin = NowNs();
    {
        std::vector<std::thread> openers;
        for (int t = 0; t < o.threads; ++t) {
            openers.emplace_back([&, t] {
                OpenStats& mine = openStats[static_cast<size_t>(t)];
                for (size_t i = static_cast<size_t>(t); i < specs.size() && !broken; i += static_cast<size_t>(o.threads)) {
                    auto c = std::make_unique<Conn>();
                    const auto open = OpenFrame(o, specs[i].services, static_cast<int>(i), specs[i].agentIndex);
                    if (open.empty() || !c->Connect(o.host, o.port)) {
                        fprintf(stderr, "parlo-load: connection %zu failed: %s\n", i, strerror(errno));
                        broken = true;
                        return;
                    }
                    const int64_t sent = NowNs();
                    uint32_t status = 0;
                    const uint32_t type = c->WriteAll(open) ? c->AwaitFrame(OpenAnswer, kAnswerWaitMs, &status) : 0;
                    if (type != kOpenConf) {
                        ++mine.failures[type == kFailureConf ? status : 0];
                        continue;
                    }
                    mine.latency.Add(NowNs() - sent);
                    ++mine.opens;
                    c->SetNonBlocking();
                    c->nextHeartbeat = NowNs() + int64_t{o.idleTimeout} * 1000000000 / 3;
                    perThread[static_cast<size_t>(t)].push_back(std::move(c));
                }
            });
        }
        for (auto& th : openers) th.join();
    }
    OpenStats opened;
    for (const auto& s : openStats) {
        opened.latency.Merge(s.latency);
        opened.opens += s.opens;
        for (const auto& [status, n] : s.failures) opened.failures[status] += n;
    }
    printf("RESULT mode=app-sessions phase=open sessions=%zu agent=%d monitors=%d services=0x%x opened=%llu "
           "seconds=%.1f p50_us=%lld p99_us=%lld max_us=%lld failures=%s\n",
           specs.size(), o.agents, o.monitors, o.services, static_cast<unsigned long long>(opened.opens),
           static_cast<double>(NowNs() - openBegin) / 1e9, static_cast<long long>(opened.latency.Percentile(50)),
           static_cast<long long>(opened.latency.Percentile(99)), static_cast<long long>(opened.latency.Max()),
           FailureList(opened.failures).c_str());
    fflush(stdout);
    if (broken) return 1;

    TouchReady(o);
    const int64_t start = NowNs() + static_cast<int64_t>(o.warmup * 1e9);
    const int64_t end = start + static_cast<int64_t>(o.duration * 1e9);
    std::vector<ReaderStats> stats(static_cast<size_t>(o.threads));
    std::vector<std::thread> readers;
    for (int t = 0; t < o.threads; ++t) {
        readers.emplace_back([&, t] {
            auto& links = perThread[static_cast<size_t>(t)];
            ReaderStats& mine = stats[static_cast<size_t>(t)];
            const int ep = epoll_create1(EPOLL_CLOEXEC);
            for (size_t k = 0; k < links.size(); ++k) {
                epoll_event ev{};
                ev.events = EPOLLIN;
                ev.data.u64 = k;
                (void)epoll_ctl(ep, EPOLL_CTL_ADD, links[k]->Fd(), &ev);
            }
            std::vector<epoll_event> events(1024);
            size_t heartbeatCursor = 0;
            for (;;) {
                const int64_t now = NowNs();
                if (now >= end) break;
                const int n = epoll_wait(ep, events.data(), static_cast<int>(events.size()), 100);
                for (int e = 0; e < n; ++e) {
                    Conn& link = *links[events[static_cast<size_t>(e)].data.u64];
                    if (link.Fd() < 0) continue;
                    int got;
                    do {
                        got = link.ReadSome();
                    } while (got > 0 && link.In().size() < (1u << 20));
                    const int64_t at = NowNs();
                    const bool inWindow = at >= start && at < end;
                    if (!link.TakeFrames([&](uint32_t type, const uint8_t* f, size_t len) {
                            if (inWindow) ++mine.types[std::min(type, kTypeSlots)];
                            if (type != kAgentStateEvent) return;
                            const int64_t stamp = FindStamp(f, len);
                            if (stamp < start || at >= end) return;
                            mine.copy.Add(at - stamp);
                            mine.log.Add(stamp, at);
                        }))
                        mine.badFrame = true;
                    if (got < 0) {
                        ++mine.dropped;
                        (void)epoll_ctl(ep, EPOLL_CTL_DEL, link.Fd(), nullptr);
                        link.Close();
                    }
                }
                // A few heartbeats a turn, oldest due first.
                for (int k = 0; k < 64 && !links.empty(); ++k) {
                    Conn& link = *links[heartbeatCursor];
                    if (link.Fd() >= 0 && link.nextHeartbeat > now) break;
                    if (link.Fd() >= 0) {
                        (void)link.WriteAll(HeartbeatFrame(link.invokeID++));
                        link.nextHeartbeat = now + int64_t{o.idleTimeout} * 1000000000 / 3;
                    }
                    heartbeatCursor = (heartbeatCursor + 1) % links.size();
                }
            }
            close(ep);
        });
    }
    for (auto& th : readers) th.join();
    ReaderStats total;
    for (const auto& s : stats) {
        for (size_t i = 0; i < s.types.size(); ++i) total.types[i] += s.types[i];
        total.copy.Merge(s.copy);
        total.log.Merge(s.log);
        total.dropped += s.dropped;
        total.badFrame = total.badFrame || s.badFrame;
    }
    std::string received;
    for (size_t i = 0; i < total.types.size(); ++i)
        if (total.types[i]) received += (received.empty() ? "" : ",") + std::to_string(i) + ":" + std::to_string(total.types[i]);
    printf("RESULT mode=app-sessions phase=hold sessions=%llu agent_state_copies=%llu per_second=%.0f copy_p50_us=%lld "
           "copy_p99_us=%lld copy_max_us=%lld dropped=%llu bad_frames=%d received_by_type=%s\n",
           static_cast<unsigned long long>(opened.opens), static_cast<unsigned long long>(total.copy.Total()),
           static_cast<double>(total.copy.Total()) / o.duration, static_cast<long long>(total.copy.Percentile(50)),
           static_cast<long long>(total.copy.Percentile(99)), static_cast<long long>(total.copy.Max()),
           static_cast<unsigned long long>(total.dropped), total.badFrame ? 1 : 0,
           received.empty() ? "none" : received.c_str());
    const auto bursts = total.log.Bursts(static_cast<int64_t>(o.gap * 1e9), expect);
    for (size_t b = 0; b < bursts.size(); ++b) {
        const auto& x = bursts[b];
        // Sent a second over the stamps; delivered a second from the first send to the last
        // arrival, so that a server that falls behind shows its own pace.
        printf("RESULT mode=app-sessions phase=burst burst=%zu events=%zu complete=%zu expect=%llu events_per_s=%.0f "
               "copies=%llu delivered_per_s=%.0f mean_copy_us=%lld last_p50_us=%lld last_p99_us=%lld "
               "last_max_us=%lld\n",
               b + 1, x.events, x.complete, static_cast<unsigned long long>(expect),
               x.events > 1 && x.spanS > 0 ? static_cast<double>(x.events - 1) / x.spanS : 0.0,
               static_cast<unsigned long long>(x.copies),
               x.deliveredS > 0 ? static_cast<double>(x.copies) / x.deliveredS : 0.0,
               static_cast<long long>(x.meanCopyUs), static_cast<long long>(x.lastP50Us),
               static_cast<long long>(x.lastP99Us), static_cast<long long>(x.lastMaxUs));
    }
    fflush(stdout);
    return 0;
}

bool Number(const std::string& s, long long lo, long long hi, long long* out) {
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(s.c_str(), &end, 0);
    if (errno || *end || v < lo || v > hi) return false;
    *out = v;
    return true;
}

bool Seconds(const std::string& s, double* out) {
    if (s.empty()) return false;
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (*end || !(v >= 0) || v > 86400) return false;
    *out = v;
    return true;
}

}  // namespace

void DeliveryLog::Add(int64_t stampNs, int64_t atNs) {
    Entry& e = events_[stampNs];
    ++e.copies;
    e.sumNs += atNs - stampNs;
    e.lastNs = std::max(e.lastNs, atNs);
}

void DeliveryLog::Merge(const DeliveryLog& other) {
    for (const auto& [stamp, o] : other.events_) {
        Entry& e = events_[stamp];
        e.copies += o.copies;
        e.sumNs += o.sumNs;
        e.lastNs = std::max(e.lastNs, o.lastNs);
    }
}

std::vector<DeliveryLog::Burst> DeliveryLog::Bursts(int64_t gapNs, uint64_t expect) const {
    std::vector<std::pair<int64_t, Entry>> sorted(events_.begin(), events_.end());
    std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<Burst> out;
    size_t i = 0;
    while (i < sorted.size()) {
        size_t j = i + 1;
        while (j < sorted.size() && sorted[j].first - sorted[j - 1].first <= gapNs) ++j;
        Burst b;
        b.events = j - i;
        b.spanS = static_cast<double>(sorted[j - 1].first - sorted[i].first) / 1e9;
        std::vector<int64_t> last;
        int64_t sum = 0, lastArrival = sorted[i].first;
        for (size_t k = i; k < j; ++k) {
            const Entry& e = sorted[k].second;
            lastArrival = std::max(lastArrival, e.lastNs);
            b.copies += e.copies;
            sum += e.sumNs;
            if (e.copies >= expect) last.push_back((e.lastNs - sorted[k].first) / 1000);
        }
        b.deliveredS = static_cast<double>(lastArrival - sorted[i].first) / 1e9;
        b.complete = last.size();
        std::sort(last.begin(), last.end());
        b.lastP50Us = SortedPercentile(last, 50);
        b.lastP99Us = SortedPercentile(last, 99);
        b.lastMaxUs = last.empty() ? -1 : last.back();
        b.meanCopyUs = b.copies ? sum / static_cast<int64_t>(b.copies) / 1000 : -1;
        out.push_back(b);
        i = j;
    }
    return out;
}

bool IsAppMode(const std::string& mode) { return mode == "app-opens" || mode == "app-sessions"; }

bool ParseAppOptions(const std::vector<std::string>& args, AppOptions* o, std::string* error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.rfind("--", 0) != 0 || i + 1 >= args.size()) return *error = "bad word " + a, false;
        const std::string v = args[++i];
        long long n = 0;
        auto count = [&](int* at) { return Number(v, 0, kMaxCount, &n) ? (*at = static_cast<int>(n), true) : false; };
        auto word = [&](uint32_t* at) {
            return Number(v, 0, 0x7FFFFFFF, &n) ? (*at = static_cast<uint32_t>(n), true) : false;
        };
        bool ok;
        if (a == "--host") ok = !v.empty(), o->host = v;
        else if (a == "--port") ok = Number(v, 1, 65535, &n), o->port = static_cast<int>(n);
        else if (a == "--threads") ok = count(&o->threads) && o->threads > 0;
        else if (a == "--duration") ok = Seconds(v, &o->duration) && o->duration > 0;
        else if (a == "--warmup") ok = Seconds(v, &o->warmup);
        else if (a == "--rate") ok = Seconds(v, &o->rate) && o->rate <= 1e6;
        else if (a == "--keep") ok = (v == "0" || v == "1"), o->keep = v == "1";
        else if (a == "--sessions") ok = count(&o->sessions);
        else if (a == "--services") ok = word(&o->services);
        else if (a == "--monitors") ok = count(&o->monitors);
        else if (a == "--agents") ok = count(&o->agents);
        else if (a == "--agent-services") ok = word(&o->agentServices);
        else if (a == "--agent-first") ok = word(&o->agentFirst);
        else if (a == "--ext-first") ok = word(&o->extFirst);
        else if (a == "--periph") ok = word(&o->peripheral);
        else if (a == "--expect") ok = Number(v, 0, 1LL << 31, &n), o->expect = static_cast<int>(n);
        else if (a == "--gap") ok = Seconds(v, &o->gap) && o->gap > 0;
        else if (a == "--idle-timeout") ok = Number(v, 20, 3600, &n), o->idleTimeout = static_cast<int>(n);
        else if (a == "--ident") ok = !v.empty() && v.size() < 40, o->ident = v;
        else if (a == "--ready-file") ok = true, o->readyFile = v;
        else return *error = "unknown option " + a, false;
        if (!ok) return *error = "bad value for " + a + ": " + v, false;
    }
    const uint32_t ext = o->extFirst ? o->extFirst : o->agentFirst + 500000;
    if (o->port == 0) return *error = "--port is required", false;
    if (o->monitors > o->sessions) return *error = "--monitors exceeds --sessions", false;
    if (uint64_t{o->agentFirst} + static_cast<uint64_t>(o->agents) > 0x7FFFFFFF ||
        uint64_t{ext} + static_cast<uint64_t>(o->agents) > 0x7FFFFFFF)
        return *error = "the agent range runs past 0x7FFFFFFF", false;
    if (o->mode == "app-sessions" && o->sessions + o->agents > kMaxCount)
        return *error = "more sessions than one process may hold", false;
    return true;
}

std::vector<std::string> AppOpenWords(const AppOptions& o, uint32_t services, int index, int agentIndex) {
    std::vector<std::string> words = {"ServiceMask=" + std::to_string(services),
                                      "IdleTimeout=" + std::to_string(o.idleTimeout),
                                      // An agent's desk keeps its name from one session to the next.
                                      "ClientID=" + o.ident + (agentIndex >= 0 ? "-agent" + std::to_string(agentIndex)
                                                                               : std::to_string(index)),
                                      "CallMsgMask=0xFFFFFFFF",
                                      "AgentStateMask=0x3FFF"};
    if (agentIndex >= 0) {
        const uint32_t ext = (o.extFirst ? o.extFirst : o.agentFirst + 500000) + static_cast<uint32_t>(agentIndex);
        words.push_back("AgentID=" + std::to_string(o.agentFirst + static_cast<uint32_t>(agentIndex)));
        words.push_back("AgentExtension=" + std::to_string(ext));
        words.push_back("AgentInstrument=" + std::to_string(ext));
        words.push_back("CTIPeripheralID=" + std::to_string(o.peripheral));
    }
    return words;
}

int RunAppMode(const AppOptions& o) {
    if (o.mode == "app-opens") return RunOpens(o);
    if (o.mode == "app-sessions") return RunSessions(o);
    return 2;
}

}  // namespace parloload
