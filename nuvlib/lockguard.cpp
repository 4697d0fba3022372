#include "nuvlib/lockguard.h"

#include <iterator>

#include <cstdio>
#include <string>
#include <vector>

#include "nuvlib/ems.h"

namespace lockorder {

namespace {

// The order of the server's named locks; every name not listed is a leaf lock.
const char* const kOrder[] = {"Monitor",        "Thread Lock",         "CallLock",
                              "RTServerConfig", "Master Session Lock", "Session Lock"};

thread_local std::vector<std::string> t_held;
thread_local std::string t_text;

}  // namespace

int RankOf(const char* name) {
    if (name == nullptr) return kLeaf;
    // Lock names carry their namespace ("Global\\CallLock").
    std::string bare(name);
    if (const size_t slash = bare.rfind('\\'); slash != std::string::npos) bare.erase(0, slash + 1);
    for (size_t i = 0; i < sizeof kOrder / sizeof kOrder[0]; ++i)
        if (bare == kOrder[i]) return static_cast<int>(i);
    return kLeaf;
}

const char* CheckAcquire(const char* name) {
    const int rank = RankOf(name);
    for (const std::string& held : t_held) {
        const int heldRank = RankOf(held.c_str());
        // A leaf is taken alone; an ordered lock only after the ones before it.
        if (heldRank == kLeaf || (rank != kLeaf && rank <= heldRank)) {
            t_text = "Lock order: \"" + std::string(name ? name : "") + "\" taken while \"" +
                     held + "\" is held";
            return t_text.c_str();
        }
    }
    return nullptr;
}

void NoteAcquire(const char* name) {
    if (const char* inversion = CheckAcquire(name))
        EMSFailMessage("Assertion failed: %s.  File: %s.  Line %d\n", inversion, __FILE__, __LINE__);
    t_held.emplace_back(name ? name : "");
}

void NoteRelease(const char* name) {
    const std::string key = name ? name : "";
    for (auto it = t_held.rbegin(); it != t_held.rend(); ++it) {
        if (*it == key) {
            t_held.erase(std::next(it).base());
            return;
        }
    }
}

}  // namespace lockorder
