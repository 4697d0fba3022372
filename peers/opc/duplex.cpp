#include "peers/opc/duplex.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "peers/opc/opc_wire.h"
#include "platform/byteorder.h"
#include "platform/clock.h"

namespace opcpeer {

namespace {

constexpr int64_t kNsPerMs = 1000000;

std::string Line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Line(const char* fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

}  // namespace

Duplex::Duplex(SendFn send, PrintFn print, const Options& options)
    : send_(std::move(send)), print_(std::move(print)), options_(options) {
    options_.watchMs = std::max<uint32_t>(options_.watchMs, 1);
    options_.heartbeatMs = std::max<uint32_t>(options_.heartbeatMs, 1);
}

Duplex::~Duplex() {
    {
        std::lock_guard<std::mutex> g(mu_);
        quit_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void Duplex::Start() { thread_ = std::thread([this] { Run(); }); }

int Duplex::Active() {
    std::lock_guard<std::mutex> g(mu_);
    return active_;
}

void Duplex::Send(int side, uint8_t type, const std::vector<uint8_t>& body) {
    std::vector<uint8_t> payload;
    PutLE32(payload, 0, options_.serverNumber);
    payload.insert(payload.end(), body.begin(), body.end());
    if (!send_(side, type, payload))
        Print(Line("parlo-opc: duplex: %s to side %s not sent", OpcTypeName(type).c_str(),
                   SideName(side)));
}

void Duplex::SendSetIdle(int side) {
    SetModeReq r;
    r.side = SideWord(side);
    r.text = "duplex";
    Send(side, kSetIdleReq, WriteSetModeReq(r));
}

void Duplex::SendSetActive(int side, uint32_t activeSide) {
    SetModeReq r;
    r.side = activeSide;
    r.second = options_.hbSeconds;
    r.text = "duplex";
    Send(side, kSetActiveReq, WriteSetModeReq(r));
}

void Duplex::SendConfig(int side, uint32_t table, const std::vector<uint8_t>& records,
                        uint32_t num) {
    ConfigReq r;
    r.table = table;
    r.num = num;
    r.records = records;
    Send(side, kConfigureReq, WriteConfigReq(r));
}

void Duplex::OnMessage(int side, uint8_t type, const uint8_t* payload, size_t len) {
    if (side != kSideA && side != kSideB) return;
    if (type == kActiveHeartBeat) {
        std::lock_guard<std::mutex> g(mu_);
        if (side == active_) lastSignNs_ = plat::MonotonicNs();
        return;
    }
    if (type != kOkAck && type != kErrorAck) return;
    Ack ack;
    std::string error;
    if (len < 4 || !ReadAck(payload + 4, len - 4, &ack, &error)) return;  // the stand-in says why
    std::string line;
    {
        std::lock_guard<std::mutex> g(mu_);
        if (ack.answeredType == kSetIdleReq) {
            if (!idled_[side]) line = Line("parlo-opc: duplex: side %s is idle", SideName(side));
            idled_[side] = true;
        } else if (ack.answeredType == kSetActiveReq && type == kOkAck) {
            if (side == active_) lastSignNs_ = plat::MonotonicNs();
            line = Line("parlo-opc: duplex: side %s is %s", SideName(side),
                        side == active_ ? "active" : "standby");
        } else if (ack.answeredType == kSetActiveReq) {
            if (side == active_) {
                failed_ = true;  // the watch loop fails over and says so
            } else {
                line = Line("parlo-opc: duplex: side %s refused the standby", SideName(side));
            }
        }
    }
    cv_.notify_all();
    if (!line.empty()) Print(line);
}

void Duplex::Failover(int from, const std::string& why) {
    const int to = 1 - from;
    Print(Line("parlo-opc: duplex: side %s %s", SideName(from), why.c_str()));
    Print(Line("parlo-opc: duplex: idling side %s, activating side %s", SideName(from),
               SideName(to)));
    {
        std::lock_guard<std::mutex> g(mu_);
        active_ = to;
        failed_ = false;
        lastSignNs_ = plat::MonotonicNs();
    }
    SendSetIdle(from);
    // Both sides hear it: the new active side activates, the idled one may stand by.
    SendSetActive(to, SideWord(to));
    SendSetActive(from, SideWord(to));
}

void Duplex::Run() {
    // The servers may come up after us (and side B's relay may join later): repeat the
    // set-idle to each side until it answers.
    for (uint32_t round = 0; round < options_.idleTries; ++round) {
        for (int side : {kSideA, kSideB}) {
            bool idle;
            {
                std::lock_guard<std::mutex> g(mu_);
                idle = idled_[side];
            }
            if (!idle) SendSetIdle(side);
        }
        std::unique_lock<std::mutex> lock(mu_);
        plat::WaitUntil(cv_, lock, plat::DeadlineAfterMs(options_.retryMs),
                        [this] { return quit_ || (idled_[0] && idled_[1]); });
        if (quit_) return;
        if (idled_[0] && idled_[1]) break;
    }
    {
        std::lock_guard<std::mutex> g(mu_);
        for (int side : {kSideA, kSideB})
            if (!idled_[side])
                print_(Line("parlo-opc: duplex: side %s did not answer the set-idle",
                            SideName(side)));
    }
    std::vector<uint8_t> peripheral;
    AppendPeripheral(peripheral, options_.peripheralID, options_.clientType, 0, 0);
    for (int side : {kSideA, kSideB}) {
        SendConfig(side, 11, peripheral, 1);
        SendConfig(side, 0, {}, 0);
    }
    {
        std::lock_guard<std::mutex> g(mu_);
        active_ = kSideA;
        lastSignNs_ = plat::MonotonicNs();
    }
    Print("parlo-opc: duplex: activating side A");
    for (int side : {kSideA, kSideB}) SendSetActive(side, SideWord(kSideA));

    const int64_t watchNs = 3 * static_cast<int64_t>(options_.watchMs) * kNsPerMs;
    int64_t nextBeatNs = plat::DeadlineAfterMs(options_.heartbeatMs);
    std::unique_lock<std::mutex> lock(mu_);
    while (!quit_) {
        const int64_t silentAt = lastSignNs_ + watchNs;
        plat::WaitUntil(cv_, lock, std::min(nextBeatNs, silentAt),
                        [this] { return quit_ || failed_; });
        if (quit_) break;
        const int64_t now = plat::MonotonicNs();
        const int active = active_;
        std::string why;
        if (failed_) {
            why = "reported a failure";
        } else if (now >= lastSignNs_ + watchNs) {
            why = Line("sent no heartbeat for %lld ms",
                       static_cast<long long>((now - lastSignNs_) / kNsPerMs));
        }
        lock.unlock();
        if (!why.empty()) Failover(active, why);
        if (now >= nextBeatNs) {
            for (int side : {kSideA, kSideB}) Send(side, kHeartBeat, {});
            nextBeatNs = std::max(nextBeatNs + options_.heartbeatMs * kNsPerMs, now + kNsPerMs);
        }
        lock.lock();
    }
}

bool AppendLinkFrame(std::vector<uint8_t>& out, uint8_t type, const std::vector<uint8_t>& payload) {
    if (payload.size() > kMaxPayload) return false;
    out.push_back(type);
    out.resize(out.size() + 2);
    plat::StoreLE16(out.data() + out.size() - 2, static_cast<uint16_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    return true;
}

bool ReadLinkHeader(const uint8_t (&header)[kLinkHeader], uint8_t* type, size_t* length) {
    const size_t n = plat::LoadLE16(header + 1);
    if (n > kMaxPayload) return false;
    *type = header[0];
    *length = n;
    return true;
}

}  // namespace opcpeer
