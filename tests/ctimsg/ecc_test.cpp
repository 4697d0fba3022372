// The call context field of a message and the process's variable definitions.
#include <gtest/gtest.h>

#include "tests/ctimsg/trace_capture.h"

#include <string>
#include <thread>
#include <vector>

#include "ctimsg/eccdefs.h"
#include "ctimsg/eccelement.h"
#include "ctimsg/expandedcallcontext.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Wire(const ECCElement& e, uint32_t version, const ECCSelection* selection = nullptr) {
    Bytes buf(3000, 0xEE);
    int n = e.EncodeSelected(buf.data(), static_cast<int>(buf.size()), version, selection);
    if (n < 0) return {0xDE, 0xAD};
    buf.resize(static_cast<size_t>(n));
    return buf;
}

ECCSelection Select(std::initializer_list<const char*> names) {
    ECCSelection s;
    int id = 1;
    for (const char* n : names) s.push_back(ECCExpandedCallVariable{id++, n, 40, 0, 0});
    return s;
}

TEST(ECCSet, TotalsReplacementsAndLimits) {
    ECCElement ecc(511, 2500, false, true);
    EXPECT_EQ(ecc.GetFromVersion(), 6u);
    EXPECT_EQ(ecc.Set("a", "x"), 0);
    EXPECT_EQ(ecc.GetTotalBytes(), 6);
    EXPECT_EQ(ecc.Set("a", "xyz"), 0);
    EXPECT_EQ(ecc.GetTotalBytes(), 8);
    int s, a, rs, ra;
    ecc.GetCounts(s, a, rs, ra, nullptr);
    EXPECT_EQ(s, 1);
    EXPECT_EQ(a, 0);
    EXPECT_EQ(rs, 1);
    EXPECT_EQ(ecc.Set("a", 0, "y"), 0);  // an array element of the same name is another entry
    EXPECT_EQ(ecc.GetTotalBytes(), 8 + 7);
    std::string v;
    EXPECT_TRUE(ecc.GetVariable("a", v));
    EXPECT_EQ(v, "xyz");
    EXPECT_TRUE(ecc.GetArrayElement("a", 0, v));
    EXPECT_EQ(v, "y");
    EXPECT_FALSE(ecc.GetArrayElement("a", 1, v));

    struct Case {
        size_t name;
        size_t value;
        int code;
    };
    for (auto c : {Case{32, 1, 0}, Case{33, 1, 23}, Case{1, 210, 0}, Case{1, 211, 74}}) {
        ECCElement fresh(511, 2500, false, true);
        EXPECT_EQ(fresh.Set(std::string(c.name, 'n'), std::string(c.value, 'v')), c.code)
            << c.name << "/" << c.value;
        EXPECT_EQ(fresh.IsPresent(), c.code == 0);
    }
}

TEST(ECCSet, ContextFullAtExactly2500) {
    ECCElement ecc(511, 2500, false, true);
    // Ten scalars of 32 + 210 + 4 = 246 bytes make 2460; one of 40 more reaches 2500.
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(ecc.Set(std::string(31, 'a') + char('0' + i), std::string(210, 'v')), 0);
    }
    EXPECT_EQ(ecc.Set("last", std::string(32, 'v')), 0);
    EXPECT_EQ(ecc.GetTotalBytes(), 2500);
    ctimsgtest::TraceCapture cap;
    EXPECT_EQ(ecc.Set("b", ""), 73);
    EXPECT_NE(cap.Take().find("ECC Data size exceeded maximum"),
              std::string::npos);
    EXPECT_EQ(ecc.GetEntryCount(), 11);
    EXPECT_EQ(ecc.Set("last", std::string(33, 'v')), 73);  // growth by replacement counts too
}

