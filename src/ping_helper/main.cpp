// sentrel-ping: the one piece of Sentrel that holds a privilege. The package gives
// it CAP_NET_RAW as a file capability; it keeps that capability only until its raw
// ICMP socket is open, then holds none. Its parent writes one echo request per line
// on stdin and reads one answer per line on stdout (platform/ping_helper_protocol.h).
// It sends nothing but echo requests, one at a time, and ends when its input ends
// or nobody reads its answers any more, which is when its parent goes away.
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/icmp_echo.h"
#include "platform/ping_helper_protocol.h"

namespace {

using Clock = std::chrono::steady_clock;
using sentrel::EchoRequest;

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

bool HoldsEffective(unsigned long cap) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    return ::syscall(SYS_capget, &header, data) == 0 && cap < 32 &&
           (data[0].effective & (1U << cap)) != 0;
}

// First thing at start: everything but CAP_NET_RAW goes, and nothing can come back.
// False when any step fails: the helper then serves nothing.
bool KeepOnlyNetRaw() {
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1UL, 0UL, 0UL, 0UL) != 0 ||
        ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0UL, 0UL, 0UL) != 0) {
        return false;
    }
    // Started by root: the bounding set too, while CAP_SETPCAP is still held. A
    // capability this kernel does not know (EINVAL) is not there to drop.
    if (HoldsEffective(CAP_SETPCAP)) {
        for (unsigned long cap = 0; cap <= CAP_LAST_CAP; ++cap) {
            if (cap != CAP_NET_RAW && ::prctl(PR_CAPBSET_DROP, cap, 0UL, 0UL, 0UL) != 0 &&
                errno != EINVAL) {
                return false;
            }
        }
    }
    return SetCapabilities(PermittedLowCapabilities() & kNetRaw);
}

// After the sockets are open. A set-user-ID install (on a file system without
// capabilities) becomes its user again; then the last capability goes.
bool DropEverything() {
    const gid_t gid = ::getgid();
    const uid_t uid = ::getuid();
    return ::setresgid(gid, gid, gid) == 0 && ::setresuid(uid, uid, uid) == 0 &&
           SetCapabilities(0) && PermittedLowCapabilities() == 0;
}

void Say(std::string_view text) {
    const std::string line = std::string(text) + "\n";
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

// At most kMaxEchoesPerSecond echoes within any second, of either family. A round
// that would go over waits until it fits: an echo is held back, never refused.
class RateCap {
  public:
    // The earliest time from now on at which count echoes, gap apart, keep within
    // the cap: echo i replaces the oldest echo still held once the ring is full,
    // and must go out a second after it.
    Clock::time_point Earliest(Clock::time_point now, int count, Clock::duration gap) const {
        const std::size_t size = sent_.size();
        const std::size_t oldest = (next_ + size - count_) % size;
        Clock::time_point start = now;
        for (std::size_t i = 0; i < static_cast<std::size_t>(count); ++i) {
            if (count_ + i >= size) {
                const Clock::time_point replaced = sent_[(oldest + count_ + i - size) % size];
                start = std::max(
                    start, replaced + std::chrono::seconds(1) - static_cast<Clock::rep>(i) * gap);
            }
        }
        return start;
    }

    void Record(Clock::time_point at) {
        sent_[next_] = at;
        next_ = (next_ + 1) % sent_.size();
        count_ = count_ < sent_.size() ? count_ + 1 : count_;
    }

  private:
    std::array<Clock::time_point, sentrel::kMaxEchoesPerSecond> sent_{};
    std::size_t next_ = 0;
    std::size_t count_ = 0;
};

}  // namespace

int main() {
    if (!KeepOnlyNetRaw()) {
        Say(sentrel::kHelperUnavailable);
        return 1;
    }
    const int sock = sentrel::OpenIcmpSocket(sentrel::IcmpSocketKind::Raw);
    // None on a kernel without IPv6: its requests then go unsent.
    const int sock6 = sentrel::OpenIcmpSocket(sentrel::IcmpSocketKind::Raw, AF_INET6);
    if (!DropEverything() || sock < 0) {
        Say(sentrel::kHelperUnavailable);
        return 1;
    }
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);  // wake at the reply, not 50 us later
    Say(sentrel::kHelperReady);

    sentrel::EchoSend echo;
    echo.data = sentrel::EchoRequestData();
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
            Say(sentrel::kAnswerBad);
            continue;
        }
        // Held back until the round fits under the cap.
        const auto gap = std::chrono::milliseconds(sentrel::kEchoGapMs);
        const Clock::time_point start = cap.Earliest(Clock::now(), request.count, gap);
        std::this_thread::sleep_until(start);
        for (int i = 0; i < request.count; ++i) {
            cap.Record(start + i * gap);
        }
        using Outcome = sentrel::EchoResult::Outcome;
        const int fd = request.node.family == AF_INET6 ? sock6 : sock;
        std::vector<sentrel::EchoResult> results(static_cast<std::size_t>(request.count));
        for (sentrel::EchoResult& result : results) {
            result.outcome = Outcome::Unsent;
        }
        if (fd >= 0) {
            echo.node = request.node;
            echo.id = request.id;
            echo.seq = request.seq;
            echo.timeoutMs = request.timeoutMs;
            // Nobody left to read the answers (the parent went away) shows on stdout.
            results = sentrel::ExchangeEchoRound(fd, sentrel::IcmpSocketKind::Raw, echo,
                                                 request.count, sentrel::kEchoGapMs, STDOUT_FILENO);
        }
        for (int i = 0; i < request.count; ++i) {
            const auto seq = static_cast<std::uint16_t>(request.seq + i);
            const sentrel::EchoResult& result = results[static_cast<std::size_t>(i)];
            if (result.outcome == Outcome::HungUp) {
                return 0;
            }
            const sentrel::EchoAnswer answer = sentrel::AnswerFor(request, seq, result);
            Say(sentrel::FormatEchoAnswer(answer));
        }
    }
}
