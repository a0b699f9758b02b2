#include "alerts/smtp_mailer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "alerts/smtp_session.h"
#include "platform/net_names.h"
#include "platform/xsocket.h"

namespace sentrel {

namespace {

using std::chrono::milliseconds;

constexpr milliseconds kConnectTimeout{10'000};

// "<text>" for the envelope, unless the text is already bracketed.
std::string EnvelopeAddress(const std::string& address) {
    if (!address.empty() && address[0] == '<') {
        return address;
    }
    return "<" + address + ">";
}

class MailDialogue {
  public:
    using Opening = bool (SmtpSession::*)(const MailTransport&, const std::string&);

    MailDialogue(const MailTransport& transport, SmtpReplyReader::Rule rule)
        : transport_(transport),
          deadline_(SteadyClock::now() + transport.wholeLimit),
          session_(socket_, rule, deadline_, transport.receiveLimit) {}

    MailResult Run(Opening open, const std::string& server, const std::string& sender,
                   const std::string& recipient, const std::string& subject,
                   const std::string& message);
    const std::string& Failure() const { return session_.Failure(); }

  private:
    void Send(const std::string& text) { session_.Send(text); }
    bool ReplyWait(int expected) { return session_.Await(expected, "message"); }

    const MailTransport& transport_;
    xSocket socket_;
    Deadline deadline_;
    SmtpSession session_;
};

MailResult MailDialogue::Run(Opening open, const std::string& server, const std::string& sender,
                             const std::string& recipient, const std::string& subject,
                             const std::string& message) {
    if (!session_.Prepare(transport_)) {
        return MailFailed;
    }
    // A dotted IPv4 text or an IPv6 literal; a name that was not resolved fails.
    IpAddress address;
    const bool literal = ParseIpAddress(server, &address);
    if (!socket_.Create(address.family)) {
        return MailNoSocket;
    }
    if (!literal) {
        return MailFailed;
    }
    const Deadline connectBy = std::min(deadline_, SteadyClock::now() + kConnectTimeout);
    if (!socket_.Connect(address, transport_.port, connectBy)) {
        return MailFailed;
    }

    std::string host;
    if (!LocalHostName(&host) || host.empty()) {
        host = "localhost";
    }
    if (!(session_.*open)(transport_, host)) {
        return MailFailed;
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
                         std::string subject, std::string message, const MailTransport& transport,
                         const OperatorVoice& say) {
    // The one choice the transport makes. Without TLS and a login the dialogue is
    // the clear-text one it always was: HELO, each receive judged by the number
    // at its start, and nothing said on standard error.
    if (transport.Default()) {
        MailDialogue dialogue(transport, SmtpReplyReader::Rule::EachReceive);
        return dialogue.Run(&SmtpSession::OpenWithHelo, server, sender, recipient, subject,
                            message);
    }
    // With them: EHLO, TLS and AUTH, whole replies, and a failure explained in
    // one line on standard error.
    MailDialogue dialogue(transport, SmtpReplyReader::Rule::WholeReply);
    const MailResult result =
        dialogue.Run(&SmtpSession::OpenWithEhlo, server, sender, recipient, subject, message);
    if (result != MailSent) {
        const std::string& why =
            dialogue.Failure().empty() ? "the connection was not made" : dialogue.Failure();
        if (say) {
            say("e-mail to " + transport.serverName + " port " + std::to_string(transport.port) +
                " not sent: " + why);
        }
    }
    return result;
}

}  // namespace sentrel
