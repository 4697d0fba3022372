// parlo-load: the load side of the fan-out and many-session figures, run by hand (see
// bench/parlo/fanout.sh). Modes:
//   cti-readers    open N ALL_EVENTS sessions and count the stamped events they receive
//   redis-readers  N subscribers of one channel, counting the same stamped events
//   redis-publish  PUBLISH the stamped event at a rate (0: as fast as the server takes it)
//   idle           open N sessions that only heartbeat; with --probe, one more session
//                  measures the heartbeat round trip
//   opens          open and close sessions back to back, counting opens per second
//   app-opens, app-sessions   the application's figures (loadapp.h)
//   control        call-control requests in a closed loop (loadcontrol.h)
// Every mode prints "RESULT key=value ..." lines at its end.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ctimsg/elementids.h"
#include "ctimsg/messages/messages.h"
#include "peers/client/cticlient.h"
#include "peers/client/loadapp.h"
#include "peers/client/loadcontrol.h"
#include "peers/client/loadevent.h"
#include "platform/byteorder.h"
#include "platform/clock.h"

namespace {

constexpr uint32_t kOpenConf = 4;
constexpr uint32_t kHeartbeatConf = 6;
constexpr uint32_t kCallDelivered = 9;
constexpr uint32_t kHeaderBytes = 8;
// Redis keeps the replies of one client in a 16 KB buffer before it falls back to a slower
// list: a publisher batch at saturation is sized to fit it.
constexpr size_t kRedisReplyBuffer = 16384;
// What a RESP push adds to the payload (array, "message", the channel and the lengths), with
// room to spare.
constexpr size_t kRedisPushOverhead = 64;

struct LoadOptions {
    std::string mode;
    std::string host = "127.0.0.1";
    int port = 0;
    int sessions = 1;
    int threads = 1;
    double duration = 10;
    double warmup = 2;
    double rate = 0;
    bool tls = false;
    bool probe = false;
    int idleTimeout = 60;
    std::string channel = "parlo";
    std::string ident = "load";
    std::string readyFile;
    int64_t pollNs = 0;
    int batch = 0;     // redis-publish at saturation: PUBLISHes per write and unanswered (0: fit the reply buffer)
    int inflight = 4;  // redis-publish paced: PUBLISHes that may wait for their reply
    uint32_t services = 0x10;       // idle: the sessions' service mask
    std::string peripheral = "-1";  // idle: their CTIPeripheralID
};

int64_t NowNs() { return plat::MonotonicNs(); }

// Delays in nanoseconds, log-linear without an upper bound: 64 buckets per power of two, so
// a percentile is within 1.6 % whatever the delay, seconds included.
class Histogram {
public:
    static constexpr int kSubBits = 6;
    static constexpr uint64_t kSub = uint64_t{1} << kSubBits;
    Histogram() : m_Counts(kSub * 2 + (64 - kSubBits) * kSub, 0) {}
    void Add(int64_t ns) {
        ++m_Counts[Index(ns < 0 ? 0 : static_cast<uint64_t>(ns))];
        ++m_Total;
    }
    void Merge(const Histogram& other) {
        for (size_t i = 0; i < m_Counts.size(); ++i) m_Counts[i] += other.m_Counts[i];
        m_Total += other.m_Total;
    }
    // The percentile in microseconds, the middle of its bucket (-1 when empty).
    int64_t Percentile(double p) const {
        if (m_Total == 0) return -1;
        const uint64_t rank = static_cast<uint64_t>(p / 100.0 * static_cast<double>(m_Total - 1)) + 1;
        uint64_t seen = 0;
        for (size_t i = 0; i < m_Counts.size(); ++i) {
            seen += m_Counts[i];
            if (seen >= rank) return static_cast<int64_t>(Middle(i) / 1000);
        }
        return -1;
    }
    uint64_t Total() const { return m_Total; }

private:
    // Values below 2 * kSub have a bucket each; above, the top kSubBits + 1 bits choose it.
    static size_t Index(uint64_t v) {
        if (v < kSub * 2) return static_cast<size_t>(v);
        const int shift = 63 - __builtin_clzll(v) - kSubBits;
        return static_cast<size_t>(kSub * 2 + static_cast<uint64_t>(shift - 1) * kSub + ((v >> shift) - kSub));
    }
    static uint64_t Middle(size_t index) {
        if (index < kSub * 2) return index;
        const uint64_t shift = (index - kSub * 2) / kSub + 1;
        const uint64_t top = (index - kSub * 2) % kSub + kSub;
        return (top << shift) + (uint64_t{1} << shift) / 2;
    }
    std::vector<uint64_t> m_Counts;
    uint64_t m_Total = 0;
};

// One client connection: plain or TLS, blocking until it is set up, then non-blocking.
class Link {
public:
    Link() = default;
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;
    ~Link() {
        if (m_Ssl) SSL_free(m_Ssl);
        if (m_Fd >= 0) close(m_Fd);
    }

