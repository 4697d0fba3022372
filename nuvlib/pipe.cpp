#include "nuvlib/pipe.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "nuvlib/ems.h"

#include "platform/clock.h"
#include "platform/lasterror.h"

// Holds a pipe's write lock unless the calling thread holds it already.
class WriteLockHolder {
public:
    explicit WriteLockHolder(NamedPipe& p) : pipe_(p) {
        if (p.writeLock_.IsLockedByCurrentThread()) return;
        taken_ = p.writeLock_.Lock(-1);
    }
    ~WriteLockHolder() {
        if (taken_) pipe_.writeLock_.Unlock();
    }

private:
    NamedPipe& pipe_;
    bool taken_ = false;
};

uint32_t NamedPipeLastError() { return plat::GetLastError(); }

void NamedPipeSetLastError(uint32_t code) { plat::SetLastError(code); }

namespace {

// Socket errors that mean a pipe error of their own to a named pipe's caller; every other
// errno reads as the platform's map says.
struct PipeErrno {
    int e;
    uint32_t code;
};
constexpr PipeErrno kPipeErrnos[] = {
    {EPIPE, PIPE_ERROR_BROKEN_PIPE},
    {ECONNRESET, PIPE_ERROR_BROKEN_PIPE},
    {ENOTCONN, PIPE_ERROR_BROKEN_PIPE},
    {ESHUTDOWN, PIPE_ERROR_BROKEN_PIPE},
    {ENOTSOCK, PIPE_ERROR_INVALID_HANDLE},
    {EMSGSIZE, PIPE_ERROR_MORE_DATA},
    {ECONNREFUSED, plat::ERROR_FILE_NOT_FOUND},  // a socket file nobody listens on
    {EADDRINUSE, PIPE_ERROR_PIPE_BUSY},
    {ENAMETOOLONG, PIPE_ERROR_BAD_PATHNAME},
    {ENOBUFS, plat::ERROR_NOT_ENOUGH_MEMORY},
    {EMFILE, 4},  // too many open files
    {ENFILE, 4},
};

uint32_t PipeError(int e) {
    for (const PipeErrno& p : kPipeErrnos)
        if (p.e == e) return p.code;
    return plat::ErrnoToWin32(e);
}

uint32_t FailErrno(int e) {
    uint32_t code = PipeError(e);
    NamedPipeSetLastError(code);
    return code;
}

std::string RunDirectory() {
    const char* d = std::getenv("PARLO_RUN_DIR");
    return d && *d ? d : "/tmp";
}

bool FillAddress(const std::string& path, sockaddr_un* addr) {
    std::memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr->sun_path) return false;
    std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    return true;
}

std::string PeerUserName(int fd, uint32_t* error) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
        *error = PipeError(errno);
        return {};
    }
    char buf[1024];
    passwd pw{};
    passwd* found = nullptr;
    if (getpwuid_r(cred.uid, &pw, buf, sizeof buf, &found) != 0 || !found) {
        // No account entry: the numeric id still names the peer.
        return std::to_string(cred.uid);
    }
    std::string name = found->pw_name;
    if (name.size() > NamedPipe::kMaxName) name.resize(NamedPipe::kMaxName);
    return name;
}

}  // namespace

std::string NamedPipeSocketPath(const std::string& name) {
    std::string leaf = name;
    for (char& c : leaf)
        if (c == '\\' || c == '/') c = '_';
    std::string path = RunDirectory() + "/pipe/" + leaf;
    if (leaf.empty() || path.size() >= sizeof(sockaddr_un{}.sun_path)) return {};
    return path;
}

// ---------------------------------------------------------------------------------------

NamedPipe::NamedPipe(const char* pipeName, const char* serverName)
    : name_(pipeName ? pipeName : ""),
      server_(serverName && *serverName ? serverName : "."),
      readLock_(LockObject::USAGE_CRITICAL_SECTION, nullptr, (name_ + "_Read").c_str(),
                0xFFFFFFFF, 1, 0),
      writeLock_(LockObject::USAGE_CRITICAL_SECTION, nullptr, (name_ + "_Write").c_str(),
                 0xFFFFFFFF, 1, 0) {
    if (name_.size() > kMaxName) name_.resize(kMaxName);
    if (server_.size() > kMaxName) server_.resize(kMaxName);
    fullPath_ = "\\\\" + server_ + "\\pipe\\" + name_;
    if (fullPath_.size() > kMaxName) fullPath_.resize(kMaxName);
}

NamedPipe::~NamedPipe() {
    Disconnect();
    int fd = fd_.exchange(-1);
    if (fd >= 0) ::close(fd);
}

void NamedPipe::Attach(int fd) {
    int old = fd_.exchange(fd);
    if (old >= 0) ::close(old);
    disconnected_.store(false);
}

