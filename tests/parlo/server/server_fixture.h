#pragma once
// Unit-test setting of the server core: every EMS event kept in order (and echoed to
// standard error, so a death test can match its text), a fake clock, the timer wheel
// without its thread, and the one Server with a registry object whose live values the
// test sets.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "mdstimer/timer.h"
#include "nuvlib/ems.h"
#include "nuvlib/emsrecord.h"
#include "nuvlib/emsseams.h"
#include "parlo/common/ctiregistry.h"
#include "parlo/server/server.h"
#include "platform/byteorder.h"
#include "platform/clock.h"

namespace srvtest {

struct Event {
    uint32_t id = 0;
    std::vector<std::string> args;
    std::string Text() const {
        std::string all;
        for (const auto& a : args) {
            if (a.empty()) continue;  // a trace's unused pieces
            all += (all.empty() ? "" : "|") + a;
        }
        return all;
    }
};

struct Events {
    static inline std::mutex mu;
    static inline std::vector<Event> seen;
    static void Print(const uint8_t* block, uint32_t length) {
        Event e;
        e.id = plat::LoadLE32(block + emsoff::kEventId);
        EMSParsedRecord r;
        EMSParseRecord(block, length, &r);
        for (uint32_t i = 0; i < r.argCount; ++i) e.args.push_back(r.args[i]);
        std::fprintf(stderr, "%08X %s\n", e.id, e.Text().c_str());
        std::lock_guard<std::mutex> hold(mu);
        seen.push_back(std::move(e));
    }
    static constexpr EMSSeams kSeams = {Print, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    static std::vector<Event> Take() {
        std::lock_guard<std::mutex> hold(mu);
        std::vector<Event> all;
        all.swap(seen);
        return all;
    }
    // Texts of the traces (0x21010003) whose text holds `part`.
    static size_t CountText(const std::vector<Event>& events, const std::string& part) {
        size_t n = 0;
        for (const auto& e : events)
            if (e.Text().find(part) != std::string::npos) ++n;
        return n;
    }
};

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        EMSInstallSeams(&Events::kSeams);
        clock_.SetMonotonicNs(int64_t{1000} * 1000000000);  // a tick count well away from 0
        const uint64_t now = plat::FileTimeNow();
        TimerMaster::Create(now, now, false, 0);
        server_ = std::make_unique<Server>();
        server_->SetRegistryBase("ZUR\\parlo");
        server_->SetSide(1);
        registry_ = std::make_unique<CTIRegistry>();
        registry_->SetDynamic(CTIRegistry::MaxLockTimeout, 500);
        server_->SetRegistry(registry_.get());
        Events::Take();
    }
    void TearDown() override { EMSInstallSeams(nullptr); }

    plat::FakeClock clock_;
    plat::ScopedClock scoped_{&clock_};
    // The server (and an application it still has) goes first: its locks read the registry.
    std::unique_ptr<CTIRegistry> registry_;
    std::unique_ptr<Server> server_;
};

}  // namespace srvtest
