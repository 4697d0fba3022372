#pragma once
// Per-test environment: every test process gets its own registry root, run directory
// and shared-memory namespace, so that tests running in parallel never meet.
#include <filesystem>
#include <string>

namespace testsupport {

// A directory removed with everything in it when the object goes.
class TempDir {
public:
    explicit TempDir(const std::string& tag = "t");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// The root of this test process's environment: PARLO_REGISTRY_ROOT, PARLO_RUN_DIR and
// PARLO_NAMESPACE point into it. Set up by the test main before any test runs.
const std::filesystem::path& EnvRoot();
std::filesystem::path RegistryRoot();
std::filesystem::path RunDir();
std::string Namespace();

// Reads a whole file as bytes.
std::string ReadFile(const std::filesystem::path& p);
void WriteFile(const std::filesystem::path& p, const std::string& bytes);

}  // namespace testsupport