TEST(ECCEncode, ScalarsArraysAndSelections) {
    ECCElement ecc(511, 2500, false, true);
    EXPECT_EQ(Wire(ecc, 19), Bytes{});  // absent
    ecc.Set("a", "x");
    EXPECT_EQ(Wire(ecc, 19), (Bytes{0x52, 0x04, 'a', 0, 'x', 0}));
    EXPECT_EQ(Wire(ecc, 20), (Bytes{0, 0x52, 0, 0x04, 'a', 0, 'x', 0}));

    ECCElement arr(511, 2500, false, true);
    arr.Set("a", 3, "x");
    EXPECT_EQ(Wire(arr, 20), (Bytes{0x00, 0x53, 0x00, 0x05, 0x03, 'a', 0, 'x', 0}));
    EXPECT_EQ(Wire(arr, 19), (Bytes{0x53, 0x05, 0x03, 'a', 0, 'x', 0}));

    ECCElement five(511, 2500, false, true);
    for (const char* n : {"v1", "v2", "v3", "v4", "v5"}) five.Set(n, "1");
    ECCSelection two = Select({"v2", "v4", "other"});
    EXPECT_EQ(Wire(five, 19, &two),
              (Bytes{0x52, 5, 'v', '2', 0, '1', 0, 0x52, 5, 'v', '4', 0, '1', 0}));
    ECCSelection caseDiffers = Select({"V2"});
    EXPECT_EQ(Wire(five, 19, &caseDiffers), Bytes{});
    ECCSelection empty;
    EXPECT_EQ(Wire(five, 19, &empty), Bytes{});
    int s, a, rs, ra;
    five.GetCounts(s, a, rs, ra, &empty);
    EXPECT_EQ(s + a, 0);
    five.GetCounts(s, a, rs, ra, &two);
    EXPECT_EQ(s, 2);

    uint8_t small[13];
    EXPECT_EQ(five.EncodeSelected(small, 13, 19, &two), -1);
    EXPECT_EQ(five.EncodeSelected(small, 7, 20, nullptr), -1);
}

// Values replaced again and again, longer and shorter, leave old bytes behind until the
// context rewrites its storage: every value, the byte total and the wire stay those of a
// context built with the final values only.
TEST(ECCSet, RepeatedReplacementsKeepEveryValue) {
    ECCElement ecc(511, 2500, false, true);
    ecc.Set("first", "1");
    ecc.Set("grid", 2, "g");
    ecc.Set("last", "z");
    std::string value;
    for (int round = 0; round < 200; ++round) {
        size_t length = round % 2 == 0 ? 200 : static_cast<size_t>(3 + round % 7);
        value.assign(length, static_cast<char>('a' + round % 26));
        ASSERT_EQ(ecc.Set("grid", 2, value), 0);
        ASSERT_EQ(ecc.Set("first", std::to_string(round)), 0);
    }
    ECCElement fresh(511, 2500, false, true);
    fresh.Set("first", "199");
    fresh.Set("grid", 2, value);
    fresh.Set("last", "z");
    std::string got;
    EXPECT_TRUE(ecc.GetArrayElement("grid", 2, got));
    EXPECT_EQ(got, value);
    EXPECT_TRUE(ecc.GetVariable("last", got));
    EXPECT_EQ(got, "z");
    EXPECT_EQ(ecc.GetTotalBytes(), fresh.GetTotalBytes());
    EXPECT_EQ(Wire(ecc, 24), Wire(fresh, 24));
    int s, a, rs, ra;
    ecc.GetCounts(s, a, rs, ra, nullptr);
    EXPECT_EQ(rs, 200);
    EXPECT_EQ(ra, 200);
}

// A selection matched before the context changed is not trusted: the encode matches again.
TEST(ECCEncode, StaleSelectionMatchIsNotUsed) {
    ECCSelection chosen = Select({"b", "c"});
    for (bool clearFirst : {false, true}) {
        ECCElement ecc(511, 2500, false, true);
        ecc.Set("a", "1");
        ecc.Set("b", "2");
        ECCSelectionMatch match;
        ecc.MatchSelection(&chosen, match);
        EXPECT_EQ(match.Scalars(), 1);
        if (clearFirst) {
            ecc.Clear();
            ecc.Set("c", "3");
            ecc.Set("a", "1");
        } else {
            ecc.Set("c", "3");
        }
        Bytes buf(64, 0xEE);
        int n = ecc.EncodeSelected(buf.data(), static_cast<int>(buf.size()), 19, &chosen, match);
        ASSERT_GE(n, 0);
        buf.resize(static_cast<size_t>(n));
        EXPECT_EQ(buf, Wire(ecc, 19, &chosen)) << "clear first " << clearFirst;
    }
}

