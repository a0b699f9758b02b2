// The ways of sending a round of echoes, behind one interface: an unprivileged
// ICMP datagram socket (net.ipv4.ping_group_range), the privileged helper
// sentrel-ping, or a raw socket of the program's own (started by root or given
// CAP_NET_RAW). Each round opens a socket of its own (or takes a helper process
// of the pool), so one way carries any number of rounds in flight at once.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/icmp_echo.h"

namespace sentrel {

class EchoWay {
  public:
    virtual ~EchoWay() = default;
    // A round of `count` echoes like `first` (sequences first.seq on): the round
    // trip of each in microseconds, in send order, -1 for one not answered in
    // time, kEchoNotSent for one that never went out. Nothing when the way cannot
    // serve now (no socket, no helper) and so sent nothing.
    virtual std::optional<std::vector<std::int64_t>> Round(const EchoSend& first, int count) = 0;
};

// An ICMP socket of one kind, opened for each round.
class SocketEchoWay final : public EchoWay {
  public:
    explicit SocketEchoWay(IcmpSocketKind kind) : kind_(kind) {}
    std::optional<std::vector<std::int64_t>> Round(const EchoSend& first, int count) override;

  private:
    IcmpSocketKind kind_;
};

// The helper, which takes the address in its text form (a zone is left to its refusal).
class HelperEchoWay final : public EchoWay {
  public:
    std::optional<std::vector<std::int64_t>> Round(const EchoSend& first, int count) override;
};

// The way for an address family, the first that works in the order above:
// chosen at the first call and kept; chosen again when `again` (the way kept
// could not serve) and after each PingHelperStop, which is how a reload or a
// test starts over. Null when no way works; the next call tries again.
EchoWay* EchoWayFor(int family, bool again = false);

}  // namespace sentrel
