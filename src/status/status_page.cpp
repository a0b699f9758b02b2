#include "status/status_page.h"

#include <QByteArray>
#include <QCryptographicHash>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "config/settings.h"
#include "webhook/webhook_form.h"

namespace sentrel::status {

namespace {

constexpr char kStyle[] =
    "body{font:14px/1.4 sans-serif;margin:1.5em;color:#222;background:#fafafa}"
    "h1{font-size:1.3em;margin:0 0 .3em}p{margin:.2em 0 1em;color:#555}"
    "table{border-collapse:collapse;width:100%;background:#fff}"
    "th,td{padding:.35em .6em;border-bottom:1px solid #ddd;text-align:left;white-space:nowrap}"
    "th{background:#eee}td.n{text-align:right}"
    "tr.down td.s{color:#b00020;font-weight:bold}tr.up td.s{color:#1b7f2a}"
    "tr.unknown td.s{color:#777}";

// The style's hash, which the policy names so that nothing else may style or
// script the page.
const std::string& ContentSecurityPolicy() {
    static const std::string policy = [] {
        const QByteArray hash =
            QCryptographicHash::hash(QByteArray(kStyle), QCryptographicHash::Sha256).toBase64();
        return "default-src 'none'; style-src 'sha256-" + hash.toStdString() +
               "'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
    }();
    return policy;
}

std::string Trimmed(const std::string& text) {
    const std::size_t end = text.find_last_not_of(' ');
    return text.substr(0, end == std::string::npos ? 0 : end + 1);
}

std::string KindName(std::int32_t probeType) {
    return ProbeKindName(probeType);
}

std::string Duration(std::int64_t ms) {
    const std::int64_t s = std::max<std::int64_t>(0, ms / 1000);
    char text[48];
    if (s < 60) {
        std::snprintf(text, sizeof text, "%lld s", static_cast<long long>(s));
    } else if (s < 3600) {
        std::snprintf(text, sizeof text, "%lld min", static_cast<long long>(s / 60));
    } else if (s < 86400) {
        std::snprintf(text, sizeof text, "%lld h %lld min", static_cast<long long>(s / 3600),
                      static_cast<long long>(s % 3600 / 60));
    } else {
        std::snprintf(text, sizeof text, "%lld d %lld h", static_cast<long long>(s / 86400),
                      static_cast<long long>(s % 86400 / 3600));
    }
    return text;
}

std::string PercentText(const std::optional<double>& percent) {
    if (!percent) {
        return "–";
    }
    char text[16];
    std::snprintf(text, sizeof text, "%.2f %%", *percent);
    return text;
}

std::string JsonNumber(const std::optional<double>& value) {
    if (!value || !std::isfinite(*value)) {
        return "null";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", *value);
    return text;
}

std::string JsonTime(std::int64_t ms) {
    return ms > 0 ? "\"" + LocalRfc3339(ms) + "\"" : "null";
}

std::string StateClass(const NodeView& node) {
    return !node.up ? "unknown" : (*node.up ? "up" : "down");
}

}  // namespace

std::string LocalRfc3339(std::int64_t msSinceEpoch) {
    const auto seconds = static_cast<std::time_t>(msSinceEpoch / 1000);
    std::tm tm{};
    localtime_r(&seconds, &tm);
    const int offset = static_cast<int>(std::labs(tm.tm_gmtoff) / 60 % (24 * 60));
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  tm.tm_gmtoff < 0 ? '-' : '+', offset / 60, offset % 60);
    return text;
}

std::string HtmlText(const std::string& bytes) {
    std::string out;
    for (const char c : webhook::ValidUtf8(bytes)) {
        const char* entity = c == '&'    ? "&amp;"
                             : c == '<'  ? "&lt;"
                             : c == '>'  ? "&gt;"
                             : c == '"'  ? "&quot;"
                             : c == '\'' ? "&#39;"
                                         : nullptr;
        if (entity != nullptr) {
            out += entity;
        } else {
            out += c;
        }
    }
    return out;
}

std::string StatusHtml(const BoardView& view, const PageContext& context) {
    std::string h =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        "<meta name=\"viewport\" content=\"width=device-width\">"
        "<meta http-equiv=\"refresh\" content=\"" +
        std::to_string(context.reloadSeconds) + "\"><title>Sentrel" +
        (context.site.empty() ? "" : " – " + HtmlText(context.site)) + "</title><style>" + kStyle +
        "</style></head><body>\n<h1>Sentrel" +
        (context.site.empty() ? "" : " – site " + HtmlText(context.site)) + "</h1>\n<p>" +
        (view.monitoring ? "Monitoring" : "Not monitoring") + " · last scan " +
        (view.lastPassMs > 0 ? LocalRfc3339(view.lastPassMs) : "none yet") + " · shown " +
        LocalRfc3339(context.nowMs) +
        "</p>\n<table><thead><tr><th>#</th><th>Title</th>"
        "<th>Address</th><th>Kind</th><th>Status</th><th>For</th><th>Uptime 24 h</th>"
        "<th>Uptime 7 d</th><th>Held</th><th>Last probe</th></tr></thead><tbody>\n";
    for (const NodeView& node : view.nodes) {
        const NodeEntry& entry = node.slot.node;
        const std::string address =
            entry.address +
            (entry.port.empty() || entry.probeType != HTTPD ? "" : ":" + entry.port);
        h += "<tr class=\"" + StateClass(node) + "\"><td class=\"n\">" +
             std::to_string(node.index + 1) + "</td><td>" + HtmlText(entry.title) + "</td><td>" +
             HtmlText(address) + "</td><td>" + KindName(entry.probeType) + "</td><td class=\"s\">" +
             HtmlText(Trimmed(node.slot.status.statusText)) + "</td><td>" +
             (node.up ? Duration(context.nowMs - node.sinceMs) : "–") + "</td><td class=\"n\">" +
             (view.history ? PercentText(node.uptime.day) : "off") + "</td><td class=\"n\">" +
             (view.history ? PercentText(node.uptime.week) : "off") + "</td><td>" +
             (node.held ? "held" : "no") + "</td><td>" +
             (node.lastProbeMs > 0 ? LocalRfc3339(node.lastProbeMs) : "–") + "</td></tr>\n";
    }
    return h + "</tbody></table>\n</body></html>\n";
}

std::string StatusJson(const BoardView& view, const PageContext& context) {
    using webhook::JsonString;
    std::string j = "{\"site\":" + JsonString(context.site) +
                    ",\"generated\":" + JsonTime(context.nowMs) +
                    ",\"monitoring\":" + (view.monitoring ? "true" : "false") +
                    ",\"intervalSeconds\":" + std::to_string(context.reloadSeconds) +
                    ",\"lastScan\":" + JsonTime(view.lastPassMs) +
                    ",\"history\":" + (view.history ? "true" : "false") + ",\"nodes\":[";
    for (const NodeView& node : view.nodes) {
        const NodeEntry& entry = node.slot.node;
        j += std::string(&node == view.nodes.data() ? "" : ",") +
             "{\"node\":" + std::to_string(node.index) + ",\"title\":" + JsonString(entry.title) +
             ",\"address\":" + JsonString(entry.address) + ",\"port\":" + JsonString(entry.port) +
             ",\"kind\":\"" + KindName(entry.probeType) +
             "\",\"status\":" + JsonString(Trimmed(node.slot.status.statusText)) +
             ",\"up\":" + (node.up ? (*node.up ? "true" : "false") : "null") +
             ",\"since\":" + JsonTime(node.up ? node.sinceMs : 0) + ",\"stateSeconds\":" +
             (node.up
                  ? std::to_string(std::max<std::int64_t>(0, context.nowMs - node.sinceMs) / 1000)
                  : "null") +
             ",\"lastProbe\":" + JsonTime(node.lastProbeMs) +
             ",\"uptime24h\":" + JsonNumber(node.uptime.day) +
             ",\"uptime7d\":" + JsonNumber(node.uptime.week) +
             ",\"held\":" + (node.held ? "true" : "false") + "}";
    }
    return j + "]}\n";
}

std::optional<ServedPage> ServeStatus(const StatusBoard& board, const std::string& path) {
    const bool page = path == kPagePath;
    if (!page && path != kJsonPath) {
        return std::nullopt;
    }
    const MonitorSettings settings = CurrentSettings();
    const int secs = ToInt(settings.Secs);  // 0: passes only on demand
    const PageContext context{settings.Metrics_Site, secs > 0 ? secs : 60, NowUtcMs()};
    const BoardView view = board.View();
    ServedPage served;
    served.headers = {{"Cache-Control", "no-store"}, {"X-Content-Type-Options", "nosniff"}};
    if (page) {
        served.contentType = "text/html; charset=utf-8";
        served.body = StatusHtml(view, context);
        served.headers.emplace_back("Content-Security-Policy", ContentSecurityPolicy());
        served.headers.emplace_back("Referrer-Policy", "no-referrer");
    } else {
        served.contentType = "application/json";
        served.body = StatusJson(view, context);
        served.headers.emplace_back("Content-Security-Policy", "default-src 'none'");
    }
    return served;
}

}  // namespace sentrel::status
