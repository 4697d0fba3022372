#pragma once
// Message-mode named pipes: a listening server that hands every client to a thread of its
// own. On this host a pipe is a Unix-domain SOCK_SEQPACKET socket under the run directory
// (message boundaries kept), created with mode 0600 so that only our own user can connect.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "nuvlib/lock.h"

// Error words the pipe layer reports (the thread's last error, or a call's result). They
// are the platform's numbers (platform/lasterror.h); a few socket errors read as the pipe
// errors a named pipe's caller expects (a peer gone: 109; no server: 2; all instances
// taken: 231; a message too long: 234).
constexpr uint32_t PIPE_ERROR_INVALID_HANDLE = 6;
constexpr uint32_t PIPE_ERROR_BROKEN_PIPE = 109;
constexpr uint32_t PIPE_ERROR_BAD_PATHNAME = 161;
constexpr uint32_t PIPE_ERROR_MORE_DATA = 234;
constexpr uint32_t PIPE_ERROR_PIPE_BUSY = 231;

// The calling thread's last error as the pipe layer set it.
uint32_t NamedPipeLastError();
void NamedPipeSetLastError(uint32_t code);

// The socket file of a pipe name: "<run dir>/pipe/<name>" with each backslash made '_'.
// Empty when the result would not fit a socket address.
std::string NamedPipeSocketPath(const std::string& name);

// Creates the listening socket of a pipe name (mode 0600; a stale socket file is replaced,
// a live server's is not: 231). Returns the descriptor, which the caller owns and closes,
// or -1 with the last error set.
[[nodiscard]] int NamedPipeListen(const std::string& name, int backlog);

class NamedPipe {
public:
    static constexpr size_t kMaxName = 260;

    NamedPipe(const char* pipeName, const char* serverName = nullptr);
    virtual ~NamedPipe();
    NamedPipe(const NamedPipe&) = delete;
    NamedPipe& operator=(const NamedPipe&) = delete;

    // Connects this instance: 0 on success, else the error (also the last error).
    [[nodiscard]] virtual uint32_t Open() = 0;

    // Reads one message of at most size bytes into buffer (the caller's; nothing is kept).
    // true with *bytesRead set; false with the last error set: 234 when the message was
    // longer (it is dropped; *bytesRead = size), 109 when the client went away, 6 when
    // disconnected.
    [[nodiscard]] bool ReadServer(void* buffer, uint32_t size, uint32_t* bytesRead);
    // Writes buffer as one message, blocking while the client's side is full. true once
    // it is queued; false with the last error set (109 client gone, 6 disconnected).
    [[nodiscard]] bool WriteServer(const void* buffer, uint32_t size);
    // Ends the connection; waits for a write in progress on another thread.
    void Disconnect();
    // Shuts the connection down at once without waiting for anything: a read or write
    // blocked on another thread fails. Disconnect still follows.
    void Abort();
    // Disconnects, drops one reference and deletes the object when none is left: the
    // caller must not touch the object afterwards.
    void Release();

    const std::string& PipeName() const { return name_; }
    const std::string& FullPath() const { return fullPath_; }
    const std::string& UserName() const { return userName_; }
    bool IsConnected() const { return fd_.load() >= 0 && !disconnected_.load(); }

protected:
    // Takes ownership of a connected socket.
    void Attach(int fd);

    std::string name_;
    std::string server_;
    std::string fullPath_;
    std::string userName_;
    std::atomic<int> fd_{-1};
    std::atomic<bool> disconnected_{false};
    std::atomic<int> refCount_{1};
    LockObject readLock_;   // "<name>_Read"
    LockObject writeLock_;  // "<name>_Write": also guards opening and disconnecting

    friend class WriteLockHolder;
};

class NamedPipeServer;
// Runs on a thread of its own for every instance, connected or not (IsConnected tells),
// and owns the instance: it deletes it or calls Release when done.
using NamedPipeFunction = void (*)(NamedPipeServer* instance, void* context);

class NamedPipeServer : public NamedPipe {
public:
    // Creates the listening object (reference count 1) and starts its listen thread, which
    // uses the object for the life of the process: the caller must not delete it. Returns
    // it, or null when the socket cannot be bound (the reason is the last error). context
    // is handed to function as it is and must outlive the server.
    [[nodiscard]] static NamedPipeServer* Create(const char* pipeName, NamedPipeFunction function,
                                                 uint32_t outBufferSize, uint32_t inBufferSize,
                                                 uint32_t defaultTimeoutMs, uint32_t openMode,
                                                 uint32_t maxInstances, void* context);
    ~NamedPipeServer() override;

    // Waits for the next client on this instance: 0 on success, else an error word (231
    // when all instances are taken; the user name could not be read: its error, although
    // the instance is connected).
    [[nodiscard]] uint32_t Open() override;

    void* Context() const { return context_; }
    uint32_t MaxInstances() const { return maxInstances_; }
    // Number of connected instances of this listening object's pipe.
    int LiveInstances() const;
    // Pause before the next instance is opened after a failure (ms), on the injectable
    // clock: 100 ms, doubled after each failure in a row, at most 1000 ms.
    static uint32_t NextBackoffMs(uint32_t previousMs);

private:
    struct Listener;
    NamedPipeServer(const char* pipeName, std::shared_ptr<Listener> listener);
    static void ListenThread(NamedPipeServer* server);

    std::shared_ptr<Listener> listener_;
    NamedPipeFunction function_ = nullptr;
    void* context_ = nullptr;
    uint32_t outBufferSize_ = 4096;
    uint32_t inBufferSize_ = 4096;
    uint32_t timeoutMs_ = 3000;
    uint32_t openMode_ = 0;
    uint32_t maxInstances_ = 255;
    bool counted_ = false;
};

// The client end of a pipe (the monitors, the node manager and the tests).
class NamedPipeClient {
public:
    NamedPipeClient() = default;
    ~NamedPipeClient();
    NamedPipeClient(const NamedPipeClient&) = delete;
    NamedPipeClient& operator=(const NamedPipeClient&) = delete;

    // 0 on success, else an error word (2 when no server listens).
    [[nodiscard]] uint32_t Connect(const std::string& pipeName);
    // 0 with the message length, 234 when the message did not fit (it is dropped),
    // 109 when the server went away, 258 on time-out (timeoutMs < 0 waits for ever). The
    // time-out is real time, a bound on the peer (a test's fake clock does not move it).
    [[nodiscard]] uint32_t Read(void* buffer, uint32_t size, uint32_t* bytesRead,
                                int timeoutMs = -1);
    // Sends one message: 0, or the error word (109 when the server went away).
    [[nodiscard]] uint32_t Write(const void* buffer, uint32_t size);
    void Close();
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};
