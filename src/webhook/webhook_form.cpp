#include "webhook/webhook_form.h"

#include <curl/curl.h>

#include <QByteArray>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <memory>
#include <string_view>

namespace sentrel::webhook {

namespace {

// The forms in the order of their names in the settings key.
constexpr Form kForms[] = {Form::Json, Form::Ntfy, Form::Gotify, Form::Slack, Form::Alertmanager};
static_assert(std::size(kForms) == std::size(keys::kWebhookForms), "one name per form");

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// One part of a parsed URL, or empty.
std::string UrlPart(CURLU* url, CURLUPart part) {
    char* text = nullptr;
    if (curl_url_get(url, part, &text, 0) != CURLUE_OK || text == nullptr) {
        return {};
    }
    std::string copy(text);
    curl_free(text);
    return copy;
}

// The length of the well-formed UTF-8 sequence at bytes[at], or 0.
std::size_t SequenceLength(std::string_view bytes, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[at + i]); };
    const unsigned char lead = byte(0);
    std::size_t n = 0;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (lead >= 0xC2 && lead <= 0xDF) {
        n = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
        high = lead == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;  // nothing beyond U+10FFFF
    }
    if (n == 0 || at + n > bytes.size() || byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (std::size_t i = 2; i < n; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) {
            return 0;
        }
    }
    return n;
}

// The status text without the blanks that pad it for the list.
std::string Status(const NodeAlarmEvent& event) {
    const std::size_t end = event.statusText.find_last_not_of(' ');
    return event.statusText.substr(0, end == std::string::npos ? 0 : end + 1);
}

std::string NodeName(const NodeAlarmEvent& event) {
    return event.title.empty() ? event.address : event.title;
}

std::int64_t OutageSeconds(const NodeAlarmEvent& event) {
    const std::int64_t since = event.failingSinceMs > 0 ? event.failingSinceMs : event.timeMs;
    return std::max<std::int64_t>(0, (event.timeMs - since) / 1000);
}

std::string Summary(const NodeAlarmEvent& event, bool up) {
    return NodeName(event) + (up ? " is up again" : " is down");
}

std::string Description(const NodeAlarmEvent& event, bool up) {
    const std::string since =
        Rfc3339(event.failingSinceMs > 0 ? event.failingSinceMs : event.timeMs);
    std::string text = event.address + ": " + Status(event);
    if (up) {
        return text + ", down " + std::to_string(OutageSeconds(event)) + " s since " + since;
    }
    return text + ", failing since " + since;
}

// A header value: plain printable ASCII as it is, anything else as an RFC 2047
// encoded word, so no byte of a title can end the header or start another.
std::string HeaderText(const std::string& text) {
    if (std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7F; })) {
        return text;
    }
    const std::string utf8 = ValidUtf8(text);
    return "=?UTF-8?B?" +
           QByteArray(utf8.data(), static_cast<qsizetype>(utf8.size())).toBase64().toStdString() +
           "?=";
}

}  // namespace

Config ConfigFromSettings(const MonitorSettings& settings, std::string* refusal) {
    Config config;
    refusal->clear();
    if (settings.Webhook_URL.empty()) {
        return config;
    }
    // The settings hold a form's own name, or a text that names none.
    const auto named = std::find(std::begin(keys::kWebhookForms), std::end(keys::kWebhookForms),
                                 std::string_view(settings.Webhook_Format));
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), curl_url_cleanup);
    const bool parsed =
        url && curl_url_set(url.get(), CURLUPART_URL, settings.Webhook_URL.c_str(), 0) == CURLUE_OK;
    const std::string scheme = parsed ? Lower(UrlPart(url.get(), CURLUPART_SCHEME)) : "";
    const std::string host = parsed ? UrlPart(url.get(), CURLUPART_HOST) : "";
    if ((scheme != "http" && scheme != "https") || host.empty()) {
        *refusal = "Webhook_URL in tarn.ini is not an http or https address: no webhook is sent";
        return config;
    }
    if (named == std::end(keys::kWebhookForms)) {
        *refusal =
            "Webhook_Format in tarn.ini is none of json, ntfy, gotify, slack, "
            "alertmanager: no webhook is sent";
        return config;
    }
    const std::string port = UrlPart(url.get(), CURLUPART_PORT);
    config.url = settings.Webhook_URL;
    config.form = kForms[named - std::begin(keys::kWebhookForms)];
    config.tokenFile = settings.Webhook_Token_File;
    config.origin = scheme + "://" + host + (port.empty() ? "" : ":" + port);
    config.site = settings.Metrics_Site;
    return config;
}

