// Registered application servers and the requests forwarded to them: IDs, the Round-Robin
// turn on removal, the look-ups, and queues that never end the process.
#include <gtest/gtest.h>

#include <vector>

#include "parlo/app/ctiapplication.h"
#include "tests/parlo/server/server_fixture.h"

namespace {

using AppServer = CTIApplication::AppServer;

class AppServersTest : public srvtest::ServerTest {
protected:
    AppServer* Register(int32_t session, const char* name, int32_t mode = CTIApplication::RoundRobin) {
        return app_.QueueAppServer(app_.AllocAppServer(session, mode, name));
    }
    CTIApplication app_;
};

TEST_F(AppServersTest, IDsSkipZeroAndTheOnesStillHeld) {
    app_.SetNextAppServerIDForTest(0x7FFFFFFE);
    AppServer* a = Register(1, "a");
    AppServer* b = Register(2, "b");
    AppServer* c = Register(3, "c");
    EXPECT_EQ(a->appServerID, 0x7FFFFFFEu);
    EXPECT_EQ(b->appServerID, 0x7FFFFFFFu);
    EXPECT_EQ(c->appServerID, 1u) << "the counter wraps past 0";
    // Back near the top: the held IDs and 0 are passed over.
    app_.SetNextAppServerIDForTest(0x7FFFFFFE);
    EXPECT_EQ(app_.GetNextAppServerID(), 2u);
    // Once a server goes, its ID is free again.
    auto gone = app_.RemoveAppServer(b);
    ASSERT_NE(gone, nullptr);
    app_.SetNextAppServerIDForTest(0x7FFFFFFE);
    EXPECT_EQ(app_.GetNextAppServerID(), 0x7FFFFFFFu);
}

// Servers 0..n-1 in registration order; the one at `token` has the turn; `removed` goes.
TEST(AppServerTurns, TheTurnPassesToTheNextOrFromTheLastToTheFirst) {
    const struct {
        int count, token, removed;
        int heir;  // index among the servers left, -1: nobody has the turn
    } cases[] = {
        {3, 0, 0, 0},   // first -> its follower (now first)
        {3, 1, 1, 1},   // middle -> its follower
        {3, 2, 2, 0},   // last -> the first
        {3, 0, 1, 0},   // another server goes: the turn stays
        {1, 0, 0, -1},  // the only server: nobody
        {2, -1, 0, -1}, // nobody had it: nobody gets it
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.count << " servers, turn " << c.token << ", removed " << c.removed);
        CTIApplication app;
        std::vector<AppServer*> servers;
        for (int i = 0; i < c.count; ++i)
            servers.push_back(app.QueueAppServer(app.AllocAppServer(i + 1, CTIApplication::RoundRobin, "rec")));
        if (c.token >= 0) servers[static_cast<size_t>(c.token)]->token = true;
        auto gone = app.RemoveAppServer(servers[static_cast<size_t>(c.removed)]);
        ASSERT_NE(gone, nullptr);
        EXPECT_EQ(gone->mode, CTIApplication::Unregistered);
        EXPECT_FALSE(gone->token);
        servers.erase(servers.begin() + c.removed);
        AppServer* holder = app.FindAppServerWithToken();
        EXPECT_EQ(holder, c.heir < 0 ? nullptr : servers[static_cast<size_t>(c.heir)]);
        EXPECT_EQ(app.AppServerCount(), static_cast<size_t>(c.count - 1));
    }
}

TEST_F(AppServersTest, LookUpsFindTheFirstMatch) {
    AppServer* rec = Register(11, "Recorder", CTIApplication::Parallel);
    AppServer* other = Register(12, "recorder");
    EXPECT_EQ(app_.FindAppServerByName("RECORDER"), rec) << "names compare without case";
    EXPECT_EQ(app_.FindAppServerByName("record"), nullptr);
    EXPECT_EQ(app_.FindAppServerByID(other->appServerID), other);
    EXPECT_EQ(app_.FindAppServerByID(0), nullptr);
    EXPECT_EQ(app_.FindAppServerBySession(12), other);
    EXPECT_EQ(app_.FindAppServerBySession(13), nullptr);
    EXPECT_EQ(app_.FindAppServerWithToken(), nullptr);
    CTIApplication::AppServer stranger;
    EXPECT_EQ(app_.RemoveAppServer(&stranger), nullptr) << "not queued: nothing to remove";
}

TEST(AppServerModes, NamesAndTheUnknownOne) {
    const struct {
        int32_t mode;
        const char* name;
    } cases[] = {{0, "Exclusive"}, {1, "Round-Robin"}, {2, "Parallel"}, {3, "PARLO_EXCLUSIVE"}, {-1, "PARLO_EXCLUSIVE"}};
    for (const auto& c : cases) EXPECT_STREQ(CTIApplication::AppServerModeName(c.mode), c.name) << c.mode;
}

// A second server a minute after the first is an ordinary registration.
TEST_F(AppServersTest, LateRegistrationsAreKept) {
    Register(1, "a");
    clock_.AdvanceMs(61000);
    Register(2, "b");
    clock_.AdvanceMs(600000);
    Register(3, "c");
    EXPECT_EQ(app_.AppServerCount(), 3u);
}

// A request whose answer never came is dropped with a trace once a new one arrives; the
// process goes on.
TEST_F(AppServersTest, UnansweredRequestsGoAfter60000Ms) {
    app_.QueueAppServerReq(CTIApplication::AllocAppServerReq(100, 1, 0));
    clock_.AdvanceMs(30000);
    app_.QueueAppServerReq(CTIApplication::AllocAppServerReq(101, 2, 1));
    clock_.AdvanceMs(30000);  // the first is exactly 60000 ms old: kept
    app_.QueueAppServerReq(CTIApplication::AllocAppServerReq(102, 3, 0));
    EXPECT_EQ(app_.AppServerReqCount(), 3u);
    srvtest::Events::Take();
    clock_.AdvanceMs(1);
    app_.QueueAppServerReq(CTIApplication::AllocAppServerReq(103, 4, 1));
    EXPECT_EQ(app_.AppServerReqCount(), 3u);
    EXPECT_EQ(srvtest::Events::CountText(srvtest::Events::Take(),
                                         "dropping request InvokeID=100 SessionID=1 unanswered for 60001 ms"),
              1u);
    EXPECT_EQ(app_.TakeAppServerReq(100), nullptr);
    auto answered = app_.TakeAppServerReq(101);
    ASSERT_NE(answered, nullptr);
    EXPECT_EQ(answered->sessionID, 2);
    EXPECT_EQ(answered->kind, 1u);
    EXPECT_EQ(app_.AppServerReqCount(), 2u);
}

}  // namespace
