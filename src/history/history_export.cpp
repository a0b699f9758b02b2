#include "history/history_export.h"

#include <cstdio>
#include <ctime>
#include <fstream>

#include "engine/node_table.h"
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

}  // namespace

std::string LocalIsoTime(std::int64_t timeMs) {
    const std::time_t seconds = static_cast<std::time_t>(timeMs / 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[40];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    std::snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>(timeMs % 1000));
    return text;
}

bool ExportCsv(const std::string& file, const NodeKey& key, const std::vector<Sample>& samples,
               std::int64_t fromMs, std::int64_t toMs) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out) {
        return false;
    }
    const char* type = key.probeType == 0 ? "HTTPD" : "PING";
    out << "time,address,type,value,status\n";
    const auto [first, last] = SpanOf(samples, fromMs, toMs);
    for (auto it = first; it != last; ++it) {
        const std::string status = it->Answered() ? SuccessStatusText(key.probeType, it->value)
                                                  : FailureStatusText(it->failCount);
        out << LocalIsoTime(it->timeMs) << ',' << Quoted(key.address) << ',' << type << ','
            << (it->Answered() ? it->value : 0) << ',' << Quoted(status) << '\n';
    }
    out.flush();
    return static_cast<bool>(out);
}

}  // namespace sentrel::history
