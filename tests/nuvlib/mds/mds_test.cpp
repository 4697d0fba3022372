// The MDS client against the stand-in MDS process and a second client process:
// registration, the send rules, stamps and sequences, loss of MDS and stop.
#include <atomic>
#include <chrono>
#include <arpa/inet.h>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "nuvlib/mdsport.h"
#include "nuvlib/emt/emt.h"
#include "nuvlib/emt/emtpriv.h"
#include "nuvlib/ems.h"
#include "nuvlib/emsrecord.h"
#include "nuvlib/emsseams.h"
#include "nuvlib/mds/mds.h"
#include "nuvlib/mds/mdsinternal.h"
#include "platform/byteorder.h"
#include "platform/clock.h"
#include "platform/lasterror.h"
#include "tests/nuvlib/mds/mds_env.h"
#include "tests/support/wait.h"

namespace {

// Milliseconds of the injectable clock: the client's pauses and bounds run on it.
int64_t NowMs() { return plat::MonotonicNs() / 1000000; }

// Moves the fake clock to each deadline a thread of this process sleeps for, so that the
// client's pauses pass at once while their lengths stay visible on the clock; a socket
// wait in progress is not cut short while it is still at work.
class ClockPump {
public:
    explicit ClockPump(plat::FakeClock& clock)
        : thread_([this, &clock] {
              // Plain sleeps first; a socket poll's deadline is passed only once nothing
              // else has moved for a while (an idle poll, not I/O at work).
              while (!stop_.load())
                  if (clock.AdvanceToNextSleep(50) < 0) (void)clock.AdvanceToNextDeadline(1);
          }) {}
    ~ClockPump() {
        stop_ = true;
        thread_.join();
    }
    ClockPump(const ClockPump&) = delete;
    ClockPump& operator=(const ClockPump&) = delete;

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// SIGSTOP takes effect asynchronously: wait until the process is really stopped.
void StopProcess(pid_t pid) {
    ::kill(pid, SIGSTOP);
    testsupport::WaitFor([pid] {
        FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
        char state = 0;
        if (f) {
            if (std::fscanf(f, "%*d (%*[^)]) %c", &state) != 1) state = 0;
            std::fclose(f);
        }
        return state == 'T' || state == 't';
    }, 10000);
}

struct Received {
    MDSHeader header;
    std::vector<uint8_t> payload;
};

// What the handlers saw. Handlers run on the receive thread.
struct Recorder {
    std::mutex mu;
    std::condition_variable cv;
    int inService = 0;
    int outOfService = 0;
    uint32_t stampAtOutOfService = 0;
    std::vector<Received> data;
    pid_t mdsPid = -1;
    std::atomic<int64_t> stopBegan{-1};  // on the injectable clock
    std::atomic<bool> stopReturned{false};

    template <class Pred>
    bool WaitFor(Pred p, int ms) {
        std::unique_lock<std::mutex> l(mu);
        return cv.wait_for(l, std::chrono::milliseconds(ms), p);
    }
};
// Never destroyed: the receive thread may still report while the process exits.
Recorder& g = *new Recorder;

int Status(const uint8_t* h, uint8_t*) {
    std::lock_guard<std::mutex> l(g.mu);
    if (h[14] == 0 && h[15] == MDS_STATUS_IN_SERVICE) ++g.inService;
    if (h[14] == 0 && h[15] == MDS_STATUS_OUT_OF_SERVICE) {
        ++g.outOfService;
        g.stampAtOutOfService = MDSGetLastInputStamp();
    }
    g.cv.notify_all();
    return 0;
}

int Data(const uint8_t* h, uint8_t* payload) {
    MDSHeader m = MDSDecodeHeader(h);
    if (m.messageType == 99) {
        // Stop on the receive thread while MDS answers nothing.
        StopProcess(g.mdsPid);
        g.stopBegan = NowMs();
        MDSStopClient(2);
        g.stopReturned = true;
        ::kill(g.mdsPid, SIGCONT);
    }
    std::lock_guard<std::mutex> l(g.mu);
    g.data.push_back({m, std::vector<uint8_t>(payload, payload + m.length)});
    g.cv.notify_all();
    return 0;
}

// Every event and trace the client raises, by id and by its text, with the time it came.
struct EventLog {
    struct Seen {
        uint32_t id;
        std::string text;
        int64_t atMs;  // on the injectable clock
    };
    std::mutex mu;
    std::vector<Seen> seen;
    int Count(uint32_t id) {
        std::lock_guard<std::mutex> l(mu);
        int n = 0;
        for (auto& e : seen) n += e.id == id;
        return n;
    }
    int Count(const std::string& prefix) {
        std::lock_guard<std::mutex> l(mu);
        int n = 0;
        for (auto& e : seen) n += e.text.rfind(prefix, 0) == 0;
        return n;
    }
    // When the first text with this prefix came; -1 when none did.
    int64_t TimeOf(const std::string& prefix) {
        std::lock_guard<std::mutex> l(mu);
        for (auto& e : seen)
            if (e.text.rfind(prefix, 0) == 0) return e.atMs;
        return -1;
    }
};
EventLog& events = *new EventLog;

void RecordEvent(const uint8_t* block, uint32_t length) {
    EMSParsedRecord r;
    if (!EMSParseRecord(block, length, &r)) return;
    std::string text;  // a long trace travels in several pieces
    for (uint32_t i = 0; i < r.argCount; ++i) text += r.args[i];
    std::lock_guard<std::mutex> l(events.mu);
    events.seen.push_back({plat::LoadLE32(block + emsoff::kEventId), text, NowMs()});
}

class MdsClient : public ::testing::TestWithParam<bool> {
protected:
    // For the tests of the client's bounds: from here on every wait of this process runs on
    // a fake clock that moves once, to the first wait of boundMs, passing over the
    // transport's shorter polls, so that the bound passes at once and shows exactly on the
    // clock. The other tests run in real time.
    void MoveTimeToBound(int64_t boundMs) {
        scoped_ = std::make_unique<plat::ScopedClock>(&clock_);
        const int64_t floor = clock_.MonotonicNs() + (boundMs - 500) * 1000000;
        jump_ = std::thread([this, floor] { (void)clock_.AdvanceToDeadlineAtLeast(floor); });
    }
    // Destroyed in reverse: the jump ends, the real clock comes back, then the fake goes.
    plat::FakeClock clock_;
    std::unique_ptr<plat::ScopedClock> scoped_;
    struct Joined : std::thread {
        using std::thread::operator=;
        ~Joined() {
            if (joinable()) join();
        }
    } jump_;

