#include "alerts/mail_transport.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstring>

#include "config/settings_keys.h"

namespace sentrel {

namespace {

constexpr std::size_t kPasswordMax = 1024;
static_assert(kPasswordMax + 2 <= SecretText::kCapacity);

}  // namespace

bool SecretText::Append(std::string_view bytes) {
    if (bytes.size() > kCapacity - size_) {
        return false;
    }
    bytes.copy(bytes_.data() + size_, bytes.size());
    size_ += bytes.size();
    return true;
}

bool SecretText::AppendBase64(std::string_view bytes) {
    // EVP_EncodeBlock ends its output with a NUL that is not kept.
    const std::size_t encoded = 4 * ((bytes.size() + 2) / 3);
    if (encoded >= kCapacity - size_) {
        return false;
    }
    EVP_EncodeBlock(reinterpret_cast<unsigned char*>(bytes_.data() + size_),
                    reinterpret_cast<const unsigned char*>(bytes.data()),
                    static_cast<int>(bytes.size()));
    size_ += encoded;
    return true;
}

void SecretText::Keep(std::size_t size) {
    size_ = std::min(size, kCapacity);
    OPENSSL_cleanse(bytes_.data() + size_, kCapacity - size_);
}

MailTransport MailTransportFromSettings(const MonitorSettings& s) {
    MailTransport t;
    assert(s.Email_Port >= keys::Email_Port.min && s.Email_Port <= keys::Email_Port.max);
    t.port = static_cast<std::uint16_t>(s.Email_Port);
    t.serverName = s.Email_SMTP.substr(0, kSmtpServerTextMax);
    t.user = s.Email_User;
    t.passwordFile = s.Email_Password_File;
    const char* security = s.Email_Security.c_str();
    if (strcasecmp(security, "starttls") == 0) {
        t.security = MailSecurity::StartTls;
    } else if (strcasecmp(security, "tls") == 0) {
        t.security = MailSecurity::Tls;
    } else if (*security != '\0' && strcasecmp(security, "none") != 0) {
        t.fault = "Email_Security must be none, starttls or tls, not " + s.Email_Security;
    }
    if (t.fault.empty() && !t.user.empty() && t.security == MailSecurity::None) {
        t.fault =
            "Email_User needs Email_Security starttls or tls: "
            "a password is never sent in clear text";
    }
    return t;
}

bool ReadPasswordFile(const std::string& path, SecretText* password, std::string* why,
                      const char* what) {
    const std::string name = std::string(what) + " " + path;
    if (path.empty()) {
        *why = "Email_User is set but Email_Password_File is not";
        return false;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        *why = name + " cannot be opened: " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    bool ok = false;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *why = name + " is not a regular file";
    } else if (st.st_uid != ::geteuid()) {
        *why = name + " belongs to another user";
    } else if ((st.st_mode & 077) != 0) {
        *why = name + " may be read or written by others: chmod 600 it";
    } else {
        // Read straight into the secret's own storage: no other buffer ever holds it.
        // Two bytes more than the longest line, for its "\r\n": a longer first line
        // is refused rather than cut, so no other secret than the one written is used.
        const ssize_t got = ::read(fd, password->Storage(), kPasswordMax + 2);
        const std::string_view text(password->Storage(),
                                    got > 0 ? static_cast<std::size_t>(got) : 0);
        std::size_t size = std::min(text.find('\n'), text.size());
        if (size > 0 && text[size - 1] == '\r') {
            --size;
        }
        const std::string_view line = text.substr(0, size);
        if (size > kPasswordMax) {
            *why =
                name + " holds a first line longer than " + std::to_string(kPasswordMax) + " bytes";
        } else if (std::any_of(line.begin(), line.end(),
                               [](char c) { return c == 0x7F || (c >= 0 && c < 0x20); })) {
            // A line break or other control byte would end a header and start another.
            *why = name + " holds a control character on its first line";
        } else if (size == 0) {
            *why = name + " holds no password on its first line";
        } else {
            ok = true;
        }
        password->Keep(ok ? size : 0);
    }
    ::close(fd);
    return ok;
}

}  // namespace sentrel
