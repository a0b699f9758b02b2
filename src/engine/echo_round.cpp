#include "engine/echo_round.h"

#include <algorithm>
#include <cstdlib>

namespace sentrel {

std::int32_t EchoFigures::LossPercent() const {
    if (sent <= 0) {
        return 0;
    }
    const std::int64_t lost = sent - received;
    return static_cast<std::int32_t>((lost * 200 + sent) / (2 * std::int64_t{sent}));
}

bool EchoFigures::LossAtLeast(std::int32_t percent) const {
    return sent > 0 && std::int64_t{sent - received} * 100 >= std::int64_t{percent} * sent;
}

EchoFigures FiguresOfRound(const std::vector<std::int64_t>& micros) {
    EchoFigures f;
    std::vector<std::int64_t> answered;
    for (const std::int64_t m : micros) {
        f.sent += m != kEchoNotSent ? 1 : 0;
        if (m >= 0) {
            answered.push_back(m);
        }
    }
    f.received = static_cast<std::int32_t>(answered.size());
    if (answered.empty()) {
        return f;
    }
    std::int64_t steps = 0;
    for (std::size_t i = 1; i < answered.size(); ++i) {
        steps += std::llabs(answered[i] - answered[i - 1]);
    }
    if (answered.size() >= 2) {
        f.jitterMicros = steps / static_cast<std::int64_t>(answered.size() - 1);
    }
    std::sort(answered.begin(), answered.end());
    const std::size_t n = answered.size();
    f.minMicros = answered.front();
    f.maxMicros = answered.back();
    f.medianMicros = n % 2 == 1 ? answered[n / 2] : (answered[n / 2 - 1] + answered[n / 2]) / 2;
    return f;
}

std::int32_t WholeMs(std::int64_t micros) {
    const std::int64_t millis = (micros + 500) / 1000;
    return millis < 1 ? 1 : static_cast<std::int32_t>(std::min<std::int64_t>(millis, INT32_MAX));
}

std::string BadAddressStatusText(const std::string& why) {
    return "*ERROR* Bad address: " + why + ".";
}

std::string LossStatusText(std::int32_t lossPercent) {
    return "*ERROR* Loss: " + std::to_string(lossPercent) + " %.";
}

std::string SlowStatusText(std::int32_t medianMs) {
    return "*ERROR* Slow: " + std::to_string(medianMs) + " ms.";
}

RoundVerdict JudgeRound(const EchoFigures& figures, const EchoThresholds& thresholds) {
    if (figures.received <= 0) {
        return {};
    }
    const std::int32_t medianMs = WholeMs(figures.medianMicros);
    if (thresholds.lossPercent > 0 && figures.LossAtLeast(thresholds.lossPercent)) {
        return {0, LossStatusText(figures.LossPercent())};
    }
    if (thresholds.slowMs > 0 && medianMs >= thresholds.slowMs) {
        return {0, SlowStatusText(medianMs)};
    }
    return {medianMs, {}};
}

}  // namespace sentrel
