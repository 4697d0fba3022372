// The stand-in MDS seen from raw EMT links that speak the client protocol by hand.
#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <thread>
#include <unistd.h>
#include <vector>

#include "nuvlib/emt/emt.h"
#include "nuvlib/mds/mds.h"
#include "platform/byteorder.h"
#include "tests/nuvlib/mds/mds_env.h"

namespace {

struct Link {
    uint32_t h = 0;
    uint32_t Connect(uint16_t port, uint32_t flags) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(port);
        return EMTConnect(nullptr, &to, 10, nullptr, 10000, &h, flags, nullptr);
    }
    void Control(uint8_t type, uint32_t word, uint16_t body = 4) {
        uint8_t f[8] = {};
        EmtSetHeader(f, body, MDS_EMT_CLASS, type);
        plat::StoreLE32(f + 4, word);
        ASSERT_EQ(EMTSend(h, f), 0u);
    }
    void Data(uint8_t to, uint8_t cls, uint8_t type, uint16_t length, uint8_t flags = 0) {
        std::vector<uint8_t> f(4 + MDS_HEADER_SIZE + length, 0x5A);
        EmtSetHeader(f.data(), static_cast<uint16_t>(MDS_HEADER_SIZE + length), MDS_EMT_CLASS,
                     MDS_MSG_DATA);
        MDSHeader m;
        m.length = length;
        m.sender = 20;
        m.destination = to;
        m.flags = flags;
        m.messageClass = cls;
        m.messageType = type;
        MDSEncodeHeader(m, f.data() + 4);
        ASSERT_EQ(EMTSend(h, f.data()), 0u);
    }
    // The next frame: its EMT type, and the u32 status or the MDS header it carries.
    uint8_t Next(std::vector<uint8_t>* frame) {
        frame->assign(4100, 0);
        if (EMTReceive(h, frame->data(), 4100) != 0) return 0;
        return (*frame)[3];
    }
};

uint32_t Status(const std::vector<uint8_t>& f) { return plat::LoadLE32(f.data() + 4); }

class StandIn : public ::testing::TestWithParam<uint32_t> {
protected:
    void SetUp() override {
        port_ = mdstest::WriteProcess();
        mdstest::WriteClient("dialer", 20);
        mds_.reset(mdstest::StartMds(&port_));
        ASSERT_NE(mds_, nullptr);
        ASSERT_EQ(EMTInitialize(nullptr, 0, 0, 0), 0u);
    }
    void TearDown() override {
        mds_.reset();
        testsupport::RemoveNamespaceShm();
    }
    uint16_t port_ = 0;
    std::unique_ptr<testsupport::Child> mds_;
};

// Shared memory (flags 0) and TCP (flag bit 0).
INSTANTIATE_TEST_SUITE_P(Links, StandIn, ::testing::Values(0u, 1u));

