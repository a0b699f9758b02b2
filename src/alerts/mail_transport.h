// How the mailer reaches its server: port, TLS and login, from the hand-edited
// keys Email_Port, Email_Security, Email_User and Email_Password_File.
#pragma once

#include <cstdint>
#include <string>

#include "config/settings.h"

namespace sentrel {

enum class MailSecurity { None, StartTls, Tls };

struct MailTransport {
    std::uint16_t port = 25;
    MailSecurity security = MailSecurity::None;
    // The server as configured (before any lookup): the name the certificate
    // must carry, or the address it must carry when this is dotted text.
    std::string serverName;
    std::string user;  // empty: no login
    std::string passwordFile;
    // Set when the keys cannot be used as given; the mail then fails with this text.
    std::string fault;

    bool Default() const { return security == MailSecurity::None && user.empty() && fault.empty(); }
};

// The transport the settings ask for; serverName is Email_SMTP as the callers
// cut it for the server text.
MailTransport MailTransportFromSettings(const MonitorSettings& settings);

// The first line of a password file that belongs to this user and that nobody
// else may read or write (mode 0600 or stricter). On any other file, false with
// the reason in *why; the content of a refused file is never read.
bool ReadPasswordFile(const std::string& path, std::string* password, std::string* why);

}  // namespace sentrel
