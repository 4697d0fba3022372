// The expanded call context: BINDATA in and out byte for byte, each malformed form's code,
// the checks and their order, and the cut at 2000 bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ctimsg/expandedcallcontext.h"
#include "nuvlib/emsinternal.h"
#include "platform/byteorder.h"
#include "tests/ctimsg/trace_capture.h"

namespace {

using Bytes = std::vector<uint8_t>;
using ctimsgtest::TraceCapture;

// Definitions for one test: scalar "Scalar" (id 11, 210 bytes), scalar "Short" (id 12, 10
// bytes), array "List" (id 13, 20 elements of 210 bytes), array "Big" (id 14, 300 elements).
class ContextTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(AddECCVariableDefinition(11, "Scalar", 400, 0, 0), 0);
        ASSERT_EQ(AddECCVariableDefinition(12, "Short", 10, 0, 0), 0);
        ASSERT_EQ(AddECCVariableDefinition(13, "List", 400, 20, 1), 0);
        ASSERT_EQ(AddECCVariableDefinition(14, "Big", 400, 300, 1), 0);
    }
    void TearDown() override {
        for (int32_t id : {11, 12, 13, 14}) DeleteECCVariableDefinition(id);
    }

    static Bytes Get(ExpandedCallContext& ecc, int* rc = nullptr) {
        int32_t size = -1;
        const uint8_t* data = nullptr;
        int code = ecc.GetECCBindata(size, data);
        if (rc != nullptr) *rc = code;
        return Bytes(data, data + size);
    }
};

Bytes Scalar(int32_t id, const std::string& value) {
    Bytes b(4);
    plat::StoreLE32(b.data(), static_cast<uint32_t>(id));
    b.insert(b.end(), value.begin(), value.end());
    b.push_back(0);
    return b;
}

Bytes Array(uint32_t word, const std::vector<std::string>& values, int count = -1) {
    Bytes b(4);
    plat::StoreLE32(b.data(), word);
    b.push_back(static_cast<uint8_t>(count < 0 ? values.size() : count));
    for (const auto& v : values) {
        b.insert(b.end(), v.begin(), v.end());
        b.push_back(0);
    }
    return b;
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST_F(ContextTest, SetBindataRefusesEachMalformedForm) {
    const Bytes good = Join({Scalar(11, "a"), Array(0u - 13u, {"x", "y"})});
    struct Case {
        const char* what;
        Bytes data;
        int32_t size;  // -2: the data's own size
        int expected;
    };
    const Case cases[] = {
        {"empty", {}, -2, 0},
        {"well formed", good, -2, 0},
        {"two bytes", {1, 0}, -2, -5},
        {"scalar without its NUL", Bytes{11, 0, 0, 0, 'a', 'b'}, -2, -5},
        {"count above the elements present", Array(0u - 13u, {"x"}, 2), -2, -5},
        {"array head cut", Bytes{0xF3, 0xFF, 0xFF, 0xFF}, -2, -5},
        {"one byte left over", Join({good, {1}}), -2, -5},
        {"three bytes left over", Join({good, {1, 2, 3}}), -2, -5},
        {"size 2001", Bytes(2001, 0), 2001, -1},
        {"size -1", good, -1, -1},
    };
    for (const auto& c : cases) {
        ExpandedCallContext ecc;
        int32_t size = c.size == -2 ? static_cast<int32_t>(c.data.size()) : c.size;
        EXPECT_EQ(ecc.SetECCBindata(size, c.data.data()), c.expected) << c.what;
        if (c.expected != 0) {
            EXPECT_TRUE(Get(ecc).empty()) << c.what << ": context unchanged";
        }
    }
    EXPECT_EQ(ParseBindataBase::ValidateBindata(2001, good.data()), -4);
    EXPECT_EQ(ParseBindataBase::ValidateBindata(-1, good.data()), -4);
}

TEST_F(ContextTest, BindataComesBackByteForByteUntilTheListsAreUsed) {
    // Unknown ids, marker records and arrays first: kept as set, dropped once rebuilt.
    const Bytes set = Join({Array(0u - 13u, {"a", "b"}), Scalar(0x7FFFFFFF, "mark"), Scalar(99, "?"),
                            Array(0x80000000u, {"m"}), Scalar(11, "one"), Scalar(11, "two")});
    ExpandedCallContext ecc;
    ASSERT_EQ(ecc.SetECCBindata(static_cast<int32_t>(set.size()), set.data()), 0);
    EXPECT_EQ(Get(ecc), set);

    std::vector<NameValueStruct> list;
    ASSERT_EQ(ecc.GetListByName(list), 0);
    // An id that occurs twice is listed twice; lookups find the first.
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].name, "Scalar");
    EXPECT_EQ(list[0].value, "one");
    EXPECT_EQ(list[1].value, "two");
    EXPECT_EQ(list[2].name, "List");
    EXPECT_EQ(list[3].index, 1);
    EXPECT_EQ(Get(ecc), Join({Scalar(11, "one"), Scalar(11, "two"), Array(0u - 13u, {"a", "b"})}));

    ASSERT_EQ(ecc.SetScalarValue("Scalar", "three"), 0);
    EXPECT_EQ(Get(ecc), Join({Scalar(11, "three"), Scalar(11, "two"), Array(0u - 13u, {"a", "b"})}));
}

