// A session waiting in standby hears only the answers to its own requests and the client
// session events: every other message type of the catalogue is withheld from it, while an
// open session with the same masks gets them all.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "ctimsg/messages/msgclass.h"
#include "ctimsg/msgtypes.h"
#include "ctimsg/names.h"
#include "parlo/session/outfilter.h"
#include "parlo/session/session.h"

namespace {

TEST(StandbyFilterTest, OnlySevenTypesReachAStandbySession) {
    const std::set<uint32_t> allowed{ctitype::FailureConfMSG,   ctitype::FailureEventMSG,
                                     ctitype::OpenConfMSG,      ctitype::HeartbeatConfMSG,
                                     ctitype::CloseConfMSG,     ctitype::ClientSessionOpenedEventMSG,
                                     ctitype::ClientSessionClosedEventMSG};
    size_t passed = 0;
    for (uint32_t type = 1; type <= 282; ++type) {
        BaseMSGPtr msg = catalog::CreateMessage(type);
        if (!msg) continue;
        RecipientView view;
        view.peripheralID = kAnyPeripheral;
        view.serviceMask = 0x2000010;
        view.state = SessionProtocol::sessionStandby;
        const bool passes = PassesSendFilters(view, *msg, false);
        EXPECT_EQ(allowed.count(type) == 1, passes) << MsgTypeName(static_cast<int32_t>(type));
        passed += passes ? 1 : 0;
        view.state = 2;  // open
        EXPECT_TRUE(PassesSendFilters(view, *msg, false)) << MsgTypeName(static_cast<int32_t>(type));
    }
    EXPECT_EQ(allowed.size(), passed);
}

}  // namespace
