// Typed element bases: wire form by version, string cuts, decode bounds, validation and
// value texts.
#include <gtest/gtest.h>

#include "tests/ctimsg/trace_capture.h"

#include <cstring>
#include <string>
#include <vector>

#include "ctimsg/element.h"

namespace {

using Bytes = std::vector<uint8_t>;

using ctimsgtest::TraceCapture;

Bytes EncodeToBytes(const BaseElement& e, uint32_t version, int room = 512) {
    Bytes buf(static_cast<size_t>(room) + 1, 0xEE);
    int n = e.Encode(buf.data(), room, version);
    if (n < 0) return {0xDE, 0xAD};
    buf.resize(static_cast<size_t>(n));
    return buf;
}

// Element 528 has tag 100; 4 is a fixed-part id.
TEST(ElementEncode, NumbersByPlaceVersionAndPresence) {
    struct Case {
        const char* what;
        uint32_t id;
        bool present;
        uint32_t version;
        Bytes expected;
    };
    const Case cases[] = {
        {"fixed ushort", 4, true, 19, {0x12, 0x34}},
        {"fixed ushort v20", 4, true, 20, {0x12, 0x34}},
        {"floating ushort v19", 528, true, 19, {0x64, 0x02, 0x12, 0x34}},
        {"floating ushort v20", 528, true, 20, {0x00, 0x64, 0x00, 0x02, 0x12, 0x34}},
        {"absent fixed", 4, false, 19, {}},
        {"absent floating", 528, false, 20, {}},
    };
    for (const auto& c : cases) {
        USHORTElement e(c.id, true, true);
        if (c.present) e.Set(0x1234);
        EXPECT_EQ(EncodeToBytes(e, c.version), c.expected) << c.what;
    }

    UINTElement u(4, true, true);
    u.Set(0x01020304);
    EXPECT_EQ(EncodeToBytes(u, 9), (Bytes{1, 2, 3, 4}));
    INTElement i(4, true, true);
    i.Set(-2);
    EXPECT_EQ(EncodeToBytes(i, 9), (Bytes{0xFF, 0xFF, 0xFF, 0xFE}));
    UCHARElement c(4, true, true);
    c.Set(7);
    EXPECT_EQ(EncodeToBytes(c, 9), (Bytes{7}));
    BOOLElement b(4, true, true);
    b.Set(1);
    EXPECT_EQ(b.GetFromVersion(), 3u);
    EXPECT_EQ(EncodeToBytes(b, 9), (Bytes{0, 1}));
}

TEST(ElementEncode, RoomIsNeverExceeded) {
    USHORTElement fixed(4, true, true);
    fixed.Set(1);
    uint8_t buf[8];
    EXPECT_EQ(fixed.Encode(buf, 1, 19), -1);
    USHORTElement floating(528, true, true);
    floating.Set(1);
    EXPECT_EQ(floating.Encode(buf, 1, 19), -1);  // not even the header
    EXPECT_EQ(floating.Encode(buf, 3, 19), -1);  // header, but not the value
    EXPECT_EQ(floating.Encode(buf, 5, 20), -1);
    EXPECT_EQ(floating.Encode(buf, 6, 20), 6);
}

TEST(ElementEncode, StringCarriesItsNul) {
    STRINGElement s(477, 255, true, true);  // CTIText, tag 7
    s.Set("xyz");
    EXPECT_EQ(EncodeToBytes(s, 19), (Bytes{0x07, 0x04, 'x', 'y', 'z', 0}));
    EXPECT_EQ(EncodeToBytes(s, 20), (Bytes{0, 0x07, 0, 0x04, 'x', 'y', 'z', 0}));
}

TEST(ElementEncode, StringCutsForOlderClientsLeaveTheTextAlone) {
    struct Case {
        uint32_t id;
        size_t length;
        uint32_t version;
        size_t wireValue;
        const char* trace;  // nullptr: no trace
    };
    const Case cases[] = {
        {443, 60, 10, 40, "CallVariable max length is 39"},  // CallVariable1
        {443, 60, 11, 61, nullptr},
        {443, 39, 10, 40, nullptr},
        {622, 100, 19, 33, "truncating the element LoginName length from 101 to 33"},
        {622, 100, 20, 101, nullptr},
        {622, 31, 19, 32, nullptr},
    };
    for (const auto& c : cases) {
        STRINGElement s(c.id, 256, true, true);
        std::string text(c.length, 'a');
        s.Set(text);
        TraceCapture cap;
        Bytes wire = EncodeToBytes(s, c.version);
        std::string trace = cap.Take();
        size_t header = c.version >= 20 ? 4 : 2;
        ASSERT_EQ(wire.size(), header + c.wireValue) << c.id << " v" << c.version;
        EXPECT_EQ(wire.back(), 0);
        EXPECT_EQ(std::string(wire.begin() + static_cast<long>(header), wire.end() - 1),
                  text.substr(0, c.wireValue - 1));
        if (c.trace) {
            EXPECT_NE(trace.find(c.trace), std::string::npos) << trace;
        } else {
            EXPECT_EQ(trace, "");
        }
        EXPECT_EQ(s.Get(), text);
    }
}

TEST(ElementEncode, LengthTheHeaderCannotHoldIsRefused) {
    STRINGElement s(477, 4000, true, true);
    s.Set(std::string(300, 'q'));
    uint8_t buf[1024];
    EXPECT_EQ(s.Encode(buf, sizeof buf, 19), -1);
    EXPECT_EQ(s.Encode(buf, sizeof buf, 20), 305);
}

TEST(ElementDecode, StringFieldsKeepTheirText) {
    struct Case {
        const char* what;
        Bytes field;
        std::string text;
        const char* trace;  // nullptr: none
    };
    const Case cases[] = {
        {"full length without NUL", Bytes(12, 'k'), std::string(11, 'k'), nullptr},
        {"short without NUL", {0x41, 0x42}, "AB", "missing terminating null character"},
        {"NUL inside", {0x41, 0x00, 0x42}, "A", "Decode string length error"},
        {"proper", {0x41, 0x42, 0x00}, "AB", nullptr},
    };
    for (const auto& c : cases) {
        STRINGElement s(436, 12, true, true);
        TraceCapture cap;
        EXPECT_EQ(s.Decode(c.field.data(), static_cast<int>(c.field.size()),
                           static_cast<int>(c.field.size()), 9),
                  static_cast<int>(c.field.size()))
            << c.what;
        std::string trace = cap.Take();
        EXPECT_EQ(s.Get(), c.text) << c.what;
        EXPECT_TRUE(s.IsPresent());
        if (c.trace) {
            EXPECT_NE(trace.find(c.trace), std::string::npos) << c.what << ": " << trace;
        } else {
            EXPECT_EQ(trace, "") << c.what;
        }
    }
}

TEST(ElementDecode, LengthsOutsideTheFieldFail) {
    const uint8_t data[16] = {'a', 'b', 0};
    struct Case {
        int length;
        int available;
    };
    for (auto c : {Case{0, 16}, Case{13, 16}, Case{-1, 16}, Case{5, 4}}) {
        STRINGElement s(436, 12, true, true);
        TraceCapture cap;
        EXPECT_EQ(s.Decode(data, c.length, c.available, 9), -1) << c.length;
        EXPECT_NE(cap.Take().find("should be between 1 and 12"), std::string::npos);
        EXPECT_FALSE(s.IsPresent());
    }

    USHORTElement u(528, true, true);
    TraceCapture cap;
    EXPECT_EQ(u.Decode(data, 4, 16, 9), -1);
    EXPECT_NE(cap.Take().find("FieldLength 4, MaxBytes 16"), std::string::npos);
    UINTElement fixed(4, true, true);
    EXPECT_EQ(fixed.Decode(data, -1, 3, 9), -1);
    EXPECT_EQ(fixed.Decode(data, -1, 4, 9), 4);

    UNSPECElement raw(597, 8, true, true);
    std::vector<uint8_t> big(4001, 1);
    EXPECT_EQ(raw.Decode(big.data(), 4001, 4001, 9), -1);
    EXPECT_EQ(raw.Decode(big.data(), 4000, 4001, 9), 4000);
    EXPECT_EQ(raw.Decode(big.data(), -1, 4001, 9), -1);
    EXPECT_EQ(raw.Decode(big.data(), 0, 0, 9), 0);
    EXPECT_TRUE(raw.IsPresent());
}

TEST(ElementValidate, RequiredFieldsByVersionAndLengthLimits) {
    UINTElement u(4, true, true);
    u.SetFromVersion(9);
    EXPECT_EQ(u.Validate(8), 0);
    EXPECT_TRUE(u.IsValid());
    EXPECT_EQ(u.Validate(9), 6);
    EXPECT_FALSE(u.IsValid());
    UINTElement optional(4, false, true);
    EXPECT_EQ(optional.Validate(24), 0);

    STRINGElement s(436, 12, true, true);
    s.Set(std::string(11, 'a'));
    EXPECT_EQ(s.Validate(9), 0);
    s.Set(std::string(12, 'a'));
    EXPECT_EQ(s.Validate(9), 23);

    UNSPECElement raw(597, 8, true, true);
    uint8_t bytes[9] = {};
    raw.Set(bytes, 8);
    EXPECT_EQ(raw.Validate(10), 0);
    raw.Set(bytes, 9);
    EXPECT_EQ(raw.ValidateToSend(10), 23);
}

TEST(ElementText, ValueTextsOfTheBases) {
    auto text = [](const BaseElement& e) {
        std::string t;
        e.ValueText(t);
        return t;
    };
    UINTElement u(4, true, true);
    EXPECT_EQ(text(u), "<missing> ");
    u.Set(42);
    EXPECT_EQ(text(u), "42 ");
    u.Set(0xFFFFFFFF);
    EXPECT_EQ(text(u), "0xffffffff ");
    INTElement i(4, true, true);
    i.Set(-5);
    EXPECT_EQ(text(i), "-5 ");
    i.Set(-1);
    EXPECT_EQ(text(i), "0xffffffff ");
    USHORTElement us(4, true, true);
    us.Set(65535);
    EXPECT_EQ(text(us), "0xffffffff ");
    UCHARElement uc(4, true, true);
    uc.Set(255);
    EXPECT_EQ(text(uc), "0xffffffff ");
    BOOLElement b(4, true, true);
    b.Set(2);
    EXPECT_EQ(text(b), "True ");
    b.Set(0);
    EXPECT_EQ(text(b), "False ");
    STRINGElement s(436, 12, true, true);
    s.Set("ab");
    EXPECT_EQ(text(s), "\"ab\" ");
    UNSPECElement raw(597, 8, true, true);
    const uint8_t bytes[] = {1, 2, 3, 4, 5};
    raw.Set(bytes, 5);
    EXPECT_EQ(text(raw), "<0x01020304 05> ");
}

TEST(ElementTrace, NameColonValueAndTheTwoSwitches) {
    UINTElement plain(4, true, true);
    plain.Set(3);
    std::string t;
    EXPECT_EQ(plain.Trace(t), 1);
    EXPECT_EQ(t, "PeripheralID:3 ");

    UINTElement untraced(4, true, false);
    untraced.Set(3);
    EXPECT_EQ(untraced.Trace(t), 0);

    STRINGElement cv(443, 41, false, true);
    cv.Set("v");
    BaseElement::DisableCallVariableTrace();
    t.clear();
    EXPECT_EQ(cv.Trace(t), 0);
    EXPECT_EQ(t, "");
    BaseElement::EnableCallVariableTrace();
    EXPECT_EQ(cv.Trace(t), 1);
    EXPECT_EQ(t, "CallVariable1:\"v\" ");
}

TEST(ElementClear, FlagsAndOwnedValues) {
    STRINGElement s(436, 12, true, true);
    s.Set("abc");
    s.Clear();
    EXPECT_FALSE(s.IsPresent());
    EXPECT_EQ(s.Get(), "");
    EXPECT_EQ(s.MaxLength(), 0);
    UNSPECElement raw(597, 8, true, true);
    const uint8_t b[] = {1, 2};
    raw.Set(b, 2);
    EXPECT_EQ(raw.MaxLength(), 2);
    raw.Clear();
    int len = -1;
    EXPECT_EQ(raw.Get(len), nullptr);
    EXPECT_EQ(len, 0);
    UINTElement u(4, true, true);
    u.Set(9);
    u.Clear();
    EXPECT_EQ(u.Get(), 9u);  // the number stays, no longer present
    EXPECT_EQ(u.Encode(nullptr, 0, 9), 0);
}

}  // namespace

