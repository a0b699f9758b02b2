// sentrel-ping: the one piece of Sentrel that holds a privilege. The package gives
// it CAP_NET_RAW as a file capability; it keeps that capability only until its raw
// ICMP socket is open, then holds none. Its parent writes one echo request per line
// on stdin (see echo_request.h) and reads one answer per line on stdout:
//
//   ready                           once, when the socket is open and no privilege is left
//   unavailable                     once, instead, when it could not get there; it then ends
//   <id> <seq> ok <microseconds>    the echo reply came
//   <id> <seq> timeout              nothing came within the time-out
//   <id> <seq> error <type> <code>  an ICMP error about the request came back
//   <id> <seq> unsent               the kernel refused to send the request
//   <id> <seq> rate                 refused: 100 echoes went out within the last second
//   bad                             refused: the line is not a well-formed request
//
// It sends nothing but echo requests, one at a time, and ends when its input ends
// or nobody reads its answers any more, which is when its parent goes away.
#include <linux/capability.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>

#include "engine/icmp_echo.h"
#include "ping_helper/echo_request.h"

namespace {

using Clock = std::chrono::steady_clock;
using sentrel::EchoRequest;

constexpr std::size_t kMaxEchoesPerSecond = 100;
constexpr std::uint32_t kNetRaw = 1U << CAP_NET_RAW;

bool SetCapabilities(std::uint32_t mask) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    data[0].effective = mask;
    data[0].permitted = mask;
    return ::syscall(SYS_capset, &header, data) == 0;
}

std::uint32_t PermittedLowCapabilities() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    return ::syscall(SYS_capget, &header, data) == 0 ? data[0].permitted : 0;
}

// First thing at start: everything but CAP_NET_RAW goes, and nothing can come back.
void KeepOnlyNetRaw() {
    ::prctl(PR_SET_NO_NEW_PRIVS, 1UL, 0UL, 0UL, 0UL);
    ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0UL, 0UL, 0UL);
    // Started by root: the bounding set too, while CAP_SETPCAP is still held.
    for (unsigned long cap = 0; cap <= CAP_LAST_CAP; ++cap) {
        if (cap != CAP_NET_RAW) {
            ::prctl(PR_CAPBSET_DROP, cap, 0UL, 0UL, 0UL);
        }
    }
    SetCapabilities(PermittedLowCapabilities() & kNetRaw);
}

// After the socket is open. A set-user-ID install (on a file system without
// capabilities) becomes its user again; then the last capability goes.
bool DropEverything() {
    const gid_t gid = ::getgid();
    const uid_t uid = ::getuid();
    return ::setresgid(gid, gid, gid) == 0 && ::setresuid(uid, uid, uid) == 0 &&
           SetCapabilities(0) && PermittedLowCapabilities() == 0;
}

int OpenRawSocket() {
    const int fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd >= 0) {
        // Only echo replies and the errors that may answer an echo request.
        icmp_filter filter{};
        filter.data = ~((1U << ICMP_ECHOREPLY) | (1U << ICMP_DEST_UNREACH) |
                        (1U << ICMP_TIME_EXCEEDED) | (1U << ICMP_PARAMETERPROB));
        ::setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
    }
    return fd;
}

void Say(const std::string& text) {
    const std::string line = text + "\n";
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ::_exit(0);  // nobody reads the answers any more
        }
        done += static_cast<std::size_t>(n);
    }
}

// Request lines from stdin; a line longer than a request may be is read to its
// end and reported as too long, holding no more than one chunk in memory.
class LineReader {
  public:
    enum class Result { Line, TooLong, End };

    Result Next(std::string* line) {
        for (;;) {
            const std::size_t newline = pending_.find('\n');
            if (newline != std::string::npos) {
                const bool tooLong = discarding_ || newline > sentrel::kMaxRequestLine;
                *line = pending_.substr(0, newline);
                pending_.erase(0, newline + 1);
                discarding_ = false;
                return tooLong ? Result::TooLong : Result::Line;
            }
            if (pending_.size() > sentrel::kMaxRequestLine) {
                discarding_ = true;
                pending_.clear();
            }
            char chunk[256];
            const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return Result::End;
            }
            pending_.append(chunk, static_cast<std::size_t>(n));
        }
    }

  private:
    std::string pending_;
    bool discarding_ = false;
};

// At most kMaxEchoesPerSecond echoes within any second.
class RateCap {
  public:
    bool Admit(Clock::time_point now) {
        if (count_ == sent_.size() && now - sent_[next_] < std::chrono::seconds(1)) {
            return false;
        }
        sent_[next_] = now;
        next_ = (next_ + 1) % sent_.size();
        count_ = count_ < sent_.size() ? count_ + 1 : count_;
        return true;
    }

