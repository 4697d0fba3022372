// EMT over TCP: connect passes, the two handshakes, framed reads and writes with the
// RTT packets in front, and the listening side.
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "nuvlib/emt/emtpriv.h"
#include "nuvlib/emt/tcpiocpt.h"
#include "nuvlib/ems.h"
#include "platform/byteorder.h"

namespace emt {

namespace {

// Caller's interval in 100 ms units to ms. Values above 655 would wrap in 16 bits:
// they are held at the largest interval that is not "none".
uint16_t IntervalMs(uint16_t units) {
    if (units == EMT_NO_HEARTBEAT) return EMT_NO_HEARTBEAT;
    uint32_t ms = 100u * units;
    return static_cast<uint16_t>(ms > 65534 ? 65534 : ms);
}

// Waits up to ms on the current clock for input on s: >0 input (or a hang-up), 0 none,
// <0 a poll error (errno set).
int SocketInputAvailable(int s, uint32_t ms) {
    plat::ExternalWait wait(plat::DeadlineAfterMs(ms));
    for (;;) {
        pollfd p{s, POLLIN, 0};
        int rc = ::poll(&p, 1, wait.NextSliceMs());
        if (rc != 0 || wait.Expired()) return rc;
    }
}

// Collects n bytes within 100 polls of 100 ms; 0xE1030009 when they do not all come.
uint32_t ReadPolled(EmtControlBlock* cb, uint8_t* buf, uint32_t n, bool announce) {
    uint32_t got = 0;
    for (int round = 0; round < 100 && got < n; ++round) {
        int rc = SocketInputAvailable(cb->sock, 100);
        if (rc < 0) {
            if (errno == EINTR) continue;
            EMSTraceMessage("SocketInputAvailable: socket error %d",
                            static_cast<int>(ErrnoToEmtError(errno)));
            continue;
        }
        if (rc == 0) continue;
        ssize_t r = ::recv(cb->sock, buf + got, n - got, MSG_DONTWAIT);
        if (r == 0) return EMT_WSA_EDISCON;
        if (r < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return ErrnoToEmtError(errno);
        }
        got += static_cast<uint32_t>(r);
        if (got < n && announce && TraceOn(kTraceDetail))
            EMSTraceMessage("EMT %d: In TCPReceiveServerQoSHandshake, Read only: %u, keep reading",
                            cb->handle, got);
    }
    return got == n ? 0 : EMT_E_HANDSHAKE_TIMEOUT;
}

uint32_t SendBytes(EmtControlBlock* cb, const uint8_t* p, uint32_t n) {
    iovec v{const_cast<uint8_t*>(p), n};
    uint32_t r = TcpSendAll(cb->sock, &v, 1);
    if (r == 0) CountSent(cb, n);
    return r;
}

uint32_t SendPreQosClient(EmtControlBlock* cb) {
    uint8_t h[6] = {0xCD, 0};
    uint16_t units = cb->hbInterval == EMT_NO_HEARTBEAT ? EMT_NO_HEARTBEAT
                                                         : static_cast<uint16_t>(cb->hbInterval / 100);
    plat::StoreBE16(h + 2, units);
    std::memcpy(h + 4, &cb->hbLocal.sin_port, 2);
    uint32_t r = SendBytes(cb, h, 6);
    if (r) EMSTraceMessage("EMT %d: Send client pre-QoS handshake failed.", cb->handle);
    return r;
}

uint32_t RecvPreQosServer(EmtControlBlock* cb) {
    uint8_t h[4];
    uint32_t r = ReadPolled(cb, h, 4, false);
    if (r == 0 && (h[0] != 0xCD || h[1] != 0)) r = EMT_E_BAD_HANDSHAKE;
    if (r) {
        EMSTraceMessage("EMT %d: Recv server pre-QoS handshake failed.", cb->handle);
        return r;
    }
    CountRcvd(cb, 4);
    cb->hbPeer = cb->remote;
    std::memcpy(&cb->hbPeer.sin_port, h + 2, 2);
    cb->qosEnabled = 0;
    return 0;
}

uint32_t TCPClientHandshake(EmtControlBlock* cb, uint32_t attempt) {
    uint32_t r;
    if ((cb->flags & kCbPreQosOnly) || attempt % 2 == 0) {
        if (cb->flags & kCbPreQosOnly) {
            if ((r = SendPreQosClient(cb)) != 0) return r;
            if ((r = RecvPreQosServer(cb)) != 0) return r;
        } else {
            // A peer that speaks first: take its handshake, then answer.
            if ((r = RecvPreQosServer(cb)) != 0) return r;
            if ((r = SendPreQosClient(cb)) != 0) return r;
        }
        if (TraceOn(kTraceConn))
            EMSTraceMessage("EMT %d: Server selected version: %s", cb->handle, "pre-QoS version");
        return 0;
    }
    uint8_t h[152] = {};
    h[0] = 0xCD;
    h[1] = 1;
    h[2] = 0;
    h[3] = 1;
    plat::StoreLE16(h + 4, cb->hbInterval == EMT_NO_HEARTBEAT
                               ? EMT_NO_HEARTBEAT
                               : static_cast<uint16_t>(cb->hbInterval / 100));
    h[6] = cb->hbCount;
    plat::StoreLE16(h + 8, static_cast<uint16_t>(cb->pingInterval));
    plat::StoreLE16(h + 10, static_cast<uint16_t>(cb->replyDelay));
    EncodeFlowQos(cb->sendFlow, h + 16);
    EncodeFlowQos(cb->recvFlow, h + 84);
    if ((r = SendBytes(cb, h, 152)) != 0) {
        EMSTraceMessage("EMT %d: Send client QoS handshake failed.", cb->handle);
        return r;
    }
    uint8_t s[140];
    r = ReadPolled(cb, s, 4, true);
    if (r == 0 && (s[0] != 0xCD || s[1] != 1)) r = EMT_E_BAD_HANDSHAKE;
    if (r == 0) r = ReadPolled(cb, s + 4, 136, false);
    if (r) {
        EMSTraceMessage("EMT %d: Recv server QoS handshake failed.", cb->handle);
        return r;
    }
    CountRcvd(cb, 140);
    if (TraceOn(kTraceConn))
        EMSTraceMessage("EMT %d: Server selected version: %s", cb->handle, "QoS-enabled ver. 1");
    cb->qosEnabled = 1;
    uint32_t ownFlags = cb->recvFlow.flags;
    cb->recvFlow = DecodeFlowQos(s + 4);
    cb->recvFlow.flags = ownFlags;
    return 0;
}

uint32_t TCPServerHandshake(EmtControlBlock* cb) {
    uint8_t h[152];
    uint32_t got = 0;
    for (int round = 0; round < 100 && got < 6; ++round) {
        if (SocketInputAvailable(cb->sock, 100) <= 0) continue;
        ssize_t r = ::recv(cb->sock, h + got, 6 - got, MSG_DONTWAIT);
        if (r == 0) return EMT_WSA_EDISCON;
        if (r < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return ErrnoToEmtError(errno);
        }
        got += static_cast<uint32_t>(r);
        if (got < 6 && TraceOn(kTraceDetail))
            EMSTraceMessage("EMT %d: Got %d bytes, need to read more for full handshake header.",
                            cb->handle, static_cast<int>(got));
    }
    if (got < 6) return EMT_E_HANDSHAKE_TIMEOUT;
    if (h[0] != 0xCD) return EMT_E_BAD_HANDSHAKE;
    if (h[1] == 0) {
        CountRcvd(cb, 6);
        cb->hbInterval = IntervalMs(plat::LoadBE16(h + 2));
        cb->hbPeer = cb->remote;
        std::memcpy(&cb->hbPeer.sin_port, h + 4, 2);
        if (TraceOn(kTraceConn))
            EMSTraceMessage("EMT %d: Received pre-QoS client handshake.", cb->handle);
        uint8_t s[4] = {0xCD, 0};
        std::memcpy(s + 2, &cb->hbLocal.sin_port, 2);
        uint32_t r = SendBytes(cb, s, 4);
        if (r) return r;
        if (TraceOn(kTraceConn))
            EMSTraceMessage("EMT %d: Sent server pre-QoS handshake.", cb->handle);
        cb->qosEnabled = 0;
        return 0;
    }
    if (h[1] != 1) {
        EMSTraceMessage("EMT %d: Received unknown handshake version: %d.", cb->handle, h[1]);
        return EMT_E_BAD_HANDSHAKE;
    }
    uint32_t r = ReadPolled(cb, h + 6, 146, false);
    if (r) return r;
    CountRcvd(cb, 152);
    uint8_t lowest = h[2], highest = h[3];
    if (lowest > highest || lowest >= 2 || highest == 0) return EMT_E_BAD_HANDSHAKE;
    cb->priority = h[76] < 3 ? h[76] : 0;
    cb->hbInterval = IntervalMs(plat::LoadLE16(h + 4));
    cb->hbCount = h[6];
    cb->pingInterval = plat::LoadLE16(h + 8);
    cb->replyDelay = plat::LoadLE16(h + 10);
    if (cb->pingInterval == 0) cb->pingInterval = BuiltInPriority(cb->priority).pingInterval;
    cb->qosEnabled = highest != 0;
    EMT_FLOW_QOS clientSend = DecodeFlowQos(h + 16);
    EMT_FLOW_QOS clientRecv = DecodeFlowQos(h + 84);
    uint32_t sendFlags = cb->sendFlow.flags | (clientRecv.flags & kQosOff);
    uint32_t recvFlags = cb->recvFlow.flags | (clientSend.flags & kQosOff);
    cb->sendFlow = clientRecv;
    cb->sendFlow.flags = sendFlags;
    cb->recvFlow = clientSend;
    cb->recvFlow.flags = recvFlags;
    uint8_t s[140] = {0xCD, 1, 0, 0};
    EncodeFlowQos(cb->sendFlow, s + 4);
    EncodeFlowQos(cb->recvFlow, s + 72);
    if (TraceOn(kTraceConn))
        EMSTraceMessage("EMT %d: Server hb interval: %d.", cb->handle, cb->hbInterval);
    r = SendBytes(cb, s, 140);
    if (r) return r;
    if (TraceOn(kTraceConn))
        EMSTraceMessage("EMT %d: Sent server QoS-enabled handshake.", cb->handle);
    return 0;
}

uint32_t TCPConnectWithTimeout(int s, const sockaddr_in& addr, int64_t start, uint32_t timeoutMs) {
    int fl = ::fcntl(s, F_GETFL);
    ::fcntl(s, F_SETFL, fl | O_NONBLOCK);
    uint32_t result = 0;
    if (::connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno != EINPROGRESS) {
            result = ErrnoToEmtError(errno);
        } else {
            plat::ExternalWait wait(timeoutMs == plat::INFINITE
                                        ? plat::kNoDeadline
                                        : start + static_cast<int64_t>(timeoutMs) * 1000000);
            pollfd p{s, POLLOUT, 0};
            int rc;
            do {
                rc = ::poll(&p, 1, wait.NextSliceMs());
            } while ((rc < 0 && errno == EINTR) || (rc == 0 && !wait.Expired()));
            if (rc <= 0) {
                result = EMT_WSA_ETIMEDOUT;
            } else {
                int err = 0;
                socklen_t len = sizeof err;
                ::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len);
                result = ErrnoToEmtError(err);
            }
        }
    }
    ::fcntl(s, F_SETFL, fl);
    return result;
}

