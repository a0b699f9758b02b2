// ICMP echo on the wire.
#include "engine/icmp_echo.h"

#include <linux/icmp.h>
#include <sys/socket.h>
#include <unistd.h>

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
           ReadBigEndian16(icmp + 6) == expected.seq;
}

}  // namespace sentrel
