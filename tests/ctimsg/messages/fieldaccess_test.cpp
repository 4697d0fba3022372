// Field access by element id: typed getters and setters with their cuts and traces, the
// fatal path for an element the class lacks, the ECC list setter and device-id splitting.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <tuple>
#include <string>

#include "ctimsg/messages/messages.h"
#include "nuvlib/ems.h"
#include "tests/ctimsg/trace_capture.h"

namespace {

using ctimsgtest::TraceCapture;

constexpr uint32_t kPeripheralType = 10, kAgentExtension = 435, kClientPassword = 433;

TEST(FieldAccess, GettersReturnValuesAndTraceAWidthMismatch) {
    OpenConfMSG conf;
    conf.SetUSHORT(kPeripheralType, 17);
    TraceCapture capture;
    EXPECT_EQ(conf.GetUINT(kPeripheralType), 17u);
    EXPECT_NE(capture.Take().find("BaseMSG::GetUINT - ERROR - called to extract item PeripheralType "
                                  "of incorrect size 2 in message OPEN_CONF"),
              std::string::npos);
    EXPECT_EQ(conf.GetUSHORT(kPeripheralType), 17u);
    EXPECT_EQ(capture.Take(), "");

    // Absent fields read as 0 or null, silently.
    EXPECT_EQ(conf.GetSTRING(436), nullptr);
    EXPECT_EQ(conf.GetUINT(1), 0u);
    EXPECT_EQ(capture.Take(), "");

    // Present traces for an element the class lacks and the process goes on.
    EXPECT_EQ(conf.Present(477), 0);
    EXPECT_NE(capture.Take().find("BaseMSG::Present - Text[0] element not in OPEN_CONF message"),
              std::string::npos);

    // The same lookup twice in a row with advance still finds the field.
    conf.SetSTRING(436, "agent");
    EXPECT_STREQ(conf.GetSTRING(436), "agent");
    EXPECT_STREQ(conf.GetSTRING(436), "agent");
}

TEST(FieldAccess, SettersCutToTheElement) {
    OpenReqMSG open;
    TraceCapture capture;
    open.SetSTRINGMax(kAgentExtension, "12345678901234567890");
    EXPECT_STREQ(open.GetSTRING(kAgentExtension), "123456789012345");

    uint8_t bytes[40];
    for (int i = 0; i < 40; ++i) bytes[i] = static_cast<uint8_t>(i);
    open.SetUNSPEC(kClientPassword, bytes, 40);
    int length = 0;
    const uint8_t* kept = open.GetUNSPEC(kClientPassword, length);
    ASSERT_EQ(length, 32);
    EXPECT_EQ(std::memcmp(kept, bytes, 32), 0);
    EXPECT_NE(capture.Take().find("BaseMSG::SetUNSPEC - ClientPassword[0] truncating"),
              std::string::npos);

    // SetSTRING keeps the whole text; validation judges it.
    open.SetSTRING(kAgentExtension, "12345678901234567890");
    EXPECT_EQ(std::strlen(open.GetSTRING(kAgentExtension)), 20u);
}

TEST(FieldAccess, TaskIdsReadAsMinusOneWhenAbsent) {
    std::unique_ptr<BaseMSG> msg;
    uint32_t taskId = 0;
    for (uint32_t type = 150; type <= 210 && !msg; ++type) {
        std::unique_ptr<BaseMSG> m(catalog::CreateMessage(type));
        if (!m) continue;
        for (BaseElement* e = m->GetFirstElement(); e != nullptr; e = e->GetNext()) {
            if (e->GetMaxBytes() == 12 && dynamic_cast<TaskIDType*>(e) != nullptr) {
                taskId = e->GetElementID();
                msg = std::move(m);
                break;
            }
        }
    }
    ASSERT_NE(msg, nullptr);
    auto absent = msg->GetTaskID(taskId);
    EXPECT_EQ(absent.first, 0xFFFFFFFFu);
    EXPECT_EQ(absent.third, 0xFFFFFFFFu);
    uint32_t a = 1, b = 2, c = 3;
    EXPECT_EQ(msg->GetTaskID(taskId, a, b, c), 0);
    EXPECT_EQ(a, 1u);
    msg->SetTaskID(taskId, (uint64_t{6} << 32) | 5, 7);
    EXPECT_EQ(msg->GetTaskID(taskId, a, b, c), 1);
    EXPECT_EQ(std::make_tuple(a, b, c), std::make_tuple(5u, 6u, 7u));
}

TEST(FieldAccess, SetECCListClearsTheContextOnTheFirstFailure) {
    SetCallDataReqMSG msg(false, false);
    msg.SetUSHORT(163, 4);
    msg.SetUSHORT(164, 4);
    std::vector<NameValueStruct> list = {
        {"first", 0, 0, "1"},
        {"second", 1, 2, "2"},
        {std::string(40, 'n'), 0, 0, "3"},  // a name too long for the field
        {"fourth", 0, 0, "4"},
    };
    EXPECT_NE(msg.SetECCList(list), 0);
    std::vector<NameValueStruct> held;
    msg.GetECCList(511, held);
    EXPECT_TRUE(held.empty());
    EXPECT_EQ(msg.GetUSHORT(163), 0u);
    EXPECT_EQ(msg.GetUSHORT(164), 0u);

    list.erase(list.begin() + 2);
    EXPECT_EQ(msg.SetECCList(list), 0);
    msg.GetECCList(511, held);
    EXPECT_EQ(held.size(), 3u);
    std::string value;
    EXPECT_TRUE(msg.GetECC(511, "second", 2, value));
    EXPECT_EQ(value, "2");
    EXPECT_FALSE(msg.GetECC(511, "absent", value));
    EXPECT_EQ(msg.SetECCList({}), 0);
}

TEST(FieldAccess, DisassembleDeviceID) {
    struct Case {
        const char* full;
        int rc;
        const char* instrument;
        const char* extension;
        const char* line;
    };
    const std::string e15(15, 'e');
    const std::string ext15 = "a." + e15;
    const std::string ext16 = "a." + std::string(16, 'e') + ".l";
    const std::string full63(63, 'i');
    const std::string full64(64, 'i');
    const std::string line40 = "a.b." + std::string(40, 'l');
    const Case cases[] = {
        {"1000.2000.3", 0, "1000", "2000", "3"},
        {"1000", 0, "1000", "-", "-"},
        {"a.b.c.d", 0, "a", "b", "c.d"},
        {ext15.c_str(), 0, "a", e15.c_str(), "-"},
        {ext16.c_str(), -3, "a", "-", "-"},
        {full63.c_str(), 0, full63.c_str(), "-", "-"},
        {full64.c_str(), -1, "-", "-", "-"},
        {line40.c_str(), -4, "a", "b", "-"},
        {nullptr, -5, "-", "-", "-"},
    };
    for (const auto& c : cases) {
        char instrument[64] = "-", extension[16] = "-", line[40] = "-";
        EXPECT_EQ(BaseMSG::DisassembleDeviceID(c.full, instrument, extension, line), c.rc)
            << (c.full ? c.full : "null");
        EXPECT_STREQ(instrument, c.instrument);
        EXPECT_STREQ(extension, c.extension);
        EXPECT_STREQ(line, c.line);
    }
}

// Shows the console's lines on stderr, where a death test looks for them.
void ConsoleToStderr(const uint8_t* block, uint32_t length) {
    EMSParsedRecord parsed;
    if (!EMSParseRecord(block, length, &parsed)) return;
    for (uint32_t i = 0; i < parsed.argCount; ++i) std::fputs(parsed.args[i].c_str(), stderr);
    std::fputs("\n", stderr);
}
constexpr EMSSeams kToStderr = {ConsoleToStderr, nullptr, nullptr, nullptr,
                                nullptr,         nullptr, nullptr, nullptr};

TEST(FieldAccessDeathTest, AnElementTheClassLacksIsFatal) {
    const int fatal = EMS_EXIT_FATAL & 0xFF;
    EMSInstallSeams(&kToStderr);
    EXPECT_EXIT({ OpenConfMSG m; m.GetUSHORT(477); }, ::testing::ExitedWithCode(fatal),
                "BaseMSG::GetUSHORT - Text\\[0\\] element not in OPEN_CONF message");
    EXPECT_EXIT({ OpenConfMSG m; m.GetINT(477, 2); }, ::testing::ExitedWithCode(fatal),
                "BaseMSG::GetINT - Text\\[2\\] element not in message");
    EXPECT_EXIT({ OpenConfMSG m; m.GetUCHAR(477); }, ::testing::ExitedWithCode(fatal),
                "BaseMSG::GetUCAHR - Text\\[0\\] element not in OPEN_CONF message");
    EXPECT_EXIT({ OpenConfMSG m; m.SetUINT(623, 1, 32); }, ::testing::ExitedWithCode(fatal),
                "BaseMSG::SetUINT - FltPeripheralID\\[32\\] element not in OPEN_CONF message");
    EMSInstallSeams(nullptr);
}

}  // namespace
