#include "alerts/smtp_session.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <sstream>

namespace sentrel {

namespace {

constexpr std::size_t kReceiveChunk = 3000;
// Far above any real reply (a long EHLO list is some twenty lines), small
// enough that a server which never ends one cannot make the program grow.
constexpr std::size_t kReplyMax = 64 * 1024;
constexpr std::size_t kReplyLinesMax = 512;

std::string Base64(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                       reinterpret_cast<const unsigned char*>(bytes.data()),
                                       static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(length));
    return out;
}

}  // namespace

bool SmtpSession::Prepare(const MailTransport& transport) {
    if (!transport.fault.empty()) {
        failure_ = transport.fault;
        return false;
    }
    return transport.user.empty() ||
           ReadPasswordFile(transport.passwordFile, &password_, &failure_);
}

bool SmtpSession::Open(const MailTransport& transport, const std::string& localHost) {
    if (transport.security == MailSecurity::Tls && !StartTls(transport)) {
        return false;
    }
    if (!Await(220, "greeting") || !Ehlo(localHost)) {
        return false;
    }
    if (transport.security == MailSecurity::StartTls) {
        if (!Offers("STARTTLS")) {
            failure_ = "the server does not offer STARTTLS";
            return false;
        }
        Send("STARTTLS\r\n");
        if (!Await(220, "STARTTLS")) {
            return false;
        }
        // Bytes sent before the handshake must not count as encrypted replies.
        if (!pending_.empty()) {
            failure_ = "the server sent more than its answer to STARTTLS";
            return false;
        }
        if (!StartTls(transport) || !Ehlo(localHost)) {
            return false;
        }
    }
    return transport.user.empty() || Login(transport.user);
}

bool SmtpSession::StartTls(const MailTransport& transport) {
    const Deadline by = std::min(deadline_, SteadyClock::now() + receiveTimeout_);
    return tls_.Handshake(socket_.Handle(), transport.serverName, by, &failure_);
}

bool SmtpSession::Ehlo(const std::string& localHost) {
    Send("EHLO " + localHost + "\r\n");
    return Await(250, "EHLO");
}

void SmtpSession::Send(std::string_view text) {
    // A failed send is not examined here: it shows in the next reply awaited.
    if (tls_.IsOpen()) {
        tls_.SendAll(text.data(), text.size(), deadline_);
    } else {
        socket_.SendAll(text.data(), text.size(), deadline_);
    }
}

int SmtpSession::ReadReply() {
    lines_.clear();
    std::size_t taken = 0;  // bytes of the reply's lines read so far
    for (;;) {
        const std::size_t end = pending_.find('\n');
        if (taken + std::min(end, pending_.size()) > kReplyMax) {
            failure_ = "the server's reply is too long";
            return -1;
        }
        if (end == std::string::npos) {
            // A server that keeps sending must still end its reply by the deadline.
            const Deadline now = SteadyClock::now();
            if (now >= deadline_) {
                failure_ = "the server's reply did not end in time";
                return -1;
            }
            char chunk[kReceiveChunk];
            const Deadline by = std::min(deadline_, now + receiveTimeout_);
            const ssize_t got = tls_.IsOpen() ? tls_.Receive(chunk, sizeof chunk, by)
                                              : socket_.Receive(chunk, sizeof chunk, by);
            if (got <= 0) {
                failure_ = got == 0 ? "the server closed the connection"
                                    : "no reply from the server (silent, or the connection failed)";
                return -1;
            }
            pending_.append(chunk, static_cast<std::size_t>(got));
            continue;
        }
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        taken += end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.size() < 3 || !std::all_of(line.begin(), line.begin() + 3, ::isdigit) ||
            (line.size() > 3 && line[3] != ' ' && line[3] != '-')) {
            failure_ = "the server's reply is not SMTP";
            return -1;
        }
        lines_.push_back(line.size() > 4 ? line.substr(4) : std::string());
        if (line.size() == 3 || line[3] == ' ') {
            return std::stoi(line.substr(0, 3));
        }
        if (lines_.size() == kReplyLinesMax) {
            failure_ = "the server's reply has too many lines";
            return -1;
        }
    }
}

bool SmtpSession::Await(int expected, const char* what) {
    const int code = ReadReply();
    if (code < 0) {
        failure_ = std::string(what) + ": " + failure_;
        return false;
    }
    if (code != expected) {
        failure_ = std::string(what) + " refused: the server answered " + std::to_string(code);
        return false;
    }
    return true;
}

// Whether the last reply (an EHLO answer) lists keyword, with argument among
// its parameters when one is given. The first line names the server.
bool SmtpSession::Offers(const std::string& keyword, const std::string& argument) const {
    for (std::size_t i = 1; i < lines_.size(); ++i) {
        std::string upper = lines_[i];
        std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
        std::istringstream words(upper);
        std::string word;
        if (!(words >> word) || word != keyword) {
            continue;
        }
        if (argument.empty()) {
            return true;
        }
        while (words >> word) {
            if (word == argument) {
                return true;
            }
        }
    }
    return false;
}

bool SmtpSession::Login(const std::string& user) {
    if (!tls_.IsOpen()) {
        failure_ = "a login is never sent in clear text";
        return false;
    }
    // Every form of the password stays in a SecretText, wiped when it goes.
    SecretText credentials, line;
    bool ok = false;
    if (Offers("AUTH", "PLAIN")) {
        const char nul = '\0';
        ok = credentials.Append({&nul, 1}) && credentials.Append(user) &&
             credentials.Append({&nul, 1}) && credentials.Append(password_.View()) &&
             line.Append("AUTH PLAIN ") && line.AppendBase64(credentials.View()) &&
             line.Append("\r\n");
        if (ok) {
            Send(line.View());
            ok = Await(235, "login");
        }
    } else if (Offers("AUTH", "LOGIN")) {
        ok = line.AppendBase64(password_.View()) && line.Append("\r\n");
        if (ok) {
            Send("AUTH LOGIN\r\n");
            ok = Await(334, "AUTH LOGIN");
        }
        if (ok) {
            Send(Base64(user) + "\r\n");
            ok = Await(334, "login name");
        }
        if (ok) {
            Send(line.View());
            ok = Await(235, "login");
        }
    } else {
        failure_ = "the server offers neither AUTH PLAIN nor AUTH LOGIN";
    }
    if (!ok && failure_.empty()) {
        failure_ = "the login name or password is too long";
    }
    password_.Clear();
    return ok;
}

}  // namespace sentrel