// "[site] " before a summary when the monitor names its site.
std::string SitePrefix(const std::string& site) {
    return site.empty() ? "" : "[" + site + "] ";
}

Request BuildRequest(Form form, const NodeAlarmEvent& event, bool up, std::int64_t endsAtMs,
                     const std::string& site) {
    Request request;
    const std::string summary = SitePrefix(site) + Summary(event, up);
    const std::string description = Description(event, up);
    const std::string siteField = site.empty() ? "" : ",\"site\":" + JsonString(site);
    const std::string time = Rfc3339(event.timeMs);
    std::string& b = request.body;
    request.headers.push_back("Content-Type: application/json");
    switch (form) {
        case Form::Ntfy:
            request.headers = {
                "Content-Type: text/plain; charset=utf-8", "Title: " + HeaderText(summary),
                std::string("Priority: ") + (up ? "default" : "high"),
                std::string("Tags: ") + (up ? "white_check_mark" : "rotating_light")};
            b = ValidUtf8(description);
            break;
        case Form::Gotify:
            b = "{\"title\":" + JsonString(summary) + ",\"message\":" + JsonString(description) +
                ",\"priority\":" + (up ? "4" : "8") + "}";
            break;
        case Form::Slack:
            b = "{\"text\":" + JsonString(summary + ": " + description) + "}";
            break;
        case Form::Alertmanager:
            b = "[" + AlertmanagerAlert(event, up, endsAtMs, site) + "]";
            break;
        case Form::Json:
            b = std::string("{\"event\":\"") + (up ? "up" : "down") +
                "\",\"node\":" + std::to_string(event.index) +
                ",\"address\":" + JsonString(event.address) +
                ",\"title\":" + JsonString(event.title) +
                ",\"status\":" + JsonString(Status(event)) +
                ",\"failCount\":" + std::to_string(event.failCount) + ",\"time\":\"" + time +
                "\",\"outageSeconds\":" + std::to_string(OutageSeconds(event)) + siteField + "}";
            break;
    }
    return request;
}

std::string AlertmanagerAlert(const NodeAlarmEvent& event, bool up, std::int64_t endsAtMs,
                              const std::string& site) {
    return "{\"labels\":{\"alertname\":\"SentrelNodeDown\",\"node\":\"" +
           std::to_string(event.index) + "\",\"address\":" + JsonString(event.address) +
           ",\"title\":" + JsonString(event.title) +
           (site.empty() ? "" : ",\"site\":" + JsonString(site)) +
           "},\"annotations\":{\"summary\":" + JsonString(SitePrefix(site) + Summary(event, up)) +
           ",\"description\":" + JsonString(Description(event, up)) + "},\"startsAt\":\"" +
           Rfc3339(event.failingSinceMs) + "\",\"endsAt\":\"" +
           Rfc3339(up ? event.timeMs : endsAtMs) + "\"}";
}

std::string TokenHeader(Form form, std::string_view token) {
    return (form == Form::Gotify ? "X-Gotify-Key: " : "Authorization: Bearer ") +
           std::string(token);
}

std::string ValidUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        const std::size_t n = c < 0x80 ? 1 : SequenceLength(bytes, i);
        if (n > 0) {
            out.append(bytes.substr(i, n));
            i += n;
        } else {  // Latin-1: U+0080..U+00FF in two bytes
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
            ++i;
        }
    }
    return out;
}

std::string JsonString(std::string_view bytes) {
    std::string out = "\"";
    for (const char c : ValidUtf8(bytes)) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string Rfc3339(std::int64_t msSinceEpoch) {
    const std::time_t seconds = static_cast<std::time_t>(msSinceEpoch / 1000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(msSinceEpoch % 1000));
    return text;
}

}  // namespace sentrel::webhook
