// Wake-ups of the IMT ring: a reader or writer that looks at the ring before it sleeps must
// still be woken for every frame and every freed slot, whichever side moves first.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "nuvlib/emt/emt.h"
#include "nuvlib/emt/imtsock.h"
#include "platform/clock.h"

namespace {

using emt::ImtSocket;

// Waits (real time, generous bound) for what the other thread does; yields meanwhile, since
// a round here lasts microseconds.
bool Await(const std::function<bool()>& pred) {
    const int64_t end = plat::SystemMonotonicNs() + int64_t{20000} * 1000000;
    while (!pred()) {
        if (plat::SystemMonotonicNs() >= end) return pred();
        std::this_thread::yield();
    }
    return true;
}

// Frame body: sequence number, the writer's sleep count when a hold was asked (else ~0),
// then filler up to the frame's size.
constexpr uint32_t kNoHold = 0xFFFFFFFF;
std::vector<uint8_t> Frame(uint32_t seq, uint32_t hold, uint16_t body) {
    std::vector<uint8_t> f(4u + body, static_cast<uint8_t>(seq));
    EmtSetHeader(f.data(), body, 17, 1);
    std::memcpy(f.data() + 4, &seq, 4);
    std::memcpy(f.data() + 8, &hold, 4);
    return f;
}

// Rounds of three kinds, over and over:
//  - a burst at once, up to eleven frames, some of several blocks (the reader may be
//    spinning, about to sleep or asleep; the writer fills the ring and waits for room);
//  - one to three frames only once the reader sleeps on the condition;
//  - a burst that fills the ring while the reader holds off until the writer sleeps for
//    room, so the reader's next read must wake it.
// Every frame arrives once, in order, and no wait ever ran out with its frame or room there.
TEST(ImtWakeUps, EveryFrameArrivesAcrossSleepsOnBothSides) {
    uint32_t err = 0;
    auto own = ImtSocket::Create(getpid(), 9, &err);
    ASSERT_NE(own, nullptr) << err;
    auto peer = ImtSocket::Open(getpid(), 9, &err);
    ASSERT_NE(peer, nullptr) << err;

    constexpr int kRounds = 900;
    uint32_t total = 0;
    for (int round = 0; round < kRounds; ++round)
        total += round % 3 == 0 ? 1 + round % 11 : round % 3 == 1 ? 1 + round % 3 : 12;

    std::atomic<uint32_t> received{0};
    std::atomic<uint64_t> sleepsAtLastRead{0};  // the reader's, once it had its last frame
    int holdsFailed = 0;
    std::thread reader([&] {
        std::vector<uint8_t> buf(2048);
        while (received < total) {
            uint32_t len = 0;
            uint32_t r = own->Read(buf.data(), static_cast<uint32_t>(buf.size()), emt::kInfinite, &len);
            if (r != 0) {
                ADD_FAILURE() << "read " << std::hex << r;
                return;
            }
            uint32_t seq = 0, hold = 0;
            std::memcpy(&seq, buf.data() + 4, 4);
            std::memcpy(&hold, buf.data() + 8, 4);
            if (seq != received.load() || len != EmtBodyLength(buf.data()) + 4u) {
                ADD_FAILURE() << "frame " << seq << " of " << len << " bytes where " << received
                              << " was due";
                return;
            }
            sleepsAtLastRead = own->Sleeps();
            ++received;
            if (hold != kNoHold && !Await([&] { return peer->Sleeps() > hold; })) ++holdsFailed;
        }
    });

    uint32_t seq = 0;
    auto write = [&](uint32_t hold, uint16_t body) {
        auto f = Frame(seq++, hold, body);
        ASSERT_EQ(peer->Write(f.data(), static_cast<uint32_t>(f.size())), 0u);
    };
    int readerSleepRounds = 0, writerSleepRounds = 0;
    for (int round = 0; round < kRounds && !::testing::Test::HasFailure(); ++round) {
        switch (round % 3) {
            case 0:
                for (int i = 0; i <= round % 11; ++i)
                    write(kNoHold, static_cast<uint16_t>(i % 4 == 3 ? 700 : 8 + i));
                break;
            case 1:
                // All read, and the reader has slept since. The count moves under the lock
                // just before the wait, so this write (which takes the lock) comes after.
                if (!Await([&] {
                        return received.load() == seq && own->Sleeps() > sleepsAtLastRead.load();
                    })) {
                    ADD_FAILURE() << "the reader never slept, round " << round;
                    break;
                }
                ++readerSleepRounds;
                for (int i = 0; i <= round % 3; ++i) write(kNoHold, 8);
                break;
            default:
                write(static_cast<uint32_t>(peer->Sleeps()), 8);
                for (int i = 0; i < 11; ++i) write(kNoHold, 8);
                ++writerSleepRounds;
                break;
        }
    }
    if (::testing::Test::HasFailure()) own->Shutdown();  // lets the reader out
    reader.join();
    EXPECT_EQ(received, total);
    EXPECT_EQ(holdsFailed, 0);
    EXPECT_EQ(own->MissedWakes(), 0u);
    EXPECT_EQ(peer->MissedWakes(), 0u);
    EXPECT_GE(own->Sleeps(), static_cast<uint64_t>(readerSleepRounds));
    EXPECT_GE(peer->Sleeps(), static_cast<uint64_t>(writerSleepRounds));
}

}  // namespace
