// ICMP echo on the wire and one exchange of it.
#include "platform/icmp_echo.h"

#include <linux/errqueue.h>
#include <linux/filter.h>
#include <linux/icmp.h>
#include <netinet/icmp6.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

namespace sentrel {

namespace {

constexpr unsigned char kTypeEchoReply = 0;
constexpr unsigned char kTypeEchoRequest = 8;
constexpr std::size_t kIcmpHeaderSize = 8;
constexpr std::size_t kIpv4MinHeader = 20;
constexpr std::size_t kIpv6Header = 40;

std::uint16_t ReadBigEndian16(const unsigned char* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

// Gives the socket its filter, then empties what was queued before it.
void AttachAndDrain(int rawFd, sock_filter* code, unsigned count) {
    const sock_fprog program{static_cast<unsigned short>(count), code};
    (void)::setsockopt(rawFd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program);
    char byte;
    while (::recv(rawFd, &byte, sizeof byte, MSG_DONTWAIT) >= 0 || errno == EINTR) {
    }
}

// From now on the kernel queues on the raw socket only what may answer an echo
// request with identifier id (echo replies carrying it, ICMP errors quoting an echo
// request carrying it), so the rest of the host's ICMP never fills the queue; then
// what was queued before goes. A refused filter leaves the reply test to decide.
void QueueOnlyAnswersTo(int rawFd, std::uint16_t id) {
    // A raw IPv4 socket's filter sees the packet from its IP header on; X holds the
    // offset of the ICMP header, later that of the echo quoted in an error.
    constexpr unsigned kError = 5;
    constexpr unsigned kQuoted = 8;
    constexpr unsigned kAccept = 19;
    constexpr unsigned kDrop = 20;
    auto to = [](unsigned from, unsigned target) { return static_cast<__u8>(target - from - 1); };
    sock_filter code[] = {
        BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),  // 0: X = IP header size
        BPF_STMT(BPF_LD | BPF_B | BPF_IND, 0),   // 1: the ICMP type
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ICMP_ECHOREPLY, 0, to(2, kError)),
        BPF_STMT(BPF_LD | BPF_H | BPF_IND, 4),  // 3: the identifier
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, id, to(4, kAccept), to(4, kDrop)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ICMP_DEST_UNREACH, to(kError, kQuoted), 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ICMP_TIME_EXCEEDED, to(6, kQuoted), 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ICMP_PARAMETERPROB, 0, to(7, kDrop)),
        BPF_STMT(BPF_LD | BPF_B | BPF_IND, 8 + 9),  // 8: the quoted packet's protocol
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_ICMP, 0, to(9, kDrop)),
        BPF_STMT(BPF_LD | BPF_B | BPF_IND, 8),  // 10: its header length
        BPF_STMT(BPF_ALU | BPF_AND | BPF_K, 0x0F),
        BPF_STMT(BPF_ALU | BPF_LSH | BPF_K, 2),
        BPF_STMT(BPF_ALU | BPF_ADD | BPF_X, 0),
        BPF_STMT(BPF_MISC | BPF_TAX, 0),        // 14: X + 8 = the quoted echo
        BPF_STMT(BPF_LD | BPF_B | BPF_IND, 8),  // 15: its type
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ICMP_ECHO, 0, to(16, kDrop)),
        BPF_STMT(BPF_LD | BPF_H | BPF_IND, 8 + 4),  // 17: its identifier
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, id, to(18, kAccept), to(18, kDrop)),
        BPF_STMT(BPF_RET | BPF_K, 0xFFFF),  // 19: accept the whole packet
        BPF_STMT(BPF_RET | BPF_K, 0),       // 20: drop
    };
    static_assert(sizeof code / sizeof code[0] == kDrop + 1);
    AttachAndDrain(rawFd, code, kDrop + 1);
}

