// parlo-client's script words for what a plain text cannot say: call variables and array
// elements of the expanded call context, and bytes given in hex.
#include <gtest/gtest.h>

#include <string>

#include "ctimsg/elementids.h"
#include "ctimsg/messages/msgclass.h"
#include "peers/client/cticlient.h"

namespace {

TEST(ScriptFields, CallContextAndHexBytesReachTheMessageAndEncode) {
    std::string error;
    BaseMSGPtr msg = cticlient::ParseScriptLine(
        "MAKE_CALL_REQ InvokeID=7 PeripheralID=5000 CallPlacementType=0 CallMannerType=0 "
        "AlertRings=0 CallOption=0 FacilityType=0 AnsweringMachine=0 Priority=0 PostRoute=0 "
        "SkillGroupNumber=0xFFFFFFFF AgentInstrument=4002 DialedNumber=5551 "
        "ECC.user.account=A17 ECC.user.list[2]=third ECC.user.list[0]=first UserToUser=hex:41ff0042",
        &error);
    ASSERT_TRUE(msg) << error;
    std::string value;
    EXPECT_TRUE(msg->GetECC(elementid::ExpandedCallContxt, "user.account", value));
    EXPECT_EQ("A17", value);
    EXPECT_TRUE(msg->GetECC(elementid::ExpandedCallContxt, "user.list", 2, value));
    EXPECT_EQ("third", value);
    EXPECT_TRUE(msg->GetECC(elementid::ExpandedCallContxt, "user.list", 0, value));
    EXPECT_EQ("first", value);
    // The counts follow the context, so the request passes the count rule.
    EXPECT_EQ(1u, msg->GetUSHORT(elementid::NumNamedVariables));
    EXPECT_EQ(2u, msg->GetUSHORT(elementid::NumNamedArrays));
    int length = 0;
    const uint8_t* bytes = msg->GetUNSPEC(elementid::UserToUserField, length);
    ASSERT_NE(nullptr, bytes);
    EXPECT_EQ(std::string("\x41\xff\x00\x42", 4),
              std::string(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length)));
    EXPECT_FALSE(cticlient::EncodeFrame(*msg, 24, &error).empty()) << error;

    // Without "hex:" the value is the text itself, as before.
    msg = cticlient::ParseScriptLine("MAKE_CALL_REQ UserToUser=41ff", &error);
    ASSERT_TRUE(msg) << error;
    bytes = msg->GetUNSPEC(elementid::UserToUserField, length);
    EXPECT_EQ("41ff", std::string(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length)));

    // Counts the line gives stay as given: a wrong count is what such a line tests.
    msg = cticlient::ParseScriptLine("MAKE_CALL_REQ NumNamedVariables=3 ECC.user.account=A17", &error);
    ASSERT_TRUE(msg) << error;
    EXPECT_EQ(3u, msg->GetUSHORT(elementid::NumNamedVariables));
}

TEST(ScriptFields, RefusesWhatItCannotSet) {
    const std::string lines[] = {
        "MAKE_CALL_REQ UserToUser=hex:4",            // odd count
        "MAKE_CALL_REQ UserToUser=hex:zz",           // no hex digits
        "MAKE_CALL_REQ ECC.list[x]=1",               // no index
        "MAKE_CALL_REQ ECC.list[256]=1",             // beyond an array's last index
        "MAKE_CALL_REQ ECC.list[1=1",                // no closing bracket
        "MAKE_CALL_REQ ECC.[1]=1",                   // no name
        "HOLD_CALL_REQ ECC.user.account=1",          // no call context in the message
        "MAKE_CALL_REQ ECC.user.account=" + std::string(211, 'v'),  // value too long
    };
    for (const std::string& line : lines) {
        std::string error;
        EXPECT_FALSE(cticlient::ParseScriptLine(line, &error)) << line;
        EXPECT_FALSE(error.empty()) << line;
    }
}

}  // namespace
