#pragma once
// The console command reader: reads lines from the console or stacked command files,
// expands %NAME% references, splits words, matches them against a command's arguments
// and runs it. Lines starting with "!" go to the shell, lines starting with "#" are comments.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "nuvlib/command.h"
#include "nuvlib/ems.h"

class Reader {
public:
    // Longest line the reader executes (the buffer holds one more for the terminator).
    static constexpr size_t kMaxLine = 1023;

    Reader();
    virtual ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Parses argv (argv[0] stands for the command word) as the command's line, runs it, then
    // reads lines from the current input.
    void Run(Command* command, int argc, const char* const* argv);
    // Runs one line for a remote session; errors and usage texts go to the collector.
    void ExecuteLine(const char* line, MonitorSession* session, std::string* collector);

    // Makes a file the current input, the previous input stacked. False, after printing
    // "Unable to open <path>.", when the file cannot be opened: the input is unchanged.
    [[nodiscard]] virtual bool PushInputFile(const char* path);
    // The same file read count times in a row before the previous input continues; false
    // as PushInputFile.
    [[nodiscard]] bool PushRepeatedInputFile(const char* path, int32_t count);
    // Prints the text and a line end to the console.
    virtual void Print(const char* text);

    // Makes the console (standard input) the current input.
    void SetConsoleInput() { m_Input = stdin; }
    // Reports "[cmd: ][Error for <arg>: ]message" and applies the error stop.
    void Error(const char* format, ...) EMS_PRINTF(2, 3);

    MonitorSession* GetMonitorSession() const { return m_Session; }
    std::string* GetCollector() const { return m_Collector; }
    const char* GetGroup() const { return m_Group.c_str(); }
    void SetQuit() { m_Quit = true; }
    void SetErrorStop(bool on) { m_ErrorStop = on; }
    bool GetErrorStop() const { return m_ErrorStop; }

    // Process-wide echo of lines read from files.
    static void SetEcho(bool on, bool withTime);

private:
    void LineLoop(const char* prompt, FILE* input, const char* group);
    void Expand(const char* text);
    void Dispatch();
    bool SplitWords();
    bool MatchArgs(Command* command);
    void ApplyErrorStop();
    bool PopInputFile();
    bool EndOfInput();
    void ShellEscape(const char* text);
    bool IsConsole() const { return m_Input == stdin; }

    std::string m_Prompt;
    std::string m_Group;
    char m_Line[kMaxLine + 1];
    std::vector<std::string> m_Words;
    std::vector<uint8_t> m_Quoted;
    const CommandArgEntry* m_CurrentEntry = nullptr;
    size_t m_NextPositional = 0;
    std::string m_CommandName;
    bool m_Quit = false;
    bool m_ErrorStop = false;
    bool m_RemoteLine = false;  // running ExecuteLine
    std::string* m_Collector = nullptr;
    MonitorSession* m_Session = nullptr;
    struct SavedInput {
        FILE* saved;
        int32_t repeatsLeft;
    };
    std::vector<SavedInput> m_InputStack;  // newest last
    FILE* m_Input = nullptr;
    int32_t m_RepeatsLeft = 0;  // further readings of the current file
};
