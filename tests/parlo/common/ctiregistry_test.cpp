// CTIRegistry against the test's own store seeded from config/parlo.reg.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "nuvlib/regvalue.h"
#include "nuvlib/release.h"
#include "tests/parlo/server/server_fixture.h"

namespace {

using srvtest::Events;
using srvtest::ServerTest;

class RegistryTest : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        const std::string cmd = std::string(PARLO_REG_BIN) + " import " + PARLO_CONFIG_DIR + "/parlo.reg";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        registry_->Init("Parlo");  // the paths; every value read once
        Events::Take();
    }
    plat::RegKey Open(const std::string& path) {
        plat::RegKey k = nullptr;
        EXPECT_EQ(plat::RegCreateKey(plat::RegRoot(), path.c_str(), &k), 0u);
        keys_.emplace_back(k);
        return k;
    }
    void TearDown() override {
        for (plat::RegKey k : keys_) plat::RegCloseKey(k);
        ServerTest::TearDown();
    }
    std::vector<plat::RegKey> keys_;
};

TEST_F(RegistryTest, ReadsTheConfigurationOfItsSide) {
    const auto& config = registry_->Config();
    EXPECT_EQ(config.ListenPort, "42027");
    EXPECT_EQ(config.SecuredListenPort, "42028");
    EXPECT_EQ(config.CGPublicInterface, "127.0.0.1");
    EXPECT_EQ(config.TimerFrequency, 100u);
    EXPECT_EQ(registry_->Dynamic(CTIRegistry::MaxClientConnections), 6000u);
    EXPECT_EQ(registry_->Dynamic(CTIRegistry::MaxLockTimeout), 500u);
    EXPECT_EQ(registry_->DynamicKeyPath(),
              "SOFTWARE\\QUENLO SYSTEMS, INC.\\ZUR\\parlo\\CG\\CurrentVersion\\Parlo\\Dynamic");
    CTIRegistry sideB;
    sideB.SetIdentity("ZUR\\parlo", false);
    sideB.Init("Parlo");
    EXPECT_EQ(sideB.Config().CGPublicInterface, "127.0.0.2");
}

TEST_F(RegistryTest, SecurityModeDecidesWhichPortsAreNeeded) {
    plat::RegKey config = Open(registry_->ConfigKeyPath());
    ASSERT_EQ(plat::RegDeleteValue(config, "ListenPort"), 0u);
    RegSetDWORD(config, "SecurityMode", 1);
    CTIRegistry secureOnly;
    secureOnly.SetIdentity("ZUR\\parlo", true);
    secureOnly.Init("Parlo");  // the plain port is not read
    EXPECT_EQ(secureOnly.Config().ListenPort, "");
    EXPECT_EQ(secureOnly.Config().SecuredListenPort, "42028");
    ASSERT_EQ(plat::RegDeleteValue(config, "SecuredListenPort"), 0u);
    RegSetDWORD(config, "SecurityMode", 2);
    CTIRegistry neither;
    neither.SetIdentity("ZUR\\parlo", true);
    neither.Init("Parlo");
    ASSERT_EQ(plat::RegDeleteValue(config, "SecurityMode"), 0u);
    // Without SecurityMode both ports are needed: the missing one ends the process (exit 0).
    EXPECT_EXIT(
        {
            CTIRegistry mixed;
            mixed.SetIdentity("ZUR\\parlo", true);
            mixed.Init("Parlo");
        },
        ::testing::ExitedWithCode(0), "ServerMode registry is not available(.|\n)*E12EC003 ListenPort");
}

