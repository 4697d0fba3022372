#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "nuvlib/command.h"
#include "nuvlib/reader.h"
#include "nuvlib/release.h"

namespace {

// Commands that exist only to be found (or not).
class FindBase : public Command {
public:
    void Execute() override {}
};
#define FIND_COMMAND(Class)        \
    class Class : public FindBase { \
        PARLO_COMMAND_CLASS()       \
    }
FIND_COMMAND(DupFirst);
FIND_COMMAND(DupSecond);
FIND_COMMAND(Grouped);
FIND_COMMAND(AllGroups);
FIND_COMMAND(ProcessCommand);
FIND_COMMAND(OpenBracket);
FIND_COMMAND(ShortNamed);
PARLO_REGISTER_COMMAND(DupFirst, "dup", "d1", "first");
PARLO_REGISTER_COMMAND(DupSecond, "dup", "d2", "second");
PARLO_REGISTER_COMMAND(Grouped, "[ops]grouped", "g", "grouped");
PARLO_REGISTER_COMMAND(AllGroups, "[*]everywhere", "every", "all groups");
PARLO_REGISTER_COMMAND(ProcessCommand, "-Proc", "Proc", "the process");
PARLO_REGISTER_COMMAND(OpenBracket, "[odd", "odd", "no closing bracket");
PARLO_REGISTER_COMMAND(ShortNamed, "longname", "d2", "short name clash");

TEST(FindCommandTest, Table) {
    struct Case {
        const char* word;
        const char* group;
        const CommandDescriptor* found;
    } cases[] = {
        {"dup", nullptr, &DupSecond::s_Descriptor},  // the last registered keyword wins
        {"d1", nullptr, &DupFirst::s_Descriptor},
        {"Dup", nullptr, nullptr},                   // case-sensitive
        {"grouped", nullptr, nullptr},
        {"grouped", "", nullptr},
        {"grouped", "ops", &Grouped::s_Descriptor},
        {"g", "ops", &Grouped::s_Descriptor},
        {"grouped", "OPS", nullptr},
        {"dup", "ops", nullptr},                     // ungrouped commands need no group
        {"everywhere", nullptr, &AllGroups::s_Descriptor},
        {"every", "ops", &AllGroups::s_Descriptor},
        {"Proc", nullptr, nullptr},                  // the process command is never listed
        {"-Proc", nullptr, nullptr},
        {"[odd", nullptr, &OpenBracket::s_Descriptor},
        {"odd", nullptr, &OpenBracket::s_Descriptor},
        {"longname", nullptr, &ShortNamed::s_Descriptor},
        {"d2", nullptr, &ShortNamed::s_Descriptor},  // the last registered short name wins
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.found, FindCommand(c.word, c.group)) << c.word << " / " << (c.group ? c.group : "-");
    EXPECT_STREQ("Proc", ProcessCommand::s_Descriptor.keyword);
    EXPECT_STREQ("grouped", Grouped::s_Descriptor.keyword);
    EXPECT_STREQ("ops", Grouped::s_Descriptor.group);
    EXPECT_TRUE(AllGroups::s_Descriptor.allGroups);
    EXPECT_TRUE(IsValidCommand("everywhere"));
    EXPECT_FALSE(IsValidCommand("grouped"));
}

TEST(ArgNumberParse, Table) {
    struct Case {
        const char* text;
        bool ok;
        int32_t value;
    } cases[] = {
        {"10", true, 10},           {"08", true, 8},          {"1A", true, 26},
        {"0x1A", true, 26},         {"0X1a", true, 26},       {"ff", true, 255},
        {"B", true, 11},            {"-5", true, -5},         {" 12", true, 12},
        {"12z", false, 0},          {"", false, 0},           {"0x", false, 0},
        {"2147483647", true, 2147483647},                     {"-2147483648", true, INT32_MIN},
        {"FFFFFFFF", true, -1},     {"2147483648", false, 0}, {"1FFFFFFFF", false, 0},
        {"99999999999", false, 0},
    };
    for (const Case& c : cases) {
        int32_t value = 0;
        EXPECT_EQ(c.ok, ArgNumber::Parse(c.text, &value)) << c.text;
        if (c.ok) {
            EXPECT_EQ(c.value, value) << c.text;
        }
    }
}

TEST(ArgDateTimeParse, Table) {
    setenv("TZ", "UTC0", 1);
    tzset();
    struct Case {
        const char* text;
        bool ok;
        int64_t seconds;
    } cases[] = {
        {"3/4/05 1:30pm", true, 1109943000},          // 2005-03-04 13:30:00
        {"12/31/99 12 am", true, 946598400},          // 1999-12-31 00:00:00
        {"1/1/2000 13:00 pm", true, 946731600},       // hour 13 stays 13
        {"1/1/2000 12:00 PM", true, 946728000},
        {"1/1/39", true, 2177452800},                 // 2039
        {"1/1/40", true, -946771200},                 // 1940
        {"_3_/_4_/ 05_1:30:15_", true, 1109899815},
        {"2/29/2004", true, 1078012800},
        {"3/4", false, 0},
        {"3/4/05 1:30 pz", false, 0},
        {"3/4/05 1:30 p", false, 0},
        {"3/4/05 1:30pm x", false, 0},
        {"3/4/_05", false, 0},                        // after the second "/" only blanks
        {"2/29/2005", false, 0},
        {"13/1/2005", false, 0},
        {"1/1/2005 24:00", false, 0},
        {"1/1/2005 10:60", false, 0},
        {"1/1/1600", false, 0},
        {"", false, 0},
        {"a/b/c", false, 0},
    };
    for (const Case& c : cases) {
        int64_t seconds = 0;
        EXPECT_EQ(c.ok, ArgDateTime::Parse(c.text, &seconds)) << c.text;
        if (c.ok) {
            EXPECT_EQ(c.seconds, seconds) << c.text;
        }
    }
    // The fields are local time.
    setenv("TZ", "XST-3", 1);
    tzset();
    int64_t seconds = 0;
    ASSERT_TRUE(ArgDateTime::Parse("1/1/2000", &seconds));
    EXPECT_EQ(946674000, seconds);
}

// Declares many switches, to wrap its usage text.
class Wide : public FindBase {
    PARLO_COMMAND_CLASS()
public:
    Wide() {
        m_Required.SetRequired();
        m_Target.SetRequired();
    }
    void DefineArgs() override {
        AddArg("Target", &m_Target);
        AddArg("Optional", &m_Optional);
        AddSwitch("ValueName", "alpha", &m_A);
        AddSwitch(nullptr, "-bravo", &m_B);
        AddSwitch("Number", "/charlie", &m_C);
        AddSwitch("Needed", "delta", &m_Required);
        AddSwitch("SomeLongValueName", "echo_echo_echo", &m_E);
        Command::DefineArgs();
    }
    ArgString m_Target, m_Optional, m_A, m_E;
    ArgBOOL m_B;
    ArgNumber m_C;
    ArgString m_Required;
};
PARLO_REGISTER_COMMAND(Wide, "widecommand", "wide", "usage wrapping");

TEST(CommandUsage, ExactTextWrappingAndVersionLine) {
    Command* readFile = FindCommand("read_file", nullptr)->Create();
    readFile->DefineArgs();
    std::string text;
    testing::internal::CaptureStdout();
    readFile->Usage(&text);
    std::string console = testing::internal::GetCapturedStdout();
    FindCommand("read_file", nullptr)->Destroy(readFile);
    EXPECT_EQ("Usage: read_file InputFile [/repeat RepeatCount] [/help] [/?]\n", text);
    // Before any command ran, usage texts come with the version line, on the console.
    EXPECT_EQ(std::string("Version: ") + GetReleaseString() + "\n", console);

    Command::SuppressUsageVersion();
    Wide wide;
    wide.DefineArgs();
    text.clear();
    testing::internal::CaptureStdout();
    wide.Usage(&text);
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_EQ(
        "Usage: widecommand Target [Optional] /delta Needed [/alpha ValueName] [/bravo]\n"
        "                   [/charlie Number] [/echo_echo_echo SomeLongValueName]\n"
        "                   [/help] [/?]\n",
        text);
}

TEST(CommandArgs, SwitchNamesAndOwners) {
    Wide wide;
    wide.DefineArgs();
    std::vector<std::string> names;
    for (const CommandArgEntry& e : wide.Switches()) names.push_back(e.switchName);
    EXPECT_EQ((std::vector<std::string>{"/alpha", "/bravo", "/charlie", "/delta",
                                        "/echo_echo_echo", "/help", "/?"}),
              names);
    EXPECT_EQ(&wide, wide.m_C.GetOwner());
    EXPECT_EQ(&wide, wide.m_Target.GetOwner());
    EXPECT_EQ(nullptr, wide.GetMonitorSession());
}

}  // namespace