// Fields as the decoder hands them over: the value pointer follows the header in the frame.
struct Field {
    Bytes frame;
    int headerSize;
    const uint8_t* value() const { return frame.data() + headerSize; }
    int length() const { return static_cast<int>(frame.size()) - headerSize; }
};

Field Make(uint8_t tag, Bytes body, uint32_t version) {
    Field f;
    if (version >= 20) {
        f.frame = {0, tag, 0, static_cast<uint8_t>(body.size())};
        f.headerSize = 4;
    } else {
        f.frame = {tag, static_cast<uint8_t>(body.size())};
        f.headerSize = 2;
    }
    f.frame.insert(f.frame.end(), body.begin(), body.end());
    return f;
}

Bytes Body(const std::string& name, const std::string& value, int index = -1) {
    Bytes b;
    if (index >= 0) b.push_back(static_cast<uint8_t>(index));
    b.insert(b.end(), name.begin(), name.end());
    b.push_back(0);
    b.insert(b.end(), value.begin(), value.end());
    b.push_back(0);
    return b;
}

TEST(ECCDecode, FieldsAreReadBackAndLongPartsCut) {
    for (uint32_t version : {19u, 20u}) {
        ECCElement ecc(511, 2500, false, true);
        Field scalar = Make(82, Body("name", "value"), version);
        EXPECT_EQ(ecc.Decode(scalar.value(), scalar.length(), scalar.length(), version),
                  scalar.length());
        Field element = Make(83, Body("arr", "v7", 7), version);
        EXPECT_EQ(ecc.Decode(element.value(), element.length(), element.length(), version),
                  element.length());
        std::string v;
        EXPECT_TRUE(ecc.GetVariable("name", v));
        EXPECT_EQ(v, "value");
        EXPECT_TRUE(ecc.GetArrayElement("arr", 7, v));
        EXPECT_EQ(v, "v7");
    }

    ECCElement ecc(511, 2500, false, true);
    Field longName = Make(82, Body(std::string(40, 'n'), "v"), 19);
    ctimsgtest::TraceCapture cap;
    EXPECT_EQ(ecc.Decode(longName.value(), longName.length(), longName.length(), 19),
              longName.length());
    EXPECT_NE(cap.Take().find("strlen 40, maxlen 32"),
              std::string::npos);
    std::vector<NameValueStruct> list;
    ecc.GetList(list);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].name, std::string(32, 'n'));
    EXPECT_EQ(list[0].isArray, 0);

    Field longValue = Make(82, Body("n", std::string(220, 'v')), 19);
    EXPECT_EQ(ecc.Decode(longValue.value(), longValue.length(), longValue.length(), 19),
              longValue.length());
    std::string v;
    ASSERT_TRUE(ecc.GetVariable("n", v));
    EXPECT_EQ(v.size(), 210u);
}

// A name, like a value, runs to its NUL or to the end of the field; what refuses a field is
// its length (above what is left, or 256 and more) and, for an array element, a field without
// room for its index.
TEST(ECCDecode, NameAndValueRunToTheirNulOrTheFieldsEnd) {
    struct Case {
        const char* what;
        uint8_t tag;
        Bytes body;
        int available;  // -1: the body's length
        int result;
        const char* name;  // the variable stored, when the field is taken
        int index;         // -1: a scalar
        const char* value;
    };
    const std::string filling(255, 'n');
    const Case cases[] = {
        {"name with NUL", 82, Body("name", "v"), -1, 7, "name", -1, "v"},
        {"name without NUL fills the field", 82, {'a', 'b', 'c'}, -1, 3, "abc", -1, ""},
        {"value without NUL ends at the field's end", 82, {'a', 0, 'x', 'y'}, -1, 4, "a", -1, "xy"},
        {"array name without NUL", 83, {3, 'a'}, -1, 2, "a", 3, ""},
        {"empty scalar field", 82, {}, -1, 0, "", -1, ""},
        {"array field without room for its index", 83, {}, -1, -1, nullptr, 0, nullptr},
        {"longer than what is left", 82, Body("a", "b"), 3, -1, nullptr, 0, nullptr},
        {"255 bytes without NUL: the name is cut", 82, Bytes(filling.begin(), filling.end()), -1,
         255, "nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn", -1, ""},
        {"256 bytes", 82, Bytes(256, 'n'), -1, -1, nullptr, 0, nullptr},
    };
    for (uint32_t version : {19u, 20u}) {
        for (const Case& c : cases) {
            ECCElement ecc(511, 2500, false, true);
            Field f = Make(c.tag, c.body, version);
            const int available = c.available < 0 ? f.length() : c.available;
            ctimsgtest::TraceCapture cap;
            EXPECT_EQ(ecc.Decode(f.value(), f.length(), available, version), c.result)
                << c.what << " v" << version;
            EXPECT_EQ(ecc.IsPresent(), c.name != nullptr) << c.what << " v" << version;
            if (c.name == nullptr) continue;
            std::vector<NameValueStruct> list;
            ecc.GetList(list);
            ASSERT_EQ(list.size(), 1u) << c.what;
            EXPECT_EQ(list[0].name, c.name) << c.what;
            EXPECT_EQ(list[0].isArray, c.index >= 0 ? 1 : 0) << c.what;
            EXPECT_EQ(list[0].index, c.index >= 0 ? c.index : 0) << c.what;
            EXPECT_EQ(list[0].value, c.value) << c.what;
        }
    }
}

