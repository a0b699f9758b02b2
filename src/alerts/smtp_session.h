// SmtpSession: the opening of a mail dialogue with a server that wants TLS and
// a login (greeting, EHLO, STARTTLS or TLS from the first byte, EHLO again,
// AUTH), then the channel through which the mailer sends its own rows.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "alerts/mail_transport.h"
#include "platform/tls_stream.h"
#include "platform/xsocket.h"

namespace sentrel {

class SmtpSession {
  public:
    // Every receive waits at most receiveTimeout, and nothing goes on past deadline.
    SmtpSession(xSocket& socket, Deadline deadline, std::chrono::milliseconds receiveTimeout)
        : socket_(socket), deadline_(deadline), receiveTimeout_(receiveTimeout) {}
    SmtpSession(const SmtpSession&) = delete;
    SmtpSession& operator=(const SmtpSession&) = delete;

    // Before connecting: reads the password when a login is asked for.
    bool Prepare(const MailTransport& transport);
    // On the connected socket: everything up to an accepted login (or up to the
    // second EHLO without one). The login is only ever sent inside TLS.
    bool Open(const MailTransport& transport, const std::string& localHost);
    void Send(std::string_view text);
    // Reads one whole reply (all lines of a multi-line one, at most 64 KiB and
    // 512 lines, all by the deadline); true when its code is `expected`. `what`
    // names the step in the failure text.
    bool Await(int expected, const char* what);
    void Close() { tls_.Close(); }
    // Why the session failed, in one line that holds no secret.
    const std::string& Failure() const { return failure_; }

  private:
    int ReadReply();
    bool StartTls(const MailTransport& transport);
    bool Ehlo(const std::string& localHost);
    bool Offers(const std::string& keyword, const std::string& argument = {}) const;
    bool Login(const std::string& user);

    xSocket& socket_;
    TlsStream tls_;
    Deadline deadline_;
    std::chrono::milliseconds receiveTimeout_;
    std::string pending_;             // received bytes not yet taken as reply lines
    std::vector<std::string> lines_;  // the texts of the last reply, codes cut off
    SecretText password_;
    std::string failure_;
};

}  // namespace sentrel
