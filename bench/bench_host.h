// What the benchmarks' passes run with: one host for the run, and the engine's
// state cleared between runs.
#pragma once

#include "config/node_table.h"
#include "engine/pass_host.h"

namespace sentrel::bench {

inline PassHost& Host() {
    static PassHost host;
    return host;
}

inline void ResetEngine() {
    ScanBusy = ScanAbort = MonitorRunning = 0;
    ResetNodeTable();
    SetLastScanText({});
}

}  // namespace sentrel::bench