// Attaches a connected socket: reads its local address and sets up the UDP heartbeat socket.
uint32_t InitializeConnection(EmtControlBlock* cb) {
    socklen_t len = sizeof cb->local;
    if (::getsockname(cb->sock, reinterpret_cast<sockaddr*>(&cb->local), &len) != 0)
        return ErrnoToEmtError(errno);
    cb->udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (cb->udp < 0) return ErrnoToEmtError(errno);
    if (TraceOn(kTraceDetail))
        EMSTraceMessage("EMT %d: Created UDP heartbeat socket %d.", cb->handle, cb->udp);
    uint32_t r = AllocateHeartbeatPort(cb);
    if (r) return r;
    len = sizeof cb->hbLocal;
    ::getsockname(cb->udp, reinterpret_cast<sockaddr*>(&cb->hbLocal), &len);
    return 0;
}

void ConnectionLines(EmtControlBlock* cb, bool accepted, int64_t start, int64_t handshakeStart,
                     int64_t connectMs) {
    if (!TraceOn(kTraceConn)) return;
    const char* lead = accepted ? "Accepted connection from" : "Connected to";
    std::string a = AddrText(cb->remote), hb = AddrText(cb->hbPeer);
    if (cb->hbInterval == EMT_NO_HEARTBEAT)
        EMSTraceMessage("EMT %d: %s TCP addr %s hb %s with no heart beats.", cb->handle, lead,
                        a.c_str(), hb.c_str());
    else if (cb->qosEnabled)
        EMSTraceMessage("EMT %d: %s TCP addr %s with hb interval=%d [ms].", cb->handle, lead,
                        a.c_str(), cb->hbInterval);
    else
        EMSTraceMessage("EMT %d: %s TCP addr %s hb %s with hb interval=%d [ms].", cb->handle,
                        lead, a.c_str(), hb.c_str(), cb->hbInterval);
    const char* ver = cb->qosEnabled ? "QoS-enabled" : "pre-QoS";
    int64_t now = MonotonicMs();
    if (accepted) {
        EMSTraceMessage("EMT %d: Total=%d [ms], Handshake=%d [ms].", cb->handle,
                        static_cast<int>(now - start), static_cast<int>(now - handshakeStart));
        EMSTraceMessage("EMT %d: Connection established using %s version.", cb->handle, ver);
    } else {
        EMSTraceMessage("EMT %d: Connection established using %s version.", cb->handle, ver);
        EMSTraceMessage("EMT %d: Total=%d [ms], Handshake=%d [ms], TCP connect=%d [ms].",
                        cb->handle, static_cast<int>(now - start),
                        static_cast<int>(now - handshakeStart), static_cast<int>(connectMs));
    }
}

