#include "nuvlib/regvalue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/byteorder.h"
#include "platform/lasterror.h"

namespace {

class RegValues : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(plat::RegCreateKey(plat::RegRoot(), "SOFTWARE\\Test", &key), 0u); }
    void TearDown() override { plat::RegCloseKey(key); }
    void Put(const char* name, uint32_t type, const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(plat::RegSetValue(key, name, type, bytes.data(), static_cast<uint32_t>(bytes.size())), 0u);
    }
    static std::vector<uint8_t> Dword(uint32_t v) {
        std::vector<uint8_t> b(4);
        plat::StoreLE32(b.data(), v);
        return b;
    }
    plat::RegKey key = nullptr;
};

TEST_F(RegValues, NumericReaders) {
    Put("Sz", plat::REG_SZ, {'a', 'b', 'c', 0});
    Put("Eight", plat::REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8});
    Put("D255", plat::REG_DWORD, Dword(255));
    Put("D256", plat::REG_DWORD, Dword(256));
    Put("D65535", plat::REG_DWORD, Dword(65535));
    Put("D65536", plat::REG_DWORD, Dword(65536));

    enum Reader { DWORD, SAFE, BYTE, WORD };
    const struct {
        Reader reader;
        const char* name;
        int result;
        uint32_t after;      // the variable afterwards (it starts as 0xEEEEEEEE / 0xEE / 0xEEEE)
        uint32_t lastError;  // 0xFFFF: left alone
    } cases[] = {
        {DWORD, "Sz", 0, 0x00636261, 0xFFFF},  // the bytes were copied all the same
        {SAFE, "Sz", 0, 0xEEEEEEEE, 0xFFFF},
        {DWORD, "Eight", 0, 0xEEEEEEEE, 234},
        {DWORD, "Missing", 0, 0xEEEEEEEE, 2},
        {SAFE, "D256", 1, 256, 0xFFFF},
        {BYTE, "D255", 1, 255, 0xFFFF},
        {BYTE, "D256", 0, 0xEE, 0xFFFF},
        {WORD, "D65535", 1, 65535, 0xFFFF},
        {WORD, "D65536", 0, 0xEEEE, 0xFFFF},
        {WORD, "Missing", 0, 0xEEEE, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        plat::SetLastError(0xFFFF);
        uint32_t d = 0xEEEEEEEE;
        uint8_t b = 0xEE;
        uint16_t w = 0xEEEE;
        int r = 0;
        uint32_t after = 0;
        switch (c.reader) {
            case DWORD: r = RegGetDWORD(key, c.name, &d); after = d; break;
            case SAFE: r = RegGetDWORDSafe(key, c.name, &d); after = d; break;
            case BYTE: r = RegGetBYTE(key, c.name, &b); after = b; break;
            case WORD: r = RegGetWORD(key, c.name, &w); after = w; break;
        }
        EXPECT_EQ(r, c.result);
        if (!(c.reader == DWORD && c.lastError == 234)) {
            EXPECT_EQ(after, c.after);
        }
        EXPECT_EQ(plat::GetLastError(), c.lastError);
    }
}

TEST_F(RegValues, BufferReaders) {
    Put("Empty", plat::REG_SZ, {0});
    Put("Text", plat::REG_SZ, {'h', 'i', 0});
    Put("NoNul", plat::REG_SZ, {'x', 'y'});
    Put("Expand", plat::REG_EXPAND_SZ, {'%', 'A', '%', 0});
    Put("Bin", plat::REG_BINARY, {0, 1, 0x80});

    char* text = reinterpret_cast<char*>(1);
    ASSERT_EQ(RegGetString(key, "Empty", &text), 1);
    EXPECT_STREQ(text, "");
    RegFreeBuffer(text);
    ASSERT_EQ(RegGetString(key, "Text", &text), 1);
    EXPECT_STREQ(text, "hi");
    RegFreeBuffer(text);
    ASSERT_EQ(RegGetString(key, "NoNul", &text), 1);  // still ends within its buffer
    EXPECT_STREQ(text, "xy");
    RegFreeBuffer(text);
    // Refusals leave nothing allocated (the sanitizer's leak check holds us to it).
    EXPECT_EQ(RegGetString(key, "Expand", &text), 0);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(RegGetString(key, "Bin", &text), 0);
    plat::SetLastError(0);
    EXPECT_EQ(RegGetString(key, "Missing", &text), 0);
    EXPECT_EQ(plat::GetLastError(), 2u);

    uint8_t* bytes = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(RegGetBinary(key, "Bin", &bytes, &length), 1);
    ASSERT_EQ(length, 3u);
    EXPECT_EQ(bytes[2], 0x80);
    RegFreeBuffer(bytes);
    EXPECT_EQ(RegGetBinary(key, "Text", &bytes, &length), 0);
    EXPECT_EQ(bytes, nullptr);
}

TEST_F(RegValues, Setters) {
    ASSERT_EQ(RegSetString(key, "S", ""), 1);
    ASSERT_EQ(RegSetString(key, "T", "abc"), 1);
    ASSERT_EQ(RegSetDWORD(key, "D", 0x12345678), 1);
    ASSERT_EQ(RegSetBOOL(key, "B", 1), 1);
    const uint8_t bin[] = {9, 8, 7};
    ASSERT_EQ(RegSetBinary(key, "Y", bin, 3), 1);
    const struct {
        const char* name;
        uint32_t type;
        uint32_t size;
    } stored[] = {{"S", plat::REG_SZ, 1}, {"T", plat::REG_SZ, 4}, {"D", plat::REG_DWORD, 4},
                  {"B", plat::REG_DWORD, 4}, {"Y", plat::REG_BINARY, 3}};
    for (const auto& s : stored) {
        uint32_t type = 0, size = 0;
        ASSERT_EQ(plat::RegQueryValue(key, s.name, &type, nullptr, &size), 0u);
        EXPECT_EQ(type, s.type) << s.name;
        EXPECT_EQ(size, s.size) << s.name;
    }
    uint32_t d = 0;
    EXPECT_EQ(RegGetDWORD(key, "D", &d), 1);
    EXPECT_EQ(d, 0x12345678u);

    // A failed write leaves its code as the last error.
    plat::SetLastError(0);
    std::string longName(20000, 'n');
    EXPECT_EQ(RegSetDWORD(key, longName.c_str(), 1), 0);
    EXPECT_EQ(plat::GetLastError(), 87u);
}

}  // namespace
