// parlo-reg run from the top of a checkout without PARLO_REGISTRY_ROOT finds ./run's store,
// var/registry; elsewhere it keeps to the platform's default.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/registry.h"
#include "tests/support/run_command.h"
#include "tests/support/test_env.h"

namespace {

// parlo-reg's exit status and what it wrote (stdout and stderr), run in dir with HOME at
// home and no PARLO_REGISTRY_ROOT.
int RunIn(const std::filesystem::path& dir, const std::filesystem::path& home, const std::string& args,
          std::string* out) {
    testsupport::Ran r = testsupport::RunCommand("cd '" + dir.string() + "' && env -u PARLO_REGISTRY_ROOT HOME='" +
                                                 home.string() + "' '" + PARLO_REG_BIN + "' " + args + " 2>&1");
    *out = std::move(r.out);
    return r.status;
}

TEST(RegistryStoreOfACheckout, FoundFromTheTopWithoutAnExport) {
    testsupport::TempDir checkout("checkout"), home("home");
    const auto store = checkout / "var" / "registry";
    ::setenv("PARLO_REGISTRY_ROOT", store.c_str(), 1);
    {
        plat::RegKeyHolder key;
        ASSERT_EQ(plat::RegCreateKey(plat::RegRoot(), "SOFTWARE\\Run", key.out()), 0u);
        const uint32_t v = 7;
        ASSERT_EQ(plat::RegSetValue(key.get(), "Port", plat::REG_DWORD, &v, 4), 0u);
    }
    ::setenv("PARLO_REGISTRY_ROOT", testsupport::RegistryRoot().c_str(), 1);

    std::string out;
    EXPECT_EQ(RunIn(checkout.path(), home.path(), "get SOFTWARE/Run Port", &out), 0) << out;
    EXPECT_EQ(out, "dword:00000007\n");
    // A write goes there too.
    EXPECT_EQ(RunIn(checkout.path(), home.path(), "set SOFTWARE/Run Port dword 8", &out), 0) << out;
    EXPECT_EQ(RunIn(checkout.path(), home.path(), "get SOFTWARE/Run Port", &out), 0) << out;
    EXPECT_EQ(out, "dword:00000008\n");

    // Below the top there is no var/registry: the default store, which is not there.
    EXPECT_EQ(RunIn(checkout / "var", home.path(), "get SOFTWARE/Run Port", &out), 1);
    EXPECT_EQ(out, "parlo-reg: no registry at " + home.str() + "/.parlo/registry (PARLO_REGISTRY_ROOT is not set)\n");
}

}  // namespace