bool Retryable(uint32_t e) {
    return e == EMT_WSA_ECONNREFUSED || e == EMT_WSA_ENETUNREACH || e == EMT_WSA_EHOSTUNREACH ||
           e == EMT_WSA_ETIMEDOUT;
}

}  // namespace

uint32_t TCPInitializeSocketOptions(int s) {
    linger l{1, 0};
    if (::setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0) return ErrnoToEmtError(errno);
    int one = 1;
    if (::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0)
        return ErrnoToEmtError(errno);
    return 0;
}

uint32_t TCPConnect(const sockaddr_in* local, const sockaddr_in* remote, uint16_t heartbeat,
                    plat::Event* breakEvent, uint32_t timeoutMs, uint32_t* handle, uint32_t flags,
                    const EMT_QOS_PARAMS* qos) {
    const int64_t startNs = plat::MonotonicNs();
    const int64_t start = startNs / 1000000;
    plat::SleepForMs(250);
    bool firstConnect = true;
    uint32_t handshakes = 0;
    bool localPeer = IsLocalAddress(*remote);
    auto timeLeft = [&]() -> int64_t {
        if (timeoutMs == plat::INFINITE) return 10000;
        int64_t left = static_cast<int64_t>(timeoutMs) - (MonotonicMs() - start);
        return left > 0 ? left : 0;
    };
    for (bool firstPass = true;
         firstPass || timeoutMs == plat::INFINITE || MonotonicMs() - start < static_cast<int64_t>(timeoutMs);
         firstPass = false) {
        // A failed pass has set the caller's break event: a healthy link must not be
        // taken for broken by the next waiter, so clear it before trying again.
        if (!firstPass && breakEvent) breakEvent->Reset();
        EmtControlBlock* cb = NewControlBlock(qos);
        cb->transport = kTransportTcp;
        if (flags & EMT_FLAG_TCP_ONLY) cb->flags |= kCbTcpOnly;
        if (flags & EMT_FLAG_PRE_QOS_ONLY) cb->flags |= kCbPreQosOnly;
        if (localPeer) {
            cb->sendFlow.flags |= kQosOff;
            cb->recvFlow.flags |= kQosOff;
        }
        int64_t connectStart = 0, connectMs = 0;
        for (;;) {
            if (!firstConnect && handshakes % 2 == 0) {
                int64_t w = std::min<int64_t>(10000, timeLeft());
                if (TraceOn(kTraceConn))
                    EMSTraceMessage("EMT %d: Wait %d [ms] before next attempt...", cb->handle,
                                    static_cast<int>(w));
                plat::SleepForMs(static_cast<uint32_t>(w));
            }
            firstConnect = false;
            cb->sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (cb->sock < 0) {
                uint32_t e = ErrnoToEmtError(errno);
                FreeControlBlock(cb);
                return e;
            }
            if (TraceOn(kTraceConn))
                EMSTraceMessage("EMT %d: Created TCP socket %d using %s service provider.",
                                cb->handle, cb->sock, "non-QoS");
            if (local && ::bind(cb->sock, reinterpret_cast<const sockaddr*>(local),
                                sizeof *local) != 0) {
                uint32_t e = ErrnoToEmtError(errno);
                EMSTraceMessage("EMT %d: bind failed.", cb->handle);
                FreeControlBlock(cb);
                return e;
            }
            uint32_t e = TCPInitializeSocketOptions(cb->sock);
            if (e) {
                EMSTraceMessage("EMT %d: TCPInitializeSocketOptions failed.", cb->handle);
                FreeControlBlock(cb);
                return e;
            }
            connectStart = MonotonicMs();
            e = TCPConnectWithTimeout(cb->sock, *remote, startNs, timeoutMs);
            connectMs = MonotonicMs() - connectStart;
            if (e == 0) break;
            if (TraceOn(kTraceConn))
                EMSTraceMessage("EMT %d: connect attempt to %s failed.", cb->handle,
                                AddrText(*remote).c_str());
            if (!Retryable(e)) {
                FreeControlBlock(cb);
                return e;
            }
            if (TraceOn(kTraceConn))
                EMSTraceMessage("EMT %d: Closing TCP socket %d.", cb->handle, cb->sock);
            ::close(cb->sock);
            cb->sock = -1;
            if (timeoutMs != plat::INFINITE && MonotonicMs() - start >= static_cast<int64_t>(timeoutMs)) {
                FreeControlBlock(cb);
                return EMT_WSA_ETIMEDOUT;
            }
        }
        cb->remote = *remote;
        uint32_t e = InitializeConnection(cb);
        if (e) {
            EMSTraceMessage("EMT %d: InitializeConnection failed.", cb->handle);
            FreeControlBlock(cb);
            return e;
        }
        cb->userBreak = breakEvent;
        cb->hbInterval = IntervalMs(heartbeat);
        int64_t hsStart = MonotonicMs();
        ++handshakes;
        e = TCPClientHandshake(cb, handshakes);
        if (e) {
            EMSTraceMessage("EMT %d: Perform client handshake failed. (0x%08X)", cb->handle, e);
            FreeControlBlock(cb);
            continue;
        }
        if (!StartHeartbeatThread(cb)) {
            FreeControlBlock(cb);
            return EMT_E_THREAD;
        }
        if (!WaitForFirstHeartbeat(cb)) {
            DestroyControlBlock(cb, EMT_E_NO_FIRST_HEARTBEAT);
            continue;
        }
        cb->clientSide = true;
        ConnectionLines(cb, false, start, hsStart, connectMs);
        *handle = cb->handle;
        InsertBlock(cb);
        return 0;
    }
    return EMT_WSA_ETIMEDOUT;
}

