// Message validation: the base walk over every element, and the rules some classes add.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "ctimsg/messages/messages.h"
#include "tests/ctimsg/messages/frame_builder.h"

namespace {

using msgtest::DecodeBytes;
using msgtest::Frame;

// An element that counts the times it is asked and answers what it is told.
class SpyElement : public UINTElement {
public:
    SpyElement(uint32_t id, int answer) : UINTElement(id, true, true), m_Answer(answer) {}
    int Validate(uint32_t) override {
        ++m_Asked;
        return m_Answer;
    }
    int m_Answer;
    int m_Asked = 0;
};

class SpyMSG : public BaseMSG {
public:
    SpyMSG(uint32_t minVersion, std::vector<std::pair<uint32_t, int>> elements) : BaseMSG(minVersion) {
        for (auto& [id, answer] : elements) m_Spies.push_back(std::make_unique<SpyElement>(id, answer));
        for (size_t i = 0; i + 1 < m_Spies.size(); ++i) m_Spies[i]->SetNext(m_Spies[i + 1].get());
        m_Chain = m_Spies.empty() ? nullptr : m_Spies[0].get();
        m_Hints[0] = m_Chain;
        m_MsgType = 5;
    }
    std::vector<std::unique_ptr<SpyElement>> m_Spies;
};

TEST(ValidateWalk, FirstFailureWinsAndEveryElementIsAsked) {
    SpyMSG msg(2, {{1, 0}, {2, 6}, {3, 6}, {4, 0}});
    EXPECT_EQ(msg.Validate(5), 6);
    EXPECT_EQ(msg.GetFailingElement(), 2u);
    EXPECT_EQ(msg.GetFailingOccurrence(), 0u);
    EXPECT_FALSE(msg.IsValid());
    for (auto& spy : msg.m_Spies) EXPECT_EQ(spy->m_Asked, 1);

    SpyMSG repeated(2, {{9, 0}, {7, 0}, {7, 0}, {7, 33}});
    EXPECT_EQ(repeated.ValidateReceived(5), 33);
    EXPECT_EQ(repeated.GetFailingElement(), 7u);
    EXPECT_EQ(repeated.GetFailingOccurrence(), 2u);

    SpyMSG newer(9, {{1, 0}});
    EXPECT_EQ(newer.ValidateToSend(8), 48);
    EXPECT_EQ(newer.m_Spies[0]->m_Asked, 0);
    EXPECT_FALSE(newer.IsValid());
    EXPECT_EQ(newer.ValidateToSend(9), 0);
    EXPECT_TRUE(newer.IsValid());
}

TEST(ValidateRules, MonitorTarget) {
    struct Case {
        const char* what;
        uint16_t connType;
        uint16_t monType;
        bool callId;
        const char* connDevice;
        const char* monDevice;
        int status;
        uint32_t element;
    };
    const Case cases[] = {
        {"both device types", 0, 0, true, "1", "2", 54, 16},
        {"neither device type", 0xFFFF, 0xFFFF, true, "1", "2", 6, 16},
        {"connection side complete", 0, 0xFFFF, true, "1", nullptr, 0, 0},
        {"connection device missing", 0, 0xFFFF, true, nullptr, nullptr, 6, 14},
        {"monitored device", 0xFFFF, 0, true, nullptr, "2", 0, 0},
        {"monitored device empty", 0xFFFF, 0, true, nullptr, "", 6, 505},
        {"monitored device missing", 0xFFFF, 0, true, nullptr, nullptr, 6, 505},
    };
    for (const auto& c : cases) {
        MonitorStartReqMSG msg;
        msg.SetUINT(1, 1);
        msg.SetUINT(4, 1);
        msg.SetUINT(14, 9);
        msg.SetUINT(6, 0);
        msg.SetUINT(7, 0);
        msg.SetUSHORT(16, c.connType);
        msg.SetUSHORT(88, c.monType);
        if (c.connDevice) msg.SetSTRING(455, c.connDevice);
        if (c.monDevice) msg.SetSTRING(505, c.monDevice);
        for (int which = 0; which < 3; ++which) {
            int rc = which == 0 ? msg.Validate(24) : which == 1 ? msg.ValidateReceived(24)
                                                                : msg.ValidateToSend(24);
            EXPECT_EQ(rc, c.status) << c.what << " slot " << which;
            EXPECT_EQ(msg.GetFailingElement(), c.element) << c.what;
            EXPECT_EQ(msg.IsValid(), c.status == 0);
        }
    }
}

TEST(ValidateRules, QueryAgentStateIdentification) {
    struct Case {
        uint32_t version;
        uint32_t present;  // element id set, 0 for none
        int status;
    };
    const Case cases[] = {
        {5, 0, 6},   {5, 435, 6}, {5, 437, 0}, {6, 435, 0},
        {6, 436, 0}, {10, 611, 6}, {10, 437, 0},
    };
    for (const auto& c : cases) {
        QueryAgentStateReqMSG msg;
        for (BaseElement* e = msg.GetFirstElement(); e && !e->IsFloating(); e = e->GetNext()) {
            if (!e->IsPresent()) msg.SetUINT(e->GetElementID(), 1);
        }
        if (c.present) msg.SetSTRING(c.present, "1234");
        EXPECT_EQ(msg.ValidateReceived(c.version), c.status) << c.version << " " << c.present;
        if (c.status) {
            EXPECT_EQ(msg.GetFailingElement(), 437u);
        }
    }
}

TEST(ValidateRules, TerminationFieldsInOrder) {
    CallTerminationEventMSG msg(false, false);
    for (BaseElement* e = msg.GetFirstElement(); e && !e->IsFloating(); e = e->GetNext()) {
        if (dynamic_cast<USHORTElement*>(e)) {
            msg.SetUSHORT(e->GetElementID(), 0);
        } else {
            msg.SetUINT(e->GetElementID(), 0);
        }
    }
    EXPECT_EQ(msg.Validate(13), 6);
    EXPECT_EQ(msg.GetFailingElement(), 582u);
    msg.SetUINT(582, 1);
    EXPECT_EQ(msg.Validate(13), 6);
    EXPECT_EQ(msg.GetFailingElement(), 567u);
    msg.SetUSHORT(567, 1);
    EXPECT_EQ(msg.Validate(13), 6);
    EXPECT_EQ(msg.GetFailingElement(), 569u);
    msg.SetUINT(569, 1);
    EXPECT_EQ(msg.Validate(13), 0);
}

// SET_CALL_DATA_REQ with the fixed part a client of that version sends and the given
// floating fields.
Frame SetCallData(uint32_t version, uint16_t numVariables) {
    SetCallDataReqMSG probe(false, false);
    Frame f(26, version);
    for (BaseElement* e = probe.GetFirstElement(); e && !e->IsFloating(); e = e->GetNext()) {
        if (e->GetFromVersion() > version) continue;
        uint32_t id = e->GetElementID();
        uint32_t value = id == 163 ? numVariables : 0;
        if (id == 16) value = 0xFFFF;
        if (e->GetMaxBytes() == 4) {
            f.U32(value);
        } else {
            f.U16(value);
        }
    }
    return f;
}

TEST(ValidateRules, EccCountsOnReceiptAndOnSending) {
    const std::vector<uint8_t> var = {'n', 'a', 'm', 'e', 0, 'v', 0};
    // Two fields of the same name: one variable held, one replaced; both count on receipt.
    auto received = DecodeBytes(SetCallData(6, 2).Str(25, "dev").Field(82, var).Field(82, var).Done(), 6);
    ASSERT_NE(received, nullptr);
    EXPECT_EQ(received->GetStatus(), 0u) << received->GetFailingElement();

    SetCallDataReqMSG built(false, false);
    for (BaseElement* e = built.GetFirstElement(); e && !e->IsFloating(); e = e->GetNext()) {
        if (e->GetMaxBytes() == 4) {
            built.SetUINT(e->GetElementID(), 0);
        } else {
            built.SetUSHORT(e->GetElementID(), e->GetElementID() == 16 ? 0xFFFF : 0);
        }
    }
    built.SetSTRING(455, "dev");
    built.SetUSHORT(163, 2);
    ASSERT_EQ(built.SetECC(511, "name", "v"), 0);
    EXPECT_EQ(built.ValidateToSend(6), 77);
    EXPECT_EQ(built.GetFailingElement(), 163u);
    EXPECT_EQ(built.ValidateToSend(5), 0) << "no count rule below version 6";
    built.SetUSHORT(163, 1);
    built.SetUSHORT(164, 1);
    EXPECT_EQ(built.ValidateToSend(6), 78);
    EXPECT_EQ(built.GetFailingElement(), 164u);
    ASSERT_EQ(built.SetECC(511, "list", 0, "a"), 0);
    EXPECT_EQ(built.ValidateToSend(6), 0);
    EXPECT_EQ(built.Validate(6), 0);
}

}  // namespace
