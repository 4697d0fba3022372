#include "tests/support/pattern.h"

#include <gtest/gtest.h>
#include <regex.h>

namespace testsupport {
namespace {

class Compiled {
public:
    explicit Compiled(const char* pattern) {
        ok_ = regcomp(&re_, pattern, REG_EXTENDED) == 0;
        EXPECT_TRUE(ok_) << "invalid pattern: " << pattern;
    }
    ~Compiled() {
        if (ok_) regfree(&re_);
    }
    Compiled(const Compiled&) = delete;
    Compiled& operator=(const Compiled&) = delete;

    // Groups of the first match at or after `from`; `end` gets the match's end offset.
    std::vector<std::string> At(const std::string& text, size_t from, size_t* end) const {
        std::vector<std::string> out;
        if (!ok_ || from > text.size()) return out;
        std::vector<regmatch_t> m(re_.re_nsub + 1);
        if (regexec(&re_, text.c_str() + from, m.size(), m.data(), from == 0 ? 0 : REG_NOTBOL) != 0)
            return out;
        for (const regmatch_t& g : m)
            out.push_back(g.rm_so < 0 ? std::string()
                                      : text.substr(from + g.rm_so, static_cast<size_t>(g.rm_eo - g.rm_so)));
        // An empty match moves on by one so that the scan ends.
        *end = from + static_cast<size_t>(m[0].rm_eo) + (m[0].rm_eo == m[0].rm_so ? 1 : 0);
        return out;
    }

private:
    regex_t re_{};
    bool ok_ = false;
};

}  // namespace

std::vector<std::string> Match(const std::string& text, const char* pattern) {
    size_t end = 0;
    return Compiled(pattern).At(text, 0, &end);
}

std::vector<std::string> MatchAll(const std::string& text, const char* pattern) {
    const Compiled re(pattern);
    std::vector<std::string> out;
    size_t from = 0;
    while (from <= text.size()) {
        std::vector<std::string> m = re.At(text, from, &from);
        if (m.empty()) break;
        out.push_back(m.size() > 1 ? m[1] : m[0]);
    }
    return out;
}

}  // namespace testsupport