// The same for a raw ICMPv6 socket, whose filter sees the packet from its ICMPv6
// header on. An error quotes the request from its IPv6 header on (40 bytes after
// the error's own 8); a quote with extension headers before the echo is dropped.
void QueueOnlyAnswersTo6(int rawFd, std::uint16_t id) {
    constexpr unsigned kAccept = 12;
    constexpr unsigned kDrop = 13;
    constexpr unsigned kQuote = 8 + kIpv6Header;
    auto to = [](unsigned from, unsigned target) { return static_cast<__u8>(target - from - 1); };
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 0),  // 0: the ICMPv6 type
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ICMP6_ECHO_REPLY, 0, to(1, 4)),
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 4),  // 2: the identifier
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, id, to(3, kAccept), to(3, kDrop)),
        BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, ICMP6_PARAM_PROB, to(4, kDrop), 0),
        BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, ICMP6_DST_UNREACH, 0, to(5, kDrop)),
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 8 + 6),  // 6: the quoted packet's next header
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_ICMPV6, 0, to(7, kDrop)),
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, kQuote),  // 8: the quoted type
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ICMP6_ECHO_REQUEST, 0, to(9, kDrop)),
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, kQuote + 4),  // 10: its identifier
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, id, to(11, kAccept), to(11, kDrop)),
        BPF_STMT(BPF_RET | BPF_K, 0xFFFF),  // 12: accept the whole packet
        BPF_STMT(BPF_RET | BPF_K, 0),       // 13: drop
    };
    static_assert(sizeof code / sizeof code[0] == kDrop + 1);
    AttachAndDrain(rawFd, code, kDrop + 1);
}

}  // namespace

std::uint16_t InternetChecksum(const void* data, std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        sum += ReadBigEndian16(p + i);
    }
    if (size % 2 != 0) {
        sum += static_cast<std::uint32_t>(p[size - 1]) << 8;
    }
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

std::string EchoRequestData() {
    std::string block = "Brightfen Sentrel";
    block.resize(20, ' ');
    std::string data;
    for (int i = 0; i < 6; ++i) {
        data += block;
    }
    return data;
}

std::string BuildEchoRequest(std::uint16_t id, std::uint16_t seq, const std::string& data,
                             int family) {
    std::string packet(kIcmpHeaderSize, '\0');
    packet[0] = static_cast<char>(kTypeEchoRequest);
    packet[4] = static_cast<char>(id >> 8);
    packet[5] = static_cast<char>(id & 0xFF);
    packet[6] = static_cast<char>(seq >> 8);
    packet[7] = static_cast<char>(seq & 0xFF);
    packet += data;
    if (family == AF_INET6) {
        packet[0] = static_cast<char>(ICMP6_ECHO_REQUEST);
        return packet;
    }
    const std::uint16_t sum = InternetChecksum(packet.data(), packet.size());
    packet[2] = static_cast<char>(sum >> 8);
    packet[3] = static_cast<char>(sum & 0xFF);
    return packet;
}

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<Clock::rep> gPaceStep{0};      // the pacing interval, in clock ticks
std::atomic<Clock::rep> gNextSendFree{0};  // when the next request may go out

// Reserves the pacer's next free slot for a request due now: when it may go out,
// an interval after the slot reserved before it (now while nothing is paced).
// Each waiting request holds a slot of its own, so rounds waiting together wake
// one at a time rather than all at every slot.
Clock::time_point ReserveSendSlot() {
    const Clock::rep step = gPaceStep.load();
    const Clock::rep now = Clock::now().time_since_epoch().count();
    if (step <= 0) {
        return Clock::time_point(Clock::duration(now));
    }
    Clock::rep free = gNextSendFree.load();
    Clock::rep slot;
    do {
        slot = std::max(now, free);
    } while (!gNextSendFree.compare_exchange_weak(free, slot + step));
    return Clock::time_point(Clock::duration(slot));
}

// What the exchange waits for: from node, echo replies (type 0 or 129, code 0)
// carrying id and one of the round's sequences (host order) and the request's data
// (more may follow), or ICMP errors quoting such a request.
struct EchoExpectation {
    std::uint16_t id = 0;
    std::uint16_t firstSeq = 0;
    int count = 1;
    IpAddress node;
    const std::string& data;

    // The echo of the round that carries seq, or -1.
    int Slot(std::uint16_t seq) const {
        const auto index = static_cast<std::uint16_t>(seq - firstSeq);
        return index < count ? index : -1;
    }
    bool IsNode(const sockaddr_storage& from) const {
        if (node.family == AF_INET6) {
            const auto& sin6 = reinterpret_cast<const sockaddr_in6&>(from);
            return from.ss_family == AF_INET6 &&
                   std::memcmp(&sin6.sin6_addr, &node.v6, sizeof node.v6) == 0;
        }
        return from.ss_family == AF_INET &&
               reinterpret_cast<const sockaddr_in&>(from).sin_addr.s_addr == node.v4.s_addr;
    }
};

