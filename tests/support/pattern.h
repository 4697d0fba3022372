#pragma once
// Pattern look-ups for tests that read fields out of log and console lines. POSIX extended
// expressions ([0-9]+, [[:alnum:]_]+, no \d or \w): std::regex costs a heavy compile in every
// test file that includes it, this costs one.
#include <string>
#include <vector>

namespace testsupport {

// The first match of `pattern` in `text`: element 0 the whole match, then one element per
// group (empty text for a group that took no part). Empty when nothing matches; an invalid
// pattern fails the calling test and gives empty.
std::vector<std::string> Match(const std::string& text, const char* pattern);

// Group 1 of every match, left to right; matches do not overlap.
std::vector<std::string> MatchAll(const std::string& text, const char* pattern);

}  // namespace testsupport
