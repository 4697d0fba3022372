#pragma once
// The OPC link's output for tests: while an OutputCapture lives, every message the server's
// writers hand to MDS is kept here instead, in the order sent.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "parlo/opclink/opclinkoutput.h"
#include "platform/byteorder.h"
#include "tests/support/wait.h"

namespace opclinktest {

// One message to the OPC: its type and payload (the ServerNumber word first).
struct Sent {
    uint8_t type = 0;
    std::vector<uint8_t> payload;
    // The little-endian word at `index` (0 is the ServerNumber); 0 past the end.
    uint32_t Word(size_t index) const {
        return 4 * index + 4 <= payload.size() ? plat::LoadLE32(payload.data() + 4 * index) : 0;
    }
};

// Installs itself as the link's output on construction and puts back the output it replaced
// on destruction (which waits for a capture in progress).
class OutputCapture final : public OPCLinkOutput {
public:
    OutputCapture() : previous_(InstallOPCLinkOutput(this)) {}
    ~OutputCapture() override { InstallOPCLinkOutput(previous_); }
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

    // Under the link's output lock: keeps a copy and wakes the waiters; never sends.
    void Send(uint8_t, uint8_t type, OPCStorage storage, uint16_t length, uint32_t) override {
        std::lock_guard<std::mutex> hold(mu_);
        sent_.push_back(Sent{type, std::vector<uint8_t>(storage.get(), storage.get() + length)});
        cv_.notify_all();
    }

    // Everything captured since the last Take, oldest first.
    std::vector<Sent> Take() {
        std::lock_guard<std::mutex> hold(mu_);
        std::vector<Sent> all;
        all.swap(sent_);
        return all;
    }
    // The captured messages of `type`, oldest first; the others stay.
    std::vector<Sent> Take(uint8_t type) {
        std::lock_guard<std::mutex> hold(mu_);
        std::vector<Sent> out, rest;
        for (auto& s : sent_) (s.type == type ? out : rest).push_back(std::move(s));
        sent_.swap(rest);
        return out;
    }
    // Waits (bounded, in real time) for a message of `type` and takes the oldest one into
    // `*out` (may be null); false when none came.
    bool WaitFor(uint8_t type, Sent* out,
                 std::chrono::milliseconds bound = std::chrono::seconds(30)) {
        std::unique_lock<std::mutex> hold(mu_);
        auto found = [&] {
            for (auto it = sent_.begin(); it != sent_.end(); ++it)
                if (it->type == type) {
                    if (out) *out = std::move(*it);
                    sent_.erase(it);
                    return true;
                }
            return false;
        };
        return cv_.wait_for(hold, bound, found);
    }
    // Waits (bounded, in real time) until `done` holds, looking again at every capture and
    // every 10 ms; `done` runs without the capture's lock. Returns done().
    bool WaitUntil(const std::function<bool()>& done,
                   std::chrono::milliseconds bound = std::chrono::seconds(30)) {
        const testsupport::RealTimer timer(bound.count());
        while (!done()) {
            if (timer.Expired()) return done();
            std::unique_lock<std::mutex> hold(mu_);
            cv_.wait_for(hold, std::chrono::milliseconds(10));
        }
        return true;
    }

private:
    OPCLinkOutput* previous_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<Sent> sent_;
};

}  // namespace opclinktest