    bool Connect(const LoadOptions& o, SSL_CTX* ctx) {
        m_Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_Fd < 0) return false;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(o.port));
        if (inet_pton(AF_INET, o.host.c_str(), &addr.sin_addr) != 1) return false;
        if (connect(m_Fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
        const int one = 1;
        (void)setsockopt(m_Fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (ctx != nullptr) {
            m_Ssl = SSL_new(ctx);
            SSL_set_fd(m_Ssl, m_Fd);
            if (SSL_connect(m_Ssl) != 1) return false;
        }
        return true;
    }
    void SetNonBlocking() { (void)fcntl(m_Fd, F_SETFL, fcntl(m_Fd, F_GETFL) | O_NONBLOCK); }
    int Fd() const { return m_Fd; }

    // Writes all bytes (blocking sockets, or retrying a non-blocking one); false on error.
    bool WriteAll(const uint8_t* data, size_t length) {
        size_t done = 0;
        while (done < length) {
            const int n = m_Ssl ? SSL_write(m_Ssl, data + done, static_cast<int>(length - done))
                                : static_cast<int>(send(m_Fd, data + done, length - done, MSG_NOSIGNAL));
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (WouldBlock(n)) {
                plat::SleepForMs(1);
                continue;
            }
            return false;
        }
        return true;
    }
    // Reads what is there into the input buffer: >0 bytes, 0 would block, -1 closed or error.
    static constexpr int kChunk = 65536;
    int ReadSome() {
        uint8_t chunk[kChunk];
        const int n = m_Ssl ? SSL_read(m_Ssl, chunk, sizeof chunk)
                            : static_cast<int>(recv(m_Fd, chunk, sizeof chunk, 0));
        if (n > 0) {
            m_In.insert(m_In.end(), chunk, chunk + n);
            return n;
        }
        if (n < 0 && WouldBlock(n)) return 0;
        return -1;
    }
    std::vector<uint8_t>& In() { return m_In; }
    bool HasPendingTLS() const { return m_Ssl != nullptr && SSL_pending(m_Ssl) > 0; }
    bool IsTLS() const { return m_Ssl != nullptr; }

    int64_t nextHeartbeat = 0;
    uint32_t invokeID = 1;

private:
    bool WouldBlock(int n) const {
        if (m_Ssl) {
            const int e = SSL_get_error(m_Ssl, n);
            return e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    int m_Fd = -1;
    SSL* m_Ssl = nullptr;
    std::vector<uint8_t> m_In;
};

std::vector<uint8_t> Frame(BaseMSG& msg) {
    std::string error;
    std::vector<uint8_t> frame = cticlient::EncodeFrame(msg, 24, &error);
    if (frame.empty()) fprintf(stderr, "parlo-load: cannot encode: %s\n", error.c_str());
    return frame;
}

std::vector<uint8_t> OpenFrame(const LoadOptions& o, int index, uint32_t services) {
    std::string error;
    const std::vector<std::string> words = {
        "ServiceMask=" + std::to_string(services), "IdleTimeout=" + std::to_string(o.idleTimeout),
        "ClientID=" + o.ident + std::to_string(index), "CallMsgMask=0xFFFFFFFF", "AgentStateMask=0x3FFF",
        "CTIPeripheralID=" + o.peripheral};
    BaseMSGPtr open = cticlient::MakeOpenReq(words, &error);
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

// Takes the complete CTI frames off the front of in; calls seen(type, frame, length).
template <class F>
bool TakeFrames(std::vector<uint8_t>& in, F seen) {
    size_t at = 0;
    while (in.size() - at >= kHeaderBytes) {
        const uint32_t body = plat::LoadBE32(in.data() + at);
        if (body > cticlient::kMaxBody) return false;
        if (in.size() - at < kHeaderBytes + body) break;
        seen(plat::LoadBE32(in.data() + at + 4), in.data() + at, kHeaderBytes + body);
        at += kHeaderBytes + body;
    }
    in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(at));
    return true;
}

// Reads one frame blocking; its type, or 0 on error.
uint32_t AwaitFrame(Link& link) {
    for (;;) {
        uint32_t type = 0;
        if (!TakeFrames(link.In(), [&](uint32_t t, const uint8_t*, size_t) {
                if (type == 0) type = t;
            }))
            return 0;
        if (type != 0) return type;
        if (link.ReadSome() < 0) return 0;
    }
}

SSL_CTX* MakeContext(const LoadOptions& o) {
    if (!o.tls) return nullptr;
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    return ctx;
}

void TouchReady(const LoadOptions& o) {
    if (o.readyFile.empty()) return;
    std::ofstream(o.readyFile) << "ready\n";
}

// ---------------------------------------------------------------- readers

enum class Protocol { CTI, Redis };

struct ReaderStats {
    uint64_t received = 0;
    Histogram latency;
};

// Takes complete RESP pushes ("*3 $7 message $n channel $n payload") off the front of in.
template <class F>
bool TakeRedisMessages(std::vector<uint8_t>& in, F seen) {
    size_t at = 0;
    auto line = [&](size_t from, size_t& end) -> bool {
        for (size_t i = from; i + 1 < in.size(); ++i)
            if (in[i] == '\r' && in[i + 1] == '\n') {
                end = i;
                return true;
            }
        return false;
    };
    for (;;) {
        size_t pos = at, end = 0;
        if (pos >= in.size() || in[pos] != '*' || !line(pos, end)) break;
        const long items = std::strtol(reinterpret_cast<const char*>(in.data() + pos + 1), nullptr, 10);
        pos = end + 2;
        bool complete = true;
        const uint8_t* payload = nullptr;
        size_t payloadLength = 0;
        for (long k = 0; k < items && complete; ++k) {
            if (pos >= in.size() || !line(pos, end)) {
                complete = false;
                break;
            }
            if (in[pos] == ':') {  // an integer (the subscription count)
                pos = end + 2;
                continue;
            }
            const long n = std::strtol(reinterpret_cast<const char*>(in.data() + pos + 1), nullptr, 10);
            if (n < 0 || n > 1 << 20) return false;
            const size_t start = end + 2;
            if (in.size() < start + static_cast<size_t>(n) + 2) {
                complete = false;
                break;
            }
            payload = in.data() + start;
            payloadLength = static_cast<size_t>(n);
            pos = start + static_cast<size_t>(n) + 2;
        }
        if (!complete) break;
        seen(payload, payloadLength);
        at = pos;
    }
    in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(at));
    return true;
}

int RunReaders(const LoadOptions& o, Protocol protocol) {
    if (protocol == Protocol::CTI) parloload::DefineFanoutVariables();
    SSL_CTX* ctx = MakeContext(o);
    std::vector<std::vector<std::unique_ptr<Link>>> perThread(static_cast<size_t>(o.threads));
    const std::vector<uint8_t> subscribe = [&] {
        const std::string cmd = "*2\r\n$9\r\nSUBSCRIBE\r\n$" + std::to_string(o.channel.size()) + "\r\n" + o.channel + "\r\n";
        return std::vector<uint8_t>(cmd.begin(), cmd.end());
    }();
    for (int i = 0; i < o.sessions; ++i) {
        auto link = std::make_unique<Link>();
        if (!link->Connect(o, ctx)) {
            fprintf(stderr, "parlo-load: connection %d failed: %s\n", i, strerror(errno));
            return 1;
        }
        if (protocol == Protocol::CTI) {
            const auto open = OpenFrame(o, i, 0x10);
            if (!link->WriteAll(open.data(), open.size()) || AwaitFrame(*link) != kOpenConf) {
                fprintf(stderr, "parlo-load: session %d not opened\n", i);
                return 1;
            }
        } else {
            if (!link->WriteAll(subscribe.data(), subscribe.size())) return 1;
            bool subscribed = false;
            while (!subscribed) {
                if (link->ReadSome() < 0) return 1;
                if (!TakeRedisMessages(link->In(), [&](const uint8_t*, size_t) { subscribed = true; })) return 1;
            }
        }
        link->SetNonBlocking();
        link->nextHeartbeat = NowNs() + int64_t{o.idleTimeout} * 1000000000 / 3;
        perThread[static_cast<size_t>(i % o.threads)].push_back(std::move(link));
    }
    TouchReady(o);
    const int64_t start = NowNs() + static_cast<int64_t>(o.warmup * 1e9);
    const int64_t end = start + static_cast<int64_t>(o.duration * 1e9);
    std::vector<ReaderStats> stats(static_cast<size_t>(o.threads));
    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < o.threads; ++t) {
        threads.emplace_back([&, t] {
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
            int64_t lastEvent = 0;
            for (;;) {
                const int64_t now = NowNs();
                if (now >= end) break;
                // --poll-us: right after traffic the reader polls instead of sleeping, so
                // that what it measures is the server's delivery, not its own wake-ups.
                const bool polling = o.pollNs > 0 && now - lastEvent < o.pollNs;
                const int n = epoll_wait(ep, events.data(), static_cast<int>(events.size()), polling ? 0 : 100);
                if (n > 0) lastEvent = now;
                for (int e = 0; e < n; ++e) {
                    Link& link = *links[events[static_cast<size_t>(e)].data.u64];
                    // Each chunk is counted as it is read, so that the input buffer stays one
                    // chunk long however far the server is ahead. A short plain read drained
                    // the socket: a second recv would only say so, a syscall per event that
                    // the readers of both servers paid for nothing. At most kTurnChunks a turn,
                    // so that one busy connection does not starve the others.
                    constexpr int kTurnChunks = 16;
                    int got;
                    int chunks = 0;
                    do {
                        got = link.ReadSome();
                        if (got < 0) failed = true;
                        const int64_t at = NowNs();
                        auto count = [&](const uint8_t* data, size_t length) {
                            const int64_t stamp = parloload::FindStamp(data, length);
                            if (stamp < start || at >= end) return;
                            ++mine.received;
                            mine.latency.Add(at - stamp);
                        };
                        const bool ok = protocol == Protocol::CTI
                                            ? TakeFrames(link.In(), [&](uint32_t type, const uint8_t* f, size_t len) {
                                                  if (type == kCallDelivered) count(f, len);
                                              })
                                            : TakeRedisMessages(link.In(), count);
                        if (!ok) failed = true;
                    } while (got > 0 && (link.IsTLS() || got == Link::kChunk) && ++chunks < kTurnChunks);
                }
                if (protocol == Protocol::CTI && !links.empty()) {
                    // A few heartbeats a turn, oldest due first.
                    for (int k = 0; k < 64; ++k) {
                        Link& link = *links[heartbeatCursor];
                        if (link.nextHeartbeat > now) break;
                        const auto hb = HeartbeatFrame(link.invokeID++);
                        if (!link.WriteAll(hb.data(), hb.size())) failed = true;
                        link.nextHeartbeat = now + int64_t{o.idleTimeout} * 1000000000 / 3;
                        heartbeatCursor = (heartbeatCursor + 1) % links.size();
                    }
                }
            }
            close(ep);
        });
    }
    for (auto& th : threads) th.join();
    ReaderStats total;
    for (const auto& s : stats) {
        total.received += s.received;
        total.latency.Merge(s.latency);
    }
    printf("RESULT mode=%s sessions=%d received=%llu per_second=%.0f p50_us=%lld p99_us=%lld failed=%d\n",
           o.mode.c_str(), o.sessions, static_cast<unsigned long long>(total.received),
           static_cast<double>(total.received) / o.duration, static_cast<long long>(total.latency.Percentile(50)),
           static_cast<long long>(total.latency.Percentile(99)), failed.load() ? 1 : 0);
    fflush(stdout);
    if (ctx) SSL_CTX_free(ctx);
    return 0;
}

// ---------------------------------------------------------------- Redis publisher

int RunRedisPublish(const LoadOptions& o) {
    parloload::DefineFanoutVariables();
    Link link;
    if (!link.Connect(o, nullptr)) {
        fprintf(stderr, "parlo-load: cannot reach redis: %s\n", strerror(errno));
        return 1;
    }
    BaseMSGPtr event = parloload::MakeFanoutEvent(NowNs());
    const size_t frameBytes = Frame(*event).size();
    const int64_t stop = NowNs() + static_cast<int64_t>(o.duration * 1e9);
    const int64_t period = o.rate > 0 ? static_cast<int64_t>(1e9 / o.rate) : 0;
    int64_t next = NowNs();
    uint64_t published = 0, replies = 0;
    // At saturation: a batch of PUBLISHes per write, as many unanswered, and no more than
    // every subscriber's share fits Redis's reply buffer. Paced: the publisher keeps its
    // times and lets a few replies wait, so that one slow PUBLISH does not hold the next.
    const int fits = static_cast<int>(std::max<size_t>(1, kRedisReplyBuffer / (frameBytes + kRedisPushOverhead)));
    const int batch = period > 0 ? 1 : (o.batch > 0 ? o.batch : fits);
    const uint64_t window = period > 0 ? static_cast<uint64_t>(std::max(1, o.inflight)) : static_cast<uint64_t>(batch);
    link.SetNonBlocking();
    auto takeReplies = [&] {
        if (link.ReadSome() < 0) return false;
        auto& in = link.In();
        size_t at = 0;
        for (size_t i = 0; i + 1 < in.size(); ++i)
            if (in[i] == '\r' && in[i + 1] == '\n') {
                ++replies;
                at = i + 2;
                ++i;
            }
        in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(at));
        return true;
    };
    std::vector<uint8_t> out;
    while (NowNs() < stop) {
        if (!takeReplies()) return 1;
        if (published - replies + static_cast<uint64_t>(batch) > window) {
            pollfd wait{link.Fd(), POLLIN, 0};
            (void)poll(&wait, 1, 1);
            continue;
        }
        if (period > 0) {
            if (NowNs() < next) {
                plat::SleepUntil(std::min(next, stop));
                continue;
            }
            next += period;
        }
        out.clear();
        for (int b = 0; b < batch; ++b) {
            parloload::StampFanoutEvent(*event, NowNs());
            const std::vector<uint8_t> bytes = Frame(*event);
            const std::string head = "*3\r\n$7\r\nPUBLISH\r\n$" + std::to_string(o.channel.size()) + "\r\n" +
                                     o.channel + "\r\n$" + std::to_string(bytes.size()) + "\r\n";
            out.insert(out.end(), head.begin(), head.end());
            out.insert(out.end(), bytes.begin(), bytes.end());
            out.push_back('\r');
            out.push_back('\n');
        }
        if (!link.WriteAll(out.data(), out.size())) return 1;
        published += static_cast<uint64_t>(batch);
    }
    printf("RESULT mode=redis-publish published=%llu batch=%d inflight=%llu\n", static_cast<unsigned long long>(published),
           batch, static_cast<unsigned long long>(window));
    return 0;
}

// ---------------------------------------------------------------- idle sessions and probe

int RunIdle(const LoadOptions& o) {
    SSL_CTX* ctx = MakeContext(o);
    std::vector<std::unique_ptr<Link>> links;
    links.reserve(static_cast<size_t>(o.sessions));
    for (int i = 0; i < o.sessions; ++i) {
        auto link = std::make_unique<Link>();
        const auto open = OpenFrame(o, i, o.services);
        if (!link->Connect(o, ctx) || !link->WriteAll(open.data(), open.size()) || AwaitFrame(*link) != kOpenConf) {
            fprintf(stderr, "parlo-load: idle session %d not opened\n", i);
            return 1;
        }
        link->SetNonBlocking();
        link->nextHeartbeat = NowNs() + int64_t{o.idleTimeout} * 1000000000 / 3 * (i % 97) / 97;
        links.push_back(std::move(link));
    }
    std::unique_ptr<Link> probe;
    if (o.probe) {
        probe = std::make_unique<Link>();
        const auto open = OpenFrame(o, o.sessions, o.services);
        if (!probe->Connect(o, ctx) || !probe->WriteAll(open.data(), open.size()) || AwaitFrame(*probe) != kOpenConf)
            return 1;
    }
    TouchReady(o);
    Histogram rtt;
    const int64_t stop = NowNs() + static_cast<int64_t>((o.warmup + o.duration) * 1e9);
    const int64_t measureFrom = NowNs() + static_cast<int64_t>(o.warmup * 1e9);
    int64_t nextProbe = NowNs();
    while (NowNs() < stop) {
        const int64_t now = NowNs();
        for (auto& each : links) {
            Link& link = *each;
            if (link.nextHeartbeat > now) continue;
            const auto hb = HeartbeatFrame(link.invokeID++);
            if (!link.WriteAll(hb.data(), hb.size())) {
                fprintf(stderr, "parlo-load: heartbeat failed\n");
                return 1;
            }
            link.nextHeartbeat = now + int64_t{o.idleTimeout} * 1000000000 / 3;
            // Drain what came back so the socket buffers stay empty.
            while (link.ReadSome() > 0) {
            }
            link.In().clear();
        }
        if (probe && now >= nextProbe) {
            const auto hb = HeartbeatFrame(probe->invokeID++);
            const int64_t sent = NowNs();
            if (!probe->WriteAll(hb.data(), hb.size()) || AwaitFrame(*probe) != kHeartbeatConf) return 1;
            if (sent >= measureFrom) rtt.Add(NowNs() - sent);
            nextProbe = sent + 20000000;
        }
        plat::SleepForMs(5);
    }
    printf("RESULT mode=idle sessions=%d tls=%d probes=%llu rtt_p50_us=%lld rtt_p99_us=%lld\n", o.sessions,
           o.tls ? 1 : 0, static_cast<unsigned long long>(rtt.Total()), static_cast<long long>(rtt.Percentile(50)),
           static_cast<long long>(rtt.Percentile(99)));
    fflush(stdout);
    if (ctx) SSL_CTX_free(ctx);
    return 0;
}

// ---------------------------------------------------------------- opens per second

int RunOpens(const LoadOptions& o) {
    std::atomic<uint64_t> opens{0};
    std::atomic<bool> failed{false};
    const int64_t start = NowNs() + static_cast<int64_t>(o.warmup * 1e9);
    const int64_t stop = start + static_cast<int64_t>(o.duration * 1e9);
    std::vector<std::thread> threads;
    for (int t = 0; t < o.threads; ++t) {
        threads.emplace_back([&, t] {
            int i = t;
            CloseReqMSG close;
            close.SetUINT(elementid::InvokeID, 2);
            close.SetUINT(elementid::Status, 0);
            const auto closeFrame = Frame(close);
            while (NowNs() < stop) {
                Link link;
                const auto open = OpenFrame(o, i, o.services);
                i += o.threads;
                if (!link.Connect(o, nullptr) || !link.WriteAll(open.data(), open.size()) ||
                    AwaitFrame(link) != kOpenConf) {
                    failed = true;
                    return;
                }
                if (NowNs() >= start && NowNs() < stop) ++opens;
                (void)link.WriteAll(closeFrame.data(), closeFrame.size());
                (void)AwaitFrame(link);
            }
        });
    }
    for (auto& th : threads) th.join();
    printf("RESULT mode=opens threads=%d opens=%llu per_second=%.0f failed=%d\n", o.threads,
           static_cast<unsigned long long>(opens.load()), static_cast<double>(opens.load()) / o.duration,
           failed.load() ? 1 : 0);
    return 0;
}

int Usage() {
    fprintf(stderr,
            "usage: parlo-load MODE --port P [--host H] [--sessions N] [--threads T] [--duration S]\n"
            "       [--warmup S] [--rate R] [--tls] [--probe] [--idle-timeout S] [--channel C]\n"
            "       [--ident TEXT] [--ready-file FILE] [--poll-us US] [--batch N] [--inflight N]\n"
            "       [--services MASK] [--periph ID]\n"
            "MODE: cti-readers | redis-readers | redis-publish | idle | opens\n"
            "       parlo-load app-opens|app-sessions --port P [--threads T] [--duration S] [--warmup S]\n"
            "       [--rate R] [--sessions N] [--services MASK] [--monitors N] [--agents N]\n"
            "       [--agent-services MASK] [--agent-first ID] [--ext-first EXT] [--periph ID]\n"
            "       [--expect N] [--gap S] [--idle-timeout S] [--ident TEXT] [--ready-file FILE]\n"
            "       parlo-load control --port P [--sessions N] [--threads T] [--duration S] [--warmup S]\n"
            "       [--services MASK] [--periph ID] [--requests KIND,...] [--ident TEXT] [--ready-file FILE]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    LoadOptions o;
    o.mode = argv[1];
    if (parloload::IsAppMode(o.mode)) {
        parloload::AppOptions app;
        app.mode = o.mode;
        std::string error;
        if (!parloload::ParseAppOptions(std::vector<std::string>(argv + 2, argv + argc), &app, &error)) {
            fprintf(stderr, "parlo-load: %s\n", error.c_str());
            return Usage();
        }
        return parloload::RunAppMode(app);
    }
    if (parloload::IsControlMode(o.mode)) {
        parloload::ControlOptions control;
        std::string error;
        if (!parloload::ParseControlOptions(std::vector<std::string>(argv + 2, argv + argc), &control, &error)) {
            fprintf(stderr, "parlo-load: %s\n", error.c_str());
            return Usage();
        }
        return parloload::RunControlMode(control);
    }
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--host") o.host = value();
        else if (a == "--port") o.port = std::atoi(value().c_str());
        else if (a == "--sessions") o.sessions = std::max(1, std::atoi(value().c_str()));
        else if (a == "--threads") o.threads = std::max(1, std::atoi(value().c_str()));
        else if (a == "--duration") o.duration = std::atof(value().c_str());
        else if (a == "--warmup") o.warmup = std::atof(value().c_str());
        else if (a == "--rate") o.rate = std::atof(value().c_str());
        else if (a == "--tls") o.tls = true;
        else if (a == "--probe") o.probe = true;
        else if (a == "--idle-timeout") o.idleTimeout = std::max(20, std::atoi(value().c_str()));
        else if (a == "--channel") o.channel = value();
        else if (a == "--ident") o.ident = value();
        else if (a == "--ready-file") o.readyFile = value();
        else if (a == "--poll-us") o.pollNs = std::clamp<int64_t>(std::atoll(value().c_str()), 0, 1000000) * 1000;
        else if (a == "--batch") o.batch = std::clamp(std::atoi(value().c_str()), 0, 1000);
        else if (a == "--inflight") o.inflight = std::clamp(std::atoi(value().c_str()), 1, 1000);
        else if (a == "--services") o.services = static_cast<uint32_t>(std::strtoul(value().c_str(), nullptr, 0));
        else if (a == "--periph") o.peripheral = value();
        else return Usage();
    }
    if (o.port <= 0 || o.duration <= 0) return Usage();
    if (o.mode == "cti-readers" || o.mode == "redis-readers") o.threads = std::min(o.threads, o.sessions);
    if (o.mode == "cti-readers") return RunReaders(o, Protocol::CTI);
    if (o.mode == "redis-readers") return RunReaders(o, Protocol::Redis);
    if (o.mode == "redis-publish") return RunRedisPublish(o);
    if (o.mode == "idle") return RunIdle(o);
    if (o.mode == "opens") return RunOpens(o);
    return Usage();
}
