// IMT: the block allocator of a buffer, one socket's ring, and connections between two
// processes of this node through shared memory.
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "nuvlib/emt/emt.h"
#include "nuvlib/emt/imtsock.h"
#include "tests/nuvlib/emt/spawn.h"
#include "tests/nuvlib/emt/waiting.h"
#include "tests/support/fake_clock.h"

namespace {

using emt::ImtSocket;
using testsupport::WaitFor;

int16_t Tag(const std::vector<uint8_t>& b, int block) {
    int16_t v;
    std::memcpy(&v, b.data() + 28 + 2 * block, 2);
    return v;
}
uint16_t SearchStart(const std::vector<uint8_t>& b) {
    uint16_t v;
    std::memcpy(&v, b.data() + 1052, 2);
    return v;
}

TEST(ImtBlocks, NewBufferAndRunsThatMerge) {
    std::vector<uint8_t> b(emt::kImtSectionSize);
    ImtSocket::InitHeader(b.data(), 1234);
    EXPECT_EQ(Tag(b, 0), -5);
    EXPECT_EQ(Tag(b, 4), -5);
    EXPECT_EQ(Tag(b, 5), 507);
    EXPECT_EQ(Tag(b, 511), 507);
    EXPECT_EQ(SearchStart(b), 5);

    // Frames of 256 and 257 bytes take one and two blocks.
    int a = ImtSocket::AllocBlocks(b.data(), (256 + 255) / 256);
    int c = ImtSocket::AllocBlocks(b.data(), (257 + 255) / 256);
    int d = ImtSocket::AllocBlocks(b.data(), 3);
    EXPECT_EQ(a, 5);
    EXPECT_EQ(c, 6);
    EXPECT_EQ(d, 8);
    EXPECT_EQ(Tag(b, 6), -2);
    EXPECT_EQ(Tag(b, 7), -2);
    EXPECT_EQ(SearchStart(b), 11);
    // Middle run, then the first: one free run over both; search start drops to it.
    ImtSocket::ReleaseBlocks(b.data(), c);
    EXPECT_EQ(Tag(b, 6), 2);
    ImtSocket::ReleaseBlocks(b.data(), a);
    EXPECT_EQ(Tag(b, 5), 3);
    EXPECT_EQ(Tag(b, 7), 3);
    EXPECT_EQ(SearchStart(b), 5);
    // Releasing the last run merges everything back into one free run.
    ImtSocket::ReleaseBlocks(b.data(), d);
    EXPECT_EQ(Tag(b, 5), 507);
    EXPECT_EQ(Tag(b, 511), 507);
    // Nothing larger than the buffer fits; a corrupt map is never walked for ever.
    EXPECT_EQ(ImtSocket::AllocBlocks(b.data(), 508), 0);
    std::memset(b.data() + 28 + 2 * 5, 0, 2);
    EXPECT_EQ(ImtSocket::AllocBlocks(b.data(), 1), 0);
}

std::vector<uint8_t> Frame(uint16_t body, uint8_t fill) {
    std::vector<uint8_t> f(4u + body, fill);
    EmtSetHeader(f.data(), body, 17, 1);
    return f;
}

TEST(ImtSocketRing, SevenFramesWaitTheEighthBlocks) {
    uint32_t err = 0;
    auto own = ImtSocket::Create(getpid(), 7, &err);
    ASSERT_NE(own, nullptr) << err;
    auto dup = ImtSocket::Create(getpid(), 7, &err);
    EXPECT_EQ(dup, nullptr);  // a name held by a live process cannot be created again
    auto peer = ImtSocket::Open(getpid(), 7, &err);
    ASSERT_NE(peer, nullptr);

    auto small = Frame(10, 1);
    for (int i = 0; i < 7; ++i) ASSERT_EQ(peer->Write(small.data(), small.size()), 0u);
    std::atomic<bool> written{false};
    std::thread eighth([&] {
        EXPECT_EQ(peer->Write(small.data(), small.size()), 0u);
        written = true;
    });
    ASSERT_TRUE(WaitFor([&] { return peer->Users() == 1; }));  // inside the write
    EXPECT_FALSE(written.load());
    uint8_t buf[2048];
    uint32_t len = 0;
    ASSERT_EQ(own->Read(buf, sizeof buf, 1000, &len), 0u);
    eighth.join();
    EXPECT_TRUE(written.load());
    for (int i = 0; i < 7; ++i) ASSERT_EQ(own->Read(buf, sizeof buf, 1000, &len), 0u);
    EXPECT_EQ(own->Read(buf, sizeof buf, 100, &len), EMT_WSA_ETIMEDOUT);

    // A frame larger than the buffer stays queued with its header copied out.
    auto big = Frame(996, 7);
    ASSERT_EQ(peer->Write(big.data(), big.size()), 0u);
    std::memset(buf, 0, sizeof buf);
    EXPECT_EQ(own->Read(buf, 128, 1000, &len), EMT_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(EmtBodyLength(buf), 996);
    ASSERT_EQ(own->Read(buf, 1000, 1000, &len), 0u);
    EXPECT_EQ(len, 1000u);
    EXPECT_EQ(buf[999], 7);

    // Closing wakes a waiting reader.
    std::thread rd([&] { EXPECT_EQ(own->Read(buf, sizeof buf, emt::kInfinite, &len),
                                   EMT_E_IMT_SOCKET_CLOSED); });
    ASSERT_TRUE(WaitFor([&] { return own->Users() == 1; }));  // inside the read
    own->Shutdown();
    rd.join();
    EXPECT_TRUE(peer->ClosedByOwner());
    EXPECT_EQ(peer->Write(small.data(), small.size()), EMT_E_IMT_SOCKET_CLOSED);
    peer.reset();
    own.reset();
}

class EmtImt : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(EMTInitialize(nullptr, 0, 0, 0), 0u); }
    void TearDown() override { testsupport::RemoveNamespaceShm(); }
    uint16_t port_ = testsupport::FreePort();
};

