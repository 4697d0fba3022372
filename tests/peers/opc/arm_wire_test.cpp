// The stand-in OPC's ARM and ACMI layouts: the table against the type list, the bytes of
// the messages the server sends, bounded reading, and the answers and follow-ups.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "peers/opc/arm_wire.h"
#include "peers/opc/opc_corpus.h"
#include "peers/opc/opc_standin.h"
#include "peers/opc/opc_wire.h"

namespace opcpeer {
namespace {

// Type, name and fixed-part size, transcribed from the type list on their own.
struct TypeCase {
    uint8_t type;
    const char* name;
    uint16_t fixed;
};
const TypeCase kTypes[] = {
    {49, "ARM_MEDIA_LOGIN_REQ", 44}, {50, "ARM_MEDIA_LOGIN_RESP", 16},
    {51, "ARM_MEDIA_LOGOUT_IND", 28}, {52, "ARM_MAKE_AGENT_ROUTABLE_IND", 24},
    {53, "ARM_MAKE_AGENT_NOT_ROUTABLE_REQ", 16}, {54, "ARM_MAKE_AGENT_NOT_ROUTABLE_RESP", 12},
    {55, "ARM_MAKE_AGENT_READY_IND", 24}, {56, "ARM_MAKE_AGENT_NOT_READY_REQ", 20},
    {57, "ARM_MAKE_AGENT_NOT_READY_RESP", 12}, {58, "ARM_OFFER_TASK_IND", 40},
    {59, "ARM_OFFER_APPLICATION_TASK_REQ", 40}, {60, "ARM_OFFER_APPLICATION_TASK_RESP", 24},
    {61, "ARM_START_TASK_IND", 40}, {62, "ARM_START_APPLICATION_TASK_REQ", 40},
    {63, "ARM_START_APPLICATION_TASK_RESP", 24}, {64, "ARM_PAUSE_TASK_IND", 32},
    {65, "ARM_RESUME_TASK_IND", 32}, {66, "ARM_WRAPUP_TASK_IND", 32},
    {67, "ARM_END_TASK_IND", 40}, {68, "ARM_AGENT_MADE_NOT_ROUTABLE_EVENT", 8},
    {69, "ARM_AGENT_INTERRUPT_ADVISORY_EVENT", 16}, {70, "ARM_AGENT_INTERRUPT_ACCEPTED_IND", 20},
    {71, "ARM_AGENT_INTERRUPT_UNACCEPTED_IND", 20},
    {72, "ARM_AGENT_INTERRUPT_DONE_ADVISORY_EVENT", 12},
    {73, "ARM_AGENT_INTERRUPT_DONE_ACCEPTED_IND", 20}, {74, "ARM_CHANGE_MAX_TASK_LIMIT_REQ", 20},
    {75, "ARM_CHANGE_MAX_TASK_LIMIT_RESP", 24}, {76, "ARM_OVERRIDE_LIMIT_REQ", 16},
    {77, "ARM_OVERRIDE_LIMIT_RESP", 20}, {78, "ARM_UPDATE_TASK_CONTEXT_IND", 32},
    {79, "ARM_BEGIN_AGENT_INIT_IND", 8}, {80, "ARM_AGENT_INIT_REQ", 68},
    {81, "ARM_AGENT_INIT_RESP", 12}, {82, "ARM_END_AGENT_INIT_IND", 4},
    {83, "ARM_TASK_INIT_IND", 72}, {84, "ARM_AGENT_INIT_READY_EVENT", 8},
    {85, "ARM_FAILURE_RESP", 20}, {98, "ARM_APP_PATH_UP_REQ", 16},
    {99, "ARM_APP_PATH_UP_RESP", 20}, {100, "ARM_APP_PATH_DOWN_IND", 12},
    {101, "ARM_MAX_TASK_LIFETIME_EXCEEDED_EVENT", 20}, {102, "ARM_SET_APP_PATH_DATA_IND", 16},
    {103, "ARM_TASK_INIT_REQ", 72}, {104, "ARM_TASK_INIT_RESP", 24},
    {105, "ARM_APP_PATH_REMOVED_EVENT", 4}, {112, "ARM_GET_AGENT_TASKS_REQ", 20},
    {113, "ARM_GET_AGENT_TASKS_RESP", 24}, {114, "ARM_SNAPSHOT_TASK_REQ", 32},
    {115, "ARM_SNAPSHOT_TASK_RESP", 68}, {116, "ARM_AGENT_TASKS_REQUEST_EVENT", 20},
    {117, "ARM_AGENT_TASKS_BEGIN_EVENT", 8}, {118, "ARM_AGENT_TASKS_EVENT", 16},
    {119, "ARM_SNAPSHOT_TASK_EVENT", 60}, {120, "ARM_AGENT_TASKS_END_EVENT", 12},
    {121, "ARM_DESKTOP_CONNECTED_IND", 24}, {106, "ACMI_ROUTE_REGISTER_EVENT", 16},
    {108, "ACMI_ROUTE_REQUEST_EVENT", 28}, {109, "ACMI_ROUTE_SELECT_EVENT", 16},
    {110, "ACMI_ROUTE_END_EVENT", 12},
};

TEST(ArmLayouts, EveryTypeHasItsNameAndFixedPart) {
    // The 55 ARM types, the five ACMI types less the reply, which has no name of its own.
    EXPECT_EQ(ArmLayouts().size(), std::size(kTypes) + 1);
    for (const auto& t : kTypes) {
        const ArmLayout* l = FindArmLayout(t.type);
        ASSERT_NE(l, nullptr) << int(t.type);
        EXPECT_STREQ(l->name, t.name);
        EXPECT_EQ(l->fixed, t.fixed) << t.name;
    }
    EXPECT_EQ(FindArmLayout(107)->fixed, 12);
    EXPECT_EQ(ArmTypeName(86), "<ARM Msg Type(86)>");
}

std::vector<uint8_t> Bytes(uint8_t type, const std::function<void(ArmMessage&)>& fill = {}) {
    const ArmLayout* l = FindArmLayout(type);
    ArmMessage m = NewArmMessage(*l);
    if (fill) fill(m);
    std::vector<uint8_t> b;
    std::string error;
    EXPECT_TRUE(WriteArm(*l, m, &b, &error)) << error;
    return b;
}

TEST(ArmLayouts, LengthsOfEmptyMessages) {
    const std::pair<uint8_t, size_t> cases[] = {
        {49, 56}, {59, 100}, {62, 100}, {78, 92}, {80, 76}, {103, 132}, {121, 28},
        {106, 20}, {107, 12}, {110, 12}, {68, 8}, {99, 24}, {118, 16}, {115, 128},
        {60, 28}, {58, 44}, {67, 52},
    };
    for (const auto& [type, size] : cases) EXPECT_EQ(Bytes(type).size(), size) << int(type);
}

TEST(ArmLayouts, TheOfferIndicationReadsFromItsGoldenBytes) {
    const std::vector<uint8_t> golden = {
        0x07, 0, 0, 0, 0x88, 0x13, 0, 0, 0x89, 0x13, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0,
        0x0A, 0, 0, 0, 0x14, 0, 0, 0, 4, 0, 0, 0, 7, 0, 0, 0, 1, 0, 'A', 0};
    ArmMessage m;
    std::string error;
    ASSERT_TRUE(ReadArm(*FindArmLayout(58), golden.data(), golden.size(), &m, &error)) << error;
    EXPECT_EQ(m.Word(4), 5000u);
    EXPECT_EQ(m.Word(32), 4u);  // SessionID
    EXPECT_EQ(m.Word(36), 7u);
    EXPECT_EQ(m.uniqueInstanceID, "A");
    // The same fields written back give the same bytes.
    EXPECT_EQ(Bytes(58, [&](ArmMessage& w) { w = m; }), golden);
}

TEST(ArmLayouts, TextsEccAndListsAreReadWithinTheBody) {
    // A text with an inner NUL ends there; the next item is found by its count.
    std::vector<uint8_t> b = Bytes(49, [](ArmMessage& m) {
        m.texts[0] = "AB";
        m.uniqueInstanceID = "desk";
    });
    b[44 + 3] = 0;
    ArmMessage m;
    std::string error;
    ASSERT_TRUE(ReadArm(*FindArmLayout(49), b.data(), b.size(), &m, &error)) << error;
    EXPECT_EQ(m.texts[0], "A");
    EXPECT_EQ(m.uniqueInstanceID, "desk");

    // An ECC of 2100 bytes: 2000 kept, the unique instance id found 2104 bytes on.
    b = Bytes(59, [](ArmMessage& w) {
        w.ecc.assign(2100, 0x33);
        w.uniqueInstanceID = "U1";
    });
    ASSERT_EQ(b.size(), 40u + 13 * 4 + 2104 + 8);
    ASSERT_TRUE(ReadArm(*FindArmLayout(59), b.data(), b.size(), &m, &error)) << error;
    EXPECT_EQ(m.eccSize, 2100);
    EXPECT_EQ(m.ecc.size(), 2000u);
    EXPECT_EQ(m.uniqueInstanceID, "U1");

    // Members and tasks.
    for (uint32_t n : {0u, 3u, 200u}) {
        b = Bytes(99, [n](ArmMessage& w) {
            for (uint32_t i = 0; i < 2 * n; ++i) w.list.push_back(i < n ? 5000 + i : 1);
        });
        EXPECT_EQ(b.size(), 24u + 8 * n);
        ASSERT_TRUE(ReadArm(*FindArmLayout(99), b.data(), b.size(), &m, &error)) << error;
        EXPECT_EQ(m.list.size(), 2 * n);
    }
    b = Bytes(113, [](ArmMessage& w) {
        w.list = {1, 2, 3, 4, 5, 6};
        w.uniqueInstanceID = "abc";
    });
    EXPECT_EQ(b.size(), 56u);
    EXPECT_EQ(LoadLE32(&b[16]), 2u);
}

// Bodies that lie, each read from a buffer of exactly its size.
TEST(ArmLayouts, LyingBodiesAreRefused) {
    struct Case {
        const char* name;
        uint8_t type;
        std::function<void(std::vector<uint8_t>&)> mutate;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {"short fixed part", 50, [](auto& b) { b.resize(15); }, "shorter than the fixed part"},
        {"text count", 49, [](auto& b) { PutLE16(b, 44, 0xFFFF); }, "text 1 runs past"},
        {"uii cut", 50, [](auto& b) { b.pop_back(); }, "unique instance id runs past"},
        {"trailing", 54, [](auto& b) { b.push_back(0); }, "after the message's last item"},
        {"negative ECC", 59, [](auto& b) { PutLE32(b, 40 + 52, 0xFFFFFFFF); }, "negative ECC"},
        {"ECC beyond", 59, [](auto& b) { PutLE32(b, 40 + 52, 3000); }, "ECC block runs past"},
        {"tasks", 113, [](auto& b) { PutLE32(b, 16, 0x40000000); }, "runs past"},
        {"task event", 118, [](auto& b) { PutLE32(b, 12, 1); }, "runs past"},
        {"members", 99, [](auto& b) { PutLE32(b, 20, 0xFFFFFFFF); }, "runs past"},
        {"no member count", 99, [](auto& b) { b.resize(20); }, "no member count"},
        {"MRDs", 121, [](auto& b) { PutLE16(b, 8, 3); }, "runs past"},
        {"route request texts", 108, [](auto& b) { PutLE16(b, 28 + 4 * 14, 9); }, "text 15"},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> b = Bytes(c.type);
        c.mutate(b);
        std::vector<uint8_t> exact(b);
        exact.shrink_to_fit();
        ArmMessage m;
        std::string error;
        EXPECT_FALSE(ReadArm(*FindArmLayout(c.type), exact.data(), exact.size(), &m, &error))
            << c.name;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.name << ": " << error;
    }
}

TEST(ArmLayouts, TooLongToSendIsRefused) {
    const ArmLayout* l = FindArmLayout(59);
    ArmMessage m = NewArmMessage(*l);
    m.ecc.assign(2000, 1);
    for (auto& t : m.texts) t.assign(150, 'x');
    std::vector<uint8_t> b;
    std::string error;
    EXPECT_FALSE(WriteArm(*l, m, &b, &error));
    EXPECT_NE(error.find("above 4008"), std::string::npos);
}

TEST(ArmAnswers, EachRequestGetsItsAnswerWithIdsEchoed) {
    const std::pair<uint8_t, uint8_t> pairs[] = {{49, 50}, {53, 54}, {56, 57}, {59, 60},
                                                 {62, 63}, {74, 75}, {76, 77}, {80, 81},
                                                 {98, 99}, {103, 104}, {112, 113}, {114, 115},
                                                 {106, 107}};
    uint32_t task = 1;
    for (const auto& [reqType, ansType] : pairs) {
        const ArmLayout* rl = FindArmLayout(reqType);
        ASSERT_EQ(rl->role, ArmRole::kRequest);
        ArmMessage req = NewArmMessage(*rl);
        req.SetWord(rl->invokeAt, 0x500 + reqType);
        req.SetWord(rl->clientAt, 0x900 + reqType);
        if (rl->uii) req.uniqueInstanceID = "desk";
        ArmMessage a = BuildArmAnswer(*rl, req, {{5000, 1}, {5001, 2}}, {1, 2, 3}, &task);
        const ArmLayout* al = FindArmLayout(a.type);
        EXPECT_EQ(a.type, ansType);
        EXPECT_EQ(a.Word(al->invokeAt), 0x500u + reqType);
        if (al->clientAt >= 0 && rl->clientAt >= 0) {
            EXPECT_EQ(a.Word(al->clientAt), 0x900u + reqType);
        }
        if (al->uii) {
            EXPECT_EQ(a.uniqueInstanceID, "desk");
        }
        if (al->statusAt >= 0) {
            EXPECT_EQ(a.Word(al->statusAt) & 0xFFFF, 0u);
        }
        std::vector<uint8_t> b;
        std::string error;
        ASSERT_TRUE(WriteArm(*al, a, &b, &error)) << error;
        ArmMessage back;
        EXPECT_TRUE(ReadArm(*al, b.data(), b.size(), &back, &error)) << error;
    }
    // The up response echoes the path, the session and the side, and lists the members.
    const ArmLayout* up = FindArmLayout(98);
    ArmMessage req = NewArmMessage(*up);
    req.SetWord(4, 77);
    req.SetWord(8, 12);
    req.fixed[12] = 1;
    ArmMessage a = BuildArmAnswer(*up, req, {{5000, 1}, {5001, 2}}, {}, &task);
    EXPECT_EQ(a.Word(8), 77u);
    EXPECT_EQ(a.Word(12), 12u);
    EXPECT_EQ(a.fixed[16], 1);
    EXPECT_EQ(a.list, (std::vector<uint32_t>{5000, 5001, 1, 2}));
    // A failure names the type and, for an indication, the session.
    const ArmLayout* logout = FindArmLayout(51);
    ArmMessage ind = NewArmMessage(*logout);
    ind.SetWord(0, 9);
    ind.SetWord(16, 44);
    ind.SetWord(24, 9);
    ArmMessage f = BuildArmFailure(*logout, ind, 29);
    EXPECT_EQ(f.type, 85);
    EXPECT_EQ(f.Word(0), 9u);
    EXPECT_EQ(f.Word(4), 29u);
    EXPECT_EQ(f.Word(8), 51u);
    EXPECT_EQ(f.Word(12), 44u);
    EXPECT_EQ(f.Word(16), 9u);
}

// The stand-in's ARM behaviour behind a fake link.
class ArmStandIn : public ::testing::Test {
protected:
    struct Sent {
        uint8_t destination, type;
        std::vector<uint8_t> payload;
    };
    std::mutex mu_;
    std::vector<Sent> sent_;
    std::vector<std::string> lines_;
    StandIn opc_{[this](uint8_t d, uint8_t t, const std::vector<uint8_t>& p) {
                     std::lock_guard<std::mutex> g(mu_);
                     sent_.push_back({d, t, p});
                     return true;
                 },
                 [this](const std::string& l) {
                     std::lock_guard<std::mutex> g(mu_);
                     lines_.push_back(l);
                 },
                 10};

