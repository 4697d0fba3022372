#include "nuvlib/datetime.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"

namespace {
constexpr uint64_t kUnitsPerSecond = 10000000ULL;
constexpr uint64_t kUnitsPerDay = 86400ULL * kUnitsPerSecond;

// Days from 1601-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int64_t daysFrom1970 = era * 146097 + static_cast<int64_t>(doe) - 719468;
    return daysFrom1970 + 134774;  // 1601-01-01 is 134774 days before 1970-01-01
}

void CivilFromDays(int64_t days1601, int64_t* y, unsigned* m, unsigned* d) {
    int64_t z = days1601 - 134774 + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

bool IsLeap(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

void Append(char* text, size_t size, const char* piece) {
    size_t used = strnlen(text, size);
    if (used + 1 >= size) return;
    std::snprintf(text + used, size - used, "%s", piece);
}
}  // namespace

bool SystemTimeToFileTime(const SystemTime& st, uint64_t* fileTime) {
    static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (st.wYear < 1601 || st.wYear > 30827 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1)
        return false;
    unsigned monthDays = kDays[st.wMonth - 1] + (st.wMonth == 2 && IsLeap(st.wYear) ? 1 : 0);
    if (st.wDay > monthDays || st.wHour > 23 || st.wMinute > 59 || st.wSecond > 59 ||
        st.wMilliseconds > 999)
        return false;
    uint64_t days = static_cast<uint64_t>(DaysFromCivil(st.wYear, st.wMonth, st.wDay));
    uint64_t seconds = st.wHour * 3600ULL + st.wMinute * 60ULL + st.wSecond;
    *fileTime = days * kUnitsPerDay + seconds * kUnitsPerSecond + st.wMilliseconds * 10000ULL;
    return true;
}

bool FileTimeToSystemTime(uint64_t fileTime, SystemTime* st) {
    if (fileTime >= 0x8000000000000000ULL) return false;
    uint64_t days = fileTime / kUnitsPerDay;
    uint64_t rest = fileTime % kUnitsPerDay;
    int64_t y;
    unsigned m, d;
    CivilFromDays(static_cast<int64_t>(days), &y, &m, &d);
    st->wYear = static_cast<uint16_t>(y);
    st->wMonth = static_cast<uint16_t>(m);
    st->wDay = static_cast<uint16_t>(d);
    st->wDayOfWeek = static_cast<uint16_t>((days + 1) % 7);  // 1601-01-01 was a Monday
    st->wHour = static_cast<uint16_t>(rest / (3600 * kUnitsPerSecond));
    st->wMinute = static_cast<uint16_t>(rest / (60 * kUnitsPerSecond) % 60);
    st->wSecond = static_cast<uint16_t>(rest / kUnitsPerSecond % 60);
    st->wMilliseconds = static_cast<uint16_t>(rest / 10000 % 1000);
    return true;
}

uint64_t LocalFileTimeNow() {
    return plat::FileTimeNow() -
           static_cast<uint64_t>(static_cast<int64_t>(plat::LocalBiasMinutes()) * 600000000LL);
}

char* AppendElapsedTimeText(uint64_t fileTime, char* text, size_t size) {
    int64_t difference = static_cast<int64_t>(LocalFileTimeNow() - fileTime);
    bool ahead = difference < 0;
    // The magnitude in unsigned arithmetic: no overflow at the ends of the range, and an
    // age past what 32 bits of seconds hold stays at their largest value.
    uint64_t magnitude = ahead ? 0 - static_cast<uint64_t>(difference) : static_cast<uint64_t>(difference);
    uint64_t rounded = magnitude / 10000000 + (magnitude % 10000000 >= 5000000 ? 1 : 0);
    int32_t s = static_cast<int32_t>(std::min<uint64_t>(rounded, INT32_MAX));
    char age[100];
    // Tenths are cut, not rounded.
    int64_t tenths;
    const char* unit;
    if (s <= 120) {
        std::snprintf(age, sizeof age, "%d sec", s);
    } else {
        if (s <= 7200) {
            tenths = s * 10LL / 60;
            unit = "min";
        } else if (s <= 172800) {
            tenths = s * 10LL / 3600;
            unit = "hr";
        } else {
            tenths = s * 10LL / 86400;
            unit = "day";
        }
        std::snprintf(age, sizeof age, "%lld.%lld %s", static_cast<long long>(tenths / 10),
                      static_cast<long long>(tenths % 10), unit);
    }
    char suffix[110];
    std::snprintf(suffix, sizeof suffix, " (%s%s)", ahead ? "+" : "", age);
    Append(text, size, suffix);
    return text;
}

char* FormatFileTimeText(uint64_t fileTime, char* text, size_t size, bool withAge) {
    if (size == 0) return text;
    SystemTime st;
    if (fileTime == 0) {
        std::snprintf(text, size, "--");
    } else if (!FileTimeToSystemTime(fileTime, &st)) {
        std::snprintf(text, size, "Invalid");
    } else {
        std::snprintf(text, size, "%02d/%02d %02d:%02d:%02d", st.wMonth, st.wDay, st.wHour,
                      st.wMinute, st.wSecond);
        if (withAge) AppendElapsedTimeText(fileTime, text, size);
    }
    return text;
}

char* FormatSystemTimeText(const SystemTime& time, char* text, size_t size, bool withAge) {
    if (size == 0) return text;
    uint64_t fileTime = 0;
    if (!SystemTimeToFileTime(time, &fileTime)) {
        std::snprintf(text, size, "Invalid");
        return text;
    }
    return FormatFileTimeText(fileTime, text, size, withAge);
}
