// The client transport over real loopback sockets, through the session layer's seam: a test
// double of the session derives from TransportProtocol, echoes what it reads and records
// the failure events.
#include "parlo/session/transport.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "parlo/common/ctiregistry.h"
#include "platform/clock.h"
#include "tests/parlo/session/server_double.h"
#include "tests/support/certificate.h"
#include "tests/support/test_env.h"

namespace {

constexpr int kBound = 20000;  // ms: generous bound of every wait on a socket or an event

struct Record {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<int> failures;
    int created = 0;
    std::string received;

    bool NoFailures() {
        std::lock_guard<std::mutex> lock(mutex);
        return failures.empty();
    }
    template <class P>
    bool Wait(P pred) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, std::chrono::milliseconds(kBound), pred);
    }
};

class EchoConnection : public TransportProtocol {
public:
    EchoConnection(int socket, std::unique_ptr<SecuredChannel> channel, Record& record, int limit, bool echo)
        : TransportProtocol(socket, std::move(channel)), record_(record), limit_(limit), echo_(echo) {}
    // As every derived connection: no writer may use the object once its destruction began.
    ~EchoConnection() override { DetachFromWriter(); }

    int ProcessReadEvent() override {
        uint8_t buffer[4096];
        int n;
        while ((n = RecvBytes(buffer, sizeof buffer)) > 0) {
            {
                std::lock_guard<std::mutex> lock(record_.mutex);
                record_.received.append(reinterpret_cast<char*>(buffer), static_cast<size_t>(n));
            }
            record_.cv.notify_all();
            if (echo_) {
                auto msg = std::make_unique<TransportMSG>();
                EXPECT_EQ(1, msg->InitBuffer(n, buffer));
                (void)SendMSG(std::move(msg));
            }
        }
        return 1;
    }
    int ProcessFailureEvent(int cause) override {
        CloseConnection();
        {
            std::lock_guard<std::mutex> lock(record_.mutex);
            record_.failures.push_back(cause);
        }
        record_.cv.notify_all();
        return 1;
    }
    int GetMaxQueuedMessages() override { return limit_; }

private:
    Record& record_;
    int limit_;
    bool echo_;
};

class EchoMaster : public TransportProtocol {
public:
    explicit EchoMaster(Record& record) : record_(record) {}
    // Connections that failed left the socket table: like the session layer's garbage
    // list, the double deletes them itself after the close.
    ~EchoMaster() override {
        Close();
        for (TransportProtocol* c : made_) delete c;
    }
    void DeleteConnection(TransportProtocol* connection) override {
        std::erase(made_, connection);
        delete connection;
    }
    TransportProtocol* CreateConnection(int socket, std::unique_ptr<SecuredChannel> channel) override {
        auto* c = new EchoConnection(socket, std::move(channel), record_, queueLimit, echo);
        {
            std::lock_guard<std::mutex> lock(record_.mutex);
            ++record_.created;
            last = c;
            made_.push_back(c);
        }
        record_.cv.notify_all();
        return c;
    }
    using TransportProtocol::AcceptConnection;
    int queueLimit = 1000;
    bool echo = true;
    EchoConnection* last = nullptr;

private:
    Record& record_;
    std::vector<TransportProtocol*> made_;
};

int Connect(int port) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// Reads exactly n bytes (or until EOF / the bound); returns what came.
std::string ReadN(int s, size_t n) {
    std::string out;
    char buffer[4096];
    while (out.size() < n) {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, kBound) <= 0) break;
        const ssize_t got = recv(s, buffer, std::min(sizeof buffer, n - out.size()), 0);
        if (got <= 0) break;
        out.append(buffer, static_cast<size_t>(got));
    }
    return out;
}

// True when the peer closed the connection within the bound.
bool SeesEof(int s) {
    pollfd p{s, POLLIN, 0};
    if (poll(&p, 1, kBound) <= 0) return false;
    char c;
    return recv(s, &c, 1, 0) == 0;
}

class TransportTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.Install();
        TransportProtocol::sm_Registry = &registry;
        TransportProtocol::sm_ListenPort = 0;
        TransportProtocol::sm_ListenSecurePort = 0;
        TransportProtocol::sm_SecurityMode = 0;
        master = std::make_unique<EchoMaster>(record);
        master->SetListenHostName("127.0.0.1");
    }
    void Open() {
        ASSERT_EQ(1, master->Configure());
        ASSERT_EQ(1, master->Open());
    }
    void TearDown() override {
        master.reset();
        TransportProtocol::sm_Registry = nullptr;
        TransportProtocol::SetWriterThreads(1);
        server.Uninstall();
    }
    sesstest::ServerDouble server;  // counts the connections' meters
    CTIRegistry registry;
    Record record;
    std::unique_ptr<EchoMaster> master;
};

