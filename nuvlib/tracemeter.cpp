#include "nuvlib/tracemeter.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <new>
#include <unordered_map>

#include "nuvlib/ems.h"
#include "platform/clock.h"

namespace {
constexpr int64_t kWindowMinutes[TraceMeterCounts::kWindows] = {5, 30, 1440};
constexpr size_t kKeySize = 1024;

std::atomic<int> g_Recording{0};
std::recursive_mutex g_Lock;
int64_t g_BaseTime = 0;

// Meters live until the process ends: the tables are never destroyed, not even at exit,
// when counting sites on other threads may still run.
struct Tables {
    std::unordered_map<std::string, TraceMeterHeader*> headers;
    std::unordered_map<std::string, TraceMeterElement*> elements;
    std::vector<TraceMeterHeader*> order;  // the walk order of the console listing
};
Tables& T() {
    static Tables* tables = new Tables;
    return *tables;
}

int64_t NowSeconds() {
    int64_t ns = plat::RealtimeNs();
    return ns >= 0 ? ns / 1000000000 : (ns - 999999999) / 1000000000;
}

std::string FileNameOf(const std::string& path) {
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}
}  // namespace

void TraceMeterCounts::Roll(int64_t now) {
    if (lastCountTime == 0) return;
    for (int i = 0; i < kWindows; ++i) {
        if ((lastCountTime - g_BaseTime) / 60 / kWindowMinutes[i] !=
            (now - g_BaseTime) / 60 / kWindowMinutes[i])
            window[i] = 0;
    }
}

void TraceMeterCounts::Count(int64_t now) {
    Roll(now);
    for (uint32_t& w : window) ++w;
    ++totalSinceReset;
    ++grandTotal;
    lastCountTime = now;
}

void TraceMeterCounts::Reset(int64_t now) {
    for (uint32_t& w : window) w = 0;
    totalSinceReset = 0;
    lastCountTime = 0;
    resetTime = now;
    ++resetCount;
}

TraceMeterElement::TraceMeterElement(TraceMeterHeader* header, const char* key, size_t position)
    : m_Header(header), m_Key(key), m_Position(position) {}

TraceMeterElement::~TraceMeterElement() {
    EMSFailMessage("TraceMeterElement destructor not implemented.");
}

int32_t TraceMeterElement::GetWindowCount(uint32_t i) {
    if (i >= TraceMeterCounts::kWindows) return -1;
    m_Counts.Roll(NowSeconds());
    return static_cast<int32_t>(m_Counts.window[i]);
}

TraceMeterHeader::TraceMeterHeader(uint32_t line, const char* description, const char* sourcePath)
    : m_LineNumber(line),
      m_Description(description),
      m_SourcePath(sourcePath),
      m_FileName(FileNameOf(sourcePath)) {}

TraceMeterHeader::~TraceMeterHeader() {
    EMSFailMessage("TraceMeterHeader destructor not implemented.");
}

int32_t TraceMeterHeader::GetWindowCount(uint32_t i) {
    if (i >= TraceMeterCounts::kWindows) return -1;
    m_Counts.Roll(NowSeconds());
    return static_cast<int32_t>(m_Counts.window[i]);
}

void TraceMeterHeader::Reset() {
    int64_t now = NowSeconds();
    m_Counts.Reset(now);
    for (TraceMeterElement* e : m_Elements) e->m_Counts.Reset(now);
}

TraceMeterElement* TraceMeterHeader::FindNextElement(TraceMeterElement* after,
                                                     const char* pattern) {
    size_t from = after ? after->m_Position + 1 : 0;
    for (size_t i = from; i < m_Elements.size(); ++i)
        if (MatchMeterPattern(m_Elements[i]->m_Key.c_str(), pattern)) return m_Elements[i];
    return nullptr;
}

void InitTraceMeters(uint32_t recording) {
    std::lock_guard<std::recursive_mutex> hold(g_Lock);
    int64_t now = NowSeconds();
    int64_t local = now - static_cast<int64_t>(plat::LocalBiasMinutes()) * 60;
    int64_t secondsOfDay = ((local % 86400) + 86400) % 86400;
    g_BaseTime = now - secondsOfDay;
    T().headers.reserve(601);
    T().elements.reserve(601);
    g_Recording = recording ? 1 : 0;
}

