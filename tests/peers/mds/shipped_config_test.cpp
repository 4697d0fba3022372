// The stand-in MDS and a registering client, set up from the shipped configuration alone.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "tests/nuvlib/mds/mds_env.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kInstance = "ZUR\\parlo";

std::string ShippedFiles() {
    std::string files;
    for (const auto& e : fs::directory_iterator(PARLO_CONFIG_DIR))
        if (e.path().extension() == ".reg") files += " '" + e.path().string() + "'";
    return files;
}

// The port MDS listens on is the one value a test changes: the shipped one belongs to ./run.
testsupport::Child* StartMdsFromConfig() {
    const std::string process =
        std::string("SOFTWARE\\Quenlo Systems, Inc.\\") + kInstance + "\\MDS\\CurrentVersion\\Process";
    for (int attempt = 0; attempt < 5; ++attempt) {
        const std::string port = std::to_string(testsupport::FreePort());
        plat::RegKey k = mdstest::CreateKey(process);
        mdstest::SetString(k, "MDSPort", port);
        plat::RegCloseKey(k);
        auto* c = new testsupport::Child(
            {PARLO_MDS_BIN, "--port", port, "--instance", kInstance});
        if (!c->WaitLine("parlo-mds: listening").empty()) return c;
        delete c;
    }
    return nullptr;
}

TEST(ShippedConfiguration, ClientRegistersWithMdsFromTheShippedFilesAlone) {
    const std::string import = std::string(PARLO_REG_BIN) + " import" + ShippedFiles();
    ASSERT_EQ(std::system(import.c_str()), 0) << import;
    std::unique_ptr<testsupport::Child> mds(StartMdsFromConfig());
    ASSERT_NE(mds, nullptr);
    // The server's own client entry: handle 10.
    testsupport::Child client({MDS_PEER_BIN, "parlo", kInstance});
    // A value missing from the files ends the client at registration (exit 162) instead.
    EXPECT_EQ(client.WaitLine("REGISTERED"), "REGISTERED 10");
    EXPECT_EQ(client.WaitLine("INSERVICE"), "INSERVICE");
    EXPECT_NE(mds->WaitLine("parlo-mds: client 10 (parlo) in service"), "");
    client.Kill(SIGKILL);
    mds.reset();
    testsupport::RemoveNamespaceShm();
}

}  // namespace
