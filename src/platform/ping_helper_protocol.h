// The line protocol between the programs and their helper sentrel-ping, written by
// the helper (src/ping_helper) and read by its client (src/engine). The helper
// says once, first:
//
//   ready                           its socket is open and no privilege is left
//   unavailable                     it could not get there; it then ends
//
// then reads one request line per echo or round of echoes, read strictly:
//
//   <address> <identifier> <sequence> <time-out in ms>
//   <address> <identifier> <sequence> <time-out in ms> <count>
//
// Single blanks between the fields, a newline at the end, decimal numbers without
// sign or leading zeros. The address is a unicast IPv4 address in dotted-quad form,
// or a unicast IPv6 address in its text form without brackets. Refused for IPv6:
// multicast, the unspecified address (::), IPv4-mapped (::ffff:a.b.c.d; give the
// dotted form) and IPv4-compatible addresses, and any zone (%name): a link-local
// node cannot be reached through the helper. The identifier and sequence are 0 to
// 65535; the time-out is 1 to kMaxEchoTimeoutMs. The count (1 to
// kMaxEchoesInRound, 1 when absent) asks for a round: that many echo requests with
// the sequences <sequence>, <sequence> + 1, ... (modulo 65536), kEchoGapMs apart,
// waiting for the answers until the time-out after the last one. At most
// kMaxEchoesPerSecond echoes of either family go out within any second: a request
// that would go over is held back until it fits, never refused. It answers each
// echo with one line, in the order the echoes were asked for:
//
//   <id> <seq> ok <microseconds>    the echo reply came
//   <id> <seq> timeout              nothing came within the time-out
//   <id> <seq> error <type> <code>  an ICMP error about the request came back
//   <id> <seq> unsent               the kernel refused to send the request
//   bad                             refused: the line is not a well-formed request
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/icmp_echo.h"

namespace sentrel {

inline constexpr std::size_t kMaxRequestLine = 64;  // without the newline
inline constexpr std::size_t kMaxAnswerLine = 128;  // no answer is longer
inline constexpr int kMaxEchoTimeoutMs = 10000;
inline constexpr std::size_t kMaxEchoesPerSecond = 100;
inline constexpr std::string_view kHelperReady = "ready";
inline constexpr std::string_view kHelperUnavailable = "unavailable";
inline constexpr std::string_view kAnswerBad = "bad";

struct EchoRequest {
    IcmpAddress node;
    std::uint16_t id = 0;
    std::uint16_t seq = 0;
    int timeoutMs = 0;
    int count = 1;
};

// True when line (without its newline) is a well-formed request; out is then filled.
bool ParseEchoRequest(std::string_view line, EchoRequest* out);
// The request line for an address literal, without the newline; a count of 1 is
// left out.
std::string FormatEchoRequest(std::string_view address, std::uint16_t id, std::uint16_t seq,
                              int timeoutMs, int count = 1);

struct EchoAnswer {
    enum class Word { Ok, Timeout, Error, Unsent };
    std::uint16_t id = 0;
    std::uint16_t seq = 0;
    Word word = Word::Timeout;
    std::int64_t micros = 0;  // ok
    int type = 0;             // error
    int code = 0;
};

// The answer the helper gives for the result of the request's echo with sequence
// seq (HungUp has none; Timeout).
EchoAnswer AnswerFor(const EchoRequest& request, std::uint16_t seq, const EchoResult& result);
// The answer line, without the newline.
std::string FormatEchoAnswer(const EchoAnswer& answer);
// True when line (without its newline) is a well-formed answer to a request.
bool ParseEchoAnswer(std::string_view line, EchoAnswer* out);

}  // namespace sentrel
