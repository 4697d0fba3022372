#include "nuvlib/command.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "nuvlib/reader.h"
#include "nuvlib/release.h"
#include "nuvlib/strutil.h"

namespace {
// Constant-initialised, so registrations from any translation unit find it ready.
constinit CommandRegistration* g_CommandList = nullptr;
bool g_UsageVersionSuppressed = false;

constexpr size_t kUsageWidth = 78;
}  // namespace

// ---------------------------------------------------------------- arguments

bool ArgString::SetValue(const char* text, Reader*) {
    m_Value = text;
    m_Set = true;
    return true;
}

bool ArgNumber::Parse(const char* text, int32_t* value) {
    errno = 0;
    char* end = nullptr;
    long long decimal = std::strtoll(text, &end, 10);
    if (end != text && *end == '\0' && errno == 0 && decimal >= INT32_MIN &&
        decimal <= INT32_MAX) {
        *value = static_cast<int32_t>(decimal);
        return true;
    }
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) p += 2;
    uint64_t hex = 0;
    int digits = 0;
    for (; std::isxdigit(static_cast<unsigned char>(*p)); ++p, ++digits) {
        if (digits == 8) return false;  // more than 32 bits
        int c = std::tolower(static_cast<unsigned char>(*p));
        hex = hex * 16 + static_cast<uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    if (digits == 0 || *p != '\0') return false;
    *value = static_cast<int32_t>(static_cast<uint32_t>(hex));
    return true;
}

bool ArgNumber::SetValue(const char* text, Reader* reader) {
    int32_t value = 0;
    if (!Parse(text, &value)) {
        reader->Error("Invalid number: %s", text);
        return false;
    }
    if (m_Range && value < m_Minimum) {
        reader->Error("Value of %d too small. Minimum is %d.", value, m_Minimum);
        return false;
    }
    if (m_Range && value > m_Maximum) {
        reader->Error("Value of %d too large. Maximum is %d.", value, m_Maximum);
        return false;
    }
    m_Value = value;
    m_Set = true;
    return true;
}

bool ArgBOOL::SetValue(const char* text, Reader* reader) {
    reader->Error("Illegal to set a boolean argument. %s", text);
    return false;
}

namespace {
// Blanks (and, unless blanksOnly, underscores) between the fields of a date.
void SkipDateFill(const char*& p, bool blanksOnly = false) {
    while (*p == ' ' || *p == '\t' || (!blanksOnly && *p == '_')) ++p;
}

bool ReadDateNumber(const char*& p, int* value) {
    if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    long v = 0;
    while (std::isdigit(static_cast<unsigned char>(*p))) {
        v = v * 10 + (*p++ - '0');
        if (v > 100000) return false;
    }
    *value = static_cast<int>(v);
    return true;
}

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
}  // namespace

bool ArgDateTime::Parse(const char* text, int64_t* seconds) {
    const char* p = text;
    int month = 0, day = 0, year = 0, hour = 0, minute = 0, second = 0;
    SkipDateFill(p);
    if (!ReadDateNumber(p, &month)) return false;
    SkipDateFill(p);
    if (*p++ != '/') return false;
    SkipDateFill(p);
    if (!ReadDateNumber(p, &day)) return false;
    SkipDateFill(p);
    if (*p++ != '/') return false;
    SkipDateFill(p, true);
    if (!ReadDateNumber(p, &year)) return false;
    SkipDateFill(p);
    if (year < 100) year += year < 40 ? 2000 : 1900;
    if (*p != '\0') {
        if (!ReadDateNumber(p, &hour)) return false;
        SkipDateFill(p);
        if (*p == ':') {
            ++p;
            SkipDateFill(p);
            if (!ReadDateNumber(p, &minute)) return false;
            SkipDateFill(p);
            if (*p == ':') {
                ++p;
                SkipDateFill(p);
                if (!ReadDateNumber(p, &second)) return false;
                SkipDateFill(p);
            }
        }
        if (*p != '\0') {
            char half = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
            if ((half != 'a' && half != 'p') || std::tolower(static_cast<unsigned char>(p[1])) != 'm')
                return false;
            p += 2;
            if (half == 'p' && hour < 12) hour += 12;
            if (half == 'a' && hour == 12) hour = 0;
            SkipDateFill(p);
            if (*p != '\0') return false;
        }
    }
    // The checks of a calendar conversion: no field may overflow into the next.
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1601 || year > 30827 || month < 1 || month > 12 || day < 1) return false;
    int monthDays = kDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
    if (day > monthDays || hour > 23 || minute > 59 || second > 59) return false;

    struct tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    tm.tm_wday = -1;  // mktime's -1 is also a valid instant: this tells them apart
    time_t t = mktime(&tm);
    if (t == static_cast<time_t>(-1) && tm.tm_wday == -1) return false;
    *seconds = static_cast<int64_t>(t);
    return true;
}

bool ArgDateTime::SetValue(const char* text, Reader* reader) {
    int64_t seconds = 0;
    if (!Parse(text, &seconds)) {
        reader->Error("Invalid date/time: %s", text);
        return false;
    }
    m_Value = seconds;
    m_Set = true;
    return true;
}

// ---------------------------------------------------------------- commands

Command::Command() = default;
Command::~Command() = default;

bool Command::Validate(std::string&) { return true; }

void Command::DefineArgs() {
    AddSwitch(nullptr, "help", &m_Help);
    AddSwitch(nullptr, "?", &m_Help);
}