TEST_F(ContextTest, ListsRoundTripThroughBindata) {
    ExpandedCallContext a;
    ASSERT_EQ(a.SetArrayValue("List", 3, "d"), 0);
    ASSERT_EQ(a.SetScalarValue("Short", "0123456789"), 0);
    ASSERT_EQ(a.SetArrayValue("List", 0, "a"), 0);
    // Setting index 3 of a new array gives four elements, the first three empty.
    EXPECT_EQ(Get(a), Join({Scalar(12, "0123456789"), Array(0u - 13u, {"a", "", "", "d"})}));

    Bytes bytes = Get(a);
    ExpandedCallContext b;
    ASSERT_EQ(b.SetECCBindata(static_cast<int32_t>(bytes.size()), bytes.data()), 0);
    std::vector<NameValueStruct> list;
    ASSERT_EQ(b.GetListByName(list), 0);
    ASSERT_EQ(list.size(), 5u);
    EXPECT_EQ(list[0].name, "Short");
    EXPECT_EQ(list[4].index, 3);
    EXPECT_EQ(list[4].value, "d");
    EXPECT_EQ(Get(b), bytes);

    std::string text;
    ASSERT_EQ(b.FormatByName(text), 0);
    EXPECT_NE(text.find("\nName                           Type        Index    Value"), std::string::npos);
    EXPECT_NE(text.find("\nShort                          Scalar               0123456789"),
              std::string::npos);
    EXPECT_NE(text.find("\nList                           Array       3        d"), std::string::npos);
}

TEST_F(ContextTest, ChecksAndTheirOrder) {
    ExpandedCallContext ecc;
    struct Case {
        const char* what;
        int32_t id;
        int32_t index;  // -100: a scalar set
        size_t length;
        int expected;
    };
    const Case cases[] = {
        {"index 256 before the definition", 77, 256, 1, -10},
        {"index -1 before the definition", 77, -1, 1, -11},
        {"undefined array", 77, 3, 1, -3},
        {"undefined scalar", 77, -100, 1, -3},
        {"scalar set on an array", 13, -100, 1, -8},
        {"array set on a scalar", 11, 0, 1, -9},
        {"index at the array's size", 13, 20, 1, -10},
        {"last index of the array", 13, 19, 1, 0},
        {"index 255 of a large array", 14, 255, 1, 0},
        {"210 bytes", 11, -100, 210, 0},
        {"211 bytes", 11, -100, 211, -6},
        {"10 bytes within MaximumLength 10", 12, -100, 10, 0},
        {"11 bytes over MaximumLength 10", 12, -100, 11, -6},
    };
    for (const auto& c : cases) {
        std::string value(c.length, 'v');
        int rc = c.index == -100 ? ecc.SetScalarValueByID(c.id, value)
                                 : ecc.SetArrayValueByID(c.id, c.index, value);
        EXPECT_EQ(rc, c.expected) << c.what;
    }
    // A name without a definition is refused without a trace.
    TraceCapture capture;
    EXPECT_EQ(ecc.SetScalarValue("Nobody", "x"), -3);
    EXPECT_EQ(capture.Take(), "");
}