uint32_t TCPReceive(EmtControlBlock* cb, uint8_t* buffer, uint32_t size) {
    const uint32_t h = cb->handle;
    const int s = cb->sock;
    cb->AddRef();
    uint32_t r = 0;
    bool rtt = false;
    for (;;) {
        if (cb->flags & kCbHeaderPending) {
            std::memcpy(buffer, cb->pendingHeader, 4);
            cb->flags &= ~kCbHeaderPending;
        } else {
            UnlockBlock(cb);
            r = TcpRecvAll(s, buffer, 4);
            cb = LockBlock(h);
            if (!cb) {
                EMSTraceMessage("EMT %d: EMTReceive could not re-lock.", h);
                return EMT_E_DISCONNECTED;
            }
            if (r) break;
            cb->hbCountdown = 5;
        }
        uint32_t len = EmtBodyLength(buffer);
        if (buffer[2] != EMT_CLASS_RTT) {
            if (len + 4 > size) {
                std::memcpy(cb->pendingHeader, buffer, 4);
                cb->flags |= kCbHeaderPending;
                cb->DropRef();
                UnlockBlock(cb);
                return EMT_E_BUFFER_TOO_SMALL;
            }
            CountRcvd(cb, len + 4);
            UnlockBlock(cb);
            r = len ? TcpRecvAll(s, buffer + 4, len) : 0;
            cb = LockBlock(h);
            NUV_ASSERT(cb != NULL);
            if (r) break;
            cb->DropRef();
            UnlockBlock(cb);
            return 0;
        }
        UnlockBlock(cb);
        if (buffer[3] != 1 || len != 24) {
            // Skip the body so that the stream stays framed; the link stays up.
            uint8_t sink[256];
            while (len > 0 && r == 0) {
                uint32_t n = len < sizeof sink ? len : sizeof sink;
                r = TcpRecvAll(s, sink, n);
                len -= n;
            }
            cb = LockBlock(h);
            NUV_ASSERT(cb != NULL);
            if (r) break;
            cb->DropRef();
            UnlockBlock(cb);
            return EMT_E_PROTOCOL;
        }
        uint8_t body[24];
        r = TcpRecvAll(s, body, 24);
        cb = LockBlock(h);
        if (!cb) {
            EMSTraceMessage("EMT %d: EMTReceive could not re-lock for RTT processing.", h);
            return EMT_E_DISCONNECTED;
        }
        if (r) {
            rtt = true;
            break;
        }
        CountRcvd(cb, 28);
        ProcessRttPacket(cb, body);
    }
    EMSTraceMessage(rtt ? "EMT %d: TCP receive error, receiving RTT packet..."
                        : "EMT %d: TCP receive error.",
                    h);
    cb->DropRef();
    r = BreakConnection(cb, r);
    UnlockBlock(cb);
    return r;
}

