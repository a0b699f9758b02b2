// ICMP echo on the wire and one exchange of it.
#include "platform/icmp_echo.h"

#include <linux/errqueue.h>
#include <linux/filter.h>
#include <linux/icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace sentrel {

namespace {

constexpr unsigned char kTypeEchoReply = 0;
constexpr unsigned char kTypeEchoRequest = 8;
constexpr std::size_t kIcmpHeaderSize = 8;
constexpr std::size_t kIpv4MinHeader = 20;

std::uint16_t ReadBigEndian16(const unsigned char* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
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
    const sock_fprog program{static_cast<unsigned short>(kDrop + 1), code};
    (void)::setsockopt(rawFd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program);
    char byte;
    while (::recv(rawFd, &byte, sizeof byte, MSG_DONTWAIT) >= 0 || errno == EINTR) {
    }
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

std::string BuildEchoRequest(std::uint16_t id, std::uint16_t seq, const std::string& data) {
    std::string packet(kIcmpHeaderSize, '\0');
    packet[0] = static_cast<char>(kTypeEchoRequest);
    packet[4] = static_cast<char>(id >> 8);
    packet[5] = static_cast<char>(id & 0xFF);
    packet[6] = static_cast<char>(seq >> 8);
    packet[7] = static_cast<char>(seq & 0xFF);
    packet += data;
    const std::uint16_t sum = InternetChecksum(packet.data(), packet.size());
    packet[2] = static_cast<char>(sum >> 8);
    packet[3] = static_cast<char>(sum & 0xFF);
    return packet;
}

namespace {

using Clock = std::chrono::steady_clock;

// The reply the exchange waits for: an echo reply (type 0, code 0) carrying id and
// seq (host order) and the request's data (more may follow), sent by node.
struct EchoExpectation {
    std::uint16_t id = 0;
    std::uint16_t seq = 0;
    in_addr node{};
    const std::string& data;
};

// Whether a received packet is that reply. withIpHeader: the packet starts with its
// IPv4 header (raw socket), else with the ICMP header (datagram socket).
bool IsEchoReplyFor(const unsigned char* packet, std::size_t size, bool withIpHeader,
                    const in_addr& sender, const EchoExpectation& expected) {
    if (sender.s_addr != expected.node.s_addr) {
        return false;
    }
    const unsigned char* icmp = packet;
    std::size_t icmpSize = size;
    if (withIpHeader) {
        if (size < kIpv4MinHeader || (packet[0] >> 4) != 4) {
            return false;
        }
        const std::size_t headerSize = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
        if (headerSize < kIpv4MinHeader || headerSize > size || packet[9] != IPPROTO_ICMP) {
            return false;
        }
        icmp += headerSize;
        icmpSize -= headerSize;
    }
    if (icmpSize < kIcmpHeaderSize) {
        return false;
    }
    return icmp[0] == kTypeEchoReply && icmp[1] == 0 && ReadBigEndian16(icmp + 4) == expected.id &&
           ReadBigEndian16(icmp + 6) == expected.seq &&
           icmpSize - kIcmpHeaderSize >= expected.data.size() &&
           std::memcmp(icmp + kIcmpHeaderSize, expected.data.data(), expected.data.size()) == 0;
}

// Whether echo, the quoted ICMP header of an error, is that request's.
bool QuotesTheRequest(const unsigned char* echo, const EchoExpectation& expected) {
    return echo[0] == ICMP_ECHO && ReadBigEndian16(echo + 4) == expected.id &&
           ReadBigEndian16(echo + 6) == expected.seq;
}

// Whether a packet read from a raw socket (with its IPv4 header) is an ICMP error
// quoting that request; its type and code then go to result.
bool IsErrorAbout(const unsigned char* packet, std::size_t size, const EchoExpectation& expected,
                  EchoResult* result) {
    if (size < kIpv4MinHeader || (packet[0] >> 4) != 4) {
        return false;
    }
    const std::size_t outer = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
    if (outer < kIpv4MinHeader || size < outer + kIcmpHeaderSize + kIpv4MinHeader + 8) {
        return false;
    }
    const unsigned char* icmp = packet + outer;
    if (icmp[0] != ICMP_DEST_UNREACH && icmp[0] != ICMP_TIME_EXCEEDED &&
        icmp[0] != ICMP_PARAMETERPROB) {
        return false;
    }
    const unsigned char* quoted = icmp + kIcmpHeaderSize;
    const std::size_t inner = static_cast<std::size_t>(quoted[0] & 0x0F) * 4;
    if ((quoted[0] >> 4) != 4 || inner < kIpv4MinHeader ||
        size < outer + kIcmpHeaderSize + inner + 8 || quoted[9] != IPPROTO_ICMP ||
        std::memcmp(quoted + 16, &expected.node.s_addr, 4) != 0 ||
        !QuotesTheRequest(quoted + inner, expected)) {
        return false;
    }
    result->errorType = icmp[0];
    result->errorCode = icmp[1];
    return true;
}

// Empties a datagram socket's error queue; true when an ICMP error quoting that
// request was in it (its type and code then go to result). The kernel hands over
// the quoted echo header, and as the address the quoted packet's destination.
bool QueuedErrorAbout(int fd, const EchoExpectation& expected, EchoResult* result) {
    bool about = false;
    for (;;) {
        unsigned char echo[kIcmpHeaderSize];
        alignas(cmsghdr) unsigned char control[256];
        sockaddr_in to{};
        iovec part{echo, sizeof echo};
        msghdr message{};
        message.msg_name = &to;
        message.msg_namelen = sizeof to;
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t got = ::recvmsg(fd, &message, MSG_ERRQUEUE | MSG_DONTWAIT);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return about;
        }
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level != SOL_IP || c->cmsg_type != IP_RECVERR) {
                continue;
            }
            sock_extended_err error;
            std::memcpy(&error, CMSG_DATA(c), sizeof error);
            if (!about && error.ee_origin == SO_EE_ORIGIN_ICMP &&
                got >= static_cast<ssize_t>(kIcmpHeaderSize) &&
                to.sin_addr.s_addr == expected.node.s_addr && QuotesTheRequest(echo, expected)) {
                about = true;
                result->errorType = error.ee_type;
                result->errorCode = error.ee_code;
            }
        }
    }
}

}  // namespace

