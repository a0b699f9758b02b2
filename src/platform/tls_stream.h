// TlsStream: a TLS client (OpenSSL) over a connected non-blocking socket, every
// call bounded by a deadline like xSocket's. No state is shared between objects.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "platform/xsocket.h"

struct ssl_st;
struct ssl_ctx_st;

namespace sentrel {

class TlsStream final : public ByteStream {
  public:
    TlsStream() = default;
    ~TlsStream() override;
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    // The client handshake over fd: TLS 1.2 or newer, the system's trusted
    // certificates (SSL_CERT_FILE and SSL_CERT_DIR honoured), and a certificate
    // that names serverName (a dotted IPv4 text or an IPv6 literal is checked as
    // an address). False, with the reason in *why, when any of it fails or the
    // deadline passes.
    bool Handshake(int fd, const std::string& serverName, Deadline deadline, std::string* why);
    // The stream inside TLS, once the handshake succeeded.
    bool SendAll(const void* data, std::size_t size, Deadline deadline) override;
    ssize_t Receive(void* buffer, std::size_t size, Deadline deadline) override;
    // Sends the closing alert without waiting for the answer and frees the session.
    void Close();
    bool IsOpen() const { return ssl_ != nullptr; }

  private:
    // After an OpenSSL call returned rc: waits for what it needs and returns
    // true to retry; false when the call failed for good or the deadline passed.
    bool AwaitRetry(int rc, Deadline deadline);

    ssl_ctx_st* ctx_ = nullptr;
    ssl_st* ssl_ = nullptr;
    int fd_ = -1;
    bool timedOut_ = false;
};

}  // namespace sentrel
