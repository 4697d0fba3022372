// A console program around the command reader, for transcript tests: it parses its own
// command line as the process command, then reads commands from standard input (or from
// the script named on its command line) until quit.
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "nuvlib/command.h"
#include "nuvlib/reader.h"

namespace {

class DriverMain : public Command {
    PARLO_COMMAND_CLASS()
public:
    void DefineArgs() override {
        AddArg("Script", &m_Script);
        Command::DefineArgs();
    }
    void Execute() override {
        if (m_Script.IsSet())
            (void)GetReader()->PushInputFile(m_Script.GetValue().c_str());  // reports failure
        else
            GetReader()->SetConsoleInput();
    }

private:
    ArgString m_Script;
};
PARLO_REGISTER_COMMAND(DriverMain, "-Driver", "Driver", "Reader transcript driver.");

// Shows what the reader parsed.
class ProbeCommand : public Command {
    PARLO_COMMAND_CLASS()
public:
    ProbeCommand() : m_Level(1, 5) { m_Name.SetRequired(); }
    void DefineArgs() override {
        AddArg("Name", &m_Name);
        AddArg("Count", &m_Count);
        AddSwitch("DateTime", "when", &m_When);
        AddSwitch("Level", "-level", &m_Level);
        AddSwitch(nullptr, "verbose", &m_Verbose);
        AddSwitch("Label", "/label", &m_Label);
        Command::DefineArgs();
    }
    bool Validate(std::string& error) override {
        if (m_Name.GetValue() == "invalid") {
            error = "Name may not be invalid.";
            return false;
        }
        return true;
    }
    void Execute() override {
        std::printf("probe name=[%s]", m_Name.GetValue().c_str());
        if (m_Count.IsSet()) std::printf(" count=%d", m_Count.GetValue());
        if (m_When.IsSet()) std::printf(" when=%lld", static_cast<long long>(m_When.GetValue()));
        if (m_Level.IsSet()) std::printf(" level=%d", m_Level.GetValue());
        if (m_Verbose.IsSet()) std::printf(" verbose=%d", m_Verbose.GetValue() ? 1 : 0);
        if (m_Label.IsSet()) std::printf(" label=[%s]", m_Label.GetValue().c_str());
        std::printf("\n");
        std::fflush(stdout);
    }

private:
    ArgString m_Name;
    ArgNumber m_Count;
    ArgDateTime m_When;
    ArgNumber m_Level;
    ArgBOOL m_Verbose;
    ArgString m_Label;
};
PARLO_REGISTER_COMMAND(ProbeCommand, "probe", "p", "Shows its parsed arguments.");

class GroupedCommand : public Command {
    PARLO_COMMAND_CLASS()
    void Execute() override {
        std::printf("ops only\n");
        std::fflush(stdout);
    }
};
PARLO_REGISTER_COMMAND(GroupedCommand, "[ops]opsonly", "opsonly", "Only in the ops group.");

}  // namespace

int main(int argc, char** argv) {
    setenv("TZ", "UTC0", 1);
    tzset();
    Reader reader;
    DriverMain main;
    reader.Run(&main, argc, argv);
    return 0;
}
