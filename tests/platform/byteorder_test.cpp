// Byte order: each width and order against literal bytes, at an unaligned offset.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "platform/byteorder.h"

namespace {

struct Case {
    uint64_t value;
    std::vector<uint8_t> be, le;
};

template <typename T>
struct Width {
    T (*loadBE)(const uint8_t*);
    T (*loadLE)(const uint8_t*);
    void (*storeBE)(uint8_t*, T);
    void (*storeLE)(uint8_t*, T);
};

// Loads and stores at offset 1 of a filled buffer: a store must write its width and no
// byte around it.
template <typename T>
void Check(const Width<T>& w, const std::vector<Case>& cases) {
    constexpr uint8_t kFill = 0xA5;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << sizeof(T) * 8 << "-bit 0x" << std::hex << c.value);
        ASSERT_EQ(c.be.size(), sizeof(T));
        ASSERT_EQ(c.le.size(), sizeof(T));
        uint8_t buf[sizeof(T) + 2];
        std::memcpy(buf + 1, c.be.data(), sizeof(T));
        EXPECT_EQ(w.loadBE(buf + 1), static_cast<T>(c.value));
        std::memcpy(buf + 1, c.le.data(), sizeof(T));
        EXPECT_EQ(w.loadLE(buf + 1), static_cast<T>(c.value));

        std::vector<uint8_t> want(sizeof(T) + 2, kFill);
        std::memcpy(want.data() + 1, c.be.data(), sizeof(T));
        std::memset(buf, kFill, sizeof buf);
        w.storeBE(buf + 1, static_cast<T>(c.value));
        EXPECT_EQ(std::vector<uint8_t>(buf, buf + sizeof buf), want);
        std::memcpy(want.data() + 1, c.le.data(), sizeof(T));
        std::memset(buf, kFill, sizeof buf);
        w.storeLE(buf + 1, static_cast<T>(c.value));
        EXPECT_EQ(std::vector<uint8_t>(buf, buf + sizeof buf), want);
    }
}

constexpr uint8_t kTopBitBE32[] = {0x80, 0x00, 0x00, 0x01};
static_assert(plat::LoadBE32(kTopBitBE32) == 0x80000001u);
static_assert([] {
    std::array<uint8_t, 2> b{};
    plat::StoreLE16(b.data(), 0x8001);
    return b[0] == 0x01 && b[1] == 0x80;
}());

}  // namespace

TEST(ByteOrder, EachWidthInBothOrdersMatchesItsBytes) {
    Check<uint16_t>({plat::LoadBE16, plat::LoadLE16, plat::StoreBE16, plat::StoreLE16},
                    {{0x0000, {0x00, 0x00}, {0x00, 0x00}},
                     {0x1234, {0x12, 0x34}, {0x34, 0x12}},
                     {0x0080, {0x00, 0x80}, {0x80, 0x00}},
                     {0x8001, {0x80, 0x01}, {0x01, 0x80}},
                     {0xFFFF, {0xFF, 0xFF}, {0xFF, 0xFF}}});
    Check<uint32_t>({plat::LoadBE32, plat::LoadLE32, plat::StoreBE32, plat::StoreLE32},
                    {{0x00000000, {0x00, 0x00, 0x00, 0x00}, {0x00, 0x00, 0x00, 0x00}},
                     {0x12345678, {0x12, 0x34, 0x56, 0x78}, {0x78, 0x56, 0x34, 0x12}},
                     {0x00000080, {0x00, 0x00, 0x00, 0x80}, {0x80, 0x00, 0x00, 0x00}},
                     {0x80000001, {0x80, 0x00, 0x00, 0x01}, {0x01, 0x00, 0x00, 0x80}},
                     {0xFFFFFFFE, {0xFF, 0xFF, 0xFF, 0xFE}, {0xFE, 0xFF, 0xFF, 0xFF}}});
    Check<uint64_t>({plat::LoadBE64, plat::LoadLE64, plat::StoreBE64, plat::StoreLE64},
                    {{0x0123456789ABCDEF,
                      {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF},
                      {0xEF, 0xCD, 0xAB, 0x89, 0x67, 0x45, 0x23, 0x01}},
                     {0x00000000FFFFFFFF,
                      {0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF},
                      {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00}},
                     {0x8000000000000001,
                      {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01},
                      {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80}},
                     {0xFFFFFFFFFFFFFFFF,
                      {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
                      {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}});
}