TEST_F(TransportTest, EchoesOverPlainConnectionAndReportsPeerCloseAsCauseZero) {
    Open();
    const int s = Connect(master->BoundPort(false));
    ASSERT_GE(s, 0);
    const std::string text = "hello, transport";
    ASSERT_EQ(static_cast<ssize_t>(text.size()), send(s, text.data(), text.size(), 0));
    EXPECT_EQ(text, ReadN(s, text.size()));
    EXPECT_EQ(1, TransportProtocol::NumConnections());
    EXPECT_EQ("127.0.0.1", master->last->HostAddress());
    // The connection is counted through the server port: all connections and plain ones.
    EXPECT_EQ(1, server.Meter(3));
    EXPECT_EQ(1, server.Meter(4));
    close(s);
    ASSERT_TRUE(record.Wait([&] { return !record.failures.empty(); }));
    EXPECT_EQ(std::vector<int>{0}, record.failures);
    // The failure path handed the poster's hold back exactly once: the lock is free.
    ASSERT_TRUE(master->last->Lock("test"));
    EXPECT_TRUE(master->last->Unlock("test"));
}

TEST_F(TransportTest, HostNameComesFromAReverseLookupOnlyWhenAsked) {
    // The name this machine gives 127.0.0.1, or empty when it has none.
    sockaddr_in loopback{};
    loopback.sin_family = AF_INET;
    loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    char name[NI_MAXHOST] = {};
    if (getnameinfo(reinterpret_cast<sockaddr*>(&loopback), sizeof loopback, name, sizeof name, nullptr, 0,
                    NI_NAMEREQD) != 0)
        name[0] = '\0';
    Open();
    for (uint32_t lookup : {0u, 1u}) {
        registry.SetDynamic(CTIRegistry::HostnameLookup, lookup);
        const int s = Connect(master->BoundPort(false));
        ASSERT_GE(s, 0);
        ASSERT_EQ(1, send(s, "x", 1, 0));
        ASSERT_TRUE(record.Wait([&] { return record.received.size() == lookup + 1; }));
        EXPECT_EQ(lookup ? std::string(name) : std::string(), master->last->HostName()) << lookup;
        EXPECT_NE(0u, master->last->HostPort());
        close(s);
    }
}

TEST_F(TransportTest, AcceptWithNothingPendingMakesNoConnection) {
    Open();
    // The listener is non-blocking: accept reports would-block and the accept ends there.
    EXPECT_EQ(0, master->AcceptConnection(false));
    EXPECT_EQ(0, master->AcceptConnection(true));
    EXPECT_EQ(0, record.created);
    EXPECT_EQ(0, TransportProtocol::NumConnections() + TransportProtocol::NumConnectionsSecure());
}

TEST_F(TransportTest, ConnectionLimitFromRegistry) {
    struct Case {
        uint32_t value;
        int32_t limit;
    } cases[] = {{0, 16383}, {0xFFFFFFFF, 16383}, {20000, 16383}, {16383, 16383}, {5, 5}, {2, 2}};
    for (const Case& c : cases) {
        registry.SetDynamic(CTIRegistry::MaxClientConnections, c.value);
        EXPECT_EQ(c.limit, TransportProtocol::ConnectionLimit()) << c.value;
    }
    Open();
    // With two allowed, the third is closed right after the accept; the first two stay.
    int clients[3];
    for (int i = 0; i < 2; ++i) {
        clients[i] = Connect(master->BoundPort(false));
        ASSERT_GE(clients[i], 0);
        ASSERT_TRUE(record.Wait([&] { return record.created == i + 1; }));
    }
    clients[2] = Connect(master->BoundPort(true));
    ASSERT_GE(clients[2], 0);
    EXPECT_TRUE(SeesEof(clients[2]));
    EXPECT_EQ(2, record.created);
    ASSERT_EQ(2, send(clients[0], "ok", 2, 0));
    EXPECT_EQ("ok", ReadN(clients[0], 2));
    for (int s : clients) close(s);
}

TEST_F(TransportTest, SecurityModeChoosesTheListenSockets) {
    struct Case {
        uint32_t mode;
        bool plain, secure;
    } cases[] = {{0, true, true}, {1, false, true}, {2, false, false}};
    for (const Case& c : cases) {
        master.reset();
        TransportProtocol::sm_SecurityMode = c.mode;
        master = std::make_unique<EchoMaster>(record);
        Open();
        EXPECT_EQ(c.plain, master->BoundPort(false) != 0) << c.mode;
        EXPECT_EQ(c.secure, master->BoundPort(true) != 0) << c.mode;
    }
}

