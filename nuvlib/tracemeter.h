#pragma once
// Trace meters: counts of events by place in the source and by key, over the last 5
// minutes, 30 minutes, today and in total, without tracing every event. Windows are rolled
// lazily at the next count or read, aligned to the local midnight of the day the meters
// were initialised.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class TraceMeterHeader;

// Counters of a meter or of one key under it.
struct TraceMeterCounts {
    static constexpr int kWindows = 3;  // 5 minutes, 30 minutes, the day
    uint32_t window[kWindows] = {};
    uint32_t totalSinceReset = 0;
    uint32_t grandTotal = 0;
    int64_t lastCountTime = 0;  // seconds since 1970; 0 = none since the last reset
    int64_t resetTime = 0;      // 0 = never
    uint32_t resetCount = 0;

    void Roll(int64_t now);
    void Count(int64_t now);
    void Reset(int64_t now);
};

class TraceMeterElement {
public:
    TraceMeterElement(TraceMeterHeader* header, const char* key, size_t position);
    virtual ~TraceMeterElement();  // meters live until the process ends

    // Rolls the windows, then gives window i's count; -1 for i of 3 or more.
    int32_t GetWindowCount(uint32_t i);

    TraceMeterHeader* m_Header;
    std::string m_Key;
    TraceMeterCounts m_Counts;
    size_t m_Position;  // in the header's element list
};

class TraceMeterHeader {
public:
    TraceMeterHeader(uint32_t line, const char* description, const char* sourcePath);
    virtual ~TraceMeterHeader();  // meters live until the process ends

    int32_t GetWindowCount(uint32_t i);
    // Zeroes the windows and totals since reset of the meter and all its keys.
    void Reset();
    // The next key (after the given one, or from the first) whose text matches the pattern.
    TraceMeterElement* FindNextElement(TraceMeterElement* after, const char* pattern);

    std::vector<TraceMeterElement*> m_Elements;  // in creation order
    uint32_t m_LineNumber;
    std::string m_Description;
    std::string m_SourcePath;
    std::string m_FileName;  // name and extension of the source path
    TraceMeterCounts m_Counts;
};

void InitTraceMeters(uint32_t recording);
// Counts one event; nothing at all while recording is off.
void TraceMeterCount(const char* description, const char* key, const char* sourcePath,
                     uint32_t line, uint32_t keyIncludesLine);
void LockTraceMeters();
void UnlockTraceMeters();
void EnableTraceMeters();
void DisableTraceMeters();
int TraceMetersEnabled();

// A position in the meter table: 0 = nothing more.
using TraceMeterPosition = size_t;
TraceMeterPosition FindFirstTraceMeterHeader(const char* pattern);
TraceMeterHeader* FindNextTraceMeterHeader(TraceMeterPosition* position, const char* pattern);
// Direct lookup, for the console and tests; null when the meter does not exist.
TraceMeterHeader* FindTraceMeterHeader(uint32_t line, const char* description);

constexpr int kMatchTrue = 1;
constexpr int kMatchFalse = 0;
constexpr int kMatchAbort = -1;
// Wildcard match of the whole text: * ? [set] [^set] [a-z] and \ for a literal character.
int MatchPatternFrom(const char* text, const char* pattern);
int MatchPattern(const char* text, const char* pattern);
inline int WildMatch(const char* text, const char* pattern) { return MatchPattern(text, pattern); }
// An empty pattern matches everything.
int MatchMeterPattern(const char* text, const char* pattern);
