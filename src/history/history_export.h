// The history window's "Export CSV...": one line per result of the span.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "history/history_types.h"

namespace sentrel::history {

// Writes "time,address,type,value,status" and one line per sample in
// [fromMs, toMs): ISO 8601 local time with milliseconds, the value (0 for a
// failure) and the status text the list showed. Returns false when the file
// cannot be written.
bool ExportCsv(const std::string& file, const NodeKey& key, const std::vector<Sample>& samples,
               std::int64_t fromMs, std::int64_t toMs);

// "2026-12-07T04:15:00.250" in local time.
std::string LocalIsoTime(std::int64_t timeMs);

}  // namespace sentrel::history
