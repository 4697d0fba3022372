// The merge of a client's call context into one that may start from a call's: the call's own
// context when the client sends none, values cut to the configured length (the exact length
// kept), the first failure's code while the other records still apply, a repeated variable
// replacing the call's, and names and values masked in the traces.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ctimsg/eccdefs.h"
#include "ctimsg/eccelement.h"
#include "ctimsg/expandedcallcontext.h"
#include "ctimsg/names.h"
#include "tests/parlo/app/callrequests_fixture.h"

namespace {

using namespace calltest;

class ECCMergeTest : public CallRequestTest {
protected:
    ContextVariables variables_{7501, "m."};
    static BaseMSGPtr Request(const std::vector<NameValueStruct>& entries) {
        BaseMSGPtr m = CallRequestOf(MAKE_CALL_REQ, 1);
        for (const NameValueStruct& e : entries)
            EXPECT_EQ(0, e.isArray == 1 ? m->SetECC(el::ExpandedCallContxt, e.name, e.index, e.value)
                                        : m->SetECC(el::ExpandedCallContxt, e.name, e.value));
        return m;
    }
    // Merges and lists the result as sorted "name=value" / "name[i]=value".
    uint32_t Merge(BaseMSG& m, Call* call, std::vector<std::string>* out, bool tressik = false) {
        ExpandedCallContext target;
        const uint8_t* data = nullptr;
        int32_t size = -1;
        const uint32_t status = app_->MergeECCDataWithCallECC(&data, &size, target, m, call, tressik);
        *out = ContextEntries(data, size);
        return status;
    }
};

TEST_F(ECCMergeTest, WithoutVariablesTheResultIsTheCallsContext) {
    std::vector<std::string> got;
    BaseMSGPtr none = Request({});
    EXPECT_EQ(0u, Merge(*none, nullptr, &got));
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(0u, Merge(*none, CallWithContext(7001, "m."), &got));
    EXPECT_EQ((std::vector<std::string>{"m.code=c1", "m.color=red"}), got);
    // A variable the call has is replaced.
    BaseMSGPtr repeat = Request({{"m.code", 0, 0, "c2"}});
    EXPECT_EQ(0u, Merge(*repeat, Call::FindCall(kPeriph, 7001, -2, "", 0), &got));
    EXPECT_EQ((std::vector<std::string>{"m.code=c2", "m.color=red"}), got);
}

TEST_F(ECCMergeTest, AValueIsCutToItsLengthAndTheTraceMasksItsTexts) {
    (void)srvtest::Events::Take();
    std::vector<std::string> got;
    BaseMSGPtr m = Request({{"m.color", 0, 0, "abcdef"}, {"m.code", 0, 0, "0123456789"}});
    EXPECT_EQ(0u, Merge(*m, nullptr, &got));
    EXPECT_EQ((std::vector<std::string>{"m.code=0123456789", "m.color=abcde"}), got);
    const auto events = srvtest::Events::Take();
    EXPECT_EQ(1u, srvtest::Events::CountText(events, "Truncating ECC variable")) << "the exact length stays whole";
    for (const auto& e : events) {
        const std::string text = e.Text();
        if (text.find("Truncating") == std::string::npos) continue;
        size_t masks = 0;
        for (size_t at = text.find("[Expanded Call Context tracing disabled]"); at != std::string::npos;
             at = text.find("[Expanded Call Context tracing disabled]", at + 1))
            ++masks;
        EXPECT_EQ(3u, masks) << text;
        EXPECT_EQ(std::string::npos, text.find("abcdef"));
    }
}

TEST_F(ECCMergeTest, TheFirstFailureDecidesAndTheOtherRecordsStillApply) {
    ExpandedCallContext probe;
    const int beyond = probe.SetArrayValue("m.list", 5, "x");
    ASSERT_NE(0, beyond);
    std::vector<std::string> got;
    BaseMSGPtr m = Request({{"m.list", 1, 5, "x"},
                            {"m.color", 0, 0, "ok"},
                            {"m.list", 1, 7, "y"},
                            {"m.unknown", 0, 0, "skipped"},
                            {"m.list", 1, 1, "kept"}});
    EXPECT_EQ(ECCErrorToCTIError(beyond, 1), Merge(*m, nullptr, &got));
    EXPECT_EQ((std::vector<std::string>{"m.color=ok", "m.list[1]=kept"}), got);
}

}  // namespace