static uint32_t WriteFrame(EmtControlBlock* cb, const uint8_t* data, uint32_t length,
                           bool allowRtt, bool lastFragment, bool fragment) {
    const uint32_t h = cb->handle;
    uint8_t rtt[28];
    bool withRtt = allowRtt && RttPacketDue(cb, rtt);
    if (!fragment || lastFragment) {
        CountSent(cb, length + (withRtt ? 28 : 0));
    } else {
        cb->stats.bytesSent += length;
    }
    if (fragment) cb->flags |= kCbFragment;
    cb->AddRef();
    const int s = cb->sock;
    UnlockBlock(cb);
    iovec v[2];
    int n = 0;
    if (withRtt) v[n++] = {rtt, 28};
    v[n++] = {const_cast<uint8_t*>(data), length};
    (void)cb->sendGate.Wait(plat::INFINITE);
    uint32_t r = TcpSendAll(s, v, n);
    ReleaseSemaphore(cb->sendGate);
    cb = LockBlock(h);
    NUV_ASSERT(cb != NULL);
    cb->DropRef();
    if (fragment && lastFragment) cb->flags &= ~kCbFragment;
    if (r) {
        EMSTraceMessage("EMT %d: TCP send error.", h);
        r = BreakConnection(cb, r);
    }
    UnlockBlock(cb);
    return r;
}