    void SetUp() override {
        static EMSSeams seams{};
        seams.PrintToConsole = &RecordEvent;
        EMSInstallSeams(&seams);
        port_ = mdstest::WriteProcess();
        // No heartbeats: against a fake clock here the stand-in, on the real clock, would
        // seem silent.
        mdstest::WriteClient("client", 10, 65535);
        mds_.reset(mdstest::StartMds(&port_));
        ASSERT_NE(mds_, nullptr);
        g.mdsPid = mds_->Pid();
        if (GetParam()) MDSSetEmtConnectFlags(1);
    }
    void TearDown() override {
        // Stopped first, the client reports no lost link while the process is ending.
        MDSStopClient(0);
        mds_.reset();
        testsupport::RemoveNamespaceShm();
    }
    void Register() {
        MDSClientParams p{1, "client", 0, mdstest::kInstance, Status, Status};
        uint8_t handle = 0;
        ASSERT_EQ(MDSRegisterClient(&p, &handle), 0u);
        ASSERT_EQ(handle, 10);
        ASSERT_EQ(MDSSetMessageHandler(17, Data), 1);
    }
    void Start() {
        std::thread([] { MDSStartClient(); }).detach();
        ASSERT_TRUE(g.WaitFor([] { return g.inService >= 1; }, 10000));
    }
    void* Payload(uint32_t n, uint8_t fill) {
        void* p = MDSAllocBuffer(n);
        std::memset(p, fill, n);
        return p;
    }
    uint16_t port_ = 0;
    std::unique_ptr<testsupport::Child> mds_;
};

// Over shared memory (false) and over TCP (true).
INSTANTIATE_TEST_SUITE_P(Transports, MdsClient, ::testing::Values(false, true));

TEST_P(MdsClient, TwoClientsExchangeTheLargestMessages) {
    Register();
    std::vector<std::string> args = {MDS_PEER_BIN, "peer", mdstest::kInstance};
    if (GetParam()) args.push_back("tcp");
    testsupport::Child peer(args);
    ASSERT_NE(peer.WaitLine("INSERVICE"), "");
    Start();

    void* big = Payload(MDS_MAX_PAYLOAD, 0);
    for (uint32_t i = 0; i < MDS_MAX_PAYLOAD; ++i) static_cast<uint8_t*>(big)[i] = static_cast<uint8_t>(i * 7);
    std::vector<uint8_t> sent(static_cast<uint8_t*>(big), static_cast<uint8_t*>(big) + MDS_MAX_PAYLOAD);
    ASSERT_EQ(MDSSendOutput(11, 17, 5, big, MDS_MAX_PAYLOAD), 1);
    ASSERT_TRUE(g.WaitFor([] { return !g.data.empty(); }, 10000));
    Received echo;
    {
        std::lock_guard<std::mutex> l(g.mu);
        echo = g.data[0];
    }
    EXPECT_EQ(echo.payload, sent);
    EXPECT_EQ(echo.header.marker, 0x1000);
    EXPECT_EQ(echo.header.sender, 11);
    EXPECT_EQ(echo.header.destination, 10);
    EXPECT_EQ(echo.header.caller, 0xFF);
    EXPECT_EQ(echo.header.messageClass, 17);
    EXPECT_EQ(echo.header.messageType, 5);
    EXPECT_NE(echo.header.stamp, 0xFFFFFFFFu);
    const uint32_t s = echo.header.stamp;
    EXPECT_EQ(MDSGetLastInputStamp(), s);

    // One byte more is refused, and the buffer is gone with it.
    void* over = Payload(MDS_MAX_PAYLOAD + 1, 1);
    EXPECT_EQ(MDSSendOutput(11, 17, 5, over, MDS_MAX_PAYLOAD + 1), 0);
    EXPECT_EQ(plat::GetLastError(), MDS_E_TOO_LONG);

    // After the stamped input: (S,0), a checkpoint (S,0xFFFF) that does not count, (S,1).
    // The peer echoes only class 17: no newer stamp can come back in between.
    ASSERT_EQ(MDSSendOutput(11, 18, 6, Payload(8, 2), 8), 1);
    ASSERT_EQ(MDSSendCheckpoint(128, 1, 0, Payload(8, 3), 8), 1);
    ASSERT_EQ(MDSSendInput(17, 7, 1, Payload(8, 4), 8), 1);
    const std::string st = std::to_string(s);
    EXPECT_EQ(mds_->WaitLine("parlo-mds: data from 10 to 11 class 18 type 6"),
              "parlo-mds: data from 10 to 11 class 18 type 6 stamp " + st +
                  " seq 0 flags 0 caller 255 length 8");
    EXPECT_EQ(mds_->WaitLine("parlo-mds: data from 10 to 1 class 128"),
              "parlo-mds: data from 10 to 1 class 128 type 1 stamp " + st +
                  " seq 65535 flags 4 caller 0 length 8");
    EXPECT_EQ(mds_->WaitLine("parlo-mds: data from 10 to 1 class 17"),
              "parlo-mds: data from 10 to 1 class 17 type 7 stamp " + st +
                  " seq 1 flags 0 caller 1 length 8");
}

// Event reporting and the buffers reach the client through the port it installs.
TEST_P(MdsClient, EventReportingHooksReachTheClient) {
    EXPECT_EQ(MDSCurrentClientPort().GetLastInputStamp(), -1);
    EXPECT_EQ(MDSCurrentClientPort().AllocBuffer(8), nullptr);
    Register();
    Start();
    MDSClientPort& h = MDSCurrentClientPort();
    EXPECT_EQ(h.IsSynchronized(), 0);
    void* p = h.AllocBuffer(8);
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(h.SendCheckpoint(128, 1, 0, p, 8), 1);
    EXPECT_EQ(mds_->WaitLine("parlo-mds: data from 10 to 1 class 128"),
              "parlo-mds: data from 10 to 1 class 128 type 1 stamp 4294967295 seq 65535 "
              "flags 4 caller 0 length 8");
    EXPECT_EQ(h.SendCheckpoint(128, 1, 0, h.AllocBuffer(4013), 4013), 0);
    EXPECT_EQ(plat::GetLastError(), MDS_E_TOO_LONG);
    h.FreeBuffer(h.AllocBuffer(16));
    h.StopClient(0);
    EXPECT_NE(mds_->WaitLine("parlo-mds: client 10 (client) stopped"), "");
}

// Out of service (registered, not yet started): class 17 is dropped, class 1 goes.
TEST_P(MdsClient, OutOfServiceOnlyClassOneLeaves) {
    Register();
    EXPECT_EQ(MDSGetLastInputStamp(), 0xFFFFFFFFu);
    EXPECT_EQ(MDSSendInput(17, 1, 0, Payload(4, 1), 4), 1);
    EXPECT_EQ(MDSSendInput(1, 2, 0, Payload(4, 1), 4), 1);
    EXPECT_EQ(mds_->WaitLine("parlo-mds: data"),
              "parlo-mds: data from 10 to 1 class 1 type 2 stamp 4294967295 seq 0 flags 0 "
              "caller 0 length 4");
}

// MDS dies while the client is in service: the out-of-service status reaches the class-0
// handler once, before the client forgets its stamp; the client then reconnects to the
// MDS that comes back and is put in service again, its first try 3 s after the loss.
// From the loss on the client's waits run on a fake clock that stands still until the
// stand-in (on the real clock) is back, then passes each pause at once.
TEST_P(MdsClient, LostMdsGivesOneOutOfServiceAndTheClientReconnects) {
    Register();
    Start();
    ASSERT_EQ(MDSSendInput(17, 1, 0, Payload(4, 9), 4), 1);  // comes back stamped
    ASSERT_TRUE(g.WaitFor([] { return !g.data.empty(); }, 10000));
    const uint32_t s = MDSGetLastInputStamp();
    ASSERT_NE(s, 0xFFFFFFFFu);

    scoped_ = std::make_unique<plat::ScopedClock>(&clock_);
    const int64_t lostAt = clock_.MonotonicNs();
    mds_->Kill(SIGKILL);
    ASSERT_TRUE(g.WaitFor([] { return g.outOfService >= 1; }, 10000));
    EXPECT_EQ(g.stampAtOutOfService, s);
    // The handler ran before the client changed its state; the stamp goes right after.
    EXPECT_TRUE(testsupport::WaitFor([] { return MDSGetLastInputStamp() == 0xFFFFFFFFu; }, 10000));
    // Dropped while out of service.
    EXPECT_EQ(MDSSendInput(17, 1, 0, Payload(4, 9), 4), 1);

    mds_.reset(mdstest::StartMds(&port_, true));
    ASSERT_NE(mds_, nullptr);
    g.mdsPid = mds_->Pid();
    // The clock has stood still since the loss; from here it moves to each sleep's end.
    ClockPump pump(clock_);
    EXPECT_NE(mds_->WaitLine("parlo-mds: client 10 (client) reconnected", 20000), "");
    EXPECT_GE(clock_.MonotonicNs() - lostAt, 3000 * 1000000LL);
    ASSERT_TRUE(g.WaitFor([] { return g.inService >= 2; }, 10000));
    EXPECT_EQ(g.outOfService, 1);
    // Both threads saw the loss; the loss is reported once.
    EXPECT_EQ(events.Count(0xE1048001), 1);
    EXPECT_EQ(events.Count(0x61048003), 1);
    ASSERT_EQ(MDSSendInput(17, 2, 0, Payload(4, 9), 4), 1);
    ASSERT_TRUE(g.WaitFor([] { return g.data.size() >= 2; }, 10000));
    EXPECT_EQ(g.data.back().header.messageType, 2);
}

// The acknowledgement ends the stop before its 10 s bound; a second stop does nothing.
TEST_P(MdsClient, StopIsAcknowledged) {
    Register();
    Start();
    EXPECT_EQ(MDSStopClient(0), 1);
    EXPECT_EQ(events.Count("Timed out after"), 0);
    EXPECT_EQ(events.Count(0xA104001C), 0);
    EXPECT_NE(mds_->WaitLine("parlo-mds: client 10 (client) stopped"), "");
    EXPECT_EQ(MDSGetLastInputStamp(), 0xFFFFFFFFu);
    EXPECT_EQ(events.Count(0x6104001B), 1);
    EXPECT_EQ(MDSStopClient(0), 1);
    EXPECT_EQ(events.Count(0x6104001B), 1);
    EXPECT_EQ(events.Count(0x61048004), 1);
    EXPECT_EQ(MDSSendInput(17, 1, 0, Payload(4, 1), 4), 1);  // taken and dropped
}

TEST_P(MdsClient, SilentMdsStopGivesUpAfterTenSeconds) {
    Register();
    Start();
    StopProcess(g.mdsPid);
    MoveTimeToBound(10000);  // nothing talks to the stand-in from here on
    const int64_t t0 = NowMs();
    EXPECT_EQ(MDSStopClient(1), 1);
    ::kill(g.mdsPid, SIGCONT);
    // The wait gives up at its bound; closing the link afterwards is not part of it.
    const int64_t ms = events.TimeOf("Timed out after 10 seconds, waiting for MSG_STOP_CLIENT") - t0;
    EXPECT_GE(ms, 10000);
    EXPECT_LT(ms, 11000);
    EXPECT_EQ(events.Count("Timed out after 10 seconds, waiting for MSG_STOP_CLIENT"), 1);
    EXPECT_EQ(events.Count(0xA104001C), 1);
}

// A handler that stops the client reads the connection itself; with MDS silent the wait
// still ends after ten seconds instead of waiting for a frame that never comes.
TEST_P(MdsClient, StopOnTheReceiveThreadIsBounded) {
    Register();
    Start();
    MoveTimeToBound(10000);  // the stand-in's only part from here on is the input that comes back
    ASSERT_EQ(MDSSendInput(17, 99, 0, Payload(4, 1), 4), 1);
    ASSERT_TRUE(testsupport::WaitFor([] { return g.stopReturned.load(); }, 25000));
    const int64_t ms =
        events.TimeOf("Message_Handler_Thread: Timed out after") - g.stopBegan.load();
    EXPECT_GE(ms, 10000);
    EXPECT_LT(ms, 11000);
    EXPECT_EQ(events.Count("Message_Handler_Thread: Timed out after 1"), 1);
    EXPECT_EQ(events.Count(0xA104001C), 1);
}

// An MDS written by hand in this process, over TCP: it shows what the client does with
// each register and reconnect answer.
struct HandMds {
    uint32_t listener = 0, link = 0xFFFFFFFF;
    explicit HandMds(uint16_t port) {
        (void)EMTInitialize(nullptr, 0, 0, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        EXPECT_EQ(EMTListen(&a, &listener, 1, nullptr), 0u);
    }
    // No time limit: a bound here would run on the test's fake clock too.
    bool Accept() { return EMTAccept(listener, nullptr, nullptr, &link) == 0; }
    // The EMT type of the next frame of class 2, and its body's first byte.
    int Next(uint8_t* first = nullptr) {
        uint8_t f[128];
        if (EMTReceive(link, f, sizeof f) != 0 || f[2] != MDS_EMT_CLASS) return -1;
        if (first) *first = f[4];
        return f[3];
    }
    void Reply(uint8_t type, uint32_t status) {
        uint8_t f[8];
        EmtSetHeader(f, 4, MDS_EMT_CLASS, type);
        plat::StoreLE32(f + 4, status);
        (void)EMTSend(link, f);
    }
    void Data(uint8_t cls, uint8_t type, uint32_t stamp = 0xFFFFFFFF, uint8_t flags = 0) {
        uint8_t f[4 + MDS_HEADER_SIZE];
        EmtSetHeader(f, MDS_HEADER_SIZE, MDS_EMT_CLASS, MDS_MSG_DATA);
        MDSHeader h;
        h.sender = 1;
        h.destination = 10;
        h.flags = flags;
        h.stamp = stamp;
        h.messageClass = cls;
        h.messageType = type;
        MDSEncodeHeader(h, f + 4);
        (void)EMTSend(link, f);
    }
    void InService() { Data(0, MDS_STATUS_IN_SERVICE); }
    // The MDS header of the next data frame the client sends.
    bool NextData(MDSHeader* out) {
        uint8_t f[4200];
        if (EMTReceive(link, f, sizeof f) != 0 || f[2] != MDS_EMT_CLASS || f[3] != MDS_MSG_DATA)
            return false;
        *out = MDSDecodeHeader(f + 4);
        return true;
    }
    void Drop() { EMTDisconnect(link); }
};

// Holds a reference on the client's end of the hand MDS's link, as a thread still inside
// EMT would: the client's disconnect of that end then completes, and sets the client's break
// event, only when ReleaseRef drops it. The client's end, or 0xFFFFFFFF when none is found.
uint32_t HoldClientEnd(uint32_t serverLink) {
    emt::EmtControlBlock* s = emt::LockBlock(serverLink);
    if (!s) return 0xFFFFFFFF;
    const sockaddr_in peer = s->remote;
    emt::UnlockBlock(s);
    for (uint32_t h = 0; h < emt::Lib().nextHandle.load(); ++h) {
        if (h == serverLink) continue;
        emt::EmtControlBlock* cb = emt::LockBlock(h);
        if (!cb) continue;
        const bool found = !cb->listening && cb->local.sin_port == peer.sin_port &&
                           cb->local.sin_addr.s_addr == peer.sin_addr.s_addr;
        if (found) cb->AddRef();
        emt::UnlockBlock(cb);
        if (found) return h;
    }
    return 0xFFFFFFFF;
}

// Registration that gets no answer reconnects after 3 s and registers again; the status
// 0x61043F08 registers. A loss in service gives the out-of-service status; a refused
// reconnect closes that link and the next try comes 3 s later; status 0 takes it back.
// The refused link's disconnect is told late, once the next link is up (as when a thread
// was still inside EMT on it): that late word must not break the new link.
TEST(MdsRunTime, RegisterAndReconnectAnswers) {
    plat::FakeClock clock;
    plat::ScopedClock scoped(&clock);
    static EMSSeams seams{};
    seams.PrintToConsole = &RecordEvent;
    EMSInstallSeams(&seams);
    MDSSetEmtConnectFlags(1);
    uint16_t port = mdstest::WriteProcess();
    HandMds mds(port);
    std::vector<int64_t> at;  // when each register or reconnect request came, on the clock
    std::thread fake([&] {
        uint8_t handle = 0;
        if (!mds.Accept() || mds.Next(&handle) != MSG_REGISTER_CLIENT || handle != 10) return;
        at.push_back(NowMs());
        mds.Drop();  // no reply
        if (!mds.Accept() || mds.Next() != MSG_REGISTER_CLIENT) return;
        at.push_back(NowMs());
        mds.Reply(MSG_REGISTER_REPLY, MDS_S_REGISTERED);
        if (mds.Next() != MSG_START_CLIENT) return;
        mds.InService();
        // Lost in service: the client must have taken the status first.
        if (!g.WaitFor([] { return g.inService >= 1; }, 10000)) return;
        mds.Drop();
        uint32_t held = 0xFFFFFFFF;
        for (uint32_t status : {5u, 0u}) {
            if (!mds.Accept() || mds.Next(&handle) != MSG_RECONNECT_CLIENT || handle != 10) return;
            at.push_back(NowMs());
            if (status != 0) {
                held = HoldClientEnd(mds.link);
                if (held == 0xFFFFFFFF) return;
            } else {
                const uint32_t told = emt::Lib().delayedDisconnects.load();
                emt::ReleaseRef(held);
                if (!testsupport::WaitFor([told] { return emt::Lib().delayedDisconnects.load() > told; }, 10000))
                    return;
            }
            mds.Reply(MSG_RECONNECT_REPLY, status);
        }
        mds.InService();
    });
    ClockPump pump(clock);
    MDSClientParams p{1, "client", 0, mdstest::kInstance, Status, Status};
    uint8_t handle = 0;
    EXPECT_EQ(MDSRegisterClient(&p, &handle), MDS_S_REGISTERED);
    EXPECT_EQ(plat::GetLastError(), MDS_S_REGISTERED);
    EXPECT_EQ(handle, 10);
    std::thread([] { MDSStartClient(); }).detach();
    EXPECT_TRUE(g.WaitFor([] { return g.inService >= 2; }, 20000));
    fake.join();
    ASSERT_EQ(at.size(), 4u);
    // Register again after the 3 s pause; a refused reconnect is tried again 3 s later.
    // (Setting up the new link takes time of the same clock too.)
    EXPECT_GE(at[1] - at[0], 3000);
    EXPECT_GE(at[3] - at[2], 3000);
    EXPECT_EQ(g.outOfService, 1);
    EXPECT_EQ(events.Count(0xE104800E), 1);
    EXPECT_EQ(events.Count(0x61048003), 1);
    // Losses: the unanswered registration, the drop in service and the refused reconnect.
    EXPECT_EQ(events.Count(0xE1048001), 3);
}

// "Still registered" is answered by registering again on the same link 15 s later; any
// other status ends the registration with that status. Both are reported.
TEST(MdsRunTime, RegisterStatusesThatAreNotSuccess) {
    plat::FakeClock clock;
    plat::ScopedClock scoped(&clock);
    static EMSSeams seams{};
    seams.PrintToConsole = &RecordEvent;
    EMSInstallSeams(&seams);
    MDSSetEmtConnectFlags(1);
    HandMds mds(mdstest::WriteProcess());
    // No heartbeats: nothing but the pause takes time on the link while it waits.
    mdstest::WriteClient("client", 10, 65535);
    int64_t again = 0;
    int accepted = 0;
    // Time moves for the link's set-up; then only to the client's pause, passing over the
    // transport's shorter polls, so that a slow machine cannot stretch the pause.
    std::optional<ClockPump> pump(std::in_place, clock);
    std::thread fake([&] {
        if (!mds.Accept() || mds.Next() != MSG_REGISTER_CLIENT) return;
        ++accepted;
        pump.reset();
        const int64_t t0 = NowMs();
        mds.Reply(MSG_REGISTER_REPLY, MDS_E_ALREADY_REGISTERED);
        clock.AdvanceToDeadlineAtLeast((t0 + 14000) * 1000000);
        if (mds.Next() != MSG_REGISTER_CLIENT) return;
        again = NowMs() - t0;
        mds.Reply(MSG_REGISTER_REPLY, 0xE1043F0B);
    });
    MDSClientParams p{1, "client", 0, mdstest::kInstance, Status, Status};
    uint8_t handle = 0;
    EXPECT_EQ(MDSRegisterClient(&p, &handle), 0xE1043F0Bu);
    EXPECT_EQ(plat::GetLastError(), 0xE1043F0Bu);
    EXPECT_EQ(handle, 0xFF);
    fake.join();
    EXPECT_EQ(accepted, 1);  // the same link throughout
    EXPECT_GE(again, 15000);
    EXPECT_LT(again, 17000);
    EXPECT_EQ(events.Count(0xE1040005), 2);
    EXPECT_EQ(MDSSendInput(17, 1, 0, nullptr, 4), 0);
    EXPECT_EQ(plat::GetLastError(), MDS_E_NOT_REGISTERED);
}

// What the received frames do to the stamp, the sequence and the echo flag, and the
// out-of-service status from MDS.
TEST(MdsRunTime, StampSequenceAndEcho) {
    MDSSetEmtConnectFlags(1);
    uint16_t port = mdstest::WriteProcess();
    HandMds mds(port);
    std::thread fake([&] {
        if (!mds.Accept() || mds.Next() != MSG_REGISTER_CLIENT) return;
        mds.Reply(MSG_REGISTER_REPLY, 0);
        if (mds.Next() != MSG_START_CLIENT) return;
        mds.InService();
    });
    MDSClientParams p{1, "client", 1, mdstest::kInstance, Status, Status};
    uint8_t handle = 0;
    ASSERT_EQ(MDSRegisterClient(&p, &handle), 0u);
    ASSERT_EQ(MDSSetMessageHandler(17, Data), 1);
    std::thread([] { MDSStartClient(); }).detach();
    fake.join();
    ASSERT_TRUE(g.WaitFor([] { return g.inService >= 1; }, 10000));
    auto deliver = [&](uint32_t stamp, uint8_t flags) {
        size_t before;
        {
            std::lock_guard<std::mutex> l(g.mu);
            before = g.data.size();
        }
        mds.Data(17, 1, stamp, flags);
        ASSERT_TRUE(g.WaitFor([&] { return g.data.size() > before; }, 5000));
    };
    auto send = [&](uint8_t cls) {
        void* b = MDSAllocBuffer(4);
        std::memset(b, 0, 4);
        ASSERT_EQ(MDSSendInput(cls, 9, 0, b, 4), 1);
    };
    struct Step {
        bool deliver;       // MDS delivers a frame with this stamp and flags first
        uint32_t stamp;
        uint8_t flags;
        uint32_t wantStamp;  // then the client's next message carries these
        uint16_t wantSequence;
        uint8_t wantFlags;   // bit 1: the client flag; bit 0: the echo of the last frame
    } steps[] = {
        {true, 7, 0, 7, 0, 2},
        {false, 0, 0, 7, 1, 2},
        {true, 0xFFFFFFFF, 1, 7, 2, 3},  // no stamp: nothing but the echo changes
        {true, 7, 0, 7, 0, 2},           // the same stamp again starts the count anew
        {true, 8, 1, 8, 0, 3},
    };
    for (const Step& st : steps) {
        SCOPED_TRACE(st.wantSequence);
        if (st.deliver) deliver(st.stamp, st.flags);
        send(17);
        MDSHeader h;
        ASSERT_TRUE(mds.NextData(&h));
        EXPECT_EQ(h.stamp, st.wantStamp);
        EXPECT_EQ(h.sequence, st.wantSequence);
        EXPECT_EQ(h.flags, st.wantFlags);
        EXPECT_EQ(h.sender, 10);
        EXPECT_EQ(h.destination, MDS_DESTINATION_MDS);
    }
    // Out of service from MDS: no stamp, count from 0, and only class 1 leaves.
    mds.Data(0, MDS_STATUS_OUT_OF_SERVICE);
    ASSERT_TRUE(g.WaitFor([] { return g.outOfService >= 1; }, 5000));
    EXPECT_EQ(g.stampAtOutOfService, 0xFFFFFFFFu);
    send(17);
    send(1);
    MDSHeader h;
    ASSERT_TRUE(mds.NextData(&h));
    EXPECT_EQ(h.messageClass, 1);
    EXPECT_EQ(h.stamp, 0xFFFFFFFFu);
    EXPECT_EQ(h.sequence, 0);
}

// A stop before the client started sends no stop frame and only closes the link; a second
// stop does nothing more.
TEST(MdsRunTime, StopBeforeStartOnlyDisconnects) {
    static EMSSeams seams{};
    seams.PrintToConsole = &RecordEvent;
    EMSInstallSeams(&seams);
    MDSSetEmtConnectFlags(1);
    uint16_t port = mdstest::WriteProcess();
    HandMds mds(port);
    std::thread fake([&] {
        if (!mds.Accept() || mds.Next() != MSG_REGISTER_CLIENT) return;
        mds.Reply(MSG_REGISTER_REPLY, 0);
    });
    MDSClientParams p{1, "client", 0, mdstest::kInstance, Status, Status};
    uint8_t handle = 0;
    ASSERT_EQ(MDSRegisterClient(&p, &handle), 0u);
    fake.join();
    // A missing performance-monitor switch is written as 0.
    plat::RegKey k = nullptr;
    ASSERT_EQ(plat::RegOpenKey(plat::RegRoot(),
                               (mdstest::Base() + "\\MDS\\CurrentVersion\\Clients\\client").c_str(), &k),
              0u);
    uint32_t type = 0, perf = 7, size = 4;
    EXPECT_EQ(plat::RegQueryValue(k, "EnablePerformanceMonitor", &type, &perf, &size), 0u);
    EXPECT_EQ(type, plat::REG_DWORD);
    EXPECT_EQ(perf, 0u);
    plat::RegCloseKey(k);
    // A process registers once.
    handle = 0;
    EXPECT_EQ(MDSRegisterClient(&p, &handle), MDS_E_ALREADY_REGISTERED);
    EXPECT_EQ(handle, 0xFF);
    EXPECT_EQ(MDSStopClient(0), 1);
    EXPECT_EQ(MDSStopClient(1), 1);
    EXPECT_EQ(mds.Next(), -1);  // the link closes with no frame on it
    EXPECT_EQ(events.Count(0x61048004), 1);
    EXPECT_EQ(events.Count(0x6104001B), 0);  // no acknowledgement was awaited
    EXPECT_EQ(events.Count(0xA1048005), 0);
    EXPECT_EQ(events.Count(0xA104001C), 0);
    EXPECT_EQ(events.Count(0xE1048001), 0);  // no loss reported while stopping
}

TEST(MdsRegistration, RefusalsAndTheUnregisteredClient) {
    mdstest::WriteProcess();
    EXPECT_EQ(MDSSendInput(17, 1, 0, nullptr, 4), 0);
    EXPECT_EQ(plat::GetLastError(), MDS_E_NOT_REGISTERED);
    EXPECT_EQ(MDSAllocBuffer(10), nullptr);
    EXPECT_EQ(plat::GetLastError(), MDS_E_NOT_REGISTERED);
    EXPECT_EQ(MDSSetMessageHandler(17, Data), 0);
    EXPECT_EQ(MDSStopClient(0), 0);
    EXPECT_EQ(MDSGetLastInputStamp(), 0xFFFFFFFFu);
    EXPECT_EQ(MDSIsSynchronized(), 0u);
    EXPECT_EQ(MDSGetHandle("peer"), 0xFF);

    uint8_t handle = 0;
    MDSClientParams v2{2, "client", 0, mdstest::kInstance, Status, Status};
    EXPECT_EQ(MDSRegisterClient(&v2, &handle), MDS_E_VERSION);
    EXPECT_EQ(handle, 0xFF);
    EXPECT_EQ(plat::GetLastError(), MDS_E_VERSION);

    MDSClientParams unknown{1, "nobody", 0, mdstest::kInstance, Status, Status};
    handle = 0;
    EXPECT_EQ(MDSRegisterClient(&unknown, &handle), MDS_E_CONFIG);
    EXPECT_EQ(handle, 0xFF);
}

}  // namespace

namespace {

// A register reply that is not a 4-byte status ends the process, even when its first
// four bytes hold 0.
void RegisterAgainstBadMds() {
    // Over TCP: the process ends without closing, and leaves no shared memory behind.
    MDSSetEmtConnectFlags(1);
    uint16_t port = mdstest::WriteProcess();
    (void)EMTInitialize(nullptr, 0, 0, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    uint32_t lh = 0;
    if (EMTListen(&a, &lh, 1, nullptr) != 0) std::_Exit(3);
    std::thread([lh] {
        uint32_t h = 0;
        if (EMTAccept(lh, nullptr, nullptr, &h) != 0) return;
        uint8_t buf[64];
        (void)EMTReceive(h, buf, sizeof buf);  // the register frame
        uint8_t reply[12] = {};
        EmtSetHeader(reply, 8, MDS_EMT_CLASS, MSG_REGISTER_REPLY);
        (void)EMTSend(h, reply);
        (void)EMTReceive(h, buf, sizeof buf);
    }).detach();
    MDSClientParams p{1, "client", 0, mdstest::kInstance, Status, Status};
    uint8_t handle = 0;
    (void)MDSRegisterClient(&p, &handle);  // ends the process
    std::_Exit(4);
}

TEST(MdsRegistrationDeathTest, RegisterReplyOfEightBytesIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(RegisterAgainstBadMds(), ::testing::ExitedWithCode(EMS_EXIT_FATAL & 0xFF), "");
}

void PrintTextsToStderr(const uint8_t* block, uint32_t length) {
    EMSParsedRecord r;
    if (!EMSParseRecord(block, length, &r)) return;
    std::string text;
    for (uint32_t i = 0; i < r.argCount; ++i) text += r.args[i];
    std::fprintf(stderr, "%s\n", text.c_str());
}

// A started client whose MDS answers with a frame it cannot take.
enum class BadFrame { InReceiveLoop, AsReconnectReply };
void StartAgainstBadMds(BadFrame bad) {
    static EMSSeams seams{};
    seams.PrintToConsole = &PrintTextsToStderr;
    EMSInstallSeams(&seams);
    MDSSetEmtConnectFlags(1);
    auto* mds = new HandMds(mdstest::WriteProcess());
    std::thread([mds, bad] {
        if (!mds->Accept() || mds->Next() != MSG_REGISTER_CLIENT) return;
        mds->Reply(MSG_REGISTER_REPLY, 0);
        if (mds->Next() != MSG_START_CLIENT) return;
        mds->InService();
        if (bad == BadFrame::InReceiveLoop) {
            mds->Reply(MSG_REGISTER_REPLY, 0);  // class 2, but not a data frame
        } else {
            mds->Drop();
            if (!mds->Accept() || mds->Next() != MSG_RECONNECT_CLIENT) return;
            mds->Reply(MSG_REGISTER_REPLY, 0);
        }
        // The fatal exit stops the client: acknowledge it so that the exit is quick.
        for (int t; (t = mds->Next()) >= 0;) {
            if (t == MSG_STOP_CLIENT) {
                uint8_t ack[4];
                EmtSetHeader(ack, 0, MDS_EMT_CLASS, MSG_STOP_CLIENT_ACK);
                (void)EMTSend(mds->link, ack);
            }
        }
    }).detach();
    // The reconnect comes after a 3 s pause: on a fake clock that a pump moves.
    static plat::FakeClock clock;
    plat::SetClock(&clock);
    new ClockPump(clock);  // runs until the process ends
    MDSClientParams p{1, "client", 0, mdstest::kInstance, Status, Status};
    uint8_t handle = 0;
    if (MDSRegisterClient(&p, &handle) != 0) std::_Exit(3);
    std::thread([] { MDSStartClient(); }).detach();
    // Ended by the fatal report; without one, after a generous bound of real time.
    std::mutex mu;
    std::condition_variable never;
    std::unique_lock<std::mutex> lock(mu);
    never.wait_for(lock, std::chrono::seconds(60), [] { return false; });
    std::_Exit(4);
}

TEST(MdsRunTimeDeathTest, FramesTheClientCannotTakeAreFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(StartAgainstBadMds(BadFrame::InReceiveLoop),
                ::testing::ExitedWithCode(EMS_EXIT_FATAL & 0xFF),
                "MDS: Non-MDS message received in main message loop\\.");
    EXPECT_EXIT(StartAgainstBadMds(BadFrame::AsReconnectReply),
                ::testing::ExitedWithCode(EMS_EXIT_FATAL & 0xFF),
                "MDS: Invalid reconnect response received from MDS process\\.");
}

}  // namespace
