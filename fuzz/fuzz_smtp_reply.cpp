// Feeds the fuzz input to the mailer's one reply reader, SmtpReplyReader, under the
// clear-text rule and checks it against the dialogue's reference: each receive judged
// by the number at its start, read as atoi reads it.
//
// Input: the replies, separated by NUL bytes; each piece (cut to the 3000-byte reply
// buffer) is one receive, then "0\r\n" for ever. Awaiting the six codes of a mail
// (220, 250, 250, 250, 354, 250) gets exactly as far as each code came within five
// receives, and takes exactly the receives the reference takes.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "alerts/smtp_session.h"

namespace {

using sentrel::SmtpReplyReader;

constexpr std::size_t kReplyBuffer = 3000;
constexpr std::size_t kMaxPieces = 64;
constexpr int kExpected[] = {220, 250, 250, 250, 354, 250};
const std::string kFiller = "0\r\n";

// The server's side: one piece a receive, then the filler; what is sent is dropped.
class Script final : public sentrel::ByteStream {
  public:
    explicit Script(const std::vector<std::string>& pieces) : pieces_(pieces) {}
    bool SendAll(const void*, std::size_t, sentrel::Deadline) override { return true; }
    ssize_t Receive(void* buffer, std::size_t size, sentrel::Deadline) override {
        const std::string& piece = next_ < pieces_.size() ? pieces_[next_] : kFiller;
        ++next_;
        const std::size_t n = std::min(size, piece.size());
        std::memcpy(buffer, piece.data(), n);
        return static_cast<ssize_t>(n);
    }
    std::size_t receives() const { return next_; }

  private:
    const std::vector<std::string>& pieces_;
    std::size_t next_ = 0;
};

// The code as the C library's atoi reads it, compared with `expected`.
bool CodeIs(const std::string& reply, int expected) {
    std::size_t i = reply.find_first_not_of(" \t\n\v\f\r");
    if (i == std::string::npos || reply[i] == '-') {
        return false;
    }
    i += reply[i] == '+';
    i = std::min(reply.find_first_not_of('0', i), reply.size());
    const std::size_t end = std::min(reply.find_first_not_of("0123456789", i), reply.size());
    return reply.substr(i, std::min<std::size_t>(end - i, 12)) == std::to_string(expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> pieces;
    const std::string input(reinterpret_cast<const char*>(data), size);
    for (std::size_t at = 0, end; at <= size && pieces.size() < kMaxPieces; at = end + 1) {
        end = std::min(input.find('\0', at), size);
        if (end > at)
            pieces.push_back(input.substr(at, std::min(end - at, kReplyBuffer)));
    }
    // The reference: how many of the six codes came, and after how many receives.
    int stage = 0;
    std::size_t next = 0;
    for (int attempt = 0; stage < 6; ++next) {
        if (CodeIs(next < pieces.size() ? pieces[next] : kFiller, kExpected[stage])) {
            ++stage, attempt = 0;
        } else if (++attempt == 5) {
            ++next;
            break;
        }
    }

    Script clear(pieces);
    SmtpReplyReader each(SmtpReplyReader::Rule::EachReceive,
                         sentrel::SteadyClock::now() + std::chrono::hours(1),
                         std::chrono::seconds(1));
    int got = 0;
    while (got < 6 && each.Await(clear, kExpected[got], "reply")) {
        ++got;
    }
    if (got != stage || clear.receives() != next) {
        std::fprintf(stderr,
                     "fuzz_smtp_reply: reference %d after %zu receives, reader %d after %zu\n",
                     stage, next, got, clear.receives());
        std::abort();
    }
    return 0;
}