TEST_F(TransportTest, RestartBindsThePortThroughTimeWait) {
    Open();
    const int port = master->BoundPort(false);
    const int s = Connect(port);
    ASSERT_GE(s, 0);
    ASSERT_TRUE(record.Wait([&] { return record.created == 1; }));
    // The server closes first, so its side of the connection sits in TIME_WAIT.
    master->last->CloseConnection();
    EXPECT_TRUE(SeesEof(s));
    close(s);
    master.reset();
    TransportProtocol::sm_ListenPort = port;
    master = std::make_unique<EchoMaster>(record);
    master->SetListenHostName("127.0.0.1");
    Open();
    EXPECT_EQ(port, master->BoundPort(false));
}

TEST(TransportMSGTest, BufferTakesAnyMessageUpToTheLargestAndNoMore) {
    struct Case {
        int32_t size;
        int result;
    } cases[] = {{0, 1}, {8, 1}, {TRANSPORT_MAX_MSG, 1}, {TRANSPORT_MAX_MSG + 1, 0}, {-1, 0}};
    const std::vector<uint8_t> data(TRANSPORT_MAX_MSG + 1, 0x5A);
    for (const Case& c : cases) {
        TransportMSG msg(4);
        EXPECT_EQ(c.result, msg.InitBuffer(c.size, data.data())) << c.size;
        const int32_t expected = c.result ? c.size : 4;
        EXPECT_EQ(expected, msg.Length()) << c.size;
        EXPECT_EQ(expected, msg.Remaining()) << c.size;
        if (c.result && c.size) {
            EXPECT_EQ(0x5A, msg.Buffer()[c.size - 1]);
        }
    }
    TransportMSG a(1), b(1);
    EXPECT_EQ(a.MessageID() + 1, b.MessageID());
}

TEST(TransportMSGTest, SharedBytesAreCopiedBeforeAnyoneWritesThem) {
    TransportMSG original(4);
    original.Buffer()[0] = 'a';
    TransportMSG copy;
    copy.ShareBytes(original);
    EXPECT_TRUE(copy.SharesBytes());
    EXPECT_EQ(original.Bytes(), copy.Bytes());
    EXPECT_EQ(4, copy.Length());
    EXPECT_EQ(4, copy.Remaining());
    // A write through either one leaves the other as it was.
    copy.Buffer()[0] = 'b';
    EXPECT_FALSE(copy.SharesBytes());
    EXPECT_EQ('a', original.Bytes()[0]);
    TransportMSG third;
    third.ShareBytes(original);
    ASSERT_EQ(1, third.InitBuffer(2, reinterpret_cast<const uint8_t*>("zz")));
    EXPECT_EQ('a', original.Bytes()[0]);
    EXPECT_FALSE(original.SharesBytes());
}

// A message of a given CTI type, for the queue rules.
class TypedMSG : public TransportMSG {
public:
    TypedMSG(uint32_t type, int32_t length) : TransportMSG(length), type_(type) {}
    uint32_t GetMsgType() const override { return type_; }

private:
    uint32_t type_;
};

