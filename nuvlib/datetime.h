#pragma once
// Short date-time texts for status and dump output: "MM/DD hh:mm:ss", optionally followed by
// the age of the time, " (12 sec)", or " (+12 sec)" for a time ahead. Times are local times.
#include <cstddef>
#include <cstdint>

// Calendar fields of a point in time, as the time-of-day conversions give them.
struct SystemTime {
    uint16_t wYear;
    uint16_t wMonth;
    uint16_t wDayOfWeek;
    uint16_t wDay;
    uint16_t wHour;
    uint16_t wMinute;
    uint16_t wSecond;
    uint16_t wMilliseconds;
};

// FILETIME: 100 ns units since 1601-01-01. Both fail on fields or values out of range
// (years 1601 to 30827; a FILETIME below 2^63).
[[nodiscard]] bool SystemTimeToFileTime(const SystemTime& st, uint64_t* fileTime);
[[nodiscard]] bool FileTimeToSystemTime(uint64_t fileTime, SystemTime* st);
// The current local time as a FILETIME (the platform clock less the local bias).
uint64_t LocalFileTimeNow();

// A buffer of this size holds any of the texts below. Each writes into the caller's `text`
// (at most `size` bytes, NUL-terminated, cut when shorter) and returns `text`.
constexpr size_t kDateTimeTextSize = 128;

char* FormatSystemTimeText(const SystemTime& time, char* text, size_t size, bool withAge);
char* FormatFileTimeText(uint64_t fileTime, char* text, size_t size, bool withAge);
// Appends " (" ["+"] age ")" to the text already in the buffer.
char* AppendElapsedTimeText(uint64_t fileTime, char* text, size_t size);
