#pragma once
// The process's resident set in bytes, from the kernel's statm (4 KB pages); 0 when unreadable.
#include <cstdio>

inline long ResidentBytes() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * 4096;
}
