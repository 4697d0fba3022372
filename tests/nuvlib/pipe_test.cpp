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

#include "tests/support/test_env.h"

using namespace std::chrono_literals;

namespace {

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
    EXPECT_EQ(0u, c.Read(buf, sizeof buf, &n, 5000));
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
    ASSERT_EQ(0u, a.Read(buf, sizeof buf, &n, 5000));
    EXPECT_EQ(2u, n);
    ASSERT_EQ(0u, a.Read(buf, sizeof buf, &n, 5000));
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
    ASSERT_TRUE(seen.cv.wait_for(g, 5s, [&] { return !seen.readErrors.empty(); }));
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
    ASSERT_TRUE(seen.cv.wait_for(g, 5s, [&] { return !seen.readErrors.empty(); }));
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

TEST(NamedPipe, DisconnectWaitsForAWriteInProgress) {
    Handoff& h = *new Handoff;
    ASSERT_NE(nullptr, NamedPipeServer::Create("WritePipe", Keep, 4096, 4096, 3000, 3, 255, &h));
    NamedPipeClient c;
    ASSERT_EQ(0u, c.Connect("WritePipe"));
    auto fut = h.instance.get_future();
    ASSERT_EQ(std::future_status::ready, fut.wait_for(5s));
    NamedPipeServer* pipe = fut.get();

    // The client reads nothing, so the writer soon blocks.
    std::atomic<int> written{0};
    std::atomic<bool> writerBlocked{false};
    std::thread writer([&] {
        std::string block(2000, 'w');
        while (pipe->WriteServer(block.data(), static_cast<uint32_t>(block.size()))) {
            written++;
            if (written > 100000) break;
        }
        writerBlocked = true;
    });
    int last = -1;
    while (last != written.load()) {  // wait until the count stops moving
        last = written.load();
        std::this_thread::sleep_for(100ms);
    }
    std::atomic<bool> disconnected{false};
    std::thread closer([&] {
        pipe->Disconnect();
        disconnected = true;
    });
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(disconnected.load());
    // Draining the client lets the blocked write finish, and then the disconnect.
    char buf[4096];
    uint32_t n;
    while (!disconnected.load() && c.Read(buf, sizeof buf, &n, 200) == 0) {
    }
    closer.join();
    writer.join();
    EXPECT_TRUE(disconnected.load());
    char b[4];
    EXPECT_FALSE(pipe->ReadServer(b, sizeof b, &n));
    EXPECT_EQ(PIPE_ERROR_INVALID_HANDLE, NamedPipeLastError());
    pipe->Release();
}

TEST(NamedPipe, FullInstanceTableBacksOffInsteadOfSpinning) {
    Seen& seen = *new Seen;  // the server's threads outlive the test body
    ASSERT_NE(nullptr, Start("OnePipe", &seen, 1));
    NamedPipeClient a;
    ASSERT_EQ(0u, a.Connect("OnePipe"));
    EXPECT_EQ("a", RoundTrip(a, "a"));
    std::this_thread::sleep_for(1500ms);
    // 100 + 200 + 400 + 800 ms: a handful of failed instances, never thousands.
    EXPECT_GE(seen.failedInstances.load(), 2);
    EXPECT_LE(seen.failedInstances.load(), 6);
    EXPECT_EQ(1, seen.connected.load());

    struct Case {
        uint32_t previous, next;
    } cases[] = {{0, 100}, {100, 200}, {400, 800}, {800, 1000}, {1000, 1000}};
    for (const auto& k : cases) EXPECT_EQ(k.next, NamedPipeServer::NextBackoffMs(k.previous));
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
}

}  // namespace
