// One short alert message by SMTP.
#pragma once

#include <chrono>
#include <ctime>
#include <string>

#include "alerts/mail_transport.h"
#include "platform/operator_voice.h"

namespace sentrel {

enum MailResult : int { MailSent = 1, MailNoSocket = 2, MailFailed = 3 };

// The whole client dialogue over TCP port 25 of `server` (dotted IPv4 text).
// Bounded: ends within 60 seconds whatever the server does.
MailResult SendAlertMail(std::string server, std::string sender, std::string recipient,
                         std::string subject, std::string message);
// The same dialogue on transport.port; with TLS or a login it opens with EHLO,
// STARTTLS (or TLS on connect) and AUTH, and a failure is explained in one line to `say`.
MailResult SendAlertMail(std::string server, std::string sender, std::string recipient,
                         std::string subject, std::string message, const MailTransport& transport,
                         const OperatorVoice& say = {});

// "Date: Thu, 02 Jan 1997 09:05:07 +0000\r\n" from a local time and its UTC offset.
std::string MailDateLine(const std::tm& local, long gmtOffsetSeconds);

// The message as it goes into the DATA section: every bare LF becomes CR LF and
// a line that begins with "." gets one more ".".
std::string MailBodyText(const std::string& message);

}  // namespace sentrel
