// The SMTP client's side of one connection: the one reader of the server's
// replies, whichever stream carries them (the socket, or TLS over it), and the
// two ways a dialogue opens: the clear-text greeting and HELO, or EHLO with
// STARTTLS or TLS from the first byte, and AUTH.
#pragma once

#include <algorithm>
#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "alerts/mail_transport.h"
#include "platform/tls_stream.h"
#include "platform/xsocket.h"

namespace sentrel {

// Reads a server's replies from a byte stream, bounded in bytes, lines and time:
// every receive waits at most receiveTimeout, and none goes on past the deadline.
class SmtpReplyReader {
  public:
    // How the replies are judged, fixed for a whole dialogue.
    enum class Rule {
        // The clear-text dialogue's: one receive (at most 3000 bytes, taken whole)
        // is one reply, its code the number at its start as atoi reads it. A wait
        // makes at most five receives: after an empty one (closed, failed or
        // silent) it pauses 500 ms; a reply with another code is passed over.
        EachReceive,
        // Whole replies: "ddd-" lines up to one "ddd " (or bare "ddd") line, at
        // most 64 KiB and 512 lines; a wait reads one reply, which must carry the code.
        WholeReply,
    };

    SmtpReplyReader(Rule rule, Deadline deadline, std::chrono::milliseconds receiveTimeout)
        : rule_(rule), deadline_(deadline), receiveTimeout_(receiveTimeout) {}

    // True once a reply from stream carries `expected`; else false, with the
    // reason in Failure(), `what` naming the step.
    bool Await(ByteStream& stream, int expected, const char* what);
    // The texts of the last whole reply, codes cut off.
    const std::vector<std::string>& Lines() const { return lines_; }
    // Whether bytes came beyond the last whole reply.
    bool HasPending() const { return !pending_.empty(); }
    const std::string& Failure() const { return failure_; }

  private:
    bool AwaitEachReceive(ByteStream& stream, int expected, const char* what);
    int ReadWholeReply(ByteStream& stream);
    Deadline ReceiveBy(Deadline now) const { return std::min(deadline_, now + receiveTimeout_); }

    Rule rule_;
    Deadline deadline_;
    std::chrono::milliseconds receiveTimeout_;
    std::string pending_;             // received bytes not yet taken as reply lines
    std::vector<std::string> lines_;  // the texts of the last whole reply
    std::string failure_;
};

class SmtpSession {
  public:
    // Every receive waits at most receiveTimeout, and nothing goes on past deadline.
    SmtpSession(xSocket& socket, SmtpReplyReader::Rule rule, Deadline deadline,
                std::chrono::milliseconds receiveTimeout)
        : socket_(socket),
          stream_(&socket),
          replies_(rule, deadline, receiveTimeout),
          deadline_(deadline),
          receiveTimeout_(receiveTimeout) {}
    SmtpSession(const SmtpSession&) = delete;
    SmtpSession& operator=(const SmtpSession&) = delete;

    // Before connecting: the transport's own fault, and the password when a
    // login is asked for.
    bool Prepare(const MailTransport& transport);
    // The openings on the connected socket, up to the first MAIL. With HELO: the
    // greeting and HELO, nothing else. With EHLO: TLS as the transport asks,
    // EHLO (again inside STARTTLS) and the login; a login is only sent inside TLS.
    bool OpenWithHelo(const MailTransport& transport, const std::string& localHost);
    bool OpenWithEhlo(const MailTransport& transport, const std::string& localHost);
    // On the stream in use. A failed send is not examined: it shows in the next wait.
    void Send(std::string_view text) { stream_->SendAll(text.data(), text.size(), deadline_); }
    bool Await(int expected, const char* what);
    void Close() { tls_.Close(); }
    // Why the session failed, in one line that holds no secret.
    const std::string& Failure() const { return failure_; }

  private:
    bool StartTls(const MailTransport& transport);
    bool Ehlo(const std::string& localHost);
    bool Offers(const std::string& keyword, const std::string& argument = {}) const;
    bool Login(const std::string& user);

    xSocket& socket_;
    TlsStream tls_;
    ByteStream* stream_;  // the socket, then TLS once its handshake succeeded
    SmtpReplyReader replies_;
    Deadline deadline_;
    std::chrono::milliseconds receiveTimeout_;
    SecretText password_;
    std::string failure_;
};

}  // namespace sentrel
