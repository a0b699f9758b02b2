#include "alerts/smtp_session.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <sstream>
#include <thread>

namespace sentrel {

namespace {

using std::chrono::milliseconds;

constexpr std::size_t kReceiveChunk = 3000;
constexpr int kReceiveAttempts = 5;
constexpr milliseconds kEmptyReceivePause{500};
// Far above any real reply (a long EHLO list is some twenty lines), small
// enough that a server which never ends one cannot make the program grow.
constexpr std::size_t kReplyMax = 64 * 1024;
constexpr std::size_t kReplyLinesMax = 512;

// The reply code as atoi reads it: leading white space, an optional sign, then
// digits up to the first other byte; no digits give 0.
long long LeadingNumber(const char* data, std::size_t size) {
    std::size_t i = 0;
    while (i < size && (data[i] == ' ' || (data[i] >= '\t' && data[i] <= '\r'))) {
        ++i;
    }
    bool negative = false;
    if (i < size && (data[i] == '+' || data[i] == '-')) {
        negative = data[i] == '-';
        ++i;
    }
    long long value = 0;
    for (; i < size && data[i] >= '0' && data[i] <= '9'; ++i) {
        if (value < 1'000'000'000LL) {  // far beyond any reply code; stops overflow
            value = value * 10 + (data[i] - '0');
        }
    }
    return negative ? -value : value;
}

std::string Base64(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                       reinterpret_cast<const unsigned char*>(bytes.data()),
                                       static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(length));
    return out;
}

}  // namespace

bool SmtpReplyReader::Await(ByteStream& stream, int expected, const char* what) {
    if (rule_ == Rule::EachReceive) {
        return AwaitEachReceive(stream, expected, what);
    }
    const int code = ReadWholeReply(stream);
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

bool SmtpReplyReader::AwaitEachReceive(ByteStream& stream, int expected, const char* what) {
    char reply[kReceiveChunk];
    for (int attempt = 0; attempt < kReceiveAttempts; ++attempt) {
        const Deadline now = SteadyClock::now();
        if (now >= deadline_) {
            break;
        }
        const ssize_t got = stream.Receive(reply, sizeof reply, ReceiveBy(now));
        if (got <= 0) {
            // Closed, failed or silent: pause before the next attempt.
            const auto left = deadline_ - SteadyClock::now();
            if (left > SteadyClock::duration::zero()) {
                std::this_thread::sleep_for(
                    std::min<SteadyClock::duration>(left, kEmptyReceivePause));
            }
            continue;
        }
        if (LeadingNumber(reply, static_cast<std::size_t>(got)) == expected) {
            return true;
        }
        // Another code (a rejection, or a leftover line of an earlier reply):
        // passed over at once.
    }
    failure_ = std::string(what) + ": no reply " + std::to_string(expected) + " in time";
    return false;
}

int SmtpReplyReader::ReadWholeReply(ByteStream& stream) {
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
            const ssize_t got = stream.Receive(chunk, sizeof chunk, ReceiveBy(now));
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

bool SmtpSession::Prepare(const MailTransport& transport) {
    if (!transport.fault.empty()) {
        failure_ = transport.fault;
        return false;
    }
    return transport.user.empty() ||
           ReadPasswordFile(transport.passwordFile, &password_, &failure_);
}

bool SmtpSession::OpenWithHelo(const MailTransport&, const std::string& localHost) {
    if (!Await(220, "greeting")) {
        return false;
    }
    Send("HELO " + localHost + "\r\n");
    return Await(250, "HELO");
}

bool SmtpSession::OpenWithEhlo(const MailTransport& transport, const std::string& localHost) {
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
        if (replies_.HasPending()) {
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
    if (!tls_.Handshake(socket_.Handle(), transport.serverName, by, &failure_)) {
        return false;
    }
    stream_ = &tls_;
    return true;
}

bool SmtpSession::Ehlo(const std::string& localHost) {
    Send("EHLO " + localHost + "\r\n");
    return Await(250, "EHLO");
}

bool SmtpSession::Await(int expected, const char* what) {
    if (replies_.Await(*stream_, expected, what)) {
        return true;
    }
    failure_ = replies_.Failure();
    return false;
}

// Whether the last reply (an EHLO answer) lists keyword, with argument among
// its parameters when one is given. The first line names the server.
bool SmtpSession::Offers(const std::string& keyword, const std::string& argument) const {
    const std::vector<std::string>& lines = replies_.Lines();
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::string upper = lines[i];
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