TEST(ECCValidate, IndexesOutsideTheArrayRange) {
    struct Case {
        int32_t index;
        int code;
    };
    for (auto c : {Case{0, 0}, Case{255, 0}, Case{256, 61}, Case{300, 61}, Case{-1, 61}}) {
        ECCElement ecc(511, 2500, false, true);
        EXPECT_EQ(ecc.Set("a", c.index, "x"), 0);
        EXPECT_EQ(ecc.Validate(20), c.code) << c.index;
        EXPECT_EQ(ecc.IsValid(), c.code == 0);
    }
    ECCElement required(511, 2500, true, true);
    EXPECT_EQ(required.Validate(5), 0);
    EXPECT_EQ(required.Validate(6), 6);
}

TEST(ECCText, TotalsAndEntries) {
    ECCElement ecc(511, 2500, false, true);
    std::string t;
    ecc.ValueText(t);
    EXPECT_EQ(t, "<missing> ");
    ecc.Set("a", "x");
    ecc.Set("b", 2, "y");
    t.clear();
    ecc.ValueText(t);
    EXPECT_EQ(t, "<TotalBytes=13> a=\"x\" b[2]=\"y\" ");
    BaseElement::DisableECCTrace();
    t.clear();
    EXPECT_EQ(ecc.Trace(t), 0);
    BaseElement::EnableECCTrace();
    EXPECT_EQ(ecc.Trace(t), 1);
    EXPECT_EQ(t.rfind("ExpandedCallContxt:<TotalBytes=13>", 0), 0u);
    ecc.Clear();
    EXPECT_EQ(ecc.GetTotalBytes(), 0);
    EXPECT_EQ(ecc.GetEntryCount(), 0);
    EXPECT_FALSE(ecc.IsPresent());
}

TEST(ECCConcurrency, SettersAndReadersShareTheLock) {
    ECCElement ecc(511, 2500, false, true);
    auto writer = [&ecc](char prefix) {
        for (int i = 0; i < 150; ++i) ecc.Set(std::string(1, prefix) + std::to_string(i % 50), "v");
    };
    std::thread a(writer, 'a');
    std::thread b(writer, 'b');
    std::thread reader([&ecc] {
        std::string v;
        for (int i = 0; i < 300; ++i) ecc.GetVariable("a1", v);
    });
    a.join();
    b.join();
    reader.join();
    EXPECT_EQ(ecc.GetEntryCount(), 100);
    int s, arr, rs, ra;
    ecc.GetCounts(s, arr, rs, ra, nullptr);
    EXPECT_EQ(rs, 200);
    EXPECT_EQ(ecc.GetTotalBytes(), 20 * (2 + 1 + 4) + 80 * (3 + 1 + 4));
}