TEST_F(EmtImt, TwoProcessesExchangeTenThousandFrames) {
    testsupport::Child child({EMT_PEER_BIN, std::to_string(port_)});
    ASSERT_NE(child.WaitLine("READY"), "");
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port_);
    plat::Event brk;
    uint32_t h = 0;
    ASSERT_EQ(EMTConnect(nullptr, &to, 10, &brk, 10000, &h, 0, nullptr), 0u);
    char l[64], r[64];
    uint32_t ls = 64, rs = 64;
    ASSERT_EQ(EMTGetAddressStrings(h, l, &ls, r, &rs), 0u);
    EXPECT_EQ(std::string(l).rfind("[0x", 0), 0u) << l;  // an IMT address, not TCP
    std::vector<uint8_t> in(4100);
    // Up to seven frames in flight, every size that a frame may have in the buffers.
    const int total = 10000;
    int sent = 0, got = 0;
    while (got < total) {
        while (sent < total && sent - got < 7) {
            auto f = Frame(static_cast<uint16_t>(sent % 4029), static_cast<uint8_t>(sent));
            ASSERT_EQ(EMTSend(h, f.data()), 0u);
            ++sent;
        }
        ASSERT_EQ(EMTReceive(h, in.data(), static_cast<uint32_t>(in.size())), 0u);
        ASSERT_EQ(EmtBodyLength(in.data()), got % 4029);
        if (got % 4029) {
            ASSERT_EQ(in[4], static_cast<uint8_t>(got));
        }
        ++got;
    }
    EXPECT_FALSE(brk.IsSet());
    EXPECT_EQ(EMTDisconnect(h), 0u);
}

