// The status page of the metrics listener: GET / as one HTML page with its
// style inline (allowed by its hash, nothing else allowed), reloading itself
// every scan interval, and GET /api/v1/status as the same in JSON. Read-only:
// both are made from a copy of the board at the moment of the request.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "metrics/metrics_endpoint.h"
#include "status/status_board.h"

namespace sentrel::status {

inline constexpr char kPagePath[] = "/";
inline constexpr char kJsonPath[] = "/api/v1/status";

struct PageContext {
    std::string site;        // [Metrics] Site
    int reloadSeconds = 60;  // the scan interval (60 when passes run only on demand)
    std::int64_t nowMs = 0;
};

std::string StatusHtml(const BoardView& view, const PageContext& context);
std::string StatusJson(const BoardView& view, const PageContext& context);

// The page for a path of the status page, else nothing.
std::optional<ServedPage> ServeStatus(const StatusBoard& board, const std::string& path);

// Local time in RFC 3339 with its offset: 2026-12-08T04:05:06+01:00.
std::string LocalRfc3339(std::int64_t msSinceEpoch);
// Text safe inside HTML elements and quoted attributes (& < > " ' escaped),
// made valid UTF-8 first.
std::string HtmlText(const std::string& bytes);

}  // namespace sentrel::status
