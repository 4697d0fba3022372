#include "nuvlib/utf8utils.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Utf8Utils, LocalCodePageToUtf8CutsOnlyAtCharacterBoundaries) {
    ASSERT_TRUE(UTF8UtilsSetLocalCodePage("CP1252"));
    struct Case {
        std::string local;
        size_t field;
        std::string utf8;
    };
    const Case cases[] = {
        {"", 10, ""},
        {"abc", 10, "abc"},
        {"abc", 0, ""},
        {"abc", 3, "ab"},                          // room for 2 bytes and the terminator
        {"caf\xE9", 10, "caf\xC3\xA9"},            // é
        {"caf\xE9", 5, "caf"},                     // é would cross the field's last byte
        {"caf\xE9", 6, "caf\xC3\xA9"},
        {"\x80", 10, "\xE2\x82\xAC"},              // the euro sign is three bytes
        {"a\x80", 3, "a"},
        {"a\x80", 4, "a"},
        {"a\x80", 5, "a\xE2\x82\xAC"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(UTF8UtilsConvertToUTF8(c.local, c.field), c.utf8) << c.local << " " << c.field;
}

TEST(Utf8Utils, Utf8ToLocalCodePage) {
    ASSERT_TRUE(UTF8UtilsSetLocalCodePage("CP1252"));
    struct Case {
        std::string utf8;
        std::string local;
        size_t length;
    };
    const Case cases[] = {
        {"", "", 0},
        {"abc", "abc", 4},
        {"caf\xC3\xA9", "caf\xE9", 5},
        {"\xE2\x82\xAC", "\x80", 2},
        {"a\xE4\xB8\xAD" "b", "a?b", 4},   // a character CP1252 lacks
        {"a\xC3", "", 0},                  // truncated sequence
        {"\xC0\xAF", "", 0},               // overlong form
        {"\xFF", "", 0},
    };
    for (const Case& c : cases) {
        size_t length = 99;
        EXPECT_EQ(UTF8UtilsConvertUTF82String(c.utf8, &length), c.local) << c.utf8;
        EXPECT_EQ(length, c.length) << c.utf8;
        std::string inPlace = c.utf8;
        ConvertUTF82String(inPlace);
        EXPECT_EQ(inPlace, c.local);
    }
}

TEST(Utf8Utils, CodePageIsOneSettingAndUnknownNamesAreRefused) {
    ASSERT_TRUE(UTF8UtilsSetLocalCodePage("CP1252"));
    EXPECT_FALSE(UTF8UtilsSetLocalCodePage("NO-SUCH-CODEPAGE"));
    EXPECT_EQ(UTF8UtilsLocalCodePage(), "CP1252");
    ASSERT_TRUE(UTF8UtilsSetLocalCodePage("ISO-8859-15"));
    EXPECT_EQ(UTF8UtilsConvertToUTF8("\xA4", 10), "\xE2\x82\xAC");  // the euro sits at 0xA4 there
    EXPECT_EQ(UTF8UtilsConvertUTF82String("\xE2\x82\xAC"), "\xA4");
}

}  // namespace
