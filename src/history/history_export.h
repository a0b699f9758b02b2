// The history window's "Export CSV...": one line per result of the span.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "history/history_types.h"

namespace sentrel::history {

// Writes "time,address,type,value,status" and one line per sample in
// [fromMs, toMs): ISO 8601 time with milliseconds and the UTC offset, the value
// (0 for a failure) and the status text the list showed. The lines go to a new
// file in the same folder, renamed to `file` once complete, so a failure leaves
// no part of them. Returns 0, or the errno of the failure. A PING node's lines
// go on with its echoes: "sent,received,loss_percent,min_ms,median_ms,max_ms,
// jitter_ms" (times in ms with three decimals; empty for a result stored
// without echoes).
int ExportCsv(const std::string& file, const NodeKey& key, const std::vector<Sample>& samples,
              std::int64_t fromMs, std::int64_t toMs);

// The status text the row showed when the probe was made: the stored text, or
// the one the figures give.
std::string StatusTextOf(const Sample& s, std::int32_t probeType);

// "2026-12-07T04:15:00.250" in local time.
std::string LocalIsoTime(std::int64_t timeMs);
// "2026-12-07T04:15:00.250+01:00": local time with its offset, so the hour
// repeated when summer time ends reads as two different hours.
std::string IsoTimeWithOffset(std::int64_t timeMs);

}  // namespace sentrel::history