void Command::AddArg(const char* name, Arg* arg) {
    CommandArgEntry entry;
    entry.valueName = name ? name : "";
    entry.arg = arg;
    arg->SetOwner(this);
    m_Positionals.push_back(std::move(entry));
}

void Command::AddSwitch(const char* valueName, const char* switchName, Arg* arg) {
    CommandArgEntry entry;
    if (valueName) entry.valueName = valueName;
    if (switchName[0] == '/')
        entry.switchName = switchName;
    else if (switchName[0] == '-')
        entry.switchName = std::string("/") + (switchName + 1);
    else
        entry.switchName = std::string("/") + switchName;
    entry.arg = arg;
    arg->SetOwner(this);
    m_Switches.push_back(std::move(entry));
}

MonitorSession* Command::GetMonitorSession() const {
    return m_Reader ? m_Reader->GetMonitorSession() : nullptr;
}

void Command::SuppressUsageVersion() { g_UsageVersionSuppressed = true; }

void Command::EmitUsageLine(std::string* collector) {
    if (collector) {
        collector->append(m_UsageLine);
        collector->push_back('\n');
    } else {
        std::printf("%s\n", m_UsageLine.c_str());
        std::fflush(stdout);
    }
}

void Command::AddUsagePiece(const std::string& piece, std::string* collector) {
    if (m_UsageLine.size() > m_UsageIndent &&
        piece.size() + m_UsageLine.size() > kUsageWidth) {
        EmitUsageLine(collector);
        m_UsageLine.assign(m_UsageIndent, ' ');
    }
    m_UsageLine.push_back(' ');
    m_UsageLine.append(piece);
}

void Command::Usage(std::string* collector) {
    if (!g_UsageVersionSuppressed) {
        std::printf("Version: %s\n", GetReleaseString());
        std::fflush(stdout);
    }
    m_UsageLine = std::string("Usage: ") + GetName();
    m_UsageIndent = m_UsageLine.size();
    for (const CommandArgEntry& e : m_Positionals) {
        if (e.arg->IsRequired())
            AddUsagePiece(e.valueName, collector);
        else
            AddUsagePiece("[" + e.valueName + "]", collector);
    }
    auto switchPiece = [](const CommandArgEntry& e) {
        std::string piece = e.switchName;
        if (e.arg->GetType() != ARG_BOOL) piece += " " + e.valueName;
        return piece;
    };
    for (const CommandArgEntry& e : m_Switches)
        if (e.arg->IsRequired()) AddUsagePiece(switchPiece(e), collector);
    for (const CommandArgEntry& e : m_Switches)
        if (!e.arg->IsRequired()) AddUsagePiece("[" + switchPiece(e) + "]", collector);
    EmitUsageLine(collector);
}

// ---------------------------------------------------------------- registration

Command* CommandDescriptor::Create() const {
    void* memory = ::operator new(objectSize);
    return construct(memory);
}

CommandRegistration::CommandRegistration(CommandDescriptor* descriptor)
    : m_Descriptor(descriptor), m_OriginalKeyword(descriptor->keyword) {
    const char* keyword = descriptor->keyword;
    if (keyword[0] == '-') {
        // The process's own command: parsed from argv, never listed.
        m_CopiedKeyword = DuplicateString(keyword + 1);
        descriptor->keyword = m_CopiedKeyword;
        descriptor->keywordCopied = true;
        return;
    }
    if (std::strncmp(keyword, "[*]", 3) == 0) {
        descriptor->allGroups = true;
        m_CopiedKeyword = DuplicateString(keyword + 3);
        descriptor->keyword = m_CopiedKeyword;
        descriptor->keywordCopied = true;
    } else if (keyword[0] == '[') {
        const char* close = std::strchr(keyword, ']');
        if (close) {
            std::string group(keyword + 1, close);
            m_CopiedGroup = DuplicateString(group.c_str());
            descriptor->group = m_CopiedGroup;
            m_CopiedKeyword = DuplicateString(close + 1);
            descriptor->keyword = m_CopiedKeyword;
            descriptor->keywordCopied = true;
        }
    }
    m_Next = g_CommandList;
    g_CommandList = this;
}

CommandRegistration::~CommandRegistration() {
    // The descriptor outlives this object: leave it pointing at its own texts again.
    if (m_CopiedKeyword) {
        m_Descriptor->keyword = m_OriginalKeyword;
        m_Descriptor->keywordCopied = false;
    }
    if (m_CopiedGroup) m_Descriptor->group = nullptr;
    delete[] m_CopiedKeyword;
    delete[] m_CopiedGroup;
}

CommandRegistration* FirstCommandRegistration() { return g_CommandList; }

bool CommandMatchesGroup(const CommandDescriptor* d, const char* group) {
    if (d->allGroups) return true;
    if (!group || !*group) return d->group == nullptr;
    return d->group != nullptr && std::strcmp(d->group, group) == 0;
}

const CommandDescriptor* FindCommand(const char* word, const char* group) {
    for (CommandRegistration* r = g_CommandList; r; r = r->Next()) {
        const CommandDescriptor* d = r->Descriptor();
        bool candidate = std::strcmp(d->keyword, word) == 0 ||
                         (d->shortName && std::strcmp(d->shortName, word) == 0);
        if (candidate && CommandMatchesGroup(d, group)) return d;
    }
    return nullptr;
}

bool IsValidCommand(const char* word) { return FindCommand(word, nullptr) != nullptr; }
