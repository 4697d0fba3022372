#pragma once
// Helpers for tests of EMS as a whole: a process key in the test's registry, a temporary
// installation root whose log files are read back block by block, and a console seam that
// keeps what it is shown.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "nuvlib/ems.h"
#include "nuvlib/emsrecord.h"
#include "nuvlib/emsseams.h"
#include "platform/byteorder.h"
#include "platform/registry.h"
#include "tests/support/test_env.h"
#include "tests/support/wait.h"

namespace emstest {

// True once `condition` holds, false when it still does not after `ms` of real time.
inline bool Eventually(const std::function<bool()>& condition, int ms = 10000) {
    return testsupport::WaitFor(condition, ms);
}

constexpr const char* kBase = "ZUR\\t";
constexpr const char* kProcess = "abc";
inline const std::string kLibraryKey = "SOFTWARE\\Quenlo Systems, Inc.\\ZUR\\t\\EMS\\CurrentVersion\\Library";
inline const std::string kProcessKey = kLibraryKey + "\\Processes\\abc";

struct Record {
    uint32_t id = 0;
    uint8_t kind = 0;
    uint32_t code = 0;
    uint8_t flags = 0;
    uint8_t systemType = 0;
    uint8_t systemId = 0;
    uint8_t side = 0;
    EMSParsedRecord parsed;
    std::string Text() const {
        std::string all;
        for (uint32_t i = 0; i < parsed.argCount; ++i) all += parsed.args[i];
        return all;
    }
};

inline Record Decode(const uint8_t* block, uint32_t length) {
    Record r;
    r.id = plat::LoadLE32(block + emsoff::kEventId);
    r.kind = block[emsoff::kStatusKind];
    r.code = plat::LoadLE32(block + emsoff::kStatusCode);
    r.flags = block[emsoff::kFlags];
    r.systemType = block[emsoff::kSystemType];
    r.systemId = block[emsoff::kSystemId];
    r.side = block[emsoff::kSide];
    EXPECT_TRUE(EMSParseRecord(block, length, &r.parsed));
    return r;
}

// Every record of every log file of the process under dir, files in name order.
inline std::vector<Record> ReadLogs(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        std::string n = e.path().filename();
        if (n.rfind(std::string(kProcess) + "_", 0) == 0 && n.size() > 4 &&
            n.compare(n.size() - 4, 4, ".ems") == 0)
            names.push_back(n);
    }
    std::sort(names.begin(), names.end());
    std::vector<Record> records;
    for (const auto& n : names) {
        const std::string bytes = testsupport::ReadFile(dir / n);
        const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
        size_t at = 0;
        while (at + 8 <= bytes.size()) {
            const uint32_t total = plat::LoadLE32(p + at);
            if (total < 44 || total > EMS_RECORD_MAX || at + total > bytes.size()) {
                ADD_FAILURE() << "bad block at " << at << " in " << n;
                break;
            }
            EXPECT_EQ(plat::LoadLE32(p + at + total - 4), total);
            records.push_back(Decode(p + at, total));
            at += total;
        }
    }
    return records;
}

inline const Record* FindText(const std::vector<Record>& records, const std::string& text) {
    for (const auto& r : records)
        if (r.Text().find(text) != std::string::npos) return &r;
    return nullptr;
}

// What the console was shown (guarded: the settings watch reports from its own thread).
struct Console {
    static inline std::mutex mu;
    static inline std::vector<Record> shown;
    static void Print(const uint8_t* block, uint32_t length) {
        std::lock_guard<std::mutex> hold(mu);
        shown.push_back(Decode(block, length));
    }
    static std::vector<Record> Shown() {
        std::lock_guard<std::mutex> hold(mu);
        return shown;
    }
    static bool Saw(const std::string& text) {
        std::lock_guard<std::mutex> hold(mu);
        for (const auto& r : shown)
            if (r.Text().find(text) != std::string::npos) return true;
        return false;
    }
    static constexpr EMSSeams kSeams = {Print, nullptr, nullptr, nullptr,
                                        nullptr, nullptr, nullptr, nullptr};
};

// The registry and root of one EMS process.
class Process {
public:
    Process() {
        EXPECT_EQ(plat::RegCreateKey(plat::RegRoot(), kProcessKey.c_str(), &key), 0u);
        plat::RegKey library = nullptr;
        EXPECT_EQ(plat::RegCreateKey(plat::RegRoot(), kLibraryKey.c_str(), &library), 0u);
        plat::RegSetValue(library, "EMSSystemType", plat::REG_DWORD, "\x07\0\0\0", 4);
        plat::RegCloseKey(library);
        SetString("EMSLogFileLocation", "");
    }
    ~Process() { plat::RegCloseKey(key); }

    void SetDword(const char* name, uint32_t v) {
        uint8_t b[4];
        plat::StoreLE32(b, v);
        ASSERT_EQ(plat::RegSetValue(key, name, plat::REG_DWORD, b, 4), 0u);
    }
    void SetString(const char* name, const std::string& v) {
        ASSERT_EQ(plat::RegSetValue(key, name, plat::REG_SZ, v.c_str(), static_cast<uint32_t>(v.size() + 1)), 0u);
    }
    void SetBinary(const char* name, const std::vector<uint8_t>& v) {
        ASSERT_EQ(plat::RegSetValue(key, name, plat::REG_BINARY, v.data(), static_cast<uint32_t>(v.size())), 0u);
    }
    uint32_t GetDword(const char* name) {
        uint32_t v = 0, type = 0, size = 4;
        if (plat::RegQueryValue(key, name, &type, &v, &size) != 0) return 0xDEADBEEF;
        return v;
    }
    int Init() { return EMSInitialize(kBase, root.str().c_str(), kProcess, 3, 'B'); }
    std::vector<Record> Logs() const { return ReadLogs(root.path()); }

    testsupport::TempDir root{"ems"};
    plat::RegKey key = nullptr;
};

}  // namespace emstest