void TraceMeterCount(const char* description, const char* key, const char* sourcePath,
                     uint32_t line, uint32_t keyIncludesLine) {
    if (!g_Recording.load(std::memory_order_relaxed)) return;
    if (!description) description = "";
    if (!key) key = "";
    if (!sourcePath) sourcePath = "";
    std::lock_guard<std::recursive_mutex> hold(g_Lock);
    char elementKey[kKeySize];
    std::snprintf(elementKey, sizeof elementKey, "%d__%s__%s",
                  static_cast<int>(keyIncludesLine ? line : 0), description, key);
    TraceMeterElement*& element = T().elements[elementKey];
    if (!element) {
        char headerKey[kKeySize];
        std::snprintf(headerKey, sizeof headerKey, "%d__%s", static_cast<int>(line), description);
        TraceMeterHeader*& header = T().headers[headerKey];
        if (!header) {
            header = new (std::nothrow) TraceMeterHeader(line, description, sourcePath);
            if (!header)
                EMSFailMessage("Memory allocation of %d bytes failed:  File: %s.  Line %d\n",
                               static_cast<int>(sizeof(TraceMeterHeader)), "tmeter", __LINE__);
            T().order.push_back(header);
        }
        element = new (std::nothrow) TraceMeterElement(header, key, header->m_Elements.size());
        if (!element)
            EMSFailMessage("Memory allocation of %d bytes failed:  File: %s.  Line %d\n",
                           static_cast<int>(sizeof(TraceMeterElement)), "tmeter", __LINE__);
        header->m_Elements.push_back(element);
    }
    int64_t now = NowSeconds();
    element->m_Counts.Count(now);
    element->m_Header->m_Counts.Count(now);
}

void LockTraceMeters() { g_Lock.lock(); }
void UnlockTraceMeters() { g_Lock.unlock(); }

void EnableTraceMeters() {
    g_Recording = 1;
    EMSTraceMessage("Recording of trace meters has been enabled.");
}

void DisableTraceMeters() {
    g_Recording = 0;
    EMSTraceMessage("Recording of trace meters has been disabled.");
}

int TraceMetersEnabled() { return g_Recording.load() ? 1 : 0; }

TraceMeterPosition FindFirstTraceMeterHeader(const char* pattern) {
    std::lock_guard<std::recursive_mutex> hold(g_Lock);
    for (size_t i = 0; i < T().order.size(); ++i)
        if (MatchMeterPattern(T().order[i]->m_Description.c_str(), pattern)) return i + 1;
    return 0;
}

TraceMeterHeader* FindNextTraceMeterHeader(TraceMeterPosition* position, const char* pattern) {
    std::lock_guard<std::recursive_mutex> hold(g_Lock);
    if (*position == 0) return nullptr;
    for (size_t i = *position - 1; i < T().order.size(); ++i) {
        if (MatchMeterPattern(T().order[i]->m_Description.c_str(), pattern)) {
            *position = i + 2;
            return T().order[i];
        }
    }
    *position = 0;
    return nullptr;
}

TraceMeterHeader* FindTraceMeterHeader(uint32_t line, const char* description) {
    std::lock_guard<std::recursive_mutex> hold(g_Lock);
    char headerKey[kKeySize];
    std::snprintf(headerKey, sizeof headerKey, "%d__%s", static_cast<int>(line), description);
    auto it = T().headers.find(headerKey);
    return it == T().headers.end() ? nullptr : it->second;
}

int MatchPatternFrom(const char* text, const char* p) {
    for (; *p; ++text, ++p) {
        if (*text == '\0' && *p != '*') return kMatchAbort;
        switch (*p) {
            case '?':
                break;
            case '\\':
                // The next pattern character matches only itself.
                if (p[1] == '\0') return kMatchFalse;
                ++p;
                if (*text != *p) return kMatchFalse;
                break;
            case '*': {
                while (*++p == '*') {
                }
                if (*p == '\0') return kMatchTrue;
                while (*text) {
                    int matched = MatchPatternFrom(text++, p);
                    if (matched != kMatchFalse) return matched;
                }
                return kMatchAbort;
            }
            case '[': {
                bool reverse = p[1] == '^';
                if (reverse) ++p;
                bool matched = false;
                int last = 256;  // a range with nothing before the '-' matches nothing
                const signed char t = static_cast<signed char>(*text);
                for (;;) {
                    ++p;
                    if (*p == '\0') return kMatchFalse;  // the class never closed
                    if (*p == ']') break;
                    const signed char c = static_cast<signed char>(*p);
                    if (c == '-') {
                        if (p[1] == '\0') return kMatchFalse;
                        ++p;
                        if (t <= static_cast<signed char>(*p) && t >= last) matched = true;
                    } else if (t == c) {
                        matched = true;
                    }
                    last = static_cast<signed char>(*p);
                }
                if (matched == reverse) return kMatchFalse;
                break;
            }
            default:
                if (*text != *p) return kMatchFalse;
                break;
        }
    }
    return *text == '\0' ? kMatchTrue : kMatchFalse;
}

int MatchPattern(const char* text, const char* pattern) {
    if (pattern[0] == '*' && pattern[1] == '\0') return 1;
    return MatchPatternFrom(text, pattern) == kMatchTrue ? 1 : 0;
}

int MatchMeterPattern(const char* text, const char* pattern) {
    if (!pattern || !*pattern) return 1;
    return MatchPattern(text, pattern);
}
