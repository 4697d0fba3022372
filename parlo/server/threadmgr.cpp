#include "parlo/server/threadmgr.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "nuvlib/ems.h"
#include "nuvlib/lockguard.h"
#include "parlo/common/ctilock.h"
#include "parlo/server/server.h"

namespace {

struct ThreadList {
    CTILockObject lock{1, nullptr, "Thread Lock", 0xFFFFFFFF, 0, 0};
    std::vector<std::unique_ptr<ThreadEntry>> entries;  // in the order added
};

ThreadList& List() {
    static ThreadList* list = new ThreadList;  // threads use it up to the process's exit
    return *list;
}

const char* Flag(int value) { return value ? "TRUE" : "FALSE"; }

bool AllCritical(int ThreadEntry::*flag) {
    for (const auto& e : List().entries)
        if (e->m_Type == ThreadEntry::CRITICAL && !((*e).*flag)) return false;
    return true;
}

}  // namespace

std::string ThreadEntry::GetListHeader() const {
    return "   Thread Name         Type          Act     Shut    Heart\n";
}

std::string ThreadEntry::GetListLine() const {
    const char* type = m_Type == NONCRITICAL ? "NONCRITICAL" : m_Type == CRITICAL ? "CRITICAL" : "UNKNOWN";
    char line[256];
    std::snprintf(line, sizeof line, "%-20s   %-11s   %-5s   %-5s   %-5s\n", m_Name.c_str(), type,
                  Flag(m_Activated), Flag(m_Shutdown), Flag(m_Heartbeat));
    return line;
}

std::string ThreadEntry::GetDumpString() const {
    char text[1024];
    std::snprintf(text, sizeof text,
                  "     ThreadName=%s ThreadHandle=%d\n     Activated=%s Shutdown=%s Heartbeat=%s\n",
                  m_Name.c_str(), static_cast<int>(m_Handle), Flag(m_Activated), Flag(m_Shutdown),
                  Flag(m_Heartbeat));
    return text;
}

void ThreadManager::Init() { (void)List(); }

ThreadEntry* ThreadManager::FindThreadUnlocked(const char* name) {
    for (const auto& e : List().entries)
        if (e->m_Name == (name ? name : "")) return e.get();
    return nullptr;
}

void ThreadManager::AddThread(const char* name, int type) {
    LockGuard<CTILockObject> hold(List().lock, "ThreadManager::AddThread");
    List().entries.push_back(std::make_unique<ThreadEntry>(name, type));
}

void ThreadManager::RemoveThread(const char* name) {
    LockGuard<CTILockObject> hold(List().lock, "ThreadManager::RemoveThread");
    auto& entries = List().entries;
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if ((*it)->m_Name != name) continue;
        if ((*it)->m_Activated)
            EMSFailMessage("ThreadManager::RemoveThread - Trying to remove ACTIVE thread %s", name);
        entries.erase(it);
        return;
    }
}

void ThreadManager::StartThread(const char* name, StartFunction function, void* argument) {
    LockGuard<CTILockObject> hold(List().lock, "ThreadManager::StartThread");
    ThreadEntry* entry = FindThreadUnlocked(name);
    if (!entry) EMSFailMessage("ThreadManager::StartThread - Trying to start unknown thread %s.", name);
    entry->m_Shutdown = 0;
    try {
        std::thread thread([function, argument] { function(argument); });
        entry->m_Handle = static_cast<long>(thread.native_handle());
        thread.detach();  // its handle is only a name: nothing waits for it
    } catch (...) {
        EMSFailMessage("ThreadManager::StartThread - Failure calling _beginthread for thread %s.", name);
    }
}

int ThreadManager::SetActivated(const char* name, int active) {
    LockGuard<CTILockObject> hold(List().lock, "ThreadManager::SetActivated");
    ThreadEntry* entry = FindThreadUnlocked(name);
    if (!entry)
        EMSFailMessage("ThreadManager::SetActivated - Trying to activate unknown thread %s.", name);
    if (entry->m_Shutdown) return 0;
    entry->m_Activated = 1;
    if (entry->m_Type == ThreadEntry::CRITICAL && AllCritical(&ThreadEntry::m_Activated) &&
        Server::sm_Server) {
        if (active)
            Server::sm_Server->MakeActive();
        else
            Server::sm_Server->MakeStandby();
    }
    return 1;
}

void ThreadManager::ClearActivated(const char* name) {
    LockGuard<CTILockObject> hold(List().lock, "ThreadManager::ClearActivated");
    ThreadEntry* entry = FindThreadUnlocked(name);
    if (!entry || !entry->m_Activated) return;
    entry->m_Activated = 0;
    if (!entry->m_Shutdown && entry->m_Type == ThreadEntry::CRITICAL && Server::sm_Server) {
        const std::string text = "ThreadManager::ClearActivated: " + entry->m_Name + " thread failed.";
        Server::sm_Server->ReportFailure(text.c_str());
    }
}

void ThreadManager::SetHeartbeat(const char* name) {
    LockGuard<CTILockObject> hold(List().lock, "ThreadManager::SetHeartbeat");
    ThreadEntry* entry = FindThreadUnlocked(name);
    if (!entry)
        EMSFailMessage("ThreadManager::SetHeartbeat - Trying to SetHeartbeat on unknown thread %s.",
                       name);
    entry->m_Heartbeat = 1;
    if (entry->m_Type == ThreadEntry::CRITICAL && AllCritical(&ThreadEntry::m_Heartbeat) &&
        Server::sm_Server)
        Server::sm_Server->SendActiveHeartBeat();
}

void ThreadManager::SetShutdown(const char* name) {
    LockGuard<CTILockObject> hold(List().lock, "ThreadManager::SetShutdown");
    if (ThreadEntry* entry = FindThreadUnlocked(name)) entry->m_Shutdown = 1;
}

void ThreadManager::ShutdownAll() {
    LockGuard<CTILockObject> hold(List().lock, "ThreadManager::ShutdownAll");
    for (const auto& e : List().entries) e->m_Shutdown = 1;
}

int ThreadManager::IsActivated(const char* name) {
    LockGuard<CTILockObject> hold(List().lock, "ThreadManager::IsActivated");
    ThreadEntry* entry = FindThreadUnlocked(name);
    return entry ? entry->m_Activated : 0;
}

int ThreadManager::IsShutdown(const char* name) {
    LockGuard<CTILockObject> hold(List().lock, "ThreadManager::IsShutdown");
    ThreadEntry* entry = FindThreadUnlocked(name);
    return entry ? entry->m_Shutdown : 0;
}

long ThreadManager::GetThreadHandle(const char* name) {
    LockGuard<CTILockObject> hold(List().lock, "ThreadManager::GetThreadHandle");
    ThreadEntry* entry = FindThreadUnlocked(name);
    return entry ? entry->m_Handle : -1;
}

std::string ThreadManager::ListThreads() {
    LockGuard<CTILockObject> hold(List().lock, "ThreadManager::ListThreads");
    std::string text = ThreadEntry("", 0).GetListHeader();
    for (const auto& e : List().entries) text += e->GetListLine();
    return text;
}

std::string ThreadManager::DumpThread(const char* name) {
    LockGuard<CTILockObject> hold(List().lock, "ThreadManager::DumpThread");
    ThreadEntry* entry = FindThreadUnlocked(name);
    return entry ? entry->GetDumpString() : std::string();
}
