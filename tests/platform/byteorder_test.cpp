// Byte order: each width and order against literal bytes, at an unaligned offset.
#include <gtest/gtest.h>

#include <array>
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

// Loads and stores at offset 1 of a filled buffer: unaligned, and a store must write its
// width and no byte around it.
template <typename T>
void Check(const Width<T>& w, const std::vector<Case>& cases) {
    constexpr uint8_t kFill = 0xA5;
    auto framed = [&](const std::vector<uint8_t>& bytes) {
        std::vector<uint8_t> b{kFill};
        b.insert(b.end(), bytes.begin(), bytes.end());
        b.push_back(kFill);
        return b;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << sizeof(T) * 8 << "-bit 0x" << std::hex << c.value);
        ASSERT_EQ(c.be.size(), sizeof(T));
        ASSERT_EQ(c.le.size(), sizeof(T));
        const T value = static_cast<T>(c.value);
        EXPECT_EQ(w.loadBE(framed(c.be).data() + 1), value);
        EXPECT_EQ(w.loadLE(framed(c.le).data() + 1), value);
        std::vector<uint8_t> be(sizeof(T) + 2, kFill), le(sizeof(T) + 2, kFill);
        w.storeBE(be.data() + 1, value);
        w.storeLE(le.data() + 1, value);
        EXPECT_EQ(be, framed(c.be));
        EXPECT_EQ(le, framed(c.le));
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
