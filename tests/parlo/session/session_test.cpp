// The session layer over real sockets: open, heartbeat, close, framing, timers and the
// master's standby and close.
#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "ctimsg/statuscodes.h"
#include "parlo/session/sessionsink.h"
#include "tests/parlo/server/outmsg_fixture.h"
#include "tests/parlo/server/session_fixture.h"
#include "tests/support/certificate.h"
#include "tests/support/test_env.h"
#include "tests/support/wait.h"

namespace sesstest {
namespace {

TEST_F(SessionTest, OpenHeartbeatSecondOpenAndClose) {
    OpenActive();
    Client c(Port());
    ASSERT_GE(c.fd(), 0);
    ASSERT_TRUE(OpenClient(c, OpenReq(11)));
    EXPECT_EQ(1, master_->inputMarkers);

    HeartbeatReqMSG hb;
    hb.SetUINT(elementid::InvokeID, 12);
    ASSERT_TRUE(c.Send(hb));
    Received r = c.Read();
    ASSERT_EQ(6u, r.type);
    EXPECT_EQ(12u, r.msg->GetUINT(elementid::InvokeID));

    ASSERT_TRUE(c.Send(*OpenReq(13)));
    r = c.Read();
    ASSERT_EQ(1u, r.type);
    EXPECT_EQ(5u, r.Status());
    EXPECT_EQ(13u, r.msg->GetUINT(elementid::InvokeID));

    // CLOSE_CONF comes at once, before the application has taken the CLOSE_REQ.
    CloseReqMSG close;
    close.SetUINT(elementid::InvokeID, 14);
    close.SetUINT(elementid::Status, 0);
    ASSERT_TRUE(c.Send(close));
    r = c.Read();
    ASSERT_EQ(8u, r.type);
    EXPECT_EQ(14u, r.msg->GetUINT(elementid::InvokeID));
    auto frame = TakeInput();
    ASSERT_TRUE(frame);
    EXPECT_EQ(7u, frame->GetType());
    EXPECT_EQ(1, SessionProtocol::CloseSession(static_cast<int32_t>(frame->SessionID())));
    EXPECT_TRUE(c.SeesEof());
    EXPECT_EQ(1u, SessionProtocol::GarbageCount());
    EXPECT_EQ(0, master_->failures);
}

TEST_F(SessionTest, RefusedHeadersFailTheSessionWithInvalidLength) {
    OpenActive();
    const struct {
        uint32_t length, type;
    } cases[] = {{4, 0}, {4, 283}, {12629, 5}};
    for (const auto& k : cases) {
        Client c(Port());
        const auto h = Client::Header(k.length, k.type);
        ASSERT_TRUE(c.SendRaw(h.data(), h.size()));
        Received r = c.Read();
        EXPECT_EQ(2u, r.type) << k.type;
        EXPECT_EQ(2u, r.Status()) << k.type;
        EXPECT_TRUE(c.SeesEof()) << k.type;
    }
    char text[64];
    std::snprintf(text, sizeof text, "Length:0x%x, Type:0x%x", 12629u, 5u);
    EXPECT_EQ(1u, srvtest::Events::CountText(srvtest::Events::Take(), text));
}

TEST_F(SessionTest, LongestBodyIsReadWholeAndTheStreamStaysFramed) {
    OpenActive();
    Client c(Port());
    ASSERT_TRUE(OpenClient(c, OpenReq(1)));
    // Bodies that pass the header check but are far too long for a HEARTBEAT_REQ: the frame
    // gives no message (no answer), and the next frame is still read as a frame.
    for (uint32_t body : {12621u, 12628u}) {
        std::vector<uint8_t> frame = Client::Header(body, 5);
        frame.resize(8 + body, 0xAB);
        ASSERT_TRUE(c.SendRaw(frame.data(), frame.size()));
        HeartbeatReqMSG hb;
        hb.SetUINT(elementid::InvokeID, body);
        ASSERT_TRUE(c.Send(hb));
        Received r = c.Read();
        ASSERT_EQ(6u, r.type) << body;
        EXPECT_EQ(body, r.msg->GetUINT(elementid::InvokeID));
    }
}

TEST_F(SessionTest, ShortOpenRequestIsRefusedWithoutReadingPastItsBody) {
    OpenActive();
    Client c(Port());
    std::vector<uint8_t> frame = Client::Header(4, 3);
    frame.insert(frame.end(), {0, 0, 0, 9});
    ASSERT_TRUE(c.SendRaw(frame.data(), frame.size()));
    Received r = c.Read();
    ASSERT_EQ(1u, r.type);
    EXPECT_EQ(9u, r.msg->GetUINT(elementid::InvokeID));
    // The session survives and a proper OPEN_REQ still opens it.
    ASSERT_TRUE(OpenClient(c, OpenReq(2)));
}

TEST_F(SessionTest, IdleTimeoutThresholdDependsOnTheClient) {
    OpenActive();
    const struct {
        uint32_t idle;
        const char* signature;
        bool refused;
    } cases[] = {{19, "desk", true}, {20, "desk", false}, {8, "Tressik", false},
                 {7, "Tressik", true}, {0xFFFFFFFF, "desk", false}};
    for (const auto& k : cases) {
        Client c(Port());
        auto req = OpenReq(40, k.idle);
        req->SetSTRING(elementid::ClientSignature, k.signature);
        ASSERT_TRUE(c.Send(*req));
        if (k.refused) {
            Received r = c.Read();
            EXPECT_EQ(1u, r.type) << k.idle;
            EXPECT_EQ(18u, r.Status()) << k.idle;
        } else {
            EXPECT_EQ(1, ConfirmNextOpen()) << k.idle;
            EXPECT_EQ(4u, c.Read().type) << k.idle;
        }
    }
}

TEST_F(SessionTest, DecodeErrorWithInvokeIDIsAnsweredAndTheSessionStays) {
    OpenActive();
    Client c(Port());
    ASSERT_TRUE(OpenClient(c, OpenReq(1)));
    // A CLOSE_REQ without its Status: the decoder's status goes back with the InvokeID.
    std::vector<uint8_t> frame = Client::Header(4, 7);
    frame.insert(frame.end(), {0, 0, 0, 55});
    ASSERT_TRUE(c.SendRaw(frame.data(), frame.size()));
    Received r = c.Read();
    ASSERT_EQ(1u, r.type);
    EXPECT_EQ(55u, r.msg->GetUINT(elementid::InvokeID));
    EXPECT_NE(0u, r.Status());
    HeartbeatReqMSG hb;
    hb.SetUINT(elementid::InvokeID, 56);
    ASSERT_TRUE(c.Send(hb));
    EXPECT_EQ(6u, c.Read().type);
}

TEST_F(SessionTest, SilentConnectionTimesOutAndIsCollected) {
    OpenActive();
    Client c(Port());
    // The session exists once the poster accepted it.
    // Accepted, with its connection timer started.
    ASSERT_TRUE(testsupport::WaitFor([&] {
        LockGuard<CTILockObject> hold(master_->SessionLock(), "test");
        SessionProtocol* s = SessionProtocol::FindSession(1);
        return s != nullptr && s->IsRunning();
    }));
    {
        // What an OPEN_REQ would set starts defined.
        LockGuard<CTILockObject> hold(master_->SessionLock(), "test");
        SessionProtocol* s = SessionProtocol::FindSession(1);
        EXPECT_EQ(0u, s->GetInvokeID());
        EXPECT_EQ(0u, s->GetPeripheralID());
        EXPECT_EQ(0u, s->GetServiceMask());
        EXPECT_EQ(24u, s->GetClientVersion());
        EXPECT_EQ(SessionProtocol::kNoIdleTimeout, s->GetIdleTimeout());
    }
    AdvanceSeconds(29);
    EXPECT_EQ(0u, SessionProtocol::GarbageCount());
    AdvanceSeconds(2);
    Received r = c.Read();
    EXPECT_EQ(2u, r.type);
    EXPECT_EQ(16u, r.Status());
    EXPECT_TRUE(c.SeesEof());
    EXPECT_EQ(1u, SessionProtocol::GarbageCount());
    AdvanceSeconds(11);
    EXPECT_EQ(0u, SessionProtocol::GarbageCount());
    EXPECT_EQ(0, SessionProtocol::SessionsNow());
}

TEST_F(SessionTest, HeartbeatsKeepASessionAliveAndSilenceEndsIt) {
    OpenActive();
    Client c(Port());
    ASSERT_TRUE(OpenClient(c, OpenReq(1, 20)));
    for (uint32_t i = 0; i < 3; ++i) {
        AdvanceSeconds(15);
        HeartbeatReqMSG hb;
        hb.SetUINT(elementid::InvokeID, 100 + i);
        ASSERT_TRUE(c.Send(hb));
        ASSERT_EQ(6u, c.Read().type);
    }
    AdvanceSeconds(21);
    Received r = c.Read();
    EXPECT_EQ(2u, r.type);
    EXPECT_EQ(16u, r.Status());
    EXPECT_TRUE(c.SeesEof());
}

TEST_F(SessionTest, AnExtensionInUseEndsTheOldSessionFromTheSameHostOnly) {
    OpenActive();
    auto agent = [](uint32_t invoke) {
        auto req = OpenReq(invoke, 30, 0x01, "agent");
        req->SetSTRING(elementid::AgentExtension, "1001");
        return req;
    };
    // From the same address the new session wins; from another the old one keeps it.
    const struct {
        const char* secondSource;
        bool oldEnds;
    } cases[] = {{"127.0.0.1", true}, {"127.0.0.2", false}};
    for (const auto& k : cases) {
        Client first(Port(), "127.0.0.1"), second(Port(), k.secondSource);
        ASSERT_TRUE(OpenClient(first, agent(1))) << k.secondSource;
        ASSERT_TRUE(second.Send(*agent(2)));
        ASSERT_EQ(k.oldEnds ? 1 : 0, ConfirmNextOpen()) << k.secondSource;
        Client& ended = k.oldEnds ? first : second;
        Client& kept = k.oldEnds ? second : first;
        if (k.oldEnds) {
            Received r = ended.Read();
            EXPECT_EQ(2u, r.type);
            EXPECT_EQ(11u, r.Status());
            EXPECT_EQ(4u, kept.Read().type);
        } else {
            Received r = ended.Read();
            EXPECT_EQ(1u, r.type);
            EXPECT_EQ(10u, r.Status());
            EXPECT_EQ(2u, r.msg->GetUINT(elementid::InvokeID));
        }
        EXPECT_TRUE(ended.SeesEof()) << k.secondSource;
        HeartbeatReqMSG hb;
        hb.SetUINT(elementid::InvokeID, 3);
        ASSERT_TRUE(kept.Send(hb));
        EXPECT_EQ(6u, kept.Read().type) << k.secondSource;
    }
}

TEST_F(SessionTest, StandbyToOpenSwitchesOnlyStandbySessions) {
    server_->SetState(Server::ACTIVATING);
    server_->SetState(Server::STANDBY);
    ASSERT_EQ(1, SessionProtocol::OpenStandby());
    Client capable(Port()), old(Port()), opening(Port());
    ASSERT_TRUE(OpenClient(capable, OpenReq(1, 30, 0x10 | servicemask::STANDBY_CAPABLE)));
    // Below version 24 a client may not wait in standby: failed with 107, no answer.
    ASSERT_TRUE(old.Send(*OpenReq(2, 30, 0x10 | servicemask::STANDBY_CAPABLE, "old", 23), 23));
    EXPECT_TRUE(old.SeesEof());
    // One that has not had its verdict yet stays opening through the switch.
    ASSERT_TRUE(opening.Send(*OpenReq(3, 30, 0x10 | servicemask::STANDBY_CAPABLE, "late")));
    auto pending = TakeOpenRequest();
    ASSERT_TRUE(pending);
    const auto pendingID = static_cast<int32_t>(pending->SessionID());

    server_->SetState(Server::ACTIVE);
    EXPECT_EQ(1, SessionProtocol::StandbyToOpen());
    EXPECT_EQ(277u, capable.Read().type);
    EXPECT_EQ(SessionProtocol::sessionOpening, SessionState(pendingID));
    EXPECT_EQ(0, SessionProtocol::StandbyToOpen());
}

TEST_F(SessionTest, MaintenanceCloseListsEachSessionOnce) {
    OpenActive();
    Client a(Port()), b(Port());
    ASSERT_TRUE(OpenClient(a, OpenReq(1)));
    ASSERT_TRUE(OpenClient(b, OpenReq(2, 30, 0x10, "desk2")));
    int result = -1;
    std::thread closer([&] { result = SessionProtocol::Close(110); });
    // The close waits for the poster and timer threads to finish with the sessions.
    ASSERT_TRUE(clock_.AwaitSleepers(1));
    EXPECT_EQ(2u, SessionProtocol::GarbageCount());
    clock_.AdvanceToNextDeadline();
    closer.join();
    EXPECT_EQ(1, result);
    for (Client* c : {&a, &b}) {
        Received r = c->Read();
        EXPECT_EQ(2u, r.type);
        EXPECT_EQ(110u, r.Status());
    }
    // Failed sessions stay failed through the close: each is listed, and deleted, once.
    EXPECT_EQ(2u, SessionProtocol::GarbageCount());
    AdvanceSeconds(11);
    EXPECT_EQ(0u, SessionProtocol::GarbageCount());
    EXPECT_EQ(0, SessionProtocol::SessionsNow());
}

TEST_F(SessionTest, SessionIDsWrapAndSkipIDsInUse) {
    OpenActive();
    Client c(Port());
    ASSERT_TRUE(OpenClient(c, OpenReq(1)));  // holds ID 1
    LockGuard<CTILockObject> hold(master_->SessionLock(), "test");
    master_->SetNextSessionID(0x7FFFFFFF);
    EXPECT_EQ(0x7FFFFFFFu, master_->NewSessionID());
    EXPECT_EQ(2u, master_->NewSessionID());
    EXPECT_EQ(3u, master_->NewSessionID());
}

TEST_F(SessionTest, UniqueInstanceIDsAreUniqueAndTheSinkFindsLiveSessions) {
    OpenActive();
    Client first(Port()), second(Port());
    auto req = OpenReq(1);
    req->SetSTRING(elementid::UniqueInstanceID, "u1");
    ASSERT_TRUE(OpenClient(first, std::move(req)));
    req = OpenReq(2, 30, 0x10, "desk2");
    req->SetSTRING(elementid::UniqueInstanceID, "u1");
    ASSERT_TRUE(second.Send(*req));
    Received r = second.Read();
    ASSERT_EQ(1u, r.type);
    EXPECT_EQ(109u, r.Status());

    SessionSinkPort& sink = SessionSinkPort::Instance();
    EXPECT_TRUE(sink.FindSession(1));
    EXPECT_FALSE(sink.FindSession(3));
    EXPECT_EQ(1, sink.FindSessionByUniqueInstanceID("u1"));
    EXPECT_EQ(-1, sink.FindSessionByUniqueInstanceID("u2"));
    int notASession = 0;
    EXPECT_EQ(nullptr, sink.SessionMonitorList(&notASession));
    EXPECT_EQ(1, sink.SendFailureEventMSG(1, 12, true));
    r = first.Read();
    EXPECT_EQ(2u, r.type);
    EXPECT_EQ(12u, r.Status());
    EXPECT_TRUE(first.SeesEof());
    EXPECT_FALSE(sink.FindSession(1));
    EXPECT_EQ(-1, sink.FindSessionByUniqueInstanceID("u1"));
}

TEST_F(SessionTest, APeerCloseReachesTheApplicationOnceAsSessionFailedThenCloseRequest) {
    OpenActive();
    auto c = std::make_unique<Client>(Port());
    ASSERT_TRUE(OpenClient(*c, OpenReq(1)));
    c.reset();
    auto failed = TakeInput();
    ASSERT_TRUE(failed);
    ASSERT_EQ(259u, failed->GetType());
    // The application fails it; a second failure (from anywhere) changes nothing.
    EXPECT_EQ(1, SessionProtocol::FailSessionByID(1, 0));
    EXPECT_EQ(0, SessionProtocol::FailSessionByID(1, 17));
    auto close = TakeInput();
    ASSERT_TRUE(close);
    EXPECT_EQ(7u, close->GetType());
    EXPECT_EQ(0u, SessionProtocol::InputQueueLength());
    EXPECT_EQ(1u, SessionProtocol::GarbageCount());
    EXPECT_EQ(1, master_->failures);
}

// Every frame queued for the application carries the message it was decoded into, or, for
// the close and session-failed messages the session layer makes itself, built from: the same
// message the frame's bytes decode to, taken once.
TEST_F(SessionTest, EveryQueuedFrameCarriesItsMessage) {
    OpenActive();
    struct Expected {
        uint32_t type, invokeID, status;
    };
    std::vector<std::pair<std::unique_ptr<SessionMSG>, Expected>> frames;
    auto take = [&](Expected expected) {
        auto frame = TakeInput();
        ASSERT_TRUE(frame) << expected.type;
        frames.emplace_back(std::move(frame), expected);
    };
    Client c(Port());
    ASSERT_TRUE(OpenClient(c, OpenReq(1)));  // its OPEN_REQ's message went to the verdict
    QueryDeviceInfoReqMSG query;
    outtest::FillRequired(query);
    query.SetUINT(elementid::InvokeID, 2);
    ASSERT_TRUE(c.Send(query));
    take({QUERY_DEVICE_INFO_REQ, 2, 0});
    CloseReqMSG close;
    close.SetUINT(elementid::InvokeID, 3);
    close.SetUINT(elementid::Status, 0);
    ASSERT_TRUE(c.Send(close));
    take({CLOSE_REQ, 3, 0});
    // A peer that goes: the session layer's own SESSION_FAILED_MSG, then the CLOSE_REQ it
    // makes when the application fails the session.
    auto gone = std::make_unique<Client>(Port());
    ASSERT_TRUE(gone->Send(*OpenReq(4, 30, 0x10, "desk2")));
    take({OPEN_REQ, 4, 0});
    const auto goneID = static_cast<int32_t>(frames.back().first->SessionID());
    gone.reset();
    take({SESSION_FAILED_MSG, 0, E_CTI_NO_ERROR});
    EXPECT_EQ(1, SessionProtocol::FailSessionByID(goneID, E_CTI_CLIENT_DISCONNECTED));
    take({CLOSE_REQ, 0, E_CTI_CLIENT_DISCONNECTED});

    for (auto& [frame, expected] : frames) {
        BaseMSGPtr carried = frame->TakeDecoded();
        ASSERT_NE(nullptr, carried) << expected.type;
        EXPECT_EQ(nullptr, frame->TakeDecoded()) << expected.type;
        EXPECT_EQ(expected.type, frame->GetType());
        EXPECT_EQ(expected.type, carried->GetMsgType());
        EXPECT_EQ(expected.invokeID, carried->GetUINT(elementid::InvokeID)) << expected.type;
        if (expected.type == CLOSE_REQ || expected.type == SESSION_FAILED_MSG) {
            EXPECT_EQ(expected.status, carried->GetUINT(elementid::Status)) << expected.type;
        }
        BaseMSGPtr fromBytes = BaseMSG::Decode(frame->Data(), frame->Length(), frame->ClientVersion());
        ASSERT_NE(nullptr, fromBytes) << expected.type;
        std::string carriedText, bytesText;
        carried->Trace(carriedText, frame->ClientVersion());
        fromBytes->Trace(bytesText, frame->ClientVersion());
        EXPECT_EQ(bytesText, carriedText);
    }
}

TEST_F(SessionTest, AStalledTlsHandshakeDoesNotHoldUpAPlainOpen) {
    testsupport::TempDir dir("sesstls");
    const auto tls = testsupport::MakeCertificate(dir.path());
    ASSERT_TRUE(tls.made);
    ASSERT_TRUE(SecureChannelConfigure(tls.cert, tls.key));
    OpenActive();
    Client stalled(master_->BoundPort(true));
    const uint8_t partialHello[] = {0x16, 0x03, 0x01, 0x02, 0x00, 0x01};
    ASSERT_TRUE(stalled.SendRaw(partialHello, sizeof partialHello));
    ASSERT_TRUE(testsupport::WaitFor([] { return SessionProtocol::SessionsNow() == 1; }));
    Client plain(Port());
    EXPECT_TRUE(OpenClient(plain, OpenReq(1)));
}

TEST_F(SessionTest, AVersionAbove24IsRefusedUntilAnOpenWithAKnownVersion) {
    OpenActive();
    Client c(Port());
    ASSERT_TRUE(c.SendPatched(*OpenReq(1), {{15, 25}}));  // VersionNumber 25
    Received r = c.Read();
    ASSERT_EQ(1u, r.type);
    EXPECT_EQ(1u, r.Status());
    EXPECT_EQ(1u, r.msg->GetUINT(elementid::InvokeID));
    // Frames at the unknown version give no message and no answer; an OPEN_REQ with a
    // version from 1 to 24 sets the session's version again.
    HeartbeatReqMSG hb;
    hb.SetUINT(elementid::InvokeID, 2);
    ASSERT_TRUE(c.Send(hb));
    ASSERT_TRUE(OpenClient(c, OpenReq(3)));
}

// An OPEN_REQ of version 0 has no message; at version 1 it decodes without its InvokeID:
// neither is answered, and the session goes on to open with a version it knows.
TEST_F(SessionTest, AnOpenOfVersion0Or1GoesUnansweredAndTheSessionStays) {
    OpenActive();
    for (uint8_t version : {0, 1}) {
        Client c(Port());
        ASSERT_TRUE(c.SendPatched(*OpenReq(1), {{15, version}}));
        // The next frame the client gets answers the next request.
        ASSERT_TRUE(OpenClient(c, OpenReq(2))) << int(version);
        EXPECT_EQ(1u, srvtest::Events::CountText(srvtest::Events::Take(), "|OPEN_REQ|")) << int(version);
    }
}

// The hex dump of a refused frame: the same bytes, but a password's are zero. Frames of a
// known version are read in their own layout, the others in the newest one.
TEST_F(SessionTest, TheDumpOfARefusedFrameShowsNoPassword) {
    registry_->SetDynamic(CTIRegistry::DumpInvalidMessages, 1);
    OpenActive();
    const std::string secret = "s3cret-pw";
    const struct {
        uint32_t version;  // the layout the frame is written in
        int patchedVersion;  // -1: none; else the VersionNumber it carries
    } cases[] = {{24, -1}, {15, -1}, {24, 25}, {24, 0}};
    for (const auto& k : cases) {
        SCOPED_TRACE(testing::Message() << k.version << "/" << k.patchedVersion);
        auto req = OpenReq(1, 5, 0x10, "desk1", k.version);  // IdleTimeout 5: refused
        req->SetUINT(elementid::CallMsgMask, 0);  // what every version allows
        req->SetUINT(elementid::AgentStateMask, 0);
        req->SetUNSPEC(elementid::ClientPassword, reinterpret_cast<const uint8_t*>(secret.data()),
                       static_cast<int>(secret.size()));
        std::vector<uint8_t> frame(static_cast<size_t>(req->MaxEncodedSize(k.version) + 8));
        ASSERT_EQ(0, req->Validate(k.version));
        const int n = req->Encode(frame.data(), static_cast<int>(frame.size()), k.version, 0x3FF, nullptr, 0);
        ASSERT_GT(n, 0);
        frame.resize(static_cast<size_t>(n));
        if (k.patchedVersion >= 0) frame[15] = static_cast<uint8_t>(k.patchedVersion);
        const auto at = std::search(frame.begin(), frame.end(), secret.begin(), secret.end());
        ASSERT_NE(frame.end(), at);
        std::vector<uint8_t> expected = frame;
        std::fill_n(expected.begin() + (at - frame.begin()), secret.size(), 0);

        (void)srvtest::Events::Take();
        Client c(Port());
        ASSERT_TRUE(c.SendRaw(frame.data(), frame.size()));
        // Frames are handled in order: once the next one is queued, the dump is complete.
        ASSERT_TRUE(c.Send(*OpenReq(2)));
        ASSERT_NE(nullptr, TakeOpenRequest());
        std::vector<uint8_t> dumped;
        for (const srvtest::Event& e : srvtest::Events::Take()) {
            EXPECT_EQ(std::string::npos, e.Text().find(secret)) << e.Text();
            if (e.id != 0x212E000E || e.args.size() < 2 || e.args[1].find("| ") != 48) continue;
            for (size_t i = 0; i + 2 < 48 && e.args[1][i] != ' '; i += 3)
                dumped.push_back(static_cast<uint8_t>(std::stoul(e.args[1].substr(i, 2), nullptr, 16)));
        }
        EXPECT_EQ(expected, dumped);
    }
}

TEST_F(SessionTest, ConnectionsAboveTheLimitAreClosedAtOnce) {
    OpenActive();
    registry_->SetDynamic(CTIRegistry::MaxClientConnections, 2);
    Client a(Port()), b(Port());
    ASSERT_TRUE(testsupport::WaitFor([] { return SessionProtocol::SessionsNow() == 2; }));
    Client third(Port());
    EXPECT_TRUE(third.SeesEof());
    EXPECT_EQ(2, SessionProtocol::SessionsNow());
    EXPECT_TRUE(OpenClient(a, OpenReq(1)));
}

}  // namespace
}  // namespace sesstest
