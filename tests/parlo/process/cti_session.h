#pragma once
// A CTI client session over a real socket for the process tests: OPEN_REQ from parlo-client's
// words, requests from its script lines, and every received message kept as the line
// parlo-client would print ("TYPE MsgType:TYPE (InvokeID:0x.. ...)"), so that a test sends,
// waits for the answer it needs and looks at what else came.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ctimsg/elementids.h"
#include "peers/client/cticlient.h"
#include "platform/byteorder.h"
#include "platform/clock.h"

namespace parlotest {

class CtiSession {
public:
    // Connects to 127.0.0.1:port and sends OPEN_REQ with parlo-client's defaults and `words`;
    // requests take InvokeIDs from firstInvoke on (sessions of one test apart).
    CtiSession(const std::string& port, const std::vector<std::string>& words, uint32_t firstInvoke = 2)
        : nextInvoke_(firstInvoke) {
        std::string error;
        BaseMSGPtr open = cticlient::MakeOpenReq(words, &error);
        if (!open) {
            error_ = error;
            return;
        }
        version_ = open->GetUINT(elementid::VersionNumber);
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(std::stoi(port)));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
            error_ = "cannot connect";
            return;
        }
        reader_ = std::thread([this] { Read(); });
        (void)Write(*open);
    }
    ~CtiSession() {
        if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
        if (reader_.joinable()) reader_.join();
        if (fd_ >= 0) ::close(fd_);
    }
    CtiSession(const CtiSession&) = delete;
    CtiSession& operator=(const CtiSession&) = delete;

    // The OPEN_CONF line once it came (within ms), "" otherwise.
    std::string Opened(int ms = 20000) { return Wait("OPEN_CONF", 0, ms); }

    // Sends one script line with the next InvokeID (unless the line names one); the InvokeID
    // sent, 0 (with the reason in Error()) when the line does not make a message.
    uint32_t Send(const std::string& line) {
        std::string error;
        BaseMSGPtr msg = cticlient::ParseScriptLine(line, &error);
        if (!msg) {
            error_ = error;
            return 0;
        }
        if (!msg->Present(elementid::InvokeID)) msg->SetUINT(elementid::InvokeID, nextInvoke_++);
        const uint32_t invoke = msg->GetUINT(elementid::InvokeID);
        return Write(*msg) ? invoke : 0;
    }

    // The first received line of `type` with InvokeID `invoke` (any InvokeID for 0), waiting
    // up to ms; "" when none came.
    std::string Wait(const std::string& type, uint32_t invoke, int ms = 20000) {
        return WaitFor([&](const std::string& l) { return Is(l, type) && (invoke == 0 || HasInvoke(l, invoke)); },
                       ms);
    }
    std::string WaitFor(const std::function<bool(const std::string&)>& match, int ms = 20000) {
        std::unique_lock<std::mutex> lock(mu_);
        std::string found;
        plat::WaitUntil(cv_, lock, plat::DeadlineAfterMs(ms), [&] {
            for (const std::string& l : lines_)
                if (match(l)) return found = l, true;
            return ended_;
        });
        return found;
    }
    // Every line received so far that answers `invoke` (its InvokeID).
    std::vector<std::string> Answers(uint32_t invoke) {
        std::lock_guard<std::mutex> lock(mu_);
        std::vector<std::string> out;
        for (const std::string& l : lines_)
            if (HasInvoke(l, invoke)) out.push_back(l);
        return out;
    }
    size_t Count(const std::string& type) {
        std::lock_guard<std::mutex> lock(mu_);
        size_t n = 0;
        for (const std::string& l : lines_) n += Is(l, type);
        return n;
    }
    std::string All() {
        std::lock_guard<std::mutex> lock(mu_);
        std::string all;
        for (const std::string& l : lines_) all += l + "\n";
        return all;
    }
    const std::string& Error() const { return error_; }

    static bool Is(const std::string& line, const std::string& type) { return line.rfind(type + " ", 0) == 0; }
    static bool HasInvoke(const std::string& line, uint32_t invoke) {
        char text[32];
        std::snprintf(text, sizeof text, "(InvokeID:0x%x ", invoke);
        return line.find(text) != std::string::npos;
    }

private:
    bool Write(BaseMSG& msg) {
        std::string error;
        const std::vector<uint8_t> frame = cticlient::EncodeFrame(msg, version_, &error);
        if (frame.empty()) {
            error_ = error;
            return false;
        }
        std::lock_guard<std::mutex> lock(writeMu_);
        return ::send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(frame.size());
    }
    bool ReadAll(uint8_t* to, size_t n) {
        size_t done = 0;
        while (done < n) {
            const ssize_t got = ::recv(fd_, to + done, n - done, 0);
            if (got <= 0) return false;
            done += static_cast<size_t>(got);
        }
        return true;
    }
    void Read() {
        for (;;) {
            std::vector<uint8_t> frame(8);
            if (!ReadAll(frame.data(), 8)) break;
            const uint32_t length = plat::LoadBE32(frame.data());
            if (length > cticlient::kMaxBody) break;
            frame.resize(8 + length);
            if (!ReadAll(frame.data() + 8, length)) break;
            std::string line = cticlient::DescribeFrame(frame.data(), static_cast<int>(frame.size()), version_);
            std::lock_guard<std::mutex> lock(mu_);
            lines_.push_back(std::move(line));
            cv_.notify_all();
        }
        std::lock_guard<std::mutex> lock(mu_);
        ended_ = true;
        cv_.notify_all();
    }

    int fd_ = -1;
    uint32_t version_ = 24;
    uint32_t nextInvoke_ = 2;
    std::string error_;
    std::mutex writeMu_, mu_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
    bool ended_ = false;
    std::thread reader_;
};

}  // namespace parlotest