    void Deliver(const ArmMessage& m) {
        std::vector<uint8_t> b;
        std::string error;
        ASSERT_TRUE(WriteArm(*FindArmLayout(m.type), m, &b, &error));
        std::vector<uint8_t> p(4, 0);
        p.insert(p.end(), b.begin(), b.end());
        opc_.OnMessage(12, m.type, p.data(), p.size());
    }
    ArmMessage Read(size_t i) {
        ArmMessage m;
        std::string error;
        const Sent& s = sent_.at(i);
        EXPECT_TRUE(ReadArm(*FindArmLayout(s.type), s.payload.data() + 4, s.payload.size() - 4,
                            &m, &error))
            << error;
        return m;
    }
    void Run(const std::string& script) {
        std::istringstream in(script);
        opc_.RunScript(in);
    }
};

TEST_F(ArmStandIn, FollowUpsOfTheAgentTasksRequestAndTheEndOfAgentInit) {
    ArmMessage req = NewArmMessage(*FindArmLayout(116));
    req.SetWord(0, 5005);
    req.SetWord(4, 12);
    Deliver(req);
    ASSERT_EQ(sent_.size(), 3u);
    EXPECT_EQ(sent_[0].type, 117);
    EXPECT_EQ(sent_[1].type, 118);
    EXPECT_EQ(sent_[2].type, 120);
    for (const auto& s : sent_) EXPECT_EQ(s.destination, 12);
    EXPECT_EQ(Read(0).Word(4), 12u);
    EXPECT_EQ(Read(1).Word(0), 12u);
    EXPECT_EQ(Read(1).list, (std::vector<uint32_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(Read(2).Word(0), 5005u);
    ArmMessage end = NewArmMessage(*FindArmLayout(82));
    end.SetWord(0, 12);
    Deliver(end);
    ASSERT_EQ(sent_.size(), 4u);
    EXPECT_EQ(sent_[3].type, 84);
    EXPECT_EQ(Read(3).Word(4), 12u);
    // Any other indication gets no answer.
    Deliver(NewArmMessage(*FindArmLayout(52)));
    EXPECT_EQ(sent_.size(), 4u);
}

TEST_F(ArmStandIn, ScriptedAnswersFailuresAndEvents) {
    Run("arm-answer 52 failure status=29\n"
        "arm-answer 49 status=3 u32@8=4711\n"
        "arm-answer 53 none\n"
        "arm-members none\n"
        "arm-tasks 7/8/9\n"
        "arm-event 108 u32@8=300 u16@18=0xFFFF t1=8000 t5=1234 t15=cv10 ecc=0102030405\n"
        "arm-event 110 u32@4=300 u16@8=1008\n"
        "arm-event 68 u32@0=5000 u32@4=5005\n"
        "arm-event 118 u32@0=12 tasks=1/2/3,4/5/6\n");
    ArmMessage ind = NewArmMessage(*FindArmLayout(52));
    ind.SetWord(16, 44);
    Deliver(ind);
    ArmMessage login = NewArmMessage(*FindArmLayout(49));
    login.SetWord(0, 0x31);
    Deliver(login);
    Deliver(NewArmMessage(*FindArmLayout(53)));
    Deliver(NewArmMessage(*FindArmLayout(98)));
    ASSERT_EQ(sent_.size(), 4u + 3u);
    // The scripted events went to the peer first.
    ArmMessage route = Read(0);
    EXPECT_EQ(sent_[0].destination, 10);
    EXPECT_EQ(route.type, 108);
    EXPECT_EQ(route.Word(8), 300u);
    EXPECT_EQ(LoadLE16(&route.fixed[18]), 0xFFFF);
    EXPECT_EQ(route.texts[0], "8000");
    EXPECT_EQ(route.texts[4], "1234");
    EXPECT_EQ(route.texts[14], "cv10");
    EXPECT_EQ(route.ecc, (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(LoadLE16(&Read(1).fixed[8]), 1008);
    EXPECT_EQ(Read(2).Word(4), 5005u);
    EXPECT_EQ(Read(3).list.size(), 6u);
    // Failure of an indication: its type and session.
    ArmMessage f = Read(4);
    EXPECT_EQ(f.type, 85);
    EXPECT_EQ(f.Word(4), 29u);
    EXPECT_EQ(f.Word(8), 52u);
    EXPECT_EQ(f.Word(12), 44u);
    // Chosen values in the login response.
    ArmMessage r = Read(5);
    EXPECT_EQ(r.type, 50);
    EXPECT_EQ(r.Word(0), 0x31u);
    EXPECT_EQ(r.Word(4), 3u);
    EXPECT_EQ(r.Word(8), 4711u);
    // No answer to 53; the up response has no members now.
    ArmMessage up = Read(6);
    EXPECT_EQ(up.type, 99);
    EXPECT_TRUE(up.list.empty());
}

TEST(OpcCorpus, OneReadableMessageOfEveryKindTheStandInSends) {
    const auto corpus = CorpusMessages();
    size_t confirmations = 0, events = 0, arm = 0;
    for (const auto& [name, bytes] : corpus) {
        std::string error;
        if (name.rfind("csta-", 0) == 0) {
            CstaEvent e;
            ASSERT_TRUE(ReadEvent(bytes.data(), bytes.size(), &e, &error)) << name << error;
            if (e.eventClass == kClassConfirmation) {
                ++confirmations;
                EXPECT_EQ(name, "csta-conf-" + std::to_string(e.eventType));
            } else {
                ++events;
                EXPECT_EQ(name, "csta-event-" + std::to_string(e.eventClass) + "-" +
                                    std::to_string(e.eventType));
            }
        } else {
            const uint32_t type = static_cast<uint32_t>(std::stoul(name.substr(4)));
            const ArmLayout* l = FindArmLayout(type);
            ASSERT_NE(l, nullptr) << name;
            ArmMessage m;
            ASSERT_TRUE(ReadArm(*l, bytes.data(), bytes.size(), &m, &error)) << name << error;
            ++arm;
        }
    }
    EXPECT_EQ(confirmations, 25u);  // 24 confirmations and the universal failure
    EXPECT_EQ(events, 6u);
    // ARM 50, 54, 57, 60, 63, 68, 69, 72, 75, 77, 81, 84, 85, 99, 101, 104, 105, 113, 115,
    // 117 to 120; ACMI 107, 108, 110.
    EXPECT_EQ(arm, 26u);
}

}  // namespace
}  // namespace opcpeer