bool NamedPipe::ReadServer(void* buffer, uint32_t size, uint32_t* bytesRead) {
    readLock_.Lock(-1);
    struct Unlock {
        LockObject& l;
        ~Unlock() { l.Unlock(); }
    } release{readLock_};
    if (bytesRead) *bytesRead = 0;
    int fd = fd_.load();
    if (fd < 0 || disconnected_.load()) {
        NamedPipeSetLastError(PIPE_ERROR_INVALID_HANDLE);
        return false;
    }
    for (;;) {
        // MSG_TRUNC makes the call answer the message's real length.
        ssize_t n = ::recv(fd, buffer, size, MSG_TRUNC);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            FailErrno(errno);
            return false;
        }
        if (n == 0) {
            NamedPipeSetLastError(disconnected_.load() ? PIPE_ERROR_INVALID_HANDLE
                                                       : PIPE_ERROR_BROKEN_PIPE);
            return false;
        }
        if (static_cast<size_t>(n) > size) {
            if (bytesRead) *bytesRead = size;
            NamedPipeSetLastError(PIPE_ERROR_MORE_DATA);
            return false;
        }
        if (bytesRead) *bytesRead = static_cast<uint32_t>(n);
        NamedPipeSetLastError(0);
        return true;
    }
}

bool NamedPipe::WriteServer(const void* buffer, uint32_t size) {
    WriteLockHolder hold(*this);
    int fd = fd_.load();
    if (fd < 0 || disconnected_.load()) {
        NamedPipeSetLastError(PIPE_ERROR_INVALID_HANDLE);
        return false;
    }
    for (;;) {
        ssize_t n = ::send(fd, buffer, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            FailErrno(errno);
            return false;
        }
        NamedPipeSetLastError(0);
        return true;
    }
}

void NamedPipe::Disconnect() {
    WriteLockHolder hold(*this);
    if (disconnected_.exchange(true)) return;
    int fd = fd_.load();
    // The descriptor itself is closed with the object: a reader blocked on another thread
    // must never see its number reused. Shutting down wakes that reader.
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

void NamedPipe::Abort() {
    int fd = fd_.load();
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

void NamedPipe::Release() {
    Disconnect();
    if (refCount_.fetch_sub(1) - 1 < 1) delete this;
}

// ---------------------------------------------------------------------------------------

struct NamedPipeServer::Listener {
    std::string path;
    int fd = -1;
    std::atomic<int> live{0};
    ~Listener() {
        if (fd >= 0) ::close(fd);
    }
};

NamedPipeServer::NamedPipeServer(const char* pipeName, std::shared_ptr<Listener> listener)
    : NamedPipe(pipeName), listener_(std::move(listener)) {}

NamedPipeServer::~NamedPipeServer() {
    Disconnect();
    if (counted_) listener_->live.fetch_sub(1);
}

int NamedPipeServer::LiveInstances() const { return listener_ ? listener_->live.load() : 0; }

uint32_t NamedPipeServer::NextBackoffMs(uint32_t previousMs) {
    if (previousMs < 100) return 100;
    return previousMs >= 500 ? 1000 : previousMs * 2;
}

int NamedPipeListen(const std::string& name, int backlog) {
    const std::string path = NamedPipeSocketPath(name);
    sockaddr_un addr;
    if (!FillAddress(path, &addr)) {
        NamedPipeSetLastError(PIPE_ERROR_BAD_PATHNAME);
        return -1;
    }
    std::string dir = RunDirectory() + "/pipe";
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        FailErrno(errno);
        return -1;
    }
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        FailErrno(errno);
        return -1;
    }
    // A socket file left by a dead process is removed; one a live server answers on is not.
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) {
        int probe = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        bool alive = probe >= 0 &&
                     ::connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        if (probe >= 0) ::close(probe);
        if (alive || !S_ISSOCK(st.st_mode)) {
            ::close(fd);
            NamedPipeSetLastError(PIPE_ERROR_PIPE_BUSY);
            return -1;
        }
        ::unlink(path.c_str());
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        FailErrno(errno);
        ::close(fd);
        return -1;
    }
    // Nobody can connect before listen(), so the mode is right before the first client.
    if (::chmod(path.c_str(), 0600) != 0 || ::listen(fd, backlog) != 0) {
        FailErrno(errno);
        ::close(fd);
        ::unlink(path.c_str());
        return -1;
    }
    return fd;
}

NamedPipeServer* NamedPipeServer::Create(const char* pipeName, NamedPipeFunction function,
                                         uint32_t outBufferSize, uint32_t inBufferSize,
                                         uint32_t defaultTimeoutMs, uint32_t openMode,
                                         uint32_t maxInstances, void* context) {
    auto listener = std::make_shared<Listener>();
    listener->path = NamedPipeSocketPath(pipeName ? pipeName : "");
    listener->fd = NamedPipeListen(pipeName ? pipeName : "", 64);
    if (listener->fd < 0) return nullptr;
    auto* server = new (std::nothrow) NamedPipeServer(pipeName, listener);
    if (!server) NUV_ALLOC_FAILED(sizeof(NamedPipeServer));
    server->function_ = function;
    server->context_ = context;
    server->outBufferSize_ = outBufferSize;
    server->inBufferSize_ = inBufferSize;
    server->timeoutMs_ = defaultTimeoutMs;
    server->openMode_ = openMode;
    server->maxInstances_ = maxInstances == 0 || maxInstances > 255 ? 255 : maxInstances;
    try {
        std::thread(&NamedPipeServer::ListenThread, server).detach();
    } catch (const std::system_error& e) {
        errno = e.code().value();
        EMSFailMessageErrno("Unable to begin thread for named pipe %s.", server->name_.c_str());
    }
    return server;
}