uint32_t TCPSend(EmtControlBlock* cb, const uint8_t* frame, uint32_t length) {
    if (length == 0) length = EmtBodyLength(frame) + 4u;
    return WriteFrame(cb, frame, length, true, true, false);
}

uint32_t TCPSendFragment(EmtControlBlock* cb, const uint8_t* frame, uint32_t offset,
                         uint32_t length) {
    uint32_t total = EmtBodyLength(frame) + 4u;
    if (offset > total || length > total - offset) {
        UnlockBlock(cb);
        return EMT_WSA_EINVAL;
    }
    // Only the fragment that reaches the frame's end (header included) is the last: the
    // probes stay out of the stream until the whole frame is written.
    bool last = offset + length >= total;
    return WriteFrame(cb, frame + offset, length, false, last, true);
}

void TCPCloseTransport(EmtControlBlock* cb) {
    if (cb->qosEnabled) StopRttTimers(cb);
    if (cb->sock >= 0) {
        if (TraceOn(kTraceConn)) {
            EMSTraceMessage("%s", StatisticsText(cb).c_str());
            EMSTraceMessage("EMT %d: Closing TCP connection socket %d.", cb->handle, cb->sock);
        }
        // Wakes any read or write in progress; the descriptor is closed when the block is
        // freed, so that its number cannot be reused under a thread still inside EMT.
        ::shutdown(cb->sock, SHUT_RDWR);
    }
}

