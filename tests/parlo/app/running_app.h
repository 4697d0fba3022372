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
#include "parlo/server/ctiregistry.h"
#include "parlo/server/server.h"
#include "parlo/server/transport.h"
#include "platform/clock.h"
#include "tests/support/wait.h"

namespace apptest {

// The server's side as the application tests need it: the application thread is started
// (and joined by JoinAll), everything else does nothing.
class ThreadStartingPort : public AppServerPort {
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
