#include "history/history_export.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "config/node_table.h"
#include "history/history_math.h"

namespace sentrel::history {

namespace {

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        out += c;
        if (c == '"') {
            out += '"';
        }
    }
    return out + "\"";
}

// Writes all of `text` to a new file beside `file`, then renames it over `file`.
int WriteWhole(const std::string& file, const std::string& text) {
    std::string temp;
    int fd = -1;
    for (int n = 0; fd < 0 && n < 100; ++n) {
        temp = file + ".part-" + std::to_string(getpid()) + "-" + std::to_string(n);
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            return errno;
        }
    }
    if (fd < 0) {
        return EEXIST;
    }
    int error = 0;
    for (std::size_t done = 0; error == 0 && done < text.size();) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            error = errno;
        }
    }
    if (error == 0 && fsync(fd) != 0) {
        error = errno;
    }
    if (close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && std::rename(temp.c_str(), file.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        unlink(temp.c_str());
    }
    return error;
}

// The echo columns of one result: sent, received, loss %, then min, median, max
// and jitter in ms to the microsecond; empty for a result without echoes.
std::string EchoColumns(const EchoFigures& e) {
    if (e.sent <= 0) {
        return ",,,,,,";
    }
    char text[160];
    const auto ms = [](std::int64_t micros) { return static_cast<double>(micros) / 1000.0; };
    std::snprintf(text, sizeof text, "%d,%d,%d,%.3f,%.3f,%.3f,%.3f", e.sent, e.received,
                  e.LossPercent(), ms(e.minMicros), ms(e.medianMicros), ms(e.maxMicros),
                  ms(e.jitterMicros));
    return text;
}

}  // namespace

std::string StatusTextOf(const Sample& s, std::int32_t probeType) {
    if (!s.text.empty()) {
        return s.text;
    }
    if (s.Answered()) {
        return SuccessStatusText(probeType, s.value);
    }
    switch (s.failure) {
        case FailureText::Loss:
            return LossStatusText(s.echoes.LossPercent());
        case FailureText::Slow:
            return SlowStatusText(WholeMs(s.echoes.medianMicros));
        case FailureText::Count:
            break;
    }
    return FailureStatusText(s.failCount);
}

std::string LocalIsoTime(std::int64_t timeMs) {
    const std::time_t seconds = static_cast<std::time_t>(timeMs / 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[40];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    std::snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>(timeMs % 1000));
    return text;
}

std::string IsoTimeWithOffset(std::int64_t timeMs) {
    const std::time_t seconds = static_cast<std::time_t>(timeMs / 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char offset[8];
    std::strftime(offset, sizeof offset, "%z", &local);  // "+0100"
    return LocalIsoTime(timeMs) + std::string(offset, 3) + ':' + std::string(offset + 3);
}

int ExportCsv(const std::string& file, const NodeKey& key, const std::vector<Sample>& samples,
              std::int64_t fromMs, std::int64_t toMs) {
    const char* type = ProbeKindName(key.probeType);
    const bool ping = ProbeKind(key.probeType) == PING;
    std::string out = ping ? "time,address,type,value,status,sent,received,loss_percent,min_ms,"
                             "median_ms,max_ms,jitter_ms\n"
                           : "time,address,type,value,status\n";
    const auto [first, last] = SpanOf(samples, fromMs, toMs);
    for (auto it = first; it != last; ++it) {
        const std::string status = StatusTextOf(*it, key.probeType);
        out += IsoTimeWithOffset(it->timeMs) + ',' + Quoted(key.address) + ',' + type + ',' +
               std::to_string(it->Answered() ? it->value : 0) + ',' + Quoted(status) +
               (ping ? ',' + EchoColumns(it->echoes) : std::string()) + '\n';
    }
    return WriteWhole(file, out);
}

}  // namespace sentrel::history
