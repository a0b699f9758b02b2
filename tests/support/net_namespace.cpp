#include "support/net_namespace.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace sentrel::testing {

namespace {

bool BringLoopbackUp(std::string* why) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *why = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    if (ok) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
        ok = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    }
    if (!ok) {
        *why = std::string("bringing lo up: ") + std::strerror(errno);
    }
    ::close(fd);
    return ok;
}

}  // namespace

bool RunInFreshNetNamespace(const std::function<void()>& body, std::string* why) {
    std::string failure;
    bool ran = false;
    // A namespace belongs to the thread that made it; a throw-away thread keeps the
    // caller's own thread where it was.
    std::thread worker([&] {
        if (::unshare(CLONE_NEWNET) != 0) {
            failure = std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
            return;
        }
        if (!BringLoopbackUp(&failure)) {
            return;
        }
        ran = true;
        body();
    });
    worker.join();
    if (why != nullptr) {
        *why = failure;
    }
    return ran;
}

bool SetNetSysctl(const std::string& name, const std::string& value) {
    // The kernel resolves /proc/sys/net by the namespace of the opening thread.
    const std::string path = "/proc/sys/net/" + name;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool ok = ::write(fd, value.data(), value.size()) == static_cast<ssize_t>(value.size());
    ::close(fd);
    return ok;
}

}  // namespace sentrel::testing
