// How the mailer reaches its server: port, TLS and login, from the hand-edited
// keys Email_Port, Email_Security, Email_User and Email_Password_File.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "config/settings.h"

namespace sentrel {

enum class MailSecurity { None, StartTls, Tls };

struct MailTransport {
    std::uint16_t port = static_cast<std::uint16_t>(keys::Email_Port.DefaultNumber());
    MailSecurity security = MailSecurity::None;
    // The server as configured (before any lookup): the name the certificate
    // must carry, or the address it must carry when this is dotted text.
    std::string serverName;
    std::string user;  // empty: no login
    std::string passwordFile;
    // Set when the keys cannot be used as given; the mail then fails with this text.
    std::string fault;
    // Time limits of one dialogue: the connect may take 10 s, every receive waits
    // at most receiveLimit, and the whole call, connect, sends, receives and
    // pauses together, is cut off wholeLimit after it began. A silent server thus
    // ends the call after 5 x (10 s + 0.5 s) = 52.5 s; none holds it beyond 55 s.
    std::chrono::milliseconds receiveLimit{10'000};
    std::chrono::milliseconds wholeLimit{55'000};

    bool Default() const { return security == MailSecurity::None && user.empty() && fault.empty(); }
};

// A password or a form of it (the password file's first line, a login line in
// base64). The bytes live inside the object, never on the heap, so no growth or
// copy leaves one behind in freed memory; all of the storage is wiped, in a way
// the compiler cannot drop, whenever the text is cleared, cut or destroyed.
class SecretText {
  public:
    static constexpr std::size_t kCapacity = 2048;

    SecretText() = default;
    ~SecretText() { Clear(); }
    SecretText(const SecretText&) = delete;
    SecretText& operator=(const SecretText&) = delete;

    // Both false, appending nothing, when the result would not fit.
    bool Append(std::string_view bytes);
    bool AppendBase64(std::string_view bytes);
    // Takes the first `size` bytes of the storage as the text and wipes the rest.
    void Keep(std::size_t size);
    void Clear() { Keep(0); }
    // Where a reader may write up to kCapacity bytes before it calls Keep.
    char* Storage() { return bytes_.data(); }
    std::string_view View() const { return {bytes_.data(), size_}; }

  private:
    std::array<char, kCapacity> bytes_{};
    std::size_t size_ = 0;
};

// The transport the settings ask for; serverName is Email_SMTP as the callers
// cut it for the server text.
MailTransport MailTransportFromSettings(const MonitorSettings& settings);

// The first line of a password file that belongs to this user and that nobody
// else may read or write (mode 0600 or stricter). On any other file, false with
// the reason in *why (which calls the file `what`); the content of a refused
// file is never read.
bool ReadPasswordFile(const std::string& path, SecretText* password, std::string* why,
                      const char* what = "password file");

}  // namespace sentrel