TEST_F(TransportTest, HeartbeatConfirmationGoesAheadOfOrdinaryMessages) {
    // No poster thread: the connection's queue stays as the test leaves it.
    int pair[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
    EchoConnection connection(pair[0], nullptr, record, 100, false);
    constexpr uint32_t HB = 6, ORD = 9;
    struct Item {
        uint32_t type;
        bool partly;
    };
    struct Case {
        std::vector<Item> before;
        std::vector<int> expected;  // indexes into before; -1 is the new heartbeat
    } cases[] = {
        {{}, {-1}},
        {{{ORD, true}, {ORD, false}}, {0, -1, 1}},
        {{{HB, false}, {HB, false}}, {0, 1, -1}},
        {{{ORD, true}, {HB, false}, {ORD, false}, {ORD, false}}, {0, 1, -1, 2, 3}},
        {{{ORD, false}}, {-1, 0}},
    };
    for (const Case& c : cases) {
        std::vector<TransportMSG*> made;
        for (const Item& item : c.before) {
            auto m = std::make_unique<TypedMSG>(item.type, 300);
            if (item.partly) {
                // What a partial send of 100 of 300 bytes leaves behind.
                m->Advance(100);
                m->SetPartlySent();
            }
            made.push_back(m.get());
            ASSERT_EQ(1, connection.QueueMSG(std::move(m), TransportProtocol::QueueBack));
        }
        auto heartbeat = std::make_unique<TypedMSG>(HB, 12);
        TransportMSG* hb = heartbeat.get();
        ASSERT_EQ(1, connection.QueueMSG(std::move(heartbeat), TransportProtocol::QueueAheadOfOrdinary));
        std::vector<TransportMSG*> order;
        while (std::unique_ptr<TransportMSG> m = connection.UnQueueMSG(nullptr)) order.push_back(m.get());
        std::vector<TransportMSG*> expected;
        for (int i : c.expected) expected.push_back(i < 0 ? hb : made[static_cast<size_t>(i)]);
        EXPECT_EQ(expected, order);
    }
    close(pair[1]);
}

// An open connection that the test drives itself: its client reads nothing, and both
// socket buffers are small, so sends block after a few kilobytes.
class StalledPeer {
public:
    StalledPeer(EchoMaster& master, Record& record) {
        client = socket(AF_INET, SOCK_STREAM, 0);
        const int small = 4096;
        (void)setsockopt(client, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(master.BoundPort(false)));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok = connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
             send(client, "x", 1, 0) == 1 && record.Wait([&] { return record.received.size() == 1; });
        if (!ok) return;
        connection = master.last;
        (void)setsockopt(connection->GetSocket(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    }
    ~StalledPeer() { close(client); }
    int client = -1;
    bool ok = false;
    TransportProtocol* connection = nullptr;
};

uint8_t PatternByte(size_t i) { return static_cast<uint8_t>((i * 7 + i / 251) & 0xFF); }

TEST_F(TransportTest, PartlySentMessagesStayAtTheFrontAndTheStreamArrivesWhole) {
    master->echo = false;
    Open();
    StalledPeer peer(*master, record);
    ASSERT_TRUE(peer.ok);
    constexpr int kMessages = 40;
    size_t offset = 0;
    bool sawPartial = false;
    for (int m = 0; m < kMessages; ++m) {
        auto msg = std::make_unique<TransportMSG>(TRANSPORT_MAX_MSG);
        for (int i = 0; i < TRANSPORT_MAX_MSG; ++i) msg->Buffer()[i] = PatternByte(offset++);
        ASSERT_EQ(1, peer.connection->SendMSG(std::move(msg)));
        ASSERT_TRUE(peer.connection->Lock("test"));
        if (TransportMSG* head = peer.connection->QueuedAt(0); head && head->PartlySent()) {
            sawPartial = true;
            EXPECT_LT(head->Remaining(), head->Length());
            EXPECT_EQ(head->Position(), head->Buffer() + (head->Length() - head->Remaining()));
            for (size_t k = 1; k < peer.connection->QueueLength(); ++k)
                EXPECT_FALSE(peer.connection->QueuedAt(k)->PartlySent());
        }
        ASSERT_TRUE(peer.connection->Unlock("test"));
    }
    EXPECT_TRUE(sawPartial);
    // The poster thread sends the rest as the client reads: every byte, in order, once.
    const std::string got = ReadN(peer.client, offset);
    ASSERT_EQ(offset, got.size());
    size_t bad = 0;
    for (size_t i = 0; i < got.size(); ++i) bad += static_cast<uint8_t>(got[i]) != PatternByte(i);
    EXPECT_EQ(0u, bad);
    EXPECT_TRUE(record.NoFailures());
}

TEST_F(TransportTest, QueueOverflowFailsTheConnectionWithCause17) {
    master->echo = false;
    master->queueLimit = 3;
    Open();
    StalledPeer peer(*master, record);
    ASSERT_TRUE(peer.ok);
    int result = 1;
    for (int m = 0; m < 200 && result == 1; ++m) result = peer.connection->SendMSG(std::make_unique<TransportMSG>(TRANSPORT_MAX_MSG));
    EXPECT_EQ(0, result);
    ASSERT_TRUE(record.Wait([&] { return !record.failures.empty(); }));
    EXPECT_EQ(17, record.failures.front());
    // The double closed it on the failure: the client sees the end after the bytes sent.
    char buffer[65536];
    ssize_t got;
    do {
        pollfd p{peer.client, POLLIN, 0};
        ASSERT_GT(poll(&p, 1, kBound), 0);
        got = recv(peer.client, buffer, sizeof buffer, 0);
    } while (got > 0);
    EXPECT_EQ(0, got);
}

TEST_F(TransportTest, SendOnAConnectionNotOpenFailsWithCause17) {
    Open();
    const int s = Connect(master->BoundPort(false));
    ASSERT_GE(s, 0);
    ASSERT_EQ(1, send(s, "x", 1, 0));
    ASSERT_TRUE(record.Wait([&] { return record.received.size() == 1; }));
    TransportProtocol* c = master->last;
    c->ShutdownConnection();
    EXPECT_EQ(0, c->SendMSG(std::make_unique<TransportMSG>(10)));
    ASSERT_TRUE(record.Wait([&] { return !record.failures.empty(); }));
    EXPECT_EQ(17, record.failures.front());
    close(s);
}

// A message handed to a connection that cannot take it is released on the spot, whichever
// way it was handed over; what a failed connection had queued goes with its close.
TEST_F(TransportTest, MessagesGivenToAFailedConnectionAreReleased) {
    master->echo = false;
    master->queueLimit = 2;
    TransportProtocol::SetWriterThreads(2);
    Open();
    StalledPeer peer(*master, record);
    ASSERT_TRUE(peer.ok);
    TransportProtocol& c = *peer.connection;
    const uint32_t before = TransportMSG::LiveCount();
    // Held by the test, nothing is sent: the third message overflows the queue.
    ASSERT_TRUE(c.Lock("test"));
    EXPECT_EQ(1, c.QueueMSG(std::make_unique<TransportMSG>(100), TransportProtocol::QueueBack));
    EXPECT_EQ(1, c.QueueMSG(std::make_unique<TransportMSG>(100), TransportProtocol::QueueBack));
    EXPECT_EQ(0, c.QueueMSG(std::make_unique<TransportMSG>(100), TransportProtocol::QueueBack));
    ASSERT_TRUE(c.Unlock("test"));
    ASSERT_TRUE(record.Wait([&] { return !record.failures.empty(); }));
    EXPECT_EQ(17, record.failures.front());
    EXPECT_EQ(before, TransportMSG::LiveCount());
    EXPECT_EQ(0, c.SendMSG(std::make_unique<TransportMSG>(100)));
    EXPECT_EQ(0, c.PostMSG(std::make_unique<TransportMSG>(100)));
    EXPECT_EQ(before, TransportMSG::LiveCount());
}

// Messages whose bytes say which message and which byte they are, for checking a stream.
std::unique_ptr<TransportMSG> Numbered(uint32_t number, int32_t length) {
    auto msg = std::make_unique<TransportMSG>(length);
    for (int32_t i = 0; i < length; ++i) msg->Buffer()[i] = static_cast<uint8_t>((number * 31 + static_cast<uint32_t>(i)) & 0xFF);
    if (length >= 4) std::memcpy(msg->Buffer(), &number, 4);
    return msg;
}

// Checks that `stream` is messages 0.. of `length` bytes each, whole and in order; the count.
size_t CountInOrder(const std::string& stream, int32_t length, bool* ok) {
    *ok = stream.size() % static_cast<size_t>(length) == 0;
    size_t n = 0;
    for (size_t at = 0; *ok && at < stream.size(); at += static_cast<size_t>(length), ++n) {
        uint32_t number;
        std::memcpy(&number, stream.data() + at, 4);
        if (number != n) *ok = false;
        for (int32_t i = 4; *ok && i < length; ++i)
            if (static_cast<uint8_t>(stream[at + static_cast<size_t>(i)]) != static_cast<uint8_t>((number * 31 + static_cast<uint32_t>(i)) & 0xFF))
                *ok = false;
    }
    return n;
}

TEST_F(TransportTest, OneWriteEventSendsTheWholeQueueInOrder) {
    master->echo = false;
    Open();
    StalledPeer peer(*master, record);  // its buffers still take these few hundred bytes
    ASSERT_TRUE(peer.ok);
    TransportProtocol& c = *peer.connection;
    constexpr int kMessages = 10, kLength = 40;
    ASSERT_TRUE(c.Lock("test"));
    for (int m = 0; m < kMessages; ++m)
        ASSERT_EQ(1, c.QueueMSG(Numbered(static_cast<uint32_t>(m), kLength), TransportProtocol::QueueBack));
    // One call continues the queue: every message goes, not just the head.
    EXPECT_EQ(1, c.SendMSG(nullptr));
    EXPECT_EQ(0u, c.QueueLength());
    EXPECT_EQ(kMessages * kLength, c.BytesSent());
    ASSERT_TRUE(c.Unlock("test"));
    bool ok = false;
    EXPECT_EQ(static_cast<size_t>(kMessages), CountInOrder(ReadN(peer.client, kMessages * kLength), kLength, &ok));
    EXPECT_TRUE(ok);
}

TEST_F(TransportTest, ABatchCutShortGoesOnFromTheCutByte) {
    master->echo = false;
    Open();
    StalledPeer peer(*master, record);
    ASSERT_TRUE(peer.ok);
    TransportProtocol& c = *peer.connection;
    // Odd sizes, so that the socket's cut falls inside a message.
    struct Case {
        int32_t length;
        int messages;
    } cases[] = {{3001, 60}, {977, 200}, {TRANSPORT_MAX_MSG, 12}};
    uint32_t next = 0;
    std::string expected;
    for (const Case& k : cases) {
        ASSERT_TRUE(c.Lock("test"));
        for (int m = 0; m < k.messages; ++m) {
            std::unique_ptr<TransportMSG> made = Numbered(next++, k.length);
            expected.append(reinterpret_cast<const char*>(made->Bytes()), static_cast<size_t>(k.length));
            ASSERT_EQ(1, c.QueueMSG(std::move(made), TransportProtocol::QueueBack));
        }
        const int64_t before = c.BytesSent();
        const size_t queuedBefore = c.QueueLength();
        EXPECT_EQ(1, c.SendMSG(nullptr));
        // Whole messages went, the next one was cut: it is at the front, marked, and
        // positioned at the first byte not sent; the rest were not touched.
        ASSERT_GT(c.QueueLength(), 0u) << k.length;
        TransportMSG* head = c.QueuedAt(0);
        const int64_t cut = head->Length() - head->Remaining();
        if (cut > 0) {
            EXPECT_TRUE(head->PartlySent());
            EXPECT_EQ(head->Position(), head->Buffer() + cut);
        }
        for (size_t i = 1; i < c.QueueLength(); ++i) {
            TransportMSG* m = c.QueuedAt(i);
            EXPECT_FALSE(m->PartlySent());
            EXPECT_EQ(m->Length(), m->Remaining());
            EXPECT_EQ(0u, m->SendAttempts());
        }
        EXPECT_EQ(c.BytesSent() - before,
                  static_cast<int64_t>(queuedBefore - c.QueueLength()) * k.length + cut)
            << k.length;
        ASSERT_TRUE(c.Unlock("test"));
        // The poster goes on as the client reads: the stream arrives whole, once, in order.
        const std::string got = ReadN(peer.client, expected.size());
        ASSERT_EQ(expected.size(), got.size()) << k.length;
        EXPECT_TRUE(got == expected) << k.length;
        expected.clear();
        next = 0;
    }
    EXPECT_TRUE(record.NoFailures());
}

// Posted messages reach each connection in the order they were posted, behind everything
// sent before and ahead of everything sent after, however the writer threads share the
// connections.
TEST_F(TransportTest, PostedMessagesKeepEachConnectionsOrderAcrossWriterThreads) {
    master->echo = false;
    TransportProtocol::SetWriterThreads(2);
    Open();
    constexpr int kClients = 6, kMessages = 400, kLength = 997;
    std::vector<int> clients;
    std::vector<TransportProtocol*> connections;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(Connect(master->BoundPort(false)));
        ASSERT_GE(clients.back(), 0);
        ASSERT_EQ(1, send(clients.back(), "x", 1, 0));
        ASSERT_TRUE(record.Wait([&] { return record.received.size() == static_cast<size_t>(i + 1); }));
        connections.push_back(master->last);
    }
    std::vector<std::string> streams(kClients);
    std::thread reader([&] {
        const size_t want = static_cast<size_t>(kMessages) * kLength;
        char buffer[65536];
        for (bool more = true; more;) {
            more = false;
            std::vector<pollfd> fds;
            for (int i = 0; i < kClients; ++i)
                if (streams[static_cast<size_t>(i)].size() < want) fds.push_back({clients[static_cast<size_t>(i)], POLLIN, 0});
            if (fds.empty() || poll(fds.data(), fds.size(), kBound) <= 0) break;
            for (const pollfd& p : fds) {
                const size_t i = static_cast<size_t>(std::find(clients.begin(), clients.end(), p.fd) - clients.begin());
                if (p.revents & POLLIN) {
                    const ssize_t got = recv(p.fd, buffer, sizeof buffer, 0);
                    if (got > 0) streams[i].append(buffer, static_cast<size_t>(got));
                }
            }
            for (const std::string& s : streams) more = more || s.size() < want;
        }
    });
    // Every tenth message goes the direct way: it must still land in its place.
    for (int m = 0; m < kMessages; ++m)
        for (TransportProtocol* c : connections) {
            std::unique_ptr<TransportMSG> msg = Numbered(static_cast<uint32_t>(m), kLength);
            EXPECT_EQ(1, m % 10 == 9 ? c->SendMSG(std::move(msg)) : c->PostMSG(std::move(msg)));
        }
    reader.join();
    EXPECT_TRUE(record.NoFailures());
    for (int i = 0; i < kClients; ++i) {
        bool ok = false;
        EXPECT_EQ(static_cast<size_t>(kMessages), CountInOrder(streams[static_cast<size_t>(i)], kLength, &ok)) << i;
        EXPECT_TRUE(ok) << i;
        close(clients[static_cast<size_t>(i)]);
    }
}

TEST_F(TransportTest, PostedMessagesCountAgainstTheQueueLimit) {
    master->echo = false;
    master->queueLimit = 3;
    Open();
    StalledPeer peer(*master, record);
    ASSERT_TRUE(peer.ok);
    // Held by the test, the connection's writer cannot send: what is posted waits.
    ASSERT_TRUE(peer.connection->Lock("test"));
    EXPECT_EQ(1, peer.connection->PostMSG(std::make_unique<TransportMSG>(100)));
    EXPECT_EQ(1, peer.connection->PostMSG(std::make_unique<TransportMSG>(100)));
    EXPECT_EQ(1, peer.connection->PostMSG(std::make_unique<TransportMSG>(100)));
    EXPECT_EQ(3u, peer.connection->PostedLength());
    EXPECT_EQ(0, peer.connection->PostMSG(std::make_unique<TransportMSG>(100)));
    ASSERT_TRUE(record.Wait([&] { return !record.failures.empty(); }));
    EXPECT_EQ(17, record.failures.front());
    ASSERT_TRUE(peer.connection->Unlock("test"));
}

// The wait for the writers ends at its deadline on the process clock while the peer reads
// nothing, and with the last byte handed to the socket, the clock standing still, once it
// reads.
TEST_F(TransportTest, WaitForOutputEndsWhenAllIsSentOrAtItsDeadline) {
    master->echo = false;
    Open();
    StalledPeer peer(*master, record);
    ASSERT_TRUE(peer.ok);
    TransportProtocol& c = *peer.connection;
    const auto allSent = [&c] {
        const bool took = c.Lock("test");
        const bool waiting = c.HasOutputWaiting();
        if (took) (void)c.Unlock("test");
        return !waiting;
    };
    plat::FakeClock clock;
    plat::ScopedClock scoped(&clock);
    constexpr int kMessages = 20;  // far more than the small socket buffers take
    for (int m = 0; m < kMessages; ++m) ASSERT_EQ(1, c.PostMSG(Numbered(static_cast<uint32_t>(m), TRANSPORT_MAX_MSG)));

    std::atomic<int> stalled{-1};
    std::thread waiter([&] { stalled = master->WaitForOutput(plat::DeadlineAfterMs(1000), allSent); });
    ASSERT_TRUE(clock.AwaitSleepers(1));
    EXPECT_EQ(-1, stalled.load());
    EXPECT_EQ(1000, clock.AdvanceToNextDeadline());
    waiter.join();
    EXPECT_EQ(0, stalled.load());
    EXPECT_FALSE(allSent());

    std::string stream;
    std::thread reader([&] { stream = ReadN(peer.client, kMessages * static_cast<size_t>(TRANSPORT_MAX_MSG)); });
    EXPECT_TRUE(master->WaitForOutput(plat::DeadlineAfterMs(1000), allSent));
    reader.join();
    bool ok = false;
    EXPECT_EQ(static_cast<size_t>(kMessages), CountInOrder(stream, TRANSPORT_MAX_MSG, &ok));
    EXPECT_TRUE(ok);
    EXPECT_TRUE(record.NoFailures());
}

// A connection may go while a writer thread holds it: the delete waits for the writer, and
// the writer finds the connection closed and sends nothing.
TEST_F(TransportTest, AConnectionDeletedWithPostedMessagesLeavesNoWriterBehind) {
    master->echo = false;
    Open();
    // A byte through another connection after each new one's shows that the poster has
    // finished with the new one: from then on only a writer may hold it.
    const int other = Connect(master->BoundPort(false));
    ASSERT_GE(other, 0);
    ASSERT_EQ(1, send(other, "o", 1, 0));
    ASSERT_TRUE(record.Wait([&] { return record.received.size() == 1; }));
    for (int round = 0; round < 20; ++round) {
        const int s = Connect(master->BoundPort(false));
        ASSERT_GE(s, 0);
        ASSERT_EQ(1, send(s, "x", 1, 0));
        ASSERT_TRUE(record.Wait([&] { return record.received.size() == static_cast<size_t>(2 * round + 2); }));
        TransportProtocol* c = master->last;
        ASSERT_EQ(1, send(other, "o", 1, 0));
        ASSERT_TRUE(record.Wait([&] { return record.received.size() == static_cast<size_t>(2 * round + 3); }));
        ASSERT_TRUE(c->Lock("test"));
        for (int m = 0; m < 8; ++m) EXPECT_EQ(1, c->PostMSG(std::make_unique<TransportMSG>(100)));
        c->CloseConnection();
        ASSERT_TRUE(c->Unlock("test"));
        master->DeleteConnection(c);
        close(s);
    }
    EXPECT_TRUE(record.NoFailures());
    close(other);
}

TEST_F(TransportTest, DumpAndDebugControlTexts) {
    Open();
    std::string text;
    master->Dump(text);
    EXPECT_NE(std::string::npos, text.find("\nTransportProtocol (MASTER):\n    m_State=connectionOpen\n"));
    std::string control;
    TransportProtocol::DebugControl(control, 1, -5);
    EXPECT_EQ("AcceptConnections=off SimSendError=0", control);
    control.clear();
    TransportProtocol::DebugControl(control, 1, -1);
    EXPECT_EQ("AcceptConnections=on SimSendError=0", control);
}

// ---------------------------------------------------------------- TLS

class TlsTransportTest : public TransportTest {
protected:
    void SetUp() override {
        TransportTest::SetUp();
        // A throw-away self-signed certificate, made for this test only.
        const auto tls = testsupport::MakeCertificate(dir.path());
        ASSERT_TRUE(tls.made);
        ASSERT_TRUE(SecureChannelConfigure(tls.cert, tls.key));
        ctx = SSL_CTX_new(TLS_client_method());
        ASSERT_NE(nullptr, ctx);
    }
    void TearDown() override {
        SSL_CTX_free(ctx);
        TransportTest::TearDown();
    }
    testsupport::TempDir dir{"tls"};
    SSL_CTX* ctx = nullptr;
};

TEST_F(TlsTransportTest, EchoesOverTlsWhileAStalledHandshakeWaits) {
    Open();
    // A client that sends half a hello and stops must not hold up anyone else.
    const int stalled = Connect(master->BoundPort(true));
    ASSERT_GE(stalled, 0);
    const uint8_t partialHello[] = {0x16, 0x03, 0x01, 0x02, 0x00, 0x01};
    ASSERT_EQ(static_cast<ssize_t>(sizeof partialHello), send(stalled, partialHello, sizeof partialHello, 0));
    ASSERT_TRUE(record.Wait([&] { return record.created == 1; }));

    const int plain = Connect(master->BoundPort(false));
    ASSERT_GE(plain, 0);
    ASSERT_EQ(5, send(plain, "plain", 5, 0));
    EXPECT_EQ("plain", ReadN(plain, 5));

    const int s = Connect(master->BoundPort(true));
    ASSERT_GE(s, 0);
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, s);
    ASSERT_EQ(1, SSL_connect(ssl));
    EXPECT_GE(SSL_version(ssl), TLS1_2_VERSION);
    const std::string text(5000, 's');
    ASSERT_EQ(static_cast<int>(text.size()), SSL_write(ssl, text.data(), static_cast<int>(text.size())));
    std::string got;
    char buffer[4096];
    while (got.size() < text.size()) {
        const int n = SSL_read(ssl, buffer, sizeof buffer);
        if (n <= 0) break;
        got.append(buffer, static_cast<size_t>(n));
    }
    EXPECT_EQ(text, got);
    EXPECT_EQ(1, TransportProtocol::NumConnections());
    EXPECT_EQ(2, TransportProtocol::NumConnectionsSecure());
    SSL_shutdown(ssl);
    SSL_free(ssl);
    close(s);
    close(plain);
    close(stalled);
}

TEST_F(TlsTransportTest, PostedBatchesArriveWholeOverTls) {
    master->echo = false;
    Open();
    const int s = Connect(master->BoundPort(true));
    ASSERT_GE(s, 0);
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, s);
    ASSERT_EQ(1, SSL_connect(ssl));
    ASSERT_EQ(1, SSL_write(ssl, "x", 1));
    ASSERT_TRUE(record.Wait([&] { return record.received.size() == 1; }));
    TransportProtocol* c = master->last;
    constexpr int kMessages = 300, kLength = 1125;
    for (int m = 0; m < kMessages; ++m) EXPECT_EQ(1, c->PostMSG(Numbered(static_cast<uint32_t>(m), kLength)));
    std::string got;
    char buffer[16384];
    while (got.size() < static_cast<size_t>(kMessages) * kLength) {
        const int n = SSL_read(ssl, buffer, sizeof buffer);
        if (n <= 0) break;
        got.append(buffer, static_cast<size_t>(n));
    }
    bool ok = false;
    EXPECT_EQ(static_cast<size_t>(kMessages), CountInOrder(got, kLength, &ok));
    EXPECT_TRUE(ok);
    EXPECT_TRUE(record.NoFailures());
    SSL_shutdown(ssl);
    SSL_free(ssl);
    close(s);
}

TEST_F(TlsTransportTest, HandshakeGarbageFailsOnlyThatConnection) {
    Open();
    const int s = Connect(master->BoundPort(true));
    ASSERT_GE(s, 0);
    const std::string junk(64, 'G');
    ASSERT_EQ(64, send(s, junk.data(), junk.size(), 0));
    ASSERT_TRUE(record.Wait([&] { return !record.failures.empty(); }));
    EXPECT_EQ(37, record.failures.front());
    close(s);
}

}  // namespace