  private:
    std::array<Clock::time_point, kMaxEchoesPerSecond> sent_{};
    std::size_t next_ = 0;
    std::size_t count_ = 0;
};

std::uint16_t ReadBigEndian16(const unsigned char* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

// Whether a received packet (with its IPv4 header) is an ICMP error that quotes
// this request; its type and code then go to text.
bool IsErrorAbout(const unsigned char* packet, std::size_t size, const EchoRequest& request,
                  std::string* text) {
    if (size < 20 || (packet[0] >> 4) != 4) {
        return false;
    }
    const std::size_t outer = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
    if (outer < 20 || size < outer + 8 + 20 + 8) {
        return false;
    }
    const unsigned char* icmp = packet + outer;
    if (icmp[0] != ICMP_DEST_UNREACH && icmp[0] != ICMP_TIME_EXCEEDED &&
        icmp[0] != ICMP_PARAMETERPROB) {
        return false;
    }
    const unsigned char* quoted = icmp + 8;
    const std::size_t inner = static_cast<std::size_t>(quoted[0] & 0x0F) * 4;
    if ((quoted[0] >> 4) != 4 || inner < 20 || size < outer + 8 + inner + 8 ||
        quoted[9] != IPPROTO_ICMP || std::memcmp(quoted + 16, &request.node.s_addr, 4) != 0) {
        return false;
    }
    const unsigned char* echo = quoted + inner;
    if (echo[0] != ICMP_ECHO || ReadBigEndian16(echo + 4) != request.id ||
        ReadBigEndian16(echo + 6) != request.seq) {
        return false;
    }
    *text = "error " + std::to_string(icmp[0]) + " " + std::to_string(icmp[1]);
    return true;
}

// Sends one echo request and waits for its answer; gives the answer's text. The
// socket lives for the whole run: what reached it since the last request goes, and
// from here on it queues only what may answer this one.
std::string Echo(int sock, const EchoRequest& request, const std::string& data) {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr = request.node;
    const sentrel::EchoExpectation expected{request.id, request.seq, request.node, data};
    const std::string packet = sentrel::BuildEchoRequest(request.id, request.seq, data);
    (void)sentrel::QueueOnlyAnswersTo(sock, request.id);
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(request.timeoutMs);
    if (::sendto(sock, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&target),
                 sizeof target) != static_cast<ssize_t>(packet.size())) {
        return "unsent";
    }
    for (;;) {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) {
            return "timeout";
        }
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec wait{static_cast<time_t>(ns / 1000000000),
                            static_cast<long>(ns % 1000000000)};
        // Nobody left to read the answer (the parent went away) shows on stdout.
        pollfd fds[2] = {{sock, POLLIN, 0}, {STDOUT_FILENO, 0, 0}};
        if (::ppoll(fds, 2, &wait, nullptr) < 0 && errno != EINTR) {
            return "timeout";
        }
        if (fds[1].revents & (POLLHUP | POLLERR)) {
            ::_exit(0);
        }
        unsigned char buffer[2048];
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        ssize_t got;
        while ((got = ::recvfrom(sock, buffer, sizeof buffer, MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &fromLength)) > 0) {
            const auto arrived = Clock::now();
            const auto size = static_cast<std::size_t>(got);
            std::string error;
            if (arrived > deadline) {
                return "timeout";
            }
            if (sentrel::IsEchoReplyFor(buffer, size, true, from.sin_addr, expected)) {
                const auto micros =
                    std::chrono::duration_cast<std::chrono::microseconds>(arrived - start);
                return "ok " + std::to_string(micros.count());
            }
            if (IsErrorAbout(buffer, size, request, &error)) {
                return error;
            }
            fromLength = sizeof from;
        }
    }
}

}  // namespace

int main() {
    KeepOnlyNetRaw();
    const int sock = OpenRawSocket();
    if (!DropEverything() || sock < 0) {
        Say("unavailable");
        return 1;
    }
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);  // wake at the reply, not 50 us later
    Say("ready");

    const std::string data = sentrel::EchoRequestData();
    LineReader reader;
    RateCap cap;
    std::string line;
    for (;;) {
        const LineReader::Result read = reader.Next(&line);
        if (read == LineReader::Result::End) {
            return 0;
        }
        EchoRequest request;
        if (read == LineReader::Result::TooLong || !sentrel::ParseEchoRequest(line, &request)) {
            Say("bad");
            continue;
        }
        const std::string tag =
            std::to_string(request.id) + " " + std::to_string(request.seq) + " ";
        if (!cap.Admit(Clock::now())) {
            Say(tag + "rate");
            continue;
        }
        Say(tag + Echo(sock, request, data));
    }
}
