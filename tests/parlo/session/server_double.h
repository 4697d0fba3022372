#pragma once
// A test double of the session layer's server port: a server lock of its own, the state the
// test sets (INVALID, as with no server, unless set), nothing stopping, and the meters it is
// given summed by index. Install() puts it in place and the destructor puts the previous
// port back.
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>

#include "parlo/common/ctilock.h"
#include "parlo/common/serverstate.h"
#include "parlo/session/sessionports.h"

namespace sesstest {

class ServerDouble final : public SessionServer {
public:
    ~ServerDouble() override { Uninstall(); }
    void Install() {
        previous_ = InstallSessionServer(this);
        installed_ = true;
    }
    void Uninstall() {
        if (installed_) (void)InstallSessionServer(previous_);
        installed_ = false;
    }
    CTILockObject& ServerLock() override { return lock; }
    int GetState() const override { return state.load(); }
    bool IsStopping() override { return false; }
    bool IsStoppingRequestsPending() override { return false; }
    bool IsShuttingDown() const override { return false; }
    int CountFlaggedPeripherals() const override { return 0; }
    int GetDuplex() const override { return 0; }
    void ReportFailure(const char*) override {}
    void UpdateMeter(int meter, int32_t value) override {
        std::lock_guard<std::mutex> hold(mutex_);
        meters_[meter] += value;
    }
    void UpdateMeterTimes(int meter, int32_t value, int32_t times) override {
        for (int32_t i = 0; i < times; ++i) UpdateMeter(meter, value);
    }
    int32_t Meter(int meter) {
        std::lock_guard<std::mutex> hold(mutex_);
        return meters_[meter];
    }

    CTILockObject lock{1, nullptr, "RTServerConfig", UINT32_MAX, 0, 0};
    std::atomic<int> state{serverstate::INVALID};

private:
    std::mutex mutex_;
    std::map<int, int32_t> meters_;
    SessionServer* previous_ = nullptr;
    bool installed_ = false;
};

}  // namespace sesstest
