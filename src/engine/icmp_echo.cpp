// ICMP echo on the wire.
#include "engine/icmp_echo.h"

#include <linux/filter.h>
#include <linux/icmp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
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

}  // namespace

int OpenIcmpSocket(IcmpSocketKind kind) {
    const int type = kind == IcmpSocketKind::Datagram ? SOCK_DGRAM : SOCK_RAW;
    const int fd = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd >= 0 && kind == IcmpSocketKind::Raw) {
        // A raw socket sees every ICMP packet of the host; let only echo replies wake
        // us. Not essential: without the filter the reply test sorts them out.
        icmp_filter filter{};
        filter.data = ~(1U << ICMP_ECHOREPLY);
        (void)::setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
    }
    return fd;
}

bool QueueOnlyAnswersTo(int rawFd, std::uint16_t id) {
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
    const bool filtered =
        ::setsockopt(rawFd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0;
    char byte;
    while (::recv(rawFd, &byte, sizeof byte, MSG_DONTWAIT) >= 0 || errno == EINTR) {
    }
    return filtered;
}

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

bool IsEchoReplyFor(const unsigned char* packet, std::size_t size, bool withIpHeader,
                    const in_addr& sender, const EchoExpectation& expected) {
    if (packet == nullptr || sender.s_addr != expected.node.s_addr) {
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

}  // namespace sentrel