// The echo a received packet answers, or -1. withIpHeader: the packet starts with
// its IPv4 header (raw IPv4 socket), else with the ICMP header.
int ReplySlot(const unsigned char* packet, std::size_t size, bool withIpHeader,
              const sockaddr_storage& sender, const EchoExpectation& expected) {
    if (!expected.IsNode(sender)) {
        return -1;
    }
    const unsigned char* icmp = packet;
    std::size_t icmpSize = size;
    if (withIpHeader) {
        if (size < kIpv4MinHeader || (packet[0] >> 4) != 4) {
            return -1;
        }
        const std::size_t headerSize = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
        if (headerSize < kIpv4MinHeader || headerSize > size || packet[9] != IPPROTO_ICMP) {
            return -1;
        }
        icmp += headerSize;
        icmpSize -= headerSize;
    }
    if (icmpSize < kIcmpHeaderSize) {
        return -1;
    }
    const unsigned char reply =
        expected.node.family == AF_INET6 ? ICMP6_ECHO_REPLY : kTypeEchoReply;
    const bool matches =
        icmp[0] == reply && icmp[1] == 0 && ReadBigEndian16(icmp + 4) == expected.id &&
        icmpSize - kIcmpHeaderSize >= expected.data.size() &&
        std::memcmp(icmp + kIcmpHeaderSize, expected.data.data(), expected.data.size()) == 0;
    return matches ? expected.Slot(ReadBigEndian16(icmp + 6)) : -1;
}

// The echo of the round that echo, the quoted ICMP header of an error, is; or -1.
int QuotedSlot(const unsigned char* echo, const EchoExpectation& expected) {
    const unsigned char request =
        expected.node.family == AF_INET6 ? ICMP6_ECHO_REQUEST : kTypeEchoRequest;
    return echo[0] == request && ReadBigEndian16(echo + 4) == expected.id
               ? expected.Slot(ReadBigEndian16(echo + 6))
               : -1;
}

// The echo that a packet read from a raw socket (IPv4: with its IP header) is an
// ICMP error about, or -1; the error's type and code then go to error.
int ErrorSlot(const unsigned char* packet, std::size_t size, const EchoExpectation& expected,
              EchoResult* error) {
    if (expected.node.family == AF_INET6) {
        // Destination unreachable, packet too big, time exceeded, parameter problem,
        // quoting the request from its IPv6 header on.
        const unsigned char* quoted = packet + kIcmpHeaderSize;
        if (size < kIcmpHeaderSize + kIpv6Header + kIcmpHeaderSize ||
            packet[0] < ICMP6_DST_UNREACH || packet[0] > ICMP6_PARAM_PROB ||
            (quoted[0] >> 4) != 6 || quoted[6] != IPPROTO_ICMPV6 ||
            std::memcmp(quoted + 24, &expected.node.v6, sizeof expected.node.v6) != 0) {
            return -1;
        }
        error->errorType = packet[0];
        error->errorCode = packet[1];
        return QuotedSlot(quoted + kIpv6Header, expected);
    }
    if (size < kIpv4MinHeader || (packet[0] >> 4) != 4) {
        return -1;
    }
    const std::size_t outer = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
    if (outer < kIpv4MinHeader || size < outer + kIcmpHeaderSize + kIpv4MinHeader + 8) {
        return -1;
    }
    const unsigned char* icmp = packet + outer;
    if (icmp[0] != ICMP_DEST_UNREACH && icmp[0] != ICMP_TIME_EXCEEDED &&
        icmp[0] != ICMP_PARAMETERPROB) {
        return -1;
    }
    const unsigned char* quoted = icmp + kIcmpHeaderSize;
    const std::size_t inner = static_cast<std::size_t>(quoted[0] & 0x0F) * 4;
    if ((quoted[0] >> 4) != 4 || inner < kIpv4MinHeader ||
        size < outer + kIcmpHeaderSize + inner + 8 || quoted[9] != IPPROTO_ICMP ||
        std::memcmp(quoted + 16, &expected.node.v4.s_addr, 4) != 0) {
        return -1;
    }
    error->errorType = icmp[0];
    error->errorCode = icmp[1];
    return QuotedSlot(quoted + inner, expected);
}

