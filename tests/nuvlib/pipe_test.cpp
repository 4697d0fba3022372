#include "nuvlib/pipe.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <future>
#include <set>
#include <vector>

#include "tests/support/fake_clock.h"
#include "tests/support/test_env.h"
#include "tests/support/wait.h"

using namespace std::chrono_literals;

namespace {

// Bound for what must happen: reached only when the code is wrong.
constexpr int kBoundMs = 10000;
constexpr auto kBound = std::chrono::milliseconds(kBoundMs);

// What the per-connection function saw, shared with the test.
struct Seen {
    std::mutex mu;
    std::condition_variable cv;
    std::set<std::thread::id> threads;
    std::vector<std::string> users;
    std::atomic<int> failedInstances{0};
    std::atomic<int> connected{0};
    std::vector<uint32_t> readErrors;
};

// Echoes every message back until the client goes away.
void Echo(NamedPipeServer* pipe, void* ctx) {
    auto* seen = static_cast<Seen*>(ctx);
    if (!pipe->IsConnected()) {
        uint32_t n;
        char b[8];
        EXPECT_FALSE(pipe->ReadServer(b, sizeof b, &n));
        seen->failedInstances++;
        pipe->Release();
        return;
    }
    {
        std::lock_guard<std::mutex> g(seen->mu);
        seen->threads.insert(std::this_thread::get_id());
        seen->users.push_back(pipe->UserName());
    }
    seen->connected++;
    seen->cv.notify_all();
    std::vector<char> buf(4097);
    uint32_t n = 0;
    while (pipe->ReadServer(buf.data(), static_cast<uint32_t>(buf.size()), &n)) {
        if (!pipe->WriteServer(buf.data(), n)) break;
    }
    {
        std::lock_guard<std::mutex> g(seen->mu);
        seen->readErrors.push_back(NamedPipeLastError());
    }
    seen->cv.notify_all();
    pipe->Release();
}

NamedPipeServer* Start(const char* name, Seen* seen, uint32_t maxInstances = 255) {
    return NamedPipeServer::Create(name, Echo, 4096, 4096, 3000, 3, maxInstances, seen);
}

std::string RoundTrip(NamedPipeClient& c, const std::string& text) {
    EXPECT_EQ(0u, c.Write(text.data(), static_cast<uint32_t>(text.size())));
    char buf[4097];
    uint32_t n = 0;
    EXPECT_EQ(0u, c.Read(buf, sizeof buf, &n, kBoundMs));
    return std::string(buf, n);
}

TEST(NamedPipe, TwoClientsAreServedEachOnAThreadOfItsOwn) {
    Seen& seen = *new Seen;  // the server's threads outlive the test body
    ASSERT_NE(nullptr, Start("Node\\TwoEMSPipe", &seen));
    // Both connect before the listen thread has necessarily reached its first accept.
    NamedPipeClient a, b;
    ASSERT_EQ(0u, a.Connect("Node\\TwoEMSPipe"));
    ASSERT_EQ(0u, b.Connect("Node\\TwoEMSPipe"));
    EXPECT_EQ("from a", RoundTrip(a, "from a"));
    EXPECT_EQ("from b", RoundTrip(b, "from b"));
    // Message boundaries survive: two writes are two reads.
    ASSERT_EQ(0u, a.Write("12", 2));
    ASSERT_EQ(0u, a.Write("345", 3));
    char buf[16];
    uint32_t n;
    ASSERT_EQ(0u, a.Read(buf, sizeof buf, &n, kBoundMs));
    EXPECT_EQ(2u, n);
    ASSERT_EQ(0u, a.Read(buf, sizeof buf, &n, kBoundMs));
    EXPECT_EQ(3u, n);

    std::lock_guard<std::mutex> g(seen.mu);
    EXPECT_EQ(2u, seen.threads.size());
    passwd* pw = getpwuid(getuid());
    ASSERT_NE(nullptr, pw);
    for (const auto& u : seen.users) EXPECT_EQ(pw->pw_name, u);
}

TEST(NamedPipe, SocketIsPrivateAndAStaleFileIsReplacedButALiveServerIsNot) {
    std::string path = NamedPipeSocketPath("StalePipe");
    ASSERT_FALSE(path.empty());
    // A socket file left behind by a dead server.
    ::mkdir((testsupport::RunDir() / "pipe").c_str(), 0700);
    {
        int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, path.c_str());
        ASSERT_EQ(0, ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
        ::close(fd);
    }
    Seen& seen = *new Seen;  // the server's threads outlive the test body
    ASSERT_NE(nullptr, Start("StalePipe", &seen));
    struct stat st;
    ASSERT_EQ(0, ::stat(path.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);

    EXPECT_EQ(nullptr, Start("StalePipe", &seen));
    EXPECT_EQ(PIPE_ERROR_PIPE_BUSY, NamedPipeLastError());

    NamedPipeClient c;
    ASSERT_EQ(0u, c.Connect("StalePipe"));
    EXPECT_EQ("still served", RoundTrip(c, "still served"));
}

TEST(NamedPipe, OversizedMessageFailsTheReadWithMoreData) {
    Seen& seen = *new Seen;  // the server's threads outlive the test body
    ASSERT_NE(nullptr, Start("BigPipe", &seen));
    NamedPipeClient c;
    ASSERT_EQ(0u, c.Connect("BigPipe"));
    std::string big(5000, 'x');
    ASSERT_EQ(0u, c.Write(big.data(), static_cast<uint32_t>(big.size())));
    std::unique_lock<std::mutex> g(seen.mu);
    ASSERT_TRUE(seen.cv.wait_for(g, kBound, [&] { return !seen.readErrors.empty(); }));
    EXPECT_EQ(PIPE_ERROR_MORE_DATA, seen.readErrors[0]);
}

TEST(NamedPipe, ClientLeavingBreaksTheServersRead) {
    Seen& seen = *new Seen;  // the server's threads outlive the test body
    ASSERT_NE(nullptr, Start("GonePipe", &seen));
    {
        NamedPipeClient c;
        ASSERT_EQ(0u, c.Connect("GonePipe"));
        EXPECT_EQ("x", RoundTrip(c, "x"));
    }
    std::unique_lock<std::mutex> g(seen.mu);
    ASSERT_TRUE(seen.cv.wait_for(g, kBound, [&] { return !seen.readErrors.empty(); }));
    EXPECT_EQ(PIPE_ERROR_BROKEN_PIPE, seen.readErrors[0]);
}

// Keeps the instance for the test instead of serving it.
struct Handoff {
    std::promise<NamedPipeServer*> instance;
    std::atomic<bool> given{false};
};
void Keep(NamedPipeServer* pipe, void* ctx) {
    auto* h = static_cast<Handoff*>(ctx);
    if (!pipe->IsConnected() || h->given.exchange(true)) {
        pipe->Release();
        return;
    }
    h->instance.set_value(pipe);
}

// Connects a client to a server whose per-connection function hands the instance over.
NamedPipeServer* Handed(const char* name, NamedPipeClient* client) {
    Handoff& h = *new Handoff;  // the server's threads outlive the test body
    EXPECT_NE(nullptr, NamedPipeServer::Create(name, Keep, 4096, 4096, 3000, 3, 255, &h));
    EXPECT_EQ(0u, client->Connect(name));
    auto fut = h.instance.get_future();
    if (fut.wait_for(kBound) != std::future_status::ready) return nullptr;
    return fut.get();
}

TEST(NamedPipe, DisconnectWaitsForAWriteInProgress) {
    NamedPipeClient c;
    NamedPipeServer* pipe = Handed("WritePipe", &c);
    ASSERT_NE(nullptr, pipe);

    // The client reads nothing, so the writer's sends soon block with a write in progress.
    std::atomic<pid_t> writerTid{0};
    std::atomic<int> started{0}, finished{0};
    std::atomic<bool> stop{false}, lastOk{false};
    std::thread writer([&] {
        writerTid = gettid();
        std::string block(2000, 'w');
        while (!stop) {
            started++;
            lastOk = pipe->WriteServer(block.data(), static_cast<uint32_t>(block.size()));
            finished++;
            if (!lastOk) break;
        }
    });
    // Blocked in a write: one has started and not finished, and the thread sleeps.
    ASSERT_TRUE(testsupport::WaitFor([&] {
        return writerTid != 0 && started > finished &&
               testsupport::ThreadState(writerTid) == 'S';
    }));
    std::atomic<pid_t> closerTid{0};
    std::atomic<bool> disconnected{false};
    std::thread closer([&] {
        closerTid = gettid();
        pipe->Disconnect();
        disconnected = true;
    });
    // The closer waits (or, wrongly, is through already).
    ASSERT_TRUE(testsupport::WaitFor([&] {
        return disconnected || (closerTid != 0 && testsupport::ThreadState(closerTid) == 'S');
    }));
    EXPECT_FALSE(disconnected.load());

    // Draining the client lets the write in progress finish, and then the disconnect.
    stop = true;
    char buf[4096];
    uint32_t n, rc;
    while ((rc = c.Read(buf, sizeof buf, &n, kBoundMs)) == 0) {
    }
    EXPECT_EQ(PIPE_ERROR_BROKEN_PIPE, rc);  // the server end shut after the last message
    closer.join();
    writer.join();
    EXPECT_TRUE(disconnected.load());
    EXPECT_TRUE(lastOk.load());
    EXPECT_EQ(started.load(), finished.load());
    char b[4];
    EXPECT_FALSE(pipe->ReadServer(b, sizeof b, &n));
    EXPECT_EQ(PIPE_ERROR_INVALID_HANDLE, NamedPipeLastError());
    pipe->Release();
}

TEST(NamedPipe, ClientGoneIsABrokenPipeBothWays) {
    NamedPipeClient c;
    NamedPipeServer* pipe = Handed("LeftPipe", &c);
    ASSERT_NE(nullptr, pipe);
    c.Close();
    char b[4];
    uint32_t n;
    EXPECT_FALSE(pipe->ReadServer(b, sizeof b, &n));
    EXPECT_EQ(PIPE_ERROR_BROKEN_PIPE, NamedPipeLastError());
    EXPECT_FALSE(pipe->WriteServer("x", 1));
    EXPECT_EQ(PIPE_ERROR_BROKEN_PIPE, NamedPipeLastError());
    pipe->Release();
}

class NamedPipeOnTheFakeClock : public testsupport::FakeClockTest {};

TEST_F(NamedPipeOnTheFakeClock, FullInstanceTableBacksOffInsteadOfSpinning) {
    Seen& seen = *new Seen;  // the server's threads outlive the test body
    NamedPipeServer* server = Start("OnePipe", &seen, 1);
    ASSERT_NE(nullptr, server);
    NamedPipeClient a;
    ASSERT_EQ(0u, a.Connect("OnePipe"));
    EXPECT_EQ("a", RoundTrip(a, "a"));
    // The one instance is taken: each attempt fails at once (its thread still runs) and the
    // listen thread pauses longer each time, making no attempt while the clock stands.
    int failed = 0;
    for (int64_t pauseMs : {100, 200, 400, 800, 1000, 1000}) {
        ASSERT_TRUE(clock_.AwaitSleepers(1, kBoundMs)) << pauseMs;
        EXPECT_EQ(pauseMs * 1000000, clock_.NextDeadlineNs() - clock_.MonotonicNs());
        ++failed;
        EXPECT_TRUE(testsupport::WaitFor([&] { return seen.failedInstances >= failed; }));
        EXPECT_EQ(failed, seen.failedInstances.load());
        ASSERT_EQ(pauseMs, clock_.AdvanceToNextDeadline(kBoundMs));
    }
    EXPECT_EQ(1, seen.connected.load());

    // The instance freed while the listen thread pauses, its next attempt serves a new client.
    ASSERT_TRUE(clock_.AwaitSleepers(1, kBoundMs));
    a.Close();
    ASSERT_TRUE(testsupport::WaitFor([&] { return server->LiveInstances() == 0; }));
    ASSERT_EQ(1000, clock_.AdvanceToNextDeadline(kBoundMs));
    NamedPipeClient b;
    ASSERT_EQ(0u, b.Connect("OnePipe"));
    EXPECT_EQ("b", RoundTrip(b, "b"));
    EXPECT_EQ(2, seen.connected.load());

    // Leave the listen thread about to wait for a client, not tracing failures, when the
    // clock goes back to the system's at the end of the test.
    ASSERT_TRUE(clock_.AwaitSleepers(1, kBoundMs));
    b.Close();
    ASSERT_TRUE(testsupport::WaitFor([&] { return server->LiveInstances() == 0; }));
}

TEST(NamedPipe, NamesMapIntoTheRunDirectoryAndOverlongOnesAreRefused) {
    std::string p = NamedPipeSocketPath("Node\\ProcEMSPipe");
    EXPECT_EQ((testsupport::RunDir() / "pipe" / "Node_ProcEMSPipe").string(), p);
    EXPECT_EQ("", NamedPipeSocketPath(std::string(200, 'n')));
    Seen seen;  // no server starts here
    EXPECT_EQ(nullptr, Start(std::string(200, 'n').c_str(), &seen));
    EXPECT_EQ(PIPE_ERROR_BAD_PATHNAME, NamedPipeLastError());
    NamedPipeClient c;
    EXPECT_EQ(2u, c.Connect("NobodyListens"));
    // A socket file that nobody listens on any more reads the same.
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ::mkdir((testsupport::RunDir() / "pipe").c_str(), 0700);
    std::strcpy(addr.sun_path, NamedPipeSocketPath("DeadPipe").c_str());
    ASSERT_EQ(0, ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    ::close(fd);
    EXPECT_EQ(2u, c.Connect("DeadPipe"));
}

}  // namespace
