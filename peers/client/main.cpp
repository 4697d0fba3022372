// parlo-client HOST PORT [--tls] [--cafile FILE | --insecure] [--script FILE] [Field=value ...]
// Opens a CTI session (OPEN_REQ from the fields), heartbeats at a third of IdleTimeout,
// prints one line per received message, sends the script's requests once the session is
// open, and closes with CLOSE_REQ at the end of the script or on SIGINT. A connection the
// server ends before that is told in one line on stderr (exit status 1). A script line
// "wait TYPE" holds the script until one more message of that type (MAKE_CALL_CONF) has
// arrived than earlier waits for it took (at most 30 s; a line on stderr when none came).
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ctimsg/messages/msgclass.h"
#include "ctimsg/names.h"
#include "peers/client/cticlient.h"
#include "platform/byteorder.h"
#include "platform/clock.h"

namespace {

struct ClientOptions {
    std::string host, port, cafile, script;
    bool tls = false, insecure = false;
    std::vector<std::string> fields;
};

int Usage() {
    fprintf(stderr,
            "usage: parlo-client HOST PORT [--tls] [--cafile FILE | --insecure] [--script FILE] "
            "[Field=value ...]\n");
    return 2;
}

class Connection {
public:
    ~Connection() {
        if (ssl_) SSL_free(ssl_);
        if (ctx_) SSL_CTX_free(ctx_);
        if (fd_ >= 0) close(fd_);
    }
    bool Open(const ClientOptions& o, std::string* error) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (getaddrinfo(o.host.c_str(), o.port.c_str(), &hints, &found) != 0 || !found) {
            *error = "cannot resolve " + o.host;
            return false;
        }
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool connected = fd_ >= 0 && connect(fd_, found->ai_addr, found->ai_addrlen) == 0;
        freeaddrinfo(found);
        if (!connected) {
            *error = "cannot connect to " + o.host + ":" + o.port + ": " + strerror(errno);
            return false;
        }
        if (!o.tls) return true;
        ctx_ = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
        if (o.insecure) {
            SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);
        } else {
            SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
            const int loaded = o.cafile.empty() ? SSL_CTX_set_default_verify_paths(ctx_)
                                                : SSL_CTX_load_verify_locations(ctx_, o.cafile.c_str(), nullptr);
            if (loaded != 1) {
                *error = "cannot load the CA file " + o.cafile;
                return false;
            }
        }
        ssl_ = SSL_new(ctx_);
        SSL_set_fd(ssl_, fd_);
        if (SSL_connect(ssl_) != 1) {
            char text[256] = "TLS handshake failed";
            if (unsigned long e = ERR_get_error()) ERR_error_string_n(e, text, sizeof text);
            *error = text;
            return false;
        }
        return true;
    }
    bool Write(const std::vector<uint8_t>& frame) {
        std::lock_guard<std::mutex> lock(writeMutex_);
        size_t done = 0;
        while (done < frame.size()) {
            const int n = ssl_ ? SSL_write(ssl_, frame.data() + done, static_cast<int>(frame.size() - done))
                               : static_cast<int>(send(fd_, frame.data() + done, frame.size() - done, MSG_NOSIGNAL));
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    // Reads exactly n bytes; false at the end of the stream or on an error, with the bytes
    // read so far in *done.
    bool ReadAll(uint8_t* to, size_t n, size_t* done) {
        *done = 0;
        while (*done < n) {
            const int got = ssl_ ? SSL_read(ssl_, to + *done, static_cast<int>(n - *done))
                                 : static_cast<int>(recv(fd_, to + *done, n - *done, 0));
            if (got <= 0) return false;
            *done += static_cast<size_t>(got);
        }
        return true;
    }
    void ShutdownRead() { (void)shutdown(fd_, SHUT_RD); }

private:
    int fd_ = -1;
    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
    std::mutex writeMutex_;
};

// What the reader saw, for the main thread. tls: the first bytes from the server were a TLS
// record (a plain client on the TLS port); dropped: the client ended the stream itself.
struct Session {
    std::mutex mutex;
    std::condition_variable cv;
    bool opened = false, refused = false, closed = false, ended = false;
    bool tls = false, dropped = false;
    std::map<uint32_t, int> received;  // messages by type
};

// A TLS record header starts with its content type (alert 21, handshake 22) and version 3.x.
bool LooksLikeTls(const uint8_t* bytes, size_t n) {
    return n >= 2 && (bytes[0] == 21 || bytes[0] == 22) && bytes[1] == 3;
}

uint32_t TypeOf(const std::vector<uint8_t>& frame) {
    return plat::LoadBE32(frame.data() + 4);
}

void ReaderLoop(Connection& c, Session& s, uint32_t version) {
    const uint32_t openConf = cticlient::MsgTypeByName("OPEN_CONF");
    const uint32_t closeConf = cticlient::MsgTypeByName("CLOSE_CONF");
    const uint32_t failureConf = cticlient::MsgTypeByName("FAILURE_CONF");
    const uint32_t failureEvent = cticlient::MsgTypeByName("FAILURE_EVENT");
    bool tls = false, dropped = false;
    for (bool first = true;; first = false) {
        std::vector<uint8_t> frame(CTI_HEADER_SIZE);
        size_t got = 0;
        if (!c.ReadAll(frame.data(), CTI_HEADER_SIZE, &got)) {
            tls = first && LooksLikeTls(frame.data(), got);
            break;
        }
        const uint32_t length = plat::LoadBE32(frame.data());
        if (length > cticlient::kMaxBody) {
            tls = first && LooksLikeTls(frame.data(), got);
            dropped = !tls;
            if (dropped) {
                printf("(frame of %u bytes refused)\n", length);
                fflush(stdout);
            }
            break;
        }
        frame.resize(CTI_HEADER_SIZE + length);
        if (!c.ReadAll(frame.data() + CTI_HEADER_SIZE, length, &got)) break;
        const std::string line = cticlient::DescribeFrame(frame.data(), static_cast<int>(frame.size()), version);
        printf("%s\n", line.c_str());
        fflush(stdout);
        const uint32_t type = TypeOf(frame);
        std::lock_guard<std::mutex> lock(s.mutex);
        ++s.received[type];
        if (type == openConf) s.opened = true;
        if (type == closeConf) s.closed = true;
        if (!s.opened && (type == failureConf || type == failureEvent)) s.refused = true;
        s.cv.notify_all();
    }
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.ended = true;
        s.tls = tls;
        s.dropped = dropped;
    }
    s.cv.notify_all();
    kill(getpid(), SIGUSR1);  // wakes the main thread's signal wait
}

}  // namespace

