#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "nuvlib/command.h"
#include "nuvlib/reader.h"
#include "nuvlib/release.h"
#include "platform/clock.h"
#include "tests/support/test_env.h"

namespace {

std::vector<std::string> g_Words;

// Records the words it was given.
class RecordCommand : public Command {
    PARLO_COMMAND_CLASS()
public:
    void DefineArgs() override {
        for (int i = 0; i < 4; ++i) AddArg("Word", &m_Words[i]);
        AddSwitch("Number", "n", &m_Number);
        AddSwitch(nullptr, "flag", &m_Flag);
        Command::DefineArgs();
    }
    void Execute() override {
        g_Words.clear();
        for (ArgString& w : m_Words)
            if (w.IsSet()) g_Words.push_back(w.GetValue());
        if (m_Number.IsSet()) g_Words.push_back("n=" + std::to_string(m_Number.GetValue()));
        if (m_Flag.IsSet()) g_Words.push_back(m_Flag.GetValue() ? "flag" : "noflag");
    }

private:
    ArgString m_Words[4];
    ArgNumber m_Number;
    ArgBOOL m_Flag;
};
PARLO_REGISTER_COMMAND(RecordCommand, "rec", "rec", "Records its words.");

struct DriverRun {
    int status;
    std::string output;
};

// Runs the transcript driver in the data directory with the given standard input.
DriverRun RunDriver(const std::string& stdinFile, const std::vector<std::string>& args) {
    testsupport::TempDir out("reader");
    std::string outPath = (out / "stdout").string();
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(READER_DATA_DIR) != 0) _exit(120);
        if (!stdinFile.empty() && !freopen(stdinFile.c_str(), "r", stdin)) _exit(121);
        if (!freopen(outPath.c_str(), "w", stdout)) _exit(122);
        setenv("READER_GREETING", "hello", 1);
        std::vector<char*> argv{const_cast<char*>(READER_DRIVER_BIN)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(123);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, testsupport::ReadFile(outPath)};
}

TEST(ReaderTranscript, ScriptAtTheConsoleGivesTheGoldenTranscript) {
    DriverRun run = RunDriver("transcript.txt", {});
    EXPECT_EQ(0, run.status);
    std::string golden = testsupport::ReadFile(std::string(READER_DATA_DIR) + "/transcript.golden");
    EXPECT_EQ(golden, run.output);
}

TEST(ReaderTranscript, BottomInputFileEndsWithQuitOrStopsOnError) {
    DriverRun end = RunDriver("", {"bottom_end.txt"});
    EXPECT_EQ(0, end.status);
    EXPECT_EQ("only line\n", end.output);
    DriverRun stop = RunDriver("", {"bottom_stop.txt"});
    EXPECT_EQ(1, stop.status);
    EXPECT_EQ("before\nprobe: Error for /level: Value of 0 too small. Minimum is 1.\n", stop.output);
}

// On the process command line an absolute path is a value, not a switch; a word with one
// "/" still is a switch, and an unknown one is refused.
TEST(ReaderTranscript, AnAbsolutePathOnTheCommandLineIsAValue) {
    DriverRun path = RunDriver("", {std::string(READER_DATA_DIR) + "/bottom_end.txt"});
    EXPECT_EQ(0, path.status);
    EXPECT_EQ("only line\n", path.output);
    DriverRun bogus = RunDriver("", {"/bogus"});
    EXPECT_NE(bogus.output.find("Invalid control argument: /bogus"), std::string::npos)
        << bogus.output;
}

TEST(ReaderTranscript, HelpOnTheProcessCommandLineShowsTheVersionAndUsage) {
    DriverRun run = RunDriver("", {"/?"});
    EXPECT_EQ(0, run.status);
    EXPECT_EQ(std::string("Version: ") + GetReleaseString() +
                  "\nUsage: Driver [Script] [/help] [/?]\n",
              run.output);
}

TEST(ReaderLines, RemoteLinesReportIntoTheCollector) {
    struct Case {
        const char* line;
        std::vector<std::string> words;
        const char* collected;
    } cases[] = {
        {"rec a b", {"a", "b"}, ""},
        {"   ", {"untouched"}, ""},
        {"# rec a", {"untouched"}, ""},
        {"rec a # b", {"a", "#", "b"}, ""},
        {"rec \"two words\" \"q\\\"uote\" \"back\\\\slash\" \"\"", {"two words", "q\"uote", "back\\slash", ""}, ""},
        {"rec \"/flag\" -n 5 /flag", {"/flag", "n=5", "flag"}, ""},
        {"rec /noflag", {"noflag"}, ""},
        {"rec a\"b", {"a\"b"}, ""},
        {"rec \"\\q\"", {}, "Invalid escape character: \\q\n"},
        {"rec \"open", {}, "Unmatched quotes.\n"},
        {"rec \"open\\", {}, "Unmatched quotes.\n"},
        {"rec /non", {}, "rec: Invalid control argument: /non\n"},
        {"rec -n", {}, "rec: Error for /n: Argument missing.\n"},
        {"rec a b c d e", {}, "rec: Too many arguments: e\n"},
        {"rec /?", {}, "Usage: rec [Word] [Word] [Word] [Word] [/n Number] [/flag] [/help] [/?]\n"},
        {"nosuch a", {}, "Command not found: nosuch\n"},
    };
    for (const Case& c : cases) {
        g_Words = {"untouched"};
        std::string collector;
        Reader reader;
        reader.ExecuteLine(c.line, nullptr, &collector);
        EXPECT_EQ(c.collected, collector) << c.line;
        if (collector.empty())
            EXPECT_EQ(c.words, g_Words) << c.line;
        else
            EXPECT_EQ(std::vector<std::string>{"untouched"}, g_Words) << c.line;
    }
}

