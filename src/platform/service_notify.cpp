#include "platform/service_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace sentrel {

bool NotifyServiceManager(const std::string& state) {
    const char* path = std::getenv("NOTIFY_SOCKET");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = path != nullptr ? std::strlen(path) : 0;
    if (length < 2 || length >= sizeof address.sun_path || (path[0] != '/' && path[0] != '@')) {
        return false;
    }
    std::memcpy(address.sun_path, path, length);
    if (path[0] == '@') {
        address.sun_path[0] = '\0';  // an abstract socket
    }
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    const bool sent = ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                               reinterpret_cast<const sockaddr*>(&address),
                               size) == static_cast<ssize_t>(state.size());
    ::close(fd);
    return sent;
}

bool ExtendServiceStop(std::chrono::seconds wait) {
    return NotifyServiceManager("EXTEND_TIMEOUT_USEC=" +
                                std::to_string(std::chrono::microseconds(wait).count()));
}

}  // namespace sentrel