TEST_F(ContextTest, OverflowKeepsTheLeadingVariablesWellFormed) {
    ExpandedCallContext ecc;
    // Nine scalars of 205 bytes each use 1845; the array head and seven 21-byte elements
    // reach 1997; the eighth element does not fit.
    ASSERT_EQ(AddECCVariableDefinition(20, "S0", 400, 0, 0), 0);
    for (int i = 0; i < 9; ++i) {
        std::string name = "S" + std::to_string(i);
        if (i > 0) {
            ASSERT_EQ(AddECCVariableDefinition(20 + i, name, 400, 0, 0), 0);
        }
        ASSERT_EQ(ecc.SetScalarValue(name, std::string(200, 'a' + i)), 0);
    }
    for (int i = 0; i < 10; ++i) ASSERT_EQ(ecc.SetArrayValue("List", i, std::string(20, 'x')), 0);
    int rc = 0;
    Bytes bytes = Get(ecc, &rc);
    EXPECT_EQ(rc, -12);
    ASSERT_EQ(bytes.size(), 1997u);
    EXPECT_EQ(ParseBindataBase::ValidateBindata(static_cast<int32_t>(bytes.size()), bytes.data()), 0);
    EXPECT_EQ(bytes[9 * 205 + 4], 7) << "count byte of the cut array";

    // The lists keep every variable: the next call cuts again.
    Get(ecc, &rc);
    EXPECT_EQ(rc, -12);
    for (int i = 0; i < 9; ++i) DeleteECCVariableDefinition(20 + i);
}

TEST_F(ContextTest, A256ElementArrayStopsAt255) {
    ExpandedCallContext ecc;
    ASSERT_EQ(ecc.SetArrayValue("Big", 255, "z"), 0);
    int rc = 0;
    Bytes bytes = Get(ecc, &rc);
    EXPECT_EQ(rc, -12);
    ASSERT_EQ(bytes.size(), 5u + 255u);
    EXPECT_EQ(bytes[4], 255);
    EXPECT_EQ(ParseBindataBase::ValidateBindata(static_cast<int32_t>(bytes.size()), bytes.data()), 0);
}

TEST_F(ContextTest, ParseDropsRecordsThatBreakTheirDefinitions) {
    const Bytes set = Join({Scalar(12, "01234567890"), Scalar(13, "array-as-scalar"),
                            Array(0u - 13u, {}), Array(0u - 11u, {"scalar-as-array"}),
                            Scalar(11, "kept")});
    ExpandedCallContext ecc;
    ASSERT_EQ(ecc.SetECCBindata(static_cast<int32_t>(set.size()), set.data()), 0);
    std::vector<NameValueStruct> list;
    ASSERT_EQ(ecc.GetListByName(list), 0);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].value, "kept");
}

// Success lines only under trace-mask bit 0x10000, error lines always; a malformed BINDATA is
// dumped in hex, sixteen bytes a line.
TEST_F(ContextTest, TracesByKindAndTheHexDump) {
    TraceCapture capture;
    EMSState().traceMask = 0;
    ExpandedCallContext ecc;
    ASSERT_EQ(ecc.SetScalarValue("Scalar", "x"), 0);
    EXPECT_EQ(ecc.SetArrayValueByID(13, -1, "y"), -11);
    EXPECT_EQ(capture.Take(),
              "The index for an expanded call variable array element is less than 0.  The index = "
              "-1.\n");

    EMSState().traceMask = 0x10000;
    ASSERT_EQ(ecc.SetScalarValue("Scalar", "x"), 0);
    EXPECT_EQ(capture.Take(),
              "Expanded call variable scalar value was successfully set.  ExpandedCallVariableID = "
              "11, Value = 'x'\n");

    EMSState().traceMask = 0;
    ASSERT_EQ(ecc.TraceByName(), 0);
    EXPECT_EQ(capture.Take(),
              "Name                           Type        Index    Value\n"
              "Scalar                         Scalar               x\n");

    Bytes cut = Join({Scalar(11, "0123456789"), Bytes{0xF3, 0xFF, 0xFF, 0xFF}});
    ScalarList scalars;
    ArrayList arrays;
    EXPECT_EQ(ecc.ParseBindata(cut.data(), static_cast<int32_t>(cut.size()), scalars, arrays), -5);
    EXPECT_TRUE(scalars.empty());
    EXPECT_EQ(capture.Take(),
              "The format of the data in the bindata is not correct.  The data is:\n"
              "Bindata size: 19  Bindata data (in hex):\n"
              "     0B 00 00 00 30 31 32 33 34 35 36 37 38 39 00 F3\n"
              "     FF FF FF\n");
}

}  // namespace
