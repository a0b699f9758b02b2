// The helper's line protocol. The parsers read only what a line may hold and never
// trust a length: every field is bounded before it is converted.
#include "platform/ping_helper_protocol.h"

#include <arpa/inet.h>

namespace sentrel {

namespace {

// Splits the next blank-separated field off text; false when it is empty.
bool NextField(std::string_view* text, std::string_view* field) {
    const std::size_t blank = text->find(' ');
    *field = text->substr(0, blank);
    *text = blank == std::string_view::npos ? std::string_view() : text->substr(blank + 1);
    return !field->empty();
}

// A decimal number of at most maxDigits digits, no leading zero, at most max.
bool ParseNumber(std::string_view digits, std::size_t maxDigits, std::uint32_t max,
                 std::uint32_t* out) {
    if (digits.empty() || digits.size() > maxDigits || (digits.size() > 1 && digits[0] == '0')) {
        return false;
    }
    std::uint64_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > max) {
        return false;
    }
    *out = static_cast<std::uint32_t>(value);
    return true;
}

// Four dotted octets; the first neither 0 (this network) nor 224 and above
// (multicast, reserved, broadcast): echoes go to one host only.
bool ParseUnicastDottedQuad(std::string_view text, in_addr* out) {
    std::uint32_t address = 0;
    for (int i = 0; i < 4; ++i) {
        const std::size_t dot = i < 3 ? text.find('.') : text.size();
        std::uint32_t octet = 0;
        if (dot == std::string_view::npos || !ParseNumber(text.substr(0, dot), 3, 255, &octet)) {
            return false;
        }
        address = (address << 8) | octet;
        text = i < 3 ? text.substr(dot + 1) : std::string_view();
    }
    const std::uint32_t first = address >> 24;
    if (first == 0 || first >= 224) {
        return false;
    }
    out->s_addr = htonl(address);
    return true;
}

// A unicast IPv6 address in text form, without zone: not multicast, unspecified,
// IPv4-mapped or IPv4-compatible (the dotted form says IPv4).
bool ParseUnicastIPv6(std::string_view text, in6_addr* out) {
    char copy[INET6_ADDRSTRLEN] = {};
    if (text.size() >= sizeof copy || text.find('%') != std::string_view::npos) {
        return false;
    }
    text.copy(copy, text.size());
    in6_addr address;
    if (::inet_pton(AF_INET6, copy, &address) != 1 || IN6_IS_ADDR_MULTICAST(&address) ||
        IN6_IS_ADDR_UNSPECIFIED(&address) || IN6_IS_ADDR_V4MAPPED(&address) ||
        IN6_IS_ADDR_V4COMPAT(&address)) {
        return false;
    }
    *out = address;
    return true;
}

// Either family; a ':' says IPv6.
bool ParseNodeAddress(std::string_view text, IcmpAddress* out) {
    out->family = text.find(':') == std::string_view::npos ? AF_INET : AF_INET6;
    return out->family == AF_INET ? ParseUnicastDottedQuad(text, &out->v4)
                                  : ParseUnicastIPv6(text, &out->v6);
}

}  // namespace

bool ParseEchoRequest(std::string_view line, EchoRequest* out) {
    if (out == nullptr || line.empty() || line.size() > kMaxRequestLine || line.back() == ' ') {
        return false;
    }
    std::string_view address;
    std::string_view id;
    std::string_view seq;
    std::string_view timeout;
    std::string_view count;
    std::uint32_t idValue = 0;
    std::uint32_t seqValue = 0;
    std::uint32_t timeoutValue = 0;
    std::uint32_t countValue = 1;
    EchoRequest request;
    if (!NextField(&line, &address) || !NextField(&line, &id) || !NextField(&line, &seq) ||
        !NextField(&line, &timeout) ||
        (!line.empty() &&
         (!NextField(&line, &count) || !line.empty() ||
          !ParseNumber(count, 2, kMaxEchoesInRound, &countValue) || countValue == 0)) ||
        !ParseNodeAddress(address, &request.node) || !ParseNumber(id, 5, 65535, &idValue) ||
        !ParseNumber(seq, 5, 65535, &seqValue) ||
        !ParseNumber(timeout, 5, kMaxEchoTimeoutMs, &timeoutValue) || timeoutValue == 0) {
        return false;
    }
    request.id = static_cast<std::uint16_t>(idValue);
    request.seq = static_cast<std::uint16_t>(seqValue);
    request.timeoutMs = static_cast<int>(timeoutValue);
    request.count = static_cast<int>(countValue);
    *out = request;
    return true;
}