uint32_t NamedPipeServer::Open() {
    WriteLockHolder hold(*this);
    if (!listener_ || listener_->fd < 0) {
        NamedPipeSetLastError(PIPE_ERROR_INVALID_HANDLE);
        return PIPE_ERROR_INVALID_HANDLE;
    }
    // All instances taken: the pipe is busy, as creating one more instance would be.
    if (listener_->live.load() >= static_cast<int>(maxInstances_)) {
        NamedPipeSetLastError(PIPE_ERROR_PIPE_BUSY);
        return PIPE_ERROR_PIPE_BUSY;
    }
    int fd;
    do {
        fd = ::accept4(listener_->fd, nullptr, nullptr, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return FailErrno(errno);
    listener_->live.fetch_add(1);
    counted_ = true;
    Attach(fd);
    uint32_t error = 0;
    userName_ = PeerUserName(fd, &error);
    NamedPipeSetLastError(error);
    return error;
}

void NamedPipeServer::ListenThread(NamedPipeServer* server) {
    uint32_t backoffMs = 0;
    for (;;) {
        auto* instance = new (std::nothrow) NamedPipeServer(server->name_.c_str(), server->listener_);
        if (!instance) {
            EMSFailMessage("Memory allocation of %d bytes failed:  File: %s.  Line %d\n",
                           static_cast<int>(sizeof(NamedPipeServer)), "npipe", __LINE__);
        }
        instance->outBufferSize_ = server->outBufferSize_;
        instance->inBufferSize_ = server->inBufferSize_;
        instance->timeoutMs_ = server->timeoutMs_;
        instance->openMode_ = server->openMode_;
        instance->maxInstances_ = server->maxInstances_;
        instance->refCount_.store(0);
        uint32_t rc = instance->Open();
        if (rc != 0) {
            NamedPipeSetLastError(rc);
            EMSTraceMessageLastError("Unable to open NamedPipeServer %s.", server->name_.c_str());
        }
        instance->function_ = server->function_;
        instance->context_ = server->context_;
        // The instance belongs to its thread from here on: nothing of it is read later.
        const bool served = instance->IsConnected();
        try {
            std::thread(server->function_, instance, server->context_).detach();
        } catch (const std::system_error& e) {
            errno = e.code().value();
            EMSFailMessageErrno("Unable to begin thread for named pipe %s.",
                                server->name_.c_str());
        }
        // An instance that failed to open is handed on all the same; pause before the
        // next attempt so that a lasting failure never spins.
        if (rc != 0 && !served) {
            backoffMs = NextBackoffMs(backoffMs);
            plat::SleepForMs(backoffMs);
        } else {
            backoffMs = 0;
        }
    }
}

// ---------------------------------------------------------------------------------------

NamedPipeClient::~NamedPipeClient() { Close(); }

void NamedPipeClient::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

uint32_t NamedPipeClient::Connect(const std::string& pipeName) {
    Close();
    sockaddr_un addr;
    if (!FillAddress(NamedPipeSocketPath(pipeName), &addr)) return PIPE_ERROR_BAD_PATHNAME;
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return PipeError(errno);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        uint32_t e = PipeError(errno);
        ::close(fd);
        return e;
    }
    fd_ = fd;
    return 0;
}

uint32_t NamedPipeClient::Read(void* buffer, uint32_t size, uint32_t* bytesRead, int timeoutMs) {
    if (bytesRead) *bytesRead = 0;
    if (fd_ < 0) return PIPE_ERROR_INVALID_HANDLE;
    if (timeoutMs >= 0) {
        pollfd p{fd_, POLLIN, 0};
        int r;
        do {
            r = ::poll(&p, 1, timeoutMs);
        } while (r < 0 && errno == EINTR);
        if (r == 0) return 258;
        if (r < 0) return PipeError(errno);
    }
    ssize_t n;
    do {
        n = ::recv(fd_, buffer, size, MSG_TRUNC);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return PipeError(errno);
    if (n == 0) return PIPE_ERROR_BROKEN_PIPE;
    if (static_cast<size_t>(n) > size) {
        if (bytesRead) *bytesRead = size;
        return PIPE_ERROR_MORE_DATA;
    }
    if (bytesRead) *bytesRead = static_cast<uint32_t>(n);
    return 0;
}

uint32_t NamedPipeClient::Write(const void* buffer, uint32_t size) {
    if (fd_ < 0) return PIPE_ERROR_INVALID_HANDLE;
    ssize_t n;
    do {
        n = ::send(fd_, buffer, size, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? PipeError(errno) : 0;
}
