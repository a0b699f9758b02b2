#include "alerts/smtp_mailer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "alerts/smtp_session.h"
#include "platform/net_names.h"
#include "platform/xsocket.h"

namespace sentrel {

namespace {

using std::chrono::milliseconds;

constexpr std::size_t kReplyBufferSize = 3000;
constexpr int kReplyAttempts = 5;
constexpr milliseconds kEmptyReceivePause{500};

// Time limits of one dialogue. The connect may take 10 s; every receive waits
// at most 10 s; and the whole call, connect, sends, receives and pauses
// together, is cut off 55 s after it began. A silent server thus ends the call
// after 5 x (10 s + 0.5 s) = 52.5 s, and no server can hold it beyond 55 s.
constexpr milliseconds kConnectTimeout{10'000};
constexpr milliseconds kReceiveTimeout{10'000};
constexpr milliseconds kDialogueBudget{55'000};

std::atomic<std::uint16_t> g_port{0};
std::atomic<long long> g_receiveTimeoutMs{0};
std::atomic<long long> g_budgetMs{0};

milliseconds ReceiveTimeout() {
    const long long ms = g_receiveTimeoutMs.load();
    return ms > 0 ? milliseconds(ms) : kReceiveTimeout;
}

milliseconds DialogueBudget() {
    const long long ms = g_budgetMs.load();
    return ms > 0 ? milliseconds(ms) : kDialogueBudget;
}

// The reply code as atoi reads it: leading white space, an optional sign, then
// digits up to the first other byte; no digits give 0.
long long ReplyCode(const char* data, std::size_t size) {
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

// "<text>" for the envelope, unless the text is already bracketed.
std::string EnvelopeAddress(const std::string& address) {
    if (!address.empty() && address[0] == '<') {
        return address;
    }
    return "<" + address + ">";
}

class MailDialogue {
  public:
    explicit MailDialogue(const MailTransport& transport)
        : transport_(transport),
          deadline_(SteadyClock::now() + DialogueBudget()),
          session_(socket_, deadline_, ReceiveTimeout()) {}

    MailResult Run(const std::string& server, const std::string& sender,
                   const std::string& recipient, const std::string& subject,
                   const std::string& message);

  private:
    MailResult Dialogue(const std::string& server, const std::string& sender,
                        const std::string& recipient, const std::string& subject,
                        const std::string& message);
    bool Secure() const { return !transport_.Default(); }
    void Send(const std::string& text) {
        if (Secure()) {
            session_.Send(text);
            return;
        }
        // A failed send is not examined here: it shows in the next ReplyWait.
        socket_.SendAll(text, deadline_);
    }
    bool ReplyWait(long long expected);

    const MailTransport& transport_;
    xSocket socket_;
    Deadline deadline_;
    SmtpSession session_;
    char reply_[kReplyBufferSize];
};

bool MailDialogue::ReplyWait(long long expected) {
    if (Secure()) {
        // Past the login a server answers each row with one whole reply.
        return session_.Await(static_cast<int>(expected), "message");
    }
    for (int attempt = 0; attempt < kReplyAttempts; ++attempt) {
        const Deadline now = SteadyClock::now();
        if (now >= deadline_) {
            return false;
        }
        const Deadline receiveBy = std::min(deadline_, now + ReceiveTimeout());
        const ssize_t got = socket_.Receive(reply_, sizeof reply_, receiveBy);
        if (got <= 0) {
            // Closed, failed or silent: pause before the next attempt.
            const auto left = deadline_ - SteadyClock::now();
            if (left > SteadyClock::duration::zero()) {
                std::this_thread::sleep_for(
                    std::min<SteadyClock::duration>(left, kEmptyReceivePause));
            }
            continue;
        }
        if (ReplyCode(reply_, static_cast<std::size_t>(got)) == expected) {
            return true;
        }
        // Another code (a rejection, or a leftover line of an earlier reply):
        // passed over at once.
    }
    return false;
}

// A dialogue that uses TLS or a login says in one line on standard error why it
// failed; the clear-text dialogue stays silent, as it always was.
MailResult MailDialogue::Run(const std::string& server, const std::string& sender,
                             const std::string& recipient, const std::string& subject,
                             const std::string& message) {
    const MailResult result = Dialogue(server, sender, recipient, subject, message);
    if (result != MailSent && Secure()) {
        const std::string& why =
            session_.Failure().empty() ? "the connection was not made" : session_.Failure();
        std::fprintf(stderr, "sentrel: e-mail to %s port %u not sent: %s\n",
                     transport_.serverName.c_str(), static_cast<unsigned>(transport_.port),
                     why.c_str());
    }
    return result;
}

MailResult MailDialogue::Dialogue(const std::string& server, const std::string& sender,
                                  const std::string& recipient, const std::string& subject,
                                  const std::string& message) {
    if (Secure() && !session_.Prepare(transport_)) {
        return MailFailed;
    }
    if (!socket_.Create()) {
        return MailNoSocket;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    const std::uint16_t port = g_port.load();
    addr.sin_port = htons(port != 0 ? port : transport_.port);
    if (!ParseDottedIPv4(server, &addr.sin_addr)) {
        return MailFailed;
    }
    const Deadline connectBy = std::min(deadline_, SteadyClock::now() + kConnectTimeout);
    if (!socket_.Connect(addr, connectBy)) {
        return MailFailed;
    }

    std::string host;
    if (!LocalHostName(&host) || host.empty()) {
        host = "localhost";
    }
    if (Secure()) {
        if (!session_.Open(transport_, host)) {
            return MailFailed;
        }
    } else {
        if (!ReplyWait(220)) {
            return MailFailed;
        }
        Send("HELO " + host + "\r\n");
        if (!ReplyWait(250)) {
            return MailFailed;
        }
    }
    Send("MAIL From: " + EnvelopeAddress(sender) + "\r\n");
    if (!ReplyWait(250)) {
        return MailFailed;
    }
    Send("RCPT To: " + EnvelopeAddress(recipient) + "\r\n");
    if (!ReplyWait(250)) {
        return MailFailed;
    }
    Send("DATA\r\n");
    if (!ReplyWait(354)) {
        return MailFailed;
    }

    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    Send(MailDateLine(local, local.tm_gmtoff));
    Send("From: " + sender + "\r\n");
    Send("Sender: " + sender + "\r\n");
    Send("Reply-to: " + sender + "\r\n");
    Send("Subject: " + subject + "\r\n");
    Send("X-Mailer:[Brightfen EMailer v1.0]\r\n");
    Send("\r\n\r\n");
    Send("* ALERT! Server Not Responding! *\r\n");
    Send(MailBodyText(message) + "\r\n");
    Send("*END*\r\n");
    Send("\r\n.\r\n");
    if (!ReplyWait(250)) {
        return MailFailed;
    }
    Send("QUIT\r\n");
    session_.Close();
    socket_.Close();
    return MailSent;
}

}  // namespace

std::string MailBodyText(const std::string& message) {
    std::string out;
    out.reserve(message.size() + 16);
    bool lineStart = true;
    char previous = '\0';
    for (const char c : message) {
        if (lineStart && c == '.') {
            out += '.';
        }
        if (c == '\n' && previous != '\r') {
            out += '\r';
        }
        out += c;
        lineStart = c == '\n';
        previous = c;
    }
    return out;
}

std::string MailDateLine(const std::tm& local, long gmtOffsetSeconds) {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const int wday = ((local.tm_wday % 7) + 7) % 7;
    const int mon = ((local.tm_mon % 12) + 12) % 12;
    const long offsetMinutes = gmtOffsetSeconds / 60;
    const long absMinutes = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;

    char line[96];
    std::snprintf(line, sizeof line, "Date: %s, %.2d %s %.2d %.2d:%.2d:%.2d %c%.2ld%.2ld\r\n",
                  kDays[wday], local.tm_mday, kMonths[mon], local.tm_year + 1900, local.tm_hour,
                  local.tm_min, local.tm_sec, offsetMinutes < 0 ? '-' : '+', absMinutes / 60,
                  absMinutes % 60);
    return line;
}

MailResult SendAlertMail(std::string server, std::string sender, std::string recipient,
                         std::string subject, std::string message) {
    return SendAlertMail(server, sender, recipient, subject, message, MailTransport{});
}

MailResult SendAlertMail(std::string server, std::string sender, std::string recipient,
                         std::string subject, std::string message, const MailTransport& transport) {
    MailDialogue dialogue(transport);
    return dialogue.Run(server, sender, recipient, subject, message);
}

void SetSmtpPortForTesting(std::uint16_t port) {
    g_port.store(port);
}

void SetSmtpTimingForTesting(std::chrono::milliseconds receiveTimeout,
                             std::chrono::milliseconds budget) {
    g_receiveTimeoutMs.store(receiveTimeout.count());
    g_budgetMs.store(budget.count());
}

}  // namespace sentrel