TEST(ReaderLines, ARemoteLineTooLongIsRefusedWhole) {
    std::string collector;
    std::string line = "rec " + std::string(Reader::kMaxLine - 4, 'x');
    Reader ok;
    ok.ExecuteLine(line.c_str(), nullptr, &collector);
    EXPECT_EQ("", collector);
    ASSERT_EQ(1u, g_Words.size());
    EXPECT_EQ(Reader::kMaxLine - 4, g_Words[0].size());

    g_Words.clear();
    line += "x";
    Reader refused;
    refused.ExecuteLine(line.c_str(), nullptr, &collector);
    EXPECT_EQ("Line too long (1024 characters). Maximum is 1023.\n", collector);
    EXPECT_TRUE(g_Words.empty());
}

class ReaderFile : public ::testing::Test {
protected:
    // Runs the lines as a command file read through read_file.
    std::string RunFile(const std::string& content) {
        std::string path = (dir_ / "cmds.txt").string();
        testsupport::WriteFile(path, content);
        std::string collector;
        Reader reader;
        // An absolute path starts with "/": quoted, it is no switch.
        reader.ExecuteLine(("read_file \"" + path + "\"").c_str(), nullptr, &collector);
        return collector;
    }
    testsupport::TempDir dir_{"readerfile"};
};

TEST_F(ReaderFile, VariablesAreExpandedInLinesRead) {
    std::string name255(255, 'V'), name256(256, 'W');
    setenv("READER_X", "abc", 1);
    setenv(name255.c_str(), "short-enough", 1);
    setenv(name256.c_str(), "too-long", 1);
    struct Case {
        std::string line;
        std::vector<std::string> words;
    } cases[] = {
        {"rec %READER_X%", {"abc"}},
        {"rec x%READER_X%y %READER_X%", {"xabcy", "abc"}},
        {"rec %NOSUCHVAR%", {"%NOSUCHVAR%"}},
        {"rec 100%%", {"100%"}},
        {"rec 50% off", {"50%", "off"}},
        {"rec %" + name255 + "%", {"short-enough"}},
        {"rec %" + name256 + "%", {"%" + name256 + "%"}},
    };
    for (const Case& c : cases) {
        g_Words.clear();
        EXPECT_EQ("", RunFile(c.line + "\n")) << c.line;
        EXPECT_EQ(c.words, g_Words) << c.line;
    }
}

TEST_F(ReaderFile, ExpansionStopsBeforeAPieceThatWouldNotFit) {
    setenv("READER_BIG", std::string(30, 'b').c_str(), 1);
    std::string head = "rec " + std::string(1000, 'a') + " ";
    g_Words.clear();
    EXPECT_EQ("", RunFile(head + "%READER_BIG%\n"));
    EXPECT_EQ((std::vector<std::string>{std::string(1000, 'a')}), g_Words);
}

TEST_F(ReaderFile, ALongLineIsReadInPiecesOf1022) {
    std::string line = "rec " + std::string(1018, 'a') + std::string(478, 'z');
    g_Words.clear();
    std::string collector = RunFile(line + "\n");
    EXPECT_EQ((std::vector<std::string>{std::string(1018, 'a')}), g_Words);
    // The second piece runs as a line of its own; error messages are cut at 255 characters.
    EXPECT_EQ(("Command not found: " + std::string(478, 'z')).substr(0, 255) + "\n", collector);
}

TEST_F(ReaderFile, AnErrorStopInARemoteLinesFileEndsTheFileNotTheProcess) {
    std::string collector = RunFile("error_stop\nrec \"\\q\"\nrec never\n");
    EXPECT_EQ("Invalid escape character: \\q\n", collector);
    EXPECT_NE((std::vector<std::string>{"never"}), g_Words);
}

TEST_F(ReaderFile, AReadErrorEndsTheLineLoop) {
    // A directory opens for reading but cannot be read.
    std::string collector;
    Reader reader;
    testing::internal::CaptureStdout();
    reader.ExecuteLine(("read_file \"" + dir_.str() + "\"").c_str(), nullptr, &collector);
    EXPECT_EQ("Error reading Input File - FERROR[1]", testing::internal::GetCapturedStdout());
    EXPECT_EQ("", collector);
}

TEST_F(ReaderFile, EchoShowsFileLinesWithTheTimeOfDay) {
    plat::FakeClock clock;  // 05:06:07 UTC
    plat::ScopedClock scoped(&clock);
    struct Case {
        bool on, withTime;
        const char* shown;
    } cases[] = {
        {false, false, ""},
        {true, false, "rec a\n"},
        {true, true, "05:06:07 rec a\n"},
    };
    for (const Case& c : cases) {
        Reader::SetEcho(c.on, c.withTime);
        testing::internal::CaptureStdout();
        std::string collected = RunFile("rec a\n");
        EXPECT_EQ(c.shown, testing::internal::GetCapturedStdout());
        EXPECT_EQ("", collected);
    }
    Reader::SetEcho(false, false);
}

TEST_F(ReaderFile, RepeatReadsTheFileAgainWithoutANewDescriptorEachTime) {
    std::string path = (dir_ / "count.txt").string();
    testsupport::WriteFile(path, "rec one\nrec two\n");
    std::string collector;
    Reader reader;
    reader.ExecuteLine(("read_file \"" + path + "\" /repeat 3000").c_str(), nullptr, &collector);
    EXPECT_EQ("", collector);
    EXPECT_EQ((std::vector<std::string>{"two"}), g_Words);
}

}  // namespace