int main(int argc, char** argv) {
    ClientOptions o;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--tls") {
            o.tls = true;
        } else if (a == "--insecure") {
            o.insecure = true;
        } else if ((a == "--cafile" || a == "--script") && i + 1 < argc) {
            (a == "--cafile" ? o.cafile : o.script) = argv[++i];
        } else if (a.find('=') != std::string::npos) {
            o.fields.push_back(a);
        } else if (a.rfind("--", 0) == 0) {
            return Usage();
        } else {
            positional.push_back(a);
        }
    }
    if (positional.size() != 2 || (o.insecure && !o.cafile.empty())) return Usage();
    o.host = positional[0];
    o.port = positional[1];

    std::string error;
    BaseMSGPtr open = cticlient::MakeOpenReq(o.fields, &error);
    if (!open) {
        fprintf(stderr, "parlo-client: %s\n", error.c_str());
        return 2;
    }
    const uint32_t version = open->GetUINT(elementid::VersionNumber);
    const uint32_t idleTimeout = open->GetUINT(elementid::IdleTimeout);
    std::vector<std::string> script;
    if (!o.script.empty()) {
        std::ifstream in(o.script);
        if (!in) {
            fprintf(stderr, "parlo-client: cannot read %s\n", o.script.c_str());
            return 2;
        }
        for (std::string line; std::getline(in, line);) script.push_back(line);
    }
    std::vector<uint8_t> openFrame = cticlient::EncodeFrame(*open, version, &error);
    if (openFrame.empty()) {
        fprintf(stderr, "parlo-client: %s\n", error.c_str());
        return 2;
    }

    // Every thread inherits the blocked signals; the main thread takes them with sigwait.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Connection c;
    if (!c.Open(o, &error)) {
        fprintf(stderr, "parlo-client: %s\n", error.c_str());
        return 1;
    }
    Session s;
    std::thread reader(ReaderLoop, std::ref(c), std::ref(s), version);
    std::atomic<uint32_t> invokeID{2};
    (void)c.Write(openFrame);

    // Heartbeats at a third of IdleTimeout (at least a second); none for 0xFFFFFFFF.
    std::mutex beatMutex;
    std::condition_variable beatCv;
    bool stopBeats = false;
    std::thread beater([&] {
        if (idleTimeout == 0xFFFFFFFF || idleTimeout == 0) return;
        const int64_t periodMs = std::max<int64_t>(1000, int64_t{idleTimeout} * 1000 / 3);
        std::unique_lock<std::mutex> lock(beatMutex);
        for (;;) {
            if (plat::WaitUntil(beatCv, lock, plat::DeadlineAfterMs(periodMs), [&] { return stopBeats; })) return;
            BaseMSGPtr beat = catalog::CreateMessage(cticlient::MsgTypeByName("HEARTBEAT_REQ"));
            beat->SetUINT(elementid::InvokeID, invokeID++);
            std::string e;
            (void)c.Write(cticlient::EncodeFrame(*beat, version, &e));
        }
    });

    int exitCode = 0;
    bool interrupted = false;
    auto waitFor = [&](auto pred, int64_t ms) {
        std::unique_lock<std::mutex> lock(s.mutex);
        return plat::WaitUntil(s.cv, lock, plat::DeadlineAfterMs(ms), pred);
    };
    if (!script.empty()) {
        if (!waitFor([&] { return s.opened || s.refused || s.ended; }, 30000)) {
            fprintf(stderr, "parlo-client: no answer to OPEN_REQ within 30 s\n");
            exitCode = 1;
        } else if (!s.opened) {
            exitCode = 1;
        } else {
            std::map<uint32_t, int> waited;
            for (const std::string& line : script) {
                if (line.rfind("wait ", 0) == 0) {
                    const std::string name = line.substr(5, line.find_first_of(" \t\r", 5) - 5);
                    const uint32_t type = cticlient::MsgTypeByName(name);
                    if (type == 0) {
                        fprintf(stderr, "parlo-client: unknown message type %s\n", name.c_str());
                        continue;
                    }
                    const int want = ++waited[type];
                    if (!waitFor([&] { return s.received[type] >= want || s.ended; }, 30000))
                        fprintf(stderr, "parlo-client: no %s within 30 s\n", name.c_str());
                    continue;
                }
                BaseMSGPtr msg = cticlient::ParseScriptLine(line, &error);
                if (!msg) {
                    if (!error.empty()) fprintf(stderr, "parlo-client: %s\n", error.c_str());
                    continue;
                }
                if (msg->FindElement(elementid::InvokeID, 0, false) && !msg->Present(elementid::InvokeID))
                    msg->SetUINT(elementid::InvokeID, invokeID++);
                std::vector<uint8_t> frame = cticlient::EncodeFrame(*msg, version, &error);
                if (frame.empty())
                    fprintf(stderr, "parlo-client: %s\n", error.c_str());
                else
                    (void)c.Write(frame);
            }
        }
    } else {
        for (;;) {
            int sig = 0;
            sigwait(&signals, &sig);
            if (sig == SIGINT || sig == SIGTERM) {
                interrupted = true;
                break;
            }
            std::lock_guard<std::mutex> lock(s.mutex);
            if (s.ended) break;
        }
    }
    bool ended;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        ended = s.ended;
        // The server ended the stream before the client asked for the close, or the client
        // dropped it for a frame it cannot take (its line is on stdout).
        if (ended) exitCode = 1;
        if (ended && !s.dropped) {
            if (s.tls)
                fprintf(stderr, "parlo-client: %s:%s answers in TLS: add --tls\n", o.host.c_str(),
                        o.port.c_str());
            else if (s.opened)
                fprintf(stderr, "parlo-client: the server closed the connection\n");
            else if (!s.refused)
                // A TLS port closes on a plain request without a word.
                fprintf(stderr, "parlo-client: the server closed the connection before it answered OPEN_REQ%s\n",
                        o.tls ? "" : " (if this is the TLS port, add --tls)");
        }
    }
    if (!ended) {
        BaseMSGPtr closeReq = catalog::CreateMessage(cticlient::MsgTypeByName("CLOSE_REQ"));
        closeReq->SetUINT(elementid::InvokeID, invokeID++);
        closeReq->SetUINT(elementid::Status, 0);
        (void)c.Write(cticlient::EncodeFrame(*closeReq, version, &error));
        bool unanswered = false;
        if (waitFor([&] { return s.closed || s.ended; }, 10000)) {
            std::lock_guard<std::mutex> lock(s.mutex);
            unanswered = !s.closed;
        }
        if (unanswered) {
            fprintf(stderr, "parlo-client: the server closed the connection before it answered CLOSE_REQ\n");
            exitCode = 1;
        }
    }
    {
        std::lock_guard<std::mutex> lock(beatMutex);
        stopBeats = true;
    }
    beatCv.notify_all();
    beater.join();
    c.ShutdownRead();
    reader.join();
    (void)interrupted;
    return exitCode;
}