void OnTableInsert(EmtControlBlock* cb) {
    if (cb->transport != kTransportTcp || cb->listening) return;
    ApplyPolicyQos(cb);
    if (!cb->qosEnabled) return;
    cb->lastRttSentTick = plat::GetTickCount();
    StartRttTimers(cb);
    if (cb->hbInterval < EMT_NO_HEARTBEAT) {
        int one = 1;
        int idle = std::max(1, cb->hbInterval / 1000);
        int intvl = std::max(1, std::max<int>(cb->hbInterval, cb->hbInterval * cb->hbCount / 4) / 1000);
        int cnt = 10;
        if (::setsockopt(cb->sock, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one) != 0 ||
            ::setsockopt(cb->sock, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0 ||
            ::setsockopt(cb->sock, IPPROTO_TCP, TCP_KEEPINTVL, &intvl, sizeof intvl) != 0 ||
            ::setsockopt(cb->sock, IPPROTO_TCP, TCP_KEEPCNT, &cnt, sizeof cnt) != 0)
            EMSTraceMessage("EMT %d: enable TCP keep-alive failed.", cb->handle);
    }
    if (QosReserve(cb, true) != 0)
        EMSTraceMessage("EMT %d: perform QoS reservations failed.", cb->handle);
    StartMonitor(cb);
    ScheduleTimer(cb, 3, cb->sendFlow.exceedTime);
}

void OnTableRemove(EmtControlBlock* cb) {
    if (cb->transport != kTransportTcp || cb->listening) return;
    if (cb->qosEnabled) {
        StopRttTimers(cb);
        CancelTimer(cb, 3);
    }
    StopMonitor(cb);
}

namespace {
// The TCP side of a listen thread: accepts the next connection and runs its handshake.
uint32_t NextTcpConnection(EmtControlBlock* lb, EmtControlBlock** out, int64_t* start,
                           int64_t* handshakeStart) {
    // BreakListen shuts the listening socket down, which ends this wait.
    pollfd p{lb->listenSock, POLLIN, 0};
    int rc = ::poll(&p, 1, -1);
    if (lb->m_evConnBroken.IsSet()) {
        if (TraceOn(kTraceConn))
            EMSTraceMessage("EMT %d: Requested to exit listen thread.", lb->handle);
        return EMT_E_PEER_CLOSED;
    }
    if (rc <= 0) return 0;
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int s = ::accept4(lb->listenSock, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (s < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED) return 0;
        uint32_t err = ErrnoToEmtError(errno);
        EMSTraceMessage("EMT %d: The TCPAccept failed.", lb->handle);
        return err;
    }
    *start = MonotonicMs();
    EmtControlBlock* cb = NewControlBlock(&lb->qos);
    cb->transport = kTransportTcp;
    cb->flags |= lb->flags & kCbTcpOnly;
    cb->sock = s;
    cb->remote = peer;
    (void)TCPInitializeSocketOptions(s);
    uint32_t e = InitializeConnection(cb);
    if (e) {
        EMSTraceMessage("EMT %d: InitializeConnection failed.", cb->handle);
        FreeControlBlock(cb);
        return 0;
    }
    if (TraceOn(kTraceConn))
        EMSTraceMessage("EMT %d: Begin EMT connection handshake...", cb->handle);
    *handshakeStart = MonotonicMs();
    e = TCPServerHandshake(cb);
    if (e) {
        EMSTraceMessage("EMT %d: Server handshake failed. (0x%08X)", cb->handle, e);
        FreeControlBlock(cb);
        return 0;
    }
    *out = cb;
    return 0;
}
}  // namespace

static void TcpListenThread(EmtControlBlock* lb) {
    int64_t start = 0, handshakeStart = 0;
    ListenSide side{"TCP", &EmtControlBlock::tcpListenEnded,
                    [&](EmtControlBlock** cb) {
                        return NextTcpConnection(lb, cb, &start, &handshakeStart);
                    },
                    [&](EmtControlBlock* cb) { ConnectionLines(cb, true, start, handshakeStart, 0); },
                    nullptr};
    RunListenLoop(lb, side);
}

uint32_t TCPListen(EmtControlBlock* cb, const sockaddr_in& local) {
    cb->listenSock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (cb->listenSock < 0) return ErrnoToEmtError(errno);
    if (TraceOn(kTraceConn))
        EMSTraceMessage("EMT %d: Created listen TCP socket %d using %s service provider",
                        cb->handle, cb->listenSock, "non-QoS");
    int one = 1;
    ::setsockopt(cb->listenSock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(cb->listenSock, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        return ErrnoToEmtError(errno);
    uint32_t e = TCPInitializeSocketOptions(cb->listenSock);
    if (e) return e;
    if (::listen(cb->listenSock, 16) != 0) return ErrnoToEmtError(errno);
    socklen_t len = sizeof cb->local;
    ::getsockname(cb->listenSock, reinterpret_cast<sockaddr*>(&cb->local), &len);
    if (TraceOn(kTraceConn))
        EMSTraceMessage("EMT %d: Listening on local TCP addr %s.", cb->handle,
                        AddrText(cb->local).c_str());
    try {
        cb->tcpListenThread = std::thread(TcpListenThread, cb);
    } catch (...) {
        return EMT_E_THREAD;
    }
    return 0;
}

}  // namespace emt