// Short raw values are held in the element itself, long ones on the heap: each length, in
// an order that crosses that boundary both ways, reads and encodes back as it was set.
TEST(ElementRawBytes, ValuesSurviveEveryLengthInTurn) {
    UNSPECElement raw(597, 4000, false, true);
    for (int n : {5, 16, 17, 300, 1, 0, 40, 16}) {
        std::vector<uint8_t> value(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) value[static_cast<size_t>(i)] = static_cast<uint8_t>(n + 3 * i);
        raw.Set(value.data(), n);
        int length = -1;
        const uint8_t* got = raw.Get(length);
        ASSERT_EQ(length, n);
        EXPECT_EQ(std::vector<uint8_t>(got, got + (got != nullptr ? n : 0)), value) << n;
        std::vector<uint8_t> wire(static_cast<size_t>(n) + 8);
        int written = raw.Encode(wire.data(), static_cast<int>(wire.size()), 24);
        ASSERT_GE(written, n) << n;
        EXPECT_EQ(std::vector<uint8_t>(wire.begin() + (written - n), wire.begin() + written), value)
            << n;
    }
}

namespace {

// The inline field copy at every length around its size classes: the bytes copied, and
// not one byte before or after.
TEST(CopyFieldBytes, EveryLengthExactly) {
    uint8_t src[48];
    for (int i = 0; i < 48; ++i) src[i] = static_cast<uint8_t>(i + 1);
    for (size_t n = 0; n <= 40; ++n) {
        uint8_t dst[64];
        std::memset(dst, 0xEE, sizeof dst);
        CopyFieldBytes(dst + 8, src, n);
        for (size_t i = 0; i < sizeof dst; ++i) {
            const uint8_t want = i >= 8 && i < 8 + n ? src[i - 8] : 0xEE;
            ASSERT_EQ(dst[i], want) << "length " << n << " byte " << i;
        }
    }
}

}  // namespace
