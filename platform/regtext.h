#pragma once
// The text form of registry values, shared by the store's ".values" files, `parlo-reg dump`
// and `parlo-reg import`:
//     "Name"=dword:0000000a    "Name"="text"    "Name"=hex:01,80    "Name"=expand:"%X%"
//     "Name"=multi:"a","b"     "Name"=hex(N):..  (any type; bytes kept exactly)
// A quoted text escapes '\' and '"' with a backslash. A hex list may go on over following
// lines when a line ends in '\'. Lines starting with ';' or '#' are comments. An import file
// adds key sections, "[Key\Sub]", relative to the registry root (a leading
// "HKEY_LOCAL_MACHINE\" is dropped).
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

struct RegValue {
    std::string name;
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

// One line, without its line end.
std::string FormatRegValue(const RegValue& v);

// Parses one value line (continuations already joined). false with *error set on a bad line.
bool ParseRegValue(std::string_view line, RegValue* out, std::string* error);

// Splits text into logical lines (continuations joined, comments and blank lines dropped)
// and hands each to fn with its first line number; fn returns false to stop.
void ForEachRegLine(std::string_view text,
                    const std::function<bool(std::string_view line, int lineNo)>& fn);

// Value names may not hold control characters (they would break the line form).
bool IsValidRegValueName(std::string_view name);

// "text" with its escapes, for the CLI.
std::string QuoteRegText(std::string_view text);

}  // namespace plat