// What one receive took besides its data: the sender (for an error, the quoted
// packet's destination) and the control messages.
struct Received {
    sockaddr_storage from{};
    alignas(cmsghdr) unsigned char control[256];
    msghdr message{};
};

// One packet, or with MSG_ERRQUEUE one queued error, taken without waiting and
// retried when a signal interrupts; -1 when nothing is queued.
ssize_t ReceiveNow(int fd, void* data, std::size_t size, int flags, Received* taken) {
    iovec part{data, size};
    taken->message.msg_name = &taken->from;
    taken->message.msg_namelen = sizeof taken->from;
    taken->message.msg_iov = &part;
    taken->message.msg_iovlen = 1;
    taken->message.msg_control = taken->control;
    taken->message.msg_controllen = sizeof taken->control;
    ssize_t got;
    do {
        got = ::recvmsg(fd, &taken->message, flags | MSG_DONTWAIT);
    } while (got < 0 && errno == EINTR);
    taken->message.msg_iov = nullptr;  // part ends here
    taken->message.msg_iovlen = 0;
    return got;
}

// Empties a datagram socket's error queue, handing each ICMP error quoting an echo
// of the round to about(slot, type, code). The kernel hands over the quoted echo
// header, and as the address the quoted packet's destination.
template <typename About>
void TakeQueuedErrors(int fd, const EchoExpectation& expected, About about) {
    const bool v6 = expected.node.family == AF_INET6;
    for (;;) {
        unsigned char echo[kIcmpHeaderSize];
        Received taken;
        const ssize_t got = ReceiveNow(fd, echo, sizeof echo, MSG_ERRQUEUE, &taken);
        if (got < 0) {
            return;
        }
        const sockaddr_storage& to = taken.from;
        msghdr& message = taken.message;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level != (v6 ? SOL_IPV6 : SOL_IP) ||
                c->cmsg_type != (v6 ? IPV6_RECVERR : IP_RECVERR)) {
                continue;
            }
            sock_extended_err error;
            if (!ControlData(c, &error, sizeof error)) {
                continue;
            }
            const int slot = got >= static_cast<ssize_t>(kIcmpHeaderSize) && expected.IsNode(to)
                                 ? QuotedSlot(echo, expected)
                                 : -1;
            if (error.ee_origin == (v6 ? SO_EE_ORIGIN_ICMP6 : SO_EE_ORIGIN_ICMP) && slot >= 0) {
                about(slot, error.ee_type, error.ee_code);
            }
        }
    }
}

// The kernel's receive stamp of a received packet; false when it gave none.
bool ReceiveStamp(msghdr* message, timespec* stamp) {
    for (cmsghdr* c = CMSG_FIRSTHDR(message); c != nullptr; c = CMSG_NXTHDR(message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS &&
            ControlData(c, stamp, sizeof *stamp)) {
            return true;
        }
    }
    return false;
}

}  // namespace

void WaitForSendSlot() {
    std::this_thread::sleep_until(ReserveSendSlot());
}

void SetEchoPacing(std::chrono::milliseconds interval) {
    gPaceStep.store(std::chrono::duration_cast<Clock::duration>(interval).count());
}

ClockReading ClockReading::Now() {
    return {Clock::now(), std::chrono::system_clock::now()};
}

Clock::time_point ArrivalTime(const timespec& stamp, const ClockReading& sent,
                              const ClockReading& now) {
    // Slewing moves the wall clock by well under a millisecond in a round's time.
    constexpr auto kStepped = std::chrono::milliseconds(1);
    const auto steadyRan = now.steady - sent.steady;
    const auto wallRan = std::chrono::duration_cast<Clock::duration>(now.wall - sent.wall);
    const auto waited = std::chrono::duration_cast<Clock::duration>(
        now.wall.time_since_epoch() - std::chrono::seconds(stamp.tv_sec) -
        std::chrono::nanoseconds(stamp.tv_nsec));
    if (wallRan - steadyRan > kStepped || steadyRan - wallRan > kStepped ||
        waited < waited.zero() || waited > steadyRan) {
        return now.steady;
    }
    return now.steady - waited;
}

bool ControlData(const cmsghdr* message, void* out, std::size_t size) {
    if (message->cmsg_len < CMSG_LEN(size)) {
        return false;
    }
    std::memcpy(out, CMSG_DATA(message), size);
    return true;
}

