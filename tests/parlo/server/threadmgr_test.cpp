// The thread manager: activation of CRITICAL threads, failures, heartbeats and its texts.
#include <gtest/gtest.h>

#include "parlo/server/threadmgr.h"
#include "tests/parlo/server/server_fixture.h"

namespace {

using srvtest::Events;
using srvtest::ServerTest;

class ThreadManagerTest : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        ThreadManager::Init();
        server_->SetState(Server::ACTIVATING);
    }
};

TEST_F(ThreadManagerTest, OnlyTheLastCriticalActivationMovesTheServer) {
    ThreadManager::AddThread("one", ThreadEntry::CRITICAL);
    ThreadManager::AddThread("two", ThreadEntry::CRITICAL);
    ThreadManager::AddThread("helper", ThreadEntry::NONCRITICAL);
    EXPECT_EQ(ThreadManager::SetActivated("helper", 1), 1);
    EXPECT_EQ(ThreadManager::SetActivated("one", 1), 1);
    EXPECT_EQ(server_->GetState(), Server::ACTIVATING);
    EXPECT_EQ(ThreadManager::SetActivated("two", 1), 1);
    EXPECT_EQ(server_->GetState(), Server::ACTIVE);
    EXPECT_TRUE(server_->ActivationEvent().IsSet());
}

TEST_F(ThreadManagerTest, StandbyWhenActivatedInStandbyMode) {
    ThreadManager::AddThread("one", ThreadEntry::CRITICAL);
    EXPECT_EQ(ThreadManager::SetActivated("one", 0), 1);
    EXPECT_EQ(server_->GetState(), Server::STANDBY);
}

TEST_F(ThreadManagerTest, AThreadToldToStopIsNotActivated) {
    ThreadManager::AddThread("one", ThreadEntry::CRITICAL);
    ThreadManager::SetShutdown("one");
    EXPECT_EQ(ThreadManager::SetActivated("one", 1), 0);
    EXPECT_EQ(ThreadManager::IsActivated("one"), 0);
    EXPECT_EQ(server_->GetState(), Server::ACTIVATING);
}

TEST_F(ThreadManagerTest, ClearActivatedReportsOnlyUnexpectedCriticalStops) {
    ThreadManager::AddThread("app", ThreadEntry::CRITICAL);
    ThreadManager::AddThread("helper", ThreadEntry::NONCRITICAL);
    const std::string failure = "ThreadManager::ClearActivated: app thread failed.";
    struct Case {
        const char* name;
        bool shutdownFirst;
        size_t failures;
    } cases[] = {{"helper", false, 0}, {"app", true, 0}, {"app", false, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ThreadManager::ShutdownAll();  // a fresh start of both threads
        ThreadManager::ClearActivated("app");
        ThreadManager::ClearActivated("helper");
        server_->SetState(Server::IDLE);
        server_->SetState(Server::ACTIVATING);
        for (const char* n : {"app", "helper"}) {
            ThreadManager::StartThread(n, [](void*) -> unsigned { return 0; }, nullptr);  // clears shutdown
            EXPECT_EQ(ThreadManager::SetActivated(n, 1), 1);
        }
        if (c.shutdownFirst) ThreadManager::ShutdownAll();
        Events::Take();
        ThreadManager::ClearActivated(c.name);
        EXPECT_EQ(ThreadManager::IsActivated(c.name), 0);
        EXPECT_EQ(Events::CountText(Events::Take(), "thread failed."), c.failures);
        ThreadManager::ClearActivated(c.name);  // not activated: left alone
        EXPECT_EQ(Events::CountText(Events::Take(), "thread failed."), 0u);
    }
    EXPECT_EQ(Events::CountText(Events::Take(), failure), 0u);
}

TEST_F(ThreadManagerTest, TextsAndFatalMisuse) {
    ThreadManager::AddThread("CTI Application Thread", ThreadEntry::CRITICAL);
    EXPECT_EQ(ThreadManager::ListThreads(),
              "   Thread Name         Type          Act     Shut    Heart\n"
              "CTI Application Thread   CRITICAL      FALSE   FALSE   FALSE\n");
    EXPECT_EQ(ThreadManager::DumpThread("CTI Application Thread"),
              "     ThreadName=CTI Application Thread ThreadHandle=-1\n"
              "     Activated=FALSE Shutdown=FALSE Heartbeat=FALSE\n");
    EXPECT_EQ(ThreadManager::GetThreadHandle("nobody"), -1);
    EXPECT_EQ(ThreadManager::IsShutdown("nobody"), 0);
    ThreadManager::RemoveThread("nobody");  // ignored
    const auto fatal = ::testing::ExitedWithCode(100002 & 0xFF);
    EXPECT_EXIT((void)ThreadManager::SetActivated("nobody", 1), fatal,
                "ThreadManager::SetActivated - Trying to activate unknown thread nobody.");
    EXPECT_EXIT(ThreadManager::SetHeartbeat("nobody"), fatal,
                "ThreadManager::SetHeartbeat - Trying to SetHeartbeat on unknown thread nobody.");
    EXPECT_EXIT(ThreadManager::StartThread("nobody", nullptr, nullptr), fatal,
                "ThreadManager::StartThread - Trying to start unknown thread nobody.");
    EXPECT_EXIT(
        {
            (void)ThreadManager::SetActivated("CTI Application Thread", 1);
            ThreadManager::RemoveThread("CTI Application Thread");
        },
        fatal, "ThreadManager::RemoveThread - Trying to remove ACTIVE thread CTI Application Thread");
}

}  // namespace
