#include "parlo/session/sslchannel.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "nuvlib/ems.h"

namespace {
std::mutex g_ctxMutex;
SSL_CTX* g_ctx = nullptr;
std::atomic<SecureChannelLogger*> g_logger{nullptr};

void LogErrors(const char* what) {
    SecureChannelLogger* logger = g_logger.load();
    unsigned long e;
    while ((e = ERR_get_error()) != 0) {
        char text[256];
        ERR_error_string_n(e, text, sizeof text);
        if (logger) logger->LogError("%s: %s", what, text);
    }
}
}  // namespace

CSslLogger& CSslLogger::Instance() {
    static CSslLogger instance;
    return instance;
}

void CSslLogger::Write(const char* format, va_list args) {
    char text[1024];
    vsnprintf(text, sizeof text, format, args);
    EMSTraceMessage("%s", text);
}

#define CSSL_LOG(cond)          \
    if (!(cond)) return;        \
    va_list args;               \
    va_start(args, format);     \
    Write(format, args);        \
    va_end(args)

void CSslLogger::LogError(const char* format, ...) { CSSL_LOG(m_Level & 0x03); }
void CSslLogger::LogWarning(const char* format, ...) { CSSL_LOG(m_Level & 0x0C); }
void CSslLogger::LogInfo(const char* format, ...) { CSSL_LOG(m_Level != 0); }
void CSslLogger::LogDebug(const char* format, ...) { CSSL_LOG(m_Level != 0); }
#undef CSSL_LOG

void SecureChannelInitializeLogger(SecureChannelLogger* logger) { g_logger.store(logger); }

bool SecureChannelConfigure(const std::string& certificateFile, const std::string& keyFile) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx) {
        LogErrors("SSL_CTX_new");
        return false;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (SSL_CTX_use_certificate_chain_file(ctx, certificateFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(ctx) != 1) {
        LogErrors("SecureChannelConfigure");
        SSL_CTX_free(ctx);
        return false;
    }
    std::lock_guard<std::mutex> lock(g_ctxMutex);
    if (g_ctx) SSL_CTX_free(g_ctx);
    g_ctx = ctx;
    return true;
}

std::unique_ptr<SecuredChannel> createSecuredChannel(int socket, E_CHANNEL_TYPE type) {
    std::lock_guard<std::mutex> lock(g_ctxMutex);
    if (!g_ctx || type != E_CHANNEL_SERVER) return nullptr;
    SSL* ssl = SSL_new(g_ctx);
    if (!ssl) {
        LogErrors("SSL_new");
        return nullptr;
    }
    if (SSL_set_fd(ssl, socket) != 1) {
        LogErrors("SSL_set_fd");
        SSL_free(ssl);
        return nullptr;
    }
    SSL_set_accept_state(ssl);
    return std::make_unique<SecuredChannel>(ssl, socket);
}

SecuredChannel::SecuredChannel(SSL* ssl, int socket) : m_SSL(ssl), m_Socket(socket) {}

SecuredChannel::~SecuredChannel() { SSL_free(m_SSL); }

bool SecuredChannel::HandshakeDone() const { return SSL_is_init_finished(m_SSL) == 1; }

int SecuredChannel::Handshake() {
    if (HandshakeDone()) return 1;
    ERR_clear_error();
    const int result = Result(SSL_do_handshake(m_SSL));
    return result == 0 ? kFatal : result;
}

int SecuredChannel::Pending() const { return SSL_pending(m_SSL); }

int SecuredChannel::Result(int ret) {
    m_WantWrite = false;
    if (ret > 0) return ret;
    const int error = SSL_get_error(m_SSL, ret);
    switch (error) {
        case SSL_ERROR_WANT_READ:
            return kWantRead;
        case SSL_ERROR_WANT_WRITE:
            m_WantWrite = true;
            return kWantWrite;
        case SSL_ERROR_ZERO_RETURN:
            return 0;
        default:
            LogErrors("SecuredChannel");
            if (SecureChannelLogger* logger = g_logger.load())
                logger->LogError("SecuredChannel: socket %d, SSL error %d", m_Socket, error);
            return kFatal;
    }
}

int SecuredChannel::Receive(uint8_t* buffer, int size) {
    if (size <= 0) return 0;
    ERR_clear_error();
    const int ret = SSL_read(m_SSL, buffer, size);
    const int result = Result(ret);
    // A clean close_notify reads as 0: the plain socket's peer-closed.
    return result;
}

int SecuredChannel::Send(const uint8_t* buffer, int size) {
    if (size <= 0) return 0;
    ERR_clear_error();
    const int result = Result(SSL_write(m_SSL, buffer, size));
    return result == 0 ? kFatal : result;
}

void SecuredChannel::Close() {
    if (m_Closed) return;
    m_Closed = true;
    if (HandshakeDone()) {
        ERR_clear_error();
        (void)SSL_shutdown(m_SSL);
        ERR_clear_error();
    }
}

bool SecuredChannel::IsFatal(int code) const { return code != kWantRead && code != kWantWrite; }
