#include "nuvlib/strutil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "nuvlib/release.h"

TEST(DuplicateString, CopiesIntoANewText) {
    const std::string long_text(5000, 'q');
    for (const char* text : {"", "abc", long_text.c_str()}) {
        char* copy = DuplicateString(text);
        EXPECT_STREQ(copy, text);
        EXPECT_NE(copy, text);
        delete[] copy;
    }
    char* empty = DuplicateString(nullptr);
    ASSERT_NE(empty, nullptr);
    EXPECT_STREQ(empty, "");
    delete[] empty;
}

TEST(ReleaseString, IsConstantAndNamesTheRelease) {
    const char* a = GetReleaseString();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, GetReleaseString());
    EXPECT_NE(std::string(a).find("Release"), std::string::npos);
}
