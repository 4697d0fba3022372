#include "nuvlib/strutil.h"

#include <cstring>

char* DuplicateString(const char* text) {
    if (text == nullptr) text = "";
    const size_t n = std::strlen(text);
    char* copy = new char[n + 1];
    std::memcpy(copy, text, n + 1);
    return copy;
}