int OpenIcmpSocket(IcmpSocketKind kind, int family) {
    if (family != AF_INET && family != AF_INET6) {
        errno = EAFNOSUPPORT;
        return -1;
    }
    const bool v6 = family == AF_INET6;
    const int type = kind == IcmpSocketKind::Datagram ? SOCK_DGRAM : SOCK_RAW;
    const int protocol = v6 ? int{IPPROTO_ICMPV6} : int{IPPROTO_ICMP};
    const int fd = ::socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    if (fd >= 0 && kind == IcmpSocketKind::Raw && v6) {
        // The kernel's ICMPv6 filter: echo replies and the errors that can be about
        // a request; not the host's neighbour discovery and router traffic.
        icmp6_filter filter;
        ICMP6_FILTER_SETBLOCKALL(&filter);
        for (const int pass : {ICMP6_ECHO_REPLY, ICMP6_DST_UNREACH, ICMP6_PACKET_TOO_BIG,
                               ICMP6_TIME_EXCEEDED, ICMP6_PARAM_PROB}) {
            ICMP6_FILTER_SETPASS(pass, &filter);
        }
        (void)::setsockopt(fd, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter);
    } else if (fd >= 0 && kind == IcmpSocketKind::Raw) {
        // A raw socket sees every ICMP packet of the host; let only echo replies and
        // the errors that may answer a request wake us. Not essential: without the
        // filter the exchange sorts them out.
        icmp_filter filter{};
        filter.data = ~((1U << ICMP_ECHOREPLY) | (1U << ICMP_DEST_UNREACH) |
                        (1U << ICMP_TIME_EXCEEDED) | (1U << ICMP_PARAMETERPROB));
        (void)::setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
    } else if (fd >= 0) {
        // Without it a ping socket drops the ICMP errors about its requests.
        const int on = 1;
        (void)::setsockopt(fd, v6 ? SOL_IPV6 : SOL_IP, v6 ? IPV6_RECVERR : IP_RECVERR, &on,
                           sizeof on);
    }
    if (fd >= 0) {
        // The kernel's receive time of each packet; see ArrivalTime.
        const int on = 1;
        (void)::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    }
    return fd;
}

EchoResult ExchangeEcho(int fd, IcmpSocketKind kind, const EchoSend& echo, int watchFd) {
    return ExchangeEchoRound(fd, kind, echo, 1, 0, watchFd).front();
}

