// TLS over the program's own non-blocking socket. OpenSSL reads and writes the
// descriptor through a small BIO of our own that sends with MSG_NOSIGNAL, so a
// server that drops the connection never raises SIGPIPE; every wait is a poll
// against the caller's deadline.
#include "platform/tls_stream.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cstdint>

#include "platform/net_names.h"

namespace sentrel {

namespace {

int DescriptorOf(BIO* bio) {
    return static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio)));
}

bool WouldBlock() {
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

int SocketWrite(BIO* bio, const char* data, int size) {
    BIO_clear_retry_flags(bio);
    const ssize_t sent =
        ::send(DescriptorOf(bio), data, static_cast<std::size_t>(size), MSG_NOSIGNAL);
    if (sent < 0 && WouldBlock()) {
        BIO_set_retry_write(bio);
    }
    return static_cast<int>(sent);
}

int SocketRead(BIO* bio, char* data, int size) {
    BIO_clear_retry_flags(bio);
    const ssize_t got = ::recv(DescriptorOf(bio), data, static_cast<std::size_t>(size), 0);
    if (got < 0 && WouldBlock()) {
        BIO_set_retry_read(bio);
    }
    return static_cast<int>(got);
}

long SocketCtrl(BIO*, int command, long, void*) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

BIO_METHOD* SocketMethod() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "sentrel socket");
        BIO_meth_set_write(m, SocketWrite);
        BIO_meth_set_read(m, SocketRead);
        BIO_meth_set_ctrl(m, SocketCtrl);
        return m;
    }();
    return method;
}

// The first error OpenSSL queued, as text; `fallback` when it queued none.
std::string OpenSslReason(const char* fallback) {
    const unsigned long code = ERR_get_error();
    if (code == 0) {
        return fallback;
    }
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

}  // namespace

TlsStream::~TlsStream() {
    Close();
}

bool TlsStream::AwaitRetry(int rc, Deadline deadline) {
    short events = 0;
    switch (SSL_get_error(ssl_, rc)) {
        case SSL_ERROR_WANT_READ:
            events = POLLIN;
            break;
        case SSL_ERROR_WANT_WRITE:
            events = POLLOUT;
            break;
        default:
            return false;
    }
    const int ready = WaitForSocket(fd_, events, deadline);
    timedOut_ = ready == 0;
    return ready > 0;
}

bool TlsStream::Handshake(int fd, const std::string& serverName, Deadline deadline,
                          std::string* why) {
    Close();
    ERR_clear_error();
    fd_ = fd;
    timedOut_ = false;
    if (serverName.empty()) {
        *why = "no server name to check the certificate against";
        return false;
    }
    ctx_ = SSL_CTX_new(TLS_client_method());
    if (ctx_ == nullptr || SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_default_verify_paths(ctx_) != 1) {
        *why = OpenSslReason("TLS could not be set up");
        return false;
    }
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
    ssl_ = SSL_new(ctx_);
    BIO* bio = ssl_ != nullptr ? BIO_new(SocketMethod()) : nullptr;
    if (bio == nullptr) {
        *why = OpenSslReason("TLS could not be set up");
        return false;
    }
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl_, bio, bio);

    // An address literal is checked against the certificate's IP addresses (an
    // IPv6 zone names the local interface only, so it is left out), a name
    // against its DNS names.
    IpAddress unused;
    bool named = false;
    if (ParseIpAddress(serverName, &unused)) {
        const std::string address = serverName.substr(0, serverName.find('%'));
        named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), address.c_str()) == 1;
    } else {
        SSL_set_hostflags(ssl_, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        named = SSL_set_tlsext_host_name(ssl_, serverName.c_str()) == 1 &&
                SSL_set1_host(ssl_, serverName.c_str()) == 1;
    }
    if (!named) {
        *why = "the server name " + serverName + " cannot be checked";
        return false;
    }

    for (;;) {
        const int rc = SSL_connect(ssl_);
        if (rc == 1) {
            return true;
        }
        if (AwaitRetry(rc, deadline)) {
            continue;
        }
        const long verified = SSL_get_verify_result(ssl_);
        if (timedOut_) {
            *why = "the TLS handshake did not end in time";
        } else if (verified != X509_V_OK) {
            *why =
                std::string("certificate not accepted: ") + X509_verify_cert_error_string(verified);
        } else {
            *why = "TLS handshake failed: " + OpenSslReason("connection closed");
        }
        return false;
    }
}

bool TlsStream::SendAll(const void* data, std::size_t size, Deadline deadline) {
    if (ssl_ == nullptr || size > INT_MAX) {
        return false;
    }
    // Without partial writes OpenSSL takes the whole buffer in one successful call;
    // a call that must wait is repeated with the same arguments.
    while (size > 0) {
        ERR_clear_error();
        const int rc = SSL_write(ssl_, data, static_cast<int>(size));
        if (rc > 0) {
            return true;
        }
        if (!AwaitRetry(rc, deadline)) {
            return false;
        }
    }
    return true;
}

ssize_t TlsStream::Receive(void* buffer, std::size_t size, Deadline deadline) {
    if (ssl_ == nullptr) {
        return -1;
    }
    const int want = size > INT_MAX ? INT_MAX : static_cast<int>(size);
    for (;;) {
        ERR_clear_error();
        const int rc = SSL_read(ssl_, buffer, want);
        if (rc > 0) {
            return rc;
        }
        if (SSL_get_error(ssl_, rc) == SSL_ERROR_ZERO_RETURN) {
            return 0;
        }
        if (!AwaitRetry(rc, deadline)) {
            return -1;
        }
    }
}

void TlsStream::Close() {
    if (ssl_ != nullptr) {
        if (SSL_is_init_finished(ssl_) == 1) {
            SSL_shutdown(ssl_);  // one try: the socket never blocks, nothing is awaited
        }
        SSL_free(ssl_);  // frees the BIO too; the descriptor stays with its xSocket
        ssl_ = nullptr;
    }
    if (ctx_ != nullptr) {
        SSL_CTX_free(ctx_);
        ctx_ = nullptr;
    }
    ERR_clear_error();
}

}  // namespace sentrel