TEST_F(EmtImt, StalledPeerBlocksTheEighthFrameAndItsDeathBreaksTheLink) {
    testsupport::Child child({EMT_PEER_BIN, std::to_string(port_), "stall"});
    ASSERT_NE(child.WaitLine("READY"), "");
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port_);
    plat::Event brk;
    uint32_t h = 0;
    ASSERT_EQ(EMTConnect(nullptr, &to, 10, &brk, 10000, &h, 0, nullptr), 0u);
    auto f = Frame(100, 3);
    for (int i = 0; i < 7; ++i) ASSERT_EQ(EMTSend(h, f.data()), 0u);
    std::atomic<uint32_t> eighth{0xFFFFFFFF};
    std::thread tx([&] { eighth = EMTSend(h, f.data()); });
    ASSERT_TRUE(WaitFor([&] { return testsupport::Refs(h) == 1; }));  // the send is inside EMT
    EXPECT_EQ(eighth.load(), 0xFFFFFFFFu);  // and waits for room
    child.Kill(SIGKILL);
    tx.join();
    EXPECT_EQ(eighth.load(), EMT_E_IMT_PEER_GONE);
    EXPECT_EQ(brk.Wait(20000), plat::WAIT_OBJECT_0);
    EXPECT_EQ(EMTGetConnectionError(h), EMT_E_IMT_PEER_GONE);
    EXPECT_EQ(EMTDisconnect(h), 0u);
}

// Requests that are not well-formed connect requests are dropped; the listener goes on.
TEST_F(EmtImt, ListenerDropsBadRequestsAndGoesOn) {
    testsupport::Child child({EMT_PEER_BIN, std::to_string(port_)});
    ASSERT_NE(child.WaitLine("READY"), "");
    uint32_t err = 0;
    auto ls = ImtSocket::Open(0, port_, &err);
    ASSERT_NE(ls, nullptr) << err;
    uint8_t bad[12] = {};
    EmtSetHeader(bad, 8, 15, 1);
    bad[4] = 2;  // first field must be 1
    ASSERT_EQ(ls->Write(bad, 12), 0u);
    EmtSetHeader(bad, 8, 15, 9);  // not a request
    bad[4] = 1;
    ASSERT_EQ(ls->Write(bad, 12), 0u);
    auto big = Frame(2000, 1);  // far longer than a request
    ASSERT_EQ(ls->Write(big.data(), big.size()), 0u);
    ls.reset();
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port_);
    uint32_t h = 0;
    ASSERT_EQ(EMTConnect(nullptr, &to, 10, nullptr, 10000, &h, 0, nullptr), 0u);
    auto f = Frame(5, 9);
    ASSERT_EQ(EMTSend(h, f.data()), 0u);
    uint8_t in[64];
    ASSERT_EQ(EMTReceive(h, in, sizeof in), 0u);
    EXPECT_EQ(in[8], 9);
    EXPECT_EQ(EMTDisconnect(h), 0u);
}

class EmtImtFakeTime : public testsupport::FakeClockTest {
protected:
    void SetUp() override { ASSERT_EQ(EMTInitialize(nullptr, 0, 0, 0), 0u); }
    void TearDown() override { testsupport::RemoveNamespaceShm(); }
    uint16_t port_ = testsupport::FreePort();
};

// No listener: three tries 500 ms apart to reach it, a pause for the rest of the 2000 ms,
// one more attempt, then 10060.
TEST_F(EmtImtFakeTime, ConnectWithoutListenerTimesOut) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port_);
    uint32_t h = 0;
    const int64_t t0 = plat::MonotonicNs();
    testsupport::Background conn(
        [&] { return EMTConnect(nullptr, &to, 10, nullptr, 2000, &h, 0, nullptr); });
    EXPECT_TRUE(clock_.AdvanceUntil([&] { return conn.Done(); }, 20));
    EXPECT_EQ(conn.Finished(), EMT_WSA_ETIMEDOUT);
    const double s = static_cast<double>(plat::MonotonicNs() - t0) / 1e9;
    EXPECT_GE(s, 2.0);
    EXPECT_LT(s, 5.0);
}

}  // namespace