std::vector<EchoResult> ExchangeEchoRound(int fd, IcmpSocketKind kind, const EchoSend& first,
                                          int count, int gapMs, int watchFd) {
    using Outcome = EchoResult::Outcome;
    assert(count >= 1 && count <= kMaxEchoesInRound);  // the settings and the helper check it
    std::vector<EchoResult> results(static_cast<std::size_t>(count));
    for (EchoResult& r : results) {
        r.outcome = Outcome::Unsent;
    }
    const int family = first.node.family;
    if (family != AF_INET && family != AF_INET6) {
        return results;
    }
    EchoExpectation expected{first.id, first.seq, count, first.node, first.data};
    const bool raw = kind == IcmpSocketKind::Raw;
    if (raw) {
        family == AF_INET6 ? QueueOnlyAnswersTo6(fd, first.id) : QueueOnlyAnswersTo(fd, first.id);
    }
    sockaddr_storage target{};
    const socklen_t targetSize = ToSocketAddress(first.node, 0, &target);
    const auto timeout = std::chrono::milliseconds(first.timeoutMs < 0 ? 0 : first.timeoutMs);
    const auto gap = std::chrono::milliseconds(gapMs < 0 ? 0 : gapMs);

    std::vector<ClockReading> sentAt(results.size());
    std::vector<char> waiting(results.size(), 0);  // sent, not yet answered
    int next = 0;                                  // the next echo to send
    int unanswered = 0;
    bool idKnown = !(kind == IcmpSocketKind::Datagram);
    Clock::time_point deadline;
    const auto roundStart = Clock::now();
    std::optional<Clock::time_point> slot;  // the pacer's slot of the request due
    auto settle = [&](int slot, Outcome outcome, Clock::time_point at) {
        if (slot < 0 || !waiting[slot]) {
            return false;  // not of this round, or a duplicate
        }
        waiting[slot] = 0;
        --unanswered;
        // An answer read only after the round's time-out came too late.
        results[slot].outcome = next == count && at > deadline ? Outcome::TimedOut : outcome;
        return true;
    };
    unsigned char packet[2048];  // a node may echo more than it was sent; the tail is cut
    for (;;) {
        // Send what is due. Each echo's deadline is the round's: the time-out after
        // the last request.
        while (next < count && Clock::now() >= roundStart + next * gap) {
            if (!slot) {
                slot = ReserveSendSlot();
            }
            if (Clock::now() < *slot) {
                break;  // its slot is still ahead
            }
            slot.reset();
            const auto seq = static_cast<std::uint16_t>(first.seq + next);
            const std::string request = BuildEchoRequest(first.id, seq, first.data, family);
            const ClockReading start = ClockReading::Now();
            ssize_t sent;
            do {
                sent = ::sendto(fd, request.data(), request.size(), 0,
                                reinterpret_cast<const sockaddr*>(&target), targetSize);
            } while (sent < 0 && errno == EINTR);
            const int slot = next++;
            if (sent != static_cast<ssize_t>(request.size())) {
                continue;
            }
            if (!idKnown) {
                // The kernel replaced our identifier by the socket's own; it is the
                // socket's "port", and replies and errors come back carrying it.
                sockaddr_storage local{};
                socklen_t length = sizeof local;
                if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
                    return results;
                }
                expected.id =
                    ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(local).sin6_port
                                             : reinterpret_cast<sockaddr_in&>(local).sin_port);
                idKnown = true;
            }
            sentAt[slot] = start;
            deadline = start.steady + timeout;
            waiting[slot] = 1;
            ++unanswered;
            results[slot].outcome = Outcome::TimedOut;
        }
        if (next == count && (unanswered == 0 || Clock::now() >= deadline)) {
            return results;
        }
        const auto wake = next == count ? deadline : slot ? *slot : roundStart + next * gap;
        const auto left = wake - Clock::now();
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            left < Clock::duration::zero() ? Clock::duration::zero() : left)
                            .count();
        const timespec wait{static_cast<time_t>(ns / 1000000000),
                            static_cast<long>(ns % 1000000000)};
        pollfd fds[2] = {{fd, POLLIN, 0}, {watchFd, 0, 0}};
        if (::ppoll(fds, watchFd >= 0 ? 2 : 1, &wait, nullptr) < 0 && errno != EINTR) {
            return results;
        }
        if (watchFd >= 0 && (fds[1].revents & (POLLHUP | POLLERR)) != 0) {
            for (std::size_t i = 0; i < results.size(); ++i) {
                if (waiting[i] || static_cast<int>(i) >= next) {
                    results[i].outcome = Outcome::HungUp;
                }
            }
            return results;
        }
        if (!raw) {
            TakeQueuedErrors(fd, expected, [&](int slot, int type, int code) {
                if (settle(slot, Outcome::IcmpError, Clock::now())) {
                    results[slot].errorType = type;
                    results[slot].errorCode = code;
                }
            });
        }
        // Take everything queued; anything but an answer is passed over. A failed
        // read (an error the socket reports) wakes the next wait on the error queue.
        for (;;) {
            Received taken;
            const ssize_t got = ReceiveNow(fd, packet, sizeof packet, 0, &taken);
            if (got < 0) {
                break;
            }
            const sockaddr_storage& from = taken.from;
            const ClockReading now = ClockReading::Now();
            timespec stamp{};
            const bool stamped = ReceiveStamp(&taken.message, &stamp);
            const auto size = static_cast<std::size_t>(got);
            const int slot = ReplySlot(packet, size, raw && family == AF_INET, from, expected);
            const auto arrived = slot >= 0 && waiting[slot] && stamped
                                     ? ArrivalTime(stamp, sentAt[slot], now)
                                     : now.steady;
            EchoResult error;
            if (slot >= 0 && settle(slot, Outcome::Answered, arrived)) {
                results[slot].micros = std::chrono::duration_cast<std::chrono::microseconds>(
                                           arrived - sentAt[slot].steady)
                                           .count();
            } else if (const int about = raw ? ErrorSlot(packet, size, expected, &error) : -1;
                       about >= 0 && settle(about, Outcome::IcmpError, arrived)) {
                results[about].errorType = error.errorType;
                results[about].errorCode = error.errorCode;
            }
        }
    }
}

}  // namespace sentrel
