#include "nuvlib/reader.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"

namespace {
bool g_Echo = false;
bool g_EchoTime = false;

constexpr size_t kMaxMessage = 255;
constexpr size_t kMaxVariableName = 255;
constexpr int kReadPiece = 1023;  // fgets size: 1022 characters and the terminator

// ---------------------------------------------------------------- built-in commands

class QuitCommand : public Command {
    PARLO_COMMAND_CLASS()
    void Execute() override { GetReader()->SetQuit(); }
};
PARLO_REGISTER_COMMAND(QuitCommand, "[*]quit", "q", "Ends the program.");

class EchoCommand : public Command {
    PARLO_COMMAND_CLASS()
    void DefineArgs() override {
        AddSwitch(nullptr, "off", &m_Off);
        AddSwitch(nullptr, "on", &m_On);
        AddSwitch(nullptr, "time", &m_Time);
        AddSwitch("message", "message", &m_Message);
        Command::DefineArgs();
    }
    void Execute() override {
        if (m_Message.IsSet()) {
            std::printf("%s\n", m_Message.GetValue().c_str());
            std::fflush(stdout);
            return;
        }
        // /notime sets the switch too: only its presence counts.
        Reader::SetEcho(!m_Off.GetValue(), m_Time.IsSet());
    }
    ArgBOOL m_Off, m_On, m_Time;
    ArgString m_Message;
};
PARLO_REGISTER_COMMAND(EchoCommand, "[*]echo", "echo", "Controls echoing of command lines");

class HelpCommand : public Command {
    PARLO_COMMAND_CLASS()
    void Execute() override {
        std::vector<std::string> lines;
        const char* group = GetReader()->GetGroup();
        for (CommandRegistration* r = FirstCommandRegistration(); r; r = r->Next()) {
            const CommandDescriptor* d = r->Descriptor();
            if (!CommandMatchesGroup(d, group)) continue;
            std::string line = d->keyword;
            if (d->shortName && std::strcmp(d->shortName, d->keyword) != 0) {
                line += ", ";
                line += d->shortName;
            }
            line += ' ';
            if (line.size() < 20) line.append(20 - line.size(), ' ');
            line += d->helpText ? d->helpText : "";
            lines.push_back(std::move(line));
        }
        std::sort(lines.begin(), lines.end());
        for (const std::string& line : lines) std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
};
PARLO_REGISTER_COMMAND(HelpCommand, "[*]help", "?", "Displays this help.");

class ReadFileCommand : public Command {
    PARLO_COMMAND_CLASS()
public:
    ReadFileCommand() : m_Repeat(1, 100000000) {
        m_File.SetRequired();
        m_Repeat.SetDefault(1);
    }
    void DefineArgs() override {
        AddArg("InputFile", &m_File);
        AddSwitch("RepeatCount", "repeat", &m_Repeat);
        Command::DefineArgs();
    }
    void Execute() override {
        // A file that cannot be opened has been reported; input goes on as before.
        (void)GetReader()->PushRepeatedInputFile(m_File.GetValue().c_str(), m_Repeat.GetValue());
    }

private:
    ArgString m_File;
    ArgNumber m_Repeat;
};
PARLO_REGISTER_COMMAND(ReadFileCommand, "[*]read_file", "read",
                       "Directs command input to another input file");

class ErrorStopCommand : public Command {
    PARLO_COMMAND_CLASS()
    void DefineArgs() override {
        AddSwitch(nullptr, "off", &m_Off);
        AddSwitch(nullptr, "on", &m_On);
        Command::DefineArgs();
    }
    void Execute() override { GetReader()->SetErrorStop(!m_Off.GetValue()); }
    ArgBOOL m_Off, m_On;
};
PARLO_REGISTER_COMMAND(ErrorStopCommand, "[*]error_stop", "error_stop",
                       "Controls setting of stop on error flag.");
}  // namespace

// ---------------------------------------------------------------- reader

Reader::Reader() { m_Line[0] = '\0'; }

Reader::~Reader() {
    while (PopInputFile()) {
    }
}

void Reader::SetEcho(bool on, bool withTime) {
    g_Echo = on;
    g_EchoTime = withTime;
}

void Reader::Print(const char* text) {
    std::printf("%s\n", text);
    std::fflush(stdout);
}

void Reader::Error(const char* format, ...) {
    char message[kMaxMessage + 1];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(message, sizeof message, format, ap);
    va_end(ap);

    std::string entryPart, commandPart;
    if (m_CurrentEntry) {
        entryPart = "Error for " +
                    (m_CurrentEntry->switchName.empty() ? m_CurrentEntry->valueName
                                                        : m_CurrentEntry->switchName) +
                    ": ";
    }
    if (!m_CommandName.empty()) commandPart = m_CommandName + ": ";
    if (m_Collector) {
        m_Collector->append(commandPart).append(entryPart).append(message).push_back('\n');
    } else {
        std::string line = commandPart + entryPart + message;
        Print(line.c_str());
    }
    ApplyErrorStop();
}

void Reader::ApplyErrorStop() {
    if (!m_ErrorStop) return;
    while (PopInputFile()) {
    }
    // A line run for a remote session ends its files, never the server.
    if (!IsConsole() && !m_RemoteLine) {
        std::fflush(nullptr);
        EMSExitProcess(1);
    }
}

bool Reader::PushInputFile(const char* path) { return PushRepeatedInputFile(path, 1); }

bool Reader::PushRepeatedInputFile(const char* path, int32_t count) {
    FILE* file = std::fopen(path, "r");
    if (!file) {
        std::printf("Unable to open %s.\n", path);
        std::fflush(stdout);
        ApplyErrorStop();
        return false;
    }
    m_InputStack.push_back({m_Input, m_RepeatsLeft});
    m_Input = file;
    m_RepeatsLeft = count > 1 ? count - 1 : 0;
    return true;
}

bool Reader::PopInputFile() {
    if (m_InputStack.empty()) return false;
    if (m_Input && m_Input != stdin) std::fclose(m_Input);
    m_Input = m_InputStack.back().saved;
    m_RepeatsLeft = m_InputStack.back().repeatsLeft;
    m_InputStack.pop_back();
    return true;
}

bool Reader::EndOfInput() {
    if (m_RepeatsLeft > 0 && !m_InputStack.empty() && std::fseek(m_Input, 0, SEEK_SET) == 0) {
        // One open file read again, not one descriptor per repetition.
        std::clearerr(m_Input);
        --m_RepeatsLeft;
        return true;
    }
    return PopInputFile();
}

void Reader::Run(Command* command, int argc, const char* const* argv) {
    m_Collector = nullptr;
    m_Session = nullptr;
    m_Words.clear();
    m_Quoted.clear();
    for (int i = 0; i < argc; ++i) {
        m_Words.emplace_back(argv[i] ? argv[i] : "");
        // The shell has already taken the quotes away: a word with a second "/" is a Linux
        // path (an absolute root directory), never a switch, so it is taken as if quoted.
        const std::string& w = m_Words.back();
        m_Quoted.push_back(w.size() > 1 && w[0] == '/' && w.find('/', 1) != std::string::npos);
    }
    if (m_Words.empty()) {
        m_Words.emplace_back("");
        m_Quoted.push_back(0);
    }
    command->SetReader(this);
    m_CommandName = command->GetName();
    command->DefineArgs();
    if (!MatchArgs(command)) return;
    if (command->HelpRequested()) {
        command->Usage(nullptr);
    } else {
        Command::SuppressUsageVersion();
        command->Execute();
    }
    m_CommandName.clear();
    LineLoop("", m_Input, nullptr);
}

void Reader::ExecuteLine(const char* line, MonitorSession* session, std::string* collector) {
    m_Collector = collector;
    m_Session = session;
    m_RemoteLine = true;
    m_CurrentEntry = nullptr;
    m_CommandName.clear();
    size_t length = std::strlen(line);
    if (length > kMaxLine) {
        // Cutting it could run a different command: refuse the whole line.
        Error("Line too long (%zu characters). Maximum is %zu.", length, kMaxLine);
        return;
    }
    std::memcpy(m_Line, line, length + 1);
    Dispatch();
    m_CommandName.clear();
    LineLoop("", m_Input, nullptr);
}

void Reader::LineLoop(const char* prompt, FILE* input, const char* group) {
    m_Prompt = prompt ? prompt : "";
    m_Group = group ? group : "";
    m_Input = input;
    if (m_Quit) return;
    bool done = false;
    char piece[kReadPiece];
    while (!done && m_Input) {
        m_CurrentEntry = nullptr;
        m_CommandName.clear();
        if (IsConsole() && !m_Prompt.empty()) {
            std::printf("%s", m_Prompt.c_str());
            std::fflush(stdout);
        }
        if (std::fgets(piece, sizeof piece, m_Input)) {
            Expand(piece);
        } else {
            if (std::ferror(m_Input)) {
                std::printf("Error reading Input File - FERROR[%d]", std::ferror(m_Input));
                std::fflush(stdout);
                return;
            }
            if (EndOfInput()) {
                if (m_Quit) return;
                continue;
            }
            std::strcpy(m_Line, "quit");
            done = true;
        }
        if (!IsConsole() && g_Echo) {
            if (g_EchoTime) {
                int64_t seconds = plat::FileTimeToUnixNs(plat::FileTimeNow()) / 1000000000;
                int64_t ofDay = ((seconds % 86400) + 86400) % 86400;
                std::printf("%.2d:%.2d:%.2d %s%s", static_cast<int>(ofDay / 3600),
                            static_cast<int>(ofDay / 60 % 60), static_cast<int>(ofDay % 60),
                            m_Prompt.c_str(), m_Line);
            } else {
                std::printf("%s%s", m_Prompt.c_str(), m_Line);
            }
            std::fflush(stdout);
        }
        Dispatch();
        if (m_Quit) return;
    }
}

void Reader::Expand(const char* text) {
    size_t out = 0;
    auto put = [&](const char* s, size_t n) {
        if (out + n > kMaxLine) return false;
        std::memcpy(m_Line + out, s, n);
        out += n;
        return true;
    };
    const char* p = text;
    while (*p) {
        const char* percent = std::strchr(p, '%');
        if (!percent) {
            put(p, std::strlen(p));
            break;
        }
        if (!put(p, static_cast<size_t>(percent - p))) break;
        const char* close = std::strchr(percent + 1, '%');
        if (!close) {
            put(percent, std::strlen(percent));
            break;
        }
        size_t nameLength = static_cast<size_t>(close - percent - 1);
        bool ok;
        if (nameLength == 0) {
            ok = put("%", 1);
        } else if (nameLength > kMaxVariableName) {
            // Too long for a variable name: copied as it stands.
            ok = put(percent, nameLength + 2);
        } else {
            std::string name(percent + 1, nameLength);
            const char* value = std::getenv(name.c_str());
            ok = value ? put(value, std::strlen(value)) : put(percent, nameLength + 2);
        }
        if (!ok) break;
        p = close + 1;
    }
    m_Line[out] = '\0';
}

bool Reader::SplitWords() {
    m_Words.clear();
    m_Quoted.clear();
    enum { kBetween, kPlain, kQuoted, kEscape } state = kBetween;
    std::string word;
    for (const char* p = m_Line; *p; ++p) {
        char c = *p;
        bool space = std::isspace(static_cast<unsigned char>(c)) != 0;
        switch (state) {
            case kBetween:
                if (space) break;
                if (m_Words.empty() && c == '#') return true;
                if (m_Words.empty() && c == '!') {
                    ShellEscape(p + 1);
                    return true;
                }
                word.clear();
                if (c == '"') {
                    state = kQuoted;
                } else {
                    word.push_back(c);
                    state = kPlain;
                }
                break;
            case kPlain:
                if (space) {
                    m_Words.push_back(word);
                    m_Quoted.push_back(0);
                    state = kBetween;
                } else {
                    word.push_back(c);
                }
                break;
            case kQuoted:
                if (c == '"') {
                    m_Words.push_back(word);
                    m_Quoted.push_back(1);
                    state = kBetween;
                } else if (c == '\\') {
                    state = kEscape;
                } else {
                    word.push_back(c);
                }
                break;
            case kEscape:
                if (c != '\\' && c != '"') {
                    Error("Invalid escape character: \\%c", c);
                    return false;
                }
                word.push_back(c);
                state = kQuoted;
                break;
        }
    }
    if (state == kPlain) {
        m_Words.push_back(word);
        m_Quoted.push_back(0);
    } else if (state == kQuoted || state == kEscape) {
        Error("Unmatched quotes.");
        return false;
    }
    return true;
}

void Reader::Dispatch() {
    if (!SplitWords() || m_Words.empty()) return;
    std::string group = m_Group;
    std::string& word0 = m_Words[0];
    if (word0[0] == '[' && word0.compare(0, 3, "[*]") != 0) {
        size_t close = word0.find(']');
        if (close != std::string::npos) {
            group = word0.substr(1, close - 1);
            word0 = word0.substr(close + 1);
        } else {
            group.clear();
        }
    }
    const CommandDescriptor* descriptor =
        FindCommand(word0.c_str(), group.empty() ? nullptr : group.c_str());
    if (!descriptor) {
        Error("Command not found: %s", word0.c_str());
        return;
    }
    m_CommandName = descriptor->keyword;
    Command* command = descriptor->Create();
    command->SetReader(this);
    command->DefineArgs();
    if (MatchArgs(command)) {
        if (command->HelpRequested()) {
            command->Usage(m_Collector);
        } else {
            Command::SuppressUsageVersion();
            command->Execute();
        }
    }
    descriptor->Destroy(command);
    m_CurrentEntry = nullptr;
}

bool Reader::MatchArgs(Command* command) {
    std::vector<CommandArgEntry>& switches = command->Switches();
    std::vector<CommandArgEntry>& positionals = command->Positionals();
    m_NextPositional = 0;
    command->SetArgWordCount(static_cast<int>(m_Words.size()) - 1);
    for (size_t i = 1; i < m_Words.size(); ++i) {
        m_CurrentEntry = nullptr;
        const std::string& word = m_Words[i];
        bool switchLike = !m_Quoted[i] && !word.empty() && (word[0] == '/' || word[0] == '-');
        if (switchLike) {
            std::string asSwitch = "/" + word.substr(1);
            const CommandArgEntry* found = nullptr;
            bool negated = false;
            for (const CommandArgEntry& e : switches) {
                if (e.switchName == asSwitch) {
                    found = &e;
                    break;
                }
            }
            if (!found) {
                for (const CommandArgEntry& e : switches) {
                    if (e.arg->GetType() == ARG_BOOL && asSwitch == "/no" + e.switchName.substr(1)) {
                        found = &e;
                        negated = true;
                        break;
                    }
                }
            }
            if (found) {
                m_CurrentEntry = found;
                if (found->arg->GetType() == ARG_BOOL) {
                    static_cast<ArgBOOL*>(found->arg)->SetBool(!negated);
                    continue;
                }
                if (i + 1 >= m_Words.size()) {
                    Error("Argument missing.");
                    return false;
                }
                ++i;
                if (!found->arg->SetValue(m_Words[i].c_str(), this)) return false;
                continue;
            }
            bool numericNext = word[0] == '-' && m_NextPositional < positionals.size() &&
                               positionals[m_NextPositional].arg->GetType() == ARG_NUMBER;
            if (!numericNext) {
                Error("Invalid control argument: %s", word.c_str());
                return false;
            }
        }
        if (m_NextPositional >= positionals.size()) {
            Error("Too many arguments: %s", word.c_str());
            return false;
        }
        m_CurrentEntry = &positionals[m_NextPositional];
        if (!m_CurrentEntry->arg->SetValue(word.c_str(), this)) return false;
        ++m_NextPositional;
    }
    m_CurrentEntry = nullptr;
    if (command->HelpRequested()) return true;
    for (const auto* list : {&positionals, &switches}) {
        for (const CommandArgEntry& e : *list) {
            if (e.arg->IsRequired() && !e.arg->IsSet()) {
                m_CurrentEntry = &e;
                Error("Missing argument.");
                return false;
            }
        }
    }
    std::string error;
    if (!command->Validate(error)) {
        if (!error.empty()) Error("%s", error.c_str());
        return false;
    }
    return true;
}

void Reader::ShellEscape(const char* text) {
    std::string command(text);
    if (!command.empty() && command.back() == '\n') command.pop_back();
    if (!command.empty() && command.back() == '\r') command.pop_back();
    std::fflush(nullptr);
    pid_t child = fork();
    if (child < 0) {
        std::printf("Error from CreateProcess.");
        std::fflush(stdout);
        ApplyErrorStop();
        return;
    }
    if (child == 0) {
        // The text reaches the shell as one argument, so it needs no quoting of its own.
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    pid_t r;
    do {
        r = waitpid(child, &status, 0);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        std::printf("Error from WaitForSingleObject.");
        std::fflush(stdout);
        ApplyErrorStop();
    }
}
