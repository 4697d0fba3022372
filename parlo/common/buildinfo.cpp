#include "parlo/common/buildinfo.h"

#include <sys/stat.h>

#include <cstdio>
#include <ctime>

#include "nuvlib/release.h"
#include "platform/clock.h"

void GetBuildDate(int* year, int* month, int* day, int* hour, int* minute, int* second) {
    *year = *month = *day = *hour = *minute = *second = 0;
    struct stat st {};
    if (::stat("/proc/self/exe", &st) != 0) return;
    // Local time as the platform layer defines it (UTC less its bias).
    const time_t local = st.st_mtime - static_cast<time_t>(plat::LocalBiasMinutes()) * 60;
    struct tm t {};
    if (::gmtime_r(&local, &t) == nullptr) return;
    *year = t.tm_year;
    *month = t.tm_mon + 1;
    *day = t.tm_mday;
    *hour = t.tm_hour;
    *minute = t.tm_min;
    *second = t.tm_sec;
}

std::string BuildDateText() {
    int year, month, day, hour, minute, second;
    GetBuildDate(&year, &month, &day, &hour, &minute, &second);
    char text[64];
    std::snprintf(text, sizeof text, "%02d/%02d/%02d %02d:%02d:%02d", month, day, year % 100,
                  hour, minute, second);
    return text;
}

std::string BuildText() {
    int year, month, day, hour, minute, second;
    GetBuildDate(&year, &month, &day, &hour, &minute, &second);
    char built[81];
    std::snprintf(built, sizeof built, ", Built %02d/%02d/%02d %02d:%02d:%02d", month, day,
                  year % 100, hour, minute, second);
    return std::string(GetReleaseString()) + built;
}