TEST_P(StandIn, RegistersRoutesAndStops) {
    Link a, b;
    ASSERT_EQ(a.Connect(port_, GetParam()), 0u);
    ASSERT_EQ(b.Connect(port_, GetParam()), 0u);
    std::vector<uint8_t> f;
    a.Control(MSG_REGISTER_CLIENT, 20);
    ASSERT_EQ(a.Next(&f), MSG_REGISTER_REPLY);
    EXPECT_EQ(Status(f), 0u);
    EXPECT_NE(mds_->WaitLine("parlo-mds: client 20 (dialer) registered"), "");
    // The handle is held by a live link.
    b.Control(MSG_REGISTER_CLIENT, 20);
    ASSERT_EQ(b.Next(&f), MSG_REGISTER_REPLY);
    EXPECT_EQ(Status(f), MDS_E_ALREADY_REGISTERED);
    b.Control(MSG_REGISTER_CLIENT, 11);
    ASSERT_EQ(b.Next(&f), MSG_REGISTER_REPLY);
    EXPECT_EQ(Status(f), 0u);

    a.Control(MSG_START_CLIENT, 0, 0);
    ASSERT_EQ(a.Next(&f), MDS_MSG_DATA);
    MDSHeader st = MDSDecodeHeader(f.data() + 4);
    EXPECT_EQ(st.messageClass, 0);
    EXPECT_EQ(st.messageType, MDS_STATUS_IN_SERVICE);
    EXPECT_EQ(st.destination, 20);
    b.Control(MSG_START_CLIENT, 0, 0);
    ASSERT_EQ(b.Next(&f), MDS_MSG_DATA);

    // Bad frames are ignored: a body shorter than the header, a payload length beyond
    // the body, an unknown frame type. A checkpoint ends at MDS.
    uint8_t shortFrame[12] = {};
    EmtSetHeader(shortFrame, 8, MDS_EMT_CLASS, MDS_MSG_DATA);
    ASSERT_EQ(EMTSend(a.h, shortFrame), 0u);
    std::vector<uint8_t> lying(4 + MDS_HEADER_SIZE + 4, 0);
    EmtSetHeader(lying.data(), MDS_HEADER_SIZE + 4, MDS_EMT_CLASS, MDS_MSG_DATA);
    MDSHeader m;
    m.length = 4000;
    m.destination = 11;
    MDSEncodeHeader(m, lying.data() + 4);
    ASSERT_EQ(EMTSend(a.h, lying.data()), 0u);
    a.Control(99, 0);
    a.Data(1, 128, 1, 10, 4);
    a.Data(99, 17, 1, 10);  // nobody has handle 99
    EXPECT_NE(mds_->WaitLine("parlo-mds: no client 99 in service"), "");

    // Output by handle, stamped; input comes back to its sender.
    a.Data(11, 17, 3, MDS_MAX_PAYLOAD);
    ASSERT_EQ(b.Next(&f), MDS_MSG_DATA);
    MDSHeader got = MDSDecodeHeader(f.data() + 4);
    EXPECT_EQ(EmtBodyLength(f.data()), MDS_HEADER_SIZE + MDS_MAX_PAYLOAD);
    EXPECT_EQ(got.sender, 20);
    EXPECT_EQ(got.destination, 11);
    EXPECT_EQ(got.messageType, 3);
    EXPECT_EQ(f[4 + MDS_HEADER_SIZE + MDS_MAX_PAYLOAD - 1], 0x5A);
    const uint32_t first = got.stamp;
    EXPECT_NE(first, 0xFFFFFFFFu);
    a.Data(1, 17, 4, 2);
    ASSERT_EQ(a.Next(&f), MDS_MSG_DATA);
    got = MDSDecodeHeader(f.data() + 4);
    EXPECT_EQ(got.messageType, 4);
    EXPECT_GT(got.stamp, first);

    a.Control(MSG_STOP_CLIENT, 0);
    EXPECT_EQ(a.Next(&f), MSG_STOP_CLIENT_ACK);
    EXPECT_NE(mds_->WaitLine("parlo-mds: client 20 (dialer) stopped"), "");

    // b goes: MDS takes it out of service, and its handle is free again.
    EMTDisconnect(b.h);
    EXPECT_NE(mds_->WaitLine("parlo-mds: client 11 (peer) out of service"), "");
    Link c;
    ASSERT_EQ(c.Connect(port_, GetParam()), 0u);
    c.Control(MSG_RECONNECT_CLIENT, 11);
    ASSERT_EQ(c.Next(&f), MSG_RECONNECT_REPLY);
    EXPECT_EQ(Status(f), 0u);
    ASSERT_EQ(c.Next(&f), MDS_MSG_DATA);
    EXPECT_EQ(MDSDecodeHeader(f.data() + 4).messageType, MDS_STATUS_IN_SERVICE);

    // Stopping MDS tells every client in service (the client is reading, as a started
    // client always is, when MDS goes).
    uint8_t type = 0;
    std::thread rx([&] { type = c.Next(&f); });
    mds_->Kill(SIGTERM);
    rx.join();
    ASSERT_EQ(type, MDS_MSG_DATA);
    got = MDSDecodeHeader(f.data() + 4);
    EXPECT_EQ(got.messageClass, 0);
    EXPECT_EQ(got.messageType, MDS_STATUS_OUT_OF_SERVICE);
}

