// parlo-load's call-control mode: the requests it sends are ones the server takes (each kind
// encodes at version 24 and names a call of the session's own), and its command line.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "ctimsg/elementids.h"
#include "peers/client/cticlient.h"
#include "peers/client/loadcontrol.h"

namespace parloload {
namespace {

TEST(ControlRequests, EveryKindEncodesOnACallOfItsSession) {
    ControlOptions o;
    o.port = 1;
    const char* kinds[] = {"hold", "retrieve", "answer", "clear-call", "dtmf", "make-call", "snapshot"};
    for (const char* kind : kinds) {
        SCOPED_TRACE(kind);
        std::set<std::string> lines;
        for (int index : {0, 7}) {
            const std::string line = ControlRequestLine(o, kind, index);
            ASSERT_FALSE(line.empty());
            lines.insert(line);
            std::string error;
            BaseMSGPtr msg = cticlient::ParseScriptLine(line, &error);
            ASSERT_TRUE(msg) << error;
            EXPECT_EQ(5000u, msg->GetUINT(elementid::CTIPeripheralID));
            EXPECT_FALSE(cticlient::EncodeFrame(*msg, 24, &error).empty()) << error;
        }
        EXPECT_EQ(2u, lines.size()) << "two sessions name the same call";
    }
    EXPECT_EQ("", ControlRequestLine(o, "park", 0));
}

TEST(ParseControlOptions, RefusesWhatItCannotRun) {
    ControlOptions o;
    std::string error;
    ASSERT_TRUE(ParseControlOptions({"--port", "42027", "--sessions", "200", "--requests", "hold,make-call",
                                     "--services", "0x94", "--duration", "5"},
                                    &o, &error))
        << error;
    EXPECT_EQ(200, o.sessions);
    EXPECT_EQ((std::vector<std::string>{"hold", "make-call"}), o.requests);
    EXPECT_EQ(0x94u, o.services);
    const std::vector<std::vector<std::string>> bad = {
        {"--sessions", "5"},  // no port
        {"--port", "70000"},
        {"--port", "1", "--sessions", "0"},
        {"--port", "1", "--sessions", "20001"},
        {"--port", "1", "--threads", "0"},
        {"--port", "1", "--duration", "0"},
        {"--port", "1", "--requests", "hold,park"},
        {"--port", "1", "--bogus", "1"},
        {"--port"},
    };
    for (const auto& args : bad) {
        ControlOptions x;
        std::string joined;
        for (const auto& w : args) joined += w + " ";
        EXPECT_FALSE(ParseControlOptions(args, &x, &error)) << joined;
    }
    EXPECT_TRUE(IsControlMode("control"));
    EXPECT_FALSE(IsControlMode("app-opens"));
}

}  // namespace
}  // namespace parloload
