// The figures of a round of echoes to one node, and what a pass makes of them:
// the status text and whether the round fails the quality thresholds. Pure
// arithmetic, no sockets.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sentrel {

struct EchoFigures {
    std::int32_t sent = 0;
    std::int32_t received = 0;
    // Round trips in microseconds over the answered echoes; 0 when none was answered.
    std::int64_t minMicros = 0;
    std::int64_t medianMicros = 0;  // of an even count: the mean of the two middle values
    std::int64_t maxMicros = 0;
    // Mean absolute difference between consecutive answered round trips in send
    // order (lost echoes are passed over); 0 with fewer than two answers.
    std::int64_t jitterMicros = 0;

    // Lost echoes in whole percent of those sent, halves rounded up; 0 when none was sent.
    std::int32_t LossPercent() const;
    // True when the lost echoes are at least `percent` % of those sent, compared exactly.
    bool LossAtLeast(std::int32_t percent) const;
    bool operator==(const EchoFigures&) const = default;
};

// An echo that never went out (the kernel refused to send it, or the helper held it
// back): neither sent nor lost.
inline constexpr std::int64_t kEchoNotSent = -2;

// The figures of one round: each echo's round trip in microseconds in send
// order, -1 for one that was not answered, kEchoNotSent for one never sent.
EchoFigures FiguresOfRound(const std::vector<std::int64_t>& micros);

// A round trip in whole milliseconds as a PING status shows it: the nearest,
// at least 1.
std::int32_t WholeMs(std::int64_t micros);

// Thresholds from [Alerts]; 0 leaves one off.
struct EchoThresholds {
    std::int32_t lossPercent = 0;  // Loss_Percent: fail when the loss is at least this
    std::int32_t slowMs = 0;       // Slow_ms: fail when the median is at least this
};

// What the pass stores for a round: `result` is the median in whole ms, or 0
// for a failure; `failureText` is empty for a round that no echo answered (the
// usual "*ERROR* count: n"), else the threshold's own text. Loss is judged
// before Slow.
struct RoundVerdict {
    std::int32_t result = 0;
    std::string failureText;
};
RoundVerdict JudgeRound(const EchoFigures& figures, const EchoThresholds& thresholds);

// The failure text of a node whose address is no address: why says what is wrong.
std::string BadAddressStatusText(const std::string& why);

// The failure texts of the thresholds.
std::string LossStatusText(std::int32_t lossPercent);
std::string SlowStatusText(std::int32_t medianMs);

}  // namespace sentrel