// The server's class-17 input goes to the client named "opc", stamped, and is dropped with
// a line while "opc" is not in service; input of other classes still comes back to its
// sender.
TEST_P(StandIn, DeliversOpcInputToTheOpcClient) {
    mdstest::WriteClient("opc", 30);
    mds_.reset();
    mds_.reset(mdstest::StartMds(&port_, true));
    ASSERT_NE(mds_, nullptr);
    Link server, opc;
    std::vector<uint8_t> f;
    ASSERT_EQ(server.Connect(port_, GetParam()), 0u);
    server.Control(MSG_REGISTER_CLIENT, 20);
    ASSERT_EQ(server.Next(&f), MSG_REGISTER_REPLY);
    server.Control(MSG_START_CLIENT, 0, 0);
    ASSERT_EQ(server.Next(&f), MDS_MSG_DATA);

    // No "opc" yet: the input is dropped (the server's next frame, below, is the class-5
    // input that comes back).
    server.Data(1, 17, 2, 12);
    EXPECT_EQ(mds_->WaitLine("parlo-mds: no client 30 (opc)"),
              "parlo-mds: no client 30 (opc) in service for a message from 20, class 17 type 2: dropped");

    ASSERT_EQ(opc.Connect(port_, GetParam()), 0u);
    opc.Control(MSG_REGISTER_CLIENT, 30);
    ASSERT_EQ(opc.Next(&f), MSG_REGISTER_REPLY);
    EXPECT_EQ(Status(f), 0u);
    opc.Control(MSG_START_CLIENT, 0, 0);
    ASSERT_EQ(opc.Next(&f), MDS_MSG_DATA);

    server.Data(1, 17, 3, 12);
    ASSERT_EQ(opc.Next(&f), MDS_MSG_DATA);
    MDSHeader got = MDSDecodeHeader(f.data() + 4);
    EXPECT_EQ(got.sender, 20);
    EXPECT_EQ(got.destination, 1);
    EXPECT_EQ(got.messageClass, 17);
    EXPECT_EQ(got.messageType, 3);
    EXPECT_EQ(got.length, 12);
    EXPECT_NE(got.stamp, 0xFFFFFFFFu);
    EXPECT_EQ(f[4 + MDS_HEADER_SIZE + 11], 0x5A);

    // Another class of input still returns to its sender, and the opc client gets nothing
    // more: the next frame it sees is the output sent to it by handle.
    server.Data(1, 5, 9, 4);
    ASSERT_EQ(server.Next(&f), MDS_MSG_DATA);
    got = MDSDecodeHeader(f.data() + 4);
    EXPECT_EQ(got.messageClass, 5);
    EXPECT_EQ(got.messageType, 9);
    server.Data(30, 17, 7, 4);
    ASSERT_EQ(opc.Next(&f), MDS_MSG_DATA);
    EXPECT_EQ(MDSDecodeHeader(f.data() + 4).messageType, 7);
}

// Killed with a client's link open, as a crash leaves it, the stand-in is replaced at once
// on the same port: one try binds its TCP port and its shared-memory listener and takes a
// registration again.
TEST_P(StandIn, AKilledOneIsReplacedAtOnceOnItsPort) {
    Link held;
    std::vector<uint8_t> f;
    ASSERT_EQ(held.Connect(port_, GetParam()), 0u);
    held.Control(MSG_REGISTER_CLIENT, 20);
    ASSERT_EQ(held.Next(&f), MSG_REGISTER_REPLY);
    mds_->Kill(SIGKILL);

    mds_ = std::make_unique<testsupport::Child>(std::vector<std::string>{
        PARLO_MDS_BIN, "--port", std::to_string(port_), "--instance", mdstest::kInstance});
    ASSERT_EQ(mds_->WaitLine("parlo-mds:"), "parlo-mds: listening on port " + std::to_string(port_));
    Link again;
    ASSERT_EQ(again.Connect(port_, GetParam()), 0u);
    again.Control(MSG_REGISTER_CLIENT, 20);
    ASSERT_EQ(again.Next(&f), MSG_REGISTER_REPLY);
    EXPECT_EQ(Status(f), 0u);
    EMTDisconnect(again.h);
    EMTDisconnect(held.h);
}

}  // namespace

namespace {

// A clean stop says what it did and nothing that looks like a failure.
TEST(StandInStop, CleanStopPrintsNoErrorLine) {
    uint16_t port = mdstest::WriteProcess();
    std::unique_ptr<testsupport::Child> mds(mdstest::StartMds(&port));
    ASSERT_NE(mds, nullptr);
    mds->Kill(SIGTERM);  // waits for the end; the output stays in the pipe
    EXPECT_EQ(mds->WaitLine(""), "parlo-mds: stopping, 0 clients told out of service");
    const std::string after = mds->WaitLine("", 2000);
    EXPECT_EQ(after, "") << "after the stop: " << after;
    testsupport::RemoveNamespaceShm();
}

// A port another listener holds is named as such in the line ./run passes on.
TEST(StandInStart, ATakenPortIsSaidInWords) {
    const uint16_t port = mdstest::WriteProcess();
    const int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    testsupport::Child mds({"/bin/sh", "-c", "exec \"$0\" --port \"$1\" 2>&1", PARLO_MDS_BIN,
                            std::to_string(port)});
    EXPECT_EQ(mds.WaitLine("parlo-mds:"), "parlo-mds: cannot listen on port " + std::to_string(port) +
                                              ": the port is in use (0x00002740 / 10048)");
    close(holder);
}

}  // namespace