// The registry is process-wide; every case runs in a fresh process.
TEST(ECCDefinitions, AddUpdateDeleteAndLookups) {
    EXPECT_EQ(AddECCVariableDefinition(1, "user.a", 40, 0, 0), 0);
    EXPECT_EQ(AddECCVariableDefinition(2, "user.b", 40, 5, 1), 0);
    EXPECT_EQ(AddECCVariableDefinition(3, "user.c", 10, 0, 0), 0);
    ctimsgtest::TraceCapture cap;
    EXPECT_EQ(AddECCVariableDefinition(1, "other", 1, 0, 0), ECC_ALREADY_DEFINED);
    EXPECT_EQ(UpdateECCVariableDefinition(9, "x", 1, 0, 0), ECC_NOT_DEFINED);
    EXPECT_EQ(DeleteECCVariableDefinition(9), ECC_NOT_DEFINED);
    std::string traces = cap.Take();
    EXPECT_NE(traces.find("already defined. ExpandedCallVariableID = 1"), std::string::npos);
    EXPECT_NE(traces.find("Attempt to update a variable that is not defined.  ExpandedCallVariableID = 9"),
              std::string::npos);
    EXPECT_NE(traces.find("Attempt to delete"), std::string::npos);

    ECCExpandedCallVariable v;
    ASSERT_EQ(LookupECCVariableByID(1, v), 0);
    EXPECT_EQ(v.EnterpriseName, "user.a");
    EXPECT_EQ(LookupECCVariableByName("USER.A", v), ECC_NOT_DEFINED);
    ASSERT_EQ(LookupECCVariableByName("user.b", v), 0);
    EXPECT_EQ(v.IsArray, 1);
    EXPECT_EQ(v.MaximumArraySize, 5);

    EXPECT_EQ(UpdateECCVariableDefinition(3, "user.c", 10, 4, 1), 0);
    ASSERT_EQ(LookupECCVariableByID(3, v), 0);
    EXPECT_EQ(v.IsArray, 1);

    EXPECT_EQ(DeleteECCVariableDefinition(1), 0);
    EXPECT_EQ(AddECCVariableDefinition(4, "user.d", 1, 0, 0), 0);
    std::vector<ECCExpandedCallVariable> all;
    CopyECCVariableDefinitions(all);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].ExpandedCallVariableID, 2);
    EXPECT_EQ(all[1].ExpandedCallVariableID, 3);
    EXPECT_EQ(all[2].ExpandedCallVariableID, 4);
    int index = -1;
    EXPECT_EQ(FindECCVariableIndex(3, index), 0);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(FindECCVariableIndex(1, index), ECC_NOT_DEFINED);
}

// Contexts keep no copy of the definitions: an update takes effect at the next set.
TEST(ECCDefinitions, UpdateChangesWhatContextsAccept) {
    ASSERT_EQ(AddECCVariableDefinition(7, "user.g", 40, 0, 0), 0);
    ExpandedCallContext context;
    EXPECT_EQ(context.SetScalarValueByID(7, "before"), 0);
    ASSERT_EQ(UpdateECCVariableDefinition(7, "user.g", 40, 5, 1), 0);
    EXPECT_EQ(context.SetScalarValueByID(7, "after"), ECC_SCALAR_OP_ON_ARRAY);
    EXPECT_EQ(ExpandedCallContext().SetScalarValueByID(7, "fresh"), ECC_SCALAR_OP_ON_ARRAY);
    EXPECT_EQ(context.SetArrayValueByID(7, 4, "x"), 0);
    ASSERT_EQ(DeleteECCVariableDefinition(7), 0);
    EXPECT_EQ(context.SetArrayValueByID(7, 4, "y"), ECC_NOT_DEFINED);
}

// Append is the bare step behind Add: it neither looks for the id nor traces.
TEST(ECCDefinitions, AppendPutsTheRecordBehindTheOthers) {
    ASSERT_EQ(AddECCVariableDefinition(5, "user.e", 20, 0, 0), 0);
    ctimsgtest::TraceCapture cap;
    EXPECT_EQ(AppendECCVariableDefinition(ECCExpandedCallVariable{6, "user.f", 30, 3, 1}), 0);
    EXPECT_EQ(cap.Take(), "");
    std::vector<ECCExpandedCallVariable> all;
    CopyECCVariableDefinitions(all);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[1].ExpandedCallVariableID, 6);
    EXPECT_EQ(all[1].EnterpriseName, "user.f");
    EXPECT_EQ(all[1].MaximumArraySize, 3);
    EXPECT_EQ(AddECCVariableDefinition(6, "again", 1, 0, 0), ECC_ALREADY_DEFINED);
}

}  // namespace
