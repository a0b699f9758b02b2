// What a webhook sends: the hand-edited keys Webhook_URL, Webhook_Format and
// Webhook_Token_File checked once per start or reload, and each notice (a node
// down, or up again) turned into the request of the chosen form. No network
// here: the sender (webhook_sender.h) carries the request out.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/settings.h"
#include "engine/pass_events.h"

namespace sentrel::webhook {

enum class Form { Json, Ntfy, Gotify, Slack, Alertmanager };

struct Config {
    std::string url;  // http or https, as written; empty: the webhook is off
    Form form = Form::Json;
    std::string tokenFile;  // empty: no token
    std::string origin;     // scheme://host[:port]: all that a line may show of the URL
    std::string site;       // [Metrics] Site; empty: none
};

// The webhook the settings ask for. On keys that cannot be used, an empty url
// and the one line that says why in *refusal (which never shows the URL).
Config ConfigFromSettings(const MonitorSettings& settings, std::string* refusal);

struct Request {
    std::vector<std::string> headers;  // "Name: value", the token's header not among them
    std::string body;
};

// The request of `form` for a node down (up false: at each alarm) or up again.
// An alertmanager alert that is down ends at `endsAtMs` unless it is posted again.
// A site, when named, is the Alertmanager form's label `site`, the json form's
// field "site", and "[site] " before the summary of every form.
Request BuildRequest(Form form, const NodeAlarmEvent& event, bool up, std::int64_t endsAtMs,
                     const std::string& site = {});
// One alert of the alertmanager form, the object of its array.
std::string AlertmanagerAlert(const NodeAlarmEvent& event, bool up, std::int64_t endsAtMs,
                              const std::string& site = {});

// The header that carries the token in `form`.
std::string TokenHeader(Form form, std::string_view token);

// Text made valid UTF-8: a byte that does not belong to a well-formed sequence
// is taken as Latin-1 (0xE9 becomes U+00E9), as old tarn.ini titles are.
std::string ValidUtf8(std::string_view bytes);
// A JSON string, quotes included, of ValidUtf8(bytes): ", \ and control
// characters escaped.
std::string JsonString(std::string_view bytes);
// RFC 3339 in UTC with milliseconds: 2026-12-07T20:46:00.123Z.
std::string Rfc3339(std::int64_t msSinceEpoch);

}  // namespace sentrel::webhook