std::string FormatEchoRequest(std::string_view address, std::uint16_t id, std::uint16_t seq,
                              int timeoutMs, int count) {
    return std::string(address) + " " + std::to_string(id) + " " + std::to_string(seq) + " " +
           std::to_string(timeoutMs) + (count == 1 ? "" : " " + std::to_string(count));
}

EchoAnswer AnswerFor(const EchoRequest& request, std::uint16_t seq, const EchoResult& result) {
    using Outcome = EchoResult::Outcome;
    EchoAnswer answer{request.id, seq, EchoAnswer::Word::Timeout, 0, 0, 0};
    if (result.outcome == Outcome::Answered) {
        answer.word = EchoAnswer::Word::Ok;
        answer.micros = result.micros;
    } else if (result.outcome == Outcome::IcmpError) {
        answer.word = EchoAnswer::Word::Error;
        answer.type = result.errorType;
        answer.code = result.errorCode;
    } else if (result.outcome == Outcome::Unsent) {
        answer.word = EchoAnswer::Word::Unsent;
    }
    return answer;
}

std::string FormatEchoAnswer(const EchoAnswer& answer) {
    std::string line = std::to_string(answer.id) + " " + std::to_string(answer.seq) + " ";
    switch (answer.word) {
        case EchoAnswer::Word::Ok:
            return line + "ok " + std::to_string(answer.micros);
        case EchoAnswer::Word::Timeout:
            return line + "timeout";
        case EchoAnswer::Word::Error:
            return line + "error " + std::to_string(answer.type) + " " +
                   std::to_string(answer.code);
        case EchoAnswer::Word::Unsent:
            return line + "unsent";
    }
    return line + "timeout";
}

bool ParseEchoAnswer(std::string_view line, EchoAnswer* out) {
    std::string_view id;
    std::string_view seq;
    std::string_view word;
    std::string_view first;
    std::string_view second;
    std::uint32_t idValue = 0;
    std::uint32_t seqValue = 0;
    std::uint32_t one = 0;
    std::uint32_t two = 0;
    if (out == nullptr || line.size() > kMaxAnswerLine || !NextField(&line, &id) ||
        !NextField(&line, &seq) || !NextField(&line, &word) ||
        !ParseNumber(id, 5, 65535, &idValue) || !ParseNumber(seq, 5, 65535, &seqValue)) {
        return false;
    }
    EchoAnswer answer{static_cast<std::uint16_t>(idValue),
                      static_cast<std::uint16_t>(seqValue),
                      EchoAnswer::Word::Timeout,
                      0,
                      0,
                      0};
    const bool hasFirst = NextField(&line, &first);
    const bool hasSecond = NextField(&line, &second);
    if (word == "ok" && hasFirst && !hasSecond && ParseNumber(first, 10, 4294967295U, &one)) {
        answer.word = EchoAnswer::Word::Ok;
        answer.micros = one;
    } else if (word == "error" && hasSecond && line.empty() && ParseNumber(first, 3, 255, &one) &&
               ParseNumber(second, 3, 255, &two)) {
        answer.word = EchoAnswer::Word::Error;
        answer.type = static_cast<int>(one);
        answer.code = static_cast<int>(two);
    } else if (!hasFirst && (word == "timeout" || word == "unsent")) {
        answer.word = word == "timeout" ? EchoAnswer::Word::Timeout : EchoAnswer::Word::Unsent;
    } else {
        return false;
    }
    *out = answer;
    return true;
}

}  // namespace sentrel
