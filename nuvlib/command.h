#pragma once
// Console commands: typed arguments, the command base class and the static command list.
// The Reader (nuvlib/reader.h) reads lines, matches their words against a command's
// declarations and runs it.
#include <cstdint>
#include <string>
#include <vector>

class Reader;
class Command;
class MonitorSession;

enum ArgType : int {
    ARG_STRING = 0,
    ARG_STRING_ARRAY = 1,  // reserved: no command declares one
    ARG_NUMBER = 2,
    ARG_NUMBER_ARRAY = 3,  // reserved: no command declares one
    ARG_BOOL = 4,
    ARG_DATETIME = 5,
};

class Arg {
public:
    virtual ~Arg() = default;
    virtual bool IsSet() const { return m_Set; }
    virtual int GetType() const = 0;
    // Parses and stores the value; false after reporting the error through the reader.
    virtual bool SetValue(const char* text, Reader* reader) = 0;
    virtual void SetRequired() { m_Required = true; }

    bool IsRequired() const { return m_Required; }
    Command* GetOwner() const { return m_Owner; }
    void SetOwner(Command* owner) { m_Owner = owner; }

protected:
    bool m_Set = false;
    bool m_Required = false;
    Command* m_Owner = nullptr;
};

class ArgString : public Arg {
public:
    int GetType() const override { return ARG_STRING; }
    bool SetValue(const char* text, Reader* reader) override;
    const std::string& GetValue() const { return m_Value; }

private:
    std::string m_Value;
};

class ArgNumber : public Arg {
public:
    ArgNumber() = default;
    ArgNumber(int32_t minimum, int32_t maximum)
        : m_Minimum(minimum), m_Maximum(maximum), m_Range(true) {}
    int GetType() const override { return ARG_NUMBER; }
    bool SetValue(const char* text, Reader* reader) override;
    int32_t GetValue() const { return m_Value; }
    void SetDefault(int32_t value) { m_Value = value; }

    // Decimal when the whole text reads as one, else hexadecimal with an optional 0x.
    [[nodiscard]] static bool Parse(const char* text, int32_t* value);

private:
    int32_t m_Value = 0;
    int32_t m_Minimum = 0;
    int32_t m_Maximum = 0;
    bool m_Range = false;
};

class ArgBOOL : public Arg {
public:
    int GetType() const override { return ARG_BOOL; }
    // A boolean is set only as a switch.
    bool SetValue(const char* text, Reader* reader) override;
    void SetBool(bool value) {
        m_Value = value;
        m_Set = true;
    }
    bool GetValue() const { return m_Value; }

private:
    bool m_Value = false;
};

class ArgDateTime : public Arg {
public:
    int GetType() const override { return ARG_DATETIME; }
    bool SetValue(const char* text, Reader* reader) override;
    // Seconds since 1970-01-01 00:00 UTC (negative before it).
    int64_t GetValue() const { return m_Value; }

    // m/d/y [h[:m[:s]]] [am|pm] in local time; false when the text is not such a date.
    [[nodiscard]] static bool Parse(const char* text, int64_t* seconds);

private:
    int64_t m_Value = 0;
};

// One declared positional argument or switch.
struct CommandArgEntry {
    std::string switchName;  // "/name"; empty for a positional argument
    std::string valueName;   // the argument's name, or the switch's value name
    Arg* arg = nullptr;
};

struct CommandDescriptor;

class Command {
public:
    Command();
    virtual ~Command();
    Command(const Command&) = delete;
    Command& operator=(const Command&) = delete;

    // Appends the usage text to the collector, or prints it to the console without one.
    virtual void Usage(std::string* collector);
    virtual bool Validate(std::string& error);
    virtual void Execute() = 0;
    virtual const char* GetName() const = 0;
    // Subclasses declare their own arguments first, then call the base (/help and /? last).
    virtual void DefineArgs();

    void AddArg(const char* name, Arg* arg);
    void AddSwitch(const char* valueName, const char* switchName, Arg* arg);
    MonitorSession* GetMonitorSession() const;

    Reader* GetReader() const { return m_Reader; }
    void SetReader(Reader* reader) { m_Reader = reader; }
    bool HelpRequested() const { return m_Help.GetValue(); }

    std::vector<CommandArgEntry>& Switches() { return m_Switches; }
    std::vector<CommandArgEntry>& Positionals() { return m_Positionals; }
    void SetArgWordCount(int count) { m_ArgWords = count; }

    // The version line goes with usage texts shown before the first command runs.
    static void SuppressUsageVersion();

protected:
    ArgBOOL m_Help;

private:
    void AddUsagePiece(const std::string& piece, std::string* collector);
    void EmitUsageLine(std::string* collector);

    Reader* m_Reader = nullptr;
    std::vector<CommandArgEntry> m_Switches;
    std::vector<CommandArgEntry> m_Positionals;
    int m_ArgWords = 0;
    std::string m_UsageLine;
    size_t m_UsageIndent = 0;
};

// One static record per command class.
struct CommandDescriptor {
    const char* className;
    uint32_t objectSize;
    const char* keyword;  // rewritten by registration
    const char* shortName;
    const char* helpText;
    const char* group;  // set by registration from "[G]keyword"
    bool allGroups;     // set by registration from "[*]keyword"
    bool keywordCopied;
    Command* (*construct)(void* memory);
    void (*destroy)(Command* command);

    Command* Create() const;
    void Destroy(Command* command) const { destroy(command); }
};

class CommandRegistration {
public:
    explicit CommandRegistration(CommandDescriptor* descriptor);
    ~CommandRegistration();
    CommandRegistration(const CommandRegistration&) = delete;
    CommandRegistration& operator=(const CommandRegistration&) = delete;

    CommandRegistration* Next() const { return m_Next; }
    CommandDescriptor* Descriptor() const { return m_Descriptor; }

private:
    CommandRegistration* m_Next = nullptr;
    CommandDescriptor* m_Descriptor;
    const char* m_OriginalKeyword;
    char* m_CopiedKeyword = nullptr;
    char* m_CopiedGroup = nullptr;
};

// Head of the command list: the last registered command first.
CommandRegistration* FirstCommandRegistration();
// True when the descriptor belongs to the group (none or empty: ungrouped and "[*]" only).
bool CommandMatchesGroup(const CommandDescriptor* descriptor, const char* group);
const CommandDescriptor* FindCommand(const char* word, const char* group);
bool IsValidCommand(const char* word);

template <class T>
Command* ConstructCommand(void* memory) {
    return new (memory) T();
}
template <class T>
void DestroyCommand(Command* command) {
    T* object = static_cast<T*>(command);
    object->~T();
    ::operator delete(static_cast<void*>(object));
}

// In the class body: the descriptor and the GetName that returns its keyword.
#define PARLO_COMMAND_CLASS()                 \
public:                                       \
    static CommandDescriptor s_Descriptor;    \
    const char* GetName() const override { return s_Descriptor.keyword; }

// In one source file: defines the descriptor and registers it during static initialisation.
#define PARLO_REGISTER_COMMAND(Class, keyword, shortName, helpText)                        \
    CommandDescriptor Class::s_Descriptor{#Class,       sizeof(Class), keyword,             \
                                          shortName,    helpText,      nullptr,             \
                                          false,        false,         &ConstructCommand<Class>, \
                                          &DestroyCommand<Class>};                          \
    static CommandRegistration Class##_registration(&Class::s_Descriptor)
