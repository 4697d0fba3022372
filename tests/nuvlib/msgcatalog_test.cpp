#include "nuvlib/msgcatalog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <cctype>
#include <cstring>
#include <set>
#include <sstream>

#include "platform/lasterror.h"
#include "tests/support/test_env.h"

namespace {

struct FormatCase {
    const char* format;
    std::vector<const char*> inserts;
    const char* expected;  // null: the format faults
};

TEST(MsgFormat, InsertsEscapesAndLineBreaks) {
    const FormatCase cases[] = {
        {"%1 and %2", {"a", "b"}, "a and b"},
        {"%2%1%2", {"x", "y"}, "yxy"},
        {"[%1!5s!][%1!-4s!]", {"ab"}, "[   ab][ab  ]"},
        {"%1!04d! %1!x! %1!X! %1!o! %1!u!", {"255"}, "0255 ff FF 377 255"},
        {"%1!ld! %1!I64d! %1!hd!", {"-7"}, "-7 -7 -7"},
        {"%1!.2s!", {"abcdef"}, "ab"},
        {"%1!c!", {"xyz"}, "x"},
        {"100%% done%. %!", {}, "100% done. !"},
        {"a%nb%tc%bd%re", {}, "a\nb\tc d\re"},
        {"first line\r\nsecond line\r\n", {}, "first line second line"},
        {"kept%0 and dropped", {}, "kept"},
        {"%10 %11", {"1", "2", "3", "4", "5", "6", "7", "8", "9", "ten", "eleven"}, "ten eleven"},
        {"%1%2%3%4%5", {"piece ", "by ", "piece", "", ""}, "piece by piece"},
        {"trailing %", {}, "trailing "},
        {"%3", {"a", "b"}, nullptr},
        {"%1!n!", {"a"}, nullptr},
        {"%1!*d!", {"a"}, nullptr},
        {"%1!f!", {"1.5"}, nullptr},
        {"%1!d", {"1"}, nullptr},
        {"%1!99999d!", {"1"}, nullptr},
    };
    for (const auto& c : cases) {
        std::string out;
        MsgFormatResult r = MsgFormat(c.format, c.inserts.data(),
                                      static_cast<int>(c.inserts.size()), false, &out);
        if (c.expected) {
            EXPECT_EQ(MsgFormatResult::Ok, r) << c.format;
            EXPECT_EQ(c.expected, out) << c.format;
        } else {
            EXPECT_EQ(MsgFormatResult::Fault, r) << c.format;
        }
    }
}

TEST(MsgFormat, IgnoringInsertsCopiesThemAndTheResultIsBounded) {
    std::string out;
    EXPECT_EQ(MsgFormatResult::Ok, MsgFormat("%1 and %2!d! %%", nullptr, 0, true, &out));
    EXPECT_EQ("%1 and %2!d! %", out);
    std::string big(500, 'x');
    const char* ins[] = {big.c_str()};
    EXPECT_EQ(MsgFormatResult::Ok, MsgFormat("%1%1%1", ins, 1, false, &out, 259));
    EXPECT_EQ(259u, out.size());
}

TEST(MsgCatalog, TraceTextKeepsTheWholeTraceAndOverrideFileReplacesTexts) {
    std::unique_ptr<MsgCatalog> cat(MsgCatalog::Load());
    ASSERT_TRUE(cat);
    ASSERT_NE(nullptr, cat->Find(0x21010003));
    EXPECT_STREQ("%1%2%3%4%5", cat->Find(0x21010003));
    EXPECT_EQ(nullptr, cat->Find(0x12345678));

    testsupport::TempDir dir;
    testsupport::WriteFile(dir / "texts.txt",
                           "# operator texts\n0x61010002\tEMS is up.\r\n0x12345678\tNew %1\n"
                           "garbage line\n0xZZ\tbad id\n");
    setenv("PARLO_MSG_CATALOG", (dir / "texts.txt").c_str(), 1);
    cat.reset(MsgCatalog::Load());
    ASSERT_TRUE(cat);
    EXPECT_STREQ("EMS is up.", cat->Find(0x61010002));
    EXPECT_STREQ("New %1", cat->Find(0x12345678));
    EXPECT_STREQ("%1%2%3%4%5", cat->Find(0x21010003));

    setenv("PARLO_MSG_CATALOG", (dir / "missing.txt").c_str(), 1);
    EXPECT_EQ(nullptr, MsgCatalog::Load());
    EXPECT_EQ(plat::ERROR_FILE_NOT_FOUND, plat::GetLastError());
    unsetenv("PARLO_MSG_CATALOG");
}

bool IsWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// Adds the id of each `lead`<word chars>( 0x<8 hex digits> in text; with `assigned`, the
// word chars must be there and an '=' takes the place of the '(', blanks around it allowed.
void ScanIds(const std::string& text, const char* lead, bool assigned, std::set<uint32_t>& ids) {
    const size_t n = std::strlen(lead);
    for (size_t at = text.find(lead); at != std::string::npos; at = text.find(lead, at + 1)) {
        size_t i = at + n;
        while (i < text.size() && IsWordChar(text[i])) ++i;
        if (assigned && i == at + n) continue;
        auto blanks = [&] {
            while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        };
        if (assigned) blanks();
        if (i >= text.size() || text[i] != (assigned ? '=' : '(')) continue;
        ++i;
        blanks();
        if (text.compare(i, 2, "0x") != 0 || i + 10 > text.size()) continue;
        const std::string hex = text.substr(i + 2, 8);
        if (hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) continue;
        ids.insert(static_cast<uint32_t>(std::stoul(hex, nullptr, 16)));
    }
}

// Every event id reported anywhere in the source tree has a text.
TEST(MsgCatalog, EveryEventIdInTheCodeHasAText) {
    namespace fs = std::filesystem;
    std::unique_ptr<MsgCatalog> cat(MsgCatalog::Load());
    ASSERT_TRUE(cat);
    std::set<uint32_t> used;
    const fs::path top = PARLO_SOURCE_DIR;
    size_t files = 0;
    for (const char* folder : {"nuvlib", "platform", "mdstimer", "ctimsg", "opcmsg", "parlo", "peers"}) {
        if (!fs::exists(top / folder)) continue;
        for (const auto& e : fs::recursive_directory_iterator(top / folder)) {
            auto ext = e.path().extension();
            if (!e.is_regular_file() || (ext != ".cpp" && ext != ".h")) continue;
            ++files;
            std::string text = testsupport::ReadFile(e.path());
            // The ids of EMSEvent...(0x........ and EMS_ID_... = 0x........, by a plain scan:
            // std::regex over the whole tree takes seconds in the sanitizer build.
            ScanIds(text, "EMSEvent", false, used);
            ScanIds(text, "EMS_ID_", true, used);
        }
    }
    ASSERT_GT(files, 0u);
    EXPECT_TRUE(used.count(0x21010003));  // the scan sees the library's own ids
    for (uint32_t id : used) EXPECT_NE(nullptr, cat->Find(id)) << std::hex << id;
}

}  // namespace
