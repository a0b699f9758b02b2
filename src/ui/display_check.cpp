#include "ui/display_check.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace sentrel::ui {

namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// The platform list Qt takes: "-platform NAME", else QT_QPA_PLATFORM, else its
// default, xcb, with wayland tried too in a Wayland session.
std::string Platforms(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0) {
            return argv[i + 1];
        }
    }
    const std::string chosen = Env("QT_QPA_PLATFORM");
    if (!chosen.empty()) {
        return chosen;
    }
    return Env("XDG_SESSION_TYPE") == "wayland" ? "wayland;xcb" : "xcb";
}

// The whole X connection set-up, authorisation included, as Qt's xcb plugin makes it.
bool XServerAnswers() {
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const bool answers = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    return answers;
}

std::string WaylandSocket() {
    const std::string name = Env("WAYLAND_DISPLAY").empty() ? "wayland-0" : Env("WAYLAND_DISPLAY");
    const std::string runtime = Env("XDG_RUNTIME_DIR");
    return name[0] == '/' ? name : runtime.empty() ? std::string() : runtime + "/" + name;
}

bool WaylandAnswers() {
    if (!Env("WAYLAND_SOCKET").empty()) {
        return true;  // handed over already connected
    }
    const std::string path = WaylandSocket();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        return false;
    }
    path.copy(address.sun_path, path.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool answers =
        fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return answers;
}

}  // namespace

std::string NoDisplayMessage(int argc, char** argv) {
    const std::string platforms = Platforms(argc, argv);
    std::string tried;
    for (std::size_t start = 0; start <= platforms.size();) {
        const std::size_t end = std::min(platforms.find(';', start), platforms.size());
        const std::string entry = platforms.substr(start, end - start);
        const std::string name = entry.substr(0, entry.find(':'));  // options may follow
        start = end + 1;
        if (name == "xcb") {
            if (XServerAnswers()) {
                return {};
            }
            const std::string display = Env("DISPLAY");
            tried +=
                display.empty() ? "; DISPLAY is not set" : "; no X server answers at " + display;
        } else if (name.rfind("wayland", 0) == 0) {
            if (WaylandAnswers()) {
                return {};
            }
            const std::string socket = WaylandSocket();
            tried +=
                "; no Wayland compositor answers at " + (socket.empty() ? "wayland-0" : socket);
        } else if (!name.empty()) {
            return {};  // a platform without a display server, such as offscreen
        }
    }
    if (tried.empty()) {
        return {};
    }
    return "sentrel: no display to open the window on (" + tried.substr(2) +
           "); on a machine without a desktop, use sentrel-monitor";
}

}  // namespace sentrel::ui