TEST_F(RegistryTest, StartCorrections) {
    plat::RegKey dynamic = Open(registry_->DynamicKeyPath());
    const struct {
        uint32_t stored, expected;
    } cases[] = {{4000, 15000}, {4001, 4001}, {0, 15000}, {0xFFFFFFFF, 15000}};
    for (const auto& c : cases) {
        RegSetDWORD(dynamic, "MaxQueueAllEventClient", c.stored);
        ASSERT_EQ(plat::RegDeleteValue(dynamic, "MaxLockTimeout"), 0u);
        CTIRegistry r;
        r.SetIdentity("ZUR\\parlo", true);
        r.Init("Parlo");
        uint32_t v = 0;
        ASSERT_EQ(RegGetDWORD(dynamic, "MaxQueueAllEventClient", &v), 1);
        EXPECT_EQ(v, c.expected);
        EXPECT_EQ(r.Dynamic(CTIRegistry::MaxQueueAllEventClient), c.expected);
        ASSERT_EQ(RegGetDWORD(dynamic, "MaxLockTimeout", &v), 1);
        EXPECT_EQ(v, 500u);
    }
}

TEST_F(RegistryTest, ChangesAreReportedInTheirOrderAndOnlyOnce) {
    plat::RegKey dynamic = Open(registry_->DynamicKeyPath());
    RegSetDWORD(dynamic, "MaxLockTimeout", 700);
    RegSetDWORD(dynamic, "CallEventTimeout", 10);
    RegSetDWORD(dynamic, "MaxClientConnections", 6000);  // unchanged
    registry_->ApplyDynamicChanges();
    auto events = Events::Take();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].id, 0x612E000Au);
    EXPECT_EQ(events[0].Text(), "3600|10|CallEventTimeout");
    EXPECT_EQ(events[1].Text(), "500|700|MaxLockTimeout");
    EXPECT_EQ(registry_->Dynamic(CTIRegistry::MaxLockTimeout), 700u);
    registry_->ApplyDynamicChanges();
    EXPECT_TRUE(Events::Take().empty());
    // A correction of the start is not applied to a live change.
    RegSetDWORD(dynamic, "MaxQueueAllEventClient", 10);
    registry_->ApplyDynamicChanges();
    EXPECT_EQ(registry_->Dynamic(CTIRegistry::MaxQueueAllEventClient), 10u);
    // A mandatory value deleted while running ends the process with exit 0.
    ASSERT_EQ(plat::RegDeleteValue(dynamic, "VerifySnapshot"), 0u);
    EXPECT_EXIT(registry_->ApplyDynamicChanges(), ::testing::ExitedWithCode(0),
                "E12EC003 VerifySnapshot\\|SOFTWARE.QUENLO SYSTEMS, INC..ZUR.parlo.CG.CurrentVersion.Parlo.Dynamic");
}

TEST_F(RegistryTest, GenerationCounterCountsModuloSixteen) {
    plat::RegKey config = Open(registry_->ConfigKeyPath());
    const struct {
        bool present;
        uint32_t stored, answer, next;
    } cases[] = {{false, 0, 0, 1}, {true, 15, 15, 0}, {true, 33, 1, 2}};
    for (const auto& c : cases) {
        if (c.present)
            RegSetDWORD(config, "GenerationCounter", c.stored);
        else
            plat::RegDeleteValue(config, "GenerationCounter");
        EXPECT_EQ(registry_->GenerationCounter(), c.answer);
        uint32_t v = 99;
        ASSERT_EQ(RegGetDWORD(config, "GenerationCounter", &v), 1);
        EXPECT_EQ(v, c.next);
    }
}

TEST_F(RegistryTest, BuildInfoIsWrittenOnlyWhenItChanged) {
    registry_->UpdateBuildInfo();
    auto events = Events::Take();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].id, 0x612EC00Cu);
    EXPECT_EQ(events[0].args[0], GetReleaseString());
    registry_->UpdateBuildInfo();
    EXPECT_TRUE(Events::Take().empty());
}

// A vanished interface value reads as an empty text, not as what the buffer held.
TEST_F(RegistryTest, VanishedInterfaceReadsEmpty) {
    char buffer[64];
    registry_->ReadCGPublicInterface(buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "127.0.0.1");
    plat::RegKey base = Open(registry_->BaseKeyPath());
    ASSERT_EQ(plat::RegDeleteValue(base, "CGPublicInterfaceA"), 0u);
    std::strcpy(buffer, "stale text");
    registry_->ReadCGPublicInterface(buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(Events::CountText(Events::Take(), "Failed to read the registry value for CGPublicInterface"), 1u);
}

}  // namespace
