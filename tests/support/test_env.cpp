#include "tests/support/test_env.h"

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace fs = std::filesystem;

namespace testsupport {

namespace {
std::atomic<unsigned> g_counter{0};

fs::path MakeUnique(const std::string& tag) {
    const char* base = std::getenv("TMPDIR");
    fs::path dir = base && *base ? fs::path(base) : fs::temp_directory_path();
    for (;;) {
        fs::path p = dir / ("parlo-" + tag + "-" + std::to_string(getpid()) + "-" +
                            std::to_string(g_counter.fetch_add(1)));
        std::error_code ec;
        if (fs::create_directory(p, ec)) return p;
        if (ec) throw std::runtime_error("cannot create " + p.string() + ": " + ec.message());
    }
}

struct Root {
    fs::path path;
    pid_t owner = getpid();
    Root() {
        path = MakeUnique("env");
        fs::create_directories(path / "registry");
        fs::create_directories(path / "run");
        setenv("PARLO_REGISTRY_ROOT", (path / "registry").c_str(), 1);
        setenv("PARLO_RUN_DIR", (path / "run").c_str(), 1);
        // Process ids come round again (and other suites share /dev/shm): a random part
        // keeps a test from finding what an earlier process of the same id left behind,
        // such as counter blocks whose dead writer's id now belongs to a live process.
        std::ostringstream ns;
        ns << "pt" << getpid() << '-' << std::hex << (std::random_device{}() & 0xFFFFFF);
        setenv("PARLO_NAMESPACE", ns.str().c_str(), 1);
    }
    ~Root() {
        // A forked child (death tests, spawned peers) must not remove its parent's tree.
        if (getpid() == owner && !std::getenv("PARLO_KEEP_TEST_DIRS")) {
            std::error_code ec;
            fs::remove_all(path, ec);
        }
    }
};

Root& TheRoot() {
    static Root root;
    return root;
}
}  // namespace

TempDir::TempDir(const std::string& tag) : path_(MakeUnique(tag)) {}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

const fs::path& EnvRoot() { return TheRoot().path; }
fs::path RegistryRoot() { return EnvRoot() / "registry"; }
fs::path RunDir() { return EnvRoot() / "run"; }
std::string Namespace() {
    EnvRoot();
    return std::getenv("PARLO_NAMESPACE");
}

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const fs::path& p, const std::string& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << bytes;
}

}  // namespace testsupport