int OpenIcmpSocket(IcmpSocketKind kind, int family) {
    if (family != AF_INET) {
        errno = EAFNOSUPPORT;
        return -1;
    }
    const int type = kind == IcmpSocketKind::Datagram ? SOCK_DGRAM : SOCK_RAW;
    const int fd = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd >= 0 && kind == IcmpSocketKind::Raw) {
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
        (void)::setsockopt(fd, SOL_IP, IP_RECVERR, &on, sizeof on);
    }
    return fd;
}

EchoResult ExchangeEcho(int fd, IcmpSocketKind kind, const EchoSend& echo, int watchFd) {
    EchoResult result;
    result.outcome = EchoResult::Outcome::Unsent;
    if (echo.node.family != AF_INET) {
        return result;
    }
    EchoExpectation expected{echo.id, echo.seq, echo.node.v4, echo.data};
    const std::string request = BuildEchoRequest(echo.id, echo.seq, echo.data);
    if (kind == IcmpSocketKind::Raw) {
        QueueOnlyAnswersTo(fd, echo.id);
    }
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr = echo.node.v4;

    const auto start = Clock::now();
    const auto deadline =
        start + std::chrono::milliseconds(echo.timeoutMs < 0 ? 0 : echo.timeoutMs);
    ssize_t sent;
    do {
        sent = ::sendto(fd, request.data(), request.size(), 0,
                        reinterpret_cast<const sockaddr*>(&target), sizeof target);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(request.size())) {
        return result;
    }
    if (kind == IcmpSocketKind::Datagram) {
        // The kernel replaced our identifier by the socket's own; it is the socket's
        // "port", and replies and errors come back carrying it.
        sockaddr_in local{};
        socklen_t length = sizeof local;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
            return result;
        }
        expected.id = ntohs(local.sin_port);
    }

    result.outcome = EchoResult::Outcome::TimedOut;
    unsigned char packet[2048];  // a node may echo more than it was sent; the tail is cut
    for (;;) {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) {
            return result;
        }
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec wait{static_cast<time_t>(ns / 1000000000),
                            static_cast<long>(ns % 1000000000)};
        pollfd fds[2] = {{fd, POLLIN, 0}, {watchFd, 0, 0}};
        if (::ppoll(fds, watchFd >= 0 ? 2 : 1, &wait, nullptr) < 0 && errno != EINTR) {
            return result;
        }
        if (watchFd >= 0 && (fds[1].revents & (POLLHUP | POLLERR)) != 0) {
            result.outcome = EchoResult::Outcome::HungUp;
            return result;
        }
        // An error or a reply read only after the time-out came too late.
        if (kind == IcmpSocketKind::Datagram && QueuedErrorAbout(fd, expected, &result)) {
            result.outcome = Clock::now() <= deadline ? EchoResult::Outcome::IcmpError
                                                      : EchoResult::Outcome::TimedOut;
            return result;
        }
        // Take everything queued; anything but the answer is passed over. A failed
        // read (an error the socket reports) wakes the next wait on the error queue.
        for (;;) {
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t got = ::recvfrom(fd, packet, sizeof packet, MSG_DONTWAIT,
                                           reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                break;
            }
            const auto arrived = Clock::now();
            const auto size = static_cast<std::size_t>(got);
            const bool raw = kind == IcmpSocketKind::Raw;
            if (IsEchoReplyFor(packet, size, raw, from.sin_addr, expected)) {
                result.outcome = EchoResult::Outcome::Answered;
                result.micros =
                    std::chrono::duration_cast<std::chrono::microseconds>(arrived - start).count();
            } else if (raw && IsErrorAbout(packet, size, expected, &result)) {
                result.outcome = EchoResult::Outcome::IcmpError;
            } else {
                continue;
            }
            if (arrived > deadline) {
                result.outcome = EchoResult::Outcome::TimedOut;
            }
            return result;
        }
    }
}

}  // namespace sentrel
