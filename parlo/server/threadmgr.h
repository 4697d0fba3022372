#pragma once
// ThreadManager: the registry of the server's named worker threads under "Thread Lock".
// When every CRITICAL thread is activated the server becomes ACTIVE or STANDBY; a CRITICAL
// thread that stops without being told to is a failure of this side; the heartbeat to the
// OPC goes out once every CRITICAL thread has shown one. Server::MakeActive, MakeStandby,
// ReportFailure and SendActiveHeartBeat run inside "Thread Lock" and must not call back.
#include <string>

class ThreadEntry {
public:
    enum Type { NONCRITICAL = 0, CRITICAL = 1 };
    ThreadEntry(const char* name, int type) : m_Name(name ? name : ""), m_Type(type) {}
    virtual ~ThreadEntry() = default;
    ThreadEntry(const ThreadEntry&) = delete;
    ThreadEntry& operator=(const ThreadEntry&) = delete;

    // The console's list and dump texts.
    virtual std::string GetListHeader() const;
    virtual std::string GetListLine() const;
    virtual std::string GetDumpString() const;

    // The fields belong to "Thread Lock".
    std::string m_Name;
    long m_Handle = -1;  // the started thread's id; -1 until started (threads run detached)
    int m_Type;
    int m_Activated = 0;
    int m_Shutdown = 0;
    int m_Heartbeat = 0;
};

// Every call takes "Thread Lock" (except FindThreadUnlocked); any thread.
class ThreadManager {
public:
    using StartFunction = unsigned (*)(void* argument);

    // Builds the list; once, before any thread is registered.
    static void Init();
    // Appends an entry (type ThreadEntry::Type); the list owns it until RemoveThread.
    static void AddThread(const char* name, int type);
    // Unknown names are ignored; an activated thread is fatal.
    static void RemoveThread(const char* name);
    // Clears the shutdown flag and starts `function(argument)` on a detached thread (fatal for
    // an unknown name or when no thread can be made).
    static void StartThread(const char* name, StartFunction function, void* argument);
    // 0 when the thread was told to stop, else 1, the thread activated, and when it is the
    // last CRITICAL one, Server::MakeActive (active) or MakeStandby; fatal for an unknown name.
    [[nodiscard]] static int SetActivated(const char* name, int active);
    // No longer activated; a CRITICAL thread that was not told to stop reports a failure of
    // this side (Server::ReportFailure). Nothing for an unknown or inactive thread.
    static void ClearActivated(const char* name);
    // The thread showed a heartbeat; when every CRITICAL thread has, the active heartbeat
    // goes to the OPC (Server::SendActiveHeartBeat). Fatal for an unknown name.
    static void SetHeartbeat(const char* name);
    // Tells the thread (or every thread) to stop; unknown names are ignored.
    static void SetShutdown(const char* name);
    static void ShutdownAll();
    // The flags; 0 for an unknown name.
    static int IsActivated(const char* name);
    static int IsShutdown(const char* name);
    // The thread's handle as a number; -1 for an unknown or not started thread.
    static long GetThreadHandle(const char* name);
    // The caller holds "Thread Lock"; the entry lives until RemoveThread.
    static ThreadEntry* FindThreadUnlocked(const char* name);
    // The list texts of every entry (header first) and the dump of one ("" when unknown).
    static std::string ListThreads();
    static std::string DumpThread(const char* name);
};
