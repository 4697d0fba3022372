#pragma once
// The application as the session layer's running master in a test: configured on ephemeral
// plain ports and made ACTIVE, and its end with the close's pause passed on the fake clock.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "parlo/app/appport.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/common/ctiregistry.h"
#include "parlo/server/server.h"
#include "parlo/session/transport.h"
#include "platform/clock.h"
#include "tests/support/wait.h"

namespace apptest {

// A test double of the application's server port: every call goes to `next` (the port the
// test's Server installed, taken when the double is made), or, without one, to a server that
// has nothing (ACTIVE, side A, simplex, no peripherals, a counter for unique IDs). Tests override what they
// watch. Install restores the port it replaced when the double goes.
class ForwardingAppPort : public AppServerPort {
public:
    ForwardingAppPort() = default;
    ~ForwardingAppPort() override { Uninstall(); }
    ForwardingAppPort(const ForwardingAppPort&) = delete;
    ForwardingAppPort& operator=(const ForwardingAppPort&) = delete;
    // Puts this double in place of the installed port (which it then forwards to).
    void Install() {
        next_ = SetAppServerPort(this);
        installed_ = true;
    }
    void Uninstall() {
        if (!installed_) return;
        SetAppServerPort(next_);
        installed_ = false;
    }
    void StartThread(const char* name, ThreadFunction function, void* argument) override {
        if (next_) next_->StartThread(name, function, argument);
    }
    int SetActivated(const char* name, int active) override { return next_ ? next_->SetActivated(name, active) : 1; }
    void ClearActivated(const char* name) override {
        if (next_) next_->ClearActivated(name);
    }
    void InitUniqueID() override {
        if (next_) next_->InitUniqueID();
    }
    uint32_t GetUniqueID() override { return next_ ? next_->GetUniqueID() : ++unique_; }
    int GetState() const override { return next_ ? next_->GetState() : 4; }
    void MakeActive() override {
        if (next_) next_->MakeActive();
    }
    void UpdateMeter(int meter, int32_t value) override {
        if (next_) next_->UpdateMeter(meter, value);
    }
    int GetSide() const override { return next_ ? next_->GetSide() : 1; }
    int GetDuplex() const override { return next_ ? next_->GetDuplex() : 0; }
    void ReportFailure(const char* text) override {
        if (next_) next_->ReportFailure(text);
    }
    int GetFailoverReported() const override { return next_ ? next_->GetFailoverReported() : 0; }
    void SetFailoverReported(int reported) override {
        if (next_) next_->SetFailoverReported(reported);
    }
    void SetPGStatus(int status) override {
        if (next_) next_->SetPGStatus(status);
    }
    int GetPGStatus() const override { return next_ ? next_->GetPGStatus() : 0; }
    void SetPeripheralStatus(int32_t peripheralID, int32_t systemEventID) override {
        if (next_) next_->SetPeripheralStatus(peripheralID, systemEventID);
    }
    int32_t GetPeripheralStatus(int32_t peripheralID) override {
        return next_ ? next_->GetPeripheralStatus(peripheralID) : 0;
    }
    int64_t GetPGTime() override { return next_ ? next_->GetPGTime() : 0; }
    std::vector<Peripheral> GetPeripherals() const override {
        return next_ ? next_->GetPeripherals() : std::vector<Peripheral>{};
    }
    int32_t GetAgentPeripheralClientType(int* count) override {
        if (next_) return next_->GetAgentPeripheralClientType(count);
        if (count) *count = 0;
        return 0;
    }
    void ProcessConfigMessage(const uint8_t* body, size_t length) override {
        if (next_) next_->ProcessConfigMessage(body, length);
    }

private:
    AppServerPort* next_ = nullptr;
    bool installed_ = false;
    uint32_t unique_ = 0;
};

// The server's side as the application tests need it: the application thread is started
// (and joined by JoinAll), and its activation is always granted; the rest goes to the server.
class ThreadStartingPort : public ForwardingAppPort {
public:
    void StartThread(const char*, ThreadFunction function, void* argument) override {
        threads.emplace_back(function, argument);
    }
    int SetActivated(const char*, int) override { return 1; }
    void ClearActivated(const char*) override {}
    void InitUniqueID() override {}
    void MakeActive() override {}
    void ProcessConfigMessage(const uint8_t*, size_t) override {}
    void JoinAll() {
        for (auto& t : threads) t.join();
        threads.clear();
    }
    std::vector<std::thread> threads;
};

// The session limits the application tests run with.
inline void SetSessionLimits(CTIRegistry& registry, uint32_t clientEventQueue) {
    registry.SetDynamic(CTIRegistry::ConnectionTimeout, 30);
    registry.SetDynamic(CTIRegistry::MaxQueueAllEventClient, 1000);
    registry.SetDynamic(CTIRegistry::MaxQueueClientEventClient, clientEventQueue);
    registry.SetDynamic(CTIRegistry::MaxClientConnections, 0);
}

// A configured application whose ports are plain and ephemeral (not yet activated).
inline std::unique_ptr<CTIApplication> MakeApplication(CTIRegistry& registry) {
    auto app = std::make_unique<CTIApplication>();
    app->ResetIDCounters();
    TransportProtocol::sm_SecurityMode = 0;
    app->Configure(&registry);
    TransportProtocol::sm_ListenPort = 0;
    TransportProtocol::sm_ListenSecurePort = 0;
    return app;
}

// The server goes ACTIVE and the application with it; 1 when its thread started.
inline int ActivateWithServer(Server& server, CTIApplication& app) {
    server.SetState(Server::ACTIVATING);
    server.SetState(Server::ACTIVE);
    return app.Activate();
}

// Ends the application: the poster first (so no client event races the end), then the
// thread; `afterThread` runs once the thread is gone; then the application is destroyed while
// the fake clock moves past the close's pause for the sessions' threads.
inline void EndApplication(std::unique_ptr<CTIApplication>& app, plat::FakeClock& clock,
                           const std::function<void()>& afterThread = {}) {
    (void)static_cast<TransportProtocol&>(*app).Close();
    app->FailThreadForTest();
    EXPECT_TRUE(testsupport::WaitFor([&] { return !app->IsThreadRunning(); }));
    if (afterThread) afterThread();
    std::atomic<bool> done{false};
    std::thread closer([&] {
        app.reset();
        done = true;
    });
    while (!done)
        if (clock.AwaitSleepers(1, 20)) (void)clock.AdvanceToNextDeadline(20);
    closer.join();
}

}  // namespace apptest
