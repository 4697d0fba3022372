#pragma once
// The secure channel of one TLS connection, over OpenSSL (TLS 1.2 and later). The channel
// never blocks: its handshake advances inside Receive and Send, which the poster thread
// calls from the socket's read and write events; SSL_ERROR_WANT_READ / WANT_WRITE come back
// as negative codes that IsFatal judges not fatal.
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <string>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

// Where the library's log output goes.
class SecureChannelLogger {
public:
    virtual ~SecureChannelLogger() = default;
    virtual void LogError(const char* format, ...) = 0;
    virtual void LogWarning(const char* format, ...) = 0;
    virtual void LogInfo(const char* format, ...) = 0;
    virtual void LogDebug(const char* format, ...) = 0;
    virtual uint8_t GetLevel() const = 0;
    virtual void SetLevel(uint8_t level) = 0;
};

// Routes the channel's errors and state into the EMS trace. One instance, made on first use.
class CSslLogger : public SecureChannelLogger {
public:
    static CSslLogger& Instance();
    void LogError(const char* format, ...) override;    // level & 0x03
    void LogWarning(const char* format, ...) override;  // level & 0x0C
    void LogInfo(const char* format, ...) override;     // level non-zero
    void LogDebug(const char* format, ...) override;    // level non-zero
    uint8_t GetLevel() const override { return m_Level; }
    void SetLevel(uint8_t level) override { m_Level = level; }

private:
    void Write(const char* format, va_list args);
    uint8_t m_Level = 0xFF;
};

enum E_CHANNEL_TYPE : int { E_CHANNEL_CLIENT = 0, E_CHANNEL_SERVER = 1 };

// One TLS connection; used by one thread at a time (its connection's lock).
class SecuredChannel {
public:
    // Owns `ssl` (freed with the channel), not the socket.
    SecuredChannel(SSL* ssl, int socket);
    ~SecuredChannel();
    SecuredChannel(const SecuredChannel&) = delete;
    SecuredChannel& operator=(const SecuredChannel&) = delete;

    // Bytes read (0 = the peer closed the TLS session), or a negative code.
    [[nodiscard]] int Receive(uint8_t* buffer, int size);
    // Bytes sent, or a negative code. A write that must be retried (kWantRead/kWantWrite) is
    // retried with the same bytes.
    [[nodiscard]] int Send(const uint8_t* buffer, int size);
    // Sends close_notify once, without waiting for the answer.
    void Close();
    // Whether a negative code of Receive/Send/Handshake ends the connection.
    [[nodiscard]] bool IsFatal(int code) const;
    // Bytes decrypted and waiting inside the channel: the socket shows no event for them.
    int Pending() const;
    // True while the last operation waits for the socket to take data.
    bool WantsWrite() const { return m_WantWrite; }
    bool HandshakeDone() const;
    // Advances the handshake: 1 once done, or a negative code.
    [[nodiscard]] int Handshake();

    static constexpr int kWantRead = -2;
    static constexpr int kWantWrite = -3;
    static constexpr int kFatal = -1;

private:
    int Result(int ret);
    SSL* m_SSL;
    int m_Socket;
    bool m_WantWrite = false;
    bool m_Closed = false;
};

// Loads the server certificate and key (PEM files). false (logged) when either cannot be
// used; until it succeeds createSecuredChannel answers null.
[[nodiscard]] bool SecureChannelConfigure(const std::string& certificateFile,
                                          const std::string& keyFile);
// A server-side channel (type 1) on an accepted socket (not owned by the channel); null when
// no certificate was configured, for another type, or on a library error (logged).
[[nodiscard]] std::unique_ptr<SecuredChannel> createSecuredChannel(int socket, E_CHANNEL_TYPE type);
// Sets the logger (must live for the process) that receives the library's output.
void SecureChannelInitializeLogger(SecureChannelLogger* logger);
